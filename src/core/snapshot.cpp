// Snapshots: a graph's whole state written as bytes, and restored from them.
// The layout is in snapshot.hpp and docs/snapshot-format.md.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/graph.hpp"

namespace quorl::core {
namespace {

template <typename T>
T load_le(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = std::byteswap(value);
    return value;
}

class Writer {
public:
    explicit Writer(std::byte* at) noexcept : at_(at) {}

    template <typename T>
    void put(T value) noexcept {
        if constexpr (std::endian::native == std::endian::big)
            value = std::byteswap(value);
        std::memcpy(at_, &value, sizeof value);
        at_ += sizeof value;
    }
    void put_bytes(const void* bytes, std::size_t count) noexcept {
        if (count > 0)
            std::memcpy(at_, bytes, count);
        at_ += count;
    }
    std::byte* at() const noexcept { return at_; }

private:
    std::byte* at_;
};

std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t checksum_multiplier = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t checksum_lanes[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull,
                                             0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};

void mix_block(std::uint64_t (&lanes)[4], const std::byte* block) noexcept {
    for (std::size_t j = 0; j < 4; ++j)
        lanes[j] = mix(lanes[j] ^ load_le<std::uint64_t>(block + (8 * j)), checksum_multiplier);
}

// The offset of the first byte that breaks strict UTF-8 (overlong forms,
// surrogates and code points past U+10FFFF included), or s.size(). Ids come
// from Python strs, which never encode to anything else.
std::size_t invalid_utf8_at(std::string_view s) noexcept {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, s.data() + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const auto lead = static_cast<unsigned char>(s[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2, cp = lead & 0x1Fu;
        else if ((lead & 0xF0) == 0xE0)
            length = 3, cp = lead & 0x0Fu;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4, cp = lead & 0x07u;
        else
            return i;
        if (n - i < length)
            return i;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80)
                return i;
            cp = (cp << 6) | (next & 0x3Fu);
        }
        if ((length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return i;
        i += length;
    }
    return n;
}

std::string hex(std::uint64_t value) {
    constexpr char digits[] = "0123456789abcdef";
    std::string out = "0x";
    for (int shift = 60; shift >= 0; shift -= 4)
        out += digits[(value >> shift) & 0xF];
    return out;
}

std::unexpected<SnapshotError> refuse(const std::string& what) {
    return std::unexpected<SnapshotError>(SnapshotError{"invalid graph snapshot: " + what});
}

std::string at_byte(std::size_t offset) { return " (byte " + std::to_string(offset) + ")"; }

// Where each part of a snapshot starts, from the counts in its header.
struct Layout {
    std::uint64_t kinds, states, flags, id_lengths, deps_counts, epochs, signatures, hashes, ids,
        deps, order, checksum, total;

    Layout(std::uint64_t n, std::uint64_t d, std::uint64_t b, bool built) noexcept
        : kinds(snapshot_header_size),
          states(kinds + n),
          flags(states + n),
          id_lengths(flags + n),
          deps_counts(id_lengths + (4 * n)),
          epochs(deps_counts + (4 * n)),
          signatures(epochs + (8 * n)),
          hashes(signatures + (8 * n)),
          ids(hashes + (8 * n)),
          deps(ids + b),
          order(deps + (4 * d)),
          checksum(order + (built ? 4 * n : 0)),
          total(checksum + snapshot_checksum_size) {}
};

// The first node, in node order, whose epoch an earlier node already holds,
// with that earlier node; {absent, absent} when every epoch is held once.
// Epochs are sorted by a byte a pass, least significant first, and only as
// many passes as the largest epoch has bytes: linear in the nodes, where a
// comparison sort would not be. The sort is stable, so equal epochs stay in
// node order.
std::pair<NodeIndex, NodeIndex> shared_epoch(const std::vector<Node>& nodes) {
    struct Held {
        std::uint64_t epoch;
        NodeIndex node;
    };
    std::vector<Held> held;
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].epoch != 0) {
            held.push_back({nodes[i].epoch, static_cast<NodeIndex>(i)});
            largest = std::max(largest, nodes[i].epoch);
        }
    std::vector<Held> spare(held.size());
    const auto bits = static_cast<int>(std::bit_width(largest));
    for (int shift = 0; shift < bits; shift += 8) {
        std::size_t starts[257] = {};
        for (const Held& h : held)
            ++starts[((h.epoch >> shift) & 0xFF) + 1];
        for (std::size_t k = 1; k < 257; ++k)
            starts[k] += starts[k - 1];
        for (const Held& h : held)
            spare[starts[(h.epoch >> shift) & 0xFF]++] = h;
        held.swap(spare);
    }
    std::pair<NodeIndex, NodeIndex> found{IdIndex::absent, IdIndex::absent};
    for (std::size_t k = 1; k < held.size(); ++k)
        if (held[k].epoch == held[k - 1].epoch && held[k].node < found.second)
            found = {held[k - 1].node, held[k].node};
    return found;
}

// ---- Restoring: one check per part of the snapshot, in the order of the
// messages, each refusing with what is wrong and at which byte. ----

using Check = std::expected<void, SnapshotError>;

// The refusal of a failed check, for a caller with another result type.
std::unexpected<SnapshotError> failed(Check& ok) { return std::unexpected(std::move(ok.error())); }

// The header's fields, once checked, and where each part starts.
struct Header {
    std::uint32_t flags;
    std::uint64_t n, d, b, epoch_counter;
    bool built;
    Layout at;
};

// What the data is, which version, whether it holds the fixed parts: in
// the order that gives the most useful message.
Check check_start(std::span<const std::byte> data) {
    const std::byte* const p = data.data();
    const std::size_t size = data.size();
    const std::size_t fixed = snapshot_header_size + snapshot_checksum_size;
    const std::size_t head = std::min(size, sizeof snapshot_magic);
    if (head > 0 && std::memcmp(p, snapshot_magic, head) != 0)
        return refuse("the data does not start with the snapshot magic bytes" + at_byte(0));
    if (size < fixed)
        return refuse("truncated: " + std::to_string(size) +
                      " bytes, but the header and checksum alone take " + std::to_string(fixed));
    const auto version = load_le<std::uint32_t>(p + 8);
    if (version > snapshot_format_version)
        return refuse("format version " + std::to_string(version) + at_byte(8) +
                      " is newer than this kernel reads (up to " +
                      std::to_string(snapshot_format_version) + ")");
    if (version != snapshot_format_version)
        return refuse("format version " + std::to_string(version) + at_byte(8) +
                      " is not a version of the format");
    return {};
}

// The counts, within their limits and matching the data's size.
std::expected<Header, SnapshotError> read_counts(std::span<const std::byte> data) {
    const std::byte* const p = data.data();
    const std::size_t size = data.size();
    const auto flags = load_le<std::uint32_t>(p + 12);
    const auto n = load_le<std::uint64_t>(p + 32);
    const auto d = load_le<std::uint64_t>(p + 40);
    const auto b = load_le<std::uint64_t>(p + 48);
    if (n > max_nodes)
        return refuse("node count " + std::to_string(n) + at_byte(32) + " is over the limit of " +
                      std::to_string(max_nodes));
    if (d > max_dep_entries)
        return refuse("deps entry count " + std::to_string(d) + at_byte(40) +
                      " is over the limit of " + std::to_string(max_dep_entries));
    // Counts within their limits keep every offset below 2^40, and one larger
    // than the data is found here, before anything is allocated for it.
    if (b > size)
        return refuse("truncated: the id byte count " + std::to_string(b) + at_byte(48) +
                      " is larger than the whole snapshot (" + std::to_string(size) + " bytes)");
    const bool built = (flags & snapshot_flag_built) != 0;
    const Layout at(n, d, b, built);
    if (size < at.total)
        return refuse("truncated: " + std::to_string(size) +
                      " bytes, but the counts in the header need " + std::to_string(at.total));
    if (size > at.total)
        return refuse(std::to_string(size) + " bytes, but the counts in the header end it at " +
                      std::to_string(at.total) + ": trailing data after the checksum");
    return Header{flags, n, d, b, load_le<std::uint64_t>(p + 56), built, at};
}

Check check_checksum(std::span<const std::byte> data, const Header& h) {
    const auto stored = load_le<std::uint64_t>(data.data() + h.at.checksum);
    const std::uint64_t computed = snapshot_checksum(data.first(h.at.checksum));
    if (stored != computed)
        return refuse("checksum mismatch: " + hex(stored) + at_byte(h.at.checksum) +
                      " was stored, but the data gives " + hex(computed) +
                      "; the snapshot is corrupted");
    return {};
}

// The fields an intact snapshot may still get wrong: flags, the kernel
// version's text, an epoch counter with room for commits.
Check check_header_fields(const std::byte* p, const Header& h) {
    if ((h.flags & ~snapshot_flag_built) != 0)
        return refuse("unknown flags " + hex(h.flags) + at_byte(12));
    std::size_t k = 16;
    while (k < 32 && p[k] != std::byte{0} && p[k] >= std::byte{0x20} && p[k] < std::byte{0x7F})
        ++k;
    while (k < 32 && p[k] == std::byte{0})
        ++k;
    if (k < 32)
        return refuse("the kernel version field" + at_byte(k) +
                      " is not printable ASCII padded with zero bytes");
    if (h.epoch_counter > max_epoch)
        return refuse("epoch counter " + std::to_string(h.epoch_counter) + at_byte(56) +
                      " is over the limit of " + std::to_string(max_epoch) +
                      ", which leaves no room for commits");
    return {};
}

std::expected<Header, SnapshotError> read_header(std::span<const std::byte> data) {
    if (Check ok = check_start(data); !ok)
        return failed(ok);
    auto header = read_counts(data);
    if (!header)
        return header;
    if (Check ok = check_checksum(data, *header); !ok)
        return failed(ok);
    if (Check ok = check_header_fields(data.data(), *header); !ok)
        return failed(ok);
    return header;
}

// Node i's columns into its record and bits; its ids and deps start at
// `id_sum` and `deps_sum`, which the earlier nodes take.
Check read_node(const std::byte* p, const Header& h, std::size_t i, std::uint64_t id_sum,
                std::uint64_t deps_sum, Node& node, std::uint8_t& bits) {
    const Layout& at = h.at;
    // Built only for a message: a string per node would cost more than the rest.
    const auto where = [i] { return "node " + std::to_string(i) + ": "; };
    const auto kind = std::to_integer<std::uint8_t>(p[at.kinds + i]);
    if (kind > static_cast<std::uint8_t>(NodeKind::View))
        return refuse(where() + "kind " + std::to_string(kind) + at_byte(at.kinds + i) +
                      " is not a node kind");
    const auto state = std::to_integer<std::uint8_t>(p[at.states + i]);
    if (state > static_cast<std::uint8_t>(NodeState::Computing))
        return refuse(where() + "state " + std::to_string(state) + at_byte(at.states + i) +
                      " is not a node state");
    const auto node_flags = std::to_integer<std::uint8_t>(p[at.flags + i]);
    if ((node_flags & ~snapshot_node_has_signature) != 0)
        return refuse(where() + "unknown flags " + hex(node_flags) + at_byte(at.flags + i));
    const auto id_length = load_le<std::uint32_t>(p + at.id_lengths + (4 * i));
    if (id_length > h.b - id_sum)
        return refuse(where() + "id length " + std::to_string(id_length) +
                      at_byte(at.id_lengths + (4 * i)) + " runs past the " + std::to_string(h.b) +
                      " id bytes the header counts");
    const auto deps_count = load_le<std::uint32_t>(p + at.deps_counts + (4 * i));
    if (deps_count > h.d - deps_sum)
        return refuse(where() + "deps count " + std::to_string(deps_count) +
                      at_byte(at.deps_counts + (4 * i)) + " runs past the " + std::to_string(h.d) +
                      " deps entries the header counts");
    const auto epoch = load_le<std::uint64_t>(p + at.epochs + (8 * i));
    if (epoch > h.epoch_counter)
        return refuse(where() + "epoch " + std::to_string(epoch) + at_byte(at.epochs + (8 * i)) +
                      " is after the epoch counter " + std::to_string(h.epoch_counter));
    const auto signature = load_le<std::uint64_t>(p + at.signatures + (8 * i));
    const bool has_signature = (node_flags & snapshot_node_has_signature) != 0;
    if (!has_signature && signature != 0)
        return refuse(where() + "signature " + hex(signature) + at_byte(at.signatures + (8 * i)) +
                      " is set, but the node's flags say it has none");
    const auto content_hash = load_le<std::uint64_t>(p + at.hashes + (8 * i));
    // Only a commit makes a node clean or gives it an epoch or a hash,
    // and every commit records a signature.
    if (!has_signature) {
        const auto unsigned_field = [&](const std::string& what, std::size_t offset) {
            return refuse(where() + what + at_byte(offset) +
                          " is set, but the node's flags say it has no signature");
        };
        if (state == static_cast<std::uint8_t>(NodeState::Clean))
            return unsigned_field("state clean", at.states + i);
        if (epoch != 0)
            return unsigned_field("epoch " + std::to_string(epoch), at.epochs + (8 * i));
        if (content_hash != 0)
            return unsigned_field("content hash " + hex(content_hash), at.hashes + (8 * i));
    }
    node.kind = static_cast<NodeKind>(kind);
    bits = node_bits::of(node.kind, static_cast<NodeState>(state));
    node.has_signature = has_signature;
    node.signature = signature;
    node.epoch = epoch;
    node.content_hash = content_hash;
    node.id_offset = id_sum;
    node.id_length = id_length;
    node.deps_offset = static_cast<std::uint32_t>(deps_sum);
    node.deps_count = deps_count;
    return {};
}

// The node table: every node's columns, which together take exactly the
// ids and deps the header counts, and no epoch held twice.
Check read_nodes(const std::byte* p, const Header& h, std::vector<Node>& nodes,
                 std::vector<std::uint8_t>& bits) {
    std::uint64_t id_sum = 0;
    std::uint64_t deps_sum = 0;
    for (std::size_t i = 0; i < h.n; ++i) {
        if (Check ok = read_node(p, h, i, id_sum, deps_sum, nodes[i], bits[i]); !ok)
            return ok;
        id_sum += nodes[i].id_length;
        deps_sum += nodes[i].deps_count;
    }
    if (id_sum != h.b)
        return refuse("the ids take " + std::to_string(id_sum) + " bytes, but the header" +
                      at_byte(48) + " counts " + std::to_string(h.b));
    if (deps_sum != h.d)
        return refuse("the deps take " + std::to_string(deps_sum) + " entries, but the header" +
                      at_byte(40) + " counts " + std::to_string(h.d));
    // Every commit hands out a new epoch: two nodes holding one would fold
    // the same key for different values.
    if (const auto [first, second] = shared_epoch(nodes); second != IdIndex::absent)
        return refuse("node " + std::to_string(second) + ": epoch " +
                      std::to_string(nodes[second].epoch) +
                      at_byte(h.at.epochs + (8 * std::size_t{second})) +
                      " is also the epoch of node " + std::to_string(first));
    return {};
}

// Ids: valid text, each once, entered in `index` with this process's
// hashing. Keys are computed a few nodes ahead and their slots prefetched:
// the lookups are random reads in a table too large for the cache.
Check index_ids(const Header& h, const std::vector<Node>& nodes, std::string_view id_bytes,
                IdIndex& index) {
    const auto id_at = [&](std::size_t i) {
        return std::string_view(id_bytes.data() + nodes[i].id_offset, nodes[i].id_length);
    };
    const std::size_t n = nodes.size();
    constexpr std::size_t ahead = 8;
    IdIndex::Key keys[ahead];
    for (std::size_t i = 0; i < std::min<std::size_t>(ahead, n); ++i) {
        keys[i] = index.key_of(id_at(i));
        index.prefetch(keys[i]);
    }
    // Ids that are all ASCII, as most are, are valid text at one pass over
    // their bytes; otherwise each id is checked on its own.
    const bool ascii = is_ascii(id_bytes);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view id = id_at(i);
        const std::size_t offset = h.at.ids + nodes[i].id_offset;
        const std::size_t bad = ascii ? id.size() : invalid_utf8_at(id);
        if (bad < id.size())
            return refuse("node " + std::to_string(i) + ": id" + at_byte(offset) +
                          " is not valid UTF-8 at its byte " + std::to_string(bad));
        const IdIndex::Key key = keys[i % ahead];
        if (i + ahead < n) {
            keys[i % ahead] = index.key_of(id_at(i + ahead));
            index.prefetch(keys[i % ahead]);
        }
        const NodeIndex same = index.find(id, key, [&](NodeIndex j) { return id_at(j); });
        if (same != IdIndex::absent)
            return refuse("node " + std::to_string(i) + ": id " + quoted(id) + at_byte(offset) +
                          " is already the id of node " + std::to_string(same));
        index.insert(key, static_cast<NodeIndex>(i));
    }
    return {};
}

// Deps into `pool`: registered nodes, never the node itself, each once per
// node. `marks` is the new graph's visit marks, for long lists.
template <typename Marks>
Check read_deps(const std::byte* p, const Header& h, const std::vector<Node>& nodes,
                std::vector<NodeIndex>& pool, Marks& marks) {
    const std::size_t n = nodes.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = nodes[i];
        // Short lists are checked for repeats by a scan, as set_deps does.
        const bool scan = node.deps_count <= 16;
        if (!scan)
            marks.begin(n);
        for (std::size_t k = node.deps_offset; k < node.deps_offset + node.deps_count; ++k) {
            const std::size_t offset = h.at.deps + (4 * k);
            const auto dep = load_le<std::uint32_t>(p + offset);
            const auto where = [i, dep] {
                return "node " + std::to_string(i) + ": dep " + std::to_string(dep);
            };
            if (dep >= n)
                return refuse(where() + at_byte(offset) + " is not a node (there are " +
                              std::to_string(n) + ")");
            if (dep == i)
                return refuse(where() + at_byte(offset) + " is the node itself");
            bool repeat = false;
            if (!scan)
                repeat = !marks.mark(dep);
            else  // a plain loop: most lists are a few entries long
                for (std::size_t j = node.deps_offset; j < k; ++j)
                    repeat |= pool[j] == dep;
            if (repeat)
                return refuse(where() + at_byte(offset) + " is listed twice");
            pool[k] = dep;
        }
    }
    return {};
}

// A built graph's cached order and each node's place in it.
struct CachedOrder {
    std::vector<NodeIndex> order;
    std::vector<NodeIndex> position;
};

// The stored order: every node once.
std::expected<CachedOrder, SnapshotError> read_permutation(const std::byte* p, const Header& h) {
    constexpr NodeIndex unplaced = IdIndex::absent;
    const std::size_t n = h.n;
    CachedOrder o{std::vector<NodeIndex>(n), std::vector<NodeIndex>(n, unplaced)};
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t offset = h.at.order + (4 * k);
        const auto v = load_le<std::uint32_t>(p + offset);
        if (v >= n || o.position[v] != unplaced)
            return refuse("cached order" + at_byte(offset) + ": node " + std::to_string(v) +
                          (v >= n ? " is not a node" : " is listed twice"));
        o.order[k] = v;
        o.position[v] = static_cast<NodeIndex>(k);
    }
    return o;
}

// Every node placed after its deps; ready_at[k] gets the first step at
// which order[k] had all its deps placed.
Check check_deps_first(const Header& h, const std::vector<Node>& nodes,
                       const std::vector<NodeIndex>& pool, const CachedOrder& o,
                       std::vector<NodeIndex>& ready_at) {
    for (std::size_t v = 0; v < nodes.size(); ++v) {
        NodeIndex ready = 0;
        const Node& node = nodes[v];  // its deps were laid out and checked before
        for (const NodeIndex dep : std::span(pool).subspan(node.deps_offset, node.deps_count)) {
            if (o.position[dep] >= o.position[v])
                return refuse("cached order" +
                              at_byte(h.at.order + (4 * std::size_t{o.position[v]})) + ": node " +
                              std::to_string(v) + " comes before its dep " + std::to_string(dep));
            ready = std::max(ready, o.position[dep] + 1);
        }
        ready_at[o.position[v]] = ready;
    }
    return {};
}

// The order is the smallest exactly when no node waits, ready, behind a
// larger one: order[k] exceeds no entry in [ready_at[k], k). The stack
// holds the positions of the running suffix maxima.
Check check_smallest(const Header& h, const std::vector<NodeIndex>& order,
                     const std::vector<NodeIndex>& ready_at) {
    std::vector<NodeIndex> maxima;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const NodeIndex v = order[k];
        const auto first = std::ranges::lower_bound(maxima, ready_at[k]);
        if (first != maxima.end() && order[*first] > v)
            return refuse("cached order" + at_byte(h.at.order + (4 * std::size_t{*first})) +
                          ": node " + std::to_string(order[*first]) + " at position " +
                          std::to_string(*first) + " comes before the smaller ready node " +
                          std::to_string(v) + ", which is not the order build() gives");
        while (!maxima.empty() && order[maxima.back()] < v)
            maxima.pop_back();
        maxima.push_back(static_cast<NodeIndex>(k));
    }
    return {};
}

// A built graph has one order, the one build() computes: the smallest ready
// index always comes next. The stored order must be that one, so a restored
// graph orders exactly as the saved one did. Checking it takes linear time
// where build() needs a heap.
std::expected<CachedOrder, SnapshotError> read_order(const std::byte* p, const Header& h,
                                                     const std::vector<Node>& nodes,
                                                     const std::vector<NodeIndex>& pool) {
    auto o = read_permutation(p, h);
    if (!o)
        return o;
    std::vector<NodeIndex> ready_at(h.n);
    if (Check ok = check_deps_first(h, nodes, pool, *o, ready_at); !ok)
        return failed(ok);
    if (Check ok = check_smallest(h, o->order, ready_at); !ok)
        return failed(ok);
    return o;
}

}  // namespace

std::uint64_t snapshot_checksum(std::span<const std::byte> data) noexcept {
    std::uint64_t lanes[4] = {checksum_lanes[0], checksum_lanes[1], checksum_lanes[2],
                              checksum_lanes[3]};
    const std::size_t whole = data.size() / 32 * 32;
    for (std::size_t k = 0; k < whole; k += 32)
        mix_block(lanes, data.data() + k);
    if (whole < data.size()) {
        std::byte last[32] = {};
        std::memcpy(last, data.data() + whole, data.size() - whole);
        mix_block(lanes, last);
    }
    std::uint64_t h = data.size();
    for (const std::uint64_t lane : lanes)
        h = mix(h ^ lane, checksum_multiplier);
    return h;
}

std::size_t Graph::snapshot_size() const noexcept {
    std::uint64_t deps_entries = 0;
    for (const Node& node : nodes_)
        deps_entries += node.deps_count;
    return Layout(nodes_.size(), deps_entries, id_bytes_.size(), built_).total;
}

void Graph::write_snapshot(std::span<std::byte> out, std::string_view kernel_version) const {
    if (out.size() != snapshot_size())
        throw InternalFault("snapshot buffer does not have the snapshot's size");
    std::uint64_t deps_entries = 0;
    for (const Node& node : nodes_)
        deps_entries += node.deps_count;

    Writer w(out.data());
    w.put_bytes(snapshot_magic, sizeof snapshot_magic);
    w.put(snapshot_format_version);
    w.put(built_ ? snapshot_flag_built : std::uint32_t{0});
    char version[snapshot_version_field] = {};
    std::memcpy(version, kernel_version.data(),
                std::min(kernel_version.size(), snapshot_version_field));
    w.put_bytes(version, sizeof version);
    w.put(std::uint64_t{nodes_.size()});
    w.put(deps_entries);
    w.put(std::uint64_t{id_bytes_.size()});
    w.put(epoch_counter_);

    // One pass per column: each is a tight loop over the records.
    for (const Node& node : nodes_)
        w.put(static_cast<std::uint8_t>(node.kind));
    for (const std::uint8_t bits : bits_)
        w.put(static_cast<std::uint8_t>(bits & node_bits::state));
    for (const Node& node : nodes_)
        w.put(node.has_signature ? snapshot_node_has_signature : std::uint8_t{0});
    for (const Node& node : nodes_)
        w.put(node.id_length);
    for (const Node& node : nodes_)
        w.put(node.deps_count);
    for (const Node& node : nodes_)
        w.put(node.epoch);
    for (const Node& node : nodes_)
        w.put(node.has_signature ? node.signature : std::uint64_t{0});
    for (const Node& node : nodes_)
        w.put(node.content_hash);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        const std::string_view id = id_of(static_cast<NodeIndex>(i));
        w.put_bytes(id.data(), id.size());
    }
    for (const Node& node : nodes_)
        for (const NodeIndex d : deps(node))
            w.put(d);
    if (built_)
        for (const NodeIndex i : order_)
            w.put(i);
    const auto body = static_cast<std::size_t>(w.at() - out.data());
    if (body + snapshot_checksum_size != out.size())
        throw InternalFault("snapshot written with a size other than its own");
    w.put(snapshot_checksum(out.first(body)));
}

std::expected<Graph, SnapshotError> Graph::from_snapshot(std::span<const std::byte> data) {
    const auto header = read_header(data);
    if (!header)
        return std::unexpected(header.error());
    const Header& h = *header;
    const std::byte* const p = data.data();

    Graph g;
    g.nodes_.resize(h.n);
    g.bits_.resize(h.n);
    g.index_.reserve(h.n);
    g.id_bytes_.assign(reinterpret_cast<const char*>(p + h.at.ids), h.b);
    g.dep_pool_.resize(h.d);
    g.epoch_counter_ = h.epoch_counter;
    if (Check ok = read_nodes(p, h, g.nodes_, g.bits_); !ok)
        return failed(ok);
    if (Check ok = index_ids(h, g.nodes_, g.id_bytes_, g.index_); !ok)
        return failed(ok);
    if (Check ok = read_deps(p, h, g.nodes_, g.dep_pool_, g.marks_); !ok)
        return failed(ok);
    if (h.built) {
        auto o = read_order(p, h, g.nodes_, g.dep_pool_);
        if (!o)
            return std::unexpected(std::move(o.error()));
        // The reverse edges are derived when first needed (ensure_dependents).
        g.order_.swap(o->order);
        g.position_.swap(o->position);
        g.built_ = true;
    }
    // Which dirty nodes an abandoned round left for the next one is not
    // recorded, so every dirty node joins the restored graph's next round:
    // it settles those whose signature still holds and hands out the rest.
    // Nor is which of them were seeds (the format has no room for it), so
    // a seed comes back settled by signature; a caller that needs it handed
    // out whatever its fold seeds it again.
    for (std::size_t i = 0; i < h.n; ++i)
        if (g.state_at(static_cast<NodeIndex>(i)) == NodeState::Dirty)
            g.unsettled_.push_back(static_cast<NodeIndex>(i));
    return g;
}

}  // namespace quorl::core
