// The telemetry module: creates telemetry contexts, owns them through their
// capsule and is the consumer of their rings.
//
// Ownership: the capsule "kestrix.telemetry.kx_tlm" owns the context, its
// ring control block and its record array; its destructor frees all three.
// A Telemetry object holds a strong reference to its capsule (the `_capsule`
// attribute), and an AGC holds one while it is attached, so the context
// lives as long as anything that can write into it or read from it.
//
// The consumer itself is kx_tlm/kx_tlm_consumer; this file is its binding.
#include "common/frame.h"
#include "kx_tlm/kx_tlm_consumer.h"

namespace {

constexpr char CAPSULE_NAME[] = "kestrix.telemetry.kx_tlm";

struct TelemetryObject {
    PyObject_HEAD
    PyObject *capsule;     // strong: owns the context
    kx_tlm_ctx *ctx;       // the capsule's pointer, fixed for the object's life
    PyObject *weakrefs;    // weak-reference list
    int reading;           // a read() is copying with the interpreter lock released
};

inline TelemetryObject *tobj(PyObject *self) noexcept {
    return reinterpret_cast<TelemetryObject *>(self);
}

// The dtype of read()'s result, built once at module initialisation.
PyArray_Descr *record_descr = nullptr;

void capsule_destructor(PyObject *capsule) {
    // The capsule's own name never fails the check, so no error is raised
    // here, whatever exception may be in flight.
    kx_tlm_destroy(
        static_cast<kx_tlm_ctx *>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule))));
}

// Probe names are bytes; a name cut to 31 bytes may end inside a UTF-8
// sequence, so they are decoded with surrogateescape, which probe_id()
// reverses exactly.
PyObject *probe_name(const kx_tlm_ctx *ctx, uint32_t id) {
    return PyUnicode_DecodeUTF8(ctx->probes[id].name, Py_ssize_t(kx_tlm_name_len(ctx, id)),
                                "surrogateescape");
}

PyObject *telemetry_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"capacity", nullptr};
    PyObject *cap_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char **>(kwlist), &cap_arg))
        return nullptr;
    uint64_t capacity = 4096;
    if (cap_arg != nullptr) {
        long long v;
        int overflow;
        if (!kx::index_arg(cap_arg, &v, &overflow)) return nullptr;
        if (overflow != 0 || v < 0 || !kx_tlm_capacity_ok(uint64_t(v))) {
            PyErr_SetString(PyExc_ValueError,
                            "capacity must be a power of two from 1 to 2**30");
            return nullptr;
        }
        capacity = uint64_t(v);
    }
    kx::Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TelemetryObject *t = tobj(self.get());
    t->capsule = nullptr;
    t->ctx = nullptr;
    t->weakrefs = nullptr;
    t->reading = 0;
    kx_tlm_ctx *ctx = kx_tlm_create(capacity);
    if (ctx == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "kx_tlm_create returned NULL");
        return nullptr;
    }
    PyObject *capsule = PyCapsule_New(ctx, CAPSULE_NAME, capsule_destructor);
    if (capsule == nullptr) {
        kx_tlm_destroy(ctx);
        return nullptr;
    }
    t->capsule = capsule;
    t->ctx = ctx;
    return self.release();
}

void telemetry_dealloc(PyObject *self) {
    TelemetryObject *t = tobj(self);
    if (t->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    t->ctx = nullptr;
    Py_CLEAR(t->capsule);  // frees the context unless an AGC still holds it
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------- methods

PyObject *telemetry_probe_id(PyObject *self, PyObject *name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "probe_id() argument must be str, not %.200s",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    kx::Ref bytes(PyUnicode_AsEncodedString(name, "utf-8", "surrogateescape"));
    if (!bytes) return nullptr;
    const int32_t id = kx_tlm_find(tobj(self)->ctx, PyBytes_AS_STRING(bytes.get()),
                                   std::size_t(PyBytes_GET_SIZE(bytes.get())));
    if (id < 0) {
        PyErr_SetObject(PyExc_KeyError, name);
        return nullptr;
    }
    return PyLong_FromLong(id);
}

PyObject *telemetry_read(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"max", nullptr};
    PyObject *max_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char **>(kwlist), &max_arg))
        return nullptr;
    uint64_t limit = UINT64_MAX;
    if (max_arg != Py_None) {
        long long v;
        int overflow;
        if (!kx::index_arg(max_arg, &v, &overflow)) return nullptr;
        if (overflow < 0 || (overflow == 0 && v < 0)) {
            PyErr_SetString(PyExc_ValueError, "max must be None or an integer >= 0");
            return nullptr;
        }
        if (overflow == 0) limit = uint64_t(v);
    }
    TelemetryObject *t = tobj(self);
    // __index__ above may have run Python code, including another read(): the
    // ring has one consumer, so the count is taken only now.
    if (t->reading) {
        PyErr_SetString(PyExc_RuntimeError,
                        "read() is already running on this Telemetry in another thread");
        return nullptr;
    }
    kx_tlm_ctx *ctx = t->ctx;
    uint64_t n = kx_tlm_pending(ctx);
    if (n > limit) n = limit;
    npy_intp dims[1] = {npy_intp(n)};
    Py_INCREF(record_descr);  // NewFromDescr steals it
    kx::Ref out(PyArray_NewFromDescr(&PyArray_Type, record_descr, 1, dims, nullptr, nullptr, 0,
                                     nullptr));
    if (!out) return nullptr;
    if (n != 0) {
        uint8_t *rows = static_cast<uint8_t *>(PyArray_DATA(out.arr()));
        // The copy needs no interpreter state, so a producer stepping on
        // another thread can run meanwhile; the flag keeps a second reader out.
        t->reading = 1;
        Py_BEGIN_ALLOW_THREADS
        kx_tlm_consume(ctx, rows, n);
        Py_END_ALLOW_THREADS
        t->reading = 0;
    }
    return out.release();
}

// ---------------------------------------------------------------- properties

PyObject *get_capsule(PyObject *self, void *) { return Py_NewRef(tobj(self)->capsule); }

PyObject *get_capacity(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(kx_tlm_capacity(tobj(self)->ctx));
}

PyObject *get_n_probes(PyObject *self, void *) {
    return PyLong_FromUnsignedLong(kx_tlm_probe_count(tobj(self)->ctx));
}

PyObject *get_probe_names(PyObject *self, void *) {
    const kx_tlm_ctx *ctx = tobj(self)->ctx;
    const uint32_t n = kx_tlm_probe_count(ctx);
    kx::Ref list(PyList_New(n));
    if (!list) return nullptr;
    for (uint32_t i = 0; i < n; i++) {
        PyObject *s = probe_name(ctx, i);
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

PyObject *get_emitted(PyObject *self, void *) {
    const kx_tlm_ctx *ctx = tobj(self)->ctx;
    const uint32_t n = kx_tlm_probe_count(ctx);
    kx::Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (uint32_t i = 0; i < n; i++) {
        kx::Ref key(probe_name(ctx, i));
        if (!key) return nullptr;
        kx::Ref value(PyLong_FromUnsignedLongLong(kx_tlm_emitted(ctx, i)));
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject *get_pending(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(kx_tlm_pending(tobj(self)->ctx));
}

PyObject *get_dropped(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(kx_tlm_dropped(tobj(self)->ctx));
}

PyObject *get_stamp(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(kx_tlm_stamp(tobj(self)->ctx));
}

int set_stamp(PyObject *self, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete stamp");
        return -1;
    }
    kx::Ref index(PyNumber_Index(value));
    if (!index) return -1;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    kx_tlm_set_stamp(tobj(self)->ctx, v);
    return 0;
}

// ---------------------------------------------------------------- help texts

#define TLM_IMPORT ">>> from kestrix.telemetry import Telemetry\n"

const char telemetry_doc[] =
    "Telemetry(capacity=4096)\n"
    "--\n\n"
    "A telemetry context: a probe table and a ring of records that an AGC\n"
    "writes into and this object reads.\n\n"
    "Attach it with ``AGC.set_telemetry(tlm, prefix)``; the AGC then registers\n"
    "two probes and, at each loop update, writes one record per due probe.\n"
    "read() takes the waiting records out of the ring in order.\n\n"
    "The ring has one producer and one consumer: every AGC attached to one\n"
    "context must be stepped on one thread, and read() may run on another.\n"
    "The context is owned by the capsule in ``_capsule``; an attached AGC\n"
    "keeps that capsule alive, so the context outlives this object for as long\n"
    "as anything is still attached.\n\n"
    "Parameters\n----------\n"
    "capacity : int, optional\n"
    "    Ring size in records, a power of two from 1 to 2**30 (default 4096).\n"
    "    Records that are due while the ring is full are counted in `dropped`\n"
    "    and lost.\n\n"
    "Raises\n------\n"
    "TypeError\n    When capacity is not an integer.\n"
    "ValueError\n    When capacity is not a power of two from 1 to 2**30.\n"
    "MemoryError\n    When the ring cannot be allocated.\n\n"
    "Examples\n--------\n" TLM_IMPORT
    ">>> tlm = Telemetry(1 << 12)\n"
    ">>> (tlm.capacity, tlm.n_probes, tlm.pending, tlm.dropped)\n"
    "(4096, 0, 0, 0)\n"
    ">>> Telemetry(1000)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: capacity must be a power of two from 1 to 2**30\n";

const char probe_id_doc[] =
    "probe_id(name) -> int\n\n"
    "The id of a registered probe, the value of the ``probe`` field of its\n"
    "records.\n\n"
    "Parameters\n----------\n"
    "name : str\n    The probe name, for example ``\"agc.gain_db\"``.\n\n"
    "Returns\n-------\n"
    "int\n    The probe's id, its index in `probe_names`.\n\n"
    "Raises\n------\n"
    "TypeError\n    When name is not a str.\n"
    "KeyError\n    When no probe of that name is registered.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import AGC\n" TLM_IMPORT
    ">>> tlm = Telemetry()\n"
    ">>> AGC().set_telemetry(tlm, \"rx.agc\")\n"
    ">>> tlm.probe_id(\"rx.agc.level_db\")\n"
    "1\n"
    ">>> tlm.probe_id(\"tx.agc.level_db\")\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "KeyError: 'tx.agc.level_db'\n";

const char read_doc[] =
    "read(max=None) -> ndarray\n\n"
    "Take the waiting records out of the ring, oldest first.\n\n"
    "Every record is returned exactly once: those returned are removed, and\n"
    "their slots are handed back to the producer only after they have been\n"
    "copied.  read() may run on another thread than the producer; it releases\n"
    "the interpreter lock while it copies.  Only one read() may run at a time.\n\n"
    "Parameters\n----------\n"
    "max : int or None, optional\n"
    "    Return at most this many records (None: all that are waiting).\n\n"
    "Returns\n-------\n"
    "ndarray\n"
    "    A 1-D structured array of dtype\n"
    "    ``[('stamp', '<u8'), ('value', '<f4'), ('probe', '<u2')]``: the\n"
    "    context's `stamp` when the record was written, the probe value in\n"
    "    single precision and the probe id.\n\n"
    "Raises\n------\n"
    "TypeError\n    When max is neither None nor an integer.\n"
    "ValueError\n    When max is negative.\n"
    "RuntimeError\n    When another thread is inside read() on the same object.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import AGC\n" TLM_IMPORT
    ">>> tlm = Telemetry(1 << 12)\n"
    ">>> agc = AGC()\n"
    ">>> agc.set_telemetry(tlm, \"agc\")\n"
    ">>> tlm.stamp = 100\n"
    ">>> y = agc.steps(np.full(16, 0.5 + 0j, np.complex64))\n"
    ">>> tlm.pending\n"
    "4\n"
    ">>> first = tlm.read(max=1)\n"
    ">>> first['probe'].tolist(), first['stamp'].tolist()\n"
    "([0], [100])\n"
    ">>> rest = tlm.read()\n"
    ">>> rest['probe'].tolist(), tlm.pending\n"
    "([1, 0, 1], 0)\n";

const char capsule_doc[] =
    "The capsule \"kestrix.telemetry.kx_tlm\" that owns the context (read-only).\n\n"
    "``AGC.set_telemetry`` accepts it in place of this object; holding it\n"
    "keeps the context alive.\n\n"
    "Examples\n--------\n" TLM_IMPORT
    ">>> type(Telemetry()._capsule).__name__\n"
    "'PyCapsule'\n";

const char capacity_doc[] =
    "Ring size in records (read-only): a power of two from 1 to 2**30, as\n"
    "given at construction.\n\n"
    "Examples\n--------\n" TLM_IMPORT
    ">>> Telemetry(64).capacity\n"
    "64\n";

const char n_probes_doc[] =
    "Number of registered probes, at most 64 (read-only).\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import AGC\n" TLM_IMPORT
    ">>> tlm = Telemetry()\n"
    ">>> AGC().set_telemetry(tlm, \"agc\")\n"
    ">>> tlm.n_probes\n"
    "2\n";

const char probe_names_doc[] =
    "Names of the registered probes as a list, indexed by probe id (read-only).\n\n"
    "A name cut to 31 bytes in the middle of a UTF-8 sequence keeps the cut\n"
    "bytes as surrogate escapes, which probe_id() accepts back.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import AGC\n" TLM_IMPORT
    ">>> tlm = Telemetry()\n"
    ">>> AGC().set_telemetry(tlm, \"agc\")\n"
    ">>> tlm.probe_names\n"
    "['agc.gain_db', 'agc.level_db']\n";

const char emitted_doc[] =
    "Records written so far per probe, as a dict {name: count} (read-only).\n\n"
    "Counts records that reached the ring, whether or not they have been read\n"
    "yet; records lost to a full ring are counted in `dropped` instead.  It is\n"
    "kept when a probe is registered again.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import AGC\n" TLM_IMPORT
    ">>> tlm = Telemetry()\n"
    ">>> agc = AGC()\n"
    ">>> agc.set_telemetry(tlm, \"agc\", 2)\n"
    ">>> y = agc.steps(np.ones(24, np.complex64))\n"
    ">>> tlm.emitted\n"
    "{'agc.gain_db': 2, 'agc.level_db': 2}\n";

const char pending_doc[] =
    "Number of records waiting in the ring, 0 to capacity (read-only).\n\n"
    "read() takes them out; a record that is due while the ring holds\n"
    "capacity records is dropped instead.\n\n"
    "Examples\n--------\n" TLM_IMPORT
    ">>> Telemetry().pending\n"
    "0\n";

const char dropped_doc[] =
    "Number of due records lost because the ring was full (read-only).\n\n"
    "A count that only grows, over the life of the context; records that\n"
    "reached the ring are counted in `emitted` instead.  A ring whose head\n"
    "has been moved more than its capacity ahead (damaged memory) holds at\n"
    "most capacity records: read() counts the rest here.\n\n"
    "Examples\n--------\n"
    ">>> from kestrix.agc import AGC\n" TLM_IMPORT
    ">>> tlm = Telemetry(2)\n"
    ">>> agc = AGC()\n"
    ">>> agc.set_telemetry(tlm, \"agc\")\n"
    ">>> y = agc.steps(np.ones(16, np.complex64))\n"
    ">>> (len(tlm.read()), tlm.dropped)\n"
    "(2, 2)\n";

const char stamp_doc[] =
    "The word copied into every record written from now on (read-write).\n\n"
    "An unsigned 64-bit integer that the caller advances, for example to the\n"
    "index of the next sample it processes; the producer never changes it.\n"
    "Setting it raises TypeError for a non-integer and OverflowError outside\n"
    "0 to 2**64 - 1.\n\n"
    "Examples\n--------\n" TLM_IMPORT
    ">>> tlm = Telemetry()\n"
    ">>> tlm.stamp = 2**64 - 1\n"
    ">>> tlm.stamp\n"
    "18446744073709551615\n";

PyMethodDef telemetry_methods[] = {
    {"probe_id", (PyCFunction)telemetry_probe_id, METH_O, probe_id_doc},
    {"read", (PyCFunction)(void (*)(void))telemetry_read, METH_VARARGS | METH_KEYWORDS, read_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef telemetry_getset[] = {
    {"_capsule", get_capsule, nullptr, capsule_doc, nullptr},
    {"capacity", get_capacity, nullptr, capacity_doc, nullptr},
    {"n_probes", get_n_probes, nullptr, n_probes_doc, nullptr},
    {"probe_names", get_probe_names, nullptr, probe_names_doc, nullptr},
    {"emitted", get_emitted, nullptr, emitted_doc, nullptr},
    {"pending", get_pending, nullptr, pending_doc, nullptr},
    {"dropped", get_dropped, nullptr, dropped_doc, nullptr},
    {"stamp", get_stamp, set_stamp, stamp_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Default flags only, as every kestrix type; weak references are allowed so
// that a caller can watch the object go while its capsule lives on.
PyTypeObject Telemetry_Type =
    kx::make_type("telemetry.Telemetry", sizeof(TelemetryObject), telemetry_dealloc, telemetry_doc,
                  telemetry_methods, telemetry_getset, nullptr, telemetry_new,
                  offsetof(TelemetryObject, weakrefs));

const char telemetry_module_doc[] =
    "Telemetry: contexts (Telemetry) that an AGC publishes its gain and level probes into.\n\n"
    "A context holds a table of up to 64 named probes and a single-producer,\n"
    "single-consumer ring of records {stamp, value, probe}.  The AGC is the\n"
    "producer; Telemetry.read() is the consumer and may run on another thread.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from kestrix.agc import AGC\n"
    ">>> from kestrix.telemetry import Telemetry\n"
    ">>> tlm = Telemetry(1 << 12)\n"
    ">>> agc = AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n"
    ">>> agc.set_telemetry(tlm, \"agc\")\n"
    ">>> y = agc.steps(np.full(4096, 0.5 + 0j, np.complex64))\n"
    ">>> rec = tlm.read()\n"
    ">>> gain = rec['value'][rec['probe'] == tlm.probe_id('agc.gain_db')]\n"
    ">>> (len(gain), round(float(gain[-1]), 1), tlm.dropped)\n"
    "(512, 6.0, 0)\n";

PyModuleDef telemetry_module = kx::module_def("telemetry", telemetry_module_doc, nullptr);

// The dtype of read()'s rows, built once: NumPy must be bound first.
bool make_record_descr() {
    if (record_descr != nullptr) return true;
    kx::Ref fields(Py_BuildValue("[(ss)(ss)(ss)]", "stamp", "<u8", "value", "<f4", "probe", "<u2"));
    if (!fields) return false;
    PyArray_Descr *descr = nullptr;
    if (!PyArray_DescrConverter(fields.get(), &descr)) return false;
    if (PyDataType_ELSIZE(descr) != npy_intp(KX_TLM_ROW_BYTES)) {
        Py_DECREF(descr);
        PyErr_SetString(PyExc_ImportError, "unexpected layout of the record dtype");
        return false;
    }
    record_descr = descr;  // kept for the life of the process
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_telemetry(void) {
    static const kx::TypeEntry types[] = {{"Telemetry", &Telemetry_Type}};
    kx::Ref module(kx::module_init(&telemetry_module, types, 1));
    if (!module || !make_record_descr()) return nullptr;
    return module.release();
}
