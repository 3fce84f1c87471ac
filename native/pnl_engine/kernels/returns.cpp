// Running-sum net values and drawdowns of daily-return series.
#include "pnl_engine/kernels/returns.hpp"

#include <cmath>
#include <limits>

namespace tessary::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// pandas' cumsum with skipna: NaN in, NaN out, and the sum carries on past it.
struct RunningSum {
    double sum = 0.0;
    double step(double x) {
        if (std::isnan(x)) return kNaN;
        sum += x;
        return sum;
    }
};

/// pandas' cummax with skipna: NaN in, NaN out; the maximum so far carries on.
/// Starts empty, so the first present value is the first peak.
struct RunningMax {
    double peak = -std::numeric_limits<double>::infinity();
    double step(double x) {
        if (std::isnan(x)) return kNaN;
        if (x > peak) peak = x;
        return peak;
    }
};

/// pandas' min with skipna: NaN until a present value is seen.
struct RunningMin {
    double value = kNaN;
    void step(double x) {
        if (std::isnan(x)) return;
        if (std::isnan(value) || x < value) value = x;
    }
};

}  // namespace

double min_drawdown_from_zero(View1D x, std::size_t n) {
    RunningSum cum;
    RunningMax peak;
    RunningMin deepest;
    for (std::size_t i = 0; i < n; ++i) {
        const double level = cum.step(x[i]);
        const double p = peak.step(level);
        // The level 0 before the first date counts as a peak: a first-day loss is a
        // drawdown. (NaN stays NaN, as numpy's maximum propagates it.)
        const double floored = std::isnan(p) ? p : (p > 0.0 ? p : 0.0);
        deepest.step(level - floored);
    }
    return deepest.value;
}

StatsResult strategy_stats(const StatsInputs &in, double *excess) {
    StatsResult r;
    const std::size_t n = in.n;
    if (n == 0) return r;

    RunningSum cum, excess_cum, bench_cum;
    RunningMax peak, excess_peak;
    RunningMin dd, excess_dd;
    double net_value = kNaN, ecum = kNaN;
    for (std::size_t i = 0; i < n; ++i) {
        const double s = in.strategy[i];
        const double b = in.benchmark[i];
        const double e = s - b;
        excess[i] = e;
        if (s > 0.0) ++r.wins;
        if (e > 0.0) ++r.excess_wins;

        // Net value = running sum + 1; its drawdown is a difference of net values.
        net_value = cum.step(s) + 1.0;
        dd.step(net_value - peak.step(net_value));

        // The excess drawdown is taken on excess cum + 1, as a net value too.
        ecum = excess_cum.step(e);
        const double enav = ecum + 1.0;
        excess_dd.step(enav - excess_peak.step(enav));
    }
    r.last_net_value = net_value;
    r.min_drawdown = dd.value;
    r.last_excess_cum = ecum;
    r.min_excess_drawdown = excess_dd.value;

    const double first_close = in.close.data != nullptr ? in.close[0] : kNaN;
    if (!std::isnan(first_close) && first_close > 0.0) {
        r.last_benchmark_nav = in.close[n - 1] / first_close;
    } else {
        double nav = kNaN;
        for (std::size_t i = 0; i < n; ++i) nav = bench_cum.step(in.benchmark[i]) + 1.0;
        r.last_benchmark_nav = nav;
    }
    return r;
}

}  // namespace tessary::kernels
