// Per-row stable orders of the present values (a radix sort on the values' bits),
// and the ranks, rank correlations and ordinal groups read off those orders.
#include <cmath>
#include <cstring>
#include <vector>

#include "factor/kernels/factor_kernels.hpp"
#include "factor/kernels/row_threads.hpp"

namespace tessary::factor {

namespace {

constexpr int kDigitBits = 11;
constexpr int kPasses = 6;  // 6 x 11 bits cover the 64 bits of a key
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

/// An unsigned key that sorts like the double (no NaN here; -0.0 taken as +0.0 so
/// that the two zeros tie).
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
}

/// Sorts `idx[0..m)` by `key[0..m)`, stably (least significant digit first), using
/// the two scratch arrays; a digit every key shares is skipped.
void radix_sort(std::uint64_t *key, std::int32_t *idx, std::uint64_t *key_tmp, std::int32_t *idx_tmp, std::size_t m,
                std::vector<std::uint32_t> &hist) {
    hist.assign(kPasses * kBuckets, 0);
    for (std::size_t i = 0; i < m; ++i)
        for (int p = 0; p < kPasses; ++p) ++hist[p * kBuckets + ((key[i] >> (p * kDigitBits)) & (kBuckets - 1))];
    for (int p = 0; p < kPasses; ++p) {
        std::uint32_t *h = hist.data() + p * kBuckets;
        const std::uint32_t first = h[(key[0] >> (p * kDigitBits)) & (kBuckets - 1)];
        if (first == m) continue;  // every key has this digit
        std::uint32_t total = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t c = h[b];
            h[b] = total;
            total += c;
        }
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t at = h[(key[i] >> (p * kDigitBits)) & (kBuckets - 1)]++;
            key_tmp[at] = key[i];
            idx_tmp[at] = idx[i];
        }
        std::memcpy(key, key_tmp, m * sizeof *key);
        std::memcpy(idx, idx_tmp, m * sizeof *idx);
    }
}

/// Walks one row's order over the members and hands each run of equal values, with
/// its average rank, to `run_done(first, last, rank)` (positions into `run`).
/// Returns the number of members; `runs` counts the runs.
template <class RunDone>
std::size_t walk_runs(const double *values, const std::int32_t *order, std::int32_t count, const std::uint8_t *member,
                      std::int32_t *run, std::size_t &runs, RunDone &&run_done) {
    std::size_t m = 0, start = 0;
    runs = 0;
    double current = 0.0;
    for (std::int32_t j = 0; j < count; ++j) {
        const std::int32_t s = order[j];
        if (!member[s]) continue;
        const double v = values[s];
        if (m > start && v != current) {
            run_done(start, m, 0.5 * (double)(start + 1 + m));
            ++runs;
            start = m;
        }
        current = v;
        run[m++] = s;
    }
    if (m > start) {
        run_done(start, m, 0.5 * (double)(start + 1 + m));
        ++runs;
    }
    return m;
}

}  // namespace

void row_orders(const double *x, std::size_t rows, std::size_t n, std::int32_t *order, std::int32_t *count) {
    over_row_blocks(rows, n, [&](std::size_t first, std::size_t end) {
        std::vector<std::uint64_t> key(n), key_tmp(n);
        std::vector<std::int32_t> idx_tmp(n);
        std::vector<std::uint32_t> hist;
        for (std::size_t r = first; r < end; ++r) {
            const double *row = x + r * n;
            std::int32_t *idx = order + r * n;
            std::size_t m = 0;
            for (std::size_t s = 0; s < n; ++s) {
                if (std::isnan(row[s])) continue;
                key[m] = sort_key(row[s]);
                idx[m++] = (std::int32_t)s;
            }
            if (m > 1) radix_sort(key.data(), idx, key_tmp.data(), idx_tmp.data(), m, hist);
            for (std::size_t j = m; j < n; ++j) idx[j] = -1;
            count[r] = (std::int32_t)m;
        }
    });
}

void rank_corr(const double *x, const std::int32_t *x_order, const std::int32_t *x_count, const std::int64_t *x_rows,
               const double *y, const std::int32_t *y_order, const std::int32_t *y_count, const std::int64_t *y_rows,
               const std::uint8_t *mask, std::size_t rows, std::size_t n, std::size_t min_count, double *out,
               const double *x_ranks) {
    over_row_blocks(rows, n, [&](std::size_t first, std::size_t end) {
        std::vector<std::uint8_t> member(n);
        std::vector<double> rx(n);
        std::vector<std::int32_t> run(n);
        for (std::size_t t = first; t < end; ++t) {
            out[t] = NAN;
            const std::int64_t xr = x_rows[t], yr = y_rows[t];
            if (xr < 0 || yr < 0) continue;
            const double *xv = x + (std::size_t)xr * n, *yv = y + (std::size_t)yr * n;
            const std::uint8_t *mrow = mask + t * n;
            std::size_t members = 0, x_side = 0;
            for (std::size_t s = 0; s < n; ++s) {
                const bool on_x = mrow[s] && !std::isnan(xv[s]);
                const bool in = on_x && !std::isnan(yv[s]);
                member[s] = in;
                members += in;
                x_side += on_x;
            }
            if (members < min_count || members < 2) continue;
            // Ranks are multiples of 1/2 and the sums below stay far under 2^53 for any
            // realistic cross-section, so they are exact (in any order of addition).
            double sx = 0.0, sxx = 0.0;
            std::size_t x_runs = 0, y_runs = 0;
            // When every stock of the x side is a member, its ranks among the members are
            // the given ones (of row t); otherwise they are ranked afresh.
            const double *ranks = x_ranks && members == x_side ? x_ranks + t * n : nullptr;
            if (!ranks) {
                walk_runs(xv, x_order + (std::size_t)xr * n, x_count[xr], member.data(), run.data(), x_runs,
                          [&](std::size_t a, std::size_t b, double rank) {
                              for (std::size_t i = a; i < b; ++i) rx[run[i]] = rank;
                              sx += rank * (double)(b - a);
                              sxx += rank * rank * (double)(b - a);
                          });
                if (x_runs < 2) continue;
                ranks = rx.data();
            }
            const bool summed = ranks == rx.data();
            double sy = 0.0, syy = 0.0, sxy = 0.0;
            walk_runs(yv, y_order + (std::size_t)yr * n, y_count[yr], member.data(), run.data(), y_runs,
                      [&](std::size_t a, std::size_t b, double rank) {
                          double part = 0.0;
                          for (std::size_t i = a; i < b; ++i) part += ranks[run[i]];
                          if (!summed) {
                              for (std::size_t i = a; i < b; ++i) {
                                  sx += ranks[run[i]];
                                  sxx += ranks[run[i]] * ranks[run[i]];
                              }
                          }
                          sxy += rank * part;
                          sy += rank * (double)(b - a);
                          syy += rank * rank * (double)(b - a);
                      });
            if (y_runs < 2) continue;
            const double m = (double)members;
            const double vx = sxx - sx * sx / m, vy = syy - sy * sy / m;
            if (!(vx > 0.0)) continue;  // a constant x side
            const double cov = sxy - sx * sy / m;
            out[t] = cov / std::sqrt(vx * vy);
        }
    });
}

void masked_ranks(const double *x, const std::int32_t *order, const std::int32_t *count, const std::uint8_t *mask,
                  std::size_t rows, std::size_t n, double *out) {
    over_row_blocks(rows, n, [&](std::size_t first, std::size_t end) {
        std::vector<std::uint8_t> member(n);
        std::vector<std::int32_t> run(n);
        for (std::size_t t = first; t < end; ++t) {
            const double *xv = x + t * n;
            double *o = out + t * n;
            for (std::size_t s = 0; s < n; ++s) {
                member[s] = mask[t * n + s] && !std::isnan(xv[s]);
                o[s] = NAN;
            }
            std::size_t runs = 0;
            walk_runs(xv, order + t * n, count[t], member.data(), run.data(), runs,
                      [&](std::size_t a, std::size_t b, double rank) {
                          for (std::size_t i = a; i < b; ++i) o[run[i]] = rank;
                      });
        }
    });
}

void ordinal_groups([[maybe_unused]] const double *x, const std::int32_t *order, const std::int32_t *count, const std::uint8_t *mask,
                    std::size_t rows, std::size_t n, std::int32_t groups, std::int32_t *labels) {
    over_row_blocks(rows, n, [&](std::size_t first, std::size_t end) {
        std::vector<std::int32_t> members(n);
        for (std::size_t t = first; t < end; ++t) {
            std::int32_t *lab = labels + t * n;
            for (std::size_t s = 0; s < n; ++s) lab[s] = 0;
            const std::int32_t *ord = order + t * n;
            std::size_t m = 0;
            for (std::int32_t j = 0; j < count[t]; ++j)
                if (mask[t * n + ord[j]]) members[m++] = ord[j];
            if (groups < 1 || m < (std::size_t)groups) continue;
            for (std::size_t j = 0; j < m; ++j)
                lab[members[j]] = (std::int32_t)((std::int64_t)j * groups / (std::int64_t)m) + 1;
        }
    });
}

}  // namespace tessary::factor
