"""Settling query: the published counts, argument refusals (answered with
0, never an exception), the shortcut, the sample limit, keywords, and the
native query against the scalar model of the loop it runs."""

import math
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from kestrix.agc import settling_samples

import agc_reference as ref

NAN = math.nan
INF = math.inf


class TestPublishedCounts:
    @pytest.mark.parametrize("args, count", [
        ((0.0025, 0.05, 6.0, 0.5), 225),
        ((0.0025, 0.05, -6.0, 0.5), 206),
        ((0.0025, 0.05, 40.0, 1.0), 378),
        ((0.0025, 0.05, -40.0, 1.0), 168),
        ((0.0025, 0.05, 20.0, 0.1), 458),
        ((0.01, 1.0, 10.0, 0.5), 74),
        ((0.0025, 1.0, 6.0, 0.5), 247),
    ])
    def test_count(self, args, count):
        assert settling_samples(*args) == count
        assert ref.settling_samples(*args) == count

    def test_returns_int(self):
        assert type(settling_samples(0.0025, 0.05, 6.0, 0.5)) is int
        assert type(settling_samples(0.0, 0.05, 6.0, 0.5)) is int

    def test_quiet_start_is_slower(self):
        assert settling_samples(0.0025, 0.05, 6.0, 0.5) > settling_samples(0.0025, 0.05, -6.0, 0.5)


class TestShortcut:
    @pytest.mark.parametrize("args", [
        (0.0025, 0.05, 0.0, 0.5), (0.1, 1.0, 0.0, 1e-300), (0.0025, 0.05, 6.0, 6.0),
        (0.0025, 0.05, -6.0, 6.0), (0.0025, 0.05, 1e300, INF), (1e-300, 0.5, 3.0, 3.0),
        (INF, 1.0, 2.0, 2.5)])
    def test_within_tolerance_at_start(self, args):
        assert settling_samples(*args) == 1

    def test_one_even_for_a_tiny_loop(self):
        """The shortcut runs before the loop: a huge sample limit costs nothing."""
        assert settling_samples(1e-300, 0.05, 0.0, 0.5) == 1


class TestRefusals:
    @pytest.mark.parametrize("args", [
        (0.0025, 0.0, 6.0, 0.5), (0.0025, -0.1, 6.0, 0.5), (0.0025, 1.5, 6.0, 0.5),
        (0.0025, NAN, 6.0, 0.5), (0.0025, INF, 6.0, 0.5), (0.0025, -INF, 6.0, 0.5),
        (0.0, 0.05, 6.0, 0.5), (-0.0, 0.05, 6.0, 0.5), (-0.01, 0.05, 6.0, 0.5),
        (NAN, 0.05, 6.0, 0.5), (-INF, 0.05, 6.0, 0.5),
        (0.0025, 0.05, 6.0, 0.0), (0.0025, 0.05, 6.0, -0.5), (0.0025, 0.05, 6.0, NAN),
        (0.0025, 0.05, 6.0, -INF),
        (0.0025, 0.05, INF, 0.5), (0.0025, 0.05, -INF, 0.5), (0.0025, 0.05, NAN, 0.5),
        # Refused before the shortcut could answer 1.
        (0.0, 0.05, 0.0, 0.5), (0.0025, 2.0, 0.0, 0.5), (0.0025, 0.05, INF, INF),
    ])
    def test_invalid_answers_zero(self, args):
        assert settling_samples(*args) == 0
        assert ref.settling_samples(*args) == 0

    def test_alpha_one_is_valid(self):
        assert settling_samples(0.0025, 1.0, 6.0, 0.5) > 0

    def test_infinite_tolerance_is_valid(self):
        assert settling_samples(0.0025, 0.05, 6.0, INF) == 1


class TestSampleLimit:
    def test_single_update_cannot_settle(self):
        """loop_bw 100: M = trunc(16/100) + 1 = 1, and one update misses."""
        assert settling_samples(100.0, 0.05, 6.0, 0.5) == 0

    def test_loop_bw_sixteen_two_samples(self):
        assert settling_samples(16.0, 0.05, 6.0, 0.5) == ref.settling_samples(16.0, 0.05, 6.0, 0.5)

    def test_infinite_loop_bw(self):
        assert settling_samples(INF, 0.5, 6.0, 0.5) == ref.settling_samples(INF, 0.5, 6.0, 0.5)

    def test_limit_reached(self):
        """A band narrower than the loop's residual error is never entered."""
        assert settling_samples(0.05, 0.05, 6.0, 1e-12) == 0
        assert ref.settling_samples(0.05, 0.05, 6.0, 1e-12) == 0

    def test_huge_quiet_error(self):
        """A loud error beyond the float32 range of the input amplitude."""
        for err in (-800.0, 800.0, -1e4, 1e4):
            assert settling_samples(0.05, 0.5, err, 1.0) == ref.settling_samples(0.05, 0.5, err, 1.0)


class TestSlices:
    """The binding runs the query in slices of 32768 steps and looks for
    signals in between."""

    # Counts of the query as one uninterrupted loop: answers just before, on
    # and after the slice boundaries 32768 and 65536, several slices long,
    # and a limit (800001 steps) that falls inside a slice.
    @pytest.mark.parametrize("args, count", [
        ((2e-05, 0.05, 6.0, 0.43098518190028146), 32767),
        ((2e-05, 0.05, 6.0, 0.4309595230949008), 32768),
        ((2e-05, 0.05, 6.0, 0.4309338658171233), 32769),
        ((2e-05, 0.05, 6.0, 0.019243437722892855), 65536),
        ((2e-05, 0.05, 6.0, 0.01924114646581046), 65537),
        ((2e-05, 1.0, -40.0, 0.01), 103774),
        ((2e-05, 0.002, 40.0, 0.01), 94872),
        ((1e-06, 1.0, 3.0, 0.1), 838436),
        ((2e-05, 0.05, 6.0, 1e-09), 0),
        ((0.0025, 0.002, -40.0, 0.01), 6360),
        ((0.3, 0.05, 40.0, 1.0), 17),
    ])
    def test_counts_unchanged(self, args, count):
        assert settling_samples(*args) == count

    def test_ctrl_c_interrupts_a_query_of_any_length(self):
        """SIGINT during a query of about 10**301 steps: KeyboardInterrupt
        (0.2 s is the promise; the bound leaves room for a loaded machine
        and still fails a loop that never looks)."""
        script = (
            "import sys, time\n"
            "from kestrix.agc import settling_samples\n"
            "print('ready', flush=True)\n"
            "try:\n"
            "    settling_samples(1e-300, 0.05, 6.0, 0.5)\n"
            "except KeyboardInterrupt:\n"
            "    print(time.monotonic(), flush=True)\n")
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 text=True)
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=30)
        finally:
            child.kill()
            child.wait()
        assert child.returncode == 0
        assert float(out) - sent < 1.0


class TestArguments:
    def test_keywords_any_order(self):
        assert settling_samples(tol_db=0.5, gain_err_db=6.0, alpha=0.05, loop_bw=0.0025) == 225

    def test_mixed(self):
        assert settling_samples(0.0025, 0.05, tol_db=1.0, gain_err_db=40.0) == 378

    def test_ints_accepted(self):
        assert settling_samples(1, 1, 6, 1) == ref.settling_samples(1.0, 1.0, 6.0, 1.0)

    def test_float_protocol(self):
        class Num:
            def __float__(self):
                return 0.0025
        assert settling_samples(Num(), 0.05, 6.0, 0.5) == 225

    @pytest.mark.parametrize("args, kwargs", [
        ((0.0025, 0.05, 6.0), {}),
        ((), {}),
        ((0.0025, 0.05, 6.0, 0.5, 1.0), {}),
        ((0.0025, 0.05, 6.0, "0.5"), {}),
        ((0.0025, None, 6.0, 0.5), {}),
        ((0.0025, 0.05, 6.0), {"tol": 0.5}),
        ((0.0025, 0.05, 6.0, 0.5), {"loop_bw": 0.01}),
    ])
    def test_type_errors(self, args, kwargs):
        """Argument parser path ("dddd"): missing, extra, unknown or
        non-numeric arguments raise the parser's TypeError."""
        with pytest.raises(TypeError):
            settling_samples(*args, **kwargs)


class TestAgainstModel:
    def test_random_arguments(self):
        rng = np.random.default_rng(2024)
        nonzero = 0
        for _ in range(40):
            loop_bw = float(10.0 ** rng.uniform(math.log10(0.005), -0.5))
            alpha = float(rng.choice([1.0, float(rng.uniform(0.001, 1.0))]))
            err = float(rng.uniform(-60.0, 60.0))
            tol = float(10.0 ** rng.uniform(-2.5, 0.5))
            got = settling_samples(loop_bw, alpha, err, tol)
            assert got == ref.settling_samples(loop_bw, alpha, err, tol), (loop_bw, alpha, err, tol)
            nonzero += got > 1
        assert nonzero > 10

    @pytest.mark.parametrize("tol", [0.5, 0.05, 0.01, 0.003])
    def test_tight_tolerances(self, tol):
        for err in (-30.0, -3.0, 3.0, 30.0):
            assert settling_samples(0.01, 0.1, err, tol) == ref.settling_samples(0.01, 0.1, err, tol)

    def test_matches_per_sample_path(self):
        """The count is the first step after which |gain_db - err| <= tol of
        an AGC stepped with the same constant input."""
        from kestrix.agc import AGC
        err, tol = 6.0, 0.5
        amp = np.float32(math.pow(10.0, -0.05 * err))
        c = np.float32(1.0) * amp
        z = complex(c * np.float32(0.6), c * np.float32(0.8))
        a = AGC(0.0, 0.0025, 0.05)
        for i in range(1, 1000):
            a.step(z)
            if abs(a.gain_db - err) <= tol:
                break
        assert abs(settling_samples(0.0025, 0.05, err, tol) - i) <= 2
