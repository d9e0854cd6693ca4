// The UTF-8 decoding loop of Utf8Blocks.h on 32 bytes at a time. This file alone is
// compiled for AVX2; Utf8.cpp calls it only on CPUs that have it. The end of the input,
// shorter than a block, goes through the SSSE3 loop.
#include <immintrin.h>

#include "common/Utf8Blocks.h"

namespace kavex::cli {
namespace {

// Bits 0 .. count-1, for count in [0, 32].
inline unsigned LowBits32(int count) { return count >= 32 ? ~0u : (1u << count) - 1; }

// Stores the kept 16-bit lanes of `units` (lanes 0-7 with the low byte of `keep`, 8-15 with
// the next) in order at `out`; returns how many.
inline int PackUnits(__m256i units, unsigned keep, char16_t* out) {
    const unsigned lowKeep = keep & 0xFF;
    const unsigned highKeep = (keep >> 8) & 0xFF;
    const __m256i shuffle = _mm256_inserti128_si256(
        _mm256_castsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(kKeptUnits.entries[lowKeep]))),
        _mm_load_si128(reinterpret_cast<const __m128i*>(kKeptUnits.entries[highKeep])), 1);
    const __m256i packed = _mm256_shuffle_epi8(units, shuffle);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    const int lowCount = kBitCounts.of[lowKeep];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + lowCount),
                     _mm256_extracti128_si256(packed, 1));
    return lowCount + kBitCounts.of[highKeep];
}

// The unit of each of 16 positions as if a character of one or two bytes started there.
inline __m256i PairUnits(__m128i firstBytes, __m128i secondBytes) {
    const __m256i first = _mm256_cvtepu8_epi16(firstBytes);
    const __m256i second = _mm256_cvtepu8_epi16(secondBytes);
    const __m256i pair =
        _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(first, _mm256_set1_epi16(0x1F)), 6),
                        _mm256_and_si256(second, _mm256_set1_epi16(0x3F)));
    const __m256i ascii = _mm256_cmpgt_epi16(_mm256_set1_epi16(0x80), first);
    return _mm256_blendv_epi8(pair, first, ascii);
}

}  // namespace

Converted ConvertUtf8ToUtf16Avx2(const unsigned char* in, std::size_t size, char16_t* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    const char* error = nullptr;
    // The bytes after a block are read for its last position: one more than the block.
    while (size - i > 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const unsigned high = static_cast<unsigned>(_mm256_movemask_epi8(block));
        if (high == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o),
                                _mm256_cvtepu8_epi16(_mm256_castsi256_si128(block)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 16),
                                _mm256_cvtepu8_epi16(_mm256_extracti128_si256(block, 1)));
            i += 32;
            o += 32;
            continue;
        }
        // Signed compares, as in Utf8Blocks.h.
        const unsigned continuation = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0xC0)), block)));
        const unsigned lead = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpgt_epi8(block, _mm256_set1_epi8(static_cast<char>(0xC1))),
                             _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0xE0)), block))));
        const unsigned other = high & ~continuation & ~lead;
        const int prefix = other == 0 ? 32 : LowestBit(other);
        const unsigned inPrefix = LowBits32(prefix);
        const unsigned leads = lead & inPrefix;
        const int taken = prefix > 0 && ((leads >> (prefix - 1)) & 1) ? prefix - 1 : prefix;
        if (taken > 0 && (continuation & inPrefix) == ((leads << 1) & inPrefix)) {
            const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 1));
            const unsigned keep = ~continuation & LowBits32(taken);
            o += static_cast<std::size_t>(
                PackUnits(PairUnits(_mm256_castsi256_si128(block), _mm256_castsi256_si128(next)),
                          keep, out + o));
            o += static_cast<std::size_t>(PackUnits(
                PairUnits(_mm256_extracti128_si256(block, 1), _mm256_extracti128_si256(next, 1)),
                keep >> 16, out + o));
            i += static_cast<std::size_t>(taken);
            if (taken == prefix && prefix < 32 &&
                !DecodeUtf8Character(in, size, i, out, o, error)) {
                return Converted{i, o, error};
            }
            continue;
        }
        if (!DecodeUtf8Stretch(in, size, i, out, o, error)) return Converted{i, o, error};
    }
    const Converted rest = ConvertUtf8ToUtf16Ssse3(in + i, size - i, out + o);
    return Converted{i + rest.read, o + rest.written, rest.error};
}

}  // namespace kavex::cli
