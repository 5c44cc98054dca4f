"""The AGC's telemetry during a run: the CSV of loop updates and the plot's bins.

Each channel's AGC publishes its two probes (commanded gain, measured level)
into a telemetry ring of its own once per loop update; the ring's own
thinning (the ``decim`` of ``set_telemetry``) keeps one update in ``every``
when only the CSV wants them.  The plot wants every update (its bands show
each overshoot), so with a plot the ring carries them all and the CSV rows
are thinned here, picking the same updates.  The ring is drained after each
slice of AGC work, so its size is fixed, and the CSV is written a slice at a
time; with several channels, a block at a time, its rows ordered by sample
and then channel.
"""

from __future__ import annotations

import numpy as np

from ._blocks import format_rows
from ._stats import Bins

SLICE_UPDATES = 1 << 13  # loop updates kept in the ring between two drains
MIN_SLICE_UPDATES = 1 << 9  # with many channels, each ring is smaller


class TelemetryCsv:
    """The CSV of every channel's kept loop updates: sample[,channel][,time_s],gain_db,level_db."""

    def __init__(self, file, rate: float | None, channels: int) -> None:
        self.file, self.rate, self.channels = file, rate, channels
        self.rows = 0
        self.pending: list[tuple[int, np.ndarray, np.ndarray, np.ndarray]] = []
        cols = ["sample"] + ["channel"] * (channels > 1) + ["time_s"] * bool(rate)
        file.write(",".join(cols + ["gain_db", "level_db"]) + "\n")
        # Columns as "%d", "%.9f" and "%.9g" would write them.
        self.kinds = "d" + "d" * (channels > 1) + "f" * bool(rate) + "gg"

    def add(self, channel: int, pos: np.ndarray, gain: np.ndarray, level: np.ndarray) -> None:
        self.pending.append((channel, pos, gain, level))
        if self.channels == 1:
            self.flush()

    def flush(self) -> None:
        """Write the pending rows, ordered by sample and then channel."""
        if not self.pending:
            return
        chan = np.concatenate([np.full(len(p[1]), p[0], np.int64) for p in self.pending])
        pos, gain, level = (np.concatenate([p[i] for p in self.pending]) for i in (1, 2, 3))
        self.pending = []
        k = len(pos)
        if not k:
            return
        if self.channels > 1:
            order = np.lexsort((chan, pos))
            pos, chan, gain, level = pos[order], chan[order], gain[order], level[order]
        cols = [pos.astype(np.float64)] + [chan.astype(np.float64)] * (self.channels > 1)
        if self.rate:
            cols.append(pos / self.rate)
        cols += [gain.astype(np.float64), level.astype(np.float64)]
        self.file.write(format_rows(np.column_stack(cols), self.kinds))
        self.rows += k


class TelemetryTap:
    """Runs one channel's AGC stage in slices, draining its telemetry between them.

    Update ``j`` (0-based) of a run ends at sample ``min((j+1) * decim, n)``:
    every block but the last is a multiple of ``decim``.  The CSV's
    ``sample`` column is that position.
    """

    def __init__(self, stage, csv: TelemetryCsv | None, every: int, *, keep_bins: bool,
                 channel: int = 0, channels: int = 1) -> None:
        from .telemetry import Telemetry

        self.agc, self.csv, self.every, self.channel = stage.obj, csv, every, channel
        self.decim = max(1, self.agc.decim)
        self.ring_every = 1 if keep_bins else every
        per_slice = max(MIN_SLICE_UPDATES, SLICE_UPDATES >> (channels - 1).bit_length())
        self.tlm = Telemetry(4 * per_slice)
        self.agc.set_telemetry(self.tlm, "agc", self.ring_every)
        self.gid = self.tlm.probe_id("agc.gain_db")
        self.lid = self.tlm.probe_id("agc.level_db")
        self.slice = self.decim * self.ring_every * per_slice
        self.updates = 0
        self.start = 0  # samples before the current slice
        self.gain = Bins() if keep_bins else None
        self.level = Bins() if keep_bins else None
        self.lost = 0
        self._steps = self.agc.steps
        stage.run = self.steps

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
            self.csv.add(self.channel, pos[keep], gain[keep], level[keep])
        self.updates += u
        self.start += m

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
