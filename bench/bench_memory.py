"""Peak resident memory of one call that returns a whole state, as a multiple of
the result's size: wavesim.cal_states_cpp and, where they fit, qulacs
(get_vector, double) and qsimcirq (final_state_vector, single). The circuit is
H on qubit 0 and H on the top qubit: each gate writes every amplitude, so every
page of the state is in use, while the calls stay short at 16 GiB.

    .venv/bin/python bench/bench_memory.py [--double 26 27 28 29 30] [--single 27 28 29 30 31]
        [--systems wavesim qulacs qsim] [--out bench/results/memory.md]

Each call runs in a fresh process (peers with their env under bench/.peer-envs).
Peak = the process's high-water mark of resident memory (VmHWM) after the call;
"before" is the mark before it (interpreter, imports, circuit). A run is skipped
when the peak predicted from the previous size does not fit in the memory
available now, and a watchdog kills the child (by its pid) when the machine's
available memory falls below a floor, so no run can push the machine into the
kernel's out-of-memory killer.
"""

import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
PEER_ENVS = ROOT / "bench" / ".peer-envs"
GIB = 1 << 30
FLOOR = 3 * GIB // 2       # the watchdog kills a child when less than this is available
MARGIN = 2 * GIB           # room left for the other processes of the machine
FIRST_GUESS = 2.1          # predicted peak / result for a system's first size

# Run in the child: prints {"before": bytes, "peak": bytes, "seconds": s, "size": bytes}.
CHILD = r'''
import json, sys, time

def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

system, precision, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
if system == "wavesim":
    import circuitcore as cc, wavesim
    data = cc.CircuitData(n, [cc.CircuitInstruction(name="H", qubits=[q]) for q in (0, n - 1)])
    call = lambda: wavesim.cal_states_cpp(data, precision == "single")
elif system == "qulacs":
    import qulacs
    circuit = qulacs.QuantumCircuit(n)
    for q in (0, n - 1):
        circuit.add_H_gate(q)
    def call():
        state = qulacs.QuantumState(n)
        circuit.update_quantum_state(state)
        return state.get_vector()
else:
    import os, cirq, qsimcirq
    qubits = cirq.LineQubit.range(n)
    circuit = cirq.Circuit(cirq.H(qubits[q]) for q in (0, n - 1))
    simulator = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=os.cpu_count()))
    call = lambda: simulator.simulate(circuit, qubit_order=qubits).final_state_vector
before = hwm()
start = time.perf_counter()
result = call()
seconds = time.perf_counter() - start
print(json.dumps({"before": before, "peak": hwm(), "seconds": seconds, "size": result.nbytes}))
'''


def available():
    for line in open("/proc/meminfo"):
        if line.startswith("MemAvailable:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no MemAvailable in /proc/meminfo")


def python_of(system):
    if system == "wavesim":
        return sys.executable
    path = PEER_ENVS / system / "bin" / "python"
    return str(path) if path.exists() else None


def run_child(python, system, precision, n):
    """The child's report, or a text saying why there is none."""
    child = subprocess.Popen([python, "-c", CHILD, system, precision, str(n)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    lowest = available()
    while child.poll() is None:
        lowest = min(lowest, available())
        if lowest < FLOOR:
            os.kill(child.pid, signal.SIGKILL)
            child.wait()
            return f"killed: available memory fell to {lowest / GIB:.1f} GiB"
        time.sleep(0.05)
    out, err = child.communicate()
    if child.returncode != 0:
        return "failed: " + (err.strip().splitlines() or ["exit %d" % child.returncode])[-1]
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--double", type=int, nargs="*", default=[26, 27, 28, 29, 30])
    parser.add_argument("--single", type=int, nargs="*", default=[27, 28, 29, 30, 31])
    parser.add_argument("--systems", nargs="*", default=["wavesim", "qulacs", "qsim"])
    parser.add_argument("--out", type=pathlib.Path)
    args = parser.parse_args()

    peers = {"qulacs": "double", "qsim": "single"}  # the precisions each peer has
    rows = []
    for system in args.systems:
        python = python_of(system)
        for precision, sizes in (("double", args.double), ("single", args.single)):
            if system in peers and peers[system] != precision:
                continue
            ratio = FIRST_GUESS
            for n in sizes:
                size = (1 << n) * (16 if precision == "double" else 8)
                free = available()
                if python is None:
                    outcome = "not installed"
                elif ratio * size > free - MARGIN:
                    outcome = f"skipped: needs about {ratio * size / GIB:.1f} GiB, {free / GIB:.1f} GiB available"
                else:
                    outcome = run_child(python, system, precision, n)
                row = {"system": system, "precision": precision, "n": n, "result_gib": size / GIB}
                if isinstance(outcome, dict):
                    ratio = outcome["peak"] / size
                    row.update(peak_gib=outcome["peak"] / GIB, before_gib=outcome["before"] / GIB, ratio=ratio,
                               seconds=outcome["seconds"])
                else:
                    row["note"] = outcome
                rows.append(row)
                print(json.dumps(row), flush=True)

    load = os.getloadavg()[0]
    lines = [f"Run {time.strftime('%Y-%m-%dT%H:%M:%S')}, load average {load:.2f}; circuit: H on qubits 0 and n - 1; "
             "peak = VmHWM of a fresh process after one call, ratio = peak / result size.", "",
             "| system | precision | n | result (GiB) | before call (GiB) | peak (GiB) | ratio | call (s) |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        if "note" in r:
            lines.append(f"| {r['system']} | {r['precision']} | {r['n']} | {r['result_gib']:.2f} | — | — | — | "
                         f"{r['note']} |")
        else:
            lines.append(f"| {r['system']} | {r['precision']} | {r['n']} | {r['result_gib']:.2f} | "
                         f"{r['before_gib']:.3f} | {r['peak_gib']:.2f} | {r['ratio']:.3f} | {r['seconds']:.1f} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        args.out.write_text(text)


if __name__ == "__main__":
    main()
