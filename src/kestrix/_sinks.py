"""Output recordings of the ``kestrix`` command, written in blocks.

An output named by a regular file (or by a name that does not exist yet) is
written under a temporary name in its final folder and renamed over the final
name only when everything succeeded, as pip and the ``sigmf`` library do; a
character device, FIFO or socket is written as a stream.  Nothing that is not
a regular file is ever unlinked or renamed over, and a folder or a block
device is refused.  Every writer is a context manager: a clean exit commits,
any exception (Ctrl-C and termination signals included) aborts.
"""

from __future__ import annotations

import copy
import io
import os
import shutil
import socket
import stat
import struct
import tempfile
import threading

import numpy as np

from ._errors import CliError, os_error
from ._sources import FORMAT_NAMES, SIGMF_ARCHIVE, format_from_name, sigmf_module, sigmf_pair

# --------------------------------------------------------------- what a name is


def output_kind(path: str) -> str:
    """``"new"``, ``"regular"`` or ``"stream"``; CliError for anything else."""
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


def output_format(path: str, override: str | None) -> str:
    """The format to write to ``path``: ``override``, else its name, else raw for a stream."""
    fmt = override or format_from_name(path)
    if fmt is None and output_kind(path) == "stream":
        fmt = "raw"
    if fmt is None:
        raise CliError(f"cannot tell the format of output '{path}' from its name (known: "
                       f"{FORMAT_NAMES}); give --out-format", 2)
    return fmt


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
            if _same_file(o, f):
                raise CliError(f"output {o} is the input file {f}; choose another output name", 2)
        for other in outputs[:i]:
            if _same_file(o, other) and kind != "stream":
                raise CliError(f"two outputs share the name {o}", 2)
        if kind == "regular" and not force:
            raise CliError(f"output {o} exists; use --force to replace it", 2)


# --------------------------------------------------------------- one output file


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class OutputFile:
    """One output file, written whole or not at all (a stream is written as it comes).

    ``file`` is the open binary (or, with ``mode="w"``, text) file object.
    """

    def __init__(self, path: str, mode: str = "wb", *, staged: bool = True) -> None:
        self.path, self.tmp, self.sock = path, None, None
        text = {} if "b" in mode else {"newline": "", "encoding": "utf-8"}
        kind = output_kind(path) if staged else "direct"
        self.stream = kind in ("stream", "direct")
        try:
            if kind == "stream" and stat.S_ISSOCK(os.stat(path).st_mode):
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                self.file = self.sock.makefile(mode, **text)
            elif self.stream:
                self.file = open(path, mode, **text)
            else:
                folder = os.path.dirname(os.path.abspath(path))
                if not os.path.isdir(folder):
                    raise CliError(f"cannot write {path}: folder {folder} does not exist", 1)
                fd, self.tmp = tempfile.mkstemp(
                    dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".part")
                os.close(fd)
                # By name, since writers ask for .name; "r+" because a truncating
                # open makes some filesystems flush the whole file at close.
                self.file = open(self.tmp, mode.replace("w", "r+"), **text)
        except OSError as e:
            self.abort()
            raise os_error(path, e, "write") from None

    def write(self, data) -> None:
        try:
            self.file.write(data)
        except OSError as e:
            raise os_error(self.path, e, "write") from None

    def _close(self) -> None:
        for closer in (getattr(self, "file", None), self.sock):
            if closer is not None:
                try:
                    closer.close()
                except OSError:
                    pass

    def commit(self) -> None:
        try:
            self.file.close()
            if self.sock is not None:
                self.sock.close()
            if self.tmp is not None:
                os.chmod(self.tmp, 0o666 & ~_umask())
                os.replace(self.tmp, self.path)
        except OSError as e:
            self.abort()
            raise os_error(self.path, e, "write") from None
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
    """Streaming complex64 writer of one output recording; a context manager.

    ``count`` is the number of samples when known up front (None when not);
    ``metadata`` is the SigMF metadata that a SigMF output commits with.
    """

    def __init__(self, path: str, count: int | None) -> None:
        self.path, self.count, self.written = path, count, 0
        self.metadata: dict | None = None
        self.files: list[OutputFile] = []

    def _open(self, path: str, mode: str = "wb") -> OutputFile:
        f = OutputFile(path, mode)
        self.files.append(f)
        return f

    def write(self, x: np.ndarray) -> None:
        self.data.write(memoryview(x.view(np.uint8)))
        self.written += len(x)

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
    def __init__(self, path: str, count: int | None) -> None:
        super().__init__(path, count)
        self.data = self._open(path)


class NpySink(Sink):
    """A one-dimensional complex64 ``.npy``.

    The header is padded to a fixed size, so that a regular file whose length
    was not known up front gets its final shape written over it at commit.
    """

    HEADER_BYTES = 128

    def __init__(self, path: str, count: int | None) -> None:
        super().__init__(path, count)
        self.data = self._open(path)
        if count is None and self.data.stream:
            raise CliError(f"{path}: a .npy written to a stream needs its length up front", 2)
        self.data.write(self._header(count or 0))

    @classmethod
    def _header(cls, count: int) -> bytes:
        body = "{'descr': '<c8', 'fortran_order': False, 'shape': (%d,), }" % count
        body = body.ljust(cls.HEADER_BYTES - 11) + "\n"
        return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(body)) + body.encode("latin1")

    def commit(self) -> None:
        if self.count is None:
            f = self.data.file
            f.seek(0)
            f.write(self._header(self.written))
        super().commit()


def sigmf_dumps(meta: dict) -> str:
    """Validate ``meta`` with the ``sigmf`` library and return its JSON text."""
    smf = sigmf_module().sigmffile.SigMFFile(metadata=meta)
    smf.validate()
    buf = io.StringIO()
    smf.dump(buf, pretty=True)
    return buf.getvalue() + "\n"


class SigmfPairSink(Sink):
    def __init__(self, path: str, count: int | None) -> None:
        super().__init__(path, count)
        sigmf_module()
        meta_path, data_path = sigmf_pair(path)
        if output_kind(meta_path) == "stream" or output_kind(data_path) == "stream":
            raise CliError(f"{path}: a SigMF pair is written to two regular files; name a "
                           f"{SIGMF_ARCHIVE} archive to write one stream", 2)
        self.data = self._open(data_path)
        self.meta_file = self._open(meta_path, "w")

    def commit(self) -> None:
        self.meta_file.write(sigmf_dumps(self.metadata))
        super().commit()


# The sigmf library's archive writer stages its files in tempfile's default
# folder; pointing that at our own private folder (one archive at a time)
# keeps a copy of the data from being left in the system's temporary folder
# when the run is interrupted.
_TEMPDIR_LOCK = threading.Lock()


class SigmfArchiveSink(Sink):
    """A SigMF archive, made by the sigmf library's own archive writer at commit."""

    def __init__(self, path: str, count: int | None) -> None:
        super().__init__(path, count)
        sigmf_module()
        self.out = self._open(path)
        folder = None if self.out.stream else os.path.dirname(os.path.abspath(path))
        base = os.path.basename(path)
        self.name = base[: -len(SIGMF_ARCHIVE)] if base.lower().endswith(SIGMF_ARCHIVE) else base
        self.stage = tempfile.mkdtemp(dir=folder, prefix="." + base + ".", suffix=".part")
        self.data_path = os.path.join(self.stage, self.name + ".sigmf-data")
        try:
            self.data = OutputFile(self.data_path, staged=False)
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
                smf.archive(name=self.name, fileobj=self.out.file)
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


def open_sink(path: str, fmt: str, count: int | None) -> Sink:
    return SINKS[fmt](path, count)


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
    g.setdefault("core:version", sigmf_module().__specification__)
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
