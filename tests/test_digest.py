"""One fixed battery of calls, hashed: the same numbers on every architecture and compiler.

Every operation in the kernels is rounded on its own in a fixed order, so an x86-64 build (with
either vector variant or none), an aarch64 build and a Clang build must agree to the bit. The
digests below were taken on x86-64; scripts/test_aarch64.sh and scripts/test_clang.sh run this
test against the same ones. Run as a script, this prints every call's digest and the total.

Inputs come from integer draws and exact scalings only (no logarithms or exponentials, whose
last bit is the platform library's business), so they are the same everywhere too. NaN outputs
are hashed as one canonical NaN: a NaN born of arithmetic has no portable sign.
"""

import hashlib
import math
import sys

import numpy as np

import _vorn_ext

DIRECT_WORK_LIMIT = 10_000_000  # above n * window the baselines take the anchor path

EXPECTED = {
    'f64/drift/60000/101/10.0/direct': 'c4a712e3bf4af5a8',
    'f32/drift/60000/101/10.0/direct': '9aa5afd45499c237',
    'f64/steps/40000/301/90.0/anchor': '3081e272b8cd1d90',
    'f32/steps/40000/301/90.0/anchor': '95714e347fa6449a',
    'f64/ties/30000/7/50.0/direct': 'cd9c05a6900dc2a7',
    'f32/ties/30000/7/50.0/direct': '9c4acd531a6aa336',
    'f64/nonfinite/40000/40/100.0/direct': 'b349238e69832fa1',
    'f32/nonfinite/40000/40/100.0/direct': '62241fd09f279120',
    'f64/nonfinite/20000/2/0.0/direct': '7f06b92e0931bfb6',
    'f32/nonfinite/20000/2/0.0/direct': '4f52c23926252262',
    'f64/drift/300000/61/25.0/anchor': 'a21140f5638cb293',
    'f32/drift/300000/61/25.0/anchor': '8055a4e44aaf0c8e',
    'f64/steps/250000/1001/75.0/anchor': '0f26c1f780f34129',
    'f32/steps/250000/1001/75.0/anchor': 'b69009274c880377',
    'f64/nonfinite/300000/41/50.0/anchor': '86308599093c2297',
    'f32/nonfinite/300000/41/50.0/anchor': '2cebb3a477640cf1',
    'f64/ties/200000/200/33.3/anchor': '1b9df1ff1973704a',
    'f32/ties/200000/200/33.3/anchor': '3e4d4951732b8486',
    'pelt/mean_steps/4000/1.0/5': '0d9667a98ec22320',
    'pelt/variance_steps/4000/1.5/10': 'd95396b9df65cb68',
    'pelt/ramp/3000/0.5/2': 'bd59c3d217a5c759',
    'pelt/constant_runs/3000/1.0/3': '3b2eaf306b1a1307',
    'pelt/ties/3000/2.0/20': '2445bbde539472a6',
    'pelt/nonfinite/2000/1.0/5': '35d686532ea8b7cb',
}
EXPECTED_TOTAL = "bced9d8dba5e0b28aa933ec438a7f9374d525664d099b2d05d690436a3d86cd5"


def _signal(kind, n, seed):
    rng = np.random.default_rng(seed)
    walk = np.cumsum(rng.integers(-64, 65, n)) * 2.0**-12  # exact: integers scaled by 2^-12
    noise = rng.random(n) - 0.5
    if kind == "drift":
        x = walk + noise
    elif kind == "steps":
        x = np.repeat(rng.integers(-400, 400, n // 700 + 1) * 0.125, 700)[:n] + noise
    elif kind == "ties":
        x = np.array([-1.0, -0.0, 0.0, 2.0, 2.0, 3.5])[rng.integers(0, 6, n)]
    else:  # "nonfinite": runs of NaN and of each infinity
        x = walk + noise
        for value, count in ((math.nan, 40), (math.inf, 12), (-math.inf, 12)):
            for start in rng.integers(0, n, count):
                x[start : start + 1 + int(rng.integers(0, 300))] = value
    x[rng.random(n) < 0.01] = math.nan
    usable = rng.random(n) < 0.9
    usable[int(n * 0.4) : int(n * 0.4) + 2500] = False  # windows that empty out
    # Only the lowest bit of a mask byte counts.
    mask = np.where(usable, rng.choice(np.array([1, 3, 255], np.uint8), n),
                    rng.choice(np.array([0, 2, 254], np.uint8), n)).view(np.bool_)
    return x, mask


BASELINE_CASES = [  # kind, n, window, percentile
    ("drift", 60_000, 101, 10.0),
    ("steps", 40_000, 301, 90.0),
    ("ties", 30_000, 7, 50.0),
    ("nonfinite", 40_000, 40, 100.0),
    ("nonfinite", 20_000, 2, 0.0),
    ("drift", 300_000, 61, 25.0),
    ("steps", 250_000, 1001, 75.0),
    ("nonfinite", 300_000, 41, 50.0),
    ("ties", 200_000, 200, 33.3),
]

PELT_CASES = [  # kind, n, penalty factor, shortest segment
    ("mean_steps", 4_000, 1.0, 5),
    ("variance_steps", 4_000, 1.5, 10),
    ("ramp", 3_000, 0.5, 2),
    ("constant_runs", 3_000, 1.0, 3),
    ("ties", 3_000, 2.0, 20),
    ("nonfinite", 2_000, 1.0, 5),
]


def _pelt_signal(kind, n, seed):
    rng = np.random.default_rng(seed)
    noise = rng.random(n) - 0.5
    levels = np.repeat(rng.integers(-8, 9, n // 250 + 1) * 0.5, 250)[:n]
    if kind == "mean_steps":
        return levels + noise
    if kind == "variance_steps":
        return np.repeat(rng.integers(1, 9, n // 400 + 1) * 0.25, 400)[:n] * noise
    if kind == "ramp":
        return np.arange(n) * 2.0**-8 + noise * 0.25
    if kind == "constant_runs":  # zero residuals: the log floor decides
        return levels
    if kind == "ties":
        return np.array([0.0, 1.0, 1.0, 3.0])[rng.integers(0, 4, n)] + levels
    x = levels + noise
    x[n // 2] = math.inf
    return x


def calls():
    """(label, result array) for every call of the battery, in a fixed order."""
    for number, (kind, n, window, percentile) in enumerate(BASELINE_CASES):
        signal, mask = _signal(kind, n, 1000 + number)
        path = "direct" if n * window <= DIRECT_WORK_LIMIT else "anchor"
        label = f"{kind}/{n}/{window}/{percentile}/{path}"
        yield "f64/" + label, _vorn_ext.local_baseline_percentile(signal, mask, window, percentile)
        yield "f32/" + label, _vorn_ext.local_baseline_percentile_f32(
            signal.astype(np.float32), mask, window, percentile)
    for number, (kind, n, penalty, shortest) in enumerate(PELT_CASES):
        points = _vorn_ext.pelt(_pelt_signal(kind, n, 2000 + number), penalty, shortest)
        yield f"pelt/{kind}/{n}/{penalty}/{shortest}", np.array(points, np.uint64)


def digest(values):
    values = np.ascontiguousarray(values)
    if values.dtype.kind == "f":
        values = np.where(np.isnan(values), values.dtype.type(math.nan), values)
    return hashlib.sha256(values.dtype.str.encode() + values.tobytes()).hexdigest()[:16]


def digests():
    table = {label: digest(values) for label, values in calls()}
    total = hashlib.sha256(repr(sorted(table.items())).encode()).hexdigest()
    return table, total


def test_battery_hashes_to_the_recorded_digests():
    table, total = digests()
    differing = [f"{label}: {table.get(label)} != {want}"
                 for label, want in EXPECTED.items() if table.get(label) != want]
    assert not differing and table.keys() == EXPECTED.keys(), "\n".join(differing)
    assert total == EXPECTED_TOTAL


if __name__ == "__main__":
    table, total = digests()
    if "--table" in sys.argv:
        for label, value in table.items():
            print(f"    {label!r}: {value!r},")
    print(f"battery digest {total}")
