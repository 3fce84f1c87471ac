// The walks of column-major inputs eight days a vector, with AVX-512: the return
// engine's column step (vwap_columns.hpp) on every vector of days on which a stock
// is held or wanted. Down one stock's days of a tile (walk_stock_wide), each record
// is written by compressing the lanes that keep one into the next free slots of each
// column of the tile's tables; over a list of stocks for one group of eight days
// (walk_list_wide), each stock's vectors are staged whole with the lanes that keep a
// record, for record_stage_avx512.cpp to put in date order. Built with AVX-512 flags
// (see CMakeLists.txt); only called where the processor has them.
//
// A held stock is held for weeks, so the days of a vector mostly all keep a record
// or none does: one store per column then writes up to eight records, where the
// walk cell by cell steps and writes each day on its own. A vector with nothing
// held and no weight above zero is passed over after reading its weights and
// dividends: its products are zeros, which change no sum (unless a dividend is
// infinite: 0 x inf is NaN, so such a vector is stepped).
//
// The five products go to the block's partial sums stock after stock, exactly as
// the engine's column pass adds them, so the daily profit is the engine's to the
// bit. Vectors whose targets or holding leave the range where the clamp scan is
// exact, and the days short of a vector, are stepped one by one by the scalar walk.
//
// Nothing here is inline with external linkage (that could be picked by the linker
// for a file built without AVX-512): the shared headers' functions used are static,
// templates of internal linkage, or called across files.
#include <immintrin.h>

#include "common/daystep/vwap_columns.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels::record_detail {

namespace {

using namespace vwap_detail;
using namespace simd;

constexpr int W = 8;
using D = Vec<W>::d;
using M = Vec<W>::m;

TESSARY_INLINE __mmask8 bits(M m) { return _mm512_movepi64_mask((__m512i)m); }

/// Raw write positions at the end of a table, as RecordWriter, taking a vector of
/// lanes at a time. The table must have room for every record to be written plus
/// W - 1: each column gets a whole vector stored, of which the lanes kept come first
/// and the rest are overwritten by the next vector.
template <std::size_t N>
struct LaneWriter {
    std::int32_t *day, *stock;
    std::uint8_t *__restrict tag;  // see RecordWriter
    double *value[N];
    std::size_t size;

    explicit LaneWriter(RecordTable<N> &t) { take(t); }
    TESSARY_INLINE void take(RecordTable<N> &t) {
        day = t.day.data();
        stock = t.stock.data();
        tag = t.tag.data();
        size = t.size;
        for (std::size_t k = 0; k < N; ++k) value[k] = t.value[k].data();
    }
    TESSARY_INLINE void finish(RecordTable<N> &t) const { t.size = size; }

    /// The lanes of `keep`, in lane order: date rows `d`, stock column `s`, values
    /// `v[0 .. N)` and, for a tagged table, tags `tags` (int32 lanes, 0 or 1).
    template <bool Tagged = false>
    TESSARY_INLINE void put(__mmask8 keep, __m256i d, __m256i s, const D *v, __m256i tags = __m256i{}) {
        _mm256_storeu_si256((__m256i *)(day + size), _mm256_maskz_compress_epi32(keep, d));
        _mm256_storeu_si256((__m256i *)(stock + size), s);  // one stock: no need to compress
        if constexpr (Tagged)
            _mm_storel_epi64((__m128i *)(tag + size), _mm256_cvtepi32_epi8(_mm256_maskz_compress_epi32(keep, tags)));
        for (std::size_t k = 0; k < N; ++k)
            _mm512_storeu_pd(value[k] + size, _mm512_maskz_compress_pd(keep, (__m512d)v[k]));
        size += (std::size_t)__builtin_popcount(keep);
    }
    /// One record of a table with one value and a tag.
    TESSARY_INLINE void put_one(std::int32_t d, std::int32_t s, std::uint8_t t, double v0) {
        day[size] = d;
        stock[size] = s;
        tag[size] = t;
        value[0][size] = v0;
        ++size;
    }
};

/// The cursors into a tile's four tables.
struct TileWriters {
    LaneWriter<5> trades;
    LaneWriter<1> blocked;
    LaneWriter<2> positions;
    LaneWriter<5> pnl;

    explicit TileWriters(VwapRecords &t) : trades(t.trades), blocked(t.blocked), positions(t.positions), pnl(t.pnl) {}
    void finish(VwapRecords &t) const {
        trades.finish(t.trades);
        blocked.finish(t.blocked);
        positions.finish(t.positions);
        pnl.finish(t.pnl);
    }
    void take(VwapRecords &t) {
        trades.take(t.trades);
        blocked.take(t.blocked);
        positions.take(t.positions);
        pnl.take(t.pnl);
    }
};

/// Asks for the lines of day i of stock s of the weights and dividends, with `all`
/// of the other float inputs too, and with `flags` of the flags.
TESSARY_INLINE void ask_ahead(const VwapInputs &in, std::size_t i, std::size_t s, bool flags, bool all) {
    prefetch(&in.signal(0, s), i);
    prefetch(&in.dividend(0, s), i);
    if (!all) return;
    prefetch(&in.prev_close(0, s), i);
    prefetch(&in.close(0, s), i);
    prefetch(&in.buy_price(0, s), i);
    prefetch(&in.sell_price(0, s), i);
    prefetch(&in.split(0, s), i);
    if (flags) {
        prefetch(&in.can_buy(0, s), i);
        prefetch(&in.cant_sell(0, s), i);
    }
}

/// Adds `x` to the eight days at `p`.
TESSARY_INLINE void add_to(double *p, D x) { store<W>(p, load<W>(p) + x); }

/// Days j .. j + count - 1 of the tile (of days i0 ..) one by one, by the scalar
/// walk's step: the cursors are handed back to the tables and taken again.
void step_days(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t j, std::size_t count,
               std::size_t stride, std::size_t s, double &holding, double *partial, double *totals, VwapRecords &tile,
               TileWriters &w) {
    w.finish(tile);
    for (std::size_t k = j; k < j + count; ++k) {
        double acc[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) acc[t] = partial[t * stride + k];
        DayTotals day{totals[k], totals[stride + k], totals[2 * stride + k], totals[3 * stride + k],
                      totals[4 * stride + k]};
        step_cell(in, p, i0 + k, s, holding, acc, day, tile);
        for (std::size_t t = 0; t < kTerms; ++t) partial[t * stride + k] = acc[t];
        totals[k] = day.bought;
        totals[stride + k] = day.sold;
        totals[2 * stride + k] = day.commission;
        totals[3 * stride + k] = day.levy;
        totals[4 * stride + k] = day.held;
    }
    w.take(tile);
}

/// Days i0 + k .. of the scalar step, onto the tile's tables.
TESSARY_INLINE void step_days_to(TileWriters &w, const VwapInputs &in, const PassRates &p, std::size_t i0,
                                 std::size_t k, std::size_t count, std::size_t stride, std::size_t s, double &holding,
                                 double *partial, double *totals, VwapRecords &tile) {
    step_days(in, p, i0, k, count, stride, s, holding, partial, totals, tile, w);
}

/// The write position of one table's records of one entry of a group's stage (see
/// StagedTable): each vector of records is stored whole, with its lanes kept.
template <std::size_t N>
struct StageCursor {
    double *value[N];
    std::uint8_t *keep, *sell;
    std::size_t entry = 0;

    explicit StageCursor(StagedTable<N> &t) : keep(t.keep.data()), sell(t.sell.data()) {
        for (std::size_t c = 0; c < N; ++c) value[c] = t.value[c].data();
    }
    template <bool Tagged = false>
    TESSARY_INLINE void put(__mmask8 lanes, __m256i, __m256i, const D *v, __m256i tags = __m256i{}) {
        keep[entry] = lanes;
        for (std::size_t c = 0; c < N; ++c) _mm512_storeu_pd(value[c] + 8 * entry, (__m512d)v[c]);
        if constexpr (Tagged) sell[entry] = _mm256_test_epi32_mask(tags, tags);
    }
    /// The records of `from` (all of this entry, of days base ..) put into the entry.
    void take_from(RecordTable<N> &from, std::size_t base) {
        unsigned lanes = keep[entry], sells = sell[entry];
        for (std::size_t r = 0; r < from.size; ++r) {
            const unsigned l = (unsigned)((std::size_t)from.day.data()[r] - base);
            lanes |= 1u << l;
            if (from.tagged && from.tag.data()[r] == kSell) sells |= 1u << l;
            for (std::size_t c = 0; c < N; ++c) value[c][8 * entry + l] = from.value[c].data()[r];
        }
        keep[entry] = (std::uint8_t)lanes;
        sell[entry] = (std::uint8_t)sells;
        from.size = 0;
    }
};

/// The cursors of a group's walk down a list of stocks: the three large tables
/// staged at the entry being walked, refusals onto the tile's table.
struct StageWriters {
    StageCursor<5> trades;
    LaneWriter<1> blocked;
    StageCursor<2> positions;
    StageCursor<5> pnl;
    std::size_t base;  // the group's first day

    StageWriters(GroupStage &g, VwapRecords &tile, std::size_t first_day)
        : trades(g.trades), blocked(tile.blocked), positions(g.positions), pnl(g.pnl), base(first_day) {}
    /// On to entry e, with no records yet.
    TESSARY_INLINE void at(std::size_t e) {
        trades.entry = positions.entry = pnl.entry = e;
        trades.keep[e] = positions.keep[e] = pnl.keep[e] = 0;
        trades.sell[e] = 0;
    }
};

/// Days i0 + k .. of the scalar step for a staged walk: onto the tile's tables,
/// then into the entry's stage (the tile's refusals stay where they are).
void step_days_to(StageWriters &o, const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t k,
                  std::size_t count, std::size_t stride, std::size_t s, double &holding, double *partial,
                  double *totals, VwapRecords &tile) {
    o.blocked.finish(tile.blocked);
    TileWriters w(tile);
    step_days(in, p, i0, k, count, stride, s, holding, partial, totals, tile, w);
    w.finish(tile);
    o.trades.take_from(tile.trades, o.base);
    o.positions.take_from(tile.positions, o.base);
    o.pnl.take_from(tile.pnl, o.base);
    o.blocked.take(tile.blocked);
}

/// Asks for the line of p[k] into the second-level cache. The address is made
/// through an integer, as `prefetch` makes it: p[k] may lie past the end of the
/// inputs (the days of a last, short group), where a pointer may not point. Always
/// inlined, as are its callers: GCC takes a call to a function that only asks for
/// lines for a call without effect, and drops it.
template <class T>
TESSARY_INLINE void ask_l2(const T *p, std::size_t k) {
    __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<std::uintptr_t>(p) + k * sizeof(T)), 0, 2);
}

/// Asks for the lines of days i .. i + 7 of stock s of every input (two lines of
/// each float input where the days straddle them), into the second-level cache.
/// Asked into the first level, the lines of a few stocks ahead take more of the
/// core's fill buffers than it has, and each ask waits for a free one.
TESSARY_INLINE void ask_cell(const VwapInputs &in, std::size_t i, std::size_t s) {
    for (const double *c : {&in.signal(i, s), &in.dividend(i, s), &in.prev_close(i, s), &in.close(i, s),
                            &in.buy_price(i, s), &in.sell_price(i, s), &in.split(i, s)}) {
        ask_l2(c, 0);
        ask_l2(c, 7);
    }
    ask_l2(&in.can_buy(i, s), 0);
    ask_l2(&in.cant_sell(i, s), 0);
}

/// The columns of one stock from day i0 (pointers at its day i0 of each input).
struct StockColumns {
    const double *w, *pc, *close, *buy, *sell, *split, *dividend;
    const std::uint8_t *can_buy, *cant_sell;
    StockColumns(const VwapInputs &in, std::size_t i0, std::size_t s)
        : w(&in.signal(i0, s)), pc(&in.prev_close(i0, s)), close(&in.close(i0, s)), buy(&in.buy_price(i0, s)),
          sell(&in.sell_price(i0, s)), split(&in.split(i0, s)), dividend(&in.dividend(i0, s)),
          can_buy(&in.can_buy(i0, s)), cant_sell(&in.cant_sell(i0, s)) {}
};

/// Days i0 + k .. i0 + k + 7 of stock s, one vector (see walk_stock_wide), its
/// records through `o`: a tile's cursors or a group's stage.
template <class Out>
TESSARY_INLINE void vector_step(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t k, std::size_t s,
                                const StockColumns &c, double &holding, double *partial, double *totals,
                                std::size_t stride, VwapRecords &tile, Out &o) {
    const Rates &r = p.r;
    const double *w = c.w, *pc = c.pc, *close = c.close, *buy = c.buy, *sell = c.sell, *split = c.split,
                 *dividend = c.dividend;
    const std::uint8_t *can_buy = c.can_buy, *cant_sell = c.cant_sell;
    const D zero = splat<W>(0.0);
    const __m256i stock = _mm256_set1_epi32((std::int32_t)s);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const D weight = load<W>(w + k);
    // Nothing held and nothing wanted: the days' products are zeros, which change
    // no sum, unless a dividend is infinite (0 x inf is NaN, as in the engine).
    if (holding == 0.0 && bits(weight > 0.0) == 0 &&
        _mm512_fpclass_pd_mask((__m512d)load<W>(dividend + k), 0x18) == 0)
        return;
    const D pcv = load<W>(pc + k);
    const D target = lane_target<W>(weight, pcv, r);
    if (!(holding <= kExactLimit) || !all_lanes<W>(target <= kExactLimit)) {
        step_days_to(o, in, p, i0, k, W, stride, s, holding, partial, totals, tile);
        return;
    }
    const M buy_ok = load_flags<W>(can_buy + k);
    const M sell_barred = load_flags<W>(cant_sell + k);
    // Each day's holding before its trade, from the holding before the vector (the
    // engine's clamp scan).
    const D before = holdings_before<W>(holding, target, buy_ok, sell_barred);

    // The engine's step (lane_trade), its intermediate values kept for the records.
    const D close_v = load<W>(close + k), buy_price = load<W>(buy + k), sell_price = load<W>(sell + k);
    const D split_v = nan_as<W>(load<W>(split + k), 1.0);
    const D dividend_v = nan_as<W>(load<W>(dividend + k), 0.0);
    const D diff = target - before;
    const M up = diff > 0.0, down = diff < 0.0;
    const M buys = up & buy_ok, sells = down & ~sell_barred;
    const D real_buy = buys ? diff : zero;
    const D sold = sells ? -diff : zero;
    const D hold = before - sold;
    const D after = hold + real_buy;
    const D buy_coeff = nan_to_num_v<W>(close_v - buy_price * r.buy_mult);
    const D hold_coeff = nan_to_num_v<W>(split_v * close_v - pcv);
    const D sell_coeff = nan_to_num_v<W>(split_v * sell_price * r.sell_mult - pcv);
    const D term[kTerms] = {real_buy * buy_coeff, hold * hold_coeff, hold * dividend_v, sold * sell_coeff,
                            sold * dividend_v};
    for (std::size_t t = 0; t < kTerms; ++t) add_to(partial + t * stride + k, term[t]);

    // The records. A day neither held nor wanted (the engine's idle cell) trades
    // nothing and holds nothing; it may still have a NaN product (an infinite
    // dividend), which counts in the sums but is no contribution of the stock.
    const __mmask8 traded = bits(buys | sells);
    const __mmask8 refused = bits((up & ~buy_ok) | (down & sell_barred));
    const __mmask8 held = bits(after != 0.0);  // NaN holdings too
    const M busy = (before != 0.0) | (weight > 0.0);
    const __mmask8 moved = bits(busy & ((term[0] != 0.0) | (term[1] != 0.0) | (term[2] != 0.0) |
                                        (term[3] != 0.0) | (term[4] != 0.0)));
    if ((traded | refused | held | moved) == 0) return;
    const __m256i day = _mm256_add_epi32(_mm256_set1_epi32((std::int32_t)(i0 + k)), lane);
    if (traded) {
        // A buy's value is shares x buy price; a sell's the proceeds the rules
        // credit, shares x split factor x sell price; only sells pay the levy.
        const D value = down ? sold * split_v * sell_price : real_buy * buy_price;
        const D commission = value * p.fee;
        const D levy = down ? value * p.rule_fee : zero;
        const D trade[5] = {down ? sold : real_buy, down ? sell_price : buy_price, value, commission, levy};
        o.trades.template put<true>(traded, day, stock, trade, _mm256_maskz_set1_epi32(bits(down), 1));
        // The day totals, stock after stock (NaN values left out): adding +0 on
        // the days without a trade changes no total.
        const M is_trade = buys | sells, counted = is_trade & (value == value);
        add_to(totals + k, (counted & ~down) ? value : zero);
        add_to(totals + stride + k, (counted & down) ? value : zero);
        add_to(totals + 2 * stride + k, (is_trade & (commission == commission)) ? commission : zero);
        add_to(totals + 3 * stride + k, (is_trade & down & (levy == levy)) ? levy : zero);
    }
    if (refused) {
        double wanted[W];
        store<W>(wanted, diff);
        const unsigned side = bits(down);
        for (unsigned m = refused; m != 0; m &= m - 1) {
            const int l = __builtin_ctz(m);
            const bool sell_side = (side >> l) & 1;
            o.blocked.put_one((std::int32_t)(i0 + k + l), (std::int32_t)s, sell_side ? kSell : kBuy,
                              sell_side ? -wanted[l] : wanted[l]);
        }
    }
    if (held) {
        const D position[2] = {after, (hold * split_v + real_buy) * close_v};
        o.positions.put(held, day, stock, position);
        add_to(totals + 4 * stride + k, (after != 0.0) ? splat<W>(1.0) : zero);
    }
    if (moved) o.pnl.put(moved, day, stock, term);
}

}  // namespace

void walk_stock_wide(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, std::size_t s,
                     double &holding_io, double *partial, double *totals, std::size_t stride, VwapRecords &tile) {
    reserve_tile(tile, n + W);  // at most one record per day and table, and a vector's slack
    const StockColumns c(in, i0, s);
    TileWriters o(tile);

    double holding = holding_io;
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        // Up to nine streams are read at once: ask for each a little ahead (see
        // column_run), and near the end of the tile for the next stock's first days,
        // which lie far away, where the memory system would not look for them. The
        // inputs other than weights and dividends only while the stock is held: most
        // of a column's days are passed over, and only those two read.
        {
            const std::size_t ahead = k + kPrefetchDays;
            const bool all = holding != 0.0;
            if (ahead < n)
                ask_ahead(in, i0 + ahead, s, k % 64 == 0, all);
            else if (s + 1 < in.stocks)
                ask_ahead(in, i0 + ahead - n, s + 1, k % 64 == 0, all);
        }
        vector_step(in, p, i0, k, s, c, holding, partial, totals, stride, tile, o);
    }
    if (k < n) step_days(in, p, i0, k, n - k, stride, s, holding, partial, totals, tile, o);
    o.finish(tile);
    holding_io = holding;
}

void walk_list_wide(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, std::size_t first,
                    const std::uint32_t *list, std::size_t count, const std::uint32_t *ahead, std::size_t ahead_count,
                    double *holding, double *partial, double *totals, GroupStage &stage, VwapRecords &tile) {
    static_assert(kGroupDays == W, "a group is one vector of days");
    // Room on the tile for the records of one stock stepped day by day (moved into
    // the stage at once), and for the refusals of all.
    reserve_tile(tile, n + W);
    tile.blocked.reserve(tile.blocked.size + count * n + W);
    StageWriters o(stage, tile, i0);
    for (std::size_t j = 0; j < count; ++j) {
        if (j < ahead_count) ask_cell(in, i0, ahead[j]);
        const std::size_t s = list[j];
        o.at(first + j);
        const StockColumns c(in, i0, s);
        double h = holding[s];
        if (n == W)
            vector_step(in, p, i0, 0, s, c, h, partial, totals, kGroupDays, tile, o);
        else
            step_days_to(o, in, p, i0, 0, n, kGroupDays, s, h, partial, totals, tile);
        holding[s] = h;
    }
    o.blocked.finish(tile.blocked);
}

}  // namespace tessary::kernels::record_detail
