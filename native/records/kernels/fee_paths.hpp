// One holding path priced under several fee rates: the weights, the capital and the
// lot size fix every trade, the fees only what the trades cost, so portfolios that
// differ only in their fees share one pass over the market.
#pragma once

#include <cstddef>

#include "common/daystep/vwap.hpp"

namespace tessary::records {

/// Profit and loss in money of every day under each of the `k` rate pairs
/// (`fees[j]`, `rule_fees[j]`), written to daily_cash[j * days + i]. Portfolio j is
/// the engine's single portfolio (`kernels::vwap_daily_cash`) with in.fee = fees[j]
/// and in.rule_fee = rule_fees[j], bit for bit: the engine's per-cell arithmetic,
/// each day's five products summed over stocks per block of 64 in stock order and
/// folded block after block with Neumaier's compensation, then added in their order.
/// The holding, hold and dividend products are computed once; the buy and sell
/// products once per rate pair. A stock-day that holds nothing and targets nothing
/// adds nothing and is skipped. `in.fee` and `in.rule_fee` are not read. Touches no
/// Python object; safe with the GIL released.
void fee_paths_daily_cash(const kernels::VwapInputs &in, std::size_t k, const double *fees, const double *rule_fees,
                          double *daily_cash);

}  // namespace tessary::records
