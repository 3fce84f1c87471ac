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

// Stocks are processed in blocks of `width` columns; for each block the days run in
// order, so the block's holdings stay in a small array while every input element is
// read exactly once. Row-major inputs use wide blocks (a block row is contiguous);
// column-major inputs, what pandas hands out for a single-dtype frame, use blocks of
// one stock, so every input is read as a sequential stream down its column.
constexpr std::size_t kRowMajorBlock = 64;

constexpr std::size_t kTerms = 5;  // buy, hold, hold dividend, sell, sell dividend

/// Neumaier's compensated addition: `comp` collects the rounding error of `sum`, so a
/// sum over thousands of stocks stays as accurate as a pairwise (BLAS-style) dot.
inline void neumaier_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

/// The compensated total; an infinite or NaN sum is returned as it is (its
/// compensation is meaningless then).
inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

}  // namespace

void vwap_daily_cash(const VwapInputs &in, double *daily_cash, double *scratch) {
    const std::size_t days = in.days, stocks = in.stocks;
    // Five per-day sums over stocks, each with its compensation term.
    double *sum = scratch;
    double *comp = scratch + kTerms * days;
    std::fill(scratch, scratch + 2 * kTerms * days, 0.0);

    const double money = in.total_money;
    const double lot = in.lot_size;
    const double buy_mult = 1.0 + in.fee;
    const double sell_mult = 1.0 - in.fee - in.rule_fee;  // (1 - fee) - rule_fee, as written

    const bool column_major = in.signal.row_stride == 1 && in.close.row_stride == 1;
    const std::size_t block = column_major ? 1 : kRowMajorBlock;
    double holding[kRowMajorBlock];
    for (std::size_t s0 = 0; s0 < stocks; s0 += block) {
        const std::size_t width = std::min(block, stocks - s0);
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
            const double block_sums[kTerms] = {sum_buy, sum_hold, sum_hold_div, sum_sell, sum_sell_div};
            for (std::size_t t = 0; t < kTerms; ++t) neumaier_add(sum[t * days + i], comp[t * days + i], block_sums[t]);
        }
    }
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(sum[t * days + i], comp[t * days + i]);
        daily_cash[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

}  // namespace tessary::kernels
