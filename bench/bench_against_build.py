"""This tree's wavesim against another build of it, on the calls where a change
could make things slower without any other benchmark noticing: small circuits
called one at a time (n = 2 ... 14), a batched parameter sweep, and dynamic
circuits (a measurement and reset in the middle, sampled shot by shot); and, with
--kinds random or layered, random SX/SY/T + CZ circuits or layered RZ.RX + CX
circuits (20 layers) at n = 18 ... 24 in both precisions, where the windows
gather from memory.

    .venv/bin/python bench/bench_against_build.py --base build/<base>/python \\
        [--new build/<dir>/python] [--rounds 5] [--bits SEEDS] [--kinds small sweep dynamic random layered]

--base is the python directory of the build to compare with (for example a
worktree of an earlier commit built into its own directory); --new defaults to
the installed modules. Each build runs in a subprocess of its own (both hold a
module named wavesim); the rounds alternate between them so that a change of
load hits both alike. Reported per case: the median over rounds of the time of
one call, and new / base (above 1: slower now). Both builds' results are
compared (amplitudes to 1e-12, counts exactly) before anything is reported.
--bits SEEDS first compares the two builds' results bit for bit on random
circuits over the whole vocabulary (bench/result_digests.py, SEEDS seeds), and
lists every result that differs.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = str(Path(__file__).resolve().parent)  # families.py, for the workers
SEED = 17

# Run inside each subprocess: the case's median seconds per call and a digest of its result.
WORKER = r"""
import json, sys, time, hashlib
import numpy as np
import families
import wavesim

kind, n, calls, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = np.random.default_rng(seed)

def layers(count, sets=1):
    angles = [rng.uniform(0, 6.3, sets) for _ in range(count * n)]
    return families.n_local(n, count, angles, last_rotations=False)

if kind == "small":
    circuit = families.circuit_data(n, layers(5))
    run = lambda: wavesim.cal_states_cpp(circuit)
elif kind.startswith("random") or kind.startswith("layered"):
    draw = families.random_layers if kind.startswith("random") else families.layered
    circuit = families.circuit_data(n, draw(n, 20, rng))
    run = lambda: wavesim.cal_states_cpp(circuit, kind.endswith("-single"))
elif kind == "sweep":
    circuit = families.circuit_data(n, layers(2, sets=256))
    run = lambda: wavesim.cal_states_cpp(circuit)
else:
    ops = layers(2) + [["MEASURE", [0], 0], ["RESET", [0], None]] + layers(1)
    circuit = families.circuit_data(n, ops, measure_all=True)
    run = lambda: wavesim.run_cpp(circuit, 1000, n + 1, seed=5)

result = run()
if isinstance(result, dict):
    digest = json.dumps(sorted(result.items()))
else:  # equal values give equal digests: adding +0 turns -0 into +0
    values = np.asarray(result)
    digest = np.concatenate([values.real + 0.0, values.imag + 0.0]).tobytes().hex()
times = []
for _ in range(calls):
    start = time.perf_counter()
    run()
    times.append(time.perf_counter() - start)
print(json.dumps({"seconds": float(np.median(times)), "digest": hashlib.sha256(digest.encode()).hexdigest()}))
"""

# (kind, qubits, calls per round)
CASES = [("small", n, 400) for n in (2, 4, 8, 12, 14)] + \
        [("sweep", n, 5) for n in (8, 12, 16)] + \
        [("dynamic", n, 5) for n in (8, 12, 16)] + \
        [(f"{k}-{p}", n, 3) for k in ("random", "layered") for p in ("double", "single") for n in (18, 20, 22, 24)]
DEFAULT_KINDS = ["small", "sweep", "dynamic"]


def time_once(python_dir, kind, n, calls):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([python_dir, BENCH]) if python_dir else BENCH)
    out = subprocess.run([sys.executable, "-c", WORKER, kind, str(n), str(calls), str(SEED + n)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def digests_of(python_dir, seeds):
    env = dict(os.environ, PYTHONPATH=python_dir) if python_dir else dict(os.environ)
    out = subprocess.run([sys.executable, str(Path(BENCH) / "result_digests.py"), str(seeds)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def compare_bits(base, new, seeds):
    want, got = digests_of(base, seeds), digests_of(new, seeds)
    differ = sorted(key for key in want if got.get(key) != want[key])
    print(f"bit for bit: {len(want) - len(differ)} of {len(want)} results equal")
    for key in differ:
        print(f"  differs: {key}")
    return not differ


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", required=True, help="python directory of the build to compare with")
    parser.add_argument("--new", default="", help="python directory of this tree's build (default: installed)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--bits", type=int, default=0, metavar="SEEDS",
                        help="first compare results bit for bit on this many seeds of random circuits")
    parser.add_argument("--kinds", nargs="+", default=DEFAULT_KINDS, choices=DEFAULT_KINDS + ["random", "layered"])
    args = parser.parse_args()
    if args.bits and not compare_bits(args.base, args.new, args.bits):
        sys.exit(1)

    print(f"load average before: {os.getloadavg()[0]:.2f}")
    print("| case | n | base (s) | new (s) | new / base | same result |")
    print("|---|---|---|---|---|---|")
    for kind, n, calls in CASES:
        if kind.split("-")[0] not in args.kinds:
            continue
        times = {"base": [], "new": []}
        digests = set()
        for _ in range(args.rounds):
            for label in ("base", "new"):
                result = time_once(getattr(args, label), kind, n, calls)
                times[label].append(result["seconds"])
                digests.add(result["digest"])
        base = statistics.median(times["base"])
        new = statistics.median(times["new"])
        print(f"| {kind} | {n} | {base:.4g} | {new:.4g} | {new / base:.2f} | {'yes' if len(digests) == 1 else 'NO'} |",
              flush=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
