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


# ---------------------------------------------------------------- noisy shots

def with_terminal_measures(data, num_cbits):
    rng = np.random.default_rng(data.num_qubits)
    n = data.num_qubits
    ops = list(data.instructions) + [measure(int(q), int(c)) for q, c in zip(rng.permutation(n), range(num_cbits))]
    return circuit(n, ops)


@pytest.mark.parametrize("p", [0.0, 0.3, 1.0])
@pytest.mark.parametrize("use_float32, fusion", [(False, 0), (True, 2)])
def test_a_bell_pair_under_depolarize2_has_its_closed_form(p, use_float32, fusion):
    ops = [instruction("H", [0]), instruction("CX", [1], [0]), instruction("DEPOLARIZE2", [0, 1], values=[p]),
           measure(0), measure(1)]
    counts = wavesim.run_cpp(circuit(2, ops), 20000, 2, 5, use_float32, fusion=fusion)
    want = {"00": 0.5 - 4 * p / 15, "01": 4 * p / 15, "10": 4 * p / 15, "11": 0.5 - 4 * p / 15}
    assert nm.fit_p_value(counts, {k: v for k, v in want.items() if v > 0}) > nm.REJECT_BELOW


CASES = list(itertools.product([1, 2, 3, 4], range(5)))


@pytest.mark.parametrize("n, seed", CASES)
def test_noisy_counts_follow_the_exact_distribution(n, seed):
    # Mid-circuit measurements (some outside the register), resets, every channel, readout error; 30 checks at a
    # false-alarm rate of 1e-4 each.
    data = with_terminal_measures(nm.random_noisy_circuit(10 * n + seed, n, 30, 2), n)
    use_float32, fusion = bool(seed % 2), [0, 2, 3][seed % 3]
    readout = [None, (0.05, 0.2), [(0.1 * q, 0.02) for q in range(n)]][seed % 3]
    counts = wavesim.run_cpp(data, 6000, n, seed, use_float32, fusion=fusion, readout_error=readout)
    batches = wavesim.batch_count(data)
    for b, got in enumerate(counts if batches >= 2 else [counts]):
        assert sum(got.values()) == 6000
        assert nm.fit_p_value(got, nm.key_distribution(data, n, b, readout_error=readout)) > nm.REJECT_BELOW


def test_channels_of_strength_zero_give_the_noiseless_counts():
    base = with_terminal_measures(random_circuit(3, 3, 30, batches=2), 3)
    ops = list(base.instructions)
    mid = [ops[5], measure(1, 0), instruction("RESET", [2])] + ops[6:]
    for body in (ops, ops[:5] + mid):
        zero = []
        for ins in body:
            zero.append(ins)
            zero.append(instruction("AMPLITUDE_DAMPING", [0], values=[0.0, 0.0]))
            zero.append(instruction("PAULI_CHANNEL_2", [1, 2], values=[0.0] * 15))
        assert wavesim.run_cpp(circuit(3, zero), 500, 3, seed=9) == wavesim.run_cpp(circuit(3, body), 500, 3, seed=9)


def test_counts_are_reproducible_and_sets_draw_apart():
    data = with_terminal_measures(nm.random_noisy_circuit(4, 3, 30, 1), 3)
    assert wavesim.run_cpp(data, 3000, 3, seed=1) == wavesim.run_cpp(data, 3000, 3, seed=1)
    assert wavesim.run_cpp(data, 3000, 3, seed=1) != wavesim.run_cpp(data, 3000, 3, seed=2)
    twice = circuit(2, [instruction("H", [0]), instruction("X_ERROR", [0], values=[0.3, 0.3]), measure(0)])
    first, second = wavesim.run_cpp(twice, 3000, 1, seed=4)
    assert first != second  # the same set twice: independent counts
    assert wavesim.run_cpp(twice, 0, 1, seed=4) == [{}, {}]


def test_readout_error_changes_the_record_and_never_the_state():
    # Bit 0 is read wrongly half the time; the CX that follows acts on the true outcome.
    ops = [instruction("X", [0]), measure(0), instruction("CX", [1], [0]), measure(1)]
    counts = wavesim.run_cpp(circuit(2, ops), 20000, 2, 3, readout_error=[(0.0, 0.5), (0.0, 0.0)])
    assert set(counts) == {"10", "11"} and abs(counts["10"] - 10000) < 400
    assert wavesim.run_cpp(circuit(2, ops), 100, 2, 3, readout_error=(0, 0)) == {"11": 100}


@pytest.mark.parametrize("readout, message", [
    ((0.1, 1.5), "readout_error: pair 0 holds 1.5, not a probability in [0, 1]"),
    ([(0.1, 0.1), (0.1, float("nan"))], "readout_error: pair 1 holds nan, not a probability in [0, 1]"),
    ([(0.1, 0.1)] * 3, "readout_error: 3 pairs for 2 classical bits (give one pair for every bit, or one pair per "
                       "bit)"),
    ("0.1", "readout_error must be None, a pair (p(1|0), p(0|1)) or a sequence of such pairs"),
    ([0.1, 0.2, 0.3], "readout_error must be None, a pair (p(1|0), p(0|1)) or a sequence of such pairs"),
    (0.1, "readout_error must be None, a pair (p(1|0), p(0|1)) or a sequence of such pairs"),
])
def test_bad_readout_errors_are_refused(readout, message):
    with pytest.raises(ValueError) as info:
        wavesim.run_cpp(circuit(2, [measure(0)]), 10, 2, readout_error=readout)
    assert str(info.value) == message


@pytest.mark.parametrize("bad, message", BAD_CHANNELS)
def test_noisy_entries_refuse_bad_channels_before_anything_runs(bad, message):
    want = f"instruction 1 ({bad.name})" + message
    n = 3 if "outside" in message else 40  # a call that ran would fail for memory instead
    data = circuit(n, [instruction("H", [0]), bad, measure(0)])
    for call in (lambda: wavesim.run_cpp(data, 10, 1, 1), lambda: wavesim.expval_trajectories_cpp(data, [], 10)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == want


# ---------------------------------------------------------------- trajectory expectation values

@pytest.mark.parametrize("seed", range(50))
def test_trajectory_means_are_within_four_standard_errors(seed):
    n = 1 + seed % 4
    data = nm.random_noisy_circuit(500 + seed, n, 30, 2)
    observables = [[("Z" * n, list(range(n)), 1.0), ("X", [0], 0.5)], [("Y", [n - 1], 1.0), ("", [], 2.0)]]
    means, errors = wavesim.expval_trajectories_cpp(data, observables, 1500, seed, bool(seed % 2),
                                                    fusion=[0, 2][seed % 2])
    for b, (mean, error) in enumerate(zip(rows(means, wavesim.batch_count(data)),
                                          rows(errors, wavesim.batch_count(data)))):
        exact = [nm.expectation(nm.density_matrix(data, b), o) for o in observables]
        assert np.all(np.abs(mean - exact) <= 4 * error + 1e-5), (mean, exact, error)


def test_standard_errors_match_the_spread_of_seeds():
    data = nm.random_noisy_circuit(7, 3, 30)
    observables = [[("ZZ", [0, 1], 1.0), ("X", [2], 1.0)]]
    runs = [wavesim.expval_trajectories_cpp(data, observables, 400, seed) for seed in range(300)]
    means, errors = np.array([r[0] for r in runs]), np.array([r[1] for r in runs])
    assert means.std() > 0
    assert abs(errors.mean() / means.std() - 1) < 0.2


@pytest.mark.parametrize("seed", range(4))
def test_a_noiseless_circuit_gives_expval_cpp_with_no_error(seed):
    data = random_circuit(seed, 4, 40, batches=2)
    means, errors = wavesim.expval_trajectories_cpp(data, OBSERVABLES, 50, seed)
    assert np.array_equal(means, wavesim.expval_cpp(data, OBSERVABLES)) and not errors.any()


def test_sets_share_their_trajectories():
    # Two equal sets and a third with another angle: Pauli noise of equal strength draws the same branches in
    # every set, so the equal sets agree bit for bit and the third differs only through its angle.
    ops = [instruction("RY", [0], values=[0.4, 0.4, 1.3]), instruction("DEPOLARIZE1", [0], values=[0.2]),
           instruction("CX", [1], [0]), instruction("DEPOLARIZE2", [0, 1], values=[0.1])]
    means, errors = wavesim.expval_trajectories_cpp(circuit(2, ops), [[("Z", [1], 1.0)]], 2000, 3)
    assert means[0] == means[1] and errors[0] == errors[1] and means[0] != means[2]
    assert wavesim.expval_trajectories_cpp(circuit(2, ops), [[("Z", [1], 1.0)]], 2000, 3)[0].tolist() == \
        means.tolist()


def test_trajectory_counts_and_one_trajectory():
    data = circuit(1, [instruction("H", [0]), instruction("AMPLITUDE_DAMPING", [0], values=[0.5])])
    mean, error = wavesim.expval_trajectories_cpp(data, [[("Z", [0], 1.0)]], 1, 1)
    assert mean.shape == (1,) and np.isnan(error[0])
    assert mean[0] == pytest.approx(1.0) or mean[0] == pytest.approx(1 / 3)  # damped, or decayed to |0>
    for bad in (0, -5):
        with pytest.raises(ValueError, match=f"^trajectories must be at least 1, not {bad}$"):
            wavesim.expval_trajectories_cpp(data, [[("Z", [0], 1.0)]], bad)
