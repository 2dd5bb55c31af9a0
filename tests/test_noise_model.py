"""The NumPy noise model against closed forms, and the invariants of its density matrices."""

import itertools
import math

import numpy as np
import pytest

import circuitcore as cc
import noise_model as nm
import reference_model as ref
from wavesim_circuits import instruction, random_circuit


def measure(q, c=None):
    return instruction("MEASURE", [q], [] if c is None else [c])


def assert_distribution(got, want):
    keys = sorted(got.keys() | want.keys())
    assert [got.get(key, 0.0) for key in keys] == pytest.approx([want.get(key, 0.0) for key in keys], abs=1e-12)
    assert all(p > 0 for p in got.values())


H0, CX01 = instruction("H", [0]), instruction("CX", [1], [0])


@pytest.mark.parametrize("p", [0.0, 0.3, 0.75, 1.0])
def test_bell_pair_under_depolarize2(p):
    # Of the 15 products, the 8 with X or Y on exactly one qubit make the two bits differ:
    # P(00) = P(11) = 1/2 - 4p/15, P(01) = P(10) = 4p/15.
    ops = [H0, CX01, instruction("DEPOLARIZE2", [0, 1], values=[p]), measure(0), measure(1)]
    got = nm.key_distribution(cc.CircuitData(2, ops), 2)
    assert_distribution(got, {"00": 0.5 - 4 * p / 15, "01": 4 * p / 15, "10": 4 * p / 15, "11": 0.5 - 4 * p / 15})


STRENGTHS = [0.0, 0.35, 1.0]


@pytest.mark.parametrize("name, prepare, want", [
    ("AMPLITUDE_DAMPING", "X", lambda s: np.diag([s, 1 - s])),
    ("AMPLITUDE_DAMPING", "H", lambda s: np.array([[1 + s, math.sqrt(1 - s)], [math.sqrt(1 - s), 1 - s]]) / 2),
    ("PHASE_DAMPING", "X", lambda s: np.diag([0, 1])),
    ("PHASE_DAMPING", "H", lambda s: np.array([[1, math.sqrt(1 - s)], [math.sqrt(1 - s), 1]]) / 2),
])
@pytest.mark.parametrize("batch", range(len(STRENGTHS)))
def test_damping(name, prepare, want, batch):
    ops = [instruction(prepare, [0]), instruction(name, [0], values=STRENGTHS)]
    np.testing.assert_allclose(nm.density_matrix(cc.CircuitData(1, ops), batch), want(STRENGTHS[batch]), atol=1e-12)


def test_kraus_on_one_qubit_reads_column_major_blocks():
    gamma = 0.3
    operators = [np.array([[1, 0], [0, math.sqrt(1 - gamma)]]), np.array([[0, math.sqrt(gamma)], [0, 0]])]
    ops = [instruction("X", [0]), nm.kraus_instruction([0], operators)]
    np.testing.assert_allclose(nm.density_matrix(cc.CircuitData(1, ops)), np.diag([gamma, 1 - gamma]), atol=1e-12)


@pytest.mark.parametrize("r", range(4))
def test_kraus_on_two_qubits_has_qubits0_as_the_low_bit(r):
    # one operator, local index k -> k + 1 mod 4 (not symmetric: a transposed block counts down)
    step = np.roll(np.eye(4), 1, axis=0)
    ops = [nm.kraus_instruction([2, 0], [step])] * r + [measure(q) for q in range(3)]
    assert nm.key_distribution(cc.CircuitData(3, ops), 3) == {f"{r & 1}0{r >> 1}": pytest.approx(1.0)}


@pytest.mark.parametrize("name, values, pxyz", [
    ("X_ERROR", [0.2], (0.2, 0, 0)), ("Y_ERROR", [0.2], (0, 0.2, 0)), ("Z_ERROR", [0.7], (0, 0, 0.7)),
    ("DEPOLARIZE1", [0.3], (0.1, 0.1, 0.1)), ("DEPOLARIZE1", [1.0], (1 / 3, 1 / 3, 1 / 3)),
    ("PAULI_CHANNEL_1", [0.1, 0.2, 0.3], (0.1, 0.2, 0.3)),
])
def test_one_qubit_pauli_channels_shrink_the_bloch_vector(name, values, pxyz):
    # A Pauli channel scales r_a by 1 - 2(sum of the other two probabilities): DEPOLARIZE1 by 1 - 4p/3.
    theta, phi = 1.1, 0.4
    ops = [instruction("U3", [1], values=[theta, phi, 0.0]), instruction(name, [1], values=values)]
    rho = nm.density_matrix(cc.CircuitData(2, ops))
    px, py, pz = pxyz
    bloch = np.array([math.sin(theta) * math.cos(phi), math.sin(theta) * math.sin(phi), math.cos(theta)])
    want = bloch * [1 - 2 * (py + pz), 1 - 2 * (px + pz), 1 - 2 * (px + py)]
    got = [nm.expectation(rho, [(letter, [1], 1.0)]) for letter in "XYZ"]
    np.testing.assert_allclose(got, want, atol=1e-12)


@pytest.mark.parametrize("basis, flips", [("Z", "XY"), ("X", "YZ")])
def test_pauli_channel_2_order(basis, flips):
    # Measured in the Z basis a letter flips its bit when it is X or Y, in the X basis when Y or Z;
    # the first letter acts on qubits[0] = qubit 2, the second on qubits[1] = qubit 0.
    probabilities = list(np.arange(1, 16) / 150)
    turn = [instruction("H", [q]) for q in (0, 2)] if basis == "X" else []
    ops = turn + [instruction("PAULI_CHANNEL_2", [2, 0], values=probabilities)] + turn
    got = nm.key_distribution(cc.CircuitData(3, ops + [measure(q) for q in range(3)]), 3)
    want = {"000": 1 - sum(probabilities)}
    for letters, p in zip("IX IY IZ XI XX XY XZ YI YX YY YZ ZI ZX ZY ZZ".split(), probabilities):
        key = f"{int(letters[0] in flips)}0{int(letters[1] in flips)}"
        want[key] = want.get(key, 0) + p
    assert_distribution(got, want)


X0, X1 = instruction("X", [0]), instruction("X", [1])


@pytest.mark.parametrize("ops, num_cbits, readout, want", [
    ([X0, measure(0)], 1, (0.1, 0.25), {"0": 0.25, "1": 0.75}),
    ([measure(0)], 1, (0.1, 0.25), {"0": 0.9, "1": 0.1}),
    ([measure(0)], 1, (1e-9, 0.0), {"0": 1 - 1e-9, "1": 1e-9}),  # an unlikely key is still there
    ([X1, measure(0), measure(1)], 2, [(0.1, 0.2), (0.3, 0.4)],
     {"00": 0.4 * 0.9, "01": 0.4 * 0.1, "10": 0.6 * 0.9, "11": 0.6 * 0.1}),
    ([X0, measure(0)], 2, (0.5, 0.5), {"00": 0.5, "01": 0.5}),  # a bit never measured stays 0
    ([X0, measure(0), measure(0)], 1, (0.0, 0.3), {"0": 0.3, "1": 0.7}),  # the last record counts
    ([H0, measure(0), CX01, measure(1)], 2, [(0.2, 0.2), (0, 0)],  # the state follows the true outcome
     {"00": 0.4, "01": 0.1, "10": 0.1, "11": 0.4}),
    ([H0, measure(0, 0), H0, measure(0, 1)], 2, None, {"00": 0.25, "01": 0.25, "10": 0.25, "11": 0.25}),
    ([H0, measure(0, 5), H0, measure(0, 0)], 1, None, {"0": 1.0}),  # outside the register: no collapse
    ([H0, CX01, instruction("RESET", [0]), measure(0), measure(1)], 2, None, {"00": 0.5, "10": 0.5}),
])
def test_small_circuit_distributions(ops, num_cbits, readout, want):
    assert_distribution(nm.key_distribution(cc.CircuitData(2, ops), num_cbits, readout_error=readout), want)


@pytest.mark.parametrize("ins, want", [
    # fully depolarising: every rho goes to I/2, S = vec(I) vec(I)^T / 2
    (instruction("DEPOLARIZE1", [0], values=[0.75]), np.outer([1, 0, 0, 1], [1, 0, 0, 1]) / 2),
    # fully damping: every rho goes to |0><0|, S = vec(|0><0|) vec(I)^T
    (instruction("AMPLITUDE_DAMPING", [0], values=[1.0]), np.outer([1, 0, 0, 0], [1, 0, 0, 1])),
])
def test_superoperator_closed_forms(ins, want):
    np.testing.assert_allclose(nm.superoperator(nm.kraus_operators(ins)), want, atol=1e-12)


BATCHES = 3


def test_every_channel_kraus_set_is_complete():
    seen = set()
    for seed in range(12):
        for ins in nm.random_noisy_circuit(seed, 3, 40, BATCHES).instructions:
            if ins.name in nm.NON_UNITARY:
                seen.add(ins.name)
                for b in range(BATCHES):
                    assert nm.completeness_error(nm.kraus_operators(ins, b)) < 1e-12, ins
    assert seen == nm.NON_UNITARY


@pytest.mark.parametrize("n, seed", list(itertools.product([1, 2, 4], range(3))))
def test_random_noisy_density_matrices_are_states(n, seed):
    data = nm.random_noisy_circuit(seed, n, 30, BATCHES)
    for b in range(BATCHES):
        rho = nm.density_matrix(data, b)
        assert np.trace(rho) == pytest.approx(1.0, abs=1e-12)
        np.testing.assert_allclose(rho, rho.conj().T, atol=1e-13)
        assert np.linalg.eigvalsh(rho).min() > -1e-12
        dist = nm.key_distribution(data, n, b, readout_error=(0.05, 0.1))
        assert sum(dist.values()) == pytest.approx(1.0, abs=1e-12)


@pytest.mark.parametrize("n", [1, 3, 5])
def test_without_channels_the_distribution_is_the_state_vector_marginal(n):
    rng = np.random.default_rng(n)
    data = random_circuit(70 + n, n, 25, batches=2)
    pairs = [(int(q), int(c)) for q, c in zip(rng.permutation(n), rng.permutation(n + 1))]
    data.instructions = list(data.instructions) + [measure(q, c) for q, c in pairs]
    for b in range(2):
        psi = ref.simulate(data, b)
        np.testing.assert_allclose(nm.density_matrix(cc.CircuitData(n, data.instructions[:-n]), b),
                                   np.outer(psi, psi.conj()), atol=1e-12)
        want = {}
        for index, p in enumerate(ref.probabilities(psi)):
            register = [0] * n
            for q, c in pairs:
                if c < n:
                    register[c] = (index >> q) & 1
            want[ref.key(register)] = want.get(ref.key(register), 0) + p
        assert_distribution(nm.key_distribution(data, n, b), want)


@pytest.mark.parametrize("counts, dist, want", [
    ({"0": 60, "1": 40}, {"0": 0.5, "1": 0.5}, math.erfc(math.sqrt(2))),  # chi-square 4, one degree of freedom
    # the two cells expecting one shot each are pooled with the 48 of "01": again 4 on one degree
    ({"00": 60, "01": 38, "10": 1, "11": 1}, {"00": 0.5, "01": 0.48, "10": 0.01, "11": 0.01}, math.erfc(math.sqrt(2))),
    ({"0": 50, "1": 50}, {"0": 0.5, "1": 0.5}, 1.0),
    ({"0": 99, "1": 1}, {"0": 1.0}, 0.0),  # a count on an impossible key
])
def test_fit_p_value(counts, dist, want):
    assert nm.fit_p_value(counts, dist) == pytest.approx(want, rel=1e-9)
