// The depth-first walk of the trajectories, its states and the branches taken at events.
#include "wavesim/noise/trajectory_tree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>

#include <omp.h>

#include "wavesim/base/bits.h"
#include "wavesim/base/page_memory.h"
#include "wavesim/kernels/kernel_call.h"
#include "wavesim/plan/windows.h"
#include "wavesim/state/measurement.h"

namespace wavesim {
namespace {

// Draws a trajectory takes at an event: the category, the resolution of an undecided one, the skip to its next event.
constexpr uint64_t kEventDraws = 3;
// Groups of amplitudes per chunk of a read (partial sums added in chunk order, whatever the threads).
constexpr uint64_t kReadChunk = uint64_t{1} << 12;
// Levels of the walk at most (a copied group halves at least, so 33 suffice for 2^32 trajectories).
constexpr size_t kMostStates = 64;

// How a state was made from its parent's: a run of steps, a branch with its scale, or a scale alone.
struct WalkOp {
    enum Kind : uint8_t { kSteps, kBranch, kScale } kind = kSteps;
    uint32_t site = 0;
    uint32_t branch = 0;
    size_t from = 0;
    size_t to = 0;
    double scale = 1.0;
};

// Where a state is in the program, and what is known of its norm.
struct Position {
    size_t step = 0;      // the steps before it are applied
    uint32_t cursor = 0;  // the sites before it are passed
    double floor = 1.0;   // a lower bound of its squared norm
    bool exact = true;    // its squared norm is 1
    std::string key;      // the register its path recorded
};

template <typename Real>
struct Level {
    StateVector<Real>* buffer = nullptr;
    StateView<Real> state;          // the program's qubits of the buffer
    const Level* parent = nullptr;  // the level whose state `history` starts from; nullptr: |0...0>
    Position at;
    std::vector<WalkOp> history;
};

// A group set aside for want of memory: where its node was, how that state was made, its branch and trajectories.
struct SetAside {
    std::vector<WalkOp> history;
    Position at;
    uint32_t site = 0;
    uint32_t branch = 0;
    double scale = 1.0;
    bool normalises = false;
    std::vector<Member> members;
};

template <typename Real>
struct Walk {
    const NoisyProgram& program;
    uint64_t streams;
    bool refuse_non_finite;
    ThreadTeam team;
    WindowShape shape;
    WindowScratch<Real> scratch;
    unsigned buffer_qubits;
    size_t max_states;
    size_t in_use = 1;  // the root's
    std::vector<std::unique_ptr<StateVector<Real>>> spare;
    const LeafVisit<Real>& leaf;
    WalkReport report;
    int index;  // of the walk among those of one call
};

bool by_next(const Member& a, const Member& b) { return a.next != b.next ? a.next < b.next : a.id < b.id; }

template <typename Real>
double take_draw(const Walk<Real>& walk, Member& member) {
    return stream_uniform(trajectory_stream(walk.streams, member.id), member.drawn++);
}

template <typename Real>
StateVector<Real>* acquire(Walk<Real>& walk) {
    ++walk.in_use;
    walk.report.peak_states = std::max(walk.report.peak_states, walk.in_use);
    if (walk.spare.empty()) return new StateVector<Real>(walk.buffer_qubits);
    StateVector<Real>* state = walk.spare.back().release();
    walk.spare.pop_back();
    return state;
}

template <typename Real>
void release(Walk<Real>& walk, StateVector<Real>* state) {
    --walk.in_use;
    walk.spare.emplace_back(state);
}

template <typename Real>
void copy_state(const StateView<Real>& from, StateView<Real>& to) {
    std::memcpy(to.re, from.re, from.component_bytes());
    std::memcpy(to.im, from.im, from.component_bytes());
}

template <typename Real>
void scale_state(StateView<Real>& state, double scale, ThreadTeam team) {
    const int64_t dim = int64_t(state.dim);
#pragma omp parallel for schedule(static) num_threads(team.threads) if (team.threads > 1)
    for (int64_t i = 0; i < dim; ++i) {
        state.re[i] = scaled_component(state.re[i], scale);
        state.im[i] = scaled_component(state.im[i], scale);
    }
}

// The branch's operator times `scale` (1: as it is).
template <typename Real>
void apply_branch(StateView<Real>& state, const SiteBranch& branch, double scale, ThreadTeam team) {
    for (const KernelCall& call : branch.calls) {
        if (scale == 1.0 || call.matrix == nullptr) {
            run_kernel_call(state, call, team);
            continue;
        }
        Matrix scaled = *call.matrix;
        for (Complex& entry : scaled) entry *= scale;
        KernelCall with = call;
        with.matrix = &scaled;
        run_kernel_call(state, with, team);
    }
}

// The reduced density matrix of the site's qubits, rho[r][c] = sum over the groups of amplitudes that differ in
// them of v_r conj(v_c) (row-major, d x d); only its diagonal when `diagonal`. Partial sums of fixed chunks are
// added in chunk order, so the bits do not depend on the team.
template <typename Real>
std::vector<Complex> reduced_density(const StateView<Real>& state, const Site& site, bool diagonal, ThreadTeam team) {
    const int width = site.width;
    const uint64_t d = uint64_t{1} << width;
    const uint64_t groups = state.dim >> width;
    const uint64_t chunks = (groups + kReadChunk - 1) / kReadChunk;
    std::vector<Complex> partial(chunks * d * d);
    const int low = width == 2 ? std::min(site.qubits[0], site.qubits[1]) : site.qubits[0];
    const int high = width == 2 ? std::max(site.qubits[0], site.qubits[1]) : -1;
    uint64_t offsets[4] = {};
    for (uint64_t l = 0; l < d; ++l)
        for (int j = 0; j < width; ++j)
            if ((l >> j) & 1) offsets[l] |= bit(site.qubits[j]);
    const int64_t chunk_count = int64_t(chunks);
#pragma omp parallel for schedule(static) num_threads(team.threads) if (team.threads > 1)
    for (int64_t chunk = 0; chunk < chunk_count; ++chunk) {
        Complex* rho = partial.data() + size_t(chunk) * d * d;
        const uint64_t end = std::min(groups, uint64_t(chunk + 1) * kReadChunk);
        for (uint64_t g = uint64_t(chunk) * kReadChunk; g < end; ++g) {
            uint64_t base = insert_zero_bit(g, low);
            if (high >= 0) base = insert_zero_bit(base, high);
            Complex v[4];
            for (uint64_t l = 0; l < d; ++l) v[l] = Complex(state.re[base + offsets[l]], state.im[base + offsets[l]]);
            for (uint64_t r = 0; r < d; ++r) {
                rho[r * d + r] += std::norm(v[r]);
                if (diagonal) continue;
                for (uint64_t c = r + 1; c < d; ++c) rho[r * d + c] += v[r] * std::conj(v[c]);
            }
        }
    }
    std::vector<Complex> rho(d * d);
    for (uint64_t chunk = 0; chunk < chunks; ++chunk)
        for (uint64_t e = 0; e < d * d; ++e) rho[e] += partial[chunk * d * d + e];
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = r + 1; c < d; ++c) rho[c * d + r] = std::conj(rho[r * d + c]);
    return rho;
}

// ||K_k psi||^2 of every branch: Tr(K_k^dagger K_k rho) with rho the site's reduced density matrix.
template <typename Real>
std::vector<double> branch_weights(const StateView<Real>& state, const Site& site, ThreadTeam team) {
    const uint64_t d = uint64_t{1} << site.width;
    bool diagonal = true;
    for (const SiteBranch& branch : site.branches)
        for (uint64_t r = 0; r < d; ++r)
            for (uint64_t c = 0; c < d; ++c) diagonal = diagonal && (r == c || branch.weight[r * d + c] == 0.0);
    const std::vector<Complex> rho = reduced_density(state, site, diagonal, team);
    std::vector<double> q;
    for (const SiteBranch& branch : site.branches) {
        double sum = 0.0;
        for (uint64_t r = 0; r < d; ++r)
            for (uint64_t c = 0; c < d; ++c) sum += (branch.weight[r * d + c] * rho[c * d + r]).real();
        q.push_back(sum);
    }
    return q;
}

// The position after branch `k` of `site` (index s); `normalises`: its scale made the norm 1.
Position after_branch(Position at, const Site& site, uint32_t s, uint32_t k, bool normalises) {
    if (int(k) == site.dominant) return at;  // its steps run with the next stretch
    const SiteBranch& branch = site.branches[k];
    at.step = site.after;
    at.cursor = s + 1;
    if (normalises) {
        at.floor = 1.0;
        at.exact = true;
    } else if (!branch.unitary) {
        at.floor *= branch.lower;
        at.exact = false;
    }
    if (site.cbit >= 0) set_key_bit(at.key, site.cbit, int(k));
    return at;
}

template <typename Real>
void run_op(Walk<Real>& walk, StateView<Real>& state, const WalkOp& op) {
    if (op.kind == WalkOp::kSteps) {
        apply_gates(state, walk.program.steps, op.from, op.to, walk.shape, walk.team, walk.scratch);
    } else if (op.kind == WalkOp::kBranch) {
        apply_branch(state, walk.program.sites[op.site].branches[op.branch], op.scale, walk.team);
    } else {
        scale_state(state, op.scale, walk.team);
    }
}

template <typename Real>
void record(Walk<Real>& walk, Level<Real>& level, const WalkOp& op) {
    run_op(walk, level.state, op);
    level.history.push_back(op);
}

// Takes the level's state through the steps up to `step`, passing the sites before `site`.
template <typename Real>
void advance(Walk<Real>& walk, Level<Real>& level, size_t step, uint32_t site) {
    const NoisyProgram& program = walk.program;
    Position& at = level.at;
    if (at.step < step) record(walk, level, {WalkOp::kSteps, 0, 0, at.step, step, 1.0});
    at.floor *= std::exp(program.log_floor[site] - program.log_floor[at.cursor]);
    at.exact = at.exact && program.shrinking[site] == program.shrinking[at.cursor];
    at.step = step;
    at.cursor = site;
}

template <typename Real>
void normalise(Walk<Real>& walk, Level<Real>& level) {
    const double norm = total_probability(level.state);
    if (norm > 0.0) record(walk, level, {WalkOp::kScale, 0, 0, 0, 0, 1.0 / std::sqrt(norm)});
    level.at.floor = 1.0;
    level.at.exact = true;
}

// The branch an event takes for draws u1 (a sure branch, or undecided) and u2 (an undecided one resolved
// against the probabilities `p` read off the state, made by `read` on first need).
template <typename Read>
uint32_t event_branch(const Site& site, double u1, double u2, std::vector<double>& p, Read&& read) {
    const auto& branches = site.branches;
    const double dominant = site.dominant >= 0 ? branches[size_t(site.dominant)].lower : 0.0;
    double sure = dominant;
    double r = u1 * (1.0 - dominant);
    int last_sure = -1;
    for (size_t k = 0; k < branches.size(); ++k) {
        if (int(k) == site.dominant || branches[k].lower <= 0.0) continue;
        if (r < branches[k].lower) return uint32_t(k);
        r -= branches[k].lower;
        sure += branches[k].lower;
        last_sure = int(k);
    }
    // Bounds that add up to 1 leave nothing undecided: what rounding leaves over is the last sure branch's.
    if (sure >= 1.0 && last_sure >= 0) return uint32_t(last_sure);
    if (p.empty()) p = read();
    // An undecided trajectory takes branch k with probability (p_k - lower_k) / (1 - sum of the lower bounds).
    std::vector<double> w(p.size());
    double total = 0.0;
    for (size_t k = 0; k < p.size(); ++k) total += (w[k] = std::max(p[k] - branches[k].lower, 0.0));
    if (!(total > 0.0)) w = p, total = 1.0;  // the bounds took every probability, within rounding
    double x = u2 * total;
    uint32_t last = 0;
    for (size_t k = 0; k < w.size(); ++k) {
        if (!(w[k] > 0.0)) continue;
        if (x < w[k]) return uint32_t(k);
        x -= w[k];
        last = uint32_t(k);
    }
    return last;
}

template <typename Real>
void walk_level(Walk<Real>& walk, Level<Real>& level, std::vector<Member> members);

// A state of the walk's pool, given back when it goes.
template <typename Real>
struct Borrowed {
    Walk<Real>& walk;
    StateVector<Real>* state;
    explicit Borrowed(Walk<Real>& w) : walk(w), state(acquire(w)) {}
    ~Borrowed() { release(walk, state); }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
};

// Makes a group's state as a copy of the node's with its branch applied, and walks it.
template <typename Real>
void walk_copy(Walk<Real>& walk, const Level<Real>& node, uint32_t s, uint32_t k, double scale, bool normalises,
               std::vector<Member> members) {
    const Borrowed<Real> held(walk);
    ++walk.report.copies;
    Level<Real> child;
    child.buffer = held.state;
    child.state = StateView<Real>(node.state.num_qubits, child.buffer->re, child.buffer->im);
    copy_state<Real>(*node.buffer, *child.buffer);
    child.parent = &node;
    if (int(k) != walk.program.sites[s].dominant) record(walk, child, {WalkOp::kBranch, s, k, 0, 0, scale});
    child.at = after_branch(node.at, walk.program.sites[s], s, k, normalises);
    walk_level(walk, child, std::move(members));
}

// The in-place part of a level: event after event with the largest group, the other groups copied or set aside.
template <typename Real>
void walk_in_place(Walk<Real>& walk, Level<Real>& level, std::vector<Member> members, std::deque<SetAside>& aside) {
    const NoisyProgram& program = walk.program;
    const uint32_t sites = uint32_t(program.sites.size());
    while (!members.empty()) {
        const uint32_t s = members.front().next;
        if (s == sites) {
            advance(walk, level, program.steps.size(), sites);
            ++walk.report.leaves;
            walk.leaf({*level.buffer, level.state, level.at.exact, level.at.key, members, walk.team}, walk.index);
            return;
        }
        const Site& site = program.sites[s];
        advance(walk, level, site.at, s);
        if (level.at.floor < kNormFloor) normalise(walk, level);
        // The trajectories with an event here come first; they draw their branches.
        const auto split = std::find_if(members.begin(), members.end(), [s](const Member& m) { return m.next != s; });
        std::vector<Member> rest(split, members.end());
        members.erase(split, members.end());
        std::vector<double> p;
        double read_total = 0.0;  // ||psi||^2 as the read summed it: the branches' weights add up to it
        const auto read = [&]() {
            std::vector<double> q = branch_weights(level.state, site, walk.team);
            for (double x : q) read_total += x;
            if (!std::isfinite(read_total)) {
                if (walk.refuse_non_finite) total_probability(level.state);  // raises the sampling refusal
                std::vector<double> first(q.size(), 0.0);
                first[0] = 1.0;  // the NaN stays in the state, which every later value reads
                return first;
            }
            for (double& x : q) x /= read_total;
            return q;
        };
        std::vector<std::vector<Member>> groups(site.branches.size());
        for (Member& m : members) {
            const double u1 = take_draw(walk, m);
            const double u2 = take_draw(walk, m);
            const uint32_t k = event_branch(site, u1, u2, p, read);
            m.next = next_event(program, s + 1, take_draw(walk, m));
            groups[k].push_back(m);
        }
        for (auto& group : groups) std::sort(group.begin(), group.end(), by_next);
        if (site.dominant >= 0) {
            std::vector<Member>& dominant = groups[size_t(site.dominant)];
            std::vector<Member> merged(dominant.size() + rest.size());
            std::merge(rest.begin(), rest.end(), dominant.begin(), dominant.end(), merged.begin(), by_next);
            dominant = std::move(merged);
        }
        // Where the state was read, a non-unitary branch other than the dominant one is scaled by
        // 1 / ||K psi||, which normalises it; elsewhere it is applied as it is.
        const bool normalising = !p.empty() && std::isfinite(read_total);
        const auto normalises = [&](uint32_t k) {
            return normalising && int(k) != site.dominant && !site.branches[k].unitary && p[k] > 0.0;
        };
        const auto scale_of = [&](uint32_t k) { return normalises(k) ? 1.0 / std::sqrt(p[k] * read_total) : 1.0; };
        uint32_t largest = 0;
        for (uint32_t k = 1; k < groups.size(); ++k)
            if (groups[k].size() > groups[largest].size()) largest = k;
        for (uint32_t k = 0; k < groups.size(); ++k) {
            if (k == largest || groups[k].empty()) continue;
            if (walk.in_use < walk.max_states)
                walk_copy(walk, level, s, k, scale_of(k), normalises(k), std::move(groups[k]));
            else aside.push_back({level.history, level.at, s, k, scale_of(k), normalises(k), std::move(groups[k])});
        }
        if (int(largest) != site.dominant) record(walk, level, {WalkOp::kBranch, s, largest, 0, 0, scale_of(largest)});
        level.at = after_branch(level.at, site, s, largest, normalises(largest));
        members = std::move(groups[largest]);
    }
}

// The level's state made again for a group set aside: from its parent's (or |0...0>), through the recorded operators.
template <typename Real>
void remake(Walk<Real>& walk, Level<Real>& level, const SetAside& group) {
    ++walk.report.remade;
    if (level.parent != nullptr) copy_state<Real>(*level.parent->buffer, *level.buffer);
    else set_zero_state(*level.buffer);
    for (const WalkOp& op : group.history) run_op(walk, level.state, op);
    level.history = group.history;
    level.at = group.at;
    const Site& site = walk.program.sites[group.site];
    if (int(group.branch) != site.dominant)
        record(walk, level, {WalkOp::kBranch, group.site, group.branch, 0, 0, group.scale});
    level.at = after_branch(group.at, site, group.site, group.branch, group.normalises);
}

template <typename Real>
void walk_level(Walk<Real>& walk, Level<Real>& level, std::vector<Member> members) {
    std::deque<SetAside> aside;
    walk_in_place(walk, level, std::move(members), aside);
    while (!aside.empty()) {
        SetAside group = std::move(aside.front());
        aside.pop_front();
        remake(walk, level, group);
        walk_in_place(walk, level, std::move(group.members), aside);
    }
}

// The states a walk may hold: its root's and what its share of the budget gives beside it (at least one where
// two fit).
template <typename Real>
size_t state_allowance(unsigned buffer_qubits, const TrajectoryLimits& limits, int walks) {
    const uint64_t bytes = (uint64_t{2} << buffer_qubits) * sizeof(Real);
    if (bytes >= kMappedBytes && !memory_available_for(2 * bytes * uint64_t(walks))) return 1;
    const uint64_t share = limits.state_bytes / uint64_t(walks);
    return std::min<uint64_t>(kMostStates, 1 + std::max<uint64_t>(1, share / bytes));
}

// One walk over trajectories [first, first + count) from `root`.
template <typename Real>
WalkReport walk_range(const NoisyProgram& program, StateVector<Real>& root, uint64_t streams, uint32_t first,
                      uint32_t count, const std::string& empty_key, bool refuse_non_finite, size_t max_states,
                      ThreadTeam team, const LeafVisit<Real>& leaf, int index) {
    Walk<Real> walk{program,
                    streams,
                    refuse_non_finite,
                    team,
                    window_shape_for<Real>(program.num_qubits),
                    {},
                    root.num_qubits,
                    max_states,
                    1,
                    {},
                    leaf,
                    {},
                    index};
    walk.report.peak_states = 1;
    set_zero_state(root);
    std::vector<Member> members(count);
    for (uint32_t i = 0; i < count; ++i) {
        members[i].id = first + i;
        members[i].next = next_event(program, 0, take_draw(walk, members[i]));
    }
    std::sort(members.begin(), members.end(), by_next);
    Level<Real> level;
    level.buffer = &root;
    level.state = StateView<Real>(program.num_qubits, root.re, root.im);
    level.at.key = empty_key;
    walk_level(walk, level, std::move(members));
    return walk.report;
}

}  // namespace

int trajectory_walks(uint32_t num_qubits, uint64_t count) {
    if (omp_in_parallel() || num_qubits > kLargestSplitQubits || kHardwareThreads < 2) return 1;
    return int(std::min<uint64_t>(uint64_t(std::min(kHardwareThreads, kMostWalks)), std::max<uint64_t>(count, 1)));
}

template <typename Real>
WalkReport walk_trajectories(const NoisyProgram& program, StateVector<Real>& root, uint64_t streams, uint32_t first,
                             uint32_t count, const std::string& empty_key, bool refuse_non_finite,
                             const TrajectoryLimits& limits, ThreadTeam team, const LeafVisit<Real>& leaf) {
    const int walks =
        limits.walks > 0 ? std::min(limits.walks, kMostWalks) : trajectory_walks(program.num_qubits, count);
    const size_t max_states = state_allowance<Real>(root.num_qubits, limits, walks);
    if (walks == 1)
        return walk_range(program, root, streams, first, count, empty_key, refuse_non_finite, max_states, team, leaf,
                          0);
    // Contiguous shares of the trajectories, each walked on its own thread with kernels of one thread.
    std::vector<WalkReport> reports(static_cast<size_t>(walks));
    std::exception_ptr failure;
#pragma omp parallel num_threads(walks)
    {
        const int w = omp_get_thread_num();
        const UnitRange share = static_share(count, w, walks);
        try {
            std::unique_ptr<StateVector<Real>> own;
            if (w > 0) own = std::make_unique<StateVector<Real>>(root.num_qubits);
            reports[size_t(w)] = walk_range(program, w == 0 ? root : *own, streams, first + uint32_t(share.begin),
                                            uint32_t(share.end - share.begin), empty_key, refuse_non_finite, max_states,
                                            ThreadTeam{1}, leaf, w);
        } catch (...) {
#pragma omp critical(wavesim_walk_failure)
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    WalkReport total;
    for (const WalkReport& r : reports) {
        total.peak_states += r.peak_states;
        total.copies += r.copies;
        total.remade += r.remade;
        total.leaves += r.leaves;
    }
    return total;
}

template WalkReport walk_trajectories<double>(const NoisyProgram&, StateVector<double>&, uint64_t, uint32_t, uint32_t,
                                              const std::string&, bool, const TrajectoryLimits&, ThreadTeam,
                                              const LeafVisit<double>&);
template WalkReport walk_trajectories<float>(const NoisyProgram&, StateVector<float>&, uint64_t, uint32_t, uint32_t,
                                             const std::string&, bool, const TrajectoryLimits&, ThreadTeam,
                                             const LeafVisit<float>&);

}  // namespace wavesim
