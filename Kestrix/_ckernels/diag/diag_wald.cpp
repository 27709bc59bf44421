// HAC, Wald and moment kernels, lag windows and bandwidth rules.
//
// Every result here is fixed to the last bit by the order of its operations:
// plain sums are left folds from +0.0 in index order, sums of products fuse
// each product into the running sum, and divisions are true divisions.  The
// file must be compiled without floating-point contraction.
#include "diag_wald.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "../_common/ksx_dispatch.hpp"
#include "../_common/ksx_linalg.h"

// Andrews constants (c, q) per window, indexed by KernelID.
const kernel_inp_t KERNEL_SPECS[3] = {
    {1.1447, 1.0}, /* BARTLETT */
    {2.6614, 2.0}, /* PARZEN */
    {1.3221, 2.0}, /* QS */
};

namespace {

// 6*pi and 12*pi^2 as the QS window uses them.
constexpr f64 kSixPi = 18.84955592153876;
constexpr f64 kTwelvePiSq = 118.4352528130723;

// Variance at or below this counts as a constant series.
constexpr f64 kConstantVariance = 1e-14;

}  // namespace

// Mean of column `col` of the n-by-p matrix x: a plain left-fold sum over the
// rows from +0.0, then one true division by n.
static f64 col_mean(const f64* x, i64 n, i64 p, i64 col) {
    f64 sum = 0.0;
    for (i64 i = 0; i < n; ++i) sum = sum + x[i * p + col];
    return sum / static_cast<f64>(n);
}

// Variance of column `col` around `mean` with divisor n; the squared
// deviations are fused into the running sum in row order.
KSX_DISPATCH
static f64 col_var(const f64* x, f64 mean, i64 n, i64 p, i64 col) {
    f64 acc = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = x[i * p + col] - mean;
        acc = std::fma(d, d, acc);
    }
    return acc / static_cast<f64>(n);
}

// AR(1) plug-in bandwidth of the series y[0], y[stride], ..., y[(n-1)*stride]
// for a window with constants c and q; at least 1.  The AR coefficient is fit
// through the origin on the raw series and clamped to [-0.999, 0.999].
// Degenerate input (n <= 1, constant or non-finite series, rhat <= 0) gives 1.
KSX_DISPATCH
static i64 andrews_bw_strided(const f64* y, i64 n, i64 stride, f64 c, f64 q) {
    if (n <= 1) return 1;

    const f64 mean = col_mean(y, n, stride, 0);
    const f64 var = col_var(y, mean, n, stride, 0);
    if (var <= kConstantVariance) return 1;

    f64 denom = 0.0;
    f64 numer = 0.0;
    for (i64 i = 1; i < n; ++i) {
        const f64 prev = y[(i - 1) * stride];
        denom = std::fma(prev, prev, denom);
        numer = std::fma(y[i * stride], prev, numer);
    }
    if (!std::isfinite(denom) || !std::isfinite(numer) || denom == 0.0) return 1;

    f64 rhat = numer / denom;
    if (rhat > 0.999) rhat = 0.999;
    if (rhat < -0.999) rhat = -0.999;

    const f64 beta = 2.0 * rhat * (1.0 + rhat) / ((1.0 - rhat) * (1.0 - rhat));
    if (beta <= 0.0 || !std::isfinite(beta)) return 1;

    const f64 expo = 1.0 / (2.0 * q + 1.0);
    const f64 bw = c * std::pow(beta, expo) * std::pow(static_cast<f64>(n), expo);
    return max_i64(1, static_cast<i64>(std::floor(bw)));
}

// Weight of lag j for bandwidth L under the window kernel_id, with the lag
// scaled by L + 1.  Bartlett truncates after lag L (integer test), Parzen
// after x = 1; QS is never truncated and may be negative.  An unknown window
// weighs every lag 0.0.
f64 kernel_weight(i64 j, i64 L, KernelID kernel_id) {
    // L + 1 taken without signed overflow: 2^63 is exact in f64.
    const f64 span = L < std::numeric_limits<i64>::max() ? static_cast<f64>(L + 1)
                                                         : 9223372036854775808.0;
    const f64 x = static_cast<f64>(j) / span;

    switch (kernel_id) {
    case BARTLETT:
        return j <= L ? 1.0 - x : 0.0;
    case PARZEN: {
        if (x > 1.0) return 0.0;
        if (x <= 0.5) {
            // 1 - 6 x^2 + 6 x^3 with both products fused; s*x rounded first.
            const f64 s = x * x;
            const f64 t = std::fma(-6.0, s, 1.0);
            return std::fma(6.0, s * x, t);
        }
        const f64 u = 1.0 - x;
        return 2.0 * u * u * u;
    }
    case QS: {
        if (std::fabs(x) <= 1e-8) return 1.0;
        const f64 arg = (x * kSixPi) / 5.0;
        const f64 outer = 25.0 / ((x * kTwelvePiSq) * x);
        return outer * (std::sin(arg) / arg - std::cos(arg));
    }
    default:
        return 0.0;
    }
}

// floor(4 (n/100)^(2/9)); x is not read.  n = 0 gives 0; a negative n, for
// which the power is undefined, also gives 0.
i64 wooldridge_bandwidth(const f64* x, i64 n) {
    (void)x;
    if (n < 0) return 0;
    const f64 bw = 4.0 * std::pow(static_cast<f64>(n) / 100.0, 2.0 / 9.0);
    return static_cast<i64>(std::floor(bw));
}

// Andrews AR(1) plug-in bandwidth of the n values of y, at least 1.  An
// unknown window has no constants and gives 1.
i64 andrews_bandwidth(const f64* y, KernelID kernel_id, i64 n) {
    if (kernel_id >= KERNEL_COUNT) return 1;
    const kernel_inp_t window = KERNEL_SPECS[kernel_id];
    return andrews_bw_strided(y, n, 1, window.c, window.q);
}

// Median (floored) of the plug-in bandwidths of the columns of the n-by-p
// matrix r, read in place with stride p.  Columns with variance <= 1e-14 or
// NaN are left out rather than counted as 1.  ls[0..m-1] receives the m
// contributing bandwidths sorted ascending; ls[m..] is untouched.  p == 1 is
// the single-series rule and leaves ls alone; no contributor (p <= 0, n <= 0,
// all columns constant) or an unknown window gives 1.
i64 andrews_bandwidth_matrix(const f64* r, KernelID kernel_id, i64 n, i64 p, f64* ls) {
    if (p == 1) return andrews_bandwidth(r, kernel_id, n);
    if (kernel_id >= KERNEL_COUNT) return 1;

    const kernel_inp_t window = KERNEL_SPECS[kernel_id];
    i64 m = 0;
    for (i64 j = 0; j < p; ++j) {
        const f64 mean = col_mean(r, n, p, j);
        const f64 var = col_var(r, mean, n, p, j);
        if (var > kConstantVariance) {
            ls[m] = static_cast<f64>(andrews_bw_strided(r + j, n, p, window.c, window.q));
            ++m;
        }
    }
    if (m == 0) return 1;
    return static_cast<i64>(std::floor(ksx_median_f64(ls, m)));
}

// mean[j] = column sum of x (n-by-p) / n.  Each column is a left fold from
// +0.0 in row order (a column of -0.0 gives +0.0), then one true division by
// n, so n = 0 gives NaN for every column.
KSX_DISPATCH
void ksx_fill_mean_ax0(const f64* x, i64 n, i64 p, f64* mean) {
    if (p <= 0) return;
    for (i64 j = 0; j < p; ++j) mean[j] = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64* row = x + i * p;
        for (i64 j = 0; j < p; ++j) mean[j] = mean[j] + row[j];
    }
    const f64 rows = static_cast<f64>(n);
    for (i64 j = 0; j < p; ++j) mean[j] = mean[j] / rows;
}

// centered[i][j] = x[i][j] - mean[j] for the n-by-p matrix x.
KSX_DISPATCH
void ksx_fill_centered_ax0(const f64* x, const f64* mean, i64 n, i64 p, f64* centered) {
    if (p <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* row = x + i * p;
        f64* dst = centered + i * p;
        for (i64 j = 0; j < p; ++j) dst[j] = row[j] - mean[j];
    }
}

// Long-run covariance of the centred n-by-p moments r:
//   out = (Gamma_0 + sum_{j=1..L_eff} w_j (Gamma_j + Gamma_j')) / n,
// Gamma_j = sum_t r_t r_{t+j}', L_eff = min(L, n-1), w_j the window weight
// at bandwidth L_eff.  Lags of weight exactly 0.0 are skipped.  Each lag adds
// w_j * (G[i][k] + G[k][i]) by one fma, so (i, k) and (k, i) receive the same
// increments and the result is exactly symmetric.  gamma_scratch (p-by-p)
// holds the last lag product.  n <= 0 gives a NaN matrix; p <= 0 writes
// nothing.
KSX_DISPATCH
void ksx_hac_estimator_matmul(f64* r, KernelID kernel_id, i64 L, i64 n, i64 p,
                              f64* gamma_scratch, f64* out) {
    if (p <= 0) return;
    const i64 rows = n < 0 ? 0 : n;

    ksx_gram(r, out, rows, p);
    const i64 L_eff = min_i64(L, rows - 1);
    for (i64 j = 1; j <= L_eff; ++j) {
        const f64 w = kernel_weight(j, L_eff, kernel_id);
        if (w == 0.0) continue;
        ksx_matmul_atb(r, r + j * p, gamma_scratch, rows - j, p, p);
        for (i64 i = 0; i < p; ++i) {
            for (i64 k = 0; k < p; ++k) {
                const f64 pair = gamma_scratch[i * p + k] + gamma_scratch[k * p + i];
                out[i * p + k] = std::fma(w, pair, out[i * p + k]);
            }
        }
    }

    const f64 scale = static_cast<f64>(rows);
    for (i64 i = 0; i < p * p; ++i) out[i] = out[i] / scale;
}

// n * dev' omega^-1 dev with dev = mean - target, through the Cholesky factor
// of the lower triangle of omega: z = L^-1 dev and the statistic is n * |z|^2
// (squares fused into the sum in index order).  dev_scratch ends as dev, or z
// after a successful factorisation; L_scratch holds the (partial) factor.
// DIAG_FALLBACK when the factorisation fails its pivot test (stat_out not
// written); DIAG_OK otherwise.  p <= 0 is an empty quadratic form: stat 0.
int ksx_wald_stat_from_mean_and_cov(const f64* mean, const f64* target, const f64* omega,
                                    i64 n, i64 p, f64* dev_scratch, f64* L_scratch,
                                    f64* stat_out) {
    if (p < 0) p = 0;
    for (i64 i = 0; i < p; ++i) dev_scratch[i] = mean[i] - target[i];

    if (ksx_chol(omega, 0.0, L_scratch, p) != 0) return DIAG_FALLBACK;
    ksx_forward_subst(L_scratch, dev_scratch, dev_scratch, p);

    f64 quad = 0.0;
    for (i64 i = 0; i < p; ++i) quad = std::fma(dev_scratch[i], dev_scratch[i], quad);
    *stat_out = static_cast<f64>(n) * quad;
    return DIAG_OK;
}

// Row t of out (row stride q) receives the upper triangle of x_t x_t', row by
// row: x_t[i] * x_t[j] for i = 0..p-1, j = i..p-1, one rounded product each.
// Entries of a row beyond p(p+1)/2 are not written.  n <= 0 or p <= 0 writes
// nothing.  DIAG_BAD_SHAPE, with nothing written, when q < p(p+1)/2: the rows
// would run into one another and past the end of out.
KSX_DISPATCH
int ksx_symmetric_outer_prod_2dim(const f64* x, i64 n, i64 p, i64 q, f64* out) {
    if (n <= 0 || p <= 0) return DIAG_OK;
    i64 pairs = 0;
    if (__builtin_mul_overflow(p, p + 1, &pairs) || q < pairs / 2) return DIAG_BAD_SHAPE;

    for (i64 t = 0; t < n; ++t) {
        const f64* row = x + t * p;
        f64* dst = out + t * q;
        i64 k = 0;
        for (i64 i = 0; i < p; ++i) {
            const f64 xi = row[i];
            for (i64 j = i; j < p; ++j) dst[k++] = row[j] * xi;
        }
    }
    return DIAG_OK;
}

// Packs the upper triangle of the p-by-p target row by row into out, after
// checking each pair a = target[i][j] (kept) against its mirror b =
// target[j][i]: equal values pass; otherwise |a - b| must be finite and not
// exceed fma(|b|, rtol, atol) (a NaN tolerance passes).  The first failing
// pair returns DIAG_BAD_SHAPE with the entries before it written and the rest
// untouched; otherwise DIAG_OK.
int ksx_fill_symmetric_target_vec(const f64* target, f64 atol, f64 rtol, i64 p, f64* out) {
    i64 k = 0;
    for (i64 i = 0; i < p; ++i) {
        for (i64 j = i; j < p; ++j) {
            const f64 a = target[i * p + j];
            const f64 b = target[j * p + i];
            if (!(a == b)) {
                const f64 diff = std::fabs(a - b);
                if (!std::isfinite(diff)) return DIAG_BAD_SHAPE;
                const f64 tol = std::fma(std::fabs(b), rtol, atol);
                if (tol < diff) return DIAG_BAD_SHAPE;
            }
            out[k++] = a;
        }
    }
    return DIAG_OK;
}
