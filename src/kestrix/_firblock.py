"""One chunk of a long FIR filtering, from the input samples before it.

A FIR's output at sample i depends only on the last ``taps`` inputs, so a
chunk filtered by a fresh filter whose delay line holds the ``taps - 1``
samples before the chunk (zeros before the start) gives exactly the bits of
one stream.  Shared by :func:`kestrix.dask.fir` and the command's chunked
filtering, and free of Dask, so that a worker filtering chunks does not
import it.
"""

from __future__ import annotations

import struct

import numpy as np

from .filter import FIR

# The FIR state blob: the shared 16-byte header (magic, version, the value 1,
# total size, zero) followed by the delay line, oldest sample first.
_STATE_HEADER = struct.Struct("<4sHHII")


def state_blob(history: np.ndarray) -> bytes:
    """A FIR state blob whose delay line is `history` (complex64, oldest first)."""
    body = history.astype("<c8", copy=False).tobytes()
    size = _STATE_HEADER.size + len(body)
    return _STATE_HEADER.pack(b"FIR_", 1, 1, size, 0) + body


def restore_history(fir: FIR, tails: list[np.ndarray]) -> None:
    """Give ``fir`` the delay line of the samples ``tails`` hold, the last of them last;
    zeros stand for the samples before the start of the array."""
    need = fir.num_taps - 1
    if need:
        fir.set_state(state_blob(np.concatenate([np.zeros(need, np.complex64), *tails])[-need:]))


# Samples per FIR call.  A call holds the interpreter lock for its whole run,
# and a Dask worker's event loop needs the lock to hand its data to the other
# workers: between pieces it gets it within the interpreter's switch interval,
# where a call on a whole chunk would make every peer wait for that chunk.
PIECE = 1 << 16


def filter_block(taps: np.ndarray, tails: list[np.ndarray], block: np.ndarray) -> np.ndarray:
    """Filter one chunk, its delay line made of the tails of the chunks before it.

    The chunk goes through the filter in pieces of ``PIECE`` samples, which
    gives the bits of one call (the filter carries its delay line).
    """
    with FIR(taps) as f:
        restore_history(f, tails)
        out = np.empty(len(block), np.complex64)
        for i in range(0, len(block), PIECE):
            f.execute(block[i : i + PIECE], out[i : i + PIECE])
        return out
