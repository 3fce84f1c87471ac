// The VWAP kernel's vectorised pass over row-major inputs, as a template over the
// vector width (compiled in the same files as the column pass; see simd.hpp for why
// everything here has internal linkage).
//
// Row-major inputs (the binary store's memory-mapped matrices, for one) put each
// day's stocks next to each other, so a vector holds `lanes` neighbouring stocks on
// one day. Each lane carries its own stock's holding from day to day, so no scan is
// needed: the lanes run the scalar step's formulas side by side. A day's products
// are then added to that day's partial sums lane after lane, in stock order, which
// is the scalar pass's order: the results are bit for bit those of the scalar pass.
#pragma once

#include "pnl_engine/kernels/vwap_lanes.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

using namespace simd;

constexpr std::size_t kRowPrefetchDays = 4;  // how many days ahead each row segment is asked for

/// Stocks s0 .. s0 + width - 1, all days, day by day; see row_pass in vwap_cell.hpp.
template <int W>
TESSARY_INLINE void rows(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    constexpr std::size_t kBlockWidth = 64;
    const std::size_t days = in.days;
    double holding[kRowBlocks * kBlockWidth] = {};  // the portfolio starts empty
    for (std::size_t i = 0; i < days; ++i) {
        // A few days ahead, this span's part of each row. Rows lie far apart, so the
        // hardware does not guess them.
        if (i + kRowPrefetchDays < days) {
            const std::size_t j = i + kRowPrefetchDays;
            prefetch_run(&in.signal(j, s0), width);
            prefetch_run(&in.prev_close(j, s0), width);
            prefetch_run(&in.close(j, s0), width);
            prefetch_run(&in.buy_price(j, s0), width);
            prefetch_run(&in.sell_price(j, s0), width);
            prefetch_run(&in.split(j, s0), width);
            prefetch_run(&in.dividend(j, s0), width);
            prefetch_run(&in.can_buy(j, s0), width);
            prefetch_run(&in.cant_sell(j, s0), width);
        }
        for (std::size_t b0 = 0; b0 < width; b0 += kBlockWidth) {
            const std::size_t block_width = width - b0 < kBlockWidth ? width - b0 : kBlockWidth;
            double *block_partial = partial + (b0 / kBlockWidth) * kTerms * days;
            double acc[kTerms];
            for (std::size_t t = 0; t < kTerms; ++t) acc[t] = block_partial[t * days + i];
            std::size_t k = 0;
            for (; k + W <= block_width; k += W) {
                const std::size_t s = s0 + b0 + k;
                double *h = holding + b0 + k;
                const D pcv = load<W>(&in.prev_close(i, s));
                const D target = lane_target<W>(load<W>(&in.signal(i, s)), pcv, r);
                const M buy_ok = load_flags<W>(&in.can_buy(i, s));
                const M sell_barred = load_flags<W>(&in.cant_sell(i, s));
                const LaneMarket<W> market{load<W>(&in.close(i, s)), load<W>(&in.buy_price(i, s)),
                                           load<W>(&in.sell_price(i, s)), load<W>(&in.split(i, s)),
                                           load<W>(&in.dividend(i, s))};
                D p[kTerms];
                store<W>(h, lane_trade<W>(target, load<W>(h), buy_ok, sell_barred, pcv, market, r, p));
                for (int l = 0; l < W; ++l)  // stock after stock
                    for (std::size_t t = 0; t < kTerms; ++t) acc[t] += p[t][l];
            }
            for (; k < block_width; ++k) trade_cell(in, r, i, s0 + b0 + k, holding[b0 + k], acc, 1);
            for (std::size_t t = 0; t < kTerms; ++t) block_partial[t * days + i] = acc[t];
        }
    }
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
