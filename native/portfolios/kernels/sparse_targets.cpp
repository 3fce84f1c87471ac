// Target rows from dense weight matrices (the sweep's batches).
#include <algorithm>

#include "portfolios/kernels/multi_pass.hpp"

namespace tessary::portfolios {

namespace {

// The positive weights are first collected per tile of kTile days, every matrix read
// once in its own memory order (a handful of tiles written at a time, whatever the
// layout), then each tile is sorted into its rows by counting, which keeps the order
// of the matrices within a cell.
constexpr std::size_t kTile = 64;

struct Found {
    std::uint32_t day, stock, work;
    double weight;
};

/// True when no value of the n doubles at p is > 0 (4 at a time: most weights are 0).
inline bool none_positive(const double *p, std::size_t n) {
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4)
        if ((p[k] > 0.0) | (p[k + 1] > 0.0) | (p[k + 2] > 0.0) | (p[k + 3] > 0.0)) return false;
    for (; k < n; ++k)
        if (p[k] > 0.0) return false;
    return true;
}

/// Calls f(day, stock, weight) for every positive weight of `w`, in its memory order.
template <class F>
void each_positive(const kernels::FloatView &w, std::size_t days, std::size_t stocks, F &&f) {
    if (w.row_stride == 1 && days > 1) {  // consecutive days adjacent: down each column
        for (std::size_t s = 0; s < stocks; ++s) {
            const double *column = &w(0, s);
            for (std::size_t d0 = 0; d0 < days; d0 += 16) {
                const std::size_t d1 = std::min(days, d0 + 16);
                if (none_positive(column + d0, d1 - d0)) continue;
                for (std::size_t i = d0; i < d1; ++i)
                    if (const double x = column[i]; x > 0.0) f(i, s, x);
            }
        }
    } else if (w.col_stride == 1) {
        for (std::size_t i = 0; i < days; ++i) {
            const double *row = &w(i, 0);
            for (std::size_t s0 = 0; s0 < stocks; s0 += 16) {
                const std::size_t s1 = std::min(stocks, s0 + 16);
                if (none_positive(row + s0, s1 - s0)) continue;
                for (std::size_t s = s0; s < s1; ++s)
                    if (const double x = row[s]; x > 0.0) f(i, s, x);
            }
        }
    } else {
        for (std::size_t i = 0; i < days; ++i)
            for (std::size_t s = 0; s < stocks; ++s)
                if (const double x = w(i, s); x > 0.0) f(i, s, x);
    }
}

}  // namespace

OwnedTargets dense_targets(const std::vector<kernels::FloatView> &works, std::size_t days, std::size_t stocks,
                           const std::int64_t *path_start) {
    const std::size_t tiles = (days + kTile - 1) / kTile;
    std::vector<std::vector<Found>> tile(tiles);
    {
        std::vector<std::size_t> found(tiles, 0);  // counted first: each tile allocated once
        for (std::size_t j = 0; j < works.size(); ++j)
            each_positive(works[j], days, stocks, [&](std::size_t i, std::size_t, double) { ++found[i / kTile]; });
        for (std::size_t b = 0; b < tiles; ++b) tile[b].reserve(found[b]);
    }
    for (std::size_t j = 0; j < works.size(); ++j)
        each_positive(works[j], days, stocks, [&](std::size_t i, std::size_t s, double x) {
            tile[i / kTile].push_back(Found{(std::uint32_t)i, (std::uint32_t)s, (std::uint32_t)j, x});
        });
    std::size_t entries = 0;
    for (const auto &t : tile)
        for (const Found &f : t) entries += (std::size_t)(path_start[f.work + 1] - path_start[f.work]);
    OwnedTargets out;
    out.start.assign(days + 1, 0);
    out.stock.resize(entries);
    out.portfolio.resize(entries);
    out.weight.resize(entries);
    std::vector<std::int64_t> at(kTile * stocks);  // [day in tile][stock]: entries, then next place
    for (std::size_t b = 0; b < tiles; ++b) {
        const std::size_t d0 = b * kTile, d1 = std::min(days, d0 + kTile);
        std::fill(at.begin(), at.end(), 0);
        for (const Found &f : tile[b])
            at[(f.day - d0) * stocks + f.stock] += path_start[f.work + 1] - path_start[f.work];
        // Rows one after another, each in stock order.
        std::int64_t place = out.start[d0];
        for (std::size_t i = d0; i < d1; ++i) {
            std::int64_t *row = at.data() + (i - d0) * stocks;
            for (std::size_t s = 0; s < stocks; ++s) {
                const std::int64_t n = row[s];
                row[s] = place;
                place += n;
            }
            out.start[i + 1] = place;
        }
        for (const Found &f : tile[b]) {
            std::int64_t &e = at[(f.day - d0) * stocks + f.stock];
            for (std::int64_t p = path_start[f.work]; p < path_start[f.work + 1]; ++p, ++e) {
                out.stock[(std::size_t)e] = (std::int32_t)f.stock;
                out.portfolio[(std::size_t)e] = (std::int32_t)p;
                out.weight[(std::size_t)e] = f.weight;
            }
        }
        std::vector<Found>().swap(tile[b]);  // done with it
    }
    return out;
}

}  // namespace tessary::portfolios
