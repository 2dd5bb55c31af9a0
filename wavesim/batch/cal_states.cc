// The driver behind cal_states_cpp: the circuit run for each parameter set, the final states into one buffer.
#include "wavesim/batch/cal_states.h"

#include "wavesim/batch/parameter_sets.h"
#include "wavesim/plan/run.h"

namespace wavesim {

template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches, int fusion) {
    const int n = circuit.num_qubits;
    const bool single = batches <= 1;
    // Rows before any state: a count too large for memory fails first, as a MemoryError.
    AmplitudeBuffer<Real> buffer;
    if (!single) buffer = allocate_amplitudes<Real>(n, static_cast<uint64_t>(batches), true);
    ParameterSets sets;
    sets.num_qubits = n;
    sets.state_qubits = static_cast<unsigned>(n);
    sets.batches = batches;
    sets.result_rows = single ? 0 : static_cast<uint64_t>(batches);
    for_each_parameter_set<Real, NoExtra>(sets, [&](SetRun<Real>& run, NoExtra&) {
        StateVector<Real>& state = run.state();
        RunOptions options;
        options.team = run.team;
        options.source = run.reset_source;
        run_circuit(state, circuit.instructions, run.batch_index, fusion, run.caches, options);
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

template AmplitudeBuffer<double> final_amplitudes<double>(const CircuitData&, int, int);
template AmplitudeBuffer<float> final_amplitudes<float>(const CircuitData&, int, int);

}  // namespace wavesim
