"""Baseline, baseline-corrected signal and change points of a long recording.

Without arguments the demo makes a synthetic fluorescence-like recording of
25 minutes at 1 kHz (1.5 million samples): bleaching and slow drift, noise,
transients, two steps in level, a stretch of raised noise, a masked artefact and
a few NaN samples. Give it a ``.npy`` or ``.csv`` file to run it on your own
signal instead:

    python examples/demo.py                          # built-in recording
    python examples/demo.py my_signal.npy --rate 500
    python examples/demo.py trace.csv --column dff --window 20001 --percentile 8
    python examples/demo.py trace.csv --rate 100 --exclude 60:75   # leave out 60 s to 75 s

It prints sizes, timings and change points, and writes a PNG figure (this needs
matplotlib: ``pip install "vorn-ext[demo]"``). ``--help`` lists every option.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time
from dataclasses import dataclass, field

import numpy as np

import _vorn_ext
from vorn_recordings import (PELT_SAMPLES, InputError, OneLineParser, check_exclusions,
                             default_window, exclude_range, load_signal, thinned_change_points,
                             usable_mask)

DEFAULT_FIGURE = "vorn_ext_demo.png"
MAX_PELT_SAMPLES = 50_000
# Below this many samples the traces are drawn sample by sample: the figure is about
# 900 pixels wide, and the range per pixel needs at least two samples in most pixels.
SAMPLES_DRAWN = 5000


@dataclass
class Recording:
    signal: np.ndarray          # float64, one dimension
    mask: np.ndarray            # bool, True where a sample may be used
    rate_hz: float | None       # None: positions are shown in samples
    source: str
    notes: list[str] = field(default_factory=list)


# ---------------------------------------------------------------- the built-in recording

def synthetic_recording(duration_s: float = 1500.0, rate_hz: float = 1000.0,
                        seed: int = 7) -> Recording:
    """A fluorescence-like trace; every event is placed at a fixed fraction of the duration."""
    rng = np.random.default_rng(seed)
    n = int(round(duration_s * rate_hz))
    t = np.arange(n) / rate_hz
    T = duration_s

    # Bleaching decays over about a quarter of the recording; the drift is slower still.
    signal = 1.0 + 0.35 * np.exp(-t / (0.28 * T)) + 0.04 * np.sin(2 * np.pi * t / (0.73 * T) + 0.7)
    steps = [(0.2133 * T, +0.10), (0.70 * T, -0.14)]
    for at, height in steps:
        signal[t >= at] += height

    noise = np.full(n, 0.02)
    loud = (0.4133 * T, 0.5667 * T)
    noise[(t >= loud[0]) & (t < loud[1])] *= 2.5
    signal += noise * rng.standard_normal(n)

    # Transients: fast rise, exponential decay, about one every ten seconds.
    kernel_t = np.arange(int(2.0 * rate_hz)) / rate_hz
    onsets = np.sort(rng.uniform(0.0, T, rng.poisson(0.1 * T)))
    for onset in onsets:
        shape = (1 - np.exp(-kernel_t / 0.02)) * np.exp(-kernel_t / rng.uniform(0.1, 0.4))
        start = int(onset * rate_hz)
        stop = min(start + shape.size, n)
        signal[start:stop] += rng.uniform(0.05, 0.3) * shape[: stop - start]

    # An artefact the experimenter masked out (shorter than the default window, so
    # the baseline bridges it), and a few dropped samples.
    mask = np.ones(n, dtype=bool)
    masked = (int(0.8333 * n), int(0.8387 * n))
    signal[masked[0]:masked[1]] += 2.0 * rng.random(masked[1] - masked[0])
    mask[masked[0]:masked[1]] = False
    dropped = rng.choice(n, size=min(n, max(1, n // 5000)), replace=False)
    signal[dropped] = np.nan

    notes = [
        f"true level steps at {steps[0][0]:.1f} s (+{steps[0][1]:g}) and "
        f"{steps[1][0]:.1f} s ({steps[1][1]:g}); noise x2.5 from {loud[0]:.1f} s to {loud[1]:.1f} s",
        f"masked artefact {masked[0] / rate_hz:.1f}-{masked[1] / rate_hz:.1f} s; "
        f"{onsets.size} transients",
        "(in the corrected signal a level step leaves a short excursion while the baseline "
        "catches up, so expect two close change points for each)",
    ]
    return Recording(signal, mask, rate_hz, f"built-in synthetic recording (seed {seed})", notes)


# ---------------------------------------------------------------- the analysis

@dataclass
class Analysis:
    window: int
    baseline: np.ndarray
    baseline_f32: np.ndarray
    corrected: np.ndarray
    seconds_f64: float
    seconds_f32: float
    pelt_positions: np.ndarray   # sample indices that pelt saw
    change_points: list[int]     # sample indices of the original signal
    seconds_pelt: float


def analyse(rec: Recording, window: int, percentile: float, penalty: float,
            min_segment: int, pelt_samples: int, changes_in: str) -> Analysis:
    mask = rec.mask
    start = time.perf_counter()
    baseline = _vorn_ext.local_baseline_percentile(rec.signal, mask, window, percentile)
    seconds_f64 = time.perf_counter() - start

    signal_f32 = rec.signal.astype(np.float32)
    start = time.perf_counter()
    baseline_f32 = _vorn_ext.local_baseline_percentile_f32(signal_f32, mask, window, percentile)
    seconds_f32 = time.perf_counter() - start

    corrected = rec.signal - baseline

    source = corrected if changes_in == "corrected" else rec.signal
    start = time.perf_counter()
    positions, change_points = thinned_change_points(source, mask, penalty, min_segment,
                                                     pelt_samples)
    seconds_pelt = time.perf_counter() - start

    return Analysis(window, baseline, baseline_f32, corrected, seconds_f64, seconds_f32,
                    positions, change_points, seconds_pelt)


# ---------------------------------------------------------------- output

def where(index: float, rate_hz: float | None) -> str:
    return f"{index / rate_hz:.1f} s" if rate_hz else f"{int(index):,}"


def duration(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def summary(rec: Recording, res: Analysis, args: argparse.Namespace) -> list[str]:
    n = rec.signal.size
    nan = int(np.count_nonzero(np.isnan(rec.signal)))
    masked = int(np.count_nonzero(~rec.mask))
    length = f" at {rec.rate_hz:g} Hz ({n / rec.rate_hz / 60:.1f} min)" if rec.rate_hz else ""
    window_time = f" ({res.window / rec.rate_hz:.3g} s)" if rec.rate_hz else ""
    difference = np.nanmax(np.abs(res.baseline - res.baseline_f32)) if n else 0.0
    corrected = res.corrected[rec.mask & ~np.isnan(res.corrected)]
    what = "the baseline-corrected signal" if args.changes_in == "corrected" else "the signal"
    pelt_n = res.pelt_positions.size
    usable = np.count_nonzero(rec.mask & np.isfinite(rec.signal))
    every = f"1 in {math.ceil(usable / pelt_n):,} usable samples" if pelt_n else "no usable sample"
    lines = [
        f"input: {rec.source}",
        f"  {n:,} samples{length}; {masked:,} masked out, {nan:,} NaN",
        *(f"  {note}" for note in rec.notes),
        f"baseline: window {res.window:,} samples{window_time}, percentile {args.percentile:g}",
        f"  float64 {duration(res.seconds_f64)}, float32 {duration(res.seconds_f32)}; "
        f"largest |float64 - float32| {difference:.2g}",
        f"corrected signal (signal - baseline, usable samples): median {np.median(corrected):.4g}, "
        f"1st-99th percentile {np.percentile(corrected, 1):.4g} to {np.percentile(corrected, 99):.4g}"
        if corrected.size else "corrected signal: no usable samples",
        f"change points: pelt on {what}, {every} ({pelt_n:,} samples, since pelt's time grows "
        f"with the square of the length), penalty factor {args.penalty:g}, "
        f"minimum segment {args.min_segment} of those samples: {duration(res.seconds_pelt)}",
        "  " + (", ".join(where(i, rec.rate_hz) for i in res.change_points) or "none found"),
    ]
    return lines


def draw_figure(rec: Recording, res: Analysis, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    n = rec.signal.size
    scale = rec.rate_hz or 1.0
    unit = "time (s)" if rec.rate_hz else "sample"
    runs = masked_runs(rec.mask)

    fig = plt.figure(figsize=(11, 9))
    grid = fig.add_gridspec(3, 1, height_ratios=[3, 2, 2.4], hspace=0.45)
    top = fig.add_subplot(grid[0])
    middle = fig.add_subplot(grid[1], sharex=top)
    zoom = fig.add_subplot(grid[2])

    draw_trace(top, rec.signal, rec.mask, scale, "0.6", "signal")
    top.plot(np.arange(n) / scale, res.baseline, color="tab:blue", linewidth=1.4,
             label="baseline")
    draw_trace(middle, res.corrected, rec.mask, scale, "0.45", None)
    middle.axhline(0.0, color="tab:blue", linewidth=0.8)

    # The zoom shows single samples around the first change point (or the middle).
    centre = res.change_points[0] if res.change_points else n // 2
    a, b = max(0, centre - 2 * res.window), min(n, centre + 2 * res.window)
    shown = np.where(rec.mask[a:b], rec.signal[a:b], np.nan)
    zx = np.arange(a, b) / scale
    zoom.plot(zx, shown, color="0.45", linewidth=0.5, label="signal")
    zoom.plot(zx, res.baseline[a:b], color="tab:blue", linewidth=1.6, label="baseline")

    for axis in (top, middle, zoom):
        for i, cp in enumerate(res.change_points):
            axis.axvline(cp / scale, color="tab:red", linestyle="--", linewidth=1.0,
                         label="change point" if i == 0 else None)
        visible = runs if axis is not zoom else [(lo, hi) for lo, hi in runs if lo < b and hi > a]
        for i, (lo, hi) in enumerate(visible):
            axis.axvspan(lo / scale, hi / scale, color="gold", alpha=0.4,
                         label="masked out" if i == 0 else None)
    top.set_xlim(0, max(n - 1, 1) / scale)
    zoom.set_xlim(a / scale, max(b - 1, a + 1) / scale)
    top.set_ylabel("signal")
    middle.set_ylabel("signal - baseline")
    zoom.set_ylabel("signal")
    middle.set_xlabel(unit)
    zoom.set_xlabel(unit)
    top.set_title(f"{rec.source}: {n:,} samples, baseline window {res.window:,}, "
                  f"{len(res.change_points)} change points", fontsize=10)
    middle.set_title("baseline-corrected signal", fontsize=10)
    zoom.set_title("zoom: every sample, two windows either side of "
                   + ("the first change point" if res.change_points else "the middle"), fontsize=10)
    top.legend(loc="upper right", fontsize=8, framealpha=0.9)
    zoom.legend(loc="upper right", fontsize=8, framealpha=0.9)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def draw_trace(axis, values: np.ndarray, mask: np.ndarray, scale: float, color: str,
               label: str | None) -> None:
    """The samples themselves when there are fewer than pixels, else their range per pixel.

    A range per pixel of single samples has no height and draws nothing, so short inputs
    (a 2000-sample file, a yearly series) are drawn as a line through the usable samples.
    """
    if values.size <= SAMPLES_DRAWN:
        shown = np.where(mask, values, np.nan)
        axis.plot(np.arange(values.size) / scale, shown, color=color, linewidth=0.8,
                  marker="." if values.size <= 500 else None, markersize=3,
                  label=label and f"{label} (every sample)")
        return
    x, low, high = envelope(values, mask, scale)
    axis.fill_between(x, low, high, color=color, linewidth=0,
                      label=label and f"{label} (range per pixel)")


def envelope(values: np.ndarray, mask: np.ndarray, scale: float, bins: int = 2400):
    """Minimum and maximum per bin: a million-sample trace drawn in a fraction of a second."""
    shown = np.where(mask, values, np.nan)
    n = shown.size
    bins = max(1, min(bins, n))
    edges = np.linspace(0, n, bins + 1).astype(np.int64)
    low, high = np.full(bins, np.nan), np.full(bins, np.nan)
    for i, (a, b) in enumerate(zip(edges[:-1], edges[1:])):
        part = shown[a:b]
        part = part[np.isfinite(part)]
        if part.size:
            low[i], high[i] = part.min(), part.max()
    return edges[:-1] / scale, low, high


def masked_runs(mask: np.ndarray) -> list[tuple[int, int]]:
    edges = np.flatnonzero(np.diff(np.concatenate(([1], mask.view(np.int8), [1]))))
    return list(zip(edges[::2].tolist(), edges[1::2].tolist()))


# ---------------------------------------------------------------- command line

def parser() -> argparse.ArgumentParser:
    p = OneLineParser(
        prog="demo.py",
        description="Percentile baseline, baseline-corrected signal and change points "
                    "of a long 1-D signal with _vorn_ext.")
    p.add_argument("input", nargs="?", type=pathlib.Path,
                   help="a .npy file holding a 1-D array, or a .csv file (one value per row; "
                        "a header row is optional; empty cells, NA and NaN count as missing). "
                        "Without it, a built-in synthetic recording is used.")
    p.add_argument("--column", help="CSV column to use, by header name or 0-based index "
                                    "(default: the last column)")
    p.add_argument("--rate", type=float, metavar="HZ",
                   help="sampling rate, to show positions in seconds (built-in: 1000)")
    p.add_argument("--exclude", type=exclude_range, action="append", default=[],
                   metavar="START:END",
                   help="leave out the samples from START up to END (seconds with --rate, else "
                        "sample indices; either end may be left out); repeatable")
    p.add_argument("--window", type=int, metavar="SAMPLES",
                   help="baseline window in samples (default: 1%% of the length, odd, at least 3)")
    p.add_argument("--percentile", type=float, default=10.0,
                   help="percentile of each window taken as the baseline (default: 10)")
    p.add_argument("--penalty", type=float, default=3.0,
                   help="pelt's penalty factor; higher finds fewer change points (default: 3)")
    p.add_argument("--min-segment", type=int, default=10, metavar="SAMPLES",
                   help="pelt's shortest segment, in the samples pelt sees (default: 10)")
    p.add_argument("--pelt-samples", type=int, default=PELT_SAMPLES, metavar="N",
                   help="longest signal handed to pelt; longer ones are thinned to every k-th "
                        f"usable sample (default: {PELT_SAMPLES}, at most {MAX_PELT_SAMPLES:,})")
    p.add_argument("--changes-in", choices=("corrected", "signal"), default="corrected",
                   help="search change points in the baseline-corrected signal (default), "
                        "where drift and bleaching are gone, or in the signal itself")
    p.add_argument("--duration", type=float, default=1500.0, metavar="SECONDS",
                   help="length of the built-in recording (default: 1500)")
    p.add_argument("--seed", type=int, default=7, help="seed of the built-in recording")
    p.add_argument("--output", type=pathlib.Path, default=pathlib.Path(DEFAULT_FIGURE),
                   metavar="PNG", help=f"where to write the figure (default: ./{DEFAULT_FIGURE})")
    p.add_argument("--no-plot", action="store_true", help="write no figure")
    return p


def check_arguments(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    def need(ok: bool, message: str) -> None:
        if not ok:
            p.error(message)

    need(math.isfinite(args.percentile) and 0 <= args.percentile <= 100,
         f"--percentile must be between 0 and 100, got {args.percentile:g}")
    need(math.isfinite(args.penalty) and args.penalty >= 0,
         f"--penalty must be a finite number >= 0, got {args.penalty:g}")
    need(args.min_segment >= 2, f"--min-segment must be at least 2, got {args.min_segment}")
    need(10 <= args.pelt_samples <= MAX_PELT_SAMPLES,
         f"--pelt-samples must be between 10 and {MAX_PELT_SAMPLES:,}, got {args.pelt_samples:,}")
    need(args.window is None or args.window >= 2, f"--window must be at least 2, got {args.window}")
    need(args.rate is None or (math.isfinite(args.rate) and args.rate > 0),
         f"--rate must be a positive number, got {args.rate}")
    need(math.isfinite(args.duration) and 0.01 <= args.duration <= 86_400,
         f"--duration must be between 0.01 and 86400 seconds, got {args.duration:g}")
    problem = check_exclusions(args.exclude, args.rate if args.input else args.rate or 1000.0)
    need(problem is None, problem or "")
    if args.input is None and args.column is not None:
        p.error("--column needs an input file")
    if args.output.suffix.lower() != ".png" and not args.no_plot:
        p.error(f"--output must name a .png file, got {str(args.output)!r}")


def main(argv: list[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    check_arguments(p, args)

    if args.input is None:
        rec = synthetic_recording(args.duration, args.rate or 1000.0, args.seed)
    else:
        try:
            values, source = load_signal(args.input, args.column)
        except InputError as error:
            p.error(str(error))
        rec = Recording(values, np.ones(values.size, dtype=bool), args.rate, source)
    if args.exclude:
        # NaN stays visible as NaN in the summary; only the stretches the user named are
        # taken out of the mask.
        excluded = ~usable_mask(np.zeros(rec.signal.size), args.exclude, rec.rate_hz)
        rec.mask &= ~excluded
        rec.notes.append(f"excluded by --exclude: {int(np.count_nonzero(excluded)):,} samples")

    window = args.window if args.window is not None else default_window(rec.signal.size)
    result = analyse(rec, window, args.percentile, args.penalty, args.min_segment,
                     args.pelt_samples, args.changes_in)
    print("\n".join(summary(rec, result, args)))

    if args.no_plot:
        return 0
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("figure: not written, matplotlib is not installed "
              "(pip install matplotlib, or pip install \"vorn-ext[demo]\")")
        return 0
    output = args.output.resolve()
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
        draw_figure(rec, result, output)
    except OSError as error:
        print(f"demo.py: error: cannot write the figure to {output}: {error.strerror or error}",
              file=sys.stderr)
        return 1
    print(f"figure: {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
