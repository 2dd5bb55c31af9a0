#include "gate_runs.h"

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <exception>

#include "circuit_walk.h"
#include "threads.h"

namespace {

bool below_block(int32_t qubit) { return qubit >= 0 && qubit < kBlockQubits; }

bool blockable_gate(const CircuitInstruction& instruction) {
    if (has_name(instruction, "RESET")) return false;
    for (int32_t q : instruction.qubits)
        if (!below_block(q)) return false;
    for (int32_t q : instruction.controls)
        if (!below_block(q)) return false;
    return true;
}

struct PlannedGate {
    const CircuitInstruction* instruction;
    size_t plan;
};

// Applies the planned gates to every block. The kernels open their own
// regions inside this one; nested regions run on the calling worker alone, and
// the thread rule gives a block's size one thread anyway.
template <typename Real>
void apply_blocked(StateVector<Real>& state, const std::vector<const CircuitInstruction*>& gates,
                   const std::vector<GatePlan<Real>>& plans) {
    const int64_t blocks = static_cast<int64_t>(state.dim >> kBlockQubits);
    constexpr uint64_t kBlockSize = uint64_t{1} << kBlockQubits;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
#pragma omp parallel for schedule(static) num_threads(thread_count_for(int(state.num_qubits)))
    for (int64_t block = 0; block < blocks; ++block) {
        if (failed.load(std::memory_order_relaxed)) continue;
        const uint64_t offset = static_cast<uint64_t>(block) * kBlockSize;
        StateVector<Real> view(kBlockQubits, state.re + offset, state.im + offset);
        try {
            for (size_t g = 0; g < gates.size(); ++g) apply_gate_plan(view, plans[g], *gates[g]);
        } catch (...) {
            // Planned gates do not throw; should one, it must not cross the region's boundary.
#pragma omp critical(wavesim_blocked_failure)
            if (!failure) failure = std::current_exception();
            failed.store(true, std::memory_order_relaxed);
        }
    }
    // Later regions expect the thread rule's count as the default, as after any kernel.
    omp_set_num_threads(thread_count_for(int(state.num_qubits)));
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

size_t blockable_run_end(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end) {
    size_t i = begin;
    while (i < end && (is_skipped_name(instructions[i].name) ? !has_name(instructions[i], "RESET")
                                                              : blockable_gate(instructions[i])))
        ++i;
    return i;
}

template <typename Real>
void apply_instructions(StateVector<Real>& state, const std::vector<CircuitInstruction>& instructions, size_t begin,
                        size_t end, GateMatrixCache& cache, int batch_index, RandomSource& source) {
    const bool blocking = state.num_qubits >= kMinBlockedQubits && state.num_qubits > unsigned(kBlockQubits);
    std::vector<const CircuitInstruction*> gates;
    std::vector<GatePlan<Real>> plans;
    size_t i = begin;
    while (i < end) {
        const size_t run_end = blocking ? blockable_run_end(instructions, i, end) : i;
        gates.clear();
        for (size_t k = i; k < run_end; ++k)
            if (!is_skipped_name(instructions[k].name)) gates.push_back(&instructions[k]);
        if (gates.size() < kMinRunGates) {
            // Too short to pay, or not blockable: the per-gate path, one instruction at least.
            const size_t stop = run_end > i ? run_end : i + 1;
            for (; i < stop; ++i) apply_instruction(state, instructions[i], cache, batch_index, source);
            continue;
        }
        plans.clear();
        for (const CircuitInstruction* gate : gates)
            plans.push_back(plan_gate<Real>(*gate, state.num_qubits, cache, batch_index));
        apply_blocked(state, gates, plans);
        i = run_end;
    }
}

template void apply_instructions<double>(StateVector<double>&, const std::vector<CircuitInstruction>&, size_t, size_t,
                                         GateMatrixCache&, int, RandomSource&);
template void apply_instructions<float>(StateVector<float>&, const std::vector<CircuitInstruction>&, size_t, size_t,
                                        GateMatrixCache&, int, RandomSource&);
