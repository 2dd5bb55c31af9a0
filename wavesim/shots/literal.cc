// The literal shot procedure, shot by shot and draw by draw.
#include "wavesim/shots/literal.h"

#include <string>
#include <vector>

#include "wavesim/state/measurement.h"
#include "wavesim/plan/windows.h"
#include "wavesim/shots/sample_once.h"

namespace wavesim {
namespace {

// Register entries 0, 1, ... as decimal text, then reversed: bit 0 rightmost.
std::string key_of_register(const std::vector<int>& cbits) {
    std::string key;
    for (int bit : cbits) key += std::to_string(bit);
    return std::string(key.rbegin(), key.rend());
}

std::vector<int> make_register(int num_cbits) { return std::vector<int>(empty_key(num_cbits).size(), 0); }

// Each shot on a fresh state with a fresh matrix cache, so that no shot
// depends on what another left behind: every stretch of instructions between
// counted MEASUREs compiled and applied (its RESETs drawing in circuit order),
// then the MEASURE's own draw.
template <typename Real>
ShotCounts literal_per_shot(const CircuitData& circuit, int batch_index, int shots, int num_cbits, int fusion,
                            RandomSource& source) {
    const std::vector<CircuitInstruction>& instructions = circuit.instructions;
    ShotCounts counts;
    for (int s = 0; s < shots; ++s) {
        StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
        GateMatrixCache cache;
        std::vector<int> cbits = make_register(num_cbits);
        size_t stretch = 0;
        for (size_t i = 0; i < instructions.size(); ++i) {
            if (!is_counted_measure(instructions[i], num_cbits)) continue;
            run_instructions(state, instructions, stretch, i, cache, batch_index, source, fusion);
            cbits[static_cast<size_t>(classical_bit(instructions[i]))] =
                measure_qubit(state, instructions[i].qubits[0], source);
            stretch = i + 1;
        }
        run_instructions(state, instructions, stretch, instructions.size(), cache, batch_index, source, fusion);
        ++counts[key_of_register(cbits)];
    }
    return counts;
}

// The circuit applied once, then one table search per draw.
template <typename Real>
ShotCounts literal_sample_once(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots,
                               int num_cbits, RandomSource& source) {
    const SampleOnceState<Real> sampled(circuit, batch_index, setup.fusion, source);
    ShotCounts counts;
    for (int s = 0; s < shots; ++s) {
        const uint64_t index = sample_index(sampled.state, sampled.table, source);
        std::vector<int> cbits = make_register(num_cbits);
        for (const auto& m : setup.measured)
            cbits[static_cast<size_t>(m.cbit)] = static_cast<int>((index >> m.qubit) & 1U);
        ++counts[key_of_register(cbits)];
    }
    return counts;
}

}  // namespace

template <typename Real>
ShotCounts literal_counts(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots, int num_cbits,
                          RandomSource& source) {
    if (setup.per_shot) return literal_per_shot<Real>(circuit, batch_index, shots, num_cbits, setup.fusion, source);
    return literal_sample_once<Real>(circuit, setup, batch_index, shots, num_cbits, source);
}

template ShotCounts literal_counts<double>(const CircuitData&, const ShotSetup&, int, int, int, RandomSource&);
template ShotCounts literal_counts<float>(const CircuitData&, const ShotSetup&, int, int, int, RandomSource&);

}  // namespace wavesim
