// The recording pass date by date: tiles of days, the idle scan of each tile, then
// day by day the stocks held or busy, block by block. A large market's stocks are
// walked in two halves on two threads, tile by tile, the tile's records then put in
// date order onto the end of the tables.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_tiles.hpp"
#include "records/kernels/record_walks.hpp"
#include "records/kernels/record_wide.hpp"

namespace tessary::kernels::record_detail {

namespace {

// Days per tile of a walk on two threads: each half's records of a tile wait in its
// own tables until the tile's runs are copied onto the end of the output, so a
// tile's records should stay in the cache; a tile too short pays the hand-overs
// between the threads (and the copy's setup) too often. On 2,520 days x 5,000
// stocks, 64 and 96 days were alike, 32 and 128 a few percent slower.
constexpr std::size_t kRowTile = 64;
// Blocks of 64 stocks ahead whose held or busy stocks' lines are asked for (see
// ask_word): on 2,520 days x 5,000 stocks, 1 to 4 gained about alike.
constexpr std::size_t kAskBlocks = 2;

/// One range of stocks (s0 .. s1 - 1, s0 starting a block) walked date by date,
/// with the state carried from day to day.
struct RowWalk {
    std::size_t s0, s1, blocks;
    std::size_t span;                 // days of the partial sums and day totals kept at once
    std::vector<double> holding;      // shares per stock of the range; the portfolio starts empty
    std::vector<std::uint64_t> held;  // per block: bit j set when stock s0 + 64 b + j is held
    std::vector<std::uint64_t> busy;  // the idle scan of eight days, [day][block]
    // The block sums of the span's days, [block][day in span][term].
    std::vector<double> partial;
    std::vector<DayTotals> day;  // the totals of the span's days over the range's stocks
    std::vector<DayEnds> ends;   // per day of the span: where its records end in each table

    RowWalk(std::size_t s0_, std::size_t s1_, std::size_t span_)
        : s0(s0_),
          s1(s1_),
          blocks((s1 - s0 + kSumBlock - 1) / kSumBlock),
          span(span_),
          holding(s1 - s0, 0.0),
          held(blocks, 0),
          busy(kTileDays * blocks),
          partial(blocks * span * kTerms),
          day(span),
          ends(span) {}
};

/// Asks for the lines of day i of every input of stocks first + j, for each bit j
/// of `word`, into the second-level cache: the walk reads a day's held or busy
/// stocks where they lie in its rows, a miss each that the hardware does not see
/// coming, so each block asks for those of the block two ahead. (Into the first
/// level, the asks wait for the core's few fill buffers and gain nothing.)
/// Always inlined: GCC takes a call to a function that only asks for lines for a
/// call without effect, and drops it.
[[gnu::always_inline]] inline void ask_word(const UnitInputs<1> &in, std::size_t i, std::size_t first,
                                            std::uint64_t word) {
    const std::ptrdiff_t row = (std::ptrdiff_t)i * in.signal.stride + (std::ptrdiff_t)first;
    const std::ptrdiff_t flag_row = (std::ptrdiff_t)i * in.can_buy.stride + (std::ptrdiff_t)first;
    for (; word != 0; word &= word - 1) {
        const std::ptrdiff_t j = __builtin_ctzll(word);
        for (const double *c : {in.signal.data, in.prev_close.data, in.close.data, in.buy_price.data,
                                in.sell_price.data, in.split.data, in.dividend.data})
            __builtin_prefetch(c + row + j, 0, 2);
        __builtin_prefetch(in.can_buy.data + flag_row + j, 0, 2);
        __builtin_prefetch(in.cant_sell.data + flag_row + j, 0, 2);
    }
}

/// Day i (day k of the span): the stocks of the range that are held or busy (bit
/// words `busy`), block by block in stock order, each block's products summed into
/// its partial sums of the day; the records written through `w`.
template <class Inputs>
void walk_day(const Inputs &in, const PassRates &p, std::size_t i, std::size_t k, const std::uint64_t *busy,
              RowWalk &walk, Writers &w, bool wide) {
    DayTotals day;
    for (std::size_t b = 0; b < walk.blocks; ++b) {
        double *acc = walk.partial.data() + (b * walk.span + k) * kTerms;
        std::fill(acc, acc + kTerms, 0.0);
        if constexpr (std::is_same_v<Inputs, UnitInputs<1>>) {
            if (wide) {
                const std::size_t first = walk.s0 + b * kSumBlock;
                if (b + kAskBlocks < walk.blocks)
                    ask_word(in, i, first + kAskBlocks * kSumBlock, walk.held[b + kAskBlocks] | busy[b + kAskBlocks]);
                walk.held[b] = step_stocks_wide(in, p, i, first, walk.held[b] | busy[b],
                                                walk.holding.data() + (first - walk.s0), acc, w, day);
                continue;
            }
        }
        std::uint64_t held = 0;
        // Stocks outside this word need no work: their products are signed zeros,
        // which leave a sum that started at +0 unchanged, and they stay unheld.
        for (std::uint64_t word = walk.held[b] | busy[b]; word != 0; word &= word - 1) {
            const std::size_t j = (std::size_t)__builtin_ctzll(word), s = walk.s0 + b * kSumBlock + j;
            double &h = walk.holding[s - walk.s0];
            if (h == 0.0 && !(in.signal(i, s) > 0.0))
                idle_cell(h, in.dividend(i, s), acc);
            else
                record_cell(in, p, i, s, h, acc, w, day);
            held |= (std::uint64_t)(h != 0.0) << j;
        }
        walk.held[b] = held;
    }
    walk.day[k] = day;
}

/// Days i0 .. i0 + n - 1 (n at most the span) of the range, in tiles of eight days,
/// recorded into `to`, which `reserve(i)` makes room in for day i's records.
template <class Reserve>
void walk_span(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, RowWalk &walk,
               VwapRecords &to, Reserve reserve) {
    // Row-major inputs, the usual case here, are read without the column strides.
    const bool row_major = UnitInputs<1>::fits(in);
    const UnitInputs<1> rows(in);
    // Their held or busy stocks are stepped four at a time where the processor can.
    const bool wide = row_major && wide_step_available();
    for (std::size_t j0 = i0; j0 < i0 + n; j0 += kTileDays) {
        const std::size_t m = std::min(kTileDays, i0 + n - j0);
        std::fill(walk.busy.begin(), walk.busy.end(), 0);
        mark_busy(in, j0, m, walk.s0, walk.s1, walk.busy.data());
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t i = j0 + k;
            // Each table gets at most one record per stock a day (and a group of four
            // stocks is written whole): one reserve per day, and then the cursors
            // write without checking.
            reserve(i);
            Writers w(to);
            const std::uint64_t *busy = walk.busy.data() + k * walk.blocks;
            if (row_major)
                walk_day(rows, p, i, i - i0, busy, walk, w, wide);
            else
                walk_day(in, p, i, i - i0, busy, walk, w, false);
            w.finish(to);
            walk.ends[i - i0] = {to.trades.size, to.blocked.size, to.positions.size, to.pnl.size};
        }
    }
}

/// Hands the range's block sums of the span's first n days on, block by block.
void hand_on(const RowWalk &walk, std::size_t i0, std::size_t n, const BlockSums &sums) {
    for (std::size_t b = 0; b < walk.blocks; ++b) sums(i0, n, walk.partial.data() + b * walk.span * kTerms);
}

/// All stocks on this thread, straight into the tables, from day `first` on with
/// the state `walk` (of all stocks, a span of kTileDays) carried to it.
void walk_one(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, RowWalk &walk,
              std::size_t first) {
    const std::size_t days = in.days, stocks = in.stocks;
    for (std::size_t i0 = first; i0 < days; i0 += kTileDays) {
        const std::size_t n = std::min(kTileDays, days - i0);
        walk_span(in, p, i0, n, walk, out,
                  [&](std::size_t i) { Writers::reserve(out, stocks + kWideSlack, i, days, stocks); });
        hand_on(walk, i0, n, sums);
        set_totals(out, i0, n, walk.day.data());
    }
}

/// Two halves of the stocks (split at a block), each tile of days walked side by
/// side on two threads into each half's own tables, then sorted together in date
/// order (of each date the first half's records, then the second's: stock order).
/// A squeezed pass (see Squeeze) goes on with walk_one from the next tile.
void walk_two(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out,
              std::size_t one_from) {
    const std::size_t days = in.days, stocks = in.stocks, blocks = (stocks + kSumBlock - 1) / kSumBlock;
    const std::size_t split = blocks / 2 * kSumBlock;
    RowWalk walks[2] = {RowWalk(0, split, kRowTile), RowWalk(split, stocks, kRowTile)};
    ScratchLease scratch;
    VwapRecords(&tile)[2] = scratch->tile;
    Helper helper(true);
    Squeeze squeeze(one_from);
    for (std::size_t i0 = 0; i0 < days; i0 += kRowTile) {
        const std::size_t n = std::min(kRowTile, days - i0);
        auto half = [&](std::size_t h) {
            RowWalk &walk = walks[h];
            walk_span(in, p, i0, n, walk, tile[h],
                      [&](std::size_t) { Writers::reserve(tile[h], walk.s1 - walk.s0 + kWideSlack); });
        };
        PieceTime took[2];
        helper.run_both(
            [&] {
                took[0] = timed([&] { half(0); });
                hand_on(walks[0], i0, n, sums);
            },
            [&] { took[1] = timed([&] { half(1); }); });
        // Alongside the copy, on the second thread: the second half's block sums after
        // the first's, and its stocks after the first's in each day's totals (the
        // totals of one walk to the last bit).
        auto totals = [&] {
            hand_on(walks[1], i0, n, sums);
            add_to_totals(tile[1], i0, walks[0].day.data());
            set_totals(out, i0, n, walks[0].day.data());
        };
        VwapRecords *tiles[2] = {&tile[0], &tile[1]};
        const DayEnds *ends[2] = {walks[0].ends.data(), walks[1].ends.data()};
        append_runs(out, tiles, ends, i0, n, Market{days, stocks}, helper, totals);
        if (i0 + n < days && squeeze.after(took[0], took[1], i0 + n)) {
            // The halves' state, joined (the split is at a block), for one walk.
            RowWalk one(0, stocks, kTileDays);
            std::copy(walks[0].holding.begin(), walks[0].holding.end(), one.holding.begin());
            std::copy(walks[1].holding.begin(), walks[1].holding.end(), one.holding.begin() + split);
            std::copy(walks[0].held.begin(), walks[0].held.end(), one.held.begin());
            std::copy(walks[1].held.begin(), walks[1].held.end(), one.held.begin() + split / kSumBlock);
            return walk_one(in, p, sums, out, one, i0 + n);
        }
    }
}

}  // namespace

void walk_rows(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, int threads,
               std::size_t one_from) {
    if (threads == 2 && in.stocks > kSumBlock) return walk_two(in, p, sums, out, one_from);
    RowWalk walk(0, in.stocks, kTileDays);
    walk_one(in, p, sums, out, walk, 0);
}

}  // namespace tessary::kernels::record_detail
