"""NumPy intake, contiguity, result arrays and the borrow registry."""

import ctypes
import gc
import importlib
import weakref

import numpy as np
import pytest

from _vorn_ext import local_baseline_percentile, local_baseline_percentile_f32

FUNCTIONS = [(local_baseline_percentile, np.float64), (local_baseline_percentile_f32, np.float32)]


def failure(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value).__name__, str(info.value)


@pytest.mark.parametrize("function, dtype", FUNCTIONS)
def test_result_array_properties(function, dtype):
    signal = np.linspace(0, 1, 50, dtype=dtype)
    result = function(signal, np.ones(50, bool), 9, 25.0)
    assert type(result) is np.ndarray
    assert result.dtype == dtype and result.dtype.isnative
    assert result.shape == (50,) and result.strides == (np.dtype(dtype).itemsize,)
    assert result.flags.writeable and not result.flags.owndata
    assert result.flags.c_contiguous and result.flags.aligned
    assert type(result.base).__name__ == "PySliceContainer"
    with pytest.raises(TypeError):
        type(result.base)()
    result[0] = 7  # writeable, and the memory is ours to write
    assert result[0] == 7


@pytest.mark.parametrize("function, dtype", FUNCTIONS)
def test_empty_signal(function, dtype):
    for mask in (np.ones(0, bool), np.ones(5, bool)):
        result = function(np.empty(0, dtype=dtype), mask, 5, 50.0)
        assert result.shape == (0,) and result.dtype == dtype
        assert type(result.base).__name__ == "PySliceContainer"


def test_views_outlive_the_result():
    result = local_baseline_percentile(np.arange(100.0), np.ones(100, bool), 3, 50.0)
    expected = result.copy()
    container = weakref.ref(result.base) if hasattr(result.base, "__weakref__") else None
    view = result[10:20]
    del result
    gc.collect()
    np.testing.assert_array_equal(view, expected[10:20])
    if container is not None:
        assert container() is not None


@pytest.mark.parametrize("function, dtype", FUNCTIONS)
def test_intake_type_errors(function, dtype):
    other = np.float32 if dtype == np.float64 else np.float64
    x = np.zeros(4, dtype=dtype)
    m = np.ones(4, bool)
    cases = [
        (lambda: function([0.0] * 4, m, 3, 5.0), "argument 'signal': 'list' object cannot be cast as 'ndarray'"),
        (lambda: function(x.astype(other), m, 3, 5.0), "argument 'signal': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: function(x.reshape(1, 4), m, 3, 5.0), "argument 'signal': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: function(np.array(1.0, dtype=dtype), m, 3, 5.0), "argument 'signal': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: function(np.zeros(4, np.int64), m, 3, 5.0), "argument 'signal': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: function(x, m.astype(np.int8), 3, 5.0), "argument 'mask': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: function(x, m.astype(np.float64), 3, 5.0), "argument 'mask': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: function(x, None, 3, 5.0), "argument 'mask': 'NoneType' object cannot be cast as 'ndarray'"),
        # the mask is not looked at when the signal already failed
        (lambda: function([0.0], None, 3, 5.0), "argument 'signal': 'list' object cannot be cast as 'ndarray'"),
    ]
    for call, text in cases:
        assert failure(call) == ("TypeError", text)


@pytest.mark.parametrize("function, dtype", FUNCTIONS)
def test_contiguity(function, dtype):
    x = np.arange(10, dtype=dtype)
    m = np.ones(10, bool)
    assert failure(lambda: function(x[::2], m[:5], 3, 5.0)) == (
        "PanicException", "signal must be contiguous: NotContiguousError")
    assert failure(lambda: function(x[::-1], m, 3, 5.0)) == (
        "PanicException", "signal must be contiguous: NotContiguousError")
    assert failure(lambda: function(x[:5], m[::2], 3, 5.0)) == (
        "PanicException", "mask must be contiguous: NotContiguousError")
    # conversion errors of later arguments win over contiguity
    assert failure(lambda: function(x[::2], m, -1, 5.0))[0] == "OverflowError"
    # one element, or none, counts as contiguous
    assert function(x[3:4], m[::2][:1], 3, 5.0).shape == (1,)
    assert function(x[::2][:0], m, 3, 5.0).shape == (0,)


def test_read_only_and_subclassed_arrays_are_accepted():
    class Tagged(np.ndarray):
        pass

    x = np.arange(20.0)
    m = np.ones(20, bool)
    expected = local_baseline_percentile(x, m, 5, 50.0)
    ro_x, ro_m = x.copy(), m.copy()
    ro_x.flags.writeable = ro_m.flags.writeable = False
    np.testing.assert_array_equal(local_baseline_percentile(ro_x, ro_m, 5, 50.0), expected)
    np.testing.assert_array_equal(local_baseline_percentile(x.view(Tagged), m.view(Tagged), 5, 50.0), expected)


def test_mask_length_rules():
    x = np.arange(5.0)
    full = local_baseline_percentile(x, np.ones(5, bool), 3, 50.0)
    np.testing.assert_array_equal(local_baseline_percentile(x, np.ones(6, bool), 3, 50.0), full)
    assert failure(lambda: local_baseline_percentile(x, np.ones(3, bool), 3, 50.0)) == (
        "PanicException", "index out of bounds: the len is 3 but the index is 3")


def registry():
    core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
    return getattr(importlib.import_module(core + ".multiarray"), "_vorn_borrow_registry")


class Registry(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire_shared", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release_shared", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
        ("acquire_exclusive", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release_exclusive", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
    ]


def registry_struct():
    capsule = registry()
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return Registry.from_address(get_pointer(capsule, get_name(capsule)))


def test_no_registration_is_left_behind_after_failures():
    x = np.arange(50.0)
    m = np.ones(50, bool)
    reg = registry_struct()
    for bad in [
        lambda: local_baseline_percentile(x, m, -1, 50.0),
        lambda: local_baseline_percentile(x, m, 3, "p"),
        lambda: local_baseline_percentile(x, m[::2], 3, 50.0),
        lambda: local_baseline_percentile(x, m[:10], 3, 50.0),
    ]:
        failure(bad)
        # An exclusive borrow succeeds only when nobody holds the memory.
        assert reg.acquire_exclusive(reg.state, x) == 0
        reg.release_exclusive(reg.state, x)
        assert reg.acquire_exclusive(reg.state, m) == 0
        reg.release_exclusive(reg.state, m)
    assert local_baseline_percentile(x, m, 3, 50.0).shape == (50,)


def test_exclusive_borrow_elsewhere_refuses_the_call():
    x = np.arange(50.0)
    m = np.ones(50, bool)
    reg = registry_struct()
    assert reg.version >= 1
    held = x[10:20]
    assert reg.acquire_exclusive(reg.state, held) == 0
    try:
        kind, text = failure(lambda: local_baseline_percentile(x, m, 3, 50.0))
        assert kind == "PanicException" and text.endswith(": AlreadyBorrowed")
        # memory that does not overlap is free to read
        assert local_baseline_percentile(x[20:], m[20:], 3, 50.0).shape == (30,)
    finally:
        reg.release_exclusive(reg.state, held)
    assert local_baseline_percentile(x, m, 3, 50.0).shape == (50,)
