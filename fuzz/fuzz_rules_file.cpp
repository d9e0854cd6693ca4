// Rules-file bytes loaded by a Normalizer, then text normalized with whatever loaded.
//
// Input: a 16-bit little-endian length L, then L bytes of the rules file (fewer when the
// input is shorter), then the text to normalize as UTF-16LE. When the file loads with few
// rules, the result is checked against the naive oracle over the parsed rules.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "engine/Normalizer.h"
#include "support/NaiveOracle.h"

namespace {

constexpr std::size_t kOracleMaxRules = 64;
constexpr std::size_t kOracleMaxText = 512;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kavex::fuzz::ScratchDir::Path();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using kavex::fuzz::Check;
    kavex::fuzz::Reader reader(data, size);
    std::size_t rulesSize = reader.Unit();
    if (rulesSize > reader.Remaining()) rulesSize = reader.Remaining();
    const std::string path = kavex::fuzz::ScratchDir::Write("rules.txt", reader.Here(), rulesSize);
    reader.Skip(rulesSize);
    std::u16string text;
    while (reader.Remaining() >= 2) text.push_back(reader.Unit());

    kavex::Normalizer normalizer;
    const bool loaded = normalizer.LoadRules(path);
    Check(loaded == normalizer.IsLoaded(), "LoadRules answers as IsLoaded");
    Check(normalizer.rules.size() <= rulesSize / 4, "at most one rule per two units");
    if (!loaded) {
        // Whatever a failed load left behind must still be safe to use.
        normalizer.Normalize(text);
        return 0;
    }
    // A loaded normalizer never reads again, whatever the path.
    Check(normalizer.LoadRules(std::string()), "second LoadRules is a no-op");

    const std::u16string result = normalizer.Normalize(text);
    const kavex::Normalizer copy(normalizer);
    Check(copy.Normalize(text) == result, "a copy normalizes alike");

    // The byte path gives the same units, never writes past the capacity it is given, and
    // writes exactly them when they fit.
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    const auto* input = reinterpret_cast<const unsigned char*>(bytes.data());
    Check(normalizer.NormalizeBytes(input, text.size(), nullptr, 0) == result.size(),
          "byte path counts the result");
    std::string output(2 * result.size() + 2, '\x5A');
    auto* out = reinterpret_cast<unsigned char*>(&output[0]);
    if (!result.empty()) {
        Check(
            normalizer.NormalizeBytes(input, text.size(), out, result.size() - 1) == result.size(),
            "byte path reports the size when it does not fit");
        Check(output.find_first_not_of('\x5A', 2 * (result.size() - 1)) == std::string::npos,
              "byte path writes nothing past the capacity when the result does not fit");
    }
    Check(normalizer.NormalizeBytes(input, text.size(), out, result.size()) == result.size(),
          "byte path writes a result that fits");
    for (std::size_t i = 0; i < result.size(); ++i) {
        Check(static_cast<char16_t>(out[2 * i] | (out[2 * i + 1] << 8)) == result[i],
              "byte path writes the result");
    }
    Check(output[2 * result.size()] == '\x5A', "byte path writes no more than the result");

    if (normalizer.rules.size() <= kOracleMaxRules && text.size() <= kOracleMaxText) {
        kavex::testing::NaiveRules rules;
        for (const auto& rule : normalizer.rules) rules.emplace_back(rule.source, rule.replacement);
        Check(result == kavex::testing::NaiveNormalize(rules, text), "normalize matches oracle");
    }
    return 0;
}
