// Many equal-weight portfolios traded through the VWAP engine's day step in one pass
// over the market: each stock-day carries a small integer label naming the portfolio
// that targets it, and every portfolio holds its own position in every stock.
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
/// daily_cash[g * days + i] (g = label - 1). Each portfolio evolves exactly as the
/// engine's single portfolio would with the weight matrix "weight of its label where
/// the stock has it, else 0": the engine's per-cell step (its lane step for vectors),
/// sums per block of 64 stocks folded with compensation in block order as the engine
/// folds them, so its returns equal the engine's to rounding. A portfolio that neither
/// holds nor targets a stock skips it: the pass costs about one step per stock and
/// day, whatever the number of portfolios.
///
/// `lanes` 0 takes the process's vector width, 1 the scalar step, 4 or 8 force that
/// width (an unavailable one counts as 0); every width gives the same result bit for
/// bit. More than 64 portfolios take a scalar pass. Touches no Python object; safe
/// with the GIL released.
void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash, int lanes = 0);

}  // namespace tessary::portfolios
