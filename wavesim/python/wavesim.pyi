"""Full state-vector simulation of circuit records: final amplitudes, measurement counts,
expectation values of Pauli sums and their gradients; noise channels through density
matrices and trajectories."""

from collections.abc import Sequence
from typing import Literal, SupportsComplex, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

from circuitcore import CircuitData

_Int = SupportsInt | SupportsIndex
_Fusion = _Int | Literal["auto"]
# One term of an observable: Pauli letters (I, X, Y, Z), the qubits they act on, a real coefficient.
_Term = tuple[str, Sequence[SupportsIndex], SupportsFloat | SupportsComplex]
_Observable = Sequence[_Term]

# fusion (keyword-only, every simulating entry): 0, the default, applies the gates as they
# are; 2, 3 or 4 multiplies runs of gates into dense matrices on at most that many qubits;
# "auto", the fastest, reorders gates on other qubits and fuses where the kernels' measured
# costs say it pays. Both are faster, with results that differ from the default's in the last bits.
def cal_states_cpp(
    circuit_data: CircuitData, use_float32: bool = False, *, fusion: _Fusion = 0
) -> npt.NDArray[np.complex128] | npt.NDArray[np.complex64]:
    """C++ implementation of full amplitude simulation"""

# readout_error: one (p(1|0), p(0|1)) pair for every classical bit, or one pair per bit.
_ReadoutError = tuple[SupportsFloat, SupportsFloat] | Sequence[tuple[SupportsFloat, SupportsFloat]]

def run_cpp(
    circuit_data: CircuitData,
    shots: _Int,
    num_cbits: _Int,
    seed: _Int = -1,
    use_float32: bool = False,
    *,
    fusion: _Fusion = 0,
    readout_error: _ReadoutError | None = None,
) -> dict[str, int] | list[dict[str, int]]:
    """Perform shots measurements with projective sampling; noise channels draw their branches shot by shot, readout_error flips the recorded bits"""

def density_matrix_cpp(
    circuit_data: CircuitData, use_float32: bool = False, *, fusion: _Fusion = 0
) -> npt.NDArray[np.complex128] | npt.NDArray[np.complex64]:
    """Density matrix rho of the circuit's final mixed state: shape (2^n, 2^n), or (B, 2^n, 2^n) for B parameter sets; MEASURE acts as the non-selective measurement, RESET as the reset channel; fusion as for cal_states_cpp"""

def batch_count(circuit_data: CircuitData) -> int:
    """Number of parameter sets cal_states_cpp and run_cpp run the circuit for; 0 or 1 means a single run"""

def gate_param_count(name: str) -> int:
    """Number of parameters one set of the named gate (0 to 4) or noise channel (up to 15) takes; 0 for a name outside the simulator's vocabulary"""

def expval_cpp(
    circuit_data: CircuitData,
    observables: Sequence[_Observable],
    use_float32: bool = False,
    *,
    fusion: _Fusion = 0,
) -> npt.NDArray[np.float64]:
    """Expectation values <psi_b|O_k|psi_b> of Pauli-sum observables on the final state of each parameter set: shape (B, K), or (K,) for a single run; fusion as for cal_states_cpp"""

def expval_trajectories_cpp(
    circuit_data: CircuitData,
    observables: Sequence[_Observable],
    trajectories: _Int,
    seed: _Int = -1,
    use_float32: bool = False,
    *,
    fusion: _Fusion = 0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Mean of <O_k> over `trajectories` noise trajectories of each parameter set and its standard error, measured from the trajectories: (mean, stderr), each of shape (B, K), or (K,) for a single run; the same seed draws the same trajectories in every set; fusion as for cal_states_cpp"""

def expval_grad_cpp(
    circuit_data: CircuitData,
    observable: _Observable,
    use_float32: bool = False,
    *,
    fusion: _Fusion = 0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """<O> and its gradient by the adjoint method for each parameter set: (values, grads) of shapes (B,) and (B, P), or () and (P,) for a single run, the columns as param_columns lists them; fusion as for cal_states_cpp, applied to the forward run"""

def param_columns(circuit_data: CircuitData) -> list[tuple[int, str, int]]:
    """The gradient's columns: (instruction_index, param_name, slot) for each parameter of each parametrised instruction, in instruction order"""
