// A growable array of trivial values that, unlike std::vector, does not fill what it
// grows by: the pieces of kavex-normalize reuse their buffers, and each byte of them is
// written before it is read.
#ifndef KAVEX_TOOLS_NORMALIZE_BUFFER_H
#define KAVEX_TOOLS_NORMALIZE_BUFFER_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace kavex::cli {

template <typename T>
class Buffer {
    static_assert(std::is_trivial<T>::value, "Buffer holds plain values");

  public:
    T* Data() { return data_.get(); }
    const T* Data() const { return data_.get(); }
    std::size_t Size() const { return size_; }

    // Room for `count` values, keeping the first Size() of them.
    void Reserve(std::size_t count) {
        if (count <= capacity_) return;
        const std::size_t grown = std::max(count, capacity_ + capacity_ / 2);
        std::unique_ptr<T[]> larger(new T[grown]);
        if (size_ > 0) std::memcpy(larger.get(), data_.get(), size_ * sizeof(T));
        data_ = std::move(larger);
        capacity_ = grown;
    }
    // The new values are not set.
    void Resize(std::size_t count) {
        Reserve(count);
        size_ = count;
    }
    void Append(const T* values, std::size_t count) {
        Reserve(size_ + count);
        if (count > 0) std::memcpy(data_.get() + size_, values, count * sizeof(T));
        size_ += count;
    }

  private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_BUFFER_H
