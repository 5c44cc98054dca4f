// Help texts of the frame's methods, and the table entries that close every
// type's method table.
#pragma once

// Parameters, Returns and Raises of every exact-length block method's help.
#define KX_BLOCK_DOC_SECTIONS                                                      \
    "Parameters\n----------\n"                                                     \
    "x : array_like\n    Samples, converted to complex64 without unsafe casts; any\n" \
    "    shape, processed in C order.\n"                                           \
    "out : ndarray, optional\n    A writable, C-contiguous complex64 array with as " \
    "many\n    elements as x (any shape); may be x itself.\n\n"                    \
    "Returns\n-------\n"                                                           \
    "ndarray\n    out when given, else a new 1-D complex64 array.\n\n"             \
    "Raises\n------\n"                                                             \
    "RuntimeError\n    \"destroyed\" after destroy().\n"                          \
    "TypeError\n    When x does not cast safely to complex64, or out is not a\n"    \
    "    writable, C-contiguous complex64 ndarray.\n"                              \
    "ValueError\n    When out has another element count than x.\n\n"

// The frame's six methods with their help texts, closing every method table.
// IMPORT and CTOR are the doctest lines that make an object of the type.
#define KX_FRAME_METHODS(T, IMPORT, CTOR)                                                     \
    {"state_bytes", (PyCFunction)kx::m_state_bytes<T>, METH_NOARGS,                           \
     "state_bytes() -> int\n\nSize in bytes of this object's state blob.\n\n"                 \
     "Returns\n-------\nint\n    The length of what get_state() returns and set_state() "      \
     "accepts.\n\nRaises\n------\nRuntimeError\n    \"destroyed\" after destroy().\n\n"         \
     "Examples\n--------\n>>> " IMPORT "\n>>> obj = " CTOR "\n"                                  \
     ">>> obj.state_bytes() == len(obj.get_state())\nTrue\n"},                                 \
    {"get_state", (PyCFunction)kx::m_get_state<T>, METH_NOARGS,                               \
     "get_state() -> bytes\n\nSnapshot of the evolving state as a little-endian blob.\n\n"     \
     "Returns\n-------\nbytes\n    state_bytes() bytes, opening with a 16-byte header "        \
     "(magic, version, 1, size, 0).\n\nRaises\n------\nRuntimeError\n    \"destroyed\" after "  \
     "destroy().\n\nExamples\n--------\n>>> " IMPORT "\n>>> a = " CTOR "\n>>> b = " CTOR "\n"     \
     ">>> b.set_state(a.get_state())\n>>> a.get_state() == b.get_state()\nTrue\n"},            \
    {"set_state", (PyCFunction)kx::m_set_state<T>, METH_O,                                    \
     "set_state(blob) -> None\n\nRestore a snapshot taken by get_state(), so that "            \
     "processing resumes bit for bit.\n\nParameters\n----------\nblob : bytes\n    A blob of "  \
     "exactly state_bytes() bytes.\n\nRaises\n------\nRuntimeError\n    \"destroyed\" after "   \
     "destroy().\nTypeError\n    \"set_state expects bytes\" for anything but bytes.\n"         \
     "ValueError\n    \"state blob size mismatch\" for a blob of another length, \"set_state "  \
     "rejected the blob\" for a wrong header.\n\nExamples\n--------\n>>> " IMPORT "\n"          \
     ">>> obj = " CTOR "\n>>> obj.set_state(obj.get_state())\n"},                               \
    {"destroy", (PyCFunction)kx::m_destroy<T>, METH_NOARGS,                                   \
     "destroy() -> None\n\nRelease the core object now.  Every later method or property "      \
     "raises RuntimeError \"destroyed\"; calling destroy() again does nothing.\n\n"            \
     "Examples\n--------\n>>> " IMPORT "\n>>> obj = " CTOR "\n>>> obj.destroy()\n"               \
     ">>> obj.destroy()\n"},                                                                    \
    {"__enter__", (PyCFunction)kx::m_enter, METH_NOARGS,                                      \
     "__enter__() -> self\n\nEnter a with block; the object is destroyed when it ends.\n\n"   \
     "Examples\n--------\n>>> " IMPORT "\n>>> with " CTOR " as obj:\n...     n = "              \
     "obj.state_bytes()\n"},                                                                   \
    {"__exit__", (PyCFunction)kx::m_exit<T>, METH_VARARGS,                                    \
     "__exit__(*exc_info) -> None\n\nDestroy the object on leaving a with block; an "          \
     "exception raised in the block propagates.\n"},                                          \
    {nullptr, nullptr, 0, nullptr}
