// config.ini as the library reads it, byte for byte, so that a host can say why a key that
// is visibly in the file is missing for the library. The library's reader is what counts;
// this one mirrors it (a key text up to the first "=" within 64 bytes, then a value text up
// to the line feed within 512 bytes, both trimmed of spaces, tabs, CR and LF) and is used
// only to explain a failure.
#ifndef KAVEX_CONFIG_CONFIGINI_H
#define KAVEX_CONFIG_CONFIGINI_H

#include <cstddef>
#include <string>
#include <vector>

namespace kavex {

// One read of the library's reader: bytes [start, end) of the file, the delimiter included
// when it was reached.
struct ConfigIniRead {
    enum class Kind { Key, Value };
    Kind kind = Kind::Key;
    std::size_t start = 0;
    std::size_t end = 0;
    std::string text;   // as read, before trimming, without the delimiter
    bool full = false;  // stopped at the limit (64 or 512 bytes), before any delimiter
};

class ConfigIni {
  public:
    static constexpr std::size_t kMaxKeyBytes = 64;
    static constexpr std::size_t kMaxValueBytes = 512;

    explicit ConfigIni(std::string bytes);

    // The value the library takes for `key`: that of the last entry that has one, or empty.
    std::string Value(const std::string& key) const;

    // Why the library finds no value for `key`, naming the lines of the file involved;
    // empty when the file does not hold the key in any form.
    std::string ExplainMissing(const std::string& key) const;

    // A note when the value the library takes for `key` is shorter than the one on its line
    // (cut at kMaxValueBytes); empty otherwise.
    std::string ExplainValue(const std::string& key) const;

    const std::vector<ConfigIniRead>& Reads() const { return reads_; }

  private:
    // The 1-based line of byte `offset`.
    std::size_t LineOf(std::size_t offset) const;
    // Why key read `index` starts before line `line` and runs into it, and what it takes in.
    std::string WhyKeyRunsInto(std::size_t index, std::size_t line) const;

    std::string bytes_;
    std::vector<ConfigIniRead> reads_;
};

}  // namespace kavex

#endif  // KAVEX_CONFIG_CONFIGINI_H
