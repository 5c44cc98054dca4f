// The module frame shared by every wrapped core object.
//
// A wrapped type is described by a traits class; the frame supplies the rest:
// the wrapper struct (object header + one core handle), allocation,
// deallocation, re-initialisation, destroy / __enter__ / __exit__, the handle
// check, properties over the core's fields, the methods whose shape every
// type shares (no-argument operations, the per-sample step, the block
// methods) and the three state methods.  A type's own file then holds only
// its traits, constructor parsing, its own methods' bodies and its tables.
//
// Traits: derive from CoreTraits<core, destroy, state_bytes, get_state,
// set_state> (the core's record and life-cycle functions), and add
//   static constexpr const char *create_failed;  "<x>_create returned NULL"
//   static int create(PyObject *args, PyObject *kwds, core_type **out);
//       parse the constructor arguments and create the core: -1 with an
//       exception set, or 0 with *out set (empty when the core refused)
//   using extra_type = ...;  optionally, a per-object field with release()
//   static constexpr const char *run_failed;  for a capacity-style block
//       method: the MemoryError text when the core wrote fewer samples than
//       it was given (it could not allocate its work buffer)
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/kx_core.h"
#include "common/kx_python.h"

namespace kx {

inline constexpr char ERR_DESTROYED[] = "destroyed";
inline constexpr char ERR_OUT_KIND[] =
    "out must be a writable, C-contiguous ndarray of the output dtype";
inline constexpr char ERR_OUT_LEN[] = "out length %zd != input length %zd";
inline constexpr char ERR_OUT_CAPACITY[] = "out has %zu elements, need >= %zu";
inline constexpr char ERR_STATE_TYPE[] = "set_state expects bytes";
inline constexpr char ERR_STATE_SIZE[] = "state blob size mismatch";
inline constexpr char ERR_STATE_REJECTED[] = "set_state rejected the blob";

// Owner of one strong reference (stolen on construction).
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.release()) {}
    Ref &operator=(Ref &&o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyArrayObject *arr() const noexcept { return reinterpret_cast<PyArrayObject *>(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject *p = nullptr) noexcept {
        PyObject *old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    PyObject *p_ = nullptr;
};

struct NoExtra {
    void release() noexcept {}
};

// The life cycle of a wrapped handle: its record and the function that frees it.
template <class Core, auto Destroy>
struct HandleTraits {
    using core_type = Core;
    using extra_type = NoExtra;
    static constexpr auto destroy = Destroy;
};

template <class Core, auto Destroy, auto StateBytes, auto GetState, auto SetState>
struct CoreTraits : HandleTraits<Core, Destroy> {
    static constexpr auto state_bytes = StateBytes;
    static constexpr auto get_state = GetState;
    static constexpr auto set_state = SetState;
};

template <class T>
struct Object {
    PyObject_HEAD
    typename T::core_type *core;
    [[no_unique_address]] typename T::extra_type extra;
};

template <class T>
inline Object<T> *obj(PyObject *self) noexcept {
    return reinterpret_cast<Object<T> *>(self);
}

// The handle check: the live core, or nullptr with RuntimeError "destroyed".
// Called again after any conversion that may have run interpreter code.
template <class T>
inline typename T::core_type *live(PyObject *self) {
    typename T::core_type *core = obj<T>(self)->core;
    if (core == nullptr) PyErr_SetString(PyExc_RuntimeError, ERR_DESTROYED);
    return core;
}

// Empties the handle before freeing, so nothing run from a release hook can
// see a dangling core.
template <class T>
inline void release(PyObject *self) noexcept {
    Object<T> *o = obj<T>(self);
    typename T::core_type *core = o->core;
    o->core = nullptr;
    if (core != nullptr) T::destroy(core);
    o->extra.release();
}

// ---------------------------------------------------------------- life cycle

template <class T>
PyObject *tp_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        obj<T>(self)->core = nullptr;
        new (&obj<T>(self)->extra) typename T::extra_type{};
    }
    return self;
}

template <class T>
int tp_init(PyObject *self, PyObject *args, PyObject *kwds) {
    // A second __init__ replaces the object: the previous core goes first,
    // so a failed re-initialisation leaves the object destroyed.
    release<T>(self);
    typename T::core_type *core = nullptr;
    if (T::create(args, kwds, &core) < 0) return -1;
    if (core == nullptr) {
        PyErr_SetString(PyExc_MemoryError, T::create_failed);
        return -1;
    }
    // Argument conversion may have re-entered __init__ on this object.
    release<T>(self);
    obj<T>(self)->core = core;
    return 0;
}

template <class T>
void tp_dealloc(PyObject *self) {
    release<T>(self);
    Py_TYPE(self)->tp_free(self);
}

template <class T>
PyObject *m_destroy(PyObject *self, PyObject *) {
    release<T>(self);
    Py_RETURN_NONE;
}

inline PyObject *m_enter(PyObject *self, PyObject *) { return Py_NewRef(self); }

template <class T>
PyObject *m_exit(PyObject *self, PyObject *) {
    release<T>(self);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- state

template <class T>
PyObject *m_state_bytes(PyObject *self, PyObject *) {
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    return PyLong_FromSize_t(T::state_bytes(core));
}

template <class T>
PyObject *m_get_state(PyObject *self, PyObject *) {
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    std::size_t n = T::state_bytes(core);
    PyObject *blob = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n));
    if (blob != nullptr)
        T::get_state(core, reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(blob)));
    return blob;
}

template <class T>
PyObject *m_set_state(PyObject *self, PyObject *blob) {
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    if (!PyBytes_Check(blob)) {
        PyErr_SetString(PyExc_TypeError, ERR_STATE_TYPE);
        return nullptr;
    }
    if (std::size_t(PyBytes_GET_SIZE(blob)) != T::state_bytes(core)) {
        PyErr_SetString(PyExc_ValueError, ERR_STATE_SIZE);
        return nullptr;
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(blob));
    if (T::set_state(core, bytes) != KX_STATUS_OK) {
        PyErr_SetString(PyExc_ValueError, ERR_STATE_REJECTED);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- properties

// Deleting a property is a conversion failure, with the converter's text.
inline bool check_not_deleted(PyObject *value) {
    if (value == nullptr) {
        PyErr_BadArgument();
        return false;
    }
    return true;
}

// A property value converted as the field's type: "d" for a double, "K" (an
// unsigned 64-bit integer without overflow checking, so -1 wraps) for a
// uint64_t.  The core afterwards (re-checked), or nullptr with an exception
// set and nothing converted.
template <class T, class V>
typename T::core_type *convert(PyObject *self, PyObject *value, V *out) {
    if (live<T>(self) == nullptr || !check_not_deleted(value)) return nullptr;
    if constexpr (std::is_same_v<V, double>) {
        if (!PyArg_Parse(value, "d", out)) return nullptr;
    } else {
        static_assert(std::is_same_v<V, uint64_t>);
        unsigned long long v;
        if (!PyArg_Parse(value, "K", &v)) return nullptr;
        *out = uint64_t(v);
    }
    return live<T>(self);
}

inline PyObject *to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject *to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject *to_python(bool v) { return PyBool_FromLong(v); }

// Getter of a field of the core.
template <class T, auto Field>
PyObject *get(PyObject *self, void *) {
    typename T::core_type *core = live<T>(self);
    return core == nullptr ? nullptr : to_python(core->*Field);
}

// Getter of a query of the core, Fn(core).
template <class T, auto Fn>
PyObject *get_from(PyObject *self, void *) {
    typename T::core_type *core = live<T>(self);
    return core == nullptr ? nullptr : to_python(Fn(core));
}

// Setter of a field of the core: it stores the value and nothing else.
template <class T, auto Field>
int set(PyObject *self, PyObject *value, void *) {
    std::remove_cvref_t<decltype(std::declval<typename T::core_type &>().*Field)> v;
    typename T::core_type *core = convert<T>(self, value, &v);
    if (core == nullptr) return -1;
    core->*Field = v;
    return 0;
}

// Table entries of a read-only and of a read-write field.
template <class T, auto Field>
constexpr PyGetSetDef field_ro(const char *name, const char *doc) {
    return {name, get<T, Field>, nullptr, doc, nullptr};
}
template <class T, auto Field>
constexpr PyGetSetDef field_rw(const char *name, const char *doc) {
    return {name, get<T, Field>, set<T, Field>, doc, nullptr};
}

// ---------------------------------------------------------------- methods

// A method without arguments over a core operation, Op(core): it returns
// None, or Op's result.
template <class T, auto Op>
PyObject *m_call(PyObject *self, PyObject *) {
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    if constexpr (std::is_void_v<decltype(Op(core))>) {
        Op(core);
        Py_RETURN_NONE;
    } else {
        return to_python(Op(core));
    }
}

// The per-sample methods' one positional argument, format "D".  An exact
// complex or float needs no parser; anything else goes through the parser,
// with its own conversions and error texts.
inline bool parse_sample(PyObject *args, Py_complex *v) {
    PyObject *arg = PyTuple_GET_SIZE(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (arg != nullptr && PyComplex_CheckExact(arg)) {
        *v = PyComplex_AsCComplex(arg);
        return true;
    }
    if (arg != nullptr && PyFloat_CheckExact(arg)) {
        v->real = PyFloat_AS_DOUBLE(arg);
        v->imag = 0.0;
        return true;
    }
    return PyArg_ParseTuple(args, "D", v) != 0;
}

// The per-sample method, format "D": each part rounded to float32, one
// Step(core, &x, &y), the output's parts widened back into a complex.
template <class T, void (*Step)(typename T::core_type *, const cf32 *, cf32 *) noexcept>
PyObject *m_step(PyObject *self, PyObject *args) {
    if (live<T>(self) == nullptr) return nullptr;
    Py_complex v;
    if (!parse_sample(args, &v)) return nullptr;
    typename T::core_type *core = live<T>(self);  // __complex__ may have destroyed it
    if (core == nullptr) return nullptr;
    const cf32 x(static_cast<float>(v.real), static_cast<float>(v.imag));
    cf32 y;
    Step(core, &x, &y);
    return PyComplex_FromDoubles(static_cast<double>(y.real()), static_cast<double>(y.imag()));
}

// ---------------------------------------------------------------- block methods

// The arguments of every block method, "O|O" (x, out): x converted to a
// C-contiguous complex64 array (a new reference, the input itself when it
// already qualifies; no forced cast, so unsafe casts are refused with
// NumPy's error), *out left at Py_None when absent.  nullptr on failure.
PyArrayObject *block_args(PyObject *args, PyObject *kwds, PyObject **out);

// The kind/dtype/flag test that every caller-supplied `out` must pass; sets
// TypeError ERR_OUT_KIND and returns false otherwise.
bool out_kind_ok(PyObject *out);

// Exact-length output: `out` itself (new reference) after the kind and length
// checks, or a new 1-D complex64 array of n elements when out is None.
PyObject *exact_out(PyObject *out, npy_intp n);

// Capacity-style output: `out` (borrowed) after the kind check and the check
// that it holds at least n elements, or nullptr with the exception set.
PyArrayObject *capacity_out(PyObject *out, npy_intp n);

// A new 1-D complex64 array of n elements over data (new memory when data is
// null); flags as for PyArray_NewFromDescr.
PyObject *c64_array(npy_intp n, void *data, int flags);

// The first n elements of out's buffer as a new 1-D array that keeps out's
// memory alive.
PyObject *prefix_view(PyObject *out, npy_intp n);

inline cf32 *c64_data(PyArrayObject *a) noexcept {
    return static_cast<cf32 *>(PyArray_DATA(a));
}

// The exact-length block method (AGC.steps, MovingAverage.steps): the handle
// checked, x converted, out prepared, the handle checked again (conversion
// may run interpreter code), then Run(core, x, out, n) once; out or a new
// array is returned.
template <class T, void (*Run)(typename T::core_type *, const cf32 *, cf32 *, uint64_t) noexcept>
PyObject *m_block(PyObject *self, PyObject *args, PyObject *kwds) {
    if (live<T>(self) == nullptr) return nullptr;
    PyObject *out = Py_None;
    Ref xa(reinterpret_cast<PyObject *>(block_args(args, kwds, &out)));
    if (!xa) return nullptr;
    Ref result(exact_out(out, PyArray_SIZE(xa.arr())));
    if (!result) return nullptr;
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    PyArrayObject *ya = result.arr();
    Run(core, c64_data(xa.arr()), c64_data(ya), uint64_t(PyArray_SIZE(ya)));
    return result.release();
}

// The capacity-style block method whose output count Count(core, n) follows
// from the input's (FIR.execute: n; a decimator: the outputs the block
// completes).  Run(core, x, n, out) writes and returns that many.  Without
// out the result is a new array of that many samples; with out, a view of
// out's first elements, out's other elements untouched.  A core that returns
// another count could not allocate and changed nothing: MemoryError.
template <class T, uint64_t (*Count)(const typename T::core_type *, uint64_t) noexcept,
          uint64_t (*Run)(typename T::core_type *, const cf32 *, uint64_t, cf32 *) noexcept>
PyObject *m_block_counted(PyObject *self, PyObject *args, PyObject *kwds) {
    if (live<T>(self) == nullptr) return nullptr;
    PyObject *out = Py_None;
    Ref xa(reinterpret_cast<PyObject *>(block_args(args, kwds, &out)));
    if (!xa) return nullptr;
    // The conversion may have run interpreter code that destroyed or
    // re-initialised the object: count on the record that will run.
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    const uint64_t n = uint64_t(PyArray_SIZE(xa.arr()));
    const npy_intp m = npy_intp(Count(core, n));
    Ref result(out == Py_None ? c64_array(m, nullptr, 0) : Py_NewRef(out));
    if (!result || (out != Py_None && capacity_out(out, m) == nullptr)) return nullptr;
    if (Run(core, c64_data(xa.arr()), n, c64_data(result.arr())) != uint64_t(m)) {
        PyErr_SetString(PyExc_MemoryError, T::run_failed);
        return nullptr;
    }
    return out != Py_None ? prefix_view(out, m) : result.release();
}

template <class Core>
inline uint64_t same_count(const Core *, uint64_t n) noexcept {
    return n;
}

// The 1:1 capacity-style block method (FIR.execute): as many outputs as
// input samples.
template <class T,
          uint64_t (*Run)(typename T::core_type *, const cf32 *, uint64_t, cf32 *) noexcept>
PyObject *m_block_capacity(PyObject *self, PyObject *args, PyObject *kwds) {
    return m_block_counted<T, same_count<typename T::core_type>, Run>(self, args, kwds);
}

// A type built from its parts; Python's defaults for everything else.
PyTypeObject make_type(const char *name, Py_ssize_t basicsize, destructor dealloc,
                       const char *doc, PyMethodDef *methods, PyGetSetDef *getset,
                       initproc init, newfunc new_, Py_ssize_t weaklistoffset = 0);

// A wrapper type with the default flags only (no subclassing, no GC
// tracking).
template <class T>
PyTypeObject make_type(const char *name, const char *doc, PyMethodDef *methods,
                       PyGetSetDef *getset) {
    return make_type(name, sizeof(Object<T>), tp_dealloc<T>, doc, methods, getset, tp_init<T>,
                     tp_new<T>);
}

// ---------------------------------------------------------------- module

// A module definition without per-interpreter state (size -1).
constexpr PyModuleDef module_def(const char *name, const char *doc, PyMethodDef *methods) {
    return {PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr};
}

struct TypeEntry {
    const char *attr;
    PyTypeObject *type;
};

// Module initialisation in NumPy's order: bind the C API, ready the types,
// create the module, add the types.  Returns the module or nullptr.
PyObject *module_init(PyModuleDef *def, const TypeEntry *types, std::size_t n_types);

// ---------------------------------------------------------------- arguments

// An integer argument through its __index__, as a long long; *overflow is
// set to -1 or 1 (and the value to -1) when it does not fit.  false with the
// exception set when the object is not an integer.
bool index_arg(PyObject *o, long long *value, int *overflow);

// Tap coefficients as FIR takes them: a one-dimensional float32 array gives
// real taps (*real set), anything else is converted to complex64 without an
// unsafe cast.  Taps that are not one-dimensional are refused with the depth
// probe's NumPy error.  The converted aligned, C-contiguous array (a new
// reference), or nullptr with NumPy's error set.
PyArrayObject *taps_arg(PyObject *taps, bool *real);

}  // namespace kx

#include "common/frame_doc.h"
