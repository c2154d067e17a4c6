// Update rounds: the loop over the change closure, run inside the kernel.
//
// IMPLEMENTATION DETAILS
//
// # Slots
//
// begin() walks the change closure once and gives each of its k nodes a
// slot: its place in nodes_, in the order the walk met it, the starts first.
// Every array of the round is indexed by slot, never by node, so an open
// round costs what its closure holds whatever the graph's size:
//
//   slot            0     1     2     3     4           k-1
//                +-----+-----+-----+-----+-----+-----+-----+
//   nodes_       |  a  |  b  |  c  |  d  |  e  | ... |     |  node index
//   flags_       |st|fl|st|fl|     |     |     | ... |     |  status | flags
//   waiting_     |  0  |  0  |  1  |  2  |  1  | ... |     |  closure deps not settled
//   signature_   |     |     |  f  |     |     | ... |     |  the fold, once available
//                +-----+-----+-----+-----+-----+-----+-----+-----+
//   edge_start_  |  0  |  2  |  3  |  4  |  4  | ... |     |  e  |  k + 1 entries
//                +-----+-----+-----+-----+-----+-----+-----+-----+
//   edge_slots_  |  2  |  3  |  3  |  4  | ... |     |  0  |        e + 1 entries
//                +-----+-----+-----+-----+-----+-----+-----+
//                 \__ a's __/ \b's/ \c's/             spare
//
// Here a and b are the starts; c and d depend on a, d on b too, e on c.
// Slot s's dependants are edge_slots_[edge_start_[s] .. edge_start_[s + 1]),
// slots again, so settling never looks a node up; the spare entry past the
// last run lets the cascade read two lanes of any run, even an empty one.
//
// A slot's byte in flags_ holds its status in the low three bits and the
// flags above them (forced: a seed, handed out whatever its fold; handed;
// changed, its epoch still to come; given, an input with a new hash; moved,
// its key changed this round). A status only moves forward:
//
//   waiting --(deps settled, fold matches)-----------------------> settled
//      '-----(fold differs, or forced)--> available --take--> out --done--> reported --flush--^
//
// Three queues of slots carry the statuses between the calls:
//
//   worklist_   [ visited ......... | waiting for cascade() ....... | spare ]
//               0              work_head_                       work_tail_   (k + 1 long)
//   available_  [ min-heap by place in the cached order | appended since ]
//               0                                   heaped_
//   pending_    [ reported since the last flush, any order ]
//
// Every slot joins the worklist once at most (its waiting_ count reaches
// zero once), so k + 1 entries are enough and the spare lets the cascade
// write one entry past the tail without a branch. Only one-at-a-time use
// needs the heap: peek_ready() sorts available_, and a sorted array is a
// heap, so the two uses mix freely.
//
// # The walk
//
// walk() goes breadth first from the starts along the reverse edges,
// gathering the rows of a batch of heads at a time so that one loop visits
// all their dependants. It numbers each closure node slot + 1 above a base
// in the graph's visit marks, so no table of the graph's size is cleared per
// round, and the same pass counts each slot's deps in the closure (waiting_)
// and writes the closure's own edges (edge_start_, edge_slots_): heads leave
// the queue in slot order, so each head's dependants land in one run. From
// then on the round never reads the graph's reverse edges again.
//
// # The cascade
//
// cascade() visits the worklist first in, first out. An input not given a
// hash settles with the hash it has; another node settles without reading
// its deps while its fold_current bit says no dep's key moved since its
// signature was folded, and otherwise folds: a fold equal to the stored
// signature settles it, any other fold (or a seed) makes it available with
// that fold. Settling a slot releases its dependants: each one's waiting_
// count goes down, and one at zero joins the worklist. When the settled
// node's key moved (a new input hash, a commit's epoch), its dependants'
// fold_current bits are cleared first, so they fold when visited. Most of a
// closure settles here, between two reports, without leaving the kernel.
//
// # Why the order of reports within a batch cannot matter
//
// done() writes only its own node (state, signature, and a restored epoch)
// and appends the slot to pending_; nothing it does is seen by another node.
// A restore is checked against the counter as it stands, which the batch's
// commits have not moved yet, whatever the order. flush() runs once
// the batch is complete (or the next one is asked for): it sorts pending_ by
// place in the cached order, gives the commits their epochs in that order,
// and only then releases their dependants, in that order too. So the epoch
// counter, every epoch and the worklist come out the same for any order of
// the reports, and match the per-node protocol run in topological order.
// abandon() gives the pending commits their epochs the same way.
//
// # A traversal during a round
//
// Any other traversal of the graph (downstream_closure, dirty_subgraph, ...)
// takes the visit marks for its own numbering and overwrites the round's.
// The round keeps the marks' uses() count from its walk; when done() finds
// it changed, it copies the numbers into slot_of_, a table of the graph's
// size built once, and reads slots there until the round ends. Stamps at or
// below the base read as "not in the closure": their difference from the
// base wraps past every slot.
//
// # Abandoning
//
// A round that is closed, or ended by another call on its graph, keeps what
// was reported, makes every slot neither settled nor reported dirty again,
// and leaves it for the graph's next round: a seed in unsettled_seeds_, to
// be handed out again whatever its fold, any other node in unsettled_, to be
// settled by signature. begin() reserves both lists, so abandoning cannot
// fail.
#include "core/round.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

namespace quorl::core {

namespace {

// Each constant was chosen by the "round" row of benchmarks/run.py (a round
// over a ~10% closure), at 10^5 nodes and with --million.

// Heads whose rows a walk gathers before it visits their dependants: enough
// to hide the per-head loop exit, few enough that the rows stay cached.
constexpr std::size_t batch = 32;
// How many places ahead a walk asks for the memory it will read: far enough
// to hide a miss, near enough that the lines are still cached. A head's
// reverse-edge run is asked for two batches ahead and its row one, so the
// misses resolve while the batch before is visited.
constexpr std::size_t far_ahead = 2 * batch;
constexpr std::size_t near_ahead = batch;
// Dependants' stamps are asked for this many visits ahead in the gathered rows.
constexpr std::size_t visits_ahead = 16;
// A gathered row is copied this many elements at once: most are no longer.
constexpr std::uint32_t row_copy = 4;
// Dependants released without a loop: more lanes cost more than the
// mispredicted loop exits they save.
constexpr std::uint32_t lanes = 2;
// Graphs whose node records (the bulk of a graph) pass this many bytes
// outgrow the cache, and walks prefetch; below it prefetching only costs.
constexpr std::size_t prefetch_above = std::size_t{1} << 20;
// Stamp tables (4 bytes a node) up to this size stay cached through a walk,
// so sweeping them in once is cheaper than missing them at random.
constexpr std::size_t sweep_stamps_below = std::size_t{1} << 20;

RoundRefusal value_refusal(std::string message) {
    return {RoundRefusal::Kind::value, std::move(message)};
}

RoundRefusal state_refusal(std::string message) {
    return {RoundRefusal::Kind::state, std::move(message)};
}

// Grows a walk buffer by doubling to hold at least `need` elements.
template <typename T>
T* grow(Scratch<T>& v, std::size_t need) {
    v.resize(std::max(need, v.size() * 2));
    return v.data();
}

// Releases the dependants of a settled slot, whose closure edges are
// edges[first, end): each one's count of unsettled deps goes down, and one
// at zero joins the worklist at `tail`; returns the new tail. Without a
// branch on the count, nor on the run's length up to `lanes`: both are data,
// and a mispredicted branch costs more than the spare loads and stores. A
// lane past the run reads its first edge (or the element past the last run)
// and changes nothing; the spare write at the tail stays within the
// worklist, which has room for one more than the closure.
[[gnu::always_inline]] inline std::size_t release_dependants(std::uint32_t first, std::uint32_t end,
                                                             const std::uint32_t* edges,
                                                             std::uint32_t* waiting,
                                                             std::uint32_t* work,
                                                             std::size_t tail) noexcept {
    for (std::uint32_t lane = 0; lane < lanes; ++lane) {
        const std::uint32_t valid = lane < end - first ? 1U : 0U;
        const std::uint32_t d = edges[first + (lane & (0U - valid))];
        const std::uint32_t w = waiting[d] - valid;
        waiting[d] = w;
        work[tail] = d;
        tail += valid & (w == 0 ? 1U : 0U);
    }
    for (std::uint32_t e = first + lanes; e < end; ++e) {
        const std::uint32_t d = edges[e];
        work[tail] = d;
        tail += --waiting[d] == 0 ? 1U : 0U;
    }
    return tail;
}

}  // namespace

// Why input `id` (node `i`) cannot be a seed without a hash. One with deps
// is most likely meant to be computed from them, so that is named plainly.
std::string Round::unhashed_input_seed(const Graph& g, NodeIndex i, std::string_view id) {
    const auto deps = g.deps(g.nodes_[i]);
    if (deps.empty())
        return "input " + quoted(id) + " is a seed without a hash: give its hash in inputs";
    std::string listed;
    for (const NodeIndex d : deps)
        listed += (listed.empty() ? "" : ", ") + quoted(g.id_at(d));
    return "input " + quoted(id) + " has deps (" + listed +
           "): an input takes its value from the caller, not from deps; give it a hash in "
           "inputs or make it another kind";
}

void Graph::end_round() noexcept {
    if (open_round_ != nullptr)
        open_round_->end();
}

RoundResult<void> Round::begin(std::span<const InputHash> inputs,
                               std::span<const std::string_view> seeds) {
    Graph& g = *graph_;
    if (phase_ != Phase::idle)
        throw InternalFault("a round can begin only once");
    if (!g.built_)
        return std::unexpected(RoundError(GraphError(NotBuilt{})));
    if (g.open_round_ != nullptr)
        return std::unexpected(RoundError(
            state_refusal("another round on this graph is still open: finish or close it first")));

    // Every check before the first write.
    std::vector<NodeIndex> starts;
    starts.reserve(inputs.size() + seeds.size() + g.unsettled_seeds_.size() + g.unsettled_.size());
    for (const InputHash& input : inputs) {
        const NodeIndex i = g.find(input.id);
        if (i == IdIndex::absent)
            return std::unexpected(RoundError(GraphError(UnknownNode{std::string(input.id)})));
        if (g.nodes_[i].kind != NodeKind::Input)
            return std::unexpected(RoundError(value_refusal(
                "node " + quoted(input.id) + " is not an input: only inputs take a hash")));
        starts.push_back(i);
    }
    std::vector<NodeIndex> given(starts);
    std::ranges::sort(given);
    const std::size_t first_seed = starts.size();
    for (std::string_view id : seeds) {
        const NodeIndex i = g.find(id);
        if (i == IdIndex::absent)
            return std::unexpected(RoundError(GraphError(UnknownNode{std::string(id)})));
        if (g.nodes_[i].kind == NodeKind::Input && !std::ranges::binary_search(given, i))
            return std::unexpected(RoundError(value_refusal(unhashed_input_seed(g, i, id))));
        starts.push_back(i);
    }
    starts.insert(starts.end(), g.unsettled_seeds_.begin(), g.unsettled_seeds_.end());
    const std::size_t last_seed = starts.size();
    starts.insert(starts.end(), g.unsettled_.begin(), g.unsettled_.end());

    // The closure, in the round's own memory: the graph is not written until
    // everything is allocated. Past the cache, the walk is a chain of misses
    // that prefetching hides; within it, prefetching only costs instructions.
    if (!starts.empty())
        g.ensure_dependents();  // allocates only: nothing is written yet
    const bool far = g.nodes_.size() * sizeof(Node) > prefetch_above;
    const std::size_t entered = far ? walk<true>(starts) : walk<false>(starts);
    const std::size_t k = nodes_.size();
    flags_.assign(k, 0);
    signature_.resize(k);     // written when a node is made available
    worklist_.resize(k + 1);  // every slot joins it once at most; +1 for cascade's spare write
    available_.reserve(k);
    pending_.reserve(k);
    order_keys_.reserve(k);
    // abandon() only appends, and must not throw; only seeds are forced.
    g.unsettled_.reserve(k);
    g.unsettled_seeds_.reserve(last_seed - first_seed);
    g.reserve_epoch_notes(k);  // give_epochs() must not allocate

    // Writes.
    for (const NodeIndex node : nodes_)
        g.set_state(node, NodeState::Dirty);
    for (std::size_t j = 0; j < first_seed; ++j) {  // the inputs, found by the checks
        Node& node = g.nodes_[starts[j]];
        const std::size_t slot = number_of(starts[j]) - 1;
        flags_[slot] |= given_flag;
        if (node.content_hash != inputs[j].content_hash)
            flags_[slot] |= moved_flag;
        node.content_hash = inputs[j].content_hash;
        node.signature = inputs[j].content_hash;
        node.has_signature = true;
        g.set_state(starts[j], NodeState::Clean);
    }
    for (std::size_t j = first_seed; j < last_seed; ++j) {
        const std::size_t slot = number_of(starts[j]) - 1;
        if (!(flags_[slot] & given_flag))
            flags_[slot] |= forced_flag;
    }
    g.unsettled_.clear();
    g.unsettled_seeds_.clear();
    g.open_round_ = this;
    g.folds_recorded_ = true;
    phase_ = Phase::open;
    scheduled_ = k;
    epochs_left_ = g.epoch_counter_ < max_epoch ? max_epoch - g.epoch_counter_ : 0;

    // The starts took the first slots, in order; only they can have no deps
    // in the closure, so only they can be ready at once.
    for (std::size_t s = 0; s < entered; ++s)
        if (waiting_[s] == 0 && !(flags_[s] & given_flag))
            worklist_[work_tail_++] = static_cast<std::uint32_t>(s);
    for (std::size_t s = 0; s < entered; ++s)
        if (flags_[s] & given_flag) {
            ++settled_in_kernel_;
            settle(s, (flags_[s] & moved_flag) != 0);
        }
    cascade();
    finish_if_done();
    return {};
}

// Breadth first from the starts, each node once, into nodes_ (the queue).
// Each edge out of a closure node is met exactly once, so the same pass
// counts every node's deps in the closure and records the closure's own
// edges: heads leave the queue in slot order, so each head's dependants'
// slots land in one run of edge_slots_, which settling walks later instead
// of the graph's reverse edges and the slot table. Locals, not members, in
// the loop: a store through a vector may alias another vector's pointers.
template <bool Prefetch>
std::size_t Round::walk(std::span<const NodeIndex> starts) {
    const Graph& g = *graph_;
    const std::size_t n = g.nodes_.size();
    if (!starts.empty() && g.dependents_runs_.size() != n)
        throw InternalFault("the reverse edges do not cover every node");
    const Graph::DependentsRun* const runs = g.dependents_runs_.data();
    const std::span<const NodeIndex> reverse(g.dependents_);
    // Stamps at most `base` are unvisited; base + slot + 1 numbers a visited
    // node. Nothing of the graph's size is zeroed, so a small closure costs
    // what it touches (the "small round" row of benchmarks/run.py, --million).
    std::uint32_t base = 0;
    std::uint32_t* const stamps = g.marks_.number(n, base);
    number_base_ = base;
    marks_use_ = g.marks_.uses();
    slot_of_ = {};
    // Once the closure holds one node per line of stamps, the walk will read
    // most lines: reading them all in order then is cheaper than missing
    // them at random, if they stay cached.
    constexpr std::size_t stamps_per_line = 64 / sizeof(std::uint32_t);
    bool sweep = n * sizeof(std::uint32_t) <= sweep_stamps_below;

    // Untouched room costs address space only, and growing copies: start
    // with room for the whole graph unless it is large.
    const std::size_t initial = std::min(n, std::max<std::size_t>(starts.size(), 1U << 16));
    NodeIndex* queue = grow(nodes_, initial);
    std::uint32_t* waiting = grow(waiting_, initial);
    std::uint32_t* edge_start = grow(edge_start_, initial + 1);
    std::uint32_t* edges = grow(edge_slots_, 2 * initial);
    std::size_t capacity = nodes_.size();
    std::size_t k = 0;
    std::size_t e = 0;
    // Room for `more` entries past k; the edge loop below writes one spare
    // entry at k before it knows whether the dependant is new.
    const auto make_room = [&](std::size_t more) {
        if (capacity - k >= more)
            return;
        queue = grow(nodes_, k + more);
        waiting = grow(waiting_, k + more);
        edge_start = grow(edge_start_, nodes_.size() + 1);
        capacity = nodes_.size();
    };
    for (NodeIndex start : starts) {
        check_index(start, n, "nodes");
        if (stamps[start] > base)
            continue;
        make_room(1);
        queue[k] = start;
        waiting[k] = 0;
        stamps[start] = base + static_cast<std::uint32_t>(++k);
    }
    const std::size_t entered = k;
    // The rows of up to `batch` heads at a time are gathered into one list,
    // so that their dependants are visited by one loop: a loop per head
    // would end at a length that is data, a mispredicted branch per head.
    Scratch<NodeIndex> gathered;
    NodeIndex* flat = grow(gathered, batch * row_copy);
    std::size_t flat_room = gathered.size();
    std::size_t edge_room = edge_slots_.size();
    for (std::size_t head = 0; head < k;) {
        if (sweep && k * stamps_per_line > n) {
            for (std::size_t i = 0; i < n; i += stamps_per_line)
                __builtin_prefetch(stamps + i, 1);
            sweep = false;
        }
        const std::size_t end = std::min(k, head + batch);
        std::size_t total = 0;
        for (std::size_t h = head; h < end; ++h) {
            if constexpr (Prefetch) {
                // The queue says where the walk goes next: ask for a later
                // head's reverse-edge run and a nearer one's row (its
                // offset kept in the pool: only the pool is asked for).
                if (h + far_ahead < k) {
                    __builtin_prefetch(&runs[queue[h + far_ahead]]);
                    __builtin_prefetch(
                        reverse.data() +
                        std::min<std::size_t>(runs[queue[h + near_ahead]].offset, reverse.size()));
                }
            }
            const NodeIndex node = queue[h];
            const Graph::DependentsRun run = runs[node];
            const auto row = Graph::dependents_row(run, reverse, node);
            edge_start[h] = static_cast<std::uint32_t>(e + total);
            if (flat_room - total < row.size() + row_copy) {
                flat = grow(gathered, total + row.size() + row_copy);
                flat_room = gathered.size();
            }
            // Short rows are copied whole-lane, past their end while the
            // pool lasts: a copy of fixed length has no branch on the length.
            if (row.size() <= row_copy && reverse.size() - run.offset >= row_copy)
                std::memcpy(flat + total, row.data(), row_copy * sizeof(NodeIndex));
            else
                std::ranges::copy(row, flat + total);
            total += row.size();
        }
        if (edge_room - e < total) {
            edges = grow(edge_slots_, e + total);
            edge_room = edge_slots_.size();
        }
        make_room(total);
        // Whether a dependant is new is data: selects and spare stores, not
        // branches, since a mispredicted branch costs more than both.
        for (std::size_t i = 0; i < total; ++i) {
            if constexpr (Prefetch) {
                // The stamps of the dependants a few visits on.
                if (i + visits_ahead < total && flat[i + visits_ahead] < n)
                    __builtin_prefetch(&stamps[flat[i + visits_ahead]]);
            }
            const NodeIndex d = flat[i];
            check_index(d, n, "nodes");
            const std::uint32_t stamp = stamps[d];
            const std::uint32_t fresh = stamp <= base ? 1U : 0U;
            const std::uint32_t new_slot = 0U - fresh;  // all ones when fresh
            const std::uint32_t slot =
                ((stamp - base - 1) & ~new_slot) | (static_cast<std::uint32_t>(k) & new_slot);
            queue[k] = d;
            waiting[k] = 0;
            ++waiting[slot];
            stamps[d] = base + slot + 1;
            k += fresh;
            edges[e++] = slot;
        }
        head = end;
    }
    edge_start[k] = static_cast<std::uint32_t>(e);
    nodes_.resize(k);
    waiting_.resize(k);
    edge_start_.resize(k + 1);
    // One element past the last run, for the cascade's lanes to read.
    if (edge_slots_.size() == e)
        edges = grow(edge_slots_, e + 1);
    edges[e] = 0;
    edge_slots_.resize(e + 1);
    return entered;
}

// Marks a slot settled outside the cascade (an input given a hash, a
// report) and releases its dependants. When the node's key moved, their
// stored signatures no longer match their folds.
void Round::settle(std::size_t slot, bool moved) {
    set_status(slot, Status::settled);
    ++settled_total_;
    const std::uint32_t first = edge_start_[slot];
    const std::uint32_t end = edge_start_[slot + 1];
    if (moved)
        for (std::uint32_t e = first; e < end; ++e)
            graph_->set_fold_current(nodes_[edge_slots_[e]], false);
    work_tail_ = release_dependants(first, end, edge_slots_.data(), waiting_.data(),
                                    worklist_.data(), work_tail_);
}

// Visits the slots whose deps all settled, first in, first out: a node's
// dependants come in the order of its reverse edges, which is mostly the
// cached order, so what they make available needs little sorting. A visit
// settles the node when its fold matches, otherwise makes it available to
// hand out. Most of a round is settled here: locals, not members, in the
// loop, since a store through a byte pointer may alias any member.
void Round::cascade() {
    Graph& g = *graph_;
    Node* const records = g.nodes_.data();
    std::uint8_t* const bits_of = g.bits_.data();
    const NodeIndex* const closure = nodes_.data();
    std::uint8_t* const flags = flags_.data();
    std::uint32_t* const waiting = waiting_.data();
    const std::uint32_t* const edge_start = edge_start_.data();
    const std::uint32_t* const edges = edge_slots_.data();
    std::uint32_t* const work = worklist_.data();
    std::size_t head = work_head_;
    std::size_t tail = work_tail_;
    std::size_t settled = 0;
    while (head < tail) {
        const std::uint32_t slot = work[head++];
        if (static_cast<Status>(flags[slot] & status_mask) != Status::waiting)
            continue;  // an input given a hash, settled when the round began
        // Only the node's bits, unless it folds: most of a closure settles
        // without reading its record.
        std::uint8_t& bits = bits_of[closure[slot]];
        if ((bits & node_bits::input) != 0) {
            // An input not given a hash keeps its value: committed with the hash it has.
            Node& node = records[closure[slot]];
            node.signature = node.content_hash;
            node.has_signature = true;
        } else if ((flags[slot] & forced_flag) || (bits & node_bits::fold_current) == 0) {
            // Folds only when a dep's key may have moved since the signature
            // was folded: most of a closure settles without reading its deps.
            const Node& node = records[closure[slot]];
            const std::uint64_t folded = g.fold_signature(node);
            if ((flags[slot] & forced_flag) || !node.has_signature || node.signature != folded) {
                signature_[slot] = folded;
                flags[slot] = static_cast<std::uint8_t>(
                    (flags[slot] & ~status_mask) | static_cast<std::uint8_t>(Status::available));
                available_.push_back(slot);  // room for the closure; heaped when needed
                continue;
            }
            bits |= node_bits::fold_current;
        }
        bits &= static_cast<std::uint8_t>(~node_bits::state);  // clean
        flags[slot] = static_cast<std::uint8_t>((flags[slot] & ~status_mask) |
                                                static_cast<std::uint8_t>(Status::settled));
        ++settled;
        tail =
            release_dependants(edge_start[slot], edge_start[slot + 1], edges, waiting, work, tail);
    }
    work_head_ = head;
    work_tail_ = tail;
    settled_in_kernel_ += settled;
    settled_total_ += settled;
}

// Sorts slots by their nodes' places in the cached order, reading each
// place once rather than at every comparison. Cannot fail: the keys' room
// was reserved for the whole closure.
void Round::sort_in_order(std::vector<std::uint32_t>& slots) {
    if (slots.size() < 2)
        return;
    order_keys_.clear();
    for (std::uint32_t slot : slots)
        order_keys_.push_back((std::uint64_t{position(slot)} << 32) | slot);
    if (std::ranges::is_sorted(order_keys_))
        return;  // reports often arrive in the order their batch went out
    std::ranges::sort(order_keys_);
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i] = static_cast<std::uint32_t>(order_keys_[i]);
}

// Gives the commits reported since the last flush their epochs, in
// topological order whatever the order of the reports, and leaves pending_
// in that order. Cannot fail: the room was reserved and checked at begin()
// and report().
void Round::give_epochs() {
    sort_in_order(pending_);
    for (std::uint32_t slot : pending_)
        if (flags_[slot] & changed_flag) {
            graph_->note_new_epoch(nodes_[slot]);
            node_at(slot).epoch = ++graph_->epoch_counter_;
            flags_[slot] = static_cast<std::uint8_t>((flags_[slot] & ~changed_flag) | moved_flag);
        }
}

// Settles the reports since the last flush, and what they unblocked.
void Round::flush() {
    if (pending_.empty())
        return;
    give_epochs();
    for (std::uint32_t slot : pending_)
        settle(slot, (flags_[slot] & moved_flag) != 0);
    pending_.clear();
    cascade();
    finish_if_done();
}

void Round::finish_if_done() noexcept {
    if (phase_ != Phase::open || settled_total_ != scheduled_)
        return;
    phase_ = Phase::finished;
    graph_->open_round_ = nullptr;
    release_memory();
}

RoundRefusal Round::refusal_for_phase() const {
    if (phase_ == Phase::ended)
        return state_refusal(
            "the round was ended by another call on its graph (a structural change or a "
            "per-node protocol call)");
    if (phase_ == Phase::idle)
        return state_refusal("the round has not begun");
    return state_refusal("the round is closed");
}

RoundResult<const Handout*> Round::peek_next() {
    if (phase_ == Phase::finished)
        return nullptr;
    if (phase_ != Phase::open)
        return std::unexpected(RoundError(refusal_for_phase()));
    if (outstanding() != 0)
        return std::unexpected(RoundError(state_refusal(
            outstanding() == 1
                ? "report the node handed out with done() before asking for the next one"
                : "report the nodes handed out with done() before asking for the next one")));
    flush();  // nothing outstanding: only a ready() batch's reports can wait here
    if (available_.empty())
        return nullptr;
    while (heaped_ < available_.size())
        std::ranges::push_heap(std::span(available_).first(++heaped_), later_in_order());
    const std::uint32_t slot = available_.front();
    next_ = Handout{nodes_[slot], signature_[slot]};
    return &next_;
}

// Hands a slot out: its node computes until it is reported.
void Round::hand_out(std::uint32_t slot) {
    set_status(slot, Status::out);
    flags_[slot] |= handed_flag;
    graph_->set_state(nodes_[slot], NodeState::Computing);
    ++handed_out_;
}

void Round::take_next() {
    std::ranges::pop_heap(available_, later_in_order());  // peek_next() heaped them all
    const std::uint32_t slot = available_.back();
    available_.pop_back();
    --heaped_;
    hand_out(slot);
}

RoundResult<std::vector<Handout>> Round::peek_ready() {
    if (phase_ == Phase::finished)
        return std::vector<Handout>();
    if (phase_ != Phase::open)
        return std::unexpected(RoundError(refusal_for_phase()));
    flush();
    sort_in_order(available_);  // sorted, any prefix is still a heap
    std::vector<Handout> batch;
    batch.reserve(available_.size());
    for (std::uint32_t slot : available_)
        batch.push_back(Handout{nodes_[slot], signature_[slot]});
    return batch;
}

void Round::take_ready() {
    for (std::uint32_t slot : available_)
        hand_out(slot);
    available_.clear();
    heaped_ = 0;
}

// Another traversal took the marks: the round's own table from now on.
std::size_t Round::number_from_table(NodeIndex node) {
    if (slot_of_.empty()) {
        slot_of_.assign(graph_->nodes_.size(), 0);
        for (std::size_t s = 0; s < nodes_.size(); ++s)
            slot_of_[nodes_[s]] = static_cast<std::uint32_t>(s + 1);
    }
    return node < slot_of_.size() ? slot_of_[node] : 0;
}

RoundResult<void> Round::done(std::string_view id, bool changed,
                              std::optional<std::uint64_t> epoch) {
    return report(phase_ == Phase::open ? graph_->find(id) : IdIndex::absent, id, changed, epoch);
}

RoundResult<void> Round::done(NodeIndex node, bool changed, std::optional<std::uint64_t> epoch) {
    check_index(node, graph_->nodes_.size(), "nodes");
    return report(node, {}, changed, epoch);
}

// `id` is the node's id, or empty when the caller knows the node and the id
// is looked up only for a refusal's message.
RoundResult<void> Round::report(NodeIndex node, std::string_view id, bool changed,
                                std::optional<std::uint64_t> epoch) {
    const auto name = [&] {
        return quoted(id.empty() && node != IdIndex::absent ? graph_->id_of(node) : id);
    };
    if (phase_ == Phase::finished)
        return std::unexpected(RoundError(
            value_refusal("node " + name() + " cannot be reported: the round is finished")));
    if (phase_ != Phase::open)
        return std::unexpected(RoundError(refusal_for_phase()));
    const std::size_t slot = node == IdIndex::absent ? 0 : number_of(node);
    if (slot == 0 || !(flags_[slot - 1] & handed_flag))
        return std::unexpected(
            RoundError(value_refusal("node " + name() + " was not handed out by this round")));
    if (status(slot - 1) != Status::out)
        return std::unexpected(
            RoundError(value_refusal("node " + name() + " was already reported")));
    const std::size_t s = slot - 1;
    if (epoch) {
        // Against the counter as it stands: the epochs a batch's commits
        // are still to take were never held, whatever the order of reports.
        if (auto claimed = graph_->claim_epoch(node, *epoch); !claimed)
            return std::unexpected(RoundError(std::move(claimed.error())));
        graph_->reserve_epoch_notes(scheduled_);  // the index may be new
    } else if (changed && new_epochs_ >= epochs_left_) [[unlikely]] {
        // Each change reported takes an epoch at its flush; refusing here,
        // before anything is written, keeps flush() and abandon() from ever
        // wrapping.
        return std::unexpected(RoundError(GraphError(EpochsExhausted{})));
    }
    // pending_ has room for the whole closure: nothing below can fail.
    Node& n = node_at(s);
    graph_->set_state(node, NodeState::Clean);
    n.signature = signature_[s];
    n.has_signature = true;
    graph_->set_fold_current(node, true);
    set_status(s, Status::reported);
    if (epoch) {
        // Written now, seen by no other node before the flush settles it.
        if (n.epoch != *epoch) {
            n.epoch = *epoch;
            flags_[s] |= moved_flag;
        }
    } else if (changed) {
        flags_[s] |= changed_flag;
        ++new_epochs_;
    }
    ++(changed ? committed_ : skipped_);
    pending_.push_back(static_cast<std::uint32_t>(s));
    // A complete batch: flushing now or at the next request gives the same
    // result, and this way a round whose last report is in is finished.
    if (outstanding() == 0)
        flush();
    return {};
}

void Round::abandon(Phase phase) noexcept {
    if (phase_ != Phase::open)
        return;
    give_epochs();  // reports that were accepted stand
    for (std::size_t s = 0; s < nodes_.size(); ++s) {
        const Status st = status(s);
        if (st == Status::settled || st == Status::reported)
            continue;
        graph_->set_state(nodes_[s], NodeState::Dirty);
        // A dep may have moved with no round left to refold it.
        graph_->set_fold_current(nodes_[s], false);
        // A seed stays a seed: its deps may well keep their keys, and then
        // only being a seed gets it handed out. Room reserved by begin().
        if (flags_[s] & forced_flag) [[unlikely]]
            graph_->unsettled_seeds_.push_back(nodes_[s]);
        else
            graph_->unsettled_.push_back(nodes_[s]);
    }
    phase_ = phase;
    graph_->open_round_ = nullptr;
    release_memory();
}

void Round::release_memory() noexcept {
    nodes_ = {};
    slot_of_ = {};
    waiting_ = {};
    edge_start_ = {};
    edge_slots_ = {};
    flags_ = {};
    signature_ = {};
    available_ = {};
    heaped_ = 0;
    worklist_ = {};
    work_head_ = 0;
    work_tail_ = 0;
    pending_ = {};
    order_keys_ = {};
}

}  // namespace quorl::core
