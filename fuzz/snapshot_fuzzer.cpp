// libFuzzer harness for restoring graph snapshots.
//
// The first input byte picks what the rest is:
//   0  raw snapshot bytes, restored as they are (header and checksum checks);
//   1  snapshot bytes whose checksum is recomputed first, so that mutations
//      reach the checks behind it;
//   2  a short program that declares a graph, followed by (offset, value)
//      pairs that damage its snapshot before it is resealed and restored.
// A restore that fails must say why; one that succeeds must re-encode to the
// very input (the format is canonical; only the field naming the writer's
// version may differ), agree with a fresh build() of the same deps, and
// survive every query and further calls. Anything else aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/graph.hpp"

using namespace quorl::core;

namespace {

constexpr std::string_view version = "fuzz";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "snapshot_fuzzer: %s\n", what);
    std::abort();
}

std::vector<std::byte> snapshot_of(const Graph& g) {
    std::vector<std::byte> out(g.snapshot_size());
    g.write_snapshot(out, version);
    return out;
}

void reseal(std::vector<std::byte>& data) {
    if (data.size() < snapshot_header_size + snapshot_checksum_size)
        return;
    const std::size_t body = data.size() - snapshot_checksum_size;
    std::uint64_t sum = snapshot_checksum(std::span<const std::byte>(data).first(body));
    for (std::size_t k = 0; k < 8; ++k, sum >>= 8)
        data[body + k] = static_cast<std::byte>(sum & 0xFF);
}

// Everything a caller can ask of a restored graph, and then some updates.
void exercise(Graph& g, std::span<const std::byte> input) {
    g.check_invariants();  // a restore accepts only states the calls can reach
    const std::vector<std::byte> again = snapshot_of(g);
    if (again.size() != input.size())
        fail("a restored graph re-encodes to a different size");
    // Bytes 16-31 name the writer's version; the checksum covers them.
    for (std::size_t k = 0; k + snapshot_checksum_size < again.size(); ++k)
        if ((k < 16 || k >= 32) && again[k] != input[k])
            fail("a restored graph re-encodes to different bytes");

    std::vector<std::string> ids;
    for (std::size_t i = 0; i < g.size(); ++i) {
        ids.emplace_back(g.id_of(static_cast<NodeIndex>(i)));
        if (*g.index_of(ids.back()) != i)
            fail("an id does not find its own node");
        (void)g.check_node(ids.back());
        for (const NodeIndex d : *g.deps_of(ids.back()))
            (void)g.id_of(d);
    }
    if (g.built()) {
        Graph fresh = g;
        if (!fresh.build())
            fail("a restored built graph has a cycle");
        const auto mine = *g.topo_order();
        const auto theirs = *fresh.topo_order();
        if (!std::ranges::equal(mine, theirs))
            fail("a restored order is not the one build() gives");
        for (std::size_t i = 0; i < g.size(); ++i) {
            if (!std::ranges::equal(g.dependents(static_cast<NodeIndex>(i)),
                                    fresh.dependents(static_cast<NodeIndex>(i))))
                fail("restored reverse edges differ from build()'s");
            (void)g.downstream(ids[i]);
        }
        (void)g.views();
        (void)g.dirty_nodes();
    }
    for (const std::string& id : ids) {
        const auto check = g.check_node(id);
        (void)g.commit_node(id, check->signature);
    }
    (void)g.build();
    if (g.size() > 0)
        (void)g.add_node(ids[0], "view");  // refused: already registered
    (void)g.add_node("fresh node", "input");
}

void restore(std::span<const std::byte> input) {
    auto restored = Graph::from_snapshot(input);
    if (!restored) {
        if (restored.error().message.rfind("invalid graph snapshot: ", 0) != 0)
            fail("a refusal without the usual prefix");
        return;
    }
    exercise(*restored, input);
}

// Mode 2: a graph from a few declaration and memo calls.
Graph declare(const std::uint8_t*& at, const std::uint8_t* end) {
    Graph g;
    const auto next = [&]() -> std::uint8_t { return at < end ? *at++ : 0; };
    const std::size_t nodes = next() % 12;
    for (std::size_t i = 0; i < nodes; ++i) {
        constexpr std::string_view kinds[] = {"input", "source", "reactive", "view"};
        const std::uint8_t pick = next();
        std::string id = std::to_string(i);
        if ((pick & 0x10) != 0)
            id += std::string(pick & 0x0F, "long-id!"[i % 8]) + "\xc3\xa9";
        (void)g.add_node(id, kinds[pick % 4]);
    }
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < g.size(); ++i)
        ids.emplace_back(g.id_of(static_cast<NodeIndex>(i)));
    for (std::size_t i = 1; i < ids.size(); ++i) {
        std::vector<std::string_view> deps;
        for (std::uint8_t k = next() % 4; k > 0; --k)
            deps.push_back(ids[next() % ids.size()]);
        (void)g.set_deps(ids[i], deps);
    }
    if ((next() & 1) != 0)
        (void)g.build();
    for (std::uint8_t k = next() % 8; k > 0 && !ids.empty(); --k) {
        const std::string& id = ids[next() % ids.size()];
        const std::uint64_t value = next();
        switch (next() % 4) {
        case 0: (void)g.commit_node(id, value); break;
        case 1: (void)g.commit_input(id, value); break;
        case 2: (void)g.set_computing(id); break;
        default: (void)g.skip_node(id, value); break;
        }
    }
    return g;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0] % 3;
    const auto* at = data + 1;
    const auto* end = data + size;
    if (mode == 0) {
        restore(std::as_bytes(std::span(at, end)));
    } else if (mode == 1) {
        std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(at),
                                     reinterpret_cast<const std::byte*>(end));
        reseal(bytes);
        restore(bytes);
    } else {
        const Graph g = declare(at, end);
        std::vector<std::byte> bytes = snapshot_of(g);
        auto twin = Graph::from_snapshot(bytes);
        if (!twin)
            fail(("a graph's own snapshot is refused: " + twin.error().message).c_str());
        exercise(*twin, bytes);
        for (; end - at >= 3; at += 3) {
            const std::size_t offset = (std::size_t{at[0]} << 8 | at[1]) % bytes.size();
            bytes[offset] = static_cast<std::byte>(at[2]);
        }
        reseal(bytes);
        restore(bytes);
    }
    return 0;
}
