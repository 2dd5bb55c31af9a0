"""The main job: the native modules working together on a few small circuits."""

import circuitcore


def main() -> None:
    print("circuitcore records:", circuitcore.CircuitData(2))


if __name__ == "__main__":
    main()
