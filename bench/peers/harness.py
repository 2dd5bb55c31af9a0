"""What the peer benchmarks share (run_suite.py, run_expval.py): one worker
process per system and the protocol to it (protocol.py), the checks a result
must pass before it is timed (state fidelity, shot frequencies), the timed
repeats, the facts of the machine and the versions, and the json and markdown
they write under bench/results/.

Each peer runs in its own env, bench/.peer-envs/<system>/ (setup.sh makes
them); wavesim runs under the python that runs the harness.
"""

import contextlib
import ctypes
import datetime
import json
import os
import platform
import select
import signal
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
ENVS = HERE.parent / ".peer-envs"
RESULTS = HERE.parent / "results"

FIDELITY_TOLERANCE = {"double": 1e-10, "single": 1e-5}
# Shot frequencies must lie within this many binomial standard deviations of
# the exact marginal (plus a floor for marginals at exactly 0 or 1).
SHOT_SIGMAS = 6.0
SHOT_FLOOR = 1e-3

# Settings each system runs state jobs at; the fastest correct one is reported.
# Other jobs keep each system's plain setting. wavesim's first (its default)
# is the reference state and is reported as well.
VARIANTS = {"wavesim": [{}, {"fusion": 2}, {"fusion": 3}, {"fusion": 4}, {"fusion": "auto"}],
            "qsim": [{"fusion": 2}, {"fusion": 3}, {"fusion": 4}],
            "qulacs": [{}, {"optimize": "light"}, {"optimize": 2}],
            "aer": [{"fusion": "off"}, {"fusion": 2}, {"fusion": 3}, {"fusion": 4}, {"fusion": 5}]}
REFERENCE = ("wavesim", "plain")


# ----------------------------------------------------------------------------
# Workers


class WorkerError(RuntimeError):
    pass


class TimedOut(WorkerError):
    """A call still running after its timeout; its worker was started again."""


def die_with_parent():
    """In a worker before it starts (Linux): it is killed when the run that started it ends, however that
    ends, so a stopped run leaves no worker computing beside the next one."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Worker:
    """One system's long-lived worker process."""

    def __init__(self, system, python, env, log):
        self.system = system
        self.start = (python, env, log)
        self.process = self.spawn()
        self.info = self.call(op="info")

    def spawn(self):
        python, env, log = self.start
        return subprocess.Popen([python, str(HERE / f"worker_{self.system}.py")], cwd=HERE, env=env, text=True,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                preexec_fn=die_with_parent)

    def call(self, timeout=None, **request):
        """The reply to `request`; with `timeout` (seconds), a call still running then is stopped: the
        worker is killed and started again (what it had prepared is gone) and TimedOut is raised."""
        try:
            self.process.stdin.write(json.dumps(request) + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            raise WorkerError(f"{self.system} worker {self.restart()}") from None
        if timeout is not None and not select.select([self.process.stdout], [], [], timeout)[0]:
            self.restart()
            raise TimedOut(f"> {timeout:g} s")
        line = self.process.stdout.readline()
        if not line:
            raise WorkerError(f"{self.system} worker {self.restart()} (see the log)")
        reply = json.loads(line)
        if "error" in reply:
            raise WorkerError(f"{self.system}: {reply['error']}")
        return reply

    def restart(self):
        """Stops the worker (if it still runs) and starts it again (what it had prepared is gone); how the
        old one ended, e.g. "was killed by signal 9" (the out-of-memory killer sends that)."""
        self.process.kill()
        code = self.process.wait()
        with contextlib.suppress(BrokenPipeError):  # a request may still sit in the dead pipe's buffer
            self.process.stdin.close()
        self.process = self.spawn()
        return f"was killed by signal {-code}" if code < 0 else f"exited with status {code}"

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


def start_workers(args, log, peers):
    """wavesim's worker (from args.build_dir if given) and one per peer in
    `peers` that has an env."""
    threads = str(os.cpu_count())
    base = dict(os.environ, OMP_NUM_THREADS=threads, PYTHONUNBUFFERED="1")
    workers = {}
    wavesim_env = dict(base)
    if args.build_dir:
        wavesim_env["PYTHONPATH"] = os.pathsep.join(
            [str((REPO / args.build_dir / "python").resolve()), base.get("PYTHONPATH", "")])
    workers["wavesim"] = Worker("wavesim", sys.executable, wavesim_env, log)
    for system in peers:
        python = ENVS / system / "bin" / "python"
        if not python.exists():
            print(f"skipping {system}: no env at {python.parent.parent} (run bench/peers/setup.sh)")
            continue
        try:
            workers[system] = Worker(system, str(python), base, log)
        except WorkerError as error:
            print(f"skipping {system}: {error}")
    return workers


@contextlib.contextmanager
def running_workers(args, log_path, peers):
    """(workers, a temporary directory for their results) as start_workers
    gives them, every worker closed at the end."""
    with open(log_path, "w") as log, tempfile.TemporaryDirectory() as tmp:
        workers = start_workers(args, log, peers)
        try:
            yield workers, tmp
        finally:
            for worker in workers.values():
                worker.close()


def run_checked(worker, point_id, job, tmp, timeout=None):
    """(result array, seconds) of one untimed run of `job`, prepared as
    point_id; the caller drops it. With `timeout`, Worker.call's."""
    out = Path(tmp) / f"{point_id}.npy"
    worker.call(op="prepare", id=point_id, job=job)
    seconds = worker.call(op="check", id=point_id, out=str(out), timeout=timeout)["seconds"]
    result = np.load(out)
    out.unlink()
    return result, seconds


def median_seconds(worker, point_id, args):
    """The median of args.min_repeats to args.max_repeats timed runs, as
    many as fit in args.budget seconds."""
    times = worker.call(op="time", id=point_id, min_repeats=args.min_repeats,
                        max_repeats=args.max_repeats, budget=args.budget)["times"]
    return statistics.median(times)


def reference_state(workers, tmp, n, ops, label):
    """wavesim's double-precision state of `ops` on n qubits."""
    job = {"kind": "state", "n": n, "ops": ops, "precision": "double"}
    try:
        return run_checked(workers["wavesim"], label, job, tmp)[0]
    finally:
        workers["wavesim"].call(op="drop", id=label)


# ----------------------------------------------------------------------------
# Checking


def fidelities(a, b):
    """|<a|b>|^2 / (<a|a><b|b>) per row (one row for a single state)."""
    a = np.atleast_2d(a).astype(np.complex128)
    b = np.atleast_2d(b).astype(np.complex128)
    if a.shape != b.shape:
        return np.zeros(1)
    overlap = np.abs(np.einsum("ij,ij->i", a.conj(), b)) ** 2
    norms = np.einsum("ij,ij->i", a.conj(), a).real * np.einsum("ij,ij->i", b.conj(), b).real
    return overlap / norms


def exact_marginals(state, n):
    probabilities = np.abs(state) ** 2
    indices = np.arange(probabilities.size)
    return np.array([probabilities[(indices >> q) & 1 == 1].sum() for q in range(n)])


def exact_dynamic(state, n, records):
    """The result array of a dynamic job (protocol.py), exactly, from the state
    of the deferred circuit on n + records qubits."""
    probabilities = np.abs(state) ** 2
    marginals = exact_marginals(state, n + records)[:n]
    joint = probabilities.reshape(1 << records, 1 << n).sum(axis=1)
    return np.concatenate([marginals, joint])


def shots_agree(frequencies, exact, shots):
    sigma = np.sqrt(exact * (1 - exact) / shots)
    return bool(np.all(np.abs(frequencies - exact) <= SHOT_SIGMAS * sigma + SHOT_FLOOR))


# ----------------------------------------------------------------------------
# One measurement point: every system at each of its settings builds and is
# checked, then the ones that agree are timed


def variant_name(variant):
    return ",".join(f"{k}={v}" for k, v in variant.items()) or "plain"


def settings(workers, system, job):
    """The settings `system` runs `job` at: its VARIANTS for state jobs (less
    wavesim's fused ones if its build lacks the option), else its plain one."""
    if job["kind"] != "state":
        return [{}]
    variants = VARIANTS.get(system, [{}])
    if system == "wavesim" and workers["wavesim"].info.get("fusion") != "present":
        variants = [v for v in variants if "fusion" not in v]
    return variants


def measure_point(workers, systems, job, label, tmp, args, reference_state=None):
    """Returns {system: median seconds or a failure text} for one job.

    systems maps system -> precision. wavesim's default setting comes first
    and is the reference for states (every other setting of every system,
    wavesim's own included, must agree with it to be timed); for shots,
    reference_state gives the exact marginals. See summarise() for the keys
    of systems timed at several settings."""
    tried = {}
    prepared = {}
    failures = {}
    agreed = []
    if job["kind"] == "shots":
        expected = exact_marginals(reference_state, job["n"])
    elif job["kind"] == "dynamic":
        expected = exact_dynamic(reference_state, job["n"], job["records"])
    else:
        expected = None  # wavesim's default state, once it has run
    # Each result is judged as it arrives and only the reference is kept: at
    # n = 26 a double state is 1 GiB, and a point has over a dozen settings.
    for system, precision in systems.items():
        if system not in workers:
            continue
        tried[system] = []
        for variant in settings(workers, system, job):
            key = (system, variant_name(variant))
            tried[system].append(key[1])
            point_id = f"{label}-{system}-{key[1]}"
            try:
                result = run_checked(workers[system], point_id, dict(job, precision=precision, variant=variant), tmp)[0]
            except WorkerError as error:
                failures[key] = f"error: {error}"
                workers[system].call(op="drop", id=point_id)
                continue
            prepared[key] = point_id
            if job["kind"] == "state" and key == REFERENCE:
                expected = result
            failure = disagreement(job, precision, result, expected)
            del result  # before the next one loads
            if failure is None:
                agreed.append(key)
            else:
                failures[key] = failure
    del expected  # not held while the agreed settings are timed

    seconds = {}
    for system, name in agreed:
        seconds[(system, name)] = median_seconds(workers[system], prepared[(system, name)], args)
    for (system, _), point_id in prepared.items():
        workers[system].call(op="drop", id=point_id)
    return summarise(tried, seconds, failures, several=job["kind"] == "state")


def disagreement(job, precision, result, expected):
    """None when a result agrees with what is expected of it (shot
    frequencies with the exact ones; a state with wavesim's default state,
    which agrees with itself), else the failure text."""
    if job["kind"] in ("shots", "dynamic"):
        return None if shots_agree(result, expected, job["shots"]) else "MISMATCH (shot frequencies)"
    if expected is None:
        return "not checked: no wavesim default state"
    if result is expected:
        return None
    worst = float(fidelities(expected, result).min())
    return None if worst > 1 - FIDELITY_TOLERANCE[precision] else f"MISMATCH (fidelity {worst:.12f})"


def summarise(tried, seconds, failures, several):
    """{system: seconds or failure} from the outcome of each (system, setting).

    When several settings apply (state jobs) and a system has more than one in
    VARIANTS, its column holds the fastest that agreed, "<column>-variant"
    names it, and "<system>-settings" keeps every setting's seconds or
    failure. wavesim's column stays its default setting; its fastest goes to
    "wavesim-best" (default included, so it is there even for a build without
    fusion)."""
    outcome = {}
    for system, names in tried.items():
        each = {name: seconds.get((system, name), failures.get((system, name), "not run"))
                for name in names}
        if not several or len(VARIANTS.get(system, [{}])) == 1:
            outcome[system] = each[names[0]]
            continue
        column = system
        if system == "wavesim":
            outcome["wavesim"] = each[REFERENCE[1]]
            column = "wavesim-best"
        timed = {name: value for name, value in each.items() if isinstance(value, float)}
        if timed:
            fastest = min(timed, key=timed.get)
            outcome[column] = timed[fastest]
            outcome[f"{column}-variant"] = fastest
        else:
            outcome[column] = next(f"{value} ({name})" for name, value in each.items())
        outcome[f"{system}-settings"] = each
    return outcome


def report_point(workload, n, outcome):
    def show(value):
        if isinstance(value, dict):
            return "{" + ", ".join(f"{k}: {show(v)}" for k, v in value.items()) + "}"
        return f"{value:.4g}s" if isinstance(value, float) else str(value)
    print(f"W{workload} n={n}: " + ", ".join(f"{s}={show(v)}" for s, v in outcome.items()), flush=True)


# ----------------------------------------------------------------------------
# Facts and output


def machine_facts(workers, args, load_before):
    cpu = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    compiler = "unknown"
    build = REPO / (args.build_dir or "build")
    cache = build / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1]
    versions = {s: {k: v for k, v in w.info.items() if k != "system"} for s, w in workers.items()}
    # A build dir given may belong to another worktree: its commit is wavesim's.
    source = build if args.build_dir and build.exists() else REPO
    commit = subprocess.run(["git", "-C", str(source), "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip()
    fusion = {"fusion": workers["wavesim"].info["fusion"]} if "fusion" in workers["wavesim"].info else {}
    versions["wavesim"] = {"commit": commit or "unknown", **fusion}
    return {"date": datetime.datetime.now().isoformat(timespec="seconds"), "cpu": cpu,
            "cores": os.cpu_count(), "python": platform.python_version(),
            "compiler": compiler, "load_before": load_before, "load_after": os.getloadavg(),
            "versions": versions, "sizes": args.sizes}


def cell(value):
    if isinstance(value, float):
        return f"{value:.4g}"
    return "—" if value is None else str(value)


def table(head, lines):
    return ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)] + [
        "| " + " | ".join(line) + " |" for line in lines]


def report_head(title, facts, description):
    """A report's title, when and where it ran (then `description`), and the
    versions of every system."""
    return [f"# {title}", "",
            f"Run {facts['date']} on {facts['cpu']} ({facts['cores']} cores); load average "
            f"{facts['load_before'][0]:.2f} before, {facts['load_after'][0]:.2f} after "
            "(the machine is shared, so other work may inflate any column). " + description, "",
            "Versions: " + "; ".join(f"{s} " + ", ".join(f"{k} {v}" for k, v in info.items())
                                     for s, info in facts["versions"].items())]


def write_json(tables, facts, name):
    RESULTS.mkdir(parents=True, exist_ok=True)
    path = RESULTS / f"{name}.json"
    path.write_text(json.dumps({"facts": facts, "tables": {str(k): v for k, v in tables.items()}}, indent=1))
    return path


def read_json(name):
    """(tables by workload number, facts) as write_json wrote them."""
    saved = json.loads((RESULTS / f"{name}.json").read_text())
    return {int(k): v for k, v in saved["tables"].items()}, saved["facts"]


def timing_arguments(parser):
    """The command-line options every peer benchmark takes for building
    wavesim, timing and rewriting its report."""
    parser.add_argument("--build-dir", default=None,
                        help="a CMake build dir whose python/ holds wavesim (default: installed)")
    parser.add_argument("--min-repeats", type=int, default=3)
    parser.add_argument("--max-repeats", type=int, default=15)
    parser.add_argument("--budget", type=float, default=2.0,
                        help="seconds of timed runs per system and point, beyond min-repeats")
    parser.add_argument("--render-only", action="store_true",
                        help="only rewrite the report (and plot) from <results-name>.json")
