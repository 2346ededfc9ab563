#!/usr/bin/env python3
"""Benchmark suite for _vorn_ext: the percentile baseline and pelt against the tools people run
today, a literal single-threaded C++ build of each algorithm, and a plain copy of the signal.

    python benchmarks/run.py            # full run, about 5 minutes on 2 cores
    python benchmarks/run.py --quick    # smoke run, a few seconds

Everything is measured in this one process and run; each time is the median of several calls
after a discarded warm-up call (fewer calls for slow ones). The markdown table goes to standard
output and to benchmarks/results/latest.md (quick.md for --quick), the plots to
benchmarks/results/*.png. Competitors that are not installed are skipped with a note; this
script installs nothing. See benchmarks/README.md.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import importlib
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import numpy as np

import _vorn_ext
import baseline_grids

HERE = Path(__file__).resolve().parent
LITERAL_SOURCES = [HERE / "literal" / "literal_baseline.cpp", HERE / "literal" / "literal_pelt.cpp"]
DIRECT_WORK_LIMIT = 10_000_000
PENALTY_FACTOR = 1.0
MIN_SEGMENT = 5


# --------------------------------------------------------------------------------------------
# Optional competitors


def optional_import(module: str, pip_name: str, skipped: list[str]) -> Any:
    try:
        return importlib.import_module(module)
    except Exception as exc:  # ImportError, or a broken install raising something else
        skipped.append(f"{pip_name}: not importable ({type(exc).__name__}: {exc}); its rows are skipped")
        return None


@dataclass
class Tools:
    skipped: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    ndimage: Any = None
    pd: Any = None
    bn: Any = None
    rpt: Any = None
    cost_normal: Callable[[], Any] | None = None
    literal: Any = None
    versions: dict[str, str] = field(default_factory=dict)

    @classmethod
    def discover(cls, build_dir: Path) -> "Tools":
        t = cls()
        t.ndimage = optional_import("scipy.ndimage", "scipy", t.skipped)
        t.pd = optional_import("pandas", "pandas", t.skipped)
        t.bn = optional_import("bottleneck", "bottleneck", t.skipped)
        t.rpt = optional_import("ruptures", "ruptures", t.skipped)
        if t.rpt is not None:
            try:
                from ruptures.costs import CostNormal

                try:
                    CostNormal(add_small_diag=False)
                    t.cost_normal = lambda: CostNormal(add_small_diag=False)
                except TypeError:
                    t.cost_normal = CostNormal
                    t.notes.append("ruptures CostNormal has no add_small_diag here; its default is used")
            except ImportError as exc:
                t.skipped.append(f"ruptures: CostNormal not importable ({exc}); ruptures rows are skipped")
                t.rpt = None
        # changepoint-cython installs the module pychangepoints when its build succeeds.
        try:
            importlib.import_module("pychangepoints")
            t.skipped.append(
                "changepoint-cython: importable, but no adapter is written for it because it could "
                "not be built on the machine where this suite was made; its rows are skipped")
        except Exception:
            t.skipped.append(
                "changepoint-cython: not installed (`pip install changepoint-cython` fails to build "
                "under Cython 3); its rows are skipped")
        t.literal = build_literal(build_dir, t.skipped)
        for mod in ("numpy", "scipy", "pandas", "bottleneck", "ruptures", "matplotlib"):
            try:
                t.versions[mod] = importlib.import_module(mod).__version__
            except Exception:
                t.versions[mod] = "missing"
        return t


def build_literal(build_dir: Path, skipped: list[str]) -> Any:
    """Compile the literal C++ builds into a shared library for this run only."""
    cxx = os.environ.get("CXX") or shutil.which("g++")
    if cxx is None:
        skipped.append("literal C++ builds: no g++ found; their rows are skipped")
        return None
    out = build_dir / "libvorn_literal.so"
    cmd = [cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-fPIC", "-shared", "-o", str(out),
           *map(str, LITERAL_SOURCES)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        skipped.append(f"literal C++ builds: compile failed ({proc.stderr.strip()[:300]}); rows skipped")
        return None
    lib = ctypes.CDLL(str(out))
    vp, sz, u64, dbl = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint64, ctypes.c_double
    for name in ("vorn_literal_baseline_f64", "vorn_literal_baseline_f32", "vorn_literal_kernel_f64"):
        fn = getattr(lib, name)
        fn.argtypes = [vp, vp, sz, u64, dbl, vp]
        fn.restype = None
    lib.vorn_literal_pelt.argtypes = [vp, sz, dbl, u64, vp]
    lib.vorn_literal_pelt.restype = sz
    return lib


# --------------------------------------------------------------------------------------------
# Timing


@dataclass
class Timing:
    seconds: float | None
    runs: int
    output: Any = None
    error: str | None = None


def measure(fn: Callable[[], Any], repeats: int) -> Timing:
    """Median wall time of fn. The first call is a warm-up whose output is kept for checks; it is
    discarded from the times unless the call is slow, where fewer calls are made."""
    try:
        t0 = time.perf_counter()
        out = fn()
        warm = time.perf_counter() - t0
        if warm >= 5.0:
            return Timing(warm, 1, out)
        if warm >= 2.0:
            samples = [warm]
            for _ in range(2):
                t0 = time.perf_counter()
                fn()
                samples.append(time.perf_counter() - t0)
            return Timing(statistics.median(samples), len(samples), out)
        count = 3 if warm >= 0.5 else repeats
        # Very short calls are looped so one sample lasts about 20 ms.
        inner = 1 if warm >= 0.02 else max(1, min(1000, int(0.02 / max(warm, 1e-7))))
        samples = []
        for _ in range(count):
            t0 = time.perf_counter()
            for _ in range(inner):
                fn()
            samples.append((time.perf_counter() - t0) / inner)
        return Timing(statistics.median(samples), count * inner, out)
    except Exception as exc:
        return Timing(None, 0, None, f"{type(exc).__name__}: {exc}")


# --------------------------------------------------------------------------------------------
# Inputs


def baseline_signal(n: int, seed: int) -> np.ndarray:
    """A slowly drifting level with a slow oscillation and unit noise on top."""
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    return (np.cumsum(rng.normal(0.0, 0.05, n)) + 2.0 * np.sin(2.0 * np.pi * i / 50_000.0)
            + rng.normal(0.0, 1.0, n))


def masked_inputs(n: int, seed: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(clean signal, signal with 1% NaN, mask with 90% true)."""
    rng = np.random.default_rng(seed + 1)
    clean = baseline_signal(n, seed)
    dirty = clean.copy()
    dirty[rng.random(n) < 0.01] = np.nan
    mask = rng.random(n) < 0.9
    return clean, dirty, mask


def pelt_signal(n: int, seed: int, changes: int = 15) -> tuple[list[float], list[int]]:
    """Piecewise Gaussian: `changes` changes of mean and spread, segments at least n / 32 long."""
    rng = np.random.default_rng(seed)
    segments = changes + 1
    base = n // (2 * segments)
    lengths = base + rng.multinomial(n - base * segments, np.full(segments, 1.0 / segments))
    bounds = np.concatenate(([0], np.cumsum(lengths)))
    x = np.empty(n)
    level = 0.0
    for k in range(segments):
        level += rng.choice([-1.0, 1.0]) * rng.uniform(1.5, 4.0)
        x[bounds[k]:bounds[k + 1]] = rng.normal(level, rng.uniform(0.5, 2.0), lengths[k])
    return x.tolist(), bounds[1:-1].tolist()


# --------------------------------------------------------------------------------------------
# The implementations under comparison


def half_away_rank(count: int, p: float) -> int:
    x = (count - 1.0) * (p / 100.0)
    return min(max(int(math.floor(x + 0.5)), 0), count - 1)


def smoothing_width(w: int) -> int:
    return max(w // 10, 3) | 1


def literal_baseline(lib: Any, x: np.ndarray, mask: np.ndarray, w: int, p: float) -> np.ndarray:
    out = np.empty_like(x)
    fn = lib.vorn_literal_baseline_f64 if x.dtype == np.float64 else lib.vorn_literal_baseline_f32
    fn(x.ctypes.data, mask.ctypes.data, x.size, w, p, out.ctypes.data)
    return out


def literal_kernel(lib: Any, x: np.ndarray, mask: np.ndarray, w: int, p: float) -> np.ndarray:
    out = np.empty_like(x)
    lib.vorn_literal_kernel_f64(x.ctypes.data, mask.ctypes.data, x.size, w, p, out.ctypes.data)
    return out


def literal_pelt(lib: Any, x: np.ndarray, pf: float, m: int) -> list[int]:
    out = np.empty(max(x.size, 1), dtype=np.uint64)
    count = lib.vorn_literal_pelt(x.ctypes.data, x.size, pf, m, out.ctypes.data)
    return out[:count].tolist()


def scipy_rank(ndimage: Any, x: np.ndarray, w: int, p: float) -> np.ndarray:
    # size 2h with origin 0 puts the window at [a - h, a + h), the same as the module's; the
    # edges differ (mode='nearest' pads, the module cuts the window).
    size = 2 * (w // 2)
    return ndimage.rank_filter(x, half_away_rank(size, p), size=size, mode="nearest")


def pandas_rank(pd: Any, x: np.ndarray, w: int, p: float) -> np.ndarray:
    return pd.Series(x).rolling(w, center=True, min_periods=1).quantile(
        p / 100.0, interpolation="nearest").to_numpy()


def pandas_masked_baseline(pd: Any, x: np.ndarray, mask: np.ndarray, w: int, p: float) -> np.ndarray:
    """What a pandas user writes for the same job: masked samples become NaN, rolling quantile
    skips NaN, empty windows take the median of all usable samples, then a centred moving mean."""
    y = np.where(mask, x, np.nan)
    base = pd.Series(y).rolling(w, center=True, min_periods=1).quantile(
        p / 100.0, interpolation="nearest")
    if base.isna().any():
        base = base.fillna(float(np.nanmedian(y)) if np.isfinite(y).any() else 0.0)
    width = smoothing_width(w)
    if y.size >= width:
        base = base.rolling(width, center=True, min_periods=1).mean()
    return base.to_numpy()


def bottleneck_median(bn: Any, x: np.ndarray, w: int) -> np.ndarray:
    # Trailing window of 2h samples: entry a + h - 1 covers [a - h, a + h).
    return bn.move_median(x, window=2 * (w // 2), min_count=1)


# --------------------------------------------------------------------------------------------
# Checks and formatting


def same_values(a: np.ndarray, b: np.ndarray) -> tuple[bool, str]:
    """Equal element by element, +0 == -0, NaN where the other has NaN."""
    if a.shape != b.shape:
        return False, f"shapes {a.shape} vs {b.shape}"
    if np.array_equal(a, b, equal_nan=True):
        return True, "identical"
    bad = ~((a == b) | (np.isnan(a) & np.isnan(b)))
    idx = np.flatnonzero(bad)
    diff = np.abs(a[idx].astype(np.float64) - b[idx].astype(np.float64))
    return False, f"{idx.size} of {a.size} differ (first at {idx[0]}, max |diff| {np.nanmax(diff):.3g})"


def fmt_time(t: float | None) -> str:
    if t is None:
        return "—"
    if t < 1e-3:
        return f"{t * 1e6:.0f} µs"
    if t < 1.0:
        return f"{t * 1e3:.3g} ms"
    return f"{t:.3g} s"


def fmt_ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None or b == 0:
        return "—"
    r = a / b
    return f"{r:.3g}"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def path_of(n: int, w: int) -> str:
    return "direct" if w == 0 or n * w <= DIRECT_WORK_LIMIT else "anchor"


@dataclass
class Target:
    case: str
    vorn: float | None
    other_name: str
    other: float | None
    limit: float
    extra_ok: bool = True
    extra_note: str = ""

    def row(self) -> list[str]:
        if self.vorn is None or self.other is None:
            verdict = "SKIPPED"
            ratio = "—"
        else:
            r = self.vorn / self.other
            ratio = f"{r:.3g}"
            verdict = "PASS" if r <= self.limit and self.extra_ok else "FAIL"
        target = f"≤ {self.limit:g}" + (f" {self.extra_note}" if self.extra_note else "")
        return [self.case, fmt_time(self.vorn), self.other_name, fmt_time(self.other), ratio,
                target, verdict]


# --------------------------------------------------------------------------------------------
# The cases


class Suite:
    def __init__(self, tools: Tools, quick: bool):
        self.t = tools
        self.quick = quick
        self.repeats = 2 if quick else 5
        self.targets: list[Target] = []
        self.sections: list[str] = []
        self.scan_rows: list[dict[str, Any]] = []
        self.pelt_rows: list[dict[str, Any]] = []
        self.oddities: list[str] = []

    def log(self, msg: str) -> None:
        print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)

    # -- direct-path target ---------------------------------------------------------------
    def direct_case(self) -> None:
        n, w, p = 100_000, 100, 10.0
        self.log(f"direct path: n={n:,} W={w} p={p:g}")
        x = baseline_signal(n, seed=11)
        mask = np.ones(n, dtype=bool)
        x32 = x.astype(np.float32)
        t = self.t
        rows: list[list[str]] = []
        vorn = measure(lambda: _vorn_ext.local_baseline_percentile(x, mask, w, p), self.repeats)
        vorn32 = measure(lambda: _vorn_ext.local_baseline_percentile_f32(x32, mask, w, p), self.repeats)
        rows.append(["`_vorn_ext` float64", fmt_time(vorn.seconds), str(vorn.runs), "1",
                     vorn.error or "reference"])
        lit_note = "skipped"
        lit = Timing(None, 0)
        kernel = None
        if t.literal is not None:
            lit = measure(lambda: literal_baseline(t.literal, x, mask, w, p), self.repeats)
            ok, msg = same_values(lit.output, vorn.output) if vorn.output is not None else (False, "no result")
            lit_note = f"vs `_vorn_ext`: {msg}"
            kernel = literal_kernel(t.literal, x, mask, w, p)
        ok32 = ""
        if t.literal is not None and vorn32.output is not None:
            _, ok32 = same_values(literal_baseline(t.literal, x32, mask, w, p), vorn32.output)
            ok32 = f"vs literal float32: {ok32}"
        rows.append(["`_vorn_ext` float32", fmt_time(vorn32.seconds), str(vorn32.runs),
                     fmt_ratio(vorn.seconds, vorn32.seconds), vorn32.error or ok32])
        rows.append(["literal C++ (1 thread)", fmt_time(lit.seconds), str(lit.runs),
                     fmt_ratio(vorn.seconds, lit.seconds), lit_note])
        h = w // 2
        sp = Timing(None, 0)
        if t.ndimage is not None:
            sp = measure(lambda: scipy_rank(t.ndimage, x, w, p), self.repeats)
            note = "window [a−h, a+h), edges padded"
            if kernel is not None and sp.output is not None:
                ok, msg = same_values(sp.output[h:n - h], kernel[h:n - h])
                note += f"; interior vs literal kernel: {msg}"
            rows.append(["SciPy `rank_filter`", fmt_time(sp.seconds), str(sp.runs),
                         fmt_ratio(vorn.seconds, sp.seconds), sp.error or note])
        pdt = Timing(None, 0)
        if t.pd is not None:
            pdt = measure(lambda: pandas_rank(t.pd, x, w, p), self.repeats)
            note = "rolling(W, center=True).quantile(nearest)"
            if kernel is not None and pdt.output is not None:
                ok, msg = same_values(pdt.output[h:n - h], kernel[h:n - h])
                _, msg_all = same_values(pdt.output, kernel)
                note += f"; interior vs literal kernel: {msg}; all positions: {msg_all}"
            rows.append(["pandas rolling quantile", fmt_time(pdt.seconds), str(pdt.runs),
                         fmt_ratio(vorn.seconds, pdt.seconds), pdt.error or note])
        dst = np.empty_like(x)
        cp = measure(lambda: np.copyto(dst, x), self.repeats)
        rows.append(["copy pass (`np.copyto`)", fmt_time(cp.seconds), str(cp.runs),
                     fmt_ratio(vorn.seconds, cp.seconds), "memory-bandwidth floor"])
        self.sections.append(
            f"## Direct path: n = {n:,}, W = {w}, p = {p:g}, every sample usable\n\n"
            + table(["implementation", "median", "calls", "`_vorn_ext` ÷ this", "check"], rows)
            + "\n\nThe competitors compute the per-position percentile only; `_vorn_ext` and the "
              "literal build also run the moving mean.")
        fastest = [(name, tm.seconds) for name, tm in (("SciPy", sp), ("pandas", pdt))
                   if tm.seconds is not None]
        best = min(fastest, key=lambda a: a[1]) if fastest else ("SciPy/pandas", None)
        self.targets.append(Target(f"direct n={n:,} W={w} p=10", vorn.seconds,
                                   f"faster of SciPy, pandas ({best[0]})", best[1], 0.5))
        self.targets.append(Target(f"direct n={n:,} W={w} p=10", vorn.seconds, "literal C++",
                                   lit.seconds, 0.1))

    # -- p = 50, where bottleneck applies -----------------------------------------------------
    def median_case(self) -> None:
        t = self.t
        rows = []
        n, w, p = 100_000, 100, 50.0
        self.log(f"p=50 cases")
        x = baseline_signal(n, seed=12)
        mask = np.ones(n, dtype=bool)
        vorn = measure(lambda: _vorn_ext.local_baseline_percentile(x, mask, w, p), self.repeats)
        rows.append([f"n={n:,} W={w}, all usable", "`_vorn_ext`", fmt_time(vorn.seconds), "1",
                     vorn.error or ""])
        if t.literal is not None:
            lit = measure(lambda: literal_baseline(t.literal, x, mask, w, p), self.repeats)
            _, msg = same_values(lit.output, vorn.output) if vorn.output is not None else (False, "—")
            rows.append(["", "literal C++", fmt_time(lit.seconds),
                         fmt_ratio(vorn.seconds, lit.seconds), f"vs `_vorn_ext`: {msg}"])
        if t.bn is not None:
            b = measure(lambda: bottleneck_median(t.bn, x, w), self.repeats)
            rows.append(["", "bottleneck `move_median`", fmt_time(b.seconds),
                         fmt_ratio(vorn.seconds, b.seconds),
                         b.error or "window 2h (even): mean of the two middle values"])
        if t.ndimage is not None:
            s = measure(lambda: scipy_rank(t.ndimage, x, w, p), self.repeats)
            rows.append(["", "SciPy `rank_filter`", fmt_time(s.seconds),
                         fmt_ratio(vorn.seconds, s.seconds), s.error or ""])
        if t.pd is not None:
            q = measure(lambda: pandas_rank(t.pd, x, w, p), self.repeats)
            rows.append(["", "pandas rolling quantile", fmt_time(q.seconds),
                         fmt_ratio(vorn.seconds, q.seconds), q.error or ""])

        n, w = (300_000 if self.quick else 10_000_000), 1001
        _, dirty, mask = masked_inputs(n, seed=13)
        vorn = measure(lambda: _vorn_ext.local_baseline_percentile(dirty, mask, w, p), self.repeats)
        label = f"n={n:,} W={w}, 90% mask, 1% NaN"
        rows.append([label, "`_vorn_ext`", fmt_time(vorn.seconds), "1", vorn.error or ""])
        if t.literal is not None:
            lit = measure(lambda: literal_baseline(t.literal, dirty, mask, w, p), self.repeats)
            _, msg = same_values(lit.output, vorn.output) if vorn.output is not None else (False, "—")
            rows.append(["", "literal C++", fmt_time(lit.seconds),
                         fmt_ratio(vorn.seconds, lit.seconds), f"vs `_vorn_ext`: {msg}"])
        if t.bn is not None:
            b = measure(lambda: bottleneck_median(t.bn, np.where(mask, dirty, np.nan), w), self.repeats)
            rows.append(["", "bottleneck `move_median`, masked → NaN", fmt_time(b.seconds),
                         fmt_ratio(vorn.seconds, b.seconds),
                         b.error or "per position, NaN skipped, no moving mean"])
        self.sections.append(
            "## Median (p = 50), where bottleneck applies (no target)\n\n"
            + table(["case", "implementation", "median", "`_vorn_ext` ÷ this", "check"], rows))

    # -- the scan, which also holds the anchor-path target -----------------------------------
    def baseline_scan(self) -> None:
        t = self.t
        p = 10.0
        if self.quick:
            ns = [20_000, 100_000, 300_000]
        else:
            ns = [5_000, 20_000, 50_000, 100_000, 200_000, 500_000, 1_000_000, 2_000_000,
                  5_000_000, 10_000_000]
        nmax = ns[-1]
        clean_all, dirty_all, mask_all = masked_inputs(nmax, seed=21)
        for w in (101, 1001):
            for n in ns:
                # Prefixes of one long signal: contiguous, so every tool reads them in place.
                clean, dirty, mask = clean_all[:n], dirty_all[:n], mask_all[:n]
                dirty32 = dirty.astype(np.float32)
                self.log(f"baseline scan: W={w} n={n:,} ({path_of(n, w)})")
                row: dict[str, Any] = {"n": n, "w": w, "path": path_of(n, w), "checks": []}
                v64 = measure(lambda: _vorn_ext.local_baseline_percentile(dirty, mask, w, p), self.repeats)
                v32 = measure(lambda: _vorn_ext.local_baseline_percentile_f32(dirty32, mask, w, p),
                              self.repeats)
                row["vorn64"], row["vorn32"] = v64.seconds, v32.seconds
                for tm, label in ((v64, "f64"), (v32, "f32")):
                    if tm.error:
                        row["checks"].append(f"`_vorn_ext` {label}: {tm.error}")
                if t.literal is not None:
                    l64 = measure(lambda: literal_baseline(t.literal, dirty, mask, w, p), self.repeats)
                    l32 = measure(lambda: literal_baseline(t.literal, dirty32, mask, w, p), self.repeats)
                    row["lit64"], row["lit32"] = l64.seconds, l32.seconds
                    for tm, vt, label in ((l64, v64, "f64"), (l32, v32, "f32")):
                        if vt.output is not None and tm.output is not None:
                            ok, msg = same_values(tm.output, vt.output)
                            row["checks"].append(f"{label} {msg}")
                            if not ok:
                                self.oddities.append(
                                    f"baseline {label} W={w} n={n:,}: literal build and `_vorn_ext` "
                                    f"differ: {msg}")
                    del l64, l32
                if t.pd is not None:
                    pm = measure(lambda: pandas_masked_baseline(t.pd, dirty, mask, w, p), self.repeats)
                    row["pandas"] = pm.seconds
                    if pm.output is not None and v64.output is not None:
                        row["pandas_diff"] = float(np.nanmax(np.abs(pm.output - v64.output)))
                    del pm
                if t.ndimage is not None:
                    sp = measure(lambda: scipy_rank(t.ndimage, clean, w, p), self.repeats)
                    row["scipy"] = sp.seconds
                    del sp
                dst = np.empty_like(dirty)
                row["copy"] = measure(lambda: np.copyto(dst, dirty), self.repeats).seconds
                del dst, v64, v32, dirty32
                self.scan_rows.append(row)

        # Anchor-path target: the largest W = 1001 scan point.
        big = next(r for r in self.scan_rows if r["w"] == 1001 and r["n"] == nmax)
        case = f"anchor n={nmax:,} W=1001 p=10" + (" (quick: n reduced)" if self.quick else "")
        self.targets.append(Target(case, big["vorn64"], "pandas, masked → NaN", big.get("pandas"), 0.02))
        self.targets.append(Target(case, big["vorn64"], "copy pass", big.get("copy"), 10.0))
        self.targets.append(Target(case, big["vorn64"], "literal C++", big.get("lit64"), 0.25))

        rows = []
        for r in self.scan_rows:
            rows.append([str(r["w"]), f"{r['n']:,}", r["path"], fmt_time(r["vorn64"]),
                         fmt_time(r["vorn32"]), fmt_time(r.get("lit64")), fmt_time(r.get("lit32")),
                         fmt_time(r.get("pandas")), fmt_time(r.get("scipy")), fmt_time(r.get("copy")),
                         fmt_ratio(r["vorn64"], r.get("lit64")), fmt_ratio(r["vorn64"], r.get("pandas")),
                         fmt_ratio(r["vorn64"], r.get("scipy")), fmt_ratio(r["vorn64"], r.get("copy")),
                         "; ".join(r["checks"]) or "—"])
        self.sections.append(
            "## Baseline scan: p = 10, 90% of the mask true, 1% NaN\n\n"
            "Ratios are `_vorn_ext` float64 time ÷ the other's. pandas runs the masked pipeline "
            "(masked → NaN, rolling quantile over W samples, median fill, moving mean); SciPy "
            "`rank_filter` sees the NaN-free signal without mask (it cannot skip samples). "
            "The check column compares the literal build with `_vorn_ext` per element type.\n\n"
            + table(["W", "n", "path", "`_vorn_ext` f64", "`_vorn_ext` f32", "literal f64",
                     "literal f32", "pandas masked", "SciPy", "copy", "÷ literal", "÷ pandas",
                     "÷ SciPy", "÷ copy", "literal vs `_vorn_ext`"], rows))
        diffs = [f"W={r['w']} n={r['n']:,}: {r['pandas_diff']:.3g}" for r in self.scan_rows
                 if "pandas_diff" in r and r["w"] == 1001 and r["n"] == nmax]
        if diffs:
            self.sections[-1] += (
                "\n\nThe pandas pipeline is not the same computation (window of W = 1001 samples "
                "against 2h = 1000, every position instead of anchors, ties to even); largest "
                "|pandas − `_vorn_ext`| at the target point: " + ", ".join(diffs) + ".")

    # -- pelt ------------------------------------------------------------------------------
    def pelt_scan(self) -> None:
        t = self.t
        ns = [500, 1_000, 2_000] if self.quick else [500, 1_000, 2_000, 5_000, 10_000, 20_000]
        ruptures_max = 500 if self.quick else 5_000
        for n in ns:
            self.log(f"pelt: n={n:,}")
            signal, truth = pelt_signal(n, seed=31 + n)
            arr = np.asarray(signal)
            row: dict[str, Any] = {"n": n, "truth": len(truth)}
            v = measure(lambda: _vorn_ext.pelt(signal, PENALTY_FACTOR, MIN_SEGMENT), self.repeats)
            row["vorn"] = v.seconds
            row["found"] = len(v.output) if v.output is not None else None
            if v.error:
                row["vorn_error"] = v.error
            if t.literal is not None:
                lit = measure(lambda: literal_pelt(t.literal, arr, PENALTY_FACTOR, MIN_SEGMENT), self.repeats)
                row["lit"] = lit.seconds
                if v.output is not None and lit.output is not None:
                    row["identical"] = list(v.output) == list(lit.output)
                    if not row["identical"]:
                        self.oddities.append(f"pelt n={n:,}: `_vorn_ext` {v.output} vs literal {lit.output}")
            if t.rpt is not None and n <= ruptures_max:
                pen = 2.0 * PENALTY_FACTOR * math.log(n)
                col = arr.reshape(-1, 1)

                def run_ruptures() -> list[int]:
                    algo = t.rpt.Pelt(custom_cost=t.cost_normal(), min_size=2, jump=1).fit(col)
                    return algo.predict(pen=pen)[:-1]  # drop the final n

                r = measure(run_ruptures, self.repeats)
                row["rpt"] = r.seconds
                if r.output is not None:
                    row["rpt_found"] = len(r.output)
                    row["rpt_same"] = v.output is not None and list(r.output) == list(v.output)
                elif r.error:
                    row["rpt_error"] = r.error
            self.pelt_rows.append(row)

        big = self.pelt_rows[-1]
        label = f"pelt n={big['n']:,} m={MIN_SEGMENT}" + (" (quick: n reduced)" if self.quick else "")
        self.targets.append(Target(label, big["vorn"], "literal C++ recursion", big.get("lit"), 0.1,
                                   extra_ok=bool(big.get("identical")),
                                   extra_note="and identical change points "
                                   + ("(identical)" if big.get("identical") else "(NOT identical)")))
        want = 500 if self.quick else 2_000
        small = next((r for r in self.pelt_rows if r["n"] == want), None)
        if small is not None:
            self.targets.append(Target(f"pelt n={want:,} m={MIN_SEGMENT}" + (" (quick)" if self.quick else ""),
                                       small["vorn"], "ruptures Pelt + CostNormal", small.get("rpt"), 0.01))
        rows = []
        for r in self.pelt_rows:
            ident = {True: "yes", False: "NO"}.get(r.get("identical"), "—")
            rpt_note = "—"
            if "rpt_found" in r:
                rpt_note = f"{r['rpt_found']} changes" + (", same" if r["rpt_same"] else ", different")
            elif "rpt_error" in r:
                rpt_note = r["rpt_error"]
            rows.append([f"{r['n']:,}", str(r["truth"]), str(r.get("found", "—")), fmt_time(r["vorn"]),
                         fmt_time(r.get("lit")), fmt_time(r.get("rpt")), fmt_ratio(r["vorn"], r.get("lit")),
                         fmt_ratio(r["vorn"], r.get("rpt")), ident, rpt_note])
        self.sections.append(
            f"## pelt: piecewise Gaussian, 15 true changes, penalty_factor = {PENALTY_FACTOR:g}, "
            f"min_segment_samples = {MIN_SEGMENT}\n\n"
            "`_vorn_ext` gets a Python list; the literal recursion gets the float64 buffer. ruptures "
            "runs `Pelt(custom_cost=CostNormal(add_small_diag=False), min_size=2, jump=1)` with "
            "pen = 2 × penalty_factor × ln n; its cost and minimum size differ from the module's, "
            "so its change points are shown, not required to match.\n\n"
            + table(["n", "true changes", "found", "`_vorn_ext`", "literal C++", "ruptures",
                     "÷ literal", "÷ ruptures", "identical to literal", "ruptures result"], rows))

    # -- plots --------------------------------------------------------------------------------
    def plots(self, out_dir: Path, suffix: str) -> list[str]:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except Exception as exc:
            self.t.skipped.append(f"matplotlib: not importable ({exc}); no plots")
            return []
        written = []
        # Matplotlib hides legend labels that start with an underscore, hence the word order.
        series = [("vorn64", "local_baseline_percentile (float64)", "o-"),
                  ("vorn32", "local_baseline_percentile_f32", "s-"),
                  ("lit64", "literal C++ float64", "^--"), ("pandas", "pandas, masked → NaN", "v-"),
                  ("scipy", "SciPy rank_filter (no mask)", "d-"), ("copy", "copy pass", "k:")]
        fig, axes = plt.subplots(1, 2, figsize=(12, 5), sharey=True)
        for ax, w in zip(axes, (101, 1001)):
            rows = [r for r in self.scan_rows if r["w"] == w]
            for key, label, style in series:
                pts = [(r["n"], r[key]) for r in rows if r.get(key) is not None]
                if pts:
                    ax.loglog(*zip(*pts), style, label=label, markersize=4)
            switch = DIRECT_WORK_LIMIT / w
            ax.axvline(switch, color="grey", linestyle="--", linewidth=0.8)
            ax.text(switch, 0.98, "direct | anchor", color="grey", fontsize=8, ha="center",
                    va="top", transform=ax.get_xaxis_transform())
            ax.set_title(f"local_baseline_percentile, W = {w}, p = 10")
            ax.set_xlabel("n (samples)")
            ax.grid(True, which="both", alpha=0.3)
        axes[0].set_ylabel("median time (s)")
        axes[0].legend(fontsize=8)
        fig.tight_layout()
        path = out_dir / f"baseline_scan{suffix}.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path.name)

        fig, ax = plt.subplots(figsize=(7, 5))
        for key, label, style in (("vorn", "pelt (_vorn_ext)", "o-"), ("lit", "literal C++ recursion", "^--"),
                                  ("rpt", "ruptures Pelt + CostNormal", "v-")):
            pts = [(r["n"], r[key]) for r in self.pelt_rows if r.get(key) is not None]
            if pts:
                ax.loglog(*zip(*pts), style, label=label, markersize=4)
        ref = [r for r in self.pelt_rows if r.get("lit") is not None]
        if ref:
            n0, t0 = ref[-1]["n"], ref[-1]["lit"]
            xs = np.array([r["n"] for r in self.pelt_rows], dtype=float)
            # Drawn a factor 3 above the literal build so the guide does not hide it.
            ax.loglog(xs, 3.0 * t0 * (xs / n0) ** 2, color="grey", linestyle=":", label="∝ n² (guide)")
        ax.set_title(f"pelt, m = {MIN_SEGMENT}, penalty_factor = {PENALTY_FACTOR:g}")
        ax.set_xlabel("n (samples)")
        ax.set_ylabel("median time (s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        path = out_dir / f"pelt_scan{suffix}.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path.name)
        return written


def module_origin() -> str:
    """Path and modification time of the loaded module: it is rebuilt often, and a table is only
    comparable with another one from the same build."""
    path = getattr(_vorn_ext, "__file__", None)
    if not path:
        return "unknown"
    try:
        stamp = datetime.datetime.fromtimestamp(os.path.getmtime(path)).isoformat(timespec="seconds")
        return f"{path}, built {stamp}"
    except OSError:
        return path


def load_average() -> str:
    try:
        return f"{os.getloadavg()[0]:.2f}"
    except OSError:
        return "unknown"


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def vector_width() -> str:
    """Which kernel variant the processor's vector extensions give the module."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                if "avx512f" in flags:
                    return "AVX-512F kernels"
                return "AVX2 kernels, no AVX-512" if "avx2" in flags else "portable kernels"
    except OSError:
        pass
    return "kernels not known"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="short smoke run with small sizes")
    ap.add_argument("--out", type=Path, default=HERE / "results", help="directory for the table and plots")
    args = ap.parse_args()
    started = time.perf_counter()
    load_before = load_average()
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp:
        tools = Tools.discover(Path(tmp))
        suite = Suite(tools, args.quick)
        suite.direct_case()
        suite.baseline_scan()
        suite.median_case()
        suite.pelt_scan()
        if tools.literal is not None:  # pelt on classes of signals: benchmarks/pelt_classes.py
            suite.sections.append(__import__("pelt_classes").section(tools.literal, args.quick, suite.log))
        suffix = "-quick" if args.quick else ""
        plots = suite.plots(args.out, suffix)
        grids = baseline_grids.run_grids(tools, args.quick, suite.log)
    elapsed = time.perf_counter() - started
    load_after = load_average()

    v = tools.versions
    head = [
        "# `_vorn_ext` benchmarks" + (" (quick smoke run)" if args.quick else ""),
        "",
        f"- command: `python benchmarks/run.py{' --quick' if args.quick else ''}`; "
        f"{datetime.datetime.now().isoformat(timespec='seconds')}; whole run {elapsed:.0f} s",
        f"- machine: {cpu_name()} ({vector_width()}), {os.cpu_count()} logical CPUs; Python {platform.python_version()}",
        f"- `_vorn_ext` from {module_origin()} (its baseline uses all cores; "
        "every competitor and the literal builds run on one thread)",
        "- " + ", ".join(f"{k} {val}" for k, val in v.items()),
        "- literal builds: g++ -O2 -ffp-contract=off, compiled for this run only",
        f"- 1-minute load average before / after the run: {load_before} / {load_after} "
        "(other work on the machine slows the multi-threaded `_vorn_ext` baseline most)",
        "- times are medians of repeated calls after a warm-up call (one to three calls for slow ones)",
    ]
    body = ["## Targets", "",
            "Ratio = `_vorn_ext` time ÷ the compared time; PASS when it is at most the target.", "",
            table(["case", "`_vorn_ext`", "compared with", "its time", "ratio", "target", "result"],
                  [tg.row() for tg in suite.targets])]
    for s in suite.sections:
        body += ["", s]
    grid_text = "\n\n".join(g.markdown() for g in grids)
    body += ["", grid_text]
    notes = ["", "## Skipped and notes", ""]
    notes += [f"- skipped: {s}" for s in tools.skipped] + [f"- {s}" for s in tools.notes]
    notes += [f"- mismatch: {s}" for s in suite.oddities]
    notes += [
        "- SciPy `rank_filter` with size 2h and origin 0 covers [a − h, a + h) like the module; "
        "at the edges it pads (mode='nearest') where the module cuts the window.",
        "- pandas `rolling(W, center=True)` covers [a − W//2, a + W//2 + W%2): for even W the same "
        "window, for odd W one sample more; its 'nearest' rounds ties to even where the module "
        "rounds half away from zero, which shows at the cut windows near the edges.",
        "- bottleneck `move_median` is a trailing window and averages the two middle values of an "
        "even count; it is timed, not compared.",
    ]
    if plots:
        notes.append("- plots: " + ", ".join(f"`{args.out.name}/{p}`" for p in plots))
    text = "\n".join(head + [""] + body + notes) + "\n"
    print(text)
    name = "quick.md" if args.quick else "latest.md"
    (args.out / name).write_text(text)
    print(f"written: {args.out / name}", file=sys.stderr)
    # The grid tables, for refreshing the README's benchmark section: their own sections of
    # the shared last_run.md (other modules keep theirs there).
    grid_file = args.out / "last_run-quick.md" if args.quick else HERE / "last_run.md"
    run_note = "Measured by " + "; ".join(line[2:] for line in (head[2], head[3], head[7])) + "."
    baseline_grids.write_sections(grid_file, grids, run_note)
    print(f"written: {grid_file}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
