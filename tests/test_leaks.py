"""Leaks and reference counts: every public method and error path, many times.

Each scenario is one call (or one short life cycle) run a few thousand times
after a warm-up.  Across the run neither the interpreter's block count
(sys.getallocatedblocks), nor the memory that tracemalloc traces (NumPy
reports its data buffers there too), nor the C heap in use (glibc's
mallinfo2, which sees the native records and delay lines) may grow, and the
reference count of every argument must end where it started.  A leak of one
object, one reference or one record per call shows up as growth proportional
to the number of calls; the bounds below leave room only for the
interpreter's own caches.
"""

import ctypes
import datetime
import gc
import sys
import tracemalloc
import types

import numpy as np
import pytest

from kestrix.agc import AGC, settling_samples
from kestrix.channel import FIRDecimator
from kestrix.channel import Rotator
from kestrix.filter import FIR, MovingAverage, design_lowpass
from kestrix.telemetry import Telemetry

from conftest import HEAP_IN_USE, under_sanitizer

WARMUP = 200
RUNS = 600
# A leak grows in every round; the interpreter's caches settle, so a scenario
# passes when one of ROUNDS consecutive rounds stays within the bounds.
ROUNDS = 3
# Growth allowed over RUNS calls.  Measured across the scenarios, a round
# that has settled grows by at most about 10 blocks, 470 traced bytes and
# 800 bytes of C heap; the bounds are four times that, so that the smallest
# leak worth finding, one 24-byte block every second call (300 blocks, 7200
# traced bytes or 9600 bytes of heap), is far beyond them.
MAX_BLOCKS = 40
MAX_TRACED = 2000
MAX_HEAP = 3200
# The leak that TestDetectors plants: one 24-byte block every second call.
LEAK_BYTES = 24

# Under the sanitizer build (.ci/sanitize.sh) the interpreter allocates with
# malloc, so there are no blocks to count, and ASan's quarantine keeps freed
# addresses from being reused, so the interpreter's type attribute cache
# (keyed by the address of the attribute name) fills with up to 4096 fresh
# name strings before it saturates.  There only the reference counts are
# checked; LeakSanitizer watches the native heap, and the plain run of the
# suite checks the memory.
MEMORY_CHECKED = not under_sanitizer()


def swallow(fn, exc):
    """A callable that runs fn and expects exactly exception type exc."""
    def run():
        try:
            fn()
        except exc:
            return
        raise AssertionError(f"{exc.__name__} expected")
    return run


class Raises:
    """Conversion hooks that raise."""

    def __float__(self):
        raise ArithmeticError("hook")

    def __complex__(self):
        raise ArithmeticError("hook")

    def __array__(self, dtype=None, copy=None):
        raise ArithmeticError("hook")


# ------------------------------------------------------------ scenarios
#
# Each builder returns (call, watched): call() is run RUNS times, watched is a
# list of objects whose reference counts must not change.

X = (np.linspace(-1.0, 1.0, 67) + 0.25j).astype(np.complex64)
TAPS_R = np.array([0.1, 0.2, 0.4, 0.2, 0.1, -0.05, 0.3, 0.2, 0.1], np.float32)
TAPS_C = (TAPS_R + 0.5j).astype(np.complex64)
C64 = np.dtype(np.complex64)
F32 = np.dtype(np.float32)

SCENARIOS = {}


def scenario(name):
    def register(builder):
        SCENARIOS[name] = builder
        return builder
    return register


# ---- AGC

@scenario("AGC() and dealloc")
def _():
    r, l, a = float("1.5"), float("0.01"), float("0.2")
    return (lambda: AGC(r, l, a)), [r, l, a]


@scenario("AGC destroy / with block / __init__ again")
def _():
    r = float("-3.5")
    obj = AGC()

    def run():
        with AGC(r) as b:
            b.step(1.0)
        c = AGC()
        c.destroy()
        c.destroy()
        obj.__init__(r, 0.02)
    return run, [r, obj]


@scenario("AGC.step / reset / getters")
def _():
    agc = AGC()
    z = complex("0.5-0.25j")

    def run():
        agc.step(z)
        agc.step(2)
        agc.gain_db, agc.applied_gain_db, agc.decim, agc.gain_update_period
        agc.reset()
    return run, [agc, z]


@scenario("AGC property setters")
def _():
    agc = AGC()
    v, n = float("0.75"), int("12345678901")

    def run():
        agc.ref_db = v
        agc.loop_bw = v
        agc.alpha = v
        agc.clip_db = v
        agc.decim = n
        agc.gain_update_period = n
    return run, [agc, v, n]


@scenario("AGC.steps new / out / in place / list / strided")
def _():
    agc = AGC()
    out = np.zeros_like(X)
    buf = X.copy()
    lst = [complex(v) for v in X[:9]]
    strided = np.repeat(X, 2)[::2]

    def run():
        agc.steps(X)
        agc.steps(X, out)
        agc.steps(x=buf, out=buf)
        agc.steps(lst)
        agc.steps(strided)
        agc.steps(X[:0])
    return run, [agc, X, out, buf, lst, strided, C64]


@scenario("AGC state methods")
def _():
    agc = AGC()
    blob = agc.get_state()

    def run():
        agc.state_bytes()
        agc.get_state()
        agc.set_state(blob)
    return run, [agc, blob]


@scenario("AGC error paths")
def _():
    agc = AGC()
    dead = AGC()
    dead.destroy()
    bad_out = np.zeros(len(X), np.complex128)
    short = np.zeros(len(X) - 1, np.complex64)
    x128 = X.astype(np.complex128)
    blob = agc.get_state()
    bad_blob = b"XXXX" + blob[4:]
    hook = Raises()
    checks = [
        swallow(lambda: agc.steps(X, bad_out), TypeError),
        swallow(lambda: agc.steps(X, short), ValueError),
        swallow(lambda: agc.steps(x128), TypeError),
        swallow(lambda: agc.steps(hook), ArithmeticError),
        swallow(lambda: agc.step("a"), TypeError),
        swallow(lambda: agc.step(hook), ArithmeticError),
        swallow(lambda: setattr(agc, "ref_db", hook), ArithmeticError),
        swallow(lambda: setattr(agc, "decim", 1.5), TypeError),
        swallow(lambda: delattr(agc, "alpha"), TypeError),
        swallow(lambda: agc.set_state(bytearray(blob)), TypeError),
        swallow(lambda: agc.set_state(blob[:-1]), ValueError),
        swallow(lambda: agc.set_state(bad_blob), ValueError),
        swallow(lambda: dead.steps(X), RuntimeError),
        swallow(lambda: dead.set_state(blob), RuntimeError),
        swallow(lambda: dead.gain_db, RuntimeError),
        swallow(lambda: AGC("x"), TypeError),
        swallow(lambda: AGC(1, 2, 3, 4), TypeError),
    ]

    def run():
        for c in checks:
            c()
    return run, [agc, dead, bad_out, short, x128, blob, bad_blob, hook, C64]


@scenario("AGC.set_telemetry attach / detach / step")
def _():
    agc = AGC()
    t = Telemetry(4)
    cap = t._capsule
    holder = types.SimpleNamespace(_capsule=cap)
    prefix = "rx." + "agc"

    def run():
        agc.set_telemetry(t, prefix)
        agc.step(1.0)
        agc.set_telemetry(cap, prefix, 2)
        agc.set_telemetry(holder, prefix)
        agc.steps(X[:16])
        t.read()
        agc.set_telemetry(None, prefix)
    return run, [agc, t, cap, holder, prefix]


@scenario("AGC.set_telemetry error paths")
def _():
    agc = AGC()
    t = Telemetry(4)
    cap = t._capsule
    wrong = types.SimpleNamespace(_capsule=3)
    foreign = datetime.datetime_CAPI
    plain = object()

    class Lying:
        @property
        def _capsule(self):
            raise ArithmeticError("lookup")
    lying = Lying()
    checks = [
        swallow(lambda: agc.set_telemetry(plain, "agc"), AttributeError),
        swallow(lambda: agc.set_telemetry(wrong, "agc"), ValueError),
        swallow(lambda: agc.set_telemetry(foreign, "agc"), ValueError),
        swallow(lambda: agc.set_telemetry(lying, "agc"), ArithmeticError),
        swallow(lambda: agc.set_telemetry(t, "agc", 0), ValueError),
        swallow(lambda: agc.set_telemetry(cap, 5), TypeError),
        swallow(lambda: agc.set_telemetry(t), TypeError),
    ]

    def run():
        for c in checks:
            c()
    return run, [agc, t, cap, wrong, foreign, plain, lying]


@scenario("settling_samples")
def _():
    args = (float("0.05"), float("0.05"), float("6.0"), float("0.5"))
    bad = (float("nan"), 0.05, 6.0, 0.5)

    def run():
        settling_samples(*args)
        settling_samples(*bad)
        settling_samples(tol_db=args[3], gain_err_db=args[2], alpha=args[1], loop_bw=args[0])
        try:
            settling_samples(*args[:3])
        except TypeError:
            pass
    return run, list(args)


# ---- FIR

@scenario("FIR construction, both kinds, and errors")
def _():
    lst = [0.25, 0.5, 0.25]
    empty = np.zeros(0, np.float32)
    f64 = np.ones(3)
    two_d = np.ones((2, 2), np.float32)
    checks = [
        swallow(lambda: FIR(empty), MemoryError),
        swallow(lambda: FIR(f64), TypeError),
        swallow(lambda: FIR(Raises()), ArithmeticError),
    ]

    def run():
        FIR(TAPS_R)
        FIR(TAPS_C)
        FIR(lst)
        FIR(taps=TAPS_R).destroy()
        try:
            FIR(two_d)
        except (ValueError, TypeError):
            pass
        for c in checks:
            c()
    return run, [lst, empty, f64, two_d, TAPS_R, TAPS_C, C64, F32]


@scenario("FIR.execute new / out / in place / growth, errors")
def _():
    fr, fc = FIR(TAPS_R), FIR(TAPS_C)
    big = np.zeros(len(X) + 5, np.complex64)
    buf = X.copy()
    short = np.zeros(3, np.complex64)
    ro = np.zeros(len(X), np.complex64)
    ro.flags.writeable = False
    dead = FIR(TAPS_R)
    dead.destroy()
    checks = [
        swallow(lambda: fr.execute(X, short), ValueError),
        swallow(lambda: fr.execute(X, ro), TypeError),
        swallow(lambda: fr.execute(X.astype(np.complex128)), TypeError),
        swallow(lambda: fr.execute(Raises()), ArithmeticError),
        swallow(lambda: dead.execute(X), RuntimeError),
    ]
    sizes = [1, 67, 9, 200]
    blocks = [np.resize(X, n) for n in sizes]

    def run():
        for f in (fr, fc):
            f.execute(X)
            f.execute(X, big)
            f.execute(x=buf, out=buf)
            f.execute(X[:0])
            for b in blocks:
                f.execute(b)
            f.reset()
            f.num_taps, f.is_real, f.execute_max_out()
        for c in checks:
            c()
    return run, [fr, fc, big, buf, short, ro, dead, X, C64] + blocks


@scenario("FIR state methods and errors")
def _():
    fir = FIR(TAPS_C)
    fir.execute(X)
    blob = fir.get_state()
    bad = b"BOXC" + blob[4:]

    def run():
        fir.state_bytes()
        fir.set_state(fir.get_state())
        fir.set_state(blob)
        for b, exc in ((bad, ValueError), (blob[:-1], ValueError), (None, TypeError)):
            try:
                fir.set_state(b)
            except exc:
                pass
    return run, [fir, blob, bad]


# ---- FIRDecimator

@scenario("FIRDecimator life cycle, execute, output_length, state, errors")
def _():
    dr, dc = FIRDecimator(TAPS_R, 3), FIRDecimator(TAPS_C, 8)
    big = np.zeros(len(X), np.complex64)
    buf = np.concatenate([X, X[:1]])
    blob = dr.get_state()
    dead = FIRDecimator(TAPS_R, 2)
    dead.destroy()
    checks = [
        swallow(lambda: FIRDecimator(TAPS_R, 0), ValueError),
        swallow(lambda: FIRDecimator(TAPS_R, 2**64), OverflowError),
        swallow(lambda: FIRDecimator(TAPS_R[:0], 2), MemoryError),
        swallow(lambda: FIRDecimator(Raises(), 2), ArithmeticError),
        swallow(lambda: dr.execute(X, big[:2]), ValueError),
        swallow(lambda: dr.output_length(-1), ValueError),
        swallow(lambda: dr.set_state(b"FIR_" + blob[4:]), ValueError),
        swallow(lambda: dead.execute(X), RuntimeError),
    ]

    def run():
        with FIRDecimator(TAPS_C, 2) as d:
            d.execute(X)
        for d in (dr, dc):
            d.execute(X)
            d.execute(X, big)
            d.execute(buf[:-1], buf[1:])
            d.execute(X[:0])
            d.output_length(1000)
            d.num_taps, d.is_real, d.factor, d.phase
            d.set_state(d.get_state())
            d.reset()
        for c in checks:
            c()
    return run, [dr, dc, big, buf, blob, dead, X, TAPS_R, TAPS_C, C64]


# ---- MovingAverage

@scenario("MovingAverage life cycle, step, steps, gain, errors")
def _():
    ma = MovingAverage(7, 0.5)
    out = np.zeros_like(X)
    g = float("1.25")
    z = complex("1-1j")
    checks = [
        swallow(lambda: MovingAverage(0), MemoryError),
        swallow(lambda: MovingAverage(-1), MemoryError),
        swallow(lambda: MovingAverage(4, "x"), TypeError),
        swallow(lambda: ma.step(Raises()), ArithmeticError),
        swallow(lambda: setattr(ma, "gain", Raises()), ArithmeticError),
        swallow(lambda: ma.steps(X, out[:-1]), ValueError),
    ]

    def run():
        MovingAverage(64, g)
        with MovingAverage() as m:
            m.step(z)
        ma.step(z)
        ma.steps(X)
        ma.steps(X, out)
        ma.gain = g
        ma.gain, ma.len
        ma.reset()
        for c in checks:
            c()
    return run, [ma, out, g, z, X, C64]


@scenario("MovingAverage state methods and errors")
def _():
    ma = MovingAverage(5)
    ma.steps(X)
    blob = ma.get_state()
    bad_len = blob[:16] + (99).to_bytes(8, "little") + blob[24:]

    def run():
        ma.set_state(ma.get_state())
        ma.set_state(blob)
        for b, exc in ((bad_len, ValueError), (blob + b"\0", ValueError),
                       (bytearray(blob), TypeError)):
            try:
                ma.set_state(b)
            except exc:
                pass
    return run, [ma, blob, bad_len]


# ---- Rotator

@scenario("Rotator life cycle, steps, properties, state, errors")
def _():
    rot = Rotator(0.0123, 0.5)
    out = np.zeros_like(X)
    buf = X.copy()
    f, p = float("-0.31"), float("0.75")
    blob = rot.get_state()
    checks = [
        swallow(lambda: Rotator(float("nan")), ValueError),
        swallow(lambda: Rotator(0.1, float("inf")), ValueError),
        swallow(lambda: Rotator(10**400), OverflowError),
        swallow(lambda: Rotator(Raises()), ArithmeticError),
        swallow(lambda: rot.steps(X, out[:-1]), ValueError),
        swallow(lambda: rot.steps(Raises()), ArithmeticError),
        swallow(lambda: rot.set_state(b"ROTX" + blob[4:]), ValueError),
        swallow(lambda: rot.set_state(blob[:-1]), ValueError),
        swallow(lambda: rot.set_state(None), TypeError),
    ]

    def run():
        Rotator(f, p)
        with Rotator(f) as r:
            r.steps(X)
        rot.steps(X)
        rot.steps(X, out)
        rot.steps(x=buf, out=buf)
        rot.shift, rot.phase
        rot.set_state(rot.get_state())
        rot.set_state(blob)
        rot.reset()
        for c in checks:
            c()
    return run, [rot, out, buf, f, p, blob, X, C64]


# ---- design_lowpass

@scenario("design_lowpass and its errors")
def _():
    fp, fs, at = float("0.2"), float("0.3"), float("60.0")

    def run():
        design_lowpass()
        design_lowpass(fp, fs, at)
        design_lowpass(atten_db=4.0)
        for args, exc in (((0.5, 0.5), ValueError), ((0.6, 0.4), ValueError),
                          (("x",), TypeError)):
            try:
                design_lowpass(*args)
            except exc:
                pass
    return run, [fp, fs, at, F32]


# ---- Telemetry

@scenario("Telemetry life cycle, read, probe_id, stamp, errors")
def _():
    t = Telemetry(8)
    a = AGC()
    a.set_telemetry(t, "agc")
    name = "agc.level_db"
    stamp = int("123456789012345")
    checks = [
        swallow(lambda: Telemetry(3), ValueError),
        swallow(lambda: t.read(-1), ValueError),
        swallow(lambda: t.probe_id("nope"), KeyError),
        swallow(lambda: t.probe_id(5), TypeError),
        swallow(lambda: setattr(t, "stamp", -1), OverflowError),
    ]

    def run():
        Telemetry(16)
        a.steps(X[:16])
        t.read(1)
        t.read()
        t.probe_id(name)
        t.stamp = stamp
        t.probe_names, t.emitted, t.pending, t.dropped, t.n_probes, t.capacity
        for c in checks:
            c()
    return run, [t, a, name, stamp]


# ------------------------------------------------------------ the test

@pytest.fixture(scope="module")
def traced():
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    yield
    if started:
        tracemalloc.stop()


def _snapshot():
    gc.collect()
    heap = HEAP_IN_USE() if HEAP_IN_USE else 0
    return sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0], heap


def measure(call, watched):
    """Run call RUNS times: the arguments whose reference count changed, and
    the growth of blocks, traced bytes and C heap bytes."""
    refs = [sys.getrefcount(o) for o in watched]
    blocks0, traced0, heap0 = _snapshot()
    for _ in range(RUNS):
        call()
    blocks1, traced1, heap1 = _snapshot()
    after = [sys.getrefcount(o) for o in watched]
    grown = [(type(o).__name__, r, a) for o, r, a in zip(watched, refs, after) if a != r]
    return grown, blocks1 - blocks0, traced1 - traced0, heap1 - heap0


def leak_report(call, watched):
    """None when, after the warm-up, one of ROUNDS rounds shows no growth;
    otherwise the last round's measurement."""
    for _ in range(WARMUP):
        call()
    for _ in range(ROUNDS):
        grown, blocks, traced_bytes, heap = found = measure(call, watched)
        if not grown and (not MEMORY_CHECKED or (
                blocks < MAX_BLOCKS and traced_bytes < MAX_TRACED
                and (HEAP_IN_USE is None or heap < MAX_HEAP))):
            return None
    return found


class TestNoGrowth:
    @pytest.mark.parametrize("name", list(SCENARIOS))
    def test_scenario(self, name, traced):
        """Runs the scenario's calls RUNS times: the interpreter's blocks,
        the traced memory and the C heap stay flat, and every argument's
        reference count ends where it began.  Covers each binding's success
        path and its error exits (Ref owners, the stolen descriptor of
        PyArray_FromAny, the capsule reference, core release on destroy,
        re-initialisation and deallocation)."""
        call, watched = SCENARIOS[name]()
        assert leak_report(call, watched) is None


class TestDetectors:
    """The measurement can fail: the smallest leak worth finding, one
    24-byte block every second call, is seen by each detector on its own,
    through the same code and bounds as the scenarios."""

    @staticmethod
    def every_second_call(leak, kept=None):
        """A call that runs leak() on every second call and keeps what it
        returns in room taken beforehand (a list, or the given array), so
        that nothing else grows."""
        if kept is None:
            kept = [None] * ((WARMUP + ROUNDS * RUNS) // 2 + 1)
        calls = [0]

        def call():
            calls[0] += 1
            if calls[0] % 2:
                kept[calls[0] // 2] = leak()
        return call, kept

    def test_reference_leak_is_seen(self, traced):
        """One more reference to the argument every second call."""
        x = np.ones(3)
        call, _ = self.every_second_call(lambda: x)
        report = leak_report(call, [x])
        assert report is not None
        grown = report[0]
        assert grown and grown[0][2] - grown[0][1] == RUNS // 2

    @pytest.mark.skipif(not MEMORY_CHECKED, reason="memory is not measured under the sanitizer")
    def test_object_leak_is_seen(self, traced):
        """A 24-byte object (a float) every second call: past MAX_BLOCKS and
        past MAX_TRACED, each alone."""
        assert sys.getsizeof(0.5) == LEAK_BYTES
        call, _ = self.every_second_call(lambda: float(id(object())) + 0.5)
        report = leak_report(call, [])
        assert report is not None
        _, blocks, traced_bytes, _ = report
        assert blocks >= MAX_BLOCKS
        assert traced_bytes >= MAX_TRACED

    @pytest.mark.skipif(not MEMORY_CHECKED, reason="memory is not measured under the sanitizer")
    def test_array_leak_is_seen(self, traced):
        """A leaked 64-sample array every second call: NumPy's data buffers
        are traced too."""
        call, _ = self.every_second_call(X.copy)
        report = leak_report(call, [])
        assert report is not None and report[2] >= 64 * 8 * RUNS // 2

    @pytest.mark.skipif(HEAP_IN_USE is None, reason="no mallinfo2 in this C library")
    def test_heap_leak_is_seen(self, traced):
        """A 24-byte C allocation every second call, as a leaked native
        buffer would be, its address kept in C memory: past MAX_HEAP while
        the other detectors stay within theirs."""
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.malloc.argtypes = [ctypes.c_size_t]
        libc.free.argtypes = [ctypes.c_void_p]
        room = (ctypes.c_void_p * ((WARMUP + ROUNDS * RUNS) // 2 + 1))()
        call, kept = self.every_second_call(lambda: libc.malloc(LEAK_BYTES), room)
        report = leak_report(call, [])
        for p in kept:
            libc.free(p)
        assert report is not None
        _, blocks, traced_bytes, heap = report
        assert heap >= MAX_HEAP
        assert blocks < MAX_BLOCKS and traced_bytes < MAX_TRACED
