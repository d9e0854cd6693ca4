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

// Number of set bits; without the POPCNT instruction, which baseline x86-64 lacks.
inline unsigned BitCount(uint64_t mask) {
    mask = mask - ((mask >> 1) & 0x5555555555555555u);
    mask = (mask & 0x3333333333333333u) + ((mask >> 2) & 0x3333333333333333u);
    mask = (mask + (mask >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((mask * 0x0101010101010101u) >> 56);
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_BITSCAN_H
