// The recording pass down the columns: tiles of days, each stock down the tile's
// days, the tile's records then put in date order onto the end of the tables.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
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

/// The records of the tables `tiles[0 .. parts)` (days i0 .. i0 + n - 1, in stock
/// order within each day of each table; the tables cover ranges of stocks in
/// order) appended to `out` in date order, keeping the order within each date: all
/// of the first table's records of a date, then the second's. The tables are
/// emptied for the next tile (their columns kept).
template <std::size_t N, class Index>
void append_by_day(RecordTable<N> &out, RecordTable<N> *const *tiles, std::size_t parts, std::size_t i0,
                   std::size_t n, DayOrder<Index> &order) {
    const std::size_t base = out.size;
    std::size_t count = 0;
    for (std::size_t t = 0; t < parts; ++t) count += tiles[t]->size;
    if (count == 0) return;
    out.reserve(base + count);
    std::vector<std::size_t> &next = order.end;
    next.assign(n + 1, 0);
    for (std::size_t t = 0; t < parts; ++t) {
        const std::int32_t *day = tiles[t]->day.data();
        for (std::size_t k = 0; k < tiles[t]->size; ++k) ++next[(std::size_t)day[k] - i0 + 1];
    }
    for (std::size_t k = 0; k < n; ++k) next[k + 1] += next[k];
    order.dest.resize(count);
    Index *dest = order.dest.data();
    for (std::size_t t = 0, j = 0; t < parts; ++t) {
        const std::int32_t *day = tiles[t]->day.data();
        for (std::size_t k = 0; k < tiles[t]->size; ++k) dest[j++] = (Index)next[(std::size_t)day[k] - i0]++;
    }
    // The sorted day column is each day repeated over its slots; `next[k]` now ends
    // day i0 + k's.
    std::int32_t *out_day = out.day.data() + base;
    for (std::size_t k = 0, from = 0; k < n; from = next[k], ++k)
        std::fill(out_day + from, out_day + next[k], (std::int32_t)(i0 + k));
    // Column by column: the write positions of one column (one per date) stay in the
    // cache, where those of all columns at once would not.
    auto scatter = [&](auto *to, auto column_of) {
        to += base;
        const Index *d = dest;
        for (std::size_t t = 0; t < parts; ++t) {
            const auto *from = column_of(*tiles[t]);
            for (std::size_t k = 0; k < tiles[t]->size; ++k) to[d[k]] = from[k];
            d += tiles[t]->size;
        }
    };
    scatter(out.stock.data(), [](RecordTable<N> &t) { return t.stock.data(); });
    if (out.tagged) scatter(out.tag.data(), [](RecordTable<N> &t) { return t.tag.data(); });
    for (std::size_t c = 0; c < N; ++c) scatter(out.value[c].data(), [c](RecordTable<N> &t) { return t.value[c].data(); });
    out.size = base + count;
    for (std::size_t t = 0; t < parts; ++t) tiles[t]->size = 0;
}

/// Runs `first` here and `second` on a new thread, when one can be started (else
/// here, after `first`); rethrows what either threw once both are done.
template <class F, class G>
void run_both(F &&first, G &&second) {
    std::exception_ptr failed_second;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                second();
            } catch (...) {
                failed_second = std::current_exception();
            }
        });
    } catch (const std::system_error &) {
        // No thread to be had: the work is done in turn.
    }
    std::exception_ptr failed_first;
    try {
        first();
    } catch (...) {
        failed_first = std::current_exception();
    }
    if (helper.joinable())
        helper.join();
    else
        try {
            second();
        } catch (...) {
            failed_second = std::current_exception();
        }
    if (failed_first) std::rethrow_exception(failed_first);
    if (failed_second) std::rethrow_exception(failed_second);
}

/// One thread's share of a tile: a range of stocks (starting a block), walked into
/// its own tables, with the day totals of its stocks.
struct Part {
    std::size_t begin = 0, end = 0;
    VwapRecords tile;  // the tile's records, stock by stock; its columns are reused
    std::vector<DayTotals> day = std::vector<DayTotals>(kColumnTile);
    std::vector<double> partial = std::vector<double>(kColumnTile * kTerms);  // one block's sums, [day][term]

    /// Days i0 .. i0 + n - 1 of the part's stocks, block by block; each block's sums
    /// go to `sums`.
    void walk(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, double *holding,
              const BlockSums &sums) {
        std::fill(day.begin(), day.end(), DayTotals{});
        for (std::size_t s0 = begin; s0 < end; s0 += kSumBlock) {
            std::fill(partial.begin(), partial.end(), 0.0);
            const std::size_t block_end = std::min(end, s0 + kSumBlock);
            for (std::size_t s = s0; s < block_end; ++s)
                walk_stock(in, p, i0, n, s, holding[s], partial.data(), day.data(), tile);
            sums(i0, n, partial.data());
        }
    }
};

/// Adds the trades and positions of `tile` (in stock order within each day) to the
/// day totals `day` of days i0 .., as the walk adds them: NaN values left out, a levy
/// only on sells.
void add_to_totals(const VwapRecords &tile, std::size_t i0, DayTotals *day) {
    const RecordTable<5> &t = tile.trades;
    const double *value = t.value[2].data(), *commission = t.value[3].data(), *levy = t.value[4].data();
    for (std::size_t k = 0; k < t.size; ++k) {
        DayTotals &d = day[(std::size_t)t.day.data()[k] - i0];
        const bool sell = t.tag.data()[k] == kSell;
        if (!std::isnan(value[k])) (sell ? d.sold : d.bought) += value[k];
        if (!std::isnan(commission[k])) d.commission += commission[k];
        if (sell && !std::isnan(levy[k])) d.levy += levy[k];
    }
    for (std::size_t k = 0; k < tile.positions.size; ++k) day[(std::size_t)tile.positions.day.data()[k] - i0].held += 1.0;
}

template <class Index>
void append_tables(VwapRecords &out, Part *parts, std::size_t count, std::size_t i0, std::size_t n,
                   DayOrder<Index> (&order)[2], bool two_threads) {
    RecordTable<5> *trades[2], *pnl[2];
    RecordTable<1> *blocked[2];
    RecordTable<2> *positions[2];
    for (std::size_t t = 0; t < count; ++t) {
        trades[t] = &parts[t].tile.trades;
        blocked[t] = &parts[t].tile.blocked;
        positions[t] = &parts[t].tile.positions;
        pnl[t] = &parts[t].tile.pnl;
    }
    auto one = [&] {
        append_by_day(out.trades, trades, count, i0, n, order[0]);
        append_by_day(out.positions, positions, count, i0, n, order[0]);
    };
    auto other = [&] {
        append_by_day(out.pnl, pnl, count, i0, n, order[1]);
        append_by_day(out.blocked, blocked, count, i0, n, order[1]);
    };
    if (two_threads) {
        run_both(one, other);
    } else {
        one();
        other();
    }
}

}  // namespace

void walk_columns(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, int threads) {
    const std::size_t days = in.days, stocks = in.stocks, blocks = (stocks + kSumBlock - 1) / kSumBlock;
    const bool two = threads == 2 && blocks >= 2;
    std::vector<double> holding(stocks, 0.0);  // the portfolio starts empty
    Part parts[2];
    parts[0].end = two ? blocks / 2 * kSumBlock : stocks;
    parts[1].begin = parts[0].end;
    parts[1].end = stocks;
    // The second part's block sums of a tile, kept and handed on after the first's,
    // so the totals are those of one walk to the last bit.
    std::vector<double> kept;
    DayOrder<std::uint32_t> order32[2];
    DayOrder<std::size_t> order64[2];
    for (std::size_t i0 = 0; i0 < days; i0 += kColumnTile) {
        const std::size_t n = std::min(kColumnTile, days - i0);
        if (two) {
            kept.clear();
            run_both([&] { parts[0].walk(in, p, i0, n, holding.data(), sums); },
                     [&] {
                         parts[1].walk(in, p, i0, n, holding.data(), [&](std::size_t, std::size_t, const double *x) {
                             kept.insert(kept.end(), x, x + n * kTerms);
                         });
                     });
            for (std::size_t at = 0; at < kept.size(); at += n * kTerms) sums(i0, n, kept.data() + at);
            // The second part's stocks follow the first's in each day's totals.
            add_to_totals(parts[1].tile, i0, parts[0].day.data());
        } else {
            parts[0].walk(in, p, i0, n, holding.data(), sums);
        }
        for (std::size_t k = 0; k < n; ++k) {
            const DayTotals &d = parts[0].day[k];
            out.bought[i0 + k] = d.bought;
            out.sold[i0 + k] = d.sold;
            out.commission[i0 + k] = d.commission;
            out.levy[i0 + k] = d.levy;
            out.held[i0 + k] = d.held;
        }
        // The tile's largest table decides the width of the sort's indices.
        std::size_t most = 0;
        for (const Part &part : parts)
            most += std::max({part.tile.trades.size, part.tile.blocked.size, part.tile.positions.size, part.tile.pnl.size});
        if (most <= UINT32_MAX)
            append_tables(out, parts, two ? 2 : 1, i0, n, order32, two);
        else
            append_tables(out, parts, two ? 2 : 1, i0, n, order64, two);
    }
}

}  // namespace tessary::kernels::record_detail
