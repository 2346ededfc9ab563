"""Where pelt's prefix-sum arithmetic stops serving: spurious change points against offset / noise.

pelt sums the samples and their squares from the start; a signal far from zero loses its noise
to rounding in those sums, and segments without any change start to look different. This counts
the change points pelt finds in unit white noise plus a constant offset (there are none to find),
for several lengths, and prints a Markdown table with the least offset at which any appear.

    python benchmarks/pelt_offset.py [--sizes 1000 5000 20000 100000]
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import _vorn_ext

OFFSETS = [1e3, 3e3, 1e4, 3e4, 1e5, 3e5, 1e6, 3e6, 1e7]


def spurious(n: int, offset: float, seed: int = 1) -> int:
    noise = np.random.default_rng([seed, n]).normal(0.0, 1.0, n)
    return len(_vorn_ext.pelt((offset + noise).tolist(), 1.0, 5))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="+", default=[1000, 5000, 20000, 100000])
    args = ap.parse_args()
    head = ["n"] + [f"{o:.0e}" for o in OFFSETS] + ["first offset with spurious change points"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for n in args.sizes:
        counts = []
        for offset in OFFSETS:
            start = time.perf_counter()
            counts.append(spurious(n, offset))
            print(f"[{time.strftime('%H:%M:%S')}] n={n} offset={offset:.0e}: {counts[-1]} "
                  f"({time.perf_counter() - start:.1f} s)", file=sys.stderr, flush=True)
        first = next((f"{o:.0e}" for o, c in zip(OFFSETS, counts) if c > 0), f"> {OFFSETS[-1]:.0e}")
        lines.append("| " + " | ".join([f"{n:,}"] + [str(c) for c in counts] + [first]) + " |")
    print("pelt(offset + unit white noise, penalty_factor=1, min_segment_samples=5): change points found "
          "(every one is spurious)\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
