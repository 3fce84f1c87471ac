// Row-rank kernels.
#include "prepare/kernels/rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace tessary::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void rank_row(double *row, std::size_t cols, std::vector<std::pair<double, std::uint32_t>> &scratch) {
    scratch.clear();
    for (std::size_t c = 0; c < cols; ++c)
        if (!std::isnan(row[c])) scratch.emplace_back(row[c], (std::uint32_t)c);
    std::sort(scratch.begin(), scratch.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    const std::size_t n = scratch.size();
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && scratch[j].first == scratch[i].first) ++j;
        // Ranks i+1 .. j share their mean; an exact half or whole number.
        const double rank = (double)(i + 1 + j) / 2.0;
        for (std::size_t k = i; k < j; ++k) row[scratch[k].second] = rank;
        i = j;
    }
}

}  // namespace

void rank_rows_average(double *values, std::size_t rows, std::size_t cols) {
    std::vector<std::pair<double, std::uint32_t>> scratch;
    scratch.reserve(cols);
    for (std::size_t r = 0; r < rows; ++r) rank_row(values + r * cols, cols, scratch);
}

void forward_return_rank(const FloatView &open, std::size_t rows, std::size_t cols, double *out) {
    const std::size_t valid_rows = rows >= 2 ? rows - 2 : 0;
    // Tiles keep both a column-major source and the row-major output in cache.
    constexpr std::size_t kTile = 64;
    for (std::size_t r0 = 0; r0 < valid_rows; r0 += kTile) {
        const std::size_t r1 = std::min(valid_rows, r0 + kTile);
        for (std::size_t c0 = 0; c0 < cols; c0 += kTile) {
            const std::size_t c1 = std::min(cols, c0 + kTile);
            for (std::size_t c = c0; c < c1; ++c) {
                for (std::size_t r = r0; r < r1; ++r) {
                    const double v = open(r + 2, c) / open(r + 1, c) - 1.0;
                    out[r * cols + c] = std::isinf(v) ? kNaN : v;
                }
            }
        }
    }
    for (std::size_t i = valid_rows * cols; i < rows * cols; ++i) out[i] = kNaN;
    rank_rows_average(out, valid_rows, cols);
}

}  // namespace tessary::kernels
