#include "bindings/snapshot.hpp"

#include <stdexcept>
#include <utility>

namespace quorl::bindings {
namespace {

// Recorded in every snapshot: the version kernel_version() reports.
constexpr std::string_view snapshot_kernel_version = kernel_version_text;

// A graph whose round is open has nodes handed out to its caller; a copy or a
// snapshot of it would hold them `computing` with no round to settle them.
bool refuse_open_round(const core::Graph& g) noexcept {
    if (!g.round_open())
        return false;
    PyErr_SetString(PyExc_RuntimeError,
                    "a round is open on this graph: finish or close it before copying or "
                    "saving the graph");
    return true;
}

}  // namespace

PyObject* to_python(core::Graph& graph, SnapshotBytes) {
    if (refuse_open_round(graph))
        return nullptr;
    const std::size_t size = graph.snapshot_size();
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX))
        throw std::length_error("graph too large for one bytes object");
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        result_creation_failed();
        return nullptr;
    }
    // A bytes object nobody else has seen yet may still be written to.
    auto* buffer = reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get()));
    if (buffer == nullptr) {
        result_creation_failed();
        return nullptr;
    }
    graph.write_snapshot({buffer, size}, snapshot_kernel_version);
    return bytes.release();
}

bool BufferArgument::load(PyObject* object) noexcept {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    if (held_)
        value = {static_cast<const std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
    return held_;
}

// No Python code runs between the conversion of `data` and the end of the
// restore, so the bytes it reads cannot change.
PyObject* graph_from_bytes(std::span<const std::byte> data) {
    auto restored = core::Graph::from_snapshot(data);
    if (!restored) {
        const std::string& message = restored.error().message;
        Ref text(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text)
            PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
    }
    return new_graph_object(std::move(*restored));
}

PyObject* graph_reduce(core::Graph& g) {
    Ref bytes(to_python(g, SnapshotBytes{}));
    if (!bytes)
        return nullptr;
    // An interned name: the interpreter's attribute cache keeps the last name
    // looked up, and a fresh string on every call would keep changing what
    // it holds.
    static PyObject* name = nullptr;
    if (name == nullptr)
        name = PyUnicode_InternFromString("from_bytes");
    if (name == nullptr)
        return nullptr;
    Ref restore(PyObject_GetAttr(reinterpret_cast<PyObject*>(graph_type), name));
    if (!restore)
        return nullptr;
    return Py_BuildValue("(O(O))", restore.get(), bytes.get());
}

// A graph holds no Python objects, so a deep copy is a copy as well.
PyObject* graph_copy(core::Graph& g) {
    if (refuse_open_round(g))
        return nullptr;
    return new_graph_object(core::Graph(g));
}

// Both graphs are only read: shared access to each, the same graph twice included.
PyObject* graph_same_structure(PyObject* self, PyObject* other) noexcept {
    if (Py_TYPE(other) != graph_type) {
        raise_type_error(other, "Graph");
        return nullptr;
    }
    return with_access(
        self, Access::shared, static_cast<PyObject*>(nullptr),
        [other](core::Graph& g) -> PyObject* {
            return with_access(
                other, Access::shared, static_cast<PyObject*>(nullptr),
                [&g](core::Graph& h) -> PyObject* { return PyBool_FromLong(g.same_structure(h)); });
        });
}

}  // namespace quorl::bindings
