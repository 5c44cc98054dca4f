"""Fixed-size summaries of a stream: memory does not grow with its length.

Everything here is fed block by block and never needs the total length up
front.  A :class:`Bins` keeps a fixed number of bins over a growing sequence
of values (power frames, AGC loop updates); when the values outgrow the bins,
neighbouring pairs merge and each bin covers twice as many values, so the
minimum, maximum and mean of every stretch of the recording survive at any
length.
"""

from __future__ import annotations

import numpy as np

from ._blocks import frame_powers

BINS = 1024  # envelope bins kept: at least BINS/2 are in use once they fill
HIST_SHIFT = 15  # float32 bits dropped by the level histogram (0.017 dB steps)


class Bins:
    """Sum, count, minimum and maximum of consecutive values, in ``nbins`` bins."""

    def __init__(self, nbins: int = BINS) -> None:
        self.nbins, self.width, self.items = nbins, 1, 0
        self.sum = np.zeros(nbins)
        self.cnt = np.zeros(nbins, np.int64)
        self.min = np.full(nbins, np.inf)
        self.max = np.full(nbins, -np.inf)

    def _merge(self) -> None:
        h = self.nbins // 2
        for a, op, empty in ((self.sum, np.add, 0), (self.cnt, np.add, 0),
                             (self.min, np.minimum, np.inf), (self.max, np.maximum, -np.inf)):
            a[:h] = op(a[0::2], a[1::2])
            a[h:] = empty
        self.width *= 2

    def reserve(self, m: int) -> None:
        """Merge until ``m`` more values fit."""
        while self.items + m > self.nbins * self.width:
            self._merge()

    def add(self, v: np.ndarray) -> None:
        m = len(v)
        if not m:
            return
        self.reserve(m)
        n0, w = self.items, self.width
        b0, b1 = n0 // w, (n0 + m - 1) // w
        self.items += m
        if b0 == b1:  # the usual case once the bins are wider than a block
            self.sum[b0] += v.sum(dtype=np.float64)
            self.cnt[b0] += m
            self.min[b0] = min(self.min[b0], v.min())
            self.max[b0] = max(self.max[b0], v.max())
            return
        starts = np.concatenate(([0], np.arange(b0 + 1, b1 + 1) * w - n0))
        sl = slice(b0, b1 + 1)
        self.sum[sl] += np.add.reduceat(v, starts, dtype=np.float64)
        self.cnt[sl] += np.diff(np.append(starts, m))
        np.minimum(self.min[sl], np.minimum.reduceat(v, starts), out=self.min[sl])
        np.maximum(self.max[sl], np.maximum.reduceat(v, starts), out=self.max[sl])

    def series(self) -> dict:
        """Per used bin: centre (in values), mean, minimum, maximum."""
        used = self.cnt > 0
        first = np.flatnonzero(used) * self.width
        cnt = self.cnt[used]
        return {"centre": first + cnt / 2.0, "mean": self.sum[used] / cnt,
                "min": self.min[used], "max": self.max[used]}


class Framer:
    """Cuts a stream into frames of ``size`` samples across block boundaries."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.carry = np.empty(size, np.complex64)
        self.held = 0
        self.frames = 0  # frames handed out so far

    def split(self, x: np.ndarray) -> list[tuple[int, np.ndarray]]:
        """(index of its first frame, 2-D frames) pieces covering what ``x`` completes."""
        out, i, F = [], 0, self.size
        if self.held:
            i = min(F - self.held, len(x))
            self.carry[self.held : self.held + i] = x[:i]
            self.held += i
            if self.held < F:
                return out
            out.append((self.frames, self.carry.reshape(1, F).copy()))
            self.frames += 1
            self.held = 0
        k = (len(x) - i) // F
        if k:
            out.append((self.frames, x[i : i + k * F].reshape(k, F)))
            self.frames += k
        rest = x[i + k * F :]
        self.carry[: len(rest)] = rest
        self.held = len(rest)
        return out


class PowerEnvelope:
    """Mean power per frame of 64 samples: binned envelope, level histogram, total.

    Frame powers are gathered ``PENDING`` at a time before they reach the bins
    and the histogram: a few large steps instead of one small one per block.
    """

    FRAME = 64
    PENDING = 1 << 14

    def __init__(self) -> None:
        self.framer = Framer(self.FRAME)
        self.bins = Bins()
        self.hist = np.zeros(1 << (32 - HIST_SHIFT), np.int64)
        self.total = 0.0  # sum of |x|^2 over every sample, set by finish()
        self.samples = 0
        self.pending = np.empty(self.PENDING, np.float32)
        self.held = 0  # frame powers in pending

    def _frames(self, powers: np.ndarray) -> None:
        self.bins.add(powers)
        idx = powers.view(np.uint32) >> HIST_SHIFT
        lo = int(idx.min())
        counts = np.bincount(idx - lo)  # a stretch's levels span few buckets
        self.hist[lo : lo + len(counts)] += counts

    def _flush(self) -> None:
        if self.held:
            self._frames(self.pending[: self.held])
            self.held = 0

    def add(self, x: np.ndarray) -> None:
        self.samples += len(x)
        if not self.framer.held and not len(x) % self.FRAME:
            # Whole frames, as every block of a file is: no carry to join.
            self.framer.frames += len(x) // self.FRAME
            self._powers(x)
            return
        for _, frames in self.framer.split(x):
            self._powers(frames.reshape(-1))

    def _powers(self, x: np.ndarray) -> None:
        """The powers of the whole frames ``x`` holds."""
        k = len(x) // self.FRAME
        if self.held + k > self.PENDING:
            self._flush()
        big = k > self.PENDING
        sums = np.empty(k, np.float32) if big else self.pending[self.held : self.held + k]
        frame_powers(x, self.FRAME, sums)
        if big:
            self._frames(sums)
        else:
            self.held += k

    def finish(self) -> None:
        """After the last block: the total, and the last, partial frame."""
        self._flush()
        self.total = float(self.bins.sum.sum()) * self.FRAME
        held = self.framer.held
        if held:
            v = self.framer.carry[:held].view(np.float32)
            s = float(np.dot(v.astype(np.float64), v))
            self.total += s
            self._frames(np.array([s / held], np.float32))
            self.framer.held = 0

    def stats(self) -> dict:
        """Mean power, and the minimum, median and maximum frame power, in dB."""
        if not self.bins.items:
            return {"mean_db": float("nan"), "min_db": float("nan"),
                    "median_db": float("nan"), "max_db": float("nan")}
        c = np.cumsum(self.hist)
        k = int(np.searchsorted(c, (c[-1] + 1) // 2))
        mid = np.array([(k << HIST_SHIFT) + (1 << (HIST_SHIFT - 1))], np.uint32).view(np.float32)
        used = self.bins.cnt > 0
        return {"mean_db": db(self.total / max(self.samples, 1)),
                "min_db": db(self.bins.min[used].min()), "median_db": db(mid[0]),
                "max_db": db(self.bins.max[used].max())}


class Spectrogram:
    """Average power spectra of ``nfft``-sample frames over ``nbins`` time bins.

    At most ``per_bin`` frames are analysed per time bin (evenly spread), so
    the cost per sample falls as the recording grows and the bins widen.
    """

    def __init__(self, nfft: int = 256, nbins: int = 256, per_bin: int = 16) -> None:
        self.nfft, self.nbins, self.per_bin = nfft, nbins, per_bin
        self.framer = Framer(nfft)
        self.width = 1  # frames per bin
        self.sum = np.zeros((nbins, nfft))
        self.cnt = np.zeros(nbins, np.int64)
        self.window = np.hanning(nfft).astype(np.float32)
        self.scale = 1.0 / float(np.sum(self.window.astype(np.float64) ** 2))

    def add(self, x: np.ndarray) -> None:
        for j0, frames in self.framer.split(x):
            k = len(frames)
            while j0 + k > self.nbins * self.width:
                h = self.nbins // 2
                self.sum[:h] = self.sum[0::2] + self.sum[1::2]
                self.cnt[:h] = self.cnt[0::2] + self.cnt[1::2]
                self.sum[h:], self.cnt[h:] = 0, 0
                self.width *= 2
            stride = max(1, self.width // self.per_bin)
            idx = np.arange(-j0 % stride, k, stride)
            if not len(idx):
                continue
            spectra = np.fft.fft(frames[idx] * self.window, axis=1)
            p = spectra.real.astype(np.float64) ** 2 + spectra.imag.astype(np.float64) ** 2
            b = (j0 + idx) // self.width
            starts = np.flatnonzero(np.diff(b, prepend=-1))
            self.sum[b[starts]] += np.add.reduceat(p, starts, axis=0)
            self.cnt[b[starts]] += np.diff(np.append(starts, len(b)))

    def image(self) -> dict | None:
        """Power in dB, frequency (cycles/sample, ascending) by time bin, or None."""
        used = self.cnt > 0
        if not used.any():
            return None
        mean = self.sum[used] / self.cnt[used, None] * self.scale
        first = np.flatnonzero(used) * self.width * self.nfft
        return {"db": db(np.fft.fftshift(mean, axes=1)).T,
                "freq": np.fft.fftshift(np.fft.fftfreq(self.nfft)),
                "start": first, "span": self.width * self.nfft}


def db(p):
    """Power to dB with digital silence shown as -300 dB rather than -inf."""
    v = 10.0 * np.log10(np.maximum(np.asarray(p, np.float64), 1e-30))
    return float(v) if np.ndim(v) == 0 else v
