// Module initialisation and type building shared by the frame's modules.
// This is the one file of each module that owns the NumPy API table.
#define KX_IMPORT_ARRAY
#include "common/frame.h"

namespace kx {

static PyObject *bind_numpy() {
    // NumPy's own procedure: it tries numpy._core, falls back to numpy.core
    // only when that is not found, checks ABI, feature level and byte order,
    // prints the cause and raises the ImportError.
    import_array();
    return Py_None;
}

PyObject *module_init(PyModuleDef *def, const TypeEntry *types, std::size_t n_types) {
    if (bind_numpy() == nullptr) return nullptr;
    for (std::size_t i = 0; i < n_types; i++)
        if (PyType_Ready(types[i].type) < 0) return nullptr;
    Ref module(PyModule_Create(def));
    if (!module) return nullptr;
    for (std::size_t i = 0; i < n_types; i++) {
        PyObject *type = reinterpret_cast<PyObject *>(types[i].type);
        Py_INCREF(type);
        if (PyModule_AddObject(module.get(), types[i].attr, type) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    return module.release();
}

PyTypeObject make_type(const char *name, Py_ssize_t basicsize, destructor dealloc,
                       const char *doc, PyMethodDef *methods, PyGetSetDef *getset,
                       initproc init, newfunc new_, Py_ssize_t weaklistoffset) {
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject t{};
    t.ob_base = head[0];
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_itemsize = 0;
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = doc;
    t.tp_weaklistoffset = weaklistoffset;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = new_;
    return t;
}

}  // namespace kx
