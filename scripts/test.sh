#!/usr/bin/env bash
# Runs every test: the include rule of wavesim's stage folders, the C++ unit tests (GoogleTest through CTest, built by
# scripts/setup.sh --test in build/wheel) and the Python tests against the
# modules installed in .venv/, then the C++ unit tests and the whole Python suite
# again against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (scripts/sanitize.sh). A missing C++ test binary fails the run.
#   scripts/test.sh [--quick] [pytest arguments]
# --quick leaves out the sanitizer build and run (the inner loop while editing).
# Other arguments go to both pytest runs (for example a test file, or -x).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python

quick=false
if [[ "${1:-}" == "--quick" ]]; then
    quick=true
    shift
fi

"$PY" scripts/check_includes.py
scripts/run_cpp_tests.sh build/wheel

"$PY" -m pytest -q "$@"

if ! $quick; then
    scripts/sanitize.sh "$@"
fi
