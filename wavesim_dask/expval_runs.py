"""expval and expval_grad on a Dask cluster: the parameter sets cut into parts as for
cal_states, each part one task, and only the numbers of each part ((sets, K) values, or
(sets,) values and (sets, P) gradients) sent back and put together in order.

The simulator adds every sum exactly, whichever threads take it, so a part gives the bits
of the same rows of one call: the results are those of one call, bit for bit.
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
from .cluster_runs import _as_given, _c_bool, _c_int, _layout_or_none, _results_as_completed, _submit_all, \
    _whole_result, _worker_threads

Observable = Sequence[tuple[str, Sequence[int], complex]]


def _expval_rows(part: CircuitData, observables: Sequence[Observable], use_float32: bool, fusion: int,
                 sets: int) -> npt.NDArray:
    """A part's values as (sets, K) rows (a part of one set gives one row)."""
    return wavesim.expval_cpp(part, observables, use_float32, fusion=fusion).reshape(sets, len(observables))


def _gradient_rows(part: CircuitData, observable: Observable, use_float32: bool, fusion: int, sets: int,
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
           parts: int | None = None, *, progress: bool = False, fusion: int = 0) -> npt.NDArray[np.float64]:
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
    number = _c_int(fusion)
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
                fusion: int = 0) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """``wavesim.expval_grad_cpp(circuit_data, observable, use_float32, fusion=fusion)`` computed on the cluster.

    Parts as for expval (``wavesim_expval_grad`` in the dashboard); each returns its sets'
    values and gradient rows, put together in order: ``(values, grads)`` of one call, bit for
    bit, columns as ``wavesim.param_columns`` lists them. Errors as for expval.
    """
    flag = _c_bool(use_float32)
    number = _c_int(fusion)
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
