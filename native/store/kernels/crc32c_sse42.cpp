// The x86-64 CRC-32C kernels of SSE4.2 and PCLMULQDQ (this file is built with both
// instruction sets; its functions run only where the processor has them).
#if defined(__x86_64__) || defined(_M_X64)

#include <nmmintrin.h>

#include "store/kernels/crc32c_fold.hpp"

namespace tessary::store::raw {
namespace {

struct Sse42 {
    static std::uint32_t word(std::uint32_t crc, std::uint64_t w) {
        return static_cast<std::uint32_t>(_mm_crc32_u64(crc, w));
    }
    static std::uint32_t byte(std::uint32_t crc, unsigned char b) { return _mm_crc32_u8(crc, b); }
};

}  // namespace

std::uint32_t sse42(std::uint32_t crc, const unsigned char *p, std::size_t n) { return three_streams<Sse42>(crc, p, n); }

std::uint32_t clmul(std::uint32_t crc, const unsigned char *p, std::size_t n) {
    if (n < 256) return sse42(crc, p, n);
    const FoldConstants &k = fold_constants();
    const __m128i x = fold_four<Lanes128>(crc, p, n, k.by512, k.by128);
    return finish_lane(x, p, n);
}

}  // namespace tessary::store::raw

#endif
