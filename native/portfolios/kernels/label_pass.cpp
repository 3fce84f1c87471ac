// The label pass: the label rows as the targets of the multi-portfolio pass, every
// portfolio with the capital and the one rate pair of the call.
#include "portfolios/kernels/label_pass.hpp"

#include <vector>

#include "portfolios/kernels/multi_pass.hpp"

namespace tessary::portfolios {

void label_pass_daily_cash(const LabelPassInputs &in, double *daily_cash, int lanes) {
    if (in.k <= 0) return;
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

}  // namespace tessary::portfolios
