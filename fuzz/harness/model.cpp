#include "model.hpp"

#include <algorithm>
#include <functional>
#include <queue>
#include <utility>

namespace quorl::fuzz {

std::optional<NodeIndex> Model::find(std::string_view id) const {
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (ids[i] == id)
            return static_cast<NodeIndex>(i);
    return std::nullopt;
}

void Model::add(const std::string& id, NodeKind kind) {
    ids.push_back(id);
    kinds.push_back(kind);
    deps.emplace_back();
    states.push_back(NodeState::Dirty);
    signatures.emplace_back();
    content_hashes.emplace_back();
    epochs.push_back(0);
    ++ever_added;
    built = false;
}

void Model::remove(const std::vector<bool>& gone) {
    std::vector<NodeIndex> renumber(size(), 0);
    Model kept;
    for (std::size_t i = 0; i < size(); ++i) {
        if (gone[i])
            continue;
        renumber[i] = static_cast<NodeIndex>(kept.size());
        kept.ids.push_back(ids[i]);
        kept.kinds.push_back(kinds[i]);
        kept.deps.push_back(deps[i]);
        kept.states.push_back(states[i]);
        kept.signatures.push_back(signatures[i]);
        kept.content_hashes.push_back(content_hashes[i]);
        kept.epochs.push_back(epochs[i]);
    }
    for (auto& list : kept.deps)
        for (NodeIndex& d : list)
            d = renumber[d];
    const auto survivors = [&](const std::vector<NodeIndex>& list) {
        std::vector<NodeIndex> out;
        for (NodeIndex i : list)
            if (!gone[i])
                out.push_back(renumber[i]);
        return out;
    };
    kept.unsettled_seeds = survivors(unsettled_seeds);
    kept.unsettled = survivors(unsettled);
    kept.epoch_counter = epoch_counter;
    kept.ever_added = ever_added;
    kept.built = built;
    // What remains, built afresh: the order a new declaration of it gets.
    if (built) {
        std::vector<NodeIndex> order, stuck;
        kept.kahn(order, stuck);
        // Copied to a vector of exactly its size, as a build's order is: the
        // vector's copy assignment over spare room (the next build's) is
        // not annotated for the address sanitizer in libstdc++ 12, which
        // then reports the room as overflowed.
        kept.order = order;
        kept.position.assign(kept.size(), 0);
        for (std::size_t k = 0; k < kept.order.size(); ++k)
            kept.position[kept.order[k]] = static_cast<NodeIndex>(k);
    }
    *this = std::move(kept);
}

std::vector<std::vector<NodeIndex>> Model::all_dependents() const {
    std::vector<std::vector<NodeIndex>> out(size());
    for (std::size_t j = 0; j < size(); ++j)
        for (NodeIndex d : deps[j])
            out[d].push_back(static_cast<NodeIndex>(j));
    return out;
}

bool Model::kahn(std::vector<NodeIndex>& out, std::vector<NodeIndex>& stuck) const {
    const std::size_t n = size();
    const auto dependents = all_dependents();
    std::vector<std::size_t> in_degree(n);
    std::priority_queue<NodeIndex, std::vector<NodeIndex>, std::greater<NodeIndex>> ready;
    for (std::size_t i = 0; i < n; ++i) {
        in_degree[i] = deps[i].size();
        if (in_degree[i] == 0)
            ready.push(static_cast<NodeIndex>(i));
    }
    out.clear();
    while (!ready.empty()) {
        const NodeIndex u = ready.top();
        ready.pop();
        out.push_back(u);
        for (NodeIndex j : dependents[u])
            if (--in_degree[j] == 0)
                ready.push(j);
    }
    stuck.clear();
    for (std::size_t i = 0; i < n; ++i)
        if (in_degree[i] > 0)
            stuck.push_back(static_cast<NodeIndex>(i));
    return out.size() == n;
}

std::vector<NodeIndex> Model::closure(const std::vector<NodeIndex>& seeds) const {
    return closure(seeds, all_dependents());
}

std::vector<NodeIndex> Model::closure(const std::vector<NodeIndex>& seeds,
                                      const std::vector<std::vector<NodeIndex>>& dependents) const {
    std::vector<bool> seen(size());
    std::vector<NodeIndex> out;
    for (NodeIndex s : seeds)
        if (!seen[s]) {
            seen[s] = true;
            out.push_back(s);
        }
    for (std::size_t head = 0; head < out.size(); ++head)
        for (NodeIndex d : dependents[out[head]])
            if (!seen[d]) {
                seen[d] = true;
                out.push_back(d);
            }
    return out;
}

std::vector<NodeIndex> Model::topo_sorted(std::vector<NodeIndex> nodes) const {
    // Nodes of equal place are the same node, so any sort is stable here;
    // not an insertion sort, since closures of bulk-grown graphs run to
    // thousands of nodes.
    std::ranges::sort(nodes, {}, [this](NodeIndex i) { return position[i]; });
    return nodes;
}

// The fold constants are the kernel's own; their values are pinned by the
// Python suite's fixed fold results.
std::uint64_t Model::fold(NodeIndex node) const {
    std::uint64_t h = core::fold_start;
    for (NodeIndex d : deps[node]) {
        const std::uint64_t key =
            kinds[d] == NodeKind::Input ? content_hashes[d].value_or(0) : epochs[d];
        h = (h ^ key) * core::fold_multiplier;
    }
    return h;
}

}  // namespace quorl::fuzz
