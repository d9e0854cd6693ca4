#include "RulesFile.h"

namespace kavex::rules {

RulesFileImage ReadRulesFileBytes(const std::string& bytes) {
    RulesFileImage image;
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        image.status = RulesFileImage::Status::kNoMark;
        return image;
    }
    const std::size_t count = (bytes.size() - 2) / 2;
    image.oddByte = bytes.size() % 2 != 0;
    const auto unitAt = [&bytes](std::size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                     (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    };
    std::u16string accumulator;
    std::u16string source;
    std::size_t colons = 0;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t unit = unitAt(i);
        if (unit == kColon) {
            source.swap(accumulator);
            accumulator.clear();
            ++colons;
        } else if (unit == kCarriageReturn) {
            FileLine line;
            line.rule = Rule{source, accumulator, image.lines.size() + 1};
            line.colons = colons;
            accumulator.clear();
            colons = 0;
            // The loader appends the rule, then fails on its next read.
            if (i + 1 >= count) {
                image.lines.push_back(std::move(line));
                image.status = RulesFileImage::Status::kEndsWithCr;
                return image;
            }
            line.dropped = unitAt(++i);
            line.bareCr = line.dropped != kLineFeed;
            lineStart = i + 1;
            image.lines.push_back(std::move(line));
        } else {
            accumulator.push_back(unit);
        }
    }
    // The unfinished line, colons and all, is dropped.
    for (std::size_t i = lineStart; i < count; ++i) image.trailing.push_back(unitAt(i));
    return image;
}

const char* UnwritableReason(const std::u16string& source, const std::u16string& replacement) {
    if (source.find(kColon) != std::u16string::npos) {
        return "the source holds U+003A ':', which ends a source in a rules file";
    }
    if (source.find(kCarriageReturn) != std::u16string::npos) {
        return "the source holds U+000D (CR), which ends a line in a rules file";
    }
    if (replacement.find(kColon) != std::u16string::npos) {
        return "the replacement holds U+003A ':', which a rules file would read as the end of "
               "a source";
    }
    if (replacement.find(kCarriageReturn) != std::u16string::npos) {
        return "the replacement holds U+000D (CR), which ends a line in a rules file";
    }
    return nullptr;
}

std::string WriteRulesFile(const std::vector<Rule>& rules) {
    std::string bytes;
    WriteRulesFile(rules, static_cast<std::size_t>(-1),
                   [&bytes](const std::string& block) { bytes += block; });
    return bytes;
}

}  // namespace kavex::rules
