// The label pass's step over one block of stocks on one day, in the order every
// vector width follows: first each stock's primary portfolio (the one that targets
// it, else the one holding it), stock by stock; then each stock's first other holder
// (an exit, selling towards 0), stock by stock; then any further holders (a stock
// that three portfolios hold at once), stock by stock. Primaries and exits of W
// stocks go through the engine's lane step side by side; the products are added to
// their portfolios' sums lane by lane, in that order, so every width gives the same
// sums bit for bit. Internal linkage: the file is compiled into files built with
// different instruction-set flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/daystep/vwap_cell.hpp"
#include "portfolios/kernels/label_pass.hpp"

#if !defined(TESSARY_LABEL_SCALAR_ONLY)
#include "common/daystep/vwap_lanes.hpp"
#endif

namespace tessary::portfolios::detail {

using kernels::vwap_detail::kTerms;
using kernels::vwap_detail::Rates;

/// What one day's block step works on. `held` has one bit per portfolio (bit g for
/// label g + 1) per stock: set while the portfolio holds the stock.
struct DayBlock {
    const kernels::VwapInputs *market;
    const Rates *rates;
    std::size_t day, s0, s1, k;
    const std::int32_t *labels;  // the day's label row, or null (no targets)
    const double *weight;        // the day's weights per portfolio, or null
    double *holding;             // stocks x k
    std::uint64_t *held;         // per stock
    double *partial;             // (k + 1) x kTerms; row 0 collects nothing that counts
};

/// The primaries of one block, W stocks side by side, and the listed exits, W at a
/// time (files built for AVX2 / AVX-512).
void primaries_4(const DayBlock &b, std::int32_t *primary);
void primaries_8(const DayBlock &b, std::int32_t *primary);
void exits_4(const DayBlock &b, const std::int32_t *stock, const std::int32_t *port, std::size_t n);
void exits_8(const DayBlock &b, const std::int32_t *stock, const std::int32_t *port, std::size_t n);

namespace {

/// The primary portfolio of a stock (label), and its weight.
inline std::int32_t primary_of(const DayBlock &b, std::size_t s, double &w) {
    const std::int32_t t = b.labels ? b.labels[s] : 0;
    if (t >= 1 && (std::size_t)t <= b.k) {
        w = b.weight[t - 1];
        return t;
    }
    w = 0.0;
    return b.held[s] ? __builtin_ctzll(b.held[s]) + 1 : 0;
}

inline void note_holding(const DayBlock &b, std::size_t s, std::int32_t p, double h) {
    b.holding[s * b.k + (p - 1)] = h;
    const std::uint64_t bit = std::uint64_t{1} << (p - 1);
    b.held[s] = h != 0.0 ? (b.held[s] | bit) : (b.held[s] & ~bit);
}

/// The primary step of stock s, scalar.
inline void primary_scalar(const DayBlock &b, std::size_t s, std::int32_t *primary) {
    double w;
    const std::int32_t p = primary_of(b, s, w);
    primary[s - b.s0] = p;
    if (!p) return;
    double h = b.holding[s * b.k + (p - 1)];
    kernels::vwap_detail::trade_cell_weight(*b.market, *b.rates, b.day, s, w, h, b.partial + p * kTerms, 1);
    note_holding(b, s, p, h);
}

/// The exits: for each stock (in order) the first portfolio other than its primary
/// that still holds it, and the stocks without one as 0. Returns how many stocks
/// have one; `stock`/`port` list them.
inline std::size_t find_exits(const DayBlock &b, const std::int32_t *primary, std::int32_t *exit_of,
                              std::int32_t *stock, std::int32_t *port) {
    std::size_t n = 0;
    for (std::size_t s = b.s0; s < b.s1; ++s) {
        std::uint64_t rest = b.held[s];
        const std::int32_t p = primary[s - b.s0];
        if (p) rest &= ~(std::uint64_t{1} << (p - 1));
        const std::int32_t g = rest ? __builtin_ctzll(rest) + 1 : 0;
        exit_of[s - b.s0] = g;
        if (g) {
            stock[n] = (std::int32_t)s;
            port[n++] = g;
        }
    }
    return n;
}

/// One exit (target 0), scalar.
inline void exit_scalar(const DayBlock &b, std::size_t s, std::int32_t g) {
    double h = b.holding[s * b.k + (g - 1)];
    kernels::vwap_detail::trade_cell_weight(*b.market, *b.rates, b.day, s, 0.0, h, b.partial + g * kTerms, 1);
    note_holding(b, s, g, h);
}

/// The holders left after the primaries and the first exits (a stock held by three
/// or more portfolios at once), stock by stock, each selling towards 0.
inline void remaining_exits(const DayBlock &b, const std::int32_t *primary, const std::int32_t *exit_of) {
    for (std::size_t s = b.s0; s < b.s1; ++s) {
        std::uint64_t rest = b.held[s];
        for (const std::int32_t p : {primary[s - b.s0], exit_of[s - b.s0]})
            if (p) rest &= ~(std::uint64_t{1} << (p - 1));
        while (rest) {
            const std::int32_t g = __builtin_ctzll(rest) + 1;
            rest &= rest - 1;
            exit_scalar(b, s, g);
        }
    }
}

#if !defined(TESSARY_LABEL_SCALAR_ONLY)
/// The primaries of stocks s0 .. s1, W at a time (the market's rows contiguous), the
/// stocks past the last whole vector by the scalar step.
template <int W>
void primaries_lanes(const DayBlock &b, std::int32_t *primary) {
    using namespace kernels::simd;
    using namespace kernels::vwap_detail;
    using D = typename Vec<W>::d;
    const kernels::VwapInputs &m = *b.market;
    const std::size_t i = b.day;
    const double *pc = &m.prev_close(i, 0), *cl = &m.close(i, 0), *bp = &m.buy_price(i, 0);
    const double *sp = &m.sell_price(i, 0), *sf = &m.split(i, 0), *dv = &m.dividend(i, 0);
    const std::uint8_t *cb = &m.can_buy(i, 0), *cs = &m.cant_sell(i, 0);
    // Locals: the stores below through double and 64-bit pointers must not make the
    // compiler reload the block's fields.
    const std::size_t k = b.k, s0 = b.s0, s1 = b.s1;
    const std::int32_t *labels = b.labels;
    const double *weight = b.weight;
    double *holding = b.holding, *partial = b.partial;
    std::uint64_t *held = b.held;
    std::size_t s = s0;
    for (; s + W <= s1; s += W) {
        double wv[W], hv[W];
        std::int32_t pid[W];
        for (int j = 0; j < W; ++j) {
            const std::int32_t t = labels ? labels[s + j] : 0;
            const std::uint64_t bits = held[s + j];
            const bool targeted = t >= 1 && (std::size_t)t <= k;
            const std::int32_t p = targeted ? t : (bits ? __builtin_ctzll(bits) + 1 : 0);
            pid[j] = p;
            primary[s + j - s0] = p;
            wv[j] = targeted ? weight[t - 1] : 0.0;
            hv[j] = p ? holding[(s + j) * k + (p - 1)] : 0.0;
        }
        const D pcv = load<W>(pc + s);
        const D target = lane_target<W>(load<W>(wv), pcv, *b.rates);
        const LaneMarket<W> market{load<W>(cl + s), load<W>(bp + s), load<W>(sp + s), load<W>(sf + s),
                                   load<W>(dv + s)};
        D p[kTerms];
        store<W>(hv, lane_trade<W>(target, load<W>(hv), load_flags<W>(cb + s), load_flags<W>(cs + s), pcv, market,
                                   *b.rates, p));
        double prod[kTerms][W];
        for (std::size_t t = 0; t < kTerms; ++t) store<W>(prod[t], p[t]);
        for (int j = 0; j < W; ++j) {
            // A stock without a portfolio adds its zero products to row 0, which is dropped.
            const std::int32_t g = pid[j];
            double *acc = partial + g * kTerms;
            for (std::size_t t = 0; t < kTerms; ++t) acc[t] += prod[t][j];
            if (!g) continue;
            holding[(s + j) * k + (g - 1)] = hv[j];
            const std::uint64_t bit = std::uint64_t{1} << (g - 1);
            held[s + j] = hv[j] != 0.0 ? (held[s + j] | bit) : (held[s + j] & ~bit);
        }
    }
    for (; s < b.s1; ++s) primary_scalar(b, s, primary);
}

/// The listed exits W at a time, their market gathered lane by lane; the last few by
/// the scalar step.
template <int W>
void exits_lanes(const DayBlock &b, const std::int32_t *stock, const std::int32_t *port, std::size_t n) {
    using namespace kernels::simd;
    using namespace kernels::vwap_detail;
    using D = typename Vec<W>::d;
    const kernels::VwapInputs &m = *b.market;
    const std::size_t i = b.day, k = b.k;
    double *holding = b.holding, *partial = b.partial;
    std::uint64_t *held = b.held;
    std::size_t j0 = 0;
    for (; j0 + W <= n; j0 += W) {
        double pc[W], cl[W], bp[W], sp[W], sf[W], dv[W], hv[W];
        std::uint8_t cb[W], cs[W];
        for (int j = 0; j < W; ++j) {
            const std::size_t s = (std::size_t)stock[j0 + j];
            pc[j] = m.prev_close(i, s);
            cl[j] = m.close(i, s);
            bp[j] = m.buy_price(i, s);
            sp[j] = m.sell_price(i, s);
            sf[j] = m.split(i, s);
            dv[j] = m.dividend(i, s);
            cb[j] = m.can_buy(i, s);
            cs[j] = m.cant_sell(i, s);
            hv[j] = holding[s * k + (port[j0 + j] - 1)];
        }
        const D pcv = load<W>(pc);
        const D target = lane_target<W>(splat<W>(0.0), pcv, *b.rates);
        const LaneMarket<W> market{load<W>(cl), load<W>(bp), load<W>(sp), load<W>(sf), load<W>(dv)};
        D p[kTerms];
        store<W>(hv, lane_trade<W>(target, load<W>(hv), load_flags<W>(cb), load_flags<W>(cs), pcv, market, *b.rates,
                                   p));
        double prod[kTerms][W];
        for (std::size_t t = 0; t < kTerms; ++t) store<W>(prod[t], p[t]);
        for (int j = 0; j < W; ++j) {
            const std::size_t s = (std::size_t)stock[j0 + j];
            const std::int32_t g = port[j0 + j];
            double *acc = partial + g * kTerms;
            for (std::size_t t = 0; t < kTerms; ++t) acc[t] += prod[t][j];
            holding[s * k + (g - 1)] = hv[j];
            const std::uint64_t bit = std::uint64_t{1} << (g - 1);
            held[s] = hv[j] != 0.0 ? (held[s] | bit) : (held[s] & ~bit);
        }
    }
    for (; j0 < n; ++j0) exit_scalar(b, (std::size_t)stock[j0], port[j0]);
}
#endif

}  // namespace

}  // namespace tessary::portfolios::detail
