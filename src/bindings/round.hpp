// The update round type, quorl._quorl._Round, and Graph.begin_round.
#pragma once

#include <vector>

#include "bindings/call.hpp"
#include "core/round.hpp"

namespace quorl::bindings {

// `inputs`: a mapping of id to hash, or an iterable of (id, hash) pairs. The
// ids and the pairs stay referenced for the call, so the views stay valid.
class InputsArgument {
public:
    std::vector<core::InputHash> value;

    InputsArgument() = default;
    InputsArgument(const InputsArgument&) = delete;
    InputsArgument& operator=(const InputsArgument&) = delete;
    ~InputsArgument() {
        for (PyObject* item : owned_)
            Py_DECREF(item);
    }

    bool load(PyObject* object);

private:
    bool load_pair(PyObject* item);

    std::vector<PyObject*> owned_;
};
template <> struct ArgumentFor<std::span<const core::InputHash>> {
    using type = InputsArgument;
};

// Graph.begin_round(inputs, seeds=()): the operation behind the method.
PyObject* begin_round(GraphObject& self, std::span<const core::InputHash> inputs,
                      std::span<const std::string_view> seeds);

// The _Round type, created on the first request and cached for the process.
PyTypeObject* get_round_type() noexcept;

}  // namespace quorl::bindings
