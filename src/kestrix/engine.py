"""The processing engine of the ``kestrix`` command.

One stage chain (lowpass FIR, then AGC, then moving average), built from a
plain, picklable :class:`ChainConfig`, is streamed over a recording in blocks
by :func:`process_recording`, which also feeds fixed-size statistics, the AGC
telemetry CSV and the plot.  The function prints nothing and keeps no global
state, so it runs as well in another process; progress goes through an
optional callback.

Blocks are kept to multiples of the AGC's ``decim``: the block AGC chunks
every call from its start, so only such blocks give the bits of one call on
the whole array.

Examples
--------
>>> import numpy as np
>>> from kestrix.engine import Agc, ChainConfig, Lowpass
>>> config = ChainConfig(lowpass=Lowpass(0.2, 0.3, 60.0), agc=Agc(ref_db=-6.0))
>>> chain = config.build()
>>> [stage.name for stage in chain.stages]
['lowpass_fir', 'agc']
>>> block = np.ones(64, np.complex64)
>>> chain.process(block) is None  # in place
True
>>> config.describe().split(" -> ")[0]
'lowpass FIR (0.2/0.3 x Nyquist, 60 dB, 75 taps, Kaiser beta 5.65326)'
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from ._errors import CliError, SignalHold
from ._sinks import OutputFile, check_outputs, open_sink, output_files, output_format, output_meta
from ._sources import Source, open_source
from ._stats import PowerEnvelope, Spectrogram
from ._telemetry import TelemetryTap

DEFAULT_BLOCK = 1 << 16
MAX_BLOCK = 1 << 24
MAX_TAPS = 16383
DEFAULT_TELEMETRY_EVERY = 32  # loop updates per CSV row: keeps --telemetry cheap
P_FLOOR_DB = -300.0  # the detector's floor, 10 log10(1e-30)
CLIP_BOTH_DB = 3.010299956639812  # a sample clipped on both components: clip + 10 log10(2)
PAIRING_LIMIT = 0.05  # 4 decim loop_bw above this may ring or oscillate


# ------------------------------------------------------------------ stages


class Stage:
    """One library object in the chain: ``process(block)`` works in place.

    ``record`` is the stage's entry in an output's processing metadata and
    ``text`` its one-line description.
    """

    def __init__(self, name: str, obj, method, record: dict, text: str) -> None:
        self.name, self.obj, self.record, self.text = name, obj, record, text
        self.run: Callable[[np.ndarray], object] = lambda x: method(x, out=x)

    def process(self, block: np.ndarray) -> None:
        self.run(block)


@dataclass(frozen=True)
class Lowpass:
    """Kaiser lowpass FIR: band edges as fractions of Nyquist, attenuation in dB."""

    fpass: float
    fstop: float
    atten_db: float

    def check(self, opt: str = "--lowpass") -> None:
        for name, v in (("FPASS", self.fpass), ("FSTOP", self.fstop), ("ATTEN_DB", self.atten_db)):
            if not np.isfinite(v):
                raise CliError(f"{opt}: {name} must be a finite number, got {v}", 2)
        if not 0 <= self.fpass < self.fstop <= 1:
            raise CliError(f"{opt}: band edges must satisfy 0 <= FPASS < FSTOP <= 1 (fractions "
                           f"of the Nyquist frequency), got FPASS={self.fpass:g} FSTOP={self.fstop:g}", 2)
        if not self.atten_db > 8:
            raise CliError(f"{opt}: ATTEN_DB must be above 8 dB for the window-length estimate, "
                           f"got {self.atten_db:g}", 2)
        n = self.design()[0]
        if n > MAX_TAPS:
            raise CliError(f"{opt}: a transition band of {self.fstop - self.fpass:g} at "
                           f"{self.atten_db:g} dB needs {n} taps (at most {MAX_TAPS}); widen the "
                           f"band or lower the attenuation", 2)

    def design(self) -> tuple[int, float]:
        """(tap count, Kaiser beta), as the designer computes them for the taps."""
        from .filter import _kaiser_beta, _kaiser_num_taps

        return _kaiser_num_taps(self.fpass, self.fstop, self.atten_db), _kaiser_beta(self.atten_db)

    def text(self) -> str:
        n, beta = self.design()
        return (f"lowpass FIR ({self.fpass:g}/{self.fstop:g} x Nyquist, {self.atten_db:g} dB, "
                f"{n} taps, Kaiser beta {str(np.float32(beta))})")

    def stage(self) -> Stage:
        from .filter import FIR, design_lowpass

        n, beta = self.design()
        record = {"stage": "lowpass_fir", "fpass": self.fpass, "fstop": self.fstop,
                  "atten_db": self.atten_db, "num_taps": n, "kaiser_beta": beta,
                  "design": "design_lowpass (Kaiser window)"}
        fir = FIR(design_lowpass(self.fpass, self.fstop, self.atten_db))
        return Stage("lowpass_fir", fir, fir.execute, record, self.text())


@dataclass(frozen=True)
class Agc:
    """The block AGC (``AGC.steps``) and its settings."""

    ref_db: float = 0.0
    loop_bw: float = 0.0025
    alpha: float = 0.05
    decim: int = 8
    clip_db: float = 120.0
    gain_update_period: int = 1

    def check(self) -> list[str]:
        """Refuse a reference the loop can never reach; warn of a loop that may ring."""
        top = self.clip_db + CLIP_BOTH_DB
        if self.ref_db < P_FLOOR_DB:
            raise CliError(f"--ref-db {self.ref_db:g} dB is below the detector's floor of "
                           f"{P_FLOOR_DB:g} dB: the loop could never reach it", 2)
        if self.ref_db > top:
            raise CliError(f"--ref-db {self.ref_db:g} dB is above {top:.2f} dB, the most that "
                           f"--clip-db {self.clip_db:g} lets through (a sample clipped on both "
                           f"components): the loop could never reach it", 2)
        pairing = 4 * self.decim * self.loop_bw
        if pairing > PAIRING_LIMIT:
            return [f"4*decim*loop_bw = {pairing:.3g} exceeds {PAIRING_LIMIT:g}: the block loop "
                    f"may ring or oscillate (lower --loop-bw or --decim)"]
        return []

    def text(self) -> str:
        return (f"AGC (ref {self.ref_db:g} dB, loop_bw {self.loop_bw:g}, alpha {self.alpha:g}, "
                f"decim {self.decim}, clip {self.clip_db:g} dB)")

    def stage(self) -> Stage:
        from .agc import AGC

        agc = AGC(self.ref_db, self.loop_bw, self.alpha)
        agc.decim = self.decim
        agc.clip_db = self.clip_db
        agc.gain_update_period = self.gain_update_period
        record = {"stage": "agc", **dataclasses.asdict(self), "path": "steps"}
        return Stage("agc", agc, agc.steps, record, self.text())


@dataclass(frozen=True)
class Average:
    """Boxcar moving average of ``length`` samples (1 .. 64) with a linear gain."""

    length: int
    gain: float = 1.0

    def text(self) -> str:
        return f"moving average (len {self.length}, gain {self.gain:g})"

    def stage(self) -> Stage:
        from .filter import MovingAverage

        ma = MovingAverage(self.length, self.gain)
        record = {"stage": "moving_average", "len": self.length, "gain": self.gain}
        return Stage("moving_average", ma, ma.steps, record, self.text())


@dataclass(frozen=True)
class ChainConfig:
    """What the chain holds, in its fixed order: lowpass, AGC, moving average."""

    lowpass: Lowpass | None = None
    agc: Agc | None = None
    average: Average | None = None

    @property
    def parts(self) -> list:
        return [p for p in (self.lowpass, self.agc, self.average) if p is not None]

    @property
    def decim(self) -> int:
        """Blocks must be multiples of this for the chain to match one whole-array call."""
        return self.agc.decim if self.agc is not None else 1

    def check(self) -> list[str]:
        """Raise CliError (status 2) for a chain that cannot work; return warnings."""
        if self.lowpass is not None:
            self.lowpass.check()
        return self.agc.check() if self.agc is not None else []

    def describe(self) -> str:
        return " -> ".join(p.text() for p in self.parts) or "none (copy)"

    def build(self) -> "Chain":
        return Chain([p.stage() for p in self.parts])


class Chain:
    """Stages walked in order over each block, in place."""

    def __init__(self, stages: list[Stage]) -> None:
        self.stages = stages

    def stage(self, name: str) -> Stage | None:
        return next((s for s in self.stages if s.name == name), None)

    def process(self, block: np.ndarray) -> None:
        for s in self.stages:
            s.process(block)

    def record(self) -> list[dict]:
        return [s.record for s in self.stages]


# ------------------------------------------------------------------ one recording


@dataclass(frozen=True)
class RunOptions:
    """Everything about a run except the chain; plain values, picklable."""

    block: int = DEFAULT_BLOCK
    in_format: str | None = None
    out_format: str | None = None
    force: bool = False
    rate: float | None = None  # overrides the recording's own
    verify: bool = True  # check a SigMF data file against its core:sha512
    telemetry: str | None = None  # CSV of the AGC's loop updates
    telemetry_every: int = DEFAULT_TELEMETRY_EVERY
    plot: str | None = None  # PNG


@dataclass
class Summary:
    """What one run did."""

    input: str
    output: str
    chain: str
    samples: int = 0
    rate: float | None = None
    seconds: float = 0.0
    input_level: dict = field(default_factory=dict)
    output_level: dict = field(default_factory=dict)
    agc_gain_db: float | None = None
    agc_applied_gain_db: float | None = None
    telemetry_updates: int | None = None
    telemetry_rows: int | None = None
    telemetry_dropped: int | None = None
    warnings: list[str] = field(default_factory=list)
    outputs: list[str] = field(default_factory=list)


def block_size(requested: int, decim: int) -> int:
    block = -(-requested // decim) * decim
    if block > MAX_BLOCK:
        raise CliError(f"--block: {requested} rounded up to a multiple of --decim exceeds "
                       f"{MAX_BLOCK}", 2)
    return block


def process_recording(source: str | Source, output: str, config: ChainConfig,
                      options: RunOptions = RunOptions(), *,
                      progress: Callable[[int, int | None], None] | None = None) -> Summary:
    """Stream one recording through the chain into ``output``; return what happened.

    Either every output (recording, telemetry CSV, plot) is complete under its
    final name, or none is left behind: any exception (a short read, a full
    disk, Ctrl-C or a termination signal raised in this thread) aborts them.
    ``progress(samples_done, total)`` is called after each block.

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
    """
    warnings = config.check()
    src = source if isinstance(source, Source) else open_source(source, options.in_format)
    if src.count == 0:
        raise CliError(f"{src.path}: the recording holds no samples", 1)
    fmt = output_format(output, options.out_format)
    if config.agc is None and options.telemetry:
        raise CliError("--telemetry records the AGC's probes; it cannot be used with --no-agc", 2)
    if options.plot:
        from ._plot import check_plot_dependencies

        check_plot_dependencies()
    outputs = output_files(output, fmt) + [p for p in (options.telemetry, options.plot) if p]
    check_outputs(outputs, src.files, options.force)
    block = block_size(options.block, config.decim)
    rate = options.rate or src.rate
    chain = config.build()
    summary = Summary(src.path, output, config.describe(), rate=rate, warnings=warnings,
                      outputs=outputs)
    env_in, env_out = PowerEnvelope(), PowerEnvelope()
    specs = (Spectrogram(), Spectrogram()) if options.plot else (None, None)
    measure_in = [m for m in (env_in, specs[0]) if m is not None]
    measure_out = [m for m in (env_out, specs[1]) if m is not None]
    with contextlib.ExitStack() as stack:
        # Unwound last: a signal during the creations or the commits waits for them.
        hold = stack.enter_context(SignalHold())
        hold.hold()
        csv = stack.enter_context(OutputFile(options.telemetry, "w")) if options.telemetry else None
        plot_file = stack.enter_context(OutputFile(options.plot)) if options.plot else None
        sink = stack.enter_context(open_sink(output, fmt, src.count))
        hold.release()
        agc = chain.stage("agc")
        tap = None
        if agc is not None and (csv is not None or plot_file is not None):
            tap = TelemetryTap(agc, csv, rate, options.telemetry_every, keep_bins=plot_file is not None)
        reader = src.reader(block, verify=options.verify)
        stack.callback(reader.close)
        buf = np.empty(block, np.complex64)
        t0 = time.perf_counter()
        done = 0
        while True:
            x = reader.read(buf)
            if not len(x):
                break
            for m in measure_in:
                m.add(x)
            chain.process(x)
            for m in measure_out:
                m.add(x)
            sink.write(x)
            done += len(x)
            if progress is not None:
                progress(done, src.count)
        reader.finish()
        summary.seconds = time.perf_counter() - t0
        summary.samples = done
        env_in.finish()
        env_out.finish()
        summary.input_level, summary.output_level = env_in.stats(), env_out.stats()
        if agc is not None:
            summary.agc_gain_db = agc.obj.gain_db
            summary.agc_applied_gain_db = agc.obj.applied_gain_db
        if tap is not None:
            tap.finish()
            summary.telemetry_updates, summary.telemetry_rows = tap.updates, tap.rows
            summary.telemetry_dropped = tap.dropped
        if fmt in ("sigmf", "sigmf-archive"):
            processing = {"version": _version(), "source": os.path.basename(src.path),
                          "chain": chain.record(), "block": block}
            desc = (src.meta or {}).get("global", {}).get("core:description")
            sink.metadata = output_meta(src.meta, rate=rate, count=done,
                                        processing=processing, description=desc)
        if plot_file is not None:
            from ._plot import plot_process

            plot_process(plot_file.file, title=f"{os.path.basename(src.path)}: {summary.chain}",
                         rate=rate, env_in=env_in, env_out=env_out, specs=specs, tap=tap,
                         ref_db=config.agc.ref_db if config.agc is not None else None)
        hold.hold()
    return summary


def _version() -> str:
    from . import __version__

    return __version__
