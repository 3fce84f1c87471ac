// Tiles of records appended to the tables in date order (a counting sort).
#include "records/kernels/record_tiles.hpp"

#include <algorithm>
#include <cmath>

namespace tessary::kernels::record_detail {

namespace {

/// The records of the tables `tiles[0 .. parts)` (days i0 .. i0 + n - 1, in stock
/// order within each day of each table; the tables cover ranges of stocks in
/// order) appended to `out` in date order, keeping the order within each date: all
/// of the first table's records of a date, then the second's. The tables are
/// emptied for the next tile (their columns kept).
template <std::size_t N, class Index>
void append_by_day(RecordTable<N> &out, RecordTable<N> *const *tiles, std::size_t parts, std::size_t i0,
                   std::size_t n, const Market &m, std::vector<Index> &slots, std::vector<std::size_t> &next) {
    const std::size_t base = out.size;
    std::size_t count = 0;
    for (std::size_t t = 0; t < parts; ++t) count += tiles[t]->size;
    if (count == 0) return;
    reserve_projected(out, count, i0, m.days, m.stocks);
    next.assign(n + 1, 0);
    for (std::size_t t = 0; t < parts; ++t) {
        const std::int32_t *day = tiles[t]->day.data();
        for (std::size_t k = 0; k < tiles[t]->size; ++k) ++next[(std::size_t)day[k] - i0 + 1];
    }
    for (std::size_t k = 0; k < n; ++k) next[k + 1] += next[k];
    slots.resize(count);
    Index *dest = slots.data();
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

/// One table of every tile appended; their count of records decides the width of
/// the slots.
template <std::size_t N, class Table>
void append_table(RecordTable<N> &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                  const Market &m, TileOrder &order, Table table) {
    RecordTable<N> *from[2];
    std::size_t count = 0;
    for (std::size_t t = 0; t < parts; ++t) {
        from[t] = &table(*tiles[t]);
        count += from[t]->size;
    }
    if (count <= UINT32_MAX)
        append_by_day(out, from, parts, i0, n, m, order.dest32, order.end);  // half the index traffic
    else
        append_by_day(out, from, parts, i0, n, m, order.dest64, order.end);
}

}  // namespace

void append_tiles(VwapRecords &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                  const Market &m, TileOrder (&order)[2], bool two_threads) {
    auto one = [&] {
        append_table(out.trades, tiles, parts, i0, n, m, order[0], [](VwapRecords &r) -> auto & { return r.trades; });
        append_table(out.positions, tiles, parts, i0, n, m, order[0], [](VwapRecords &r) -> auto & { return r.positions; });
    };
    auto other = [&] {
        append_table(out.pnl, tiles, parts, i0, n, m, order[1], [](VwapRecords &r) -> auto & { return r.pnl; });
        append_table(out.blocked, tiles, parts, i0, n, m, order[1], [](VwapRecords &r) -> auto & { return r.blocked; });
    };
    if (two_threads) {
        run_both(one, other);
    } else {
        one();
        other();
    }
}

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

}  // namespace tessary::kernels::record_detail
