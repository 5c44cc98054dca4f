"""Figures of the ``kestrix`` command, drawn with matplotlib's Agg canvas.

matplotlib is imported only when a figure is asked for, and only through its
object interface (no pyplot, no global backend switch), so the command works
without it when no plot is requested and never opens a window.
"""

from __future__ import annotations

import numpy as np

from ._io import AtomicFile, require

WIDTH_IN, HEIGHT_IN, DPI = 10.0, 6.0, 100  # a 1000 x 600 pixel PNG


def _figure(rows: int):
    require("matplotlib", "--plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI, layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]
    return fig, axes


def _save(fig, path: str) -> None:
    out = AtomicFile(path)
    try:
        fig.savefig(out.file, format="png", dpi=DPI)
        out.commit()
    except BaseException:
        out.abort()
        raise


def plot_process(path: str, *, t_env: np.ndarray, in_db: np.ndarray, out_db: np.ndarray,
                 t_tlm: np.ndarray | None, gain_db: np.ndarray | None,
                 level_db: np.ndarray | None, ref_db: float | None, xlabel: str,
                 title: str) -> None:
    """Input and output power envelopes, then the AGC's gain command and measured level."""
    agc = t_tlm is not None and ref_db is not None
    fig, axes = _figure(2 if agc else 1)
    ax = axes[0]
    ax.plot(t_env, in_db, lw=0.8, color="tab:gray", label="input power")
    ax.plot(t_env, out_db, lw=0.8, color="tab:blue", label="output power")
    if ref_db is not None:
        ax.axhline(ref_db, color="tab:red", ls="--", lw=0.8, label=f"reference {ref_db:g} dB")
    ax.set_ylabel("power (dB)")
    ax.set_title(title, fontsize=10)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    if agc:
        ax = axes[1]
        ax.plot(t_tlm, gain_db, lw=0.8, color="tab:green", label="commanded gain (dB)")
        ax.plot(t_tlm, level_db, lw=0.8, color="tab:orange", label="measured level (dB)")
        ax.axhline(ref_db, color="tab:red", ls="--", lw=0.8, label=f"reference {ref_db:g} dB")
        ax.set_ylabel("AGC loop (dB)")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="lower right", fontsize=8)
    axes[-1].set_xlabel(xlabel)
    _save(fig, path)


def plot_design(path: str, *, f: np.ndarray, h_db: np.ndarray, fpass: float, fstop: float,
                atten_db: float, title: str) -> None:
    """Magnitude response in dB over Nyquist-normalised frequency, band edges marked."""
    fig, axes = _figure(1)
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
    ax.set_title(title, fontsize=10)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper right", fontsize=8)
    _save(fig, path)
