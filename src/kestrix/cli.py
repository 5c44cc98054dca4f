"""The ``kestrix`` command: argument parsing, dispatch and presentation.

Commands:

- ``kestrix process [INPUT ...]``: FIR (a lowpass or given taps, optional) ->
  AGC (default on) -> moving average (optional), streamed through a
  recording, a file or a pipe, channel by channel by the engine
  (:mod:`kestrix.engine`), with telemetry CSV, a plot and a summary.  Without
  INPUT it runs the built-in demonstration recording and writes its outputs
  into a fresh folder.  Several INPUTs, a folder or a pattern are processed
  into the folder ``-o`` names on a Dask cluster (:mod:`kestrix._batch`),
  and with ``--workers``/``--scheduler`` an FIR-only chain filters one
  recording in chunks over the workers (:mod:`kestrix._chunked`).
- ``kestrix design FPASS FSTOP ATTEN_DB``: Kaiser lowpass taps and their
  measured response.
- ``kestrix settle LOOP_BW ALPHA GAIN_ERR_DB TOL_DB``: how long the AGC takes
  to settle.
- ``kestrix info FILE``: what a recording holds.

Exit status: 0 on success, 2 for a usage error or an invalid parameter, 1 for
an input/output error, 128 + the signal on SIGINT (130), SIGTERM (143) or
SIGHUP (129), and 141 (128 + SIGPIPE), silently, when the reader of an
output pipe goes away.  Errors are one line on standard error.  The options
of ``process`` mean what :func:`kestrix._args.chain_config` and
:func:`kestrix._args.run_options` make of them.
"""

from __future__ import annotations

import contextlib
import math
import os
import signal
import sys
import time

from ._args import PROG, batch_chain_config, build_parser, chain_config, run_options
from ._chain import fmt_rate
from ._design import cmd_design
from ._errors import DASK_EXTRA_HINT, CliError, Terminated, describe_error, require, signals_unwind
from ._sinks import SUMMARY_NAME
from ._sources import SIGMF_META, STDIO, MemorySource, is_batch, open_source, split_name
from .engine import Agc, process_recording

MIN_SETTLE_BW = 1e-7  # the settling query costs 16/loop_bw loop steps
SUMMARY_CHANNELS = 8  # channels listed one by one in the summary
SIGPIPE = getattr(signal, "SIGPIPE", 13)


# ------------------------------------------------------------------ presentation


def fmt_count(n: int) -> str:
    return f"{n:,}"


def fmt_seconds(s: float) -> str:
    if s >= 1:
        return f"{s:.3f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.3f} ms"
    return f"{s * 1e6:.3f} us"


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _note(message: str) -> None:
    print(f"{PROG}: note: {message}", file=sys.stderr)


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
    """A tqdm bar on an interactive stderr; without a total (a stream) it shows the
    samples, the elapsed time and the rate."""

    def __init__(self, total: int | None, quiet: bool, unit: str = "S") -> None:
        self.bar = None
        if quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            _warn("install 'kestrix[cli]' for a progress bar")
            return
        self.bar = tqdm(total=total, unit=unit, unit_scale=unit == "S", file=sys.stderr,
                        leave=False, dynamic_ncols=True, desc="processing")
        self.done = 0

    def __call__(self, done: int, total: int | None = None, note: str | None = None) -> None:
        if self.bar is not None:
            if note is not None:
                self.bar.set_postfix_str(note, refresh=False)
            self.bar.update(done - self.done)
            self.done = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ------------------------------------------------------------------ process


def _default_output(path: str, fmt: str) -> str:
    base, ext = split_name(path, fmt)
    return base + ".kestrix" + ext


def _demo_folder() -> str:
    import datetime

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


def _chain_lines(config, args, rate: float | None) -> list[str]:
    """The chain, then the AGC's predicted settling unless quiet (the query costs): in
    the AGC's samples, those after any decimation."""
    lines = [f"  chain   {config.describe()}"]
    if config.agc is not None and not args.quiet:
        lines += _settling_lines(config.agc, args, config.output_rate(rate))
    return lines


def _stdout_outputs(args) -> bool:
    """Whether an output goes to standard output, which must then carry nothing else."""
    from ._sinks import is_stdout

    return any(p is not None and is_stdout(p) for p in (args.output, args.telemetry, args.plot))


def _input_line(src, rate: float | None) -> str:
    channels = f"{src.channels} channels, " if src.channels > 1 else ""
    each = " each" if src.channels > 1 else ""
    if src.count is None:
        length = f"{channels}length unknown until it ends"
    else:
        length = f"{channels}{fmt_count(src.count)} samples{each}"
        if rate:
            length += f" ({fmt_seconds(src.count / rate)} at {fmt_rate(rate)})"
    return f"  input   {src.describe}, {length}" + ("" if rate else " (rate unknown)")


def cmd_process(args) -> int:
    if is_batch(args.input):
        return _process_batch(args)
    args.input = args.input[0] if args.input else None
    on_cluster = args.workers is not None or args.scheduler is not None
    if on_cluster:
        require("distributed", "running on a Dask cluster (--workers, --scheduler)",
                DASK_EXTRA_HINT)
    folder = None
    if args.input is None:
        from . import _demo

        seconds = args.demo_seconds
        if not (math.isfinite(seconds) and 0 < seconds <= 60):
            raise CliError(f"--demo-seconds must lie in (0, 60], got {seconds:g}", 2)
        rate = args.rate or _demo.DEMO_RATE
        src = MemorySource(_demo.demo_recording(seconds, rate), rate,
                           _demo.demo_meta(seconds, rate), "built-in demonstration")
    else:
        src = open_source(args.input, args.format, datatype=args.datatype, channels=args.channels)
        if args.output is None and src.count is None:
            raise CliError("a stream has no name to derive the output's from; give -o OUTPUT "
                           "('-o -' for standard output)", 2)
    config, notes = chain_config(args, args.rate or src.rate)
    warnings = config.check()
    if args.input is None and args.output is None:
        require("sigmf", "the demonstration run")
        require("matplotlib", "the demonstration run")
        folder = _demo_folder()
        args.output = os.path.join(folder, "demo" + SIGMF_META)
        args.plot = args.plot or os.path.join(folder, "demo.png")
        if config.agc is not None:
            args.telemetry = args.telemetry or os.path.join(folder, "demo-telemetry.csv")
    elif args.output is None:
        args.output = _default_output(args.input, src.fmt)
        args.out_format = args.out_format or src.fmt
    # The library's own defaults (loop_bw 0.0025 at decim 8) already exceed
    # the pairing rule and settle fine; the warning is for a pairing the user chose.
    for w in src.notes + (warnings if args.loop_bw is not None or args.decim is not None else []):
        _warn(w)
    for n in notes:
        _note(n)
    options = run_options(args)
    chunks = on_cluster and _in_chunks(args, src, config, options)
    rate = args.rate or src.rate
    out = sys.stderr if _stdout_outputs(args) else sys.stdout
    say = (lambda *a: None) if args.quiet else (lambda *a: print(*a, file=out))
    say(f"{PROG} process: {src.name} -> "
        f"{'standard output' if args.output == STDIO else args.output}")
    say(_input_line(src, rate))
    for line in _chain_lines(config, args, rate):
        say(line)
    with contextlib.ExitStack() as stack:
        if chunks:
            from ._chunked import filter_in_chunks
            from ._cluster import Cluster

            cluster = stack.enter_context(Cluster(args.workers, args.scheduler))
            say(f"  cluster {cluster.describe()}")
        out.flush()
        bar = _Progress(src.count, args.quiet)
        stack.callback(bar.close)
        try:
            if chunks:
                summary = filter_in_chunks(cluster, src, args.output, config, options, bar)
            else:
                summary = process_recording(src, args.output, config, options, progress=bar)
        except BaseException:
            if folder is not None:
                with contextlib.suppress(OSError):
                    os.rmdir(folder)  # only succeeds if nothing was written into it
            raise
    if not args.quiet:
        _summary(summary, folder, out)
    return 0


def _in_chunks(args, src, config, options) -> bool:
    """Whether one recording's filtering is cut into chunks over the cluster's workers;
    a note says why not when the user asked for workers."""
    from ._chunked import obstacle

    if args.scheduler is None and args.workers == 1:
        return False
    why = obstacle(src, args.output, config, options)
    if why:
        _note(f"{why}; this recording is processed here, in one process")
    return why is None


def _process_batch(args) -> int:
    """Several recordings into the folder that -o names, on a Dask cluster."""
    from ._batch import expand_inputs, process_batch

    require("distributed", "processing several recordings", DASK_EXTRA_HINT)
    if args.output is None or args.output == STDIO:
        raise CliError("the recordings of several inputs, a folder or a pattern are written "
                       "into a folder: give -o FOLDER", 2)
    for opt, value in (("--telemetry", args.telemetry), ("--plot", args.plot)):
        if value:
            raise CliError(f"{opt} writes one file for one recording; with several inputs, "
                           f"run those recordings one by one", 2)
    config, lowpass_hz, notes = batch_chain_config(args)
    warnings = config.check()
    options = run_options(args)
    items = expand_inputs(args.input, args.datatype)
    for w in warnings if args.loop_bw is not None or args.decim is not None else []:
        _warn(w)
    for n in notes:
        _note(n)
    say = (lambda *a: None) if args.quiet else print
    tally = {"ok": 0, "ended": 0, "samples": 0, "t0": 0.0}
    bars: list[_Progress] = []

    def ready(recordings: int, cluster) -> None:
        say(f"{PROG} process: {recordings} recordings -> {args.output}")
        for line in _chain_lines(config, args, args.rate):
            say(line)
        if cluster is not None:
            say(f"  cluster {cluster.describe()}")
        sys.stdout.flush()
        bars.append(_Progress(recordings, args.quiet, unit="rec"))
        tally["t0"] = time.perf_counter()

    def done(index: int, o) -> None:
        for n in o.notes:
            _warn(n)
        tally["ended"] += 1
        if o.status == "ok":
            tally["ok"] += 1
            tally["samples"] += o.summary.samples * o.summary.channels
        else:
            _error(o.error if o.input in o.error else f"{o.input}: {o.error}")
        speed = tally["samples"] / max(time.perf_counter() - tally["t0"], 1e-9)
        bars[0](tally["ended"], note=f"{speed / 1e6:.1f} Msamples/s")

    try:
        report = process_batch(items, args.output, config, options, lowpass_hz=lowpass_hz,
                               workers=args.workers, scheduler=args.scheduler, ready=ready,
                               done=done)
    except BaseException:
        if tally["ok"]:
            _note(f"{tally['ok']} recordings were complete and are kept in {args.output}; "
                  f"{SUMMARY_NAME} was not written")
        raise
    finally:
        for bar in bars:
            bar.close()
    n, seconds = len(report.outcomes), report.seconds
    summary, failed = os.path.join(args.output, SUMMARY_NAME), n - tally["ok"]
    if not args.quiet:
        speed = tally["samples"] / seconds if seconds > 0 else float("inf")
        where = f" on {report.workers} workers" if report.workers else ""
        print(f"summary\n  recordings  {tally['ok']} written, {failed} failed, of {n}\n"
              f"  samples     {fmt_count(tally['samples'])} in {seconds:.3f} s{where}: "
              f"{speed / 1e6:.1f} Msamples/s together (the cluster's start-up not counted)\n"
              f"  wrote       {summary}")
    if failed:
        raise CliError(f"{failed} of {n} recordings failed; {summary} has a row for each", 1)
    return 0


def _level_lines(s) -> list[str]:
    many = len(s.per_channel) > 1
    lines = []
    for c, ch in enumerate(s.per_channel[:SUMMARY_CHANNELS]):
        for name, lv in (("input", ch.input_level), ("output", ch.output_level)):
            label = f"ch {c} {name}" if many else name
            lines.append(f"  {label:<11} mean {lv['mean_db']:7.2f} dB   envelope min "
                         f"{lv['min_db']:7.2f} / median {lv['median_db']:7.2f} / max "
                         f"{lv['max_db']:7.2f} dB")
        if ch.agc_gain_db is not None:
            label = f"ch {c} agc" if many else "agc"
            lines.append(f"  {label:<11} final gain {ch.agc_gain_db:.2f} dB (applied "
                         f"{ch.agc_applied_gain_db:.2f} dB)")
    if len(s.per_channel) > SUMMARY_CHANNELS:
        lines.append(f"  (channels {SUMMARY_CHANNELS}-{len(s.per_channel) - 1} not listed)")
    return lines


def _summary(s, folder: str | None, out) -> None:
    n, rate, nch = s.samples, s.rate, s.channels
    speed = n * nch / s.seconds if s.seconds > 0 else float("inf")
    lines = ["summary"]
    dur = f" = {fmt_seconds(n / rate)} at {fmt_rate(rate)}" if rate else ""
    lines.append(f"  samples     {fmt_count(n)}{dur}" + (f", {nch} channels" if nch > 1 else ""))
    if s.decimate != 1:
        out_rate = f" at {fmt_rate(s.output_rate)}" if rate else ""
        lines.append(f"  output      {fmt_count(s.output_samples)} samples{out_rate} "
                     f"(1 in {s.decimate} kept)")
    lines.append(f"  time        {s.seconds:.3f} s, {speed / 1e6:.1f} Msamples/s "
                 f"({speed * 8 / 1e6:.0f} MB/s)")
    if s.per_channel:
        lines += _level_lines(s)
        lines.append("              (envelope: mean power per 64 samples)")
    else:
        lines.append("  levels      not measured: the chunks were filtered apart")
    if s.group_delay != 0:
        lines.append("  delay       " + ("not defined: the taps are not linear phase"
                                         if s.group_delay is None else
                                         f"{s.group_delay:g} {'output ' * (s.decimate != 1)}"
                                         f"samples (the chain's group delay)"))
    if s.saturated is not None:
        share = 100.0 * s.saturated / max(s.components, 1)
        lines.append(f"  saturated   {fmt_count(s.saturated)} of {fmt_count(s.components)} "
                     f"components ({share:.3g}%) beyond {s.datatype}'s full scale"
                     + ("; lower --ref-db for headroom" if s.saturated else ""))
    if s.telemetry_updates is not None:
        drop = s.telemetry_dropped
        lines.append(f"  telemetry   {fmt_count(s.telemetry_updates)} loop updates, "
                     f"{fmt_count(s.telemetry_rows)} CSV rows"
                     + (f", {fmt_count(drop)} records DROPPED" if drop else ""))
    lines.append("  wrote       " + ", ".join("standard output" if o == STDIO else o
                                              for o in s.outputs))
    if folder is not None:
        lines.append(f"demonstration outputs are in {os.path.abspath(folder)}{os.sep}")
    print("\n".join(lines), file=out)


# ------------------------------------------------------------------ settle


def cmd_info(args) -> int:
    from ._info import info

    return info(args)


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


# ------------------------------------------------------------------ main

COMMANDS = {"process": cmd_process, "design": cmd_design, "settle": cmd_settle, "info": cmd_info}


def main(argv: list[str] | None = None) -> int:
    """Run the ``kestrix`` command with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    parser = build_parser()
    try:
        with signals_unwind():
            args = parser.parse_args(argv)
            if args.command is None:
                raise CliError("choose a command: process, design, settle or info "
                               f"(see '{PROG} --help')", 2)
            return COMMANDS[args.func](args)
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
        # The reader of an output went away (`| head`): end quietly, as a
        # process that SIGPIPE stopped would, and keep the interpreter's own
        # final flush of standard output from failing again.
        with contextlib.suppress(OSError, ValueError, AttributeError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
        return 128 + SIGPIPE
    except Exception as e:  # MemoryError, OSError and the unexpected
        if os.environ.get("KESTRIX_DEBUG") and not isinstance(e, (MemoryError, OSError)):
            raise
        _error(describe_error(e))
        return 1


if __name__ == "__main__":
    sys.exit(main())
