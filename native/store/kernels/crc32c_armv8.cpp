// The aarch64 CRC-32C kernel of the CRC32C instructions (this file is built with them;
// its function runs only where the processor has them).
#if defined(__aarch64__)

#include <arm_acle.h>

#include "store/kernels/crc32c_raw.hpp"

namespace tessary::store::raw {
namespace {

struct Armv8 {
    static std::uint32_t word(std::uint32_t crc, std::uint64_t w) { return __crc32cd(crc, w); }
    static std::uint32_t byte(std::uint32_t crc, unsigned char b) { return __crc32cb(crc, b); }
};

}  // namespace

std::uint32_t armv8(std::uint32_t crc, const unsigned char *p, std::size_t n) { return three_streams<Armv8>(crc, p, n); }

}  // namespace tessary::store::raw

#endif
