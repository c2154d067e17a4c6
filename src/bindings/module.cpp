// The extension module quorl._quorl. From Python it looks like:
//
//     __all__ = ["kernel_version", "Graph"]
//
//     def kernel_version() -> str: ...      # "1.2.0"
//
//     @final
//     class Graph:                          # immutable; no __dict__, no weak references
//         def __len__(self) -> int: ...
//         def __contains__(self, id: str) -> bool: ...
//         def add_node(self, id: str, kind: str) -> None: ...
//         ...                               # the method table below
//         def begin_round(self, inputs, seeds=()) -> _Round: ...
//
//     class _Round: ...                     # private name; see round.cpp
//
// Single-phase initialisation, one interpreter per process: the module keeps
// process-wide state (the cached module and type), so a second interpreter
// is refused rather than handed objects that belong to the first.
#include <new>
#include <random>

#include "bindings/call.hpp"
#include "bindings/round.hpp"
#include "bindings/snapshot.hpp"

namespace quorl::bindings {

PyTypeObject* graph_type = nullptr;

PyObject* new_graph_object(core::Graph&& graph) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(graph_type, Py_tp_alloc));
    PyObject* self = (alloc != nullptr ? alloc : PyType_GenericAlloc)(graph_type, 0);
    if (self == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    auto* object = reinterpret_cast<GraphObject*>(self);
    new (&object->graph) core::Graph(std::move(graph));
    new (&object->borrow_flag) std::atomic<std::int64_t>(0);
    return self;
}

namespace {

using core::Graph;
using Str = std::string_view;
using Strs = std::span<const std::string_view>;
using U64 = std::uint64_t;
using Inputs = std::span<const core::InputHash>;
using Bytes = std::span<const std::byte>;
constexpr Access shared = Access::shared;
constexpr Access exclusive = Access::exclusive;
constexpr Access shared_ending_round = Access::shared_ending_round;

// ---- The method table -------------------------------------------------------

// One entry per method: name, access, parameters, then the docstring.
// clang-format off
constexpr MethodSpec add_node{"add_node", exclusive, {"id", "kind"},
    "add_node($self, id, kind)\n--\n\n"
    "Register a node. `kind` is one of input|source|reactive|view."};
constexpr MethodSpec set_deps{"set_deps", exclusive, {"id", "deps"},
    "set_deps($self, id, deps)\n--\n\n"
    "Set a node's inbound edges (its dependencies). All deps must exist."};
constexpr MethodSpec build{"build", exclusive, {},
    "build($self)\n--\n\n"
    "Validate the graph is acyclic and cache a topological order. Call once\n"
    "after all nodes and edges are declared."};
constexpr MethodSpec topo_order{"topo_order", shared, {},
    "topo_order($self)\n--\n\n"
    "Full build order: all node ids, topologically sorted."};
constexpr MethodSpec dirty_subgraph{"dirty_subgraph", shared, {"seeds"},
    "dirty_subgraph($self, seeds)\n--\n\n"
    "Recompute schedule for changed seeds: the seeds plus all transitively\n"
    "affected nodes, topologically ordered. Pure \u2014 does not mutate state."};
constexpr MethodSpec mark_dirty{"mark_dirty", exclusive, {"seeds"},
    "mark_dirty($self, seeds)\n--\n\n"
    "Mark seeds and everything downstream `dirty`; return them topo-ordered."};
constexpr MethodSpec downstream{"downstream", shared, {"id"},
    "downstream($self, id)\n--\n\n"
    "Nodes strictly downstream of `id`, topologically ordered."};
constexpr MethodSpec needs_recompute{"needs_recompute", shared, {"id", "input_hash"},
    "needs_recompute($self, id, input_hash)\n--\n\n"
    "Does `id` need recomputation given the content hash of its inputs?"};
constexpr MethodSpec check_node{"check_node", shared_ending_round, {"id"},
    "check_node($self, id)\n--\n\n"
    "Hot-path per-node decision: `(kind, needs_recompute, signature)` in one\n"
    "call. The signature folds the node's dependency state (Input deps by\n"
    "content hash, computed deps by epoch) entirely in C++."};
constexpr MethodSpec commit_node{"commit_node", exclusive, {"id", "signature"},
    "commit_node($self, id, signature)\n--\n\n"
    "Commit a computed node clean with the signature it ran on; bumps its epoch."};
constexpr MethodSpec skip_node{"skip_node", exclusive, {"id", "signature"},
    "skip_node($self, id, signature)\n--\n\n"
    "Commit a memo hit: mark clean without bumping the epoch."};
constexpr MethodSpec commit_input{"commit_input", exclusive, {"id", "content_hash"},
    "commit_input($self, id, content_hash)\n--\n\n"
    "Record an Input node's current value hash for downstream signatures."};
constexpr MethodSpec set_clean{"set_clean", exclusive, {"id", "hash"},
    "set_clean($self, id, hash)\n--\n\n"
    "Commit `id` clean with the content hash it was computed from."};
constexpr MethodSpec set_computing{"set_computing", exclusive, {"id"},
    "set_computing($self, id)\n--\n\n"};
constexpr MethodSpec set_dirty{"set_dirty", exclusive, {"id"}, "set_dirty($self, id)\n--\n\n"};
constexpr MethodSpec state_of{"state_of", shared, {"id"}, "state_of($self, id)\n--\n\n"};
constexpr MethodSpec kind_of{"kind_of", shared, {"id"}, "kind_of($self, id)\n--\n\n"};
constexpr MethodSpec deps_of{"deps_of", shared, {"id"}, "deps_of($self, id)\n--\n\n"};
constexpr MethodSpec dirty_nodes{"dirty_nodes", shared, {},
    "dirty_nodes($self)\n--\n\n"
    "All currently-dirty node ids, topologically ordered."};
constexpr MethodSpec views{"views", shared, {},
    "views($self)\n--\n\n"
    "View-kind node ids in topological order."};
constexpr MethodSpec node_ids{"node_ids", shared, {},
    "node_ids($self)\n--\n\n"
    "All node ids in insertion order."};
constexpr MethodSpec begin_round{"begin_round", exclusive, {"inputs", "seeds"},
    "begin_round($self, inputs, seeds=())\n--\n\n"
    "Start an update round and return it. `inputs` maps the changed inputs to\n"
    "the content hashes of their new values (a mapping or (id, hash) pairs);\n"
    "`seeds` are nodes to give a value whatever their deps say. The kernel\n"
    "settles every node whose signature is unchanged and hands out the rest.", 1};
constexpr MethodSpec to_bytes{"to_bytes", shared, {},
    "to_bytes($self)\n--\n\n"
    "The graph's whole state as bytes: nodes, kinds, deps, states, memo fields,\n"
    "the epoch counter and the cached order. `Graph.from_bytes` restores it."};
constexpr MethodSpec from_bytes{"from_bytes", shared, {"data"},
    "from_bytes($type, data)\n--\n\n"
    "A new graph restored exactly from the output of `to_bytes()`, given as any\n"
    "bytes-like object. Data that is not a whole, intact snapshot of a format\n"
    "version this kernel reads raises ValueError saying what is wrong and where."};
constexpr MethodSpec reduce{"__reduce__", shared, {},
    "__reduce__($self, /)\n--\n\nPickle support: a graph is pickled as its snapshot."};
constexpr MethodSpec copy{"__copy__", shared, {}, "__copy__($self, /)\n--\n\nAn independent copy."};
constexpr MethodSpec is_built{"is_built", shared, {},
    "is_built($self)\n--\n\n"
    "Whether the cached topological order is current: true after a successful\n"
    "build() until the next successful add_node or set_deps."};
constexpr MethodSpec dependents_of{"dependents_of", shared, {"id"},
    "dependents_of($self, id)\n--\n\n"
    "Nodes that list `id` among their deps (its direct dependants),\n"
    "topologically ordered."};
constexpr MethodSpec would_cycle{"would_cycle", shared, {"id", "deps"},
    "would_cycle($self, id, deps)\n--\n\n"
    "Would `set_deps(id, deps)` close a cycle? None if not; else the shortest\n"
    "such cycle as ids in dependency order, starting at `id` (each id is a dep\n"
    "of the next, and the last one would be a dep of `id`). Changes nothing."};
constexpr MethodSpec sizeof_{"__sizeof__", shared, {},
    "__sizeof__($self, /)\n--\n\n"
    "Size of the graph in memory, in bytes: its object and its tables, room to\n"
    "grow included."};
constexpr MethodSpec remove_node{"remove_node", exclusive, {"id"},
    "remove_node($self, id)\n--\n\n"
    "Unregister a node no other node depends on. Its id may be registered\n"
    "again, as a new node. A built graph stays built."};
constexpr MethodSpec remove_nodes{"remove_nodes", exclusive, {"ids"},
    "remove_nodes($self, ids)\n--\n\n"
    "Unregister several nodes at once, in any order (any iterable of ids). Every\n"
    "node that depends on one of them must be among them; otherwise, or if one\n"
    "is unknown, nothing is removed. A built graph stays built."};
constexpr MethodSpec cycle_groups{"cycle_groups", shared, {},
    "cycle_groups($self)\n--\n\n"
    "Groups of nodes that depend on each other through their deps (each a\n"
    "cycle or several joined), as lists of ids: members in registration order,\n"
    "groups ordered by their first member. Needs no build; changes nothing."};
constexpr MethodSpec restore_node{"restore_node", exclusive, {"id", "signature", "epoch"},
    "restore_node($self, id, signature, epoch)\n--\n\n"
    "Commit a memo hit that brings back an earlier value: mark clean with the\n"
    "signature it ran on and take back `epoch`, the epoch the node held with\n"
    "that value, instead of a new one. ValueError, with nothing changed, for an\n"
    "epoch never handed out or one another node holds."};
constexpr MethodSpec epoch_of{"epoch_of", shared, {"id"},
    "epoch_of($self, id)\n--\n\n"
    "The node's epoch: 0 until its first commit, then that of its last commit\n"
    "or restore."};
// clang-format on

// The list is created before the kernel marks the nodes (ending an open
// round first), so a call that cannot create its result changes nothing: the
// operation converts, because only it can order the conversion before the
// write. Held until the write is done, which throws only on a broken invariant.
core::Result<Converted> mark_dirty_returning_list(Graph& g, Strs seeds) {
    auto nodes = g.dirty_subgraph(seeds);
    if (!nodes)
        return core::fail(std::move(nodes.error()));
    Ref list(to_python(g, std::span<const core::NodeIndex>(*nodes)));
    if (list)
        g.mark_nodes_dirty(*nodes);
    return Converted{list.release()};
}

constexpr auto copy_graph = [](Graph& g) { return graph_copy(g); };

// `memo` has nothing to record: a graph holds no Python objects.
PyObject* graph_deepcopy(PyObject* self, PyObject*) noexcept {
    return noargs_entry<copy, copy_graph>(self, nullptr);
}

core::Result<OptionalIds> cycle_if_set(Graph& g, Str id, Strs deps) {
    auto path = g.would_cycle(id, deps);
    if (!path)
        return core::fail(std::move(path.error()));
    return OptionalIds{std::move(*path)};
}

PyMethodDef graph_methods[] = {
    method<add_node, [](Graph& g, Str id, Str kind) { return g.add_node(id, kind); }>(),
    method<set_deps, [](Graph& g, Str id, Strs deps) { return g.set_deps(id, deps); }>(),
    method<build, [](Graph& g) { return g.build(); }>(),
    method<topo_order, [](Graph& g) { return g.topo_order(); }>(),
    method<dirty_subgraph, [](Graph& g, Strs seeds) { return g.dirty_subgraph(seeds); }>(),
    method<mark_dirty, [](Graph& g, Strs seeds) { return mark_dirty_returning_list(g, seeds); }>(),
    method<downstream, [](Graph& g, Str id) { return g.downstream(id); }>(),
    method<needs_recompute, [](Graph& g, Str id, U64 h) { return g.needs_recompute(id, h); }>(),
    method<check_node, [](Graph& g, Str id) { return g.check_node(id); }>(),
    method<commit_node, [](Graph& g, Str id, U64 s) { return g.commit_node(id, s); }>(),
    method<skip_node, [](Graph& g, Str id, U64 s) { return g.skip_node(id, s); }>(),
    method<commit_input, [](Graph& g, Str id, U64 h) { return g.commit_input(id, h); }>(),
    method<set_clean, [](Graph& g, Str id, U64 h) { return g.set_clean(id, h); }>(),
    method<set_computing, [](Graph& g, Str id) { return g.set_computing(id); }>(),
    method<set_dirty, [](Graph& g, Str id) { return g.set_dirty(id); }>(),
    method<state_of, [](Graph& g, Str id) { return g.state_of(id); }>(),
    method<kind_of, [](Graph& g, Str id) { return g.kind_of(id); }>(),
    method<deps_of, [](Graph& g, Str id) { return g.deps_of(id); }>(),
    method<dirty_nodes, [](Graph& g) { return g.dirty_nodes(); }>(),
    method<views, [](Graph& g) { return g.views(); }>(),
    method<node_ids, [](Graph& g) { return g.node_ids(); }>(),
    method<begin_round, [](GraphObject& self, Inputs inputs,
                           Strs seeds) { return bindings::begin_round(self, inputs, seeds); }>(),
    method<to_bytes, [](Graph&) { return SnapshotBytes{}; }>(),
    method<from_bytes, [](GraphClass, Bytes data) { return graph_from_bytes(data); }>(),
    method<reduce, [](Graph& g) { return graph_reduce(g); }>(),
    method<copy, copy_graph>(),
    {"__deepcopy__", graph_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nAn independent copy."},
    {"_same_structure", graph_same_structure, METH_O,
     "_same_structure($self, other)\n--\n\n"
     "Whether `other` has the same ids, kinds and deps, node by node in\n"
     "insertion order (states and memo fields aside)."},
    method<is_built, [](Graph& g) { return g.built(); }>(),
    method<dependents_of, [](Graph& g, Str id) { return g.dependents_of(id); }>(),
    method<would_cycle, [](Graph& g, Str id, Strs deps) { return cycle_if_set(g, id, deps); }>(),
    method<sizeof_,
           [](Graph& g) -> std::uint64_t { return sizeof(GraphObject) + g.heap_bytes(); }>(),
    method<remove_node, [](Graph& g, Str id) { return g.remove_nodes(std::span(&id, 1)); }>(),
    method<remove_nodes, [](Graph& g, IdCollection ids) { return g.remove_nodes(ids.ids); }>(),
    method<cycle_groups, [](Graph& g) { return g.cycle_groups(); }>(),
    method<restore_node, [](Graph& g, Str id, U64 s, U64 e) { return g.restore_node(id, s, e); }>(),
    method<epoch_of, [](Graph& g, Str id) { return g.epoch_of(id); }>(),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Slots ------------------------------------------------------------------

PyObject* graph_new(PyTypeObject*, PyObject* args, PyObject* kwds) noexcept {
    // The type cannot be subclassed, so the object is always a Graph.
    return bind_no_arguments(args, kwds) ? new_graph_object(Graph()) : nullptr;
}

void graph_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<GraphObject*>(self);
    object->graph.~Graph();
    object->borrow_flag.~atomic();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    // Instances of a heap type own a reference to it.
    Py_DECREF(type);
}

Py_ssize_t graph_length(PyObject* self) noexcept {
    return with_access(self, shared, Py_ssize_t{-1},
                       [](Graph& g) { return static_cast<Py_ssize_t>(g.size()); });
}

int graph_contains(PyObject* self, PyObject* operand) noexcept {
    return with_access(self, shared, -1, [operand](Graph& g) {
        StrArgument id;
        if (!load_argument(id, operand, "id"))
            return -1;
        return g.contains(id.value) ? 1 : 0;
    });
}

PyObject* graph_repr(PyObject* self) noexcept {
    return with_access(self, shared, static_cast<PyObject*>(nullptr), [](Graph& g) {
        PyObject* text = PyUnicode_FromFormat("<quorl.Graph nodes=%zu>", g.size());
        if (text == nullptr)
            result_creation_failed();
        return text;
    });
}

constexpr const char graph_doc[] =
    "Graph()\n--\n\n"
    "A reactive directed acyclic graph: dirty tracking, topological scheduling,\n"
    "propagation, and memo bookkeeping. Holds topology and state only \u2014 node\n"
    "values stay on the Python side.";

PyType_Slot graph_slots[] = {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the slot is only read
    {Py_tp_doc, const_cast<char*>(graph_doc)},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_mp_length, reinterpret_cast<void*>(graph_length)},
    {Py_sq_contains, reinterpret_cast<void*>(graph_contains)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_tp_methods, graph_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    .name = "quorl._quorl.Graph",
    .basicsize = static_cast<int>(sizeof(GraphObject)),
    .itemsize = 0,
    // Not a base type, not tracked by the collector, and immutable: replacing
    // __new__ or any other attribute could make an instance whose kernel
    // state was never constructed.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = graph_slots,
};

// The Graph type, created on the first request and cached for the process.
PyTypeObject* get_graph_type() noexcept { return type_once(graph_type, graph_spec, "Graph"); }

// ---- The module -------------------------------------------------------------

PyObject* kernel_version(PyObject*, PyObject*) noexcept {
    return PyUnicode_FromStringAndSize(kernel_version_text.data(),
                                       static_cast<Py_ssize_t>(kernel_version_text.size()));
}

PyMethodDef kernel_version_def = {
    "kernel_version",
    kernel_version,
    METH_NOARGS,
    "kernel_version()\n--\n\nVersion of the compiled C++ kernel.",
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorl",
    "",  // present but empty: __doc__ is "" rather than None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Keys the id hash with a secret drawn from the operating system, before the
// first graph exists, so that no set of ids prepared in advance collides.
bool key_id_hash() noexcept {
    try {
        std::random_device source;
        core::HashKey key{};
        for (std::uint64_t& word : key.words)
            word = (std::uint64_t{source()} << 32) ^ source();
        core::set_id_hash_key(key);
        return true;
    } catch (...) {
        raise_current_exception();
        return false;
    }
}

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* cached_module = nullptr;

// Adds `value` under `name` and lists the name in __all__.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) noexcept {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0)
            return false;
    }
    if (PyList_Append(all.get(), name) < 0) {
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool populate(PyObject* module) noexcept {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name)
        return false;
    Ref function(PyCMethod_New(&kernel_version_def, module, module_name.get(), nullptr));
    if (!function)
        return false;
    Ref function_name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name)
        return false;
    if (!PyUnicode_Check(function_name.get())) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be a string");
        return false;
    }
    if (!add_to_module(module, function_name.get(), function.get()))
        return false;
    PyTypeObject* type = get_graph_type();
    if (type == nullptr)
        return false;
    Ref graph_name(PyUnicode_FromString("Graph"));
    if (!graph_name || !add_to_module(module, graph_name.get(), reinterpret_cast<PyObject*>(type)))
        return false;
    // A private name, outside __all__: the package exports it as quorl.Round.
    PyTypeObject* round = get_round_type();
    return round != nullptr &&
           PyObject_SetAttrString(module, "_Round", reinterpret_cast<PyObject*>(round)) == 0;
}

PyObject* init_module() noexcept {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t recorded = -1;
    if (!first_interpreter.compare_exchange_strong(recorded, interpreter) &&
        recorded != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "quorl._quorl does not yet support subinterpreters: it can be imported "
                        "in one interpreter per process only");
        return nullptr;
    }
    if (cached_module != nullptr)
        return Py_NewRef(cached_module);
    if (graph_type == nullptr && !key_id_hash())
        return nullptr;
    if (!init_result_strings())
        return nullptr;
    Ref module(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!module || !populate(module.get()))
        return nullptr;
    if (cached_module == nullptr)
        cached_module = module.release();
    return Py_NewRef(cached_module);
}

}  // namespace
}  // namespace quorl::bindings

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up for _quorl
PyMODINIT_FUNC PyInit__quorl(void) { return quorl::bindings::init_module(); }
