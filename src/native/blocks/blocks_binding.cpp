// kestrix._blocks: native helpers of the command's block loop: the
// read-ahead reader (Reader), the background writer (Writer), the
// conversions of fixed-point samples, the frame powers of its level
// statistics and the text of its telemetry CSV.
#include "blocks/convert_core.h"
#include "blocks/power_core.h"
#include "blocks/reader_core.h"
#include "blocks/rows_core.h"
#include "blocks/writer_core.h"
#include "common/frame.h"

#include <cmath>
#include <cstring>

namespace {

// Every wait with the interpreter lock released is cut into slices this
// long, so that a signal (Ctrl-C, a termination) is handled within one.
constexpr int WAIT_SLICE_MS = 100;
constexpr Py_ssize_t DEFAULT_CAPACITY = 4 << 20;

struct WriterTraits : kx::HandleTraits<writer, writer_destroy> {
    static constexpr const char *create_failed = "writer_create returned NULL";

    static int create(PyObject *args, PyObject *kwds, writer **out) {
        static const char *kwlist[] = {"fd", "capacity", nullptr};
        PyObject *file = nullptr;
        Py_ssize_t capacity = DEFAULT_CAPACITY;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|n", const_cast<char **>(kwlist), &file,
                                         &capacity))
            return -1;
        const int fd = PyObject_AsFileDescriptor(file);
        if (fd < 0) return -1;
        if (capacity < Py_ssize_t(WRITER_MIN_CAPACITY)) {
            PyErr_Format(PyExc_ValueError, "capacity must be at least %zu bytes",
                         WRITER_MIN_CAPACITY);
            return -1;
        }
        *out = writer_create(fd, std::size_t(capacity));
        return 0;
    }
};

using T = WriterTraits;

// The OSError of a failed read or write (its subclass by errno, as os.read
// and os.write raise).
PyObject *io_failed(long long status) {
    errno = int(-status);
    return PyErr_SetFromErrno(PyExc_OSError);
}

// A buffer view released on every path.
class View {
public:
    View() noexcept = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }
    bool get(PyObject *o) { return PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS) == 0; }
    const uint8_t *data() const noexcept { return static_cast<const uint8_t *>(view_.buf); }
    std::size_t size() const noexcept { return std::size_t(view_.len); }

private:
    Py_buffer view_{};
};

PyObject *writer_write(PyObject *self, PyObject *data) {
    View view;
    if (!view.get(data)) return nullptr;
    std::size_t taken = 0;
    while (taken < view.size()) {
        writer *w = kx::live<T>(self);  // a signal handler may have closed it
        if (w == nullptr) return nullptr;
        long long got;
        Py_BEGIN_ALLOW_THREADS
        got = writer_put(w, view.data() + taken, view.size() - taken, WAIT_SLICE_MS);
        Py_END_ALLOW_THREADS
        if (got < 0) return io_failed(got);
        taken += std::size_t(got);
        if (taken < view.size() && PyErr_CheckSignals() < 0) return nullptr;
    }
    return PyLong_FromSize_t(taken);
}

PyObject *writer_flush(PyObject *self, PyObject *) {
    for (;;) {
        writer *w = kx::live<T>(self);
        if (w == nullptr) return nullptr;
        int status;
        Py_BEGIN_ALLOW_THREADS
        status = writer_drain(w, WAIT_SLICE_MS);
        Py_END_ALLOW_THREADS
        if (status < 0) return io_failed(status);
        if (status == 0) Py_RETURN_NONE;
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

PyObject *writer_close(PyObject *self, PyObject *) {
    if (kx::obj<T>(self)->core == nullptr) Py_RETURN_NONE;
    kx::Ref flushed(writer_flush(self, nullptr));
    kx::release<T>(self);
    return flushed.release();
}

PyObject *writer_closed(PyObject *self, void *) {
    return PyBool_FromLong(kx::obj<T>(self)->core == nullptr);
}

const char writer_doc[] =
    "Writer(fd, capacity=4194304)\n\n"
    "Writes to a file descriptor from a thread of its own.\n\n"
    "write() copies the bytes into a ring of ``capacity`` bytes and returns;\n"
    "the writer's thread writes them to ``fd`` (an int or an object with\n"
    "fileno(), borrowed: keep it open until the writer is closed) in the order\n"
    "they came, so the caller's next block is processed while the last one is\n"
    "written.  write() waits only when the ring is full, flush() until every\n"
    "byte is written; both handle signals while they wait.  A failed write\n"
    "stops the writer, and its OSError is raised by the next write(), flush()\n"
    "or close().  close() flushes and stops the thread; discard() stops it\n"
    "without writing what is still in the ring.  A descriptor opened\n"
    "non-blocking (a pipe whose reader may stall) is waited on with poll(2),\n"
    "so that discard() returns within 0.1 s however long the reader takes\n"
    "nothing.\n\n"
    "Examples\n--------\n"
    ">>> import os, tempfile\n"
    ">>> from kestrix._blocks import Writer\n"
    ">>> fd, path = tempfile.mkstemp()\n"
    ">>> w = Writer(fd)\n"
    ">>> w.write(b'abc') + w.write(bytearray(b'def'))\n"
    "6\n"
    ">>> w.close()\n"
    ">>> os.close(fd); open(path, 'rb').read()\n"
    "b'abcdef'\n"
    ">>> os.unlink(path)\n";

PyMethodDef writer_methods[] = {
    {"write", writer_write, METH_O,
     "write(data) -> int\n\nCopy ``data`` (a C-contiguous buffer) into the ring, waiting for "
     "room when it is full; return its length in bytes.\n"},
    {"flush", writer_flush, METH_NOARGS,
     "flush() -> None\n\nWait until every byte written so far has reached the descriptor.\n"},
    {"close", writer_close, METH_NOARGS,
     "close() -> None\n\nFlush, then stop the writer's thread (again: nothing).\n"},
    {"discard", kx::m_destroy<T>, METH_NOARGS,
     "discard() -> None\n\nStop the writer's thread without writing what is still in the "
     "ring.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"closed", writer_closed, nullptr, "True once close() or discard() has run.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject Writer_Type =
    kx::make_type<T>("kestrix._blocks.Writer", writer_doc, writer_methods, writer_getset);

// ---------------------------------------------------------------- Reader

struct ReaderTraits : kx::HandleTraits<reader, reader_destroy> {
    static constexpr const char *create_failed = "reader_create returned NULL";

    static int create(PyObject *args, PyObject *kwds, reader **out) {
        static const char *kwlist[] = {"fd", "slot_bytes", "limit", "slots", nullptr};
        PyObject *file = nullptr;
        Py_ssize_t slot_bytes = 0;
        unsigned long long limit = 0;
        int slots = 2;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OnK|i", const_cast<char **>(kwlist), &file,
                                         &slot_bytes, &limit, &slots))
            return -1;
        const int fd = PyObject_AsFileDescriptor(file);
        if (fd < 0) return -1;
        if (slot_bytes <= 0 || slots < 2 || slots > READER_MAX_SLOTS) {
            PyErr_Format(PyExc_ValueError, "slot_bytes must be positive and slots from 2 to %d",
                         READER_MAX_SLOTS);
            return -1;
        }
        *out = reader_create(fd, std::size_t(slot_bytes), uint64_t(limit), slots);
        return 0;
    }
};

using R = ReaderTraits;

// The slot's bytes as a writable uint8 array that keeps the reader (and so
// the slot's memory) alive.
PyObject *slot_array(PyObject *self, uint8_t *data, std::size_t len) {
    npy_intp dims[1] = {npy_intp(len)};
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_UINT8);
    if (descr == nullptr) return nullptr;
    kx::Ref arr(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, len ? data : nullptr,
                                     len ? NPY_ARRAY_CARRAY : 0, nullptr));
    if (!arr || len == 0) return arr.release();
    if (PyArray_SetBaseObject(arr.arr(), Py_NewRef(self)) < 0) return nullptr;
    return arr.release();
}

PyObject *reader_next_py(PyObject *self, PyObject *) {
    for (;;) {
        reader *r = kx::live<R>(self);
        if (r == nullptr) return nullptr;
        uint8_t *data = nullptr;
        std::size_t len = 0;
        int status;
        Py_BEGIN_ALLOW_THREADS
        status = reader_next(r, &data, &len, WAIT_SLICE_MS);
        Py_END_ALLOW_THREADS
        if (status < 0) return io_failed(status);
        if (status == 0) return slot_array(self, data, len);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

PyObject *reader_close_py(PyObject *self, PyObject *) {
    reader *r = kx::obj<R>(self)->core;
    if (r != nullptr) reader_stop(r);
    Py_RETURN_NONE;
}

const char reader_doc[] =
    "Reader(fd, slot_bytes, limit, slots=2)\n\n"
    "Reads a file descriptor ahead, from a thread of its own.\n\n"
    "The thread reads up to ``limit`` bytes from ``fd``'s current offset (an\n"
    "int or an object with fileno(), borrowed: keep it open until the reader\n"
    "is closed) into ``slots`` slots of ``slot_bytes`` each.  next() returns the\n"
    "next slot's bytes as a writable uint8 array, fewer than ``slot_bytes``\n"
    "only where the file or the limit ended and empty after the last, and\n"
    "gives the slot returned before back to the thread: an array from next()\n"
    "is valid until the next call.  A failed read raises its OSError from\n"
    "next().  close() stops the thread; a descriptor other than a regular file\n"
    "(a pipe, a socket) is read only when poll() finds it readable, so that\n"
    "close() returns within 0.1 s even while its writer sends nothing.  Use\n"
    "``limit=2**64 - 1`` for a stream of unknown length.\n\n"
    "Examples\n--------\n"
    ">>> import os, tempfile\n"
    ">>> from kestrix._blocks import Reader\n"
    ">>> fd, path = tempfile.mkstemp(); _ = os.write(fd, b'abcdefg'); _ = os.lseek(fd, 0, 0)\n"
    ">>> r = Reader(fd, 3, 7)\n"
    ">>> [r.next().tobytes() for _ in range(4)]\n"
    "[b'abc', b'def', b'g', b'']\n"
    ">>> r.close(); os.close(fd); os.unlink(path)\n";

PyMethodDef reader_methods[] = {
    {"next", reader_next_py, METH_NOARGS,
     "next() -> numpy.ndarray\n\nThe next slot's bytes (empty after the last); the slot "
     "returned before goes back to the thread.\n"},
    {"close", reader_close_py, METH_NOARGS,
     "close() -> None\n\nStop the reader's thread (again: nothing).\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject Reader_Type =
    kx::make_type<R>("kestrix._blocks.Reader", reader_doc, reader_methods, nullptr);

// frame_powers(x, frame, out) -> int
PyObject *frame_powers_py(PyObject *, PyObject *args) {
    PyObject *x_obj, *out_obj;
    Py_ssize_t frame;
    if (!PyArg_ParseTuple(args, "OnO", &x_obj, &frame, &out_obj)) return nullptr;
    if (frame <= 0 || frame % Py_ssize_t(POWER_FRAME_MULTIPLE) != 0) {
        PyErr_Format(PyExc_ValueError, "frame must be a positive multiple of %zu",
                     POWER_FRAME_MULTIPLE);
        return nullptr;
    }
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_CFLOAT);
    if (descr == nullptr) return nullptr;
    kx::Ref x(PyArray_FromAny(x_obj, descr, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED,
                              nullptr));
    if (!x) return nullptr;
    const npy_intp frames = PyArray_SIZE(x.arr()) / frame;
    PyArrayObject *out = reinterpret_cast<PyArrayObject *>(out_obj);
    if (!PyArray_Check(out_obj) || PyArray_TYPE(out) != NPY_FLOAT ||
        !PyArray_ISNOTSWAPPED(out) ||
        !PyArray_CHKFLAGS(out, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE)) {
        PyErr_SetString(PyExc_TypeError, "out must be a writable, C-contiguous float32 ndarray");
        return nullptr;
    }
    if (PyArray_SIZE(out) < frames) {
        PyErr_Format(PyExc_ValueError, kx::ERR_OUT_CAPACITY, size_t(PyArray_SIZE(out)),
                     size_t(frames));
        return nullptr;
    }
    frame_powers(static_cast<const cf32 *>(PyArray_DATA(x.arr())), std::size_t(frames),
                 std::size_t(frame), static_cast<float *>(PyArray_DATA(out)));
    return PyLong_FromSsize_t(frames);
}

// The stored component type of an integer ndarray, if it is one of the
// fixed-point types and C-contiguous (and writable when asked).
bool fixed_array(PyObject *obj, bool writable, FixedType *t) {
    if (!PyArray_Check(obj)) return false;
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
    const PyArray_Descr *d = PyArray_DESCR(a);
    *t = FixedType{static_cast<unsigned char>(PyArray_ITEMSIZE(a)), d->kind == 'u',
                   !PyArray_ISNOTSWAPPED(a)};
    return (d->kind == 'i' || d->kind == 'u') && fixed_type_valid(*t) &&
           PyArray_CHKFLAGS(a, NPY_ARRAY_C_CONTIGUOUS) &&
           (!writable || PyArray_CHKFLAGS(a, NPY_ARRAY_WRITEABLE));
}

// The float32 components of a C-contiguous, aligned complex64 or float32
// ndarray in this machine's byte order (writable when asked), or null.
float *float_components(PyObject *obj, bool writable, std::size_t *n) {
    if (!PyArray_Check(obj)) return nullptr;
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
    const int type = PyArray_TYPE(a);
    if ((type != NPY_CFLOAT && type != NPY_FLOAT) || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_CHKFLAGS(a, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED) ||
        (writable && !PyArray_CHKFLAGS(a, NPY_ARRAY_WRITEABLE)))
        return nullptr;
    *n = std::size_t(PyArray_SIZE(a)) * (type == NPY_CFLOAT ? 2 : 1);
    return static_cast<float *>(PyArray_DATA(a));
}

constexpr char ERR_FIXED[] = "%s must be a%s C-contiguous ndarray of 8-, 16- or 32-bit integers";
constexpr char ERR_COMPONENTS[] = "out has %zu components, need >= %zu";
constexpr char ERR_FLOATS[] =
    "%s must be a%s C-contiguous complex64 or float32 ndarray in native byte order";

// decode_fixed(raw, out) -> None
PyObject *decode_fixed_py(PyObject *, PyObject *args) {
    PyObject *raw_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OO", &raw_obj, &out_obj)) return nullptr;
    FixedType t;
    std::size_t cap = 0;
    float *out = float_components(out_obj, true, &cap);
    if (!fixed_array(raw_obj, false, &t)) {
        PyErr_Format(PyExc_TypeError, ERR_FIXED, "raw", "");
        return nullptr;
    }
    if (out == nullptr) {
        PyErr_Format(PyExc_TypeError, ERR_FLOATS, "out", " writable,");
        return nullptr;
    }
    PyArrayObject *raw = reinterpret_cast<PyArrayObject *>(raw_obj);
    const std::size_t n = std::size_t(PyArray_SIZE(raw));
    if (cap < n) {
        PyErr_Format(PyExc_ValueError, ERR_COMPONENTS, cap, n);
        return nullptr;
    }
    fixed_decode(PyArray_DATA(raw), n, t, out);
    Py_RETURN_NONE;
}

// encode_fixed(x, out) -> int
PyObject *encode_fixed_py(PyObject *, PyObject *args) {
    PyObject *x_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OO", &x_obj, &out_obj)) return nullptr;
    FixedType t;
    std::size_t n = 0;
    const float *x = float_components(x_obj, false, &n);
    if (x == nullptr) {
        PyErr_Format(PyExc_TypeError, ERR_FLOATS, "x", "");
        return nullptr;
    }
    if (!fixed_array(out_obj, true, &t)) {
        PyErr_Format(PyExc_TypeError, ERR_FIXED, "out", " writable,");
        return nullptr;
    }
    PyArrayObject *out = reinterpret_cast<PyArrayObject *>(out_obj);
    const std::size_t cap = std::size_t(PyArray_SIZE(out));
    if (cap < n) {
        PyErr_Format(PyExc_ValueError, ERR_COMPONENTS, cap, n);
        return nullptr;
    }
    return PyLong_FromSize_t(fixed_encode(x, n, t, PyArray_DATA(out)));
}

// format_rows(table, kinds) -> str
PyObject *format_rows_py(PyObject *, PyObject *args) {
    PyObject *table_obj;
    const char *kinds;
    Py_ssize_t nkinds;
    if (!PyArg_ParseTuple(args, "Os#", &table_obj, &kinds, &nkinds)) return nullptr;
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_DOUBLE);
    if (descr == nullptr) return nullptr;
    kx::Ref table(PyArray_FromAny(table_obj, descr, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED,
                                  nullptr));
    if (!table) return nullptr;
    const std::size_t rows = std::size_t(PyArray_DIM(table.arr(), 0));
    const std::size_t cols = std::size_t(PyArray_DIM(table.arr(), 1));
    if (std::size_t(nkinds) != cols || std::strspn(kinds, "dfg") != cols) {
        PyErr_Format(PyExc_ValueError, "kinds must give one of d, f, g for each of the %zu columns",
                     cols);
        return nullptr;
    }
    const double *v = static_cast<const double *>(PyArray_DATA(table.arr()));
    std::size_t row_bound = 0;
    for (std::size_t c = 0; c < cols; c++) {
        bool narrow = true;
        for (std::size_t r = 0; r < rows && narrow; r++)
            narrow = !(std::fabs(v[r * cols + c]) >= ROW_NARROW_LIMIT);
        row_bound += rows_value_bound(kinds[c], narrow);
    }
    kx::Ref text(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(rows * row_bound)));
    if (!text) return nullptr;
    char *out = PyBytes_AS_STRING(text.get());
    const std::size_t len = rows_format(v, rows, cols, kinds, out, out + rows * row_bound);
    if (len == 0 && rows > 0) {
        PyErr_SetString(PyExc_SystemError, "format_rows: the text outgrew its bound");
        return nullptr;
    }
    return PyUnicode_DecodeASCII(out, Py_ssize_t(len), nullptr);
}

PyMethodDef module_methods[] = {
    {"decode_fixed", decode_fixed_py, METH_VARARGS,
     "decode_fixed(raw, out) -> None\n\n"
     "The fixed-point components ``raw`` (a C-contiguous ndarray of 8-, 16- or\n"
     "32-bit integers, signed or unsigned, in either byte order) as float32\n"
     "components of ``out`` (complex64 or float32), full scale 1.0: unsigned\n"
     "values re-centred by 2**(bits-1), then all scaled by 2**-(bits-1), each\n"
     "step in float32.\n\n"
     "Examples\n--------\n"
     ">>> import numpy as np\n"
     ">>> from kestrix._blocks import decode_fixed\n"
     ">>> out = np.empty(4, np.float32)\n"
     ">>> decode_fixed(np.array([0, 64, 128, 255], np.uint8), out)\n"
     ">>> out.tolist()\n"
     "[-1.0, -0.5, 0.0, 0.9921875]\n"},
    {"encode_fixed", encode_fixed_py, METH_VARARGS,
     "encode_fixed(x, out) -> int\n\n"
     "The inverse of decode_fixed: the float32 components of ``x`` (complex64\n"
     "or float32) into the integer array ``out``, scaled by 2**(bits-1),\n"
     "rounded to the nearest integer with ties to even, saturated to the\n"
     "type's range (a NaN to its lowest value) and re-centred for unsigned\n"
     "types.  Returns the number of components saturated.\n\n"
     "Examples\n--------\n"
     ">>> import numpy as np\n"
     ">>> from kestrix._blocks import encode_fixed\n"
     ">>> out = np.empty(4, np.int8)\n"
     ">>> encode_fixed(np.array([0.5 / 128, 1.5 / 128, 1.0, np.nan], np.float32), out)\n"
     "2\n"
     ">>> out.tolist()\n"
     "[0, 2, 127, -128]\n"},
    {"format_rows", format_rows_py, METH_VARARGS,
     "format_rows(table, kinds) -> str\n\n"
     "The rows of the two-dimensional float64 ``table`` as CSV text: values\n"
     "separated by commas, each row ended by a newline.  ``kinds`` gives each\n"
     "column's format: 'd' as '%d' (the value truncated), 'f' as '%.9f', 'g' as\n"
     "'%.9g', the same text as Python's % operator (every NaN is 'nan').\n\n"
     "Examples\n--------\n"
     ">>> from kestrix._blocks import format_rows\n"
     ">>> format_rows([[16, 0.5, -1 / 3], [32, 1e-7, float('inf')]], 'dfg')\n"
     "'16,0.500000000,-0.333333333\\n32,0.000000100,inf\\n'\n"},
    {"frame_powers", frame_powers_py, METH_VARARGS,
     "frame_powers(x, frame, out) -> int\n\n"
     "The mean power of each whole frame of ``frame`` samples (a positive\n"
     "multiple of 8) of the complex64 vector ``x``, into the float32 array\n"
     "``out``; returns the number of frames.  The squares are summed in 16\n"
     "running float32 sums, added as a fixed tree, so that every instruction-set\n"
     "variant gives the same bits.\n\n"
     "Examples\n--------\n"
     ">>> import numpy as np\n"
     ">>> from kestrix._blocks import frame_powers\n"
     ">>> out = np.empty(2, np.float32)\n"
     ">>> frame_powers(np.full(20, 2 + 1j, np.complex64), 8, out), out.tolist()\n"
     "(2, [5.0, 5.0])\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char module_doc[] =
    "Native helpers of the kestrix command's block loop: a read-ahead file\n"
    "reader, a background file writer, the conversions of fixed-point\n"
    "samples, the frame powers of the level statistics and the text of the\n"
    "telemetry CSV.\n";

PyModuleDef blocks_module = kx::module_def("_blocks", module_doc, module_methods);

}  // namespace

PyMODINIT_FUNC PyInit__blocks(void) {
    static const kx::TypeEntry types[] = {{"Reader", &Reader_Type}, {"Writer", &Writer_Type}};
    return kx::module_init(&blocks_module, types, std::size(types));
}
