// Recording pass of the VWAP engine.
#include "records/kernels/record_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
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

// Markets of at least this many cells are walked on two threads when the processor
// has two cores: below it a thread costs more than it saves.
constexpr std::size_t kThreadsFrom = std::size_t{1} << 20;

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
/// outcome recorded in `out`'s tables. Adds the five profit products to acc[0], acc[stride], ...
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
        } else {
            out.blocked.add(d, c, kBuy, {diff});
        }
    } else if (diff < 0.0) {
        if (!sell_barred) {
            const double value = sell * split * sell_price;
            const double commission = value * p.fee, levy = value * p.rule_fee;
            out.trades.add(d, c, kSell, {sell, sell_price, value, commission, levy});
        } else {
            out.blocked.add(d, c, kSell, {-diff});
        }
    }
    if (holding != 0.0) out.positions.add(d, c, 0, {holding, (hold * split + real_buy) * close});
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
    Column<std::uint32_t> dest32;
    Column<std::size_t> dest64;

    Column<std::int32_t> &of(std::int32_t *) { return i32; }
    Column<std::uint8_t> &of(std::uint8_t *) { return u8; }
    Column<double> &of(double *) { return f64; }
    Column<std::uint32_t> &dest(std::uint32_t *) { return dest32; }
    Column<std::size_t> &dest(std::size_t *) { return dest64; }
};

/// The first `na` values of `a` and `nb` of `b` moved into the order `dest` (value
/// k of the concatenation goes to slot dest[k]), into `a` through the spare column
/// of its type, which then holds `a`'s old buffer; `b`'s is freed at once.
template <class T, class Index>
void scatter(Column<T> &a, Column<T> &b, Spares &spares, const Index *dest, std::size_t na, std::size_t nb) {
    Column<T> &spare = spares.of((T *)nullptr);
    spare.reserve(na + nb);
    T *to = spare.data();
    const T *from = a.data();
    for (std::size_t k = 0; k < na; ++k) to[dest[k]] = from[k];
    from = b.data();
    dest += na;
    for (std::size_t k = 0; k < nb; ++k) to[dest[k]] = from[k];
    b = Column<T>();
    std::swap(a, spare);
}

/// The records of `a` followed by those of `b` in date order, into `a`; `b` is
/// emptied. Within a date the order is kept (a counting sort): all of `a`'s records,
/// then `b`'s, each in the order they were made.
template <std::size_t N, class Index>
void merge_by_day_as(RecordTable<N> &a, RecordTable<N> &b, std::size_t days, Spares &spares) {
    const std::size_t na = a.size, n = a.size + b.size;
    const std::int32_t *day_a = a.day.data(), *day_b = b.day.data();
    std::vector<Index> next(days + 1, 0);
    for (std::size_t k = 0; k < na; ++k) ++next[(std::size_t)day_a[k] + 1];
    for (std::size_t k = 0; k < b.size; ++k) ++next[(std::size_t)day_b[k] + 1];
    for (std::size_t d = 0; d < days; ++d) next[d + 1] += next[d];
    Column<Index> &dest_column = spares.dest((Index *)nullptr);
    dest_column.reserve(n);
    Index *dest = dest_column.data();
    for (std::size_t k = 0; k < na; ++k) dest[k] = next[(std::size_t)day_a[k]]++;
    for (std::size_t k = 0; k < b.size; ++k) dest[na + k] = next[(std::size_t)day_b[k]]++;
    // The sorted day column is each day repeated over its slots: written directly.
    // `next[d]` now ends day d's slots.
    Column<std::int32_t> &days_sorted = spares.i32;
    days_sorted.reserve(n);
    std::size_t from = 0;
    for (std::size_t d = 0; d < days; ++d) {
        std::fill(days_sorted.data() + from, days_sorted.data() + next[d], (std::int32_t)d);
        from = next[d];
    }
    std::swap(a.day, days_sorted);
    scatter(a.stock, b.stock, spares, dest, na, b.size);
    if (a.tagged) scatter(a.tag, b.tag, spares, dest, na, b.size);
    for (std::size_t c = 0; c < N; ++c) scatter(a.value[c], b.value[c], spares, dest, na, b.size);
    a.size = a.capacity = n;  // what every swapped-in column holds at least
    b = RecordTable<N>();
}

/// Puts the records of `a` and then `b` in date order, into `a`, keeping the order
/// within each date. Column by column: the write positions of one column (one per
/// date) stay in the cache, where those of all columns at once would not.
template <std::size_t N>
void merge_by_day(RecordTable<N> &a, RecordTable<N> &b, std::size_t days, Spares &spares) {
    const std::size_t n = a.size + b.size;
    if (b.size == 0 && (n < 2 || std::is_sorted(a.day.data(), a.day.data() + n))) return;
    if (n <= UINT32_MAX)
        merge_by_day_as<N, std::uint32_t>(a, b, days, spares);  // half the index traffic
    else
        merge_by_day_as<N, std::size_t>(a, b, days, spares);
}

/// Runs `first` here and `second` on a new thread, when one can be started (else
/// here, after `first`); rethrows what either threw once both are done.
template <class F, class G>
void run_both(F &&first, G &&second) {
    std::exception_ptr failed_second;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                second();
            } catch (...) {
                failed_second = std::current_exception();
            }
        });
    } catch (const std::system_error &) {
        // No thread to be had: the work is done in turn.
    }
    std::exception_ptr failed_first;
    try {
        first();
    } catch (...) {
        failed_first = std::current_exception();
    }
    if (helper.joinable())
        helper.join();
    else
        try {
            second();
        } catch (...) {
            failed_second = std::current_exception();
        }
    if (failed_first) std::rethrow_exception(failed_first);
    if (failed_second) std::rethrow_exception(failed_second);
}

/// Walks the stocks [begin, end) down all the days, recording into `out`'s tables;
/// `begin` starts a block. Each block's per-day sums (laid out [term][day]) go to
/// `fold` in block order.
template <class Fold>
void walk_stocks(const VwapInputs &in, const PassRates &p, std::size_t begin, std::size_t end, VwapRecords &out,
                 Fold &&fold) {
    std::vector<double> partial(kTerms * in.days);
    for (std::size_t s0 = begin; s0 < end; s0 += kSumBlock) {
        std::fill(partial.begin(), partial.end(), 0.0);
        const std::size_t block_end = std::min(end, s0 + kSumBlock);
        for (std::size_t s = s0; s < block_end; ++s) walk_column(in, p, s, partial.data(), out);
        fold(partial.data());
    }
}

/// Where each date's records start in a date-ordered day column of n records, and
/// where the last date's end: days + 1 offsets.
std::vector<std::size_t> date_starts(const std::int32_t *day, std::size_t n, std::size_t days) {
    std::vector<std::size_t> start(days + 1, 0);
    for (std::size_t k = 0; k < n; ++k) ++start[(std::size_t)day[k] + 1];
    for (std::size_t d = 0; d < days; ++d) start[d + 1] += start[d];
    return start;
}

/// Each date's run of `a` then its run of `b` (both in date order, runs given by
/// their starts), into `a` through the spare column of its type; `b`'s buffer is
/// freed.
template <class T>
void interleave(Column<T> &a, Column<T> &b, Spares &spares, const std::vector<std::size_t> &start_a,
                const std::vector<std::size_t> &start_b) {
    const std::size_t days = start_a.size() - 1;
    Column<T> &spare = spares.of((T *)nullptr);
    spare.reserve(start_a[days] + start_b[days]);
    T *to = spare.data();
    for (std::size_t d = 0; d < days; ++d) {
        const std::size_t na = start_a[d + 1] - start_a[d], nb = start_b[d + 1] - start_b[d];
        if (na != 0) std::copy(a.data() + start_a[d], a.data() + start_a[d + 1], to);
        to += na;
        if (nb != 0) std::copy(b.data() + start_b[d], b.data() + start_b[d + 1], to);
        to += nb;
    }
    b = Column<T>();
    std::swap(a, spare);
}

/// `a` and `b` each in date order: the records of `a` and then those of `b` within
/// each date, into `a`; `b` is emptied. Runs are copied whole.
template <std::size_t N>
void merge_date_ordered(RecordTable<N> &a, RecordTable<N> &b, std::size_t days, Spares &spares) {
    if (b.size == 0) return;
    const std::vector<std::size_t> start_a = date_starts(a.day.data(), a.size, days);
    const std::vector<std::size_t> start_b = date_starts(b.day.data(), b.size, days);
    interleave(a.day, b.day, spares, start_a, start_b);
    interleave(a.stock, b.stock, spares, start_a, start_b);
    if (a.tagged) interleave(a.tag, b.tag, spares, start_a, start_b);
    for (std::size_t c = 0; c < N; ++c) interleave(a.value[c], b.value[c], spares, start_a, start_b);
    a.size = a.capacity = start_a[days] + start_b[days];  // what every swapped-in column holds at least
    b = RecordTable<N>();
}

/// Puts the tables of `out` and then those of `second` in date order, into `out`:
/// trades and positions on one thread (when `threads` is 2), pnl rows and refusals on
/// the other. `date_ordered`: both sets of tables already are in date order, and
/// only their runs are interleaved; otherwise they are sorted.
void merge_tables(VwapRecords &out, VwapRecords &second, std::size_t days, int threads, bool date_ordered) {
    auto merge = [&](auto &a, auto &b, Spares &spares) {
        if (date_ordered)
            merge_date_ordered(a, b, days, spares);
        else
            merge_by_day(a, b, days, spares);
    };
    auto one = [&] {
        Spares spares;
        merge(out.trades, second.trades, spares);
        merge(out.positions, second.positions, spares);
    };
    auto other = [&] {
        Spares spares;
        merge(out.pnl, second.pnl, spares);
        merge(out.blocked, second.blocked, spares);
    };
    if (threads == 2) {
        run_both(one, other);
    } else {
        one();
        other();
    }
}

/// Column-major inputs: block by block, stock by stock, each stock down all the days
/// (each block's per-day sums collect its stocks in column order, as in the return
/// kernel); then the records, which came stock by stock, put in date order. With
/// two threads each walks half of the blocks into its own tables; the second half's
/// block sums are kept and folded after the first half's, in block order, so the
/// totals are those of one walk to the last bit.
void record_columns(const VwapInputs &in, const PassRates &p, double *total, double *comp, VwapRecords &out,
                    int threads) {
    const std::size_t days = in.days, stocks = in.stocks, terms_days = kTerms * days;
    auto fold = [&](const double *partial) {
        for (std::size_t j = 0; j < terms_days; ++j) neumaier_add(total[j], comp[j], partial[j]);
    };
    const std::size_t blocks = (stocks + kSumBlock - 1) / kSumBlock;
    VwapRecords second;
    if (threads == 2 && blocks >= 2) {
        const std::size_t mid = blocks / 2 * kSumBlock;
        // Five floats per day and block of the second half: 5/128 of one days x
        // stocks float matrix (4 MB for 2,520 x 5,000), the price of splitting.
        std::vector<double> kept((blocks - blocks / 2) * terms_days);
        std::size_t next_kept = 0;
        run_both([&] { walk_stocks(in, p, 0, mid, out, fold); },
                 [&] {
                     walk_stocks(in, p, mid, stocks, second, [&](const double *partial) {
                         std::copy(partial, partial + terms_days, kept.begin() + (next_kept++) * terms_days);
                     });
                 });
        for (std::size_t b = 0; b < next_kept; ++b) fold(kept.data() + b * terms_days);
    } else {
        walk_stocks(in, p, 0, stocks, out, fold);
    }
    merge_tables(out, second, days, threads, false);
}

/// Walks the stocks [begin, end) date by date, recording into `out`'s tables in
/// date order; `begin` starts a block. Each block's sums of a date go to
/// `fold(date, block within the range, sums)` in block order.
template <class Fold>
void walk_rows(const VwapInputs &in, const PassRates &p, std::size_t begin, std::size_t end, VwapRecords &out,
               Fold &&fold) {
    std::vector<double> holding(end - begin, 0.0);  // the portfolio starts empty
    for (std::size_t i = 0; i < in.days; ++i) {
        for (std::size_t s0 = begin; s0 < end; s0 += kSumBlock) {
            double partial[kTerms] = {0.0, 0.0, 0.0, 0.0, 0.0};
            const std::size_t block_end = std::min(end, s0 + kSumBlock);
            for (std::size_t s = s0; s < block_end; ++s) {
                double &h = holding[s - begin];
                if (idle(h, in.signal(i, s)))
                    idle_cell(h, in.dividend(i, s), partial, 1);
                else
                    record_cell(in, p, i, s, h, partial, 1, out);
            }
            fold(i, (s0 - begin) / kSumBlock, partial);
        }
    }
}

/// Other layouts: date by date across the stocks; the records come in date order.
/// With two threads each walks half of the blocks into its own tables; the second
/// half's block sums are kept and folded after the first half's, and each date's
/// runs of records are put one after the other.
void record_rows(const VwapInputs &in, const PassRates &p, double *total, double *comp, VwapRecords &out,
                 int threads) {
    const std::size_t days = in.days, stocks = in.stocks;
    auto fold = [&](std::size_t i, std::size_t, const double *partial) {
        for (std::size_t t = 0; t < kTerms; ++t) neumaier_add(total[t * days + i], comp[t * days + i], partial[t]);
    };
    const std::size_t blocks = (stocks + kSumBlock - 1) / kSumBlock;
    if (threads != 2 || blocks < 2) {
        walk_rows(in, p, 0, stocks, out, fold);
        return;
    }
    const std::size_t mid = blocks / 2 * kSumBlock, second_blocks = blocks - blocks / 2;
    // Laid out [date][block][term]: as many floats as in the column walk's split.
    std::vector<double> kept(days * second_blocks * kTerms);
    VwapRecords second;
    run_both([&] { walk_rows(in, p, 0, mid, out, fold); },
             [&] {
                 walk_rows(in, p, mid, stocks, second, [&](std::size_t i, std::size_t b, const double *partial) {
                     std::copy(partial, partial + kTerms, kept.begin() + (i * second_blocks + b) * kTerms);
                 });
             });
    for (std::size_t i = 0; i < days; ++i)
        for (std::size_t b = 0; b < second_blocks; ++b) fold(i, b, kept.data() + (i * second_blocks + b) * kTerms);
    merge_tables(out, second, days, threads, true);
}

/// The daily totals from the date-ordered tables: each date's trades and positions
/// in stock order, the order in which a walk date by date adds them up.
void daily_totals(VwapRecords &out) {
    const RecordTable<5> &t = out.trades;
    const std::int32_t *day = t.day.data();
    const std::uint8_t *side = t.tag.data();
    const double *value = t.value[2].data(), *commission = t.value[3].data(), *levy = t.value[4].data();
    for (std::size_t k = 0; k < t.size; ++k) {
        const auto d = (std::size_t)day[k];
        if (side[k] == kBuy) {
            add_present(out.bought[d], value[k]);
        } else {
            add_present(out.sold[d], value[k]);
        }
        add_present(out.commission[d], commission[k]);
        if (side[k] != kBuy) add_present(out.levy[d], levy[k]);
    }
    const std::int32_t *held_day = out.positions.day.data();
    for (std::size_t k = 0; k < out.positions.size; ++k) out.held[(std::size_t)held_day[k]] += 1.0;
}

}  // namespace

void record_vwap_pass(const VwapInputs &in, VwapRecords &out, int threads) {
    const std::size_t days = in.days, stocks = in.stocks;
    for (auto *v : {&out.bought, &out.sold, &out.commission, &out.levy, &out.held, &out.profit}) v->assign(days, 0.0);
    if (days == 0) return;

    const PassRates p{{in.total_money, in.lot_size, 1.0 + in.fee, 1.0 - in.fee - in.rule_fee},  // as the kernel writes them
                      in.fee,
                      in.rule_fee};
    const bool column_major = days > 1 && mostly_column_major(in);
    // Per term and day: compensated totals over the blocks, laid out [term][day].
    std::vector<double> total(kTerms * days, 0.0), comp(kTerms * days, 0.0);

    if (threads == 0) threads = days * stocks >= kThreadsFrom && std::thread::hardware_concurrency() >= 2 ? 2 : 1;
    if (column_major)
        record_columns(in, p, total.data(), comp.data(), out, threads);
    else
        record_rows(in, p, total.data(), comp.data(), out, threads);
    daily_totals(out);
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[t * days + i], comp[t * days + i]);
        out.profit[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

}  // namespace tessary::kernels
