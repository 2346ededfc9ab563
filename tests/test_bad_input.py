"""Bad input of every kind through every parameter: no crash, hang or leak, the documented error."""

import json
import pathlib
import sys

import numpy as np
import pytest

from _vorn_ext import local_baseline_percentile, local_baseline_percentile_f32
from harness import SANITIZED, run_script

SWEEP = pathlib.Path(__file__).with_name("bad_inputs.py")


def sweep(repeats):
    # In a child interpreter: a crash or a hang fails this test instead of ending the run.
    out = run_script(SWEEP, repeats, timeout=900)
    assert out.returncode == 0, out.stderr[-5000:]
    report = json.loads(out.stdout)
    assert report["cases"] > 400
    assert report["mismatches"] == {}
    assert report["moved_references"] == {}
    if not SANITIZED:
        # A leaked object per call in any one case would add `repeats` blocks.
        worst_case, growth = report["largest_block_growth"][0]
        assert growth < repeats // 2, (worst_case, growth)
        assert report["rss_growth"] < 4 * 2**20, report["rss_growth"]
    return report


def check_total_references(report, repeats):
    # A reference leaked per call, to any object, would add `repeats`.
    assert report["counts_total_references"]
    worst_case, growth = report["largest_total_reference_growth"][0]
    assert growth < repeats // 2, report["largest_total_reference_growth"]


@pytest.fixture(scope="module")
def report():
    return sweep(repeats=300)


@pytest.mark.emulation_slow
def test_every_bad_argument_ends_in_its_documented_outcome(report):
    assert report["calls"] == 300 * report["cases"]


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                    reason="only a debug interpreter counts all references (scripts/test_pythons.sh runs one)")
def test_no_error_path_leaves_a_reference_behind(report):
    check_total_references(report, 300)


@pytest.mark.stress
def test_every_bad_argument_ends_in_its_documented_outcome_stress():
    report = sweep(repeats=5000)
    if report["counts_total_references"]:
        check_total_references(report, 5000)


@pytest.mark.parametrize("function, dtype", [(local_baseline_percentile, np.float64),
                                             (local_baseline_percentile_f32, np.float32)])
@pytest.mark.parametrize("window", [31, 4001])  # the direct path and the anchor path
def test_unaligned_signals_give_the_aligned_results(function, dtype, window):
    # A view one byte into a buffer is contiguous but not aligned for its
    # element type; it must be read correctly (and without misaligned loads,
    # which the sanitizer build reports).
    rng = np.random.default_rng(4)
    x = rng.normal(size=60_000).astype(dtype)
    m = rng.random(x.size) < 0.9
    raw = np.zeros(x.nbytes + 1, np.uint8)
    shifted = raw[1:].view(dtype)
    shifted[:] = x
    assert not shifted.flags.aligned and shifted.flags.c_contiguous
    np.testing.assert_array_equal(function(shifted, m, window, 20.0), function(x, m, window, 20.0))
    np.testing.assert_array_equal(function(shifted[:0], m, window, 20.0), function(x[:0], m, window, 20.0))
