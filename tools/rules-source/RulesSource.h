// The readable rules source (.kvr): UTF-8, one rule per line in rules-file order.
//
//   # Urdu: yeh typed with hamza above becomes the composed letter
//   U+06CC U+0654 -> U+0626
//   ي -> ی            # literal characters work too
//   U+0640 ->         # an empty replacement deletes
//
// Each side is a sequence of tokens separated by blanks (space, tab). A token is U+ (or
// u+) with 4 to 6 hex digits, one code point (two units above U+FFFF; U+D800 to U+DFFF one
// unit as it is), or a run of literal characters, each giving its units. `->`, a token
// too, separates the sides. `#` at the start of a line or after a blank begins a comment. Blank
// lines are ignored; lines end with LF or CR LF; a UTF-8 byte-order mark at the start is skipped.
#ifndef KAVEX_TOOLS_RULESSOURCE_H
#define KAVEX_TOOLS_RULESSOURCE_H

#include <cstddef>
#include <string>
#include <vector>

#include "RulesFile.h"

namespace kavex::rules {

struct SourceError {
    std::size_t line = 0;    // 1-based
    std::size_t column = 0;  // 1-based, in characters (code points) of the line
    std::string message;
};

// The longest source a matcher can hold: one state per unit besides the root
// (kMaxStates - 1).
constexpr std::size_t kMaxSourceUnits = 65535;

// Parses a source handed over in pieces of any size, cut anywhere, even inside a
// character: a file is parsed as it is read and no line is ever held whole, so a huge line
// costs only the units it gives, and a source longer than kMaxSourceUnits is refused at
// the token that passes it.
class RulesSourceParser {
  public:
    // Rules are appended to `rules`, each with its line, as their lines end.
    explicit RulesSourceParser(std::vector<Rule>& rules) : rules_(rules) {}

    // False at the first error (Error() tells it), and for every call after it.
    bool Feed(const char* data, std::size_t size);
    // The end of the source: ends its last line.
    bool Finish();
    const SourceError& Error() const { return error_; }

  private:
    enum class State { kBetweenTokens, kComment, kToken, kCodePoint, kLiteral };

    bool Take(char32_t c);
    bool TakeInLine(char32_t c);
    bool TakeInToken(char32_t c, std::size_t column);
    bool TakeLiteral(char32_t c, std::size_t column);
    bool Append(char32_t c, std::size_t column);
    bool EndToken(std::size_t nextColumn);
    bool EndLine();
    bool Fail(std::size_t column, const std::string& message);

    std::vector<Rule>& rules_;
    SourceError error_;
    bool failed_ = false;
    bool atStart_ = true;     // the next character is the first: a byte-order mark is skipped
    bool pendingCr_ = false;  // a CR, a line end if LF follows, else a character of the line
    std::string unfinished_;  // the bytes of a character cut by the end of a piece

    std::size_t line_ = 1;
    std::size_t taken_ = 0;  // characters of the line taken so far
    State state_ = State::kBetweenTokens;
    Rule rule_;
    int side_ = 0;  // 0 source, 1 replacement
    bool anyToken_ = false;
    std::size_t afterLastToken_ = 0;  // column just after the last token ended
    // The token begun: its column, and its first characters while they may still turn
    // out to be '->' or 'U+'.
    std::size_t tokenColumn_ = 0;
    char32_t held_[2] = {0, 0};
    std::size_t heldCount_ = 0;
    char32_t previous_ = 0;  // the literal character before, to find a '->' inside a token
    std::size_t digits_ = 0;
    char32_t codePoint_ = 0;
    // The column of the first '->' inside a token, the likely arrow of a line without one.
    std::size_t arrowInsideToken_ = 0;
    // Per side, the column of the first unit a rules file cannot hold, and that unit.
    std::size_t unwritableColumn_[2] = {0, 0};
    char16_t unwritableUnit_[2] = {0, 0};
};

// Appends the rules of one source to `rules`, each with its line. On the first error
// returns false with `error` set; `rules` may then hold the rules before it. Rules that
// a rules file cannot express (UnwritableReason) are errors at the offending character.
bool ParseRulesSource(const std::string& text, std::vector<Rule>& rules, SourceError& error);

// "U+0627 U+0653": every unit of `units`, surrogates one by one.
std::string UnitNotation(const std::u16string& units);

// The characters of `units` in UTF-8 for a comment, with U+FFFD for controls and lone
// surrogates, so the comment stays on its line.
std::string CommentCharacters(const std::u16string& units);

// The readable source of a rules file, line for line: line N holds the rule of line N of
// the file (the rule index + 1), so a line number that the tools give for the file points
// at the same rule in its source. Every unit is written as U+XXXX, with the characters in
// a trailing comment; what the loader reads differently from the bytes (no colon, several
// colons, bare CR) is told in that comment, and text after the last line end and a stray
// byte in a comment line after the rules. Compiling it gives back the file byte for byte
// when the file is well formed, and otherwise a well-formed file that loads the same rules.
std::string WriteRulesSource(const RulesFileImage& image, const std::string& name);

// The same, a line at a time: line `index` + 1 of the source, with its line end. Lines
// 1 to RulesSourceLines(image) exist.
std::size_t RulesSourceLines(const RulesFileImage& image);
void AppendRulesSourceLine(const RulesFileImage& image, const std::string& name, std::size_t index,
                           std::string& out);

}  // namespace kavex::rules

#endif  // KAVEX_TOOLS_RULESSOURCE_H
