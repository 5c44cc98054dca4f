"""The processing engine of the ``kestrix`` command.

One stage chain per channel (shift, FIR, AGC, moving average), each built
from the same plain, picklable :class:`ChainConfig`, is streamed over a
recording in blocks by :func:`process_recording`, which also feeds
fixed-size statistics, the AGC telemetry CSV and the plot.  The function
prints nothing and keeps no global state, so it runs as well in another
process; progress goes through an optional callback.

Blocks are kept to multiples of the AGC's ``decim`` (times the chain's
decimation): the block AGC chunks every call from its start, so only such
blocks give the bits of one call on the whole array.  A decimating FIR keeps
outputs 0, D, 2D, ... of the recording, so the AGC, the average, the output
and its metadata (sample rate, captures), the telemetry and the plot are at
the output rate.  The channels of a recording never meet: each has its own
FIR delay line, AGC loop and average, so each comes out as the library chain
would make it from that channel alone.

Examples
--------
>>> import numpy as np
>>> from kestrix.engine import Agc, ChainConfig, Lowpass
>>> config = ChainConfig(lowpass=Lowpass(0.2, 0.3, 60.0), agc=Agc(ref_db=-6.0))
>>> chain = config.build()
>>> [stage.name for stage in chain.stages]
['lowpass_fir', 'agc']
>>> block = np.ones(64, np.complex64)
>>> chain.process(block) is block  # in place
True
>>> config.describe().split(" -> ")[0]
'lowpass FIR (0.2/0.3 x Nyquist, 60 dB, 75 taps, Kaiser beta 5.65326)'
>>> config.group_delay()  # (75 - 1) / 2 for the lowpass, 0 for the AGC
37
"""

from __future__ import annotations

import contextlib
import os
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from ._chain import (Agc, Average, Chain, ChainConfig, Lowpass, Shift, Stage, Taps, first_output,
                     output_rate)
from ._datatypes import SampleType
from ._errors import CliError, SignalHold, check_signalled
from ._sigmf import output_meta
from ._sinks import OutputFile, check_outputs, open_sink, output_files, output_format, output_type
from ._sources import Source, open_source
from ._stats import PowerEnvelope, Spectrogram
from ._telemetry import TelemetryCsv, TelemetryTap

__all__ = ["Agc", "Average", "Chain", "ChainConfig", "Lowpass", "Shift", "Stage", "Taps",
           "RunOptions",
           "Summary", "ChannelSummary", "process_recording", "block_size"]

DEFAULT_BLOCK = 1 << 16
MAX_BLOCK = 1 << 24
DEFAULT_TELEMETRY_EVERY = 32  # loop updates per CSV row: keeps --telemetry cheap
PLOT_CHANNELS = 4  # channels drawn (and given spectrograms) in a plot


@dataclass(frozen=True)
class RunOptions:
    """Everything about a run except the chain; plain values, picklable."""

    block: int = DEFAULT_BLOCK  # samples per block, all channels together
    in_format: str | None = None
    out_format: str | None = None
    force: bool = False
    rate: float | None = None  # overrides the recording's own
    verify: bool = True  # check a SigMF data file against its core:sha512
    telemetry: str | None = None  # CSV of the AGC's loop updates
    telemetry_every: int = DEFAULT_TELEMETRY_EVERY
    plot: str | None = None  # PNG
    datatype: str | None = None  # of raw input, when its name does not say
    channels: int | None = None  # interleaved in raw input
    out_datatype: str | None = None  # of raw or SigMF output
    sha512: bool = False  # record the SigMF output's core:sha512


@dataclass
class ChannelSummary:
    """What one channel's chain did: levels in dB and the AGC's final gain."""

    input_level: dict
    output_level: dict
    agc_gain_db: float | None = None
    agc_applied_gain_db: float | None = None


@dataclass
class Summary:
    """What one run did; the level properties are those of the first channel."""

    input: str
    output: str
    chain: str
    samples: int = 0  # per channel, in
    channels: int = 1
    rate: float | None = None  # of the input
    decimate: int = 1  # input samples per output sample
    seconds: float = 0.0
    per_channel: list[ChannelSummary] = field(default_factory=list)  # empty: not measured
    datatype: str = "cf32_le"  # of the output
    saturated: int | None = None  # integer output: components beyond full scale
    components: int = 0  # components written
    group_delay: int | float | None = None
    telemetry_updates: int | None = None
    telemetry_rows: int | None = None
    telemetry_dropped: int | None = None
    warnings: list[str] = field(default_factory=list)
    outputs: list[str] = field(default_factory=list)

    @property
    def output_samples(self) -> int:
        """Per channel: the decimating FIR keeps input samples 0, D, 2D, ..."""
        return first_output(self.samples, self.decimate)

    @property
    def output_rate(self) -> float | None:
        return output_rate(self.rate, self.decimate)

    @property
    def input_level(self) -> dict:
        return self.per_channel[0].input_level

    @property
    def output_level(self) -> dict:
        return self.per_channel[0].output_level

    @property
    def agc_gain_db(self) -> float | None:
        return self.per_channel[0].agc_gain_db

    @property
    def agc_applied_gain_db(self) -> float | None:
        return self.per_channel[0].agc_applied_gain_db


def block_size(requested: int, decim: int) -> int:
    block = -(-requested // decim) * decim
    if block > MAX_BLOCK:
        raise CliError(f"--block: {requested} rounded up to a multiple of {decim} (--decim, "
                       f"times --decimate) exceeds {MAX_BLOCK}", 2)
    return block


def block_frames(options: RunOptions, config: ChainConfig, channels: int) -> int:
    """Frames per block: ``options.block`` samples shared by the channels, each channel's
    share rounded up to a multiple of the AGC's ``decim`` times the decimation."""
    return block_size(-(-options.block // channels), config.decim)


def output_of(src: Source, output: str, options: RunOptions) -> tuple[str, SampleType]:
    """The format and the sample type in which ``output`` is written from ``src``; a
    recording that holds no samples is refused."""
    if src.count == 0:
        raise CliError(f"{src.name}: the recording holds no samples", 1)
    fmt = output_format(output, options.out_format, options.out_datatype)
    return fmt, output_type(output, fmt, options.out_datatype)


def sigmf_metadata(src: Source, summary: Summary, chain: Chain, frames: int,
                   sha512: str | None) -> dict:
    """The SigMF metadata of ``summary``'s output: the input's, with the processing record."""
    # Every channel has a chain of its own, all built from one configuration.
    processing = {"version": _version(), "source": os.path.basename(src.name),
                  "chain": chain.record(), "channels": summary.channels, "block": frames,
                  "group_delay_samples": summary.group_delay}
    if summary.group_delay is None:
        processing["group_delay_note"] = "not linear phase"
    shift = chain.stage("shift")
    desc = (src.meta or {}).get("global", {}).get("core:description")
    return output_meta(src.meta, datatype=summary.datatype, channels=summary.channels,
                       rate=summary.output_rate, count=summary.output_samples,
                       processing=processing, description=desc, sha512=sha512,
                       decimate=summary.decimate,
                       shift_hz=shift.record["applied_shift_hz"] if shift is not None else 0.0)


class Blocks:
    """A block buffer of ``frames`` frames of ``channels`` samples, and each channel of
    a block made contiguous for the library's in-place calls."""

    def __init__(self, frames: int, channels: int) -> None:
        self.buf = np.empty((frames, channels), np.complex64)
        self.planes = np.empty((channels, frames), np.complex64) if channels > 1 else None

    def each_channel(self, x: np.ndarray,
                     process: list[Callable[[np.ndarray], np.ndarray]]) -> np.ndarray:
        """``process[c](samples)`` on channel c of the frames ``x``; the frames out (as
        many for every channel: their chains are alike), in ``x`` itself or, for one
        decimated channel, in its filter's own buffer."""
        if self.planes is None:
            return process[0](x[:, 0]).reshape(-1, 1)
        p = self.planes[:, : len(x)]
        np.copyto(p, x.T)
        ys = [run(p[c]) for c, run in enumerate(process)]
        k = len(ys[0])
        for c, y in enumerate(ys):
            x[:k, c] = y
        return x[:k]


class _Channel:
    """One channel's chain and the accumulators fed before and after it."""

    def __init__(self, config: ChainConfig, index: int, *, spectra: bool) -> None:
        self.index, self.chain, self.tap = index, config.build(), None
        self.env_in, self.env_out = PowerEnvelope(), PowerEnvelope()
        self.specs = (Spectrogram(), Spectrogram()) if spectra else (None, None)
        self.before = [m for m in (self.env_in, self.specs[0]) if m is not None]
        self.after = [m for m in (self.env_out, self.specs[1]) if m is not None]

    def process(self, x: np.ndarray) -> np.ndarray:
        for m in self.before:
            m.add(x)
        y = self.chain.process(x)
        for m in self.after:
            m.add(y)
        return y

    def summary(self) -> ChannelSummary:
        self.env_in.finish()
        self.env_out.finish()
        s = ChannelSummary(self.env_in.stats(), self.env_out.stats())
        agc = self.chain.stage("agc")
        if agc is not None:
            s.agc_gain_db, s.agc_applied_gain_db = agc.obj.gain_db, agc.obj.applied_gain_db
        if self.tap is not None:
            self.tap.finish()
        return s


def process_recording(source: str | Source, output: str, config: ChainConfig,
                      options: RunOptions = RunOptions(), *,
                      progress: Callable[[int, int | None], None] | None = None) -> Summary:
    """Stream one recording through the chain into ``output``; return what happened.

    Either every output (recording, telemetry CSV, plot) is complete under its
    final name, or none is left behind: any exception (a short read, a full
    disk, Ctrl-C or a termination signal raised in this thread) aborts them;
    a stream output (standard output, a FIFO) has what was written by then.
    ``progress(samples_done, total)`` is called after each block, with a
    total of None when the input is a stream.

    Examples
    --------
    >>> import os, tempfile
    >>> folder = tempfile.mkdtemp()
    >>> x = (0.01 * np.exp(0.1j * np.arange(100_000))).astype(np.complex64)
    >>> x.tofile(os.path.join(folder, "in.cf32"))
    >>> s = process_recording(os.path.join(folder, "in.cf32"), os.path.join(folder, "out.npy"),
    ...                       ChainConfig(agc=Agc(ref_db=-6.0)))
    >>> s.samples, round(s.input_level["mean_db"]), round(s.output_level["max_db"])
    (100000, -40, -6)
    >>> sorted(os.listdir(folder))
    ['in.cf32', 'out.npy']
    >>> s = process_recording(os.path.join(folder, "in.cf32"), os.path.join(folder, "out.cs16"),
    ...                       ChainConfig(agc=Agc(ref_db=-6.0)))
    >>> s.datatype, s.saturated, os.path.getsize(os.path.join(folder, "out.cs16"))
    ('ci16_le', 0, 400000)
    """
    src = source if isinstance(source, Source) else open_source(
        source, options.in_format, datatype=options.datatype, channels=options.channels)
    rate = options.rate or src.rate
    config = config.at_rate(rate)
    warnings = config.check()
    warnings += src.notes if not isinstance(source, Source) else []
    fmt, stype = output_of(src, output, options)
    if options.sha512 and fmt not in ("sigmf", "sigmf-archive"):
        raise CliError(f"--sha512 records the digest in SigMF metadata; {output} is written as "
                       f"{fmt}", 2)
    if config.agc is None and options.telemetry:
        raise CliError("--telemetry records the AGC's probes; it cannot be used with --no-agc", 2)
    if options.plot:
        from ._plot import check_plot_dependencies

        check_plot_dependencies()
    outputs = output_files(output, fmt) + [p for p in (options.telemetry, options.plot) if p]
    check_outputs(outputs, src.files, options.force)
    nch = src.channels
    frames = block_frames(options, config, nch)
    out_rate = config.output_rate(rate)
    runs = [_Channel(config, c, spectra=bool(options.plot) and c < PLOT_CHANNELS)
            for c in range(nch)]
    summary = Summary(src.path, output, config.describe(), channels=nch, rate=rate,
                      warnings=warnings, outputs=outputs, datatype=stype.name,
                      group_delay=config.group_delay(), decimate=config.decimate)
    with contextlib.ExitStack() as stack:
        # Unwound last: a signal during the creations or the commits waits for them.
        hold = stack.enter_context(SignalHold())
        hold.hold()
        csv_file = stack.enter_context(OutputFile(options.telemetry, "w")) if options.telemetry else None
        plot_file = stack.enter_context(OutputFile(options.plot)) if options.plot else None
        sink = stack.enter_context(open_sink(output, fmt, config.output_count(src.count), stype,
                                             nch, columns=src.columns, digest=options.sha512))
        hold.release()
        csv = TelemetryCsv(csv_file.file, out_rate, nch) if csv_file is not None else None
        if config.agc is not None and (csv is not None or plot_file is not None):
            for r in runs:
                r.tap = TelemetryTap(r.chain.stage("agc"), csv, options.telemetry_every,
                                     keep_bins=r.specs[0] is not None, channel=r.index,
                                     channels=nch)
        reader = src.reader(frames, verify=options.verify, ahead=True)
        stack.callback(reader.close)
        blocks = Blocks(frames, nch)
        each = [r.process for r in runs]
        t0 = time.perf_counter()
        done = 0
        while True:
            x = reader.read(blocks.buf)
            m = len(x)
            if not m:
                break
            check_signalled()
            y = blocks.each_channel(x, each)
            if csv is not None:
                csv.flush()
            sink.write(y)
            done += m
            if progress is not None:
                progress(done, src.count)
        reader.finish()
        if not done:
            raise CliError(f"{src.name}: the stream held no samples", 1)
        summary.seconds = time.perf_counter() - t0
        summary.samples = done
        summary.per_channel = [r.summary() for r in runs]
        summary.components = sink.encoder.components
        summary.saturated = sink.saturated if stype.fixed else None
        if runs[0].tap is not None:
            taps = [r.tap for r in runs]
            summary.telemetry_updates = sum(t.updates for t in taps)
            summary.telemetry_dropped = sum(t.dropped for t in taps)
            summary.telemetry_rows = csv.rows if csv is not None else 0
        if fmt in ("sigmf", "sigmf-archive"):
            sink.metadata = sigmf_metadata(src, summary, runs[0].chain, frames, sink.sha512)
        if plot_file is not None:
            from ._plot import plot_process

            shown = runs[:PLOT_CHANNELS]
            plot_process(plot_file.file, title=f"{os.path.basename(src.name)}: {summary.chain}",
                         rate=rate, decimate=config.decimate,
                         channels=[(r.index, r.env_in, r.env_out, r.specs, r.tap) for r in shown],
                         total=nch,
                         ref_db=config.agc.ref_db if config.agc is not None else None)
        hold.hold()
    return summary


def _version() -> str:
    from . import __version__

    return __version__
