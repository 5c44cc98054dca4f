"""FIR filter: exactness of the summation order, streaming, out styles,
state blob, kernel variants and hostile arguments."""

import hashlib
import subprocess
import sys

import numpy as np
import pytest

from kestrix.filter import FIR, design_lowpass

from conftest import HEAP_IN_USE, bits, run_masked, under_sanitizer

F32 = np.float32
OUT_KIND = "^out must be a writable, C-contiguous ndarray of the output dtype$"

# Sizes that reach the scalar loop (fewer outputs than a vector), single
# vectors, whole register blocks, and more than one copy stretch (4032).
BLOCK_SIZES = [1, 3, 5, 13, 24, 100, 4033, 9000]
TAP_LENGTHS = [1, 7, 8, 9, 16, 17, 75]


def reference(taps, x, history=None):
    """The defined order in float32, one rounded operation at a time.

    Vectorised across outputs only: every output keeps its own sequence of
    NumPy float32 operations, exactly as the scalar definition does."""
    taps = np.asarray(taps)
    L = len(taps)
    hist = np.zeros(L - 1, np.complex64) if history is None else history
    s = np.concatenate([hist, np.asarray(x, np.complex64).ravel()])
    n = len(s) - (L - 1)
    xr = s.real.astype(F32)
    xi = s.imag.astype(F32)
    real = taps.dtype == np.float32

    def tap(R, I, k):
        sr = xr[L - 1 - k : L - 1 - k + n]
        si = xi[L - 1 - k : L - 1 - k + n]
        if real:
            h = F32(taps[k])
            return R + h * sr, I + h * si
        hr, hi = F32(taps[k].real), F32(taps[k].imag)
        return (R + hr * sr) - hi * si, (I + hr * si) + hi * sr

    with np.errstate(all="ignore"):  # inf * 0 and NaN are part of the data
        return _run_order(tap, L, n)


def _run_order(tap, L, n):
    B = 8 * (L // 8)
    R = np.zeros(n, F32)
    I = np.zeros(n, F32)
    if B:
        PR = [np.zeros(n, F32) for _ in range(8)]
        PI = [np.zeros(n, F32) for _ in range(8)]
        for k in range(B):
            PR[k % 8], PI[k % 8] = tap(PR[k % 8], PI[k % 8], k)

        def tree(P):
            return ((P[0] + P[4]) + (P[2] + P[6])) + ((P[1] + P[5]) + (P[3] + P[7]))

        R, I = tree(PR), tree(PI)
    for k in range(B, L):
        R, I = tap(R, I, k)
    y = np.empty(n, np.complex64)
    y.real, y.imag = R, I
    return y


def random_taps(rng, n, real):
    if real:
        return rng.standard_normal(n).astype(np.float32)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def random_signal(rng, n):
    """Samples spread over many magnitudes, so roundings differ per order."""
    scale = 10.0 ** rng.uniform(-3, 3, n)
    return ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * scale).astype(np.complex64)


class TestExactness:
    @pytest.mark.parametrize("real", [True, False], ids=["real", "complex"])
    @pytest.mark.parametrize("ntaps", TAP_LENGTHS)
    @pytest.mark.parametrize("n", BLOCK_SIZES)
    def test_matches_defined_order(self, n, ntaps, real):
        rng = np.random.default_rng([n, ntaps, real])
        taps = random_taps(rng, ntaps, real)
        x = random_signal(rng, n)
        assert np.array_equal(bits(FIR(taps).execute(x)), bits(reference(taps, x)))

    @pytest.mark.parametrize("real", [True, False], ids=["real", "complex"])
    @pytest.mark.parametrize("ntaps", [1, 8, 17, 75])
    def test_random_block_splits_give_identical_bits(self, ntaps, real):
        """Seams at random points: the delay line carries over exactly."""
        rng = np.random.default_rng(100 + ntaps)
        taps = random_taps(rng, ntaps, real)
        x = random_signal(rng, 6000)
        whole = FIR(taps).execute(x)
        assert np.array_equal(bits(whole), bits(reference(taps, x)))
        for _ in range(3):
            fir = FIR(taps)
            cuts = np.sort(rng.integers(0, len(x), 15))
            parts = [fir.execute(p) for p in np.split(x, cuts)]
            assert np.array_equal(bits(np.concatenate(parts)), bits(whole))

    @pytest.mark.parametrize("real", [True, False], ids=["real", "complex"])
    def test_signed_zeros_and_non_finite_samples(self, real):
        """-0.0 products and sums, infinities and NaN positions as defined."""
        rng = np.random.default_rng(7)
        taps = random_taps(rng, 17, real)
        taps[3] = -0.0
        x = random_signal(rng, 200)
        x[:40] = complex(-0.0, -0.0)
        x[50] = complex(np.inf, -0.0)
        x[120] = complex(np.nan, 1)
        y = FIR(taps).execute(x)
        ref = reference(taps, x)
        finite = ~np.isnan(ref.real) & ~np.isnan(ref.imag)
        assert np.array_equal(np.isnan(y.real), np.isnan(ref.real))
        assert np.array_equal(np.isnan(y.imag), np.isnan(ref.imag))
        assert np.array_equal(bits(y[finite]), bits(ref[finite]))
        # All-negative-zero input: each output is an exact signed zero.
        assert np.array_equal(bits(y[:20]), bits(ref[:20]))

    @pytest.mark.parametrize("ntaps", [7, 9, 17])
    def test_signed_zero_and_nan_imaginary_taps(self, ntaps):
        """-hi*xi with hi = +0.0, -0.0 and NaN: exact signed zeros, and a NaN
        tap makes exactly the outputs that reach it NaN."""
        rng = np.random.default_rng(ntaps)
        taps = random_taps(rng, ntaps, False)
        parts = taps.view(np.float32)
        parts[1], parts[3] = 0.0, -0.0
        x = random_signal(rng, 150)
        x[10:60] = complex(-0.0, 0.0)
        assert np.array_equal(bits(FIR(taps).execute(x)), bits(reference(taps, x)))
        parts[5] = np.nan
        y = FIR(taps).execute(x)
        ref = reference(taps, x)
        assert np.isnan(ref.real[2:]).all()
        assert np.array_equal(np.isnan(y.real), np.isnan(ref.real))
        assert np.array_equal(np.isnan(y.imag), np.isnan(ref.imag))
        assert np.array_equal(bits(y[:2]), bits(ref[:2]))

    @pytest.mark.parametrize("ntaps", [7, 8, 9, 16, 75])
    def test_real_taps_equal_zero_imaginary_complex_taps(self, ntaps):
        """Same values for finite inputs; only the signs of zeros may differ."""
        rng = np.random.default_rng(3)
        taps = rng.standard_normal(ntaps).astype(np.float32)
        x = random_signal(rng, 300)
        a = FIR(taps)
        b = FIR(taps.astype(np.complex64))
        assert (a.is_real, b.is_real) == (True, False)
        assert np.array_equal(a.execute(x), b.execute(x))

    def test_designed_taps(self):
        taps = design_lowpass(0.2, 0.3, 60.0)
        x = random_signal(np.random.default_rng(4), 2000)
        fir = FIR(taps)
        assert (fir.num_taps, fir.is_real) == (75, True)
        assert np.array_equal(bits(fir.execute(x)), bits(reference(taps, x)))


VARIANT_SCRIPT = r"""
import hashlib, sys
import numpy as np
from kestrix.filter import FIR
import kestrix._cpu as cpu
h = hashlib.sha256()
rng = np.random.default_rng(11)
for ntaps in (1, 7, 8, 9, 16, 17, 75, 128):
    for real in (True, False):
        t = rng.standard_normal(ntaps).astype(np.float32)
        if not real:
            t = (t + 1j * rng.standard_normal(ntaps)).astype(np.complex64)
        x = (rng.standard_normal(4500) + 1j * rng.standard_normal(4500)).astype(np.complex64)
        fir = FIR(t)
        for part in np.split(x, [1, 38, 1000]):
            h.update(fir.execute(part).tobytes())
print(cpu.variant(), h.hexdigest())
"""


class TestVariants:
    _digest = None

    @classmethod
    def model_digest(cls):
        """The digest of the variant script, computed from the reference."""
        if cls._digest is None:
            h = hashlib.sha256()
            rng = np.random.default_rng(11)
            for ntaps in (1, 7, 8, 9, 16, 17, 75, 128):
                for real in (True, False):
                    t = rng.standard_normal(ntaps).astype(np.float32)
                    if not real:
                        t = (t + 1j * rng.standard_normal(ntaps)).astype(np.complex64)
                    x = (rng.standard_normal(4500) + 1j * rng.standard_normal(4500)).astype(
                        np.complex64)
                    h.update(reference(t, x).tobytes())
            cls._digest = h.hexdigest()
        return cls._digest

    @pytest.mark.parametrize("mask", ["", "avx512", "avx512,avx2"])
    def test_every_variant_gives_the_defined_bits(self, mask):
        """Each kernel variant, selected in a child interpreter by masking
        CPU features, against the float32 reference."""
        variant, digest = run_masked(VARIANT_SCRIPT, mask)
        if mask == "avx512,avx2":
            assert variant == "baseline"
        assert digest == self.model_digest()


class TestBehaviour:
    def test_impulse_reset_and_zeros(self):
        fir = FIR(np.array([0.25, 0.5, 0.25], np.complex64))
        impulse = np.array([1, 0, 0], np.complex64)
        assert fir.execute(impulse).tolist() == [0.25, 0.5, 0.25]
        assert fir.execute(np.zeros(3, np.complex64)).tolist() == [0, 0, 0]
        fir.execute(impulse)
        fir.reset()
        assert fir.execute(impulse).tolist() == [0.25, 0.5, 0.25]

    def test_reset_filter_behaves_like_a_new_one(self):
        rng = np.random.default_rng(8)
        taps = random_taps(rng, 33, False)
        x = random_signal(rng, 500)
        fir = FIR(taps)
        fir.execute(random_signal(rng, 777))
        fir.reset()
        assert fir.get_state() == FIR(taps).get_state()
        assert np.array_equal(bits(fir.execute(x)), bits(FIR(taps).execute(x)))

    def test_single_tap(self):
        fir = FIR(np.array([2 - 1j], np.complex64))
        x = np.array([1 + 1j, 3], np.complex64)
        assert fir.execute(x).tolist() == [3 + 1j, 6 - 3j]
        assert fir.state_bytes() == 16
        blob = fir.get_state()
        assert blob == b"FIR_\x01\x00\x01\x00\x10\x00\x00\x00\x00\x00\x00\x00"
        fir.set_state(blob)
        assert fir.execute(x).tolist() == [3 + 1j, 6 - 3j]

    def test_tap_kind_selection(self):
        assert FIR(np.ones(3, np.float32)).is_real is True
        assert FIR(np.ones(3, ">f4")).is_real is True
        assert FIR(np.ones(3, np.complex64)).is_real is False
        assert FIR([0.25, 0.5]).is_real is False
        assert FIR([1, 2, 3]).num_taps == 3
        fir = FIR(design_lowpass())
        assert (fir.is_real, fir.num_taps) == (True, 39)

    def test_taps_are_copied(self):
        taps = np.array([1.0, 2.0], np.float32)
        fir = FIR(taps)
        taps[:] = 0
        del taps
        assert fir.execute([1, 0]).tolist() == [1, 2]

    @pytest.mark.parametrize("dtype", [np.float64, np.complex128])
    def test_unsafe_tap_dtypes_refused(self, dtype):
        """The complex path's conversion without a forced cast."""
        with pytest.raises(TypeError, match="[Cc]annot cast"):
            FIR(np.ones(3, dtype))

    @pytest.mark.parametrize("taps", [np.zeros(0, np.float32), np.zeros(0, np.complex64), []],
                             ids=["float32", "complex64", "list"])
    def test_no_taps(self, taps):
        """fir_create / fir_create_real refuse taps_len 0."""
        with pytest.raises(MemoryError, match="^fir_create returned NULL$"):
            FIR(taps)

    @pytest.mark.parametrize("taps,message", [
        (np.ones((2, 2), np.float32), "object too deep for desired array"),
        (np.ones((1, 3), np.complex64), "object too deep for desired array"),
        (np.float32(1.0), "object of too small depth for desired array"),
        (2.0, "object of too small depth for desired array"),
    ], ids=["2d-float32", "2d-complex64", "0d", "python-float"])
    def test_taps_not_one_dimensional_refused(self, taps, message):
        """The probe's depth error is raised; nothing succeeds over it."""
        with pytest.raises(ValueError, match=f"^{message}$"):
            FIR(taps)

    def test_block_shapes(self):
        """Any shape is read in C order; a scalar is one sample."""
        fir = FIR(np.ones(1, np.float32))
        y = fir.execute(np.arange(6, dtype=np.complex64).reshape(2, 3))
        assert y.shape == (6,) and y.dtype == np.complex64
        assert y.tolist() == list(range(6))
        y = fir.execute(np.complex64(2 + 1j))
        assert y.shape == (1,) and y.tolist() == [2 + 1j]
        assert fir.execute([1.5, 2]).tolist() == [1.5, 2]

    def test_empty_block_leaves_delay_line(self):
        fir = FIR(np.arange(4, dtype=np.float32))
        fir.execute(np.ones(5, np.complex64))
        state = fir.get_state()
        y = fir.execute(np.zeros(0, np.complex64))
        assert y.dtype == np.complex64 and y.shape == (0,)
        assert fir.get_state() == state

    def test_unsafe_input_cast_refused(self):
        fir = FIR(np.ones(2, np.float32))
        fir.execute([1, 2])
        state = fir.get_state()
        with pytest.raises(TypeError):
            fir.execute(np.ones(3, np.complex128))
        assert fir.get_state() == state

    def test_execute_max_out_and_properties(self):
        fir = FIR(np.ones(5, np.float32))
        assert fir.execute_max_out() == 0
        assert fir.num_taps == 5
        with pytest.raises(AttributeError):
            fir.num_taps = 3
        with pytest.raises(AttributeError):
            fir.is_real = False

    def test_help_texts(self):
        assert FIR.__doc__.startswith("Create a FIR filter from complex CF32 tap coefficients.")
        assert "fir_create_real" in FIR.__doc__
        assert FIR.execute.__doc__.startswith("execute(x, out) -> ndarray")
        assert FIR.execute_max_out.__doc__.startswith(
            "Always 0 -- FIR is a 1:1 transform, not a bounded-capacity one.")


class TestOut:
    def test_larger_out_gives_a_view(self):
        fir = FIR(np.array([1.0, 1.0], np.float32))
        out = np.full(6, 9 + 9j, np.complex64)
        y = fir.execute(np.array([1, 2, 3], np.complex64), out)
        assert y.shape == (3,) and y.dtype == np.complex64 and y.base is out
        assert y.flags.c_contiguous and y.flags.writeable and y.flags.aligned
        assert np.shares_memory(y, out) and y.ctypes.data == out.ctypes.data
        assert out.tolist() == [1, 3, 5, 9 + 9j, 9 + 9j, 9 + 9j]

    def test_out_of_any_shape(self):
        fir = FIR(np.ones(1, np.float32))
        out = np.zeros((2, 4), np.complex64)
        y = fir.execute(np.arange(6, dtype=np.complex64), out)
        assert y.shape == (6,) and y.tolist() == list(range(6))
        assert out.ravel().tolist() == [0, 1, 2, 3, 4, 5, 0, 0]

    def test_view_keeps_the_memory_of_a_view_out(self):
        """out that does not own its data: the result still keeps it alive."""
        fir = FIR(np.ones(1, np.float32))
        owner = np.zeros(10, np.complex64)
        y = fir.execute([1, 2], owner[4:])
        del owner
        assert y.tolist() == [1, 2]
        assert y.base is not None

    def test_misaligned_out(self):
        """An out at an odd address: written correctly, view says unaligned."""
        buf = np.zeros(8 * 40 + 1, np.uint8)
        out = buf[1:].view(np.complex64)
        assert not out.flags.aligned
        rng = np.random.default_rng(2)
        taps = random_taps(rng, 9, False)
        x = random_signal(rng, 37)
        y = FIR(taps).execute(x, out)
        assert not y.flags.aligned
        assert np.array_equal(bits(y), bits(reference(taps, x)))

    @pytest.mark.parametrize("n", [5, 4033, 9000])
    def test_in_place_equals_copy(self, n):
        rng = np.random.default_rng(5)
        taps = random_taps(rng, 23, False)
        x = random_signal(rng, n)
        expected = FIR(taps).execute(x.copy())
        y = FIR(taps).execute(x, x)
        assert np.array_equal(bits(x), bits(expected))
        assert np.shares_memory(y, x)

    @pytest.mark.parametrize("ntaps", [1, 17, 5000])
    @pytest.mark.parametrize("shift", [-24, -8, 4, 8, 24, 8 * 4500, 8 * 8999 + 4])
    def test_out_overlapping_x(self, ntaps, shift):
        """out starting before, or inside, x in the same buffer (shift in
        bytes; 4 is half a sample): the outputs and the delay line are those
        of a separate out, also with a history longer than one stretch."""
        rng = np.random.default_rng(6)
        taps = random_taps(rng, ntaps, True)
        n = 9000
        raw = np.zeros(8 * n + abs(shift), np.uint8)
        xoff, ooff = (0, shift) if shift > 0 else (-shift, 0)
        x = raw[xoff:xoff + 8 * n].view(np.complex64)
        out = raw[ooff:ooff + 8 * n].view(np.complex64)
        x[:] = random_signal(rng, n)
        prime = random_signal(rng, 50)
        separate, fir = FIR(taps), FIR(taps)
        separate.execute(prime)
        fir.execute(prime)
        expected = separate.execute(x.copy())
        fir.execute(x, out)
        assert np.array_equal(bits(out), bits(expected))
        assert fir.get_state() == separate.get_state()

    def test_empty_block_with_out(self):
        out = np.full(2, 7, np.complex64)
        y = FIR(np.ones(2, np.float32)).execute(np.zeros(0, np.complex64), out)
        assert y.shape == (0,) and y.dtype == np.complex64
        assert out.tolist() == [7, 7]

    def test_short_out(self):
        fir = FIR(np.ones(2, np.float32))
        fir.execute([5])
        state = fir.get_state()
        with pytest.raises(ValueError, match=r"^out has 2 elements, need >= 3$"):
            fir.execute(np.ones(3, np.complex64), np.zeros(2, np.complex64))
        assert fir.get_state() == state

    @pytest.mark.parametrize(
        "out",
        [
            np.zeros(4, np.complex128),
            np.zeros(4, np.float32),
            np.zeros(8, np.complex64)[::2],
            np.zeros((4, 2), np.complex64).T,
            np.zeros(4, ">c8"),
            [0j] * 4,
            "abcd",
        ],
        ids=["complex128", "float32", "strided", "fortran", "byteswapped", "list", "str"],
    )
    def test_wrong_out_kind(self, out):
        """The frame's kind/dtype/flags check, before the length check."""
        with pytest.raises(TypeError, match=OUT_KIND):
            FIR(np.ones(2, np.float32)).execute(np.ones(3, np.complex64), out)

    def test_read_only_out(self):
        out = np.zeros(4, np.complex64)
        out.flags.writeable = False
        with pytest.raises(TypeError, match=OUT_KIND):
            FIR(np.ones(2, np.float32)).execute(np.ones(3, np.complex64), out)

    def test_out_by_keyword_and_none(self):
        fir = FIR(np.ones(1, np.float32))
        out = np.zeros(2, np.complex64)
        assert fir.execute(x=[1, 2], out=out).base is out
        y = fir.execute([3], out=None)
        assert y.base is None and y.tolist() == [3]


class TestWorkBuffer:
    """The work buffer holds num_taps - 1 samples and one cache-sized piece
    of the block, however long the block; when it cannot be had, execute
    raises MemoryError and changes nothing."""

    @pytest.mark.skipif(HEAP_IN_USE is None, reason="no mallinfo2 in this C library")
    @pytest.mark.parametrize("overlap", [False, True], ids=["separate", "out-inside-x"])
    def test_bounded_by_the_taps_not_the_block(self, overlap):
        n, ntaps = 1 << 21, 300
        raw = np.zeros(8 * n + 8, np.uint8)
        x = raw[:8 * n].view(np.complex64)
        out = raw[8:].view(np.complex64) if overlap else np.zeros(n, np.complex64)
        fir = FIR(np.ones(ntaps, np.float32))
        before = HEAP_IN_USE()
        y = fir.execute(x, out)
        grown = HEAP_IN_USE() - before
        assert len(y) == n and grown < 8 * (2 * ntaps + 4096) + 4096

    @pytest.mark.parametrize("ntaps", [2**29 - 1, 2**29])
    def test_more_taps_than_a_blob_can_describe(self, ntaps):
        """8 * taps + 8 must fit the blob's 32-bit size field: at most
        2**29 - 2 taps.  (The zeros are never touched: calloc'd pages.)"""
        with pytest.raises(MemoryError, match="^fir_create returned NULL$"):
            FIR(np.zeros(ntaps, np.float32))

    @pytest.mark.skipif(under_sanitizer(), reason="the sanitizer's shadow memory needs the "
                        "address space that this test limits")
    def test_failed_allocation_raises_and_changes_nothing(self):
        """Under an address-space limit that leaves no room for the work
        buffer of 2**22 taps, execute with and without out raises
        MemoryError; the delay line and out are as they were, and the same
        call succeeds once the limit is lifted."""
        script = """
import resource
import numpy as np
from kestrix.filter import FIR
fir = FIR(np.ones(1 << 22, np.float32))
blob = fir.get_state()
blob = blob[:16] + np.arange((len(blob) - 16) // 4, dtype=np.float32).tobytes()
fir.set_state(blob)
x = np.ones(10, np.complex64)
out = np.full(10, 7, np.complex64)
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + (16 << 20), hard))
errors = []
for args in ((x, out), (x,)):
    try:
        fir.execute(*args)
    except MemoryError as e:
        errors.append(str(e))
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(errors == ["fir_execute could not allocate its work buffer"] * 2,
      fir.get_state() == blob, out.tolist() == [7] * 10, len(fir.execute(x, out)) == 10)
"""
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             check=True)
        assert run.stdout.split() == ["True"] * 4


class TestState:
    def test_blob_layout_and_round_trip(self):
        rng = np.random.default_rng(9)
        taps = random_taps(rng, 75, True)
        a = FIR(taps)
        a.execute(random_signal(rng, 100))
        blob = a.get_state()
        assert a.state_bytes() == 608 == len(blob)
        assert blob[:16] == b"FIR_\x01\x00\x01\x00" + (608).to_bytes(4, "little") + b"\0\0\0\0"
        other_kind = FIR(random_taps(rng, 75, False))
        other_kind.set_state(blob)
        assert other_kind.get_state() == blob
        x = random_signal(rng, 50)
        c = FIR(taps)
        c.set_state(blob)
        assert np.array_equal(bits(a.execute(x)), bits(c.execute(x)))
        assert a.get_state() == c.get_state()

    def test_delay_line_in_blob(self):
        fir = FIR(np.ones(3, np.float32))
        fir.execute(np.array([1 + 2j, 3 + 4j, 5 + 6j], np.complex64))
        body = np.frombuffer(fir.get_state()[16:], "<c8")
        assert body.tolist() == [3 + 4j, 5 + 6j]
        fir.execute([7])
        assert np.frombuffer(fir.get_state()[16:], "<c8").tolist() == [5 + 6j, 7]

    def test_restored_delay_line_drives_the_output(self):
        fir = FIR(np.array([1, 10, 100], np.float32))
        blob = bytearray(fir.get_state())
        blob[16:] = np.array([2, 3], "<c8").tobytes()
        fir.set_state(bytes(blob))
        assert fir.execute([0, 0]).tolist() == [10 * 3 + 100 * 2, 100 * 3]

    @pytest.mark.parametrize("offset,value", [(0, 0x47), (3, 0x20), (4, 2), (5, 1), (6, 2),
                                              (6, 0), (8, 33), (10, 1)])
    def test_header_refusals(self, offset, value):
        """fir_set_state's header check: magic, version, byte 6, size."""
        fir = FIR(np.ones(3, np.float32))
        fir.execute(np.ones(3, np.complex64))
        before = fir.get_state()
        blob = bytearray(before)
        blob[offset] = value
        blob[16:] = bytes(16)
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            fir.set_state(bytes(blob))
        assert fir.get_state() == before

    def test_ignored_header_bytes(self):
        """Byte 7 and bytes 12..15 are not examined; the blob is applied."""
        fir = FIR(np.ones(3, np.float32))
        blob = bytearray(fir.get_state())
        blob[7] = 0xFF
        blob[12:16] = b"\xaa\xbb\xcc\xdd"
        blob[16:] = np.array([1, 2], "<c8").tobytes()
        fir.set_state(bytes(blob))
        assert fir.get_state()[16:] == bytes(blob[16:])

    def test_length_and_type_mismatch(self):
        with pytest.raises(ValueError, match="^state blob size mismatch$"):
            FIR(np.ones(75, np.float32)).set_state(FIR(np.ones(74, np.float32)).get_state())
        with pytest.raises(TypeError, match="^set_state expects bytes$"):
            FIR(np.ones(3, np.float32)).set_state(bytearray(32))


class TestLifeCycle:
    def test_destroyed(self):
        fir = FIR(np.ones(3, np.float32))
        assert fir.destroy() is None
        assert fir.destroy() is None
        for call in (lambda: fir.execute([1]), fir.reset, lambda: fir.num_taps,
                     lambda: fir.is_real, fir.execute_max_out, fir.get_state,
                     fir.state_bytes, lambda: fir.set_state(b"")):
            with pytest.raises(RuntimeError, match="^destroyed$"):
                call()
        assert fir.__enter__() is fir

    def test_with_block(self):
        with pytest.raises(KeyError):
            with FIR(np.ones(3, np.float32)) as fir:
                raise KeyError
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fir.execute([1])

    def test_handle_checked_before_arguments(self):
        """A destroyed filter reports "destroyed" even for bad arguments."""
        fir = FIR(np.ones(3, np.float32))
        fir.destroy()
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fir.execute(np.ones(3, np.complex128), out="bad")

    def test_array_that_destroys_the_filter(self):
        """__array__ of x runs Python code during the conversion in execute:
        the handle is checked again before filtering."""
        fir = FIR(np.ones(3, np.float32))

        class Evil:
            def __array__(self, dtype=None, copy=None):
                fir.destroy()
                return np.ones(4, np.complex64)

        with pytest.raises(RuntimeError, match="^destroyed$"):
            fir.execute(Evil())
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fir.execute(Evil(), np.zeros(4, np.complex64))

    def test_array_that_replaces_the_filter(self):
        """__array__ of x re-initialises the object: the new core is used."""
        fir = FIR(np.ones(3, np.float32))

        class Swap:
            def __array__(self, dtype=None, copy=None):
                fir.__init__(np.array([2.0], np.float32))
                return np.ones(4, np.complex64)

        assert fir.execute(Swap()).tolist() == [2, 2, 2, 2]
        assert fir.num_taps == 1

    def test_taps_array_that_reinitialises(self):
        """__array__ of the taps calls __init__ again on the same object: the
        object ends with exactly one live filter, the outer one's."""
        fir = FIR(np.ones(2, np.float32))

        class Taps:
            def __array__(self, dtype=None, copy=None):
                fir.__init__(np.ones(5, np.float32))
                return np.ones(3, np.float32)

        fir.__init__(Taps())
        assert fir.num_taps == 3

    def test_taps_array_that_raises(self):
        """The probe's conversion error propagates; the object is left empty."""
        fir = FIR(np.ones(2, np.float32))

        class Boom:
            def __array__(self, dtype=None, copy=None):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="^boom$"):
            fir.__init__(Boom())
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fir.num_taps


class TestReferenceCounts:
    """x, out and the result are released or kept exactly as documented, on
    success and on every error path."""

    def test_counts(self):
        fir = FIR(np.ones(3, np.float32))
        x = np.ones(4, np.complex64)
        out = np.zeros(6, np.complex64)
        short = np.zeros(2, np.complex64)
        before = [sys.getrefcount(o) for o in (x, out, short)]
        for _ in range(50):
            fir.execute(x)
            fir.execute(x, out)
            fir.execute(x, x)
            with pytest.raises(ValueError):
                fir.execute(x, short)
            with pytest.raises(TypeError):
                fir.execute(x, out.astype(np.complex128))
        assert [sys.getrefcount(o) for o in (x, out, short)] == before
        alone = sys.getrefcount(out)
        y = fir.execute(x, out)
        held = sys.getrefcount(out)
        assert held == alone + 1
        del y
        released = sys.getrefcount(out)
        assert released == alone
