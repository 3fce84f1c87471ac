// Internals of the CRC-32C kernels. The kernels work on the raw register (the
// checksum without its final inversion); arithmetic on it is that of polynomials over
// GF(2) modulo the Castagnoli polynomial, in the reflected bit order (bit 31 holds
// x^0, bit 0 holds x^31).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace tessary::store::raw {

constexpr std::uint32_t POLY = 0x82F63B78u;  // reflected Castagnoli polynomial, x^32 left out
constexpr std::uint32_t ONE = 0x80000000u;   // the polynomial 1

/// a * b mod P.
std::uint32_t mult_mod(std::uint32_t a, std::uint32_t b);
/// x^n mod P.
std::uint32_t xpow_mod(std::uint64_t n);

/// Appending a fixed number of zero bytes to a register, one table per byte of it.
struct ZeroBytes {
    std::uint32_t table[4][256];
    explicit ZeroBytes(std::size_t bytes);
    std::uint32_t apply(std::uint32_t crc) const {
        return table[0][crc & 0xff] ^ table[1][(crc >> 8) & 0xff] ^ table[2][(crc >> 16) & 0xff] ^
               table[3][crc >> 24];
    }
};

// Bytes per stream of the interleaved instruction loops: three streams hide the
// instruction's latency of three cycles; the long blocks run at one instruction per
// cycle, the short ones finish what is left.
constexpr std::size_t LONG_BLOCK = 8192;
constexpr std::size_t SHORT_BLOCK = 256;
const ZeroBytes &long_block_zeros();
const ZeroBytes &short_block_zeros();

/// The multipliers that move a 128-bit lane of the folding kernels `bits` further on:
/// the low word multiplies the lane's first 8 bytes (x^(bits+31) mod P), the high word
/// its last 8 (x^(bits-33) mod P); one bit of each product is lost to the reflected
/// order, and the 32-bit constants sit in the low bits of their word.
struct FoldConstants {
    std::uint64_t by128[2], by256[2], by512[2], by1024[2];
};
const FoldConstants &fold_constants();

std::uint32_t portable(std::uint32_t crc, const unsigned char *p, std::size_t n);
std::uint32_t sse42(std::uint32_t crc, const unsigned char *p, std::size_t n);
std::uint32_t clmul(std::uint32_t crc, const unsigned char *p, std::size_t n);
std::uint32_t vpclmul(std::uint32_t crc, const unsigned char *p, std::size_t n);
std::uint32_t armv8(std::uint32_t crc, const unsigned char *p, std::size_t n);

inline std::uint64_t load64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

namespace {

/// The loop of the instruction kernels: `Ops::word` adds 8 bytes (read as a
/// little-endian word) to a register, `Ops::byte` one byte. Blocks of three equal
/// streams run side by side; the first stream's register is moved past the other two
/// with the zero-byte tables and they are added.
template <class Ops>
std::uint32_t three_streams(std::uint32_t crc, const unsigned char *p, std::size_t n) {
    for (; n && (reinterpret_cast<std::uintptr_t>(p) & 7); --n) crc = Ops::byte(crc, *p++);
    for (const std::size_t block : {LONG_BLOCK, SHORT_BLOCK}) {
        const ZeroBytes &zeros = block == LONG_BLOCK ? long_block_zeros() : short_block_zeros();
        for (; n >= 3 * block; n -= 3 * block) {
            std::uint32_t c1 = 0, c2 = 0;
            for (const unsigned char *end = p + block; p < end; p += 8) {
                crc = Ops::word(crc, load64(p));
                c1 = Ops::word(c1, load64(p + block));
                c2 = Ops::word(c2, load64(p + 2 * block));
            }
            crc = zeros.apply(zeros.apply(crc) ^ c1) ^ c2;
            p += 2 * block;
        }
    }
    for (; n >= 8; n -= 8, p += 8) crc = Ops::word(crc, load64(p));
    for (; n; --n) crc = Ops::byte(crc, *p++);
    return crc;
}

}  // namespace

}  // namespace tessary::store::raw
