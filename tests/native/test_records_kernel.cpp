// Unit test of the recording pass on its own, without Python: on one random market
// laid out row-major and column-major across several blocks of stocks, the daily
// profit is the daily-return kernel's to the last bit, and both layouts give the
// same records, sorted by day then stock.
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/daystep/vwap.hpp"
#include "records/kernels/record_pass.hpp"

using namespace tessary::kernels;

struct Market {
    std::size_t days, stocks;
    std::vector<double> m[7];  // signal, prev close, close, buy, sell, split, dividend; row-major
    std::vector<std::uint8_t> b[2];  // can buy, cannot sell
};

static Market random_market(std::size_t days, std::size_t stocks, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Market mk{days, stocks, {}, {}};
    for (auto &v : mk.m) v.resize(days * stocks);
    for (auto &v : mk.b) v.resize(days * stocks);
    for (std::size_t j = 0; j < days * stocks; ++j) {
        const double pc = 2.0 + 50.0 * u(rng);
        mk.m[0][j] = u(rng) < 0.3 ? 0.002 + 0.02 * u(rng) : (u(rng) < 0.05 ? NAN : 0.0);
        mk.m[1][j] = u(rng) < 0.01 ? NAN : pc;
        mk.m[2][j] = u(rng) < 0.01 ? NAN : pc * (0.97 + 0.06 * u(rng));
        mk.m[3][j] = pc * (0.99 + 0.02 * u(rng));
        mk.m[4][j] = u(rng) < 0.01 ? NAN : pc * (0.99 + 0.02 * u(rng));
        mk.m[5][j] = u(rng) < 0.01 ? 2.0 : NAN;
        mk.m[6][j] = u(rng) < 0.02 ? 0.3 : NAN;
        mk.b[0][j] = u(rng) > 0.1;
        mk.b[1][j] = u(rng) < 0.1;
    }
    return mk;
}

/// A row-major matrix as the kernel sees it: as stored, or column-major through a copy
/// in `copy`.
template <class T>
static View2D<T> laid_out(const std::vector<T> &rows, std::size_t days, std::size_t stocks, bool column_major,
                          std::vector<T> &copy) {
    if (!column_major) return {rows.data(), (std::ptrdiff_t)stocks, 1};
    copy.resize(days * stocks);
    for (std::size_t i = 0; i < days; ++i)
        for (std::size_t s = 0; s < stocks; ++s) copy[s * days + i] = rows[i * stocks + s];
    return {copy.data(), 1, (std::ptrdiff_t)days};
}

/// Views of the market, row-major as stored or column-major through copies in `cm`.
static VwapInputs inputs_of(const Market &mk, bool column_major, std::vector<double> (&cm)[7],
                            std::vector<std::uint8_t> (&cb)[2]) {
    const std::size_t days = mk.days, stocks = mk.stocks;
    VwapInputs in;
    in.days = days;
    in.stocks = stocks;
    in.total_money = 1e7;
    in.fee = 0.0003;
    in.rule_fee = 0.001;
    FloatView *views[7] = {&in.signal, &in.prev_close, &in.close, &in.buy_price, &in.sell_price, &in.split,
                           &in.dividend};
    for (int k = 0; k < 7; ++k) *views[k] = laid_out(mk.m[k], days, stocks, column_major, cm[k]);
    in.can_buy = laid_out(mk.b[0], days, stocks, column_major, cb[0]);
    in.cant_sell = laid_out(mk.b[1], days, stocks, column_major, cb[1]);
    return in;
}

template <std::size_t N>
static bool same_table(const RecordTable<N> &a, const RecordTable<N> &b) {
    if (a.size != b.size) return false;
    for (std::size_t k = 0; k < a.size; ++k) {
        if (a.day.data()[k] != b.day.data()[k] || a.stock.data()[k] != b.stock.data()[k]) return false;
        if (a.tagged && a.tag.data()[k] != b.tag.data()[k]) return false;
        for (std::size_t c = 0; c < N; ++c) {
            const double x = a.value[c].data()[k], y = b.value[c].data()[k];
            if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
        }
    }
    return true;
}

template <std::size_t N>
static bool sorted_by_day_then_stock(const RecordTable<N> &t) {
    for (std::size_t k = 1; k < t.size; ++k) {
        const auto d0 = t.day.data()[k - 1], d1 = t.day.data()[k];
        if (d1 < d0 || (d1 == d0 && t.stock.data()[k] <= t.stock.data()[k - 1])) return false;
    }
    return true;
}

int main() {
    const Market mk = random_market(70, 200, 42);  // four blocks of stocks, the last partial
    std::vector<double> cm[7];
    std::vector<std::uint8_t> cb[2];
    VwapRecords rec[2];
    for (int layout = 0; layout < 2; ++layout) {
        const VwapInputs in = inputs_of(mk, layout == 1, cm, cb);
        std::vector<double> cash(in.days), scratch(vwap_scratch_size(in.days));
        vwap_daily_cash(in, cash.data(), scratch.data());
        record_vwap_pass(in, rec[layout]);
        check(same_bits(rec[layout].profit, cash), layout ? "column-major profit is the kernel's" : "row-major profit is the kernel's");
        check(sorted_by_day_then_stock(rec[layout].trades), "trades sorted");
        check(sorted_by_day_then_stock(rec[layout].positions), "positions sorted");
        check(sorted_by_day_then_stock(rec[layout].pnl), "pnl sorted");
        check(sorted_by_day_then_stock(rec[layout].blocked), "blocked sorted");
        check(rec[layout].positions.size > 1000 && rec[layout].blocked.size > 50, "the market trades");
    }
    check(same_table(rec[0].trades, rec[1].trades), "same trades in both layouts");
    check(same_table(rec[0].blocked, rec[1].blocked), "same refusals in both layouts");
    check(same_table(rec[0].positions, rec[1].positions), "same positions in both layouts");
    check(same_table(rec[0].pnl, rec[1].pnl), "same pnl rows in both layouts");
    check(same_bits(rec[0].bought, rec[1].bought) && same_bits(rec[0].held, rec[1].held), "same daily totals");

    // An infinite dividend on a stock nobody holds makes the day's profit NaN in the
    // return kernel; the recording pass must agree.
    Market inf = mk;
    bool placed = false;
    for (std::size_t s = 0; s < inf.stocks && !placed; ++s) {
        bool never_wanted = true;  // so never held up to day 6
        for (std::size_t i = 0; i <= 6; ++i) never_wanted &= !(inf.m[0][i * inf.stocks + s] > 0.0);
        if (never_wanted) {
            inf.m[6][6 * inf.stocks + s] = INFINITY;
            placed = true;
        }
    }
    check(placed, "an idle stock to test with");
    for (int layout = 0; layout < 2; ++layout) {
        const VwapInputs in = inputs_of(inf, layout == 1, cm, cb);
        std::vector<double> cash(in.days), scratch(vwap_scratch_size(in.days));
        vwap_daily_cash(in, cash.data(), scratch.data());
        VwapRecords r;
        record_vwap_pass(in, r);
        bool agree = true;
        for (std::size_t i = 0; i < in.days; ++i)
            agree &= (std::isnan(cash[i]) && std::isnan(r.profit[i])) || cash[i] == r.profit[i];
        check(agree && std::isnan(r.profit[6]), "an infinite dividend of an idle stock");
    }
    return finish();
}
