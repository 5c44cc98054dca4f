"""The ``kestrix`` command: argument parsing, dispatch and presentation.

Commands:

- ``kestrix process [INPUT]``: lowpass FIR (optional) -> AGC (default on)
  -> moving average (optional), streamed through a recording by the engine
  (:mod:`kestrix.engine`), with telemetry CSV, a plot and a summary.  Without
  INPUT it runs the built-in demonstration recording and writes its outputs
  into a fresh folder.
- ``kestrix design FPASS FSTOP ATTEN_DB``: Kaiser lowpass taps and their
  measured response.
- ``kestrix settle LOOP_BW ALPHA GAIN_ERR_DB TOL_DB``: how long the AGC takes
  to settle.
- ``kestrix info FILE``: what a recording holds.

Exit status: 0 on success, 2 for a usage error or an invalid parameter, 1 for
an input/output error, 128 + the signal on SIGINT (130), SIGTERM (143) or
SIGHUP (129).  Errors are one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import math
import os
import signal
import sys

from . import __version__
from ._args import Parser, number, alpha_type, finite, int_range, loop_bw_type, positive
from ._design import cmd_design
from ._errors import CliError, Terminated, signals_unwind
from ._sources import FORMATS, RAW_SUFFIXES, SIGMF_ARCHIVE, SIGMF_META, MemorySource, open_source, sigmf_pair
from .engine import (DEFAULT_BLOCK, DEFAULT_TELEMETRY_EVERY, MAX_BLOCK, Agc, Average, ChainConfig,
                     Lowpass, RunOptions, process_recording)

PROG = "kestrix"
MIN_SETTLE_BW = 1e-7  # the settling query costs 16/loop_bw loop steps


# ------------------------------------------------------------------ presentation


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


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _error(message: str) -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    try:
        print(f"{PROG}: error: " + " ".join(message.split()), file=sys.stderr)
    except (OSError, ValueError):  # the terminal is gone (SIGHUP)
        pass


class _Progress:
    """A tqdm bar on an interactive stderr; works without knowing the total."""

    def __init__(self, total: int | None, quiet: bool) -> None:
        self.bar = None
        if quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            _warn("install 'kestrix[cli]' for a progress bar")
            return
        self.bar = tqdm(total=total, unit="S", unit_scale=True, file=sys.stderr, leave=False,
                        dynamic_ncols=True, desc="processing")
        self.done = 0

    def __call__(self, done: int, total: int | None) -> None:
        if self.bar is not None:
            self.bar.update(done - self.done)
            self.done = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ------------------------------------------------------------------ process


def _default_output(path: str, fmt: str) -> str:
    if fmt == "sigmf":
        meta, _ = sigmf_pair(path)
        return meta[: -len(SIGMF_META)] + ".kestrix" + SIGMF_META
    if fmt == "sigmf-archive" and path.lower().endswith(SIGMF_ARCHIVE):
        return path[: -len(SIGMF_ARCHIVE)] + ".kestrix" + SIGMF_ARCHIVE
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


def _chain_config(args) -> ChainConfig:
    if args.average is None and args.average_gain != 1.0:
        raise CliError("--average-gain needs --average LEN", 2)
    agc = None if args.no_agc else Agc(
        args.ref_db, Agc.loop_bw if args.loop_bw is None else args.loop_bw, args.alpha,
        Agc.decim if args.decim is None else args.decim, args.clip_db, args.gain_update_period)
    return ChainConfig(lowpass=Lowpass(*args.lowpass) if args.lowpass else None, agc=agc,
                       average=Average(args.average, args.average_gain) if args.average else None)


def _settling_lines(agc: Agc, args, rate: float | None) -> list[str]:
    from .agc import settling_samples

    if agc.loop_bw < MIN_SETTLE_BW:
        return [f"settling: not predicted (loop_bw below {MIN_SETTLE_BW:g} makes the query too slow)"]
    step, tol = args.settle_step_db, args.settle_tol_db
    lines = [f"AGC settling (predicted by settling_samples; loop time constant "
             f"{1.0 / (4.0 * agc.loop_bw):g} samples):"]
    for sign, word in ((1.0, "below"), (-1.0, "above")):
        n = int(settling_samples(agc.loop_bw, agc.alpha, sign * step, tol))
        text = "does not settle within 16/loop_bw samples" if n == 0 else f"{fmt_count(n)} samples"
        if n and rate:
            text += f" ({fmt_seconds(n / rate)})"
        lines.append(f"  from {step:g} dB {word} the reference to within {tol:g} dB: {text}")
    return lines


def cmd_process(args) -> int:
    config = _chain_config(args)
    warnings = config.check()
    folder = None
    if args.input is None:
        from . import _demo

        seconds = args.demo_seconds
        if not (math.isfinite(seconds) and 0 < seconds <= 60):
            raise CliError(f"--demo-seconds must lie in (0, 60], got {seconds:g}", 2)
        rate = args.rate or _demo.DEMO_RATE
        src = MemorySource(_demo.demo_recording(seconds, rate), rate,
                           _demo.demo_meta(seconds, rate), "built-in demonstration")
        if args.output is None:
            from ._errors import require

            require("sigmf", "the demonstration run")
            require("matplotlib", "the demonstration run")
            folder = _demo_folder()
            args.output = os.path.join(folder, "demo" + SIGMF_META)
            args.plot = args.plot or os.path.join(folder, "demo.png")
            if config.agc is not None:
                args.telemetry = args.telemetry or os.path.join(folder, "demo-telemetry.csv")
    else:
        src = open_source(args.input, args.format)
        if args.output is None:
            args.output = _default_output(args.input, src.fmt)
            args.out_format = args.out_format or src.fmt
    options = RunOptions(block=args.block, out_format=args.out_format, force=args.force,
                         rate=args.rate, verify=not args.skip_checksum, telemetry=args.telemetry,
                         telemetry_every=args.telemetry_every, plot=args.plot)
    # The library's own defaults (loop_bw 0.0025 at decim 8) already exceed
    # the pairing rule and settle fine; the warning is for a pairing the user chose.
    if args.loop_bw is not None or args.decim is not None:
        for w in warnings:
            _warn(w)
    rate = args.rate or src.rate
    say = (lambda *a: None) if args.quiet else print
    say(f"{PROG} process: {src.path} -> {args.output}")
    say(f"  input   {src.describe}, {fmt_count(src.count)} samples"
        + (f" ({fmt_seconds(src.count / rate)} at {fmt_rate(rate)})" if rate else " (rate unknown)"))
    say(f"  chain   {config.describe()}")
    if config.agc is not None and not args.quiet:
        for line in _settling_lines(config.agc, args, rate):
            say(line)
    sys.stdout.flush()
    bar = _Progress(src.count, args.quiet)
    try:
        summary = process_recording(src, args.output, config, options, progress=bar)
    except BaseException:
        if folder is not None:
            with contextlib.suppress(OSError):
                os.rmdir(folder)  # only succeeds if nothing was written into it
        raise
    finally:
        bar.close()
    if not args.quiet:
        _summary(summary, folder)
    return 0


def _summary(s, folder: str | None) -> None:
    n, rate = s.samples, s.rate
    speed = n / s.seconds if s.seconds > 0 else float("inf")
    print("summary")
    dur = f" = {fmt_seconds(n / rate)} at {fmt_rate(rate)}" if rate else ""
    print(f"  samples     {fmt_count(n)}{dur}")
    print(f"  time        {s.seconds:.3f} s, {speed / 1e6:.1f} Msamples/s ({speed * 8 / 1e6:.0f} MB/s)")
    for name, lv in (("input", s.input_level), ("output", s.output_level)):
        print(f"  {name:<11} mean {lv['mean_db']:7.2f} dB   envelope min {lv['min_db']:7.2f} / "
              f"median {lv['median_db']:7.2f} / max {lv['max_db']:7.2f} dB")
    print("              (envelope: mean power per 64 samples)")
    if s.agc_gain_db is not None:
        print(f"  agc         final gain {s.agc_gain_db:.2f} dB (applied "
              f"{s.agc_applied_gain_db:.2f} dB)")
    if s.telemetry_updates is not None:
        drop = s.telemetry_dropped
        print(f"  telemetry   {fmt_count(s.telemetry_updates)} loop updates, "
              f"{fmt_count(s.telemetry_rows)} CSV rows"
              + (f", {fmt_count(drop)} records DROPPED" if drop else ""))
    print(f"  wrote       {', '.join(s.outputs)}")
    if folder is not None:
        print(f"demonstration outputs are in {os.path.abspath(folder)}{os.sep}")


# ------------------------------------------------------------------ design, settle, info


def cmd_settle(args) -> int:
    from .agc import settling_samples

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
               "Exit status: 0 success, 1 input/output error, 2 usage error, 128+N on signal N.")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    pr = sub.add_parser(
        "process", help="run the lowpass -> AGC -> moving average chain over a recording",
        description="Stream a recording through lowpass FIR (with --lowpass), AGC (unless "
                    "--no-agc) and moving average (with --average), in that order. The output "
                    "is bit-identical to the same library calls made on the whole recording, "
                    "and memory stays bounded whatever its length. Without INPUT, the built-in "
                    "demonstration recording is processed and its outputs (SigMF, plot, "
                    "telemetry CSV) are written into a fresh folder kestrix-demo-YYYYmmdd-HHMMSS "
                    "in the working directory.")
    pr.add_argument("input", nargs="?", metavar="INPUT",
                    help=f"recording: NAME{SIGMF_ARCHIVE} SigMF archive, NAME.sigmf-meta/.sigmf-data "
                         f"pair, raw little-endian complex64 ({', '.join(RAW_SUFFIXES)}) or .npy; "
                         f"omit for the demonstration")
    pr.add_argument("-o", "--output", metavar="OUTPUT",
                    help=f"output recording, complex64, format from its name: {SIGMF_ARCHIVE} "
                         f"archive, .sigmf-meta/.sigmf-data pair, .npy or raw "
                         f"{'/'.join(RAW_SUFFIXES)}; a character device, FIFO or socket is "
                         f"written as a stream, raw when its name says no format (so '-o "
                         f"/dev/null' works). Default: INPUT's name with '.kestrix' before "
                         f"the extension")
    pr.add_argument("--format", choices=FORMATS, help="input format, when its name does not tell")
    pr.add_argument("--out-format", choices=FORMATS,
                    help="output format, when its name does not tell")
    pr.add_argument("-f", "--force", action="store_true",
                    help="replace existing regular output files (nothing else is ever replaced)")
    g = pr.add_argument_group("AGC (the block path, AGC.steps)")
    g.add_argument("--no-agc", action="store_true", help="leave the AGC out of the chain")
    g.add_argument("--ref-db", type=finite, default=0.0, metavar="DB",
                   help="target output power in dB, 0 dB = mean squared magnitude 1; from -300 "
                        "(the detector's floor) to --clip-db + 3.01 (default 0)")
    g.add_argument("--loop-bw", type=loop_bw_type, metavar="BW",
                   help="loop noise bandwidth in cycles/sample, (0, 0.25]; time constant "
                        "1/(4*BW) samples; a warning when 4*decim*BW > 0.05, where the block "
                        "loop may ring (default 0.0025)")
    g.add_argument("--alpha", type=alpha_type, default=0.05,
                   help="detector smoothing, EMA coefficient in (0, 1], smaller is smoother "
                        "(default 0.05)")
    g.add_argument("--decim", type=int_range(1, 1 << 20), metavar="N",
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
    g.add_argument("--lowpass", nargs=3, type=number, metavar=("FPASS", "FSTOP", "ATTEN_DB"),
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
                   help="PNG of the input and output power (min..max bands and mean), the AGC's "
                        "commanded gain and measured level, and input and output spectrograms")
    g.add_argument("--telemetry", metavar="FILE.csv",
                   help="CSV of the AGC's loop updates: sample (samples processed at the "
                        "update), time_s (when the rate is known), gain_db, level_db")
    g.add_argument("--telemetry-every", type=int_range(1, 2**32 - 1),
                   default=DEFAULT_TELEMETRY_EVERY, metavar="K",
                   help=f"keep one loop update in K in the CSV, the first and then every K-th "
                        f"(default {DEFAULT_TELEMETRY_EVERY}; 1 keeps every update)")
    g.add_argument("--rate", type=positive, metavar="HZ",
                   help="sample rate in Hz (default: the SigMF core:sample_rate, else unknown)")
    g.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing but errors and warnings (no progress bar, no summary)")
    g.add_argument("--skip-checksum", action="store_true",
                   help="do not check a SigMF data file against its core:sha512")
    g.add_argument("--demo-seconds", type=number, default=4.0, help=argparse.SUPPRESS)
    pr.set_defaults(func=cmd_process)

    de = sub.add_parser(
        "design", help="design Kaiser lowpass taps and measure their response",
        description="Design a Kaiser-windowed-sinc lowpass with design_lowpass and report its "
                    "tap count and beta (the designer's own), DC gain, passband ripple and "
                    "stopband attenuation, measured on a dense frequency response.")
    de.add_argument("fpass", type=number, metavar="FPASS",
                    help="passband edge, fraction of the Nyquist frequency (0 .. 1)")
    de.add_argument("fstop", type=number, metavar="FSTOP",
                    help="stopband edge, fraction of the Nyquist frequency (FPASS .. 1)")
    de.add_argument("atten_db", type=number, metavar="ATTEN_DB",
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
    se.add_argument("loop_bw", type=number, metavar="LOOP_BW",
                    help="loop noise bandwidth in cycles/sample (> 0)")
    se.add_argument("alpha", type=number, metavar="ALPHA",
                    help="detector EMA coefficient in (0, 1]")
    se.add_argument("gain_err_db", type=number, metavar="GAIN_ERR_DB",
                    help="initial gain error in dB: positive for an input that much below the "
                         "reference (the slow direction), negative for a loud one")
    se.add_argument("tol_db", type=number, metavar="TOL_DB", help="tolerance in dB (> 0)")
    se.add_argument("--rate", type=positive, metavar="HZ", help="sample rate in Hz, for seconds")
    se.set_defaults(func=cmd_settle)

    inf = sub.add_parser("info", help="describe a recording",
                         description="Print a recording's format, sample type, sample count, "
                                     "duration and SigMF metadata.")
    inf.add_argument("file", metavar="FILE",
                     help="recording (.sigmf archive, .sigmf-meta/.sigmf-data, raw, .npy)")
    inf.add_argument("--format", choices=FORMATS, help="format, when the name does not tell")
    inf.add_argument("--rate", type=positive, metavar="HZ", help="sample rate in Hz")
    inf.set_defaults(func=cmd_info)
    return p


# ------------------------------------------------------------------ main

def main(argv: list[str] | None = None) -> int:
    """Run the ``kestrix`` command with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    parser = build_parser()
    try:
        with signals_unwind():
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
        return 128 + signal.SIGINT
    except Terminated as e:
        _error(f"terminated by {signal.Signals(e.signum).name}; no partial output was left behind")
        return 128 + e.signum
    except BrokenPipeError:
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")
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


if __name__ == "__main__":
    sys.exit(main())
