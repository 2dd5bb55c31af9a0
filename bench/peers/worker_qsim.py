"""Benchmark worker for qsimcirq (single precision only, fuses gates).

A job's "variant" may set {"fusion": k}: qsim's max_fused_gate_size (default 2).
"""

import os

import cirq
import qsimcirq

import cirq_common
import protocol

SAMPLE_SEED = 7


def build(job):
    if job["precision"] != "single":
        raise ValueError("qsim simulates in single precision only")
    fusion = job.get("variant", {}).get("fusion", job.get("fusion", 2))
    options = qsimcirq.QSimOptions(cpu_threads=os.cpu_count(), max_fused_gate_size=fusion)
    return cirq_common.build_job(job, qsimcirq.QSimSimulator(qsim_options=options, seed=SAMPLE_SEED))


def describe():
    return {"system": "qsimcirq", "version": qsimcirq.__version__, "cirq": cirq.__version__,
            "threads": os.cpu_count()}


if __name__ == "__main__":
    protocol.serve(build, describe)
