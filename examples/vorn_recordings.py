"""Reading recordings, excluded stretches and thinned change points, shared by the examples.

``demo.py`` and ``many_recordings.py`` import this file from their own folder, so that one
recording gives the same samples, the same mask and the same change points in both.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys

import numpy as np

import _vorn_ext

# pelt's time grows with the square of its input; a few thousand samples take milliseconds.
PELT_SAMPLES = 5000

# Spellings of a missing sample in CSV files: R and many loggers write NA.
MISSING_CELLS = frozenset({"", "na", "nan"})


class InputError(Exception):
    """A file or a parameter that cannot be worked with; reported in one line."""


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on standard error and exit status 2."""

    def error(self, message: str):  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


# ---------------------------------------------------------------- files

def load_signal(path: pathlib.Path, column: str | None) -> tuple[np.ndarray, str]:
    """The samples of a .npy or .csv file as contiguous float64, and a description of them."""
    if not path.exists():
        raise InputError(f"{path}: no such file")
    if path.is_dir():
        raise InputError(f"{path}: is a directory, not a .npy or .csv file")
    suffix = path.suffix.lower()
    if suffix == ".npy":
        if column is not None:
            raise InputError("--column applies to .csv files only")
        values, what = load_npy(path), f"{path}"
    elif suffix == ".csv":
        values, what = load_csv(path, column)
    else:
        raise InputError(f"{path}: unsupported file type {path.suffix or '(none)'!r}; "
                         "give a .npy or a .csv file")
    if values.size == 0:
        raise InputError(f"{path}: contains no samples")
    if not np.any(~np.isnan(values)):
        raise InputError(f"{path}: every sample is NaN; there is nothing to work with")
    return values, what


def load_npy(path: pathlib.Path) -> np.ndarray:
    try:
        array = np.load(path, allow_pickle=False)
    except ValueError as error:  # object arrays, and files that are not NumPy's format
        raise InputError(f"{path}: not a numeric .npy array ({error})") from None
    except OSError as error:
        raise InputError(f"{path}: cannot be read ({error})") from None
    if not isinstance(array, np.ndarray):  # an .npz archive renamed to .npy
        raise InputError(f"{path}: holds an archive of arrays, not one array")
    if array.ndim != 1:
        squeezed = np.squeeze(array)
        if squeezed.ndim != 1:
            raise InputError(f"{path}: expected a one-dimensional signal, got shape {array.shape}")
        array = squeezed
    if array.dtype.kind not in "iuf":
        raise InputError(f"{path}: expected real numbers, got dtype {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.float64)


def load_csv(path: pathlib.Path, column: str | None) -> tuple[np.ndarray, str]:
    try:
        with open(path, encoding="utf-8-sig") as handle:
            lines = [line for line in handle.read().splitlines() if line.strip()]
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(f"{path}: cannot be read as text ({error})") from None
    if not lines:
        raise InputError(f"{path}: contains no samples")
    delimiter = next((d for d in (",", ";", "\t") if d in lines[0]), None)
    split = (lambda line: line.split(delimiter)) if delimiter else str.split

    # A first row of numbers and missing cells is data: "NA" alone is not a header.
    first = [cell.strip() for cell in split(lines[0])]
    has_header = not all(is_number(cell) or is_missing(cell) for cell in first)
    names = first if has_header else [str(i) for i in range(len(first))]
    index = choose_column(path, names, has_header, column)
    label = f"column {names[index]!r}" if has_header else f"column {index}"

    values = np.empty(len(lines) - has_header)
    for row, line in enumerate(lines[has_header:], start=1 + has_header):
        cells = split(line)
        if len(cells) != len(names):
            raise InputError(f"{path}, line {row}: expected {len(names)} columns, found {len(cells)}")
        cell = cells[index].strip()
        if is_missing(cell):
            values[row - 1 - has_header] = np.nan
        elif is_number(cell):
            values[row - 1 - has_header] = float(cell)
        else:
            raise InputError(f"{path}, line {row}: {cell!r} is not a number")
    described = f"{path}, {label}" + (f" of {len(names)}" if len(names) > 1 else "")
    return values, described


def is_missing(cell: str) -> bool:
    return cell.lower() in MISSING_CELLS


def is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def choose_column(path: pathlib.Path, names: list[str], has_header: bool, column: str | None) -> int:
    if column is None:
        return len(names) - 1  # "time, value" files are the common case
    if column in names:
        return names.index(column)
    if column.lstrip("-").isdigit():
        index = int(column)
        if 0 <= index < len(names):
            return index
    shown = ", ".join(repr(n) for n in names) if has_header else f"0 to {len(names) - 1}"
    raise InputError(f"{path}: no column {column!r}; the file has {shown}")


# ---------------------------------------------------------------- excluded stretches

def exclude_range(text: str) -> tuple[float, float]:
    """``START:END`` as given to --exclude; either end may be left out (start, end of signal)."""
    start, colon, end = text.partition(":")
    if not colon:
        raise argparse.ArgumentTypeError(f"expected START:END, got {text!r}")
    try:
        lo = float(start) if start.strip() else 0.0
        hi = float(end) if end.strip() else math.inf
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected numbers in START:END, got {text!r}") from None
    if math.isnan(lo) or math.isnan(hi) or lo < 0 or not lo < hi:
        raise argparse.ArgumentTypeError(f"expected 0 <= START < END, got {text!r}")
    return lo, hi


def check_exclusions(ranges: list[tuple[float, float]], rate_hz: float | None) -> str | None:
    """Why the ranges cannot be used, or None. Without a rate they count samples."""
    if rate_hz is None:
        for lo, hi in ranges:
            if lo != int(lo) or (math.isfinite(hi) and hi != int(hi)):
                return (f"--exclude {lo:g}:{hi:g} counts samples without --rate; "
                        "give whole numbers, or seconds with --rate")
    return None


def usable_mask(signal: np.ndarray, ranges: list[tuple[float, float]],
                rate_hz: float | None) -> np.ndarray:
    """True where a sample is finite and outside every excluded [START, END)."""
    mask = np.isfinite(signal)
    if not ranges:
        return mask
    # Positions compare as the figure's axis shows them: index / rate in seconds.
    position = np.arange(signal.size, dtype=np.float64)
    if rate_hz is not None:
        position /= rate_hz
    for lo, hi in ranges:
        mask &= ~((position >= lo) & (position < hi))
    return mask


# ---------------------------------------------------------------- change points

def thinned_change_points(signal: np.ndarray, usable: np.ndarray, penalty_factor: float,
                          min_segment_samples: int, most: int = PELT_SAMPLES
                          ) -> tuple[np.ndarray, list[int]]:
    """pelt on every k-th usable sample (at most ``most`` of them), mapped back to sample indices.

    Plain samples keep their noise, which the Gaussian cost needs to see; block means would
    shrink the noise until every wiggle looked like a change. Returns the positions pelt saw
    and the change points as indices into ``signal``.
    """
    positions = np.flatnonzero(usable & np.isfinite(signal))
    positions = positions[:: max(1, math.ceil(positions.size / most))]
    found = _vorn_ext.pelt(signal[positions], penalty_factor, min_segment_samples)
    return positions, [int(positions[i]) for i in found]


def default_window(n: int) -> int:
    """1% of the length, odd, at least 3."""
    return max(3, n // 100) | 1


def panic_message(error: BaseException) -> str | None:
    """The text of the module's internal fault, or None for any other exception."""
    if type(error).__name__ == "PanicException":
        return f"internal fault in _vorn_ext: {error}"
    return None


if __name__ == "__main__":
    sys.exit("vorn_recordings.py is imported by demo.py and many_recordings.py, not run")
