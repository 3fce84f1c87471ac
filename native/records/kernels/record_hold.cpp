// Recording pass of the hold rule: the hold step (vwap_hold_cell.hpp) of every stock
// on every day, date by date and in stock order, each outcome written as a record.
// A plain walk: one step per cell, on the calling thread.
#include <cmath>
#include <vector>

#include "common/daystep/vwap_hold_cell.hpp"
#include "records/kernels/record_cell.hpp"
#include "records/kernels/record_pass.hpp"
#include "records/kernels/record_scan.hpp"

namespace tessary::kernels {

using record_detail::kTerms;

namespace {

inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

/// The records of one hold step of stock `s` on day `i`, added to the day's totals.
void record_hold_step(const vwap_detail::HoldStep &x, const VwapInputs &in, const record_detail::PassRates &p,
                      std::size_t i, std::size_t s, double holding, VwapRecords &out, record_detail::DayTotals &day) {
    using record_detail::only_if;
    const auto d = (std::int32_t)i, c = (std::int32_t)s;
    const bool is_buy = x.diff > 0.0, is_sell = x.diff < 0.0;
    const bool buys = x.real_buy != 0.0, sells = x.sell != 0.0;
    const double buy_price = in.buy_price(i, s), sell_price = in.sell_price(i, s), close = in.close(i, s);
    if (buys || sells) {
        // Share counts are the new shares on a split day: a sell's value is shares x price.
        const double shares = sells ? x.sell : x.real_buy, price = sells ? sell_price : buy_price;
        const double value = shares * price;
        const double commission = value * p.fee, levy = sells ? value * p.rule_fee : 0.0;
        out.trades.add(d, c, sells ? kSell : kBuy, {shares, price, value, commission, levy});
        const bool counted = !std::isnan(value);
        day.bought += only_if(counted && !sells, value);
        day.sold += only_if(counted && sells, value);
        day.commission += only_if(!std::isnan(commission), commission);
        day.levy += only_if(sells && !std::isnan(levy), levy);
    }
    if (is_buy && !x.buy_allowed) out.blocked.add(d, c, kBuy, {x.diff});
    if (is_sell && x.sell_barred) out.blocked.add(d, c, kSell, {-x.diff});
    if (holding != 0.0) {
        out.positions.add(d, c, 0, {holding, (x.hold + x.real_buy) * close});
        day.held += 1.0;
    }
    const double *t = x.term;
    // A NaN product is a contribution too (it makes the day's sum NaN).
    if (!(t[0] == 0.0 && t[1] == 0.0 && t[2] == 0.0 && t[3] == 0.0 && t[4] == 0.0))
        out.pnl.add(d, c, 0, {t[0], t[1], t[2], t[3], t[4]});
}

}  // namespace

void record_vwap_hold_pass(const VwapInputs &in, const std::uint8_t *given, VwapRecords &out) {
    const std::size_t days = in.days, stocks = in.stocks;
    for (auto *v : {&out.bought, &out.sold, &out.commission, &out.levy, &out.held, &out.profit}) v->assign(days, 0.0);
    const record_detail::PassRates p{{in.total_money, in.lot_size, 1.0 + in.fee, 1.0 - in.fee - in.rule_fee},
                                     in.fee,
                                     in.rule_fee};
    std::vector<vwap_detail::HoldState> state(stocks);  // the portfolio starts empty
    for (std::size_t i = 0; i < days; ++i) {
        record_detail::DayTotals day;
        // The day's five products summed per block of stocks in stock order and
        // folded block after block, as the daily-return kernel sums them.
        double total[kTerms] = {}, comp[kTerms] = {};
        for (std::size_t s0 = 0; s0 < stocks; s0 += record_detail::kSumBlock) {
            const std::size_t end = s0 + record_detail::kSumBlock < stocks ? s0 + record_detail::kSumBlock : stocks;
            double block[kTerms] = {};
            for (std::size_t s = s0; s < end; ++s) {
                const vwap_detail::HoldStep x = vwap_detail::hold_cell(in, p.r, i, s, given[i] != 0, state[s]);
                for (std::size_t t = 0; t < kTerms; ++t) block[t] += x.term[t];
                record_hold_step(x, in, p, i, s, state[s].holding, out, day);
            }
            for (std::size_t t = 0; t < kTerms; ++t) record_detail::neumaier_add(total[t], comp[t], block[t]);
        }
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[t], comp[t]);
        out.profit[i] = term[0] + term[1] + term[2] + term[3] + term[4];
        out.bought[i] = day.bought;
        out.sold[i] = day.sold;
        out.commission[i] = day.commission;
        out.levy[i] = day.levy;
        out.held[i] = day.held;
    }
}

}  // namespace tessary::kernels
