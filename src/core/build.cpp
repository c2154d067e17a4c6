// build(): reverse edges, cycle check and the cached topological order, and
// the listings that read that order.
#include <algorithm>
#include <functional>

#include "core/graph.hpp"

namespace quorl::core {

Result<void> Graph::build() {
    Result<void> built = incremental_build() ? Result<void>() : full_build();
    if (built)
        end_round();
    return built;
}

// Clears the record of edits once their effect is in the order.
void Graph::finish_build() noexcept {
    for (const Edit& edit : edits_)
        nodes_[edit.node].edited = false;
    edits_.clear();
    built_ = true;
}

Result<void> Graph::full_build() {
    const std::size_t n = nodes_.size();

    // Allocate everything first: running out of memory must leave the graph
    // as it was.
    std::vector<std::uint32_t> in_degree(n);
    std::vector<NodeIndex> ready;
    ready.reserve(n);
    std::vector<NodeIndex> order;
    order.reserve(n);
    std::vector<NodeIndex> position(n);
    // Replaces the reverse edges only once the new ones are complete.
    rebuild_dependents();
    built_ = false;

    // Kahn's algorithm with a min-heap: the smallest ready index always comes
    // next, which makes the order the lexicographically smallest one.
    for (std::size_t i = 0; i < n; ++i) {
        in_degree[i] = nodes_[i].deps_count;
        if (in_degree[i] == 0)
            ready.push_back(static_cast<NodeIndex>(i));  // ascending: already a heap
    }
    const std::greater<> later;
    while (!ready.empty()) {
        std::ranges::pop_heap(ready, later);
        const NodeIndex u = ready.back();
        ready.pop_back();
        order.push_back(u);
        for (NodeIndex j : dependents(u))
            if (--in_degree[j] == 0) {
                ready.push_back(j);
                std::ranges::push_heap(ready, later);
            }
    }

    if (order.size() < n) {
        Cycle cycle;
        for (std::size_t i = 0; i < n; ++i)
            if (in_degree[i] > 0)
                cycle.ids.emplace_back(id_at(static_cast<NodeIndex>(i)));
        for (NodeIndex node : cycle_path(in_degree))
            cycle.path.emplace_back(id_at(node));
        return fail(std::move(cycle));
    }
    for (std::size_t k = 0; k < n; ++k)
        position[order[k]] = static_cast<NodeIndex>(k);
    order_.swap(order);
    position_.swap(position);
    finish_build();
    return {};
}

Result<std::span<const NodeIndex>> Graph::topo_order() const {
    if (!built_)
        return fail(NotBuilt{});
    return std::span<const NodeIndex>(order_);
}

namespace {

template <typename T, typename Keep>
std::vector<NodeIndex> select_in_order(std::span<const NodeIndex> order,
                                       const std::vector<T>& records, Keep keep) {
    std::vector<NodeIndex> selected;
    for (NodeIndex i : order) {
        check_index(i, records.size(), "nodes");
        if (keep(records[i]))
            selected.push_back(i);
    }
    return selected;
}

}  // namespace

Result<std::vector<NodeIndex>> Graph::views() const {
    if (!built_)
        return fail(NotBuilt{});
    return select_in_order(order_, nodes_, [](const Node& n) { return n.kind == NodeKind::View; });
}

Result<std::vector<NodeIndex>> Graph::dirty_nodes() const {
    if (!built_)
        return fail(NotBuilt{});
    return select_in_order(order_, bits_, [](std::uint8_t bits) {
        return (bits & node_bits::state) == static_cast<std::uint8_t>(NodeState::Dirty);
    });
}

std::vector<NodeIndex> Graph::ids_in_topo_order(std::vector<NodeIndex> nodes) const {
    if (nodes.size() < 2)
        return nodes;
    // Sort (position, index) pairs packed in one word. Equal keys are equal
    // indices, so an unstable sort keeps repeats side by side just as a
    // stable one would.
    std::vector<std::uint64_t> keys(nodes.size());
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        check_index(nodes[k], position_.size(), "position");
        keys[k] = (std::uint64_t{position_[nodes[k]]} << 32) | nodes[k];
    }
    std::ranges::sort(keys);
    for (std::size_t k = 0; k < nodes.size(); ++k)
        nodes[k] = static_cast<NodeIndex>(keys[k]);
    return nodes;
}

}  // namespace quorl::core
