// The fixed cost of one small cal_states call, split into its parts, for the
// variational circuit of the small-call benchmark (5 layers of RY on every
// qubit and a CX chain):
//
//   build/bench/bench/small_calls_perf [n ...]     (default n = 2 4 6 8 10 12)
//
// Columns, in microseconds per call: batch count; the state's allocation;
// compiling the run (checks, kernel choice, one matrix per RY); applying the
// plan (every gate on the calling thread, no region below 15 qubits); the
// whole core call (state, run, result buffer) and what it adds beyond the
// parts; gates per call and the plan's time per gate. The Python entry and
// the NumPy wrapper come on top: bench/bench_small_calls.py measures whole
// calls from Python against qulacs.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "perf_harness.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/batch/cal_states.h"
#include "wavesim/plan/windows.h"
#include "wavesim/testing/run_plan.h"

namespace wavesim {
namespace {

constexpr int kDefaultSizes[] = {2, 4, 6, 8, 10, 12};
constexpr int kLayers = 5;
constexpr double kSeconds = 0.2;
constexpr double kMicro = 1e6;

CircuitData ry_cx_circuit(int n) {
    std::mt19937 engine{unsigned(n)};
    std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
    CircuitData circuit;
    circuit.num_qubits = n;
    for (int layer = 0; layer < kLayers; ++layer) {
        for (int q = 0; q < n; ++q) {
            CircuitInstruction ry;
            ry.name = "RY";
            ry.qubits = {q};
            ry.param.value = std::vector<double>{angle(engine)};
            ry.has_param = true;
            circuit.instructions.push_back(ry);
        }
        for (int q = 0; q + 1 < n; ++q) {
            CircuitInstruction cx;
            cx.name = "CX";
            cx.controls = {q};
            cx.qubits = {q + 1};
            circuit.instructions.push_back(cx);
        }
    }
    return circuit;
}

}  // namespace
}  // namespace wavesim

int main(int argc, char** argv) {
    using namespace wavesim;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes.assign(std::begin(kDefaultSizes), std::end(kDefaultSizes));
    std::printf("CPU: %s; double precision, microseconds per call\n", cpu_model().c_str());
    std::printf("| n | gates | batch count | state | compile | apply | core call | rest of core | apply per gate |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    for (int n : sizes) {
        const CircuitData circuit = ry_cx_circuit(n);
        const auto& ops = circuit.instructions;
        const double count = seconds_per_call([&] { (void)batch_count(circuit, nullptr); }, kSeconds);
        const double state = seconds_per_call([&] { StateVector<double> s{unsigned(n)}; }, kSeconds);
        const double compile =
            seconds_per_call([&] { (void)compile_run(ops, 0, ops.size(), unsigned(n), nullptr, 0); }, kSeconds);
        const RunPlan plan = compile_run(ops, 0, ops.size(), unsigned(n), nullptr, 0);
        StateVector<double> s{unsigned(n)};
        RandomSource source = make_seeded_source(1);
        const double apply = seconds_per_call(
            [&] { testing_support::run_plan(s, plan, source, window_shape_for<double>(unsigned(n))); }, kSeconds);
        const double core = seconds_per_call([&] { (void)final_amplitudes<double>(circuit, 1); }, kSeconds);
        std::printf("| %d | %zu | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.4f |\n", n, ops.size(), count * kMicro,
                    state * kMicro, compile * kMicro, apply * kMicro, core * kMicro,
                    (core - count - state - compile - apply) * kMicro, apply * kMicro / double(ops.size()));
    }
    return 0;
}
