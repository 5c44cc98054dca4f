"""Channel selection: a decimating FIR (FIRDecimator) that lowpasses a
complex stream and keeps every factor-th output."""

from typing import SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Complex64Array = npt.NDArray[np.complex64]

@final
class FIRDecimator:
    """Create a decimating FIR filter: lowpass and keep every factor-th output.

    The outputs are exactly FIR(taps).execute(x)[::factor] on the whole
    stream, bit for bit, whatever the block split; only the kept outputs are
    computed.  Taps are taken as FIR takes them (float32: real taps).
    """

    def __init__(self, taps: npt.ArrayLike, factor: SupportsIndex) -> None: ...
    @property
    def num_taps(self) -> int:
        """The number of tap coefficients given at creation, at least 1."""
    @property
    def is_real(self) -> bool:
        """True for real-valued (float32) taps, which use the cheaper loop."""
    @property
    def factor(self) -> int:
        """The decimation factor: every factor-th output is kept."""
    @property
    def phase(self) -> int:
        """Inputs taken since the last kept output's index, modulo factor."""
    def reset(self) -> None:
        """Zero the delay line and the phase; the taps and factor stay."""
    def execute(
        self, x: npt.ArrayLike, out: _Complex64Array | None = None
    ) -> _Complex64Array:
        """Filter one block and return the outputs it completes,
        output_length(x.size) of them: a new array, or a view of out's first
        elements, which must hold at least that many."""
    def output_length(self, n: SupportsIndex, /) -> int:
        """How many outputs the next execute() of n samples returns."""
    def state_bytes(self) -> int:
        """Size in bytes of the state blob: 8*num_taps + 24."""
    def get_state(self) -> bytes:
        """Snapshot of the factor, the phase and the delay line."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a snapshot taken from a decimator of the same length and
        factor."""
    def destroy(self) -> None:
        """Release the core object now; later calls raise RuntimeError
        "destroyed"."""
    def __enter__(self) -> FIRDecimator: ...
    def __exit__(self, *exc_info: object) -> None: ...
