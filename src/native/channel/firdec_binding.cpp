// The FIRDecimator type of the channel module.
#include "channel/channel_binding.h"
#include "channel/firdec_core.h"

namespace {

constexpr char ERR_FACTOR_LOW[] = "factor must be an integer >= 1";
constexpr char ERR_FACTOR_HIGH[] = "factor must be below 2**63";
constexpr char ERR_N_LOW[] = "n must be an integer >= 0";
constexpr char ERR_N_HIGH[] = "n must be below 2**63";

// A count argument through __index__: ValueError below lo, OverflowError
// from 2**63 on (texts low and high).  false with the exception set.
bool count_arg(PyObject *o, long long lo, const char *low, const char *high, uint64_t *v) {
    long long value;
    int overflow;
    if (!kx::index_arg(o, &value, &overflow)) return false;
    if (overflow > 0) {
        PyErr_SetString(PyExc_OverflowError, high);
        return false;
    }
    if (overflow < 0 || value < lo) {
        PyErr_SetString(PyExc_ValueError, low);
        return false;
    }
    *v = uint64_t(value);
    return true;
}

struct FirDecTraits : kx::CoreTraits<fir_decimator, firdec_destroy, firdec_state_bytes,
                                     firdec_get_state, firdec_set_state> {
    static constexpr const char *create_failed = "firdec_create returned NULL";
    static constexpr const char *run_failed = "firdec_execute could not allocate its work buffer";

    // The taps as FIR takes them (kx::taps_arg), then the factor.
    static int create(PyObject *args, PyObject *kwds, fir_decimator **out) {
        static const char *kwlist[] = {"taps", "factor", nullptr};
        PyObject *taps = nullptr, *factor_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO", const_cast<char **>(kwlist), &taps,
                                         &factor_arg))
            return -1;
        bool real = false;
        kx::Ref arr(reinterpret_cast<PyObject *>(kx::taps_arg(taps, &real)));
        if (!arr) return -1;
        uint64_t factor;
        if (!count_arg(factor_arg, 1, ERR_FACTOR_LOW, ERR_FACTOR_HIGH, &factor)) return -1;
        const uint64_t n = uint64_t(PyArray_SIZE(arr.arr()));
        const void *data = PyArray_DATA(arr.arr());
        if (real)
            *out = firdec_create_real(static_cast<const float *>(data), n, factor);
        else
            *out = firdec_create(static_cast<const cf32 *>(data), n, factor);
        return 0;
    }
};

using T = FirDecTraits;

PyObject *output_length(PyObject *self, PyObject *arg) {
    if (kx::live<T>(self) == nullptr) return nullptr;
    uint64_t n;
    if (!count_arg(arg, 0, ERR_N_LOW, ERR_N_HIGH, &n)) return nullptr;
    fir_decimator *d = kx::live<T>(self);  // __index__ may have destroyed it
    if (d == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(firdec_output_length(d, n));
}

#define DEC_IMPORT "from kestrix.channel import FIRDecimator"

const char dec_doc[] =
    "FIRDecimator(taps, factor)\n"
    "--\n\n"
    "Create a decimating FIR filter: lowpass and keep every factor-th output.\n\n"
    "The outputs are exactly FIR(taps).execute(x)[::factor] on the whole\n"
    "stream, bit for bit: the full-rate outputs n = 0, factor, 2*factor, ...\n"
    "(n counted from creation or reset), each summed in the FIR's own order.\n"
    "Only the kept outputs are computed.  The delay line and the decimation\n"
    "phase carry across calls, so a stream cut into blocks of any sizes,\n"
    "even blocks shorter than factor, gives the same outputs.\n\n"
    "Parameters\n----------\n"
    "taps : array_like\n    One-dimensional tap coefficients, at least one, taken as FIR\n"
    "    takes them: a float32 array gives real taps (the cheaper loop), any\n"
    "    other taps are converted to complex64.\n"
    "factor : int\n    Keep every factor-th output, 1 <= factor < 2**63.\n\n"
    "Attributes\n----------\n"
    "num_taps : int\n    Number of taps (read-only).\n"
    "is_real : bool\n    True for real (float32) taps (read-only).\n"
    "factor : int\n    The decimation factor (read-only).\n"
    "phase : int\n    Inputs taken since the last kept output's index, modulo factor\n"
    "    (read-only): 0 when the next input's output is kept.\n\n"
    "Raises\n------\n"
    "ValueError\n    \"factor must be an integer >= 1\" for factor < 1; NumPy's depth\n"
    "    error for taps that are not one-dimensional.\n"
    "OverflowError\n    \"factor must be below 2**63\".\n"
    "TypeError\n    For a factor that is not an integer, or taps that do not cast\n"
    "    safely to complex64 (float64, complex128).\n"
    "MemoryError\n    \"firdec_create returned NULL\" for an empty tap set, more than\n"
    "    2**29 - 3 taps (the most a state blob's 32-bit size can describe), or\n"
    "    when memory runs out.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> from kestrix.filter import FIR\n"
    ">>> taps = np.array([0.25, 0.5, 0.25], np.float32)\n"
    ">>> x = (np.arange(10) + 1j).astype(np.complex64)\n"
    ">>> dec = FIRDecimator(taps, 3)\n"
    ">>> (dec.num_taps, dec.is_real, dec.factor)\n"
    "(3, True, 3)\n"
    ">>> y = np.concatenate([dec.execute(x[:4]), dec.execute(x[4:])])\n"
    ">>> bool((y == FIR(taps).execute(x)[::3]).all())\n"
    "True\n"
    ">>> y.real.tolist()\n"
    "[0.0, 2.0, 5.0, 8.0]\n";

const char execute_doc[] =
    "execute(x, out) -> ndarray\n\n"
    "Filter one block and return the outputs it completes: those of the\n"
    "full-rate outputs n = 0, factor, 2*factor, ... that fall in this block,\n"
    "output_length(len(x)) of them.\n\n"
    "Parameters\n----------\n"
    "x : array_like\n    Samples, converted to complex64 without unsafe casts; any shape,\n"
    "    processed in C order (a scalar is one sample).\n"
    "out : ndarray, optional\n    A writable, C-contiguous complex64 array with room for at least\n"
    "    output_length(x.size) samples (any shape), or None.  It may be x\n"
    "    itself.\n\n"
    "Returns\n-------\n"
    "ndarray\n    A 1-D complex64 array: a new one, or, when out is given, a view of\n"
    "    out's first elements that keeps out's memory alive (the rest of out\n"
    "    is untouched).\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "TypeError\n    When x does not cast safely to complex64, or out is not a\n"
    "    writable, C-contiguous complex64 ndarray.\n"
    "ValueError\n    \"out has N elements, need >= M\" when out is too small.\n"
    "MemoryError\n    \"firdec_execute could not allocate its work buffer\"; the delay\n"
    "    line, the phase and out are then unchanged.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> dec = FIRDecimator(np.array([0.5, 0.5], np.float32), 2)\n"
    ">>> dec.execute(np.array([2, 4, 6], np.complex64)).real.tolist()\n"
    "[1.0, 5.0]\n"
    ">>> dec.phase\n"
    "1\n"
    ">>> dec.execute(np.array([8], np.complex64)).size\n"
    "0\n"
    ">>> out = np.zeros(3, np.complex64)\n"
    ">>> dec.execute(np.array([10, 12], np.complex64), out).real.tolist()\n"
    "[9.0]\n";

const char output_length_doc[] =
    "output_length(n) -> int\n\n"
    "How many outputs the next execute() of n samples returns, which depends on\n"
    "the phase that earlier blocks left.\n\n"
    "Parameters\n----------\n"
    "n : int\n    A block length, 0 <= n < 2**63.\n\n"
    "Returns\n-------\nint\n    The count of kept outputs among the next n inputs.\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "ValueError\n    \"n must be an integer >= 0\" for a negative n.\n"
    "OverflowError\n    \"n must be below 2**63\".\n"
    "TypeError\n    For an n that is not an integer.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> dec = FIRDecimator(np.ones(5, np.float32), 4)\n"
    ">>> (dec.output_length(1), dec.output_length(4), dec.output_length(5))\n"
    "(1, 1, 2)\n"
    ">>> y = dec.execute(np.zeros(3, np.complex64))\n"
    ">>> (dec.phase, dec.output_length(1), dec.output_length(2))\n"
    "(3, 0, 1)\n";

const char reset_doc[] =
    "reset() -> None\n\n"
    "Zero the delay line and the phase: the decimator then behaves exactly like\n"
    "a new one with the same taps and factor (its work buffer is kept).\n\n"
    "Raises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> dec = FIRDecimator(np.ones(3, np.float32), 2)\n"
    ">>> y = dec.execute(np.ones(3, np.complex64))\n"
    ">>> dec.reset()\n"
    ">>> (dec.phase, dec.execute(np.ones(3, np.complex64)).real.tolist())\n"
    "(0, [1.0, 3.0])\n";

const char num_taps_doc[] =
    "The number of tap coefficients given at creation: an int, at least 1\n"
    "(read-only).  state_bytes() is 8*num_taps + 24.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> dec = FIRDecimator(np.ones(75, np.float32), 8)\n"
    ">>> (dec.num_taps, dec.state_bytes())\n"
    "(75, 624)\n";

const char is_real_doc[] =
    "True when the decimator was created with real-valued (float32) taps, which\n"
    "use the cheaper inner loop (read-only).\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> (FIRDecimator(np.ones(3, np.float32), 2).is_real, FIRDecimator([1.0, 2.0], 2).is_real)\n"
    "(True, False)\n";

const char factor_doc[] =
    "The decimation factor given at creation: every factor-th output is kept\n"
    "(read-only).\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> FIRDecimator(np.ones(3, np.float32), 5).factor\n"
    "5\n";

const char phase_doc[] =
    "Input samples taken since the last kept output's index, modulo factor\n"
    "(read-only): 0 when the next input's output is kept.  It is saved in the\n"
    "state blob with the delay line.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " DEC_IMPORT "\n"
    ">>> dec = FIRDecimator(np.ones(3, np.float32), 4)\n"
    ">>> y = dec.execute(np.ones(6, np.complex64))\n"
    ">>> (y.size, dec.phase)\n"
    "(2, 2)\n";

PyMethodDef dec_methods[] = {
    {"reset", (PyCFunction)kx::m_call<T, firdec_reset>, METH_NOARGS, reset_doc},
    {"execute",
     (PyCFunction)(void (*)(void))kx::m_block_counted<T, firdec_output_length, firdec_execute>,
     METH_VARARGS | METH_KEYWORDS, execute_doc},
    {"output_length", output_length, METH_O, output_length_doc},
    KX_FRAME_METHODS(T, "import numpy as np; " DEC_IMPORT,
                     "FIRDecimator(np.ones(4, np.float32), 2)"),
};

PyGetSetDef dec_getset[] = {
    {"num_taps", kx::get_from<T, firdec_num_taps>, nullptr, num_taps_doc, nullptr},
    {"is_real", kx::get_from<T, firdec_is_real>, nullptr, is_real_doc, nullptr},
    kx::field_ro<T, &fir_decimator::factor>("factor", factor_doc),
    kx::field_ro<T, &fir_decimator::phase>("phase", phase_doc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject kx_FIRDecimator_Type =
    kx::make_type<T>("channel.FIRDecimator", dec_doc, dec_methods, dec_getset);
