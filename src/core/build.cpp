// build(): reverse edges, cycle check and the cached topological order, and
// the listings that read that order.
#include <algorithm>
#include <functional>

#include "core/graph.hpp"

namespace quorl::core {

Result<void> Graph::build() {
    const std::size_t n = nodes_.size();
    std::size_t edges = 0;
    for (const Node& node : nodes_)
        edges += node.deps_count;

    // Allocate everything first: running out of memory must leave the graph
    // as it was. A built graph keeps its sizes, so its reverse edges are not
    // reallocated here.
    std::vector<std::uint32_t> in_degree(n);
    std::vector<NodeIndex> ready;
    ready.reserve(n);
    std::vector<NodeIndex> order;
    order.reserve(n);
    std::vector<NodeIndex> position(n);
    dependents_start_.resize(n + 1);
    dependents_.resize(edges);
    // Cleared while the reverse edges are rewritten, so that even an internal
    // fault midway cannot leave them readable.
    built_ = false;

    // Reverse edges as compressed rows, each row ascending by node index
    // because the nodes are visited in ascending order. in_degree serves as
    // the fill cursor of each row until it takes its real meaning.
    std::ranges::fill(dependents_start_, 0);
    for (const Node& node : nodes_)
        for (NodeIndex d : deps(node)) {
            check_index(d, n, "nodes");
            ++dependents_start_[d + 1];
        }
    for (std::size_t i = 0; i < n; ++i)
        dependents_start_[i + 1] += dependents_start_[i];
    std::copy(dependents_start_.begin(), dependents_start_.end() - 1, in_degree.begin());
    for (std::size_t i = 0; i < n; ++i)
        for (NodeIndex d : deps(nodes_[i]))
            dependents_[in_degree[d]++] = static_cast<NodeIndex>(i);

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
        return fail(std::move(cycle));
    }
    for (std::size_t k = 0; k < n; ++k)
        position[order[k]] = static_cast<NodeIndex>(k);
    order_.swap(order);
    position_.swap(position);
    built_ = true;
    return {};
}

std::span<const NodeIndex> Graph::dependents(NodeIndex node) const {
    check_index(node, dependents_start_.empty() ? 0 : dependents_start_.size() - 1, "dependents");
    const NodeIndex begin = dependents_start_[node];
    const NodeIndex end = dependents_start_[node + 1];
    if (begin > end || end > dependents_.size())
        throw InternalFault("dependents of node " + std::to_string(node) + " out of range");
    return {dependents_.data() + begin, end - begin};
}

Result<std::span<const NodeIndex>> Graph::topo_order() const {
    if (!built_)
        return fail(NotBuilt{});
    return std::span<const NodeIndex>(order_);
}

namespace {

template <typename Keep>
std::vector<NodeIndex> select_in_order(std::span<const NodeIndex> order,
                                       const std::vector<Node>& nodes, Keep keep) {
    std::vector<NodeIndex> selected;
    for (NodeIndex i : order) {
        check_index(i, nodes.size(), "nodes");
        if (keep(nodes[i]))
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
    return select_in_order(order_, nodes_,
                           [](const Node& n) { return n.state == NodeState::Dirty; });
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
