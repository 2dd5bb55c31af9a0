// run_cpp's two strategies against their bounds, measured in one run:
//   1. 10^6 shots of a 24-qubit circuit with terminal measurements (sample-once)
//      must cost less than 3x one evaluation of the same circuit by cal_states;
//   2. 10^4 shots of a 16-qubit circuit with a mid-circuit measurement
//      (per-shot) must run at least 10x faster than the literal procedure.
//
//   build/<dir>/shots_perf [--literal-shots 300]
//
// The literal procedure costs the same for every shot (fresh state, whole
// circuit), so it runs on the first --literal-shots shots only and its time is
// scaled to 10^4; the fast counts on those shots are checked equal (if they
// differ, the binary exits with status 1). Each ratio is printed with its goal
// and whether it is met.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "perf_harness.h"
#include "wavesim/batch/cal_states.h"
#include "wavesim/shots/driver.h"
#include "wavesim/testing/literal_shots.h"

namespace wavesim {
namespace {

constexpr int kTerminalQubits = 24;
constexpr int kTerminalShots = 1000000;
constexpr double kTerminalBound = 3.0;
constexpr int kMidQubits = 16;
constexpr int kMidShots = 10000;
constexpr double kMidGoal = 10.0;
constexpr int kLayersBefore = 4;
constexpr int kLayersAfter = 1;
constexpr int kSeed = 2024;

CircuitInstruction gate(const char* name, int32_t target, std::vector<int32_t> controls = {}, double angle = 0.0) {
    CircuitInstruction ins;
    ins.name = name;
    ins.qubits = {target};
    ins.controls = std::move(controls);
    if (ins.name[0] == 'R') {
        ins.has_param = true;
        ins.param.value = std::vector<double>{angle};
    }
    return ins;
}

CircuitInstruction measure(int32_t qubit) { return gate("MEASURE", qubit, {qubit}); }

// RY on every qubit with varied angles, then a CX chain: a spread, entangled state.
void add_layers(CircuitData& circuit, int layers) {
    const int n = circuit.num_qubits;
    for (int layer = 0; layer < layers; ++layer) {
        for (int q = 0; q < n; ++q) circuit.instructions.push_back(gate("RY", q, {}, 0.37 * (q + 1) + 0.11 * layer));
        for (int q = 1; q < n; ++q) circuit.instructions.push_back(gate("CX", q, {q - 1}));
    }
}

void measure_all(CircuitData& circuit) {
    for (int q = 0; q < circuit.num_qubits; ++q) circuit.instructions.push_back(measure(q));
}

// run_cpp's counts of `shots` shots from a stream seeded with kSeed (the circuit has one parameter set).
ShotCounts run_cpp_counts(const CircuitData& circuit, int shots) {
    return run_shots<double>(circuit, shots, circuit.num_qubits, kSeed, nullptr).front();
}

void terminal_case(GoalTally& goals) {
    CircuitData circuit;
    circuit.num_qubits = kTerminalQubits;
    add_layers(circuit, kLayersBefore);
    measure_all(circuit);
    const double evaluate = seconds_of([&] { final_amplitudes<double>(circuit, 0); });
    size_t outcomes = 0;
    const double shots = seconds_of([&] { outcomes = run_cpp_counts(circuit, kTerminalShots).size(); });
    std::printf("terminal: %d qubits, %zu gates, %d shots (%zu distinct keys)\n", kTerminalQubits,
                circuit.instructions.size() - kTerminalQubits, kTerminalShots, outcomes);
    std::printf("  cal_states (one evaluation)   %8.3f s\n", evaluate);
    std::printf("  run_cpp shots (sample-once)   %8.3f s   ratio %.2fx   %s\n", shots, shots / evaluate,
                goals.check(goal_at_most(kTerminalBound, "x"), shots / evaluate).c_str());
}

// False when run_cpp's counts differ from the literal procedure's.
bool mid_circuit_case(int literal_shots, GoalTally& goals) {
    CircuitData circuit;
    circuit.num_qubits = kMidQubits;
    add_layers(circuit, kLayersBefore);
    circuit.instructions.push_back(measure(0));
    add_layers(circuit, kLayersAfter);
    measure_all(circuit);
    const ShotSetup setup = setup_shots(circuit, kMidQubits);

    ShotCounts literal_subset;
    const double literal = seconds_of([&] {
        RandomSource source = make_seeded_source(kSeed);
        literal_subset = literal_counts<double>(circuit, setup, 0, literal_shots, kMidQubits, source);
    });
    const ShotCounts fast_subset = run_cpp_counts(circuit, literal_shots);
    const double fast = seconds_of([&] { run_cpp_counts(circuit, kMidShots); });
    const double literal_scaled = literal * kMidShots / literal_shots;
    std::printf("mid-circuit: %d qubits, %zu instructions, %d shots\n", kMidQubits, circuit.instructions.size(),
                kMidShots);
    std::printf("  literal per-shot procedure    %8.3f s   (%d shots measured: %.2f ms/shot)\n", literal_scaled,
                literal_shots, 1e3 * literal / literal_shots);
    std::printf("  run_cpp shots (per-shot)      %8.3f s   (%.3f ms/shot)   speed-up %.1fx   %s\n", fast,
                1e3 * fast / kMidShots, literal_scaled / fast,
                goals.check(goal_at_least(kMidGoal, "x"), literal_scaled / fast).c_str());
    const bool equal = fast_subset == literal_subset;
    std::printf("  counts on the measured shots equal the literal procedure's: %s\n", equal ? "yes" : "NO");
    return equal;
}

}  // namespace
}  // namespace wavesim

int main(int argc, char** argv) {
    using namespace wavesim;
    int literal_shots = 300;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--literal-shots") == 0) literal_shots = std::atoi(argv[i + 1]);
    }
    std::printf("CPU: %s, %u hardware threads; compiler: %s\n", cpu_model().c_str(),
                std::thread::hardware_concurrency(), __VERSION__);
    GoalTally goals;
    terminal_case(goals);
    const bool equal = mid_circuit_case(literal_shots, goals);
    goals.print_summary();
    if (!equal) {
        std::printf("ERROR: run_cpp's counts differ from the literal procedure's\n");
        return 1;
    }
    return 0;
}
