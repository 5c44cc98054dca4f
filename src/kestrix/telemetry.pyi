"""Telemetry contexts that an AGC publishes its gain and level probes into."""

from typing import Any, SupportsIndex, final

import numpy as np
import numpy.typing as npt

@final
class Telemetry:
    """A telemetry context: a probe table and a ring of records that an AGC
    writes into and this object reads.

    The ring has one producer and one consumer: every AGC attached to one
    context must be stepped on one thread, and read() may run on another.
    The structured dtype of ``read()`` is
    ``[('stamp', '<u8'), ('value', '<f4'), ('probe', '<u2')]``.
    """

    def __new__(cls, capacity: SupportsIndex = 4096) -> Telemetry:
        """A context whose ring holds capacity records, a power of two from 1
        to 2**30."""
    @property
    def _capsule(self) -> Any:
        """The capsule "kestrix.telemetry.kx_tlm" that owns the context."""
    @property
    def capacity(self) -> int:
        """Ring size in records: a power of two from 1 to 2**30."""
    @property
    def n_probes(self) -> int:
        """Number of registered probes, at most 64."""
    @property
    def probe_names(self) -> list[str]:
        """Names of the registered probes, indexed by probe id."""
    @property
    def emitted(self) -> dict[str, int]:
        """Records written so far per probe, {name: count}."""
    @property
    def pending(self) -> int:
        """Number of records waiting in the ring, 0 to capacity."""
    @property
    def dropped(self) -> int:
        """Number of due records lost because the ring was full."""
    @property
    def stamp(self) -> int:
        """The word copied into every record written from now on, an unsigned
        64-bit integer."""
    @stamp.setter
    def stamp(self, value: SupportsIndex) -> None: ...
    def probe_id(self, name: str, /) -> int:
        """The id of a registered probe, the ``probe`` field of its records;
        KeyError for an unknown name."""
    def read(self, max: SupportsIndex | None = None) -> npt.NDArray[np.void]:
        """Take at most max (None: all) waiting records out of the ring,
        oldest first."""
