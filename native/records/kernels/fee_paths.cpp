// The fee paths: block by block of 64 stocks, stock by stock, day by day, the
// engine's per-cell step with the buy and sell coefficients taken once per rate pair.
#include "records/kernels/fee_paths.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/daystep/vwap_cell.hpp"
#include "common/neumaier.hpp"

namespace tessary::records {

namespace {

using kernels::vwap_detail::exact_floor;
using kernels::vwap_detail::nan_to_num;
using kernels::compensated;
using kernels::neumaier_add;

constexpr std::size_t kBlock = 64;  // the engine's summation block

/// Per-day sums of one kind of product: the current block's plain sums and the
/// compensated totals over the blocks before it.
struct Sums {
    std::vector<double> partial, total, comp;
    explicit Sums(std::size_t n) : partial(n, 0.0), total(n, 0.0), comp(n, 0.0) {}
    void fold() {
        for (std::size_t j = 0; j < partial.size(); ++j) {
            neumaier_add(total[j], comp[j], partial[j]);
            partial[j] = 0.0;
        }
    }
    double at(std::size_t j) const { return compensated(total[j], comp[j]); }
};

}  // namespace

void fee_paths_daily_cash(const kernels::VwapInputs &in, std::size_t k, const double *fees, const double *rule_fees,
                          double *daily_cash) {
    const std::size_t days = in.days, stocks = in.stocks;
    const double money = in.total_money, lot = in.lot_size;
    std::vector<double> buy_mult(k), sell_mult(k);
    for (std::size_t j = 0; j < k; ++j) {
        buy_mult[j] = 1.0 + fees[j];
        sell_mult[j] = 1.0 - fees[j] - rule_fees[j];  // as the engine writes it
    }
    // [day] for the shared terms (hold, hold dividend, sell dividend); [j * days + day]
    // for each rate pair's buy and sell terms.
    Sums hold_sum(days), hold_div(days), sell_div(days), buy_sum(k * days), sell_sum(k * days);
    for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
        const std::size_t width = std::min(kBlock, stocks - s0);
        for (std::size_t b = 0; b < width; ++b) {
            const std::size_t s = s0 + b;
            double h = 0.0;  // every portfolio starts empty
            for (std::size_t i = 0; i < days; ++i) {
                const double w = in.signal(i, s);
                if (h == 0.0 && !(w > 0.0)) continue;  // nothing held or targeted: every product is 0
                const double pc = in.prev_close(i, s);
                double target = 0.0;
                if (w > 0.0 && std::isfinite(pc) && pc > 0.0) target = exact_floor(money * w / (pc * lot)) * lot;
                const double current = h;
                const double diff = target - current;
                const double real_buy = (diff > 0.0 && in.can_buy(i, s) != 0) ? diff : 0.0;
                const double sell = (diff < 0.0 && in.cant_sell(i, s) == 0) ? -diff : 0.0;
                const double hold = current - sell;
                h = hold + real_buy;

                const double close = in.close(i, s);
                const double split_raw = in.split(i, s);
                const double div_raw = in.dividend(i, s);
                const double split = std::isnan(split_raw) ? 1.0 : split_raw;
                const double dividend = std::isnan(div_raw) ? 0.0 : div_raw;
                const double buy_price = in.buy_price(i, s);
                const double sell_price = in.sell_price(i, s);
                hold_sum.partial[i] += hold * nan_to_num(split * close - pc);
                hold_div.partial[i] += hold * dividend;
                sell_div.partial[i] += sell * dividend;
                for (std::size_t j = 0; j < k; ++j) {
                    buy_sum.partial[j * days + i] += real_buy * nan_to_num(close - buy_price * buy_mult[j]);
                    sell_sum.partial[j * days + i] += sell * nan_to_num(split * sell_price * sell_mult[j] - pc);
                }
            }
        }
        for (Sums *sums : {&hold_sum, &hold_div, &sell_div, &buy_sum, &sell_sum}) sums->fold();
    }
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < days; ++i)
            daily_cash[j * days + i] = buy_sum.at(j * days + i) + hold_sum.at(i) + hold_div.at(i) +
                                       sell_sum.at(j * days + i) + sell_div.at(i);
}

}  // namespace tessary::records
