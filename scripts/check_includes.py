#!/usr/bin/env python3
"""Checks the include rule of wavesim's stage folders (wavesim/README.md).

A file may include files of its own folder and of the folders before it in STAGES;
shots/ and expval/ stand side by side and never include each other; noise/ builds on both. testing/ (the
test-only pieces) may include every stage but python/, and no stage includes it;
a *.test.cc file may include testing/ besides what its folder may. Includes of
wavesim files are written from the repository root ("wavesim/<stage>/<file>").
Exits with status 1 and lists every include that breaks the rule.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
WAVESIM = ROOT / "wavesim"
STAGES = ["base", "state", "gates", "kernels", "plan", "batch", ("shots", "expval"), "noise", "python"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def rank(stage):
    for r, entry in enumerate(STAGES):
        if stage == entry or (isinstance(entry, tuple) and stage in entry):
            return r
    return None


def allowed(source, target, is_test):
    """Whether a file in folder `source` may include a file of folder `target`."""
    if source == target:
        return True
    if target == "testing":
        return is_test or source == "testing"
    if source == "testing":
        return target != "python"
    rs, rt = rank(source), rank(target)
    return rs is not None and rt is not None and rt < rs


def violations():
    found = []
    for path in sorted(WAVESIM.rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        relative = path.relative_to(WAVESIM)
        if len(relative.parts) != 2:
            found.append(f"{path.relative_to(ROOT)}: outside the stage folders")
            continue
        source = relative.parts[0]
        if source != "testing" and rank(source) is None:
            found.append(f"{path.relative_to(ROOT)}: {source}/ is not a stage folder")
            continue
        is_test = path.name.endswith(".test.cc")
        for included in INCLUDE.findall(path.read_text()):
            parts = pathlib.PurePosixPath(included).parts
            if parts[0] != "wavesim":
                if (WAVESIM / source / included).exists():
                    found.append(f"{path.relative_to(ROOT)}: includes \"{included}\", not from the root")
                continue
            if len(parts) != 3 or not (ROOT / included).exists():
                found.append(f"{path.relative_to(ROOT)}: includes \"{included}\", which is not a stage file")
            elif not allowed(source, parts[1], is_test):
                found.append(f"{path.relative_to(ROOT)}: {source}/ may not include {included}")
    return found


def main():
    found = violations()
    for line in found:
        print(line)
    if found:
        print(f"check_includes: {len(found)} includes break wavesim's stage rule", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
