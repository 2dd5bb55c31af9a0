"""Quantum-volume operation lists: n * (n // 2) "su4" records, each a Haar-random
4x4 unitary (column-major in ``matrix``) on two distinct qubits."""

import typing

from circuitcore import CircuitInstruction

def build_qv_op_list(
    arg0: typing.SupportsInt | typing.SupportsIndex,
    arg1: typing.SupportsInt | typing.SupportsIndex,
    arg2: typing.SupportsInt | typing.SupportsIndex,
    /,
) -> list[CircuitInstruction]:
    """Ultra-fast QV operation list generator."""

def build_qv_op_list_ultra(
    arg0: typing.SupportsInt | typing.SupportsIndex,
    arg1: typing.SupportsInt | typing.SupportsIndex,
    arg2: typing.SupportsInt | typing.SupportsIndex,
    /,
) -> list[CircuitInstruction]:
    """Ultra QV operation list generator with thread-local RNG."""
