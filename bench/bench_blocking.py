"""Cache-blocked gate runs against the per-gate path on the layered circuit
(H on every qubit, then 20 layers of RZ and RX on every qubit and a CX brick).

    .venv/bin/python bench/bench_blocking.py --blocked build/<dir>/python \
        --plain build/<base>/python [--sizes 16 18 20 22] [--rounds 3]

--plain is the python directory of a build of the commit before cache blocking
(for example `git archive 32c7ccb | tar -x -C /tmp/base` built into its own
build directory), --blocked one of the current tree. Each build runs in its own
subprocess (both hold a module named wavesim); the rounds alternate between
the two so that a change of load on a shared machine hits both alike. Reported:
the median wall time of cal_states_cpp per build and precision, the speed-up,
and whether the two builds returned bit-identical amplitudes.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = str(Path(__file__).resolve().parent)  # families.py, for the workers
LAYERS = 20
ANGLE_SEED = 7

# Run inside each subprocess: one timed call, its result digest on stdout.
WORKER = r"""
import hashlib, json, sys, time
import numpy as np
import families
import wavesim

n, single, layers, seed = int(sys.argv[1]), sys.argv[2] == "float", int(sys.argv[3]), int(sys.argv[4])
circuit = families.circuit_data(n, families.layered(n, layers, np.random.default_rng(seed)))
start = time.perf_counter()
state = wavesim.cal_states_cpp(circuit, single)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "digest": hashlib.sha256(np.ascontiguousarray(state).tobytes()).hexdigest()}))
"""


def time_once(python_dir, n, precision):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([python_dir, BENCH]))
    out = subprocess.run([sys.executable, "-c", WORKER, str(n), precision, str(LAYERS), str(ANGLE_SEED + n)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--blocked", required=True, help="python directory of the blocked build")
    parser.add_argument("--plain", required=True, help="python directory of the per-gate build")
    parser.add_argument("--sizes", type=int, nargs="+", default=[16, 18, 20, 22])
    parser.add_argument("--precisions", nargs="+", default=["double", "float"], choices=["double", "float"])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    print(f"load average before: {os.getloadavg()[0]:.2f}")
    print("| n | precision | per-gate (s) | blocked (s) | speed-up | bit-identical |")
    print("|---|---|---|---|---|---|")
    for n in args.sizes:
        for precision in args.precisions:
            times = {"plain": [], "blocked": []}
            digests = set()
            for _ in range(args.rounds):
                for label in ("plain", "blocked"):
                    result = time_once(getattr(args, label), n, precision)
                    times[label].append(result["seconds"])
                    digests.add(result["digest"])
            plain = statistics.median(times["plain"])
            blocked = statistics.median(times["blocked"])
            print(f"| {n} | {precision} | {plain:.4g} | {blocked:.4g} | {plain / blocked:.2f} | "
                  f"{'yes' if len(digests) == 1 else 'NO'} |", flush=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
