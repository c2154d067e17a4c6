// Failure reports of the fuzz harness: where the run is, and an abort naming
// the failed check. Nothing is caught, so a check failure, an InternalFault
// and a sanitizer report all end the run as a crash.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorl::fuzz {

extern std::size_t step;        // 1-based index of the operation being run; 0 before the first
extern const char* op_name;     // what the operation is
extern bool tracing;            // print every decoded call (QUORL_FUZZ_TRACE=1)
extern std::string input_name;  // the input being replayed, when it has one

void read_trace_setting();

// `s` with every byte outside printable ASCII, quotes and backslashes as \xHH.
std::string printable(std::string_view s);

[[noreturn]] void mismatch(int line, const char* condition, const std::string& detail = {});

}  // namespace quorl::fuzz

#define CHECK(cond)                                   \
    do {                                              \
        if (!(cond))                                  \
            ::quorl::fuzz::mismatch(__LINE__, #cond); \
    } while (0)
#define CHECK_MSG(cond, detail)                                 \
    do {                                                        \
        if (!(cond))                                            \
            ::quorl::fuzz::mismatch(__LINE__, #cond, (detail)); \
    } while (0)

// The argument is only evaluated when tracing: building it costs more than
// many of the calls it describes.
#define TRACE(line)                                                                             \
    do {                                                                                        \
        if (::quorl::fuzz::tracing)                                                             \
            std::fprintf(stderr, "[%zu] %s\n", ::quorl::fuzz::step, std::string(line).c_str()); \
    } while (0)
