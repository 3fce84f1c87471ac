// The label pass: over markets whose stocks lie side by side in every row, the
// dedicated pass of label_days.hpp; over other layouts, the label rows as the targets
// of the multi-portfolio pass. Both give each group the engine's days bit for bit.
#define TESSARY_LABEL_SCALAR_ONLY
#include "portfolios/kernels/label_pass.hpp"

#include <vector>

#include "common/daystep/vwap_cell.hpp"
#include "portfolios/kernels/label_days.hpp"
#include "portfolios/kernels/multi_pass.hpp"

namespace tessary::portfolios {

namespace {

bool stocks_side_by_side(const kernels::VwapInputs &m) {
    for (const kernels::FloatView *v : {&m.prev_close, &m.close, &m.buy_price, &m.sell_price, &m.split, &m.dividend})
        if (v->col_stride != 1) return false;
    return m.can_buy.col_stride == 1 && m.cant_sell.col_stride == 1;
}

void through_multi_pass(const LabelPassInputs &in, double *daily_cash, int lanes) {
    const std::size_t k = (std::size_t)in.k;
    const std::vector<double> money(k, in.market.total_money), fees(k, in.market.fee),
        rule_fees(k, in.market.rule_fee);
    std::vector<std::int64_t> variant_start(k + 1);
    for (std::size_t p = 0; p <= k; ++p) variant_start[p] = (std::int64_t)p;
    MultiPassInputs pass;
    pass.market = in.market;
    pass.portfolios = k;
    pass.money = money.data();
    pass.labels = LabelRows{in.label_rows, k, in.labels, in.weight};
    pass.row_of_day = in.row_of_day;
    pass.variant_start = variant_start.data();
    pass.fees = fees.data();
    pass.rule_fees = rule_fees.data();
    multi_pass_daily_cash(pass, daily_cash, lanes);
}

}  // namespace

void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash, int lanes) {
    if (in.k <= 0) return;
    if (!stocks_side_by_side(in.market)) return through_multi_pass(in, daily_cash, lanes);
#if defined(TESSARY_WIDE_KERNELS)
    using kernels::vwap_detail::best_lanes;
    using kernels::vwap_detail::lanes_supported;
    if (lanes == 0 || !lanes_supported(lanes)) lanes = best_lanes();
    // The vector steps need targets that are never negative.
    const bool vectors = in.market.total_money > 0.0 && in.market.lot_size >= 1.0;
    if (vectors && lanes == 8) return label_detail::label_days_8(in, daily_cash);
    if (vectors && lanes == 4) return label_detail::label_days_4(in, daily_cash);
#else
    (void)lanes;
#endif
    label_detail::label_days_1(in, daily_cash);
}

}  // namespace tessary::portfolios
