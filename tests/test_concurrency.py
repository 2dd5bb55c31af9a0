"""Several Python threads calling every module at once, and memory over many calls.

Most calls keep the interpreter lock for a whole call, so calls from threads
serialise; wavesim's expectation-value entries let go of it while they
compute, so those run side by side. What can go wrong is shared state: the
per-thread generators of brickgen and of wavesim's RESET, OpenMP teams
started from different threads, and anything a call leaves behind.
Deterministic calls must give the serial results; memory must not grow with
the number of calls.
"""

import gc
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import circuitcore as cc
import ansatzkit
import brickgen
import cliffmix
import wavesim

THREADS = 4
ROUNDS = 12
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


class Gate:
    def __init__(self, name):
        self.__name__ = name


def gate(name, qubits, controls=(), values=None):
    param = None if values is None else cc.ParamBinding("", values)
    return cc.CircuitInstruction(name=name, qubits=list(qubits), controls=list(controls), param=param,
                                 has_param=values is not None)


def measured(circuit, bits):
    ins = list(circuit.instructions) + [cc.CircuitInstruction(name="MEASURE", qubits=[q], controls=[q])
                                        for q in range(bits)]
    return cc.CircuitData(circuit.num_qubits, ins)


def batched_circuit():
    # Three parameter sets: the batch region may spread them over an OpenMP team.
    return cc.CircuitData(5, [gate("H", [0]), gate("RX", [1], values=[0.1, 0.7, 2.0]), gate("CX", [2], [0]),
                              gate("U3", [4], values=[0.3, 0.2, 0.1]), gate("RZZ", [1, 3], values=[1.1])])


# Each job is deterministic: the same arguments give the same result on any thread.
def job_cal_states(i):
    c = cliffmix.build_random_clifford_data(6, 40, "all", i)
    return wavesim.cal_states_cpp(c, bool(i % 2))


def job_batched(i):
    return wavesim.cal_states_cpp(batched_circuit(), bool(i % 2))


def job_run(i):
    c = measured(cliffmix.build_random_clifford_data(5, 30, "all", 100 + i), 5)
    return wavesim.run_cpp(c, 500, 5, i)


def job_run_per_shot(i):
    c = cc.CircuitData(3, [gate("H", [0]), cc.CircuitInstruction(name="MEASURE", qubits=[0], controls=[0]),
                           gate("CX", [1], [0]), gate("RY", [2], values=[0.1 * i]),
                           cc.CircuitInstruction(name="MEASURE", qubits=[1], controls=[1]),
                           cc.CircuitInstruction(name="MEASURE", qubits=[2], controls=[2])])
    return wavesim.run_cpp(c, 300, 3, i)


def job_ansatz(i):
    c = ansatzkit.build_n_local_data(4 + i % 3, [Gate("RY"), Gate("RZ")], [Gate("CX"), Gate("RZZ")],
                                     ["full", "circular"], 2, False, f"p{i}", True, False, "")
    return [(ins.name, ins.controls, ins.qubits, ins.param.name) for ins in c.instructions]


def job_clifford(i):
    c = cliffmix.build_random_clifford_data(7, 60, ["h", "cx", "s"], i)
    return [(ins.name, ins.controls, ins.qubits) for ins in c.instructions]


def job_qv_matrices(i):
    # Matrices depend on seed and position only; qubit pairs come from per-thread generators.
    records = brickgen.build_qv_op_list(6, 0, i)
    for r in records:
        assert r.controls[0] != r.qubits[0] and 0 <= r.controls[0] < 6 and 0 <= r.qubits[0] < 6
    return [tuple(r.matrix) for r in records]


def job_expval(i):
    c = cliffmix.build_random_clifford_data(6, 40, "all", 200 + i)
    return wavesim.expval_cpp(c, [[("ZX", [0, 3], 1.0), ("Y", [i % 6], 0.5)], [("", [], 1.0)]], bool(i % 2))


def job_gradient(i):
    values, grads = wavesim.expval_grad_cpp(batched_circuit(), [("ZZ", [1, 3], 1.0), ("X", [4], -0.5)], bool(i % 2))
    return np.concatenate([values, grads.ravel()])


JOBS = [job_cal_states, job_batched, job_run, job_run_per_shot, job_ansatz, job_clifford, job_qv_matrices,
        job_expval, job_gradient]


def same(a, b):
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


def run_threads(worker):
    barrier = threading.Barrier(THREADS)

    def start(t):
        barrier.wait()
        return worker(t)

    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(start, range(THREADS)))


def test_concurrent_calls_match_serial_results():
    serial = {(job.__name__, i): job(i) for job in JOBS for i in range(ROUNDS)}

    def worker(t):
        mismatches = []
        for r in range(ROUNDS):
            for k, job in enumerate(JOBS):
                i = (r + t + k) % ROUNDS  # threads run different jobs at the same moment
                if not same(job(i), serial[(job.__name__, i)]):
                    mismatches.append((job.__name__, i))
        return mismatches

    assert run_threads(worker) == [[]] * THREADS


def test_expectation_values_let_other_python_threads_run():
    # While a gradient is computed, another thread keeps running Python: it must tick inside the
    # second half of the call, which a call holding the interpreter lock would not allow.
    class RY:
        pass

    class CX:
        pass

    data = ansatzkit.build_n_local_data(18, [RY], [CX], ["linear"], 3, False, "t", True, False, "")
    instructions = data.instructions
    for ins in instructions:
        if ins.has_param:
            ins.param = cc.ParamBinding(ins.param.name, [0.3])
    data.instructions = instructions
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.perf_counter()
        wavesim.expval_grad_cpp(data, [("Z", [q], 1.0) for q in range(18)])
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    middle = (start + end) / 2
    assert any(middle < t < end for t in ticks)


def test_reset_sources_per_thread_stay_valid():
    # RESET in cal_states_cpp draws from the calling thread's (or batch worker's) own source.
    c = cc.CircuitData(4, [gate("H", [0]), gate("CX", [1], [0]), gate("RY", [2], values=[0.4, 1.0, 2.2, 2.9]),
                           cc.CircuitInstruction(name="RESET", qubits=[0]), gate("H", [3])])

    def worker(t):
        for _ in range(40):
            rows = wavesim.cal_states_cpp(c, t % 2 == 1)
            assert rows.shape == (4, 16)
            for row in rows.astype(np.complex128):
                assert abs(np.vdot(row, row).real - 1.0) < 1e-5
                assert np.allclose(row[1::2], 0)  # qubit 0 was reset
        return True

    assert all(run_threads(worker))


def test_brickgen_qubit_generators_do_not_race():
    # Each thread continues its own sequence; concurrent calls must still give valid, full lists.
    def worker(t):
        for i in range(30):
            records = brickgen.build_qv_op_list_ultra(9, 0, t * 100 + i)
            assert len(records) == 36
            assert all(r.controls[0] != r.qubits[0] and max(r.controls[0], r.qubits[0]) < 9 for r in records)
        return True

    assert all(run_threads(worker))


PAGE = os.sysconf("SC_PAGE_SIZE")
WARMUP_CALLS = 300
MEASURED_CALLS = 3000
RSS_MARGIN_BYTES = 24 << 20


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


# Big enough that a result or state left behind per call shows in the RSS.
SMALL_CIRCUIT = cliffmix.build_random_clifford_data(10, 30, "all", 3)
SMALL_MEASURED = measured(SMALL_CIRCUIT, 10)
BAD_CIRCUIT = cc.CircuitData(2, [gate("NOPE", [0])])
CALLS = {
    "wavesim.cal_states_cpp": lambda i: wavesim.cal_states_cpp(SMALL_CIRCUIT, bool(i % 2)),
    "wavesim.cal_states_cpp batched": lambda i: wavesim.cal_states_cpp(batched_circuit()),
    "wavesim.run_cpp": lambda i: wavesim.run_cpp(SMALL_MEASURED, 50, 10, i),
    "wavesim errors": lambda i: pytest.raises(RuntimeError, wavesim.cal_states_cpp, BAD_CIRCUIT),
    "wavesim.expval_cpp": lambda i: wavesim.expval_cpp(SMALL_CIRCUIT, [[("ZZ", [0, 9], 1.0), ("X", [4], 0.5)]]),
    "wavesim.expval_grad_cpp batched": lambda i: wavesim.expval_grad_cpp(batched_circuit(), [("Y", [1], 1.0)]),
    "wavesim expval errors": lambda i: pytest.raises(ValueError, wavesim.expval_cpp, SMALL_CIRCUIT, [[("Q", [0], 1)]]),
    "brickgen": lambda i: brickgen.build_qv_op_list(8, 0, i),
    "brickgen errors": lambda i: pytest.raises(ValueError, brickgen.build_qv_op_list, -1, 0, i),
    "ansatzkit": lambda i: ansatzkit.build_n_local_data(4, [Gate("RY")], [Gate("CX")], ["linear"], 2, False, "t",
                                                        True, False, ""),
    "ansatzkit errors": lambda i: pytest.raises(IndexError, ansatzkit.build_n_local_data, 4, [Gate("ry")], [], [], 1,
                                                False, "t", True, False, ""),
    "cliffmix": lambda i: cliffmix.build_random_clifford_data(5, 40, "all", i),
    "cliffmix from indices": lambda i: cliffmix.build_random_clifford_from_indices(3, ["cx", "h"], [[2, 0], [1]]),
}


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine keeps freed memory resident")
@pytest.mark.parametrize("name", sorted(CALLS))
def test_memory_is_stable_over_repeated_calls(name):
    fn = CALLS[name]
    for i in range(WARMUP_CALLS):
        fn(i)
    gc.collect()
    before = rss_bytes()
    for i in range(MEASURED_CALLS):
        fn(i)
    gc.collect()
    assert rss_bytes() - before < RSS_MARGIN_BYTES


def _openmp_thread_count():
    """The calling thread's OpenMP thread count, from the runtime the modules load."""
    import ctypes
    return ctypes.CDLL("libgomp.so.1").omp_get_max_threads()


@pytest.mark.parametrize("call", [
    lambda c: wavesim.cal_states_cpp(c),
    lambda c: wavesim.cal_states_cpp(cc.CircuitData(3, [gate("RX", [0], values=[0.1, 0.2, 0.3])])),
    lambda c: wavesim.run_cpp(measured(c, 3), 50, 3, seed=1),
    lambda c: wavesim.cal_states_cpp(cc.CircuitData(3, [gate("H", [0]), gate("NOT_A_GATE", [1])])),
    lambda c: wavesim.expval_cpp(c, [[("Z", [0], 1.0)]]),
    lambda c: wavesim.expval_grad_cpp(cc.CircuitData(3, [gate("RX", [0], values=[0.1, 0.2, 0.3])]), [("Z", [0], 1.0)]),
], ids=["single", "batched", "shots", "refused", "expval", "gradient"])
def test_a_call_leaves_the_callers_thread_count_as_it_was(call):
    circuit = cc.CircuitData(3, [gate("H", [0]), gate("CX", [1], [0]), gate("RESET", [2])])
    before = _openmp_thread_count()
    try:
        call(circuit)
    except RuntimeError:
        pass
    # The count governs later OpenMP work of the caller, brickgen's fill among it.
    assert _openmp_thread_count() == before
