"""One long recording through an FIR-only chain, cut into chunks over a Dask cluster.

A FIR's output at sample i depends only on the last ``taps`` inputs, so the
recording is filtered by :func:`kestrix.dask.fir` in chunks, each from the
input samples before it, with exactly the bits of the engine's stream.  The
samples never pass through this process: each worker reads its chunk from
the input file and writes its stretch of the output into the output's
temporary file, at the offset the stored sample type puts it.  This process
creates that file (with its ``.npy`` header) before and commits it (with its
SigMF metadata) after, through the engine's own sinks, so the output is
byte for byte the one a single process writes, or nothing.

Some runs need the whole recording in order, and :func:`obstacle` names
what keeps one from this path (the command then runs it in one process):
a stream for input or output, a SigMF archive output (assembled in one
piece), ``--sha512`` (a digest of the output in order) and ``--plot``.  The
level statistics are not measured here; a SigMF input's recorded SHA-512 is
checked by one more task that reads the data file beside the chunks.
"""

from __future__ import annotations

import contextlib
import os
import time
from dataclasses import replace
from typing import Callable

import numpy as np

from ._chain import ChainConfig
from ._cluster import Cluster
from ._errors import CliError, SignalHold, os_error
from ._sinks import (NpySink, check_outputs, open_sink, output_files, output_format, output_kind,
                     output_type)
from ._sources import Source
from .engine import RunOptions, Summary, block_frames, sigmf_metadata

CHUNK_SAMPLES = (1 << 16, 1 << 22)  # fewest and most samples of a chunk, all channels
CHUNKS_PER_WORKER = 4  # so that a slow worker holds up little at the end


def obstacle(src: Source, output: str, config: ChainConfig, options: RunOptions) -> str | None:
    """Why this recording cannot be filtered in chunks, or None."""
    if not config.fir_only:
        return ("the AGC and the moving average depend on the whole past, so a recording runs "
                "in order (--workers and --scheduler spread several recordings, or an FIR-only "
                "chain's filtering)")
    if not src.files or src.count is None:
        return "the input is not a regular file"
    fmt = output_format(output, options.out_format, options.out_datatype)
    if output_kind(output) in ("stream", "stdout"):
        return "the output is a stream, written in order"
    if fmt == "sigmf-archive":
        return ("a SigMF archive is assembled in one piece (a .sigmf-meta pair can be written "
                "in chunks)")
    for opt, value in (("--sha512", options.sha512), ("--plot", options.plot),
                       ("--telemetry", options.telemetry)):
        if value:
            return f"{opt} needs the whole recording in order"
    return None


def _read(src: Source, block_info=None) -> np.ndarray:
    """The chunk of frames that ``block_info`` locates, read from the input file."""
    start, stop = block_info[None]["array-location"][0]
    reader = src.reader(stop - start, verify=False)
    try:
        reader.seek(start)
        x = reader.read(np.empty((stop - start, src.channels), np.complex64))
    finally:
        reader.close()
    return x if src.channels > 1 else x[:, 0]


def _write(y: np.ndarray, path: str, offset: int, stype, name: str,
           block_info=None) -> np.ndarray:
    """Store the filtered frames ``y`` at their place in the output file; return the
    components written and how many of them saturated."""
    from ._datatypes import Encoder

    start = block_info[0]["array-location"][0][0]
    enc = Encoder(stype)
    data = enc.encode(np.ascontiguousarray(y))
    pos = offset + start * stype.sample_bytes * (y.shape[1] if y.ndim > 1 else 1)
    try:
        fd = os.open(path, os.O_WRONLY)  # never created here: the client owns the file
        try:
            done = 0
            while done < len(data):
                done += os.pwrite(fd, data[done:], pos + done)
        finally:
            os.close(fd)
    except OSError as e:
        raise os_error(name, e, "write") from None
    return np.array([enc.components, enc.saturated], np.int64)


def _verify(src: Source) -> None:
    """Check the input's recorded SHA-512 over its whole data file."""
    reader = src.reader(1)
    try:
        reader.verify()
    finally:
        reader.close()


def _chunk_frames(count: int, channels: int, workers: int) -> int:
    lo, hi = (n // channels or 1 for n in CHUNK_SAMPLES)
    return min(hi, max(lo, -(-count // (CHUNKS_PER_WORKER * workers))))


def filter_in_chunks(cluster: Cluster, src: Source, output: str, config: ChainConfig,
                     options: RunOptions,
                     progress: Callable[[int, int | None], None] | None = None) -> Summary:
    """Filter ``src`` into ``output`` on the cluster; what :func:`obstacle` allows only.

    As :func:`~kestrix.engine.process_recording`, either the output is
    complete under its final name or nothing is left; any exception here
    (Ctrl-C, a termination signal) cancels the chunks not yet filtered.
    """
    import dask.array as da
    from distributed import as_completed

    from .dask import fir

    warnings = config.check()
    if src.count == 0:
        raise CliError(f"{src.name}: the recording holds no samples", 1)
    fmt = output_format(output, options.out_format, options.out_datatype)
    stype = output_type(output, fmt, options.out_datatype)
    outputs = output_files(output, fmt)
    check_outputs(outputs, src.files, options.force)
    count, nch = src.count, src.channels
    taps = (config.lowpass or config.taps).coefficients()
    # What each chunk's task carries; by absolute names, since the workers'
    # working folders may be any.
    light = replace(src, meta=None, data_path=os.path.abspath(src.data_path))
    step = _chunk_frames(count, nch, cluster.workers)
    sizes = (step,) * (count // step) + ((count % step,) if count % step else ())
    summary = Summary(src.path, output, config.describe(), samples=count, channels=nch,
                      rate=options.rate or src.rate, datatype=stype.name, warnings=warnings,
                      group_delay=config.group_delay(), outputs=outputs)
    with contextlib.ExitStack() as stack:
        hold = stack.enter_context(SignalHold())
        hold.hold()
        sink = stack.enter_context(open_sink(output, fmt, count, stype, nch, columns=src.columns))
        hold.release()
        sink.data.file.flush()  # the .npy header, before the workers write beyond it
        offset = NpySink.HEADER_BYTES if fmt == "npy" else 0
        if nch == 1:
            x = da.map_blocks(_read, light, chunks=(sizes,), dtype=np.complex64,
                              meta=np.empty((0,), np.complex64))
            y = fir(x, taps)
        else:
            x = da.map_blocks(_read, light, chunks=(sizes, (nch,)), dtype=np.complex64,
                              meta=np.empty((0, 0), np.complex64))
            y = da.stack([fir(x[:, c], taps) for c in range(nch)], axis=1)
        w = y.map_blocks(_write, sink.data.tmp, offset, stype, output, chunks=((2,) * len(sizes),),
                         drop_axis=list(range(1, y.ndim)), dtype=np.int64)
        t0 = time.perf_counter()
        futures = cluster.client.compute(list(w.to_delayed().ravel()))
        index = {f: i for i, f in enumerate(futures)}
        if src.sha512 is not None and options.verify:
            futures.append(cluster.client.submit(_verify, light, pure=False))
        try:
            done = 0
            for fut in as_completed(futures):
                result = fut.result()
                if fut in index:
                    summary.components += int(result[0])
                    summary.saturated = (summary.saturated or 0) + int(result[1])
                    done += sizes[index[fut]]
                    if progress is not None:
                        progress(done, count)
        except BaseException:
            cluster.cancel(futures)
            raise
        summary.seconds = time.perf_counter() - t0
        if not stype.fixed:
            summary.saturated = None
        if fmt == "sigmf":
            sink.metadata = sigmf_metadata(src, summary, config.build(),
                                           block_frames(options, config, nch), None)
        hold.hold()
    return summary
