"""The ``kestrix`` command: process IQ recordings end to end, design filters, query the AGC.

Commands:

- ``kestrix process [INPUT]``: lowpass FIR (optional) -> AGC (default on)
  -> moving average (optional), streamed through a recording in blocks, with
  telemetry CSV, a plot and a summary.  Without INPUT it runs the built-in
  demonstration recording and writes its outputs into a fresh folder.
- ``kestrix design FPASS FSTOP ATTEN_DB``: Kaiser lowpass taps and their
  measured response.
- ``kestrix settle LOOP_BW ALPHA GAIN_ERR_DB TOL_DB``: how long the AGC takes
  to settle.
- ``kestrix info FILE``: what a recording holds.

Exit status: 0 on success, 2 for a usage error or an invalid parameter, 1 for
an input/output error, 130 when interrupted.  Errors are one line on standard
error.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import sys
import time

import numpy as np

from . import __version__
from ._io import (
    FORMATS, RAW_SUFFIXES, SIGMF_META, AtomicFile, CliError, MemorySource, Sink,
    detect_format, file_set, open_source, output_meta, require, same_file, sigmf_pair,
)

PROG = "kestrix"
DEFAULT_BLOCK = 1 << 16
MAX_BLOCK = 1 << 24
MAX_TAPS = 16383
ENVELOPE_POINTS = 4096  # power-envelope bins kept for the plot and the statistics
PLOT_UPDATES = 8192  # AGC updates kept for the plot
TLM_SLICE_UPDATES = 1 << 14  # AGC updates between two telemetry drains
MIN_SETTLE_BW = 1e-7  # the settling query costs 16/loop_bw loop steps


# ------------------------------------------------------------------ argument types


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def finite(text: str) -> float:
    v = _float(text)
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return v


def positive(text: str) -> float:
    v = finite(text)
    if not v > 0:
        raise argparse.ArgumentTypeError(f"must be > 0, got {text}")
    return v


def loop_bw_type(text: str) -> float:
    v = finite(text)
    if not 0 < v <= 0.25:
        raise argparse.ArgumentTypeError(
            f"must lie in (0, 0.25] cycles/sample (the loop gain 4*loop_bw must not "
            f"exceed 1), got {text}")
    return v


def alpha_type(text: str) -> float:
    v = finite(text)
    if not 0 < v <= 1:
        raise argparse.ArgumentTypeError(f"must lie in (0, 1], got {text}")
    return v


def int_range(lo: int, hi: int):
    def parse(text: str) -> int:
        try:
            v = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if not lo <= v <= hi:
            raise argparse.ArgumentTypeError(f"must lie in {lo} .. {hi}, got {v}")
        return v

    return parse


class Parser(argparse.ArgumentParser):
    """argparse with one-line errors that exit with status 2 through CliError."""

    def error(self, message: str):
        command = self.prog.partition(" ")[2]
        where = f"{command}: " if command else ""
        raise CliError(f"{where}{message} (see '{self.prog} --help')", 2)


# ------------------------------------------------------------------ shared helpers


def _native():
    try:
        from .agc import AGC, settling_samples
        from .filter import FIR, MovingAverage, design_lowpass
        from .telemetry import Telemetry
    except ImportError as e:
        raise CliError(f"the native modules of kestrix cannot be loaded: {e}", 1) from None
    return AGC, settling_samples, FIR, MovingAverage, design_lowpass, Telemetry


def lowpass_taps_count(fpass: float, fstop: float, atten_db: float) -> int:
    """The tap count ``design_lowpass`` gives (Kaiser's estimate, forced odd, plus two)."""
    q = (atten_db - 8.0) / ((fstop / 2.0 - fpass / 2.0) * 14.357078426905355) + 1.0
    return (int(q) | 1) + 2


def check_lowpass(opt: str, fpass: float, fstop: float, atten_db: float) -> int:
    """Refuse band edges and attenuations the designer has no sound answer for."""
    for name, v in (("FPASS", fpass), ("FSTOP", fstop), ("ATTEN_DB", atten_db)):
        if not math.isfinite(v):
            raise CliError(f"{opt}: {name} must be a finite number, got {v}", 2)
    if not 0 <= fpass < fstop <= 1:
        raise CliError(
            f"{opt}: band edges must satisfy 0 <= FPASS < FSTOP <= 1 (fractions of the "
            f"Nyquist frequency), got FPASS={fpass:g} FSTOP={fstop:g}", 2)
    if not atten_db > 8:
        raise CliError(
            f"{opt}: ATTEN_DB must be above 8 dB for the window-length estimate, got {atten_db:g}", 2)
    n = lowpass_taps_count(fpass, fstop, atten_db)
    if n > MAX_TAPS:
        raise CliError(
            f"{opt}: a transition band of {fstop - fpass:g} at {atten_db:g} dB needs {n} taps "
            f"(at most {MAX_TAPS}); widen the band or lower the attenuation", 2)
    return n


def kaiser_beta(atten_db: float) -> float:
    """The Kaiser window shape parameter for a stopband attenuation in dB."""
    if atten_db > 50:
        return 0.1102 * (atten_db - 8.7)
    if atten_db >= 21:
        return 0.5842 * (atten_db - 21) ** 0.4 + 0.07886 * (atten_db - 21)
    return 0.0


def db(p) -> np.ndarray:
    """Power to dB with digital silence shown as -300 dB rather than -inf."""
    return 10.0 * np.log10(np.maximum(np.asarray(p, np.float64), 1e-30))


def fmt_count(n: int) -> str:
    return f"{n:,}"


def fmt_seconds(s: float) -> str:
    if s >= 1:
        return f"{s:.3f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.3f} ms"
    return f"{s * 1e6:.3f} us"


def fmt_rate(rate: float) -> str:
    for unit, scale in (("MHz", 1e6), ("kHz", 1e3)):
        if rate >= scale:
            return f"{rate / scale:g} {unit}"
    return f"{rate:g} Hz"


def _check_outputs(outputs: list[str], inputs: list[str], force: bool) -> None:
    """Refuse outputs that would overwrite an input, each other, or (without --force) a file."""
    for i, o in enumerate(outputs):
        for f in inputs:
            if same_file(o, f):
                raise CliError(f"output {o} is the input file {f}; choose another output name", 2)
        for other in outputs[:i]:
            if same_file(o, other):
                raise CliError(f"two outputs share the name {o}", 2)
        if os.path.isdir(o):
            raise CliError(f"output {o} is a folder", 2)
        if os.path.exists(o) and not force:
            raise CliError(f"output {o} exists; use --force to replace it", 2)


# ------------------------------------------------------------------ process: statistics


class Envelope:
    """Mean power per bin of ``bin_len`` samples, accumulated block by block."""

    def __init__(self, total: int, points: int = ENVELOPE_POINTS) -> None:
        self.bin = 1
        while -(-total // self.bin) > points:
            self.bin *= 2
        self.sums = np.zeros(max(1, -(-total // self.bin)), np.float64)
        self.total = total
        self.pos = 0

    def add(self, x: np.ndarray) -> None:
        L, i, m = self.bin, 0, len(x)
        b, off = divmod(self.pos, L)
        if off:  # finish the bin the previous block left open
            take = min(m, L - off)
            seg = x[:take]
            self.sums[b] += float(np.vdot(seg, seg).real)
            i = take
            b += 1
        k = (m - i) // L
        if k:
            if k <= 64:
                for j in range(k):
                    seg = x[i + j * L : i + (j + 1) * L]
                    self.sums[b + j] = float(np.vdot(seg, seg).real)
            else:
                v = x[i : i + k * L].view(np.float32).reshape(k, 2 * L)
                self.sums[b : b + k] = np.einsum("ij,ij->i", v, v)
            i += k * L
            b += k
        if i < m:
            seg = x[i:]
            self.sums[b] += float(np.vdot(seg, seg).real)
        self.pos += m

    def counts(self) -> np.ndarray:
        c = np.full(len(self.sums), float(self.bin))
        c[-1] = self.total - self.bin * (len(self.sums) - 1)
        return c

    def power(self) -> np.ndarray:
        return self.sums / np.maximum(self.counts(), 1.0)

    def stats(self) -> dict:
        mean = float(self.sums.sum()) / max(self.total, 1)
        p = db(self.power())
        return {"mean_db": float(db(mean)), "min_db": float(p.min()),
                "median_db": float(np.median(p)), "max_db": float(p.max())}


class TelemetryLog:
    """Drains the AGC's telemetry ring after each slice and turns records into rows.

    The context's stamp is set to the slice's first sample index; updates
    arrive in order, one per chunk of ``decim`` samples, so the k-th update of
    a slice ends at sample ``stamp + min((k+1)*decim, len)``: the ``sample``
    column is that position, the number of samples processed when the loop
    updated.
    """

    def __init__(self, Telemetry, agc, decim: int, total: int, csv: AtomicFile | None,
                 rate: float | None) -> None:
        self.decim = decim
        self.slice = decim * TLM_SLICE_UPDATES
        cap = 1
        while cap < 2 * TLM_SLICE_UPDATES:
            cap *= 2
        self.tlm = Telemetry(max(cap, 4096))
        agc.set_telemetry(self.tlm, "agc", 1)
        self.gid = self.tlm.probe_id("agc.gain_db")
        self.lid = self.tlm.probe_id("agc.level_db")
        self.csv, self.rate = csv, rate
        updates = -(-total // decim)
        self.stride = max(1, -(-updates // PLOT_UPDATES))
        self.updates = 0
        self.keep_pos: list[np.ndarray] = []
        self.keep_gain: list[np.ndarray] = []
        self.keep_level: list[np.ndarray] = []
        self.rows_fmt = "%d,%.9f,%.9g,%.9g\n" if rate else "%d,%.9g,%.9g\n"
        if csv is not None:
            csv.write("sample,time_s,gain_db,level_db\n" if rate else "sample,gain_db,level_db\n")

    def steps(self, agc, x: np.ndarray, out: np.ndarray, start: int) -> None:
        """``agc.steps(x, out=out)`` in slices of whole chunks, draining the ring between."""
        for s in range(0, len(x), self.slice):
            part = out[s : s + self.slice]
            self.tlm.stamp = start + s
            agc.steps(x[s : s + self.slice], out=part)
            self._drain(start + s, len(part))

    def _drain(self, start: int, m: int) -> None:
        recs = self.tlm.read()
        probe = recs["probe"]
        gain = recs["value"][probe == self.gid]
        level = recs["value"][probe == self.lid]
        k = -(-m // self.decim)
        if len(gain) == k and len(level) == k:
            pos = start + np.minimum((np.arange(k, dtype=np.int64) + 1) * self.decim, m)
        else:  # records were lost: only the slice they belong to is known
            k = min(len(gain), len(level))
            gain, level = gain[:k], level[:k]
            pos = np.full(k, start + m, np.int64)
        first = (-self.updates) % self.stride
        self.keep_pos.append(pos[first :: self.stride])
        self.keep_gain.append(gain[first :: self.stride])
        self.keep_level.append(level[first :: self.stride])
        self.updates += k
        if self.csv is not None and k:
            cols = [pos.astype(np.float64)]
            if self.rate:
                cols.append(pos / self.rate)
            cols += [gain.astype(np.float64), level.astype(np.float64)]
            table = np.column_stack(cols).ravel().tolist()
            self.csv.write(self.rows_fmt * k % tuple(table))

    def series(self):
        cat = np.concatenate
        return cat(self.keep_pos), cat(self.keep_gain), cat(self.keep_level)

    @property
    def dropped(self) -> int:
        return int(self.tlm.dropped)


# ------------------------------------------------------------------ process


def _progress(total: int, quiet: bool):
    if quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        print(f"{PROG}: note: install 'kestrix[cli]' for a progress bar", file=sys.stderr)
        return None
    return tqdm(total=total, unit="S", unit_scale=True, file=sys.stderr, leave=False,
                dynamic_ncols=True, desc="processing")


def _default_output(path: str, fmt: str) -> str:
    if fmt == "sigmf":
        meta, _ = sigmf_pair(path)
        return meta[: -len(SIGMF_META)] + ".kestrix" + SIGMF_META
    root, ext = os.path.splitext(path)
    return root + ".kestrix" + ext


def _demo_folder() -> str:
    base = "kestrix-demo-" + datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    for i in range(1, 1000):
        name = base if i == 1 else f"{base}-{i}"
        try:
            os.mkdir(name)
            return name
        except FileExistsError:
            continue
        except OSError as e:
            raise CliError(f"cannot create the folder {name}: {e.strerror or e}", 1) from None
    raise CliError("cannot find a fresh name for the demonstration folder", 1)


def _chain_record(args, taps_n: int | None) -> list[dict]:
    chain = []
    if args.lowpass:
        fp, fs, at = args.lowpass
        chain.append({"stage": "lowpass_fir", "fpass": fp, "fstop": fs, "atten_db": at,
                      "num_taps": taps_n, "design": "design_lowpass (Kaiser window)"})
    if not args.no_agc:
        chain.append({"stage": "agc", "ref_db": args.ref_db, "loop_bw": args.loop_bw,
                      "alpha": args.alpha, "decim": args.decim, "clip_db": args.clip_db,
                      "gain_update_period": args.gain_update_period, "path": "steps"})
    if args.average is not None:
        chain.append({"stage": "moving_average", "len": args.average, "gain": args.average_gain})
    return chain


def _chain_text(args, taps_n: int | None) -> str:
    parts = []
    if args.lowpass:
        fp, fs, at = args.lowpass
        parts.append(f"lowpass FIR ({fp:g}/{fs:g} x Nyquist, {at:g} dB, {taps_n} taps)")
    if not args.no_agc:
        parts.append(f"AGC (ref {args.ref_db:g} dB, loop_bw {args.loop_bw:g}, alpha "
                     f"{args.alpha:g}, decim {args.decim}, clip {args.clip_db:g} dB)")
    if args.average is not None:
        parts.append(f"moving average (len {args.average}, gain {args.average_gain:g})")
    return " -> ".join(parts) if parts else "none (copy)"


def _settling_lines(settling_samples, args, rate: float | None) -> list[str]:
    if args.loop_bw < MIN_SETTLE_BW:
        return [f"settling: not predicted (loop_bw below {MIN_SETTLE_BW:g} makes the query too slow)"]
    step, tol = args.settle_step_db, args.settle_tol_db
    tau = 1.0 / (4.0 * args.loop_bw)
    lines = []
    for sign, word in ((1.0, "below"), (-1.0, "above")):
        n = int(settling_samples(args.loop_bw, args.alpha, sign * step, tol))
        if n == 0:
            text = "does not settle within 16/loop_bw samples"
        else:
            text = f"{fmt_count(n)} samples"
            if rate:
                text += f" ({fmt_seconds(n / rate)})"
        lines.append(f"  from {step:g} dB {word} the reference to within {tol:g} dB: {text}")
    head = f"AGC settling (predicted by settling_samples; loop time constant {tau:g} samples):"
    return [head] + lines


def cmd_process(args) -> int:
    AGC, settling_samples, FIR, MovingAverage, design_lowpass, Telemetry = _native()
    taps_n = check_lowpass("--lowpass", *args.lowpass) if args.lowpass else None
    if args.average is None and args.average_gain != 1.0:
        raise CliError("--average-gain needs --average LEN", 2)
    decim = 1 if args.no_agc else args.decim
    block = -(-args.block // decim) * decim
    if block > MAX_BLOCK:
        raise CliError(f"--block: {args.block} rounded up to a multiple of --decim exceeds {MAX_BLOCK}", 2)
    if args.no_agc and args.telemetry:
        raise CliError("--telemetry records the AGC's probes; it cannot be used with --no-agc", 2)

    demo = args.input is None
    folder = None
    out_fmt = None
    if demo:
        from . import _demo

        if args.output is None:
            require("sigmf", "the demonstration run")
            require("matplotlib", "the demonstration run")
        seconds = args.demo_seconds
        if not (math.isfinite(seconds) and 0 < seconds <= 60):
            raise CliError(f"--demo-seconds must lie in (0, 60], got {seconds:g}", 2)
        rate = args.rate or _demo.DEMO_RATE
        x = _demo.demo_recording(seconds, rate)
        src = MemorySource(x, rate, _demo.demo_meta(seconds, rate), "built-in demonstration")
        if args.output is None:
            folder = _demo_folder()
            args.output = os.path.join(folder, "demo" + SIGMF_META)
            out_fmt = "sigmf"
            args.plot = args.plot or os.path.join(folder, "demo.png")
            if not args.no_agc:
                args.telemetry = args.telemetry or os.path.join(folder, "demo-telemetry.csv")
    else:
        src = open_source(args.input, args.format)
        if src.count == 0:
            raise CliError(f"{args.input}: the recording holds no samples", 1)
    try:
        return _process(args, src, folder, out_fmt, block, taps_n, AGC, settling_samples, FIR,
                        MovingAverage, design_lowpass, Telemetry)
    except BaseException:
        if folder is not None:
            try:
                os.rmdir(folder)  # only succeeds if nothing was written into it
            except OSError:
                pass
        raise


def _process(args, src, folder, out_fmt, block, taps_n, AGC, settling_samples, FIR,
             MovingAverage, design_lowpass, Telemetry) -> int:
    rate = args.rate or src.rate
    if args.output is None:
        args.output = _default_output(args.input, src.fmt)
    if out_fmt is None:
        out_fmt = args.out_format
    if out_fmt is None:
        try:
            out_fmt = detect_format(args.output, for_output=True)
        except CliError:
            out_fmt = src.fmt if src.fmt in FORMATS else "sigmf"
    if out_fmt == "sigmf":
        require("sigmf", "SigMF output")
    if args.plot:
        require("matplotlib", "--plot")
    outputs = file_set(args.output, out_fmt)
    outputs += [p for p in (args.telemetry, args.plot) if p]
    _check_outputs(outputs, src.files, args.force)

    n = src.count
    fir = FIR(design_lowpass(*args.lowpass)) if args.lowpass else None
    agc = None
    if not args.no_agc:
        agc = AGC(args.ref_db, args.loop_bw, args.alpha)
        agc.decim = args.decim
        agc.clip_db = args.clip_db
        agc.gain_update_period = args.gain_update_period
    ma = MovingAverage(args.average, args.average_gain) if args.average is not None else None

    say = (lambda *a: None) if args.quiet else print
    say(f"{PROG} process: {src.path} -> {args.output}")
    say(f"  input   {src.describe}, {fmt_count(n)} samples"
        + (f" ({fmt_seconds(n / rate)} at {fmt_rate(rate)})" if rate else " (rate unknown)"))
    say(f"  chain   {_chain_text(args, taps_n)}")
    if agc is not None:
        for line in _settling_lines(settling_samples, args, rate):
            say(line)
    sys.stdout.flush()

    sink = Sink(args.output, out_fmt, n)
    csv = None
    try:
        csv = AtomicFile(args.telemetry, "w") if args.telemetry else None
        tlog = None
        if agc is not None and (args.telemetry or args.plot):
            tlog = TelemetryLog(Telemetry, agc, args.decim, n, csv, rate)
        env_in, env_out = Envelope(n), Envelope(n)
        reader = src.reader(block, verify=not args.skip_checksum)
        bar = _progress(n, args.quiet)
        buf = np.empty(min(block, n), np.complex64)
        t0 = time.perf_counter()
        pos = 0
        try:
            while pos < n:
                x = reader.read(buf)  # a view of the file, or buf itself
                m = len(x)
                y = buf[:m]
                env_in.add(x)
                # The first stage reads x and writes y; the others work in place.
                if fir is not None:
                    fir.execute(x, out=y)
                    x = y
                if tlog is not None:
                    tlog.steps(agc, x, y, pos)
                    x = y
                elif agc is not None:
                    agc.steps(x, out=y)
                    x = y
                if ma is not None:
                    ma.steps(x, out=y)
                    x = y
                env_out.add(x)
                sink.write(x)
                pos += m
                if bar is not None:
                    bar.update(m)
            reader.finish()
        finally:
            reader.close()
            if bar is not None:
                bar.close()
        elapsed = time.perf_counter() - t0

        if args.plot:
            t_env = (np.arange(len(env_in.sums)) + 0.5) * env_in.bin
            series = tlog.series() if tlog is not None else (None, None, None)
            t_tlm = series[0]
            xlabel = "sample"
            if rate:
                t_env = t_env / rate
                t_tlm = None if t_tlm is None else t_tlm / rate
                xlabel = "time (s)"
            from ._plot import plot_process

            plot_process(args.plot, t_env=t_env, in_db=db(env_in.power()),
                         out_db=db(env_out.power()), t_tlm=t_tlm, gain_db=series[1],
                         level_db=series[2], ref_db=None if agc is None else args.ref_db,
                         xlabel=xlabel, title=f"{os.path.basename(src.path)}: {_chain_text(args, taps_n)}")
        processing = {
            "version": __version__,
            "source": os.path.basename(src.path),
            "chain": _chain_record(args, taps_n),
            "block": block,
        }
        meta = None
        if out_fmt == "sigmf":
            desc = src.meta.get("global", {}).get("core:description") if src.meta else None
            meta = output_meta(src.meta, rate=rate, count=n, processing=processing, description=desc)
        if csv is not None:
            csv.commit()
        sink.commit(meta)
    except BaseException:
        sink.abort()
        if csv is not None:
            csv.abort()
        raise

    if not args.quiet:
        _summary(args, n, rate, elapsed, env_in, env_out, agc, tlog, folder)
    return 0


def _summary(args, n, rate, elapsed, env_in, env_out, agc, tlog, folder) -> None:
    si, so = env_in.stats(), env_out.stats()
    speed = n / elapsed if elapsed > 0 else float("inf")
    print("summary")
    dur = f" = {fmt_seconds(n / rate)} at {fmt_rate(rate)}" if rate else ""
    print(f"  samples     {fmt_count(n)}{dur}")
    print(f"  time        {elapsed:.3f} s, {speed / 1e6:.1f} Msamples/s ({speed * 8 / 1e6:.0f} MB/s)")
    for name, s in (("input", si), ("output", so)):
        print(f"  {name:<11} mean {s['mean_db']:7.2f} dB   envelope min {s['min_db']:7.2f} / "
              f"median {s['median_db']:7.2f} / max {s['max_db']:7.2f} dB")
    print(f"              (envelope: mean power per {fmt_count(env_in.bin)} samples)")
    if agc is not None:
        print(f"  agc         final gain {agc.gain_db:.2f} dB (applied {agc.applied_gain_db:.2f} dB), "
              f"reference {args.ref_db:g} dB")
    if tlog is not None:
        drop = tlog.dropped
        print(f"  telemetry   {fmt_count(tlog.updates)} loop updates"
              + (f", {fmt_count(drop)} records DROPPED" if drop else ", none dropped"))
    print(f"  wrote       {args.output}")
    for label, path in (("telemetry", args.telemetry), ("plot", args.plot)):
        if path:
            print(f"  {label:<11} {path}")
    if folder is not None:
        print(f"demonstration outputs are in {os.path.abspath(folder)}{os.sep}")


# ------------------------------------------------------------------ design


def measure_response(taps: np.ndarray, fpass: float, fstop: float) -> dict:
    """Dense frequency response of real taps: DC gain, passband ripple, stopband attenuation."""
    n = len(taps)
    nfft = 1 << max(14, (64 * n - 1).bit_length())
    h = np.abs(np.fft.rfft(taps.astype(np.float64), nfft))
    f = np.arange(len(h)) * (2.0 / nfft)  # fraction of the Nyquist frequency
    h_db = 20.0 * np.log10(np.maximum(h, 1e-300))
    passband = h_db[f <= fpass]
    stop = h_db[f >= fstop]
    return {
        "f": f, "h_db": h_db,
        "dc_gain": float(np.sum(taps, dtype=np.float64)),
        "pass_max_db": float(passband.max()), "pass_min_db": float(passband.min()),
        "ripple_db": float(passband.max() - passband.min()),
        "stop_atten_db": float(-stop.max()) if len(stop) else float("inf"),
    }


def cmd_design(args) -> int:
    _, _, _, _, design_lowpass, _ = _native()
    check_lowpass("design", args.fpass, args.fstop, args.atten_db)
    outputs = [p for p in (args.taps_out, args.plot) if p]
    if args.plot:
        require("matplotlib", "--plot")
    _check_outputs(outputs, [], args.force)
    taps = design_lowpass(args.fpass, args.fstop, args.atten_db)
    r = measure_response(taps, args.fpass, args.fstop)
    n = len(taps)
    print(f"Kaiser lowpass: passband edge {args.fpass:g}, stopband edge {args.fstop:g} "
          f"(x Nyquist), {args.atten_db:g} dB")
    print(f"  taps                {n} (group delay {(n - 1) // 2} samples)")
    print(f"  beta                {kaiser_beta(args.atten_db):.6g}")
    print(f"  cutoff              {(args.fpass + args.fstop) / 2:g} x Nyquist")
    print(f"  DC gain             {r['dc_gain']:.7g} ({20 * math.log10(abs(r['dc_gain'])):+.5f} dB)"
          if r["dc_gain"] else "  DC gain             0")
    print(f"  passband ripple     {r['ripple_db']:.5f} dB peak to peak "
          f"({r['pass_min_db']:+.5f} .. {r['pass_max_db']:+.5f} dB)")
    print(f"  stopband atten.     {r['stop_atten_db']:.2f} dB measured ({args.atten_db:g} dB asked)")
    if args.taps_out:
        out = AtomicFile(args.taps_out)
        try:
            np.save(out.file, taps)
            out.commit()
        except BaseException:
            out.abort()
            raise
        print(f"  taps saved to       {args.taps_out} (float32, {n} values)")
    if args.plot:
        from ._plot import plot_design

        plot_design(args.plot, f=r["f"], h_db=r["h_db"], fpass=args.fpass, fstop=args.fstop,
                    atten_db=args.atten_db,
                    title=f"Kaiser lowpass, {n} taps: {args.fpass:g}/{args.fstop:g} x Nyquist, "
                          f"{args.atten_db:g} dB")
        print(f"  response plot       {args.plot}")
    return 0


# ------------------------------------------------------------------ settle


def cmd_settle(args) -> int:
    _, settling_samples, _, _, _, _ = _native()
    bw, alpha, err, tol = args.loop_bw, args.alpha, args.gain_err_db, args.tol_db
    why = None
    if not (alpha > 0 and alpha <= 1):
        why = f"ALPHA must lie in (0, 1], got {alpha:g}"
    elif not bw > 0:
        why = f"LOOP_BW must be > 0, got {bw:g}"
    elif not tol > 0:
        why = f"TOL_DB must be > 0, got {tol:g}"
    elif not math.isfinite(err):
        why = f"GAIN_ERR_DB must be finite, got {err:g}"
    elif bw < MIN_SETTLE_BW:
        why = f"LOOP_BW below {MIN_SETTLE_BW:g} would need over {16 / bw:.3g} loop steps to answer"
    if why:
        raise CliError(f"settle: no answer for these arguments (the query gives 0): {why}", 2)
    n = int(settling_samples(bw, alpha, err, tol))
    tau = 1.0 / (4.0 * bw)
    direction = "quiet start, the loop raises its gain" if err > 0 else (
        "loud start, the loop lowers its gain" if err < 0 else "already on target")
    print(f"AGC settling: loop_bw {bw:g} cycles/sample, alpha {alpha:g}, a {err:g} dB "
          f"gain error ({direction}), tolerance {tol:g} dB")
    limit = min(int(16.0 / bw), 2 ** 63) + 1
    tau_s = f" ({fmt_seconds(tau / args.rate)})" if args.rate else ""
    if n == 0:
        print(f"  settling            0: the loop does not come within {tol:g} dB of {err:g} dB "
              f"in {fmt_count(limit)} samples (16/loop_bw, 64 time constants); it either "
              f"settles more slowly or steps over a tolerance band this narrow")
    else:
        sec = f" ({fmt_seconds(n / args.rate)} at {fmt_rate(args.rate)})" if args.rate else ""
        print(f"  settling            {fmt_count(n)} samples{sec}")
    print(f"  loop time constant  {tau:g} samples{tau_s} = 1/(4*loop_bw)"
          + (f"; settling is {n / tau:.2f} time constants" if n else ""))
    return 0


# ------------------------------------------------------------------ info


def cmd_info(args) -> int:
    src = open_source(args.file, args.format)
    rate = args.rate or src.rate
    size = sum(os.path.getsize(f) for f in src.files)
    print(f"{args.file}")
    print(f"  format      {src.describe}")
    print("  files       " + ", ".join(src.files) + f" ({fmt_count(size)} bytes)")
    print(f"  sample type {src.stype.name} ({src.stype.sample_bytes} bytes per sample)")
    print(f"  samples     {fmt_count(src.count)}")
    if rate:
        print(f"  rate        {fmt_rate(rate)}")
        print(f"  duration    {fmt_seconds(src.count / rate)}")
    else:
        print("  duration    unknown (no sample rate; give --rate)")
    if src.meta is not None:
        meta = dict(src.meta)
        notes = meta.get("annotations") or []
        if len(notes) > 20:
            meta["annotations"] = notes[:20]
        print("  SigMF metadata:")
        for line in json.dumps(meta, indent=2, sort_keys=False).splitlines():
            print("    " + line)
        if len(notes) > 20:
            print(f"    ({len(notes) - 20} more annotations not shown)")
    return 0


# ------------------------------------------------------------------ parser


def build_parser() -> Parser:
    p = Parser(
        prog=PROG,
        description="Level, filter and inspect complex baseband (IQ) recordings with kestrix.",
        epilog="Run 'kestrix process' without arguments for a demonstration. "
               "Exit status: 0 success, 1 input/output error, 2 usage error.")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    pr = sub.add_parser(
        "process", help="run the lowpass -> AGC -> moving average chain over a recording",
        description="Stream a recording through lowpass FIR (with --lowpass), AGC (unless "
                    "--no-agc) and moving average (with --average), in that order. The output "
                    "is bit-identical to the same library calls made on the whole recording. "
                    "Without INPUT, the built-in demonstration recording is processed and its "
                    "outputs (SigMF, plot, telemetry CSV) are written into a fresh folder "
                    "kestrix-demo-YYYYmmdd-HHMMSS in the working directory.")
    pr.add_argument("input", nargs="?", metavar="INPUT",
                    help="recording: NAME.sigmf-meta/.sigmf-data pair, raw little-endian "
                         f"complex64 ({', '.join(RAW_SUFFIXES)}) or .npy; omit for the demonstration")
    pr.add_argument("-o", "--output", metavar="OUTPUT",
                    help="output recording, complex64, format from its name (default: INPUT's "
                         "name with '.kestrix' before the extension)")
    pr.add_argument("--format", choices=FORMATS, help="input format, when its name does not tell")
    pr.add_argument("--out-format", choices=FORMATS,
                    help="output format, when its name does not tell (default: the input's)")
    pr.add_argument("-f", "--force", action="store_true", help="replace existing output files")
    g = pr.add_argument_group("AGC (the block path, AGC.steps)")
    g.add_argument("--no-agc", action="store_true", help="leave the AGC out of the chain")
    g.add_argument("--ref-db", type=finite, default=0.0, metavar="DB",
                   help="target output power in dB, 0 dB = mean squared magnitude 1 (default 0)")
    g.add_argument("--loop-bw", type=loop_bw_type, default=0.0025, metavar="BW",
                   help="loop noise bandwidth in cycles/sample, (0, 0.25]; time constant "
                        "1/(4*BW) samples; keep 4*decim*BW <= 0.05 for a smooth block loop "
                        "(default 0.0025)")
    g.add_argument("--alpha", type=alpha_type, default=0.05,
                   help="detector smoothing, EMA coefficient in (0, 1], smaller is smoother "
                        "(default 0.05)")
    g.add_argument("--decim", type=int_range(1, 1 << 20), default=8, metavar="N",
                   help="envelope decimation in samples: the detector and loop run once per "
                        "chunk of N samples (default 8)")
    g.add_argument("--clip-db", type=finite, default=120.0, metavar="DB",
                   help="output clip level in dB: components are limited to +-10^(DB/20) "
                        "(default 120)")
    g.add_argument("--gain-update-period", type=int_range(0, 2**63 - 1), default=1, metavar="P",
                   help="gain update period in samples of the per-sample path; the block path "
                        "used here does not read it, it is stored and recorded (default 1)")
    g.add_argument("--settle-step-db", type=positive, default=40.0, metavar="DB",
                   help="level step, in dB, for the settling prediction printed before "
                        "processing (default 40)")
    g.add_argument("--settle-tol-db", type=positive, default=1.0, metavar="DB",
                   help="tolerance, in dB, for the settling prediction (default 1)")
    g = pr.add_argument_group("filters")
    g.add_argument("--lowpass", nargs=3, type=_float, metavar=("FPASS", "FSTOP", "ATTEN_DB"),
                   help="Kaiser lowpass FIR before the AGC: passband and stopband edges as "
                        "fractions of the Nyquist frequency (0 <= FPASS < FSTOP <= 1) and "
                        "stopband attenuation in dB (> 8)")
    g.add_argument("--average", type=int_range(1, 64), metavar="LEN",
                   help="moving average of LEN samples (1 .. 64) after the AGC")
    g.add_argument("--average-gain", type=finite, default=1.0, metavar="G",
                   help="linear gain of the moving average (default 1)")
    g = pr.add_argument_group("run")
    g.add_argument("--block", type=int_range(1, MAX_BLOCK), default=DEFAULT_BLOCK, metavar="N",
                   help=f"samples per block, rounded up to a multiple of --decim; memory use "
                        f"is a few times 8*N bytes (default {DEFAULT_BLOCK})")
    g.add_argument("--plot", metavar="FILE.png",
                   help="PNG of the input and output power envelopes (dB over time) and the "
                        "AGC's commanded gain and measured level (dB)")
    g.add_argument("--telemetry", metavar="FILE.csv",
                   help="CSV of every AGC loop update: sample (samples processed at the "
                        "update), time_s (when the rate is known), gain_db, level_db")
    g.add_argument("--rate", type=positive, metavar="HZ",
                   help="sample rate in Hz (default: the SigMF core:sample_rate, else unknown)")
    g.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing but errors (no progress bar, no summary)")
    g.add_argument("--skip-checksum", action="store_true",
                   help="do not check a SigMF data file against its core:sha512")
    g.add_argument("--demo-seconds", type=_float, default=4.0, help=argparse.SUPPRESS)
    pr.set_defaults(func=cmd_process)

    de = sub.add_parser(
        "design", help="design Kaiser lowpass taps and measure their response",
        description="Design a Kaiser-windowed-sinc lowpass with design_lowpass and report its "
                    "tap count, beta, DC gain, passband ripple and stopband attenuation, measured "
                    "on a dense frequency response.")
    de.add_argument("fpass", type=_float, metavar="FPASS",
                    help="passband edge, fraction of the Nyquist frequency (0 .. 1)")
    de.add_argument("fstop", type=_float, metavar="FSTOP",
                    help="stopband edge, fraction of the Nyquist frequency (FPASS .. 1)")
    de.add_argument("atten_db", type=_float, metavar="ATTEN_DB",
                    help="stopband attenuation in dB (> 8)")
    de.add_argument("--taps-out", metavar="FILE.npy", help="save the float32 taps as .npy")
    de.add_argument("--plot", metavar="FILE.png",
                    help="PNG of the magnitude response in dB with the band edges marked")
    de.add_argument("-f", "--force", action="store_true", help="replace existing output files")
    de.set_defaults(func=cmd_design)

    se = sub.add_parser(
        "settle", help="how many samples the AGC loop needs to settle",
        description="Run the AGC's settling query: the samples its per-sample loop needs to "
                    "bring a gain error of GAIN_ERR_DB to within TOL_DB, beside the loop "
                    "filter's time constant 1/(4*LOOP_BW).")
    se.add_argument("loop_bw", type=_float, metavar="LOOP_BW",
                    help="loop noise bandwidth in cycles/sample (> 0)")
    se.add_argument("alpha", type=_float, metavar="ALPHA",
                    help="detector EMA coefficient in (0, 1]")
    se.add_argument("gain_err_db", type=_float, metavar="GAIN_ERR_DB",
                    help="initial gain error in dB: positive for an input that much below the "
                         "reference (the slow direction), negative for a loud one")
    se.add_argument("tol_db", type=_float, metavar="TOL_DB", help="tolerance in dB (> 0)")
    se.add_argument("--rate", type=positive, metavar="HZ", help="sample rate in Hz, for seconds")
    se.set_defaults(func=cmd_settle)

    inf = sub.add_parser("info", help="describe a recording",
                         description="Print a recording's format, sample type, sample count, "
                                     "duration and SigMF metadata.")
    inf.add_argument("file", metavar="FILE", help="recording (.sigmf-meta/.sigmf-data, raw, .npy)")
    inf.add_argument("--format", choices=FORMATS, help="format, when the name does not tell")
    inf.add_argument("--rate", type=positive, metavar="HZ", help="sample rate in Hz")
    inf.set_defaults(func=cmd_info)
    return p


def main(argv: list[str] | None = None) -> int:
    """Run the ``kestrix`` command with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            raise CliError("choose a command: process, design, settle or info "
                           f"(see '{PROG} --help')", 2)
        return args.func(args)
    except SystemExit as e:  # --help, --version
        return e.code if isinstance(e.code, int) else (0 if e.code is None else 2)
    except CliError as e:
        _error(str(e))
        return e.code
    except KeyboardInterrupt:
        _error("interrupted; no partial output was left behind")
        return 130
    except BrokenPipeError:
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except MemoryError:
        _error("out of memory; try a smaller --block")
        return 1
    except OSError as e:
        _error(f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}")
        return 1
    except Exception as e:
        if os.environ.get("KESTRIX_DEBUG"):
            raise
        _error(f"unexpected {type(e).__name__}: {e} (set KESTRIX_DEBUG=1 for a traceback)")
        return 1


def _error(message: str) -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    print(f"{PROG}: error: " + " ".join(message.split()), file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
