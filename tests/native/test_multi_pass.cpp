// Unit test of the multi-portfolio pass without Python: overlapping portfolios on
// sparse targets, each with its own capital and cost variants, equal to the engine's
// single portfolio of their dense weights to the bit, on row- and column-major
// markets with special values, at every vector width; and the input checks.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/daystep/vwap.hpp"
#include "portfolios/kernels/multi_pass.hpp"
#include "vwap_inputs_of.hpp"

using namespace tessary;
using vwap_test::inputs_of;

namespace {

constexpr std::size_t kDays = 41, kStocks = 150, kPortfolios = 6;

struct Case {
    std::vector<double> m[7];  // signal (unused by the pass), then the market
    std::vector<std::uint8_t> b[2];
    std::vector<double> w[kPortfolios];  // dense weights, row-major days x stocks
};

Case random_case(unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t n = kDays * kStocks;
    Case c;
    for (auto &v : c.m) v.resize(n);
    for (auto &v : c.b) v.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double pc = 5.0 + 40.0 * u(rng);
        c.m[0][j] = 0.0;
        c.m[1][j] = u(rng) < 0.02 ? NAN : (u(rng) < 0.01 ? 0.0 : pc);
        c.m[2][j] = u(rng) < 0.02 ? NAN : pc * (0.95 + 0.1 * u(rng));
        c.m[3][j] = u(rng) < 0.01 ? INFINITY : pc * (0.98 + 0.04 * u(rng));
        c.m[4][j] = u(rng) < 0.01 ? -INFINITY : pc * (0.98 + 0.04 * u(rng));
        c.m[5][j] = u(rng) < 0.02 ? 2.0 : NAN;
        c.m[6][j] = u(rng) < 0.03 ? 0.3 : NAN;
        c.b[0][j] = u(rng) > 0.08;
        c.b[1][j] = u(rng) < 0.08;
    }
    for (std::size_t p = 0; p < kPortfolios; ++p) {
        c.w[p].assign(n, 0.0);
        const double share = 0.05 + 0.15 * (double)p;  // the later portfolios overlap the earlier ones
        for (std::size_t j = 0; j < n; ++j)
            if (u(rng) < share) c.w[p][j] = u(rng) < 0.02 ? NAN : 0.04 * u(rng);
    }
    return c;
}

/// A row-major days x stocks matrix in row-major (`by_rows`) or column-major order.
template <class T>
std::vector<T> laid_out(const std::vector<T> &a, bool by_rows) {
    if (by_rows) return a;
    std::vector<T> t(a.size());
    for (std::size_t i = 0; i < kDays; ++i)
        for (std::size_t s = 0; s < kStocks; ++s) t[s * kDays + i] = a[i * kStocks + s];
    return t;
}

Case laid_out(const Case &c, bool by_rows) {
    Case t = c;
    for (int k = 0; k < 7; ++k) t.m[k] = laid_out(c.m[k], by_rows);
    for (int k = 0; k < 2; ++k) t.b[k] = laid_out(c.b[k], by_rows);
    return t;
}

void equals_the_engine(bool by_rows, int lanes, double money0) {
    const Case c = random_case(by_rows ? 7 : 8);
    const Case market = laid_out(c, by_rows);
    const std::ptrdiff_t rs = by_rows ? (std::ptrdiff_t)kStocks : 1, cs = by_rows ? 1 : (std::ptrdiff_t)kDays;
    const kernels::VwapInputs in = inputs_of(market.m, market.b, kDays, kStocks, rs, cs);
    std::vector<kernels::FloatView> works;
    for (const auto &w : c.w) works.push_back({w.data(), (std::ptrdiff_t)kStocks, 1});
    std::vector<std::int64_t> path_start(kPortfolios + 1), variant_start{0}, every_day(kDays);
    for (std::size_t p = 0; p <= kPortfolios; ++p) path_start[p] = (std::int64_t)p;
    for (std::size_t i = 0; i < kDays; ++i) every_day[i] = (std::int64_t)i;
    const double money[kPortfolios] = {money0, 3e5, 1e8, 2e6, 1e8, 5e5};
    std::vector<double> fees, rule_fees;
    for (std::size_t p = 0; p < kPortfolios; ++p) {
        for (std::size_t v = 0; v <= p % 3; ++v) {
            fees.push_back(1e-4 * (double)v);
            rule_fees.push_back(v == 1 ? 0.0 : 5e-4);
        }
        variant_start.push_back((std::int64_t)fees.size());
    }
    const portfolios::OwnedTargets targets = portfolios::dense_targets(works, kDays, kStocks, path_start.data());
    portfolios::MultiPassInputs pass;
    pass.market = in;
    pass.portfolios = kPortfolios;
    pass.money = money;
    pass.targets = targets.view();
    pass.row_of_day = every_day.data();
    pass.variant_start = variant_start.data();
    pass.fees = fees.data();
    pass.rule_fees = rule_fees.data();
    check(portfolios::check_inputs(pass).empty(), "dense targets pass the checks");
    std::vector<double> out(fees.size() * kDays);
    portfolios::multi_pass_daily_cash(pass, out.data(), lanes);

    std::vector<double> scratch(kernels::vwap_scratch_size(kDays)), one(kDays);
    for (std::size_t p = 0; p < kPortfolios; ++p) {
        // The engine reads the weights through the signal view in the market's layout.
        std::vector<double> signal = laid_out(c.w[p], by_rows);
        kernels::VwapInputs single = in;
        single.signal = {signal.data(), rs, cs};
        single.total_money = money[p];
        for (std::int64_t v = variant_start[p]; v < variant_start[p + 1]; ++v) {
            single.fee = fees[v];
            single.rule_fee = rule_fees[v];
            kernels::vwap_daily_cash(single, one.data(), scratch.data(), 1);
            const std::vector<double> got(out.begin() + v * kDays, out.begin() + (v + 1) * kDays);
            const std::string what = "variant " + std::to_string(v) + (by_rows ? " rows" : " columns") + " lanes " +
                                     std::to_string(lanes) + " equals the engine to the bit";
            check(same_bits(got, one), what.c_str());
        }
    }
}

void faults_are_named() {
    const std::int64_t start[] = {0, 2}, variant_start[] = {0, 1}, day[] = {0, 1};
    const std::int32_t stock[] = {3, 1}, port[] = {0, 0};
    const double weight[] = {0.1, 0.1}, money[] = {1e8}, fee[] = {0.0};
    portfolios::MultiPassInputs in;
    in.market.days = 2;
    in.market.stocks = 5;
    in.portfolios = 1;
    in.money = money;
    in.targets = {1, start, stock, port, weight};
    in.row_of_day = day;
    in.variant_start = variant_start;
    in.fees = in.rule_fees = fee;
    check(portfolios::check_inputs(in).find("ordered by stock") != std::string::npos, "targets out of order");
    const std::int32_t in_order[] = {1, 3};
    in.targets.stock = in_order;
    check(portfolios::check_inputs(in).find("past the end") != std::string::npos, "a day past the target rows");
}

}  // namespace

int main() {
    for (const bool by_rows : {true, false})
        for (const int lanes : {1, 4, 8})
            if (lanes == 1 || kernels::vwap_lanes_supported(lanes)) equals_the_engine(by_rows, lanes, 1e8);
    equals_the_engine(true, 0, -1e6);  // a negative capital takes the scalar step
    faults_are_named();
    return finish();
}
