"""Slow, literal Python models of the _vorn_ext kernels, used as oracles by the differential tests.

Python floats are IEEE binary64 with the same rounding as the C++ kernels (which are built
without floating-point contraction), so every add, subtract, multiply and divide below is written
as a separate operation in the order the kernels perform it; results must agree bit for bit.
"""

import math

import numpy as np

from reference_cache import cached

U64_MAX = 2**64 - 1
LOG_FLOOR = -46.051701859880914  # ln(1e-20), stands in for ln r when a residual is <= 0
DIRECT_WORK_LIMIT = 10_000_000
SMOOTHING_CHUNK = 1 << 20


def c_log(v):
    """C `log` semantics; math.log raises where C returns -inf or NaN."""
    if v != v or v < 0.0:
        return math.nan
    if v == 0.0:
        return -math.inf
    if v == math.inf:
        return math.inf
    return math.log(v)


# ---------------------------------------------------------------------------------------------
# Change points


@cached(as_list=True)
def pelt_reference(samples, penalty_factor, min_segment_samples):
    """Exact penalised optimal partitioning; returns the ascending change points."""
    x = [float(v) for v in samples]
    pf = float(penalty_factor)
    m = int(min_segment_samples)
    n = len(x)
    if n < 2 * m:
        return []
    beta = c_log(float(n)) * (pf + pf)

    s1 = [0.0] * (n + 1)
    s2 = [0.0] * (n + 1)
    for i in range(n):
        s1[i + 1] = s1[i] + x[i]
        s2[i + 1] = (x[i] * x[i]) + s2[i]

    def segment_cost(s, t):
        length = t - s
        if length < m:
            return math.inf
        lf = float(length)
        d = s1[t] - s1[s]
        q = s2[t] - s2[s]
        r = q - ((d * d) / lf)  # lf >= 2: callers only form segments of two samples or more
        lam = LOG_FLOOR if r <= 0.0 else c_log(r)
        return (lam - c_log(lf)) * lf

    f = [math.inf] * (n + 1)
    f[0] = -beta
    back = [0] * (n + 1)
    for t in range(1, n + 1):
        best, arg = math.inf, 0
        for s in range(t - 1):
            total = beta + (segment_cost(s, t) + f[s])
            if total < best:  # ordered: NaN never wins, ties keep the earlier s
                best, arg = total, s
        f[t] = best
        back[t] = arg

    out = []
    c = n
    while True:
        c = back[c]
        if c == 0:
            break
        out.append(c)
    out.reverse()
    return out


# ---------------------------------------------------------------------------------------------
# Percentile baseline


def percentile_rank(count, percentile):
    """Rank of the selected value among `count` usable samples (count >= 1)."""
    q = percentile / 100.0
    r = float(count) - 1.0
    x = r * q
    if not x > 0.0:
        k = 0  # NaN, negatives (rounded half away from zero, then saturated) and zero
    elif x == math.inf:
        k = U64_MAX
    else:
        k = math.floor(x)  # exact int; x - k is the exact fractional part
        if x - k >= 0.5:
            k += 1  # halfway cases away from zero
        k = min(k, U64_MAX)
    return min(k, count - 1)


class _Kernel:
    """Windowed percentile over usable samples; `x` holds the element-type values as floats."""

    def __init__(self, x, bits, window_samples, percentile):
        self.x = x
        self.bits = bits
        self.h = window_samples // 2
        self.p = float(percentile)
        self._fallback = None

    def fallback(self):
        if self._fallback is None:
            usable = sorted(v for v, b in zip(self.x, self.bits) if b and v == v)
            self._fallback = usable[len(usable) // 2] if usable else 0.0
        return self._fallback

    def __call__(self, a):
        x, bits, h = self.x, self.bits, self.h
        lo = a - h if a >= h else 0
        hi = min(a + h, len(x))
        vals = [x[i] for i in range(lo, hi) if bits[i] and x[i] == x[i]]
        if not vals:
            return self.fallback()
        vals.sort()  # the k-th smallest is what the selection returns (+0/-0 aside)
        return vals[percentile_rank(len(vals), self.p)]


def _as_lists(signal, mask, dtype):
    x = np.asarray(signal, dtype=np.dtype(dtype)).tolist()  # float32 widens exactly
    bits = (np.asarray(mask, dtype=np.bool_).view(np.uint8) & 1).tolist()  # lowest bit only
    return x, bits


def kernel_reference(signal, mask, position, window_samples, percentile, dtype="float64"):
    """The unsmoothed kernel value at one position."""
    x, bits = _as_lists(signal, mask, dtype)
    return _Kernel(x, bits, int(window_samples), percentile)(position)


def interpolate_reference(anchors, step, n):
    """Per-position anchor interpolation, in float64.

    Elementwise NumPy float64 operations in the kernel's order (subtract, subtract, divide,
    subtract, multiply, add), each rounded on its own. Where x1 - x0 is not finite the nearer
    anchor stands in (x0 for t <= 0.5, else x1), so past the last anchor x1 is held.
    """
    m = len(anchors)
    if m == 1:
        return np.full(n, anchors[0], dtype=np.float64)
    anc = np.asarray(anchors, dtype=np.float64)
    i = np.arange(n, dtype=np.int64)
    lo = np.minimum(i // step, m - 2)
    hi = np.minimum(lo + 1, m - 1)
    x0, x1 = anc[lo], anc[hi]
    with np.errstate(all="ignore"):
        a = i.astype(np.float64) - (lo * step).astype(np.float64)
        b = (hi * step).astype(np.float64) - (lo * step).astype(np.float64)
        t = a / b
        d = x1 - x0
        value = x0 + t * d
    return np.where(np.isfinite(d), value, np.where(t <= 0.5, x0, x1))


def smoothing_width(window_samples):
    wq = max(window_samples // 10, 3)
    return wq | 1, wq // 2  # (L, g)


def smooth_reference(base, g, chunk=SMOOTHING_CHUNK):
    """Centred running mean; the sum restarts at every chunk and holds finite values only.

    Non-finite values are counted instead: NaN, or both infinities, in the window gives NaN;
    one sign of infinity gives that infinity.
    """
    n = len(base)
    out = [0.0] * n
    for b in range(0, n, chunk):
        total = 0.0
        nans = pinfs = ninfs = 0
        add = rem = max(b - g, 0)
        for j in range(b, min(b + chunk, n)):
            hj = min(j + g + 1, n)
            while add < hj:
                v = base[add]
                add += 1
                if v - v == 0.0:
                    total += v
                elif v != v:
                    nans += 1
                elif v > 0.0:
                    pinfs += 1
                else:
                    ninfs += 1
            lj = j - g if j >= g else 0
            while rem < lj:
                v = base[rem]
                rem += 1
                if v - v == 0.0:
                    total -= v
                elif v != v:
                    nans -= 1
                elif v > 0.0:
                    pinfs -= 1
                else:
                    ninfs -= 1
            if nans or (pinfs and ninfs):
                out[j] = math.nan
            elif pinfs:
                out[j] = math.inf
            elif ninfs:
                out[j] = -math.inf
            else:
                out[j] = total / float(hj - lj)
    return out


def _narrowed(values, dtype):
    """Store float64 values in the element type (round to nearest even) and read them back."""
    with np.errstate(over="ignore"):
        return np.asarray(values, dtype=np.float64).astype(dtype).astype(np.float64).tolist()


@cached
def baseline_reference(signal, mask, window_samples, percentile, dtype="float64"):
    """The whole baseline: kernel (direct or at anchors), interpolation, smoothing."""
    dtype = np.dtype(dtype)
    x, bits = _as_lists(signal, mask, dtype)
    n = len(x)
    w = int(window_samples)
    if n == 0:
        return np.empty(0, dtype=dtype)
    if len(bits) < n:
        raise IndexError(f"index out of bounds: the len is {len(bits)} but the index is {len(bits)}")

    kernel = _Kernel(x, bits, w, percentile)
    if n * w <= DIRECT_WORK_LIMIT:
        base = [kernel(a) for a in range(n)]
    else:
        step = max(w // 4, 1)
        m = (n + step - 1) // step
        anchors = [kernel(k * step) for k in range(m)]
        base = _narrowed(interpolate_reference(anchors, step, n), dtype)

    width, g = smoothing_width(w)
    if n >= width:
        base = smooth_reference(base, g)
    with np.errstate(over="ignore"):
        return np.asarray(base, dtype=np.float64).astype(dtype)
