// The readable rules source (.kvr): UTF-8, one rule per line in rules-file order.
//
//   # Urdu: yeh typed with hamza above becomes the composed letter
//   U+06CC U+0654 -> U+0626
//   ي -> ی            # literal characters work too
//   U+0640 ->         # an empty replacement deletes
//
// Each side is a sequence of tokens separated by blanks (space, tab). A token is U+ (or
// u+) with 4 to 6 hex digits, one code point (two units above U+FFFF; U+D800 to U+DFFF one
// unit as it is), or a run of literal characters, each giving its units. `->` separates
// the sides. `#` at the start of a line or after a blank begins a comment. Blank lines are
// ignored; lines end with LF or CR LF; a UTF-8 byte-order mark at the start is skipped.
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

// Appends the rules of one source to `rules`, each with its line. On the first error
// returns false with `error` set; `rules` may then hold the rules before it. Rules that
// a rules file cannot express (UnwritableReason) are errors at the offending character.
bool ParseRulesSource(const std::string& text, std::vector<Rule>& rules, SourceError& error);

// "U+0627 U+0653": every unit of `units`, surrogates one by one.
std::string UnitNotation(const std::u16string& units);

// The characters of `units` in UTF-8 for a comment, with U+FFFD for controls and lone
// surrogates, so the comment stays on its line.
std::string CommentCharacters(const std::u16string& units);

// The readable source of a rules file: one line per rule the loader reads, every unit as
// U+XXXX and the characters in a trailing comment; what the loader reads differently from
// the bytes (no colon, several colons, bare CR, text after the last line end, a stray byte)
// is told in comments. Compiling it gives back the file byte for byte when the file is
// well formed, and otherwise a well-formed file that loads the same rules.
std::string WriteRulesSource(const RulesFileImage& image, const std::string& name);

}  // namespace kavex::rules

#endif  // KAVEX_TOOLS_RULESSOURCE_H
