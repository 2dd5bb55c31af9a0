#!/usr/bin/env bash
# Runs the C++ unit tests of one build directory through CTest and fails when
# any is missing: a build made without them, a deleted test binary, or fewer
# registered tests than there are *.test.cc files in the module folders (and their stage folders).
#   scripts/run_cpp_tests.sh build/wheel
set -euo pipefail
cd "$(dirname "$0")/.."
B=$1
CTEST=$PWD/.venv/bin/ctest

shopt -s nullglob
test_sources=(*/*.test.cc */*/*.test.cc)
expected=${#test_sources[@]}

if ! grep -qx 'NATIVE_BUILD_TESTS:BOOL=ON' "$B/CMakeCache.txt" 2>/dev/null; then
    echo "run_cpp_tests: $B has no C++ unit tests; build them with scripts/setup.sh --test" >&2
    exit 1
fi
registered=$("$CTEST" --test-dir "$B" -N | sed -n 's/^Total Tests: *//p')
if [[ "$registered" != "$expected" ]]; then
    echo "run_cpp_tests: $B registers ${registered:-no} C++ tests, the tree has $expected *.test.cc files;" \
         "rebuild with scripts/setup.sh --test" >&2
    exit 1
fi
# A registered test whose binary is gone fails as "Not Run"; no test at all fails too.
"$CTEST" --test-dir "$B" --no-tests=error --output-on-failure -j "$(nproc)"
