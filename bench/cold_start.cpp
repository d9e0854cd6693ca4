// One cold start, for timing whole processes: the program that a host runs once pays for
// loading the rules before its first Normalize.
//
//   kavex_cold_start              constructs a Normalization and exits (the baseline)
//   kavex_cold_start init         the same, and Initialize from "config.ini" here
//   kavex_cold_start load FILE    loads one rules file into one normalizer and prints its
//                                 rules, states, alphabet and matcher bytes
//
// Exits 1 when the rules do not load.
#include <cstdio>
#include <cstring>

#include "engine/Normalizer.h"
#include "kavex/Normalization.h"

int main(int argc, char** argv) {
    Normalization norm;
    if (argc >= 2 && std::strcmp(argv[1], "init") == 0) {
        if (!norm.Initialize()) {
            std::fprintf(stderr, "kavex_cold_start: Initialize failed\n");
            return 1;
        }
    } else if (argc >= 3 && std::strcmp(argv[1], "load") == 0) {
        kavex::Normalizer normalizer;
        if (!normalizer.LoadRules(argv[2])) {
            std::fprintf(stderr, "kavex_cold_start: cannot load %s\n", argv[2]);
            return 1;
        }
        std::printf("%zu %zu %u %zu\n", normalizer.rules.size(), normalizer.StateCount(),
                    static_cast<unsigned>(normalizer.AlphabetSize()), normalizer.MemoryBytes());
    } else if (argc >= 2) {
        std::fprintf(stderr, "usage: kavex_cold_start [init | load FILE]\n");
        return 2;
    }
    return 0;
}
