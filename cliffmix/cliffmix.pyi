"""Random Clifford circuits over cx, cz, cy, swap, x, y, z, s, sdg, h, returned as CircuitData."""

from collections.abc import Sequence
from typing import SupportsIndex, SupportsInt

from circuitcore import CircuitData

_Int = SupportsInt | SupportsIndex

def build_random_clifford_data(
    num_qubits: _Int,
    num_gates: _Int,
    gates: str | list[str | bytes] | tuple[str | bytes, ...] = "all",
    seed: _Int = -1,
) -> CircuitData:
    """Build a random Clifford circuit (CircuitData) with internal C++ RNG."""

def build_random_clifford_from_indices(
    num_qubits: _Int,
    gate_names: Sequence[str],
    qubit_indices: Sequence[Sequence[_Int]],
) -> CircuitData:
    """Build a random Clifford circuit (CircuitData) from pre-generated gate names and qubit indices (for norvik-compatible reproducibility)."""
