// The graph kernel: named nodes, their kinds and deps, and each node's
// bookkeeping. Plain data and functions; it knows nothing of Python.
//
// Every operation returns its result or a GraphError and leaves the graph as
// it was when it fails (a build() that finds a cycle keeps the reverse edges
// it recomputed). std::bad_alloc, and std::length_error past the 32-bit
// limits below, are thrown before anything is changed. Broken invariants
// throw InternalFault.
//
// Const operations may use the graph's traversal scratch, so calls on one
// graph must not overlap; the binding layer serialises them.
//
// An open update round (round.hpp) works on states it wrote itself, so the
// operations that write end it: a successful add_node, set_deps or build
// after its change (the change touches no state or epoch, so after is the
// same as before, and a refused change keeps the round); remove_nodes once
// its checks pass, before its writes renumber the nodes; a per-node call on
// a known id before it runs (an unknown id leaves the round; restore_node
// checks its epoch first, so a refused one leaves it too); mark_dirty
// before it marks. check_node is such a per-node call, which is why it is
// not const.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "core/errors.hpp"
#include "core/id_index.hpp"
#include "core/snapshot.hpp"

namespace quorl::core {

enum class NodeKind : std::uint8_t { Input, Source, Reactive, View };
enum class NodeState : std::uint8_t { Clean, Dirty, Computing };

std::string_view to_string(NodeKind kind) noexcept;
std::string_view to_string(NodeState state) noexcept;

// Node indices are 32-bit: a graph holds at most this many nodes, and its
// deps storage at most this many entries.
inline constexpr std::size_t max_nodes = UINT32_MAX;
inline constexpr std::size_t max_dep_entries = UINT32_MAX;

// The last epoch a commit may hand out. No graph commits 2^63 times, so a
// counter past it can only come from crafted bytes, and a commit never wraps
// the counter back to an epoch a node may still hold.
inline constexpr std::uint64_t max_epoch = (std::uint64_t{1} << 63) - 1;

// Signature fold constants.
inline constexpr std::uint64_t fold_start = 0x14650FB0739D0383ull;
inline constexpr std::uint64_t fold_multiplier = 0x100000001B3ull;

// Makes room for `extra` more elements, growing geometrically so that
// reserving ahead of every insertion stays amortised O(1).
template <typename T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
    if (v.capacity() - v.size() < extra)
        v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

struct Node {
    std::uint64_t epoch = 0;
    std::uint64_t signature = 0;     // meaningful when has_signature
    std::uint64_t content_hash = 0;  // 0 until commit_input: the key an uncommitted input folds
    std::uint64_t id_offset = 0;     // into Graph::id_bytes
    std::uint32_t id_length = 0;
    std::uint32_t deps_offset = 0;  // into Graph::dep_pool
    std::uint32_t deps_count = 0;
    NodeKind kind = NodeKind::Input;
    bool has_signature = false;
    bool edited = false;  // deps replaced since the last successful build
};
// Compact records are what keeps a large graph in memory and cache; the test
// that breaks an invariant on purpose also relies on this layout.
static_assert(sizeof(Node) == 48 && offsetof(Node, deps_count) == 40);

// The bits of a node that a round reads and writes for every node it
// settles, one byte per node beside the records (Graph::bits_): settling a
// node costs a byte, not a record's cache line.
namespace node_bits {
inline constexpr std::uint8_t state = 0x03;  // the NodeState
// The signature equals the fold over the deps' current keys, so a round
// may settle the node without reading its deps. Set only by rounds, which
// fold; cleared whenever the signature, the deps or a dep's key changes.
inline constexpr std::uint8_t fold_current = 0x04;
inline constexpr std::uint8_t input = 0x08;  // the record's kind is Input
inline constexpr std::uint8_t all = 0x0F;

constexpr std::uint8_t of(NodeKind kind, NodeState s) noexcept {
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(s) |
                                     (kind == NodeKind::Input ? input : 0));
}
}  // namespace node_bits

class Round;

// What an operation over one node returns: `T` as a Result, once.
template <typename T> struct ResultOfImpl {
    using type = Result<T>;
};
template <typename T> struct ResultOfImpl<Result<T>> {
    using type = Result<T>;
};
template <typename T>
using ResultOf = typename ResultOfImpl<T>::type;

struct CheckResult {
    NodeKind kind;
    bool needs_recompute;
    std::uint64_t signature;
};

class Graph {
public:
    // --- Store ---------------------------------------------------------------

    // O(|id|) expected.
    Result<void> add_node(std::string_view id, std::string_view kind);
    // Replaces the deps of `id`; repeats keep their first place. O(|deps|) expected.
    Result<void> set_deps(std::string_view id, std::span<const std::string_view> deps);

    // Unregisters the nodes, which must include every node that depends on
    // one of them; all or nothing, repeats ignored. The survivors keep their
    // order, and a built graph stays built. O(n + e + id bytes).
    Result<void> remove_nodes(std::span<const std::string_view> ids);

    std::size_t size() const noexcept { return nodes_.size(); }
    // The bytes the graph's own tables hold, room to grow included: what it
    // costs beyond its fixed part. O(1).
    std::size_t heap_bytes() const noexcept;
    bool contains(std::string_view id) const noexcept { return find(id) != IdIndex::absent; }

    Result<NodeIndex> index_of(std::string_view id) const;
    // Resolves ids in order; the first unknown one ends the walk.
    Result<std::vector<NodeIndex>> indices_of(std::span<const std::string_view> ids) const;

    std::string_view id_of(NodeIndex node) const;
    Result<NodeKind> kind_of(std::string_view id) const;
    Result<NodeState> state_of(std::string_view id) const;
    // The deps in stored order; valid until the next mutation.
    Result<std::span<const NodeIndex>> deps_of(std::string_view id) const;
    std::vector<NodeIndex> node_ids() const;  // every index, in insertion order
    // The same ids, kinds and deps, node by node in insertion order; states
    // and memo fields aside. O(n + ids + edges).
    bool same_structure(const Graph& other) const;

    const Node& node(NodeIndex node) const {
        check_index(node, nodes_.size(), "nodes");
        return nodes_[node];
    }
    NodeState state_at(NodeIndex node) const {
        return static_cast<NodeState>(bits(node) & node_bits::state);
    }
    // A node's bits (node_bits); the test that breaks an invariant on
    // purpose writes through this reference.
    const std::uint8_t& bits(NodeIndex node) const {
        check_index(node, bits_.size(), "node bits");
        return bits_[node];
    }
    std::span<const NodeIndex> deps(const Node& node) const;

    // --- Build and order -----------------------------------------------------

    // Caches the lexicographically smallest topological order. After edits to
    // a built graph it re-places only the stretch of the order the edits can
    // reach (see incremental_build.cpp); otherwise, and whenever that finds a
    // cycle, it rebuilds the reverse edges and places every node:
    // O((n + e) log n).
    Result<void> build();
    bool built() const noexcept { return built_; }

    // The cached order; valid until the next mutation. O(1).
    Result<std::span<const NodeIndex>> topo_order() const;
    Result<std::vector<NodeIndex>> views() const;        // O(n)
    Result<std::vector<NodeIndex>> dirty_nodes() const;  // O(n)
    // Sorts nodes by cached position; repeats stay side by side. O(k log k).
    std::vector<NodeIndex> ids_in_topo_order(std::vector<NodeIndex> nodes) const;

    // --- Propagation (all O(k + edges of k) for a closure of k nodes) ------------

    // Seeds and everything reachable along dependents, each once, breadth first.
    std::vector<NodeIndex> downstream_closure(std::span<const NodeIndex> seeds) const;
    Result<std::vector<NodeIndex>> downstream(std::string_view id) const;
    Result<std::vector<NodeIndex>> dirty_subgraph(std::span<const std::string_view> seeds) const;
    Result<std::vector<NodeIndex>> mark_dirty(std::span<const std::string_view> seeds);
    // The write half of mark_dirty, for callers that must finish other work
    // between choosing the nodes and marking them; ends an open round first.
    void mark_nodes_dirty(std::span<const NodeIndex> nodes);

    // --- States and memo (all O(1) but check_node: O(deps)) -------------------

    Result<void> set_dirty(std::string_view id);
    Result<void> set_computing(std::string_view id);
    Result<void> set_clean(std::string_view id, std::uint64_t hash);
    Result<bool> needs_recompute(std::string_view id, std::uint64_t input_hash) const;

    // Reads only, but ends an open round like every per-node call.
    Result<CheckResult> check_node(std::string_view id);
    Result<void> commit_node(std::string_view id, std::uint64_t signature);
    Result<void> skip_node(std::string_view id, std::uint64_t signature);
    Result<void> commit_input(std::string_view id, std::uint64_t content_hash);
    std::uint64_t fold_signature(const Node& node) const;

    // The node's epoch, 0 until its first commit. A read like state_of: an
    // open round stays open, and a node it has not reached yet (or whose
    // commit waits for its batch) reports its epoch from before.
    Result<std::uint64_t> epoch_of(std::string_view id) const;
    // Records, like commit_node, that the node has a value for `signature`,
    // but the node takes back `epoch` instead of a new one: an epoch it held
    // before with the value it now presents (a memo hit). The counter stays.
    // An epoch no commit has handed out, or one another node holds, is
    // refused before an open round ends, so a refusal changes nothing.
    // O(1) amortised.
    Result<void> restore_node(std::string_view id, std::uint64_t signature, std::uint64_t epoch);

    std::uint64_t epoch_counter() const noexcept { return epoch_counter_; }

    // The reverse edges, ascending by node index. Derived from the deps when
    // first needed (before the first build, or on a restored graph, so that
    // a warm start that walks nothing never derives them), then kept current
    // by every edit. A call that must not allocate part way derives them
    // first, with ensure_dependents().
    void ensure_dependents() const {
        if (!dependents_current_) [[unlikely]]
            rebuild_dependents();
    }
    // Entries the reverse edges' pool holds, live or not: what they cost.
    std::size_t dependents_pool_size() const noexcept { return dependents_.size(); }
    [[gnu::always_inline]] std::span<const NodeIndex> dependents(NodeIndex node) const {
        ensure_dependents();
        check_index(node, dependents_runs_.size(), "dependents");
        return dependents_row(dependents_runs_[node], dependents_, node);
    }

    // --- Update rounds (round.hpp) --------------------------------------------

    // Ends the open round, if any, as Round::close() does. O(closure).
    void end_round() noexcept;
    bool round_open() const noexcept { return open_round_ != nullptr; }
    // Throws InternalFault naming the first broken invariant. O((n + e) log n).
    void check_invariants() const;
    // --- Snapshots (snapshot.hpp describes the format) --------------------------

    // The exact size of this graph's snapshot. O(1).
    std::size_t snapshot_size() const noexcept;
    // Writes the snapshot into `out`, which holds exactly snapshot_size()
    // bytes; `kernel_version` is recorded for diagnostics. O(n + e + id bytes).
    void write_snapshot(std::span<std::byte> out, std::string_view kernel_version) const;
    // A new graph restored from a snapshot, or why it cannot be. Everything is
    // checked before the graph is handed out, and nothing is allocated beyond
    // what the data's real size justifies. O(n + e + id bytes), plus a
    // build() when the snapshot was built.
    static std::expected<Graph, SnapshotError> from_snapshot(std::span<const std::byte> data);
    // --- Cycle paths and queries (cycle_path.cpp) ----------------------------

    // Whether giving `id` the deps `deps` would close a cycle through it; the
    // shortest such cycle in dependency order, starting at `id`, or nothing.
    // Validates like set_deps and changes nothing. O(nodes downstream of id).
    Result<std::optional<std::vector<NodeIndex>>> would_cycle(
        std::string_view id, std::span<const std::string_view> deps) const;
    // Direct dependants of `id` in topological order. O(k log k).
    Result<std::vector<NodeIndex>> dependents_of(std::string_view id) const;
    // Every group of two or more nodes that depend on each other through
    // their deps (cycle_groups.cpp): members in insertion order, groups in
    // the order of their first members. Needs no build. O(n + e).
    std::vector<std::vector<NodeIndex>> cycle_groups() const;

private:
    friend class Round;

    NodeIndex find(std::string_view id) const noexcept {
        return index_.find(id, index_.key_of(id), [this](NodeIndex i) { return id_at(i); });
    }

    // Applies `f` to the node registered under `id`, or fails with UnknownNode
    // before anything is read or written. For a per-node call (ending_round),
    // a known id ends an open round before `f` runs, so that `f` sees the
    // states and epochs the round leaves.
    template <bool ending_round = false, typename Self, typename F>
    static auto with_node(Self& self, std::string_view id, F f)
        -> ResultOf<decltype(f(self.nodes_[0]))> {
        const NodeIndex i = self.find(id);
        if (i == IdIndex::absent)
            return fail(UnknownNode{std::string(id)});
        if constexpr (ending_round) {
            if (self.round_open()) [[unlikely]]
                self.end_round();
        }
        if constexpr (std::is_void_v<decltype(f(self.nodes_[0]))>) {
            f(self.nodes_[i]);
            return {};
        } else {
            return f(self.nodes_[i]);
        }
    }
    template <typename F>
    auto per_node_call(std::string_view id, F f) {
        return with_node<true>(*this, id, f);
    }
    NodeIndex index_at(const Node& n) const noexcept {
        return static_cast<NodeIndex>(&n - nodes_.data());
    }
    void set_state(NodeIndex node, NodeState s) noexcept {
        bits_[node] = static_cast<std::uint8_t>((bits_[node] & ~node_bits::state) |
                                                static_cast<std::uint8_t>(s));
    }
    bool fold_current(NodeIndex node) const noexcept {
        return (bits_[node] & node_bits::fold_current) != 0;
    }
    void set_fold_current(NodeIndex node, bool current) noexcept {
        bits_[node] = static_cast<std::uint8_t>(current ? bits_[node] | node_bits::fold_current
                                                        : bits_[node] & ~node_bits::fold_current);
    }
    std::string_view id_at(NodeIndex node) const noexcept {
        const Node& n = nodes_[node];
        return {id_bytes_.data() + n.id_offset, n.id_length};
    }
    // The node `dep` names as a dep of `id`, or why it cannot be one; the
    // checks and their order are those of set_deps.
    Result<NodeIndex> dep_of(std::string_view id, std::string_view dep) const {
        if (same_bytes(dep, id))
            return fail(SelfDependency{std::string(id)});
        const NodeIndex d = find(dep);
        if (d == IdIndex::absent)
            return fail(UnknownNode{std::string(dep)});
        return d;
    }
    void store_deps(Node& node, std::span<const NodeIndex> deps);
    // A node's key (epoch, or content hash for an input) changed outside a
    // round: its dependants' signatures may no longer match their folds.
    void forget_dependant_folds(const Node& node);
    void compact_dep_pool(std::size_t extra);

    // Restored epochs (memo.cpp). Whether `node` may take back `epoch`;
    // when it may, the index records it as the holder. May allocate, before
    // anything of the node is written.
    Result<void> claim_epoch(NodeIndex node, std::uint64_t epoch);
    void index_epochs();
    // Forgets the holders until the next restore indexes them again.
    void drop_epoch_index() noexcept {
        epochs_indexed_ = false;
        epoch_holders_.clear();
        new_epoch_holders_.clear();
    }
    // `node` is about to take a new epoch. Allocates only past the room
    // reserve_epoch_notes() made.
    void note_new_epoch(NodeIndex node);
    void reserve_epoch_notes(std::size_t commits) {
        if (epochs_indexed_)
            reserve_more(new_epoch_holders_, commits);
    }

    // Reverse edges (dependents.cpp).
    [[noreturn]] static void throw_dependents_fault(NodeIndex node);
    void rebuild_dependents() const;
    // Room for `node` to become a dependent of each of `added` (not yet its
    // deps), so that link_dependents cannot fail part way.
    void reserve_dependents(std::span<const NodeIndex> added) const;
    void link_dependents(NodeIndex node, std::span<const NodeIndex> removed,
                         std::span<const NodeIndex> added);
    // Entries of `a` not in `b`, in a's order, into `out`. Uses the marks.
    void difference(std::span<const NodeIndex> a, std::span<const NodeIndex> b,
                    std::vector<NodeIndex>& out) const;

    // Build (build.cpp, incremental_build.cpp, cycle_path.cpp).
    Result<void> full_build();
    bool incremental_build();  // false: run the full build instead
    void record_edit(NodeIndex node);
    void finish_build() noexcept;
    std::vector<NodeIndex> cycle_path(std::span<const std::uint32_t> in_degree) const;
    // Breadth-first along dependents from `source` over nodes `allowed`
    // accepts; the path from `source` to the first node `target` accepts
    // (excluded when it is `source` itself), or empty.
    template <typename Allowed, typename Target>
    std::vector<NodeIndex> shortest_dependent_path(NodeIndex source, Allowed allowed,
                                                   Target target) const;
    // Orders a closure (no repeats) topologically, using the marks of the
    // traversal that produced it when that is cheaper than sorting.
    std::vector<NodeIndex> order_closure(std::vector<NodeIndex> closure) const;

    // Visit marks that need no clearing between traversals: a node is marked
    // when its stamp equals the current one.
    class VisitMarks {
    public:
        void begin(std::size_t node_count);
        bool mark(NodeIndex node) noexcept {  // true when newly marked
            if (stamps_[node] == current_)
                return false;
            stamps_[node] = current_;
            return true;
        }
        bool marked(NodeIndex node) const noexcept { return stamps_[node] == current_; }
        void unmark(NodeIndex node) noexcept { stamps_[node] = current_ - 1; }

        // For a walk that numbers the nodes it visits: stamping a node base + i
        // marks it and gives it number i, so one table serves as both and
        // needs no clearing. Every stamp is at most the base returned, and
        // none up to base + node_count reads as marked after the next begin().
        std::uint32_t* number(std::size_t node_count, std::uint32_t& base);
        // A node's stamp; 0 for a node the table does not cover yet.
        std::uint32_t stamp(NodeIndex node) const noexcept {
            return node < stamps_.size() ? stamps_[node] : 0;
        }
        std::size_t heap_bytes() const noexcept {
            return stamps_.capacity() * sizeof(std::uint32_t);
        }
        // Changes with every begin() and number(): stamps read under one
        // value are still the ones written under it.
        std::uint64_t uses() const noexcept { return uses_; }

    private:
        std::uint32_t claim(std::size_t node_count, std::size_t count);

        std::vector<std::uint32_t> stamps_;
        std::uint32_t current_ = 0;
        std::uint64_t uses_ = 0;
    };

    std::vector<Node> nodes_;
    std::vector<std::uint8_t> bits_;    // node_bits, one per node
    std::string id_bytes_;              // every id, back to back
    std::vector<NodeIndex> dep_pool_;   // every node's deps, each in one run
    std::size_t dep_pool_garbage_ = 0;  // entries no node refers to any more
    IdIndex index_;

    // Reverse edges as one run per node in a shared pool, with room to grow
    // in place, so that set_deps can keep them current on a built graph.
    // Derived from the deps alone: a full build rewrites them packed.
    struct DependentsRun {
        NodeIndex offset = 0;
        NodeIndex count = 0;
        NodeIndex capacity = 0;
    };
    // Node `node`'s row of `pool`, checked against the pool's bounds.
    [[gnu::always_inline]] static std::span<const NodeIndex> dependents_row(
        DependentsRun run, std::span<const NodeIndex> pool, NodeIndex node) {
        // 32-bit fields: their sum cannot wrap in 64 bits.
        if (run.count > run.capacity || std::uint64_t{run.offset} + run.capacity > pool.size())
            [[unlikely]]
            throw_dependents_fault(node);
        return pool.subspan(run.offset, run.count);
    }
    mutable std::vector<DependentsRun> dependents_runs_;
    mutable std::vector<NodeIndex> dependents_;
    mutable bool dependents_current_ = false;
    std::vector<NodeIndex> order_;
    std::vector<NodeIndex> position_;

    // Old nodes (placed by the last successful build) whose deps were
    // replaced since, each once, with the first position at which it was
    // ready then: one past its latest dep's position.
    struct Edit {
        NodeIndex node;
        NodeIndex was_ready_at;
    };
    std::vector<Edit> edits_;
    NodeIndex last_edited_ = IdIndex::absent;  // where a cycle path starts when it can

    std::uint64_t epoch_counter_ = 0;
    bool built_ = false;
    // Which node holds each epoch, so that a restore can refuse another
    // node's: two holders would make one key stand for two values. Built by
    // the first restore; the nodes that take new epochs since are queued and
    // folded in at the next restore, and the index is dropped when commits
    // go on without restores, so commits alone pay one branch. An entry may
    // be stale: a lookup checks that the node still holds the epoch.
    bool epochs_indexed_ = false;
    std::unordered_map<std::uint64_t, NodeIndex> epoch_holders_;
    std::vector<NodeIndex> new_epoch_holders_;
    bool folds_recorded_ = false;  // some node may have fold_current set

    // At most one round per graph. A round refers to its graph by address, so
    // a copied or moved graph starts with none of its own.
    struct RoundLink {
        Round* round = nullptr;
        RoundLink() = default;
        RoundLink(const RoundLink& /*other*/) noexcept {}
        RoundLink(RoundLink&& /*other*/) noexcept {}
        // A graph keeps its own round when another graph's contents are
        // assigned to it, so there is nothing to take from `other`.
        // NOLINTNEXTLINE(bugprone-unhandled-self-assignment)
        RoundLink& operator=(const RoundLink& /*other*/) noexcept { return *this; }
        RoundLink& operator=(RoundLink&& /*other*/) noexcept { return *this; }
        ~RoundLink() = default;
        operator Round*() const noexcept { return round; }
        RoundLink& operator=(Round* r) noexcept {
            round = r;
            return *this;
        }
        Round* operator->() const noexcept { return round; }
    };
    RoundLink open_round_;
    // What an abandoned round left for the next one: its seeds, handed out
    // again whatever their folds, and the rest, settled by signature.
    std::vector<NodeIndex> unsettled_seeds_;
    std::vector<NodeIndex> unsettled_;

    mutable VisitMarks marks_;
    std::vector<NodeIndex> scratch_;          // set_deps' list under construction
    std::vector<NodeIndex> removed_scratch_;  // set_deps' changes to the reverse edges
    std::vector<NodeIndex> added_scratch_;
    std::vector<std::uint32_t> run_in_degree_;  // incremental build's working counts
};

}  // namespace quorl::core
