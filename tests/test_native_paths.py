"""Every instruction-set variant of the native kernels against plain C++ evaluations.

The module picks one variant for the processor it runs on; these harnesses build
the kernels directly and run each variant the processor supports.
"""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wno-psabi", f"-I{ROOT / 'src'}"]


def build_and_run(tmp_path, harness, sources):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("needs a C++ compiler")
    program = tmp_path / "harness"
    subprocess.run([compiler, *FLAGS, str(ROOT / "tests" / "native" / harness),
                    *map(str, sources), "-o", str(program)], check=True, timeout=300)
    out = subprocess.run([str(program)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.strip().endswith("0 failed")


def test_pelt_scan_variants_match_the_plain_recursion(tmp_path):
    sources = [*sorted((ROOT / "src" / "changepoint").glob("*.cpp")), ROOT / "src" / "core" / "fault.cpp"]
    build_and_run(tmp_path, "pelt_paths.cpp", sources)


def test_key_pass_variants_match_plain_loops(tmp_path):
    build_and_run(tmp_path, "key_paths.cpp", sorted((ROOT / "src" / "baseline").glob("key_passes*.cpp")))
