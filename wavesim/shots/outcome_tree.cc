// The outcome tree of a per-shot batch: its steps, its nodes and leaves, the
// one rule for the memory its states take, and the depth-first walk that takes
// a block of shots through it at once.
#include "wavesim/shots/outcome_tree.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "wavesim/base/bits.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/state/measurement.h"
#include "wavesim/plan/run.h"
#include "wavesim/state/state_vector.h"
#include "wavesim/base/threads.h"

namespace wavesim {
namespace {

// A state the tree holds beside its root: aligned as an owned state's are,
// but neither zeroed first nor weighed against the machine (the root was, and
// the budget bounds how many are held), which small compact states would pay
// for again and again. One array holds the real parts, then the imaginary ones.
template <typename Real>
struct HeldState {
    AlignedArray<Real> amplitudes;
    StateView<Real> view;
    HeldState(unsigned num_qubits, AlignedArray<Real> data, uint64_t stride)
        : amplitudes(std::move(data)), view(num_qubits, amplitudes.get(), amplitudes.get() + stride) {}
};

template <typename Real>
using HeldStatePtr = std::unique_ptr<HeldState<Real>>;

template <typename Real>
HeldStatePtr<Real> allocate_held_state(unsigned num_qubits) {
    constexpr uint64_t kLine = kStateAlignment / sizeof(Real);
    const uint64_t stride = ((uint64_t{1} << num_qubits) + kLine - 1) / kLine * kLine;
    AlignedArray<Real> amplitudes = allocate_aligned<Real>(2 * stride);
    if (!amplitudes) throw std::bad_alloc();
    return std::make_unique<HeldState<Real>>(num_qubits, std::move(amplitudes), stride);
}

template <typename Real>
HeldStatePtr<Real> copy_state(const StateView<Real>& from) {
    HeldStatePtr<Real> to = allocate_held_state<Real>(from.num_qubits);
    std::memcpy(to->view.re, from.re, from.dim * sizeof(Real));
    std::memcpy(to->view.im, from.im, from.dim * sizeof(Real));
    return to;
}

template <typename Real>
uint64_t state_bytes(const StateView<Real>& state) {
    return 2 * state.dim * sizeof(Real);
}

// A stochastic instruction: a counted MEASURE or a RESET of a qubit. In the
// terminal stretch (MEASUREs only from this step on, with no gate or RESET
// between them) a state is held compactly: the qubits measured in the stretch
// leave the index.
struct Step {
    size_t instruction = 0;
    int32_t qubit = 0;
    int32_t cbit = -1;  // a MEASURE's classical bit
    bool reset = false;
    bool terminal = false;
};

// Reached by every shot with the same outcomes at the steps before `step`.
template <typename Real>
struct OutcomeNode {
    QubitOdds odds;  // of the state at `step`, fixed when the node is made
    int32_t child[2] = {-1, -1};
    int32_t parent = -1;
    uint32_t step = 0;    // the number of steps: a leaf
    int32_t outcome = 0;  // taken at the parent's step
    int32_t leaf = -1;
    HeldStatePtr<Real> state;  // a full state kept from one block of shots to the next
};

struct Leaf {
    std::string key;
    int64_t count = 0;
};

// What a frame of the walk does when it is next on top.
enum class FramePhase : uint8_t {
    kSplitShots,     // count the shots of a leaf, or order the node's shots by the outcome they take
    kVisitOutcome0,  // enter the child that outcome 0 picks, with its shots
    kVisitOutcome1,  // enter the child that outcome 1 picks, with its shots
    kDone,           // leave the node
};

// A node on the walk's path with its shots [begin, end) of the block, those
// with outcome 0 first, up to `split`. `state` is held while a missing child
// may still need it; `dropped` and `values` are the qubits a compact state
// lacks and the outcomes they were measured with.
template <typename Real>
struct Frame {
    int32_t node = 0;
    size_t begin = 0;
    size_t end = 0;
    size_t split = 0;
    FramePhase phase = FramePhase::kSplitShots;
    HeldStatePtr<Real> state;
    uint64_t dropped = 0;
    uint64_t values = 0;
};

template <typename Real>
struct OutcomeTree {
    OutcomeTree(const CircuitData& circuit, Program program, ThreadTeam team, const OutcomeTreeLimits& limits)
        : circuit(circuit), program(std::move(program)), limits(limits) {
        // The stretches between steps hold no step: no draw, no register.
        options.team = team;
    }

    const CircuitData& circuit;
    Program program;     // every stretch compiled once, as the walk first reaches it
    RunOptions options;  // of every stretch and reset
    OutcomeTreeLimits limits;
    std::string empty_key;
    std::vector<Step> steps;
    std::vector<OutcomeNode<Real>> nodes;
    uint64_t node_bytes = 0;  // of the states the nodes keep
    std::vector<Leaf> leaves;
    std::vector<Frame<Real>> path;            // the walk's frames, the root's first
    StateView<Real>* root = nullptr;  // the state at step 0, kept for the whole batch
};

// The memory rule of the tree. Beside the root's state, which is always kept,
// states are held in two places: by nodes, for the blocks of shots still to
// come, and by the frames of the walk, for the children still to be made below
// them. Together they stay within limits.state_bytes. Full states are the
// costly ones to make again, so nodes keep those, in at most half of the
// budget; the other half is left for the walk.
template <typename Real>
uint64_t held_bytes(const OutcomeTree<Real>& tree) {
    uint64_t bytes = tree.node_bytes;
    for (const auto& frame : tree.path)
        if (frame.state) bytes += state_bytes(frame.state->view);
    return bytes;
}

template <typename Real>
bool frame_may_keep_state(const OutcomeTree<Real>& tree) {
    return held_bytes(tree) <= tree.limits.state_bytes;
}

template <typename Real>
bool node_may_keep_state(const OutcomeTree<Real>& tree, uint64_t bytes) {
    return tree.node_bytes + bytes <= tree.limits.state_bytes / 2 &&
           held_bytes(tree) + bytes <= tree.limits.state_bytes;
}

bool gate_free(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
        if (operation_kind(instructions[i].name) == OperationKind::kGate) return false;
    return true;
}

// The instruction of step t; past the last step, the end of the circuit.
template <typename Real>
size_t instruction_of_step(const OutcomeTree<Real>& tree, size_t t) {
    return t < tree.steps.size() ? tree.steps[t].instruction : tree.circuit.instructions.size();
}

template <typename Real>
void list_steps(OutcomeTree<Real>& tree, int num_cbits) {
    const auto& instructions = tree.circuit.instructions;
    for (size_t i = 0; i < instructions.size(); ++i) {
        const auto& instruction = instructions[i];
        const bool reset = operation_kind(instruction.name) == OperationKind::kReset && !instruction.qubits.empty();
        if (!reset && !is_counted_measure(instruction, num_cbits)) continue;
        Step step;
        step.instruction = i;
        step.qubit = instruction.qubits[0];
        step.reset = reset;
        if (!reset) step.cbit = classical_bit(instruction);
        tree.steps.push_back(step);
    }
    for (size_t t = tree.steps.size(); t-- > 0;) {
        const bool rest = t + 1 == tree.steps.size() ||
                          (tree.steps[t + 1].terminal &&
                           gate_free(instructions, tree.steps[t].instruction + 1, tree.steps[t + 1].instruction));
        tree.steps[t].terminal = !tree.steps[t].reset && rest;
    }
}

// The odds of step t on `state` by measure_odds or reset_odds; a qubit measured
// before in a compact state has all of its odds on the outcome it took.
template <typename Real>
QubitOdds step_odds(const OutcomeTree<Real>& tree, const StateView<Real>& state, uint32_t t, uint64_t dropped,
                    uint64_t values) {
    const Step& step = tree.steps[t];
    if (step.reset) return reset_odds(state, step.qubit, tree.options.team);
    if ((dropped >> step.qubit) & 1U) {
        // Measured before: the other half of the collapsed state is all zero.
        const double total = total_probability(state);
        return ((values >> step.qubit) & 1U) != 0 ? QubitOdds{0.0, total} : QubitOdds{total, 0.0};
    }
    return measure_odds(state, position_in(~dropped, step.qubit));
}

// A terminal MEASURE of a qubit still in the index leaves a state of one qubit
// fewer, made beside the parent's, which stays as it was.
template <typename Real>
bool shrinks_state(const Step& step, const Frame<Real>& at) {
    return step.terminal && ((at.dropped >> step.qubit) & 1U) == 0;
}

// Takes `state`, in place, past the step of frame `at` with `outcome` and
// through the gates up to the next step (a step that does not shrink the state).
template <typename Real>
void advance_past_step(OutcomeTree<Real>& tree, StateView<Real>& state, const Frame<Real>& at, int outcome) {
    const OutcomeNode<Real>& node = tree.nodes[static_cast<size_t>(at.node)];
    const Step& step = tree.steps[node.step];
    if (step.terminal) {
        // Measured again: the state keeps its size, scaled, or is all zero.
        const bool kept = static_cast<int>((at.values >> step.qubit) & 1U) == outcome;
        const double k = measured_scale(outcome, node.odds);
        for (uint64_t i = 0; i < state.dim; ++i) {
            state.re[i] = kept ? scaled_component(state.re[i], k) : Real(0);
            state.im[i] = kept ? scaled_component(state.im[i], k) : Real(0);
        }
        return;
    }
    if (step.reset) apply_reset_outcome(state, step.qubit, outcome, node.odds, tree.options.team);
    else collapse_measured(state, step.qubit, outcome, node.odds);
    run_program(state, tree.program, step.instruction + 1, instruction_of_step(tree, node.step + 1), tree.options);
}

// The state frame f can make its children from, or nullptr: the root's, the
// frame's own, or the one its node keeps.
template <typename Real>
const StateView<Real>* state_of_frame(const OutcomeTree<Real>& tree, size_t f) {
    if (f == 0) return tree.root;
    if (tree.path[f].state) return &tree.path[f].state->view;
    const auto& kept = tree.nodes[static_cast<size_t>(tree.path[f].node)].state;
    return kept ? &kept->view : nullptr;
}

// The state of the child that `outcome` picks at frame g (which has a state),
// after which g keeps its own state only if `keep`; the root's and those the
// nodes keep always stay.
template <typename Real>
HeldStatePtr<Real> make_child_state(OutcomeTree<Real>& tree, size_t g, int outcome, bool keep) {
    Frame<Real>& frame = tree.path[g];
    const StateView<Real>& from = *state_of_frame(tree, g);
    const OutcomeNode<Real>& node = tree.nodes[static_cast<size_t>(frame.node)];
    const Step& step = tree.steps[node.step];
    HeldStatePtr<Real> child;
    if (shrinks_state(step, frame)) {
        child = allocate_held_state<Real>(from.num_qubits - 1);
        keep_measured_half(from, position_in(~frame.dropped, step.qubit), outcome, node.odds, child->view);
    } else {
        const bool owned = g != 0 && frame.state;
        child = keep || !owned ? copy_state(from) : std::move(frame.state);
        advance_past_step(tree, child->view, frame, outcome);
    }
    if (!keep && g != 0) frame.state.reset();
    return child;
}

// Makes the state of frame f again, from the nearest frame above it that
// holds one; the frames between keep theirs while the budget allows, for the
// other nodes of the block below them.
template <typename Real>
void remake_frame_state(OutcomeTree<Real>& tree, size_t f) {
    size_t from = f;
    while (state_of_frame(tree, from) == nullptr) --from;
    for (size_t g = from; g < f; ++g) {
        const bool keep = g == from || frame_may_keep_state(tree);
        const int outcome = tree.nodes[static_cast<size_t>(tree.path[g + 1].node)].outcome;
        tree.path[g + 1].state = make_child_state(tree, g, outcome, keep);
    }
}

// A leaf for `node`, keyed by the bits its path writes, in circuit order (a
// later write wins); returns its index.
template <typename Real>
int32_t add_leaf(OutcomeTree<Real>& tree, int32_t node) {
    std::vector<int32_t> path;
    for (int32_t at = node; at > 0; at = tree.nodes[static_cast<size_t>(at)].parent) path.push_back(at);
    Leaf leaf{tree.empty_key, 0};
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        const OutcomeNode<Real>& child = tree.nodes[static_cast<size_t>(*it)];
        const Step& step = tree.steps[tree.nodes[static_cast<size_t>(child.parent)].step];
        if (!step.reset) set_key_bit(leaf.key, step.cbit, child.outcome);
    }
    tree.leaves.push_back(std::move(leaf));
    return static_cast<int32_t>(tree.leaves.size()) - 1;
}

// Makes the child that `outcome` picks at frame f, the frame `next` enters:
// a leaf after the last step, else a node with its state and the odds of its step.
template <typename Real>
void make_child(OutcomeTree<Real>& tree, size_t f, int outcome, Frame<Real>& next) {
    const int32_t parent = tree.path[f].node;
    const uint32_t t = tree.nodes[static_cast<size_t>(parent)].step;
    OutcomeNode<Real> made;
    made.parent = parent;
    made.step = t + 1;
    made.outcome = outcome;
    next.node = static_cast<int32_t>(tree.nodes.size());
    tree.nodes.push_back(std::move(made));
    tree.nodes[static_cast<size_t>(parent)].child[outcome] = next.node;
    OutcomeNode<Real>& child = tree.nodes[static_cast<size_t>(next.node)];
    if (t + 1 == tree.steps.size()) {
        child.leaf = add_leaf(tree, next.node);
        return;
    }
    if (state_of_frame(tree, f) == nullptr) remake_frame_state(tree, f);
    const Frame<Real>& at = tree.path[f];
    // The parent's state makes child 1 too if shots go there and it is missing.
    const bool wanted_later = outcome == 0 && at.split < at.end && tree.nodes[static_cast<size_t>(parent)].child[1] < 0;
    next.state = make_child_state(tree, f, outcome, wanted_later && frame_may_keep_state(tree));
    child.odds = step_odds(tree, next.state->view, t + 1, next.dropped, next.values);
    const uint64_t bytes = state_bytes(next.state->view);
    if (next.dropped == 0 && node_may_keep_state(tree, bytes)) {
        child.state = std::move(next.state);
        tree.node_bytes += bytes;
    }
}

// Enters the child that `outcome` picks at frame f, with shots [begin, end),
// making it on the first visit.
template <typename Real>
void enter_child(OutcomeTree<Real>& tree, size_t f, int outcome, size_t begin, size_t end) {
    const Frame<Real>& at = tree.path[f];
    const Step& step = tree.steps[tree.nodes[static_cast<size_t>(at.node)].step];
    Frame<Real> next;
    next.node = tree.nodes[static_cast<size_t>(at.node)].child[outcome];
    next.begin = begin;
    next.end = end;
    if (step.terminal) {
        const bool again = (at.dropped >> step.qubit) & 1U;
        next.dropped = at.dropped | (uint64_t{1} << step.qubit);
        next.values = at.values | (again ? 0 : static_cast<uint64_t>(outcome) << step.qubit);
    }
    if (next.node < 0) make_child(tree, f, outcome, next);
    tree.path.push_back(std::move(next));
}

// Counts the shots [begin, end) of a leaf, or orders those of a node so that
// the ones whose draw at its step gives outcome 0 come first.
template <typename Real>
void split_shots(OutcomeTree<Real>& tree, const std::vector<double>& draws, std::vector<uint32_t>& shots) {
    Frame<Real>& frame = tree.path.back();
    const OutcomeNode<Real>& node = tree.nodes[static_cast<size_t>(frame.node)];
    if (node.leaf >= 0) {
        tree.leaves[static_cast<size_t>(node.leaf)].count += static_cast<int64_t>(frame.end - frame.begin);
        frame.phase = FramePhase::kDone;
        return;
    }
    const size_t per_shot = tree.steps.size();
    const bool reset = tree.steps[node.step].reset;
    const QubitOdds odds = node.odds;
    const double* column = draws.data() + node.step;
    const auto first = shots.begin() + static_cast<std::ptrdiff_t>(frame.begin);
    const auto last = shots.begin() + static_cast<std::ptrdiff_t>(frame.end);
    const auto split = std::partition(first, last, [&](uint32_t shot) {
        const double r = column[static_cast<size_t>(shot) * per_shot];
        return (reset ? reset_outcome(r, odds) : measure_outcome(r, odds)) == 0;
    });
    frame.split = static_cast<size_t>(split - shots.begin());
    frame.phase = FramePhase::kVisitOutcome0;
}

// Walks the tree with every shot of a block at once, depth first: `draws`
// holds each shot's draws in step order, shot after shot.
template <typename Real>
void walk_block(OutcomeTree<Real>& tree, const std::vector<double>& draws, std::vector<uint32_t>& shots) {
    tree.path.clear();
    Frame<Real> root;
    root.end = shots.size();
    tree.path.push_back(std::move(root));
    while (!tree.path.empty()) {
        const size_t f = tree.path.size() - 1;
        Frame<Real>& frame = tree.path[f];
        switch (frame.phase) {
            case FramePhase::kSplitShots: split_shots(tree, draws, shots); break;
            case FramePhase::kVisitOutcome0:
                frame.phase = FramePhase::kVisitOutcome1;
                if (frame.begin < frame.split) enter_child(tree, f, 0, frame.begin, frame.split);
                break;
            case FramePhase::kVisitOutcome1:
                frame.phase = FramePhase::kDone;
                if (frame.split < frame.end) enter_child(tree, f, 1, frame.split, frame.end);
                break;
            case FramePhase::kDone: tree.path.pop_back(); break;
        }
    }
}

template <typename Real>
void add_leaf_counts(OutcomeTree<Real>& tree, ShotCounts& counts) {
    for (Leaf& leaf : tree.leaves) {
        if (leaf.count > 0) counts[leaf.key] += static_cast<int>(leaf.count);
        leaf.count = 0;
    }
}

// Forgets every node and leaf but a fresh root: a node with the odds of step 0
// on the root's state, or the one leaf of a circuit without steps.
template <typename Real>
void start_from_root(OutcomeTree<Real>& tree) {
    tree.nodes.clear();
    tree.nodes.emplace_back();
    tree.node_bytes = 0;
    tree.leaves.clear();
    if (tree.steps.empty()) {
        tree.nodes[0].leaf = 0;
        tree.leaves.push_back({tree.empty_key, 0});
    } else {
        tree.nodes[0].odds = step_odds(tree, *tree.root, 0, 0, 0);
    }
}

// The root's state, key and node made in the order a literal shot makes its
// state, register and first stretch (so the first of them to fail fails as it
// does), then block after block of shots, each block's draws taken ahead.
template <typename Real>
ShotCounts count_with_tree(OutcomeTree<Real>& tree, SetRun<Real>& run, int shots, int num_cbits,
                           RandomSource& source) {
    list_steps(tree, num_cbits);
    tree.root = &run.state();
    tree.empty_key = empty_key(num_cbits);
    run_program(*tree.root, tree.program, 0, instruction_of_step(tree, 0), tree.options);
    start_from_root(tree);

    ShotCounts counts;
    const size_t per_shot = tree.steps.size();
    const size_t block = std::max<size_t>(1, tree.limits.draws_per_block / std::max<size_t>(per_shot, 1));
    std::vector<double> draws;
    std::vector<uint32_t> order;
    for (size_t done = 0; done < static_cast<size_t>(shots);) {
        const size_t size = std::min(block, static_cast<size_t>(shots) - done);
        draws.resize(size * per_shot);
        for (double& r : draws) r = draw_uniform(source);
        order.resize(size);
        for (size_t s = 0; s < size; ++s) order[s] = static_cast<uint32_t>(s);
        walk_block(tree, draws, order);
        done += size;
        if (tree.nodes.size() > tree.limits.max_nodes) {
            add_leaf_counts(tree, counts);
            start_from_root(tree);
        }
    }
    add_leaf_counts(tree, counts);
    // A shot on its own applies the gates after the last step too, and fails where they fail.
    compile_through(tree.program, tree.circuit.instructions.size());
    return counts;
}

}  // namespace

template <typename Real>
ShotCounts outcome_tree_counts(const CircuitData& circuit, SetRun<Real>& run, int shots, int num_cbits,
                               RandomSource& source, const OutcomeTreeLimits& limits, int fusion) {
    if (shots <= 0) return {};
    Program program = make_program(circuit.instructions, static_cast<uint32_t>(circuit.num_qubits), run.batch_index,
                                   fusion, run.caches);
    OutcomeTree<Real> tree(circuit, std::move(program), run.team, limits);
    return count_with_tree(tree, run, shots, num_cbits, source);
}

template ShotCounts outcome_tree_counts<double>(const CircuitData&, SetRun<double>&, int, int, RandomSource&,
                                                const OutcomeTreeLimits&, int);
template ShotCounts outcome_tree_counts<float>(const CircuitData&, SetRun<float>&, int, int, RandomSource&,
                                               const OutcomeTreeLimits&, int);

}  // namespace wavesim
