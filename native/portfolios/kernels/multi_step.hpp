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
/// number of vectors): what goes in, and what the step writes.
struct Steps {
    std::size_t size = 0, cap = 0, variants = 0;  // variants: the most any portfolio has
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
};

void steps_4(const kernels::VwapInputs &m, std::size_t day, const StepRates &r, Steps &x);
void steps_8(const kernels::VwapInputs &m, std::size_t day, const StepRates &r, Steps &x);

namespace {

/// Steps j0 .. size - 1 one at a time.
inline void steps_scalar(const kernels::VwapInputs &m, std::size_t i, const StepRates &r, Steps &x, std::size_t j0) {
    using kernels::vwap_detail::exact_floor;
    using kernels::vwap_detail::nan_to_num;
    for (std::size_t j = j0; j < x.size; ++j) {
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
/// The steps W at a time, the last few one at a time. Needs positive capitals and a
/// lot of at least 1 (targets are then never negative).
template <int W>
void steps_lanes(const kernels::VwapInputs &m, std::size_t i, const StepRates &r, Steps &x) {
    using namespace kernels::simd;
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    constexpr double inf = __builtin_inf();
    const std::size_t cap = x.cap, variants = x.variants;
    std::size_t j0 = 0;
    for (; j0 + W <= x.size; j0 += W) {
        double pc[W], cl[W], bp[W], sp[W], sf[W], dv[W], money[W];
        std::uint8_t cb[W], cs[W];
        std::int64_t v0[W], nv[W];
        for (int l = 0; l < W; ++l) {
            const std::size_t s = (std::size_t)x.stock[j0 + l];
            const std::int32_t p = x.portfolio[j0 + l];
            pc[l] = m.prev_close(i, s);
            cl[l] = m.close(i, s);
            bp[l] = m.buy_price(i, s);
            sp[l] = m.sell_price(i, s);
            sf[l] = m.split(i, s);
            dv[l] = m.dividend(i, s);
            cb[l] = m.can_buy(i, s);
            cs[l] = m.cant_sell(i, s);
            money[l] = r.money[p];
            v0[l] = r.variant_start[p];
            nv[l] = r.variant_start[p + 1] - v0[l];
        }
        const D pcv = load<W>(pc), w = load<W>(x.weight.data() + j0), current = load<W>(x.current.data() + j0);
        const M valid = (w > 0.0) & (pcv > 0.0) & (pcv < inf);  // a NaN close fails both
        const D raw_lots = load<W>(money) * w / (pcv * r.lot);
        const D target = valid ? floor_v<W>(raw_lots) * r.lot : splat<W>(0.0);
        const D diff = target - current;
        const D real_buy = ((diff > 0.0) & load_flags<W>(cb)) ? diff : splat<W>(0.0);
        const D sold = ((diff < 0.0) & ~load_flags<W>(cs)) ? -diff : splat<W>(0.0);
        const D hold = current - sold;
        store<W>(x.after.data() + j0, hold + real_buy);
        const D split = nan_as<W>(load<W>(sf), 1.0), dividend = nan_as<W>(load<W>(dv), 0.0);
        const D close = load<W>(cl);
        store<W>(x.hold.data() + j0, hold * nan_to_num_v<W>(split * close - pcv));
        store<W>(x.hold_div.data() + j0, hold * dividend);
        store<W>(x.sell_div.data() + j0, sold * dividend);
        const D buy_price = load<W>(bp), sell_base = split * load<W>(sp);
        for (std::size_t v = 0; v < variants; ++v) {
            double bm[W], sm[W];
            bool any = false;
            for (int l = 0; l < W; ++l) {
                const bool has = (std::int64_t)v < nv[l];
                any |= has;
                bm[l] = has ? r.buy_mult[v0[l] + (std::int64_t)v] : 1.0;
                sm[l] = has ? r.sell_mult[v0[l] + (std::int64_t)v] : 1.0;
            }
            if (!any) break;
            store<W>(x.buy.data() + v * cap + j0, real_buy * nan_to_num_v<W>(close - buy_price * load<W>(bm)));
            store<W>(x.sell.data() + v * cap + j0, sold * nan_to_num_v<W>(sell_base * load<W>(sm) - pcv));
        }
    }
    steps_scalar(m, i, r, x, j0);
}
#endif

}  // namespace

}  // namespace tessary::portfolios::detail
