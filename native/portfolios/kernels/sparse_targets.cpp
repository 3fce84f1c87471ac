// Target rows from dense weight matrices (the sweep's batches).
#include "portfolios/kernels/multi_pass.hpp"

namespace tessary::portfolios {

namespace {

/// Calls f(day, stock, weight) for every positive weight of `w`, in its memory order.
template <class F>
void each_positive(const kernels::FloatView &w, std::size_t days, std::size_t stocks, F &&f) {
    if (w.row_stride == 1 && days > 1) {  // consecutive days adjacent: down each column
        for (std::size_t s = 0; s < stocks; ++s)
            for (std::size_t i = 0; i < days; ++i)
                if (const double x = w(i, s); x > 0.0) f(i, s, x);
    } else {
        for (std::size_t i = 0; i < days; ++i)
            for (std::size_t s = 0; s < stocks; ++s)
                if (const double x = w(i, s); x > 0.0) f(i, s, x);
    }
}

}  // namespace

OwnedTargets dense_targets(const std::vector<kernels::FloatView> &works, std::size_t days, std::size_t stocks,
                           const std::int64_t *path_start) {
    // First the entries of every cell, then each cell's first entry within its row (the
    // row's entries lie in stock order), then every matrix in turn fills its cells'
    // next places, so that the portfolios of one cell come in order.
    std::vector<std::int32_t> at(days * stocks, 0);
    for (std::size_t j = 0; j < works.size(); ++j) {
        const std::int32_t n = (std::int32_t)(path_start[j + 1] - path_start[j]);
        each_positive(works[j], days, stocks, [&](std::size_t i, std::size_t s, double) { at[i * stocks + s] += n; });
    }
    OwnedTargets out;
    out.start.assign(days + 1, 0);
    for (std::size_t i = 0; i < days; ++i) {
        std::int32_t running = 0;
        for (std::size_t s = 0; s < stocks; ++s) {
            const std::int32_t n = at[i * stocks + s];
            at[i * stocks + s] = running;
            running += n;
        }
        out.start[i + 1] = out.start[i] + running;
    }
    const std::size_t entries = (std::size_t)out.start[days];
    out.stock.resize(entries);
    out.portfolio.resize(entries);
    out.weight.resize(entries);
    for (std::size_t j = 0; j < works.size(); ++j) {
        const std::int64_t p0 = path_start[j], p1 = path_start[j + 1];
        each_positive(works[j], days, stocks, [&](std::size_t i, std::size_t s, double x) {
            std::int32_t &place = at[i * stocks + s];
            for (std::int64_t p = p0; p < p1; ++p) {
                const std::size_t e = (std::size_t)(out.start[i] + place++);
                out.stock[e] = (std::int32_t)s;
                out.portfolio[e] = (std::int32_t)p;
                out.weight[e] = x;
            }
        });
    }
    return out;
}

}  // namespace tessary::portfolios
