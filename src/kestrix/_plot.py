"""Figures of the ``kestrix`` command, drawn with matplotlib's Agg canvas.

matplotlib is imported only when a figure is asked for, and only through its
object interface (no pyplot, no global backend switch), so the command works
without it when no plot is requested and never opens a window.
"""

from __future__ import annotations

import textwrap

import numpy as np

from ._errors import require
from ._stats import db

WIDTH_IN, DPI = 10.0, 100
TITLE_CHARS = 110  # characters per title line at 10 pt across the figure
SPECTRUM_RANGE_DB = 90.0  # colour scale of the spectrograms below their peak


def check_plot_dependencies() -> None:
    require("matplotlib", "--plot")


def _figure(rows: int, height_in: float, ratios=None):
    check_plot_dependencies()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(WIDTH_IN, height_in), dpi=DPI, layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(rows, 1, sharex=True, squeeze=False,
                        gridspec_kw={"height_ratios": ratios} if ratios else None)[:, 0]
    return fig, axes


def _title(fig, title: str) -> None:
    """Wrapped, never cut: at most three lines, the last shortened with an ellipsis."""
    lines = textwrap.wrap(title, TITLE_CHARS, break_on_hyphens=False) or [""]
    if len(lines) > 3:
        lines = lines[:3]
        lines[2] = lines[2][: TITLE_CHARS - 3] + "..."
    fig.suptitle("\n".join(lines), fontsize=10)


def _band(ax, t, s, color, label, to_db=True):
    f = db if to_db else (lambda v: v)
    ax.fill_between(t, f(s["min"]), f(s["max"]), color=color, alpha=0.25, lw=0,
                    label=f"{label}, min..max")
    ax.plot(t, f(s["mean"]), lw=0.8, color=color, label=f"{label}, mean")


def _spectrogram(ax, image, scale, rate, name, vmax):
    end = (image["start"][-1] + image["span"]) * scale
    f = image["freq"] * (rate if rate else 1.0)
    unit, fdiv = "cycles/sample", 1.0
    if rate:
        unit, fdiv = next(((u, d) for u, d in (("MHz", 1e6), ("kHz", 1e3)) if rate / 2 >= d),
                          ("Hz", 1.0))
    step = (f[1] - f[0]) / fdiv
    ax.set_ylabel(f"{name} spectrum\nfrequency ({unit})")
    return ax.imshow(image["db"], aspect="auto", origin="lower", interpolation="nearest",
                   extent=(0.0, end, f[0] / fdiv - step / 2, f[-1] / fdiv + step / 2),
                   vmin=vmax - SPECTRUM_RANGE_DB, vmax=vmax, cmap="viridis")


def plot_process(fileobj, *, title: str, rate: float | None, env_in, env_out, specs, tap,
                 ref_db: float | None) -> None:
    """Power envelopes (min..max bands and mean), the AGC loop, and two spectrograms."""
    agc = tap is not None and tap.series("gain") is not None
    images = [(name, s.image()) for name, s in zip(("input", "output"), specs) if s is not None]
    images = [(n, im) for n, im in images if im is not None]
    rows = 1 + agc + len(images)
    ratios = [1.2] + [1.0] * agc + [1.1] * len(images)
    fig, axes = _figure(rows, 2.0 + 2.2 * rows, ratios)
    scale, xlabel = (1.0 / rate, "time (s)") if rate else (1.0, "sample")
    _title(fig, title)
    ax = axes[0]
    frame = env_in.FRAME
    for env, color, name in ((env_in, "tab:gray", "input"), (env_out, "tab:blue", "output")):
        s = env.bins.series()
        _band(ax, s["centre"] * frame * scale, s, color, f"{name} power")
    if ref_db is not None:
        ax.axhline(ref_db, color="tab:red", ls="--", lw=0.8, label=f"reference {ref_db:g} dB")
    ax.set_ylabel(f"power (dB)\nper {frame} samples")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower right", fontsize=7, ncol=3)
    row = 1
    if agc:
        ax = axes[row]
        row += 1
        for which, color, name in (("gain", "tab:green", "commanded gain"),
                                   ("level", "tab:orange", "measured level")):
            s = tap.series(which)
            _band(ax, s["centre"] * scale, s, color, name, to_db=False)
        ax.axhline(ref_db, color="tab:red", ls="--", lw=0.8, label=f"reference {ref_db:g} dB")
        ax.set_ylabel("AGC loop (dB)")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="lower right", fontsize=7, ncol=3)
    for name, image in images:
        ax = axes[row]
        row += 1
        shown = _spectrogram(ax, image, scale, rate, name, float(np.max(image["db"])))
        # An inset colour bar leaves the panel as wide as the others.
        fig.colorbar(shown, cax=ax.inset_axes((1.005, 0.0, 0.012, 1.0)), label="dB")
    axes[-1].set_xlabel(xlabel)
    fig.savefig(fileobj, format="png", dpi=DPI)


def plot_design(fileobj, *, f: np.ndarray, h_db: np.ndarray, fpass: float, fstop: float,
                atten_db: float, title: str) -> None:
    """Magnitude response in dB over Nyquist-normalised frequency, band edges marked."""
    fig, axes = _figure(1, 6.0)
    ax = axes[0]
    ax.plot(f, h_db, lw=0.9, color="tab:blue", label="response")
    ax.axvline(fpass, color="tab:green", ls="--", lw=0.8, label=f"passband edge {fpass:g}")
    ax.axvline(fstop, color="tab:red", ls="--", lw=0.8, label=f"stopband edge {fstop:g}")
    ax.axhline(-atten_db, color="tab:gray", ls=":", lw=0.8, label=f"-{atten_db:g} dB")
    floor = min(-atten_db - 40.0, float(np.nanmax(h_db)) - 20.0)
    ax.set_ylim(floor, max(5.0, float(np.nanmax(h_db)) + 3.0))
    ax.set_xlim(0.0, 1.0)
    ax.set_xlabel("frequency (x Nyquist)")
    ax.set_ylabel("magnitude (dB)")
    _title(fig, title)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper right", fontsize=8)
    fig.savefig(fileobj, format="png", dpi=DPI)
