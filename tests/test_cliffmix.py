"""cliffmix: argument checks, gate selection, exact draw sequence and the
from-indices mapping, checked against a pure-Python model of the generator."""

import collections
import os

import pytest
from scipy import stats

import circuitcore
import cliffmix
import stub_check
from reference_model import MT19937

ALL_GATES = ["cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"]
CONTROLLED = {"cx", "cz", "cy"}
TWO_QUBIT = CONTROLLED | {"swap"}
SUPPORTED_SUFFIX = "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h"
SELECTION_MESSAGE = 'gates must be "all" or a list of gate name strings'
WORD_MASK = 0xFFFFFFFF


def uniform_below(gen, m):
    """Multiply-shift with rejection, written from its definition."""
    threshold = (1 << 32) % m
    while True:
        product = gen.next32() * m
        if product & WORD_MASK >= threshold:
            return product >> 32


def model_circuit(num_qubits, num_gates, names, seed):
    """(name, qubits, controls) of every instruction the builder should make."""
    gen = MT19937(seed)
    out = []
    for _ in range(num_gates):
        g = names[uniform_below(gen, len(names))]
        a = uniform_below(gen, num_qubits)
        if g in TWO_QUBIT:
            b = uniform_below(gen, num_qubits - 1)
            b += b >= a
            out.append(("SWAP", [a, b], []) if g == "swap" else (g.upper(), [b], [a]))
        else:
            out.append((g.upper(), [a], []))
    return out


def summary(circuit):
    return [(i.name, i.qubits, i.controls) for i in circuit.instructions]


@pytest.mark.parametrize(
    "num_qubits, num_gates, gates, seed",
    [
        (5, 100, "all", 7),
        (2, 300, "all", 0),
        (7, 200, ["H", "Cx", "swap", "h"], 123456789),
        (1, 50, ("x", "SDG", "s"), 2**31 - 1),
        (40, 700, ["cy", "z"], 42),  # more than 624 outputs: crosses a twist
    ],
)
def test_circuit_matches_independent_model(num_qubits, num_gates, gates, seed):
    names = ALL_GATES if gates == "all" else [g.lower() for g in gates]
    circuit = cliffmix.build_random_clifford_data(num_qubits, num_gates, gates, seed)
    assert summary(circuit) == model_circuit(num_qubits, num_gates, names, seed)


def test_rejection_path_is_reproduced():
    # For m = 2^32 // 3 + 2 the threshold 2^32 mod m is about 2^32 / 3, so roughly a third of
    # the qubit draws reject a word and draw again; the model must agree word for word.
    num_qubits = 2**32 // 3 + 2
    assert (1 << 32) % num_qubits > (1 << 32) // 4
    circuit = cliffmix.build_random_clifford_data(num_qubits, 2000, ["h", "cx"], 99)
    assert summary(circuit) == model_circuit(num_qubits, 2000, ["h", "cx"], 99)


def test_defaults_and_keywords():
    by_keyword = cliffmix.build_random_clifford_data(num_gates=30, num_qubits=4, seed=5)
    assert summary(by_keyword) == summary(cliffmix.build_random_clifford_data(4, 30, "all", 5))
    assert len(cliffmix.build_random_clifford_data(3, 10).instructions) == 10


def test_docstrings():
    assert cliffmix.build_random_clifford_data.__doc__.rstrip().endswith(
        "Build a random Clifford circuit (CircuitData) with internal C++ RNG."
    )
    assert cliffmix.build_random_clifford_from_indices.__doc__.rstrip().endswith(
        "Build a random Clifford circuit (CircuitData) from pre-generated gate names and qubit indices "
        "(for norvik-compatible reproducibility)."
    )


def test_result_is_a_fresh_default_record():
    circuit = cliffmix.build_random_clifford_data(3, 20, "all", 1)
    assert isinstance(circuit, circuitcore.CircuitData)
    assert circuit.num_qubits == 3
    assert (circuit.params.prefix, circuit.params.size, circuit.params.entries, circuit.params.owner) == ("", 0, [], 0)
    assert circuit.bound_values is None
    assert (circuit.shaped_binding, circuit.value_shape_set, circuit.value_shape, circuit.aux_word) == (False, 0, [], 0)
    for ins in circuit.instructions:
        assert ins.matrix == [] and ins.ctrl_state == ""
        assert not ins.has_param and not ins.dagger
        assert ins.param.name == "" and ins.param.value == []


def test_same_seed_same_circuit_negative_seed_varies():
    assert summary(cliffmix.build_random_clifford_data(6, 80, "all", 11)) == summary(
        cliffmix.build_random_clifford_data(6, 80, "all", 11)
    )
    assert summary(cliffmix.build_random_clifford_data(6, 80, "all", 11)) != summary(
        cliffmix.build_random_clifford_data(6, 80, "all", 12)
    )
    for seed in (-1, -12345, -(2**31)):
        runs = {tuple(map(str, summary(cliffmix.build_random_clifford_data(6, 80, "all", seed)))) for _ in range(3)}
        assert len(runs) == 3


@pytest.mark.parametrize("gate", ALL_GATES)
def test_qubit_conventions_of_each_gate(gate):
    num_qubits = 5
    circuit = cliffmix.build_random_clifford_data(num_qubits, 400, [gate], 3)
    for ins in circuit.instructions:
        assert ins.name == gate.upper()
        used = ins.qubits + ins.controls
        assert all(0 <= q < num_qubits for q in used)
        if gate in CONTROLLED:
            assert len(ins.controls) == 1 and len(ins.qubits) == 1
        elif gate == "swap":
            assert len(ins.qubits) == 2 and ins.controls == []
        else:
            assert len(ins.qubits) == 1 and ins.controls == []
        assert len(set(used)) == len(used)


def test_two_qubits_use_both_orders_of_the_one_pair():
    circuit = cliffmix.build_random_clifford_data(2, 500, ["cx", "swap"], 8)
    pairs = {tuple(i.controls + i.qubits) for i in circuit.instructions}
    assert pairs == {(0, 1), (1, 0)}


def test_one_qubit_gates_accept_a_single_qubit():
    circuit = cliffmix.build_random_clifford_data(1, 50, ["h", "x"], 2)
    assert {i.name for i in circuit.instructions} == {"H", "X"}
    assert all(i.qubits == [0] for i in circuit.instructions)


def chi_square_p(counts, categories):
    observed = [counts.get(c, 0) for c in categories]
    return stats.chisquare(observed).pvalue


def test_gates_and_ordered_pairs_are_uniform():
    num_qubits = 4
    circuit = cliffmix.build_random_clifford_data(num_qubits, 60000, "all", 2024)
    gate_counts = collections.Counter(i.name for i in circuit.instructions)
    pair_counts = collections.Counter(
        tuple(i.controls + i.qubits) for i in circuit.instructions if i.name in ("CX", "CZ", "CY", "SWAP")
    )
    single_counts = collections.Counter(i.qubits[0] for i in circuit.instructions if not i.controls and i.name != "SWAP")
    ordered_pairs = [(a, b) for a in range(num_qubits) for b in range(num_qubits) if a != b]
    assert set(pair_counts) == set(ordered_pairs)
    assert chi_square_p(gate_counts, [g.upper() for g in ALL_GATES]) > 1e-3
    assert chi_square_p(pair_counts, ordered_pairs) > 1e-3
    assert chi_square_p(single_counts, range(num_qubits)) > 1e-3


def test_duplicate_names_are_drawn_proportionally():
    circuit = cliffmix.build_random_clifford_data(3, 30000, ["h", "h", "x"], 77)
    counts = collections.Counter(i.name for i in circuit.instructions)
    assert stats.chisquare([counts["H"], counts["X"]], [20000, 10000]).pvalue > 1e-3


def test_zero_gates_after_all_checks():
    assert cliffmix.build_random_clifford_data(3, 0, "all", 1).instructions == []
    with pytest.raises(ValueError, match="Unsupported gate 'ccx'"):
        cliffmix.build_random_clifford_data(3, 0, ["ccx"], 1)


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


class StrSubclass(str):
    pass


class FailingIterList(list):
    def __iter__(self):
        raise KeyError("iteration refused")


@pytest.mark.parametrize(
    "gates, expected",
    [
        ("all", ALL_GATES),
        (StrSubclass("all"), ALL_GATES),
        (["h"], ["h"]),
        (("h",), ["h"]),
        (["H", "Cx"], ["h", "cx"]),
        (["SWAP", "sDg"], ["swap", "sdg"]),
        (ListSubclass(["z", "y"]), ["z", "y"]),
        (TupleSubclass(("s",)), ["s"]),
        ([b"cz", "x"], ["cz", "x"]),  # items use the binding layer's string conversion, which takes bytes
    ],
)
def test_accepted_selection_forms(gates, expected):
    got = cliffmix.build_random_clifford_data(4, 300, gates, 17)
    assert summary(got) == model_circuit(4, 300, expected, 17)


@pytest.mark.parametrize(
    "gates",
    ["ALL", "all ", "al", "", "all\x00", "all\ud800", "h", b"all", None, {"h"}, (g for g in ["h"]), {"h": 1}, 3,
     iter(["h"])],
    ids=["ALL", "all-space", "al", "empty-str", "nul", "surrogate", "name-str", "bytes", "None", "set", "generator",
         "dict", "int", "iterator"],
)
def test_rejected_selection_objects(gates):
    with pytest.raises(ValueError) as err:
        cliffmix.build_random_clifford_data(3, 5, gates, 1)
    assert str(err.value) == SELECTION_MESSAGE


@pytest.mark.parametrize("gates", [[], ()])
def test_empty_selection(gates):
    with pytest.raises(ValueError) as err:
        cliffmix.build_random_clifford_data(3, 5, gates, 1)
    assert str(err.value) == "gates list must not be empty"


@pytest.mark.parametrize(
    "gates, shown",
    [
        (["h", "ccx"], "ccx"),
        (["CCX"], "ccx"),
        (["h", "T", "ccx"], "t"),
        (["cx "], "cx "),
        (["ÉH"], "Éh"),  # only A-Z are lower-cased
        ([b"\xff"], "\\xff"),  # bytes that are not UTF-8 are escaped so the message stays text
        (["h\x00"], "h\\x00"),
    ],
)
def test_unsupported_names(gates, shown):
    with pytest.raises(ValueError) as err:
        cliffmix.build_random_clifford_data(3, 5, gates, 1)
    assert str(err.value) == "Unsupported gate '" + shown + SUPPORTED_SUFFIX


def test_non_string_item_is_a_cast_error():
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type <class 'int'>"):
        cliffmix.build_random_clifford_data(3, 5, ["h", 1], 1)


def test_iteration_error_propagates():
    with pytest.raises(KeyError, match="iteration refused"):
        cliffmix.build_random_clifford_data(3, 5, FailingIterList(["h"]), 1)


@pytest.mark.parametrize(
    "num_qubits, num_gates, gates, message",
    [
        (0, -1, None, "num_qubits must be >= 1"),
        (-3, 5, "all", "num_qubits must be >= 1"),
        (1, -1, ["ccx"], "num_gates must be >= 0"),
        (1, -1, None, "num_gates must be >= 0"),
        (1, 0, None, SELECTION_MESSAGE),
        (1, 0, [], "gates list must not be empty"),
        (1, 0, ["cx", "ccx"], "Unsupported gate 'ccx" + SUPPORTED_SUFFIX),
        (1, 0, "all", "Two-qubit gates require num_qubits >= 2"),
        (1, 5, ["h", "SWAP"], "Two-qubit gates require num_qubits >= 2"),
    ],
)
def test_check_order(num_qubits, num_gates, gates, message):
    with pytest.raises(ValueError) as err:
        cliffmix.build_random_clifford_data(num_qubits, num_gates, gates, 1)
    assert str(err.value) == message


@pytest.mark.parametrize(
    "args",
    [(2**31, 5), (3, 2**31), (3.0, 5), ("3", 5)],
)
def test_arguments_outside_int32_are_type_errors(args):
    with pytest.raises(TypeError):
        cliffmix.build_random_clifford_data(*args)


def test_seed_outside_int32_is_a_type_error():
    with pytest.raises(TypeError):
        cliffmix.build_random_clifford_data(3, 5, "all", 2**31)


# ---- build_random_clifford_from_indices ----


def test_from_indices_examples():
    circuit = cliffmix.build_random_clifford_from_indices(3, ["cx", "h"], [[2, 0], [1]])
    assert summary(circuit) == [("CX", [0], [2]), ("H", [1], [])]
    assert summary(cliffmix.build_random_clifford_from_indices(3, ["swap"], [[0, 1, 2]])) == [("SWAP", [0, 1, 2], [])]
    assert cliffmix.build_random_clifford_from_indices(2, [], []).instructions == []


@pytest.mark.parametrize("gate", ALL_GATES)
def test_from_indices_mapping_of_each_gate(gate):
    indices = [3, 1, 4] if gate in TWO_QUBIT else [3, 1]
    (ins,) = cliffmix.build_random_clifford_from_indices(5, [gate], [indices]).instructions
    assert ins.name == gate.upper()
    if gate == "swap":
        assert (ins.qubits, ins.controls) == ([3, 1, 4], [])
    elif gate in CONTROLLED:
        assert (ins.qubits, ins.controls) == ([1], [3])
    else:
        assert (ins.qubits, ins.controls) == ([3], [])


@pytest.mark.parametrize(
    "num_qubits, names, indices, message",
    [
        (0, [], [], "num_qubits must be >= 1"),
        (0, ["h"], [], "num_qubits must be >= 1"),
        (2, ["h"], [], "gate_names and qubit_indices must have the same length"),
        (2, [], [[0]], "gate_names and qubit_indices must have the same length"),
        (2, ["CX"], [[0, 1]], "Unsupported gate 'CX" + SUPPORTED_SUFFIX),
        (2, ["h", "sdgx"], [[0], [1]], "Unsupported gate 'sdgx" + SUPPORTED_SUFFIX),
        (2, ["ccx"], [[]], "Unsupported gate 'ccx" + SUPPORTED_SUFFIX),
        (2, ["h"], [[]], "qubit_indices[0] has 0 qubit index(es); gate 'h' needs 1"),
        (3, ["h", "cx"], [[0], [2]], "qubit_indices[1] has 1 qubit index(es); gate 'cx' needs 2"),
        (3, ["swap"], [[1]], "qubit_indices[0] has 1 qubit index(es); gate 'swap' needs 2"),
        (3, ["x"], [[3]], "qubit_indices[0][0] = 3 is outside the qubit range 0 ... 2"),
        (3, ["x"], [[-1]], "qubit_indices[0][0] = -1 is outside the qubit range 0 ... 2"),
        (3, ["cz"], [[0, 7]], "qubit_indices[0][1] = 7 is outside the qubit range 0 ... 2"),
        (3, ["swap"], [[0, 1, 5]], "qubit_indices[0][2] = 5 is outside the qubit range 0 ... 2"),
        (3, ["cy"], [[2, 2]], "qubit_indices[0]: gate 'cy' needs two different qubits, got 2 twice"),
        (3, ["swap"], [[1, 1, 0]], "qubit_indices[0]: gate 'swap' needs two different qubits, got 1 twice"),
        # the first faulty entry is reported; within an entry: name, count, range, distinctness
        (3, ["x", "ccx"], [[9], []], "qubit_indices[0][0] = 9 is outside the qubit range 0 ... 2"),
        (3, ["cx", "cx"], [[5], [1, 1]], "qubit_indices[0] has 1 qubit index(es); gate 'cx' needs 2"),
        (3, ["cx"], [[5, 5]], "qubit_indices[0][0] = 5 is outside the qubit range 0 ... 2"),
    ],
)
def test_from_indices_rejections(num_qubits, names, indices, message):
    with pytest.raises(ValueError) as err:
        cliffmix.build_random_clifford_from_indices(num_qubits, names, indices)
    assert str(err.value) == message


def test_from_indices_ignores_unused_indices_of_fixed_size_gates():
    circuit = cliffmix.build_random_clifford_from_indices(2, ["h", "cx"], [[1, 99], [0, 1, -4]])
    assert summary(circuit) == [("H", [1], []), ("CX", [1], [0])]


@pytest.mark.parametrize(
    "names, indices",
    [("h", [[0]]), (["h"], [0]), (["h"], [[0.5]]), ([1], [[0]]), (["h"], [[2**31]])],
)
def test_from_indices_wrong_types_are_type_errors(names, indices):
    with pytest.raises(TypeError):
        cliffmix.build_random_clifford_from_indices(2, names, indices)


def test_from_indices_accepts_tuples_and_keywords():
    circuit = cliffmix.build_random_clifford_from_indices(
        qubit_indices=((0, 1), (1,)), gate_names=("cz", "s"), num_qubits=2
    )
    assert summary(circuit) == [("CZ", [1], [0]), ("S", [1], [])]


@pytest.mark.parametrize("name", ["build_random_clifford_data", "build_random_clifford_from_indices"])
def test_type_stub_matches_the_module(name):
    assert stub_check.stub_parameters("cliffmix")[name] == stub_check.runtime_parameters(getattr(cliffmix, name))


def _refuses_huge_allocations():
    """True when the kernel refuses one allocation far beyond memory plus swap (and no
    sanitizer runtime is loaded: AddressSanitizer aborts on it instead of throwing)."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return False
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            policy = f.read().strip()
        with open("/proc/meminfo") as f:
            info = {line.split(":")[0]: int(line.split()[1]) for line in f}
    except OSError:
        return False
    total_kib = info.get("MemTotal", 0) + info.get("SwapTotal", 0)
    return policy in ("0", "2") and total_kib < 100 * 2**20  # well below the ~400 GiB asked for


@pytest.mark.skipif(not _refuses_huge_allocations(), reason="the kernel might grant the allocation")
def test_room_for_too_many_gates_is_a_memory_error():
    # room for all gates is reserved before the first draw
    with pytest.raises(MemoryError):
        cliffmix.build_random_clifford_data(5, 2**31 - 1, "all", 1)
