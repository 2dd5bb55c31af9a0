#!/usr/bin/env bash
# Makes .venv/ (Python 3.13) with everything the modules need, builds and
# installs the modules into it. Safe to run again: what is there is reused.
#   scripts/setup.sh          build dependencies and the modules
#   scripts/setup.sh --test   also the test dependencies (pytest, hypothesis, torch, ...)
set -euo pipefail
cd "$(dirname "$0")/.."

want_test=0
[[ "${1:-}" == "--test" ]] && want_test=1

is_py313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python() {
    local c
    for c in "$(command -v python3.13 || true)" \
             "$(command -v pyenv >/dev/null 2>&1 && pyenv root || echo "$HOME/.pyenv")"/versions/3.13*/bin/python3.13 \
             /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if [[ -n "$c" && -x "$c" ]] && is_py313 "$c"; then echo "$c"; return 0; fi
    done
    return 1
}

apt_install() {
    local missing=()
    for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
    if ((${#missing[@]})); then
        echo "setup: installing ${missing[*]} (apt)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

apt_install libeigen3-dev libgtest-dev g++ make

PY=$(find_python || true)
if [[ -z "$PY" ]]; then
    apt_install python3.13 python3.13-venv python3.13-dev
    PY=$(find_python) || { echo "setup: no Python 3.13 found" >&2; exit 1; }
fi
if [[ "$PY" == /usr/bin/* ]]; then apt_install python3.13-venv python3.13-dev; fi

if [[ ! -x .venv/bin/python ]] || ! is_py313 .venv/bin/python; then
    echo "setup: creating .venv with $PY"
    rm -rf .venv
    "$PY" -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
fi

.venv/bin/python -m pip install -q -r requirements/build.txt -r requirements/runtime.txt
if ((want_test)); then
    # qemu-user runs the import check on an emulated processor without AVX2.
    apt_install qemu-user
    # Includes torch: tests hand real tensors to the simulator (used through Python only).
    .venv/bin/python -m pip install -q -r requirements/test.txt
fi

# The build directory build/wheel is kept, so a second run only rebuilds what changed. With --test
# the same build also makes the C++ unit tests, which scripts/test.sh runs from there.
build_tests=OFF
((want_test)) && build_tests=ON
.venv/bin/python -m pip install -q --no-build-isolation --no-deps \
    -Ccmake.define.NATIVE_BUILD_TESTS=$build_tests .
echo "setup: modules installed into .venv ($(.venv/bin/python --version))"
