#include "bindings/snapshot.hpp"

#include <stdexcept>
#include <utility>

namespace quorl::bindings {
namespace {

// Recorded in every snapshot: the version kernel_version() reports.
constexpr std::string_view snapshot_kernel_version = kernel_version_text;

constexpr MethodSpec from_bytes_spec{"from_bytes", Access::shared, {"data"}, nullptr};

// Releases a buffer view however the call ends.
class BufferView {
public:
    Py_buffer view{};

    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_)
            PyBuffer_Release(&view);
    }
    bool load(PyObject* object) noexcept {
        held_ = PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) == 0;
        return held_;
    }
    std::span<const std::byte> bytes() const noexcept {
        return {static_cast<const std::byte*>(view.buf), static_cast<std::size_t>(view.len)};
    }

private:
    bool held_ = false;
};

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

PyObject* copy_of(PyObject* self) noexcept {
    return with_access(self, Access::shared, static_cast<PyObject*>(nullptr),
                       [](core::Graph& g) -> PyObject* {
                           if (refuse_open_round(g))
                               return nullptr;
                           return new_graph_object(core::Graph(g));
                       });
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

PyObject* graph_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    PyObject* data = nullptr;
    if (nargs == 1 && kwnames == nullptr)
        data = args[0];
    else if (!bind_arguments(from_bytes_spec, 1, args, nargs, kwnames, &data))
        return nullptr;
    // The view pins the data: a bytearray cannot be resized while it is held,
    // and no Python code runs between here and the end of the restore.
    BufferView view;
    if (!view.load(data)) {
        wrap_argument_error("data");
        return nullptr;
    }
    try {
        auto restored = core::Graph::from_snapshot(view.bytes());
        if (!restored) {
            const std::string& message = restored.error().message;
            Ref text(PyUnicode_FromStringAndSize(message.data(),
                                                 static_cast<Py_ssize_t>(message.size())));
            if (text)
                PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        return new_graph_object(std::move(*restored));
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* graph_reduce(PyObject* self, PyObject*) noexcept {
    return with_access(
        self, Access::shared, static_cast<PyObject*>(nullptr), [](core::Graph& g) -> PyObject* {
            Ref bytes(to_python(g, SnapshotBytes{}));
            if (!bytes)
                return nullptr;
            // An interned name: the interpreter's attribute cache
            // keeps the last name looked up, and a fresh string on
            // every call would keep changing what it holds.
            static PyObject* name = nullptr;
            if (name == nullptr)
                name = PyUnicode_InternFromString("from_bytes");
            if (name == nullptr)
                return nullptr;
            Ref restore(PyObject_GetAttr(reinterpret_cast<PyObject*>(graph_type), name));
            if (!restore)
                return nullptr;
            return Py_BuildValue("(O(O))", restore.get(), bytes.get());
        });
}

PyObject* graph_copy(PyObject* self, PyObject*) noexcept { return copy_of(self); }

// A graph holds no Python objects, so a deep copy is a copy and `memo` has
// nothing to record.
PyObject* graph_deepcopy(PyObject* self, PyObject*) noexcept { return copy_of(self); }

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
