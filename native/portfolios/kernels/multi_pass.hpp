// Many portfolios traded through the engine's day step in one pass over the market:
// per return date a sparse list of the portfolios' target weights, per stock a short
// list of the portfolios holding it, and per portfolio any number of cost variants
// that share its trades.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/daystep/vwap.hpp"

namespace tessary::portfolios {

/// Target rows in compressed form: row r holds the entries start[r] .. start[r + 1] - 1,
/// each a (stock, portfolio, weight) triple, ordered by stock and, within one stock, by
/// portfolio, every pair at most once. A portfolio without an entry for a stock
/// targets no shares of it, as does an entry whose weight is not > 0.
struct TargetRows {
    std::size_t rows = 0;
    const std::int64_t *start = nullptr;  // rows + 1 offsets
    const std::int32_t *stock = nullptr;
    const std::int32_t *portfolio = nullptr;
    const double *weight = nullptr;
};

/// Label rows: row r gives stock s to portfolio labels[r * stocks + s] - 1 with the
/// weight weight[r * k + label - 1] (labels 1..k; any other value, no portfolio): the
/// equal-weight groups of a factor, each stock in at most one of them per row.
struct LabelRows {
    std::size_t rows = 0, k = 0;
    const std::int32_t *labels = nullptr;  // rows x stocks, row-major
    const double *weight = nullptr;        // rows x k
};

/// Dense weight matrices (each rows x stocks), read in place row by row, so best with
/// contiguous rows (`dense_targets` turns other layouts into target rows): a positive
/// weight of matrix j targets the stock in each of its portfolios path_start[j] ..
/// path_start[j + 1] - 1 (consecutive, in matrix order), any other weight nothing.
struct DenseRows {
    std::size_t works = 0;
    const kernels::FloatView *weights = nullptr;
    const std::int64_t *path_start = nullptr;
};

struct MultiPassInputs {
    /// The market views and the lot size of the engine (days = return dates);
    /// `signal`, `total_money`, `fee` and `rule_fee` are not read.
    kernels::VwapInputs market;
    std::size_t portfolios = 0;
    const double *money = nullptr;  ///< per portfolio: the capital its targets are sized from
    /// The targets: `labels` when it has label rows, else `dense` when it has
    /// matrices, else `targets`.
    TargetRows targets;
    LabelRows labels;
    DenseRows dense;
    /// Per return date i: the target row traded on i (the weights decided the day
    /// before), or -1 for no target at all (every holding sold).
    const std::int64_t *row_of_day = nullptr;
    /// Portfolio p's cost variants are v = variant_start[p] .. variant_start[p + 1] - 1,
    /// each the rate pair (fees[v], rule_fees[v]).
    const std::int64_t *variant_start = nullptr;
    const double *fees = nullptr;
    const double *rule_fees = nullptr;
};

/// The first fault of `in`'s targets, rows and variants (an entry out of order or out
/// of range, a row number past the end, offsets that do not grow), or "" when there
/// is none. The pass itself trusts its inputs.
std::string check_inputs(const MultiPassInputs &in);

/// Profit and loss in money of every variant and day, written to
/// daily_cash[v * days + i]. Variant v of portfolio p is the engine's single portfolio
/// (`kernels::vwap_daily_cash`) with the weights of p's targets (0 elsewhere),
/// total_money = money[p], fee = fees[v], rule_fee = rule_fees[v], bit for bit: the
/// engine's per-cell arithmetic, each day's five products summed per block of 64
/// stocks in stock order, folded block after block with Neumaier's compensation and
/// added in their order. Day by day, stock by stock, the market of a stock is read
/// once and only the portfolios that hold or target it are stepped (a portfolio that
/// does neither would add zeros); the holding, hold and dividend products are
/// computed once per portfolio, the buy and sell products once per variant.
///
/// Per block of 64 stocks the day's steps are listed (in stock, then portfolio
/// order), computed `lanes` at a time with their market gathered lane by lane, and
/// their products added to their portfolios' sums in list order. `lanes` 0 takes the
/// process's vector width, 1 the scalar step, 4 or 8 force that width (an
/// unavailable one counts as 0); every width gives the same result bit for bit.
/// Touches no Python object; safe with the GIL released.
void multi_pass_daily_cash(const MultiPassInputs &in, double *daily_cash, int lanes = 0);

/// Compressed target rows and the arrays behind them.
struct OwnedTargets {
    std::vector<std::int64_t> start;
    std::vector<std::int32_t> stock, portfolio;
    std::vector<double> weight;
    TargetRows view() const {
        return TargetRows{start.empty() ? 0 : start.size() - 1, start.data(), stock.data(), portfolio.data(),
                          weight.data()};
    }
};

/// The positive weights of dense weight matrices (each days x stocks, any layout;
/// row i the weights traded on return date i) as one target row per day: a weight of
/// matrix j becomes an entry of each of its portfolios path_start[j] ..
/// path_start[j + 1] - 1. Every matrix is read once in its own memory order.
OwnedTargets dense_targets(const std::vector<kernels::FloatView> &works, std::size_t days, std::size_t stocks,
                           const std::int64_t *path_start);

}  // namespace tessary::portfolios
