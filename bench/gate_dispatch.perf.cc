// Cost of the gate-application layer above the kernels: a cached matrix gate
// (key, hash, lookup) and a fast-path gate, each against calling its kernel
// directly, on states small enough that the layer's overhead shows.
//
//   build/<dir>/gate_dispatch_perf [--seconds 0.3]
//
// Prints seconds per application through apply_gate_single_batch and directly,
// and the overhead per application beside its goal and whether it is met.
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "perf_harness.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/kernels/kernel_entries.h"
#include "wavesim/testing/reference_path.h"

namespace wavesim {
namespace {

constexpr int kQubitCounts[] = {4, 10, 14};
// Catalogue lookup, key and hash of a cached gate: well below a microsecond.
constexpr Goal kOverheadGoal = goal_at_most(1e-6, " s");

CircuitInstruction instruction(const std::string& name, std::vector<int32_t> qubits, std::vector<int32_t> controls,
                               std::vector<double> params) {
    CircuitInstruction ins;
    ins.name = name;
    ins.qubits = std::move(qubits);
    ins.controls = std::move(controls);
    ins.param.value = std::move(params);
    ins.has_param = true;
    return ins;
}

void report(const char* gate, int qubits, double layered, double direct, GoalTally& goals) {
    const double overhead = layered - direct;
    std::printf("%-10s %7d %14.3e %14.3e %14.3e  %s\n", gate, qubits, layered, direct, overhead,
                goals.check(kOverheadGoal, overhead).c_str());
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
    std::printf("%-10s %7s %14s %14s %14s  %s\n", "gate", "qubits", "layer s", "kernel s", "overhead s", "goal");
    GoalTally goals;
    for (int n : kQubitCounts) {
        StateVector<double> state(static_cast<unsigned>(n));
        GateMatrixCache cache;
        const CircuitInstruction crx = instruction("CRX", {0}, {n - 1}, {0.3, 0.4, 0.5});
        const Matrix m = target_matrix("CRX", {0.3});
        const double layered = seconds_per_call([&] { apply_gate_single_batch(state, crx, cache, 1); }, seconds);
        const double direct =
            seconds_per_call([&] { apply_controlled_single_qubit_matrix(state, n - 1, 0, m); }, seconds);
        report("CRX", n, layered, direct, goals);

        const CircuitInstruction h = instruction("H", {n / 2}, {}, {});
        const double layered_h = seconds_per_call([&] { apply_gate_single_batch(state, h, cache, 0); }, seconds);
        const double direct_h = seconds_per_call([&] { apply_h(state, n / 2); }, seconds);
        report("H", n, layered_h, direct_h, goals);
    }
    goals.print_summary();
    return 0;
}
