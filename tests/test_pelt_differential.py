"""`_vorn_ext.pelt` against the literal reference model, and hand-checked edge cases."""

import math

import numpy as np
import pytest

import _vorn_ext
from reference import U64_MAX, pelt_reference

INF, NAN = math.inf, math.nan
PENALTIES = [0.0, 1.0, 3.0, -1.0, NAN, INF, -INF]
MIN_LENGTHS = ["0", "1", "2", "n//2", "n//2+1", "u64max"]


def _min_length(tag, n):
    return {"0": 0, "1": 1, "2": 2, "n//2": n // 2, "n//2+1": n // 2 + 1, "u64max": U64_MAX}[tag]


def _runs(rng, n, values):
    out = []
    while len(out) < n:
        out += [float(rng.choice(values))] * int(rng.integers(1, 16))
    return out[:n]


def _signal(kind, seed):
    rng = np.random.default_rng([seed, len(kind)] + [ord(c) for c in kind])
    n = int(rng.integers(4, 151))
    levels = np.repeat(rng.normal(0.0, 3.0, 4), -(-n // 4))[:n]
    gauss = (levels + rng.normal(0.0, rng.uniform(0.2, 2.0), n)).tolist()
    if kind == "gauss":
        return gauss
    if kind == "ties":
        return rng.integers(-2, 3, n).astype(float).tolist()
    if kind == "constant_runs":
        return _runs(rng, n, [3.0, -1.0, 7.0, 0.0])
    if kind == "tenths":
        return _runs(rng, n, [0.1, 0.3, 0.7])
    if kind == "huge":
        # squares that fit, that overflow partway through the prefix sums, and that all overflow
        return (np.array(gauss) * [1e150, 1e153, 1e200][seed]).tolist()
    if kind == "offset":
        # heavy cancellation in the prefix sums, as for a signal far from zero
        return (1e6 + rng.normal(0.0, 1.0, n)).tolist()
    if kind == "plus_minus_one":
        # residuals that are exact powers of two, and many tied totals
        return [1.0 if (i % 2 == 0) == (rng.random() < 0.9) else -1.0 for i in range(n)]
    if kind == "tiny":
        # squares near the least normal double: residuals underflow
        return (np.array(gauss) * 1e-154).tolist()
    i = int(rng.integers(0, n))
    gauss[i] = NAN if kind == "nan" else float(rng.choice([INF, -INF]))
    return gauss


KINDS = ["gauss", "ties", "constant_runs", "tenths", "huge", "nan", "inf", "offset", "plus_minus_one", "tiny"]


@pytest.mark.parametrize("min_tag", MIN_LENGTHS)
@pytest.mark.parametrize("penalty", PENALTIES, ids=str)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_signals(seed, kind, penalty, min_tag):
    signal = _signal(kind, seed)
    m = _min_length(min_tag, len(signal))
    want = pelt_reference(signal, penalty, m)
    got = _vorn_ext.pelt(signal, penalty, m)
    assert got == want, f"{kind} seed={seed} n={len(signal)} penalty={penalty} m={m}"


@pytest.mark.parametrize("penalty", PENALTIES, ids=str)
def test_tiny_signals(penalty):
    rng = np.random.default_rng(7)
    for n in range(6):
        signal = rng.integers(0, 3, n).astype(float).tolist()
        for m in (0, 1, 2, 3, U64_MAX):
            got = _vorn_ext.pelt(signal, penalty, m)
            assert got == pelt_reference(signal, penalty, m), f"signal={signal} penalty={penalty} m={m}"


WORKED = [0, 1, 0, 1, 5, 6, 5, 6]
ALTERNATING = [0, 1, 0, 1, 0, 1, 5, 6, 5, 6, 5, 6]


@pytest.mark.parametrize(
    "signal, penalty, m, expected",
    [
        (list(range(12)), 1.0, 7, []),  # n < 2m
        (WORKED, 0.0, U64_MAX, []),
        ([], 1.0, 0, []),
        ([], 1.0, 2, []),
        ([5.0], 1.0, 0, []),
        ([5.0], 1.0, 1, []),
        (WORKED, 1.0, 0, [4]),
        (WORKED, 1.0, 1, [4]),
        (WORKED, 1.0, 2, [4]),
        (WORKED, 1.0, 4, [4]),  # n = 2m exactly
        (WORKED, 1.0, 5, []),
        (ALTERNATING, 1.0, 2, [6]),
        (ALTERNATING, -1.0, 1, [2, 4, 6, 8, 10]),
        ([0, 0, 100, 0, 0, 0], 0.0, 0, [2, 4]),
        ([0, 0, 100, 0, 0, 0], 0.0, 1, [2, 4]),
        ([0, 0, 100, 0, 0, 0], 0.0, 2, [2, 4]),
        ([0, 0, 1, 0, 0], 0.0, 2, [2]),
        ([3.0] * 20, 1.0, 2, []),
        ([0.1] * 20, 1.0, 2, [4]),
        (WORKED[:5] + [NAN] + WORKED[6:], 1.0, 2, []),
        ([INF] + WORKED[1:], 1.0, 2, []),
        (WORKED[:7] + [-INF], 1.0, 2, []),
        (WORKED[:3] + [1e200] + WORKED[4:], 1.0, 2, []),  # the square overflows
        (WORKED, NAN, 2, []),
        (WORKED, INF, 2, []),
        (WORKED, -INF, 2, []),
    ],
)
def test_known_cases(signal, penalty, m, expected):
    got = _vorn_ext.pelt(signal, penalty, m)
    assert type(got) is list and got == expected, f"signal={signal} penalty={penalty} m={m}: {got!r}"


def _long_signal(kind, n):
    rng = np.random.default_rng([n, len(kind)])
    noise = rng.normal(0.0, 1.0, n)
    if kind == "weak_change":
        return (noise + np.where(np.arange(n) > n // 2, 0.3, 0.0)).tolist()
    if kind == "offset_2e17":
        # the rounding of the prefix sums is a sizeable part of a long segment's margin
        return (2.0**17 + noise).tolist()
    if kind == "plus_minus_one":
        return [1.0 if (i % 2 == 0) == (rng.random() < 0.9) else -1.0 for i in range(n)]
    return noise.tolist()


# Long enough for whole blocks of starts to be bounded from a shared split point.
@pytest.mark.parametrize("kind, penalty", [("noise", 1.0), ("noise", 0.25), ("weak_change", 1.0),
                                           ("offset_2e17", 1.0), ("plus_minus_one", 0.0)])
def test_long_segments(kind, penalty):
    signal = _long_signal(kind, 1400)
    got = _vorn_ext.pelt(signal, penalty, 2)
    assert got == pelt_reference(signal, penalty, 2), f"{kind} penalty={penalty}"
