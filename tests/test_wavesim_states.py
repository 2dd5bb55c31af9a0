"""cal_states_cpp against an independent NumPy model, batch counts, resets and errors."""

import ast
import subprocess
import sys

import numpy as np
import pytest

import circuitcore as cc
import wavesim

import reference_model as ref
import stub_check
from wavesim_circuits import PLAIN_ONLY, instruction, random_circuit

DOUBLE_TOL = 1e-11
FLOAT_TOL = 2e-5
RANGE_ERROR = "StateVector: num_qubits out of supported range"


def circuit(n, instructions, **kwargs):
    return cc.CircuitData(n, instructions, **kwargs)


# 19 qubits: a state in mapped pages, moved into its result in two chunks.
@pytest.mark.parametrize("n", list(range(0, 9)) + [12, 15, 16, 19])
@pytest.mark.parametrize("use_float32", [False, True])
def test_random_circuits_match_reference(n, use_float32):
    length = 60 if n <= 8 else 25
    for seed in range(4 if n <= 8 else 1):
        data = random_circuit(1000 * n + seed, n, length)
        got = wavesim.cal_states_cpp(data, use_float32)
        want = ref.simulate(data)
        assert got.shape == (1 << n,)
        assert got.dtype == (np.complex64 if use_float32 else np.complex128)
        assert got.flags["C_CONTIGUOUS"]
        np.testing.assert_allclose(got, want, atol=FLOAT_TOL if use_float32 else DOUBLE_TOL)


def test_qubit_zero_is_the_low_bit():
    got = wavesim.cal_states_cpp(circuit(2, [instruction("H", [0])]))
    assert got[0] == got[1] == pytest.approx(0.7071067811865475) and got[2] == got[3] == 0


@pytest.mark.parametrize("n, batches", [(1, 2), (3, 4), (5, 7), (10, 3), (15, 2), (19, 2)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_unshaped_batches_match_reference(n, batches, use_float32):
    data = random_circuit(77 + n, n, 30 if n < 15 else 12, batches=batches)
    got = wavesim.cal_states_cpp(data, use_float32)
    assert got.shape == (batches, 1 << n) and got.flags["C_CONTIGUOUS"]
    assert wavesim.batch_count(data) == batches
    for b in range(batches):
        np.testing.assert_allclose(got[b], ref.simulate(data, b), atol=FLOAT_TOL if use_float32 else DOUBLE_TOL)


@pytest.mark.parametrize("n, batches", [(2, 3), (6, 16), (9, 5), (13, 4), (19, 3)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_batch_rows_equal_single_runs_bit_for_bit(n, batches, use_float32):
    # Batches may run on several threads; each row must still be exactly the single run.
    data = random_circuit(5 + n, n, 40, batches=batches)
    rows = wavesim.cal_states_cpp(data, use_float32)
    for b in range(batches):
        single = []
        for ins in data.instructions:
            ins = ins.__copy__()
            ins.param = cc.ParamBinding("", ref.values_for_batch(ins.param.value, ins.name, b))
            single.append(ins)
        alone = wavesim.cal_states_cpp(circuit(n, single), use_float32)
        bits = np.uint32 if use_float32 else np.uint64
        assert np.array_equal(rows[b].view(bits), alone.view(bits))


def rx_circuit(values, n=1, **kwargs):
    return circuit(n, [instruction("RX", [0], values=values)], **kwargs)


def test_four_angles_give_four_rows():
    angles = [0.1, 0.2, 0.3, 0.4]
    got = wavesim.cal_states_cpp(rx_circuit(angles))
    want = [[np.cos(a / 2), -1j * np.sin(a / 2)] for a in angles]
    np.testing.assert_allclose(got, want, atol=DOUBLE_TOL)


def batch_shape(data):
    """Number of rows of a result (0 for a one-dimensional result)."""
    result = wavesim.cal_states_cpp(data)
    return result.shape[0] if result.ndim == 2 else 0


def rows_of_count(count):
    """The rows a batch count gives: 0 (one-dimensional) for a single run, a count of 0 or 1."""
    return count if count >= 2 else 0


def torch_tensor(shape):
    torch = pytest.importorskip("torch")
    return torch.zeros(shape)


@pytest.mark.parametrize("make, rows", [
    (lambda: rx_circuit([0.4]), 0),
    (lambda: rx_circuit(0.4), 0),
    (lambda: rx_circuit([]), 0),
    # the first parametrised gate's count divides the first list: 6 / 1
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1] * 6), instruction("U3", [0], values=[0.2] * 3)]), 6),
    (lambda: circuit(1, [instruction("U3", [0], values=[0.1] * 5)]), 0),
    (lambda: circuit(1, [instruction("U3", [0], values=[0.1] * 6)]), 2),
    (lambda: circuit(1, [instruction("U3", [0], values=[0.1] * 3)]), 0),
    # has_param on a gate without parameters: its list is read, the divisor comes from RX
    (lambda: circuit(1, [instruction("H", [0], values=[0.0] * 4), instruction("RX", [0], values=[0.1])]), 4),
    (lambda: circuit(1, [instruction("H", [0], values=[0.0] * 4)]), 0),
    (lambda: circuit(2, []), 0),
    # shaped: three dimensions give their second extent; two divide it by the largest count
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True,
                     bound_values=torch_tensor((2, 7, 3))), 7),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1]), instruction("U3", [0], values=[0.1] * 3)],
                     shaped_binding=True, bound_values=torch_tensor((5, 12))), 4),
    (lambda: circuit(1, [instruction("U3", [0], values=[0.1] * 3)], shaped_binding=True,
                     bound_values=torch_tensor((5, 3))), 0),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True,
                     bound_values=torch_tensor((5,))), 0),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True,
                     value_shape_set=1, value_shape=[1, 9, 1]), 9),
    (lambda: circuit(1, [instruction("U3", [0], values=[0.1] * 3)], shaped_binding=True,
                     value_shape_set=1, value_shape=[2, 12]), 4),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True,
                     value_shape_set=0, value_shape=[1, 9, 1]), 0),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True,
                     value_shape_set=1, value_shape=[1, 1, 1]), 0),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True,
                     value_shape_set=1, value_shape=[1, -4, 1]), 0),
    (lambda: circuit(1, [instruction("RX", [0], values=[0.1] * 8)], shaped_binding=True), 0),
    # no parametrised gate with a count: the tensor is not even looked at
    (lambda: circuit(1, [instruction("H", [0], values=[0.1] * 4)], shaped_binding=True, bound_values=[1, 2]), 0),
])
def test_batch_count_rules(make, rows):
    data = make()
    assert batch_shape(data) == rows == rows_of_count(wavesim.batch_count(data))


def test_shaped_batches_take_values_from_the_instructions():
    data = circuit(2, [instruction("RY", [1], values=[0.3, 0.6, 0.9])], shaped_binding=True,
                   bound_values=torch_tensor((1, 3, 1)))
    got = wavesim.cal_states_cpp(data)
    for b, a in enumerate([0.3, 0.6, 0.9]):
        np.testing.assert_allclose(got[b], [np.cos(a / 2), 0, np.sin(a / 2), 0], atol=DOUBLE_TOL)


CAST_ERROR = ("Unable to cast Python instance of type {} to C++ type '?' "
              "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


@pytest.mark.parametrize("value", [[1, 2], np.zeros((2, 3, 4)), "tensor"])
def test_non_tensor_bound_values_fail_like_a_cast(value):
    data = circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True, bound_values=value)
    for call in (wavesim.cal_states_cpp, wavesim.batch_count):
        with pytest.raises(RuntimeError) as info:
            call(data)
        assert str(info.value) == CAST_ERROR.format(str(type(value)))


def test_batch_count_beyond_a_c_int_overflows_as_the_run_does():
    data = circuit(1, [instruction("RX", [0], values=[0.1])], shaped_binding=True, value_shape_set=1,
                   value_shape=[1, 2**31, 1])
    for call in (wavesim.cal_states_cpp, wavesim.batch_count):
        with pytest.raises(OverflowError, match=f"batch count {2**31} exceeds the supported range"):
            call(data)
    data.value_shape = [1, 2**31 - 1, 1]
    assert wavesim.batch_count(data) == 2**31 - 1


GATE_TABLES = {**ref.ONE_QUBIT, **ref.TWO_QUBIT, **ref.CONTROLLED}


@pytest.mark.parametrize("name", sorted(GATE_TABLES))
def test_gate_param_count_matches_the_gate_tables(name):
    k = GATE_TABLES[name][0]
    assert wavesim.gate_param_count(name) == k
    # k values are one set: a list of 2k values (k >= 1) is two sets, of k values a single run
    if k > 0:
        targets = [0, 1] if name in ref.TWO_QUBIT else [0]
        controls = [2, 3][:ref.CONTROLLED[name][2]] if name in ref.CONTROLLED else []
        for values, rows in ([0.1] * k, 0), ([0.1] * (2 * k), 2):
            data = circuit(4, [instruction(name, targets, controls, values=values)])
            assert batch_shape(data) == rows


@pytest.mark.parametrize("name", PLAIN_ONLY + sorted(ref.SKIPPED) + ["", "rx", "Rx", "FOO", "U3 ", "C" + "X" * 40])
def test_gate_param_count_is_zero_for_every_other_name(name):
    assert wavesim.gate_param_count(name) == 0


def test_bound_values_fail_when_torch_was_never_imported():
    script = (
        "import sys, circuitcore as cc, wavesim\n"
        "d = cc.CircuitData(1, [cc.CircuitInstruction('RX', [0], param=cc.ParamBinding('', [0.1]), has_param=True)],"
        " shaped_binding=True, bound_values=(1, 2))\n"
        "assert 'torch' not in sys.modules\n"
        "try:\n    wavesim.cal_states_cpp(d)\nexcept RuntimeError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.strip() == CAST_ERROR.format("<class 'tuple'>")


def test_empty_circuit_and_zero_qubits():
    np.testing.assert_array_equal(wavesim.cal_states_cpp(circuit(3, [])), [1, 0, 0, 0, 0, 0, 0, 0])
    got = wavesim.cal_states_cpp(circuit(0, []), True)
    assert got.dtype == np.complex64 and got.tolist() == [1 + 0j]


@pytest.mark.parametrize("name", ["MEASURE", "BARRIER", "QIF", "QWHILE", "RESET"])
def test_skip_names_leave_the_state(name):
    ops = [instruction("H", [0]), instruction("RY", [1], values=0.7), instruction(name, [] if name == "RESET" else [0])]
    np.testing.assert_array_equal(wavesim.cal_states_cpp(circuit(2, ops)), wavesim.cal_states_cpp(circuit(2, ops[:2])))


def test_reset_statistics_and_normalisation():
    # Bell pair, then reset qubit 0: qubit 1 is left in 0 or 1 with probability 1/2 each.
    data = circuit(2, [instruction("H", [0]), instruction("CX", [1], [0]), instruction("RESET", [0])])
    ones = 0
    trials = 400
    for _ in range(trials):
        state = wavesim.cal_states_cpp(data)
        assert np.linalg.norm(state) == pytest.approx(1.0)
        assert state[1] == state[3] == 0
        ones += abs(state[2]) > 0.5
    assert abs(ones - trials / 2) < 5 * np.sqrt(trials / 4)


@pytest.mark.parametrize("use_float32", [False, True])
def test_reset_in_batches(use_float32):
    angles = list(np.linspace(0.1, 3.0, 12))
    data = circuit(3, [instruction("RX", [0], values=angles), instruction("CX", [2], [0]), instruction("RESET", [0])])
    rows = wavesim.cal_states_cpp(data, use_float32)
    assert rows.shape == (12, 8)
    for row in rows:
        assert np.linalg.norm(row) == pytest.approx(1.0, abs=1e-6)
        assert np.all(row[1::2] == 0)  # qubit 0 is 0 after the reset


def test_reset_of_a_certain_one_moves_the_amplitude():
    got = wavesim.cal_states_cpp(circuit(2, [instruction("X", [1]), instruction("RY", [0], values=np.pi),
                                             instruction("RESET", [0])]))
    np.testing.assert_allclose(got, [0, 0, 1, 0], atol=DOUBLE_TOL)


ERRORS = [
    (lambda: circuit(2, [instruction("FOO", [0])]), RuntimeError, "Unknown gate: FOO"),
    (lambda: circuit(2, [instruction("rx", [0], values=0.1)]), RuntimeError, "Unknown gate: rx"),
    (lambda: circuit(2, [instruction("X", [2])]), RuntimeError, "outside a state of 2 qubits"),
    (lambda: circuit(2, [instruction("X", [0], [-1])]), RuntimeError, "outside a state of 2 qubits"),
    (lambda: circuit(2, [instruction("RESET", [2])]), RuntimeError, "RESET addresses qubit 2, outside a state of 2 qubits"),
    (lambda: circuit(63, []), RuntimeError, RANGE_ERROR),
    (lambda: circuit(-1, []), RuntimeError, RANGE_ERROR),
    # batched: the rows are allocated first
    (lambda: rx_circuit([0.1, 0.2], n=60), ValueError, "vector too long"),
    (lambda: rx_circuit([0.1, 0.2], n=63), ValueError, "vector too long"),
    (lambda: rx_circuit([0.1, 0.2], n=-3), RuntimeError, RANGE_ERROR),
    (lambda: rx_circuit([0.1, 0.2], n=59), MemoryError, ""),
    # errors inside batch workers leave the parallel region and keep their type and text
    (lambda: circuit(3, [instruction("RX", [0], values=[0.1] * 8), instruction("FOO", [0])]), RuntimeError,
     "Unknown gate: FOO"),
    (lambda: circuit(3, [instruction("RX", [0], values=[0.1] * 8), instruction("RESET", [7])]), RuntimeError,
     "RESET addresses qubit 7"),
    (lambda: circuit(16, [instruction("RX", [0], values=[0.1] * 3), instruction("CRX", [0, 1, 2], values=0.3)]),
     RuntimeError, "unsupported configuration for gate CRX (targets=3, ctrls=0, matrix_size=4)"),
]


@pytest.mark.parametrize("make, error, text", ERRORS)
@pytest.mark.parametrize("use_float32", [False, True])
def test_errors_and_the_module_stays_usable(make, error, text, use_float32):
    data = make()
    if use_float32 and data.num_qubits == 60:
        error, text = MemoryError, ""  # complex64 rows of 2^60 still fit a vector; the memory does not
    with pytest.raises(error) as info:
        wavesim.cal_states_cpp(data, use_float32)
    assert text in str(info.value)
    assert wavesim.cal_states_cpp(circuit(1, [instruction("X", [0])]), use_float32).tolist() == [0, 1]


def test_complex64_rows_of_2_to_61_are_too_long():
    with pytest.raises(ValueError, match="vector too long"):
        wavesim.cal_states_cpp(rx_circuit([0.1, 0.2], n=61), True)


def test_62_qubits_pass_the_range_check():
    with pytest.raises(RuntimeError, match="Failed to allocate memory for StateVector"):
        wavesim.cal_states_cpp(circuit(62, []))


def test_type_stub_matches_the_module():
    stub = ast.parse(stub_check.stub_path("wavesim").read_text())
    docstrings = {f.name: ast.get_docstring(f) for f in stub.body if isinstance(f, ast.FunctionDef)}
    public = {name for name in dir(wavesim) if not name.startswith("_")}
    assert set(docstrings) == public
    stubs = stub_check.stub_parameters("wavesim")
    for name in public:
        runtime = getattr(wavesim, name)
        assert stubs[name] == stub_check.runtime_parameters(runtime), name
        assert docstrings[name] == runtime.__doc__.strip().splitlines()[-1], name


def test_arguments_are_converted_by_pybind11():
    with pytest.raises(TypeError):
        wavesim.cal_states_cpp("not a circuit")
    got = wavesim.cal_states_cpp(circuit_data=circuit(1, []), use_float32=True)
    assert got.dtype == np.complex64
