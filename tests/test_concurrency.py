"""Many Python threads at once: shared inputs give the serial outcomes, first use races safely."""

import threading

import numpy as np
import pytest

from _vorn_ext import local_baseline_percentile, local_baseline_percentile_f32, pelt
from harness import run_python
from test_arrays import registry_struct

JOBS = """
import numpy as np
import _vorn_ext

rng = np.random.default_rng(11)
n = 200_000
x = rng.normal(size=n).cumsum()
x[rng.integers(0, n, 500)] = np.nan
m = rng.random(n) < 0.9
xf = x.astype(np.float32)
p = rng.normal(size=300).tolist()

# Successes on both paths and both element types, pelt, an empty result, and
# one call down each kind of failure: faults in the driver and at intake,
# conversion errors, and an intake type error.
JOBS = [
    lambda: _vorn_ext.local_baseline_percentile(x, m, 101, 10.0),
    lambda: _vorn_ext.local_baseline_percentile_f32(xf, m, 31, 50.0),
    lambda: _vorn_ext.pelt(p, 1.0, 5),
    lambda: _vorn_ext.local_baseline_percentile(x, m, 1001, 90.0),
    lambda: _vorn_ext.local_baseline_percentile_f32(xf, m[:1000], 101, 10.0),
    lambda: _vorn_ext.local_baseline_percentile_f32(xf[:0], m, 101, 10.0),
    lambda: _vorn_ext.local_baseline_percentile(x[::2], m, 101, 10.0),
    lambda: _vorn_ext.local_baseline_percentile(x, m, -1, 10.0),
    lambda: _vorn_ext.local_baseline_percentile(x, m.astype(np.uint8), 5, 10.0),
    lambda: _vorn_ext.local_baseline_percentile_f32(xf, m, 4001, 5.0),
    lambda: _vorn_ext.pelt(p[:50], "high", 2),
]

def outcome(job):
    try:
        value = job()
    except BaseException as error:
        return (type(error).__module__, type(error).__name__, str(error)), id(type(error))
    if isinstance(value, np.ndarray):
        return ("array", str(value.dtype), value.tobytes()), None
    return ("list", value), None
"""

namespace = {}
exec(JOBS, namespace)
outcome = namespace["outcome"]


@pytest.mark.emulation_slow
def test_threads_calling_all_functions_on_shared_inputs_match_serial():
    jobs = namespace["JOBS"]
    expected = [outcome(job) for job in jobs]
    threads, rounds = 12, 4
    barrier = threading.Barrier(threads)
    got = {}

    def work(k):
        for r in range(rounds):
            barrier.wait()
            for j in range(len(jobs)):
                index = (j + k + r) % len(jobs)  # every job runs in some thread at once
                got[(k, r, index)] = outcome(jobs[index])

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert len(got) == threads * rounds * len(jobs)
    for (k, r, index), value in got.items():
        assert value == expected[index], (k, r, index)
    # every read registration was withdrawn: an exclusive borrow succeeds
    registry = registry_struct()
    for array in (namespace["x"], namespace["m"], namespace["xf"]):
        assert registry.acquire_exclusive(registry.state, array) == 0
        registry.release_exclusive(registry.state, array)


FIRST_USE = JOBS.replace("import _vorn_ext\n", "") + """
import sys, threading
threads = int(sys.argv[1])
barrier = threading.Barrier(threads)
got = [None] * threads

def first(k):
    barrier.wait()
    global _vorn_ext
    import _vorn_ext  # the import itself races too
    got[k] = outcome(JOBS[k % len(JOBS)])

workers = [threading.Thread(target=first, args=(k,)) for k in range(threads)]
for w in workers:
    w.start()
for w in workers:
    w.join()
expected = [outcome(JOBS[k % len(JOBS)]) for k in range(threads)]
print(all(g[0] == e[0] for g, e in zip(got, expected)))
# one PanicException type for the process, whichever thread made it
print(len({g[1] for g in got + expected if g[1] is not None and g[0][1] == "PanicException"}))
"""


def check_first_use(processes, threads=len(namespace["JOBS"]) + 3):
    for _ in range(processes):
        out = run_python(FIRST_USE, threads, timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split() == ["True", "1"], out.stdout + out.stderr


@pytest.mark.emulation_slow
def test_first_calls_from_several_threads_in_a_fresh_process():
    # The module, the NumPy table, the borrow registry, the result container
    # type, PanicException and the pool are all set up during these calls.
    check_first_use(processes=6)


@pytest.mark.stress
def test_first_calls_from_several_threads_in_a_fresh_process_stress():
    check_first_use(processes=150)


def test_results_are_independent_of_concurrent_failures_on_the_same_arrays():
    # Failing calls (short mask, bad arguments) interleaved with good ones on
    # the very same arrays leave no registration behind and no damage.
    rng = np.random.default_rng(5)
    x = rng.normal(size=50_000)
    m = rng.random(50_000) < 0.8
    want = local_baseline_percentile(x, m, 51, 25.0)
    failures = []

    def fail_repeatedly():
        for _ in range(40):
            for bad in (lambda: local_baseline_percentile(x[:300], m[:100], 51, 25.0),
                        lambda: local_baseline_percentile(x, m, 2**64, 25.0),
                        lambda: local_baseline_percentile_f32(x, m, 51, 25.0),
                        lambda: pelt(x[:20], float("nan"), -1)):
                try:
                    bad()
                except BaseException:  # noqa: B036 - PanicException included
                    continue
                failures.append("a bad call succeeded")

    noisy = [threading.Thread(target=fail_repeatedly) for _ in range(3)]
    for t in noisy:
        t.start()
    calls = 0
    while calls < 20 or any(t.is_alive() for t in noisy):
        np.testing.assert_array_equal(local_baseline_percentile(x, m, 51, 25.0), want)
        calls += 1
    for t in noisy:
        t.join()
    assert not failures
    registry = registry_struct()
    for array in (x, m):
        assert registry.acquire_exclusive(registry.state, array) == 0
        registry.release_exclusive(registry.state, array)
