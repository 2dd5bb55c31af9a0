"""cliffmix part of the demo: random Clifford circuits and their make-up."""

import collections

import circuitcore  # registers CircuitData, which the builders return
import cliffmix


def run() -> None:
    circuit = cliffmix.build_random_clifford_data(5, 100, "all", 7)
    counts = collections.Counter(ins.name for ins in circuit.instructions)
    print(f"random circuit: {circuit.num_qubits} qubits, {len(circuit.instructions)} gates (seed 7)")
    print("  gate counts:", ", ".join(f"{name} {counts[name]}" for name in sorted(counts)))
    first = circuit.instructions[:4]
    print("  first gates:", "; ".join(f"{i.name} controls={i.controls} qubits={i.qubits}" for i in first))

    again = cliffmix.build_random_clifford_data(5, 100, "all", 7)
    same = [(i.name, i.qubits, i.controls) for i in again.instructions] == [
        (i.name, i.qubits, i.controls) for i in circuit.instructions
    ]
    print("  same seed gives the same circuit:", same)

    restricted = cliffmix.build_random_clifford_data(3, 1000, ["H", "Cx"], 1)
    share = sum(i.name == "H" for i in restricted.instructions) / len(restricted.instructions)
    print(f"  gates=['H', 'Cx'] over 1000 draws: share of H {share:.3f}")

    given = cliffmix.build_random_clifford_from_indices(3, ["cx", "h", "swap"], [[2, 0], [1], [0, 2]])
    print("from given indices:", given.instructions)
    try:
        cliffmix.build_random_clifford_from_indices(3, ["cx"], [[0]])
    except ValueError as err:
        print("  short index list rejected:", err)
    print("circuitcore record type:", type(circuit) is circuitcore.CircuitData)


if __name__ == "__main__":
    run()
