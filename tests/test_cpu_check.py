"""Importing on a processor without AVX2/FMA, emulated with qemu-user.

wavesim and brickgen run AVX2/FMA code in their cores: on an older processor
their import must fail with a clear ImportError, not die on an illegal
instruction. The other modules are built for baseline x86-64 and must import
and work there. With an emulated processor that has AVX2 and FMA every module
imports.
"""

import os
import shutil
import signal
import subprocess
import sys

import pytest

import wavesim

QEMU = shutil.which("qemu-x86_64")
OLD_CPU = "Nehalem"  # x86-64 with SSE4.2, without AVX
NEW_CPU = "max"  # everything this qemu can emulate, AVX2 and FMA included where supported
EMULATION_TIMEOUT_S = 600
MODULE_DIR = os.path.dirname(os.path.abspath(wavesim.__file__))

pytestmark = [
    pytest.mark.skipif(QEMU is None, reason="qemu-x86_64 (Debian package qemu-user) is not installed"),
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="sanitizer runtimes cannot be preloaded into an emulated process"),
]

# A small call per module, so that code beyond the import runs on the old processor too.
SMOKE = {
    "circuitcore": "import circuitcore as m; m.CircuitData(2, [m.CircuitInstruction('H', [0])])",
    "ansatzkit": "import circuitcore; import ansatzkit as m\n"
                 "class G: __name__ = 'RY'\n"
                 "assert len(m.build_n_local_data(3, [G()], [], [], 1, False, 't', False, False, '').instructions) == 3",
    "cliffmix": "import circuitcore; import cliffmix as m; assert len(m.build_random_clifford_data(3, 9, 'all', 1)"
                ".instructions) == 9",
    "wavesim": "import circuitcore as c; import wavesim as m\n"
               "s = m.cal_states_cpp(c.CircuitData(3, [c.CircuitInstruction('H', [0]), c.CircuitInstruction('CX', [1], [0])]))\n"
               "assert abs(abs(s[3]) ** 2 - 0.5) < 1e-12",
    "brickgen": "import circuitcore; import brickgen as m; assert len(m.build_qv_op_list(4, 0, 1)) == 8",
}


def emulate(cpu, code):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, env.get("PYTHONPATH", "")])
    return subprocess.run([QEMU, "-cpu", cpu, sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=EMULATION_TIMEOUT_S)


@pytest.mark.parametrize("module", ["wavesim", "brickgen"])
def test_simd_modules_refuse_an_old_processor_cleanly(module):
    code = (f"import circuitcore\ntry:\n    import {module}\nexcept ImportError as e:\n    print('ImportError:', e)\n"
            "else:\n    print('imported')")
    run = emulate(OLD_CPU, code)
    assert run.returncode != -signal.SIGILL, f"{module} died on an illegal instruction:\n{run.stderr}"
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == (f"ImportError: {module} needs a processor with the AVX2 and FMA instruction sets, "
                                  "and this one lacks them")


@pytest.mark.parametrize("module", ["circuitcore", "ansatzkit", "cliffmix"])
def test_baseline_modules_work_on_an_old_processor(module):
    run = emulate(OLD_CPU, SMOKE[module])
    assert run.returncode == 0, f"exit {run.returncode}:\n{run.stderr}"


@pytest.mark.parametrize("module", sorted(SMOKE))
def test_every_module_works_on_a_processor_with_avx2_and_fma(module):
    run = emulate(NEW_CPU, SMOKE[module])
    if "lacks them" in run.stderr:
        pytest.skip(f"qemu's {NEW_CPU} processor model lacks AVX2 or FMA")
    assert run.returncode == 0, f"exit {run.returncode}:\n{run.stderr}"
