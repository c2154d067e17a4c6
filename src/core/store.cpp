// Registration and queries: add_node, set_deps and the id lookups.
#include <algorithm>
#include <limits>
#include <numeric>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

constexpr std::string_view kind_names[] = {"input", "source", "reactive", "view"};
constexpr std::string_view state_names[] = {"clean", "dirty", "computing"};

// A deps list longer than this is checked for repeats with visit marks
// instead of a scan of the entries collected so far.
constexpr std::size_t linear_repeat_scan_limit = 16;

}  // namespace

std::string_view to_string(NodeKind kind) noexcept { return kind_names[static_cast<int>(kind)]; }
std::string_view to_string(NodeState state) noexcept {
    return state_names[static_cast<int>(state)];
}

Result<NodeIndex> Graph::index_of(std::string_view id) const {
    const NodeIndex node = find(id);
    if (node == IdIndex::absent)
        return fail(UnknownNode{std::string(id)});
    return node;
}

Result<std::vector<NodeIndex>> Graph::indices_of(std::span<const std::string_view> ids) const {
    std::vector<NodeIndex> indices;
    indices.reserve(ids.size());
    for (std::string_view id : ids) {
        const NodeIndex node = find(id);
        if (node == IdIndex::absent)
            return fail(UnknownNode{std::string(id)});
        indices.push_back(node);
    }
    return indices;
}

std::string_view Graph::id_of(NodeIndex node) const {
    check_index(node, nodes_.size(), "nodes");
    const Node& n = nodes_[node];
    if (n.id_offset > id_bytes_.size() || n.id_length > id_bytes_.size() - n.id_offset)
        throw InternalFault("id of node " + std::to_string(node) + " out of range of id storage");
    return id_at(node);
}

std::span<const NodeIndex> Graph::deps(const Node& node) const {
    if (node.deps_offset > dep_pool_.size() ||
        node.deps_count > dep_pool_.size() - node.deps_offset)
        throw InternalFault("deps out of range of deps storage");
    return {dep_pool_.data() + node.deps_offset, node.deps_count};
}

bool Graph::same_structure(const Graph& other) const {
    const std::size_t n = nodes_.size();
    if (n != other.nodes_.size())
        return false;
    // Graphs declared alike, or one restored from the other's snapshot, lay
    // their ids and deps out alike: then two block comparisons cover them.
    bool alike = id_bytes_ == other.id_bytes_ && dep_pool_ == other.dep_pool_;
    for (std::size_t i = 0; i < n; ++i) {
        const Node& a = nodes_[i];
        const Node& b = other.nodes_[i];
        if (a.kind != b.kind || a.id_length != b.id_length || a.deps_count != b.deps_count)
            return false;
        // Where an empty run starts does not matter.
        alike = alike && (a.id_length == 0 || a.id_offset == b.id_offset) &&
                (a.deps_count == 0 || a.deps_offset == b.deps_offset);
    }
    if (alike)
        return true;
    for (std::size_t i = 0; i < n; ++i) {
        const auto node = static_cast<NodeIndex>(i);
        if (id_of(node) != other.id_of(node) ||
            !std::ranges::equal(deps(nodes_[i]), other.deps(other.nodes_[i])))
            return false;
    }
    return true;
}

Result<void> Graph::add_node(std::string_view id, std::string_view kind_name) {
    const IdIndex::Key key = index_.key_of(id);
    if (index_.find(id, key, [this](NodeIndex i) { return id_at(i); }) != IdIndex::absent)
        return fail(AlreadyRegistered{std::string(id)});
    const auto* const kind = std::ranges::find_if(
        kind_names, [kind_name](std::string_view name) { return same_bytes(name, kind_name); });
    if (kind == std::end(kind_names))
        return fail(InvalidKind{std::string(kind_name)});
    if (nodes_.size() >= max_nodes || id.size() > UINT32_MAX)
        throw std::length_error("graph cannot hold more nodes or longer ids");

    // Every allocation comes before the first change that could not be undone.
    index_.reserve(nodes_.size() + 1);
    reserve_more(bits_, 1);
    if (dependents_current_)
        reserve_more(dependents_runs_, 1);
    const std::size_t id_offset = id_bytes_.size();
    id_bytes_.append(id);
    Node node;
    node.id_offset = id_offset;
    node.id_length = static_cast<std::uint32_t>(id.size());
    node.kind = static_cast<NodeKind>(kind - std::begin(kind_names));
    try {
        nodes_.push_back(node);
    } catch (...) {
        id_bytes_.resize(id_offset);
        throw;
    }
    bits_.push_back(node_bits::of(node.kind, NodeState::Dirty));
    index_.insert(key, static_cast<NodeIndex>(nodes_.size() - 1));
    if (dependents_current_)
        dependents_runs_.push_back({});
    built_ = false;
    end_round();
    return {};
}

Result<void> Graph::set_deps(std::string_view id, std::span<const std::string_view> deps) {
    const NodeIndex target = find(id);
    if (target == IdIndex::absent)
        return fail(UnknownNode{std::string(id)});

    scratch_.clear();
    scratch_.reserve(deps.size());
    const bool scan = deps.size() <= linear_repeat_scan_limit;
    if (!scan)
        marks_.begin(nodes_.size());
    for (std::string_view dep : deps) {
        const Result<NodeIndex> found = dep_of(id, dep);
        if (!found)
            return fail(found.error());
        const NodeIndex d = *found;
        const bool repeat =
            scan ? std::ranges::find(scratch_, d) != scratch_.end() : !marks_.mark(d);
        if (!repeat)
            scratch_.push_back(d);
    }
    // Allocate first; from store_deps on nothing can fail but a broken invariant.
    Node& node = nodes_[target];
    if (dependents_current_) {
        difference(this->deps(node), scratch_, removed_scratch_);
        difference(scratch_, this->deps(node), added_scratch_);
        reserve_dependents(added_scratch_);
    }
    const bool first_edit = target < order_.size() && !node.edited;
    NodeIndex was_ready_at = 0;
    if (first_edit) {
        reserve_more(edits_, 1);
        for (NodeIndex d : this->deps(node)) {
            check_index(d, position_.size(), "position");
            was_ready_at = std::max(was_ready_at, position_[d] + 1);
        }
    }
    store_deps(node, scratch_);
    set_fold_current(target, false);
    if (dependents_current_)
        link_dependents(target, removed_scratch_, added_scratch_);
    if (first_edit) {
        node.edited = true;
        edits_.push_back({target, was_ready_at});
    }
    last_edited_ = target;
    built_ = false;
    end_round();
    return {};
}

// Writes `deps` as the node's run in the pool: over the old run when it fits,
// else at the end of the pool, compacting first when most of it is garbage.
void Graph::store_deps(Node& node, std::span<const NodeIndex> deps) {
    const std::size_t count = deps.size();
    const bool at_end = node.deps_offset + node.deps_count == dep_pool_.size();
    if (count <= node.deps_count || at_end) {
        if (at_end && count > node.deps_count) {
            if (node.deps_offset + count > max_dep_entries)
                throw std::length_error("graph cannot hold more deps");
            dep_pool_.resize(node.deps_offset + count);
        } else {
            dep_pool_garbage_ += node.deps_count - count;
        }
        std::ranges::copy(deps, dep_pool_.begin() + node.deps_offset);
        node.deps_count = static_cast<std::uint32_t>(count);
        return;
    }
    if (dep_pool_garbage_ > dep_pool_.size() / 2 && dep_pool_.size() >= 1024)
        compact_dep_pool(count);
    if (dep_pool_.size() + count > max_dep_entries)
        throw std::length_error("graph cannot hold more deps");
    const std::size_t offset = dep_pool_.size();
    dep_pool_.insert(dep_pool_.end(), deps.begin(), deps.end());
    dep_pool_garbage_ += node.deps_count;
    node.deps_offset = static_cast<std::uint32_t>(offset);
    node.deps_count = static_cast<std::uint32_t>(count);
}

// Rewrites the pool with the live runs only, in node order, with room for
// `extra` more entries. Leaves the deps as they were, so it may run before a
// change that later fails.
void Graph::compact_dep_pool(std::size_t extra) {
    std::vector<NodeIndex> pool;
    pool.reserve(dep_pool_.size() - dep_pool_garbage_ + extra);
    for (Node& node : nodes_) {
        const auto run = deps(node);
        node.deps_offset = static_cast<std::uint32_t>(pool.size());
        pool.insert(pool.end(), run.begin(), run.end());
    }
    dep_pool_.swap(pool);
    dep_pool_garbage_ = 0;
}

namespace {

template <typename T>
std::size_t held(const std::vector<T>& v) noexcept {
    return v.capacity() * sizeof(T);
}

}  // namespace

std::size_t Graph::heap_bytes() const noexcept {
    return held(nodes_) + held(bits_) + id_bytes_.capacity() + held(dep_pool_) +
           index_.heap_bytes() + held(dependents_runs_) + held(dependents_) + held(order_) +
           held(position_) + held(edits_) + held(unsettled_seeds_) + held(unsettled_) +
           marks_.heap_bytes() + held(scratch_) + held(removed_scratch_) + held(added_scratch_) +
           held(run_in_degree_) + held(new_epoch_holders_) +
           // A node-based hash map: an entry and its link per epoch, a pointer per bucket.
           (epoch_holders_.size() * (sizeof(std::pair<std::uint64_t, NodeIndex>) + sizeof(void*))) +
           (epoch_holders_.bucket_count() * sizeof(void*));
}

Result<NodeKind> Graph::kind_of(std::string_view id) const {
    return with_node(*this, id, [](const Node& n) { return n.kind; });
}

Result<NodeState> Graph::state_of(std::string_view id) const {
    return with_node(*this, id, [this](const Node& n) { return state_at(index_at(n)); });
}

Result<std::span<const NodeIndex>> Graph::deps_of(std::string_view id) const {
    return with_node(*this, id, [this](const Node& n) { return deps(n); });
}

std::vector<NodeIndex> Graph::node_ids() const {
    std::vector<NodeIndex> all(nodes_.size());
    // NOLINTNEXTLINE(modernize-use-ranges): std::ranges::iota needs libstdc++ 13.
    std::iota(all.begin(), all.end(), NodeIndex{0});
    return all;
}

void Graph::VisitMarks::begin(std::size_t node_count) { claim(node_count, 1); }

std::uint32_t* Graph::VisitMarks::number(std::size_t node_count, std::uint32_t& base) {
    base = claim(node_count, node_count);
    return stamps_.data();
}

// Claims the stamps base + 1 .. base + count, all above every stamp given
// out before, and returns base; current_ ends at the last of them. Claimed
// before any is written: a walk that throws halfway leaves no stamp that a
// later traversal could read as its own.
std::uint32_t Graph::VisitMarks::claim(std::size_t node_count, std::size_t count) {
    if (stamps_.size() < node_count)
        stamps_.resize(node_count, current_);  // unmarked once current_ moves on
    ++uses_;
    if (count >= std::numeric_limits<std::uint32_t>::max() - current_) {
        // The stamps would wrap: old ones could read as new. Start over.
        std::ranges::fill(stamps_, 0);
        current_ = 0;
    }
    const std::uint32_t base = current_;
    current_ += static_cast<std::uint32_t>(count);
    return base;
}

}  // namespace quorl::core
