// The driver behind cal_states_cpp: the circuit run for each parameter set, the final states into one buffer.
#include "wavesim/batch/cal_states.h"

#include "wavesim/plan/run.h"

namespace wavesim {

template <typename Real>
AmplitudeBuffer<Real> collect_final_states(int thread_qubits, unsigned state_qubits, int batches,
                                           const SetEvolution<Real>& evolve) {
    const int n = int(state_qubits);
    const bool single = batches <= 1;
    // Rows before any state: a count too large for memory fails first, as a MemoryError.
    AmplitudeBuffer<Real> buffer;
    if (!single) buffer = allocate_amplitudes<Real>(n, static_cast<uint64_t>(batches), true);
    ParameterSets sets;
    sets.num_qubits = thread_qubits;
    sets.state_qubits = state_qubits;
    sets.batches = batches;
    sets.result_rows = single ? 0 : static_cast<uint64_t>(batches);
    for_each_parameter_set<Real, NoExtra>(sets, [&](SetRun<Real>& run, NoExtra&) {
        StateVector<Real>& state = run.state();
        evolve(run, state);
        if (single) {
            buffer = allocate_amplitudes<Real>(n, 1, false);
            move_amplitudes(state, buffer.data.get());
            return;
        }
        // Leaves the state |0...0> for the worker's next set.
        copy_and_clear(state, buffer.data.get() + (static_cast<uint64_t>(run.batch_index) << n));
        run.left_clear = true;
    });
    return buffer;
}

template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches, int fusion) {
    return collect_final_states<Real>(circuit.num_qubits, static_cast<unsigned>(circuit.num_qubits), batches,
                                      [&](SetRun<Real>& run, StateVector<Real>& state) {
                                          RunOptions options;
                                          options.team = run.team;
                                          options.source = run.reset_source;
                                          run_circuit(state, circuit.instructions, run.batch_index, fusion, run.caches,
                                                      options);
                                      });
}

#define WAVESIM_INSTANTIATE_CAL_STATES(Real)                                             \
    template AmplitudeBuffer<Real> final_amplitudes<Real>(const CircuitData&, int, int); \
    template AmplitudeBuffer<Real> collect_final_states<Real>(int, unsigned, int, const SetEvolution<Real>&);

WAVESIM_INSTANTIATE_CAL_STATES(double)
WAVESIM_INSTANTIATE_CAL_STATES(float)

}  // namespace wavesim
