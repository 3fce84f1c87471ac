// The recording pass date by date: tiles of days, the idle scan of each tile, then
// day by day the stocks held or busy, block by block.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels::record_detail {

namespace {

/// State of the walk, carried from day to day.
struct RowWalk {
    std::size_t stocks, blocks;
    std::vector<double> holding;      // shares per stock; the portfolio starts empty
    std::vector<std::uint64_t> held;  // per block: bit j set when stock 64 b + j is held
    std::vector<std::uint64_t> busy;  // the tile's idle scan, [day in tile][block]
    // The block sums of the tile's days, [block][day in tile][term].
    std::vector<double> partial;

    explicit RowWalk(std::size_t stocks_)
        : stocks(stocks_),
          blocks((stocks + kSumBlock - 1) / kSumBlock),
          holding(stocks, 0.0),
          held(blocks, 0),
          busy(kTileDays * blocks),
          partial(blocks * kTileDays * kTerms) {}
};

/// Day i0 + k of the tile: the stocks that are held or busy, block by block in stock
/// order, each block's products summed into its partial sums of the day.
template <class Inputs>
void walk_day(const Inputs &in, std::size_t days, const PassRates &p, std::size_t i0, std::size_t k, RowWalk &walk,
              VwapRecords &out) {
    const std::size_t i = i0 + k;
    // Each table gets at most one record per stock a day: one reserve per day, and
    // then the cursors write without checking.
    Writers::reserve(out, walk.stocks, i, days, walk.stocks);
    Writers w(out);
    DayTotals day;
    const std::uint64_t *busy = walk.busy.data() + k * walk.blocks;
    for (std::size_t b = 0; b < walk.blocks; ++b) {
        double *acc = walk.partial.data() + (b * kTileDays + k) * kTerms;
        std::fill(acc, acc + kTerms, 0.0);
        std::uint64_t held = 0;
        // Stocks outside this word need no work: their products are signed zeros,
        // which leave a sum that started at +0 unchanged, and they stay unheld.
        for (std::uint64_t word = walk.held[b] | busy[b]; word != 0; word &= word - 1) {
            const std::size_t j = (std::size_t)__builtin_ctzll(word), s = b * kSumBlock + j;
            double &h = walk.holding[s];
            if (h == 0.0 && !(in.signal(i, s) > 0.0))
                idle_cell(h, in.dividend(i, s), acc);
            else
                record_cell(in, p, i, s, h, acc, w, day);
            held |= (std::uint64_t)(h != 0.0) << j;
        }
        walk.held[b] = held;
    }
    w.finish(out);
    out.bought[i] = day.bought;
    out.sold[i] = day.sold;
    out.commission[i] = day.commission;
    out.levy[i] = day.levy;
    out.held[i] = day.held;
}

}  // namespace

void walk_rows(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out) {
    RowWalk walk(in.stocks);
    // Row-major inputs, the usual case here, are read without the column strides.
    const bool row_major = UnitInputs<1>::fits(in);
    const UnitInputs<1> rows(in);
    for (std::size_t i0 = 0; i0 < in.days; i0 += kTileDays) {
        const std::size_t n = std::min(kTileDays, in.days - i0);
        std::fill(walk.busy.begin(), walk.busy.end(), 0);
        mark_busy(in, i0, n, walk.busy.data());
        for (std::size_t k = 0; k < n; ++k) {
            if (row_major)
                walk_day(rows, in.days, p, i0, k, walk, out);
            else
                walk_day(in, in.days, p, i0, k, walk, out);
        }
        for (std::size_t b = 0; b < walk.blocks; ++b) sums(i0, n, walk.partial.data() + b * kTileDays * kTerms);
    }
}

}  // namespace tessary::kernels::record_detail
