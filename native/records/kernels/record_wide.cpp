// The four-stock step of the recording pass (see record_wide.hpp).
//
// This file is built with the baseline flags: only the functions marked for AVX2
// below use it, so that no inline function this file shares with the others (the
// table cursors, the standard library) can be compiled with AVX2 here and picked by
// the linker for code that runs on processors without it.
#include "records/kernels/record_wide.hpp"

#include <cfloat>
#include <cstdlib>
#include <cstring>

#include "common/simd/simd_choice.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TESSARY_WIDE_STEP 1
#include <immintrin.h>
#endif

namespace tessary::kernels::record_detail {

#if TESSARY_WIDE_STEP

bool wide_step_available() { return simd_lanes() >= 4; }

namespace {

#define WIDE [[gnu::target("avx2"), gnu::always_inline]] inline

/// Per mask of kept lanes: the 32-bit lane indices that move the kept doubles of a
/// vector, in order, to its front.
struct Compress {
    alignas(32) std::int32_t index[16][8];
    constexpr Compress() : index{} {
        for (int m = 0; m < 16; ++m) {
            int out = 0;
            for (int l = 0; l < 4; ++l)
                if (m >> l & 1) {
                    index[m][2 * out] = 2 * l;
                    index[m][2 * out + 1] = 2 * l + 1;
                    ++out;
                }
            for (; out < 4; ++out) index[m][2 * out] = index[m][2 * out + 1] = 0;
        }
    }
};
constexpr Compress kCompress;

/// Per mask of kept lanes: the 32-bit lane indices that move the kept lanes of a
/// four-lane integer vector to its front; and per mask and per set of selling lanes,
/// the side bytes of the kept lanes, in order, as one 32-bit word.
struct CompressNarrow {
    alignas(16) std::int32_t index[16][4];
    std::uint32_t sides[16][16];
    constexpr CompressNarrow() : index{}, sides{} {
        for (int m = 0; m < 16; ++m) {
            int out = 0;
            for (int l = 0; l < 4; ++l)
                if (m >> l & 1) index[m][out++] = l;
            for (int sell = 0; sell < 16; ++sell) {
                std::uint32_t word = 0;
                for (int k = 0, l = 0; l < 4; ++l)
                    if (m >> l & 1) word |= (std::uint32_t)((sell >> l & 1) ? kSell : kBuy) << (8 * k++);
                sides[m][sell] = word;
            }
        }
    }
};
constexpr CompressNarrow kCompressNarrow;

/// The day `d` in four slots from `day`, the stocks of `stock` set in `mask` in order
/// from `stock_to`; the count of kept lanes.
WIDE unsigned put_keys(std::int32_t *day, std::int32_t *stock_to, __m128i stock, std::int32_t d, unsigned mask) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(day), _mm_set1_epi32(d));
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i *>(kCompressNarrow.index[mask]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(stock_to),
                     _mm_castps_si128(_mm_permutevar_ps(_mm_castsi128_ps(stock), order)));
    return (unsigned)__builtin_popcount(mask);
}

/// The lanes of `v` set in `mask` stored in order from `to` (four doubles are
/// written; the slots past the kept ones are overwritten by the next records).
WIDE void put_kept(double *to, __m256d v, unsigned mask) {
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i *>(kCompress.index[mask]));
    _mm256_storeu_pd(to, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(v), order)));
}

/// The values at row[j[0..4)], as one vector.
WIDE __m256d load4(const double *row, const int *j) {
    const __m128d lo = _mm_loadh_pd(_mm_load_sd(row + j[0]), row + j[1]);
    const __m128d hi = _mm_loadh_pd(_mm_load_sd(row + j[2]), row + j[3]);
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
}

// The two NaN replacements below are those of simd.hpp, in AVX2 intrinsics: that
// header's generic vectors cannot be handed to its functions from a file built
// without AVX (clang refuses the changed calling convention).

/// numpy.nan_to_num: NaN -> 0, +-inf -> +-DBL_MAX.
WIDE __m256d nan_to_num4(__m256d x) {
    const __m256d y = _mm256_andnot_pd(_mm256_cmp_pd(x, x, _CMP_UNORD_Q), x);
    return _mm256_min_pd(_mm256_max_pd(y, _mm256_set1_pd(-DBL_MAX)), _mm256_set1_pd(DBL_MAX));
}

/// NaN replaced by `value`.
WIDE __m256d nan_as4(__m256d x, double value) {
    return _mm256_blendv_pd(x, _mm256_set1_pd(value), _mm256_cmp_pd(x, x, _CMP_UNORD_Q));
}

/// `x` where `m`, else +0.
WIDE __m256d only4(__m256d m, __m256d x) { return _mm256_and_pd(m, x); }

/// Lanes set in a compare mask, as four bits.
WIDE unsigned bits4(__m256d m) { return (unsigned)_mm256_movemask_pd(m); }

}  // namespace

[[gnu::target("avx2")]] std::uint64_t step_stocks_wide(const UnitInputs<1> &in, const PassRates &p, std::size_t i,
                                                        std::size_t s0, std::uint64_t word, double *holding,
                                                        double *acc, Writers &w, DayTotals &day) {
    // The day's rows from the block's first stock on.
    auto at = [&](const auto &v) { return v.data + ((std::ptrdiff_t)i * v.stride + (std::ptrdiff_t)s0); };
    const double *signal = at(in.signal), *prev_close = at(in.prev_close), *close_row = at(in.close);
    const double *buy_row = at(in.buy_price), *sell_row = at(in.sell_price), *split_row = at(in.split);
    const double *dividend_row = at(in.dividend);
    const std::uint8_t *can_buy = at(in.can_buy), *cant_sell = at(in.cant_sell);
    const vwap_detail::Rates &r = p.r;
    const __m256d zero = _mm256_setzero_pd(), inf = _mm256_set1_pd(HUGE_VAL);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d money = _mm256_set1_pd(r.money), lot = _mm256_set1_pd(r.lot);
    const __m256d buy_mult = _mm256_set1_pd(r.buy_mult), sell_mult = _mm256_set1_pd(r.sell_mult);
    const __m256d fee = _mm256_set1_pd(p.fee), rule_fee = _mm256_set1_pd(p.rule_fee);
    std::uint64_t held = 0;
    while (word != 0) {
        // The next four stocks of the word (fewer at its end: the last repeated, its
        // lanes then left out of everything).
        int j[4], n = 0;
        for (; n < 4 && word != 0; ++n, word &= word - 1) j[n] = __builtin_ctzll(word);
        for (int l = n; l < 4; ++l) j[l] = j[n - 1];
        const unsigned lanes = (1u << n) - 1;
        const __m256d wt = load4(signal, j);
        const __m256d pc = load4(prev_close, j);
        const __m256d current = load4(holding, j);
        const __m256d buy_ok = _mm256_castsi256_pd(_mm256_set_epi64x(
            -(long long)(can_buy[j[3]] != 0), -(long long)(can_buy[j[2]] != 0), -(long long)(can_buy[j[1]] != 0),
            -(long long)(can_buy[j[0]] != 0)));
        const __m256d barred = _mm256_castsi256_pd(_mm256_set_epi64x(
            -(long long)(cant_sell[j[3]] != 0), -(long long)(cant_sell[j[2]] != 0),
            -(long long)(cant_sell[j[1]] != 0), -(long long)(cant_sell[j[0]] != 0)));

        // Held or wanted: the scalar walk's record_cell; the other lanes are idle
        // (not held, no weight above zero) and take its idle_cell, whose products the
        // full step gives too (signed zeros, and 0 x inf = NaN on an infinite dividend).
        const __m256d wanted = _mm256_cmp_pd(wt, zero, _CMP_GT_OQ);
        const __m256d active = _mm256_or_pd(_mm256_cmp_pd(current, zero, _CMP_NEQ_UQ), wanted);

        const __m256d valid = _mm256_and_pd(
            wanted, _mm256_and_pd(_mm256_cmp_pd(pc, zero, _CMP_GT_OQ), _mm256_cmp_pd(pc, inf, _CMP_LT_OQ)));
        const __m256d raw_lots = _mm256_div_pd(_mm256_mul_pd(money, wt), _mm256_mul_pd(pc, lot));
        const __m256d target =
            only4(valid, _mm256_mul_pd(_mm256_round_pd(raw_lots, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC), lot));
        const __m256d diff = _mm256_sub_pd(target, current);
        const __m256d is_buy = _mm256_cmp_pd(diff, zero, _CMP_GT_OQ), is_sell = _mm256_cmp_pd(diff, zero, _CMP_LT_OQ);
        const __m256d buys = _mm256_and_pd(is_buy, buy_ok), sells = _mm256_andnot_pd(barred, is_sell);
        const __m256d real_buy = only4(buys, diff);
        const __m256d sell = only4(sells, _mm256_xor_pd(diff, sign));
        const __m256d hold = _mm256_sub_pd(current, sell);
        const __m256d after = _mm256_add_pd(hold, real_buy);

        const __m256d close = load4(close_row, j);
        const __m256d buy_price = load4(buy_row, j);
        const __m256d sell_price = load4(sell_row, j);
        const __m256d split = nan_as4(load4(split_row, j), 1.0);
        const __m256d dividend = nan_as4(load4(dividend_row, j), 0.0);
        const __m256d buy_coeff = nan_to_num4(_mm256_sub_pd(close, _mm256_mul_pd(buy_price, buy_mult)));
        const __m256d hold_coeff = nan_to_num4(_mm256_sub_pd(_mm256_mul_pd(split, close), pc));
        const __m256d sell_coeff =
            nan_to_num4(_mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(split, sell_price), sell_mult), pc));
        const __m256d term[kTerms] = {_mm256_mul_pd(real_buy, buy_coeff), _mm256_mul_pd(hold, hold_coeff),
                                      _mm256_mul_pd(hold, dividend), _mm256_mul_pd(sell, sell_coeff),
                                      _mm256_mul_pd(sell, dividend)};

        // The trade: a buy's value is shares x buy price, a sell's shares x split
        // factor x sell price; only sells pay the levy.
        const __m256d traded = _mm256_or_pd(buys, sells);
        const __m256d shares = _mm256_blendv_pd(real_buy, sell, is_sell);
        const __m256d price = _mm256_blendv_pd(buy_price, sell_price, is_sell);
        const __m256d value = _mm256_blendv_pd(_mm256_mul_pd(real_buy, buy_price),
                                               _mm256_mul_pd(_mm256_mul_pd(sell, split), sell_price), is_sell);
        const __m256d commission = _mm256_mul_pd(value, fee);
        const __m256d levy = only4(is_sell, _mm256_mul_pd(value, rule_fee));
        const __m256d is_held = _mm256_cmp_pd(after, zero, _CMP_NEQ_UQ);
        const __m256d position_value = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(hold, split), real_buy), close);
        __m256d all_zero = _mm256_cmp_pd(term[0], zero, _CMP_EQ_OQ);
        for (std::size_t t = 1; t < kTerms; ++t) all_zero = _mm256_and_pd(all_zero, _mm256_cmp_pd(term[t], zero, _CMP_EQ_OQ));

        // The day's totals leave out NaN values (a trade at a missing price).
        const __m256d counted = _mm256_and_pd(traded, _mm256_cmp_pd(value, value, _CMP_ORD_Q));
        const __m256d add_bought = only4(_mm256_andnot_pd(is_sell, counted), value);
        const __m256d add_sold = only4(_mm256_and_pd(is_sell, counted), value);
        const __m256d add_commission =
            only4(_mm256_and_pd(traded, _mm256_cmp_pd(commission, commission, _CMP_ORD_Q)), commission);
        const __m256d add_levy =
            only4(_mm256_and_pd(_mm256_and_pd(traded, is_sell), _mm256_cmp_pd(levy, levy, _CMP_ORD_Q)), levy);

        // Lane after lane in stock order: the holdings, the block sums and the day's
        // totals, as the scalar walk adds them.
        alignas(32) double h[4], x[kTerms][4], add[4][4];
        _mm256_store_pd(h, after);
        for (std::size_t t = 0; t < kTerms; ++t) _mm256_store_pd(x[t], term[t]);
        _mm256_store_pd(add[0], add_bought);
        _mm256_store_pd(add[1], add_sold);
        _mm256_store_pd(add[2], add_commission);
        _mm256_store_pd(add[3], add_levy);
        const unsigned act = bits4(active) & lanes, held_now = bits4(is_held) & lanes;
        for (int l = 0; l < n; ++l) {
            holding[j[l]] = h[l];
            held |= (std::uint64_t)(held_now >> l & 1) << j[l];
            if (act >> l & 1) {
                for (std::size_t t = 0; t < kTerms; ++t) acc[t] += x[t][l];
                day.bought += add[0][l];
                day.sold += add[1][l];
                day.commission += add[2][l];
                day.levy += add[3][l];
                day.held += (held_now >> l & 1) ? 1.0 : 0.0;
            } else if (x[2][l] != x[2][l]) {
                // An idle stock on a day of infinite dividend (0 x inf is NaN, and
                // nothing else makes an idle lane's products NaN): NaN into the
                // dividend sums.
                acc[2] += x[2][l];
                acc[4] += x[4][l];
            }
        }

        // The records, kept lanes moved to the front of each column, in stock order.
        const auto d = (std::int32_t)i;
        const unsigned trade_lanes = bits4(traded) & act, moved = ~bits4(all_zero) & act & 0xF;
        const unsigned position_lanes = held_now & act;
        RecordWriter<5, true> &tw = w.trades;
        put_kept(tw.value[0] + tw.size, shares, trade_lanes);
        put_kept(tw.value[1] + tw.size, price, trade_lanes);
        put_kept(tw.value[2] + tw.size, value, trade_lanes);
        put_kept(tw.value[3] + tw.size, commission, trade_lanes);
        put_kept(tw.value[4] + tw.size, levy, trade_lanes);
        const unsigned sell_lanes = bits4(is_sell);
        const __m128i stock = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(j)),
                                            _mm_set1_epi32((std::int32_t)s0));
        const std::uint32_t sides = kCompressNarrow.sides[trade_lanes][sell_lanes];
        std::memcpy(tw.tag + tw.size, &sides, sizeof sides);
        tw.size += put_keys(tw.day + tw.size, tw.stock + tw.size, stock, d, trade_lanes);
        RecordWriter<2, false> &pw = w.positions;
        put_kept(pw.value[0] + pw.size, after, position_lanes);
        put_kept(pw.value[1] + pw.size, position_value, position_lanes);
        pw.size += put_keys(pw.day + pw.size, pw.stock + pw.size, stock, d, position_lanes);
        RecordWriter<5, false> &nw = w.pnl;
        for (std::size_t t = 0; t < kTerms; ++t) put_kept(nw.value[t] + nw.size, term[t], moved);
        nw.size += put_keys(nw.day + nw.size, nw.stock + nw.size, stock, d, moved);
        // Refused trades are rare: one by one.
        const unsigned refused =
            (bits4(_mm256_andnot_pd(buy_ok, is_buy)) | bits4(_mm256_and_pd(is_sell, barred))) & act;
        if (refused != 0) {
            alignas(32) double wanted_shares[4];
            _mm256_store_pd(wanted_shares, diff);
            for (int l = 0; l < n; ++l)
                if (refused >> l & 1) {
                    const bool sell_side = sell_lanes >> l & 1;
                    w.blocked.put(d, (std::int32_t)(s0 + (std::size_t)j[l]), sell_side ? kSell : kBuy,
                                  {sell_side ? -wanted_shares[l] : wanted_shares[l]}, true);
                }
        }
    }
    return held;
}

#else

bool wide_step_available() { return false; }

std::uint64_t step_stocks_wide(const UnitInputs<1> &, const PassRates &, std::size_t, std::size_t, std::uint64_t,
                               double *, double *, Writers &, DayTotals &) {
    std::abort();  // never called: wide_step_available() is false
}

#endif

}  // namespace tessary::kernels::record_detail
