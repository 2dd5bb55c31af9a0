"""The fusion option of cal_states_cpp and run_cpp: fused results (2 to 4, and "auto",
which also reorders gates on other qubits) against the default path (which applies
every gate as it is) within the accuracy bounds, fusion=0 as the default bit for bit,
batch rows as single runs and one thread as two bit for bit, shots, and refused
settings."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import circuitcore as cc
import wavesim

import reference_model as ref
from pauli_reference import expectation
from wavesim_circuits import instruction, random_circuit

FUSIONS = [2, 3, 4, "auto"]
SEED_OF = {fusion: k + 2 for k, fusion in enumerate(FUSIONS)}  # a seed per setting
PER_GATE_BOUND = 1e-13  # absolute, per amplitude and gate, on a normalised state
NORM_BOUND = 1e-12
FLOAT_FACTOR = 2.0


def with_measures(data, seed):
    """The circuit with a MEASURE (no effect on the state, but the end of a stretch)
    after about one instruction in eight."""
    rng = np.random.default_rng(seed)
    out = []
    for ins in data.instructions:
        out.append(ins)
        if rng.random() < 0.125:
            q = int(rng.integers(data.num_qubits))
            out.append(instruction("MEASURE", [q], [q]))
    return cc.CircuitData(data.num_qubits, out)


def gate_count(data):
    return sum(ins.name != "MEASURE" for ins in data.instructions)


def distance(a, b):
    return float(np.linalg.norm(a.astype(np.complex128) - b.astype(np.complex128)))


@pytest.mark.parametrize("fusion", FUSIONS)
@pytest.mark.parametrize("n, batches", [(1, 1), (3, 2), (6, 1), (9, 3), (15, 1), (21, 1)])
def test_fused_states_within_the_bounds_of_the_per_gate_path(n, batches, fusion):
    # From 21 qubits on "auto" also moves gates between windows.
    for seed in range(3):
        data = with_measures(random_circuit(100 * n + seed, n, 80 if n < 15 else 30, batches=batches), seed)
        exact = wavesim.cal_states_cpp(data)
        got = wavesim.cal_states_cpp(data, fusion=fusion)
        assert got.shape == exact.shape and got.dtype == exact.dtype
        assert np.abs(got - exact).max() <= PER_GATE_BOUND * gate_count(data)
        np.testing.assert_allclose(np.linalg.norm(got, axis=-1), np.linalg.norm(exact, axis=-1), atol=NORM_BOUND)
        plain_float = wavesim.cal_states_cpp(data, True)
        fused_float = wavesim.cal_states_cpp(data, True, fusion=fusion)
        assert fused_float.dtype == np.complex64
        assert distance(fused_float, exact) <= FLOAT_FACTOR * distance(plain_float, exact)


def test_fused_states_match_the_reference_model():
    # The NumPy model is independent of both paths of the simulator.
    for fusion in FUSIONS:
        data = random_circuit(7, 7, 60)
        np.testing.assert_allclose(wavesim.cal_states_cpp(data, fusion=fusion), ref.simulate(data), atol=1e-11)


@pytest.mark.parametrize("use_float32", [False, True])
def test_fusion_zero_is_the_default_path(use_float32):
    data = with_measures(random_circuit(3, 8, 60, batches=2), 3)
    bits = np.uint32 if use_float32 else np.uint64
    default = wavesim.cal_states_cpp(data, use_float32).view(bits)
    assert np.array_equal(wavesim.cal_states_cpp(data, use_float32, fusion=0).view(bits), default)
    counted = cc.CircuitData(4, random_circuit(4, 4, 30).instructions +
                             [instruction("MEASURE", [q], [q]) for q in range(4)])
    assert wavesim.run_cpp(counted, 500, 4, 9, use_float32, fusion=0) == wavesim.run_cpp(counted, 500, 4, 9,
                                                                                          use_float32)


@pytest.mark.parametrize("fusion", FUSIONS)
@pytest.mark.parametrize("use_float32", [False, True])
def test_batch_rows_equal_single_runs_bit_for_bit(fusion, use_float32):
    # Products without a per-set value are shared by the sets of a batch: the rows must
    # still be what each set gives alone, with products of its own.
    n, batches = 6, 5
    data = with_measures(random_circuit(40 + SEED_OF[fusion], n, 50, batches=batches), SEED_OF[fusion])
    rows = wavesim.cal_states_cpp(data, use_float32, fusion=fusion)
    bits = np.uint32 if use_float32 else np.uint64
    for b in range(batches):
        single = []
        for ins in data.instructions:
            ins = ins.__copy__()
            if ins.name != "MEASURE":
                ins.param = cc.ParamBinding("", ref.values_for_batch(ins.param.value, ins.name, b))
            single.append(ins)
        alone = wavesim.cal_states_cpp(cc.CircuitData(n, single), use_float32, fusion=fusion)
        assert np.array_equal(rows[b].view(bits), alone.view(bits))


ONE_THREAD_SCRIPT = """
import pickle, sys
import circuitcore, wavesim
data, fusions = pickle.loads(sys.stdin.buffer.read())
sys.stdout.buffer.write(pickle.dumps([wavesim.cal_states_cpp(data, f32, fusion=f) for f, f32 in fusions]))
"""


def test_one_thread_gives_the_bits_of_two():
    # Above 14 qubits kernels and windows split the state over every hardware thread;
    # a process limited to one OpenMP thread must give the same bits. ("auto" is left
    # out: it fuses by kernel costs each process measures for itself, so another
    # process may choose otherwise; wavesim/plan/fusion.test.cc holds it to the bits of
    # its plan's steps applied one by one whatever the windows.)
    data = with_measures(random_circuit(11, 16, 120), 11)
    fusions = [(f, f32) for f in FUSIONS if f != "auto" for f32 in (False, True)]
    env = dict(os.environ, OMP_THREAD_LIMIT="1")
    child = subprocess.run([sys.executable, "-c", ONE_THREAD_SCRIPT], input=pickle.dumps((data, fusions)),
                           capture_output=True, env=env, check=True)
    for (f, f32), alone in zip(fusions, pickle.loads(child.stdout)):
        here = wavesim.cal_states_cpp(data, f32, fusion=f)
        assert here.tobytes() == alone.tobytes(), (f, f32)


@pytest.mark.parametrize("fusion", FUSIONS)
def test_shots_with_fusion(fusion):
    # Terminal measurements (one simulation) and a gate after a measurement and a RESET
    # (an outcome tree): the same seed gives the counts of the default path, whose
    # probabilities differ from the fused ones only in the last bits.
    n = 5
    gates = random_circuit(SEED_OF[fusion], n, 40).instructions
    measure_all = [instruction("MEASURE", [q], [q]) for q in range(n)]
    terminal = cc.CircuitData(n, gates + measure_all)
    dynamic = cc.CircuitData(n, gates[:20] + [instruction("MEASURE", [1], [5]), instruction("RESET", [2])] +
                             gates[20:] + measure_all)
    for data, bits in [(terminal, n), (dynamic, n + 1)]:
        for use_float32 in (False, True):
            want = wavesim.run_cpp(data, 2000, bits, 5, use_float32)
            assert wavesim.run_cpp(data, 2000, bits, 5, use_float32, fusion=fusion) == want


@pytest.mark.parametrize("fusion", FUSIONS)
@pytest.mark.parametrize("batches", [1, 3])
def test_expectation_entries_read_the_fused_states(fusion, batches):
    # expval_cpp reads the state cal_states_cpp makes with the same setting; the gradient
    # fuses its forward run only, so its values are expval_cpp's and its derivatives stay
    # within rounding of the unfused ones.
    n = 6
    rng = np.random.default_rng(SEED_OF[fusion] * 10 + batches)
    data = random_circuit(700 + SEED_OF[fusion], n, 60, batches=batches)
    observable = [("".join(rng.choice(list("IXYZ"), n)), list(range(n)), float(rng.normal())) for _ in range(4)]
    values = wavesim.expval_cpp(data, [observable], fusion=fusion).reshape(-1)
    rows = wavesim.cal_states_cpp(data, fusion=fusion).reshape(-1, 1 << n)
    np.testing.assert_allclose(values, [expectation(row, observable) for row in rows], atol=1e-12, rtol=0)
    plain_values, plain_grads = wavesim.expval_grad_cpp(data, observable)
    fused_values, fused_grads = wavesim.expval_grad_cpp(data, observable, fusion=fusion)
    np.testing.assert_allclose(fused_values.reshape(-1), values, atol=1e-12, rtol=0)
    np.testing.assert_allclose(fused_grads, plain_grads, atol=PER_GATE_BOUND * gate_count(data) * 10, rtol=0)


SETTINGS = "fusion must be 0 (off), the most qubits a fused gate may act on (2 to 4) or 'auto'; got "


@pytest.mark.parametrize("value, error, shown", [(1, ValueError, "1"), (5, ValueError, "5"), (-1, ValueError, "-1"),
                                                 (64, ValueError, "64"), ("fast", ValueError, "'fast'"),
                                                 ("AUTO", ValueError, "'AUTO'"), ("3", ValueError, "'3'"),
                                                 (2.0, TypeError, "an object of type float"),
                                                 (None, TypeError, "an object of type NoneType"),
                                                 (2**31, TypeError, "an object of type int")])
def test_settings_outside_the_range_are_refused(value, error, shown):
    data = cc.CircuitData(2, [instruction("H", [0]), instruction("MEASURE", [0], [0])])
    observable = [("Z", [0], 1.0)]
    calls = [lambda **k: wavesim.cal_states_cpp(data, **k), lambda **k: wavesim.run_cpp(data, 10, 1, **k),
             lambda **k: wavesim.expval_cpp(data, [observable], **k),
             lambda **k: wavesim.expval_grad_cpp(data, observable, **k),
             lambda **k: wavesim.density_matrix_cpp(data, **k),
             lambda **k: wavesim.expval_trajectories_cpp(data, [observable], 4, 1, **k)]
    for call in calls:  # every entry that simulates reads the setting the same way
        with pytest.raises(error) as caught:
            call(fusion=value)
        assert str(caught.value) == SETTINGS + shown
    # Keyword-only: a fourth positional argument is not taken for it.
    with pytest.raises(TypeError):
        wavesim.cal_states_cpp(data, False, 2)
