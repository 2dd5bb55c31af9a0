"""brickgen: quantum-volume operation lists checked against an independent
pure-Python/NumPy model of the generator, the Gaussian recipe and the QR."""

import ast
import json
import math
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import stats

import brickgen
import circuitcore
import stub_check

MASK64 = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
MIX_MUL = 0xBF58476D1CE4E5B9
MIX_ADD = 0x94D049BB133111EB
TOL = 1e-12
BUILDERS = [brickgen.build_qv_op_list, brickgen.build_qv_op_list_ultra]


class XorShift:
    def __init__(self, value):
        self.s0 = (value ^ GAMMA) & MASK64
        self.s1 = (value * MIX_MUL + MIX_ADD) & MASK64

    def next(self):
        t, u = self.s0, self.s1
        self.s0 = u
        t ^= (t << 23) & MASK64
        self.s1 = t ^ u ^ (t >> 17) ^ (u >> 26)
        return (self.s1 + u) & MASK64


def gaussian(g):
    u1 = (g.next() & 0xFFFFFFFF) * 2.0**-32
    angle = (g.next() & 0xFFFFFFFF) * (2.0 * math.pi * 2.0**-32)
    return math.sqrt(-2.0 * math.log(max(u1, 1e-15))) * math.cos(angle)


def gaussian_matrix(seed):
    g = XorShift(seed & MASK64)
    z = np.empty((4, 4), complex)
    for r in range(4):
        for c in range(4):
            imag = gaussian(g)
            z[r, c] = complex(gaussian(g), imag)
    return z


def reference_unitary(seed):
    q, r = np.linalg.qr(gaussian_matrix(seed))
    d = np.diag(r)
    return q * (d.conj() / np.abs(d))


def record_seed(seed, k):
    return (seed + k * GAMMA) & MASK64


def reference_pairs(g, n, count):
    pairs = []
    for _ in range(count):
        a = g.next() % n
        b = g.next() % n
        while b == a:
            b = g.next() % n
        pairs.append((a, b))
    return pairs


def as_matrix(record):
    return np.array(record.matrix).reshape(4, 4).T  # stored column-major


def pairs_of(records):
    return [(r.controls[0], r.qubits[0]) for r in records]


def run_fresh(code, threads=1):
    """Runs `code` in a new interpreter and returns what it prints as JSON."""
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    prelude = "import json, brickgen, circuitcore\npairs = lambda rs: [(r.controls[0], r.qubits[0]) for r in rs]\n"
    out = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


@pytest.mark.parametrize("value, outputs", [
    (0, [0x6B28FE184FDBCBCA, 0x7559F654E15A0602, 0x06C91EAA6C04ADA3]),
    (1, [0x6AC8FE26514E72BD, 0xED31042E4817BD58, 0x95B0EA4E7E026632]),
])
def test_reference_generator_vectors(value, outputs):
    g = XorShift(value)
    assert [g.next() for _ in outputs] == outputs


def test_reference_gaussian_entries_for_record_seed_zero():
    z = gaussian_matrix(0)
    np.testing.assert_allclose([z[0, 0], z[0, 1], z[1, 0]],
                               [0.502169293485 + 1.114520045696j, 0.695778832882 + 0.201282690447j,
                                0.299717092879 + 0.863367644469j], atol=1e-11)


@pytest.mark.parametrize("builder", BUILDERS)
@pytest.mark.parametrize("n, seed", [(2, 0), (5, -1), (12, 2**31 - 1), (17, -2**31), (30, 123456)])
def test_matrices_match_the_reference_model(builder, n, seed):
    records = builder(n, 0, seed)
    for k, r in enumerate(records):
        np.testing.assert_allclose(as_matrix(r), reference_unitary(record_seed(seed, k)), atol=TOL, rtol=0)


@pytest.mark.parametrize("n", [2, 3, 4, 7, 16, 17, 40])
def test_records_are_unitary_su4_on_distinct_qubits(n):
    records = brickgen.build_qv_op_list(n, 0, n)
    assert len(records) == n * (n // 2)
    for r in records:
        assert isinstance(r, circuitcore.CircuitInstruction)
        assert r.name == "su4" and len(r.matrix) == 16
        u = as_matrix(r)
        assert np.isfinite(u).all()
        assert np.abs(u.conj().T @ u - np.eye(4)).max() < TOL
        assert abs(abs(np.linalg.det(u)) - 1) < TOL
        assert len(r.controls) == 1 and len(r.qubits) == 1
        assert r.controls[0] != r.qubits[0] and 0 <= r.controls[0] < n and 0 <= r.qubits[0] < n
        assert (r.param.name, r.param.value, r.has_param, r.dagger, r.ctrl_state) == ("", [], False, False, "")


def test_column_major_layout():
    r = brickgen.build_qv_op_list(2, 0, 9)[0]
    u = reference_unitary(record_seed(9, 0))
    assert abs(r.matrix[1] - u[1, 0]) < TOL and abs(r.matrix[4] - u[0, 1]) < TOL


@pytest.mark.parametrize("n, count", [(0, 0), (1, 0), (2, 2), (3, 3), (4, 8), (5, 10), (6, 18), (17, 136)])
def test_record_count(n, count):
    assert len(brickgen.build_qv_op_list_ultra(n, 0, 1)) == count


def test_two_qubits_give_both_orientations_only():
    assert set(pairs_of(brickgen.build_qv_op_list(2, 0, 4))) <= {(0, 1), (1, 0)}


def test_repeated_calls_and_both_names_give_identical_matrices():
    lists = [builder(20, 5, 77) for builder in BUILDERS for _ in range(2)]
    for other in lists[1:]:
        assert [r.matrix for r in other] == [r.matrix for r in lists[0]]


def test_record_seeds_are_independent():
    records = brickgen.build_qv_op_list(40, 0, 0)
    assert len({tuple(r.matrix) for r in records}) == len(records)
    p00 = np.array([abs(r.matrix[0]) ** 2 for r in records])
    assert abs(np.corrcoef(p00[:-1], p00[1:])[0, 1]) < 0.15
    shifted = brickgen.build_qv_op_list(40, 0, 1)
    assert all(a.matrix != b.matrix for a, b in zip(records, shifted))


def test_haar_distribution():
    records = brickgen.build_qv_op_list(64, 0, 2024)
    u = np.array([as_matrix(r) for r in records])
    for i in range(4):
        for j in range(4):
            assert stats.kstest(np.abs(u[:, i, j]) ** 2, stats.beta(1, 3).cdf).pvalue > 1e-3
            phases = np.angle(u[:, i, j])
            assert stats.kstest(phases, stats.uniform(-np.pi, 2 * np.pi).cdf).pvalue > 1e-3


def test_first_pairs_in_a_fresh_process():
    pairs = run_fresh("print(json.dumps(pairs(brickgen.build_qv_op_list(4, 0, 0))))")
    assert [tuple(p) for p in pairs[:6]] == [(1, 3), (0, 3), (3, 1), (2, 3), (2, 3), (0, 2)]
    assert [tuple(p) for p in pairs] == reference_pairs(XorShift(MIX_MUL), 4, 8)


def test_generator_continues_between_calls_and_ignores_later_seeds():
    got = run_fresh("""
        brickgen.build_qv_op_list(0, 0, 11)
        brickgen.build_qv_op_list(1, 0, 12)
        print(json.dumps([pairs(brickgen.build_qv_op_list(5, 0, -3)), pairs(brickgen.build_qv_op_list_ultra(9, 0, 50)),
                          pairs(brickgen.build_qv_op_list(16, 0, 0))]))
    """)
    g = XorShift((-3 + MIX_MUL) & MASK64)
    expected = [reference_pairs(g, 5, 10), reference_pairs(g, 9, 36), reference_pairs(g, 16, 128)]
    assert [[tuple(p) for p in call] for call in got] == expected


def test_second_argument_has_no_effect():
    code = """
        a = brickgen.build_qv_op_list(6, {0}, 6)
        b = brickgen.build_qv_op_list_ultra(5, {1}, 6)
        print(json.dumps([pairs(a), pairs(b), [str(r.matrix) for r in a + b]]))
    """
    baseline = run_fresh(code.format(0, 0))
    for arg1 in (1, -1, 2**31 - 1, -2**31):
        assert run_fresh(code.format(arg1, -arg1 - 1)) == baseline


def test_matrices_identical_across_thread_counts():
    code = "print(json.dumps([[repr(x) for x in r.matrix] for r in brickgen.build_qv_op_list(40, 0, 31)]))"
    assert run_fresh(code, threads=1) == run_fresh(code, threads=2)


def test_pairs_valid_with_two_threads():
    got = run_fresh("print(json.dumps([pairs(brickgen.build_qv_op_list(n, 0, n)) for n in (17, 50, 51)]))", threads=2)
    for n, call in zip((17, 50, 51), got):
        assert len(call) == n * (n // 2)
        assert all(a != b and 0 <= a < n and 0 <= b < n for a, b in call)


@pytest.mark.parametrize("builder", BUILDERS)
@pytest.mark.parametrize("n", [-1, -2, -3, -2**31, 65536, 2**31 - 1])
def test_refuses_negative_and_overflowing_sizes(builder, n):
    with pytest.raises(ValueError):
        builder(n, 0, 0)


@pytest.mark.parametrize("args", [(4.0, 0, 0), (4, 0.5, 0), ("4", 0, 0), (4, 0, 2**31), (4, 0, None), (4, 0)])
def test_rejects_unconvertible_arguments(args):
    with pytest.raises(TypeError):
        brickgen.build_qv_op_list(*args)


def test_arguments_are_positional_only():
    with pytest.raises(TypeError):
        brickgen.build_qv_op_list(arg0=4, arg1=0, arg2=0)


def test_interface_and_docstrings():
    assert brickgen.build_qv_op_list.__doc__.rstrip().endswith("Ultra-fast QV operation list generator.")
    assert brickgen.build_qv_op_list_ultra.__doc__.rstrip().endswith(
        "Ultra QV operation list generator with thread-local RNG.")
    assert "arg0: typing.SupportsInt | typing.SupportsIndex" in brickgen.build_qv_op_list.__doc__
    assert "CircuitInstruction]\n" in brickgen.build_qv_op_list_ultra.__doc__  # module prefix depends on import order


@pytest.mark.parametrize("threads", [1, 2])
def test_allocation_failure_while_filling_is_a_memory_error(threads):
    # Address space for the record vector of the large list but not for the
    # matrices and qubit lists filled into it, so the failure strikes inside
    # the parallel region; the process must survive and keep working.
    got = run_fresh("""
        import resource
        brickgen.build_qv_op_list(40, 0, 0)  # start the thread team and its allocator arenas first
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        n = 1448  # about one million records: ~220 MB of records, ~350 MB more to fill them
        resource.setrlimit(resource.RLIMIT_AS, (in_use + 320 * 2**20, resource.RLIM_INFINITY))
        outcome = []
        for size in (n, 20000):  # fails while filling / fails allocating the vector
            try:
                brickgen.build_qv_op_list(size, 0, 0)
                outcome.append("returned")
            except MemoryError:
                outcome.append("MemoryError")
        outcome.append(len(brickgen.build_qv_op_list(10, 0, 0)))
        print(json.dumps(outcome))
    """, threads=threads)
    assert got == ["MemoryError", "MemoryError", 50]


@pytest.mark.parametrize("name", ["build_qv_op_list", "build_qv_op_list_ultra"])
def test_type_stub_matches_the_runtime_signature(name):
    stub = pathlib.Path(__file__).resolve().parent.parent / "brickgen" / "brickgen.pyi"
    funcs = {f.name: f for f in ast.parse(stub.read_text()).body if isinstance(f, ast.FunctionDef)}
    args = funcs[name].args
    assert not args.args and not args.kwonlyargs and not args.defaults  # positional-only, no defaults
    runtime = getattr(brickgen, name)
    assert [(a.arg, False) for a in args.posonlyargs] == stub_check.runtime_parameters(runtime)
    assert ast.get_docstring(funcs[name]) == runtime.__doc__.strip().splitlines()[-1]
