// The channel module: the types that select a channel from a capture.
#include "channel/channel_binding.h"

namespace {

const char channel_module_doc[] =
    "Channel selection: a frequency shift (Rotator) that moves a signal of\n"
    "interest to 0 Hz, and a decimating FIR (FIRDecimator) that lowpasses it\n"
    "and keeps every factor-th output.\n\n"
    "Rotator(shift, phase=0.0) multiplies sample n of a stream by\n"
    "exp(j*2*pi*(phase + n*shift)), shift in cycles per sample, continuing\n"
    "across blocks with an integer phase accumulator that never drifts.\n"
    "FIRDecimator(taps, factor) gives exactly FIR(taps).execute(x)[::factor]\n"
    "on the whole stream, computing only the outputs it keeps.\n\n"
    "Every object processes block by block, resets, snapshots and restores\n"
    "its state as bytes (state_bytes, get_state, set_state), and is released\n"
    "by destroy() or by leaving a with block.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from kestrix.channel import FIRDecimator, Rotator\n"
    ">>> from kestrix.filter import design_lowpass\n"
    ">>> y = Rotator(0.25).steps(np.ones(4, np.complex64))\n"
    ">>> bool((y == [1, 1j, -1, -1j]).all())\n"
    "True\n"
    ">>> dec = FIRDecimator(design_lowpass(0.1, 0.2, 60.0), 4)\n"
    ">>> dec.execute(np.ones(100, np.complex64)).shape\n"
    "(25,)\n";

PyModuleDef channel_module = kx::module_def("channel", channel_module_doc, nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_channel(void) {
    static const kx::TypeEntry types[] = {
        {"FIRDecimator", &kx_FIRDecimator_Type},
        {"Rotator", &kx_Rotator_Type},
    };
    return kx::module_init(&channel_module, types, std::size(types));
}
