"""expval, expval_grad and expval_trajectories on a Dask cluster: the parameter sets cut
into parts as for cal_states, each part one task, and only the numbers of each part
((sets, K) values, or (sets,) values and (sets, P) gradients) sent back and put together
in order.

The simulator adds every sum exactly, whichever threads take it, so a part gives the bits
of the same rows of one call: the results are those of one call, bit for bit. So do a
part's trajectory means: every set draws its trajectories from the seed alone. The
trajectories of a single set are cut into parts with seeds of their own (as run cuts
shots) and their means and spreads pooled.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
from distributed import Client

import circuitcore
import wavesim
from circuitcore import CircuitData

from .batch_split import part_bounds, split_layout
from .cluster_runs import _as_given, _c_bool, _c_int, _fusion_setting, _layout_or_none, _results_as_completed, \
    _submit_all, _whole_result, _worker_threads, part_seeds

Observable = Sequence[tuple[str, Sequence[int], complex]]

# Trajectories below which a single-set call is not cut by default: a part runs the error-free path again.
TRAJECTORIES_PER_PART = 1000


def _expval_rows(part: CircuitData, observables: Sequence[Observable], use_float32: bool, fusion: int | str,
                 sets: int) -> npt.NDArray:
    """A part's values as (sets, K) rows (a part of one set gives one row)."""
    return wavesim.expval_cpp(part, observables, use_float32, fusion=fusion).reshape(sets, len(observables))


def _gradient_rows(part: CircuitData, observable: Observable, use_float32: bool, fusion: int | str, sets: int,
                   columns: int) -> tuple[npt.NDArray, npt.NDArray]:
    """A part's values (sets,) and gradients (sets, P)."""
    values, grads = wavesim.expval_grad_cpp(part, observable, use_float32, fusion=fusion)
    return values.reshape(sets), grads.reshape(sets, columns)


def _parts(client: Client, circuit_data: CircuitData, parts: int | None):
    """The layout, the parts and their ranges of sets, or None where the circuit runs whole."""
    layout = _layout_or_none(circuit_data)
    if layout is None or layout.sets <= 1:
        return None
    if parts is None:
        parts = min(layout.sets, _worker_threads(client))
    pieces = split_layout(circuit_data, layout, parts)
    return layout.sets, pieces, part_bounds(layout.sets, len(pieces))


def expval(client: Client, circuit_data: CircuitData, observables: Sequence[Observable], use_float32: bool = False,
           parts: int | None = None, *, progress: bool = False, fusion: int | str = 0) -> npt.NDArray[np.float64]:
    """``wavesim.expval_cpp(circuit_data, observables, use_float32, fusion=fusion)`` computed on the cluster.

    The parameter sets are cut into ``parts`` contiguous ranges (see split_batches), one
    task each (``wavesim_expval`` in the dashboard); each part returns its rows of K values
    and the rows are put together in order: the array of one call, bit for bit. ``parts``
    defaults to the cluster's worker threads, at most one per set; a circuit with one set,
    or one that split_batches refuses, runs whole as one task. The simulator's errors (bad
    observables included) are raised here with their own type and message. ``fusion`` is
    passed to every part.
    """
    flag = _c_bool(use_float32)
    number = _fusion_setting(fusion)
    if not isinstance(circuit_data, circuitcore.CircuitData) or flag is None or number is None:
        # the simulator's own TypeError
        return wavesim.expval_cpp(circuit_data, observables, use_float32, **_as_given(fusion))
    cut = _parts(client, circuit_data, parts)
    if cut is None or not isinstance(observables, Sequence):
        # One set, a circuit that cannot be cut, or observables the simulator will refuse: one task.
        return _whole_result(client, wavesim.expval_cpp, circuit_data, observables, flag, fusion=number)
    sets, pieces, bounds = cut
    count = len(observables)
    values = np.empty((sets, count))
    futures = _submit_all(client, "wavesim_expval", _expval_rows,
                          [(p, observables, flag, number, end - begin) for p, (begin, end) in zip(pieces, bounds)])
    for i, rows in _results_as_completed(client, futures, progress):
        begin, end = bounds[i]
        values[begin:end] = rows
    return values


def expval_grad(client: Client, circuit_data: CircuitData, observable: Observable, use_float32: bool = False,
                parts: int | None = None, *, progress: bool = False,
                fusion: int | str = 0) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """``wavesim.expval_grad_cpp(circuit_data, observable, use_float32, fusion=fusion)`` computed on the cluster.

    Parts as for expval (``wavesim_expval_grad`` in the dashboard); each returns its sets'
    values and gradient rows, put together in order: ``(values, grads)`` of one call, bit for
    bit, columns as ``wavesim.param_columns`` lists them. Errors as for expval.
    """
    flag = _c_bool(use_float32)
    number = _fusion_setting(fusion)
    if not isinstance(circuit_data, circuitcore.CircuitData) or flag is None or number is None:
        return wavesim.expval_grad_cpp(circuit_data, observable, use_float32, **_as_given(fusion))
    cut = _parts(client, circuit_data, parts)
    if cut is None:
        return _whole_result(client, wavesim.expval_grad_cpp, circuit_data, observable, flag, fusion=number)
    sets, pieces, bounds = cut
    columns = len(wavesim.param_columns(circuit_data))
    values = np.empty(sets)
    grads = np.empty((sets, columns))
    futures = _submit_all(client, "wavesim_expval_grad", _gradient_rows,
                          [(p, observable, flag, number, end - begin, columns) for p, (begin, end) in zip(pieces, bounds)])
    for i, (part_values, part_grads) in _results_as_completed(client, futures, progress):
        begin, end = bounds[i]
        values[begin:end] = part_values
        grads[begin:end] = part_grads
    return values, grads


def _trajectory_rows(part: CircuitData, observables: Sequence[Observable], trajectories: int, seed: int,
                     use_float32: bool, fusion: int | str, sets: int) -> tuple[npt.NDArray, npt.NDArray]:
    """A part's means and standard errors as (sets, K) rows."""
    means, errors = wavesim.expval_trajectories_cpp(part, observables, trajectories, seed, use_float32, fusion=fusion)
    return means.reshape(sets, len(observables)), errors.reshape(sets, len(observables))


def pooled(trajectories: Sequence[int], means: npt.NDArray, errors: npt.NDArray) -> tuple[npt.NDArray, npt.NDArray]:
    """The mean and standard error of all the trajectories of several parts, from each part's count, means and
    standard errors (leading axis: the parts): sum of squared deviations within the parts plus the parts'
    deviations from the whole mean, over (count - 1) count."""
    counts = np.asarray(trajectories, dtype=float).reshape((-1,) + (1,) * (means.ndim - 1))
    total = counts.sum()
    mean = (counts * means).sum(axis=0) / total
    # A part of one trajectory has no spread of its own (its error is NaN).
    within = np.where(counts > 1, np.nan_to_num(errors) ** 2 * counts * (counts - 1), 0.0).sum(axis=0)
    between = (counts * (means - mean) ** 2).sum(axis=0)
    return mean, np.sqrt((within + between) / (total - 1) / total)


def expval_trajectories(client: Client, circuit_data: CircuitData, observables: Sequence[Observable],
                        trajectories: int, seed: int = -1, use_float32: bool = False, parts: int | None = None, *,
                        progress: bool = False, fusion: int | str = 0) -> tuple[npt.NDArray, npt.NDArray]:
    """``wavesim.expval_trajectories_cpp(circuit_data, observables, trajectories, seed, use_float32,
    fusion=fusion)`` on the cluster: ``(mean, stderr)``.

    Several parameter sets are cut into ``parts`` as for expval (``wavesim_trajectories``
    in the dashboard): the rows of one call, bit for bit. One set has its trajectories cut
    into ``parts`` nearly equal shares (larger first; by default one per
    TRAJECTORIES_PER_PART trajectories, at most one per worker thread), part i run with
    the seed part_seeds gives it, and the parts' means and spreads pooled (see pooled):
    with one part the call is exactly ``expval_trajectories_cpp`` with ``seed``, with
    several the same seed and parts give the same numbers on any cluster. Errors as for
    expval.
    """
    numbers = [_c_int(v) for v in (trajectories, seed)] + [_fusion_setting(fusion)]
    flag = _c_bool(use_float32)
    if not isinstance(circuit_data, circuitcore.CircuitData) or None in numbers or flag is None:
        return wavesim.expval_trajectories_cpp(circuit_data, observables, trajectories, seed, use_float32,
                                               **_as_given(fusion))
    trajectories, seed, fusion = numbers
    whole = (circuit_data, observables, trajectories, seed, flag)
    cut = _parts(client, circuit_data, parts)
    if not isinstance(observables, Sequence) or trajectories < 1:
        return _whole_result(client, wavesim.expval_trajectories_cpp, *whole, fusion=fusion)
    count = len(observables)
    if cut is not None:
        sets, pieces, bounds = cut
        arguments = [(p, observables, trajectories, seed, flag, fusion, end - begin)
                     for p, (begin, end) in zip(pieces, bounds)]
    else:
        layout = _layout_or_none(circuit_data)
        if parts is None:
            parts = min(_worker_threads(client), max(1, trajectories // TRAJECTORIES_PER_PART))
        if isinstance(parts, bool) or not isinstance(parts, int) or not 1 <= parts <= trajectories:
            raise ValueError(f"parts must be an int from 1 to the {trajectories} trajectories, not {parts!r}")
        if layout is None or parts == 1:
            return _whole_result(client, wavesim.expval_trajectories_cpp, *whole, fusion=fusion)
        share, extra = divmod(trajectories, parts)
        shares = [share + (1 if i < extra else 0) for i in range(parts)]
        shared = client.scatter(circuit_data, broadcast=True, hash=False)
        arguments = [(shared, observables, t, s, flag, fusion, 1) for t, s in zip(shares, part_seeds(seed, parts))]
    futures = _submit_all(client, "wavesim_trajectories", _trajectory_rows, arguments)
    results: list = [None] * len(futures)
    for i, result in _results_as_completed(client, futures, progress):
        results[i] = result
    means = np.concatenate([m for m, _ in results])
    errors = np.concatenate([e for _, e in results])
    if cut is not None:
        return means, errors
    mean, error = pooled(shares, means.reshape(parts, count), errors.reshape(parts, count))
    return mean, error
