// The reference of the Python tests: a host of the public class that normalizes UTF-16LE
// standard input with the sized Normalize, one call per piece between zero units (the
// sized form ends its input at one), and writes the result to standard output.
//
//   reference_host RULES_DIR nfd|nfc|nfkd < in.utf16 > out.utf16
#include <kavex/Normalization.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: reference_host RULES_DIR nfd|nfc|nfkd\n");
        return 64;
    }
    const std::string form = argv[2];
    const Normalization::NormMode mode = form == "nfd"   ? Normalization::NFD
                                         : form == "nfc" ? Normalization::NFC
                                                         : Normalization::NFKD;
    const std::string input((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
    Normalization norm;
    if (chdir(argv[1]) != 0 || !norm.Initialize()) {
        std::fprintf(stderr, "reference_host: cannot load %s\n", argv[1]);
        return 2;
    }
    const unsigned char* units = reinterpret_cast<const unsigned char*>(input.data());
    const size_t count = input.size() / 2;
    std::string output;
    size_t start = 0;
    for (size_t i = 0; i <= count; ++i) {
        const bool zero = i < count && units[2 * i] == 0 && units[2 * i + 1] == 0;
        if (i < count && !zero) continue;
        if (i > start) {
            const int length = static_cast<int>(2 * (i - start));
            const int needed = norm.Normalize(units + 2 * start, length, mode, nullptr, 0);
            std::vector<unsigned char> result(static_cast<size_t>(-needed));
            const int written =
                norm.Normalize(units + 2 * start, length, mode, result.data(), -needed);
            if (needed >= 0 || written != -needed) return 1;
            output.append(reinterpret_cast<const char*>(result.data()), written - 1);
        }
        if (zero) output.append(2, '\0');
        start = i + 1;
    }
    std::cout.write(output.data(), static_cast<std::streamsize>(output.size()));
    return std::cout ? 0 : 1;
}
