// The filter module: FIR and MovingAverage, and design_lowpass.
#include "filter/filter_binding.h"
#include "filter/kaiser_core.h"

namespace {

constexpr char ERR_NO_TAP_COUNT[] =
    "design_lowpass: band edges and attenuation give no finite tap count";

PyObject *design_lowpass(PyObject *, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"fpass", "fstop", "atten_db", nullptr};
    double fpass = 0.4, fstop = 0.6, atten_db = 60.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ddd", const_cast<char **>(kwlist), &fpass,
                                     &fstop, &atten_db))
        return nullptr;
    int32_t n;
    if (kaiser_lowpass_len(fpass, fstop, atten_db, &n) != KX_STATUS_OK) {
        PyErr_SetString(PyExc_ValueError, ERR_NO_TAP_COUNT);
        return nullptr;
    }
    // A negative count (band edges reversed by enough) reaches NumPy, which
    // refuses it with its own error.
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    kx::Ref taps(PyArray_SimpleNew(1, dims, NPY_FLOAT));
    if (!taps) return nullptr;
    // The count was accepted above, so a refusal here is the window buffer.
    float *data = static_cast<float *>(PyArray_DATA(taps.arr()));
    if (kaiser_lowpass(fpass, fstop, atten_db, data) != KX_STATUS_OK) return PyErr_NoMemory();
    return taps.release();
}

// The designer's own numbers for the command-line tool, so that what it
// prints about a design is what made the taps: beta as the window uses it
// (rounded to float32) and the count design_lowpass returns.
PyObject *kaiser_beta_f32(PyObject *, PyObject *arg) {
    const double atten_db = PyFloat_AsDouble(arg);
    if (atten_db == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(static_cast<float>(kaiser_beta(atten_db)));
}

PyObject *kaiser_taps(PyObject *, PyObject *args) {
    double fpass, fstop, atten_db;
    if (!PyArg_ParseTuple(args, "ddd", &fpass, &fstop, &atten_db)) return nullptr;
    int32_t n;
    if (kaiser_lowpass_len(fpass, fstop, atten_db, &n) != KX_STATUS_OK) {
        PyErr_SetString(PyExc_ValueError, ERR_NO_TAP_COUNT);
        return nullptr;
    }
    return PyLong_FromLong(n);
}

const char design_doc[] =
    "design_lowpass(fpass=0.4, fstop=0.6, atten_db=60.0) -> ndarray\n\n"
    "Kaiser-windowed-sinc lowpass taps, sized by kaiser_num_taps, with\n"
    "Nyquist-normalised band edges.\n\n"
    "The cutoff fc = (fpass + fstop)/2 lies midway between the band edges; tap\n"
    "i is the ideal response sin(pi fc t)/(pi t) at t = i - (n-1)/2 times a\n"
    "Kaiser window.  Kaiser's formulas size the window from the transition\n"
    "width and the attenuation: with q = (atten_db - 8) / ((fstop - fpass)/2 *\n"
    "2.285 * 2 pi) + 1 and T its truncation, n = (T | 1) + 2 taps; beta is\n"
    "0.1102 (atten_db - 8.7) above 50 dB, 0.5842 (atten_db - 21)^0.4 +\n"
    "0.07886 (atten_db - 21) from 21 to 50 dB, and 0 (a rectangular window)\n"
    "below 21 dB.  The taps are symmetric, the centre tap is fc, and they are\n"
    "not rescaled: their sum, the DC gain, is close to 1 but not exactly 1.\n"
    "Given to FIR, a float32 array makes a real-tap filter.\n\n"
    "Parameters\n----------\n"
    "fpass : float, optional\n    Passband edge, 1.0 being the Nyquist frequency (default 0.4).\n"
    "fstop : float, optional\n    Stopband edge, above fpass (default 0.6).\n"
    "atten_db : float, optional\n    Stopband attenuation in dB (default 60.0).\n\n"
    "Returns\n-------\n"
    "ndarray\n    A new 1-D float32 array of n taps, n odd.\n\n"
    "Raises\n------\n"
    "TypeError\n    For an argument that is not a float.\n"
    "ValueError\n    \"design_lowpass: band edges and attenuation give no finite tap\n"
    "    count\" when fstop equals fpass, an argument is NaN, or the count does\n"
    "    not fit in 32 bits; NumPy's negative-dimension error when the band\n"
    "    edges are reversed by enough to make the count negative.\n"
    "MemoryError\n    When the taps or the temporary window cannot be allocated.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.filter import FIR, design_lowpass\n"
    ">>> h = design_lowpass()\n"
    ">>> (str(h.dtype), len(h), float(h[19]))\n"
    "('float32', 39, 0.5)\n"
    ">>> bool((h == h[::-1]).all())\n"
    "True\n"
    ">>> h = design_lowpass(0.2, 0.3, 60.0)\n"
    ">>> (len(h), float(h[37]), round(float(h.sum(dtype=np.float64)), 4))\n"
    "(75, 0.25, 1.0003)\n"
    ">>> fir = FIR(h)\n"
    ">>> (fir.num_taps, fir.is_real)\n"
    "(75, True)\n"
    ">>> design_lowpass(atten_db=4.0)\n"
    "array([0.5], dtype=float32)\n"
    ">>> design_lowpass(0.5, 0.5)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: design_lowpass: band edges and attenuation give no finite tap count\n";

const char filter_module_doc[] =
    "FIR filtering: a direct-form complex or real FIR (FIR) and an O(1) boxcar moving average "
    "(MovingAverage).\n\n"
    "FIR(taps) filters complex64 blocks with complex or float32 taps and\n"
    "keeps its delay line between calls.  MovingAverage(len=4, gain=1.0)\n"
    "slides a window of len complex samples (1 .. 64) over a stream and\n"
    "outputs the window sum times gain/len, in constant time per sample; len\n"
    "is taken as an unsigned 64-bit integer, so a negative length wraps, and a\n"
    "length outside 1 .. 64 raises MemoryError \"boxcar_create returned NULL\".\n"
    "Its len is read-only; its gain (a float, any value) can be set at any\n"
    "time, and the very next output carries it, the window being kept.\n"
    "design_lowpass(fpass, fstop, atten_db) designs Kaiser-windowed-sinc\n"
    "lowpass taps for FIR.\n\n"
    "Every object processes sample by sample or block by block, resets,\n"
    "snapshots and restores its state as bytes (state_bytes, get_state,\n"
    "set_state), and is released by destroy() or by leaving a with block.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from kestrix.filter import FIR, MovingAverage\n"
    ">>> MovingAverage(2).steps(np.ones(3, np.complex64)).real.tolist()\n"
    "[0.5, 1.0, 1.0]\n"
    ">>> ma = MovingAverage()\n"
    ">>> (ma.len, ma.gain)\n"
    "(4, 1.0)\n"
    ">>> MovingAverage(65)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "MemoryError: boxcar_create returned NULL\n";

PyMethodDef module_methods[] = {
    {"design_lowpass", (PyCFunction)(void (*)(void))design_lowpass,
     METH_VARARGS | METH_KEYWORDS, design_doc},
    {"_kaiser_beta", kaiser_beta_f32, METH_O,
     "_kaiser_beta(atten_db) -> float: beta as the designer's window uses it (float32)."},
    {"_kaiser_num_taps", kaiser_taps, METH_VARARGS,
     "_kaiser_num_taps(fpass, fstop, atten_db) -> int: the length design_lowpass returns."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef filter_module = kx::module_def("filter", filter_module_doc, module_methods);

}  // namespace

PyMODINIT_FUNC PyInit_filter(void) {
    static const kx::TypeEntry types[] = {
        {"FIR", &kx_FIR_Type},
        {"MovingAverage", &kx_MovingAverage_Type},
    };
    return kx::module_init(&filter_module, types, 2);
}
