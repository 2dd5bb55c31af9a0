"""Native n-local circuit builder."""

import circuitcore

def build_n_local_data(
    arg0: int,
    arg1: list,
    arg2: list,
    arg3: list,
    arg4: int,
    arg5: bool,
    arg6: str,
    arg7: bool,
    arg8: bool,
    arg9: str,
    /,
) -> circuitcore.CircuitData:
    """Build n-local circuit data in C++

    arg0: number of qubits; arg1, arg2: rotation and entanglement blocks (any
    objects whose ``__name__`` is a gate name, e.g. "RY", "CX"); arg3: one map
    name per entanglement block ("full", "linear", "reverse_linear",
    "pairwise", "circular"); arg4: repetitions; arg6: parameter-name prefix;
    arg7: append a final rotation layer; arg5, arg8, arg9: ignored.
    """
