// Snapshots at the Python boundary: Graph.to_bytes(), Graph.from_bytes(),
// and pickle and copy support built on them.
#pragma once

#include "bindings/call.hpp"

namespace quorl::bindings {

// to_bytes' result: the bytes object is sized and written in one go.
struct SnapshotBytes {};
PyObject* to_python(core::Graph& graph, SnapshotBytes);

// Graph.from_bytes(data), a class method (METH_CLASS | METH_FASTCALL | METH_KEYWORDS).
PyObject* graph_from_bytes(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;

// __reduce__ (METH_NOARGS), __copy__ (METH_NOARGS), __deepcopy__ (METH_O).
PyObject* graph_reduce(PyObject* self, PyObject*) noexcept;
PyObject* graph_copy(PyObject* self, PyObject*) noexcept;
PyObject* graph_deepcopy(PyObject* self, PyObject* memo) noexcept;

// _same_structure (METH_O): what a warm start checks a loaded graph against.
PyObject* graph_same_structure(PyObject* self, PyObject* other) noexcept;

}  // namespace quorl::bindings
