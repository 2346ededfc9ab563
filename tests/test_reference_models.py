"""Checks of the reference models themselves against independently worked examples."""

import math

import numpy as np
import pytest

from reference import (
    baseline_reference,
    interpolate_reference,
    kernel_reference,
    pelt_reference,
    smooth_reference,
)

WORKED = [0, 1, 0, 1, 5, 6, 5, 6]


@pytest.mark.parametrize(
    "signal, pf, m, expected",
    [
        (WORKED, 1.0, 2, [4]),
        (WORKED, 1.0, 4, [4]),
        (WORKED, 1.0, 5, []),
        ([0, 0, 1, 0, 0], 0.0, 2, [2]),  # equal totals: the earlier boundary wins
        ([0.1] * 20, 1.0, 2, [4]),  # inexact running sums of 0.1
        ([3.0] * 20, 1.0, 2, []),  # exact zero residuals everywhere
        ([0, 1, 0, 1, 0, 1, 5, 6, 5, 6, 5, 6], -1.0, 1, [2, 4, 6, 8, 10]),
        ([0, 0, 100, 0, 0, 0], 0.0, 0, [2, 4]),
        (WORKED[:3] + [math.nan] + WORKED[4:], 1.0, 2, []),
        ([], 1.0, 0, []),
    ],
)
def test_pelt_model(signal, pf, m, expected):
    assert pelt_reference(signal, pf, m) == expected, f"signal={signal} pf={pf} m={m}"


def test_kernel_model_worked_examples():
    ones = np.ones(5, dtype=np.bool_)
    sig = np.arange(1.0, 6.0)
    assert [kernel_reference(sig, ones, a, 4, 50.0) for a in (0, 2, 4)] == [2.0, 3.0, 4.0]
    # position 2 holds {1, 2, 3, 4}: p <= 0 and NaN take the minimum, p >= 100 the maximum
    for p, want in [(0.0, 1.0), (-5.0, 1.0), (math.nan, 1.0), (100.0, 4.0), (250.0, 4.0)]:
        assert kernel_reference(sig, ones, 2, 4, p) == want, f"p={p}"
    mask = np.array([False, True, True, True, False])
    for p in (0.0, 50.0, 100.0):  # empty window: median of all usable samples, whatever p
        assert kernel_reference([9.0, 1.0, 5.0, 3.0, 7.0], mask, 0, 2, p) == 3.0, f"p={p}"
    assert kernel_reference([1.0, math.inf], np.ones(2, np.bool_), 1, 2, 100.0) == math.inf


def test_baseline_model_small_examples():
    mask = np.array([False, True, True, True, False])
    # kernel values 3 (fallback), 1, 1, 3, 3, then the 3-wide running mean
    got = baseline_reference(np.array([9.0, 1.0, 5.0, 3.0, 7.0]), mask, 2, 0.0)
    np.testing.assert_array_equal(got, [2.0, 5.0 / 3.0, 5.0 / 3.0, 7.0 / 3.0, 3.0])
    nothing_usable = baseline_reference(np.full(4, math.nan), np.ones(4, np.bool_), 5, 50.0)
    np.testing.assert_array_equal(nothing_usable, np.zeros(4))


def test_interpolation_and_smoothing_models():
    a0, a1, a2 = 1.0, 4.0, 2.5
    np.testing.assert_array_equal(
        interpolate_reference([a0, a1, a2], 2, 6),
        [a0, a0 + 0.5 * (a1 - a0), a1, a1 + 0.5 * (a2 - a1), a1 + 1.0 * (a2 - a1), a1 + 1.5 * (a2 - a1)],
    )
    # a non-finite difference takes the nearer anchor, and x1 past the last anchor
    inf = math.inf
    np.testing.assert_array_equal(
        interpolate_reference([1.0, inf, 2.0], 2, 6), [1.0, 1.0, inf, inf, 2.0, 2.0]
    )
    assert smooth_reference([1.0, inf, 1.0, 1.0, 1.0], 1) == [inf, inf, inf, 1.0, 1.0]
    assert math.isnan(smooth_reference([inf, -inf, 1.0], 1)[1])
    # a chunk start rebuilds its sum from 0.0 instead of continuing the running sum
    vals = [0.1 * k for k in range(1, 30)]
    restarted = smooth_reference(vals, 2, chunk=11)
    fresh = 0.0
    for v in vals[9:14]:
        fresh += v
    assert restarted[11] == fresh / 5.0 != smooth_reference(vals, 2)[11]


def test_cached_results_are_keyed_by_every_argument_bit():
    # A key shared by two different calls would hand one call the other's reference result.
    from reference_cache import _key

    def key(*args, **kwargs):
        return _key(b"models", baseline_reference, args, kwargs)

    x = np.array([1.0, -0.0, 2.0])
    variants = [
        key(x, 3), key(x.astype(np.float32), 3), key(np.array([1.0, 0.0, 2.0]), 3), key(x[:2], 3),
        key(x.reshape(3, 1), 3), key(x, 3.0), key(x, 3, dtype="float32"), key(x, 3, "float32"), key(x, 4), key([1.0, 2.0], 3),
        key((1.0, 2.0), 3), key([1, 2], 3), key(x, None),
    ]
    assert len(set(variants)) == len(variants)
    assert key(x, 3) == key(x.copy(), 3) == key(np.flip(np.flip(x)), 3)
    assert key(x, 3, dtype="f4", p=1) == key(x, 3, p=1, dtype="f4")
    assert _key(b"other models", baseline_reference, (x, 3), {}) != key(x, 3)
    assert key(np.array([x], dtype=object), 3) is None and key({1.0}, 3) is None
