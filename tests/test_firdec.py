"""FIRDecimator: FIR(taps).execute(x)[::factor] bit for bit, on any block
split and every kernel variant, with the phase carried across calls."""

import hashlib

import numpy as np
import pytest

from kestrix.channel import FIRDecimator
from kestrix.filter import FIR

from conftest import HEAP_IN_USE, random_splits, run_masked, same_bits


def taps_of(rng, n, real):
    t = rng.standard_normal(n).astype(np.float32)
    return t if real else (t + 1j * rng.standard_normal(n)).astype(np.complex64)


def samples(rng, n):
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def kept(taps, x, factor):
    """The definition: the full-rate FIR's outputs 0, factor, 2*factor, ..."""
    return FIR(taps).execute(x)[::factor].copy()


def in_blocks(dec, x, cuts):
    """Each block's outputs, checked against output_length, joined."""
    parts = []
    for block in np.split(x, cuts):
        want = dec.output_length(len(block))
        parts.append(dec.execute(block))
        assert len(parts[-1]) == want
    return np.concatenate(parts)


class TestExactness:
    @pytest.mark.parametrize("ntaps", [1, 2, 7, 8, 9, 12, 15, 75, 130])
    @pytest.mark.parametrize("factor", [1, 2, 3, 8, 13])
    @pytest.mark.parametrize("real", [True, False], ids=["real", "complex"])
    def test_random_block_splits(self, ntaps, factor, real):
        rng = np.random.default_rng(ntaps * 100 + factor)
        taps, x = taps_of(rng, ntaps, real), samples(rng, 9000)
        dec = FIRDecimator(taps, factor)
        assert same_bits(in_blocks(dec, x, random_splits(rng, len(x))), kept(taps, x, factor))
        assert dec.phase == len(x) % factor

    @pytest.mark.parametrize("factor", [3, 8, 16])
    def test_non_finite_and_signed_zero_samples(self, factor):
        """NaN, infinities and -0.0 go through the same operations as in the
        FIR: same bits, the NaN's payload included."""
        rng = np.random.default_rng(5)
        x = samples(rng, 300)
        x[::7] = complex(-0.0, -0.0)
        x[50], x[120] = complex(np.inf, -np.inf), complex(np.nan, 1.0)
        for taps in (taps_of(rng, 19, True), taps_of(rng, 19, False), taps_of(rng, 15, True)):
            assert same_bits(FIRDecimator(taps, factor).execute(x), kept(taps, x, factor))


VARIANT_SCRIPT = """
import hashlib, numpy as np
from kestrix import _cpu as cpu
from kestrix.channel import FIRDecimator
rng = np.random.default_rng(3)
h = hashlib.sha256()
for ntaps in (1, 7, 8, 9, 17, 75, 130):
    for real in (True, False):
        t = rng.standard_normal(ntaps).astype(np.float32)
        if not real:
            t = (t + 1j * rng.standard_normal(ntaps)).astype(np.complex64)
        x = (rng.standard_normal(5000) + 1j * rng.standard_normal(5000)).astype(np.complex64)
        for factor in (1, 3, 8):
            dec = FIRDecimator(t, factor)
            for part in np.split(x, [5, 6, 4200]):
                h.update(dec.execute(part).tobytes())
print(cpu.variant(), h.hexdigest())
"""


def fir_digest():
    """The variant script's digest, made from FIR outputs in this process."""
    rng = np.random.default_rng(3)
    h = hashlib.sha256()
    for ntaps in (1, 7, 8, 9, 17, 75, 130):
        for real in (True, False):
            t = taps_of(rng, ntaps, real)
            x = samples(rng, 5000)
            for factor in (1, 3, 8):
                h.update(kept(t, x, factor).tobytes())
    return h.hexdigest()


@pytest.mark.parametrize("mask", ["", "avx512", "avx512,avx2"])
def test_every_variant_gives_the_fir_bits(mask):
    """Each kernel variant, selected in a child interpreter, against the FIR
    (whose own variants are checked against its definition in test_fir)."""
    variant, digest = run_masked(VARIANT_SCRIPT, mask)
    if mask == "avx512,avx2":
        assert variant == "baseline"
    assert digest == fir_digest()


class TestPhase:
    def test_output_length_follows_the_phase(self):
        dec = FIRDecimator(np.ones(3, np.float32), 4)
        assert [dec.output_length(n) for n in range(6)] == [0, 1, 1, 1, 1, 2]
        dec.execute(np.ones(3, np.complex64))
        assert dec.phase == 3
        assert [dec.output_length(n) for n in range(6)] == [0, 0, 1, 1, 1, 1]
        assert dec.output_length(2**63 - 1) == (2**63 - 2) // 4 + 1

    def test_reset_behaves_like_new(self):
        rng = np.random.default_rng(2)
        taps, x = taps_of(rng, 20, True), samples(rng, 50)
        dec = FIRDecimator(taps, 6)
        dec.execute(x[:17])
        dec.reset()
        assert dec.phase == 0
        assert same_bits(dec.execute(x), FIRDecimator(taps, 6).execute(x))

    @pytest.mark.parametrize("factor, arg, error", [
        (0, None, ValueError), (-3, None, ValueError), (-(2**70), None, ValueError),
        (2**63, None, OverflowError), (2.0, None, TypeError), ("2", None, TypeError),
        (2, -1, ValueError), (2, 2**63, OverflowError), (2, 1.5, TypeError),
    ])
    def test_integer_arguments_refused(self, factor, arg, error):
        texts = {ValueError: "must be an integer >= ", OverflowError: r"must be below 2\*\*63$"}
        with pytest.raises(error, match=texts.get(error)):
            FIRDecimator([1.0], factor).output_length(arg)

    def test_largest_factor(self):
        dec = FIRDecimator([2.0], 2**63 - 1)
        assert dec.execute(np.ones(5, np.complex64)).tolist() == [2]
        assert dec.phase == 5
        assert (dec.output_length(2**63 - 6), dec.output_length(2**63 - 5)) == (0, 1)

    @pytest.mark.parametrize("taps, error", [
        (np.zeros(0, np.float32), MemoryError), ([], MemoryError),
        (np.ones(3), TypeError), (np.ones((2, 2), np.float32), ValueError),
    ])
    def test_taps_refused_as_fir_refuses_them(self, taps, error):
        with pytest.raises(error, match="firdec_create returned NULL" if error is MemoryError
                           else None):
            FIRDecimator(taps, 2)


class TestState:
    def test_blob_layout(self):
        dec = FIRDecimator(np.ones(75, np.float32), 8)
        dec.execute(np.ones(11, np.complex64))
        blob = dec.get_state()
        assert dec.state_bytes() == len(blob) == 624
        assert blob[:16] == b"FDEC\x01\x00\x01\x00" + (624).to_bytes(4, "little") + bytes(4)
        assert int.from_bytes(blob[16:24], "little") == 8
        assert int.from_bytes(blob[24:32], "little") == 3
        delay = np.frombuffer(blob[32:], np.complex64)
        assert (delay[-11:] == 1).all() and (delay[:-11] == 0).all()

    @pytest.mark.parametrize("ntaps", [1, 9, 75])
    def test_round_trip_mid_group(self, ntaps):
        rng = np.random.default_rng(ntaps)
        taps, x = taps_of(rng, ntaps, False), samples(rng, 400)
        a, b = FIRDecimator(taps, 7), FIRDecimator(taps, 7)
        a.execute(x[:123])
        b.set_state(a.get_state())
        assert b.phase == 123 % 7
        assert same_bits(b.execute(x[123:]), kept(taps, x, 7)[18:])

    @pytest.mark.parametrize("field, value", [(16, 3), (16, 0), (24, 5), (24, 2**64 - 1)])
    def test_inconsistent_fields_refused(self, field, value):
        """Another factor, or a phase not below the factor: refused, nothing
        changed."""
        dec = FIRDecimator(np.ones(4, np.float32), 5)
        dec.execute(np.ones(2, np.complex64))
        blob = bytearray(dec.get_state())
        blob[field:field + 8] = value.to_bytes(8, "little")
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            dec.set_state(bytes(blob))
        assert dec.phase == 2
        with pytest.raises(ValueError, match="^state blob size mismatch$"):
            dec.set_state(FIRDecimator(np.ones(5, np.float32), 5).get_state())


class TestOut:
    def test_capacity_and_view(self):
        dec = FIRDecimator(np.ones(3, np.float32), 4)
        with pytest.raises(ValueError, match="^out has 2 elements, need >= 3$"):
            dec.execute(np.ones(9, np.complex64), np.zeros(2, np.complex64))
        assert dec.phase == 0
        out = np.full(5, 9, np.complex64)
        y = dec.execute(np.ones(9, np.complex64), out)
        assert y.base is out and y.tolist() == [1, 3, 3] and out[3:].tolist() == [9, 9]

    @pytest.mark.parametrize("factor, ntaps", [(3, 40), (8, 40), (8, 4097)])
    @pytest.mark.parametrize("shift", [0, 1, 5, 300, -4])
    def test_out_overlapping_x(self, shift, factor, ntaps):
        """out is x itself, or a view of x's buffer moved by shift samples:
        kept outputs must not overwrite inputs still to be read (factor 8
        splits the block into phase streams, read in place only from a
        separate x; with 4097 taps the first windows read in place start at
        x[0])."""
        rng = np.random.default_rng(abs(shift))
        taps, x = taps_of(rng, ntaps, True), samples(rng, 9000)
        want = kept(taps, x, factor)
        buf = np.zeros(len(x) + 2 * abs(shift), np.complex64)
        start = abs(shift) if shift < 0 else 0
        buf[start:start + len(x)] = x
        y = FIRDecimator(taps, factor).execute(buf[start:start + len(x)],
                                          buf[start + shift:start + shift + len(want)])
        assert same_bits(y, want)

    @pytest.mark.skipif(HEAP_IN_USE is None, reason="no mallinfo2 in this C library")
    def test_work_buffer_bounded_by_the_taps(self):
        x = np.zeros(1 << 21, np.complex64)
        dec = FIRDecimator(np.ones(300, np.float32), 8)
        out = np.zeros(dec.output_length(len(x)), np.complex64)
        before = HEAP_IN_USE()
        dec.execute(x, out)
        assert HEAP_IN_USE() - before < 8 * (2 * 300 + 4096) + 4096
