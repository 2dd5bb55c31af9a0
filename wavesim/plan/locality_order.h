// The order the fast setting (fusion.h, kFusionAuto) applies a stretch's
// gates in: gates on disjoint qubits commute, so the stretch is taken window
// by window, each window every gate that fits a set of qubits that any
// machine's blocks hold and that no gate left behind shares a qubit with.
// Real windows then hold far more gates. The order depends on the circuit
// alone (not on the machine, the threads or the window shape), so that a
// call gives the same bits whatever runs it; it changes the rounding, as
// any reordering of gates that do not commute exactly does.
#pragma once

#include <cstddef>
#include <vector>

#include "wavesim/plan/compile.h"

namespace wavesim {

// The qubits of the windows the order is made for: the lowest
// kLocalityLowQubits always among them (every block holds them), at most
// kLocalityQubits in all (every block holds that many in both precisions).
constexpr int kLocalityQubits = 14;
constexpr int kLocalityLowQubits = 4;

// The fewest qubits whose stretches the fast setting takes in this order:
// from 32 MiB of doubles on, states beyond the last-level caches measured,
// whose windows gather blocks from anywhere in the state. A smaller state is
// taken in place over its lowest qubits, where the order gained nothing (at
// n = 20 it was up to 1.2 times slower than the circuit's own).
constexpr unsigned kLocalityMinQubits = 21;

// The gate steps among steps [begin, end) (which hold no MEASURE or RESET)
// in that order; every two that share a qubit keep their circuit order.
std::vector<size_t> locality_order(const std::vector<PlanStep>& steps, size_t begin, size_t end);

}  // namespace wavesim
