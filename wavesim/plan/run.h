// The one way instructions reach a state. A circuit's instructions for one
// parameter set become a Program: compiled (plan/compile.h) and, when asked,
// fused (plan/fusion.h) stretch by stretch, a stretch being the gates between
// two MEASURE or RESET instructions; run_program then takes a state through
// any range of them, the gates window by window (plan/windows.h), RESET and
// MEASURE as the options say. Every entry of the simulator runs its circuits
// here: cal_states and the expectation values whole, the shot procedures
// between their measurements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/base/random_source.h"
#include "wavesim/base/threads.h"
#include "wavesim/plan/compile.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/plan/windows.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// Matrices the runs of one worker share (no lock: matrices are pure
// functions of their key): the gates' and, with fusion on, their products,
// keyed by the gates' matrix addresses, so the two go together.
struct RunCaches {
    GateMatrixCache gates;
    FusedMatrixCache fused;
};

// How a run treats what is not a gate, and on how many threads.
struct RunOptions {
    ThreadTeam team;                 // every kernel's and every reset's
    RandomSource* source = nullptr;  // the draws of RESET (and of a measuring MEASURE); a run that meets one needs it
    // A shot's classical register: given, a MEASURE whose classical bit is
    // below its size collapses the state with a draw from `source` and writes
    // the outcome there (a later one to the same bit overwrites); not given,
    // MEASURE leaves the state alone.
    std::vector<int>* shot_register = nullptr;
    // The window shape; block_qubits 0: this machine's shape for the state.
    WindowShape shape{0, 0};
};

// One parameter set of a circuit, compiled as runs first reach its stretches.
// `compiled` holds one step per instruction compiled so far (with the
// matrices of every step). With fusion on, `fused` holds those steps fused
// stretch by stretch and step_of[i] the index there of the step of
// instruction i when it ends a stretch; with fusion off both stay empty and
// the compiled steps run as they are.
struct Program {
    const std::vector<CircuitInstruction>* instructions = nullptr;
    uint32_t num_qubits = 0;
    int batch_index = 0;
    int fusion = kFusionOff;
    RunCaches* caches = nullptr;  // null: a single run, every matrix computed once without hashing its key
    RunPlan compiled;
    std::vector<PlanStep> fused;
    std::vector<size_t> step_of;
};

// The steps a run of the program takes, and where instruction i's step is
// among them when i ends a stretch.
inline const std::vector<PlanStep>& run_steps_of(const Program& program) {
    return program.fusion == kFusionOff ? program.compiled.steps : program.fused;
}
inline size_t step_of(const Program& program, size_t instruction) {
    return program.fusion == kFusionOff ? instruction : program.step_of[instruction];
}

// Whether an instruction ends a stretch: a MEASURE, or a RESET of a qubit (a
// RESET without one has no effect).
bool ends_stretch(const CircuitInstruction& instruction);

// A program of the instructions for a state of `num_qubits` qubits, nothing compiled yet.
Program make_program(const std::vector<CircuitInstruction>& instructions, uint32_t num_qubits, int batch_index,
                     int fusion, RunCaches* caches);

// Compiles the instructions up to and including `last`, which ends a stretch
// or is the circuit's end (the instructions' size), in one
// piece: refusals are raised in instruction order before any of them runs.
void compile_through(Program& program, size_t last);

// Instructions [begin, end) of the program on `state` (of the program's
// qubits), compiling what is not yet compiled. `begin` is 0 or one past an
// instruction that ends a stretch; `end` ends a stretch or is the circuit's end.
// Returns what the gates took.
template <typename Real>
GatePasses run_program(StateView<Real>& state, Program& program, size_t begin, size_t end, const RunOptions& options);

// Steps [begin, end) on `state`: gates window by window, RESET with the
// options' source and team, MEASURE as the options say, the names without
// effect passed over; the windows' scratch is kept from one stretch to the
// next. Returns what the gates took.
template <typename Real>
GatePasses run_steps(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                     const RunOptions& options);

// Every instruction for parameter set `batch_index`, compiled in one piece,
// fused as `fusion` says and run on `state`.
template <typename Real>
void run_circuit(StateView<Real>& state, const std::vector<CircuitInstruction>& instructions, int batch_index,
                 int fusion, RunCaches* caches, const RunOptions& options);

}  // namespace wavesim
