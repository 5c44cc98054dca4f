// Log-domain feedback automatic gain control: record, constants, kernels.
//
// The loop multiplies each sample by a linear gain, measures the power of the
// gained signal with an exponential moving average (the detector) and, at
// every loop update, integrates the dB difference between the reference and
// the measured level into its gain command.  Every formula is evaluated in a
// fixed order, one rounded operation per statement: results are reproducible
// bit for bit, so this code must be compiled with -ffp-contract=off.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/kx_core.h"
#include "kx_tlm/kx_tlm_core.h"

// Detector power bounds.  2^257 lies just above twice the square of the
// largest float32, so any finite sample's power stays below it.
inline constexpr double AGC_P_MIN = 1e-30;
inline constexpr double AGC_P_MAX = 0x1p257;
static_assert(std::bit_cast<uint64_t>(AGC_P_MIN) == 0x39B4484BFEEBC2A0ull);
static_assert(std::bit_cast<uint64_t>(AGC_P_MAX) == 0x5000000000000000ull);

inline constexpr std::size_t AGC_STATE_BYTES = 120;
inline constexpr uint32_t AGC_STATE_MAGIC = 0x20434741u;  // "AGC " little-endian
inline constexpr uint16_t AGC_STATE_VERSION = 3;

// Kernel constants, used exactly as written (two of them are one unit in the
// last place away from the nearest double of their exact value).
inline constexpr double AGC_SEED_DB_FACTOR = 0.1;                 // pow(10, ref_db * 0.1)
inline constexpr double AGC_DB_TO_LOG2_AMP = 0.16609640474436813;  // log2(10) / 20
inline constexpr double AGC_EXP2_LIMIT = 1023.0;
inline constexpr double AGC_LN2 = 0.6931471805599453;
inline constexpr double AGC_LN2_OVER_24 = 0.028881132523331052;
inline constexpr double AGC_ONE_SIXTH = 0.16666666666666666;
inline constexpr double AGC_TWO_OVER_LN2 = 2.885390081777927;
inline constexpr double AGC_ONE_THIRD = 0.3333333333333333;
inline constexpr double AGC_LOG2_TO_DB_POWER = 3.010299956639812;  // 10 log10(2)
inline constexpr double AGC_AMP_DB_FACTOR = 20.0;
inline constexpr double AGC_GAIN_MIN = 2.2250738585072014e-308;
inline constexpr double AGC_GAIN_MAX = 1.7976931348623157e308;
inline constexpr float AGC_DEFAULT_CLIP_LIN = 999451.5f;  // db_to_amp(120.0) as float32

static_assert(std::bit_cast<uint64_t>(AGC_SEED_DB_FACTOR) == 0x3FB999999999999Aull);
static_assert(std::bit_cast<uint64_t>(AGC_DB_TO_LOG2_AMP) == 0x3FC542A5A12E1C5Bull);
static_assert(std::bit_cast<uint64_t>(AGC_EXP2_LIMIT) == 0x408FF80000000000ull);
static_assert(std::bit_cast<uint64_t>(AGC_LN2) == 0x3FE62E42FEFA39EFull);
static_assert(std::bit_cast<uint64_t>(AGC_LN2_OVER_24) == 0x3F9D9303FEA2F7E9ull);
static_assert(std::bit_cast<uint64_t>(AGC_ONE_SIXTH) == 0x3FC5555555555555ull);
static_assert(std::bit_cast<uint64_t>(AGC_TWO_OVER_LN2) == 0x40071547652B82FFull);
static_assert(std::bit_cast<uint64_t>(AGC_ONE_THIRD) == 0x3FD5555555555555ull);
static_assert(std::bit_cast<uint64_t>(AGC_LOG2_TO_DB_POWER) == 0x4008151824C7587Full);
static_assert(std::bit_cast<uint64_t>(AGC_AMP_DB_FACTOR) == 0x4034000000000000ull);
static_assert(std::bit_cast<uint64_t>(AGC_GAIN_MIN) == 0x0010000000000000ull);
static_assert(std::bit_cast<uint64_t>(AGC_GAIN_MAX) == 0x7FEFFFFFFFFFFFFFull);
static_assert(std::bit_cast<uint32_t>(AGC_DEFAULT_CLIP_LIN) == 0x497401B8u);

// The AGC record.  Fields 1-6 are configuration, 7-11 the loop state that
// processing evolves; both travel in the state blob in this order.
struct agc_core {
    double ref_db;                // target output power, dB (0 dB = mean |y|^2 of 1)
    double loop_bw;               // loop noise bandwidth, cycles/sample (integrator gain 4*loop_bw)
    double alpha;                 // detector EMA coefficient; >= 1 disables smoothing
    uint64_t decim;               // block path chunk length, samples (0 acts as 1)
    double clip_db;               // output clip level, dB amplitude
    uint64_t gain_update_period;  // per-sample loop update period, samples (0 acts as 1)
    double gain_db;               // loop-filter integrator: the commanded gain, dB
    double p_avg;                 // detector state, linear power
    double g_last;                // linear gain applied to the most recent sample
    uint64_t hold_count;          // samples since the per-sample path's last update
    float clip_lin;               // per-sample clip level cached as float32, linear
    uint32_t clip_lin_slot;       // completes clip_lin's 64-bit slot; zero, carried verbatim
    kx_tlm_ctx *tlm;              // attached telemetry context, or null (never freed here)
    uint32_t gain_probe;          // probe id publishing gain_db
    uint32_t level_probe;         // probe id publishing the detector level
};
static_assert(offsetof(agc_core, decim) == 24 && offsetof(agc_core, hold_count) == 72);
static_assert(offsetof(agc_core, clip_lin) == 80 && offsetof(agc_core, tlm) == 88);
static_assert(offsetof(agc_core, level_probe) == 100 && sizeof(agc_core) == 104);

// ------------------------------------------------------------------ kernels
//
// Fast dB/linear conversions used by every processing path instead of the
// library's exponentials and logarithms.  They are pure and call no library
// function (floor is done inline).

// floor() for |a| <= 1023: truncate, then step down when truncation went up.
// Exact, and a plain instruction sequence on every target (no library call).
inline double agc_floor(double a) noexcept {
    double t = static_cast<double>(static_cast<int64_t>(a));
    if (t > a) t = t - 1.0;
    return t;
}

// 2^x: the argument is clamped to [-1023, 1023] (NaN to -1023), split into an
// integer n and a fraction f, and 2^f comes from the degree-4 Taylor
// polynomial of e^c with c = ln2 * f, its top coefficient applied as ln2/24
// to f.  2^n is assembled in the exponent field (n = -1023 gives +0.0).
inline double fast_exp2(double x) noexcept {
    double a;
    if (x > AGC_EXP2_LIMIT)
        a = AGC_EXP2_LIMIT;
    else if (x >= -AGC_EXP2_LIMIT)
        a = x;
    else
        a = -AGC_EXP2_LIMIT;  // below the range, or NaN
    const double n = agc_floor(a);
    const double f = a - n;
    const double c = AGC_LN2 * f;
    double q = f * AGC_LN2_OVER_24;
    q = q + AGC_ONE_SIXTH;
    q = q * c;
    q = q + 0.5;
    q = q * c;
    q = q + 1.0;
    q = q * c;
    q = q + 1.0;
    const uint64_t bits = (static_cast<uint64_t>(static_cast<int64_t>(n)) << 52) +
                          0x3FF0000000000000ull;
    const double s = std::bit_cast<double>(bits);
    return s * q;
}

// 10^(db/20)
inline double db_to_amp(double db) noexcept {
    const double e = db * AGC_DB_TO_LOG2_AMP;
    return fast_exp2(e);
}

// log2(p) for a positive normal p: exponent field plus the first two terms of
// (2/ln2) atanh(u), u = (m-1)/(m+1), of the mantissa m in [1, 2).
inline double fast_log2(double p) noexcept {
    const uint64_t bits = std::bit_cast<uint64_t>(p);
    const double e = static_cast<double>(static_cast<int64_t>((bits >> 52) & 0x7FF) - 1023);
    const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    const double num = -1.0 + m;
    const double den = m + 1.0;
    const double u = num / den;
    double r = u * u;
    r = r * AGC_ONE_THIRD;
    r = r + 1.0;
    const double t = AGC_TWO_OVER_LN2 * u;
    r = r * t;
    return e + r;
}

// 10 log10(p); callers clamp p into [AGC_P_MIN, AGC_P_MAX] first.
inline double power_to_db(double p) noexcept {
    const double l = fast_log2(p);
    return l * AGC_LOG2_TO_DB_POWER;
}

// The float32 clip level of a dB amplitude.
inline float agc_clip_level(double clip_db) noexcept {
    return static_cast<float>(db_to_amp(clip_db));
}

// Two-comparison clip: above t gives t, below -t gives -t, NaN gives -t.
inline float agc_clip(float w, float t) noexcept {
    const float neg = -t;
    const float z = (w != w || neg > w) ? neg : w;
    return (t < z || z != z) ? t : z;
}

// ------------------------------------------------------------ loop pieces
//
// The arithmetic that the per-sample path, the block path and the settling
// query share, each piece in its one order of operations.

// v kept in [lo, AGC_P_MAX]: below lo gives lo, above AGC_P_MAX or NaN gives
// AGC_P_MAX.
inline double agc_clamp_power(double v, double lo) noexcept {
    if (v >= lo && v <= AGC_P_MAX) return v;
    if (v < lo) return lo;
    return AGC_P_MAX;  // above, or NaN
}

// The power of one gained sample, im^2 + re^2 in double: the squares are
// exact, the sum is rounded once.  A NaN or infinite component gives
// AGC_P_MAX.
inline double agc_sample_power(float re, float im) noexcept {
    const double pi2 = static_cast<double>(im) * static_cast<double>(im);
    const double pr2 = static_cast<double>(re) * static_cast<double>(re);
    return agc_clamp_power(pi2 + pr2, 0.0);
}

// Detector: the EMA of the power p with coefficient alpha; an alpha of 1 or
// more takes p itself.
inline void agc_detect(agc_core *a, double p, double alpha) noexcept {
    if (alpha >= 1.0) {
        a->p_avg = p;
        return;
    }
    double d = p - a->p_avg;
    d = d * alpha;
    a->p_avg = d + a->p_avg;
}

// Gain refresh: the command of the last loop update as a linear gain, which
// becomes the gain applied (g_last).
inline double agc_refresh_gain(agc_core *a) noexcept {
    const double g = db_to_amp(a->gain_db);
    a->g_last = g;
    return g;
}

// The loop coefficient of an update that closes a hold period of `period`
// samples: (period * 4) * loop_bw.
inline double agc_step_coeff(uint64_t period, double loop_bw) noexcept {
    const double k = static_cast<double>(period) * 4.0;
    return k * loop_bw;
}

// ------------------------------------------------------------ loop update
//
// Moves the integrator by (ref_db - level_db) * k, where level_db is the
// detector state (plus AGC_P_MIN, clamped) in dB, then offers the new command
// and the level it answered to the attached telemetry context, in that order.
// p_avg must already hold the detector state for the samples it answers.
inline void agc_loop_update(agc_core *a, double k) noexcept {
    const double q = agc_clamp_power(a->p_avg + AGC_P_MIN, AGC_P_MIN);
    const double level_db = power_to_db(q);
    double d = a->ref_db - level_db;
    d = d * k;
    a->gain_db = d + a->gain_db;
    if (a->tlm != nullptr) {
        if (a->gain_probe < KX_TLM_MAX_PROBES) kx_tlm_emit(a->tlm, a->gain_probe, a->gain_db);
        if (a->level_probe < KX_TLM_MAX_PROBES) kx_tlm_emit(a->tlm, a->level_probe, level_db);
    }
}

// ------------------------------------------------------------ operations

agc_core *agc_create(double ref_db, double loop_bw, double alpha) noexcept;
void agc_reset(agc_core *a) noexcept;
void agc_destroy(agc_core *a) noexcept;
double agc_applied_gain_db(const agc_core *a) noexcept;

// One sample through the whole per-sample loop (gain, detector, update, clip):
// *x in, *y out.  The sample travels by pointer: GCC passes a complex float
// by value through a stack slot that the next load cannot be forwarded
// from, a stall that costs more than the loop's arithmetic.
void agc_step(agc_core *a, const cf32 *x, cf32 *y) noexcept;

// Block path: n samples from x to out; out may be x itself.
void agc_steps(agc_core *a, const cf32 *x, cf32 *out, uint64_t n) noexcept;

std::size_t agc_state_bytes(const agc_core *a) noexcept;
void agc_get_state(const agc_core *a, uint8_t *blob) noexcept;
int agc_set_state(agc_core *a, const uint8_t *blob) noexcept;

int agc_set_telemetry(agc_core *a, kx_tlm_ctx *ctx, const char *prefix, uint32_t decim) noexcept;

// Samples until the per-sample loop, fed a constant input gain_err_db below
// its 0 dB target, holds gain_db within tol_db of gain_err_db; 1 when the
// start is within tolerance, 0 for invalid arguments or no answer within
// 16/loop_bw + 1 samples.
uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db,
                              double tol_db) noexcept;

// The same query in slices, so that a caller can do other work (look for
// signals) between them: start, then run until it answers, or end it early.
struct agc_settling {
    agc_core *a;         // scratch record; null once the query has answered or ended
    double alpha;        // detector coefficient
    double gain_err_db;  // where the loop must arrive, dB
    double tol_db;       // how close, dB
    double k;            // loop coefficient 4*loop_bw
    uint64_t limit;      // the last sample tried
    uint64_t i;          // samples run so far
    uint64_t result;     // the answer, valid once a is null
    float amp;           // input amplitude
};

// Sets up the query; true when it is answered already (invalid arguments,
// the start within tolerance, no memory for the scratch record).
bool agc_settling_start(agc_settling *s, double loop_bw, double alpha, double gain_err_db,
                        double tol_db) noexcept;
// Runs at most `steps` more samples; true once the query has answered, its
// scratch record then released.
bool agc_settling_run(agc_settling *s, uint64_t steps) noexcept;
// Releases the scratch record of a query that has not answered.
void agc_settling_end(agc_settling *s) noexcept;

// ------------------------------------------------------------ set-up arithmetic
//
// The one home of the C library's exponentials and logarithms in the AGC:
// the translation units of the sample-rate paths poison them
// (common/no_libm.h), so these run out of line, at construction and reset,
// once or twice per block call, and once per settling query.

// 1 - (1 - c)^m: the coefficient that applied once stands for m applications.
double agc_chunk_coeff(double c, uint64_t m) noexcept;

// 10^e by the C library's pow.
double agc_pow10(double e) noexcept;
