// Per-date portfolio selection (see select.hpp).
#include "strategies/kernels/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace tessary::strategies {

void top_share(const Values &score, const Flags &eligible, const Values &present, const std::uint8_t *pick,
               const std::int64_t *code_rank,
               std::size_t rows, std::size_t cols, double share, std::int64_t min_count, bool largest,
               std::uint8_t *chosen, std::int64_t *count) {
    std::memset(chosen, 0, rows * cols);
    std::vector<std::size_t> candidates;
    candidates.reserve(cols);
    for (std::size_t r = 0; r < rows; ++r) {
        count[r] = 0;
        if (!pick[r]) continue;
        candidates.clear();
        for (std::size_t c = 0; c < cols; ++c) {
            if (std::isfinite(score(r, c)) && (eligible.data == nullptr || eligible(r, c)) &&
                (present.data == nullptr || !std::isnan(present(r, c)))) {
                candidates.push_back(c);
            }
        }
        const auto n = (std::int64_t)candidates.size();
        if (n < min_count || n == 0) continue;
        const std::int64_t k = std::max(min_count, (std::int64_t)((double)n * share));
        const std::size_t take = (std::size_t)std::min(k, n);
        // A strict total order: score first, then the code's rank, so that the chosen
        // set does not depend on the order of the columns.
        auto before = [&](std::size_t a, std::size_t b) {
            const double sa = score(r, a), sb = score(r, b);
            if (sa != sb) return largest ? sa > sb : sa < sb;
            return code_rank[a] < code_rank[b];
        };
        std::nth_element(candidates.begin(), candidates.begin() + (std::ptrdiff_t)(take - 1), candidates.end(), before);
        for (std::size_t i = 0; i < take; ++i) chosen[r * cols + candidates[i]] = 1;
        count[r] = k;
    }
}

void equal_weights(const Flags &chosen, const std::int64_t *count, std::size_t rows, std::size_t cols, double *out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t r = 0; r < rows; ++r) {
        double *row = out + r * cols;
        if (count[r] <= 0) {
            std::fill(row, row + cols, nan);
            continue;
        }
        const double weight = 1.0 / (double)count[r];
        for (std::size_t c = 0; c < cols; ++c) row[c] = chosen(r, c) ? weight : 0.0;
    }
}

void hold_forward(const Values &in, std::size_t rows, std::size_t cols, double fill, double *out) {
    for (std::size_t r = 0; r < rows; ++r) {
        double *row = out + r * cols;
        const double *above = r ? out + (r - 1) * cols : nullptr;
        for (std::size_t c = 0; c < cols; ++c) {
            const double v = in(r, c);
            row[c] = !std::isnan(v) ? v : (above ? above[c] : fill);
        }
    }
}

}  // namespace tessary::strategies
