// An update round driven by the kernel. It walks the change closure in the
// cached topological order, folds each node's signature as check_node does,
// settles every node whose signature equals the stored one as skip_node
// would, and hands out only the nodes that need a value, as (node, signature).
//
// Sequential use (peek_next / take_next / done, one node at a time) leaves
// every node's state, signature and epoch, and the epoch counter, exactly as
// the per-node protocol leaves them with the same decisions in topological
// order. Parallel use (peek_ready / take_ready / done) hands out batches; the
// commits reported since the last batch get their epochs in topological order
// when the batch is complete or the next batch is asked for (restored ones
// keep the epoch they took back), so the order of reports within a batch
// does not matter.
//
// A round works on the closure only: it needs O(k + e) memory for a closure of
// k nodes and e edges out of them while open, numbers the closure in the
// graph's visit marks, and frees it all when it finishes or is abandoned. An
// abandoned round leaves its unsettled nodes to the graph's next round, the
// seeds among them still seeds. round.cpp opens with how it works. A Round
// must not outlive its Graph.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/graph.hpp"

namespace quorl::core {

// A round refused a call that the graph errors do not cover.
struct RoundRefusal {
    enum class Kind : std::uint8_t {
        value,  // bad argument: a non-input given a hash, a node not handed out, ...
        state,  // the round or the graph is not in a state for the call
    };
    Kind kind;
    std::string message;
};

using RoundError = std::variant<GraphError, RoundRefusal>;

// An allocator whose resize leaves the new elements uninitialised: a round's
// buffers are written before they are read, and zeroing them would cost a
// pass over the closure at every growth.
template <typename T>
struct NoInit : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = NoInit<U>;
    };
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <typename T>
using Scratch = std::vector<T, NoInit<T>>;

template <typename T>
using RoundResult = std::expected<T, RoundError>;

struct InputHash {
    std::string_view id;
    std::uint64_t content_hash;
};

struct Handout {
    NodeIndex node;
    std::uint64_t signature;
};

class Round {
public:
    enum class Phase : std::uint8_t { idle, open, finished, closed, ended };

    explicit Round(Graph& graph) noexcept : graph_(&graph) {}
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;
    ~Round() { abandon(Phase::closed); }

    // Starts the round: like mark_dirty(inputs + seeds) followed by
    // commit_input of every input, with the nodes an abandoned round left
    // unsettled joined in (its seeds as seeds), then settles what it can.
    // Checks everything and allocates everything before the first write, so
    // a failure changes nothing. O(k log k + edges of k).
    RoundResult<void> begin(std::span<const InputHash> inputs,
                            std::span<const std::string_view> seeds);

    // Sequential use: the next node that needs a value, without handing it
    // out yet (nullptr when the round is finished), then take_next() hands it
    // out. Refused while a node handed out is not reported.
    RoundResult<const Handout*> peek_next();
    void take_next();

    // Parallel use: every node computable now, in topological order, without
    // handing them out yet; take_ready() hands them out.
    RoundResult<std::vector<Handout>> peek_ready();
    void take_ready();

    // Reports a node handed out: changed=true commits it like commit_node,
    // false like skip_node. With `epoch`, the node takes back that epoch as
    // restore_node does, consuming none, and `changed` only says how the
    // report is counted; its dependants see a moved key when the epoch is
    // not the one it had. O(1), plus the settling it unblocks. By index, for
    // a caller that kept the node it was handed: no id lookup.
    RoundResult<void> done(std::string_view id, bool changed,
                           std::optional<std::uint64_t> epoch = std::nullopt);
    RoundResult<void> done(NodeIndex node, bool changed,
                           std::optional<std::uint64_t> epoch = std::nullopt);

    // Abandons the round: commits what was reported, leaves every node not
    // settled dirty and remembers it for the graph's next round. Idempotent;
    // a finished round is unaffected.
    void close() noexcept { abandon(Phase::closed); }
    // The same, when another call on the graph ends the round.
    void end() noexcept { abandon(Phase::ended); }

    Phase phase() const noexcept { return phase_; }
    const Graph& graph() const noexcept { return *graph_; }

    std::size_t scheduled() const noexcept { return scheduled_; }
    std::size_t settled() const noexcept { return settled_in_kernel_; }
    std::size_t handed_out() const noexcept { return handed_out_; }
    std::size_t committed() const noexcept { return committed_; }
    std::size_t skipped() const noexcept { return skipped_; }
    std::size_t outstanding() const noexcept { return handed_out_ - committed_ - skipped_; }

private:
    // Per-slot status; a slot is a closure node's place in nodes_.
    enum class Status : std::uint8_t { waiting, available, out, reported, settled };
    static constexpr std::uint8_t status_mask = 0x07;
    static constexpr std::uint8_t forced_flag = 0x08;   // a seed: handed out whatever its fold
    static constexpr std::uint8_t handed_flag = 0x10;   // was handed out
    static constexpr std::uint8_t changed_flag = 0x20;  // reported changed, epoch pending
    static constexpr std::uint8_t given_flag = 0x40;    // an input with a new hash
    static constexpr std::uint8_t moved_flag = 0x80;    // its key changed this round

    Status status(std::size_t slot) const noexcept {
        return static_cast<Status>(flags_[slot] & status_mask);
    }
    void set_status(std::size_t slot, Status s) noexcept {
        flags_[slot] =
            static_cast<std::uint8_t>((flags_[slot] & ~status_mask) | static_cast<std::uint8_t>(s));
    }
    Node& node_at(std::size_t slot) { return graph_->nodes_[nodes_[slot]]; }
    // Slots compared by their nodes' places in the cached topological order.
    NodeIndex position(std::uint32_t slot) const {
        const NodeIndex node = nodes_[slot];
        check_index(node, graph_->position_.size(), "positions");
        return graph_->position_[node];
    }
    auto later_in_order() const {  // makes the std heap functions a min-heap
        return [this](std::uint32_t a, std::uint32_t b) { return position(a) > position(b); };
    }

    RoundRefusal refusal_for_phase() const;
    static std::string unhashed_input_seed(const Graph& g, NodeIndex i, std::string_view id);
    RoundResult<void> report(NodeIndex node, std::string_view id, bool changed,
                             std::optional<std::uint64_t> epoch);
    // A closure node's slot + 1, 0 for any other node.
    std::size_t number_of(NodeIndex node) {
        const Graph::VisitMarks& marks = graph_->marks_;
        if (marks.uses() != marks_use_ || !slot_of_.empty()) [[unlikely]]
            return number_from_table(node);
        // Stamps below the base wrap past every slot.
        const std::uint32_t number = marks.stamp(node) - number_base_;
        return number <= nodes_.size() ? number : 0;
    }
    std::size_t number_from_table(NodeIndex node);
    void sort_in_order(std::vector<std::uint32_t>& slots);
    void give_epochs();
    void flush();
    void settle(std::size_t slot, bool moved);
    template <bool Prefetch>
    std::size_t walk(std::span<const NodeIndex> starts);
    void cascade();
    void hand_out(std::uint32_t slot);
    void finish_if_done() noexcept;
    void abandon(Phase phase) noexcept;
    void release_memory() noexcept;

    Graph* graph_;
    Phase phase_ = Phase::idle;

    Scratch<NodeIndex> nodes_;  // the closure, in traversal order
    // The walk numbers each closure node slot + 1 in the graph's visit
    // marks, over number_base_, so no table of the graph's size is zeroed
    // per round. A traversal during the round reuses the marks (marks_use_
    // tells): the first report after one copies the numbers into slot_of_.
    std::uint32_t number_base_ = 0;
    std::uint64_t marks_use_ = 0;
    std::vector<std::uint32_t> slot_of_;
    Scratch<std::uint32_t> waiting_;  // deps in the closure not settled yet
    // The closure's own edges: slot s's dependants are the slots
    // edge_slots_[edge_start_[s] .. edge_start_[s + 1]).
    Scratch<std::uint32_t> edge_start_;
    Scratch<std::uint32_t> edge_slots_;
    std::vector<std::uint8_t> flags_;
    Scratch<std::uint64_t> signature_;  // the fold handed out with the node
    // Slots that need a value; the first heaped_ form a min-heap by place in
    // the cached order. Only one-at-a-time use needs the heap: a batch is
    // sorted, and visits in a batch's wake mostly come in order already.
    std::vector<std::uint32_t> available_;
    std::size_t heaped_ = 0;
    // Slots whose deps all settled, each once: those before work_head_ are
    // visited, the rest wait for cascade().
    Scratch<std::uint32_t> worklist_;
    std::size_t work_head_ = 0;
    std::size_t work_tail_ = 0;
    std::vector<std::uint32_t> pending_;     // reported since the last flush
    std::vector<std::uint64_t> order_keys_;  // sort_in_order's (place, slot) keys
    Handout next_{};                         // what peek_next() shows

    std::size_t scheduled_ = 0;
    std::size_t settled_total_ = 0;
    std::size_t settled_in_kernel_ = 0;
    std::size_t handed_out_ = 0;
    std::size_t committed_ = 0;
    std::size_t skipped_ = 0;
    std::size_t new_epochs_ = 0;     // commits reported that take a new epoch
    std::uint64_t epochs_left_ = 0;  // commits the counter has room for at begin()
};

}  // namespace quorl::core
