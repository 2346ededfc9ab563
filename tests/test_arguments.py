"""Argument binding and conversion: exact error types and messages."""

import array

import numpy as np
import pytest

import _vorn_ext
from _vorn_ext import local_baseline_percentile, local_baseline_percentile_f32, pelt

S = [0, 1, 0, 1, 5, 6, 5, 6]
X = np.arange(6, dtype=np.float64)
M = np.ones(6, dtype=bool)


def message(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize("call, expected", [
    (lambda: pelt(S, 1.0, 2, 3), "pelt() takes 3 positional arguments but 4 were given"),
    (lambda: pelt(S, 1.0, 2, 3, signal=S), "pelt() takes 3 positional arguments but 4 were given"),
    (lambda: local_baseline_percentile_f32(X, M, 3, 5.0, 1),
     "local_baseline_percentile_f32() takes 4 positional arguments but 5 were given"),
    (lambda: pelt(S, 1.0, signal=S), "pelt() got multiple values for argument 'signal'"),
    (lambda: local_baseline_percentile(X, M, signal=X, window_samples=3),
     "local_baseline_percentile() got multiple values for argument 'signal'"),
    (lambda: pelt(signal=S, penalty_factor=1.0, min_segment_samples=2, extra=1),
     "pelt() got an unexpected keyword argument 'extra'"),
    (lambda: pelt(S, 1.0, penalty=2), "pelt() got an unexpected keyword argument 'penalty'"),
    (lambda: pelt(S, 1.0, **{"Signal": S}), "pelt() got an unexpected keyword argument 'Signal'"),
    (lambda: pelt(S, 1.0, **{"x\udce9": 1}), "pelt() got an unexpected keyword argument 'x\ufffd'"),
    (lambda: pelt(S, 1.0), "pelt() missing 1 required positional argument: 'min_segment_samples'"),
    (lambda: pelt(S), "pelt() missing 2 required positional arguments: 'penalty_factor' and 'min_segment_samples'"),
    (lambda: pelt(), "pelt() missing 3 required positional arguments: 'signal', 'penalty_factor', and 'min_segment_samples'"),
    (lambda: pelt(min_segment_samples=2), "pelt() missing 2 required positional arguments: 'signal' and 'penalty_factor'"),
    (lambda: local_baseline_percentile(X, M),
     "local_baseline_percentile() missing 2 required positional arguments: 'window_samples' and 'percentile'"),
    (lambda: local_baseline_percentile(),
     "local_baseline_percentile() missing 4 required positional arguments: 'signal', 'mask', 'window_samples', and 'percentile'"),
])
def test_binding_errors(call, expected):
    assert message(call) == (TypeError, expected)


def test_keywords_bind_in_any_order():
    assert pelt(min_segment_samples=2, signal=S, penalty_factor=1.0) == pelt(S, 1.0, 2) == [4]
    a = local_baseline_percentile(X, M, percentile=50.0, window_samples=5)
    b = local_baseline_percentile(X, M, 5, 50.0)
    np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("value, expected", [
    (True, 1), (3, 3), (np.int64(4), 4), (2**64 - 1, 2**64 - 1),
])
def test_size_conversion_accepts_integers(value, expected):
    # The minimum length is observable through the n < 2m shortcut.
    signal = [0.0, 1.0] * 20
    assert pelt(signal, -1.0, value) == pelt(signal, -1.0, expected)


@pytest.mark.parametrize("value, kind, text", [
    (3.0, TypeError, "argument 'window_samples': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument 'window_samples': 'str' object cannot be interpreted as an integer"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
])
def test_window_samples_errors(value, kind, text):
    got_kind, got_text = message(lambda: local_baseline_percentile(X, M, value, 50.0))
    assert got_kind is kind
    if text is None:
        assert not got_text.startswith("argument")
    else:
        assert got_text == text


def test_percentile_conversion():
    as_int = local_baseline_percentile(X, M, 3, 50)
    np.testing.assert_array_equal(as_int, local_baseline_percentile(X, M, 3, 50.0))
    kind, text = message(lambda: local_baseline_percentile(X, M, 3, "50"))
    assert kind is TypeError and text == "argument 'percentile': must be real number, not str"
    kind, text = message(lambda: local_baseline_percentile(X, M, 3, 10**400))
    assert kind is OverflowError and not text.startswith("argument")
    assert not np.isnan(local_baseline_percentile(X, M, 3, float("nan"))).any()


def test_float32_variant_keeps_the_percentile_in_double():
    # 50 + 1e-12 rounds to 50.0 in float32; in float64 it moves the rank of
    # 3 values from 1 (x = 1.0) up past 1.0, which still rounds to 1 — so use
    # a rank that sits exactly on .5 instead: x = 3 * q with q just above 0.5.
    signal = np.array([1, 2, 3, 4], dtype=np.float32)
    mask = np.ones(4, dtype=bool)
    p = np.nextafter(np.float64(50.0), 0.0)  # below 50 in float64, 50.0 in float32
    below = local_baseline_percentile_f32(signal, mask, 100, p)
    at = local_baseline_percentile_f32(signal, mask, 100, 50.0)
    # Window of 4 usable values: x = 3 * q -> 1.5 at p = 50 (rank 2), just
    # under 1.5 below it (rank 1).
    assert below[0] == 2.0 and at[0] == 3.0


@pytest.mark.parametrize("signal, expected_text", [
    ("123", "argument 'signal': a str cannot be used as a sequence of samples"),
    (5, "argument 'signal': 'int' object cannot be cast as 'Sequence'"),
    (None, "argument 'signal': 'NoneType' object cannot be cast as 'Sequence'"),
    ({1: 2}, "argument 'signal': 'dict' object cannot be cast as 'Sequence'"),
    ((x for x in range(3)), "argument 'signal': 'generator' object cannot be cast as 'Sequence'"),
    ([1.0, "a"], "argument 'signal': must be real number, not str"),
])
def test_signal_errors(signal, expected_text):
    assert message(lambda: pelt(signal, 1.0, 2)) == (TypeError, expected_text)


def test_first_bad_argument_in_parameter_order_wins():
    assert message(lambda: pelt("x", "y", -1))[1].startswith("argument 'signal': ")
    assert message(lambda: pelt(S, "y", -1))[1].startswith("argument 'penalty_factor': ")
    assert message(lambda: pelt(S, 1.0, -1))[0] is OverflowError


class Recorder:
    """A sequence whose items, reported length and iteration are scripted."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("signal", [
    (0, 1, 0, 1, 5, 6, 5, 6), range(0), bytes([0, 1, 0, 1, 5, 6, 5, 6]),
    array.array("d", S), np.array(S, dtype=np.int32),
    Recorder(S, ValueError("no length")), Recorder(S, 2), Recorder(S, 100),
])
def test_any_sequence_of_numbers_is_accepted(signal):
    expected = [] if isinstance(signal, range) else [4]
    assert pelt(signal, 1.0, 2) == expected


def test_user_errors_during_conversion_pass_unlabelled():
    class Broken:
        def __float__(self):
            raise ValueError("broken float")

    class BrokenType(TypeError):
        pass

    class BrokenIndex:
        def __index__(self):
            raise BrokenType("broken index")

    assert message(lambda: pelt([Broken()], 1.0, 2)) == (ValueError, "broken float")
    kind, text = message(lambda: pelt(S, 1.0, BrokenIndex()))
    assert kind is BrokenType and text == "broken index"


def test_labelled_error_keeps_the_explicit_cause():
    cause = KeyError("why")

    class Caused:
        def __float__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        pelt(S, Caused(), 2)
    assert str(info.value) == "argument 'penalty_factor': inner"
    assert info.value.__cause__ is cause and info.value.__suppress_context__


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_unprintable_inner_error_is_replaced():
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    class Raises:
        def __float__(self):
            raise TypeError(Unprintable())

    # The inner TypeError prints its argument, which cannot be printed.
    with pytest.raises(TypeError) as info:
        pelt(S, Raises(), 2)
    assert str(info.value) == "argument 'penalty_factor': <unprintable TypeError object>"


def test_pelt_returns_a_list_of_ints():
    result = pelt(S, 1.0, 2)
    assert type(result) is list and all(type(v) is int for v in result)
    assert type(pelt([], 1.0, 2)) is list
    assert hasattr(_vorn_ext, "pelt")
