// Replays fuzz inputs through the kernel target without libFuzzer, so any
// compiler can run the corpus as a test: every call is checked against the
// harness's model, and the kernel's invariants after every call.
//
//   replay_corpus [--random N] [FILE | DIRECTORY]...
//
// --random N adds N pseudo-random inputs from a fixed seed. A failed check
// aborts, naming the input being replayed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness/kernel_ops.hpp"
#include "harness/report.hpp"

namespace {

void replay(const std::string& name, const std::vector<std::uint8_t>& input) {
    // A failed check aborts from inside the run, naming the input; a fault
    // the kernel throws is reported the same way.
    quorl::fuzz::input_name = name;
    try {
        quorl::fuzz::run_kernel_input(input.data(), input.size());
    } catch (const std::exception& e) {
        quorl::fuzz::mismatch(__LINE__, "no exception", e.what());
    }
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// xorshift64*: a fixed sequence on every platform.
std::uint64_t next_random(std::uint64_t& state) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
}

}  // namespace

int main(int argc, char** argv) {
    quorl::fuzz::read_trace_setting();
    std::size_t replayed = 0;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--random" && k + 1 < argc) {
            const long count = std::strtol(argv[++k], nullptr, 10);
            std::uint64_t state = 0x9E3779B97F4A7C15ull;
            for (long i = 0; i < count; ++i) {
                // Mostly small bytes, which pick registered ids and short
                // lists, so random inputs reach built graphs and memo calls.
                std::vector<std::uint8_t> input(64 + next_random(state) % 512);
                for (std::uint8_t& byte : input) {
                    const std::uint64_t r = next_random(state);
                    byte = static_cast<std::uint8_t>((r >> 8) % 4 == 0 ? r >> 16 : (r >> 16) % 26);
                }
                replay("random input " + std::to_string(i), input);
                ++replayed;
            }
            continue;
        }
        const std::filesystem::path path(arg);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) {
                    replay(entry.path().string(), read_file(entry.path()));
                    ++replayed;
                }
        } else if (std::filesystem::is_regular_file(path)) {
            replay(path.string(), read_file(path));
            ++replayed;
        } else {
            std::fprintf(stderr, "replay_corpus: no such file or directory: %s\n", arg.c_str());
            return 2;
        }
    }
    std::printf("replayed %zu inputs; every check and invariant held\n", replayed);
    return replayed > 0 ? 0 : 1;
}
