// The one way a gate reaches the amplitudes: a KernelCall, resolved and
// checked when a run is compiled, and run_kernel_call, which picks the
// compile-time variant of the kernel for the targets inside the register.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "wavesim/base/exact_sum.h"
#include "wavesim/state/state_vector.h"

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

// The exact kernels, by the pair or phase they apply, the dense matrix
// kernel, and the matrix kernel that first reads cross forms (the adjoint gradient's step).
enum class KernelGate : uint8_t { kX, kY, kH, kZ, kS, kSdg, kT, kTdg, kSwap, kMatrix, kCrossFormThenMatrix };

// Targets a dense matrix kernel takes (fused gates use all four).
constexpr int kMaxMatrixTargets = 4;

// Which entries of a matrix may be nonzero, told apart by how an entry's row
// index differs from its column index: in no bit (the diagonal), in every bit
// (the anti-diagonal) or in some. A form lists the kinds whose real parts and
// whose imaginary parts may be nonzero; a kernel of that form leaves out the
// products with the other entries, which are exact zeros. What is left is
// the dense kernel's arithmetic in its order, so for finite amplitudes every
// result equals the dense one (only the sign of a zero result may differ).
enum EntryKind : unsigned { kDiagonalEntry = 1, kAntiDiagonalEntry = 2, kOtherEntry = 4 };
constexpr unsigned kAllEntries = kDiagonalEntry | kAntiDiagonalEntry | kOtherEntry;
constexpr unsigned matrix_form(unsigned real_kinds, unsigned imag_kinds) { return real_kinds | (imag_kinds << 3); }
constexpr unsigned real_kinds(unsigned form) { return form & kAllEntries; }
constexpr unsigned imag_kinds(unsigned form) { return form >> 3; }
constexpr unsigned kDenseForm = matrix_form(kAllEntries, kAllEntries);

// The form with a kernel of its own that covers every nonzero entry of `m`
// with the fewest products: diagonal (RZ, P, RZZ, phases under controls),
// real (RY, H under controls, SWAP), "c, -i s" (RX, RXX, RYY, ISWAP),
// anti-diagonal (X, Y under controls), or dense. A matrix with a non-finite
// entry, or on more than two targets, is dense.
unsigned kernel_form_of(const Matrix& m);

// Matrices one kCrossFormThenMatrix call reads with (a gate's parameters at most).
constexpr int kMaxCrossForms = 4;

// The form of the reads of a kCrossFormThenMatrix call whose U has form
// `form`. For a rotation U = c I - i s G about a Pauli string G, each read
// matrix dU U^dagger is -i/2 G: U's form without its diagonal (or the
// diagonal form itself when G is diagonal). Dense stays dense.
constexpr unsigned read_form_of(unsigned form) {
    const unsigned off_diagonal = (real_kinds(form) | imag_kinds(form)) & ~unsigned(kDiagonalEntry);
    if (form == kDenseForm || off_diagonal == 0) return form;
    return matrix_form(real_kinds(form) & ~unsigned(kDiagonalEntry), imag_kinds(form) & ~unsigned(kDiagonalEntry));
}

// Doubles per quad: kernels that sum take four lanes of doubles at a time, in either precision.
constexpr int kQuadLanes = 4;

// Where a kernel that sums adds its sums: thread t (omp_get_thread_num(),
// below the hardware threads) adds sum m to sums[t * stride + m].
struct SumSlots {
    ExactSum* sums = nullptr;
    size_t stride = 0;
};

// One kernel invocation: target(s), controls that must be 1 (`ones`) and
// controls that must be 0 (`zeros`, open controls). kX, kY, kH act on
// targets[0]; the phase gates multiply the amplitudes whose targets[0] bit is
// 1; kSwap exchanges targets[0] and targets[1] (equal: no effect); kMatrix
// applies the row-major `matrix` on num_targets targets, bit j of its index
// being the bit of targets[j]. kCrossFormThenMatrix splits the state in two
// halves by its last target (at or above the register width), the ket (that
// bit 0) and the bra (that bit 1); its other targets form the groups, and
// `matrix` holds matrices on them one after another, U and then the
// matrices M_m of its reads; `form` covers U, and read_form_of(form) every M_m. It adds Re sum_{r,c} conj(bra_r)
// M_m[r][c] ket_c over the groups where the controls hold to sums m, then applies U to both halves.
struct KernelCall {
    KernelGate gate = KernelGate::kMatrix;
    int num_targets = 1;
    int targets[kMaxMatrixTargets] = {};
    uint64_t ones = 0;
    uint64_t zeros = 0;
    const Matrix* matrix = nullptr;
    unsigned form = kDenseForm;  // kMatrix, kCrossFormThenMatrix: the kernel form of the matrix (of U)
    SumSlots sums;               // kCrossFormThenMatrix
};

// Applies `call`. Its qubits must lie in `s` and be distinct (controls neither
// repeat nor meet a target, or the gate never acts; SWAP may name one qubit
// twice) and its matrix must have (2^num_targets)^2 entries: nothing is
// checked here, the plan checked it.
template <typename Real>
void run_kernel_call(StateVector<Real>& s, const KernelCall& call, KernelExec exec);

}  // namespace wavesim
