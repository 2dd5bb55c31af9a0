"""Expectation values and adjoint gradients of an n-local circuit (RY on every qubit, a
CX chain, ``reps`` repetitions and a final RY layer: ``(reps + 1) * n`` parameters) against
cal_states_cpp of the same circuit, side by side in alternating rounds:

    .venv/bin/python bench/bench_gradient.py [--sizes 16 20] [--rounds 5] [--shift] [--memory 26]

Observable: the transverse-field Ising ring, n ZZ terms and n X terms. Reported per n:
the median over rounds of each call's wall time, and the ratios expval_cpp / cal_states_cpp
and expval_grad_cpp / cal_states_cpp (targets: the gradient at most 4 forward simulations
at n = 20 with at least 100 parameters). ``--shift`` also times the gradient by the two-term
parameter shift through one batched cal_states_cpp call of 2P sets and NumPy energies
(target: the adjoint gradient 30 times faster at 100 parameters); ``--memory N`` runs one
single-set gradient at N qubits in a fresh process and reports its peak resident memory in
states of N qubits (target at 26: at most 2.2).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import circuitcore as cc
import ansatzkit
import wavesim

import families

MIN_PARAMETERS = 100


class RY:
    pass


class CX:
    pass


def ansatz(n, seed=0):
    reps = families.reps_for_parameters(n, MIN_PARAMETERS)
    data = ansatzkit.build_n_local_data(n, [RY], [CX], ["linear"], reps, False, "t", True, False, "")
    rng = np.random.default_rng(seed)
    instructions = data.instructions
    for index, name, _ in wavesim.param_columns(data):
        instructions[index].param = cc.ParamBinding(name, [float(rng.uniform(0, 2 * np.pi))])
    data.instructions = instructions
    return data


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def energies(rows, n):
    """<H> of each row of amplitudes, in NumPy, a row at a time (no copies of all rows)."""
    index = np.arange(1 << n)
    zz = sum(1 - 2 * (((index >> q) ^ (index >> ((q + 1) % n))) & 1) for q in range(n))
    out = np.empty(len(rows))
    for r, psi in enumerate(rows):
        x = sum(np.vdot(psi, psi[index ^ (1 << q)]).real for q in range(n))
        out[r] = (np.abs(psi) ** 2) @ zz + families.ISING_FIELD * x
    return out


def shift_gradient(data, n):
    """The two-term parameter shift: 2P sets in one batched cal_states_cpp call."""
    columns = [i for i, ins in enumerate(data.instructions) if ins.has_param]
    base = np.array([data.instructions[i].param.value[0] for i in columns])
    sets = np.concatenate([base + np.pi / 2 * np.eye(len(base)), base - np.pi / 2 * np.eye(len(base))])
    batched = cc.CircuitData(n, data.instructions)
    instructions = batched.instructions
    for j, i in enumerate(columns):
        instructions[i].param = cc.ParamBinding(instructions[i].param.name, [float(v) for v in sets[:, j]])
    batched.instructions = instructions
    e = energies(wavesim.cal_states_cpp(batched), n)
    return (e[: len(base)] - e[len(base):]) / 2


def compare(n, rounds, shift):
    data = ansatz(n)
    observable = families.ising_ring(n)
    parameters = len(wavesim.param_columns(data))
    calls = {
        "cal_states_cpp": lambda: wavesim.cal_states_cpp(data),
        "expval_cpp": lambda: wavesim.expval_cpp(data, [observable]),
        "expval_grad_cpp": lambda: wavesim.expval_grad_cpp(data, observable),
    }
    if shift:
        _, adjoint = wavesim.expval_grad_cpp(data, observable)
        np.testing.assert_allclose(shift_gradient(data, n), adjoint, atol=1e-9)
        calls["parameter shift"] = lambda: shift_gradient(data, n)
    for call in calls.values():
        call()  # warm: pages, caches
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            times[name].append(seconds(call))
    median = {name: statistics.median(t) for name, t in times.items()}
    forward = median["cal_states_cpp"]
    line = f"n={n:2d} P={parameters:3d}  " + "  ".join(f"{name} {t:.4f}s" for name, t in median.items())
    line += f"  | expval/forward {median['expval_cpp'] / forward:.2f}  grad/forward {median['expval_grad_cpp'] / forward:.2f}"
    if shift:
        line += f"  shift/grad {median['parameter shift'] / median['expval_grad_cpp']:.1f}"
    print(line, flush=True)


def peak_memory(n):
    """Peak resident bytes of one single-set gradient at n qubits, in a fresh process, per state."""
    script = ("import resource, sys; sys.path.insert(0, 'bench'); import bench_gradient as b, wavesim; "
              f"d = b.ansatz({n}); wavesim.expval_grad_cpp(d, b.families.ising_ring({n})); "
              "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    kib = int(subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout)
    state = 16 << n
    print(f"n={n} single-set gradient: peak {kib / 2**20:.2f} GiB = {kib * 1024 / state:.3f} states of {n} qubits")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="*", default=[16, 20])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--shift", action="store_true")
    parser.add_argument("--memory", type=int, nargs="*", default=[])
    args = parser.parse_args()
    print("load average before: " + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    for n in args.sizes:
        compare(n, args.rounds, args.shift)
    for n in args.memory:
        peak_memory(n)


if __name__ == "__main__":
    main()
