"""ansatzkit.build_n_local_data against an independent model of n-local circuits.

The entanglement maps are enumerated here with itertools, and a plain Python
builder (written from the layer rules, not from the C++) gives the expected
instruction list for randomly drawn configurations.
"""

import copy
import itertools
import math
import random

import pytest

import circuitcore  # registers CircuitData, which the builder returns
import ansatzkit

ONE_QUBIT = ["U1", "U2", "U3", "U", "H", "I", "ID", "T", "SX", "X", "Y", "Z", "S", "RX", "RY", "RZ", "P", "SY", "R"]
TWO_QUBIT = ["SWAP", "ISWAP", "IsingZZ", "RXX", "RYY", "RZZ", "CNOT", "CX", "CZ", "CRX", "CRY", "CRZ"]
UNPARAMETRISED = {"CNOT", "CX", "CZ", "H", "I", "ID", "T", "SX", "X", "Y", "Z", "S", "SY", "SWAP", "ISWAP"}
MAPS = ["full", "linear", "reverse_linear", "pairwise", "circular"]


class Gate:
    """Stands in for a gate class: only its __name__ is read."""

    def __init__(self, name):
        self.__name__ = name


def build(n, rotations, entanglers, maps, reps, prefix="t", final=False, ignored=(False, False, "")):
    return ansatzkit.build_n_local_data(
        n, [Gate(g) for g in rotations], [Gate(g) for g in entanglers], list(maps), reps,
        ignored[0], prefix, final, ignored[1], ignored[2])


def placed(circuit):
    """(name, qubit tuple, parameter name or None) per instruction."""
    return [(ins.name, tuple(ins.controls) + tuple(ins.qubits), ins.param.name if ins.has_param else None)
            for ins in circuit.instructions]


def reference_tuples(m, n):
    pairs = list(itertools.pairwise(range(n)))
    return {
        "full": sorted(itertools.combinations(range(n), 2), reverse=True),
        "linear": pairs,
        "reverse_linear": pairs[::-1],
        "pairwise": [p for p in pairs if p[0] % 2 == 0] + [p for p in pairs if p[0] % 2 == 1],
        "circular": [((i - 1) % n, i) for i in range(n)],
    }[m]


def reference_circuit(n, rotations, entanglers, maps, reps, prefix, final):
    out = []

    def place(name, qubits):
        pname = None if name in UNPARAMETRISED else f"{prefix}[{sum(p is not None for *_, p in out)}]"
        out.append((name, qubits, pname))

    def rotation_layer():
        for name in rotations:
            width = 1 if name in ONE_QUBIT else 2
            for q in range(0, n - width + 1, width):
                place(name, tuple(range(q, q + width)))

    for _ in range(reps):
        rotation_layer()
        for name, m in zip(entanglers, maps):
            for qubits in ([(q,) for q in range(n)] if name in ONE_QUBIT else reference_tuples(m, n)):
                place(name, qubits)
    if final:
        rotation_layer()
    return out


@pytest.mark.parametrize("n", range(9))
@pytest.mark.parametrize("m", MAPS)
def test_every_map_matches_an_enumeration(m, n):
    assert [q for _, q, _ in placed(build(n, [], ["CX"], [m], 1))] == reference_tuples(m, n)


@pytest.mark.parametrize("n", range(9))
@pytest.mark.parametrize("m", MAPS)
def test_predicted_count_sizes_the_table(m, n):
    if n == 0 and m in ("linear", "reverse_linear", "pairwise"):
        # The window maps predict -1 gates on no qubits; the count check refuses it.
        with pytest.raises(RuntimeError, match="^Parameters count mismatch$"):
            build(n, [], ["CRZ"], [m], 1)
        return
    circuit = build(n, [], ["CRZ"], [m], 2)
    expected = {"full": math.comb(n, 2), "circular": n}.get(m, max(n - 1, 0))
    assert circuit.params.size == len(circuit.instructions) == 2 * expected


def test_map_examples():
    full = [q for _, q, _ in placed(build(4, [], ["CX"], ["full"], 1))]
    assert (len(full), full[0], full[-1]) == (6, (2, 3), (0, 1))
    assert [q for _, q, _ in placed(build(5, [], ["CX"], ["pairwise"], 1))] == [(0, 1), (2, 3), (1, 2), (3, 4)]
    assert [q for _, q, _ in placed(build(2, [], ["CX"], ["circular"], 1))] == [(1, 0), (0, 1)]
    assert [q for _, q, _ in placed(build(1, [], ["CX"], ["circular"], 1))] == [(0, 0)]


def test_worked_example():
    circuit = build(3, ["RY"], ["CX"], ["linear"], 1, prefix="t", final=True)
    assert placed(circuit) == [
        ("RY", (0,), "t[0]"), ("RY", (1,), "t[1]"), ("RY", (2,), "t[2]"),
        ("CX", (0, 1), None), ("CX", (1, 2), None),
        ("RY", (0,), "t[3]"), ("RY", (1,), "t[4]"), ("RY", (2,), "t[5]"),
    ]
    cx = circuit.instructions[3]
    assert (cx.controls, cx.qubits, cx.param.name, cx.param.value) == ([0], [1], "", [])
    assert circuit.num_qubits == 3 and circuit.params.prefix == "t"
    assert [e.name for e in circuit.params.entries] == [f"t[{i}]" for i in range(6)]
    assert all(e.value == [] for e in circuit.params.entries)
    assert all(not ins.dagger and ins.ctrl_state == "" and ins.matrix == [] for ins in circuit.instructions)
    assert circuit.bound_values is None and not circuit.shaped_binding
    assert (circuit.value_shape_set, circuit.value_shape, circuit.aux_word) == (0, [], 0)


@pytest.mark.parametrize("seed", range(40))
def test_random_configurations_match_the_reference(seed):
    rng = random.Random(seed)
    n = rng.randrange(0, 8)
    rotations = rng.sample(ONE_QUBIT + TWO_QUBIT, rng.randrange(0, 3))
    entanglers = rng.sample(ONE_QUBIT + TWO_QUBIT, rng.randrange(0, 3))
    maps = [rng.choice(MAPS) for _ in entanglers]
    reps, final, prefix = rng.randrange(0, 4), rng.random() < 0.5, rng.choice(["t", "θ", "a_long_prefix_name"])
    expected = reference_circuit(n, rotations, entanglers, maps, reps, prefix, final)
    try:
        circuit = build(n, rotations, entanglers, maps, reps, prefix, final)
    except RuntimeError as error:
        # Only the empty-register window maps under a parametrised gate are refused.
        assert str(error) == "Parameters count mismatch" and n == 0 and reps > 0
        return
    assert placed(circuit) == expected
    used = [p for *_, p in expected if p is not None]
    assert [e.name for e in circuit.params.entries] == used and circuit.params.size == len(used)


def test_rotation_layers_are_block_major_and_numbered_across_layers():
    circuit = build(2, ["RY", "RZ"], ["CRZ"], ["linear"], 2, prefix="p", final=True)
    assert placed(circuit) == [
        ("RY", (0,), "p[0]"), ("RY", (1,), "p[1]"), ("RZ", (0,), "p[2]"), ("RZ", (1,), "p[3]"), ("CRZ", (0, 1), "p[4]"),
        ("RY", (0,), "p[5]"), ("RY", (1,), "p[6]"), ("RZ", (0,), "p[7]"), ("RZ", (1,), "p[8]"), ("CRZ", (0, 1), "p[9]"),
        ("RY", (0,), "p[10]"), ("RY", (1,), "p[11]"), ("RZ", (0,), "p[12]"), ("RZ", (1,), "p[13]"),
    ]


@pytest.mark.parametrize("n, pairs", [(1, []), (4, [(0, 1), (2, 3)]), (5, [(0, 1), (2, 3)]), (7, [(0, 1), (2, 3), (4, 5)])])
def test_two_qubit_rotation_blocks_leave_the_last_odd_qubit(n, pairs):
    circuit = build(n, ["RZZ"], [], [], 1)
    assert [(ins.controls, ins.qubits) for ins in circuit.instructions] == [([a], [b]) for a, b in pairs]
    assert circuit.params.size == len(pairs)


@pytest.mark.parametrize("gate, uses", [("CX", 0), ("CRZ", 1), ("RZZ", 1), ("IsingZZ", 1), ("SWAP", 0)])
def test_entanglers_use_one_entry_per_parametrised_gate(gate, uses):
    assert build(4, [], [gate], ["full"], 1).params.size == 6 * uses


def test_one_qubit_entangler_ignores_its_map():
    circuit = build(3, [], ["H", "RX"], ["no such map", "Linear"], 1)
    assert placed(circuit) == [("H", (q,), None) for q in range(3)] + [("RX", (q,), f"t[{q}]") for q in range(3)]


@pytest.mark.parametrize("reps, final, size", [(0, False, 0), (0, True, 3)])
def test_no_repetition(reps, final, size):
    circuit = build(3, ["RY"], ["CX"], ["unknown"], reps, final=final)
    assert len(circuit.instructions) == circuit.params.size == size


def test_ignored_arguments_have_no_effect():
    results = [build(4, ["RY"], ["CRZ"], ["circular"], 2, final=True, ignored=ignored)
               for ignored in [(False, False, ""), (True, True, "anything"), (True, False, "x")]]
    assert all(placed(r) == placed(results[0]) for r in results)


def test_owner_is_set_and_survives_copies():
    circuit = build(2, ["RY"], [], [], 1)
    assert circuit.params.owner != 0
    assert copy.copy(circuit).params.owner == circuit.params.owner


def test_names_change_only_by___name__():
    class Named:
        __name__ = "RX"

    class RZ:
        pass

    circuit = ansatzkit.build_n_local_data(1, [Named(), Gate("RY"), RZ], [], [], 1, False, "t", False, False, "")
    assert [ins.name for ins in circuit.instructions] == ["RX", "RY", "RZ"]


KEY_ERROR = "^invalid unordered_map<K, T> key$"


@pytest.mark.parametrize("rotations, entanglers", [
    (["ry"], []), (["CY"], []), (["CU3"], []), ([], ["CY"]), ([], ["cx"]), (["RY"], ["CU1"]),
])
def test_unknown_block_names(rotations, entanglers):
    with pytest.raises(IndexError, match=KEY_ERROR):
        build(3, rotations, entanglers, ["linear"] * len(entanglers), 1)


@pytest.mark.parametrize("n", [0, -1])
def test_rotation_names_are_not_looked_up_without_qubits(n):
    assert len(build(n, ["nonsense"], [], [], 2, final=True).instructions) == 0
    with pytest.raises(IndexError, match=KEY_ERROR):
        build(n, ["RY"], ["nonsense"], ["linear"], 0)


def test_unknown_map_is_reported_when_a_layer_is_built():
    with pytest.raises(RuntimeError, match="^entanglement type Linear not supported$"):
        build(3, ["RY"], ["CX"], ["Linear"], 1)


@pytest.mark.parametrize("call, error, message", [
    # Names are looked up while counting, before any map is read.
    (lambda: build(3, ["ry"], ["CX"], ["bogus"], 1), IndexError, KEY_ERROR),
    (lambda: build(3, ["RY"], ["cx"], ["bogus"], 1), IndexError, KEY_ERROR),
    # Inputs are read first, rotation blocks before entanglement blocks before maps.
    (lambda: ansatzkit.build_n_local_data(3, [Gate("ry")], [object()], ["x"], 1, False, "t", False, False, ""),
     AttributeError, "__name__"),
    (lambda: ansatzkit.build_n_local_data(3, [object()], [Gate(5)], [5], 1, False, "t", False, False, ""),
     AttributeError, "__name__"),
    (lambda: ansatzkit.build_n_local_data(3, [Gate(5)], [Gate("CX")], [5], 1, False, "t", False, False, ""),
     RuntimeError, "Unable to cast"),
    (lambda: ansatzkit.build_n_local_data(3, [Gate("ry")], [Gate("CX")], [5], 1, False, "t", False, False, ""),
     RuntimeError, "Unable to cast"),
])
def test_order_in_which_errors_surface(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("args", [
    (3, ("RY",), [], [], 1, False, "t", False, False, ""),
    (3.0, [], [], [], 1, False, "t", False, False, ""),
    (3, [], [], [], 1, False, 7, False, False, ""),
    (3, [], [], [], 1, False, "t", False, False),
])
def test_arguments_of_the_wrong_kind(args):
    with pytest.raises(TypeError):
        ansatzkit.build_n_local_data(*args)


def test_arguments_have_no_names():
    with pytest.raises(TypeError):
        ansatzkit.build_n_local_data(arg0=1, arg1=[], arg2=[], arg3=[], arg4=1, arg5=False, arg6="t",
                                     arg7=False, arg8=False, arg9="")


def test_docstring():
    assert ansatzkit.build_n_local_data.__doc__.rstrip().endswith("Build n-local circuit data in C++")


# Sound behaviour where the plain rules would read or write outside a list.

@pytest.mark.parametrize("reps, final, rotations, entanglers", [
    (-1, True, ["RY"], ["CX"]),    # the final layer would need entries the table does not have
    (-2, False, ["RY"], ["CX"]),
    (-1, True, ["H"], ["CRZ"]),
])
def test_negative_repetitions_with_parameters_are_refused(reps, final, rotations, entanglers):
    with pytest.raises(RuntimeError, match="^Parameters count mismatch$"):
        build(3, rotations, entanglers, ["linear"], reps, final=final)


def test_negative_repetitions_without_parameters_build_the_final_layer():
    assert placed(build(2, ["H"], ["CX"], ["bogus"], -3, final=True)) == [("H", (0,), None), ("H", (1,), None)]


def test_missing_map_name_is_refused_only_where_a_map_is_needed():
    with pytest.raises(IndexError, match=r"^no entanglement map for entanglement block 1 \(CZ\)$"):
        build(3, [], ["CX", "CZ"], ["linear"], 0)
    assert len(build(3, [], ["CX", "H"], ["linear"], 1).instructions) == 2 + 3


@pytest.mark.parametrize("n", [-5, 0, 1])
def test_full_map_on_too_few_qubits_is_empty(n):
    circuit = build(n, [], ["CRZ"], ["full"], 3)
    assert circuit.instructions == [] and circuit.params.size == 0


def test_parameter_count_beyond_a_table_is_refused():
    with pytest.raises(ValueError, match="more than a parameter table holds"):
        build(70000, [], ["CRZ"], ["full"], 1)


@pytest.mark.parametrize("n, rotations, entanglers", [(0, ["RY"], ["CX"]), (5, [], [])])
def test_repetitions_without_gates(n, rotations, entanglers):
    circuit = build(n, rotations, entanglers, ["linear"] * len(entanglers), 2**31 - 1)
    assert circuit.instructions == [] and circuit.params.size == 0


def test_impossible_circuit_size_is_refused():
    with pytest.raises((ValueError, MemoryError)):
        build(2**31 - 1, [], ["CX"], ["full"], 1)


def test_list_changed_while_names_are_read():
    blocks = []

    class Shrinking:
        @property
        def __name__(self):
            blocks.clear()
            return "RY"

    blocks.extend([Shrinking(), Gate("RX"), Gate("RZ")])
    circuit = ansatzkit.build_n_local_data(1, blocks, [], [], 1, False, "t", False, False, "")
    assert [ins.name for ins in circuit.instructions] == ["RY"]
