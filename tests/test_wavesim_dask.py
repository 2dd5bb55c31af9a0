"""wavesim_dask against one in-process call: splitting (no cluster), then the cluster
functions on a real LocalCluster of 2 worker processes (one for the whole module)."""

import concurrent.futures
import importlib.metadata
import logging
import os
import signal
import time

import numpy as np
import pytest

import circuitcore as cc
import ansatzkit
import wavesim

import reference_model as ref
from wavesim_circuits import instruction, random_circuit

import wavesim_dask
from wavesim_dask import cluster_runs

distributed = pytest.importorskip("distributed")

try:
    import torch
except ImportError:  # torch cannot load under the sanitizer run
    torch = None

MAPS = ["full", "linear", "reverse_linear", "pairwise", "circular"]


def same_bits(a, b):
    """Shape, dtype and every bit (NaN included)."""
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def stacked(parts, use_float32):
    rows = [wavesim.cal_states_cpp(p, use_float32) for p in parts]
    return np.concatenate([r.reshape(-1, r.shape[-1]) for r in rows])


def gate_block(name):
    return type(name, (), {})


def bound_ansatz(n, rotations, entangler, entanglement, sets, seed, reps=2):
    """An ansatzkit circuit with `sets` parameter sets bound to every parametrised gate."""
    data = ansatzkit.build_n_local_data(n, [gate_block(r) for r in rotations], [gate_block(entangler)],
                                        [entanglement], reps, False, "t", True, False, "")
    rng = np.random.default_rng(seed)
    instructions = data.instructions
    for ins in instructions:
        if ins.has_param:
            k = ref.param_count(ins.name)
            ins.param = cc.ParamBinding(ins.param.name, [float(v) for v in rng.uniform(-np.pi, np.pi, k * sets)])
    data.instructions = instructions
    return data


def varied_batch_circuit(seed):
    """A random batched circuit whose value lists take every form the simulator cuts
    differently: a list per set, lists that end before the last set, single values and
    short lists shared by all sets, lists on gates without parameters and on
    unparametrised instructions, NaN angles, and (sometimes) a shaped binding."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 5))
    sets = int(rng.integers(2, 12))
    data = random_circuit(seed, n, int(rng.integers(3, 12)), batches=sets)
    instructions = data.instructions
    for ins in instructions:
        value = ins.param.value
        k = ref.param_count(ins.name)
        form = rng.integers(0, 7)
        if isinstance(value, float) or k == 0 or form == 0:
            continue
        if form == 1:  # ends before the last set: the sets past it take the first k values
            ins.param = cc.ParamBinding("", value[:k * int(rng.integers(2, sets + 1))])
        elif form == 2:  # one set, shared
            ins.param = cc.ParamBinding("", value[:k])
        elif form == 3:  # not a whole number of sets
            ins.param = cc.ParamBinding("", value[:k * sets - 1] if k > 1 else value + [0.5])
        elif form == 4:  # cut even where has_param is false
            ins.has_param = False
        elif form == 5:  # a NaN angle: its set's amplitudes are NaN, bits and all
            ins.param = cc.ParamBinding("", value[:-1] + [float("nan")])
    if rng.random() < 0.3:  # a first parametrised gate without parameters fixes the unshaped count
        first_k = next((ref.param_count(i.name) for i in instructions if i.has_param
                        and ref.param_count(i.name) > 0), 1)
        instructions.insert(0, instruction("H", [0], values=[0.25] * (first_k * sets)))
    data.instructions = instructions
    form = rng.integers(0, 5 if torch is not None else 3)
    max_k = max([ref.param_count(i.name) for i in instructions if i.has_param] + [1])
    if form == 1:
        data.shaped_binding, data.value_shape_set, data.value_shape = True, 1, [2, sets, 3]
    elif form == 2:
        data.shaped_binding, data.value_shape_set, data.value_shape = True, 1, [2, sets * max_k]
    elif form == 3:
        data.shaped_binding, data.bound_values = True, torch.zeros(1, sets, 2)
    elif form == 4:
        data.shaped_binding, data.bound_values = True, torch.zeros(2, sets * max_k)
    return data


@pytest.mark.parametrize("use_float32", [False, True])
def test_parts_stack_to_the_whole_call_bit_for_bit(use_float32):
    checked_batched = 0
    for seed in range(50):
        data = varied_batch_circuit(seed)
        whole = wavesim.cal_states_cpp(data, use_float32)
        sets = whole.shape[0] if whole.ndim == 2 else 1
        checked_batched += whole.ndim == 2
        for parts in sorted({1, 2, min(3, sets), sets}):
            if parts > sets:
                continue
            pieces = wavesim_dask.split_batches(data, parts)
            assert len(pieces) == parts
            got = stacked(pieces, use_float32)
            assert same_bits(got, whole.reshape(-1, whole.shape[-1])), (seed, parts)
    assert checked_batched >= 25  # the generator must mostly produce batched circuits


def test_uneven_split_sizes_and_one_set_parts():
    data = bound_ansatz(3, ["RY", "U3"], "CZ", "linear", 7, seed=1)
    sizes = [p.value_shape[1] for p in wavesim_dask.split_batches(data, 3)]
    assert sizes == [3, 2, 2]
    for piece in wavesim_dask.split_batches(data, 7):  # every part one set: still one row each
        assert wavesim.cal_states_cpp(piece).shape == (8,)
    assert same_bits(stacked(wavesim_dask.split_batches(data, 7), False), wavesim.cal_states_cpp(data))


def test_single_set_circuits_come_back_whole():
    data = bound_ansatz(3, ["RY"], "CX", "full", 1, seed=2)
    (piece,) = wavesim_dask.split_batches(data, 1)
    assert piece.instructions == data.instructions
    with pytest.raises(ValueError, match="between 1 and 1 parts"):
        wavesim_dask.split_batches(data, 2)


@pytest.mark.parametrize("parts", [0, -1, 6])
def test_impossible_part_counts_are_refused(parts):
    with pytest.raises(ValueError, match="into .* parts"):
        wavesim_dask.split_batches(bound_ansatz(2, ["RY"], "CX", "linear", 5, seed=3), parts)


@pytest.mark.parametrize("make, cause", [
    (lambda: cc.CircuitData(1, [instruction("NOPE", [0], values=[0.1, 0.2])]), RuntimeError),
    (lambda: cc.CircuitData(1, [instruction("RX", [0], values=[0.1, 0.2])], shaped_binding=True,
                            bound_values=[[1, 2]]), None),
    (lambda: cc.CircuitData(2, [instruction("RX", [0], controls=[0], values=[0.1, 0.2])]), RuntimeError),
    (lambda: cc.CircuitData(12, [instruction("RX", [11], controls=range(11), values=[0.1, 0.2])]), None),
])
def test_what_cannot_be_split_faithfully_is_refused(make, cause):
    with pytest.raises(ValueError, match="cannot split the circuit faithfully") as error:
        wavesim_dask.split_batches(make(), 2)
    if cause is not None:
        assert isinstance(error.value.__cause__, cause)


def test_non_records_are_refused():
    with pytest.raises(TypeError, match="CircuitData"):
        wavesim_dask.split_batches([instruction("H", [0])], 1)


def test_part_seeds_are_derived_from_the_seed_and_the_index():
    seeds = wavesim_dask.part_seeds(7, 4)
    assert seeds == wavesim_dask.part_seeds(7, 4) and len(set(seeds)) == 4
    assert all(0 <= s < 2**31 for s in seeds)
    assert wavesim_dask.part_seeds(7, 1) == [7]
    assert wavesim_dask.part_seeds(-1, 3) == [-1, -1, -1]
    assert wavesim_dask.part_seeds(7, 5)[:4] == seeds  # more parts do not change the first ones


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Sized:
    def __len__(self):
        return 1


FLAGS = [True, False, 1, 0, 2, -1, 0.5, 0.0, float("nan"), 1j, np.bool_(True), np.bool_(False), np.int64(3),
         np.float32(0), np.array([1]), np.array([1, 2]), None, "yes", "", b"", [], [1], (), {}, object(), Sized(),
         Truth(True), Truth(False), Truth(ValueError("no truth"))]


@pytest.mark.parametrize("flag", FLAGS, ids=[f"{type(f).__name__}-{i}" for i, f in enumerate(FLAGS)])
def test_precision_flag_is_read_as_the_simulator_reads_it(flag):
    """The precision the cluster functions take from use_float32 (None: the simulator refuses the flag)."""
    try:
        want = wavesim.cal_states_cpp(cc.CircuitData(0), flag).dtype == np.complex64
    except TypeError:
        want = None
    assert cluster_runs._c_bool(flag) is want


# ---------------------------------------------------------------- on the cluster

@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                       silence_logs=logging.CRITICAL)
    with distributed.Client(cluster) as dask_client:
        yield dask_client
    cluster.close()


@pytest.mark.parametrize("entanglement", MAPS)
def test_cluster_states_are_the_single_call(client, entanglement):
    for sets, rotations, use_float32 in [(1, ["RY"], False), (2, ["RX", "U3"], True), (37, ["RY", "RZ"], False),
                                         (500, ["U3"], entanglement == "full")]:
        data = bound_ansatz(4, rotations, "CRZ" if sets == 37 else "CX", entanglement, sets, seed=sets)
        whole = wavesim.cal_states_cpp(data, use_float32)
        for parts in {None, min(3, sets), sets if sets < 50 else 1}:
            got = wavesim_dask.cal_states(client, data, use_float32, parts)
            assert same_bits(got, whole), (sets, parts)


def ising(n):
    return [("ZZ", [q, (q + 1) % n], 1.0) for q in range(n)] + [("X", [q], 0.6) for q in range(n)]


@pytest.mark.parametrize("entanglement", MAPS)
def test_cluster_expectation_values_and_gradients_are_the_single_call(client, entanglement):
    observables = [ising(4), [("Y", [2], 1.0), ("", [], -0.5)]]
    for sets, rotations, use_float32 in [(1, ["RY"], False), (2, ["RX", "U3"], True), (37, ["RY", "RZ"], False)]:
        data = bound_ansatz(4, rotations, "CRZ" if sets == 37 else "CX", entanglement, sets, seed=sets)
        values = wavesim.expval_cpp(data, observables, use_float32)
        value, grads = wavesim.expval_grad_cpp(data, observables[0], use_float32)
        for parts in {None, min(3, sets), sets}:
            assert same_bits(wavesim_dask.expval(client, data, observables, use_float32, parts), values)
            got_value, got_grads = wavesim_dask.expval_grad(client, data, observables[0], use_float32, parts)
            assert same_bits(got_value, value) and same_bits(got_grads, grads), (sets, parts)


def measured(data, num_cbits):
    instructions = data.instructions + [cc.CircuitInstruction(name="MEASURE", qubits=[q], controls=[q])
                                        for q in range(num_cbits)]
    data.instructions = instructions
    return data


def key_probabilities(amplitudes, n):
    """Exact probability of each count key (all n qubits measured, bit q to classical bit q)."""
    return {format(i, f"0{n}b"): float(p) for i, p in enumerate(np.abs(amplitudes) ** 2) if p > 0}


def assert_counts_follow(counts, probabilities, shots):
    """Every key within 7 binomial standard deviations (plus one count) of its expectation:
    a chance failure has probability below 1e-11 per key, and the seeds are fixed."""
    assert sum(counts.values()) == shots
    assert set(counts) <= set(probabilities)
    for key, p in probabilities.items():
        sigma = np.sqrt(shots * p * (1 - p))
        assert abs(counts.get(key, 0) - shots * p) <= 7 * sigma + 1, key


def test_cluster_shots_of_one_set(client):
    n, shots = 5, 30_001
    data = measured(bound_ansatz(n, ["RY"], "CX", "circular", 1, seed=4), n)
    probabilities = key_probabilities(wavesim.cal_states_cpp(data), n)
    counts = wavesim_dask.run(client, data, shots, n, seed=11, parts=3)
    assert counts == wavesim_dask.run(client, data, shots, n, seed=11, parts=3)
    assert list(counts) == sorted(counts)
    assert_counts_follow(counts, probabilities, shots)
    assert_counts_follow(wavesim.run_cpp(data, shots, n, seed=11), probabilities, shots)
    assert wavesim_dask.run(client, data, shots, n, seed=11, parts=1) == wavesim.run_cpp(data, shots, n, seed=11)
    assert sum(wavesim_dask.run(client, data, shots, n).values()) == shots  # fresh randomness


@pytest.mark.parametrize("use_float32", [False, True])
def test_cluster_shots_of_several_sets(client, use_float32):
    n, sets, shots = 3, 5, 4000
    data = measured(bound_ansatz(n, ["RY", "RZ"], "CX", "linear", sets, seed=5), n)
    amplitudes = wavesim.cal_states_cpp(data, use_float32)
    counts = wavesim_dask.run(client, data, shots, n, seed=3, use_float32=use_float32, parts=2)
    assert len(counts) == sets
    assert counts == wavesim_dask.run(client, data, shots, n, seed=3, use_float32=use_float32, parts=2)
    for per_set, row in zip(counts, amplitudes):
        assert_counts_follow(per_set, key_probabilities(row.astype(np.complex128), n), shots)
    single = wavesim.run_cpp(data, shots, n, seed=3, use_float32=use_float32)
    assert wavesim_dask.run(client, data, shots, n, seed=3, use_float32=use_float32, parts=1) == single


def noisy(sets, seed):
    """A 3-qubit circuit with every kind of channel and `sets` parameter sets, its qubits measured."""
    import noise_model as nm
    return measured(nm.random_noisy_circuit(seed, 3, 25, sets), 3)


def test_pooled_parts_give_the_whole_spread():
    rng = np.random.default_rng(0)
    values = rng.normal(1.5, 2.0, (90, 2))
    cuts = [0, 1, 31, 90]  # one part of a single value
    counts = [b - a for a, b in zip(cuts, cuts[1:])]
    parts = [values[a:b] for a, b in zip(cuts, cuts[1:])]
    errors = [p.std(axis=0, ddof=1) / np.sqrt(len(p)) if len(p) > 1 else np.full(2, np.nan) for p in parts]
    mean, error = wavesim_dask.pooled(counts, np.array([p.mean(axis=0) for p in parts]), np.array(errors))
    np.testing.assert_allclose(mean, values.mean(axis=0), rtol=1e-13)
    np.testing.assert_allclose(error, values.std(axis=0, ddof=1) / np.sqrt(90), rtol=1e-12)


def test_cluster_noise_entries_are_the_single_call(client):
    several, single = noisy(4, 3), noisy(1, 8)
    observables = [ising(3), [("Y", [1], 1.0)]]
    for data in (several, single):
        for parts in (None, 1, 2):
            if wavesim.batch_count(data) < 2 and parts == 2:
                continue
            assert same_bits(wavesim_dask.density_matrix(client, data, False, parts), wavesim.density_matrix_cpp(data))
            assert same_bits(wavesim_dask.expval(client, data, observables, False, parts),
                             wavesim.expval_cpp(data, observables))
    want = wavesim.expval_trajectories_cpp(several, observables, 300, 5)
    for parts in (None, 2, 4):  # every set draws from the seed alone: the parts give one call's rows
        got = wavesim_dask.expval_trajectories(client, several, observables, 300, 5, parts=parts)
        assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])
    want = wavesim.expval_trajectories_cpp(single, observables, 300, 5)
    got = wavesim_dask.expval_trajectories(client, single, observables, 300, 5, parts=1)
    assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])
    split = wavesim_dask.expval_trajectories(client, single, observables, 300, 5, parts=3)
    again = wavesim_dask.expval_trajectories(client, single, observables, 300, 5, parts=3)
    assert same_bits(split[0], again[0]) and np.all(np.abs(split[0] - want[0]) < 5 * (split[1] + want[1]) + 1e-12)
    readout = (0.05, 0.1)
    assert wavesim_dask.run(client, single, 2000, 3, seed=4, parts=1, readout_error=readout) == \
        wavesim.run_cpp(single, 2000, 3, seed=4, readout_error=readout)
    assert wavesim_dask.run(client, several, 2000, 3, seed=4, parts=1) == wavesim.run_cpp(several, 2000, 3, seed=4)
    assert sum(wavesim_dask.run(client, single, 2001, 3, seed=4, parts=2, readout_error=readout).values()) == 2001


def test_cluster_passes_fusion_through(client):
    data = bound_ansatz(4, ["RX", "U3"], "CRZ", "full", 6, seed=8)
    plain = wavesim.cal_states_cpp(data)
    for fusion, use_float32 in [(2, False), (4, True)]:
        whole = wavesim.cal_states_cpp(data, use_float32, fusion=fusion)
        assert same_bits(wavesim_dask.cal_states(client, data, use_float32, 3, fusion=fusion), whole)
    assert not same_bits(wavesim.cal_states_cpp(data, fusion=2), plain)  # so the parts did fuse
    # "auto" fuses by the kernel costs each worker process measures: the rows within its bounds.
    for use_float32, bound in [(False, 1e-13 * len(data.instructions)), (True, 1e-5)]:
        got = wavesim_dask.cal_states(client, data, use_float32, 3, fusion="auto")
        assert got.dtype == (np.complex64 if use_float32 else np.complex128)
        assert np.abs(got - wavesim.cal_states_cpp(data, use_float32, fusion="auto")).max() <= bound
    single = measured(bound_ansatz(4, ["RY"], "CX", "linear", 1, seed=9), 4)
    assert same_bits(wavesim_dask.cal_states(client, single, fusion=3), wavesim.cal_states_cpp(single, fusion=3))
    for parts in (1, 2):
        got = wavesim_dask.run(client, single, 5000, 4, seed=2, parts=parts, fusion=3)
        assert got == wavesim_dask.run(client, single, 5000, 4, seed=2, parts=parts)
    observable = [("ZZ", [0, 1], 0.5), ("X", [2], -1.0)]
    values = wavesim.expval_cpp(data, [observable], fusion=3)
    assert same_bits(wavesim_dask.expval(client, data, [observable], parts=3, fusion=3), values)
    value, grads = wavesim.expval_grad_cpp(data, observable, fusion=3)
    got_value, got_grads = wavesim_dask.expval_grad(client, data, observable, parts=3, fusion=3)
    assert same_bits(got_value, value) and same_bits(got_grads, grads)
    for fusion in (5, "3"):
        assert raised(lambda: wavesim_dask.cal_states(client, data, fusion=fusion)) == \
            raised(lambda: wavesim.cal_states_cpp(data, False, fusion=fusion))
        assert raised(lambda: wavesim_dask.expval(client, data, [observable], fusion=fusion)) == \
            raised(lambda: wavesim.expval_cpp(data, [observable], False, fusion=fusion))
        assert raised(lambda: wavesim_dask.run(client, single, 10, 4, 1, fusion=fusion)) == \
            raised(lambda: wavesim.run_cpp(single, 10, 4, 1, False, fusion=fusion))


BAD_INPUTS = [
    ("unknown gate", lambda: measured(cc.CircuitData(2, [instruction("H", [0]), instruction("NOPE", [1], values=[0.1, 0.2])]), 2)),
    ("qubit outside the state", lambda: measured(cc.CircuitData(2, [instruction("RX", [5], values=[0.1, 0.2, 0.3])]), 1)),
    ("bound values not a tensor", lambda: measured(cc.CircuitData(1, [instruction("RX", [0], values=[0.1, 0.2])],
                                                                   shaped_binding=True, bound_values="x"), 1)),
    ("too many qubits", lambda: cc.CircuitData(63, [instruction("MEASURE", [0], [0])])),
]


def raised(call):
    with pytest.raises(Exception) as error:
        call()
    return type(error.value), str(error.value)


@pytest.mark.parametrize("name, make", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_bad_input_gets_the_simulators_own_error(client, name, make):
    data = make()
    assert raised(lambda: wavesim_dask.cal_states(client, data)) == raised(lambda: wavesim.cal_states_cpp(data))
    assert raised(lambda: wavesim_dask.run(client, data, 10, 2, 1)) == raised(lambda: wavesim.run_cpp(data, 10, 2, 1))
    observable = [("Z", [0], 1.0)]
    assert raised(lambda: wavesim_dask.expval(client, data, [observable])) == raised(
        lambda: wavesim.expval_cpp(data, [observable]))
    assert raised(lambda: wavesim_dask.expval_grad(client, data, observable)) == raised(
        lambda: wavesim.expval_grad_cpp(data, observable))


@pytest.mark.parametrize("observables", [[[("Z", [9], 1.0)]], [[("Q", [0], 1.0)]], 5, [[("Z", [0], 1j)]]])
def test_bad_observables_get_the_simulators_own_error(client, observables):
    data = bound_ansatz(3, ["RY"], "CX", "linear", 4, seed=8)
    assert raised(lambda: wavesim_dask.expval(client, data, observables)) == raised(
        lambda: wavesim.expval_cpp(data, observables))
    single = observables[0] if isinstance(observables, list) else observables
    assert raised(lambda: wavesim_dask.expval_grad(client, data, single)) == raised(
        lambda: wavesim.expval_grad_cpp(data, single))


@pytest.mark.parametrize("call, local", [
    (lambda c, d: wavesim_dask.cal_states(c, "circuit"), lambda d: wavesim.cal_states_cpp("circuit", False)),
    (lambda c, d: wavesim_dask.cal_states(c, d, "yes"), lambda d: wavesim.cal_states_cpp(d, "yes")),
    (lambda c, d: wavesim_dask.run(c, d, 10, 1, use_float32=[]), lambda d: wavesim.run_cpp(d, 10, 1, -1, [])),
    (lambda c, d: wavesim_dask.run(c, d, 1.5, 1), lambda d: wavesim.run_cpp(d, 1.5, 1, -1, False)),
    (lambda c, d: wavesim_dask.run(c, d, 2**40, 1), lambda d: wavesim.run_cpp(d, 2**40, 1, -1, False)),
    (lambda c, d: wavesim_dask.run(c, d, 10, 1, seed=2**31), lambda d: wavesim.run_cpp(d, 10, 1, 2**31, False)),
    (lambda c, d: wavesim_dask.run(c, d, 10, -1, seed=1), lambda d: wavesim.run_cpp(d, 10, -1, 1)),
    (lambda c, d: wavesim_dask.run(c, measured(cc.CircuitData(1), 0), 10, 1), lambda d: wavesim.run_cpp(cc.CircuitData(1), 10, 1)),
])
def test_bad_arguments_get_the_simulators_own_error(client, call, local):
    data = measured(bound_ansatz(2, ["RY"], "CX", "linear", 3, seed=6), 2)
    assert raised(lambda: call(client, data)) == raised(lambda: local(data))


def test_worker_that_dies_mid_run(client):
    """One worker is killed while the parts run: Dask reruns its part elsewhere, and the
    call returns the single call's array (or, had Dask given up, raises), never a part."""
    data = bound_ansatz(12, ["RY", "RZ"], "CX", "full", 256, seed=7, reps=6)
    whole = wavesim.cal_states_cpp(data)
    pids = client.run(os.getpid)
    victim = pids[sorted(pids)[0]]
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        call = pool.submit(wavesim_dask.cal_states, client, data, False, 2)
        deadline = time.monotonic() + 60
        while sum(len(tasks) for tasks in client.processing().values()) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
        os.kill(victim, signal.SIGKILL)
        try:
            got = call.result(timeout=300)
        except distributed.KilledWorker as error:
            assert "wavesim_states" in str(error)
        else:
            assert same_bits(got, whole)
    client.wait_for_workers(2, timeout=120)
    assert victim not in client.run(os.getpid).values()  # the part really lost its worker


def test_installed_with_the_native_modules():
    installed = {str(f) for f in importlib.metadata.files("native-core")}
    assert {"wavesim_dask/__init__.py", "wavesim_dask/batch_split.py", "wavesim_dask/cluster_runs.py",
            "wavesim_dask/py.typed"} <= installed
