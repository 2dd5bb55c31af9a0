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

import circuitcore as cc
import wavesim

LAYERS = 5
QULACS_PYTHON = Path(__file__).resolve().parent / ".peer-envs" / "qulacs" / "bin" / "python"

# Run with qulacs's python: prints the first state, then the mean seconds per call.
QULACS_WORKER = r"""
import json, sys, time
import numpy as np
import qulacs
n, calls, angles = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3])
circuit = qulacs.QuantumCircuit(n)
k = 0
for _ in range(5):
    for q in range(n):
        circuit.add_RY_gate(q, -angles[k]); k += 1   # qulacs rotates by exp(+i theta P / 2)
    for q in range(n - 1):
        circuit.add_CNOT_gate(q, q + 1)
state = qulacs.QuantumState(n)
def call():
    state.set_zero_state()
    circuit.update_quantum_state(state)
    return state.get_vector()
first = call()
start = time.perf_counter()
for _ in range(calls):
    call()
print(json.dumps({"state": [first.real.tolist(), first.imag.tolist()],
                  "seconds": (time.perf_counter() - start) / calls}))
"""


def circuit(n, angles):
    instructions = []
    k = 0
    for _ in range(LAYERS):
        for q in range(n):
            instructions.append(cc.CircuitInstruction(name="RY", qubits=[q], param=cc.ParamBinding("", [angles[k]]),
                                                      has_param=True))
            k += 1
        instructions += [cc.CircuitInstruction(name="CX", controls=[q], qubits=[q + 1]) for q in range(n - 1)]
    return cc.CircuitData(n, instructions=instructions)


def wavesim_seconds(records, calls):
    wavesim.cal_states_cpp(records)
    start = time.perf_counter()
    for _ in range(calls):
        wavesim.cal_states_cpp(records)
    return (time.perf_counter() - start) / calls


def qulacs_run(n, calls, angles):
    out = subprocess.run([str(QULACS_PYTHON), "-c", QULACS_WORKER, str(n), str(calls), json.dumps(angles)],
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
        records = circuit(n, angles)
        check = qulacs_run(n, 1, angles)
        theirs = np.array(check["state"][0]) + 1j * np.array(check["state"][1])
        if not np.allclose(wavesim.cal_states_cpp(records), theirs, atol=1e-12):
            sys.exit(f"n={n}: wavesim and qulacs disagree")
        ours, peer = [], []
        for _ in range(args.rounds):
            ours.append(wavesim_seconds(records, args.calls))
            peer.append(qulacs_run(n, args.calls, angles)["seconds"])
        w, q = statistics.median(ours) * 1e6, statistics.median(peer) * 1e6
        print(f"| {n} | {len(records.instructions)} | {w:.2f} | {q:.2f} | {w / q:.2f} |", flush=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
