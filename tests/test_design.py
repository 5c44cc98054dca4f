"""design_lowpass: the Kaiser tap count, beta and window, and the taps,
bit for bit against a pure-Python double-precision rendering of the defined
order; agreement with SciPy's Kaiser window; the refused arguments and the
failed temporary allocation."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kestrix.filter import FIR, design_lowpass

from conftest import same_bits

NO_COUNT = "design_lowpass: band edges and attenuation give no finite tap count"


# ---------------------------------------------------------------- reference

def ref_count(atten, fpass, fstop):
    """N = (T | 1) + 1, T the truncation of Kaiser's q (factor L = 1)."""
    q = (atten - 8.0) * 1 / ((fstop / 2 - fpass / 2) * 14.357078426905355) + 1.0
    return (int(q) | 1) + 1


def ref_beta(atten):
    if atten > 50:
        return 0.1102 * atten - 0.9587399999999999
    if atten >= 21:
        d = atten - 21.0
        return 0.5842 * math.pow(d, 0.4) + 0.07886 * d
    return 0.0


def ref_i0(h):
    total, term = 1.0, 1.0
    for i in range(1, 41):
        q = h / i
        term = (q * q) * term
        total = total + term
        if total * 1e-15 > term:
            break
    return total


def ref_window(n, beta32):
    if n == 1:
        return np.ones(1, np.float32)
    h = float(beta32) / 2
    inv = 1.0 / ref_i0(h)
    m = float(n - 1)
    c = m / 2
    u = 1.0 / m + 1.0 / m
    w = np.empty(n, np.float32)
    for k in range(n):
        r = (k - c) * u
        w[k] = np.float32(ref_i0(math.sqrt(1.0 - r * r) * h) * inv)
    return w


def ref_sinc_fc(n, fpass, fstop):
    """s * fc per tap, in double."""
    c = (n - 1) // 2
    fc = (fpass + fstop) / 2
    a = (fpass + fstop) * 1.5707963267948966
    out = []
    for i in range(n):
        t = float(i - c)
        s = 1.0 if t * fc == 0 else math.sin(t * a) / (t * a)
        out.append(s * fc)
    return np.array(out)


def ref_design(fpass=0.4, fstop=0.6, atten=60.0, beta=None):
    n = ref_count(atten, fpass, fstop) | 1
    b32 = np.float32(ref_beta(atten) if beta is None else beta)
    w = ref_window(n, b32).astype(np.float64)
    return (w * ref_sinc_fc(n, fpass, fstop)).astype(np.float32)


def random_designs(seed, count, min_width, atten_range):
    """(fpass, fstop, atten_db) drawn at random, band edges at least min_width apart."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        fpass = float(rng.uniform(0.0, 0.9))
        yield fpass, float(rng.uniform(fpass + min_width, 1.0)), float(rng.uniform(*atten_range))


# ---------------------------------------------------------------- tests

class TestDefaults:
    def test_39_taps(self):
        h = design_lowpass()
        assert h.dtype == np.float32 and h.shape == (39,)
        assert h[19] == 0.5
        assert np.array_equal(h, h[::-1])
        assert h[0] == pytest.approx(-0.000342, abs=5e-7)
        assert h.sum(dtype=np.float64) == pytest.approx(0.99995, abs=2e-5)

    def test_keywords_and_positions(self):
        h = design_lowpass()
        assert same_bits(design_lowpass(0.4, 0.6, 60.0), h)
        assert same_bits(design_lowpass(atten_db=60.0, fstop=0.6, fpass=0.4), h)
        assert same_bits(design_lowpass(0.4), h)

    def test_narrow_band(self):
        h = design_lowpass(0.2, 0.3, 60.0)
        assert h.shape == (75,)
        assert h[37] == 0.25
        assert np.array_equal(h, h[::-1])
        assert h.sum(dtype=np.float64) == pytest.approx(1.0003, abs=5e-5)

    def test_every_call_is_a_new_array(self):
        a, b = design_lowpass(), design_lowpass()
        assert a is not b and not np.shares_memory(a, b)
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata

    def test_feeds_fir_as_real_taps(self):
        h = design_lowpass(0.2, 0.3, 60.0)
        fir = FIR(h)
        assert fir.is_real is True and fir.num_taps == len(h)


class TestCount:
    @pytest.mark.parametrize("fpass, fstop, atten, n", [
        (0.4, 0.6, 60.0, 39), (0.2, 0.3, 60.0, 75), (0.4, 0.6, 8.0, 3),
        (0.4, 0.6, 4.0, 1), (0.6, 0.5, 10.0, 1), (0.0, 1.0, 100.0, 15),
    ])
    def test_lengths(self, fpass, fstop, atten, n):
        assert len(design_lowpass(fpass, fstop, atten)) == n == ref_count(atten, fpass, fstop) | 1

    def test_one_tap_is_the_cutoff(self):
        h = design_lowpass(0.2, 0.4, 4.0)
        assert same_bits(h, np.array([0.3], np.float32))

    def test_reversed_band_edges_make_numpy_refuse(self):
        """q <= -3 gives a negative count; NumPy's array creation refuses it."""
        with pytest.raises(ValueError, match="negative"):
            design_lowpass(0.6, 0.4, 60.0)

    @pytest.mark.parametrize("args", [
        (0.5, 0.5, 60.0), (0.4, 0.6, -math.inf), (math.nan, 0.6, 60.0),
        (0.4, math.nan, 60.0), (0.4, 0.6, math.nan), (0.4, 0.6, math.inf),
        (0.0, 2e-9, 60.0), (0.4, 0.4 - 2e-9, 60.0), (0.0, 1.0, 1e12),
    ])
    def test_no_finite_count(self, args):
        """The count guard: q infinite, NaN, or outside the 32-bit range."""
        with pytest.raises(ValueError, match=NO_COUNT):
            design_lowpass(*args)

    @pytest.mark.parametrize("args", [("0.4",), (0.4, None), (0.4, 0.6, 60.0, 1.0)])
    def test_parser_errors(self, args):
        with pytest.raises(TypeError):
            design_lowpass(*args)

    def test_unknown_keyword(self):
        with pytest.raises(TypeError):
            design_lowpass(cutoff=0.5)


class TestBeta:
    def test_values(self):
        assert ref_beta(50.0) == pytest.approx(4.5335, abs=1e-4)
        assert ref_beta(50.0001) == pytest.approx(4.5513, abs=1e-4)
        assert np.float32(ref_beta(60.0)) == np.float32(5.6532602)
        assert ref_beta(21.0) == 0.0 and ref_beta(20.0) == 0.0 and ref_beta(math.nan) == 0.0

    def test_50_db_takes_the_middle_formula(self):
        h = design_lowpass(0.4, 0.6, 50.0)
        high = 0.1102 * 50.0 - 0.9587399999999999
        assert same_bits(h, ref_design(0.4, 0.6, 50.0))
        assert not same_bits(h, ref_design(0.4, 0.6, 50.0, beta=high))

    def test_just_above_50_db_takes_the_first(self):
        h = design_lowpass(0.4, 0.6, 50.0001)
        mid = 0.5842 * math.pow(29.0001, 0.4) + 0.07886 * 29.0001
        assert same_bits(h, ref_design(0.4, 0.6, 50.0001))
        assert not same_bits(h, ref_design(0.4, 0.6, 50.0001, beta=mid))

    def test_beta_is_rounded_to_float32(self):
        h = design_lowpass(0.4, 0.6, 60.0)
        assert same_bits(h, ref_design(0.4, 0.6, 60.0))
        assert not same_bits(h, ref_design(0.4, 0.6, 60.0, beta=np.float32(5.6532602) * (1 + 1e-6)))

    def test_window_ends(self):
        """End values 1/I0(beta), about 0.020388 at 60 dB, read back through
        the first tap."""
        h = design_lowpass()
        w0 = h[0] / ref_sinc_fc(39, 0.4, 0.6)[0]
        assert w0 == pytest.approx(0.020388, rel=2e-5)
        assert ref_window(39, np.float32(ref_beta(60.0)))[0] == pytest.approx(0.020388, rel=2e-5)

    @pytest.mark.parametrize("atten", [21.0, 20.999, 15.0, 10.0])
    def test_rectangular_window(self, atten):
        h = design_lowpass(0.4, 0.6, atten)
        sinc = ref_sinc_fc(len(h), 0.4, 0.6).astype(np.float32)
        assert same_bits(h, sinc)  # every window value is exactly 1


class TestReference:
    @pytest.mark.parametrize("fpass, fstop, atten", [
        (0.4, 0.6, 60.0), (0.2, 0.3, 60.0), (0.1, 0.2, 21.0), (0.1, 0.2, 50.0),
        (0.25, 0.35, 50.0001), (0.0, 0.5, 120.0), (0.6, 0.5, 10.0),
        (0.9, 0.95, 80.0), (-0.2, 0.3, 40.0), (0.5, 0.7, 4.0),
    ])
    def test_named_cases(self, fpass, fstop, atten):
        assert same_bits(design_lowpass(fpass, fstop, atten), ref_design(fpass, fstop, atten))

    @pytest.mark.parametrize("seed", range(8))
    def test_random_grid(self, seed):
        for fpass, fstop, atten in random_designs(seed, 12, 0.05, (5.0, 110.0)):
            h = design_lowpass(fpass, fstop, atten)
            assert same_bits(h, ref_design(fpass, fstop, atten)), (fpass, fstop, atten)

    @pytest.mark.parametrize("seed", range(3))
    def test_random_symmetry_and_centre(self, seed):
        rng = np.random.default_rng(100 + seed)
        for _ in range(20):
            fpass = float(rng.uniform(0.0, 0.9))
            fstop = float(rng.uniform(fpass + 0.02, 1.0))
            h = design_lowpass(fpass, fstop, float(rng.uniform(0.0, 120.0)))
            assert np.array_equal(h.view(np.uint32), h[::-1].view(np.uint32))
            assert h[len(h) // 2] == np.float32((fpass + fstop) / 2)


class TestScipyWindow:
    @pytest.mark.parametrize("n, atten", [(2, 60.0), (3, 30.0), (39, 60.0), (75, 60.0),
                                          (101, 35.0), (257, 96.0)])
    def test_reference_window(self, n, atten):
        windows = pytest.importorskip("scipy.signal.windows")
        beta = np.float32(ref_beta(atten))
        expect = windows.kaiser(n, float(beta))
        w = ref_window(n, beta)
        assert np.all(np.abs(w - expect) <= np.spacing(np.float32(expect)))

    @pytest.mark.parametrize("fpass, fstop, atten", [
        (0.4, 0.6, 60.0), (0.2, 0.3, 60.0), (0.1, 0.15, 90.0), (0.3, 0.5, 35.0),
    ])
    def test_taps(self, fpass, fstop, atten):
        windows = pytest.importorskip("scipy.signal.windows")
        h = design_lowpass(fpass, fstop, atten)
        beta = np.float32(ref_beta(atten))
        expect = windows.kaiser(len(h), float(beta)) * ref_sinc_fc(len(h), fpass, fstop)
        # One rounding of the window and one of the tap.
        assert np.all(np.abs(h - expect) <= 2 * np.spacing(np.abs(np.float32(expect))))


class TestAllocation:
    @pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
    @pytest.mark.skipif("address" in os.environ.get("LD_PRELOAD", "") or
                        "ASAN_OPTIONS" in os.environ, reason="the sanitizer reserves address space")
    def test_window_buffer_failure(self):
        """kaiser_lowpass's temporary window cannot be had while the result
        array could: MemoryError, and the result array is released."""
        script = textwrap.dedent("""
            import resource, tracemalloc
            import numpy as np
            from kestrix.filter import design_lowpass
            n_target = 50_000_000
            fstop = 2 * 52.0 / (14.357078426905355 * n_target)
            with open("/proc/self/status") as f:
                vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (vm + 300 * 2**20, resource.RLIM_INFINITY))
            tracemalloc.start()
            try:
                design_lowpass(0.0, fstop, 60.0)
            except MemoryError as e:
                print("MemoryError", repr(str(e)))
            else:
                print("no error")
            print("held", tracemalloc.get_traced_memory()[0] // 2**20)
        """)
        r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=120)
        assert r.returncode == 0, r.stderr
        lines = r.stdout.split("\n")
        assert lines[0].startswith("MemoryError")
        assert lines[1] == "held 0"  # the 200 MB result array was released


class TestHelp:
    def test_opening(self):
        assert design_lowpass.__doc__.startswith(
            "design_lowpass(fpass=0.4, fstop=0.6, atten_db=60.0) -> ndarray\n\n"
            "Kaiser-windowed-sinc lowpass taps, sized by kaiser_num_taps, with\n"
            "Nyquist-normalised band edges.")


class TestPrivateHelpers:
    """_kaiser_beta / _kaiser_num_taps: what the command prints about a design."""

    @pytest.mark.parametrize("seed", range(4))
    def test_equal_to_the_design(self, seed):
        from kestrix.filter import _kaiser_beta, _kaiser_num_taps

        for fpass, fstop, atten in random_designs(200 + seed, 25, 0.02, (8.5, 120.0)):
            h = design_lowpass(fpass, fstop, atten)
            beta = _kaiser_beta(atten)
            assert _kaiser_num_taps(fpass, fstop, atten) == len(h)
            assert beta == float(np.float32(ref_beta(atten)))
            assert same_bits(h, ref_design(fpass, fstop, atten, beta=beta))

    def test_refusals_match_the_designer(self):
        from kestrix.filter import _kaiser_beta, _kaiser_num_taps

        with pytest.raises(ValueError, match=NO_COUNT):
            _kaiser_num_taps(0.5, 0.5, 60.0)
        with pytest.raises(TypeError):
            _kaiser_beta("60")
        assert _kaiser_beta(float("nan")) == 0.0
