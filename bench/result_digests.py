"""Digests of wavesim's results on seeded random circuits over the whole vocabulary: amplitudes of
cal_states_cpp (single and batched, every fusion setting, both precisions), expval_cpp and
expval_grad_cpp, and the counts of run_cpp (terminal and mid-circuit measurements). Two builds that
print the same digests give the same bits.

    PYTHONPATH=<build>/python .venv/bin/python bench/result_digests.py [seeds]

bench_against_build.py --bits runs it against two builds and lists the results that differ.
"""

import hashlib
import json
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import circuitcore as cc  # noqa: E402
import wavesim  # noqa: E402
from wavesim_circuits import instruction, random_circuit  # noqa: E402

SIZES = (1, 2, 3, 5, 8, 13, 16, 18)
LARGE = 16  # from this size, one seed in five and shorter circuits
FUSIONS = (0, 2, 3, 4)


def digest(value):
    if isinstance(value, np.ndarray):
        data = np.ascontiguousarray(value).tobytes()
    else:
        data = json.dumps(value, sort_keys=True).encode()
    return hashlib.sha256(data).hexdigest()[:16]


def observables(n):
    ising = [("ZZ", [q, (q + 1) % n], 1.0) for q in range(n)] + [("X", [q], 0.5) for q in range(n)]
    return [ising, [("Y", [0], 0.3), ("XZ", [n - 1, 0], -0.7), ("", [], 2.0)]]


def dynamic(circuit, rng):
    """The circuit followed by measurements, rotations and a reset, then every qubit measured."""
    n = circuit.num_qubits
    ops = list(circuit.instructions)
    for k in range(3):
        q = int(rng.integers(n))
        ops += [instruction("MEASURE", [q], [k % n]), instruction("RX", [q], [], [0.3 * k + 0.1])]
        if k == 1:
            ops.append(instruction("RESET", [int(rng.integers(n))]))
    return cc.CircuitData(n, ops + [instruction("MEASURE", [q], [q]) for q in range(n)])


def digests(seeds):
    out = {}
    for seed in range(seeds):
        for n in SIZES:
            if n >= LARGE and seed % 5:
                continue
            for batches in (1, 3):
                c = random_circuit(seed * 100 + n, n, 60 if n < LARGE else 30, batches)
                key = f"{seed} {n} {batches}"
                for f32 in (False, True):
                    for fusion in FUSIONS:
                        out[f"states {key} {f32} {fusion}"] = digest(wavesim.cal_states_cpp(c, f32, fusion=fusion))
                        if n >= 2:
                            out[f"expval {key} {f32} {fusion}"] = digest(
                                wavesim.expval_cpp(c, observables(n), f32, fusion=fusion))
                            values, grads = wavesim.expval_grad_cpp(c, observables(n)[0], f32, fusion=fusion)
                            out[f"grad {key} {f32} {fusion}"] = digest(np.append(np.ravel(values), np.ravel(grads)))
                terminal = cc.CircuitData(n, list(c.instructions) + [instruction("MEASURE", [q], [q]) for q in range(n)])
                mid = dynamic(c, np.random.default_rng(seed))
                for f32 in (False, True):
                    for fusion in (0, 2):
                        out[f"shots {key} {f32} {fusion}"] = digest(
                            wavesim.run_cpp(terminal, 300, n, 7 + seed, f32, fusion=fusion))
                        if n <= 13:
                            out[f"dynamic {key} {f32} {fusion}"] = digest(
                                wavesim.run_cpp(mid, 200, n, 11 + seed, f32, fusion=fusion))
    return out


if __name__ == "__main__":
    json.dump(digests(int(sys.argv[1]) if len(sys.argv) > 1 else 10), sys.stdout)
