#include "verify.hpp"

#include <algorithm>
#include <cstdint>

#include "expect.hpp"
#include "report.hpp"
#include "vocabulary.hpp"

namespace quorl::fuzz {

using core::Graph;
using core::Node;

Snapshot snapshot(const Graph& g) {
    Snapshot s;
    for (NodeIndex i : g.node_ids()) {
        const Node& n = g.node(i);
        s.id_bytes += g.id_of(i);
        s.id_ends.push_back(s.id_bytes.size());
        s.kinds.push_back(n.kind);
        s.states.push_back(g.state_at(i));
        const auto d = g.deps(n);
        s.deps.insert(s.deps.end(), d.begin(), d.end());
        s.deps_ends.push_back(s.deps.size());
        s.has_signature.push_back(n.has_signature);
        s.signatures.push_back(n.has_signature ? n.signature : 0);
        s.content_hashes.push_back(n.content_hash);
        s.epochs.push_back(n.epoch);
    }
    s.epoch_counter = g.epoch_counter();
    s.built = g.built();
    if (s.built) {
        auto order = g.topo_order();
        expect_ok(order);
        s.order.assign(order->begin(), order->end());
    }
    return s;
}

void check_queries(const Graph& g, const Model& m, const std::string& id,
                   std::optional<NodeIndex> i, bool with_state) {
    auto index = g.index_of(id);
    auto kind = g.kind_of(id);
    auto state = g.state_of(id);
    auto deps = g.deps_of(id);
    CHECK(g.contains(id) == i.has_value());
    if (!i) {
        expect_error(index, kUnknownNode, id);
        expect_error(kind, kUnknownNode, id);
        expect_error(state, kUnknownNode, id);
        expect_error(deps, kUnknownNode, id);
        return;
    }
    CHECK(index && *index == *i);
    CHECK(kind && *kind == m.kinds[*i]);
    CHECK(to_string(*kind) == kind_names[static_cast<int>(m.kinds[*i])]);
    CHECK(state.has_value());
    if (with_state) {
        CHECK(*state == m.states[*i]);
        CHECK(to_string(*state) == state_names[static_cast<int>(m.states[*i])]);
    }
    CHECK(deps && std::equal(deps->begin(), deps->end(), m.deps[*i].begin(), m.deps[*i].end()));
}

void check_closure(const Graph& g, const Model& m, const std::vector<NodeIndex>& result,
                   std::optional<NodeIndex> also_closed) {
    std::vector<bool> in(m.size());
    for (std::size_t k = 0; k < result.size(); ++k) {
        CHECK(result[k] < m.size());
        in[result[k]] = true;
        if (k > 0)
            CHECK(m.position[result[k - 1]] < m.position[result[k]]);
    }
    std::vector<NodeIndex> members = result;
    if (also_closed)
        members.push_back(*also_closed);
    for (NodeIndex x : members)
        for (NodeIndex d : g.dependents(x))
            CHECK(in[d]);
}

void verify(const Graph& g, const Model& m, bool full) {
    g.check_invariants();
    const std::size_t n = m.size();
    CHECK(g.size() == n);
    const std::vector<NodeIndex> node_ids = g.node_ids();
    CHECK(node_ids.size() == n);
    CHECK(g.epoch_counter() == m.epoch_counter);
    CHECK(g.built() == m.built);
    for (std::size_t i = 0; i < n; ++i) {
        const NodeIndex ni = static_cast<NodeIndex>(i);
        const std::string& id = m.ids[i];
        CHECK(node_ids[i] == ni);
        CHECK(g.id_of(ni) == id);
        auto index = g.index_of(id);
        expect_ok(index);
        CHECK(*index == ni);
        const Node& node = g.node(ni);
        CHECK(node.kind == m.kinds[i]);
        CHECK(g.state_at(ni) == m.states[i]);
        CHECK(node.has_signature == m.signatures[i].has_value());
        if (node.has_signature)
            CHECK(node.signature == *m.signatures[i]);
        CHECK(node.content_hash == m.content_hashes[i].value_or(0));
        CHECK(node.epoch == m.epochs[i]);
        if (full)
            check_queries(g, m, id, ni);

        const auto deps = g.deps(node);
        CHECK(std::equal(deps.begin(), deps.end(), m.deps[i].begin(), m.deps[i].end()));
        for (std::size_t k = 0; k < deps.size(); ++k) {
            CHECK(deps[k] < n);
            CHECK(deps[k] != ni);
            CHECK(std::find(deps.begin(), deps.begin() + k, deps[k]) == deps.begin() + k);
        }
    }

    auto order = g.topo_order();
    auto views = g.views();
    auto dirty = g.dirty_nodes();
    if (!m.built) {
        expect_error(order, kNotBuilt);
        expect_error(views, kNotBuilt);
        expect_error(dirty, kNotBuilt);
        return;
    }
    expect_ok(order);
    expect_ok(views);
    expect_ok(dirty);
    // A permutation of all nodes, every dep before its dependant.
    CHECK(order->size() == n);
    std::vector<std::size_t> pos(n, SIZE_MAX);
    for (std::size_t k = 0; k < n; ++k) {
        CHECK((*order)[k] < n);
        CHECK(pos[(*order)[k]] == SIZE_MAX);
        pos[(*order)[k]] = k;
    }
    for (std::size_t i = 0; i < n; ++i)
        for (NodeIndex d : m.deps[i])
            CHECK(pos[d] < pos[i]);
    // The lexicographically smallest such order.
    CHECK(std::equal(order->begin(), order->end(), m.order.begin(), m.order.end()));
    std::vector<NodeIndex> want_views, want_dirty;
    for (NodeIndex i : m.order) {
        if (m.kinds[i] == NodeKind::View)
            want_views.push_back(i);
        if (m.states[i] == NodeState::Dirty)
            want_dirty.push_back(i);
    }
    CHECK(*views == want_views);
    CHECK(*dirty == want_dirty);
    const auto want_dependents = m.all_dependents();
    for (std::size_t i = 0; i < n; ++i) {
        const auto dependents = g.dependents(static_cast<NodeIndex>(i));
        const auto& want = want_dependents[i];
        CHECK(std::equal(dependents.begin(), dependents.end(), want.begin(), want.end()));
    }
}

}  // namespace quorl::fuzz
