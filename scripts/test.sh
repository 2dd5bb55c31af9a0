#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through CTest) and the
# Python tests against the modules installed in .venv/. Needs scripts/setup.sh --test.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python
BIN=$PWD/.venv/bin

"$BIN/cmake" -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DNATIVE_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
"$BIN/cmake" --build build/cpp -j "$(nproc)"
"$BIN/ctest" --test-dir build/cpp --output-on-failure -j "$(nproc)"

"$PY" -m pytest -q "$@"
