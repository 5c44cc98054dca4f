"""The ``kestrix design`` command's work: taps, their measured response, files.

The tap count and beta come from the designer itself (``Lowpass.design``),
so what is printed is what made the taps.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

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


def save_taps(fileobj, d: Design) -> None:
    np.save(fileobj, d.taps)


def save_plot(fileobj, d: Design) -> None:
    from ._plot import plot_design

    lp = d.lowpass
    plot_design(fileobj, f=d.f, h_db=d.h_db, fpass=lp.fpass, fstop=lp.fstop, atten_db=lp.atten_db,
                title=f"Kaiser lowpass, {len(d.taps)} taps, beta {d.beta:.6g}: "
                      f"{lp.fpass:g}/{lp.fstop:g} x Nyquist, {lp.atten_db:g} dB")
