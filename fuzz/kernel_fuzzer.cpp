// libFuzzer entry points of the kernel target (fuzz/harness/kernel_ops.cpp).
//
// Set QUORL_FUZZ_TRACE=1 to print every decoded call while replaying an input.
#include <cstddef>
#include <cstdint>

#include "harness/kernel_ops.hpp"
#include "harness/report.hpp"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    quorl::fuzz::read_trace_setting();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quorl::fuzz::run_kernel_input(data, size);
    return 0;
}
