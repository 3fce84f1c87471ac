// Per-date portfolio selection (see select.hpp).
#include "strategies/kernels/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace tessary::strategies {

namespace {

/// A candidate of one date: its score, its code's rank and its column, side by side
/// so that the partial sort reads one contiguous array.
struct Candidate {
    double score;
    std::int64_t rank;
    std::size_t column;
};

/// The selection of row r: the chosen columns in `taken` and the count that sets the
/// weight (0: no selection that date). `pool` is scratch space.
std::int64_t select_row(const Values &score, const Flags &eligible, const Values &present,
                        const std::int64_t *code_rank, std::size_t r, std::size_t cols, double share,
                        std::int64_t min_count, bool largest, std::vector<Candidate> &pool,
                        std::vector<std::size_t> &taken) {
    taken.clear();
    pool.clear();
    for (std::size_t c = 0; c < cols; ++c) {
        const double s = score(r, c);
        if (std::isfinite(s) && (eligible.data == nullptr || eligible(r, c)) &&
            (present.data == nullptr || !std::isnan(present(r, c)))) {
            pool.push_back({s, code_rank[c], c});
        }
    }
    const auto n = (std::int64_t)pool.size();
    if (n < min_count || n == 0) return 0;
    const std::int64_t k = std::max(min_count, (std::int64_t)((double)n * share));
    if (k <= 0) return 0;  // a share too small to hold any stock: no selection
    const std::size_t take = (std::size_t)std::min(k, n);
    // A strict total order: score first, then the code's rank, so that the chosen
    // set does not depend on the order of the columns.
    auto before = [largest](const Candidate &a, const Candidate &b) {
        if (a.score != b.score) return largest ? a.score > b.score : a.score < b.score;
        return a.rank < b.rank;
    };
    std::nth_element(pool.begin(), pool.begin() + (std::ptrdiff_t)(take - 1), pool.end(), before);
    for (std::size_t i = 0; i < take; ++i) taken.push_back(pool[i].column);
    return k;
}

}  // namespace

void top_share(const Values &score, const Flags &eligible, const Values &present, const std::uint8_t *pick,
               const std::int64_t *code_rank,
               std::size_t rows, std::size_t cols, double share, std::int64_t min_count, bool largest,
               std::uint8_t *chosen, std::int64_t *count) {
    std::memset(chosen, 0, rows * cols);
    std::vector<Candidate> pool;
    pool.reserve(cols);
    std::vector<std::size_t> taken;
    for (std::size_t r = 0; r < rows; ++r) {
        count[r] = 0;
        if (!pick[r]) continue;
        count[r] = select_row(score, eligible, present, code_rank, r, cols, share, min_count, largest, pool, taken);
        for (std::size_t c : taken) chosen[r * cols + c] = 1;
    }
}

void top_share_held(const Values &score, const Flags &eligible, const Values &present, const std::uint8_t *pick,
                    const std::int64_t *code_rank, std::size_t rows, std::size_t cols, double share,
                    std::int64_t min_count, bool largest, double *out) {
    std::vector<Candidate> pool;
    pool.reserve(cols);
    std::vector<std::size_t> taken;
    for (std::size_t r = 0; r < rows; ++r) {
        double *row = out + r * cols;
        const std::int64_t k =
            pick[r] ? select_row(score, eligible, present, code_rank, r, cols, share, min_count, largest, pool, taken)
                    : 0;
        if (k > 0) {
            std::fill(row, row + cols, 0.0);
            const double weight = 1.0 / (double)k;
            for (std::size_t c : taken) row[c] = weight;
        } else if (r > 0) {
            std::copy(row - cols, row, row);
        } else {
            std::fill(row, row + cols, 0.0);
        }
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
