// The label pass: day by day, stocks in blocks of 64; each block's primaries, then
// the first other holder of each stock (an exit), at the process's vector width by
// the engine's lane step, then any further holders by its scalar step; the block
// sums folded into compensated totals, as the engine folds its blocks.
#define TESSARY_LABEL_SCALAR_ONLY
#include "portfolios/kernels/label_pass.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/neumaier.hpp"
#include "portfolios/kernels/label_step.hpp"

namespace tessary::portfolios {

namespace {

using detail::kTerms;
using kernels::compensated;
using kernels::neumaier_add;

constexpr std::size_t kBlock = 64;   // the engine's summation block
constexpr std::size_t kMaxBits = 64;  // portfolios tracked by the per-stock bit sets

[[maybe_unused]] bool unit_columns(const kernels::VwapInputs &m) {
    for (const kernels::FloatView *v : {&m.prev_close, &m.close, &m.buy_price, &m.sell_price, &m.split, &m.dividend})
        if (v->col_stride != 1) return false;
    return m.can_buy.col_stride == 1 && m.cant_sell.col_stride == 1;
}

/// The width of the primaries' steps: 1, 4 or 8.
int chosen_lanes(const LabelPassInputs &in, int lanes) {
#if defined(TESSARY_WIDE_KERNELS)
    using kernels::vwap_detail::best_lanes;
    using kernels::vwap_detail::lanes_supported;
    if (lanes == 0 || !lanes_supported(lanes)) lanes = best_lanes();
    // The lane step needs non-negative targets (a positive capital and lot size)
    // and rows whose stocks lie side by side.
    if (!(in.market.total_money > 0.0 && in.market.lot_size >= 1.0) || !unit_columns(in.market)) lanes = 1;
    return lanes == 8 || lanes == 4 ? lanes : 1;
#else
    (void)in;
    (void)lanes;
    return 1;
#endif
}

/// Each day's profit of portfolio g from its compensated terms, added in their order.
void finish_day(const std::vector<double> &total, const std::vector<double> &comp, std::size_t k, std::size_t days,
                std::size_t i, double *daily_cash) {
    for (std::size_t g = 0; g < k; ++g) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t)
            term[t] = compensated(total[g * kTerms + t], comp[g * kTerms + t]);
        daily_cash[g * days + i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

/// Any number of portfolios: every portfolio that holds or targets a stock, stock by
/// stock, portfolio by portfolio, by the scalar step.
void generic_pass(const LabelPassInputs &in, double *daily_cash) {
    const kernels::VwapInputs &m = in.market;
    const std::size_t days = m.days, stocks = m.stocks, k = (std::size_t)in.k;
    const auto r = kernels::vwap_detail::rates_of(m);
    std::vector<double> holding(stocks * k, 0.0);
    std::vector<double> partial(k * kTerms), total(k * kTerms), comp(k * kTerms);
    for (std::size_t i = 0; i < days; ++i) {
        const std::int64_t row = in.row_of_day[i];
        const std::int32_t *lab = row >= 0 ? in.labels + (std::size_t)row * stocks : nullptr;
        const double *w = row >= 0 ? in.weight + (std::size_t)row * k : nullptr;
        std::fill(total.begin(), total.end(), 0.0);
        std::fill(comp.begin(), comp.end(), 0.0);
        for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
            std::fill(partial.begin(), partial.end(), 0.0);
            for (std::size_t s = s0; s < std::min(stocks, s0 + kBlock); ++s) {
                const std::int32_t target = lab ? lab[s] : 0;
                double *h = holding.data() + s * k;
                for (std::size_t g = 0; g < k; ++g) {
                    const bool targeted = target == (std::int32_t)(g + 1);
                    if (!targeted && h[g] == 0.0) continue;  // every product would be 0
                    kernels::vwap_detail::trade_cell_weight(m, r, i, s, targeted ? w[g] : 0.0, h[g],
                                                            partial.data() + g * kTerms, 1);
                }
            }
            for (std::size_t j = 0; j < k * kTerms; ++j) neumaier_add(total[j], comp[j], partial[j]);
        }
        finish_day(total, comp, k, days, i, daily_cash);
    }
}

}  // namespace

void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash, int lanes) {
    const kernels::VwapInputs &m = in.market;
    const std::size_t days = m.days, stocks = m.stocks;
    if (in.k <= 0) return;
    const std::size_t k = (std::size_t)in.k;
    if (k > kMaxBits) return generic_pass(in, daily_cash);
    lanes = chosen_lanes(in, lanes);
    const auto r = kernels::vwap_detail::rates_of(m);
    std::vector<double> holding(stocks * k, 0.0);  // every portfolio starts empty
    std::vector<std::uint64_t> held(stocks, 0);
    std::vector<double> partial((k + 1) * kTerms), total(k * kTerms), comp(k * kTerms);
    std::int32_t primary[kBlock], exit_of[kBlock], exit_stock[kBlock], exit_port[kBlock];
    for (std::size_t i = 0; i < days; ++i) {
        const std::int64_t row = in.row_of_day[i];
        detail::DayBlock b{&m, &r, i, 0, 0, k,
                           row >= 0 ? in.labels + (std::size_t)row * stocks : nullptr,
                           row >= 0 ? in.weight + (std::size_t)row * k : nullptr,
                           holding.data(), held.data(), partial.data()};
        std::fill(total.begin(), total.end(), 0.0);
        std::fill(comp.begin(), comp.end(), 0.0);
        for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
            b.s0 = s0;
            b.s1 = std::min(stocks, s0 + kBlock);
            std::fill(partial.begin(), partial.end(), 0.0);
#if defined(TESSARY_WIDE_KERNELS)
            if (lanes == 8)
                detail::primaries_8(b, primary);
            else if (lanes == 4)
                detail::primaries_4(b, primary);
            else
#endif
                for (std::size_t s = b.s0; s < b.s1; ++s) detail::primary_scalar(b, s, primary);
            const std::size_t n_exits = detail::find_exits(b, primary, exit_of, exit_stock, exit_port);
#if defined(TESSARY_WIDE_KERNELS)
            if (lanes == 8)
                detail::exits_8(b, exit_stock, exit_port, n_exits);
            else if (lanes == 4)
                detail::exits_4(b, exit_stock, exit_port, n_exits);
            else
#endif
                for (std::size_t j = 0; j < n_exits; ++j) detail::exit_scalar(b, exit_stock[j], exit_port[j]);
            detail::remaining_exits(b, primary, exit_of);
            // Row 0 of the partial sums collected the stocks without a portfolio.
            for (std::size_t j = 0; j < k * kTerms; ++j) neumaier_add(total[j], comp[j], partial[kTerms + j]);
        }
        finish_day(total, comp, k, days, i, daily_cash);
    }
}

}  // namespace tessary::portfolios
