"""Output recordings of the ``kestrix`` command, written in blocks.

An output named by a regular file (or by a name that does not exist yet) is
written under a temporary name in its final folder and renamed over the final
name only when everything succeeded, as pip and the ``sigmf`` library do; a
character device, FIFO or socket, and standard output (``-``, or a name for
the file it already is), are written as streams.  Nothing that is not a
regular file is ever unlinked or renamed over, and a folder or a block device
is refused.  Every writer is a context manager: a clean exit commits, any
exception (Ctrl-C and termination signals included) aborts.  A reader that
goes away (a closed pipe) ends the run with BrokenPipeError, untranslated, so
the command can exit as a pipeline expects.
"""

from __future__ import annotations

import copy
import os
import shutil
import stat
import struct
import tempfile
import threading

import numpy as np

from ._datatypes import CF32_LE, Encoder, SampleType, sample_type, suffix_type
from ._errors import CliError, check_signalled, os_error
from ._sigmf import sigmf_dumps, sigmf_module
from ._sources import FORMAT_NAMES, SIGMF_ARCHIVE, STDIO, format_from_name, sigmf_pair, widen_pipe

# --------------------------------------------------------------- what a name is


STDOUT_FD = 1  # the process's standard output, whatever sys.stdout is now


def _same_as_stdout(path: str) -> bool:
    try:
        a, b = os.stat(path), os.fstat(STDOUT_FD)
    except OSError:  # no such file, or standard output closed
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def is_stdout(path: str) -> bool:
    """``-``, or a name of the file that standard output already is (``/dev/stdout``)."""
    return path == STDIO or _same_as_stdout(path)


def output_kind(path: str) -> str:
    """``"new"``, ``"regular"``, ``"stream"`` or ``"stdout"``; CliError for anything else."""
    if is_stdout(path):
        return "stdout"
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return "new"
    except OSError as e:
        raise os_error(path, e, "write") from None
    mode = st.st_mode
    if stat.S_ISREG(mode):
        return "regular"
    if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        return "stream"
    what = "a folder" if stat.S_ISDIR(mode) else (
        "a block device" if stat.S_ISBLK(mode) else "not a regular file")
    raise CliError(f"output {path} is {what}; kestrix writes regular files, character devices, "
                   f"FIFOs and sockets only", 2)


def output_format(path: str, override: str | None, datatype: str | None = None) -> str:
    """The format to write to ``path``: ``override``, else its name, else raw for a
    stream or for ``--out-datatype``."""
    fmt = override or format_from_name(path)
    if fmt is None and (datatype is not None or output_kind(path) in ("stream", "stdout")):
        fmt = "raw"
    if fmt is None:
        raise CliError(f"cannot tell the format of output '{path}' from its name (known: "
                       f"{FORMAT_NAMES}); give --out-format", 2)
    return fmt


def output_type(path: str, fmt: str, datatype: str | None) -> SampleType:
    """The sample type to write: ``--out-datatype``, else what a raw name says, else cf32_le."""
    named = suffix_type(path) if fmt == "raw" and path != STDIO else None
    if datatype is None:
        return sample_type(named) if named else CF32_LE
    st = sample_type(datatype, "--out-datatype", 2)
    if named not in (None, datatype):
        raise CliError(f"output {path} is named as {named} but --out-datatype is {datatype}; "
                       f"choose a name that says {datatype} (or no type)", 2)
    if fmt == "npy" and st.fixed:
        raise CliError(f"a .npy output holds complex floats (cf32_le, cf64_le or _be), not "
                       f"{datatype}; write raw or SigMF for integer samples", 2)
    return st


SUMMARY_NAME = "summary.csv"  # a batch's table, in its output folder


def output_files(path: str, fmt: str) -> list[str]:
    return list(sigmf_pair(path)) if fmt == "sigmf" else [path]


def _same_file(a: str, b: str) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_outputs(outputs: list[str], inputs: list[str], force: bool) -> None:
    """Refuse outputs that would overwrite an input, each other, or (without --force) a file."""
    for i, o in enumerate(outputs):
        kind = output_kind(o)
        for f in inputs:
            if _same_as_stdout(f) if kind == "stdout" else _same_file(o, f):
                raise CliError(f"output {o} is the input file {f}; choose another output name", 2)
        for other in outputs[:i]:
            if kind == "stdout" and is_stdout(other):
                raise CliError(f"two outputs share standard output ({other} and {o})", 2)
            if kind not in ("stream", "stdout") and _same_file(o, other):
                raise CliError(f"two outputs share the name {o}", 2)
        if kind == "stdout" and os.isatty(STDOUT_FD):
            raise CliError("standard output is a terminal; redirect it or pipe it on (kestrix "
                           "writes binary samples there)", 2)
        if kind == "regular" and not force:
            raise CliError(f"output {o} exists; use --force to replace it", 2)


# --------------------------------------------------------------- one output file


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class OutputFile:
    """One output file, written whole or not at all (a stream is written as it comes).

    ``file`` is the open binary (or, with ``mode="w"``, text) file object.
    """

    def __init__(self, path: str, mode: str = "wb", *, staged: bool = True,
                 background: bool = False) -> None:
        self.path, self.tmp, self.sock, self.writer, self.twin = path, None, None, None, None
        text = {} if "b" in mode else {"newline": "", "encoding": "utf-8"}
        kind = output_kind(path) if staged else "direct"
        self.stream = kind in ("stream", "direct", "stdout")
        try:
            if kind == "stdout":
                # Our own descriptor's file object; fd 1 itself stays open for the interpreter.
                self.file = open(STDOUT_FD, mode, closefd=False, **text)
            elif kind == "stream" and stat.S_ISSOCK(os.stat(path).st_mode):
                import socket  # here: few runs write to a socket

                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                self.file = self.sock.makefile(mode, **text)
            elif kind == "stream":
                self.file = open(path, mode, **text)
            else:
                target = path
                if kind != "direct":
                    folder = os.path.dirname(os.path.abspath(path))
                    if not os.path.isdir(folder):
                        raise CliError(f"cannot write {path}: folder {folder} does not exist", 1)
                    fd, self.tmp = tempfile.mkstemp(
                        dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".part")
                    os.close(fd)
                    # By name, since writers ask for .name; "r+" because a truncating
                    # open makes some filesystems flush the whole file at close.
                    target, mode = self.tmp, mode.replace("w", "r+")
                if not background:
                    self.file = open(target, mode, **text)
                else:
                    # A regular file (binary) is written by a thread of its own
                    # while the caller processes the next block.
                    from ._blocks import Writer

                    self.file = open(target, mode, buffering=0)
                    self.writer = Writer(self.file.fileno())
            if kind in ("stdout", "stream"):
                widen_pipe(self.file.fileno())  # when it is a pipe
                if background:
                    self._write_pipe_behind()
        except OSError as e:
            self.abort()
            raise os_error(path, e, "write") from None
        except BaseException:
            self.abort()
            raise

    def _write_pipe_behind(self) -> None:
        """A pipe is written by a thread of its own too, through a non-blocking
        descriptor of its own (Linux opens the pipe again from /proc), so that a
        reader that stalls cannot hold up the end of the run.  Other streams (a
        socket, a character device), and a pipe that cannot be opened so, are
        written in the caller's thread."""
        fd = self.file.fileno()
        if not stat.S_ISFIFO(os.fstat(fd).st_mode):
            return
        try:
            self.twin = os.open(f"/proc/self/fd/{fd}", os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return
        from ._blocks import Writer

        self.writer = Writer(self.twin)

    def _failed(self, e: OSError) -> Exception:
        """A failed write as the command reports it; a closed pipe as it is: its reader
        went away, which ends the command quietly."""
        return e if isinstance(e, BrokenPipeError) else os_error(self.path, e, "write")

    def write(self, data) -> None:
        try:
            if self.writer is not None:
                self.writer.write(data)
            else:
                self.file.write(data)
        except OSError as e:
            raise self._failed(e) from None

    def flush(self) -> None:
        """Everything written so far reaches the file (before ``file`` is used directly)."""
        try:
            if self.writer is not None:
                self.writer.flush()
            self.file.flush()
        except OSError as e:
            raise self._failed(e) from None

    def _close(self) -> None:
        if self.writer is not None:
            self.writer.discard()
        for closer in (getattr(self, "file", None), self.sock):
            if closer is not None:
                try:
                    closer.close()
                except OSError:
                    pass
        self._close_twin()

    def _close_twin(self) -> None:
        if self.twin is not None:
            fd, self.twin = self.twin, None
            os.close(fd)

    def commit(self) -> None:
        try:
            check_signalled()
        except BaseException:
            self.abort()
            raise
        try:
            if self.writer is not None:
                self.writer.close()
            self._close_twin()
            self.file.close()
            if self.sock is not None:
                self.sock.close()
            if self.tmp is not None:
                os.chmod(self.tmp, 0o666 & ~current_umask())
                os.replace(self.tmp, self.path)
        except OSError as e:
            self.abort()
            raise self._failed(e) from None
        self.tmp = None

    def abort(self) -> None:
        self._close()
        if self.tmp is not None:
            try:
                os.unlink(self.tmp)
            except OSError:
                pass
            self.tmp = None

    def __enter__(self) -> "OutputFile":
        return self

    def __exit__(self, et, ev, tb) -> None:
        if et is None:
            self.commit()
        else:
            self.abort()


# --------------------------------------------------------------- recordings


class Sink:
    """Streaming writer of one output recording; a context manager.

    ``write(x)`` takes blocks of frames by ``channels`` complex64 samples and
    stores them interleaved as ``stype``.  ``count`` is the number of frames
    when known up front (None when not); ``metadata`` is the SigMF metadata
    that a SigMF output commits with.  With ``digest`` the SHA-512 of the
    stored bytes is kept as they are written.
    """

    def __init__(self, path: str, count: int | None, stype: SampleType = CF32_LE,
                 channels: int = 1, *, columns: bool = False, digest: bool = False) -> None:
        self.path, self.count, self.written = path, count, 0
        self.stype, self.channels, self.columns = stype, channels, columns or channels > 1
        self.encoder = Encoder(stype)
        if digest:
            import hashlib  # here: only --sha512 needs it

            self.hash = hashlib.sha512()
        else:
            self.hash = None
        self.metadata: dict | None = None
        self.files: list[OutputFile] = []

    def _open(self, path: str, mode: str = "wb", *, background: bool = False) -> OutputFile:
        f = OutputFile(path, mode, background=background)
        self.files.append(f)
        return f

    def write(self, x: np.ndarray) -> None:
        data = self.encoder.encode(x)
        if self.hash is not None:
            self.hash.update(data)
        self.data.write(data)
        self.written += len(x)

    @property
    def saturated(self) -> int:
        return self.encoder.saturated

    @property
    def sha512(self) -> str | None:
        return None if self.hash is None else self.hash.hexdigest()

    def commit(self) -> None:
        # The data goes first: a metadata file under its final name always
        # describes a complete data file.
        for f in self.files:
            f.commit()

    def abort(self) -> None:
        for f in self.files:
            f.abort()

    def __enter__(self) -> "Sink":
        return self

    def __exit__(self, et, ev, tb) -> None:
        if et is not None:
            self.abort()
            return
        try:
            self.commit()
        except BaseException:
            self.abort()
            raise


class RawSink(Sink):
    def __init__(self, path: str, count: int | None, *args, **kw) -> None:
        super().__init__(path, count, *args, **kw)
        self.data = self._open(path, background=True)


class NpySink(Sink):
    """A complex ``.npy`` array: (samples,), or (samples, channels) for several.

    The header is padded to a fixed size, so that a regular file whose length
    was not known up front gets its final shape written over it at commit.
    """

    HEADER_BYTES = 128

    def __init__(self, path: str, count: int | None, *args, **kw) -> None:
        super().__init__(path, count, *args, **kw)
        self.data = self._open(path, background=True)
        if count is None and self.data.stream:
            raise CliError(f"{path}: a .npy written to a stream needs its length up front", 2)
        self.data.write(self._header(count or 0))

    def _header(self, count: int) -> bytes:
        comp = self.stype.component
        descr = np.dtype(f"{comp.byteorder.replace('=', '<')}c{2 * comp.itemsize}").str
        shape = f"({count}, {self.channels})" if self.columns else f"({count},)"
        body = "{'descr': '%s', 'fortran_order': False, 'shape': %s, }" % (descr, shape)
        body = body.ljust(self.HEADER_BYTES - 11) + "\n"
        return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(body)) + body.encode("latin1")

    def commit(self) -> None:
        if self.count is None:
            self.data.flush()
            f = self.data.file
            f.seek(0)
            f.write(self._header(self.written))
        super().commit()


class SigmfPairSink(Sink):
    def __init__(self, path: str, count: int | None, *args, **kw) -> None:
        super().__init__(path, count, *args, **kw)
        sigmf_module()
        meta_path, data_path = sigmf_pair(path)
        if path == STDIO or any(output_kind(p) in ("stream", "stdout") for p in (meta_path, data_path)):
            raise CliError(f"{path}: a SigMF pair is written to two regular files; name a "
                           f"{SIGMF_ARCHIVE} archive to write one stream", 2)
        self.data = self._open(data_path, background=True)
        self.meta_file = self._open(meta_path, "w")

    def commit(self) -> None:
        self.meta_file.write(sigmf_dumps(self.metadata))
        super().commit()


# The sigmf library's archive writer stages its files in tempfile's default
# folder; pointing that at our own private folder (one archive at a time)
# keeps a copy of the data from being left in the system's temporary folder
# when the run is interrupted.
_TEMPDIR_LOCK = threading.Lock()


class _Position:
    """A write-only stream that knows its own position and name, which the sigmf
    archive writer (through tarfile) asks of its file: a pipe can tell neither."""

    def __init__(self, file, name: str) -> None:
        self.file, self.name, self.pos = file, name, 0

    def write(self, data) -> int:
        self.file.write(data)
        self.pos += len(data)
        return len(data)

    def tell(self) -> int:
        return self.pos


class SigmfArchiveSink(Sink):
    """A SigMF archive, made by the sigmf library's own archive writer at commit."""

    def __init__(self, path: str, count: int | None, *args, **kw) -> None:
        super().__init__(path, count, *args, **kw)
        sigmf_module()
        self.out = self._open(path)
        folder = None if self.out.stream else os.path.dirname(os.path.abspath(path))
        base = "kestrix" if path == STDIO else os.path.basename(path)
        self.name = base[: -len(SIGMF_ARCHIVE)] if base.lower().endswith(SIGMF_ARCHIVE) else base
        self.stage = tempfile.mkdtemp(dir=folder, prefix="." + base + ".", suffix=".part")
        self.data_path = os.path.join(self.stage, self.name + ".sigmf-data")
        try:
            self.data = OutputFile(self.data_path, staged=False, background=True)
        except BaseException:
            self.abort()
            raise

    def commit(self) -> None:
        sigmf = sigmf_module()
        self.data.commit()
        smf = sigmf.sigmffile.SigMFFile(metadata=copy.deepcopy(self.metadata),
                                        data_file=self.data_path, skip_checksum=True)
        with _TEMPDIR_LOCK:
            saved, tempfile.tempdir = tempfile.tempdir, self.stage
            try:
                smf.archive(name=self.name, fileobj=_Position(self.out.file, self.name))
            finally:
                tempfile.tempdir = saved
        del smf
        super().commit()
        self._drop_stage()

    def abort(self) -> None:
        if getattr(self, "data", None) is not None:
            self.data.abort()
        super().abort()
        self._drop_stage()

    def _drop_stage(self) -> None:
        if getattr(self, "stage", None):
            shutil.rmtree(self.stage, ignore_errors=True)
            self.stage = None


SINKS = {"raw": RawSink, "npy": NpySink, "sigmf": SigmfPairSink, "sigmf-archive": SigmfArchiveSink}


def open_sink(path: str, fmt: str, count: int | None, stype: SampleType = CF32_LE,
              channels: int = 1, *, columns: bool = False, digest: bool = False) -> Sink:
    return SINKS[fmt](path, count, stype, channels, columns=columns, digest=digest)
