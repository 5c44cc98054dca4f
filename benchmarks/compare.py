"""Two builds of the native modules timed against each other in one process.

Run:  python benchmarks/compare.py BASE_DIR [NEW_DIR] [--rounds 20]

BASE_DIR and NEW_DIR are folders holding the extension modules of a build
(agc*.so and filter*.so), for example the kestrix folder of
``pip install --no-deps --target /tmp/kx-base <wheel of the base commit>``;
NEW_DIR defaults to the installed package.  Both builds are loaded side by
side and timed alternately, in turns that swap their order every round, so a
shared, noisy machine slows both alike.  Each row gives the median time of
each build and the median over rounds of new time / base time (below 1: the
new build is faster).  Bit-exactness is the test suite's business; this
compares speed only.
"""

from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import statistics
import time
import timeit

import numpy as np


def load(folder: str, name: str):
    """The extension module `name` of the build in `folder`, under a private
    name (its init function is found by the last component)."""
    path = glob.glob(os.path.join(folder, f"{name}.cpython-*.so"))[0]
    where = importlib.util.spec_from_file_location(f"_kx_{abs(hash(folder))}.{name}", path)
    module = importlib.util.module_from_spec(where)
    where.loader.exec_module(module)
    return module


def wall(f) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def alternate(fb, fn, rounds, timer):
    """Median times of fb and fn, taken in turns whose order swaps every
    round, and the median ratio of fn's time to fb's."""
    tb, tn, ratios = [], [], []
    for r in range(rounds):
        if r % 2:
            t_new = timer(fn)
            t_base = timer(fb)
        else:
            t_base = timer(fb)
            t_new = timer(fn)
        tb.append(t_base)
        tn.append(t_new)
        ratios.append(t_new / t_base)
    return statistics.median(tb), statistics.median(tn), statistics.median(ratios)


def main() -> None:
    import kestrix

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("base", help="folder of the base build's modules")
    ap.add_argument("new", nargs="?", default=kestrix.__path__[0],
                    help="folder of the new build's modules (default: the installed package)")
    ap.add_argument("--n", type=int, default=1 << 20, help="samples per block (default 2^20)")
    ap.add_argument("--rounds", type=int, default=20, help="alternating rounds (default 20)")
    args = ap.parse_args()

    builds = [{m: load(folder, m) for m in ("agc", "filter")} for folder in (args.base, args.new)]
    n = args.n
    rng = np.random.default_rng(1)
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    out = np.empty_like(x)

    def block(label, make):
        fb, fn = (make(b) for b in builds)
        fb(), fn()  # first-call allocations
        tb, tn, ratio = alternate(fb, fn, args.rounds, wall)
        print(f"{label:<36} {n / tb / 1e6:7.0f} {n / tn / 1e6:7.0f} Msps    {ratio:6.3f}", flush=True)

    def call(label, make, number):
        fb, fn = (make(b) for b in builds)
        tb, tn, ratio = alternate(fb, fn, max(5, args.rounds // 2),
                                  lambda f: timeit.timeit(f, number=number) / number)
        scale, unit = (1e3, "ms  ") if tb > 1e-3 else (1e9, "ns  ")
        print(f"{label:<36} {tb * scale:7.0f} {tn * scale:7.0f} {unit}  {ratio:6.3f}", flush=True)

    print(f"{'kernel':<36} {'base':>7} {'new':>7}         new/base time")
    for ntaps in (16, 39, 75, 128, 512):
        taps = rng.standard_normal(ntaps).astype(np.float32)
        block(f"FIR.execute, {ntaps} real taps",
              lambda b, t=taps: (lambda f=b["filter"].FIR(t): f.execute(x, out)))
    ctaps = (rng.standard_normal(75) + 1j * rng.standard_normal(75)).astype(np.complex64)
    block("FIR.execute, 75 complex taps",
          lambda b: (lambda f=b["filter"].FIR(ctaps): f.execute(x, out)))
    for decim in (8, 16, 32):
        def agc(b, d=decim):
            a = b["agc"].AGC()
            a.decim = d
            return lambda: a.steps(x, out)
        block(f"AGC.steps, decim {decim}", agc)
    for length in (16, 64):
        block(f"MovingAverage.steps, len {length}",
              lambda b, k=length: (lambda m=b["filter"].MovingAverage(k): m.steps(x, out)))
    call("design_lowpass() defaults", lambda b: b["filter"].design_lowpass, 2000)
    call("AGC.step(x) from Python", lambda b: (lambda a=b["agc"].AGC(): a.step(1 + 1j)), 100_000)
    call("MovingAverage.step(x) from Python",
         lambda b: (lambda m=b["filter"].MovingAverage(16): m.step(1 + 1j)), 100_000)
    call("settling_samples, 1.6 M steps",
         lambda b: (lambda: b["agc"].settling_samples(1e-5, 0.05, 30.0, 1e-12)), 1)


if __name__ == "__main__":
    main()
