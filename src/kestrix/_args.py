"""The ``kestrix`` command's arguments: their types, the parser, and what they mean.

:func:`build_parser` defines every command and option; :func:`chain_config`
and :func:`run_options` turn the parsed options of ``process`` into the
engine's plain configuration, in one place, so that a program running many
inputs builds each one's configuration the same way (the chain depends on
the input only through its sample rate, for ``--lowpass-hz``).
"""

from __future__ import annotations

import argparse
import math
import re

from . import __version__
from ._datatypes import DATATYPE_LIST, DATATYPES, SUFFIX_TABLE
from ._errors import CliError
from ._sinks import SUMMARY_NAME
from ._sources import FORMATS, MAX_CHANNELS, SIGMF_ARCHIVE, STDIO
from .engine import (DEFAULT_BLOCK, DEFAULT_TELEMETRY_EVERY, MAX_BLOCK, PLOT_CHANNELS, Agc, Average,
                     ChainConfig, Lowpass, RunOptions, Shift, Taps)

PROG = "kestrix"
MAX_WORKERS = 1024
MAX_DECIMATE = 1 << 16


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def finite(text: str) -> float:
    v = number(text)
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


def datatype(text: str) -> str:
    if text not in DATATYPES:
        raise argparse.ArgumentTypeError(f"unknown sample type {text!r} (known: {DATATYPE_LIST})")
    return text


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
    """argparse with one-line errors that exit with status 2 through CliError, and
    negative numbers in any spelling taken as values (--shift -125e3, --ref-db -1e-3):
    no option of this command starts with a digit."""

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-\.?\d")

    def error(self, message: str):
        command = self.prog.partition(" ")[2]
        where = f"{command}: " if command else ""
        raise CliError(f"{where}{message} (see '{self.prog} --help')", 2)

    def parse_args(self, args=None, namespace=None):
        ns, extra = self.parse_known_args(args, namespace)
        # Inputs after options, as a shell leaves them (kestrix process a -o DIR b*):
        # argparse gives a list positional only the words before the first option.
        if extra and getattr(ns, "command", None) == "process" and not any(
                e.startswith("-") and e != STDIO for e in extra):
            ns.input = [*ns.input, *extra]
        elif extra:
            self.error(f"unrecognized arguments: {' '.join(extra)}")
        return ns


def build_parser() -> Parser:
    p = Parser(
        prog=PROG,
        description="Level, filter and inspect complex baseband (IQ) recordings with kestrix.",
        epilog="Run 'kestrix process' without arguments for a demonstration. "
               "Exit status: 0 success, 1 input/output error, 2 usage error, 128+N on signal N "
               "(141, silently, when the reader of an output pipe goes away).")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    pr = sub.add_parser(
        "process", help="run the shift -> FIR -> AGC -> moving average chain over a recording",
        description="Stream a recording through a frequency shift (with --shift), an FIR (with "
                    "--lowpass, --lowpass-hz or --taps; keeping one output in D with "
                    "--decimate D), AGC (unless --no-agc) and moving average (with --average), "
                    "in that order, each channel through a chain of its own. The output is "
                    "bit-identical to the same library calls made on the whole recording, "
                    "channel by channel, and memory stays bounded whatever its length. "
                    "'-' reads standard input and '-o -' writes standard output, so kestrix "
                    "works in a pipeline; the report then goes to standard error. Without "
                    "INPUT, the built-in demonstration recording is processed and its outputs "
                    "(SigMF, plot, telemetry CSV) are written into a fresh folder "
                    "kestrix-demo-YYYYmmdd-HHMMSS in the working directory. Several INPUTs "
                    "(files, folders, glob patterns) are processed into the folder that -o "
                    "names, one output each and a summary.csv, in parallel on Dask worker "
                    "processes (the dask extra), each bit-identical to a run of its own.")
    pr.add_argument("input", nargs="*", metavar="INPUT",
                    help=f"recording: NAME{SIGMF_ARCHIVE} SigMF archive, NAME.sigmf-meta/.sigmf-data "
                         f"pair, .npy (samples or samples x channels), or raw samples whose "
                         f"type its suffix says ({SUFFIX_TABLE}) or --datatype gives; '-' "
                         f"(standard input), a FIFO or a character device carries raw samples; "
                         f"several INPUTs, a folder (the recordings in it whose names say their "
                         f"format) or a quoted glob pattern ('data/**/*.cu8') are each "
                         f"processed into the -o folder; omit for the demonstration")
    pr.add_argument("-o", "--output", metavar="OUTPUT",
                    help=f"output recording, format from its name: {SIGMF_ARCHIVE} archive, "
                         f".sigmf-meta/.sigmf-data pair, .npy, or raw samples of the type its "
                         f"suffix says (as for INPUT; cf32_le for .raw); '-' writes raw samples to "
                         f"standard output, and a character device, FIFO or socket is written "
                         f"as a stream, raw when its name says no format (so '-o /dev/null' "
                         f"works). Several channels come out as they came in: interleaved, or "
                         f"(samples, channels) in .npy. Default: INPUT's name with '.kestrix' "
                         f"before the extension. With several inputs, a folder (made if "
                         f"missing) that receives each recording under its input's name, with "
                         f"the suffix of the format written (--out-format, --out-datatype), and "
                         f"{SUMMARY_NAME}, one row per recording")
    pr.add_argument("--format", choices=FORMATS, help="input format, when its name does not tell")
    pr.add_argument("--out-format", choices=FORMATS,
                    help="output format, when its name does not tell")
    pr.add_argument("--datatype", type=datatype, metavar="TYPE",
                    help=f"sample type of raw input (SigMF names: {DATATYPE_LIST}); needed for "
                         f"standard input and names that do not say it; fixed-point samples are "
                         f"scaled to full scale 1.0 as the sigmf library reads them")
    pr.add_argument("--channels", type=int_range(1, MAX_CHANNELS), metavar="C",
                    help="interleaved channels in raw input (default 1)")
    pr.add_argument("--out-datatype", type=datatype, metavar="TYPE",
                    help="sample type of raw or SigMF output (default: what a raw output's name "
                         "says, else cf32_le); integers are scaled (full scale 1.0), rounded to "
                         "nearest with ties to even, and saturated, and the summary counts the "
                         "saturated components")
    pr.add_argument("--sha512", action="store_true",
                    help="record the SHA-512 of a SigMF output's data as core:sha512 "
                         "(about 11 ns a sample)")
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
    g = pr.add_argument_group("shift and filters (one FIR: --lowpass, --lowpass-hz or --taps)")
    fir = g.add_mutually_exclusive_group()
    fir.add_argument("--lowpass", nargs=3, type=number, metavar=("FPASS", "FSTOP", "ATTEN_DB"),
                     help="Kaiser lowpass FIR before the AGC: passband and stopband edges as "
                          "fractions of the Nyquist frequency (0 <= FPASS < FSTOP <= 1) and "
                          "stopband attenuation in dB (> 8)")
    fir.add_argument("--lowpass-hz", nargs=3, type=number, metavar=("FPASS", "FSTOP", "ATTEN_DB"),
                     help="the same lowpass with its band edges in Hz (0 <= FPASS < FSTOP <= "
                          "rate/2); needs the sample rate (--rate, or the recording's)")
    fir.add_argument("--taps", metavar="FILE",
                     help="FIR with your own taps: a .npy of float32 (real, the cheaper path) or "
                          "complex64 taps, or text with one tap per line, real (0.25) or "
                          "complex (0.25-0.1j), as 'design --taps-out' writes; float64 and "
                          "complex128 are converted, with a note when that changes a value")
    g.add_argument("--shift", type=finite, metavar="HZ",
                   help="move every frequency by HZ before the FIR (|HZ| <= rate/2; needs the "
                        "sample rate): --shift -125e3 brings a signal at +125 kHz to 0 Hz, and "
                        "the output's SigMF captures record the centre frequency moved with it")
    g.add_argument("--decimate", type=int_range(1, MAX_DECIMATE), default=1, metavar="D",
                   help="keep one FIR output in D (outputs 0, D, 2D, ...; only those are "
                        "computed): the AGC, the average, the output and its metadata, the "
                        "telemetry and the plot are at rate/D. Needs the FIR (--lowpass, "
                        "--lowpass-hz or --taps) to remove what would alias")
    g.add_argument("--average", type=int_range(1, 64), metavar="LEN",
                   help="moving average of LEN samples (1 .. 64) after the AGC")
    g.add_argument("--average-gain", type=finite, default=1.0, metavar="G",
                   help="linear gain of the moving average (default 1)")
    g = pr.add_argument_group("run")
    g.add_argument("--block", type=int_range(1, MAX_BLOCK), default=DEFAULT_BLOCK, metavar="N",
                   help=f"samples per block (all channels together), rounded up to a multiple "
                        f"of --decim per channel; memory use is a few times 8*N bytes (default "
                        f"{DEFAULT_BLOCK})")
    g.add_argument("--plot", metavar="FILE.png",
                   help=f"PNG of the input and output power (min..max bands and mean), the "
                        f"AGC's commanded gain and measured level, and input and output "
                        f"spectrograms, for each channel (the first {PLOT_CHANNELS} of more)")
    g.add_argument("--telemetry", metavar="FILE.csv",
                   help="CSV of the AGC's loop updates: sample (samples processed at the "
                        "update), channel (for several), time_s (when the rate is known), "
                        "gain_db, level_db")
    g.add_argument("--telemetry-every", type=int_range(1, 2**32 - 1),
                   default=DEFAULT_TELEMETRY_EVERY, metavar="K",
                   help=f"keep one loop update in K in the CSV, the first and then every K-th "
                        f"(default {DEFAULT_TELEMETRY_EVERY}; 1 keeps every update)")
    g.add_argument("--rate", type=positive, metavar="HZ",
                   help="sample rate in Hz (default: the SigMF core:sample_rate, else unknown)")
    g.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing but errors and warnings (no progress, no summary)")
    g.add_argument("--skip-checksum", action="store_true",
                   help="do not check a SigMF data file against its core:sha512")
    g.add_argument("--demo-seconds", type=number, default=4.0, help=argparse.SUPPRESS)
    g = pr.add_argument_group(
        "several cores or machines (the dask extra: pip install 'kestrix[dask]')",
        "Each recording is processed by one worker: the AGC and the moving average carry "
        "state that depends on the whole past (a feedback loop, a running float32 sum), so "
        "they run in order over a recording. An FIR-only chain (--no-agc, no --average) is "
        "the exception: one recording's filtering is cut into chunks over the workers, each "
        "chunk's filter starting from the input samples before it, bit-identical to one "
        "process.")
    where = g.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int_range(1, MAX_WORKERS), metavar="N",
                       help="run on a Dask LocalCluster of N worker processes started here "
                            "(default with several inputs: one per core, at most one per "
                            "recording)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at ADDRESS "
                            "(tcp://HOST:8786, started with 'dask scheduler' and 'dask worker') "
                            "instead; inputs and outputs must be paths that every worker can "
                            "see, the same as here (a shared file system), and the workers must "
                            "run this version of kestrix")
    pr.set_defaults(func="process")

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
    de.add_argument("--taps-out", metavar="FILE",
                    help="save the float32 taps: FILE.npy as a NumPy array, any other name as "
                         "text, one tap per line (the shortest decimal that reads back as the "
                         "same float32); 'process --taps' reads both")
    de.add_argument("--plot", metavar="FILE.png",
                    help="PNG of the magnitude response in dB with the band edges marked")
    de.add_argument("-f", "--force", action="store_true", help="replace existing output files")
    de.set_defaults(func="design")

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
    se.set_defaults(func="settle")

    inf = sub.add_parser("info", help="describe a recording",
                         description="Print what a recording holds: format, sample type, "
                                     "channels, samples, duration, rate, centre frequency, "
                                     "captures, annotations and the processing kestrix did; "
                                     "--json prints the whole metadata.")
    inf.add_argument("file", metavar="FILE",
                     help="recording (.sigmf archive, .sigmf-meta/.sigmf-data, .npy, raw)")
    inf.add_argument("--format", choices=FORMATS, help="format, when the name does not tell")
    inf.add_argument("--datatype", type=datatype, metavar="TYPE",
                     help="sample type of raw samples, when the name does not tell")
    inf.add_argument("--channels", type=int_range(1, MAX_CHANNELS), metavar="C",
                     help="interleaved channels in raw samples (default 1)")
    inf.add_argument("--rate", type=positive, metavar="HZ", help="sample rate in Hz")
    inf.add_argument("--json", action="store_true",
                     help="print the whole metadata as JSON (SigMF's own, or what kestrix "
                          "knows of a raw or .npy file)")
    inf.set_defaults(func="info")
    return p


# ------------------------------------------------------------------ what the options mean


def chain_config(args, rate: float | None, *, defer: bool = False) -> tuple[ChainConfig, list[str]]:
    """The chain that ``process``'s options ask for, at sample ``rate``; and notes
    (on converted taps) for the user.  With ``defer``, a ``--shift`` without a rate
    waits for the recording's (:meth:`ChainConfig.at_rate`)."""
    if args.average is None and args.average_gain != 1.0:
        raise CliError("--average-gain needs --average LEN", 2)
    agc = None if args.no_agc else Agc(
        args.ref_db, Agc.loop_bw if args.loop_bw is None else args.loop_bw, args.alpha,
        Agc.decim if args.decim is None else args.decim, args.clip_db, args.gain_update_period)
    lowpass, taps, notes = None, None, []
    if args.lowpass:
        lowpass = Lowpass(*args.lowpass)
    elif args.lowpass_hz:
        lowpass = Lowpass.from_hz(*args.lowpass_hz, rate)
    elif args.taps:
        from ._taps import read_taps

        values, notes = read_taps(args.taps)
        taps = Taps.of(values, args.taps)
    average = Average(args.average, args.average_gain) if args.average else None
    shift = None
    if args.shift is not None:
        shift = Shift(args.shift) if defer and not rate else Shift.from_hz(args.shift, rate)
    return ChainConfig(lowpass=lowpass, agc=agc, average=average, taps=taps, shift=shift,
                       decimate=args.decimate), notes


def batch_chain_config(args) -> tuple[ChainConfig, tuple | None, list[str]]:
    """The chain for many inputs: :func:`chain_config` at ``--rate``, except that without
    one, ``--lowpass-hz`` edges are returned apart, to be designed at each input's own rate,
    and a ``--shift`` waits for that rate too."""
    if args.lowpass_hz and not args.rate:
        config, notes = chain_config(argparse.Namespace(**{**vars(args), "lowpass_hz": None}), None,
                                     defer=True)
        return config, tuple(args.lowpass_hz), notes
    config, notes = chain_config(args, args.rate, defer=True)
    return config, None, notes


def run_options(args) -> RunOptions:
    """Everything but the chain that ``process``'s options ask for."""
    return RunOptions(block=args.block, in_format=args.format, out_format=args.out_format,
                      force=args.force, rate=args.rate, verify=not args.skip_checksum,
                      telemetry=args.telemetry, telemetry_every=args.telemetry_every,
                      plot=args.plot, datatype=args.datatype, channels=args.channels,
                      out_datatype=args.out_datatype, sha512=args.sha512)
