#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through CTest, built by
# scripts/setup.sh --test in build/wheel) and the Python tests against the
# modules installed in .venv/.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python
BIN=$PWD/.venv/bin

"$BIN/ctest" --test-dir build/wheel --output-on-failure -j "$(nproc)"

"$PY" -m pytest -q "$@"
