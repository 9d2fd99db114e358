#include "core/retrieval/growing_array.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace tavrin::retrieval {

namespace {

constexpr std::size_t min_reservation = std::size_t{1} << 30; // 1 GiB of address space, no memory

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

std::shared_ptr<std::byte[]> reserve(std::size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    // the deleter also runs when the control block cannot be allocated
    return std::shared_ptr<std::byte[]>(static_cast<std::byte *>(p),
                                        [bytes](std::byte *q) noexcept { munmap(q, bytes); });
}

void make_usable(std::byte *base, std::size_t from, std::size_t to) {
    if (to > from && mprotect(base + from, to - from, PROT_READ | PROT_WRITE) != 0)
        throw std::bad_alloc();
}

} // namespace

void GrowingBytes::ensure(std::size_t bytes, std::size_t used, std::size_t dirty) {
    // Data was written past `used` and someone still reads the block: those
    // bytes must not change under them, so the data moves to a new block.
    bool shared_tail = dirty > used && block_ && block_.use_count() > 1;
    if (bytes <= usable_ && !shared_tail)
        return;
    std::size_t page = page_size();
    if (bytes <= reserved_ && !shared_tail) {
        // grow in place: at least double what is usable, so mprotect calls stay few
        std::size_t want = std::min(reserved_, round_up(std::max(bytes, 2 * usable_), page));
        make_usable(block_.get(), usable_, want);
        usable_ = want;
        return;
    }
    std::size_t want = round_up(std::max(bytes, 2 * usable_), page);
    std::size_t reservation = std::max(min_reservation, round_up(8 * want, page));
    if (reservation / 8 < want) // overflow
        throw std::bad_alloc();
    std::shared_ptr<std::byte[]> fresh = reserve(reservation);
    make_usable(fresh.get(), 0, want);
    if (used > 0)
        std::memcpy(fresh.get(), block_.get(), used);
    block_ = std::move(fresh);
    usable_ = want;
    reserved_ = reservation;
}

} // namespace tavrin::retrieval
