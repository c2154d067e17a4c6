#include "core/errors.hpp"

#include "core/unicode_table.hpp"

namespace quorl::core {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

// Decodes one UTF-8 sequence at `s[i]` and advances `i`. Ids reach the kernel
// as valid UTF-8 from Python; any other byte sequence decodes as U+FFFD so
// that quoting never reads past the end.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    int length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (s.size() - i < static_cast<std::size_t>(length)) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k < length; ++k) {
        const unsigned char next = byte(i + k);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += length;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_hex_escape(std::string& out, char32_t cp) {
    static constexpr char digits[] = "0123456789abcdef";
    char buffer[8];
    int n = 0;
    do {
        buffer[n++] = digits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0)
        out += buffer[--n];
    out += '}';
}

}  // namespace

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = next_code_point(s, i);
        switch (cp) {
        case U'"': out += "\\\""; break;
        case U'\\': out += "\\\\"; break;
        case U'\t': out += "\\t"; break;
        case U'\n': out += "\\n"; break;
        case U'\r': out += "\\r"; break;
        case U'\0': out += "\\0"; break;
        default:
            if (unicode::is_escaped(cp))
                append_hex_escape(out, cp);
            else
                append_utf8(out, cp);
        }
    }
    out += '"';
    return out;
}

std::string GraphError::message() const {
    return std::visit(
        Overloaded{
            [](const AlreadyRegistered& e) { return "node already registered: " + quoted(e.id); },
            [](const UnknownNode& e) { return "unknown node: " + quoted(e.id); },
            [](const SelfDependency& e) {
                return "node " + quoted(e.id) + " cannot depend on itself";
            },
            [](const InvalidKind& e) {
                return "invalid node kind " + quoted(e.kind) +
                       " (expected input|source|reactive|view)";
            },
            [](const NotBuilt&) {
                return std::string(
                    "graph has not been built; call build() after registering nodes");
            },
            [](const EpochsExhausted&) {
                return std::string("epoch counter exhausted: no commit can be given a new epoch");
            },
            [](const StillDependedOn& e) {
                return "cannot remove " + quoted(e.id) + ": " + quoted(e.dependant) +
                       " depends on it and is not removed";
            },
            [](const EpochNeverHandedOut& e) {
                return "epoch " + std::to_string(e.epoch) +
                       " was never handed out (the epoch counter is at " +
                       std::to_string(e.counter) + ")";
            },
            [](const EpochHeld& e) {
                return "epoch " + std::to_string(e.epoch) + " is held by node " + quoted(e.id) +
                       ": a node takes back only an epoch it held itself";
            },
            [](const Cycle& e) {
                std::string message = "dependency cycle detected involving: ";
                for (std::size_t k = 0; k < e.ids.size(); ++k) {
                    if (k > 0)
                        message += ", ";
                    message += e.ids[k];
                }
                return message;
            },
        },
        variant_);
}

void throw_index_fault(const char* table, std::size_t index, std::size_t size) {
    throw InternalFault("node index " + std::to_string(index) + " out of range of " + table +
                        " (length " + std::to_string(size) + ")");
}

}  // namespace quorl::core
