"""expval_cpp, expval_grad_cpp and param_columns against NumPy on the amplitudes of
cal_states_cpp (dense Pauli matrices, or Paulis applied one by one with the reference
model's gate loop on larger states), central differences, exact shift rules, and every
refusal, raised before anything runs."""

import math
import re
import zlib

import numpy as np
import pytest
from hypothesis import given, strategies as st

import circuitcore as cc
import ansatzkit
import wavesim

import reference_model as ref
from wavesim_circuits import instruction, random_circuit
from pauli_reference import expectation, terms
from test_fuzz import valid_circuits

DOUBLE_TOL = 1e-12
FLOAT_TOL = 1e-5
FD_STEP = 1e-5
FD_TOL = 1e-8
SHIFT_TOL = 1e-10
MAPS = ["full", "linear", "reverse_linear", "pairwise", "circular"]
PARAMETRISED = sorted(name for table in (ref.ONE_QUBIT, ref.TWO_QUBIT, ref.CONTROLLED)
                      for name, entry in table.items() if entry[0] > 0)


def circuit(n, instructions, **kwargs):
    return cc.CircuitData(n, instructions, **kwargs)


def with_values(data, index, values):
    instructions = data.instructions
    instructions[index].param = cc.ParamBinding(instructions[index].param.name, values)
    data.instructions = instructions
    return data


def shifted(data, index, slot, delta):
    """The circuit with value `slot` of instruction `index` moved by delta (a single run)."""
    copy = circuit(data.num_qubits, data.instructions)
    value = copy.instructions[index].param.value
    values = [value] if isinstance(value, float) else list(value)
    values[slot] += delta
    return with_values(copy, index, values)


def value_of(data, observable):
    return wavesim.expval_cpp(data, [observable])[0]


def central_difference(data, observable, index, slot):
    up = value_of(shifted(data, index, slot, FD_STEP), observable)
    down = value_of(shifted(data, index, slot, -FD_STEP), observable)
    return (up - down) / (2 * FD_STEP)


# ---------------------------------------------------------------- expectation values

@given(data=valid_circuits(8), observables=st.data(), use_float32=st.booleans())
def test_values_match_the_amplitudes_of_cal_states(data, observables, use_float32):
    n = data.num_qubits
    drawn = [observables.draw(terms(n)) for _ in range(observables.draw(st.integers(1, 3)))]
    got = wavesim.expval_cpp(data, drawn, use_float32)
    states = wavesim.cal_states_cpp(data, use_float32)
    rows = states.reshape(-1, 1 << n)
    want = np.array([[expectation(row, o) for o in drawn] for row in rows])
    assert got.dtype == np.float64
    assert got.shape == (want.shape if states.ndim == 2 else want.shape[1:])
    np.testing.assert_allclose(got.reshape(want.shape), want, atol=FLOAT_TOL if use_float32 else DOUBLE_TOL,
                               rtol=0)


# 13 qubits and more: chunks paired with partner chunks; above 14, the passes use every thread.
@pytest.mark.parametrize("n", [9, 13, 15, 17])
@pytest.mark.parametrize("use_float32", [False, True])
def test_larger_states_match_paulis_applied_one_by_one(n, use_float32):
    data = random_circuit(300 + n, n, 20)
    top = n - 1
    observables = [
        [("X", [top], 0.7), ("Y", [top - 1], -0.4), ("XY", [top, 0], 0.3), ("ZZ", [0, top], 1.1)],
        [("Z" * n, list(range(n)), 0.5), ("X" * n, list(range(n)), -0.25), ("", [], 2.0)],
        [("YZ", [q, (q + 5) % n], 0.1 * q) for q in range(n)],
    ]
    got = wavesim.expval_cpp(data, observables, use_float32)
    psi = wavesim.cal_states_cpp(data, use_float32)
    want = [expectation(psi, o) for o in observables]
    np.testing.assert_allclose(got, want, atol=FLOAT_TOL if use_float32 else DOUBLE_TOL, rtol=0)


@pytest.mark.parametrize("n, batches", [(1, 3), (3, 5), (6, 16), (10, 3), (16, 2)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_batched_rows_are_the_single_runs_bit_for_bit(n, batches, use_float32):
    # Sets spread over threads or a team of threads on one set: sums are added exactly either way.
    data = random_circuit(40 + n, n, 30, batches=batches)
    observables = [[("Z", [0], 1.0), ("X" * n, list(range(n)), 0.5)], [("", [], 1.5), ("Y", [n - 1], 2.0)]]
    rows = wavesim.expval_cpp(data, observables, use_float32)
    assert rows.shape == (batches, 2)
    grad_observable = observables[0]
    values, grads = wavesim.expval_grad_cpp(data, grad_observable, use_float32)
    assert values.shape == (batches,) and grads.shape == (batches, len(wavesim.param_columns(data)))
    for b in range(batches):
        single = circuit(n, [ins.__copy__() for ins in data.instructions])
        instructions = single.instructions
        for ins in instructions:
            ins.param = cc.ParamBinding("", ref.values_for_batch(ins.param.value, ins.name, b))
        single.instructions = instructions
        assert rows[b].tobytes() == wavesim.expval_cpp(single, observables, use_float32).tobytes()
        value, grad = wavesim.expval_grad_cpp(single, grad_observable, use_float32)
        assert values[b].tobytes() == value.tobytes() and grads[b].tobytes() == grad.tobytes()


def torch_tensor(shape):
    torch = pytest.importorskip("torch")
    return torch.zeros(shape)


@pytest.mark.parametrize("binding, rows", [
    (lambda: {"value_shape_set": 1, "value_shape": [1, 3, 1]}, 3),
    (lambda: {"value_shape_set": 1, "value_shape": [1, 1, 1]}, 0),
    (lambda: {"bound_values": torch_tensor((2, 3, 1))}, 3),
])
def test_shaped_bindings_give_the_rows_of_cal_states(binding, rows):
    data = circuit(2, [instruction("H", [0]), instruction("RY", [1], values=[0.3, 0.6, 0.9])],
                   shaped_binding=True, **binding())
    observable = [("ZX", [1, 0], 1.0), ("Z", [1], 0.5)]
    got = wavesim.expval_cpp(data, [observable])
    states = wavesim.cal_states_cpp(data)
    assert got.shape == ((rows, 1) if rows else (1,))
    want = [expectation(row, observable) for row in states.reshape(-1, 4)]
    np.testing.assert_allclose(got.reshape(-1), want, atol=DOUBLE_TOL, rtol=0)


def test_identity_and_empty_observables():
    data = random_circuit(5, 3, 10)
    got = wavesim.expval_cpp(data, [[("", [], 2.5)], [], [("II", [0, 2], -1.0), ("I", [1], 0.5)]])
    np.testing.assert_allclose(got, [2.5, 0.0, -0.5], atol=DOUBLE_TOL, rtol=0)
    assert wavesim.expval_cpp(data, []).shape == (0,)
    value, grads = wavesim.expval_grad_cpp(data, [])
    assert value.shape == () and value == 0.0 and not grads.any()
    # On a NaN state an observable without terms still reads 0, as it does alone and in the
    # gradient, whatever the observables beside it read.
    broken = circuit(1, [instruction("RX", [0], values=[0.3, math.nan])])
    got = wavesim.expval_cpp(broken, [[], [("", [], 0.0)]])
    assert got[:, 0].tolist() == [0.0, 0.0] and math.isnan(got[1, 1])
    assert wavesim.expval_grad_cpp(broken, [])[0].tolist() == [0.0, 0.0]


def test_measure_barrier_and_a_certain_reset_leave_the_state_of_cal_states():
    data = circuit(3, [instruction("X", [1]), instruction("RY", [0], values=np.pi), instruction("BARRIER", [0]),
                       instruction("MEASURE", [2], [0]), instruction("RESET", [0]), instruction("H", [2]),
                       instruction("QIF", [1])])
    observable = [("Z", [1], 1.0), ("X", [2], 0.5), ("Z", [0], 0.25)]
    np.testing.assert_allclose(wavesim.expval_cpp(data, [observable]), [expectation(wavesim.cal_states_cpp(data),
                                                                                    observable)], atol=DOUBLE_TOL)


def test_numbers_and_sequences_of_python_and_numpy_are_taken():
    data = random_circuit(9, 3, 10)
    plain = [("XZ", [0, 2], 1.0), ("Y", [1], -2.0), ("Z", [1], 3.0)]
    other = [(np.str_("XZ"), np.array([0, 2]), np.float32(1.0)), ("Y", (np.int64(1),), complex(-2, 0)),
             ("Z", [True], np.complex128(3))]
    assert wavesim.expval_cpp(data, [plain]).tobytes() == wavesim.expval_cpp(data, (other,)).tobytes()


# ---------------------------------------------------------------- gradients

UNDER_TEST = "under test"


def seed_of(*key):
    return zlib.crc32(repr(key).encode())


def random_gate_circuit(rng, n, name, controls, open_controls, dagger):
    """H on every qubit and random gates of the whole vocabulary around two gates `name`, whose
    parameters are named UNDER_TEST."""
    k = ref.param_count(name)
    targets = 2 if name in ref.TWO_QUBIT else 1
    count = (ref.CONTROLLED[name][2] if name in ref.CONTROLLED else 0) + controls

    def under_test():
        order = [int(q) for q in rng.permutation(n)]
        state = "".join("0" if i < open_controls else "1" for i in range(count))
        values = [float(v) for v in rng.uniform(-np.pi, np.pi, k)]
        gate = instruction(name, order[:targets], order[targets:targets + count], values, dagger, state)
        gate.param = cc.ParamBinding(UNDER_TEST, values)
        return gate

    body = [instruction("H", [q]) for q in range(n)]
    for _ in range(3):
        body += random_circuit(int(rng.integers(1 << 30)), n, 2).instructions[n:]
    body.insert(n + 2, under_test())
    body.append(under_test())
    return circuit(n, body)


def random_observable(rng, n, count=4):
    out = []
    for _ in range(count):
        size = int(rng.integers(1, n + 1))
        out.append(("".join(rng.choice(list("XYZ"), size)), [int(q) for q in rng.permutation(n)[:size]],
                    float(rng.normal())))
    return out


@pytest.mark.parametrize("name", PARAMETRISED)
@pytest.mark.parametrize("controls, open_controls, dagger", [(0, 0, False), (0, 0, True), (1, 0, False),
                                                             (1, 1, True), (2, 1, False)])
def test_gradients_match_central_differences(name, controls, open_controls, dagger):
    n = 5
    rng = np.random.default_rng(seed_of(name, controls, open_controls, dagger))
    data = random_gate_circuit(rng, n, name, controls, open_controls, dagger)
    observable = random_observable(rng, n)
    value, grads = wavesim.expval_grad_cpp(data, observable)
    assert abs(value - value_of(data, observable)) < DOUBLE_TOL
    columns = wavesim.param_columns(data)
    assert grads.shape == (len(columns),)
    for j, (index, _, slot) in enumerate(columns):
        assert abs(grads[j] - central_difference(data, observable, index, slot)) < FD_TOL, (j, index, slot)


# (name, slot, under controls): parameters whose gate depends on them through one generator with
# eigenvalues 1 apart (a rotation by a Pauli string, or a phase on one eigenspace), where
# d<O>/dx = (<O>(x + pi/2) - <O>(x - pi/2)) / 2 exactly.
SHIFT_RULE = ([(name, 0, False) for name in ["RX", "RY", "RZ", "P", "U1", "R", "RXX", "RYY", "RZZ", "ISINGZZ", "IZZ"]]
              + [(name, slot, False) for name in ["U2", "U3", "U"] for slot in range(ref.param_count(name))]
              + [(name, 0, True) for name in ["P", "U1", "CP", "CU1"]]
              + [(name, slot, True) for name, slots in [("U2", [0, 1]), ("CU2", [0, 1]), ("U3", [1, 2]),
                                                         ("CU3", [1, 2]), ("CU", [1, 2, 3])] for slot in slots])


@pytest.mark.parametrize("name, slot, controlled", SHIFT_RULE)
@pytest.mark.parametrize("dagger", [False, True])
def test_gradients_equal_the_two_term_shift_rule(name, slot, controlled, dagger):
    n = 4
    rng = np.random.default_rng(seed_of(name, slot, controlled, dagger))
    data = random_gate_circuit(rng, n, name, 1 if controlled and name not in ref.CONTROLLED else 0,
                               int(rng.integers(0, 2)) if controlled else 0, dagger)
    observable = random_observable(rng, n)
    _, grads = wavesim.expval_grad_cpp(data, observable)
    tested = 0
    for j, (index, param_name, s) in enumerate(wavesim.param_columns(data)):
        if param_name == UNDER_TEST and s == slot:
            tested += 1
            up = value_of(shifted(data, index, slot, np.pi / 2), observable)
            down = value_of(shifted(data, index, slot, -np.pi / 2), observable)
            assert abs(grads[j] - (up - down) / 2) < SHIFT_TOL
    assert tested == 2


def gate_block(name):
    return type(name, (), {})


# Exact rules on the parameter sets of one batched cal_states_cpp call: two terms for a rotation,
# four for a controlled one (eigenvalues 0 and +-1/2 of its generator).
ROTATION_SHIFTS = [(np.pi / 2, 0.5)]
CONTROLLED_SHIFTS = [(np.pi / 2, (np.sqrt(2) + 1) / (4 * np.sqrt(2))),
                     (3 * np.pi / 2, -(np.sqrt(2) - 1) / (4 * np.sqrt(2)))]


def reference_gradient(data, observable):
    """The gradient of <O> from the amplitudes of cal_states_cpp, every shifted set in one batch."""
    columns = [i for i, ins in enumerate(data.instructions) if ins.has_param]
    base = [data.instructions[i].param.value for i in columns]
    base = [v if isinstance(v, float) else v[0] for v in base]
    sets, weights = [], []
    for j, index in enumerate(columns):
        shifts = CONTROLLED_SHIFTS if data.instructions[index].name.startswith("C") else ROTATION_SHIFTS
        for shift, weight in shifts:
            for sign in (1, -1):
                values = list(base)
                values[j] += sign * shift
                sets.append(values)
                weights.append((j, sign * weight))
    batched = circuit(data.num_qubits, data.instructions)
    instructions = batched.instructions
    for j, index in enumerate(columns):
        instructions[index].param = cc.ParamBinding(instructions[index].param.name, [s[j] for s in sets])
    batched.instructions = instructions
    rows = wavesim.cal_states_cpp(batched)
    grads = np.zeros(len(columns))
    for row, (j, weight) in zip(rows, weights):
        grads[j] += weight * expectation(row, observable)
    return grads


@pytest.mark.parametrize("entanglement", MAPS)
@pytest.mark.parametrize("rotations, entangler", [(["RY"], "CX"), (["RX", "RZ"], "CZ"), (["RY"], "CRX"),
                                                  (["RZ", "RY"], "CRY"), (["P"], "CRZ")])
def test_ansatzkit_gradients_match_a_cal_states_reference(entanglement, rotations, entangler):
    n = 4
    data = ansatzkit.build_n_local_data(n, [gate_block(r) for r in rotations], [gate_block(entangler)],
                                        [entanglement], 2, False, "t", True, False, "")
    rng = np.random.default_rng(len(entanglement) + len(rotations))
    for i, ins in enumerate(data.instructions):
        if ins.has_param:
            data = with_values(data, i, [float(rng.uniform(-np.pi, np.pi))])
    observable = [("ZZ", [q, (q + 1) % n], 1.0) for q in range(n)] + [("X", [q], 0.6) for q in range(n)]
    value, grads = wavesim.expval_grad_cpp(data, observable)
    columns = wavesim.param_columns(data)
    assert [name for _, name, _ in columns] == [f"t[{i}]" for i in range(len(columns))]
    np.testing.assert_allclose(grads, reference_gradient(data, observable), atol=SHIFT_TOL, rtol=0)
    assert abs(value - expectation(wavesim.cal_states_cpp(data), observable)) < DOUBLE_TOL


def test_a_value_list_shared_by_every_set_gives_each_set_its_own_derivative():
    shared = [0.4, -0.3, 1.2]  # a U3's one set, used whole by each of the three RY sets
    ry = [0.1, 0.7, -1.3]
    data = circuit(2, [instruction("RY", [0], values=ry), instruction("U3", [1], [0], values=shared),
                       instruction("CX", [1], [0])])
    observable = [("XZ", [0, 1], 1.0), ("Y", [1], 0.5)]
    _, grads = wavesim.expval_grad_cpp(data, observable)
    assert grads.shape == (3, 4)
    for b in range(3):
        single = circuit(2, [instruction("RY", [0], values=[ry[b]]), instruction("U3", [1], [0], values=shared),
                             instruction("CX", [1], [0])])
        want = [central_difference(single, observable, i, s) for i, _, s in wavesim.param_columns(single)]
        np.testing.assert_allclose(grads[b], want, atol=FD_TOL, rtol=0)


@pytest.mark.parametrize("n", [3, 9, 15])
def test_float_gradients_follow_double_ones(n):
    rng = np.random.default_rng(n)
    data = random_gate_circuit(rng, n, "U3", 1, 1, True)
    observable = random_observable(rng, n)
    value, grads = wavesim.expval_grad_cpp(data, observable)
    value32, grads32 = wavesim.expval_grad_cpp(data, observable, True)
    assert abs(value32 - value) < FLOAT_TOL
    np.testing.assert_allclose(grads32, grads, atol=FLOAT_TOL, rtol=0)


def test_param_columns_follow_the_parametrised_instructions():
    data = circuit(3, [instruction("CU", [0], [1], values=[0.1, 0.2, 0.3, 0.4]), instruction("H", [2]),
                       instruction("RX", [1], values=[0.5] * 6),
                       cc.CircuitInstruction(name="RY", qubits=[0], param=cc.ParamBinding("fixed", [0.2])),
                       cc.CircuitInstruction(name="X", qubits=[0], param=cc.ParamBinding("no slot", [0.2]),
                                             has_param=True),
                       cc.CircuitInstruction(name="U2", qubits=[2], param=cc.ParamBinding("u", [0.1, 0.2]),
                                             has_param=True)])
    assert wavesim.param_columns(data) == [(0, "", 0), (0, "", 1), (0, "", 2), (0, "", 3), (2, "", 0),
                                           (5, "u", 0), (5, "u", 1)]


# ---------------------------------------------------------------- refusals

BAD_OBSERVABLES = [
    ([("Z", [40], 1.0)], "term 0: qubit 40 is outside a circuit of 5 qubits"),
    ([("Z", [-1], 1.0)], "term 0: qubit -1 is outside a circuit of 5 qubits"),
    ([("Z", [2**70], 1.0)], f"term 0: qubit {2**70} is outside a circuit of 5 qubits"),
    ([("X", [0], 1.0), ("ZZ", [1, 1], 1.0)], "term 1: names qubit 1 twice"),
    ([("XA", [0, 1], 1.0)], "term 0: character 1 of the Pauli string, 'A', is not one of I, X, Y, Z"),
    ([("z", [0], 1.0)], "term 0: character 0 of the Pauli string, 'z', is not one of I, X, Y, Z"),
    ([("Zé", [0, 1], 1.0)], "term 0: character 1 of the Pauli string, of code 195, is not one of I, X, Y, Z"),
    ([("ZZ", [0], 1.0)], "term 0: 2 Pauli letters but 1 qubits"),
    ([("Z", [0], math.nan)], "term 0: the coefficient is not finite"),
    ([("Z", [0], -math.inf)], "term 0: the coefficient is not finite"),
    ([("Z", [0], 1 + 1e-3j)], "term 0: the coefficient has the imaginary part 0.001: "
                              "the observable must be Hermitian"),
    ([("Z", [0])], "term 0: a term must be a sequence of three items (paulis, qubits, coefficient), not tuple"),
    (["ZZ0"], "term 0: a term must be a sequence of three items (paulis, qubits, coefficient), not a string"),
    ([5], "term 0: a term must be a sequence of three items (paulis, qubits, coefficient), not int"),
    ([(5, [0], 1.0)], "term 0: the Pauli string must be a str, not int"),
    ([("Z", 0, 1.0)], "term 0: the qubits must be a sequence of integers, not int"),
    ([("Z", [0.0], 1.0)], "term 0: a qubit must be an integer, not float"),
    ([("Z", [0], "1")], "term 0: the coefficient must be a real number, not str"),
    ("Z", "an observable must be a sequence of terms, not str"),
]


def huge(instructions=()):
    """A circuit whose state cannot be had: a call that got as far as running would fail otherwise."""
    return circuit(40, [instruction("RY", [0], values=[0.1, 0.2]), *instructions])


@pytest.mark.parametrize("observable, message", BAD_OBSERVABLES)
def test_bad_observables_are_refused_before_anything_runs(observable, message):
    data = circuit(5, [instruction("H", [0])])
    for make in (lambda: data, lambda: circuit(5, [instruction("FOO", [0])])):
        with pytest.raises(ValueError) as info:
            wavesim.expval_cpp(make(), [[("Z", [0], 1.0)], observable])
        assert str(info.value) == "observable 1, " + message
        with pytest.raises(ValueError) as info:
            wavesim.expval_grad_cpp(make(), observable)
        assert str(info.value) == message
    for call in (lambda: wavesim.expval_cpp(huge(), [observable]), lambda: wavesim.expval_grad_cpp(huge(), observable)):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(ValueError, match="observables must be a sequence of observables, not int"):
        wavesim.expval_cpp(data, 3)


@pytest.mark.parametrize("bad, message", [
    (instruction("RESET", [1]), "instruction 2 (RESET) is a RESET, which is not unitary: the circuit cannot be "
                                "differentiated"),
    (instruction("RESET", []), "instruction 2 (RESET) is a RESET, which is not unitary: the circuit cannot be "
                               "differentiated"),
    (instruction("U3", [0], values=[0.1, 0.2]), "instruction 2 (U3) has 2 parameter values, fewer than the 3 its "
                                                "gate takes: it cannot be differentiated"),
    (instruction("CU", [0], [1], values=0.3), "instruction 2 (CU) has 1 parameter values, fewer than the 4 its gate "
                                              "takes: it cannot be differentiated"),
    (instruction("RX", [0], values=[]), "instruction 2 (RX) has 0 parameter values, fewer than the 1 its gate takes: "
                                        "it cannot be differentiated"),
])
def test_what_cannot_be_differentiated_is_refused_before_anything_runs(bad, message):
    for n in (3, 40):
        data = circuit(n, [instruction("H", [0]), instruction("RY", [1], values=[0.1, 0.2]), bad])
        with pytest.raises(ValueError) as info:
            wavesim.expval_grad_cpp(data, [("Z", [0], 1.0)])
        assert str(info.value) == message
    unparametrised = cc.CircuitInstruction(name="U3", qubits=[0], param=cc.ParamBinding("", [0.1]))
    wavesim.expval_grad_cpp(circuit(1, [unparametrised]), [("Z", [0], 1.0)])  # a fixed gate may read its zeros


def refusal(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize("make", [
    lambda: circuit(2, [instruction("FOO", [0])]),
    lambda: circuit(2, [instruction("rx", [0], values=0.1)]),
    lambda: circuit(2, [instruction("X", [2])]),
    lambda: circuit(2, [instruction("CX", [0], [0])]),
    lambda: circuit(2, [instruction("CZ", [1], [0, 0])]),
    lambda: circuit(2, [instruction("SWAP", [0, 0], [1])]),
    lambda: circuit(3, [instruction("CRX", [0, 1, 2], values=0.3)]),
    lambda: circuit(3, [instruction("RX", [0], values=[0.1] * 3), instruction("FOO", [0])]),
    lambda: circuit(63, []),
    lambda: circuit(-1, []),
    lambda: circuit(62, []),
    lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True, bound_values=[1, 2]),
    lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True, value_shape_set=1,
                    value_shape=[1, 2**31, 1]),
])
@pytest.mark.parametrize("use_float32", [False, True])
def test_circuit_refusals_are_those_of_cal_states(make, use_float32):
    want = refusal(lambda: wavesim.cal_states_cpp(make(), use_float32))
    assert refusal(lambda: wavesim.expval_cpp(make(), [[("Z", [0], 1.0)]], use_float32)) == want
    assert refusal(lambda: wavesim.expval_grad_cpp(make(), [("Z", [0], 1.0)], use_float32)) == want


@pytest.mark.parametrize("n", [59, 60])
def test_a_batch_too_large_for_memory_has_no_rows_to_refuse(n):
    # cal_states_cpp fails allocating its rows first; these hold no rows and refuse the states.
    data = circuit(n, [instruction("RX", [0], values=[0.1, 0.2])])
    for call in (lambda: wavesim.expval_cpp(data, [[("Z", [0], 1.0)]]),
                 lambda: wavesim.expval_grad_cpp(data, [("Z", [0], 1.0)])):
        with pytest.raises(RuntimeError, match=re.escape("Failed to allocate memory for StateVector")):
            call()
