// The one way a gate reaches the amplitudes: a KernelCall, resolved and
// checked when a run is compiled, and run_kernel_call, which picks the
// compile-time variant of the kernel for the targets inside the register.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "state_vector.h"

namespace wavesim {

// Row-major, double precision, (2^k)^2 entries for k targets.
using Matrix = std::vector<std::complex<double>>;

// The mask of qubit q in an amplitude index.
inline uint64_t bit(int q) { return uint64_t{1} << q; }

// Where a kernel runs: in a parallel region of its own with the thread rule's
// count (which it leaves set on the calling thread), or on the calling thread
// alone with no region and no change to the thread count (a block of a
// larger state, or a state the rule gives one thread anyway). Both give the
// same amplitudes.
enum class KernelExec : uint8_t { kParallel, kCallingThread };

// The exact kernels, by the pair or phase they apply, and the dense matrix kernel.
enum class KernelGate : uint8_t { kX, kY, kH, kZ, kS, kSdg, kT, kTdg, kSwap, kMatrix };

// Targets a dense matrix kernel takes (fused gates use all four).
constexpr int kMaxMatrixTargets = 4;

// One kernel invocation: target(s), controls that must be 1 (`ones`) and
// controls that must be 0 (`zeros`, open controls). kX, kY, kH act on
// targets[0]; the phase gates multiply the amplitudes whose targets[0] bit is
// 1; kSwap exchanges targets[0] and targets[1] (equal: no effect); kMatrix
// applies the row-major `matrix` on num_targets targets, bit j of its index
// being the bit of targets[j].
struct KernelCall {
    KernelGate gate = KernelGate::kMatrix;
    int num_targets = 1;
    int targets[kMaxMatrixTargets] = {};
    uint64_t ones = 0;
    uint64_t zeros = 0;
    const Matrix* matrix = nullptr;
};

// Applies `call`. Its qubits must lie in `s` and be distinct (controls neither
// repeat nor meet a target, or the gate never acts; SWAP may name one qubit
// twice) and its matrix must have (2^num_targets)^2 entries: nothing is
// checked here, the plan checked it.
template <typename Real>
void run_kernel_call(StateVector<Real>& s, const KernelCall& call, KernelExec exec);

}  // namespace wavesim
