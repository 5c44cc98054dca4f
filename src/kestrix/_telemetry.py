"""The AGC's telemetry during a run: the CSV of loop updates and the plot's bins.

The AGC publishes its two probes (commanded gain, measured level) into a
telemetry ring once per loop update; the ring's own thinning (the ``decim``
of ``set_telemetry``) keeps one update in ``every`` when only the CSV wants
them.  The plot wants every update (its bands show each overshoot), so with
a plot the ring carries them all and the CSV rows are thinned here, picking
the same updates.  The ring is drained after each slice of AGC work, so its
size is fixed, and the CSV is written a slice at a time.
"""

from __future__ import annotations

import numpy as np

from ._stats import Bins

SLICE_UPDATES = 1 << 13  # loop updates kept in the ring between two drains


class TelemetryTap:
    """Runs the AGC stage in slices, draining its telemetry between them.

    Update ``j`` (0-based) of a run ends at sample ``min((j+1) * decim, n)``:
    every block but the last is a multiple of ``decim``.  The CSV's
    ``sample`` column is that position.
    """

    def __init__(self, stage, csv, rate: float | None, every: int, *, keep_bins: bool) -> None:
        from .telemetry import Telemetry

        self.agc, self.csv, self.rate, self.every = stage.obj, csv, rate, every
        self.decim = max(1, self.agc.decim)
        self.ring_every = 1 if keep_bins else every
        self.tlm = Telemetry(4 * SLICE_UPDATES)
        self.agc.set_telemetry(self.tlm, "agc", self.ring_every)
        self.gid = self.tlm.probe_id("agc.gain_db")
        self.lid = self.tlm.probe_id("agc.level_db")
        self.slice = self.decim * self.ring_every * SLICE_UPDATES
        self.updates = self.rows = 0
        self.start = 0  # samples before the current slice
        self.gain = Bins() if keep_bins else None
        self.level = Bins() if keep_bins else None
        self.lost = 0
        if csv is not None:
            csv.write("sample,time_s,gain_db,level_db\n" if rate else "sample,gain_db,level_db\n")
        self.row = "%d,%.9f,%.9g,%.9g\n" if rate else "%d,%.9g,%.9g\n"
        steps = self.agc.steps
        stage.run = self.steps
        self._steps = steps

    def steps(self, x: np.ndarray) -> None:
        for s in range(0, len(x), self.slice):
            part = x[s : s + self.slice]
            self._steps(part, out=part)
            self._drain(len(part))

    def _drain(self, m: int) -> None:
        recs = self.tlm.read()
        u = -(-m // self.decim)
        j = np.arange(-(-self.updates // self.ring_every) * self.ring_every,
                      self.updates + u, self.ring_every, dtype=np.int64)
        gain = recs["value"][recs["probe"] == self.gid]
        level = recs["value"][recs["probe"] == self.lid]
        if len(gain) != len(j) or len(level) != len(j):  # records lost: keep what is sure
            self.lost += abs(len(j) - min(len(gain), len(level)))
            k = min(len(j), len(gain), len(level))
            j, gain, level = j[:k], gain[:k], level[:k]
        pos = self.start + np.minimum((j - self.updates + 1) * self.decim, m)
        if self.gain is not None:
            self.gain.add(gain.astype(np.float64))
            self.level.add(level.astype(np.float64))
        if self.csv is not None:
            keep = j % self.every == 0
            self._write_rows(pos[keep], gain[keep], level[keep])
        self.updates += u
        self.start += m

    def _write_rows(self, pos, gain, level) -> None:
        k = len(pos)
        if not k:
            return
        cols = [pos.astype(np.float64)]
        if self.rate:
            cols.append(pos / self.rate)
        cols += [gain.astype(np.float64), level.astype(np.float64)]
        self.csv.write(self.row * k % tuple(np.column_stack(cols).ravel().tolist()))
        self.rows += k

    def finish(self) -> None:
        self.agc.set_telemetry(None, "agc")

    @property
    def dropped(self) -> int:
        return int(self.tlm.dropped) + self.lost

    def series(self, which: str) -> dict | None:
        """The plot's bins of ``"gain"`` or ``"level"``, centres in samples."""
        bins = self.gain if which == "gain" else self.level
        if bins is None or not bins.items:
            return None
        s = bins.series()
        s["centre"] = s["centre"] * self.decim
        return s
