// Expected outcomes: a result is ok, or exactly the expected error with its
// payload and message, ids quoted as the kernel must quote them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/graph.hpp"
#include "report.hpp"

namespace quorl::fuzz {

enum Variant : std::size_t {
    kAlreadyRegistered,
    kUnknownNode,
    kSelfDependency,
    kInvalidKind,
    kNotBuilt,
    kCycle,
    kEpochsExhausted,
    kEpochNeverHandedOut,
    kEpochHeld,
    kStillDependedOn
};
extern const char* const variant_names[];

// `q` must be the quoted form of `raw`.
void check_quoted(std::string_view raw, std::string_view q);

// The kernel's error must be exactly the expected variant, payload and message.
void expect_error(const core::GraphError& error, Variant variant, std::string_view payload = {},
                  const std::vector<std::string>* cycle = nullptr);
// A restore's refusal of `epoch`: never handed out with the counter at
// `counter`, or held by the node `holder`.
// A removal refused: `dependant` depends on `id` and is not removed.
void expect_still_depended_on(const core::GraphError& error, const std::string& id,
                              const std::string& dependant);
void expect_epoch_refused(const core::GraphError& error, std::uint64_t epoch, std::uint64_t counter,
                          const std::string* holder);

// The call must have failed with exactly that error.
template <typename T>
void expect_error(const core::Result<T>& r, Variant variant, std::string_view payload = {},
                  const std::vector<std::string>* cycle = nullptr) {
    if (r)
        mismatch(__LINE__, "call succeeded",
                 std::string("expected ") + variant_names[variant] + " " + printable(payload));
    expect_error(r.error(), variant, payload, cycle);
}

template <typename T>
void expect_ok(const core::Result<T>& r) {
    if (!r)
        mismatch(__LINE__, "unexpected error", "got " + r.error().message());
}

}  // namespace quorl::fuzz
