"""Full state-vector simulation of circuit records: final amplitudes and measurement counts."""

from typing import SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

from circuitcore import CircuitData

_Int = SupportsInt | SupportsIndex

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
