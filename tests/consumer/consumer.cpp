// Uses only what an installed kavex provides: the header and the shared library. When
// given the installed rules folder, it initializes there and normalizes one word.
#include <kavex/Normalization.h>

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    Normalization norm;
    unsigned char in[] = {0x23, 0x06, 0x4E, 0x06};  // U+0623 U+064E
    unsigned char out[64];
    if (norm.Normalize(in, sizeof in, Normalization::NFD, out, sizeof out) != 0) return 1;
    if (argc < 2) return 0;

    std::filesystem::current_path(argv[1]);
    if (!norm.Initialize()) {
        std::fprintf(stderr, "consumer: Initialize failed in %s\n", argv[1]);
        return 2;
    }
    int written = norm.Normalize(in, sizeof in, Normalization::NFD, out, sizeof out);
    if (written < 5 || written % 2 == 0) return 3;
    std::printf("consumer: %d bytes\n", written);
    return 0;
}
