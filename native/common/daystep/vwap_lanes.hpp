// The scalar step's formulas on vectors, shared by the VWAP kernel's column pass
// (lanes are days of one stock) and row pass (lanes are stocks on one day). Every
// lane performs exactly the scalar step's operations in its order, so the passes
// agree with it bit for bit. Internal linkage, as everything compiled into the
// wide-vector files (see simd.hpp).
#pragma once

#include "common/simd/simd.hpp"
#include "common/daystep/vwap_cell.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

using namespace simd;

/// The market of the lanes other than the flags and the previous close.
template <int W>
struct LaneMarket {
    typename Vec<W>::d close, buy_price, sell_price, split, dividend;
};

/// Target in shares: whole lots sized from the initial capital at the previous
/// close where the weight is positive and the previous close finite and positive.
template <int W>
TESSARY_INLINE typename Vec<W>::d lane_target(typename Vec<W>::d weight, typename Vec<W>::d prev_close,
                                              const Rates &r) {
    using M = typename Vec<W>::m;
    constexpr double inf = __builtin_inf();
    const M valid = (weight > 0.0) & (prev_close > 0.0) & (prev_close < inf);  // a NaN close fails both
    const typename Vec<W>::d raw_lots = r.money * weight / (prev_close * r.lot);
    return valid ? floor_v<W>(raw_lots) * r.lot : splat<W>(0.0);
}

/// The trade from the holding `before` towards `target` and the five profit
/// products (buy, hold, hold dividend, sell, sell dividend) into `product`.
/// Returns the holding after the trade.
template <int W>
TESSARY_INLINE typename Vec<W>::d lane_trade(typename Vec<W>::d target, typename Vec<W>::d before,
                                             typename Vec<W>::m buy_ok, typename Vec<W>::m sell_barred,
                                             typename Vec<W>::d prev_close, const LaneMarket<W> &m, const Rates &r,
                                             typename Vec<W>::d *product) {
    using D = typename Vec<W>::d;
    const D diff = target - before;
    const D real_buy = ((diff > 0.0) & buy_ok) ? diff : splat<W>(0.0);
    const D sold = ((diff < 0.0) & ~sell_barred) ? -diff : splat<W>(0.0);
    const D hold = before - sold;  // carried and not sold, including shares barred from selling

    const D split_eff = nan_as<W>(m.split, 1.0);
    const D div_eff = nan_as<W>(m.dividend, 0.0);
    const D buy_coeff = nan_to_num_v<W>(m.close - m.buy_price * r.buy_mult);
    const D hold_coeff = nan_to_num_v<W>(split_eff * m.close - prev_close);
    const D sell_coeff = nan_to_num_v<W>(split_eff * m.sell_price * r.sell_mult - prev_close);
    product[0] = real_buy * buy_coeff;
    product[1] = hold * hold_coeff;
    product[2] = hold * div_eff;
    product[3] = sold * sell_coeff;
    product[4] = sold * div_eff;
    return hold + real_buy;
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
