// run_cpp's noisy driver: a procedure per set, the leaves' final samples and readout error on the counts.
#include "wavesim/noise/noisy_shots.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "wavesim/batch/parameter_sets.h"
#include "wavesim/noise/channels.h"
#include "wavesim/shots/driver.h"
#include "wavesim/state/measurement.h"

namespace wavesim {
namespace {

// What the streams of a call are derived for.
constexpr uint64_t kShotStreams = 1;
constexpr uint64_t kReadoutStreams = 2;

// The final samples of a leaf's trajectories, one draw each, their keys the
// path's register with the terminal MEASUREs' bits of the sampled index.
template <typename Real>
void count_leaf(const NoisyProgram& program, const Leaf<Real>& leaf, uint64_t streams, ShotCounts& counts) {
    const std::vector<Member>& members = leaf.members;
    if (program.terminal.empty()) {
        total_probability(leaf.state);  // a state that is not finite is refused, as every final sample refuses it
        counts[leaf.key] += int(members.size());
        return;
    }
    // Draws scaled by the squared norm: the table's sums are the state's own.
    const double norm = leaf.exact_norm ? 1.0 : total_probability(leaf.state);
    const CumulativeTable table = build_cumulative(leaf.state);
    std::vector<double> draws(members.size());
    for (size_t i = 0; i < members.size(); ++i)
        draws[i] = norm * stream_uniform(trajectory_stream(streams, members[i].id), members[i].drawn);
    std::vector<uint64_t> indices = sample_indices(leaf.state, table, draws);
    std::sort(indices.begin(), indices.end());
    for (size_t i = 0; i < indices.size();) {
        size_t end = i;
        while (end < indices.size() && indices[end] == indices[i]) ++end;
        std::string key = leaf.key;
        for (const MeasuredBit& m : program.terminal) set_key_bit(key, m.cbit, int((indices[i] >> m.qubit) & 1U));
        counts[key] += int(end - i);
        i = end;
    }
}

template <typename Real>
ShotCounts trajectory_counts(const NoisyProgram& program, SetRun<Real>& run, int shots, int num_cbits, uint64_t streams,
                             const TrajectoryLimits& limits) {
    StateVector<Real>& root = run.state();
    const std::string empty = empty_key(num_cbits);
    std::vector<ShotCounts> walks(static_cast<size_t>(kMostWalks));  // one per walk: they count at once
    for_each_block(uint64_t(shots), limits.block, [&](uint32_t first, uint32_t count) {
        walk_trajectories<Real>(
            program, root, streams, first, count, empty, true, limits, run.team,
            [&](const Leaf<Real>& leaf, int w) { count_leaf(program, leaf, streams, walks[size_t(w)]); });
    });
    ShotCounts counts;
    for (const ShotCounts& part : walks)
        for (const auto& [key, count] : part) counts[key] += count;
    return counts;
}

CircuitData without_channels(const CircuitData& circuit) {
    CircuitData noiseless = circuit;
    noiseless.instructions.clear();
    for (const CircuitInstruction& ins : circuit.instructions)
        if (find_channel(ins.name) == nullptr) noiseless.instructions.push_back(ins);
    return noiseless;
}

}  // namespace

void check_readout(const ReadoutError& readout, int num_cbits) {
    if (readout.size() > 1 && int64_t(readout.size()) != num_cbits)
        throw std::invalid_argument("readout_error: " + std::to_string(readout.size()) + " pairs for " +
                                    std::to_string(num_cbits) +
                                    " classical bits (give one pair for every bit, or one pair per bit)");
    for (size_t i = 0; i < readout.size(); ++i)
        for (double p : {readout[i].first, readout[i].second})
            if (!(p >= 0.0 && p <= 1.0))
                throw std::invalid_argument("readout_error: pair " + std::to_string(i) + " holds " + shown_number(p) +
                                            ", not a probability in [0, 1]");
}

ShotCounts with_readout_error(const ShotCounts& counts, const ReadoutError& readout, const ShotSetup& setup,
                              DrawStream& stream) {
    std::set<int32_t> recorded;
    for (const MeasuredBit& m : setup.measured) recorded.insert(m.cbit);
    ShotCounts current = counts;
    for (const int32_t c : recorded) {
        const std::pair<double, double>& pair = readout[readout.size() == 1 ? 0 : size_t(c)];
        ShotCounts next;
        for (const auto& [key, count] : current) {
            const int bit = key[key.size() - 1 - size_t(c)] == '1' ? 1 : 0;
            const int flips = int(binomial(uint64_t(count), bit == 0 ? pair.first : pair.second, stream));
            if (count > flips) next[key] += count - flips;
            if (flips == 0) continue;
            std::string flipped = key;
            set_key_bit(flipped, c, 1 - bit);
            next[flipped] += flips;
        }
        current = std::move(next);
    }
    return current;
}

template <typename Real>
std::vector<ShotCounts> run_noisy_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                        TensorShapeReader read_bound_shape, int fusion, const ReadoutError& readout,
                                        const TrajectoryLimits& limits) {
    const ShotSetup setup = setup_shots(circuit, num_cbits, read_bound_shape);
    check_channels(circuit.instructions, circuit.num_qubits, setup.batches);
    check_readout(readout, num_cbits);
    const CircuitData noiseless = without_channels(circuit);
    ShotSetup noiseless_setup = setup_shots(noiseless, num_cbits, read_bound_shape);
    noiseless_setup.batches = setup.batches;
    RandomSource source = make_seeded_source(seed);
    const uint64_t key = call_key(seed);
    std::vector<ShotCounts> results(size_t(setup.batches));
    ParameterSets sets;
    sets.num_qubits = circuit.num_qubits;
    sets.state_qubits = unsigned(circuit.num_qubits);
    sets.batches = setup.batches;
    sets.in_turn = true;  // the noiseless sets share one stream, as in run_shots
    for_each_parameter_set<Real, NoExtra>(sets, [&](SetRun<Real>& run, NoExtra&) {
        const uint64_t b = uint64_t(run.batch_index);
        const NoisyProgram program = compile_noisy(circuit.instructions, circuit.num_qubits, run.batch_index, num_cbits,
                                                   NoisyMode::kCounts, fusion, run.caches);
        ShotCounts counts;
        if (!program.noisy)
            counts = count_batch<Real>(noiseless, noiseless_setup, run, shots, num_cbits, source, fusion);
        else if (shots > 0)
            counts = trajectory_counts(program, run, shots, num_cbits, derived_key(key, kShotStreams, b), limits);
        if (!readout.empty()) {
            DrawStream stream{derived_key(key, kReadoutStreams, b), 0};
            counts = with_readout_error(counts, readout, setup, stream);
        }
        results[size_t(b)] = std::move(counts);
    });
    return results;
}

template std::vector<ShotCounts> run_noisy_shots<double>(const CircuitData&, int, int, int, TensorShapeReader, int,
                                                         const ReadoutError&, const TrajectoryLimits&);
template std::vector<ShotCounts> run_noisy_shots<float>(const CircuitData&, int, int, int, TensorShapeReader, int,
                                                        const ReadoutError&, const TrajectoryLimits&);

}  // namespace wavesim
