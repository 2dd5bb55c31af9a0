"""Benchmark worker for wavesim's noisy entries (run_noise.py).

Jobs: "noisy_shots" (run_cpp of the noisy circuit with every qubit measured at its end; result:
the fraction of shots reading 1 per qubit), "density_energy" (expval_cpp of a noisy circuit, exact
Tr(rho H) through the density matrix; result: the energy) and "trajectory_energy"
(expval_trajectories_cpp; result: mean and standard error). The variant {"fusion": k} passes
fusion=k. Ops are the neutral form of families.py, channels as [name, qubits, p].
"""

import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # bench/, for families.py
import circuitcore  # noqa: E402,F401
import families  # noqa: E402
import protocol  # noqa: E402
import wavesim  # noqa: E402

SEED = 7


def build(job):
    n = job["n"]
    single = job["precision"] == "single"
    fusion = int(job.get("variant", {}).get("fusion", 0))
    if job["kind"] == "noisy_shots":
        data = families.circuit_data(n, job["ops"], measure_all=True)

        def run():
            return wavesim.run_cpp(data, job["shots"], n, SEED, single, fusion=fusion)
        return run, lambda counts: protocol.marginals_from_indices(
            np.repeat([int(key, 2) for key in counts], list(counts.values())), n)
    data = families.circuit_data(n, job["ops"])
    observable = protocol.observable_terms(job)
    if job["kind"] == "density_energy":
        return (lambda: wavesim.expval_cpp(data, [observable], single, fusion=fusion)), np.asarray
    if job["kind"] == "trajectory_energy":
        def run():
            return wavesim.expval_trajectories_cpp(data, [observable], job["trajectories"], SEED, single,
                                                   fusion=fusion)
        return run, lambda result: np.concatenate(result)
    raise ValueError(f"no {job['kind']} jobs here")


def describe():
    return {"system": "wavesim", "threads": os.cpu_count()}


if __name__ == "__main__":
    protocol.serve(build, describe)
