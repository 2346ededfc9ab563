"""The three baseline grids: wide windows on long masked signals (anchor grid), short windows on
long signals (small-window grid) and short signals (latency grid).

Called by run.py; also runs alone (`python benchmarks/baseline_grids.py [--quick] [--grid NAME]`)
to measure one grid while working on it. Every `_vorn_ext` result is compared bit for bit with the
literal build at every grid point, for both element types. Each grid gives one Markdown table with
the ratio per point and PASS/FAIL, and one figure.

Times are the minimum over several samples (each sample loops a short call until it lasts about
20 ms), which on a shared machine is the least disturbed estimate. The anchor grid's points are
timed in three passes over the whole grid and the other grids' in two, and take their least time
over all passes (slow spells of a shared machine outlast a point's calls); the literal build is
slow at wide windows and is run twice per point of the anchor grid, in the first pass and the last
(once with --quick).
"""

from __future__ import annotations

import itertools
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import numpy as np

import _vorn_ext

HERE = Path(__file__).resolve().parent
DOCS = HERE.parent / "docs"

VORN = {np.float64: _vorn_ext.local_baseline_percentile, np.float32: _vorn_ext.local_baseline_percentile_f32}
TYPE_NAMES = {np.float64: "f64", np.float32: "f32"}
# Samples in the signals a latency point's timed calls take in turn.
LATENCY_SPAN = 100_000


# --------------------------------------------------------------------------------------------
# Timing


@dataclass
class Best:
    seconds: float | None
    output: Any = None
    error: str | None = None


def best_time(fn: Callable[[], Any], samples: int, budget: float = 0.02) -> Best:
    """Minimum wall time of fn over `samples` samples after one untimed call whose output is kept.
    Short calls are looped so that a sample lasts about `budget` seconds. samples = 0 times the
    first call alone (for calls that are slow and only needed once)."""
    try:
        t0 = time.perf_counter()
        out = fn()
        first = time.perf_counter() - t0
        if samples == 0:
            return Best(first, out)
        inner = max(1, min(2000, int(budget / max(first, 1e-7))))
        best = first
        for _ in range(samples):
            t0 = time.perf_counter()
            for _ in range(inner):
                fn()
            best = min(best, (time.perf_counter() - t0) / inner)
        return Best(best, out)
    except Exception as exc:  # a competitor that rejects the case is reported, not fatal
        return Best(None, None, f"{type(exc).__name__}: {exc}")


def taking_turns(inputs: list[Any], fn: Callable[[Any], Any]) -> Callable[[], Any]:
    """A call of fn on each input in turn, starting with the first. A short signal timed over and
    over would let the processor learn its branches by heart (at n = 1000 that made bottleneck's
    move_median three times as fast as on fresh data, and our tracked window 1.8 times): users
    call on a new recording each time."""
    turn = itertools.cycle(inputs)
    return lambda: fn(next(turn))


def identical(a: Any, b: Any) -> bool:
    """Bit for bit up to the sign of a zero (either zero may win a tie), NaN meeting NaN."""
    return (a is not None and b is not None and a.dtype == b.dtype and a.shape == b.shape
            and bool(np.array_equal(a, b, equal_nan=True)))


def keep_least(least: dict[Any, float | None], key: Any, seconds: float | None) -> None:
    """least[key] becomes `seconds` where that is less than the entry (a missing time never wins)."""
    earlier = least.get(key)
    if earlier is None or (seconds is not None and seconds < earlier):
        least[key] = seconds


def keep_fastest(fastest: dict[Any, tuple[str, float | None]], key: Any,
                 peer: tuple[str, float | None]) -> None:
    """fastest[key] becomes the (name, time) of `peer` where that is faster than the entry."""
    earlier = fastest.get(key)
    if earlier is None or (peer[1] is not None and (earlier[1] is None or peer[1] < earlier[1])):
        fastest[key] = peer


def ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None or b == 0 else a / b


def fmt_ratio(r: float | None) -> str:
    return "—" if r is None else f"{r:.3g}"


def verdict(ratios: list[tuple[float | None, float]], same: bool) -> str:
    """PASS when every ratio meets its limit and the results are identical to the literal build."""
    if any(r is None for r, _ in ratios):
        return "SKIPPED"
    return "PASS" if same and all(r <= limit for r, limit in ratios) else "FAIL"


# --------------------------------------------------------------------------------------------
# Inputs


def anchor_signal(kind: str, n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """(signal with 1% NaN, mask) for the anchor grid: 90% of the mask true, except for the
    blocked walk, which has half of its samples masked in blocks of 50,000."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    if kind == "white":
        x = rng.normal(0.0, 1.0, n)
    elif kind in ("walk", "walk, blocked mask"):
        x = np.cumsum(rng.normal(0.0, 1.0, n))
    elif kind == "bleaching":
        x = 1.0 + 0.5 * np.exp(-t / (n / 3.0)) + rng.normal(0.0, 0.05, n)
    else:  # "sine"
        x = np.sin(2.0 * np.pi * t / (n / 7.0)) + rng.normal(0.0, 0.2, n)
    x[rng.random(n) < 0.01] = np.nan
    if kind == "walk, blocked mask":
        blocks = (n + 49_999) // 50_000
        mask = np.repeat(rng.permutation(blocks) < blocks // 2, 50_000)[:n]
    else:
        mask = rng.random(n) < 0.9
    return x, mask


def clean_signal(n: int, seed: int) -> np.ndarray:
    """Noise on a slow drift, every sample usable: what a despiking median filter is given."""
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.normal(0.0, 0.05, n)) + rng.normal(0.0, 1.0, n)


# --------------------------------------------------------------------------------------------
# The grids


@dataclass
class Grid:
    name: str
    title: str
    intro: str
    header: list[str]
    rows: list[list[str]] = field(default_factory=list)
    points: list[dict[str, Any]] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)

    def markdown(self) -> str:
        passed = sum(1 for r in self.rows if r[-1] == "PASS")
        lines = [f"## {self.title}", "", self.intro, "",
                 f"{passed} of {len(self.rows)} rows PASS.", "",
                 "| " + " | ".join(self.header) + " |", "|" + "|".join("---" for _ in self.header) + "|"]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        if self.failures:
            lines += ["", "Mismatches against the literal build:", ""] + [f"- {f}" for f in self.failures]
        return "\n".join(lines)


class GridRunner:
    def __init__(self, tools: Any, quick: bool, log: Callable[[str], None]):
        self.t = tools
        self.quick = quick
        self.log = log
        # Repeats per grid, chosen to keep the full run near 5 minutes on 2 cores: the anchor
        # grid's calls take 10-300 ms each at n = 10^7, the latency grid's microseconds. On a
        # shared machine calls slow down by 1.5-2 times for a few at a time, so an anchor point
        # takes the least of 7 calls in each of three passes (see anchor_grid; one pass of 3
        # calls let two full runs of one build differ at up to 4 points) and of two runs of the
        # literal build.
        self.samples = {"anchor": 1 if quick else 6, "small": 2 if quick else 3,
                        "latency": 2 if quick else 5}

    def literal(self, x: np.ndarray, mask: np.ndarray, w: int, p: float, samples: int) -> Best:
        if self.t.literal is None:
            return Best(None, None, "no literal build")
        lib = self.t.literal
        fn = lib.vorn_literal_baseline_f64 if x.dtype == np.float64 else lib.vorn_literal_baseline_f32

        def call() -> np.ndarray:
            out = np.empty_like(x)
            fn(x.ctypes.data, mask.ctypes.data, x.size, w, p, out.ctypes.data)
            return out

        return best_time(call, samples)

    def compare(self, grid: Grid, label: str, mine: Best, lit: Best) -> bool:
        if mine.error or lit.error:
            grid.failures.append(f"{label}: {mine.error or lit.error}")
            return False
        same = identical(mine.output, lit.output)
        if not same:
            bad = np.flatnonzero(~((mine.output == lit.output)
                                   | (np.isnan(mine.output) & np.isnan(lit.output))))
            grid.failures.append(f"{label}: {bad.size} values differ, first at {bad[0]}")
        return same

    # -- anchor grid ----------------------------------------------------------------------
    def anchor_grid(self) -> Grid:
        n = 1_000_000 if self.quick else 10_000_000
        windows = [1001, 10_001] if self.quick else [1001, 10_001, 100_001, 1_000_001]
        kinds = ["white", "walk", "bleaching", "sine", "walk, blocked mask"]
        p = 10.0
        grid = Grid("anchor", f"Anchor grid: n = {n:,}, p = 10, 90% of the mask true, 1% NaN",
                    "Ratio = `_vorn_ext` time ÷ the other's. Targets: ≤ 0.1 × literal and ≤ 6 × the "
                    "copy pass (`np.copyto` of the signal). The blocked walk has half of its samples "
                    "masked in blocks of 50,000 instead. The literal build runs twice per point "
                    "(once with `--quick`; it takes up to seconds), once in the first pass over the grid "
                    "and once in the last, and each time is the least of its runs; `_vorn_ext` and "
                    "the copy are the best of 7 calls in each of three passes over the whole grid "
                    "(of 2 calls in one pass with `--quick`), which keeps a slow spell of the "
                    "machine from deciding a point. 'same' means bit-identical to the literal build "
                    "of the same element type.",
                    ["signal", "W", "type", "`_vorn_ext`", "literal", "copy", "÷ literal", "÷ copy",
                     "same", "result"])
        # Each point is timed in every pass, a pass going over the whole grid: slow spells on a
        # shared machine last longer than a point's calls (a point read 17.0 ms in a full run,
        # and 12.6-18.1 ms in eight takes of the least of 7 calls in other processes after it),
        # and passes minutes apart rarely meet the same one. _vorn_ext and the copy take the least over all
        # passes; the literal build runs once in the first pass and once in the last.
        passes = 1 if self.quick else 3
        mine_s: dict[tuple[str, int, Any], float | None] = {}
        copy_s: dict[tuple[str, Any], float | None] = {}
        lit_s: dict[tuple[str, int, Any], float | None] = {}
        same_at: dict[tuple[str, int, Any], bool] = {}
        for run in range(passes):
            for k, kind in enumerate(kinds):
                x64, mask = anchor_signal(kind, n, seed=900 + k)
                for dtype in (np.float64, np.float32):
                    x = x64 if dtype is np.float64 else x64.astype(np.float32)
                    dst = np.empty_like(x)
                    copy = best_time(lambda: np.copyto(dst, x), self.samples["anchor"])
                    keep_least(copy_s, (kind, dtype), copy.seconds)
                    for w in windows:
                        label = f"{kind} W={w} {TYPE_NAMES[dtype]}"
                        self.log(f"anchor grid, pass {run + 1} of {passes}: {label}")
                        mine = best_time(lambda: VORN[dtype](x, mask, w, p), self.samples["anchor"])
                        keep_least(mine_s, (kind, w, dtype), mine.seconds)
                        if run in (0, passes - 1):
                            lit = self.literal(x, mask, w, p, 0)
                            keep_least(lit_s, (kind, w, dtype), lit.seconds)
                            if run == 0:
                                same_at[kind, w, dtype] = self.compare(grid, label, mine, lit)
        for kind in kinds:
            for dtype in (np.float64, np.float32):
                for w in windows:
                    key = (kind, w, dtype)
                    mine_t, lit_t, copy_t = mine_s[key], lit_s[key], copy_s[kind, dtype]
                    same = same_at[key]
                    r_lit, r_copy = ratio(mine_t, lit_t), ratio(mine_t, copy_t)
                    grid.points.append({"kind": kind, "w": w, "type": TYPE_NAMES[dtype],
                                        "lit": r_lit, "copy": r_copy})
                    grid.rows.append([kind, f"{w:,}", TYPE_NAMES[dtype], fmt_s(mine_t),
                                      fmt_s(lit_t), fmt_s(copy_t), fmt_ratio(r_lit),
                                      fmt_ratio(r_copy), "yes" if same else "NO",
                                      verdict([(r_lit, 0.1), (r_copy, 6.0)], same)])
        return grid

    # -- small-window grid -----------------------------------------------------------------
    def small_grid(self) -> Grid:
        n = 200_000 if self.quick else 2_000_000
        grid = Grid("small", f"Small-window grid: n = {n:,}, every sample usable",
                    "Targets: ≤ 0.2 × literal and ≤ 0.5 × the fastest peer: SciPy "
                    "`ndimage.percentile_filter(x, p, size=W)` and, at p = 50, SciPy "
                    "`median_filter(x, size=W)` and bottleneck `move_median(x, W)` (one thread "
                    "each; the peers get float64). W ≥ 7 takes the anchor path at this n. Every tool, "
                    "the literal build included, takes its least time over two passes over the "
                    "whole grid (one with `--quick`).",
                    ["W", "p", "type", "`_vorn_ext`", "literal", "fastest peer", "÷ literal",
                     "÷ peer", "same", "result"])
        x64 = clean_signal(n, seed=77)
        mask = np.ones(n, dtype=bool)
        x32 = x64.astype(np.float32)
        # Two passes over the grid, as in anchor_grid: every tool's time is its least over both,
        # and the literal build runs once in each.
        passes = 1 if self.quick else 2
        mine_s: dict[tuple[int, float, Any], float | None] = {}
        lit_s: dict[tuple[int, float, Any], float | None] = {}
        peer_s: dict[tuple[int, float], tuple[str, float | None]] = {}
        same_at: dict[tuple[int, float, Any], bool] = {}
        for run in range(passes):
            for w in (3, 5, 7, 11, 21, 51):
                for p in (10.0, 50.0):
                    self.log(f"small-window grid, pass {run + 1} of {passes}: W={w} p={p:g}")
                    keep_fastest(peer_s, (w, p),
                                 self.fastest_peer(x64, w, p, False, self.samples["small"]))
                    for dtype, x in ((np.float64, x64), (np.float32, x32)):
                        mine = best_time(lambda: VORN[dtype](x, mask, w, p), self.samples["small"])
                        lit = self.literal(x, mask, w, p, 0 if passes > 1 else 1)
                        key = (w, p, dtype)
                        keep_least(mine_s, key, mine.seconds)
                        keep_least(lit_s, key, lit.seconds)
                        if run == 0:
                            same_at[key] = self.compare(grid, f"W={w} p={p:g} {TYPE_NAMES[dtype]}",
                                                        mine, lit)
        for w in (3, 5, 7, 11, 21, 51):
            for p in (10.0, 50.0):
                peer_name, peer = peer_s[w, p]
                for dtype in (np.float64, np.float32):
                    key = (w, p, dtype)
                    mine_t, lit_t, same = mine_s[key], lit_s[key], same_at[key]
                    r_lit, r_peer = ratio(mine_t, lit_t), ratio(mine_t, peer)
                    grid.points.append({"w": w, "p": p, "type": TYPE_NAMES[dtype], "lit": r_lit,
                                        "peer": r_peer})
                    grid.rows.append([str(w), f"{p:g}", TYPE_NAMES[dtype], fmt_s(mine_t),
                                      fmt_s(lit_t), f"{fmt_s(peer)} ({peer_name})",
                                      fmt_ratio(r_lit), fmt_ratio(r_peer), "yes" if same else "NO",
                                      verdict([(r_lit, 0.2), (r_peer, 0.5)], same)])
        return grid

    def fastest_peer(self, x: np.ndarray | list[np.ndarray], w: int, p: float, pandas: bool,
                     samples: int) -> tuple[str, float | None]:
        """x: one signal, or several of one length that the timed calls take in turn."""
        t = self.t
        xs = x if isinstance(x, list) else [x]
        times: list[tuple[str, float | None]] = []
        if t.ndimage is not None:
            times.append(("SciPy percentile_filter", best_time(
                taking_turns(xs, lambda s: t.ndimage.percentile_filter(s, p, size=w)), samples).seconds))
            if p == 50.0:
                times.append(("SciPy median_filter", best_time(
                    taking_turns(xs, lambda s: t.ndimage.median_filter(s, size=w)), samples).seconds))
        if pandas and t.pd is not None:
            series = [t.pd.Series(s) for s in xs]
            times.append(("pandas rolling quantile", best_time(taking_turns(
                series, lambda s: s.rolling(w, center=True, min_periods=1).quantile(
                    p / 100.0, interpolation="nearest").to_numpy()), samples).seconds))
        if p == 50.0 and t.bn is not None:
            times.append(("bottleneck move_median", best_time(
                taking_turns(xs, lambda s: t.bn.move_median(s, window=w, min_count=1)), samples).seconds))
        timed = [(name, s) for name, s in times if s is not None]
        if not timed:
            return "none installed", None
        return min(timed, key=lambda a: a[1])

    # -- latency grid ----------------------------------------------------------------------
    def latency_grid(self) -> Grid:
        ns = [1000, 5000] if self.quick else [1000, 5000, 20_000, 100_000]
        grid = Grid("latency", "Latency grid: short signals, every sample usable",
                    "The whole Python call is timed, as a user makes it, and each call takes the next of "
                    "several signals of the same length (100,000 samples between them), as a user "
                    "calls on new data: one signal timed over and over lets the processor learn its "
                    "branches. Target: ≤ 0.5 × the "
                    "fastest of SciPy `percentile_filter(x, p, size=W)`, pandas "
                    "`rolling(W, center=True, min_periods=1).quantile(p / 100, 'nearest')` and, "
                    "at p = 50, bottleneck `move_median(x, W)`; the peers get float64. Every tool takes "
                    "its least time over two passes over the whole grid (one with `--quick`).",
                    ["n", "W", "p", "type", "path", "`_vorn_ext`", "fastest peer", "÷ peer", "same",
                     "result"])
        # Two passes over the grid, as in anchor_grid: every tool's time is its least over both.
        passes = 1 if self.quick else 2
        mine_s: dict[tuple[int, int, float, Any], float | None] = {}
        peer_s: dict[tuple[int, int, float], tuple[str, float | None]] = {}
        same_at: dict[tuple[int, int, float, Any], bool] = {}
        for run in range(passes):
            for n in ns:
                # Every timed call gets the next of several signals, 100,000 samples between them.
                x64s = [clean_signal(n, seed=5 + n + 7919 * k) for k in range(-(-LATENCY_SPAN // n))]
                mask = np.ones(n, dtype=bool)
                for w in (11, 101, 1001):
                    for p in (10.0, 50.0):
                        self.log(f"latency grid, pass {run + 1} of {passes}: n={n:,} W={w} p={p:g}")
                        keep_fastest(peer_s, (n, w, p), self.fastest_peer(
                            x64s, w, p, True, self.samples["latency"]))
                        for dtype in (np.float64, np.float32):
                            xs = [x.astype(dtype) for x in x64s]
                            fn = VORN[dtype]
                            mine = best_time(taking_turns(xs, lambda x: fn(x, mask, w, p)),
                                             self.samples["latency"])
                            key = (n, w, p, dtype)
                            keep_least(mine_s, key, mine.seconds)
                            if run == 0:
                                label = f"n={n} W={w} p={p:g} {TYPE_NAMES[dtype]}"
                                same_at[key] = all([self.compare(grid, f"{label} signal {k}",
                                                                 Best(0.0, fn(x, mask, w, p)),
                                                                 self.literal(x, mask, w, p, 0))
                                                    for k, x in enumerate(xs)])
        for n in ns:
            for w in (11, 101, 1001):
                for p in (10.0, 50.0):
                    peer_name, peer = peer_s[n, w, p]
                    for dtype in (np.float64, np.float32):
                        mine_t, same = mine_s[n, w, p, dtype], same_at[n, w, p, dtype]
                        r_peer = ratio(mine_t, peer)
                        grid.points.append({"n": n, "w": w, "p": p, "type": TYPE_NAMES[dtype],
                                            "peer": r_peer})
                        path = "direct" if n * w <= 10_000_000 else "anchor"
                        grid.rows.append([f"{n:,}", str(w), f"{p:g}", TYPE_NAMES[dtype], path,
                                          fmt_s(mine_t), f"{fmt_s(peer)} ({peer_name})",
                                          fmt_ratio(r_peer), "yes" if same else "NO",
                                          verdict([(r_peer, 0.5)], same)])
        return grid


def fmt_s(t: float | None) -> str:
    if t is None:
        return "—"
    if t < 1e-3:
        return f"{t * 1e6:.0f} µs"
    if t < 1.0:
        return f"{t * 1e3:.3g} ms"
    return f"{t:.3g} s"


# --------------------------------------------------------------------------------------------
# Figures


def figure(grid: Grid, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        return False
    fig, ax = plt.subplots(figsize=(10, 4.8))
    pts = grid.points
    if grid.name == "anchor":
        labels = [f"{d['kind']}\nW={d['w']:,}" for d in pts if d["type"] == "f64"]
        series = [("lit", "÷ literal", 0.1), ("copy", "÷ copy pass", 6.0)]
    elif grid.name == "small":
        labels = [f"W={d['w']}\np={d['p']:g}" for d in pts if d["type"] == "f64"]
        series = [("lit", "÷ literal", 0.2), ("peer", "÷ fastest peer", 0.5)]
    else:
        labels = [f"n={d['n']:,}\nW={d['w']} p={d['p']:g}" for d in pts if d["type"] == "f64"]
        series = [("peer", "÷ fastest peer", 0.5)]
    xs = np.arange(len(labels))
    width = 0.8 / (2 * len(series))
    colours = ["tab:blue", "tab:orange", "tab:green", "tab:red"]
    c = 0
    for key, label, limit in series:
        for type_name in ("f64", "f32"):
            ys = [d[key] if d[key] is not None else np.nan for d in pts if d["type"] == type_name]
            ax.bar(xs + (c - len(series) + 0.5) * width, ys, width, label=f"{label} ({type_name})",
                   color=colours[c % len(colours)])
            c += 1
        ax.axhline(limit, color="grey", linestyle="--", linewidth=0.8)
        ax.text(len(labels) - 0.5, limit, f"target {limit:g}", fontsize=7, va="bottom", ha="right",
                color="grey")
    ax.set_yscale("log")
    ax.set_xticks(xs)
    ax.set_xticklabels(labels, fontsize=6, rotation=90 if len(labels) > 12 else 0)
    ax.set_ylabel("`_vorn_ext` time ÷ other (log)")
    ax.set_title(grid.title, fontsize=10)
    ax.legend(fontsize=7)
    ax.grid(True, axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def write_sections(path: Path, grids: list[Grid], run_note: str) -> None:
    """Replaces each grid's section of the suite's shared Markdown file (or appends it), leaving
    the other sections (other benchmark modules write theirs) as they are."""
    text = path.read_text(encoding="utf-8") if path.exists() else ""
    for g in grids:
        section = g.markdown().rstrip("\n") + f"\n\n{run_note}\n"
        head = section.split("\n", 1)[0].split(":", 1)[0]  # "## Anchor grid" etc., sizes aside
        start = text.find(head)
        if start >= 0:
            end = text.find("\n## ", start + len(head))
            text = text[:start] + section + (text[end:] if end >= 0 else "")
        else:
            text = text + ("\n" if text and not text.endswith("\n\n") else "") + section
    path.write_text(text, encoding="utf-8")


def run_grids(tools: Any, quick: bool, log: Callable[[str], None], names: list[str] | None = None,
              figure_dir: Path | None = None) -> list[Grid]:
    """Runs the named grids (all three by default) and draws one figure per grid into figure_dir
    (docs/ for a full run)."""
    runner = GridRunner(tools, quick, log)
    grids = []
    for name in names or ["anchor", "small", "latency"]:
        grids.append(getattr(runner, f"{name}_grid")())
    folder = figure_dir or (HERE / "results" if quick else DOCS)
    folder.mkdir(parents=True, exist_ok=True)
    for g in grids:
        if figure(g, folder / f"baseline_{g.name}_grid{'-quick' if quick else ''}.png"):
            g.intro += f" Figure: `{folder.name}/baseline_{g.name}_grid{'-quick' if quick else ''}.png`."
    return grids


def main() -> int:
    import argparse
    import tempfile

    from run import Tools  # the same competitor discovery and literal build as the full suite

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--grid", action="append", choices=["anchor", "small", "latency"])
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vorn-grid-") as tmp:
        tools = Tools.discover(Path(tmp))
        grids = run_grids(tools, args.quick, lambda m: print(f"[{time.strftime('%H:%M:%S')}] {m}",
                                                            file=sys.stderr, flush=True),
                          args.grid, HERE / "results")
    for g in grids:
        print(g.markdown() + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
