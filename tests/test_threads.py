"""Threads: the lock is released during a baseline, results ignore the worker count."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from _vorn_ext import local_baseline_percentile, local_baseline_percentile_f32, pelt


def long_inputs(n=3_000_000, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n).cumsum()
    x[rng.integers(0, n, n // 100)] = np.nan
    m = rng.random(n) < 0.9
    return x, m


def test_other_python_threads_run_during_a_call():
    x, m = long_inputs()
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.01)
    # Calls until 0.1 s were spent inside them, however fast the machine. A
    # tick is stamped while the ticker holds the lock, so none can fall inside
    # a call that keeps it.
    calls = []
    try:
        while sum(end - start for start, end in calls) < 0.1 and len(calls) < 1000:
            start = time.perf_counter()
            local_baseline_percentile(x, m, 1001, 10.0)
            calls.append((start, time.perf_counter()))
    finally:
        done.set()
        thread.join()
    during = [t for t in ticks if any(start < t < end for start, end in calls)]
    assert len(during) >= 3


def test_concurrent_calls_on_shared_arrays_match_serial():
    x, m = long_inputs(400_000, seed=2)
    xf = x.astype(np.float32)
    jobs = [(local_baseline_percentile, x, 101, 10.0), (local_baseline_percentile_f32, xf, 101, 50.0),
            (local_baseline_percentile, x, 1001, 90.0), (local_baseline_percentile_f32, xf, 31, 5.0)]
    expected = [f(s, m, w, p) for f, s, w, p in jobs]
    pelt_signal = list(np.random.default_rng(3).normal(size=300))
    pelt_expected = pelt(pelt_signal, 1.0, 5)
    results = {}

    def work(k):
        f, s, w, p = jobs[k % len(jobs)]
        results[k] = f(s, m, w, p)
        results[("pelt", k)] = pelt(pelt_signal, 1.0, 5)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(8):
        np.testing.assert_array_equal(results[k], expected[k % len(jobs)])
        assert results[("pelt", k)] == pelt_expected


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs sched_setaffinity")
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
@pytest.mark.emulation_slow
def test_one_processor_gives_the_same_results():
    script = textwrap.dedent("""
        import os, sys, hashlib
        import numpy as np
        if sys.argv[1] == "one":
            os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        from _vorn_ext import local_baseline_percentile as f64, local_baseline_percentile_f32 as f32
        rng = np.random.default_rng(5)
        n = 2_500_000
        x = rng.normal(size=n).cumsum()
        x[rng.integers(0, n, 1000)] = np.nan
        m = rng.random(n) < 0.9
        h = hashlib.sha256()
        for w, p in [(3, 50.0), (101, 10.0), (1001, 10.0), (8, 25.0)]:
            h.update(f64(x, m, w, p).tobytes())
            h.update(f32(x.astype(np.float32), m, w, p).tobytes())
        h.update(f64(x[:3000], m, 3000, 30.0).tobytes())
        print(h.hexdigest())
    """)
    outputs = [subprocess.run([sys.executable, "-c", script, mode], capture_output=True,
                              text=True, timeout=300) for mode in ("one", "all")]
    for out in outputs:
        assert out.returncode == 0, out.stderr
    assert outputs[0].stdout == outputs[1].stdout


def test_peak_memory_of_a_long_call_stays_within_its_buffers():
    # The baseline, the smoothed result and the anchors are the only large
    # buffers a call may hold at once; the scratch buffers are W values each.
    script = textwrap.dedent("""
        import resource
        import numpy as np
        from _vorn_ext import local_baseline_percentile
        n = 8_000_000
        x = np.random.default_rng(0).normal(size=n)
        m = np.ones(n, dtype=bool)
        local_baseline_percentile(x[:1000], m[:1000], 101, 10.0)  # pool and NumPy set up
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        result = local_baseline_percentile(x, m, 1001, 10.0)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(after - before)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    n, step = 8_000_000, 250
    allowed = 2 * n * 8 + 8 * (n // step + 1) + 16 * 2**20
    assert int(out.stdout) <= allowed
