// Removing nodes. The survivors keep their relative order and are numbered
// again from 0, so a node's index stays its place in registration order and
// a node registered after a removal is the last one; every table is written
// once, without the removed nodes: O(n + e + id bytes) per call, whatever
// its size, so a caller removes a session's nodes in one call.
#include <algorithm>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

// Room a rewritten table keeps: what it held before, so that a graph which
// adds and removes in turn stops reallocating at its peak, unless that is
// more than twice what is left.
std::size_t kept_capacity(std::size_t capacity, std::size_t live) {
    return std::max(live, std::min(capacity, 2 * live));
}

template <typename T>
std::vector<T> with_room(const std::vector<T>& old, std::size_t live) {
    std::vector<T> table;
    table.reserve(kept_capacity(old.capacity(), live));
    return table;
}

}  // namespace

Result<void> Graph::remove_nodes(std::span<const std::string_view> ids) {
    const std::size_t n = nodes_.size();
    std::vector<NodeIndex> renumber(n, 0);  // a survivor's new index, or absent
    std::vector<NodeIndex> removed;
    removed.reserve(ids.size());
    for (std::string_view id : ids) {
        const NodeIndex node = find(id);
        if (node == IdIndex::absent)
            return fail(UnknownNode{std::string(id)});
        if (renumber[node] != IdIndex::absent) {
            renumber[node] = IdIndex::absent;
            removed.push_back(node);
        }
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

    const std::size_t m = n - removed.size();
    std::size_t id_length = 0;
    std::size_t edge_count = 0;
    for (std::size_t i = 0, next = 0; i < n; ++i)
        if (renumber[i] != IdIndex::absent) {
            renumber[i] = static_cast<NodeIndex>(next++);
            id_length += nodes_[i].id_length;
            edge_count += nodes_[i].deps_count;
        }

    // Allocate everything first: running out of memory must leave the graph
    // as it was.
    std::vector<Node> nodes = with_room(nodes_, m);
    std::vector<std::uint8_t> bits = with_room(bits_, m);
    std::string id_bytes;
    id_bytes.reserve(kept_capacity(id_bytes_.capacity(), id_length));
    std::vector<NodeIndex> pool = with_room(dep_pool_, edge_count);
    std::vector<DependentsRun> runs = with_room(dependents_runs_, m);
    std::vector<NodeIndex> reverse = with_room(dependents_, edge_count);  // derived above
    // An order with edits pending would need their places renumbered too: the
    // next build places every node instead. Without edits it is the last
    // build's order, which loses only the removed nodes (see below).
    const bool keep_order = edits_.empty();
    std::vector<NodeIndex> order;
    std::vector<NodeIndex> position;
    if (keep_order) {
        order = with_room(order_, order_.size());
        position = with_room(position_, order_.size());
    }
    IdIndex index = index_.renumbered(renumber, m);

    // The removed nodes' slots in a round are gone with them.
    end_round();

    for (std::size_t i = 0; i < n; ++i) {
        if (renumber[i] == IdIndex::absent)
            continue;
        Node node = nodes_[i];
        node.id_offset = id_bytes.size();
        id_bytes.append(id_at(static_cast<NodeIndex>(i)));
        const auto run = deps(nodes_[i]);
        node.deps_offset = static_cast<std::uint32_t>(pool.size());
        // A survivor's deps survive: nothing left depends on a removed node.
        for (const NodeIndex d : run)
            pool.push_back(renumber[d]);
        node.edited = false;  // see keep_order
        nodes.push_back(node);
        bits.push_back(bits_[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (renumber[i] == IdIndex::absent)
            continue;
        const auto offset = static_cast<NodeIndex>(reverse.size());
        // The renumbering keeps the order, so rows stay ascending.
        for (const NodeIndex d : dependents(static_cast<NodeIndex>(i)))
            if (renumber[d] != IdIndex::absent)
                reverse.push_back(renumber[d]);
        const auto count = static_cast<NodeIndex>(reverse.size() - offset);
        runs.push_back({offset, count, count});
    }
    // The cached order is the greedy one: at each step, the smallest ready
    // node. Take it without the removed nodes. Nothing left depends on a
    // removed node, so at each step of the old order, a survivor ready in
    // the graph that remains (its deps all placed) was ready in the old one
    // too, and the old order took the smallest ready node: no survivor
    // smaller than the next one in the filtered order was ready, removed
    // nodes apart. So the filtered order is the greedy one of what remains.
    if (keep_order) {
        for (const NodeIndex node : order_)
            if (renumber[node] != IdIndex::absent)
                order.push_back(renumber[node]);
        position.resize(order.size());
        for (std::size_t k = 0; k < order.size(); ++k)
            position[order[k]] = static_cast<NodeIndex>(k);
    } else {
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

    nodes_.swap(nodes);
    bits_.swap(bits);
    id_bytes_.swap(id_bytes);
    dep_pool_.swap(pool);
    dep_pool_garbage_ = 0;
    index_ = std::move(index);
    dependents_runs_.swap(runs);
    dependents_.swap(reverse);
    order_.swap(order);
    position_.swap(position);
    return {};
}

}  // namespace quorl::core
