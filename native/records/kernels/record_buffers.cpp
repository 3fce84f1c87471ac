// Growable record columns: malloc memory while small, a huge-page mapping once large.
#include "records/kernels/record_buffers.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessary::kernels {

namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A column moves to its own mapping from this size on: at most half of its last
// huge page then goes unused.
constexpr std::size_t kMapFrom = std::size_t{4} << 20;

std::size_t round_up(std::size_t bytes, std::size_t to) {
    if (bytes > SIZE_MAX - to) throw std::bad_alloc();
    return (bytes + to - 1) / to * to;
}

/// A fresh anonymous mapping of `bytes` (a multiple of the huge-page size), marked
/// for huge pages. The mark is a hint: without transparent huge pages the mapping
/// works with small pages.
void *map_huge(std::size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}
#endif

}  // namespace

void free_block(const OwnedBlock &block) noexcept {
#if defined(__linux__)
    if (block.bytes != 0) {
        munmap(block.data, block.bytes);
        return;
    }
#endif
    std::free(block.data);
}

template <class T>
Column<T> &Column<T>::operator=(Column &&o) noexcept {
    if (this != &o) {
        free_block(release());
        data_ = o.data_;
        bytes_ = o.bytes_;
        mapped_ = o.mapped_;
        o.forget();
    }
    return *this;
}

template <class T>
Column<T>::~Column() {
    free_block(release());
}

template <class T>
void Column<T>::reserve(std::size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = capacity * sizeof(T);
    if (bytes <= bytes_) return;
#if defined(__linux__)
    if (mapped_) {
        const std::size_t grown = round_up(bytes, kHugePage);
        // The pages move with their page tables; nothing is copied.
        void *p = mremap(data_, bytes_, grown, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<T *>(p);
        bytes_ = grown;
        return;
    }
    if (bytes >= kMapFrom) {
        const std::size_t grown = round_up(bytes, kHugePage);
        void *p = map_huge(grown);
        // The small column's whole allocation (its used part is not known here).
        if (bytes_ != 0) std::memcpy(p, data_, bytes_);
        std::free(data_);
        data_ = static_cast<T *>(p);
        bytes_ = grown;
        mapped_ = true;
        return;
    }
#endif
    void *p = std::realloc(data_, bytes);
    if (p == nullptr && bytes > 0) throw std::bad_alloc();
    data_ = static_cast<T *>(p);
    bytes_ = bytes;
}

template <std::size_t N>
void RecordTable<N>::reserve(std::size_t n) {
    if (n <= capacity) return;
    const std::size_t grown = std::max({n, 2 * capacity, (std::size_t)4096});
    day.reserve(grown);
    stock.reserve(grown);
    if (tagged) tag.reserve(grown);
    for (auto &v : value) v.reserve(grown);
    capacity = grown;
}

template <std::size_t N>
std::size_t RecordTable<N>::bytes() const {
    return size * (2 * sizeof(std::int32_t) + (tagged ? 1 : 0) + N * sizeof(double));
}

template class Column<std::int32_t>;
template class Column<std::uint8_t>;
template class Column<double>;
template struct RecordTable<1>;
template struct RecordTable<2>;
template struct RecordTable<5>;

}  // namespace tessary::kernels
