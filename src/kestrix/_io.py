"""Recording formats of the ``kestrix`` command: reading and writing in blocks.

Three formats are understood:

- SigMF: a ``.sigmf-meta`` / ``.sigmf-data`` pair.  The metadata is parsed
  and checked with the ``sigmf`` library; the samples are then streamed from
  the data file here, converted to complex64 block by block with the same
  scaling as ``SigMFFile.read_samples`` (fixed-point components divided by
  2**(bits-1), unsigned ones re-centred first).
- raw: headerless little-endian complex64 (``.cf32``, ``.fc32``, ``.cfile``,
  ``.raw``).
- npy: a one-dimensional complex64 or complex128 NumPy ``.npy`` array.

Readers fill a caller-owned complex64 buffer with ``readinto``, so memory
stays bounded by the block size whatever the file size.  Writers stream to a
temporary file in the destination folder and only ``commit`` renames it to the
final name; ``abort`` (and any exception, Ctrl-C included) leaves nothing
under the final name.
"""

from __future__ import annotations

import copy
import hashlib
import json
import mmap
import os
import re
import tempfile
import warnings
from dataclasses import dataclass, field

import numpy as np

RAW_SUFFIXES = (".cf32", ".fc32", ".cfile", ".raw")
SIGMF_META = ".sigmf-meta"
SIGMF_DATA = ".sigmf-data"
FORMATS = ("sigmf", "raw", "npy")
CLI_EXTRA_HINT = "pip install 'kestrix[cli]'"


class CliError(Exception):
    """A failure reported to the user as one line, with an exit status.

    Status 2 is a usage error (bad option, bad parameter, output clash),
    status 1 an input/output error (missing, unreadable or malformed file).
    """

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(" ".join(str(message).split()))
        self.code = code


def require(module: str, purpose: str):
    """Import an optional dependency of the command-line extra, or fail clearly."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(
            f"{purpose} needs the Python package '{module}': {CLI_EXTRA_HINT}", 1
        ) from None


def _sigmf():
    require("sigmf", "SigMF support")
    from sigmf import sigmffile

    return sigmffile


# ------------------------------------------------------------------ naming


def sigmf_pair(path: str) -> tuple[str, str]:
    """The (meta, data) file names of the SigMF recording that ``path`` names."""
    for suffix in (SIGMF_META, SIGMF_DATA):
        if path.endswith(suffix):
            base = path[: -len(suffix)]
            return base + SIGMF_META, base + SIGMF_DATA
    return path + SIGMF_META, path + SIGMF_DATA


def detect_format(path: str, override: str | None = None, *, for_output: bool = False) -> str:
    """The format of ``path``: from ``override`` when given, else from its name."""
    if override:
        return override
    low = path.lower()
    if low.endswith((SIGMF_META, SIGMF_DATA)):
        return "sigmf"
    if low.endswith(".sigmf") or re.search(r"\.sigmf\.(gz|xz|zip)$", low):
        raise CliError(
            f"{path}: SigMF archives are not supported; extract the "
            f".sigmf-meta/.sigmf-data pair and give one of those", 2)
    if low.endswith(".npy"):
        return "npy"
    if low.endswith(RAW_SUFFIXES):
        return "raw"
    if not for_output and os.path.isfile(path + SIGMF_META):
        return "sigmf"
    what = "output" if for_output else "input"
    raise CliError(
        f"cannot tell the format of {what} '{path}' from its name (known: "
        f".sigmf-meta, .sigmf-data, .npy, {', '.join(RAW_SUFFIXES)}); "
        f"give --{'out-' if for_output else ''}format", 2)


def file_set(path: str, fmt: str) -> list[str]:
    """The files that a recording of format ``fmt`` named ``path`` consists of."""
    if fmt == "sigmf":
        return list(sigmf_pair(path))
    return [path]


def same_file(a: str, b: str) -> bool:
    """True when the two names reach one file (also through links)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


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
    """Parse a SigMF ``core:datatype``; anything not complex and single-channel is refused."""
    m = _SIGMF_TYPE.match(name) if isinstance(name, str) else None
    if m is None or m["kind"] != "c":
        raise CliError(
            f"unsupported SigMF sample type {name!r}: kestrix processes complex "
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


# ------------------------------------------------------------------ reading


@dataclass
class Source:
    """An input recording, opened for streaming.

    ``count`` samples of ``stype`` start at byte ``offset`` of ``data_path``.
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
    sha512: str | None = None  # digest the whole data file must have
    describe: str = ""
    extra: dict = field(default_factory=dict)

    def reader(self, block: int, *, verify: bool = True) -> "Reader":
        return Reader(self, block, verify=verify and self.sha512 is not None)


class Reader:
    """Sequential block reader.

    ``read(buf)`` returns the next ``len(buf)`` samples (fewer at the end) as
    a complex64 array.  Files stored as little-endian complex64 are memory
    mapped and handed out as read-only views, with no copy; the pages of a
    block are dropped from the process (``MADV_DONTNEED``, they stay in the
    page cache) once the next block is asked for, so resident memory stays
    bounded by the block size.  Other sample types are read into a scratch
    buffer and converted into ``buf``.
    """

    def __init__(self, src: Source, block: int, *, verify: bool) -> None:
        self.src = src
        self.left = src.count
        self.hash = hashlib.sha512() if verify else None
        try:
            self.f = open(src.data_path, "rb", buffering=0)
        except OSError as e:
            raise CliError(f"cannot read {src.data_path}: {e.strerror or e}", 1) from None
        self.mm = self.samples = None
        self.scratch = None
        self.pos = 0  # samples handed out so far
        self.released = 0  # bytes of the mapping already given back
        if src.stype.native and src.count:
            self._map()
        else:
            self.scratch = np.empty(2 * block, src.stype.component)
            if src.offset:
                self._update_hash(self._read_exact(src.offset))

    def _map(self) -> None:
        try:
            self.mm = mmap.mmap(self.f.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError) as e:
            raise CliError(f"cannot read {self.src.data_path}: {e}", 1) from None
        if hasattr(mmap, "MADV_SEQUENTIAL"):
            self.mm.madvise(mmap.MADV_SEQUENTIAL)
        self.samples = np.frombuffer(self.mm, np.complex64, self.src.count, self.src.offset)
        if self.hash is not None and self.src.offset:
            self.hash.update(self.mm[: self.src.offset])

    def _update_hash(self, data) -> None:
        if self.hash is not None:
            self.hash.update(data)

    def _read_exact(self, nbytes: int) -> bytes:
        data = self.f.read(nbytes)
        if len(data) != nbytes:
            raise CliError(f"{self.src.data_path}: file ended early (truncated while reading?)", 1)
        return data

    def _fill(self, mv: memoryview) -> None:
        got = 0
        while got < len(mv):
            n = self.f.readinto(mv[got:])
            if not n:
                raise CliError(
                    f"{self.src.data_path}: file ended after {got} of {len(mv)} bytes "
                    f"of a block (truncated while reading?)", 1)
            got += n

    def _release(self) -> None:
        """Give back the mapped pages of every block handed out before."""
        end = (self.src.offset + 8 * self.pos) // mmap.PAGESIZE * mmap.PAGESIZE
        if end > self.released and hasattr(mmap, "MADV_DONTNEED"):
            self.mm.madvise(mmap.MADV_DONTNEED, self.released, end - self.released)
            self.released = end

    def read(self, buf: np.ndarray) -> np.ndarray:
        """The next samples, at most ``len(buf)``: a view of the file or of ``buf``."""
        m = min(len(buf), self.left)
        if self.samples is not None:
            self._release()
            x = self.samples[self.pos : self.pos + m]
            self._update_hash(x)
        else:
            mv = memoryview(self.scratch[: 2 * m].view(np.uint8))
            try:
                self._fill(mv)
            except OSError as e:
                raise CliError(f"cannot read {self.src.data_path}: {e.strerror or e}", 1) from None
            self._update_hash(mv)
            x = buf[:m]
            convert_into(self.scratch[: 2 * m], self.src.stype, x)
        self.pos += m
        self.left -= m
        return x

    def finish(self) -> None:
        """After the last block: check the data file's digest when the metadata has one."""
        if self.hash is None:
            return
        if self.mm is not None:
            self._update_hash(self.mm[self.src.offset + 8 * self.src.count :])
        else:
            while True:
                rest = self.f.read(1 << 20)
                if not rest:
                    break
                self.hash.update(rest)
        if self.hash.hexdigest() != self.src.sha512.lower():
            raise CliError(
                f"{self.src.data_path} does not match its metadata: the SHA-512 "
                f"recorded in {self.src.files[0]} differs (use --skip-checksum to "
                f"process it anyway)", 1)

    def close(self) -> None:
        self.samples = None
        if self.mm is not None:
            try:
                self.mm.close()
            except BufferError:  # a block view is still alive; the collector unmaps it
                pass
        self.f.close()


def _stat_input(path: str) -> int:
    try:
        st = os.stat(path)
    except FileNotFoundError:
        raise CliError(f"{path}: no such file", 1) from None
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}", 1) from None
    if not os.path.isfile(path):
        raise CliError(f"{path}: not a regular file", 1)
    if not os.access(path, os.R_OK):
        raise CliError(f"cannot read {path}: permission denied", 1)
    return st.st_size


def open_raw(path: str) -> Source:
    size = _stat_input(path)
    if size % 8:
        raise CliError(
            f"{path}: truncated raw file: {size} bytes is not a whole number of "
            f"8-byte complex64 samples", 1)
    return Source("raw", path, path, [path], size // 8, CF32_LE,
                  describe="raw little-endian complex64 (cf32_le)")


def open_npy(path: str) -> Source:
    _stat_input(path)
    try:
        arr = np.load(path, mmap_mode="r", allow_pickle=False)
    except (ValueError, OSError, EOFError) as e:
        raise CliError(f"{path}: not a readable .npy array ({e})", 1) from None
    if not isinstance(arr, np.memmap) or arr.ndim != 1:
        shape = getattr(arr, "shape", "?")
        raise CliError(
            f"{path}: holds an array of shape {shape}; kestrix reads one-dimensional arrays", 1)
    dt = arr.dtype
    if dt.kind != "c" or dt.itemsize not in (8, 16):
        raise CliError(f"{path}: dtype {dt} is not complex64 or complex128", 1)
    comp = np.dtype(dt.str[0] + "f" + str(dt.itemsize // 2))
    st = SampleType(f"npy {dt.str}", comp, False, False)
    src = Source("npy", path, path, [path], int(arr.shape[0]), st, offset=int(arr.offset),
                 describe=f"NumPy .npy, dtype {dt} ({dt.str})")
    del arr
    return src


def read_sigmf_meta(meta_path: str) -> dict:
    _stat_input(meta_path)
    try:
        with open(meta_path, "rb") as f:
            meta = json.loads(f.read().decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise CliError(f"{meta_path}: not valid SigMF metadata (bad JSON: {e})", 1) from None
    except OSError as e:
        raise CliError(f"cannot read {meta_path}: {e.strerror or e}", 1) from None
    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict):
        raise CliError(f"{meta_path}: not valid SigMF metadata (no 'global' object)", 1)
    return meta


def open_sigmf(path: str) -> Source:
    """Open a SigMF pair, checking that the metadata and the data file agree."""
    sigmffile = _sigmf()
    meta_path, data_path = sigmf_pair(path)
    if not os.path.exists(meta_path):
        raise CliError(f"{path}: SigMF metadata {meta_path} not found (the pair is incomplete)", 1)
    meta = read_sigmf_meta(meta_path)
    g = meta["global"]
    stype = sigmf_sample_type(g.get("core:datatype"))
    if g.get("core:metadata_only"):
        raise CliError(f"{meta_path}: a metadata-only SigMF recording has no samples", 1)
    if int(g.get("core:num_channels", 1) or 1) != 1:
        raise CliError(
            f"{meta_path}: {g.get('core:num_channels')} interleaved channels are not "
            f"supported (one channel expected)", 1)
    dataset = g.get("core:dataset")
    if dataset is not None:
        data_path = os.path.join(os.path.dirname(meta_path), os.path.basename(str(dataset)))
    if not os.path.exists(data_path):
        raise CliError(
            f"{meta_path}: its data file {data_path} is missing (mismatched SigMF pair)", 1)
    size = _stat_input(data_path)
    captures = meta.get("captures") or []
    headers = [c.get("core:header_bytes", 0) if isinstance(c, dict) else 0 for c in captures]
    if any(headers[1:]) or (headers and headers[0] and dataset is None):
        raise CliError(
            f"{meta_path}: header bytes inside a SigMF data file are not supported", 1)
    offset = int(headers[0]) if headers and dataset is not None else 0
    trailing = int(g.get("core:trailing_bytes", 0) or 0)
    payload = size - offset - trailing
    if payload < 0 or payload % stype.sample_bytes:
        raise CliError(
            f"{meta_path} and {data_path} do not match: {size} bytes is not a whole "
            f"number of {stype.sample_bytes}-byte {stype.name} samples", 1)
    count = payload // stype.sample_bytes
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            smf = sigmffile.SigMFFile(metadata=meta, data_file=data_path, skip_checksum=True)
            smf.validate()
    except Exception as e:  # SigMFError, jsonschema's ValidationError and kin
        raise CliError(f"{meta_path}: not valid SigMF metadata ({_first_line(e)})", 1) from None
    for w in caught:
        raise CliError(f"{meta_path} and {data_path} do not match: {w.message}", 1)
    if int(smf.sample_count) != count:
        raise CliError(
            f"{meta_path} and {data_path} do not match: the metadata implies "
            f"{smf.sample_count} samples, the data file holds {count}", 1)
    for c in captures:
        start = c.get("core:sample_start", 0)
        if start > count:
            raise CliError(
                f"{meta_path} and {data_path} do not match: a capture starts at sample "
                f"{start} but the data holds {count} samples", 1)
    rate = g.get("core:sample_rate")
    return Source("sigmf", path, data_path, [meta_path, data_path], count, stype,
                  offset=offset, rate=float(rate) if rate else None, meta=meta,
                  sha512=g.get("core:sha512"), describe=f"SigMF, sample type {stype.name}")


def _first_line(e: BaseException) -> str:
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def open_source(path: str, fmt: str | None = None) -> Source:
    """Open the recording ``path`` (format from its name unless ``fmt`` is given)."""
    fmt = detect_format(path, fmt)
    if fmt == "sigmf":
        return open_sigmf(path)
    if fmt == "npy":
        return open_npy(path)
    return open_raw(path)


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
        self.x = x
        self.pos = 0

    def read(self, buf: np.ndarray) -> np.ndarray:
        m = min(len(buf), len(self.x) - self.pos)
        self.pos += m
        return self.x[self.pos - m : self.pos]

    def finish(self) -> None:
        pass

    def close(self) -> None:
        pass


# ------------------------------------------------------------------ writing


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class AtomicFile:
    """A file written under a temporary name in its final folder, renamed on commit."""

    def __init__(self, final: str, mode: str = "wb") -> None:
        self.final = final
        folder = os.path.dirname(os.path.abspath(final))
        if not os.path.isdir(folder):
            raise CliError(f"cannot write {final}: folder {folder} does not exist", 1)
        try:
            fd, self.tmp = tempfile.mkstemp(
                dir=folder, prefix="." + os.path.basename(final) + ".", suffix=".part")
        except OSError as e:
            raise CliError(f"cannot write {final}: {e.strerror or e}", 1) from None
        self.file = os.fdopen(fd, mode, **({} if "b" in mode else {"newline": "", "encoding": "utf-8"}))

    def write(self, data) -> None:
        try:
            self.file.write(data)
        except OSError as e:
            raise CliError(f"cannot write {self.final}: {e.strerror or e}", 1) from None

    def commit(self) -> None:
        try:
            self.file.close()
            os.chmod(self.tmp, 0o666 & ~_umask())
            os.replace(self.tmp, self.final)
        except OSError as e:
            self.abort()
            raise CliError(f"cannot write {self.final}: {e.strerror or e}", 1) from None
        self.tmp = None

    def abort(self) -> None:
        if self.tmp is None:
            return
        try:
            self.file.close()
        except OSError:
            pass
        try:
            os.unlink(self.tmp)
        except OSError:
            pass
        self.tmp = None


class Sink:
    """Streaming complex64 writer of one output recording."""

    def __init__(self, path: str, fmt: str, count: int) -> None:
        self.path, self.fmt, self.count = path, fmt, count
        self.written = 0
        self.meta_file: AtomicFile | None = None
        if fmt == "sigmf":
            meta_path, data_path = sigmf_pair(path)
            self.data = AtomicFile(data_path)
            self.meta_file = AtomicFile(meta_path, "w")
        else:
            self.data = AtomicFile(path)
        if fmt == "npy":
            header = {"descr": "<c8", "fortran_order": False, "shape": (count,)}
            np.lib.format.write_array_header_1_0(self.data.file, header)

    def write(self, x: np.ndarray) -> None:
        self.data.write(memoryview(x.view(np.uint8)))
        self.written += len(x)

    def commit(self, meta: dict | None = None) -> None:
        if self.written != self.count:
            raise RuntimeError(f"wrote {self.written} of {self.count} samples")
        if self.meta_file is not None:
            self.meta_file.write(sigmf_dumps(meta))
        # The data goes first: a metadata file under its final name always
        # describes a complete data file.
        self.data.commit()
        if self.meta_file is not None:
            self.meta_file.commit()

    def abort(self) -> None:
        self.data.abort()
        if self.meta_file is not None:
            self.meta_file.abort()


def sigmf_dumps(meta: dict) -> str:
    """Validate ``meta`` with the ``sigmf`` library and return its JSON text."""
    sigmffile = _sigmf()
    smf = sigmffile.SigMFFile(metadata=meta)
    smf.validate()
    import io

    buf = io.StringIO()
    smf.dump(buf, pretty=True)
    return buf.getvalue() + "\n"


def output_meta(src_meta: dict | None, *, rate: float | None, count: int,
                processing: dict, description: str | None = None) -> dict:
    """Metadata of a complex64 output: the input's global fields and captures kept.

    Fields that describe the input's bytes rather than its signal (sample
    type, digest, non-conforming layout) are replaced or dropped; the
    processing record goes under the ``kestrix:`` extension namespace.
    """
    from . import __version__

    meta = copy.deepcopy(src_meta) if src_meta else {"global": {}, "captures": [], "annotations": []}
    g = meta.setdefault("global", {})
    for key in ("core:sha512", "core:dataset", "core:trailing_bytes", "core:metadata_only"):
        g.pop(key, None)
    g["core:datatype"] = "cf32_le"
    g["core:num_channels"] = 1
    if rate:
        g["core:sample_rate"] = float(rate)
    if description and "core:description" not in g:
        g["core:description"] = description
    ext = [e for e in g.get("core:extensions", []) if e.get("name") != "kestrix"]
    ext.append({"name": "kestrix", "version": __version__, "optional": True})
    g["core:extensions"] = ext
    g["kestrix:processing"] = processing
    caps = meta.get("captures") or [{"core:sample_start": 0}]
    for c in caps:
        c.pop("core:header_bytes", None)
    meta["captures"] = [c for c in caps if c.get("core:sample_start", 0) <= count] or [
        {"core:sample_start": 0}]
    meta.setdefault("annotations", [])
    return meta
