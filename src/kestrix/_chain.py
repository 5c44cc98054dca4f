"""The stage chain of the ``kestrix`` command: shift, FIR (decimating or not), AGC,
moving average.

Each part of a :class:`ChainConfig` is a plain, frozen, picklable record of
settings that builds its :class:`Stage` (the library object, its metadata
record and its one-line description).  The frequency shift is a
:class:`Shift`; the FIR is either a Kaiser lowpass (:class:`Lowpass`, band
edges as fractions of Nyquist or in Hz) or the user's own taps
(:class:`Taps`), and with a decimation it keeps one output in ``decimate``
(``FIRDecimator``), so that the AGC and the average run at the lower rate.
Each part also knows its group delay, so an output's metadata can say how
far the chain moved the signal.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Callable

import numpy as np

from ._errors import CliError
from ._taps import MAX_TAPS, describe_delay, half, linear_phase_delay

P_FLOOR_DB = -300.0  # the detector's floor, 10 log10(1e-30)
CLIP_BOTH_DB = 3.010299956639812  # a sample clipped on both components: clip + 10 log10(2)
PAIRING_LIMIT = 0.05  # 4 decim loop_bw above this may ring or oscillate


def first_output(position: int, decimate: int) -> int:
    """The first output at or after input ``position`` of a decimation that keeps
    input samples 0, D, 2D, ...; of a recording of ``position`` samples, the count."""
    return -(-position // decimate)


def output_rate(rate: float | None, decimate: int) -> float | None:
    """The sample rate after keeping 1 sample in ``decimate``; None stays None."""
    return rate / decimate if rate else rate


def fmt_rate(hz: float) -> str:
    """A frequency or sample rate for people: 2.4 MHz, 150 kHz, 60 Hz."""
    for unit, scale in (("MHz", 1e6), ("kHz", 1e3)):
        if abs(hz) >= scale:
            return f"{hz / scale:g} {unit}"
    return f"{hz:g} Hz"


class Stage:
    """One library object in the chain: ``process(block)`` works in place and returns
    the samples it leaves, the block itself or, for a decimating stage, its start.

    ``record`` is the stage's entry in an output's processing metadata and
    ``text`` its one-line description.
    """

    def __init__(self, name: str, obj, method, record: dict, text: str, *,
                 shrinks: bool = False) -> None:
        self.name, self.obj, self.record, self.text = name, obj, record, text
        self.shrinks = shrinks
        self.run: Callable[[np.ndarray], object] = lambda x: method(x, out=x)

    def process(self, block: np.ndarray) -> np.ndarray:
        out = self.run(block)
        return out if self.shrinks else block


def _fir_stage(taps: np.ndarray, record: dict, text: str, decimate: int) -> Stage:
    if decimate == 1:
        from .filter import FIR

        fir = FIR(taps)
        return Stage(record["stage"], fir, fir.execute, record, text)
    from .channel import FIRDecimator

    dec = FIRDecimator(taps, decimate)
    buf = np.empty(0, np.complex64)

    def execute(x: np.ndarray, out=None) -> np.ndarray:
        # Into a buffer of its own: outputs written over their input would be
        # collected aside by the filter, an allocation per block.
        nonlocal buf
        k = dec.output_length(len(x))
        if len(buf) < k:
            buf = np.empty(k, np.complex64)
        return dec.execute(x, buf[:k])

    return Stage(record["stage"], dec, execute, {**record, "decimate": decimate}, text,
                 shrinks=True)


@dataclass(frozen=True)
class Shift:
    """Frequency shift by ``hz`` at sample rate ``rate`` (``Rotator``): every frequency
    moves by ``hz``.  ``rate`` is None until the recording's own rate is known."""

    hz: float
    rate: float | None = None

    @classmethod
    def from_hz(cls, hz: float, rate: float | None) -> "Shift":
        return cls(hz, rate).at_rate(rate)

    def at_rate(self, rate: float | None) -> "Shift":
        """This shift at ``rate`` when it has none yet; refused without any rate."""
        rate = self.rate or rate
        if not rate:
            raise CliError("--shift needs the sample rate: give --rate (the input records none)",
                           2)
        if not abs(self.hz) <= rate / 2:
            raise CliError(f"--shift {fmt_rate(self.hz)} lies beyond the band of "
                           f"+-{fmt_rate(rate / 2)} (half the sample rate, {fmt_rate(rate)})", 2)
        return dataclasses.replace(self, rate=rate)

    def delay(self) -> int:
        return 0

    def text(self) -> str:
        return f"shift {'+' if self.hz >= 0 else '-'}{fmt_rate(abs(self.hz))}"

    def stage(self) -> Stage:
        from .channel import Rotator

        rot = Rotator(self.hz / self.rate)
        record = {"stage": "shift", "shift_hz": self.hz, "sample_rate": self.rate,
                  "shift_cycles_per_sample": rot.shift,
                  "applied_shift_hz": rot.shift * self.rate, "group_delay_samples": 0}
        return Stage("shift", rot, rot.steps, record, self.text())


@dataclass(frozen=True)
class Lowpass:
    """Kaiser lowpass FIR: band edges as fractions of Nyquist, attenuation in dB.

    With ``rate`` the edges were given in Hz at that sample rate
    (:meth:`from_hz`); the fractions are FPASS_HZ / (rate / 2) and FSTOP_HZ / (rate / 2).
    """

    fpass: float
    fstop: float
    atten_db: float
    rate: float | None = None

    @classmethod
    def from_hz(cls, fpass_hz: float, fstop_hz: float, atten_db: float,
                rate: float | None) -> "Lowpass":
        if not rate:
            raise CliError("--lowpass-hz needs the sample rate: give --rate (the input records "
                           "none), or --lowpass with edges as fractions of Nyquist", 2)
        nyquist = rate / 2.0
        return cls(fpass_hz / nyquist, fstop_hz / nyquist, atten_db, rate)

    def _edges(self) -> str:
        if self.rate is None:
            return f"{self.fpass:g}/{self.fstop:g} x Nyquist"
        ny = self.rate / 2.0
        return f"{fmt_rate(self.fpass * ny)}/{fmt_rate(self.fstop * ny)} at {fmt_rate(self.rate)}"

    def check(self, opt: str = "--lowpass") -> None:
        if self.rate is not None:
            opt = "--lowpass-hz"
        for name, v in (("FPASS", self.fpass), ("FSTOP", self.fstop), ("ATTEN_DB", self.atten_db)):
            if not np.isfinite(v):
                raise CliError(f"{opt}: {name} must be a finite number, got {v}", 2)
        if not 0 <= self.fpass < self.fstop <= 1:
            bound = (f"rate/2 = {fmt_rate(self.rate / 2)}; got {self._edges()}" if self.rate else
                     f"1 (fractions of the Nyquist frequency), got FPASS={self.fpass:g} "
                     f"FSTOP={self.fstop:g}")
            raise CliError(f"{opt}: band edges must satisfy 0 <= FPASS < FSTOP <= {bound}", 2)
        if not self.atten_db > 8:
            raise CliError(f"{opt}: ATTEN_DB must be above 8 dB for the window-length estimate, "
                           f"got {self.atten_db:g}", 2)
        n = self.design()[0]
        if n > MAX_TAPS:
            raise CliError(f"{opt}: a transition band of {self.fstop - self.fpass:g} x Nyquist at "
                           f"{self.atten_db:g} dB needs {n} taps (at most {MAX_TAPS}); widen the "
                           f"band or lower the attenuation", 2)

    def design(self) -> tuple[int, float]:
        """(tap count, Kaiser beta), as the designer computes them for the taps."""
        from .filter import _kaiser_beta, _kaiser_num_taps

        return _kaiser_num_taps(self.fpass, self.fstop, self.atten_db), _kaiser_beta(self.atten_db)

    def delay(self) -> int:
        return half(self.design()[0])  # the designer's taps are symmetric, their count odd

    def text(self) -> str:
        n, beta = self.design()
        return (f"lowpass FIR ({self._edges()}, {self.atten_db:g} dB, {n} taps, Kaiser beta "
                f"{str(np.float32(beta))})")

    def stage(self, decimate: int = 1) -> Stage:
        from .filter import design_lowpass

        n, beta = self.design()
        record = {"stage": "lowpass_fir", "fpass": self.fpass, "fstop": self.fstop,
                  "atten_db": self.atten_db, "num_taps": n, "kaiser_beta": beta,
                  "design": "design_lowpass (Kaiser window)", "group_delay_samples": self.delay()}
        if self.rate is not None:
            record.update(fpass_hz=self.fpass * self.rate / 2.0,
                          fstop_hz=self.fstop * self.rate / 2.0, sample_rate=self.rate)
        return _fir_stage(design_lowpass(self.fpass, self.fstop, self.atten_db), record,
                          self.text(), decimate)


@dataclass(frozen=True)
class Taps:
    """FIR with the user's own taps, as ``FIR`` takes them: float32 (the real-tap
    path) or complex64.  Kept as bytes, so the record stays plain and hashable."""

    data: bytes
    dtype: str  # "<f4" or "<c8"
    name: str = "taps"

    @classmethod
    def of(cls, taps: np.ndarray, name: str = "taps") -> "Taps":
        dt = np.dtype("<c8" if taps.dtype.kind == "c" else "<f4")
        return cls(np.ascontiguousarray(taps, dt).tobytes(), dt.str, name)

    def array(self) -> np.ndarray:
        return np.frombuffer(self.data, self.dtype).copy()

    def delay(self) -> int | float | None:
        return linear_phase_delay(self.array())

    def text(self) -> str:
        kind = "complex" if self.dtype == "<c8" else "real"
        n = len(self.data) // np.dtype(self.dtype).itemsize
        return f"FIR ({n} {kind} taps from {self.name}, {describe_delay(self.delay())})"

    def stage(self, decimate: int = 1) -> Stage:
        taps = self.array()
        record = {"stage": "fir", "taps_from": self.name, "num_taps": len(taps),
                  "taps_kind": "complex" if taps.dtype.kind == "c" else "real",
                  "group_delay_samples": self.delay()}
        if record["group_delay_samples"] is None:
            record["linear_phase"] = False
        return _fir_stage(taps, record, self.text(), decimate)


@dataclass(frozen=True)
class Agc:
    """The block AGC (``AGC.steps``) and its settings."""

    ref_db: float = 0.0
    loop_bw: float = 0.0025
    alpha: float = 0.05
    decim: int = 8
    clip_db: float = 120.0
    gain_update_period: int = 1

    def check(self) -> list[str]:
        """Refuse a reference the loop can never reach; warn of a loop that may ring."""
        top = self.clip_db + CLIP_BOTH_DB
        if self.ref_db < P_FLOOR_DB:
            raise CliError(f"--ref-db {self.ref_db:g} dB is below the detector's floor of "
                           f"{P_FLOOR_DB:g} dB: the loop could never reach it", 2)
        if self.ref_db > top:
            raise CliError(f"--ref-db {self.ref_db:g} dB is above {top:.2f} dB, the most that "
                           f"--clip-db {self.clip_db:g} lets through (a sample clipped on both "
                           f"components): the loop could never reach it", 2)
        pairing = 4 * self.decim * self.loop_bw
        if pairing > PAIRING_LIMIT:
            return [f"4*decim*loop_bw = {pairing:.3g} exceeds {PAIRING_LIMIT:g}: the block loop "
                    f"may ring or oscillate (lower --loop-bw or --decim)"]
        return []

    def delay(self) -> int:
        return 0  # a gain, applied to each sample where it stands

    def text(self) -> str:
        return (f"AGC (ref {self.ref_db:g} dB, loop_bw {self.loop_bw:g}, alpha {self.alpha:g}, "
                f"decim {self.decim}, clip {self.clip_db:g} dB)")

    def stage(self) -> Stage:
        from .agc import AGC

        agc = AGC(self.ref_db, self.loop_bw, self.alpha)
        agc.decim = self.decim
        agc.clip_db = self.clip_db
        agc.gain_update_period = self.gain_update_period
        record = {"stage": "agc", **dataclasses.asdict(self), "path": "steps"}
        return Stage("agc", agc, agc.steps, record, self.text())


@dataclass(frozen=True)
class Average:
    """Boxcar moving average of ``length`` samples (1 .. 64) with a linear gain."""

    length: int
    gain: float = 1.0

    def delay(self) -> int | float:
        return half(self.length)

    def text(self) -> str:
        return f"moving average (len {self.length}, gain {self.gain:g})"

    def stage(self) -> Stage:
        from .filter import MovingAverage

        ma = MovingAverage(self.length, self.gain)
        record = {"stage": "moving_average", "len": self.length, "gain": self.gain,
                  "group_delay_samples": self.delay()}
        return Stage("moving_average", ma, ma.steps, record, self.text())


@dataclass(frozen=True)
class ChainConfig:
    """What the chain holds, in its fixed order: shift, FIR (a lowpass or given taps,
    keeping one output in ``decimate``), AGC, moving average."""

    lowpass: Lowpass | None = None
    agc: Agc | None = None
    average: Average | None = None
    taps: Taps | None = None
    shift: Shift | None = None
    decimate: int = 1

    @property
    def fir(self) -> Lowpass | Taps | None:
        return self.lowpass if self.lowpass is not None else self.taps

    @property
    def parts(self) -> list:
        return [p for p in (self.shift, self.lowpass, self.taps, self.agc, self.average)
                if p is not None]

    @property
    def fir_only(self) -> bool:
        """Only an FIR at the full rate: each output sample depends on a bounded stretch
        of input and on nothing else, so a recording can be filtered in pieces."""
        return (self.agc is None and self.average is None and self.shift is None
                and self.decimate == 1 and self.fir is not None)

    @property
    def decim(self) -> int:
        """Blocks must be multiples of this for the chain to match one whole-array call:
        each then gives the AGC a multiple of its ``decim`` samples."""
        return (self.agc.decim if self.agc is not None else 1) * self.decimate

    def at_rate(self, rate: float | None) -> "ChainConfig":
        """This chain at the recording's sample ``rate``, for a shift given without one."""
        if self.shift is None or self.shift.rate is not None:
            return self
        return dataclasses.replace(self, shift=self.shift.at_rate(rate))

    def output_count(self, count: int | None) -> int | None:
        """Samples out per channel for ``count`` in: FIR outputs 0, decimate, 2 decimate, ..."""
        return None if count is None else first_output(count, self.decimate)

    def output_rate(self, rate: float | None) -> float | None:
        return output_rate(rate, self.decimate)

    def check(self) -> list[str]:
        """Raise CliError (status 2) for a chain that cannot work; return warnings."""
        if self.lowpass is not None and self.taps is not None:
            raise CliError("a lowpass and given taps both make the chain's FIR; choose one", 2)
        if self.decimate != 1 and self.fir is None:
            raise CliError(f"--decimate {self.decimate} drops samples: it needs a lowpass "
                           f"(--lowpass, --lowpass-hz) or --taps to filter what would alias", 2)
        if self.lowpass is not None:
            self.lowpass.check()
        return self.agc.check() if self.agc is not None else []

    def group_delay(self) -> int | float | None:
        """Output samples by which the chain delays the signal; None when a stage has no
        single delay (taps that are not linear phase)."""
        fir = self.fir
        before = [p.delay() for p in (self.shift, fir) if p is not None]
        after = [p.delay() for p in (self.agc, self.average) if p is not None]
        if None in before or None in after:
            return None
        lead = sum(before)
        if self.decimate != 1:
            lead = lead // self.decimate if lead % self.decimate == 0 else lead / self.decimate
        return lead + sum(after)

    def _text(self, part) -> str:
        if part is self.fir and self.decimate != 1:
            return f"{part.text()}, keeping 1 output in {self.decimate}"
        return part.text()

    def describe(self) -> str:
        return " -> ".join(self._text(p) for p in self.parts) or "none (copy)"

    def build(self) -> "Chain":
        stages = []
        for p in self.parts:
            stage = p.stage(self.decimate) if p is self.fir else p.stage()
            stage.text = self._text(p)
            stages.append(stage)
        return Chain(stages)


class Chain:
    """Stages walked in order over each block, in place."""

    def __init__(self, stages: list[Stage]) -> None:
        self.stages = stages

    def stage(self, name: str) -> Stage | None:
        return next((s for s in self.stages if s.name == name), None)

    def process(self, block: np.ndarray) -> np.ndarray:
        """Run the block through every stage; the samples out, the block's start."""
        for s in self.stages:
            block = s.process(block)
        return block

    def record(self) -> list[dict]:
        return [s.record for s in self.stages]
