// Strict UTF-8 for the kavex tools: the library works on UTF-16 units, the tools read and
// write UTF-8, and a byte sequence that is not well-formed UTF-8 must be reported rather
// than guessed at, since guessing would silently change a corpus.
//
// Two levels: one character at a time (DecodeUtf8, AppendUtf8), and whole buffers
// (ConvertUtf8ToUtf16, ConvertUtf16ToUtf8), which take ASCII and two-byte characters by
// blocks with SIMD instructions where the CPU has them and give the same results and the
// same errors as the character functions.
#ifndef KAVEX_TOOLS_COMMON_UTF8_H
#define KAVEX_TOOLS_COMMON_UTF8_H

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
// error: the caller supplies more bytes, or reports "truncated sequence" at the end of the
// input. Rejects overlong forms, encoded surrogates, values beyond U+10FFFF, stray
// continuation bytes and the bytes C0, C1, F5..FF.
Utf8Decoded DecodeUtf8(const unsigned char* begin, const unsigned char* end);

// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
void AppendUtf8(char32_t codePoint, std::string& out);

// Appends UTF-16 units as UTF-8, pairing surrogates. Returns the index of the first lone
// surrogate, which UTF-8 cannot carry (nothing is appended for it or after it), or
// `count` when every unit was converted.
std::size_t AppendUtf16AsUtf8(const char16_t* units, std::size_t count, std::string& out);

struct Converted {
    std::size_t read = 0;     // input taken: bytes, or units
    std::size_t written = 0;  // output given: units, or bytes
    // ConvertUtf8ToUtf16 only: why the bytes at `read` are invalid; null when all was
    // converted or the input ends inside a character that is valid so far.
    const char* error = nullptr;
};

// Converts UTF-8 to UTF-16 units at `out`, which has room for `size` units (never more are
// needed). Stops at the first invalid sequence (`error` says why; `read` is its offset) or
// before an unfinished character at the end (`read` < `size`, no error).
Converted ConvertUtf8ToUtf16(const unsigned char* in, std::size_t size, char16_t* out);

// Converts UTF-16 units to UTF-8 at `out`, which has room for 3 bytes per unit. Stops at
// the first lone surrogate (`read` is its index; `read` == `count` when there is none).
Converted ConvertUtf16ToUtf8(const char16_t* in, std::size_t count, unsigned char* out);

// The ways the buffer conversions can run; the two above take the best this CPU has.
// Named so that tests can compare them with each other.
enum class Utf8Kernel {
    Scalar,  // character by character, on any CPU
    Sse2,    // blocks, packed lane by lane (every x86-64 CPU)
    Ssse3,   // blocks, packed with byte shuffles
    Avx2,    // decoding by blocks of 32 bytes; encoding as Ssse3
};
bool Utf8KernelAvailable(Utf8Kernel kernel);
// The conversions above through `kernel`, which must be available.
Converted ConvertUtf8ToUtf16(const unsigned char* in, std::size_t size, char16_t* out,
                             Utf8Kernel kernel);
Converted ConvertUtf16ToUtf8(const char16_t* in, std::size_t count, unsigned char* out,
                             Utf8Kernel kernel);

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_COMMON_UTF8_H
