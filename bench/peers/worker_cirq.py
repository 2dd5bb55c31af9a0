"""Benchmark worker for Cirq's own state-vector simulator (the plain baseline)."""

import cirq
import numpy as np

import cirq_common
import protocol

SAMPLE_SEED = 7
DTYPES = {"double": np.complex128, "single": np.complex64}


def build(job):
    simulator = cirq.Simulator(dtype=DTYPES[job["precision"]], seed=SAMPLE_SEED)
    return cirq_common.build_job(job, simulator)


def describe():
    return {"system": "cirq", "version": cirq.__version__}


if __name__ == "__main__":
    protocol.serve(build, describe)
