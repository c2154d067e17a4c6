// The reverse edges: one ascending run of dependents per node in a shared
// pool. A full build writes them packed; set_deps on a built graph edits them
// in place, moving a run that outgrows its room to the end of the pool, and
// the pool is compacted once most of it holds no edge.
#include <algorithm>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

// Room given to a run that has to move: doubling keeps a node that gains
// dependents one at a time at amortised O(1) moves per edge.
NodeIndex grown_capacity(NodeIndex count) { return std::max<NodeIndex>(4, count * 2); }

}  // namespace

void Graph::throw_dependents_fault(NodeIndex node) {
    throw InternalFault("dependents of node " + std::to_string(node) + " out of range");
}

// O(n + e). Allocates before it changes anything.
void Graph::rebuild_dependents() const {
    const std::size_t n = nodes_.size();
    std::size_t edges = 0;
    for (const Node& node : nodes_)
        edges += node.deps_count;
    std::vector<DependentsRun> runs(n);
    std::vector<NodeIndex> pool(edges);
    for (const Node& node : nodes_)
        for (NodeIndex d : deps(node)) {
            check_index(d, n, "nodes");
            ++runs[d].count;
        }
    NodeIndex offset = 0;
    for (DependentsRun& run : runs) {
        run.offset = offset;
        run.capacity = run.count;
        offset += run.count;
        run.count = 0;
    }
    // Visiting nodes in ascending order leaves every run ascending.
    for (std::size_t i = 0; i < n; ++i)
        for (NodeIndex d : deps(nodes_[i])) {
            DependentsRun& run = runs[d];
            pool[run.offset + run.count++] = static_cast<NodeIndex>(i);
        }
    dependents_runs_.swap(runs);
    dependents_.swap(pool);
    dependents_current_ = true;
}

// Room for each node in `added` to gain one dependent. The pool is compacted
// first once most of it holds no edge: a run that moves leaves its old room
// behind, and one that loses dependents keeps its room. Counting only what
// moves left behind could never pass half the pool (each move adds twice
// what it leaves), so the pool would only grow. Compacted runs keep exactly
// their dependents, which is why the room is counted again after it.
void Graph::reserve_dependents(std::span<const NodeIndex> added) const {
    const auto room_for = [added](const std::vector<DependentsRun>& runs) {
        std::size_t needed = 0;
        for (NodeIndex d : added) {
            check_index(d, runs.size(), "dependents");
            if (runs[d].count == runs[d].capacity)
                needed += grown_capacity(runs[d].count);
        }
        return needed;
    };
    std::size_t needed = room_for(dependents_runs_);
    if (needed == 0)
        return;
    const std::size_t edges = dep_pool_.size() - dep_pool_garbage_;  // one per dep
    if (dependents_.size() >= 1024 && dependents_.size() - edges > dependents_.size() / 2) {
        std::vector<DependentsRun> runs(dependents_runs_);
        NodeIndex offset = 0;
        for (DependentsRun& run : runs) {
            run.offset = offset;
            run.capacity = run.count;
            offset += run.count;
        }
        needed = room_for(runs);
        if (edges + needed > max_dep_entries)
            throw std::length_error("graph cannot hold more dependents");
        std::vector<NodeIndex> pool;
        pool.reserve(edges + needed);
        for (const DependentsRun& run : dependents_runs_)
            pool.insert(pool.end(), dependents_.begin() + run.offset,
                        dependents_.begin() + run.offset + run.count);
        if (pool.size() != edges)
            throw InternalFault("reverse edges do not match the deps");
        dependents_runs_.swap(runs);
        dependents_.swap(pool);
        return;
    }
    if (dependents_.size() + needed > max_dep_entries)
        throw std::length_error("graph cannot hold more dependents");
    reserve_more(dependents_, needed);
}

void Graph::difference(std::span<const NodeIndex> a, std::span<const NodeIndex> b,
                       std::vector<NodeIndex>& out) const {
    out.clear();
    out.reserve(a.size());
    if (a.size() * b.size() <= 256) {
        for (NodeIndex x : a)
            if (std::ranges::find(b, x) == b.end())
                out.push_back(x);
        return;
    }
    marks_.begin(nodes_.size());
    for (NodeIndex x : b)
        marks_.mark(x);
    for (NodeIndex x : a)
        if (!marks_.marked(x))
            out.push_back(x);
}

// Needs reserve_dependents(added) first; then nothing here allocates.
void Graph::link_dependents(NodeIndex node, std::span<const NodeIndex> removed,
                            std::span<const NodeIndex> added) {
    for (NodeIndex d : removed) {
        check_index(d, dependents_runs_.size(), "dependents");
        DependentsRun& run = dependents_runs_[d];
        NodeIndex* begin = dependents_.data() + run.offset;
        NodeIndex* end = begin + run.count;
        NodeIndex* at = std::lower_bound(begin, end, node);
        if (at == end || *at != node)
            throw InternalFault("reverse edge missing");
        std::copy(at + 1, end, at);
        --run.count;
    }
    for (NodeIndex d : added) {
        check_index(d, dependents_runs_.size(), "dependents");
        DependentsRun& run = dependents_runs_[d];
        if (run.count == run.capacity) {
            const NodeIndex capacity = grown_capacity(run.count);
            const auto offset = static_cast<NodeIndex>(dependents_.size());
            if (dependents_.capacity() - dependents_.size() < capacity)
                throw InternalFault("reverse edges not reserved");
            dependents_.resize(dependents_.size() + capacity);
            std::copy_n(dependents_.begin() + run.offset, run.count, dependents_.begin() + offset);
            run.offset = offset;
            run.capacity = capacity;
        }
        NodeIndex* begin = dependents_.data() + run.offset;
        NodeIndex* end = begin + run.count;
        NodeIndex* at = std::upper_bound(begin, end, node);
        std::copy_backward(at, end, end + 1);
        *at = node;
        ++run.count;
    }
}

}  // namespace quorl::core
