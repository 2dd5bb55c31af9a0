"""End-to-end cost of large wavesim.cal_states_cpp calls, measured against a
streaming sweep over a state of the same size.

    /work/main/.venv/bin/python bench/bench_large_states.py [--sizes 20 21 ... 26]
        [--precisions double float] [--repeats 5] [--layers 10] [--seed 11]
        [--families layered layered-fixed random] [--python-dir DIR] [--json FILE]

--python-dir puts a build's python directory (e.g. build/<dir>/python) first on
sys.path, so that a development build is measured instead of the installed one.
--families with no name measures the fixed cost per call alone.

Every timed figure is one call of cal_states_cpp as a user makes it: the
circuit record is built before timing, the call allocates its own state and
returns a fresh result array (freed after the clock stops). For each size and
precision, every round times each case once, in an order that rotates from round
to round, so that a change of load hits all cases alike; figures are medians
over --repeats rounds.

Numbers reported, per size n and precision:
  wall (s)        median wall time of the call
  minor faults    ru_minflt delta around the call: page faults served without
                  I/O (a fresh page read first and written later costs two);
                  "result pages" is the size of one result in pages, for
                  comparison
  sys, user (s)   ru_stime, ru_utime deltas around the call, summed over all
                  threads of the process (user can exceed wall)
  cpu/wall        (user + sys) / wall: near 2 for a compute-bound call on two
                  idle cores; well below 1 means the call waited for a core,
                  so its wall time measures the machine's other work too
  t_sweep (s)     the yardstick: one read+write pass over a state of that size
                  on memory already touched: two arrays of 2^n float64 (float32)
                  for the real and imaginary parts, negated in place, each array
                  split in halves handled by two Python threads (NumPy releases
                  the GIL inside the loop); median of several passes per round
                  over all rounds
  fixed cost      (t(one H) - t(empty)) / t_sweep: what a one-gate call costs
                  beyond an empty one, in sweeps (target <= 1.5)
  per gate        (t(circuit) - t(one H)) / (gates - 1) / t_sweep: the mean
                  cost of a gate in a long circuit, in sweeps (target <= 0.25)

Circuit families (seeded, the same for a given --seed, n and --layers):
  layered         H on every qubit, then L layers of [RZ on every qubit, RX on
                  every qubit (random angles), CX on (q, q+1) for even q, then
                  for odd q]
  layered-fixed   the same with T instead of RZ and SX instead of RX
  random          H on every qubit, then L layers of [one of SX, SY, T on every
                  qubit, drawn uniformly but never the qubit's previous gate,
                  then CZ on (q, q+1) from offset 0 in even layers, 1 in odd]

A size is skipped (and reported) when MemAvailable is below three results:
the yardstick's arrays, the call's state and its result.
"""

import argparse
import concurrent.futures
import datetime
import hashlib
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

import families

REPO = Path(__file__).resolve().parent.parent
DEFAULT_SIZES = list(range(20, 27))
DEFAULT_REPEATS = 5
DEFAULT_LAYERS = 10
DEFAULT_SEED = 11
PRECISIONS = {"double": (np.float64, 16), "float": (np.float32, 8)}  # part dtype, bytes per amplitude
SWEEP_THREADS = 2
SWEEPS_PER_ROUND = 3
MEMORY_RESULTS_NEEDED = 3       # yardstick arrays + the call's state + its result
FIXED_COST_TARGET = 1.5         # sweeps
PER_GATE_TARGET = 0.25          # sweeps
PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")
GIB = 1 << 30
FIXED_CASES = ("empty", "one H", "H on all")


# --- circuits -------------------------------------------------------------

FAMILIES = {"layered": families.layered,
            "layered-fixed": lambda n, layers, rng: families.layered(n, layers, rng, gates=("T", "SX")),
            "random": lambda n, layers, rng: families.random_layers(n, layers, rng, families.redraw_each)}


def fixed_circuits(n):
    return {"empty": [], "one H": families.hadamards(1), "H on all": families.hadamards(n)}


def family_circuit(family, n, layers, seed):
    rng = np.random.default_rng([seed, n, list(FAMILIES).index(family)])
    return FAMILIES[family](n, layers, rng)


# --- measurements ---------------------------------------------------------

@dataclass
class Sample:
    seconds: float
    minflt: int
    stime: float
    utime: float


def timed_call(wavesim, records, single):
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    state = wavesim.cal_states_cpp(records, single)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    del state  # freed outside the timed window
    return Sample(seconds, after.ru_minflt - before.ru_minflt, after.ru_stime - before.ru_stime,
                  after.ru_utime - before.ru_utime)


class Yardstick:
    """Real and imaginary parts of a state, touched once, each split into one
    half per thread; a sweep negates every half in place."""

    def __init__(self, n, dtype, pool):
        self.pool = pool
        parts = [np.ones(1 << n, dtype) for _ in range(2)]
        half = (1 << n) // SWEEP_THREADS
        self.chunks = [[part[k * half:(k + 1) * half] for part in parts] for k in range(SWEEP_THREADS)]

    @staticmethod
    def _negate(arrays):
        for a in arrays:
            np.negative(a, out=a)

    def sweep_seconds(self):
        start = time.perf_counter()
        list(self.pool.map(self._negate, self.chunks))
        return time.perf_counter() - start


def mem_available():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no MemAvailable in /proc/meminfo")


def measure_block(wavesim, n, precision, args, pool):
    """All cases of one size and precision, in the same rounds."""
    dtype, amplitude_bytes = PRECISIONS[precision]
    single = precision == "float"
    result_bytes = amplitude_bytes << n
    block = {"n": n, "precision": precision, "result_bytes": result_bytes, "load_before": os.getloadavg()}
    available = mem_available()
    if available < MEMORY_RESULTS_NEEDED * result_bytes:
        block["skipped"] = (f"MemAvailable {available / GIB:.2f} GiB < {MEMORY_RESULTS_NEEDED} x result "
                            f"{result_bytes / GIB:.2f} GiB")
        return block

    circuits = fixed_circuits(n)
    circuits.update({family: family_circuit(family, n, args.layers, args.seed) for family in args.families})
    records = {case: families.circuit_data(n, ops) for case, ops in circuits.items()}
    cases = list(records) + ["sweep"]
    yardstick = Yardstick(n, dtype, pool)
    timed_call(wavesim, records["empty"], single)  # warm-up: thread pool, first allocation

    samples = {case: [] for case in records}
    sweeps = []
    for round_index in range(args.repeats):
        shift = round_index % len(cases)
        for case in cases[shift:] + cases[:shift]:
            if case == "sweep":
                sweeps += [yardstick.sweep_seconds() for _ in range(SWEEPS_PER_ROUND)]
            else:
                samples[case].append(timed_call(wavesim, records[case], single))
    del yardstick
    block["load_after"] = os.getloadavg()

    block["gates"] = {case: len(ops) for case, ops in circuits.items()}
    block["sweep_seconds"] = sweeps
    block["samples"] = {case: [asdict(s) for s in runs] for case, runs in samples.items()}
    block["median"] = {case: {field: statistics.median(getattr(s, field) for s in runs)
                              for field in ("seconds", "minflt", "stime", "utime")}
                       for case, runs in samples.items()}
    t_sweep = statistics.median(sweeps)
    t_empty = block["median"]["empty"]["seconds"]
    t_one = block["median"]["one H"]["seconds"]
    block["t_sweep"] = t_sweep
    block["fixed_cost_sweeps"] = (t_one - t_empty) / t_sweep
    block["per_gate_sweeps"] = {family: (block["median"][family]["seconds"] - t_one)
                                / (block["gates"][family] - 1) / t_sweep for family in args.families}
    return block


# --- machine facts and report ---------------------------------------------

def cpu_model():
    with open("/proc/cpuinfo") as cpuinfo:
        return next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")),
                    platform.processor())


def git_describe(path):
    try:
        return subprocess.run(["git", "-C", str(path), "describe", "--always", "--dirty"], check=True,
                              capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def file_facts(path):
    """Which build was measured: a module file's hash and modification time."""
    data = Path(path).read_bytes()
    modified = datetime.datetime.fromtimestamp(Path(path).stat().st_mtime).isoformat(timespec="seconds")
    return {"sha256": hashlib.sha256(data).hexdigest(), "modified": modified}


def cpu_share(m):
    return (m["utime"] + m["stime"]) / m["seconds"]


def yes_no(ok):
    return "yes" if ok else "NO"


def print_machine(machine):
    print(f"CPU: {machine['cpu']}, {machine['cores']} cores; memory available "
          f"{machine['mem_available_gib']:.1f} GiB")
    print(f"load average before: {' '.join(f'{x:.2f}' for x in machine['load_before'])}")
    print(f"git: bench {machine['git_bench']}; module tree {machine['git_module_tree']}")
    print(f"wavesim: {machine['wavesim_file']} (sha256 {machine['wavesim_build']['sha256'][:12]}, "
          f"modified {machine['wavesim_build']['modified']})")
    print(f"python {machine['python']}, numpy {machine['numpy']}")


def print_fixed_cost(blocks, precision):
    rows = [b for b in blocks if b["precision"] == precision]
    print(f"\n## Fixed cost per call, {precision}\n")
    print("| n | call | wall (s) | minor faults | result pages | sys (s) | user (s) | cpu/wall |")
    print("|---|---|---|---|---|---|---|---|")
    for b in rows:
        if "skipped" in b:
            print(f"| {b['n']} | skipped: {b['skipped']} | | | | | | |")
            continue
        for case in FIXED_CASES:
            m = b["median"][case]
            print(f"| {b['n']} | {case} | {m['seconds']:.4g} | {m['minflt']:.0f} | {b['result_bytes'] // PAGE_BYTES} "
                  f"| {m['stime']:.3g} | {m['utime']:.3g} | {cpu_share(m):.2f} |")
    print(f"\n| n | t_sweep (s) | t(one H) - t(empty) (s) | (t(one H) - t(empty)) / t_sweep "
          f"| <= {FIXED_COST_TARGET} |")
    print("|---|---|---|---|---|")
    for b in rows:
        if "skipped" not in b:
            delta = b["median"]["one H"]["seconds"] - b["median"]["empty"]["seconds"]
            print(f"| {b['n']} | {b['t_sweep']:.4g} | {delta:.4g} | {b['fixed_cost_sweeps']:.2f} "
                  f"| {yes_no(b['fixed_cost_sweeps'] <= FIXED_COST_TARGET)} |")


def print_per_gate(blocks, precision, names):
    print(f"\n## Time per gate, {precision}\n")
    print(f"| n | family | gates | t (s) | per gate (sweeps) | <= {PER_GATE_TARGET} | minor faults | sys (s) "
          "| cpu/wall |")
    print("|---|---|---|---|---|---|---|---|---|")
    for b in blocks:
        if b["precision"] != precision:
            continue
        if "skipped" in b:
            print(f"| {b['n']} | skipped: {b['skipped']} | | | | | | | |")
            continue
        for family in names:
            m = b["median"][family]
            per_gate = b["per_gate_sweeps"][family]
            print(f"| {b['n']} | {family} | {b['gates'][family]} | {m['seconds']:.4g} | {per_gate:.3f} "
                  f"| {yes_no(per_gate <= PER_GATE_TARGET)} | {m['minflt']:.0f} | {m['stime']:.3g} "
                  f"| {cpu_share(m):.2f} |")


def write_json(path, machine, settings, blocks):
    if path:
        with open(path, "w") as out:
            json.dump({"machine": machine, "settings": settings, "blocks": blocks}, out, indent=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=DEFAULT_SIZES)
    parser.add_argument("--precisions", nargs="+", default=list(PRECISIONS), choices=list(PRECISIONS))
    parser.add_argument("--repeats", type=int, default=DEFAULT_REPEATS)
    parser.add_argument("--layers", type=int, default=DEFAULT_LAYERS)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--families", nargs="*", default=list(FAMILIES), choices=list(FAMILIES))
    parser.add_argument("--python-dir", help="a build's python directory, put first on sys.path")
    parser.add_argument("--json", help="write every raw number to this file")
    args = parser.parse_args()
    if args.python_dir:
        sys.path.insert(0, str(Path(args.python_dir).resolve()))
    import wavesim

    module_dir = Path(wavesim.__file__).resolve().parent
    machine = {"cpu": cpu_model(), "cores": os.cpu_count(), "load_before": os.getloadavg(),
               "mem_available_gib": mem_available() / GIB, "git_bench": git_describe(REPO),
               "git_module_tree": git_describe(module_dir), "wavesim_file": wavesim.__file__,
               "wavesim_build": file_facts(wavesim.__file__),
               "date": datetime.datetime.now().isoformat(timespec="seconds"),
               "python": platform.python_version(), "numpy": np.__version__}
    print_machine(machine)
    sys.stdout.flush()

    settings = {k: v for k, v in vars(args).items() if k != "json"}
    settings.update(sweeps_per_round=SWEEPS_PER_ROUND, sweep_threads=SWEEP_THREADS, page_bytes=PAGE_BYTES)
    blocks = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=SWEEP_THREADS) as pool:
        for precision in args.precisions:
            for n in args.sizes:
                started = time.perf_counter()
                block = measure_block(wavesim, n, precision, args, pool)
                blocks.append(block)
                status = block.get("skipped") or (f"{time.perf_counter() - started:.1f} s, load average "
                                                  f"{block['load_before'][0]:.2f} -> {block['load_after'][0]:.2f}")
                print(f"measured n={n} {precision}: {status}", file=sys.stderr, flush=True)
                write_json(args.json, machine, settings, blocks)  # a stopped run keeps what it measured

    machine["load_after"] = os.getloadavg()
    write_json(args.json, machine, settings, blocks)
    for precision in args.precisions:
        print_fixed_cost(blocks, precision)
        if args.families:
            print_per_gate(blocks, precision, args.families)
    print(f"\nload average after: {' '.join(f'{x:.2f}' for x in machine['load_after'])}")

if __name__ == "__main__":
    main()
