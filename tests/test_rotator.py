"""Rotator: quantization of shift and phase, the defined phasor and product
bit for bit on every kernel variant, block splits, spur level, accumulator
wrap, state blob and reset."""

import hashlib
from fractions import Fraction

import numpy as np
import pytest

from kestrix.channel import Rotator

from conftest import run_masked, same_bits

F32 = np.float32
U64 = 2**64
COEF = {name: F32(float.fromhex(h)) for name, h in (
    ("S1", "0x1.921fb6p-1"), ("S3", "-0x1.4abbb8p-4"), ("S5", "0x1.465e8cp-9"),
    ("S7", "-0x1.2d91eep-15"), ("C2", "-0x1.3bd3ccp-2"), ("C4", "0x1.03c1dep-6"),
    ("C6", "-0x1.55c66p-12"), ("C8", "0x1.d9f6aap-19"))}
G = 16  # samples per group phasor
# Block sizes below, at and around the vector widths and the group (4, 8 and
# 16 samples).
SIZES = [0, 1, 3, 4, 7, 8, 15, 16, 17, 33, 1000]


def fields(rot):
    """(phase, inc, phase0, place) from the state blob."""
    b = rot.get_state()
    return tuple(int.from_bytes(b[o:o + 8], "little") for o in (16, 24, 32, 40))


def blob_at(phase, inc, phase0=None, place=0):
    b = bytearray(Rotator(0.0).get_state())
    for o, v in ((16, phase), (24, inc), (32, phase if phase0 is None else phase0), (40, place)):
        b[o:o + 8] = (v % U64).to_bytes(8, "little")
    return bytes(b)


def rotator_at(phase, inc, phase0=None, place=0):
    """A Rotator positioned by its blob at exact accumulator values."""
    rot = Rotator(0.0)
    rot.set_state(blob_at(phase, inc, phase0, place))
    return rot


def phasor(acc):
    """The defined cos and sin (float32) of uint64 accumulators."""
    u = (np.asarray(acc, np.uint64) >> np.uint64(32)).astype(np.uint32)
    v = u + np.uint32(0x20000000)
    r = (u - (v & np.uint32(0xC0000000))).view(np.int32)
    y = r.astype(F32) * F32(2.0**-29)
    y2 = y * y
    c = COEF
    sn = ((((c["S7"] * y2) + c["S5"]) * y2 + c["S3"]) * y2 + c["S1"]) * y
    cs = (((((c["C8"] * y2) + c["C6"]) * y2 + c["C4"]) * y2 + c["C2"]) * y2) + F32(1)
    odd = (v >> np.uint32(30)) & np.uint32(1)
    cos = np.where(odd == 1, sn, cs).astype(F32)
    sin = np.where(odd == 1, cs, sn).astype(F32)
    cos.view(np.uint32)[...] ^= ((v ^ (v << np.uint32(1))) & np.uint32(0x80000000))
    sin.view(np.uint32)[...] ^= (v & np.uint32(0x80000000))
    return cos, sin


def cmul(ar, ai, br, bi):
    """(ar + j*ai) * (br + j*bi) in float32, each product rounded."""
    with np.errstate(all="ignore"):
        return ar * br - ai * bi, ai * br + ar * bi


def reference(phase, inc, x, place=0):
    """The defined output for samples x from accumulator phase on, the
    first of them at place `place` of its group."""
    x = np.asarray(x, np.complex64).ravel()
    inc %= U64
    pos = np.uint64(place) + np.arange(len(x), dtype=np.uint64)
    base = np.uint64((phase - place * inc) % U64)
    bc, bs = phasor(base + pos // np.uint64(G) * np.uint64(G * inc % U64))
    tc, ts = phasor(np.arange(G, dtype=np.uint64) * np.uint64(inc))
    i = pos % np.uint64(G)
    pc, ps = cmul(bc, bs, tc[i], ts[i])
    y = np.empty(len(x), np.complex64)
    y.real, y.imag = cmul(x.real.astype(F32), x.imag.astype(F32), pc, ps)
    return y


def quantized(v):
    """round(v * 2**64) mod 2**64, ties to even, exactly."""
    return round(Fraction(v) * U64) % U64


def random_signal(rng, n):
    scale = 10.0 ** rng.uniform(-3, 3, n)
    return ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * scale).astype(np.complex64)


def sfdr_db(y, window):
    """Carrier power over the largest other FFT bin, in dB.  Without a window
    the carrier must sit on a bin; with a Kaiser window (sidelobes far below
    any float32 effect) the main lobe is left out."""
    w = np.kaiser(len(y), 30.0) if window else np.ones(len(y))
    p = np.abs(np.fft.fft(y.astype(np.complex128) * w)) ** 2
    k = int(np.argmax(p))
    guard = 40 if window else 0
    rest = np.delete(p, np.arange(k - guard, k + guard + 1) % len(p))
    with np.errstate(divide="ignore"):  # an exact phasor leaves nothing beside the carrier
        return 10 * np.log10(p[k] / rest.max())


class TestQuantization:
    @pytest.mark.parametrize("v", [0.0, -0.0, 0.1, -0.1, 0.25, 0.5, -0.5, 0.7, 1.5, -2.75,
                                   2.0**-65, 3 * 2.0**-65, -(2.0**-65), 2.0**-66, 5e-324,
                                   1e300, -1e300, 0.1 + 2.0**-60, 123456.789, -(2.0**52 + 1.5)])
    def test_round_to_nearest_even_modulo_one_cycle(self, v):
        rot = Rotator(v, phase=v)
        phase, inc, phase0, place = fields(rot)
        assert inc == phase == phase0 == quantized(v) and place == 0

    def test_random_values(self):
        rng = np.random.default_rng(5)
        for v in np.concatenate([rng.uniform(-4, 4, 200), rng.standard_normal(50) * 1e-15]):
            assert fields(Rotator(float(v)))[1] == quantized(float(v))

    @pytest.mark.parametrize("inc, want", [(0, 0.0), (2**63, -0.5), (2**63 - 1, -0.5),
                                           (2**63 + 1, -0.5), (2**64 - 1, -(2.0**-64)),
                                           (2**62, 0.25), (1, 2.0**-64)])
    def test_shift_property_in_range(self, inc, want):
        """The nearest double, modulo 1 into [-0.5, 0.5)."""
        assert rotator_at(0, inc).shift == want

    @pytest.mark.parametrize("acc, want", [(0, 0.0), (2**64 - 1, 0.0), (2**63, 0.5),
                                           (2**64 - 2**11, 1 - 2.0**-53), (1, 2.0**-64)])
    def test_phase_property_in_range(self, acc, want):
        """The nearest double, modulo 1 into [0, 1)."""
        assert rotator_at(acc, 0).phase == want


class TestExactness:
    @pytest.mark.parametrize("n", SIZES)
    def test_matches_definition(self, n):
        """From any place in a group, as a restored blob may start."""
        rng = np.random.default_rng(n)
        for place in (0, 1, 15, int(rng.integers(2, 15))):
            inc, phase = int(rng.integers(0, U64, dtype=np.uint64)), int(
                rng.integers(0, U64, dtype=np.uint64))
            x = random_signal(rng, n)
            rot = rotator_at(phase, inc, place=place)
            assert same_bits(rot.steps(x), reference(phase, inc, x, place))
            assert fields(rot)[3] == (place + n) % G

    def test_every_octant_edge(self):
        """Top phase words at and beside every multiple of an eighth cycle,
        where the nearest quarter turn changes, and at the quarter turns."""
        words = np.array([k * 2**29 + d for k in range(8) for d in (-1, 0, 1)], np.int64) % 2**32
        acc = words.astype(np.uint64) << np.uint64(32)
        x = random_signal(np.random.default_rng(9), len(acc))
        got = np.array([rotator_at(int(a), 0).steps(x[i:i + 1])[0] for i, a in enumerate(acc)])
        want = np.concatenate([reference(int(a), 0, x[i:i + 1]) for i, a in enumerate(acc)])
        assert same_bits(got, want)

    def test_random_block_splits_give_identical_bits(self):
        rng = np.random.default_rng(3)
        x = random_signal(rng, 5000)
        whole = Rotator(0.0123, 0.4).steps(x)
        assert same_bits(whole, reference(quantized(0.4), quantized(0.0123), x))
        for _ in range(4):
            rot = Rotator(0.0123, 0.4)
            cuts = np.sort(rng.integers(0, len(x), 12))
            assert same_bits(np.concatenate([rot.steps(p) for p in np.split(x, cuts)]), whole)

    def test_in_place_and_non_finite_samples(self):
        x = random_signal(np.random.default_rng(4), 64)
        x[5], x[20], x[21] = complex(np.inf, 0), complex(np.nan, 1), complex(-0.0, -0.0)
        want = reference(quantized(0.3), quantized(0.1), x)
        y = x.copy()
        assert Rotator(0.1, 0.3).steps(y, out=y) is y
        assert np.array_equal(np.isnan(y), np.isnan(want))
        ok = ~np.isnan(want)
        assert same_bits(y[ok], want[ok])


VARIANT_SCRIPT = """
import hashlib
import numpy as np
from kestrix.channel import Rotator
import kestrix._cpu as cpu
h = hashlib.sha256()
rng = np.random.default_rng(21)
x = ((rng.standard_normal(3000) + 1j * rng.standard_normal(3000))
     * 10.0 ** rng.uniform(-3, 3, 3000)).astype(np.complex64)
for shift in rng.uniform(-2, 2, 12):
    rot = Rotator(float(shift), float(shift) * 3)
    for part in np.split(x, [1, 17, 40, 2000]):
        h.update(rot.steps(part).tobytes())
print(cpu.variant(), h.hexdigest())
"""


class TestVariants:
    @staticmethod
    def model_digest():
        h = hashlib.sha256()
        rng = np.random.default_rng(21)
        x = ((rng.standard_normal(3000) + 1j * rng.standard_normal(3000))
             * 10.0 ** rng.uniform(-3, 3, 3000)).astype(np.complex64)
        for shift in rng.uniform(-2, 2, 12):
            h.update(reference(quantized(float(shift) * 3), quantized(float(shift)), x).tobytes())
        return h.hexdigest()

    @pytest.mark.parametrize("mask", ["", "avx512", "avx512,avx2"])
    def test_every_variant_gives_the_defined_bits(self, mask):
        variant, digest = run_masked(VARIANT_SCRIPT, mask)
        if mask == "avx512,avx2":
            assert variant == "baseline"
        assert digest == self.model_digest()


class TestSpectrum:
    N = 1 << 14

    @pytest.mark.parametrize("shift", [1 / 16384, 1234 / 16384, -5000 / 16384, 0.25, -0.5])
    def test_spurs_on_bin(self, shift):
        y = Rotator(shift, phase=0.3).steps(np.ones(self.N, np.complex64))
        assert sfdr_db(y, window=False) > 100

    @pytest.mark.parametrize("shift", [0.0123456, -0.31415926, 0.4999, 1e-3 / 3])
    def test_spurs_off_bin(self, shift):
        y = Rotator(shift, phase=0.7).steps(np.ones(self.N, np.complex64))
        assert sfdr_db(y, window=True) > 100

    def test_measurement_sees_a_coarse_table(self):
        """The same measurement on a 256-entry phase table without
        interpolation finds its spurs (about 48 dB)."""
        ph = np.floor((np.arange(self.N) * 0.0123456 % 1) * 256) / 256
        assert sfdr_db(np.exp(2j * np.pi * ph).astype(np.complex64), window=True) < 60

    def test_magnitude_and_phase_error(self):
        """Over a million phases spread across the whole circle."""
        inc = 4093 << 32
        n = 2**32 // 4093
        y = rotator_at(0, inc).steps(np.ones(n, np.complex64)).astype(np.complex128)
        angle = 2 * np.pi * (np.arange(n) * 4093.0) / 2**32
        assert np.abs(np.abs(y) - 1).max() < 3e-7
        assert np.abs(np.angle(y * np.exp(-1j * angle))).max() < 3e-7


class TestAccumulator:
    @pytest.mark.parametrize("inc", [1, 3 << 40, 2**63 + 12345, 2**64 - 7])
    def test_wraps_exactly(self, inc):
        """Positioned just before the accumulator wraps, the samples across
        the wrap and the phase after it are exact modulo 2**64."""
        start = (-40 * inc) % U64
        rot = rotator_at(start, inc)
        x = random_signal(np.random.default_rng(inc % 1000), 100)
        assert same_bits(rot.steps(x), reference(start, inc, x))
        assert fields(rot)[0] == (start + 100 * inc) % U64 and fields(rot)[3] == 100 % G

    def test_two_to_the_32_samples(self):
        """A real run of 2**32 samples: the phase lands exactly on
        phase0 + 2**32 * inc and the next samples are the defined ones."""
        inc = quantized(0.1234567)
        rot = Rotator(0.1234567, 0.5)
        block = np.ones(1 << 15, np.complex64)  # in cache: the run is compute-bound
        out = np.empty_like(block)
        for _ in range(2**32 // len(block)):
            rot.steps(block, out)
        want = (quantized(0.5) + 2**32 * inc) % U64
        assert fields(rot)[0] == want
        assert same_bits(rot.steps(block[:50]), reference(want, inc, block[:50]))


class TestState:
    def test_blob_layout(self):
        b = Rotator(0.25, 0.5).get_state()
        assert len(b) == 48 and b[:16] == b"ROTR\x01\x00\x01\x00" + (48).to_bytes(4, "little") + bytes(4)
        assert fields(Rotator(0.25, 0.5)) == (2**63, 2**62, 2**63, 0)

    def test_round_trip_mid_stream_and_reset(self):
        rng = np.random.default_rng(6)
        x = random_signal(rng, 700)
        a = Rotator(-0.0377, 0.1)
        a.steps(x[:123])
        b = Rotator(0.31)
        b.set_state(a.get_state())
        assert (b.shift, b.phase) == (a.shift, a.phase)
        assert same_bits(b.steps(x[123:]), a.steps(x[123:]))
        b.reset()
        assert same_bits(b.steps(x), Rotator(-0.0377, 0.1).steps(x))
