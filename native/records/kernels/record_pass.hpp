// Recording pass of the VWAP engine: the same day loop as the daily-return kernel,
// cell for cell the same arithmetic, but every trade, refused trade, position and
// profit contribution is written down as a record.
//
// Plain C++ on strided buffers, no Python object touched: safe to run with the GIL
// released. Memory grows with the number of records (growable column buffers) plus
// a few arrays of one entry per day; nothing of size days x stocks is allocated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pnl_engine/kernels/vwap.hpp"

namespace tessary::kernels {

/// One growable column of plain values in memory from malloc. It grows by doubling
/// through realloc, which for large blocks remaps pages instead of copying them.
/// `release()` hands the buffer (to be freed with free()) to a new owner.
template <class T>
class Column {
public:
    Column() = default;
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;
    Column(Column &&o) noexcept : data_(o.data_) { o.data_ = nullptr; }
    Column &operator=(Column &&o) noexcept;
    ~Column();

    T *data() const { return data_; }
    /// Makes room for `capacity` values, keeping the contents; throws std::bad_alloc
    /// when memory runs out.
    void reserve(std::size_t capacity);
    /// The buffer, now owned by the caller (may be null when nothing was reserved).
    T *release() {
        T *p = data_;
        data_ = nullptr;
        return p;
    }

private:
    T *data_ = nullptr;
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
};

/// Sides of trades and refused trades (the tag of those tables).
enum Side : std::uint8_t { kBuy = 0, kSell = 1 };

/// Everything one recording pass produces. Records are sorted by date row, then by
/// stock column.
struct VwapRecords {
    /// Executed trades (tag: side): shares, execution price, traded value,
    /// commission, levy. A sell's value is shares x split factor x sell price, the
    /// proceeds the return rules credit (the share count is not scaled on a split).
    RecordTable<5> trades;
    /// Trades the target asked for that a flag refused (tag: side): shares wanted.
    RecordTable<1> blocked;
    /// Stocks held after the day's trades: shares, value at the close (carried shares
    /// valued at split factor x close, bought shares at close, as the rules do).
    RecordTable<2> positions;
    /// Non-zero profit contributions: buy, hold, hold dividend, sell, sell dividend.
    RecordTable<5> pnl;

    /// Per date row: bought and sold value, commission, levy (NaN values left out),
    /// the number of stocks held, and the day's profit in money, the latter exactly
    /// as the daily-return kernel sums it.
    std::vector<double> bought, sold, commission, levy, held, profit;

    VwapRecords() {
        trades.tagged = true;
        blocked.tagged = true;
    }
    std::size_t bytes() const;
};

/// Runs the engine's day loop over `in` and records what happened. The daily profit
/// equals `vwap_daily_cash(in, ...)` bit for bit: per block of 64 stocks the five
/// products are summed in stock order and folded into compensated totals in block
/// order, exactly as that kernel does. Stocks that are neither held nor wanted cost
/// a read of their weight and dividend only.
///
/// Column-major inputs are walked stock by stock down all the days (every input read
/// as a sequential stream, as the return kernel reads them) and the records put in
/// date order afterwards; other layouts are walked date by date. Throws
/// std::bad_alloc when memory runs out.
void record_vwap_pass(const VwapInputs &in, VwapRecords &out);

}  // namespace tessary::kernels
