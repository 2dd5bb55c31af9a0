"""Records per second of brickgen's quantum-volume lists against a NumPy/SciPy
generator of the same Haar-random 4x4 unitaries, in one run.

    PYTHONPATH=build/<dir>/python .venv/bin/python bench/bench_brickgen.py \
        [--perf build/<dir>/bench/brickgen_perf] [--seconds 0.3] [--rounds 3]

brickgen is timed end to end (native fill plus conversion to Python records)
in subprocesses with OMP_NUM_THREADS=1 and 2. With --perf (the native benchmark,
configured with -DNATIVE_BUILD_BENCH=ON) the native fill is timed alone, and the
conversion is the difference. The NumPy/SciPy side builds the same records:
complex Gaussian matrix, QR, the phases of R's diagonal divided out of Q, a
random pair of distinct qubits; once record by record with scipy.linalg.qr and
once with all matrices factorised in one batched numpy.linalg.qr call.
Goals: end to end at least 50 times the NumPy/SciPy generator; native fill at
least 1.7 times faster with 2 threads than with 1.
"""

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import time

import numpy as np
import scipy
import scipy.linalg

import brickgen
import circuitcore as cc

SIZES = [16, 32, 64, 100, 128, 200]
THREADS = [1, 2]
END_TO_END_GOAL = 50.0
SCALING_GOAL = 1.7


def best_seconds(build, seconds, rounds):
    """Best (wall, process CPU) seconds per call over `rounds` rounds of at least `seconds` wall time."""
    best_wall = best_cpu = float("inf")
    for _ in range(rounds):
        calls, start, cpu_start = 0, time.perf_counter(), time.process_time()
        while True:
            build()
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= seconds:
                break
        best_wall = min(best_wall, elapsed / calls)
        best_cpu = min(best_cpu, (time.process_time() - cpu_start) / calls)
    return best_wall, best_cpu


def haar_records_scipy(n, rng):
    records = []
    for _ in range(n * (n // 2)):
        g = rng.standard_normal((2, 4, 4))
        q, r = scipy.linalg.qr(g[0] + 1j * g[1])
        d = np.diagonal(r)
        u = q * (d.conj() / np.abs(d))
        a = int(rng.integers(n))
        b = a
        while b == a:
            b = int(rng.integers(n))
        records.append(cc.CircuitInstruction(name="su4", controls=[a], qubits=[b], matrix=u.ravel(order="F").tolist()))
    return records


def haar_records_numpy_batched(n, rng):
    count = n * (n // 2)
    z = rng.standard_normal((count, 4, 4)) + 1j * rng.standard_normal((count, 4, 4))
    q, r = np.linalg.qr(z)
    d = np.diagonal(r, axis1=1, axis2=2)
    u = q * (d.conj() / np.abs(d))[:, None, :]
    flat = u.transpose(0, 2, 1).reshape(count, 16).tolist()  # column-major per matrix
    first = rng.integers(0, n, count)
    second = (first + rng.integers(1, n, count)) % n
    return [cc.CircuitInstruction(name="su4", controls=[int(a)], qubits=[int(b)], matrix=m)
            for a, b, m in zip(first, second, flat)]


def worker(seconds, rounds):
    """Runs in a subprocess: brickgen end to end with this process's team size."""
    brickgen.build_qv_op_list(SIZES[-1], 0, 1)  # start the thread team
    print(json.dumps({n: best_seconds(lambda: brickgen.build_qv_op_list(n, 0, 7), seconds, rounds) for n in SIZES}))


def in_subprocess(args, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    return subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout


def native_fill(perf, threads, seconds, rounds):
    out = in_subprocess([perf, "--seconds", str(seconds), "--rounds", str(rounds)], threads)
    rows = [line.split() for line in out.splitlines() if re.match(r"\s*\d", line)]
    return {int(row[0]): (float(row[3]), int(row[2]) / float(row[5])) for row in rows}, out.splitlines()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--perf", help="path of the native benchmark brickgen_perf")
    parser.add_argument("--seconds", type=float, default=0.3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.seconds, args.rounds)
        return

    print(f"# python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}, "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} hardware threads; "
          f"best of {args.rounds} rounds of >= {args.seconds} s")
    end_to_end = {t: {int(k): tuple(v) for k, v in json.loads(in_subprocess(
        [sys.executable, __file__, "--worker", "--seconds", str(args.seconds), "--rounds", str(args.rounds)],
        t)).items()} for t in THREADS}
    fill = {}
    if args.perf:
        for t in THREADS:
            fill[t], header = native_fill(args.perf, t, args.seconds, args.rounds)
        print(header)
    rng = np.random.default_rng(2024)
    reference = {n: (best_seconds(lambda: haar_records_scipy(n, rng), args.seconds, args.rounds),
                     best_seconds(lambda: haar_records_numpy_batched(n, rng), args.seconds, args.rounds))
                 for n in SIZES}

    print("# wall-clock rates (records/s); x = brickgen end to end over the NumPy/SciPy generator")
    print(f"{'qubits':>6} {'records':>7} {'thr':>3} {'fill':>10} {'end-to-end':>10} "
          f"{'scipy loop':>10} {'x':>6} {'np batched':>10} {'x':>6}")
    for n in SIZES:
        count = n * (n // 2)
        loop_rate, batched_rate = count / reference[n][0][0], count / reference[n][1][0]
        for t in THREADS:
            fill_rate = count / fill[t][n][0] if fill else float("nan")
            rate = count / end_to_end[t][n][0]
            print(f"{n:6d} {count:7d} {t:3d} {fill_rate:10.0f} {rate:10.0f} "
                  f"{loop_rate:10.0f} {rate / loop_rate:6.1f} {batched_rate:10.0f} {rate / batched_rate:6.1f}")
    print("# one thread, records per CPU second (steadier on a shared machine); convert = end to end minus fill,")
    print("# nan where that difference drowns in the measurement noise")
    print(f"{'qubits':>6} {'fill':>10} {'convert':>10} {'end-to-end':>10} {'scipy loop':>10} {'x':>6} "
          f"{'np batched':>10} {'x':>6}")
    for n in SIZES:
        count = n * (n // 2)
        total = end_to_end[1][n][1]
        fill_cpu = fill[1][n][1] if fill else float("nan")
        convert = count / (total - fill_cpu) if total > fill_cpu else float("nan")
        loop_rate, batched_rate = count / reference[n][0][1], count / reference[n][1][1]
        print(f"{n:6d} {count / fill_cpu:10.0f} {convert:10.0f} {count / total:10.0f} {loop_rate:10.0f} "
              f"{count / total / loop_rate:6.1f} {batched_rate:10.0f} {count / total / batched_rate:6.1f}")
    if fill:
        scaling = ", ".join(f"n={n}: {fill[1][n][0] / fill[2][n][0]:.2f}x" for n in SIZES)
        print(f"# native fill 1 -> 2 threads, wall (goal >= {SCALING_GOAL}x; n=16 is a single chunk): {scaling}")
    print(f"# end-to-end goal: >= {END_TO_END_GOAL}x the NumPy/SciPy generator")


if __name__ == "__main__":
    main()
