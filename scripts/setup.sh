#!/usr/bin/env bash
# Makes .venv/ (Python 3.13) with everything the modules need, builds and
# installs the modules into it. Safe to run again: what is there is reused.
#   scripts/setup.sh          build dependencies and the modules
#   scripts/setup.sh --test   also the test dependencies (GoogleTest, pytest, hypothesis, torch, ...)
#                             and the C++ unit tests, which scripts/test.sh runs
# System packages are installed with apt-get (through sudo when not root) only
# when something is missing; with every header and tool present the package
# manager is never called, so a non-root user or a machine without apt works.
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

any_file() {
    local f
    for f in "$@"; do [[ -e "$f" ]] && return 0; done
    return 1
}

# Probes for what the build needs from the system, whoever installed it.
have_compiler() { command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1; }
have_eigen() {
    pkg-config --exists 'eigen3 >= 3.4' 2>/dev/null ||
        any_file /usr/include/eigen3/Eigen/Core /usr/local/include/eigen3/Eigen/Core
}
have_gtest() {
    pkg-config --exists gtest 2>/dev/null ||
        any_file /usr/lib/*/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake \
                 /usr/local/lib*/cmake/GTest/GTestConfig.cmake /usr/lib64/cmake/GTest/GTestConfig.cmake
}
have_qemu() { command -v qemu-x86_64 >/dev/null 2>&1; }
have_python_dev() {
    "$1" -c 'import ensurepip, os, sysconfig, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' >/dev/null 2>&1
}

# apt_install <package>...: Debian's packages, through sudo when not root.
apt_install() {
    local as_root=()
    if ((EUID != 0)); then
        command -v sudo >/dev/null 2>&1 || {
            echo "setup: missing $*; install them (or their equivalents) as root, then run again" >&2
            exit 1
        }
        as_root=(sudo)
    fi
    command -v apt-get >/dev/null 2>&1 || {
        echo "setup: missing $* and no apt-get here; install the equivalents with your package manager" >&2
        exit 1
    }
    echo "setup: installing $* (apt)"
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

missing=()
have_compiler || missing+=(g++)
have_eigen || missing+=(libeigen3-dev)
if ((want_test)); then
    have_gtest || missing+=(libgtest-dev)
    # qemu-user runs the import check on an emulated processor without AVX2.
    have_qemu || missing+=(qemu-user)
fi
((${#missing[@]})) && apt_install "${missing[@]}"

PY=$(find_python || true)
if [[ -z "$PY" ]]; then
    apt_install python3.13 python3.13-venv python3.13-dev
    PY=$(find_python) || { echo "setup: no Python 3.13 found" >&2; exit 1; }
fi
have_python_dev "$PY" || apt_install python3.13-venv python3.13-dev

if [[ ! -x .venv/bin/python ]] || ! is_py313 .venv/bin/python; then
    echo "setup: creating .venv with $PY"
    rm -rf .venv
    "$PY" -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
fi

.venv/bin/python -m pip install -q -r requirements/build.txt -r requirements/runtime.txt
if ((want_test)); then
    # Includes torch: tests hand real tensors to the simulator (used through Python only).
    .venv/bin/python -m pip install -q -r requirements/test.txt
fi

# The build directory build/wheel is kept, so a second run only rebuilds what changed. With --test
# the same build also makes the C++ unit tests, which scripts/test.sh runs from there. A build that
# has them keeps them: a plain run after --test must not delete what scripts/test.sh needs.
build_tests=OFF
if ((want_test)) || grep -qx 'NATIVE_BUILD_TESTS:BOOL=ON' build/wheel/CMakeCache.txt 2>/dev/null; then
    build_tests=ON
fi
.venv/bin/python -m pip install -q --no-build-isolation --no-deps \
    -Ccmake.define.NATIVE_BUILD_TESTS=$build_tests .
echo "setup: modules installed into .venv ($(.venv/bin/python --version))"
