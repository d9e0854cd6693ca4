#include "interface/TextUtils.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/Platform.h"

#if KAVEX_SSE2
#include <emmintrin.h>
#endif

namespace kavex {

namespace {

char16_t UnitAt(const unsigned char* bytes, std::size_t offset) {
    return static_cast<char16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

template <typename String, typename Unit>
String TrimInPlace(String& s, Unit (*toUnit)(typename String::value_type)) {
    std::size_t first = 0;
    while (first < s.size() && IsWhitespace(toUnit(s[first]))) ++first;
    std::size_t end = s.size();
    while (end > first && IsWhitespace(toUnit(s[end - 1]))) --end;
    s = s.substr(first, end - first);
    return s;
}

// Bytes 0x80 to 0xFF are never whitespace, whatever the signedness of char.
char16_t NarrowUnit(char c) { return static_cast<unsigned char>(c); }
char16_t WideUnit(char16_t c) { return c; }

// Units read low byte first until `length` bytes or the first unit that ends the text:
// a zero low byte when `kLowByteEnds`, a whole zero unit otherwise. The length may be far
// larger than the buffer, so no unit past the one that ends the text may be read where it
// could lie on another page.
template <bool kLowByteEnds>
std::size_t UnitCountOneByOne(const unsigned char* bytes, std::size_t total) {
    const auto ends = [bytes](std::size_t i) {
        return kLowByteEnds ? bytes[2 * i] == 0 : (bytes[2 * i] | bytes[2 * i + 1]) == 0;
    };
    // Unrolled by hand: each unit is tested before the next is read, but the loop's own
    // overhead is paid once per four.
    std::size_t n = 0;
    for (; n + 4 <= total; n += 4) {
        if (ends(n)) return n;
        if (ends(n + 1)) return n + 1;
        if (ends(n + 2)) return n + 2;
        if (ends(n + 3)) return n + 3;
    }
    while (n < total && !ends(n)) ++n;
    return n;
}

#if KAVEX_SSE2
// Whole aligned blocks of 64 bytes at once, as string functions do: an aligned block lies
// within one page, so reading all of it can fault no more than reading the unit that ends
// the text, which lies in it. The bytes of the block after that unit are read but never
// used; that is no access to another object the hardware could object to, but the
// address sanitizer would count it, so it does not watch this function.
template <bool kLowByteEnds>
KAVEX_NO_SANITIZE_ADDRESS std::size_t UnitCountByBlocks(const unsigned char* bytes,
                                                        std::size_t total) {
    constexpr std::size_t kBlock = 64;
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(bytes);
    // Units at odd addresses straddle the lanes; such buffers are rare, take them slowly.
    if ((address & 1) != 0) return UnitCountOneByOne<kLowByteEnds>(bytes, total);
    const std::size_t head = ((kBlock - (address & (kBlock - 1))) & (kBlock - 1)) / 2;
    if (head >= total) return UnitCountOneByOne<kLowByteEnds>(bytes, total);
    const std::size_t first = UnitCountOneByOne<kLowByteEnds>(bytes, head);
    if (first < head) return first;
    const __m128i zero = _mm_setzero_si128();
    std::size_t n = head;
    for (; n + kBlock / 2 <= total; n += kBlock / 2) {
        const __m128i* block = reinterpret_cast<const __m128i*>(bytes + 2 * n);
        __m128i hits[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i data = _mm_load_si128(block + k);
            hits[k] = kLowByteEnds ? _mm_cmpeq_epi8(data, zero) : _mm_cmpeq_epi16(data, zero);
        }
        const __m128i any =
            _mm_or_si128(_mm_or_si128(hits[0], hits[1]), _mm_or_si128(hits[2], hits[3]));
        // Low bytes are the even bytes of the block.
        const int mask = _mm_movemask_epi8(any) & (kLowByteEnds ? 0x5555 : 0xFFFF);
        if (mask != 0) return n + UnitCountOneByOne<kLowByteEnds>(bytes + 2 * n, kBlock / 2);
    }
    return n + UnitCountOneByOne<kLowByteEnds>(bytes + 2 * n, total - n);
}
#endif

template <bool kLowByteEnds>
std::size_t UnitCount(const unsigned char* bytes, int length, CpuLevel cpu) {
    if (bytes == nullptr || length < 2) return 0;
    const std::size_t total = static_cast<std::size_t>(length) / 2;
#if KAVEX_SSE2
    if (cpu >= CpuLevel::kSse2) return UnitCountByBlocks<kLowByteEnds>(bytes, total);
#else
    (void)cpu;
#endif
    return UnitCountOneByOne<kLowByteEnds>(bytes, total);
}

template <bool kLowByteEnds>
std::u16string BytesToUnits(const unsigned char* bytes, int length) {
    std::u16string text;
    const std::size_t n = UnitCount<kLowByteEnds>(bytes, length, CpuLevel::kSse2);
    if (n == 0) return text;
    text.resize(n);
    char16_t* units = &text[0];
    for (std::size_t i = 0; i < n; ++i) units[i] = UnitAt(bytes, 2 * i);
    return text;
}

}  // namespace

std::u16string BytesToUnicode(const unsigned char* bytes, int length) {
    // Only the low byte ends the text; a lone final byte would need a high byte from
    // beyond `length`, so it is dropped.
    return BytesToUnits<true>(bytes, length);
}

std::u16string BytesToUnicodeUntilZeroUnit(const unsigned char* bytes, int length) {
    return BytesToUnits<false>(bytes, length);
}

std::size_t CountUnits(const unsigned char* bytes, int length, CpuLevel cpu) {
    return UnitCount<true>(bytes, length, cpu);
}

std::size_t CountUnitsUntilZeroUnit(const unsigned char* bytes, int length, CpuLevel cpu) {
    return UnitCount<false>(bytes, length, cpu);
}

int UnicodeToBytes(std::u16string text, unsigned char* out) {
    const std::size_t n = text.size();
    const char16_t* units = text.data();
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
    out[2 * n] = 0;
    return static_cast<int>(2 * n + 1);
}

bool IsWhitespace(char16_t value) {
    return value == 0x09 || value == 0x0A || value == 0x0D || value == 0x20;
}

std::string Trim(std::string& s) { return TrimInPlace(s, NarrowUnit); }

std::u16string Trim(std::u16string& s) { return TrimInPlace(s, WideUnit); }

std::u16string AsciiToUnicode(std::string text) {
    std::u16string result;
    result.reserve(text.size());
    for (char c : text) result.push_back(static_cast<unsigned char>(c));
    return result;
}

std::string UnicodeToAscii(std::u16string text) {
    std::string result;
    result.reserve(text.size());
    for (char16_t unit : text) result.push_back(static_cast<char>(unit & 0xFF));
    return result;
}

int UnicodeToInt(std::u16string text) {
    // atoi's grammar, but out-of-range values saturate instead of being undefined.
    const std::string narrow = UnicodeToAscii(std::move(text));
    std::size_t i = 0;
    const auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < narrow.size() && isSpace(narrow[i])) ++i;
    bool negative = false;
    if (i < narrow.size() && (narrow[i] == '+' || narrow[i] == '-')) {
        negative = narrow[i] == '-';
        ++i;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; i < narrow.size() && narrow[i] >= '0' && narrow[i] <= '9'; ++i) {
        value = value * 10 + (narrow[i] - '0');
        if (value >= limit) {
            value = limit;
            break;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

std::u16string RemoveSpacesAndJoiners(std::u16string text) {
    std::u16string result;
    for (char16_t unit : text) {
        if (unit == 0x0020 || unit == 0x200C || unit == 0x200D || unit == 0x000D ||
            unit == 0x000A || unit == 0x0009) {
            continue;
        }
        result.push_back(unit);
    }
    return result;
}

std::u16string RemoveDiacritics(std::u16string text) {
    std::u16string result;
    for (char16_t unit : text) {
        if (unit >= 0x064E && unit <= 0x0653) continue;  // fatha to maddah above
        result.push_back(unit);
    }
    return result;
}

int EditDistance(std::u16string first, std::u16string second) {
    // One row over the shorter string keeps memory at O(min(m, n)).
    if (first.size() < second.size()) std::swap(first, second);
    const std::size_t columns = second.size();
    std::vector<int> row(columns + 1);
    for (std::size_t j = 0; j <= columns; ++j) row[j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= first.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (std::size_t j = 1; j <= columns; ++j) {
            const int above = row[j];
            const int substitution = diagonal + (first[i - 1] == second[j - 1] ? 0 : 1);
            int best = std::min(above, row[j - 1]) + 1;
            if (substitution < best) best = substitution;
            row[j] = best;
            diagonal = above;
        }
    }
    return row[columns];
}

}  // namespace kavex
