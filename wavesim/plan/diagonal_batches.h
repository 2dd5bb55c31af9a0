// The fast setting's diagonal batches (fusion.h, kFusionAuto): diagonal
// gates (phases, under any controls) commute with each other and with any
// gate on other qubits, so a run of them that no other gate on their qubits
// interrupts is applied in one pass, one complex product per amplitude
// (KernelGate::kDiagonal).
//
// A batch's entries are computed from the gates' angles, never by
// multiplying rounded entries together: per entry, the phases that are whole
// eighths of a turn (Z, S, T and their inverses, entries 1, i, -1, -i) are
// counted exactly, every other entry's angle is added up, and the entry is
// one rotation by the sum times the counted eighths (quarters exactly, an
// odd eighth times the T kernel's factor) times the product of the entries'
// magnitudes. Entries that are phases of whole quarters (CZ layers) come out
// exact.
#pragma once

#include <deque>
#include <vector>

#include "wavesim/plan/compile.h"

namespace wavesim {

// Fewest qubits a batch acts on: a narrower one is left to the grouping of
// two-qubit products.
constexpr int kMinBatchQubits = 3;

// The fewest qubits of a state whose stretches the fast setting batches. On
// smaller states the batched plans measured 1.1-1.4 times slower end to end
// (n = 11 ... 16), though the kernel costs predicted them cheaper: there the
// costs per call that the model leaves out (a parallel region per gate on a
// state of one block, a batch's tables built per call) outweigh the passes
// a batch saves.
constexpr unsigned kBatchMinQubits = 18;

// Most qubits of a batch on a state of `num_qubits` qubits (0: no batches).
int batch_qubits_for(unsigned num_qubits);

// Whether a gate step multiplies every amplitude by a number of its own.
bool is_diagonal_step(const PlanStep& step);

// The gate steps `steps` (one stretch's, in the order they are applied, with
// finite matrices) with their diagonal gates batched, greedily in order: a
// diagonal gate joins the batch that is open if no other gate taken since the
// batch opened touches its qubits and the batch's qubits stay within
// `max_qubits` (at most kMaxDiagonalTargets); else it opens the next. A batch of several gates on at
// least kMinBatchQubits qubits becomes one kDiagonal step at the place of its
// first gate, its entries added to `store`; any other batch's gates stay where
// they are.
std::vector<PlanStep> batch_diagonals(const std::vector<PlanStep>& steps, int max_qubits, std::deque<Matrix>& store);

}  // namespace wavesim
