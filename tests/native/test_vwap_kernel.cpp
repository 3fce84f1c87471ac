// Unit test of the VWAP kernel on its own, without Python: a worked example, and
// the same market laid out row-major and column-major across several stock blocks.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "check.hpp"
#include "vwap_inputs_of.hpp"
#include "common/daystep/vwap.hpp"

using namespace tessary::kernels;
using vwap_test::harsh_cells;
using vwap_test::inputs_of;


static FloatView row_major(const std::vector<double> &v, std::size_t stocks) {
    return {v.data(), (std::ptrdiff_t)stocks, 1};
}

static void worked_example() {
    // One stock, two return days: buy 100,000 shares at 10.1 (close 10.5), then sell at 10.4.
    std::vector<double> signal{1.0, 0.0}, prev{10.0, 10.5}, close{10.5, 10.3}, buy{10.1, 10.0}, sell{10.0, 10.4};
    std::vector<double> nan2{NAN, NAN};
    std::vector<std::uint8_t> yes{1, 1}, no{0, 0};
    VwapInputs in;
    in.days = 2;
    in.stocks = 1;
    in.signal = row_major(signal, 1);
    in.prev_close = row_major(prev, 1);
    in.close = row_major(close, 1);
    in.buy_price = row_major(buy, 1);
    in.sell_price = row_major(sell, 1);
    in.split = row_major(nan2, 1);
    in.dividend = row_major(nan2, 1);
    in.can_buy = {yes.data(), 1, 1};
    in.cant_sell = {no.data(), 1, 1};
    in.total_money = 1e6;
    in.lot_size = 100;
    std::vector<double> out(2), scratch(vwap_scratch_size(2));
    vwap_daily_cash(in, out.data(), scratch.data());
    check(std::fabs(out[0] / 1e6 - 100000 * (10.5 - 10.1 * 1.0001) / 1e6) < 1e-15, "buy day");
    check(std::fabs(out[1] / 1e6 - 100000 * (10.4 * 0.9994 - 10.5) / 1e6) < 1e-15, "sell day");
}

static void layouts_agree() {
    const std::size_t days = 40, stocks = 150;  // more than two blocks of stocks
    std::vector<double> m[7];
    std::vector<std::uint8_t> b[2];
    unsigned seed = 12345;
    auto rnd = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) / double(1u << 24); };
    for (auto &v : m) v.resize(days * stocks);
    for (auto &v : b) v.resize(days * stocks);
    for (std::size_t i = 0; i < days * stocks; ++i) {
        m[0][i] = rnd() < 0.3 ? rnd() * 0.02 : 0.0;  // signal
        for (int k = 1; k < 5; ++k) m[k][i] = 5.0 + 20.0 * rnd();
        m[5][i] = rnd() < 0.02 ? 2.0 : NAN;  // split
        m[6][i] = rnd() < 0.02 ? 0.3 : NAN;  // dividend
        b[0][i] = rnd() > 0.1;
        b[1][i] = rnd() < 0.1;
    }
    // Column-major copies of the same values.
    std::vector<double> fm[7];
    std::vector<std::uint8_t> fb[2];
    for (int k = 0; k < 7; ++k) {
        fm[k].resize(days * stocks);
        for (std::size_t i = 0; i < days; ++i)
            for (std::size_t s = 0; s < stocks; ++s) fm[k][s * days + i] = m[k][i * stocks + s];
    }
    for (int k = 0; k < 2; ++k) {
        fb[k].resize(days * stocks);
        for (std::size_t i = 0; i < days; ++i)
            for (std::size_t s = 0; s < stocks; ++s) fb[k][s * days + i] = b[k][i * stocks + s];
    }
    auto run = [&](bool cmajor) {
        VwapInputs in = cmajor ? inputs_of(fm, fb, days, stocks, 1, (std::ptrdiff_t)days)
                               : inputs_of(m, b, days, stocks, (std::ptrdiff_t)stocks, 1);
        in.total_money = 1e7;
        std::vector<double> out(days), scratch(vwap_scratch_size(days));
        vwap_daily_cash(in, out.data(), scratch.data());
        return out;
    };
    std::vector<double> a = run(false), c = run(true);
    bool same = true, nonzero = false;
    for (std::size_t i = 0; i < days; ++i) {
        same = same && std::fabs(a[i] - c[i]) <= 1e-12 * std::fabs(c[i]);
        nonzero = nonzero || a[i] != 0.0;
    }
    check(same, "row-major and column-major layouts agree to 1e-12");
    check(nonzero, "the random market trades");
}

/// The row-major copy of a column-major days x stocks matrix.
template <class T>
static std::vector<T> transposed(const std::vector<T> &column_major, std::size_t days, std::size_t stocks) {
    std::vector<T> out(days * stocks);
    for (std::size_t s = 0; s < stocks; ++s)
        for (std::size_t i = 0; i < days; ++i) out[i * stocks + s] = column_major[s * days + i];
    return out;
}

// The vector passes must give the scalar step's results bit for bit, in both
// layouts: also where the column pass falls back to the scalar step (infinite
// weights, positions beyond 2^53 shares, NaN and infinite prices), on day and stock
// counts that are no multiple of the vector width, and over several spans of the
// row pass.
static void vector_widths_identical() {
    const std::pair<std::size_t, std::size_t> shapes[] = {{1, 70}, {7, 70}, {37, 70}, {64, 70}, {9, 1100}};
    for (const auto &shape : shapes) {
        // Plain variables, not a structured binding: the lambda below captures them,
        // which clang before 16 does not allow for bindings.
        const std::size_t days = shape.first, stocks = shape.second;
        const std::size_t n = days * stocks;
        std::vector<double> m[7];
        std::vector<std::uint8_t> b[2];
        harsh_cells(n, 777 + (unsigned)days, true, false, m, b);
        // Row-major copies of the same values.
        std::vector<double> rm[7];
        std::vector<std::uint8_t> rb[2];
        for (int k = 0; k < 7; ++k) rm[k] = transposed(m[k], days, stocks);
        for (int k = 0; k < 2; ++k) rb[k] = transposed(b[k], days, stocks);
        auto run = [&](int lanes, double money, double lot, bool rows) {
            const std::ptrdiff_t rs = rows ? (std::ptrdiff_t)stocks : 1, cs = rows ? 1 : (std::ptrdiff_t)days;
            VwapInputs in = rows ? inputs_of(rm, rb, days, stocks, rs, cs) : inputs_of(m, b, days, stocks, rs, cs);
            in.total_money = money;
            in.lot_size = lot;
            std::vector<double> out(days), scratch(vwap_scratch_size(days));
            vwap_daily_cash(in, out.data(), scratch.data(), lanes);
            return out;
        };
        for (double money : {1e7, 1e20, -1e7})
            for (double lot : {100.0, 1.0, 0.0}) {
                const std::vector<double> scalar = run(1, money, lot, false);
                char what[140];
                std::snprintf(what, sizeof what, "scalar step, rows = columns, %zu x %zu, money %g, lot %g", days,
                              stocks, money, lot);
                check(same_bits(run(1, money, lot, true), scalar), what);
                for (int lanes : {4, 8}) {
                    if (!vwap_lanes_supported(lanes)) continue;
                    for (bool rows : {false, true}) {
                        std::snprintf(what, sizeof what, "%d lanes (%s) = scalar step, %zu x %zu, money %g, lot %g",
                                      lanes, rows ? "rows" : "columns", days, stocks, money, lot);
                        check(same_bits(run(lanes, money, lot, rows), scalar), what);
                    }
                }
            }
    }
}

int main() {
    worked_example();
    layouts_agree();
    vector_widths_identical();
    return finish();
}
