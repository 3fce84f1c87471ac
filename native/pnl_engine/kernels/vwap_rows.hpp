// The VWAP kernel's vectorised pass over row-major inputs, as a template over the
// vector width (compiled in the same files as the column pass; see vwap_columns.hpp
// for why everything here has internal linkage).
//
// Row-major inputs (the binary store's memory-mapped matrices, for one) put each
// day's stocks next to each other, so a vector holds `lanes` neighbouring stocks on
// one day. Each lane carries its own stock's holding from day to day, so no scan is
// needed: the lanes run the scalar step's formulas side by side. A day's products
// are then added to that day's partial sums lane after lane, in stock order, which
// is the scalar pass's order: the results are bit for bit those of the scalar pass.
#pragma once

#include "pnl_engine/kernels/simd.hpp"
#include "pnl_engine/kernels/vwap_cell.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

using namespace simd;

constexpr std::size_t kRowPrefetchDays = 4;  // how many days ahead each row segment is asked for

/// Asks the memory system for the bytes [p, p + n) (a few cache lines).
TESSARY_INLINE void prefetch_bytes(const void *p, std::size_t n) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    for (std::size_t o = 0; o < n; o += 64) __builtin_prefetch(reinterpret_cast<const void *>(a + o));
}

/// Stocks s0 .. s0 + width - 1, all days, day by day; see row_pass in vwap_cell.hpp.
template <int W>
TESSARY_INLINE void rows(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    constexpr double inf = __builtin_inf();
    constexpr std::size_t kBlockWidth = 64;
    const std::size_t days = in.days;
    double holding[kRowBlocks * kBlockWidth] = {};  // the portfolio starts empty
    for (std::size_t i = 0; i < days; ++i) {
        // A few days ahead, this span's part of each row. Rows lie far apart, so the
        // hardware does not guess them.
        if (i + kRowPrefetchDays < days) {
            const std::size_t j = i + kRowPrefetchDays;
            prefetch_bytes(&in.signal(j, s0), width * 8);
            prefetch_bytes(&in.prev_close(j, s0), width * 8);
            prefetch_bytes(&in.close(j, s0), width * 8);
            prefetch_bytes(&in.buy_price(j, s0), width * 8);
            prefetch_bytes(&in.sell_price(j, s0), width * 8);
            prefetch_bytes(&in.split(j, s0), width * 8);
            prefetch_bytes(&in.dividend(j, s0), width * 8);
            prefetch_bytes(&in.can_buy(j, s0), width);
            prefetch_bytes(&in.cant_sell(j, s0), width);
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
                const D wv = load<W>(&in.signal(i, s)), pcv = load<W>(&in.prev_close(i, s));
                // The scalar step's formulas, lane by lane.
                const M valid = (wv > 0.0) & (pcv > 0.0) & (pcv < inf);  // a NaN close fails both
                const D raw_lots = r.money * wv / (pcv * r.lot);
                const D target = valid ? floor_v<W>(raw_lots) * r.lot : splat<W>(0.0);
                const D current = load<W>(h);
                const D diff = target - current;
                const M buy_ok = load_flags<W>(&in.can_buy(i, s));
                const M sell_barred = load_flags<W>(&in.cant_sell(i, s));
                const D real_buy = ((diff > 0.0) & buy_ok) ? diff : splat<W>(0.0);
                const D sold = ((diff < 0.0) & ~sell_barred) ? -diff : splat<W>(0.0);
                const D hold = current - sold;
                store<W>(h, hold + real_buy);

                const D closev = load<W>(&in.close(i, s));
                const D split_eff = nan_as_one<W>(load<W>(&in.split(i, s)));
                const D div_eff = nan_as_zero<W>(load<W>(&in.dividend(i, s)));
                const D buy_coeff = nan_to_num_v<W>(closev - load<W>(&in.buy_price(i, s)) * r.buy_mult);
                const D hold_coeff = nan_to_num_v<W>(split_eff * closev - pcv);
                const D sell_coeff = nan_to_num_v<W>(split_eff * load<W>(&in.sell_price(i, s)) * r.sell_mult - pcv);
                const D p0 = real_buy * buy_coeff, p1 = hold * hold_coeff, p2 = hold * div_eff;
                const D p3 = sold * sell_coeff, p4 = sold * div_eff;
                for (int l = 0; l < W; ++l) {  // stock after stock
                    acc[0] += p0[l];
                    acc[1] += p1[l];
                    acc[2] += p2[l];
                    acc[3] += p3[l];
                    acc[4] += p4[l];
                }
            }
            for (; k < block_width; ++k) trade_cell(in, r, i, s0 + b0 + k, holding[b0 + k], acc, 1);
            for (std::size_t t = 0; t < kTerms; ++t) block_partial[t * days + i] = acc[t];
        }
    }
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
