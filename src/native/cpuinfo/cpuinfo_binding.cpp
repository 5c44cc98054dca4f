// kestrix._cpu: which kernel variant the native modules run on this machine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/cpu.h"

namespace {

PyObject *variant(PyObject *, PyObject *) {
    return PyUnicode_FromString(kx::cpu_level_name(kx::cpu_level()));
}

PyMethodDef methods[] = {
    {"variant", variant, METH_NOARGS,
     "variant() -> str\n\nThe instruction-set variant selected for the hot kernels: "
     "\"avx512\", \"avx2\" or \"baseline\" (after KESTRIX_DISABLE_CPU_FEATURES is applied).\n\n"
     "Examples\n--------\n>>> from kestrix._cpu import variant\n"
     ">>> variant() in ('avx512', 'avx2', 'baseline')\nTrue\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_cpu", "Run-time CPU variant selection of kestrix's kernels.\n", -1,
    methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__cpu(void) { return PyModule_Create(&module); }
