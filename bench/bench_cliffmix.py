"""Gates built per second: cliffmix's two builders against the same records made
one by one from Python through circuitcore, in one run.

    PYTHONPATH=build/<dir>/python .venv/bin/python bench/bench_cliffmix.py [--qubits 20 --gates 200000]

The Python side of the random builder draws with the standard library's
Mersenne Twister (C code), so the comparison is about building records, not
about the generator. Each side is repeated until it has run for at least
--seconds; the best repetition counts. The goal is a native rate at least 20
times the Python one.
"""

import argparse
import platform
import random
import time

import circuitcore as cc
import cliffmix

GATES = ["cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"]
TWO_QUBIT = {"cx", "cz", "cy", "swap"}
SEED = 7
GOAL = 20.0


def record(name, indices):
    if name == "swap":
        return cc.CircuitInstruction(name="SWAP", qubits=indices)
    if name in TWO_QUBIT:
        return cc.CircuitInstruction(name=name.upper(), qubits=[indices[1]], controls=[indices[0]])
    return cc.CircuitInstruction(name=name.upper(), qubits=[indices[0]])


def python_random(n, count):
    gen = random.Random(SEED)
    instructions = []
    for _ in range(count):
        name = GATES[gen.randrange(len(GATES))]
        a = gen.randrange(n)
        if name in TWO_QUBIT:
            b = gen.randrange(n - 1)
            instructions.append(record(name, [a, b + (b >= a)]))
        else:
            instructions.append(record(name, [a]))
    return cc.CircuitData(n, instructions)


def python_from_indices(n, names, indices):
    return cc.CircuitData(n, [record(name, q) for name, q in zip(names, indices)])


def best_time(build, *args, seconds):
    best, spent, result = float("inf"), 0.0, None
    while spent < seconds:
        result = None  # the previous circuit is freed outside the timed call
        start = time.perf_counter()
        result = build(*args)
        elapsed = time.perf_counter() - start
        best, spent = min(best, elapsed), spent + elapsed
    return best, result


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or "unknown CPU"


def report(label, count, native_time, python_time):
    ratio = python_time / native_time
    print(f"{label}: {count} gates")
    print(f"  native cliffmix   : {native_time * 1e3:9.2f} ms  {count / native_time / 1e6:8.2f} M gates/s")
    print(f"  Python circuitcore: {python_time * 1e3:9.2f} ms  {count / python_time / 1e6:8.2f} M gates/s")
    print(f"  ratio {ratio:.1f}x (goal >= {GOAL:.0f}x): {'met' if ratio >= GOAL else 'NOT met'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=20)
    parser.add_argument("--gates", type=int, default=200000)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    n, count = args.qubits, args.gates
    print(f"{cpu_name()}, Python {platform.python_version()}")

    native_time, built = best_time(cliffmix.build_random_clifford_data, n, count, "all", SEED, seconds=args.seconds)
    python_time, _ = best_time(python_random, n, count, seconds=args.seconds)
    report(f"build_random_clifford_data({n}, {count}, 'all', {SEED})", count, native_time, python_time)

    # Feed the native circuit's own gates back, so both sides must rebuild it exactly.
    names, indices = [], []
    for ins in built.instructions:
        names.append(ins.name.lower())
        indices.append(ins.qubits if ins.name == "SWAP" else ins.controls + ins.qubits)
    native_time, rebuilt = best_time(cliffmix.build_random_clifford_from_indices, n, names, indices,
                                     seconds=args.seconds)
    python_time, reference = best_time(python_from_indices, n, names, indices, seconds=args.seconds)
    assert rebuilt.instructions == built.instructions == reference.instructions, "the builders disagree"
    report(f"build_random_clifford_from_indices({n}, <{count} names>, <{count} lists>)", count, native_time,
           python_time)


if __name__ == "__main__":
    main()
