"""Automatic gain control: a log-domain feedback AGC (AGC) that drives signal
power toward a reference level, and the settling_samples design query."""

from typing import Any, SupportsComplex, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Complex64Array = npt.NDArray[np.complex64]

@final
class AGC:
    """Construct a log-domain feedback AGC and return its heap state.

    The loop integrator starts at 0 dB (unity gain) and p_avg is pre-seeded
    to 10**(ref_db/10), so that a first block of on-target samples produces
    no transient.  ref_db is the target output power in dB, loop_bw the loop
    noise bandwidth in cycles/sample (time constant 1/(4*loop_bw) samples, a
    floor on settling), alpha the detector's EMA coefficient in (0, 1].  No
    value is validated; a property write stores its value as given and
    changes nothing else.
    """

    def __init__(
        self,
        ref_db: SupportsFloat | SupportsIndex = 0.0,
        loop_bw: SupportsFloat | SupportsIndex = 0.0025,
        alpha: SupportsFloat | SupportsIndex = 0.05,
    ) -> None: ...
    @property
    def gain_db(self) -> float:
        """Loop-filter integrator: the gain the loop commands, in dB (0.0 at
        create and reset)."""
    @property
    def applied_gain_db(self) -> float:
        """The gain applied to the most recent sample, in dB: 20*log10(g_last),
        one update behind gain_db."""
    @property
    def ref_db(self) -> float:
        """Target output power in dB; 0 dB is a mean squared magnitude of 1."""
    @ref_db.setter
    def ref_db(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def loop_bw(self) -> float:
        """Loop noise bandwidth in cycles/sample; the integrator gain is
        4*loop_bw per sample."""
    @loop_bw.setter
    def loop_bw(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def alpha(self) -> float:
        """Detector EMA coefficient, meaningful in (0, 1]; 1 or more turns the
        smoothing off."""
    @alpha.setter
    def alpha(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def decim(self) -> int:
        """Envelope decimation: the detector and loop filter run once per chunk
        of this many samples, >= 1 (0 acts as 1; typically 8, 16 or 32)."""
    @decim.setter
    def decim(self, value: int) -> None: ...
    @property
    def clip_db(self) -> float:
        """Output clip level in dB: each output component is limited to
        +/-10**(clip_db/20)."""
    @clip_db.setter
    def clip_db(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def gain_update_period(self) -> int:
        """P: step() refreshes the gain and runs the loop update once every P
        samples, >= 1 (0 acts as 1)."""
    @gain_update_period.setter
    def gain_update_period(self, value: int) -> None: ...
    def reset(self) -> None:
        """Return the loop state to its post-create condition; the
        configuration and any telemetry attachment are kept."""
    def step(self, x: SupportsComplex | SupportsFloat | SupportsIndex, /) -> complex:
        """Process one complex sample through the per-sample loop and return
        the gained sample, each component clipped to +/-10**(clip_db/20)."""
    def steps(
        self, x: npt.ArrayLike, out: _Complex64Array | None = None
    ) -> _Complex64Array:
        """Process a block with the decimated loop and its gain ramp: out (of
        x's element count) when given, else a new 1-D complex64 array."""
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None:
        """Attach a telemetry context (None detaches) and register the probes
        "<prefix>.gain_db" and "<prefix>.level_db", recorded once every decim
        loop updates."""
    def state_bytes(self) -> int:
        """Size in bytes of the state blob: 120."""
    def get_state(self) -> bytes:
        """Snapshot of configuration and loop state as a 120-byte blob."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a snapshot taken by get_state(), so that processing resumes
        bit for bit."""
    def destroy(self) -> None:
        """Release the core object now; later calls raise RuntimeError
        "destroyed"."""
    def __enter__(self) -> AGC: ...
    def __exit__(self, *exc_info: object) -> None: ...

def settling_samples(
    loop_bw: SupportsFloat | SupportsIndex,
    alpha: SupportsFloat | SupportsIndex,
    gain_err_db: SupportsFloat | SupportsIndex,
    tol_db: SupportsFloat | SupportsIndex,
) -> int:
    """How many samples this loop needs to settle from an input gain_err_db
    below the target (positive: quiet, the slow direction) to within tol_db;
    0 for invalid arguments or no answer within 16/loop_bw + 1 samples.
    A long query is interrupted by Ctrl-C (KeyboardInterrupt)."""
