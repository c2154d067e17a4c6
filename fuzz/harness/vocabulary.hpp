// The tables of vocabulary.def as C++: operation codes, kind and state names,
// the id pool and the invalid kinds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorl::fuzz {

enum class Op : std::uint8_t {
#define QUORL_FUZZ_OP(name, weight) name,
#define QUORL_FUZZ_KIND(name)
#define QUORL_FUZZ_STATE(name)
#define QUORL_FUZZ_ID(literal)
#define QUORL_FUZZ_BAD_KIND(literal)
#include "vocabulary.def"
#undef QUORL_FUZZ_OP
};

// Code k runs op_codes[k]; an operation of weight w takes w codes in a row.
inline constexpr auto op_codes = [] {
    constexpr std::size_t count = 0
#define QUORL_FUZZ_OP(name, weight) +(weight)
#include "vocabulary.def"
#undef QUORL_FUZZ_OP
        ;
    std::array<Op, count> codes{};
    std::size_t k = 0;
    const auto add = [&](Op op, std::size_t weight) {
        for (std::size_t w = 0; w < weight; ++w)
            codes[k++] = op;
    };
#define QUORL_FUZZ_OP(name, weight) add(Op::name, weight);
#include "vocabulary.def"
#undef QUORL_FUZZ_OP
    return codes;
}();
static_assert(op_codes.size() <= 256, "every code must fit the one byte that selects it");

inline Op op_of(std::uint8_t byte) {
    return op_codes[byte < op_codes.size() ? byte : byte % op_codes.size()];
}

#define QUORL_FUZZ_OP(name, weight)
#define QUORL_FUZZ_STRING(literal) std::string(literal, sizeof(literal) - 1),

inline const std::string kind_names[] = {
#undef QUORL_FUZZ_KIND
#define QUORL_FUZZ_KIND(literal) QUORL_FUZZ_STRING(literal)
#include "vocabulary.def"
#undef QUORL_FUZZ_KIND
#define QUORL_FUZZ_KIND(literal)
};

inline const std::string state_names[] = {
#undef QUORL_FUZZ_STATE
#define QUORL_FUZZ_STATE(literal) QUORL_FUZZ_STRING(literal)
#include "vocabulary.def"
#undef QUORL_FUZZ_STATE
#define QUORL_FUZZ_STATE(literal)
};

inline const std::string id_pool[] = {
#undef QUORL_FUZZ_ID
#define QUORL_FUZZ_ID(literal) QUORL_FUZZ_STRING(literal)
#include "vocabulary.def"
#undef QUORL_FUZZ_ID
#define QUORL_FUZZ_ID(literal)
};

inline const std::string bad_kinds[] = {
#undef QUORL_FUZZ_BAD_KIND
#define QUORL_FUZZ_BAD_KIND(literal) QUORL_FUZZ_STRING(literal)
#include "vocabulary.def"
#undef QUORL_FUZZ_BAD_KIND
#define QUORL_FUZZ_BAD_KIND(literal)
};

#undef QUORL_FUZZ_OP
#undef QUORL_FUZZ_KIND
#undef QUORL_FUZZ_STATE
#undef QUORL_FUZZ_ID
#undef QUORL_FUZZ_BAD_KIND
#undef QUORL_FUZZ_STRING

}  // namespace quorl::fuzz
