// The library's own time on the text of a tool run, for bench/tool-bench.sh: the UTF-8 file
// is converted to UTF-16LE in memory once, then the sized Normalize of one form is called on
// the whole text with exactly the room of its result, several times; prints the fastest
// run in seconds and the units of the text.
//
//   kavex_library_time RULES_DIR nfd|nfc|nfkd FILE [RUNS]
//
// RULES_DIR holds config.ini (the shipped rules). Exits 1 when anything fails.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "kavex/Normalization.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kavex_library_time RULES_DIR nfd|nfc|nfkd FILE [RUNS]\n");
        return 1;
    }
    const std::string form = argv[2];
    const Normalization::NormMode mode = form == "nfd"   ? Normalization::NFD
                                         : form == "nfc" ? Normalization::NFC
                                                         : Normalization::NFKD;
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;

    std::ifstream file(std::filesystem::absolute(argv[3]), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<char16_t> units(bytes.size() + 1);
    const kavex::cli::Converted converted = kavex::cli::ConvertUtf8ToUtf16(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), units.data());
    if (!file || converted.read != bytes.size()) {
        std::fprintf(stderr, "kavex_library_time: %s is not readable UTF-8\n", argv[3]);
        return 1;
    }
    std::vector<unsigned char> input(2 * converted.written);
    for (std::size_t i = 0; i < converted.written; ++i) {
        input[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        input[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
    if (input.size() > INT_MAX / 2) {
        std::fprintf(stderr, "kavex_library_time: %s is too large for one call\n", argv[3]);
        return 1;
    }

    std::filesystem::current_path(argv[1]);
    Normalization norm;
    if (!norm.Initialize()) {
        std::fprintf(stderr, "kavex_library_time: cannot load the rules in %s\n", argv[1]);
        return 1;
    }
    const int length = static_cast<int>(input.size());
    const int needed = -norm.Normalize(input.data(), length, mode, nullptr, 0);
    if (needed <= 0) {
        std::fprintf(stderr, "kavex_library_time: no size for the result\n");
        return 1;
    }
    // Touched once before timing, as the tool reuses its buffers.
    std::vector<unsigned char> output(static_cast<std::size_t>(needed), 1);
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const int written = norm.Normalize(input.data(), length, mode, output.data(), needed);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (written != needed) {
            std::fprintf(stderr, "kavex_library_time: Normalize wrote %d of %d bytes\n", written,
                         needed);
            return 1;
        }
        best = std::min(best, took.count());
    }
    std::printf("%.6f %zu\n", best, converted.written);
    return 0;
}
