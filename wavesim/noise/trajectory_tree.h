// The walk of a noisy program's trajectories: trajectories that have taken
// the same branches so far share one state. Each trajectory draws from its
// own stream (noise/draws.h): at the start and after every event, one draw
// skips it to its next event (next_event); at an event, one draw picks a
// branch among the sure ones (a branch k other than the dominant one is
// sure with probability lower_k, as K_k^dagger K_k >= lower_k I allows,
// without reading the state) and "undecided", and a second resolves an
// undecided trajectory against the branch probabilities ||K_k psi||^2 read
// off the state (once per node, only when some trajectory needs them). So a
// Pauli mixture is split without any pass over the state.
//
// The walk is depth first. At an event the trajectories of a node fall into
// groups by branch; the largest group goes on with the node's state in
// place, every other group gets a copy with its branch applied, so a copy is
// made only at a branch point and every copied group holds at most half the
// trajectories: the states held at once are at most 1 + log2(trajectories),
// and in practice the error-free path plus one or two. The memory rule: a
// walk holds its root's state and at most its share of
// TrajectoryLimits::state_bytes of others (at least one other when the
// machine has the memory for two states per walk); a group that would need
// one more is set aside and its state made again, once the largest group is
// done, from the state of the node's parent and the operators taken since
// (with their scales), which gives the same bits. A state is never made
// again from the start of the circuit unless the machine holds only one.
//
// States between events are not normalised: an operator of a sure branch is
// applied as it is, and the probabilities read later are ratios of the
// state's own weights. A node normalises its state when a read gives the
// norm, and before its squared norm could fall below kNormFloor.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "wavesim/noise/draws.h"
#include "wavesim/noise/noisy_program.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// The squared norm below which a node's state is normalised at its next event.
constexpr double kNormFloor = 1e-12;

struct TrajectoryLimits {
    uint64_t state_bytes = uint64_t{256} << 20;  // states held beside the roots'
    uint32_t block = uint32_t{1} << 20;          // trajectories walked together (the root's path is run once per block)
    int walks = 0;                               // walks a call is cut into; 0: trajectory_walks' rule
};

// A trajectory in the walk: the site of its next event, its number and the draws its stream has given.
struct Member {
    uint32_t next = 0;
    uint32_t id = 0;
    uint64_t drawn = 0;
};

// What a leaf of the walk hands on: the state at the end of the program's
// steps (in `buffer`, the program's qubits its lower part, zero above), the
// register its path recorded and its trajectories. exact_norm: the state is
// normalised (no operator that may shrink it was applied since it last was).
template <typename Real>
struct Leaf {
    const StateView<Real>& buffer;
    const StateView<Real>& state;
    bool exact_norm;
    const std::string& key;
    const std::vector<Member>& members;
    ThreadTeam team;  // the walk's kernels'
};

// Called for every leaf with the index of the walk that reached it; walks run
// at once on threads of their own, each calling from its thread.
template <typename Real>
using LeafVisit = std::function<void(const Leaf<Real>&, int walk)>;

struct WalkReport {
    size_t peak_states = 0;  // states held at once, the root's included
    size_t copies = 0;       // states made as copies at branch points
    size_t remade = 0;       // states made again from a parent's
    size_t leaves = 0;
};

// The stream of trajectory `id` of streams `streams`.
inline uint64_t trajectory_stream(uint64_t streams, uint32_t id) { return derived_key(streams, id); }

// work(first, count) for the blocks of `block` trajectories that make up `count`, in order.
template <typename Work>
void for_each_block(uint64_t count, uint32_t block, Work&& work) {
    const uint64_t size = block > 0 ? block : 1;
    for (uint64_t first = 0; first < count; first += size)
        work(uint32_t(first), uint32_t(std::min(size, count - first)));
}

// Walks of one call at most.
constexpr int kMostWalks = 64;

// States of at most this many qubits are walked on several threads at once
// (the trajectories cut into contiguous shares, kernels on one thread each):
// below it a kernel on a team costs more in its region than it gains.
constexpr uint32_t kLargestSplitQubits = 18;

// The walks a call over `count` trajectories is cut into: every hardware
// thread for states of up to kLargestSplitQubits qubits (outside any
// parallel region), else one, whose kernels take the caller's team.
int trajectory_walks(uint32_t num_qubits, uint64_t count);

// Trajectories first ... first + count - 1 of `program` from |0...0> in
// `root` (a state of at least the program's qubits; the other walks make
// roots of their own); `leaf` is called for every leaf. A
// trajectory's states, and so its leaf's state, are the same bits whichever
// trajectories share its path, however the walks cut them and whatever the
// memory allows. A probability read off a state that is not finite raises
// the sampling refusal of measure_qubit when `refuse_non_finite`; otherwise
// its undecided trajectories take the first branch, unscaled, and the NaN
// stays in the state.
template <typename Real>
WalkReport walk_trajectories(const NoisyProgram& program, StateVector<Real>& root, uint64_t streams, uint32_t first,
                             uint32_t count, const std::string& empty_key, bool refuse_non_finite,
                             const TrajectoryLimits& limits, ThreadTeam team, const LeafVisit<Real>& leaf);

}  // namespace wavesim
