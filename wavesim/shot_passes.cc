#include "shot_passes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "circuit_walk.h"
#include "gate_windows.h"

namespace {

// Draws resolved per sweep of the table: bounds the memory of a pass with many shots.
constexpr int kDrawBlock = 1 << 20;

// States kept for the outcome tree of a per-shot pass.
constexpr uint64_t kOutcomeTreeBytes = uint64_t{256} << 20;

template <typename Real>
void copy_state(const StateVector<Real>& from, StateVector<Real>& to) {
    std::memcpy(to.re, from.re, from.dim * sizeof(Real));
    std::memcpy(to.im, from.im, from.dim * sizeof(Real));
}

std::string key_of_index(uint64_t index, const ShotPlan& plan, const std::string& empty) {
    std::string key = empty;
    for (const auto& m : plan.measured) set_key_bit(key, m.cbit, static_cast<int>((index >> m.qubit) & 1U));
    return key;
}

// A state reached by every shot whose counted measurements so far had the same
// outcomes. `next` indexes the pass's stochastic steps (counted MEASUREs and
// RESETs with a qubit); a node at the end of the list is a leaf and keeps no state.
// For a MEASURE step, the probability p0 of outcome 0 is fixed by the state, and
// the outcome is 1 exactly when the draw r >= p0: every observed draw narrows
// the interval (below, above] that p0 lies in, and draws outside it need no
// measurement at all.
template <typename Real>
struct OutcomeNode {
    size_t next = 0;
    std::unique_ptr<StateVector<Real>> state;
    double below = -std::numeric_limits<double>::infinity();  // largest draw that gave 0
    double above = std::numeric_limits<double>::infinity();   // smallest draw that gave 1
    int child[2] = {-1, -1};
};

// Everything one per-shot pass keeps between its shots.
template <typename Real>
struct OutcomeTree {
    const CircuitData& circuit;
    int batch_index;
    int num_cbits;
    RandomSource& source;
    // A draw from it is fma(high - low, u, low): with low == high == r it is r,
    // which replays a draw already taken from `source`.
    RandomSource replay;
    std::vector<size_t> steps;  // instruction indices of the stochastic steps
    std::vector<OutcomeNode<Real>> nodes;
    std::unique_ptr<StateVector<Real>> work;
    GateMatrixCache cache;  // matrices are pure functions of their key: shared by every shot
    std::string empty_key;
    uint64_t stored_states = 0;
    uint64_t state_budget = 1;
};

template <typename Real>
size_t step_instruction(const OutcomeTree<Real>& tree, size_t step) {
    return step < tree.steps.size() ? tree.steps[step] : tree.circuit.instructions.size();
}

template <typename Real>
void apply_range(OutcomeTree<Real>& tree, StateVector<Real>& state, size_t begin, size_t end) {
    apply_instructions(state, tree.circuit.instructions, begin, end, tree.cache, tree.batch_index, tree.source);
}

template <typename Real>
int add_node(OutcomeTree<Real>& tree, size_t next, std::unique_ptr<StateVector<Real>> state) {
    OutcomeNode<Real> node;
    node.next = next;
    node.state = std::move(state);
    if (node.state) ++tree.stored_states;
    tree.nodes.push_back(std::move(node));
    return static_cast<int>(tree.nodes.size()) - 1;
}

// The rest of a shot from instruction `begin`, literally, on the work state.
template <typename Real>
void finish_literally(OutcomeTree<Real>& tree, size_t begin, std::string& key) {
    const auto& instructions = tree.circuit.instructions;
    for (size_t i = begin; i < instructions.size(); ++i) {
        if (is_counted_measure(instructions[i], tree.num_cbits)) {
            set_key_bit(key, classical_bit(instructions[i]), measure_qubit(*tree.work, instructions[i].qubits[0], tree.source));
        } else {
            apply_instruction(*tree.work, instructions[i], tree.cache, tree.batch_index, tree.source);
        }
    }
}

// One shot: follows known outcomes down the tree, measures (on a copy) only
// when the draw falls where the outcome is not yet known, and grows the tree
// by one node where an outcome is seen for the first time.
template <typename Real>
std::string run_shot(OutcomeTree<Real>& tree) {
    std::string key = tree.empty_key;
    int current = 0;
    while (tree.nodes[current].next < tree.steps.size()) {
        const size_t step = tree.nodes[current].next;
        const CircuitInstruction& instruction = tree.circuit.instructions[tree.steps[step]];
        if (!has_name(instruction, "MEASURE")) {
            // A reset does not report its branch, so its children cannot be told apart: go on literally.
            copy_state(*tree.nodes[current].state, *tree.work);
            finish_literally(tree, tree.steps[step], key);
            return key;
        }
        const int32_t cbit = classical_bit(instruction);
        const double r = draw_uniform(tree.source);
        int outcome = -1;
        if (r <= tree.nodes[current].below) outcome = 0;
        if (r >= tree.nodes[current].above) outcome = 1;
        if (outcome >= 0 && tree.nodes[current].child[outcome] >= 0) {
            set_key_bit(key, cbit, outcome);
            current = tree.nodes[current].child[outcome];
            continue;
        }
        // The draw is taken already: measure with a source that yields exactly r.
        tree.replay.low = r;
        tree.replay.high = r;
        copy_state(*tree.nodes[current].state, *tree.work);
        outcome = measure_qubit(*tree.work, instruction.qubits[0], tree.replay);
        OutcomeNode<Real>& node = tree.nodes[current];
        if (outcome == 0) node.below = std::max(node.below, r);
        if (outcome == 1) node.above = std::min(node.above, r);
        set_key_bit(key, cbit, outcome);
        if (node.child[outcome] >= 0) {
            current = node.child[outcome];
            continue;
        }
        const size_t segment_end = step_instruction(tree, step + 1);
        apply_range(tree, *tree.work, tree.steps[step] + 1, segment_end);
        if (step + 1 == tree.steps.size()) {
            const int leaf = add_node(tree, step + 1, std::unique_ptr<StateVector<Real>>());
            tree.nodes[current].child[outcome] = leaf;
            return key;
        }
        if (tree.stored_states >= tree.state_budget) {
            finish_literally(tree, segment_end, key);
            return key;
        }
        const int child = add_node(tree, step + 1, std::move(tree.work));
        tree.nodes[current].child[outcome] = child;
        tree.work = std::make_unique<StateVector<Real>>(static_cast<unsigned>(tree.circuit.num_qubits));
        current = child;
    }
    return key;
}

}  // namespace

template <typename Real>
ShotCounts sample_once_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                            RandomSource& source) {
    StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
    GateMatrixCache cache;
    apply_instructions(state, circuit.instructions, 0, circuit.instructions.size(), cache, batch_index, source);
    const CumulativeTable table = build_cumulative(state);
    ShotCounts counts;
    if (shots <= 0) return counts;
    const std::string empty = empty_key(num_cbits);

    std::vector<double> draws;
    draws.reserve(static_cast<size_t>(std::min(shots, kDrawBlock)));
    for (int done = 0; done < shots;) {
        const int block = std::min(shots - done, kDrawBlock);
        draws.clear();
        for (int i = 0; i < block; ++i) draws.push_back(draw_uniform(source));
        std::vector<uint64_t> indices = sample_indices(state, table, draws);
        std::sort(indices.begin(), indices.end());
        for (size_t i = 0; i < indices.size();) {
            size_t end = i;
            while (end < indices.size() && indices[end] == indices[i]) ++end;
            counts[key_of_index(indices[i], plan, empty)] += static_cast<int>(end - i);
            i = end;
        }
        done += block;
    }
    return counts;
}

template <typename Real>
ShotCounts per_shot_pass(const CircuitData& circuit, const ShotPlan&, int batch_index, int shots, int num_cbits,
                         RandomSource& source) {
    ShotCounts counts;
    if (shots <= 0) return counts;
    OutcomeTree<Real> tree{circuit, batch_index, num_cbits, source, {}, {}, {}, {}, {}, {}};
    for (size_t i = 0; i < circuit.instructions.size(); ++i) {
        const auto& instruction = circuit.instructions[i];
        if (is_counted_measure(instruction, num_cbits) || (has_name(instruction, "RESET") && !instruction.qubits.empty())) {
            tree.steps.push_back(i);
        }
    }
    // Same failure order as a literal first shot: state, register, then the gates.
    const auto qubits = static_cast<unsigned>(circuit.num_qubits);
    auto root = std::make_unique<StateVector<Real>>(qubits);
    tree.empty_key = empty_key(num_cbits);
    tree.state_budget = std::max<uint64_t>(1, kOutcomeTreeBytes / (2 * root->dim * sizeof(Real)));
    tree.work = std::make_unique<StateVector<Real>>(qubits);
    apply_range(tree, *root, 0, step_instruction(tree, 0));
    add_node(tree, 0, std::move(root));
    for (int s = 0; s < shots; ++s) ++counts[run_shot(tree)];
    return counts;
}

template <typename Real>
ShotCounts count_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                      RandomSource& source) {
    if (plan.per_shot) return per_shot_pass<Real>(circuit, plan, batch_index, shots, num_cbits, source);
    return sample_once_pass<Real>(circuit, plan, batch_index, shots, num_cbits, source);
}

#define WAVESIM_INSTANTIATE_PASSES(Real)                                                                            \
    template ShotCounts sample_once_pass<Real>(const CircuitData&, const ShotPlan&, int, int, int, RandomSource&); \
    template ShotCounts per_shot_pass<Real>(const CircuitData&, const ShotPlan&, int, int, int, RandomSource&);    \
    template ShotCounts count_pass<Real>(const CircuitData&, const ShotPlan&, int, int, int, RandomSource&);

WAVESIM_INSTANTIATE_PASSES(double)
WAVESIM_INSTANTIATE_PASSES(float)
