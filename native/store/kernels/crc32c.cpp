// CRC-32C (Castagnoli): the portable slicing-by-8 code, the arithmetic that moves and
// combines checksums, the choice of kernel by processor, and hashing on threads. The
// processor-specific kernels are in crc32c_sse42.cpp, crc32c_vpclmul.cpp and
// crc32c_armv8.cpp.
#include "store/kernels/crc32c.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "common/simd/cpu_features.hpp"
#include "common/simd/simd_choice.hpp"
#include "store/kernels/crc32c_raw.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_CRC32
#define HWCAP_CRC32 (1 << 7)
#endif
#endif

namespace tessary::store {
namespace raw {

namespace {

std::uint32_t times_x(std::uint32_t b) { return b & 1 ? (b >> 1) ^ POLY : b >> 1; }

struct ByteTables {
    std::uint32_t t[8][256];  // t[k][b]: the register of byte b followed by k zero bytes
    ByteTables() {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t crc = n;
            for (int k = 0; k < 8; ++k) crc = times_x(crc);
            t[0][n] = crc;
        }
        for (std::uint32_t n = 0; n < 256; ++n)
            for (int k = 1; k < 8; ++k) t[k][n] = t[0][t[k - 1][n] & 0xff] ^ (t[k - 1][n] >> 8);
    }
};

const ByteTables &byte_tables() {
    static const ByteTables tables;
    return tables;
}

}  // namespace

std::uint32_t mult_mod(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = ONE; bit; bit >>= 1, b = times_x(b))
        if (a & bit) product ^= b;
    return product;
}

std::uint32_t xpow_mod(std::uint64_t n) {
    std::uint32_t result = ONE, square = ONE >> 1;  // 1 and x
    for (; n; n >>= 1, square = mult_mod(square, square))
        if (n & 1) result = mult_mod(result, square);
    return result;
}

ZeroBytes::ZeroBytes(std::size_t bytes) {
    const std::uint32_t shift = xpow_mod(8 * static_cast<std::uint64_t>(bytes));
    for (std::uint32_t n = 0; n < 256; ++n)
        for (int k = 0; k < 4; ++k) table[k][n] = mult_mod(n << (8 * k), shift);
}

const ZeroBytes &long_block_zeros() {
    static const ZeroBytes zeros(LONG_BLOCK);
    return zeros;
}

const ZeroBytes &short_block_zeros() {
    static const ZeroBytes zeros(SHORT_BLOCK);
    return zeros;
}

const FoldConstants &fold_constants() {
    static const FoldConstants k = [] {
        FoldConstants c{};
        const auto set = [](std::uint64_t (&pair)[2], std::uint64_t bits) {
            pair[0] = xpow_mod(bits + 31);
            pair[1] = xpow_mod(bits - 33);
        };
        set(c.by128, 128);
        set(c.by256, 256);
        set(c.by512, 512);
        set(c.by1024, 1024);
        return c;
    }();
    return k;
}

std::uint32_t portable(std::uint32_t c, const unsigned char *p, std::size_t n) {
    const auto &t = byte_tables().t;
    for (; n && (reinterpret_cast<std::uintptr_t>(p) & 7); --n) c = t[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    for (; std::endian::native == std::endian::little && n >= 8; n -= 8, p += 8) {
        const std::uint64_t w = load64(p);
        const std::uint32_t lo = static_cast<std::uint32_t>(w) ^ c;  // little-endian byte order
        const std::uint32_t hi = static_cast<std::uint32_t>(w >> 32);
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
            t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
    }
    for (; n; --n) c = t[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    return c;
}

// The processor kernels exist only in the builds of their architecture.
#if !(defined(__x86_64__) || defined(_M_X64))
std::uint32_t sse42(std::uint32_t c, const unsigned char *p, std::size_t n) { return portable(c, p, n); }
std::uint32_t clmul(std::uint32_t c, const unsigned char *p, std::size_t n) { return portable(c, p, n); }
std::uint32_t vpclmul(std::uint32_t c, const unsigned char *p, std::size_t n) { return portable(c, p, n); }
#endif
#if !defined(__aarch64__)
std::uint32_t armv8(std::uint32_t c, const unsigned char *p, std::size_t n) { return portable(c, p, n); }
#endif

}  // namespace raw

namespace {

using RawKernel = std::uint32_t (*)(std::uint32_t, const unsigned char *, std::size_t);
constexpr RawKernel RAW[CRC32C_KERNELS] = {raw::portable, raw::sse42, raw::clmul, raw::vpclmul, raw::armv8};

/// Which kernels this build and processor run, indexed by Crc32cKernel.
struct Available {
    bool has[CRC32C_KERNELS] = {true, false, false, false, false};
    Available() {
#if defined(__x86_64__) || defined(_M_X64)
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(1, &a, &b, &c, &d)) {
            has[1] = (c >> 20) & 1;              // SSE4.2
            has[2] = has[1] && ((c >> 1) & 1);  // and PCLMULQDQ
        }
        unsigned c7 = 0;
        if (__get_cpuid_count(7, 0, &a, &b, &c7, &d)) has[3] = has[2] && kernels::cpu_has_avx2() && ((c7 >> 10) & 1);
#elif defined(__aarch64__) && defined(__linux__)
        has[4] = (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
#elif defined(__aarch64__) && defined(__APPLE__)
        has[4] = true;
#endif
    }
};

const Available &available() {
    static const Available a;
    return a;
}

/// TESSARY_SIMD=scalar (the plain code everywhere) chooses the portable kernel; any
/// other value leaves the fastest one, since every kernel gives the same checksum.
Crc32cKernel choose() {
    const char *env = std::getenv("TESSARY_SIMD");
    const bool blank = env == nullptr || std::all_of(env, env + std::strlen(env), [](char ch) {
                           return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
                       });
    if (!blank) {
        const kernels::SimdChoice asked = kernels::choose_simd(env);
        if (asked.error.empty() && asked.lanes == 1) return Crc32cKernel::portable;
    }
    // The 128-bit folding kernel comes last: the three instruction streams are as
    // fast or faster on the processors that lack the 256-bit one.
    for (Crc32cKernel k : {Crc32cKernel::vpclmul, Crc32cKernel::armv8, Crc32cKernel::sse42, Crc32cKernel::clmul})
        if (crc32c_available(k)) return k;
    return Crc32cKernel::portable;
}

}  // namespace

bool crc32c_available(Crc32cKernel kernel) {
    const int k = static_cast<int>(kernel);
    return k >= 0 && k < CRC32C_KERNELS && available().has[k];
}

Crc32cKernel crc32c_chosen() {
    static const Crc32cKernel chosen = choose();
    return chosen;
}

const char *crc32c_name(Crc32cKernel kernel) {
    static const char *const names[CRC32C_KERNELS] = {"portable", "sse42", "clmul", "vpclmul", "armv8"};
    const int k = static_cast<int>(kernel);
    return k >= 0 && k < CRC32C_KERNELS ? names[k] : "unknown";
}

std::uint32_t crc32c_with(Crc32cKernel kernel, std::uint32_t crc, const unsigned char *data, std::size_t n) {
    const RawKernel fn = crc32c_available(kernel) ? RAW[static_cast<int>(kernel)] : raw::portable;
    return fn(crc ^ 0xffffffffu, data, n) ^ 0xffffffffu;
}

std::uint32_t crc32c_extend(std::uint32_t crc, const unsigned char *data, std::size_t n) {
    return crc32c_with(crc32c_chosen(), crc, data, n);
}

std::uint32_t crc32c_portable(std::uint32_t crc, const unsigned char *data, std::size_t n) {
    return crc32c_with(Crc32cKernel::portable, crc, data, n);
}

bool crc32c_uses_hardware() { return crc32c_chosen() != Crc32cKernel::portable; }

std::uint32_t crc32c_combine(std::uint32_t crc1, std::uint32_t crc2, std::size_t len2) {
    return raw::mult_mod(crc1, raw::xpow_mod(8 * static_cast<std::uint64_t>(len2))) ^ crc2;
}

namespace {

/// A piece of one span, hashed by whichever thread takes it first.
struct Piece {
    std::size_t span, offset, size;
    std::uint32_t crc;
};

}  // namespace

void crc32c_spans(Crc32cSpan *spans, std::size_t count, unsigned threads, Crc32cKernel kernel) {
    // Threads take pieces of PIECE bytes in turn, so that a thread slowed down by
    // another process leaves more of the work to the others; below MIN_SHARE a thread
    // costs more than it saves.
    constexpr std::size_t PIECE = 1u << 20, MIN_SHARE = 2u << 20;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += spans[i].size;
    const std::size_t team = std::min<std::size_t>(std::max(threads, 1u), total / MIN_SHARE);
    if (team <= 1) {
        for (std::size_t i = 0; i < count; ++i)
            spans[i].crc = crc32c_with(kernel, spans[i].crc, spans[i].data, spans[i].size);
        return;
    }
    std::vector<Piece> pieces;
    pieces.reserve(count + total / PIECE + 1);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t offset = 0;
        do {
            const std::size_t size = std::min(PIECE, spans[i].size - offset);
            pieces.push_back({i, offset, size, offset == 0 ? spans[i].crc : 0u});
            offset += size;
        } while (offset < spans[i].size);
    }
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < pieces.size();) {
            Piece &p = pieces[k];
            p.crc = crc32c_with(kernel, p.crc, spans[p.span].data + p.offset, p.size);
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(team - 1);
    for (std::size_t t = 1; t < team; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error &) {
            break;  // no thread to be had: the others (this one at least) do its share
        }
    }
    work();
    for (auto &h : helpers) h.join();
    // A whole piece is moved past the next one with a single multiplication.
    const std::uint32_t past_piece = raw::xpow_mod(8 * static_cast<std::uint64_t>(PIECE));
    for (const Piece &p : pieces) {
        Crc32cSpan &span = spans[p.span];
        if (p.offset == 0)
            span.crc = p.crc;
        else if (p.size == PIECE)
            span.crc = raw::mult_mod(span.crc, past_piece) ^ p.crc;
        else
            span.crc = crc32c_combine(span.crc, p.crc, p.size);
    }
}

std::uint32_t crc32c_parallel(std::uint32_t crc, const unsigned char *data, std::size_t n, unsigned threads) {
    Crc32cSpan span{data, n, crc};
    crc32c_spans(&span, 1, threads, crc32c_chosen());
    return span.crc;
}

}  // namespace tessary::store
