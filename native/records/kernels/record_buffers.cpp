// Growable record columns: malloc memory while small, a huge-page mapping once large.
#include "records/kernels/record_buffers.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessary::kernels {

namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A column moves to its own mapping from this size on (the small pages below it
// are faulted in one by one, which is what the mapping avoids); its last huge page
// may then be partly unused.
constexpr std::size_t kMapFrom = std::size_t{1} << 20;

std::size_t round_up(std::size_t bytes, std::size_t to) {
    if (bytes > SIZE_MAX - to) throw std::bad_alloc();
    return (bytes + to - 1) / to * to;
}

// Mappings of columns freed by earlier passes, kept for the next pass. The kernel
// clears every fresh page before handing it over, and for a large market that
// clearing (with the fault) costs about a third of the pass's processor time;
// a backtest run again (over other parameters, say) reuses the pages the last
// one's records held instead. The kept pages are marked free to the kernel
// (MADV_FREE): under memory pressure it takes them back (a later write then faults
// in a cleared page, as for fresh memory); otherwise they are reused as they are,
// with whatever they held, which the writer overwrites before anything reads it.
// At most kKeepBytes in at most kKeepBlocks mappings are kept.
constexpr std::size_t kKeepBytes = std::size_t{512} << 20;
constexpr std::size_t kKeepBlocks = 128;

struct Kept {
    std::mutex lock;  // columns are grown and freed on any thread
    std::vector<OwnedBlock> blocks;
    std::size_t bytes = 0;
};

Kept &kept() {
    static Kept *k = new Kept;  // never destroyed: columns may be freed during exit
    return *k;
}

/// The smallest kept mapping of at least `bytes`, taken out of the store (null
/// data when there is none).
OwnedBlock take_kept(std::size_t bytes) {
    Kept &k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    std::size_t best = k.blocks.size();
    for (std::size_t b = 0; b < k.blocks.size(); ++b)
        if (k.blocks[b].bytes >= bytes && (best == k.blocks.size() || k.blocks[b].bytes < k.blocks[best].bytes))
            best = b;
    if (best == k.blocks.size()) return {};
    const OwnedBlock found = k.blocks[best];
    k.blocks[best] = k.blocks.back();
    k.blocks.pop_back();
    k.bytes -= found.bytes;
    return found;
}

/// Keeps a freed mapping for reuse when there is room in the store, else unmaps it.
void keep_or_unmap(const OwnedBlock &block) noexcept {
    Kept &k = kept();
    {
        std::lock_guard<std::mutex> hold(k.lock);
        if (k.bytes + block.bytes <= kKeepBytes && k.blocks.size() < kKeepBlocks) {
            try {
                k.blocks.push_back(block);
                k.bytes += block.bytes;
                madvise(block.data, block.bytes, MADV_FREE);
                return;
            } catch (const std::bad_alloc &) {
                // No room to note it down: unmapped below.
            }
        }
    }
    munmap(block.data, block.bytes);
}

/// A fresh anonymous mapping of `bytes` (a multiple of the huge-page size) that
/// starts on a huge-page boundary, marked for huge pages. Only aligned 2 MiB ranges
/// can be huge pages, so the mapping is cut out of a larger one. The mark is a hint:
/// without transparent huge pages the mapping works with small pages.
void *map_fresh(std::size_t bytes) {
    const std::size_t span = bytes + kHugePage;
    void *raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    char *p = static_cast<char *>(raw);
    char *start = p + (kHugePage - reinterpret_cast<std::uintptr_t>(p) % kHugePage) % kHugePage;
    if (start > p) munmap(p, (std::size_t)(start - p));
    const std::size_t tail = (std::size_t)(p + span - (start + bytes));
    if (tail > 0) munmap(start + bytes, tail);
    madvise(start, bytes, MADV_HUGEPAGE);
    return start;
}

/// A mapping of at least `bytes` (a multiple of the huge-page size), huge-page
/// aligned: a kept one if there is one, else fresh; `bytes` is set to its size.
void *map_huge(std::size_t &bytes) {
    const OwnedBlock k = take_kept(bytes);
    if (k.data != nullptr) {
        bytes = k.bytes;
        return k.data;
    }
    return map_fresh(bytes);
}

/// The mapping at `data` (`bytes` long, huge-page aligned) grown to `grown` bytes:
/// in place when the addresses after it are free, else moved onto a fresh aligned
/// mapping (the page tables move; the huge pages stay whole, nothing is copied).
void *grow_huge(void *data, std::size_t bytes, std::size_t grown) {
    void *p = mremap(data, bytes, grown, 0);
    if (p != MAP_FAILED) return p;
    void *target = map_fresh(grown);
    p = mremap(data, bytes, grown, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (p == MAP_FAILED) {
        munmap(target, grown);
        throw std::bad_alloc();
    }
    return p;
}
#endif

}  // namespace

void free_block(const OwnedBlock &block) noexcept {
#if defined(__linux__)
    if (block.bytes != 0) {
        keep_or_unmap(block);
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
        data_ = static_cast<T *>(grow_huge(data_, bytes_, grown));
        bytes_ = grown;
        return;
    }
    if (bytes >= kMapFrom) {
        std::size_t grown = round_up(bytes, kHugePage);
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

template <class T>
void Column<T>::discard() noexcept {
#if defined(__linux__)
    if (mapped_) madvise(data_, bytes_, MADV_FREE);
#endif
}

template <std::size_t N>
void RecordTable<N>::discard() noexcept {
    size = 0;
    day.discard();
    stock.discard();
    tag.discard();
    for (auto &v : value) v.discard();
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
template class Column<std::uint32_t>;
template class Column<std::size_t>;
template class Column<double>;
template struct RecordTable<1>;
template struct RecordTable<2>;
template struct RecordTable<5>;

}  // namespace tessary::kernels
