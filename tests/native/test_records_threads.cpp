// The recording pass split over two threads gives the records and totals of the
// one-thread walk, bit for bit, on markets of either layout whose stocks fill
// several blocks (the second thread's blocks folded after the first's), and both
// layouts give the same records also over several tiles of days; and record columns
// keep their contents as they grow from malloc memory into their own mappings, also
// into mappings kept from columns freed before. Where the processor has AVX-512,
// column-major inputs are walked eight days a vector (on one thread by groups of
// days, also over markets of a few days and stocks): checked against the walk
// cell by cell. A pass on two threads may finish on one: the same records.
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "common/daystep/vwap.hpp"
#include "records/kernels/record_helper.hpp"
#include "records/kernels/record_pass.hpp"

using namespace tessary::kernels;

/// A market: `m` holds signal, prev close, close, buy, sell, split and dividend, `b`
/// can buy and cannot sell, each stock's days adjacent unless `row_major`.
struct ColumnMarket {
    std::size_t days, stocks;
    std::vector<double> m[7];
    std::vector<std::uint8_t> b[2];

    /// The same market laid out row-major (each date's stocks adjacent).
    ColumnMarket transposed() const {
        ColumnMarket t = *this;
        for (int k = 0; k < 9; ++k)
            for (std::size_t s = 0; s < stocks; ++s)
                for (std::size_t i = 0; i < days; ++i) {
                    if (k < 7)
                        t.m[k][i * stocks + s] = m[k][s * days + i];
                    else
                        t.b[k - 7][i * stocks + s] = b[k - 7][s * days + i];
                }
        t.row_major = true;
        return t;
    }
    bool row_major = false;

    VwapInputs inputs() const {
        VwapInputs in;
        in.days = days;
        in.stocks = stocks;
        in.total_money = 1e7;
        FloatView *views[7] = {&in.signal, &in.prev_close, &in.close, &in.buy_price, &in.sell_price, &in.split,
                               &in.dividend};
        const std::ptrdiff_t row = row_major ? (std::ptrdiff_t)stocks : 1, col = row_major ? 1 : (std::ptrdiff_t)days;
        for (int k = 0; k < 7; ++k) *views[k] = {m[k].data(), row, col};
        in.can_buy = {b[0].data(), row, col};
        in.cant_sell = {b[1].data(), row, col};
        return in;
    }
};

/// Held stocks that persist for a while (a weight kept over runs of days), NaN and
/// infinite dividends, refused trades: every kind of record in every block.
static ColumnMarket market(std::size_t days, std::size_t stocks, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    ColumnMarket mk{days, stocks, {}, {}};
    for (auto &v : mk.m) v.assign(days * stocks, NAN);
    for (auto &v : mk.b) v.assign(days * stocks, 0);
    for (std::size_t s = 0; s < stocks; ++s) {
        bool wanted = u(rng) < 0.2;
        for (std::size_t i = 0; i < days; ++i) {
            const std::size_t j = s * days + i;
            if (u(rng) < 0.1) wanted = !wanted;
            const double pc = 3.0 + 40.0 * u(rng);
            mk.m[0][j] = wanted ? 0.01 + 0.01 * u(rng) : 0.0;
            mk.m[1][j] = pc;
            mk.m[2][j] = pc * (0.95 + 0.1 * u(rng));
            mk.m[3][j] = pc * (0.99 + 0.02 * u(rng));
            mk.m[4][j] = u(rng) < 0.01 ? NAN : pc * (0.99 + 0.02 * u(rng));
            if (u(rng) < 0.01) mk.m[5][j] = 2.0;
            if (u(rng) < 0.02) mk.m[6][j] = 0.3;
            mk.b[0][j] = u(rng) > 0.05;
            mk.b[1][j] = u(rng) < 0.05;
        }
    }
    mk.m[6][(stocks - 1) * days + days / 2] = INFINITY;  // in the last block: the second thread's
    return mk;
}

template <class T>
static bool same_bytes(const T *a, const T *b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(T)) == 0;
}

template <std::size_t N>
static bool same_table(const RecordTable<N> &a, const RecordTable<N> &b) {
    if (a.size != b.size) return false;
    bool same = same_bytes(a.day.data(), b.day.data(), a.size) && same_bytes(a.stock.data(), b.stock.data(), a.size);
    if (a.tagged) same &= same_bytes(a.tag.data(), b.tag.data(), a.size);
    for (std::size_t c = 0; c < N; ++c) same &= same_bytes(a.value[c].data(), b.value[c].data(), a.size);
    return same;
}

/// The same records and daily totals, bit for bit.
static bool same_records(const VwapRecords &a, const VwapRecords &b) {
    return same_table(a.trades, b.trades) && same_table(a.blocked, b.blocked) && same_table(a.positions, b.positions) &&
           same_table(a.pnl, b.pnl) && same_bits(a.bought, b.bought) && same_bits(a.sold, b.sold) &&
           same_bits(a.commission, b.commission) && same_bits(a.levy, b.levy) && same_bits(a.held, b.held) &&
           same_bits(a.profit, b.profit);
}

int main() {
    // 130 stocks: three blocks, the last partial, so the halves are one block and two.
    // 1,100 days: both walks on two threads go in tiles of days, the last partial;
    // both layouts must give the same records there too.
    const std::pair<std::size_t, std::size_t> shapes[] = {{90, 130}, {90, 64 * 7}, {1100, 130}};
    for (const auto &[days, stocks] : shapes) {
    VwapRecords column_walk;
    for (bool row_major : {false, true}) {
        const ColumnMarket column_major = market(days, stocks, 7 + (unsigned)stocks);
        const ColumnMarket mk = row_major ? column_major.transposed() : column_major;
        const VwapInputs in = mk.inputs();
        VwapRecords one, two;
        record_vwap_pass(in, one, 1);
        record_vwap_pass(in, two, 2);
        std::vector<double> cash(in.days), scratch(vwap_scratch_size(in.days));
        vwap_daily_cash(in, cash.data(), scratch.data());
        check(same_bits(one.profit, cash) && same_bits(two.profit, cash), "profit is the kernel's on one and two threads");
        check(same_table(one.trades, two.trades) && same_table(one.blocked, two.blocked), "same trades and refusals");
        check(same_table(one.positions, two.positions) && same_table(one.pnl, two.pnl), "same positions and pnl rows");
        check(same_bits(one.bought, two.bought) && same_bits(one.sold, two.sold) &&
                  same_bits(one.commission, two.commission) && same_bits(one.levy, two.levy) &&
                  same_bits(one.held, two.held),
              "same daily totals");
        check(one.positions.size > 1000 && one.blocked.size > 20, "the market trades");
        check(!std::isfinite(two.profit[in.days / 2]), "an infinite dividend in the second half");
        if (!row_major) {
            column_walk = std::move(one);
        } else {
            check(same_table(one.trades, column_walk.trades) && same_table(one.blocked, column_walk.blocked) &&
                      same_table(one.positions, column_walk.positions) && same_table(one.pnl, column_walk.pnl),
                  "the same records in both layouts");
            check(same_bits(one.bought, column_walk.bought) && same_bits(one.sold, column_walk.sold) &&
                      same_bits(one.commission, column_walk.commission) && same_bits(one.levy, column_walk.levy) &&
                      same_bits(one.held, column_walk.held) && same_bits(one.profit, column_walk.profit),
                  "the same daily totals in both layouts");
        }
    }
    }

    // Column-major inputs walked eight days a vector give the records of the walk
    // one cell at a time, on one thread and two, over tiles whose days do not fill
    // whole vectors; also where targets leave the range of exact clamps (weights of
    // 1e12 and inf, taken one cell at a time) and where idle and held stocks meet
    // infinite dividends.
    {
        ColumnMarket odd = market(517, 70, 5);
        const std::size_t d = odd.days;
        for (std::size_t i = 100; i < 140; ++i) odd.m[0][3 * d + i] = 1e12;  // far more shares than 2^53
        odd.m[0][4 * d + 200] = INFINITY;
        odd.m[0][5 * d + 300] = NAN;
        for (std::size_t s = 6; s < 12; ++s) odd.m[6][s * d + 250] = s % 2 ? INFINITY : -INFINITY;
        for (std::size_t s = 12; s < 16; ++s) {
            for (std::size_t i = 0; i < d; ++i) odd.m[0][s * d + i] = 0.0;  // never held: idle
            odd.m[6][s * d + 10 * s] = INFINITY;
        }
        const ColumnMarket cases[] = {market(1100, 130, 21), market(90, 64 * 3 + 5, 22), odd};
        for (const ColumnMarket &mk : cases) {
            const VwapInputs in = mk.inputs();
            std::vector<double> cash(in.days), scratch(vwap_scratch_size(in.days));
            vwap_daily_cash(in, cash.data(), scratch.data());
            for (int threads : {1, 2}) {
                VwapRecords cells, vectors;
                record_vwap_pass(in, cells, threads, false);
                record_vwap_pass(in, vectors, threads, true);
                check(cells.positions.size > 500 && same_records(cells, vectors),
                      "eight days a vector: the records of the walk cell by cell");
                check(same_bits(vectors.profit, cash), "eight days a vector: the kernel's profit");
            }
        }
    }

    // Markets shorter than a group of eight days, or just over one, and fewer stocks
    // than a block of eight: the walk by groups steps such days cell by cell.
    for (const auto &[days, stocks] : {std::pair<std::size_t, std::size_t>{2, 1}, {7, 9}, {9, 8}, {17, 3}}) {
        const ColumnMarket mk = market(days, stocks, 40 + (unsigned)days);
        VwapRecords cells, vectors;
        record_vwap_pass(mk.inputs(), cells, 1, false);
        record_vwap_pass(mk.inputs(), vectors, 1, true);
        check(same_records(cells, vectors), "a few days and stocks by groups: the records of the walk cell by cell");
    }

    // A pass on two threads that goes on on one part way (as when another process
    // holds a core): the records of one thread, in both layouts and both column walks.
    {
        const ColumnMarket column_major = market(1100, 130, 31);
        for (bool row_major : {false, true}) {
            const ColumnMarket mk = row_major ? column_major.transposed() : column_major;
            for (bool wide : {true, false}) {
                VwapRecords one, switched;
                record_vwap_pass(mk.inputs(), one, 1, wide);
                record_vwap_pass(mk.inputs(), switched, 2, wide, 300);
                check(one.positions.size > 1000 && same_records(one, switched),
                      "two threads, then one from day 300: the records of one thread");
            }
        }
    }

    // Long stretches of days on which one half of the stocks holds and wants nothing
    // (the first half early, the second late): its share of those days is empty
    // while the other's is not.
    {
        const std::size_t days = 1100, stocks = 130;
        ColumnMarket quiet = market(days, stocks, 11);
        for (std::size_t s = 0; s < stocks; ++s)
            for (std::size_t i = 0; i < days; ++i)
                if (s < 64 ? i < 500 : i >= 700) quiet.m[0][s * days + i] = 0.0;
        for (bool row_major : {false, true}) {
            const ColumnMarket mk = row_major ? quiet.transposed() : quiet;
            VwapRecords one, two;
            record_vwap_pass(mk.inputs(), one, 1);
            record_vwap_pass(mk.inputs(), two, 2);
            check(one.positions.size > 1000 && same_records(one, two), "halves idle by turns: the same records");
        }
    }

    // One stock alone: a single block, which the second thread cannot share.
    const ColumnMarket lone = market(50, 1, 3);
    VwapRecords a, b;
    record_vwap_pass(lone.inputs(), a, 1);
    record_vwap_pass(lone.inputs(), b, 2);
    check(same_table(a.positions, b.positions) && same_bits(a.profit, b.profit), "one stock on two threads");

    // Growth from malloc memory into a mapping and on by remapping keeps every value.
    const std::size_t n = 3'000'000;  // 24 MB per float column
    {
    RecordTable<2> grown;
    for (std::size_t k = 0; k < n; ++k) grown.add((std::int32_t)k, (std::int32_t)(k * 7), 0, {k * 0.5, -(double)k});
    bool kept = grown.size == n;
    for (std::size_t k = 0; k < n && kept; ++k)
        kept = grown.day.data()[k] == (std::int32_t)k && grown.stock.data()[k] == (std::int32_t)(k * 7) &&
               grown.value[0].data()[k] == k * 0.5 && grown.value[1].data()[k] == -(double)k;
    check(kept, "a growing table keeps its records");
    OwnedBlock block = grown.value[0].release();
    check(block.data != nullptr && grown.value[0].data() == nullptr, "a released column hands over its block");
    free_block(block);
    }
    // The mappings freed above are kept and handed to the next columns that grow
    // into mappings: each column must get one of its own, holding what it is given.
    RecordTable<2> again;
    for (std::size_t k = 0; k < n; ++k) again.add(-(std::int32_t)k, (std::int32_t)(k * 3), 0, {k * 0.25, k + 1.0});
    bool reused = again.size == n;
    for (std::size_t k = 0; k < n && reused; ++k)
        reused = again.day.data()[k] == -(std::int32_t)k && again.stock.data()[k] == (std::int32_t)(k * 3) &&
                 again.value[0].data()[k] == k * 0.25 && again.value[1].data()[k] == k + 1.0;
    check(reused, "columns grown into kept mappings keep their own records");

    // The pass's second thread: every step's two pieces of work run once each, the
    // second sees what the caller wrote before the step, and a piece that throws
    // reaches the caller (the first's exception before the second's) without
    // stopping the steps after it.
    for (bool wanted : {true, false}) {
        record_detail::Helper helper(wanted);
        std::vector<int> seen(2000, -1);
        long firsts = 0, wrong = 0;
        int value = 0;
        for (int step = 0; step < 2000; ++step) {
            value = step;
            helper.run_both([&] { ++firsts; }, [&] { seen[step] = value; });
            wrong += seen[step] != step;
        }
        check(firsts == 2000 && wrong == 0, "each step runs both pieces once, the second after the caller's writes");
        auto thrown = [&](bool first, bool second) -> std::string {
            try {
                helper.run_both([&] { if (first) throw std::runtime_error("first"); },
                                [&] { if (second) throw std::runtime_error("second"); });
            } catch (const std::runtime_error &e) {
                return e.what();
            }
            return "none";
        };
        check(thrown(false, true) == "second" && thrown(true, false) == "first" && thrown(true, true) == "first" &&
                  thrown(false, false) == "none",
              "exceptions of either piece reach the caller, the first's first");
        int after[2] = {0, 0};
        helper.run_both([&] { ++after[0]; }, [&] { ++after[1]; });
        check(after[0] == 1 && after[1] == 1 && helper.two() == wanted, "steps go on after an exception");
    }
    return finish();
}
