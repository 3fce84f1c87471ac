// The folding steps of the x86-64 carry-less multiplication kernels, shared by the
// 128-bit and the 256-bit kernel (each file built with its instruction set).
#pragma once

#include <immintrin.h>

#include "store/kernels/crc32c_raw.hpp"

namespace tessary::store::raw {
namespace {

inline __m128i constants128(const std::uint64_t (&k)[2]) {
    return _mm_set_epi64x(static_cast<long long>(k[1]), static_cast<long long>(k[0]));
}

/// A 128-bit lane moved on by the distance of `k`: congruent, modulo P, to the lane
/// followed by that many zero bits.
inline __m128i fold128(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

inline __m128i load128(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

/// The bytes from p on folded into one vector of `V` (a 128- or 256-bit vector of
/// lanes), four vectors side by side, each moved past the other three (`step`) per
/// step, then added up (`join`: one vector on); p and n are left past the vectors'
/// bytes. The register enters as the first four bytes: a register followed by bits
/// is congruent to those bits with the register added to their first 32. n >= 4 vectors.
template <class V>
typename V::Vec fold_four(std::uint32_t crc, const unsigned char *&p, std::size_t &n, const std::uint64_t (&step)[2],
                          const std::uint64_t (&join)[2]) {
    constexpr std::size_t W = sizeof(typename V::Vec);
    const typename V::Vec ks = V::constants(step), kj = V::constants(join);
    typename V::Vec x[4];
    x[0] = V::add(V::load(p), V::first_word(crc));
    for (int i = 1; i < 4; ++i) x[i] = V::load(p + i * W);
    for (p += 4 * W, n -= 4 * W; n >= 4 * W; p += 4 * W, n -= 4 * W)
        for (int i = 0; i < 4; ++i) x[i] = V::add(V::fold(x[i], ks), V::load(p + i * W));
    for (int i = 1; i < 4; ++i) x[0] = V::add(V::fold(x[0], kj), x[i]);
    return x[0];
}

/// 128-bit vectors of one lane.
struct Lanes128 {
    using Vec = __m128i;
    static Vec constants(const std::uint64_t (&k)[2]) { return constants128(k); }
    static Vec load(const unsigned char *p) { return load128(p); }
    static Vec add(Vec a, Vec b) { return _mm_xor_si128(a, b); }
    static Vec fold(Vec x, Vec k) { return fold128(x, k); }
    static Vec first_word(std::uint32_t crc) { return _mm_cvtsi32_si128(static_cast<int>(crc)); }
};

/// The register after the bytes of lane `x` (whose value stands for all bytes so far,
/// the register folded into its first four), then the n bytes at p: the rest of the
/// 16-byte blocks folded in, the lane reduced by the CRC32 instruction, the last
/// bytes added with it.
inline std::uint32_t finish_lane(__m128i x, const unsigned char *p, std::size_t n) {
    const __m128i k128 = constants128(fold_constants().by128);
    for (; n >= 16; n -= 16, p += 16) x = _mm_xor_si128(fold128(x, k128), load128(p));
    std::uint64_t crc = _mm_crc32_u64(0, static_cast<std::uint64_t>(_mm_cvtsi128_si64(x)));
    crc = _mm_crc32_u64(crc, static_cast<std::uint64_t>(_mm_extract_epi64(x, 1)));
    for (; n >= 8; n -= 8, p += 8) crc = _mm_crc32_u64(crc, load64(p));
    for (; n; --n) crc = _mm_crc32_u8(static_cast<std::uint32_t>(crc), *p++);
    return static_cast<std::uint32_t>(crc);
}

}  // namespace
}  // namespace tessary::store::raw
