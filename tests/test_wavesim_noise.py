"""Noise channels in wavesim: density_matrix_cpp and noisy expval_cpp against the NumPy
noise model (noise_model.py), and every refusal of a channel, raised before anything runs."""

import itertools

import numpy as np
import pytest

import circuitcore as cc
import wavesim

import noise_model as nm
import reference_model as ref
from wavesim_circuits import instruction, random_circuit

DOUBLE_TOL = 1e-12
FLOAT_TOL = 2e-5
OBSERVABLES = [[("ZZ", [0, 1], 0.5), ("X", [0], -1.0), ("", [], 0.3)], [("Y", [1], 1.0), ("XY", [0, 2], 2.0)],
               [("ZXY", [2, 0, 1], 0.7)]]


def circuit(n, instructions, **kwargs):
    return cc.CircuitData(n, instructions, **kwargs)


def measure(q, c=None):
    return instruction("MEASURE", [q], [] if c is None else [c])


def rows(result, batches):
    """A result as one row per parameter set."""
    return result if batches >= 2 else result[None]


def test_channels_count_their_values_as_gates_do():
    for name, k in nm.CHANNEL_PARAMS.items():
        assert wavesim.gate_param_count(name) == k
    data = circuit(2, [instruction("H", [0]), instruction("PAULI_CHANNEL_1", [0], values=[0.1, 0.0, 0.2] * 4)])
    assert wavesim.batch_count(data) == 4
    assert wavesim.param_columns(data) == [(1, "", 0), (1, "", 1), (1, "", 2)]


@pytest.mark.parametrize("n, seed", list(itertools.product([1, 2, 3, 4], range(4))))
@pytest.mark.parametrize("use_float32, fusion", [(False, 0), (True, 0), (False, 2), (True, 4)])
def test_density_matrices_follow_the_model_and_are_states(n, seed, use_float32, fusion):
    batches = 3
    data = nm.random_noisy_circuit(100 * n + seed, n, 40, batches)
    got = rows(wavesim.density_matrix_cpp(data, use_float32, fusion=fusion), wavesim.batch_count(data))
    assert got.dtype == (np.complex64 if use_float32 else np.complex128)
    tol = FLOAT_TOL if use_float32 else DOUBLE_TOL
    for b, rho in enumerate(got):
        np.testing.assert_allclose(rho, nm.density_matrix(data, b), rtol=0, atol=tol)
        assert abs(np.trace(rho) - 1) < tol
        np.testing.assert_allclose(rho, rho.conj().T, rtol=0, atol=tol)
        assert np.linalg.eigvalsh(rho.astype(complex)).min() > -tol
        if n >= 3:  # the observables' qubits
            want = [nm.expectation(nm.density_matrix(data, b), o) for o in OBSERVABLES]
            values = rows(wavesim.expval_cpp(data, OBSERVABLES, use_float32, fusion=fusion), len(got))[b]
            np.testing.assert_allclose(values, want, rtol=0, atol=10 * tol)


@pytest.mark.parametrize("seed", range(6))
def test_a_noiseless_circuit_gives_the_outer_product_of_its_state(seed):
    data = random_circuit(seed, 4, 40, batches=2)  # every gate, controls, open controls, dagger
    for psi, rho in zip(wavesim.cal_states_cpp(data), wavesim.density_matrix_cpp(data)):
        np.testing.assert_allclose(rho, np.outer(psi, psi.conj()), rtol=0, atol=DOUBLE_TOL)


def test_measure_dephases_whatever_its_bit_and_reset_resets():
    bell = [instruction("H", [0]), instruction("CX", [1], [0])]
    dephased = np.diag([0.5, 0, 0, 0.5])
    for ops in ([measure(0)], [measure(1, 7)], [measure(0), measure(0)]):
        np.testing.assert_allclose(wavesim.density_matrix_cpp(circuit(2, bell + ops)), dephased, atol=DOUBLE_TOL)
    np.testing.assert_allclose(wavesim.density_matrix_cpp(circuit(2, bell + [instruction("RESET", [0])])),
                               np.diag([0.5, 0, 0.5, 0]), atol=DOUBLE_TOL)
    # A noiseless circuit with a MEASURE keeps the old rule in expval_cpp (MEASURE has no effect there).
    plus = [instruction("H", [0]), measure(0)]
    assert wavesim.expval_cpp(circuit(1, plus), [[("X", [0], 1.0)]])[0] == pytest.approx(1.0)
    noisy = plus + [instruction("X_ERROR", [0], values=[0.0])]
    assert wavesim.expval_cpp(circuit(1, noisy), [[("X", [0], 1.0)]])[0] == pytest.approx(0.0, abs=DOUBLE_TOL)


# (instruction, message after "instruction 1 (NAME)") on 3 qubits
BAD_CHANNELS = [
    (instruction("X_ERROR", [0], values=[1.5]), ": the probability 1.5 is outside [0, 1]"),
    (instruction("DEPOLARIZE1", [0], values=[-0.1]), ": the probability -0.1 is outside [0, 1]"),
    (instruction("Z_ERROR", [0], values=[float("nan")]), ": the value nan is not finite"),
    (instruction("AMPLITUDE_DAMPING", [0], values=[float("inf")]), ": the value inf is not finite"),
    (instruction("PAULI_CHANNEL_1", [0], values=[0.5, 0.4, 0.3]), ": its probabilities sum to 1.2, above 1"),
    (instruction("PAULI_CHANNEL_2", [0, 1], values=[0.1] * 15), ": its probabilities sum to 1.5, above 1"),
    (instruction("PAULI_CHANNEL_1", [0], values=[0.1, 0.2]), " has 2 values, fewer than the 3 a set of it takes"),
    (instruction("Y_ERROR", [0]), " has 0 values, fewer than the 1 a set of it takes"),
    (instruction("DEPOLARIZE1", [0], [1], values=[0.1]), ": a noise channel takes no controls"),
    (instruction("PHASE_DAMPING", [0], values=[0.1], dagger=True), ": a noise channel takes no dagger"),
    (instruction("DEPOLARIZE2", [0], values=[0.1]), " acts on 2 qubits, not 1"),
    (instruction("X_ERROR", [0, 1], values=[0.1]), " acts on 1 qubits, not 2"),
    (instruction("DEPOLARIZE2", [1, 1], values=[0.1]), " names qubit 1 twice"),
    (instruction("DEPOLARIZE1", [3], values=[0.1]), " addresses qubit 3, outside a state of 3 qubits"),
    (instruction("X_ERROR", [-1], values=[0.1]), " addresses qubit -1, outside a state of 3 qubits"),
    (instruction("KRAUS", [0, 1, 2], matrix=np.eye(8).flatten()), " acts on 1 or 2 qubits, not 3"),
    (instruction("KRAUS", [0], matrix=[1, 0, 0]), ": 3 matrix entries are not whole 2x2 blocks (its Kraus operators "
                                                  "one after another)"),
    (instruction("KRAUS", [0, 1], matrix=np.eye(2).flatten()), ": 4 matrix entries are not whole 4x4 blocks (its "
                                                               "Kraus operators one after another)"),
    (instruction("KRAUS", [0], matrix=[1, 0, 0, 0.9]), ": its Kraus operators are not complete (sum K^dagger K "
                                                       "differs from the identity by 0.19, more than 1e-09)"),
    (instruction("KRAUS", [0], matrix=[1, 0, 0, float("nan")]), ": an entry of its matrix is not finite"),
]


@pytest.mark.parametrize("bad, message", BAD_CHANNELS)
def test_bad_channels_are_refused_before_anything_runs(bad, message):
    want = f"instruction 1 ({bad.name})" + message
    # 30 qubits: a call that got as far as making rho would fail for memory instead.
    for n in (3,) if "outside" in message else (3, 30):
        data = circuit(n, [instruction("H", [0]), bad, measure(0)])
        for call in (lambda: wavesim.density_matrix_cpp(data), lambda: wavesim.expval_cpp(data, [[("Z", [0], 1.0)]])):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == want


def test_a_fault_in_any_parameter_set_is_refused():
    data = circuit(2, [instruction("RY", [0], values=[0.1, 0.2, 0.3]),
                       instruction("X_ERROR", [0], values=[0.1, 0.2, 1.2])])
    with pytest.raises(ValueError, match=r"^instruction 1 \(X_ERROR\), parameter set 2: the probability 1.2 is "):
        wavesim.density_matrix_cpp(data)


@pytest.mark.parametrize("channel", [instruction("X_ERROR", [0], values=[0.0]),
                                     nm.kraus_instruction([0], [np.eye(2)])])
def test_pure_state_entries_refuse_channels(channel):
    data = circuit(2, [instruction("H", [0]), channel])
    name = channel.name
    with pytest.raises(ValueError) as info:
        wavesim.cal_states_cpp(data)
    assert str(info.value) == (f"cal_states_cpp: instruction 1 ({name}) is a noise channel: a pure state cannot hold "
                               "a mixture; density_matrix_cpp, expval_cpp, expval_trajectories_cpp and run_cpp take "
                               "noisy circuits")
    with pytest.raises(ValueError) as info:
        wavesim.expval_grad_cpp(data, [("Z", [0], 1.0)])
    assert str(info.value) == (f"expval_grad_cpp: instruction 1 ({name}) is a noise channel: gradients are computed "
                               "for noiseless circuits only")


@pytest.mark.parametrize("n, error, message", [
    (31, RuntimeError, "Failed to allocate memory for StateVector"),
    (40, RuntimeError, "Failed to allocate memory for StateVector"),
    (-1, RuntimeError, "StateVector: num_qubits out of supported range"),
])
def test_density_matrices_no_state_can_hold_are_refused_first(n, error, message):
    with pytest.raises(error, match=message):
        wavesim.density_matrix_cpp(circuit(n, [instruction("H", [0])]))
