#!/usr/bin/env bash
# Creates one virtual environment per peer simulator under bench/.peer-envs/, plus a
# small harness env (numpy, matplotlib) for the plot. Safe to run again: an env whose
# imports already work is left alone. Wheels only, so no peer is ever compiled here.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
envs="$(cd "$here/.." && pwd)/.peer-envs"
mkdir -p "$envs"

# Interpreters to try, newest first: PATH entries, then pyenv's installs if pyenv exists.
candidates=()
for minor in 13 12 11; do
  if command -v "python3.$minor" >/dev/null 2>&1; then
    candidates+=("$(command -v "python3.$minor")")
  fi
  if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root)"
    for dir in "$root"/versions/3."$minor".*; do
      [[ -x "$dir/bin/python3.$minor" ]] && candidates+=("$dir/bin/python3.$minor")
    done
  fi
done
# Resolve shims to real interpreters and drop duplicates.
resolved=()
for py in "${candidates[@]}"; do
  real="$("$py" -c 'import sys; print(sys.executable)' 2>/dev/null)" || continue
  [[ " ${resolved[*]:-} " == *" $real "* ]] || resolved+=("$real")
done
if [[ ${#resolved[@]} -eq 0 ]]; then
  echo "no Python 3.11-3.13 interpreter found" >&2
  exit 1
fi

# make_env NAME "IMPORT CHECK" PACKAGE...
make_env() {
  local name="$1" check="$2"
  shift 2
  local dir="$envs/$name"
  if [[ -x "$dir/bin/python" ]] && "$dir/bin/python" -c "$check" >/dev/null 2>&1; then
    echo "[$name] ready ($("$dir/bin/python" -V))"
    return 0
  fi
  for py in "${resolved[@]}"; do
    echo "[$name] trying $py"
    rm -rf "$dir"
    "$py" -m venv "$dir"
    if "$dir/bin/python" -m pip install -q --only-binary=:all: "$@" &&
      "$dir/bin/python" -c "$check"; then
      echo "[$name] installed with $("$dir/bin/python" -V)"
      return 0
    fi
  done
  rm -rf "$dir"
  echo "[$name] FAILED: no interpreter has wheels for $*" >&2
  return 1
}

status=0
make_env qulacs "import qulacs, numpy" qulacs numpy || status=1
make_env qsim "import qsimcirq, cirq, numpy" qsimcirq cirq-core numpy || status=1
make_env lightning "import pennylane as qml; qml.device('lightning.qubit', wires=1)" \
  pennylane pennylane-lightning numpy || status=1
make_env cirq "import cirq, numpy" cirq-core numpy || status=1
make_env aer "from qiskit_aer import AerSimulator; AerSimulator(method='statevector')" \
  qiskit-aer qiskit numpy || status=1
make_env harness "import numpy, matplotlib" numpy matplotlib || status=1
exit $status
