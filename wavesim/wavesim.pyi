"""Full state-vector simulation of circuit records: final amplitudes, measurement counts,
expectation values of Pauli sums and their gradients."""

from collections.abc import Sequence
from typing import SupportsComplex, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

from circuitcore import CircuitData

_Int = SupportsInt | SupportsIndex
# One term of an observable: Pauli letters (I, X, Y, Z), the qubits they act on, a real coefficient.
_Term = tuple[str, Sequence[SupportsIndex], SupportsFloat | SupportsComplex]
_Observable = Sequence[_Term]

def cal_states_cpp(
    circuit_data: CircuitData, use_float32: bool = False
) -> npt.NDArray[np.complex128] | npt.NDArray[np.complex64]:
    """C++ implementation of full amplitude simulation"""

def run_cpp(
    circuit_data: CircuitData,
    shots: _Int,
    num_cbits: _Int,
    seed: _Int = -1,
    use_float32: bool = False,
) -> dict[str, int] | list[dict[str, int]]:
    """Perform shots measurements with projective sampling"""

def batch_count(circuit_data: CircuitData) -> int:
    """Number of parameter sets cal_states_cpp and run_cpp run the circuit for; 0 or 1 means a single run"""

def gate_param_count(name: str) -> int:
    """Number of parameters one set of the named gate takes (0 to 4); 0 for a name outside the simulator's vocabulary"""

def expval_cpp(
    circuit_data: CircuitData, observables: Sequence[_Observable], use_float32: bool = False
) -> npt.NDArray[np.float64]:
    """Expectation values <psi_b|O_k|psi_b> of Pauli-sum observables on the final state of each parameter set: shape (B, K), or (K,) for a single run"""

def expval_grad_cpp(
    circuit_data: CircuitData, observable: _Observable, use_float32: bool = False
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """<O> and its gradient by the adjoint method for each parameter set: (values, grads) of shapes (B,) and (B, P), or () and (P,) for a single run, the columns as param_columns lists them"""

def param_columns(circuit_data: CircuitData) -> list[tuple[int, str, int]]:
    """The gradient's columns: (instruction_index, param_name, slot) for each parameter of each parametrised instruction, in instruction order"""
