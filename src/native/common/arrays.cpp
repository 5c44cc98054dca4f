// Array helpers of the block methods.
#include "common/frame.h"

namespace kx {

PyArrayObject *as_complex64(PyObject *x) {
    // FromAny steals the descriptor reference.  Alignment is asked for too, so
    // the kernels never read a misaligned float (a copy gives the same values).
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_CFLOAT);
    if (descr == nullptr) return nullptr;
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(x, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
}

bool out_kind_ok(PyObject *out) {
    if (PyArray_Check(out)) {
        PyArrayObject *a = reinterpret_cast<PyArrayObject *>(out);
        // A byte-swapped complex64 array has the same type number, but the
        // kernels write native-order floats: refuse it rather than corrupt it.
        if (PyArray_TYPE(a) == NPY_CFLOAT && PyArray_ISNOTSWAPPED(a) &&
            PyArray_CHKFLAGS(a, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE))
            return true;
    }
    PyErr_SetString(PyExc_TypeError, ERR_OUT_KIND);
    return false;
}

PyObject *exact_out(PyObject *out, npy_intp n) {
    if (out == nullptr || out == Py_None) {
        npy_intp dims[1] = {n};
        return PyArray_SimpleNew(1, dims, NPY_CFLOAT);
    }
    if (!out_kind_ok(out)) return nullptr;
    npy_intp have = PyArray_SIZE(reinterpret_cast<PyArrayObject *>(out));
    if (have != n) {
        PyErr_Format(PyExc_ValueError, ERR_OUT_LEN, Py_ssize_t(have), Py_ssize_t(n));
        return nullptr;
    }
    return Py_NewRef(out);
}

}  // namespace kx
