// The label pass: day by day, stocks in blocks of 64, every portfolio that holds or
// targets a stock stepped through the engine's per-cell trade.
#include "portfolios/kernels/label_pass.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "pnl_engine/kernels/vwap_cell.hpp"

namespace tessary::portfolios {

namespace {

using kernels::vwap_detail::kTerms;

constexpr std::size_t kBlock = 64;  // the engine's summation block

/// Neumaier's compensated addition, as the engine folds its block sums.
inline void neumaier_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

}  // namespace

void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash) {
    using kernels::vwap_detail::rates_of;
    using kernels::vwap_detail::trade_cell_weight;
    const kernels::VwapInputs &m = in.market;
    const std::size_t days = m.days, stocks = m.stocks, k = in.k > 0 ? (std::size_t)in.k : 0;
    if (!k) return;
    const auto r = rates_of(m);
    std::vector<double> holding(stocks * k, 0.0);  // every portfolio starts empty
    std::vector<double> partial(k * kTerms), total(k * kTerms), comp(k * kTerms);
    for (std::size_t i = 0; i < days; ++i) {
        const std::int64_t row = in.row_of_day[i];
        const std::int32_t *lab = row >= 0 ? in.labels + (std::size_t)row * stocks : nullptr;
        const double *w = row >= 0 ? in.weight + (std::size_t)row * k : nullptr;
        std::fill(total.begin(), total.end(), 0.0);
        std::fill(comp.begin(), comp.end(), 0.0);
        for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
            const std::size_t s1 = std::min(stocks, s0 + kBlock);
            std::fill(partial.begin(), partial.end(), 0.0);
            for (std::size_t s = s0; s < s1; ++s) {
                const std::int32_t target = lab ? lab[s] : 0;
                double *h = holding.data() + s * k;
                for (std::size_t g = 0; g < k; ++g) {
                    const bool targeted = target == (std::int32_t)(g + 1);
                    if (!targeted && h[g] == 0.0) continue;  // every product would be 0
                    trade_cell_weight(m, r, i, s, targeted ? w[g] : 0.0, h[g], partial.data() + g * kTerms, 1);
                }
            }
            for (std::size_t j = 0; j < k * kTerms; ++j) neumaier_add(total[j], comp[j], partial[j]);
        }
        for (std::size_t g = 0; g < k; ++g) {
            double term[kTerms];
            for (std::size_t t = 0; t < kTerms; ++t)
                term[t] = compensated(total[g * kTerms + t], comp[g * kTerms + t]);
            daily_cash[g * days + i] = term[0] + term[1] + term[2] + term[3] + term[4];
        }
    }
}

}  // namespace tessary::portfolios
