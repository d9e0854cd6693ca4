// Random buffers, lengths, modes and capacities through an initialized Normalization with
// the shipped rules (a small built-in set when rules/ is not there).
//
// Input: a mode selector, a length selector, a capacity selector and one extra byte, then
// the input buffer. Every call is checked for its result and for never writing past the
// capacity it was given; the input buffer is exactly as long as the fuzzer's bytes, so
// AddressSanitizer catches any read past it.
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "FuzzSupport.h"
#include "kavex/Normalization.h"

namespace {

using kavex::fuzz::Check;
using kavex::fuzz::GuardedBuffer;

Normalization* shared = nullptr;

std::string Utf16le(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

void WriteRules(const std::string& name,
                const std::vector<std::pair<std::u16string, std::u16string>>& rules) {
    std::string bytes = "\xFF\xFE";
    for (const auto& rule : rules) bytes += Utf16le(rule.first + u":" + rule.second + u"\r\n");
    kavex::fuzz::ScratchDir::Write(name, reinterpret_cast<const uint8_t*>(bytes.data()),
                                   bytes.size());
}

// Composition, decomposition and a few long compatibility expansions, so results both
// shrink and grow against the input.
void WriteFallbackRules() {
    WriteRules("nfc.txt", {{u"\u0627\u0653", u"\u0622"},
                           {u"\u0627\u0654", u"\u0623"},
                           {u"\u0648\u0654", u"\u0624"},
                           {u"\u064A\u0654", u"\u0626"},
                           {u"\u06D5\u0654", u"\u06C0"}});
    WriteRules("nfd.txt", {{u"\u0622", u"\u0627\u0653"},
                           {u"\u0623", u"\u0627\u0654"},
                           {u"\u0624", u"\u0648\u0654"},
                           {u"\u0626", u"\u064A\u0654"},
                           {u"\u06C0", u"\u06D5\u0654"}});
    WriteRules("nfkd.txt",
               {{u"\u0622", u"\u0627\u0653"},
                {u"\uFEFB", u"\u0644\u0627"},
                {u"\uFDF2", u"\u0627\u0644\u0644\u0647"},
                {u"\uFDFA",
                 u"\u0635\u0644\u0649 \u0627\u0644\u0644\u0647 \u0639\u0644\u064A\u0647 "
                 u"\u0648\u0633\u0644\u0645"},
                {u"\u0640", u""}});
    const std::string config =
        "NFCfilepath=nfc.txt\r\nNFDfilepath=nfd.txt\r\nNFKDfilepath=nfkd.txt\r\n";
    kavex::fuzz::ScratchDir::Write("config.ini", reinterpret_cast<const uint8_t*>(config.data()),
                                   config.size());
}

bool InitializeIn(const std::string& folder) {
    if (chdir(folder.c_str()) != 0) return false;
    return shared->Initialize();
}

// Values outside the enumeration's range are only defined when it has int as its fixed
// underlying type; otherwise 3 is the one unknown mode a caller can form.
constexpr bool kIntWideModes = std::is_signed_v<std::underlying_type_t<Normalization::NormMode>>;

Normalization::NormMode ModeFrom(uint8_t selector) {
    static const int kModes[] = {0, 1, 2, 0, 1, 2, 3, -1, INT_MIN, INT_MAX};
    const int mode = kModes[selector % 10];
    return static_cast<Normalization::NormMode>(kIntWideModes || (mode >= 0 && mode <= 3) ? mode
                                                                                          : 3);
}

bool ValidMode(int mode) { return mode >= 0 && mode <= 2; }

// Offset of the first zero byte at an even offset, or `size`.
std::size_t FirstEvenZeroByte(const uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 2) {
        if (data[i] == 0) return i;
    }
    return size;
}

// Offset of the first whole zero unit, or `size`.
std::size_t FirstZeroUnit(const uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        if (data[i] == 0 && data[i + 1] == 0) return i;
    }
    return size;
}

// The sized form, checked: the answer for `capacity` follows from the size query.
int CheckedSized(const unsigned char* input, int length, Normalization::NormMode mode, int capacity,
                 bool nullOutput) {
    const int query = shared->Normalize(input, length, mode, nullptr, 0);
    if (!ValidMode(mode)) {
        Check(query == 0, "unknown mode answers 0");
    } else {
        Check(query < 0 && (-query) % 2 == 1, "size query answers -(2n + 1)");
    }

    if (nullOutput) {
        const int result = shared->Normalize(input, length, mode, nullptr, capacity);
        Check(result == (capacity > 0 ? 0 : query), "null output");
        return result;
    }
    GuardedBuffer out(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
    const int result = shared->Normalize(input, length, mode, out.Data(), capacity);
    Check(out.GuardIntact(), "sized form wrote past its capacity");
    if (query == 0) {
        Check(result == 0 && out.Untouched(), "unknown mode writes nothing");
    } else if (capacity < -query) {
        // What lies within the capacity is unspecified then; the guard checks past it.
        Check(result == query, "too small: -(2n + 1)");
    } else {
        Check(result == -query, "written 2n + 1");
        Check(out.Data()[result - 1] == 0, "terminating zero byte");
        for (int i = result; i < capacity; ++i) {
            Check(out.Data()[i] == GuardedBuffer::kFill, "nothing written after the terminator");
        }
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    shared = new Normalization();
    const std::string source = KAVEX_SOURCE_DIR;
    if (!InitializeIn(source + "/rules") && !InitializeIn(source)) {
        delete shared;
        shared = new Normalization();
        WriteFallbackRules();
        Check(InitializeIn(kavex::fuzz::ScratchDir::Path().string()), "fallback rules load");
    }
    Check(chdir(kavex::fuzz::ScratchDir::Path().c_str()) == 0, "into the scratch folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kavex::fuzz::Reader reader(data, size);
    const Normalization::NormMode mode = ModeFrom(reader.Byte());
    const uint8_t lengthSelector = reader.Byte();
    const uint8_t capacitySelector = reader.Byte();
    const uint8_t extra = reader.Byte();

    // The input buffer, exactly as long as the remaining bytes.
    const std::size_t inputSize = reader.Remaining();
    std::vector<unsigned char> input(reader.Here(), reader.Here() + inputSize);
    unsigned char* in = input.empty() ? nullptr : input.data();
    const int exact = static_cast<int>(inputSize);
    int length = exact;
    switch (lengthSelector % 6) {
        case 1:
            length = exact > 0 ? exact - 1 : 0;
            break;
        case 2:
            length = 0;
            break;
        case 3:
            length = -1;
            break;
        case 4:
            length = INT_MIN;
            break;
        case 5:
            length = exact / 2;
            break;
        default:
            break;
    }

    // Sized form, with a capacity around the size it needs.
    const int query = shared->Normalize(in, length, mode, nullptr, 0);
    const int needed = query < 0 ? -query : 1;
    int capacity = needed;
    bool nullOutput = false;
    switch (capacitySelector % 9) {
        case 1:
            capacity = needed - 1;
            break;
        case 2:
            capacity = 0;
            break;
        case 3:
            capacity = 1;
            break;
        case 4:
            capacity = needed + extra;
            break;
        case 5:
            capacity = needed > extra ? needed - extra : 0;
            break;
        case 6:
            capacity = 0;
            nullOutput = true;
            break;
        case 7:
            capacity = 1 + extra;
            nullOutput = true;
            break;
        case 8:
            capacity = -1 - extra;
            break;
        default:
            break;
    }
    CheckedSized(in, length, mode, capacity, nullOutput);

    // A null input with a positive length is refused.
    if (length > 0) {
        unsigned char out[4] = {0xA5, 0xA5, 0xA5, 0xA5};
        Check(shared->Normalize(nullptr, length, mode, out, 4) == 0, "null input, sized form");
        Check(shared->Normalize(nullptr, length, mode, out) == 0, "null input");
        Check(out[0] == 0xA5 && out[3] == 0xA5, "null input writes nothing");
    }

    // Reading stops at a zero unit: INT_MAX as length reads no further than the bytes.
    const std::size_t zeroUnit = FirstZeroUnit(input.data(), inputSize);
    if (zeroUnit < inputSize) {
        CheckedSized(in, INT_MAX, mode, needed + 2 * extra, false);
        Check(shared->Normalize(in, INT_MAX, mode, nullptr, 0) ==
                  shared->Normalize(in, static_cast<int>(zeroUnit), mode, nullptr, 0),
              "INT_MAX stops at the zero unit");
    }

    // The four-argument form ends the text at a zero byte at an even offset; its room is
    // what the sized form needs for that same text.
    const std::size_t zeroByte = FirstEvenZeroByte(input.data(), inputSize);
    const int zeroAt = static_cast<int>(zeroByte);
    for (int trial = 0; trial < (zeroByte < inputSize ? 2 : 1); ++trial) {
        const int fourLength = trial == 0 ? length : INT_MAX;
        const int effective = fourLength > zeroAt ? zeroAt : fourLength;
        const int room = shared->Normalize(in, effective, mode, nullptr, 0);
        GuardedBuffer out(room < 0 ? static_cast<std::size_t>(-room) : 0);
        const int result = shared->Normalize(in, fourLength, mode, out.Data());
        Check(out.GuardIntact(), "four-argument form wrote past the text it was told of");
        if (room == 0) {
            Check(result == 0 && out.Untouched(), "unknown mode, four-argument form");
        } else {
            Check(result == -room, "four-argument form writes 2n + 1");
            GuardedBuffer sized(static_cast<std::size_t>(-room));
            Check(shared->Normalize(in, effective, mode, sized.Data(), -room) == result,
                  "both forms agree");
            Check(std::memcmp(sized.Data(), out.Data(), static_cast<std::size_t>(result)) == 0,
                  "both forms write the same bytes");
        }
    }
    return 0;
}
