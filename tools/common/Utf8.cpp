#include "common/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KAVEX_UTF8_SSE2 1
#endif

namespace kavex::cli {

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Encodes a scalar value that needs more than one byte; returns the bytes written.
std::size_t EncodeMultibyte(char32_t codePoint, unsigned char* out) {
    if (codePoint < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (codePoint >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (codePoint >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (codePoint >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
    return 4;
}

}  // namespace

Utf8Decoded DecodeUtf8(const unsigned char* begin, const unsigned char* end) {
    Utf8Decoded result;
    const unsigned char lead = *begin;
    if (lead < 0x80) {
        result.length = 1;
        result.codePoint = lead;
        return result;
    }
    std::size_t needed;
    char32_t value;
    // The allowed range of the second byte rules out overlong forms, surrogates and values
    // beyond U+10FFFF before the rest is read.
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (IsContinuation(lead)) {
        result.error = "unexpected continuation byte";
        return result;
    } else if (lead < 0xC2) {
        result.error = "overlong encoding";
        return result;
    } else if (lead < 0xE0) {
        needed = 2;
        value = lead & 0x1F;
    } else if (lead < 0xF0) {
        needed = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
    } else if (lead < 0xF5) {
        needed = 4;
        value = lead & 0x07;
        if (lead == 0xF0) secondLow = 0x90;
        if (lead == 0xF4) secondHigh = 0x8F;
    } else {
        result.error = "byte that never occurs in UTF-8";
        return result;
    }

    const std::size_t available = static_cast<std::size_t>(end - begin);
    for (std::size_t i = 1; i < needed; ++i) {
        if (i >= available) return result;  // a valid prefix so far: more bytes needed
        const unsigned char byte = begin[i];
        if (!IsContinuation(byte)) {
            result.error = "truncated sequence";
            return result;
        }
        if (i == 1 && (byte < secondLow || byte > secondHigh)) {
            if (lead == 0xED) {
                result.error = "encoded surrogate";
            } else if (lead == 0xF4) {
                result.error = "code point beyond U+10FFFF";
            } else {
                result.error = "overlong encoding";
            }
            return result;
        }
        value = (value << 6) | (byte & 0x3F);
    }
    result.length = needed;
    result.codePoint = value;
    return result;
}

void AppendUtf8(char32_t codePoint, std::string& out) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
        return;
    }
    unsigned char bytes[4];
    const std::size_t length = EncodeMultibyte(codePoint, bytes);
    out.append(reinterpret_cast<const char*>(bytes), length);
}

std::size_t AppendUtf16AsUtf8(const char16_t* units, std::size_t count, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + 3 * count);
    const Converted converted =
        ConvertUtf16ToUtf8(units, count, reinterpret_cast<unsigned char*>(&out[start]));
    out.resize(start + converted.written);
    return converted.read;
}

Converted ConvertUtf8ToUtf16(const unsigned char* in, std::size_t size, char16_t* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < size) {
#ifdef KAVEX_UTF8_SSE2
        if (size - i >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            const __m128i zero = _mm_setzero_si128();
            const int high = _mm_movemask_epi8(block);
            if (high == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o),
                                 _mm_unpacklo_epi8(block, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o + 8),
                                 _mm_unpackhi_epi8(block, zero));
                i += 16;
                o += 16;
                continue;
            }
            // ASCII and two-byte characters only, each lead byte (C2..DF) followed by a
            // continuation byte and every continuation byte after a lead: the unit of each
            // position is computed as if a character started there, and the units of the
            // positions that start one are kept.
            const int continuation =
                _mm_movemask_epi8(_mm_cmplt_epi8(block, _mm_set1_epi8(static_cast<char>(0xC0))));
            const int lead = _mm_movemask_epi8(
                _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(static_cast<char>(0xC1))),
                              _mm_cmplt_epi8(block, _mm_set1_epi8(static_cast<char>(0xE0)))));
            if ((continuation | lead) == high && continuation == ((lead << 1) & 0xFFFF)) {
                const __m128i next = _mm_srli_si128(block, 1);
                alignas(16) char16_t units[16];
                for (int half = 0; half < 2; ++half) {
                    const __m128i first =
                        half == 0 ? _mm_unpacklo_epi8(block, zero) : _mm_unpackhi_epi8(block, zero);
                    const __m128i second =
                        half == 0 ? _mm_unpacklo_epi8(next, zero) : _mm_unpackhi_epi8(next, zero);
                    const __m128i pair =
                        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(first, _mm_set1_epi16(0x1F)), 6),
                                     _mm_and_si128(second, _mm_set1_epi16(0x3F)));
                    const __m128i ascii = _mm_cmplt_epi16(first, _mm_set1_epi16(0x80));
                    const __m128i unit =
                        _mm_or_si128(_mm_and_si128(ascii, first), _mm_andnot_si128(ascii, pair));
                    _mm_store_si128(reinterpret_cast<__m128i*>(units + 8 * half), unit);
                }
                // A lead byte at the end waits for the next block, with its character.
                const int taken = (lead & 0x8000) != 0 ? 15 : 16;
                for (int k = 0; k < taken; ++k) {
                    out[o] = units[k];
                    o += ((continuation >> k) & 1) ^ 1;
                }
                i += static_cast<std::size_t>(taken);
                continue;
            }
        }
#endif
        // Character by character to the end of this stretch of 16 bytes, so that text with
        // few ASCII runs does not pay for a block test at every character. ASCII and two
        // bytes (C2..DF and a continuation byte: Arabic, Persian, Urdu letters and marks)
        // are told apart without a branch, as they alternate at random in such text.
        const std::size_t stop = std::min(size, i + 16);
        while (i < stop) {
            const unsigned lead = in[i];
            const unsigned next = i + 1 < size ? in[i + 1] : 0;
            const bool ascii = lead < 0x80;
            const bool pair =
                (lead - 0xC2u < 0x1Eu) & IsContinuation(static_cast<unsigned char>(next));
            if (ascii | pair) {
                out[o++] =
                    static_cast<char16_t>(ascii ? lead : ((lead & 0x1F) << 6) | (next & 0x3F));
                i += ascii ? 1 : 2;
                continue;
            }
            const Utf8Decoded decoded = DecodeUtf8(in + i, in + size);
            if (decoded.length == 0) return Converted{i, o, decoded.error};
            if (decoded.codePoint < 0x10000) {
                out[o++] = static_cast<char16_t>(decoded.codePoint);
            } else {
                const char32_t offset = decoded.codePoint - 0x10000;
                out[o++] = static_cast<char16_t>(0xD800 + (offset >> 10));
                out[o++] = static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
            }
            i += decoded.length;
            break;  // past the character that kept the block from the paths above
        }
    }
    return Converted{i, o, nullptr};
}

Converted ConvertUtf16ToUtf8(const char16_t* in, std::size_t count, unsigned char* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < count) {
#ifdef KAVEX_UTF8_SSE2
        if (count - i >= 8) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            const __m128i zero = _mm_setzero_si128();
            const __m128i ascii = _mm_cmpeq_epi16(
                _mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xFF80))), zero);
            const int asciiBytes = _mm_movemask_epi8(ascii);
            if (asciiBytes == 0xFFFF) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o),
                                 _mm_packus_epi16(block, block));
                i += 8;
                o += 8;
                continue;
            }
            const __m128i small = _mm_cmpeq_epi16(
                _mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xF800))), zero);
            if (_mm_movemask_epi8(small) == 0xFFFF) {
                // Below U+0800: one or two bytes per unit, both computed for every unit
                // (lead in the low byte), and each unit's own count of them kept.
                const __m128i leadByte =
                    _mm_or_si128(_mm_srli_epi16(block, 6), _mm_set1_epi16(0xC0));
                const __m128i trailByte = _mm_slli_epi16(
                    _mm_or_si128(_mm_and_si128(block, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)),
                    8);
                const __m128i two = _mm_or_si128(leadByte, trailByte);
                const __m128i bytes =
                    _mm_or_si128(_mm_and_si128(ascii, block), _mm_andnot_si128(ascii, two));
                alignas(16) std::uint16_t pairs[8];
                _mm_store_si128(reinterpret_cast<__m128i*>(pairs), bytes);
                for (int k = 0; k < 8; ++k) {
                    std::memcpy(out + o, &pairs[k], 2);
                    o += 2 - ((asciiBytes >> (2 * k)) & 1);
                }
                i += 8;
                continue;
            }
        }
#endif
        // One or two bytes without a branch between them, as in ConvertUtf8ToUtf16; the
        // second byte is written either way and overwritten when not needed (the output
        // has room for three bytes per unit).
        const std::size_t stop = std::min(count, i + 8);
        while (i < stop) {
            const char32_t unit = in[i];
            if (unit < 0x800) {
                const bool two = unit >= 0x80;
                out[o] = static_cast<unsigned char>(two ? 0xC0 | (unit >> 6) : unit);
                out[o + 1] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
                o += two ? 2 : 1;
                ++i;
            } else if (unit < 0xD800 || unit > 0xDFFF) {
                o += EncodeMultibyte(unit, out + o);
                ++i;
            } else if (unit <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 &&
                       in[i + 1] <= 0xDFFF) {
                o += EncodeMultibyte(0x10000 + ((unit - 0xD800) << 10) + (in[i + 1] - 0xDC00),
                                     out + o);
                i += 2;
            } else {
                return Converted{i, o, nullptr};
            }
        }
    }
    return Converted{i, o, nullptr};
}

}  // namespace kavex::cli
