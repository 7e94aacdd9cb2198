#pragma once

#include <bit>
#include <cstdint>

// One bit per byte of a line or record of up to 128 bytes, as the quick
// ways of export and import mark them sixteen bytes at a time.
namespace interchange {

using LineBits = unsigned __int128;

inline int lowestBit(LineBits bits) {
    const auto low = static_cast<std::uint64_t>(bits);
    return low != 0 ? std::countr_zero(low)
                    : 64 + std::countr_zero(static_cast<std::uint64_t>(bits >> 64));
}

} // namespace interchange
