// The module frame shared by every wrapped core object.
//
// A wrapped type is described by a traits class; the frame supplies the rest:
// the wrapper struct (object header + one core handle), allocation,
// deallocation, re-initialisation, destroy / __enter__ / __exit__, the handle
// check, property converters, the block-method array helpers and the three
// state methods.  A type's own file then holds only its traits, constructor
// parsing, its own methods, properties and tables.
//
// Traits requirements:
//   using core_type = ...;                      the core record
//   using extra_type = kx::NoExtra or a type with release()
//   static constexpr const char *create_failed;  "<x>_create returned NULL"
//   static int create(PyObject *args, PyObject *kwds, core_type **out);
//       parse the constructor arguments and create the core: -1 with an
//       exception set, or 0 with *out set (empty when the core refused)
//   static void destroy(core_type *);
//   static std::size_t state_bytes(const core_type *);
//   static void get_state(const core_type *, uint8_t *);
//   static int set_state(core_type *, const uint8_t *);
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/kx_core.h"
#include "common/kx_python.h"

namespace kx {

inline constexpr char ERR_DESTROYED[] = "destroyed";
inline constexpr char ERR_OUT_KIND[] =
    "out must be a writable, C-contiguous ndarray of the output dtype";
inline constexpr char ERR_OUT_LEN[] = "out length %zd != input length %zd";
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

// Converts a property value with "d"; the core afterwards (re-checked), or
// nullptr with an exception set and nothing stored.
template <class T>
typename T::core_type *convert_d(PyObject *self, PyObject *value, double *out) {
    if (live<T>(self) == nullptr || !check_not_deleted(value)) return nullptr;
    if (!PyArg_Parse(value, "d", out)) return nullptr;
    return live<T>(self);
}

// "K": an unsigned 64-bit integer without overflow checking (-1 wraps).
template <class T>
typename T::core_type *convert_K(PyObject *self, PyObject *value, unsigned long long *out) {
    if (live<T>(self) == nullptr || !check_not_deleted(value)) return nullptr;
    if (!PyArg_Parse(value, "K", out)) return nullptr;
    return live<T>(self);
}

template <class T, auto Field>
PyObject *get_double(PyObject *self, void *) {
    typename T::core_type *core = live<T>(self);
    return core == nullptr ? nullptr : PyFloat_FromDouble(core->*Field);
}

template <class T, auto Field>
int set_double(PyObject *self, PyObject *value, void *) {
    double v;
    typename T::core_type *core = convert_d<T>(self, value, &v);
    if (core == nullptr) return -1;
    core->*Field = v;
    return 0;
}

template <class T, auto Field>
PyObject *get_u64(PyObject *self, void *) {
    typename T::core_type *core = live<T>(self);
    return core == nullptr ? nullptr : PyLong_FromUnsignedLongLong(core->*Field);
}

template <class T, auto Field>
int set_u64(PyObject *self, PyObject *value, void *) {
    unsigned long long v;
    typename T::core_type *core = convert_K<T>(self, value, &v);
    if (core == nullptr) return -1;
    core->*Field = uint64_t(v);
    return 0;
}

// ---------------------------------------------------------------- samples

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

// ---------------------------------------------------------------- arrays

// x as a C-contiguous complex64 array (a new reference), converted without a
// forced cast so that unsafe casts are refused with NumPy's error.  The input
// itself is returned when it already qualifies.
PyArrayObject *as_complex64(PyObject *x);

// The kind/dtype/flag test that every caller-supplied `out` must pass; sets
// TypeError ERR_OUT_KIND and returns false otherwise.
bool out_kind_ok(PyObject *out);

// Exact-length output: `out` itself (new reference) after the kind and length
// checks, or a new 1-D complex64 array of n elements when out is None/absent.
PyObject *exact_out(PyObject *out, npy_intp n);

inline cf32 *c64_data(PyArrayObject *a) noexcept {
    return static_cast<cf32 *>(PyArray_DATA(a));
}

// The exact-length block method "O|O" (x, out): converts x, prepares out,
// re-checks the handle and runs Run(core, x, out, n) once.
template <class T, void (*Run)(typename T::core_type *, const cf32 *, cf32 *, uint64_t)>
PyObject *m_block(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"x", "out", nullptr};
    if (live<T>(self) == nullptr) return nullptr;
    PyObject *x = nullptr;
    PyObject *out = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &x, &out))
        return nullptr;
    Ref xa(reinterpret_cast<PyObject *>(as_complex64(x)));
    if (!xa) return nullptr;
    Ref result(exact_out(out, PyArray_SIZE(xa.arr())));
    if (!result) return nullptr;
    typename T::core_type *core = live<T>(self);
    if (core == nullptr) return nullptr;
    PyArrayObject *ya = reinterpret_cast<PyArrayObject *>(result.get());
    Run(core, c64_data(xa.arr()), c64_data(ya), uint64_t(PyArray_SIZE(ya)));
    return result.release();
}

// ---------------------------------------------------------------- tables

// Parameters, Returns and Raises of every exact-length block method's help.
#define KX_BLOCK_DOC_SECTIONS                                                      \
    "Parameters\n----------\n"                                                     \
    "x : array_like\n    Samples, converted to complex64 without unsafe casts; any\n" \
    "    shape, processed in C order.\n"                                           \
    "out : ndarray, optional\n    A writable, C-contiguous complex64 array with as " \
    "many\n    elements as x (any shape); may be x itself.\n\n"                    \
    "Returns\n-------\n"                                                           \
    "ndarray\n    out when given, else a new 1-D complex64 array.\n\n"             \
    "Raises\n------\n"                                                             \
    "RuntimeError\n    \"destroyed\" after destroy().\n"                          \
    "TypeError\n    When x does not cast safely to complex64, or out is not a\n"    \
    "    writable, C-contiguous complex64 ndarray.\n"                              \
    "ValueError\n    When out has another element count than x.\n\n"

// The frame's six methods with their help texts, closing every method table.
// IMPORT and CTOR are the doctest lines that make an object of the type.
#define KX_FRAME_METHODS(T, IMPORT, CTOR)                                                     \
    {"state_bytes", (PyCFunction)kx::m_state_bytes<T>, METH_NOARGS,                           \
     "state_bytes() -> int\n\nSize in bytes of this object's state blob.\n\n"                 \
     "Returns\n-------\nint\n    The length of what get_state() returns and set_state() "      \
     "accepts.\n\nRaises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"         \
     "Examples\n--------\n>>> " IMPORT "\n>>> obj = " CTOR "\n"                                  \
     ">>> obj.state_bytes() == len(obj.get_state())\nTrue\n"},                                 \
    {"get_state", (PyCFunction)kx::m_get_state<T>, METH_NOARGS,                               \
     "get_state() -> bytes\n\nSnapshot of the evolving state as a little-endian blob.\n\n"     \
     "Returns\n-------\nbytes\n    state_bytes() bytes, opening with a 16-byte header "        \
     "(magic, version, 1, size, 0).\n\nRaises\n------\nRuntimeError\n    \"destroyed\" after "  \
     "destroy().\n\nExamples\n--------\n>>> " IMPORT "\n>>> a = " CTOR "\n>>> b = " CTOR "\n"     \
     ">>> b.set_state(a.get_state())\n>>> a.get_state() == b.get_state()\nTrue\n"},            \
    {"set_state", (PyCFunction)kx::m_set_state<T>, METH_O,                                    \
     "set_state(blob) -> None\n\nRestore a snapshot taken by get_state(), so that "            \
     "processing resumes bit for bit.\n\nParameters\n----------\nblob : bytes\n    A blob of "  \
     "exactly state_bytes() bytes.\n\nRaises\n------\nRuntimeError\n    \"destroyed\" after "   \
     "destroy().\nTypeError\n    \"set_state expects bytes\" for anything but bytes.\n"         \
     "ValueError\n    \"state blob size mismatch\" for a blob of another length, \"set_state "  \
     "rejected the blob\" for a wrong header.\n\nExamples\n--------\n>>> " IMPORT "\n"          \
     ">>> obj = " CTOR "\n>>> obj.set_state(obj.get_state())\n"},                               \
    {"destroy", (PyCFunction)kx::m_destroy<T>, METH_NOARGS,                                   \
     "destroy() -> None\n\nRelease the core object now.  Every later method or property "      \
     "raises RuntimeError \"destroyed\"; calling destroy() again does nothing.\n\n"            \
     "Examples\n--------\n>>> " IMPORT "\n>>> obj = " CTOR "\n>>> obj.destroy()\n"               \
     ">>> obj.destroy()\n"},                                                                    \
    {"__enter__", (PyCFunction)kx::m_enter, METH_NOARGS,                                      \
     "__enter__() -> self\n\nEnter a with block; the object is destroyed when it ends.\n\n"   \
     "Examples\n--------\n>>> " IMPORT "\n>>> with " CTOR " as obj:\n...     n = "              \
     "obj.state_bytes()\n"},                                                                   \
    {"__exit__", (PyCFunction)kx::m_exit<T>, METH_VARARGS,                                    \
     "__exit__(*exc_info) -> None\n\nDestroy the object on leaving a with block; an "          \
     "exception raised in the block propagates.\n"},                                          \
    {nullptr, nullptr, 0, nullptr}

// A type with the default flags only (no subclassing, no GC tracking).
template <class T>
PyTypeObject make_type(const char *name, const char *doc, PyMethodDef *methods,
                       PyGetSetDef *getset) {
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject t{};
    t.ob_base = head[0];
    t.tp_name = name;
    t.tp_basicsize = sizeof(Object<T>);
    t.tp_itemsize = 0;
    t.tp_dealloc = tp_dealloc<T>;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = doc;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = tp_init<T>;
    t.tp_new = tp_new<T>;
    return t;
}

// ---------------------------------------------------------------- module

struct TypeEntry {
    const char *attr;
    PyTypeObject *type;
};

// Module initialisation in NumPy's order: bind the C API, ready the types,
// create the module, add the types.  Returns the module or nullptr.
PyObject *module_init(PyModuleDef *def, const TypeEntry *types, std::size_t n_types);

}  // namespace kx
