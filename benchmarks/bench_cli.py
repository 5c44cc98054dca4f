"""End-to-end throughput and memory of ``kestrix process`` on a raw recording.

Run:  python benchmarks/bench_cli.py [--log2n 24] [--dir /tmp] [--block 65536] [--repeat 3]

Generates a raw little-endian complex64 file of 2**log2n samples (2**27 is
1 GiB), runs the command on it in a child process with the AGC, a 75-tap
lowpass (0.2/0.3 x Nyquist, 60 dB) and an 8-sample moving average, and
reports:

- the tool's throughput, end to end (child wall time, interpreter start-up
  included) and as the tool itself reports it (reading, processing, level
  statistics and writing);
- the child's peak resident memory (``getrusage(RUSAGE_CHILDREN)``);
- the same chain called directly on an in-memory array (FIR.execute,
  AGC.steps, MovingAverage.steps, each in place), and the ratio of the two.

The file is freshly written, so it is read from the page cache: the figures
measure the tool, not the disk.  Not a test: nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
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
            v = x.view(np.float32)
            v[:] = rng.standard_normal(2 * m, dtype=np.float32)
            # Bursts 40 dB apart every 2**16 samples, so the AGC has work.
            idx = (np.arange(start, start + m) >> 16) & 1
            x *= np.where(idx == 0, np.float32(0.5), np.float32(0.005))
            f.write(x.tobytes())


def run_tool(src: str, dst: str, block: int) -> tuple[float, float]:
    """One child run: (wall seconds, seconds the tool reports for its own loop)."""
    cmd = [sys.executable, "-m", "kestrix", "process", src, "-o", dst, "--force",
           "--block", str(block), *CHAIN]
    t0 = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"kestrix process failed ({r.returncode}): {r.stderr.strip()}")
    m = re.search(r"time\s+([0-9.]+) s", r.stdout)
    return wall, float(m.group(1)) if m else float("nan")


def direct_chain(n: int, repeat: int) -> float:
    """Median seconds of the library chain on an in-memory array of n samples."""
    from kestrix.agc import AGC
    from kestrix.filter import FIR, MovingAverage, design_lowpass

    rng = np.random.default_rng(2)
    base = np.empty(n, np.complex64)
    base.view(np.float32)[:] = rng.standard_normal(2 * n, dtype=np.float32)
    taps = design_lowpass(0.2, 0.3, 60.0)
    x = np.empty_like(base)
    times = []
    for _ in range(repeat + 1):
        x[:] = base
        fir, agc, ma = FIR(taps), AGC(), MovingAverage(8)
        t0 = time.perf_counter()
        fir.execute(x, out=x)
        agc.steps(x, out=x)
        ma.steps(x, out=x)
        times.append(time.perf_counter() - t0)
    return statistics.median(times[1:])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--log2n", type=int, default=22, help="file size, 2**LOG2N samples (27 = 1 GiB)")
    ap.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    ap.add_argument("--block", type=int, default=1 << 16, help="--block of the tool")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--direct-log2n", type=int, default=None,
                    help="size of the in-memory direct run (default: min(LOG2N, 24))")
    args = ap.parse_args()
    n = 1 << args.log2n
    folder = args.dir or tempfile.mkdtemp(prefix="kestrix-bench-")
    src = os.path.join(folder, "bench-in.cf32")
    dst = os.path.join(folder, "bench-out.cf32")
    print(f"generating {n:,} samples ({n * 8 / 2**20:.0f} MiB) in {src}")
    make_file(src, n)
    walls, loops = [], []
    for _ in range(args.repeat):
        w, t = run_tool(src, dst, args.block)
        walls.append(w)
        loops.append(t)
    peak_mb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0
    wall, loop = statistics.median(walls), statistics.median(loops)
    nd = 1 << (args.direct_log2n if args.direct_log2n is not None else min(args.log2n, 24))
    direct = direct_chain(nd, args.repeat)
    direct_rate = nd / direct
    print(f"chain: AGC (defaults) + 75-tap lowpass + 8-sample moving average, block {args.block}")
    print(f"tool, end to end      {n / wall / 1e6:8.1f} Msamples/s  ({wall:.2f} s wall, median of {args.repeat})")
    print(f"tool, its own loop    {n / loop / 1e6:8.1f} Msamples/s  ({loop:.2f} s)")
    print(f"tool peak RSS         {peak_mb:8.1f} MB")
    print(f"direct chain          {direct_rate / 1e6:8.1f} Msamples/s  (in memory, {nd:,} samples)")
    print(f"ratio direct/tool     {direct_rate / (n / wall):8.2f}x end to end, "
          f"{direct_rate / (n / loop):.2f}x loop only")
    for p in (src, dst):
        if not args.dir:
            os.unlink(p)
    if not args.dir:
        os.rmdir(folder)


if __name__ == "__main__":
    main()
