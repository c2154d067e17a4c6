// Every group of nodes that depend on each other: the strongly connected
// components of the deps with two or more members, so that a caller can
// condense a cyclic graph in one call instead of one failed build per cycle.
//
// Tarjan's algorithm over the deps alone, with an explicit stack: a chain of
// millions of nodes must not exhaust the call stack, and on an unbuilt graph
// the reverse edges may not be current. O(n + e), and it writes nothing the
// graph shows.
#include <algorithm>
#include <limits>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

// What group_of holds for a node that is not in a group (yet).
constexpr std::uint32_t on_stack = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t alone = on_stack - 1;

}  // namespace

std::vector<std::vector<NodeIndex>> Graph::cycle_groups() const {
    const std::size_t n = nodes_.size();
    // A visited node is stamped base + 1 + its visiting number, which indexes
    // low and group_of; nothing of the graph's size needs clearing.
    std::uint32_t base = 0;
    std::uint32_t* const stamps = marks_.number(n, base);
    const auto visited = [&](NodeIndex x) { return stamps[x] > base; };
    const auto number_of = [&](NodeIndex x) { return stamps[x] - base - 1; };
    std::vector<std::uint32_t> low;       // smallest number reachable, by number
    std::vector<std::uint32_t> group_of;  // by number: group, on_stack or alone
    low.reserve(n);
    group_of.reserve(n);
    std::vector<NodeIndex> open;  // visited nodes not yet given their group
    struct Frame {
        NodeIndex node;
        std::uint32_t next_dep;
    };
    std::vector<Frame> frames;
    std::vector<std::uint32_t> group_sizes;

    const auto visit = [&](NodeIndex x) {
        const auto number = static_cast<std::uint32_t>(low.size());
        stamps[x] = base + 1 + number;
        low.push_back(number);
        group_of.push_back(on_stack);
        open.push_back(x);
        frames.push_back({x, 0});
    };
    for (NodeIndex root = 0; root < n; ++root) {
        if (visited(root))
            continue;
        visit(root);
        while (!frames.empty()) {
            Frame& frame = frames.back();
            const std::span<const NodeIndex> ds = deps(nodes_[frame.node]);
            if (frame.next_dep < ds.size()) {
                const NodeIndex d = ds[frame.next_dep++];
                check_index(d, n, "nodes");
                if (!visited(d)) {
                    visit(d);  // frame is not used past this point
                } else if (group_of[number_of(d)] == on_stack) {
                    std::uint32_t& l = low[number_of(frame.node)];
                    l = std::min(l, number_of(d));
                }
                continue;
            }
            const NodeIndex node = frame.node;
            const std::uint32_t number = number_of(node);
            frames.pop_back();
            if (!frames.empty()) {
                std::uint32_t& l = low[number_of(frames.back().node)];
                l = std::min(l, low[number]);
            }
            if (low[number] != number)
                continue;
            // `node` heads a component: it and everything above it on `open`.
            std::size_t first = open.size() - 1;
            while (open[first] != node)
                --first;
            const std::size_t size = open.size() - first;
            const auto group = static_cast<std::uint32_t>(group_sizes.size());
            if (size > 1)
                group_sizes.push_back(static_cast<std::uint32_t>(size));
            for (std::size_t k = first; k < open.size(); ++k)
                group_of[number_of(open[k])] = size > 1 ? group : alone;
            open.resize(first);
        }
    }

    // Gathering by ascending index puts each group's members in registration
    // order and the groups in the order of their earliest members, in O(n).
    std::vector<std::vector<NodeIndex>> groups(group_sizes.size());
    std::vector<std::uint32_t> place(group_sizes.size(), on_stack);  // on_stack: not yet placed
    std::uint32_t placed = 0;
    for (NodeIndex x = 0; x < n; ++x) {
        const std::uint32_t group = group_of[number_of(x)];
        if (group == alone)
            continue;
        if (group >= place.size())
            throw InternalFault("node left without a group");
        if (place[group] == on_stack) {
            place[group] = placed++;
            groups[place[group]].reserve(group_sizes[group]);
        }
        groups[place[group]].push_back(x);
    }
    return groups;
}

}  // namespace quorl::core
