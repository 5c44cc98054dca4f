// Types of the channel module, defined in their own files and added to the
// module by channel_binding.cpp.
#pragma once

#include "common/frame.h"

extern PyTypeObject kx_FIRDecimator_Type;
extern PyTypeObject kx_Rotator_Type;
