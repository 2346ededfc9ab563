"""Every instruction-set variant of the native kernels against plain C++ evaluations.

The module picks one variant for the processor it runs on; these harnesses build
the kernels directly and run each variant the processor supports.
"""

import os
import pathlib
import shlex
import shutil
import subprocess

import pytest

from harness import PROCESSORS

ROOT = pathlib.Path(__file__).resolve().parent.parent
FLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wno-psabi", f"-I{ROOT / 'src'}"]
# Another compiler (Clang; a cross compiler) and a command that runs its programs (an emulator).
RUN = shlex.split(os.environ.get("VORN_NATIVE_RUN", ""))


def find_compiler():
    compiler = os.environ.get("VORN_NATIVE_CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("needs a C++ compiler")
    return compiler


@pytest.fixture(scope="session")
def build(tmp_path_factory):
    """Compiles each (source, flags) pair once per session, on every core, and links programs."""
    compiler = find_compiler()
    folder = tmp_path_factory.mktemp("objects")
    objects = {}

    def compile_one(source, extra):
        key = (str(source), extra)
        if key not in objects:
            target = folder / f"{len(objects)}-{pathlib.Path(source).stem}.o"
            objects[key] = (target, subprocess.Popen([compiler, *FLAGS, *extra, "-c", str(source), "-o", str(target)]))
        return key

    def link(program, units):
        """units: (source, extra flags) pairs; compiles those not yet built, then links."""
        keys = []
        for source, extra in units:
            while sum(process.poll() is None for _, process in objects.values()) >= PROCESSORS:
                next(process for _, process in objects.values() if process.poll() is None).wait(timeout=300)
            keys.append(compile_one(source, tuple(extra)))
        for key in keys:
            assert objects[key][1].wait(timeout=300) == 0, f"compiling {key} failed"
        subprocess.run([compiler, *[str(objects[key][0]) for key in keys], "-o", str(program)], check=True, timeout=300)
        return program

    return link


def build_and_run(build, tmp_path, harness, sources):
    program = build(tmp_path / "harness", [(ROOT / "tests" / "native" / harness, ()), *((s, ()) for s in sources)])
    out = subprocess.run([*RUN, str(program)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.strip().endswith("0 failed")


def test_pelt_scan_variants_match_the_plain_recursion(build, tmp_path):
    sources = [*sorted((ROOT / "src" / "changepoint").glob("*.cpp")), ROOT / "src" / "core" / "fault.cpp"]
    build_and_run(build, tmp_path, "pelt_paths.cpp", sources)


def test_key_pass_variants_match_plain_loops(build, tmp_path):
    build_and_run(build, tmp_path, "key_paths.cpp", sorted((ROOT / "src" / "baseline").glob("key_passes*.cpp")))


# The module runs the key-pass variant its processor selects; these builds of the whole baseline
# pipeline force each narrower one and run on pieces of random lengths in a shuffled order. The
# cases are those that test_baseline_paths checks against the reference model on the module.
PIPELINE_CASES = [
    ("drift", 60_000, 100, 10.0, "float64", "direct"),
    ("steps", 30_000, 301, 90.0, "float32", "direct"),
    ("ties", 50_000, 7, 50.0, "float32", "direct"),
    ("nonfinite", 40_000, 40, 100.0, "float64", "direct"),
    ("drift", 1_100_000, 1001, 10.0, "float64", "anchor"),
    ("steps", 1_100_000, 1003, 75.0, "float32", "anchor"),
    ("nonfinite", 400_000, 41, 50.0, "float64", "anchor"),
    ("ties", 300_000, 200, 33.3, "float64", "anchor"),
    ("blocked", 1_100_000, 1001, 10.0, "float64", "anchor"),
    ("walk", 2_000_000, 200_001, 10.0, "float32", "anchor"),
    # 220 anchors: with 64 workers each starts on 3 or 4 and takes the later half of another's.
    ("walk", 1_100_000, 20_001, 10.0, "float64", "anchor"),
    ("nonfinite", 700_000, 131_075, 100.0, "float32", "anchor"),
    ("ties", 500_000, 140_002, 33.3, "float64", "anchor"),
    ("nonfinite", 200_000, 3, 50.0, "float32", "direct"),
    ("ties", 120_000, 33, 66.0, "float64", "direct"),
    ("nonfinite", 100_000, 35, 90.0, "float32", "direct"),
    ("steps", 19_500, 514, 10.0, "float32", "direct"),
    ("outliers", 9_500, 1000, 25.0, "float64", "direct"),
    ("nonfinite", 1_430_000, 7, 10.0, "float32", "anchor"),
    ("nonfinite", 420_000, 25, 50.0, "float64", "anchor"),
    # Five smoothing chunks, the last 5,696 positions: a pair and three side by side with one
    # worker (the third ends first), one at a time with many, and on the module's two cores.
    ("nonfinite", 4_200_000, 1001, 10.0, "float64", "anchor"),
    # Six chunks, three side by side with one worker, out of phase: each lane reads its own
    # fractions (no lane table at this step).
    ("drift", 5_300_000, 200_001, 50.0, "float64", "anchor"),
    ("drift", 4_200_000, 4001, 50.0, "float32", "anchor"),
    ("subnormal", 4_200_000, 4001, 50.0, "float32", "anchor"),  # smoothed values rounded as float32 subnormals
    # Fused per chunk with one worker (odd split seeds), separate passes with many.
    ("blocked", 1_100_000, 5, 10.0, "float32", "fused"),
    ("nonfinite", 2_100_001, 17, 25.0, "float32", "fused"),
]


@pytest.fixture(scope="module")
def pipeline_builds(build, tmp_path_factory):
    folder = tmp_path_factory.mktemp("pipeline")
    # Only key_passes.cpp reads the variant caps; the other objects are shared by the builds.
    shared = [(ROOT / "tests" / "native" / "baseline_variants.cpp", ()), (ROOT / "src" / "core" / "fault.cpp", ())]
    shared += [(p, ()) for p in sorted((ROOT / "src" / "baseline").glob("*.cpp"))
               if not p.name.startswith("pool") and p.name != "key_passes.cpp"]
    builds = {}
    for cap in ["", "-DVORN_AVX2_KEY_PASSES", "-DVORN_PORTABLE_KEY_PASSES"]:
        units = [*shared, (ROOT / "src" / "baseline" / "key_passes.cpp", tuple(filter(None, [cap])))]
        program = build(folder / f"pipeline{cap}", units)
        name = subprocess.run([*RUN, str(program)], capture_output=True, text=True).stdout.strip()
        builds.setdefault(name, program)  # the variant each build ends up with on this processor
    return builds


def test_masked_run_search_whole_and_in_stretches(pipeline_builds):
    # The search decides only how the fallback median is gathered, never its value, so the
    # pipeline cases cannot see a fault in it: the harness checks it against a plain scan.
    run = subprocess.run([*RUN, str(pipeline_builds["portable"]), "masked-runs"], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("kind, n, window, percentile, dtype, label", PIPELINE_CASES)
@pytest.mark.emulation_slow
def test_baseline_pipeline_with_every_key_pass_variant(pipeline_builds, tmp_path, kind, n, window, percentile, dtype,
                                                       label):
    import numpy as np

    import _vorn_ext
    from test_baseline_paths import _signal

    signal, mask = _signal(kind, n, dtype, label)
    function = _vorn_ext.local_baseline_percentile if dtype == "float64" else _vorn_ext.local_baseline_percentile_f32
    want = function(signal, mask, window, percentile)
    case = tmp_path / "case.bin"
    header = np.array([signal.itemsize, n, window], np.uint64).tobytes() + np.float64(percentile).tobytes()
    case.write_bytes(header + signal.tobytes() + mask.view(np.uint8).tobytes())
    assert "portable" in pipeline_builds
    for variant, program in pipeline_builds.items():
        for seed in (1, 2):
            out = tmp_path / f"{variant}-{seed}.bin"
            run = subprocess.run([*RUN, str(program), str(case), str(out), str(seed)], capture_output=True, timeout=300)
            assert run.returncode == 0, (variant, run.stderr)
            got = np.frombuffer(out.read_bytes(), dtype=dtype)
            np.testing.assert_array_equal(got, want, err_msg=f"{variant} split {seed}: {kind} n={n} W={window}")
