// Shot sampling from a final state: one table search (and chunk walk) per draw
// against the sorted sweep of sample_indices, which resolves all draws at once.
//
//   build/<dir>/sampling_perf [--seconds 0.3]
//
// Prints, per (qubits, shots), seconds per call of both forms and the speed-up
// of the sweep beside its goal (it must never be slower than the per-draw
// search) and whether it is met.
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "perf_harness.h"
#include "wavesim/state/measurement.h"

namespace wavesim {
namespace {

struct Size {
    int qubits;
    int shots;
};

constexpr Size kSizes[] = {{12, 100000}, {16, 100000}, {20, 1000}, {20, 100000}, {24, 100000}};
constexpr Goal kSpeedupGoal = goal_at_least(1.0, "x");
constexpr int kSeed = 2024;

// A normalised state with every amplitude non-zero, so every chunk gets draws.
void fill(StateVector<double>& s) {
    RandomSource source = make_seeded_source(kSeed);
    double norm = 0.0;
    for (uint64_t i = 0; i < s.dim; ++i) {
        s.re[i] = draw_uniform(source);
        s.im[i] = draw_uniform(source) - 0.5;
        norm += s.re[i] * s.re[i] + s.im[i] * s.im[i];
    }
    const double scale = 1.0 / std::sqrt(norm);
    for (uint64_t i = 0; i < s.dim; ++i) {
        s.re[i] *= scale;
        s.im[i] *= scale;
    }
}

}  // namespace
}  // namespace wavesim

int main(int argc, char** argv) {
    using namespace wavesim;
    double seconds = 0.3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    }
    std::printf("# compiler %s, cpu %s, %d hardware threads, repetitions of >= %.2f s\n", __VERSION__,
                cpu_model().c_str(), omp_get_num_procs(), seconds);
    std::printf("%7s %8s %14s %14s %9s  %s\n", "qubits", "shots", "per-draw s", "sweep s", "speed-up", "goal");
    GoalTally goals;
    for (const Size& size : kSizes) {
        StateVector<double> state(static_cast<unsigned>(size.qubits));
        fill(state);
        const CumulativeTable table = build_cumulative(state);
        std::vector<double> draws(static_cast<size_t>(size.shots));
        RandomSource source = make_seeded_source(kSeed);
        for (double& r : draws) r = draw_uniform(source);
        volatile uint64_t sink = 0;
        const double per_draw = seconds_per_call(
            [&] {
                RandomSource replay = make_seeded_source(kSeed);
                for (int k = 0; k < size.shots; ++k) sink = sink + sample_index(state, table, replay);
            },
            seconds);
        const double sweep =
            seconds_per_call([&] { sink = sink + sample_indices(state, table, draws).back(); }, seconds);
        const double speedup = per_draw / sweep;
        std::printf("%7d %8d %14.3e %14.3e %9.2f  %s\n", size.qubits, size.shots, per_draw, sweep, speedup,
                    goals.check(kSpeedupGoal, speedup).c_str());
    }
    goals.print_summary();
    return 0;
}
