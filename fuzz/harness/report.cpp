#include "report.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorl::fuzz {

std::size_t step = 0;
const char* op_name = "setup";
bool tracing = false;
std::string input_name;

void read_trace_setting() {
    const char* t = std::getenv("QUORL_FUZZ_TRACE");
    tracing = t != nullptr && *t != '\0' && std::strcmp(t, "0") != 0;
}

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

void mismatch(int line, const char* condition, const std::string& detail) {
    if (!input_name.empty())
        std::fprintf(stderr, "fuzz harness: input %s\n", input_name.c_str());
    std::fprintf(stderr, "fuzz harness: check failed at line %d, step %zu (%s): %s\n", line, step,
                 op_name, condition);
    if (!detail.empty())
        std::fprintf(stderr, "fuzz harness: %s\n", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorl::fuzz
