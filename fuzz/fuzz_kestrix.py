"""Coverage-guided fuzz targets for kestrix (atheris).

    python fuzz/fuzz_kestrix.py TARGET [libFuzzer flags...]

Targets:
  state      set_state of every type with bytes of the right and wrong
             lengths (mutated real blobs and raw bytes), then processing
  fir        FIR construction from arbitrary arrays, execute with arbitrary
             x and out, blocks longer than the work buffer's stretch, and
             out overlapping x at any whole or half-sample shift
  params     AGC / MovingAverage construction and property writes with
             arbitrary numbers (NaN, infinities, huge, negative), then
             step / steps
  design     design_lowpass and settling_samples over arbitrary floats,
             bounded so that each call stays quick
  telemetry  set_telemetry with hostile objects, prefixes and thinning,
             stepping and reading in between

The oracle of every target: no crash, no sanitizer report, and only the
documented exceptions (ALLOWED below: type and text); anything else is
re-raised, which atheris reports as a finding.  A few documented results are
checked too (clipped block output is never NaN, settling_samples' argument
rules, symmetric taps, probe ids in range).
"""

import math
import re
import sys
import types

import atheris

import numpy as np

with atheris.instrument_imports():
    from kestrix.agc import AGC, settling_samples
    from kestrix.filter import FIR, MovingAverage, design_lowpass
    from kestrix.telemetry import Telemetry

# ------------------------------------------------------------ the oracle

ALLOWED = [
    (RuntimeError, r"destroyed"),
    (TypeError, r"out must be a writable, C-contiguous ndarray of the output dtype"),
    (ValueError, r"out length \d+ != input length \d+"),
    (ValueError, r"out has \d+ elements, need >= \d+"),
    (TypeError, r"set_state expects bytes"),
    (ValueError, r"state blob size mismatch"),
    (ValueError, r"set_state rejected the blob"),
    (ValueError, r"set_telemetry failed \(rc=-4\)"),
    (MemoryError, r"(agc|fir|boxcar)_create returned NULL"),
    (ValueError, r"design_lowpass: band edges and attenuation give no finite tap count"),
    # NumPy's own refusals: unsafe casts, depth limits of the tap probe,
    # a negative tap count, malformed array-likes.
    (TypeError, r"Cannot cast array data from dtype\(.*\) to dtype\(.*\) according to "
                r"the rule 'safe'"),
    (ValueError, r"object (of too small depth|too deep) for desired array"),
    (ValueError, r"negative dimensions are not allowed"),
    (ValueError, r"setting an array element with a sequence.*"),
    (ValueError, r"complex\(\) arg is a malformed string"),
    # The interpreter's: attribute lookup of _capsule, the capsule name
    # check, the argument parser, the str encoder.
    (AttributeError, r".* has no attribute '_capsule'"),
    (ValueError, r"PyCapsule_GetPointer called with (incorrect name|invalid PyCapsule object)"),
    (ValueError, r"embedded null character"),
    (UnicodeEncodeError, r".*surrogates not allowed"),
    (TypeError, r"argument \d must be (str|int), not .*"),
    (OverflowError, r"(can't convert negative int to unsigned|int too big to convert)"),
    (ValueError, r"capacity must be a power of two from 1 to 2\*\*30"),
    (ValueError, r"max must be None or an integer >= 0"),
    # The hostile _capsule property of the telemetry target.
    (LookupError, r"hostile hook"),
]


def allowed(exc):
    return any(type(exc) is t and re.fullmatch(p, str(exc), re.S) for t, p in ALLOWED)


def guarded(fn, *args, **kwargs):
    """Call fn; a documented exception is an answer, anything else a finding."""
    try:
        return fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the allow-list decides
        if allowed(exc):
            return None
        raise


# ------------------------------------------------------------ input helpers

SPECIAL = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324,
           1e-30, 2.0**257, 770.7, -903.2, 1e39, 3.4028235e38]


def number(fdp):
    """A double: special values often, arbitrary bits otherwise."""
    pick = fdp.ConsumeIntInRange(0, 3)
    if pick == 0:
        return SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)]
    if pick == 1:
        return fdp.ConsumeFloat()
    if pick == 2:
        return fdp.ConsumeFloatInRange(-200.0, 200.0)
    return fdp.ConsumeRegularFloat()


def samples(fdp, n):
    """n complex64 samples from arbitrary float32 bits."""
    raw = fdp.ConsumeBytes(8 * n)
    raw += bytes(8 * n - len(raw))
    return np.frombuffer(raw, np.complex64).copy()


def layout(fdp, a):
    """The same values in an arbitrary memory layout."""
    k = fdp.ConsumeIntInRange(0, 6)
    if k == 1:
        return np.repeat(a, 2)[::2]
    if k == 2:
        return a[::-1].copy()[::-1]
    if k == 3:
        return a.astype(a.dtype.newbyteorder())
    if k == 4:
        b = a.copy()
        b.flags.writeable = False
        return b
    if k == 5 and a.size % 2 == 0 and a.size:
        return np.asfortranarray(a.reshape(2, -1))
    if k == 6:
        return a.tolist()
    return a


def out_for(fdp, x, n):
    """An arbitrary out: none, exact, longer, shorter, wrong kind, x itself."""
    k = fdp.ConsumeIntInRange(0, 9)
    if k == 0:
        return None
    if k == 1:
        return np.zeros(n, np.complex64)
    if k == 2:
        return np.zeros(n + fdp.ConsumeIntInRange(1, 9), np.complex64)
    if k == 3:
        return np.zeros(max(n - fdp.ConsumeIntInRange(1, 9), 0), np.complex64)
    if k == 4:
        return np.zeros(n, np.complex128)
    if k == 5:
        o = np.zeros(n, np.complex64)
        o.flags.writeable = False
        return o
    if k == 6:
        return np.zeros(2 * n, np.complex64)[::2]
    if k == 7 and isinstance(x, np.ndarray) and x.dtype == np.complex64 \
            and x.flags.c_contiguous and x.flags.writeable:
        return x
    if k == 8:
        return np.zeros(n, np.complex64).reshape(-1, 1)
    if k == 9:
        buf = bytearray(8 * n + 1)
        return np.frombuffer(buf, np.complex64, offset=1, count=n)
    return [0j] * n


def make_object(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return AGC(fdp.ConsumeFloatInRange(-40, 40), 0.01, 0.1)
    if kind == 1:
        return MovingAverage(fdp.ConsumeIntInRange(1, 64), 1.0)
    n = fdp.ConsumeIntInRange(1, 70)
    taps = np.arange(n, dtype=np.float32) / n
    return FIR(taps if kind == 2 else taps.astype(np.complex64))


def process(fdp, obj):
    """One block (and for AGC / MovingAverage some single steps)."""
    n = fdp.ConsumeIntInRange(0, 96)
    x = samples(fdp, n)
    if isinstance(obj, FIR):
        y = obj.execute(x)
    else:
        y = obj.steps(x)
        for v in x[:3]:
            obj.step(complex(v))
    assert y.shape == (n,)


# ------------------------------------------------------------ targets

def target_state(data):
    fdp = atheris.FuzzedDataProvider(data)
    obj = make_object(fdp)
    process(fdp, obj)
    size = obj.state_bytes()
    how = fdp.ConsumeIntInRange(0, 4)
    if how == 0:
        blob = fdp.ConsumeBytes(size)  # raw bytes, usually the right length
    elif how == 1:
        blob = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 2 * size + 8))
    else:
        blob = bytearray(obj.get_state())
        for _ in range(fdp.ConsumeIntInRange(1, 8)):
            # how 2 may hit the header, how 3 and 4 only the body.
            pos = fdp.ConsumeIntInRange(0 if how == 2 else min(16, size - 1), size - 1)
            blob[pos] = fdp.ConsumeIntInRange(0, 255)
        blob = bytes(blob)
    before = obj.get_state()
    try:
        obj.set_state(blob)
    except ValueError as exc:
        if not allowed(exc):
            raise
        assert obj.get_state() == before, "a refused blob changed the object"
        return
    if isinstance(obj, AGC):
        # The record's bytes are restored verbatim.
        assert obj.get_state()[16:104] == blob[16:104]
    for _ in range(2):
        process(fdp, obj)
    obj.reset()
    obj.set_state(obj.get_state())


def fir_taps(fdp):
    n = fdp.ConsumeIntInRange(0, 80)
    dtype = [np.float32, np.complex64, np.float64, np.complex128, np.int16,
             np.float16][fdp.ConsumeIntInRange(0, 5)]
    raw = fdp.ConsumeBytes(n * np.dtype(dtype).itemsize)
    raw += bytes(n * np.dtype(dtype).itemsize - len(raw))
    taps = np.frombuffer(raw, dtype).copy()
    shape = fdp.ConsumeIntInRange(0, 5)
    if shape == 1 and n:
        return taps[:1].reshape(())
    if shape == 2 and n % 2 == 0 and n:
        return taps.reshape(2, -1)
    return layout(fdp, taps)


def shifted(fdp, x, n):
    """x copied into a larger buffer, and an out that is a view of the same
    buffer shifted by whole or half samples either way."""
    shift = 4 * fdp.ConsumeIntInRange(-2 * n, 2 * n)
    raw = np.zeros(8 * n + abs(shift), np.uint8)
    xo, oo = (0, shift) if shift >= 0 else (-shift, 0)
    xv = raw[xo:xo + 8 * n].view(np.complex64)
    xv[:] = x
    return xv, raw[oo:oo + 8 * n].view(np.complex64)


def target_fir(data):
    fdp = atheris.FuzzedDataProvider(data)
    taps = fir_taps(fdp)
    fir = guarded(FIR, taps)
    if fir is None:
        return
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        # Blocks past one stretch of the work buffer (4032 samples) too.
        n = fdp.ConsumeIntInRange(0, 300) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(4000, 9000)
        x = samples(fdp, n)
        if fdp.ConsumeIntInRange(0, 3) == 0:
            # out overlapping x: the outputs of a separate out, bit for bit.
            twin = FIR(taps)
            twin.set_state(fir.get_state())
            want = twin.execute(x)
            x, out = shifted(fdp, x, n)
            y = fir.execute(x, out)
            assert np.array_equal(y.view(np.uint32), want.view(np.uint32)), "overlap changed bits"
            continue
        if fdp.ConsumeBool():
            x = layout(fdp, x)
        out = out_for(fdp, x, n)
        y = guarded(fir.execute, x, out) if out is not None else fir.execute(x)
        if y is not None:
            assert y.shape == (n,) and y.dtype == np.complex64
        if fdp.ConsumeIntInRange(0, 7) == 0:
            fir.reset()
    assert fir.execute_max_out() == 0


def target_params(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        agc = AGC(number(fdp), number(fdp), number(fdp))
        for _ in range(fdp.ConsumeIntInRange(1, 12)):
            op = fdp.ConsumeIntInRange(0, 9)
            if op < 4:
                setattr(agc, ("ref_db", "loop_bw", "alpha", "clip_db")[op], number(fdp))
            elif op < 6:
                setattr(agc, ("decim", "gain_update_period")[op - 4],
                        fdp.ConsumeIntInRange(-(2**70), 2**70))
            elif op == 6:
                agc.step(complex(number(fdp), number(fdp)))
            elif op == 7:
                agc.reset()
            else:
                n = fdp.ConsumeIntInRange(0, 256)
                y = agc.steps(samples(fdp, n))
                assert y.shape == (n,)
                # The block path clips with c = db_to_amp(clip_db): finite
                # for clip_db below ~770.64 dB (0 for NaN), so no NaN passes.
                if not agc.clip_db > 770.0:
                    assert not np.isnan(y).any(), "NaN passed a finite clip"
        agc.gain_db, agc.applied_gain_db
    else:
        length = fdp.ConsumeIntInRange(-(2**65), 2**65)
        ma = guarded(MovingAverage, length, number(fdp))
        if ma is None:
            assert not 1 <= length % 2**64 <= 64
            return
        assert ma.len == length % 2**64
        for _ in range(fdp.ConsumeIntInRange(1, 8)):
            op = fdp.ConsumeIntInRange(0, 3)
            if op == 0:
                ma.gain = number(fdp)
            elif op == 1:
                ma.step(complex(number(fdp), number(fdp)))
            elif op == 2:
                ma.reset()
            else:
                n = fdp.ConsumeIntInRange(0, 200)
                assert ma.steps(samples(fdp, n)).shape == (n,)


def settling_invalid(loop_bw, alpha, gain_err_db, tol_db):
    return (not (0 < alpha <= 1) or not loop_bw > 0 or not tol_db > 0
            or not math.isfinite(gain_err_db))


def target_design(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        loop_bw, alpha, err, tol = (number(fdp) for _ in range(4))
        # Cost grows as 1/loop_bw: keep each query quick.
        if 0 < loop_bw < 1e-3:
            loop_bw = 1e-3
        r = settling_samples(loop_bw, alpha, err, tol)
        assert isinstance(r, int) and r >= 0
        if settling_invalid(loop_bw, alpha, err, tol):
            assert r == 0, "invalid arguments must answer 0"
        elif tol >= abs(err):
            assert r == 1
        else:
            assert r <= min(16.0 / loop_bw, 2.0**63) + 1
        return
    fpass, fstop, atten = number(fdp), number(fdp), number(fdp)
    # The count grows as (atten - 8) / (fstop - fpass): bound it.
    with np.errstate(all="ignore"):
        q = float((np.float64(atten) - 8.0)
                  / ((np.float64(fstop) / 2.0 - np.float64(fpass) / 2.0) * 14.357078426905355)
                  + 1.0)
    if math.isfinite(q) and abs(q) > 20000:
        return
    h = guarded(design_lowpass, fpass, fstop, atten)
    if h is None:
        return
    assert h.dtype == np.float32 and h.ndim == 1 and len(h) % 2 == 1
    b = h.view(np.uint32)
    assert np.array_equal(b, b[::-1]), "taps not symmetric"


class Hostile:
    """tlm objects that misbehave in the attribute lookup."""

    def __init__(self, mode, t, agc):
        self.mode, self.t, self.agc = mode, t, agc

    @property
    def _capsule(self):
        if self.mode == 0:
            raise LookupError("hostile hook")
        if self.mode == 1:
            self.agc.destroy()
            return self.t._capsule
        if self.mode == 2:
            return 42
        if self.mode == 3:
            return Telemetry(2)._capsule  # the only reference is the AGC's
        if self.mode == 4:
            self.agc.__init__()
            return self.t._capsule
        return self.t


def target_telemetry(data):
    fdp = atheris.FuzzedDataProvider(data)
    t = Telemetry(1 << fdp.ConsumeIntInRange(0, 6))
    agcs = [AGC() for _ in range(fdp.ConsumeIntInRange(1, 3))]
    read = 0
    for _ in range(fdp.ConsumeIntInRange(1, 16)):
        agc = agcs[fdp.ConsumeIntInRange(0, len(agcs) - 1)]
        op = fdp.ConsumeIntInRange(0, 5)
        if op <= 1:
            k = fdp.ConsumeIntInRange(0, 10)
            tlm = [t, t._capsule, None, types.SimpleNamespace(_capsule=t._capsule),
                   object(), 7][k] if k < 6 else Hostile(k - 6, t, agc)
            prefix = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
            decim = fdp.ConsumeIntInRange(-(2**33), 2**33)
            guarded(agc.set_telemetry, tlm, prefix, decim)
        elif op == 2:
            guarded(agc.steps, samples(fdp, fdp.ConsumeIntInRange(0, 64)))
        elif op == 3:
            guarded(agc.step, complex(number(fdp), number(fdp)))
        elif op == 4:
            recs = guarded(t.read, fdp.ConsumeIntInRange(-2, 2**65))
            if recs is not None:
                read += len(recs)
                assert (recs["probe"] < max(t.n_probes, 1)).all()
        else:
            guarded(setattr, t, "stamp", fdp.ConsumeIntInRange(-1, 2**64))
    assert t.n_probes <= 64
    t.probe_names, t.emitted, t.pending, t.dropped


# The harness's own branches are the coverage signal that atheris can see
# (the native modules are built by GCC, without libFuzzer's counters; the
# native cores get coverage-guided fuzzing of their own in fuzz/native).
for _name, _fn in list(globals().items()):
    if isinstance(_fn, types.FunctionType) and _fn.__module__ == __name__ and _name != "main":
        globals()[_name] = atheris.instrument_func(_fn)

TARGETS = {
    "state": target_state,
    "fir": target_fir,
    "params": target_params,
    "design": target_design,
    "telemetry": target_telemetry,
}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{'|'.join(TARGETS)}}} [libFuzzer flags]")
    target = TARGETS[sys.argv[1]]
    np.seterr(all="ignore")
    atheris.Setup([sys.argv[0]] + sys.argv[2:], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
