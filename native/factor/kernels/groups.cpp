// Forward returns, group means, group turnover and the demeaning of values within
// their label (industry neutralisation).
#include <algorithm>
#include <cmath>
#include <vector>

#include "factor/kernels/factor_kernels.hpp"

namespace tessary::factor {

namespace {

// The sum and the count of one day's values per label 1..k (index 0 unused); values
// that are NaN or whose label lies outside 1..k are left out.
void sums_by_label(const double *v, const std::int32_t *lab, std::size_t n, std::int32_t k, std::vector<double> &sum,
                   std::vector<std::size_t> &cnt) {
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(cnt.begin(), cnt.end(), 0);
    for (std::size_t s = 0; s < n; ++s) {
        const std::int32_t g = lab[s];
        if (g < 1 || g > k || std::isnan(v[s])) continue;
        sum[g] += v[s];
        ++cnt[g];
    }
}

}  // namespace

void forward_return_1(const double *open, const double *split, const double *dividend, std::size_t days,
                      std::size_t n, double *r1) {
    for (std::size_t t = 0; t < days; ++t) {
        double *o = r1 + t * n;
        if (t + 1 >= days) {
            for (std::size_t s = 0; s < n; ++s) o[s] = NAN;
            continue;
        }
        const double *now = open + t * n, *next = open + (t + 1) * n;
        const double *sp = split + (t + 1) * n, *dv = dividend + (t + 1) * n;
        for (std::size_t s = 0; s < n; ++s) {
            const double a = now[s], b = next[s];
            if (!(std::isfinite(a) && a > 0.0 && std::isfinite(b) && b > 0.0)) {
                o[s] = NAN;
                continue;
            }
            const double f = std::isnan(sp[s]) ? 1.0 : sp[s];
            const double d = std::isnan(dv[s]) ? 0.0 : dv[s];
            o[s] = (b * f + d) / a - 1.0;
        }
    }
}

void forward_return_h(const double *r1, std::size_t days, std::size_t n, std::size_t h, double *out) {
    for (std::size_t t = 0; t < days; ++t) {
        double *o = out + t * n;
        if (h == 0 || t + h >= days) {
            for (std::size_t s = 0; s < n; ++s) o[s] = NAN;
            continue;
        }
        for (std::size_t s = 0; s < n; ++s) o[s] = 1.0 + r1[(t + 1) * n + s];
        for (std::size_t k = 2; k <= h; ++k) {
            const double *row = r1 + (t + k) * n;
            for (std::size_t s = 0; s < n; ++s) o[s] *= 1.0 + row[s];
        }
        for (std::size_t s = 0; s < n; ++s) o[s] -= 1.0;
    }
}

void group_means(const double *values, const std::int64_t *value_rows, const std::int32_t *labels, std::size_t rows,
                 std::size_t n, std::int32_t k, double *out) {
    std::vector<double> sum(k + 1);
    std::vector<std::size_t> cnt(k + 1);
    for (std::size_t t = 0; t < rows; ++t) {
        double *o = out + t * (std::size_t)k;
        for (std::int32_t g = 0; g < k; ++g) o[g] = NAN;
        if (value_rows[t] < 0) continue;
        sums_by_label(values + (std::size_t)value_rows[t] * n, labels + t * n, n, k, sum, cnt);
        for (std::int32_t g = 1; g <= k; ++g)
            if (cnt[g]) o[g - 1] = sum[g] / (double)cnt[g];
    }
}

void group_turnover(const std::int32_t *labels, std::size_t rows, std::size_t n, std::int32_t k, double *out) {
    std::vector<std::size_t> now(k + 1), kept(k + 1);
    for (std::size_t t = 0; t < rows; ++t) {
        double *o = out + t * (std::size_t)k;
        for (std::int32_t g = 0; g < k; ++g) o[g] = NAN;
        if (t == 0) continue;
        const std::int32_t *lab = labels + t * n, *before = labels + (t - 1) * n;
        std::fill(now.begin(), now.end(), 0);
        std::fill(kept.begin(), kept.end(), 0);
        for (std::size_t s = 0; s < n; ++s) {
            const std::int32_t g = lab[s];
            if (g < 1 || g > k) continue;
            ++now[g];
            kept[g] += before[s] == g;
        }
        for (std::int32_t g = 1; g <= k; ++g)
            if (now[g]) o[g - 1] = 1.0 - (double)kept[g] / (double)now[g];
    }
}

void demean_by_label(const double *x, const std::int32_t *labels, std::size_t rows, std::size_t n, std::int32_t k,
                     double *out) {
    std::vector<double> sum(k + 1);
    std::vector<std::size_t> cnt(k + 1);
    for (std::size_t t = 0; t < rows; ++t) {
        const double *v = x + t * n;
        const std::int32_t *lab = labels + t * n;
        double *o = out + t * n;
        sums_by_label(v, lab, n, k, sum, cnt);
        for (std::size_t s = 0; s < n; ++s) {
            const std::int32_t g = lab[s];
            o[s] = (g < 1 || g > k || std::isnan(v[s])) ? NAN : v[s] - sum[g] / (double)cnt[g];
        }
    }
}

}  // namespace tessary::factor
