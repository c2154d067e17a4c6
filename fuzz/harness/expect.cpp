#include "expect.hpp"

#include <optional>

namespace quorl::fuzz {

using core::AlreadyRegistered;
using core::Cycle;
using core::GraphError;
using core::InvalidKind;
using core::SelfDependency;
using core::UnknownNode;

const char* const variant_names[] = {
    "AlreadyRegistered", "UnknownNode",    "SelfDependency",  "InvalidKind",
    "NotBuilt",          "Cycle",          "EpochsExhausted", "EpochNeverHandedOut",
    "EpochHeld",         "StillDependedOn"};

namespace {

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

std::string expect_prefix(std::string_view message, std::string_view prefix,
                          std::string_view suffix) {
    const auto detail = [&] { return "message " + printable(message); };
    CHECK_MSG(message.size() >= prefix.size() + suffix.size(), detail());
    CHECK_MSG(message.substr(0, prefix.size()) == prefix, detail());
    CHECK_MSG(message.substr(message.size() - suffix.size()) == suffix, detail());
    return std::string(
        message.substr(prefix.size(), message.size() - prefix.size() - suffix.size()));
}

}  // namespace

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

// The kernel's error must be exactly the expected variant, payload and message.
void expect_error(const GraphError& error, Variant variant, std::string_view payload,
                  const std::vector<std::string>* cycle) {
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
    default: mismatch(__LINE__, "unchecked variant", variant_names[variant]);
    }
}

void expect_still_depended_on(const GraphError& error, const std::string& id,
                              const std::string& dependant) {
    const auto& v = error.variant();
    const std::string message = error.message();
    CHECK_MSG(v.index() == kStillDependedOn, "got " + message);
    CHECK(std::get<core::StillDependedOn>(v).id == id);
    CHECK(std::get<core::StillDependedOn>(v).dependant == dependant);
    // Both ids quoted, in this order: the quoting itself is checked elsewhere.
    (void)expect_prefix(message, "cannot remove ", " depends on it and is not removed");
}

void expect_epoch_refused(const GraphError& error, std::uint64_t epoch, std::uint64_t counter,
                          const std::string* holder) {
    const auto& v = error.variant();
    const std::string message = error.message();
    const std::string start = "epoch " + std::to_string(epoch);
    if (holder == nullptr) {
        CHECK_MSG(v.index() == kEpochNeverHandedOut, "got " + message);
        CHECK(std::get<core::EpochNeverHandedOut>(v).epoch == epoch &&
              std::get<core::EpochNeverHandedOut>(v).counter == counter);
        CHECK(message == start + " was never handed out (the epoch counter is at " +
                             std::to_string(counter) + ")");
        return;
    }
    CHECK_MSG(v.index() == kEpochHeld, "got " + message);
    CHECK(std::get<core::EpochHeld>(v).id == *holder);
    check_quoted(*holder, expect_prefix(message, start + " is held by node ",
                                        ": a node takes back only an epoch it held itself"));
}

}  // namespace quorl::fuzz
