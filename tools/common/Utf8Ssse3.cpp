// The block loops of Utf8Blocks.h packed with byte shuffles. This file alone is compiled
// for SSSE3; Utf8.cpp calls it only on CPUs that have it.
#include <tmmintrin.h>

#include "common/Utf8Blocks.h"

namespace kavex::cli {
namespace {

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
