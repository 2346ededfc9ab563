"""Module shape, PanicException, the owner-interpreter rule and exported symbols."""

import importlib
import inspect
import json
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _vorn_ext


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_registered_functions_and_docs():
    assert _vorn_ext.__all__ == ["pelt", "local_baseline_percentile", "local_baseline_percentile_f32"]
    assert _vorn_ext.pelt.__doc__ is None
    assert _vorn_ext.local_baseline_percentile.__doc__ == (
        "Sliding-window percentile baseline over unmasked samples (float64).")
    assert _vorn_ext.local_baseline_percentile_f32.__doc__ == (
        "Sliding-window percentile baseline over unmasked samples (float32).")
    assert list(inspect.signature(_vorn_ext.local_baseline_percentile).parameters) == [
        "signal", "mask", "window_samples", "percentile"]
    assert list(inspect.signature(_vorn_ext.pelt).parameters) == [
        "signal", "penalty_factor", "min_segment_samples"]
    for name in _vorn_ext.__all__:
        function = getattr(_vorn_ext, name)
        assert function.__self__ is _vorn_ext
        assert function.__module__ == "_vorn_ext"
    public = {k for k in vars(_vorn_ext) if not k.startswith("__")}
    assert public == set(_vorn_ext.__all__)
    assert not hasattr(_vorn_ext, "PanicException")


def test_reimport_gives_the_same_module():
    functions = [getattr(_vorn_ext, n) for n in _vorn_ext.__all__]
    del sys.modules["_vorn_ext"]
    again = importlib.import_module("_vorn_ext")
    assert again is _vorn_ext
    assert [getattr(again, n) for n in again.__all__] == functions
    assert len(again.__all__) == 3


def contiguity_fault():
    x = np.zeros(8)
    try:
        _vorn_ext.local_baseline_percentile(x[::2], np.ones(4, bool), 3, 50.0)
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        return e
    raise AssertionError("no fault raised")


def test_panic_exception_shape():
    first, second = contiguity_fault(), contiguity_fault()
    panic = type(first)
    assert type(second) is panic
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "tesk_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert first.args == ("signal must be contiguous: NotContiguousError",)
    assert str(first) == "signal must be contiguous: NotContiguousError"
    doc = panic.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "internal fault" in doc and "BaseException" in doc and "SystemExit" in doc


def test_panic_is_not_caught_by_except_exception():
    with pytest.raises(BaseException) as info:
        try:
            contiguity_fault_raising()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    assert type(info.value).__name__ == "PanicException"


def contiguity_fault_raising():
    _vorn_ext.local_baseline_percentile(np.zeros(8)[::2], np.ones(4, bool), 3, 50.0)


def test_fault_report_names_thread_position_and_backtrace_setting():
    result = run_python("""
        import numpy as np, _vorn_ext
        try:
            _vorn_ext.local_baseline_percentile(np.zeros(8)[::2], np.ones(4, bool), 3, 50.0)
        except BaseException as e:
            print(type(e).__name__, e)
    """)
    assert result.stdout.strip() == "PanicException signal must be contiguous: NotContiguousError"
    report = result.stderr
    assert "thread 'main'" in report and "os id" in report
    assert ".cpp:" in report and "signal must be contiguous: NotContiguousError" in report
    assert "VORN_EXT_BACKTRACE" in report


def test_panic_raised_by_user_code_is_resumed_as_a_fault():
    # A PanicException that Python code raises during conversion is not an
    # ordinary conversion error: it comes back as a fault with the same text.
    result = run_python("""
        import numpy as np, _vorn_ext
        try:
            _vorn_ext.local_baseline_percentile(np.zeros(8)[::2], np.ones(4, bool), 3, 50.0)
        except BaseException as e:
            panic = e
        class Bad:
            def __float__(self):
                raise panic
        try:
            _vorn_ext.pelt([1.0, Bad()], 1.0, 2)
        except BaseException as e:
            print(type(e) is type(panic), e.args)
        print(_vorn_ext.pelt([0, 1, 0, 1, 5, 6, 5, 6], 1.0, 2))
    """)
    lines = result.stdout.splitlines()
    assert lines == ["True ('signal must be contiguous: NotContiguousError',)", "[4]"], result.stderr
    assert "PanicException was fetched from Python" in result.stderr
    assert "Traceback" in result.stderr and "__float__" in result.stderr


def test_capacity_overflow_is_a_fault_and_the_process_goes_on():
    class Huge:
        def __len__(self):
            return 2**61

        def __getitem__(self, i):
            raise IndexError

    with pytest.raises(BaseException) as info:
        _vorn_ext.pelt(Huge(), 1.0, 2)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("capacity overflow",)
    assert _vorn_ext.pelt([0, 1, 0, 1, 5, 6, 5, 6], 1.0, 2) == [4]


def test_allocation_failure_is_memory_error():
    class Large:
        def __len__(self):
            return 2**58

        def __getitem__(self, i):
            raise IndexError

    with pytest.raises(MemoryError) as info:
        _vorn_ext.pelt(Large(), 1.0, 2)
    assert info.value.args == ("memory allocation of 2305843009213693952 bytes failed",)
    assert _vorn_ext.pelt([0, 1, 0, 1, 5, 6, 5, 6], 1.0, 2) == [4]


SUB_INTERPRETERS = """
    import json, re, sys
    import _vorn_ext
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    # Each kind of sub-interpreter this version offers. One with a lock of its own is refused
    # by the import system itself from 3.12 on (single-phase modules load only where the main
    # lock is shared); one sharing the main interpreter's lock reaches the module's own check.
    if hasattr(interpreters, "new_config"):
        kinds = {"own lock": lambda: interpreters.create(interpreters.new_config("isolated")),
                 "shared lock": lambda: interpreters.create(interpreters.new_config("legacy"))}
    elif sys.version_info >= (3, 12):
        kinds = {"own lock": lambda: interpreters.create(isolated=True),
                 "shared lock": lambda: interpreters.create(isolated=False)}
    else:
        kinds = {"shared lock": interpreters.create}

    outcomes = {}
    for kind, create in kinds.items():
        interp = create()
        try:
            try:
                outcome = interpreters.run_string(interp, "import _vorn_ext")
            except Exception as e:  # up to 3.12 a failure in the sub-interpreter is raised here
                outcome = re.sub(r"<class '(?:\\w+\\.)*(\\w+)'>", r"\\1", str(e))
            if outcome is None:
                outcome = "imported"
            elif not isinstance(outcome, str):  # from 3.13 it is returned as a snapshot
                outcome = f"{outcome.type.__name__}: {outcome.msg}"
            outcomes[kind] = outcome
        finally:
            interpreters.destroy(interp)
    outcomes["main"] = _vorn_ext.pelt([0, 1, 0, 1, 5, 6, 5, 6], 1.0, 2)
    print(json.dumps(outcomes))
"""


def test_sub_interpreters_are_refused_and_main_keeps_working():
    result = run_python(SUB_INTERPRETERS)
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = json.loads(result.stdout)
    assert outcomes.pop("main") == [4]
    # Every version offers one sharing the main lock, so the module's own refusal is always shown.
    assert outcomes["shared lock"] == (
        "ImportError: _vorn_ext does not support sub-interpreters; import it in the main interpreter only.")
    if sys.version_info >= (3, 12):
        assert outcomes["own lock"] in (
            "ImportError: module _vorn_ext does not support loading in subinterpreters",
            outcomes["shared lock"]), outcomes
    assert set(outcomes) == ({"shared lock", "own lock"} if sys.version_info >= (3, 12) else {"shared lock"})


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_init_function_is_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", _vorn_ext.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit__vorn_ext"]
