#include "kernel_ops.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/round.hpp"
#include "expect.hpp"
#include "model.hpp"
#include "reader.hpp"
#include "report.hpp"
#include "verify.hpp"
#include "vocabulary.hpp"

namespace quorl::fuzz {
namespace {

using core::fold_start;
using core::Graph;

// Bounds that keep one input to a few milliseconds under the sanitizers and
// still leave room for long deps lists: the deps storage is compacted only
// once it holds 1024 entries.
constexpr std::size_t max_ops = 160;
constexpr std::size_t max_nodes = 40;
// The bulk operations grow a graph past the round walk's batch buffers and
// the deps storage's compaction threshold: up to (b + 1) * bulk_unit nodes or
// edits from a count byte b, and this many nodes in all.
constexpr std::size_t bulk_unit = 8;
constexpr std::size_t max_bulk_nodes = 2048;
// The checks after every operation cost in proportion to the graph: an input
// ends once they have covered this many nodes of graphs larger than
// max_nodes, so that one on a bulk-grown graph stays short and one on a
// small graph runs as before.
constexpr std::size_t max_checked_bulk_nodes = 4096;
// Traversals one round runs before reports (each checked against the model's
// closure): enough for every node of a small graph, bounded for a large one.
constexpr std::size_t max_round_traversals = 64;

// ---- Argument choice ---------------------------------------------------------

std::string pick_id(Reader& r, const Model& m) {
    const std::uint8_t b = r.u8();
    if (b < 120 && m.size() > 0)
        return m.ids[b % m.size()];
    if (b < 244)
        return id_pool[b % std::size(id_pool)];
    return r.bytes(r.u8() % 13);  // arbitrary bytes, valid UTF-8 or not
}

// A dep for `target`: often a node registered before it, which keeps the
// graph acyclic and deep, sometimes anything at all.
std::string pick_dep(Reader& r, const Model& m, std::optional<NodeIndex> target) {
    const std::uint8_t b = r.u8();
    if (b < 112 && target && *target > 0)
        return m.ids[b % *target];
    if (b < 176 && m.size() > 0)
        return m.ids[b % m.size()];
    if (b < 250)
        return id_pool[b % std::size(id_pool)];
    return r.bytes(r.u8() % 13);
}

std::string pick_kind(Reader& r) {
    const std::uint8_t b = r.u8();
    if (b < 200)
        return kind_names[b % std::size(kind_names)];
    if (b < 250)
        return bad_kinds[b % std::size(bad_kinds)];
    return r.bytes(r.u8() % 9);
}

std::vector<std::string> pick_ids(Reader& r, const Model& m) {
    const std::uint8_t b = r.u8();
    const std::size_t count = b < 240 ? b % 5 : 5 + b % 16;
    std::vector<std::string> ids;
    for (std::size_t k = 0; k < count; ++k)
        ids.push_back(pick_id(r, m));
    return ids;
}

// Valid node indices, with repeats; empty for an empty graph.
std::vector<NodeIndex> pick_indices(Reader& r, const Model& m) {
    std::vector<NodeIndex> out;
    if (m.size() == 0)
        return out;
    const std::size_t count = r.u8() % 8;
    for (std::size_t k = 0; k < count; ++k)
        out.push_back(static_cast<NodeIndex>(r.u8() % m.size()));
    return out;
}

std::uint64_t pick_value(Reader& r, const Model& m, std::optional<NodeIndex> target) {
    switch (r.u8() % 8) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 7;
    case 3: return UINT64_MAX;
    case 4: return fold_start;
    case 5: return target ? m.fold(*target) : 2;  // the signature check_node would report
    case 6: return target && m.signatures[*target] ? *m.signatures[*target] : 3;
    default: return r.u64();
    }
}

// An epoch for node `i` to take back: often one it may (its own, one no
// node holds), as often one it may not (0, past the counter, another's).
std::uint64_t pick_epoch(Reader& r, const Model& m, std::optional<NodeIndex> i) {
    const std::uint8_t b = r.u8();
    switch (b % 6) {
    case 0: return 0;
    case 1: return m.epoch_counter + 1;
    case 2: return i ? m.epochs[*i] : 1;
    case 3: return m.epoch_counter == 0 ? 1 : 1 + ((b >> 3) % m.epoch_counter);
    case 4: return m.epoch_counter;
    default: return r.u64();
    }
}

// Why node `i` may not take back `epoch` in the model, if it may not: the
// epoch was never handed out (no holder), or `holder` holds it.
struct EpochRefusal {
    bool refused = false;
    const std::string* holder = nullptr;
};

EpochRefusal epoch_refusal(const Model& m, NodeIndex i, std::uint64_t epoch) {
    if (epoch == 0 || epoch > m.epoch_counter)
        return {true, nullptr};
    for (std::size_t j = 0; j < m.size(); ++j)
        if (j != i && m.epochs[j] == epoch)
            return {true, &m.ids[j]};
    return {};
}

std::vector<std::string_view> views_of(const std::vector<std::string>& ids) {
    return {ids.begin(), ids.end()};
}

std::string join(const std::vector<std::string>& ids) {
    std::string out = "[";
    for (std::size_t k = 0; k < ids.size(); ++k)
        out += (k ? ", " : "") + printable(ids[k]);
    return out + "]";
}

// ---- One decoded operation ---------------------------------------------------

// The first unknown id of `ids` in list order, if any.
std::optional<std::string> first_unknown(const Model& m, const std::vector<std::string>& ids) {
    for (const std::string& id : ids)
        if (!m.find(id))
            return id;
    return std::nullopt;
}

std::vector<NodeIndex> indices(const Model& m, const std::vector<std::string>& ids) {
    std::vector<NodeIndex> out;
    for (const std::string& id : ids)
        out.push_back(*m.find(id));
    return out;
}

void end_open_model_round(Model& m);

// Runs a per-node operation of the state and memo group: UnknownNode for an
// unknown id, else the call ends an open round (unless it only reads `m`)
// and `ok` checks the result and updates the model.
template <typename R, typename Ok>
void per_node(Model& m, const std::string& id, const R& result, Ok ok, bool ends_round = true) {
    const auto i = m.find(id);
    if (!i) {
        expect_error(result, kUnknownNode, id);
        return;
    }
    expect_ok(result);
    if (ends_round)
        end_open_model_round(m);
    ok(*i);
}

// ---- Rounds -----------------------------------------------------------------

// A round driven by the kernel, against the per-node protocol on the model:
// the same nodes handed out with the folds the model gives, in an order its
// deps allow, and the same states, signatures and epochs after. A byte per
// node in topological order says whether an input gets a hash, whether the
// node is a seed, what its report says, and whether a traversal (which takes
// the graph's visit marks from the round) runs before it is reported. When
// the round's own byte says so, the round is closed instead of a report of a
// node whose byte has bit 6, and the next round takes up what it left.
struct ModelRound {
    std::vector<std::uint8_t> byte_of;
    std::vector<bool> given;   // an input given a hash: settled when the round began
    std::vector<bool> forced;  // a seed: handed out whatever its fold
    std::vector<bool> in_closure, handed, reported;
    std::vector<NodeIndex> closure;
    std::vector<NodeIndex> pending;                  // reported since the kernel last gave epochs
    std::vector<bool> changed;                       // of a pending report
    std::vector<std::vector<NodeIndex>> dependents;  // the deps stay as they are through the round
    std::size_t committed = 0;
    std::size_t outstanding = 0;
    std::size_t traversals = 0;
    bool may_close = false;  // closes at a node whose byte has bit 6
    bool closed = false;
    // Where a restoring round reads the epochs that the reports of nodes
    // whose byte has bit 7 take back; null in other rounds.
    Reader* restore_from = nullptr;
};

// The round the model holds open while another call runs, if any: the calls
// that end a round in the kernel end this one in the model.
ModelRound* open_model_round = nullptr;

// Begins `round` with starts read from the input, the nodes the last
// abandoned round left unsettled joined in, and updates the model's inputs.
ModelRound begin_round(Reader& r, core::Round& round, Model& m) {
    const std::size_t n = m.size();
    ModelRound mr;
    mr.byte_of.assign(n, 0);
    mr.given.assign(n, false);
    mr.forced.assign(n, false);
    std::vector<core::InputHash> inputs;
    std::vector<std::string_view> seeds;
    std::vector<NodeIndex> starts;
    for (NodeIndex i : m.order) {
        const std::uint8_t b = r.u8();
        mr.byte_of[i] = b;
        const bool input = m.kinds[i] == NodeKind::Input;
        if (input && (b & 1) != 0) {
            inputs.push_back({m.ids[i], std::uint64_t{b} >> 5U});  // often the hash it has
            mr.given[i] = true;
            starts.push_back(i);
        }
        if ((b & 4) != 0 && (!input || (b & 1) != 0)) {
            seeds.emplace_back(m.ids[i]);
            mr.forced[i] = !input;
            starts.push_back(i);
        }
    }
    for (NodeIndex i : m.unsettled_seeds)
        mr.forced[i] = true;  // an abandoned round's seeds stay seeds
    starts.insert(starts.end(), m.unsettled_seeds.begin(), m.unsettled_seeds.end());
    starts.insert(starts.end(), m.unsettled.begin(), m.unsettled.end());
    TRACE(std::string(op_name) + "(" + std::to_string(inputs.size()) + " inputs, " +
          std::to_string(seeds.size()) + " seeds, " + std::to_string(m.unsettled_seeds.size()) +
          " + " + std::to_string(m.unsettled.size()) + " left)");
    m.unsettled_seeds.clear();
    m.unsettled.clear();
    CHECK(round.begin(inputs, seeds).has_value());
    for (const core::InputHash& input : inputs) {
        const NodeIndex i = *m.find(input.id);
        m.content_hashes[i] = input.content_hash;
        m.signatures[i] = input.content_hash;
        m.states[i] = NodeState::Clean;
    }
    mr.dependents = m.all_dependents();
    mr.closure = m.closure(starts, mr.dependents);
    CHECK(round.scheduled() == mr.closure.size());
    mr.in_closure.assign(n, false);
    for (NodeIndex i : mr.closure)
        mr.in_closure[i] = true;
    mr.handed.assign(n, false);
    mr.reported.assign(n, false);
    mr.changed.assign(n, false);
    return mr;
}

void hand_out(const Model& m, ModelRound& mr, const core::Handout& h) {
    CHECK(h.node < m.size() && mr.in_closure[h.node] && !mr.handed[h.node]);
    const std::uint64_t f = m.fold(h.node);
    CHECK(h.signature == f);
    CHECK(mr.forced[h.node] || !(m.signatures[h.node] && *m.signatures[h.node] == f));
    mr.handed[h.node] = true;
    ++mr.outstanding;
}

// The kernel gives the changes reported since the last time their epochs in
// topological order once no node handed out is left unreported.
void give_epochs(Model& m, ModelRound& mr) {
    for (NodeIndex i : m.topo_sorted(mr.pending))
        if (mr.changed[i])
            m.epochs[i] = ++m.epoch_counter;
    mr.pending.clear();
}

void report(Graph& g, core::Round& round, Model& m, ModelRound& mr, const core::Handout& h) {
    const NodeIndex i = h.node;
    const std::size_t n = m.size();
    if ((mr.byte_of[i] & 8) != 0 && mr.traversals++ < max_round_traversals) {
        const std::vector<NodeIndex> seed{i};
        CHECK(g.downstream_closure(seed) == m.closure(seed, mr.dependents));
    }
    const NodeIndex other = static_cast<NodeIndex>((i + 1) % n);
    if ((mr.byte_of[i] & 16) != 0 && !(mr.handed[other] && !mr.reported[other]))
        CHECK(!round.done(other, false).has_value());  // not out: refused
    const bool changed = (mr.byte_of[i] & 2) != 0;
    std::optional<std::uint64_t> epoch;  // one to take back, in a restoring round
    if (mr.restore_from != nullptr && (mr.byte_of[i] & 128) != 0) {
        epoch = pick_epoch(*mr.restore_from, m, i);
        if (const EpochRefusal refusal = epoch_refusal(m, i, *epoch); refusal.refused) {
            auto refused = round.done(i, changed, epoch);
            CHECK(!refused.has_value());
            const auto* error = std::get_if<core::GraphError>(&refused.error());
            CHECK(error != nullptr);
            expect_epoch_refused(*error, *epoch, m.epoch_counter, refusal.holder);
            epoch.reset();  // still out: reported plainly
        }
    }
    CHECK(round.done(i, changed, epoch).has_value());
    CHECK(!round.done(i, changed).has_value());  // twice: refused
    mr.reported[i] = true;
    mr.changed[i] = changed && !epoch;  // a restore takes no epoch at the flush
    mr.pending.push_back(i);
    m.signatures[i] = h.signature;
    m.states[i] = NodeState::Clean;
    if (epoch)
        m.epochs[i] = *epoch;
    mr.committed += changed ? 1 : 0;
    if (--mr.outstanding == 0)
        give_epochs(m, mr);
}

// Whether the round is to be closed in place of reporting `h`.
bool closes_at(ModelRound& mr, const core::Handout& h) {
    mr.closed = mr.may_close && (mr.byte_of[h.node] & 64) != 0;
    return mr.closed;
}

// Hands out one batch and reports the first `reports` of it, in reverse when
// the first node's byte says so (the epochs go out in topological order
// either way). False when the round has nothing left to hand out, or is to
// be closed.
bool run_batch(Graph& g, core::Round& round, Model& m, ModelRound& mr, std::size_t reports) {
    auto batch = round.peek_ready();
    CHECK(batch.has_value());
    if (batch->empty())
        return false;
    round.take_ready();
    for (const core::Handout& h : *batch)
        hand_out(m, mr, h);
    if ((mr.byte_of[batch->front().node] & 32) != 0)
        std::ranges::reverse(*batch);
    for (std::size_t k = 0; k < std::min(reports, batch->size()); ++k) {
        if (closes_at(mr, (*batch)[k]))
            return false;
        report(g, round, m, mr, (*batch)[k]);
    }
    return true;
}

// What the kernel leaves when the round finishes or is abandoned. A node is
// settled when it is an input given a hash, reported with its epoch given,
// or, once every dep of it in the closure is settled, an input (which keeps
// its hash) or a node that is no seed and folds to the signature it has. A
// report still waiting for its epoch settles nothing downstream, but stays.
// Every other node is left dirty for the graph's next round. Returns whether
// every node settled.
bool end_round(Model& m, ModelRound& mr) {
    std::vector<bool> settled(m.size(), false);
    for (NodeIndex i : mr.closure)
        settled[i] = mr.given[i] || mr.reported[i];
    for (NodeIndex i : mr.pending)
        settled[i] = false;
    give_epochs(m, mr);  // abandoning gives the reports accepted their epochs
    bool all = true;
    for (NodeIndex i : m.topo_sorted(mr.closure)) {
        const bool deps_settled = std::ranges::all_of(
            m.deps[i], [&](NodeIndex d) { return !mr.in_closure[d] || settled[d]; });
        if (!mr.given[i] && !mr.handed[i] && deps_settled) {
            const bool input = m.kinds[i] == NodeKind::Input;
            if (input)
                m.signatures[i] = m.content_hashes[i].value_or(0);
            settled[i] =
                input || (!mr.forced[i] && m.signatures[i] && *m.signatures[i] == m.fold(i));
        }
        const bool clean = settled[i] || mr.reported[i];
        m.states[i] = clean ? NodeState::Clean : NodeState::Dirty;
        if (!clean)
            (mr.forced[i] ? m.unsettled_seeds : m.unsettled).push_back(i);
        all = all && settled[i];
    }
    return all;
}

// Ends the round the model holds open, as a call that ends the kernel's does.
void end_open_model_round(Model& m) {
    if (open_model_round != nullptr)
        (void)end_round(m, *std::exchange(open_model_round, nullptr));
}

// A restoring round is a kernel round whose reports may take back epochs.
bool kernel_round(Reader& r, Graph& g, Model& m, bool restoring = false) {
    op_name = restoring ? "restoring_round" : "kernel_round";
    if (!m.built)
        return false;
    const std::uint8_t how = r.u8();
    const bool batches = (how & 1) != 0;
    core::Round round(g);
    ModelRound mr = begin_round(r, round, m);
    mr.may_close = (how & 2) != 0;
    mr.restore_from = restoring ? &r : nullptr;
    if (batches) {
        while (run_batch(g, round, m, mr, SIZE_MAX)) {
        }
    } else {
        for (;;) {
            auto next = round.peek_next();
            CHECK(next.has_value());
            if (*next == nullptr)
                break;
            const core::Handout h = **next;
            round.take_next();
            hand_out(m, mr, h);
            if ((mr.byte_of[h.node] & 32) != 0)
                CHECK(!round.peek_next().has_value());  // one at a time: refused
            if (closes_at(mr, h))
                break;
            report(g, round, m, mr, h);
        }
    }
    std::size_t handed_out = 0;
    for (NodeIndex i : mr.closure)
        handed_out += mr.handed[i] ? 1 : 0;
    CHECK(round.handed_out() == handed_out && round.committed() == mr.committed);
    if (mr.closed) {
        round.close();
        CHECK(round.phase() == core::Round::Phase::closed);
        (void)end_round(m, mr);
        return true;
    }
    CHECK(end_round(m, mr));
    CHECK(round.skipped() == handed_out - mr.committed);
    return true;
}

bool run(Op op, Reader& r, Graph& g, Model& m);

// Whether `op` is a single call on the graph, which may run while a round is
// open: not a round of its own, nor a run of calls.
bool single_call(Op op) {
    return op != Op::update_round && op != Op::kernel_round && op != Op::call_in_round &&
           op != Op::add_fan && op != Op::add_layer && op != Op::rewire &&
           op != Op::restoring_round;
}

// A round left open part way, with reports whose epochs are still to come,
// then another call: a structural change or a per-node call that ends the
// round must see, and leave, what the model's end of the round leaves, and
// one that fails or only reads must leave the round open. A byte says how
// many batches run whole and how many reports of the next one come in.
bool call_in_round(Reader& r, Graph& g, Model& m) {
    op_name = "call_in_round";
    if (!m.built)
        return false;
    core::Round round(g);
    ModelRound mr = begin_round(r, round, m);
    const std::uint8_t b = r.u8();
    bool more = true;
    for (std::size_t k = 0; k < (b & 3U) && more; ++k)
        more = run_batch(g, round, m, mr, SIZE_MAX);
    if (more && (b & 4U) != 0)
        (void)run_batch(g, round, m, mr, b >> 3U);
    if (g.round_open()) {
        CHECK(round.phase() == core::Round::Phase::open);
        open_model_round = &mr;
    } else {
        CHECK(round.phase() == core::Round::Phase::finished && end_round(m, mr));
    }
    const Op op = op_of(r.u8());
    if (single_call(op))
        (void)run(op, r, g, m);
    op_name = "call_in_round";
    CHECK(g.round_open() == (open_model_round != nullptr));
    round.close();
    end_open_model_round(m);
    return true;
}

// ---- Bulk growth -------------------------------------------------------------

// SplitMix64: a bulk operation's structure from two input bytes.
struct Generator {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = state += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
};

Generator pick_generator(Reader& r) {
    const std::uint64_t high = r.u8();
    return {(high << 8) | r.u8()};
}

// How many nodes a bulk operation adds: (b + 1) * bulk_unit, within the bound.
std::size_t pick_bulk_count(Reader& r, const Model& m) {
    const std::size_t want = (std::size_t{r.u8()} + 1) * bulk_unit;
    return m.size() >= max_bulk_nodes ? 0 : std::min(want, max_bulk_nodes - m.size());
}

// Up to `most` deps below `bound` (repeats included, as callers pass them):
// half of them among the `near` nodes just below it, which makes chains,
// the rest anywhere below it, which makes wide rows.
std::vector<NodeIndex> pick_deps_below(Generator& gen, std::size_t bound, std::size_t most,
                                       std::size_t near) {
    std::vector<NodeIndex> deps;
    if (bound == 0)
        return deps;
    const std::size_t count = gen.below(most + 1);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t d =
            (gen.next() & 1) != 0 ? bound - 1 - gen.below(std::min(bound, near)) : gen.below(bound);
        deps.push_back(static_cast<NodeIndex>(d));
    }
    return deps;
}

void push_unique(std::vector<NodeIndex>& list, NodeIndex d) {
    if (std::find(list.begin(), list.end(), d) == list.end())
        list.push_back(d);
}

// set_deps by index, with deps that are all registered and not the node
// itself: it must succeed, and the model takes the list without repeats.
void set_deps_ok(Graph& g, Model& m, NodeIndex target, const std::vector<NodeIndex>& deps) {
    std::vector<std::string_view> views;
    std::vector<NodeIndex> list;
    for (NodeIndex d : deps) {
        views.emplace_back(m.ids[d]);
        push_unique(list, d);
    }
    expect_ok(g.set_deps(m.ids[target], views));
    m.deps[target] = std::move(list);
    m.built = false;
}

// A bulk node's id carries the number of nodes ever registered before it in
// 16 bytes, a length no id of the pool has and an arbitrary id (12 bytes at
// most) cannot have: it is never registered already, removals or not, so the
// model needs no scan to know it.
void add_bulk_node(Graph& g, Model& m, NodeKind kind, const std::vector<NodeIndex>& deps) {
    char id[17];
    std::snprintf(id, sizeof id, "bulk-node-%06zu", m.ever_added);
    expect_ok(g.add_node(id, kind_names[static_cast<int>(kind)]));
    m.add(id, kind);
    if (!deps.empty())
        set_deps_ok(g, m, static_cast<NodeIndex>(m.size() - 1), deps);
}

// add_fan: K nodes of one kind that all depend on one node, a row that
// overflows the walk's gathered rows. add_layer: K nodes whose deps come
// from the generator, for rounds whose batches gather more dependants than
// the walk's queue has room for.
bool add_bulk(Reader& r, Graph& g, Model& m, bool fan) {
    op_name = fan ? "add_fan" : "add_layer";
    const std::size_t count = pick_bulk_count(r, m);
    const auto kind = static_cast<NodeKind>(r.u8() % std::size(kind_names));
    if (count == 0 || (fan && m.size() == 0))
        return false;
    if (fan) {
        const auto hub = static_cast<NodeIndex>(r.u8() % m.size());
        TRACE("add_fan(" + std::to_string(count) + " on " + printable(m.ids[hub]) + ")");
        for (std::size_t k = 0; k < count; ++k)
            add_bulk_node(g, m, kind, {hub});
        return true;
    }
    const std::size_t most = r.u8() % 9;
    Generator gen = pick_generator(r);
    TRACE("add_layer(" + std::to_string(count) + ", deps up to " + std::to_string(most) + ")");
    for (std::size_t k = 0; k < count; ++k)
        add_bulk_node(g, m, kind, pick_deps_below(gen, m.size(), most, 64));
    return true;
}

// N set_deps calls on nodes drawn by the generator, each with deps among
// the first `hot` nodes below it: their reverse-edge runs grow past their
// room and move again and again on a built graph, and the deps storage
// fills with garbage until it is compacted.
bool rewire(Reader& r, Graph& g, Model& m) {
    op_name = "rewire";
    const std::size_t count = (std::size_t{r.u8()} + 1) * bulk_unit;
    // Lists long enough that the edit's old and new deps are compared by
    // visit marks rather than by scans.
    const std::size_t most = r.u8() % 33;
    const std::size_t hot = std::size_t{r.u8()} + 1;
    Generator gen = pick_generator(r);
    if (m.size() < 2)
        return false;
    TRACE("rewire(" + std::to_string(count) + " calls, deps up to " + std::to_string(most) +
          " among " + std::to_string(hot) + ")");
    for (std::size_t k = 0; k < count; ++k) {
        const auto target = static_cast<NodeIndex>(1 + gen.below(m.size() - 1));
        set_deps_ok(g, m, target,
                    pick_deps_below(gen, std::min<std::size_t>(target, hot), most, hot));
    }
    return true;
}

// Ids to remove: some nodes with everything below them (accepted), or as
// drawn (a dependant may be left behind), with a repeat or an unknown id now
// and then, in the order drawn.
bool remove_nodes(Reader& r, Graph& g, Model& m) {
    op_name = "remove_nodes";
    const std::uint8_t how = r.u8();
    const std::size_t count = 1 + how % 4;
    std::vector<std::string> ids;
    for (std::size_t k = 0; k < count; ++k)
        ids.push_back(pick_id(r, m));
    if (how & 0x10 && !ids.empty())
        ids.push_back(ids.front());
    std::vector<NodeIndex> given;
    const std::string* unknown = nullptr;
    for (const std::string& id : ids) {
        const auto i = m.find(id);
        if (!i) {
            unknown = unknown ? unknown : &id;
            continue;
        }
        given.push_back(*i);
    }
    if (how & 0x20 && unknown == nullptr)  // everything below them too: accepted
        for (NodeIndex i : m.closure(given))
            if (std::find(given.begin(), given.end(), i) == given.end()) {
                given.push_back(i);
                ids.push_back(m.ids[i]);
            }
    TRACE("remove_nodes(" + join(ids) + ")");
    auto result = g.remove_nodes(views_of(ids));
    if (unknown) {
        expect_error(result, kUnknownNode, *unknown);
        return false;
    }
    std::vector<bool> gone(m.size(), false);
    for (NodeIndex i : given)
        gone[i] = true;
    const auto dependents = m.all_dependents();
    std::vector<NodeIndex> first;  // each removed node once, in the order given
    for (NodeIndex i : given)
        if (std::find(first.begin(), first.end(), i) == first.end())
            first.push_back(i);
    for (NodeIndex i : first)
        for (NodeIndex d : dependents[i])
            if (!gone[d]) {
                CHECK(!result.has_value());
                expect_still_depended_on(result.error(), m.ids[i], m.ids[d]);
                return false;
            }
    expect_ok(result);
    if (given.empty())
        return false;
    end_open_model_round(m);
    m.remove(gone);
    return true;
}

// One operation. Returns whether it may have changed the graph (false for
// queries and for every call that failed).
bool run(Op op, Reader& r, Graph& g, Model& m) {
    switch (op) {
    case Op::add_node: {
        op_name = "add_node";
        const std::string id = pick_id(r, m);
        const std::string kind = pick_kind(r);
        const bool known = m.find(id).has_value();
        const auto kind_it = std::find(std::begin(kind_names), std::end(kind_names), kind);
        const bool valid_kind = kind_it != std::end(kind_names);
        if (!known && valid_kind && m.size() >= max_nodes)
            return false;
        TRACE("add_node(" + printable(id) + ", " + printable(kind) + ")");
        auto result = g.add_node(id, kind);
        if (known) {
            expect_error(result, kAlreadyRegistered, id);
            return false;
        }
        if (!valid_kind) {
            expect_error(result, kInvalidKind, kind);
            return false;
        }
        expect_ok(result);
        end_open_model_round(m);
        m.add(id, static_cast<NodeKind>(kind_it - std::begin(kind_names)));
        return true;
    }
    case Op::set_deps: {
        op_name = "set_deps";
        const std::string id = pick_id(r, m);
        const auto target = m.find(id);
        const std::uint8_t b = r.u8();
        // Long lists too: past 16 entries repeats are found another way.
        const std::size_t count = b < 200 ? b % 6 : 14 + b % 24;
        std::vector<std::string> deps;
        for (std::size_t k = 0; k < count; ++k)
            deps.push_back(pick_dep(r, m, target));
        TRACE("set_deps(" + printable(id) + ", " + join(deps) + ")");
        const auto views = views_of(deps);
        auto result = g.set_deps(id, views);
        if (!target) {
            expect_error(result, kUnknownNode, id);
            return false;
        }
        std::vector<NodeIndex> list;
        for (const std::string& dep : deps) {
            if (dep == id) {
                expect_error(result, kSelfDependency, id);
                return false;
            }
            const auto d = m.find(dep);
            if (!d) {
                expect_error(result, kUnknownNode, dep);
                return false;
            }
            push_unique(list, *d);
        }
        expect_ok(result);
        end_open_model_round(m);
        m.deps[*target] = std::move(list);
        m.built = false;
        return true;
    }
    case Op::build: {
        op_name = "build";
        TRACE("build()");
        auto result = g.build();
        std::vector<NodeIndex> order, stuck;
        if (!m.kahn(order, stuck)) {
            CHECK(!m.built);  // a built graph is acyclic
            std::vector<std::string> ids;
            for (NodeIndex i : stuck)
                ids.push_back(m.ids[i]);
            expect_error(result, kCycle, {}, &ids);
            // The reverse edges it recomputed stay, and agree with the deps.
            const auto want_dependents = m.all_dependents();
            for (std::size_t i = 0; i < m.size(); ++i) {
                const auto dependents = g.dependents(static_cast<NodeIndex>(i));
                const auto& want = want_dependents[i];
                CHECK(std::equal(dependents.begin(), dependents.end(), want.begin(), want.end()));
            }
            return false;
        }
        expect_ok(result);
        end_open_model_round(m);
        m.order = order;
        m.position.assign(m.size(), 0);
        for (std::size_t k = 0; k < order.size(); ++k)
            m.position[order[k]] = static_cast<NodeIndex>(k);
        m.built = true;
        return true;
    }
    case Op::downstream: {
        op_name = "downstream";
        const std::string id = pick_id(r, m);
        TRACE("downstream(" + printable(id) + ")");
        auto result = g.downstream(id);
        if (!m.built) {
            expect_error(result, kNotBuilt);
            return false;
        }
        const auto t = m.find(id);
        if (!t) {
            expect_error(result, kUnknownNode, id);
            return false;
        }
        expect_ok(result);
        std::vector<NodeIndex> want = m.closure({*t});
        want.erase(std::remove(want.begin(), want.end(), *t), want.end());
        want = m.topo_sorted(want);
        CHECK(std::find(result->begin(), result->end(), *t) == result->end());
        check_closure(g, m, *result, *t);
        CHECK(*result == want);
        return false;
    }
    case Op::dirty_subgraph:
    case Op::mark_dirty: {
        const bool mark = op == Op::mark_dirty;
        op_name = mark ? "mark_dirty" : "dirty_subgraph";
        const std::vector<std::string> seeds = pick_ids(r, m);
        TRACE(std::string(op_name) + "(" + join(seeds) + ")");
        const auto views = views_of(seeds);
        auto result = mark ? g.mark_dirty(views) : g.dirty_subgraph(views);
        if (!m.built) {
            expect_error(result, kNotBuilt);
            return false;
        }
        if (auto unknown = first_unknown(m, seeds)) {
            expect_error(result, kUnknownNode, *unknown);
            return false;
        }
        expect_ok(result);
        const std::vector<NodeIndex> seed_indices = indices(m, seeds);
        const std::vector<NodeIndex> want = m.topo_sorted(m.closure(seed_indices));
        check_closure(g, m, *result);
        for (NodeIndex s : seed_indices)
            CHECK(std::find(result->begin(), result->end(), s) != result->end());
        CHECK(*result == want);
        if (!mark)
            return false;
        end_open_model_round(m);
        const std::vector<NodeState> before = m.states;
        // Exactly the result is marked; every other state stays.
        std::vector<bool> in(m.size());
        for (NodeIndex i : *result)
            in[i] = true;
        for (std::size_t i = 0; i < m.size(); ++i) {
            const NodeState now = g.state_at(static_cast<NodeIndex>(i));
            CHECK(now == (in[i] ? NodeState::Dirty : before[i]));
            m.states[i] = now;
        }
        return true;
    }
    case Op::set_dirty:
    case Op::set_computing: {
        const bool computing = op == Op::set_computing;
        op_name = computing ? "set_computing" : "set_dirty";
        const std::string id = pick_id(r, m);
        TRACE(std::string(op_name) + "(" + printable(id) + ")");
        auto result = computing ? g.set_computing(id) : g.set_dirty(id);
        bool changed = false;
        per_node(m, id, result, [&](NodeIndex i) {
            m.states[i] = computing ? NodeState::Computing : NodeState::Dirty;
            changed = true;
        });
        return changed;
    }
    case Op::set_clean:
    case Op::skip_node:
    case Op::commit_input: {
        // set_clean, skip_node and commit_input: same shape, different fields.
        op_name = op == Op::set_clean   ? "set_clean"
                  : op == Op::skip_node ? "skip_node"
                                        : "commit_input";
        const std::string id = pick_id(r, m);
        const std::uint64_t value = pick_value(r, m, m.find(id));
        TRACE(std::string(op_name) + "(" + printable(id) + ", " + std::to_string(value) + ")");
        auto result = op == Op::set_clean   ? g.set_clean(id, value)
                      : op == Op::skip_node ? g.skip_node(id, value)
                                            : g.commit_input(id, value);
        bool changed = false;
        per_node(m, id, result, [&](NodeIndex i) {
            m.states[i] = NodeState::Clean;
            m.signatures[i] = value;
            if (op == Op::commit_input)
                m.content_hashes[i] = value;
            changed = true;
        });
        return changed;
    }
    case Op::commit_node: {
        op_name = "commit_node";
        const std::string id = pick_id(r, m);
        const std::uint64_t value = pick_value(r, m, m.find(id));
        TRACE("commit_node(" + printable(id) + ", " + std::to_string(value) + ")");
        auto result = g.commit_node(id, value);
        bool changed = false;
        per_node(m, id, result, [&](NodeIndex i) {
            ++m.epoch_counter;
            m.states[i] = NodeState::Clean;
            m.signatures[i] = value;
            m.epochs[i] = m.epoch_counter;
            changed = true;
        });
        return changed;
    }
    case Op::needs_recompute: {
        op_name = "needs_recompute";
        const std::string id = pick_id(r, m);
        const std::uint64_t value = pick_value(r, m, m.find(id));
        TRACE("needs_recompute(" + printable(id) + ", " + std::to_string(value) + ")");
        auto result = g.needs_recompute(id, value);
        per_node(
            m, id, result,
            [&](NodeIndex i) { CHECK(*result == !(m.signatures[i] && *m.signatures[i] == value)); },
            false);
        return false;
    }
    case Op::check_node: {
        op_name = "check_node";
        const std::string id = pick_id(r, m);
        TRACE("check_node(" + printable(id) + ")");
        auto result = g.check_node(id);
        per_node(m, id, result, [&](NodeIndex i) {
            const std::uint64_t f = m.fold(i);
            CHECK(result->kind == m.kinds[i]);
            CHECK(result->signature == f);
            CHECK(result->needs_recompute == !(m.signatures[i] && *m.signatures[i] == f));
            CHECK(g.fold_signature(g.node(i)) == f);
        });
        return false;
    }
    case Op::queries: {
        op_name = "queries";
        const std::string id = pick_id(r, m);
        TRACE("queries(" + printable(id) + ")");
        // The states of an open round's nodes are its own until it ends;
        // the model has them only then.
        check_queries(g, m, id, m.find(id), open_model_round == nullptr);
        return false;
    }
    case Op::indices_of: {
        op_name = "indices_of";
        const std::vector<std::string> ids = pick_ids(r, m);
        TRACE("indices_of(" + join(ids) + ")");
        const auto views = views_of(ids);
        auto result = g.indices_of(views);
        if (auto unknown = first_unknown(m, ids)) {
            expect_error(result, kUnknownNode, *unknown);
            return false;
        }
        expect_ok(result);
        CHECK(*result == indices(m, ids));
        return false;
    }
    case Op::ids_in_topo_order: {
        op_name = "ids_in_topo_order";
        if (!m.built)
            return false;
        const std::vector<NodeIndex> nodes = pick_indices(r, m);
        TRACE("ids_in_topo_order(" + std::to_string(nodes.size()) + " indices)");
        CHECK(g.ids_in_topo_order(nodes) == m.topo_sorted(nodes));
        return false;
    }
    case Op::downstream_closure: {
        op_name = "downstream_closure";
        if (!m.built)
            return false;
        const std::vector<NodeIndex> seeds = pick_indices(r, m);
        TRACE("downstream_closure(" + std::to_string(seeds.size()) + " seeds)");
        CHECK(g.downstream_closure(seeds) == m.closure(seeds));
        return false;
    }
    case Op::mark_nodes_dirty: {
        op_name = "mark_nodes_dirty";
        const std::vector<NodeIndex> nodes = pick_indices(r, m);
        TRACE("mark_nodes_dirty(" + std::to_string(nodes.size()) + " nodes)");
        g.mark_nodes_dirty(nodes);
        end_open_model_round(m);
        for (NodeIndex i : nodes)
            m.states[i] = NodeState::Dirty;
        return !nodes.empty();
    }
    case Op::check_and_commit: {
        // check_node, then commit or skip with the signature it reported: the
        // node must then be up to date, whatever it was before.
        op_name = "check_and_commit";
        const std::string id = pick_id(r, m);
        const bool commit = r.u8() & 1;
        TRACE("check_and_commit(" + printable(id) + ", " + (commit ? "commit" : "skip") + ")");
        auto checked = g.check_node(id);
        const auto i = m.find(id);
        if (!i) {
            expect_error(checked, kUnknownNode, id);
            return false;
        }
        expect_ok(checked);
        end_open_model_round(m);
        CHECK(checked->signature == m.fold(*i));
        expect_ok(commit ? g.commit_node(id, checked->signature)
                         : g.skip_node(id, checked->signature));
        if (commit)
            m.epochs[*i] = ++m.epoch_counter;
        m.states[*i] = NodeState::Clean;
        m.signatures[*i] = checked->signature;
        auto again = g.check_node(id);
        expect_ok(again);
        CHECK(!again->needs_recompute && again->signature == checked->signature);
        return true;
    }
    case Op::update_round: {
        // A whole update round on a built graph: every node in topological
        // order is checked and then committed, skipped or, for an input,
        // given a hash. Afterwards nothing is dirty.
        op_name = "update_round";
        if (!m.built)
            return false;
        TRACE("update_round()");
        for (NodeIndex i : m.order) {
            const std::string& id = m.ids[i];
            const std::uint8_t b = r.u8();
            if (m.kinds[i] == NodeKind::Input && (b & 1)) {
                const std::uint64_t h = b >> 1;
                expect_ok(g.commit_input(id, h));
                m.content_hashes[i] = h;
                m.signatures[i] = h;
                m.states[i] = NodeState::Clean;
                continue;
            }
            auto checked = g.check_node(id);
            expect_ok(checked);
            CHECK(checked->signature == m.fold(i));
            if (checked->needs_recompute || (b & 2)) {
                expect_ok(g.commit_node(id, checked->signature));
                m.epochs[i] = ++m.epoch_counter;
            } else {
                expect_ok(g.skip_node(id, checked->signature));
            }
            m.states[i] = NodeState::Clean;
            m.signatures[i] = checked->signature;
        }
        auto dirty = g.dirty_nodes();
        expect_ok(dirty);
        CHECK(dirty->empty());
        return true;
    }
    case Op::kernel_round: return kernel_round(r, g, m);
    case Op::add_fan:
    case Op::add_layer: return add_bulk(r, g, m, op == Op::add_fan);
    case Op::rewire: return rewire(r, g, m);
    case Op::call_in_round: return call_in_round(r, g, m);
    case Op::epoch_of: {
        // A read: an open round stays open, its pending commits unseen.
        op_name = "epoch_of";
        const std::string id = pick_id(r, m);
        TRACE("epoch_of(" + printable(id) + ")");
        auto result = g.epoch_of(id);
        per_node(m, id, result, [&](NodeIndex i) { CHECK(*result == m.epochs[i]); }, false);
        return false;
    }
    case Op::restore_node: {
        op_name = "restore_node";
        const std::string id = pick_id(r, m);
        const auto target = m.find(id);
        const std::uint64_t value = pick_value(r, m, target);
        const std::uint64_t epoch = pick_epoch(r, m, target);
        TRACE("restore_node(" + printable(id) + ", " + std::to_string(value) + ", " +
              std::to_string(epoch) + ")");
        auto result = g.restore_node(id, value, epoch);
        if (!target) {
            expect_error(result, kUnknownNode, id);
            return false;
        }
        // Refused before an open round ends, against the counter as it stands.
        if (const EpochRefusal refusal = epoch_refusal(m, *target, epoch); refusal.refused) {
            CHECK(!result.has_value());
            expect_epoch_refused(result.error(), epoch, m.epoch_counter, refusal.holder);
            return false;
        }
        expect_ok(result);
        end_open_model_round(m);
        m.states[*target] = NodeState::Clean;
        m.signatures[*target] = value;
        m.epochs[*target] = epoch;
        return true;
    }
    case Op::restoring_round: return kernel_round(r, g, m, true);
    case Op::remove_nodes: return remove_nodes(r, g, m);
    }
    return false;
}

bool run_op(Reader& r, Graph& g, Model& m) { return run(op_of(r.u8()), r, g, m); }

}  // namespace

void run_kernel_input(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    Graph g;
    Model m;
    step = 0;
    op_name = "new graph";
    verify(g, m, true);
    Snapshot before = snapshot(g);
    std::size_t checked = 0;
    for (step = 1; step <= max_ops && checked < max_checked_bulk_nodes && !r.done(); ++step) {
        const bool changed = run_op(r, g, m);
        Snapshot after = snapshot(g);
        // A failing call, or one that only reads, leaves the graph as it was.
        if (!changed)
            CHECK(after == before);
        verify(g, m, false);
        checked += m.size() > max_nodes ? m.size() : 0;
        before = std::move(after);
    }
    op_name = "end of input";
    verify(g, m, true);
}

}  // namespace quorl::fuzz
