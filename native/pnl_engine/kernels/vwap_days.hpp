// The VWAP kernel's day pass for inputs that are mostly row-major (the binary
// store's memory-mapped matrices), as a template over the vector width W (internal
// linkage, as everything compiled into the wide-vector files; see simd.hpp).
//
// Row-major matrices are read fastest one whole row at a time, in order: a few long
// sequential streams, where the memory system's prefetchers keep up (reading W rows
// side by side, or W places of a row in turn, they do not).
// So this pass goes day by day across all stocks, in memory order. Lanes are W
// neighbouring stocks of one block of 64 (each lane carries its stock's holding); the
// products of W blocks are kept in the first-level cache and then, W x W at a time,
// transposed in registers so that lane b of a sum vector is block b, which adds its
// stocks in stock order with vertical additions only. After the
// day the blocks' sums are folded into the compensated totals block after block,
// exactly as the driver folds them for the other passes, so the results are bit for
// bit those of the scalar step.
//
// Inputs in another layout (weights built by pandas are column-major) are copied 32
// days at a time into a row-major stage (W x W tiles transposed in registers), from
// which those days are then read like the others: 32 rows, never a whole matrix.
//
// The blocks past the last whole group of W (fewer than W blocks, the right edge of the
// matrix) go through the same vector code, the lanes of missing blocks and stocks
// given zero products (adding +0.0 to a sum that starts at +0.0 changes no bit); only
// the stocks past the last whole vector take the scalar step.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "pnl_engine/kernels/vwap_rows.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

/// Days staged at a time for an input that is not row-major: a column-major input
/// is then read in pieces of this many adjacent days per stock (a few cache lines,
/// which the memory system serves far better than one), and the stage (this many
/// rows) stays in cache.
constexpr std::size_t kStageDays = 32;
// How far ahead a stage asks for a stock's days, and into the second-level cache:
// that leaves the first level's few miss buffers to the loads.
constexpr std::size_t kStagePrefetchStocks = 64;

/// One input read a day at a time: `row(d)` is the first stock of day d, stocks
/// adjacent. Row-major inputs are read in place; others through a stage of
/// kStageDays days.
template <class T, int W>
struct DayInput {
    static_assert(kStageDays % W == 0);
    static constexpr std::size_t kLine = 64 / sizeof(T);  // values per cache line
    View2D<T> view;
    bool in_place;
    std::size_t stocks;
    std::size_t pitch = 0;  // values from one stage row to the next: whole cache lines
    std::vector<T> storage;
    T *stage = nullptr;  // kStageDays rows of `stocks` values, each starting a cache line
    std::size_t staged_from = 0;

    DayInput(const View2D<T> &v, std::size_t n) : view(v), in_place(v.col_stride == 1), stocks(n) {
        if (in_place) return;
        // Rows that start on a cache line keep every vector of the tiles and of the pass
        // within one line (a vector across two lines costs two accesses).
        pitch = (n + kLine - 1) / kLine * kLine;
        storage.resize(kStageDays * pitch + kLine);
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(storage.data());
        stage = storage.data() + (64 - at % 64) % 64 / sizeof(T);
    }

    /// Copies days d .. d + count - 1 (count <= kStageDays) into the stage.
    void fill(std::size_t d, std::size_t count) {
        if (in_place) return;
        staged_from = d;
        T *out = stage;
        std::size_t s = 0;
        const std::size_t tiled = count - count % W;
        if (view.row_stride == 1) {
            // Column-major: W stocks at a time, their days in W x W tiles transposed.
            for (; s + W <= stocks; s += W) {
                // The days of stocks further on, asked for before they are needed: each
                // stock's days lie far from the last stock's.
                if (s + kStagePrefetchStocks + W <= stocks)
                    for (int k = 0; k < W; ++k)
                        for (std::size_t j0 = 0; j0 < tiled; j0 += kLine)
                            __builtin_prefetch(&view(d + j0, s + kStagePrefetchStocks + k), 0, 2);
                for (std::size_t j0 = 0; j0 < tiled; j0 += W) {
                    T *rows = out + j0 * pitch + s;
                    if constexpr (std::is_same_v<T, double>) {
                        typename Vec<W>::d b[W];
                        load_transposed<W>(&view(d + j0, s), view.col_stride, b);
                        for (int j = 0; j < W; ++j) store<W>(rows + j * pitch, b[j]);
                    } else {
                        typename ByteTile<W>::word a[W];
                        for (int k = 0; k < W; ++k) std::memcpy(&a[k], &view(d + j0, s + k), W);
                        ByteTile<W>::transpose(a);
                        for (int j = 0; j < W; ++j) std::memcpy(rows + j * pitch, &a[j], W);
                    }
                }
            }
            // The days short of a tile, and the stocks short of a vector, below.
            for (std::size_t t = 0; t < s; ++t)
                for (std::size_t j = tiled; j < count; ++j) out[j * pitch + t] = view(d + j, t);
        }
        for (; s < stocks; ++s)
            for (std::size_t j = 0; j < count; ++j) out[j * pitch + s] = view(d + j, s);
    }

    TESSARY_INLINE const T *row(std::size_t d) const {
        return in_place ? &view(d, 0) : stage + (d - staged_from) * pitch;
    }
};

template <int W>
struct DayInputs {
    DayInput<double, W> signal, prev_close, close, buy, sell, split, dividend;
    DayInput<std::uint8_t, W> can_buy, cant_sell;

    explicit DayInputs(const VwapInputs &in)
        : signal(in.signal, in.stocks), prev_close(in.prev_close, in.stocks), close(in.close, in.stocks),
          buy(in.buy_price, in.stocks), sell(in.sell_price, in.stocks), split(in.split, in.stocks),
          dividend(in.dividend, in.stocks), can_buy(in.can_buy, in.stocks), cant_sell(in.cant_sell, in.stocks) {}

    void fill(std::size_t d, std::size_t count) {
        signal.fill(d, count);
        prev_close.fill(d, count);
        close.fill(d, count);
        buy.fill(d, count);
        sell.fill(d, count);
        split.fill(d, count);
        dividend.fill(d, count);
        can_buy.fill(d, count);
        cant_sell.fill(d, count);
    }
};

/// One day of every input: the first stock of the day, stocks adjacent.
struct DayRows {
    const double *w, *pc, *cl, *bp, *sp, *sf, *dv;
    const std::uint8_t *cb, *cs;
};

/// Neumaier's compensated addition (the driver's, in vwap.cpp).
TESSARY_INLINE void fold_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    if (__builtin_fabs(sum) >= __builtin_fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

/// The products of day row pointers `x` on the W blocks of group g (blocks g .. g + W - 1,
/// stocks from 64 g), trading the holdings, and each block's sum of every term in its
/// lane: `sums[t]` lane b is block g + b's sum of term t in stock order. With `kEdge`,
/// the group lies at the right edge of the matrix: vectors that do not lie wholly
/// before stock `end` are left out (their products +0.0, their holdings untouched).
template <int W, bool kEdge>
TESSARY_INLINE void trade_group(const DayRows &x, const Rates &r, std::size_t g, std::size_t end, double *holding,
                                typename Vec<W>::d *sums) {
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    constexpr std::size_t kVectors = kStockBlock / W;  // vectors per block
    D product[kTerms][kVectors][W];                     // [term][vector of a block][block]
    // First the W blocks' stocks in memory order (a row read in sequence is what the
    // memory system serves fastest), their products kept in the first-level cache;
    // then, vector by vector of a block, the W blocks' products transposed and added,
    // each block's sum in its lane, stock after stock.
    for (int b = 0; b < W; ++b)
        for (std::size_t v = 0; v < kVectors; ++v) {
            const std::size_t s = (g + b) * kStockBlock + v * W;
            if (kEdge && s + W > end) {
                for (std::size_t t = 0; t < kTerms; ++t) product[t][v][b] = splat<W>(0.0);
                continue;
            }
            const D pcv = load<W>(x.pc + s);
            const D target = lane_target<W>(load<W>(x.w + s), pcv, r);
            const M buy_ok = load_flags<W>(x.cb + s);
            const M sell_barred = load_flags<W>(x.cs + s);
            const LaneMarket<W> market{load<W>(x.cl + s), load<W>(x.bp + s), load<W>(x.sp + s), load<W>(x.sf + s),
                                       load<W>(x.dv + s)};
            D p[kTerms];
            store<W>(holding + s, lane_trade<W>(target, load<W>(holding + s), buy_ok, sell_barred, pcv, market, r, p));
            for (std::size_t t = 0; t < kTerms; ++t) product[t][v][b] = p[t];
        }
    for (std::size_t t = 0; t < kTerms; ++t) {
        D acc = splat<W>(0.0);
        for (std::size_t v = 0; v < kVectors; ++v) {
            D by_stock[W];
            transpose<W>(product[t][v], by_stock);
            for (int l = 0; l < W; ++l) acc += by_stock[l];
        }
        sums[t] = acc;
    }
}

/// All stocks, all days; the five per-day terms folded into `total` and `comp`
/// ([term * days + day]) block after block.
template <int W>
void by_days(const VwapInputs &in, const Rates &r, double *total, double *comp) {
    using D = typename Vec<W>::d;
    const std::size_t days = in.days, stocks = in.stocks;
    const std::size_t blocks = (stocks + kStockBlock - 1) / kStockBlock;
    const std::size_t grouped = stocks / (W * kStockBlock) * W;  // blocks that go W side by side
    // The stocks that fill whole vectors; the rest (fewer than W) take the scalar step.
    const std::size_t vectors_end = stocks / W * W;
    std::vector<double> holding(stocks, 0.0);        // the portfolio starts empty
    std::vector<double> block_sum(kTerms * blocks);  // [term][block] of one day
    DayInputs<W> x(in);

    for (std::size_t d = 0; d < days; ++d) {
        if (d % kStageDays == 0) x.fill(d, days - d < kStageDays ? days - d : kStageDays);
        const DayRows row{x.signal.row(d), x.prev_close.row(d), x.close.row(d),   x.buy.row(d),     x.sell.row(d),
                          x.split.row(d),  x.dividend.row(d),   x.can_buy.row(d), x.cant_sell.row(d)};
        D sums[kTerms];
        for (std::size_t g = 0; g < grouped; g += W) {
            trade_group<W, false>(row, r, g, stocks, holding.data(), sums);
            for (std::size_t t = 0; t < kTerms; ++t) store<W>(&block_sum[t * blocks + g], sums[t]);
        }
        if (grouped < blocks) {
            // The blocks that do not fill a group: the same vectors, fewer lanes kept.
            trade_group<W, true>(row, r, grouped, vectors_end, holding.data(), sums);
            for (std::size_t t = 0; t < kTerms; ++t)
                for (std::size_t b = grouped; b < blocks; ++b) block_sum[t * blocks + b] = sums[t][b - grouped];
            // The stocks past the last whole vector (all in the last block), after the
            // block's other stocks.
            for (std::size_t s = vectors_end; s < stocks; ++s)
                trade_cell(in, r, d, s, holding[s], &block_sum[blocks - 1], blocks);
        }
        for (std::size_t t = 0; t < kTerms; ++t)
            for (std::size_t b = 0; b < blocks; ++b) fold_add(total[t * days + d], comp[t * days + d], block_sum[t * blocks + b]);
    }
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
