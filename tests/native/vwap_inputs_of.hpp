// The VWAP kernel's inputs over plain vectors, for the native kernel tests.
#pragma once

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

}  // namespace vwap_test
