"""One long recording through an FIR-only chain, cut into chunks over a Dask cluster.

A FIR's output at sample i depends only on the last ``taps`` inputs, so the
recording is filtered in chunks as :func:`kestrix.dask.fir` filters a dask
array: each chunk's filter starts with the ``taps - 1`` input samples before
it as its delay line (zeros before the start), which gives exactly the bits
of the engine's stream.  Here each chunk is one task that reads those samples
from the input file along with its own, so the tasks need nothing from each
other and no samples travel between workers (a dask array's chunk feeds both
its own filter and the next chunk's history, and Dask moves about half of
them to another worker), nor through this process.  A task streams its
chunk in the engine's blocks through a chain built on its worker from the
picklable configuration, and writes each block into the output's temporary
file at the offset its sample type puts it.  This process creates that file
(with its ``.npy`` header) before and commits it (with its SigMF metadata)
after, through the engine's own sinks, so the output is byte for byte the
one a single process writes, or nothing.

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
from ._cluster import Cancelled, CancelWatch, Cluster
from ._errors import SignalHold, check_signalled, os_error
from ._sinks import NpySink, check_outputs, open_sink, output_files, output_format, output_kind
from ._sources import Source
from .engine import Blocks, RunOptions, Summary, block_frames, output_of, sigmf_metadata

MIN_CHUNK = 1 << 16  # samples of all channels: below this a task costs more than it does
# Chunks per worker: a slow worker holds up little at the end, and the tasks
# (each streaming its chunk in blocks) are as many for a day as for a minute.
CHUNKS_PER_WORKER = 8


def obstacle(src: Source, output: str, config: ChainConfig, options: RunOptions) -> str | None:
    """Why this recording cannot be filtered in chunks, or None."""
    if not config.fir_only:
        what = ("the AGC and the moving average depend on the whole past"
                if config.agc is not None or config.average is not None else
                "a shift or a decimation counts the samples from the recording's start")
        return (f"{what}, so a recording runs in order (--workers and --scheduler spread "
                f"several recordings, or an FIR-only chain's filtering)")
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


def _filter_chunk(src: Source, config: ChainConfig, start: int, stop: int, frames: int,
                  path: str, offset: int, stype, name: str, flag: str) -> np.ndarray | None:
    """Filter frames ``start`` to ``stop`` of ``src`` into their place in the output file
    ``path``, in blocks of ``frames`` frames as the engine streams them, until the run
    ``flag`` names is cancelled; return the components written and how many of them
    saturated, or None when the run was cancelled (a task that ends normally, so that
    the worker does not log a failure the run has already reported)."""
    from ._datatypes import Encoder
    from ._firblock import restore_history

    chains = [config.build() for _ in range(src.channels)]  # a filter per channel
    first = max(start - (chains[0].stages[0].obj.num_taps - 1), 0)
    blocks = Blocks(frames, src.channels)
    enc = Encoder(stype)
    each = [chain.process for chain in chains]
    watch = CancelWatch(flag)
    try:
        watch()  # a task that starts after the cancellation does nothing
        reader = src.reader(frames, verify=False)
        try:
            reader.seek(first)
            history = reader.read(np.empty((start - first, src.channels), np.complex64))
            for c, chain in enumerate(chains):
                restore_history(chain.stages[0].obj, [history[:, c]])
            fd = os.open(path, os.O_WRONLY)  # never created here: the client owns the file
            try:
                pos = start
                while pos < stop:
                    watch()
                    x = reader.read(blocks.buf[: min(frames, stop - pos)])
                    blocks.each_channel(x, each)
                    data = enc.encode(x)
                    at = offset + pos * stype.sample_bytes * src.channels
                    done = 0
                    while done < len(data):
                        done += os.pwrite(fd, data[done:], at + done)
                    pos += len(x)
            finally:
                os.close(fd)
        except OSError as e:
            watch()  # the output was removed by the cancelled run's clean-up: no failure
            raise os_error(name, e, "write") from None
        finally:
            reader.close()
    except Cancelled:
        return None
    return np.array([enc.components, enc.saturated], np.int64)


def _verify(src: Source) -> None:
    """Check the input's recorded SHA-512 over its whole data file."""
    reader = src.reader(1)
    try:
        reader.verify()
    finally:
        reader.close()


def _chunk_frames(count: int, channels: int, workers: int) -> int:
    return max(MIN_CHUNK // channels, -(-count // (CHUNKS_PER_WORKER * workers)))


def filter_in_chunks(cluster: Cluster, src: Source, output: str, config: ChainConfig,
                     options: RunOptions,
                     progress: Callable[[int, int | None], None] | None = None) -> Summary:
    """Filter ``src`` into ``output`` on the cluster; what :func:`obstacle` allows only.

    As :func:`~kestrix.engine.process_recording`, either the output is
    complete under its final name or nothing is left; any exception here
    (Ctrl-C, a termination signal) cancels the chunks not yet filtered.
    """
    from distributed import as_completed

    warnings = config.check()
    fmt, stype = output_of(src, output, options)
    outputs = output_files(output, fmt)
    check_outputs(outputs, src.files, options.force)
    count, nch = src.count, src.channels
    # What each chunk's task carries; by absolute names, since the workers'
    # working folders may be any.
    light = replace(src, meta=None, data_path=os.path.abspath(src.data_path))
    step = _chunk_frames(count, nch, cluster.workers)
    starts = range(0, count, step)
    summary = Summary(src.path, output, config.describe(), samples=count, channels=nch,
                      rate=options.rate or src.rate, datatype=stype.name, warnings=warnings,
                      group_delay=config.group_delay(), outputs=outputs)
    with contextlib.ExitStack() as stack:
        hold = stack.enter_context(SignalHold())
        hold.hold()
        sink = stack.enter_context(open_sink(output, fmt, count, stype, nch, columns=src.columns))
        hold.release()
        sink.data.flush()  # the .npy header, before the workers write beyond it
        offset = NpySink.HEADER_BYTES if fmt == "npy" else 0
        t0 = time.perf_counter()
        frames = block_frames(options, config, nch)
        futures = [cluster.client.submit(_filter_chunk, light, config, a, min(a + step, count),
                                         frames, sink.data.tmp, offset, stype, output,
                                         cluster.flag, pure=False)
                   for a in starts]
        index = {f: i for i, f in enumerate(futures)}
        if src.sha512 is not None and options.verify:
            futures.append(cluster.client.submit(_verify, light, pure=False))
        try:
            done = 0
            for fut in as_completed(futures):
                check_signalled()
                result = fut.result()
                if fut in index and result is not None:
                    summary.components += int(result[0])
                    summary.saturated = (summary.saturated or 0) + int(result[1])
                    done += min(step, count - starts[index[fut]])
                    if progress is not None:
                        progress(done, count)
        except BaseException:
            cluster.cancel(futures)
            raise
        summary.seconds = time.perf_counter() - t0
        if not stype.fixed:
            summary.saturated = None
        if fmt == "sigmf":
            sink.metadata = sigmf_metadata(src, summary, config.build(), frames, None)
        hold.hold()
    return summary
