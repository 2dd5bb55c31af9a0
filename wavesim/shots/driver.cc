// run_cpp's driver and the choice of procedure for each batch.
#include "wavesim/shots/driver.h"

#include <stdexcept>

#include "wavesim/shots/literal.h"
#include "wavesim/shots/outcome_tree.h"
#include "wavesim/shots/sample_once.h"
#include "wavesim/base/threads.h"

namespace wavesim {

template <typename Real>
ShotCounts count_batch(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots, int num_cbits,
                       RandomSource& source, CountedBy* counted_by) {
    const auto note = [counted_by](CountedBy procedure) {
        if (counted_by != nullptr) *counted_by = procedure;
    };
    if (!setup.per_shot) {
        note(CountedBy::kSampleOnce);
        return sample_once_counts<Real>(circuit, setup, batch_index, shots, num_cbits, source);
    }
    const RandomSource start = source;
    try {
        note(CountedBy::kOutcomeTree);
        return outcome_tree_counts<Real>(circuit, batch_index, shots, num_cbits, source, {}, setup.fusion);
    } catch (const std::runtime_error&) {
        // The tree meets a refusal in its own order; the literal shots meet it
        // in theirs and raise it as run_cpp reports it.
        source = start;
        note(CountedBy::kLiteral);
        return literal_counts<Real>(circuit, setup, batch_index, shots, num_cbits, source);
    }
}

template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape, int fusion) {
    check_fusion(fusion);
    const ThreadCountGuard caller_threads;
    ShotSetup setup = setup_shots(circuit, num_cbits, read_bound_shape);
    setup.fusion = fusion;
    RandomSource source = make_seeded_source(seed);
    std::vector<ShotCounts> results;
    for (int b = 0; b < setup.batches; ++b)
        results.push_back(count_batch<Real>(circuit, setup, b, shots, num_cbits, source));
    return results;
}

#define WAVESIM_INSTANTIATE_DRIVER(Real)                                                                      \
    template ShotCounts count_batch<Real>(const CircuitData&, const ShotSetup&, int, int, int, RandomSource&, \
                                          CountedBy*);                                                        \
    template std::vector<ShotCounts> run_shots<Real>(const CircuitData&, int, int, int, TensorShapeReader, int);

WAVESIM_INSTANTIATE_DRIVER(double)
WAVESIM_INSTANTIATE_DRIVER(float)

}  // namespace wavesim
