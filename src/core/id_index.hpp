// Open-addressing hash index from node id to node index.
//
// The index stores no strings of its own: each slot holds a node index and a
// 32-bit tag of the id's hash, and ids are compared against the graph's id
// storage through an accessor. Lookups take a string view, so a Python str
// is looked up without copying it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace quorl::core {

using NodeIndex = std::uint32_t;

// A fast 64-bit hash for short ids (8 bytes per multiply-fold step).
std::uint64_t hash_id(std::string_view id) noexcept;

class IdIndex {
public:
    static constexpr NodeIndex absent = UINT32_MAX;

    // The node index stored under `id`, or `absent`. `id_of(i)` gives node i's id.
    template <typename IdOf>
    NodeIndex find(std::string_view id, std::uint64_t hash, const IdOf& id_of) const noexcept {
        if (slots_.empty())
            return absent;
        const std::size_t mask = slots_.size() - 1;
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot slot = slots_[i];
            if (slot.node_plus_one == 0)
                return absent;
            if (slot.tag == tag && id_of(slot.node_plus_one - 1) == id)
                return slot.node_plus_one - 1;
        }
    }

    // Makes room for `count` entries. May throw std::bad_alloc, in which case
    // the index is unchanged.
    template <typename IdOf>
    void reserve(std::size_t count, const IdOf& id_of) {
        if (count * 4 <= slots_.size() * 3)
            return;
        std::size_t capacity = slots_.empty() ? 16 : slots_.size();
        while (count * 4 > capacity * 3)
            capacity *= 2;
        std::vector<Slot> grown(capacity);
        std::swap(grown, slots_);
        for (const Slot& slot : grown)
            if (slot.node_plus_one != 0)
                place(hash_id(id_of(slot.node_plus_one - 1)), slot.node_plus_one - 1);
    }

    // Inserts an id known to be absent; room must have been reserved.
    void insert(std::uint64_t hash, NodeIndex node) noexcept { place(hash, node); }

    std::size_t capacity() const noexcept { return slots_.size(); }

private:
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t node_plus_one = 0;  // 0 marks an empty slot
    };

    // The slot comes from the low bits of the hash, the tag from the high ones,
    // so a tag match is informative at every capacity below 2^32 slots.
    static std::uint32_t tag_of(std::uint64_t hash) noexcept {
        return static_cast<std::uint32_t>(hash >> 32);
    }

    void place(std::uint64_t hash, NodeIndex node) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash & mask;
        while (slots_[i].node_plus_one != 0)
            i = (i + 1) & mask;
        slots_[i] = Slot{tag_of(hash), node + 1};
    }

    std::vector<Slot> slots_;
};

inline std::uint64_t hash_id(std::string_view id) noexcept {
    constexpr std::uint64_t k0 = 0x9E3779B97F4A7C15ull;
    constexpr std::uint64_t k1 = 0xD6E8FEB86659FD93ull;
    const auto fold = [](std::uint64_t a, std::uint64_t b) noexcept {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    const char* p = id.data();
    std::size_t n = id.size();
    std::uint64_t h = k0 ^ (n * k1);
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = fold(h ^ word, k1);
        p += 8;
        n -= 8;
    }
    // The last 0 to 7 bytes, read without a variable-length copy: two
    // overlapping 4-byte reads, or three single bytes. The length is folded
    // in above, so overlapping reads cannot make two ids collide.
    std::uint64_t tail = 0;
    if (n >= 4) {
        std::uint32_t first, last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        tail = (std::uint64_t{first} << 32) | last;
    } else if (n > 0) {
        const auto byte = [p](std::size_t k) { return std::uint64_t{static_cast<unsigned char>(p[k])}; };
        tail = (byte(0) << 16) | (byte(n / 2) << 8) | byte(n - 1);
    }
    return fold(h ^ tail, k0);
}

}  // namespace quorl::core
