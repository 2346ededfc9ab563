"""`local_baseline_percentile` and its float32 twin against the literal reference model."""

import math
import zlib

import numpy as np
import pytest

import _vorn_ext
from reference import U64_MAX, baseline_reference

INF, NAN = math.inf, math.nan
FUNCTIONS = {
    "float64": _vorn_ext.local_baseline_percentile,
    "float32": _vorn_ext.local_baseline_percentile_f32,
}
WINDOWS = list(range(10)) + [39, 40, 59, 60, 257, 1000, 10**6, U64_MAX]
PERCENTILES = [-5.0, 0.0, 10.0, 33.3, 50.0, 100.0, 250.0, INF, -INF, NAN]


def _case(pattern, n, dtype, seed_text, extra_mask=0):
    """A seeded signal and mask; mask bytes other than 0 and 1 count by their lowest bit."""
    rng = np.random.default_rng(zlib.crc32(f"{pattern}/{n}/{dtype}/{seed_text}".encode()))
    if pattern == "ties":
        x = rng.integers(-1, 3, n).astype(np.float64)
        x[rng.random(n) < 0.2] = -0.0
    else:
        x = rng.normal(5.0, 2.0, n)
    if pattern == "nan_inf":
        x[rng.random(n) < 0.03] = NAN
        for value in (INF, INF, INF, -INF, -INF) if n else ():
            x[rng.integers(0, n)] = value
    if pattern == "opposed" and n >= 20:  # a run of +inf right before a run of -inf
        at = int(rng.integers(0, n - 20))
        x[at : at + 4] = INF
        x[at + 4 : at + 8] = -INF
    if pattern == "unusable":
        x[rng.random(n) < 0.5] = NAN
    keep = {"sparse": 0.15, "unusable": 0.0}.get(pattern, 0.85)
    true_bytes = rng.choice(np.array([1, 3, 255], np.uint8), n + extra_mask)
    false_bytes = rng.choice(np.array([0, 2, 254], np.uint8), n + extra_mask)
    mask = np.where(rng.random(n + extra_mask) < keep, true_bytes, false_bytes).astype(np.uint8)
    return x.astype(dtype), mask.view(np.bool_)


def _check(dtype, signal, mask, window, percentile, label):
    got = FUNCTIONS[dtype](signal, mask, window, percentile)
    want = baseline_reference(signal, mask, window, percentile, dtype)
    case = f"{label} dtype={dtype} n={len(signal)} W={window} p={percentile}"
    assert isinstance(got, np.ndarray) and got.dtype == want.dtype and got.shape == want.shape, case
    # equal NaN positions; +0.0 and -0.0 compare equal (either zero may win a tie)
    np.testing.assert_array_equal(got, want, err_msg=case)


SMALL_SIGNALS = [
    ("gauss", 0, 2),
    ("gauss", 1, 0),
    ("gauss", 2, 1),
    ("ties", 5, 0),
    ("nan_inf", 37, 3),
    ("sparse", 64, 0),
    ("opposed", 50, 0),
    ("unusable", 9, 0),
    ("ties", 120, 1),
    ("gauss", 300, 0),
    ("nan_inf", 201, 0),
]


@pytest.mark.parametrize("percentile", PERCENTILES, ids=str)
@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_small_grid(dtype, window, percentile):
    for pattern, n, extra in SMALL_SIGNALS:
        signal, mask = _case(pattern, n, dtype, f"{window}/{percentile}", extra)
        _check(dtype, signal, mask, window, percentile, f"{pattern} mask_extra={extra}")


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("window", [0, 45, 60, 1000])
def test_smoothing_threshold(dtype, window):
    width = max(window // 10, 3) | 1
    for n in (width - 1, width):  # one short of the smoothing width, and exactly it
        signal, mask = _case("nan_inf", n, dtype, "threshold")
        _check(dtype, signal, mask, window, 50.0, "smoothing threshold")


@pytest.mark.parametrize(
    "n, window, percentile, dtype, pattern",
    [
        (4000, 2500, 30.0, "float64", "gauss"),  # n*W = 10,000,000 exactly: direct path
        (2000, 5001, 30.0, "float32", "gauss"),  # just past the limit: two anchors
        (11, 909_091, 50.0, "float32", "nan_inf"),  # n*W = 10,000,001, one anchor
        (909_091, 11, 90.0, "float32", "nan_inf"),  # n*W = 10,000,001, step 2
        (1000, 100_000, 50.0, "float64", "nan_inf"),  # one anchor whose window is the signal
        (3000, 4000, 50.0, "float64", "gauss"),  # three anchors, t up to 2 past the last one
        (20_000, 800, 100.0, "float64", "nan_inf"),  # step 200, some infinite anchors
        (5003, 2500, 100.0, "float32", "nan_inf"),  # step 625, nine anchors, extrapolated tail
        (1_428_572, 7, 100.0, "float64", "nan_inf"),  # step 1, two smoothing chunks
        (1_111_111, 9, 50.0, "float32", "gauss"),  # direct path, two smoothing chunks
    ],
)
def test_paths_and_chunks(n, window, percentile, dtype, pattern):
    signal, mask = _case(pattern, n, dtype, "long")
    _check(dtype, signal, mask, window, percentile, pattern)


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_masked_window_falls_back_to_median(dtype):
    # kernel values 3 (median of the usable {1, 5, 3}), 1, 1, 3, 3, then the 3-wide mean
    signal = np.array([9.0, 1.0, 5.0, 3.0, 7.0], dtype=dtype)
    mask = np.array([False, True, True, True, False])
    got = FUNCTIONS[dtype](signal, mask, 2, 0.0)
    want = np.array([2.0, 5.0 / 3.0, 5.0 / 3.0, 7.0 / 3.0, 3.0]).astype(dtype)
    np.testing.assert_array_equal(got, want, err_msg=dtype)


@pytest.mark.parametrize(
    "n, mask_len, window", [(5, 3, 4), (5, 3, 0), (5, 4, 2), (40_000, 39_999, 400)]
)
def test_short_mask_faults(n, mask_len, window):
    signal, mask = _case("gauss", n, "float64", "short")
    with pytest.raises(BaseException) as info:
        _vorn_ext.local_baseline_percentile(signal, mask[:mask_len], window, 50.0)
    case = f"n={n} mask_len={mask_len} W={window}"
    assert type(info.value).__name__ == "PanicException", case
    assert info.value.args == (f"index out of bounds: the len is {mask_len} but the index is {mask_len}",), case
