// Growable columns of plain values for the record tables.
//
// Records are written once, in order, and then handed to numpy, so the cost that
// matters is getting fresh memory: with ordinary 4 KiB pages the page faults (and
// the kernel zeroing each page) take longer than writing the records themselves. A
// column that grows past 1 MiB therefore moves to its own 2 MiB-aligned anonymous
// mapping marked for transparent huge pages (one fault per 2 MiB), and from then on
// grows by mremap, which moves page tables instead of copying data. Small columns
// stay in malloc memory, so a small backtest does not round each column up to a
// huge page. Freed mappings (up to 512 MiB of them) are kept for the next columns
// that need one, marked MADV_FREE so that the kernel can take their pages back
// under memory pressure: a backtest run again reuses pages already faulted in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessary::kernels {

/// A block of memory handed over by a column: free it with `free_block`.
struct OwnedBlock {
    void *data = nullptr;
    std::size_t bytes = 0;  // bytes of the mapping; 0 for malloc memory
};

/// Frees a block handed over by `Column::release` (either kind; null is fine).
void free_block(const OwnedBlock &block) noexcept;

/// One growable column of plain values.
template <class T>
class Column {
public:
    Column() = default;
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;
    Column(Column &&o) noexcept : data_(o.data_), bytes_(o.bytes_), mapped_(o.mapped_) { o.forget(); }
    Column &operator=(Column &&o) noexcept;
    ~Column();

    T *data() const { return data_; }
    /// Makes room for `capacity` values, keeping the contents; throws std::bad_alloc
    /// when memory runs out.
    void reserve(std::size_t capacity);
    /// Tells the system that the contents are no longer needed: the pages of a
    /// column in its own mapping are marked free (MADV_FREE), as those of a kept
    /// mapping are; they are reused as they are unless the system took them back
    /// meanwhile. Capacity and data pointer stay; the contents are undefined.
    void discard() noexcept;
    /// The buffer, now owned by the caller, who frees it with `free_block` (the data
    /// may be null when nothing was reserved).
    OwnedBlock release() {
        const OwnedBlock b{data_, mapped_ ? bytes_ : 0};
        forget();
        return b;
    }

private:
    void forget() {
        data_ = nullptr;
        bytes_ = 0;
        mapped_ = false;
    }
    T *data_ = nullptr;
    std::size_t bytes_ = 0;  // allocated
    bool mapped_ = false;    // in its own mapping rather than malloc memory
};

/// A table of records held column by column: the date row and stock column of each
/// record, a one-byte tag (the side of a trade; tables without one leave it unused)
/// and N float columns. All columns share one size and capacity.
template <std::size_t N>
struct RecordTable {
    std::size_t size = 0;
    std::size_t capacity = 0;
    Column<std::int32_t> day, stock;
    Column<std::uint8_t> tag;
    std::array<Column<double>, N> value;
    bool tagged = false;

    /// Room for at least `n` records, grown geometrically.
    void reserve(std::size_t n);

    /// Appends one record (the tag is ignored by a table without tags).
    void add(std::int32_t d, std::int32_t s, std::uint8_t t, const std::array<double, N> &v) {
        if (size == capacity) reserve(size + 1);
        day.data()[size] = d;
        stock.data()[size] = s;
        if (tagged) tag.data()[size] = t;
        for (std::size_t k = 0; k < N; ++k) value[k].data()[size] = v[k];
        ++size;
    }
    /// Bytes the table's records take.
    std::size_t bytes() const;
    /// Empties the table, keeping its capacity, and discards its columns' contents.
    void discard() noexcept;
};

/// Raw write positions at the end of a table that already has room for every
/// record to be written through it (a reserve may move the columns: take the writer
/// after it). `put` always writes the next slot but moves on only when the record
/// is kept, so the caller need not branch on whether there is a record; a slot not
/// kept is overwritten by the next one. `finish` sets the table's size.
template <std::size_t N, bool Tagged>
struct RecordWriter {
    std::int32_t *day, *stock;
    // A store through a byte pointer may alias any object in C++, so without
    // `restrict` the compiler reloads every input pointer and stride after each tag
    // written (about 5 % of a walk date by date). The tag column is written only
    // through this cursor while it lives.
    std::uint8_t *__restrict tag;
    std::array<double *, N> value;
    std::size_t size;

    explicit RecordWriter(RecordTable<N> &t)
        : day(t.day.data()), stock(t.stock.data()), tag(t.tag.data()), size(t.size) {
        for (std::size_t k = 0; k < N; ++k) value[k] = t.value[k].data();
    }
    [[gnu::always_inline]] void put(std::int32_t d, std::int32_t s, std::uint8_t t, const std::array<double, N> &v,
                                    bool keep) {
        day[size] = d;
        stock[size] = s;
        if constexpr (Tagged) tag[size] = t;
        for (std::size_t k = 0; k < N; ++k) value[k][size] = v[k];
        size += keep;
    }
    void finish(RecordTable<N> &t) const { t.size = size; }
};

}  // namespace tessary::kernels
