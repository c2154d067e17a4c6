// quorl._quorl._Round: an update round of one Graph. From Python:
//
//     with graph.begin_round({"price": h}) as round:
//         for node_id, signature in round:       # one at a time, topological order
//             round.done(node_id, changed)
//
//     round = graph.begin_round(inputs, seeds)   # or in batches, on any threads
//     while batch := round.ready():
//         ...                                    # round.done(id, changed) for each
//
// The object holds a reference to its Graph and the kernel's round. Every
// call that reaches the graph takes exclusive access to it, like a Graph
// mutation. Not subclassable, no instance dict, not creatable from Python.
#include "bindings/round.hpp"

#include <new>
#include <optional>

namespace quorl::bindings {

namespace {

using Handed = std::vector<std::pair<PyObject*, core::NodeIndex>>;

struct RoundObject {
    PyObject_HEAD
    PyObject* graph;  // a strong reference: the graph outlives its rounds
    core::Round round;
    // The last nodes handed out, in order, each with the str of its id,
    // held; `reported` counts those reported in that order. A report that
    // names the very str handed out next in line needs no id lookup.
    Handed handed;
    std::size_t reported;
};

// Lets go of the ids of the last nodes handed out.
void forget_handed(RoundObject* object) noexcept {
    for (std::size_t k = object->reported; k < object->handed.size(); ++k)
        Py_DECREF(object->handed[k].first);
    object->handed.clear();
    object->reported = 0;
}

PyTypeObject* round_type = nullptr;

void raise_round_error(const core::RoundError& error) noexcept {
    if (const auto* graph_error = std::get_if<core::GraphError>(&error)) {
        raise_graph_error(*graph_error);
        return;
    }
    const auto* refusal = std::get_if<core::RoundRefusal>(&error);
    if (refusal == nullptr) {
        raise_panic("round error without a variant");
        return;
    }
    PyObject* type =
        refusal->kind == core::RoundRefusal::Kind::value ? PyExc_ValueError : PyExc_RuntimeError;
    Ref text(PyUnicode_FromStringAndSize(refusal->message.data(),
                                         static_cast<Py_ssize_t>(refusal->message.size())));
    if (text)
        PyErr_SetObject(type, text.get());
}

// The (id, signature) pair of a node handed out; its id is also held in
// `handed`, which has room for it.
PyObject* handout_to_python(const core::Graph& graph, const core::Handout& handout,
                            Handed& handed) noexcept {
    Ref id(id_to_str(graph.id_of(handout.node)));
    Ref signature(id ? PyLong_FromUnsignedLongLong(handout.signature) : nullptr);
    PyObject* pair = signature ? PyTuple_Pack(2, id.get(), signature.get()) : nullptr;
    if (pair == nullptr) {
        result_creation_failed();
        return nullptr;
    }
    handed.emplace_back(id.release(), handout.node);
    return pair;
}

// ---- Arguments --------------------------------------------------------------

// `changed`: exactly True or False, so that no Python code runs.
struct BoolArgument {
    bool value = false;
    bool load(PyObject* object) noexcept {
        if (object != Py_True && object != Py_False) {
            raise_type_error(object, "bool");
            return false;
        }
        value = object == Py_True;
        return true;
    }
};

}  // namespace

// `inputs`: what dict.update() takes, read into views the argument keeps alive.
bool InputsArgument::load(PyObject* object) {
    Ref items;
    // What dict.update() takes for a mapping: anything with keys().
    if (PyDict_Check(object)) {
        items.reset(PyDict_Items(object));
    } else {
        // Not PyObject_HasAttrString: it would swallow an interrupt raised
        // while the attribute is looked up.
        Ref keys(PyObject_GetAttrString(object, "keys"));
        if (!keys) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return false;
            PyErr_Clear();
        }
        items.reset(keys ? PyMapping_Items(object) : Py_NewRef(object));
    }
    return items && for_each_item(items.get(), [this](Ref& item) { return load_pair(item.get()); });
}

bool InputsArgument::load_pair(PyObject* item) {
    const Py_ssize_t size = is_str(item) || !PySequence_Check(item) ? -1 : PySequence_Size(item);
    if (size != 2) {
        // A failing __len__ reads as "not a pair", but an interrupt or a
        // MemoryError raised in it reaches the caller as it is.
        if (PyErr_Occurred() != nullptr && !tolerable_error())
            return false;
        PyErr_Clear();
        raise_type_error(item, "tuple[str, int]");
        return false;
    }
    Ref id(PySequence_GetItem(item, 0));
    if (!id)
        return false;
    StrArgument id_argument;
    if (!id_argument.load(id.get()))
        return false;
    owned_.push_back(id.get());
    id.release();
    Ref hash(PySequence_GetItem(item, 1));
    if (!hash)
        return false;
    U64Argument hash_argument;
    if (!hash_argument.load(hash.get()))
        return false;
    value.push_back({id_argument.value, hash_argument.value});
    return true;
}

// A round's methods reach it through its Graph, with exclusive access.
template <> struct Receiver<RoundObject&> {
    static constexpr const char* owner = "_Round";
    static constexpr int flags = 0;
    static core::Graph& graph(RoundObject& object) noexcept {
        return reinterpret_cast<GraphObject*>(object.graph)->graph;
    }
    template <typename Body>
    static PyObject* run(PyObject* self, Access mode, const Body& body) noexcept {
        auto* object = reinterpret_cast<RoundObject*>(self);
        return with_access(object->graph, mode, static_cast<PyObject*>(nullptr),
                           [&](core::Graph&) { return body(*object); });
    }
};

// ---- Graph.begin_round ------------------------------------------------------

PyObject* begin_round(GraphObject& self, std::span<const core::InputHash> inputs,
                      std::span<const std::string_view> seeds) {
    PyTypeObject* type = get_round_type();
    if (type == nullptr)
        return nullptr;
    // The object exists before the round begins, so a round that began is
    // never lost to a failed allocation.
    Ref object(PyType_GenericAlloc(type, 0));
    if (!object) {
        result_creation_failed();
        return nullptr;
    }
    auto* round = reinterpret_cast<RoundObject*>(object.get());
    round->graph = Py_NewRef(reinterpret_cast<PyObject*>(&self));
    new (&round->round) core::Round(self.graph);
    new (&round->handed) Handed();
    round->reported = 0;
    auto begun = round->round.begin(inputs, seeds);
    if (!begun) {
        raise_round_error(begun.error());
        return nullptr;
    }
    return object.release();
}

namespace {

// ---- Methods ----------------------------------------------------------------

PyObject* hand_out_ready(RoundObject& object) {
    core::Round& round = object.round;
    auto batch = round.peek_ready();
    if (!batch) {
        raise_round_error(batch.error());
        return nullptr;
    }
    forget_handed(&object);
    object.handed.reserve(batch->size());  // before anything is handed out
    Ref list(PyList_New(static_cast<Py_ssize_t>(batch->size())));
    if (!list) {
        result_creation_failed();
        return nullptr;
    }
    for (std::size_t k = 0; k < batch->size(); ++k) {
        PyObject* pair = handout_to_python(round.graph(), (*batch)[k], object.handed);
        if (pair == nullptr) {
            forget_handed(&object);
            return nullptr;
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), pair);
    }
    round.take_ready();  // the list exists: now they are handed out
    return list.release();
}

// `node_id` comes unconverted: the str handed out next in line names a known
// node, and is recognised before any conversion. The arguments are still
// converted in parameter order.
PyObject* report_done(RoundObject& object, PyObject* node_id, PyObject* changed_object,
                      PyObject* epoch_object) {
    core::Round& round = object.round;
    auto& handed = object.handed;
    const bool in_line =
        object.reported < handed.size() && handed[object.reported].first == node_id;
    StrArgument id;
    BoolArgument changed;
    if ((!in_line && !load_argument(id, node_id, "node_id")) ||
        !load_argument(changed, changed_object, "changed"))
        return nullptr;
    std::optional<std::uint64_t> epoch;
    if (epoch_object != nullptr && epoch_object != Py_None) {
        U64Argument value;
        if (!load_argument(value, epoch_object, "epoch"))
            return nullptr;
        epoch = value.value;
    }
    auto reported = in_line ? round.done(handed[object.reported].second, changed.value, epoch)
                            : round.done(id.value, changed.value, epoch);
    if (!reported) {
        raise_round_error(reported.error());
        return nullptr;
    }
    if (in_line)
        Py_DECREF(handed[object.reported++].first);
    // A complete batch lets go of its ids, reported in line or not.
    if (round.outstanding() == 0)
        forget_handed(&object);
    Py_RETURN_NONE;
}

// clang-format off
constexpr MethodSpec ready_spec{"ready", Access::exclusive, {},
    "ready($self)\n--\n\n"
    "Every node computable now, as (id, signature) pairs in topological order,\n"
    "marked computing. [] with nothing outstanding: the round is complete."};
constexpr MethodSpec done_spec{"done", Access::exclusive, {"node_id", "changed", "epoch"},
    "done($self, node_id, changed, epoch=None)\n--\n\n"
    "Report a node handed out: changed=True commits it with a new epoch, as\n"
    "commit_node does; False settles it as skip_node does. With `epoch`, the\n"
    "node takes back that earlier epoch of its own instead, as restore_node\n"
    "does, and `changed` only says how the report is counted.", 2};
constexpr MethodSpec close_spec{"close", Access::exclusive, {},
    "close($self)\n--\n\n"
    "Abandon the round: every node not settled stays dirty and joins the\n"
    "graph's next round. A finished round is unaffected."};
// clang-format on
constexpr auto close_round = [](RoundObject& object) {
    object.round.close();
    return core::Result<void>();
};

PyObject* round_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* round_exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError,
                     "_Round.__exit__() takes 3 positional arguments but %zd %s given", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    PyObject* closed = noargs_entry<close_spec, close_round>(self, nullptr);
    if (closed == nullptr)
        return nullptr;
    Py_DECREF(closed);
    Py_RETURN_FALSE;  // an exception in the block goes on
}

PyObject* round_next(PyObject* self) noexcept {
    return Receiver<RoundObject&>::run(
        self, Access::exclusive, [](RoundObject& object) -> PyObject* {
            core::Round& round = object.round;
            auto next = round.peek_next();
            if (!next) {
                raise_round_error(next.error());
                return nullptr;
            }
            if (*next == nullptr)
                return nullptr;  // finished: StopIteration, with no exception set
            forget_handed(&object);
            object.handed.reserve(1);  // before it is handed out
            PyObject* pair = handout_to_python(round.graph(), **next, object.handed);
            if (pair == nullptr) {
                forget_handed(&object);
                return nullptr;
            }
            round.take_next();
            return pair;
        });
}

PyMethodDef round_methods[] = {
    method<ready_spec, [](RoundObject& object) { return hand_out_ready(object); }>(),
    method<done_spec,
           [](RoundObject& object, PyObject* node_id, PyObject* changed, PyObject* epoch) {
               return report_done(object, node_id, changed, epoch);
           }>(),
    method<close_spec, close_round>(),
    // The context protocol's own signatures: positional only, no access taken.
    {"__enter__", round_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(round_exit)),
     METH_FASTCALL, "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nclose() the round."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties -------------------------------------------------------------

template <std::size_t (core::Round::*count)() const noexcept>
PyObject* round_counter(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t((reinterpret_cast<RoundObject*>(self)->round.*count)());
}

PyObject* round_finished(PyObject* self, void*) noexcept {
    const bool finished =
        reinterpret_cast<RoundObject*>(self)->round.phase() == core::Round::Phase::finished;
    return Py_NewRef(finished ? Py_True : Py_False);
}

// clang-format off
PyGetSetDef round_getset[] = {
    {"finished", round_finished, nullptr,
     "True once every node of the round's closure is settled.", nullptr},
    {"scheduled", round_counter<&core::Round::scheduled>, nullptr,
     "Nodes in the round's change closure.", nullptr},
    {"settled", round_counter<&core::Round::settled>, nullptr,
     "Nodes settled inside the kernel, with no Python call.", nullptr},
    {"handed_out", round_counter<&core::Round::handed_out>, nullptr,
     "Nodes handed out for a value.", nullptr},
    {"committed", round_counter<&core::Round::committed>, nullptr,
     "Nodes reported with changed=True.", nullptr},
    {"skipped", round_counter<&core::Round::skipped>, nullptr,
     "Nodes reported with changed=False.", nullptr},
    {"outstanding", round_counter<&core::Round::outstanding>, nullptr,
     "Nodes handed out and not reported yet.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

// ---- Slots ------------------------------------------------------------------

const char* phase_name(core::Round::Phase phase) noexcept {
    switch (phase) {
    case core::Round::Phase::idle: return "idle";
    case core::Round::Phase::open: return "open";
    case core::Round::Phase::finished: return "finished";
    case core::Round::Phase::closed: return "closed";
    case core::Round::Phase::ended: return "ended";
    }
    return "?";
}

PyObject* round_repr(PyObject* self) noexcept {
    const core::Round& round = reinterpret_cast<RoundObject*>(self)->round;
    PyObject* text = PyUnicode_FromFormat(
        "<quorl.Round %s scheduled=%zu settled=%zu handed_out=%zu committed=%zu skipped=%zu>",
        phase_name(round.phase()), round.scheduled(), round.settled(), round.handed_out(),
        round.committed(), round.skipped());
    if (text == nullptr)
        result_creation_failed();
    return text;
}

// Dropping the last reference abandons an open round. The graph may be in
// use by a call whose conversion ran the code that dropped it; abandoning
// writes only node states and epochs, which no such call holds a view of.
void round_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<RoundObject*>(self);
    forget_handed(object);
    object->handed.~Handed();
    object->round.~Round();
    Py_DECREF(object->graph);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

constexpr const char round_doc[] =
    "An update round of a Graph, from Graph.begin_round(). Iterate it for\n"
    "(id, signature) pairs one at a time, or call ready() for every node\n"
    "computable now; report each node with done(node_id, changed).";

PyType_Slot round_slots[] = {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the slot is only read
    {Py_tp_doc, const_cast<char*>(round_doc)},
    {Py_tp_repr, reinterpret_cast<void*>(round_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(round_next)},
    {Py_tp_methods, round_methods},
    {Py_tp_getset, round_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(round_dealloc)},
    {0, nullptr},
};

PyType_Spec round_spec = {
    .name = "quorl._quorl._Round",
    .basicsize = static_cast<int>(sizeof(RoundObject)),
    .itemsize = 0,
    // Only begin_round creates rounds; the type cannot be changed or subclassed.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = round_slots,
};

}  // namespace

PyTypeObject* get_round_type() noexcept { return type_once(round_type, round_spec); }

}  // namespace quorl::bindings
