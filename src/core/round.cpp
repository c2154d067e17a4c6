// Update rounds: the loop over the change closure, run inside the kernel.
#include "core/round.hpp"

#include <algorithm>
#include <functional>
#include <new>

namespace quorl::core {

namespace {

// How many places ahead in its queue a walk asks for the memory it will read:
// far enough to hide a miss, near enough that the lines are still cached.
constexpr std::size_t far_ahead = 16;
constexpr std::size_t near_ahead = 8;
constexpr std::size_t next_ahead = 4;

RoundRefusal value_refusal(std::string message) {
    return {RoundRefusal::Kind::value, std::move(message)};
}

RoundRefusal state_refusal(std::string message) {
    return {RoundRefusal::Kind::state, std::move(message)};
}

}  // namespace

void Graph::end_round() noexcept {
    if (open_round_ != nullptr)
        open_round_->end();
}

// Flattened: the compiler keeps std::vector's push_back and the round's
// helpers out of line here, a call per closure node and edge (11% of a
// round's instructions on the main job's graph).
[[gnu::flatten]] RoundResult<void> Round::begin(std::span<const InputHash> inputs,
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
    starts.reserve(inputs.size() + seeds.size() + g.unsettled_.size());
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
            return std::unexpected(RoundError(value_refusal(
                "input " + quoted(id) + " is a seed without a hash: give its hash in inputs")));
        starts.push_back(i);
    }
    const std::size_t last_seed = starts.size();
    starts.insert(starts.end(), g.unsettled_.begin(), g.unsettled_.end());

    // The closure, breadth first, in the round's own memory: the graph is
    // not written until everything is allocated. Each edge out of a closure
    // node is met exactly once here, so the same pass counts every node's
    // deps in the closure. The closure stays in traversal order: only the
    // few nodes handed out need ordering, by their cached position.
    const std::size_t n = g.nodes_.size();
    // Zero pages from calloc cost nothing until touched: a small closure in a
    // large graph pays for the slots it uses only.
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    slot_of_.reset(static_cast<std::uint32_t*>(std::calloc(n == 0 ? 1 : n, sizeof(std::uint32_t))));
    if (!slot_of_)
        throw std::bad_alloc();
    nodes_.clear();
    waiting_.clear();
    edge_start_.clear();
    edge_slots_.clear();
    const auto enter = [this](NodeIndex node, std::uint32_t deps_met) {
        nodes_.push_back(node);
        waiting_.push_back(deps_met);
        slot_of_[node] = static_cast<std::uint32_t>(nodes_.size());
    };
    for (NodeIndex start : starts) {
        check_index(start, n, "nodes");
        if (slot_of_[start] == 0)
            enter(start, 0);
    }
    // nodes_ grows while it is walked (it is the queue): indices, not iterators.
    // Heads leave the queue in slot order, so each head's dependants' slots
    // land in one run of edge_slots_, which settling walks later instead of
    // reading the graph's reverse edges and the slot table again.
    // NOLINTNEXTLINE(modernize-loop-convert)
    for (std::size_t head = 0; head < nodes_.size(); ++head) {
        // The walk is a chain of cache misses, and the queue says where it
        // goes next: each step asks for a later head's reverse-edge run, a
        // nearer one's row and the next ones' slots.
        if (head + far_ahead < nodes_.size()) {
            __builtin_prefetch(&g.dependents_runs_[nodes_[head + far_ahead]]);
            __builtin_prefetch(g.dependents(nodes_[head + near_ahead]).data());
            for (NodeIndex d : g.dependents(nodes_[head + next_ahead]))
                __builtin_prefetch(&slot_of_[d]);
        }
        edge_start_.push_back(static_cast<std::uint32_t>(edge_slots_.size()));
        for (NodeIndex d : g.dependents(nodes_[head])) {
            check_index(d, n, "nodes");
            std::uint32_t slot = slot_of_[d];
            if (slot == 0) {
                enter(d, 1);
                slot = static_cast<std::uint32_t>(nodes_.size());
            } else {
                ++waiting_[slot - 1];
            }
            edge_slots_.push_back(slot - 1);
        }
    }
    edge_start_.push_back(static_cast<std::uint32_t>(edge_slots_.size()));
    const std::size_t k = nodes_.size();
    flags_.assign(k, 0);
    signature_.assign(k, 0);
    available_.reserve(k);
    worklist_.reserve(k);
    pending_.reserve(k);
    order_keys_.reserve(k);
    g.unsettled_.reserve(k);  // abandon() only appends; it must not throw

    // Writes.
    for (std::size_t s = 0; s < k; ++s) {
        if (s + near_ahead < k)
            __builtin_prefetch(&g.nodes_[nodes_[s + near_ahead]], 1);
        g.nodes_[nodes_[s]].state = NodeState::Dirty;
    }
    for (std::size_t j = 0; j < first_seed; ++j) {  // the inputs, found by the checks
        const NodeIndex i = starts[j];
        Node& node = g.nodes_[i];
        if (node.content_hash != inputs[j].content_hash)
            flags_[slot_of_[i] - 1] |= moved_flag;
        node.content_hash = inputs[j].content_hash;
        node.signature = inputs[j].content_hash;
        node.has_signature = true;
        node.state = NodeState::Clean;
        flags_[slot_of_[i] - 1] |= given_flag;
    }
    for (std::size_t j = first_seed; j < last_seed; ++j) {
        const std::size_t slot = slot_of_[starts[j]] - 1;
        if (!(flags_[slot] & given_flag))
            flags_[slot] |= forced_flag;
    }
    g.unsettled_.clear();
    g.open_round_ = this;
    g.folds_recorded_ = true;
    phase_ = Phase::open;
    scheduled_ = k;

    for (std::size_t s = 0; s < k; ++s)
        if (flags_[s] & given_flag) {
            set_status(s, Status::settled);
            ++settled_in_kernel_;
            ++settled_total_;
        }
    for (std::size_t s = 0; s < k; ++s)
        if (waiting_[s] == 0 && status(s) == Status::waiting)
            worklist_.push_back(static_cast<std::uint32_t>(s));
    for (std::size_t s = 0; s < k; ++s)
        if (flags_[s] & given_flag)
            settle(s, (flags_[s] & moved_flag) != 0);
    cascade();
    finish_if_done();
    return {};
}

// Marks a slot settled and lets its dependants in the closure go once all
// their deps are settled. When the node's key moved, their stored
// signatures no longer match their folds.
void Round::settle(std::size_t slot, bool moved) {
    const std::uint32_t end = edge_start_[slot + 1];
    for (std::uint32_t e = edge_start_[slot]; e < end; ++e) {
        const std::uint32_t s = edge_slots_[e];
        if (moved)
            node_at(s).fold_current = false;
        if (--waiting_[s] == 0)
            worklist_.push_back(s);
    }
}

// First in, first out: a node's dependants are visited in the order of its
// reverse edges, which is mostly the cached order, so what they make
// available needs little sorting.
void Round::cascade() {
    // visit() appends while the list is walked: indices, not iterators.
    // NOLINTNEXTLINE(modernize-loop-convert)
    for (std::size_t i = 0; i < worklist_.size(); ++i)
        visit(worklist_[i]);
    worklist_.clear();
}

// A slot whose deps are all settled: settle it here when its fold matches,
// otherwise make it available to hand out.
void Round::visit(std::size_t slot) {
    if (status(slot) != Status::waiting)
        return;  // an input given a hash, settled when the round began
    Node& node = node_at(slot);
    if (node.kind == NodeKind::Input) {
        // An input not given a hash keeps its value: committed with the hash it has.
        node.signature = node.content_hash;
        node.has_signature = true;
    } else if ((flags_[slot] & forced_flag) || !node.fold_current) {
        // Folds only when a dep's key may have moved since the signature was
        // folded: most of a closure settles without reading its deps.
        const std::uint64_t folded = graph_->fold_signature(node);
        if ((flags_[slot] & forced_flag) || !node.has_signature || node.signature != folded) {
            signature_[slot] = folded;
            set_status(slot, Status::available);
            available_.push_back(static_cast<std::uint32_t>(slot));  // heaped when needed
            return;
        }
        node.fold_current = true;
    }
    node.state = NodeState::Clean;
    set_status(slot, Status::settled);
    ++settled_in_kernel_;
    ++settled_total_;
    settle(slot, false);
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
// topological order, then settles what those reports unblocked.
// Flattened for the same reason as begin(): it settles most of a round.
[[gnu::flatten]] void Round::flush() {
    if (pending_.empty())
        return;
    sort_in_order(pending_);
    for (std::uint32_t slot : pending_)
        if (flags_[slot] & changed_flag) {
            Node& node = node_at(slot);
            node.epoch = ++graph_->epoch_counter_;  // wraps modulo 2^64
            flags_[slot] = static_cast<std::uint8_t>((flags_[slot] & ~changed_flag) | moved_flag);
        }
    for (std::uint32_t slot : pending_) {
        set_status(slot, Status::settled);
        ++settled_total_;
        settle(slot, (flags_[slot] & moved_flag) != 0);
    }
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

void Round::take_next() {
    std::ranges::pop_heap(available_, later_in_order());  // peek_next() heaped them all
    const std::uint32_t slot = available_.back();
    available_.pop_back();
    --heaped_;
    set_status(slot, Status::out);
    flags_[slot] |= handed_flag;
    node_at(slot).state = NodeState::Computing;
    ++handed_out_;
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
    for (std::uint32_t slot : available_) {
        set_status(slot, Status::out);
        flags_[slot] |= handed_flag;
        node_at(slot).state = NodeState::Computing;
    }
    handed_out_ += available_.size();
    available_.clear();
    heaped_ = 0;
}

RoundResult<void> Round::done(std::string_view id, bool changed) {
    if (phase_ == Phase::finished)
        return std::unexpected(RoundError(
            value_refusal("node " + quoted(id) + " cannot be reported: the round is finished")));
    if (phase_ != Phase::open)
        return std::unexpected(RoundError(refusal_for_phase()));
    const NodeIndex i = graph_->find(id);
    const std::size_t slot = i == IdIndex::absent ? 0 : std::size_t{slot_of_[i]};
    if (slot == 0 || !(flags_[slot - 1] & handed_flag))
        return std::unexpected(
            RoundError(value_refusal("node " + quoted(id) + " was not handed out by this round")));
    if (status(slot - 1) != Status::out)
        return std::unexpected(
            RoundError(value_refusal("node " + quoted(id) + " was already reported")));
    const std::size_t s = slot - 1;
    // pending_ has room for the whole closure: nothing below can fail.
    Node& node = node_at(s);
    node.state = NodeState::Clean;
    node.signature = signature_[s];
    node.has_signature = true;
    node.fold_current = true;
    set_status(s, Status::reported);
    if (changed) {
        flags_[s] |= changed_flag;
        ++committed_;
    } else {
        ++skipped_;
    }
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
    // Reports that were accepted stand: their epochs, in topological order.
    std::ranges::sort(pending_, earlier_in_order());
    for (std::uint32_t slot : pending_)
        if (flags_[slot] & changed_flag)
            node_at(slot).epoch = ++graph_->epoch_counter_;
    for (std::size_t s = 0; s < nodes_.size(); ++s) {
        const Status st = status(s);
        if (st == Status::settled || st == Status::reported)
            continue;
        Node& node = node_at(s);
        node.state = NodeState::Dirty;
        node.fold_current = false;  // a dep may have moved with no round left to refold it
        graph_->unsettled_.push_back(nodes_[s]);  // room reserved by begin()
    }
    phase_ = phase;
    graph_->open_round_ = nullptr;
    release_memory();
}

void Round::release_memory() noexcept {
    nodes_ = {};
    slot_of_.reset();
    waiting_ = {};
    edge_start_ = {};
    edge_slots_ = {};
    flags_ = {};
    signature_ = {};
    available_ = {};
    heaped_ = 0;
    worklist_ = {};
    pending_ = {};
    order_keys_ = {};
}

}  // namespace quorl::core
