"""Small circuits called one at a time, as a variational loop calls them:
5 layers of RY on every qubit and a CX chain, the circuit already built,
2000 calls, against qulacs (update_quantum_state + get_vector on a reused state).

    .venv/bin/python bench/bench_small_calls.py [--sizes 4 8 12] [--calls 2000] [--rounds 5]

qulacs runs in its own env (bench/peers/setup.sh makes it) in a subprocess; the
rounds alternate between the two so that a change of load hits both alike.
Reported: the median over rounds of the mean time per call, and the ratio
wavesim / qulacs (target at n = 4 and 8: <= 0.5). The first call's amplitudes
of both are compared before timing.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import wavesim

import families

LAYERS = 5
PEERS = Path(__file__).resolve().parent / "peers"
QULACS_PYTHON = PEERS.parent / ".peer-envs" / "qulacs" / "bin" / "python"

# Run with qulacs's python: prints the first state, then the mean seconds per call.
# worker_qulacs builds the circuit, as in the peer suite; its run() is
# update_quantum_state and get_vector on a reused state.
QULACS_WORKER = r"""
import json, sys, time
sys.path.insert(0, sys.argv[4])
import worker_qulacs
n, calls, ops = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3])
call, _ = worker_qulacs.build({"kind": "state", "n": n, "ops": ops, "precision": "double"})
first = call()
start = time.perf_counter()
for _ in range(calls):
    call()
print(json.dumps({"state": [first.real.tolist(), first.imag.tolist()],
                  "seconds": (time.perf_counter() - start) / calls}))
"""


def circuit(n, angles):
    return families.n_local(n, LAYERS, angles, last_rotations=False)


def wavesim_seconds(records, calls):
    wavesim.cal_states_cpp(records)
    start = time.perf_counter()
    for _ in range(calls):
        wavesim.cal_states_cpp(records)
    return (time.perf_counter() - start) / calls


def qulacs_run(n, calls, ops):
    out = subprocess.run([str(QULACS_PYTHON), "-c", QULACS_WORKER, str(n), str(calls), json.dumps(ops), str(PEERS)],
                         check=True, capture_output=True, text=True, env=dict(os.environ, OMP_NUM_THREADS="1"))
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 8, 12])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if not QULACS_PYTHON.exists():
        sys.exit(f"no qulacs env at {QULACS_PYTHON.parent.parent}: run bench/peers/setup.sh")
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    print("| n | gates | wavesim (µs/call) | qulacs (µs/call) | ratio |")
    print("|---|---|---|---|---|")
    for n in args.sizes:
        angles = [float(a) for a in np.random.default_rng(n).uniform(0, 2 * np.pi, LAYERS * n)]
        ops = circuit(n, angles)
        records = families.circuit_data(n, ops)
        check = qulacs_run(n, 1, ops)
        theirs = np.array(check["state"][0]) + 1j * np.array(check["state"][1])
        if not np.allclose(wavesim.cal_states_cpp(records), theirs, atol=1e-12):
            sys.exit(f"n={n}: wavesim and qulacs disagree")
        ours, peer = [], []
        for _ in range(args.rounds):
            ours.append(wavesim_seconds(records, args.calls))
            peer.append(qulacs_run(n, args.calls, ops)["seconds"])
        w, q = statistics.median(ours) * 1e6, statistics.median(peer) * 1e6
        print(f"| {n} | {len(records.instructions)} | {w:.2f} | {q:.2f} | {w / q:.2f} |", flush=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
