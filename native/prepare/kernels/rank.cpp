// Row-rank kernels.
#include "prepare/kernels/rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace tessary::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// Scratch buffers of one row's sort: order-preserving integer keys and columns.
struct RowScratch {
    std::vector<std::uint64_t> key, key_tmp;
    std::vector<std::uint32_t> col, col_tmp;
    explicit RowScratch(std::size_t cols) : key(cols), key_tmp(cols), col(cols), col_tmp(cols) {}
};

/// Integer key with the order of the double (NaN excluded); -0.0 and 0.0 share
/// one key, as they compare equal.
inline std::uint64_t order_key(double v) {
    v += 0.0;  // -0.0 -> 0.0
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u & 0x8000000000000000ULL) ? ~u : (u | 0x8000000000000000ULL);
}

/// Ranks one row in place: a least-significant-digit radix sort of the keys (byte
/// passes whose digit is the same for every key are skipped), then one walk over
/// the runs of equal keys.
void rank_row(double *row, std::size_t cols, RowScratch &s) {
    std::size_t n = 0;
    for (std::size_t c = 0; c < cols; ++c) {
        const double v = row[c];
        if (std::isnan(v)) continue;
        s.key[n] = order_key(v);
        s.col[n] = (std::uint32_t)c;
        ++n;
    }
    std::uint32_t hist[8][256] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = s.key[i];
        for (int b = 0; b < 8; ++b) ++hist[b][(k >> (8 * b)) & 0xFF];
    }
    std::uint64_t *key = s.key.data(), *key_tmp = s.key_tmp.data();
    std::uint32_t *col = s.col.data(), *col_tmp = s.col_tmp.data();
    for (int b = 0; b < 8; ++b) {
        std::uint32_t *h = hist[b];
        if (n == 0 || h[(key[0] >> (8 * b)) & 0xFF] == n) continue;
        std::uint32_t sum = 0;
        for (int d = 0; d < 256; ++d) {
            const std::uint32_t c = h[d];
            h[d] = sum;
            sum += c;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t pos = h[(key[i] >> (8 * b)) & 0xFF]++;
            key_tmp[pos] = key[i];
            col_tmp[pos] = col[i];
        }
        std::swap(key, key_tmp);
        std::swap(col, col_tmp);
    }
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && key[j] == key[i]) ++j;
        // Ranks i+1 .. j share their mean; an exact half or whole number.
        const double rank = (double)(i + 1 + j) / 2.0;
        for (std::size_t k = i; k < j; ++k) row[col[k]] = rank;
        i = j;
    }
}

}  // namespace

void rank_rows_average(double *values, std::size_t rows, std::size_t cols) {
    RowScratch scratch(cols);
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
