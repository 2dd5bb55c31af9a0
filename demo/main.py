"""The main job: the native modules working together on a few small circuits.

Each module's part lives in demo/<module>_demo.py; this runs them in the order a
user would: build circuits (cliffmix, ansatzkit, brickgen), then simulate them (wavesim).
"""

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

PARTS = ["cliffmix_demo", "ansatzkit_demo", "brickgen_demo", "wavesim_demo"]


def main() -> None:
    for name in PARTS:
        print(f"== {name.removesuffix('_demo')} ==")
        importlib.import_module(name).run()
        print()


if __name__ == "__main__":
    main()
