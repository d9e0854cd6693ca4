// Compiled only for its syntax, as an MSVC user would compile it (scripts/check-msvc-header):
// the public header must stand alone, with no standard header and no GCC-only construct.
#include "kavex/Normalization.h"

int NormalizeForHost(Normalization& normalization, const unsigned char* input, int length,
                     unsigned char* output, int capacity) {
    if (!normalization.Initialize()) return 0;
    Normalization copy;
    copy = normalization;
    int written = copy.Normalize(input, length, Normalization::NFKD, output, capacity);
    copy.Clear();
    static_assert(sizeof(Normalization::NormMode) == sizeof(int), "NormMode is as wide as an int");
    return written;
}
