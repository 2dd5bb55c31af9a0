"""Fuzzing every entry of the four modules with hypothesis, valid and invalid
inputs drawn apart.

A valid input must succeed and agree with the independent models of the tests
(reference_model.py for the simulator, the builder models of test_brickgen.py,
test_ansatzkit.py and test_cliffmix.py). An invalid input carries one fault
from docs/bad_inputs.md, put into an otherwise valid input, and must raise the
documented exception with the documented message. A crash, a hang or an
out-of-bounds access fails the run (the sanitizer build turns the latter into
a crash). Sizes are kept small: a num_qubits above 10 is only used where the
call fails before it allocates a state.
"""

import collections
import functools
import math
import os
import re
import string
import time
import types

import numpy as np
import pytest
from hypothesis import assume, currently_in_test_context, event, example, given, note, strategies as st

import circuitcore as cc
import ansatzkit
import brickgen
import cliffmix
import wavesim

import noise_model as nm
import pauli_reference
import reference_model as ref
import test_ansatzkit
import test_brickgen
import test_cliffmix
import test_wavesim_shots

FUSIONS = [0, 2, 3, 4, "auto"]  # the settings of the keyword `fusion` (0: off)
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
NOT_INT32 = [2**31, -(2**31) - 1, 2**63, 10**30]

# Examples tried per entry and kind, printed in the terminal summary (see conftest.py).
EXAMPLES = collections.Counter()
PROGRESS = os.environ.get("FUZZ_PROGRESS")
PROGRESS_EVERY = 1000

CAST_ERROR = re.compile(r"Unable to cast Python instance of type .+ to C\+\+ type '\?' "
                        r"\(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details\)")


def incompatible(function):
    return re.compile(re.escape(f"{function}(): incompatible function arguments. "
                                "The following argument types are supported:") + ".*", re.S)


def counted(key):
    """One more input tried; with FUZZ_PROGRESS set, the running total is appended to that file every
    PROGRESS_EVERY inputs, so that a long run that is stopped still leaves its count."""
    EXAMPLES[key] += 1
    total = sum(EXAMPLES.values())
    if PROGRESS and total % PROGRESS_EVERY == 0:
        with open(PROGRESS, "a") as out:
            out.write(f"{total} {time.time():.0f}\n")


def succeeds(entry, fn, *args):
    """The result of a call that must not raise."""
    counted(f"{entry} valid")
    return fn(*args)


def refuses(entry, fault, error, message, fn, *args):
    """The call raises exactly `error` with `message` (a string, or a pattern the whole message matches)."""
    counted(f"{entry} {fault}")
    if currently_in_test_context():
        event(f"{entry}: {fault}")
        note(f"expecting {error.__name__}: {message}")
    with pytest.raises(Exception) as caught:
        fn(*args)
    assert type(caught.value) is error, f"{fault}: {type(caught.value).__name__}: {caught.value}"
    text = str(caught.value)
    if isinstance(message, str):
        # The binding hands the C++ message to Python as a C string: it ends at a NUL of a name.
        assert text == message.split("\0")[0], fault
    else:
        assert message.fullmatch(text), f"{fault}: {text!r}"


# ---------------------------------------------------------------- wavesim circuits

CATALOGUE = sorted(set(ref.ONE_QUBIT) | set(ref.TWO_QUBIT) | set(ref.CONTROLLED))
SKIPPED = ["MEASURE", "BARRIER", "QIF", "QWHILE"]
PAIR_FORM = ["CX", "CNOT", "CZ"]  # also take (control, target) as two targets, without controls or dagger


def shape(name):
    """(targets, own controls) of a catalogue name."""
    if name in ref.CONTROLLED:
        return (2 if name == "CSWAP" else 1), ref.CONTROLLED[name][2]
    return (2 if name in ref.TWO_QUBIT else 1), 0


def matrix_size(name):
    """Entries of the matrix a name acts with on its targets."""
    return 16 if shape(name)[0] == 2 else 4


FINITE_ANGLE = st.floats(-7.0, 7.0)
ANGLE = st.one_of(FINITE_ANGLE, FINITE_ANGLE, FINITE_ANGLE, FINITE_ANGLE,
                  st.sampled_from([math.nan, math.inf, -math.inf]))


def make(name, qubits, controls=(), values=None, dagger=False, ctrl_state=""):
    param = None if values is None else cc.ParamBinding("t", values)
    return cc.CircuitInstruction(name=name, qubits=list(qubits), controls=list(controls), param=param,
                                 has_param=values is not None, dagger=dagger, ctrl_state=ctrl_state)


@st.composite
def gate(draw, n, batches, angle=ANGLE, kinds=("catalogue", "pair", "tdg", "skip")):
    """A well-formed instruction on n >= 1 qubits; parametrised names carry `batches` sets."""
    kinds = [k for k in kinds if k != "pair" or n >= 2]
    kind = draw(st.sampled_from(kinds))
    if kind == "skip":
        return make(draw(st.sampled_from(SKIPPED)), [draw(st.integers(0, n - 1))])
    if kind == "tdg":  # the one mixed-case spelling, plain only
        return make("Tdg", [draw(st.integers(0, n - 1))])
    order = draw(st.permutations(range(n)))
    if kind == "pair":
        return make(draw(st.sampled_from(PAIR_FORM)), order[:2])
    name = draw(st.sampled_from([g for g in CATALOGUE if sum(shape(g)) <= n]))
    targets, controls = shape(name)
    controls += draw(st.integers(0, min(2, n - targets - controls)))
    k = ref.param_count(name)
    values = None
    if k:
        sets = draw(st.lists(angle, min_size=k * batches, max_size=k * batches))
        values = sets[0] if len(sets) == 1 and draw(st.booleans()) else sets
    return make(name, order[:targets], order[targets:targets + controls], values, draw(st.booleans()),
                draw(st.text(alphabet="01x", max_size=controls + 1)))


@st.composite
def valid_circuits(draw, max_qubits, angle=ANGLE, max_gates=10):
    n = draw(st.integers(0, max_qubits))
    batches = draw(st.integers(1, 3))
    body = draw(st.lists(gate(n, batches, angle), max_size=max_gates)) if n else []
    return cc.CircuitData(n, body)


def batch_of(data):
    """Parameter sets: every parametrised gate of a valid circuit carries the same number."""
    for ins in data.instructions:
        k = ref.param_count(ins.name)
        if ins.has_param and k:
            total = 1 if isinstance(ins.param.value, float) else len(ins.param.value)
            return total // k if total > k else 1
    return 1


def nonfinite_in(data, batch):
    return any(ins.has_param and not all(map(math.isfinite, ref.values_for_batch(ins.param.value, ins.name, batch)))
               for ins in data.instructions if ref.param_count(ins.name))


@given(data=valid_circuits(8), use_float32=st.booleans(), fusion=st.sampled_from(FUSIONS))
def test_cal_states_cpp_valid(data, use_float32, fusion):
    result = succeeds("wavesim.cal_states_cpp", functools.partial(wavesim.cal_states_cpp, fusion=fusion), data,
                      use_float32)
    batches = batch_of(data)
    assert result.dtype == (np.complex64 if use_float32 else np.complex128)
    assert result.shape == ((batches, 1 << data.num_qubits) if batches > 1 else (1 << data.num_qubits,))
    rows = result if batches > 1 else result[None, :]
    for b, row in enumerate(rows):
        if nonfinite_in(data, b):
            assert not np.isfinite(row).all(), f"batch {b}: a non-finite parameter gave a finite state"
        else:
            np.testing.assert_allclose(row, ref.simulate(data, b), rtol=0, atol=1e-4 if use_float32 else 1e-11,
                                       err_msg=f"batch {b}")


# ---------------------------------------------------------------- wavesim expectation values

def reference_values(data, observables, batch):
    psi = ref.simulate(data, batch)
    return [pauli_reference.expectation(psi, o) for o in observables]


@given(data=valid_circuits(6), draw=st.data(), use_float32=st.booleans())
def test_expval_cpp_and_expval_grad_cpp_valid(data, draw, use_float32):
    n = data.num_qubits
    observables = [draw.draw(pauli_reference.terms(n)) for _ in range(draw.draw(st.integers(0, 3)))]
    values = succeeds("wavesim.expval_cpp", wavesim.expval_cpp, data, observables, use_float32)
    batches = batch_of(data)
    assert values.shape == ((batches, len(observables)) if batches > 1 else (len(observables),))
    rows = values.reshape(max(batches, 1), len(observables))
    for b, row in enumerate(rows):
        if not nonfinite_in(data, b):
            np.testing.assert_allclose(row, reference_values(data, observables, b), rtol=0,
                                       atol=1e-4 if use_float32 else 1e-10, err_msg=f"batch {b}")
    observable = observables[0] if observables else []
    grad_values, grads = succeeds("wavesim.expval_grad_cpp", wavesim.expval_grad_cpp, data, observable, use_float32)
    assert grads.shape == grad_values.shape + (len(wavesim.param_columns(data)),)
    want = rows[:, 0] if observables else np.zeros(len(rows))
    np.testing.assert_allclose(grad_values.reshape(-1), want, rtol=0, atol=1e-4 if use_float32 else 1e-10)


# (fault, term, message after "term 0: ") for an observable on n >= 1 qubits.
OBSERVABLE_FAULTS = [
    ("qubit outside", lambda n: ("Z", [n], 1.0), lambda n: f"qubit {n} is outside a circuit of {n} qubits"),
    ("negative qubit", lambda n: ("X", [-1], 1.0), lambda n: f"qubit -1 is outside a circuit of {n} qubits"),
    ("repeated qubit", lambda n: ("ZZ", [0, 0], 1.0), lambda n: "names qubit 0 twice"),
    ("bad letter", lambda n: ("x", [0], 1.0), lambda n: "character 0 of the Pauli string, 'x', is not one of I, X, Y, Z"),
    ("length mismatch", lambda n: ("ZZZ", [0], 1.0), lambda n: "3 Pauli letters but 1 qubits"),
    ("NaN coefficient", lambda n: ("Z", [0], math.nan), lambda n: "the coefficient is not finite"),
    ("complex coefficient", lambda n: ("Z", [0], 2j), lambda n: "the coefficient has the imaginary part 2: "
                                                                "the observable must be Hermitian"),
    ("not three items", lambda n: ("Z", [0], 1.0, 2.0),
     lambda n: "a term must be a sequence of three items (paulis, qubits, coefficient), not tuple"),
]


@given(data=valid_circuits(6), fault=st.sampled_from(OBSERVABLE_FAULTS), use_float32=st.booleans())
def test_expval_cpp_and_expval_grad_cpp_faulty_observable(data, fault, use_float32):
    n = data.num_qubits
    assume(n > 0)
    name, term, message = fault
    refuses("wavesim.expval_cpp", name, ValueError, "observable 0, term 0: " + message(n), wavesim.expval_cpp,
            data, [[term(n)]], use_float32)
    refuses("wavesim.expval_grad_cpp", name, ValueError, "term 0: " + message(n), wavesim.expval_grad_cpp,
            data, [term(n)], use_float32)


# One fault each: (fault, instruction or circuit change, error, message). Every
# builder gets a valid n >= 1 and returns the faulty instruction.

PREFIX = "apply_gate_single_batch: "


@st.composite
def unknown_name(draw, n):
    known = set(CATALOGUE) | set(SKIPPED) | set(nm.CHANNEL_PARAMS) | {"RESET", "Tdg"}
    name = draw(st.one_of(st.sampled_from(["h", "cx", "Rx", "RX ", " H", "CNOT\x00", "IsingZZ", "su4", "Sdg", "tdg",
                                           "U4", "CCCX", "", "é", "量子", "H" * 300, "measure", "Reset"]),
                          st.text(max_size=8)))
    assume(name not in known)
    return make(name, [draw(st.integers(0, n - 1))]), RuntimeError, f"Unknown gate: {name}"


@st.composite
def qubit_outside(draw, n):
    ins = draw(gate(n, 1, FINITE_ANGLE, kinds=("catalogue", "pair")))
    bad = draw(st.one_of(st.integers(n, n + 4), st.integers(-4, -1), st.sampled_from([INT32_MIN, INT32_MAX, 62, 63])))
    where = draw(st.sampled_from(["qubits", "controls"] if ins.controls else ["qubits"]))
    qubits = list(getattr(ins, where))
    qubits[draw(st.integers(0, len(qubits) - 1))] = bad
    setattr(ins, where, qubits)
    return ins, RuntimeError, f"{PREFIX}gate {ins.name} addresses qubit {bad}, outside a state of {n} qubits"


@st.composite
def repeated_target(draw, n):
    assume(n >= 2)
    ins = draw(gate(n, 1, FINITE_ANGLE, kinds=("catalogue", "pair")))
    assume(len(ins.qubits) == 2)
    # A plain two-target SWAP of one qubit is a no-op, not an error.
    assume(not (ins.name == "SWAP" and not ins.controls and not ins.dagger))
    ins.qubits = [ins.qubits[0], ins.qubits[0]]
    return ins, RuntimeError, f"{PREFIX}gate {ins.name} names qubit {ins.qubits[0]} twice among its targets"


@st.composite
def repeated_control(draw, n):
    ins = draw(gate(n, 1, FINITE_ANGLE, kinds=("catalogue",)))
    assume(len(ins.controls) >= 2)
    controls = list(ins.controls)
    controls[-1] = controls[0]
    ins.controls = controls
    return ins, RuntimeError, f"{PREFIX}gate {ins.name} names qubit {controls[0]} twice among its controls"


@st.composite
def control_on_target(draw, n):
    ins = draw(gate(n, 1, FINITE_ANGLE, kinds=("catalogue",)))
    assume(ins.controls)
    controls = list(ins.controls)
    q = draw(st.sampled_from(list(ins.qubits)))
    controls[draw(st.integers(0, len(controls) - 1))] = q
    ins.controls = controls
    return ins, RuntimeError, f"{PREFIX}gate {ins.name} uses qubit {q} as both control and target"


@st.composite
def unsupported_configuration(draw, n):
    ins = draw(gate(n, 1, FINITE_ANGLE, kinds=("catalogue",)))
    free = [q for q in range(n) if q not in ins.qubits and q not in ins.controls]
    if len(ins.qubits) == 2:
        ins.qubits = [ins.qubits[0]]  # a two-qubit matrix on one target
    elif draw(st.booleans()):
        ins.qubits = []
    else:
        assume(free and ins.name not in PAIR_FORM)
        ins.qubits = [ins.qubits[0], free[0]]  # a one-qubit matrix on two targets
    return ins, RuntimeError, (f"{PREFIX}unsupported configuration for gate {ins.name} (targets={len(ins.qubits)}, "
                               f"ctrls={len(ins.controls)}, matrix_size={matrix_size(ins.name)})")


@st.composite
def reset_outside(draw, n):
    q = draw(st.integers(n, n + 4))
    return make("RESET", [q]), RuntimeError, f"RESET addresses qubit {q}, outside a state of {n} qubits"


GATE_FAULTS = [unknown_name, qubit_outside, repeated_target, repeated_control, control_on_target,
               unsupported_configuration, reset_outside]


@st.composite
def faulty_circuits(draw, max_qubits):
    """A valid circuit (finite parameters) with one faulty instruction inserted."""
    n = draw(st.integers(1, max_qubits))
    fault = draw(st.sampled_from(GATE_FAULTS))
    bad, error, message = draw(fault(n))
    body = draw(st.lists(gate(n, 1, FINITE_ANGLE, kinds=("catalogue", "pair", "tdg")), max_size=6))
    body.insert(draw(st.integers(0, len(body))), bad)
    return fault.__name__, cc.CircuitData(n, body), error, message


@given(case=faulty_circuits(6), use_float32=st.booleans())
def test_cal_states_cpp_faulty_instruction(case, use_float32):
    fault, data, error, message = case
    refuses("wavesim.cal_states_cpp", fault, error, message, wavesim.cal_states_cpp, data, use_float32)


@st.composite
def faulty_sizes(draw):
    """Sizes no state can take: (fault, circuit, error, message)."""
    kind = draw(st.sampled_from(["out_of_range", "batched_too_large", "too_large_for_memory"]))
    if kind == "out_of_range":
        n = draw(st.one_of(st.integers(-5, -1), st.integers(63, 70), st.sampled_from([INT32_MIN, INT32_MAX])))
        return kind, cc.CircuitData(n, []), RuntimeError, "StateVector: num_qubits out of supported range"
    if kind == "batched_too_large":
        n = draw(st.integers(60, 62))
        body = [make("RX", [draw(st.integers(0, n - 1))], values=[0.1, 0.2, 0.3][:draw(st.integers(2, 3))])]
        return kind, cc.CircuitData(n, body), ValueError, "vector too long"
    n = draw(st.integers(45, 62))
    body = [make("H", [draw(st.integers(0, n - 1))])]
    return kind, cc.CircuitData(n, body), RuntimeError, "Failed to allocate memory for StateVector"


@given(case=faulty_sizes())
def test_cal_states_cpp_faulty_size(case):
    fault, data, error, message = case
    refuses("wavesim.cal_states_cpp", fault, error, message, wavesim.cal_states_cpp, data)


@given(n=st.integers(1, 4), bound=st.one_of(st.integers(), st.lists(FINITE_ANGLE, max_size=3), st.text(max_size=3),
                                             st.lists(st.integers(0, 3), max_size=3).map(lambda s: np.zeros(s))))
def test_cal_states_cpp_shaped_binding_without_tensor(n, bound):
    data = cc.CircuitData(n, [make("RY", [0], values=[0.1])], shaped_binding=True, bound_values=bound)
    refuses("wavesim.cal_states_cpp", "bound values not a tensor", RuntimeError, CAST_ERROR,
            wavesim.cal_states_cpp, data)


@given(extent=st.integers(INT32_MAX + 1, 2**62))
def test_cal_states_cpp_batch_count_beyond_int(extent):
    data = cc.CircuitData(1, [make("RY", [0], values=[0.1])], shaped_binding=True, value_shape_set=1,
                          value_shape=[1, extent, 1])
    refuses("wavesim.cal_states_cpp", "batch count overflow", OverflowError,
            f"batch count {extent} exceeds the supported range", wavesim.cal_states_cpp, data)


@pytest.mark.parametrize("bad", [None, 5, "circuit", cc.CircuitInstruction(), [cc.CircuitData(1)]])
def test_wavesim_refuses_non_circuits(bad):
    refuses("wavesim.cal_states_cpp", "not a circuit", TypeError, incompatible("cal_states_cpp"),
            wavesim.cal_states_cpp, bad)
    refuses("wavesim.run_cpp", "not a circuit", TypeError, incompatible("run_cpp"), wavesim.run_cpp, bad, 10, 1)


# ---------------------------------------------------------------- wavesim run_cpp

MAX_SHOTS = 40


@st.composite
def measured_circuits(draw, max_qubits, num_cbits):
    """A valid circuit with finite parameters, at least one MEASURE, and sometimes RESET."""
    n = draw(st.integers(1, max_qubits))
    batches = draw(st.integers(1, 2))
    steps = st.one_of(gate(n, batches, FINITE_ANGLE, kinds=("catalogue", "pair", "tdg", "skip")),
                      st.builds(lambda q: make("RESET", [q]), st.integers(0, n - 1)),
                      st.builds(lambda q, c: make("MEASURE", [q], [] if c is None else [c]), st.integers(0, n - 1),
                                st.one_of(st.none(), st.integers(0, num_cbits + 1))))
    body = draw(st.lists(steps, max_size=8))
    body.insert(draw(st.integers(0, len(body))), make("MEASURE", [draw(st.integers(0, n - 1))]))
    return cc.CircuitData(n, body)


@given(data=st.data(), num_cbits=st.integers(0, 5), shots=st.integers(-3, MAX_SHOTS), seed=st.integers(0, INT32_MAX),
       use_float32=st.booleans(), fusion=st.sampled_from(FUSIONS))
def test_run_cpp_valid(data, num_cbits, shots, seed, use_float32, fusion):
    circuit = data.draw(measured_circuits(4, num_cbits))
    counts = succeeds("wavesim.run_cpp", functools.partial(wavesim.run_cpp, fusion=fusion), circuit, shots, num_cbits,
                      seed, use_float32)
    test_wavesim_shots.expect_model_counts(counts, circuit, max(shots, 0), num_cbits, seed, use_float32)


RUN_FAULTS = ["no MEASURE", "MEASURE qubit outside", "MEASURE bit negative", "negative num_cbits",
              "NaN before a MEASURE", "faulty instruction"]


@st.composite
def faulty_runs(draw, kind):
    """(fault, circuit, num_cbits, shots, error, message) with one run_cpp fault of this kind."""
    n = draw(st.integers(1, 4))
    num_cbits = draw(st.integers(1, 4))
    shots = draw(st.integers(1, MAX_SHOTS))
    body = draw(st.lists(gate(n, 1, FINITE_ANGLE, kinds=("catalogue", "pair", "tdg")), max_size=6))
    if kind == "no MEASURE":
        return kind, cc.CircuitData(n, body), num_cbits, shots, RuntimeError, test_wavesim_shots.NO_MEASURE
    if kind == "faulty instruction":
        fault = draw(st.sampled_from(GATE_FAULTS))
        bad, error, message = draw(fault(n))
        body.insert(draw(st.integers(0, len(body))), bad)
        body.append(make("MEASURE", [0]))
        return fault.__name__, cc.CircuitData(n, body), num_cbits, shots, error, message
    if kind == "MEASURE qubit outside":
        q = draw(st.integers(n, n + 4))
        bad = make("MEASURE", [q], [draw(st.integers(0, num_cbits - 1))])
        error, message = RuntimeError, f"MEASURE addresses qubit {q}, outside a state of {n} qubits"
    elif kind == "MEASURE bit negative":
        c = draw(st.integers(INT32_MIN, -1))
        bad = make("MEASURE", [draw(st.integers(0, n - 1))], [c])
        error, message = RuntimeError, f"MEASURE addresses classical bit {c}, outside a register that starts at bit 0"
    elif kind == "negative num_cbits":
        num_cbits = draw(st.integers(-5, -1))
        bad = make("MEASURE", [0])
        error, message = ValueError, "vector too long"
    else:
        body.append(make(draw(st.sampled_from(["RX", "RZ", "P"])), [0],
                         values=[draw(st.sampled_from([math.nan, math.inf, -math.inf]))]))
        bad = make("MEASURE", [draw(st.integers(0, n - 1))], [draw(st.integers(0, num_cbits - 1))])
        error = RuntimeError
        message = ("Cannot sample measurement outcomes: the state's probabilities are not finite (NaN or infinite "
                   "amplitudes, for example from a NaN or infinite gate parameter)")
        body.append(bad)
        return kind, cc.CircuitData(n, body), num_cbits, shots, error, message
    body.insert(draw(st.integers(0, len(body))), bad)
    return kind, cc.CircuitData(n, body), num_cbits, shots, error, message


@pytest.mark.parametrize("kind", RUN_FAULTS)
@given(data=st.data(), seed=st.integers(-1, 1000), use_float32=st.booleans())
def test_run_cpp_faulty(kind, data, seed, use_float32):
    fault, circuit, num_cbits, shots, error, message = data.draw(faulty_runs(kind))
    refuses("wavesim.run_cpp", fault, error, message, wavesim.run_cpp, circuit, shots, num_cbits, seed, use_float32)


FUSION_MESSAGE = "fusion must be 0 (off), the most qubits a fused gate may act on (2 to 4) or 'auto'; got {}"


@given(fusion=st.integers(INT32_MIN, INT32_MAX).filter(lambda f: f not in FUSIONS)
       | st.text(max_size=6).filter(lambda f: f != "auto").map(repr), body=st.data())
def test_fusion_outside_the_settings_is_refused_first(fusion, body):
    # Checked before the circuit: a faulty instruction or size does not change the error.
    n = body.draw(st.integers(1, 62))
    gates = body.draw(st.lists(gate(n, 1, FINITE_ANGLE, kinds=("catalogue", "pair")), max_size=4))
    data = cc.CircuitData(n, gates + [make("NOT_A_GATE", [0]), make("MEASURE", [0])])
    message = FUSION_MESSAGE.format(fusion)
    if isinstance(fusion, str):  # drawn as its repr, the way the message quotes it
        fusion = eval(fusion)
    refuses("wavesim.cal_states_cpp", "fusion", ValueError, message,
            functools.partial(wavesim.cal_states_cpp, fusion=fusion), data)
    refuses("wavesim.run_cpp", "fusion", ValueError, message, functools.partial(wavesim.run_cpp, fusion=fusion), data,
            10, 1)


@given(num_qubits=st.integers(15, 62), body=st.data())
def test_run_cpp_large_register_without_measure_fails_first(num_qubits, body):
    # Large but valid sizes: the missing MEASURE must be reported before a state is allocated.
    gates = body.draw(st.lists(gate(num_qubits, 1, FINITE_ANGLE, kinds=("catalogue", "pair")), max_size=4))
    refuses("wavesim.run_cpp", "no MEASURE", RuntimeError, test_wavesim_shots.NO_MEASURE, wavesim.run_cpp,
            cc.CircuitData(num_qubits, gates), 10, 2)


@pytest.mark.parametrize("shots, num_cbits, seed", [(2**31, 1, 0), (1, 2**40, 0), (1, 1, 2**63), (1.5, 1, 0),
                                                     ("3", 1, 0)])
def test_run_cpp_refuses_unconvertible_integers(shots, num_cbits, seed):
    data = cc.CircuitData(1, [make("MEASURE", [0])])
    refuses("wavesim.run_cpp", "not an int32", TypeError, incompatible("run_cpp"), wavesim.run_cpp, data, shots,
            num_cbits, seed)


# ---------------------------------------------------------------- wavesim noise

CHANNELS = sorted(nm.CHANNEL_PARAMS)
PROBABILITY = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, 1.0]))


@st.composite
def probabilities(draw, k):
    """k probabilities that sum to at most 1 (one is any probability)."""
    if k == 1:
        return [draw(PROBABILITY)]
    weights = draw(st.lists(st.floats(0.0, 1.0), min_size=k, max_size=k))
    total, p = sum(weights), draw(PROBABILITY)
    # w / total first: p / total overflows for a subnormal total, and 0 * inf is a NaN
    return [min(w / total * p, 1.0) if total > 0 else 0.0 for w in weights]


@st.composite
def channel(draw, n, batches):
    """A channel that can be applied in every one of `batches` parameter sets, on n >= 1 qubits."""
    name = draw(st.sampled_from([c for c in CHANNELS if n >= 2 or c not in nm.TWO_QUBIT_CHANNELS]))
    width = 2 if name in nm.TWO_QUBIT_CHANNELS or (name == "KRAUS" and n >= 2 and draw(st.booleans())) else 1
    qubits = draw(st.permutations(range(n)))[:width]
    if name == "KRAUS":
        rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
        return nm.kraus_instruction(qubits, nm.random_isometry_kraus(rng, width, draw(st.integers(1, 4))))
    k = nm.CHANNEL_PARAMS[name]
    values = [v for _ in range(batches) for v in draw(probabilities(k))]
    return make(name, qubits, values=values[0] if len(values) == 1 and draw(st.booleans()) else values)


@st.composite
def noisy_circuits(draw, max_qubits, num_cbits=3, max_ops=10):
    """Gates, channels, MEASUREs (some outside the register) and RESETs, finite parameters."""
    n = draw(st.integers(1, max_qubits))
    batches = draw(st.integers(1, 3))
    op = st.one_of(gate(n, batches, FINITE_ANGLE, kinds=("catalogue", "pair", "tdg", "skip")), channel(n, batches),
                   channel(n, batches), st.builds(lambda q: make("RESET", [q]), st.integers(0, n - 1)),
                   st.builds(lambda q, c: make("MEASURE", [q], [c]), st.integers(0, n - 1),
                             st.integers(0, num_cbits + 1)))
    return cc.CircuitData(n, draw(st.lists(op, max_size=max_ops)))


def sets_of(result, data):
    return result if wavesim.batch_count(data) >= 2 else result[None]


@given(data=noisy_circuits(4), use_float32=st.booleans(), fusion=st.sampled_from(FUSIONS))
def test_density_matrix_cpp_and_noisy_expval_cpp_valid(data, use_float32, fusion):
    rho = succeeds("wavesim.density_matrix_cpp", functools.partial(wavesim.density_matrix_cpp, fusion=fusion), data,
                   use_float32)
    n = data.num_qubits
    observables = [[("Z" * n, list(range(n)), 1.0), ("X", [0], -0.5), ("", [], 0.25)]]
    values = succeeds("wavesim.expval_cpp", functools.partial(wavesim.expval_cpp, fusion=fusion), data, observables,
                      use_float32)
    tol = 1e-4 if use_float32 else 1e-11
    # Without a channel expval_cpp keeps the pure-state path (MEASURE leaves the state alone, RESET draws
    # one outcome), which is Tr(rho O) only when neither is there.
    exact = any(ins.name in nm.CHANNEL_PARAMS for ins in data.instructions) or \
        not any(ins.name in ("MEASURE", "RESET") for ins in data.instructions)
    for b, (got, value) in enumerate(zip(sets_of(rho, data), sets_of(values, data))):
        want = nm.density_matrix(data, b)
        np.testing.assert_allclose(got, want, rtol=0, atol=tol, err_msg=f"set {b}")
        if exact:
            np.testing.assert_allclose(value, [nm.expectation(want, o) for o in observables], rtol=0,
                                       atol=10 * tol)


@given(data=noisy_circuits(4), shots=st.integers(-2, MAX_SHOTS), seed=st.integers(0, INT32_MAX),
       use_float32=st.booleans(), fusion=st.sampled_from(FUSIONS),
       readout=st.one_of(st.none(), st.tuples(PROBABILITY, PROBABILITY), st.lists(
           st.tuples(PROBABILITY, PROBABILITY), min_size=3, max_size=3)))
def test_noisy_run_cpp_valid(data, shots, seed, use_float32, fusion, readout):
    circuit = cc.CircuitData(data.num_qubits, data.instructions + [make("MEASURE", [0], [0])])
    run = functools.partial(wavesim.run_cpp, fusion=fusion, readout_error=readout)
    counts = succeeds("wavesim.run_cpp noisy", run, circuit, shots, 3, seed, use_float32)
    assert counts == run(circuit, shots, 3, seed, use_float32)
    for b, got in enumerate(counts if wavesim.batch_count(circuit) >= 2 else [counts]):
        assert sum(got.values()) == max(shots, 0)
        support = nm.key_distribution(circuit, 3, b, readout_error=readout)
        assert set(got) <= set(support), (got, support)


@given(data=noisy_circuits(4), trajectories=st.integers(1, 60), seed=st.integers(-1, INT32_MAX),
       use_float32=st.booleans(), fusion=st.sampled_from(FUSIONS))
def test_expval_trajectories_cpp_valid(data, trajectories, seed, use_float32, fusion):
    n = data.num_qubits
    observables = [[("Z", [n - 1], 2.0), ("X", [0], -0.5)], []]
    run = functools.partial(wavesim.expval_trajectories_cpp, fusion=fusion)
    means, errors = succeeds("wavesim.expval_trajectories_cpp", run, data, observables, trajectories, seed,
                             use_float32)
    batches = wavesim.batch_count(data)
    assert means.shape == errors.shape == ((batches, 2) if batches >= 2 else (2,))
    assert np.all(np.abs(means) <= 2.5 + 1e-5) and np.all(means[..., 1] == 0)
    assert np.isnan(errors).all() if trajectories == 1 else np.all(errors >= 0)
    if seed >= 0:
        again = run(data, observables, trajectories, seed, use_float32)
        assert np.array_equal(means, again[0]) and np.array_equal(errors, again[1], equal_nan=True)
    noiseless = [ins for ins in data.instructions if ins.name not in nm.NON_UNITARY]
    if len(noiseless) == len(data.instructions):
        np.testing.assert_array_equal(means, wavesim.expval_cpp(data, observables, use_float32, fusion=fusion))


@st.composite
def faulty_channel(draw, n):
    """(fault, instruction, message after "instruction I (NAME)") on n >= 2 qubits."""
    kind = draw(st.sampled_from(["outside [0, 1]", "not finite", "sum above 1", "too few values", "controls",
                                 "dagger", "qubit count", "repeated qubit", "qubit outside", "KRAUS blocks",
                                 "KRAUS incomplete", "KRAUS not finite"]))
    if kind.startswith("KRAUS"):
        width = draw(st.integers(1, 2))
        qubits = draw(st.permutations(range(n)))[:width]
        kraus = nm.random_isometry_kraus(np.random.default_rng(draw(st.integers(0, 1000))), width, 2)
        flat = list(np.concatenate([k.flatten(order="F") for k in kraus]))
        d = 1 << width
        if kind == "KRAUS blocks":
            flat = flat[:len(flat) - draw(st.integers(1, d * d - 1))]
            message = (f": {len(flat)} matrix entries are not whole {d}x{d} blocks (its Kraus operators one after "
                       "another)")
        elif kind == "KRAUS not finite":
            flat[draw(st.integers(0, len(flat) - 1))] = draw(st.sampled_from([math.nan, math.inf]))
            message = ": an entry of its matrix is not finite"
        else:
            flat = [v * 1.01 for v in flat]
            message = None  # the size of the difference is the model's
        ins = cc.CircuitInstruction(name="KRAUS", qubits=list(qubits), matrix=flat)
        if message is None:
            total = sum(k.conj().T @ k for k in nm.matrix_blocks(flat, width))
            error = float(np.abs(total - np.eye(d)).max())
            message = (f": its Kraus operators are not complete (sum K^dagger K differs from the identity by "
                       f"{error:g}, more than 1e-09)")
        return kind, ins, message
    pool = {"sum above 1": ["PAULI_CHANNEL_1", "PAULI_CHANNEL_2"], "repeated qubit": sorted(nm.TWO_QUBIT_CHANNELS)}
    name = draw(st.sampled_from(pool.get(kind, [c for c in CHANNELS if c != "KRAUS"])))
    k = nm.CHANNEL_PARAMS[name]
    width = 2 if name in nm.TWO_QUBIT_CHANNELS else 1
    qubits = draw(st.permutations(range(n)))[:width]
    values = draw(probabilities(k))
    controls, dagger = [], False
    if kind == "outside [0, 1]":
        bad = draw(st.one_of(st.floats(1.0, 1e300, exclude_min=True), st.floats(-1e300, 0.0, exclude_max=True)))
        values[draw(st.integers(0, k - 1))] = bad
        message = f": the probability {bad:g} is outside [0, 1]"
    elif kind == "not finite":
        bad = draw(st.sampled_from([math.nan, math.inf, -math.inf]))
        values[draw(st.integers(0, k - 1))] = bad
        message = f": the value {bad:g} is not finite"
    elif kind == "sum above 1":
        values = [draw(st.floats(0.5, 1.0)) for _ in range(k)]
        message = f": its probabilities sum to {sum(values):g}, above 1"
    elif kind == "too few values":
        values = values[:draw(st.integers(0, k - 1))]
        message = f" has {len(values)} values, fewer than the {k} a set of it takes"
    elif kind == "controls":
        free = [q for q in range(n) if q not in qubits]
        assume(free)
        controls = [free[0]]
        message = ": a noise channel takes no controls"
    elif kind == "dagger":
        dagger = True
        message = ": a noise channel takes no dagger"
    elif kind == "qubit count":
        qubits = draw(st.permutations(range(n)))[:3 - width] if n >= 3 - width else qubits[:1]
        assume(len(qubits) != width)
        message = f" acts on {width} qubits, not {len(qubits)}"
    elif kind == "repeated qubit":
        qubits = [qubits[0], qubits[0]]
        message = f" names qubit {qubits[0]} twice"
    else:
        bad = draw(st.one_of(st.integers(n, n + 5), st.integers(-5, -1)))
        qubits = [bad] + qubits[1:]
        message = f" addresses qubit {bad}, outside a state of {n} qubits"
    return kind, make(name, qubits, controls, values, dagger), message


NOISY_ENTRIES = {
    "wavesim.density_matrix_cpp": lambda data: wavesim.density_matrix_cpp(data),
    "wavesim.expval_cpp noisy": lambda data: wavesim.expval_cpp(data, [[("Z", [0], 1.0)]]),
    "wavesim.run_cpp noisy": lambda data: wavesim.run_cpp(data, 10, 2, 1),
    "wavesim.expval_trajectories_cpp": lambda data: wavesim.expval_trajectories_cpp(data, [[("Z", [0], 1.0)]], 5),
}


@given(case=st.data(), n=st.integers(2, 4), entry=st.sampled_from(sorted(NOISY_ENTRIES)))
def test_noisy_entries_faulty_channel(case, n, entry):
    kind, bad, message = case.draw(faulty_channel(n))
    body = case.draw(noisy_circuits(n, max_ops=4).map(lambda d: list(d.instructions)))
    body = [ins for ins in body if not ins.has_param or wavesim.batch_count(cc.CircuitData(n, [ins])) < 2]
    at = case.draw(st.integers(0, len(body)))
    data = cc.CircuitData(n, body[:at] + [bad] + body[at:] + [make("MEASURE", [0])])
    refuses(entry, kind, ValueError, f"instruction {at} ({bad.name})" + message, NOISY_ENTRIES[entry], data)


@given(data=noisy_circuits(3), channel_at=st.data())
def test_pure_state_entries_refuse_channels(data, channel_at):
    n = data.num_qubits
    ins = channel_at.draw(channel(n, 1))
    body = list(data.instructions)
    at = channel_at.draw(st.integers(0, len(body)))
    body.insert(at, ins)
    first = next(i for i, x in enumerate(body) if x.name in nm.CHANNEL_PARAMS)
    data = cc.CircuitData(n, body)
    where = f"instruction {first} ({body[first].name}) is a noise channel: "
    refuses("wavesim.cal_states_cpp", "channel", ValueError,
            "cal_states_cpp: " + where + "a pure state cannot hold a mixture; density_matrix_cpp, expval_cpp, "
            "expval_trajectories_cpp and run_cpp take noisy circuits", wavesim.cal_states_cpp, data)
    refuses("wavesim.expval_grad_cpp", "channel", ValueError,
            "expval_grad_cpp: " + where + "gradients are computed for noiseless circuits only",
            wavesim.expval_grad_cpp, data, [("Z", [0], 1.0)])


READOUT_MESSAGE = "readout_error must be None, a pair (p(1|0), p(0|1)) or a sequence of such pairs"


@given(num_cbits=st.integers(2, 4), bad=st.one_of(
    st.tuples(st.just("probability"), st.floats().filter(lambda p: not 0 <= p <= 1)),
    st.tuples(st.just("count"), st.integers(2, 7)),
    st.tuples(st.just("shape"), st.sampled_from(["0.1", 0.1, [0.1, 0.2, 0.3], [[0.1]], [(0.1, "x")], {0.1: 1}]))))
@example(num_cbits=2, bad=("probability", -math.nan))  # a NaN with its sign bit set is still shown "nan"
def test_run_cpp_faulty_readout(num_cbits, bad):
    kind, value = bad
    data = cc.CircuitData(2, [make("H", [0]), make("MEASURE", [0], [0])])
    if kind == "probability":
        readout, message = [(0.1, 0.2)] * (num_cbits - 1) + [(value, 0.0)], \
            f"readout_error: pair {num_cbits - 1} holds {value:g}, not a probability in [0, 1]"
    elif kind == "count":
        assume(value != num_cbits)
        readout, message = [(0.0, 0.0)] * value, (f"readout_error: {value} pairs for {num_cbits} classical bits (give "
                                                  "one pair for every bit, or one pair per bit)")
    else:
        readout, message = value, READOUT_MESSAGE
    refuses("wavesim.run_cpp noisy", f"readout {kind}", ValueError, message,
            functools.partial(wavesim.run_cpp, readout_error=readout), data, 5, num_cbits, 1)


@given(trajectories=st.integers(INT32_MIN, 0))
def test_expval_trajectories_cpp_faulty_count(trajectories):
    data = cc.CircuitData(1, [make("X_ERROR", [0], values=[0.1])])
    refuses("wavesim.expval_trajectories_cpp", "trajectories", ValueError,
            f"trajectories must be at least 1, not {trajectories}", wavesim.expval_trajectories_cpp, data,
            [[("Z", [0], 1.0)]], trajectories)


# ---------------------------------------------------------------- brickgen

BRICKGEN = {"build_qv_op_list": brickgen.build_qv_op_list, "build_qv_op_list_ultra": brickgen.build_qv_op_list_ultra}


@given(n=st.integers(0, 12), unused=st.integers(INT32_MIN, INT32_MAX), seed=st.integers(INT32_MIN, INT32_MAX),
       name=st.sampled_from(sorted(BRICKGEN)))
def test_brickgen_valid(n, unused, seed, name):
    records = succeeds(f"brickgen.{name}", BRICKGEN[name], n, unused, seed)
    assert len(records) == n * (n // 2)
    for k, r in enumerate(records):
        assert r.name == "su4" and len(r.controls) == 1 and len(r.qubits) == 1
        assert r.controls[0] != r.qubits[0] and 0 <= r.controls[0] < n and 0 <= r.qubits[0] < n
        np.testing.assert_allclose(test_brickgen.as_matrix(r),
                                   test_brickgen.reference_unitary(test_brickgen.record_seed(seed, k)),
                                   atol=test_brickgen.TOL, rtol=0)


@given(n=st.one_of(st.integers(INT32_MIN, -1), st.integers(65536, INT32_MAX)), seed=st.integers(INT32_MIN, INT32_MAX),
       name=st.sampled_from(sorted(BRICKGEN)))
def test_brickgen_faulty_size(n, seed, name):
    message = ("number of qubits must not be negative" if n < 0 else
               "number of qubits too large: the list would exceed 2147483647 records")
    refuses(f"brickgen.{name}", "size", ValueError, message, BRICKGEN[name], n, 0, seed)


ANY_ARG = st.one_of(st.integers(INT32_MIN, INT32_MAX), st.sampled_from(NOT_INT32), st.floats(), st.none(),
                    st.text(max_size=3))


@given(args=st.tuples(ANY_ARG, ANY_ARG, ANY_ARG), name=st.sampled_from(sorted(BRICKGEN)))
def test_brickgen_wrong_types(args, name):
    assume(not all(type(a) is int and INT32_MIN <= a <= INT32_MAX for a in args))
    refuses(f"brickgen.{name}", "not an int32", TypeError, incompatible(name), BRICKGEN[name], *args)


# ---------------------------------------------------------------- ansatzkit

BLOCK_NAMES = test_ansatzkit.ONE_QUBIT + test_ansatzkit.TWO_QUBIT
MAPS = test_ansatzkit.MAPS


@st.composite
def ansatz_configs(draw):
    """(n, rotations, entanglers, maps, reps, prefix, final), all names and maps known."""
    n = draw(st.integers(1, 7))
    rotations = draw(st.lists(st.sampled_from(BLOCK_NAMES), max_size=3))
    entanglers = draw(st.lists(st.sampled_from(BLOCK_NAMES), max_size=3))
    maps = draw(st.lists(st.sampled_from(MAPS), min_size=len(entanglers), max_size=len(entanglers) + 1))
    return n, rotations, entanglers, maps, draw(st.integers(0, 3)), draw(st.text(max_size=4)), draw(st.booleans())


def build_ansatz(n, rotations, entanglers, maps, reps, prefix, final):
    return ansatzkit.build_n_local_data(n, rotations, entanglers, maps, reps, False, prefix, final, False, "")


def blocks(names):
    return [test_ansatzkit.Gate(g) for g in names]


@given(config=ansatz_configs())
def test_ansatzkit_valid(config):
    n, rotations, entanglers, maps, reps, prefix, final = config
    circuit = succeeds("ansatzkit", build_ansatz, n, blocks(rotations), blocks(entanglers), maps, reps, prefix, final)
    assert circuit.num_qubits == n
    assert test_ansatzkit.placed(circuit) == test_ansatzkit.reference_circuit(n, rotations, entanglers, maps, reps,
                                                                              prefix, final)
    assert circuit.params.size == len(circuit.params.entries) == sum(ins.has_param for ins in circuit.instructions)


@st.composite
def faulty_ansatz(draw):
    """One fault in a config whose layers run: (fault, args, error, message)."""
    n, rotations, entanglers, maps, _, prefix, final = draw(ansatz_configs())
    reps = draw(st.integers(1, 3))
    kind = draw(st.sampled_from(["unknown block", "no __name__", "__name__ not a string", "unknown map",
                                 "missing map"]))
    rot, ent = blocks(rotations), blocks(entanglers)
    if kind == "unknown map":
        ent.append(test_ansatzkit.Gate(draw(st.sampled_from(test_ansatzkit.TWO_QUBIT))))
        bad = draw(st.one_of(st.sampled_from(["Full", "", "linear\x00", "circle"]), st.text(max_size=6)))
        assume(bad not in MAPS)
        maps = maps[:len(entanglers)] + [bad]
        assume(n >= 2)
        return kind, (n, rot, ent, maps, reps, prefix, final), RuntimeError, f"entanglement type {bad} not supported"
    if kind == "missing map":
        name = draw(st.sampled_from(test_ansatzkit.TWO_QUBIT))
        ent.append(test_ansatzkit.Gate(name))
        maps = maps[:len(entanglers)]
        message = f"no entanglement map for entanglement block {len(ent) - 1} ({name})"
        return kind, (n, rot, ent, maps, reps, prefix, final), IndexError, message
    target = draw(st.sampled_from(["rotation", "entangler"]))
    if kind == "unknown block":
        name = draw(st.one_of(st.sampled_from(["ry", "CY", "CU3", "", "é", "IsingXX"]), st.text(max_size=5)))
        assume(name not in BLOCK_NAMES)
        block, error, message = test_ansatzkit.Gate(name), IndexError, "invalid unordered_map<K, T> key"
    elif kind == "no __name__":
        block = draw(st.sampled_from([5, None, "RY", 2.5]))
        error, message = AttributeError, f"'{type(block).__name__}' object has no attribute '__name__'"
    else:
        block = types.SimpleNamespace(__name__=draw(st.sampled_from([7, None, 1.5, ["RY"]])))
        error, message = RuntimeError, CAST_ERROR
    if target == "rotation":
        rot.insert(draw(st.integers(0, len(rot))), block)
    else:
        ent.insert(draw(st.integers(0, len(ent))), block)
        maps = maps + ["linear"]
    return kind, (n, rot, ent, maps, reps, prefix, final), error, message


@given(case=faulty_ansatz())
def test_ansatzkit_faulty(case):
    fault, args, error, message = case
    refuses("ansatzkit", fault, error, message, build_ansatz, *args)


@pytest.mark.parametrize("n, rotations, entanglers, maps", [
    (1, [], ["CX"], ["linear"]), (0, ["RY"], ["H"], []), (5, [], [], []), (-4, ["RZ"], ["RZZ"], ["full"])])
def test_ansatzkit_huge_repetitions_that_place_nothing(n, rotations, entanglers, maps):
    # Regression: 2**31 - 1 empty repetitions were walked one by one (about a minute per call).
    circuit = build_ansatz(n, blocks(rotations), blocks(entanglers), maps, INT32_MAX, "t", True)
    assert circuit.instructions == [] and circuit.params.size == 0


@pytest.mark.parametrize("args", [
    (2, "RY", [], [], 1, False, "t", False, False, ""),
    (2, [], [], [], 1.5, False, "t", False, False, ""),
    (2**31, [], [], [], 1, False, "t", False, False, ""),
    (2, [], [], [], 1, False, None, False, False, ""),
    (2, [], [], [], 1, False, "t", False, False),
])
def test_ansatzkit_wrong_types(args):
    refuses("ansatzkit", "wrong type", TypeError, incompatible("build_n_local_data"), ansatzkit.build_n_local_data,
            *args)


# ---------------------------------------------------------------- cliffmix

CLIFFORD = test_cliffmix.ALL_GATES
TWO_QUBIT = test_cliffmix.TWO_QUBIT
SUPPORTED = "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h"
# The random builder folds a selection's names to lower case, A-Z only, before it looks them up.
SELECTION_CASE_FOLD = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)


def any_case(name):
    return st.sampled_from([name, name.upper(), name.capitalize()])


@st.composite
def selections(draw, n):
    """("all" or a non-empty list or tuple of names in any case, the lower-case names drawn over)."""
    if draw(st.integers(0, 3)) == 0:
        names = CLIFFORD
        assume(n >= 2)
        return "all", names
    pool = CLIFFORD if n >= 2 else [g for g in CLIFFORD if g not in TWO_QUBIT]
    names = draw(st.lists(st.sampled_from(pool), min_size=1, max_size=5))
    given_names = [draw(any_case(g)) for g in names]
    return (tuple(given_names) if draw(st.booleans()) else given_names), names


@given(data=st.data(), n=st.integers(1, 10), count=st.integers(0, 150), seed=st.integers(0, INT32_MAX))
def test_cliffmix_random_valid(data, n, count, seed):
    gates, names = data.draw(selections(n))
    circuit = succeeds("cliffmix.build_random_clifford_data", cliffmix.build_random_clifford_data, n, count, gates,
                       seed)
    assert circuit.num_qubits == n
    assert test_cliffmix.summary(circuit) == test_cliffmix.model_circuit(n, count, names, seed)


@st.composite
def faulty_random_clifford(draw):
    """(fault, (num_qubits, num_gates, gates, seed), error, message) with one fault."""
    n = draw(st.integers(2, 10))
    count = draw(st.integers(0, 50))
    gates, _ = draw(selections(n))
    seed = draw(st.integers(-1, 100))
    kind = draw(st.sampled_from(["num_qubits", "num_gates", "selection string", "selection type", "empty",
                                 "item type", "unsupported", "two-qubit on one"]))
    if kind == "num_qubits":
        return kind, (draw(st.integers(INT32_MIN, 0)), count, gates, seed), ValueError, "num_qubits must be >= 1"
    if kind == "num_gates":
        return kind, (n, draw(st.integers(INT32_MIN, -1)), gates, seed), ValueError, "num_gates must be >= 0"
    if kind in ("selection string", "selection type"):
        bad = draw(st.sampled_from(["ALL", "all ", "", "h", "cx"]) if kind == "selection string"
                   else st.sampled_from([None, 3, b"all", {"h"}, 2.5]))
        return kind, (n, count, bad, seed), ValueError, test_cliffmix.SELECTION_MESSAGE
    if kind == "empty":
        return kind, (n, count, draw(st.sampled_from([[], ()])), seed), ValueError, "gates list must not be empty"
    names = list(gates) if gates != "all" else list(CLIFFORD)
    if kind == "item type":
        names.insert(draw(st.integers(0, len(names))), draw(st.sampled_from([3, None, 1.5, ["h"]])))
        return kind, (n, count, names, seed), RuntimeError, CAST_ERROR
    if kind == "unsupported":
        bad = draw(st.one_of(st.sampled_from(["ccx", "t", "", "é", "h ", "swap2", "all"]), st.text(max_size=4)))
        shown = bad.translate(SELECTION_CASE_FOLD)
        assume(shown not in CLIFFORD and bad.isprintable())
        names.insert(draw(st.integers(0, len(names))), bad)
        return kind, (n, count, names, seed), ValueError, f"Unsupported gate '{shown}{SUPPORTED}"
    names.append(draw(st.sampled_from(sorted(TWO_QUBIT))))
    names = [g for g in names if g.lower() in TWO_QUBIT or draw(st.booleans())]
    return kind, (1, count, names, seed), ValueError, "Two-qubit gates require num_qubits >= 2"


@given(case=faulty_random_clifford())
def test_cliffmix_random_faulty(case):
    fault, args, error, message = case
    refuses("cliffmix.build_random_clifford_data", fault, error, message, cliffmix.build_random_clifford_data, *args)


def expected_from_indices(names, indices):
    """SWAP keeps every index in qubits; cx/cz/cy write controls=[a], qubits=[b]; the rest qubits=[a]."""
    out = []
    for g, qubits in zip(names, indices):
        if g == "swap":
            out.append(("SWAP", list(qubits), []))
        elif g in TWO_QUBIT:
            out.append((g.upper(), [qubits[1]], [qubits[0]]))
        else:
            out.append((g.upper(), [qubits[0]], []))
    return out


@st.composite
def index_lists(draw, n, names):
    """Valid qubit lists: in range, two distinct for a two-qubit gate, SWAP sometimes given more."""
    out = []
    for g in names:
        if g in TWO_QUBIT:
            pair = draw(st.permutations(range(n)))[:2]
            extra = draw(st.lists(st.integers(0, n - 1), max_size=2)) if g == "swap" else []
            out.append(list(pair) + extra)
        else:
            out.append([draw(st.integers(0, n - 1))])
    return out


@given(data=st.data(), n=st.integers(2, 8), names=st.lists(st.sampled_from(CLIFFORD), max_size=6))
def test_cliffmix_from_indices_valid(data, n, names):
    indices = data.draw(index_lists(n, names))
    circuit = succeeds("cliffmix.build_random_clifford_from_indices", cliffmix.build_random_clifford_from_indices, n,
                       names, indices)
    assert test_cliffmix.summary(circuit) == expected_from_indices(names, indices)


@st.composite
def faulty_from_indices(draw):
    n = draw(st.integers(2, 8))
    names = draw(st.lists(st.sampled_from(CLIFFORD), min_size=1, max_size=5))
    indices = draw(index_lists(n, names))
    kind = draw(st.sampled_from(["num_qubits", "lengths", "unsupported", "too short", "outside", "same qubit"]))
    if kind == "num_qubits":
        return kind, (draw(st.integers(INT32_MIN, 0)), names, indices), ValueError, "num_qubits must be >= 1"
    if kind == "lengths":
        indices = indices[:-1] if draw(st.booleans()) else indices + [[0]]
        return kind, (n, names, indices), ValueError, "gate_names and qubit_indices must have the same length"
    i = draw(st.integers(0, len(names) - 1))
    g = names[i]
    if kind == "unsupported":
        bad = draw(st.one_of(st.sampled_from(["H", "Cx", "ccx", "", "é", "all"]), st.text(max_size=4)))
        assume(bad not in CLIFFORD and bad.isprintable())
        names = names[:i] + [bad] + names[i + 1:]
        return kind, (n, names, indices), ValueError, f"Unsupported gate '{bad}{SUPPORTED}"
    need = 2 if g in TWO_QUBIT else 1
    if kind == "too short":
        indices[i] = indices[i][:draw(st.integers(0, need - 1))]
        message = f"qubit_indices[{i}] has {len(indices[i])} qubit index(es); gate '{g}' needs {need}"
        return kind, (n, names, indices), ValueError, message
    if kind == "outside":
        k = draw(st.integers(0, len(indices[i]) - 1))
        bad = draw(st.one_of(st.integers(n, n + 4), st.integers(INT32_MIN, -1)))
        indices[i][k] = bad
        message = f"qubit_indices[{i}][{k}] = {bad} is outside the qubit range 0 ... {n - 1}"
        return kind, (n, names, indices), ValueError, message
    assume(g in TWO_QUBIT)
    indices[i] = [indices[i][0], indices[i][0]] + indices[i][2:]
    message = f"qubit_indices[{i}]: gate '{g}' needs two different qubits, got {indices[i][0]} twice"
    return kind, (n, names, indices), ValueError, message


@given(case=faulty_from_indices())
def test_cliffmix_from_indices_faulty(case):
    fault, args, error, message = case
    refuses("cliffmix.build_random_clifford_from_indices", fault, error, message,
            cliffmix.build_random_clifford_from_indices, *args)


@given(args=st.tuples(st.one_of(st.integers(-2, 5), st.sampled_from(NOT_INT32), st.none(), st.floats()),
                      st.one_of(st.lists(st.sampled_from(CLIFFORD), max_size=2), st.just("h"), st.none(),
                                st.just([1])),
                      st.one_of(st.lists(st.lists(st.integers(0, 3))), st.just([[2**40]]), st.just([["0"]]))))
def test_cliffmix_from_indices_wrong_types(args):
    n, names, indices = args
    assume(not (type(n) is int and INT32_MIN <= n <= INT32_MAX and isinstance(names, list)
                and all(isinstance(g, str) for g in names) and indices not in ([[2**40]], [["0"]])))
    refuses("cliffmix.build_random_clifford_from_indices", "wrong type", TypeError,
            incompatible("build_random_clifford_from_indices"), cliffmix.build_random_clifford_from_indices, *args)
