// normalize-line: prints a line of UTF-8 text in NFC, normalized by kavex.
//
//   normalize-line [TEXT]    (without TEXT: the Urdu word پّھ, shadda typed before the heh)
//
// kavex reads "config.ini" from the current directory, and the rules files it names from
// paths relative to that directory. Run this from a folder with such a config.ini: the
// installed rules, <prefix>/share/kavex/rules, are one.
#include <kavex/Normalization.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The library takes UTF-16LE bytes; this example takes and prints UTF-8 (well-formed input
// assumed, as a real program would check).
std::vector<unsigned char> Utf16leFromUtf8(const std::string& text) {
    std::vector<unsigned char> out;
    auto put = [&out](unsigned unit) {
        out.push_back(static_cast<unsigned char>(unit & 0xFF));
        out.push_back(static_cast<unsigned char>(unit >> 8));
    };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length && i + k < text.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += length;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

std::string Utf8FromUtf16le(const std::vector<unsigned char>& bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t c = bytes[i] | bytes[i + 1] << 8;
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((bytes[i + 2] | bytes[i + 3] << 8) - 0xDC00);
            i += 2;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string line = argc > 1 ? argv[1] : "\u067E\u0651\u06BE";

    Normalization norm;
    bool ready = false;
    try {
        ready = norm.Initialize();
    } catch (...) {
        // An opened config.ini that cannot be read raises; its type is not exported.
        std::fprintf(stderr, "normalize-line: config.ini in %s could not be read\n",
                     std::filesystem::current_path().string().c_str());
        return 2;
    }
    if (!ready) {
        std::fprintf(stderr,
                     "normalize-line: no usable config.ini in %s, or a rules file it names is "
                     "missing; run this from the installed rules, <prefix>/share/kavex/rules\n",
                     std::filesystem::current_path().string().c_str());
        return 2;
    }

    const std::vector<unsigned char> text = Utf16leFromUtf8(line);
    const int length = static_cast<int>(text.size());
    // A null output with capacity 0 asks for the size: -(2n + 1) bytes, the last a zero byte.
    const int needed = norm.Normalize(text.data(), length, Normalization::NFC, nullptr, 0);
    std::vector<unsigned char> result(needed < 0 ? -needed : 1);
    const int written =
        norm.Normalize(text.data(), length, Normalization::NFC, result.data(), -needed);
    if (written <= 0) {
        std::fprintf(stderr, "normalize-line: the text could not be normalized\n");
        return 1;
    }
    result.resize(written - 1);  // without the terminating zero byte
    std::printf("%s\n", Utf8FromUtf16le(result).c_str());
    return 0;
}
