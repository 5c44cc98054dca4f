"""The ``kestrix design`` command: taps, their measured response, files.

The tap count and beta come from the designer itself (``Lowpass.design``),
so what is printed is what made the taps.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ._sinks import OutputFile, check_outputs
from ._taps import write_taps
from .engine import Lowpass


@dataclass
class Design:
    lowpass: Lowpass
    taps: np.ndarray
    beta: float
    f: np.ndarray  # frequency, fraction of Nyquist
    h_db: np.ndarray
    dc_gain: float
    pass_min_db: float
    pass_max_db: float
    stop_atten_db: float

    @property
    def ripple_db(self) -> float:
        return self.pass_max_db - self.pass_min_db


def design(lowpass: Lowpass) -> Design:
    """Design the taps and measure their response on a dense grid."""
    from .filter import design_lowpass

    lowpass.check("design")
    taps = design_lowpass(lowpass.fpass, lowpass.fstop, lowpass.atten_db)
    n = len(taps)
    nfft = 1 << max(14, (64 * n - 1).bit_length())
    h = np.abs(np.fft.rfft(taps.astype(np.float64), nfft))
    f = np.arange(len(h)) * (2.0 / nfft)
    h_db = 20.0 * np.log10(np.maximum(h, 1e-300))
    passband, stop = h_db[f <= lowpass.fpass], h_db[f >= lowpass.fstop]
    return Design(lowpass, taps, lowpass.design()[1], f, h_db,
                  dc_gain=float(np.sum(taps, dtype=np.float64)),
                  pass_min_db=float(passband.min()), pass_max_db=float(passband.max()),
                  stop_atten_db=float(-stop.max()) if len(stop) else float("inf"))


def save_plot(fileobj, d: Design) -> None:
    from ._plot import plot_design

    lp = d.lowpass
    plot_design(fileobj, f=d.f, h_db=d.h_db, fpass=lp.fpass, fstop=lp.fstop, atten_db=lp.atten_db,
                title=f"Kaiser lowpass, {len(d.taps)} taps, beta {d.beta:.6g}: "
                      f"{lp.fpass:g}/{lp.fstop:g} x Nyquist, {lp.atten_db:g} dB")


def cmd_design(args) -> int:
    lowpass = Lowpass(args.fpass, args.fstop, args.atten_db)
    lowpass.check("design")
    outputs = [p for p in (args.taps_out, args.plot) if p]
    if args.plot:
        from ._plot import check_plot_dependencies

        check_plot_dependencies()
    check_outputs(outputs, [], args.force)
    d = design(lowpass)
    n = len(d.taps)
    print(f"Kaiser lowpass: passband edge {args.fpass:g}, stopband edge {args.fstop:g} "
          f"(x Nyquist), {args.atten_db:g} dB")
    print(f"  taps                {n} (group delay {(n - 1) // 2} samples)")
    print(f"  beta                {d.beta!r} (the float32 value the window was made with)")
    print(f"  cutoff              {(args.fpass + args.fstop) / 2:g} x Nyquist")
    print(f"  DC gain             {d.dc_gain:.7g} ({20 * math.log10(abs(d.dc_gain)):+.5f} dB)"
          if d.dc_gain else "  DC gain             0")
    print(f"  passband ripple     {d.ripple_db:.5f} dB peak to peak "
          f"({d.pass_min_db:+.5f} .. {d.pass_max_db:+.5f} dB)")
    print(f"  stopband atten.     {d.stop_atten_db:.2f} dB measured ({args.atten_db:g} dB asked)")
    if args.taps_out:
        comment = (f"kestrix design {args.fpass:g} {args.fstop:g} {args.atten_db:g}: {n} float32 "
                   f"taps, Kaiser beta {d.beta!r}")
        with OutputFile(args.taps_out) as out:
            write_taps(out.file, d.taps, args.taps_out, comment)
        print(f"  taps saved to       {args.taps_out} (float32, {n} values, "
              f"{'.npy' if args.taps_out.lower().endswith('.npy') else 'text'})")
    if args.plot:
        with OutputFile(args.plot) as out:
            save_plot(out.file, d)
        print(f"  response plot       {args.plot}")
    return 0
