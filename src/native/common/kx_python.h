// Interpreter and NumPy C-API includes for every binding translation unit.
//
// Each extension module owns one NumPy API table, named by the per-target
// define KX_ARRAY_API.  The module's init file defines KX_IMPORT_ARRAY before
// including this header and calls import_array(); every other file of the
// module (the shared frame included) sees the table as an extern.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL KX_ARRAY_API
#ifndef KX_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
