// The C interface's UTF-8 entry points on any bytes, with the shipped rules.
//
// Input: a form selector, a capacity selector, then the text. Invalid UTF-8 must be refused
// with the offset a character-by-character decoder finds; valid text must give, in UTF-8,
// what the UTF-16 entry point gives, through a size query and then buffers of exactly the
// size, one byte too small, no room and more room, never written past their capacity. The
// text lies in a buffer of exactly its size, so AddressSanitizer catches a read past it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "common/Utf8.h"
#include "kavex/kavex.h"

namespace {

using kavex::fuzz::Check;
using kavex::fuzz::GuardedBuffer;

kavex_rules* Rules() {
    static kavex_rules* rules = [] {
        kavex_rules* opened = nullptr;
        char message[512];
        if (kavex_open(KAVEX_SOURCE_DIR "/rules", &opened, message, sizeof message) != KAVEX_OK) {
            std::fprintf(stderr, "%s\n", message);
            kavex::fuzz::Fail("the shipped rules open");
        }
        return opened;
    }();
    return rules;
}

// The reference: one character at a time. False with the offset of the first invalid
// sequence (or of a sequence cut by the end).
bool DecodeByCharacter(const unsigned char* text, std::size_t size, std::u16string& units,
                       std::size_t& offset) {
    for (std::size_t i = 0; i < size;) {
        const kavex::cli::Utf8Decoded decoded = kavex::cli::DecodeUtf8(text + i, text + size);
        if (decoded.length == 0) {
            offset = i;
            return false;
        }
        const char32_t c = decoded.codePoint;
        if (c >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
        i += decoded.length;
    }
    return true;
}

void CheckUtf8(kavex_form form, const char* text, std::size_t size, const std::string& expected,
               std::size_t extra) {
    std::size_t needed = 7;
    kavex_status status = kavex_normalize_utf8(Rules(), form, text, size, nullptr, 0, &needed);
    Check(needed == expected.size(), "the size query gives the result's size");
    Check(status == (expected.empty() ? KAVEX_OK : KAVEX_BUFFER_TOO_SMALL), "size query status");
    const std::size_t capacities[] = {expected.size(), expected.size() + extra,
                                      expected.empty() ? 0 : expected.size() - 1, 0};
    for (std::size_t capacity : capacities) {
        GuardedBuffer out(capacity);
        needed = 7;
        status = kavex_normalize_utf8(Rules(), form, text, size,
                                      reinterpret_cast<char*>(out.Data()), capacity, &needed);
        Check(out.GuardIntact(), "written past the capacity");
        Check(needed == expected.size(), "needed is the result's size");
        if (capacity >= expected.size()) {
            Check(status == KAVEX_OK, "a buffer with room succeeds");
            Check(std::memcmp(out.Data(), expected.data(), expected.size()) == 0,
                  "UTF-8 result differs from the UTF-16 one");
            for (std::size_t i = expected.size(); i < capacity; ++i) {
                Check(out.Data()[i] == GuardedBuffer::kFill, "written after the result");
            }
        } else {
            Check(status == KAVEX_BUFFER_TOO_SMALL, "a buffer too small is reported");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kavex::fuzz::Reader reader(data, size);
    const kavex_form form = static_cast<kavex_form>(reader.Byte() % 3);
    const std::size_t extra = reader.Byte() % 8;
    const std::size_t length = reader.Remaining();
    // Exactly as long as the text: no terminator, nothing after it.
    std::unique_ptr<char[]> text(new char[length > 0 ? length : 1]);
    if (length > 0) std::memcpy(text.get(), reader.Here(), length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.get());

    std::u16string units;
    std::size_t invalidAt = 0;
    const bool valid = DecodeByCharacter(bytes, length, units, invalidAt);
    int normalized = 7;
    std::size_t offset = 7;
    const kavex_status checked =
        kavex_is_normalized_utf8(Rules(), form, text.get(), length, &normalized, &offset);
    if (!valid) {
        std::size_t needed = 7;
        GuardedBuffer out(4 * length + extra);
        const kavex_status status =
            kavex_normalize_utf8(Rules(), form, text.get(), length,
                                 reinterpret_cast<char*>(out.Data()), 4 * length + extra, &needed);
        Check(status == KAVEX_INVALID_UTF8 && needed == invalidAt,
              "invalid UTF-8 refused at the offset the character decoder finds");
        Check(checked == KAVEX_INVALID_UTF8 && offset == invalidAt,
              "is_normalized refuses it at the same offset");
        Check(out.Untouched(), "nothing written for invalid input");
        return 0;
    }

    // The UTF-16 entry point on the decoded text, as the reference result.
    std::size_t needed = 0;
    kavex_normalize_utf16(Rules(), form, reinterpret_cast<const uint16_t*>(units.data()),
                          units.size(), nullptr, 0, &needed);
    std::vector<uint16_t> result(needed + 1);
    Check(kavex_normalize_utf16(Rules(), form, reinterpret_cast<const uint16_t*>(units.data()),
                                units.size(), result.data(), needed, &needed) == KAVEX_OK,
          "UTF-16 into a buffer of the size asked for");
    std::string expected;
    const std::size_t lone = kavex::cli::AppendUtf16AsUtf8(
        reinterpret_cast<const char16_t*>(result.data()), needed, expected);
    Check(checked == KAVEX_OK && offset == 0, "is_normalized on valid UTF-8");
    Check(normalized ==
              (needed == units.size() && std::memcmp(result.data(), units.data(), 2 * needed) == 0),
          "is_normalized agrees with the result");
    if (lone < needed) {
        Check(kavex_normalize_utf8(Rules(), form, text.get(), length, nullptr, 0, nullptr) ==
                  KAVEX_UNPAIRED_SURROGATE,
              "a lone surrogate in the result is reported");
        return 0;
    }
    CheckUtf8(form, text.get(), length, expected, extra);
    return 0;
}
