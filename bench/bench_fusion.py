"""Gate fusion end to end: cal_states_cpp on fresh calls with fusion 0 (off, the
default), 2, 3, 4 and "auto", on two circuit families, in double and single precision.

    PYTHONPATH=build/<dir>/python .venv/bin/python bench/bench_fusion.py \
        [--sizes 16 18 20 22 24 26] [--fusions 0 2 3 4 auto] [--families layered random] \
        [--precisions double single] [--layers 20] [--repeats 3] [--json out.json]

Families (each call builds nothing: the records are made once per point):
  layered  H on every qubit, then per layer RZ and RX on every qubit (random
           angles) and a CX brick (pairs from qubit 0, then from qubit 1); the
           circuit of the peer suite's workloads 1 and 2.
  random   H on every qubit, then per cycle one of SX, SY, T on every qubit
           (drawn, never the same as the qubit's previous one) and a CZ brick
           (pairs from qubit 0, then from qubit 1).

Per point: the best and the median wall time of `--repeats` calls (after one
untimed call per setting for states below 64 MiB), and each setting's ratio to
fusion 0 (best times) and, with fusion 2 among the settings, its ratio to fusion 2
(the column "vs 2"). The settings
of a point run interleaved, one call each in turn, so that load from other work
on the machine falls on all of them alike. Sizes whose state would not fit in
the memory available are skipped. The last table names the fastest setting per
family and precision (its worst and mean ratio over the sizes).
"""

import argparse
import json
import os
import statistics
import time

import numpy as np

import wavesim

import families

SEED = 20261214
HEADROOM = 1.5  # a state must fit this many times in the memory available
# Below this state size each setting gets one untimed call first (thread team, code
# pages); larger calls take long enough that it would only add to the run's length.
WARM_UP_BYTES = 64 << 20


# The random family as this benchmark has always drawn it: each qubit picks among
# the gates it did not have, and every cycle has both CZ bricks.
FAMILIES = {"layered": families.layered,
            "random": lambda n, layers, rng: families.random_layers(n, layers, rng, families.pick_other,
                                                                    both_bricks=True)}


def available_bytes():
    with open("/proc/meminfo") as info:
        fields = dict(line.split(":", 1) for line in info)
    return int(fields["MemAvailable"].split()[0]) * 1024


def setting(text):
    """A value of --fusions: "auto" or a number."""
    return text if text == "auto" else int(text)


def time_point(records, single, fusions, repeats, warm_up):
    """{fusion: [seconds, ...]} of fresh calls, the settings interleaved."""
    times = {f: [] for f in fusions}
    for f in fusions if warm_up else []:
        wavesim.cal_states_cpp(records, single, fusion=f)
    for _ in range(repeats):
        for f in fusions:
            start = time.perf_counter()
            wavesim.cal_states_cpp(records, single, fusion=f)
            times[f].append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[16, 18, 20, 22, 24, 26])
    parser.add_argument("--fusions", type=setting, nargs="+", default=[0, 2, 3, 4, "auto"])
    parser.add_argument("--families", nargs="+", default=list(FAMILIES), choices=list(FAMILIES))
    parser.add_argument("--precisions", nargs="+", default=["double", "single"], choices=["double", "single"])
    parser.add_argument("--layers", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", help="also write every time to this file")
    args = parser.parse_args()
    fusions = [0] + [f for f in dict.fromkeys(args.fusions) if f != 0]
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    print(f"{'family':>8} {'prec':>6} {'n':>3} {'fusion':>6} {'best (s)':>10} {'median (s)':>11} {'ratio':>6} "
          f"{'vs 2':>6}")
    rows = []
    for family in args.families:
        for precision in args.precisions:
            single = precision == "single"
            for n in args.sizes:
                state_bytes = (8 if single else 16) << n
                if state_bytes * HEADROOM > available_bytes():
                    print(f"{family:>8} {precision:>6} {n:>3}  skipped: {state_bytes >> 20} MiB state does not fit")
                    continue
                ops = FAMILIES[family](n, args.layers, np.random.default_rng(SEED + n))
                records = families.circuit_data(n, ops)
                times = time_point(records, single, fusions, args.repeats, state_bytes < WARM_UP_BYTES)
                base = min(times[0])
                for f in fusions:
                    best, median = min(times[f]), statistics.median(times[f])
                    rows.append({"family": family, "precision": precision, "n": n, "fusion": f, "times": times[f],
                                 "ratio": best / base})
                    versus_2 = f"{best / min(times[2]):>6.3f}" if 2 in times else ""
                    print(f"{family:>8} {precision:>6} {n:>3} {f!s:>6} {best:>10.4f} {median:>11.4f} "
                          f"{best / base:>6.3f} {versus_2}", flush=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    print("\nfastest setting (ratio to fusion 0: worst and mean over the sizes)")
    for family in args.families:
        for precision in args.precisions:
            ratios = {}
            for row in rows:
                if row["family"] == family and row["precision"] == precision and row["fusion"] != 0:
                    ratios.setdefault(row["fusion"], []).append(row["ratio"])
            if not ratios:
                continue
            best = min(ratios, key=lambda f: statistics.mean(ratios[f]))
            print(f"  {family} {precision}: fusion {best} (worst {max(ratios[best]):.3f}, "
                  f"mean {statistics.mean(ratios[best]):.3f})")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)


if __name__ == "__main__":
    main()
