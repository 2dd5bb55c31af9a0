// A noisy circuit compiled for its trajectories, once per parameter set.
// Its sites are where a trajectory may branch: the channels, and the MEASUREs
// and RESETs that draw. Between sites the gates are compiled (and fused, as
// asked) stretch by stretch, once. Each site that has a dominant branch (the
// Kraus operator with the largest lower bound L, the identity of a Pauli
// mixture for instance) has that branch's operator among the steps too, so
// a trajectory without an event there passes the site inside a run of
// steps; an event (probability 1 - L) is where it may take another branch
// and is drawn by skipping: the sites up to a trajectory's next event are
// found from one draw and the summed hazards -log(L) of the sites between,
// so drawing costs grow with the number of events, not with sites times
// trajectories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/noise/channels.h"
#include "wavesim/plan/run.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// What the trajectories of a program are for.
enum class NoisyMode : uint8_t {
    kCounts,       // run_cpp: counted MEASUREs record, the terminal ones are sampled from the final state
    kExpectation,  // expectation values: every MEASURE of a qubit collapses (the non-selective measurement on average)
};

// One branch of a site: its operator as kernel calls (a Pauli product by the
// fixed kernels, any other as its matrix) and K^dagger K, which reads its
// probability ||K psi||^2 off a state.
struct SiteBranch {
    std::vector<KernelCall> calls;
    Matrix weight;
    double lower = 0.0;
    bool unitary = false;  // a Pauli product: applied, it keeps the norm
};

struct Site {
    size_t instruction = 0;
    int width = 1;
    int qubits[2] = {0, 0};
    std::vector<SiteBranch> branches;
    int dominant = -1;   // the branch of a trajectory without an event here, or -1: every trajectory has one
    double event = 1.0;  // probability of an event: 1 - lower of the dominant branch
    int32_t cbit = -1;   // a recording MEASURE's classical bit
    size_t at = 0;       // the steps before `at` bring a state to the site
    size_t after = 0;    // at plus the dominant branch's steps
};

struct NoisyProgram {
    uint32_t num_qubits = 0;
    RunPlan plan;                 // the compiled gates and the matrices every step points at
    std::vector<PlanStep> steps;  // gate steps, with the dominant branches of the sites
    std::vector<Site> sites;
    std::vector<double> hazard;     // [s]: summed -log(1 - event) of the sites before s that have a dominant branch
    std::vector<size_t> next_hard;  // [s]: the first site at or after s without a dominant branch (sites.size(): none)
    std::vector<double> log_floor;  // [s]: summed log(lower) of the non-unitary dominant branches before s
    std::vector<uint32_t> shrinking;    // [s]: how many sites before s have a non-unitary dominant branch
    std::vector<MeasuredBit> terminal;  // kCounts: the MEASUREs sampled from the final state, in circuit order
    bool noisy = false;                 // some site is a channel
};

// Parameter set `batch_index` of a circuit whose channels were checked,
// every instruction compiled in order (refusals as compile_run raises them,
// MEASURE and RESET of a qubit outside the state with check_qubit's); in
// kCounts mode the gates after the last counted MEASURE are compiled, not
// kept. `caches` as for make_program.
NoisyProgram compile_noisy(const std::vector<CircuitInstruction>& instructions, int num_qubits, int batch_index,
                           int num_cbits, NoisyMode mode, int fusion, RunCaches* caches);

// The first site at or after `site` where a trajectory with draw `u` has an
// event, or sites.size() when it has none before the end.
uint32_t next_event(const NoisyProgram& program, uint32_t site, double u);

}  // namespace wavesim
