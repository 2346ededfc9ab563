"""pelt on classes of signals, each against the literal C++ recursion in the same process.

The long-segment classes (no change at all, few changes) are where a search that skips
candidates by bounds has least to gain; the table shows every class side by side.

    python benchmarks/pelt_classes.py [--n 20000] [--repeats 3] [--noise-n 0]

run.py calls `section(...)`; run on its own, this module builds the literal recursion itself.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np

import _vorn_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PENALTY_FACTOR = 1.0
MIN_SEGMENT = 5
TARGET = 0.1          # every class: at most this fraction of the literal's time
NOISE_TARGET = 0.05   # white noise at the large size


def _steps(rng: np.random.Generator, n: int, every: int, noise: float = 1.0) -> np.ndarray:
    levels = np.repeat(rng.normal(0.0, 3.0, n // every + 1), every)[:n]
    return levels + rng.normal(0.0, noise, n)


def _integer_levels(rng: np.random.Generator, n: int) -> np.ndarray:
    out = np.empty(n)
    i = 0
    while i < n:
        k = int(rng.geometric(1 / 70))
        out[i:i + k] = float(rng.integers(0, 3))
        i += k
    return out


def _variance_steps(rng: np.random.Generator, n: int) -> np.ndarray:
    spread = np.repeat(np.exp(rng.normal(0.0, 0.8, n // 500 + 1)), 500)[:n]
    return rng.normal(0.0, 1.0, n) * spread


def _spikes(rng: np.random.Generator, n: int) -> np.ndarray:
    x = rng.normal(0.0, 1.0, n)
    hits = rng.random(n) < 0.005
    x[hits] += rng.choice([-50.0, 50.0], int(hits.sum()))
    return x


CLASSES: dict[str, Callable[[np.random.Generator, int], np.ndarray]] = {
    "white noise (no change)": lambda rng, n: rng.normal(0.0, 1.0, n),
    "white noise × 1e-4": lambda rng, n: rng.normal(0.0, 1.0, n) * 1e-4,
    "1e6 + white noise": lambda rng, n: 1e6 + rng.normal(0.0, 1.0, n),
    "random walk": lambda rng, n: np.cumsum(rng.normal(0.0, 1.0, n)),
    "levels 0..2 (integers)": _integer_levels,
    "a level step every 100": lambda rng, n: _steps(rng, n, 100),
    "a level step every 2000": lambda rng, n: _steps(rng, n, 2000),
    "a variance step every 500": _variance_steps,
    "sparse large spikes": _spikes,
}


def signal(name: str, n: int, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng([seed, n, list(CLASSES).index(name)])
    return np.ascontiguousarray(CLASSES[name](rng, n), dtype=np.float64)


def _best_of(fn: Callable[[], Any], repeats: int) -> tuple[float, Any]:
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


# A build of the search with a counter of the candidates evaluated exactly (two calls of `log`);
# the counter is compiled out of the module.
_COUNTING_SHIM = r"""
#include "changepoint/pelt.hpp"
namespace vorn::changepoint { extern unsigned long long scan_stats_exact; }
extern "C" double vorn_exact_fraction(const double* x, std::size_t n, double pf, std::uint64_t m) {
    vorn::changepoint::scan_stats_exact = 0;
    vorn::changepoint::pelt_search({x, n}, pf, m);
    return static_cast<double>(vorn::changepoint::scan_stats_exact) / (0.5 * n * (n - 1.0));
}
"""


def counting_build(build_dir: Path) -> Any:
    cxx = os.environ.get("CXX") or shutil.which("g++")
    if cxx is None:
        return None
    shim = build_dir / "counting_shim.cpp"
    shim.write_text(_COUNTING_SHIM)
    out = build_dir / "libvorn_pelt_counting.so"
    sources = [shim, *sorted((ROOT / "src" / "changepoint").glob("*.cpp")), ROOT / "src" / "core" / "fault.cpp"]
    cmd = [cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-Wno-psabi", "-fPIC", "-shared", "-DVORN_SCAN_STATS",
           f"-I{ROOT / 'src'}", "-o", str(out), *map(str, sources)]
    if subprocess.run(cmd, capture_output=True).returncode != 0:
        return None
    lib = ctypes.CDLL(str(out))
    lib.vorn_exact_fraction.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double, ctypes.c_uint64]
    lib.vorn_exact_fraction.restype = ctypes.c_double
    return lib


def measure(literal: Any, n: int, repeats: int, noise_n: int, log: Callable[[str], None],
            counting: Any = None) -> list[dict]:
    """One row per class at n, plus white noise at noise_n (0: none) against the literal's time at n
    scaled by the ratio of candidate counts."""
    from run import literal_pelt  # the ctypes wrapper lives beside the literal build

    rows = []
    for name in CLASSES:
        log(f"pelt classes: {name}, n={n:,}")
        x = signal(name, n)
        as_list = x.tolist()
        vorn, got = _best_of(lambda: _vorn_ext.pelt(as_list, PENALTY_FACTOR, MIN_SEGMENT), repeats)
        lit, want = _best_of(lambda: literal_pelt(literal, x, PENALTY_FACTOR, MIN_SEGMENT), max(1, repeats - 1))
        exact = counting.vorn_exact_fraction(x.ctypes.data, n, PENALTY_FACTOR, MIN_SEGMENT) if counting else None
        rows.append({"class": name, "n": n, "vorn": vorn, "lit": lit, "lit_note": "measured",
                     "found": len(got), "identical": got == want, "target": TARGET, "exact": exact})
    if noise_n:
        name = "white noise (no change)"
        log(f"pelt classes: {name}, n={noise_n:,}")
        as_list = signal(name, noise_n).tolist()
        vorn, got = _best_of(lambda: _vorn_ext.pelt(as_list, PENALTY_FACTOR, MIN_SEGMENT), 1)
        # The literal recursion evaluates exactly n(n-1)/2 candidates: scale its time at n.
        base = next(r for r in rows if r["class"] == name)
        scale = (noise_n * (noise_n - 1)) / (n * (n - 1))
        rows.append({"class": name, "n": noise_n, "vorn": vorn, "lit": base["lit"] * scale,
                     "lit_note": f"n={n:,} time × {scale:.4g}", "found": len(got),
                     "identical": got == [] and base["identical"], "target": NOISE_TARGET, "exact": None})
    return rows


def markdown(rows: list[dict]) -> str:
    head = ["signal", "n", "change points", "`_vorn_ext`", "literal C++", "ratio", "target", "identical", "result",
            "evaluated exactly"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        ratio = r["vorn"] / r["lit"]
        ok = ratio <= r["target"] and r["identical"]
        lit = f"{r['lit']:.3g} s" + ("" if r["lit_note"] == "measured" else f" ({r['lit_note']})")
        lines.append("| " + " | ".join([
            r["class"], f"{r['n']:,}", str(r["found"]), f"{r['vorn']:.3g} s", lit, f"{ratio:.3g}",
            f"≤ {r['target']:g}", "yes" if r["identical"] else "NO", "PASS" if ok else "FAIL",
            "—" if r.get("exact") is None else f"{r['exact']:.2e}"]) + " |")
    return "\n".join(lines)


def section(literal: Any, quick: bool, log: Callable[[str], None]) -> str:
    """The Markdown section for run.py's report; also appended to benchmarks/last_run.md."""
    n, noise_n, repeats = (2_000, 0, 1) if quick else (20_000, 100_000, 3)
    with tempfile.TemporaryDirectory(prefix="vorn-pelt-count-") as tmp:
        # The counting build takes a compiler run; the quick smoke run goes without it.
        rows = measure(literal, n, repeats, noise_n, log, None if quick else counting_build(Path(tmp)))
    text = (f"## pelt signal classes\n\npenalty_factor = {PENALTY_FACTOR:g}, min_segment_samples = "
            f"{MIN_SEGMENT}; times are the least of {repeats} calls (one for the large size); ratio = "
            "`_vorn_ext` ÷ literal recursion; identical = the same change points as the literal "
            "recursion; evaluated exactly = the fraction of the n(n−1)/2 candidates that reach the "
            "two calls of `log`, counted in a separate build of the search with a counter."
            + (" Quick run: n reduced, targets apply to the full run only." if quick else "")
            + "\n\n" + markdown(rows) + "\n")
    write_section(HERE / "last_run.md", text)
    return text


def write_section(path: Path, text: str) -> None:
    """Replace this module's section of the suite's Markdown file (or append it); the rest stays."""
    old = path.read_text(encoding="utf-8") if path.exists() else ""
    head = "## pelt signal classes"
    if head in old:
        before, _, rest = old.partition(head)
        after = rest[rest.find("\n## "):] if "\n## " in rest else ""
        new = before + text.rstrip("\n") + ("\n" + after if after else "\n")
    else:
        new = old + ("\n" if old and not old.endswith("\n\n") else "") + text
    path.write_text(new, encoding="utf-8")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=20_000)
    ap.add_argument("--noise-n", type=int, default=0, help="also white noise at this size (literal scaled)")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    sys.path.insert(0, str(HERE))
    from run import build_literal

    with tempfile.TemporaryDirectory(prefix="vorn-pelt-") as tmp:
        skipped: list[str] = []
        literal = build_literal(Path(tmp), skipped)
        if literal is None:
            print("\n".join(skipped), file=sys.stderr)
            return 1
        rows = measure(literal, args.n, args.repeats, args.noise_n,
                       lambda m: print(f"[{time.strftime('%H:%M:%S')}] {m}", file=sys.stderr, flush=True),
                       counting_build(Path(tmp)))
    print(markdown(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
