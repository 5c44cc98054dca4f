"""Telemetry contexts that an AGC publishes its gain and level probes into."""

from typing import Any, SupportsIndex, final

import numpy as np
import numpy.typing as npt

@final
class Telemetry:
    """A probe table and a single-producer, single-consumer ring of records.

    The structured dtype of ``read()`` is
    ``[('stamp', '<u8'), ('value', '<f4'), ('probe', '<u2')]``.
    """

    def __new__(cls, capacity: SupportsIndex = 4096) -> Telemetry: ...
    @property
    def _capsule(self) -> Any:
        """The capsule "kestrix.telemetry.kx_tlm" that owns the context."""
    @property
    def capacity(self) -> int: ...
    @property
    def n_probes(self) -> int: ...
    @property
    def probe_names(self) -> list[str]: ...
    @property
    def emitted(self) -> dict[str, int]: ...
    @property
    def pending(self) -> int: ...
    @property
    def dropped(self) -> int: ...
    @property
    def stamp(self) -> int: ...
    @stamp.setter
    def stamp(self, value: SupportsIndex) -> None: ...
    def probe_id(self, name: str, /) -> int: ...
    def read(self, max: SupportsIndex | None = None) -> npt.NDArray[np.void]: ...
