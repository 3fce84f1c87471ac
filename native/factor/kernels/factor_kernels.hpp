// Cross-sectional kernels of factor research: forward returns, per-date orders and
// ranks, rank correlations, ordinal groups, group means and turnover. All matrices are
// row-major (dates x stocks, row length `n`); NaN marks a missing value. Plain C++ on
// raw buffers, no Python: safe to run with the GIL released and from several threads
// on different outputs. Every kernel is scalar, so every vector width of the process
// gives the same result bit for bit. The per-date kernels share a large matrix's rows
// out among the cores (row_threads.hpp); each row is computed as on one thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::factor {

/// One-day adjusted open-to-open return of each stock: for t < days - 1,
///     r1[t] = (open[t+1] * split[t+1] + dividend[t+1]) / open[t] - 1
/// with a NaN split as 1 and a NaN dividend as 0; NaN where either open is missing,
/// not finite or not positive, and on the last row.
void forward_return_1(const double *open, const double *split, const double *dividend, std::size_t days,
                      std::size_t n, double *r1);

/// h-day forward return of a signal known on row t: prod_{k=1..h} (1 + r1[t+k]) - 1,
/// multiplied in k order; NaN where a term is NaN or t + h runs past the last row.
void forward_return_h(const double *r1, std::size_t days, std::size_t n, std::size_t h, double *out);

/// Per row, the columns with a value (not NaN) in ascending order of value, equal
/// values in column order (a stable order); `count[r]` of them, the rest of the row
/// of `order` is -1.
void row_orders(const double *x, std::size_t rows, std::size_t n, std::int32_t *order, std::int32_t *count);

/// Per output row t: the rank correlation (Pearson correlation of the average-tie
/// ranks) of x row `x_rows[t]` and y row `y_rows[t]` over the stocks s with
/// mask[t * n + s] set and both values present; each side is ranked among exactly
/// those stocks. NaN when a row index is negative, with fewer than `min_count` such
/// stocks, or when a side is constant. `x_order`/`y_order` come from row_orders.
/// `x_ranks`, when not null (rows x n), holds the ranks of x row `x_rows[t]` among
/// the stocks of mask row t with an x value: used as they are on a row where all of
/// those stocks have a y value (the same ranks the kernel would compute).
void rank_corr(const double *x, const std::int32_t *x_order, const std::int32_t *x_count, const std::int64_t *x_rows,
               const double *y, const std::int32_t *y_order, const std::int32_t *y_count, const std::int64_t *y_rows,
               const std::uint8_t *mask, std::size_t rows, std::size_t n, std::size_t min_count, double *out,
               const double *x_ranks = nullptr);

/// Average-tie ranks (1, 2, ...) of each row of x among the stocks with mask set and
/// a value; NaN elsewhere.
void masked_ranks(const double *x, const std::int32_t *order, const std::int32_t *count, const std::uint8_t *mask,
                  std::size_t rows, std::size_t n, double *out);

/// Ordinal groups: on each row the stocks with mask set and a value, ordered by value
/// (equal values in column order), get group floor((rank - 1) * groups / m) + 1 of
/// m such stocks (1 = lowest); other stocks 0. A row with fewer than `groups` stocks
/// gets no groups (all 0).
void ordinal_groups(const double *x, const std::int32_t *order, const std::int32_t *count, const std::uint8_t *mask,
                    std::size_t rows, std::size_t n, std::int32_t groups, std::int32_t *labels);

/// Per row t and label g = 1..k: the mean of values row `value_rows[t]` over the
/// stocks labelled g on row t that have a value, summed in column order; NaN for a
/// negative row index or no such stock. `out` is rows x k.
void group_means(const double *values, const std::int64_t *value_rows, const std::int32_t *labels, std::size_t rows,
                 std::size_t n, std::int32_t k, double *out);

/// Per row t >= 1 and label g: 1 - (stocks labelled g on t and on t-1) / (stocks
/// labelled g on t); NaN on row 0 and where no stock has label g on t.
void group_turnover(const std::int32_t *labels, std::size_t rows, std::size_t n, std::int32_t k, double *out);

/// Each value minus the mean of its label's values on its row (labels 1..k, summed in
/// column order); NaN where the label is 0 or the value is missing.
void demean_by_label(const double *x, const std::int32_t *labels, std::size_t rows, std::size_t n, std::int32_t k,
                     double *out);

}  // namespace tessary::factor
