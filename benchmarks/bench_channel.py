"""Throughput of kestrix.channel against the peers a Python user would pick.

Run:  python benchmarks/bench_channel.py [--n 1048576] [--sizes 65536 1048576] [--repeat 9]

Each figure is the median of several runs, with the peers timed in the same
run on the same input, in alternating turns (resample_poly, far slower, on
its own), so the ratios stay meaningful on a noisy machine.
Needs the test extras (NumPy, SciPy).  Set KESTRIX_DISABLE_CPU_FEATURES=avx512
(or avx512,avx2) to measure the narrower kernel variants.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import median_time, median_times, msps, signal  # noqa: E402

from kestrix import _cpu  # noqa: E402
from kestrix.channel import FIRDecimator, Rotator  # noqa: E402
from kestrix.filter import FIR, design_lowpass  # noqa: E402


def bench_firdecimator(args) -> None:
    """FIRDecimator against FIR.execute with the same taps (the full-rate
    filter it replaces) and scipy.signal.resample_poly(x, 1, factor), which
    designs its own filter: every figure counts input samples per second on
    the same input."""
    import scipy.signal

    x = signal(args.n)
    rng = np.random.default_rng(2)
    cases = [
        ("75 real taps, factor 8", design_lowpass(0.2, 0.3, 60.0), 8),
        ("75 complex taps, factor 8",
         (design_lowpass(0.2, 0.3, 60.0) * np.exp(0.3j * np.arange(75))).astype(np.complex64), 8),
        ("512 real taps, factor 4", rng.standard_normal(512).astype(np.float32) / 512, 4),
    ]
    print(f"FIRDecimator, {args.n} input samples, variant {_cpu.variant()}, "
          f"median of {args.repeat}; Msps = input samples per second")
    print(f"{'case':<28} {'FIRDecimator':>13} {'FIR.execute':>12} {'resample_poly':>14} "
          f"{'x FIR':>7} {'x resample_poly':>16}")
    for name, taps, factor in cases:
        assert len(taps) in (75, 512)
        dec, fir = FIRDecimator(taps, factor), FIR(taps)
        out = np.empty(dec.output_length(args.n), np.complex64)
        full = np.empty_like(x)

        def run_dec():
            dec.reset()
            dec.execute(x, out)

        t_dec, t_fir = median_times([run_dec, lambda: fir.execute(x, full)], args.repeat)
        t_rp = median_time(lambda: scipy.signal.resample_poly(x, 1, factor), args.repeat)
        print(f"{name:<28} {msps(args.n, t_dec):>9.1f} Msps {msps(args.n, t_fir):>7.1f} Msps "
              f"{msps(args.n, t_rp):>9.1f} Msps {t_fir / t_dec:>6.2f}x {t_rp / t_dec:>15.2f}x",
              flush=True)


def bench_rotator(args) -> list[tuple[int, float, float, float]]:
    """Rotator.steps against a multiply by a precomputed phasor array and
    against computing the phasor with np.exp first: (block size, kestrix
    Msamples/s, ratio to the precomputed multiply, ratio to exp + multiply)."""
    f = 0.0123456
    rows = []
    for n in args.sizes:
        x = signal(n)
        y = np.empty_like(x)
        rot = Rotator(f)
        ph = np.exp(2j * np.pi * f * np.arange(n)).astype(np.complex64)
        nn = np.arange(n)

        def with_exp():
            p = np.exp(2j * np.pi * f * nn).astype(np.complex64)
            np.multiply(x, p, out=y)

        t_rot, t_mul = median_times([lambda: rot.steps(x, y), lambda: np.multiply(x, ph, out=y)],
                                    args.repeat)
        t_exp = median_time(with_exp, max(3, args.repeat // 3))
        rows.append((n, n / t_rot / 1e6, t_mul / t_rot, t_exp / t_rot))
        print(f"Rotator.steps n={n:<8} {n / t_rot / 1e6:9.1f} Msa/s   "
              f"x{t_mul / t_rot:5.2f} vs np.multiply by a precomputed phasor   "
              f"x{t_exp / t_rot:6.1f} vs np.exp then multiply", flush=True)
    return rows


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1 << 20, help="input samples for FIRDecimator")
    p.add_argument("--sizes", type=int, nargs="+", default=[1 << 16, 1 << 20],
                   help="block sizes for Rotator")
    p.add_argument("--repeat", type=int, default=9)
    args = p.parse_args(argv)
    bench_firdecimator(args)
    print(f"Rotator, kernel variant {_cpu.variant()}, median of {args.repeat}")
    bench_rotator(args)


if __name__ == "__main__":
    main()
