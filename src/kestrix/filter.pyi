"""FIR filtering: a direct-form complex or real FIR (FIR) and an O(1) boxcar
moving average (MovingAverage), plus the Kaiser lowpass designer."""

from typing import SupportsComplex, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Complex64Array = npt.NDArray[np.complex64]

@final
class FIR:
    """Create a FIR filter from complex CF32 tap coefficients.

    y[n] = sum_k taps[k] * x[n-k] on complex64 samples, with the delay line
    kept between calls.  A one-dimensional float32 tap array takes the
    fir_create_real path (the cheaper real-tap loop); any other taps are
    converted to complex64.
    """

    def __init__(self, taps: npt.ArrayLike) -> None: ...
    @property
    def num_taps(self) -> int:
        """The number of tap coefficients given at creation, at least 1."""
    @property
    def is_real(self) -> bool:
        """True when the filter was created with real-valued (float32) taps,
        which use the cheaper inner loop."""
    def reset(self) -> None:
        """Zero the delay line; the taps stay."""
    def execute(
        self, x: npt.ArrayLike, out: _Complex64Array | None = None
    ) -> _Complex64Array:
        """Filter one block: a new array, or a view of the first len(x)
        elements of out, which must hold at least that many.  MemoryError,
        with nothing changed, when the work buffer cannot be allocated."""
    def execute_max_out(self) -> int:
        """Always 0 -- FIR is a 1:1 transform, not a bounded-capacity one."""
    def state_bytes(self) -> int:
        """Size in bytes of the state blob: 8*num_taps + 8 (16 for one tap)."""
    def get_state(self) -> bytes:
        """Snapshot of the delay line as a little-endian blob."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a delay line taken by get_state() from a filter of the same
        length."""
    def destroy(self) -> None:
        """Release the core object now; later calls raise RuntimeError
        "destroyed"."""
    def __enter__(self) -> FIR: ...
    def __exit__(self, *exc_info: object) -> None: ...

@final
class MovingAverage:
    """MovingAverage type.

    MovingAverage(len=4, gain=1.0): the sum of the last len complex samples
    (1 .. 64) times gain/len, in constant time per sample.
    """

    def __init__(self, len: SupportsIndex = 4, gain: SupportsFloat = 1.0) -> None: ...
    @property
    def len(self) -> int:
        """window length (1 .. BOXCAR_MAX_LEN)."""
    @property
    def gain(self) -> float:
        """Current output gain."""
    @gain.setter
    def gain(self, value: SupportsFloat) -> None: ...
    def step(self, x: SupportsComplex | SupportsFloat | SupportsIndex, /) -> complex:
        """Average one sample into the window and return the window sum times
        gain/len."""
    def steps(
        self, x: npt.ArrayLike, out: _Complex64Array | None = None
    ) -> _Complex64Array:
        """Average a block, sample by sample, continuing the stream: out (of
        x's element count) when given, else a new 1-D complex64 array."""
    def reset(self) -> None:
        """Empty the window; the length and the gain stay."""
    def state_bytes(self) -> int:
        """Size in bytes of the state blob: 576."""
    def get_state(self) -> bytes:
        """Snapshot of the whole record, length and gain included."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a snapshot taken by get_state(), length and gain included."""
    def destroy(self) -> None:
        """Release the core object now; later calls raise RuntimeError
        "destroyed"."""
    def __enter__(self) -> MovingAverage: ...
    def __exit__(self, *exc_info: object) -> None: ...

def design_lowpass(
    fpass: float = 0.4, fstop: float = 0.6, atten_db: float = 60.0
) -> npt.NDArray[np.float32]:
    """Kaiser-windowed-sinc lowpass taps, sized by kaiser_num_taps, with
    Nyquist-normalised band edges (1.0 is half the sample rate) and the
    stopband attenuation in dB: an odd number of float32 taps."""
def _kaiser_beta(atten_db: float, /) -> float: ...
def _kaiser_num_taps(fpass: float, fstop: float, atten_db: float, /) -> int: ...
