"""circuitcore: construction, defaults, the parameter-table rule, copies and pickling of the records."""

import copy
import pickle
import re

import numpy as np
import pytest

import circuitcore as cc
import stub_check


def binding_fields(b):
    return (b.name, b.value)


def instruction_fields(ins):
    return (
        ins.name,
        ins.matrix,
        ins.qubits,
        ins.controls,
        binding_fields(ins.param),
        ins.has_param,
        ins.dagger,
        ins.ctrl_state,
    )


def table_fields(t):
    return (t.prefix, t.size, [binding_fields(e) for e in t.entries])


def data_fields(d):
    return (
        d.num_qubits,
        [instruction_fields(i) for i in d.instructions],
        table_fields(d.params),
        d.bound_values,
        d.shaped_binding,
        d.value_shape_set,
        d.value_shape,
        d.aux_word,
    )


def full_instruction():
    """An instruction with every field away from its default."""
    return cc.CircuitInstruction(
        name="U3",
        qubits=[2, 0],
        controls=[1],
        param=cc.ParamBinding("t[3]", [0.5, -1.25, 3.0]),
        has_param=True,
        dagger=True,
        ctrl_state="0",
        matrix=[1 + 2j, -0.5j, 0.25, 3 - 1j],
    )


def full_data():
    table = cc.ParamTable("t", 4)
    table.entries = [cc.ParamBinding("t[0]", 0.75)] + list(table.entries[1:])
    return cc.CircuitData(
        num_qubits=3,
        instructions=[full_instruction(), cc.CircuitInstruction(name="H", qubits=[1])],
        params=table,
        bound_values={"angles": [0.1, 0.2]},
        shaped_binding=True,
        value_shape_set=2**64 - 1,
        value_shape=[2, 5, -1],
        aux_word=-7,
    )


def test_records_round_trip_through_pickle_and_copy():
    ins = cc.CircuitInstruction(name="RX", qubits=[0], param=cc.ParamBinding("t[0]", [0.1, 0.2]), has_param=True)
    data = cc.CircuitData(3, [ins], cc.ParamTable("t", 12))
    for clone in (pickle.loads(pickle.dumps(data)), copy.copy(data), copy.deepcopy(data)):
        assert clone.instructions == [ins]
        assert [e.name for e in clone.params.entries] == [f"t[{i}]" for i in range(12)]


def test_defaults():
    assert binding_fields(cc.ParamBinding()) == ("", [])
    assert instruction_fields(cc.CircuitInstruction()) == ("", [], [], [], ("", []), False, False, "")
    assert table_fields(cc.ParamTable()) == ("", 0, [])
    assert cc.ParamTable().owner == 0
    assert data_fields(cc.CircuitData()) == (0, [], ("", 0, []), None, False, 0, [], 0)
    assert cc.CircuitData().params.owner == 0


def test_default_param_value_is_an_empty_list_not_zero():
    for value in (cc.ParamBinding().value, cc.CircuitInstruction().param.value, cc.ParamTable("p", 1).entries[0].value):
        assert isinstance(value, list) and value == []


@pytest.mark.parametrize(
    "given, stored",
    [(0.0, 0.0), (2.5, 2.5), (3, 3.0), (np.float64(1.5), 1.5), ([], []), ([1, 2.5], [1.0, 2.5]), ((0.5,), [0.5]),
     (np.array([1.0, -2.0]), [1.0, -2.0])],
)
def test_param_value_keeps_its_alternative(given, stored):
    value = cc.ParamBinding("a", given).value
    assert value == stored and type(value) is type(stored)


@pytest.mark.parametrize("bad", ["1.0", None, [1.0, "x"], {"a": 1}])
def test_param_value_rejects_other_types(bad):
    with pytest.raises(TypeError):
        cc.ParamBinding("a", bad)


@pytest.mark.parametrize("count", [0, -1, -12, -(2**31)])
def test_table_with_no_positive_count_keeps_size_and_has_no_entries(count):
    table = cc.ParamTable("t", count)
    assert (table.prefix, table.size, table.entries, table.owner) == ("t", count, [], 0)


@pytest.mark.parametrize("prefix, count", [("t", 1), ("t", 12), ("θ", 3), ("", 2), ("a[b]", 101)])
def test_table_entries_are_named_prefix_index(prefix, count):
    table = cc.ParamTable(prefix, count)
    assert table.size == count
    assert [e.name for e in table.entries] == [prefix + "[" + str(i) + "]" for i in range(count)]
    assert all(e.value == [] and isinstance(e.value, list) for e in table.entries)


def test_table_of_twelve_spelled_out():
    names = [e.name for e in cc.ParamTable("t", 12).entries]
    assert names[:2] == ["t[0]", "t[1]"] and names[9:] == ["t[9]", "t[10]", "t[11]"]
    assert "t[01]" not in names


def test_owner_is_read_only():
    with pytest.raises(AttributeError):
        cc.ParamTable().owner = 1


def test_every_field_is_writable():
    d = cc.CircuitData()
    d.num_qubits = 4
    d.instructions = [full_instruction()]
    d.params = cc.ParamTable("w", 2)
    d.bound_values = np.zeros(3)
    d.shaped_binding = True
    d.value_shape_set = 1
    d.value_shape = [1, 2, 3]
    d.aux_word = 9
    assert d.num_qubits == 4 and d.instructions == [full_instruction()]
    assert table_fields(d.params) == ("w", 2, [("w[0]", []), ("w[1]", [])])
    assert isinstance(d.bound_values, np.ndarray)
    assert (d.shaped_binding, d.value_shape_set, d.value_shape, d.aux_word) == (True, 1, [1, 2, 3], 9)
    d.bound_values = None
    assert d.bound_values is None
    # the table and the instruction's binding are reached in place
    d.params.entries[0].value = 1.0  # entries come back as a copy ...
    assert d.params.entries[0].value == []
    d.params.prefix = "v"  # ... the table itself does not
    assert d.params.prefix == "v"
    ins = cc.CircuitInstruction()
    ins.param.value = [2.0]
    assert ins.param.value == [2.0]


def test_list_elements_outlive_reassignment_of_the_list():
    # Elements handed out are copies: replacing the list must not leave them dangling.
    d = cc.CircuitData(instructions=[cc.CircuitInstruction(name="H" * 40, qubits=[1])])
    first = d.instructions[0]
    d.instructions = [cc.CircuitInstruction(name="X" * 50) for _ in range(100)]
    assert (first.name, first.qubits) == ("H" * 40, [1])
    table = cc.ParamTable("t", 2)
    entry = table.entries[1]
    table.entries = []
    assert binding_fields(entry) == ("t[1]", [])
    first.name = "Z"  # and changing them leaves the record alone
    assert d.instructions[0].name == "X" * 50


@pytest.mark.parametrize("field, value", [("num_qubits", 2**31), ("aux_word", -(2**31) - 1), ("value_shape_set", -1)])
def test_integer_fields_reject_out_of_range_values(field, value):
    with pytest.raises(TypeError):
        cc.CircuitData(**{field: value})


@pytest.mark.parametrize("make", [full_data, full_instruction, lambda: cc.ParamTable("t", 5),
                                  lambda: cc.ParamBinding("b", 1.5)])
@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_equal_and_independent(make, copier):
    fields = {cc.CircuitData: data_fields, cc.CircuitInstruction: instruction_fields, cc.ParamTable: table_fields,
              cc.ParamBinding: binding_fields}
    original = make()
    extract = fields[type(original)]
    clone = copier(original)
    assert type(clone) is type(original) and clone is not original
    assert extract(clone) == extract(original)
    # the copy owns its own fields: changing it leaves the source alone
    if isinstance(clone, cc.CircuitData):
        clone.instructions = []
        clone.params.prefix = "other"
    elif isinstance(clone, cc.ParamTable):
        clone.prefix = "other"
        clone.entries = []
    else:
        clone.name = "other"
    assert extract(original) == extract(make())


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy_shares_bound_values_like_the_native_copy(copier):
    data = full_data()
    assert copier(data).bound_values is data.bound_values


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy_keeps_params_owner(copier):
    ansatzkit = pytest.importorskip("ansatzkit")
    if not hasattr(ansatzkit, "build_n_local_data"):
        pytest.skip("ansatzkit is not built")

    class RY:
        pass

    class CZ:
        pass

    built = ansatzkit.build_n_local_data(3, [RY], [CZ], ["linear"], 1, False, "t", True, False, "")
    assert built.params.owner != 0
    assert copier(built).params.owner == built.params.owner
    assert copier(built.params).owner == built.params.owner


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_every_field(protocol):
    data = full_data()
    restored = pickle.loads(pickle.dumps(data, protocol=protocol))
    assert data_fields(restored) == data_fields(data)
    for make, extract in [(full_instruction, instruction_fields), (lambda: cc.ParamTable("q", 3), table_fields),
                          (lambda: cc.ParamBinding("b", 2.0), binding_fields),
                          (lambda: cc.ParamBinding("b", [2.0]), binding_fields)]:
        record = make()
        assert extract(pickle.loads(pickle.dumps(record, protocol=protocol))) == extract(record)


def test_pickle_keeps_float_and_list_alternatives_apart():
    single, listed = cc.ParamBinding("b", 2.0), cc.ParamBinding("b", [2.0])
    assert type(pickle.loads(pickle.dumps(single)).value) is float
    assert type(pickle.loads(pickle.dumps(listed)).value) is list
    assert single != listed


@pytest.mark.parametrize("cls", [cc.CircuitData, cc.CircuitInstruction, cc.ParamTable, cc.ParamBinding])
def test_malformed_pickled_state_is_rejected(cls):
    blank = cls.__new__(cls)
    with pytest.raises(RuntimeError, match="invalid pickled state"):
        blank.__setstate__(("short",))


def test_equality():
    assert full_instruction() == full_instruction()
    assert full_instruction() != cc.CircuitInstruction(name="U3")
    assert cc.ParamBinding("a", [1.0]) == cc.ParamBinding("a", [1.0])
    # comparing with other types is False, not an error
    assert full_instruction() != 5 and cc.ParamBinding() != None  # noqa: E711
    assert full_instruction() in [1, "x", full_instruction()]


def test_repr_is_readable():
    assert repr(cc.ParamBinding("a", 1.5)) == "ParamBinding(name='a', value=1.5)"
    assert repr(cc.CircuitInstruction(name="CX", qubits=[1], controls=[0])) == (
        "CircuitInstruction(name='CX', qubits=[1], controls=[0])"
    )
    text = repr(full_instruction())
    for part in ("name='U3'", "has_param=True", "dagger=True", "ctrl_state='0'", "<4 entries>"):
        assert part in text
    assert repr(cc.ParamTable("t", 3)) == "ParamTable(prefix='t', size=3, entries=<3>)"
    assert repr(full_data()).startswith("CircuitData(num_qubits=3, instructions=<2>")


@pytest.mark.parametrize("cls", [cc.ParamBinding, cc.ParamTable, cc.CircuitInstruction, cc.CircuitData])
def test_type_stub_matches_the_classes(cls):
    stubs = stub_check.stub_parameters("circuitcore")
    assert stubs[cls.__name__ + ".__init__"] == stub_check.runtime_parameters(cls.__init__)
    public = {n for n in dir(cls) if not n.startswith("_")}
    stub_members = {n.split(".")[1] for n in stubs if n.startswith(cls.__name__ + ".")}
    annotated = set(re.findall(rf"^    (\w+): ", _stub_class_body(cls.__name__), flags=re.M))
    assert public == {n for n in stub_members | annotated if not n.startswith("_")}


def _stub_class_body(name):
    text = (stub_check.ROOT / "circuitcore" / "circuitcore.pyi").read_text()
    return text.split(f"class {name}:", 1)[1].split("\nclass ", 1)[0]
