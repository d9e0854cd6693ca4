// The readable rules source and rules files as kavex-rules reads and writes them.
//
// The input is read twice. As a .kvr source: an accepted source compiles to a file that
// the library loads as exactly the parsed rules, and whose decompilation compiles back to
// the same bytes. As rules-file bytes: kavex-rules reads the same rules as the library
// (and fails where it fails), the decompilation compiles to a file that loads the same
// rules, and to the very same bytes when the file is well formed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RulesCheck.h"
#include "RulesFile.h"
#include "RulesSource.h"
#include "engine/Normalizer.h"

namespace {

using kavex::fuzz::Check;
using kavex::rules::Rule;

bool SameRules(const std::vector<Rule>& ours, const std::vector<kavex::NormalizationRule>& theirs) {
    if (ours.size() != theirs.size()) return false;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        if (ours[i].source != theirs[i].source || ours[i].replacement != theirs[i].replacement) {
            return false;
        }
    }
    return true;
}

std::vector<Rule> RulesOf(const kavex::rules::RulesFileImage& image) {
    std::vector<Rule> rules;
    for (const auto& line : image.lines) rules.push_back(line.rule);
    return rules;
}

// Loads `bytes` with the library; true when it loads.
bool Load(const std::string& bytes, kavex::Normalizer& normalizer) {
    const std::string path = kavex::fuzz::ScratchDir::Write(
        "rules.txt", reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return normalizer.LoadRules(path);
}

// Decompiles `image` and compiles the result again.
std::string RoundTrip(const kavex::rules::RulesFileImage& image) {
    const std::string source = kavex::rules::WriteRulesSource(image, "fuzz.txt");
    std::vector<Rule> rules;
    kavex::rules::SourceError error;
    Check(kavex::rules::ParseRulesSource(source, rules, error), "a decompilation parses");
    return kavex::rules::WriteRulesFile(rules);
}

void AsSource(const std::string& text) {
    std::vector<Rule> rules;
    kavex::rules::SourceError error;
    if (!kavex::rules::ParseRulesSource(text, rules, error)) {
        Check(error.line >= 1 && error.column >= 1 && !error.message.empty(),
              "a parse error has a position and a message");
        return;
    }
    kavex::rules::CheckRules(rules);
    if (!kavex::rules::MeasureMatcher(rules).Fits()) return;
    for (const Rule& rule : rules) {
        Check(kavex::rules::UnwritableReason(rule.source, rule.replacement) == nullptr,
              "accepted rules are writable");
    }
    const std::string bytes = kavex::rules::WriteRulesFile(rules);
    kavex::Normalizer normalizer;
    Check(Load(bytes, normalizer), "a compiled source loads");
    Check(SameRules(rules, normalizer.rules), "a compiled source loads as its rules");
    const auto image = kavex::rules::ReadRulesFileBytes(bytes);
    Check(RoundTrip(image) == bytes, "decompile then compile gives the same file");
}

void AsRulesFile(const std::string& bytes) {
    const auto image = kavex::rules::ReadRulesFileBytes(bytes);
    kavex::rules::CheckLoaderReading(image);
    kavex::Normalizer normalizer;
    const bool loaded = Load(bytes, normalizer);
    const bool fits = kavex::rules::MeasureMatcher(RulesOf(image)).Fits();
    Check(loaded == (image.status == kavex::rules::RulesFileImage::Status::kLoads && fits),
          "kavex-rules knows which files load");
    if (!loaded) return;
    Check(SameRules(RulesOf(image), normalizer.rules), "kavex-rules reads the library's rules");
    const std::string compiled = RoundTrip(image);
    kavex::Normalizer again;
    Check(Load(compiled, again) && SameRules(RulesOf(image), again.rules),
          "the decompilation compiles to a file with the same rules");
    bool wellFormed = image.trailing.empty() && !image.oddByte;
    for (const auto& line : image.lines) wellFormed &= line.colons == 1 && !line.bareCr;
    if (wellFormed) Check(compiled == bytes, "a well-formed file round-trips byte for byte");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kavex::fuzz::ScratchDir::Path();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    AsSource(input);
    AsRulesFile(input);
    return 0;
}
