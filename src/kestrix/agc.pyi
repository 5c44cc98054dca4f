"""Automatic gain control: a log-domain feedback AGC (AGC) that drives signal
power toward a reference level, and the settling_samples design query."""

from typing import Any, SupportsComplex, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Complex64Array = npt.NDArray[np.complex64]

@final
class AGC:
    """Log-domain feedback AGC over complex64 samples.

    The loop integrator starts at 0 dB (unity gain) and the detector is
    pre-seeded at the target, so on-target input produces no transient.
    """

    def __init__(
        self,
        ref_db: SupportsFloat | SupportsIndex = 0.0,
        loop_bw: SupportsFloat | SupportsIndex = 0.0025,
        alpha: SupportsFloat | SupportsIndex = 0.05,
    ) -> None: ...
    @property
    def gain_db(self) -> float:
        """Loop integrator: the gain the loop commands, in dB."""
    @property
    def applied_gain_db(self) -> float:
        """20*log10 of the gain applied to the most recent sample."""
    @property
    def ref_db(self) -> float:
        """Target output power in dB."""
    @ref_db.setter
    def ref_db(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def loop_bw(self) -> float:
        """Loop noise bandwidth in cycles/sample."""
    @loop_bw.setter
    def loop_bw(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def alpha(self) -> float:
        """Detector EMA coefficient."""
    @alpha.setter
    def alpha(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def clip_db(self) -> float:
        """Output clip level in dB (each component within +-10**(clip_db/20))."""
    @clip_db.setter
    def clip_db(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def decim(self) -> int:
        """Block-path chunk length in samples; 0 acts as 1."""
    @decim.setter
    def decim(self, value: int) -> None: ...
    @property
    def gain_update_period(self) -> int:
        """Per-sample loop update period in samples; 0 acts as 1."""
    @gain_update_period.setter
    def gain_update_period(self, value: int) -> None: ...
    def reset(self) -> None: ...
    def step(self, x: SupportsComplex | SupportsFloat | SupportsIndex, /) -> complex: ...
    def steps(
        self, x: npt.ArrayLike, out: _Complex64Array | None = None
    ) -> _Complex64Array: ...
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> AGC: ...
    def __exit__(self, *exc_info: object) -> None: ...

def settling_samples(
    loop_bw: SupportsFloat | SupportsIndex,
    alpha: SupportsFloat | SupportsIndex,
    gain_err_db: SupportsFloat | SupportsIndex,
    tol_db: SupportsFloat | SupportsIndex,
) -> int: ...
