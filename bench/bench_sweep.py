"""Parameter sweep: the 2-layer RY/CZ ansatz (RY on every qubit, a CZ chain,
twice, then a last RY layer) on n = 8, 12, 16 qubits for 256 parameter sets,
evaluated in one batched cal_states_cpp call.

    PYTHONPATH=build/<dir>/python .venv/bin/python bench/bench_sweep.py \
        [--sizes 8 12 16] [--sets 256] [--repeats 15] [--single]

Prints the median and the best wall time of the call per n, and the time per
(parameter set, gate) pair. Run it against two build trees to compare them.
"""

import argparse
import statistics
import time

import numpy as np

import wavesim

import families

LAYERS = 2
SEED = 2026


def sweep_records(n, sets, rng):
    """The ansatz with a value list of `sets` angles per RY gate."""
    angles = [[float(v) for v in rng.uniform(0.0, 2.0 * np.pi, sets)] for _ in range((LAYERS + 1) * n)]
    return families.circuit_data(n, families.n_local(n, LAYERS, angles, "CZ"))


def time_call(records, single, repeats):
    wavesim.cal_states_cpp(records, single)  # warm-up: first touch of the pages, thread team start
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        wavesim.cal_states_cpp(records, single)
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[8, 12, 16])
    parser.add_argument("--sets", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--single", action="store_true", help="single precision")
    args = parser.parse_args()
    rng = np.random.default_rng(SEED)
    print(f"{'n':>3} {'gates':>6} {'median (ms)':>12} {'best (ms)':>10} {'per set*gate (us)':>18}")
    for n in args.sizes:
        records = sweep_records(n, args.sets, rng)
        median, best = time_call(records, args.single, args.repeats)
        gates = len(records.instructions)
        per_pair = median / (args.sets * gates) * 1e6
        print(f"{n:>3} {gates:>6} {median * 1e3:>12.3f} {best * 1e3:>10.3f} {per_pair:>18.3f}")


if __name__ == "__main__":
    main()
