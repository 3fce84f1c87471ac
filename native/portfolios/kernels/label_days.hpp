// The label pass over a market whose stocks lie side by side in every row (the binary
// store's memory-mapped matrices), as a template over the vector width W (1: the
// scalar step only). Internal linkage, as everything compiled into the wide-vector
// files (see simd.hpp); label_days.cpp and label_days_avx*.cpp each hold one width.
//
// Labels partition the stocks: on a day a stock is targeted by at most one group and
// held by very few (the group targeting it, or the one it just left while its sale is
// refused). So each stock keeps one "first holder" slot (group and shares) in dense
// arrays, and the rare further holders in a list ordered by stock. Day by day the
// stocks go W at a time in memory order, as in the engine's day pass: each lane steps
// the group that targets its stock (or, without a target, the one holding it) with
// the engine's lane arithmetic (vwap_lanes.hpp), and the first holder, when it is
// another group, towards nothing. A stock that has further holders, or would gain
// one, takes the engine's scalar step (vwap_cell.hpp) in its turn instead.
//
// Sums: every step adds its five products (the W stocks' products transposed in
// registers, one vector per stock) to its group's sums of the current block of 64
// stocks, stock after stock (the steps of one stock belong to different groups),
// and after the block each group's sums are folded into its compensated day totals
// as the engine folds its blocks. A group's days are then the engine's single
// portfolio with that group's weights, bit for bit: the engine adds +0.0 (a product
// of no shares) for each stock the group neither holds nor targets, which changes no
// sum, and the pass leaves those out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/daystep/vwap_cell.hpp"
#include "common/neumaier.hpp"
#include "portfolios/kernels/label_pass.hpp"

#if !defined(TESSARY_LABEL_SCALAR_ONLY)
#include "common/daystep/vwap_lanes.hpp"
#include "common/simd/simd_transpose.hpp"
#endif

namespace tessary::portfolios::label_detail {

namespace {

using kernels::vwap_detail::kTerms;
using kernels::vwap_detail::Rates;
constexpr std::size_t kBlock = 64;  // the engine's summation block
constexpr std::size_t kRow = 8;     // doubles per group's row of block sums (the five terms, then room)

/// A holder of a stock beyond its first.
struct Extra {
    std::int32_t stock, group;
    double shares;
};

/// The pass of width W over `in` (stocks side by side in every market row; targets
/// never negative when W > 1: a positive capital and a lot of at least one share).
template <int W>
class LabelDays {
  public:
    LabelDays(const LabelPassInputs &x, double *out)
        : in(x), m(x.market), r(kernels::vwap_detail::rates_of(x.market)), k((std::size_t)x.k), daily(out),
          group(m.stocks, 0), shares(m.stocks, 0.0), table(k + 1 < 16 ? 16 : k + 1, 0.0),
          acc((k + 1 + W) * kRow, 0.0), total((k + 1) * kRow, 0.0), comp(total.size(), 0.0) {}

    void run() {
        for (std::size_t i = 0; i < m.days; ++i) day(i);
    }

  private:
    const LabelPassInputs &in;
    const kernels::VwapInputs &m;
    const Rates r;
    const std::size_t k;
    double *daily;
    // Per stock: the first holder's group (0: none; negated when the stock has further
    // holders in `more`) and its shares. A group holding no shares is no holder.
    std::vector<std::int32_t> group;
    std::vector<double> shares;
    std::vector<Extra> more, more_next;  // ordered by stock
    std::size_t more_at = 0;             // the first entry of `more` not yet read today
    std::vector<double> table;           // the day's weight of each label (label 0: none), zeros after
    // Per group 1..k and term: the block's sums (rows of kRow, then one row per lane
    // for the vector steps of no group) and the day's compensated totals.
    std::vector<double> acc, total, comp;
    std::vector<Extra> holders;  // the scalar step's steps of one stock
    const std::int32_t *labels = nullptr;

    /// The target group of label x (0: none).
    std::int32_t target_of(std::int32_t x) const { return x >= 1 && (std::size_t)x <= k ? x : 0; }

    void day(std::size_t i) {
        const std::int64_t row = in.row_of_day[i];
        labels = row >= 0 ? in.labels + (std::size_t)row * m.stocks : nullptr;
        for (std::size_t g = 1; g <= k; ++g) table[g] = row >= 0 ? in.weight[(std::size_t)row * k + g - 1] : 0.0;
        more_at = 0;
        more_next.clear();
        const std::size_t stocks = m.stocks, vectors_end = stocks / W * W;
        for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
            const std::size_t s1 = s0 + kBlock < stocks ? s0 + kBlock : stocks;
            std::size_t s = s0;
            if constexpr (W > 1) {
                const DayRows x = rows_of(i);
                for (; s + W <= s1 && s < vectors_end; s += W) vector_step(i, x, s);
            }
            for (; s < s1; ++s) stock_step(i, s);
            fold_block();
        }
        finish(i);
        std::swap(more, more_next);
    }

    /// The scalar step of stock s: each holder towards the stock's target (or
    /// nothing), then the target group when it holds nothing yet.
    void stock_step(std::size_t i, std::size_t s) {
        const std::int32_t gt = labels ? target_of(labels[s]) : 0;
        holders.clear();
        const std::int32_t first = group[s];
        if (first != 0) holders.push_back(Extra{(std::int32_t)s, first < 0 ? -first : first, shares[s]});
        if (first < 0)
            for (; more_at < more.size() && more[more_at].stock == (std::int32_t)s; ++more_at)
                holders.push_back(more[more_at]);
        bool targeted = false;
        for (Extra &h : holders) targeted = targeted || h.group == gt;
        if (gt != 0 && !targeted) holders.push_back(Extra{(std::int32_t)s, gt, 0.0});
        for (Extra &h : holders)
            kernels::vwap_detail::trade_cell_weight(m, r, i, s, h.group == gt ? table[gt] : 0.0, h.shares,
                                                    &acc[(std::size_t)h.group * kRow], 1);
        // The target group, when it still holds shares, stays first (where the next
        // day's vector step looks); the other holders with shares follow.
        std::size_t lead = holders.size();
        for (std::size_t j = 0; j < holders.size(); ++j)
            if (holders[j].shares != 0.0 && (lead == holders.size() || holders[j].group == gt)) lead = j;
        group[s] = 0;
        shares[s] = 0.0;
        if (lead == holders.size()) return;
        group[s] = holders[lead].group;
        shares[s] = holders[lead].shares;
        for (std::size_t j = 0; j < holders.size(); ++j)
            if (j != lead && holders[j].shares != 0.0) {
                more_next.push_back(holders[j]);
                group[s] = -holders[lead].group;
            }
    }

    /// Each group's block sums folded into its day totals as the engine folds a
    /// block's, term by term (the room after the five terms holds zeros, whose fold
    /// changes no finite total; a total that is not finite is taken as it is).
    void fold_block() {
        std::fill(acc.begin() + (k + 1) * kRow, acc.end(), 0.0);  // the steps of no group
        double *__restrict sums = acc.data();
        double *__restrict tot = total.data();
        double *__restrict cmp = comp.data();
        std::size_t j = kRow;
#if !defined(TESSARY_LABEL_SCALAR_ONLY)
        // Four sums at a time: neumaier_add_select's operations in every lane.
        using namespace kernels::simd;
        using V = Vec<4>::d;
        using L = Vec<4>::m;
        const L magnitude = L{} + 0x7FFFFFFFFFFFFFFFLL;
        for (; j < (k + 1) * kRow; j += 4) {
            const V sum = load<4>(tot + j), x = load<4>(sums + j);
            const V t = sum + x, big = (sum - t) + x, small = (x - t) + sum;
            const L keep_big = (V)((L)sum & magnitude) >= (V)((L)x & magnitude);
            store<4>(cmp + j, load<4>(cmp + j) + (keep_big ? big : small));
            store<4>(tot + j, t);
            store<4>(sums + j, V{});
        }
#endif
        for (; j < (k + 1) * kRow; ++j) {
            kernels::neumaier_add_select(tot[j], cmp[j], sums[j]);
            sums[j] = 0.0;
        }
    }

    /// Each group's profit of day i: its compensated terms added in the engine's order.
    void finish(std::size_t i) {
        using kernels::compensated;
        for (std::size_t g = 1; g <= k; ++g) {
            const double *t = &total[g * kRow], *c = &comp[g * kRow];
            daily[(g - 1) * m.days + i] = compensated(t[0], c[0]) + compensated(t[1], c[1]) +
                                          compensated(t[2], c[2]) + compensated(t[3], c[3]) +
                                          compensated(t[4], c[4]);
        }
        std::fill(total.begin(), total.end(), 0.0);
        std::fill(comp.begin(), comp.end(), 0.0);
    }

    /// One day of every market input: the first stock of the day, stocks adjacent.
    struct DayRows {
        const double *pc, *cl, *bp, *sp, *sf, *dv;
        const std::uint8_t *cb, *cs;
    };

    DayRows rows_of(std::size_t i) const {
        return DayRows{&m.prev_close(i, 0), &m.close(i, 0), &m.buy_price(i, 0), &m.sell_price(i, 0),
                       &m.split(i, 0),      &m.dividend(i, 0), &m.can_buy(i, 0), &m.cant_sell(i, 0)};
    }

#if !defined(TESSARY_LABEL_SCALAR_ONLY)
    /// Stocks s .. s + W - 1 side by side. A stock that has, or would gain, a holder
    /// beyond its first takes the scalar step in its turn instead.
    void vector_step(std::size_t i, const DayRows &x, std::size_t s) {
        using namespace kernels::simd;
        using namespace kernels::vwap_detail;
        using D = typename Vec<W>::d;
        using M = typename Vec<W>::m;
        const M first = widen(&group[s]);
        const M label = labels ? widen(labels + s) : M{};
        const M gt = ((label >= 1) & (label <= (long long)k)) ? label : M{};
        const D w = lookup(gt);
        // The stepped group: the target, else the first holder (0: none). A step of no
        // group adds its products (zeros) to its lane's own spare row: one shared row
        // would chain the additions of neighbouring lanes one after another.
        const M gp = gt != 0 ? gt : first;
        M spare;
        for (int l = 0; l < W; ++l) spare[l] = (long long)k + 1 + l;
        const M row_p = gp != 0 ? gp : spare;
        const M same = first == gp;
        const D held = load<W>(&shares[s]);
        const D zero = splat<W>(0.0);
        const D current = same ? held : zero, leaving = same ? zero : held;
        const D pcv = load<W>(x.pc + s);
        const M buy_ok = load_flags<W>(x.cb + s), sell_barred = load_flags<W>(x.cs + s);
        const LaneMarket<W> market{load<W>(x.cl + s), load<W>(x.bp + s), load<W>(x.sp + s), load<W>(x.sf + s),
                                   load<W>(x.dv + s)};
        D p[kTerms], q[kTerms] = {};
        const D after = lane_trade<W>(lane_target<W>(w, pcv, r), current, buy_ok, sell_barred, pcv, market, r, p);
        // The first holder leaves (another group targets its stock): its step towards
        // nothing, its products into the lane's spare row where it does not.
        const M second = leaving != 0.0;
        M row_2 = spare, lead = gp, bad = first < 0;
        D kept = after;
        const bool two = any_lane(second);
        if (two) {
            const D left = lane_trade<W>(zero, leaving, buy_ok, sell_barred, pcv, market, r, q);
            bad |= (after != 0.0) & (left != 0.0);  // both keep shares: a further holder
            row_2 = second ? first : spare;
            lead = left != 0.0 ? first : gp;
            kept = left != 0.0 ? left : after;
        }
        narrow(&group[s], kept != 0.0 ? lead : M{});
        store<W>(&shares[s], kept);
        // Per stock a vector of its products: the stepped group's, and (where there is
        // one) the leaving holder's, whose buy product is always a zero.
        D stepped[W], left[W];
        {
            D tile[W];
            for (int t = 0; t < W; ++t) tile[t] = t < (int)kTerms ? p[t] : zero;
            transpose<W>(tile, stepped);
            if (two) {
                for (int t = 0; t < W; ++t) tile[t] = t + kLeftFrom < (int)kTerms ? q[t + kLeftFrom] : zero;
                transpose<W>(tile, left);
            }
        }
        // With four lanes the fifth product is added on its own, where there is one.
        const bool fifth = W < (int)kTerms && any_lane(p[kTerms - 1] != 0.0);
        double *const sums = acc.data();
        auto add = [&](int l) {
            double *a = sums + (std::size_t)row_p[l] * kRow;
            store<W>(a, load<W>(a) + stepped[l]);
            if (W < (int)kTerms && fifth) a[kTerms - 1] += p[kTerms - 1][l];
            if (two) {
                double *b = sums + (std::size_t)row_2[l] * kRow + kLeftFrom;
                store<W>(b, load<W>(b) + left[l]);
            }
        };
        if (!any_lane(bad)) {
            for (int l = 0; l < W; ++l) add(l);
            return;
        }
        for (int l = 0; l < W; ++l) {
            if (!bad[l]) {
                add(l);
                continue;
            }
            group[s + (std::size_t)l] = (std::int32_t)first[l];  // as it was: the scalar step starts there
            shares[s + (std::size_t)l] = held[l];
            stock_step(i, s + (std::size_t)l);
        }
    }

    /// W 32-bit integers (labels, groups) at p as 64-bit lanes.
    TESSARY_INLINE static typename kernels::simd::Vec<W>::m widen(const std::int32_t *p) {
        using M = typename kernels::simd::Vec<W>::m;
#if defined(__AVX512F__)
        if constexpr (W == 8)
            return (M)_mm512_maskz_cvtepi32_epi64((__mmask8)0xFF, _mm256_loadu_si256((const __m256i *)p));
#endif
#if defined(__AVX2__)
        if constexpr (W == 4) return (M)_mm256_cvtepi32_epi64(_mm_loadu_si128((const __m128i *)p));
#endif
        typedef std::int32_t I __attribute__((vector_size(W * 4)));
        I v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(v, M);
    }

    /// 64-bit lanes (small groups) stored at p as W 32-bit integers.
    TESSARY_INLINE static void narrow(std::int32_t *p, typename kernels::simd::Vec<W>::m x) {
#if defined(__AVX512F__)
        if constexpr (W == 8)
            return _mm256_storeu_si256((__m256i *)p, _mm512_maskz_cvtepi64_epi32((__mmask8)0xFF, (__m512i)x));
#endif
#if defined(__AVX2__)
        if constexpr (W == 4) {
            const __m256i low = _mm256_permutevar8x32_epi32((__m256i)x, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
            return _mm_storeu_si128((__m128i *)p, _mm256_castsi256_si128(low));
        }
#endif
        for (int l = 0; l < W; ++l) p[l] = (std::int32_t)x[l];
    }

    /// The day's weight of each lane's target group (of row 0: none, weight 0): with
    /// at most seven groups (AVX2) or fifteen (AVX-512) picked from registers, else
    /// gathered.
    TESSARY_INLINE typename kernels::simd::Vec<W>::d lookup(typename kernels::simd::Vec<W>::m gt) const {
        using D = typename kernels::simd::Vec<W>::d;
        const double *t = table.data();
#if defined(__AVX512F__)
        if constexpr (W == 8) {
            if (k < 16)
                return (D)_mm512_permutex2var_pd(_mm512_loadu_pd(t), (__m512i)gt, _mm512_loadu_pd(t + 8));
            return (D)_mm512_mask_i64gather_pd(_mm512_setzero_pd(), (__mmask8)0xFF, (__m512i)gt, t, 8);
        }
#endif
#if defined(__AVX2__)
        if constexpr (W == 4) {
            if (k < 8) {
                // Each lane's pair of 32-bit halves picked from four doubles at a time.
                const __m256i two = _mm256_slli_epi64(_mm256_and_si256((__m256i)gt, _mm256_set1_epi64x(3)), 1);
                const __m256i pick =
                    _mm256_or_si256(two, _mm256_slli_epi64(_mm256_add_epi64(two, _mm256_set1_epi64x(1)), 32));
                const __m256i first4 = _mm256_loadu_si256((const __m256i *)t);
                const __m256i next4 = _mm256_loadu_si256((const __m256i *)(t + 4));
                const __m256d low = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(first4, pick));
                const __m256d high = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(next4, pick));
                const __m256i upper = _mm256_cmpgt_epi64((__m256i)gt, _mm256_set1_epi64x(3));
                return (D)_mm256_blendv_pd(low, high, _mm256_castsi256_pd(upper));
            }
            return (D)_mm256_i64gather_pd(t, (__m256i)gt, 8);
        }
#endif
        D w;
        for (int l = 0; l < W; ++l) w[l] = t[(std::size_t)gt[l]];
        return w;
    }

    // The leaving holder's products from this term on fill its stock's vector (with
    // four lanes, all four that can be other than zero).
    static constexpr int kLeftFrom = W < (int)kTerms ? 1 : 0;

    TESSARY_INLINE static bool any_lane(typename kernels::simd::Vec<W>::m x) {
        return !kernels::simd::all_lanes<W>(x == 0);
    }
#else
    void vector_step(std::size_t, const DayRows &, std::size_t) {}
#endif
};

}  // namespace

/// The pass at width 1 (label_days.cpp), 4 (AVX2) and 8 (AVX-512).
void label_days_1(const LabelPassInputs &in, double *daily_cash);
void label_days_4(const LabelPassInputs &in, double *daily_cash);
void label_days_8(const LabelPassInputs &in, double *daily_cash);

}  // namespace tessary::portfolios::label_detail
