// VWAP daily-return kernel: the day loop of one portfolio traded at execution prices
// with whole-lot rounding, feasibility flags, split/dividend adjustment and fees.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/strided.hpp"

namespace tessary::kernels {

struct VwapInputs {
    std::size_t days = 0;    // rows of every view (the return dates)
    std::size_t stocks = 0;  // columns of every view
    FloatView signal;        // weight decided the day before (row r = signal of date r-1)
    FloatView prev_close, close, buy_price, sell_price, split, dividend;
    BoolView can_buy, cant_sell;
    double total_money = 1e8;
    double fee = 0.0001;
    double rule_fee = 0.0005;
    double lot_size = 200.0;
};

/// Profit and loss in money of every day, written to `daily_cash[0..days)`.
///
/// Per stock the holding evolves independently; per day the five products
/// (buy, hold, hold dividend, sell, sell dividend) are summed over stocks separately
/// and added in that order. Targets are computed inside the loop: floor of
/// total_money * weight / (prev_close * lot_size) lots where the weight is > 0 and the
/// previous close finite and > 0, else 0. Per-share coefficients map NaN to 0 and
/// +-inf to +-DBL_MAX, as numpy's nan_to_num does.
///
/// `scratch` must hold `vwap_scratch_size(days)` doubles. Touches no Python object; safe to run with
/// the GIL released and from several threads on different outputs.
///
/// Any mix of layouts (row-major, column-major, strided, one per input) is processed
/// with vector instructions: mostly column-major inputs `lanes` days of a stock at a
/// time, mostly row-major ones `lanes` stocks of a day at a time, the few inputs of
/// the other layout copied into small stages of the pass's layout (at most one block
/// of 64 stocks or 32 days each), any other mix in tiles read in each input's own
/// layout. `lanes` 0 takes the process's width (simd_choice.hpp), 1 the scalar step,
/// and 4 or 8 force that width (an unavailable width is treated as 0). Every width gives the same
/// result bit for bit; the choice exists so that the tests can check exactly that.
void vwap_daily_cash(const VwapInputs &in, double *daily_cash, double *scratch, int lanes = 0);

/// The same under the hold rule (vwap_hold_cell.hpp): share targets are set only on the
/// return days whose `given[i]` is non-zero (day i trades the weights of the date
/// before it, so `given[i]` says whether that date's weights were given) and kept in
/// shares until the next such day; a refused trade is tried again on the following
/// days; a split scales the holding and the kept target together. One scalar step at
/// every vector width; each day's five products summed per block of 64 stocks in
/// stock order and folded as `vwap_daily_cash` folds them, so with every day given
/// and no split the result is that function's to the bit. `scratch` as there.
void vwap_daily_cash_hold(const VwapInputs &in, const std::uint8_t *given, double *daily_cash, double *scratch);

/// True when this processor runs the vector width `lanes` (1, 2, 4 or 8 doubles).
bool vwap_lanes_supported(int lanes);

/// Stocks are summed in blocks of 64; the row pass works on this many blocks at once.
constexpr std::size_t kRowBlocks = 8;

/// Doubles of scratch space `vwap_daily_cash` needs for `days` return dates: running
/// totals and their compensation, and the partial sums of up to kRowBlocks blocks,
/// five terms each.
inline std::size_t vwap_scratch_size(std::size_t days) { return (10 + 5 * kRowBlocks) * days; }

}  // namespace tessary::kernels
