// Many equal-weight portfolios traded through the VWAP engine's day step in one pass
// over the market: each stock-day carries a small integer label naming the portfolio
// that targets it, and every portfolio holds its own position in every stock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pnl_engine/kernels/vwap.hpp"

namespace tessary::portfolios {

struct LabelPassInputs {
    /// The market views and rates of the engine (days = return dates); `signal` is
    /// not read.
    kernels::VwapInputs market;
    std::int32_t k = 0;  ///< portfolios, labelled 1..k; label 0 (or any other) is none
    /// Label rows, row-major (label_rows x market.stocks): the portfolio each stock
    /// belongs to on that row.
    const std::int32_t *labels = nullptr;
    std::size_t label_rows = 0;
    /// Per label row and portfolio (label_rows x k): the weight of each member.
    const double *weight = nullptr;
    /// Per return date i: the label row whose weights are traded on i (the decision
    /// of the day before, carried as the caller wants), or -1 for no target at all.
    const std::int64_t *row_of_day = nullptr;
};

/// Profit and loss in money of every portfolio and day, written to
/// daily_cash[g * days + i] (g = label - 1). Each portfolio evolves exactly as the
/// engine's single portfolio would with the weight matrix "weight of its label where
/// the stock has it, else 0": the same per-cell step, the same summation (blocks of
/// 64 stocks per day, folded with compensation in block order), so its result equals
/// the engine's. A cell is skipped for a portfolio that neither holds nor targets the
/// stock. Touches no Python object; safe with the GIL released.
void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash);

}  // namespace tessary::portfolios
