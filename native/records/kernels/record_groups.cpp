// The recording pass over column-major inputs on one thread, date by date in
// groups of eight days.
//
// The walk down the columns reads each stock's days in long stretches, but its
// records come out stock by stock and must then be sorted by date. Here each group
// of eight days walks, in stock
// order, only the stocks held before it or busy in it, each one vector of eight
// days, and its records leave in date order. Reading the columns across the stocks
// costs a miss per input and stock, so the lines of the stocks a few places ahead
// in the group's list are asked for while the walk steps the ones before: by the
// time a stock is stepped, its lines have come.
//
// Which stocks are busy in which groups is found first, in one sweep through the
// weights and dividends in memory order; the list of a group then adds the stocks
// held at its start, known only once the group before is walked.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "records/kernels/record_scan.hpp"
#include "records/kernels/record_tiles.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels::record_detail {

void reserve_more(RecordTable<1> &t, std::size_t n, std::size_t done, std::size_t days, std::size_t stocks) {
    reserve_at_rate(t, t.size + n, t.size + n, done, days, stocks);
}
void reserve_more(RecordTable<2> &t, std::size_t n, std::size_t done, std::size_t days, std::size_t stocks) {
    reserve_at_rate(t, t.size + n, t.size + n, done, days, stocks);
}
void reserve_more(RecordTable<5> &t, std::size_t n, std::size_t done, std::size_t days, std::size_t stocks) {
    reserve_at_rate(t, t.size + n, t.size + n, done, days, stocks);
}

#if defined(TESSARY_WIDE_KERNELS)

namespace {

/// Days per stretch of the busy scan: one bit word of groups.
constexpr std::size_t kScanDays = 64 * kGroupDays;
/// Stocks ahead in a group's list whose lines are asked for: enough for them to
/// arrive while the stocks between are stepped.
constexpr std::size_t kAskAhead = 6;

}  // namespace

void walk_groups(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, std::size_t from,
                 double *holding) {
    const std::size_t days = in.days, stocks = in.stocks, stretches = (days + kScanDays - 1) / kScanDays;
    // busy[t * stocks + s], bit g: stock s is busy in group g of stretch t.
    std::vector<std::uint64_t> busy(stretches * stocks);
    for (std::size_t s = 0; s < stocks; ++s)
        for (std::size_t t = from / kScanDays; t < stretches; ++t) {
            const std::size_t i0 = t * kScanDays;
            busy[t * stocks + s] = busy_groups(&in.signal(i0, s), &in.dividend(i0, s), std::min(kScanDays, days - i0),
                                               nullptr, nullptr);
        }

    std::vector<std::uint32_t> list(stocks);
    GroupStage stage;
    stage.size_for(stocks);
    ScratchLease scratch;  // its first tile takes the refusals, and the records of stocks stepped cell by cell
    VwapRecords &tile = scratch->tile[0];
    constexpr std::size_t G = kGroupDays;
    double by_term[kTerms * G], by_total[kTotals * G], partial[kTerms * G];
    DayTotals day[G];
    for (std::size_t i0 = from; i0 < days; i0 += G) {
        const std::size_t n = std::min(G, days - i0), g = i0 % kScanDays / G;
        const std::uint64_t *groups = busy.data() + i0 / kScanDays * stocks;
        // The group's list: the stocks held at its start or busy in it, rising
        // (written without a branch: which stocks pass is not predictable).
        std::size_t count = 0;
        for (std::size_t s = 0; s < stocks; ++s) {
            list[count] = (std::uint32_t)s;
            count += (holding[s] != 0.0) | ((groups[s] >> g) & 1);
        }
        std::fill(std::begin(by_total), std::end(by_total), 0.0);
        // Block after block of stocks, as the engine adds its sums: each block's sums
        // handed on, also those of blocks with no stock in the list (zeros).
        for (std::size_t s0 = 0, j = 0; s0 < stocks; s0 += kSumBlock) {
            std::fill(std::begin(by_term), std::end(by_term), 0.0);
            std::size_t end = j;
            while (end < count && list[end] < s0 + kSumBlock) ++end;
            if (end > j) {
                const std::size_t ask_from = std::min(count, j + kAskAhead), ask_to = std::min(count, end + kAskAhead);
                walk_list_wide(in, p, i0, n, j, list.data() + j, end - j, list.data() + ask_from, ask_to - ask_from,
                               holding, by_term, by_total, stage, tile);
                j = end;
            }
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t t = 0; t < kTerms; ++t) partial[k * kTerms + t] = by_term[t * G + k];
            sums(i0, n, partial);
        }
        for (std::size_t k = 0; k < n; ++k)
            day[k] = {by_total[k], by_total[G + k], by_total[2 * G + k], by_total[3 * G + k], by_total[4 * G + k]};
        flush_group_wide(out, stage, list.data(), count, i0, n, tile, days, stocks);
        set_totals(out, i0, n, day);
    }
}

#endif

}  // namespace tessary::kernels::record_detail
