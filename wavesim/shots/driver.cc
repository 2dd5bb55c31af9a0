// run_cpp's driver and the choice of procedure for each batch.
#include "wavesim/shots/driver.h"

#include "wavesim/base/page_memory.h"
#include "wavesim/shots/literal.h"
#include "wavesim/shots/outcome_tree.h"
#include "wavesim/shots/sample_once.h"

namespace wavesim {

template <typename Real>
CountedBy counting_procedure(const ShotSetup& setup, int num_qubits) {
    if (!setup.per_shot) return CountedBy::kSampleOnce;
    // Beyond this many qubits a state's byte count leaves the range of the check (and of any machine).
    constexpr int kLargestCounted = 56;
    if (num_qubits < 0 || num_qubits > kLargestCounted) return CountedBy::kOutcomeTree;  // the state refuses itself
    const uint64_t state_bytes = (uint64_t{2} << num_qubits) * sizeof(Real);
    if (state_bytes < kMappedBytes || memory_available_for(2 * state_bytes)) return CountedBy::kOutcomeTree;
    return CountedBy::kLiteral;
}

template <typename Real>
ShotCounts count_batch(const CircuitData& circuit, const ShotSetup& setup, SetRun<Real>& run, int shots, int num_cbits,
                       RandomSource& source, int fusion) {
    switch (counting_procedure<Real>(setup, circuit.num_qubits)) {
        case CountedBy::kSampleOnce: return sample_once_counts<Real>(circuit, setup, run, shots, num_cbits, source, fusion);
        case CountedBy::kOutcomeTree: return outcome_tree_counts<Real>(circuit, run, shots, num_cbits, source, {}, fusion);
        case CountedBy::kLiteral: break;
    }
    return literal_shot_counts<Real>(circuit, run, shots, num_cbits, source, fusion);
}

template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape, int fusion) {
    const ShotSetup setup = setup_shots(circuit, num_cbits, read_bound_shape);
    RandomSource source = make_seeded_source(seed);
    std::vector<ShotCounts> results(static_cast<size_t>(setup.batches));
    ParameterSets sets;
    sets.num_qubits = circuit.num_qubits;
    sets.state_qubits = static_cast<unsigned>(circuit.num_qubits);
    sets.batches = setup.batches;
    sets.in_turn = true;  // one stream: the batches draw in turn
    for_each_parameter_set<Real, NoExtra>(sets, [&](SetRun<Real>& run, NoExtra&) {
        results[static_cast<size_t>(run.batch_index)] =
            count_batch<Real>(circuit, setup, run, shots, num_cbits, source, fusion);
    });
    return results;
}

#define WAVESIM_INSTANTIATE_DRIVER(Real)                                                                             \
    template CountedBy counting_procedure<Real>(const ShotSetup&, int);                                              \
    template ShotCounts count_batch<Real>(const CircuitData&, const ShotSetup&, SetRun<Real>&, int, int, RandomSource&, \
                                          int);                                                                      \
    template std::vector<ShotCounts> run_shots<Real>(const CircuitData&, int, int, int, TensorShapeReader, int);

WAVESIM_INSTANTIATE_DRIVER(double)
WAVESIM_INSTANTIATE_DRIVER(float)

}  // namespace wavesim
