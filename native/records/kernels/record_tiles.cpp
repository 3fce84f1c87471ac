// Tiles of records appended to the tables in date order (a counting sort).
#include "records/kernels/record_tiles.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace tessary::kernels::record_detail {

namespace {

/// The order of one table's records of the tile's tables `tiles[0 .. parts)` (days
/// i0 .. i0 + n - 1, in stock order within each day of each table; the tables cover
/// ranges of stocks in order) in date order, keeping the order within each date: all
/// of the first table's records of a date, then the second's. A counting sort by
/// date: `slots` gets each record's place after the tables' current end, `next[k]`
/// the end of day i0 + k's places.
template <std::size_t N, class Index>
void sort_slots(RecordTable<N> *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                std::vector<Index> &slots, std::vector<std::size_t> &next) {
    std::size_t count = 0;
    for (std::size_t t = 0; t < parts; ++t) count += tiles[t]->size;
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
}

/// One column of the tiles' records put at their places `dest` after `base` in
/// `to`. Column by column: the write positions of one column (one per date) stay in
/// the cache, where those of all columns at once would not.
template <std::size_t N, class T, class Index, class Of>
void scatter(T *to, std::size_t base, const Index *dest, RecordTable<N> *const *tiles, std::size_t parts, Of column_of) {
    to += base;
    for (std::size_t t = 0; t < parts; ++t) {
        const T *from = column_of(*tiles[t]);
        for (std::size_t k = 0; k < tiles[t]->size; ++k) to[dest[k]] = from[k];
        dest += tiles[t]->size;
    }
}

/// Which columns of a table one thread sorts onto the end of the output table:
/// the day column, the stock and tag columns, and a range of the value columns.
struct Share {
    bool days, stock_and_tag;
    std::size_t value_from, value_to;
};

/// The share `share` of one table of the tiles (all of whose records fit the table
/// already) sorted onto the end of `out` (`out.size` not yet moved on).
template <std::size_t N, class Index>
void append_share(RecordTable<N> &out, RecordTable<N> *const *tiles, std::size_t parts, std::size_t i0,
                  std::size_t n, const Share &share, std::vector<Index> &slots, std::vector<std::size_t> &next) {
    sort_slots(tiles, parts, i0, n, slots, next);
    const std::size_t base = out.size;
    if (share.days) {
        // The sorted day column is each day repeated over its places; `next[k]` now
        // ends day i0 + k's.
        std::int32_t *out_day = out.day.data() + base;
        for (std::size_t k = 0, from = 0; k < n; from = next[k], ++k)
            std::fill(out_day + from, out_day + next[k], (std::int32_t)(i0 + k));
    }
    const Index *dest = slots.data();
    if (share.stock_and_tag) {
        scatter(out.stock.data(), base, dest, tiles, parts, [](RecordTable<N> &t) { return t.stock.data(); });
        if (out.tagged) scatter(out.tag.data(), base, dest, tiles, parts, [](RecordTable<N> &t) { return t.tag.data(); });
    }
    for (std::size_t c = share.value_from; c < share.value_to; ++c)
        scatter(out.value[c].data(), base, dest, tiles, parts, [c](RecordTable<N> &t) { return t.value[c].data(); });
}

/// One table of every tile: its share sorted onto the end of `out`, the width of
/// the places chosen by the count of records.
template <std::size_t N, class Table>
void append_table(RecordTable<N> &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                  const Share &share, TileOrder &order, Table table) {
    RecordTable<N> *from[2];
    std::size_t count = 0;
    for (std::size_t t = 0; t < parts; ++t) {
        from[t] = &table(*tiles[t]);
        count += from[t]->size;
    }
    if (count == 0) return;
    if (count <= UINT32_MAX)
        append_share(out, from, parts, i0, n, share, order.dest32, order.end);  // half the index traffic
    else
        append_share(out, from, parts, i0, n, share, order.dest64, order.end);
}

/// Room in `out` for the records of the tiles, which cover days i0 .. i0 + n - 1,
/// sized at the rate of the records so far including the tile's (see
/// `reserve_at_rate`): already at the first tile a large table is sized for the
/// whole market, instead of passing through small allocations that the allocator
/// hands back to the system at the end of the pass, as fresh pages for the next.
template <std::size_t N>
void reserve_for(RecordTable<N> &out, RecordTable<N> *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                 const Market &m) {
    std::size_t need = out.size;
    for (std::size_t t = 0; t < parts; ++t) need += tiles[t]->size;
    reserve_at_rate(out, need, need, i0 + n, m.days, m.stocks);
}

/// One column of two parts' runs put one after the other from `to`: of each day k
/// of the tile the first part's run, then the second's (`end_of(ends[part][k])` ends
/// a run).
template <class T, class EndOf>
void copy_runs(T *to, const T *const *from, const DayEnds *const *ends, std::size_t n, EndOf end_of) {
    std::size_t begin[2] = {0, 0};
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t t = 0; t < 2; ++t) {
            const std::size_t end = end_of(ends[t][k]), count = end - begin[t];
            if (count != 0) std::memcpy(to, from[t] + begin[t], count * sizeof(T));
            to += count;
            begin[t] = end;
        }
}

/// The share `share` of one table of two parts' tiles (whose records fit the table
/// already) put onto the end of `out` run by run; `member` picks the table's ends.
template <std::size_t N>
void append_run_share(RecordTable<N> &out, RecordTable<N> *const *tiles, const DayEnds *const *ends,
                      std::size_t DayEnds::*member, std::size_t i0, std::size_t n, const Share &share) {
    const std::size_t base = out.size;
    auto end_of = [member](const DayEnds &e) { return e.*member; };
    if (share.days) {
        // Each run is one day repeated.
        std::int32_t *to = out.day.data() + base;
        std::size_t begin[2] = {0, 0};
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t t = 0; t < 2; ++t) {
                const std::size_t end = end_of(ends[t][k]);
                to = std::fill_n(to, end - begin[t], (std::int32_t)(i0 + k));
                begin[t] = end;
            }
    }
    if (share.stock_and_tag) {
        const std::int32_t *stock[2] = {tiles[0]->stock.data(), tiles[1]->stock.data()};
        copy_runs(out.stock.data() + base, stock, ends, n, end_of);
        const std::uint8_t *tag[2] = {tiles[0]->tag.data(), tiles[1]->tag.data()};
        if (out.tagged) copy_runs(out.tag.data() + base, tag, ends, n, end_of);
    }
    for (std::size_t c = share.value_from; c < share.value_to; ++c) {
        const double *value[2] = {tiles[0]->value[c].data(), tiles[1]->value[c].data()};
        copy_runs(out.value[c].data() + base, value, ends, n, end_of);
    }
}

// What each thread puts onto the output: two shares of about equal bytes a record.
// Trades (49 bytes) and the day, stock and first value of positions (16); pnl rows
// (48), refusals (few) and the second value of positions (8).
constexpr Share kWhole5{true, true, 0, 5}, kWhole1{true, true, 0, 1};
constexpr Share kPositionsOne{true, true, 0, 1}, kPositionsOther{false, false, 1, 2};

auto trades_of = [](VwapRecords &r) -> auto & { return r.trades; };
auto blocked_of = [](VwapRecords &r) -> auto & { return r.blocked; };
auto positions_of = [](VwapRecords &r) -> auto & { return r.positions; };
auto pnl_of = [](VwapRecords &r) -> auto & { return r.pnl; };

/// Room in `out`'s tables for all records of the tiles, made before the threads
/// write: growing moves the columns.
void make_room(VwapRecords &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
               const Market &m) {
    auto room = [&](auto &&table) {
        std::remove_reference_t<decltype(table(out))> *from[2];
        for (std::size_t t = 0; t < parts; ++t) from[t] = &table(*tiles[t]);
        reserve_for(table(out), from, parts, i0, n, m);
    };
    room(trades_of);
    room(blocked_of);
    room(positions_of);
    room(pnl_of);
}

/// The tables move on over the records put onto them; the tiles are emptied for the
/// next tile (their columns kept).
void move_on(VwapRecords &out, VwapRecords *const *tiles, std::size_t parts) {
    auto done = [&](auto &&table) {
        for (std::size_t t = 0; t < parts; ++t) {
            table(out).size += table(*tiles[t]).size;
            table(*tiles[t]).size = 0;
        }
    };
    done(trades_of);
    done(blocked_of);
    done(positions_of);
    done(pnl_of);
}

/// The scratch sets left by passes that ended, for the next passes.
struct KeptScratch {
    std::mutex lock;
    std::vector<std::unique_ptr<TileScratch>> sets;
};

KeptScratch &kept_scratch() {
    static KeptScratch *k = new KeptScratch;  // never destroyed: passes may end during exit
    return *k;
}

constexpr std::size_t kKeptScratch = 2;

}  // namespace

ScratchLease::ScratchLease() {
    {
        KeptScratch &k = kept_scratch();
        std::lock_guard<std::mutex> hold(k.lock);
        if (!k.sets.empty()) {
            s_ = std::move(k.sets.back());
            k.sets.pop_back();
        }
    }
    if (!s_) s_ = std::make_unique<TileScratch>();
}

ScratchLease::~ScratchLease() {
    // Kept like the mappings of freed columns: marked free, so that the system can
    // take the pages back when memory runs short.
    for (VwapRecords &t : s_->tile) {
        t.trades.discard();
        t.blocked.discard();
        t.positions.discard();
        t.pnl.discard();
    }
    KeptScratch &k = kept_scratch();
    std::lock_guard<std::mutex> hold(k.lock);
    if (k.sets.size() < kKeptScratch) {
        try {
            k.sets.push_back(std::move(s_));
        } catch (const std::bad_alloc &) {
            // No room to note it down: freed with the lease.
        }
    }
}

void append_tiles(VwapRecords &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                  const Market &m, TileOrder (&order)[2], Helper &helper, const std::function<void()> &alongside) {
    make_room(out, tiles, parts, i0, n, m);
    // Each thread finds the places of the positions itself.
    helper.run_both(
        [&] {
            append_table(out.trades, tiles, parts, i0, n, kWhole5, order[0], trades_of);
            append_table(out.positions, tiles, parts, i0, n, kPositionsOne, order[0], positions_of);
        },
        [&] {
            alongside();
            append_table(out.pnl, tiles, parts, i0, n, kWhole5, order[1], pnl_of);
            append_table(out.blocked, tiles, parts, i0, n, kWhole1, order[1], blocked_of);
            append_table(out.positions, tiles, parts, i0, n, kPositionsOther, order[1], positions_of);
        });
    move_on(out, tiles, parts);
}

void append_runs(VwapRecords &out, VwapRecords *const *tiles, const DayEnds *const *ends, std::size_t i0,
                 std::size_t n, const Market &m, Helper &helper, const std::function<void()> &alongside) {
    make_room(out, tiles, 2, i0, n, m);
    RecordTable<5> *trades[2] = {&tiles[0]->trades, &tiles[1]->trades}, *pnl[2] = {&tiles[0]->pnl, &tiles[1]->pnl};
    RecordTable<1> *blocked[2] = {&tiles[0]->blocked, &tiles[1]->blocked};
    RecordTable<2> *positions[2] = {&tiles[0]->positions, &tiles[1]->positions};
    helper.run_both(
        [&] {
            append_run_share(out.trades, trades, ends, &DayEnds::trades, i0, n, kWhole5);
            append_run_share(out.positions, positions, ends, &DayEnds::positions, i0, n, kPositionsOne);
        },
        [&] {
            alongside();
            append_run_share(out.pnl, pnl, ends, &DayEnds::pnl, i0, n, kWhole5);
            append_run_share(out.blocked, blocked, ends, &DayEnds::blocked, i0, n, kWhole1);
            append_run_share(out.positions, positions, ends, &DayEnds::positions, i0, n, kPositionsOther);
        });
    move_on(out, tiles, 2);
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

void set_totals(VwapRecords &out, std::size_t i0, std::size_t n, const DayTotals *day) {
    for (std::size_t k = 0; k < n; ++k) {
        out.bought[i0 + k] = day[k].bought;
        out.sold[i0 + k] = day[k].sold;
        out.commission[i0 + k] = day[k].commission;
        out.levy[i0 + k] = day[k].levy;
        out.held[i0 + k] = day[k].held;
    }
}

}  // namespace tessary::kernels::record_detail
