// The VWAP kernel's vectorised pass over column-major inputs, as a template over the
// vector width. Each width is compiled in its own source file with the matching
// instruction-set flags; everything here has internal linkage so that no code built
// for a wide instruction set can be picked by the linker for another file.
//
// Column-major frames (pandas' own layout) put each stock's days next to each other,
// so the natural order is stock by stock, down the days. The only thing that links
// one day to the next is the stock's holding, and that chain is what makes a plain
// day-by-day loop slow: every day waits for the previous day's subtract, compare and
// select. This pass breaks the chain up.
//
// While share counts are whole numbers no larger than 2^53 every subtraction in the
// trading step is exact, and one day's new holding is a clamp of the old one:
//
//     buy allowed, sell allowed  -> target                 (lo = hi = target)
//     buy allowed, sell barred   -> max(holding, target)   (lo = target, hi = +inf)
//     buy barred,  sell allowed  -> min(holding, target)   (lo = -inf, hi = target)
//     buy barred,  sell barred   -> holding                (lo = -inf, hi = +inf)
//
// where clamp(x) = min(max(x, lo), hi). Clamps compose into clamps, so the holdings
// of `lanes` consecutive days follow from the holding before them by a prefix scan
// over the days of one vector, and the chain from one vector to the next is a
// single scalar max and min. With the holdings known, the day's buy, sell and carry
// are the scalar step's own formulas evaluated on vectors, and the five products are
// added to the per-day partial sums in the same stock order as the scalar pass:
// the results are bit for bit those of the scalar pass.
//
// A vector of days whose targets or incoming holding leave that range (an infinite
// weight, a NaN capital, astronomically large positions) is done by the scalar step,
// which carries infinities and NaN exactly as the arithmetic prescribes.
//
// The pass is built for 8 and 4 doubles per vector (AVX-512 and AVX2); the widest the
// processor supports is chosen at run time, and a processor with neither runs the
// scalar step. Floating-point contraction is off for the whole build, so every width
// performs the same IEEE operations in the same order.
#pragma once

#include "common/daystep/vwap_lanes.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

using namespace simd;

constexpr double kExactLimit = 9007199254740992.0;  // 2^53: integers up to here subtract exactly
constexpr double kInf = __builtin_inf();
constexpr std::size_t kPrefetchDays = 256;  // 2 KiB ahead in each float column

/// Inclusive prefix composition of the clamps (lo, hi) over the lanes (Hillis-Steele):
/// afterwards lane i holds the clamp of days 0..i applied in order. Shifted-in lanes
/// are the identity clamp (-inf, +inf).
template <int W, int K = 1>
TESSARY_INLINE void scan_clamps(typename Vec<W>::d &lo, typename Vec<W>::d &hi) {
    if constexpr (K < W) {
        using D = typename Vec<W>::d;
        const D before_lo = shift_up<W, K>(lo, splat<W>(-kInf));
        const D before_hi = shift_up<W, K>(hi, splat<W>(kInf));
        // The earlier clamp first, then this lane's: its bounds clamped by this lane's.
        const D new_lo = vmin<W>(vmax<W>(before_lo, lo), hi);
        const D new_hi = vmin<W>(vmax<W>(before_hi, lo), hi);
        lo = new_lo;
        hi = new_hi;
        scan_clamps<W, 2 * K>(lo, hi);
    }
}

/// The holding before each day's trade of a vector of days, from `holding`, the
/// holding before the vector's first day (see the top of the file); `holding`
/// becomes the holding after its last day.
template <int W>
TESSARY_INLINE typename Vec<W>::d holdings_before(double &holding, typename Vec<W>::d target,
                                                  typename Vec<W>::m buy_ok, typename Vec<W>::m sell_barred) {
    using D = typename Vec<W>::d;
    D lo = buy_ok ? target : splat<W>(-kInf);
    D hi = sell_barred ? splat<W>(kInf) : target;
    scan_clamps<W>(lo, hi);
    const D start = splat<W>(holding);
    const D after = vmin<W>(vmax<W>(start, lo), hi);
    // The carried chain: a scalar max and min per vector (the last lane of `after`,
    // computed off the vector path so the next vector need not wait for it).
    const double lo_last = lo[W - 1], hi_last = hi[W - 1];
    const double raised = holding > lo_last ? holding : lo_last;
    holding = raised < hi_last ? raised : hi_last;
    return shift_up<W, 1>(after, start);
}

/// One stock, all days.
template <int W>
TESSARY_INLINE void column_run(const VwapInputs &in, const Rates &r, std::size_t s, double *partial) {
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    const std::size_t days = in.days;
    const double *w = &in.signal(0, s), *pc = &in.prev_close(0, s), *close = &in.close(0, s);
    const double *buy = &in.buy_price(0, s), *sell = &in.sell_price(0, s);
    const double *split = &in.split(0, s), *dividend = &in.dividend(0, s);
    const std::uint8_t *can_buy = &in.can_buy(0, s), *cant_sell = &in.cant_sell(0, s);

    double holding = 0.0;  // the portfolio starts empty
    std::size_t i = 0;
    for (; i + W <= days; i += W) {
        // Nine streams are read at once; asking for each one's data a little ahead
        // keeps the memory system busy while the vector work runs (about a sixth
        // faster on large matrices).
        if (i % 8 == 0) {
            const std::size_t ahead = i + kPrefetchDays;
            prefetch(w, ahead);
            prefetch(pc, ahead);
            prefetch(close, ahead);
            prefetch(buy, ahead);
            prefetch(sell, ahead);
            prefetch(split, ahead);
            prefetch(dividend, ahead);
            if (i % 64 == 0) {
                prefetch(can_buy, ahead);
                prefetch(cant_sell, ahead);
            }
        }
        const D pcv = load<W>(pc + i);
        const D target = lane_target<W>(load<W>(w + i), pcv, r);
        if (!(holding <= kExactLimit) || !all_lanes<W>(target <= kExactLimit)) {
            for (std::size_t j = i; j < i + W; ++j) trade_cell(in, r, j, s, holding, partial + j, days);
            continue;
        }
        const M buy_ok = load_flags<W>(can_buy + i);
        const M sell_barred = load_flags<W>(cant_sell + i);

        // Each day's holding from the holding before the vector.
        const D before = holdings_before<W>(holding, target, buy_ok, sell_barred);

        // The scalar step's trade formulas, on the known holdings.
        const LaneMarket<W> market{load<W>(close + i), load<W>(buy + i), load<W>(sell + i), load<W>(split + i),
                                   load<W>(dividend + i)};
        D product[kTerms];
        lane_trade<W>(target, before, buy_ok, sell_barred, pcv, market, r, product);
        for (std::size_t t = 0; t < kTerms; ++t) {
            double *acc = partial + t * days + i;
            store<W>(acc, load<W>(acc) + product[t]);
        }
    }
    for (; i < days; ++i) trade_cell(in, r, i, s, holding, partial + i, days);
}

/// Stocks s0 .. s0 + width - 1.
template <int W>
TESSARY_INLINE void columns(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width,
                            double *partial) {
    for (std::size_t k = 0; k < width; ++k) column_run<W>(in, r, s0 + k, partial);
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
