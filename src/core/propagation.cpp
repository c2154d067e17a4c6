// Change propagation: which nodes a change reaches, in topological order.
//
// A traversal costs in proportion to the nodes it reaches: the visit marks
// persist between calls and need no clearing, so a small closure in a large
// graph pays nothing for the nodes it does not reach.
#include <bit>

#include "core/graph.hpp"

namespace quorl::core {

std::vector<NodeIndex> Graph::downstream_closure(std::span<const NodeIndex> seeds) const {
    const std::size_t n = nodes_.size();
    marks_.begin(n);
    // The closure doubles as the breadth-first queue: nodes leave the queue
    // in the order they entered it.
    std::vector<NodeIndex> closure;
    closure.reserve(seeds.size());
    for (NodeIndex s : seeds) {
        check_index(s, n, "nodes");
        if (marks_.mark(s))
            closure.push_back(s);
    }
    for (std::size_t head = 0; head < closure.size(); ++head)
        for (NodeIndex d : dependents(closure[head])) {
            check_index(d, n, "nodes");
            if (marks_.mark(d))
                closure.push_back(d);
        }
    return closure;
}

std::vector<NodeIndex> Graph::order_closure(std::vector<NodeIndex> closure) const {
    const std::size_t k = closure.size();
    const std::size_t log_k = std::bit_width(k);
    if (k * log_k <= order_.size())
        return ids_in_topo_order(std::move(closure));
    // A large closure: one pass over the cached order, keeping the marked
    // nodes, gives the same sequence faster than sorting.
    std::vector<NodeIndex> ordered;
    ordered.reserve(k);
    for (NodeIndex i : order_) {
        check_index(i, nodes_.size(), "nodes");
        if (marks_.marked(i))
            ordered.push_back(i);
    }
    return ordered;
}

Result<std::vector<NodeIndex>> Graph::downstream(std::string_view id) const {
    if (!built_)
        return fail(NotBuilt{});
    const NodeIndex target = find(id);
    if (target == IdIndex::absent)
        return fail(UnknownNode{std::string(id)});
    const NodeIndex seed[] = {target};
    std::vector<NodeIndex> closure = downstream_closure(seed);
    // The target is the first node of its own closure; unmark it so the
    // ordering pass cannot pick it up either.
    closure.erase(closure.begin());
    marks_.unmark(target);
    return order_closure(std::move(closure));
}

Result<std::vector<NodeIndex>> Graph::dirty_subgraph(
    std::span<const std::string_view> seeds) const {
    if (!built_)
        return fail(NotBuilt{});
    auto indices = indices_of(seeds);
    if (!indices)
        return fail(std::move(indices.error()));
    return order_closure(downstream_closure(*indices));
}

Result<std::vector<NodeIndex>> Graph::mark_dirty(std::span<const std::string_view> seeds) {
    auto nodes = dirty_subgraph(seeds);
    if (nodes)
        mark_nodes_dirty(*nodes);
    return nodes;
}

void Graph::mark_nodes_dirty(std::span<const NodeIndex> nodes) {
    for (NodeIndex i : nodes)
        check_index(i, nodes_.size(), "nodes");
    if (round_open())
        end_round();
    for (NodeIndex i : nodes)
        set_state(i, NodeState::Dirty);
}

}  // namespace quorl::core
