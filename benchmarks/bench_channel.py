"""Throughput of the channel module's kernels against the NumPy ways of doing
the same, timed side by side in one run.

Run:  python benchmarks/bench_channel.py [--repeat 9] [--sizes 65536 1048576]

Every figure is the median of several runs; the ratios compare kestrix with
the peer timed in the same run, so they stay meaningful on a noisy machine.
Set KESTRIX_DISABLE_CPU_FEATURES=avx512 (or avx512,avx2) to measure the
narrower kernel variants.
"""

from __future__ import annotations

import argparse

import numpy as np

from bench import median_time, signal  # this folder is on the path when run as a script
from kestrix import _cpu
from kestrix.channel import Rotator


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

        t_rot = median_time(lambda: rot.steps(x, y), args.repeat)
        t_mul = median_time(lambda: np.multiply(x, ph, out=y), args.repeat)
        t_exp = median_time(with_exp, max(3, args.repeat // 3))
        rows.append((n, n / t_rot / 1e6, t_mul / t_rot, t_exp / t_rot))
        print(f"Rotator.steps n={n:<8} {n / t_rot / 1e6:9.1f} Msa/s   "
              f"x{t_mul / t_rot:5.2f} vs np.multiply by a precomputed phasor   "
              f"x{t_exp / t_rot:6.1f} vs np.exp then multiply", flush=True)
    return rows


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=9)
    p.add_argument("--sizes", type=int, nargs="+", default=[1 << 16, 1 << 20])
    args = p.parse_args(argv)
    print(f"kernel variant: {_cpu.variant()}")
    bench_rotator(args)


if __name__ == "__main__":
    main()
