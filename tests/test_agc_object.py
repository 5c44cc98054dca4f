"""AGC object: module and type shape, construction, properties, reset,
life cycle and context manager, and the kernels' published values as the
object shows them (clip level, applied_gain_db and its clamps)."""

import gc
import math
import struct
import weakref

import numpy as np
import pytest

import kestrix.agc as agc_module
from kestrix.agc import AGC

import agc_reference as ref

DESTROYED = "^destroyed$"
U64_MAX = 2**64 - 1

METHODS = ["reset", "step", "steps", "set_telemetry", "state_bytes",
           "get_state", "set_state", "destroy", "__enter__", "__exit__"]
PROPERTIES = ["gain_db", "applied_gain_db", "ref_db", "loop_bw", "alpha",
              "decim", "clip_db", "gain_update_period"]
FLOAT_RW = ["ref_db", "loop_bw", "alpha", "clip_db"]
INT_RW = ["decim", "gain_update_period"]
READ_ONLY = ["gain_db", "applied_gain_db"]

PROPERTY_DOCS = {
    "gain_db": "Gain db.\n",
    "ref_db": "Ref db.\n",
    "loop_bw": "Loop bw.\n",
    "alpha": "Alpha.\n",
    "decim": ("Envelope decimation: the detector and loop filter run once per "
              "chunk of this many samples, >= 1 (typically 8, 16 or 32).\n"),
    "clip_db": "Clip db.\n",
    "gain_update_period": "Gain update period.\n",
}


def blob_with(agc, **fields):
    """The object's blob with some fields replaced."""
    blob = agc.get_state()
    for name, value in fields.items():
        blob = ref.with_field(blob, name, value)
    return blob


def changed_fields(before, after):
    """Names of the blob fields whose bytes differ."""
    out = []
    for name, (off, fmt) in ref.BLOB_FIELDS.items():
        size = struct.calcsize(fmt)
        if before[off:off + size] != after[off:off + size]:
            out.append(name)
    return out


class Destroyer:
    """Converts to a number, destroying the AGC on the way."""

    def __init__(self, agc, value=1.0):
        self.agc = agc
        self.value = value

    def __float__(self):
        self.agc.destroy()
        return self.value

    def __complex__(self):
        self.agc.destroy()
        return complex(self.value)


class TestModule:
    def test_help_opening(self):
        assert agc_module.__doc__.startswith(
            "Automatic gain control: a log-domain feedback AGC (AGC) that "
            "drives signal power toward a reference level.")

    def test_help_has_examples(self):
        assert "Examples" in agc_module.__doc__
        assert "from kestrix.agc import AGC" in agc_module.__doc__

    def test_public_names(self):
        assert agc_module.AGC is AGC
        assert callable(agc_module.settling_samples)

    def test_type_name(self):
        assert AGC.__name__ == "AGC"
        assert AGC.__module__ == "agc"

    def test_type_help_opening(self):
        assert AGC.__doc__.startswith(
            "Construct a log-domain feedback AGC and return its heap state.")


class TestTypeShape:
    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (AGC,), {})

    def test_not_gc_tracked(self):
        assert not gc.is_tracked(AGC())

    def test_no_instance_dict(self):
        a = AGC()
        with pytest.raises(AttributeError):
            a.extra = 1

    def test_no_weakref(self):
        with pytest.raises(TypeError):
            weakref.ref(AGC())

    def test_method_table_order(self):
        names = [k for k in AGC.__dict__ if k in METHODS]
        assert names == METHODS

    def test_property_table_order(self):
        names = [k for k in AGC.__dict__ if k in PROPERTIES]
        assert names == PROPERTIES

    @pytest.mark.parametrize("name, text", sorted(PROPERTY_DOCS.items()))
    def test_property_help(self, name, text):
        assert getattr(AGC, name).__doc__.startswith(text)

    def test_applied_gain_db_help_mentions_its_meaning(self):
        doc = AGC.applied_gain_db.__doc__
        assert "g_last" in doc and "log10" in doc

    def test_step_help_opening(self):
        assert AGC.step.__doc__.startswith("step(x) -> float _Complex\n")

    def test_steps_help_opening(self):
        assert AGC.steps.__doc__.startswith("steps(x[, out]) -> ndarray\n")

    @pytest.mark.parametrize("name", ["reset", "state_bytes", "get_state", "destroy", "__enter__"])
    def test_no_argument_methods_refuse_arguments(self, name):
        """Methods without arguments go through the no-argument calling style."""
        with pytest.raises(TypeError):
            getattr(AGC(), name)(1)

    def test_step_is_positional_only(self):
        with pytest.raises(TypeError):
            AGC().step(x=1.0)

    def test_set_state_takes_one_positional(self):
        a = AGC()
        with pytest.raises(TypeError):
            a.set_state(blob=a.get_state())
        with pytest.raises(TypeError):
            a.set_state()

    def test_exit_ignores_any_positional_arguments(self):
        a = AGC()
        assert a.__exit__(1, 2, 3, 4, 5) is None
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.reset()


class TestConstruction:
    def test_defaults(self):
        a = AGC()
        assert (a.ref_db, a.loop_bw, a.alpha) == (0.0, 0.0025, 0.05)
        assert (a.decim, a.clip_db, a.gain_update_period) == (8, 120.0, 1)
        assert (a.gain_db, a.applied_gain_db) == (0.0, 0.0)

    def test_getter_types(self):
        a = AGC()
        for name in ["gain_db", "applied_gain_db"] + FLOAT_RW:
            assert type(getattr(a, name)) is float, name
        for name in INT_RW:
            assert type(getattr(a, name)) is int, name

    def test_positional(self):
        a = AGC(1.0, 0.01, 0.5)
        assert (a.ref_db, a.loop_bw, a.alpha) == (1.0, 0.01, 0.5)

    def test_keywords_any_order(self):
        a = AGC(alpha=0.25, ref_db=-3.0, loop_bw=0.125)
        assert (a.ref_db, a.loop_bw, a.alpha) == (-3.0, 0.125, 0.25)

    def test_ints_accepted(self):
        a = AGC(2, 1, 1)
        assert (a.ref_db, a.loop_bw, a.alpha) == (2.0, 1.0, 1.0)

    @pytest.mark.parametrize("kwargs", [
        {"alpha": 2.0}, {"loop_bw": -1.0}, {"ref_db": math.inf},
        {"alpha": 0.0}, {"loop_bw": 1e300}])
    def test_odd_values_stored_unchanged(self, kwargs):
        a = AGC(**kwargs)
        for name, value in kwargs.items():
            assert getattr(a, name) == value

    def test_nan_ref_db_stored(self):
        a = AGC(ref_db=math.nan)
        assert math.isnan(a.ref_db)
        assert math.isnan(ref.blob_field(a.get_state(), "p_avg"))

    def test_seed_uses_product_with_point_one(self):
        """p_avg = pow(10, ref_db * 0.1), not pow(10, ref_db / 10)."""
        found = 0
        for r in np.linspace(-100.0, 100.0, 2001):
            r = float(r)
            mul = math.pow(10.0, r * 0.1)
            div = math.pow(10.0, r / 10.0)
            if mul != div:
                found += 1
                p = ref.blob_field(AGC(ref_db=r).get_state(), "p_avg")
                assert p == mul, r
        assert found > 0

    @pytest.mark.parametrize("args, kwargs", [
        ((1.0, 2.0, 3.0, 4.0), {}),
        ((), {"gain": 1.0}),
        (("x",), {}),
        ((None,), {}),
        ((1.0,), {"ref_db": 2.0}),
    ])
    def test_argument_errors(self, args, kwargs):
        """Constructor parser path ("|ddd"): the parser's TypeError."""
        with pytest.raises(TypeError):
            AGC(*args, **kwargs)

    def test_init_again_starts_afresh(self):
        """A second __init__ on a live object installs a fresh record."""
        a = AGC()
        a.steps(np.full(64, 4.0, np.complex64))
        a.decim = 16
        assert a.gain_db != 0.0
        a.__init__(1.0, 0.01, 0.5)
        assert (a.ref_db, a.loop_bw, a.alpha, a.decim) == (1.0, 0.01, 0.5, 8)
        assert a.get_state() == AGC(1.0, 0.01, 0.5).get_state()

    def test_init_again_many_times(self):
        a = AGC()
        for i in range(2000):
            a.__init__(float(i), 0.01, 0.5)
        assert a.ref_db == 1999.0
        assert a.get_state() == AGC(1999.0, 0.01, 0.5).get_state()


class TestProperties:
    @pytest.mark.parametrize("name", FLOAT_RW)
    @pytest.mark.parametrize("value", [-3.5, 0.0, -0.0, 1e300, math.inf, -math.inf])
    def test_float_round_trip(self, name, value):
        a = AGC()
        setattr(a, name, value)
        got = getattr(a, name)
        assert ref.double_bits(got) == ref.double_bits(value)

    @pytest.mark.parametrize("name", FLOAT_RW)
    def test_float_nan(self, name):
        a = AGC()
        setattr(a, name, math.nan)
        assert math.isnan(getattr(a, name))

    @pytest.mark.parametrize("name", FLOAT_RW)
    def test_float_accepts_int_and_float_protocol(self, name):
        class Num:
            def __float__(self):
                return 7.25
        a = AGC()
        setattr(a, name, 3)
        assert getattr(a, name) == 3.0
        setattr(a, name, Num())
        assert getattr(a, name) == 7.25

    @pytest.mark.parametrize("name", INT_RW)
    @pytest.mark.parametrize("value, stored", [
        (0, 0), (1, 1), (32, 32), (-1, U64_MAX), (-8, 2**64 - 8),
        (2**64 + 8, 8), (2**63, 2**63), (U64_MAX, U64_MAX)])
    def test_unsigned_wraps(self, name, value, stored):
        a = AGC()
        setattr(a, name, value)
        assert getattr(a, name) == stored

    @pytest.mark.parametrize("name", INT_RW)
    def test_unsigned_refuses_float(self, name):
        """The "K" converter takes ints only."""
        a = AGC()
        before = getattr(a, name)
        with pytest.raises(TypeError):
            setattr(a, name, 8.0)
        assert getattr(a, name) == before

    @pytest.mark.parametrize("name", FLOAT_RW + INT_RW)
    @pytest.mark.parametrize("bad", ["1.0", None, [1], b"2"])
    def test_wrong_type_leaves_value(self, name, bad):
        """Converter failure path of every setter: TypeError, nothing stored."""
        a = AGC()
        setattr(a, name, 3)
        before = a.get_state()
        with pytest.raises(TypeError):
            setattr(a, name, bad)
        assert getattr(a, name) == 3
        assert a.get_state() == before

    @pytest.mark.parametrize("name", FLOAT_RW + INT_RW)
    def test_delete_raises_type_error(self, name):
        """Setter called with no value (delete): TypeError, nothing stored."""
        a = AGC()
        setattr(a, name, 2)
        before = a.get_state()
        with pytest.raises(TypeError):
            delattr(a, name)
        assert getattr(a, name) == 2
        assert a.get_state() == before

    @pytest.mark.parametrize("name", READ_ONLY)
    def test_read_only(self, name):
        a = AGC()
        with pytest.raises(AttributeError):
            setattr(a, name, 1.0)
        with pytest.raises(AttributeError):
            delattr(a, name)
        assert getattr(a, name) == 0.0

    @pytest.mark.parametrize("name", FLOAT_RW)
    def test_float_conversion_error_propagates(self, name):
        """A __float__ that raises: its own exception, nothing stored."""
        class Bad:
            def __float__(self):
                raise ZeroDivisionError("no number here")
        a = AGC()
        before = a.get_state()
        with pytest.raises(ZeroDivisionError):
            setattr(a, name, Bad())
        assert a.get_state() == before

    @pytest.mark.parametrize("name, value", [
        ("ref_db", -7.5), ("loop_bw", 0.125), ("alpha", 0.75), ("decim", 3),
        ("clip_db", 6.0), ("gain_update_period", 5)])
    def test_writes_only_its_own_field(self, name, value):
        """No other field (gain, detector, clip cache, counter) is recomputed."""
        a = AGC()
        a.gain_update_period = 3
        a.step(2.0 + 1.0j)
        before = a.get_state()
        readings = {p: getattr(a, p) for p in PROPERTIES if p != name}
        setattr(a, name, value)
        assert changed_fields(before, a.get_state()) == [name]
        for p, v in readings.items():
            assert getattr(a, p) == v, p
        assert getattr(a, name) == value

    def test_zero_decim_and_period_read_back_zero(self):
        a = AGC()
        a.decim = 0
        a.gain_update_period = 0
        assert (a.decim, a.gain_update_period) == (0, 0)


class TestHostileConversion:
    @pytest.mark.parametrize("name", FLOAT_RW)
    def test_setter_float_destroys_object(self, name):
        """Setter path: the value's __float__ calls destroy(); the handle is
        checked again after the conversion, so nothing is stored into the
        released record."""
        a = AGC()
        with pytest.raises(RuntimeError, match=DESTROYED):
            setattr(a, name, Destroyer(a, 5.0))
        with pytest.raises(RuntimeError, match=DESTROYED):
            getattr(a, name)
        assert a.destroy() is None

    @pytest.mark.parametrize("name", FLOAT_RW)
    def test_float_subclass_is_read_directly(self, name):
        """The "d" converter reads a float subclass's value and runs none of
        its code, so an overridden __float__ cannot reach the object."""
        a = AGC()

        class Sub(float):
            def __float__(self):
                a.destroy()
                return 0.0

        setattr(a, name, Sub(2.5))
        assert getattr(a, name) == 2.5

    def test_step_complex_destroys_object(self):
        """step path: __complex__ calls destroy() during the "D" conversion."""
        a = AGC()
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.step(Destroyer(a, 2.0))
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.step(1.0)

    def test_step_float_destroys_object(self):
        """step path: an object with only __float__ destroys during "D"."""
        a = AGC()

        class OnlyFloat:
            def __float__(self):
                a.destroy()
                return 1.0

        with pytest.raises(RuntimeError, match=DESTROYED):
            a.step(OnlyFloat())

    def test_init_again_from_inside_conversion(self):
        """Setter path: the conversion re-initialises the object. The store
        goes to the record that is live after the conversion (or the call
        reports an error), never into the released one."""
        a = AGC()

        class Reinit:
            def __float__(self):
                a.__init__(1.0, 0.5, 0.5)
                return 9.0

        try:
            a.ref_db = Reinit()
        except RuntimeError:
            assert a.ref_db == 1.0
        else:
            # No error reported: the value must have reached the live record.
            assert a.ref_db == 9.0
        assert a.loop_bw == 0.5


class TestLifeCycle:
    def everything(self, a):
        blob = AGC().get_state()
        calls = [
            lambda: a.reset(),
            lambda: a.step(1.0),
            lambda: a.step("not a number"),
            lambda: a.steps(np.ones(4, np.complex64)),
            lambda: a.steps(object(), out=object()),
            lambda: a.set_telemetry(None, "p"),
            lambda: a.state_bytes(),
            lambda: a.get_state(),
            lambda: a.set_state(blob),
            lambda: a.set_state(12345),
        ]
        for p in PROPERTIES:
            calls.append(lambda p=p: getattr(a, p))
        for p in FLOAT_RW + INT_RW:
            calls.append(lambda p=p: setattr(a, p, 1))
            calls.append(lambda p=p: setattr(a, p, "bad value"))
        return calls

    def test_everything_after_destroy(self):
        """Handle check of every method, getter and setter, before any
        argument is looked at (bad arguments still give "destroyed")."""
        a = AGC()
        assert a.destroy() is None
        for call in self.everything(a):
            with pytest.raises(RuntimeError, match=DESTROYED):
                call()

    def test_destroy_twice(self):
        a = AGC()
        assert a.destroy() is None
        assert a.destroy() is None

    def test_enter_returns_self_even_destroyed(self):
        a = AGC()
        assert a.__enter__() is a
        a.destroy()
        assert a.__enter__() is a

    def test_exit_destroys(self):
        a = AGC()
        assert a.__exit__(None, None, None) is None
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.gain_db
        assert a.__exit__() is None

    def test_with_block(self):
        with AGC() as a:
            assert a.step(1.0) == 1.0
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.step(1.0)

    def test_with_block_exception_propagates(self):
        with pytest.raises(KeyError):
            with AGC() as a:
                raise KeyError("inside")
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.reset()

    def test_destroy_inside_with_block(self):
        with AGC() as a:
            a.destroy()
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.get_state()

    def test_uninitialised_object(self):
        """Allocation without the initialiser leaves an empty handle."""
        a = AGC.__new__(AGC)
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.gain_db
        with pytest.raises(RuntimeError, match=DESTROYED):
            a.step(1.0)
        assert a.destroy() is None
        del a
        gc.collect()


class TestReset:
    def test_reset_returns_loop_to_unity(self):
        a = AGC()
        a.steps(np.full(1000, 4.0, np.complex64))
        assert round(a.gain_db, 1) == -12.0
        assert a.reset() is None
        assert (a.gain_db, a.applied_gain_db) == (0.0, 0.0)

    def test_reset_keeps_configuration(self):
        a = AGC(-4.0, 0.01, 0.5)
        a.decim = 16
        a.clip_db = 30.0
        a.gain_update_period = 3
        for _ in range(5):
            a.step(3.0 + 4.0j)
        a.reset()
        assert (a.ref_db, a.loop_bw, a.alpha) == (-4.0, 0.01, 0.5)
        assert (a.decim, a.clip_db, a.gain_update_period) == (16, 30.0, 3)

    def test_reset_state_blob(self):
        a = AGC()
        a.gain_update_period = 4
        a.clip_db = 20.0
        a.step(3.0)
        a.ref_db = -10.0
        a.reset()
        m = ref.AGCModel()
        m.gain_update_period = 4
        m.clip_db = 20.0
        m.ref_db = -10.0
        m.reset()
        blob = a.get_state()
        assert blob == m.get_state()
        assert ref.blob_field(blob, "p_avg") == 0.1
        assert ref.blob_field(blob, "hold_count") == 0
        assert ref.blob_field(blob, "clip_lin") == np.float32(9.999961699951369)

    def test_reset_makes_clip_effective_at_once(self):
        a = AGC()
        a.gain_update_period = 4
        a.clip_db = 0.0
        a.reset()
        assert a.step(2.0 - 3.0j) == complex(1.0, -1.0)

    def test_reset_then_first_block_has_no_transient(self):
        a = AGC(ref_db=-6.0)
        a.steps(np.full(100, 3.0, np.complex64))
        a.reset()
        x = np.full(8, 1.0, np.complex64)
        assert np.array_equal(a.steps(x), x)


class TestPublishedValues:
    """Kernel results the object makes visible."""

    def test_fresh_clip_level(self):
        assert AGC().step(1e30 + 0j) == complex(999451.5, 0.0)
        assert ref.blob_field(AGC().get_state(), "clip_lin") == 999451.5

    def test_clip_level_bits(self):
        blob = AGC().get_state()
        assert blob[96:100] == bytes.fromhex("b8017449")

    @pytest.mark.parametrize("g_last", [0.0, -0.0, math.nan, -1.0, 5e-324, 1e-310, -math.inf])
    def test_applied_gain_low_clamp(self, g_last):
        a = AGC()
        a.set_state(blob_with(a, g_last=g_last))
        assert a.applied_gain_db == -6153.053111371775

    def test_applied_gain_high_clamp(self):
        a = AGC()
        a.set_state(blob_with(a, g_last=math.inf))
        assert a.applied_gain_db == 6165.094311198335

    @pytest.mark.parametrize("g_last", [
        2.2250738585072014e-308, 1.7976931348623157e308, 1e-5, 0.5, 1.0,
        10.0, 3.0, 1234.5])
    def test_applied_gain_in_range(self, g_last):
        a = AGC()
        a.set_state(blob_with(a, g_last=g_last))
        assert a.applied_gain_db == 20.0 * math.log10(g_last)

    def test_db_to_amp_twenty(self):
        """gain_db 20 gives g = db_to_amp(20) = 9.999961699951369, not 10."""
        a = AGC(loop_bw=0.0)
        a.set_state(blob_with(a, gain_db=20.0))
        y = a.step(1.0 + 0.5j)
        assert ref.blob_field(a.get_state(), "g_last") == 9.999961699951369
        g = np.float32(9.999961699951369)
        assert y == complex(g * np.float32(1.0), g * np.float32(0.5))
        assert a.applied_gain_db == 20.0 * math.log10(9.999961699951369)

    def test_db_to_amp_minus_twelve(self):
        a = AGC(loop_bw=0.0)
        a.set_state(blob_with(a, gain_db=-12.0))
        a.step(1.0)
        assert ref.blob_field(a.get_state(), "g_last") == 0.251188643150953

    def test_gain_below_exp2_range_is_zero(self):
        """gain_db * log2(10)/20 below -1022: fast_exp2 gives +0.0."""
        a = AGC(loop_bw=0.0)
        a.set_state(blob_with(a, gain_db=-6200.0))
        y = a.step(-3.0 + 2.0j)
        assert ref.blob_field(a.get_state(), "g_last") == 0.0
        assert math.copysign(1.0, y.real) == -1.0 and y.real == 0.0
        assert math.copysign(1.0, y.imag) == 1.0 and y.imag == 0.0
        assert a.applied_gain_db == -6153.053111371775

    def test_gain_nan_gives_zero_gain(self):
        a = AGC(loop_bw=0.0)
        a.set_state(blob_with(a, gain_db=math.nan))
        a.step(1.0)
        assert ref.double_bits(ref.blob_field(a.get_state(), "g_last")) == 0

    def test_gain_above_exp2_range_saturates(self):
        """fast_exp2 clamps its argument at 1023: g = 2**1023, never inf."""
        a = AGC(loop_bw=0.0)
        a.set_state(blob_with(a, gain_db=1e6))
        y = a.step(1.0 + 0.0j)
        assert ref.blob_field(a.get_state(), "g_last") == 2.0**1023
        assert a.applied_gain_db == 20.0 * math.log10(2.0**1023)
        # The float32 gain is infinite: 1*inf clips to the level, 0*inf is NaN.
        assert y == complex(999451.5, -999451.5)

    @pytest.mark.parametrize("gain_db, g", [
        (-18.06179973983887, 0.125), (6.020599913279623, 2.0),
        (30.10299956639812, 32.0), (-60.20599913279624, 2.0**-10)])
    def test_exact_octave_gain(self, gain_db, g):
        """db_to_amp where gain_db * log2(10)/20 is an integer: 2**n exactly."""
        assert gain_db * ref.LOG2_10_OVER_20 == math.log2(g)
        a = AGC(loop_bw=0.0)
        a.set_state(blob_with(a, gain_db=gain_db))
        a.step(1.0)
        assert ref.blob_field(a.get_state(), "g_last") == g

    def test_default_clip_db_value(self):
        a = AGC()
        a.clip_db = 120.0
        a.reset()
        assert ref.blob_field(a.get_state(), "clip_lin") == 999451.5
