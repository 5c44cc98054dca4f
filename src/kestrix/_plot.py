"""Figures of the ``kestrix`` command, drawn with matplotlib's Agg canvas.

matplotlib is imported only when a figure is asked for, and only through its
object interface (no pyplot, no global backend switch), so the command works
without it when no plot is requested and never opens a window.
"""

from __future__ import annotations

import textwrap

import numpy as np

from ._chain import output_rate
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


def _power_panel(ax, env_in, env_out, scale, ref_db, name):
    frame = env_in.FRAME
    for env, color, what, k in ((env_in, "tab:gray", "input", scale[0]),
                                (env_out, "tab:blue", "output", scale[1])):
        s = env.bins.series()
        _band(ax, s["centre"] * frame * k, s, color, f"{what} power")
    if ref_db is not None:
        ax.axhline(ref_db, color="tab:red", ls="--", lw=0.8, label=f"reference {ref_db:g} dB")
    ax.set_ylabel(f"{name}power (dB)\nper {frame} samples")


def _agc_panel(ax, tap, scale, ref_db, name):
    for which, color, what in (("gain", "tab:green", "commanded gain"),
                               ("level", "tab:orange", "measured level")):
        s = tap.series(which)
        _band(ax, s["centre"] * scale, s, color, what, to_db=False)
    ax.axhline(ref_db, color="tab:red", ls="--", lw=0.8, label=f"reference {ref_db:g} dB")
    ax.set_ylabel(f"{name}AGC loop (dB)")


def plot_process(fileobj, *, title: str, rate: float | None, channels, total: int,
                 ref_db: float | None, decimate: int = 1) -> None:
    """Per channel shown: power envelopes (min..max bands and mean), the AGC loop and
    two spectrograms.  ``channels`` holds (index, env_in, env_out, specs, tap) of the
    channels drawn, the first of ``total``.  ``rate`` is the input's; with a
    decimation the output side (its envelope, spectrogram and the AGC, which runs
    after the decimation) is at ``rate / decimate``, and without a rate the time
    axis counts output samples."""
    panels = []  # (kind, height ratio, channel name, what to draw)
    for index, env_in, env_out, specs, tap in channels:
        name = f"ch {index} " if total > 1 else ""
        panels.append(("power", 1.2, name, (env_in, env_out)))
        if tap is not None and tap.series("gain") is not None:
            panels.append(("agc", 1.0, name, tap))
        for side, (what, gram) in enumerate(zip(("input", "output"), specs)):
            image = gram.image() if gram is not None else None
            if image is not None:
                panels.append(("spectrum", 1.1, f"{name}{what}", (image, side)))
    per_row = 2.2 if len(channels) == 1 else 1.6
    fig, axes = _figure(len(panels), 2.0 + per_row * len(panels), [p[1] for p in panels])
    # Time-axis units per sample on each side of the chain, and each side's rate.
    if rate:
        scale, xlabel = (1.0 / rate, decimate / rate), "time (s)"
    else:
        scale = (1.0 / decimate, 1.0)
        xlabel = "output sample" if decimate != 1 else "sample"
    rates = (rate, output_rate(rate, decimate))
    if total > 1:
        shown = len(channels)
        title += (f" [all {total} channels]" if shown == total else
                  f" [channels 0-{shown - 1} of {total} shown]")
    _title(fig, title)
    for ax, (kind, _, name, what) in zip(axes, panels):
        if kind == "spectrum":
            image, side = what
            shown = _spectrogram(ax, image, scale[side], rates[side], name,
                                 float(np.max(image["db"])))
            # An inset colour bar leaves the panel as wide as the others.
            fig.colorbar(shown, cax=ax.inset_axes((1.005, 0.0, 0.012, 1.0)), label="dB")
            continue
        if kind == "power":
            _power_panel(ax, *what, scale, ref_db, name)
        else:
            _agc_panel(ax, what, scale[1], ref_db, name)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="lower right", fontsize=7, ncol=3)
    if len(channels) > 1:  # shorter panels: smaller labels, so that they fit
        for ax in axes:
            ax.yaxis.label.set_size(8)
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
