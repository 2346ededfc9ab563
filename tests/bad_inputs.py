"""Every kind of argument through every parameter of every function, with the outcome each must have.

Run as a script (test_bad_input.py does, in a fresh interpreter), it calls every case many
times and prints one JSON object: the cases whose outcome differed from the expected one, the
objects whose reference counts moved, and how resident memory and the interpreter's allocated
blocks grew over the repeated calls.
"""

import array
import decimal
import fractions
import gc
import json
import operator
import os
import sys

import numpy as np

import _vorn_ext

N = 64
_rng = np.random.default_rng(3)
X64 = _rng.normal(size=N)
X32 = X64.astype(np.float32)
MASK = _rng.random(N) < 0.8
STEPS = [0.0, 1.0] * 8 + [5.0, 6.0] * 8


# --- expected outcomes --------------------------------------------------------------------------

class Ok:
    """The call succeeds; with `same_as`, it gives what the call with that value instead gives."""

    def __init__(self, same_as=None):
        self.same_as = same_as


class Err:
    """The call raises exactly `kind`. A TypeError is labelled with the parameter's name."""

    def __init__(self, kind, text=None):
        self.kind, self.text = kind, text


class Panic:
    """PanicException with this text; {p} stands for the parameter's name."""

    def __init__(self, text):
        self.text = text


# --- user objects that misbehave ------------------------------------------------------------------

class IndexGood:
    def __index__(self):
        return 7


class IndexRaises:
    def __index__(self):
        raise ValueError("index refused")


class IndexTypeError:
    def __index__(self):
        raise TypeError("index has the wrong type")


class IndexNotInt:
    def __index__(self):
        return "7"


class IndexHuge:
    def __index__(self):
        return 2**80


class IndexNegative:
    def __index__(self):
        return -3


class FloatGood:
    def __float__(self):
        return 1.5


class FloatRaises:
    def __float__(self):
        raise ValueError("float refused")


class FloatNotFloat:
    def __float__(self):
        return "1.5"


class MyInt(int):
    pass


class MyFloat(float):
    pass


class Sequence:
    """A sequence of STEPS whose length, iteration and items are scripted."""

    def __init__(self, length=None, items=STEPS):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            # A fresh exception each time: from CPython 3.12 a raised instance carries its
            # traceback, so raising one stored instance again chains every earlier raise's
            # frames (each holding this object) onto it, and the object would seem to leak.
            raise type(self.length)(*self.length.args)
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class IterRaises(Sequence):
    def __iter__(self):
        raise ValueError("no iteration today")


class IterTypeError(Sequence):
    def __iter__(self):
        raise TypeError("cannot iterate")


class IterNotIterator(Sequence):
    def __iter__(self):
        return 5


class NextRaises(Sequence):
    def __iter__(self):
        return self

    def __next__(self):
        raise KeyError("next refused")


class NextStopsAtOnce(Sequence):
    def __iter__(self):
        return iter(())


class GetitemRaises(Sequence):
    def __getitem__(self, i):
        raise KeyError("item refused")


class Appender:
    """An item whose conversion appends to the list being converted, a bounded number of times."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        if len(self.target) < 40:
            self.target.append(Appender(self.target))
        return 1.0


class Clearer:
    """An item whose conversion empties the list being converted."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


class Tagged(np.ndarray):
    pass


def unaligned(values):
    """A contiguous copy of `values` that starts one byte past an aligned address."""
    raw = np.zeros(values.nbytes + 1, np.uint8)
    out = raw[1:].view(values.dtype)
    out[:] = values
    assert not out.flags.aligned or values.itemsize == 1
    return out


def read_only(values):
    out = values.copy()
    out.flags.writeable = False
    return out


def growing():
    items = [0.0, 1.0]
    items.append(Appender(items))
    return items


def clearing():
    items = [0.0, 1.0]
    items.append(Clearer(items))
    items.extend([5.0, 6.0])
    return items


def generator():
    return (v for v in STEPS)


# --- values for each kind of parameter --------------------------------------------------------

def common_values():
    """Argument kinds that every parameter is tried with; expectations filled in per kind."""
    return {
        "None": None, "True": True, "2**64": 2**64, "-1": -1, "2.5": 2.5, "nan": float("nan"),
        "str": "25", "bytes": b"\x01\x02", "list": [1.0, 2.0], "0-d float array": np.array(3.0),
        "0-d int array": np.array(7), "2-d array": np.ones((2, 3)), "int64 array": np.arange(N),
        "IndexGood": IndexGood(), "IndexRaises": IndexRaises(), "FloatGood": FloatGood(),
        "FloatRaises": FloatRaises(), "Sequence": Sequence(),
    }


def message_of(builtin, value):
    """The interpreter's own text for a protocol method that returns the wrong type, which the
    module passes on: it differs between versions (3.15 reworded all of them)."""
    try:
        builtin(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{builtin.__name__}({value!r}) raised nothing")


def cast_error(value, to):
    return Err("TypeError", f"'{type(value).__qualname__}' object cannot be cast as '{to}'")


def array_cases(parameter, good, short_ok):
    """Cases for an ndarray parameter whose valid value is `good`."""
    other = {np.float64: np.float32, np.float32: np.float64, np.bool_: np.uint8}[good.dtype.type]
    cases = {label: (value, cast_error(value, "ndarray")) for label, value in common_values().items()}
    wrong = {
        "other float width": good.astype(other),
        "float16": good.astype(np.float16), "longdouble": good.astype(np.longdouble),
        "complex": good.astype(np.complex128), "object": good.astype(object), "strings": good.astype(str),
        "2-d (1, n)": good.reshape(1, -1), "2-d (n, 1)": good.reshape(-1, 1), "0-d": good[:1].reshape(()),
        "matrix": np.asmatrix(good),
    }
    if good.dtype == np.bool_:
        wrong["float 0/1"] = good.astype(np.float64)
        wrong["uint8 0/1"] = good.astype(np.uint8)
    else:
        wrong["byte-swapped"] = good.astype(good.dtype.newbyteorder())
        wrong["bool"] = good.astype(bool)
        wrong["int64"] = good.astype(np.int64)
    cases.update({label: (value, cast_error(value, "ndarray")) for label, value in wrong.items()})
    cases.update({
        "every second": (np.repeat(good, 2)[::2], Panic("{p} must be contiguous: NotContiguousError")),
        "reversed": (good[::-1], Panic("{p} must be contiguous: NotContiguousError")),
        # contiguous, so it reaches the driver; as a mask it is then too short
        "one element of a strided view": (np.repeat(good, 2)[::2][:1], Ok() if short_ok else Panic(
            "index out of bounds: the len is 1 but the index is 1")),
        "bytes other than 0 and 1": (np.where(good, 3, 254).astype(np.uint8).view(np.bool_), Ok(same_as=good))
        if good.dtype == np.bool_ else (good, Ok()),
        "read-only": (read_only(good), Ok(same_as=good)),
        "subclass": (good.view(Tagged), Ok(same_as=good)),
        "masked array": (np.ma.masked_array(good, mask=np.zeros(N, bool)), Ok(same_as=good)),
        "Fortran order": (np.asfortranarray(good), Ok(same_as=good)),
        "unaligned": (unaligned(good), Ok(same_as=good)),
        "empty": (good[:0], Ok(same_as=good[:0]) if short_ok else Panic(
            "index out of bounds: the len is 0 but the index is 0")),
    })
    return cases


def size_cases():
    values = common_values()
    labelled = {"None", "2.5", "nan", "str", "bytes", "list", "0-d float array", "2-d array",
                "int64 array", "FloatGood", "FloatRaises", "Sequence"}
    cases = {label: (values[label], Err("TypeError")) for label in labelled}
    cases.update({
        "True": (True, Ok(same_as=1)), "2**64": (2**64, Err("OverflowError")),
        "-1": (-1, Err("OverflowError")), "0-d int array": (values["0-d int array"], Ok(same_as=7)),
        "IndexGood": (values["IndexGood"], Ok(same_as=7)),
        "IndexRaises": (values["IndexRaises"], Err("ValueError", "index refused")),
        "2**64-1": (2**64 - 1, Ok()), "0": (0, Ok()), "MyInt": (MyInt(7), Ok(same_as=7)),
        "np.int64": (np.int64(7), Ok(same_as=7)), "np.uint64 max": (np.uint64(2**64 - 1), Ok(same_as=2**64 - 1)),
        "np.float64": (np.float64(7.0), Err("TypeError")),
        "IndexTypeError": (IndexTypeError(), Err("TypeError", "index has the wrong type")),
        "IndexNotInt": (IndexNotInt(), Err("TypeError", message_of(operator.index, IndexNotInt()))),
        "IndexHuge": (IndexHuge(), Err("OverflowError")), "IndexNegative": (IndexNegative(), Err("OverflowError")),
        "Decimal": (decimal.Decimal(7), Err("TypeError")),
    })
    return cases


def float_cases():
    values = common_values()
    cases = {label: (values[label], Err("TypeError", "must be real number, not " + type(values[label]).__name__))
             for label in ("None", "str", "bytes", "list", "Sequence")}
    cases.update({
        "True": (True, Ok(same_as=1.0)), "2**64": (2**64, Ok(same_as=float(2**64))),
        "-1": (-1, Ok(same_as=-1.0)), "2.5": (2.5, Ok()), "nan": (values["nan"], Ok()),
        "inf": (float("inf"), Ok()), "-inf": (float("-inf"), Ok()), "-0.0": (-0.0, Ok()),
        "5e-324": (5e-324, Ok()), "1e308": (1e308, Ok()), "10**400": (10**400, Err("OverflowError")),
        "0-d float array": (values["0-d float array"], Ok(same_as=3.0)),
        "0-d int array": (values["0-d int array"], Ok(same_as=7.0)),
        "2-d array": (values["2-d array"], Err("TypeError")), "int64 array": (values["int64 array"], Err("TypeError")),
        "IndexGood": (values["IndexGood"], Ok(same_as=7.0)),
        "IndexRaises": (values["IndexRaises"], Err("ValueError", "index refused")),
        "IndexHuge": (IndexHuge(), Ok(same_as=float(2**80))),
        "FloatGood": (values["FloatGood"], Ok(same_as=1.5)),
        "FloatRaises": (values["FloatRaises"], Err("ValueError", "float refused")),
        "FloatNotFloat": (FloatNotFloat(), Err("TypeError", message_of(float, FloatNotFloat()))),
        "MyFloat": (MyFloat(2.5), Ok(same_as=2.5)), "np.float32": (np.float32(2.5), Ok(same_as=2.5)),
        "np.int64": (np.int64(7), Ok(same_as=7.0)), "Decimal": (decimal.Decimal("2.5"), Ok(same_as=2.5)),
        "Fraction": (fractions.Fraction(1, 2), Ok(same_as=0.5)),
    })
    return cases


def sequence_cases():
    values = common_values()
    arr = np.array(STEPS)
    cases = {label: (values[label], cast_error(values[label], "Sequence"))
             for label in ("None", "True", "2**64", "-1", "2.5", "nan", "IndexGood", "IndexRaises",
                           "FloatGood", "FloatRaises")}
    cases.update({
        "str": ("25", Err("TypeError")), "bytes": (bytes([0, 1, 0, 1, 5, 6, 5, 6]), Ok(same_as=[0, 1, 0, 1, 5, 6, 5, 6])),
        "bytearray": (bytearray([0, 1, 5, 6]), Ok(same_as=[0.0, 1.0, 5.0, 6.0])),
        "memoryview": (memoryview(bytes([0, 1, 5, 6])), Ok(same_as=[0.0, 1.0, 5.0, 6.0])),
        "array.array": (array.array("d", STEPS), Ok(same_as=STEPS)),
        "list": (values["list"], Ok()), "tuple": (tuple(STEPS), Ok(same_as=STEPS)), "range": (range(40), Ok()),
        "dict": ({1: 2.0}, cast_error({}, "Sequence")), "set": ({1.0}, cast_error(set(), "Sequence")),
        "generator": (generator(), cast_error(generator(), "Sequence")),
        "list with str": ([1.0, "a"], Err("TypeError", "must be real number, not str")),
        "list with None": ([1.0, None], Err("TypeError", "must be real number, not NoneType")),
        "list with 10**400": ([1.0, 10**400], Err("OverflowError")),
        "list with FloatRaises": ([1.0, FloatRaises()], Err("ValueError", "float refused")),
        "list with IndexGood": ([1.0, IndexGood()], Ok(same_as=[1.0, 7.0])),
        "0-d float array": (values["0-d float array"], Err("TypeError")),
        "2-d array": (values["2-d array"], Err("TypeError")),
        "int64 array": (values["int64 array"], Ok(same_as=list(range(N)))),
        "float64 array": (arr, Ok(same_as=STEPS)), "bool array": (arr > 2, Ok(same_as=[float(v > 2) for v in STEPS])),
        "non-contiguous array": (np.repeat(arr, 2)[::2], Ok(same_as=STEPS)),
        "byte-swapped array": (arr.astype(">f8"), Ok(same_as=STEPS)),
        "unaligned array": (unaligned(arr), Ok(same_as=STEPS)), "read-only array": (read_only(arr), Ok(same_as=STEPS)),
        "string array": (np.array(["a", "b"]), Err("TypeError")),
        "object array": (np.array([1.0, None], dtype=object), Err("TypeError")),
        "Sequence": (values["Sequence"], Ok(same_as=STEPS)),
        "len raises": (Sequence(ValueError("no length")), Ok(same_as=STEPS)),
        "len lies low": (Sequence(2), Ok(same_as=STEPS)), "len lies high": (Sequence(1000), Ok(same_as=STEPS)),
        "len 2**61": (Sequence(2**61), Panic("capacity overflow")),
        "len 2**58": (Sequence(2**58), Err("MemoryError", "memory allocation of 2305843009213693952 bytes failed")),
        "iter raises": (IterRaises(), Err("ValueError", "no iteration today")),
        "iter TypeError": (IterTypeError(), Err("TypeError", "cannot iterate")),
        "iter not an iterator": (IterNotIterator(), Err("TypeError", message_of(iter, IterNotIterator()))),
        "next raises": (NextRaises(), Err("KeyError", "'next refused'")),
        "next stops at once": (NextStopsAtOnce(), Ok(same_as=[])),
        "getitem raises": (GetitemRaises(), Err("KeyError", "'item refused'")),
        "grows while read": (growing(), Ok()), "cleared while read": (clearing(), Ok()),
    })
    return cases


FUNCTIONS = {
    "local_baseline_percentile": (
        _vorn_ext.local_baseline_percentile, ["signal", "mask", "window_samples", "percentile"],
        [X64, MASK, 9, 25.0]),
    "local_baseline_percentile_f32": (
        _vorn_ext.local_baseline_percentile_f32, ["signal", "mask", "window_samples", "percentile"],
        [X32, MASK, 9, 25.0]),
    "pelt": (_vorn_ext.pelt, ["signal", "penalty_factor", "min_segment_samples"], [STEPS, 1.0, 2]),
}


def parameter_cases(function, parameter):
    if function == "pelt":
        return {"signal": sequence_cases, "penalty_factor": float_cases,
                "min_segment_samples": size_cases}[parameter]()
    if parameter == "signal":
        return array_cases("signal", FUNCTIONS[function][2][0], short_ok=True)
    if parameter == "mask":
        return array_cases("mask", MASK, short_ok=False)
    return size_cases() if parameter == "window_samples" else float_cases()


class Case:
    def __init__(self, name, function, args, kwargs, expected, parameter=None):
        self.name, self.function, self.args, self.kwargs = name, function, args, kwargs
        self.expected, self.parameter = expected, parameter
        self.reference = None
        if isinstance(expected, Ok) and expected.same_as is not None:
            position = FUNCTIONS[self.function_name][1].index(parameter)
            clean = list(args)
            clean[position] = expected.same_as
            self.reference = describe(function(*clean))

    @property
    def function_name(self):
        return self.name.split(":")[0]

    def watched(self):
        """The arguments whose reference counts are this case's alone to move."""
        shared = (None, True, False)
        return [o for o in list(self.args) + list(self.kwargs.values())
                if not any(o is s for s in shared) and not (type(o) is int and -5 <= o <= 256)]

    def check(self):
        """None when the call ends as expected, else a description of what happened."""
        try:
            result = self.function(*self.args, **self.kwargs)
        except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
            got = (type(error).__name__, str(error))
        else:
            got = ("ok", describe(result))
        want = self.expected
        if isinstance(want, Ok):
            fine = got[0] == "ok" and (self.reference is None or got[1] == self.reference)
        elif isinstance(want, Panic):
            fine = got == ("PanicException", want.text.format(p=self.parameter))
        else:
            label = f"argument '{self.parameter}': " if want.kind == "TypeError" and self.parameter else ""
            fine = got[0] == want.kind and got[1].startswith(label)
            if want.kind != "TypeError" or not self.parameter:
                fine = fine and not got[1].startswith("argument ")
            if want.text is not None:
                fine = fine and got[1] == label + want.text
        return None if fine else got


def describe(result):
    if isinstance(result, np.ndarray):
        assert type(result) is np.ndarray and result.ndim == 1 and result.flags.writeable
        return ("ndarray", str(result.dtype), result.shape, result.tobytes())
    assert type(result) is list and all(type(v) is int for v in result)
    return ("list", result)


def binding_cases():
    cases = []
    for name, (function, parameters, valid) in FUNCTIONS.items():
        count = len(parameters)
        listed = ", ".join(f"'{p}'" for p in parameters[1:])
        cases += [
            Case(f"{name}: extra positional", function, valid + [1], {},
                 Err("TypeError", f"{name}() takes {count} positional arguments but {count + 1} were given")),
            Case(f"{name}: unexpected keyword", function, valid, {"extra": 1},
                 Err("TypeError", f"{name}() got an unexpected keyword argument 'extra'")),
            Case(f"{name}: twice", function, valid[1:], {parameters[0]: valid[0], parameters[1]: valid[1]},
                 Err("TypeError", f"{name}() got multiple values for argument '{parameters[0]}'")),
            Case(f"{name}: all missing", function, [], {}, Err("TypeError")),
            Case(f"{name}: all by keyword", function, [], dict(zip(parameters, valid)), Ok()),
            Case(f"{name}: positional and keyword", function, valid[:1], dict(zip(parameters[1:], valid[1:])), Ok()),
        ]
        assert listed  # the names of several missing parameters are listed by test_arguments
    return cases


def all_cases():
    cases = binding_cases()
    for name, (function, parameters, valid) in FUNCTIONS.items():
        for position, parameter in enumerate(parameters):
            for label, (value, expected) in parameter_cases(name, parameter).items():
                args = list(valid)
                args[position] = value
                cases.append(Case(f"{name}: {parameter} = {label}", function, args, {}, expected, parameter))
    return cases


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Debug interpreters count every reference the process holds; a reference leaked on any path,
# to whatever object, shows there even when no watched argument moves.
total_references = getattr(sys, "gettotalrefcount", lambda: 0)


def sweep(cases, repeats):
    """Per case: an unexpected outcome, moved reference counts, and the growth in the number of
    blocks the interpreter's allocator holds (0 throughout when that allocator is not in use)
    and in the total reference count (0 throughout on a release interpreter)."""
    mismatches, moved, blocks, references = {}, {}, {}, {}
    for case in cases:
        watched = case.watched()
        before = [sys.getrefcount(o) for o in watched]
        # A full collection on either side: cyclic garbage and the interpreter's free lists
        # (emptied by it) otherwise move the block count by hundreds, whatever the module does.
        gc.collect()
        held, total = sys.getallocatedblocks(), total_references()
        for _ in range(repeats):
            problem = case.check()
            if problem is not None:
                mismatches[case.name] = repr(problem)[:300]
                break
        gc.collect()
        references[case.name] = total_references() - total
        blocks[case.name] = sys.getallocatedblocks() - held
        after = [sys.getrefcount(o) for o in watched]
        if before != after:
            moved[case.name] = [before, after]
    return mismatches, moved, blocks, references


def largest(growth):
    return sorted(growth.items(), key=lambda item: -item[1])[:5]


def main(repeats):
    cases = all_cases()
    sweep(cases, 3)  # warm-up: process-wide set-ups, caches, first faults
    rss = resident_bytes()
    mismatches, moved, blocks, references = sweep(cases, repeats)
    print(json.dumps({
        "cases": len(cases), "calls": len(cases) * repeats, "mismatches": mismatches,
        "moved_references": moved, "rss_growth": resident_bytes() - rss,
        "largest_block_growth": largest(blocks), "counts_total_references": hasattr(sys, "gettotalrefcount"),
        "largest_total_reference_growth": largest(references),
    }))


if __name__ == "__main__":
    main(int(sys.argv[1]))
