"""FIR filter: exactness of the summation order, streaming, out styles, state blob."""

import os
import subprocess
import sys

import numpy as np
import pytest

from kestrix.filter import FIR, design_lowpass

F32 = np.float32


def reference(taps, x, history=None):
    """The defined summation order, evaluated in float32 one operation at a
    time; vectorised across outputs (each output's sequence is its own)."""
    taps = np.asarray(taps)
    L = len(taps)
    hist = np.zeros(L - 1, np.complex64) if history is None else history
    s = np.concatenate([hist, np.asarray(x, np.complex64)])
    n = len(x)
    xr = s.real.astype(F32)
    xi = s.imag.astype(F32)

    def window(k):  # s_k for every output i: s[L-1+i-k]
        return xr[L - 1 - k : L - 1 - k + n], xi[L - 1 - k : L - 1 - k + n]

    real = taps.dtype == np.float32
    zero = np.zeros(n, F32)

    def tap(R, I, k):
        sr, si = window(k)
        if real:
            h = F32(taps[k])
            return R + h * sr, I + h * si
        hr, hi = F32(taps[k].real), F32(taps[k].imag)
        return (R + hr * sr) - hi * si, (I + hr * si) + hi * sr

    B = 8 * (L // 8)
    R, I = zero.copy(), zero.copy()
    if B:
        PR = [zero.copy() for _ in range(8)]
        PI = [zero.copy() for _ in range(8)]
        for k in range(B):
            PR[k % 8], PI[k % 8] = tap(PR[k % 8], PI[k % 8], k)

        def comb(P):
            return ((P[0] + P[4]) + (P[2] + P[6])) + ((P[1] + P[5]) + (P[3] + P[7]))

        R, I = comb(PR), comb(PI)
    for k in range(B, L):
        R, I = tap(R, I, k)
    y = np.empty(n, np.complex64)
    y.real, y.imag = R, I
    return y


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


def random_taps(rng, n, real):
    if real:
        return rng.standard_normal(n).astype(np.float32)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def random_signal(rng, n):
    return (rng.standard_normal(n) * 3 + 1j * rng.standard_normal(n)).astype(np.complex64)


LENGTHS = [1, 2, 7, 8, 9, 15, 16, 17, 31, 75]


class TestExactness:
    @pytest.mark.parametrize("real", [True, False])
    @pytest.mark.parametrize("ntaps", LENGTHS)
    def test_matches_defined_order(self, ntaps, real):
        rng = np.random.default_rng(ntaps * 2 + real)
        taps = random_taps(rng, ntaps, real)
        x = random_signal(rng, 203)  # odd: vector outputs and a scalar tail
        y = FIR(taps).execute(x)
        assert np.array_equal(bits(y), bits(reference(taps, x)))

    @pytest.mark.parametrize("real", [True, False])
    @pytest.mark.parametrize("ntaps", [1, 8, 17, 75])
    def test_random_block_splits_give_identical_bits(self, ntaps, real):
        rng = np.random.default_rng(100 + ntaps)
        taps = random_taps(rng, ntaps, real)
        x = random_signal(rng, 1000)
        whole = FIR(taps).execute(x)
        fir = FIR(taps)
        cuts = np.sort(rng.integers(0, len(x), 12))
        parts = [fir.execute(p) for p in np.split(x, cuts)]
        assert np.array_equal(bits(np.concatenate(parts)), bits(whole))
        assert np.array_equal(bits(whole), bits(reference(taps, x)))

    def test_non_finite_and_signed_zero_inputs(self):
        rng = np.random.default_rng(7)
        for real in (True, False):
            taps = random_taps(rng, 17, real)
            x = random_signal(rng, 64)
            x[5] = complex(np.nan, 1)
            x[20] = complex(np.inf, -0.0)
            x[40] = complex(-0.0, -0.0)
            y = FIR(taps).execute(x)
            assert np.array_equal(bits(y), bits(reference(taps, x)))

    def test_real_and_zero_imaginary_complex_taps_agree(self):
        rng = np.random.default_rng(3)
        taps = rng.standard_normal(16).astype(np.float32)
        x = random_signal(rng, 100)
        a = FIR(taps).execute(x)
        b = FIR(taps.astype(np.complex64)).execute(x)
        assert np.array_equal(a, b)  # equal values; zeros may differ in sign

    @pytest.mark.parametrize("mask", ["avx512", "avx512,avx2"])
    def test_every_cpu_variant_gives_the_same_bits(self, mask):
        code = (
            "import numpy as np, sys\n"
            "from kestrix.filter import FIR\n"
            "rng = np.random.default_rng(11)\n"
            "out = []\n"
            "for n in (1, 7, 8, 9, 16, 17, 75, 128):\n"
            "    for real in (True, False):\n"
            "        t = rng.standard_normal(n).astype(np.float32)\n"
            "        if not real: t = (t + 1j * rng.standard_normal(n)).astype(np.complex64)\n"
            "        x = (rng.standard_normal(301) + 1j * rng.standard_normal(301)).astype(np.complex64)\n"
            "        out.append(FIR(t).execute(x))\n"
            "sys.stdout.buffer.write(np.concatenate(out).tobytes())\n"
        )

        def run(env_mask):
            env = dict(os.environ)
            env.pop("KESTRIX_DISABLE_CPU_FEATURES", None)
            if env_mask:
                env["KESTRIX_DISABLE_CPU_FEATURES"] = env_mask
            return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                  check=True).stdout

        assert run(mask) == run(None)


class TestBehaviour:
    def test_impulse_reset_and_zeros(self):
        fir = FIR(np.array([0.25, 0.5, 0.25], np.complex64))
        impulse = np.array([1, 0, 0], np.complex64)
        assert fir.execute(impulse).real.tolist() == [0.25, 0.5, 0.25]
        assert fir.execute(np.zeros(3, np.complex64)).tolist() == [0, 0, 0]
        fir.execute(impulse)
        fir.reset()
        assert fir.execute(impulse).real.tolist() == [0.25, 0.5, 0.25]

    def test_single_tap_scales(self):
        fir = FIR(np.array([2 - 1j], np.complex64))
        x = np.array([1 + 1j, 3], np.complex64)
        assert fir.execute(x).tolist() == [3 + 1j, 6 - 3j]
        assert fir.state_bytes() == 16
        blob = fir.get_state()
        assert blob == bytes([0x46, 0x49, 0x52, 0x5F, 1, 0, 1, 0, 16, 0, 0, 0, 0, 0, 0, 0])
        fir.set_state(blob)

    def test_tap_kind_selection(self):
        assert FIR(np.ones(3, np.float32)).is_real is True
        assert FIR(np.ones(3, np.complex64)).is_real is False
        assert FIR([0.25, 0.5]).is_real is False
        assert FIR(design_lowpass()).is_real is True
        assert FIR(design_lowpass()).num_taps == 39
        with pytest.raises(TypeError):
            FIR(np.ones(3, np.float64))
        with pytest.raises(TypeError):
            FIR(np.ones(3, np.complex128))

    def test_empty_and_non_1d_taps(self):
        with pytest.raises(MemoryError, match="^fir_create returned NULL$"):
            FIR(np.zeros(0, np.float32))
        with pytest.raises(MemoryError, match="^fir_create returned NULL$"):
            FIR(np.zeros(0, np.complex64))
        with pytest.raises(ValueError):
            FIR(np.ones((2, 2), np.float32))
        with pytest.raises(ValueError):
            FIR(np.float32(1.0))

    def test_empty_block_leaves_delay_line(self):
        fir = FIR(np.arange(4, dtype=np.float32))
        fir.execute(np.ones(5, np.complex64))
        state = fir.get_state()
        y = fir.execute(np.zeros(0, np.complex64))
        assert y.dtype == np.complex64 and y.shape == (0,)
        assert fir.get_state() == state

    def test_execute_max_out(self):
        assert FIR(np.ones(2, np.float32)).execute_max_out() == 0


class TestOut:
    def test_larger_out_gives_a_view(self):
        fir = FIR(np.array([1.0, 1.0], np.float32))
        out = np.full(6, 9 + 9j, np.complex64)
        y = fir.execute(np.array([1, 2, 3], np.complex64), out)
        assert y.shape == (3,) and y.base is out
        assert np.shares_memory(y, out)
        assert out.tolist() == [1, 3, 5, 9 + 9j, 9 + 9j, 9 + 9j]

    def test_out_of_any_shape(self):
        fir = FIR(np.ones(1, np.float32))
        out = np.zeros((2, 3), np.complex64)
        y = fir.execute(np.arange(6, dtype=np.complex64), out)
        assert y.tolist() == list(range(6))

    def test_in_place_equals_copy(self):
        rng = np.random.default_rng(5)
        taps = random_taps(rng, 23, False)
        x = random_signal(rng, 500)
        expected = FIR(taps).execute(x.copy())
        FIR(taps).execute(x, x)
        assert np.array_equal(bits(x), bits(expected))

    def test_short_out(self):
        with pytest.raises(ValueError, match=r"^out has 2 elements, need >= 3$"):
            FIR(np.ones(2, np.float32)).execute(np.ones(3, np.complex64), np.zeros(2, np.complex64))

    @pytest.mark.parametrize(
        "out",
        [
            np.zeros(4, np.complex128),
            np.zeros(8, np.complex64)[::2],
            np.zeros(4, ">c8"),
            [0j] * 4,
        ],
        ids=["complex128", "strided", "byteswapped", "list"],
    )
    def test_wrong_out_kind(self, out):
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
            FIR(np.ones(2, np.float32)).execute(np.ones(3, np.complex64), out)

    def test_read_only_out(self):
        out = np.zeros(4, np.complex64)
        out.flags.writeable = False
        with pytest.raises(TypeError, match="^out must be a writable"):
            FIR(np.ones(2, np.float32)).execute(np.ones(3, np.complex64), out)

    def test_unsafe_input_cast_refused(self):
        with pytest.raises(TypeError):
            FIR(np.ones(2, np.float32)).execute(np.ones(3, np.complex128))


class TestState:
    def test_blob_layout_and_round_trip(self):
        rng = np.random.default_rng(9)
        taps = random_taps(rng, 75, True)
        a = FIR(taps)
        a.execute(random_signal(rng, 100))
        blob = a.get_state()
        assert a.state_bytes() == 608 == len(blob)
        assert blob[:16] == b"FIR_\x01\x00\x01\x00" + (608).to_bytes(4, "little") + b"\0\0\0\0"
        b = FIR(random_taps(rng, 75, False))
        b.set_state(blob)
        assert b.get_state() == blob
        x = random_signal(rng, 50)
        c = FIR(taps)
        c.set_state(blob)
        assert np.array_equal(bits(a.execute(x)), bits(c.execute(x)))

    def test_delay_line_in_blob(self):
        fir = FIR(np.ones(3, np.float32))
        fir.execute(np.array([1 + 2j, 3 + 4j, 5 + 6j], np.complex64))
        body = np.frombuffer(fir.get_state()[16:], np.complex64)
        assert body.tolist() == [3 + 4j, 5 + 6j]

    @pytest.mark.parametrize("offset,value", [(0, 0x47), (4, 2), (6, 2), (8, 33)])
    def test_header_refusals(self, offset, value):
        fir = FIR(np.ones(3, np.float32))
        fir.execute(np.ones(3, np.complex64))
        before = fir.get_state()
        blob = bytearray(before)
        blob[offset] = value
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            fir.set_state(bytes(blob))
        assert fir.get_state() == before

    def test_ignored_header_bytes(self):
        fir = FIR(np.ones(3, np.float32))
        blob = bytearray(fir.get_state())
        blob[7] = 0xFF
        blob[12:16] = b"\xaa\xbb\xcc\xdd"
        fir.set_state(bytes(blob))

    def test_length_and_type_mismatch(self):
        with pytest.raises(ValueError, match="^state blob size mismatch$"):
            FIR(np.ones(3, np.float32)).set_state(FIR(np.ones(4, np.float32)).get_state())
        with pytest.raises(TypeError, match="^set_state expects bytes$"):
            FIR(np.ones(3, np.float32)).set_state(bytearray(32))


class TestLifeCycle:
    def test_destroyed(self):
        fir = FIR(np.ones(3, np.float32))
        fir.destroy()
        fir.destroy()
        for call in (lambda: fir.execute([1]), fir.reset, lambda: fir.num_taps, lambda: fir.is_real,
                     fir.execute_max_out, fir.get_state, fir.state_bytes):
            with pytest.raises(RuntimeError, match="^destroyed$"):
                call()
        assert fir.__enter__() is fir

    def test_array_that_destroys_the_filter(self):
        """__array__ running Python code during the input conversion of
        execute: the handle is checked again before filtering."""
        fir = FIR(np.ones(3, np.float32))

        class Evil:
            def __array__(self, dtype=None, copy=None):
                fir.destroy()
                return np.ones(4, np.complex64)

        with pytest.raises(RuntimeError, match="^destroyed$"):
            fir.execute(Evil())

    def test_taps_array_that_reinitialises(self):
        """__array__ of the taps calls __init__ again on the same object: the
        object ends with exactly one live filter."""
        fir = FIR(np.ones(2, np.float32))

        class Taps:
            def __array__(self, dtype=None, copy=None):
                fir.__init__(np.ones(5, np.float32))
                return np.ones(3, np.float32)

        fir.__init__(Taps())
        assert fir.num_taps == 3
