// Cycle paths and the direct-dependants query: what a caller needs to repair
// or avoid a cycle without reading the whole graph.
//
// A cycle is given in dependency order: each entry is a dep of the next, and
// the last is a dep of the first.
#include <algorithm>
#include <limits>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

constexpr NodeIndex no_parent = std::numeric_limits<NodeIndex>::max();

}  // namespace

template <typename Allowed, typename Target>
std::vector<NodeIndex> Graph::shortest_dependent_path(NodeIndex source, Allowed allowed,
                                                      Target target) const {
    const std::size_t n = nodes_.size();
    struct Step {
        NodeIndex node;
        NodeIndex parent;  // index into `queue` of the step it was reached from
    };
    marks_.begin(n);
    std::vector<Step> queue{{source, no_parent}};
    marks_.mark(source);
    for (std::size_t head = 0; head < queue.size(); ++head)
        for (NodeIndex j : dependents(queue[head].node)) {
            check_index(j, n, "nodes");
            if (!allowed(j))
                continue;
            if (target(j)) {
                std::vector<NodeIndex> path;
                if (j != source)
                    path.push_back(j);
                for (auto k = static_cast<NodeIndex>(head); k != no_parent; k = queue[k].parent)
                    path.push_back(queue[k].node);
                std::ranges::reverse(path);
                return path;
            }
            if (marks_.mark(j))
                queue.push_back({j, static_cast<NodeIndex>(head)});
        }
    return {};
}

// One cycle among the nodes a failed build could not place (in_degree above
// zero): the shortest through the last edited node when it lies on one, else
// the shortest through a node found by walking deps until one repeats.
std::vector<NodeIndex> Graph::cycle_path(std::span<const std::uint32_t> in_degree) const {
    const std::size_t n = nodes_.size();
    const auto unplaced = [&](NodeIndex x) { return in_degree[x] > 0; };
    if (last_edited_ < n && unplaced(last_edited_)) {
        auto path = shortest_dependent_path(last_edited_, unplaced,
                                            [&](NodeIndex j) { return j == last_edited_; });
        if (!path.empty())
            return path;
    }
    // Every unplaced node has an unplaced dep, so the walk meets a cycle.
    NodeIndex x = 0;
    while (x < n && !unplaced(x))
        ++x;
    if (x == n)
        return {};
    marks_.begin(n);
    while (marks_.mark(x)) {
        const auto next = std::ranges::find_if(deps(nodes_[x]), unplaced);
        if (next == deps(nodes_[x]).end())
            throw InternalFault("unplaced node without an unplaced dep");
        x = *next;
    }
    return shortest_dependent_path(x, unplaced, [x](NodeIndex j) { return j == x; });
}

Result<std::optional<std::vector<NodeIndex>>> Graph::would_cycle(
    std::string_view id, std::span<const std::string_view> deps) const {
    const NodeIndex target = find(id);
    if (target == IdIndex::absent)
        return fail(UnknownNode{std::string(id)});
    std::vector<NodeIndex> wanted;
    wanted.reserve(deps.size());
    for (std::string_view dep : deps) {
        const Result<NodeIndex> found = dep_of(id, dep);
        if (!found)
            return fail(found.error());
        wanted.push_back(*found);
    }
    std::ranges::sort(wanted);
    if (wanted.empty())
        return std::nullopt;
    auto path = shortest_dependent_path(
        target, [](NodeIndex) { return true; },
        [&](NodeIndex j) { return std::ranges::binary_search(wanted, j); });
    if (path.empty())
        return std::nullopt;
    return path;
}

Result<std::vector<NodeIndex>> Graph::dependents_of(std::string_view id) const {
    if (!built_)
        return fail(NotBuilt{});
    const NodeIndex node = find(id);
    if (node == IdIndex::absent)
        return fail(UnknownNode{std::string(id)});
    const auto direct = dependents(node);
    return ids_in_topo_order(std::vector<NodeIndex>(direct.begin(), direct.end()));
}

}  // namespace quorl::core
