"""Full state-vector simulation of circuit records: final amplitudes and measurement counts."""

from typing import SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

from circuitcore import CircuitData

_Int = SupportsInt | SupportsIndex

def cal_states_cpp(
    circuit_data: CircuitData, use_float32: bool = False, *, fusion: _Int = 0
) -> npt.NDArray[np.complex128] | npt.NDArray[np.complex64]:
    """C++ implementation of full amplitude simulation; fusion=2, 3 or 4 multiplies runs of gates into matrices on at most that many qubits (faster; results differ from the default in the last bits), 0 applies every gate as it is"""

def run_cpp(
    circuit_data: CircuitData,
    shots: _Int,
    num_cbits: _Int,
    seed: _Int = -1,
    use_float32: bool = False,
    *,
    fusion: _Int = 0,
) -> dict[str, int] | list[dict[str, int]]:
    """Perform shots measurements with projective sampling; fusion as for cal_states_cpp (0: off, 2 to 4: the most qubits a fused gate acts on)"""

def batch_count(circuit_data: CircuitData) -> int:
    """Number of parameter sets cal_states_cpp and run_cpp run the circuit for; 0 or 1 means a single run"""

def gate_param_count(name: str) -> int:
    """Number of parameters one set of the named gate takes (0 to 4); 0 for a name outside the simulator's vocabulary"""
