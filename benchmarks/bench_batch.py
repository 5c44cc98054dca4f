"""``kestrix process`` on many recordings with --workers against one after another.

Run:  python benchmarks/bench_batch.py [--files 8] [--log2n 25] [--repeat 3] [--workers 2]
      python benchmarks/bench_batch.py --scheduler tcp://127.0.0.1:8786
      python benchmarks/bench_batch.py --fir [--log2n 26]

Writes --files raw complex64 recordings of 2**log2n samples (copies of one,
so that making them is quick; each is still read and processed on its own)
and times, in the same run, alternating so that load on a shared machine
hits each alike:

- one after another in one process: a child interpreter that runs the
  engine (``process_recording``, what ``kestrix process`` runs) on each
  file in turn, timed inside the child, so without its start-up;
- the machine's ceiling in this run: as many such children as workers at
  once, each with its share of the files, and no Dask; on a machine shared
  with other work this can be far from the core count, and the batch
  cannot beat it;
- a user's shell loop: ``kestrix process FILE -o OUT`` once per file, each
  a fresh interpreter (wall time, start-ups included);
- ``kestrix process FILES -o DIR --workers N`` (or ``--scheduler ADDRESS``):
  the recordings' seconds as the command reports them (the cluster's
  start-up apart) and the child's whole wall time; and the cluster's
  start-up, reported on its own.

Beside each time, the processor seconds of the whole process tree (user and
system, from the children's resource usage), which contention on a shared
machine does not inflate: the batch's against one after another is the work
that Dask and the cluster add.

The chain is the lowpass (0.2/0.3 x Nyquist, 60 dB, 75 taps), the AGC and
an 8-sample moving average.  With --fir it is instead one recording through
an FIR-only chain (a 0.05/0.06 x Nyquist, 80 dB lowpass, 1005 taps), filtered
in one process and in chunks over --workers processes.  Outputs are raw
files in the same folder, written fresh each run; inputs come from the page
cache.  Ratios are of medians.  Nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CHAIN = ["--lowpass", "0.2", "0.3", "60", "--average", "8"]
FIR_CHAIN = ["--no-agc", "--lowpass", "0.05", "0.06", "80"]

# One process, one recording after another: the engine as the command runs it.
SEQUENTIAL = """
import sys, time
from kestrix._args import build_parser, chain_config, run_options
from kestrix.engine import process_recording
out, chain, files = sys.argv[1], sys.argv[2].split(), sys.argv[3:]
args = build_parser().parse_args(["process", files[0], *chain])
config, _ = chain_config(args, None)
t0 = time.perf_counter()
for f in files:
    process_recording(f, f"{out}/{f.rsplit('/', 1)[-1]}", config, run_options(args))
print(time.perf_counter() - t0)
"""


def make_files(folder: str, count: int, n: int) -> list[str]:
    rng = np.random.default_rng(1)
    first = os.path.join(folder, "rec0.cf32")
    with open(first, "wb") as f:
        for start in range(0, n, 1 << 20):
            m = min(1 << 20, n - start)
            x = rng.standard_normal(2 * m, dtype=np.float32).view(np.complex64)
            # Bursts 40 dB apart every 2**16 samples, so the AGC has work.
            x *= np.where((np.arange(start, start + m) >> 16) & 1, np.float32(0.005),
                          np.float32(0.5))
            f.write(x.tobytes())
    files = [first]
    for i in range(1, count):
        files.append(os.path.join(folder, f"rec{i}.cf32"))
        shutil.copyfile(first, files[-1])
    return files


def cpu() -> float:
    """Processor seconds of every child and grandchild waited for so far."""
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def sequential(out: str, files: list[str]) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", SEQUENTIAL, out, " ".join(CHAIN), *files],
                            stdout=subprocess.PIPE, text=True)


def fresh(folder: str) -> str:
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    return folder


def kestrix(*argv: str) -> tuple[float, str]:
    """Wall seconds and standard output of ``kestrix ARGV`` in a child."""
    t0 = time.perf_counter()
    r = subprocess.run([sys.executable, "-m", "kestrix", *argv], capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"kestrix {' '.join(argv)} failed ({r.returncode}): {r.stderr.strip()}")
    return wall, r.stdout


def cluster_figures(out: str) -> tuple[float, float]:
    """(cluster start-up, seconds of the work) as the command reports them."""
    startup = float(re.search(r"(?:started|reached) in ([0-9.]+) s", out)[1])
    work = re.search(r"in ([0-9.]+) s on \d+ workers|time\s+([0-9.]+) s", out)
    return startup, float(work[1] or work[2])


def batch(files: list[str], work: str, args, where: list[str]) -> None:
    keys = ("one", "ceiling", "loop", "batch", "wall", "startup", "cpu_one", "cpu_batch")
    runs: dict[str, list[float]] = {k: [] for k in keys}
    for _ in range(args.repeat):
        c0 = cpu()
        p = sequential(fresh(work), files)
        runs["one"].append(float(p.communicate()[0]))
        runs["cpu_one"].append(cpu() - c0)
        shares = [sequential(fresh(f"{work}{i}"), files[i::args.workers])
                  for i in range(args.workers)]
        runs["ceiling"].append(max(float(p.communicate()[0]) for p in shares))
        fresh(work)
        t0 = time.perf_counter()
        for f in files:
            kestrix("process", f, "-o", os.path.join(work, os.path.basename(f)), "-q", *CHAIN)
        runs["loop"].append(time.perf_counter() - t0)
        c0 = cpu()
        wall, out = kestrix("process", *files, "-o", fresh(work), *where, *CHAIN)
        runs["cpu_batch"].append(cpu() - c0)
        startup, seconds = cluster_figures(out)
        runs["batch"].append(seconds)
        runs["wall"].append(wall)
        runs["startup"].append(startup)
    m = {k: statistics.median(v) for k, v in runs.items()}
    total = len(files) * (1 << args.log2n)

    def line(label: str, seconds: float, note: str = "") -> None:
        print(f"  {label:<48} {seconds:7.2f} s {total / seconds / 1e6:6.1f} Msps  {note}")

    print(f"{len(files)} recordings of 2**{args.log2n} samples, lowpass + AGC + moving average, "
          f"medians of {args.repeat}")
    line("one after another in one process (engine)", m["one"],
         f"{m['cpu_one']:.2f} s of processor")
    line(f"{args.workers} such processes at once, no Dask: ceiling", m["ceiling"],
         f"{m['one'] / m['ceiling']:.2f}x: what the machine gives now")
    line("shell loop of kestrix process FILE", m["loop"], f"{m['loop'] / m['one']:.2f}x the one")
    line(f"kestrix process FILES {' '.join(where)}", m["batch"],
         f"{m['one'] / m['batch']:.2f}x faster than one after another (start-up apart)")
    line("  the same, the command's wall time", m["wall"],
         f"{m['one'] / m['wall']:.2f}x; {m['loop'] / m['wall']:.2f}x the shell loop; "
         f"{m['cpu_batch']:.2f} s of processor" + (" here" if args.scheduler else ""))
    print(f"  cluster start-up {m['startup']:.2f} s (median; range {min(runs['startup']):.2f} .. "
          f"{max(runs['startup']):.2f})")


def fir(src: str, work: str, args, where: list[str]) -> None:
    runs: dict[str, list[float]] = {k: [] for k in ("one", "chunks", "startup")}
    out = os.path.join(work, "out.cf32")
    for _ in range(args.repeat):
        _, printed = kestrix("process", src, "-o", out, "-f", *FIR_CHAIN)
        runs["one"].append(float(re.search(r"time\s+([0-9.]+) s", printed)[1]))
        _, printed = kestrix("process", src, "-o", out, "-f", *where, *FIR_CHAIN)
        startup, seconds = cluster_figures(printed)
        runs["chunks"].append(seconds)
        runs["startup"].append(startup)
    m = {k: statistics.median(v) for k, v in runs.items()}
    n = 1 << args.log2n
    print(f"one recording of 2**{args.log2n} samples, FIR-only (1005 taps), medians of "
          f"{args.repeat}")
    print(f"  one process            {m['one']:7.2f} s {n / m['one'] / 1e6:6.1f} Msps")
    print(f"  in chunks {' '.join(where):<12} {m['chunks']:7.2f} s {n / m['chunks'] / 1e6:6.1f} "
          f"Msps  {m['one'] / m['chunks']:.2f}x (cluster start-up {m['startup']:.2f} s apart)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=8)
    ap.add_argument("--log2n", type=int, default=25, help="2**LOG2N samples per recording")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="a running cluster (dask scheduler + dask worker) instead of --workers")
    ap.add_argument("--fir", action="store_true",
                    help="one recording through an FIR-only chain, in chunks over the workers")
    ap.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="kestrix-bench-batch-", dir=args.dir)
    where = ["--scheduler", args.scheduler] if args.scheduler else ["--workers", str(args.workers)]
    try:
        files = make_files(folder, 1 if args.fir else args.files, 1 << args.log2n)
        work = os.path.join(folder, "out")
        print(f"this machine: {os.cpu_count()} cores; files in {folder}")
        if args.fir:
            fresh(work)
            fir(files[0], work, args, where)
        else:
            batch(files, work, args, where)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
