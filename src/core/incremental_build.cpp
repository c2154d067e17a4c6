// build() after edits to a built graph: the same order a full build gives,
// at a cost in proportion to the stretch of the order the edits disturb.
//
// The cached order is the greedy one: at every step the smallest ready node
// comes next. Up to the first step at which an edit changes which node that
// is, the new order equals the old one, so placement restarts there (`start`).
// It stops as soon as it has placed exactly the nodes the old order placed up
// to the same point, every edited node among them: what is left is then the
// same subgraph with the same placed set, so the rest of the old order stands.
//
// Between those points, nodes fall in two classes. Affected nodes are the
// edited and new ones and everything downstream of them; they are placed
// from a min-heap as their deps get placed. Every other node has only
// unaffected ancestors, so the greedy places those nodes among themselves
// exactly as before: they are taken from the old order in sequence, each
// ready when its turn comes, without counting deps or walking dependents.
// Each step takes the smaller of the two candidates. Which class a node of
// the old order belongs to is settled when the walk along the old order
// reaches it, since its deps all come earlier.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <utility>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

constexpr NodeIndex never = std::numeric_limits<NodeIndex>::max();
// States of an affected node besides its count of unplaced deps.
constexpr std::uint32_t placed_in_run = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t gated_on_walk = placed_in_run - 1;
constexpr std::uint32_t not_yet_counted = placed_in_run - 2;

}  // namespace

bool Graph::incremental_build() {
    const std::size_t n = nodes_.size();
    const std::size_t old_n = order_.size();
    // Nothing to start from, or so many edits that placing everything is as
    // cheap: the full build.
    if (old_n == 0 || position_.size() != old_n ||
        edits_.size() > std::max<std::size_t>(64, old_n / 4))
        return false;
    ensure_dependents();  // a restored graph's, derived from the deps as they are now
    if (dependents_runs_.size() != n)
        return false;

    // The first step an edit can affect. A node that becomes ready sooner
    // can be chosen from then on; one that becomes ready only after its old
    // place cannot take it. A new node is larger than every old one, so it
    // is never chosen while an old node is ready: not before step old_n.
    std::size_t start = n > old_n ? old_n : never;
    std::size_t pending = n - old_n;  // edited or new nodes not yet placed by the run
    for (const Edit& edit : edits_) {
        const Node& node = nodes_[edit.node];
        const NodeIndex place = position_[edit.node];
        std::size_t ready_at = 0;
        for (NodeIndex d : deps(node))
            ready_at = std::max<std::size_t>(ready_at, d < old_n ? position_[d] + 1 : never);
        if (ready_at > place)
            start = std::min<std::size_t>(start, place);
        else if (ready_at < edit.was_ready_at)
            start = std::min(start, ready_at);
    }
    if (start == never) {
        finish_build();
        return true;
    }
    for (const Edit& edit : edits_)
        if (position_[edit.node] >= start)
            ++pending;

    // Allocate before anything changes; the run itself only touches scratch.
    reserve_more(order_, n - old_n);
    reserve_more(position_, n - old_n);
    if (run_in_degree_.size() < n)
        run_in_degree_.resize(n);
    // Marked: known to be affected; run_in_degree_ then holds its state.
    marks_.begin(n);
    std::vector<NodeIndex> run;
    std::vector<NodeIndex> ready;  // affected nodes whose deps are all placed
    std::vector<std::pair<std::size_t, NodeIndex>> gated;  // (position, node)
    const std::greater<> later;

    // Old order positions below `walk` are settled: affected (marked) or
    // unaffected and placed. An affected node waits in `gated` while a dep
    // it has is unsettled, until the walk passes that dep's position.
    std::size_t walk = start;
    const auto placed = [&](NodeIndex x) {
        if (marks_.marked(x))
            return run_in_degree_[x] == placed_in_run;
        return x < old_n && position_[x] < walk;
    };
    const auto push_ready = [&](NodeIndex x) {
        ready.push_back(x);
        std::ranges::push_heap(ready, later);
    };
    // Counts an affected node's unplaced deps, or gates it on its last
    // unsettled one.
    const auto count_deps = [&](NodeIndex x) {
        std::uint32_t count = 0;
        std::size_t gate = 0;
        bool gate_needed = false;
        for (NodeIndex d : deps(nodes_[x])) {
            check_index(d, n, "nodes");
            if (placed(d))
                continue;
            if (!marks_.marked(d) && d < old_n && position_[d] >= walk) {
                gate = std::max<std::size_t>(gate, position_[d]);
                gate_needed = true;
            } else {
                ++count;
            }
        }
        if (gate_needed) {
            run_in_degree_[x] = gated_on_walk;
            gated.emplace_back(gate, x);
            std::ranges::push_heap(gated, later);
        } else {
            run_in_degree_[x] = count;
            if (count == 0)
                push_ready(x);
        }
    };
    const auto affect = [&](NodeIndex x) {
        marks_.mark(x);
        count_deps(x);
    };
    for (const Edit& edit : edits_)
        if (position_[edit.node] >= start)
            affect(edit.node);
    for (std::size_t i = old_n; i < n; ++i)
        affect(static_cast<NodeIndex>(i));

    const auto advance_walk = [&] {
        ++walk;
        while (!gated.empty() && gated.front().first < walk) {
            std::ranges::pop_heap(gated, later);
            const NodeIndex x = gated.back().second;
            gated.pop_back();
            if (run_in_degree_[x] == gated_on_walk)
                count_deps(x);
        }
    };
    // The next unaffected node of the old order, or `never`.
    const auto next_unaffected = [&]() -> NodeIndex {
        for (; walk < old_n; advance_walk()) {
            const NodeIndex w = order_[walk];
            if (marks_.marked(w))
                continue;
            const bool affected =
                std::ranges::any_of(deps(nodes_[w]), [&](NodeIndex d) { return marks_.marked(d); });
            if (!affected)
                return w;
            marks_.mark(w);  // its deps will tell it when they are placed
            run_in_degree_[w] = not_yet_counted;
        }
        return never;
    };

    // old_placed: old nodes the run placed; matched: those of them the old
    // order had placed before start + old_placed. Equal counts mean equal sets.
    std::size_t old_placed = 0;
    std::size_t matched = 0;
    NodeIndex unaffected = never;
    bool unaffected_known = false;  // fetched only when a choice needs it
    while (matched != old_placed || pending != 0) {
        if (!unaffected_known) {
            unaffected = next_unaffected();
            unaffected_known = true;
        }
        NodeIndex u = never;
        if (!ready.empty() && (unaffected == never || ready.front() < unaffected)) {
            std::ranges::pop_heap(ready, later);
            u = ready.back();
            ready.pop_back();
            run_in_degree_[u] = placed_in_run;
        } else if (unaffected != never) {
            u = unaffected;
            unaffected_known = false;
            advance_walk();
        } else {
            return false;  // a cycle: the full build reports it
        }
        run.push_back(u);
        if (u >= old_n || nodes_[u].edited)
            --pending;
        if (u < old_n) {
            if (position_[u] < start + old_placed)
                ++matched;
            ++old_placed;
            if (placed(order_[start + old_placed - 1]))
                ++matched;
        }
        if (!marks_.marked(u))
            continue;  // an unaffected node's dependents learn of it from the walk
        for (NodeIndex j : dependents(u)) {
            check_index(j, n, "nodes");
            // Nodes placed before start have every dep placed before it.
            if (j < old_n && position_[j] < start)
                return false;
            if (!marks_.mark(j) && run_in_degree_[j] != not_yet_counted) {
                std::uint32_t& count = run_in_degree_[j];
                if (count == placed_in_run || count == 0)
                    return false;  // cannot happen; the full build is always right
                if (count == gated_on_walk) {
                    count_deps(j);  // a dep placed early may lift its gate
                } else {
                    --count;
                    if (count == 0)
                        push_ready(j);
                }
            } else {
                count_deps(j);
            }
        }
    }

    // The new order: the old one up to start, the run, then the rest of the
    // old one, moved along by the new nodes the run placed.
    const std::size_t added = run.size() - old_placed;
    const std::size_t rest = start + old_placed;
    order_.resize(old_n + added);
    position_.resize(old_n + added);
    if (added != 0) {
        std::move_backward(order_.begin() + static_cast<std::ptrdiff_t>(rest),
                           order_.begin() + static_cast<std::ptrdiff_t>(old_n), order_.end());
        for (std::size_t k = rest + added; k < order_.size(); ++k)
            position_[order_[k]] = static_cast<NodeIndex>(k);
    }
    for (std::size_t k = 0; k < run.size(); ++k) {
        order_[start + k] = run[k];
        position_[run[k]] = static_cast<NodeIndex>(start + k);
    }
    finish_build();
    return true;
}

}  // namespace quorl::core
