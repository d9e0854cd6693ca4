#include "config/ConfigIni.h"

#include <algorithm>
#include <utility>

namespace kavex {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
    std::size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) ++first;
    std::size_t end = text.size();
    while (end > first && IsBlank(text[end - 1])) --end;
    return text.substr(first, end - first);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string Lines(std::size_t first, std::size_t last) {
    if (first == last) return "line " + std::to_string(first);
    if (last == first + 1) {
        return "line " + std::to_string(first) + " and line " + std::to_string(last);
    }
    return "lines " + std::to_string(first) + " to " + std::to_string(last);
}

}  // namespace

ConfigIni::ConfigIni(std::string bytes) : bytes_(std::move(bytes)) {
    std::size_t pos = 0;
    bool atEnd = false;
    // One read of the library's reader: up to `limit` bytes, stopping after `delimiter`;
    // reading past the last byte sets the end, which ends the loop below.
    const auto read = [&](ConfigIniRead::Kind kind, std::size_t limit, char delimiter) {
        ConfigIniRead one;
        one.kind = kind;
        one.start = pos;
        for (;;) {
            if (one.text.size() == limit) {
                one.full = true;
                break;
            }
            if (pos == bytes_.size()) {
                atEnd = true;
                break;
            }
            const char c = bytes_[pos++];
            if (c == delimiter) break;
            one.text.push_back(c);
        }
        one.end = pos;
        reads_.push_back(one);
        return !one.text.empty();
    };
    while (!atEnd) {
        if (!read(ConfigIniRead::Kind::Key, kMaxKeyBytes, '=')) continue;
        // A key text that ran into the end has no value.
        if (atEnd) continue;
        read(ConfigIniRead::Kind::Value, kMaxValueBytes, '\n');
    }
}

std::string ConfigIni::Value(const std::string& key) const {
    std::string value;
    for (std::size_t i = 0; i + 1 < reads_.size(); ++i) {
        const ConfigIniRead& keyRead = reads_[i];
        const ConfigIniRead& valueRead = reads_[i + 1];
        if (keyRead.kind != ConfigIniRead::Kind::Key ||
            valueRead.kind != ConfigIniRead::Kind::Value || valueRead.text.empty()) {
            continue;
        }
        if (Trim(keyRead.text) == key) value = Trim(valueRead.text);
    }
    return value;
}

std::size_t ConfigIni::LineOf(std::size_t offset) const {
    return 1 + static_cast<std::size_t>(std::count(bytes_.begin(), bytes_.begin() + offset, '\n'));
}

std::string ConfigIni::WhyKeyRunsInto(std::size_t index, std::size_t line) const {
    const ConfigIniRead& read = reads_[index];
    const std::string upTo = " as one key";
    if (index > 0) {
        // The read before left off inside a line.
        const ConfigIniRead& before = reads_[index - 1];
        const std::size_t where = LineOf(before.start);
        const std::string rest =
            where + 1 == line ? "line " + std::to_string(line) : Lines(where + 1, line);
        if (before.kind == ConfigIniRead::Kind::Value && before.full) {
            return "the value on line " + std::to_string(where) +
                   " is longer than 512 bytes, so the library reads the rest of it and " + rest +
                   upTo;
        }
        if (before.kind == ConfigIniRead::Kind::Key && before.text.empty() &&
            before.end > before.start) {
            return "line " + std::to_string(where) +
                   " has nothing before its \"=\", so the library reads what follows it and " +
                   rest + upTo;
        }
    }
    std::size_t first = read.start;
    while (first < read.end && IsBlank(bytes_[first])) ++first;
    const std::size_t from = LineOf(first);
    return "line " + std::to_string(from) + " has no \"=\", so the library reads " +
           (from + 1 == line ? "it and line " + std::to_string(line) : Lines(from, line)) + upTo;
}

std::string ConfigIni::ExplainMissing(const std::string& key) const {
    // Where the file shows the key: at the start of a line (after blanks), then "=".
    std::size_t shown = std::string::npos;
    std::size_t otherCase = std::string::npos;
    std::size_t bare = std::string::npos;
    for (std::size_t start = 0; start < bytes_.size();) {
        std::size_t end = bytes_.find('\n', start);
        if (end == std::string::npos) end = bytes_.size();
        std::size_t k = start;
        while (k < end && (bytes_[k] == ' ' || bytes_[k] == '\t')) ++k;
        const std::size_t equals = bytes_.find('=', k);
        if (equals < end) {
            const std::string name = Trim(bytes_.substr(k, equals - k));
            if (name == key) {
                shown = k;
            } else if (SameIgnoringCase(name, key)) {
                otherCase = k;
            }
        } else if (Trim(bytes_.substr(k, end - k)) == key) {
            bare = k;
        }
        start = end + 1;
    }
    if (shown == std::string::npos) {
        if (otherCase != std::string::npos) {
            const std::size_t equals = bytes_.find('=', otherCase);
            return "line " + std::to_string(LineOf(otherCase)) + " has \"" +
                   Trim(bytes_.substr(otherCase, equals - otherCase)) +
                   "\", but keys are case-sensitive: write " + key;
        }
        if (bare != std::string::npos) {
            return "line " + std::to_string(LineOf(bare)) + " has " + key +
                   " but no \"=\" after it";
        }
        return "";
    }

    const std::size_t line = LineOf(shown);
    std::size_t index = 0;
    while (index < reads_.size() && !(reads_[index].start <= shown && shown < reads_[index].end)) {
        ++index;
    }
    const std::string lost = " and never sees the " + key + " of line " + std::to_string(line);
    if (index < reads_.size() && reads_[index].kind == ConfigIniRead::Kind::Key) {
        const ConfigIniRead& read = reads_[index];
        if (Trim(read.text) == key) {
            // The key itself is read: its value is what is missing, if anything is.
            const bool valued = index + 1 < reads_.size() &&
                                reads_[index + 1].kind == ConfigIniRead::Kind::Value &&
                                !Trim(reads_[index + 1].text).empty();
            return valued ? "" : "line " + std::to_string(line) + " gives " + key + " no value";
        }
        if (LineOf(read.start) < line) {
            return WhyKeyRunsInto(index, line) + lost + "; config.ini takes key=value lines only";
        }
    }
    return "the library does not read line " + std::to_string(line) +
           " as a key=value line of its own" + lost;
}

std::string ConfigIni::ExplainValue(const std::string& key) const {
    std::size_t last = reads_.size();
    for (std::size_t i = 0; i + 1 < reads_.size(); ++i) {
        if (reads_[i].kind == ConfigIniRead::Kind::Key &&
            reads_[i + 1].kind == ConfigIniRead::Kind::Value && !reads_[i + 1].text.empty() &&
            Trim(reads_[i].text) == key) {
            last = i + 1;
        }
    }
    if (last == reads_.size() || !reads_[last].full) return "";
    return "the value of " + key + " on line " + std::to_string(LineOf(reads_[last].start)) +
           " is longer than 512 bytes, and the library reads only the first 512";
}

}  // namespace kavex
