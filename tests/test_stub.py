"""The type stub: installed where type checkers look, and in step with the module."""

import os
import pathlib
import subprocess
import sys

import pytest

import _vorn_ext

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "_vorn_ext.pyi"


def test_installed_stubs_are_the_repository_stub():
    site = pathlib.Path(_vorn_ext.__file__).parent
    for installed in (site / "_vorn_ext.pyi", site / "_vorn_ext-stubs" / "__init__.pyi"):
        assert installed.is_file(), f"{installed} was not installed"
        assert installed.read_text() == STUB.read_text(), f"{installed} is out of date"


def test_stub_matches_the_module(tmp_path):
    pytest.importorskip("mypy.stubtest")
    # The stub is handed over through MYPYPATH so that stubtest cannot pass by
    # not finding it at all, which it reports as success.
    (tmp_path / "_vorn_ext.pyi").write_text(STUB.read_text())
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_vorn_ext"],
                         cwd=tmp_path, env={**os.environ, "MYPYPATH": str(tmp_path)},
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Success: no issues found in 1 module" in run.stdout
