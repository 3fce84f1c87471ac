// VWAP daily-return kernel.
#include "pnl_engine/kernels/vwap.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iterator>

namespace tessary::kernels {

namespace {

/// numpy.nan_to_num(x, nan=0.0): NaN -> 0, +inf -> DBL_MAX, -inf -> -DBL_MAX.
inline double nan_to_num(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x)) return x > 0 ? DBL_MAX : -DBL_MAX;
    return x;
}

// Stocks are processed in blocks of kBlock columns. Within a block every input
// element is read exactly once, in the order of the inputs' memory layout; the
// block's per-day sums are plain, and are folded into compensated totals once per
// block, which keeps the error of a sum over thousands of stocks near that of a
// pairwise (BLAS-style) dot product at almost no cost.
constexpr std::size_t kBlock = 64;

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

namespace {

/// floor(x), exactly, without a library call (baseline x86-64 has no rounding
/// instruction, so std::floor is an out-of-line call there). Values of magnitude
/// 2^52 or more are already integers; NaN and infinities come back unchanged.
inline double exact_floor(double x) {
    if (!(std::fabs(x) < 4503599627370496.0)) return x;  // 2^52, also NaN/inf
    const double t = (double)(long long)x;             // truncation toward zero
    return t > x ? t - 1.0 : t;
}

/// Per-call constants of the arithmetic.
struct Rates {
    double money, lot, buy_mult, sell_mult;
};

/// One stock on one day: trades towards the target, updates the holding and adds the
/// five profit products to `acc[0..5)` (buy, hold, hold dividend, sell, sell dividend).
inline void trade_cell(const VwapInputs &in, const Rates &r, std::size_t i, std::size_t s, double &holding,
                       double *acc) {
    const double w = in.signal(i, s);
    const double pc = in.prev_close(i, s);
    // Target in shares: whole lots, sized from the initial capital at the previous close.
    double target = 0.0;
    if (w > 0.0 && std::isfinite(pc) && pc > 0.0) {
        const double raw_lots = r.money * w / (pc * r.lot);
        target = exact_floor(raw_lots) * r.lot;
    }
    const double current = holding;
    const double diff = target - current;
    const double real_buy = (diff > 0.0 && in.can_buy(i, s) != 0) ? diff : 0.0;
    const double sell = (diff < 0.0 && in.cant_sell(i, s) == 0) ? -diff : 0.0;
    const double hold = current - sell;  // carried and not sold, including shares barred from selling
    holding = hold + real_buy;

    const double close = in.close(i, s);
    const double split_raw = in.split(i, s);
    const double div_raw = in.dividend(i, s);
    const double split = std::isnan(split_raw) ? 1.0 : split_raw;
    const double dividend = std::isnan(div_raw) ? 0.0 : div_raw;
    const double buy_coeff = nan_to_num(close - in.buy_price(i, s) * r.buy_mult);
    const double hold_coeff = nan_to_num(split * close - pc);
    const double sell_coeff = nan_to_num(split * in.sell_price(i, s) * r.sell_mult - pc);

    acc[0] += real_buy * buy_coeff;
    acc[1] += hold * hold_coeff;
    acc[2] += hold * dividend;
    acc[3] += sell * sell_coeff;
    acc[4] += sell * dividend;
}

/// True when most inputs are column-major (consecutive days adjacent in memory), as
/// pandas hands out the values of a single-dtype frame.
bool mostly_column_major(const VwapInputs &in) {
    const std::ptrdiff_t row_strides[] = {in.signal.row_stride,    in.prev_close.row_stride, in.close.row_stride,
                                          in.buy_price.row_stride, in.sell_price.row_stride, in.split.row_stride,
                                          in.dividend.row_stride,  in.can_buy.row_stride,    in.cant_sell.row_stride};
    int n = 0;
    for (std::ptrdiff_t rs : row_strides) n += rs == 1 ? 1 : 0;
    return 2 * n > (int)std::size(row_strides);
}

}  // namespace

void vwap_daily_cash(const VwapInputs &in, double *daily_cash, double *scratch) {
    const std::size_t days = in.days, stocks = in.stocks;
    // Per day and term: the running total over blocks, its compensation, and the
    // plain partial sum of the current block. Layout [day][term] keeps a day's five
    // values together.
    double *total = scratch;
    double *comp = scratch + kTerms * days;
    double *partial = scratch + 2 * kTerms * days;
    std::fill(scratch, scratch + vwap_scratch_size(days), 0.0);

    const Rates r{in.total_money, in.lot_size, 1.0 + in.fee,
                  1.0 - in.fee - in.rule_fee};  // (1 - fee) - rule_fee, as written
    const bool column_major = days > 1 && mostly_column_major(in);

    double holding[kBlock];
    for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
        const std::size_t width = std::min(kBlock, stocks - s0);
        std::fill(holding, holding + width, 0.0);  // the portfolio starts empty
        if (column_major) {
            // Stock by stock, each input read as one sequential stream down its column.
            for (std::size_t k = 0; k < width; ++k)
                for (std::size_t i = 0; i < days; ++i) trade_cell(in, r, i, s0 + k, holding[k], partial + i * kTerms);
        } else {
            // Day by day; a block's row is contiguous in every input.
            for (std::size_t i = 0; i < days; ++i)
                for (std::size_t k = 0; k < width; ++k) trade_cell(in, r, i, s0 + k, holding[k], partial + i * kTerms);
        }
        // Fold the block's sums into the compensated totals.
        for (std::size_t j = 0; j < kTerms * days; ++j) {
            neumaier_add(total[j], comp[j], partial[j]);
            partial[j] = 0.0;
        }
    }
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[i * kTerms + t], comp[i * kTerms + t]);
        daily_cash[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

}  // namespace tessary::kernels
