// Node states and memo signatures: the per-node calls of an update round.
#include "core/graph.hpp"
#include "core/round.hpp"

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
        note_new_epoch(index_at(n));
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

Result<std::uint64_t> Graph::epoch_of(std::string_view id) const {
    return with_node(*this, id, [](const Node& n) { return n.epoch; });
}

Result<void> Graph::restore_node(std::string_view id, std::uint64_t signature,
                                 std::uint64_t epoch) {
    // Checked before an open round ends: the epochs it has still to give
    // out were never held, and a refusal leaves the round open.
    return with_node(*this, id, [this, signature, epoch](Node& n) -> Result<void> {
        const NodeIndex i = index_at(n);
        if (auto claimed = claim_epoch(i, epoch); !claimed)
            return claimed;
        if (round_open())  // its end gives out epochs, which must not allocate
            reserve_epoch_notes(open_round_->scheduled());
        end_round();
        set_state(i, NodeState::Clean);
        n.signature = signature;
        n.has_signature = true;
        set_fold_current(i, false);
        if (n.epoch != epoch) {
            n.epoch = epoch;
            forget_dependant_folds(n);
        }
        return {};
    });
}

Result<void> Graph::claim_epoch(NodeIndex node, std::uint64_t epoch) {
    if (epoch == 0 || epoch > epoch_counter_)
        return fail(EpochNeverHandedOut{epoch, epoch_counter_});
    index_epochs();
    auto [it, added] = epoch_holders_.try_emplace(epoch, node);
    const NodeIndex holder = it->second;
    if (!added && holder != node) {
        if (holder < nodes_.size() && nodes_[holder].epoch == epoch)
            return fail(EpochHeld{epoch, std::string(id_at(holder))});
        it->second = node;  // a stale entry: its node moved on
    }
    return {};
}

void Graph::index_epochs() {
    // Rebuilt when stale entries outnumber the live ones.
    if (!epochs_indexed_ || epoch_holders_.size() > (2 * nodes_.size()) + 64) {
        drop_epoch_index();  // until complete: an allocation may fail part way
        for (std::size_t i = 0; i < nodes_.size(); ++i)
            if (nodes_[i].epoch != 0)
                epoch_holders_.insert_or_assign(nodes_[i].epoch, static_cast<NodeIndex>(i));
        epochs_indexed_ = true;
    }
    for (NodeIndex node : new_epoch_holders_) {
        check_index(node, nodes_.size(), "nodes");
        if (nodes_[node].epoch != 0)
            epoch_holders_.insert_or_assign(nodes_[node].epoch, node);
    }
    new_epoch_holders_.clear();
}

void Graph::note_new_epoch(NodeIndex node) {
    if (!epochs_indexed_) [[likely]]
        return;
    if (new_epoch_holders_.size() > nodes_.size() + 64) {
        // Commits without restores: stop paying for the index until one comes.
        drop_epoch_index();
        return;
    }
    new_epoch_holders_.push_back(node);
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
