#include "run_shots.h"

#include "measurement.h"
#include "shot_passes.h"
#include "threads.h"

namespace wavesim {

template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape, int fusion) {
    check_fusion(fusion);
    const ThreadCountGuard caller_threads;
    ShotPlan plan = plan_shots(circuit, num_cbits, read_bound_shape);
    plan.fusion = fusion;
    RandomSource source = make_seeded_source(seed);
    std::vector<ShotCounts> results;
    for (int b = 0; b < plan.passes; ++b)
        results.push_back(count_pass<Real>(circuit, plan, b, shots, num_cbits, source));
    return results;
}

template std::vector<ShotCounts> run_shots<double>(const CircuitData&, int, int, int, TensorShapeReader, int);
template std::vector<ShotCounts> run_shots<float>(const CircuitData&, int, int, int, TensorShapeReader, int);

}  // namespace wavesim
