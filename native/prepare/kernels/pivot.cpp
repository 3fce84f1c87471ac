// Long-to-wide pivot kernels.
#include "prepare/kernels/pivot.hpp"

#include <cmath>
#include <limits>

namespace tessary::kernels {

namespace {

/// Calls f(slot, final_date, final_key, value) for every kept row, in row order.
template <class F>
inline void for_kept_rows(const PivotRows &r, F f) {
    for (std::size_t i = 0; i < r.n; ++i) {
        const double v = r.x[i];
        if (std::isnan(v)) continue;
        const std::int32_t dc = r.date_code[i], kc = r.key_code[i];
        if (dc < 0 || kc < 0) continue;
        const std::int32_t d = r.date_map[dc], k = r.key_map[kc];
        if (d < 0 || k < 0) continue;
        std::int32_t slot = r.slot;
        if (r.group_code) {
            const std::int32_t g = r.group_code[i];
            if (g < 0) continue;
            slot = r.group_map[g];
            if (slot < 0) continue;
        }
        f(slot, d, k, v);
    }
}

}  // namespace

void pivot_mark(const PivotRows &rows, std::size_t n_dates, std::size_t n_keys, std::uint8_t *date_used,
                std::uint8_t *key_used) {
    for_kept_rows(rows, [&](std::int32_t slot, std::int32_t d, std::int32_t k, double) {
        date_used[(std::size_t)slot * n_dates + (std::size_t)d] = 1;
        key_used[(std::size_t)slot * n_keys + (std::size_t)k] = 1;
    });
}

void pivot_scatter(const PivotRows &rows, const PivotTarget *targets) {
    for_kept_rows(rows, [&](std::int32_t slot, std::int32_t d, std::int32_t k, double v) {
        const PivotTarget &t = targets[slot];
        t.out[(std::size_t)t.col_of_key[k] * t.n_rows + (std::size_t)t.row_of_date[d]] = v;
    });
}

void fill_nan(double *out, std::size_t n) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) out[i] = nan;
}

}  // namespace tessary::kernels
