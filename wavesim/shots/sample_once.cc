// The sample-once count: one simulation, one sorted sweep per block of draws.
#include "wavesim/shots/sample_once.h"

#include <algorithm>
#include <string>
#include <vector>

#include "wavesim/plan/run.h"
#include "wavesim/state/measurement.h"

namespace wavesim {
namespace {

// Draws resolved per sweep of the table: bounds the memory of a batch with many shots.
constexpr int kDrawBlock = 1 << 20;

std::string key_of_index(uint64_t index, const ShotSetup& setup, const std::string& empty) {
    std::string key = empty;
    for (const auto& m : setup.measured) set_key_bit(key, m.cbit, static_cast<int>((index >> m.qubit) & 1U));
    return key;
}

}  // namespace

template <typename Real>
ShotCounts sample_once_counts(const CircuitData& circuit, const ShotSetup& setup, SetRun<Real>& run, int shots,
                              int num_cbits, RandomSource& source, int fusion) {
    StateView<Real>& state = run.state();
    RunOptions options;
    options.team = run.team;
    options.source = &source;
    run_circuit(state, circuit.instructions, run.batch_index, fusion, run.caches, options);
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
            counts[key_of_index(indices[i], setup, empty)] += static_cast<int>(end - i);
            i = end;
        }
        done += block;
    }
    return counts;
}

template ShotCounts sample_once_counts<double>(const CircuitData&, const ShotSetup&, SetRun<double>&, int, int,
                                              RandomSource&, int);
template ShotCounts sample_once_counts<float>(const CircuitData&, const ShotSetup&, SetRun<float>&, int, int,
                                             RandomSource&, int);

}  // namespace wavesim
