// CRC-32C (Castagnoli) of byte buffers: the checksum of the store's data files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::store {

/// The CRC-32C of `crc`'s bytes followed by data[0, n): `crc` is the checksum of
/// what came before (0 for nothing), the result that of everything so far.
std::uint32_t crc32c_extend(std::uint32_t crc, const unsigned char *data, std::size_t n);

/// The same with the portable table-driven code only (no processor instruction).
std::uint32_t crc32c_portable(std::uint32_t crc, const unsigned char *data, std::size_t n);

/// The CRC-32C of A followed by B, from the CRC-32C of A, that of B and B's length.
std::uint32_t crc32c_combine(std::uint32_t crc1, std::uint32_t crc2, std::size_t len2);

/// crc32c_extend on up to `threads` threads (parts of at least 16 MB), combined.
std::uint32_t crc32c_parallel(std::uint32_t crc, const unsigned char *data, std::size_t n, unsigned threads);

/// True when crc32c_extend uses the processor's CRC32 instruction (SSE4.2).
bool crc32c_uses_hardware();

}  // namespace tessary::store
