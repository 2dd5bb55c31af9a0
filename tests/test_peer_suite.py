"""The benchmarks' random circuit family (bench/families.py), the circuits
the peer suite has measured, and the rule that only settings agreeing with
wavesim's default are timed (bench/peers/harness.py), against stand-in
workers whose states and times are chosen here."""

import hashlib
import json
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path[:0] = [str(BENCH), str(BENCH / "peers")]

import families  # noqa: E402
import harness  # noqa: E402
import run_suite  # noqa: E402
import suite_report  # noqa: E402

# How each benchmark draws its random circuit: (draw, both_bricks).
RANDOM_RULES = {"peer suite": (families.redraw_layer, False),
                "large states": (families.redraw_each, False),
                "fusion": (families.pick_other, True)}


@pytest.mark.parametrize("rule", list(RANDOM_RULES))
@pytest.mark.parametrize("n", [1, 2, 5, 12])
def test_random_layers(n, rule):
    """H on every qubit, then per layer one gate of the set on each qubit,
    never the one it had the layer before, then CZ on (q, q + 1) from the
    layer's parity (or from both, one after the other); the same seed gives
    the same circuit."""
    draw, both_bricks = RANDOM_RULES[rule]
    seed = 99 + n

    def build(seed):
        return families.random_layers(n, run_suite.LAYERS, np.random.default_rng(seed), draw, both_bricks)

    ops = build(seed)
    assert ops == build(seed)
    if rule == "peer suite":
        assert ops == run_suite.random_ops(n, seed)
    assert ops[:n] == [["H", [q], None] for q in range(n)]
    rest = ops[n:]
    previous = [None] * n
    for layer in range(run_suite.LAYERS):
        gates, rest = rest[:n], rest[n:]
        assert [targets for _, targets, _ in gates] == [[q] for q in range(n)]
        names = [name for name, _, _ in gates]
        assert set(names) <= set(families.RANDOM_GATES)
        assert all(a != b for a, b in zip(names, previous))
        previous = names
        firsts = (0, 1) if both_bricks else (layer % 2,)
        brick = [[q, q + 1] for first in firsts for q in range(first, n - 1, 2)]
        assert [op[1] for op in rest[:len(brick)]] == brick
        assert all(op[0] == "CZ" and op[2] is None for op in rest[:len(brick)])
        rest = rest[len(brick):]
    assert rest == []
    if n >= 5:  # every gate drawn somewhere, and the seed matters
        assert {op[0] for op in ops[n:]} >= set(families.RANDOM_GATES)
        assert ops != build(seed + 1)


def _digest(ops):
    return hashlib.sha256(json.dumps(ops).encode()).hexdigest()[:16]


def test_circuits_are_the_ones_measured():
    """The gate sequences behind the committed results (bench/results, the
    README): a change of seed, draw order or gate order shows here."""
    assert _digest(run_suite.layered_ops(12, run_suite.ANGLE_SEED + 12)) == "b8e698ac597345b1"
    assert _digest(run_suite.random_ops(12, run_suite.RANDOM_SEED + 12)) == "70eab2568d9ca989"
    dynamic = families.dynamic(8, run_suite.DYNAMIC_ROUNDS, np.random.default_rng(run_suite.ANGLE_SEED + 2008))
    assert _digest(dynamic) == "6f683da48def19b0"
    redraw_each = families.random_layers(12, 10, np.random.default_rng(5), families.redraw_each)
    assert _digest(redraw_each) == "a00c13f679cdd4e9"
    pick_other = families.random_layers(12, 20, np.random.default_rng(5), families.pick_other, both_bricks=True)
    assert _digest(pick_other) == "4e853b1acb845838"


class StandInWorker:
    """Answers the protocol with a state and a time per setting name."""

    def __init__(self, info, states, seconds):
        self.info, self.states, self.seconds = info, states, seconds
        self.jobs, self.prepared, self.timed = {}, [], []

    def call(self, op, id=None, job=None, out=None, **_):
        if op == "prepare":
            self.jobs[id] = harness.variant_name(job["variant"])
            self.prepared.append(self.jobs[id])
        elif op == "check":
            np.save(out, self.states[self.jobs[id]])
            return {"seconds": 0.0}
        elif op == "time":
            self.timed.append(self.jobs[id])
            return {"times": [self.seconds[self.jobs[id]]]}
        return {}


def _state(rng, n):
    state = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return state / np.linalg.norm(state)


@pytest.mark.parametrize("fusion", ["present", "MISSING"])
def test_only_settings_agreeing_with_the_default_are_timed(fusion, tmp_path):
    """wavesim's fused settings are checked against its default like a peer:
    a fast one that disagrees is neither timed nor reported fastest; the
    default stays wavesim's column; a peer equal up to a global phase agrees;
    a build without the option runs the default alone."""
    rng = np.random.default_rng(5)
    n = 4
    reference = _state(rng, n)
    tolerance = harness.FIDELITY_TOLERANCE["double"]
    off = reference + np.sqrt(100 * tolerance) * _state(rng, n)  # infidelity about 100 * tolerance
    close = reference + tolerance / 100 * _state(rng, n)
    wavesim = StandInWorker(
        {"fusion": fusion},
        {"plain": reference, "fusion=2": close, "fusion=3": off, "fusion=4": close, "fusion=auto": close},
        {"plain": 4.0, "fusion=2": 3.0, "fusion=3": 1.0, "fusion=4": 2.0, "fusion=auto": 2.5})
    qulacs = StandInWorker(
        {}, {"plain": 1j * reference, "optimize=light": off, "optimize=2": reference},
        {"plain": 5.0, "optimize=light": 0.5, "optimize=2": 6.0})
    job = {"kind": "state", "n": n, "ops": []}
    args = SimpleNamespace(min_repeats=1, max_repeats=1, budget=0.0)
    outcome = harness.measure_point({"wavesim": wavesim, "qulacs": qulacs},
                                      {"wavesim": "double", "qulacs": "double"}, job, "t", tmp_path, args)

    assert outcome["wavesim"] == 4.0
    assert outcome["qulacs"] == 5.0 and outcome["qulacs-variant"] == "plain"
    assert outcome["qulacs-settings"]["optimize=light"].startswith("MISMATCH")
    assert "optimize=light" not in qulacs.timed
    if fusion == "present":
        assert wavesim.prepared == ["plain", "fusion=2", "fusion=3", "fusion=4", "fusion=auto"]
        assert wavesim.timed == ["plain", "fusion=2", "fusion=4", "fusion=auto"]
        assert outcome["wavesim-best"] == 2.0 and outcome["wavesim-best-variant"] == "fusion=4"
        assert outcome["wavesim-settings"]["fusion=3"].startswith("MISMATCH")
    else:
        assert wavesim.prepared == wavesim.timed == ["plain"]
        assert outcome["wavesim-best"] == 4.0 and outcome["wavesim-best-variant"] == "plain"
    assert list(tmp_path.iterdir()) == []


def test_state_targets_divide_by_the_fastest_peer_that_applies():
    """Double precision against the fastest of qulacs, lightning and Aer,
    single against qsimcirq and Aer; a peer that was not timed, the cirq
    baseline and sizes below TARGET_MIN_QUBITS are passed over."""
    n = suite_report.TARGET_MIN_QUBITS
    small = {"n": n - 2, "times": {"wavesim": 9.0, "wavesim-best": 9.0, "aer": 1.0, "qsim": 1.0}}
    row = {"n": n, "times": {"wavesim": 1.0, "wavesim-best": 0.6, "qulacs": 8.0, "aer": 4.0, "qsim": 2.0,
                             "lightning": "MISMATCH (fidelity 0.5)", "cirq": 0.1}}
    expected = {((1, 6), "wavesim"): 0.25, ((1, 6), "wavesim-best"): 0.15,  # over Aer's 4.0
                ((2, 7), "wavesim"): 0.5, ((2, 7), "wavesim-best"): 0.3}  # over qsimcirq's 2.0
    for workloads, column, _, peers in suite_report.STATE_TARGETS:
        ratios = suite_report.state_target_ratios([small, row], column, peers)
        assert ratios == [(pytest.approx(expected[(workloads, column)]), n)]
    lines = suite_report.target_lines({1: [small, row], 7: [small, row]})
    assert len(lines) == 4 and all(": met (worst ratio" in line and "Aer" in line for line in lines)
