// Compiling a noisy circuit's sites and stretches, and the skip to a trajectory's next event.
#include "wavesim/noise/noisy_program.h"

#include <algorithm>
#include <cmath>

#include "wavesim/base/bits.h"
#include "wavesim/base/matrix.h"
#include "wavesim/gates/matrix_form.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {
namespace {

constexpr KernelGate kLetterKernels[kPauliLetters] = {KernelGate::kMatrix, KernelGate::kX, KernelGate::kY,
                                                      KernelGate::kZ};

// A branch's operator: a Pauli product letter by letter on the fixed kernels, any other as its matrix.
SiteBranch site_branch(const ChannelBranch& branch, const ChannelAction& action, MatrixStore& store) {
    SiteBranch out;
    out.lower = branch.lower;
    out.unitary = branch.pauli >= 0;
    out.weight = weight_of(branch.kraus, action.width);
    if (out.unitary) {
        int digits = branch.pauli;
        for (int j = 0; j < action.width; ++j, digits /= kPauliLetters) {
            if (digits % kPauliLetters == 0) continue;
            KernelCall call;
            call.gate = kLetterKernels[digits % kPauliLetters];
            call.targets[0] = action.qubits[j];
            out.calls.push_back(call);
        }
        return out;
    }
    KernelCall call;
    call.num_targets = action.width;
    for (int j = 0; j < action.width; ++j) call.targets[j] = action.qubits[j];
    call.matrix = &store.owned.emplace_back(branch.kraus);
    call.form = kernel_form_of(*call.matrix);
    out.calls.push_back(call);
    return out;
}

uint64_t qubits_of(const KernelCall& call) {
    uint64_t mask = call.ones | call.zeros;
    for (int j = 0; j < call.num_targets; ++j) mask |= bit(call.targets[j]);
    return mask;
}

struct Compiler {
    const std::vector<CircuitInstruction>& instructions;
    int batch_index;
    int fusion;
    FusedMatrixCache* shared;
    NoisyProgram& program;
    size_t pending = 0;        // first instruction not yet compiled
    size_t stretch = 0;        // first plan step of the stretch being gathered
    size_t foldable_from = 0;  // steps before it belong to sites, or to stretches before the last site

    // Compiles the gates before instruction `end` into the stretch.
    void compile_to(size_t end) {
        if (pending < end) compile_into(program.plan, instructions, pending, end, batch_index);
        pending = end + 1;
    }

    // Ends the stretch: its steps fused and kept.
    void end_stretch() {
        for (const PlanStep& step : fused_steps(program.plan, stretch, fusion, shared))
            if (step.kind == OperationKind::kGate) program.steps.push_back(step);
        stretch = program.plan.steps.size();
    }

    // The branch with the largest positive lower bound, or -1.
    static int dominant_of(const ChannelAction& action) {
        int dominant = -1;
        for (size_t k = 0; k < action.branches.size(); ++k)
            if (action.branches[k].lower > 0.0 &&
                (dominant < 0 || action.branches[k].lower > action.branches[size_t(dominant)].lower))
                dominant = int(k);
        return dominant;
    }

    // A site whose dominant operator is a one-qubit Kraus operator (it shrinks the norm, so it is a step of its
    // own) right after a gate on that qubit alone takes the gate into every branch: branch k applies K_k U, and
    // the dominant branch is one step instead of two. A site's own steps are never taken.
    bool takes_gate(const ChannelAction& action, int dominant) const {
        if (dominant < 0 || action.width != 1 || action.branches[size_t(dominant)].pauli >= 0) return false;
        if (program.steps.size() <= foldable_from) return false;
        const PlanStep& last = program.steps.back();
        return last.qubits == bit(action.qubits[0]) && last.call.num_targets == 1 && last.call.ones == 0 &&
               last.call.zeros == 0;
    }

    void add_site(size_t instruction, ChannelAction action, int32_t cbit) {
        Site site;
        site.instruction = instruction;
        site.dominant = dominant_of(action);
        if (takes_gate(action, site.dominant)) {
            const KernelCall& gate = program.steps.back().call;
            const Matrix u = gate.gate == KernelGate::kMatrix ? *gate.matrix : fixed_kernel_matrix(gate.gate);
            for (ChannelBranch& branch : action.branches) branch.kraus = multiply(branch.kraus, u);
            program.steps.pop_back();
        }
        site.width = action.width;
        std::copy(action.qubits, action.qubits + 2, site.qubits);
        site.cbit = cbit;
        for (const ChannelBranch& branch : action.branches)
            site.branches.push_back(site_branch(branch, action, program.plan.matrices));
        site.at = program.steps.size();
        if (site.dominant >= 0) {
            const SiteBranch& dominant = site.branches[size_t(site.dominant)];
            site.event = std::max(0.0, 1.0 - dominant.lower);
            for (const KernelCall& call : dominant.calls) {
                PlanStep step;
                step.kind = OperationKind::kGate;
                step.call = call;
                step.qubits = qubits_of(call);
                program.steps.push_back(step);
            }
        }
        site.after = program.steps.size();
        foldable_from = site.after;
        program.sites.push_back(std::move(site));
    }
};

// The first instruction of the terminal MEASUREs: after the last gate, channel or RESET before the last
// counted MEASURE (the circuit's end when nothing is counted), and that MEASURE's index.
std::pair<size_t, size_t> terminal_block(const std::vector<CircuitInstruction>& instructions, int num_cbits) {
    size_t last = instructions.size();
    while (last > 0 && !is_counted_measure(instructions[last - 1], num_cbits)) --last;
    if (last == 0) return {instructions.size(), instructions.size()};
    size_t begin = last - 1;
    while (begin > 0) {
        const CircuitInstruction& before = instructions[begin - 1];
        const OperationKind kind = operation_kind(before.name);
        if (kind == OperationKind::kGate || (kind == OperationKind::kReset && !before.qubits.empty())) break;
        --begin;
    }
    return {begin, last};
}

void index_sites(NoisyProgram& program) {
    const size_t count = program.sites.size();
    program.hazard.assign(count + 1, 0.0);
    program.log_floor.assign(count + 1, 0.0);
    program.shrinking.assign(count + 1, 0);
    program.next_hard.assign(count + 1, count);
    for (size_t s = 0; s < count; ++s) {
        const Site& site = program.sites[s];
        double hazard = 0.0;
        double log_floor = 0.0;
        bool shrinks = false;
        if (site.dominant >= 0) {
            const SiteBranch& dominant = site.branches[size_t(site.dominant)];
            hazard = site.event < 0.5 ? -std::log1p(-site.event) : -std::log(dominant.lower);
            shrinks = !dominant.unitary;
            log_floor = shrinks ? std::log(dominant.lower) : 0.0;
        }
        program.hazard[s + 1] = program.hazard[s] + hazard;
        program.log_floor[s + 1] = program.log_floor[s] + log_floor;
        program.shrinking[s + 1] = program.shrinking[s] + (shrinks ? 1 : 0);
    }
    for (size_t s = count; s-- > 0;)
        program.next_hard[s] = program.sites[s].dominant < 0 ? s : program.next_hard[s + 1];
}

}  // namespace

NoisyProgram compile_noisy(const std::vector<CircuitInstruction>& instructions, int num_qubits, int batch_index,
                           int num_cbits, NoisyMode mode, int fusion, RunCaches* caches) {
    NoisyProgram program;
    program.num_qubits = uint32_t(num_qubits);
    program.plan.num_qubits = program.num_qubits;
    program.plan.matrices.cache = caches != nullptr ? &caches->gates : nullptr;
    Compiler compiler{instructions, batch_index, fusion, caches != nullptr ? &caches->fused : nullptr, program};
    const auto [terminal, last] = mode == NoisyMode::kCounts
                                      ? terminal_block(instructions, num_cbits)
                                      : std::pair<size_t, size_t>{instructions.size(), instructions.size()};
    for (size_t i = 0; i < terminal; ++i) {
        const CircuitInstruction& ins = instructions[i];
        const OperationKind kind = operation_kind(ins.name);
        const bool channel = find_channel(ins.name) != nullptr;
        const bool measures = kind == OperationKind::kMeasure && !ins.qubits.empty() &&
                              (mode == NoisyMode::kExpectation || is_counted_measure(ins, num_cbits));
        const bool resets = kind == OperationKind::kReset && !ins.qubits.empty();
        if (!channel && !measures && !resets) continue;
        compiler.compile_to(i);
        if (channel) {
            const ChannelAction action = channel_action(ins, batch_index);
            if (is_identity(action)) continue;  // the stretch goes on past it
            compiler.end_stretch();
            compiler.add_site(i, action, -1);
            program.noisy = true;
            continue;
        }
        check_qubit(measures ? "MEASURE" : "RESET", ins.qubits[0], num_qubits);
        compiler.end_stretch();
        const int32_t cbit = measures && mode == NoisyMode::kCounts ? classical_bit(ins) : -1;
        compiler.add_site(i, measures ? measure_action(ins.qubits[0]) : reset_action(ins.qubits[0]), cbit);
    }
    compiler.compile_to(terminal);
    compiler.end_stretch();
    for (size_t i = terminal; i < last; ++i)
        if (is_counted_measure(instructions[i], num_cbits))
            program.terminal.push_back({instructions[i].qubits[0], classical_bit(instructions[i])});
    // What follows is compiled for its refusals only: it changes no count.
    for (size_t i = terminal; i < instructions.size(); ++i)
        if (find_channel(instructions[i].name) == nullptr)
            compile_into(program.plan, instructions, i, i + 1, batch_index);
    index_sites(program);
    return program;
}

uint32_t next_event(const NoisyProgram& program, uint32_t site, double u) {
    const size_t count = program.sites.size();
    if (site >= count) return uint32_t(count);
    const size_t hard = program.next_hard[site];
    // The event falls at the first site s whose summed hazard from `site` through s exceeds -log(1 - u).
    const double reach = program.hazard[site] - std::log1p(-u);
    const auto first = program.hazard.begin() + ptrdiff_t(site) + 1;
    const auto last = program.hazard.begin() + ptrdiff_t(hard) + 1;
    const auto beyond = std::upper_bound(first, last, reach);
    return beyond == last ? uint32_t(hard) : uint32_t(beyond - program.hazard.begin() - 1);
}

}  // namespace wavesim
