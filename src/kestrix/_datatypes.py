"""Sample types of stored recordings, by their SigMF names, in both directions.

A stored sample is two interleaved components (real, imaginary) of one
NumPy type.  Reading (:func:`decode_into`) takes the steps of the ``sigmf``
library's reader: fixed-point components become float32, unsigned ones are
re-centred by 2**(bits-1), and all are scaled by 2**-(bits-1), each step
in float32.  Writing (:class:`Encoder`) is its inverse for the values that
type can hold: a component is scaled by 2**(bits-1) (exact, a power of two),
rounded to the nearest integer with ties to even, saturated to the type's
range (full scale is 1.0; a NaN becomes the most negative value, as the
AGC's clip makes it -clip) and re-centred for unsigned types.  Blocks with
nothing to saturate, the usual case, take a cheaper path.  So every
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
    fv = out.view(np.float32).reshape(-1)
    np.copyto(fv, raw.reshape(-1), casting="unsafe")
    if st.fixed:
        half = np.float32(2.0 ** (st.bits - 1))
        if st.unsigned:
            np.subtract(fv, half, out=fv)
        np.multiply(fv, np.float32(1.0) / half, out=fv)


class Encoder:
    """complex64 blocks into the stored components of ``st``; counts saturated components.

    Buffers grow to the largest block seen and are reused, so a stream of
    equal blocks allocates once.  32-bit integer types work in float64,
    where their largest value is exact.
    """

    def __init__(self, st: SampleType) -> None:
        self.st = st
        self.saturated = 0  # components beyond full scale, or NaN
        self.components = 0
        if st.fixed:
            half = 2.0 ** (st.bits - 1)
            self.work = np.dtype(np.float64 if st.bits > 16 else np.float32)
            self.scale = self.work.type(half)
            self.lo, self.hi = self.work.type(-half), self.work.type(half - 1)
            self.offset = self.work.type(half if st.unsigned else 0.0)
        self.cap = 0

    def _grow(self, n: int) -> None:
        if n <= self.cap:
            return
        self.out = np.empty(n, self.st.component)
        if self.st.fixed:
            self.w = np.empty(n, self.work)
        self.cap = n

    def encode(self, x: np.ndarray) -> memoryview:
        """The bytes of the C-contiguous complex64 block ``x`` in the stored type."""
        f = x.view(np.float32).reshape(-1)
        n = len(f)
        self.components += n
        if self.st.native:
            return memoryview(f.view(np.uint8))
        self._grow(n)
        out = self.out[:n]
        if not self.st.fixed:
            np.copyto(out, f, casting="unsafe")  # byte order, or an exact widening
            return memoryview(out.view(np.uint8))
        w = self.w[:n]
        np.multiply(f, self.scale, out=w)
        np.rint(w, out=w)  # ties to even
        if n and not (w.min() >= self.lo and w.max() <= self.hi):  # also when a NaN is there
            self._saturate(w)
        if self.offset:
            np.add(w, self.offset, out=w)
        np.copyto(out, w, casting="unsafe")  # whole numbers in range: exact
        return memoryview(out.view(np.uint8))

    def _saturate(self, w: np.ndarray) -> None:
        """Clamp ``w`` to the type's range in place, a NaN to its lowest value; count them."""
        c = np.clip(w, self.lo, self.hi)
        self.saturated += int(np.count_nonzero(c != w))  # a NaN differs from itself
        nan = np.isnan(c)
        c[nan] = self.lo
        w[...] = c
