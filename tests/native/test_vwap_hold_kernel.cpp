// Unit test of the VWAP kernel's hold rule on its own, without Python: a worked
// three-stock example (a blocked buy retried, a split during the hold, a rebalance),
// and the resize rule's results to the bit when every day is given and nothing splits.
#include <cmath>
#include <cstdio>
#include <vector>

#include "check.hpp"
#include "vwap_inputs_of.hpp"
#include "common/daystep/vwap.hpp"

using namespace tessary::kernels;
using vwap_test::inputs_of;

// Capital 1,000,000, lots of 100, no fees. Stocks A, B, C (columns), return days
// d1..d4 (rows); the weights of d0 (0.3 each) are given and traded on d1, those of
// d3 (A 0.3, B 0, C 0.3) on d4; d1 and d2 carry d0's.
//   A: target 300,000 / (10 x 100) = 300 lots: buy 30,000 on d1 at 10.5 (close 11):
//      15,000; d2 carried 30,000 x (12 - 11) = 30,000 (the resize rule would sell
//      2,800 here: a target re-sized at 11); d3 0; d4 new target 250 lots at 12:
//      sell 5,000 at 12.5: 2,500, carry 25,000 x (13 - 12) = 25,000.
//   B: target 150 lots = 15,000 shares; d1 cannot buy (0); d2 tried again, bought at
//      20.5 (close 21): 7,500; d3 carried 15,000 x 1 = 15,000; d4 weight 0: sold at
//      22.5 against 22: 7,500.
//   C: target 60 lots = 6,000 shares bought at 50 (close 52): 12,000; d2 split 2 with
//      a dividend of 1.0 a share: holding and target both 12,000, nothing traded,
//      carried 12,000 x (27 - 52 / 2) = 12,000 and dividend 12,000 x 1.0 / 2 = 6,000;
//      d3 0; d4 new target floor(300,000 / 2,700) = 111 lots = 11,100: sell 900 at 28
//      against 27: 900, carry 11,100 x (29 - 27) = 22,200.
// Days: 27,000; 55,500; 15,000; 58,100.
static void worked_example() {
    const double N = NAN;
    // Row-major, 4 days x 3 stocks.
    std::vector<double> m[7] = {
        {0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.0, 0.3},  // signal
        {10, 20, 50, 11, 20, 52, 12, 21, 27, 12, 22, 27},              // previous close
        {11, 20, 52, 12, 21, 27, 12, 22, 27, 13, 23, 29},              // close
        {10.5, 20, 50, 11, 20.5, 27, 12, 22, 27, 12, 22, 27},          // buy price
        {10, 20, 50, 11, 20, 27, 12, 22, 27, 12.5, 22.5, 28},          // sell price
        {N, N, N, N, N, 2.0, N, N, N, N, N, N},                        // split
        {N, N, N, N, N, 1.0, N, N, N, N, N, N},                        // dividend
    };
    std::vector<std::uint8_t> b[2] = {{1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, std::vector<std::uint8_t>(12, 0)};
    VwapInputs in = inputs_of(m, b, 4, 3, 3, 1);
    in.total_money = 1e6;
    in.lot_size = 100;
    in.fee = 0.0;
    in.rule_fee = 0.0;
    const std::uint8_t given[4] = {1, 0, 0, 1};
    std::vector<double> out(4), scratch(vwap_scratch_size(4));
    vwap_daily_cash_hold(in, given, out.data(), scratch.data());
    check(out == std::vector<double>({27000.0, 55500.0, 15000.0, 58100.0}), "worked example, hold rule");
    // The resize rule trades A on d2 and C after the split: other days.
    std::vector<double> resized(4);
    vwap_daily_cash(in, resized.data(), scratch.data());
    check(resized[1] != out[1], "the resize rule re-sizes on d2");
}

// With every day given and no split the hold rule is the resize rule, to the bit, in
// both layouts, over several blocks of stocks and with special values.
static void every_day_given_is_resize() {
    const std::size_t days = 37, stocks = 150;
    const std::size_t n = days * stocks;
    std::vector<double> m[7];
    std::vector<std::uint8_t> b[2];
    unsigned seed = 4242;
    auto rnd = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) / double(1u << 24); };
    for (auto &v : m) v.resize(n);
    for (auto &v : b) v.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = rnd();
        m[0][i] = u < 0.4 ? rnd() * 0.05 : u < 0.42 ? NAN : u < 0.43 ? -0.01 : 0.0;
        for (int k = 1; k < 5; ++k) {
            const double v = rnd();
            m[k][i] = v < 0.01 ? NAN : v < 0.015 ? INFINITY : v < 0.02 ? 0.0 : 5.0 + 20.0 * rnd();
        }
        m[5][i] = NAN;
        m[6][i] = rnd() < 0.03 ? 0.3 : NAN;
        b[0][i] = rnd() > 0.15;
        b[1][i] = rnd() < 0.15;
    }
    const std::vector<std::uint8_t> all(days, 1);
    for (bool rows : {false, true}) {
        // Column-major values read as their transpose's row-major layout are another
        // market; both are fine here, as each is compared with itself.
        VwapInputs in = rows ? inputs_of(m, b, days, stocks, (std::ptrdiff_t)stocks, 1)
                             : inputs_of(m, b, days, stocks, 1, (std::ptrdiff_t)days);
        in.total_money = 1e7;
        std::vector<double> resize(days), hold(days), scratch(vwap_scratch_size(days));
        vwap_daily_cash(in, resize.data(), scratch.data());
        vwap_daily_cash_hold(in, all.data(), hold.data(), scratch.data());
        check(same_bits(hold, resize), rows ? "every day given = resize (rows)" : "every day given = resize (columns)");
        bool trades = false;
        for (double x : hold) trades = trades || x != 0.0;
        check(trades, "the random market trades");
        // Given once: the first day's targets held to the end differ.
        std::vector<std::uint8_t> once(days, 0);
        once[0] = 1;
        vwap_daily_cash_hold(in, once.data(), hold.data(), scratch.data());
        check(!same_bits(hold, resize), "targets held from the first day differ from resize");
    }
}

int main() {
    worked_example();
    every_day_given_is_resize();
    return finish();
}
