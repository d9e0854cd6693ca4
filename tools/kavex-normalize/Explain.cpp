#include "Explain.h"

#include <cstdio>
#include <string>
#include <vector>

#include "Failure.h"
#include "common/Utf8.h"

namespace kavex::cli {

namespace {

std::string Notation(const std::u16string& units) {
    std::string out;
    char buffer[16];
    for (char16_t unit : units) {
        std::snprintf(buffer, sizeof buffer, " U+%04X", static_cast<unsigned>(unit));
        out += buffer;
    }
    return out;
}

std::string ReadAll(const Input& input) {
    std::FILE* stream = OpenInput(input);
    std::string bytes;
    char buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) bytes.append(buffer, got);
    const bool failed = std::ferror(stream) != 0;
    CloseInput(stream);
    if (failed) throw Failure{kExitIo, input.name + ": cannot read"};
    return bytes;
}

// The line (1-based) of byte `offset`: one more than the line feeds before it.
std::size_t LineOf(const std::string& bytes, std::size_t offset, Encoding encoding) {
    std::size_t line = 1;
    const std::size_t step = encoding == Encoding::Utf16le ? 2 : 1;
    for (std::size_t i = 0; i + step <= offset; i += step) {
        line += bytes[i] == '\n' && (step == 1 || bytes[i + 1] == '\0');
    }
    return line;
}

// The units of the input; invalid bytes are named as the pipeline names them.
std::u16string Decode(const Input& input, const std::string& bytes, Encoding encoding) {
    const auto invalid = [&](std::size_t offset, const std::string& reason,
                             const std::string& hint = std::string()) {
        return Failure{kExitData, input.name + ": line " +
                                      std::to_string(LineOf(bytes, offset, encoding)) +
                                      ", byte offset " + std::to_string(offset) + ": invalid " +
                                      (encoding == Encoding::Utf8 ? "UTF-8" : "UTF-16LE") + " (" +
                                      reason + ")" + hint};
    };
    std::u16string text;
    if (encoding == Encoding::Utf16le) {
        if (bytes.size() % 2 != 0) {
            throw invalid(bytes.size() - 1, "a lone final byte (UTF-16LE has two per unit)");
        }
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        return text;
    }
    text.resize(bytes.size());
    const Converted converted = ConvertUtf8ToUtf16(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &text[0]);
    if (converted.read < bytes.size()) {
        throw invalid(
            converted.read, converted.error ? converted.error : "truncated sequence",
            ByteOrderMarkHint(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    }
    text.resize(converted.written);
    return text;
}

class Writer {
  public:
    Writer(Output& output, Encoding encoding, const std::string& name)
        : output(output), encoding(encoding), name(name) {}

    void Text(const std::u16string& text, std::size_t line) {
        if (encoding == Encoding::Utf16le) {
            Units(text);
            return;
        }
        std::string bytes;
        const std::size_t done = AppendUtf16AsUtf8(text.data(), text.size(), bytes);
        if (done < text.size()) {
            char unit[8];
            std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(text[done]));
            throw Failure{kExitData, name + ": line " + std::to_string(line) +
                                         ": the normalized text holds a lone surrogate U+" + unit +
                                         ", which UTF-8 cannot carry (--encoding "
                                         "utf-16le can)"};
        }
        output.Write(bytes.data(), bytes.size());
    }
    // ASCII.
    void Line(const std::string& text) {
        if (encoding == Encoding::Utf16le) {
            Units(std::u16string(text.begin(), text.end()));
        } else {
            output.Write(text.data(), text.size());
        }
    }

  private:
    void Units(const std::u16string& text) {
        std::string bytes;
        for (char16_t unit : text) {
            bytes.push_back(static_cast<char>(unit & 0xFF));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
        output.Write(bytes.data(), bytes.size());
    }

    Output& output;
    Encoding encoding;
    const std::string& name;
};

}  // namespace

void ExplainInput(const FormRules& rules, const Input& input, Encoding encoding, Output& output) {
    const std::u16string text = Decode(input, ReadAll(input), encoding);
    const kavex::Normalizer& normalizer = rules.Engine();
    Writer writer(output, encoding, input.name);
    std::vector<kavex::NormalizationStep> steps;
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start < text.size();) {
        ++lineNumber;
        std::size_t end = text.find(u'\n', start);
        end = end == std::u16string::npos ? text.size() : end + 1;
        // As the tool normalizes a line: U+0000 ends a run, passed through; offsets are
        // the line's.
        std::u16string result;
        std::string trace;
        for (std::size_t run = start; run < end;) {
            std::size_t stop = run;
            while (stop < end && text[stop] != 0) ++stop;
            steps.clear();
            const std::size_t resultStart = result.size();
            result += normalizer.Explain(text.substr(run, stop - run), steps);
            for (const kavex::NormalizationStep& step : steps) {
                if (step.kind == kavex::NormalizationStep::Kind::kHehMoved) {
                    trace += "  U+06BE moved from " + std::to_string(run - start + step.from) +
                             " to " + std::to_string(run - start + step.to) + "\n";
                } else {
                    const kavex::NormalizationRule& rule = normalizer.rules[step.rule];
                    trace += "  at " + std::to_string(run - start + step.from) + " (" +
                             std::to_string(resultStart + step.to) + " in the result), line " +
                             std::to_string(step.rule + 1) + ":" + Notation(rule.source) + " ->" +
                             Notation(rule.replacement) + "\n";
                }
            }
            if (stop < end) result.push_back(0);
            run = stop + 1;
        }
        writer.Text(result, lineNumber);
        if (result.empty() || result.back() != u'\n') writer.Line("\n");
        writer.Line(trace);
        start = end;
    }
}

}  // namespace kavex::cli
