// The agc module: the AGC type over the AGC core, and settling_samples.
#include "agc/agc_core.h"
#include "common/frame.h"

namespace {

// While attached to a telemetry context the object keeps the capsule that
// carried it alive, so the context cannot be freed under the loop.
struct TelemetryHold {
    PyObject *capsule = nullptr;
    void release() noexcept { Py_CLEAR(capsule); }
};

struct AgcTraits
    : kx::CoreTraits<agc_core, agc_destroy, agc_state_bytes, agc_get_state, agc_set_state> {
    using extra_type = TelemetryHold;
    static constexpr const char *create_failed = "agc_create returned NULL";

    static int create(PyObject *args, PyObject *kwds, agc_core **out) {
        static const char *kwlist[] = {"ref_db", "loop_bw", "alpha", nullptr};
        double ref_db = 0.0, loop_bw = 0.0025, alpha = 0.05;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ddd", const_cast<char **>(kwlist), &ref_db,
                                         &loop_bw, &alpha))
            return -1;
        *out = agc_create(ref_db, loop_bw, alpha);
        return 0;
    }
};

using T = AgcTraits;

// The name of the attribute that holds a telemetry object's capsule, interned
// once at module initialisation and kept for the life of the process: a
// fresh string per lookup would take a new slot of the interpreter's type
// attribute cache on every attach.
PyObject *capsule_attr = nullptr;

PyObject *agc_set_telemetry_method(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"tlm", "prefix", "decim", nullptr};
    if (kx::live<T>(self) == nullptr) return nullptr;
    PyObject *tlm = nullptr;
    const char *prefix = nullptr;
    unsigned long decim = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Os|k", const_cast<char **>(kwlist), &tlm,
                                     &prefix, &decim))
        return nullptr;
    kx::Ref capsule;
    kx_tlm_ctx *ctx = nullptr;
    if (tlm != Py_None) {
        capsule.reset(PyCapsule_CheckExact(tlm) ? Py_NewRef(tlm)
                                                : PyObject_GetAttr(tlm, capsule_attr));
        if (!capsule) return nullptr;
        ctx = static_cast<kx_tlm_ctx *>(
            PyCapsule_GetPointer(capsule.get(), "kestrix.telemetry.kx_tlm"));
        if (ctx == nullptr) return nullptr;
    }
    agc_core *a = kx::live<T>(self);  // the attribute lookup may have run Python code
    if (a == nullptr) return nullptr;
    const int rc = agc_set_telemetry(a, ctx, prefix, static_cast<uint32_t>(decim));
    if (rc != KX_STATUS_OK) {
        PyErr_Format(PyExc_ValueError, "%s (rc=%lld)", "set_telemetry failed",
                     static_cast<long long>(rc));
        return nullptr;
    }
    // Attached: hold the new capsule (dropping any previous one); detached:
    // hold nothing.
    PyObject *old = kx::obj<T>(self)->extra.capsule;
    kx::obj<T>(self)->extra.capsule = capsule.release();
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

#define AGC_IMPORT "from kestrix.agc import AGC"

const char agc_doc[] =
    "AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n"
    "--\n\n"
    "Construct a log-domain feedback AGC and return its heap state.\n\n"
    "The loop integrator starts at 0 dB (unity gain) and the detector state\n"
    "p_avg is pre-seeded to 10^(ref_db/10) linear, so that a first block of\n"
    "on-target samples produces no transient.\n\n"
    "Parameters\n----------\n"
    "ref_db : float, optional\n"
    "    Target output power in dB (default 0.0; 0.0 means unity power).\n"
    "loop_bw : float, optional\n"
    "    Convergence speed: loop noise bandwidth in cycles/sample (default\n"
    "    0.0025).  The loop filter's time constant is 1/(4*loop_bw) samples,\n"
    "    a floor on settling rather than an estimate: the detector sits inside\n"
    "    the loop and measures power, so a quiet input settles 1.7 to 2.2 times\n"
    "    slower at -40 dB in, and worse at small alpha.  With the block path\n"
    "    keep 4*decim*loop_bw <= 0.05.\n"
    "alpha : float, optional\n"
    "    Detector smoothing, an EMA coefficient in (0, 1] (default 0.05);\n"
    "    smaller smooths harder and reacts slower.\n\n"
    "No value is validated: every number is stored as given.\n\n"
    "Attributes\n----------\n"
    "gain_db : float\n"
    "    Loop-filter integrator: the gain the loop commands, in dB (read-only;\n"
    "    0.0 at create and reset).\n"
    "applied_gain_db : float\n"
    "    The gain applied to the most recent sample, in dB (read-only).\n"
    "ref_db : float\n"
    "    Target output power in dB; 0 dB is a mean squared magnitude of 1.\n"
    "loop_bw : float\n"
    "    Loop noise bandwidth in cycles/sample; the integrator gain is\n"
    "    4*loop_bw per sample.\n"
    "alpha : float\n"
    "    Detector EMA coefficient, meaningful in (0, 1]; 1 or more turns the\n"
    "    smoothing off.\n"
    "decim : int\n"
    "    Block-path chunk length in samples, >= 1 (0 acts as 1; default 8).\n"
    "clip_db : float\n"
    "    Output clip level in dB: each output component is limited to\n"
    "    +/-10**(clip_db/20) (default 120.0).\n"
    "gain_update_period : int\n"
    "    P: step() refreshes the gain and runs the loop update once every P\n"
    "    samples, >= 1 (0 acts as 1; default 1).\n\n"
    "A property write stores its value as given (an int property modulo\n"
    "2**64) and changes nothing else; the loop state is not touched.\n\n"
    "Raises\n------\n"
    "TypeError\n    For a non-number, more than three arguments or an unknown keyword.\n"
    "MemoryError\n    \"agc_create returned NULL\" when the record cannot be allocated.\n\n"
    "Examples\n--------\n"
    ">>> " AGC_IMPORT "\n"
    ">>> agc = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n"
    ">>> (agc.ref_db, agc.loop_bw, agc.alpha)\n"
    "(0.0, 0.0025, 0.05)\n"
    ">>> (agc.gain_db, agc.applied_gain_db)\n"
    "(0.0, 0.0)\n"
    ">>> (agc.decim, agc.clip_db)\n"
    "(8, 120.0)\n";

const char reset_doc[] =
    "reset() -> None\n\n"
    "Return the loop state to its post-create condition.\n\n"
    "gain_db goes back to 0 dB (unity), g_last to unity, and p_avg is\n"
    "re-seeded from the current ref_db so that the first block after the reset\n"
    "produces no transient.  The configuration (ref_db, loop_bw, alpha, decim,\n"
    "clip_db, gain_update_period) and any telemetry attachment are left\n"
    "untouched.  Use it to process a new, independent signal segment without\n"
    "re-allocating.\n\n"
    "Raises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " AGC_IMPORT "\n"
    ">>> agc = AGC()\n"
    ">>> y = agc.steps(np.full(1000, 4 + 0j, np.complex64))\n"
    ">>> round(agc.gain_db, 1)\n"
    "-12.0\n"
    ">>> agc.reset()\n"
    ">>> (agc.gain_db, agc.applied_gain_db)\n"
    "(0.0, 0.0)\n";

const char step_doc[] =
    "step(x) -> float _Complex\n\n"
    "Process one complex sample through the per-sample loop.\n\n"
    "The current gain is applied, the output power is measured by the EMA\n"
    "detector, the loop-filter integrator advances, and the returned sample is\n"
    "then square-clipped to clip_db.  The clip comes after the detector update,\n"
    "so clipping never disturbs convergence.  With the default\n"
    "gain_update_period of 1 this is the exact per-sample reference path.  With\n"
    "P > 1 the detector and the gain multiply still run every sample, but the\n"
    "loop command (and the exponential and logarithm it needs) refreshes once\n"
    "per P samples: a zero-order hold on the gain that amortises the\n"
    "transcendentals in a sample-rate loop, the streaming analogue of the block\n"
    "path's decimation.  steps() is the faster block equivalent.  Neither is\n"
    "bit-identical to the P = 1 loop once decimated, but both converge to the\n"
    "same steady state.\n\n"
    "Parameters\n----------\n"
    "x : complex\n    Input sample (a float or int is taken as real); each part is\n"
    "    rounded to float32.\n\n"
    "Returns\n-------\n"
    "complex\n    The gained, clipped sample x*10^(gain_db/20), each component\n"
    "    independently clamped to +/-10^(clip_db/20).\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "TypeError\n    For an argument that does not convert to complex.\n\n"
    "Examples\n--------\n"
    ">>> " AGC_IMPORT "\n"
    ">>> AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05).step(1.0 + 0.0j)\n"
    "(1+0j)\n"
    ">>> agc = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n"
    ">>> agc.step(4.0 + 0.0j)\n"
    "(4+0j)\n"
    ">>> round(agc.gain_db, 6)\n"
    "-0.024276\n";

const char steps_doc[] =
    "steps(x[, out]) -> ndarray\n\n"
    "Process a block with the decimated loop and its gain ramp.\n\n"
    "The block is cut into chunks of decim samples (the last one may be\n"
    "shorter).  Across each chunk the linear gain ramps from the previous\n"
    "chunk's target to the current command; the chunk's mean power, measured\n"
    "before clipping, feeds the detector and one loop update.  Outputs are\n"
    "clipped to +/-10^(clip_db/20).  A stream fed in blocks whose lengths are\n"
    "multiples of decim gives the same output and state as one call.\n\n"
    KX_BLOCK_DOC_SECTIONS
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " AGC_IMPORT "\n"
    ">>> y = AGC(ref_db=0.0, loop_bw=0.05).steps(0.1 * np.ones(200, np.complex64))\n"
    ">>> bool(abs(y[-1]) > abs(y[0]))\n"
    "True\n";

const char set_telemetry_doc[] =
    "set_telemetry(tlm, prefix, decim) -> None\n\n"
    "Attach a telemetry context (None detaches) and register the two probes.\n\n"
    "Both probes are recorded once per gain-update event and further thinned by\n"
    "decim.  \"<prefix>.gain_db\" is the loop-filter integrator, the gain the\n"
    "loop commands, in dB.  \"<prefix>.level_db\" is the level the power\n"
    "detector measures, 10*log10(p_avg) in dB: the loop's input, which the\n"
    "integrator drives toward ref_db, so reading it tells whether the loop has\n"
    "converged without knowing the true input level, which gain_db alone cannot\n"
    "(it settles to an offset that depends on how loud the signal is).  The\n"
    "pair comes from one update: the level is the one this update answered,\n"
    "measured before the correction.  Detaching returns the probe sites to\n"
    "their one-branch disabled cost; re-attaching after a reset is idempotent\n"
    "(same name, same probe id).\n\n"
    "This is the setup path: call it before the producer thread starts\n"
    "stepping; every object attached to one context must be stepped on that one\n"
    "thread (the ring is single-producer, single-consumer).  While attached,\n"
    "the object keeps the context's capsule alive.\n\n"
    "Parameters\n----------\n"
    "tlm : object or None\n    A capsule named \"kestrix.telemetry.kx_tlm\", or an object\n"
    "    with such a capsule in its _capsule attribute, or None to detach.\n"
    "prefix : str\n    Probe name prefix, for example \"agc\" or \"rx.agc\" (required,\n"
    "    also when detaching).\n"
    "decim : int, optional\n    Emit every decim-th gain update, at least 1 (default 1).\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "AttributeError\n    When tlm is not a capsule and has no _capsule attribute.\n"
    "ValueError\n    For a capsule of another name, or \"set_telemetry failed (rc=-4)\"\n"
    "    when decim is 0, the probe table is full, or the context's ring is\n"
    "    inconsistent (no ring control block, a capacity that is neither 0 nor\n"
    "    a power of two, a mask other than capacity - 1, or more records\n"
    "    pending than the capacity).\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " AGC_IMPORT "\n"
    ">>> from kestrix.telemetry import Telemetry\n"
    ">>> tlm = Telemetry(1 << 12)\n"
    ">>> agc = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n"
    ">>> agc.set_telemetry(tlm, \"agc\")\n"
    ">>> tlm.probe_names\n"
    "['agc.gain_db', 'agc.level_db']\n"
    ">>> y = agc.steps(np.full(4096, 0.5 + 0j, np.complex64))\n"
    ">>> rec = tlm.read()\n"
    ">>> gain = rec['value'][rec['probe'] == tlm.probe_id('agc.gain_db')]\n"
    ">>> level = rec['value'][rec['probe'] == tlm.probe_id('agc.level_db')]\n"
    ">>> (len(gain), round(float(gain[-1]), 1), round(float(level[-1]), 1))\n"
    "(512, 6.0, 0.0)\n";

const char applied_doc[] =
    "Gain actually applied to the most recent sample, in dB: 20*log10(g_last).\n\n"
    "It differs from gain_db because the loop advances its command one step\n"
    "ahead after each sample (or chunk): right after a step, gain_db already\n"
    "holds the updated command while applied_gain_db still holds what the\n"
    "signal saw.  The two are equal at convergence, and both are 0.0 dB at\n"
    "create and reset.  A zero, negative, subnormal or NaN gain reads\n"
    "-6153.053111371775; an infinite one 6165.094311198335.\n\n"
    "Examples\n--------\n"
    ">>> " AGC_IMPORT "\n"
    ">>> agc = AGC()\n"
    ">>> agc.step(4.0 + 0.0j)\n"
    "(4+0j)\n"
    ">>> (agc.applied_gain_db, round(agc.gain_db, 6))\n"
    "(0.0, -0.024276)\n";

const char decim_doc[] =
    "Envelope decimation: the detector and loop filter run once per chunk of this many "
    "samples, >= 1 (typically 8, 16 or 32).\n";

PyMethodDef agc_methods[] = {
    {"reset", (PyCFunction)kx::m_call<T, agc_reset>, METH_NOARGS, reset_doc},
    {"step", (PyCFunction)kx::m_step<T, agc_step>, METH_VARARGS, step_doc},
    {"steps", (PyCFunction)(void (*)(void))kx::m_block<T, agc_steps>, METH_VARARGS | METH_KEYWORDS,
     steps_doc},
    {"set_telemetry", (PyCFunction)(void (*)(void))agc_set_telemetry_method,
     METH_VARARGS | METH_KEYWORDS, set_telemetry_doc},
    KX_FRAME_METHODS(T, AGC_IMPORT, "AGC()"),
};

PyGetSetDef agc_getset[] = {
    kx::field_ro<T, &agc_core::gain_db>("gain_db", "Gain db.\n"),
    {"applied_gain_db", kx::get_from<T, agc_applied_gain_db>, nullptr, applied_doc, nullptr},
    kx::field_rw<T, &agc_core::ref_db>("ref_db", "Ref db.\n"),
    kx::field_rw<T, &agc_core::loop_bw>("loop_bw", "Loop bw.\n"),
    kx::field_rw<T, &agc_core::alpha>("alpha", "Alpha.\n"),
    kx::field_rw<T, &agc_core::decim>("decim", decim_doc),
    kx::field_rw<T, &agc_core::clip_db>("clip_db", "Clip db.\n"),
    kx::field_rw<T, &agc_core::gain_update_period>("gain_update_period", "Gain update period.\n"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject AGC_Type = kx::make_type<T>("agc.AGC", agc_doc, agc_methods, agc_getset);

// ---------------------------------------------------------------- module

// Loop steps between two looks for signals: about a millisecond, so that
// Ctrl-C interrupts a query of any length at once.
constexpr uint64_t SETTLING_SLICE = uint64_t(1) << 15;

PyObject *settling_samples(PyObject *, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"loop_bw", "alpha", "gain_err_db", "tol_db", nullptr};
    double loop_bw, alpha, gain_err_db, tol_db;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "dddd", const_cast<char **>(kwlist), &loop_bw,
                                     &alpha, &gain_err_db, &tol_db))
        return nullptr;
    agc_settling query;
    if (!agc_settling_start(&query, loop_bw, alpha, gain_err_db, tol_db)) {
        while (!agc_settling_run(&query, SETTLING_SLICE)) {
            if (PyErr_CheckSignals() < 0) {
                agc_settling_end(&query);
                return nullptr;
            }
        }
    }
    return PyLong_FromUnsignedLongLong(query.result);
}

const char settling_doc[] =
    "settling_samples(loop_bw, alpha, gain_err_db, tol_db) -> int\n\n"
    "How many samples this loop needs to settle.\n\n"
    "The design query a caller sizing a warm-up budget, a burst preamble or an\n"
    "acquisition guard has to answer.  1/(4*loop_bw) is the loop filter's time\n"
    "constant, not the object's: the detector sits inside the loop and measures\n"
    "in power, so a quiet input settles more slowly; measured, the multiplier\n"
    "runs from about 0.8 on a loud start to nearly 5 on a quiet one with a slow\n"
    "detector.  The query runs the real per-sample loop against a constant\n"
    "input and counts, so there is no fitted curve to go stale.  Design-time\n"
    "only: it allocates and iterates, at most 16/loop_bw + 1 steps.\n\n"
    "Parameters\n----------\n"
    "loop_bw : float\n    Loop noise bandwidth in cycles/sample, > 0.\n"
    "alpha : float\n    Detector EMA coefficient in (0, 1].\n"
    "gain_err_db : float\n    How far the input lies below the target, in dB; positive\n"
    "    for a quiet input, the slow direction and the one to budget for.\n"
    "tol_db : float\n    Tolerance band around the final gain, in dB, > 0.\n\n"
    "Returns\n-------\n"
    "int\n    Samples until gain_db is within tol_db of gain_err_db; 1 when the\n"
    "    start is already within tolerance; 0 (rather than a plausible guess)\n"
    "    for invalid arguments or when the loop does not settle within the bound.\n\n"
    "Raises\n------\nTypeError\n    For a missing or non-numeric argument.\n"
    "KeyboardInterrupt\n    (or the exception of another signal handler) when a signal\n"
    "    arrives during a long query, which looks for signals every 32768 steps.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import settling_samples\n"
    ">>> settling_samples(0.0025, 0.05, 6.0, 0.5)\n"
    "225\n"
    ">>> settling_samples(0.0025, 0.05, -6.0, 0.5)\n"
    "206\n"
    ">>> settling_samples(0.0025, 0.05, 6.0, 0.0)\n"
    "0\n";

const char agc_module_doc[] =
    "Automatic gain control: a log-domain feedback AGC (AGC) that drives signal power toward a "
    "reference level.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from kestrix.agc import AGC\n"
    ">>> y = AGC(ref_db=0.0, loop_bw=0.05).steps(0.1 * np.ones(200, np.complex64))\n"
    ">>> bool(abs(y[-1]) > abs(y[0]))\n"
    "True\n";

PyMethodDef module_methods[] = {
    {"settling_samples", (PyCFunction)(void (*)(void))settling_samples,
     METH_VARARGS | METH_KEYWORDS, settling_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef agc_module = kx::module_def("agc", agc_module_doc, module_methods);

}  // namespace

PyMODINIT_FUNC PyInit_agc(void) {
    static const kx::TypeEntry types[] = {{"AGC", &AGC_Type}};
    if (capsule_attr == nullptr && (capsule_attr = PyUnicode_InternFromString("_capsule")) == nullptr)
        return nullptr;
    return kx::module_init(&agc_module, types, 1);
}
