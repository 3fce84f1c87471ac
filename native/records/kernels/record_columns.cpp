// The recording pass down the columns: tiles of days, each stock down the tile's
// days, the tile's records then put in date order onto the end of the tables.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels::record_detail {

namespace {

// Days per tile. Each stock's days of a tile are read as one stretch of every
// input (jumping from column to column costs a miss of the address translation
// each time, so the stretches should not be short), while the tile's records, put
// in date order once the tile is done, should still be in the cache then.
constexpr std::size_t kColumnTile = 512;

/// One stock down days i0 .. i0 + n - 1 of a tile, recording into `tile`; the
/// products of day i0 + k go to partial[k * kTerms ..], the totals to day[k]. Runs
/// of eight days with nothing held and nothing to do are skipped after one test.
void walk_stock(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, std::size_t s,
                double &holding, double *partial, DayTotals *day, VwapRecords &tile) {
    Writers::reserve(tile, n);  // at most one record per day and table
    Writers w(tile);
    // The skip needs adjacent weights and dividends; otherwise every day is looked
    // at on its own.
    const bool adjacent = in.signal.row_stride == 1 && in.dividend.row_stride == 1;
    const double *weight = &in.signal(i0, s), *dividend = &in.dividend(i0, s);
    double h = holding;
    for (std::size_t k = 0; k < n; ++k) {
        if (h == 0.0 && adjacent) {
            while (k + 8 <= n && !any_busy8(weight + k, dividend + k)) k += 8;
            if (k == n) break;
        }
        const std::size_t i = i0 + k;
        if (h == 0.0 && !(in.signal(i, s) > 0.0))
            idle_cell(h, in.dividend(i, s), partial + k * kTerms);
        else
            record_cell(in, p, i, s, h, partial + k * kTerms, w, day[k]);
    }
    holding = h;
    w.finish(tile);
}

/// Counting sort of a tile's records by date: where each goes.
template <class Index>
struct DayOrder {
    std::vector<Index> dest;  // per record of the tile: its slot among the tile's records
    std::vector<std::size_t> end;  // per day of the tile: the end of its slots
};

/// The records of `tile` (days i0 .. i0 + n - 1, in stock order within each day)
/// appended to `out` in date order, keeping the order within each date; `tile` is
/// emptied for the next tile (its columns kept).
template <std::size_t N, class Index>
void append_by_day(RecordTable<N> &out, RecordTable<N> &tile, std::size_t i0, std::size_t n,
                   DayOrder<Index> &order) {
    const std::size_t count = tile.size, base = out.size;
    if (count == 0) return;
    out.reserve(base + count);
    const std::int32_t *day = tile.day.data();
    std::vector<std::size_t> &next = order.end;
    next.assign(n + 1, 0);
    for (std::size_t k = 0; k < count; ++k) ++next[(std::size_t)day[k] - i0 + 1];
    for (std::size_t k = 0; k < n; ++k) next[k + 1] += next[k];
    order.dest.resize(count);
    Index *dest = order.dest.data();
    for (std::size_t k = 0; k < count; ++k) dest[k] = (Index)next[(std::size_t)day[k] - i0]++;
    // The sorted day column is each day repeated over its slots; `next[k]` now ends
    // day i0 + k's.
    std::int32_t *out_day = out.day.data() + base;
    for (std::size_t k = 0, from = 0; k < n; from = next[k], ++k)
        std::fill(out_day + from, out_day + next[k], (std::int32_t)(i0 + k));
    auto scatter = [&](auto *to, const auto *from) {
        to += base;
        for (std::size_t k = 0; k < count; ++k) to[dest[k]] = from[k];
    };
    scatter(out.stock.data(), tile.stock.data());
    if (out.tagged) scatter(out.tag.data(), tile.tag.data());
    for (std::size_t c = 0; c < N; ++c) scatter(out.value[c].data(), tile.value[c].data());
    out.size = base + count;
    tile.size = 0;
}

template <class Index>
void append_tile(VwapRecords &out, VwapRecords &tile, std::size_t i0, std::size_t n, DayOrder<Index> &order) {
    append_by_day(out.trades, tile.trades, i0, n, order);
    append_by_day(out.blocked, tile.blocked, i0, n, order);
    append_by_day(out.positions, tile.positions, i0, n, order);
    append_by_day(out.pnl, tile.pnl, i0, n, order);
}

}  // namespace

void walk_columns(const VwapInputs &in, const PassRates &p, std::size_t begin, std::size_t end,
                  const BlockSums &sums, VwapRecords &out) {
    const std::size_t days = in.days;
    std::vector<double> holding(end - begin, 0.0);  // the portfolio starts empty
    std::vector<double> partial(kColumnTile * kTerms);  // one block's sums, [day in tile][term]
    std::vector<DayTotals> day(kColumnTile);
    VwapRecords tile;  // the tile's records, stock by stock; its columns are reused
    DayOrder<std::uint32_t> order32;
    DayOrder<std::size_t> order64;
    for (std::size_t i0 = 0; i0 < days; i0 += kColumnTile) {
        const std::size_t n = std::min(kColumnTile, days - i0);
        std::fill(day.begin(), day.end(), DayTotals{});
        for (std::size_t s0 = begin; s0 < end; s0 += kSumBlock) {
            std::fill(partial.begin(), partial.end(), 0.0);
            const std::size_t block_end = std::min(end, s0 + kSumBlock);
            for (std::size_t s = s0; s < block_end; ++s)
                walk_stock(in, p, i0, n, s, holding[s - begin], partial.data(), day.data(), tile);
            sums(i0, n, partial.data());
        }
        for (std::size_t k = 0; k < n; ++k) {
            out.bought[i0 + k] = day[k].bought;
            out.sold[i0 + k] = day[k].sold;
            out.commission[i0 + k] = day[k].commission;
            out.levy[i0 + k] = day[k].levy;
            out.held[i0 + k] = day[k].held;
        }
        // The tile's largest table decides the width of the sort's indices.
        const std::size_t most = std::max({tile.trades.size, tile.blocked.size, tile.positions.size, tile.pnl.size});
        if (most <= UINT32_MAX)
            append_tile(out, tile, i0, n, order32);
        else
            append_tile(out, tile, i0, n, order64);
    }
}

}  // namespace tessary::kernels::record_detail
