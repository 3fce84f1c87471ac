// The step of one stock on one day under the hold rule: share targets are set on
// the dates whose weights are given and kept (in shares) until the next such date.
// Shared by the daily-return kernel and the recording pass. Internal to the kernels.
//
// Per stock the state is the holding and the kept target, both in shares. On a day:
//   1. A split (a share multiplier f that is a positive finite number; anything else
//      is no event) scales the holding and the kept target by f, as a broker credits
//      the new shares: a split alone trades nothing.
//   2. When the weights of the previous date are given, they set a new target:
//      floor(total_money * weight / (prev_close * lot)) lots, sized at the previous
//      close (the close before the split) and then scaled by f like the holding; no
//      target where the weight is not > 0 or the previous close not finite and > 0.
//   3. The holding trades towards the target as far as the flags allow; what a flag
//      refused is tried again on the following days, the target being kept.
// Share counts after the split are in new shares, so the previous close and the
// dividend (cash per old share) are divided by f to value them:
//   buy   = bought x (close - buy price x (1 + fee))
//   hold  = carried x (close - prev_close / f),   hold dividend = carried x dividend / f
//   sell  = sold x (sell price x (1 - fee - levy) - prev_close / f), sell dividend likewise.
// Without a split (f = 1) and with every date given, each step is the resize rule's
// step to the bit.
#pragma once

#include <cstddef>

#include "common/daystep/vwap_cell.hpp"

namespace tessary::kernels::vwap_detail {

/// One stock's state under the hold rule.
struct HoldState {
    double holding = 0.0;  // shares after the day's trades
    double target = 0.0;   // the kept target in shares
};

/// Everything one step decides, for the records as well as the sums.
struct HoldStep {
    double split;      // the multiplier applied (1 when there was no event)
    double diff;       // target - holding before the trades
    double real_buy;   // shares bought
    double sell;       // shares sold
    double hold;       // shares carried and not sold
    bool buy_allowed;  // the can-buy flag
    bool sell_barred;  // the cannot-sell flag
    double term[kTerms];
};

/// The hold rule's step of stock `s` on day `i`; `given`: the weights of the
/// previous date set a new target.
static inline HoldStep hold_cell(const VwapInputs &in, const Rates &r, std::size_t i, std::size_t s, bool given,
                                 HoldState &state) {
    HoldStep x;
    const double split_raw = in.split(i, s);
    x.split = (split_raw > 0.0 && split_raw <= DBL_MAX) ? split_raw : 1.0;
    const double pc = in.prev_close(i, s);
    double target = state.target;
    if (given) {
        const double w = in.signal(i, s);
        target = 0.0;
        if (w > 0.0 && __builtin_isfinite(pc) && pc > 0.0) target = exact_floor(r.money * w / (pc * r.lot)) * r.lot;
    }
    target *= x.split;
    const double current = state.holding * x.split;
    x.diff = target - current;
    x.buy_allowed = in.can_buy(i, s) != 0;
    x.sell_barred = in.cant_sell(i, s) != 0;
    x.real_buy = (x.diff > 0.0 && x.buy_allowed) ? x.diff : 0.0;
    x.sell = (x.diff < 0.0 && !x.sell_barred) ? -x.diff : 0.0;
    x.hold = current - x.sell;
    state.holding = x.hold + x.real_buy;
    state.target = target;

    const double close = in.close(i, s);
    const double div_raw = in.dividend(i, s);
    const double dividend = (__builtin_isnan(div_raw) ? 0.0 : div_raw) / x.split;
    const double prev_close = pc / x.split;
    const double buy_coeff = nan_to_num(close - in.buy_price(i, s) * r.buy_mult);
    const double hold_coeff = nan_to_num(close - prev_close);
    const double sell_coeff = nan_to_num(in.sell_price(i, s) * r.sell_mult - prev_close);
    x.term[0] = x.real_buy * buy_coeff;
    x.term[1] = x.hold * hold_coeff;
    x.term[2] = x.hold * dividend;
    x.term[3] = x.sell * sell_coeff;
    x.term[4] = x.sell * dividend;
    return x;
}

}  // namespace tessary::kernels::vwap_detail
