// Removing nodes. The survivors keep their relative order and are numbered
// again from 0, so a node's index stays its place in registration order and
// a node registered after a removal is the last one. Every table is written
// once, without the removed nodes: O(n + e + id bytes) per call, whatever
// its size, so a caller removes a session's nodes in one call.
#include <algorithm>

#include "core/graph.hpp"

namespace quorl::core {

Result<void> Graph::remove_nodes(std::span<const std::string_view> ids) {
    const std::size_t n = nodes_.size();
    std::vector<NodeIndex> renumber(n, 0);  // a survivor's new index, or absent
    std::vector<NodeIndex> removed;
    removed.reserve(ids.size());
    for (std::string_view id : ids) {
        const NodeIndex node = find(id);
        if (node == IdIndex::absent)
            return fail(UnknownNode{std::string(id)});
        renumber[node] = IdIndex::absent;
        removed.push_back(node);  // a repeat is checked twice, and that is all
    }
    if (removed.empty())
        return {};
    // The set must be closed under dependants. The first removed node given
    // with a remaining dependant names its first registered one.
    ensure_dependents();
    for (const NodeIndex node : removed)
        for (const NodeIndex d : dependents(node))
            if (renumber[d] != IdIndex::absent)
                return fail(StillDependedOn{std::string(id_at(node)), std::string(id_at(d))});
    std::size_t edges_left = 0;  // each one a survivor's dep, and a reverse edge
    for (std::size_t i = 0, next = 0; i < n; ++i)
        if (renumber[i] != IdIndex::absent) {
            renumber[i] = static_cast<NodeIndex>(next++);
            edges_left += nodes_[i].deps_count;
        }
    // The two pools are packed afresh, each run with room for exactly its
    // entries, as a full build leaves the reverse edges: what the removed
    // nodes held, and the room moved runs left behind, goes back. Allocated
    // first; from there on nothing allocates, the other tables being
    // rewritten in place (a survivor only moves down), so a removal cannot
    // fail part way.
    std::vector<NodeIndex> pool;
    pool.reserve(edges_left);
    std::vector<NodeIndex> reverse;
    reverse.reserve(edges_left);

    // The removed nodes' slots in a round go with them.
    end_round();
    for (const NodeIndex node : removed)  // a repeat is not found the second time
        index_.erase(id_at(node), index_.key_of(id_at(node)),
                     [this](NodeIndex i) { return id_at(i); });
    index_.renumber(renumber);
    std::size_t kept = 0;
    std::size_t id_end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (renumber[i] == IdIndex::absent)
            continue;
        Node node = nodes_[i];
        // Ids lie back to back in registration order, so each moves down.
        std::copy_n(id_bytes_.begin() + static_cast<std::ptrdiff_t>(node.id_offset), node.id_length,
                    id_bytes_.begin() + static_cast<std::ptrdiff_t>(id_end));
        node.id_offset = id_end;
        id_end += node.id_length;
        // A survivor's deps survive: nothing left depends on a removed node.
        node.deps_offset = static_cast<std::uint32_t>(pool.size());
        for (const NodeIndex d : deps(nodes_[i]))
            pool.push_back(renumber[d]);
        // The renumbering keeps the order, so rows stay ascending.
        const auto offset = static_cast<NodeIndex>(reverse.size());
        for (const NodeIndex d : dependents(static_cast<NodeIndex>(i)))
            if (renumber[d] != IdIndex::absent)
                reverse.push_back(renumber[d]);
        const auto count = static_cast<NodeIndex>(reverse.size() - offset);
        node.edited = false;  // see keep_order
        nodes_[kept] = node;
        bits_[kept] = bits_[i];
        dependents_runs_[kept] = {offset, count, count};
        ++kept;
    }
    nodes_.resize(kept);
    bits_.resize(kept);
    id_bytes_.resize(id_end);
    dependents_runs_.resize(kept);
    dep_pool_.swap(pool);
    dep_pool_garbage_ = 0;
    dependents_.swap(reverse);

    // The cached order is the greedy one: at each step, the smallest ready
    // node. Take it without the removed nodes. Nothing left depends on a
    // removed node, so at each step of the old order, a survivor ready in
    // the graph that remains (its deps all placed) was ready in the old one
    // too, and the old order took the smallest ready node: no survivor
    // smaller than the next one in the filtered order was ready, removed
    // nodes apart. So the filtered order is the greedy one of what remains.
    // An order with edits pending would need their places renumbered too:
    // the next build places every node instead.
    const bool keep_order = edits_.empty();
    if (keep_order) {
        const auto survivor = [&renumber](NodeIndex node) {
            return renumber[node] != IdIndex::absent;
        };
        order_.erase(std::ranges::copy_if(order_, order_.begin(), survivor).out, order_.end());
        position_.resize(order_.size());
        for (std::size_t k = 0; k < order_.size(); ++k) {
            order_[k] = renumber[order_[k]];
            position_[order_[k]] = static_cast<NodeIndex>(k);
        }
    } else {
        order_.clear();
        position_.clear();
        edits_.clear();
    }
    const auto keep_survivors = [&renumber](std::vector<NodeIndex>& list) {
        std::erase_if(list,
                      [&renumber](NodeIndex node) { return renumber[node] == IdIndex::absent; });
        for (NodeIndex& node : list)
            node = renumber[node];
    };
    keep_survivors(unsettled_seeds_);
    keep_survivors(unsettled_);
    last_edited_ = last_edited_ == IdIndex::absent ? IdIndex::absent : renumber[last_edited_];
    // The epochs' holders are indices: the next restore indexes them afresh.
    drop_epoch_index();
    return {};
}

}  // namespace quorl::core
