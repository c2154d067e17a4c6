// Node states and memo signatures: the per-node calls of an update round.
#include "core/graph.hpp"

namespace quorl::core {

Result<void> Graph::set_dirty(std::string_view id) {
    return per_node_call(id, [this](Node& n) { set_state(index_at(n), NodeState::Dirty); });
}

Result<void> Graph::set_computing(std::string_view id) {
    return per_node_call(id, [this](Node& n) { set_state(index_at(n), NodeState::Computing); });
}

// Same effect as skip_node: the node's dependants keep folding the same key.
Result<void> Graph::set_clean(std::string_view id, std::uint64_t hash) {
    return skip_node(id, hash);
}

Result<bool> Graph::needs_recompute(std::string_view id, std::uint64_t input_hash) const {
    return with_node(*this, id, [input_hash](const Node& n) {
        return !(n.has_signature && n.signature == input_hash);
    });
}

// An input dep takes part through the hash of its value, every other dep
// through its commit epoch; order matters, and changing one key always
// changes the result (each step is a bijection of the running value).
std::uint64_t Graph::fold_signature(const Node& node) const {
    std::uint64_t h = fold_start;
    for (NodeIndex d : deps(node)) {
        check_index(d, nodes_.size(), "nodes");
        const Node& dep = nodes_[d];
        const std::uint64_t key = dep.kind == NodeKind::Input ? dep.content_hash : dep.epoch;
        h = (h ^ key) * fold_multiplier;
    }
    return h;
}

Result<CheckResult> Graph::check_node(std::string_view id) {
    return per_node_call(id, [this](const Node& n) {
        const std::uint64_t folded = fold_signature(n);
        return CheckResult{n.kind, !(n.has_signature && n.signature == folded), folded};
    });
}

void Graph::forget_dependant_folds(const Node& node) {
    if (!folds_recorded_)
        return;  // only rounds record folds: the per-node protocol alone pays nothing
    for (NodeIndex d : dependents(index_at(node)))
        set_fold_current(d, false);
}

Result<void> Graph::commit_node(std::string_view id, std::uint64_t signature) {
    // An unknown id is reported first, as by every per-node call; the epochs
    // left are counted once the round has ended, which may have used some.
    return per_node_call(id, [this, signature](Node& n) -> Result<void> {
        if (epoch_counter_ >= max_epoch) [[unlikely]]
            return fail(EpochsExhausted{});
        ++epoch_counter_;
        set_state(index_at(n), NodeState::Clean);
        n.signature = signature;
        n.has_signature = true;
        set_fold_current(index_at(n), false);
        n.epoch = epoch_counter_;
        forget_dependant_folds(n);
        return {};
    });
}

Result<void> Graph::skip_node(std::string_view id, std::uint64_t signature) {
    return per_node_call(id, [this, signature](Node& n) {
        set_state(index_at(n), NodeState::Clean);
        n.signature = signature;
        n.has_signature = true;
        set_fold_current(index_at(n), false);
    });
}

Result<void> Graph::commit_input(std::string_view id, std::uint64_t content_hash) {
    return per_node_call(id, [this, content_hash](Node& n) {
        const bool moved = n.kind == NodeKind::Input && n.content_hash != content_hash;
        n.content_hash = content_hash;
        n.signature = content_hash;
        n.has_signature = true;
        set_fold_current(index_at(n), false);
        set_state(index_at(n), NodeState::Clean);
        if (moved)
            forget_dependant_folds(n);
    });
}

}  // namespace quorl::core
