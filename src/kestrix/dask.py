"""Filtering of long arrays in parallel chunks on a Dask cluster.

A FIR's output at sample ``i`` depends only on the last ``taps`` inputs, so
a long array can be filtered chunk by chunk on many workers and still give
exactly the bits of one stream: each chunk's filter starts from the
``taps - 1`` input samples before it as its delay line, restored from a FIR
state blob.  The AGC and the moving average carry state that depends on the
whole past (a feedback loop, a running float32 sum), so they have no such
decomposition and stay sequential per recording.

Needs the ``dask`` extra: ``python -m pip install 'kestrix[dask]'``.
"""

from __future__ import annotations

import bisect
import itertools
import math

import numpy as np

try:
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
except ImportError as e:
    raise ImportError(
        f"kestrix.dask needs Dask ({e}); install it with: "
        "python -m pip install 'kestrix[dask]'") from e

from kestrix._firblock import filter_block
from kestrix.filter import FIR

__all__ = ["fir"]


def _tail(block: np.ndarray, n: int) -> np.ndarray:
    """The last `n` samples of a block (all of it when shorter).

    A copy, so that holding the tail for the next chunks does not keep the
    whole block alive on its worker."""
    return np.array(block[max(len(block) - n, 0):], dtype=np.complex64)


def _check_input(x: object) -> None:
    if not isinstance(x, da.Array):
        hint = ("filter it with kestrix.filter.FIR(taps).execute(x), or make a dask "
                "array of it with dask.array.from_array(x, chunks=...)")
        raise TypeError(f"x must be a dask array, not {type(x).__module__}."
                        f"{type(x).__qualname__}; {hint}")
    if x.ndim != 1:
        raise ValueError(f"x must be one-dimensional, got shape {x.shape}")
    if not np.can_cast(x.dtype, np.complex64, "safe"):
        raise TypeError(f"x has dtype {x.dtype}, which does not convert to complex64 "
                        "without loss; convert it with x.astype(numpy.complex64)")
    if any(math.isnan(c) for c in x.chunks[0]):
        raise ValueError("x has unknown chunk sizes; call x.compute_chunk_sizes() first")


def fir(x: da.Array, taps: object) -> da.Array:
    """Filter a one-dimensional dask array with a FIR, chunk by chunk.

    The result is bit-identical to ``FIR(taps).execute(x.compute())``
    whatever the chunking, including chunks shorter than the filter: each
    output chunk is filtered from the ``taps - 1`` input samples before it
    (zeros before the start of the array), restored as the filter's delay
    line.  Nothing is computed until the result is.

    Parameters
    ----------
    x : dask.array.Array
        One-dimensional samples, complex64 or a dtype that converts to it
        without loss (float32, small integers), any chunking.
    taps : array_like
        Tap coefficients, exactly as :class:`kestrix.filter.FIR` takes them:
        a float32 array selects the real-tap filter, anything else is
        converted to complex64.

    Returns
    -------
    dask.array.Array
        complex64, with the chunks of `x`.

    Raises
    ------
    TypeError
        `x` is not a dask array, or its dtype does not convert to complex64
        without loss (float64, complex128).
    ValueError
        `x` is not one-dimensional or has unknown chunk sizes.
    Exception
        Whatever ``FIR(taps)`` raises for these taps, raised here rather
        than on the workers.

    Notes
    -----
    The FIR holds the interpreter lock while it filters (a chunk goes
    through it in pieces of 65,536 samples, between which a worker answers
    its peers), so threads do not filter in parallel: run the graph on
    worker processes, for
    example a ``dask.distributed`` cluster (``LocalCluster`` on one machine,
    ``dask scheduler`` / ``dask worker`` across several).  Each chunk costs
    ``taps`` multiply-adds per sample plus ``taps - 1`` samples moved from
    the chunks before it, so chunks much longer than the filter waste
    nothing.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> from kestrix.dask import fir
    >>> from kestrix.filter import FIR, design_lowpass
    >>> taps = design_lowpass(0.2, 0.3, 60.0)
    >>> rng = np.random.default_rng(0)
    >>> x = rng.standard_normal(20_000).astype(np.float32).view(np.complex64)
    >>> y = fir(da.from_array(x, chunks=1_500), taps)
    >>> y.chunks == ((1_500,) * 6 + (1_000,),)
    True
    >>> ref = FIR(taps).execute(x)
    >>> np.array_equal(y.compute().view(np.uint32), ref.view(np.uint32))
    True
    """
    _check_input(x)
    with FIR(taps) as probe:
        real = probe.is_real
    # A private copy in the kind the filter chose, so the graph does not
    # change when the caller later writes into its own taps.
    taps = np.array(taps, np.float32 if real else np.complex64)
    need = len(taps) - 1
    token = tokenize(x, taps)
    name = f"kestrix-fir-{token}"
    sizes = x.chunks[0]
    blocks = list(x.__dask_keys__())
    deps = [x]
    tail_keys: list[list] = [[] for _ in sizes]
    if need:
        tails = x.map_blocks(_tail, need, chunks=(tuple(min(need, c) for c in sizes),),
                             dtype=np.complex64, name=f"kestrix-fir-tail-{token}")
        deps.append(tails)
        tail_names = tails.__dask_keys__()
        ends = list(itertools.accumulate(sizes))
        for i, size in enumerate(sizes):
            # Chunks that end after the window of need samples before chunk i
            # starts; all but the first of them lie inside it.
            first = bisect.bisect_right(ends, ends[i] - size - need)
            tail_keys[i] = tail_names[first:i]
    layer = {(name, i): (filter_block, taps, tail_keys[i], blocks[i])
             for i in range(len(sizes))}
    graph = HighLevelGraph.from_collections(name, layer, dependencies=deps)
    return da.Array(graph, name, chunks=x.chunks, meta=np.empty((0,), np.complex64))
