// Native fill rate of brickgen's quantum-volume lists: allocation, parallel
// filling and destruction of the record vector, without Python objects.
//
//   OMP_NUM_THREADS=<t> build/<dir>/bench/brickgen_perf [--seconds 0.3] [--rounds 3]
//
// Prints one line per size with the team size of the OpenMP runtime's default:
// seconds per call, records per wall second and per CPU second, best round.
// On a shared machine the CPU rate of one thread is the steadier figure. bench/bench_brickgen.py
// runs it with 1 and 2 threads and compares the scaling with its goal.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "perf_harness.h"
#include "qv_op_list.h"

namespace {

constexpr int kSizes[] = {16, 32, 64, 100, 128, 200};
constexpr int kSeed = 12345;
constexpr double kDefaultSeconds = 0.3;
constexpr int kDefaultRounds = 3;

struct Timing {
    double wall = 0;  // seconds per call
    double cpu = 0;   // process CPU seconds per call, all threads together
};

// Repetitions double until one batch runs for `seconds` of wall time.
template <typename Body>
Timing time_per_call(Body body, double seconds) {
    using clock = std::chrono::steady_clock;
    for (long reps = 1;; reps *= 2) {
        const std::clock_t cpu_start = std::clock();
        const auto start = clock::now();
        for (long i = 0; i < reps; ++i) body();
        const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
        if (elapsed >= seconds) {
            const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
            return Timing{elapsed / static_cast<double>(reps), cpu / static_cast<double>(reps)};
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = kDefaultSeconds;
    int rounds = kDefaultRounds;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::printf("# compiler %s, cpu %s, %d hardware threads, best of %d rounds of >= %.2f s\n", __VERSION__,
                cpu_model().c_str(), omp_get_num_procs(), rounds, seconds);
    std::printf("%8s %8s %9s %14s %16s %16s\n", "qubits", "threads", "records", "s/call", "records/s", "records/cpu-s");
    std::vector<Timing> best(std::size(kSizes), Timing{INFINITY, INFINITY});
    for (int round = 0; round < rounds; ++round) {
        for (size_t s = 0; s < std::size(kSizes); ++s) {
            const int n = kSizes[s];
            const Timing t = time_per_call([n] { brickgen::build_qv_op_list_ultra(n, 0, kSeed); }, seconds);
            best[s].wall = std::min(best[s].wall, t.wall);
            best[s].cpu = std::min(best[s].cpu, t.cpu);
        }
    }
    for (size_t s = 0; s < std::size(kSizes); ++s) {
        const int count = brickgen::qv_record_count(kSizes[s]);
        std::printf("%8d %8d %9d %14.6e %16.0f %16.0f\n", kSizes[s], omp_get_max_threads(), count, best[s].wall,
                    count / best[s].wall, count / best[s].cpu);
    }
}
