// Snapshots at the Python boundary: Graph.to_bytes(), Graph.from_bytes(),
// and pickle and copy support built on them.
#pragma once

#include "bindings/call.hpp"

namespace quorl::bindings {

// to_bytes' result: the bytes object is sized and written in one go.
struct SnapshotBytes {};
PyObject* to_python(core::Graph& graph, SnapshotBytes);

// A bytes-like argument, viewed for the call: the view pins the data, so a
// bytearray cannot be resized while it is held.
class BufferArgument {
public:
    std::span<const std::byte> value;

    BufferArgument() = default;
    BufferArgument(const BufferArgument&) = delete;
    BufferArgument& operator=(const BufferArgument&) = delete;
    ~BufferArgument() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    bool load(PyObject* object) noexcept;

private:
    Py_buffer view_{};
    bool held_ = false;
};
template <> struct ArgumentFor<std::span<const std::byte>> {
    using type = BufferArgument;
};

// The operations behind from_bytes, __reduce__ and __copy__.
PyObject* graph_from_bytes(std::span<const std::byte> data);
PyObject* graph_reduce(core::Graph& graph);
PyObject* graph_copy(core::Graph& graph);

// _same_structure (METH_O): what a warm start checks a loaded graph against.
PyObject* graph_same_structure(PyObject* self, PyObject* other) noexcept;

}  // namespace quorl::bindings
