// Kernel tests for what the Python suite cannot reach: the invariant check
// itself, index-based calls, byte strings that are not UTF-8, and storage
// that only large or long-running graphs exercise.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/graph.hpp"
#include "core/round.hpp"

using namespace quorl::core;

namespace {

// a <- b <- c, a <- d (b and d depend on a; c on b), built.
Graph diamond_graph() {
    Graph g;
    for (const char* id : {"a", "b", "c", "d"})
        (void)g.add_node(id, "reactive");
    const std::string_view b_deps[] = {"a"};
    const std::string_view c_deps[] = {"b"};
    (void)g.set_deps("b", b_deps);
    (void)g.set_deps("c", c_deps);
    (void)g.set_deps("d", b_deps);
    (void)g.build();
    return g;
}

// The message check_invariants() fails with, or "" when it holds.
std::string invariant_failure(const Graph& g) {
    try {
        g.check_invariants();
    } catch (const InternalFault& fault) {
        return fault.what();
    }
    return "";
}

// No call can break an invariant, so a test breaks one by writing through
// the record a const accessor hands out (the graph itself is not const).
Node& record(Graph& g, NodeIndex i) { return const_cast<Node&>(g.node(i)); }
std::uint8_t& bits(Graph& g, NodeIndex i) { return const_cast<std::uint8_t&>(g.bits(i)); }

}  // namespace

TEST(invariants_hold_through_every_kind_of_call) {
    Graph g;
    EXPECT(invariant_failure(g).empty());
    g = diamond_graph();
    EXPECT(invariant_failure(g).empty());
    (void)g.commit_input("a", 5);
    (void)g.commit_node("b", 1);
    (void)g.skip_node("c", 2);
    (void)g.set_computing("d");
    const std::string_view seeds[] = {"b"};
    (void)g.mark_dirty(seeds);
    EXPECT(invariant_failure(g).empty());
    const std::string_view cycle[] = {"c"};
    EXPECT(g.set_deps("a", cycle).has_value());
    EXPECT(!g.build().has_value());  // a cycle: unbuilt, stale order not checked
    EXPECT(invariant_failure(g).empty());
}

TEST(invariants_catch_each_kind_of_corruption) {
    struct Case {
        const char* what;
        std::function<void(Graph&)> corrupt;
    };
    const Case cases[] = {
        {"deps inside the deps storage", [](Graph& g) { record(g, 1).deps_count = 1u << 30; }},
        {"deps inside the deps storage",  // a run that starts inside and ends past it
         [](Graph& g) {
             record(g, 1).deps_offset = 2;
             record(g, 1).deps_count = 2;
         }},
        {"kind in range", [](Graph& g) { record(g, 0).kind = static_cast<NodeKind>(4); }},
        {"state in range", [](Graph& g) { bits(g, 0) |= node_bits::state; }},
        {"a node's bits name its kind and nothing else",
         [](Graph& g) { bits(g, 1) |= node_bits::input; }},
        {"a node's bits name its kind and nothing else", [](Graph& g) { bits(g, 1) |= 0x40; }},
        {"epochs come from the counter",
         [](Graph& g) {
             record(g, 2).has_signature = true;
             record(g, 2).epoch = 5;
         }},
        {"no signature reads as zero", [](Graph& g) { record(g, 2).signature = 9; }},
        {"a clean, committed or hashed node has a signature",
         [](Graph& g) { bits(g, 3) &= static_cast<std::uint8_t>(~node_bits::state); }},
        {"ids stored back to back", [](Graph& g) { record(g, 1).id_offset = 0; }},
        {"a signature marked current matches its fold",
         [](Graph& g) { bits(g, 2) |= node_bits::fold_current; }},
        {"every dep comes before its dependant",
         [](Graph& g) { const_cast<NodeIndex&>(g.deps(g.node(1))[0]) = 2; }},
        {"no node depends on itself",
         [](Graph& g) { const_cast<NodeIndex&>(g.deps(g.node(1))[0]) = 1; }},
        {"reverse edges match deps",
         [](Graph& g) { const_cast<NodeIndex&>(g.dependents(0)[0]) = 2; }},
    };
    for (const Case& c : cases) {
        Graph g = diamond_graph();
        c.corrupt(g);
        const std::string failure = invariant_failure(g);
        EXPECT(failure == std::string("invariant broken: ") + c.what);
        if (failure != std::string("invariant broken: ") + c.what)
            std::fprintf(stderr, "  corrupting for \"%s\" gave \"%s\"\n", c.what, failure.c_str());
    }
}

TEST(epochs_are_unique_and_shared_ones_are_caught) {
    Graph g = diamond_graph();
    (void)g.commit_node("b", 1);
    (void)g.commit_node("c", 1);
    EXPECT(invariant_failure(g).empty());
    record(g, 2).epoch = g.node(1).epoch;
    EXPECT(invariant_failure(g) == "invariant broken: no two nodes share an epoch");
}

TEST(ids_in_topo_order_keeps_repeats_side_by_side) {
    Graph g;
    for (const char* id : {"x", "y", "z"})
        (void)g.add_node(id, "source");
    const std::string_view x_deps[] = {"y", "z"};
    (void)g.set_deps("x", x_deps);
    (void)g.build();  // order y, z, x
    EXPECT(g.ids_in_topo_order({0, 2, 1, 0, 2}) == (std::vector<NodeIndex>{1, 2, 2, 0, 0}));
    EXPECT(g.ids_in_topo_order({}).empty());
    EXPECT(g.ids_in_topo_order({2}) == (std::vector<NodeIndex>{2}));
}

TEST(downstream_closure_is_breadth_first_from_seeds_in_order) {
    const Graph g = diamond_graph();
    EXPECT(g.downstream_closure(std::vector<NodeIndex>{0}) == (std::vector<NodeIndex>{0, 1, 3, 2}));
    EXPECT(g.downstream_closure(std::vector<NodeIndex>{2, 1, 2}) == (std::vector<NodeIndex>{2, 1}));
    EXPECT(g.downstream_closure(std::vector<NodeIndex>{}).empty());
}

TEST(mark_nodes_dirty_marks_exactly_the_given_nodes) {
    Graph g = diamond_graph();
    for (const char* id : {"a", "b", "c", "d"})
        (void)g.skip_node(id, 0);
    g.mark_nodes_dirty(std::vector<NodeIndex>{3, 1, 3});
    const NodeState want[] = {NodeState::Clean, NodeState::Dirty, NodeState::Clean,
                              NodeState::Dirty};
    for (NodeIndex i = 0; i < 4; ++i)
        EXPECT(g.state_at(i) == want[i]);
    // An index out of range is a fault, found before anything is marked.
    bool faulted = false;
    try {
        g.mark_nodes_dirty(std::vector<NodeIndex>{0, 4});
    } catch (const InternalFault&) {
        faulted = true;
    }
    EXPECT(faulted && g.state_at(0) == NodeState::Clean);
}

TEST(ids_that_are_not_utf8_are_quoted_readably) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"\xff", "\"\xef\xbf\xbd\""},                                  // not a lead byte
        {"\xc3", "\"\xef\xbf\xbd\""},                                  // truncated
        {"\xc0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // overlong NUL
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // a surrogate
        {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"a\xe2\x80", "\"a\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (const auto& [raw, want] : cases) {
        EXPECT(quoted(raw) == want);
        // The kernel keeps such an id as it is: only its quoted form is repaired.
        Graph g;
        EXPECT(g.add_node(raw, "view").has_value() && g.id_of(0) == raw);
        const auto again = g.add_node(raw, "view");
        EXPECT(!again && std::get<AlreadyRegistered>(again.error().variant()).id == raw);
    }
}

TEST(deps_storage_stays_consistent_across_many_rewrites) {
    // Long lists rewritten over and over: in place, at the end, relocated,
    // and compacted once garbage outweighs the live entries.
    Graph g;
    std::vector<std::string> ids;
    for (int i = 0; i < 300; ++i) {
        ids.push_back("node-" + std::to_string(i));
        (void)g.add_node(ids.back(), "reactive");
    }
    std::vector<std::string_view> deps;
    for (int round = 0; round < 40; ++round)
        for (int i = 1; i < 300; i += 7) {
            deps.clear();
            const int count = (round * 13 + i) % 60;
            for (int k = 0; k < count && k < i; ++k)
                deps.push_back(ids[static_cast<std::size_t>((k * 31 + round) % i)]);
            EXPECT(g.set_deps(ids[static_cast<std::size_t>(i)], deps).has_value());
            const auto stored = g.deps_of(ids[static_cast<std::size_t>(i)]);
            EXPECT(stored && stored->size() <= deps.size());
        }
    EXPECT(invariant_failure(g).empty());
    EXPECT(g.build().has_value());
    EXPECT(invariant_failure(g).empty());
}

TEST(index_finds_every_id_among_many_similar_ones) {
    // Ids around the inline-key length and long ids that differ in one byte
    // at the start, the middle or the end.
    Graph g;
    std::vector<std::string> ids;
    const std::string long_id(40, 'q');
    for (int i = 0; i < 2000; ++i) {
        std::string id = std::to_string(i);
        id.resize(static_cast<std::size_t>(i % 14), '_');
        ids.push_back(id + "#" + std::to_string(i));
        std::string variant = long_id;
        variant[static_cast<std::size_t>(i % 40)] = static_cast<char>(0x80 + i / 40);
        ids.push_back(variant);
    }
    for (const std::string& id : ids)
        EXPECT(g.add_node(id, "input").has_value());
    EXPECT(invariant_failure(g).empty());
    for (const std::string& id : ids)
        EXPECT(g.contains(id) && g.id_of(*g.index_of(id)) == id);
    EXPECT(!g.contains(long_id) && !g.contains(""));
}

TEST(fold_changes_with_every_key_and_its_place) {
    Graph g;
    for (const char* id : {"i", "j", "n"})
        (void)g.add_node(id, id[0] == 'n' ? "reactive" : "input");
    const std::string_view ij[] = {"i", "j"};
    const std::string_view ji[] = {"j", "i"};
    (void)g.set_deps("n", ij);
    (void)g.commit_input("i", 1);
    (void)g.commit_input("j", 2);
    const std::uint64_t base = g.check_node("n")->signature;
    (void)g.set_deps("n", ji);
    EXPECT(g.check_node("n")->signature != base);
    (void)g.set_deps("n", ij);
    EXPECT(g.check_node("n")->signature == base);
    (void)g.commit_input("j", 3);
    EXPECT(g.check_node("n")->signature != base);
}

int main(int argc, char** argv) { return quorl::testing::run_all(argc > 1 ? argv[1] : nullptr); }

// A restored graph derives its reverse edges at their first use: every call
// that walks them answers as the original does, whichever comes first.
TEST(a_restored_graph_derives_its_reverse_edges_when_first_needed) {
    const Graph original = diamond_graph();
    std::vector<std::byte> bytes(original.snapshot_size());
    original.write_snapshot(bytes, "test");
    const std::string_view a[] = {"a"};
    const std::string_view b[] = {"b"};
    const std::function<std::vector<NodeIndex>(Graph&)> first_uses[] = {
        [](Graph& g) {
            const auto row = g.dependents(0);
            return std::vector<NodeIndex>(row.begin(), row.end());
        },
        [](Graph& g) { return *g.dependents_of("a"); },
        [](Graph& g) { return *g.downstream("a"); },
        [&a](Graph& g) { return *g.mark_dirty(a); },
        [&b](Graph& g) { return (*g.would_cycle("a", b)).value_or(std::vector<NodeIndex>{}); },
        [&b](Graph& g) {  // an incremental build: d moves after b
            (void)g.set_deps("d", b);
            (void)g.build();
            return *g.downstream("a");
        },
    };
    for (const auto& use : first_uses) {
        Graph restored = *Graph::from_snapshot(bytes);
        EXPECT(invariant_failure(restored).empty());
        Graph fresh = original;
        EXPECT(use(restored) == use(fresh));
        EXPECT(std::ranges::equal(*restored.topo_order(), *fresh.topo_order()));
        EXPECT(invariant_failure(restored).empty());
    }
}

// Every leaf moves to one hub, then to the next: each hub's row grows to all
// the leaves and empties again, so without compaction the pool would hold
// every hub's largest row at once, and the garbage of their moves.
TEST(the_reverse_edge_pool_stays_in_proportion_to_the_edges_under_churn) {
    constexpr int hubs = 8;
    constexpr int leaves = 1024;
    Graph g;
    std::vector<std::string> hub_ids;
    for (int h = 0; h < hubs; ++h) {
        hub_ids.push_back("h" + std::to_string(h));
        (void)g.add_node(hub_ids.back(), "source");
    }
    for (int j = 0; j < leaves; ++j)
        (void)g.add_node("l" + std::to_string(j), "reactive");
    (void)g.build();
    std::size_t largest = 0;
    for (int round = 0; round < 3 * hubs; ++round) {
        const std::string_view dep[] = {hub_ids[round % hubs]};
        // A few edits per build, as the incremental build takes them: a full
        // build derives the reverse edges afresh.
        for (int j = 0; j < leaves; ++j) {
            EXPECT(g.set_deps("l" + std::to_string(j), dep).has_value());
            if (j % 32 == 31)
                EXPECT(g.build().has_value());
        }
        EXPECT(invariant_failure(g).empty());
        EXPECT(g.dependents(static_cast<NodeIndex>(round % hubs)).size() == leaves);
        largest = std::max(largest, g.dependents_pool_size());
    }
    EXPECT(largest <= 4 * leaves);
}

// Sessions of nodes hanging off shared ones come and go: every table keeps
// to what the live nodes need, the index finds every id, and every
// invariant holds after each removal, whether the graph is built or not.
TEST(sessions_that_come_and_go_leave_the_graph_as_its_live_nodes_need) {
    Graph g;
    for (const char* id : {"s0", "s1", "s2"})
        (void)g.add_node(id, "input");
    (void)g.build();
    std::size_t largest = 0;
    for (int session = 0; session < 200; ++session) {
        std::vector<std::string> ids;
        for (int j = 0; j < 20; ++j) {
            ids.push_back("t" + std::to_string(session) + "." + std::to_string(j));
            EXPECT(g.add_node(ids.back(), j % 2 ? "reactive" : "view").has_value());
            const std::string_view deps[] = {j ? std::string_view(ids[j - 1]) : "s1", "s0"};
            EXPECT(g.set_deps(ids.back(), deps).has_value());
        }
        if (session % 3 != 0)
            EXPECT(g.build().has_value());
        (void)g.commit_input("s0", static_cast<std::uint64_t>(session));
        (void)g.commit_node(ids[3], 7);
        if (session % 5 == 0)  // an edit pending at the removal
            EXPECT(g.set_deps(ids[2], std::span<const std::string_view>{}).has_value());
        std::vector<std::string_view> gone(ids.begin(), ids.end());
        std::ranges::reverse(gone);
        EXPECT(g.remove_nodes(gone).has_value());
        EXPECT(invariant_failure(g).empty());
        EXPECT(g.size() == 3 && !g.contains(ids[0]) && g.contains("s2"));
        EXPECT(g.dependents(0).empty() && g.dependents(1).empty());
        largest = std::max(largest, g.dependents_pool_size());
    }
    // Left alone, what the sessions held would add up to some 10^4 entries;
    // the pool's own compaction keeps it below its threshold and a session.
    EXPECT(largest <= 1024 + 4 * 40);
    EXPECT(g.build().has_value());
    EXPECT(g.topo_order().has_value() && g.topo_order()->size() == 3);
}

// Removing every other node cuts the index's probe chains everywhere; what
// is left must still be found, and ids looked up afresh must not be.
TEST(the_index_finds_what_is_left_after_removing_every_other_node) {
    Graph g;
    std::vector<std::string> ids;
    for (int i = 0; i < 3000; ++i) {
        ids.push_back("node" + std::to_string(i) + (i % 7 ? "" : ".with-a-longer-id"));
        (void)g.add_node(ids.back(), "input");
    }
    std::vector<std::string_view> odd;
    for (std::size_t i = 1; i < ids.size(); i += 2)
        odd.emplace_back(ids[i]);
    EXPECT(g.remove_nodes(odd).has_value());
    EXPECT(invariant_failure(g).empty());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto found = g.index_of(ids[i]);
        EXPECT(found.has_value() == (i % 2 == 0));
        EXPECT(!found || *found == i / 2);
    }
    // Many small tables, so that some probe chain wraps past the last slot
    // with holes cut into it.
    for (int n = 10; n < 400; n += 7)
        for (int stride = 2; stride <= 3; ++stride) {
            Graph small;
            for (int i = 0; i < n; ++i)
                (void)small.add_node(ids[static_cast<std::size_t>(i)], "input");
            std::vector<std::string_view> gone;
            for (int i = stride - 1; i < n; i += stride)
                gone.emplace_back(ids[static_cast<std::size_t>(i)]);
            EXPECT(small.remove_nodes(gone).has_value());
            EXPECT(invariant_failure(small).empty());
        }
}

// A probe chain that wraps past the last slot: erasing its first entry must
// shift the rest back across the wrap, or its last entry would sit behind a
// hole. Long-id keys are their own hashes, so each home slot is chosen here.
TEST(erasing_from_the_index_keeps_a_wrapped_probe_chain_whole) {
    constexpr std::uint32_t long_key = 0xFF000000u;
    const std::string_view ids[] = {"D", "A", "B", "C"};
    const std::uint64_t homes[] = {14, 30, 15, 31};  // slots 14, 14, 15, 15 of 16
    const auto key = [&homes](NodeIndex i) { return IdIndex::Key{homes[i], long_key, homes[i]}; };
    IdIndex index;
    index.reserve(4);
    EXPECT(index.capacity() == 16);
    for (NodeIndex i = 0; i < 4; ++i)
        index.insert(key(i), i);  // D 14, A 15, B 0, C 1
    const auto old_id = [&ids](NodeIndex i) { return ids[i]; };
    index.erase("D", key(0), old_id);
    index.erase("D", key(0), old_id);  // not there any more: nothing changes
    const NodeIndex renumber[] = {IdIndex::absent, 0, 1, 2};
    index.renumber(renumber);
    const auto id_of = [&ids](NodeIndex i) { return ids[i + 1]; };
    for (NodeIndex i = 1; i < 4; ++i)
        EXPECT(index.find(ids[i], key(i), id_of) == i - 1);
    EXPECT(index.find("D", key(0), id_of) == IdIndex::absent);
}

namespace {

// The diamond with a round open that handed out b and d, seeds both.
struct OpenRound {
    Graph g = diamond_graph();
    Round round{g};
    OpenRound() {
        const std::string_view seeds[] = {"b", "d"};
        EXPECT(round.begin({}, seeds).has_value());
        EXPECT(round.peek_ready().has_value() && round.peek_ready()->size() == 2);
        round.take_ready();
    }
};

}  // namespace

// Whether a call ends the open round is the kernel's own rule, so C++
// callers get it too: a write ends it (a refused structural change and an
// unknown id leave it), a read does not.
TEST(the_calls_that_write_end_an_open_round_and_the_rest_leave_it) {
    const std::string_view known[] = {"a"};
    const std::string_view unknown[] = {"zz"};
    const std::string_view self[] = {"b"};
    const std::vector<std::pair<const char*, std::function<bool(Graph&)>>> ending = {
        {"add_node", [](Graph& g) { return g.add_node("e", "view").has_value(); }},
        {"set_deps", [&](Graph& g) { return g.set_deps("c", known).has_value(); }},
        {"build", [](Graph& g) { return g.build().has_value(); }},
        {"mark_dirty", [&](Graph& g) { return g.mark_dirty(known).has_value(); }},
        {"mark_nodes_dirty", [](Graph& g) { return (g.mark_nodes_dirty({}), true); }},
        {"check_node", [](Graph& g) { return g.check_node("c").has_value(); }},
        {"commit_node", [](Graph& g) { return g.commit_node("c", 1).has_value(); }},
        {"skip_node", [](Graph& g) { return g.skip_node("c", 1).has_value(); }},
        {"commit_input", [](Graph& g) { return g.commit_input("a", 1).has_value(); }},
        {"set_clean", [](Graph& g) { return g.set_clean("c", 1).has_value(); }},
        {"set_computing", [](Graph& g) { return g.set_computing("c").has_value(); }},
        {"set_dirty", [](Graph& g) { return g.set_dirty("c").has_value(); }},
        {"remove_nodes",
         [](Graph& g) {
             const std::string_view leaf[] = {"c"};
             return g.remove_nodes(leaf).has_value();
         }},
    };
    const std::vector<std::pair<const char*, std::function<bool(Graph&)>>> leaving = {
        {"add_node of a known id", [](Graph& g) { return !g.add_node("a", "view"); }},
        {"add_node of a bad kind", [](Graph& g) { return !g.add_node("e", "View"); }},
        {"set_deps of an unknown id", [&](Graph& g) { return !g.set_deps("zz", known); }},
        {"set_deps onto itself", [&](Graph& g) { return !g.set_deps("b", self); }},
        {"mark_dirty of an unknown id", [&](Graph& g) { return !g.mark_dirty(unknown); }},
        {"check_node of an unknown id", [](Graph& g) { return !g.check_node("zz"); }},
        {"commit_node of an unknown id", [](Graph& g) { return !g.commit_node("zz", 1); }},
        {"set_dirty of an unknown id", [](Graph& g) { return !g.set_dirty("zz"); }},
        {"needs_recompute", [](Graph& g) { return g.needs_recompute("c", 1).has_value(); }},
        {"state_of", [](Graph& g) { return g.state_of("c").has_value(); }},
        {"dirty_subgraph", [&](Graph& g) { return g.dirty_subgraph(known).has_value(); }},
        {"downstream", [](Graph& g) { return g.downstream("a").has_value(); }},
        {"remove_nodes of a node depended on", [&](Graph& g) { return !g.remove_nodes(known); }},
        {"remove_nodes of an unknown id", [&](Graph& g) { return !g.remove_nodes(unknown); }},
        {"remove_nodes of nothing", [](Graph& g) { return g.remove_nodes({}).has_value(); }},
    };
    for (const auto& [ends, cases] : {std::pair{true, &ending}, std::pair{false, &leaving}})
        for (const auto& [name, call] : *cases) {
            OpenRound open;
            const bool ran = call(open.g);
            const bool ended = !open.g.round_open();
            if (!ran || ended != ends)
                ::quorl::testing::fail(__FILE__, __LINE__, name);
            EXPECT(ended == (open.round.phase() == Round::Phase::ended));
            EXPECT(invariant_failure(open.g).empty());
        }
}

// A per-node call runs on what the end of the round leaves: the epoch of a
// report still pending, and the state the round gives a node handed out.
TEST(a_per_node_call_sees_and_keeps_what_ending_the_round_leaves) {
    {
        OpenRound open;
        EXPECT(open.round.done(std::string_view("b"), true).has_value());  // d still out
        const auto during = open.g.check_node("c");
        EXPECT(!open.g.round_open() && open.g.node(1).epoch != 0);
        EXPECT(during.has_value() && during->signature == open.g.check_node("c")->signature);
    }
    {
        OpenRound open;
        EXPECT(open.g.commit_node("b", 7).has_value());  // handed out: left dirty, then committed
        EXPECT(open.g.state_of("b") == NodeState::Clean &&
               open.g.state_of("d") == NodeState::Dirty);
        EXPECT(open.g.node(1).epoch == open.g.epoch_counter());
    }
}

namespace {

// The ids a round hands out, one at a time, each reported with `changed`.
std::vector<std::string> drain_round(Round& r, bool changed) {
    std::vector<std::string> out;
    for (;;) {
        auto next = r.peek_next();
        if (!next.has_value() || *next == nullptr)
            return out;
        const NodeIndex node = (*next)->node;
        r.take_next();
        out.emplace_back(r.graph().id_of(node));
        (void)r.done(node, changed);
    }
}

}  // namespace

// in <- a <- s: a round seeded at s, abandoned (once, or twice over) while a
// is out, leaves s a seed, so the next round hands it out although a, its
// only dep, is reported unchanged and keeps its key.
TEST(an_abandoned_round_keeps_its_seeds_as_seeds) {
    for (int closes = 1; closes <= 2; ++closes) {
        Graph g;
        (void)g.add_node("in", "input");
        (void)g.add_node("a", "reactive");
        (void)g.add_node("s", "reactive");
        const std::string_view a_deps[] = {"in"};
        const std::string_view s_deps[] = {"a"};
        (void)g.set_deps("a", a_deps);
        (void)g.set_deps("s", s_deps);
        (void)g.build();
        const std::string_view both[] = {"a", "s"};
        InputHash first[] = {{"in", 1}};
        {
            Round prime(g);
            EXPECT(prime.begin(first, both).has_value());
            EXPECT((drain_round(prime, true) == std::vector<std::string>{"a", "s"}));
        }
        InputHash second[] = {{"in", 2}};
        const std::string_view seed[] = {"s"};
        for (int c = 0; c < closes; ++c) {
            Round r(g);
            EXPECT(c == 0 ? r.begin(second, seed).has_value() : r.begin({}, {}).has_value());
            auto next = r.peek_next();
            EXPECT(next.has_value() && *next != nullptr && g.id_of((*next)->node) == "a");
            r.take_next();
            r.close();  // a out, s never reached
            EXPECT(g.state_of("s").value() == NodeState::Dirty);
            EXPECT(g.state_of("a").value() == NodeState::Dirty);
        }
        const std::uint64_t epoch_of_a = g.node(1).epoch;
        {
            Round r(g);
            EXPECT(r.begin({}, {}).has_value());
            EXPECT((drain_round(r, false) == std::vector<std::string>{"a", "s"}));
            EXPECT(r.phase() == Round::Phase::finished);
        }
        EXPECT(g.node(1).epoch == epoch_of_a);
        EXPECT(g.state_of("s").value() == NodeState::Clean);
        Round after(g);  // seeds do not outlive the round that reached them
        EXPECT(after.begin({}, {}).has_value());
        EXPECT(after.scheduled() == 0 && after.phase() == Round::Phase::finished);
        EXPECT(invariant_failure(g).empty());
    }
}

// A ring of a million nodes, each depending on the one before: a walk that
// recursed per node would run out of stack. The deps alone are walked, so
// an unbuilt graph never derives its reverse edges for it.
TEST(cycle_groups_walks_a_million_node_ring_from_the_deps_alone) {
    constexpr NodeIndex n = 1'000'000;
    Graph g;
    for (NodeIndex i = 0; i < n; ++i)
        (void)g.add_node("n" + std::to_string(i), "reactive");
    for (NodeIndex i = 1; i < n; ++i) {
        const std::string dep = "n" + std::to_string(i - 1);
        const std::string_view deps[] = {dep};
        (void)g.set_deps("n" + std::to_string(i), deps);
    }
    EXPECT(g.cycle_groups().empty());
    const std::string last = "n" + std::to_string(n - 1);
    const std::string_view closing[] = {last};
    (void)g.set_deps("n0", closing);
    const std::size_t reverse_edges = g.dependents_pool_size();
    const auto groups = g.cycle_groups();
    EXPECT(groups.size() == 1 && groups[0] == g.node_ids());
    EXPECT(g.dependents_pool_size() == reverse_edges && !g.built());
    EXPECT(invariant_failure(g).empty());
}
