"""NaN and infinite gate parameters.

cal_states_cpp propagates them into NaN amplitudes (as a NumPy matrix product
would: 0 * NaN is NaN), in exactly the batches that use them; run_cpp refuses
to draw outcomes from such a state with a RuntimeError instead of returning
counts. The same with gate fusion on, whose products carry the NaN along.
"""

import math

import numpy as np
import pytest

import circuitcore as cc
import wavesim

NOT_FINITE = "Cannot sample measurement outcomes: the state's probabilities are not finite"
BAD = [math.nan, math.inf, -math.inf]
FUSIONS = [0, 2, 4, "auto"]


def gate(name, qubits, controls=(), values=None):
    param = None if values is None else cc.ParamBinding("", values)
    return cc.CircuitInstruction(name=name, qubits=list(qubits), controls=list(controls), param=param,
                                 has_param=values is not None)


def measure(q, bit):
    return cc.CircuitInstruction(name="MEASURE", qubits=[q], controls=[bit])


def reference_p(theta):
    """|0> then P(theta) then H on one qubit, by NumPy."""
    p = np.array([[1, 0], [0, np.exp(1j * theta)]])
    h = np.array([[1, 1], [1, -1]]) / math.sqrt(2)
    return h @ p @ np.array([1, 0], dtype=complex)


@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("name, values", [("RX", ["bad"]), ("U3", [0.0, "bad", 0.0]), ("U3", [0.0, 0.0, "bad"]),
                                          ("P", ["bad"]), ("CU", [0.0, 0.0, 0.0, "bad"])])
@pytest.mark.parametrize("use_float32", [False, True])
@pytest.mark.parametrize("fusion", FUSIONS)
def test_cal_states_propagates_nan(bad, name, values, use_float32, fusion):
    values = [bad if v == "bad" else v for v in values]
    controls = [1] if name == "CU" else []
    state = wavesim.cal_states_cpp(cc.CircuitData(2, [gate(name, [0], controls, values), gate("H", [0])]),
                                   use_float32, fusion=fusion)
    assert np.isnan(state).any()


@pytest.mark.parametrize("use_float32", [False, True])
@pytest.mark.parametrize("fusion", FUSIONS)
def test_nan_reaches_only_the_batches_that_use_it(use_float32, fusion):
    # With fusion, H and the P of each set make one product per set: none is shared.
    angles = [0.3, math.nan, 1.2]
    rows = wavesim.cal_states_cpp(cc.CircuitData(1, [gate("P", [0], values=angles), gate("H", [0])]), use_float32,
                                  fusion=fusion)
    assert rows.shape == (3, 2)
    for row, theta in zip(rows, angles):
        want = reference_p(theta)
        assert np.isnan(row).any() == np.isnan(want).any()
        if not math.isnan(theta):
            np.testing.assert_allclose(row, want, atol=1e-6)


@pytest.mark.parametrize("fusion", FUSIONS)
def test_reset_does_not_erase_nan(fusion):
    # P(NaN) makes only the |1> half of qubit 1 NaN; a reset of qubit 1 that
    # kept the |0> half would hand back a valid-looking state.
    data = cc.CircuitData(2, [gate("H", [0]), gate("P", [1], values=[math.nan]),
                              cc.CircuitInstruction(name="RESET", qubits=[1])])
    assert np.isnan(wavesim.cal_states_cpp(data, fusion=fusion)).any()


@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("use_float32", [False, True])
@pytest.mark.parametrize("circuit", [
    # sample once from the final state
    lambda bad: [gate("RY", [0], values=[bad]), measure(0, 0)],
    # NaN only in the half of the qubit that is not measured
    lambda bad: [gate("P", [1], values=[bad]), measure(0, 0), measure(1, 1)],
    # per-shot: the measurement that follows the NaN gate must refuse
    lambda bad: [gate("H", [0]), measure(0, 0), gate("RX", [1], values=[bad]), measure(1, 1)],
    # per-shot: NaN only in the |1> half of the measured qubit, which the collapse to 0 would erase
    lambda bad: [gate("P", [0], values=[bad]), measure(0, 0), gate("X", [1]), measure(1, 1)],
    # a reset between the NaN gate and the measurement keeps the NaN
    lambda bad: [gate("P", [0], values=[bad]), cc.CircuitInstruction(name="RESET", qubits=[0]), measure(0, 0)],
], ids=["sample-once", "other-half", "per-shot", "collapse-half", "after-reset"])
@pytest.mark.parametrize("fusion", FUSIONS)
def test_run_cpp_refuses_to_sample_nan(bad, use_float32, circuit, fusion):
    with pytest.raises(RuntimeError, match=NOT_FINITE):
        wavesim.run_cpp(cc.CircuitData(2, circuit(bad)), 100, 2, 7, use_float32, fusion=fusion)


def test_run_cpp_refuses_only_the_nan_batch():
    data = cc.CircuitData(1, [gate("RX", [0], values=[0.5, math.nan]), measure(0, 0)])
    with pytest.raises(RuntimeError, match=NOT_FINITE):
        wavesim.run_cpp(data, 100, 1, 3)
    finite = cc.CircuitData(1, [gate("RX", [0], values=[0.5, 2.0]), measure(0, 0)])
    assert [sum(c.values()) for c in wavesim.run_cpp(finite, 100, 1, 3)] == [100, 100]


def test_measurement_before_the_nan_gate_still_counts():
    # Nothing is drawn after the NaN gate, so the counts are sound.
    data = cc.CircuitData(1, [gate("H", [0]), measure(0, 0), gate("RX", [0], values=[math.nan])])
    counts = wavesim.run_cpp(data, 200, 1, 5)
    assert sum(counts.values()) == 200 and set(counts) <= {"0", "1"}
