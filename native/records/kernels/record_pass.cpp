// Recording pass of the VWAP engine: picks the walk of the inputs' layout and adds
// up the daily profit.
#include "records/kernels/record_pass.hpp"

#include <cmath>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "common/simd/simd_choice.hpp"
#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels {

using record_detail::kTerms;

std::size_t VwapRecords::bytes() const {
    return trades.bytes() + blocked.bytes() + positions.bytes() + pnl.bytes() +
           sizeof(double) * (bought.size() + sold.size() + commission.size() + levy.size() + held.size() +
                             profit.size());
}

namespace {

// Markets of at least this many cells whose walk gains from two threads take two
// when the process may run on two cores: below it a thread costs more than it saves.
constexpr std::size_t kThreadsFrom = std::size_t{1} << 20;

/// The cores this process may run on: its affinity mask where the system has one
/// (a process pinned to one core by taskset, a container's cpuset or a cluster's
/// worker would otherwise start a second thread that only takes turns with the
/// first, slower than one thread), else the processor's count.
unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    // Fails on systems with more processors than a cpu_set_t holds: then the count.
    if (sched_getaffinity(0, sizeof set, &set) == 0) return (unsigned)CPU_COUNT(&set);
#endif
    return std::thread::hardware_concurrency();
}

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

/// True where the walk eight days a vector may run: the process's vector width is
/// AVX-512's (the processor has it and TESSARY_SIMD does not ask for less), and
/// targets are never negative, which a positive capital and lot size guarantee (as
/// for the engine's vector passes).
bool vectors_allowed(const record_detail::PassRates &p) {
    return p.r.money > 0.0 && p.r.lot >= 1.0 && simd_lanes() == 8;
}

/// How a pass walks its inputs and on how many threads.
struct PassPlan {
    bool columns;  // down the columns (else along the rows)
    bool wide;     // eight days a vector where the walk has such a step
    int threads;   // 1 or 2
};

/// The rule of the walk and the thread count:
/// - walk: down the columns when most inputs are column-major (and there is more
///   than one day), else along the rows; vectors of eight days only where
///   `vectors_allowed` and the caller asks for them (`wide`);
/// - threads: what the caller asks (`threads` 1 or 2), or for 0 the default: two only
///   for the walk down the columns cell by cell (column-major inputs that do not go
///   by groups of eight days), which must sort its records and is the one walk a
///   second thread speeds up, on a market of at least kThreadsFrom cells where the
///   process may run on two cores; one otherwise. The other walks are bound by the
///   memory's speed, which two cores share.
/// - a market of a single block of stocks stays on one thread (both walks split the
///   stocks at a block).
PassPlan plan_pass(const VwapInputs &in, const record_detail::PassRates &p, int threads, bool wide) {
    PassPlan plan;
    plan.columns = in.days > 1 && mostly_column_major(in);
    plan.wide = wide && vectors_allowed(p);
    const bool by_groups = plan.columns && plan.wide && record_detail::UnitInputs<0>::fits(in);
    if (threads == 0)
        threads = plan.columns && !by_groups && in.days * in.stocks >= kThreadsFrom && usable_cores() >= 2 ? 2 : 1;
    if (threads != 2 || in.stocks <= record_detail::kSumBlock) threads = 1;
    plan.threads = threads;
    return plan;
}

}  // namespace

int record_vwap_pass(const VwapInputs &in, VwapRecords &out, int threads, bool wide, std::size_t one_from) {
    const std::size_t days = in.days;
    for (auto *v : {&out.bought, &out.sold, &out.commission, &out.levy, &out.held, &out.profit}) v->assign(days, 0.0);
    if (days == 0) return 1;

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
    const PassPlan plan = plan_pass(in, p, threads, wide);
    if (plan.columns)
        record_detail::walk_columns(in, p, fold, out, plan.threads, plan.wide, one_from);
    else
        record_detail::walk_rows(in, p, fold, out, plan.threads, one_from);
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[t * days + i], comp[t * days + i]);
        out.profit[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
    return plan.threads;
}

}  // namespace tessary::kernels
