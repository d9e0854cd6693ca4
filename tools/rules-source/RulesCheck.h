// What kavex-rules check reports: rules the matcher can never pick, lines the loader
// reads differently from what their author probably meant, and the size of the matcher
// next to its 16-bit limits.
#ifndef KAVEX_TOOLS_RULESCHECK_H
#define KAVEX_TOOLS_RULESCHECK_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "RulesFile.h"

namespace kavex::rules {

struct Finding {
    enum class Kind { kDeadRule, kLoader, kLimit };
    Kind kind;
    std::size_t line;  // 1-based; 0 for the file as a whole
    std::string message;
    std::size_t rule = static_cast<std::size_t>(-1);  // the index of the rule, if one
    // What findings alike have in common, for a summary of many: "CR without LF".
    const char* group = "";
};

// The trie the matcher builds from the sources, counted without its dense rows.
struct MatcherSize {
    static constexpr std::size_t kWithin = static_cast<std::size_t>(-1);
    std::size_t rules = 0;
    std::size_t states = 1;  // the root included
    std::size_t alphabet = 0;
    std::size_t rowBytes = 0;  // states x alphabet x 2: the dense rows
    // The rule index at which each limit is first passed; kWithin when it is not.
    std::size_t rulesPassedAt = kWithin;
    std::size_t statesPassedAt = kWithin;
    std::size_t alphabetPassedAt = kWithin;
    std::size_t rowBytesPassedAt = kWithin;
    bool Fits() const {
        return rulesPassedAt == kWithin && statesPassedAt == kWithin &&
               alphabetPassedAt == kWithin && rowBytesPassedAt == kWithin;
    }
};

class SourceTrie;

// Measures the matcher a rule at a time, so that a reader of rules can stop at the first
// rule that passes a limit instead of reading on.
class MatcherMeter {
  public:
    MatcherMeter();
    ~MatcherMeter();
    MatcherMeter(const MatcherMeter&) = delete;
    MatcherMeter& operator=(const MatcherMeter&) = delete;

    void Add(const Rule& rule);
    // Once the rules, states or distinct units pass their limit, no later rule undoes it.
    // (The rows depend on the alphabet of all the sources: Size() tells them.)
    bool PassedALimit() const;
    MatcherSize Size() const;

  private:
    MatcherSize size_;
    std::unique_ptr<SourceTrie> trie_;
    std::vector<bool> seen_;
    std::vector<std::size_t> statesAfter_;
};

MatcherSize MeasureMatcher(const std::vector<Rule>& rules);

// The limit findings of a size, at the line of the rule that passes each limit.
std::vector<Finding> LimitFindings(const MatcherSize& size, const std::vector<Rule>& rules);

// Rules that can never be the match: an earlier rule with the same source (of identical
// sources only the last is found), a shorter source at the start of this one whose last
// rule stands before it (it occurs wherever this one does and has the smaller index), an
// empty source. Plus the limit findings.
std::vector<Finding> CheckRules(const std::vector<Rule>& rules);

// Lines of a rules file the loader reads differently from their look: no colon, several
// colons, a CR without LF, blanks at the end of a side, a LF inside a side, text after the
// last line end, a stray last byte.
std::vector<Finding> CheckLoaderReading(const RulesFileImage& image);

}  // namespace kavex::rules

#endif  // KAVEX_TOOLS_RULESCHECK_H
