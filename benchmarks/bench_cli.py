"""Throughput and memory of ``kestrix process`` against the same library chain in memory.

Run:  python benchmarks/bench_cli.py [--log2n 26] [--dir /tmp] [--repeat 5] [--telemetry]
                                     [--streams]

Generates a raw little-endian complex64 file of 2**log2n samples (2**26 is
512 MiB), then, in the same run and alternating so that load on a shared
machine hits both alike:

- the same chain called directly on an in-memory array of the same size
  (FIR.execute, AGC.steps, MovingAverage.steps, each in place);
- the command in a child process (AGC, a 75-tap lowpass at 0.2/0.3 x
  Nyquist and 60 dB, an 8-sample moving average), writing a raw output
  file: its own loop (reading, processing, level statistics, writing, as it
  reports it) and end to end (child wall time, interpreter start-up and the
  final rename included), and its loop once more with ``-o /dev/null``;
- with --telemetry, the same run with ``--telemetry`` at the default
  thinning, and its ratio to the run without;
- with --streams, the same run fed through a pipe (``cat FILE | kestrix
  process - --datatype cf32_le``) and writing into one (``-o - | cat >
  /dev/null``), and with integer samples: ci16_le output (``-o OUT.cs16``,
  scaled, rounded and saturated) and cu8 input (the same samples stored as
  ``.cu8``), each as a ratio to the plain run it changes;
- the child's peak resident memory (its VmHWM, so Linux only).

Ratios are of medians.  The file is freshly written, so it is read from the
page cache: the figures measure the tool, not the disk.  Every child starts
after os.sync(), with no dirty pages left by the run before it.  Nothing is
asserted.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CHAIN = ["--lowpass", "0.2", "0.3", "60", "--average", "8"]


def make_file(path: str, n: int, seed: int = 1) -> None:
    rng = np.random.default_rng(seed)
    chunk = 1 << 20
    with open(path, "wb") as f:
        for start in range(0, n, chunk):
            m = min(chunk, n - start)
            x = np.empty(m, np.complex64)
            x.view(np.float32)[:] = rng.standard_normal(2 * m, dtype=np.float32)
            # Bursts 40 dB apart every 2**16 samples, so the AGC has work.
            idx = (np.arange(start, start + m) >> 16) & 1
            x *= np.where(idx == 0, np.float32(0.5), np.float32(0.005))
            f.write(x.tobytes())


# The child runs what the ``kestrix`` script runs and reports its own
# high-water mark as it exits: getrusage(RUSAGE_CHILDREN) would also count the
# pages of this process, which it was forked from.
CHILD = ("import atexit, re, sys; atexit.register(lambda: sys.stderr.write(re.search("
         "r'VmHWM:\\s*\\d+', open('/proc/self/status').read())[0])); "
         "from kestrix._command import run; run()")


def make_cu8(src: str, dst: str) -> None:
    """The samples of ``src`` stored as cu8 (clipped to its range)."""
    x = np.fromfile(src, np.float32)
    np.clip(np.rint(x * 128.0) + 128.0, 0, 255).astype(np.uint8).tofile(dst)


def run_tool(src: str, dst: str, extra: list[str], *, pipe: bool = False,
             out_pipe: bool = False) -> tuple[float, float, float]:
    """One child run: (wall seconds, the tool's own loop seconds, peak RSS in MB).

    With ``pipe``, ``cat`` feeds ``src`` to the tool's standard input; with
    ``out_pipe``, the tool writes to standard output (``-o -``), which ``cat``
    copies to /dev/null.
    """
    if os.path.isfile(dst):
        os.unlink(dst)  # a fresh output, as a user's first run writes
    # No dirty pages left by the run before: the kernel's writeback of one
    # run's output would otherwise throttle whichever run comes next.
    os.sync()
    args = ["-", "--datatype", "cf32_le"] if pipe else [src]
    cmd = [sys.executable, "-c", CHILD, "process", *args, "-o", "-" if out_pipe else dst,
           "--force", *CHAIN, *extra]
    t0 = time.perf_counter()
    if pipe:
        cat = subprocess.Popen(["cat", src], stdout=subprocess.PIPE)
        r = subprocess.run(cmd, stdin=cat.stdout, capture_output=True, text=True)
        cat.stdout.close()
        cat.wait()
    elif out_pipe:
        child = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        cat = subprocess.Popen(["cat"], stdin=child.stdout, stdout=subprocess.DEVNULL)
        child.stdout.close()
        err = child.stderr.read().decode()
        # The report goes to standard error when the samples take standard output.
        r = subprocess.CompletedProcess(cmd, child.wait(), err, err)
        cat.wait()
    else:
        r = subprocess.run(cmd, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"kestrix process failed ({r.returncode}): {r.stderr.strip()}")
    loop = float(re.search(r"time\s+([0-9.]+) s", r.stdout).group(1))
    return wall, loop, int(re.search(r"VmHWM:\s*(\d+)", r.stderr).group(1)) / 1024.0


def direct_chain(src: str, n: int) -> float:
    """Seconds of the library chain on the whole recording as one in-memory array."""
    from kestrix.agc import AGC
    from kestrix.filter import FIR, MovingAverage, design_lowpass

    x = np.fromfile(src, np.complex64, n)
    fir, agc, ma = FIR(design_lowpass(0.2, 0.3, 60.0)), AGC(), MovingAverage(8)
    t0 = time.perf_counter()
    fir.execute(x, out=x)
    agc.steps(x, out=x)
    ma.steps(x, out=x)
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--log2n", type=int, default=26, help="file size, 2**LOG2N samples")
    ap.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--telemetry", action="store_true", help="also time --telemetry")
    ap.add_argument("--streams", action="store_true",
                    help="also time a pipe as input and integer samples in and out")
    ap.add_argument("--all", action="store_true",
                    help="also measure the peak RSS with --telemetry and --plot on")
    args = ap.parse_args()
    n = 1 << args.log2n
    folder = args.dir or tempfile.mkdtemp(prefix="kestrix-bench-")
    src = os.path.join(folder, "bench-in.cf32")
    dst = os.path.join(folder, "bench-out.cf32")
    csv = os.path.join(folder, "bench-tlm.csv")
    print(f"generating {n:,} samples ({n * 8 / 2**20:.0f} MiB) in {src}")
    make_file(src, n)
    direct, walls, loops, tlm_loops, null_loops = [], [], [], [], []
    peaks = []
    # (what, how to run it, which plain run it is compared with)
    stream_runs = [
        ("cat FILE | kestrix process -", lambda: run_tool(src, dst, [], pipe=True), "file"),
        ("  the pipe, -o /dev/null", lambda: run_tool(src, os.devnull, [], pipe=True), "null"),
        ("-o - | cat > /dev/null", lambda: run_tool(src, os.devnull, [], out_pipe=True), "null"),
        ("ci16_le output, -o OUT.cs16", lambda: run_tool(src, cs16, []), "file"),
        ("  ci16_le, -o /dev/null", lambda: run_tool(src, os.devnull,
                                                     ["--out-datatype", "ci16_le"]), "null"),
        ("cu8 input (the same samples)", lambda: run_tool(cu8, dst, []), "file"),
    ]
    streams = {what: [] for what, _, _ in stream_runs}
    pipe_walls = []
    cu8 = os.path.join(folder, "bench-in.cu8")
    cs16 = os.path.join(folder, "bench-out.cs16")
    if args.streams:
        make_cu8(src, cu8)
    for _ in range(args.repeat):
        direct.append(direct_chain(src, n))
        wall, loop, peak = run_tool(src, dst, [])
        walls.append(wall)
        loops.append(loop)
        peaks.append(peak)
        null_loops.append(run_tool(src, os.devnull, [])[1])
        if args.telemetry:
            tlm_loops.append(run_tool(src, dst, ["--telemetry", csv])[1])
        for what, runner, _ in stream_runs if args.streams else []:
            wall_s, loop_s, _ = runner()
            streams[what].append(loop_s)
            if what.startswith("cat"):
                pipe_walls.append(wall_s)
    d, wall, loop = (statistics.median(v) for v in (direct, walls, loops))
    print(f"chain: AGC (defaults) + 75-tap lowpass + 8-sample moving average; medians of {args.repeat}")
    print(f"direct chain          {n / d / 1e6:8.1f} Msamples/s  ({d:.3f} s, in memory)")
    print(f"tool, its own loop    {n / loop / 1e6:8.1f} Msamples/s  ({loop:.3f} s)  "
          f"ratio {loop / d:.2f}x")
    print(f"tool, end to end      {n / wall / 1e6:8.1f} Msamples/s  ({wall:.3f} s wall)  "
          f"ratio {wall / d:.2f}x")
    null = statistics.median(null_loops)
    print(f"tool loop, -o {os.devnull} {n / null / 1e6:5.1f} Msamples/s  ({null:.3f} s)  "
          f"ratio {null / d:.2f}x (no output file to copy into the page cache)")
    if tlm_loops:
        t = statistics.median(tlm_loops)
        print(f"tool with --telemetry {n / t / 1e6:8.1f} Msamples/s  ({t:.3f} s)  "
              f"{t / loop:.2f}x the run without")
    if args.streams:
        print("streams and sample types (the tool's own loop, beside the plain run it changes):")
        for what, _, base in stream_runs:
            t = statistics.median(streams[what])
            ref = loop if base == "file" else null
            print(f"  {what:<30} {n / t / 1e6:6.1f} Msamples/s  ({t:.3f} s)  {t / ref:.2f}x the "
                  f"{'file' if base == 'file' else '/dev/null'} run")
        pw = statistics.median(pipe_walls)
        print(f"  cat FILE | kestrix process -, end to end: {pw:.3f} s wall, {pw / wall:.2f}x the "
              f"file run's")
    print(f"tool peak RSS         {max(peaks):8.1f} MB (largest of the runs)")
    if args.all:
        png = os.path.join(folder, "bench.png")
        _, _, peak = run_tool(src, dst, ["--telemetry", csv, "--plot", png])
        print(f"peak RSS, --lowpass --average --telemetry --plot: {peak:.1f} MB")
        os.unlink(png)
    if not args.dir:
        for p in (src, dst, csv, cu8, cs16):
            if os.path.isfile(p):
                os.unlink(p)
        os.rmdir(folder)


if __name__ == "__main__":
    main()
