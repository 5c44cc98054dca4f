"""Plain scalar model of the AGC, written as the defined operation order.

Every statement performs one rounded operation. Doubles are Python floats;
single-precision values are ``np.float32`` scalars and every float32 product,
sum and comparison is done between two ``np.float32`` scalars, so NumPy rounds
each one on its own exactly as the native code must. Bit patterns are built
and taken apart with ``struct``.

The model is slow and is meant to be: it is the yardstick that the native
per-sample, block and settling paths are compared against bit for bit.
"""

import math
import struct

import numpy as np

# Kernel constants; the tests check their bit patterns in ``CONSTANT_BITS``.
LOG2_10_OVER_20 = 0.16609640474436813
EXP2_CLAMP = 1023.0
LN2 = 0.6931471805599453
LN2_OVER_24 = 0.028881132523331052
ONE_SIXTH = 0.16666666666666666
TWO_OVER_LN2 = 2.885390081777927
ONE_THIRD = 0.3333333333333333
DB_PER_OCTAVE = 3.010299956639812
SEED_FACTOR = 0.1
AMP_DB = 20.0
DBL_MIN = 2.2250738585072014e-308
DBL_MAX = 1.7976931348623157e308

AGC_P_MIN = 1e-30
AGC_P_MAX = 2.0**257

CONSTANT_BITS = {
    SEED_FACTOR: 0x3FB999999999999A,
    LOG2_10_OVER_20: 0x3FC542A5A12E1C5B,
    EXP2_CLAMP: 0x408FF80000000000,
    LN2: 0x3FE62E42FEFA39EF,
    LN2_OVER_24: 0x3F9D9303FEA2F7E9,
    ONE_SIXTH: 0x3FC5555555555555,
    TWO_OVER_LN2: 0x40071547652B82FF,
    ONE_THIRD: 0x3FD5555555555555,
    DB_PER_OCTAVE: 0x4008151824C7587F,
    AMP_DB: 0x4034000000000000,
    DBL_MIN: 0x0010000000000000,
    DBL_MAX: 0x7FEFFFFFFFFFFFFF,
    AGC_P_MIN: 0x39B4484BFEEBC2A0,
    AGC_P_MAX: 0x5000000000000000,
}

U64 = (1 << 64) - 1
MANTISSA_MASK = (1 << 52) - 1
ONE_BITS = 0x3FF0000000000000

# The float32 values nearest 0.6 and 0.8 used by the settling query's input.
F32_0_6 = np.float32(0.6)
F32_0_8 = np.float32(0.8)

STATE_BYTES = 120
STATE_MAGIC = b"AGC "
STATE_VERSION = 3


def double_bits(x):
    """The IEEE 754 bit pattern of a double, as an unsigned int."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def bits_double(b):
    """The double whose bit pattern is the low 64 bits of ``b``."""
    return struct.unpack("<d", struct.pack("<Q", b & U64))[0]


def f32_bits(x):
    """The bit pattern of a float32 value, as an unsigned int."""
    return int(np.float32(x).view(np.uint32))


# --------------------------------------------------------------------------
# Fast dB kernels
# --------------------------------------------------------------------------

def fast_exp2(x):
    """2**x from a degree-4 polynomial and an exponent built in the bits."""
    if abs(x) <= EXP2_CLAMP:
        a = x
    elif x < -EXP2_CLAMP:
        a = -EXP2_CLAMP
    elif x > EXP2_CLAMP:
        a = EXP2_CLAMP
    else:
        # Only NaN fails all three tests.
        a = -EXP2_CLAMP
    n = float(math.floor(a))
    f = a - n
    c = LN2 * f
    q = f * LN2_OVER_24
    q = q + ONE_SIXTH
    q = q * c
    q = q + 0.5
    q = q * c
    q = q + 1.0
    q = q * c
    q = q + 1.0
    # A signed 64-bit shift: n = -1023 cancels the bias and gives +0.0.
    shifted = int(n) << 52
    s = bits_double(shifted + ONE_BITS)
    return s * q


def db_to_amp(db):
    """10**(db/20) through fast_exp2."""
    e = db * LOG2_10_OVER_20
    return fast_exp2(e)


def fast_log2(p):
    """log2 of a positive normal double: exponent field plus a two-term series."""
    bits = double_bits(p)
    e = float(((bits >> 52) & 0x7FF) - 1023)
    m = bits_double((bits & MANTISSA_MASK) | ONE_BITS)
    num = -1.0 + m
    den = m + 1.0
    u = num / den
    uu = u * u
    t = uu * ONE_THIRD
    t = t + 1.0
    w = TWO_OVER_LN2 * u
    t = t * w
    return e + t


def power_to_db(p):
    """10*log10(p) through fast_log2."""
    lg = fast_log2(p)
    return lg * DB_PER_OCTAVE


def applied_gain_db(g_last):
    """20*log10(g_last) with the clamps of the readout."""
    if DBL_MIN <= g_last <= DBL_MAX:
        lg = math.log10(g_last)
        return AMP_DB * lg
    if g_last > DBL_MAX:
        lg = math.log10(DBL_MAX)
        return AMP_DB * lg
    # Zero, negative, subnormal and NaN.
    lg = math.log10(DBL_MIN)
    return AMP_DB * lg


def c_pow(x, y):
    """C's pow for the finite and overflowing cases that the model meets."""
    try:
        return math.pow(x, y)
    except OverflowError:
        return math.inf


def f32(x):
    """A double rounded once to float32 (beyond the range it is infinite)."""
    with np.errstate(over="ignore"):
        return np.float32(x)


# --------------------------------------------------------------------------
# The record
# --------------------------------------------------------------------------

class AGCModel:
    """The AGC record: configuration (ref_db .. gain_update_period) and loop
    state (gain_db .. clip_lin). Unsigned fields are Python ints kept in
    [0, 2**64); clip_lin is an np.float32."""

    def __init__(self, ref_db=0.0, loop_bw=0.0025, alpha=0.05):
        self.ref_db = float(ref_db)
        self.loop_bw = float(loop_bw)
        self.alpha = float(alpha)
        self.decim = 8
        self.clip_db = 120.0
        self.gain_update_period = 1
        self.gain_db = 0.0
        self.g_last = 1.0
        self.hold_count = 0
        self.clip_lin = np.float32(999451.5)
        self.clip_pad = 0
        e = self.ref_db * SEED_FACTOR
        self.p_avg = c_pow(10.0, e)

    def reset(self):
        self.gain_db = 0.0
        self.g_last = 1.0
        self.hold_count = 0
        self.clip_lin = f32(db_to_amp(self.clip_db))
        e = self.ref_db * SEED_FACTOR
        self.p_avg = c_pow(10.0, e)

    # Same layout as the blob that the native object writes.
    def get_state(self):
        head = STATE_MAGIC + struct.pack("<HBBII", STATE_VERSION, 1, 0, STATE_BYTES, 0)
        body = struct.pack(
            "<dddQdQdddQII",
            self.ref_db, self.loop_bw, self.alpha, self.decim & U64,
            self.clip_db, self.gain_update_period & U64, self.gain_db,
            self.p_avg, self.g_last, self.hold_count & U64,
            f32_bits(self.clip_lin), self.clip_pad)
        return head + body + bytes(16)

    @classmethod
    def from_state(cls, blob):
        m = cls()
        (m.ref_db, m.loop_bw, m.alpha, m.decim, m.clip_db,
         m.gain_update_period, m.gain_db, m.p_avg, m.g_last, m.hold_count,
         clip_bits, m.clip_pad) = struct.unpack("<dddQdQdddQII", blob[16:104])
        m.clip_lin = np.uint32(clip_bits).view(np.float32)
        return m


# --------------------------------------------------------------------------
# Loop update and per-sample path
# --------------------------------------------------------------------------

def clamp_power(p):
    """Detector input bound: NaN and anything above AGC_P_MAX become AGC_P_MAX."""
    if 0.0 <= p <= AGC_P_MAX:
        return p
    return AGC_P_MAX


def agc_loop_update(st, k):
    """Move gain_db by (ref_db - level) * k; returns level_db."""
    q = st.p_avg + AGC_P_MIN
    if AGC_P_MIN <= q <= AGC_P_MAX:
        pass
    elif q < AGC_P_MIN:
        q = AGC_P_MIN
    else:
        q = AGC_P_MAX
    level_db = power_to_db(q)
    d = st.ref_db - level_db
    d = d * k
    st.gain_db = d + st.gain_db
    return level_db


def clip32(w, t):
    """Two-comparison clip of one float32 component at +-t."""
    neg_t = -t
    if np.isnan(w) or neg_t > w:
        z = neg_t
    else:
        z = w
    if t < z or np.isnan(z):
        return t
    return z


def detector(st, p, alpha):
    if alpha >= 1.0:
        st.p_avg = p
    else:
        d = p - st.p_avg
        d = d * alpha
        st.p_avg = d + st.p_avg


def agc_step(st, xr, xi):
    """One sample; xr, xi are np.float32. Returns (yr, yi) as np.float32."""
    with np.errstate(all="ignore"):
        xr = np.float32(xr)
        xi = np.float32(xi)
        P = max(st.gain_update_period, 1)
        h = st.hold_count
        if h == 0:
            g = db_to_amp(st.gain_db)
            st.g_last = g
        else:
            g = st.g_last
        G = f32(g)
        yr = G * xr
        yi = G * xi
        dr = float(yr)
        di = float(yi)
        pi = di * di
        pr = dr * dr
        p = pi + pr
        p = clamp_power(p)
        detector(st, p, st.alpha)
        st.hold_count = (h + 1) & U64
        if st.hold_count >= P:
            kp = float(P) * 4.0
            k = kp * st.loop_bw
            agc_loop_update(st, k)
            st.clip_lin = f32(db_to_amp(st.clip_db))
            st.hold_count = 0
        t = st.clip_lin
        return clip32(yr, t), clip32(yi, t)


def agc_step_many(st, x):
    """agc_step over a complex64 array, one sample at a time."""
    x = np.ascontiguousarray(x, np.complex64).reshape(-1)
    out = np.empty(x.size, np.complex64)
    parts = out.view(np.float32)
    src = x.view(np.float32)
    for i in range(x.size):
        yr, yi = agc_step(st, src[2 * i], src[2 * i + 1])
        parts[2 * i] = yr
        parts[2 * i + 1] = yi
    return out


# --------------------------------------------------------------------------
# Block path
# --------------------------------------------------------------------------

def agc_chunk_coeff(c, m):
    """1 - (1 - c)**m: the coefficient that stands for m applications of c."""
    if m == 1:
        return c
    if c <= 0.0:
        return 0.0
    if c >= 1.0:
        return 1.0
    lg = math.log1p(-c)
    t = float(m) * lg
    e = math.expm1(t)
    return -e


def sum_squares_f32(v):
    """Float32 sum of squares of a float32 vector, in the block kernel's order.

    Floats go in groups of eight: floats 8j..8j+3 onto the four lanes of s0,
    8j+4..8j+7 onto the four lanes of s1; then v = s0 + s1 lane by lane,
    S = (v0 + v1) + (v2 + v3), and the fewer than eight floats left over are
    added onto S one at a time, in order.
    """
    zero = np.float32(0.0)
    s0 = [zero, zero, zero, zero]
    s1 = [zero, zero, zero, zero]
    groups = len(v) // 8
    for j in range(groups):
        base = 8 * j
        for lane in range(4):
            w = v[base + lane]
            sq = w * w
            s0[lane] = s0[lane] + sq
        for lane in range(4):
            w = v[base + 4 + lane]
            sq = w * w
            s1[lane] = s1[lane] + sq
    lanes = [s0[lane] + s1[lane] for lane in range(4)]
    left = lanes[0] + lanes[1]
    right = lanes[2] + lanes[3]
    S = left + right
    for i in range(8 * groups, len(v)):
        w = v[i]
        sq = w * w
        S = S + sq
    return S


def agc_steps(st, x):
    """The block path over a whole call; returns a new complex64 array."""
    x = np.ascontiguousarray(x, np.complex64).reshape(-1)
    n = x.size
    src = x.view(np.float32)
    out = np.empty(n, np.complex64)
    dst = out.view(np.float32)
    with np.errstate(all="ignore"):
        N = st.decim if st.decim >= 2 else 1
        kc = 4.0 * st.loop_bw
        alpha_N = agc_chunk_coeff(st.alpha, N)
        k_N = agc_chunk_coeff(kc, N)
        c = f32(db_to_amp(st.clip_db))
        a = st.g_last
        start = 0
        while start < n:
            m = min(N, n - start)
            if m == N:
                alpha_m = alpha_N
                k_m = k_N
            else:
                alpha_m = agc_chunk_coeff(st.alpha, m)
                k_m = agc_chunk_coeff(kc, m)
            g_new = db_to_amp(st.gain_db)
            inv_m = 1.0 / float(m)
            d = g_new - a
            G = d * inv_m
            gained = []
            for k in range(m):
                t = float(k + 1) * G
                t = t + a
                gk = f32(t)
                xr = src[2 * (start + k)]
                xi = src[2 * (start + k) + 1]
                gained.append(gk * xr)
                gained.append(gk * xi)
            S = sum_squares_f32(gained)
            L = inv_m * float(S)
            if 0.0 <= L <= AGC_P_MAX:
                pass
            elif L < 0.0:
                L = 0.0
            else:
                L = AGC_P_MAX
            for j, w in enumerate(gained):
                dst[2 * start + j] = clip32(w, c)
            detector(st, L, alpha_m)
            agc_loop_update(st, k_m)
            a = g_new
            start += m
        if n > 0:
            st.g_last = a
    return out


# --------------------------------------------------------------------------
# Settling query
# --------------------------------------------------------------------------

def settling_samples(loop_bw, alpha, gain_err_db, tol_db):
    """Samples until gain_db is within tol_db of gain_err_db; 0 if never."""
    if alpha > 1.0 or math.isnan(alpha):
        return 0
    if loop_bw <= 0.0 or math.isnan(loop_bw):
        return 0
    if alpha <= 0.0:
        return 0
    if tol_db <= 0.0 or math.isnan(tol_db):
        return 0
    if not math.isfinite(gain_err_db):
        return 0
    if tol_db >= abs(gain_err_db):
        return 1
    st = AGCModel(0.0, loop_bw, alpha)
    e = -0.05 * gain_err_db
    A = f32(c_pow(10.0, e))
    q = 16.0 / loop_bw
    if q >= 2.0**64:
        M = 2**63 + 1
    else:
        M = int(q) + 1
    kp = 1.0 * 4.0
    k = kp * loop_bw
    with np.errstate(all="ignore"):
        for i in range(1, M + 1):
            g = db_to_amp(st.gain_db)
            st.g_last = g
            G = f32(g)
            c = G * A
            cr = c * F32_0_6
            ci = c * F32_0_8
            di = float(ci)
            dr = float(cr)
            pi = di * di
            pr = dr * dr
            p = pi + pr
            p = clamp_power(p)
            detector(st, p, alpha)
            agc_loop_update(st, k)
            diff = st.gain_db - gain_err_db
            if abs(diff) <= tol_db:
                return i
    return 0


# --------------------------------------------------------------------------
# Blob layout: field name -> (offset, struct format)
# --------------------------------------------------------------------------

BLOB_FIELDS = {
    "ref_db": (16, "<d"),
    "loop_bw": (24, "<d"),
    "alpha": (32, "<d"),
    "decim": (40, "<Q"),
    "clip_db": (48, "<d"),
    "gain_update_period": (56, "<Q"),
    "gain_db": (64, "<d"),
    "p_avg": (72, "<d"),
    "g_last": (80, "<d"),
    "hold_count": (88, "<Q"),
    "clip_lin": (96, "<f"),
    "clip_pad": (100, "<I"),
}


def blob_field(blob, name):
    """One field of a state blob."""
    off, fmt = BLOB_FIELDS[name]
    return struct.unpack_from(fmt, blob, off)[0]


def with_field(blob, name, value):
    """A copy of the blob with one field replaced."""
    off, fmt = BLOB_FIELDS[name]
    b = bytearray(blob)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)
