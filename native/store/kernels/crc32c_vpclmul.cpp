// The x86-64 CRC-32C kernel of 256-bit carry-less multiplication (this file is built
// with AVX2 and VPCLMULQDQ; its function runs only where the processor has both).
#if defined(__x86_64__) || defined(_M_X64)

#include "store/kernels/crc32c_fold.hpp"

namespace tessary::store::raw {
namespace {

/// 256-bit vectors of two lanes.
struct Lanes256 {
    using Vec = __m256i;
    static Vec constants(const std::uint64_t (&k)[2]) { return _mm256_broadcastsi128_si256(constants128(k)); }
    static Vec load(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    static Vec add(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
    static Vec fold(Vec x, Vec k) {
        return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11));
    }
    static Vec first_word(std::uint32_t crc) { return _mm256_setr_epi32(static_cast<int>(crc), 0, 0, 0, 0, 0, 0, 0); }
};

}  // namespace

std::uint32_t vpclmul(std::uint32_t crc, const unsigned char *p, std::size_t n) {
    if (n < 512) return clmul(crc, p, n);
    // Four vectors of two lanes, 128 bytes a step; the two lanes of their sum are
    // then folded into one (16 bytes apart).
    const FoldConstants &k = fold_constants();
    const __m256i x = fold_four<Lanes256>(crc, p, n, k.by1024, k.by256);
    const __m128i lane = _mm_xor_si128(fold128(_mm256_castsi256_si128(x), constants128(k.by128)),
                                       _mm256_extracti128_si256(x, 1));
    return finish_lane(lane, p, n);
}

}  // namespace tessary::store::raw

#endif
