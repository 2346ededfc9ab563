"""Change points of a built-in piecewise signal, found with _vorn_ext.pelt."""

import random

import _vorn_ext


def built_in_signal(seed: int = 7) -> list[float]:
    rng = random.Random(seed)
    levels = [(0.0, 1.0, 300), (4.0, 1.0, 250), (4.0, 3.0, 200), (-2.0, 0.5, 250)]
    signal = []
    for mean, spread, length in levels:
        signal.extend(rng.gauss(mean, spread) for _ in range(length))
    return signal


def main() -> None:
    signal = built_in_signal()
    change_points = _vorn_ext.pelt(signal, 1.0, 5)
    print(f"signal of {len(signal)} samples; true changes at [300, 550, 750]")
    print(f"pelt change points: {change_points}")


if __name__ == "__main__":
    main()
