"""Parameter sweeps and shots of ``wavesim`` on a Dask cluster, with the results of one process.

- ``split_batches(circuit_data, parts)``: cut a batched circuit into parts carrying
  contiguous ranges of its parameter sets.
- ``cal_states(client, circuit_data, use_float32=False, parts=None, *, fusion=0)``: the amplitudes of
  ``wavesim.cal_states_cpp``, bit for bit, computed by the cluster's workers.
- ``density_matrix(client, circuit_data, use_float32=False, parts=None, *, fusion=0)``: the density
  matrices of ``wavesim.density_matrix_cpp``, bit for bit, parameter sets spread over the workers.
- ``run(client, circuit_data, shots, num_cbits, seed=-1, use_float32=False, parts=None, *, fusion=0,
  readout_error=None)``: the counts of ``wavesim.run_cpp`` (noisy circuits too), parameter sets or
  shots spread over the workers.
- ``expval(client, circuit_data, observables, use_float32=False, parts=None, *, fusion=0)`` and
  ``expval_grad(client, circuit_data, observable, use_float32=False, parts=None, *, fusion=0)``: the
  results of ``wavesim.expval_cpp`` and ``wavesim.expval_grad_cpp``, bit for bit, parameter
  sets spread over the workers and only their numbers sent back.
- ``expval_trajectories(client, circuit_data, observables, trajectories, seed=-1, use_float32=False,
  parts=None, *, fusion=0)``: ``wavesim.expval_trajectories_cpp``, parameter sets (bit for bit) or the
  trajectories of one set (means and spreads pooled) spread over the workers.

Import ``circuitcore`` first, as for the native modules (this package does so itself).
"""

from .batch_split import split_batches
from .cluster_runs import cal_states, density_matrix, part_seeds, run
from .expval_runs import expval, expval_grad, expval_trajectories, pooled

__all__ = ["cal_states", "density_matrix", "expval", "expval_grad", "expval_trajectories", "part_seeds", "pooled",
           "run", "split_batches"]
