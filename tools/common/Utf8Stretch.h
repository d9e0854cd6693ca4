// The character-by-character steps of the buffer conversions, shared by the scalar path
// and the block loops of Utf8Blocks.h. Internal to kavex_tools_common.
#ifndef KAVEX_TOOLS_COMMON_UTF8STRETCH_H
#define KAVEX_TOOLS_COMMON_UTF8STRETCH_H

#include <cstddef>

namespace kavex::cli {

// Decodes from in[i] to the end of the next 16 bytes, or past the first character longer
// than two bytes if that comes first, advancing `i` and `o`. False when the bytes at `i`
// are invalid (`error` says why) or an unfinished character ends the input (no error).
bool DecodeUtf8Stretch(const unsigned char* in, std::size_t size, std::size_t& i, char16_t* out,
                       std::size_t& o, const char*& error);

// Decodes the one character at in[i]; false as DecodeUtf8Stretch.
bool DecodeUtf8Character(const unsigned char* in, std::size_t size, std::size_t& i, char16_t* out,
                         std::size_t& o, const char*& error);

// Encodes from in[i] to the end of the next 8 units, or past the first unit of U+0800 or
// above if that comes first. False at a lone surrogate (`i` is its index).
bool EncodeUtf8Stretch(const char16_t* in, std::size_t count, std::size_t& i, unsigned char* out,
                       std::size_t& o);

#ifdef KAVEX_UTF8_SSSE3
// The block loops built for SSSE3 (Utf8Ssse3.cpp), for CPUs that have it.
struct Converted;
Converted ConvertUtf8ToUtf16Ssse3(const unsigned char* in, std::size_t size, char16_t* out);
Converted ConvertUtf16ToUtf8Ssse3(const char16_t* in, std::size_t count, unsigned char* out);
// The decoding loop built for AVX2 (Utf8Avx2.cpp); encoding takes the SSSE3 loop there.
Converted ConvertUtf8ToUtf16Avx2(const unsigned char* in, std::size_t size, char16_t* out);
#endif

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_COMMON_UTF8STRETCH_H
