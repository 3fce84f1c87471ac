// Chart data kernels.
#include "pnl_engine/kernels/chart_data.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tessary::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void running_sum(const double *x, std::size_t n, double *out) {
    double acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(x[i])) {
            out[i] = kNaN;
        } else {
            acc += x[i];
            out[i] = acc;
        }
    }
}

void running_drawdown(const double *level, std::size_t n, double *out) {
    double peak = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        const double v = level[i];
        if (std::isnan(v)) {
            out[i] = kNaN;
            continue;
        }
        if (v > peak) peak = v;
        out[i] = v - peak;
    }
}

void performance_curves(const double *daily, const double *cumulative, const double *benchmark, std::size_t n,
                        const PerformanceCurves &out, double *scratch) {
    double nav = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        out.strategy_cum[i] = cumulative[i] - 1.0;
        const double b = benchmark[i];
        if (std::isnan(b)) {
            out.benchmark_nav[i] = kNaN;
        } else {
            nav *= 1.0 + b;
            out.benchmark_nav[i] = nav;
        }
        out.benchmark_cum[i] = out.benchmark_nav[i] - 1.0;
        // Subtraction with a fill value of 0 for a missing side; NaN only when both are.
        const double d = daily[i];
        if (std::isnan(d) && std::isnan(b))
            out.excess_daily[i] = kNaN;
        else
            out.excess_daily[i] = (std::isnan(d) ? 0.0 : d) - (std::isnan(b) ? 0.0 : b);
    }
    running_drawdown(cumulative, n, out.strategy_dd);
    running_drawdown(out.benchmark_nav, n, out.benchmark_dd);

    running_sum(out.excess_daily, n, out.excess_cum_norm);
    const double first = n > 0 ? out.excess_cum_norm[0] : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        out.excess_cum_norm[i] -= first;
        scratch[i] = out.excess_cum_norm[i] + 1.0;
    }
    running_drawdown(scratch, n, out.excess_dd);
}

std::size_t yearly_sums(const std::int64_t *years, std::size_t n, const double *const *cols, std::size_t ncols,
                        std::int64_t *years_out, double *const *sums_out) {
    std::vector<std::int64_t> distinct;
    distinct.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (years[i] != kNoYear) distinct.push_back(years[i]);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const std::size_t k = distinct.size();
    std::copy(distinct.begin(), distinct.end(), years_out);

    std::vector<std::size_t> group(n);
    for (std::size_t i = 0; i < n; ++i)
        group[i] = (std::size_t)(std::lower_bound(distinct.begin(), distinct.end(), years[i]) - distinct.begin());

    std::vector<double> comp(k);
    for (std::size_t c = 0; c < ncols; ++c) {
        double *sum = sums_out[c];
        std::fill(sum, sum + k, 0.0);
        std::fill(comp.begin(), comp.end(), 0.0);
        const double *x = cols[c];
        for (std::size_t i = 0; i < n; ++i) {
            const double v = x[i];
            if (std::isnan(v) || years[i] == kNoYear) continue;
            const std::size_t g = group[i];
            const double y = v - comp[g];
            const double t = sum[g] + y;
            comp[g] = t - sum[g] - y;
            // An infinite value makes the compensation NaN; dropping it keeps the
            // sum infinite instead of turning it into NaN.
            if (std::isnan(comp[g])) comp[g] = 0.0;
            sum[g] = t;
        }
    }
    return k;
}

void rolling_excess_stability(const double *x, std::size_t n, std::size_t window, double annual_sqrt,
                              double *sharpe, double *win) {
    for (std::size_t i = 0; i < n; ++i) {
        sharpe[i] = kNaN;
        win[i] = kNaN;
    }
    if (window == 0 || n < window) return;
    const double w = (double)window;
    for (std::size_t end = window - 1; end < n; ++end) {
        const double *v = x + (end + 1 - window);
        bool has_nan = false, constant = true;
        double sum = 0.0;
        std::size_t wins = 0;
        for (std::size_t j = 0; j < window; ++j) {
            if (std::isnan(v[j])) {
                has_nan = true;
                break;
            }
            if (v[j] != v[0]) constant = false;
            if (v[j] > 0.0) ++wins;
            sum += v[j];
        }
        if (has_nan) continue;
        win[end] = (double)wins / w;
        double mean, sd;
        if (constant) {
            // Exactly the common value and a zero deviation, free of rounding noise.
            mean = v[0];
            sd = 0.0;
        } else {
            mean = sum / w;
            double ss = 0.0;
            for (std::size_t j = 0; j < window; ++j) {
                const double d = v[j] - mean;
                ss += d * d;
            }
            sd = window > 1 ? std::sqrt(ss / (w - 1.0)) : kNaN;
        }
        sharpe[end] = mean / sd * annual_sqrt;
    }
}

}  // namespace tessary::kernels
