"""Cutting a batched CircuitData into parts that each carry a contiguous range of its
parameter sets, so that the parts' results stacked in order are bit for bit those of
one call on the whole circuit.

The set count B and each gate's parameter count k are the simulator's own
(``wavesim.batch_count``, ``wavesim.gate_param_count``); B <= 1 is a single run. What
cutting relies on besides is how the simulator reads a value list:

- Set b of an instruction whose value list is longer than its gate's parameter count k
  is the b-th slice of k values, or the first k values when the list ends before it. A
  single value, a list of at most k values and the values of a gate without parameters
  are shared by every set. This holds for every instruction, parametrised or not.

Before anything is cut, each instruction that is parametrised or carries values that
may differ from set to set is run once on its own, on a state of just its qubits: an
instruction the simulator refuses is thereby found, with the simulator's own error.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass

import circuitcore
import wavesim
from circuitcore import CircuitData, CircuitInstruction, ParamBinding

# The largest state an instruction is checked on (2^10 amplitudes, a few microseconds per
# distinct form). A gate on more qubits (many controls) is not checked, and its circuit
# not split.
CHECK_QUBITS = 10

# Names whose values the simulator never reads: they cannot change a set's state.
NAMES_WITHOUT_STATE_CHANGE_FROM_VALUES = frozenset({"MEASURE", "BARRIER", "RESET", "QIF", "QWHILE"})

# The qubit counts the simulator can hold; outside them a run fails however it is cut.
LARGEST_STATE_QUBITS = 62

# The simulator's noise channels (its gate_param_count knows them as it knows the gates).
CHANNELS = frozenset({"X_ERROR", "Y_ERROR", "Z_ERROR", "DEPOLARIZE1", "DEPOLARIZE2", "PAULI_CHANNEL_1",
                      "PAULI_CHANNEL_2", "AMPLITUDE_DAMPING", "PHASE_DAMPING", "KRAUS"})


class Unsplittable(Exception):
    """The circuit cannot be cut faithfully: the simulator refuses something in it (its
    own error is then the cause), or an instruction is too large to be checked cheaply.

    Raised while learning the layout; the callers either report it (split_batches) or
    leave the whole circuit to the simulator, which then reports its own error (or gives
    its own result)."""


@dataclass(frozen=True)
class BatchLayout:
    """What splitting needs to know: the set count and each instruction's parameter count."""

    sets: int
    instructions: list[CircuitInstruction]
    param_counts: list[int]  # -1 where the values are never cut (no need to know the count)


_accepted_forms: set[tuple[object, ...]] = set()


def is_channel(instruction: CircuitInstruction) -> bool:
    """A noise channel: what the simulator refuses of it depends on its values (its probabilities)."""
    return instruction.name in CHANNELS


def check_accepted(instruction: CircuitInstruction) -> None:
    """Raises Unsplittable when the simulator refuses the instruction.

    The instruction runs alone, its qubits renumbered onto a state of just those qubits:
    a gate without values (what the simulator refuses of it does not depend on them),
    once per distinct form (name, renumbered qubits, dagger, control state); a noise
    channel with its values and matrix, every time, through the density matrix."""
    rank = {q: i for i, q in enumerate(sorted(set(instruction.qubits) | set(instruction.controls)))}
    qubits = [rank[q] for q in instruction.qubits]
    controls = [rank[q] for q in instruction.controls]
    form = (instruction.name, tuple(qubits), tuple(controls), instruction.dagger, instruction.ctrl_state)
    if form in _accepted_forms:
        return
    if len(rank) > CHECK_QUBITS:
        raise Unsplittable(f"instruction {instruction!r} acts on {len(rank)} qubits, more than the "
                           f"{CHECK_QUBITS} on which it can be checked cheaply")
    alone = CircuitInstruction(name=instruction.name, qubits=qubits, controls=controls, dagger=instruction.dagger,
                               ctrl_state=instruction.ctrl_state)
    if is_channel(instruction):
        alone.param, alone.has_param, alone.matrix = instruction.param, instruction.has_param, instruction.matrix
    try:
        if is_channel(instruction):
            wavesim.density_matrix_cpp(CircuitData(len(rank), [alone]))
        else:
            wavesim.cal_states_cpp(CircuitData(len(rank), [alone]))
    except Exception as error:
        raise Unsplittable(f"the simulator refuses instruction {instruction!r}: {error}") from error
    if not is_channel(instruction):
        _accepted_forms.add(form)


def _values_are_cut(instruction: CircuitInstruction) -> bool:
    """Whether the values may differ from set to set (a list longer than one value read by a gate)."""
    value = instruction.param.value
    return (not isinstance(value, float) and len(value) > 1
            and instruction.name not in NAMES_WITHOUT_STATE_CHANGE_FROM_VALUES)


def batch_layout(circuit_data: CircuitData) -> BatchLayout:
    """The set count of the circuit and the parameter counts needed to cut it.

    Raises Unsplittable for what the simulator itself would refuse before or while
    counting sets (an instruction it cannot apply, bound values that are not a tensor,
    a qubit count outside what it can hold, a set count beyond its range), and for an
    instruction to check on more than CHECK_QUBITS qubits."""
    if not 0 <= circuit_data.num_qubits <= LARGEST_STATE_QUBITS:
        raise Unsplittable(f"a state of {circuit_data.num_qubits} qubits is outside the simulator's range")
    instructions = circuit_data.instructions
    for instruction in instructions:
        if instruction.has_param or _values_are_cut(instruction) or is_channel(instruction):
            check_accepted(instruction)
    try:
        sets = wavesim.batch_count(circuit_data)
    except Exception as error:
        raise Unsplittable(f"the simulator cannot count the parameter sets: {error}") from error
    counts = [wavesim.gate_param_count(ins.name) if _values_are_cut(ins) else -1 for ins in instructions]
    return BatchLayout(sets, instructions, counts)


def part_bounds(sets: int, parts: int) -> list[tuple[int, int]]:
    """Contiguous [begin, end) ranges of sets, sizes differing by at most one, larger first."""
    size, extra = divmod(sets, parts)
    bounds = []
    begin = 0
    for i in range(parts):
        end = begin + size + (1 if i < extra else 0)
        bounds.append((begin, end))
        begin = end
    return bounds


def _values_for_sets(values: list[float], k: int, begin: int, end: int) -> list[float]:
    """Sets begin..end-1 of a list cut every k values, one after the other; a set past the
    list's last whole set takes the first k values, as the simulator does."""
    whole = len(values) // k
    own_end = min(end, whole)
    cut = values[k * begin:k * own_end] if begin < own_end else []
    return cut + values[:k] * (end - max(begin, own_end))


def _part(circuit_data: CircuitData, layout: BatchLayout, begin: int, end: int) -> CircuitData:
    instructions = []
    for instruction, k in zip(layout.instructions, layout.param_counts):
        values = instruction.param.value
        if k > 0 and not isinstance(values, float) and len(values) > k:
            instruction = copy.copy(instruction)
            instruction.param = ParamBinding(instruction.param.name, _values_for_sets(values, k, begin, end))
        instructions.append(instruction)
    part = copy.copy(circuit_data)
    part.instructions = instructions
    # The part's set count travels as a shape, whatever rule gave the whole circuit's:
    # the simulator reads bound values only for their shape.
    part.bound_values = None
    part.shaped_binding = True
    part.value_shape_set = 1
    part.value_shape = [1, end - begin, 1]
    return part


def split_layout(circuit_data: CircuitData, layout: BatchLayout, parts: int) -> list[CircuitData]:
    """split_batches for a layout already learnt."""
    if isinstance(parts, bool) or not isinstance(parts, int):
        raise TypeError(f"parts must be an int, not {type(parts).__name__}")
    most = max(layout.sets, 1)
    if not 1 <= parts <= most:
        raise ValueError(f"cannot split a circuit of {layout.sets} parameter sets into {parts} parts: "
                         f"between 1 and {most} parts are possible")
    if layout.sets <= 1:
        return [copy.copy(circuit_data)]
    return [_part(circuit_data, layout, begin, end) for begin, end in part_bounds(layout.sets, parts)]


def split_batches(circuit_data: CircuitData, parts: int) -> list[CircuitData]:
    """Cut a batched circuit into ``parts`` circuits carrying contiguous ranges of its
    parameter sets (sizes differing by at most one, larger parts first).

    Stacking ``cal_states_cpp`` of the parts in order (a part of one set gives one
    amplitude row) is bit for bit ``cal_states_cpp`` of the whole circuit, in either
    precision. Each part keeps every instruction; the value lists that differ from set
    to set hold just the part's sets; the part's set count is carried as
    ``value_shape = [1, sets, 1]`` with ``shaped_binding`` true and no ``bound_values``.
    A circuit with at most one set comes back as a one-element list (a copy).

    Raises ValueError when ``parts`` is below 1 or above the number of sets, and when
    the circuit cannot be split faithfully: the simulator refuses it (its error is
    chained as the cause), or a gate on more than CHECK_QUBITS qubits is parametrised or
    carries values to cut; TypeError for a ``circuit_data`` that is not a CircuitData.
    """
    if not isinstance(circuit_data, circuitcore.CircuitData):
        raise TypeError(f"circuit_data must be a circuitcore.CircuitData, not {type(circuit_data).__name__}")
    try:
        layout = batch_layout(circuit_data)
    except Unsplittable as refusal:
        raise ValueError(f"cannot split the circuit faithfully: {refusal}") from refusal.__cause__
    return split_layout(circuit_data, layout, parts)

