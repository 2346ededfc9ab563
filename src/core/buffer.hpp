// An owned, growable buffer of trivially copyable values with checked sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "core/fault.hpp"

namespace vorn::core {

// The storage of a finished buffer, handed over to whoever frees it with
// `std::free`.
template <class T>
struct raw_parts {
    T* data;
    std::size_t length;
    std::size_t capacity;
};

// Like a vector of T, but every allocation failure becomes allocation_failure
// (MemoryError) and every unrepresentable size the fault "capacity overflow",
// and the storage can be released to a foreign owner without a copy.
template <class T>
class owned_buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    owned_buffer() = default;
    explicit owned_buffer(std::size_t capacity) { reserve(capacity); }
    owned_buffer(const owned_buffer&) = delete;
    owned_buffer& operator=(const owned_buffer&) = delete;
    owned_buffer(owned_buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    owned_buffer& operator=(owned_buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~owned_buffer() { std::free(data_); }

    // Buffers up to 2^63 - 1 bytes are representable; larger ones are a fault.
    static std::size_t bytes_for(std::size_t count) {
        constexpr std::size_t limit = static_cast<std::size_t>(INT64_MAX) / sizeof(T);
        if (count > limit) fail("capacity overflow");
        return count * sizeof(T);
    }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        const std::size_t bytes = bytes_for(capacity);
        void* grown = std::realloc(data_, bytes);
        if (grown == nullptr) throw allocation_failure(bytes);
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    // Storage for `capacity` values on an empty buffer, its start a multiple
    // of `alignment` (a power of two, at least alignof(T)) and its bytes
    // rounded up to one: a buffer that starts and ends on huge-page
    // boundaries can be backed by huge pages throughout. Freed with
    // std::free like any other.
    void reserve_aligned(std::size_t capacity, std::size_t alignment) {
        const std::size_t bytes = bytes_for(capacity);
        if (bytes > SIZE_MAX - alignment) fail("capacity overflow");
        const std::size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
        void* storage = std::aligned_alloc(alignment, rounded);
        if (storage == nullptr) throw allocation_failure(rounded);
        std::free(data_);
        data_ = static_cast<T*>(storage);
        size_ = 0;
        capacity_ = capacity;
    }

    // Sets the length to `count` without initialising new slots; every slot
    // must be written before it is read.
    void resize_for_overwrite(std::size_t count) {
        reserve(count);
        size_ = count;
    }

    void clear() noexcept { size_ = 0; }

    void push_back(T value) {
        if (size_ == capacity_) reserve(capacity_ < 4 ? 4 : grown_capacity());
        data_[size_++] = value;
    }

    // For callers that reserved enough room up front.
    void push_back_unchecked(T value) noexcept { data_[size_++] = value; }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    raw_parts<T> release() noexcept {
        raw_parts<T> parts{data_, size_, capacity_};
        data_ = nullptr;
        size_ = capacity_ = 0;
        return parts;
    }

private:
    std::size_t grown_capacity() const {
        constexpr std::size_t limit = static_cast<std::size_t>(INT64_MAX) / sizeof(T);
        if (capacity_ >= limit) fail("capacity overflow");
        return capacity_ > limit / 2 ? limit : capacity_ * 2;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vorn::core
