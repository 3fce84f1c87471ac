// The VWAP kernel's day pass for inputs that are mostly row-major (the binary
// store's memory-mapped matrices), as a template over the vector width W (internal
// linkage, as everything compiled into the wide-vector files; see simd.hpp).
//
// Row-major matrices are read fastest one whole row at a time, in order: a few long
// sequential streams, where the memory system's prefetchers keep up (reading W rows
// side by side, or W places of a row in turn, measured two to three times slower).
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
constexpr std::size_t kStagePrefetchStocks = 32;  // how far ahead a stage asks for a stock's days

/// One input read a day at a time: `row(d)` is the first stock of day d, stocks
/// adjacent. Row-major inputs are read in place; others through a stage of
/// kStageDays days.
template <class T, int W>
struct DayInput {
    static_assert(kStageDays % W == 0);
    View2D<T> view;
    bool in_place;
    std::size_t stocks;
    std::vector<T> stage;  // kStageDays rows of `stocks` values
    std::size_t staged_from = 0;

    DayInput(const View2D<T> &v, std::size_t n) : view(v), in_place(v.col_stride == 1), stocks(n) {
        if (!in_place) stage.resize(kStageDays * n);
    }

    /// Copies days d .. d + count - 1 (count <= kStageDays) into the stage.
    void fill(std::size_t d, std::size_t count) {
        if (in_place) return;
        staged_from = d;
        T *out = stage.data();
        std::size_t s = 0;
        const std::size_t tiled = count - count % W;
        if (view.row_stride == 1) {
            // Column-major: W stocks at a time, their days in W x W tiles transposed.
            for (; s + W <= stocks; s += W) {
                // The days of stocks a little further on, asked for before they are needed:
                // each stock's days lie far from the last stock's.
                if (s + kStagePrefetchStocks + W <= stocks)
                    for (int k = 0; k < W; ++k)
                        for (std::size_t j0 = 0; j0 < tiled; j0 += 64 / sizeof(T))
                            prefetch(&view(d + j0, s + kStagePrefetchStocks + k), 0);
                for (std::size_t j0 = 0; j0 < tiled; j0 += W) {
                    T *rows = out + j0 * stocks + s;
                    if constexpr (std::is_same_v<T, double>) {
                        typename Vec<W>::d a[W], b[W];
                        for (int k = 0; k < W; ++k) a[k] = load<W>(&view(d + j0, s + k));
                        transpose<W>(a, b);
                        for (int j = 0; j < W; ++j) store<W>(rows + j * stocks, b[j]);
                    } else {
                        typename ByteTile<W>::word a[W];
                        for (int k = 0; k < W; ++k) std::memcpy(&a[k], &view(d + j0, s + k), W);
                        ByteTile<W>::transpose(a);
                        for (int j = 0; j < W; ++j) std::memcpy(rows + j * stocks, &a[j], W);
                    }
                }
            }
            // The days short of a tile, and the stocks short of a vector, below.
            for (std::size_t t = 0; t < s; ++t)
                for (std::size_t j = tiled; j < count; ++j) out[j * stocks + t] = view(d + j, t);
        }
        for (; s < stocks; ++s)
            for (std::size_t j = 0; j < count; ++j) out[j * stocks + s] = view(d + j, s);
    }

    /// Asks the memory system for the next stage's days (from `next`, of `days` in
    /// all) of stocks s0 .. s1 - 1 of a column-major input: spread over the days of
    /// the current stage, the next stage then mostly comes from cache.
    void prefetch_next(std::size_t next, std::size_t days, std::size_t s0, std::size_t s1) const {
        if (in_place || view.row_stride != 1 || next >= days) return;
        const std::size_t count = days - next < kStageDays ? days - next : kStageDays;
        for (std::size_t s = s0; s < s1; ++s)
            for (std::size_t j = 0; j < count; j += 64 / sizeof(T)) __builtin_prefetch(&view(next + j, s), 0, 1);
    }

    TESSARY_INLINE const T *row(std::size_t d) const {
        return in_place ? &view(d, 0) : stage.data() + (d - staged_from) * stocks;
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

    /// The next stage's share of day d (day d - stage start of kStageDays): its
    /// part of the stocks.
    void prefetch_next(std::size_t d, std::size_t days, std::size_t stocks) const {
        const std::size_t start = d - d % kStageDays, share = (stocks + kStageDays - 1) / kStageDays;
        const std::size_t s0 = (d - start) * share, s1 = s0 + share < stocks ? s0 + share : stocks;
        if (s0 >= s1) return;
        const std::size_t next = start + kStageDays;
        signal.prefetch_next(next, days, s0, s1);
        prev_close.prefetch_next(next, days, s0, s1);
        close.prefetch_next(next, days, s0, s1);
        buy.prefetch_next(next, days, s0, s1);
        sell.prefetch_next(next, days, s0, s1);
        split.prefetch_next(next, days, s0, s1);
        dividend.prefetch_next(next, days, s0, s1);
        can_buy.prefetch_next(next, days, s0, s1);
        cant_sell.prefetch_next(next, days, s0, s1);
    }

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

/// Neumaier's compensated addition (the driver's, in vwap.cpp).
TESSARY_INLINE void fold_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    if (__builtin_fabs(sum) >= __builtin_fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

/// All stocks, all days; the five per-day terms folded into `total` and `comp`
/// ([term * days + day]) block after block.
template <int W>
void by_days(const VwapInputs &in, const Rates &r, double *total, double *comp) {
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    const std::size_t days = in.days, stocks = in.stocks;
    const std::size_t blocks = (stocks + kStockBlock - 1) / kStockBlock;
    const std::size_t grouped = stocks / (W * kStockBlock) * W;  // blocks that go W side by side
    std::vector<double> holding(stocks, 0.0);                    // the portfolio starts empty
    std::vector<double> block_sum(kTerms * blocks);              // [term][block] of one day
    DayInputs<W> x(in);
    constexpr std::size_t kVectors = kStockBlock / W;  // vectors per block
    D product[kTerms][kVectors][W];                     // [term][vector of a block][block]

    for (std::size_t d = 0; d < days; ++d) {
        if (d % kStageDays == 0) x.fill(d, days - d < kStageDays ? days - d : kStageDays);
        x.prefetch_next(d, days, stocks);
        const double *w = x.signal.row(d), *pc = x.prev_close.row(d), *cl = x.close.row(d);
        const double *bp = x.buy.row(d), *sp = x.sell.row(d), *sf = x.split.row(d), *dv = x.dividend.row(d);
        const std::uint8_t *cb = x.can_buy.row(d), *cs = x.cant_sell.row(d);
        for (std::size_t g = 0; g < grouped; g += W) {
            // First the W blocks' stocks in memory order (a row read in sequence is what
            // the memory system serves fastest), their products kept in the first-level
            // cache; then, vector by vector of a block, the W blocks' products transposed
            // and added, each block's sum in its lane, stock after stock.
            for (int b = 0; b < W; ++b)
                for (std::size_t v = 0; v < kVectors; ++v) {
                    const std::size_t s = (g + b) * kStockBlock + v * W;
                    const D pcv = load<W>(pc + s);
                    const D target = lane_target<W>(load<W>(w + s), pcv, r);
                    const M buy_ok = load_flags<W>(cb + s);
                    const M sell_barred = load_flags<W>(cs + s);
                    const LaneMarket<W> market{load<W>(cl + s), load<W>(bp + s), load<W>(sp + s), load<W>(sf + s),
                                               load<W>(dv + s)};
                    D p[kTerms];
                    store<W>(&holding[s],
                             lane_trade<W>(target, load<W>(&holding[s]), buy_ok, sell_barred, pcv, market, r, p));
                    for (std::size_t t = 0; t < kTerms; ++t) product[t][v][b] = p[t];
                }
            for (std::size_t t = 0; t < kTerms; ++t) {
                D acc = splat<W>(0.0);
                for (std::size_t v = 0; v < kVectors; ++v) {
                    D by_stock[W];
                    transpose<W>(product[t][v], by_stock);
                    for (int l = 0; l < W; ++l) acc += by_stock[l];
                }
                store<W>(&block_sum[t * blocks + g], acc);
            }
        }
        // The blocks that do not fill a group, stock by stock.
        for (std::size_t b = grouped; b < blocks; ++b) {
            for (std::size_t t = 0; t < kTerms; ++t) block_sum[t * blocks + b] = 0.0;
            const std::size_t end = (b + 1) * kStockBlock < stocks ? (b + 1) * kStockBlock : stocks;
            for (std::size_t s = b * kStockBlock; s < end; ++s)
                trade_cell(in, r, d, s, holding[s], &block_sum[b], blocks);
        }
        for (std::size_t t = 0; t < kTerms; ++t)
            for (std::size_t b = 0; b < blocks; ++b) fold_add(total[t * days + d], comp[t * days + d], block_sum[t * blocks + b]);
    }
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
