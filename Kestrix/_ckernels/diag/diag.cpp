// Regression and series diagnostic kernels.
//
// Every regression is solved through the normal equations of the numeric core
// (Gram matrix, right-hand side, Cholesky solve); a failed pivot test becomes
// DIAG_FALLBACK so the caller can recompute by its own least-squares path.
//
// Floating point: sums of products start from +0.0 and add one term at a time
// in increasing index order with std::fma; plain sums are marked as such.
// Results are fixed to the last bit by this order, so nothing here is
// reassociated or split.
//
// Scratch beyond the caller's buffers is one Arena per call, allocated after
// the argument tests.  Every length handed to it is computed with overflow
// checks; a size that cannot be represented is reported as DIAG_NO_MEMORY.

#include "diag.h"

#include <cmath>
#include <limits>

#include "../_common/ksx_linalg.h"
#include "arena.hpp"

using ksx::Arena;
using ksx::checked_add;
using ksx::checked_mul;

static constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

// Least-squares fit of y_seg on the rows of X_seg; writes the residual sum of
// squares.  G, L, g, coef are caller scratch of sizes p*p, p*p, p, p.
// Returns the Cholesky status (non-zero: rss_out not written).
static int chow_segment_rss(const f64* y_seg, const f64* X_seg, i64 rows, i64 p,
                            f64* G, f64* L, f64* g, f64* coef, f64* rss_out) {
    ksx_gram(X_seg, G, rows, p);
    ksx_gram_rhs(X_seg, y_seg, g, rows, p);
    const int status = ksx_chol_solve(G, g, coef, L, p);
    if (status != 0) return status;
    f64 rss = 0.0;
    for (i64 r = 0; r < rows; ++r) {
        const f64 resid = y_seg[r] - ksx_dot(X_seg + r * p, coef, p);
        rss = std::fma(resid, resid, rss);
    }
    *rss_out = rss;
    return 0;
}

// Residual standard error sqrt(ssr / (T - p)) of the full-sample fit of y on
// X; the fit itself is the one of chow_segment_rss over all T rows.
static int ols_residual_sigma(const f64* y, const f64* X, i64 T, i64 p, f64* G,
                              f64* L, f64* g, f64* coef, f64* sigma_out) {
    f64 ssr = 0.0;
    const int status = chow_segment_rss(y, X, T, p, G, L, g, coef, &ssr);
    if (status != 0) return status;
    *sigma_out = std::sqrt(ssr / static_cast<f64>(T - p));
    return 0;
}

// Breusch-Godfrey LM statistic: n times the uncentred R^2 of eps regressed on
// the n-by-p design (1, X[r], eps[r-1], ..., eps[r-lags]), p = K + lags + 1,
// pre-sample lags filled with 0.0 and no row dropped.
//   lags >= n  -> DIAG_TOO_FEW_OBS, stat_out = NaN   (tested first)
//   lags < 0   -> DIAG_BAD_LAG,     stat_out = NaN
//   K < 0      -> DIAG_TOO_FEW_OBS, stat_out = NaN
//   arena fails (or its size is not representable) -> DIAG_NO_MEMORY, unwritten
//   Cholesky pivot test fails -> DIAG_FALLBACK, unwritten
//   otherwise DIAG_OK; stat = (1 - rss/tss)*n, or 0.0 when tss is not > 0.
// Arena order: design (n*p), G (p*p), L (p*p), g (p), coef (p).
int ksx_bg_stat(const f64* eps, const f64* X, i64 n, i64 K, i64 lags, f64* stat_out) {
    if (lags >= n) {
        *stat_out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    if (lags < 0) {
        *stat_out = kNaN;
        return DIAG_BAD_LAG;
    }
    if (K < 0) {
        *stat_out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    i64 p = 0, design_len = 0, square = 0;
    if (!checked_add(K, lags, &p) || !checked_add(p, 1, &p) ||
        !checked_mul(n, p, &design_len) || !checked_mul(p, p, &square)) {
        return DIAG_NO_MEMORY;
    }
    Arena arena({design_len, square, square, p, p});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* design = arena.take(design_len);
    f64* G = arena.take(square);
    f64* L = arena.take(square);
    f64* g = arena.take(p);
    f64* coef = arena.take(p);

    for (i64 r = 0; r < n; ++r) {
        f64* row = design + r * p;
        row[0] = 1.0;
        for (i64 c = 0; c < K; ++c) row[1 + c] = X[r * K + c];
        for (i64 l = 1; l <= lags; ++l) row[K + l] = r >= l ? eps[r - l] : 0.0;
    }

    ksx_gram(design, G, n, p);
    ksx_gram_rhs(design, eps, g, n, p);
    if (ksx_chol_solve(G, g, coef, L, p) != 0) return DIAG_FALLBACK;

    f64 rss = 0.0, tss = 0.0;
    for (i64 r = 0; r < n; ++r) {
        const f64 resid = eps[r] - ksx_dot(design + r * p, coef, p);
        rss = std::fma(resid, resid, rss);
        tss = std::fma(eps[r], eps[r], tss);
    }
    *stat_out = tss > 0.0 ? (1.0 - rss / tss) * static_cast<f64>(n) : 0.0;
    return DIAG_OK;
}

// Breusch-Pagan auxiliary regression of gvec[r] = eps[r]^2 / sigma2 on the
// n-by-p design X_aug (used as given), sigma2 = sum(eps^2)/n.  Writes the
// residual sum of squares and the sum of squares of gvec about its mean.
//   n == 0 -> DIAG_TOO_FEW_OBS;  n < 0 -> DIAG_UDEF_VARIANCE;
//   p < 0  -> DIAG_TOO_FEW_OBS;
//   sigma2 NaN, infinite or <= 0 -> DIAG_UDEF_VARIANCE;
//   arena fails -> DIAG_NO_MEMORY;  pivot test fails -> DIAG_FALLBACK.
// No output is written on any failure.  sum(eps^2), fits, rss and tss are
// fused sums; the sum of gvec behind the mean is a plain sum.
// Arena order: gvec (n), G (p*p), L (p*p), rhs (p), coef (p).
int ksx_bp_aux(const f64* eps, const f64* X_aug, i64 n, i64 p, f64* rss_out, f64* tss_out) {
    if (n == 0) return DIAG_TOO_FEW_OBS;
    if (n < 0) return DIAG_UDEF_VARIANCE;
    if (p < 0) return DIAG_TOO_FEW_OBS;

    f64 sum_sq = 0.0;
    for (i64 r = 0; r < n; ++r) sum_sq = std::fma(eps[r], eps[r], sum_sq);
    const f64 sigma2 = sum_sq / static_cast<f64>(n);
    if (!std::isfinite(sigma2) || sigma2 <= 0.0) return DIAG_UDEF_VARIANCE;

    i64 square = 0;
    if (!checked_mul(p, p, &square)) return DIAG_NO_MEMORY;
    Arena arena({n, square, square, p, p});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* gvec = arena.take(n);
    f64* G = arena.take(square);
    f64* L = arena.take(square);
    f64* rhs = arena.take(p);
    f64* coef = arena.take(p);

    for (i64 r = 0; r < n; ++r) {
        const f64 sq = eps[r] * eps[r];
        gvec[r] = sq / sigma2;
    }

    ksx_gram(X_aug, G, n, p);
    ksx_gram_rhs(X_aug, gvec, rhs, n, p);
    if (ksx_chol_solve(G, rhs, coef, L, p) != 0) return DIAG_FALLBACK;

    f64 g_sum = 0.0;
    for (i64 r = 0; r < n; ++r) g_sum += gvec[r];
    const f64 g_mean = g_sum / static_cast<f64>(n);

    f64 rss = 0.0, tss = 0.0;
    for (i64 r = 0; r < n; ++r) {
        const f64 resid = gvec[r] - ksx_dot(X_aug + r * p, coef, p);
        const f64 dev = gvec[r] - g_mean;
        rss = std::fma(resid, resid, rss);
        tss = std::fma(dev, dev, tss);
    }
    *rss_out = rss;
    *tss_out = tss;
    return DIAG_OK;
}

// Chow F statistic for a break before row t_break: fits on rows 0..T-1,
// 0..t_break-1 and t_break..T-1 (in that order, addressed in place), then
// F = ((rss_c - s)/p) / (s/(T - 2p)) with s = rss_1 + rss_2, IEEE division
// unguarded.
//   p < 0 or 2p >= T (2p taken exactly) -> DIAG_TOO_FEW_OBS, stat_out = NaN
//   t_break <= 0 or >= T -> DIAG_BAD_BREAK, stat_out = NaN
//   arena fails -> DIAG_NO_MEMORY; any fit's pivot test fails ->
//   DIAG_FALLBACK; stat_out unwritten on both.
// Arena order (shared by the three fits): G (p*p), L (p*p), g (p), coef (p).
int ksx_chow_stat(const f64* y, const f64* X, i64 T, i64 p, i64 t_break, f64* stat_out) {
    i64 two_p = 0;
    if (!checked_mul(2, p, &two_p) || two_p >= T) {
        *stat_out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    if (t_break <= 0 || t_break >= T) {
        *stat_out = kNaN;
        return DIAG_BAD_BREAK;
    }
    i64 square = 0;
    if (!checked_mul(p, p, &square)) return DIAG_NO_MEMORY;
    Arena arena({square, square, p, p});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* G = arena.take(square);
    f64* L = arena.take(square);
    f64* g = arena.take(p);
    f64* coef = arena.take(p);

    f64 rss_c = 0.0, rss_1 = 0.0, rss_2 = 0.0;
    if (chow_segment_rss(y, X, T, p, G, L, g, coef, &rss_c) != 0 ||
        chow_segment_rss(y, X, t_break, p, G, L, g, coef, &rss_1) != 0 ||
        chow_segment_rss(y + t_break, X + t_break * p, T - t_break, p, G, L, g, coef,
                         &rss_2) != 0) {
        return DIAG_FALLBACK;
    }
    const f64 s = rss_1 + rss_2;
    const f64 num = (rss_c - s) / static_cast<f64>(p);
    const f64 denom = s / static_cast<f64>(T - two_p);
    *stat_out = num / denom;
    return DIAG_OK;
}

// Recursive residuals: w_out[t - p] = e_t / sqrt(1 + x_t' P x_t) for
// t = p .. T-1, with e_t the prediction error of the fit on rows 0..t-1.
// The fit starts from the exactly identified first p rows (P = G^-1 by
// Cholesky) and is carried forward by Sherman-Morrison:
//   h = 1/f, k = e*h, beta += k*Px, P -= h*(Px Px')  (the product Px[j]*Px[b]
//   rounded, then one fused multiply-subtract; both triangles updated).
// e starts from y[t] and subtracts x_t[a]*beta[a] by fused steps.
//   p < 0, T == 0 or p >= T -> DIAG_TOO_FEW_OBS
//   arena fails -> DIAG_NO_MEMORY; first p rows not positive definite ->
//   DIAG_FALLBACK.  w_out is written only on DIAG_OK.
// Arena order: G (p*p), L (p*p), P (p*p), Xty (p), beta (p), Px (p).
int ksx_recursive_residuals(const f64* y, const f64* X, i64 T, i64 p, f64* w_out) {
    if (p < 0 || p >= T) return DIAG_TOO_FEW_OBS;
    i64 square = 0;
    if (!checked_mul(p, p, &square)) return DIAG_NO_MEMORY;
    Arena arena({square, square, square, p, p, p});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* G = arena.take(square);
    f64* L = arena.take(square);
    f64* P = arena.take(square);
    f64* Xty = arena.take(p);
    f64* beta = arena.take(p);
    f64* Px = arena.take(p);

    ksx_gram(X, G, p, p);
    ksx_gram_rhs(X, y, Xty, p, p);
    if (ksx_chol_inv(G, P, L, p) != 0) return DIAG_FALLBACK;
    for (i64 a = 0; a < p; ++a) beta[a] = ksx_dot(P + a * p, Xty, p);

    for (i64 t = p; t < T; ++t) {
        const f64* x = X + t * p;
        f64 e = y[t];
        for (i64 a = 0; a < p; ++a) e = std::fma(-x[a], beta[a], e);
        f64 q = 0.0;
        for (i64 i = 0; i < p; ++i) {
            Px[i] = ksx_dot(P + i * p, x, p);
            q = std::fma(x[i], Px[i], q);
        }
        const f64 f = q + 1.0;
        w_out[t - p] = e / std::sqrt(f);
        const f64 h = 1.0 / f;
        const f64 k = e * h;
        for (i64 j = 0; j < p; ++j) {
            beta[j] = std::fma(k, Px[j], beta[j]);
            f64* P_row = P + j * p;
            for (i64 b = 0; b < p; ++b) {
                const f64 prod = Px[j] * Px[b];
                P_row[b] = std::fma(-h, prod, P_row[b]);
            }
        }
    }
    return DIAG_OK;
}

// Standardised CUSUM: series_out[i] = (w[0] + ... + w[i]) / sigma, a plain
// running sum of the recursive residuals over the residual standard error of
// the full-sample fit (T - p degrees of freedom, sigma unguarded).
//   p < 0, T == 0 or p >= T -> DIAG_TOO_FEW_OBS
//   own arena fails -> DIAG_NO_MEMORY
//   ksx_recursive_residuals fails -> its status (DIAG_FALLBACK or NO_MEMORY)
//   full-sample pivot test fails -> DIAG_FALLBACK
// series_out is written only on DIAG_OK.
// Arena order: w (T-p), G (p*p), L (p*p), g (p), coef (p).
int ksx_cusum_series(const f64* y, const f64* X, i64 T, i64 p, f64* series_out) {
    if (p < 0 || p >= T) return DIAG_TOO_FEW_OBS;
    const i64 nrec = T - p;
    i64 square = 0;
    if (!checked_mul(p, p, &square)) return DIAG_NO_MEMORY;
    Arena arena({nrec, square, square, p, p});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* w = arena.take(nrec);
    f64* G = arena.take(square);
    f64* L = arena.take(square);
    f64* g = arena.take(p);
    f64* coef = arena.take(p);

    const int status = ksx_recursive_residuals(y, X, T, p, w);
    if (status != DIAG_OK) return status;
    f64 sigma = 0.0;
    if (ols_residual_sigma(y, X, T, p, G, L, g, coef, &sigma) != 0) return DIAG_FALLBACK;

    f64 acc = 0.0;
    for (i64 i = 0; i < nrec; ++i) {
        acc += w[i];
        series_out[i] = acc / sigma;
    }
    return DIAG_OK;
}

// CUSUM statistic: max over i of |series[i]| / (sqrt(nrec) + 2i/sqrt(nrec)),
// nrec = T - p, seeded by i = 0 and replaced only by a strictly larger value.
//   p < 0, T == 0 or p >= T -> DIAG_TOO_FEW_OBS, stat_out = NaN
//   own series block fails -> DIAG_NO_MEMORY, stat_out unwritten
//   ksx_cusum_series fails with s -> s, stat_out = NaN
// Scratch: series (nrec).
int ksx_cusum_stat(const f64* y, const f64* X, i64 T, i64 p, f64* stat_out) {
    if (p < 0 || p >= T) {
        *stat_out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    const i64 nrec = T - p;
    Arena arena({nrec});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* series = arena.take(nrec);

    const int status = ksx_cusum_series(y, X, T, p, series);
    if (status != DIAG_OK) {
        *stat_out = kNaN;
        return status;
    }
    const f64 sqrt_Tp = std::sqrt(static_cast<f64>(nrec));
    f64 best = 0.0;
    for (i64 i = 0; i < nrec; ++i) {
        const f64 bound = static_cast<f64>(i + i) / sqrt_Tp + sqrt_Tp;
        const f64 v = std::fabs(series[i]) / bound;
        if (i == 0 || v > best) best = v;
    }
    *stat_out = best;
    return DIAG_OK;
}

// CUSUM-of-squares statistic: max over i of |S_i - (i+1)/nrec| / sqrt(2), with
// S_i the share of the first i+1 squared recursive residuals in their total
// (both fused sums); seeded by i = 0, replaced only by a strictly larger value.
// n_out = T - p when the arguments are accepted, else 0; it is written first,
// on every return.
//   p < 0, T == 0 or p >= T -> DIAG_TOO_FEW_OBS, stat_out = NaN
//   own w block fails -> DIAG_NO_MEMORY, stat_out unwritten
//   ksx_recursive_residuals fails with s -> s, stat_out = NaN
// Scratch: w (nrec).
int ksx_cusumsq_stat(const f64* y, const f64* X, i64 T, i64 p, i64* n_out, f64* stat_out) {
    const bool accepted = p >= 0 && p < T;
    *n_out = accepted ? T - p : 0;
    if (!accepted) {
        *stat_out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    const i64 nrec = T - p;
    Arena arena({nrec});
    if (!arena.ok()) return DIAG_NO_MEMORY;
    f64* w = arena.take(nrec);

    const int status = ksx_recursive_residuals(y, X, T, p, w);
    if (status != DIAG_OK) {
        *stat_out = kNaN;
        return status;
    }
    f64 total_sq = 0.0;
    for (i64 i = 0; i < nrec; ++i) total_sq = std::fma(w[i], w[i], total_sq);

    f64 acc = 0.0, best = 0.0;
    for (i64 i = 0; i < nrec; ++i) {
        acc = std::fma(w[i], w[i], acc);
        const f64 dev = std::fabs(acc / total_sq - static_cast<f64>(i + 1) / static_cast<f64>(nrec));
        if (i == 0 || dev > best) best = dev;
    }
    *stat_out = best / 1.4142135623730951;
    return DIAG_OK;
}

// Sample autocorrelations out[l] = num(l)/denom for l = 0..L (L not clamped),
// num(l) = sum_{i>=l} z[i]*z[i-l], denom = sum z[i]^2 (fused sums), z = x - mu
// left in z_scratch, mu a plain sum over n.  out[0] is exactly 1.0 and lags
// l >= n are exactly 0.0.  When denom is not a positive finite number
// (including n <= 0, where x is not read) out[0..L] = NaN and the result is
// DIAG_UDEF_VARIANCE.  L < 0 writes nothing into out.
int ksx_acorr(const f64* x, i64 n, i64 L, f64* z_scratch, f64* out) {
    f64 sum = 0.0;
    for (i64 i = 0; i < n; ++i) sum += x[i];
    const f64 mu = sum / static_cast<f64>(n);
    f64 denom = 0.0;
    for (i64 i = 0; i < n; ++i) {
        z_scratch[i] = x[i] - mu;
        denom = std::fma(z_scratch[i], z_scratch[i], denom);
    }
    if (!(denom > 0.0) || !std::isfinite(denom)) {
        for (i64 l = 0; l <= L; ++l) out[l] = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    if (L < 0) return DIAG_OK;
    out[0] = 1.0;
    for (i64 l = 1; l <= L; ++l) {
        f64 num = 0.0;
        for (i64 i = l; i < n; ++i) num = std::fma(z_scratch[i], z_scratch[i - l], num);
        out[l] = num / denom;
    }
    return DIAG_OK;
}

// Ljung-Box Q = n(n+2) * sum_{l=1..L_eff} rho(l)^2/(n-l), L_eff = min(L, n-1).
// Each term is formed (square, then division) and added in ascending l; the
// sum is then multiplied by (f64)n * (f64)(n+2).
//   n < 2 -> DIAG_TOO_FEW_OBS; L < 1 (with L < n) -> DIAG_BAD_LAG;
//   constant or non-finite series -> DIAG_UDEF_VARIANCE.  NaN on each.
// acorr_scratch needs L_eff + 1 <= n elements.
int ksx_lb_stat(const f64* x, i64 n, i64 L, f64* z_scratch, f64* acorr_scratch, f64* out) {
    if (n < 2) {
        *out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    i64 L_eff = L;
    if (L >= n) {
        L_eff = n - 1;
    } else if (L < 1) {
        *out = kNaN;
        return DIAG_BAD_LAG;
    }
    const int acorr_err = ksx_acorr(x, n, L_eff, z_scratch, acorr_scratch);
    if (acorr_err != DIAG_OK) {
        *out = kNaN;
        return acorr_err;
    }
    f64 stat = 0.0;
    for (i64 ell = 1; ell <= L_eff; ++ell) {
        const f64 rho = acorr_scratch[ell];
        const f64 term = (rho * rho) / static_cast<f64>(n - ell);
        stat += term;
    }
    stat = stat * (static_cast<f64>(n) * static_cast<f64>(n + 2));
    *out = stat;
    return DIAG_OK;
}

// Jarque-Bera JB = n * (skew^2/6 + (kurt - 3)^2/24) from population moments
// (divisor n).  Per deviation d: d2 = d*d rounded, m2 += d2 plain,
// m3 = fma(d, d2, m3), m4 = fma(d2, d2, m4); skew = m3/pow(m2, 1.5).
//   n == 0 -> DIAG_TOO_FEW_OBS, out = NaN
//   m2 <= 0 or not finite (also n < 0, where x is not read) ->
//   DIAG_UDEF_VARIANCE, out = NaN
//   otherwise out = JB, and the status is DIAG_TOO_FEW_OBS for n < 10,
//   DIAG_OK from ten observations on.
int ksx_jb_stat(const f64* x, i64 n, f64* out) {
    if (n == 0) {
        *out = kNaN;
        return DIAG_TOO_FEW_OBS;
    }
    const f64 nf = static_cast<f64>(n);
    f64 sum = 0.0;
    for (i64 i = 0; i < n; ++i) sum += x[i];
    const f64 mean = sum / nf;

    f64 m2 = 0.0, m3 = 0.0, m4 = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = x[i] - mean;
        const f64 d2 = d * d;
        m2 += d2;
        m3 = std::fma(d, d2, m3);
        m4 = std::fma(d2, d2, m4);
    }
    m2 /= nf;
    m3 /= nf;
    m4 /= nf;
    if (!std::isfinite(m2) || m2 <= 0.0) {
        *out = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    const f64 skew = m3 / std::pow(m2, 1.5);
    const f64 kurt = m4 / (m2 * m2);
    const f64 kurt_minus_3 = kurt - 3.0;
    const f64 inner = (skew * skew) / 6.0 + (kurt_minus_3 * kurt_minus_3) / 24.0;
    *out = nf * inner;
    return n < 10 ? DIAG_TOO_FEW_OBS : DIAG_OK;
}
