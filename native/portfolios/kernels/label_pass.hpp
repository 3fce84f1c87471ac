// Many equal-weight portfolios traded through the VWAP engine's day step in one pass
// over the market: each stock-day carries a small integer label naming the portfolio
// that targets it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/daystep/vwap.hpp"

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
/// daily_cash[g * days + i] (g = label - 1), with the capital and rates of `market`
/// for every portfolio. Each portfolio's days equal, bit for bit, the engine's single
/// portfolio with the weight matrix "weight of its label where the stock has it,
/// else 0"; a portfolio that neither holds nor targets a stock skips it. A market
/// whose stocks lie side by side in every row goes through the dedicated pass of
/// label_days.hpp, any other through the multi-portfolio pass (multi_pass.hpp).
///
/// `lanes` 0 takes the process's vector width, 1 the scalar step, 4 or 8 force that
/// width (an unavailable one counts as 0); every width gives the same result bit for
/// bit. Touches no Python object; safe with the GIL released.
void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash, int lanes = 0);

}  // namespace tessary::portfolios
