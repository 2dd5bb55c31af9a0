"""Parameter sweep on a Dask cluster against one in-process batched call.

An n-local ansatz (RY rotations, a linear chain of CZ, 2 repetitions and a last
rotation layer, from ansatzkit) with 4096 parameter sets at n = 12:
  - in process: one wavesim.cal_states_cpp call (its batch team uses every hardware thread);
  - on a LocalCluster of 2 worker processes with 1 thread each: wavesim_dask.cal_states.
Both are timed alternately in one run; the cluster result is checked bit for bit.

    .venv/bin/python bench/bench_dask.py [--qubits 12] [--sets 4096] [--repeats 5] [--parts 2 4 8]

Prints the median wall times, the ratio cluster / in process (target <= 1.3) and where the
cluster call's time goes: cutting the circuit in the caller, the workers' compute time
(from Dask's task stream), the transfer of rows of the same size from the workers, and the
rest (scheduling, copying rows into the result).
"""

import argparse
import os
import platform
import statistics
import time

import numpy as np

import circuitcore as cc
import ansatzkit
import wavesim
from distributed import Client, LocalCluster, get_task_stream, wait

import wavesim_dask

SEED = 2026


def gate(name):
    return type(name, (), {})


def sweep_circuit(n, sets):
    data = ansatzkit.build_n_local_data(n, [gate("RY")], [gate("CZ")], ["linear"], 2, False, "t", True, False, "")
    rng = np.random.default_rng(SEED)
    instructions = data.instructions
    for ins in instructions:
        if ins.has_param:
            ins.param = cc.ParamBinding(ins.param.name, [float(v) for v in rng.uniform(0, 2 * np.pi, sets)])
    data.instructions = instructions
    return data


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def compute_seconds(stream):
    """Per worker, the seconds spent computing tasks."""
    busy = {}
    for task in stream:
        for phase in task["startstops"]:
            if phase["action"] == "compute":
                busy[task["worker"]] = busy.get(task["worker"], 0.0) + phase["stop"] - phase["start"]
    return busy


def rows_transfer_seconds(client, rows, dim, parts):
    """Gathering `parts` arrays that together hold rows x dim complex128, already on the workers."""
    share = [rows // parts + (1 if i < rows % parts else 0) for i in range(parts)]
    futures = [client.submit(np.ones, (r, dim), np.complex128, pure=False) for r in share]
    wait(futures)
    seconds, _ = timed(lambda: client.gather(futures))
    del futures
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=12)
    parser.add_argument("--sets", type=int, default=4096)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--parts", type=int, nargs="*", default=[], help="part counts to time beside the default")
    args = parser.parse_args()

    data = sweep_circuit(args.qubits, args.sets)
    dim = 1 << args.qubits
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} hardware threads; "
          f"load average before {os.getloadavg()[0]:.2f}")
    print(f"circuit: n = {args.qubits}, {len(data.instructions)} gates, {args.sets} parameter sets, "
          f"result {args.sets * dim * 16 / 2**20:.0f} MiB")

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        reference = wavesim.cal_states_cpp(data)
        variants = {"default": None} | {f"parts={p}": p for p in args.parts}
        chosen = {}
        for name, parts in variants.items():
            got = wavesim_dask.cal_states(client, data, parts=parts)  # warm-up and check
            assert got.tobytes() == reference.tobytes(), name
        times = {"in process": []} | {name: [] for name in variants}
        streams = {name: [] for name in variants}
        for _ in range(args.repeats):
            times["in process"].append(timed(lambda: wavesim.cal_states_cpp(data))[0])
            for name, parts in variants.items():
                with get_task_stream(client) as stream:
                    times[name].append(timed(lambda: wavesim_dask.cal_states(client, data, parts=parts))[0])
                streams[name].append(stream.data)
                chosen[name] = len(stream.data)
        local = statistics.median(times["in process"])
        print(f"\n{'variant':>14} {'parts':>6} {'median (s)':>11} {'best (s)':>9} {'ratio':>7}")
        print(f"{'in process':>14} {'':>6} {local:>11.3f} {min(times['in process']):>9.3f} {1.0:>7.2f}")
        for name in variants:
            median = statistics.median(times[name])
            print(f"{name:>14} {chosen[name]:>6} {median:>11.3f} {min(times[name]):>9.3f} {median / local:>7.2f}")

        print("\nwhere the cluster call's time goes (medians over the repeats):")
        for name in variants:
            parts = chosen[name]
            split_s = statistics.median(timed(lambda: wavesim_dask.split_batches(data, parts))[0] for _ in range(3))
            busy = [compute_seconds(s) for s in streams[name]]
            slowest = statistics.median(max(b.values()) for b in busy)
            total = statistics.median(sum(b.values()) for b in busy)
            transfer = statistics.median(rows_transfer_seconds(client, args.sets, dim, parts) for _ in range(3))
            wall = statistics.median(times[name])
            print(f"  {name}: wall {wall:.3f} s = cutting {split_s:.3f} + busiest worker computing {slowest:.3f} "
                  f"(both workers {total:.3f}) + gathering rows of that size {transfer:.3f} "
                  f"+ the rest {wall - split_s - slowest - transfer:.3f}")
    print(f"load average after {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
