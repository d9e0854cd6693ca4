#include "common/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/Utf8Stretch.h"
#include "engine/Platform.h"

#if KAVEX_SSE2
#include "common/Utf8Blocks.h"
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

bool DecodeUtf8Character(const unsigned char* in, std::size_t size, std::size_t& i, char16_t* out,
                         std::size_t& o, const char*& error) {
    const Utf8Decoded decoded = DecodeUtf8(in + i, in + size);
    if (decoded.length == 0) {
        error = decoded.error;
        return false;
    }
    if (decoded.codePoint < 0x10000) {
        out[o++] = static_cast<char16_t>(decoded.codePoint);
    } else {
        const char32_t offset = decoded.codePoint - 0x10000;
        out[o++] = static_cast<char16_t>(0xD800 + (offset >> 10));
        out[o++] = static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
    }
    i += decoded.length;
    return true;
}

bool DecodeUtf8Stretch(const unsigned char* in, std::size_t size, std::size_t& i, char16_t* out,
                       std::size_t& o, const char*& error) {
    // ASCII and two bytes (C2..DF and a continuation byte) are told apart without a
    // branch, as they alternate at random in Arabic-script text.
    const std::size_t stop = std::min(size, i + 16);
    while (i < stop) {
        const unsigned lead = in[i];
        const unsigned next = i + 1 < size ? in[i + 1] : 0;
        const bool ascii = lead < 0x80;
        const bool pair = (lead - 0xC2u < 0x1Eu) & IsContinuation(static_cast<unsigned char>(next));
        if (ascii | pair) {
            out[o++] = static_cast<char16_t>(ascii ? lead : ((lead & 0x1F) << 6) | (next & 0x3F));
            i += ascii ? 1 : 2;
            continue;
        }
        // Past the character that kept the block from the block paths.
        return DecodeUtf8Character(in, size, i, out, o, error);
    }
    return true;
}

bool EncodeUtf8Stretch(const char16_t* in, std::size_t count, std::size_t& i, unsigned char* out,
                       std::size_t& o) {
    // One or two bytes without a branch between them; the second byte is written either
    // way and overwritten when not needed (the output has room for three bytes per unit).
    const std::size_t stop = std::min(count, i + 8);
    while (i < stop) {
        const char32_t unit = in[i];
        if (unit < 0x800) {
            const bool two = unit >= 0x80;
            out[o] = static_cast<unsigned char>(two ? 0xC0 | (unit >> 6) : unit);
            out[o + 1] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
            o += two ? 2 : 1;
            ++i;
            continue;
        }
        if (unit < 0xD800 || unit > 0xDFFF) {
            o += EncodeMultibyte(unit, out + o);
            ++i;
        } else if (unit <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            o += EncodeMultibyte(0x10000 + ((unit - 0xD800) << 10) + (in[i + 1] - 0xDC00), out + o);
            i += 2;
        } else {
            return false;
        }
        return true;  // past the unit that kept the block from the block paths
    }
    return true;
}

namespace {

Converted DecodeScalar(const unsigned char* in, std::size_t size, char16_t* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    const char* error = nullptr;
    while (i < size) {
        if (!DecodeUtf8Stretch(in, size, i, out, o, error)) return Converted{i, o, error};
    }
    return Converted{i, o, nullptr};
}

Converted EncodeScalar(const char16_t* in, std::size_t count, unsigned char* out) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < count) {
        if (!EncodeUtf8Stretch(in, count, i, out, o)) break;
    }
    return Converted{i, o, nullptr};
}

#ifdef KAVEX_UTF8_SSE2
// SSE2 has no byte shuffle: the lanes are stored one by one, each over the last one not
// kept.
struct PackSse2 {
    static int Units(__m128i low, __m128i high, unsigned keep, char16_t* out) {
        alignas(16) char16_t units[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(units), low);
        _mm_store_si128(reinterpret_cast<__m128i*>(units + 8), high);
        int o = 0;
        for (int k = 0; k < 16; ++k) {
            out[o] = units[k];
            o += static_cast<int>((keep >> k) & 1);
        }
        return o;
    }
    static void Bytes(__m128i pairs, unsigned two, unsigned char* out) {
        alignas(16) std::uint16_t units[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(units), pairs);
        int o = 0;
        for (int k = 0; k < 8; ++k) {
            std::memcpy(out + o, &units[k], 2);
            o += 1 + static_cast<int>((two >> k) & 1);
        }
    }
};
#endif

Utf8Kernel FindBestKernel() {
#ifdef KAVEX_UTF8_SSSE3
    // Every CPU with AVX2 has SSSE3; one with SSSE3 alone takes the SSE2 loops.
    if (BestCpuLevel() >= CpuLevel::kAvx2) return Utf8Kernel::Avx2;
#endif
#ifdef KAVEX_UTF8_SSE2
    return Utf8Kernel::Sse2;
#else
    return Utf8Kernel::Scalar;
#endif
}

Utf8Kernel BestKernel() {
    static const Utf8Kernel best = FindBestKernel();
    return best;
}

}  // namespace

bool Utf8KernelAvailable(Utf8Kernel kernel) {
    return kernel == Utf8Kernel::Scalar ||
#ifdef KAVEX_UTF8_SSE2
           kernel == Utf8Kernel::Sse2 ||
#endif
           kernel == BestKernel() ||
           (kernel == Utf8Kernel::Ssse3 && BestKernel() == Utf8Kernel::Avx2);
}

Converted ConvertUtf8ToUtf16(const unsigned char* in, std::size_t size, char16_t* out,
                             Utf8Kernel kernel) {
    switch (kernel) {
#ifdef KAVEX_UTF8_SSSE3
        case Utf8Kernel::Avx2:
            return ConvertUtf8ToUtf16Avx2(in, size, out);
        case Utf8Kernel::Ssse3:
            return ConvertUtf8ToUtf16Ssse3(in, size, out);
#endif
#ifdef KAVEX_UTF8_SSE2
        case Utf8Kernel::Sse2:
            return DecodeBlocks<PackSse2>(in, size, out);
#endif
        default:
            return DecodeScalar(in, size, out);
    }
}

Converted ConvertUtf16ToUtf8(const char16_t* in, std::size_t count, unsigned char* out,
                             Utf8Kernel kernel) {
    switch (kernel) {
#ifdef KAVEX_UTF8_SSSE3
        case Utf8Kernel::Avx2:
        case Utf8Kernel::Ssse3:
            return ConvertUtf16ToUtf8Ssse3(in, count, out);
#endif
#ifdef KAVEX_UTF8_SSE2
        case Utf8Kernel::Sse2:
            return EncodeBlocks<PackSse2>(in, count, out);
#endif
        default:
            return EncodeScalar(in, count, out);
    }
}

Converted ConvertUtf8ToUtf16(const unsigned char* in, std::size_t size, char16_t* out) {
    return ConvertUtf8ToUtf16(in, size, out, BestKernel());
}

Converted ConvertUtf16ToUtf8(const char16_t* in, std::size_t count, unsigned char* out) {
    return ConvertUtf16ToUtf8(in, count, out, BestKernel());
}

}  // namespace kavex::cli
