// VWAP daily-return kernel.
#include "pnl_engine/kernels/vwap.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace tessary::kernels {

namespace {

/// numpy.nan_to_num(x, nan=0.0): NaN -> 0, +inf -> DBL_MAX, -inf -> -DBL_MAX.
inline double nan_to_num(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x)) return x > 0 ? DBL_MAX : -DBL_MAX;
    return x;
}

// Stocks are processed in blocks: for each block the days run in order, so the
// holdings of the block stay in a small array while every input is read once. With
// row-major inputs a block row is contiguous; with column-major inputs the lines
// of the block's columns are reused across consecutive days. Either way each input
// cache line is loaded about once.
constexpr std::size_t kBlock = 64;

}  // namespace

void vwap_daily_cash(const VwapInputs &in, double *daily_cash, double *scratch) {
    const std::size_t days = in.days, stocks = in.stocks;
    double *acc_buy = scratch;
    double *acc_hold = scratch + days;
    double *acc_hold_div = scratch + 2 * days;
    double *acc_sell = scratch + 3 * days;
    double *acc_sell_div = scratch + 4 * days;
    std::fill(scratch, scratch + 5 * days, 0.0);

    const double money = in.total_money;
    const double lot = in.lot_size;
    const double buy_mult = 1.0 + in.fee;
    const double sell_mult = 1.0 - in.fee - in.rule_fee;  // (1 - fee) - rule_fee, as written

    double holding[kBlock];
    for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
        const std::size_t width = std::min(kBlock, stocks - s0);
        std::fill(holding, holding + width, 0.0);  // the portfolio starts empty
        for (std::size_t i = 0; i < days; ++i) {
            double sum_buy = 0.0, sum_hold = 0.0, sum_hold_div = 0.0, sum_sell = 0.0, sum_sell_div = 0.0;
            for (std::size_t k = 0; k < width; ++k) {
                const std::size_t s = s0 + k;
                const double w = in.signal(i, s);
                const double pc = in.prev_close(i, s);
                // Target in shares: whole lots, sized from the initial capital.
                double target = 0.0;
                if (w > 0.0 && std::isfinite(pc) && pc > 0.0) {
                    const double raw_lots = money * w / (pc * lot);
                    target = std::floor(raw_lots) * lot;
                }
                const double current = holding[k];
                const double diff = target - current;
                const double real_buy = (diff > 0.0 && in.can_buy(i, s) != 0) ? diff : 0.0;
                const double sell = (diff < 0.0 && in.cant_sell(i, s) == 0) ? -diff : 0.0;
                const double hold = current - sell;
                holding[k] = hold + real_buy;

                const double close = in.close(i, s);
                const double split_raw = in.split(i, s);
                const double div_raw = in.dividend(i, s);
                const double split = std::isnan(split_raw) ? 1.0 : split_raw;
                const double dividend = std::isnan(div_raw) ? 0.0 : div_raw;
                const double buy_coeff = nan_to_num(close - in.buy_price(i, s) * buy_mult);
                const double hold_coeff = nan_to_num(split * close - pc);
                const double sell_coeff = nan_to_num(split * in.sell_price(i, s) * sell_mult - pc);

                sum_buy += real_buy * buy_coeff;
                sum_hold += hold * hold_coeff;
                sum_hold_div += hold * dividend;
                sum_sell += sell * sell_coeff;
                sum_sell_div += sell * dividend;
            }
            acc_buy[i] += sum_buy;
            acc_hold[i] += sum_hold;
            acc_hold_div[i] += sum_hold_div;
            acc_sell[i] += sum_sell;
            acc_sell_div[i] += sum_sell_div;
        }
    }
    for (std::size_t i = 0; i < days; ++i)
        daily_cash[i] = acc_buy[i] + acc_hold[i] + acc_hold_div[i] + acc_sell[i] + acc_sell_div[i];
}

}  // namespace tessary::kernels
