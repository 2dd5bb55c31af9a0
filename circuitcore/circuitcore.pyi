"""Python classes of the circuit records exchanged by the native modules."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

_Int = SupportsInt | SupportsIndex
_Value = SupportsFloat | SupportsIndex | Sequence[SupportsFloat | SupportsIndex]

class ParamBinding:
    """One circuit parameter and its bound value(s)."""

    name: str
    value: float | list[float]
    """A float (one value) or a list of floats."""
    def __init__(self, name: str = "", value: _Value = []) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __copy__(self) -> ParamBinding: ...
    def __deepcopy__(self, memo: dict[Any, Any]) -> ParamBinding: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

class ParamTable:
    """The parameters of a circuit, named prefix[0], prefix[1], ..."""

    prefix: str
    size: int
    entries: list[ParamBinding]
    """The parameters in order (a copy: assign a new list to change them)."""
    def __init__(self, prefix: str = "", size: _Int = 0) -> None: ...
    @property
    def owner(self) -> int:
        """Address of the record the builder filled (0 when none); informational only."""
    def __copy__(self) -> ParamTable: ...
    def __deepcopy__(self, memo: dict[Any, Any]) -> ParamTable: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

class CircuitInstruction:
    """One operation of a circuit."""

    name: str
    matrix: list[complex]
    """Explicit unitary, column-major (list of complex)."""
    qubits: list[int]
    controls: list[int]
    param: ParamBinding
    has_param: bool
    dagger: bool
    ctrl_state: str
    def __init__(
        self,
        name: str = "",
        qubits: Sequence[_Int] = (),
        controls: Sequence[_Int] = (),
        param: ParamBinding | None = None,
        has_param: bool = False,
        dagger: bool = False,
        ctrl_state: str = "",
        matrix: Sequence[complex | SupportsFloat | SupportsIndex] = (),
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __copy__(self) -> CircuitInstruction: ...
    def __deepcopy__(self, memo: dict[Any, Any]) -> CircuitInstruction: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

class CircuitData:
    """A whole circuit: qubit count, instructions and parameters."""

    num_qubits: int
    instructions: list[CircuitInstruction]
    """The operations in order (a copy: assign a new list to change them)."""
    params: ParamTable
    bound_values: Any | None
    shaped_binding: bool
    value_shape_set: int
    value_shape: list[int]
    aux_word: int
    def __init__(
        self,
        num_qubits: _Int = 0,
        instructions: Sequence[CircuitInstruction] = (),
        params: ParamTable | None = None,
        bound_values: Any | None = None,
        shaped_binding: bool = False,
        value_shape_set: _Int = 0,
        value_shape: Sequence[_Int] = (),
        aux_word: _Int = 0,
    ) -> None: ...
    def __copy__(self) -> CircuitData: ...
    def __deepcopy__(self, memo: dict[Any, Any]) -> CircuitData: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...
