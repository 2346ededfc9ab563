"""Results of the slow reference models, kept on disk between test runs.

The models are pure Python and dominate the suite's time wherever Python itself runs slowly
(under the sanitizers, under emulation), while the module is what each run is there to test.
With VORN_REFERENCE_CACHE naming a folder, a model's result is stored there under a hash of the
models' source file, the function's name and every argument's bytes, and read back by any later
call with the same arguments, from any interpreter or NumPy. Without it nothing is stored.
"""

import functools
import hashlib
import os
import pathlib
import tempfile

import numpy as np

_FOLDER = os.environ.get("VORN_REFERENCE_CACHE")


def _key(source, function, args, kwargs):
    """The hash naming a call's result, or None where an argument cannot be hashed by value."""
    digest = hashlib.sha256(source + function.__qualname__.encode())
    for name, value in [*enumerate(args), *sorted(kwargs.items())]:
        digest.update(f"\0{name}\0".encode())
        if isinstance(value, np.ndarray):
            if value.dtype.hasobject:
                return None
            digest.update(f"array {value.dtype.str} {value.shape}\0".encode())
            digest.update(np.ascontiguousarray(value).tobytes())
        elif isinstance(value, (bool, int, float, str, type(None), np.dtype, np.generic)):
            digest.update(f"{type(value).__name__} {value!r}".encode())
        elif isinstance(value, (list, tuple)) and all(type(v) in (bool, int, float) for v in value):
            digest.update(f"{type(value).__name__} {[type(v).__name__ for v in value]} {value!r}".encode())
        else:
            return None
    return digest.hexdigest()


def cached(function=None, *, as_list=False):
    """Keeps `function`'s results in VORN_REFERENCE_CACHE; `as_list`: it returns a list of ints."""
    if function is None:
        return functools.partial(cached, as_list=as_list)
    if not _FOLDER:
        return function
    folder = pathlib.Path(_FOLDER)
    folder.mkdir(parents=True, exist_ok=True)
    source = hashlib.sha256(pathlib.Path(function.__code__.co_filename).read_bytes()).digest()

    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        key = _key(source, function, args, kwargs)
        if key is None:
            return function(*args, **kwargs)
        path = folder / f"{key}.npy"
        try:
            stored = np.load(path, allow_pickle=False)
        except (OSError, ValueError):
            pass  # not there yet (or cut short by a run that was stopped): computed again
        else:
            return stored.tolist() if as_list else stored
        result = function(*args, **kwargs)
        stored = np.asarray(result, dtype=np.int64) if as_list else result
        # Written aside and renamed, so a reader never sees half a file.
        handle, temporary = tempfile.mkstemp(dir=folder, suffix=".part")
        with os.fdopen(handle, "wb") as file:
            np.save(file, stored, allow_pickle=False)
        os.replace(temporary, path)
        return result

    return wrapper
