#include "bindings/call.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace quorl::bindings {
namespace {

// A sequence's reported length only sizes the first reservation: it may be
// wrong, so the conversion takes the real elements whatever it claims.
constexpr Py_ssize_t max_reserved_elements = 4096;

constexpr const char* panic_doc =
    "Raised when kernel code called from Python fails an internal check.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that ordinary exception handlers let it pass and it ends the interpreter\n"
    "unless caught on purpose.";

PyObject* panic_type = nullptr;
PyObject* kind_strings[4] = {};
PyObject* state_strings[3] = {};

// The qualified name of an object's type, for conversion messages.
PyObject* type_name(PyObject* object) noexcept {
    PyObject* name = PyType_GetQualName(Py_TYPE(object));
    if (name == nullptr) {
        PyErr_Clear();
        name = PyUnicode_FromString("<failed to extract type name>");
    }
    return name;
}

void raise_conversion_error(PyObject* object, const char* target) noexcept {
    Ref name(type_name(object));
    if (name)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                     target);
}

void raise_too_many_arguments(const char* name, std::size_t count, Py_ssize_t nargs,
                              const char* owner = "Graph") noexcept {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zd %s given", owner,
                 name, count, nargs, nargs == 1 ? "was" : "were");
}

void raise_keyword_error(const char* name, const char* what, PyObject* keyword,
                         const char* owner = "Graph") noexcept {
    PyErr_Format(PyExc_TypeError, "%s.%s() got %s '%U'", owner, name, what, keyword);
}

void raise_missing_arguments(const MethodSpec& spec, std::size_t count, PyObject* const* slots,
                             const char* owner) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (slots[i] == nullptr)
            missing.push_back(spec.params[i]);
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                list += " and ";
            else
                list += i + 1 == missing.size() ? ", and " : ", ";
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional argument%s: %s", owner,
                 spec.name, missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
}

PyObject* get_panic_type() noexcept {
    if (panic_type == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc("quorl._quorl.PanicException", panic_doc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr)
            return nullptr;
        // Creating a class may run other code that got here first: first one stored wins.
        if (panic_type == nullptr)
            panic_type = created;
        else
            Py_DECREF(created);
    }
    return panic_type;
}

}  // namespace

bool tolerable_error() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0 &&
           PyErr_ExceptionMatches(PyExc_MemoryError) == 0;
}

// ---- Failures ---------------------------------------------------------------

void raise_panic(std::string_view message) noexcept {
    PyObject* type = get_panic_type();
    if (type == nullptr)
        return;  // the class could not be created: its error (normally MemoryError) stands
    Ref text(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text)
        PyErr_SetObject(type, text.get());
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {
        // A graph past its 32-bit limits cannot grow any more than one
        // that is out of memory.
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
}

namespace {

// The cycle's ValueError carries one cycle's ids as its `cycle` attribute, so
// that a caller can repair the graph without parsing the message.
void raise_cycle(PyObject* message, const std::vector<std::string>& path) {
    Ref ids(PyList_New(static_cast<Py_ssize_t>(path.size())));
    if (!ids)
        return;
    for (std::size_t k = 0; k < path.size(); ++k) {
        PyObject* id = id_to_str(path[k]);
        if (id == nullptr)
            return;
        PyList_SetItem(ids.get(), static_cast<Py_ssize_t>(k), id);
    }
    Ref error(PyObject_CallFunctionObjArgs(PyExc_ValueError, message, nullptr));
    if (!error || PyObject_SetAttrString(error.get(), "cycle", ids.get()) < 0)
        return;
    PyErr_SetObject(PyExc_ValueError, error.get());
}

}  // namespace

void raise_graph_error(const core::GraphError& error) noexcept {
    try {
        PyObject* type = PyExc_ValueError;
        if (std::holds_alternative<core::UnknownNode>(error.variant()))
            type = PyExc_KeyError;
        else if (std::holds_alternative<core::NotBuilt>(error.variant()))
            type = PyExc_RuntimeError;
        else if (std::holds_alternative<core::EpochsExhausted>(error.variant()))
            type = PyExc_OverflowError;
        const std::string message = error.message();
        Ref text(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (!text)
            return;
        if (const auto* cycle = std::get_if<core::Cycle>(&error.variant())) {
            raise_cycle(text.get(), cycle->path);
            return;
        }
        PyErr_SetObject(type, text.get());
    } catch (...) {
        raise_current_exception();
    }
}

void result_creation_failed() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } else if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return;  // memory exhaustion is reported as such
    }
    PyErr_Print();
    raise_panic("Python API call failed");
}

PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& spec, const char* name) noexcept {
    if (cache != nullptr)
        return cache;
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) {
        if (name == nullptr)
            return nullptr;
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref cause(value);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        Ref error(PyObject_CallFunction(
            PyExc_RuntimeError, "s",
            ("An error occurred while initializing class " + std::string(name)).c_str()));
        if (error) {
            PyException_SetCause(error.get(), cause.release());
            PyErr_SetObject(PyExc_RuntimeError, error.get());
        }
        return nullptr;
    }
    // Creating a type may run code that asked for it first: the first one stored wins.
    if (cache == nullptr)
        cache = reinterpret_cast<PyTypeObject*>(created);
    else
        Py_DECREF(created);
    return cache;
}

// ---- Argument binding -------------------------------------------------------

bool bind_arguments(const MethodSpec& spec, std::size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots, const char* owner,
                    std::size_t required) noexcept {
    required = std::min(required, count);
    if (nargs > static_cast<Py_ssize_t>(count)) {
        raise_too_many_arguments(spec.name, count, nargs, owner);
        return false;
    }
    std::fill(slots, slots + count, nullptr);
    std::copy(args, args + nargs, slots);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return false;  // out of memory: that is what the caller sees
            PyErr_Clear();     // not encodable, so it matches no parameter
        }
        std::size_t slot = count;
        for (std::size_t i = 0; text != nullptr && i < count; ++i)
            if (std::string_view(text, size) == spec.params[i])
                slot = i;
        if (slot == count) {
            raise_keyword_error(spec.name, "an unexpected keyword argument", keyword, owner);
            return false;
        }
        if (slots[slot] != nullptr) {
            raise_keyword_error(spec.name, "multiple values for argument", keyword, owner);
            return false;
        }
        slots[slot] = args[nargs + k];
    }
    if (std::find(slots, slots + required, nullptr) != slots + required) {
        try {
            raise_missing_arguments(spec, required, slots, owner);
        } catch (...) {
            raise_current_exception();
        }
        return false;
    }
    return true;
}

bool bind_no_arguments(PyObject* args, PyObject* kwds) noexcept {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
    if (nargs > 0) {
        raise_too_many_arguments("__new__", 0, nargs);
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    if (kwds != nullptr && PyDict_Next(kwds, &position, &keyword, &value)) {
        raise_keyword_error("__new__", "an unexpected keyword argument", keyword);
        return false;
    }
    return true;
}

// ---- Access -----------------------------------------------------------------

void raise_receiver_error(PyObject* self) noexcept { raise_conversion_error(self, "Graph"); }

void raise_access_error(Access mode) noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    mode == Access::shared ? "Already mutably borrowed" : "Already borrowed");
}

// ---- Argument conversion ----------------------------------------------------

void wrap_argument_error(const char* param) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    Ref underlying(value);
    Ref underlying_type(type);
    Ref underlying_traceback(traceback);
    Ref text(PyObject_Str(value));
    if (!text)
        return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message)
        return;
    Ref wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!wrapped)
        return;
    PyException_SetCause(wrapped.get(), PyException_GetCause(value));
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, wrapped.release(), nullptr);
}

void raise_str_error(PyObject* object) noexcept { raise_conversion_error(object, "PyString"); }

void raise_type_error(PyObject* object, const char* target) noexcept {
    raise_conversion_error(object, target);
}

bool StrSequenceArgument::load(PyObject* object) {
    if (is_str(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_conversion_error(object, "Sequence");
        return false;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object))
        return load_list_or_tuple(object);
    return load_iterated(object);
}

// Iterating an exact list or tuple yields its items in index order and runs
// no Python code, so reading them by index gives the same result without an
// iterator. The items are borrowed: the caller's container holds them, and
// nothing can change it before the kernel operation is done with the views
// (a sequence is always a method's last parameter, so no later conversion
// runs Python code in between).
bool StrSequenceArgument::load_list_or_tuple(PyObject* object) {
    const bool list = PyList_CheckExact(object);
    const Py_ssize_t count = list ? PyList_Size(object) : PyTuple_Size(object);
    std::string_view* views = inline_views_.data();
    if (static_cast<std::size_t>(count) > inline_capacity) {
        views_.resize(static_cast<std::size_t>(count));
        views = views_.data();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        StrArgument element;
        if (!element.load(list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i)))
            return false;
        views[i] = element.value;
    }
    value = std::span<const std::string_view>(views, static_cast<std::size_t>(count));
    return true;
}

bool StrSequenceArgument::load_iterated(PyObject* object) {
    Py_ssize_t expected = PySequence_Size(object);
    if (expected < 0) {
        // A broken __len__ only costs the size hint; an interrupt, an exit
        // or running out of memory is the caller's to see.
        if (!tolerable_error())
            return false;
        PyErr_Clear();
        expected = 0;
    }
    const auto reserved = static_cast<std::size_t>(std::min(expected, max_reserved_elements));
    owned_.reserve(reserved);
    views_.reserve(reserved);
    const bool loaded = for_each_item(object, [this](Ref& item) {
        StrArgument element;
        if (!element.load(item.get()))
            return false;
        owned_.push_back(item.get());
        item.release();
        views_.push_back(element.value);
        return true;
    });
    value = views_;
    return loaded;
}

// A sequence (a str refused among them) loads as a sequence argument does;
// anything else that iterates, a set or a dict's keys, is iterated.
bool StrCollectionArgument::load(PyObject* object) {
    const bool loaded =
        PySequence_Check(object) ? StrSequenceArgument::load(object) : load_iterated(object);
    value.ids = StrSequenceArgument::value;
    return loaded;
}

namespace {

// PyLong_AsUnsignedLongLong converts through a general byte-array routine;
// where unsigned long is 64 bits wide, PyLong_AsUnsignedLong takes the same
// values and is a short loop over the digits. On failure the conversion runs
// again the specified way, so the exception is exactly the one it raises.
unsigned long long int_to_u64(PyObject* integer) noexcept {
    if constexpr (sizeof(unsigned long) == sizeof(unsigned long long)) {
        const unsigned long value = PyLong_AsUnsignedLong(integer);
        if (value != static_cast<unsigned long>(-1) || !PyErr_Occurred())
            return value;
        PyErr_Clear();
    }
    return PyLong_AsUnsignedLongLong(integer);
}

}  // namespace

bool U64Argument::load(PyObject* object) noexcept {
    unsigned long long converted = 0;
    if (Py_TYPE(object) == &PyLong_Type || PyLong_Check(object)) {
        converted = int_to_u64(object);
    } else {
        Ref index(PyNumber_Index(object));
        if (!index)
            return false;
        converted = int_to_u64(index.get());
    }
    // 2^64 - 1 is a valid value: all ones is a failure only with an exception set.
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return false;
    value = converted;
    return true;
}

// ---- Results ----------------------------------------------------------------

namespace {

// Fills the empty entries of `strings` with the interned names of the
// enumerators 0 to N - 1.
template <typename Enum, std::size_t N>
bool intern_names(PyObject* (&strings)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (strings[i] != nullptr)
            continue;
        const std::string name(core::to_string(static_cast<Enum>(i)));  // short: no allocation
        strings[i] = PyUnicode_InternFromString(name.c_str());
        if (strings[i] == nullptr)
            return false;
    }
    return true;
}

}  // namespace

bool init_result_strings() noexcept {
    return intern_names<core::NodeKind>(kind_strings) &&
           intern_names<core::NodeState>(state_strings);
}

PyObject* to_python(core::Graph&, bool value) noexcept {
    return Py_NewRef(value ? Py_True : Py_False);
}

PyObject* to_python(core::Graph&, std::uint64_t value) noexcept {
    PyObject* number = PyLong_FromUnsignedLongLong(value);
    if (number == nullptr)
        result_creation_failed();
    return number;
}

PyObject* to_python(core::Graph&, core::NodeKind kind) noexcept {
    return Py_NewRef(kind_strings[static_cast<int>(kind)]);
}

PyObject* to_python(core::Graph&, core::NodeState state) noexcept {
    return Py_NewRef(state_strings[static_cast<int>(state)]);
}

// ASCII is also Latin-1, and the Latin-1 decoder is a copy, where the UTF-8
// decoder spends more on setting up than a short id costs to decode; both
// give the same str.
PyObject* id_to_str(std::string_view id) noexcept {
    const auto size = static_cast<Py_ssize_t>(id.size());
    return core::is_ascii(id) ? PyUnicode_DecodeLatin1(id.data(), size, nullptr)
                              : PyUnicode_FromStringAndSize(id.data(), size);
}

PyObject* to_python(core::Graph& graph, std::span<const core::NodeIndex> ids) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) {
        result_creation_failed();
        return nullptr;
    }
    for (std::size_t k = 0; k < ids.size(); ++k) {
        PyObject* text = id_to_str(graph.id_of(ids[k]));
        if (text == nullptr) {
            result_creation_failed();
            return nullptr;
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), text);
    }
    return list.release();
}

PyObject* to_python(core::Graph&, const core::CheckResult& check) noexcept {
    Ref signature(PyLong_FromUnsignedLongLong(check.signature));
    PyObject* tuple =
        signature ? PyTuple_Pack(3, kind_strings[static_cast<int>(check.kind)],
                                 check.needs_recompute ? Py_True : Py_False, signature.get())
                  : nullptr;
    if (tuple == nullptr)
        result_creation_failed();
    return tuple;
}

PyObject* to_python(core::Graph& graph, const OptionalIds& result) {
    if (!result.ids)
        Py_RETURN_NONE;
    return to_python(graph, std::span<const core::NodeIndex>(*result.ids));
}

PyObject* to_python(core::Graph& graph, std::span<const std::vector<core::NodeIndex>> groups) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(groups.size())));
    if (!list) {
        result_creation_failed();
        return nullptr;
    }
    for (std::size_t k = 0; k < groups.size(); ++k) {
        PyObject* group = to_python(graph, std::span<const core::NodeIndex>(groups[k]));
        if (group == nullptr)
            return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), group);
    }
    return list.release();
}

}  // namespace quorl::bindings
