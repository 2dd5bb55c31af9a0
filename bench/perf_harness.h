// Shared pieces of the native benchmarks: what machine ran them, timing that
// scales repetitions until a measurement is long enough to trust, the
// streaming bound that state-vector work is measured against, and the goals
// the figures are checked against.
#pragma once

#include <omp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "wavesim/base/threads.h"
#include "wavesim/state/state_vector.h"

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

// A figure's goal: met when the figure is at most (or at least) `bound`.
// Timings on a shared machine are noisy, so a missed goal is reported, never
// turned into a failing exit status.
struct Goal {
    bool at_most;
    double bound;
    const char* unit;  // printed after the bound ("%", "x", "s")
};

constexpr Goal goal_at_most(double bound, const char* unit = "") { return {true, bound, unit}; }
constexpr Goal goal_at_least(double bound, const char* unit = "") { return {false, bound, unit}; }

inline bool goal_met(const Goal& goal, double figure) {
    return goal.at_most ? figure <= goal.bound : figure >= goal.bound;
}

// The text printed beside a figure: "goal <= 0.35 met", "goal >= 10x NOT met".
inline std::string goal_verdict(const Goal& goal, double figure) {
    char text[96];
    std::snprintf(text, sizeof text, "goal %s %g%s %s", goal.at_most ? "<=" : ">=", goal.bound, goal.unit,
                  goal_met(goal, figure) ? "met" : "NOT met");
    return text;
}

// The goals a binary checked, for its closing line.
struct GoalTally {
    int met = 0;
    int missed = 0;

    // Counts the verdict on `figure` and returns its text.
    std::string check(const Goal& goal, double figure) {
        ++(goal_met(goal, figure) ? met : missed);
        return goal_verdict(goal, figure);
    }
    void print_summary() const { std::printf("goals: %d met, %d NOT met\n", met, missed); }
};
