#include "RulesSource.h"

#include <cstdio>
#include <vector>

#include "common/Utf8.h"
#include "engine/RuleMatcher.h"

namespace kavex::rules {

static_assert(kMaxSourceUnits + 1 == kMaxStates, "a source takes a state per unit");

namespace {

bool IsBlank(char32_t c) { return c == U' ' || c == U'\t'; }

int HexValue(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
    return -1;
}

void AppendUnits(char32_t c, std::u16string& out) {
    if (c > 0xFFFF) {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(c));
    }
}

}  // namespace

bool RulesSourceParser::Feed(const char* data, std::size_t size) {
    if (failed_) return false;
    const auto* next = reinterpret_cast<const unsigned char*>(data);
    const auto* end = next + size;
    const auto invalid = [this](const char* why) {
        // A CR not yet taken is a character of the line before the bad bytes.
        return Fail(taken_ + (pendingCr_ ? 2 : 1), std::string("invalid UTF-8 (") + why + ")");
    };
    // The rest of a character that the piece before cut, a byte at a time.
    while (!unfinished_.empty() && next < end) {
        unfinished_.push_back(static_cast<char>(*next++));
        const auto* bytes = reinterpret_cast<const unsigned char*>(unfinished_.data());
        const cli::Utf8Decoded decoded = cli::DecodeUtf8(bytes, bytes + unfinished_.size());
        if (decoded.length == 0) {
            if (decoded.error != nullptr) return invalid(decoded.error);
            continue;
        }
        unfinished_.clear();
        if (!Take(decoded.codePoint)) return false;
    }
    while (next < end) {
        if (*next < 0x80) {
            if (!Take(*next++)) return false;
            continue;
        }
        const cli::Utf8Decoded decoded = cli::DecodeUtf8(next, end);
        if (decoded.length == 0) {
            if (decoded.error != nullptr) return invalid(decoded.error);
            unfinished_.assign(reinterpret_cast<const char*>(next), end - next);
            return true;
        }
        next += decoded.length;
        if (!Take(decoded.codePoint)) return false;
    }
    return true;
}

bool RulesSourceParser::Finish() {
    if (failed_) return false;
    if (!unfinished_.empty()) {
        return Fail(taken_ + (pendingCr_ ? 2 : 1), "invalid UTF-8 (truncated sequence)");
    }
    // A CR at the very end ends the last line as CR LF would.
    pendingCr_ = false;
    return EndLine();
}

bool RulesSourceParser::Take(char32_t c) {
    if (atStart_) {
        atStart_ = false;
        if (c == 0xFEFF) return true;
    }
    if (pendingCr_) {
        pendingCr_ = false;
        if (c == U'\n') return EndLine();
        if (!TakeInLine(U'\r')) return false;
    }
    if (c == U'\r') {
        pendingCr_ = true;
        return true;
    }
    if (c == U'\n') return EndLine();
    return TakeInLine(c);
}

bool RulesSourceParser::TakeInLine(char32_t c) {
    const std::size_t column = ++taken_;
    if (state_ == State::kComment) return true;
    if (state_ != State::kBetweenTokens) {
        return IsBlank(c) ? EndToken(column) : TakeInToken(c, column);
    }
    if (IsBlank(c)) return true;
    if (c == U'#') {
        state_ = State::kComment;
        return true;
    }
    anyToken_ = true;
    tokenColumn_ = column;
    previous_ = 0;
    if (c == U'U' || c == U'u' || c == U'-') {
        held_[0] = c;
        heldCount_ = 1;
        state_ = State::kToken;
        return true;
    }
    state_ = State::kLiteral;
    return TakeLiteral(c, column);
}

bool RulesSourceParser::TakeInToken(char32_t c, std::size_t column) {
    if (state_ == State::kToken) {
        const bool codePoint = held_[0] == U'U' || held_[0] == U'u';
        if (heldCount_ == 1 && codePoint && c == U'+') {
            state_ = State::kCodePoint;
            heldCount_ = 0;
            digits_ = 0;
            codePoint_ = 0;
            return true;
        }
        if (heldCount_ == 1 && held_[0] == U'-' && c == U'>') {
            held_[heldCount_++] = c;
            return true;
        }
        state_ = State::kLiteral;
        for (std::size_t k = 0; k < heldCount_; ++k) {
            if (!TakeLiteral(held_[k], tokenColumn_ + k)) return false;
        }
        heldCount_ = 0;
        return TakeLiteral(c, column);
    }
    if (state_ == State::kCodePoint) {
        const int value = HexValue(c);
        if (value >= 0 && digits_ < 6) {
            codePoint_ = codePoint_ * 16 + static_cast<char32_t>(value);
            ++digits_;
            return true;
        }
        if (value >= 0) return Fail(column, "more than 6 hex digits after 'U+'");
        if (digits_ < 4) return Fail(column, "expected 4 to 6 hex digits after 'U+'");
        return Fail(column, "expected a blank after the code point");
    }
    return TakeLiteral(c, column);
}

bool RulesSourceParser::TakeLiteral(char32_t c, std::size_t column) {
    if (c == U'\r') return Fail(column, "carriage return inside a line");
    if (c == U'>' && previous_ == U'-' && arrowInsideToken_ == 0) arrowInsideToken_ = column - 1;
    previous_ = c;
    return Append(c, column);
}

bool RulesSourceParser::Append(char32_t c, std::size_t column) {
    std::u16string& units = side_ == 0 ? rule_.source : rule_.replacement;
    // Told once the line is known to hold a rule: a line without an arrow is that first.
    if ((c == kColon || c == kCarriageReturn) && unwritableColumn_[side_] == 0) {
        unwritableColumn_[side_] = column;
        unwritableUnit_[side_] = static_cast<char16_t>(c);
    }
    AppendUnits(c, units);
    if (side_ == 0 && units.size() > kMaxSourceUnits) {
        return Fail(column,
                    "a source longer than 65,535 units, more than the matcher's 65,536 "
                    "states (the root included) can hold");
    }
    return true;
}

bool RulesSourceParser::EndToken(std::size_t nextColumn) {
    switch (state_) {
        case State::kBetweenTokens:
        case State::kComment:
            return true;
        case State::kToken:
            if (heldCount_ == 2) {
                if (side_ == 1) {
                    return Fail(tokenColumn_,
                                "a second '->' (write U+002D U+003E for a literal arrow)");
                }
                side_ = 1;
            } else if (!TakeLiteral(held_[0], tokenColumn_)) {
                return false;
            }
            heldCount_ = 0;
            break;
        case State::kCodePoint:
            if (digits_ < 4) return Fail(nextColumn, "expected 4 to 6 hex digits after 'U+'");
            if (codePoint_ > 0x10FFFF) return Fail(tokenColumn_, "code point beyond U+10FFFF");
            if (!Append(codePoint_, tokenColumn_)) return false;
            break;
        case State::kLiteral:
            break;
    }
    state_ = State::kBetweenTokens;
    afterLastToken_ = nextColumn;
    return true;
}

bool RulesSourceParser::EndLine() {
    if (!EndToken(taken_ + 1)) return false;
    if (anyToken_) {
        if (side_ == 0 && arrowInsideToken_ != 0) {
            return Fail(arrowInsideToken_,
                        "expected '->' with a blank on each side: tokens are separated by "
                        "blanks, so this '->' is read as literal characters");
        }
        if (side_ == 0) return Fail(afterLastToken_, "expected '->'");
        for (int side = 0; side < 2; ++side) {
            if (unwritableColumn_[side] == 0) continue;
            const std::u16string unit(1, unwritableUnit_[side]);
            return Fail(unwritableColumn_[side],
                        side == 0 ? UnwritableReason(unit, u"") : UnwritableReason(u"", unit));
        }
        rule_.line = line_;
        rules_.push_back(std::move(rule_));
    }
    rule_ = Rule();
    state_ = State::kBetweenTokens;
    side_ = 0;
    anyToken_ = false;
    afterLastToken_ = 0;
    heldCount_ = 0;
    arrowInsideToken_ = 0;
    unwritableColumn_[0] = unwritableColumn_[1] = 0;
    taken_ = 0;
    ++line_;
    return true;
}

bool RulesSourceParser::Fail(std::size_t column, const std::string& message) {
    failed_ = true;
    error_.line = line_;
    error_.column = column;
    error_.message = message;
    return false;
}

bool ParseRulesSource(const std::string& text, std::vector<Rule>& rules, SourceError& error) {
    RulesSourceParser parser(rules);
    if (parser.Feed(text.data(), text.size()) && parser.Finish()) return true;
    error = parser.Error();
    return false;
}

std::string UnitNotation(const std::u16string& units) {
    std::string out;
    char buffer[16];
    for (char16_t unit : units) {
        std::snprintf(buffer, sizeof buffer, "%sU+%04X", out.empty() ? "" : " ",
                      static_cast<unsigned>(unit));
        out += buffer;
    }
    return out;
}

std::string CommentCharacters(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c < 0x20 || c == 0x7F ||
                   (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029) {
            c = 0xFFFD;
        }
        cli::AppendUtf8(c, out);
    }
    return out;
}

namespace {

// Pads `line` with blanks to the comment column (at least two) before a comment.
void AppendComment(std::string& line, const std::string& comment) {
    constexpr std::size_t kCommentColumn = 40;
    std::size_t width = line.size();
    line.append(width + 2 < kCommentColumn ? kCommentColumn - width : 2, ' ');
    line += "# ";
    line += comment;
}

std::string Grouped(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t k = digits.size(); k > 3; k -= 3) digits.insert(k - 3, ",");
    return digits;
}

}  // namespace

std::size_t RulesSourceLines(const RulesFileImage& image) {
    const bool after = image.lines.empty() || !image.trailing.empty() || image.oddByte;
    return image.lines.size() + (after ? 1 : 0);
}

void AppendRulesSourceLine(const RulesFileImage& image, const std::string& name, std::size_t index,
                           std::string& out) {
    const std::string rules = Grouped(image.lines.size()) +
                              (image.lines.size() == 1 ? " rule" : " rules") +
                              " decompiled by kavex-rules, line for line";
    if (index >= image.lines.size()) {
        // Kept on the line after the last rule, where the loader's reading stops.
        std::vector<std::string> notes;
        if (image.lines.empty()) notes.push_back(name + ": no rules, decompiled by kavex-rules");
        if (!image.trailing.empty()) {
            notes.push_back("dropped by the loader, after the last line end: " +
                            UnitNotation(image.trailing));
        }
        if (image.oddByte) notes.push_back("dropped by the loader: a single byte at the end");
        out += "#";
        for (std::size_t k = 0; k < notes.size(); ++k) out += (k == 0 ? " " : "; ") + notes[k];
        out += "\n";
        return;
    }
    const FileLine& line = image.lines[index];
    const Rule& rule = line.rule;
    std::string text = UnitNotation(rule.source);
    text += text.empty() ? "->" : " ->";
    if (!rule.replacement.empty()) text += " " + UnitNotation(rule.replacement);
    std::string comment = CommentCharacters(rule.source) + " ->";
    if (!rule.replacement.empty()) comment += " " + CommentCharacters(rule.replacement);
    if (line.colons == 0) {
        comment += "; no colon in the file: the loader keeps the source of the line before";
    } else if (line.colons > 1) {
        comment += "; " + Grouped(line.colons) +
                   " colons in the file: the loader keeps the text between the last two as "
                   "the source";
    }
    if (line.bareCr) {
        comment += "; CR without LF in the file: the loader drops the unit after it, " +
                   UnitNotation(std::u16string(1, line.dropped));
    }
    if (index == 0) comment += "  (" + name + ": " + rules + ")";
    AppendComment(text, comment);
    out += text;
    out += "\n";
}

std::string WriteRulesSource(const RulesFileImage& image, const std::string& name) {
    std::string out;
    const std::size_t lines = RulesSourceLines(image);
    for (std::size_t index = 0; index < lines; ++index) {
        AppendRulesSourceLine(image, name, index, out);
    }
    return out;
}

}  // namespace kavex::rules
