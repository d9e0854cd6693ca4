// Text utilities: the byte formats of the exported Normalize, and trimming for the
// configuration reader. Units are handled one at a time: nothing pairs surrogates,
// validates text or treats a byte-order mark specially.
#ifndef KAVEX_INTERFACE_TEXTUTILS_H
#define KAVEX_INTERFACE_TEXTUTILS_H

#include <cstddef>
#include <string>

#include "engine/Platform.h"

namespace kavex {

// Units read low byte first until `length` bytes or a zero byte at an even offset
// (only that byte is tested). A lone final byte is dropped; nothing past `length` is read.
std::u16string BytesToUnicode(const unsigned char* bytes, int length);

// Units read until `length` bytes or a whole zero unit (both bytes zero), so units with a
// zero low byte such as U+0600 survive. A lone final byte is dropped.
std::u16string BytesToUnicodeUntilZeroUnit(const unsigned char* bytes, int length);

// The number of units BytesToUnicode and BytesToUnicodeUntilZeroUnit would read, without
// building the text; with SSE2, whole aligned blocks at a time (the bytes of the block
// past the end are read, never used; an aligned block cannot cross into another page).
std::size_t CountUnits(const unsigned char* bytes, int length, CpuLevel cpu = CpuLevel::kSse2);
std::size_t CountUnitsUntilZeroUnit(const unsigned char* bytes, int length,
                                    CpuLevel cpu = CpuLevel::kSse2);

// Writes each unit low byte first, then one zero byte; returns 2n + 1. The caller
// provides the room.
int UnicodeToBytes(std::u16string text, unsigned char* out);

bool IsWhitespace(char16_t value);
// Trims tab, LF, CR and space from both ends, in place, and returns a copy.
std::string Trim(std::string& s);
std::u16string Trim(std::u16string& s);

std::u16string AsciiToUnicode(std::string text);
std::string UnicodeToAscii(std::u16string text);
int UnicodeToInt(std::u16string text);
std::u16string RemoveSpacesAndJoiners(std::u16string text);
std::u16string RemoveDiacritics(std::u16string text);
int EditDistance(std::u16string first, std::u16string second);

}  // namespace kavex

#endif  // KAVEX_INTERFACE_TEXTUTILS_H
