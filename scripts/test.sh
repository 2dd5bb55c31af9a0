#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through CTest, built by
# scripts/setup.sh --test in build/wheel) and the Python tests against the
# modules installed in .venv/, then the C++ unit tests and the whole Python suite
# again against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (scripts/sanitize.sh). A missing C++ test binary fails the run.
# Arguments go to both pytest runs (for example a test file, or -x).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python

scripts/run_cpp_tests.sh build/wheel

"$PY" -m pytest -q "$@"

scripts/sanitize.sh "$@"
