"""Input recordings of the ``kestrix`` command, read in blocks.

Four formats are read:

- SigMF pair: ``NAME.sigmf-meta`` / ``NAME.sigmf-data``.  The metadata is
  checked with the ``sigmf`` library; the samples are streamed from the data
  file here, converted to complex64 with the same scaling as
  ``SigMFFile.read_samples`` (fixed-point components divided by 2**(bits-1),
  unsigned ones re-centred first).
- SigMF archive: ``NAME.sigmf``, an uncompressed tar holding one such pair;
  its data member is streamed straight out of the tar file.
- raw: headerless little-endian complex64 (``.cf32``, ``.fc32``, ``.cfile``,
  ``.raw``).
- npy: a one-dimensional complex64 or complex128 NumPy ``.npy`` array.

Every file is read with explicit reads into a caller-owned buffer: nothing
is memory mapped, so another program truncating the file while it is read
makes a short read, reported as one line, never a crash.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import os
import re
import tarfile
import warnings
from dataclasses import dataclass

import numpy as np

from ._errors import CliError, os_error, require

RAW_SUFFIXES = (".cf32", ".fc32", ".cfile", ".raw")
SIGMF_META = ".sigmf-meta"
SIGMF_DATA = ".sigmf-data"
SIGMF_ARCHIVE = ".sigmf"
FORMATS = ("sigmf", "sigmf-archive", "raw", "npy")
FORMAT_NAMES = (f"{SIGMF_ARCHIVE} (SigMF archive), {SIGMF_META}/{SIGMF_DATA} (SigMF pair), "
                f".npy, raw complex64 {'/'.join(RAW_SUFFIXES)}")


def sigmf_module():
    sigmf = require("sigmf", "SigMF support")
    importlib.import_module("sigmf.sigmffile")  # the submodule the callers use
    return sigmf


# ------------------------------------------------------------------ naming


def sigmf_pair(path: str) -> tuple[str, str]:
    """The (meta, data) file names of the SigMF recording that ``path`` names."""
    for suffix in (SIGMF_META, SIGMF_DATA):
        if path.endswith(suffix):
            base = path[: -len(suffix)]
            return base + SIGMF_META, base + SIGMF_DATA
    return path + SIGMF_META, path + SIGMF_DATA


def format_from_name(path: str) -> str | None:
    """The format that the name ``path`` says, or None."""
    low = path.lower()
    if low.endswith((SIGMF_META, SIGMF_DATA)):
        return "sigmf"
    if low.endswith(SIGMF_ARCHIVE):
        return "sigmf-archive"
    if low.endswith(".npy"):
        return "npy"
    if low.endswith(RAW_SUFFIXES):
        return "raw"
    return None


def detect_format(path: str, override: str | None = None) -> str:
    """The format of the input ``path``: ``override`` when given, else from its name."""
    if override:
        return override
    if re.search(r"\.sigmf\.(gz|xz|zip)$", path.lower()):
        raise CliError(f"{path}: compressed SigMF archives are not read; decompress it "
                       f"to a plain {SIGMF_ARCHIVE} archive first", 2)
    fmt = format_from_name(path)
    if fmt is None and os.path.isfile(path + SIGMF_META):
        fmt = "sigmf"
    if fmt is None:
        raise CliError(f"cannot tell the format of input '{path}' from its name (known: "
                       f"{FORMAT_NAMES}); give --format", 2)
    return fmt


# ------------------------------------------------------------------ sample types

_SIGMF_TYPE = re.compile(r"^(?P<kind>[cr])(?P<num>[fiu])(?P<bits>8|16|32|64)(?:_(?P<end>le|be))?$")
SUPPORTED_SIGMF_TYPES = (
    "cf32_le, cf32_be, cf64_le, cf64_be, ci32_le, ci32_be, ci16_le, ci16_be, "
    "ci8, cu32_le, cu32_be, cu16_le, cu16_be, cu8")


@dataclass(frozen=True)
class SampleType:
    """How the bytes of one stored sample become a complex64 value."""

    name: str
    component: np.dtype  # dtype of one of the two interleaved components
    fixed: bool  # integer components, scaled into [-1, 1)
    unsigned: bool

    @property
    def sample_bytes(self) -> int:
        return 2 * self.component.itemsize

    @property
    def native(self) -> bool:
        """Stored exactly as little-endian complex64: read straight into the buffer."""
        return self.component == np.dtype("<f4")


CF32_LE = SampleType("cf32_le", np.dtype("<f4"), False, False)


def sigmf_sample_type(name: object) -> SampleType:
    """Parse a SigMF ``core:datatype``; anything not complex is refused."""
    m = _SIGMF_TYPE.match(name) if isinstance(name, str) else None
    if m is None or m["kind"] != "c":
        raise CliError(f"unsupported SigMF sample type {name!r}: kestrix processes complex "
                       f"samples ({SUPPORTED_SIGMF_TYPES})", 1)
    num, bits, end = m["num"], int(m["bits"]), m["end"]
    if (num == "f" and bits not in (32, 64)) or (num != "f" and bits == 64):
        raise CliError(f"unsupported SigMF sample type {name!r} ({SUPPORTED_SIGMF_TYPES})", 1)
    if bits > 8 and end is None:
        raise CliError(f"SigMF sample type {name!r} lacks its byte order (_le or _be)", 1)
    order = ">" if end == "be" else "<"
    comp = np.dtype(f"{order}{'f' if num == 'f' else num}{bits // 8}")
    return SampleType(name, comp, num != "f", num == "u")


def convert_into(raw: np.ndarray, st: SampleType, out: np.ndarray) -> None:
    """Convert the stored components ``raw`` (2 per sample) into complex64 ``out``.

    Fixed-point components become float32 first, unsigned ones are re-centred
    by 2**(bits-1), and all are scaled by 2**-(bits-1): the steps that
    ``sigmf``'s autoscaling reader takes, in the same precision.
    """
    fv = out.view(np.float32)
    np.copyto(fv, raw, casting="unsafe")
    if st.fixed:
        half = np.float32(2.0 ** (8 * st.component.itemsize - 1))
        if st.unsigned:
            np.subtract(fv, half, out=fv)
        np.multiply(fv, np.float32(1.0) / half, out=fv)


# ------------------------------------------------------------------ sources


@dataclass
class Source:
    """An input recording: ``count`` samples of ``stype`` at byte ``offset`` of ``data_path``.

    When the metadata records a SHA-512, it covers bytes ``hash_start`` to
    ``hash_end`` of the same file.
    """

    fmt: str
    path: str  # the name the user gave
    data_path: str
    files: list[str]
    count: int
    stype: SampleType
    offset: int = 0
    rate: float | None = None
    meta: dict | None = None  # SigMF metadata, as stored
    sha512: str | None = None
    hash_start: int = 0
    hash_end: int = 0
    describe: str = ""

    def reader(self, block: int, *, verify: bool = True) -> "BlockReader":
        return BlockReader(self, block, verify=verify and self.sha512 is not None)


class BlockReader:
    """Reads a source's samples in order, block by block, with explicit reads.

    ``read(buf)`` fills ``buf`` with the next samples (fewer at the end) and
    returns the filled part.  A file that ends before the metadata said it
    would (it shrank while being read) raises CliError naming the sample.
    """

    def __init__(self, src: Source, block: int, *, verify: bool) -> None:
        self.src = src
        self.pos = 0  # samples handed out so far
        self.hash = hashlib.sha512() if verify else None
        self.scratch = None if src.stype.native else np.empty(2 * block, src.stype.component)
        try:
            self.f = open(src.data_path, "rb", buffering=0)
        except OSError as e:
            raise os_error(src.data_path, e) from None
        try:
            start = src.hash_start if self.hash is not None else src.offset
            self.f.seek(start)
            if src.offset > start:
                self._hash_bytes(src.offset - start)
        except BaseException:
            self.f.close()
            raise

    def _shrank(self, got_bytes: int) -> CliError:
        at = self.pos + got_bytes // self.src.stype.sample_bytes
        return CliError(
            f"{self.src.data_path}: the input ended at sample {at:,} of {self.src.count:,}: "
            f"the file shrank while it was being read; no output was written", 1)

    def _fill(self, mv: memoryview) -> None:
        got = 0
        while got < len(mv):
            try:
                n = self.f.readinto(mv[got:])
            except OSError as e:
                raise os_error(self.src.data_path, e) from None
            if not n:
                raise self._shrank(got)
            got += n

    def _hash_bytes(self, nbytes: int) -> None:
        while nbytes > 0:
            data = self.f.read(min(nbytes, 1 << 20))
            if not data:
                raise self._shrank(0)
            self.hash.update(data)
            nbytes -= len(data)

    def read(self, buf: np.ndarray) -> np.ndarray:
        m = min(len(buf), self.src.count - self.pos)
        x = buf[:m]
        if self.scratch is None:
            mv = memoryview(x.view(np.uint8))
        else:
            mv = memoryview(self.scratch[: 2 * m].view(np.uint8))
        self._fill(mv)
        if self.hash is not None:
            self.hash.update(mv)
        if self.scratch is not None:
            convert_into(self.scratch[: 2 * m], self.src.stype, x)
        self.pos += m
        return x

    def finish(self) -> None:
        """After the last block: check the digest when the metadata has one."""
        if self.hash is None:
            return
        end = self.src.offset + self.src.count * self.src.stype.sample_bytes
        self._hash_bytes(self.src.hash_end - end)
        if self.hash.hexdigest() != self.src.sha512.lower():
            raise CliError(
                f"{self.src.data_path} does not match its metadata: the SHA-512 recorded in "
                f"{self.src.files[0]} differs (use --skip-checksum to process it anyway)", 1)

    def close(self) -> None:
        self.f.close()


class MemorySource(Source):
    """A recording held in memory (the demonstration), read like a file."""

    def __init__(self, x: np.ndarray, rate: float | None, meta: dict | None, name: str) -> None:
        super().__init__("memory", name, name, [], len(x), CF32_LE, rate=rate, meta=meta,
                         describe="generated in memory")
        self.x = np.ascontiguousarray(x, dtype=np.complex64)

    def reader(self, block: int, *, verify: bool = True) -> "MemoryReader":
        return MemoryReader(self.x)


class MemoryReader:
    def __init__(self, x: np.ndarray) -> None:
        self.x, self.pos = x, 0

    def read(self, buf: np.ndarray) -> np.ndarray:
        m = min(len(buf), len(self.x) - self.pos)
        buf[:m] = self.x[self.pos : self.pos + m]
        self.pos += m
        return buf[:m]

    def finish(self) -> None:
        pass

    def close(self) -> None:
        pass


# ------------------------------------------------------------------ opening


def _stat_input(path: str) -> int:
    try:
        os.stat(path)
    except FileNotFoundError:
        raise CliError(f"{path}: no such file", 1) from None
    except OSError as e:
        raise os_error(path, e) from None
    if not os.path.isfile(path):
        raise CliError(f"{path}: not a regular file", 1)
    if not os.access(path, os.R_OK):
        raise CliError(f"cannot read {path}: permission denied", 1)
    return os.path.getsize(path)


def open_raw(path: str) -> Source:
    size = _stat_input(path)
    if size % 8:
        raise CliError(f"{path}: truncated raw file: {size} bytes is not a whole number of "
                       f"8-byte complex64 samples", 1)
    return Source("raw", path, path, [path], size // 8, CF32_LE,
                  describe="raw little-endian complex64 (cf32_le)")


def open_npy(path: str) -> Source:
    size = _stat_input(path)
    fmt = np.lib.format
    try:
        with open(path, "rb") as f:
            version = fmt.read_magic(f)
            if version == (1, 0):
                shape, fortran, dt = fmt.read_array_header_1_0(f)
            else:
                shape, fortran, dt = fmt.read_array_header_2_0(f)
            offset = f.tell()
    except (ValueError, OSError, EOFError, SyntaxError) as e:
        raise CliError(f"{path}: not a readable .npy array ({e})", 1) from None
    if len(shape) != 1:
        raise CliError(
            f"{path}: holds an array of shape {shape}; kestrix reads one-dimensional arrays", 1)
    if dt.kind != "c" or dt.itemsize not in (8, 16):
        raise CliError(f"{path}: dtype {dt} is not complex64 or complex128", 1)
    count = int(shape[0])
    if size - offset < count * dt.itemsize:
        raise CliError(f"{path}: truncated .npy file: its header announces {count:,} samples "
                       f"but it holds {(size - offset) // dt.itemsize:,}", 1)
    comp = np.dtype(dt.str[0] + "f" + str(dt.itemsize // 2))
    st = SampleType(f"npy {dt.str}", comp, False, False)
    return Source("npy", path, path, [path], count, st, offset=offset,
                  describe=f"NumPy .npy, dtype {dt} ({dt.str})")


def _parse_meta(text: bytes, where: str) -> dict:
    try:
        meta = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise CliError(f"{where}: not valid SigMF metadata (bad JSON: {e})", 1) from None
    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict):
        raise CliError(f"{where}: not valid SigMF metadata (no 'global' object)", 1)
    return meta


def _first_line(e: BaseException) -> str:
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def _sigmf_source(meta: dict, where: str, fmt: str, path: str, data_path: str,
                  files: list[str], start: int, size: int, *, conforming: bool) -> Source:
    """Check SigMF metadata against ``size`` data bytes at ``start`` of ``data_path``."""
    sigmf = sigmf_module()
    g = meta["global"]
    stype = sigmf_sample_type(g.get("core:datatype"))
    if g.get("core:metadata_only"):
        raise CliError(f"{where}: a metadata-only SigMF recording has no samples", 1)
    if int(g.get("core:num_channels", 1) or 1) != 1:
        raise CliError(f"{where}: {g.get('core:num_channels')} interleaved channels are not "
                       f"supported (one channel expected)", 1)
    captures = meta.get("captures") or []
    headers = [c.get("core:header_bytes", 0) if isinstance(c, dict) else 0 for c in captures]
    if any(headers[1:]) or (headers and headers[0] and conforming):
        raise CliError(f"{where}: header bytes inside a SigMF data file are not supported", 1)
    offset = 0 if conforming or not headers else int(headers[0])
    payload = size - offset - int(g.get("core:trailing_bytes", 0) or 0)
    if payload < 0 or payload % stype.sample_bytes:
        raise CliError(f"{where}: the metadata and data do not match: {size} bytes is not a "
                       f"whole number of {stype.sample_bytes}-byte {stype.name} samples", 1)
    count = payload // stype.sample_bytes
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            sigmf.sigmffile.SigMFFile(metadata=meta).validate()
    except Exception as e:  # SigMFError, jsonschema's ValidationError and kin
        raise CliError(f"{where}: not valid SigMF metadata ({_first_line(e)})", 1) from None
    for c in captures:
        if isinstance(c, dict) and c.get("core:sample_start", 0) > count:
            raise CliError(f"{where}: the metadata and data do not match: a capture starts at "
                           f"sample {c['core:sample_start']} but the data holds {count}", 1)
    rate = g.get("core:sample_rate")
    return Source(fmt, path, data_path, files, count, stype, offset=start + offset,
                  rate=float(rate) if rate else None, meta=meta, sha512=g.get("core:sha512"),
                  hash_start=start, hash_end=start + size,
                  describe=f"{'SigMF archive' if fmt == 'sigmf-archive' else 'SigMF'}, "
                           f"sample type {stype.name}")


def open_sigmf_pair(path: str) -> Source:
    meta_path, data_path = sigmf_pair(path)
    if not os.path.exists(meta_path):
        raise CliError(f"{path}: SigMF metadata {meta_path} not found (the pair is incomplete)", 1)
    _stat_input(meta_path)
    try:
        with open(meta_path, "rb") as f:
            meta = _parse_meta(f.read(), meta_path)
    except OSError as e:
        raise os_error(meta_path, e) from None
    dataset = meta["global"].get("core:dataset")
    if dataset is not None:
        data_path = os.path.join(os.path.dirname(meta_path), os.path.basename(str(dataset)))
    if not os.path.exists(data_path):
        raise CliError(f"{meta_path}: its data file {data_path} is missing (mismatched SigMF pair)", 1)
    size = _stat_input(data_path)
    return _sigmf_source(meta, meta_path, "sigmf", path, data_path, [meta_path, data_path], 0,
                         size, conforming=dataset is None)


def open_sigmf_archive(path: str) -> Source:
    """An uncompressed SigMF archive: one ``.sigmf-meta`` and its ``.sigmf-data`` in a tar."""
    _stat_input(path)
    try:
        with tarfile.open(path, "r:") as tar:
            members = [m for m in tar.getmembers() if m.isfile()]
            metas = [m for m in members if m.name.endswith(SIGMF_META)]
            if len(metas) != 1:
                raise CliError(f"{path}: a SigMF archive with {len(metas)} recordings; kestrix "
                               f"reads archives of exactly one", 1)
            meta = _parse_meta(tar.extractfile(metas[0]).read(), f"{path}:{metas[0].name}")
            dataset = meta["global"].get("core:dataset")
            want = (os.path.join(os.path.dirname(metas[0].name), os.path.basename(str(dataset)))
                    if dataset is not None else metas[0].name[: -len(SIGMF_META)] + SIGMF_DATA)
            data = [m for m in members if m.name == want]
            if not data:
                raise CliError(f"{path}: the archive has no data member {want}", 1)
    except tarfile.TarError as e:
        raise CliError(f"{path}: not a readable SigMF archive ({_first_line(e)})", 1) from None
    except OSError as e:
        raise os_error(path, e) from None
    d = data[0]
    return _sigmf_source(meta, f"{path}:{metas[0].name}", "sigmf-archive", path, path, [path],
                         d.offset_data, d.size, conforming=dataset is None)


def open_source(path: str, fmt: str | None = None) -> Source:
    """Open the recording ``path`` (format from its name unless ``fmt`` is given)."""
    opener = {"sigmf": open_sigmf_pair, "sigmf-archive": open_sigmf_archive,
              "npy": open_npy, "raw": open_raw}[detect_format(path, fmt)]
    return opener(path)
