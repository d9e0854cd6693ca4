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

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVEX_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KAVEX_FUZZ_ASAN 1
#endif
#if defined(KAVEX_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

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

// An output buffer of exactly `capacity` usable bytes followed by guard bytes. Under
// AddressSanitizer the guard is poisoned, so a write past capacity stops the run at the
// write itself; elsewhere the guard pattern is checked afterwards.
class GuardedBuffer {
  public:
    static constexpr std::size_t kGuard = 32;
    static constexpr uint8_t kFill = 0xA5;

    explicit GuardedBuffer(std::size_t capacity)
        : capacity_(capacity), bytes_(capacity + kGuard, kFill) {
#if defined(KAVEX_FUZZ_ASAN)
        ASAN_POISON_MEMORY_REGION(bytes_.data() + capacity_, kGuard);
#endif
    }
    ~GuardedBuffer() {
#if defined(KAVEX_FUZZ_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(bytes_.data() + capacity_, kGuard);
#endif
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    unsigned char* Data() { return bytes_.data(); }
    std::size_t Capacity() const { return capacity_; }

    bool GuardIntact() {
#if defined(KAVEX_FUZZ_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(bytes_.data() + capacity_, kGuard);
#endif
        bool intact = true;
        for (std::size_t i = capacity_; i < bytes_.size(); ++i) intact &= bytes_[i] == kFill;
#if defined(KAVEX_FUZZ_ASAN)
        ASAN_POISON_MEMORY_REGION(bytes_.data() + capacity_, kGuard);
#endif
        return intact;
    }
    bool Untouched() {
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (bytes_[i] != kFill) return false;
        }
        return GuardIntact();
    }

  private:
    std::size_t capacity_;
    std::vector<unsigned char> bytes_;
};

}  // namespace kavex::fuzz

#endif  // KAVEX_FUZZ_FUZZSUPPORT_H
