// Square transposes of W x W doubles held in W vectors, for the passes that turn
// tiles of one memory layout into the other in registers. Internal linkage, as
// everything in simd.hpp (compiled into files built with different instruction sets).
#pragma once

#include "common/simd/simd.hpp"

namespace tessary::kernels::simd {

namespace {

/// b[j][k] = a[k][j] for a 4 x 4 tile.
TESSARY_INLINE void transpose4(const Vec<4>::d *a, Vec<4>::d *b) {
    const Vec<4>::d t0 = shuffle<4, 0, 4, 2, 6>(a[0], a[1]), t1 = shuffle<4, 1, 5, 3, 7>(a[0], a[1]);
    const Vec<4>::d t2 = shuffle<4, 0, 4, 2, 6>(a[2], a[3]), t3 = shuffle<4, 1, 5, 3, 7>(a[2], a[3]);
    b[0] = shuffle<4, 0, 1, 4, 5>(t0, t2);
    b[1] = shuffle<4, 0, 1, 4, 5>(t1, t3);
    b[2] = shuffle<4, 2, 3, 6, 7>(t0, t2);
    b[3] = shuffle<4, 2, 3, 6, 7>(t1, t3);
}

/// b[j][k] = a[k][j] for an 8 x 8 tile: pairs, then quads, then halves exchanged.
TESSARY_INLINE void transpose8(const Vec<8>::d *a, Vec<8>::d *b) {
    Vec<8>::d t[8], u[8];
    for (int k = 0; k < 8; k += 2) {
        t[k] = shuffle<8, 0, 8, 2, 10, 4, 12, 6, 14>(a[k], a[k + 1]);
        t[k + 1] = shuffle<8, 1, 9, 3, 11, 5, 13, 7, 15>(a[k], a[k + 1]);
    }
    for (int h = 0; h < 8; h += 4)
        for (int p = 0; p < 2; ++p) {
            u[h + p] = shuffle<8, 0, 1, 8, 9, 4, 5, 12, 13>(t[h + p], t[h + p + 2]);
            u[h + p + 2] = shuffle<8, 2, 3, 10, 11, 6, 7, 14, 15>(t[h + p], t[h + p + 2]);
        }
    for (int j = 0; j < 4; ++j) {
        b[j] = shuffle<8, 0, 1, 2, 3, 8, 9, 10, 11>(u[j], u[j + 4]);
        b[j + 4] = shuffle<8, 4, 5, 6, 7, 12, 13, 14, 15>(u[j], u[j + 4]);
    }
}

/// b[j][k] = a[k][j] for a W x W tile, W = 4 or 8.
template <int W>
TESSARY_INLINE void transpose(const typename Vec<W>::d *a, typename Vec<W>::d *b) {
    if constexpr (W == 8)
        transpose8(a, b);
    else
        transpose4(a, b);
}

/// The W x W tile of the W rows at p, p + stride, ..., W values each, transposed:
/// b[j] lane k = p[k * stride + j]. Where the instruction set allows, the last
/// exchange of the transpose (of half vectors) is done by the loads themselves, each
/// vector loaded as the halves of two rows: a third fewer shuffles for 8 x 8, half
/// for 4 x 4 (the stage of the day pass transposes every value of its inputs).
template <int W>
TESSARY_INLINE void load_transposed(const double *p, std::ptrdiff_t stride, typename Vec<W>::d *b) {
    using D = typename Vec<W>::d;
#if defined(__AVX512F__)
    if constexpr (W == 8) {
        // r[k]: days 0-3 of rows k and k + 4; r[k + 4]: their days 4-7.
        D r[8];
        for (int k = 0; k < 4; ++k)
            for (int h = 0; h < 2; ++h)
                r[k + 4 * h] = (D)_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(p + k * stride + 4 * h)),
                                                     _mm256_loadu_pd(p + (k + 4) * stride + 4 * h), 1);
        for (int h = 0; h < 8; h += 4) {
            // Pairs of rows, then pairs of pairs, within each half.
            const D t0 = shuffle<8, 0, 8, 2, 10, 4, 12, 6, 14>(r[h], r[h + 1]);
            const D t1 = shuffle<8, 1, 9, 3, 11, 5, 13, 7, 15>(r[h], r[h + 1]);
            const D t2 = shuffle<8, 0, 8, 2, 10, 4, 12, 6, 14>(r[h + 2], r[h + 3]);
            const D t3 = shuffle<8, 1, 9, 3, 11, 5, 13, 7, 15>(r[h + 2], r[h + 3]);
            b[h] = shuffle<8, 0, 1, 8, 9, 4, 5, 12, 13>(t0, t2);
            b[h + 1] = shuffle<8, 0, 1, 8, 9, 4, 5, 12, 13>(t1, t3);
            b[h + 2] = shuffle<8, 2, 3, 10, 11, 6, 7, 14, 15>(t0, t2);
            b[h + 3] = shuffle<8, 2, 3, 10, 11, 6, 7, 14, 15>(t1, t3);
        }
        return;
    }
#endif
#if defined(__AVX2__)
    if constexpr (W == 4) {
        // r[k]: days 0-1 of rows k and k + 2; r[k + 2]: their days 2-3.
        D r[4];
        for (int k = 0; k < 2; ++k)
            for (int h = 0; h < 2; ++h)
                r[k + 2 * h] = (D)_mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p + k * stride + 2 * h)),
                                                       _mm_loadu_pd(p + (k + 2) * stride + 2 * h), 1);
        for (int h = 0; h < 4; h += 2) {
            b[h] = shuffle<4, 0, 4, 2, 6>(r[h], r[h + 1]);
            b[h + 1] = shuffle<4, 1, 5, 3, 7>(r[h], r[h + 1]);
        }
        return;
    }
#endif
    D a[W];
    for (int k = 0; k < W; ++k) a[k] = load<W>(p + k * stride);
    transpose<W>(a, b);
}

}  // namespace

}  // namespace tessary::kernels::simd
