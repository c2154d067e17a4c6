// The kernel's error type and its messages.
//
// Every kernel operation returns its result or one GraphError; the kernel never
// raises for an expected failure. Broken invariants are a different matter:
// they throw InternalFault, which the binding layer reports as a panic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quorl::core {

struct AlreadyRegistered {
    std::string id;
};
struct UnknownNode {
    std::string id;
};
struct SelfDependency {
    std::string id;
};
struct InvalidKind {
    std::string kind;
};
struct NotBuilt {};
// A removal left `dependant` depending on `id`, one of the nodes to remove.
struct StillDependedOn {
    std::string id;
    std::string dependant;
};

// A commit found the epoch counter at its limit: no new epoch is left.
struct EpochsExhausted {};
// A restore named an epoch no commit has handed out yet (or 0, never one).
struct EpochNeverHandedOut {
    std::uint64_t epoch;
    std::uint64_t counter;
};
// A restore named an epoch another node holds: it cannot be the restored
// node's own, and two holders would make one key name two values.
struct EpochHeld {
    std::uint64_t epoch;
    std::string id;  // the holder
};
struct Cycle {
    std::vector<std::string> ids;   // registration order
    std::vector<std::string> path;  // one cycle, each entry a dep of the next
};

class GraphError {
public:
    using Variant =
        std::variant<AlreadyRegistered, UnknownNode, SelfDependency, InvalidKind, NotBuilt, Cycle,
                     EpochsExhausted, EpochNeverHandedOut, EpochHeld, StillDependedOn>;

    template <typename V>
        requires std::is_constructible_v<Variant, V>
    GraphError(V variant) : variant_(std::move(variant)) {}

    const Variant& variant() const noexcept { return variant_; }
    std::string message() const;

private:
    Variant variant_;
};

template <typename T>
using Result = std::expected<T, GraphError>;

inline std::unexpected<GraphError> fail(GraphError error) {
    return std::unexpected<GraphError>(std::move(error));
}

// `s` between double quotes, with backslash escapes for quotes, backslashes,
// control characters, grapheme extenders and everything else not printable,
// so that an id in a message can always be read and told apart.
std::string quoted(std::string_view s);

// Whether every byte of `s` is below 0x80, eight at a time: ASCII text is
// valid UTF-8 and its own Latin-1, which lets ids skip decoding work.
inline bool is_ascii(std::string_view s) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, s.data() + i, 8);
        if (word & 0x8080808080808080ull)
            return false;
    }
    for (; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80)
            return false;
    return true;
}

// A broken internal invariant. Never thrown for anything a caller can cause.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void throw_index_fault(const char* table, std::size_t index, std::size_t size);

// Range check for a node index used as a subscript.
inline void check_index(std::size_t index, std::size_t size, const char* table) {
    if (index >= size) [[unlikely]]
        throw_index_fault(table, index, size);
}

}  // namespace quorl::core
