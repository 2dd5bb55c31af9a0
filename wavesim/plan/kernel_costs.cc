// The kernels' costs, measured on first use: each kind of call timed on a
// block of the shape the windows gather, at a target inside the register and
// one above it, the best of a few runs.
#include "wavesim/plan/kernel_costs.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <complex>

#include "wavesim/base/bits.h"
#include "wavesim/base/simd.h"
#include "wavesim/gates/matrix_form.h"

namespace wavesim {
namespace {

constexpr int kBlockQubits = 13;  // a block in a core's cache in both precisions
constexpr int kRuns = 5;
constexpr int kCalls = 4;
constexpr size_t kFixedKernels = size_t(KernelGate::kMatrix);

// Kinds of calls: a fixed kernel, or a matrix kernel by its number of targets and form.
struct CostTable {
    double fixed[kFixedKernels] = {};
    double matrix[kMaxMatrixTargets + 1][std::size(kKernelForms) + std::size(kSharedSumForms)] = {};
    double diagonal[kMaxDiagonalTargets + 1] = {};
};

// Index of `form` among the kernel forms and the dense forms that share sums.
size_t form_index(unsigned form) {
    for (size_t k = 0; k < std::size(kKernelForms); ++k)
        if (kKernelForms[k] == form) return k;
    for (size_t k = 0; k < std::size(kSharedSumForms); ++k)
        if (kSharedSumForms[k] == form) return std::size(kKernelForms) + k;
    return std::size(kKernelForms) - 1;  // dense
}

unsigned form_at(size_t index) {
    return index < std::size(kKernelForms) ? kKernelForms[index] : kSharedSumForms[index - std::size(kKernelForms)];
}

// A matrix whose nonzero entries are those `form` allows, with the sums it shares.
Matrix matrix_of_form(int targets, unsigned form) {
    const size_t size = size_t{1} << targets;
    Matrix m(size * size);
    for (size_t r = 0; r < size; ++r)
        for (size_t c = 0; c < size; ++c) {
            const unsigned kind = entry_kind(r, c, size);
            const double x = 0.3 + 0.01 * double(r * size + c), y = 0.2 - 0.01 * double(r + c);
            m[r * size + c] = {real_kinds(form) & kind ? x : 0.0, imag_kinds(form) & kind ? y : 0.0};
        }
    const unsigned sums = shared_sums(form);
    for (std::complex<double>& e : m) {
        if (sums == kImagRepeatsReal) e = {e.real(), e.real()};
        if (sums == kImagNegatesReal) e = {e.real(), -e.real()};
    }
    if (targets == 1 && sums == kRowRepeatsReal) m[2] = std::conj(m[0]), m[3] = std::conj(m[1]);
    if (targets == 1 && sums == kRowRepeatsImag) m[2] = -std::conj(m[0]), m[3] = -std::conj(m[1]);
    return m;
}

// Best nanoseconds per amplitude of `call` over a few runs.
template <typename Real>
double measured(StateView<Real>& block, const KernelCall& call) {
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < kCalls; ++k) run_kernel_call(block, call, ThreadTeam{});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, seconds);
    }
    return best * 1e9 / kCalls / double(block.dim);
}

// The mean over a target inside the register and one above it (targets from
// there up, every `spacing` qubits).
template <typename Real>
double measured_at_both(StateView<Real>& block, KernelCall call, int spacing = 2) {
    double total = 0;
    for (int first : {0, Simd<Real>::kLogWidth + 2}) {
        for (int j = 0; j < call.num_targets; ++j) call.targets[j] = first + spacing * j;
        total += measured(block, call);
    }
    return total / 2;
}

template <typename Real>
CostTable measure_costs() {
    CostTable table;
    StateVector<Real> block(kBlockQubits);
    for (uint64_t i = 0; i < block.dim; ++i) block.re[i] = block.im[i] = Real(1) / Real(256);
    for (size_t k = 0; k < kFixedKernels; ++k) {
        KernelCall call;
        call.gate = KernelGate(k);
        call.num_targets = call.gate == KernelGate::kSwap ? 2 : 1;
        table.fixed[k] = measured_at_both(block, call);
    }
    for (int targets = 1; targets <= kMaxMatrixTargets; ++targets)
        for (size_t f = 0; f < std::size(table.matrix[targets]); ++f) {
            // Wider matrices are always dense: one measurement stands for every form.
            if (targets > kStructuredTargets && f > 0) {
                table.matrix[targets][f] = table.matrix[targets][0];
                continue;
            }
            const unsigned form = targets <= kStructuredTargets ? form_at(f) : kDenseForm;
            const Matrix m = matrix_of_form(targets, form);
            KernelCall call;
            call.gate = KernelGate::kMatrix;
            call.num_targets = targets;
            call.matrix = &m;
            call.form = form;  // the kernel of this entry, whatever else the matrix would allow
            table.matrix[targets][f] = measured_at_both(block, call);
        }
    for (int targets = 1; targets <= kMaxDiagonalTargets; ++targets) {
        const Matrix entries(size_t{1} << targets, Complex(0.6, 0.8));
        KernelCall call;
        call.gate = KernelGate::kDiagonal;
        call.num_targets = targets;
        call.matrix = &entries;
        table.diagonal[targets] = measured_at_both(block, call, 1);
    }
    return table;
}

}  // namespace

double kernel_cost(const KernelCall& call) {
    static const CostTable table = measure_costs<double>();
    if (call.gate == KernelGate::kDiagonal) return table.diagonal[call.num_targets];
    const bool fixed = call.gate != KernelGate::kMatrix && call.gate != KernelGate::kCrossFormThenMatrix;
    double cost = fixed ? table.fixed[size_t(call.gate)] : table.matrix[call.num_targets][form_index(call.form)];
    // A control above the register width halves the units a kernel visits.
    const uint64_t outer_controls = (call.ones | call.zeros) & ~((uint64_t{1} << Simd<double>::kLogWidth) - 1);
    return cost / double(uint64_t{1} << popcount(outer_controls));
}

}  // namespace wavesim
