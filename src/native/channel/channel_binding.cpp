// The channel module: FIRDecimator.
#include "channel/channel_binding.h"

namespace {

const char channel_module_doc[] =
    "Channel selection: a decimating FIR (FIRDecimator) that lowpasses a complex stream and "
    "keeps every factor-th output.\n\n"
    "FIRDecimator(taps, factor) gives exactly FIR(taps).execute(x)[::factor]\n"
    "on the whole stream, computing only the outputs it keeps.\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from kestrix.channel import FIRDecimator\n"
    ">>> from kestrix.filter import design_lowpass\n"
    ">>> dec = FIRDecimator(design_lowpass(0.1, 0.2, 60.0), 4)\n"
    ">>> dec.execute(np.ones(100, np.complex64)).shape\n"
    "(25,)\n";

PyModuleDef channel_module = kx::module_def("channel", channel_module_doc, nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_channel(void) {
    static const kx::TypeEntry types[] = {
        {"FIRDecimator", &kx_FIRDecimator_Type},
    };
    return kx::module_init(&channel_module, types, 1);
}
