#!/usr/bin/env bash
# Builds all five modules and the C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/sanitize), runs the C++ unit tests, then the
# Python tests against the modules, with the sanitizer runtimes preloaded into
# the uninstrumented interpreter. Needs scripts/setup.sh --test.
#   scripts/sanitize.sh                   every C++ test and the whole Python test suite
#   scripts/sanitize.sh tests/test_fuzz.py -x   every C++ test, then these pytest arguments
# The first sanitizer report stops the run with a non-zero exit status; it is
# printed on the terminal (pytest captures only sys.stdout/sys.stderr here).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$PWD/.venv/bin/python
BIN=$PWD/.venv/bin
B=build/sanitize

"$BIN/cmake" -S . -B "$B" -G Ninja -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DNATIVE_SANITIZE=ON -DNATIVE_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
"$BIN/cmake" --build "$B" -j "$(nproc)"

# The runtimes of the compiler that built the modules; ASan must come first in the process.
CXX=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$B/CMakeCache.txt")
ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [[ -f "$lib" ]] || { echo "sanitize: $lib not found (install the compiler's sanitizer runtimes)" >&2; exit 1; }
done

# detect_leaks=0: CPython is not instrumented and keeps its objects until exit.
# allocator_may_return_null=1: an impossible allocation is refused (MemoryError)
# as without the sanitizer, instead of aborting the run.
# PYTHONMALLOC=malloc: Python objects come from the checked allocator too, so a
# native write past a Python-owned buffer is caught.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The test binaries are instrumented themselves: nothing to preload.
scripts/run_cpp_tests.sh "$B"

export PYTHONMALLOC=malloc
export PYTHONPATH=$PWD/$B/python
export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
exec "$PY" -m pytest -q -p no:cacheprovider --capture=sys "$@"
