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
// Candidates at each step are the nodes made ready by this run (a min-heap)
// and the nodes already ready at `start`. The latter are found lazily by
// scanning the old order from `start`: greedy placement takes them in
// ascending index order, so the first one the scan meets is their smallest.
#include <algorithm>
#include <functional>
#include <limits>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

constexpr NodeIndex never = std::numeric_limits<NodeIndex>::max();
constexpr std::uint32_t placed_in_run = std::numeric_limits<std::uint32_t>::max();

}  // namespace

bool Graph::incremental_build() {
    const std::size_t n = nodes_.size();
    const std::size_t old_n = order_.size();
    // Nothing to start from, or so many edits that placing everything is as
    // cheap: the full build.
    if (old_n == 0 || position_.size() != old_n || !dependents_current_ ||
        dependents_runs_.size() != n || edits_.size() > std::max<std::size_t>(64, old_n / 4))
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
    order_.reserve(n);
    position_.reserve(n);
    if (run_in_degree_.size() < n)
        run_in_degree_.resize(n);
    marks_.begin(n);  // marked: the node's entry in run_in_degree_ is live
    std::vector<NodeIndex> run;
    std::vector<NodeIndex> ready;
    const std::greater<> later;

    const auto placed = [&](NodeIndex x) {
        return (x < old_n && position_[x] < start) ||
               (marks_.marked(x) && run_in_degree_[x] == placed_in_run);
    };
    const auto unplaced_deps = [&](NodeIndex x) {
        std::uint32_t count = 0;
        for (NodeIndex d : deps(nodes_[x])) {
            check_index(d, n, "nodes");
            count += placed(d) ? 0 : 1;
        }
        return count;
    };
    const auto consider = [&](NodeIndex x) {
        marks_.mark(x);
        run_in_degree_[x] = unplaced_deps(x);
        if (run_in_degree_[x] == 0) {
            ready.push_back(x);
            std::ranges::push_heap(ready, later);
        }
    };
    for (const Edit& edit : edits_)
        if (position_[edit.node] >= start)
            consider(edit.node);
    for (std::size_t i = old_n; i < n; ++i)
        consider(static_cast<NodeIndex>(i));

    // The scan for nodes ready at `start` that no edit touched.
    std::size_t scan = start;
    const auto next_ready_at_start = [&]() -> NodeIndex {
        for (; scan < old_n; ++scan) {
            const NodeIndex w = order_[scan];
            if (nodes_[w].edited)
                continue;
            const bool ready_at_start = std::ranges::all_of(deps(nodes_[w]), [&](NodeIndex d) {
                return d < old_n && position_[d] < start;
            });
            if (ready_at_start) {
                ++scan;
                return w;
            }
        }
        return never;
    };
    // Fetched only when a choice needs it, so a run that ends right after
    // using one does not scan on.
    NodeIndex lookahead = never;
    bool lookahead_known = false;

    // old_placed: old nodes the run placed; matched: those of them the old
    // order had placed before start + old_placed. Equal counts mean equal sets.
    std::size_t old_placed = 0;
    std::size_t matched = 0;
    while (matched != old_placed || pending != 0) {
        if (!lookahead_known) {
            lookahead = next_ready_at_start();
            lookahead_known = true;
        }
        NodeIndex u = never;
        if (!ready.empty() && (lookahead == never || ready.front() < lookahead)) {
            std::ranges::pop_heap(ready, later);
            u = ready.back();
            ready.pop_back();
        } else if (lookahead != never) {
            u = lookahead;
            lookahead_known = false;
        } else {
            return false;  // a cycle: the full build reports it
        }
        marks_.mark(u);
        run_in_degree_[u] = placed_in_run;
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
        for (NodeIndex j : dependents(u)) {
            check_index(j, n, "nodes");
            // Nodes placed before start have every dep placed before it.
            if (j < old_n && position_[j] < start)
                return false;
            if (!marks_.mark(j)) {
                if (run_in_degree_[j] == placed_in_run || run_in_degree_[j] == 0)
                    return false;  // cannot happen; the full build is always right
                if (--run_in_degree_[j] == 0) {
                    ready.push_back(j);
                    std::ranges::push_heap(ready, later);
                }
            } else {
                run_in_degree_[j] = unplaced_deps(j);
                if (run_in_degree_[j] == 0) {
                    ready.push_back(j);
                    std::ranges::push_heap(ready, later);
                }
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
        std::move_backward(order_.begin() + rest, order_.begin() + old_n, order_.end());
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
