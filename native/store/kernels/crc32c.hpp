// CRC-32C (Castagnoli) of byte buffers: the checksum of the store's data files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::store {

/// The ways of computing the checksum; every one gives the same value.
enum class Crc32cKernel : int {
    portable = 0,  // slicing-by-8 tables, any processor
    sse42 = 1,     // x86-64 CRC32 instruction on three interleaved streams
    clmul = 2,     // x86-64 carry-less multiplication folding 64 bytes a step (PCLMULQDQ)
    vpclmul = 3,   // the same on 256-bit vectors, 128 bytes a step (AVX2 and VPCLMULQDQ)
    armv8 = 4,     // aarch64 CRC32C instructions on three interleaved streams
};
constexpr int CRC32C_KERNELS = 5;

/// The CRC-32C of `crc`'s bytes followed by data[0, n): `crc` is the checksum of
/// what came before (0 for nothing), the result that of everything so far.
std::uint32_t crc32c_extend(std::uint32_t crc, const unsigned char *data, std::size_t n);

/// The same with the portable table-driven code only (no processor instruction).
std::uint32_t crc32c_portable(std::uint32_t crc, const unsigned char *data, std::size_t n);

/// The same with the kernel `kernel`, which must be available (crc32c_available).
std::uint32_t crc32c_with(Crc32cKernel kernel, std::uint32_t crc, const unsigned char *data, std::size_t n);

/// True when this build and processor run `kernel`.
bool crc32c_available(Crc32cKernel kernel);

/// The kernel crc32c_extend uses: the fastest available one, or the portable one when
/// TESSARY_SIMD=scalar asks for the plain code.
Crc32cKernel crc32c_chosen();

/// "portable", "sse42", "clmul", "vpclmul" or "armv8".
const char *crc32c_name(Crc32cKernel kernel);

/// The CRC-32C of A followed by B, from the CRC-32C of A, that of B and B's length.
std::uint32_t crc32c_combine(std::uint32_t crc1, std::uint32_t crc2, std::size_t len2);

/// One buffer to hash: `crc` holds the checksum of what came before on the way in and
/// that of everything on the way out.
struct Crc32cSpan {
    const unsigned char *data = nullptr;
    std::size_t size = 0;
    std::uint32_t crc = 0;
};

/// Extends the checksum of every span, on up to `threads` threads (one per few MB of
/// all spans together, none for less): the spans are cut into pieces of 1 MB that the
/// threads take in turn, so many small files and one large file alike keep every
/// thread busy; the pieces of a span are then combined.
void crc32c_spans(Crc32cSpan *spans, std::size_t count, unsigned threads, Crc32cKernel kernel);

/// crc32c_extend on up to `threads` threads, combined.
std::uint32_t crc32c_parallel(std::uint32_t crc, const unsigned char *data, std::size_t n, unsigned threads);

/// True when crc32c_extend uses a processor instruction rather than the tables.
bool crc32c_uses_hardware();

}  // namespace tessary::store
