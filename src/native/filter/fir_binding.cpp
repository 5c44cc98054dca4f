// The FIR type of the filter module.
#include "filter/fir_core.h"
#include "filter/filter_types.h"

namespace {

struct FirTraits {
    using core_type = fir_filter;
    using extra_type = kx::NoExtra;
    static constexpr const char *create_failed = "fir_create returned NULL";

    // Tap kind: a one-dimensional float32 array gives real taps; anything
    // else is converted to complex64 (NumPy refuses unsafe casts).  Taps that
    // are not one-dimensional are refused with the probe's NumPy error.
    static int create(PyObject *args, PyObject *kwds, fir_filter **out) {
        static const char *kwlist[] = {"taps", nullptr};
        PyObject *taps = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O", const_cast<char **>(kwlist), &taps))
            return -1;
        kx::Ref probe(PyArray_FromAny(taps, nullptr, 1, 1, NPY_ARRAY_C_CONTIGUOUS, nullptr));
        if (!probe) return -1;
        const bool real = PyArray_TYPE(probe.arr()) == NPY_FLOAT;
        probe.reset();
        PyArray_Descr *descr = PyArray_DescrFromType(real ? NPY_FLOAT : NPY_CFLOAT);
        if (descr == nullptr) return -1;
        kx::Ref arr(PyArray_FromAny(taps, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED,
                                    nullptr));
        if (!arr) return -1;
        const uint64_t n = uint64_t(PyArray_SIZE(arr.arr()));
        if (real)
            *out = fir_create_real(static_cast<const float *>(PyArray_DATA(arr.arr())), n);
        else
            *out = fir_create(static_cast<const fir_cf32 *>(PyArray_DATA(arr.arr())), n);
        return 0;
    }
    static void destroy(fir_filter *f) { fir_destroy(f); }
    static std::size_t state_bytes(const fir_filter *f) { return fir_state_bytes(f); }
    static void get_state(const fir_filter *f, uint8_t *b) { fir_get_state(f, b); }
    static int set_state(fir_filter *f, const uint8_t *b) { return fir_set_state(f, b); }
};

using T = FirTraits;

PyObject *fir_reset_method(PyObject *self, PyObject *) {
    fir_filter *f = kx::live<T>(self);
    if (f == nullptr) return nullptr;
    fir_reset(f);
    Py_RETURN_NONE;
}

PyObject *fir_execute_max_out_method(PyObject *self, PyObject *) {
    fir_filter *f = kx::live<T>(self);
    if (f == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(fir_execute_max_out(f));
}

PyObject *as_c64_array(npy_intp n, void *data, int flags) {
    npy_intp dims[1] = {n};
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_CFLOAT);
    if (descr == nullptr) return nullptr;
    return PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, data, flags, nullptr);
}

// execute(x, out): out in the capacity style.  The result has the length of
// x; with out given it is a view of out's first elements (out is its base).
PyObject *fir_execute_method(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"x", "out", nullptr};
    if (kx::live<T>(self) == nullptr) return nullptr;
    PyObject *x = nullptr;
    PyObject *out = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &x, &out))
        return nullptr;
    kx::Ref xa(reinterpret_cast<PyObject *>(kx::as_complex64(x)));
    if (!xa) return nullptr;
    const npy_intp n = PyArray_SIZE(xa.arr());
    const fir_cf32 *xd = static_cast<const fir_cf32 *>(PyArray_DATA(xa.arr()));

    if (out == Py_None) {
        kx::Ref result(as_c64_array(n, nullptr, 0));
        if (!result) return nullptr;
        fir_filter *f = kx::live<T>(self);  // __array__ of x may have destroyed it
        if (f == nullptr) return nullptr;
        const uint64_t written =
            fir_execute(f, xd, uint64_t(n), static_cast<fir_cf32 *>(PyArray_DATA(result.arr())));
        if (written != uint64_t(n)) {
            npy_intp dims[1] = {npy_intp(written)};
            PyArray_Dims shape = {dims, 1};
            kx::Ref none(PyArray_Resize(result.arr(), &shape, 0, NPY_CORDER));
            if (!none) return nullptr;
        }
        return result.release();
    }

    if (!kx::out_kind_ok(out)) return nullptr;
    PyArrayObject *oa = reinterpret_cast<PyArrayObject *>(out);
    const npy_intp have = PyArray_SIZE(oa);
    if (have < n) {
        PyErr_Format(PyExc_ValueError, "out has %zu elements, need >= %zu", size_t(have), size_t(n));
        return nullptr;
    }
    fir_filter *f = kx::live<T>(self);
    if (f == nullptr) return nullptr;
    const uint64_t written = fir_execute(f, xd, uint64_t(n), static_cast<fir_cf32 *>(PyArray_DATA(oa)));
    kx::Ref view(as_c64_array(npy_intp(written), PyArray_DATA(oa), NPY_ARRAY_CARRAY));
    if (!view) return nullptr;
    if (PyArray_SetBaseObject(view.arr(), Py_NewRef(out)) < 0) return nullptr;
    return view.release();
}

PyObject *num_taps_get(PyObject *self, void *) {
    fir_filter *f = kx::live<T>(self);
    return f == nullptr ? nullptr : PyLong_FromUnsignedLongLong(f->taps_len);
}

PyObject *is_real_get(PyObject *self, void *) {
    fir_filter *f = kx::live<T>(self);
    return f == nullptr ? nullptr : PyBool_FromLong(fir_is_real(f));
}

#define FIR_IMPORT "from kestrix.filter import FIR"

const char fir_doc[] =
    "FIR(taps)\n"
    "--\n\n"
    "Create a FIR filter from complex CF32 tap coefficients.\n\n"
    "A direct-form FIR, y[n] = sum_k taps[k] * x[n-k], on complex64 samples.\n"
    "The filter keeps its delay line between calls, so a stream can be cut into\n"
    "blocks of any size with identical results.  A one-dimensional float32 tap\n"
    "array takes the fir_create_real path (real taps, the cheaper inner loop),\n"
    "which is the path for taps whose imaginary parts are all zero; any other\n"
    "taps are converted to complex64, so a complex64 array with zero imaginary\n"
    "parts, or a list of Python numbers, gives complex taps.\n\n"
    "Parameters\n----------\n"
    "taps : array_like\n    One-dimensional tap coefficients, at least one.  Taps that are\n"
    "    not one-dimensional (a scalar, a 2-D array) are refused with NumPy's\n"
    "    error; float64 and complex128 arrays are refused by NumPy's safe-cast\n"
    "    rule (convert them to float32 or complex64 first).\n\n"
    "Raises\n------\n"
    "MemoryError\n    \"fir_create returned NULL\" for an empty tap array or when memory\n"
    "    runs out.\n"
    "TypeError, ValueError\n    NumPy's conversion errors.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> fir = FIR(np.array([0.25, 0.5, 0.25], np.complex64))\n"
    ">>> (fir.num_taps, fir.is_real)\n"
    "(3, False)\n"
    ">>> fir.execute(np.array([1, 0, 0], np.complex64)).real.tolist()\n"
    "[0.25, 0.5, 0.25]\n"
    ">>> FIR(np.array([0.25, 0.5, 0.25], np.float32)).is_real\n"
    "True\n";

const char execute_doc[] =
    "execute(x, out) -> ndarray\n\n"
    "Filter one block, carrying the delay line over from the previous block.\n\n"
    "Parameters\n----------\n"
    "x : array_like\n    Samples, converted to complex64 without unsafe casts; any shape,\n"
    "    processed in C order.\n"
    "out : ndarray, optional\n    A writable, C-contiguous complex64 array with at least as many\n"
    "    elements as x (any shape), or None.  It may be x itself.\n\n"
    "Returns\n-------\n"
    "ndarray\n    A 1-D complex64 array of len(x) samples: a new array, or, when out\n"
    "    is given, a view of out's first elements (out is its base; the rest\n"
    "    of out is untouched).\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "TypeError\n    When x does not cast safely to complex64, or out is not a\n"
    "    writable, C-contiguous complex64 ndarray.\n"
    "ValueError\n    \"out has N elements, need >= M\" when out is too small.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> fir = FIR(np.array([0.5, 0.5], np.float32))\n"
    ">>> fir.execute(np.array([2, 4], np.complex64)).real.tolist()\n"
    "[1.0, 3.0]\n"
    ">>> out = np.zeros(4, np.complex64)\n"
    ">>> fir.execute(np.array([6], np.complex64), out).real.tolist()\n"
    "[5.0]\n";

const char reset_doc[] =
    "reset() -> None\n\n"
    "Zero the delay line: the filter then behaves exactly like a new one with\n"
    "the same taps (its work buffer is kept, so nothing is allocated again).\n\n"
    "Raises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> fir = FIR(np.array([0.25, 0.5, 0.25], np.complex64))\n"
    ">>> y = fir.execute(np.array([1, 0, 0], np.complex64))\n"
    ">>> fir.reset()\n"
    ">>> fir.execute(np.array([1, 0, 0], np.complex64)).real.tolist()\n"
    "[0.25, 0.5, 0.25]\n";

const char max_out_doc[] =
    "Always 0 -- FIR is a 1:1 transform, not a bounded-capacity one.\n\n"
    "The output of execute() always has the length of its input.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> FIR(np.ones(3, np.float32)).execute_max_out()\n"
    "0\n";

PyMethodDef fir_methods[] = {
    {"reset", (PyCFunction)fir_reset_method, METH_NOARGS, reset_doc},
    {"execute", (PyCFunction)(void (*)(void))fir_execute_method, METH_VARARGS | METH_KEYWORDS,
     execute_doc},
    {"execute_max_out", (PyCFunction)fir_execute_max_out_method, METH_NOARGS, max_out_doc},
    KX_FRAME_METHODS(T, "import numpy as np; " FIR_IMPORT, "FIR(np.ones(4, np.float32))"),
};

PyGetSetDef fir_getset[] = {
    {"num_taps", num_taps_get, nullptr, "The number of tap coefficients given at creation.\n",
     nullptr},
    {"is_real", is_real_get, nullptr,
     "True when the filter was created with real-valued (float32) taps, which use the cheaper "
     "inner loop.\n",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject kx_FIR_Type = kx::make_type<T>("filter.FIR", fir_doc, fir_methods, fir_getset);
