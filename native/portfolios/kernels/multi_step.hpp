// The multi-portfolio pass's step over one block's list of (stock, portfolio) steps:
// the engine's per-cell arithmetic on each step, W steps side by side (their market
// gathered lane by lane), each lane performing exactly the scalar step's operations
// in its order, so every width gives the same products bit for bit. Internal
// linkage: the file is compiled into files built with different instruction-set flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/daystep/vwap_cell.hpp"
#include "common/daystep/vwap.hpp"

#if !defined(TESSARY_STEP_SCALAR_ONLY)
#include "common/simd/simd.hpp"
#endif

namespace tessary::portfolios::detail {

/// One block's steps (structure of arrays, `size` of them, room for `cap`, a whole
/// number of vectors): what goes in, and what the step writes. The first `dense`
/// steps are one per stock of the block in stock order (a stock without a portfolio
/// has a step that targets and holds nothing); the others follow in any order.
struct Steps {
    std::size_t size = 0, cap = 0, variants = 0;  // variants: the most any portfolio has
    std::size_t dense = 0;
    std::uint64_t live = 0;  // bit j: dense step j has a portfolio (dense is at most 64)
    std::vector<std::int32_t> stock, portfolio;
    std::vector<double> weight, current;
    // Written: the holding after the day's trades, the hold, hold dividend and sell
    // dividend products, and per variant v the buy and sell products at [v * cap + j].
    std::vector<double> after, hold, hold_div, sell_div, buy, sell;

    void reserve(std::size_t n) {
        cap = (n + 7) / 8 * 8;
        for (auto *v : {&stock, &portfolio}) v->resize(cap);
        for (auto *v : {&weight, &current, &after, &hold, &hold_div, &sell_div}) v->resize(cap);
        buy.resize(cap * variants);
        sell.resize(cap * variants);
    }
};

/// The per-call constants the step reads.
struct StepRates {
    const double *money;                 // per portfolio
    const std::int64_t *variant_start;   // per portfolio + 1
    const double *buy_mult, *sell_mult;  // per variant
    double lot;
    bool same_rates;  // every portfolio has the rates of the first one's variants
    bool rows;        // every market view has its stocks side by side
};

void steps_4(const kernels::VwapInputs &m, std::size_t day, const StepRates &r, Steps &x);
void steps_8(const kernels::VwapInputs &m, std::size_t day, const StepRates &r, Steps &x);

namespace {

/// Steps j0 .. size - 1 one at a time.
inline void steps_scalar(const kernels::VwapInputs &m, std::size_t i, const StepRates &r, Steps &x, std::size_t j0) {
    using kernels::vwap_detail::exact_floor;
    using kernels::vwap_detail::nan_to_num;
    for (std::size_t j = j0; j < x.size; ++j) {
        if (j < x.dense && !((x.live >> j) & 1)) continue;  // a stock without a portfolio
        const std::size_t s = (std::size_t)x.stock[j];
        const std::int32_t p = x.portfolio[j];
        const double w = x.weight[j], pc = m.prev_close(i, s);
        double target = 0.0;
        if (w > 0.0 && __builtin_isfinite(pc) && pc > 0.0) target = exact_floor(r.money[p] * w / (pc * r.lot)) * r.lot;
        const double current = x.current[j];
        const double diff = target - current;
        const double real_buy = (diff > 0.0 && m.can_buy(i, s) != 0) ? diff : 0.0;
        const double sold = (diff < 0.0 && m.cant_sell(i, s) == 0) ? -diff : 0.0;
        const double hold = current - sold;  // carried and not sold, including shares barred from selling
        x.after[j] = hold + real_buy;
        const double close = m.close(i, s), split_raw = m.split(i, s), div_raw = m.dividend(i, s);
        const double split = __builtin_isnan(split_raw) ? 1.0 : split_raw;
        const double dividend = __builtin_isnan(div_raw) ? 0.0 : div_raw;
        x.hold[j] = hold * nan_to_num(split * close - pc);
        x.hold_div[j] = hold * dividend;
        x.sell_div[j] = sold * dividend;
        const double buy_price = m.buy_price(i, s), sell_base = split * m.sell_price(i, s);
        const std::int64_t v0 = r.variant_start[p], n = r.variant_start[p + 1] - v0;
        for (std::int64_t v = 0; v < n; ++v) {
            x.buy[v * x.cap + j] = real_buy * nan_to_num(close - buy_price * r.buy_mult[v0 + v]);
            x.sell[v * x.cap + j] = sold * nan_to_num(sell_base * r.sell_mult[v0 + v] - pc);
        }
    }
}

#if !defined(TESSARY_STEP_SCALAR_ONLY)
/// Steps j0 .. j0 + W - 1 side by side; `Row`: they are stocks x.stock[j0] + 0 .. W - 1
/// and the market rows are read as vectors, else the market is gathered lane by lane.
/// Needs positive capitals and a lot of at least 1 (targets are then never negative).
template <int W, bool Row>
TESSARY_INLINE void lanes_at(const kernels::VwapInputs &m, std::size_t i, const StepRates &r, Steps &x,
                             std::size_t j0) {
    using namespace kernels::simd;
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    constexpr double inf = __builtin_inf();
    D pcv, close, buy_price, sell_price, split_raw, div_raw;
    M buy_ok, sell_barred;
    D money;
    std::int64_t v0[W], nv[W];
    if constexpr (Row) {
        const std::size_t s = (std::size_t)x.stock[j0];
        pcv = load<W>(&m.prev_close(i, s));
        close = load<W>(&m.close(i, s));
        buy_price = load<W>(&m.buy_price(i, s));
        sell_price = load<W>(&m.sell_price(i, s));
        split_raw = load<W>(&m.split(i, s));
        div_raw = load<W>(&m.dividend(i, s));
        buy_ok = load_flags<W>(&m.can_buy(i, s));
        sell_barred = load_flags<W>(&m.cant_sell(i, s));
    } else {
        // Gathered into the vectors element by element (see the weights below).
        for (int l = 0; l < W; ++l) {
            const std::size_t s = (std::size_t)x.stock[j0 + l];
            pcv[l] = m.prev_close(i, s);
            close[l] = m.close(i, s);
            buy_price[l] = m.buy_price(i, s);
            sell_price[l] = m.sell_price(i, s);
            split_raw[l] = m.split(i, s);
            div_raw[l] = m.dividend(i, s);
            buy_ok[l] = m.can_buy(i, s) != 0 ? -1 : 0;
            sell_barred[l] = m.cant_sell(i, s) != 0 ? -1 : 0;
        }
    }
    for (int l = 0; l < W; ++l) {
        const std::int32_t p = x.portfolio[j0 + l];
        money[l] = r.money[p];
        v0[l] = r.variant_start[p];
        nv[l] = r.variant_start[p + 1] - v0[l];
    }
    // Element by element: the steps were just written one at a time, and a vector load
    // of several such stores would wait for all of them to reach the cache.
    D w, current;
    for (int l = 0; l < W; ++l) w[l] = x.weight[j0 + l], current[l] = x.current[j0 + l];
    const M valid = (w > 0.0) & (pcv > 0.0) & (pcv < inf);  // a NaN close fails both
    const D raw_lots = money * w / (pcv * r.lot);
    const D target = valid ? floor_v<W>(raw_lots) * r.lot : splat<W>(0.0);
    const D diff = target - current;
    const D real_buy = ((diff > 0.0) & buy_ok) ? diff : splat<W>(0.0);
    const D sold = ((diff < 0.0) & ~sell_barred) ? -diff : splat<W>(0.0);
    const D hold = current - sold;
    store<W>(x.after.data() + j0, hold + real_buy);
    const D split = nan_as<W>(split_raw, 1.0), dividend = nan_as<W>(div_raw, 0.0);
    store<W>(x.hold.data() + j0, hold * nan_to_num_v<W>(split * close - pcv));
    store<W>(x.hold_div.data() + j0, hold * dividend);
    store<W>(x.sell_div.data() + j0, sold * dividend);
    const D sell_base = split * sell_price;
    const std::size_t cap = x.cap;
    for (std::size_t v = 0; v < x.variants; ++v) {
        D bm, sm;
        if (r.same_rates) {
            bm = splat<W>(r.buy_mult[v]), sm = splat<W>(r.sell_mult[v]);
        } else {
            for (int l = 0; l < W; ++l) {
                const bool has = (std::int64_t)v < nv[l];  // lanes past their variants compute unused products
                bm[l] = has ? r.buy_mult[v0[l] + (std::int64_t)v] : 1.0;
                sm[l] = has ? r.sell_mult[v0[l] + (std::int64_t)v] : 1.0;
            }
        }
        store<W>(x.buy.data() + v * cap + j0, real_buy * nan_to_num_v<W>(close - buy_price * bm));
        store<W>(x.sell.data() + v * cap + j0, sold * nan_to_num_v<W>(sell_base * sm - pcv));
    }
}

/// The steps W at a time (the dense ones straight from the market rows where those
/// are contiguous), the last few one at a time.
template <int W>
void steps_lanes(const kernels::VwapInputs &m, std::size_t i, const StepRates &r, Steps &x) {
    std::size_t j0 = 0;
    constexpr std::uint64_t lanes = (std::uint64_t{1} << W) - 1;
    // A vector of stocks without a portfolio only is not computed: its products are never read.
    if (r.rows)
        for (; j0 + W <= x.dense; j0 += W)
            if ((x.live >> j0) & lanes) lanes_at<W, true>(m, i, r, x, j0);
    for (; j0 + W <= x.size; j0 += W) lanes_at<W, false>(m, i, r, x, j0);
    steps_scalar(m, i, r, x, j0);
}
#endif

}  // namespace

}  // namespace tessary::portfolios::detail
