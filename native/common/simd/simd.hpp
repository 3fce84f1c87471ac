// Small portable vector helpers on GCC/Clang vector types, for the kernels' wide
// variants. Everything has internal linkage: the header is compiled into files built
// with different instruction-set flags, and no copy built for a wide instruction set
// may be picked by the linker for another file. Where the generic form compiles badly
// (mask tests, byte widening) the matching intrinsic is used when the file's flags
// allow it.
#pragma once

// x86 intrinsics only where they exist; every use below is also guarded by the
// instruction-set macro of the file's flags, and the generic forms serve elsewhere.
#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <utility>

#define TESSARY_INLINE [[gnu::always_inline]] inline

namespace tessary::kernels::simd {

namespace {

template <int W>
struct Vec {
    typedef double d __attribute__((vector_size(W * 8)));
    typedef long long m __attribute__((vector_size(W * 8)));  // lane masks: all ones or zero
    typedef std::uint8_t b __attribute__((vector_size(W)));
};

template <int W>
TESSARY_INLINE typename Vec<W>::d load(const double *p) {
    typename Vec<W>::d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int W>
TESSARY_INLINE void store(double *p, typename Vec<W>::d v) {
    std::memcpy(p, &v, sizeof v);
}

/// Lanes where the numpy bool bytes at `p` are True (zero extension of the bytes to
/// lanes is a single instruction on the wide targets; the generic conversion is not).
template <int W>
TESSARY_INLINE typename Vec<W>::m load_flags(const std::uint8_t *p) {
    using M = typename Vec<W>::m;
#if defined(__AVX512F__)
    if constexpr (W == 8) {
        long long bytes;
        std::memcpy(&bytes, p, 8);
        return (M)_mm512_maskz_cvtepu8_epi64((__mmask8)0xFF, _mm_cvtsi64_si128(bytes)) != 0;
    }
#endif
#if defined(__AVX2__)
    if constexpr (W == 4) {
        int bytes;
        std::memcpy(&bytes, p, 4);
        return (M)_mm256_cvtepu8_epi64(_mm_cvtsi32_si128(bytes)) != 0;
    }
#endif
    typename Vec<W>::b v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, M) != 0;
}

template <int W>
TESSARY_INLINE typename Vec<W>::d splat(double x) {
    return typename Vec<W>::d{} + x;
}

template <int W>
TESSARY_INLINE typename Vec<W>::d vmax(typename Vec<W>::d a, typename Vec<W>::d b) {
    return a > b ? a : b;
}

template <int W>
TESSARY_INLINE typename Vec<W>::d vmin(typename Vec<W>::d a, typename Vec<W>::d b) {
    return a < b ? a : b;
}

/// Lanes of `a` and `b` picked by constant indices (0 .. W - 1 from `a`, W .. 2W - 1
/// from `b`). GCC before 12 lacks __builtin_shufflevector; its own __builtin_shuffle
/// with a constant mask compiles to the same instructions.
template <int W, int... I>
TESSARY_INLINE typename Vec<W>::d shuffle(typename Vec<W>::d a, typename Vec<W>::d b) {
    static_assert(sizeof...(I) == W);
#if defined(__clang__) || (__GNUC__ >= 12 && !defined(TESSARY_FORCE_BUILTIN_SHUFFLE))
    return __builtin_shufflevector(a, b, I...);
#else
    return __builtin_shuffle(a, b, typename Vec<W>::m{I...});
#endif
}

/// Lane i of the result is lane i - K of `a`; the first K lanes come from `fill`.
template <int W, int K, std::size_t... I>
TESSARY_INLINE typename Vec<W>::d shift_up(typename Vec<W>::d a, typename Vec<W>::d fill, std::index_sequence<I...>) {
    return shuffle<W, ((int)I >= K ? (int)I - K : W + (int)I)...>(a, fill);
}

template <int W, int K>
TESSARY_INLINE typename Vec<W>::d shift_up(typename Vec<W>::d a, typename Vec<W>::d fill) {
    return shift_up<W, K>(a, fill, std::make_index_sequence<W>{});
}

/// floor(x) for x >= 0 (the only values it is used on where the result counts):
/// one rounding instruction where the target has it; otherwise adding and
/// subtracting 2^52 rounds to the nearest integer and one step down fixes a
/// round-up. Larger values are integers already; NaN and +inf come back unchanged.
template <int W>
TESSARY_INLINE typename Vec<W>::d floor_v(typename Vec<W>::d x) {
    using D = typename Vec<W>::d;
#if defined(__AVX512F__)
    if constexpr (W == 8)
        return (D)_mm512_maskz_roundscale_pd((__mmask8)0xFF, (__m512d)x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
#endif
#if defined(__AVX2__)
    if constexpr (W == 4) return (D)_mm256_round_pd((__m256d)x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
#endif
    constexpr double two52 = 4503599627370496.0;
    D t = (x + two52) - two52;
    t = t > x ? t - 1.0 : t;
    return x < two52 ? t : x;
}

// AVX-512's "fix up" instruction replaces special values by a table of 4-bit codes,
// one per input class (QNaN, SNaN, zero, one, -inf, +inf, negative, positive, from
// the lowest nibble up). Code 1 keeps the input, 8 gives +0, 10 gives +1, 14 and 15
// the largest finite value of each sign.
constexpr long long kFixNanToNum = 0x11EF1188;  // NaN -> 0, +-inf -> +-DBL_MAX
constexpr long long kFixNanToOne = 0x111111AA;  // NaN -> 1
constexpr long long kFixNanToZero = 0x11111188;  // NaN -> 0

#if defined(__AVX512F__)
TESSARY_INLINE Vec<8>::d fix_up(Vec<8>::d x, long long table) {
    return (Vec<8>::d)_mm512_fixupimm_pd((__m512d)x, (__m512d)x, _mm512_set1_epi64(table), 0);
}
#endif

/// numpy.nan_to_num(x, nan=0.0): NaN -> 0, +inf -> DBL_MAX, -inf -> -DBL_MAX.
template <int W>
TESSARY_INLINE typename Vec<W>::d nan_to_num_v(typename Vec<W>::d x) {
    using D = typename Vec<W>::d;
#if defined(__AVX512F__)
    if constexpr (W == 8) return fix_up(x, kFixNanToNum);
#endif
    // NaN to 0, then infinities clamped to the largest finite values.
    constexpr double max = __DBL_MAX__;
    const D y = x != x ? splat<W>(0.0) : x;
    return vmin<W>(vmax<W>(y, splat<W>(-max)), splat<W>(max));
}

/// NaN replaced by `value`, which must be 0 or 1 (what the fix-up table offers).
template <int W>
TESSARY_INLINE typename Vec<W>::d nan_as(typename Vec<W>::d x, double value) {
#if defined(__AVX512F__)
    if constexpr (W == 8) return fix_up(x, value == 0.0 ? kFixNanToZero : kFixNanToOne);
#endif
    return x != x ? splat<W>(value) : x;
}

/// Asks the memory system for element `k` of `p`. The address is formed as an
/// integer: near the end of the data it may lie past the array, which is harmless
/// for a prefetch (it never faults) but not allowed for pointer arithmetic.
template <class T>
TESSARY_INLINE void prefetch(const T *p, std::size_t k) {
    __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<std::uintptr_t>(p) + k * sizeof(T)));
}

/// Asks the memory system for the `n` elements from `p` on (a few cache lines).
template <class T>
TESSARY_INLINE void prefetch_run(const T *p, std::size_t n) {
    for (std::size_t k = 0; k < n; k += 64 / sizeof(T)) prefetch(p, k);
}

/// True when every lane of the mask is set: one instruction on the wide targets.
template <int W>
TESSARY_INLINE bool all_lanes(typename Vec<W>::m m) {
#if defined(__AVX512F__)
    if constexpr (W == 8) return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) == 0xFF;
#endif
#if defined(__AVX2__)
    if constexpr (W == 4) return _mm256_movemask_pd((__m256d)m) == 0xF;
#endif
    bool all = true;
    for (int l = 0; l < W; ++l) all = all && m[l] != 0;
    return all;
}

}  // namespace

}  // namespace tessary::kernels::simd
