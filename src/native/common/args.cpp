// Argument conversions of the bindings: the arrays of the block methods and
// integer arguments.
#include "common/frame.h"

namespace kx {

PyArrayObject *block_args(PyObject *args, PyObject *kwds, PyObject **out) {
    static const char *kwlist[] = {"x", "out", nullptr};
    PyObject *x = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &x, out))
        return nullptr;
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
    if (out == Py_None) return c64_array(n, nullptr, 0);
    if (!out_kind_ok(out)) return nullptr;
    npy_intp have = PyArray_SIZE(reinterpret_cast<PyArrayObject *>(out));
    if (have != n) {
        PyErr_Format(PyExc_ValueError, ERR_OUT_LEN, Py_ssize_t(have), Py_ssize_t(n));
        return nullptr;
    }
    return Py_NewRef(out);
}

PyArrayObject *capacity_out(PyObject *out, npy_intp n) {
    if (!out_kind_ok(out)) return nullptr;
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(out);
    const npy_intp have = PyArray_SIZE(a);
    if (have < n) {
        PyErr_Format(PyExc_ValueError, ERR_OUT_CAPACITY, size_t(have), size_t(n));
        return nullptr;
    }
    return a;
}

PyObject *c64_array(npy_intp n, void *data, int flags) {
    npy_intp dims[1] = {n};
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_CFLOAT);
    if (descr == nullptr) return nullptr;
    return PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, data, flags, nullptr);
}

PyObject *prefix_view(PyObject *out, npy_intp n) {
    // NumPy recomputes the alignment flag from the address, so a misaligned
    // out gives a view that says so.
    Ref view(c64_array(n, PyArray_DATA(reinterpret_cast<PyArrayObject *>(out)), NPY_ARRAY_CARRAY));
    if (!view) return nullptr;
    // Steals the new reference, also when it fails.  NumPy may store the
    // array that owns out's memory instead of out itself.
    if (PyArray_SetBaseObject(view.arr(), Py_NewRef(out)) < 0) return nullptr;
    return view.release();
}

bool index_arg(PyObject *o, long long *value, int *overflow) {
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    *overflow = 0;
    *value = PyLong_AsLongLongAndOverflow(index.get(), overflow);
    return !(*value == -1 && PyErr_Occurred());
}

PyArrayObject *taps_arg(PyObject *taps, bool *real) {
    Ref probe(PyArray_FromAny(taps, nullptr, 1, 1, NPY_ARRAY_C_CONTIGUOUS, nullptr));
    if (!probe) return nullptr;
    *real = PyArray_TYPE(probe.arr()) == NPY_FLOAT;
    probe.reset();
    PyArray_Descr *descr = PyArray_DescrFromType(*real ? NPY_FLOAT : NPY_CFLOAT);
    if (descr == nullptr) return nullptr;
    // FromAny steals descr.  Without a forced cast, float64 and complex128
    // taps are refused by NumPy's safe-cast rule.
    return reinterpret_cast<PyArrayObject *>(PyArray_FromAny(
        taps, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
}

}  // namespace kx
