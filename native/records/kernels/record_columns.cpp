// The recording pass down the columns: tiles of days, each stock down the tile's
// days, the tile's records then put in date order onto the end of the tables.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_tiles.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels::record_detail {

namespace {

// Days per tile. Each stock's days of a tile are read as one stretch of every
// input: each jump from column to column costs misses of the cache and of the
// address translation that the hardware does not see coming, so the stretches
// should be long; the tile's records, held until the tile is sorted, should be
// few. 512 days is the balance of the two.
constexpr std::size_t kColumnTile = 512;
// Values from one term's row of the wide walk's block sums to the next: a tile and
// a vector more, so that the rows do not lie a multiple of 4 KiB apart (loads of
// one row then wait for stores to another, which the processor cannot tell apart
// by their low address bits).
constexpr std::size_t kTermStride = kColumnTile + 8;
// A stock's busy groups of eight days of a tile fit one bit word.
static_assert(kColumnTile <= 8 * 64);

/// One stock down days i0 .. i0 + n - 1 of a tile, recording into `tile`; the
/// products of day i0 + k go to partial[k * kTerms ..], the totals to day[k].
/// `groups` (see busy_groups) lets the walk jump over groups of eight days with
/// nothing held and nothing to do. `in`: VwapInputs, or UnitInputs<0> when every
/// input is column-major.
template <class Inputs>
void walk_stock(const Inputs &in, const PassRates &p, std::size_t i0, std::size_t n, std::size_t s,
                std::uint64_t groups, double &holding, double *partial, DayTotals *day, VwapRecords &tile) {
    Writers::reserve(tile, n);  // at most one record per day and table
    Writers w(tile);
    double h = holding;
    for (std::size_t k = 0; k < n; ++k) {
        // Nothing held at the start of a group: on to the next busy group, if any.
        if (h == 0.0 && k % 8 == 0) {
            const std::uint64_t rest = groups >> (k / 8);
            if (rest == 0) break;
            k += 8 * (std::size_t)__builtin_ctzll(rest);
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

}  // namespace

void reserve_tile(VwapRecords &tile, std::size_t n) { Writers::reserve(tile, n); }

void step_cell(const VwapInputs &in, const PassRates &p, std::size_t i, std::size_t s, double &holding, double *acc,
               DayTotals &day, VwapRecords &tile) {
    if (holding == 0.0 && !(in.signal(i, s) > 0.0)) return idle_cell(holding, in.dividend(i, s), acc);
    Writers w(tile);
    record_cell(in, p, i, s, holding, acc, w, day);
    w.finish(tile);
}

namespace {

/// One thread's share of a tile: a range of stocks (starting a block), walked into
/// its own tables, with the day totals of its stocks.
struct Part {
    std::size_t begin = 0, end = 0;
    VwapRecords *tile = nullptr;  // the tile's records, stock by stock; its columns are reused
    std::vector<DayTotals> day = std::vector<DayTotals>(kColumnTile);
    std::vector<double> partial = std::vector<double>(kColumnTile * kTerms);  // one block's sums, [day][term]
    std::vector<double> by_term;   // the same, [term][day], for the wide walk
    std::vector<double> by_total;  // the day totals of the wide walk, [total][day]

    /// Days i0 .. i0 + n - 1 of the part's stocks, block by block, each stock eight
    /// days a vector; each block's sums go to `sums`, the totals of its stocks to
    /// `day`.
    void walk_wide(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, double *holding,
                   const BlockSums &sums) {
#if defined(TESSARY_WIDE_KERNELS)
        by_term.resize(kTermStride * kTerms);
        by_total.assign(kTermStride * kTotals, 0.0);
        for (std::size_t s0 = begin; s0 < end; s0 += kSumBlock) {
            std::fill(by_term.begin(), by_term.end(), 0.0);
            const std::size_t block_end = std::min(end, s0 + kSumBlock);
            for (std::size_t s = s0; s < block_end; ++s)
                walk_stock_wide(in, p, i0, n, s, holding[s], by_term.data(), by_total.data(), kTermStride, *tile);
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t t = 0; t < kTerms; ++t) partial[k * kTerms + t] = by_term[t * kTermStride + k];
            sums(i0, n, partial.data());
        }
        const double *t = by_total.data();
        const std::size_t S = kTermStride;
        for (std::size_t k = 0; k < n; ++k) day[k] = {t[k], t[S + k], t[2 * S + k], t[3 * S + k], t[4 * S + k]};
#else
        (void)in, (void)p, (void)i0, (void)n, (void)holding, (void)sums;
#endif
    }

    /// Days i0 .. i0 + n - 1 of the part's stocks, block by block; each block's sums
    /// go to `sums`.
    void walk(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, double *holding,
              const BlockSums &sums) {
        std::fill(day.begin(), day.end(), DayTotals{});
        const bool adjacent = in.signal.row_stride == 1 && in.dividend.row_stride == 1;
        // Column-major inputs, the usual case here, are read without the day strides.
        const bool column_major = UnitInputs<0>::fits(in);
        const UnitInputs<0> columns(in);
        for (std::size_t s0 = begin; s0 < end; s0 += kSumBlock) {
            std::fill(partial.begin(), partial.end(), 0.0);
            const std::size_t block_end = std::min(end, s0 + kSumBlock);
            // The block's busy groups first: weights and dividends read in one go
            // (and left in the cache for the walk). Without adjacent weights and
            // dividends every group is looked at.
            std::uint64_t groups[kSumBlock];
            for (std::size_t s = s0; s < block_end; ++s) {
                const bool last = s + 1 == end;
                groups[s - s0] = adjacent ? busy_groups(&in.signal(i0, s), &in.dividend(i0, s), n,
                                                        last ? nullptr : &in.signal(i0, s + 1),
                                                        last ? nullptr : &in.dividend(i0, s + 1))
                                          : ~std::uint64_t{0};
            }
            for (std::size_t s = s0; s < block_end; ++s) {
                if (column_major)
                    walk_stock(columns, p, i0, n, s, groups[s - s0], holding[s], partial.data(), day.data(), *tile);
                else
                    walk_stock(in, p, i0, n, s, groups[s - s0], holding[s], partial.data(), day.data(), *tile);
            }
            sums(i0, n, partial.data());
        }
    }
};

}  // namespace

void walk_columns(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, int threads,
                  bool wide, std::size_t one_from) {
    const std::size_t days = in.days, stocks = in.stocks, blocks = (stocks + kSumBlock - 1) / kSumBlock;
    bool two = threads == 2 && blocks >= 2;
    std::vector<double> holding(stocks, 0.0);  // the portfolio starts empty
    wide = wide && UnitInputs<0>::fits(in);
#if defined(TESSARY_WIDE_KERNELS)
    // On one thread, eight days a vector: by groups of days, which need no sort.
    if (wide && !two) return walk_groups(in, p, sums, out, 0, holding.data());
#endif
    Part parts[2];
    parts[0].end = two ? blocks / 2 * kSumBlock : stocks;
    parts[1].begin = parts[0].end;
    parts[1].end = stocks;
    // The second part's block sums of a tile, kept and handed on after the first's,
    // so the totals are those of one walk to the last bit.
    std::vector<double> kept;
    ScratchLease scratch;  // the parts' tile tables, the sort's scratch of each thread
    parts[0].tile = &scratch->tile[0];
    parts[1].tile = &scratch->tile[1];
    Helper helper(two), alone(false);
    Squeeze squeeze(one_from);
    auto walk = [&](Part &part, std::size_t i0, std::size_t n, const BlockSums &to) {
        if (wide) {
            part.walk_wide(in, p, i0, n, holding.data(), to);
        } else {
            part.walk(in, p, i0, n, holding.data(), to);
        }
    };
    for (std::size_t i0 = 0; i0 < days; i0 += kColumnTile) {
        const std::size_t n = std::min(kColumnTile, days - i0);
        PieceTime took[2];
        if (two) {
            kept.clear();
            helper.run_both([&] { took[0] = timed([&] { walk(parts[0], i0, n, sums); }); },
                            [&] {
                                took[1] = timed([&] {
                                    walk(parts[1], i0, n, [&](std::size_t, std::size_t, const double *x) {
                                        kept.insert(kept.end(), x, x + n * kTerms);
                                    });
                                });
                            });
        } else {
            walk(parts[0], i0, n, sums);
        }
        // Alongside the sort, on the second thread: the second part's block sums after
        // the first's, and its stocks after the first's in each day's totals.
        auto totals = [&] {
            if (two) {
                for (std::size_t at = 0; at < kept.size(); at += n * kTerms) sums(i0, n, kept.data() + at);
                add_to_totals(*parts[1].tile, i0, parts[0].day.data());
            }
            set_totals(out, i0, n, parts[0].day.data());
        };
        VwapRecords *tiles[2] = {parts[0].tile, parts[1].tile};
        append_tiles(out, tiles, two ? 2 : 1, i0, n, Market{days, stocks}, scratch->order, two ? helper : alone,
                     totals);
        if (two && i0 + n < days && squeeze.after(took[0], took[1], i0 + n)) {
            // Squeezed (see Squeeze): the rest on this thread, both parts' stocks as one.
#if defined(TESSARY_WIDE_KERNELS)
            if (wide) return walk_groups(in, p, sums, out, i0 + n, holding.data());
#endif
            two = false;
            parts[0].end = stocks;
        }
    }
}

}  // namespace tessary::kernels::record_detail
