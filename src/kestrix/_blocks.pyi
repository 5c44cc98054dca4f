"""Native helpers of the kestrix command's block loop: a read-ahead file
reader, a background file writer, the frame powers of the level
statistics and the text of the telemetry CSV."""

from typing import final

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

from _typeshed import FileDescriptorLike

@final
class Writer:
    """Writes to a file descriptor from a thread of its own."""

    def __init__(self, fd: FileDescriptorLike, capacity: int = 4194304) -> None: ...
    def write(self, data: Buffer, /) -> int: ...
    def flush(self) -> None: ...
    def close(self) -> None: ...
    def discard(self) -> None: ...
    @property
    def closed(self) -> bool:
        """True once close() or discard() has run."""

def frame_powers(x: npt.ArrayLike, frame: int, out: npt.NDArray[np.float32], /) -> int: ...
def format_rows(table: npt.ArrayLike, kinds: str, /) -> str: ...

@final
class Reader:
    """Reads a file descriptor ahead, from a thread of its own."""

    def __init__(self, fd: FileDescriptorLike, slot_bytes: int, limit: int,
                 slots: int = 2) -> None: ...
    def next(self) -> npt.NDArray[np.uint8]: ...
    def close(self) -> None: ...
