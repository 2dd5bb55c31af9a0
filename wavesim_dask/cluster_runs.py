"""cal_states and run on a Dask cluster: the circuit is cut into parts, the parts run as
ordinary Dask tasks (so they show in the dashboard and in ``distributed.progress``), and
their results are put together in order in the caller.

Nothing of a part's result is returned unless every part succeeded: a part that fails
(after Dask's own retries when a worker dies) cancels the others and its error is raised
in the caller, the simulator's own exception with its own message.
"""

from __future__ import annotations

import operator
import uuid
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from distributed import Client, Future, as_completed
from distributed import progress as show_progress

import circuitcore
import wavesim
from circuitcore import CircuitData

from .batch_split import BatchLayout, Unsplittable, batch_layout, part_bounds, split_layout

# Largest default part (amplitude bytes). The simulator keeps the GIL for a whole call,
# so a worker cannot send one part's rows while it computes its next one: parts beyond
# one per worker thread add overhead without overlap, and are made only to bound what a
# worker holds (a part's rows exist twice during its call).
PART_BYTES = 256 << 20

# Shots below which a single-set run is not split by default: a part repeats the
# simulation, which pays only when sampling is a large share of the work.
SHOTS_PER_PART = 100_000

# Part seeds are non-negative C ints (a negative seed means fresh randomness).
SEED_MASK = 0x7FFFFFFF

# The range of the simulator's int arguments.
C_INT_MIN = -(2**31)
C_INT_MAX = 2**31 - 1


def _worker_threads(client: Client) -> int:
    return max(1, sum(client.nthreads().values()))


def _submit_all(client: Client, task: str, function: Callable[..., Any],
                arguments: Sequence[tuple[Any, ...]]) -> list[Future]:
    """One task per argument tuple, named `task` in the dashboard."""
    name = f"{task}-{uuid.uuid4().hex}"
    return [client.submit(function, *args, key=(name, i)) for i, args in enumerate(arguments)]


def _results_as_completed(client: Client, futures: list[Future], progress: bool) -> Iterator[tuple[int, Any]]:
    """(part index, result) as the parts finish; on any failure the other parts are cancelled."""
    index = {future.key: i for i, future in enumerate(futures)}
    try:
        if progress:
            show_progress(futures)
        for future, result in as_completed(futures, with_results=True):
            yield index[future.key], result
    except BaseException:
        client.cancel(futures)
        raise


def _state_rows(part: CircuitData, use_float32: bool, fusion: int | str,
                entry: str = "cal_states_cpp") -> npt.NDArray[Any]:
    """A part's amplitudes (or density matrices) as rows: a part of one set gives one row."""
    result = getattr(wavesim, entry)(part, use_float32, fusion=fusion)
    row = (1 << part.num_qubits) ** (2 if entry == "density_matrix_cpp" else 1)
    return result.reshape(-1, row)


def _part_counts(part: CircuitData, shots: int, num_cbits: int, seed: int, use_float32: bool,
                 fusion: int | str, readout_error: Any = None) -> list[dict[str, int]]:
    """A part's counts, one dict per set."""
    counts = wavesim.run_cpp(part, shots, num_cbits, seed, use_float32, fusion=fusion,
                             **_readout_as_given(readout_error))
    return counts if isinstance(counts, list) else [counts]


def _readout_as_given(readout_error: Any) -> dict[str, Any]:
    """The readout_error keyword as the caller gave it: left out when None."""
    return {} if readout_error is None else {"readout_error": readout_error}


def _layout_or_none(circuit_data: CircuitData) -> BatchLayout | None:
    """The layout, or None when the circuit cannot be cut: it then runs whole, so that the
    simulator reports its own error (or gives its own result)."""
    try:
        return batch_layout(circuit_data)
    except Unsplittable:
        return None


def _as_given(fusion: Any) -> dict[str, Any]:
    """The fusion keyword as the caller would pass it to the simulator: left out at its
    default, so that the simulator's conversion errors read as for a call without it."""
    return {} if type(fusion) is int and fusion == 0 else {"fusion": fusion}


def _whole_result(client: Client, function: Callable[..., Any], *args: Any, fusion: int | str,
                  **keywords: Any) -> Any:
    return client.submit(function, *args, key=f"wavesim-{uuid.uuid4().hex}", fusion=fusion, **keywords).result()


def _stacked_sets(client: Client, circuit_data: CircuitData, use_float32: Any, parts: int | None, progress: bool,
                  fusion: Any, entry: str) -> npt.NDArray[Any]:
    """``wavesim.<entry>(circuit_data, use_float32, fusion=fusion)`` with its sets cut into parts: the rows
    (amplitudes, or density matrices of 2^n x 2^n) of each part put in place as the parts finish."""
    function = getattr(wavesim, entry)
    flag = _c_bool(use_float32)
    number = _fusion_setting(fusion)
    if not isinstance(circuit_data, circuitcore.CircuitData) or flag is None or number is None:
        # Fails converting: the simulator's own TypeError.
        return function(circuit_data, use_float32, **_as_given(fusion))
    use_float32, fusion = flag, number
    layout = _layout_or_none(circuit_data)
    if layout is None:
        return _whole_result(client, function, circuit_data, use_float32, fusion=fusion)
    dtype = np.dtype(np.complex64 if use_float32 else np.complex128)
    dim = 1 << circuit_data.num_qubits
    row_shape = (dim, dim) if entry == "density_matrix_cpp" else (dim,)
    row = int(np.prod(row_shape))
    if parts is None:
        rows_per_part = max(1, PART_BYTES // (row * dtype.itemsize))
        parts = min(max(layout.sets, 1), max(_worker_threads(client), -(-layout.sets // rows_per_part)))
    pieces = split_layout(circuit_data, layout, parts)
    if layout.sets <= 1:
        return _whole_result(client, function, pieces[0], use_float32, fusion=fusion)
    # Allocated before any work is sent: a result the caller cannot hold fails before the cluster works.
    states = np.empty((layout.sets, row), dtype=dtype)
    bounds = part_bounds(layout.sets, len(pieces))
    task = "wavesim_states" if entry == "cal_states_cpp" else "wavesim_density"
    futures = _submit_all(client, task, _state_rows, [(p, use_float32, fusion, entry) for p in pieces])
    for i, rows in _results_as_completed(client, futures, progress):
        begin, end = bounds[i]
        if rows.shape != (end - begin, row) or rows.dtype != dtype:  # never broadcast a wrong part into place
            client.cancel(futures)
            raise RuntimeError(f"part {i} came back as {rows.dtype} {rows.shape}, not {dtype} {(end - begin, row)}")
        states[begin:end] = rows
    return states.reshape((layout.sets,) + row_shape)


def cal_states(client: Client, circuit_data: CircuitData, use_float32: bool = False, parts: int | None = None,
               *, progress: bool = False,
               fusion: int | str = 0) -> npt.NDArray[np.complex128] | npt.NDArray[np.complex64]:
    """``wavesim.cal_states_cpp(circuit_data, use_float32, fusion=fusion)`` computed on the cluster.

    The parameter sets are cut into ``parts`` contiguous ranges (see split_batches), one
    task each; the rows are written into the result in order as the parts finish. The
    array is bit for bit the one ``cal_states_cpp`` returns: same shape, dtype and values.

    ``parts`` defaults to the cluster's worker threads, or more so that a part's rows
    stay within PART_BYTES, and at most one per set; an explicit value must lie between
    1 and the number of sets. A circuit with one set, or one that split_batches refuses,
    runs whole as one task. ``progress`` shows
    Dask's progress bar while the parts run.

    The simulator's errors (unknown gate, bad qubits, a fusion setting it refuses, ...)
    are raised here with their own type and message; a worker that dies is replaced by
    Dask and its part run again, and if Dask gives up the call raises (distributed's
    KilledWorker), never returning a partial array. ``fusion`` is passed to every part:
    with it on, the parts still give the rows of one ``cal_states_cpp`` call with it
    ("auto" within its accuracy bounds: a worker process fuses by the kernel costs it
    measured itself).
    """
    return _stacked_sets(client, circuit_data, use_float32, parts, progress, fusion, "cal_states_cpp")


def density_matrix(client: Client, circuit_data: CircuitData, use_float32: bool = False, parts: int | None = None,
                   *, progress: bool = False,
                   fusion: int | str = 0) -> npt.NDArray[np.complex128] | npt.NDArray[np.complex64]:
    """``wavesim.density_matrix_cpp(circuit_data, use_float32, fusion=fusion)`` computed on the cluster.

    The parameter sets are cut into parts as for cal_states (``wavesim_density`` in the
    dashboard, a part of at most PART_BYTES of matrices by default), each part's density
    matrices put in place in order: the array of one call, bit for bit. Errors as for
    cal_states.
    """
    return _stacked_sets(client, circuit_data, use_float32, parts, progress, fusion, "density_matrix_cpp")


def _c_bool(value: Any) -> bool | None:
    """The value as the simulator's bool arguments take it (pybind11: the truth of anything
    whose type defines __bool__, None included), or None where they refuse it."""
    if not hasattr(type(value), "__bool__"):
        return None
    try:
        return bool(value)
    except Exception:  # a failing __bool__ is a refusal there too
        return None


def _fusion_setting(value: Any) -> int | str | None:
    """The fusion keyword as the simulator takes it ("auto" by name, else a number), or None where it
    refuses it."""
    return value if isinstance(value, str) and value == "auto" else _c_int(value)


def _c_int(value: Any) -> int | None:
    """The value as the simulator's int arguments take it, or None where they refuse it."""
    if isinstance(value, float):
        return None
    try:
        number = operator.index(value)
    except TypeError:
        return None
    return number if C_INT_MIN <= number <= C_INT_MAX else None


def part_seeds(seed: int, parts: int) -> list[int]:
    """The seed of each part: the caller's seed for a single part; for several, part i gets
    ``SeedSequence(seed, spawn_key=(i,)).generate_state(1)[0] & 0x7FFFFFFF`` (NumPy); a
    negative seed stays negative (fresh randomness in every part)."""
    if parts == 1 or seed < 0:
        return [seed] * parts
    return [int(child.generate_state(1)[0]) & SEED_MASK for child in np.random.SeedSequence(seed).spawn(parts)]


def _merged(counts: list[list[dict[str, int]]]) -> dict[str, int]:
    total: Counter[str] = Counter()
    for part in counts:
        total.update(part[0])
    return dict(sorted(total.items()))


def run(client: Client, circuit_data: CircuitData, shots: int, num_cbits: int, seed: int = -1,
        use_float32: bool = False, parts: int | None = None, *, progress: bool = False, fusion: int | str = 0,
        readout_error: Any = None) -> dict[str, int] | list[dict[str, int]]:
    """``wavesim.run_cpp(circuit_data, shots, num_cbits, seed, use_float32, fusion=fusion,
    readout_error=readout_error)`` on the cluster (noisy circuits too).

    A circuit with several parameter sets is cut into ``parts`` ranges of sets (see
    split_batches), each run with all the shots; the result is the list of one dict per
    set, in order, as ``run_cpp`` returns it. A circuit with one set has its shots cut
    into ``parts`` nearly equal shares (larger first), all run on the same circuit, sent
    once per worker; the counts are added up into one dict, keys ascending.

    Seeds (see part_seeds): with one part the call is exactly ``run_cpp`` with ``seed``.
    With several, part i runs with a seed derived from ``seed`` and i, so the same
    circuit, shots, precision, seed and number of parts give the same counts, on any
    cluster and after retries;
    they differ from ``run_cpp``'s counts for that seed (the random stream is split),
    though they follow the same distribution. A negative seed draws fresh randomness in
    every part.

    ``parts`` defaults to the cluster's worker threads, at most one per set; for one
    set, one part per SHOTS_PER_PART shots, at most one per worker thread. Errors are
    the simulator's, raised here; see cal_states for dying workers. ``fusion`` and
    ``readout_error`` are passed to every part.
    """
    readout = _readout_as_given(readout_error)
    numbers = [_c_int(v) for v in (shots, num_cbits, seed)] + [_fusion_setting(fusion)]
    flag = _c_bool(use_float32)
    if not isinstance(circuit_data, circuitcore.CircuitData) or None in numbers or flag is None:
        # Fails converting the arguments, before any work: the simulator's own TypeError.
        return wavesim.run_cpp(circuit_data, shots, num_cbits, seed, use_float32, **_as_given(fusion), **readout)
    shots, num_cbits, seed, fusion = numbers
    use_float32 = flag
    layout = _layout_or_none(circuit_data)
    if layout is None:
        return _whole_result(client, wavesim.run_cpp, circuit_data, shots, num_cbits, seed, use_float32,
                             fusion=fusion, **readout)
    threads = _worker_threads(client)
    if layout.sets >= 2:
        pieces = split_layout(circuit_data, layout, min(layout.sets, threads) if parts is None else parts)
        seeds = part_seeds(seed, len(pieces))
        arguments = [(p, shots, num_cbits, s, use_float32, fusion, readout_error) for p, s in zip(pieces, seeds)]
        sets_per_part = [end - begin for begin, end in part_bounds(layout.sets, len(pieces))]
    else:
        if parts is None:
            parts = min(threads, max(1, shots // SHOTS_PER_PART))
        if isinstance(parts, bool) or not isinstance(parts, int) or parts < 1:
            raise ValueError(f"parts must be a positive int, not {parts!r}")
        if parts == 1:
            return _whole_result(client, wavesim.run_cpp, circuit_data, shots, num_cbits, seed, use_float32,
                                 fusion=fusion, **readout)
        shared = client.scatter(circuit_data, broadcast=True, hash=False)
        share, extra = divmod(shots, parts)
        arguments = [(shared, share + (1 if i < extra else 0), num_cbits, s, use_float32, fusion, readout_error)
                     for i, s in enumerate(part_seeds(seed, parts))]
        sets_per_part = [1] * parts
    futures = _submit_all(client, "wavesim_shots", _part_counts, arguments)
    counts: list[list[dict[str, int]]] = [[] for _ in futures]
    for i, result in _results_as_completed(client, futures, progress):
        if len(result) != sets_per_part[i]:  # never merge a wrong part
            client.cancel(futures)
            raise RuntimeError(f"part {i} came back with {len(result)} sets, not {sets_per_part[i]}")
        counts[i] = result
    if layout.sets >= 2:
        return [per_set for part in counts for per_set in part]
    return _merged(counts)
