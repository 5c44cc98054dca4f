// The MovingAverage type over the boxcar core.
#include "filter/boxcar_core.h"
#include "filter/filter_binding.h"

namespace {

struct BoxcarTraits : kx::CoreTraits<boxcar_filter, boxcar_destroy, boxcar_state_bytes,
                                      boxcar_get_state, boxcar_set_state> {
    static constexpr const char *create_failed = "boxcar_create returned NULL";

    static int create(PyObject *args, PyObject *kwds, boxcar_filter **out) {
        static const char *kwlist[] = {"len", "gain", nullptr};
        unsigned long long len = 4;  // "K": no overflow check, so -1 wraps and is refused
        double gain = 1.0;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|Kd", const_cast<char **>(kwlist), &len,
                                         &gain))
            return -1;
        *out = boxcar_create(uint64_t(len), gain);
        return 0;
    }
};

using T = BoxcarTraits;

int ma_gain_set(PyObject *self, PyObject *value, void *) {
    double gain;
    boxcar_filter *bx = kx::convert<T>(self, value, &gain);
    if (bx == nullptr) return -1;
    boxcar_set_gain(bx, gain);
    return 0;
}

#define MA_IMPORT "from kestrix.filter import MovingAverage"

const char step_doc[] =
    "step(x) -> float _Complex\n\n"
    "Average one sample into the window.\n\n"
    "The sample that leaves the window (zero while the window is still\n"
    "filling) is subtracted from the running sum, the new one is added, and\n"
    "the sum times gain/len is returned.  Each part is computed in float32:\n"
    "the difference first, then the sum, then the product.  A stream fed one\n"
    "sample at a time gives exactly what steps() gives for the whole block.\n\n"
    "Parameters\n----------\n"
    "x : complex\n    Input sample (an int or float is taken as real); each part is\n"
    "    rounded to float32.\n\n"
    "Returns\n-------\n"
    "complex\n    The window average times gain, float32 parts widened to float.\n\n"
    "Raises\n------\n"
    "RuntimeError\n    \"destroyed\" after destroy().\n"
    "TypeError\n    For an argument that does not convert to complex.\n\n"
    "Examples\n--------\n"
    ">>> " MA_IMPORT "\n"
    ">>> ma = MovingAverage(2)\n"
    ">>> [ma.step(v) for v in (1, 3, 3)]\n"
    "[(0.5+0j), (2+0j), (3+0j)]\n"
    ">>> MovingAverage(1, 0.5).step(2 - 4j)\n"
    "(1-2j)\n";

const char steps_doc[] =
    "steps(x[, out]) -> ndarray\n\n"
    "Average a block, sample by sample, continuing the stream.\n\n"
    "The same chain as step() on each sample in C order, so a stream cut\n"
    "into blocks of any size gives identical outputs.  After a reset the first\n"
    "len-1 outputs ramp in (the missing samples count as zero).  The running\n"
    "sum is never recomputed: after a NaN input every later output is NaN;\n"
    "an infinite input gives infinite outputs while it is in the window and\n"
    "NaN from the step at which it leaves, until reset() or set_state().\n\n"
    KX_BLOCK_DOC_SECTIONS
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " MA_IMPORT "\n"
    ">>> MovingAverage(3).steps(np.ones(5, np.complex64)).real.tolist()\n"
    "[0.3333333432674408, 0.6666666865348816, 1.0, 1.0, 1.0]\n"
    ">>> ma = MovingAverage(2)\n"
    ">>> ma.steps([1, np.nan, 1, 1]).real.tolist()\n"
    "[0.5, nan, nan, nan]\n"
    ">>> x = np.ones(4, np.complex64)\n"
    ">>> MovingAverage(4).steps(x, out=x) is x\n"
    "True\n"
    ">>> x.real.tolist()\n"
    "[0.25, 0.5, 0.75, 1.0]\n";

const char reset_doc[] =
    "reset() -> None\n\n"
    "Empty the window: the running sum, the ring and its position go to\n"
    "zero, so the output ramps in again.  The length and the gain stay.  This\n"
    "is also the only way, besides set_state(), to clear a NaN or infinity\n"
    "from the running sum.\n\n"
    "Raises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> " MA_IMPORT "\n"
    ">>> ma = MovingAverage(2)\n"
    ">>> ma.steps(np.ones(4, np.complex64)).real.tolist()\n"
    "[0.5, 1.0, 1.0, 1.0]\n"
    ">>> ma.reset()\n"
    ">>> ma.step(1)\n"
    "(0.5+0j)\n";

PyMethodDef ma_methods[] = {
    {"step", (PyCFunction)kx::m_step<T, boxcar_step>, METH_VARARGS, step_doc},
    {"steps", (PyCFunction)(void (*)(void))kx::m_block<T, boxcar_steps>,
     METH_VARARGS | METH_KEYWORDS, steps_doc},
    {"reset", (PyCFunction)kx::m_call<T, boxcar_reset>, METH_NOARGS, reset_doc},
    KX_FRAME_METHODS(T, MA_IMPORT, "MovingAverage(3)"),
};

PyGetSetDef ma_getset[] = {
    kx::field_ro<T, &boxcar_filter::len>("len", "window length (1 .. BOXCAR_MAX_LEN).\n"),
    {"gain", kx::get<T, &boxcar_filter::gain>, ma_gain_set, "Current output gain.\n", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject kx_MovingAverage_Type =
    kx::make_type<T>("filter.MovingAverage", "MovingAverage type.\n", ma_methods, ma_getset);
