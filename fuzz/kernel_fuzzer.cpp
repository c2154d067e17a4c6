// libFuzzer harness for the graph kernel.
//
// The input bytes decode into a sequence of kernel calls on one Graph. Next
// to the kernel the harness keeps a deliberately naive model (linear scans,
// plain vectors, its own heap-based Kahn) and compares every result and every
// error, payload and message included, against it. After each call it checks
// the kernel's own invariants and, for calls that fail or only read, that the
// observable graph did not change. Any difference aborts with a report on
// stderr; nothing is caught, so an InternalFault or a sanitizer report is a
// crash too.
//
// Set QUORL_FUZZ_TRACE=1 to print every decoded call while replaying an input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/graph.hpp"

using namespace quorl::core;

namespace {

// Bounds that keep one input to a few milliseconds under the sanitizers and
// still leave room for long deps lists: the deps storage is compacted only
// once it holds 1024 entries.
constexpr std::size_t max_ops = 160;
constexpr std::size_t max_nodes = 40;

// ---- Reporting ---------------------------------------------------------------

std::size_t step = 0;
const char* op_name = "setup";
bool tracing = false;

std::string printable(std::string_view s) {
    std::string out = "'";
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out + "'";
}

[[noreturn]] void mismatch(int line, const char* condition, const std::string& detail = {}) {
    std::fprintf(stderr, "kernel_fuzzer: check failed at line %d, step %zu (%s): %s\n", line, step,
                 op_name, condition);
    if (!detail.empty())
        std::fprintf(stderr, "kernel_fuzzer: %s\n", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define CHECK(cond)                    \
    do {                               \
        if (!(cond))                   \
            mismatch(__LINE__, #cond); \
    } while (0)
#define CHECK_MSG(cond, detail)                  \
    do {                                         \
        if (!(cond))                             \
            mismatch(__LINE__, #cond, (detail)); \
    } while (0)

// The argument is only evaluated when tracing: building it costs more than
// many of the calls it describes.
#define TRACE(line)                                                              \
    do {                                                                         \
        if (tracing)                                                             \
            std::fprintf(stderr, "[%zu] %s\n", step, std::string(line).c_str()); \
    } while (0)

// ---- Input decoding ----------------------------------------------------------

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    bool done() const { return n_ == 0; }
    std::uint8_t u8() {
        if (n_ == 0)
            return 0;
        --n_;
        return *p_++;
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k)
            v = (v << 8) | u8();
        return v;
    }
    std::string bytes(std::size_t k) {
        k = std::min(k, n_);
        std::string s(reinterpret_cast<const char*>(p_), k);
        p_ += k;
        n_ -= k;
        return s;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// Ids that stress lookup and quoting: the empty id, quotes and backslashes,
// control characters with an embedded NUL, a combining mark next to the
// precomposed letter it resembles, non-BMP and invisible characters, ids that
// differ only by a blank or by case, and ids of equal length (5, 8 and 32
// bytes) that differ in one byte at the start, middle or end, for byte
// comparisons that work in words.
const std::string id_pool[] = {
    "",
    "a",
    "b",
    "c",
    "d",
    "price",
    "\"q\\",
    std::string("t\tn\nr\r\0z", 8),
    "\x1b[0m",
    "e\xcc\x81",
    "\xc3\xa9",
    "\xf0\x9f\x98\x80",
    "\xe2\x80\x8b",
    "a ",
    "A",
    "node-with-a-longer-id-0123456789",
    "\xef\xbf\xbd",
    "'",
    "node-with-a-longer-id-0123456788",
    "node-with-a-lonxer-id-0123456789",
    "abcdefgh",
    "abcdefgi",
    "bbcdefgh",
    "abcde",
    "abcdf",
    "abdde",
};
constexpr std::size_t id_pool_size = std::size(id_pool);

const std::string_view kind_names[] = {"input", "source", "reactive", "view"};
const std::string_view state_names[] = {"clean", "dirty", "computing"};
const std::string bad_kinds[] = {
    "Input",    "",         " view",    "view ", "VIEW", std::string("reactive\0", 9),
    "inputs",   "sourc",    "\xff",     "inpux", "vie",  "sourcf",
    "reactivf", "reactivE", "xeactive",
};

// ---- The model ---------------------------------------------------------------

struct Model {
    std::vector<std::string> ids;
    std::vector<NodeKind> kinds;
    std::vector<std::vector<NodeIndex>> deps;
    std::vector<NodeState> states;
    std::vector<std::optional<std::uint64_t>> signatures;
    std::vector<std::optional<std::uint64_t>> content_hashes;
    std::vector<std::uint64_t> epochs;
    std::uint64_t epoch_counter = 0;
    bool built = false;
    std::vector<NodeIndex> order;     // of the last successful build
    std::vector<NodeIndex> position;  // likewise

    std::size_t size() const { return ids.size(); }

    std::optional<NodeIndex> find(std::string_view id) const {
        for (std::size_t i = 0; i < ids.size(); ++i)
            if (ids[i] == id)
                return static_cast<NodeIndex>(i);
        return std::nullopt;
    }

    // Every node's dependents, each list ascending by node index.
    std::vector<std::vector<NodeIndex>> all_dependents() const {
        std::vector<std::vector<NodeIndex>> out(size());
        for (std::size_t j = 0; j < size(); ++j)
            for (NodeIndex d : deps[j])
                out[d].push_back(static_cast<NodeIndex>(j));
        return out;
    }

    // Kahn's algorithm with a min-heap on node index. Returns the order, or
    // leaves `stuck` with every node that could not be placed.
    bool kahn(std::vector<NodeIndex>& out, std::vector<NodeIndex>& stuck) const {
        const std::size_t n = size();
        const auto dependents = all_dependents();
        std::vector<std::size_t> in_degree(n);
        std::priority_queue<NodeIndex, std::vector<NodeIndex>, std::greater<NodeIndex>> ready;
        for (std::size_t i = 0; i < n; ++i) {
            in_degree[i] = deps[i].size();
            if (in_degree[i] == 0)
                ready.push(static_cast<NodeIndex>(i));
        }
        out.clear();
        while (!ready.empty()) {
            const NodeIndex u = ready.top();
            ready.pop();
            out.push_back(u);
            for (NodeIndex j : dependents[u])
                if (--in_degree[j] == 0)
                    ready.push(j);
        }
        stuck.clear();
        for (std::size_t i = 0; i < n; ++i)
            if (in_degree[i] > 0)
                stuck.push_back(static_cast<NodeIndex>(i));
        return out.size() == n;
    }

    // Breadth first along dependents: seeds at first mention, then each node's
    // dependents (ascending) as the queue reaches them.
    std::vector<NodeIndex> closure(const std::vector<NodeIndex>& seeds) const {
        const auto dependents = all_dependents();
        std::vector<bool> seen(size());
        std::vector<NodeIndex> out;
        for (NodeIndex s : seeds)
            if (!seen[s]) {
                seen[s] = true;
                out.push_back(s);
            }
        for (std::size_t head = 0; head < out.size(); ++head)
            for (NodeIndex d : dependents[out[head]])
                if (!seen[d]) {
                    seen[d] = true;
                    out.push_back(d);
                }
        return out;
    }

    std::vector<NodeIndex> topo_sorted(std::vector<NodeIndex> nodes) const {
        // Insertion sort: stable, and small enough to trust.
        for (std::size_t k = 1; k < nodes.size(); ++k)
            for (std::size_t j = k; j > 0 && position[nodes[j - 1]] > position[nodes[j]]; --j)
                std::swap(nodes[j - 1], nodes[j]);
        return nodes;
    }

    std::uint64_t fold(NodeIndex node) const {
        std::uint64_t h = 1469598103934665603ull;
        for (NodeIndex d : deps[node]) {
            const std::uint64_t key =
                kinds[d] == NodeKind::Input ? content_hashes[d].value_or(0) : epochs[d];
            h = (h ^ key) * 1099511628211ull;
        }
        return h;
    }
};

// ---- Quoted form and messages ------------------------------------------------

// Strict UTF-8 decoding of one sequence at s[i]; nullopt when it is not valid
// (truncated, bad continuation, overlong, surrogate or past U+10FFFF).
std::optional<char32_t> decode_utf8(std::string_view s, std::size_t& i) {
    const unsigned char lead = static_cast<unsigned char>(s[i]);
    std::size_t length;
    char32_t cp;
    char32_t minimum;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (s.size() - i < length)
        return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80)
            return std::nullopt;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return std::nullopt;
    i += length;
    return cp;
}

// The code points an id stands for: valid sequences as they are, and each
// byte that does not start one as U+FFFD.
std::u32string code_points(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        if (auto cp = decode_utf8(s, i))
            out += *cp;
        else
            out += U'\uFFFD', ++i;
    }
    return out;
}

bool is_known_escaped(char32_t cp) {
    // Cc, a grapheme extender, Cf, Zs other than space, Zl, Zp, Co, Cn.
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x0301 || cp == 0x00A0 ||
           cp == 0x200B || cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF || cp == 0xE000 ||
           cp == 0xFFFF || cp == 0x10FFFF;
}

bool is_known_literal(char32_t cp) {
    return (cp >= 0x20 && cp < 0x7F && cp != '"' && cp != '\\') || cp == 0xE9 || cp == 0x4E2D ||
           cp == 0x1F600 || cp == 0xFFFD;
}

// `q` must be the quoted form of `raw`: it reads back to the same code
// points, uses the short escapes where they exist, and escapes exactly the
// characters known to need it.
void check_quoted(std::string_view raw, std::string_view q) {
    const auto detail = [&] { return "raw " + printable(raw) + " quoted " + printable(q); };
    CHECK_MSG(q.size() >= 2 && q.front() == '"' && q.back() == '"', detail());
    const std::string_view body = q.substr(1, q.size() - 2);
    std::u32string read;
    for (std::size_t i = 0; i < body.size();) {
        if (body[i] != '\\') {
            auto cp = decode_utf8(body, i);
            CHECK_MSG(cp.has_value(), detail());
            CHECK_MSG(*cp != '"' && *cp != '\\' && !is_known_escaped(*cp), detail());
            read += *cp;
            continue;
        }
        CHECK_MSG(i + 1 < body.size(), detail());
        const char e = body[i + 1];
        i += 2;
        switch (e) {
        case '"': read += U'"'; continue;
        case '\\': read += U'\\'; continue;
        case 't': read += U'\t'; continue;
        case 'n': read += U'\n'; continue;
        case 'r': read += U'\r'; continue;
        case '0': read += U'\0'; continue;
        case 'u': break;
        default: mismatch(__LINE__, "unknown escape", detail());
        }
        CHECK_MSG(i < body.size() && body[i] == '{', detail());
        ++i;
        const std::size_t start = i;
        char32_t cp = 0;
        while (i < body.size() &&
               ((body[i] >= '0' && body[i] <= '9') || (body[i] >= 'a' && body[i] <= 'f'))) {
            cp = cp * 16 +
                 static_cast<char32_t>(body[i] <= '9' ? body[i] - '0' : body[i] - 'a' + 10);
            ++i;
            CHECK_MSG(i - start <= 6, detail());
        }
        CHECK_MSG(i > start && i < body.size() && body[i] == '}', detail());
        CHECK_MSG(body[start] != '0', detail());  // no leading zeros; U+0000 has \0
        ++i;
        CHECK_MSG(cp <= 0x10FFFF && !is_known_literal(cp), detail());
        // Characters with a short escape never take the long one.
        CHECK_MSG(cp != '\t' && cp != '\n' && cp != '\r' && cp != '"' && cp != '\\', detail());
        read += cp;
    }
    CHECK_MSG(read == code_points(raw), detail());
}

std::string expect_prefix(std::string_view message, std::string_view prefix,
                          std::string_view suffix) {
    const auto detail = [&] { return "message " + printable(message); };
    CHECK_MSG(message.size() >= prefix.size() + suffix.size(), detail());
    CHECK_MSG(message.substr(0, prefix.size()) == prefix, detail());
    CHECK_MSG(message.substr(message.size() - suffix.size()) == suffix, detail());
    return std::string(
        message.substr(prefix.size(), message.size() - prefix.size() - suffix.size()));
}

enum Variant : std::size_t {
    kAlreadyRegistered,
    kUnknownNode,
    kSelfDependency,
    kInvalidKind,
    kNotBuilt,
    kCycle
};
const char* const variant_names[] = {"AlreadyRegistered", "UnknownNode", "SelfDependency",
                                     "InvalidKind",       "NotBuilt",    "Cycle"};

// The kernel's error must be exactly the expected variant, payload and message.
void expect_error(const GraphError& error, Variant variant, std::string_view payload = {},
                  const std::vector<std::string>* cycle = nullptr) {
    const auto& v = error.variant();
    CHECK_MSG(v.index() == variant, std::string("got ") + variant_names[v.index()] + ", expected " +
                                        variant_names[variant] + " " + printable(payload));
    const std::string message = error.message();
    switch (variant) {
    case kAlreadyRegistered:
        CHECK(std::get<AlreadyRegistered>(v).id == payload);
        check_quoted(payload, expect_prefix(message, "node already registered: ", ""));
        break;
    case kUnknownNode:
        CHECK_MSG(std::get<UnknownNode>(v).id == payload,
                  "payload " + printable(std::get<UnknownNode>(v).id) + ", expected " +
                      printable(payload));
        check_quoted(payload, expect_prefix(message, "unknown node: ", ""));
        break;
    case kSelfDependency:
        CHECK(std::get<SelfDependency>(v).id == payload);
        check_quoted(payload, expect_prefix(message, "node ", " cannot depend on itself"));
        break;
    case kInvalidKind:
        CHECK(std::get<InvalidKind>(v).kind == payload);
        check_quoted(payload, expect_prefix(message, "invalid node kind ",
                                            " (expected input|source|reactive|view)"));
        break;
    case kNotBuilt:
        CHECK(message == "graph has not been built; call build() after registering nodes");
        break;
    case kCycle: {
        CHECK(std::get<Cycle>(v).ids == *cycle);
        std::string want = "dependency cycle detected involving: ";
        for (std::size_t k = 0; k < cycle->size(); ++k)
            want += (k ? ", " : "") + (*cycle)[k];
        CHECK(message == want);
        break;
    }
    }
}

// The call must have failed with exactly that error.
template <typename T>
void expect_error(const Result<T>& r, Variant variant, std::string_view payload = {},
                  const std::vector<std::string>* cycle = nullptr) {
    if (r)
        mismatch(__LINE__, "call succeeded",
                 std::string("expected ") + variant_names[variant] + " " + printable(payload));
    expect_error(r.error(), variant, payload, cycle);
}

template <typename T>
void expect_ok(const Result<T>& r) {
    if (!r)
        mismatch(__LINE__, "unexpected error", "got " + r.error().message());
}

// ---- Observable state --------------------------------------------------------

// Flat, so that taking one costs few allocations.
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

Snapshot snapshot(const Graph& g) {
    Snapshot s;
    for (NodeIndex i : g.node_ids()) {
        const Node& n = g.node(i);
        s.id_bytes += g.id_of(i);
        s.id_ends.push_back(s.id_bytes.size());
        s.kinds.push_back(n.kind);
        s.states.push_back(n.state);
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

// The id-based queries of one id, registered or not.
void check_queries(const Graph& g, const Model& m, const std::string& id) {
    auto index = g.index_of(id);
    auto kind = g.kind_of(id);
    auto state = g.state_of(id);
    auto deps = g.deps_of(id);
    const auto i = m.find(id);
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
    CHECK(state && *state == m.states[*i]);
    CHECK(to_string(*state) == state_names[static_cast<int>(m.states[*i])]);
    CHECK(deps && std::equal(deps->begin(), deps->end(), m.deps[*i].begin(), m.deps[*i].end()));
}

// A topologically ordered result: strictly increasing positions (so no
// repeats), and closed under dependents together with `also_closed`.
void check_closure(const Graph& g, const Model& m, const std::vector<NodeIndex>& result,
                   std::optional<NodeIndex> also_closed = std::nullopt) {
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

// Everything observable about the kernel agrees with the model, and the
// kernel's invariants hold. `full` adds the id-based queries for every node,
// which the queries operation otherwise samples one id at a time.
void verify(const Graph& g, const Model& m, bool full) {
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
        CHECK(node.state == m.states[i]);
        CHECK(node.has_signature == m.signatures[i].has_value());
        if (node.has_signature)
            CHECK(node.signature == *m.signatures[i]);
        CHECK(node.content_hash == m.content_hashes[i].value_or(0));
        CHECK(node.epoch == m.epochs[i]);
        if (full)
            check_queries(g, m, id);

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

// ---- Argument choice ---------------------------------------------------------

std::string pick_id(Reader& r, const Model& m) {
    const std::uint8_t b = r.u8();
    if (b < 120 && m.size() > 0)
        return m.ids[b % m.size()];
    if (b < 244)
        return id_pool[b % id_pool_size];
    return r.bytes(r.u8() % 13);  // arbitrary bytes, valid UTF-8 or not
}

// A dep for `target`: often a node registered before it, which keeps the
// graph acyclic and deep, sometimes anything at all.
std::string pick_dep(Reader& r, const Model& m, std::optional<NodeIndex> target) {
    const std::uint8_t b = r.u8();
    if (b < 112 && target && *target > 0)
        return m.ids[b % *target];
    if (b < 176 && m.size() > 0)
        return m.ids[b % m.size()];
    if (b < 250)
        return id_pool[b % id_pool_size];
    return r.bytes(r.u8() % 13);
}

std::string pick_kind(Reader& r) {
    const std::uint8_t b = r.u8();
    if (b < 200)
        return std::string(kind_names[b % 4]);
    if (b < 250)
        return bad_kinds[b % std::size(bad_kinds)];
    return r.bytes(r.u8() % 9);
}

std::vector<std::string> pick_ids(Reader& r, const Model& m) {
    const std::uint8_t b = r.u8();
    const std::size_t count = b < 240 ? b % 5 : 5 + b % 16;
    std::vector<std::string> ids;
    for (std::size_t k = 0; k < count; ++k)
        ids.push_back(pick_id(r, m));
    return ids;
}

// Valid node indices, with repeats; empty for an empty graph.
std::vector<NodeIndex> pick_indices(Reader& r, const Model& m) {
    std::vector<NodeIndex> out;
    if (m.size() == 0)
        return out;
    const std::size_t count = r.u8() % 8;
    for (std::size_t k = 0; k < count; ++k)
        out.push_back(static_cast<NodeIndex>(r.u8() % m.size()));
    return out;
}

std::uint64_t pick_value(Reader& r, const Model& m, std::optional<NodeIndex> target) {
    switch (r.u8() % 8) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 7;
    case 3: return UINT64_MAX;
    case 4: return fold_start;
    case 5: return target ? m.fold(*target) : 2;  // the signature check_node would report
    case 6: return target && m.signatures[*target] ? *m.signatures[*target] : 3;
    default: return r.u64();
    }
}

std::vector<std::string_view> views_of(const std::vector<std::string>& ids) {
    return {ids.begin(), ids.end()};
}

std::string join(const std::vector<std::string>& ids) {
    std::string out = "[";
    for (std::size_t k = 0; k < ids.size(); ++k)
        out += (k ? ", " : "") + printable(ids[k]);
    return out + "]";
}

// ---- One decoded operation ---------------------------------------------------

// The first unknown id of `ids` in list order, if any.
std::optional<std::string> first_unknown(const Model& m, const std::vector<std::string>& ids) {
    for (const std::string& id : ids)
        if (!m.find(id))
            return id;
    return std::nullopt;
}

std::vector<NodeIndex> indices(const Model& m, const std::vector<std::string>& ids) {
    std::vector<NodeIndex> out;
    for (const std::string& id : ids)
        out.push_back(*m.find(id));
    return out;
}

// Runs a per-node operation of the state and memo group: UnknownNode for an
// unknown id, else `ok` checks the result and updates the model.
template <typename R, typename Ok>
void per_node(const Model& m, const std::string& id, const R& result, Ok ok) {
    const auto i = m.find(id);
    if (!i) {
        expect_error(result, kUnknownNode, id);
        return;
    }
    expect_ok(result);
    ok(*i);
}

// One operation. Returns whether it may have changed the graph (false for
// queries and for every call that failed).
bool run_op(Reader& r, Graph& g, Model& m) {
    const std::uint8_t op = r.u8() % 25;
    switch (op) {
    case 0:
    case 1:
    case 2: {
        op_name = "add_node";
        const std::string id = pick_id(r, m);
        const std::string kind = pick_kind(r);
        const bool known = m.find(id).has_value();
        const auto kind_it = std::find(std::begin(kind_names), std::end(kind_names), kind);
        const bool valid_kind = kind_it != std::end(kind_names);
        if (!known && valid_kind && m.size() >= max_nodes)
            return false;
        TRACE("add_node(" + printable(id) + ", " + printable(kind) + ")");
        auto result = g.add_node(id, kind);
        if (known) {
            expect_error(result, kAlreadyRegistered, id);
            return false;
        }
        if (!valid_kind) {
            expect_error(result, kInvalidKind, kind);
            return false;
        }
        expect_ok(result);
        m.ids.push_back(id);
        m.kinds.push_back(static_cast<NodeKind>(kind_it - std::begin(kind_names)));
        m.deps.emplace_back();
        m.states.push_back(NodeState::Dirty);
        m.signatures.emplace_back();
        m.content_hashes.emplace_back();
        m.epochs.push_back(0);
        m.built = false;
        return true;
    }
    case 3:
    case 4: {
        op_name = "set_deps";
        const std::string id = pick_id(r, m);
        const auto target = m.find(id);
        const std::uint8_t b = r.u8();
        // Long lists too: past 16 entries repeats are found another way.
        const std::size_t count = b < 200 ? b % 6 : 14 + b % 24;
        std::vector<std::string> deps;
        for (std::size_t k = 0; k < count; ++k)
            deps.push_back(pick_dep(r, m, target));
        TRACE("set_deps(" + printable(id) + ", " + join(deps) + ")");
        const auto views = views_of(deps);
        auto result = g.set_deps(id, views);
        if (!target) {
            expect_error(result, kUnknownNode, id);
            return false;
        }
        std::vector<NodeIndex> list;
        for (const std::string& dep : deps) {
            if (dep == id) {
                expect_error(result, kSelfDependency, id);
                return false;
            }
            const auto d = m.find(dep);
            if (!d) {
                expect_error(result, kUnknownNode, dep);
                return false;
            }
            if (std::find(list.begin(), list.end(), *d) == list.end())
                list.push_back(*d);
        }
        expect_ok(result);
        m.deps[*target] = list;
        m.built = false;
        return true;
    }
    case 5:
    case 6: {
        op_name = "build";
        TRACE("build()");
        auto result = g.build();
        std::vector<NodeIndex> order, stuck;
        if (!m.kahn(order, stuck)) {
            CHECK(!m.built);  // a built graph is acyclic
            std::vector<std::string> ids;
            for (NodeIndex i : stuck)
                ids.push_back(m.ids[i]);
            expect_error(result, kCycle, {}, &ids);
            // The reverse edges it recomputed stay, and agree with the deps.
            const auto want_dependents = m.all_dependents();
            for (std::size_t i = 0; i < m.size(); ++i) {
                const auto dependents = g.dependents(static_cast<NodeIndex>(i));
                const auto& want = want_dependents[i];
                CHECK(std::equal(dependents.begin(), dependents.end(), want.begin(), want.end()));
            }
            return false;
        }
        expect_ok(result);
        m.order = order;
        m.position.assign(m.size(), 0);
        for (std::size_t k = 0; k < order.size(); ++k)
            m.position[order[k]] = static_cast<NodeIndex>(k);
        m.built = true;
        return true;
    }
    case 7: {
        op_name = "downstream";
        const std::string id = pick_id(r, m);
        TRACE("downstream(" + printable(id) + ")");
        auto result = g.downstream(id);
        if (!m.built) {
            expect_error(result, kNotBuilt);
            return false;
        }
        const auto t = m.find(id);
        if (!t) {
            expect_error(result, kUnknownNode, id);
            return false;
        }
        expect_ok(result);
        std::vector<NodeIndex> want = m.closure({*t});
        want.erase(std::remove(want.begin(), want.end(), *t), want.end());
        want = m.topo_sorted(want);
        CHECK(std::find(result->begin(), result->end(), *t) == result->end());
        check_closure(g, m, *result, *t);
        CHECK(*result == want);
        return false;
    }
    case 8:
    case 9: {
        const bool mark = op == 9;
        op_name = mark ? "mark_dirty" : "dirty_subgraph";
        const std::vector<std::string> seeds = pick_ids(r, m);
        TRACE(std::string(op_name) + "(" + join(seeds) + ")");
        const auto views = views_of(seeds);
        const std::vector<NodeState> before = m.states;
        auto result = mark ? g.mark_dirty(views) : g.dirty_subgraph(views);
        if (!m.built) {
            expect_error(result, kNotBuilt);
            return false;
        }
        if (auto unknown = first_unknown(m, seeds)) {
            expect_error(result, kUnknownNode, *unknown);
            return false;
        }
        expect_ok(result);
        const std::vector<NodeIndex> seed_indices = indices(m, seeds);
        const std::vector<NodeIndex> want = m.topo_sorted(m.closure(seed_indices));
        check_closure(g, m, *result);
        for (NodeIndex s : seed_indices)
            CHECK(std::find(result->begin(), result->end(), s) != result->end());
        CHECK(*result == want);
        if (!mark)
            return false;
        // Exactly the result is marked; every other state stays.
        std::vector<bool> in(m.size());
        for (NodeIndex i : *result)
            in[i] = true;
        for (std::size_t i = 0; i < m.size(); ++i) {
            const NodeState now = g.node(static_cast<NodeIndex>(i)).state;
            CHECK(now == (in[i] ? NodeState::Dirty : before[i]));
            m.states[i] = now;
        }
        return true;
    }
    case 10:
    case 11: {
        const bool computing = op == 11;
        op_name = computing ? "set_computing" : "set_dirty";
        const std::string id = pick_id(r, m);
        TRACE(std::string(op_name) + "(" + printable(id) + ")");
        auto result = computing ? g.set_computing(id) : g.set_dirty(id);
        bool changed = false;
        per_node(m, id, result, [&](NodeIndex i) {
            m.states[i] = computing ? NodeState::Computing : NodeState::Dirty;
            changed = true;
        });
        return changed;
    }
    case 12:
    case 13:
    case 14: {
        // set_clean, skip_node and commit_input: same shape, different fields.
        static const char* const names[] = {"set_clean", "skip_node", "commit_input"};
        op_name = names[op - 12];
        const std::string id = pick_id(r, m);
        const std::uint64_t value = pick_value(r, m, m.find(id));
        TRACE(std::string(op_name) + "(" + printable(id) + ", " + std::to_string(value) + ")");
        auto result = op == 12   ? g.set_clean(id, value)
                      : op == 13 ? g.skip_node(id, value)
                                 : g.commit_input(id, value);
        bool changed = false;
        per_node(m, id, result, [&](NodeIndex i) {
            m.states[i] = NodeState::Clean;
            m.signatures[i] = value;
            if (op == 14)
                m.content_hashes[i] = value;
            changed = true;
        });
        return changed;
    }
    case 15: {
        op_name = "commit_node";
        const std::string id = pick_id(r, m);
        const std::uint64_t value = pick_value(r, m, m.find(id));
        TRACE("commit_node(" + printable(id) + ", " + std::to_string(value) + ")");
        auto result = g.commit_node(id, value);
        bool changed = false;
        per_node(m, id, result, [&](NodeIndex i) {
            ++m.epoch_counter;
            m.states[i] = NodeState::Clean;
            m.signatures[i] = value;
            m.epochs[i] = m.epoch_counter;
            changed = true;
        });
        return changed;
    }
    case 16: {
        op_name = "needs_recompute";
        const std::string id = pick_id(r, m);
        const std::uint64_t value = pick_value(r, m, m.find(id));
        TRACE("needs_recompute(" + printable(id) + ", " + std::to_string(value) + ")");
        auto result = g.needs_recompute(id, value);
        per_node(m, id, result, [&](NodeIndex i) {
            CHECK(*result == !(m.signatures[i] && *m.signatures[i] == value));
        });
        return false;
    }
    case 17: {
        op_name = "check_node";
        const std::string id = pick_id(r, m);
        TRACE("check_node(" + printable(id) + ")");
        auto result = g.check_node(id);
        per_node(m, id, result, [&](NodeIndex i) {
            const std::uint64_t f = m.fold(i);
            CHECK(result->kind == m.kinds[i]);
            CHECK(result->signature == f);
            CHECK(result->needs_recompute == !(m.signatures[i] && *m.signatures[i] == f));
            CHECK(g.fold_signature(g.node(i)) == f);
        });
        return false;
    }
    case 18: {
        op_name = "queries";
        const std::string id = pick_id(r, m);
        TRACE("queries(" + printable(id) + ")");
        check_queries(g, m, id);
        return false;
    }
    case 19: {
        op_name = "indices_of";
        const std::vector<std::string> ids = pick_ids(r, m);
        TRACE("indices_of(" + join(ids) + ")");
        const auto views = views_of(ids);
        auto result = g.indices_of(views);
        if (auto unknown = first_unknown(m, ids)) {
            expect_error(result, kUnknownNode, *unknown);
            return false;
        }
        expect_ok(result);
        CHECK(*result == indices(m, ids));
        return false;
    }
    case 20: {
        op_name = "ids_in_topo_order";
        if (!m.built)
            return false;
        const std::vector<NodeIndex> nodes = pick_indices(r, m);
        TRACE("ids_in_topo_order(" + std::to_string(nodes.size()) + " indices)");
        CHECK(g.ids_in_topo_order(nodes) == m.topo_sorted(nodes));
        return false;
    }
    case 21: {
        op_name = "downstream_closure";
        if (!m.built)
            return false;
        const std::vector<NodeIndex> seeds = pick_indices(r, m);
        TRACE("downstream_closure(" + std::to_string(seeds.size()) + " seeds)");
        CHECK(g.downstream_closure(seeds) == m.closure(seeds));
        return false;
    }
    case 22: {
        op_name = "mark_nodes_dirty";
        const std::vector<NodeIndex> nodes = pick_indices(r, m);
        TRACE("mark_nodes_dirty(" + std::to_string(nodes.size()) + " nodes)");
        g.mark_nodes_dirty(nodes);
        for (NodeIndex i : nodes)
            m.states[i] = NodeState::Dirty;
        return !nodes.empty();
    }
    case 23: {
        // check_node, then commit or skip with the signature it reported: the
        // node must then be up to date, whatever it was before.
        op_name = "check_and_commit";
        const std::string id = pick_id(r, m);
        const bool commit = r.u8() & 1;
        TRACE("check_and_commit(" + printable(id) + ", " + (commit ? "commit" : "skip") + ")");
        auto checked = g.check_node(id);
        const auto i = m.find(id);
        if (!i) {
            expect_error(checked, kUnknownNode, id);
            return false;
        }
        expect_ok(checked);
        CHECK(checked->signature == m.fold(*i));
        expect_ok(commit ? g.commit_node(id, checked->signature)
                         : g.skip_node(id, checked->signature));
        if (commit)
            m.epochs[*i] = ++m.epoch_counter;
        m.states[*i] = NodeState::Clean;
        m.signatures[*i] = checked->signature;
        auto again = g.check_node(id);
        expect_ok(again);
        CHECK(!again->needs_recompute && again->signature == checked->signature);
        return true;
    }
    default: {
        // A whole update round on a built graph: every node in topological
        // order is checked and then committed, skipped or, for an input,
        // given a hash. Afterwards nothing is dirty.
        op_name = "update_round";
        if (!m.built)
            return false;
        TRACE("update_round()");
        for (NodeIndex i : m.order) {
            const std::string& id = m.ids[i];
            const std::uint8_t b = r.u8();
            if (m.kinds[i] == NodeKind::Input && (b & 1)) {
                const std::uint64_t h = b >> 1;
                expect_ok(g.commit_input(id, h));
                m.content_hashes[i] = h;
                m.signatures[i] = h;
                m.states[i] = NodeState::Clean;
                continue;
            }
            auto checked = g.check_node(id);
            expect_ok(checked);
            CHECK(checked->signature == m.fold(i));
            if (checked->needs_recompute || (b & 2)) {
                expect_ok(g.commit_node(id, checked->signature));
                m.epochs[i] = ++m.epoch_counter;
            } else {
                expect_ok(g.skip_node(id, checked->signature));
            }
            m.states[i] = NodeState::Clean;
            m.signatures[i] = checked->signature;
        }
        auto dirty = g.dirty_nodes();
        expect_ok(dirty);
        CHECK(dirty->empty());
        return true;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* t = std::getenv("QUORL_FUZZ_TRACE");
    tracing = t != nullptr && *t != '\0' && std::strcmp(t, "0") != 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    Graph g;
    Model m;
    step = 0;
    op_name = "new graph";
    verify(g, m, true);
    Snapshot before = snapshot(g);
    for (step = 1; step <= max_ops && !r.done(); ++step) {
        const bool changed = run_op(r, g, m);
        Snapshot after = snapshot(g);
        // A failing call, or one that only reads, leaves the graph as it was.
        if (!changed)
            CHECK(after == before);
        verify(g, m, false);
        before = std::move(after);
    }
    op_name = "end of input";
    verify(g, m, true);
    return 0;
}
