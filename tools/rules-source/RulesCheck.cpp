#include "RulesCheck.h"

#include <cstdint>
#include <unordered_map>

#include "RulesSource.h"
#include "engine/RuleMatcher.h"

namespace kavex::rules {

namespace {

constexpr uint32_t kNoRule = UINT32_MAX;

}  // namespace

// The matcher's trie, with a map for the transitions instead of dense rows, so it can be
// counted past the limits. Each state keeps the last rule whose source ends there, the
// one the matcher finds.
class SourceTrie {
  public:
    // The state of `source`, created with its prefixes as needed.
    uint32_t Insert(const std::u16string& source) {
        uint32_t state = 0;
        for (char16_t unit : source) {
            const uint64_t key = (uint64_t{state} << 16) | unit;
            auto found = next.find(key);
            if (found == next.end()) {
                found = next.emplace(key, static_cast<uint32_t>(ruleAt.size())).first;
                ruleAt.push_back(kNoRule);
            }
            state = found->second;
        }
        return state;
    }
    // Existing states only; kNoRule past the end of the trie.
    uint32_t Next(uint32_t state, char16_t unit) const {
        const auto found = next.find((uint64_t{state} << 16) | unit);
        return found == next.end() ? kNoRule : found->second;
    }
    std::size_t States() const { return ruleAt.size(); }

    std::vector<uint32_t> ruleAt{kNoRule};

  private:
    std::unordered_map<uint64_t, uint32_t> next;
};

namespace {

std::string Grouped(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t k = digits.size(); k > 3; k -= 3) digits.insert(k - 3, ",");
    return digits;
}

bool IsBlankUnit(char16_t unit) { return unit == u' ' || unit == u'\t'; }

}  // namespace

MatcherMeter::MatcherMeter() : trie_(std::make_unique<SourceTrie>()), seen_(65536, false) {}

MatcherMeter::~MatcherMeter() = default;

void MatcherMeter::Add(const Rule& rule) {
    const std::size_t i = size_.rules++;
    if (i >= kMaxRules && size_.rulesPassedAt == MatcherSize::kWithin) size_.rulesPassedAt = i;
    for (char16_t unit : rule.source) {
        if (seen_[unit]) continue;
        seen_[unit] = true;
        if (++size_.alphabet > kMaxAlphabet && size_.alphabetPassedAt == MatcherSize::kWithin) {
            size_.alphabetPassedAt = i;
        }
    }
    trie_->Insert(rule.source);
    if (trie_->States() > kMaxStates && size_.statesPassedAt == MatcherSize::kWithin) {
        size_.statesPassedAt = i;
    }
    statesAfter_.push_back(trie_->States());
}

bool MatcherMeter::PassedALimit() const {
    return size_.rulesPassedAt != MatcherSize::kWithin ||
           size_.statesPassedAt != MatcherSize::kWithin ||
           size_.alphabetPassedAt != MatcherSize::kWithin;
}

MatcherSize MatcherMeter::Size() const {
    MatcherSize size = size_;
    size.states = trie_->States();
    size.rowBytes = size.states * size.alphabet * sizeof(uint16_t);
    for (std::size_t i = 0; i < statesAfter_.size(); ++i) {
        if (statesAfter_[i] * size.alphabet * sizeof(uint16_t) > kMaxTableBytes) {
            size.rowBytesPassedAt = i;
            break;
        }
    }
    // The root row alone may pass the limit, before any rule adds a state.
    if (size.rowBytesPassedAt == MatcherSize::kWithin && size.rowBytes > kMaxTableBytes) {
        size.rowBytesPassedAt = 0;
    }
    return size;
}

MatcherSize MeasureMatcher(const std::vector<Rule>& rules) {
    MatcherMeter meter;
    for (const Rule& rule : rules) meter.Add(rule);
    return meter.Size();
}

std::vector<Finding> LimitFindings(const MatcherSize& size, const std::vector<Rule>& rules) {
    std::vector<Finding> findings;
    const auto add = [&](std::size_t at, const std::string& message) {
        if (at == MatcherSize::kWithin) return;
        const std::size_t line = at < rules.size() ? rules[at].line : 0;
        findings.push_back(Finding{Finding::Kind::kLimit, line,
                                   message + ": the library refuses to load these rules", at,
                                   "past the matcher's limits"});
    };
    add(size.rulesPassedAt, "rule " + Grouped(size.rulesPassedAt + 1) + " passes the limit of " +
                                Grouped(kMaxRules) + " rules");
    add(size.alphabetPassedAt, "this source passes the limit of " + Grouped(kMaxAlphabet) +
                                   " distinct units over all sources");
    add(size.statesPassedAt,
        "this source passes the limit of " + Grouped(kMaxStates) + " matcher states");
    add(size.rowBytesPassedAt,
        "this source takes the matcher's rows (states x alphabet x 2 "
        "bytes) past " +
            Grouped(kMaxTableBytes) + " bytes");
    return findings;
}

std::vector<Finding> CheckRules(const std::vector<Rule>& rules) {
    std::vector<Finding> findings;
    SourceTrie trie;
    std::vector<uint32_t> stateOf;
    stateOf.reserve(rules.size());
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const uint32_t state = trie.Insert(rules[i].source);
        trie.ruleAt[state] = static_cast<uint32_t>(i);
        stateOf.push_back(state);
    }
    const auto dead = [&findings, &rules](std::size_t i, const std::string& message,
                                          const char* group) {
        findings.push_back(Finding{Finding::Kind::kDeadRule, rules[i].line, message, i, group});
    };
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const Rule& rule = rules[i];
        if (rule.source.empty()) {
            dead(i, "never applied: an empty source is never matched",
                 "never applied, an empty source");
            continue;
        }
        const uint32_t last = trie.ruleAt[stateOf[i]];
        if (last != i) {
            dead(i,
                 "never applied: line " + Grouped(rules[last].line) +
                     " has the same source, and of identical sources only the last is found",
                 "never applied, a later rule has the same source");
            continue;
        }
        // At every place this source occurs each of its prefixes occurs too; the matcher
        // takes the smallest rule index among them.
        uint32_t state = 0;
        uint32_t first = kNoRule;
        for (std::size_t k = 0; k + 1 < rule.source.size(); ++k) {
            state = trie.Next(state, rule.source[k]);
            if (trie.ruleAt[state] < first) first = trie.ruleAt[state];
        }
        if (first < i) {
            dead(i,
                 "never applied: its source begins with the source of line " +
                     Grouped(rules[first].line) + " (" + UnitNotation(rules[first].source) +
                     "), which is found wherever this one is and stands before it",
                 "never applied, the source begins with a shorter one that stands before it");
        }
    }
    const std::vector<Finding> limits = LimitFindings(MeasureMatcher(rules), rules);
    findings.insert(findings.end(), limits.begin(), limits.end());
    return findings;
}

std::vector<Finding> CheckLoaderReading(const RulesFileImage& image) {
    std::vector<Finding> findings;
    const auto add = [&findings](std::size_t line, const std::string& message, const char* group) {
        findings.push_back(
            Finding{Finding::Kind::kLoader, line, message, static_cast<std::size_t>(-1), group});
    };
    for (const FileLine& line : image.lines) {
        const Rule& rule = line.rule;
        if (line.colons == 0) {
            add(rule.line,
                rule.line == 1 || image.lines[rule.line - 2].rule.source.empty()
                    ? "no colon: the loader reads an empty source and the whole "
                      "line as the replacement"
                    : "no colon: the loader keeps the source of the line before "
                      "and reads the whole line as the replacement",
                "no colon");
        } else if (line.colons > 1) {
            add(rule.line,
                Grouped(line.colons) +
                    " colons: the loader keeps only the text between the last "
                    "two as the source",
                "several colons");
        }
        if (line.bareCr) {
            add(rule.line,
                "CR without LF: the loader drops the unit after it (" +
                    UnitNotation(std::u16string(1, line.dropped)) + ")",
                "CR without LF");
        }
        if (!rule.source.empty() && IsBlankUnit(rule.source.back())) {
            add(rule.line, "the source ends with a blank, which is part of it",
                "a side ends with a blank");
        }
        if (!rule.replacement.empty() && IsBlankUnit(rule.replacement.back())) {
            add(rule.line, "the replacement ends with a blank, which is part of it",
                "a side ends with a blank");
        }
        if (rule.source.find(kLineFeed) != std::u16string::npos) {
            add(rule.line, "the source holds a LF without CR before it, which is part of it",
                "a LF inside a side");
        }
        if (rule.replacement.find(kLineFeed) != std::u16string::npos) {
            add(rule.line, "the replacement holds a LF without CR before it, which is part of it",
                "a LF inside a side");
        }
    }
    if (!image.trailing.empty()) {
        add(image.lines.size() + 1,
            "no CR LF after the last line: the loader drops it (" + Grouped(image.trailing.size()) +
                (image.trailing.size() == 1 ? " unit)" : " units)"),
            "no CR LF after the last line");
    }
    if (image.oddByte) {
        add(0, "a single byte after the last unit, which the loader ignores",
            "a single byte after the last unit");
    }
    return findings;
}

}  // namespace kavex::rules
