// The VWAP kernel's inputs over plain vectors, and random values for them, for the
// native kernel tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/daystep/vwap.hpp"

/// The kernel's inputs over seven float matrices (signal, previous close, close, buy
/// price, sell price, split, dividend) and two flag matrices (can buy, cannot sell),
/// all with the element strides `rs` between days and `cs` between stocks.
namespace vwap_test {

using tessary::kernels::FloatView;
using tessary::kernels::VwapInputs;

[[maybe_unused]] static VwapInputs inputs_of(const std::vector<double> (&m)[7], const std::vector<std::uint8_t> (&b)[2],
                                             std::size_t days, std::size_t stocks, std::ptrdiff_t rs,
                                             std::ptrdiff_t cs) {
    VwapInputs in;
    in.days = days;
    in.stocks = stocks;
    FloatView *views[7] = {&in.signal, &in.prev_close, &in.close, &in.buy_price, &in.sell_price, &in.split,
                           &in.dividend};
    for (int k = 0; k < 7; ++k) *views[k] = {m[k].data(), rs, cs};
    in.can_buy = {b[0].data(), rs, cs};
    in.cant_sell = {b[1].data(), rs, cs};
    return in;
}

/// Random values for the nine inputs over `cells` cells, from `seed`: weights with NaN,
/// negative, infinite and astronomically large ones among plain ones; prices with NaN,
/// infinite, zero and negative ones; a few splits and dividends; feasibility flags.
/// Without `special`, weights of magnitude 1 or more become 0.02 and infinite prices
/// 7.5; with `byte_flags`, a true cannot-sell flag is any nonzero byte (1 or 7).
[[maybe_unused]] static void harsh_cells(std::size_t cells, unsigned seed, bool special, bool byte_flags,
                                         std::vector<double> (&m)[7], std::vector<std::uint8_t> (&b)[2]) {
    auto rnd = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) / double(1u << 24); };
    for (auto &v : m) v.resize(cells);
    for (auto &v : b) v.resize(cells);
    for (std::size_t i = 0; i < cells; ++i) {
        const double u = rnd();
        m[0][i] = u < 0.3 ? rnd() * 0.05 : u < 0.32 ? NAN : u < 0.33 ? -0.01 : u < 0.335 ? INFINITY
                : u < 0.34 ? 1e300 : 0.0;
        if (!special && !(std::fabs(m[0][i]) < 1.0)) m[0][i] = 0.02;
        for (int k = 1; k < 5; ++k) {
            const double v = rnd();
            m[k][i] = v < 0.01 ? NAN : v < 0.015 ? INFINITY : v < 0.02 ? -INFINITY : v < 0.025 ? 0.0
                    : v < 0.03 ? -3.0 : 5.0 + 20.0 * rnd();
            if (!special && std::isinf(m[k][i])) m[k][i] = 7.5;
        }
        m[5][i] = rnd() < 0.03 ? 2.0 : NAN;
        m[6][i] = rnd() < 0.03 ? 0.3 : NAN;
        b[0][i] = rnd() > 0.15;
        b[1][i] = byte_flags ? (rnd() < 0.15 ? (rnd() < 0.5 ? 1 : 7) : 0) : rnd() < 0.15;
    }
}

}  // namespace vwap_test
