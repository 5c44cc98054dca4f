"""Sample types of stored recordings, by their SigMF names, in both directions.

A stored sample is two interleaved components (real, imaginary) of one
NumPy type.  Reading (:func:`decode_into`) takes the steps of the ``sigmf``
library's reader: fixed-point components become float32, unsigned ones are
re-centred by 2**(bits-1), and all are scaled by 2**-(bits-1), each step
in float32.  Writing (:class:`Encoder`) is its inverse for the values that
type can hold: a component is scaled by 2**(bits-1) (exact, a power of two),
rounded to the nearest integer with ties to even, saturated to the type's
range (full scale is 1.0; a NaN becomes the most negative value, as the
AGC's clip makes it -clip) and re-centred for unsigned types; 32-bit
integers are scaled and rounded in float64, where they are exact.  The
fixed-point conversions are native, one pass over a block.  So every
stored integer of up to 16 bits survives a read and a write unchanged.

File names that SDR tools use say their raw sample type (:data:`SUFFIX_TYPES`).

Examples
--------
>>> import numpy as np
>>> st = sample_type("ci8")
>>> enc = Encoder(st)
>>> x = np.array([0.5 / 128, 1.5 / 128, 1.0, -1.0], np.complex64)
>>> stored = np.frombuffer(enc.encode(x), np.int8)
>>> stored.tolist()
[0, 0, 2, 0, 127, 0, -128, 0]
>>> enc.saturated  # 1.0 is one step beyond the largest ci8 value, 127/128
1
>>> back = np.empty(4, np.complex64)
>>> decode_into(stored, st, back)
>>> (back.real * 128).tolist()
[0.0, 2.0, 127.0, -128.0]
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass

import numpy as np

from ._blocks import decode_fixed, encode_fixed
from ._errors import CliError

_NAME = re.compile(r"^(?P<kind>[cr])(?P<num>[fiu])(?P<bits>8|16|32|64)(?:_(?P<end>le|be))?$")
DATATYPES = ("cf32_le", "cf32_be", "cf64_le", "cf64_be", "ci32_le", "ci32_be", "ci16_le",
             "ci16_be", "ci8", "cu32_le", "cu32_be", "cu16_le", "cu16_be", "cu8")
DATATYPE_LIST = ", ".join(DATATYPES)

# The raw sample type that a file name's suffix says, as SDR tools name them.
SUFFIX_TYPES = {
    ".cu8": "cu8",
    ".cs8": "ci8", ".ci8": "ci8",
    ".cs16": "ci16_le", ".ci16": "ci16_le",
    ".cf32": "cf32_le", ".fc32": "cf32_le", ".cfile": "cf32_le",
    ".cf64": "cf64_le",
}
SUFFIX_TABLE = ", ".join(f"{s} {t}" for s, t in SUFFIX_TYPES.items())


@dataclass(frozen=True)
class SampleType:
    """How the bytes of one stored sample stand for a complex value."""

    name: str
    component: np.dtype  # dtype of one of the two interleaved components
    fixed: bool  # integer components, full scale 1.0
    unsigned: bool

    @property
    def sample_bytes(self) -> int:
        return 2 * self.component.itemsize

    @property
    def native(self) -> bool:
        """Stored exactly as little-endian complex64: read and written as they are."""
        return self.component == np.dtype("<f4")

    @property
    def bits(self) -> int:
        return 8 * self.component.itemsize


CF32_LE = SampleType("cf32_le", np.dtype("<f4"), False, False)


def sample_type(name: object, what: str = "SigMF sample type", code: int = 1) -> SampleType:
    """Parse a SigMF datatype name; anything not complex is refused (status ``code``)."""
    m = _NAME.match(name) if isinstance(name, str) else None
    if m is None or m["kind"] != "c":
        raise CliError(f"unsupported {what} {name!r}: kestrix processes complex samples "
                       f"({DATATYPE_LIST})", code)
    num, bits, end = m["num"], int(m["bits"]), m["end"]
    if (num == "f" and bits not in (32, 64)) or (num != "f" and bits == 64):
        raise CliError(f"unsupported {what} {name!r} ({DATATYPE_LIST})", code)
    if bits > 8 and end is None:
        raise CliError(f"{what} {name!r} lacks its byte order (_le or _be)", code)
    order = ">" if end == "be" else "<"
    comp = np.dtype(f"{order}{num}{bits // 8}")
    return SampleType(name, comp, num != "f", num == "u")


def suffix_type(path: str) -> str | None:
    """The datatype that the name ``path`` says by its suffix, or None."""
    return SUFFIX_TYPES.get(os.path.splitext(path)[1].lower())


def decode_into(raw: np.ndarray, st: SampleType, out: np.ndarray) -> None:
    """Convert the stored components ``raw`` (2 per sample) into complex64 ``out``."""
    if st.fixed:
        decode_fixed(raw, out)
    else:
        np.copyto(out.view(np.float32).reshape(-1), raw.reshape(-1), casting="unsafe")


class Encoder:
    """complex64 blocks into the stored components of ``st``; counts saturated components.

    The output buffer grows to the largest block seen and is reused, so a
    stream of equal blocks allocates once.
    """

    def __init__(self, st: SampleType) -> None:
        self.st = st
        self.saturated = 0  # components beyond full scale, or NaN
        self.components = 0
        self.out = np.empty(0, st.component)

    def encode(self, x: np.ndarray) -> memoryview:
        """The bytes of the C-contiguous complex64 block ``x`` in the stored type."""
        f = x.view(np.float32).reshape(-1)
        n = len(f)
        self.components += n
        if self.st.native:
            return memoryview(f.view(np.uint8))
        if n > len(self.out):
            self.out = np.empty(n, self.st.component)
        out = self.out[:n]
        if self.st.fixed:
            self.saturated += encode_fixed(f, out)
        else:
            np.copyto(out, f, casting="unsafe")  # byte order, or an exact widening
        return memoryview(out.view(np.uint8))
