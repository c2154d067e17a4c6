// The harness's model of the kernel: deliberately naive (linear scans, plain
// vectors, its own heap-based Kahn), so that it is easy to trust and shares
// no code with what it checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/graph.hpp"

namespace quorl::fuzz {

using core::NodeIndex;
using core::NodeKind;
using core::NodeState;

struct Model {
    std::vector<std::string> ids;
    std::vector<NodeKind> kinds;
    std::vector<std::vector<NodeIndex>> deps;
    std::vector<NodeState> states;
    std::vector<std::optional<std::uint64_t>> signatures;
    std::vector<std::optional<std::uint64_t>> content_hashes;
    std::vector<std::uint64_t> epochs;
    std::uint64_t epoch_counter = 0;
    bool built = false;
    std::vector<NodeIndex> order;     // of the last successful build
    std::vector<NodeIndex> position;  // likewise
    // What the last abandoned round left for the next one: the seeds among
    // the nodes it did not settle, still seeds then, and the others.
    std::vector<NodeIndex> unsettled_seeds;
    std::vector<NodeIndex> unsettled;
    std::size_t ever_added = 0;  // nodes ever registered, removed ones too

    std::size_t size() const { return ids.size(); }
    std::optional<NodeIndex> find(std::string_view id) const;
    void add(const std::string& id, NodeKind kind);
    // Drops the nodes `gone` marks, numbering the rest again in order.
    void remove(const std::vector<bool>& gone);

    // Every node's dependents, each list ascending by node index.
    std::vector<std::vector<NodeIndex>> all_dependents() const;
    // Kahn's algorithm with a min-heap on node index. Returns the order, or
    // leaves `stuck` with every node that could not be placed.
    bool kahn(std::vector<NodeIndex>& out, std::vector<NodeIndex>& stuck) const;
    // Breadth first along dependents: seeds at first mention, then each node's
    // dependents (ascending) as the queue reaches them.
    std::vector<NodeIndex> closure(const std::vector<NodeIndex>& seeds) const;
    // The same over dependents computed once, for callers that ask many times.
    std::vector<NodeIndex> closure(const std::vector<NodeIndex>& seeds,
                                   const std::vector<std::vector<NodeIndex>>& dependents) const;
    std::vector<NodeIndex> topo_sorted(std::vector<NodeIndex> nodes) const;
    std::uint64_t fold(NodeIndex node) const;
};

}  // namespace quorl::fuzz
