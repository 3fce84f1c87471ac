// The multi-portfolio pass: day by day, stocks in blocks of 64. Per block: the steps
// listed (each stock's targets merged with the portfolios holding it, both in
// portfolio order), computed at the process's vector width, then their products added
// to their portfolios' sums in list order and the new holdings written; the block's
// sums of the portfolios it touched folded into their day's compensated totals.
#define TESSARY_STEP_SCALAR_ONLY
#include "portfolios/kernels/multi_pass.hpp"

#include <algorithm>
#include <vector>

#include "common/neumaier.hpp"
#include "portfolios/kernels/multi_step.hpp"

namespace tessary::portfolios {

namespace {

using kernels::compensated;
using kernels::neumaier_add;

constexpr std::size_t kBlock = 64;  // the engine's summation block

/// A portfolio holding a stock, and how many shares.
struct Held {
    std::int32_t portfolio;
    double shares;
};

// Sums of portfolio p at base[p]: hold, hold dividend, sell dividend (shared by its
// variants), then one buy term per variant, then one sell term per variant.
constexpr std::size_t kShared = 3;

/// The targets of one day from compressed rows: `next(s)` gives the range of stock
/// s's entries (stocks asked in increasing order).
struct RowTargets {
    const TargetRows &t;
    std::int64_t e = 0, end = 0;
    RowTargets(const TargetRows &rows, std::int64_t row) : t(rows) {
        if (row >= 0) e = t.start[row], end = t.start[row + 1];
    }
    template <class F>
    void each(std::size_t s, F &&f) {
        for (; e < end && (std::size_t)t.stock[e] == s; ++e) f(t.portfolio[e], t.weight[e]);
    }
};

/// The targets of one day from a label row.
struct LabelTargets {
    const std::int32_t *row = nullptr;
    const double *weight = nullptr;
    std::size_t k;
    LabelTargets(const LabelRows &l, std::size_t stocks, std::int64_t r) : k(l.k) {
        if (r >= 0) row = l.labels + (std::size_t)r * stocks, weight = l.weight + (std::size_t)r * l.k;
    }
    template <class F>
    void each(std::size_t s, F &&f) {
        if (!row) return;
        const std::int32_t g = row[s];
        if (g >= 1 && (std::size_t)g <= k) f(g - 1, weight[g - 1]);
    }
};

/// The targets of one day read straight from dense weight matrices, matrix by matrix
/// (their portfolios are numbered in that order).
struct DenseTargets {
    const DenseRows &d;
    std::int64_t row;
    DenseTargets(const DenseRows &rows, std::int64_t r) : d(rows), row(r) {}
    template <class F>
    void each(std::size_t s, F &&f) {
        if (row < 0) return;
        for (std::size_t j = 0; j < d.works; ++j) {
            const double x = d.weights[j]((std::size_t)row, s);
            if (!(x > 0.0)) continue;
            for (std::int64_t p = d.path_start[j]; p < d.path_start[j + 1]; ++p) f((std::int32_t)p, x);
        }
    }
};

/// The pass's running state between days and blocks.
class Pass {
  public:
    Pass(const MultiPassInputs &x, int lanes) : in(x), lanes_(lanes) {
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
        for (std::size_t p = 0; p < k; ++p)
            steps.variants = std::max(steps.variants, (std::size_t)(in.variant_start[p + 1] - in.variant_start[p]));
        steps.reserve(4 * kBlock);
        rates = detail::StepRates{in.money,          in.variant_start,        buy_mult.data(), sell_mult.data(),
                                  in.market.lot_size, same_rates(in, variants), stocks_side_by_side(in.market)};
    }

    template <class Targets>
    void day(std::size_t i, Targets targets, double *daily_cash) {
        const std::size_t stocks = in.market.stocks;
        next_n = 0;
        for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
            const std::size_t s1 = std::min(stocks, s0 + kBlock);
            list_steps(s0, s1, targets);
            compute(i);
            apply(s0, s1);
            fold_block();
        }
        finish_day(i, daily_cash);
        std::swap(held, next);
        std::swap(held_start, next_start);
    }

  private:
    const MultiPassInputs &in;
    int lanes_;
    detail::StepRates rates;
    std::vector<double> buy_mult, sell_mult;
    std::vector<std::size_t> base;  // portfolios + 1 offsets of each portfolio's sums
    std::vector<double> partial, total, comp;
    std::vector<std::int32_t> touched;  // portfolios stepped in the current block
    std::vector<std::uint8_t> is_touched;
    std::vector<std::int64_t> held_start, next_start;  // stocks + 1 offsets into held / next
    std::vector<Held> held, next;  // next holds next_n holdings so far
    std::size_t next_n = 0;
    detail::Steps steps;
    std::int32_t first[kBlock];       // the portfolio of each stock's dense step, -1 for none
    std::size_t step_of[kBlock + 1];  // each stock's first further step in the block

    /// True when every portfolio has the variants of the first one.
    static bool same_rates(const MultiPassInputs &x, std::size_t variants) {
        const std::int64_t n = x.variant_start[1];
        if (n <= 0 || variants != x.portfolios * (std::size_t)n) return false;
        for (std::size_t v = 0; v < variants; ++v)
            if (x.variant_start[v / n + 1] - x.variant_start[v / n] != n || x.fees[v] != x.fees[v % n] ||
                x.rule_fees[v] != x.rule_fees[v % n])
                return false;
        return true;
    }

    static bool stocks_side_by_side(const kernels::VwapInputs &m) {
        for (const kernels::FloatView *v :
             {&m.prev_close, &m.close, &m.buy_price, &m.sell_price, &m.split, &m.dividend})
            if (v->col_stride != 1) return false;
        return m.can_buy.col_stride == 1 && m.cant_sell.col_stride == 1;
    }

    void add_step(std::size_t s, std::int32_t p, double w, double current) {
        detail::Steps &x = steps;
        if (x.size == x.cap) x.reserve(2 * x.cap);
        x.stock[x.size] = (std::int32_t)s;
        x.portfolio[x.size] = p;
        x.weight[x.size] = w;
        x.current[x.size++] = current;
    }

    /// Each stock's targets merged with its holders, in portfolio order; a portfolio
    /// that neither holds nor targets the stock has no step (it would add zeros). A
    /// stock's first step takes its dense place, the others follow the dense ones.
    template <class Targets>
    void list_steps(std::size_t s0, std::size_t s1, Targets &targets) {
        detail::Steps &x = steps;
        const std::size_t width = s1 - s0;
        x.dense = width;
        x.size = width;
        x.live = 0;
        for (std::size_t s = s0; s < s1; ++s) {
            const std::size_t slot = s - s0;
            step_of[slot] = x.size;
            first[slot] = -1;
            x.stock[slot] = (std::int32_t)s;
            x.portfolio[slot] = 0;
            x.weight[slot] = 0.0;
            x.current[slot] = 0.0;
            auto add = [&](std::int32_t p, double w, double current) {
                if (first[slot] < 0) {
                    first[slot] = p;
                    x.live |= std::uint64_t{1} << slot;
                    x.portfolio[slot] = p;
                    x.weight[slot] = w;
                    x.current[slot] = current;
                } else {
                    add_step(s, p, w, current);
                }
            };
            const Held *h = held.data() + held_start[s], *h_end = held.data() + held_start[s + 1];
            targets.each(s, [&](std::int32_t p, double w) {
                for (; h < h_end && h->portfolio < p; ++h) add(h->portfolio, 0.0, h->shares);
                const double current = (h < h_end && h->portfolio == p) ? (h++)->shares : 0.0;
                if (current != 0.0 || w > 0.0) add(p, w, current);
            });
            for (; h < h_end; ++h) add(h->portfolio, 0.0, h->shares);
        }
        step_of[width] = x.size;
    }

    void compute(std::size_t i) {
#if defined(TESSARY_WIDE_KERNELS)
        if (lanes_ == 8) return detail::steps_8(in.market, i, rates, steps);
        if (lanes_ == 4) return detail::steps_4(in.market, i, rates, steps);
#endif
        detail::steps_scalar(in.market, i, rates, steps, 0);
    }

    /// The steps' products added to their portfolios' sums stock by stock (one step
    /// per portfolio and stock, so each portfolio's sums grow in stock order), and the
    /// holdings that remain written.
    void apply(std::size_t s0, std::size_t s1) {
        const detail::Steps &x = steps;
        if (next.size() < next_n + x.size) next.resize(2 * (next_n + x.size));
        // Locals, so that the stores below do not make the compiler reload the fields.
        Held *const out0 = next.data() + next_n;
        Held *out = out0;
        const std::int32_t *port = x.portfolio.data();
        const double *hold = x.hold.data(), *hold_div = x.hold_div.data(), *sell_div = x.sell_div.data();
        const double *after = x.after.data(), *buy = x.buy.data(), *sell = x.sell.data();
        const std::size_t cap = x.cap, *base_of = base.data();
        const std::int64_t *vstart = in.variant_start;
        double *part = partial.data();
        std::uint8_t *mark = is_touched.data();
        auto one = [&](std::size_t j) {
            const std::int32_t p = port[j];
            if (!mark[p]) {
                mark[p] = 1;
                touched.push_back(p);
            }
            double *acc = part + base_of[p];
            acc[0] += hold[j];
            acc[1] += hold_div[j];
            acc[2] += sell_div[j];
            const std::size_t n = (std::size_t)(vstart[p + 1] - vstart[p]);
            for (std::size_t v = 0; v < n; ++v) {
                acc[kShared + v] += buy[v * cap + j];
                acc[kShared + n + v] += sell[v * cap + j];
            }
            const double a = after[j];
            *out = Held{p, a};
            out += a != 0.0;  // NaN holdings are kept too
        };
        for (std::size_t s = s0; s < s1; ++s) {
            const std::size_t slot = s - s0;
            if (first[slot] >= 0) one(slot);
            for (std::size_t j = step_of[slot]; j < step_of[slot + 1]; ++j) one(j);
            next_start[s + 1] = (std::int64_t)(next_n + (std::size_t)(out - out0));
        }
        next_n += (std::size_t)(out - out0);
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

/// The width of the steps: 1, 4 or 8.
int chosen_lanes(const MultiPassInputs &in, int lanes) {
#if defined(TESSARY_WIDE_KERNELS)
    using kernels::vwap_detail::best_lanes;
    using kernels::vwap_detail::lanes_supported;
    if (lanes == 0 || !lanes_supported(lanes)) lanes = best_lanes();
    // The vector steps need targets that are never negative: positive capitals and
    // a lot of at least one share.
    if (!(in.market.lot_size >= 1.0)) return 1;
    for (std::size_t p = 0; p < in.portfolios; ++p)
        if (!(in.money[p] > 0.0)) return 1;
    return lanes == 8 || lanes == 4 ? lanes : 1;
#else
    (void)in;
    (void)lanes;
    return 1;
#endif
}

}  // namespace

std::string check_inputs(const MultiPassInputs &in) {
    const std::size_t k = in.portfolios, stocks = in.market.stocks;
    const TargetRows &t = in.targets;
    if (in.variant_start[0] != 0) return "the variants of the first portfolio must start at 0";
    for (std::size_t p = 0; p < k; ++p)
        if (in.variant_start[p + 1] < in.variant_start[p]) return "the variant offsets must not decrease";
    const bool compressed = !in.labels.labels && !in.dense.works;
    if (compressed && t.rows && t.start[0] != 0) return "the first target row must start at 0";
    for (std::size_t r = 0; compressed && r < t.rows; ++r) {
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
    const std::size_t rows = in.labels.labels ? in.labels.rows : in.dense.works ? in.market.days : t.rows;
    for (std::size_t i = 0; i < in.market.days; ++i)
        if (in.row_of_day[i] >= (std::int64_t)rows) return "a day names a target row past the end";
    return "";
}

void multi_pass_daily_cash(const MultiPassInputs &in, double *daily_cash, int lanes) {
    if (in.portfolios == 0) return;
    Pass pass(in, chosen_lanes(in, lanes));
    for (std::size_t i = 0; i < in.market.days; ++i) {
        if (in.labels.labels)
            pass.day(i, LabelTargets(in.labels, in.market.stocks, in.row_of_day[i]), daily_cash);
        else if (in.dense.works)
            pass.day(i, DenseTargets(in.dense, in.row_of_day[i]), daily_cash);
        else
            pass.day(i, RowTargets(in.targets, in.row_of_day[i]), daily_cash);
    }
}

}  // namespace tessary::portfolios
