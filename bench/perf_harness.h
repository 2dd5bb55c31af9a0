// Shared pieces of the native benchmarks: what machine ran them, timing that
// scales repetitions until a measurement is long enough to trust, and the
// streaming bound that state-vector work is measured against.
#pragma once

#include <omp.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "wavesim/state/state_vector.h"
#include "wavesim/base/threads.h"

// The processor's model name from /proc/cpuinfo ("unknown" elsewhere).
inline std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

// Wall seconds of one call of `body`.
template <typename Body>
double seconds_of(Body body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Repetitions double until one batch runs for `seconds`; returns seconds per call.
template <typename Body>
double seconds_per_call(Body body, double seconds) {
    for (long reps = 1;; reps *= 2) {
        const double elapsed = seconds_of([&] {
            for (long i = 0; i < reps; ++i) body();
        });
        if (elapsed >= seconds) return elapsed / static_cast<double>(reps);
    }
}

// The streaming bound: one read-and-write sweep over the state's two
// component arrays with every thread the rule grants (negation, exact).
template <typename Real>
void streaming_sweep(wavesim::StateVector<Real>& s) {
    const int64_t dim = int64_t(s.dim);
    Real* re = s.re;
    Real* im = s.im;
#pragma omp parallel for schedule(static) num_threads(wavesim::thread_count_for(int(s.num_qubits)))
    for (int64_t i = 0; i < dim; ++i) {
        re[i] = -re[i];
        im[i] = -im[i];
    }
}
