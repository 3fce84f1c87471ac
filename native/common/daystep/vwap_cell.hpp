// Pieces of the VWAP kernel shared by its scalar and vectorised passes: the per-call
// rates, the exact floor, numpy's nan_to_num, and the scalar step of one stock on
// one day. Internal to the kernels; not part of their interface.
//
// The functions here are static: they are compiled into files built with different
// instruction-set flags, and each file must keep its own copy.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/daystep/vwap.hpp"

namespace tessary::kernels::vwap_detail {

constexpr std::size_t kTerms = 5;  // buy, hold, hold dividend, sell, sell dividend

/// Per-call constants of the arithmetic.
struct Rates {
    double money, lot, buy_mult, sell_mult;
};

/// numpy.nan_to_num(x, nan=0.0): NaN -> 0, +inf -> DBL_MAX, -inf -> -DBL_MAX.
static inline double nan_to_num(double x) {
    if (__builtin_isnan(x)) return 0.0;
    if (__builtin_isinf(x)) return x > 0 ? DBL_MAX : -DBL_MAX;
    return x;
}

/// floor(x), exactly, without a library call (baseline x86-64 has no rounding
/// instruction, so std::floor is an out-of-line call there). Values of magnitude
/// 2^52 or more are already integers; NaN and infinities come back unchanged.
static inline double exact_floor(double x) {
    if (!(__builtin_fabs(x) < 4503599627370496.0)) return x;  // 2^52, also NaN/inf
    const double t = (double)(long long)x;             // truncation toward zero
    return t > x ? t - 1.0 : t;
}

/// The per-call constants of `in` (the sell multiplier is (1 - fee) - rule_fee, as written).
static inline Rates rates_of(const VwapInputs &in) {
    return Rates{in.total_money, in.lot_size, 1.0 + in.fee, 1.0 - in.fee - in.rule_fee};
}

/// One stock on one day with the target weight `w` (the weight decided the day
/// before): trades towards the target, updates the holding and adds the five profit
/// products to `acc[0]`, `acc[stride]`, ... `acc[4 * stride]` (buy, hold, hold
/// dividend, sell, sell dividend). `in.signal` is not read.
static inline void trade_cell_weight(const VwapInputs &in, const Rates &r, std::size_t i, std::size_t s, double w,
                                     double &holding, double *acc, std::size_t stride) {
    const double pc = in.prev_close(i, s);
    // Target in shares: whole lots, sized from the initial capital at the previous close.
    double target = 0.0;
    if (w > 0.0 && __builtin_isfinite(pc) && pc > 0.0) {
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
    const double split = __builtin_isnan(split_raw) ? 1.0 : split_raw;
    const double dividend = __builtin_isnan(div_raw) ? 0.0 : div_raw;
    const double buy_coeff = nan_to_num(close - in.buy_price(i, s) * r.buy_mult);
    const double hold_coeff = nan_to_num(split * close - pc);
    const double sell_coeff = nan_to_num(split * in.sell_price(i, s) * r.sell_mult - pc);

    acc[0] += real_buy * buy_coeff;
    acc[stride] += hold * hold_coeff;
    acc[2 * stride] += hold * dividend;
    acc[3 * stride] += sell * sell_coeff;
    acc[4 * stride] += sell * dividend;
}

/// One stock on one day with the weight of `in.signal`: trade_cell_weight.
static inline void trade_cell(const VwapInputs &in, const Rates &r, std::size_t i, std::size_t s, double &holding,
                              double *acc, std::size_t stride) {
    trade_cell_weight(in, r, i, s, in.signal(i, s), holding, acc, stride);
}

/// True when this processor runs the vector passes `lanes` doubles at a time (1 is
/// the scalar step, always available; 4 needs AVX2, 8 AVX-512).
bool lanes_supported(int lanes);
/// The widest supported width.
int best_lanes();

/// The column pass: stocks s0 .. s0 + width - 1, each read down its contiguous
/// column (every view must have row stride 1), `lanes` consecutive days at a time.
/// Adds each day's products to `partial[term * days + day]` in stock order, exactly
/// as the scalar step does, so results are identical bit for bit.
void column_pass(int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width,
                 double *partial);
void column_pass_8(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial);
void column_pass_4(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial);

/// The row pass: stocks s0 .. s0 + width - 1 (width at most kRowBlocks blocks of 64),
/// day by day, `lanes` neighbouring stocks at a time (lanes 4 or 8; each view in
/// any layout, read in tiles). Adds each day's products of block b (stocks s0 + 64 b ..)
/// to `partial[b * 5 * days + term * days + day]` in stock order, exactly as the
/// scalar step does for one block.
void row_pass(int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial);
void row_pass_8(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial);
void row_pass_4(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial);

/// The column pass on a block of stocks s0 .. s0 + width - 1 (width at most 64) whose
/// inputs are mostly column-major (lanes 4 or 8): inputs with another layout are
/// first copied into column-major stages of days x width values each, the floats
/// one after another from `float_stage`, the flags from `flag_stage`.
void column_pass_staged_8(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial,
                          double *float_stage, std::uint8_t *flag_stage);
void column_pass_staged_4(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial,
                          double *float_stage, std::uint8_t *flag_stage);

/// The day pass, for mostly row-major inputs (lanes 4 or 8; each view in any layout):
/// all stocks, day by day, each day's per-block sums folded into the compensated
/// totals `total` and `comp` ([term * days + day]) block after block, as the driver
/// folds the other passes' partial sums.
void day_pass_8(const VwapInputs &in, const Rates &r, double *total, double *comp);
void day_pass_4(const VwapInputs &in, const Rates &r, double *total, double *comp);

}  // namespace tessary::kernels::vwap_detail
