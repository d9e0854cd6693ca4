#include "Support.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kavex/Normalization.h"

namespace fs = std::filesystem;

namespace {
Normalization* oracle = nullptr;
}

int support_oracle_open(const char* folder) {
    support_oracle_close();
    oracle = new Normalization();
    // The class reads config.ini from the current directory.
    std::error_code error;
    const fs::path before = fs::current_path(error);
    fs::current_path(fs::u8path(folder), error);
    if (error) return 0;
    const bool ready = oracle->Initialize();
    fs::current_path(before, error);
    return ready ? 1 : 0;
}

long support_oracle_normalize(int form, const uint16_t* input, size_t length, uint16_t* output,
                              size_t capacity) {
    if (oracle == nullptr || length > INT_MAX / 2) return -1;
    std::vector<unsigned char> bytes(2 * length + 1);
    for (size_t i = 0; i < length; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(input[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(input[i] >> 8);
    }
    const auto mode = static_cast<Normalization::NormMode>(form);
    const int needed =
        oracle->Normalize(bytes.data(), static_cast<int>(2 * length), mode, nullptr, 0);
    if (needed >= 0) return -1;  // a result needs its terminator, so this is a refusal
    std::vector<unsigned char> result(static_cast<size_t>(-needed));
    if (oracle->Normalize(bytes.data(), static_cast<int>(2 * length), mode, result.data(),
                          -needed) != -needed) {
        return -1;
    }
    const size_t units = (result.size() - 1) / 2;
    if (units <= capacity) {
        for (size_t i = 0; i < units; ++i) {
            output[i] = static_cast<uint16_t>(result[2 * i] | (result[2 * i + 1] << 8));
        }
    }
    return static_cast<long>(units);
}

void support_oracle_close(void) {
    delete oracle;
    oracle = nullptr;
}

char* support_temp_folder(void) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const fs::path base = fs::temp_directory_path();
    fs::path folder;
    do {
        folder = base / ("kavex-c-test-" + std::to_string(random()));
    } while (!fs::create_directory(folder));
    const std::string path = folder.u8string();
    char* copy = static_cast<char*>(std::malloc(path.size() + 1));
    std::memcpy(copy, path.c_str(), path.size() + 1);
    return copy;
}

int support_make_folder(const char* path) {
    std::error_code error;
    return fs::create_directories(fs::u8path(path), error) ? 1 : 0;
}

void support_remove_tree(const char* path) {
    std::error_code ignored;
    fs::remove_all(fs::u8path(path), ignored);
}

int support_set_env(const char* name, const char* value) {
#if defined(_WIN32)
    return _putenv_s(name, value != nullptr ? value : "") == 0 ? 1 : 0;
#else
    return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0 ? 1 : 0;
#endif
}

void support_run_threads(int count, void (*body)(void* arg, int index), void* arg) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(body, arg, i);
    for (std::thread& thread : threads) thread.join();
}
