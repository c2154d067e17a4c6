// The update round type, quorl._quorl._Round, and Graph.begin_round.
#pragma once

#include "bindings/call.hpp"

namespace quorl::bindings {

// Graph.begin_round(inputs, seeds=()): METH_FASTCALL | METH_KEYWORDS.
PyObject* begin_round(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// The _Round type, created on the first request and cached for the process.
PyTypeObject* get_round_type() noexcept;

}  // namespace quorl::bindings
