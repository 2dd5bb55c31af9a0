"""Instructions built per second: ansatzkit.build_n_local_data against the
same records made one by one from Python through circuitcore, in one run.

    PYTHONPATH=build/<dir>/python .venv/bin/python bench/bench_ansatzkit.py [--qubits 100 --reps 20]

Each side is repeated until it has run for at least --seconds; the best
repetition counts. The goal is a native rate at least 20 times the Python one.
"""

import argparse
import itertools
import platform
import time

import ansatzkit
import circuitcore as cc

ROTATIONS = ["RY", "RZ"]
ENTANGLER = "CX"
PREFIX = "theta"
GOAL = 20.0


class Block:
    def __init__(self, name):
        self.__name__ = name


def native(n, reps):
    return ansatzkit.build_n_local_data(n, [Block(g) for g in ROTATIONS], [Block(ENTANGLER)], ["full"], reps,
                                        False, PREFIX, True, False, "")


def python_loop(n, reps):
    """The same circuit, record by record: rotations block-major, then "full" pairs."""
    pairs = sorted(itertools.combinations(range(n), 2), reverse=True)
    size = (reps + 1) * len(ROTATIONS) * n
    table = cc.ParamTable(PREFIX, size)
    names = [e.name for e in table.entries]
    instructions = []
    v = 0

    def rotation_layer():
        nonlocal v
        for gate in ROTATIONS:
            for q in range(n):
                instructions.append(cc.CircuitInstruction(
                    name=gate, qubits=[q], param=cc.ParamBinding(names[v], []), has_param=True))
                v += 1

    for _ in range(reps):
        rotation_layer()
        for a, b in pairs:
            instructions.append(cc.CircuitInstruction(name=ENTANGLER, qubits=[b], controls=[a]))
    rotation_layer()
    return cc.CircuitData(n, instructions, table)


def best_time(build, n, reps, seconds):
    best, spent, result = float("inf"), 0.0, None
    while spent < seconds:
        result = None  # the previous circuit is freed outside the timed call
        start = time.perf_counter()
        result = build(n, reps)
        elapsed = time.perf_counter() - start
        best, spent = min(best, elapsed), spent + elapsed
    return best, result


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=100)
    parser.add_argument("--reps", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()

    native_time, built = best_time(native, args.qubits, args.reps, args.seconds)
    python_time, reference = best_time(python_loop, args.qubits, args.reps, args.seconds)
    count = len(built.instructions)
    assert built.instructions == reference.instructions, "the two sides built different circuits"

    print(f"{cpu_name()}, Python {platform.python_version()}")
    print(f"n-local {args.qubits} qubits, {args.reps} repetitions, {'+'.join(ROTATIONS)} / {ENTANGLER} full: "
          f"{count} instructions, {built.params.size} parameters")
    print(f"  native ansatzkit : {native_time * 1e3:9.2f} ms  {count / native_time / 1e6:8.2f} M instructions/s")
    print(f"  Python circuitcore: {python_time * 1e3:8.2f} ms  {count / python_time / 1e6:8.2f} M instructions/s")
    ratio = python_time / native_time
    print(f"  ratio {ratio:.1f}x (goal >= {GOAL:.0f}x): {'met' if ratio >= GOAL else 'NOT met'}")


if __name__ == "__main__":
    main()
