// Recording pass of the VWAP engine: picks the walk of the inputs' layout and adds
// up the daily profit.
#include "records/kernels/record_pass.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels {

using record_detail::kSumBlock;
using record_detail::kTerms;

std::size_t VwapRecords::bytes() const {
    return trades.bytes() + blocked.bytes() + positions.bytes() + pnl.bytes() +
           sizeof(double) * (bought.size() + sold.size() + commission.size() + levy.size() + held.size() +
                             profit.size());
}

namespace {

// Markets of at least this many cells are walked on two threads when the processor
// has two cores: below it a thread costs more than it saves.
constexpr std::size_t kThreadsFrom = std::size_t{1} << 20;

inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

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

/// `a` and `b` (the records of two ranges of stocks, `a`'s first), each in date
/// order, into `a`: trades and positions on this thread, pnl rows and refusals on
/// another.
void merge_tables(VwapRecords &a, VwapRecords &b, std::size_t days) {
    run_both(
        [&] {
            Spares spares;
            merge_date_ordered(a.trades, b.trades, days, spares);
            merge_date_ordered(a.positions, b.positions, days, spares);
        },
        [&] {
            Spares spares;
            merge_date_ordered(a.pnl, b.pnl, days, spares);
            merge_date_ordered(a.blocked, b.blocked, days, spares);
        });
}

/// Adds `x` to a daily total unless it is NaN (a trade at a missing price).
inline void add_present(double &total, double x) {
    if (!std::isnan(x)) total += x;
}

/// The daily totals from the date-ordered tables: each date's trades and positions
/// in stock order, the order in which a walk date by date adds them up.
void daily_totals(VwapRecords &out) {
    for (auto *v : {&out.bought, &out.sold, &out.commission, &out.levy, &out.held}) std::fill(v->begin(), v->end(), 0.0);
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
    const std::size_t days = in.days;
    for (auto *v : {&out.bought, &out.sold, &out.commission, &out.levy, &out.held, &out.profit}) v->assign(days, 0.0);
    if (days == 0) return;

    const record_detail::PassRates p{
        {in.total_money, in.lot_size, 1.0 + in.fee, 1.0 - in.fee - in.rule_fee},  // as the kernel writes them
        in.fee,
        in.rule_fee};
    // Per term and day: compensated totals over the blocks, laid out [term][day].
    std::vector<double> total(kTerms * days, 0.0), comp(kTerms * days, 0.0);
    const record_detail::BlockSums fold = [&](std::size_t i0, std::size_t n, const double *sums) {
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t t = 0; t < kTerms; ++t)
                record_detail::neumaier_add(total[t * days + i0 + k], comp[t * days + i0 + k], sums[k * kTerms + t]);
    };
    const bool columns = days > 1 && mostly_column_major(in);
    auto walk = [&](std::size_t begin, std::size_t end, const record_detail::BlockSums &sums, VwapRecords &into) {
        if (columns)
            record_detail::walk_columns(in, p, begin, end, sums, into);
        else
            record_detail::walk_rows(in, p, begin, end, sums, into);
    };
    const std::size_t stocks = in.stocks, blocks = (stocks + kSumBlock - 1) / kSumBlock;
    if (threads == 0) threads = days * stocks >= kThreadsFrom && std::thread::hardware_concurrency() >= 2 ? 2 : 1;
    if (threads != 2 || blocks < 2) {
        walk(0, stocks, fold, out);
    } else {
        // Each thread walks half of the blocks into its own tables. The second half's
        // block sums are kept, in the order they come, and folded after the first
        // half's, so the profit is that of one walk to the last bit; its tables are
        // then interleaved date by date after the first half's, and the daily totals
        // added up again from the merged tables, in stock order.
        const std::size_t mid = blocks / 2 * kSumBlock;
        VwapRecords second;
        for (auto *v : {&second.bought, &second.sold, &second.commission, &second.levy, &second.held})
            v->assign(days, 0.0);
        std::vector<double> kept;  // n x kTerms sums per call, one call after another
        std::vector<std::pair<std::size_t, std::size_t>> stretches;  // (i0, n) of each call
        kept.reserve((blocks - blocks / 2) * days * kTerms);
        run_both([&] { walk(0, mid, fold, out); },
                 [&] {
                     walk(mid, stocks,
                          [&](std::size_t i0, std::size_t n, const double *sums) {
                              kept.insert(kept.end(), sums, sums + n * kTerms);
                              stretches.emplace_back(i0, n);
                          },
                          second);
                 });
        const double *sums = kept.data();
        for (const auto &[i0, n] : stretches) {
            fold(i0, n, sums);
            sums += n * kTerms;
        }
        merge_tables(out, second, days);
        daily_totals(out);
    }
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[t * days + i], comp[t * days + i]);
        out.profit[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

}  // namespace tessary::kernels
