"""Filtering of long arrays in parallel chunks on a Dask cluster."""

import dask.array as da
import numpy.typing as npt

__all__ = ["fir"]

def fir(x: da.Array, taps: npt.ArrayLike) -> da.Array:
    """Filter a one-dimensional dask array with a FIR, chunk by chunk.

    Bit-identical to ``FIR(taps).execute(x.compute())``; complex64 result
    with the chunks of `x`.
    """
