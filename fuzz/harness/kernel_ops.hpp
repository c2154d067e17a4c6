// The kernel target: an input decodes into a sequence of kernel calls on one
// Graph, each checked against the model, with the kernel's invariants and
// its observable state checked after every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorl::fuzz {

void run_kernel_input(const std::uint8_t* data, std::size_t size);

}  // namespace quorl::fuzz
