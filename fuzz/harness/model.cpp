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
    built = false;
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

// An input given a hash settles at once; any other node once its deps in
// the closure are released, an input with the hash it has, another node
// when its fold holds and it is no seed. A report settles its node, but
// releases its dependants only when its batch is complete.
void Model::abandon_round(const std::vector<NodeIndex>& closure, const RoundProgress& done) {
    std::vector<bool> in_closure(size(), false);
    for (NodeIndex i : closure)
        in_closure[i] = true;
    std::vector<bool> released(size(), false);
    for (NodeIndex i : topo_sorted(closure)) {
        const bool deps_released = std::ranges::all_of(
            deps[i], [&](NodeIndex d) { return !in_closure[d] || released[d]; });
        bool settled = false;
        if (done.given[i]) {
            settled = released[i] = true;
        } else if (done.reported[i]) {
            settled = true;
            released[i] = done.flushed[i];
        } else if (kinds[i] == NodeKind::Input) {
            settled = released[i] = deps_released;
            if (settled)
                signatures[i] = content_hashes[i].value_or(0);
        } else if (!done.handed[i] && !done.forced[i] && signatures[i] &&
                   *signatures[i] == fold(i)) {
            settled = released[i] = deps_released;
        }
        states[i] = settled ? NodeState::Clean : NodeState::Dirty;
        if (!settled)
            (done.forced[i] ? unsettled_seeds : unsettled).push_back(i);
    }
}

}  // namespace quorl::fuzz
