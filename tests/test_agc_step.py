"""Per-sample AGC path: the scalar model checked against the published
kernel values, every edge case of the per-sample loop bit for bit, and the
native step compared with the model on random inputs and parameters."""

import math

import numpy as np
import pytest

from kestrix.agc import AGC

import agc_reference as ref
from conftest import field, make

NAN = math.nan
INF = math.inf
CLIP = 999451.5


def bits(z):
    """The two float32 bit patterns of a complex returned by step."""
    return (ref.f32_bits(ref.f32(z.real)), ref.f32_bits(ref.f32(z.imag)))


def model_bits(pair):
    return (ref.f32_bits(pair[0]), ref.f32_bits(pair[1]))


def model_step(m, z):
    """The model's step for a Python number, its parts rounded to float32."""
    z = complex(z)
    return model_bits(ref.agc_step(m, ref.f32(z.real), ref.f32(z.imag)))


class TestReferenceKernels:
    """The model's kernels reproduce the published numbers."""

    @pytest.mark.parametrize("value, pattern", sorted(ref.CONSTANT_BITS.items(), key=lambda kv: kv[1]))
    def test_constant_bits(self, value, pattern):
        assert ref.double_bits(value) == pattern

    @pytest.mark.parametrize("x, y", [
        (0.0, 1.0), (-1022.0, 2.2250738585072014e-308), (-1022.5, 0.0),
        (NAN, 0.0), (2000.0, 8.98846567431158e307), (1023.0, 8.98846567431158e307),
        (-1023.0, 0.0), (-INF, 0.0), (INF, 8.98846567431158e307), (1.0, 2.0), (-1.0, 0.5)])
    def test_fast_exp2(self, x, y):
        assert ref.double_bits(ref.fast_exp2(x)) == ref.double_bits(y)

    def test_fast_exp2_error_bound(self):
        for x in np.linspace(-20.0, 20.0, 4001):
            x = float(x)
            assert abs(ref.fast_exp2(x) / 2.0**x - 1.0) < 7.7e-4

    @pytest.mark.parametrize("db, amp", [(20.0, 9.999961699951369), (-12.0, 0.251188643150953)])
    def test_db_to_amp(self, db, amp):
        assert ref.db_to_amp(db) == amp

    def test_clip_level(self):
        assert ref.f32_bits(ref.db_to_amp(120.0)) == 0x497401B8

    @pytest.mark.parametrize("p, db", [
        (1.0, 0.0), (2.0, 3.010299956639812), (1.75, 2.4276115291962386),
        (1e-30, -300.00004019312837), (2.0**257, 773.6470888564317)])
    def test_power_to_db(self, p, db):
        assert ref.power_to_db(p) == db

    def test_power_to_db_error_bound(self):
        for p in np.geomspace(1e-3, 1e3, 3001):
            assert abs(ref.power_to_db(float(p)) - 10.0 * math.log10(p)) < 0.0079

    def test_applied_gain_clamps(self):
        assert ref.applied_gain_db(0.0) == -6153.053111371775
        assert ref.applied_gain_db(NAN) == -6153.053111371775
        assert ref.applied_gain_db(INF) == 6165.094311198335

    def test_model_first_steps(self):
        m = ref.AGCModel()
        assert model_bits(ref.agc_step(m, 4.0, 0.0)) == (ref.f32_bits(4.0), 0)
        assert (m.p_avg, m.gain_db) == (1.75, -0.024276115291962386)


class TestPublishedSteps:
    def test_on_target_sample(self):
        a = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)
        assert a.step(1.0 + 0.0j) == 1 + 0j
        assert a.gain_db == 0.0
        assert field(a, "p_avg") == 1.0

    def test_first_loud_sample(self):
        a = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)
        assert a.step(4.0 + 0.0j) == 4 + 0j
        assert a.gain_db == -0.024276115291962386
        assert round(a.gain_db, 6) == -0.024276
        assert field(a, "p_avg") == 1.75
        # The gain the sample saw is still unity.
        assert a.applied_gain_db == 0.0

    def test_second_sample_uses_new_command(self):
        a = AGC()
        a.step(4.0)
        y = a.step(4.0)
        g = ref.db_to_amp(-0.024276115291962386)
        assert y == complex(np.float32(g) * np.float32(4.0), 0.0)
        assert a.applied_gain_db == 20.0 * math.log10(g)

    def test_alpha_above_one(self):
        a = AGC(alpha=2.0)
        a.step(4.0 + 0.0j)
        assert field(a, "p_avg") == 16.0
        assert a.gain_db == -0.12041199826559248

    def test_alpha_exactly_one_replaces_detector(self):
        a = AGC(alpha=1.0)
        a.step(3.0 + 4.0j)
        assert field(a, "p_avg") == 25.0

    def test_zero_loop_bw_still_updates(self):
        """gain_db stays, but every update recomputes clip_lin and clears
        hold_count."""
        a = AGC(loop_bw=0.0)
        a.gain_update_period = 3
        a.clip_db = 0.0
        for i in range(1, 7):
            y = a.step(5.0 + 0.0j)
            assert a.gain_db == 0.0
            assert field(a, "hold_count") == i % 3
            assert y == (5.0 if i < 3 else 1.0)

    def test_period_two(self):
        a = AGC()
        a.gain_update_period = 2
        assert a.step(4.0 + 0.0j) == 4 + 0j
        assert a.gain_db == 0.0
        assert field(a, "hold_count") == 1
        assert a.step(4.0 + 0.0j) == 4 + 0j
        assert field(a, "p_avg") == 2.4625
        assert a.gain_db == -0.0782748291472628
        assert field(a, "hold_count") == 0

    def test_period_zero_equals_one(self):
        a0, _ = make(gain_update_period=0)
        a1, _ = make(gain_update_period=1)
        rng = np.random.default_rng(5)
        for v in rng.standard_normal((200, 2)) * 3:
            z = complex(v[0], v[1])
            assert bits(a0.step(z)) == bits(a1.step(z))
        b0, b1 = a0.get_state(), a1.get_state()
        assert b0[:56] + b0[64:] == b1[:56] + b1[64:]
        assert field(a0, "gain_update_period") == 0

    def test_convergence(self):
        a = AGC()
        for _ in range(3000):
            y = a.step(4.0 + 0.0j)
        assert round(a.gain_db, 4) == -12.0412
        assert y == 1 + 0j

    def test_offset_target(self):
        a = AGC(ref_db=-10.0)
        x = math.sqrt(0.1)
        a.step(x)
        assert abs(a.gain_db - 1.18e-5) < 1e-7
        for _ in range(5000):
            a.step(x)
        assert abs(a.gain_db - 0.0012) < 1e-4

    def test_unit_power_is_exact_fixed_point(self):
        a = AGC()
        for z in (1.0, 1j, -1.0, -1j) * 50:
            assert a.step(z) == z
        assert a.gain_db == 0.0

    def test_huge_finite_input(self):
        a = AGC()
        assert a.step(1e30 + 0j) == complex(CLIP, 0.0)
        assert a.gain_db == -5.8698215929840885

    def test_input_beyond_float32(self):
        a = AGC()
        assert a.step(1e39 + 0j) == complex(CLIP, 0.0)
        assert a.gain_db == -7.6063560684894576
        assert field(a, "p_avg") == (ref.AGC_P_MAX - 1.0) * 0.05 + 1.0

    def test_nan_component(self):
        a = AGC()
        y = a.step(complex(NAN, 0.0))
        assert bits(y) == (ref.f32_bits(-CLIP), 0)
        assert field(a, "p_avg") == (ref.AGC_P_MAX - 1.0) * 0.05 + 1.0

    def test_infinite_imaginary(self):
        a = AGC()
        assert a.step(complex(1.0, INF)) == complex(1.0, CLIP)
        assert field(a, "p_avg") == (ref.AGC_P_MAX - 1.0) * 0.05 + 1.0

    def test_negative_infinite(self):
        a = AGC()
        assert a.step(complex(-INF, -2.0)) == complex(-CLIP, -2.0)

    @pytest.mark.parametrize("z", [complex(-0.0, 0.0), complex(-0.0, -0.0),
                                   complex(0.0, -0.0), complex(0.0, 0.0)])
    def test_signed_zeros(self, z):
        y = AGC().step(z)
        assert bits(y) == bits(z)

    def test_nan_alpha(self):
        a = AGC(alpha=NAN)
        a.step(1.0)
        assert math.isnan(field(a, "p_avg"))
        assert a.gain_db == (0.0 - 773.6470888564317) * 0.01
        g1 = a.gain_db
        a.step(1.0)
        assert math.isnan(field(a, "p_avg"))
        assert a.gain_db == (0.0 - 773.6470888564317) * 0.01 + g1

    def test_nan_alpha_cleared_by_alpha_one(self):
        a = AGC(alpha=NAN)
        a.step(1.0)
        a.alpha = 1.0
        a.step(2.0)
        assert not math.isnan(field(a, "p_avg"))

    def test_huge_clip_db_no_clipping(self):
        a = AGC(loop_bw=0.0)
        a.clip_db = 800.0
        a.reset()
        assert field(a, "clip_lin") == INF
        assert a.step(3e38 + 0j) == complex(np.float32(3e38), 0.0)
        y = a.step(complex(NAN, 2.0))
        assert bits(y) == (ref.f32_bits(-np.inf), ref.f32_bits(2.0))

    @pytest.mark.parametrize("clip_db", [-1000.0, NAN])
    def test_zero_clip_level(self, clip_db):
        a = AGC()
        a.clip_db = clip_db
        a.reset()
        assert ref.f32_bits(field(a, "clip_lin")) == 0
        assert bits(a.step(complex(3.0, -2.0))) == (0, 0x80000000)
        assert bits(a.step(complex(NAN, 0.5))) == (0x80000000, 0)

    def test_long_zero_run(self):
        a = AGC()
        for i in range(1, 1000):
            y = a.step(0j)
            if y != 0:
                break
        assert 800 <= i <= 860
        assert y == complex(-CLIP, -CLIP)
        g = a.gain_db
        a.step(0j)
        assert a.gain_db < g - 5.0

    def test_float32_rounding_of_input(self):
        """Each part is rounded to float32 on its own before the gain."""
        y = AGC().step(complex(0.1, 1.0 / 3.0))
        assert y == complex(np.float32(0.1), np.float32(1.0 / 3.0))


class TestClipTiming:
    def test_fresh_object_clips_at_default(self):
        assert AGC().step(2e6 - 3e6j) == complex(CLIP, -CLIP)

    def test_clip_db_waits_for_update(self):
        a = AGC()
        a.gain_update_period = 4
        a.clip_db = 0.0
        for _ in range(3):
            assert a.step(2.0 + 0.0j) == 2 + 0j
        assert a.step(2.0 + 0.0j) == 1 + 0j
        assert a.step(-2.0 + 0.0j) == -1 + 0j

    def test_clip_db_next_step_at_default_period(self):
        a = AGC()
        a.clip_db = 0.0
        assert a.step(2.0 + 0.5j) == complex(1.0, 0.5)


class TestHold:
    def test_gain_held_for_period(self):
        a, m = make(gain_update_period=5)
        a.set_state(ref.with_field(a.get_state(), "gain_db", -6.0))
        m.gain_db = -6.0
        g = np.float32(ref.db_to_amp(-6.0))
        for i in range(5):
            y = a.step(1.0)
            assert y == complex(g, 0.0)
            assert field(a, "hold_count") == (i + 1) % 5
        assert a.gain_db != -6.0

    def test_lowered_period_fires_at_once(self):
        a = AGC()
        a.gain_update_period = 10
        for _ in range(6):
            a.step(4.0)
        assert a.gain_db == 0.0 and field(a, "hold_count") == 6
        a.gain_update_period = 3
        a.step(4.0)
        assert field(a, "hold_count") == 0
        assert a.gain_db != 0.0

    def test_period_coefficient(self):
        """k = (P * 4.0) * loop_bw at the update closing P samples."""
        a, m = make(gain_update_period=3, loop_bw=0.01, alpha=0.3)
        for z in (2.0, 1.5j, 3.0 - 1.0j, 0.5, 0.5):
            assert bits(a.step(z)) == model_step(m, z)
        assert a.get_state() == m.get_state()

    def test_huge_period(self):
        a, m = make(gain_update_period=-1)
        for _ in range(50):
            assert bits(a.step(4.0)) == model_step(m, 4.0)
        assert a.gain_db == 0.0
        assert a.get_state() == m.get_state()

    def test_step_after_block_uses_block_gain(self):
        """steps sets g_last but leaves hold_count; a held step applies it."""
        a = AGC()
        a.gain_update_period = 4
        a.step(1.0)
        a.steps(np.full(64, 4.0, np.complex64))
        g_last = field(a, "g_last")
        assert g_last != 1.0
        y = a.step(1.0)
        assert y == complex(np.float32(g_last), 0.0)

    def test_reset_refreshes_on_next_step(self):
        a = AGC()
        a.gain_update_period = 4
        a.step(1.0)
        a.set_state(ref.with_field(a.get_state(), "gain_db", 6.0))
        a.reset()
        assert a.step(2.0) == 2.0


class TestArguments:
    @pytest.mark.parametrize("x, y", [(2, 2 + 0j), (2.5, 2.5 + 0j), (True, 1 + 0j),
                                      (np.float64(0.5), 0.5 + 0j), (np.complex64(1 + 1j), 1 + 1j)])
    def test_number_kinds(self, x, y):
        assert AGC().step(x) == y

    def test_complex_protocol(self):
        class C:
            def __complex__(self):
                return 0.5 - 0.25j
        assert AGC().step(C()) == 0.5 - 0.25j

    def test_returns_complex(self):
        assert type(AGC().step(1.0)) is complex

    @pytest.mark.parametrize("args", [(), (1.0, 2.0), ("1.0",), (None,), ([1.0],)])
    def test_bad_arguments_leave_record(self, args):
        """Parser failure path of step: TypeError, record untouched."""
        a = AGC()
        a.step(3.0)
        before = a.get_state()
        with pytest.raises(TypeError):
            a.step(*args)
        assert a.get_state() == before

    def test_conversion_error_propagates(self):
        class Bad:
            def __complex__(self):
                raise ArithmeticError("nope")
        a = AGC()
        before = a.get_state()
        with pytest.raises(ArithmeticError):
            a.step(Bad())
        assert a.get_state() == before


def random_inputs(rng, n):
    """Samples over many magnitudes, with NaN, infinities and signed zeros."""
    mag = 10.0 ** rng.uniform(-6, 6, (n, 2))
    v = mag * rng.choice([-1.0, 1.0], (n, 2))
    pick = rng.random((n, 2))
    v[pick < 0.02] = NAN
    v[(pick >= 0.02) & (pick < 0.03)] = INF
    v[(pick >= 0.03) & (pick < 0.04)] = -INF
    v[(pick >= 0.04) & (pick < 0.06)] = 0.0
    v[(pick >= 0.06) & (pick < 0.08)] = -0.0
    v[(pick >= 0.08) & (pick < 0.09)] = 1e39
    return v


CONFIGS = [
    {},
    {"alpha": 1.0},
    {"alpha": 0.3, "loop_bw": 0.02, "ref_db": -10.0},
    {"gain_update_period": 2},
    {"gain_update_period": 7, "loop_bw": 0.01},
    {"gain_update_period": 0},
    {"clip_db": 0.0, "ref_db": 3.0},
    {"clip_db": 800.0, "alpha": 0.9},
    {"clip_db": NAN},
    {"alpha": 2.5, "loop_bw": 0.2},
    {"loop_bw": -0.001},
    {"alpha": NAN},
    {"ref_db": 40.0, "loop_bw": 0.1},
]


class TestAgainstModel:
    @pytest.mark.parametrize("config", CONFIGS, ids=lambda c: ",".join(f"{k}={v}" for k, v in c.items()) or "default")
    @pytest.mark.parametrize("seed", [1, 2])
    def test_random_stream(self, config, seed):
        rng = np.random.default_rng(seed)
        a, m = make(**config)
        v = random_inputs(rng, 600)
        if seed == 2:
            v = rng.standard_normal((600, 2)) * 10.0 ** rng.uniform(-3, 3)
        for i, (re, im) in enumerate(v):
            z = complex(re, im)
            assert bits(a.step(z)) == model_step(m, z), (i, z)
        assert a.get_state() == m.get_state()

    def test_parameters_changed_mid_stream(self):
        rng = np.random.default_rng(11)
        a, m = make()
        for i in range(1500):
            if i % 100 == 0:
                p = {"ref_db": float(rng.uniform(-20, 20)),
                     "loop_bw": float(rng.uniform(0, 0.05)),
                     "alpha": float(rng.uniform(0.01, 1.2)),
                     "clip_db": float(rng.uniform(-5, 30)),
                     "gain_update_period": int(rng.integers(0, 6))}
                for k, v in p.items():
                    setattr(a, k, v)
                    setattr(m, k, v)
            z = complex(*(rng.standard_normal(2) * 10.0 ** rng.uniform(-2, 2)))
            assert bits(a.step(z)) == model_step(m, z), i
        assert a.get_state() == m.get_state()

    def test_from_random_state(self):
        """Loop state taken from a blob (odd hold counts and gains)."""
        rng = np.random.default_rng(3)
        for trial in range(30):
            m = ref.AGCModel(float(rng.uniform(-10, 10)), float(rng.uniform(0, 0.1)),
                             float(rng.uniform(0, 1.5)))
            m.gain_update_period = int(rng.integers(0, 9))
            m.hold_count = int(rng.integers(0, 9))
            m.gain_db = float(rng.uniform(-40, 40))
            m.p_avg = float(10.0 ** rng.uniform(-8, 8))
            m.g_last = float(10.0 ** rng.uniform(-2, 2))
            m.clip_lin = np.float32(10.0 ** rng.uniform(-1, 3))
            a = AGC()
            a.set_state(m.get_state())
            for _ in range(40):
                z = complex(*(rng.standard_normal(2) * 10.0 ** rng.uniform(-3, 3)))
                assert bits(a.step(z)) == model_step(m, z)
            assert a.get_state() == m.get_state()

    def test_float32_edges(self):
        """Largest and smallest float32 magnitudes and subnormals."""
        fmax = float(np.finfo(np.float32).max)
        tiny = float(np.finfo(np.float32).smallest_subnormal)
        a, m = make(clip_db=800.0)
        a.reset()
        m.reset()
        for z in [complex(fmax, fmax), complex(-fmax, 0.0), complex(tiny, -tiny),
                  complex(3.5e38, 0.0), complex(1e-45, 1e-40), complex(fmax, -fmax)]:
            assert bits(a.step(z)) == model_step(m, z)
        assert a.get_state() == m.get_state()

    def test_power_sum_is_exact_squares(self):
        """p sums the widened squares in double: visible with alpha 1."""
        a = AGC(alpha=1.0)
        x = np.float32(1.0000001)
        a.step(complex(x, x))
        xd = float(x)
        assert field(a, "p_avg") == xd * xd + xd * xd
