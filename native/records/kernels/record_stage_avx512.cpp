// A group's staged records put onto the tables in date order, with AVX-512 (see
// StagedTable): the walk leaves each stock's eight days of a column as one vector,
// so a block of eight stocks is an 8 x 8 matrix of days by stocks; transposed, its
// rows are the days, and each day's records are the lanes of its row that keep one,
// compressed and stored at the end of that day's run. Runs are written day after
// day, each column of a day in one stretch: writing all eight days of a block at
// once would keep eight times as many streams of partly written lines open.
//
// Built with AVX-512 flags (see CMakeLists.txt); only called where the processor has
// them. Nothing here is inline with external linkage.
#include <immintrin.h>

#include <cstring>

#include "common/simd/simd.hpp"
#include "records/kernels/record_walks.hpp"

namespace tessary::kernels::record_detail {

namespace {

/// The 8 x 8 bit matrix of `x` (bit c of byte r) transposed (to bit r of byte c).
TESSARY_INLINE std::uint64_t transpose_bits(std::uint64_t x) {
    // Swaps the off-diagonal bits of 2 x 2, then 4 x 4, then 8 x 8 blocks.
    std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    x ^= t ^ (t << 28);
    return x;
}

/// Eight vectors of eight values transposed: lane k of r[e] goes to lane e of r[k].
TESSARY_INLINE void transpose8(__m512d r[8]) {
    // Pairs of values, then pairs of 128-bit lanes, then halves.
    const __m512d t0 = _mm512_unpacklo_pd(r[0], r[1]), t1 = _mm512_unpackhi_pd(r[0], r[1]);
    const __m512d t2 = _mm512_unpacklo_pd(r[2], r[3]), t3 = _mm512_unpackhi_pd(r[2], r[3]);
    const __m512d t4 = _mm512_unpacklo_pd(r[4], r[5]), t5 = _mm512_unpackhi_pd(r[4], r[5]);
    const __m512d t6 = _mm512_unpacklo_pd(r[6], r[7]), t7 = _mm512_unpackhi_pd(r[6], r[7]);
    const __m512d u0 = _mm512_shuffle_f64x2(t0, t2, 0x88), u1 = _mm512_shuffle_f64x2(t0, t2, 0xDD);
    const __m512d u2 = _mm512_shuffle_f64x2(t4, t6, 0x88), u3 = _mm512_shuffle_f64x2(t4, t6, 0xDD);
    const __m512d u4 = _mm512_shuffle_f64x2(t1, t3, 0x88), u5 = _mm512_shuffle_f64x2(t1, t3, 0xDD);
    const __m512d u6 = _mm512_shuffle_f64x2(t5, t7, 0x88), u7 = _mm512_shuffle_f64x2(t5, t7, 0xDD);
    r[0] = _mm512_shuffle_f64x2(u0, u2, 0x88);
    r[4] = _mm512_shuffle_f64x2(u0, u2, 0xDD);
    r[2] = _mm512_shuffle_f64x2(u1, u3, 0x88);
    r[6] = _mm512_shuffle_f64x2(u1, u3, 0xDD);
    r[1] = _mm512_shuffle_f64x2(u4, u6, 0x88);
    r[5] = _mm512_shuffle_f64x2(u4, u6, 0xDD);
    r[3] = _mm512_shuffle_f64x2(u5, u7, 0x88);
    r[7] = _mm512_shuffle_f64x2(u5, u7, 0xDD);
}

/// The first `count` lanes (count at most 8).
TESSARY_INLINE __mmask8 first_lanes(unsigned count) { return (__mmask8)((1u << count) - 1); }

/// One staged table of entries 0 .. count of `list` over days i0 .. i0 + n - 1 onto
/// the end of `out`, day after day; its entries cleared.
template <std::size_t N>
void flush_table(RecordTable<N> &out, StagedTable<N> &st, GroupStage &g, const std::uint32_t *list,
                 std::size_t count, std::size_t i0, std::size_t n, std::size_t days, std::size_t stocks) {
    const std::size_t blocks = (count + 7) / 8;
    std::uint8_t *keep = st.keep.data(), *sell = st.sell.data();
    // The entries of the last block past the list keep nothing. (Plain loops: a
    // library template instantiated here with AVX-512 could be the copy the linker
    // keeps for every file.)
    for (std::size_t e = count; e < 8 * blocks; ++e) keep[e] = sell[e] = 0;

    // Per block, its stocks that keep a record on each day (byte k for day k), and
    // those of them that sell; each column's block transposed in place.
    std::uint8_t *kept = g.day_keep.data(), *sold = g.day_sell.data();
    std::size_t per_day[8] = {};
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint64_t k8, s8;
        std::memcpy(&k8, keep + 8 * b, 8);
        std::memcpy(&s8, sell + 8 * b, 8);
        k8 = transpose_bits(k8);
        s8 = transpose_bits(s8);
        std::memcpy(kept + 8 * b, &k8, 8);
        std::memcpy(sold + 8 * b, &s8, 8);
        for (std::size_t k = 0; k < 8; ++k) per_day[k] += (std::size_t)__builtin_popcount(kept[8 * b + k]);
        for (std::size_t c = 0; c < N; ++c) {
            double *v = st.value[c].data() + 64 * b;
            __m512d r[8];
            for (std::size_t e = 0; e < 8; ++e) r[e] = _mm512_loadu_pd(v + 8 * e);
            transpose8(r);
            for (std::size_t k = 0; k < 8; ++k) _mm512_storeu_pd(v + 8 * k, r[k]);
        }
    }
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k) total += per_day[k];
    if (total == 0) return;
    reserve_more(out, total, i0 + n, days, stocks);

    std::size_t at = out.size;
    std::int32_t *day = out.day.data(), *stock = out.stock.data();
    std::uint8_t *tag = out.tag.data();
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t r = 0; r < per_day[k]; ++r) day[at + r] = (std::int32_t)(i0 + k);
        for (std::size_t b = 0; b < blocks; ++b) {
            const __mmask8 m = kept[8 * b + k];
            if (m == 0) continue;
            const unsigned records = (unsigned)__builtin_popcount(m);
            // Masked stores of the records only: a whole vector stored would reach
            // into the next day's run, written already.
            const __mmask8 first = first_lanes(records);
            for (std::size_t c = 0; c < N; ++c)
                _mm512_mask_storeu_pd(out.value[c].data() + at, first,
                                      _mm512_maskz_compress_pd(m, _mm512_loadu_pd(st.value[c].data() + 64 * b + 8 * k)));
            const std::size_t listed = count - 8 * b;
            const __m256i ids = _mm256_maskz_loadu_epi32(first_lanes(listed < 8 ? (unsigned)listed : 8u), list + 8 * b);
            _mm256_mask_storeu_epi32(stock + at, first, _mm256_maskz_compress_epi32(m, ids));
            if (out.tagged) {
                const __m256i side = _mm256_mask_blend_epi32(sold[8 * b + k], _mm256_set1_epi32(kBuy),
                                                             _mm256_set1_epi32(kSell));
                _mm256_mask_cvtepi32_storeu_epi8(tag + at, first, _mm256_maskz_compress_epi32(m, side));
            }
            at += records;
        }
    }
    out.size = at;
}

}  // namespace

void flush_group_wide(VwapRecords &out, GroupStage &stage, const std::uint32_t *list, std::size_t count,
                      std::size_t i0, std::size_t n, VwapRecords &tile, std::size_t days, std::size_t stocks) {
    flush_table(out.trades, stage.trades, stage, list, count, i0, n, days, stocks);
    flush_table(out.positions, stage.positions, stage, list, count, i0, n, days, stocks);
    flush_table(out.pnl, stage.pnl, stage, list, count, i0, n, days, stocks);
    // Refusals, few, come stock after stock: picked out day after day.
    RecordTable<1> &from = tile.blocked;
    if (from.size != 0) {
        RecordTable<1> &to = out.blocked;
        reserve_more(to, from.size, i0 + n, days, stocks);
        std::size_t at = to.size;
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t r = 0; r < from.size; ++r)
                if ((std::size_t)from.day.data()[r] == i0 + k) {
                    to.day.data()[at] = from.day.data()[r];
                    to.stock.data()[at] = from.stock.data()[r];
                    to.tag.data()[at] = from.tag.data()[r];
                    to.value[0].data()[at] = from.value[0].data()[r];
                    ++at;
                }
        to.size = at;
        from.size = 0;
    }
}

}  // namespace tessary::kernels::record_detail
