"""Input recordings of the ``kestrix`` command, read in blocks.

Four formats are read:

- SigMF pair (``NAME.sigmf-meta`` / ``NAME.sigmf-data``) and SigMF archive
  (``NAME.sigmf``): opened by :mod:`kestrix._sigmf`, streamed from here;
  ``core:num_channels`` channels interleaved sample by sample.
- raw: headerless samples of a SigMF datatype (:mod:`kestrix._datatypes`),
  named by ``--datatype`` or by the file's suffix (``.cu8``, ``.cs16``,
  ``.cf32``, ...); ``--channels`` interleaved channels.
- npy: a complex64 or complex128 NumPy ``.npy`` array, one-dimensional or
  shaped (samples, channels).

Raw samples are also read from standard input (``-``), FIFOs and character
devices, whose length is unknown until they end.  Every file is read with
explicit reads into a caller-owned buffer: nothing is memory mapped, so
another program truncating the file while it is read makes a short read,
reported as one line, never a crash.  A reader fills whole blocks whatever
sizes the reads return, so a pipe's chunking never reaches the chain.
"""

from __future__ import annotations

import glob
import os
import re
import stat
import sys
from dataclasses import dataclass, field

import numpy as np

from ._datatypes import CF32_LE, SUFFIX_TABLE, SUFFIX_TYPES, SampleType, decode_into, sample_type, suffix_type
from ._errors import CliError, os_error

RAW_SUFFIXES = (*SUFFIX_TYPES, ".raw")
SIGMF_META = ".sigmf-meta"
SIGMF_DATA = ".sigmf-data"
SIGMF_ARCHIVE = ".sigmf"
STDIO = "-"
FORMATS = ("sigmf", "sigmf-archive", "raw", "npy")
FORMAT_NAMES = (f"{SIGMF_ARCHIVE} (SigMF archive), {SIGMF_META}/{SIGMF_DATA} (SigMF pair), "
                f".npy, raw {'/'.join(RAW_SUFFIXES)}")
MAX_CHANNELS = 64  # each channel keeps its own chain and accumulators
# An input's read-ahead thread holds blocks up to about this many bytes (from
# 3 to 8, the most a Reader takes): the more it holds, the longer the runs of
# reads it makes each time it goes to work.
AHEAD_BYTES = 4 << 20
STREAM_LIMIT = (1 << 64) - 1  # a stream's read-ahead: up to its end


# ------------------------------------------------------------------ naming


def sigmf_pair(path: str) -> tuple[str, str]:
    """The (meta, data) file names of the SigMF recording that ``path`` names."""
    for suffix in (SIGMF_META, SIGMF_DATA):
        if path.endswith(suffix):
            base = path[: -len(suffix)]
            return base + SIGMF_META, base + SIGMF_DATA
    return path + SIGMF_META, path + SIGMF_DATA


# The suffix that each format other than raw gives its files' names.
FORMAT_SUFFIX = {"sigmf": SIGMF_META, "sigmf-archive": SIGMF_ARCHIVE, "npy": ".npy"}


def is_batch(inputs: list[str]) -> bool:
    """Several inputs, a folder or a glob pattern: outputs go into a folder."""
    return len(inputs) > 1 or any(
        i != STDIO and (os.path.isdir(i) or (glob.has_magic(i) and not os.path.lexists(i)))
        for i in inputs)


def split_name(path: str, fmt: str) -> tuple[str, str]:
    """(base, suffix) of the name of a recording of format ``fmt``, a SigMF pair by its
    metadata file; the suffix as written, whatever its case.

    Examples
    --------
    >>> split_name("a/b.sigmf-data", "sigmf")
    ('a/b', '.sigmf-meta')
    >>> split_name("x.SIGMF", "sigmf-archive"), split_name("x.cu8", "raw")
    (('x', '.SIGMF'), ('x', '.cu8'))
    """
    if fmt == "sigmf":
        path = sigmf_pair(path)[0]
    suffix = FORMAT_SUFFIX.get(fmt)
    if suffix and path.lower().endswith(suffix):
        return path[: -len(suffix)], path[-len(suffix):]
    return os.path.splitext(path)


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


def detect_format(path: str, override: str | None = None, datatype: str | None = None) -> str:
    """The format of the input ``path``: ``override``, else its name, else raw for ``--datatype``."""
    if override:
        return override
    if re.search(r"\.sigmf\.(gz|xz|zip)$", path.lower()):
        raise CliError(f"{path}: compressed SigMF archives are not read; decompress it "
                       f"to a plain {SIGMF_ARCHIVE} archive first", 2)
    fmt = format_from_name(path)
    if fmt is None and os.path.isfile(path + SIGMF_META):
        fmt = "sigmf"
    if fmt is None and datatype is not None:
        fmt = "raw"
    if fmt is None:
        raise CliError(f"cannot tell the format of input '{path}' from its name (known: "
                       f"{FORMAT_NAMES}); give --format, or --datatype for raw samples", 2)
    return fmt


def check_channels(n: object, where: str) -> int:
    if isinstance(n, bool) or not isinstance(n, int) or not 1 <= n <= MAX_CHANNELS:
        raise CliError(f"{where}: {n!r} channels; kestrix processes 1 to {MAX_CHANNELS}", 1)
    return n


# ------------------------------------------------------------------ sources

PIPE_BYTES = 1 << 20  # the most an unprivileged process may ask of Linux by default


def widen_pipe(fd: int, want: int = 0) -> None:
    """Let the writer of the pipe ``fd`` run a block or two (``want`` bytes) ahead of
    its reader; nothing when ``fd`` is not a pipe or holds that much already.

    A pipe holds 64 KiB by default, so a block would pass through it in small
    steps that each wait for the other end, instead of while the chain works.
    """
    try:
        import fcntl

        setsize, getsize = fcntl.F_SETPIPE_SZ, fcntl.F_GETPIPE_SZ  # Linux only
        if not stat.S_ISFIFO(os.fstat(fd).st_mode):
            return
        held = fcntl.fcntl(fd, getsize)
    except (ImportError, AttributeError, OSError):
        return
    for size in (max(want, PIPE_BYTES), PIPE_BYTES):
        if size <= held:
            return
        try:
            fcntl.fcntl(fd, setsize, size)
            return
        except OSError:  # beyond /proc/sys/fs/pipe-max-size
            continue


@dataclass
class Source:
    """An input recording: ``count`` frames of ``channels`` samples of ``stype``.

    The frames start at byte ``offset`` of ``data_path``; ``count`` is None
    for a stream, whose length is known only when it ends.  When the
    metadata records a SHA-512, it covers bytes ``hash_start`` to
    ``hash_end`` of the same file.  ``notes`` are warnings for the user.
    """

    fmt: str
    path: str  # the name the user gave
    data_path: str
    files: list[str]  # regular files read, which no output may replace
    count: int | None
    stype: SampleType
    channels: int = 1
    offset: int = 0
    rate: float | None = None
    meta: dict | None = None  # SigMF metadata, as stored
    sha512: str | None = None
    hash_start: int = 0
    hash_end: int = 0
    describe: str = ""
    columns: bool = False  # a two-dimensional (samples, channels) array
    notes: list[str] = field(default_factory=list)

    @property
    def name(self) -> str:
        """How messages name the input."""
        return "standard input" if self.path == STDIO else self.path

    @property
    def frame_bytes(self) -> int:
        return self.stype.sample_bytes * self.channels

    def reader(self, frames: int, *, verify: bool = True, ahead: bool = False) -> "BlockReader":
        return BlockReader(self, frames, verify=verify and self.sha512 is not None, ahead=ahead)


class BlockReader:
    """Reads a source's frames in order, block by block, with explicit reads.

    ``read(buf)`` fills ``buf`` (frames by channels, complex64) with the next
    frames (fewer only at the end) and returns the filled part.  A file that
    ends before its size said (it shrank while being read), or a stream that
    ends inside a frame, raises CliError.

    With ``ahead``, a regular file of known length or a stream is read ahead
    by a thread of its own, ``frames`` frames at a time: ``read(buf)`` then
    takes a ``buf`` of ``frames`` frames and returns complex64 input in the
    thread's own block, which stays valid until the next ``read``.
    """

    def __init__(self, src: Source, frames: int, *, verify: bool, ahead: bool = False) -> None:
        self.src = src
        self.pos = 0  # frames handed out so far
        self.ahead = None
        if verify:
            import hashlib  # here: only a recorded digest needs it

            self.hash = hashlib.sha512()
        else:
            self.hash = None
        self.scratch = None  # the stored components of a block to decode, read in place
        try:
            if src.data_path == STDIO:
                self.f = open(sys.stdin.fileno(), "rb", buffering=0, closefd=False)
            else:
                self.f = open(src.data_path, "rb", buffering=0)
        except OSError as e:
            raise os_error(self.name, e) from None
        if src.count is None:
            widen_pipe(self.f.fileno(), 2 * frames * src.frame_bytes)
        try:
            start = src.hash_start if self.hash is not None else src.offset
            if start:
                self.f.seek(start)
            if src.offset > start:
                self._hash_bytes(src.offset - start)
            if ahead and (src.count is None or stat.S_ISREG(os.fstat(self.f.fileno()).st_mode)):
                from ._blocks import Reader

                slot = frames * src.frame_bytes
                limit = STREAM_LIMIT if src.count is None else src.count * src.frame_bytes
                self.ahead = Reader(self.f, slot, limit, min(8, max(3, AHEAD_BYTES // slot)))
            elif not src.stype.native:
                self.scratch = np.empty(2 * frames * src.channels, src.stype.component)
        except BaseException:
            self.f.close()
            raise

    @property
    def name(self) -> str:
        return self.src.name if self.src.data_path == STDIO else self.src.data_path

    def _shrank(self, got_bytes: int) -> CliError:
        at = self.pos + got_bytes // self.src.frame_bytes
        return CliError(
            f"{self.name}: the input ended at sample {at:,} of {self.src.count:,}: "
            f"the file shrank while it was being read; no output was written", 1)

    def _fill(self, mv: memoryview) -> int:
        """Bytes read into ``mv``: all of it, or fewer at the end of the input."""
        got = 0
        while got < len(mv):
            try:
                n = self.f.readinto(mv[got:])
            except OSError as e:
                raise os_error(self.name, e) from None
            if not n:
                break
            got += n
        return got

    def _hash_bytes(self, nbytes: int) -> None:
        while nbytes > 0:
            data = self.f.read(min(nbytes, 1 << 20))
            if not data:
                raise self._shrank(0)
            self.hash.update(data)
            nbytes -= len(data)

    def _cut(self, got: int) -> None:
        """A stream that ended ``got`` bytes into this block: a frame cut is an error."""
        src = self.src
        part = got % src.frame_bytes
        if part:
            what = "frame" if src.channels > 1 else "sample"
            raise CliError(f"{self.name}: the stream ended {part} byte{'s' * (part > 1)} into "
                           f"a {src.frame_bytes}-byte {src.stype.name} {what}, after "
                           f"{self.pos + got // src.frame_bytes:,} whole ones", 1)

    def _read_ahead(self, buf: np.ndarray, m: int) -> np.ndarray:
        src = self.src
        try:
            raw = self.ahead.next()
        except OSError as e:
            raise os_error(self.name, e) from None
        if len(raw) < m * src.frame_bytes:
            if src.count is not None:
                raise self._shrank(len(raw))
            self._cut(len(raw))
            m = len(raw) // src.frame_bytes
            raw = raw[: m * src.frame_bytes]
        if self.hash is not None:
            self.hash.update(raw)
        self.pos += m
        if src.stype.native:
            return raw.view(np.complex64).reshape(m, src.channels)
        decode_into(raw.view(src.stype.component), src.stype, buf[:m])
        return buf[:m]

    def read(self, buf: np.ndarray) -> np.ndarray:
        src = self.src
        m = len(buf) if src.count is None else min(len(buf), src.count - self.pos)
        if self.ahead is not None:
            return self._read_ahead(buf, m)
        x = buf[:m]
        if self.scratch is None:
            mv = memoryview(x.reshape(-1).view(np.uint8))
        else:
            mv = memoryview(self.scratch[: 2 * m * src.channels].view(np.uint8))
        got = self._fill(mv)
        if got < len(mv):
            if src.count is not None:
                raise self._shrank(got)
            self._cut(got)
            m = got // src.frame_bytes
            x, mv = x[:m], mv[:got]
        if self.hash is not None:
            self.hash.update(mv)
        if self.scratch is not None:
            decode_into(self.scratch[: 2 * m * src.channels], src.stype, x)
        self.pos += m
        return x

    def seek(self, frame: int) -> None:
        """Go on from frame ``frame`` of a regular file (without a digest, which needs
        every byte in order)."""
        try:
            self.f.seek(self.src.offset + frame * self.src.frame_bytes)
        except OSError as e:
            raise os_error(self.name, e) from None
        self.pos, self.hash = frame, None

    def verify(self) -> None:
        """Check the digest of a reader that has read nothing, without decoding a sample."""
        self._hash_bytes(self.src.hash_end - self.src.offset)
        check_digest(self.src, self.hash.hexdigest())

    def finish(self) -> None:
        """After the last block: check the digest when the metadata has one."""
        if self.ahead is not None:
            self.ahead.close()  # the rest of the file is read here
        if self.hash is None:
            return
        end = self.src.offset + self.src.count * self.src.frame_bytes
        self._hash_bytes(self.src.hash_end - end)
        check_digest(self.src, self.hash.hexdigest())

    def close(self) -> None:
        if self.ahead is not None:
            self.ahead.close()
        self.f.close()


def check_digest(src: Source, sha512: str) -> None:
    """Refuse a SigMF data file whose digest is not the one its metadata records."""
    if sha512 != src.sha512.lower():
        raise CliError(
            f"{src.data_path} does not match its metadata: the SHA-512 recorded in "
            f"{src.files[0]} differs (use --skip-checksum to process it anyway)", 1)


class MemorySource(Source):
    """A one-channel recording held in memory (the demonstration), read like a file."""

    def __init__(self, x: np.ndarray, rate: float | None, meta: dict | None, name: str) -> None:
        super().__init__("memory", name, name, [], len(x), CF32_LE, rate=rate, meta=meta,
                         describe="generated in memory")
        self.x = np.ascontiguousarray(x, dtype=np.complex64)

    def reader(self, frames: int, *, verify: bool = True, ahead: bool = False) -> "MemoryReader":
        return MemoryReader(self.x)


class MemoryReader:
    def __init__(self, x: np.ndarray) -> None:
        self.x, self.pos = x, 0

    def read(self, buf: np.ndarray) -> np.ndarray:
        m = min(len(buf), len(self.x) - self.pos)
        buf[:m, 0] = self.x[self.pos : self.pos + m]
        self.pos += m
        return buf[:m]

    def finish(self) -> None:
        pass

    def close(self) -> None:
        pass


# ------------------------------------------------------------------ opening


def stat_input(path: str) -> int | None:
    """The size of the regular file ``path``, or None for a FIFO or character device."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        raise CliError(f"{path}: no such file", 1) from None
    except OSError as e:
        raise os_error(path, e) from None
    if not os.access(path, os.R_OK):
        raise CliError(f"cannot read {path}: permission denied", 1)
    if stat.S_ISREG(st.st_mode):
        return st.st_size
    if stat.S_ISFIFO(st.st_mode) or stat.S_ISCHR(st.st_mode):
        return None
    raise CliError(f"{path}: not a regular file, FIFO or character device", 1)


def raw_type(path: str, datatype: str | None) -> tuple[SampleType, list[str]]:
    """The sample type of raw input: ``--datatype``, else the one its name says."""
    named = None if path == STDIO else suffix_type(path)
    if datatype is None:
        if path == STDIO:
            raise CliError("standard input has no name to tell its sample type; give "
                           "--datatype (cu8, ci8, ci16_le, cf32_le, ...)", 2)
        if named is None:
            raise CliError(f"cannot tell the sample type of raw input '{path}' from its name "
                           f"(suffixes: {SUFFIX_TABLE}); give --datatype", 2)
        return sample_type(named), []
    st = sample_type(datatype, "--datatype", 2)
    notes = [f"{path}: read as {datatype} (--datatype), not as the {named} its name says"
             ] if named not in (None, datatype) else []
    return st, notes


def open_raw(path: str, datatype: str | None = None, channels: int | None = None) -> Source:
    st, notes = raw_type(path, datatype)
    c = check_channels(channels or 1, "--channels")
    if path == STDIO:
        if sys.stdin is None:
            raise CliError("standard input is closed; pipe samples into kestrix, or name a "
                           "file", 2)
        if sys.stdin.isatty():
            raise CliError("standard input is a terminal; pipe samples into kestrix, or name "
                           "a file", 2)
        size, name, files = None, "standard input", []
    else:
        size, name, files = stat_input(path), path, [path]
    frame = st.sample_bytes * c
    layout = f", {c} channels interleaved" if c > 1 else ""
    if size is None:
        return Source("raw", path, path, files, None, st, c, notes=notes,
                      describe=f"{name if path == STDIO else 'stream'}, raw {st.name}{layout}")
    if size % frame:
        raise CliError(f"{path}: truncated raw file: {size} bytes is not a whole number of "
                       f"{frame}-byte {st.name} {'frames' if c > 1 else 'samples'}", 1)
    return Source("raw", path, path, files, size // frame, st, c, notes=notes,
                  describe=f"raw {st.name}{layout}")


def open_npy(path: str) -> Source:
    size = stat_input(path)
    if size is None:
        raise CliError(f"{path}: a .npy array is read from a regular file; streams carry raw "
                       f"samples (give --datatype)", 2)
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
    if len(shape) not in (1, 2):
        raise CliError(f"{path}: holds an array of shape {shape}; kestrix reads arrays of "
                       f"samples or (samples, channels)", 1)
    if dt.kind != "c" or dt.itemsize not in (8, 16):
        raise CliError(f"{path}: dtype {dt} is not complex64 or complex128", 1)
    c = check_channels(int(shape[1]), path) if len(shape) == 2 else 1
    if fortran and c > 1:
        raise CliError(f"{path}: a Fortran-ordered (column-major) array; save it C-ordered "
                       f"(numpy.ascontiguousarray) to stream it", 1)
    count = int(shape[0])
    if size - offset < count * c * dt.itemsize:
        raise CliError(f"{path}: truncated .npy file: its header announces {count * c:,} samples "
                       f"but it holds {(size - offset) // dt.itemsize:,}", 1)
    comp = np.dtype(dt.str[0] + "f" + str(dt.itemsize // 2))
    st = SampleType(f"{dt.name} ({dt.str})", comp, False, False)
    return Source("npy", path, path, [path], count, st, c, offset=offset, columns=len(shape) == 2,
                  describe=f"NumPy .npy, dtype {dt} ({dt.str}), shape {shape}")


def open_source(path: str, fmt: str | None = None, *, datatype: str | None = None,
                channels: int | None = None) -> Source:
    """Open the recording ``path`` (format from its name unless ``fmt`` is given).

    ``datatype`` and ``channels`` describe raw samples; ``-`` is standard input.
    """
    if path == STDIO or (os.path.exists(path) and stat_input(path) is None):
        fmt = fmt or format_from_name(path) or "raw"
        if fmt != "raw":
            raise CliError(f"{path}: standard input, FIFOs and character devices carry raw "
                           f"samples; {fmt} is read from regular files only", 2)
    fmt = detect_format(path, fmt, datatype)
    if fmt != "raw" and (datatype is not None or channels is not None):
        raise CliError(f"--datatype and --channels describe raw input; {path} is {fmt}, which "
                       f"records its own", 2)
    if fmt == "raw":
        return open_raw(path, datatype, channels)
    if fmt == "npy":
        return open_npy(path)
    from ._sigmf import open_sigmf_archive, open_sigmf_pair

    return (open_sigmf_pair if fmt == "sigmf" else open_sigmf_archive)(path)
