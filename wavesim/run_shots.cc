#include "run_shots.h"

#include "measurement.h"
#include "shot_passes.h"
#include "threads.h"

namespace py = pybind11;

namespace {

py::dict to_dict(const ShotCounts& counts) {
    py::dict result;
    for (const auto& [key, count] : counts) result[py::str(key)] = py::int_(count);
    return result;
}

}  // namespace

template <typename Real>
py::object run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed) {
    const ThreadCountGuard caller_threads;
    const ShotPlan plan = plan_shots(circuit, num_cbits);
    RandomSource source = make_seeded_source(seed);
    py::list results;
    for (int b = 0; b < plan.passes; ++b) results.append(to_dict(count_pass<Real>(circuit, plan, b, shots, num_cbits, source)));
    if (plan.batches < 2) return results[0];
    return std::move(results);
}

template py::object run_shots<double>(const CircuitData&, int, int, int);
template py::object run_shots<float>(const CircuitData&, int, int, int);
