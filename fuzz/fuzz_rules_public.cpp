// The exported class end to end with rules of the fuzzer's own: a small rule set and a text
// drawn from the input, the rules written to a rules file in a folder of their own with a
// config.ini naming it for all three forms, Initialize, then both Normalize forms with
// buffers of exactly the allowed size, against the naive oracle of the rules as the file
// holds them.
//
// Input: a rule count, per rule a length byte and the units of source and replacement,
// a form byte, then the text. Units come mostly from a small alphabet of Arabic letters,
// marks, U+06BE and units that end a text in one form or the other; colon and CR, which a
// rules file cannot hold inside a rule, are left out.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "kavex/Normalization.h"
#include "support/ByteFormsOracle.h"
#include "support/NaiveOracle.h"

namespace {

using kavex::fuzz::Check;

constexpr std::size_t kMaxRules = 12;
constexpr std::size_t kMaxText = 200;

char16_t NextUnit(kavex::fuzz::Reader& reader) {
    static const char16_t kAlphabet[] = {u'a',   u' ',   0x0628, 0x0627, 0x0653, 0x064E,
                                         0x0651, 0x0650, 0x06BE, 0x06E7, 0x0640, 0x000A,
                                         0x0000, 0x0600, 0xFEFB, 0xFFFF};
    constexpr uint8_t kCount = sizeof(kAlphabet) / sizeof(kAlphabet[0]);
    const uint8_t b = reader.Byte();
    char16_t unit = b < 0xF0 ? kAlphabet[b % kCount] : reader.Unit();
    if (unit == u':' || unit == u'\r') unit = u'a';
    return unit;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kavex::fuzz::Reader reader(data, size);
    kavex::testing::NaiveRules rules(reader.Byte() % (kMaxRules + 1));
    for (auto& rule : rules) {
        const uint8_t lengths = reader.Byte();
        for (unsigned i = 0; i < (lengths & 3) + 1u; ++i) rule.first.push_back(NextUnit(reader));
        for (unsigned i = 0; i < (lengths >> 2) % 10; ++i) rule.second.push_back(NextUnit(reader));
    }
    const Normalization::NormMode mode = static_cast<Normalization::NormMode>(reader.Byte() % 3);
    std::u16string text;
    while (!reader.Empty() && text.size() < kMaxText) text.push_back(NextUnit(reader));

    std::string file = "\xFF\xFE";
    for (const auto& rule : rules) {
        file += kavex::testing::Utf16leBytes(rule.first + u":" + rule.second + u"\r\n");
    }
    kavex::fuzz::ScratchDir::Write("rules.txt", reinterpret_cast<const uint8_t*>(file.data()),
                                   file.size());
    const std::string config =
        "NFDfilepath=rules.txt\nNFCfilepath=rules.txt\nNFKDfilepath=rules.txt\n";
    kavex::fuzz::ScratchDir::Write("config.ini", reinterpret_cast<const uint8_t*>(config.data()),
                                   config.size());
    Check(chdir(kavex::fuzz::ScratchDir::Path().c_str()) == 0, "scratch folder entered");
    Normalization norm;
    Check(norm.Initialize(), "the rules load");

    const kavex::testing::ByteForms forms{
        [&](const unsigned char* in, int length, unsigned char* out, int capacity) {
            return norm.Normalize(in, length, mode, out, capacity);
        },
        [&](unsigned char* in, int length, unsigned char* out) {
            return norm.Normalize(in, length, mode, out);
        }};
    const std::string failure =
        kavex::testing::CheckByteForms(forms, text, kavex::testing::ExpectedOf(rules, text), {});
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        kavex::fuzz::Fail("Normalize differs from the oracle");
    }
    return 0;
}
