// Runs a fuzz target over files and folders of inputs without libFuzzer, so the targets
// build with any compiler and their corpus runs as an ordinary test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

bool Run(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    // An exact-size copy, so a sanitizer sees any read past the input.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Targets may change the current folder when they start.
    std::vector<std::filesystem::path> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(std::filesystem::absolute(argv[i]));
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (const auto& path : arguments) {
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else {
            files.push_back(path);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s <input file or folder>...: no inputs found\n", argv[0]);
        return 1;
    }
    std::size_t ran = 0;
    for (const auto& file : files) {
        if (!Run(file)) return 1;
        ++ran;
    }
    std::printf("%zu inputs ran\n", ran);
    return 0;
}
