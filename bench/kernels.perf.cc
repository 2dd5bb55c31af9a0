// Gate kernels against this machine's streaming bound, measured in the same run.
//
//   build/<dir>/kernels_perf [n ...]        (default n = 20 24 26)
//
// The bound is a read-and-write sweep over the state's two component arrays
// with every thread the rule grants, timed in batches alternating with the
// kernel's so that both see the same load on a shared machine. Each kernel is timed per amplitude for
// each target position class: t = 0 and the highest qubit inside one register
// (partner in the same vector), a middle qubit and the top qubit. Each cell
// shows ns per amplitude and bound time / kernel time in percent; kernels that touch only part of
// the state (controlled, phase gates) can exceed 100 %. Goals for n >= 24, on
// the row's lowest cell: single-qubit fixed and matrix kernels 80 %, all
// others 70 %; each such row prints its goal and whether it is met. At n = 14
// (double) and 16 (float) the state stays in a core's L2 cache, as a window's
// block does: the cells are then the kernels' in-cache cost per amplitude.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "perf_harness.h"
#include "wavesim/base/simd.h"
#include "wavesim/base/threads.h"
#include "wavesim/kernels/kernel_entries.h"

namespace wavesim {
namespace {

constexpr int kDefaultSizes[] = {20, 24, 26};
constexpr int kSmallestGoalQubits = 24;
constexpr double kSingleQubitGoalPercent = 80;
constexpr double kOtherGoalPercent = 70;
constexpr double kBatchSeconds = 0.1;
constexpr int kRepeats = 3;

// Seconds per call of one batch whose call count doubles until it lasts kBatchSeconds.
double batch_seconds_per_call(const std::function<void()>& body) {
    using clock = std::chrono::steady_clock;
    for (long calls = 1;; calls *= 2) {
        const auto start = clock::now();
        for (long i = 0; i < calls; ++i) body();
        const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
        if (elapsed >= kBatchSeconds) return elapsed / double(calls);
    }
}

struct Timing {
    double bound;   // best seconds per call of the streaming sweep
    double kernel;  // best seconds per call of the kernel
};

// Bound and kernel batches alternate, so both see the same load on a shared machine.
Timing interleaved(const std::function<void()>& bound, const std::function<void()>& kernel) {
    Timing best = {1e300, 1e300};
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        best.bound = std::min(best.bound, batch_seconds_per_call(bound));
        best.kernel = std::min(best.kernel, batch_seconds_per_call(kernel));
    }
    return best;
}

// A unitary keeps the amplitudes away from overflow and subnormals over many calls.
Matrix rotation(double theta, double phi) {
    const std::complex<double> e = std::polar(1.0, phi);
    return {std::cos(theta), -std::sin(theta) * e, std::sin(theta) * e, std::cos(theta) * e * e};
}

Matrix kron(const Matrix& a, const Matrix& b) {
    const size_t na = size_t(std::lround(std::sqrt(double(a.size())))),
                 nb = size_t(std::lround(std::sqrt(double(b.size()))));
    Matrix out(a.size() * b.size());
    for (size_t i = 0; i < na; ++i)
        for (size_t j = 0; j < na; ++j)
            for (size_t k = 0; k < nb; ++k)
                for (size_t l = 0; l < nb; ++l)
                    out[(i * nb + k) * na * nb + j * nb + l] = a[i * na + j] * b[k * nb + l];
    return out;
}

struct Positions {
    int t;        // target of the class
    int partner;  // control or second target
    int extra;    // second control or third target
};

template <typename Real>
struct KernelCase {
    const char* name;
    bool single_qubit;
    std::function<void(StateVector<Real>&, const Positions&)> run;
};

template <typename Real>
std::vector<KernelCase<Real>> kernel_cases() {
    static const Matrix kMatrix1 = rotation(0.3, 0.7);
    static const Matrix kMatrix2 = kron(rotation(0.5, 0.2), rotation(1.1, -0.4));
    static const Matrix kMatrix3 = kron(rotation(0.9, 0.1), kMatrix2);
    static const Matrix kMatrix4 = kron(rotation(0.2, 1.3), kMatrix3);
    using S = StateVector<Real>;
    auto sorted = [](const Positions& p) {
        std::vector<int> q = {p.t, p.partner, p.extra};
        std::sort(q.begin(), q.end());
        return q;
    };
    return {
        {"x", true, [](S& s, const Positions& p) { apply_x(s, p.t); }},
        {"y", true, [](S& s, const Positions& p) { apply_y(s, p.t); }},
        {"z", true, [](S& s, const Positions& p) { apply_z(s, p.t); }},
        {"h", true, [](S& s, const Positions& p) { apply_h(s, p.t); }},
        {"s", true, [](S& s, const Positions& p) { apply_s(s, p.t); }},
        {"t", true, [](S& s, const Positions& p) { apply_t(s, p.t); }},
        {"matrix 1q", true, [](S& s, const Positions& p) { apply_single_qubit_matrix(s, p.t, kMatrix1); }},
        {"cx", false, [](S& s, const Positions& p) { apply_cx(s, p.partner, p.t); }},
        {"cz", false, [](S& s, const Positions& p) { apply_cz(s, p.partner, p.t); }},
        {"swap", false, [](S& s, const Positions& p) { apply_swap(s, p.t, p.partner); }},
        {"ccx", false, [](S& s, const Positions& p) { apply_ccx(s, p.partner, p.extra, p.t); }},
        {"controlled 1q", false,
         [](S& s, const Positions& p) { apply_controlled_single_qubit_matrix(s, p.partner, p.t, kMatrix1); }},
        {"multi-ctrl 1q", false,
         [](S& s, const Positions& p) {
             apply_multi_controlled_single_qubit_matrix(s, p.t, {p.partner, p.extra}, kMatrix1);
         }},
        {"matrix 2q", false, [](S& s, const Positions& p) { apply_two_qubit_matrix(s, p.t, p.partner, kMatrix2); }},
        {"multi-ctrl 2q", false,
         [](S& s, const Positions& p) {
             apply_multi_controlled_two_qubit_matrix(s, p.t, p.partner, {p.extra}, kMatrix2);
         }},
        {"matrix 3q", false,
         [sorted](S& s, const Positions& p) {
             const std::vector<int> q = sorted(p);
             apply_three_qubit_matrix(s, q[0], q[1], q[2], kMatrix3);
         }},
        // A fused gate: the fourth qubit just below the class's third.
        {"matrix 4q", false,
         [](S& s, const Positions& p) {
             KernelCall call;
             call.num_targets = 4;
             const int q[] = {p.t, p.partner, p.extra, p.extra - 1};
             std::copy(std::begin(q), std::end(q), call.targets);
             call.matrix = &kMatrix4;
             run_kernel_call(s, call, team_for(int(s.num_qubits)));
         }},
    };
}

template <typename Real>
void run_size(int n, const char* precision, GoalTally& goals) {
    StateVector<Real> s{unsigned(n)};
    const Real amplitude = Real(1.0 / std::sqrt(double(s.dim)));
    std::fill(s.re, s.re + s.dim, amplitude);
    const auto sweep = [&] { streaming_sweep(s); };
    const int top = n - 1, middle = n / 2, inside = Simd<Real>::kLogWidth - 1;
    const Positions classes[] = {
        {0, top, middle - 1}, {inside, top, middle - 1}, {middle, top, middle - 1}, {top, top - 1, middle - 1}};
    std::printf("\n%s, n = %d\n", precision, n);
    std::printf("%-15s %11s %11s %11s %11s   goal\n", "kernel", "t=0", ("t=" + std::to_string(inside)).c_str(),
                ("t=" + std::to_string(middle)).c_str(), ("t=" + std::to_string(top)).c_str());
    double best_bound = 1e300;
    for (const auto& kernel : kernel_cases<Real>()) {
        std::printf("%-15s", kernel.name);
        double lowest_percent = 1e300;
        for (const Positions& p : classes) {
            const Timing timing = interleaved(sweep, [&] { kernel.run(s, p); });
            best_bound = std::min(best_bound, timing.bound);
            const double percent = 100 * timing.bound / timing.kernel;
            lowest_percent = std::min(lowest_percent, percent);
            std::printf(" %6.3fns %3.0f%%", timing.kernel / double(s.dim) * 1e9, percent);
        }
        if (n >= kSmallestGoalQubits) {
            const Goal goal = goal_at_least(kernel.single_qubit ? kSingleQubitGoalPercent : kOtherGoalPercent, "%");
            std::printf("   lowest %.0f%%, %s\n", lowest_percent, goals.check(goal, lowest_percent).c_str());
        } else {
            std::printf("   (no goal below n = %d)\n", kSmallestGoalQubits);
        }
    }
    const double bound = best_bound / double(s.dim);
    std::printf("%s, n = %d: best streaming bound %.3f ns per amplitude (%.1f GB/s read+write)\n", precision, n,
                bound * 1e9, 4.0 * sizeof(Real) / bound / 1e9);
}

}  // namespace
}  // namespace wavesim

int main(int argc, char** argv) {
    using namespace wavesim;
    std::vector<int> sizes(std::begin(kDefaultSizes), std::end(kDefaultSizes));
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    }
    std::printf(
        "kernels_perf: compiler %s, CPU %s, %d hardware threads, %d threads per kernel region above 14 qubits\n",
        __VERSION__, cpu_model().c_str(), kHardwareThreads, thread_count_for(kSmallestGoalQubits));
    std::printf("cells: ns per amplitude and bound/kernel in percent\n");
    GoalTally goals;
    for (int n : sizes) {
        run_size<double>(n, "double", goals);
        run_size<float>(n, "float", goals);
    }
    std::printf("\n");
    goals.print_summary();
    return 0;
}
