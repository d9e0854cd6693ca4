// Rules files as the library reads them, and as kavex-rules writes them: UTF-16LE after
// the mark FF FE, one rule per line, source, U+003A, replacement, CR LF.
//
// ReadRulesFileBytes reads a file's bytes exactly as Normalizer::ReadRulesFile does (a
// colon ends the source, CR ends the line and the unit after it is dropped unread, a line
// without a colon keeps the source before it, text after the last line end is dropped),
// and keeps, line by line, what a reader of the file might not expect.
#ifndef KAVEX_TOOLS_RULESFILE_H
#define KAVEX_TOOLS_RULESFILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace kavex::rules {

constexpr char16_t kColon = 0x003A;
constexpr char16_t kCarriageReturn = 0x000D;
constexpr char16_t kLineFeed = 0x000A;

// One rule, with the line it comes from (1-based) in its rules file or readable source.
struct Rule {
    std::u16string source;
    std::u16string replacement;
    std::size_t line = 0;
};

// One line of a rules file, as the loader turns it into a rule.
struct FileLine {
    Rule rule;               // rule.line is the rule index + 1
    std::size_t colons = 0;  // 0: the source is that of the line before
    bool bareCr = false;     // the unit dropped after its CR is not LF
    char16_t dropped = 0;    // that unit
};

struct RulesFileImage {
    enum class Status {
        kLoads,
        kNoMark,      // shorter than two bytes, or not beginning with FF FE
        kEndsWithCr,  // the read of the unit after the last CR meets the end: no load
    };
    Status status = Status::kLoads;
    std::vector<FileLine> lines;
    std::u16string trailing;  // units after the last line end, dropped by the loader
    bool oddByte = false;     // a single byte after the last unit, ignored
};

RulesFileImage ReadRulesFileBytes(const std::string& bytes);

// Why the rule cannot be written to a rules file so that it loads as itself, or null:
// the format has no escapes, so a colon ends a source wherever it stands and CR ends
// the line.
const char* UnwritableReason(const std::u16string& source, const std::u16string& replacement);

// The bytes of the rules file that loads as `rules`, in their order. Every rule must be
// writable (UnwritableReason null).
std::string WriteRulesFile(const std::vector<Rule>& rules);

// The same bytes handed to `write` in blocks of about `blockBytes`, so that a long
// replacement is never held twice.
template <typename Write>
void WriteRulesFile(const std::vector<Rule>& rules, std::size_t blockBytes, Write&& write) {
    std::string block = "\xFF\xFE";
    const auto put = [&](const std::u16string& units) {
        for (char16_t unit : units) {
            block.push_back(static_cast<char>(unit & 0xFF));
            block.push_back(static_cast<char>(unit >> 8));
            if (block.size() >= blockBytes) {
                write(block);
                block.clear();
            }
        }
    };
    static const std::u16string colon(1, kColon);
    static const std::u16string lineEnd{kCarriageReturn, kLineFeed};
    for (const Rule& rule : rules) {
        put(rule.source);
        put(colon);
        put(rule.replacement);
        put(lineEnd);
    }
    if (!block.empty()) write(block);
}

}  // namespace kavex::rules

#endif  // KAVEX_TOOLS_RULESFILE_H
