// Reads a fuzz input as a stream of bytes; past its end every read gives zeros.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorl::fuzz {

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
    std::uint64_t u64() {  // big-endian
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

}  // namespace quorl::fuzz
