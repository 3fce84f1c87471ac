// CRC-32C (Castagnoli): the SSE4.2 CRC32 instruction on three interleaved streams,
// stitched together with precomputed "append n zero bytes" operators, and a portable
// slicing-by-8 table version for other processors.
#include "store/kernels/crc32c.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <nmmintrin.h>
#define TESSARY_CRC_X86 1
#endif

namespace tessary::store {
namespace {

constexpr std::uint32_t POLY = 0x82F63B78u;  // reflected Castagnoli polynomial
// Bytes per stream of the interleaved loops: three streams hide the instruction's
// latency of three cycles; the long blocks run at one instruction per cycle.
constexpr std::size_t LONG_BLOCK = 8192;
constexpr std::size_t SHORT_BLOCK = 256;

std::uint32_t matrix_times(const std::uint32_t *mat, std::uint32_t vec) {
    std::uint32_t sum = 0;
    while (vec) {
        if (vec & 1) sum ^= *mat;
        vec >>= 1;
        ++mat;
    }
    return sum;
}

void matrix_square(std::uint32_t *square, const std::uint32_t *mat) {
    for (int n = 0; n < 32; ++n) square[n] = matrix_times(mat, mat[n]);
}

/// The GF(2) operator that appends `len` zero bytes (a power of two) to a raw CRC.
void zeros_operator(std::uint32_t *even, std::size_t len) {
    std::uint32_t odd[32];
    odd[0] = POLY;
    std::uint32_t row = 1;
    for (int n = 1; n < 32; ++n) {
        odd[n] = row;
        row <<= 1;
    }
    matrix_square(even, odd);  // two zero bits
    matrix_square(odd, even);  // four zero bits
    do {                       // the first square gives one zero byte
        matrix_square(even, odd);
        len >>= 1;
        if (len == 0) return;
        matrix_square(odd, even);
        len >>= 1;
    } while (len);
    std::memcpy(even, odd, sizeof odd);
}

struct Tables {
    std::uint32_t bytes[8][256];      // slicing-by-8
    std::uint32_t long_zeros[4][256];  // appending LONG_BLOCK zero bytes, byte by byte of the CRC
    std::uint32_t short_zeros[4][256];

    static void zeros_tables(std::uint32_t out[4][256], std::size_t len) {
        std::uint32_t op[32];
        zeros_operator(op, len);
        for (std::uint32_t n = 0; n < 256; ++n) {
            for (int k = 0; k < 4; ++k) out[k][n] = matrix_times(op, n << (8 * k));
        }
    }

    Tables() {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t crc = n;
            for (int k = 0; k < 8; ++k) crc = crc & 1 ? (crc >> 1) ^ POLY : crc >> 1;
            bytes[0][n] = crc;
        }
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t crc = bytes[0][n];
            for (int k = 1; k < 8; ++k) {
                crc = bytes[0][crc & 0xff] ^ (crc >> 8);
                bytes[k][n] = crc;
            }
        }
        zeros_tables(long_zeros, LONG_BLOCK);
        zeros_tables(short_zeros, SHORT_BLOCK);
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

std::uint64_t load64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

#ifdef TESSARY_CRC_X86
std::uint32_t shift(const std::uint32_t zeros[4][256], std::uint32_t crc) {
    return zeros[0][crc & 0xff] ^ zeros[1][(crc >> 8) & 0xff] ^ zeros[2][(crc >> 16) & 0xff] ^ zeros[3][crc >> 24];
}

/// Three streams of `block` bytes each, combined into crc0; returns the new raw CRC.
__attribute__((target("sse4.2"))) std::uint64_t three_streams(std::uint64_t crc0, const unsigned char *buf,
                                                                std::size_t block,
                                                                const std::uint32_t zeros[4][256]) {
    std::uint64_t crc1 = 0, crc2 = 0;
    const unsigned char *end = buf + block;
    do {
        crc0 = _mm_crc32_u64(crc0, load64(buf));
        crc1 = _mm_crc32_u64(crc1, load64(buf + block));
        crc2 = _mm_crc32_u64(crc2, load64(buf + 2 * block));
        buf += 8;
    } while (buf < end);
    crc0 = shift(zeros, static_cast<std::uint32_t>(crc0)) ^ crc1;
    return shift(zeros, static_cast<std::uint32_t>(crc0)) ^ crc2;
}

__attribute__((target("sse4.2"))) std::uint32_t crc32c_hardware(std::uint32_t crc, const unsigned char *buf,
                                                                 std::size_t len) {
    const Tables &t = tables();
    std::uint64_t crc0 = crc ^ 0xffffffffu;
    while (len && (reinterpret_cast<std::uintptr_t>(buf) & 7)) {
        crc0 = _mm_crc32_u8(static_cast<std::uint32_t>(crc0), *buf++);
        --len;
    }
    while (len >= 3 * LONG_BLOCK) {
        crc0 = three_streams(crc0, buf, LONG_BLOCK, t.long_zeros);
        buf += 3 * LONG_BLOCK;
        len -= 3 * LONG_BLOCK;
    }
    while (len >= 3 * SHORT_BLOCK) {
        crc0 = three_streams(crc0, buf, SHORT_BLOCK, t.short_zeros);
        buf += 3 * SHORT_BLOCK;
        len -= 3 * SHORT_BLOCK;
    }
    for (; len >= 8; len -= 8, buf += 8) crc0 = _mm_crc32_u64(crc0, load64(buf));
    for (; len; --len) crc0 = _mm_crc32_u8(static_cast<std::uint32_t>(crc0), *buf++);
    return static_cast<std::uint32_t>(crc0) ^ 0xffffffffu;
}

bool has_sse42() {
    static const bool yes = __builtin_cpu_supports("sse4.2");
    return yes;
}
#endif

}  // namespace

std::uint32_t crc32c_portable(std::uint32_t crc, const unsigned char *buf, std::size_t len) {
    const Tables &t = tables();
    std::uint32_t c = crc ^ 0xffffffffu;
    while (len && (reinterpret_cast<std::uintptr_t>(buf) & 7)) {
        c = t.bytes[0][(c ^ *buf++) & 0xff] ^ (c >> 8);
        --len;
    }
    for (; std::endian::native == std::endian::little && len >= 8; len -= 8, buf += 8) {
        std::uint64_t w = load64(buf);
        std::uint32_t lo = static_cast<std::uint32_t>(w) ^ c;  // little-endian byte order
        std::uint32_t hi = static_cast<std::uint32_t>(w >> 32);
        c = t.bytes[7][lo & 0xff] ^ t.bytes[6][(lo >> 8) & 0xff] ^ t.bytes[5][(lo >> 16) & 0xff] ^
            t.bytes[4][lo >> 24] ^ t.bytes[3][hi & 0xff] ^ t.bytes[2][(hi >> 8) & 0xff] ^
            t.bytes[1][(hi >> 16) & 0xff] ^ t.bytes[0][hi >> 24];
    }
    for (; len; --len) c = t.bytes[0][(c ^ *buf++) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

bool crc32c_uses_hardware() {
#ifdef TESSARY_CRC_X86
    return has_sse42();
#else
    return false;
#endif
}

std::uint32_t crc32c_extend(std::uint32_t crc, const unsigned char *data, std::size_t n) {
#ifdef TESSARY_CRC_X86
    if (has_sse42()) return crc32c_hardware(crc, data, n);
#endif
    return crc32c_portable(crc, data, n);
}

}  // namespace tessary::store

namespace tessary::store {

std::uint32_t crc32c_combine(std::uint32_t crc1, std::uint32_t crc2, std::size_t len2) {
    if (len2 == 0) return crc1;
    std::uint32_t even[32], odd[32];
    odd[0] = POLY;
    std::uint32_t row = 1;
    for (int n = 1; n < 32; ++n) {
        odd[n] = row;
        row <<= 1;
    }
    matrix_square(even, odd);  // two zero bits
    matrix_square(odd, even);  // four zero bits
    do {                       // one zero byte, then doubling, applied per bit of len2
        matrix_square(even, odd);
        if (len2 & 1) crc1 = matrix_times(even, crc1);
        len2 >>= 1;
        if (len2 == 0) break;
        matrix_square(odd, even);
        if (len2 & 1) crc1 = matrix_times(odd, crc1);
        len2 >>= 1;
    } while (len2);
    return crc1 ^ crc2;
}

std::uint32_t crc32c_parallel(std::uint32_t crc, const unsigned char *data, std::size_t n, unsigned threads) {
    constexpr std::size_t MIN_PART = 16u << 20;  // below this, a thread costs more than it saves
    std::size_t parts = std::min<std::size_t>(threads, n / MIN_PART);
    if (parts <= 1) return crc32c_extend(crc, data, n);
    const std::size_t step = n / parts;
    std::vector<std::uint32_t> crcs(parts, 0);
    std::vector<std::thread> workers;
    workers.reserve(parts - 1);
    for (std::size_t p = 1; p < parts; ++p) {
        const std::size_t lo = p * step, len = p + 1 == parts ? n - lo : step;
        workers.emplace_back([&crcs, data, lo, len, p] { crcs[p] = crc32c_extend(0, data + lo, len); });
    }
    std::uint32_t out = crc32c_extend(crc, data, step);
    for (auto &w : workers) w.join();
    for (std::size_t p = 1; p < parts; ++p) out = crc32c_combine(out, crcs[p], p + 1 == parts ? n - p * step : step);
    return out;
}

}  // namespace tessary::store
