// Recording pass of the VWAP engine.
#include "records/kernels/record_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pnl_engine/kernels/vwap_cell.hpp"

namespace tessary::kernels {

using vwap_detail::exact_floor;
using vwap_detail::kTerms;
using vwap_detail::nan_to_num;
using vwap_detail::Rates;

std::size_t VwapRecords::bytes() const {
    return trades.bytes() + blocked.bytes() + positions.bytes() + pnl.bytes() +
           sizeof(double) * (bought.size() + sold.size() + commission.size() + levy.size() + held.size() +
                             profit.size());
}

namespace {

// Stocks are summed in blocks of this many columns, each block's sum folded into a
// compensated total: the grouping of the daily-return kernel, which the daily
// profit must reproduce to the last bit.
constexpr std::size_t kSumBlock = 64;

// ----------------------------------------------------------------- one cell

/// Neumaier's compensated addition, as the daily-return kernel folds its blocks.
inline void neumaier_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

/// Per-call constants: the rates of the return arithmetic and the two fee rates.
struct PassRates {
    Rates r;
    double fee, rule_fee;
};

/// Adds `x` to a daily total unless it is NaN (a trade at a missing price).
inline void add_present(double &total, double x) {
    if (!std::isnan(x)) total += x;
}

/// True when a cell needs no work: nothing held and nothing wanted. The target is
/// then 0, nothing trades and every product is a signed zero, which leaves a sum
/// that started at +0 unchanged.
inline bool idle(double holding, double weight) { return holding == 0.0 && !(weight > 0.0); }

/// The products of an idle cell that are not zero: 0 x an infinite dividend is NaN,
/// and then the day's sum must be NaN as well.
inline void idle_cell(double holding, double dividend, double *acc, std::size_t stride) {
    if (std::isinf(dividend)) {
        acc[2 * stride] += holding * dividend;
        acc[4 * stride] += 0.0 * dividend;
    }
}

/// One stock on one day that is held or wanted: the return kernel's step, with every
/// outcome recorded. Adds the five profit products to acc[0], acc[stride], ...
/// acc[4 * stride]. Kept out of line: the idle cells around it are the hot loop.
[[gnu::noinline]] void record_cell(const VwapInputs &in, const PassRates &p, std::size_t i, std::size_t s,
                                   double &holding, double *acc, std::size_t stride, VwapRecords &out) {
    const double w = in.signal(i, s);
    const Rates &r = p.r;
    const double pc = in.prev_close(i, s);
    double target = 0.0;
    if (w > 0.0 && std::isfinite(pc) && pc > 0.0) target = exact_floor(r.money * w / (pc * r.lot)) * r.lot;
    const double current = holding;
    const double diff = target - current;
    const bool buy_allowed = in.can_buy(i, s) != 0;
    const bool sell_barred = in.cant_sell(i, s) != 0;
    const double real_buy = (diff > 0.0 && buy_allowed) ? diff : 0.0;
    const double sell = (diff < 0.0 && !sell_barred) ? -diff : 0.0;
    const double hold = current - sell;
    holding = hold + real_buy;

    const double close = in.close(i, s);
    const double buy_price = in.buy_price(i, s);
    const double sell_price = in.sell_price(i, s);
    const double split_raw = in.split(i, s);
    const double div_raw = in.dividend(i, s);
    const double split = std::isnan(split_raw) ? 1.0 : split_raw;
    const double dividend = std::isnan(div_raw) ? 0.0 : div_raw;
    const double buy_coeff = nan_to_num(close - buy_price * r.buy_mult);
    const double hold_coeff = nan_to_num(split * close - pc);
    const double sell_coeff = nan_to_num(split * sell_price * r.sell_mult - pc);

    const std::array<double, kTerms> term{real_buy * buy_coeff, hold * hold_coeff, hold * dividend,
                                          sell * sell_coeff, sell * dividend};
    for (std::size_t t = 0; t < kTerms; ++t) acc[t * stride] += term[t];

    const auto d = (std::int32_t)i, c = (std::int32_t)s;
    if (diff > 0.0) {
        if (buy_allowed) {
            const double value = real_buy * buy_price;
            const double commission = value * p.fee;
            out.trades.add(d, c, kBuy, {real_buy, buy_price, value, commission, 0.0});
            add_present(out.bought[i], value);
            add_present(out.commission[i], commission);
        } else {
            out.blocked.add(d, c, kBuy, {diff});
        }
    } else if (diff < 0.0) {
        if (!sell_barred) {
            const double value = sell * split * sell_price;
            const double commission = value * p.fee, levy = value * p.rule_fee;
            out.trades.add(d, c, kSell, {sell, sell_price, value, commission, levy});
            add_present(out.sold[i], value);
            add_present(out.commission[i], commission);
            add_present(out.levy[i], levy);
        } else {
            out.blocked.add(d, c, kSell, {-diff});
        }
    }
    if (holding != 0.0) {
        out.positions.add(d, c, 0, {holding, (hold * split + real_buy) * close});
        out.held[i] += 1.0;
    }
    // A NaN product is a contribution too (it makes the day's sum NaN).
    if (!(term[0] == 0.0 && term[1] == 0.0 && term[2] == 0.0 && term[3] == 0.0 && term[4] == 0.0))
        out.pnl.add(d, c, 0, term);
}

constexpr std::size_t kInputs = 9;

/// True when most inputs are column-major (consecutive days adjacent in memory).
bool mostly_column_major(const VwapInputs &in) {
    const std::ptrdiff_t strides[kInputs] = {in.signal.row_stride,   in.prev_close.row_stride, in.close.row_stride,
                                             in.buy_price.row_stride, in.sell_price.row_stride, in.split.row_stride,
                                             in.dividend.row_stride,  in.can_buy.row_stride,    in.cant_sell.row_stride};
    std::size_t ones = 0;
    for (std::ptrdiff_t st : strides) ones += st == 1;
    return 2 * ones > kInputs;
}

/// Days of a column-major stock that may be skipped from day `i` on while the stock
/// is not held: whole groups of eight days with no positive weight and no infinite
/// dividend (written branch-free over the group so that it compiles to vector
/// compares). Returns the first day of the group where work begins, or `days`.
inline std::size_t skip_idle(const double *w, const double *dividend, std::size_t i, std::size_t days) {
    for (; i + 8 <= days; i += 8) {
        int busy = 0;
        for (std::size_t k = 0; k < 8; ++k) busy |= (w[i + k] > 0.0) | (std::fabs(dividend[i + k]) == HUGE_VAL);
        if (busy) break;
    }
    return i;
}

/// One stock down all the days, each input read as a sequential stream.
void walk_column(const VwapInputs &in, const PassRates &p, std::size_t s, double *partial, VwapRecords &out) {
    const std::size_t days = in.days;
    // The group skip needs contiguous weights and dividends; otherwise every day is
    // looked at on its own.
    const bool contiguous = in.signal.row_stride == 1 && in.dividend.row_stride == 1;
    const double *w = &in.signal(0, s), *dividend = &in.dividend(0, s);
    double holding = 0.0;  // the portfolio starts empty
    std::size_t i = 0;
    while (i < days) {
        if (holding == 0.0 && contiguous) {
            i = skip_idle(w, dividend, i, days);
            if (i == days) break;
        }
        if (idle(holding, in.signal(i, s)))
            idle_cell(holding, in.dividend(i, s), &partial[i], days);
        else
            record_cell(in, p, i, s, holding, &partial[i], days, out);
        ++i;
    }
}

/// Columns freed by the sort, kept for the next column of the same type: writing
/// into memory already mapped costs a fraction of faulting in fresh pages.
struct Spares {
    Column<std::int32_t> i32;
    Column<std::uint8_t> u8;
    Column<double> f64;
    std::vector<std::uint32_t> dest32;
    std::vector<std::size_t> dest64;

    Column<std::int32_t> &of(std::int32_t *) { return i32; }
    Column<std::uint8_t> &of(std::uint8_t *) { return u8; }
    Column<double> &of(double *) { return f64; }
    std::vector<std::uint32_t> &dest(std::uint32_t *) { return dest32; }
    std::vector<std::size_t> &dest(std::size_t *) { return dest64; }
};

/// `column`'s first n values moved into the order `dest` (record k goes to slot
/// dest[k]) through the spare column of its type, which then holds the old buffer.
template <class T, class Index>
void scatter(Column<T> &column, Spares &spares, const Index *dest, std::size_t n) {
    Column<T> &spare = spares.of((T *)nullptr);
    spare.reserve(n);
    const T *from = column.data();
    T *to = spare.data();
    for (std::size_t k = 0; k < n; ++k) to[dest[k]] = from[k];
    std::swap(column, spare);
}

template <std::size_t N, class Index>
void sort_by_day_as(RecordTable<N> &table, std::size_t days, Spares &spares) {
    const std::size_t n = table.size;
    const std::int32_t *day = table.day.data();
    std::vector<Index> next(days + 1, 0);
    for (std::size_t k = 0; k < n; ++k) ++next[(std::size_t)day[k] + 1];
    for (std::size_t d = 0; d < days; ++d) next[d + 1] += next[d];
    std::vector<Index> &dest = spares.dest((Index *)nullptr);
    dest.resize(n);
    for (std::size_t k = 0; k < n; ++k) dest[k] = next[(std::size_t)day[k]]++;
    // The sorted day column is each day repeated over its slots: written directly.
    // `next[d]` now ends day d's slots.
    Column<std::int32_t> &days_sorted = spares.i32;
    days_sorted.reserve(n);
    std::size_t from = 0;
    for (std::size_t d = 0; d < days; ++d) {
        std::fill(days_sorted.data() + from, days_sorted.data() + next[d], (std::int32_t)d);
        from = next[d];
    }
    std::swap(table.day, days_sorted);
    scatter(table.stock, spares, dest.data(), n);
    if (table.tagged) scatter(table.tag, spares, dest.data(), n);
    for (auto &v : table.value) scatter(v, spares, dest.data(), n);
    table.capacity = n;  // what every swapped-in column holds at least
}

/// Puts a table's records in date order, keeping the order of each date's records
/// (a counting sort). Column by column: the write positions of one column (one per
/// date) stay in the cache, where those of all columns at once would not.
template <std::size_t N>
void sort_by_day(RecordTable<N> &table, std::size_t days, Spares &spares) {
    const std::size_t n = table.size;
    if (n < 2 || std::is_sorted(table.day.data(), table.day.data() + n)) return;
    if (n <= UINT32_MAX)
        sort_by_day_as<N, std::uint32_t>(table, days, spares);  // half the index traffic
    else
        sort_by_day_as<N, std::size_t>(table, days, spares);
}

}  // namespace

void record_vwap_pass(const VwapInputs &in, VwapRecords &out) {
    const std::size_t days = in.days, stocks = in.stocks;
    for (auto *v : {&out.bought, &out.sold, &out.commission, &out.levy, &out.held, &out.profit}) v->assign(days, 0.0);
    if (days == 0) return;

    const PassRates p{{in.total_money, in.lot_size, 1.0 + in.fee, 1.0 - in.fee - in.rule_fee},  // as the kernel writes them
                      in.fee,
                      in.rule_fee};
    const bool column_major = days > 1 && mostly_column_major(in);
    // Per term and day: compensated totals over the blocks, laid out [term][day].
    std::vector<double> total(kTerms * days, 0.0), comp(kTerms * days, 0.0);

    if (column_major) {
        // Block by block, stock by stock: each block's per-day sums collect its
        // stocks in column order, as in the return kernel.
        std::vector<double> partial(kTerms * days);
        for (std::size_t s0 = 0; s0 < stocks; s0 += kSumBlock) {
            std::fill(partial.begin(), partial.end(), 0.0);
            const std::size_t end = std::min(stocks, s0 + kSumBlock);
            for (std::size_t s = s0; s < end; ++s) walk_column(in, p, s, partial.data(), out);
            for (std::size_t j = 0; j < kTerms * days; ++j) neumaier_add(total[j], comp[j], partial[j]);
        }
        // The records came stock by stock; within a date the stable sort keeps them
        // in column order.
        Spares spares;
        sort_by_day(out.trades, days, spares);
        sort_by_day(out.blocked, days, spares);
        sort_by_day(out.positions, days, spares);
        sort_by_day(out.pnl, days, spares);
    } else {
        // Date by date across the stocks: the records come in order.
        std::vector<double> holding(stocks, 0.0);  // the portfolio starts empty
        for (std::size_t i = 0; i < days; ++i) {
            for (std::size_t s0 = 0; s0 < stocks; s0 += kSumBlock) {
                double partial[kTerms] = {0.0, 0.0, 0.0, 0.0, 0.0};
                const std::size_t end = std::min(stocks, s0 + kSumBlock);
                for (std::size_t s = s0; s < end; ++s) {
                    if (idle(holding[s], in.signal(i, s)))
                        idle_cell(holding[s], in.dividend(i, s), partial, 1);
                    else
                        record_cell(in, p, i, s, holding[s], partial, 1, out);
                }
                for (std::size_t t = 0; t < kTerms; ++t) neumaier_add(total[t * days + i], comp[t * days + i], partial[t]);
            }
        }
    }
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[t * days + i], comp[t * days + i]);
        out.profit[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

}  // namespace tessary::kernels
