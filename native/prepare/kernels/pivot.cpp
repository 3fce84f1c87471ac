// Long-to-wide pivot kernels.
#include "prepare/kernels/pivot.hpp"

#include <cmath>
#include <limits>

namespace tessary::kernels {

namespace {

template <class D, class K, class G, class F>
inline void kept_rows(const PivotRows &r, F &f) {
    const D *dates = static_cast<const D *>(r.date_code.data);
    const K *keys = static_cast<const K *>(r.key_code.data);
    const G *groups = static_cast<const G *>(r.group_code.data);
    for (std::size_t i = 0; i < r.n; ++i) {
        const double v = r.x[i];
        if (std::isnan(v)) continue;
        const std::int32_t dc = dates[i], kc = keys[i];
        if (dc < 0 || kc < 0) continue;
        const std::int32_t d = r.date_map[dc], k = r.key_map[kc];
        if (d < 0 || k < 0) continue;
        std::int32_t slot = r.slot;
        if (groups) {
            const std::int32_t g = groups[i];
            if (g < 0) continue;
            slot = r.group_map[g];
            if (slot < 0) continue;
        }
        f(slot, d, k, v);
    }
}

/// Calls g(T{}) with T the signed integer type of `width` bytes.
template <class G>
inline void with_width(std::uint8_t width, G g) {
    switch (width) {
        case 1: g(std::int8_t{}); break;
        case 2: g(std::int16_t{}); break;
        default: g(std::int32_t{}); break;
    }
}

/// Calls f(slot, final_date, final_key, value) for every kept row, in row order.
template <class F>
inline void for_kept_rows(const PivotRows &r, F f) {
    with_width(r.date_code.width, [&](auto d) {
        with_width(r.key_code.width, [&](auto k) {
            with_width(r.group_code.width, [&](auto g) {
                kept_rows<decltype(d), decltype(k), decltype(g)>(r, f);
            });
        });
    });
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

bool codes_in_range(const CodeColumn &codes, std::size_t n, std::size_t n_ids) {
    bool ok = true;
    with_width(codes.width, [&](auto t) {
        using T = decltype(t);
        const T *c = static_cast<const T *>(codes.data);
        for (std::size_t i = 0; i < n; ++i)
            if (c[i] < -1 || (c[i] >= 0 && (std::size_t)c[i] >= n_ids)) {
                ok = false;
                return;
            }
    });
    return ok;
}

}  // namespace tessary::kernels
