// An array that grows in place: address space for many times its size is
// reserved once, without memory behind it, and pages are made usable as the
// array grows, so appending never copies what is there and never moves it.
//
// Only when a reservation is used up is a new one, eight times larger, made
// and the contents copied once. The block is shared: whoever holds block()
// keeps it mapped, and the elements below size() at that time are never
// written again while it is shared (see truncate()).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace tavrin::retrieval {

class GrowingBytes {
public:
    GrowingBytes() = default;
    GrowingBytes(const GrowingBytes &) = delete;
    GrowingBytes &operator=(const GrowingBytes &) = delete;
    GrowingBytes(GrowingBytes &&other) noexcept { *this = std::move(other); }
    GrowingBytes &operator=(GrowingBytes &&other) noexcept {
        if (this != &other) {
            block_ = std::move(other.block_);
            usable_ = std::exchange(other.usable_, 0);
            reserved_ = std::exchange(other.reserved_, 0);
        }
        return *this;
    }

    // Makes the first `bytes` bytes usable (contents kept). `used` of them
    // hold data; `dirty` is how far data was ever written. Throws
    // std::bad_alloc when the system refuses the memory.
    void ensure(std::size_t bytes, std::size_t used, std::size_t dirty);
    std::byte *data() const noexcept { return block_.get(); }
    const std::shared_ptr<std::byte[]> &block() const noexcept { return block_; }
    std::size_t usable() const noexcept { return usable_; }

private:
    std::shared_ptr<std::byte[]> block_;
    std::size_t usable_ = 0;   // bytes readable and writable
    std::size_t reserved_ = 0; // bytes of address space
};

template <class T> class GrowingArray {
public:
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return bytes_.usable() / sizeof(T); }
    T *data() noexcept { return reinterpret_cast<T *>(bytes_.data()); }
    const T *data() const noexcept { return reinterpret_cast<const T *>(bytes_.data()); }
    // The block, aliased as T: holding it keeps the memory mapped.
    std::shared_ptr<const T[]> block() const noexcept {
        return std::shared_ptr<const T[]>(bytes_.block(), data());
    }

    // Room for `extra` more elements.
    void reserve_more(std::size_t extra) {
        bytes_.ensure((size_ + extra) * sizeof(T), size_ * sizeof(T), dirty_ * sizeof(T));
        if (dirty_ > size_ && bytes_.block().use_count() == 1)
            dirty_ = size_; // nobody else reads the tail: it may be written again
    }
    // Appends one element; needs room (reserve_more).
    void push_back(const T &v) noexcept {
        data()[size_++] = v;
        if (size_ > dirty_)
            dirty_ = size_;
    }
    // Marks `n` elements written at the end (through data()) as part of the array.
    void grow_by(std::size_t n) noexcept {
        size_ += n;
        if (size_ > dirty_)
            dirty_ = size_;
    }
    void truncate(std::size_t n) noexcept {
        if (n < size_)
            size_ = n;
    }

private:
    GrowingBytes bytes_;
    std::size_t size_ = 0;
    std::size_t dirty_ = 0; // elements ever written: past size_ after truncate()
};

} // namespace tavrin::retrieval
