"""Throughput of kestrix's kernels against the peers a Python user would pick.

Run:  python benchmarks/bench.py [--n 1048576] [--repeat 9] [--out benchmarks/results.md]

Every figure is the median of several runs on one core, with the peer timed
in the same run, so ratios stay meaningful on a noisy machine.  Needs the test
extras (NumPy, SciPy).
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
import timeit

import numpy as np

from kestrix import _cpu
from kestrix.agc import AGC, settling_samples
from kestrix.filter import FIR, MovingAverage, design_lowpass


def median_time(fn, repeat: int) -> float:
    fn()  # warm-up: first-call allocations, page faults, dispatch
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def median_times(fns, repeat: int) -> list[float]:
    """The median time of each of ``fns``, called in turn in every round, so that a
    spell of load on a shared machine hits all of them alike."""
    for fn in fns:
        fn()  # warm-up
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(repeat):
        for fn, ts in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    return [statistics.median(ts) for ts in times]


def per_call_ns(fn, number: int = 100_000, repeat: int = 7) -> float:
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e9


def signal(n: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def msps(n: int, seconds: float) -> float:
    return n / seconds / 1e6


def run(n: int, repeat: int) -> list[tuple[str, str, str, str]]:
    import scipy.ndimage
    import scipy.signal

    x = signal(n)
    out = np.empty_like(x)
    rows: list[tuple[str, str, str, str]] = []

    def row(kernel, figure, peer, ratio):
        rows.append((kernel, figure, peer, ratio))
        print(f"{kernel:<40} {figure:>14} {peer:>34} {ratio:>10}", flush=True)

    t_copy = median_time(lambda: np.copyto(out, x), repeat)
    row("plain array copy", f"{msps(n, t_copy):.0f} Msps", "", "")

    # FIR, real taps
    rng = np.random.default_rng(2)
    for ntaps in (16, 39, 75, 128, 512):
        taps = rng.standard_normal(ntaps).astype(np.float32)
        fir = FIR(taps)
        t = median_time(lambda: fir.execute(x, out), repeat)
        t_oa = median_time(lambda: scipy.signal.oaconvolve(x, taps, mode="full"), repeat)
        row(
            f"FIR.execute, {ntaps} real taps",
            f"{msps(n, t):.0f} Msps",
            f"oaconvolve {msps(n, t_oa):.0f} Msps",
            f"{t_oa / t:.2f}x",
        )
        if ntaps == 75:
            t_np = median_time(lambda: np.convolve(x, taps), max(3, repeat // 3))
            row("  (75 real taps) vs numpy.convolve", "", f"np.convolve {msps(n, t_np):.0f} Msps",
                f"{t_np / t:.2f}x")
            block = 4096
            t_blk = median_time(
                lambda: [fir.execute(x[i : i + block], out[i : i + block]) for i in range(0, n, block)],
                repeat,
            )
            row("FIR.execute, 75 real taps, blocks of 4096", f"{msps(n, t_blk):.0f} Msps",
                f"one block {msps(n, t):.0f} Msps", f"{t / t_blk:.2f}x")

    ctaps = (rng.standard_normal(75) + 1j * rng.standard_normal(75)).astype(np.complex64)
    fir = FIR(ctaps)
    t = median_time(lambda: fir.execute(x, out), repeat)
    t_oa = median_time(lambda: scipy.signal.oaconvolve(x, ctaps, mode="full"), repeat)
    row("FIR.execute, 75 complex taps", f"{msps(n, t):.0f} Msps",
        f"oaconvolve {msps(n, t_oa):.0f} Msps", f"{t_oa / t:.2f}x")

    # Block AGC against a plain copy of the same array
    for decim in (8, 16, 32):
        agc = AGC()
        agc.decim = decim
        t = median_time(lambda: agc.steps(x, out), repeat)
        row(f"AGC.steps, decim {decim}", f"{msps(n, t):.0f} Msps",
            f"copy {msps(n, t_copy):.0f} Msps", f"{t_copy / t:.2f}")

    # Moving average: uniform_filter1d on both parts; the dependent-add bound
    # is a running sum (one dependent add per sample and component).
    re = np.ascontiguousarray(x.real)
    im = np.ascontiguousarray(x.imag)
    t_cum = median_time(lambda: np.cumsum(x, out=out), repeat)
    for length in (16, 64):
        ma = MovingAverage(length)
        t = median_time(lambda: ma.steps(x, out), repeat)
        t_uf = median_time(
            lambda: (scipy.ndimage.uniform_filter1d(re, length), scipy.ndimage.uniform_filter1d(im, length)),
            repeat,
        )
        row(f"MovingAverage.steps, len {length}", f"{msps(n, t):.0f} Msps",
            f"uniform_filter1d {msps(n, t_uf):.0f} Msps", f"{t_uf / t:.2f}x")
        row(f"  (len {length}) vs running-sum bound", "", f"cumsum {msps(n, t_cum):.0f} Msps",
            f"{t_cum / t:.2f}")

    # Design
    t_d = per_call_ns(lambda: design_lowpass(), number=2000) / 1e3
    def scipy_design():
        numtaps, beta = scipy.signal.kaiserord(60.0, 0.1)
        return scipy.signal.firwin(numtaps, 0.5, window=("kaiser", beta))
    t_s = per_call_ns(scipy_design, number=500) / 1e3
    row("design_lowpass() defaults", f"{t_d:.2f} us", f"kaiserord+firwin {t_s:.1f} us", f"{t_s / t_d:.1f}x")

    # Per-sample calls from Python against a trivial method call
    agc = AGC()
    ma = MovingAverage(16)
    t_conj = per_call_ns(lambda: (1 + 0j).conjugate())
    t_agc = per_call_ns(lambda: agc.step(1 + 1j))
    t_ma = per_call_ns(lambda: ma.step(1 + 1j))
    row("AGC.step(x) from Python", f"{t_agc:.0f} ns", f"(1+0j).conjugate() {t_conj:.0f} ns", f"{t_agc / t_conj:.2f}x")
    row("MovingAverage.step(x) from Python", f"{t_ma:.0f} ns", f"(1+0j).conjugate() {t_conj:.0f} ns", f"{t_ma / t_conj:.2f}x")

    # Settling query: a case that runs all 16/loop_bw + 1 steps
    loop_bw = 1e-5
    steps = int(16.0 / loop_bw) + 1
    t = median_time(lambda: settling_samples(loop_bw, 0.05, 30.0, 1e-12), max(3, repeat // 3))
    row("settling_samples", f"{steps / t / 1e6:.0f} M steps/s", "", "")
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1 << 20, help="samples per block (default 2^20)")
    ap.add_argument("--repeat", type=int, default=9, help="runs per median (default 9)")
    ap.add_argument("--out", default=None, help="write the table as Markdown to this file")
    args = ap.parse_args()

    machine = f"{platform.machine()}, {os.cpu_count()} cores, {_cpu.variant()} kernels, " \
              f"Python {platform.python_version()}, NumPy {np.__version__}"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
        machine = f"{model}; {machine}"
    except OSError:
        pass
    print(machine)
    rows = run(args.n, args.repeat)
    if args.out:
        with open(args.out, "w") as f:
            f.write(f"Machine: {machine}; n = {args.n}, medians of {args.repeat} runs.\n\n")
            f.write("| kernel | kestrix | peer | ratio |\n|---|---|---|---|\n")
            for r in rows:
                f.write("| " + " | ".join(r) + " |\n")
        print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
