"""The sliding and anchor-ring baseline paths on long signals, against the literal reference model.

The direct path slides one window per pool piece and tracks the selected rank from position to
position; the anchor path keeps the usable keys of overlapping anchor windows in a ring and
selects around the previous anchor's answer; interpolation and smoothing run fused per chunk.
Short windows on signals of several smoothing chunks are evaluated, interpolated and smoothed in
one pass per chunk. These cases are long enough to be split into several pieces and chunks, and shaped to push each
of those structures through its less common branches.
"""

import math
import threading
import zlib

import numpy as np
import pytest

import _vorn_ext
from harness import run_python
from reference import baseline_reference

FUNCTIONS = {
    "float64": _vorn_ext.local_baseline_percentile,
    "float32": _vorn_ext.local_baseline_percentile_f32,
}


def _runs(rng, n, rate, mean_length):
    """A boolean array with runs of True starting at `rate` per sample, lasting ~mean_length."""
    out = np.zeros(n, dtype=bool)
    for start in np.flatnonzero(rng.random(n) < rate):
        out[start : start + 1 + int(rng.exponential(mean_length))] = True
    return out


def _signal(kind, n, dtype, seed):
    """A seeded signal and mask. Mask bytes are arbitrary; only their lowest bit counts."""
    rng = np.random.default_rng(zlib.crc32(f"{kind}/{n}/{dtype}/{seed}".encode()))
    if kind == "drift":  # a random walk under noise, like a real baseline
        x = np.cumsum(rng.normal(0.0, 0.05, n)) + rng.normal(0.0, 1.0, n)
    elif kind == "steps":  # level jumps of many window widths: the tracked rank jumps too
        x = np.repeat(rng.normal(0.0, 50.0, n // 500 + 1), 500)[:n] + rng.normal(0.0, 1.0, n)
    elif kind in ("walk", "blocked", "decoy"):  # a random walk: the level leaves any range of values
        x = np.cumsum(rng.normal(0.0, 1.0, n))
        if kind == "decoy":  # far below the rest where a strided sample of the signal looks
            x[n // 8192 // 2 :: n // 8192] = rng.normal(-1e6, 1.0, len(x[n // 8192 // 2 :: n // 8192]))
    elif kind == "subnormal":  # a slow swing about float32's smallest normal value, and below it
        x = 2.0**-126 * (0.75 + 0.45 * np.sin(np.arange(n) * (2 * math.pi / 400_000)) + rng.normal(0.0, 0.01, n))
    elif kind == "ties":  # few distinct values, both zeros
        x = rng.choice(np.array([-1.0, -0.0, 0.0, 2.0, 2.0, 3.5]), n)
    elif kind == "outliers":  # drift far from zero, a few huge and tiny magnitudes
        x = 1e4 + np.cumsum(rng.normal(0.0, 1e-9, n)) + rng.normal(0.0, 1e-10, n)
        x[rng.random(n) < 2e-3] = 1e300 if dtype == "float64" else 1e38
        x[rng.random(n) < 2e-3] = -1e-300 if dtype == "float64" else -1e-38
    else:  # "nonfinite": drift with runs of NaN and of each infinity
        x = np.cumsum(rng.normal(0.0, 0.05, n)) + rng.normal(0.0, 1.0, n)
        x[_runs(rng, n, 2e-4, 30)] = math.nan
        x[_runs(rng, n, 5e-5, 200)] = math.inf
        x[_runs(rng, n, 5e-5, 200)] = -math.inf
    x[rng.random(n) < 0.01] = math.nan
    usable = (rng.random(n) < 0.9) & ~_runs(rng, n, 1e-4, 1500)  # some windows fully masked
    if kind in ("blocked", "decoy"):  # half of the signal masked in blocks, as long artefact gaps are
        blocks = rng.permutation(n // 50_000 + 1)[: (n // 50_000 + 1) // 2]
        for b in blocks:
            usable[b * 50_000 : (b + 1) * 50_000] = False
    true_bytes = rng.choice(np.array([1, 3, 255], np.uint8), n)
    false_bytes = rng.choice(np.array([0, 2, 254], np.uint8), n)
    mask = np.where(usable, true_bytes, false_bytes).astype(np.uint8).view(np.bool_)
    return x.astype(dtype), mask


def _check(dtype, signal, mask, window, percentile, label):
    got = FUNCTIONS[dtype](signal, mask, window, percentile)
    want = baseline_reference(signal, mask, window, percentile, dtype)
    case = f"{label} dtype={dtype} n={len(signal)} W={window} p={percentile}"
    assert got.dtype == want.dtype and got.shape == want.shape, case
    # equal NaN positions; +0.0 and -0.0 compare equal (either zero may win a tie)
    np.testing.assert_array_equal(got, want, err_msg=case)


@pytest.mark.parametrize(
    "kind, n, window, percentile, dtype",
    [
        ("drift", 60_000, 100, 10.0, "float64"),  # the benchmark's shape
        ("steps", 30_000, 301, 90.0, "float32"),  # the answer jumps across many ranks
        ("ties", 50_000, 7, 50.0, "float32"),  # runs of equal keys, -0 and +0
        ("nonfinite", 40_000, 40, 100.0, "float64"),  # infinities win, windows empty out
        ("drift", 80_000, 2, math.nan, "float64"),  # two-sample windows, the minimum
        ("ties", 5_000, 2_000, 0.0, "float64"),  # windows wider than a piece
        ("blocked", 600_000, 16, 90.0, "float32"),  # empty windows: the pooled fallback
        # Windows of at most 32 samples are kept sorted; 34 keys is the tracked window again.
        ("nonfinite", 200_000, 3, 50.0, "float32"),  # two keys: the despiking median
        ("steps", 150_000, 17, 10.0, "float64"),  # 16 keys
        ("ties", 120_000, 33, 66.0, "float64"),  # 32 keys: entering and leaving share a slot
        ("nonfinite", 100_000, 35, 90.0, "float32"),  # 34 keys: tracked
        ("steps", 19_000, 512, 50.0, "float64"),  # 512 keys: the last tracked
        # Longer windows slide over the ranks of a sorted stretch of at least 8192 positions.
        ("ties", 9_000, 1001, 50.0, "float64"),  # two stretches on the calling thread
        ("steps", 19_400, 514, 10.0, "float32"),  # pooled pieces; the answer jumps across ranks
        ("nonfinite", 12_000, 801, 90.0, "float64"),  # infinities win, windows empty out
        ("outliers", 9_500, 1000, 25.0, "float64"),  # offsets cut to 32 bits tie: full keys order
        ("outliers", 8_000, 1200, 75.0, "float32"),
        ("walk", 3_000, 3_000, 100.0, "float32"),  # windows cut to the signal
        # Percentiles outside [0, 100] and NaN: ranks clamped, or the smallest (the rank table).
        ("drift", 5_000, 1_200, 150.0, "float64"),
        ("steps", 4_000, 900, math.nan, "float32"),
        ("ties", 3_000, 1_500, -20.0, "float64"),
    ],
)
def test_direct_path_slides_across_pieces(kind, n, window, percentile, dtype):
    assert n * window <= 10_000_000
    signal, mask = _signal(kind, n, dtype, "direct")
    _check(dtype, signal, mask, window, percentile, kind)


@pytest.mark.parametrize(
    "kind, n, window, percentile, dtype",
    [
        ("drift", 1_100_000, 1001, 10.0, "float64"),  # the benchmark's shape, two chunks
        ("steps", 1_100_000, 1003, 75.0, "float32"),  # 2h = 4 * step + 2; tracked rank misses
        ("nonfinite", 400_000, 41, 50.0, "float64"),  # small windows, infinite anchors
        ("ties", 300_000, 200, 33.3, "float64"),  # equal keys at the bracket edges
        ("nonfinite", 12_000, 20_000, 90.0, "float32"),  # step 5000: no fraction table
        ("drift", 100_000, 300_000, 25.0, "float64"),  # windows cut to the signal
        ("blocked", 1_100_000, 1001, 10.0, "float64"),  # empty windows: the fallback from the ring's keys
        ("decoy", 1_100_000, 1001, 10.0, "float32"),  # the same, its sample's bracket misses: the pooled one
        # windows wider than 65,536 keys: a bracket from a sample of the window
        ("walk", 2_000_000, 200_001, 10.0, "float32"),  # 40 anchors; the level moves
        ("blocked", 1_200_000, 140_001, 50.0, "float64"),
        ("nonfinite", 700_000, 131_075, 100.0, "float32"),  # infinite answers
        ("ties", 500_000, 140_002, 33.3, "float64"),  # one value fills the bracket
        ("drift", 900_000, 262_147, 0.5, "float64"),  # near the minimum: open below
        # Short windows on long signals: anchor windows of up to 24 keys walked through by the
        # sorted window, and for steps below 4 the interpolated baseline stored, then smoothed
        # like the direct path's.
        ("nonfinite", 1_500_000, 7, 10.0, "float32"),  # step 1, every position an anchor
        ("ties", 950_000, 11, 50.0, "float64"),  # step 2, two smoothing chunks
        ("drift", 800_000, 15, 5.0, "float32"),  # step 3, the last stored
        ("steps", 600_000, 21, 75.0, "float32"),  # step 5, 20 keys, fused smoothing
        ("nonfinite", 420_000, 25, 50.0, "float64"),  # step 6, 24 keys, the last sorted
        ("nonfinite", 400_000, 27, 50.0, "float64"),  # 26 keys: the ring
    ],
)
def test_anchor_path_ring_and_fused_smoothing(kind, n, window, percentile, dtype):
    assert n * window > 10_000_000
    signal, mask = _signal(kind, n, dtype, "anchor")
    _check(dtype, signal, mask, window, percentile, kind)


def _fallback_signal(kind, n, dtype):
    """Signals whose fallback median takes each way there: a bracket from a strided sample (a
    walk, whose pieces hold very different shares of it; one value throughout the bracket), or
    the histogram passes (a sample of equal values that the median is not; too few samples)."""
    rng = np.random.default_rng(zlib.crc32(f"fallback/{kind}/{n}/{dtype}".encode()))
    mask = rng.random(n) < 0.9
    if kind == "walk":
        x = np.cumsum(rng.normal(0.0, 1.0, n))
        x[rng.random(n) < 0.01] = math.nan
    elif kind == "ties":  # the median in the middle of a run of one value
        x = rng.choice(np.array([-1.0, -0.0, 0.0, 2.0, 2.0, 2.0, 2.0, 2.0, 3.5]), n)
    elif kind == "nonfinite":
        x = rng.normal(0.0, 1.0, n)
        x[rng.random(n) < 0.2] = math.inf
        x[rng.random(n) < 0.2] = -math.inf
    elif kind == "strided":  # every sampled position holds the minimum, the others do not
        x = rng.normal(10.0, 1.0, n)
        stride = n // 8192
        x[stride // 2 :: stride] = 0.0
        mask[:] = True
    else:  # "sparse": a few hundred usable samples
        x = rng.normal(0.0, 1.0, n)
        mask = rng.random(n) < 300 / n
    return x.astype(dtype), mask


@pytest.mark.parametrize("kind", ["walk", "ties", "nonfinite", "strided", "sparse"])
@pytest.mark.parametrize("dtype", FUNCTIONS)
@pytest.mark.parametrize("n", [700_000, 16_385, 16_384])  # the last gathered on the calling thread
def test_fallback_median_of_whole_signals(kind, dtype, n):
    # W = 1 leaves every window empty, so every kernel value is the fallback median of the whole
    # signal, computed in pieces on the pool.
    signal, mask = _fallback_signal(kind, n, dtype)
    _check(dtype, signal, mask, 1, 50.0, f"fallback {kind}")


@pytest.mark.parametrize(
    "kind, n, window, percentile, dtype",
    [
        # At least as many smoothing chunks as workers: windows of up to 32 keys are sorted by a
        # network, interpolated and smoothed in one pass per chunk, a batch at a time.
        ("nonfinite", 1_200_000, 3, 50.0, "float64"),  # direct path, two keys
        ("blocked", 1_100_000, 5, 10.0, "float32"),  # empty windows: chunks redone with the fallback
        ("ties", 1_100_000, 9, 90.0, "float64"),  # direct path, eight keys
        ("blocked", 1_100_000, 13, 50.0, "float64"),  # step 3, empty anchor windows
        ("nonfinite", 2_100_001, 17, 25.0, "float32"),  # step 4, three chunks, the last short
        ("steps", 1_100_000, 33, 75.0, "float32"),  # step 8, 32 keys, the last fused
        ("nonfinite", 1_100_000, 35, 0.0, "float64"),  # 34 keys: the separate passes again
    ],
)
def test_fused_chunks_of_short_windows(kind, n, window, percentile, dtype):
    signal, mask = _signal(kind, n, dtype, "fused")
    _check(dtype, signal, mask, window, percentile, kind)


@pytest.mark.parametrize("window", [3, 11, 101, 1001])
@pytest.mark.parametrize("n", [999, 2_048, 2_049, 5_000, 40_000])
def test_short_signals_on_and_off_the_calling_thread(n, window):
    # Up to 2,048 samples every loop runs on the calling thread; one more and the pool splits
    # (windows of more than 512 samples only into pieces of at least two windows). With every
    # sample usable, as the latency benchmark has them, full windows hold the most keys a window
    # can, the last count whose rank the rank-space run tabulates.
    for dtype in FUNCTIONS:
        signal, mask = _signal("nonfinite", n, dtype, "latency")
        _check(dtype, signal, mask, window, 25.0, "short")
        drift, _ = _signal("drift", n, dtype, "latency")
        clean = np.where(np.isnan(drift), 0.5, drift).astype(dtype)
        _check(dtype, clean, np.ones(n, dtype=bool), window, 25.0, "short, every sample usable")


@pytest.mark.parametrize(
    "n, mask_len, window",
    [
        (200_000, 100_000, 5),  # sorted windows, direct path
        (2_000_000, 1_000_003, 21),  # sorted windows at anchors
        (200_000, 100_000, 20),  # direct path, the mask ends inside the second of several pieces
        (200_000, 199_999, 20),
        (2_000_000, 1_000_000, 1001),  # anchor path
        (2_000_000, 1_999_999, 1001),
    ],
)
def test_short_mask_fault_names_the_mask_length(n, mask_len, window):
    signal, mask = _signal("drift", n, "float64", "short")
    for function in FUNCTIONS.values():
        with pytest.raises(BaseException) as info:
            function(signal.astype(np.float32) if function is FUNCTIONS["float32"] else signal,
                     mask[:mask_len], window, 50.0)
        case = f"n={n} mask_len={mask_len} W={window}"
        assert type(info.value).__name__ == "PanicException", case
        assert info.value.args == (
            f"index out of bounds: the len is {mask_len} but the index is {mask_len}",), case


ONE_REPORT_PER_CALL = """
import numpy as np
import _vorn_ext
n = 2_000_000
x = np.random.default_rng(0).normal(size=n)
short = np.ones(n // 2, bool)
calls = [(x, 1001), (x.astype(np.float32), 1001), (x, 20), (x[:300_000], 0)]
for signal, window in calls:
    function = (_vorn_ext.local_baseline_percentile if signal.dtype == np.float64
                else _vorn_ext.local_baseline_percentile_f32)
    try:
        function(signal, short[: len(signal) // 2], window, 50.0)
    except BaseException as error:
        print(type(error).__name__, error.args[0])
"""


@pytest.mark.parametrize("backtrace", ["", "1"])
def test_a_failing_call_writes_one_fault_report(backtrace):
    # Every piece past the mask's end fails, and so does the fallback's scan on the zero-width
    # window; only the fault that is raised gets a report (with its backtrace when asked for).
    out = run_python(ONE_REPORT_PER_CALL, env={"VORN_EXT_BACKTRACE": backtrace})
    lengths = [1_000_000, 1_000_000, 1_000_000, 150_000]
    assert out.stdout.splitlines() == [
        f"PanicException index out of bounds: the len is {k} but the index is {k}" for k in lengths]
    assert out.stderr.count("hit an internal fault") == len(lengths), out.stderr[-3000:]
    assert out.stderr.count("native backtrace:") == (len(lengths) if backtrace else 0)


@pytest.mark.parametrize("window", [100, 1001])
def test_arrays_written_during_a_call(window):
    # The lock is released during a call, so another thread may write to the arrays. The values
    # that come out are then unspecified, but every sample is read once into the window
    # structures and never re-read to be removed, so nothing may crash or run out of bounds.
    n = 2_000_000 if window > 100 else 100_000
    signal, mask = _signal("nonfinite", n, "float64", "racing")
    mask_bytes = mask.view(np.uint8)
    stop = threading.Event()

    def scribble():
        rng = np.random.default_rng(7)
        while not stop.is_set():
            at = rng.integers(0, n, 5_000)
            signal[at] = rng.choice(np.array([math.nan, math.inf, -math.inf, -0.0, 1e300]), 5_000)
            mask_bytes[at] ^= 1

    thread = threading.Thread(target=scribble)
    thread.start()
    try:
        for _ in range(5):
            result = _vorn_ext.local_baseline_percentile(signal, mask, window, 30.0)
            assert result.shape == (n,)
    finally:
        stop.set()
        thread.join()
