"""Hostile arguments against every public entry point.

Conversion hooks that raise, return the wrong type or destroy the object
being called; arrays that are non-contiguous, read-only, empty, huge-strided,
byte-swapped, misaligned, subclassed or 0-d; blobs of every wrong kind;
telemetry objects that lie.  Each case must end in the documented exception
with its exact text (or, for the interpreter's and NumPy's own errors, the
documented exception type with the original exception object propagated),
or in the documented result, and never in a crash.  Run under the sanitizer
build (.ci/sanitize.sh) the same tests also prove that no path reads or
writes memory it does not own.

The docstring of each test names the C path it drives.
"""

import datetime
import os
import re
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from kestrix.agc import AGC, settling_samples
from kestrix.channel import FIRDecimator
from kestrix.channel import Rotator
from kestrix.filter import FIR, MovingAverage, design_lowpass
from kestrix.telemetry import Telemetry

from conftest import same_bits, under_sanitizer

# ------------------------------------------------------------ fixed texts

DESTROYED = "destroyed"
OUT_KIND = "out must be a writable, C-contiguous ndarray of the output dtype"
STATE_TYPE = "set_state expects bytes"
STATE_SIZE = "state blob size mismatch"
STATE_REJECTED = "set_state rejected the blob"
TLM_FAILED = "set_telemetry failed (rc=-4)"
AGC_NULL = "agc_create returned NULL"
FIR_NULL = "fir_create returned NULL"
FIRDEC_NULL = "firdec_create returned NULL"
BOXCAR_NULL = "boxcar_create returned NULL"
NO_TAP_COUNT = "design_lowpass: band edges and attenuation give no finite tap count"
TLM_CAPACITY = "capacity must be a power of two from 1 to 2**30"
TLM_MAX = "max must be None or an integer >= 0"
SHIFT_NOT_FINITE = "shift must be finite"
PHASE_NOT_FINITE = "phase must be finite"


def out_len_text(have, need):
    return f"out length {have} != input length {need}"


def out_cap_text(have, need):
    return f"out has {have} elements, need >= {need}"


def outputs(obj, n):
    """How many samples a block method returns for n inputs."""
    return obj.output_length(n) if hasattr(obj, "output_length") else n


def exact(text):
    """A pytest.raises match pattern for exactly this message."""
    return "^" + re.escape(text) + "$"


SANITIZED = under_sanitizer()


# ------------------------------------------------------------ hostile objects

class Sentinel(Exception):
    """Raised by the hooks below; the very instance must reach the caller."""


class Raises:
    """Every conversion hook raises one Sentinel instance."""

    def __init__(self):
        self.exc = Sentinel("hook raised")

    def __float__(self):
        raise self.exc

    def __complex__(self):
        raise self.exc

    def __index__(self):
        raise self.exc

    def __array__(self, dtype=None, copy=None):
        raise self.exc


class WrongTypes:
    """Every conversion hook returns an object of the wrong type."""

    def __float__(self):
        return "1.0"

    def __complex__(self):
        return 1.5

    def __index__(self):
        return 1.5

    def __array__(self, dtype=None, copy=None):
        return [1, 2, 3]


class Calls:
    """Every conversion hook first calls `action`, then returns `value`."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value
        self.calls = 0

    def _run(self):
        self.calls += 1
        self.action()

    def __float__(self):
        self._run()
        return float(self.value)

    def __complex__(self):
        self._run()
        return complex(self.value)

    def __index__(self):
        self._run()
        return int(self.value)

    def __array__(self, dtype=None, copy=None):
        self._run()
        return np.asarray(self.value, dtype=dtype)


# ------------------------------------------------------------ the objects

TAPS3 = np.array([0.25, 0.5, 0.25], np.float32)
TAPS9C = (np.arange(9, dtype=np.float32) * 0.1 - 0.3j).astype(np.complex64)


def new_agc():
    return AGC(ref_db=0.0, loop_bw=0.01, alpha=0.1)


def new_fir():
    return FIR(TAPS9C)


def new_fir_real():
    return FIR(TAPS3)


def new_ma():
    return MovingAverage(5, 1.5)


def new_dec():
    return FIRDecimator(TAPS9C, 3)


def new_dec_real():
    return FIRDecimator(TAPS3, 1)
def new_rot():
    return Rotator(0.0123, 0.25)


def agc_steps(o, *a, **k):
    return o.steps(*a, **k)


def ma_steps(o, *a, **k):
    return o.steps(*a, **k)


def fir_execute(o, *a, **k):
    return o.execute(*a, **k)


# (name, factory, block call, out style)
BLOCK = [
    pytest.param(new_agc, agc_steps, "exact", id="AGC.steps"),
    pytest.param(new_ma, ma_steps, "exact", id="MovingAverage.steps"),
    pytest.param(new_rot, ma_steps, "exact", id="Rotator.steps"),
    pytest.param(new_fir, fir_execute, "capacity", id="FIR.execute-complex"),
    pytest.param(new_fir_real, fir_execute, "capacity", id="FIR.execute-real"),
    pytest.param(new_dec, fir_execute, "capacity", id="FIRDecimator.execute-complex"),
    pytest.param(new_dec_real, fir_execute, "capacity", id="FIRDecimator.execute-real"),
]

FACTORIES = [
    pytest.param(new_agc, id="AGC"),
    pytest.param(new_ma, id="MovingAverage"),
    pytest.param(new_fir, id="FIR"),
    pytest.param(new_dec, id="FIRDecimator"),
    pytest.param(new_rot, id="Rotator"),
]

# Float-converted arguments: (call taking the hostile value, description).
FLOAT_ARGS = [
    pytest.param(lambda v: AGC(v), id="AGC(ref_db)"),
    pytest.param(lambda v: AGC(0.0, v), id="AGC(loop_bw)"),
    pytest.param(lambda v: AGC(alpha=v), id="AGC(alpha)"),
    pytest.param(lambda v: MovingAverage(4, v), id="MovingAverage(gain)"),
    pytest.param(lambda v: settling_samples(v, 0.05, 6.0, 0.5), id="settling_samples(loop_bw)"),
    pytest.param(lambda v: settling_samples(0.01, v, 6.0, 0.5), id="settling_samples(alpha)"),
    pytest.param(lambda v: settling_samples(0.01, 0.05, v, 0.5),
                 id="settling_samples(gain_err_db)"),
    pytest.param(lambda v: settling_samples(0.01, 0.05, 6.0, tol_db=v),
                 id="settling_samples(tol_db)"),
    pytest.param(lambda v: design_lowpass(v), id="design_lowpass(fpass)"),
    pytest.param(lambda v: design_lowpass(0.4, v), id="design_lowpass(fstop)"),
    pytest.param(lambda v: design_lowpass(atten_db=v), id="design_lowpass(atten_db)"),
    pytest.param(lambda v: Rotator(v), id="Rotator(shift)"),
    pytest.param(lambda v: Rotator(0.1, phase=v), id="Rotator(phase)"),
]

FLOAT_PROPS = [
    pytest.param(new_agc, "ref_db", id="AGC.ref_db"),
    pytest.param(new_agc, "loop_bw", id="AGC.loop_bw"),
    pytest.param(new_agc, "alpha", id="AGC.alpha"),
    pytest.param(new_agc, "clip_db", id="AGC.clip_db"),
    pytest.param(new_ma, "gain", id="MovingAverage.gain"),
]

INT_PROPS = [
    pytest.param("decim", id="AGC.decim"),
    pytest.param("gain_update_period", id="AGC.gain_update_period"),
]

STEP = [
    pytest.param(new_agc, id="AGC.step"),
    pytest.param(new_ma, id="MovingAverage.step"),
]

X37 = (np.linspace(-2.0, 3.0, 37) + 1j * np.linspace(1.0, -0.5, 37)).astype(np.complex64)


def reference(factory, call, x):
    """What a fresh object gives for the samples of x in C order."""
    flat = np.ascontiguousarray(np.asarray(x, dtype=np.complex64)).reshape(-1)
    return call(factory(), flat)


def wrote_nothing(obj, before):
    """The object's evolving state is what it was."""
    return obj.get_state() == before


# ============================================================ conversion hooks

class TestHooksRaise:
    """A conversion hook that raises: its exception object propagates
    unchanged and nothing is stored."""

    @pytest.mark.parametrize("call", FLOAT_ARGS)
    def test_float_argument(self, call):
        """PyArg_ParseTupleAndKeywords "d": __float__ raises inside the
        parser of a constructor or module function; no core is created and
        the parser's failure return is taken."""
        h = Raises()
        with pytest.raises(Sentinel) as info:
            call(h)
        assert info.value is h.exc

    @pytest.mark.parametrize("factory, name", FLOAT_PROPS)
    def test_float_property(self, factory, name):
        """Property setter convert_d: PyArg_Parse "d" fails in __float__;
        the handle stays live and the field keeps its value."""
        obj = factory()
        before, state = getattr(obj, name), obj.get_state()
        h = Raises()
        with pytest.raises(Sentinel) as info:
            setattr(obj, name, h)
        assert info.value is h.exc
        assert getattr(obj, name) == before
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("name", INT_PROPS)
    def test_int_property(self, name):
        """Property setter convert_K: the "K" unit refuses a non-int (TypeError
        on interpreters whose "K" does not call __index__, the hook's own
        exception where it does); nothing is stored either way."""
        a = new_agc()
        state = a.get_state()
        h = Raises()
        with pytest.raises((Sentinel, TypeError)) as info:
            setattr(a, name, h)
        if isinstance(info.value, Sentinel):
            assert info.value is h.exc
        assert wrote_nothing(a, state)

    @pytest.mark.parametrize("factory", STEP)
    def test_step_complex(self, factory):
        """step: PyArg_ParseTuple "D" runs __complex__, which raises; the
        record is not stepped."""
        obj = factory()
        state = obj.get_state()
        h = Raises()
        with pytest.raises(Sentinel) as info:
            obj.step(h)
        assert info.value is h.exc
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_block_array(self, factory, call, style):
        """as_complex64 (PyArray_FromAny): x.__array__ raises; the stolen
        descriptor is released by NumPy, no out is made, nothing runs."""
        obj = factory()
        state = obj.get_state()
        h = Raises()
        with pytest.raises(Sentinel) as info:
            call(obj, h)
        assert info.value is h.exc
        with pytest.raises(Sentinel):
            call(obj, h, out=np.zeros(4, np.complex64))
        assert wrote_nothing(obj, state)

    def test_fir_taps_array(self):
        """FIR constructor: the depth-limited probe and then the complex-path
        conversion both meet a raising __array__; the constructor fails with
        the hook's exception and no filter is made."""
        h = Raises()
        with pytest.raises(Sentinel) as info:
            FIR(h)
        assert info.value is h.exc

    @pytest.mark.parametrize("call", [
        pytest.param(lambda v: FIRDecimator(TAPS3, v), id="FIRDecimator(factor)"),
        pytest.param(lambda v: FIRDecimator(v, 2), id="FIRDecimator(taps)"),
        pytest.param(lambda v: new_dec().output_length(v), id="FIRDecimator.output_length"),
    ])
    def test_decimator_arguments(self, call):
        """FIRDecimator's PyNumber_Index conversions (factor, n) and its taps
        conversion: the hook's exception propagates, nothing is made."""
        h = Raises()
        with pytest.raises(Sentinel) as info:
            call(h)
        assert info.value is h.exc

    def test_set_telemetry_decim(self):
        """set_telemetry "Os|k": the "k" unit meets a raising __index__
        (TypeError where "k" takes only ints); the attachment is unchanged."""
        a = new_agc()
        t = Telemetry(8)
        h = Raises()
        with pytest.raises((Sentinel, TypeError)):
            a.set_telemetry(t, "agc", h)
        assert t.n_probes == 0

    def test_capsule_attribute(self):
        """set_telemetry: the `_capsule` attribute lookup raises; the error is
        the interpreter's, nothing is registered and no reference is kept."""
        exc = Sentinel("capsule lookup")

        class Lying:
            @property
            def _capsule(self):
                raise exc

        a = new_agc()
        with pytest.raises(Sentinel) as info:
            a.set_telemetry(Lying(), "agc")
        assert info.value is exc

    @pytest.mark.parametrize("call", [
        pytest.param(lambda t, v: Telemetry(v), id="Telemetry(capacity)"),
        pytest.param(lambda t, v: t.read(v), id="Telemetry.read(max)"),
        pytest.param(lambda t, v: setattr(t, "stamp", v), id="Telemetry.stamp"),
    ])
    def test_telemetry_index(self, call):
        """Telemetry's PyNumber_Index conversions: __index__ raises and the
        hook's exception propagates; the context is unchanged."""
        t = Telemetry(8)
        t.stamp = 7
        h = Raises()
        with pytest.raises(Sentinel) as info:
            call(t, h)
        assert info.value is h.exc
        assert t.stamp == 7 and t.pending == 0


class TestHooksWrongType:
    """A conversion hook that returns the wrong type: the converter's
    TypeError (NumPy's error for __array__), nothing stored."""

    @pytest.mark.parametrize("call", FLOAT_ARGS)
    def test_float_argument(self, call):
        """Parser "d": __float__ returns a str; PyFloat_AsDouble refuses it."""
        with pytest.raises(TypeError):
            call(WrongTypes())

    @pytest.mark.parametrize("factory, name", FLOAT_PROPS)
    def test_float_property(self, factory, name):
        """convert_d: __float__ returns a str; the value is kept."""
        obj = factory()
        before = getattr(obj, name)
        with pytest.raises(TypeError):
            setattr(obj, name, WrongTypes())
        assert getattr(obj, name) == before

    @pytest.mark.parametrize("name", INT_PROPS)
    def test_int_property(self, name):
        """convert_K: __index__ returns a float; TypeError, value kept."""
        a = new_agc()
        before = getattr(a, name)
        with pytest.raises(TypeError):
            setattr(a, name, WrongTypes())
        assert getattr(a, name) == before

    @pytest.mark.parametrize("factory", STEP)
    def test_step_complex(self, factory):
        """step "D": __complex__ returns a float; TypeError, record unstepped."""
        obj = factory()
        state = obj.get_state()
        with pytest.raises(TypeError):
            obj.step(WrongTypes())
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_block_array(self, factory, call, style):
        """as_complex64: __array__ returns a list, which NumPy refuses."""
        obj = factory()
        state = obj.get_state()
        with pytest.raises((ValueError, TypeError)):
            call(obj, WrongTypes())
        assert wrote_nothing(obj, state)

    def test_fir_taps(self):
        """FIR constructor: both conversions meet an __array__ that returns a
        list; NumPy's error, no filter, no pending error left behind."""
        with pytest.raises((ValueError, TypeError)):
            FIR(WrongTypes())

    @pytest.mark.parametrize("call", [
        pytest.param(lambda t, v: Telemetry(v), id="Telemetry(capacity)"),
        pytest.param(lambda t, v: t.read(v), id="Telemetry.read(max)"),
        pytest.param(lambda t, v: setattr(t, "stamp", v), id="Telemetry.stamp"),
    ])
    def test_telemetry_index(self, call):
        """PyNumber_Index: __index__ returns a float; TypeError."""
        with pytest.raises(TypeError):
            call(Telemetry(8), WrongTypes())

    def test_telemetry_and_prefix_types(self):
        """set_telemetry "Os|k": a non-str prefix, a prefix with a NUL, a
        prefix that is not UTF-8 encodable, a float decim: the parser's
        errors, nothing registered."""
        a = new_agc()
        t = Telemetry(8)
        with pytest.raises(TypeError):
            a.set_telemetry(t, b"agc")
        with pytest.raises(ValueError):
            a.set_telemetry(t, "a\0b")
        with pytest.raises(UnicodeEncodeError):
            a.set_telemetry(t, "\udc80")
        with pytest.raises(TypeError):
            a.set_telemetry(t, "agc", 1.0)
        assert t.n_probes == 0


class TestHooksDestroy:
    """A conversion hook that destroys (or re-creates) the very object being
    called: the handle is checked again after the conversion, so the released
    core is never used.  The answer is RuntimeError "destroyed" or the work
    done on the live core; the sanitizer build proves no freed memory is
    touched."""

    @pytest.mark.parametrize("factory, name", FLOAT_PROPS)
    def test_float_property(self, factory, name):
        """convert_d: __float__ calls destroy(); live() after PyArg_Parse."""
        obj = factory()
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            setattr(obj, name, Calls(obj.destroy, 2.0))
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            getattr(obj, name)

    @pytest.mark.parametrize("name", INT_PROPS)
    def test_int_property(self, name):
        """convert_K: an int subclass whose __index__ destroys the object.
        "K" reads an int subclass directly, so either the value is stored in
        the live record or the call reports "destroyed"; never a store into
        the released one."""
        a = new_agc()

        class DestroyingInt(int):
            def __index__(self):
                a.destroy()
                return 3

        try:
            setattr(a, name, DestroyingInt(5))
        except RuntimeError as e:
            assert str(e) == DESTROYED
        else:
            assert getattr(a, name) == 5

    @pytest.mark.parametrize("factory", STEP)
    def test_step_complex(self, factory):
        """step: __complex__ calls destroy() inside the "D" conversion; the
        second live() check answers "destroyed"."""
        obj = factory()
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            obj.step(Calls(obj.destroy, 2.0))
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            obj.step(1.0)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_block_array(self, factory, call, style):
        """Block method: x.__array__ calls destroy() during as_complex64; the
        handle is re-checked before the kernel runs."""
        obj = factory()
        x = Calls(obj.destroy, X37)
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            call(obj, x)
        assert x.calls >= 1
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            call(obj, X37)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_block_array_with_out(self, factory, call, style):
        """Block method with out: x.__array__ destroys the object; out is left
        untouched."""
        obj = factory()
        out = np.full(37, 7 + 7j, np.complex64)
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            call(obj, Calls(obj.destroy, X37), out)
        assert (out == 7 + 7j).all()

    def test_output_length_index_destroys(self):
        """FIRDecimator.output_length: n.__index__ destroys the object; the
        handle is checked again after the conversion."""
        dec = new_dec()
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            dec.output_length(Calls(dec.destroy, 5))

    def test_decimator_reinit_inside_execute(self):
        """FIRDecimator.execute: x.__array__ re-initialises it with another
        factor; the outputs are counted and computed on the new record."""
        dec = new_dec()
        x = Calls(lambda: dec.__init__(TAPS3, 4), X37)
        assert same_bits(dec.execute(x), FIRDecimator(TAPS3, 4).execute(X37))

    def test_fir_reinit_to_longer_taps(self):
        """FIR.execute: x.__array__ re-initialises the filter with 33 taps.
        The kernel must run on the new record (its own delay line and
        scratch), never on the released 3-tap one."""
        fir = FIR(TAPS3)
        long_taps = (np.arange(33, dtype=np.float32) / 33).astype(np.complex64)
        x = Calls(lambda: fir.__init__(long_taps), X37)
        try:
            y = fir.execute(x)
        except RuntimeError as e:
            assert str(e) == DESTROYED
        else:
            assert same_bits(y, FIR(long_taps).execute(X37))
        assert fir.num_taps == 33

    def test_agc_reinit_inside_steps(self):
        """AGC.steps: x.__array__ re-initialises the AGC with other arguments;
        the block runs on the new record."""
        a = new_agc()
        x = Calls(lambda: a.__init__(-10.0, 0.02, 0.5), X37)
        try:
            y = a.steps(x)
        except RuntimeError as e:
            assert str(e) == DESTROYED
        else:
            assert same_bits(y, AGC(-10.0, 0.02, 0.5).steps(X37))

    def test_constructor_reinit_from_conversion(self):
        """tp_init: the constructor argument's __float__ re-initialises and
        destroys the same object; the record made last is the one kept, the
        others are released (LSan would report them otherwise)."""
        a = AGC()
        a.__init__(Calls(lambda: a.__init__(5.0), -3.0))
        assert a.ref_db == -3.0
        m = MovingAverage(3)
        m.__init__(4, Calls(m.destroy, 2.0))
        assert (m.len, m.gain) == (4, 2.0)

    def test_out_resized_by_x_conversion(self):
        """Exact-length block method: x.__array__ shrinks `out` to nothing
        (resize without refcheck frees its buffer).  The out checks run after
        the conversion, so the new size is the one checked: ValueError, and
        nothing is written through the freed buffer."""
        a = new_agc()
        out = np.zeros(37, np.complex64)
        x = Calls(lambda: out.resize((0,), refcheck=False), X37)
        with pytest.raises(ValueError, match=exact(out_len_text(0, 37))):
            a.steps(x, out)

    def test_fir_out_resized_by_x_conversion(self):
        """FIR.execute with out: x.__array__ shrinks out; the capacity check
        must see the new size (or the call must otherwise not write through
        the freed buffer)."""
        fir = new_fir()
        out = np.zeros(40, np.complex64)
        x = Calls(lambda: out.resize((0,), refcheck=False), X37)
        with pytest.raises(ValueError, match=exact(out_cap_text(0, 37))):
            fir.execute(x, out)

    def test_capsule_attribute_destroys_agc(self):
        """set_telemetry: the `_capsule` property destroys the AGC and returns
        a real capsule; live() after the lookup answers "destroyed" and the
        capsule reference taken is released."""
        t = Telemetry(8)
        cap = t._capsule

        def attempt():
            a = new_agc()

            class Destroying:
                @property
                def _capsule(self):
                    a.destroy()
                    return cap

            with pytest.raises(RuntimeError) as info:
                a.set_telemetry(Destroying(), "agc")
            assert str(info.value) == DESTROYED

        # Some interpreters keep one reference from the first call's frames
        # alive a little longer: measure the growth per call after a warm-up.
        attempt()
        refs = sys.getrefcount(cap)
        for _ in range(20):
            attempt()
        assert sys.getrefcount(cap) <= refs
        assert t.n_probes == 0

    def test_telemetry_dropped_while_attached(self):
        """Producer path kx_tlm_emit: the only Telemetry object is dropped
        while an AGC is attached; the AGC holds the capsule, so stepping
        writes into live memory, and destroy() releases the context."""
        a = new_agc()
        a.set_telemetry(Telemetry(4), "agc")
        for _ in range(10):
            a.step(0.5)
        a.steps(np.full(100, 0.5, np.complex64))
        a.destroy()

    def test_telemetry_switch_and_detach(self):
        """set_telemetry: attaching to a second context releases the first
        capsule; detaching releases the second; stepping after each is safe."""
        a = new_agc()
        t1, t2 = Telemetry(4), Telemetry(4)
        a.set_telemetry(t1, "one")
        a.step(1.0)
        c1 = t1._capsule
        base = sys.getrefcount(c1)
        a.set_telemetry(t2, "two")
        assert sys.getrefcount(c1) == base - 1
        del t1, c1
        a.steps(np.ones(64, np.complex64))
        a.set_telemetry(None, "x")
        a.steps(np.ones(64, np.complex64))
        assert t2.pending + t2.dropped == 16


# ============================================================ handle check

class TestHandleFirst:
    """On a destroyed or never-initialised object every method checks the
    handle before it looks at its arguments."""

    CALLS = [
        ("step", lambda o, h: o.step(h)),
        ("steps", lambda o, h: o.steps(h)),
        ("execute", lambda o, h: o.execute(h)),
        ("set_state", lambda o, h: o.set_state(h)),
        ("set_telemetry", lambda o, h: o.set_telemetry(h, "agc")),
        ("output_length", lambda o, h: o.output_length(h)),
    ]

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("how", ["destroyed", "uninitialised"])
    def test_hook_never_runs(self, factory, how):
        """live() at the top of every method: a hostile argument is not
        converted at all (its hook would raise Sentinel)."""
        obj = factory()
        if how == "destroyed":
            obj.destroy()
        else:
            obj = type(obj).__new__(type(obj))
        ran = 0
        for name, call in self.CALLS:
            if not hasattr(obj, name):
                continue
            with pytest.raises(RuntimeError, match=exact(DESTROYED)):
                call(obj, Raises())
            ran += 1
        for name in ("reset", "state_bytes", "get_state"):
            with pytest.raises(RuntimeError, match=exact(DESTROYED)):
                getattr(obj, name)()
        assert ran >= 2
        assert obj.__enter__() is obj
        assert obj.__exit__(None, None, None) is None
        assert obj.destroy() is None

    @pytest.mark.parametrize("factory, name", FLOAT_PROPS)
    def test_setter_before_conversion(self, factory, name):
        """convert_d: live() precedes the conversion, so a raising value on a
        destroyed object gives "destroyed", not the hook's exception."""
        obj = factory()
        obj.destroy()
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            setattr(obj, name, Raises())
        with pytest.raises(RuntimeError, match=exact(DESTROYED)):
            delattr(obj, name)


# ============================================================ input arrays

def huge_strided(n):
    """n samples read with a stride of 2**40 bytes along an axis of length 1
    (never stepped) and 24 bytes along the other: valid, but nowhere near
    contiguous."""
    base = np.zeros(3 * max(n, 1), np.complex64)
    base[::3] = X37[np.arange(max(n, 1)) % 37]
    return as_strided(base, shape=(n, 1), strides=(24, 1 << 40), writeable=False)


def misaligned(values):
    """A C-contiguous complex64 array one byte off its natural alignment."""
    buf = bytearray(values.nbytes + 1)
    a = np.frombuffer(buf, dtype=np.complex64, offset=1, count=values.size)
    a[...] = values
    return a


class Sub(np.ndarray):
    """An ndarray subclass that carries a tag."""

    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "sub")


LAYOUTS = {
    "strided": lambda x: np.repeat(x, 2)[::2],
    "reversed": lambda x: x[::-1].copy()[::-1],
    "fortran": lambda x: np.asfortranarray(np.resize(x, (max(len(x), 1), 3))),
    "read-only": lambda x: _readonly(x),
    "byteswapped": lambda x: x.astype(np.dtype(np.complex64).newbyteorder()),
    "subclass": lambda x: x.view(Sub),
    "misaligned": misaligned,
    "huge-strided": lambda x: huge_strided(len(x)),
    "broadcast": lambda x: np.broadcast_to(x[:1], (len(x),)) if len(x) else x,
    "float32": lambda x: x.real.copy(),
    "int16": lambda x: (x.real * 10).astype(np.int16),
    "list": lambda x: [complex(v) for v in x],
}


def _readonly(x):
    y = x.copy()
    y.flags.writeable = False
    return y


class TestInputArrays:
    """x is converted by PyArray_FromAny to an aligned, C-contiguous
    complex64 array; whatever its layout, the samples are processed in C
    order and the bits equal those of a fresh object on a contiguous copy."""

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    @pytest.mark.parametrize("layout", list(LAYOUTS))
    @pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 37])
    def test_layout(self, factory, call, style, layout, n):
        """as_complex64 copy path (or pass-through for a conforming input),
        then the kernel over n samples, n chosen for the scalar loop, the
        vector loop and the tail."""
        x = LAYOUTS[layout](X37[:n].copy())
        keep = np.array(x, copy=True)
        y = call(factory(), x)
        assert y.dtype == np.complex64 and y.ndim == 1
        assert same_bits(y, reference(factory, call, keep))
        assert np.array_equal(np.asarray(x), keep)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_zero_d(self, factory, call, style):
        """as_complex64 of a 0-d array and of a Python scalar: one sample."""
        for x in (np.complex64(2 - 1j), np.array(2 - 1j, np.complex64), 2 - 1j):
            y = call(factory(), x)
            assert y.shape == (1,)
            assert same_bits(y, reference(factory, call, [2 - 1j]))

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_refused_dtypes(self, factory, call, style):
        """as_complex64 without a forced cast: complex128, float64, object and
        string inputs are refused with NumPy's error; nothing is processed."""
        obj = factory()
        state = obj.get_state()
        for x in (X37.astype(np.complex128), X37.real.astype(np.float64),
                  np.array([1, None], dtype=object), np.array(["1", "2"])):
            with pytest.raises(TypeError):
                call(obj, x)
        for x in ("abc", [[1], [1, 2]]):
            with pytest.raises(ValueError):
                call(obj, x)
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_in_place_and_partial_overlap(self, factory, call, style):
        """out is x itself (documented in-place result) or a view of x shifted
        by one sample (no result required, but the kernel must stay inside
        both buffers)."""
        x = X37.copy()
        ref = reference(factory, call, X37)
        y = call(factory(), x, x)
        assert same_bits(np.asarray(y), ref)
        buf = np.concatenate([X37, X37[:1]])
        y = call(factory(), buf[:-1], buf[1:])
        assert y.size == outputs(factory(), 37)

    def test_fir_taps_layouts(self):
        """FIR constructor: float32 taps strided, reversed, read-only,
        byte-swapped, misaligned, subclassed and huge-strided all probe as
        float32 and build the real-tap filter of the same values."""
        taps = np.array([0.1, -0.2, 0.7, 0.3, -0.05, 0.2, 0.4, 0.1, -0.3], np.float32)
        want = FIR(taps).execute(X37)
        variants = [
            np.repeat(taps, 2)[::2], taps[::-1].copy()[::-1], _readonly(taps),
            taps.astype(np.dtype(np.float32).newbyteorder()), taps.view(Sub),
            as_strided(np.repeat(taps, 3), shape=(9,), strides=(12,), writeable=False),
        ]
        buf = bytearray(taps.nbytes + 1)
        mis = np.frombuffer(buf, np.float32, offset=1, count=9)
        mis[...] = taps
        variants.append(mis)
        for v in variants:
            fir = FIR(v)
            assert fir.is_real and fir.num_taps == 9
            assert same_bits(fir.execute(X37), want)

    @pytest.mark.parametrize("taps", [
        pytest.param(np.float32(0.5), id="0-d"),
        pytest.param(np.full((3, 3), 0.1, np.float32), id="2-d"),
    ])
    def test_fir_taps_not_one_dimensional(self, taps):
        """FIR constructor probe with depth limits 1..1: a 0-d or 2-D tap array
        is either refused with the probe's error or taken as complex taps of
        all its elements; never success with an error still pending."""
        try:
            fir = FIR(taps)
        except (ValueError, TypeError):
            return
        assert not fir.is_real and fir.num_taps == np.asarray(taps).size
        assert fir.execute([1.0]).shape == (1,)

    @pytest.mark.parametrize("taps", [
        pytest.param(np.zeros(0, np.float32), id="empty-float32"),
        pytest.param(np.zeros(0, np.complex64), id="empty-complex64"),
        pytest.param([], id="empty-list"),
    ])
    def test_fir_no_taps(self, taps):
        """fir_create / fir_create_real with taps_len 0: empty handle,
        MemoryError with the fixed text."""
        with pytest.raises(MemoryError, match=exact(FIR_NULL)):
            FIR(taps)

    @pytest.mark.parametrize("taps", [
        pytest.param(np.ones(3), id="float64"),
        pytest.param(np.ones(3, np.complex128), id="complex128"),
        pytest.param(np.array([1, None], dtype=object), id="object"),
    ])
    def test_fir_taps_refused(self, taps):
        """FIR constructor complex path: no safe cast to complex64, NumPy's
        TypeError."""
        with pytest.raises(TypeError):
            FIR(taps)


# ============================================================ out arrays

def _readonly_out(n):
    o = np.zeros(n, np.complex64)
    o.flags.writeable = False
    return o


BAD_OUT = {
    "list": lambda n: [0j] * n,
    "complex128": lambda n: np.zeros(n, np.complex128),
    "float32": lambda n: np.zeros(2 * n, np.float32),
    "read-only": _readonly_out,
    "strided": lambda n: np.zeros(2 * n, np.complex64)[::2],
    "fortran": lambda n: np.zeros((n, 2), np.complex64, order="F"),
    "byteswapped": lambda n: np.zeros(n, np.dtype(np.complex64).newbyteorder()),
    "memoryview": lambda n: memoryview(np.zeros(n, np.complex64)),
    "bytearray": lambda n: bytearray(8 * n),
    "gapped": lambda n: as_strided(np.zeros(3 * n, np.complex64), shape=(n,), strides=(24,)),
}


class TestOutArrays:
    """out_kind_ok and the length checks of the two out styles."""

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    @pytest.mark.parametrize("kind", list(BAD_OUT))
    def test_bad_kind(self, factory, call, style, kind):
        """out_kind_ok: anything but a writable, C-contiguous, native-order
        complex64 ndarray is refused with the fixed TypeError before the core
        runs; a byte-swapped out is refused rather than written in native
        order."""
        obj = factory()
        state = obj.get_state()
        out = BAD_OUT[kind](8)
        with pytest.raises(TypeError, match=exact(OUT_KIND)):
            call(obj, X37[:8], out)
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    @pytest.mark.parametrize("n", [0, 1, 9])
    def test_length(self, factory, call, style, n):
        """exact_out: count differs from n (ValueError with both counts);
        FIR's capacity style: short out refused, longer out accepted with a
        view of n elements on its start."""
        obj = factory()
        state = obj.get_state()
        x = X37[:n]
        if style == "exact":
            for have in (n + 1, n - 1):
                if have < 0:
                    continue
                with pytest.raises(ValueError, match=exact(out_len_text(have, n))):
                    call(obj, x, np.zeros(have, np.complex64))
        else:
            m = outputs(obj, n)
            if m > 0:
                with pytest.raises(ValueError, match=exact(out_cap_text(m - 1, m))):
                    call(obj, x, np.zeros(m - 1, np.complex64))
            out = np.full(m + 3, 9 + 9j, np.complex64)
            y = call(factory(), x, out)
            assert y.shape == (m,) and y.base is out
            assert (out[m:] == 9 + 9j).all()
            assert same_bits(y, reference(factory, call, x))
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_shapes_and_subclass(self, factory, call, style):
        """out of any shape with the right count, a 0-d out for one sample,
        and an ndarray subclass: accepted and written in C order."""
        ref = reference(factory, call, X37[:6])
        for out in (np.zeros((2, 3), np.complex64), np.zeros(6, np.complex64).view(Sub)):
            y = call(factory(), X37[:6].reshape(3, 2), out)
            if style == "exact":
                assert y is out
            assert same_bits(np.asarray(out).reshape(-1)[:len(ref)], ref)
        out0 = np.zeros((), np.complex64)
        y = call(factory(), X37[:1], out0)
        assert same_bits(np.asarray(out0).reshape(1), reference(factory, call, X37[:1]))

    @pytest.mark.parametrize("factory, call, style", BLOCK)
    def test_huge_stride_on_unit_axis(self, factory, call, style):
        """out of shape (n, 1) whose unit axis has a stride of 2**40 bytes:
        C-contiguous by NumPy's rules (a unit axis is never stepped), so it is
        accepted and the kernel writes exactly its n samples."""
        base = np.zeros(9 + 2, np.complex64)
        out = as_strided(base[1:], shape=(9, 1), strides=(8, 1 << 40))
        y = call(factory(), X37[:9], out)
        assert same_bits(np.asarray(y).reshape(-1), reference(factory, call, X37[:9]))
        assert base[0] == 0 and base[-1] == 0

    @pytest.mark.parametrize("entry", [
        "AGC.steps",
        "MovingAverage.steps",
        "FIR.execute",
        "Rotator.steps",
    ])
    def test_misaligned_out(self, entry):
        """out_kind_ok with an out one byte off float alignment: it must be
        refused with the out TypeError, or written with the same bits as an
        aligned out and no undefined behaviour.  Run in a child interpreter
        so that a sanitizer abort is a test failure, not the end of the
        suite."""
        code = textwrap.dedent(f"""
            import numpy as np
            from kestrix.agc import AGC
            from kestrix.filter import FIR, MovingAverage
            from kestrix.channel import Rotator
            make = {{"AGC.steps": lambda: (AGC(), "steps"),
                    "Rotator.steps": lambda: (Rotator(0.1), "steps"),
                    "MovingAverage.steps": lambda: (MovingAverage(5), "steps"),
                    "FIR.execute": lambda: (FIR(np.arange(9, dtype=np.float32)), "execute")}}
            x = (np.linspace(-2, 3, 37) + 0.5j).astype(np.complex64)
            buf = bytearray(x.nbytes + 1)
            out = np.frombuffer(buf, np.complex64, offset=1, count=37)
            obj, name = make[{entry!r}]()
            try:
                y = getattr(obj, name)(x, out)
            except TypeError as e:
                assert str(e) == {OUT_KIND!r}, str(e)
                print("refused")
            else:
                obj2, _ = make[{entry!r}]()
                want = getattr(obj2, name)(x)
                assert np.array_equal(np.asarray(y).view(np.uint32), want.view(np.uint32))
                print("written")
        """)
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=120, env=os.environ.copy())
        assert r.returncode == 0, r.stderr[-3000:]
        assert r.stdout.strip() in ("refused", "written")


# ============================================================ state blobs

def header(magic, size, version=1, one=1):
    return magic + version.to_bytes(2, "little") + bytes([one, 0]) + \
        size.to_bytes(4, "little") + bytes(4)


class BytesSub(bytes):
    pass


class TestStateBlobs:
    """m_set_state: type check, length check, then the core reader."""

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("blob", [
        pytest.param(lambda n: bytearray(n), id="bytearray"),
        pytest.param(lambda n: memoryview(bytes(n)), id="memoryview"),
        pytest.param(lambda n: "x" * n, id="str"),
        pytest.param(lambda n: None, id="None"),
        pytest.param(lambda n: n, id="int"),
        pytest.param(lambda n: np.zeros(n, np.uint8), id="ndarray"),
        pytest.param(lambda n: Raises(), id="hostile-object"),
    ])
    def test_not_bytes(self, factory, blob):
        """PyBytes_Check fails: TypeError with the fixed text, no hook runs."""
        obj = factory()
        state = obj.get_state()
        with pytest.raises(TypeError, match=exact(STATE_TYPE)):
            obj.set_state(blob(obj.state_bytes()))
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory", FACTORIES)
    def test_wrong_lengths(self, factory):
        """Length check against state_bytes(): every other length, from 0 to
        a megabyte, is refused before the core reader sees the bytes."""
        obj = factory()
        n = obj.state_bytes()
        state = obj.get_state()
        for m in (0, 1, 15, 16, n - 1, n + 1, 2 * n, 1 << 20):
            if m == n:
                continue
            with pytest.raises(ValueError, match=exact(STATE_SIZE)):
                obj.set_state(state[:m] if m <= n else state + bytes(m - n))
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory", FACTORIES)
    def test_bytes_subclass_accepted(self, factory):
        """PyBytes_Check admits a bytes subclass; the blob is taken."""
        a, b = factory(), factory()
        a.steps(X37) if hasattr(a, "steps") else a.execute(X37)
        b.set_state(BytesSub(a.get_state()))
        assert b.get_state() == a.get_state()

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("offset, value", [(0, 0x00), (1, 0xFF), (4, 0x02), (5, 0x01),
                                               (6, 0x00), (6, 0x02), (8, 0x00), (9, 0x01),
                                               (11, 0x80)])
    def test_header_rejected(self, factory, offset, value):
        """Core reader header checks (magic, version, byte 6, size field):
        status -4, ValueError with the fixed text, object unchanged."""
        obj = factory()
        state = obj.get_state()
        blob = bytearray(state)
        if blob[offset] == value:
            value ^= 0x10
        blob[offset] = value
        with pytest.raises(ValueError, match=exact(STATE_REJECTED)):
            obj.set_state(bytes(blob))
        assert wrote_nothing(obj, state)

    @pytest.mark.parametrize("factory", FACTORIES)
    def test_foreign_magic(self, factory):
        """A blob of the right length from another kind of object (its
        magic) is rejected by the core reader."""
        obj = factory()
        n = obj.state_bytes()
        for magic in (b"AGC ", b"FIR_", b"BOXC", b"FDEC", b"ROTR"):
            blob = header(magic, n, version=3 if magic == b"AGC " else 1) + bytes(n - 16)
            if blob[:4] == obj.get_state()[:4]:
                continue
            with pytest.raises(ValueError, match=exact(STATE_REJECTED)):
                obj.set_state(blob)

    @pytest.mark.parametrize("seed", range(8))
    def test_agc_body_any_bits(self, seed):
        """agc_set_state takes any body behind a valid header (NaN, infinite,
        zero decim, huge hold_count); the per-sample and block kernels then
        run on it without fault and clip every finite-clip output."""
        rng = np.random.default_rng(seed)
        a = AGC()
        body = rng.integers(0, 256, 104, dtype=np.uint8).tobytes()
        a.set_state(header(b"AGC ", 120, version=3) + body)
        for v in (1.0, 0.0, complex("nan+1j"), 1e39):
            a.step(v)
        y = a.steps(X37)
        assert y.shape == (37,)
        a.reset()
        assert a.gain_db == 0.0

    @pytest.mark.parametrize("length, pos", [(0, 0), (65, 0), (2**64 - 1, 0), (4, 4),
                                             (4, 2**63), (1, 1)])
    def test_boxcar_body_refused(self, length, pos):
        """boxcar_set_state: a header-valid blob whose len lies outside 1..64
        or whose pos is not below len would index past the ring; it is
        rejected with the fixed text."""
        m = new_ma()
        state = m.get_state()
        blob = bytearray(state)
        blob[16:24] = length.to_bytes(8, "little")
        blob[24:32] = pos.to_bytes(8, "little")
        with pytest.raises(ValueError, match=exact(STATE_REJECTED)):
            m.set_state(bytes(blob))
        assert wrote_nothing(m, state)

    def test_boxcar_body_edges_accepted(self):
        """boxcar_set_state: len 64 with pos 63 and len 1 with pos 0 are in
        range and accepted; stepping then stays inside the ring."""
        for length, pos in ((64, 63), (1, 0)):
            m = new_ma()
            blob = bytearray(m.get_state())
            blob[16:24] = length.to_bytes(8, "little")
            blob[24:32] = pos.to_bytes(8, "little")
            m.set_state(bytes(blob))
            assert m.len == length
            assert m.steps(X37).shape == (37,)

    @pytest.mark.parametrize("place", [16, 17, 2**63, 2**64 - 1])
    def test_rotator_place_refused(self, place):
        """rotator_set_state: a place in the group at or past its end would
        read past the place table; it is rejected with the fixed text."""
        rot = new_rot()
        state = rot.get_state()
        blob = bytearray(state)
        blob[40:48] = place.to_bytes(8, "little")
        with pytest.raises(ValueError, match=exact(STATE_REJECTED)):
            rot.set_state(bytes(blob))
        assert wrote_nothing(rot, state)

    @pytest.mark.parametrize("taps", [1, 2, 8, 9])
    def test_fir_size_field(self, taps):
        """fir_set_state: the size field must equal fir_state_bytes; a blob
        of the right length with any other size field is rejected."""
        fir = FIR(np.ones(taps, np.float32))
        n = fir.state_bytes()
        assert n == (16 if taps == 1 else 8 * taps + 8)
        for size in (0, n - 8, n + 8, 2**32 - 1):
            with pytest.raises(ValueError, match=exact(STATE_REJECTED)):
                fir.set_state(header(b"FIR_", size) + bytes(n - 16))
        fir.set_state(header(b"FIR_", n) + bytes(n - 16))


# ============================================================ numbers

NASTY = [float("nan"), float("inf"), float("-inf"), 1e308, -1e308, 5e-324, -0.0, 0.0,
         -1.0, 2.0**63, 1e-300]


class TestHostileNumbers:
    """Odd numbers reach the cores unvalidated (or by the documented tests);
    the documented results hold and nothing faults."""

    @pytest.mark.parametrize("v", NASTY)
    def test_agc_parameters(self, v):
        """agc_create and the property setters store any double; agc_step and
        agc_steps run on it; outputs are clipped or NaN-free per the clip."""
        for kwargs in ({"ref_db": v}, {"loop_bw": v}, {"alpha": v}):
            a = AGC(**kwargs)
            assert getattr(a, next(iter(kwargs))) == v or v != v
            a.step(0.5 + 0.5j)
            a.steps(X37)
        a = AGC()
        a.clip_db = v
        y = a.steps(X37)
        assert y.shape == (37,)
        a.step(complex("nan+nanj"))

    @pytest.mark.parametrize("call", [
        lambda: AGC(10**400), lambda: AGC(0.0, 0.01, -(10**400)),
        lambda: setattr(AGC(), "clip_db", 10**400), lambda: AGC().step(10**400),
        lambda: MovingAverage(4, 10**400), lambda: setattr(MovingAverage(4), "gain", 10**400),
        lambda: MovingAverage(4).step(-(10**400)), lambda: settling_samples(10**400, 1, 1, 1),
        lambda: design_lowpass(0.1, 10**400),
        lambda: Rotator(10**400), lambda: Rotator(0.1, -(10**400))],
        ids=["AGC", "AGC-alpha", "clip_db", "AGC.step", "MovingAverage", "gain",
             "MovingAverage.step", "settling_samples", "design_lowpass",
             "Rotator(shift)", "Rotator(phase)"])
    def test_int_beyond_float_range(self, call):
        """The "d" / "D" converters: an int beyond the double range raises
        the interpreter's OverflowError."""
        with pytest.raises(OverflowError, match="^int too large to convert to float$"):
            call()

    @pytest.mark.parametrize("value, stored", [(0, 0), (-1, 2**64 - 1), (2**64, 0),
                                               (2**64 + 3, 3), (2**70, 0), (-(2**70), 0)])
    def test_agc_unsigned_wrap(self, value, stored):
        """convert_K stores modulo 2**64 without an overflow check; decim and
        gain_update_period of 0 or 2**64-1 are then safe to run."""
        a = AGC()
        a.decim = value
        a.gain_update_period = value
        assert (a.decim, a.gain_update_period) == (stored, stored)
        assert a.steps(X37).shape == (37,)
        a.step(1.0)

    @pytest.mark.parametrize("length", [0, 65, -1, 2**64, 2**64 + 65])
    def test_moving_average_length_refused(self, length):
        """boxcar_create: len outside 1..64 after the modulo-2**64 "K"
        conversion gives the empty handle, MemoryError with the fixed text."""
        with pytest.raises(MemoryError, match=exact(BOXCAR_NULL)):
            MovingAverage(length)

    def test_moving_average_length_wraps_into_range(self):
        """"K" without overflow check: 2**64 + 4 wraps to a valid 4."""
        assert MovingAverage(2**64 + 4).len == 4

    @pytest.mark.parametrize("v", NASTY)
    def test_moving_average_gain(self, v):
        """Gain setter recomputes scale in float32 from any double."""
        m = MovingAverage(3, v)
        m.gain = v
        assert m.steps(X37).shape == (37,)

    @pytest.mark.parametrize("args", [
        (float("nan"), 0.05, 6.0, 0.5), (0.01, float("nan"), 6.0, 0.5),
        (0.01, 0.05, float("nan"), 0.5), (0.01, 0.05, 6.0, float("nan")),
        (0.01, 0.05, float("inf"), 0.5), (0.01, 0.05, float("-inf"), 0.5),
        (0.0, 0.05, 6.0, 0.5), (-1.0, 0.05, 6.0, 0.5), (0.01, 0.0, 6.0, 0.5),
        (0.01, 1.5, 6.0, 0.5), (0.01, -0.1, 6.0, 0.5), (0.01, 0.05, 6.0, 0.0),
        (0.01, 0.05, 6.0, -1.0), (float("-inf"), 0.05, 6.0, 0.5),
    ])
    def test_settling_invalid(self, args):
        """agc_settling_samples argument tests: 0 without an exception."""
        assert settling_samples(*args) == 0

    @pytest.mark.parametrize("args, want", [
        ((float("inf"), 0.05, 6.0, 0.5), None), ((1e308, 0.05, 6.0, 0.5), None),
        ((0.01, 0.05, 1e308, 1e308), 1), ((0.01, 5e-324, 6.0, 0.5), None),
        ((0.01, 0.05, 1e308, 0.5), None), ((0.01, 0.05, 6.0, float("inf")), 1),
    ])
    def test_settling_extremes(self, args, want):
        """Extreme but valid arguments: the bound M and the shortcut keep the
        query finite; the result is a non-negative int."""
        r = settling_samples(*args)
        assert isinstance(r, int) and r >= 0
        if want is not None:
            assert r == want

    @pytest.mark.parametrize("args", [
        (0.5, 0.5, 60.0), (float("nan"), 0.6, 60.0), (0.4, float("nan"), 60.0),
        (0.4, 0.6, float("nan")), (0.0, 1e-12, 60.0), (0.4, 0.6, 1e300),
        (0.4, 0.6, float("inf")), (0.4, 0.6, float("-inf")), (0.4, 0.4 + 1e-300, 60.0),
    ])
    def test_design_no_count(self, args):
        """kaiser_lowpass_len: q infinite, NaN or past 32 bits is refused with
        the fixed ValueError before any array is made."""
        with pytest.raises(ValueError, match=exact(NO_TAP_COUNT)):
            design_lowpass(*args)

    @pytest.mark.parametrize("v", NASTY)
    def test_rotator_arguments(self, v):
        """Rotator constructor: NaN and infinities are refused with the fixed
        ValueError before the core is made (shift checked first); every
        finite double is quantized into range."""
        for args, text in (((v,), SHIFT_NOT_FINITE), ((0.1, v), PHASE_NOT_FINITE),
                           ((v, v), SHIFT_NOT_FINITE)):
            if np.isfinite(v):
                rot = Rotator(*args)
                assert -0.5 <= rot.shift < 0.5 and 0.0 <= rot.phase < 1.0
                assert rot.steps(X37).shape == (37,)
            else:
                with pytest.raises(ValueError, match=exact(text)):
                    Rotator(*args)

    def test_design_negative_count(self):
        """Reversed band edges make a negative count; NumPy's array creation
        refuses it with its own ValueError."""
        with pytest.raises(ValueError):
            design_lowpass(0.6, 0.4, 60.0)

    @pytest.mark.parametrize("args, n", [((0.4, 0.6, 4.0), 1), ((0.4, 0.6, -1e3), None),
                                         ((0.6, 0.59, 8.0), 3), ((0.4, 0.6, 8.0), 3)])
    def test_design_small_counts(self, args, n):
        """Counts of 1 or 3 from odd arguments: a valid float32 array."""
        try:
            h = design_lowpass(*args)
        except ValueError:
            assert n is None
            return
        assert h.dtype == np.float32 and len(h) % 2 == 1
        if n is not None:
            assert len(h) == n


# ============================================================ telemetry

class TestTelemetryHostile:
    """set_telemetry's capsule resolution and the Telemetry entry points."""

    def test_not_a_capsule_holder(self):
        """Capsule lookup: tlm neither None, nor a capsule, nor with a
        `_capsule` attribute: the interpreter's AttributeError."""
        a = new_agc()
        for tlm in (1, "agc", object(), np.zeros(3)):
            with pytest.raises(AttributeError):
                a.set_telemetry(tlm, "agc")

    @pytest.mark.parametrize("value", [
        pytest.param(lambda: 3, id="int"),
        pytest.param(lambda: None, id="None"),
        pytest.param(lambda: datetime.datetime_CAPI, id="foreign-capsule"),
        pytest.param(lambda: Telemetry(4), id="Telemetry-itself"),
    ])
    def test_capsule_attribute_wrong(self, value):
        """PyCapsule_GetPointer with the name check: a `_capsule` that is no
        capsule or a capsule of another name gives the interpreter's
        ValueError and attaches nothing."""
        a = new_agc()
        with pytest.raises(ValueError):
            a.set_telemetry(types.SimpleNamespace(_capsule=value()), "agc")

    def test_foreign_capsule_direct(self):
        """tlm is a capsule of another name: ValueError from the name check."""
        with pytest.raises(ValueError):
            new_agc().set_telemetry(datetime.datetime_CAPI, "agc")

    @pytest.mark.parametrize("decim", [0, 2**32, 2**33, 2**64])
    def test_decim_zero_after_modulo(self, decim):
        """kx_tlm_register refuses period 0 (after the modulo-2**32 "k"
        conversion): the set_telemetry failure text; both registrations ran
        and left no probe."""
        a = new_agc()
        t = Telemetry(8)
        with pytest.raises(ValueError, match=exact(TLM_FAILED)):
            a.set_telemetry(t, "agc", decim)
        a.step(1.0)
        assert t.pending == 0

    def test_table_full(self):
        """kx_tlm_register with 64 probes registered: the set_telemetry
        failure; the AGC stays attached as before and keeps emitting."""
        t = Telemetry(1 << 10)
        agcs = [new_agc() for _ in range(32)]
        for i, a in enumerate(agcs):
            a.set_telemetry(t, f"p{i}")
        assert t.n_probes == 64
        with pytest.raises(ValueError, match=exact(TLM_FAILED)):
            agcs[0].set_telemetry(t, "new")
        agcs[0].step(1.0)
        assert t.pending == 2

    @pytest.mark.parametrize("prefix", ["", "x" * 23, "x" * 30, "y" * 5000,
                                        "é" * 14, "é" * 16, "\u20ac" * 9, "a.b.c"])
    def test_prefix_lengths(self, prefix):
        """agc_set_telemetry's snprintf into 32 bytes: any length, names cut
        at 31 bytes (possibly inside a UTF-8 sequence); the names read back
        and every record lands in the ring."""
        t = Telemetry(64)
        a = new_agc()
        a.set_telemetry(t, prefix)
        names = t.probe_names
        assert 1 <= len(names) <= 2
        assert all(len(n.encode("utf-8", "surrogateescape")) <= 31 for n in names)
        for n in names:
            assert t.probe_id(n) in (0, 1)
        a.steps(np.ones(16, np.complex64))
        assert t.pending == 4

    def test_capacity_refused(self):
        """Telemetry constructor: capacity not a power of two in 1..2**30."""
        for cap in (0, 3, -1, 2**31, 2**64, -(2**70)):
            with pytest.raises(ValueError, match=exact(TLM_CAPACITY)):
                Telemetry(cap)
        with pytest.raises(TypeError):
            Telemetry(4.0)

    def test_read_max(self):
        """Telemetry.read: a negative max is refused with the fixed text; a
        max past 64 bits reads everything."""
        t = Telemetry(8)
        for m in (-1, -(2**70)):
            with pytest.raises(ValueError, match=exact(TLM_MAX)):
                t.read(m)
        a = new_agc()
        a.set_telemetry(t, "agc")
        a.step(1.0)
        assert len(t.read(2**70)) == 2

    def test_probe_id_and_stamp(self):
        """probe_id: non-str TypeError, unknown name KeyError, lone surrogate
        that UTF-8 cannot encode: UnicodeEncodeError; stamp: deletion and
        out-of-range values refused, the word unchanged."""
        t = Telemetry(8)
        with pytest.raises(TypeError, match=exact("probe_id() argument must be str, not int")):
            t.probe_id(1)
        with pytest.raises(KeyError):
            t.probe_id("agc.gain_db")
        with pytest.raises(UnicodeEncodeError):
            t.probe_id("\ud800")
        t.stamp = 5
        with pytest.raises(TypeError, match=exact("cannot delete stamp")):
            del t.stamp
        for v in (-1, 2**64):
            with pytest.raises(OverflowError):
                t.stamp = v
        assert t.stamp == 5
