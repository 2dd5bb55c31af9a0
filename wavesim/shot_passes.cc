#include "shot_passes.h"

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "gate_catalogue.h"
#include "plan_apply.h"
#include "shot_reference.h"
#include "threads.h"

namespace wavesim {
namespace {

// Draws resolved per sweep of the table: bounds the memory of a pass with many shots.
constexpr int kDrawBlock = 1 << 20;

std::string key_of_index(uint64_t index, const ShotPlan& plan, const std::string& empty) {
    std::string key = empty;
    for (const auto& m : plan.measured) set_key_bit(key, m.cbit, static_cast<int>((index >> m.qubit) & 1U));
    return key;
}

// Amplitudes the tree holds beside its root: aligned as an owned state's are,
// but neither zeroed first nor weighed against the machine (the root was, and
// the budget bounds how many are held), which small compact states would pay
// for again and again.
template <typename Real>
struct FreeBlock {
    void operator()(Real* block) const { std::free(block); }
};

template <typename Real>
struct HeldState {
    std::unique_ptr<Real, FreeBlock<Real>> block;
    StateVector<Real> view;
    HeldState(unsigned n, std::unique_ptr<Real, FreeBlock<Real>> data, uint64_t stride)
        : block(std::move(data)), view(n, block.get(), block.get() + stride) {}
};

template <typename Real>
using StatePtr = std::unique_ptr<HeldState<Real>>;

template <typename Real>
StatePtr<Real> make_held(unsigned n) {
    constexpr uint64_t kLine = kStateAlignment / sizeof(Real);
    const uint64_t stride = ((uint64_t{1} << n) + kLine - 1) / kLine * kLine;
    std::unique_ptr<Real, FreeBlock<Real>> data(
        static_cast<Real*>(std::aligned_alloc(kStateAlignment, 2 * stride * sizeof(Real))));
    if (!data) throw std::bad_alloc();
    return std::make_unique<HeldState<Real>>(n, std::move(data), stride);
}

template <typename Real>
StatePtr<Real> copy_of(const StateVector<Real>& from) {
    StatePtr<Real> to = make_held<Real>(from.num_qubits);
    std::memcpy(to->view.re, from.re, from.dim * sizeof(Real));
    std::memcpy(to->view.im, from.im, from.dim * sizeof(Real));
    return to;
}

// A stochastic instruction: a counted MEASURE or a RESET of a qubit. In the
// terminal stretch (nothing but MEASUREs from here on, no gate between them) a
// state is held compactly: the qubits measured in the stretch leave the index.
struct Step {
    size_t instruction;
    int32_t qubit;
    int32_t cbit;
    bool reset;
    bool terminal;
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
    StatePtr<Real> state;  // a full state kept from one block of shots to the next
};

struct Leaf {
    std::string key;
    int64_t count = 0;
};

// A node on the walk's path with its shots [begin, end) of the block, those
// with outcome 0 first, up to `split`. `state` is held while a missing child
// may still need it; `dropped` and `values` are the qubits a compact state
// lacks and the outcomes they were measured with.
template <typename Real>
struct Frame {
    int32_t node;
    size_t begin;
    size_t end;
    size_t split = 0;
    int phase = 0;  // 0: split the shots, 1: enter child 0, 2: enter child 1, 3: done
    StatePtr<Real> state = nullptr;
    uint64_t dropped = 0;
    uint64_t values = 0;
};

template <typename Real>
struct OutcomeTree {
    const CircuitData& circuit;
    int batch_index;
    OutcomeTreeLimits limits;
    std::string empty_key;
    std::vector<Step> steps;
    std::vector<OutcomeNode<Real>> nodes;
    uint64_t node_bytes = 0;  // of the states the nodes keep
    std::vector<Leaf> leaves;
    std::unique_ptr<StateVector<Real>> root;  // the state at step 0, kept for the whole pass
    GateMatrixCache cache;                    // matrices are pure functions of their key: shared by every shot
    RandomSource unused;                      // the stretches between steps hold no stochastic instruction
    int fusion = 0;
};

bool gate_free(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
        if (operation_kind(instructions[i].name) == OperationKind::kGate) return false;
    return true;
}

template <typename Real>
size_t step_instruction(const OutcomeTree<Real>& tree, size_t step) {
    return step < tree.steps.size() ? tree.steps[step].instruction : tree.circuit.instructions.size();
}

template <typename Real>
void list_steps(OutcomeTree<Real>& tree, int num_cbits) {
    const auto& instructions = tree.circuit.instructions;
    for (size_t i = 0; i < instructions.size(); ++i) {
        const auto& instruction = instructions[i];
        const bool reset = operation_kind(instruction.name) == OperationKind::kReset && !instruction.qubits.empty();
        if (reset || is_counted_measure(instruction, num_cbits)) {
            tree.steps.push_back({i, instruction.qubits[0], reset ? -1 : classical_bit(instruction), reset, false});
        }
    }
    for (size_t t = tree.steps.size(); t-- > 0;) {
        const bool rest = t + 1 == tree.steps.size() ||
                          (tree.steps[t + 1].terminal &&
                           gate_free(instructions, tree.steps[t].instruction + 1, tree.steps[t + 1].instruction));
        tree.steps[t].terminal = !tree.steps[t].reset && rest;
    }
}

// Where qubit q sits in a compact state that lacks the qubits of `dropped`.
int compact_position(int32_t q, uint64_t dropped) {
    return q - __builtin_popcountll(dropped & ((uint64_t{1} << q) - 1));
}

// A reset sums its odds in parallel, so with the thread count a literal shot
// has in force on a full state, whatever smaller states ran in between.
void reset_threads(const CircuitData& circuit) { omp_set_num_threads(thread_count_for(circuit.num_qubits)); }

template <typename Real>
QubitOdds odds_at(const OutcomeTree<Real>& tree, const StateVector<Real>& state, uint32_t t, uint64_t dropped,
                  uint64_t values) {
    const Step& step = tree.steps[t];
    if (step.reset) {
        reset_threads(tree.circuit);
        return reset_odds(state, step.qubit);
    }
    if ((dropped >> step.qubit) & 1U) {
        // Measured before: the other half of the collapsed state is all zero.
        const double total = total_probability(state);
        return ((values >> step.qubit) & 1U) != 0 ? QubitOdds{0.0, total} : QubitOdds{total, 0.0};
    }
    return measure_odds(state, compact_position(step.qubit, dropped));
}

// A terminal MEASURE of a qubit still in the index leaves a state of one qubit
// fewer, made beside the parent's, which stays as it was.
template <typename Real>
bool makes_half(const Step& step, const Frame<Real>& at) {
    return step.terminal && ((at.dropped >> step.qubit) & 1U) == 0;
}

// The state after the step of frame `at` took `outcome`, with the gates up to the next step.
template <typename Real>
StatePtr<Real> derive(OutcomeTree<Real>& tree, const StateVector<Real>& from, StatePtr<Real> state,
                      const Frame<Real>& at, int outcome) {
    const OutcomeNode<Real>& node = tree.nodes[static_cast<size_t>(at.node)];
    const Step& step = tree.steps[node.step];
    if (makes_half(step, at)) {
        StatePtr<Real> half = make_held<Real>(from.num_qubits - 1);
        keep_measured_half(from, compact_position(step.qubit, at.dropped), outcome, node.odds, half->view);
        return half;
    }
    StateVector<Real>& own = state->view;
    if (step.terminal) {
        // Measured again: the state keeps its size, scaled, or is all zero.
        const bool kept = static_cast<int>((at.values >> step.qubit) & 1U) == outcome;
        const double k = measured_scale(outcome, node.odds);
        for (uint64_t i = 0; i < own.dim; ++i) {
            own.re[i] = kept ? scaled_component(own.re[i], k) : Real(0);
            own.im[i] = kept ? scaled_component(own.im[i], k) : Real(0);
        }
        return state;
    }
    if (step.reset) {
        reset_threads(tree.circuit);
        apply_reset_outcome(own, step.qubit, outcome, node.odds);
    } else {
        collapse_measured(own, step.qubit, outcome, node.odds);
    }
    run_instructions(own, tree.circuit.instructions, step.instruction + 1, step_instruction(tree, node.step + 1),
                     tree.cache, tree.batch_index, tree.unused, tree.fusion);
    return state;
}

template <typename Real>
const StateVector<Real>* held_state(const OutcomeTree<Real>& tree, const std::vector<Frame<Real>>& frames, size_t f) {
    if (f == 0) return tree.root.get();
    if (frames[f].state) return &frames[f].state->view;
    const auto& kept = tree.nodes[static_cast<size_t>(frames[f].node)].state;
    return kept ? &kept->view : nullptr;
}

template <typename Real>
uint64_t held_bytes(const OutcomeTree<Real>& tree, const std::vector<Frame<Real>>& frames) {
    uint64_t bytes = tree.node_bytes;
    for (const auto& frame : frames)
        if (frame.state) bytes += 2 * frame.state->view.dim * sizeof(Real);
    return bytes;
}

// The state of the child that `outcome` picks at frame g (which has one),
// from which g keeps its own state only if `keep`; the root's and those the
// nodes keep always stay.
template <typename Real>
StatePtr<Real> child_state(OutcomeTree<Real>& tree, std::vector<Frame<Real>>& frames, size_t g, int outcome,
                           bool keep) {
    const StateVector<Real>& from = *held_state(tree, frames, g);
    const Step& step = tree.steps[tree.nodes[static_cast<size_t>(frames[g].node)].step];
    StatePtr<Real> state;
    if (makes_half(step, frames[g])) {
        state = derive(tree, from, StatePtr<Real>(), frames[g], outcome);
    } else {
        const bool owned = g != 0 && frames[g].state;
        state = derive(tree, from, keep || !owned ? copy_of(from) : std::move(frames[g].state), frames[g], outcome);
    }
    if (!keep && g != 0) frames[g].state.reset();
    return state;
}

// Makes the state of frame f again, from the nearest frame above it that
// holds one; the frames between keep theirs while the budget allows, for the
// other nodes of the block below them.
template <typename Real>
void make_again(OutcomeTree<Real>& tree, std::vector<Frame<Real>>& frames, size_t f) {
    size_t from = f;
    while (held_state(tree, frames, from) == nullptr) --from;
    for (size_t g = from; g < f; ++g) {
        const bool keep = g == from || held_bytes(tree, frames) <= tree.limits.state_bytes;
        frames[g + 1].state =
            child_state(tree, frames, g, tree.nodes[static_cast<size_t>(frames[g + 1].node)].outcome, keep);
    }
}

// The key of a leaf: the bits its path writes, in circuit order (a later write wins).
template <typename Real>
int32_t make_leaf(OutcomeTree<Real>& tree, int32_t node) {
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

// Enters the child that `outcome` picks at frame f, with shots [begin, end),
// making it on the first visit: its state where steps follow, and its odds.
template <typename Real>
void enter_child(OutcomeTree<Real>& tree, std::vector<Frame<Real>>& frames, size_t f, int outcome, size_t begin,
                 size_t end) {
    const int32_t parent = frames[f].node;
    const uint32_t t = tree.nodes[static_cast<size_t>(parent)].step;
    const Step& step = tree.steps[t];
    Frame<Real> next{tree.nodes[static_cast<size_t>(parent)].child[outcome], begin, end};
    if (step.terminal) {
        const bool again = (frames[f].dropped >> step.qubit) & 1U;
        next.dropped = frames[f].dropped | (uint64_t{1} << step.qubit);
        next.values = frames[f].values | (again ? 0 : static_cast<uint64_t>(outcome) << step.qubit);
    }
    if (next.node < 0) {
        OutcomeNode<Real> made;
        made.parent = parent;
        made.step = t + 1;
        made.outcome = outcome;
        next.node = static_cast<int32_t>(tree.nodes.size());
        tree.nodes.push_back(std::move(made));
        tree.nodes[static_cast<size_t>(parent)].child[outcome] = next.node;
        if (t + 1 == tree.steps.size()) {
            tree.nodes[static_cast<size_t>(next.node)].leaf = make_leaf(tree, next.node);
        } else {
            if (held_state(tree, frames, f) == nullptr) make_again(tree, frames, f);
            const bool wanted_later =
                outcome == 0 && frames[f].split < frames[f].end && tree.nodes[static_cast<size_t>(parent)].child[1] < 0;
            next.state = child_state(tree, frames, f, outcome,
                                     wanted_later && held_bytes(tree, frames) <= tree.limits.state_bytes);
            OutcomeNode<Real>& child = tree.nodes[static_cast<size_t>(next.node)];
            child.odds = odds_at(tree, next.state->view, t + 1, next.dropped, next.values);
            // Full states are the costly ones to make again: kept for later
            // blocks in half the budget, the other half left for the walk.
            const uint64_t bytes = 2 * next.state->view.dim * sizeof(Real);
            if (next.dropped == 0 && tree.node_bytes + bytes <= tree.limits.state_bytes / 2 &&
                held_bytes(tree, frames) + bytes <= tree.limits.state_bytes) {
                child.state = std::move(next.state);
                tree.node_bytes += bytes;
            }
        }
    }
    frames.push_back(std::move(next));
}

// Walks the tree with every shot of a block at once, depth first: `draws`
// holds each shot's draws in step order, shot after shot.
template <typename Real>
void walk_block(OutcomeTree<Real>& tree, const std::vector<double>& draws, std::vector<uint32_t>& shots) {
    const size_t per_shot = tree.steps.size();
    std::vector<Frame<Real>> frames;
    frames.push_back(Frame<Real>{0, 0, shots.size()});
    while (!frames.empty()) {
        const size_t f = frames.size() - 1;
        const OutcomeNode<Real>& node = tree.nodes[static_cast<size_t>(frames[f].node)];
        if (frames[f].phase == 0) {
            if (node.leaf >= 0) {
                tree.leaves[static_cast<size_t>(node.leaf)].count +=
                    static_cast<int64_t>(frames[f].end - frames[f].begin);
                frames.pop_back();
                continue;
            }
            const bool reset = tree.steps[node.step].reset;
            const QubitOdds odds = node.odds;
            const double* column = draws.data() + node.step;
            const auto first = shots.begin() + static_cast<std::ptrdiff_t>(frames[f].begin);
            const auto last = shots.begin() + static_cast<std::ptrdiff_t>(frames[f].end);
            const auto split = std::partition(first, last, [&](uint32_t shot) {
                const double r = column[static_cast<size_t>(shot) * per_shot];
                return (reset ? reset_outcome(r, odds) : measure_outcome(r, odds)) == 0;
            });
            frames[f].split = static_cast<size_t>(split - shots.begin());
            frames[f].phase = 1;
        }
        if (frames[f].phase == 3) {
            frames.pop_back();
            continue;
        }
        const int outcome = frames[f].phase - 1;
        ++frames[f].phase;
        const size_t begin = outcome == 0 ? frames[f].begin : frames[f].split;
        const size_t end = outcome == 0 ? frames[f].split : frames[f].end;
        if (begin < end) enter_child(tree, frames, f, outcome, begin, end);
    }
}

template <typename Real>
void flush_leaves(OutcomeTree<Real>& tree, ShotCounts& counts) {
    for (Leaf& leaf : tree.leaves) {
        if (leaf.count > 0) counts[leaf.key] += static_cast<int>(leaf.count);
        leaf.count = 0;
    }
}

template <typename Real>
void plant_root(OutcomeTree<Real>& tree) {
    tree.nodes.clear();
    tree.nodes.emplace_back();
    tree.node_bytes = 0;
    tree.leaves.clear();
    if (tree.steps.empty()) {
        tree.nodes[0].leaf = 0;
        tree.leaves.push_back({tree.empty_key, 0});
    } else {
        tree.nodes[0].odds = odds_at(tree, *tree.root, 0, 0, 0);
    }
}

template <typename Real>
ShotCounts walk_all_shots(OutcomeTree<Real>& tree, int shots, int num_cbits, RandomSource& source) {
    const auto& instructions = tree.circuit.instructions;
    list_steps(tree, num_cbits);
    tree.root = std::make_unique<StateVector<Real>>(static_cast<unsigned>(tree.circuit.num_qubits));
    tree.empty_key = empty_key(num_cbits);
    run_instructions(*tree.root, instructions, 0, step_instruction(tree, 0), tree.cache, tree.batch_index, tree.unused,
                     tree.fusion);
    plant_root(tree);

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
            flush_leaves(tree, counts);
            plant_root(tree);
        }
    }
    flush_leaves(tree, counts);
    // A literal shot applies the gates after the last step too, and fails where they fail.
    if (!tree.steps.empty()) {
        run_instructions(*tree.root, instructions, tree.steps.back().instruction + 1, instructions.size(), tree.cache,
                         tree.batch_index, tree.unused, tree.fusion);
    }
    return counts;
}

}  // namespace

template <typename Real>
ShotCounts sample_once_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                            RandomSource& source) {
    StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
    GateMatrixCache cache;
    run_instructions(state, circuit.instructions, 0, circuit.instructions.size(), cache, batch_index, source,
                     plan.fusion);
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
ShotCounts per_shot_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                         RandomSource& source, const OutcomeTreeLimits& limits) {
    if (shots <= 0) return {};
    const RandomSource start = source;
    try {
        OutcomeTree<Real> tree{circuit, batch_index, limits, {}, {}, {}, 0, {}, {}, {}, {}, plan.fusion};
        return walk_all_shots(tree, shots, num_cbits, source);
    } catch (...) {
        // Whatever failed (a non-finite state, a refused gate, memory), the
        // literal shots meet it in their own order and report it as they do.
        source = start;
        return literal_pass<Real>(circuit, plan, batch_index, shots, num_cbits, source);
    }
}

template <typename Real>
ShotCounts count_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                      RandomSource& source) {
    if (plan.per_shot) return per_shot_pass<Real>(circuit, plan, batch_index, shots, num_cbits, source);
    return sample_once_pass<Real>(circuit, plan, batch_index, shots, num_cbits, source);
}

#define WAVESIM_INSTANTIATE_PASSES(Real)                                                                           \
    template ShotCounts sample_once_pass<Real>(const CircuitData&, const ShotPlan&, int, int, int, RandomSource&); \
    template ShotCounts per_shot_pass<Real>(const CircuitData&, const ShotPlan&, int, int, int, RandomSource&,     \
                                            const OutcomeTreeLimits&);                                             \
    template ShotCounts count_pass<Real>(const CircuitData&, const ShotPlan&, int, int, int, RandomSource&);

WAVESIM_INSTANTIATE_PASSES(double)
WAVESIM_INSTANTIATE_PASSES(float)

}  // namespace wavesim
