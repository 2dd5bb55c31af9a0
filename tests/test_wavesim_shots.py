"""run_cpp against an independent model of its random stream, edge cases and errors."""

import numpy as np
import pytest

import circuitcore as cc
import wavesim

import noise_model
import reference_model as ref
from reference_model import classical_bit, counted
from wavesim_circuits import instruction, random_circuit, random_instruction

PASSIVE = {"MEASURE", "BARRIER", "QIF", "QWHILE"}
NO_MEASURE = ("Circuit does not contain any MEASURE gate. "
              "Measurement requires explicit MEASURE gates in the circuit.")


def circuit(n, instructions, **kwargs):
    return cc.CircuitData(n, instructions, **kwargs)


def measure(q, c=None):
    return instruction("MEASURE", [q], [] if c is None else [c])


def per_shot_strategy(data):
    seen = False
    for ins in data.instructions:
        if seen and ins.name not in PASSIVE:
            return True
        seen = seen or ins.name == "MEASURE"
    return False


def model_counts(data, shots, num_cbits, seed, margin=0.0):
    """Counts of every pass, from MT19937 outputs, the two-output uniform formula
    and a table search or a projective measurement on a state computed here in
    NumPy (double precision). With a margin, also the number of shots with a
    draw closer than that to the probability it is compared with: a state held
    in single precision may take the other side there (every shot takes the
    same draws whatever its outcomes, so the stream stays aligned)."""
    mt = ref.MT19937(seed)
    passes = max(wavesim.batch_count(data), 1)
    result = []
    doubtful = 0
    for b in range(passes):
        counts = {}
        if per_shot_strategy(data):
            for _ in range(shots):
                psi = np.zeros(1 << data.num_qubits, dtype=complex)
                psi[0] = 1
                register = [0] * num_cbits
                close = False
                for ins in data.instructions:
                    if counted(ins, num_cbits) or (ins.name == "RESET" and ins.qubits):
                        r = mt.uniform()
                        close = close or abs(r - ref.zero_odds(psi, ins.qubits[0])) < margin
                        if ins.name == "RESET":
                            ref.reset(psi, ins.qubits[0], r)
                        else:
                            register[classical_bit(ins)] = ref.measure(psi, ins.qubits[0], r)
                    else:
                        ref.apply_instruction(psi, ins, b)
                doubtful += close
                counts[ref.key(register)] = counts.get(ref.key(register), 0) + 1
        else:
            psi = np.zeros(1 << data.num_qubits, dtype=complex)
            psi[0] = 1
            close = False
            for ins in data.instructions:
                if ins.name == "RESET" and ins.qubits:
                    r = mt.uniform()
                    close = close or abs(r - ref.zero_odds(psi, ins.qubits[0])) < margin
                    ref.reset(psi, ins.qubits[0], r)
                else:
                    ref.apply_instruction(psi, ins, b)
            sampler = ref.Sampler(psi)
            pairs = [(ins.qubits[0], classical_bit(ins)) for ins in data.instructions if counted(ins, num_cbits)]
            for _ in range(shots):
                r = mt.uniform()
                index = sampler.index(r)
                doubtful += close or (margin > 0 and sampler.margin(r) < margin)
                register = [0] * num_cbits
                for q, c in pairs:
                    register[c] = (index >> q) & 1
                counts[ref.key(register)] = counts.get(ref.key(register), 0) + 1
        result.append(dict(sorted(counts.items())))
    counts = result[0] if passes < 2 else result
    return (counts, doubtful) if margin > 0 else counts


# Farther than this from every probability a draw is compared with, a float state decides as the
# double-precision model does (its probabilities carry rounding of about 1e-7 per gate).
FLOAT_MARGIN = 1e-5


def expect_model_counts(got, data, shots, num_cbits, seed, use_float32):
    """Equal to the model's counts; in single precision up to the shots the model marks doubtful."""
    if not use_float32:
        assert got == model_counts(data, shots, num_cbits, seed)
        return
    want, doubtful = model_counts(data, shots, num_cbits, seed, FLOAT_MARGIN)
    rows = want if isinstance(want, list) else [want]
    got_rows = got if isinstance(got, list) else [got]
    moved = sum(abs(g.get(k, 0) - w.get(k, 0)) for g, w in zip(got_rows, rows) for k in set(g) | set(w))
    assert len(got_rows) == len(rows) and moved <= 2 * doubtful, (got, want, doubtful)


def key_distribution(data, num_cbits):
    """{key: probability} of the counted MEASUREs of a sample-once circuit, from the model's final state."""
    probabilities = np.abs(ref.simulate(data)) ** 2
    pairs = [(ins.qubits[0], classical_bit(ins)) for ins in data.instructions if counted(ins, num_cbits)]
    distribution = {}
    for index, p in enumerate(probabilities):
        register = [0] * num_cbits
        for q, c in pairs:
            register[c] = (index >> q) & 1
        distribution[ref.key(register)] = distribution.get(ref.key(register), 0.0) + p
    return distribution


def with_measurements(data, rng, num_cbits):
    n = data.num_qubits
    ops = list(data.instructions)
    for _ in range(int(rng.integers(1, n + 3))):
        q = int(rng.integers(0, n))
        c = int(rng.integers(0, num_cbits + 2))  # some beyond the register: ignored
        ops.append(measure(q, c) if rng.random() < 0.7 else measure(q))
    return circuit(n, ops)


@pytest.mark.parametrize("n", [1, 3, 8, 16, 17, 18])
@pytest.mark.parametrize("use_float32", [False, True])
def test_sample_once_counts_match_the_stream_model(n, use_float32):
    rng = np.random.default_rng(n)
    num_cbits = min(n, 6)
    data = with_measurements(random_circuit(300 + n, n, 20 if n < 16 else 6), rng, num_cbits)
    assert not per_shot_strategy(data)
    shots = 3000 if n < 16 else 1500
    for seed in (0, 12345):
        got = wavesim.run_cpp(data, shots, num_cbits, seed, use_float32)
        assert list(got) == sorted(got) and sum(got.values()) == shots
        if use_float32 and n >= 16:
            # Hundreds of thousands of boundaries between basis states, each moved by about 1e-7 in a
            # float table: the counts follow the model's distribution.
            assert noise_model.fit_p_value(got, key_distribution(data, num_cbits)) > noise_model.REJECT_BELOW
        else:
            expect_model_counts(got, data, shots, num_cbits, seed, use_float32)


def mid_circuit(seed, n, length, batches=1):
    """Gates, measurements and resets interleaved: the per-shot strategy."""
    rng = np.random.default_rng(seed)
    ops = [instruction("H", [q]) for q in range(n)]
    for _ in range(length):
        roll = rng.random()
        if roll < 0.2:
            ops.append(measure(int(rng.integers(0, n)), int(rng.integers(0, n + 1))))
        elif roll < 0.27:
            ops.append(instruction("RESET", [int(rng.integers(0, n))]))
        else:
            ops.append(random_instruction(rng, n, batches))
    ops.append(measure(0, 0))
    return circuit(n, ops)


@pytest.mark.parametrize("n", [1, 2, 4, 6])
@pytest.mark.parametrize("use_float32", [False, True])
def test_per_shot_counts_match_the_stream_model(n, use_float32):
    for seed in range(3):
        data = mid_circuit(40 * n + seed, n, 14)
        assert per_shot_strategy(data)
        got = wavesim.run_cpp(data, 150, n, seed, use_float32)
        expect_model_counts(got, data, 150, n, seed, use_float32)


@pytest.mark.parametrize("per_shot", [False, True])
def test_batches_give_a_list_of_dicts_from_one_stream(per_shot):
    angles = [0.3, 1.4, 2.9]
    ops = [instruction("RX", [0], values=angles), instruction("CX", [1], [0]), measure(0), measure(1)]
    if per_shot:
        ops.append(instruction("RY", [1], values=[0.5, 0.7, 0.9]))
        ops.append(measure(1, 2))
    data = circuit(2, ops)
    got = wavesim.run_cpp(data, 400, 3, 9)
    assert isinstance(got, list) and len(got) == 3
    assert got == model_counts(data, 400, 3, 9)


def test_a_single_parameter_set_gives_one_dict():
    for values in ([0.3], 0.3, []):
        got = wavesim.run_cpp(circuit(1, [instruction("RX", [0], values=values), measure(0)]), 10, 1, 1)
        assert isinstance(got, dict)


BELL = [instruction("H", [0]), instruction("CX", [1], [0]), measure(0, 0), measure(1, 1)]


@pytest.mark.parametrize("use_float32", [False, True])
def test_bell_pairs(use_float32):
    got = wavesim.run_cpp(circuit(2, BELL), 1000, 2, 5, use_float32)
    assert set(got) == {"00", "11"} and sum(got.values()) == 1000


@pytest.mark.parametrize("ops, num_cbits, want", [
    ([instruction("X", [0]), measure(0, 2)], 3, {"100": 50}),  # classical bit 0 is rightmost
    ([instruction("X", [1]), measure(1)], 3, {"010": 50}),  # no controls: the qubit's own bit
    ([instruction("X", [0]), measure(0, 5)], 3, {"000": 50}),  # beyond the register: ignored
    ([instruction("X", [0]), instruction("MEASURE", [], [0])], 2, {"00": 50}),  # no qubit: ignored
    ([instruction("X", [0]), measure(0, 0)], 0, {"": 50}),
    ([instruction("X", [0]), measure(0, 0), instruction("X", [0]), measure(0, 0)], 1, {"0": 50}),  # overwritten
])
def test_keys(ops, num_cbits, want):
    assert wavesim.run_cpp(circuit(3, ops), 50, num_cbits, 3) == want


def test_operation_after_a_measurement_measures_each_shot():
    ops = [instruction("H", [0]), measure(0, 0), instruction("X", [0]), measure(0, 1)]
    got = wavesim.run_cpp(circuit(1, ops), 1000, 2, 11)
    assert set(got) == {"01", "10"}


def test_barrier_between_measurements_keeps_sampling_once():
    ops = [instruction("H", [0]), measure(0, 0), instruction("BARRIER", [0]), measure(0, 1)]
    got = wavesim.run_cpp(circuit(1, ops), 1000, 2, 11)
    assert set(got) == {"00", "11"}


def test_reset_before_terminal_measurements_happens_once_per_pass():
    ops = [instruction("H", [0]), instruction("CX", [1], [0]), instruction("RESET", [0]), measure(1, 0)]
    seen = set()
    for seed in range(12):
        got = wavesim.run_cpp(circuit(2, ops), 200, 1, seed)
        assert len(got) == 1 and sum(got.values()) == 200
        seen |= set(got)
    assert seen == {"0", "1"}


@pytest.mark.parametrize("ops", [BELL, BELL + [instruction("X", [0]), measure(0, 0)]])
def test_degenerate_shot_counts(ops):
    data = circuit(2, ops)
    assert wavesim.run_cpp(data, 0, 2, 1) == {}
    assert wavesim.run_cpp(data, -5, 2, 1) == {}
    assert wavesim.run_cpp(data, -5, -1, 1) == {}  # no register is ever made
    with pytest.raises(ValueError, match="^vector too long$"):
        wavesim.run_cpp(data, 1, -1, 1)


def test_seeds():
    data = circuit(8, [instruction("H", [q]) for q in range(8)] + [measure(q) for q in range(8)])
    assert wavesim.run_cpp(data, 500, 8, 42) == wavesim.run_cpp(data, 500, 8, 42)
    assert wavesim.run_cpp(data, 500, 8, 0) != wavesim.run_cpp(data, 500, 8, 1)
    assert len({tuple(sorted(wavesim.run_cpp(data, 500, 8, -1).items())) for _ in range(4)}) > 1
    # the seed's 32-bit pattern
    assert wavesim.run_cpp(data, 500, 8, 2**31 - 1) == model_counts(data, 500, 8, 2**31 - 1)


@pytest.mark.parametrize("ops, n, error, text", [
    ([instruction("H", [0])], 1, RuntimeError, NO_MEASURE),
    ([], 1, RuntimeError, NO_MEASURE),
    ([instruction("H", [0]), measure(3, 0)], 2, RuntimeError, "MEASURE addresses qubit 3, outside a state of 2 qubits"),
    ([instruction("H", [0]), measure(-1, 0)], 2, RuntimeError, "MEASURE addresses qubit -1"),
    ([measure(0, -2)], 2, RuntimeError, "MEASURE addresses classical bit -2"),
    ([measure(-1)], 2, RuntimeError, "MEASURE addresses classical bit -1"),
    ([instruction("RESET", [5]), measure(0)], 2, RuntimeError, "RESET addresses qubit 5, outside a state of 2 qubits"),
    ([measure(0), instruction("RESET", [2]), measure(0)], 2, RuntimeError, "RESET addresses qubit 2"),
    ([instruction("FOO", [0]), measure(0)], 2, RuntimeError, "Unknown gate: FOO"),
    ([measure(0), instruction("FOO", [0]), measure(0)], 2, RuntimeError, "Unknown gate: FOO"),
    ([measure(0)], 63, RuntimeError, "StateVector: num_qubits out of supported range"),
    ([measure(70)], -1, RuntimeError, "StateVector: num_qubits out of supported range"),
])
@pytest.mark.parametrize("use_float32", [False, True])
def test_errors_and_the_module_stays_usable(ops, n, error, text, use_float32):
    with pytest.raises(error) as info:
        wavesim.run_cpp(circuit(n, ops), 10, 2, 1, use_float32)
    assert text in str(info.value)
    assert wavesim.run_cpp(circuit(2, BELL), 10, 2, 1, use_float32).keys() <= {"00", "11"}


def test_missing_measure_is_reported_first_even_without_shots():
    with pytest.raises(RuntimeError) as info:
        wavesim.run_cpp(circuit(63, [instruction("FOO", [9])]), 0, -1, 1)
    assert str(info.value) == NO_MEASURE


def test_keyword_arguments():
    got = wavesim.run_cpp(circuit_data=circuit(2, BELL), shots=20, num_cbits=2, seed=4, use_float32=True)
    assert sum(got.values()) == 20
