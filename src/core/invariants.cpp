// check_invariants(): the kernel's own account of what every operation keeps
// true. Tests and the fuzzer call it after each operation, so it reads every
// structure once and allocates only a few vectors of node size.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

void require(bool holds, const char* what) {
    if (!holds) [[unlikely]]
        throw InternalFault(std::string("invariant broken: ") + what);
}

}  // namespace

void Graph::check_invariants() const {
    const std::size_t n = nodes_.size();
    require(n <= max_nodes, "node count within the 32-bit limit");

    // Ids lie back to back in registration order, and the index maps each of
    // them to its node and holds nothing else.
    std::size_t id_end = 0;
    for (const Node& node : nodes_) {
        require(node.id_offset == id_end, "ids stored back to back");
        id_end += node.id_length;
    }
    require(id_end == id_bytes_.size(), "id storage holds the ids and nothing else");
    for (std::size_t i = 0; i < n; ++i)
        require(find(id_at(static_cast<NodeIndex>(i))) == i, "the index finds every id");
    const std::size_t capacity = index_.capacity();
    require((capacity & (capacity - 1)) == 0, "index size a power of two");
    std::size_t entries = 0;
    index_.for_each_entry([&](std::uint64_t head, std::uint32_t tail, NodeIndex node) {
        ++entries;
        require(node < n, "index entries name registered nodes");
        const IdIndex::Key key = index_.key_of(id_at(node));
        require(key.head == head && key.tail == tail, "index entry keyed by its node's id");
    });
    require(entries == n, "one index entry per node");
    require(entries * 4 <= capacity * 3, "index leaves a free slot to end every probe");

    // Kinds and states in range; memo fields consistent with the calls that
    // set them: a clean node or one with an epoch or a content hash has a
    // signature, and every epoch was handed out once.
    require(epoch_counter_ <= max_epoch, "the epoch counter within its limit");
    std::vector<std::uint64_t> epochs;
    require(bits_.size() == n, "one bits byte per node");
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = nodes_[i];
        const std::uint8_t bits = bits_[i];
        const auto state = static_cast<NodeState>(bits & node_bits::state);
        require(node.kind <= NodeKind::View, "kind in range");
        require(state <= NodeState::Computing, "state in range");
        require((bits & ~node_bits::all) == 0 &&
                    ((bits & node_bits::input) != 0) == (node.kind == NodeKind::Input),
                "a node's bits name its kind and nothing else");
        require(node.has_signature || node.signature == 0, "no signature reads as zero");
        require(node.has_signature ||
                    (state != NodeState::Clean && node.epoch == 0 && node.content_hash == 0),
                "a clean, committed or hashed node has a signature");
        require(node.epoch <= epoch_counter_, "epochs come from the counter");
        if (node.epoch != 0)
            epochs.push_back(node.epoch);
    }
    std::ranges::sort(epochs);
    require(std::ranges::adjacent_find(epochs) == epochs.end(), "no two nodes share an epoch");

    // Deps: runs inside the pool, disjoint, valid, no self, no repeats; the
    // pool holds the live runs plus exactly the garbage it counts.
    std::size_t live = 0;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = nodes_[i];
        require(node.deps_offset <= dep_pool_.size() &&
                    node.deps_count <= dep_pool_.size() - node.deps_offset,
                "deps inside the deps storage");
        live += node.deps_count;
        if (node.deps_count != 0)
            runs.emplace_back(node.deps_offset, node.deps_offset + node.deps_count);
        marks_.begin(n);
        for (const NodeIndex d : deps(node)) {
            require(d < n, "deps name registered nodes");
            require(d != i, "no node depends on itself");
            require(marks_.mark(d), "no repeated dep");
        }
    }
    require(live + dep_pool_garbage_ == dep_pool_.size(), "deps storage garbage accounted for");
    std::ranges::sort(runs);
    for (std::size_t k = 1; k < runs.size(); ++k)
        require(runs[k - 1].second <= runs[k].first, "deps runs do not overlap");

    // A signature marked current matches its fold over the deps as they are;
    // clearing those marks when a key moves needs the reverse edges.
    require(!folds_recorded_ || dependents_current_, "folds are recorded only with reverse edges");
    for (std::size_t i = 0; i < n; ++i)
        require(!fold_current(static_cast<NodeIndex>(i)) ||
                    (folds_recorded_ && nodes_[i].has_signature &&
                     nodes_[i].signature == fold_signature(nodes_[i])),
                "a signature marked current matches its fold");

    if (!built_)
        return;

    // The cached order: a permutation, positions its inverse, every dep first.
    require(order_.size() == n && position_.size() == n, "order and positions cover every node");
    for (std::size_t k = 0; k < n; ++k) {
        require(order_[k] < n, "order names registered nodes");
        require(position_[order_[k]] == k, "positions invert the order");
    }
    for (std::size_t i = 0; i < n; ++i)
        for (const NodeIndex d : deps(nodes_[i]))
            require(position_[d] < position_[i], "every dep comes before its dependant");

    // Reverse edges, once derived: rows strictly ascending, as many entries
    // as dep edges, and every edge found in its row, so rows and deps match
    // one for one.
    if (!dependents_current_)
        return;
    require(dependents_runs_.size() == n, "a built graph's reverse edges cover every node");
    std::size_t reverse = 0;
    for (std::size_t i = 0; i < n; ++i) {
        reverse += dependents_runs_[i].count;
        const auto row = dependents(static_cast<NodeIndex>(i));
        require(std::ranges::adjacent_find(row, std::greater_equal<>()) == row.end(),
                "reverse edge rows ascending");
        require(row.empty() || row.back() < n, "reverse edges name registered nodes");
    }
    require(reverse == live, "reverse edges hold one entry per dep");
    for (std::size_t i = 0; i < n; ++i)
        for (const NodeIndex d : deps(nodes_[i]))
            require(std::ranges::binary_search(dependents(d), static_cast<NodeIndex>(i)),
                    "reverse edges match deps");
}

}  // namespace quorl::core
