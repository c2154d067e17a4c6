// Open-addressing hash index from node id to node index.
//
// Each slot holds a node index and a 12-byte key. An id of up to 11 bytes is
// its own key (length and bytes), so looking it up compares the key in the
// slot and never touches the node records or the id storage: one cache line
// per lookup, which is what a lookup in a large graph costs. A longer id's
// key is its 64-bit hash, confirmed against the id storage through an
// accessor. Lookups take a string view, so a Python str is looked up without
// copying it.
//
// Both hashes are keyed with a secret (see HashKey), so that nobody who does
// not know it can choose ids that collide: a graph built from names an
// attacker supplies keeps its expected O(1) lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace quorl::core {

using NodeIndex = std::uint32_t;

// The secret of the id hash. An index takes the process-wide key when it is
// created and keeps it for its lifetime; the module sets that key once, from
// the operating system's random source, before any graph exists. Until then
// it is a fixed key, which keeps kernel tests and fuzzing reproducible.
struct HashKey {
    std::uint64_t words[3];
};

namespace detail {
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): set once at start-up
inline HashKey process_hash_key{
    {0x9E3779B97F4A7C15ull, 0xD6E8FEB86659FD93ull, 0xA0761D6478BD642Full}};
}  // namespace detail

// Sets the key of indexes created from now on. The multipliers get their top
// and low bits set, so that no key makes a multiplication lose the id: a
// multiplier of zero, or one that could be cancelled by a 32-bit tail, would.
inline void set_id_hash_key(const HashKey& key) noexcept {
    constexpr std::uint64_t forced = (std::uint64_t{1} << 63) | 1;
    detail::process_hash_key = {{key.words[0], key.words[1] | forced, key.words[2] | forced}};
}

// Byte equality without a library call: ids are short, and a call to memcmp
// costs more than comparing them in place.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size())
        return false;
    const char* p = a.data();
    const char* q = b.data();
    const auto word = [](const char* at) {
        std::uint64_t w = 0;
        std::memcpy(&w, at, 8);
        return w;
    };
    const auto half = [](const char* at) {
        std::uint32_t w = 0;
        std::memcpy(&w, at, 4);
        return w;
    };
    if (n >= 8) {
        for (std::size_t k = 0; k + 8 < n; k += 8)
            if (word(p + k) != word(q + k))
                return false;
        return word(p + n - 8) == word(q + n - 8);
    }
    if (n >= 4)
        return half(p) == half(q) && half(p + n - 4) == half(q + n - 4);
    for (std::size_t k = 0; k < n; ++k)
        if (p[k] != q[k])
            return false;
    return true;
}

class IdIndex {
public:
    static constexpr NodeIndex absent = UINT32_MAX;
    static constexpr std::size_t max_inline_length = 11;
    static_assert(max_inline_length >= 8, "a long id is read as two overlapping words");

    struct Key {
        std::uint64_t head;  // inline: bytes 0-7 of the id; otherwise its hash
        std::uint32_t tail;  // inline: length << 24 | bytes 8-10; otherwise long_marker
        std::uint64_t hash;
        bool is_inline() const noexcept { return tail != long_marker; }
    };

    Key key_of(std::string_view id) const noexcept;

    // The node index stored under `id`, or `absent`. `id_of(i)` gives node i's id.
    template <typename IdOf>
    NodeIndex find(std::string_view id, const Key& key, const IdOf& id_of) const noexcept {
        const std::size_t at = slot_of(id, key, id_of);
        return at == no_slot ? absent : slots_[at].node_plus_one - 1;
    }

    // Makes room for `count` entries. May throw std::bad_alloc, in which case
    // the index is unchanged.
    void reserve(std::size_t count) {
        if (count * 4 <= slots_.size() * 3)
            return;
        std::size_t capacity = slots_.empty() ? 16 : slots_.size();
        while (count * 4 > capacity * 3)
            capacity *= 2;
        std::vector<Slot> grown(capacity);
        std::swap(grown, slots_);
        for (const Slot& slot : grown)
            if (slot.node_plus_one != 0)
                place(slot, hash_of(slot.head, slot.tail));
    }

    // Removes the entry of `id`, if any, shifting the entries after it in
    // its probe chain back so that no chain is cut: no other entry moves,
    // so removing k ids costs about k lookups, whatever the table's size.
    template <typename IdOf>
    void erase(std::string_view id, const Key& key, const IdOf& id_of) noexcept {
        std::size_t hole = slot_of(id, key, id_of);
        if (hole == no_slot)
            return;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t next = (hole + 1) & mask;; next = (next + 1) & mask) {
            Slot& slot = slots_[next];
            if (slot.node_plus_one == 0)
                break;
            // An entry whose home lies after the hole, up to its own slot,
            // stays; any other one is found through the hole: it moves there.
            const std::size_t home = hash_of(slot.head, slot.tail) & mask;
            if (((next - home) & mask) < ((next - hole) & mask))
                continue;
            slots_[hole] = slot;
            hole = next;
        }
        slots_[hole].node_plus_one = 0;
    }

    // Gives every entry the node `renumber` maps its node to: what removing
    // nodes leaves once their entries are erased. In place.
    void renumber(std::span<const NodeIndex> renumber) noexcept {
        for (Slot& slot : slots_)
            if (slot.node_plus_one != 0)
                slot.node_plus_one = renumber[slot.node_plus_one - 1] + 1;
    }

    // Starts loading the slot where a lookup of `key` begins, so that a bulk
    // load can overlap its cache misses.
    void prefetch(const Key& key) const noexcept {
        if (!slots_.empty())
            __builtin_prefetch(&slots_[key.hash & (slots_.size() - 1)]);
    }

    // Inserts an id known to be absent; room must have been reserved.
    void insert(const Key& key, NodeIndex node) noexcept {
        place(Slot{key.head, key.tail, node + 1}, key.hash);
    }

    // For invariant checks: the table size, and `visit(key_head, key_tail,
    // node)` for every entry.
    std::size_t capacity() const noexcept { return slots_.size(); }
    std::size_t heap_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }
    template <typename Visit>
    void for_each_entry(const Visit& visit) const {
        for (const Slot& slot : slots_)
            if (slot.node_plus_one != 0)
                visit(slot.head, slot.tail, slot.node_plus_one - 1);
    }

private:
    static constexpr std::uint32_t long_marker = 0xFF000000u;  // no inline length is 255

    struct Slot {
        std::uint64_t head = 0;
        std::uint32_t tail = 0;
        std::uint32_t node_plus_one = 0;  // 0 marks an empty slot
    };

    // The full 128-bit product folded to 64 bits: every input bit reaches
    // every output bit, and with a secret operand the result cannot be
    // steered.
    static std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    }

    // The hash of an inline key, and the key of a long id, so a rehash needs
    // nothing but the slots.
    std::uint64_t hash_of(std::uint64_t head, std::uint32_t tail) const noexcept {
        return tail == long_marker ? head : fold(fold(head ^ key_[0], key_[1] ^ tail), key_[2]);
    }

    std::uint64_t hash_long(std::string_view id) const noexcept;

    static constexpr std::size_t no_slot = SIZE_MAX;
    // The slot holding `id`, or no_slot.
    template <typename IdOf>
    std::size_t slot_of(std::string_view id, const Key& key, const IdOf& id_of) const noexcept {
        if (slots_.empty())
            return no_slot;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = key.hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.node_plus_one == 0)
                return no_slot;
            if (slot.head == key.head && slot.tail == key.tail &&
                (key.is_inline() || same_bytes(id_of(slot.node_plus_one - 1), id)))
                return i;
        }
    }

    void place(const Slot& entry, std::uint64_t hash) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash & mask;
        while (slots_[i].node_plus_one != 0)
            i = (i + 1) & mask;
        slots_[i] = entry;
    }

    std::vector<Slot> slots_;
    std::uint64_t key_[3] = {detail::process_hash_key.words[0], detail::process_hash_key.words[1],
                             detail::process_hash_key.words[2]};
};

inline IdIndex::Key IdIndex::key_of(std::string_view id) const noexcept {
    const std::size_t n = id.size();
    if (n > max_inline_length) {
        const std::uint64_t hash = hash_long(id);
        return Key{hash, long_marker, hash};
    }
    // Little-endian packing of the bytes without a variable-length copy:
    // fixed-size reads, overlapping where the id is shorter than a word.
    const auto byte = [p = id.data()](std::size_t k) {
        return std::uint64_t{static_cast<unsigned char>(p[k])};
    };
    std::uint64_t head = 0;
    std::uint32_t tail = static_cast<std::uint32_t>(n) << 24;
    if (n >= 8) {
        std::memcpy(&head, id.data(), 8);
        for (std::size_t k = 8; k < n; ++k)
            tail |= static_cast<std::uint32_t>(byte(k) << (8 * (k - 8)));
    } else if (n >= 4) {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        std::memcpy(&first, id.data(), 4);
        std::memcpy(&last, id.data() + n - 4, 4);
        head = first | (std::uint64_t{last} << (8 * (n - 4)));
    } else {
        for (std::size_t k = 0; k < n; ++k)
            head |= byte(k) << (8 * k);
    }
    return Key{head, tail, hash_of(head, tail)};
}

// 16 bytes per step, each word masked with secret material before it is
// multiplied, so the running value cannot be driven to a chosen state (such
// as zero, which would forget everything before it). The last 1 to 16 bytes
// are read as the final 16, overlapping the step before; the length enters
// at the start and the end, so the overlap cannot make two ids collide.
inline std::uint64_t IdIndex::hash_long(std::string_view id) const noexcept {
    const auto word = [](const char* at) {
        std::uint64_t w = 0;
        std::memcpy(&w, at, 8);
        return w;
    };
    const std::size_t n = id.size();  // longer than an inline key: two words can be read
    const char* p = id.data();
    const char* end = p + n;
    std::uint64_t h = key_[0] ^ n;
    for (; end - p > 16; p += 16)
        h = fold(word(p) ^ key_[1], word(p + 8) ^ h);
    const char* last = n >= 16 ? end - 16 : id.data();
    return fold(fold(word(last) ^ key_[1], word(end - 8) ^ h), key_[2] ^ n);
}

}  // namespace quorl::core
