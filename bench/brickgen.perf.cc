// Native fill rate of brickgen's quantum-volume lists: allocation, parallel
// filling and destruction of the record vector, without Python objects.
//
//   OMP_NUM_THREADS=<t> build/<dir>/bench/brickgen_perf [--seconds 0.3] [--rounds 3]
//
// Prints one line per size with the team size of the OpenMP runtime's default:
// seconds per call and records per second, best round. bench/bench_brickgen.py
// runs it with 1 and 2 threads and compares the scaling with its goal.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qv_op_list.h"

namespace {

constexpr int kSizes[] = {16, 32, 64, 100, 128, 200};
constexpr int kSeed = 12345;

std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

// Repetitions double until one batch runs for `seconds`; returns seconds per call.
template <typename Body>
double seconds_per_call(Body body, double seconds) {
    using clock = std::chrono::steady_clock;
    for (long reps = 1;; reps *= 2) {
        const auto start = clock::now();
        for (long i = 0; i < reps; ++i) body();
        const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
        if (elapsed >= seconds) return elapsed / static_cast<double>(reps);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0.3;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::printf("# compiler %s, cpu %s, %d hardware threads, best of %d rounds of >= %.2f s\n", __VERSION__,
                cpu_model().c_str(), omp_get_num_procs(), rounds, seconds);
    std::printf("%8s %8s %9s %14s %16s\n", "qubits", "threads", "records", "s/call", "records/s");
    std::vector<double> rate(std::size(kSizes));
    for (int round = 0; round < rounds; ++round) {
        for (size_t s = 0; s < std::size(kSizes); ++s) {
            const int n = kSizes[s];
            const double per_call = seconds_per_call([n] { brickgen::build_qv_op_list_ultra(n, 0, kSeed); }, seconds);
            rate[s] = std::max(rate[s], brickgen::qv_record_count(n) / per_call);
        }
    }
    for (size_t s = 0; s < std::size(kSizes); ++s) {
        const int count = brickgen::qv_record_count(kSizes[s]);
        std::printf("%8d %8d %9d %14.6e %16.0f\n", kSizes[s], omp_get_max_threads(), count, count / rate[s], rate[s]);
    }
}
