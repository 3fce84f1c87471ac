// Per-date portfolio selection (see select.hpp).
#include "strategies/kernels/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace tessary::strategies {

namespace {

/// Scratch space of one date's selection.
struct Pool {
    std::vector<double> key;          // the candidates' scores, negated when the largest win
    std::vector<std::size_t> column;  // their columns
    std::vector<double> sorted;       // a copy of `key` for the partial sort
    std::vector<std::pair<std::int64_t, std::size_t>> tied;  // (code rank, column) at the threshold
};

/// The selection of row r: the chosen columns in `taken` and the count that sets the
/// weight (0: no selection that date).
///
/// The chosen set is the first `take` candidates in the strict order "key ascending,
/// then code rank ascending" (so it does not depend on the order of the columns). It
/// is found without sorting the pairs: the take-th smallest key is the threshold;
/// every candidate below it is chosen, and the candidates on it with the lowest code
/// ranks fill the rest.
std::int64_t select_row(const Values &score, const Flags &eligible, const Values &present,
                        const std::int64_t *code_rank, std::size_t r, std::size_t cols, double share,
                        std::int64_t min_count, bool largest, Pool &pool, std::vector<std::size_t> &taken) {
    taken.clear();
    pool.key.clear();
    pool.column.clear();
    for (std::size_t c = 0; c < cols; ++c) {
        const double s = score(r, c);
        if (std::isfinite(s) && (eligible.data == nullptr || eligible(r, c)) &&
            (present.data == nullptr || !std::isnan(present(r, c)))) {
            pool.key.push_back(largest ? -s : s);  // -0.0 and 0.0 stay equal, as the scores were
            pool.column.push_back(c);
        }
    }
    const auto n = (std::int64_t)pool.key.size();
    if (n < min_count || n == 0) return 0;
    const std::int64_t k = std::max(min_count, (std::int64_t)((double)n * share));
    if (k <= 0) return 0;  // a share too small to hold any stock: no selection
    const std::size_t take = (std::size_t)std::min(k, n);
    if (take == (std::size_t)n) {
        taken = pool.column;
        return k;
    }
    pool.sorted = pool.key;
    std::nth_element(pool.sorted.begin(), pool.sorted.begin() + (std::ptrdiff_t)(take - 1), pool.sorted.end());
    const double threshold = pool.sorted[take - 1];
    pool.tied.clear();
    for (std::size_t i = 0; i < pool.key.size(); ++i) {
        if (pool.key[i] < threshold)
            taken.push_back(pool.column[i]);
        else if (pool.key[i] == threshold)
            pool.tied.emplace_back(code_rank[pool.column[i]], pool.column[i]);
    }
    const std::size_t rest = take - taken.size();  // at least 1: the threshold is a key
    if (rest < pool.tied.size())
        std::nth_element(pool.tied.begin(), pool.tied.begin() + (std::ptrdiff_t)(rest - 1), pool.tied.end());
    for (std::size_t i = 0; i < rest; ++i) taken.push_back(pool.tied[i].second);
    return k;
}

}  // namespace

void top_share(const Values &score, const Flags &eligible, const Values &present, const std::uint8_t *pick,
               const std::int64_t *code_rank,
               std::size_t rows, std::size_t cols, double share, std::int64_t min_count, bool largest,
               std::uint8_t *chosen, std::int64_t *count) {
    std::memset(chosen, 0, rows * cols);
    Pool pool;
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
    Pool pool;
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
