"""Many recordings through one chain on a Dask cluster: ``kestrix process A B ... -o DIR``.

The inputs (files, folders searched for recordings, glob patterns) are
planned here, in the client: one output per recording in DIR, under the
input's name with the suffix of the format written, all refused up front
when two would share a name or when one exists and ``--force`` was not
given.  Each recording is then one task, :func:`run_job`, which runs the
engine's :func:`~kestrix.engine.process_recording` on a worker from the
picklable chain configuration and options (the library's objects are built
there), so every output has the bits of a single-file run.

Workers write into a private staging folder in DIR; only the client moves a
finished output to its final name (:class:`~kestrix._cluster.Staging`), so
a cancelled run never commits anything afterwards and leaves no temporary
file.  A recording that fails is an :class:`Outcome` with its one-line
error, and the others go on.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import glob
import os
import time
from dataclasses import dataclass, field
from typing import Callable

from ._chain import ChainConfig, Lowpass
from ._cluster import Cancelled, CancelWatch, Cluster, Staging, default_workers
from ._datatypes import SUFFIX_TYPES
from ._errors import CliError, SignalHold, check_signalled, describe_error
from ._sinks import SUMMARY_NAME, OutputFile, output_files, output_kind
from ._sources import (FORMAT_SUFFIX, SIGMF_DATA, STDIO, detect_format, format_from_name,
                       open_source, sigmf_pair, split_name)
from .engine import RunOptions, Summary, process_recording

SUMMARY_FIELDS = ("input", "output", "channels", "samples", "duration_s", "input_level_db",
                  "output_level_db", "agc_gain_db", "seconds", "status", "error")
LISTED = 3  # clashing names quoted in an error


# ------------------------------------------------------------------ the inputs


def _recording_name(path: str, datatype: str | None) -> bool:
    """Whether a name found in a folder or by a pattern says a format kestrix reads."""
    if os.path.basename(path).startswith(".") or not os.path.isfile(path):
        return False
    if path.lower().endswith(".raw"):
        return datatype is not None  # the name says no sample type
    return format_from_name(path) is not None


def _canonical(path: str) -> str:
    """A SigMF pair by its metadata file, whichever of the two was named."""
    if path.endswith(SIGMF_DATA):
        meta = sigmf_pair(path)[0]
        if os.path.exists(meta):
            return meta
    return path


def expand_inputs(items: list[str], datatype: str | None) -> list[tuple[str, str | None]]:
    """(input, None) for each recording that ``items`` name, in order and each once,
    and (item, why) for a folder or pattern that names none."""
    if STDIO in items:
        raise CliError("standard input ('-') is one input alone; with several, name files, "
                       "folders or patterns", 2)
    found: list[tuple[str, str | None]] = []
    seen: set[str] = set()
    for item in items:
        if os.path.isdir(item):
            names = [os.path.join(item, n) for n in sorted(os.listdir(item))]
            paths = [p for p in names if _recording_name(p, datatype)]
            why = "a folder with no recording that kestrix reads by its name"
        elif glob.has_magic(item) and not os.path.lexists(item):
            paths = [p for p in sorted(glob.glob(item, recursive=True))
                     if _recording_name(p, datatype)]
            why = "a pattern that matches no recording that kestrix reads by its name"
        else:
            paths, why = [item], None  # named: taken as given, its failures reported
        if not paths:
            found.append((item, why))
        for p in map(_canonical, paths):
            key = os.path.realpath(p)
            if key not in seen:
                seen.add(key)
                found.append((p, None))
    return found


def output_name(path: str, fmt: str, out_format: str | None,
                out_datatype: str | None) -> tuple[str, str]:
    """(file name, format) of the output of the input ``path`` of format ``fmt``: its
    name, with the suffix of what --out-format or --out-datatype make it.

    Examples
    --------
    >>> output_name("survey/a.cu8", "raw", None, None)
    ('a.cu8', 'raw')
    >>> output_name("survey/a.cu8", "raw", None, "ci16_le")
    ('a.cs16', 'raw')
    >>> output_name("b.sigmf-data", "sigmf", None, "ci8")  # SigMF records its type
    ('b.sigmf-meta', 'sigmf')
    >>> output_name("c.npy", "npy", "sigmf-archive", None)
    ('c.sigmf', 'sigmf-archive')
    """
    base, ext = split_name(os.path.basename(path), fmt)
    # SigMF records its sample type; anything else is written raw to say a new one.
    out_fmt = out_format or (fmt if fmt.startswith("sigmf") or out_datatype is None else "raw")
    if out_fmt == fmt and not (fmt == "raw" and out_datatype):
        return base + ext, out_fmt
    if out_fmt == "raw":
        want = out_datatype or "cf32_le"
        return base + next((s for s, t in SUFFIX_TYPES.items() if t == want), ".raw"), out_fmt
    return base + FORMAT_SUFFIX[out_fmt], out_fmt


# ------------------------------------------------------------------ the plan


@dataclass(frozen=True)
class Job:
    """One recording's task: plain values, built into library objects on the worker."""

    index: int
    input: str  # as the user gave it
    output: str  # final name, in the output folder
    staged: str  # where the worker writes it
    path: str  # the input for the worker, whose working folder may be any
    config: ChainConfig
    options: RunOptions
    lowpass_hz: tuple[float, float, float] | None = None  # designed at the input's own rate

    @property
    def outputs(self) -> list[str]:
        return output_files(self.output, self.options.out_format)


@dataclass
class Outcome:
    """What became of one input: status "ok", "failed" or "cancelled"."""

    input: str
    output: str = ""
    status: str = "failed"
    error: str = ""
    summary: Summary | None = None
    seconds: float = 0.0
    notes: list[str] = field(default_factory=list)


def _refuse(what: str, names: list[str], hint: str) -> None:
    if names:
        more = f" (and {len(names) - LISTED} more)" if len(names) > LISTED else ""
        raise CliError(f"{what} {', '.join(names[:LISTED])}{more}; {hint}", 2)


def plan(items: list[tuple[str, str | None]], folder: str, staging: Staging,
         config: ChainConfig, options: RunOptions,
         lowpass_hz: tuple | None = None) -> list[Job | Outcome]:
    """A job for each input, or the outcome of one whose output cannot be named.

    Refused up front (CliError, status 2): two inputs written to one name,
    an output that is an input, an output or the summary that exists (without
    ``options.force``) or is not a regular file."""
    entries: list[Job | Outcome] = []
    owner: dict[str, str] = {os.path.realpath(os.path.join(folder, SUMMARY_NAME)): "the summary"}
    inputs = {os.path.realpath(p) for p, why in items if why is None}
    clash, exist, special, is_input = [], [], [], []
    for path, why in items:
        if why is not None:
            entries.append(Outcome(path, error=f"{path}: {why}"))
            continue
        try:
            fmt = detect_format(path, options.in_format, options.datatype)
        except CliError as e:
            entries.append(Outcome(path, error=str(e)))
            continue
        name, out_fmt = output_name(path, fmt, options.out_format, options.out_datatype)
        final = os.path.join(folder, name)
        job = Job(len(entries), path, final, staging.staged(final), os.path.abspath(path),
                  config, dataclasses.replace(options, out_format=out_fmt, force=True),
                  lowpass_hz)
        for f in job.outputs:
            key = os.path.realpath(f)
            if key in owner:
                clash.append(f"{owner[key]} and {path} to {f}")
            owner[key] = path
            is_input += [f] if key in inputs else []
        entries.append(job)
    _refuse("two inputs would be written to one name:", clash,
            "process them into different folders")
    _refuse("an output would replace its input:", is_input, "choose another output folder")
    for f in [f for e in entries if isinstance(e, Job) for f in e.outputs] + [
            os.path.join(folder, SUMMARY_NAME)]:
        kind = output_kind(f)
        if kind == "regular":
            exist.append(f)
        elif kind != "new":
            special.append(f)
    _refuse("output exists:", exist if not options.force else [],
            "use --force to replace regular files")
    _refuse("output is not a regular file:", special, "kestrix replaces regular files only")
    return entries


# ------------------------------------------------------------------ on a worker


def run_job(job: Job, flag: str | None) -> Outcome:
    """Process one recording on a worker, or report why it could not be."""
    out = Outcome(job.input, job.output)
    watch = CancelWatch(flag)
    t0 = time.perf_counter()
    try:
        watch()  # a task that starts after the cancellation does nothing
        o = job.options
        src = open_source(job.path, o.in_format, datatype=o.datatype, channels=o.channels)
        out.notes = list(src.notes)
        config = job.config
        if job.lowpass_hz is not None:
            config = dataclasses.replace(
                config, lowpass=Lowpass.from_hz(*job.lowpass_hz, o.rate or src.rate))
        out.summary = process_recording(src, job.staged, config, o, progress=watch)
        out.status = "ok"
    except Cancelled:
        out.status = "cancelled"
    except Exception as e:
        out.error = describe_error(e)
    out.seconds = time.perf_counter() - t0
    return out


# ------------------------------------------------------------------ on the client


def run_batch(cluster: Cluster, jobs: list[Job], staging: Staging, force: bool,
              done: Callable[[int, Outcome], None]) -> None:
    """Run ``jobs`` on the cluster, move each finished output into place, and call
    ``done(job.index, outcome)`` as each ends.  Any exception here (Ctrl-C, a
    termination signal) cancels what is left before it propagates."""
    from distributed import as_completed

    futures = {cluster.client.submit(run_job, job, cluster.flag, pure=False): job
               for job in jobs}
    try:
        for fut in as_completed(futures):
            check_signalled()
            job = futures[fut]
            try:
                outcome = fut.result()
            except Exception as e:  # the task itself failed: its workers died, ...
                outcome = Outcome(job.input, job.output,
                                  error=f"its task failed on the cluster ({describe_error(e)})")
            if outcome.status == "ok":
                with SignalHold() as hold:
                    hold.hold()
                    try:
                        staging.commit(job.outputs, force)
                    except CliError as e:
                        outcome.status, outcome.error = "failed", str(e)
            outcome.error = staging.to_final(outcome.error)
            if not os.path.isabs(job.input):  # named as the user named it
                outcome.error = outcome.error.replace(os.getcwd() + os.sep, "")
            del futures[fut]  # its result is released on the cluster
            done(job.index, outcome)
    except BaseException:
        cluster.cancel(list(futures))
        raise


def output_folder(path: str) -> bool:
    """Make the folder that -o names for several inputs unless it exists; True if made."""
    if os.path.isdir(path):
        return False
    if os.path.lexists(path):
        raise CliError(f"-o {path}: with several inputs, -o names a folder, and this is a "
                       f"file", 2)
    if format_from_name(path) is not None:  # a recording's name: most likely a slip
        raise CliError(f"-o {path}: with several inputs, -o names a folder, and this is the "
                       f"name of a recording; give a folder (or one input)", 2)
    try:
        os.mkdir(path)
    except OSError as e:
        raise CliError(f"cannot make the output folder {path}: {e.strerror or e}", 1) from None
    return True


@dataclass
class BatchReport:
    """What a batch did: an outcome per input, in order, and the seconds its
    recordings took together (the cluster's start-up apart)."""

    outcomes: list[Outcome]
    seconds: float = 0.0
    workers: int = 0


def process_batch(items: list[tuple[str, str | None]], folder: str, config: ChainConfig,
                  options: RunOptions, *, lowpass_hz: tuple | None = None,
                  workers: int | None = None, scheduler: str | None = None,
                  ready: Callable[[int, Cluster | None], None] | None = None,
                  done: Callable[[int, Outcome], None] | None = None) -> BatchReport:
    """Process the recordings of ``items`` (from :func:`expand_inputs`) into ``folder``.

    On a LocalCluster of ``workers`` processes (at most one per recording) or
    on the cluster at ``scheduler``.  ``ready(recordings, cluster)`` is called
    once the cluster is up, ``done(index, outcome)`` as each input ends.
    ``summary.csv`` is written at the end; when an exception (Ctrl-C, a
    termination signal) ends the run, the recordings already complete stay,
    nothing else is left, and no summary is written.
    """
    made = output_folder(folder)
    outcomes: dict[int, Outcome] = {}

    def record(index: int, outcome: Outcome) -> None:
        outcomes[index] = outcome
        if done is not None:
            done(index, outcome)

    try:
        with contextlib.ExitStack() as stack:
            # Unwound last: a signal while the staging folder is made, or the
            # summary committed, waits for it.
            hold = stack.enter_context(SignalHold())
            hold.hold()
            staging = stack.enter_context(Staging(folder))
            hold.release()
            entries = plan(items, folder, staging, config, options, lowpass_hz)
            jobs = [e for e in entries if isinstance(e, Job)]
            cluster = None
            if jobs:
                n = None if scheduler else min(workers or default_workers(), len(jobs))
                cluster = stack.enter_context(Cluster(n, scheduler))
            if ready is not None:
                ready(len(entries), cluster)
            t0 = time.perf_counter()
            for i, e in enumerate(entries):
                if isinstance(e, Outcome):
                    record(i, e)
            if cluster is not None:
                run_batch(cluster, jobs, staging, options.force, record)
            report = BatchReport([outcomes[i] for i in range(len(entries))],
                                 time.perf_counter() - t0, cluster.workers if cluster else 0)
            hold.hold()
            write_summary(os.path.join(folder, SUMMARY_NAME), report.outcomes)
    except BaseException:
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(folder)  # only when nothing was kept in it
        raise
    return report


def _db(v: float | None) -> str:
    return "" if v is None else f"{v:.3f}"


def summary_row(o: Outcome) -> list:
    s = o.summary
    if s is None:
        return [o.input, o.output, "", "", "", "", "", "", f"{o.seconds:.3f}", o.status, o.error]
    levels = [s.input_level["mean_db"], s.output_level["mean_db"]] if s.per_channel else [None] * 2
    return [o.input, o.output, s.channels, s.samples,
            f"{s.samples / s.rate:.9g}" if s.rate else "", *map(_db, levels),
            _db(s.agc_gain_db if s.per_channel else None), f"{o.seconds:.3f}", o.status, o.error]


def write_summary(path: str, outcomes: list[Outcome]) -> None:
    """``summary.csv``: one row per input, written whole or not at all."""
    with OutputFile(path, "w") as f:
        w = csv.writer(f.file, lineterminator="\n")
        w.writerow(SUMMARY_FIELDS)
        w.writerows(summary_row(o) for o in outcomes)
