#!/usr/bin/env bash
# Builds the native benchmarks (build/bench) and runs every benchmark of the
# project once, after scripts/setup.sh. Benchmarks print ratios measured side by
# side in the same run; absolute times depend on the machine and its load.
#   scripts/bench.sh            native and Python benchmarks of the modules
#   scripts/bench.sh peers      the peer simulator suite (bench/peers, installs the peers first)
#   scripts/bench.sh expval     expectation values and gradients against the same peers
#   scripts/bench.sh noise      noisy shots, density matrices and trajectory energies against the same peers
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python
BIN=$PWD/.venv/bin
B=build/bench

if [[ "${1:-}" == "peers" ]]; then
    shift
    bench/peers/setup.sh
    exec "$PY" bench/peers/run_suite.py "$@"
fi
if [[ "${1:-}" == "expval" ]]; then
    shift
    bench/peers/setup.sh
    exec "$PY" bench/peers/run_expval.py "$@"
fi
if [[ "${1:-}" == "noise" ]]; then
    shift
    bench/peers/setup.sh
    exec "$PY" bench/peers/run_noise.py "$@"
fi

"$BIN/cmake" -S . -B "$B" -G Ninja -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DNATIVE_BUILD_BENCH=ON \
    -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
"$BIN/cmake" --build "$B" -j "$(nproc)" --target kernels_perf shots_perf sampling_perf gate_dispatch_perf brickgen_perf windows_perf small_calls_perf avx512_probe_perf

set -x
"$B/bench/kernels_perf" 24 26
"$B/bench/windows_perf" 20 24
"$B/bench/small_calls_perf"
"$B/bench/avx512_probe_perf"
"$B/bench/shots_perf"
"$B/bench/sampling_perf"
"$B/bench/gate_dispatch_perf"
"$PY" bench/bench_brickgen.py --perf "$B/bench/brickgen_perf"
"$PY" bench/bench_ansatzkit.py
"$PY" bench/bench_cliffmix.py
"$PY" bench/bench_dask.py
"$PY" bench/bench_gradient.py --sizes 16 20
"$PY" bench/bench_fusion.py --sizes 16 20 24
if [[ -x bench/.peer-envs/qulacs/bin/python ]]; then "$PY" bench/bench_small_calls.py; fi
