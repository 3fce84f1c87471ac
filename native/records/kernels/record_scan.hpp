// The idle scan of the recording pass: which cells need work.
//
// A stock that is not held and has no positive weight needs no work on that day,
// unless its dividend is infinite (0 x inf is NaN, which must reach the day's sum).
// The scan reads only weights and dividends, eight values at a time along whichever
// axis each of them is contiguous.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/daystep/vwap.hpp"

namespace tessary::kernels::record_detail {

/// Days per tile of the walk date by date.
constexpr std::size_t kTileDays = 8;
/// Stocks per bit word, also the block of the engine's per-block sums.
constexpr std::size_t kSumBlock = 64;

/// What makes a cell busy: a weight above zero, or a dividend of either infinity.
enum class Test { kPositive, kInfinite };

template <Test T>
inline bool hit(double x) {
    if constexpr (T == Test::kPositive)
        return x > 0.0;  // false for NaN
    else
        return std::fabs(x) == HUGE_VAL;
}

/// Bit k set for each of the eight values p[0..8) that passes the test.
template <Test T>
inline unsigned mask8(const double *p) {
#if defined(__SSE2__)
    // Two values per compare; NaN compares false in both tests.
    const __m128d zero = _mm_setzero_pd(), inf = _mm_set1_pd(HUGE_VAL), sign = _mm_set1_pd(-0.0);
    unsigned m = 0;
    for (int k = 0; k < 8; k += 2) {
        const __m128d x = _mm_loadu_pd(p + k);
        const __m128d c = T == Test::kPositive ? _mm_cmpgt_pd(x, zero) : _mm_cmpeq_pd(_mm_andnot_pd(sign, x), inf);
        m |= (unsigned)_mm_movemask_pd(c) << k;
    }
    return m;
#else
    unsigned m = 0;
    for (int k = 0; k < 8; ++k) m |= (unsigned)hit<T>(p[k]) << k;
    return m;
#endif
}

/// True when any of eight adjacent weights is above zero or any of the eight
/// dividends beside them infinite.
inline bool any_busy8(const double *weight, const double *dividend) {
    return (mask8<Test::kPositive>(weight) | mask8<Test::kInfinite>(dividend)) != 0;
}

/// The bit words of a tile of days over stocks s0 .. s1 - 1 (s0 a multiple of 64):
/// busy[k * blocks + b], bit j, for day i0 + k and stock s0 + 64 b + j, where
/// blocks = ceil((s1 - s0) / 64). Sets the bits of cells on days i0 .. i0 + n - 1
/// (n at most kTileDays) whose weight is above zero or whose dividend is infinite;
/// `busy` must start cleared.
void mark_busy(const VwapInputs &in, std::size_t i0, std::size_t n, std::size_t s0, std::size_t s1,
               std::uint64_t *busy);

/// Per group of eight of the `n` (at most 512) adjacent days from `weight` and
/// `dividend` (bit g for days 8g .. 8g + 7, the last group possibly shorter):
/// whether any weight is above zero or any dividend infinite. One tight pass down
/// the two columns, apart from any walk, so that the loads of many groups are in
/// flight at once. The same days of the next stock's columns (`next_weight`,
/// `next_dividend`, or null) are asked for meanwhile, a line per group: where a
/// scan reads a few kilobytes of each column, the hardware does not see the jump
/// to the next one coming.
std::uint64_t busy_groups(const double *weight, const double *dividend, std::size_t n, const double *next_weight,
                          const double *next_dividend);

}  // namespace tessary::kernels::record_detail
