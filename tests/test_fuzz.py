"""Fuzzing every entry of the four modules with hypothesis.

Each call must either return a result that passes its invariants (a normalised
state, or one that carries NaN exactly where a non-finite parameter went in;
counts summing to the shots; records whose qubits lie in range) or raise one
of the documented exception types with a message. A crash, a hang or an
out-of-bounds access fails the run (the sanitizer build turns the latter into
a crash). Sizes are kept small: a valid num_qubits above 14 is only used where
the call fails before it allocates a state.
"""

import collections
import math
import os
import types

import numpy as np
import pytest
from hypothesis import event, given, note, strategies as st

import circuitcore as cc
import ansatzkit
import brickgen
import cliffmix
import wavesim

try:
    import torch
except ImportError:
    torch = None

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
EXTREME_INTS = [INT32_MIN, INT32_MIN + 1, -1, INT32_MAX, INT32_MAX - 1]
NOT_INT32 = [2**31, -(2**31) - 1, 2**63, 10**30]

# Examples tried per entry, printed in the terminal summary (see conftest.py).
EXAMPLES = collections.Counter()

# Parameters each catalogue name reads (written from the gate table, independently of the engine).
PARAM_COUNT = {
    **dict.fromkeys(["I", "ID", "H", "X", "Y", "Z", "S", "SDG", "T", "TDG", "SX", "SY", "SWAP", "ISWAP", "CX",
                     "CNOT", "CY", "CZ", "CH", "CCX", "TOFFOLI", "CSWAP"], 0),
    **dict.fromkeys(["RX", "RY", "RZ", "P", "U1", "RXX", "RYY", "RZZ", "ISINGZZ", "IZZ", "CRX", "CRY", "CRZ", "CP",
                     "CU1"], 1),
    **dict.fromkeys(["R", "U2", "CU2"], 2),
    **dict.fromkeys(["U3", "U", "CU3"], 3),
    "CU": 4,
}
# (targets, controls) each name is meant for.
SHAPE = {
    **dict.fromkeys(["I", "ID", "H", "X", "Y", "Z", "S", "SDG", "T", "TDG", "SX", "SY", "RX", "RY", "RZ", "P", "U1",
                     "R", "U2", "U3", "U"], (1, 0)),
    **dict.fromkeys(["SWAP", "ISWAP", "RXX", "RYY", "RZZ", "ISINGZZ", "IZZ"], (2, 0)),
    **dict.fromkeys(["CX", "CNOT", "CY", "CZ", "CH", "CRX", "CRY", "CRZ", "CP", "CU1", "CU2", "CU3", "CU"], (1, 1)),
    **dict.fromkeys(["CCX", "TOFFOLI"], (1, 2)),
    "CSWAP": (2, 1),
}
NON_UNITARY = ["MEASURE", "RESET", "BARRIER", "QIF", "QWHILE"]
NEAR_MISSES = ["h", "cx", "Rx", "RX ", " H", "CNOT\x00", "IsingZZ", "su4", "Sdg", "Tdg", "tdg", "U4", "CCCX", "",
               "é", "量子", "H" * 300, "MEASURE ", "measure", "Reset"]
NAMES = st.one_of(st.sampled_from(sorted(PARAM_COUNT)), st.sampled_from(NON_UNITARY), st.sampled_from(NEAR_MISSES),
                  st.text(max_size=12))

ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
# Mostly ordinary angles, sometimes NaN, infinities or huge values.
ANGLE = st.one_of(st.floats(-7.0, 7.0), st.floats(-7.0, 7.0), st.floats(-7.0, 7.0),
                  st.sampled_from([math.nan, math.inf, -math.inf, 1e308, -0.0]), ANY_FLOAT)
WILD_QUBIT = st.one_of(st.integers(-3, 16), st.sampled_from(EXTREME_INTS + [31, 32, 62, 63, 64]))

MAX_SMALL_QUBITS = 10
MAX_BATCH_EXTENT = 70
MAX_SHOTS = 300
DOUBLE_NORM_TOL = 1e-9
FLOAT_NORM_TOL = 1e-4

WAVESIM_ERRORS = (RuntimeError, ValueError, MemoryError, OverflowError, IndexError)
BUILDER_ERRORS = (RuntimeError, ValueError, MemoryError, OverflowError, IndexError, TypeError)


def call(entry, allowed, fn, *args):
    """(True, result) or (False, exception) for an allowed exception type with a message."""
    EXAMPLES[entry] += 1
    try:
        result = fn(*args)
    except allowed as e:
        assert str(e).strip(), f"{type(e).__name__} without a message from {entry}"
        note(f"{entry} raised {type(e).__name__}: {e}")
        event(f"{entry}: {type(e).__name__}")
        return False, e
    event(f"{entry}: result")
    return True, result


def as_list(value):
    return [value] if isinstance(value, float) else list(value)


def used_values(ins, batch):
    """The parameter values a catalogue gate reads for one batch (batch slicing
    rule: k values from k*batch when they fit, else the first k)."""
    k = PARAM_COUNT.get(ins.name, 0)
    if k == 0:
        return []
    values = as_list(ins.param.value)
    if len(values) > k:
        start = k * batch if k * batch + k <= len(values) else 0
        values = values[start:start + k]
    return values[:k]


def nonfinite_gate(ins, batch):
    return any(not math.isfinite(v) for v in used_values(ins, batch))


def bit_of(ins):
    return ins.controls[0] if ins.controls else ins.qubits[0]


def is_counted_measure(ins, num_cbits):
    return ins.name == "MEASURE" and bool(ins.qubits) and bit_of(ins) < num_cbits


# ---------------------------------------------------------------- strategies


@st.composite
def param_values(draw, k):
    """None, one value, or a list (often a whole number of k-sized sets)."""
    kind = draw(st.sampled_from(["none", "single", "sets", "any"]))
    if kind == "none":
        return None
    if kind == "single":
        return draw(ANGLE)
    if kind == "sets" and k > 0:
        return draw(st.lists(ANGLE, min_size=k, max_size=k * 5).map(lambda v: v[:len(v) - len(v) % k]))
    return draw(st.lists(ANGLE, max_size=13))


@st.composite
def instructions(draw, n, clean):
    """A well-formed catalogue gate on distinct qubits when n allows it, or (unless
    `clean`, sometimes) an arbitrary record."""
    if n >= 1 and (clean or draw(st.integers(0, 9)) < 7):
        name = draw(st.sampled_from(sorted(SHAPE) + ["Tdg"] + NON_UNITARY))
        targets, controls = SHAPE.get(name, (1, 0))
        controls += draw(st.sampled_from([0, 0, 0, 1, 2]))
        if targets + controls > n:
            targets, controls = 1, 0
        order = draw(st.permutations(range(n)))
        qubits, ctrl = order[:targets], order[targets:targets + controls]
        ctrl_state = draw(st.one_of(st.just(""), st.text(alphabet="01x", max_size=controls + 1)))
    else:
        name = draw(NAMES)
        qubits = draw(st.one_of(st.lists(WILD_QUBIT, max_size=4), st.lists(st.integers(0, 15), min_size=20,
                                                                           max_size=70)))
        ctrl = draw(st.lists(WILD_QUBIT, max_size=4))
        ctrl_state = draw(st.text(max_size=6))
    values = draw(param_values(PARAM_COUNT.get(name, 1)))
    param = None if values is None else cc.ParamBinding(draw(st.sampled_from(["", "t[0]", "é"])), values)
    return cc.CircuitInstruction(name=name, qubits=list(qubits), controls=list(ctrl), param=param,
                                 has_param=draw(st.booleans()), dagger=draw(st.booleans()), ctrl_state=ctrl_state)


def tensors():
    if torch is None:
        return st.nothing()
    shape = st.lists(st.integers(0, 4), min_size=1, max_size=4)
    batched = st.tuples(st.integers(0, 3), st.integers(0, MAX_BATCH_EXTENT), st.integers(0, 3))
    return st.one_of(shape, batched).map(lambda s: torch.zeros(tuple(s)))


BOUND_VALUES = st.one_of(
    st.none(), st.integers(), st.lists(ANGLE, max_size=4), st.text(max_size=3),
    st.lists(st.integers(0, 4), max_size=3).map(lambda s: np.zeros(tuple(s))), tensors())
VALUE_SHAPE = st.lists(st.one_of(st.integers(-3, MAX_BATCH_EXTENT), st.sampled_from([2**31, 2**40, -(2**63),
                                                                                     2**63 - 1])), max_size=4)


@st.composite
def circuits(draw, num_qubits, measure_heavy=False):
    n = draw(num_qubits)
    width = n if 0 <= n <= MAX_SMALL_QUBITS + 4 else 0
    body = draw(st.lists(instructions(width, draw(st.booleans())), max_size=5 if width > MAX_SMALL_QUBITS else 10))
    if measure_heavy and width >= 1:
        for _ in range(draw(st.integers(0, 3))):
            q = draw(st.integers(0, width - 1))
            bit = draw(st.one_of(st.integers(0, width + 1), st.just(-1), st.none()))
            position = draw(st.integers(0, len(body)))
            body.insert(position, cc.CircuitInstruction(name="MEASURE", qubits=[q],
                                                        controls=[] if bit is None else [bit]))
    shaped = draw(st.integers(0, 9)) < 3
    bound_values = draw(BOUND_VALUES) if shaped or draw(st.booleans()) else None
    return cc.CircuitData(n, body, shaped_binding=shaped, bound_values=bound_values,
                          value_shape_set=draw(st.sampled_from([0, 1, 2**64 - 1])), value_shape=draw(VALUE_SHAPE))


SMALL_OR_OUT_OF_RANGE = st.one_of(st.integers(-5, MAX_SMALL_QUBITS), st.integers(11, 14),
                                  st.sampled_from([63, 64, INT32_MIN, INT32_MAX]))


# ---------------------------------------------------------------- wavesim


def check_state_row(row, data, batch, tol):
    nonfinite_in = any(nonfinite_gate(ins, batch) for ins in data.instructions)
    finite_out = bool(np.all(np.isfinite(row)))
    if not nonfinite_in:
        assert finite_out, f"batch {batch}: non-finite amplitudes from finite parameters"
        assert abs(float(np.sum(np.abs(row.astype(np.complex128)) ** 2)) - 1.0) < tol, f"batch {batch} not normalised"
    else:
        assert not finite_out, f"batch {batch}: a non-finite parameter produced a finite state"


@given(data=circuits(SMALL_OR_OUT_OF_RANGE), use_float32=st.booleans())
def test_cal_states_cpp(data, use_float32):
    ok, result = call("wavesim.cal_states_cpp", WAVESIM_ERRORS, wavesim.cal_states_cpp, data, use_float32)
    if not ok:
        return
    n = data.num_qubits
    assert result.dtype == (np.complex64 if use_float32 else np.complex128)
    assert result.shape[-1] == 1 << n and result.flags["C_CONTIGUOUS"]
    tol = FLOAT_NORM_TOL if use_float32 else DOUBLE_NORM_TOL
    if result.ndim == 1:
        check_state_row(result, data, 0, tol)
    else:
        assert result.ndim == 2 and result.shape[0] >= 2
        for b in range(result.shape[0]):
            check_state_row(result[b], data, b, tol)


def check_counts(counts, shots, num_cbits, counted):
    assert isinstance(counts, dict)
    if shots <= 0:
        assert counts == {}
        return
    assert sum(counts.values()) == shots and all(v > 0 for v in counts.values())
    for key in counts:
        assert len(key) == num_cbits and set(key) <= {"0", "1"}
    if not counted:
        assert list(counts) == ["0" * num_cbits]


def must_refuse_sampling(data, batch, num_cbits):
    """A non-finite gate ahead of a counted measurement: its outcome would be drawn from NaN."""
    tainted = False
    for ins in data.instructions:
        if is_counted_measure(ins, num_cbits) and tainted:
            return True
        tainted = tainted or nonfinite_gate(ins, batch)
    return False


@given(data=circuits(SMALL_OR_OUT_OF_RANGE, measure_heavy=True),
       shots=st.one_of(st.integers(-3, MAX_SHOTS), st.sampled_from([INT32_MIN, 0, 1])),
       num_cbits=st.one_of(st.integers(-2, 12), st.sampled_from([INT32_MIN, -1])),
       seed=st.one_of(st.integers(-2, 10), st.sampled_from(EXTREME_INTS)), use_float32=st.booleans())
def test_run_cpp(data, shots, num_cbits, seed, use_float32):
    ok, result = call("wavesim.run_cpp", WAVESIM_ERRORS, wavesim.run_cpp, data, shots, num_cbits, seed, use_float32)
    if not ok:
        return
    counted = any(is_counted_measure(ins, num_cbits) for ins in data.instructions)
    passes = result if isinstance(result, list) else [result]
    assert len(passes) != 1 or isinstance(result, dict)
    for b, counts in enumerate(passes):
        check_counts(counts, shots, num_cbits, counted)
        assert shots <= 0 or not must_refuse_sampling(data, b, num_cbits), f"pass {b} sampled a NaN state"
    if seed >= 0:
        assert wavesim.run_cpp(data, shots, num_cbits, seed, use_float32) == result


@given(num_qubits=st.integers(15, 62), data=st.data())
def test_run_cpp_large_register_without_measure_fails_first(num_qubits, data):
    # Large but valid sizes: the missing MEASURE must be reported before a state is allocated.
    circuit = data.draw(circuits(st.just(num_qubits)))
    circuit.instructions = [ins for ins in circuit.instructions if ins.name != "MEASURE"]
    ok, error = call("wavesim.run_cpp", WAVESIM_ERRORS, wavesim.run_cpp, circuit, 10, 2)
    assert not ok and "MEASURE" in str(error)


@pytest.mark.parametrize("bad", [None, 5, "circuit", cc.CircuitInstruction(), [cc.CircuitData(1)]])
def test_wavesim_refuses_non_circuits(bad):
    for fn, args in [(wavesim.cal_states_cpp, ()), (wavesim.run_cpp, (10, 1))]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            fn(bad, *args)


@pytest.mark.parametrize("shots, num_cbits, seed", [(2**31, 1, 0), (1, 2**40, 0), (1, 1, 2**63), (1.5, 1, 0),
                                                     ("3", 1, 0)])
def test_run_cpp_refuses_unconvertible_integers(shots, num_cbits, seed):
    data = cc.CircuitData(1, [cc.CircuitInstruction(name="MEASURE", qubits=[0])])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        wavesim.run_cpp(data, shots, num_cbits, seed)


# ---------------------------------------------------------------- brickgen

BRICKGEN_N = st.one_of(st.integers(-3, 24), st.sampled_from([INT32_MIN, -1, 65536, INT32_MAX]))
ANY_ARG = st.one_of(st.integers(INT32_MIN, INT32_MAX), st.sampled_from(NOT_INT32), st.floats(), st.none(),
                    st.text(max_size=3), st.booleans())


def check_qv_records(records, n):
    assert len(records) == n * (n // 2)
    for r in records:
        assert r.name == "su4" and len(r.controls) == 1 and len(r.qubits) == 1
        a, b = r.controls[0], r.qubits[0]
        assert 0 <= a < n and 0 <= b < n and a != b
        u = np.array(r.matrix).reshape(4, 4, order="F")
        np.testing.assert_allclose(u.conj().T @ u, np.eye(4), atol=1e-10)


@given(n=BRICKGEN_N, unused=st.integers(INT32_MIN, INT32_MAX), seed=st.integers(INT32_MIN, INT32_MAX),
       ultra=st.booleans())
def test_brickgen(n, unused, seed, ultra):
    fn = brickgen.build_qv_op_list_ultra if ultra else brickgen.build_qv_op_list
    ok, result = call("brickgen", BUILDER_ERRORS, fn, n, unused, seed)
    if ok:
        check_qv_records(result, n)
    else:
        assert isinstance(result, (ValueError, MemoryError))


@given(args=st.tuples(ANY_ARG, ANY_ARG, ANY_ARG))
def test_brickgen_wrong_types(args):
    if all(type(a) is int and INT32_MIN <= a <= INT32_MAX for a in args) or any(type(a) is bool for a in args):
        return  # well-typed calls are the test above; bool is an int to the binding
    ok, error = call("brickgen", BUILDER_ERRORS, brickgen.build_qv_op_list, *args)
    assert not ok and isinstance(error, TypeError)


# ---------------------------------------------------------------- ansatzkit

ANSATZ_NAMES = ["U1", "U2", "U3", "U", "H", "I", "ID", "T", "SX", "X", "Y", "Z", "S", "RX", "RY", "RZ", "P", "SY",
                "R", "SWAP", "ISWAP", "IsingZZ", "RXX", "RYY", "RZZ", "CNOT", "CX", "CZ", "CRX", "CRY", "CRZ"]
MAPS = ["full", "linear", "reverse_linear", "pairwise", "circular"]
BLOCK = st.one_of(
    st.sampled_from(ANSATZ_NAMES).map(lambda s: types.SimpleNamespace(__name__=s)),
    st.one_of(st.sampled_from(["ry", "CY", "CU3", "", "é"]), st.text(max_size=5)).map(
        lambda s: types.SimpleNamespace(__name__=s)),
    st.sampled_from([5, None, "RY", types.SimpleNamespace(__name__=7), types.SimpleNamespace(__name__=None)]))
MAP = st.one_of(st.sampled_from(MAPS), st.sampled_from(["Full", "", "linear\x00"]), st.text(max_size=4),
                st.sampled_from([3, None]))
# Huge sizes either fail before building (overflow, or an impossible reservation) or place nothing.
# ASan's operator new aborts instead of throwing bad_alloc: under it the
# reservation-failing sizes are left to the normal build.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
HUGE_SIZES = [INT32_MIN, -1] + ([] if SANITIZED else [INT32_MAX])
ANSATZ_SIZE = st.one_of(st.integers(-3, 9), st.sampled_from(HUGE_SIZES + [60]))
REPS = st.one_of(st.integers(-3, 4), st.sampled_from(HUGE_SIZES + [200]))


@given(n=ANSATZ_SIZE, rotations=st.lists(BLOCK, max_size=3), entanglers=st.lists(BLOCK, max_size=3),
       maps=st.lists(MAP, max_size=3), reps=REPS, prefix=st.text(max_size=4), final=st.booleans(),
       ignored=st.tuples(st.booleans(), st.booleans(), st.text(max_size=2)))
def test_ansatzkit(n, rotations, entanglers, maps, reps, prefix, final, ignored):
    args = (n, rotations, entanglers, maps, reps, ignored[0], prefix, final, ignored[1], ignored[2])
    ok, result = call("ansatzkit", BUILDER_ERRORS + (AttributeError,), ansatzkit.build_n_local_data, *args)
    if not ok:
        return
    assert result.num_qubits == n
    names = {b.__name__ for b in rotations + entanglers}
    parametrised = [ins for ins in result.instructions if ins.has_param]
    assert result.params.size == len(result.params.entries) == len(parametrised)
    for i, ins in enumerate(parametrised):
        assert ins.param.name == f"{prefix}[{i}]" == result.params.entries[i].name
    for ins in result.instructions:
        assert ins.name in names and len(ins.qubits) == 1
        assert all(0 <= q < n for q in ins.qubits + ins.controls)
        assert len(set(ins.qubits + ins.controls)) == len(ins.qubits + ins.controls)


@pytest.mark.parametrize("n, rotations, entanglers, maps", [
    (1, [], ["CX"], ["linear"]), (0, ["RY"], ["H"], []), (5, [], [], []), (-4, ["RZ"], ["RZZ"], ["full"])])
def test_ansatzkit_huge_repetitions_that_place_nothing(n, rotations, entanglers, maps):
    # Regression: 2**31 - 1 empty repetitions were walked one by one (about a minute per call).
    blocks = [[types.SimpleNamespace(__name__=g) for g in names] for names in (rotations, entanglers)]
    circuit = ansatzkit.build_n_local_data(n, *blocks, maps, INT32_MAX, False, "t", True, False, "")
    assert circuit.instructions == [] and circuit.params.size == 0


@pytest.mark.parametrize("args", [
    (2, "RY", [], [], 1, False, "t", False, False, ""),
    (2, [], [], [], 1.5, False, "t", False, False, ""),
    (2**31, [], [], [], 1, False, "t", False, False, ""),
    (2, [], [], [], 1, False, None, False, False, ""),
    (2, [], [], [], 1, False, "t", False, False),
])
def test_ansatzkit_wrong_types(args):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ansatzkit.build_n_local_data(*args)


# ---------------------------------------------------------------- cliffmix

CLIFFORD = ["cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"]
TWO_QUBIT = {"CX", "CZ", "CY", "SWAP"}
WRITTEN = {"CX", "CZ", "CY", "SWAP", "X", "Y", "Z", "H", "S", "SDG"}
GATE_NAME = st.one_of(st.sampled_from(CLIFFORD), st.sampled_from(["H", "Cx", "SWAP", "ccx", "all", "", "é", "h "]),
                      st.text(max_size=4))
SELECTION = st.one_of(
    st.sampled_from(["all", "ALL", "all ", "", "h"]), st.lists(GATE_NAME, max_size=4),
    st.lists(GATE_NAME, max_size=4).map(tuple), st.sampled_from([None, 3, b"all", {"h"}, ["h", 3], [None]]),
    st.lists(GATE_NAME, max_size=3).map(lambda v: (g for g in v)))
CLIFF_SIZE = st.one_of(st.integers(-2, 12), st.sampled_from([INT32_MIN, INT32_MAX]))
GATE_COUNT = st.one_of(st.integers(-3, 200), st.sampled_from([INT32_MIN, -1]))


def check_clifford(circuit, n):
    assert circuit.num_qubits == n
    for ins in circuit.instructions:
        assert ins.name in WRITTEN and not ins.has_param and not ins.dagger
        qs = ins.controls + ins.qubits
        assert all(0 <= q < n for q in qs)
        if ins.name in TWO_QUBIT:
            assert len(qs) >= 2 and qs[0] != qs[1]
        else:
            assert len(qs) == 1


@given(n=CLIFF_SIZE, count=GATE_COUNT, gates=SELECTION,
       seed=st.one_of(st.integers(-2, 50), st.sampled_from(EXTREME_INTS)))
def test_cliffmix_random(n, count, gates, seed):
    ok, result = call("cliffmix.build_random_clifford_data", BUILDER_ERRORS,
                      cliffmix.build_random_clifford_data, n, count, gates, seed)
    if not ok:
        return
    assert len(result.instructions) == count
    check_clifford(result, n)
    if seed >= 0 and not isinstance(gates, types.GeneratorType):
        again = cliffmix.build_random_clifford_data(n, count, gates, seed)
        assert again.instructions == result.instructions


@given(n=CLIFF_SIZE, names=st.lists(GATE_NAME, max_size=6),
       indices=st.lists(st.lists(WILD_QUBIT, max_size=4), max_size=6))
def test_cliffmix_from_indices(n, names, indices):
    ok, result = call("cliffmix.build_random_clifford_from_indices", BUILDER_ERRORS,
                      cliffmix.build_random_clifford_from_indices, n, names, indices)
    if ok:
        assert len(result.instructions) == len(names) == len(indices)
        check_clifford(result, n)


@given(args=st.tuples(st.one_of(st.integers(-2, 5), st.sampled_from(NOT_INT32), st.none(), st.floats()),
                      st.one_of(st.lists(GATE_NAME, max_size=2), st.just("h"), st.none(), st.just([1])),
                      st.one_of(st.lists(st.lists(st.integers(0, 3))), st.just([[2**40]]), st.just([["0"]]))))
def test_cliffmix_from_indices_any_types(args):
    call("cliffmix.build_random_clifford_from_indices", BUILDER_ERRORS,
         cliffmix.build_random_clifford_from_indices, *args)
