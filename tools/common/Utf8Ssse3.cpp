// The block loops of Utf8Blocks.h packed with byte shuffles. This file alone is compiled
// for SSSE3; Utf8.cpp calls it only on CPUs that have it.
#include <tmmintrin.h>

#include "common/Utf8Blocks.h"

namespace kavex::cli {
namespace {

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

__m128i Shuffle(const ShuffleTable& table, unsigned mask) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table.entries[mask]));
}

struct PackSsse3 {
    static int Units(__m128i low, __m128i high, unsigned keep, char16_t* out) {
        const unsigned lowKeep = keep & 0xFF;
        const unsigned highKeep = keep >> 8;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(low, Shuffle(kKeptUnits, lowKeep)));
        const int lowCount = CountBits(lowKeep);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + lowCount),
                         _mm_shuffle_epi8(high, Shuffle(kKeptUnits, highKeep)));
        return lowCount + CountBits(highKeep);
    }
    static void Bytes(__m128i pairs, unsigned two, unsigned char* out) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(pairs, Shuffle(kKeptBytes, two)));
    }
};

}  // namespace

Converted ConvertUtf8ToUtf16Ssse3(const unsigned char* in, std::size_t size, char16_t* out) {
    return DecodeBlocks<PackSsse3>(in, size, out);
}

Converted ConvertUtf16ToUtf8Ssse3(const char16_t* in, std::size_t count, unsigned char* out) {
    return EncodeBlocks<PackSsse3>(in, count, out);
}

}  // namespace kavex::cli
