"""Channel selection: a frequency shift (Rotator) that moves a signal of
interest to 0 Hz, and a decimating FIR (FIRDecimator) that lowpasses it and
keeps every factor-th output."""

from typing import SupportsFloat, SupportsIndex, final

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

@final
class Rotator:
    """Shift the frequency of a complex stream by `shift` cycles per sample.

    Sample n (counted from construction or reset()) is multiplied by
    exp(j*2*pi*(phase + n*shift)).  shift and phase are quantized once to a
    64-bit phase accumulator (round(value * 2**64) modulo 2**64), so the
    phase never drifts; the phasor comes from fixed float32 polynomials
    (evaluated once per group of 16 samples and per place in the group, and
    multiplied), so the bits are the same on every machine.
    """

    def __init__(
        self, shift: SupportsFloat | SupportsIndex, phase: SupportsFloat | SupportsIndex = 0.0
    ) -> None: ...
    @property
    def shift(self) -> float:
        """The quantized increment in cycles per sample, in [-0.5, 0.5)."""
    @property
    def phase(self) -> float:
        """The phase the next sample gets, in cycles, in [0, 1)."""
    def steps(
        self, x: npt.ArrayLike, out: _Complex64Array | None = None
    ) -> _Complex64Array:
        """Rotate a block, continuing the stream's phase: out (of x's element
        count; may be x) when given, else a new 1-D complex64 array."""
    def reset(self) -> None:
        """Return to the phase given at construction; the shift stays."""
    def state_bytes(self) -> int:
        """Size in bytes of the state blob: 48."""
    def get_state(self) -> bytes:
        """Snapshot of the phase, the increment, the start phase and the place
        of the next sample in its group of 16."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a snapshot taken by get_state(); the object then continues
        (and resets) as the one it was taken from."""
    def destroy(self) -> None:
        """Release the core object now; later calls raise RuntimeError
        "destroyed"."""
    def __enter__(self) -> Rotator: ...
    def __exit__(self, *exc_info: object) -> None: ...
