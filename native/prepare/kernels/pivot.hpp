// Long-to-wide pivot of factorised rows: one date x key matrix per slot (factor),
// later rows overwriting earlier ones on the same cell.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::kernels {

/// Per-row integer codes of 1, 2 or 4 bytes (signed; -1 = missing).
struct CodeColumn {
    const void *data = nullptr;
    std::uint8_t width = 4;
};

/// The rows of a long answer, factorised. A row is kept when its date and key codes
/// are valid (>= 0) and map to a final id (>= 0), its value is not NaN and it
/// belongs to a slot; every other row is dropped. All codes index their maps
/// unchecked (the factorisers guarantee the ranges).
struct PivotRows {
    std::size_t n = 0;
    CodeColumn date_code;
    const std::int32_t *date_map = nullptr;  // raw date id -> final date id, -1 = unparseable
    CodeColumn key_code;
    const std::int32_t *key_map = nullptr;   // raw key id -> final key id, -1 = missing
    const double *x = nullptr;
    CodeColumn group_code;                     // per-row group (factor) code; data nullptr = none
    const std::int32_t *group_map = nullptr;   // group code -> slot, -1 = not asked for
    std::int32_t slot = 0;                     // the slot of every row when group_code is nullptr
};

/// Sets date_used[slot * n_dates + d] and key_used[slot * n_keys + k] for every
/// final date d and key k that a kept row of that slot uses.
void pivot_mark(const PivotRows &rows, std::size_t n_dates, std::size_t n_keys, std::uint8_t *date_used,
                std::uint8_t *key_used);

/// The output matrix of one slot, column-major (out[col * n_rows + row]), already
/// filled with NaN; row_of_date / col_of_key give the position of each final id
/// (-1 never occurs for ids that the slot uses).
struct PivotTarget {
    const std::int32_t *row_of_date = nullptr;
    const std::int32_t *col_of_key = nullptr;
    double *out = nullptr;
    std::size_t n_rows = 0;
};

/// Writes every kept row's value into its slot's matrix, in row order.
void pivot_scatter(const PivotRows &rows, const PivotTarget *targets);

void fill_nan(double *out, std::size_t n);

/// True when every code lies in [-1, n_ids).
bool codes_in_range(const CodeColumn &codes, std::size_t n, std::size_t n_ids);

}  // namespace tessary::kernels
