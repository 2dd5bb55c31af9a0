// The literal shot procedure, instruction by instruction and draw by draw.
#include "wavesim/testing/literal_shots.h"

#include <vector>

#include "wavesim/shots/literal.h"
#include "wavesim/state/measurement.h"
#include "wavesim/testing/reference_path.h"

namespace wavesim {
namespace {

std::vector<int> make_register(int num_cbits) { return std::vector<int>(empty_key(num_cbits).size(), 0); }

template <typename Real>
ShotCounts literal_per_shot(const CircuitData& circuit, int batch_index, int shots, int num_cbits,
                            RandomSource& source) {
    ShotCounts counts;
    for (int s = 0; s < shots; ++s) {
        StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
        GateMatrixCache cache;
        std::vector<int> cbits = make_register(num_cbits);
        for (const CircuitInstruction& ins : circuit.instructions) {
            if (is_counted_measure(ins, num_cbits))
                cbits[static_cast<size_t>(classical_bit(ins))] = measure_qubit(state, ins.qubits[0], source);
            else
                apply_one_instruction(state, ins, cache, batch_index, source);
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
    apply_one_by_one(state, circuit.instructions, 0, circuit.instructions.size(), cache, batch_index, source);
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
