"""Evaluate ondulix's waveforms over chunked dask arrays, one block at a time.

    import dask.array as da
    import ondulix, ondulix_dask

    t = da.linspace(0.0, 1000.0, 10_000_000, chunks=1_000_000)
    x = ondulix_dask.map_waveform(ondulix.harmonic_oscillator, t, 1.0, -0.01, 2.0, 0.0, 0.0)

Every sample depends only on its own time and the scalar arguments, so the
blocks are independent and the result has the same bits as one call on the
whole array, on any scheduler, as long as every worker runs the same ondulix
build on the same C library.
"""
from functools import partial
from typing import Any, Callable

import dask.array as da
import numpy as np
from dask.base import tokenize
from numpy.typing import NDArray

import ondulix

__all__ = ["map_waveform"]

_FLOAT64 = np.dtype(np.float64)
_WAVEFORMS = {getattr(ondulix, name) for name in ondulix.__all__}


def _evaluate_block(function: Callable[..., NDArray[np.float64]], args: tuple,
                    kwargs: dict, block: NDArray[np.float64]) -> NDArray[np.float64]:
    # A block can be a strided view of the array it was cut from (a reversed
    # or stepped slice, say), and the waveform functions read only contiguous
    # memory. ascontiguousarray copies such a block and passes a contiguous
    # one through as it is; either way the values keep their bits.
    return function(np.ascontiguousarray(block), *args, **kwargs)


def map_waveform(function: Callable[..., NDArray[np.float64]], time: Any,
                 *args: Any, **kwargs: Any) -> da.Array:
    """Map one of the five ondulix functions over a 1-D float64 dask array.

    ``args`` and ``kwargs`` are the function's parameters after ``time``, as
    in a direct call. They are checked here, by calling the function once on
    an empty array, so a bad argument raises the function's own error now
    rather than later on a worker. ``time`` keeps its chunks; the result is a
    float64 dask array with the same chunks.
    """
    if function not in _WAVEFORMS:
        raise TypeError(f"{function!r} is not one of ondulix's functions {ondulix.__all__}")
    time = da.asarray(time)
    if time.ndim != 1:
        raise TypeError(f"time must have one dimension, not {time.ndim}")
    if time.dtype != _FLOAT64:
        raise TypeError(f"time must have the native float64 element type, not {time.dtype}; "
                        f"convert it with time.astype(numpy.float64)")
    function(np.empty(0, dtype=_FLOAT64), *args, **kwargs)
    # Keys named after the function, unique to its arguments and the array.
    name = f"{function.__name__}-{tokenize(function.__name__, time, args, kwargs)}"
    return da.map_blocks(partial(_evaluate_block, function, args, kwargs), time,
                         name=name, dtype=_FLOAT64, meta=np.empty(0, dtype=_FLOAT64))
