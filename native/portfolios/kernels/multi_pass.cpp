// The multi-portfolio pass: day by day, stocks in blocks of 64; per stock the day's
// targets merged with the portfolios holding it, both in portfolio order, each
// stepped by the engine's per-cell arithmetic; each block's sums of the portfolios it
// touched folded into their day's compensated totals.
#include "portfolios/kernels/multi_pass.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/daystep/vwap_cell.hpp"
#include "common/neumaier.hpp"

namespace tessary::portfolios {

namespace {

using kernels::compensated;
using kernels::neumaier_add;
using kernels::vwap_detail::exact_floor;
using kernels::vwap_detail::nan_to_num;

constexpr std::size_t kBlock = 64;  // the engine's summation block

/// A portfolio holding a stock, and how many shares.
struct Held {
    std::int32_t portfolio;
    double shares;
};

// Sums of portfolio p at base[p]: hold, hold dividend, sell dividend (shared by its
// variants), then one buy term per variant, then one sell term per variant.
constexpr std::size_t kShared = 3;

/// The day's market of one stock, read once for every portfolio stepped on it.
struct Cell {
    double pc, close, buy_price, sell_price, split, dividend, hold_coeff, sell_base, unit;
    bool pc_ok, buy_ok, sell_barred;
};

inline Cell read_cell(const kernels::VwapInputs &m, std::size_t i, std::size_t s) {
    Cell c;
    c.pc = m.prev_close(i, s);
    c.close = m.close(i, s);
    c.buy_price = m.buy_price(i, s);
    c.sell_price = m.sell_price(i, s);
    const double split_raw = m.split(i, s), div_raw = m.dividend(i, s);
    c.split = std::isnan(split_raw) ? 1.0 : split_raw;
    c.dividend = std::isnan(div_raw) ? 0.0 : div_raw;
    c.hold_coeff = nan_to_num(c.split * c.close - c.pc);
    c.sell_base = c.split * c.sell_price;
    c.unit = c.pc * m.lot_size;
    c.pc_ok = std::isfinite(c.pc) && c.pc > 0.0;
    c.buy_ok = m.can_buy(i, s) != 0;
    c.sell_barred = m.cant_sell(i, s) != 0;
    return c;
}

/// The pass's running state between days and blocks.
struct State {
    const MultiPassInputs &in;
    std::vector<double> buy_mult, sell_mult;
    std::vector<std::size_t> base;  // portfolios + 1 offsets of each portfolio's sums
    std::vector<double> partial, total, comp;
    std::vector<std::int32_t> touched;  // portfolios stepped in the current block
    std::vector<std::uint8_t> is_touched;
    std::vector<std::int64_t> held_start, next_start;  // stocks + 1 offsets into held / next
    std::vector<Held> held, next;

    explicit State(const MultiPassInputs &x) : in(x) {
        const std::size_t k = in.portfolios, variants = (std::size_t)in.variant_start[k];
        buy_mult.resize(variants);
        sell_mult.resize(variants);
        for (std::size_t v = 0; v < variants; ++v) {
            buy_mult[v] = 1.0 + in.fees[v];
            sell_mult[v] = 1.0 - in.fees[v] - in.rule_fees[v];  // as the engine writes it
        }
        base.resize(k + 1);
        for (std::size_t p = 0; p <= k; ++p) base[p] = kShared * p + 2 * (std::size_t)in.variant_start[p];
        partial.assign(base[k], 0.0);
        total.assign(base[k], 0.0);
        comp.assign(base[k], 0.0);
        is_touched.assign(k, 0);
        held_start.assign(in.market.stocks + 1, 0);  // every portfolio starts empty
        next_start.assign(in.market.stocks + 1, 0);
    }

    /// Portfolio p on cell c with the target weight w, holding `current` shares.
    void step(const Cell &c, std::int32_t p, double w, double current) {
        double target = 0.0;
        if (w > 0.0 && c.pc_ok) target = exact_floor(in.money[p] * w / c.unit) * in.market.lot_size;
        const double diff = target - current;
        const double real_buy = (diff > 0.0 && c.buy_ok) ? diff : 0.0;
        const double sell = (diff < 0.0 && !c.sell_barred) ? -diff : 0.0;
        const double hold = current - sell;  // carried and not sold, including shares barred from selling
        const double after = hold + real_buy;
        if (after != 0.0) next.push_back(Held{p, after});  // NaN holdings are kept too

        if (!is_touched[p]) {
            is_touched[p] = 1;
            touched.push_back(p);
        }
        double *acc = partial.data() + base[p];
        acc[0] += hold * c.hold_coeff;
        acc[1] += hold * c.dividend;
        acc[2] += sell * c.dividend;
        const std::size_t v0 = (std::size_t)in.variant_start[p], n = (std::size_t)in.variant_start[p + 1] - v0;
        double *buy = acc + kShared, *sold = buy + n;
        for (std::size_t v = 0; v < n; ++v) {
            buy[v] += real_buy * nan_to_num(c.close - c.buy_price * buy_mult[v0 + v]);
            sold[v] += sell * nan_to_num(c.sell_base * sell_mult[v0 + v] - c.pc);
        }
    }

    /// Stock s on day i: its targets [t, t_end) merged with its holders, in portfolio order.
    void stock_day(std::size_t i, std::size_t s, std::int64_t t, std::int64_t t_end) {
        const Held *h = held.data() + held_start[s], *h_end = held.data() + held_start[s + 1];
        if (h == h_end && t == t_end) return;
        const Cell c = read_cell(in.market, i, s);
        const TargetRows &tr = in.targets;
        while (h < h_end || t < t_end) {
            if (t < t_end && (h == h_end || tr.portfolio[t] <= h->portfolio)) {
                const std::int32_t p = tr.portfolio[t];
                const double w = tr.weight[t++];
                const double current = (h < h_end && h->portfolio == p) ? (h++)->shares : 0.0;
                if (current == 0.0 && !(w > 0.0)) continue;  // nothing held or targeted: every product is 0
                step(c, p, w, current);
            } else {
                step(c, h->portfolio, 0.0, h->shares);
                ++h;
            }
        }
    }

    /// Folds the block's sums of the portfolios it touched (the others' are +0, whose
    /// fold would change nothing) and clears them.
    void fold_block() {
        for (const std::int32_t p : touched) {
            for (std::size_t j = base[p]; j < base[p + 1]; ++j) {
                neumaier_add(total[j], comp[j], partial[j]);
                partial[j] = 0.0;
            }
            is_touched[p] = 0;
        }
        touched.clear();
    }

    /// Each variant's profit of day i from its compensated terms, added in the engine's
    /// order (buy, hold, hold dividend, sell, sell dividend); the totals cleared.
    void finish_day(std::size_t i, double *daily_cash) {
        const std::size_t days = in.market.days;
        for (std::size_t p = 0; p < in.portfolios; ++p) {
            const double *tot = total.data() + base[p], *cmp = comp.data() + base[p];
            const double hold = compensated(tot[0], cmp[0]), hold_div = compensated(tot[1], cmp[1]);
            const double sell_div = compensated(tot[2], cmp[2]);
            const std::size_t v0 = (std::size_t)in.variant_start[p], n = (std::size_t)in.variant_start[p + 1] - v0;
            for (std::size_t v = 0; v < n; ++v) {
                const double buy = compensated(tot[kShared + v], cmp[kShared + v]);
                const double sell = compensated(tot[kShared + n + v], cmp[kShared + n + v]);
                daily_cash[(v0 + v) * days + i] = buy + hold + hold_div + sell + sell_div;
            }
        }
        std::fill(total.begin(), total.end(), 0.0);
        std::fill(comp.begin(), comp.end(), 0.0);
    }
};

}  // namespace

std::string check_inputs(const MultiPassInputs &in) {
    const std::size_t k = in.portfolios, stocks = in.market.stocks;
    const TargetRows &t = in.targets;
    if (in.variant_start[0] != 0) return "the variants of the first portfolio must start at 0";
    for (std::size_t p = 0; p < k; ++p)
        if (in.variant_start[p + 1] < in.variant_start[p]) return "the variant offsets must not decrease";
    if (t.start[0] != 0) return "the first target row must start at 0";
    for (std::size_t r = 0; r < t.rows; ++r) {
        if (t.start[r + 1] < t.start[r]) return "the target row offsets must not decrease";
        for (std::int64_t e = t.start[r]; e < t.start[r + 1]; ++e) {
            if (t.stock[e] < 0 || (std::size_t)t.stock[e] >= stocks) return "a target names a stock out of range";
            if (t.portfolio[e] < 0 || (std::size_t)t.portfolio[e] >= k)
                return "a target names a portfolio out of range";
            if (e > t.start[r] && (t.stock[e] < t.stock[e - 1] ||
                                   (t.stock[e] == t.stock[e - 1] && t.portfolio[e] <= t.portfolio[e - 1])))
                return "the targets of a row must be ordered by stock, then portfolio, each pair once";
        }
    }
    for (std::size_t i = 0; i < in.market.days; ++i)
        if (in.row_of_day[i] >= (std::int64_t)t.rows) return "a day names a target row past the end";
    return "";
}

void multi_pass_daily_cash(const MultiPassInputs &in, double *daily_cash) {
    const std::size_t days = in.market.days, stocks = in.market.stocks;
    if (in.portfolios == 0) return;
    State st(in);
    for (std::size_t i = 0; i < days; ++i) {
        const std::int64_t row = in.row_of_day[i];
        std::int64_t e = row >= 0 ? in.targets.start[row] : 0;
        const std::int64_t e_end = row >= 0 ? in.targets.start[row + 1] : 0;
        st.next.clear();
        for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
            const std::size_t s1 = std::min(stocks, s0 + kBlock);
            for (std::size_t s = s0; s < s1; ++s) {
                const std::int64_t t = e;
                while (e < e_end && (std::size_t)in.targets.stock[e] == s) ++e;
                st.stock_day(i, s, t, e);
                st.next_start[s + 1] = (std::int64_t)st.next.size();
            }
            st.fold_block();
        }
        st.finish_day(i, daily_cash);
        std::swap(st.held, st.next);
        std::swap(st.held_start, st.next_start);
    }
}

}  // namespace tessary::portfolios
