"""Allocation failure on every public entry point.

CPython's test hook _testcapi.set_nomemory(start) makes every allocation of
the interpreter's allocators (and so NumPy's objects, shapes and the
bindings' own objects) fail from the start-th one on.  Each entry point is
called with start = 1, 2, ... until it gets through untouched: every call
must either succeed or raise MemoryError, never crash, raise anything else
or leave an error behind, and afterwards the object works, the arguments'
reference counts are where they were and repeating the sweep grows nothing.
"""

import gc
import sys

import numpy as np
import pytest

from kestrix.agc import AGC, settling_samples
from kestrix.channel import FIRDecimator
from kestrix.channel import Rotator
from kestrix.filter import FIR, MovingAverage, design_lowpass
from kestrix.telemetry import Telemetry

from conftest import under_sanitizer

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi has no set_nomemory", allow_module_level=True)

X = (np.linspace(-1.0, 1.0, 40) + 0.5j).astype(np.complex64)
TAPS = np.linspace(0.1, 0.9, 9).astype(np.float32)
# The sweep ends once this many calls in a row got through.
CLEAN_RUN = 8
LIMIT = 400


def entry_points():
    """name -> (call, watched): one call of each public entry point on live
    objects and arguments that the call must leave as it found them."""
    agc, fir, firc, ma = AGC(), FIR(TAPS), FIR(TAPS.astype(np.complex64)), MovingAverage(5)
    dec = FIRDecimator(TAPS.astype(np.complex64), 4)
    rot = Rotator(0.0123)
    tlm = Telemetry(64)
    agc2 = AGC()
    agc2.set_telemetry(tlm, "agc")
    out = np.zeros(len(X), np.complex64)
    blobs = {o: o.get_state() for o in (agc, fir, ma, rot)}
    calls = {
        "AGC()": lambda: AGC(1.0, 0.01, 0.1),
        "AGC.step": lambda: agc.step(0.5 + 0.5j),
        "AGC.steps": lambda: agc.steps(X),
        "AGC.steps out": lambda: agc.steps(X, out),
        "AGC.steps list": lambda: agc.steps([1j, 2, 3]),
        "AGC.reset": agc.reset,
        "AGC properties": lambda: (agc.gain_db, agc.applied_gain_db, agc.decim),
        "AGC setters": lambda: (setattr(agc, "ref_db", 1.5), setattr(agc, "decim", 9)),
        "AGC.set_telemetry": lambda: agc.set_telemetry(tlm, "rx"),
        "AGC.set_telemetry capsule": lambda: agc.set_telemetry(tlm._capsule, "rx", 2),
        "AGC.set_telemetry None": lambda: agc.set_telemetry(None, "rx"),
        "settling_samples": lambda: settling_samples(0.01, 0.1, 6.0, 0.5),
        "FIR()": lambda: FIR(TAPS),
        "FIR() list": lambda: FIR([0.5, 0.25j]),
        "FIR.execute": lambda: fir.execute(X),
        "FIR.execute complex": lambda: firc.execute(X),
        "FIR.execute out": lambda: fir.execute(X, out),
        "FIR properties": lambda: (fir.num_taps, fir.is_real, fir.execute_max_out()),
        "FIRDecimator()": lambda: FIRDecimator(TAPS, 3),
        "FIRDecimator.execute": lambda: dec.execute(X),
        "FIRDecimator.execute out": lambda: dec.execute(X, out),
        "FIRDecimator.execute overlapping": lambda: (lambda b: dec.execute(b[:-1], b[1:]))(
            X.copy()),
        "FIRDecimator calls": lambda: (dec.output_length(9), dec.num_taps, dec.phase,
                                       dec.set_state(dec.get_state()), dec.reset()),
        "MovingAverage()": lambda: MovingAverage(8, 0.5),
        "MovingAverage.step": lambda: ma.step(1 + 1j),
        "MovingAverage.steps": lambda: ma.steps(X),
        "MovingAverage gain": lambda: (setattr(ma, "gain", 2.0), ma.gain, ma.len),
        "design_lowpass": lambda: design_lowpass(0.2, 0.3, 60.0),
        "Telemetry()": lambda: Telemetry(16),
        "Telemetry.read": lambda: (agc2.steps(X[:16]), tlm.read(1), tlm.read()),
        "Telemetry.probe_id": lambda: tlm.probe_id("agc.gain_db"),
        "Telemetry properties": lambda: (tlm.probe_names, tlm.emitted, tlm.pending,
                                         tlm.dropped, tlm.n_probes, tlm.capacity, tlm._capsule),
        "Telemetry.stamp": lambda: setattr(tlm, "stamp", tlm.stamp + 1),
        "Rotator()": lambda: Rotator(0.25, phase=0.5),
        "Rotator.steps": lambda: rot.steps(X),
        "Rotator.steps out": lambda: rot.steps(X, out),
        "Rotator properties": lambda: (rot.shift, rot.phase, rot.reset()),
    }
    for o, blob in blobs.items():
        name = type(o).__name__
        calls[f"{name} state"] = lambda o=o, blob=blob: (o.state_bytes(), o.get_state(),
                                                         o.set_state(blob))
        calls[f"{name} life cycle"] = lambda t=type(o), blob=blob: (
            t.__exit__(t.__enter__(AGC() if t is AGC else t(TAPS) if t is FIR
                                   else t(0.1) if t is Rotator else t(5)),
                       None, None, None))
    watched = [agc, fir, firc, ma, dec, tlm, agc2, out, X, TAPS, *blobs.values()]
    watched = [agc, fir, firc, ma, rot, tlm, agc2, out, X, TAPS, *blobs.values()]
    return calls, watched


def sweep(call):
    """call under failing allocations from the 1st, 2nd, ... on; the
    starts at which it raised MemoryError."""
    failed = []
    clean = 0
    for start in range(LIMIT):
        _testcapi.set_nomemory(start, 0)
        try:
            try:
                call()
            finally:
                _testcapi.remove_mem_hooks()
        except MemoryError:
            failed.append(start)
            clean = 0
        else:
            clean += 1
        if clean == CLEAN_RUN:
            return failed
    raise AssertionError(f"still failing after {LIMIT} allocations")


CALLS, WATCHED = entry_points()


def test_the_hook_reaches_the_bindings():
    """The sweep fails allocations inside the calls: a new object, a new
    array and a new bytes object cannot be had at the first start."""
    for name in ("AGC()", "AGC.steps", "FIR state"):
        assert sweep(CALLS[name])[0] == 0


@pytest.mark.parametrize("name", list(CALLS))
def test_only_memory_error(name):
    """Every allocation that the entry point makes, failed in turn: each
    call succeeds or raises MemoryError (anything else escapes the sweep and
    fails the test); then the call works, no reference is gained or lost,
    and once the interpreter's caches have settled, further sweeps leave no
    block behind (a leak on any one failure path would grow by one block
    per sweep)."""
    call = CALLS[name]
    call()
    refs = [sys.getrefcount(o) for o in WATCHED]
    # Some caches of the interpreter (the type attribute cache, keyed by the
    # address of a name string) fill over a few sweeps before they settle.
    blocks = -1
    for _ in range(30):
        sweep(call)
        gc.collect()
        blocks, before = sys.getallocatedblocks(), blocks
        if blocks == before:
            break
    for _ in range(4):
        sweep(call)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    call()
    assert [sys.getrefcount(o) for o in WATCHED] == refs
    if not under_sanitizer():  # no block count without the interpreter's allocator
        assert grown < 4
