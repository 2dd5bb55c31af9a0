"""Shared test setup: hypothesis profiles, and torch kept out of sanitizer runs
where it cannot load.

Profiles: "ci" (default) is derandomized with a bounded number of examples;
"long" is selected with HYPOTHESIS_PROFILE=long for a deeper search (HYPOTHESIS_LONG_EXAMPLES
examples per test, 5000 by default).
"""

import os
import subprocess
import sys

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    derandomize=True,
    max_examples=150,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "long",
    max_examples=int(os.environ.get("HYPOTHESIS_LONG_EXAMPLES", "5000")),
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

TORCH_PROBE_TIMEOUT_S = 300


def _torch_loads_here():
    """Whether torch imports and makes a tensor in a child with this environment."""
    try:
        probe = subprocess.run([sys.executable, "-c", "import torch; torch.zeros(2, 3).size(1)"],
                               capture_output=True, timeout=TORCH_PROBE_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return False
    return probe.returncode == 0


# Under a preloaded sanitizer runtime torch may die on import (not with an
# ImportError). A None entry in sys.modules makes every later `import torch`
# raise ImportError, so pytest.importorskip("torch") skips cleanly.
if "asan" in os.environ.get("LD_PRELOAD", "") and "torch" not in sys.modules and not _torch_loads_here():
    sys.modules["torch"] = None


def pytest_terminal_summary(terminalreporter):
    fuzz = sys.modules.get("test_fuzz")
    if fuzz is not None and fuzz.EXAMPLES:
        tried = ", ".join(f"{entry}: {count}" for entry, count in sorted(fuzz.EXAMPLES.items()))
        terminalreporter.write_line(f"fuzz inputs tried: {sum(fuzz.EXAMPLES.values())} ({tried})")


# ASan's operator new aborts the process when an allocation fails instead of
# throwing std::bad_alloc, so tests that provoke MemoryError on purpose cannot
# run under it (they run in the normal build).
ALLOCATION_FAILURE_TESTS = ("test_impossible_circuit_size_is_refused",
                            "test_allocation_failure_while_filling_is_a_memory_error",
                            "test_room_for_too_many_gates_is_a_memory_error")


def pytest_collection_modifyitems(config, items):
    import pytest

    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        return
    skip = pytest.mark.skip(reason="ASan aborts on allocation failure instead of raising MemoryError")
    for item in items:
        if item.originalname in ALLOCATION_FAILURE_TESTS:
            item.add_marker(skip)
