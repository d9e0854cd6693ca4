// Strict UTF-8 for kavex-normalize: the library works on UTF-16 units, the tool reads and
// writes UTF-8, and a byte sequence that is not well-formed UTF-8 must be reported rather
// than guessed at, since guessing would silently change a corpus.
#ifndef KAVEX_TOOLS_UTF8_H
#define KAVEX_TOOLS_UTF8_H

#include <cstddef>
#include <string>

namespace kavex::cli {

struct Utf8Decoded {
    // Bytes taken by the character; 0 when it is invalid or when more bytes are needed.
    std::size_t length = 0;
    char32_t codePoint = 0;
    // Why the bytes are invalid; null when valid or merely incomplete.
    const char* error = nullptr;
};

// Decodes the character at the start of [begin, end), which must not be empty. When the
// bytes there are a valid but unfinished prefix of a character, returns length 0 and no
// error: the caller supplies more bytes, or reports "truncated" at the end of the input.
// Rejects overlong forms, encoded surrogates, values beyond U+10FFFF, stray continuation
// bytes and the bytes C0, C1, F5..FF.
Utf8Decoded DecodeUtf8(const unsigned char* begin, const unsigned char* end);

// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
void AppendUtf8(char32_t codePoint, std::string& out);

// Appends UTF-16 units as UTF-8, pairing surrogates. Returns the index of the first lone
// surrogate, which UTF-8 cannot carry (nothing is appended for it or after it), or
// `count` when every unit was converted.
std::size_t AppendUtf16AsUtf8(const char16_t* units, std::size_t count, std::string& out);

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_UTF8_H
