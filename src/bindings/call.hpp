// The call boundary: every Graph method and slot enters the kernel through
// here. One generic path does the same steps for each of them, in order:
//
//   bind arguments -> check receiver, take access -> convert arguments
//   -> kernel operation -> convert result -> release access
//
// and turns every failure into a raised Python exception. No C++ exception
// leaves this layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/graph.hpp"

namespace quorl::bindings {

// The kernel's own version, what kernel_version() reports: the package's
// version (pyproject.toml) moves on without it.
inline constexpr std::string_view kernel_version_text = "1.2.0";

struct GraphObject {
    PyObject_HEAD
    core::Graph graph;
    // 0: free; n > 0: n shared holders; -1: one exclusive holder.
    std::atomic<std::int64_t> borrow_flag;
};

// The Graph type object, created once per process by module initialisation.
extern PyTypeObject* graph_type;

// shared_ending_round: shared, for a call that reads, but exclusive while a
// round is open, since the call then ends the round, which writes. Calls that
// may overlap with no round open still may; with one open, a conflicting
// borrow is refused like any exclusive one.
enum class Access : std::uint8_t { shared, exclusive, shared_ending_round };

struct MethodSpec {
    const char* name = nullptr;
    Access access = Access::shared;
    std::array<const char*, 3> params{};  // as many as the method takes
    const char* doc = nullptr;            // text signature, "\n--\n\n", documentation
    // Parameters from this one on are optional: their arguments, when not
    // given, are left unconverted and the operation gets their defaults.
    std::size_t required = static_cast<std::size_t>(-1);
};

// ---- Owned references -------------------------------------------------------

class Ref {
public:
    explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* object) noexcept { Py_XDECREF(std::exchange(object_, object)); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// ---- Failures ---------------------------------------------------------------

// Raises PanicException (a BaseException) with `message`.
void raise_panic(std::string_view message) noexcept;
// Raises the exception for a C++ exception in flight; call inside a catch.
void raise_current_exception() noexcept;
// Raises the Python exception of a kernel refusal.
void raise_graph_error(const core::GraphError& error) noexcept;
// Reports that a result object could not be created.
void result_creation_failed() noexcept;

// ---- Argument binding -------------------------------------------------------

// The slow path of binding: keywords, too many or too few arguments.
// Parameters past `required` are optional: their slots stay nullptr when not
// given. `owner` names the type in messages.
bool bind_arguments(const MethodSpec& spec, std::size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                    const char* owner = "Graph",
                    std::size_t required = static_cast<std::size_t>(-1)) noexcept;
// Graph(): no parameters at all.
bool bind_no_arguments(PyObject* args, PyObject* kwds) noexcept;

// ---- Access -----------------------------------------------------------------

class Borrow {
public:
    Borrow() = default;
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (object_ != nullptr)
            release();
    }

    // Checks the receiver and takes access; false with the exception set.
    bool acquire(PyObject* self, Access mode) noexcept;
    core::Graph& graph() const noexcept { return object_->graph; }

private:
    void release() noexcept;

    GraphObject* object_ = nullptr;
    Access mode_ = Access::shared;
};

// A new Graph object that takes over `graph`; nothing can fail after the
// kernel state exists, so it never has to be undone.
PyObject* new_graph_object(core::Graph&& graph) noexcept;

// Whether the error set may be swallowed where a fallback exists: an
// ordinary Exception, but neither MemoryError nor what is not an Exception
// at all (KeyboardInterrupt, SystemExit), which must reach the caller.
bool tolerable_error() noexcept;

// The failure paths of the inline checks, kept out of line.
[[gnu::cold]] void raise_receiver_error(PyObject* self) noexcept;
[[gnu::cold]] void raise_access_error(Access mode) noexcept;
[[gnu::cold]] void raise_str_error(PyObject* object) noexcept;
// TypeError "'{type}' object cannot be converted to '{target}'".
[[gnu::cold]] void raise_type_error(PyObject* object, const char* target) noexcept;

inline bool Borrow::acquire(PyObject* self, Access mode) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type != graph_type && !PyType_IsSubtype(type, graph_type)) [[unlikely]] {
        raise_receiver_error(self);
        return false;
    }
    auto* object = reinterpret_cast<GraphObject*>(self);
    if (mode != Access::exclusive) {
        std::int64_t seen = object->borrow_flag.load(std::memory_order_relaxed);
        do {
            if (seen == -1) [[unlikely]] {
                raise_access_error(Access::shared);
                return false;
            }
        } while (!object->borrow_flag.compare_exchange_weak(
            seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
        // Held shared, the graph cannot gain or lose a round: safe to ask.
        if (mode == Access::shared_ending_round && object->graph.round_open()) [[unlikely]] {
            std::int64_t sole = 1;
            if (!object->borrow_flag.compare_exchange_strong(sole, -1, std::memory_order_acquire,
                                                             std::memory_order_relaxed)) {
                object->borrow_flag.fetch_sub(1, std::memory_order_release);
                raise_access_error(Access::exclusive);
                return false;
            }
            mode = Access::exclusive;
        } else {
            mode = Access::shared;
        }
    } else {
        std::int64_t expected = 0;
        if (!object->borrow_flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                         std::memory_order_relaxed)) [[unlikely]] {
            raise_access_error(mode);
            return false;
        }
    }
    // Python code run by the conversions could drop the caller's last reference.
    Py_INCREF(self);
    object_ = object;
    mode_ = mode;
    return true;
}

inline void Borrow::release() noexcept {
    if (mode_ == Access::shared)
        object_->borrow_flag.fetch_sub(1, std::memory_order_release);
    else
        object_->borrow_flag.store(0, std::memory_order_release);
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
}

// Runs `body` on the receiver's graph under `mode` access. Returns what it
// returns, or `failure` with an exception set.
template <typename R, typename Body>
R with_access(PyObject* self, Access mode, R failure, Body&& body) noexcept {
    Borrow borrow;
    if (!borrow.acquire(self, mode))
        return failure;
    try {
        return std::forward<Body>(body)(borrow.graph());
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

// ---- Argument conversion ----------------------------------------------------

// Hands `f` each item `iterable` yields, as it comes, until `f` returns
// false; false, with the exception set, when iterating or `f` fails.
template <typename F>
bool for_each_item(PyObject* iterable, F f) {
    Ref iterator(PyObject_GetIter(iterable));
    if (!iterator)
        return false;
    while (true) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item)
            break;
        if (!f(item))
            return false;
    }
    return PyErr_Occurred() == nullptr;
}

// Rewrites an exact TypeError from converting `param` as
// "argument '{param}': ..."; leaves every other exception as it is.
void wrap_argument_error(const char* param) noexcept;

inline bool is_str(PyObject* object) noexcept {
    return Py_TYPE(object) == &PyUnicode_Type || PyUnicode_Check(object);
}

struct StrArgument {
    std::string_view value;  // borrowed from the argument, alive for the call

    bool load(PyObject* object) noexcept {
        if (!is_str(object)) [[unlikely]] {
            raise_str_error(object);
            return false;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (text == nullptr)
            return false;  // lone surrogates: the interpreter's UnicodeEncodeError stands
        value = std::string_view(text, static_cast<std::size_t>(size));
        return true;
    }
};

class StrSequenceArgument {
public:
    std::span<const std::string_view> value;

    StrSequenceArgument() = default;
    StrSequenceArgument(const StrSequenceArgument&) = delete;
    StrSequenceArgument& operator=(const StrSequenceArgument&) = delete;
    ~StrSequenceArgument() {
        for (PyObject* item : owned_)
            Py_DECREF(item);
    }
    bool load(PyObject* object);

protected:
    bool load_list_or_tuple(PyObject* object);
    bool load_iterated(PyObject* object);

private:
    // Deps and seeds lists are short: up to this many need no heap storage.
    static constexpr std::size_t inline_capacity = 8;
    std::array<std::string_view, inline_capacity> inline_views_;
    std::vector<std::string_view> views_;
    std::vector<PyObject*> owned_;  // elements an iterator handed out, kept alive for the views
};

// Ids whose order does not matter: any iterable of str, a set or a dict's
// keys too. A str alone is refused, as for a sequence: it would be read as
// its characters.
struct IdCollection {
    std::span<const std::string_view> ids;
};

class StrCollectionArgument : StrSequenceArgument {
public:
    IdCollection value;
    bool load(PyObject* object);
};

struct U64Argument {
    std::uint64_t value = 0;
    bool load(PyObject* object) noexcept;
};

template <typename T> struct ArgumentFor;
template <> struct ArgumentFor<std::string_view> {
    using type = StrArgument;
};
template <> struct ArgumentFor<std::span<const std::string_view>> {
    using type = StrSequenceArgument;
};
template <> struct ArgumentFor<IdCollection> {
    using type = StrCollectionArgument;
};
template <> struct ArgumentFor<std::uint64_t> {
    using type = U64Argument;
};

template <typename A>
bool load_argument(A& argument, PyObject* object, const char* param) {
    if (argument.load(object))
        return true;
    wrap_argument_error(param);
    return false;
}

// ---- Results ----------------------------------------------------------------

// A result the operation has converted itself, because a write that must
// not happen unless the result exists follows the conversion. Null with the
// exception set when the conversion failed.
struct Converted {
    PyObject* object;
};

// A new str for an id.
PyObject* id_to_str(std::string_view id) noexcept;

PyObject* to_python(core::Graph& graph, bool value) noexcept;
PyObject* to_python(core::Graph& graph, std::uint64_t value) noexcept;
PyObject* to_python(core::Graph& graph, core::NodeKind kind) noexcept;
PyObject* to_python(core::Graph& graph, core::NodeState state) noexcept;
PyObject* to_python(core::Graph& graph, std::span<const core::NodeIndex> ids);
PyObject* to_python(core::Graph& graph, const core::CheckResult& check) noexcept;
inline PyObject* to_python(core::Graph&, Converted converted) noexcept { return converted.object; }
// A list of ids or None.
struct OptionalIds {
    std::optional<std::vector<core::NodeIndex>> ids;
};
PyObject* to_python(core::Graph& graph, const OptionalIds& result);
// A list of lists of ids.
PyObject* to_python(core::Graph& graph, std::span<const std::vector<core::NodeIndex>> groups);

template <typename T>
PyObject* finish(core::Graph& graph, T&& value) {
    return to_python(graph, std::forward<T>(value));
}

template <typename T>
PyObject* finish(core::Graph& graph, core::Result<T> result) {
    if (!result) {
        raise_graph_error(result.error());
        return nullptr;
    }
    if constexpr (std::is_void_v<T>) {
        Py_RETURN_NONE;
    } else {
        return to_python(graph, *result);
    }
}

// ---- Receivers --------------------------------------------------------------

// What a method's operation works on, chosen by the type of its first
// parameter: the graph (core::Graph&) or the Graph object (GraphObject&)
// under the method's access, the class itself (GraphClass, a class method:
// no access to take), or a round (round.cpp). `owner` names the type in
// argument errors; `graph` is what results are converted against.
template <typename Operand> struct Receiver;

template <> struct Receiver<core::Graph&> {
    static constexpr const char* owner = "Graph";
    static constexpr int flags = 0;
    static core::Graph& graph(core::Graph& graph) noexcept { return graph; }
    template <typename Body>
    static PyObject* run(PyObject* self, Access mode, const Body& body) noexcept {
        return with_access(self, mode, static_cast<PyObject*>(nullptr),
                           [&](core::Graph& graph) { return body(graph); });
    }
};

template <> struct Receiver<GraphObject&> {
    static constexpr const char* owner = "Graph";
    static constexpr int flags = 0;
    static core::Graph& graph(GraphObject& object) noexcept { return object.graph; }
    template <typename Body>
    static PyObject* run(PyObject* self, Access mode, const Body& body) noexcept {
        return with_access(self, mode, static_cast<PyObject*>(nullptr), [&](core::Graph&) {
            return body(*reinterpret_cast<GraphObject*>(self));
        });
    }
};

struct GraphClass {};

template <> struct Receiver<GraphClass> {
    static constexpr const char* owner = "Graph";
    static constexpr int flags = METH_CLASS;
    template <typename Body>
    static PyObject* run(PyObject*, Access, const Body& body) noexcept {
        try {
            GraphClass type;
            return body(type);
        } catch (...) {
            raise_current_exception();
            return nullptr;
        }
    }
};

// ---- The generic entries ----------------------------------------------------

template <typename F> struct OperationTraits;
template <typename C, typename R, typename First, typename... Args>
struct OperationTraits<R (C::*)(First, Args...) const> {
    using Receiver = bindings::Receiver<First>;
    using Arguments = std::tuple<std::decay_t<Args>...>;
    static constexpr std::size_t arity = sizeof...(Args);
};

template <auto operation>
using TraitsOf = OperationTraits<decltype(&decltype(operation)::operator())>;

// The object as it was given, for an operation that must look at it before
// converting it.
struct ObjectArgument {
    PyObject* value = nullptr;
    bool load(PyObject* object) noexcept {
        value = object;
        return true;
    }
};
template <> struct ArgumentFor<PyObject*> {
    using type = ObjectArgument;
};

// Converts parameter I's argument; an optional one not given keeps its default.
template <const MethodSpec& spec, std::size_t I, typename A>
bool load_bound(A& argument, PyObject* object) {
    if (I >= spec.required && object == nullptr)
        return true;
    return load_argument(argument, object, spec.params[I]);
}

template <const MethodSpec& spec, auto operation, typename Operand, std::size_t... I>
PyObject* convert_and_run(Operand& operand, PyObject* const* bound, std::index_sequence<I...>) {
    using Traits = TraitsOf<operation>;
    using Arguments = typename Traits::Arguments;
    std::tuple<typename ArgumentFor<std::tuple_element_t<I, Arguments>>::type...> arguments;
    // In parameter order; the first failure ends the call.
    if (!(load_bound<spec, I>(std::get<I>(arguments), bound[I]) && ...))
        return nullptr;
    auto result = operation(operand, std::get<I>(arguments).value...);
    // An operation that converted its result itself returns the object.
    if constexpr (std::is_same_v<decltype(result), PyObject*>)
        return result;
    else
        return finish(Traits::Receiver::graph(operand), std::move(result));
}

// METH_FASTCALL | METH_KEYWORDS entry of a method.
template <const MethodSpec& spec, auto operation>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    using Traits = TraitsOf<operation>;
    constexpr std::size_t arity = Traits::arity;
    PyObject* bound[arity];
    if (nargs == static_cast<Py_ssize_t>(arity) && kwnames == nullptr) [[likely]] {
        for (std::size_t i = 0; i < arity; ++i)
            bound[i] = args[i];
    } else if (!bind_arguments(spec, arity, args, nargs, kwnames, bound, Traits::Receiver::owner,
                               spec.required)) {
        return nullptr;
    }
    return Traits::Receiver::run(self, spec.access, [&](auto& operand) {
        return convert_and_run<spec, operation>(operand, bound, std::make_index_sequence<arity>{});
    });
}

// METH_NOARGS entry of a method: the interpreter has rejected any argument.
template <const MethodSpec& spec, auto operation>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return TraitsOf<operation>::Receiver::run(self, spec.access, [](auto& operand) {
        return convert_and_run<spec, operation>(operand, nullptr, std::index_sequence<>{});
    });
}

// Whether a method's table entry names exactly the operation's parameters:
// binding reads their names, and a missing one would be read as a null string.
template <const MethodSpec& spec>
constexpr bool names_parameters(std::size_t arity) {
    if (arity > spec.params.size())
        return false;
    for (std::size_t i = 0; i < spec.params.size(); ++i)
        if ((spec.params[i] != nullptr) != (i < arity))
            return false;
    return true;
}

// A sequence argument borrows its items from the caller's container without
// keeping it from changing, which is only safe when no later conversion can
// run Python code: a sequence (or a collection, which may be a list) comes
// last or not at all.
template <typename T>
constexpr bool borrows_items =
    std::is_same_v<T, std::span<const std::string_view>> || std::is_same_v<T, IdCollection>;

template <typename Arguments, std::size_t... I>
constexpr bool sequence_only_last(std::index_sequence<I...>) {
    return ((!borrows_items<std::tuple_element_t<I, Arguments>> || I + 1 == sizeof...(I)) && ...);
}

template <const MethodSpec& spec, auto operation>
constexpr PyMethodDef method() {
    using Traits = TraitsOf<operation>;
    static_assert(names_parameters<spec>(Traits::arity),
                  "the MethodSpec must name every parameter of the operation, and no more");
    static_assert(
        sequence_only_last<typename Traits::Arguments>(std::make_index_sequence<Traits::arity>{}),
        "a sequence parameter must be the operation's last");
    constexpr int flags = Traits::Receiver::flags;
    if constexpr (Traits::arity == 0)
        return {spec.name, reinterpret_cast<PyCFunction>(noargs_entry<spec, operation>),
                METH_NOARGS | flags, spec.doc};
    else
        return {spec.name,
                reinterpret_cast<PyCFunction>(
                    reinterpret_cast<void (*)()>(fastcall_entry<spec, operation>)),
                METH_FASTCALL | METH_KEYWORDS | flags, spec.doc};
}

// The type made from `spec`, created on the first request and cached in
// `cache` for the process. With `name`, a failure to create it is raised as
// a RuntimeError about initialising that class, caused by the failure.
PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& spec,
                        const char* name = nullptr) noexcept;

// Creates the interned kind and state strings that results share.
bool init_result_strings() noexcept;

}  // namespace quorl::bindings
