// The one way a gate reaches the amplitudes: a KernelCall, resolved and
// checked when a run is compiled, and run_kernel_call, which picks the
// compile-time variant of the kernel for the targets inside the register.
#pragma once

#include <cstdint>
#include <vector>

#include "wavesim/base/bits.h"
#include "wavesim/base/exact_sum.h"
#include "wavesim/base/matrix.h"
#include "wavesim/base/threads.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/gates/matrix_form.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// Matrices one kCrossFormThenMatrix call reads with (a gate's parameters at most).
constexpr int kMaxCrossForms = 4;
// Qubits one kDiagonal call takes, and so any call.
constexpr int kMaxDiagonalTargets = 8;
constexpr int kMaxCallTargets = kMaxDiagonalTargets > kMaxMatrixTargets ? kMaxDiagonalTargets : kMaxMatrixTargets;

// Where a kernel that sums adds its sums: thread t (omp_get_thread_num() in
// the innermost region, below the hardware threads) adds sum m to
// sums[t * stride + m]; on the calling thread inside a window's region that
// is the thread of the window's region.
struct SumSlots {
    ExactSum* sums = nullptr;
    size_t stride = 0;
};

// One kernel invocation: target(s), controls that must be 1 (`ones`) and
// controls that must be 0 (`zeros`, open controls). kX, kY, kH act on
// targets[0]; the phase gates multiply the amplitudes whose targets[0] bit is
// 1; kSwap exchanges targets[0] and targets[1] (equal: no effect; only controls
// at or above the register width hold it back); kMatrix
// applies the row-major `matrix` on num_targets targets, bit j of its index
// being the bit of targets[j]. kCrossFormThenMatrix splits the state in two
// halves by its last target (at or above the register width), the ket (that
// bit 0) and the bra (that bit 1); its other targets form the groups, and
// `matrix` holds matrices on them one after another, U and then the
// matrices M_m of its reads; `form` covers U, and read_form_of(form) every M_m. It adds Re sum_{r,c} conj(bra_r)
// M_m[r][c] ket_c over the groups where the controls hold to sums m, then applies U to both halves.
// kDiagonal multiplies every amplitude by entry e of `matrix` (2^num_targets
// entries, the diagonal alone), bit j of e being the amplitude's bit of
// targets[j]; it takes no controls (they are part of the entries).
struct KernelCall {
    KernelGate gate = KernelGate::kMatrix;
    int num_targets = 1;
    int targets[kMaxCallTargets] = {};
    uint64_t ones = 0;
    uint64_t zeros = 0;
    const Matrix* matrix = nullptr;
    unsigned form = kDenseForm;  // kMatrix, kCrossFormThenMatrix: the kernel form of the matrix (of U)
    SumSlots sums;               // kCrossFormThenMatrix
};

// Applies `call`. Its qubits must lie in `s` and be distinct (controls neither
// repeat nor meet a target, or the gate never acts; SWAP may name one qubit
// twice) and its matrix must have (2^num_targets)^2 entries: nothing is
// checked here, the plan checked it. The units are shared statically among
// the threads of `team` (every split gives the same amplitudes).
template <typename Real>
void run_kernel_call(StateView<Real>& s, const KernelCall& call, ThreadTeam team);

}  // namespace wavesim
