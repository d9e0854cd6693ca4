#include "RulesSource.h"

#include <cstdio>

#include "common/Utf8.h"

namespace kavex::rules {

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

// One side of a rule, with the column of the character or token each unit came from.
struct Side {
    std::u16string units;
    std::vector<std::size_t> columns;
};

class LineParser {
  public:
    LineParser(const std::vector<char32_t>& chars, std::size_t line, SourceError& error)
        : chars(chars), line(line), error(error) {}

    // False with `error` set; `rule` left empty for a line without a rule.
    bool Parse(bool& hasRule, Rule& rule) {
        Side sides[2];
        int side = 0;
        bool anyToken = false;
        std::size_t afterLast = 1;  // column just after the last token
        std::size_t i = 0;
        while (i < chars.size()) {
            if (IsBlank(chars[i])) {
                ++i;
                continue;
            }
            if (chars[i] == U'#') break;
            std::size_t end = i;
            while (end < chars.size() && !IsBlank(chars[end])) ++end;
            anyToken = true;
            if (end - i == 2 && chars[i] == U'-' && chars[i + 1] == U'>') {
                if (side == 1) {
                    return Fail(i, "a second '->' (write U+002D U+003E for a literal arrow)");
                }
                side = 1;
            } else if (end - i >= 2 && (chars[i] == U'U' || chars[i] == U'u') &&
                       chars[i + 1] == U'+') {
                if (!CodePoint(i, end, sides[side])) return false;
            } else {
                for (std::size_t k = i; k < end; ++k) {
                    if (chars[k] == U'\r') return Fail(k, "carriage return inside a line");
                    AppendUnits(chars[k], sides[side].units);
                    sides[side].columns.resize(sides[side].units.size(), k + 1);
                }
            }
            i = end;
            afterLast = end + 1;
        }
        hasRule = anyToken;
        if (!anyToken) return true;
        if (side == 0) return Fail(afterLast - 1, "expected '->'");
        if (!Representable(sides[0], true) || !Representable(sides[1], false)) return false;
        rule.source = std::move(sides[0].units);
        rule.replacement = std::move(sides[1].units);
        rule.line = line;
        return true;
    }

  private:
    const std::vector<char32_t>& chars;
    std::size_t line;
    SourceError& error;

    bool Fail(std::size_t index, const std::string& message) {
        error.line = line;
        error.column = index + 1;
        error.message = message;
        return false;
    }

    bool CodePoint(std::size_t begin, std::size_t end, Side& side) {
        std::size_t k = begin + 2;
        char32_t value = 0;
        while (k < end && k - begin - 2 < 6 && HexValue(chars[k]) >= 0) {
            value = value * 16 + static_cast<char32_t>(HexValue(chars[k]));
            ++k;
        }
        const std::size_t digits = k - begin - 2;
        if (digits < 4) return Fail(k, "expected 4 to 6 hex digits after 'U+'");
        if (k < end) {
            if (HexValue(chars[k]) >= 0) return Fail(k, "more than 6 hex digits after 'U+'");
            return Fail(k, "expected a blank after the code point");
        }
        if (value > 0x10FFFF) return Fail(begin, "code point beyond U+10FFFF");
        AppendUnits(value, side.units);
        side.columns.resize(side.units.size(), begin + 1);
        return true;
    }

    bool Representable(const Side& side, bool isSource) {
        for (std::size_t k = 0; k < side.units.size(); ++k) {
            const char16_t unit = side.units[k];
            if (unit != kColon && unit != kCarriageReturn) continue;
            const std::u16string one(1, unit);
            const char* reason = isSource ? UnwritableReason(one, u"") : UnwritableReason(u"", one);
            return Fail(side.columns[k] - 1, reason);
        }
        return true;
    }
};

}  // namespace

bool ParseRulesSource(const std::string& text, std::vector<Rule>& rules, SourceError& error) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    std::vector<char32_t> chars;
    for (std::size_t line = 1; pos < text.size() || line == 1; ++line) {
        std::size_t end = text.find('\n', pos);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        if (end > pos && text[end - 1] == '\r') --end;
        chars.clear();
        for (std::size_t k = pos; k < end;) {
            const cli::Utf8Decoded decoded = cli::DecodeUtf8(bytes + k, bytes + end);
            if (decoded.length == 0) {
                error.line = line;
                error.column = chars.size() + 1;
                error.message = std::string("invalid UTF-8 (") +
                                (decoded.error ? decoded.error : "truncated sequence") + ")";
                return false;
            }
            chars.push_back(decoded.codePoint);
            k += decoded.length;
        }
        Rule rule;
        bool hasRule = false;
        if (!LineParser(chars, line, error).Parse(hasRule, rule)) return false;
        if (hasRule) rules.push_back(std::move(rule));
        pos = next;
        if (pos >= text.size()) break;
    }
    return true;
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

std::string Number(std::size_t n) { return std::to_string(n); }

}  // namespace

std::string WriteRulesSource(const RulesFileImage& image, const std::string& name) {
    std::string out = "# " + name + ": " + Number(image.lines.size()) +
                      (image.lines.size() == 1 ? " rule" : " rules") +
                      ", decompiled by kavex-rules\n";
    for (const FileLine& line : image.lines) {
        const Rule& rule = line.rule;
        if (line.colons == 0) {
            out += "# line " + Number(rule.line) +
                   " has no colon: the loader keeps the source of the line before it\n";
        } else if (line.colons > 1) {
            out += "# line " + Number(rule.line) + " has " + Number(line.colons) +
                   " colons: the loader keeps the text between the last two as the source\n";
        }
        std::string text = UnitNotation(rule.source);
        text += text.empty() ? "->" : " ->";
        if (!rule.replacement.empty()) text += " " + UnitNotation(rule.replacement);
        std::string comment = CommentCharacters(rule.source) + " ->";
        if (!rule.replacement.empty()) comment += " " + CommentCharacters(rule.replacement);
        AppendComment(text, comment);
        out += text + "\n";
        if (line.bareCr) {
            out += "# line " + Number(rule.line) +
                   " ends with CR without LF: the loader dropped the unit after it, " +
                   UnitNotation(std::u16string(1, line.dropped)) + "\n";
        }
    }
    if (!image.trailing.empty()) {
        out += "# dropped by the loader, after the last line end: " + UnitNotation(image.trailing) +
               "\n";
    }
    if (image.oddByte) out += "# dropped by the loader: a single byte at the end\n";
    return out;
}

}  // namespace kavex::rules
