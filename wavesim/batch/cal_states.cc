// The driver behind cal_states_cpp: one run, or one run per parameter set across worker threads.
#include "wavesim/batch/cal_states.h"

#include <memory>
#include <vector>

#include "wavesim/state/amplitude_buffer.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/state/measurement.h"
#include "wavesim/base/threads.h"

namespace wavesim {
namespace {

template <typename Real>
AmplitudeBuffer<Real> single_run(const CircuitData& circuit, int fusion) {
    StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
    run_circuit(state, circuit.instructions, nullptr, 0, fusion);
    AmplitudeBuffer<Real> buffer = allocate_amplitudes<Real>(circuit.num_qubits, 1, false);
    move_amplitudes(state, buffer.data.get());
    return buffer;
}

template <typename Real>
AmplitudeBuffer<Real> batched_run(const CircuitData& circuit, int batches, int fusion) {
    const int n = circuit.num_qubits;
    AmplitudeBuffer<Real> buffer = allocate_amplitudes<Real>(n, static_cast<uint64_t>(batches), true);
    std::complex<Real>* rows = buffer.data.get();
    const uint64_t dim = uint64_t{1} << n;

    const int team = batch_thread_count(n, batches);
    check_batch_memory<Real>(n, static_cast<uint64_t>(batches), static_cast<uint64_t>(team));
    std::vector<StateWorker<Real>> workers(static_cast<size_t>(team));
    for_each_set(n, batches, workers, [&](StateWorker<Real>& worker, int b) {
        if (!worker.state) worker.state = std::make_unique<StateVector<Real>>(static_cast<unsigned>(n));
        run_circuit(*worker.state, circuit.instructions, &worker.caches, b, fusion);
        // Leaves the state |0...0> for the worker's next set.
        copy_and_clear(*worker.state, rows + static_cast<uint64_t>(b) * dim);
    });
    return buffer;
}

}  // namespace

template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches, int fusion) {
    check_fusion(fusion);
    const ThreadCountGuard caller_threads;
    reset_random_source<Real>();  // seeded on the calling thread now, as on each worker at its first RESET
    if (batches <= 1) return single_run<Real>(circuit, fusion);
    return batched_run<Real>(circuit, batches, fusion);
}

template AmplitudeBuffer<double> final_amplitudes<double>(const CircuitData&, int, int);
template AmplitudeBuffer<float> final_amplitudes<float>(const CircuitData&, int, int);

}  // namespace wavesim
