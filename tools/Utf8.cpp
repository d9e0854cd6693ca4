#include "Utf8.h"

namespace kavex::cli {

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

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
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::size_t AppendUtf16AsUtf8(const char16_t* units, std::size_t count, std::string& out) {
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t unit = units[i];
        if (unit < 0xD800 || unit > 0xDFFF) {
            AppendUtf8(unit, out);
        } else if (unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
                   units[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                           (static_cast<char32_t>(units[i + 1]) - 0xDC00),
                       out);
            ++i;
        } else {
            return i;
        }
    }
    return count;
}

}  // namespace kavex::cli
