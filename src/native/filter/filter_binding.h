// Types and functions of the filter module, defined in their own files and
// added to the module by filter_binding.cpp.
#pragma once

#include "common/frame.h"

extern PyTypeObject kx_FIR_Type;
extern PyTypeObject kx_MovingAverage_Type;
