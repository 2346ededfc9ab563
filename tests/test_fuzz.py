"""Seeded, bounded property tests of the three functions against the reference models.

The values are adversarial: huge and tiny magnitudes, signed zeros, subnormals, infinities and
NaNs, mask bytes other than 0 and 1, masks shorter than the signal, windows and minimum lengths
up to 2**64 - 1, and every kind of percentile and penalty. Runs are derandomized (the same
examples every time); the --stress variants try many more.
"""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _vorn_ext
from reference import DIRECT_WORK_LIMIT, U64_MAX, baseline_reference, pelt_reference

SPECIAL = [0.0, -0.0, 5e-324, -5e-324, 1e-310, -2.2250738585072014e-308, 1e-300, -1e-30,
           1.0, -1.0, 0.1, 1e30, -1e300, 1.7976931348623157e308, -1.7976931348623157e308,
           math.inf, -math.inf, math.nan]
SPECIAL32 = [0.0, -0.0, 1.401298464324817e-45, -1e-40, 1.1754943508222875e-38, 1e-30, 0.1,
             3.4028234663852886e38, -3.4028234663852886e38, math.inf, -math.inf, math.nan]
FUNCTIONS = {"float64": _vorn_ext.local_baseline_percentile,
             "float32": _vorn_ext.local_baseline_percentile_f32}


def fuzz(examples):
    return settings(max_examples=examples, derandomize=True, database=None, deadline=None,
                    suppress_health_check=list(HealthCheck))


def samples(dtype):
    if dtype == "float32":
        return st.one_of(st.floats(width=32), st.sampled_from(SPECIAL32), st.floats(-4, 4, width=32))
    return st.one_of(st.floats(), st.sampled_from(SPECIAL), st.floats(-4, 4))


HUGE = [U64_MAX, U64_MAX - 1, 2**63, 2**63 - 1, 2**32 + 1]
windows = st.one_of(st.integers(0, 90), st.sampled_from(HUGE), st.integers(0, U64_MAX))
percentiles = st.one_of(
    st.floats(), st.floats(-1, 101),
    st.sampled_from([0.0, -0.0, 50.0, 100.0, math.nextafter(100.0, math.inf), math.nextafter(0.0, -1.0),
                     5e-324, -5e-324, 1e-300, 1e308, -1e308, math.inf, -math.inf, math.nan]))
mask_bytes = st.one_of(st.sampled_from([0, 1]), st.integers(0, 255))


def runs(values, max_size):
    """Lists made of runs of repeated values: ties and exactly zero spreads."""
    return st.lists(st.tuples(values, st.integers(1, 6)), max_size=max_size).map(
        lambda pairs: [v for v, k in pairs for _ in range(k)])


@st.composite
def short_baselines(draw, dtype):
    signal = draw(st.one_of(st.lists(samples(dtype), max_size=40), runs(samples(dtype), 10)))
    n = len(signal)
    # mostly a mask of the signal's length or longer; sometimes a short one
    length = draw(st.one_of(st.integers(n, n + 3), st.integers(0, n)))
    mask = draw(st.lists(mask_bytes, min_size=length, max_size=length))
    return signal, mask, draw(windows), draw(percentiles)


@st.composite
def long_baselines(draw, dtype):
    # Long enough for the anchor path: the arrays come from a drawn seed, with
    # drawn special values planted at drawn positions.
    n = draw(st.integers(2500, 6000))
    window = draw(st.integers(DIRECT_WORK_LIMIT // n + 1, 4 * n))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    scale = draw(st.sampled_from([1e-300, 1e-30, 1.0, 1e30, 1e300]))
    x = rng.normal(0.0, scale, n)
    for position, value in draw(st.lists(st.tuples(st.integers(0, n - 1), st.sampled_from(SPECIAL)),
                                         max_size=12)):
        x[position] = value
    mask = rng.choice(np.array([0, 1, 1, 1, 3, 254, 255], np.uint8), n)
    return x, mask, window, draw(percentiles)


def check_baseline(dtype, signal, mask, window, percentile):
    with np.errstate(over="ignore"):
        x = np.asarray(signal, dtype=np.float64).astype(dtype)
    m = np.asarray(mask, dtype=np.uint8).view(np.bool_)
    case = f"dtype={dtype} n={x.size} mask={m.size} W={window} p={percentile!r}"
    try:
        want = baseline_reference(x, m, window, percentile, dtype)
    except IndexError as short:
        with pytest.raises(BaseException) as info:
            FUNCTIONS[dtype](x, m, window, percentile)
        assert type(info.value).__name__ == "PanicException", case
        assert info.value.args == (str(short),), case
        return
    got = FUNCTIONS[dtype](x, m, window, percentile)
    assert got.dtype == want.dtype and got.shape == want.shape, case
    np.testing.assert_array_equal(got, want, err_msg=case)  # NaNs in the same places


@fuzz(250)
@given(short_baselines("float64"))
def test_short_float64_baselines(case):
    check_baseline("float64", *case)


@fuzz(250)
@given(short_baselines("float32"))
def test_short_float32_baselines(case):
    check_baseline("float32", *case)


@fuzz(30)
@given(st.sampled_from(["float64", "float32"]), long_baselines("float64"))
def test_anchor_path_baselines(dtype, case):
    check_baseline(dtype, *case)


@st.composite
def pelt_cases(draw):
    signal = draw(st.one_of(st.lists(samples("float64"), max_size=36), runs(samples("float64"), 9),
                            runs(st.sampled_from([0.0, 0.1, 3.0, -1e300, 1e-300, 1e154]), 9)))
    penalty = draw(st.one_of(st.floats(), st.floats(-3, 3), st.sampled_from(SPECIAL)))
    minimum = draw(st.one_of(st.integers(0, 40), st.sampled_from(HUGE), st.integers(0, U64_MAX)))
    return signal, penalty, minimum


def check_pelt(signal, penalty, minimum):
    got = _vorn_ext.pelt(signal, penalty, minimum)
    assert got == pelt_reference(signal, penalty, minimum), (signal, penalty, minimum)


@fuzz(300)
@given(pelt_cases())
def test_pelt(case):
    check_pelt(*case)


@pytest.mark.stress
@fuzz(5000)
@given(st.sampled_from(["float64", "float32"]), st.data())
def test_short_baselines_stress(dtype, data):
    check_baseline(dtype, *data.draw(short_baselines(dtype)))


@pytest.mark.stress
@fuzz(300)
@given(st.sampled_from(["float64", "float32"]), long_baselines("float64"))
def test_anchor_path_baselines_stress(dtype, case):
    check_baseline(dtype, *case)


@pytest.mark.stress
@fuzz(5000)
@given(pelt_cases())
def test_pelt_stress(case):
    check_pelt(*case)
