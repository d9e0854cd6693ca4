// Shared pieces of the fuzz targets: a private scratch folder, reading structured values
// off the fuzzer's bytes, and guard bytes around output buffers.
#ifndef KAVEX_FUZZ_FUZZSUPPORT_H
#define KAVEX_FUZZ_FUZZSUPPORT_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/GuardedBuffer.h"

namespace kavex::fuzz {

// Reports a broken invariant with the target's name and stops, so that libFuzzer saves
// the input and the replay test fails.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "kavex fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

inline void Check(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// A folder of its own under the system's temporary folder, removed at exit. Created once
// per process: the targets write their files there on every input.
class ScratchDir {
  public:
    static const std::filesystem::path& Path() {
        static ScratchDir instance;
        return instance.path_;
    }

    static std::string Write(const std::string& name, const uint8_t* data, std::size_t size) {
        const std::filesystem::path file = Path() / name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        Check(static_cast<bool>(out), "scratch file written");
        return file.string();
    }

  private:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kavex-fuzz-XXXXXX");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        Check(mkdtemp(buffer.data()) != nullptr, "scratch folder created");
        path_ = buffer.data();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::filesystem::path path_;
};

// Takes values off the front of the fuzzer's bytes; once they run out, every value is 0.
class Reader {
  public:
    Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    std::size_t Remaining() const { return Empty() ? 0 : size_ - offset_; }
    const uint8_t* Here() const { return data_ + offset_; }

    uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }
    uint16_t Unit() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    void Skip(std::size_t count) { offset_ += count < Remaining() ? count : Remaining(); }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

using testing::GuardedBuffer;

}  // namespace kavex::fuzz

#endif  // KAVEX_FUZZ_FUZZSUPPORT_H
