// The literal shot procedure, shot by shot and draw by draw.
#include "shots_literal.h"

#include <vector>

#include "circuit_walk.h"
#include "gate_catalogue.h"
#include "measurement.h"

namespace wavesim {
namespace {

// Register entries 0, 1, ... as decimal text, then reversed: bit 0 rightmost.
std::string key_of_register(const std::vector<int>& cbits) {
    std::string key;
    for (int bit : cbits) key += std::to_string(bit);
    return std::string(key.rbegin(), key.rend());
}

std::vector<int> make_register(int num_cbits) { return std::vector<int>(empty_key(num_cbits).size(), 0); }

template <typename Real>
ShotCounts literal_per_shot(const CircuitData& circuit, int batch_index, int shots, int num_cbits,
                            RandomSource& source) {
    ShotCounts counts;
    for (int s = 0; s < shots; ++s) {
        StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
        GateMatrixCache cache;
        std::vector<int> cbits = make_register(num_cbits);
        for (const auto& instruction : circuit.instructions) {
            const OperationKind kind = operation_kind(instruction.name);
            if (kind == OperationKind::kMeasure) {
                if (instruction.qubits.empty()) continue;
                const int32_t c = classical_bit(instruction);
                if (c >= num_cbits) continue;
                cbits[static_cast<size_t>(c)] = measure_qubit(state, instruction.qubits[0], source);
            } else if (kind != OperationKind::kNoEffect) {
                apply_instruction(state, instruction, cache, batch_index, source);
            }
        }
        ++counts[key_of_register(cbits)];
    }
    return counts;
}

template <typename Real>
ShotCounts literal_sample_once(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots,
                               int num_cbits, RandomSource& source) {
    StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
    GateMatrixCache cache;
    for (const auto& instruction : circuit.instructions)
        apply_instruction(state, instruction, cache, batch_index, source);
    const CumulativeTable table = build_cumulative(state);
    ShotCounts counts;
    for (int s = 0; s < shots; ++s) {
        const uint64_t index = sample_index(state, table, source);
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
    if (setup.per_shot) return literal_per_shot<Real>(circuit, batch_index, shots, num_cbits, source);
    return literal_sample_once<Real>(circuit, setup, batch_index, shots, num_cbits, source);
}

template ShotCounts literal_counts<double>(const CircuitData&, const ShotSetup&, int, int, int, RandomSource&);
template ShotCounts literal_counts<float>(const CircuitData&, const ShotSetup&, int, int, int, RandomSource&);

}  // namespace wavesim
