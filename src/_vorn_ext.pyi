"""Fast, exact percentile baselines and change-point search for long 1-D signals."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["pelt", "local_baseline_percentile", "local_baseline_percentile_f32"]

_Real = SupportsFloat | SupportsIndex

def pelt(
    signal: Sequence[_Real] | npt.NDArray[Any],
    penalty_factor: _Real,
    min_segment_samples: SupportsIndex,
) -> list[int]:
    """Change points of `signal` under a Gaussian mean-and-variance cost.

    Exact penalised optimal partitioning with a penalty of
    2 * penalty_factor * ln(n) per change point; no segment is shorter than
    max(min_segment_samples, 2) samples. Returns the ascending indices at which
    new segments begin. `signal` is any sequence of numbers (copied to float64);
    a NaN or infinite sample gives []. The time grows with the square of the
    length. Holds the interpreter lock while it runs.
    """

def local_baseline_percentile(
    signal: npt.NDArray[np.float64],
    mask: npt.NDArray[np.bool_],
    window_samples: SupportsIndex,
    percentile: _Real,
) -> npt.NDArray[np.float64]:
    """Sliding-window percentile baseline over unmasked samples (float64).

    At each sample, the `percentile` (0-100) of the usable samples - mask True
    and not NaN - in a window of `window_samples` around it; long signals are
    evaluated on anchors a quarter window apart and interpolated, then smoothed
    by a centred moving mean. `signal` and `mask` are contiguous 1-D arrays
    (float64 and bool); the mask must be at least as long as the signal.
    Releases the interpreter lock and uses every core.
    """

def local_baseline_percentile_f32(
    signal: npt.NDArray[np.float32],
    mask: npt.NDArray[np.bool_],
    window_samples: SupportsIndex,
    percentile: _Real,
) -> npt.NDArray[np.float32]:
    """Sliding-window percentile baseline over unmasked samples (float32).

    The same as `local_baseline_percentile` for a float32 signal; returns float32.
    """
