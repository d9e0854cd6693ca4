// Bit scans shared by the matcher and the normalizer.
#ifndef KAVEX_ENGINE_BITSCAN_H
#define KAVEX_ENGINE_BITSCAN_H

#include <cstdint>

namespace kavex {

// Index of the lowest set bit; `mask` must not be 0.
inline unsigned LowestSetBit(uint64_t mask) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctzll(mask));
#else
    unsigned bit = 0;
    for (; (mask & 1) == 0; mask >>= 1) ++bit;
    return bit;
#endif
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_BITSCAN_H
