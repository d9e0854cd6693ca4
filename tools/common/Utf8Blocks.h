// The block loops of the buffer conversions, included by Utf8.cpp (SSE2) and by
// Utf8Ssse3.cpp (compiled for SSSE3): the same loops, with the step that packs the units or
// bytes of a block given by each. Everything here has internal linkage, so the copies
// built for different instruction sets never meet at link time. Internal to
// kavex_tools_common.
//
// A block of UTF-8 (16 bytes) or UTF-16 (8 units) is taken whole when it is ASCII, and
// otherwise up to its first character of three or four bytes (or invalid byte): the
// ASCII and two-byte characters before it (Arabic, Persian, Urdu letters and marks) are
// converted together, that one character alone, and the next block starts after it.
#ifndef KAVEX_TOOLS_COMMON_UTF8BLOCKS_H
#define KAVEX_TOOLS_COMMON_UTF8BLOCKS_H

#include <emmintrin.h>

#include <cstddef>

#include "common/Utf8.h"
#include "common/Utf8Stretch.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace kavex::cli {
namespace {

inline int LowestBit(unsigned mask) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctz(mask);
#else
    unsigned long index;
    _BitScanForward(&index, mask);
    return static_cast<int>(index);
#endif
}

// The bits set in each byte: the count of units or bytes a block gives is on the path
// from one block to the next, and a load is shorter than a count by shifts and masks (no
// popcount instruction is assumed: it is not SSE2).
struct BitCounts {
    unsigned char of[256];
};

constexpr BitCounts CountEachByte() {
    BitCounts counts{};
    for (int value = 0; value < 256; ++value) {
        counts.of[value] = static_cast<unsigned char>((value & 1) + counts.of[value >> 1]);
    }
    return counts;
}

constexpr BitCounts kBitCounts = CountEachByte();

// For masks of at most 16 bits.
inline int CountBits(unsigned mask) {
    return kBitCounts.of[mask & 0xFF] + kBitCounts.of[mask >> 8];
}

// Bits 0 .. count-1, for count in [0, 16].
inline unsigned LowBits(int count) { return (1u << count) - 1; }

// For each mask of 8 lanes, the byte shuffle that moves the kept lanes (or bytes) to the
// front in order; 0x80 clears a byte.
struct ShuffleTable {
    alignas(16) unsigned char entries[256][16];
};

constexpr ShuffleTable KeptUnits() {
    ShuffleTable table{};
    for (int mask = 0; mask < 256; ++mask) {
        int j = 0;
        for (int k = 0; k < 8; ++k) {
            if ((mask >> k) & 1) {
                table.entries[mask][j++] = static_cast<unsigned char>(2 * k);
                table.entries[mask][j++] = static_cast<unsigned char>(2 * k + 1);
            }
        }
        while (j < 16) table.entries[mask][j++] = 0x80;
    }
    return table;
}

// Each lane's low byte, and its high byte when the lane's bit is set.
constexpr ShuffleTable KeptBytes() {
    ShuffleTable table{};
    for (int mask = 0; mask < 256; ++mask) {
        int j = 0;
        for (int k = 0; k < 8; ++k) {
            table.entries[mask][j++] = static_cast<unsigned char>(2 * k);
            if ((mask >> k) & 1) table.entries[mask][j++] = static_cast<unsigned char>(2 * k + 1);
        }
        while (j < 16) table.entries[mask][j++] = 0x80;
    }
    return table;
}

constexpr ShuffleTable kKeptUnits = KeptUnits();
constexpr ShuffleTable kKeptBytes = KeptBytes();

// Pack::Units(low, high, keep, out) stores the 16-bit lanes of low (lanes 0-7) and high
// (lanes 8-15) whose bit is set in `keep`, in order, at `out` (which has room for 16), and
// returns how many.
template <typename Pack>
Converted DecodeBlocks(const unsigned char* in, std::size_t size, char16_t* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    const char* error = nullptr;
    const __m128i zero = _mm_setzero_si128();
    while (i < size) {
        if (size - i >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(block));
            if (high == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o),
                                 _mm_unpacklo_epi8(block, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o + 8),
                                 _mm_unpackhi_epi8(block, zero));
                i += 16;
                o += 16;
                continue;
            }
            // Signed compares: 80..BF are the bytes below C0, C2..DF those between C1 and E0.
            const unsigned continuation = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmplt_epi8(block, _mm_set1_epi8(static_cast<char>(0xC0)))));
            const unsigned lead = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(static_cast<char>(0xC1))),
                              _mm_cmplt_epi8(block, _mm_set1_epi8(static_cast<char>(0xE0))))));
            const unsigned other = high & ~continuation & ~lead;
            const int prefix = other == 0 ? 16 : LowestBit(other);
            const unsigned inPrefix = LowBits(prefix);
            const unsigned leads = lead & inPrefix;
            // Every continuation byte of the prefix follows a lead, and every lead but a
            // last one is followed by one; a last lead waits for the next step.
            const int taken = prefix > 0 && ((leads >> (prefix - 1)) & 1) ? prefix - 1 : prefix;
            if (taken > 0 && (continuation & inPrefix) == ((leads << 1) & inPrefix)) {
                // The unit of each position as if a character started there; the positions
                // that start one are kept.
                const __m128i next = _mm_srli_si128(block, 1);
                __m128i units[2];
                for (int half = 0; half < 2; ++half) {
                    const __m128i first =
                        half == 0 ? _mm_unpacklo_epi8(block, zero) : _mm_unpackhi_epi8(block, zero);
                    const __m128i second =
                        half == 0 ? _mm_unpacklo_epi8(next, zero) : _mm_unpackhi_epi8(next, zero);
                    const __m128i pair =
                        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(first, _mm_set1_epi16(0x1F)), 6),
                                     _mm_and_si128(second, _mm_set1_epi16(0x3F)));
                    const __m128i ascii = _mm_cmplt_epi16(first, _mm_set1_epi16(0x80));
                    units[half] =
                        _mm_or_si128(_mm_and_si128(ascii, first), _mm_andnot_si128(ascii, pair));
                }
                o += static_cast<std::size_t>(
                    Pack::Units(units[0], units[1], ~continuation & LowBits(taken), out + o));
                i += static_cast<std::size_t>(taken);
                // The character that ended the prefix, alone; a last lead starts the next
                // block.
                if (taken == prefix && prefix < 16 &&
                    !DecodeUtf8Character(in, size, i, out, o, error)) {
                    return Converted{i, o, error};
                }
                continue;
            }
        }
        if (!DecodeUtf8Stretch(in, size, i, out, o, error)) return Converted{i, o, error};
    }
    return Converted{i, o, nullptr};
}

// Pack::Bytes(pairs, two, out) stores, for each of the 8 16-bit lanes of `pairs` in order,
// its low byte and, when its bit in `two` is set, its high byte, at `out` (which has room
// for 16).
template <typename Pack>
Converted EncodeBlocks(const char16_t* in, std::size_t count, unsigned char* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    const __m128i zero = _mm_setzero_si128();
    while (i < count) {
        if (count - i >= 8) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            const __m128i ascii = _mm_cmpeq_epi16(
                _mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xFF80))), zero);
            const unsigned asciiUnits =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, zero)));
            if (asciiUnits == 0xFF) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o),
                                 _mm_packus_epi16(block, block));
                i += 8;
                o += 8;
                continue;
            }
            const __m128i small = _mm_cmpeq_epi16(
                _mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xF800))), zero);
            const unsigned smallUnits =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(small, zero)));
            const int prefix = smallUnits == 0xFF ? 8 : LowestBit(~smallUnits);
            if (prefix > 0) {
                // Below U+0800: one or two bytes per unit, both computed for every unit
                // (lead in the low byte), and each unit's own count of them kept.
                const __m128i leadByte =
                    _mm_or_si128(_mm_srli_epi16(block, 6), _mm_set1_epi16(0xC0));
                const __m128i trailByte = _mm_slli_epi16(
                    _mm_or_si128(_mm_and_si128(block, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)),
                    8);
                const __m128i two = _mm_or_si128(leadByte, trailByte);
                const __m128i pairs =
                    _mm_or_si128(_mm_and_si128(ascii, block), _mm_andnot_si128(ascii, two));
                const unsigned twoUnits = ~asciiUnits & 0xFF;
                Pack::Bytes(pairs, twoUnits, out + o);
                o += static_cast<std::size_t>(prefix + CountBits(twoUnits & LowBits(prefix)));
                i += static_cast<std::size_t>(prefix);
                if (prefix == 8) continue;
            }
        }
        if (!EncodeUtf8Stretch(in, count, i, out, o)) return Converted{i, o, nullptr};
    }
    return Converted{i, o, nullptr};
}

}  // namespace
}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_COMMON_UTF8BLOCKS_H
