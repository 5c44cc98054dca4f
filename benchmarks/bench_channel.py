"""Throughput of kestrix.channel against the peers a Python user would pick.

Run:  python benchmarks/bench_channel.py [--n 1048576] [--repeat 9]

Each figure is input samples per second, the median of several runs, with
the peers timed in the same run on the same input, so the ratios stay
meaningful on a noisy machine.  Needs the test extras (NumPy, SciPy).
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import median_time, msps, signal  # noqa: E402

from kestrix import _cpu  # noqa: E402
from kestrix.channel import FIRDecimator  # noqa: E402
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

        t_dec = median_time(run_dec, args.repeat)
        t_fir = median_time(lambda: fir.execute(x, full), args.repeat)
        t_rp = median_time(lambda: scipy.signal.resample_poly(x, 1, factor), args.repeat)
        print(f"{name:<28} {msps(args.n, t_dec):>9.1f} Msps {msps(args.n, t_fir):>7.1f} Msps "
              f"{msps(args.n, t_rp):>9.1f} Msps {t_fir / t_dec:>6.2f}x {t_rp / t_dec:>15.2f}x",
              flush=True)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1 << 20)
    p.add_argument("--repeat", type=int, default=9)
    args = p.parse_args()
    bench_firdecimator(args)


if __name__ == "__main__":
    main()
