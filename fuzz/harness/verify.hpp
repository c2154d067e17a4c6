// The kernel's observable state, and its agreement with the model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/graph.hpp"
#include "model.hpp"

namespace quorl::fuzz {

// Everything a call could change, flat so that taking one costs few
// allocations; two snapshots compare equal when nothing changed.
struct Snapshot {
    std::string id_bytes;
    std::vector<std::size_t> id_ends;
    std::vector<NodeKind> kinds;
    std::vector<NodeState> states;
    std::vector<NodeIndex> deps;
    std::vector<std::size_t> deps_ends;
    std::vector<bool> has_signature;
    std::vector<std::uint64_t> signatures, content_hashes, epochs;
    std::uint64_t epoch_counter = 0;
    bool built = false;
    std::vector<NodeIndex> order;

    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const core::Graph& g);

// The id-based queries of one id, registered (as node `i`) or not; the
// node's state against the model's only with `with_state`.
void check_queries(const core::Graph& g, const Model& m, const std::string& id,
                   std::optional<NodeIndex> i, bool with_state = true);

// A topologically ordered result: strictly increasing positions (so no
// repeats), and closed under dependents together with `also_closed`.
void check_closure(const core::Graph& g, const Model& m, const std::vector<NodeIndex>& result,
                   std::optional<NodeIndex> also_closed = std::nullopt);

// Everything observable about the kernel agrees with the model, and the
// kernel's invariants hold. `full` adds the id-based queries for every node,
// which the queries operation otherwise samples one id at a time.
void verify(const core::Graph& g, const Model& m, bool full);

}  // namespace quorl::fuzz
