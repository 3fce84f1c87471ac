// Factorisation of long columns into dense integer codes (first appearance order),
// on raw buffers: Arrow-layout string chunks and 64-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessary::kernels {

/// One chunk of an Arrow string or large-string array.
struct StringChunk {
    const std::uint8_t *validity = nullptr;  // null bitmap (bit set = valid), or nullptr
    const void *offsets = nullptr;           // int32 (string) or int64 (large_string) offsets
    bool large_offsets = false;
    const char *data = nullptr;              // UTF-8 bytes
    std::int64_t data_size = 0;              // bytes in `data`
    std::int64_t offset = 0;                 // element offset of the chunk into its buffers
    std::int64_t length = 0;                 // elements
};

/// Outcome of a factorisation.
enum class FactorizeStatus { Ok, TooManyIds, BadOffsets };

/// codes[i] = id of row i's string in order of first appearance, -1 for a null;
/// `first` receives, per id, the row of its first occurrence. Rows are numbered
/// across the chunks in order. Equal byte strings share an id. Codes are written
/// as int16 or int32 (`code_width` 2 or 4); TooManyIds means int16 could not hold
/// them (retry with 4), BadOffsets that an offset points outside its data buffer.
FactorizeStatus factorize_strings(const std::vector<StringChunk> &chunks, void *codes, int code_width,
                                  std::vector<std::int64_t> &first);

/// The same for 64-bit integers; when `has_missing` is set, `missing` marks a null.
FactorizeStatus factorize_int64(const std::int64_t *values, std::size_t n, bool has_missing, std::int64_t missing,
                                void *codes, int code_width, std::vector<std::int64_t> &first);

/// Per id in [0, n_ids), the first row whose code is that id (codes of -1 skipped).
/// Fails (returns false) when any code lies outside [-1, n_ids) or an id never
/// occurs, so that later kernels may index by these codes unchecked.
bool first_positions(const std::int32_t *codes, std::size_t n, std::size_t n_ids, std::vector<std::int64_t> &first);

}  // namespace tessary::kernels
