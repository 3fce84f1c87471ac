// One cell of the recording pass (one stock on one day): the engine's step, with
// every outcome written through raw table cursors. Shared by the walk date by date
// and the walk down the columns. Internal to the pass.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/daystep/vwap_cell.hpp"
#include "records/kernels/record_pass.hpp"

namespace tessary::kernels::record_detail {

using vwap_detail::kTerms;

/// Per-call constants: the rates of the return arithmetic and the two fee rates.
struct PassRates {
    vwap_detail::Rates r;
    double fee, rule_fee;
};

/// One day's totals: bought and sold value, commission, levy, stocks held.
struct DayTotals {
    double bought = 0.0, sold = 0.0, commission = 0.0, levy = 0.0, held = 0.0;
};

/// `x` if `use`, else +0. A daily total starts at +0 and can never become -0 (in
/// round-to-nearest x + y is -0 only when both are), so adding +0 leaves it
/// unchanged to the bit: the same as adding `x` only if `use`.
inline double only_if(bool use, double x) { return use ? x : 0.0; }

/// Room for `need` records in `t`, of which `recorded` came from the first `done`
/// of `total` days of a market of `stocks` stocks. A table that must grow is sized
/// for all days at the rate of those records, a quarter more for a rate that rises
/// (never beyond one record per cell left): a large market's tables then grow two or
/// three times instead of doubling a dozen times over (each growth moves or copies
/// every column). Too high a guess
/// costs only address space: pages are faulted in when first written.
template <std::size_t N>
void reserve_at_rate(RecordTable<N> &t, std::size_t need, std::size_t recorded, std::size_t done, std::size_t total,
                     std::size_t stocks) {
    if (need <= t.capacity) return;
    if (done == 0 || done >= total) return t.reserve(need);
    const double rate = (double)recorded / (double)done,
                 most = (double)recorded + (double)stocks * (double)(total - done);
    t.reserve(std::max(need, (std::size_t)std::min(rate * (double)total * 1.25, most)));
}

/// Room for `n` more records in `t`, after `done` of `total` days: see
/// `reserve_at_rate`.
template <std::size_t N>
void reserve_projected(RecordTable<N> &t, std::size_t n, std::size_t done, std::size_t total, std::size_t stocks) {
    reserve_at_rate(t, t.size + n, t.size, done, total, stocks);
}

/// Cursors into the four tables; each must have room for one more record per cell
/// walked through them before `finish`.
struct Writers {
    RecordWriter<5, true> trades;
    RecordWriter<1, true> blocked;
    RecordWriter<2, false> positions;
    RecordWriter<5, false> pnl;

    explicit Writers(VwapRecords &out)
        : trades(out.trades), blocked(out.blocked), positions(out.positions), pnl(out.pnl) {}
    /// Room for `n` more records in each of `out`'s tables (done before the cursors
    /// are taken: growing may move the columns).
    static void reserve(VwapRecords &out, std::size_t n) {
        out.trades.reserve(out.trades.size + n);
        out.blocked.reserve(out.blocked.size + n);
        out.positions.reserve(out.positions.size + n);
        out.pnl.reserve(out.pnl.size + n);
    }
    /// The same for a walk that has recorded `done` of its `total` days: see
    /// `reserve_projected`.
    static void reserve(VwapRecords &out, std::size_t n, std::size_t done, std::size_t total, std::size_t stocks) {
        reserve_projected(out.trades, n, done, total, stocks);
        reserve_projected(out.blocked, n, done, total, stocks);
        reserve_projected(out.positions, n, done, total, stocks);
        reserve_projected(out.pnl, n, done, total, stocks);
    }
    void finish(VwapRecords &out) const {
        trades.finish(out.trades);
        blocked.finish(out.blocked);
        positions.finish(out.positions);
        pnl.finish(out.pnl);
    }
};

/// A view with one stride fixed at one: `Unit` 0 for adjacent days (column-major),
/// 1 for adjacent stocks (row-major). Cell (r, c) then costs one multiply fewer.
template <class T, int Unit>
struct UnitView {
    const T *data;
    std::ptrdiff_t stride;  // the other stride
    explicit UnitView(const View2D<T> &v) : data(v.data), stride(Unit == 0 ? v.col_stride : v.row_stride) {}
    [[gnu::always_inline]] const T &operator()(std::size_t r, std::size_t c) const {
        if constexpr (Unit == 0)
            return data[(std::ptrdiff_t)r + (std::ptrdiff_t)c * stride];
        else
            return data[(std::ptrdiff_t)r * stride + (std::ptrdiff_t)c];
    }
};

/// The inputs of the cells, read as record_cell reads them, when every view has
/// its days (Unit 0) or stocks (Unit 1) adjacent: the common layouts.
template <int Unit>
struct UnitInputs {
    UnitView<double, Unit> signal, prev_close, close, buy_price, sell_price, split, dividend;
    UnitView<std::uint8_t, Unit> can_buy, cant_sell;
    explicit UnitInputs(const VwapInputs &in)
        : signal(in.signal), prev_close(in.prev_close), close(in.close), buy_price(in.buy_price),
          sell_price(in.sell_price), split(in.split), dividend(in.dividend), can_buy(in.can_buy),
          cant_sell(in.cant_sell) {}
    /// True when every view of `in` has that stride one.
    static bool fits(const VwapInputs &in) {
        auto one = [](const auto &v) { return (Unit == 0 ? v.row_stride : v.col_stride) == 1; };
        return one(in.signal) && one(in.prev_close) && one(in.close) && one(in.buy_price) && one(in.sell_price) &&
               one(in.split) && one(in.dividend) && one(in.can_buy) && one(in.cant_sell);
    }
};

/// A stock that is idle (not held, no weight above zero) on a day of infinite
/// dividend: its only products that are not zero are 0 x inf = NaN, which make the
/// day's sum NaN, as in the engine. Other idle cells add nothing.
inline void idle_cell(double holding, double dividend, double *acc) {
    if (std::isinf(dividend)) {
        acc[2] += holding * dividend;
        acc[4] += 0.0 * dividend;
    }
}

/// One stock on one day that is held or wanted: the engine's step (vwap_cell.hpp),
/// reading the inputs through `in` (VwapInputs or UnitInputs),
/// adding the five products to acc[0..5), with every outcome written through `w`
/// and added to the day's totals `day` (in stock order, as the engine's day loop
/// meets them). Buys and sells come in no predictable order, so the trade record is
/// put together with selects and written either way; only a refusal (rare) branches.
template <class Inputs>
[[gnu::always_inline]] inline void record_cell(const Inputs &in, const PassRates &p, std::size_t i,
                                               std::size_t s, double &holding, double *acc, Writers &w,
                                               DayTotals &day) {
    using vwap_detail::exact_floor;
    using vwap_detail::nan_to_num;
    const double wt = in.signal(i, s);
    const vwap_detail::Rates &r = p.r;
    const double pc = in.prev_close(i, s);
    double target = 0.0;
    if (wt > 0.0 && std::isfinite(pc) && pc > 0.0) target = exact_floor(r.money * wt / (pc * r.lot)) * r.lot;
    const double current = holding;
    const double diff = target - current;
    const bool buy_allowed = in.can_buy(i, s) != 0;
    const bool sell_barred = in.cant_sell(i, s) != 0;
    const bool is_buy = diff > 0.0, is_sell = diff < 0.0;
    const bool buys = is_buy && buy_allowed, sells = is_sell && !sell_barred;
    const double real_buy = buys ? diff : 0.0;
    const double sell = sells ? -diff : 0.0;
    const double hold = current - sell;
    holding = hold + real_buy;

    const double close = in.close(i, s);
    const double buy_price = in.buy_price(i, s);
    const double sell_price = in.sell_price(i, s);
    const double split_raw = in.split(i, s);
    const double div_raw = in.dividend(i, s);
    const double split = std::isnan(split_raw) ? 1.0 : split_raw;
    const double dividend = std::isnan(div_raw) ? 0.0 : div_raw;
    const double buy_coeff = nan_to_num(close - buy_price * r.buy_mult);
    const double hold_coeff = nan_to_num(split * close - pc);
    const double sell_coeff = nan_to_num(split * sell_price * r.sell_mult - pc);

    const std::array<double, kTerms> term{real_buy * buy_coeff, hold * hold_coeff, hold * dividend,
                                          sell * sell_coeff, sell * dividend};
    for (std::size_t t = 0; t < kTerms; ++t) acc[t] += term[t];

    const auto d = (std::int32_t)i, c = (std::int32_t)s;
    // A trade: a buy's value is shares x buy price; a sell's the proceeds the rules
    // credit, shares x split factor x sell price; only sells pay the levy.
    const bool traded = buys || sells;
    const double shares = is_sell ? sell : real_buy, price = is_sell ? sell_price : buy_price;
    const double value = is_sell ? sell * split * sell_price : real_buy * buy_price;
    const double commission = value * p.fee, levy = is_sell ? value * p.rule_fee : 0.0;
    w.trades.put(d, c, is_sell ? kSell : kBuy, {shares, price, value, commission, levy}, traded);
    // The totals leave out NaN values (a trade at a missing price).
    const bool counted = traded && !std::isnan(value);
    day.bought += only_if(counted && !is_sell, value);
    day.sold += only_if(counted && is_sell, value);
    day.commission += only_if(traded && !std::isnan(commission), commission);
    day.levy += only_if(traded && is_sell && !std::isnan(levy), levy);
    if (is_buy && !buy_allowed) w.blocked.put(d, c, kBuy, {diff}, true);
    if (is_sell && sell_barred) w.blocked.put(d, c, kSell, {-diff}, true);

    const bool is_held = holding != 0.0;
    w.positions.put(d, c, 0, {holding, (hold * split + real_buy) * close}, is_held);
    day.held += is_held ? 1.0 : 0.0;
    // A NaN product is a contribution too (it makes the day's sum NaN).
    const bool moved = !(term[0] == 0.0 && term[1] == 0.0 && term[2] == 0.0 && term[3] == 0.0 && term[4] == 0.0);
    w.pnl.put(d, c, 0, term, moved);
}

/// Neumaier's compensated addition, as the daily-return kernel folds its blocks. Both
/// corrections are computed and one is picked, which compiles to a select instead
/// of a branch that goes either way at random.
inline void neumaier_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    const double sum_larger = (sum - t) + x, x_larger = (x - t) + sum;
    comp += std::fabs(sum) >= std::fabs(x) ? sum_larger : x_larger;
    sum = t;
}

}  // namespace tessary::kernels::record_detail
