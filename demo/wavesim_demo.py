"""wavesim part of the demo: amplitudes, batched parameters and measurement counts."""

import numpy as np

import circuitcore as cc
import wavesim


def gate(name, qubits, controls=(), values=None):
    param = cc.ParamBinding("", values) if values is not None else None
    return cc.CircuitInstruction(name, list(qubits), list(controls), param=param, has_param=values is not None)


def ghz(n):
    return [gate("H", [0])] + [gate("CX", [q], [q - 1]) for q in range(1, n)]


def show_amplitudes() -> None:
    state = wavesim.cal_states_cpp(cc.CircuitData(3, ghz(3)))
    nonzero = {f"{k:03b}": complex(np.round(a, 4)) for k, a in enumerate(state) if abs(a) > 1e-12}
    print("GHZ(3) amplitudes (qubit 0 rightmost):", nonzero)


def show_batched_layer() -> None:
    # One RY per qubit and a CZ chain; four parameter sets in one call, one row each.
    n, sets = 3, 4
    thetas = np.linspace(0.0, np.pi, sets)
    layer = [gate("RY", [q], values=[float(t) * (q + 1) / n for t in thetas]) for q in range(n)]
    layer += [gate("CZ", [q], [q - 1]) for q in range(1, n)]
    rows = wavesim.cal_states_cpp(cc.CircuitData(n, layer))
    print(f"RY/CZ layer for {sets} parameter sets -> array {rows.shape} {rows.dtype}")
    for t, row in zip(thetas, rows):
        probabilities = np.abs(row) ** 2
        print(f"  theta={t:.3f}: P(000)={probabilities[0]:.3f}  P(111)={probabilities[-1]:.3f}")


def measure_all(n):
    return [gate("MEASURE", [q], [q]) for q in range(n)]


def show_counts() -> None:
    bell = cc.CircuitData(2, ghz(2) + measure_all(2))
    print("Bell counts (1000 shots, seed 7):", wavesim.run_cpp(bell, 1000, 2, 7))
    print("GHZ(4) counts (1000 shots, float32):", wavesim.run_cpp(cc.CircuitData(4, ghz(4) + measure_all(4)), 1000, 4, 7,
                                                                     use_float32=True))
    # A measurement in the middle: the second bit always repeats the flipped first one.
    mid = cc.CircuitData(1, [gate("H", [0]), gate("MEASURE", [0], [0]), gate("X", [0]), gate("MEASURE", [0], [1])])
    print("measure, flip, measure again:", wavesim.run_cpp(mid, 1000, 2, 3))


def show_clifford_counts() -> None:
    try:
        from cliffmix import build_random_clifford_data
    except ImportError:
        print("cliffmix not built: random Clifford counts skipped")
        return
    circuit = build_random_clifford_data(5, 60, "all", 7)
    circuit.instructions = circuit.instructions + measure_all(5)
    counts = wavesim.run_cpp(circuit, 2000, 5, 11)
    top = sorted(counts.items(), key=lambda kv: -kv[1])[:4]
    print(f"random Clifford circuit (5 qubits, 60 gates) + MEASUREs: {len(counts)} outcomes, most frequent {top}")


def run() -> None:
    show_amplitudes()
    show_batched_layer()
    show_counts()
    show_clifford_counts()


if __name__ == "__main__":
    run()
