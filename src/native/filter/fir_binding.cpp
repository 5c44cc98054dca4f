// The FIR type of the filter module.
#include "filter/fir_core.h"
#include "filter/filter_binding.h"

namespace {

struct FirTraits
    : kx::CoreTraits<fir_filter, fir_destroy, fir_state_bytes, fir_get_state, fir_set_state> {
    static constexpr const char *create_failed = "fir_create returned NULL";
    static constexpr const char *run_failed = "fir_execute could not allocate its work buffer";

    // Tap kind: a one-dimensional float32 array gives real taps; anything
    // else is converted to complex64 (NumPy refuses unsafe casts).  Taps that
    // are not one-dimensional are refused with the probe's NumPy error, which
    // is left set: the constructor fails rather than succeed over it.
    static int create(PyObject *args, PyObject *kwds, fir_filter **out) {
        static const char *kwlist[] = {"taps", nullptr};
        PyObject *taps = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O", const_cast<char **>(kwlist), &taps))
            return -1;
        bool real = false;
        kx::Ref arr(reinterpret_cast<PyObject *>(kx::taps_arg(taps, &real)));
        if (!arr) return -1;
        const uint64_t n = uint64_t(PyArray_SIZE(arr.arr()));
        if (real)
            *out = fir_create_real(static_cast<const float *>(PyArray_DATA(arr.arr())), n);
        else
            *out = fir_create(static_cast<const cf32 *>(PyArray_DATA(arr.arr())), n);
        return 0;
    }
};

using T = FirTraits;

bool is_real(const fir_filter *f) noexcept { return fir_is_real(f) != 0; }

#define FIR_IMPORT "from kestrix.filter import FIR"

const char fir_doc[] =
    "FIR(taps)\n"
    "--\n\n"
    "Create a FIR filter from complex CF32 tap coefficients.\n\n"
    "A direct-form FIR, y[n] = sum_k taps[k] * x[n-k], on complex64 samples.\n"
    "The filter keeps the last num_taps-1 input samples between calls, so a\n"
    "stream cut into blocks of any size gives bit-identical outputs.  Every\n"
    "product is rounded to float32 before it is added, in one fixed order: the\n"
    "first 8*(num_taps//8) taps in eight partial sums (tap k into sum k % 8),\n"
    "combined as ((P0+P4)+(P2+P6))+((P1+P5)+(P3+P7)), then the remaining taps\n"
    "one at a time.\n\n"
    "Taps whose imaginary parts are all zero belong on the fir_create_real\n"
    "path, the cheaper real-tap inner loop: it is taken for a one-dimensional\n"
    "float32 array (as design_lowpass returns).  Any other taps are converted\n"
    "to complex64, so a complex64 array with zero imaginary parts, or a list\n"
    "of Python numbers, gives complex taps.\n\n"
    "Parameters\n----------\n"
    "taps : array_like\n    One-dimensional tap coefficients, at least one.\n\n"
    "Attributes\n----------\n"
    "num_taps : int\n    Number of taps, at least 1 (read-only).\n"
    "is_real : bool\n    True for real (float32) taps (read-only).\n\n"
    "Raises\n------\n"
    "MemoryError\n    \"fir_create returned NULL\" for an empty tap set, more than\n"
    "    2**29 - 2 taps (the most that a state blob's 32-bit size can\n"
    "    describe), or when memory runs out.\n"
    "ValueError\n    NumPy's depth error for taps that are not one-dimensional (a\n"
    "    scalar, a 2-D array): they are refused, not flattened.\n"
    "TypeError\n    NumPy's casting error for float64 or complex128 arrays, which do\n"
    "    not cast safely to complex64 (convert them to float32 or complex64).\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> fir = FIR(np.array([0.25, 0.5, 0.25], np.complex64))\n"
    ">>> (fir.num_taps, fir.is_real)\n"
    "(3, False)\n"
    ">>> fir.execute(np.array([1, 0, 0], np.complex64)).real.tolist()\n"
    "[0.25, 0.5, 0.25]\n"
    ">>> FIR(np.array([0.25, 0.5, 0.25], np.float32)).is_real\n"
    "True\n"
    ">>> FIR(np.ones((2, 2), np.float32))\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: object too deep for desired array\n";

const char execute_doc[] =
    "execute(x, out) -> ndarray\n\n"
    "Filter one block, carrying the delay line over from the previous block.\n\n"
    "Parameters\n----------\n"
    "x : array_like\n    Samples, converted to complex64 without unsafe casts; any shape,\n"
    "    processed in C order (a scalar is one sample).\n"
    "out : ndarray, optional\n    A writable, C-contiguous complex64 array with at least as many\n"
    "    elements as x (any shape), or None.  It may be x itself.\n\n"
    "Returns\n-------\n"
    "ndarray\n    A 1-D complex64 array with one output per input sample: a new\n"
    "    array, or, when out is given, a view of out's first elements that\n"
    "    keeps out's memory alive (the rest of out is untouched).\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "TypeError\n    When x does not cast safely to complex64, or out is not a\n"
    "    writable, C-contiguous complex64 ndarray.\n"
    "ValueError\n    \"out has N elements, need >= M\" when out is too small.\n"
    "MemoryError\n    \"fir_execute could not allocate its work buffer\" (num_taps - 1\n"
    "    samples plus a cache-sized piece of the block, however long the block);\n"
    "    the delay line and out are then unchanged.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> fir = FIR(np.array([0.5, 0.5], np.float32))\n"
    ">>> fir.execute(np.array([2, 4], np.complex64)).real.tolist()\n"
    "[1.0, 3.0]\n"
    ">>> out = np.zeros(4, np.complex64)\n"
    ">>> y = fir.execute(np.array([6], np.complex64), out)\n"
    ">>> (y.real.tolist(), out.real.tolist())\n"
    "([5.0], [5.0, 0.0, 0.0, 0.0])\n"
    ">>> x = np.array([2, 2], np.complex64)\n"
    ">>> fir.execute(x, x).real.tolist()\n"
    "[4.0, 2.0]\n";

const char reset_doc[] =
    "reset() -> None\n\n"
    "Zero the delay line: the filter then behaves exactly like a new one with\n"
    "the same taps (its work buffer is kept, so nothing is allocated again).\n"
    "The taps stay.\n\n"
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
    "The output of execute() always has the length of its input, so there\n"
    "is no separate output capacity to ask for.\n\n"
    "Returns\n-------\n"
    "int\n    0.\n\n"
    "Raises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> FIR(np.ones(3, np.float32)).execute_max_out()\n"
    "0\n";

const char num_taps_doc[] =
    "The number of tap coefficients given at creation: an int, at least 1\n"
    "(read-only).\n\n"
    "Each output is the sum of num_taps products, and the filter keeps the last\n"
    "num_taps - 1 input samples between calls; they are its whole state, so\n"
    "state_bytes() is 8*num_taps + 8 (16 for a single tap).\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> fir = FIR(np.ones(75, np.float32))\n"
    ">>> (fir.num_taps, fir.state_bytes())\n"
    "(75, 608)\n";

const char is_real_doc[] =
    "True when the filter was created with real-valued taps, which use the\n"
    "cheaper inner loop (read-only).\n\n"
    "A one-dimensional float32 tap array makes a real-tap filter; any other\n"
    "taps are converted to complex64, even when every imaginary part is zero.\n"
    "The kind is fixed for the filter's life.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " FIR_IMPORT "\n"
    ">>> (FIR(np.ones(3, np.float32)).is_real, FIR(np.ones(3, np.complex64)).is_real)\n"
    "(True, False)\n"
    ">>> FIR([1.0, 2.0]).is_real\n"
    "False\n";

PyMethodDef fir_methods[] = {
    {"reset", (PyCFunction)kx::m_call<T, fir_reset>, METH_NOARGS, reset_doc},
    {"execute", (PyCFunction)(void (*)(void))kx::m_block_capacity<T, fir_execute>,
     METH_VARARGS | METH_KEYWORDS, execute_doc},
    {"execute_max_out", (PyCFunction)kx::m_call<T, fir_execute_max_out>, METH_NOARGS, max_out_doc},
    KX_FRAME_METHODS(T, "import numpy as np; " FIR_IMPORT, "FIR(np.ones(4, np.float32))"),
};

PyGetSetDef fir_getset[] = {
    kx::field_ro<T, &fir_filter::taps_len>("num_taps", num_taps_doc),
    {"is_real", kx::get_from<T, is_real>, nullptr, is_real_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject kx_FIR_Type = kx::make_type<T>("filter.FIR", fir_doc, fir_methods, fir_getset);
