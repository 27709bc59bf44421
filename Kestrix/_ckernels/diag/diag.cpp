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

#include "../_common/ksx_dispatch.hpp"
#include "../_common/ksx_linalg.h"
#include "arena.hpp"

using ksx::Arena;
using ksx::checked_add;
using ksx::checked_mul;

static constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

namespace {

using ksx::simd::v4;
namespace vs = ksx::simd;

// Fitted value x . coef of one row: the chain fma(x[k], coef[k], s) over k
// from +0.0, as ksx_dot computes it (inlined into the dispatched callers).
KSX_INLINE f64 row_fit(const f64* x, const f64* coef, i64 p) {
    f64 s = 0.0;
    for (i64 k = 0; k < p; ++k) s = std::fma(x[k], coef[k], s);
    return s;
}

// Fitted values of the 16 consecutive rows at X (row stride p) into fit[16].
// Lane l of vector v holds row 4v + l and runs that row's own chain over k:
// sixteen independent chains side by side instead of one after the other.
constexpr i64 kFitRows = 16;

KSX_INLINE void fit_rows16(const f64* X, i64 p, const f64* coef, f64* fit) {
    v4 s[4];
#pragma GCC unroll 4
    for (int v = 0; v < 4; ++v) s[v] = vs::splat<v4>(0.0);
    for (i64 k = 0; k < p; ++k) {
        const v4 c = vs::splat<v4>(coef[k]);
        const f64* x = X + k;
#pragma GCC unroll 4
        for (int v = 0; v < 4; ++v) {
            const f64* xv = x + 4 * v * p;
            const v4 col = {xv[0], xv[p], xv[2 * p], xv[3 * p]};
            s[v] = vs::fma(col, c, s[v]);
        }
    }
#pragma GCC unroll 4
    for (int v = 0; v < 4; ++v) vs::store(fit + 4 * v, s[v]);
}

// Residual sum of squares sum_r (y[r] - X_r . coef)^2 of rows 0..rows-1, one
// fused chain over r in order (the fits come sixteen rows at a time).
KSX_DISPATCH f64 residual_ss(const f64* y, const f64* X, i64 rows, i64 p, const f64* coef) {
    f64 rss = 0.0;
    f64 fit[kFitRows];
    i64 r = 0;
    for (; r + kFitRows <= rows; r += kFitRows) {
        fit_rows16(X + r * p, p, coef, fit);
        for (i64 l = 0; l < kFitRows; ++l) {
            const f64 resid = y[r + l] - fit[l];
            rss = std::fma(resid, resid, rss);
        }
    }
    for (; r < rows; ++r) {
        const f64 resid = y[r] - row_fit(X + r * p, coef, p);
        rss = std::fma(resid, resid, rss);
    }
    return rss;
}

// Breusch-Godfrey residual and total sums: rss over resid = eps - fit, tss
// over eps itself, both fused chains over r in order.
KSX_DISPATCH void bg_sums(const f64* eps, const f64* design, i64 n, i64 p, const f64* coef,
                          f64* rss_out, f64* tss_out) {
    f64 rss = 0.0, tss = 0.0;
    f64 fit[kFitRows];
    i64 r = 0;
    for (; r + kFitRows <= n; r += kFitRows) {
        fit_rows16(design + r * p, p, coef, fit);
        for (i64 l = 0; l < kFitRows; ++l) {
            const f64 resid = eps[r + l] - fit[l];
            rss = std::fma(resid, resid, rss);
            tss = std::fma(eps[r + l], eps[r + l], tss);
        }
    }
    for (; r < n; ++r) {
        const f64 resid = eps[r] - row_fit(design + r * p, coef, p);
        rss = std::fma(resid, resid, rss);
        tss = std::fma(eps[r], eps[r], tss);
    }
    *rss_out = rss;
    *tss_out = tss;
}

// Breusch-Pagan sums: rss over gvec - fit, tss over gvec - g_mean, fused
// chains over r in order.
KSX_DISPATCH void bp_sums(const f64* gvec, const f64* X, i64 n, i64 p, const f64* coef,
                          f64 g_mean, f64* rss_out, f64* tss_out) {
    f64 rss = 0.0, tss = 0.0;
    f64 fit[kFitRows];
    i64 r = 0;
    for (; r + kFitRows <= n; r += kFitRows) {
        fit_rows16(X + r * p, p, coef, fit);
        for (i64 l = 0; l < kFitRows; ++l) {
            const f64 resid = gvec[r + l] - fit[l];
            const f64 dev = gvec[r + l] - g_mean;
            rss = std::fma(resid, resid, rss);
            tss = std::fma(dev, dev, tss);
        }
    }
    for (; r < n; ++r) {
        const f64 resid = gvec[r] - row_fit(X + r * p, coef, p);
        const f64 dev = gvec[r] - g_mean;
        rss = std::fma(resid, resid, rss);
        tss = std::fma(dev, dev, tss);
    }
    *rss_out = rss;
    *tss_out = tss;
}

// ---- recursive residuals
//
// One step of the Sherman-Morrison recursion for observation x = X_t, with
// Pt = P^T (so Pt[b*p + i] = P[i,b]):
//   e  = y_t - x . beta        chain fma(-x[a], beta[a], e) from y_t over a
//   Px[i] = P_i . x            chain fma(P[i,b], x[b], s) from +0.0 over b
//   q  = x . Px                chain fma(x[i], Px[i], q) from +0.0 over i
//   w  = e / sqrt(q + 1),  h = 1 / (q + 1),  k = e * h
//   beta[j] = fma(k, Px[j], beta[j])
//   P[j,b]  = fma(-h, Px[j] * Px[b], P[j,b])    (stored at Pt[b*p + j])
// P x is computed for four rows i at a time, a lane per row, by running down
// the rows b of Pt; every lane is its row's chain over b in order.  The
// updates are elementwise.

// Lane offsets of the nv vectors covering 0..p-1 (p >= 4): 0, 4, 8, ..., the
// last shifted left to p - 4 so that it stays inside the row.  Lanes covered
// twice hold the same element; they are written from values that were all
// read before any of the writes, so both copies are the same.
KSX_INLINE i64 lane_offset(int v, i64 p) { return min_i64(4 * static_cast<i64>(v), p - 4); }

// One step with every vector of a row in registers: 4 <= p <= 4*NV.
template <int NV>
KSX_INLINE void recursive_step_regs(const f64* x, f64 yt, i64 p, f64* Pt, f64* beta, f64* Px,
                                    f64* w) {
    f64 e = yt;
    for (i64 a = 0; a < p; ++a) e = std::fma(-x[a], beta[a], e);

    v4 acc[NV];
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) acc[v] = vs::splat<v4>(0.0);
    for (i64 b = 0; b < p; ++b) {
        const f64* row = Pt + b * p;
        const v4 xb = vs::splat<v4>(x[b]);
#pragma GCC unroll 8
        for (int v = 0; v < NV; ++v) acc[v] = vs::fma(vs::load<v4>(row + lane_offset(v, p)), xb, acc[v]);
    }
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) vs::store(Px + lane_offset(v, p), acc[v]);

    f64 q = 0.0;
    for (i64 i = 0; i < p; ++i) q = std::fma(x[i], Px[i], q);
    const f64 f = q + 1.0;
    *w = e / std::sqrt(f);
    const f64 h = 1.0 / f;
    const f64 k = e * h;

    const v4 kv = vs::splat<v4>(k), neg_h = vs::splat<v4>(-h);
    v4 bnew[NV];
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) {
        const i64 o = lane_offset(v, p);
        bnew[v] = vs::fma(kv, acc[v], vs::load<v4>(beta + o));
    }
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) vs::store(beta + lane_offset(v, p), bnew[v]);
    for (i64 b = 0; b < p; ++b) {
        f64* row = Pt + b * p;
        const v4 pb = vs::splat<v4>(Px[b]);
        v4 upd[NV];
#pragma GCC unroll 8
        for (int v = 0; v < NV; ++v) upd[v] = vs::fma(neg_h, acc[v] * pb, vs::load<v4>(row + lane_offset(v, p)));
#pragma GCC unroll 8
        for (int v = 0; v < NV; ++v) vs::store(row + lane_offset(v, p), upd[v]);
    }
}

// The same for any p, with the vectors in memory and the last p % 4 lanes as
// scalars.
KSX_INLINE void recursive_step_any(const f64* x, f64 yt, i64 p, f64* Pt, f64* beta, f64* Px,
                                   f64* w) {
    f64 e = yt;
    for (i64 a = 0; a < p; ++a) e = std::fma(-x[a], beta[a], e);

    const i64 pv = p - p % 4; /* lanes in whole vectors */
    for (i64 i = 0; i < p; ++i) Px[i] = 0.0;
    for (i64 b = 0; b < p; ++b) {
        const f64* row = Pt + b * p;
        const v4 xb = vs::splat<v4>(x[b]);
        for (i64 i = 0; i < pv; i += 4) vs::store(Px + i, vs::fma(vs::load<v4>(row + i), xb, vs::load<v4>(Px + i)));
        for (i64 i = pv; i < p; ++i) Px[i] = std::fma(row[i], x[b], Px[i]);
    }

    f64 q = 0.0;
    for (i64 i = 0; i < p; ++i) q = std::fma(x[i], Px[i], q);
    const f64 f = q + 1.0;
    *w = e / std::sqrt(f);
    const f64 h = 1.0 / f;
    const f64 k = e * h;

    for (i64 j = 0; j < p; ++j) beta[j] = std::fma(k, Px[j], beta[j]);
    const v4 neg_h = vs::splat<v4>(-h);
    for (i64 b = 0; b < p; ++b) {
        f64* row = Pt + b * p;
        const f64 pb = Px[b];
        const v4 pbv = vs::splat<v4>(pb);
        for (i64 j = 0; j < pv; j += 4)
            vs::store(row + j, vs::fma(neg_h, vs::load<v4>(Px + j) * pbv, vs::load<v4>(row + j)));
        for (i64 j = pv; j < p; ++j) row[j] = std::fma(-h, Px[j] * pb, row[j]);
    }
}

// The whole recursion for P < 4 columns, P known: P^T, beta and P x stay in
// registers from one step to the next instead of going through memory, with
// the operations of recursive_step_any in the same order.
template <int P>
KSX_INLINE void recursive_loop_small(const f64* y, const f64* X, i64 T, f64* Pt, f64* beta, f64* Px,
                                     f64* w_out) {
    f64 pt[P * P], bt[P], px[P] = {};
#pragma GCC unroll 9
    for (int k = 0; k < P * P; ++k) pt[k] = Pt[k];
#pragma GCC unroll 3
    for (int a = 0; a < P; ++a) bt[a] = beta[a];
    for (i64 t = P; t < T; ++t) {
        const f64* x = X + t * P;
        f64 e = y[t];
#pragma GCC unroll 3
        for (int a = 0; a < P; ++a) e = std::fma(-x[a], bt[a], e);
#pragma GCC unroll 3
        for (int i = 0; i < P; ++i) px[i] = 0.0;
#pragma GCC unroll 3
        for (int b = 0; b < P; ++b)
#pragma GCC unroll 3
            for (int i = 0; i < P; ++i) px[i] = std::fma(pt[b * P + i], x[b], px[i]);
        f64 q = 0.0;
#pragma GCC unroll 3
        for (int i = 0; i < P; ++i) q = std::fma(x[i], px[i], q);
        const f64 f = q + 1.0;
        w_out[t - P] = e / std::sqrt(f);
        const f64 h = 1.0 / f;
        const f64 k = e * h;
#pragma GCC unroll 3
        for (int j = 0; j < P; ++j) bt[j] = std::fma(k, px[j], bt[j]);
#pragma GCC unroll 3
        for (int b = 0; b < P; ++b) {
            const f64 pb = px[b];
#pragma GCC unroll 3
            for (int j = 0; j < P; ++j) pt[b * P + j] = std::fma(-h, px[j] * pb, pt[b * P + j]);
        }
    }
#pragma GCC unroll 9
    for (int k = 0; k < P * P; ++k) Pt[k] = pt[k];
#pragma GCC unroll 3
    for (int a = 0; a < P; ++a) {
        beta[a] = bt[a];
        Px[a] = px[a];
    }
}

template <int NV>
KSX_INLINE void recursive_loop(const f64* y, const f64* X, i64 T, i64 p, f64* Pt, f64* beta,
                               f64* Px, f64* w_out) {
    for (i64 t = p; t < T; ++t) recursive_step_regs<NV>(X + t * p, y[t], p, Pt, beta, Px, w_out + (t - p));
}

// Observations p .. T-1 in order; w_out[t - p] receives each residual.
KSX_DISPATCH void recursive_updates(const f64* y, const f64* X, i64 T, i64 p, f64* Pt, f64* beta,
                                    f64* Px, f64* w_out) {
    switch (p) {
    case 1: recursive_loop_small<1>(y, X, T, Pt, beta, Px, w_out); return;
    case 2: recursive_loop_small<2>(y, X, T, Pt, beta, Px, w_out); return;
    case 3: recursive_loop_small<3>(y, X, T, Pt, beta, Px, w_out); return;
    default: break;
    }
    switch (p < 4 || p > 32 ? 0 : (p + 3) / 4) {
    case 1: recursive_loop<1>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 2: recursive_loop<2>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 3: recursive_loop<3>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 4: recursive_loop<4>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 5: recursive_loop<5>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 6: recursive_loop<6>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 7: recursive_loop<7>(y, X, T, p, Pt, beta, Px, w_out); return;
    case 8: recursive_loop<8>(y, X, T, p, Pt, beta, Px, w_out); return;
    default:
        for (i64 t = p; t < T; ++t) recursive_step_any(X + t * p, y[t], p, Pt, beta, Px, w_out + (t - p));
    }
}

// ---- autocorrelation numerators
//
// num(l) = sum_{i=l..n-1} z[i] z[i-l], the chain fma(z[i], z[i-l], s) from
// +0.0 over i in order.  Written with m = i - l it runs over m = 0..n-1-l and
// reads z[m + l]: for four consecutive lags these are four consecutive
// elements, so a vector holds four lags (one chain per lane) and takes
// fma(z[m+l .. m+l+3], z[m], s) for m in order.  A batch of G such vectors
// runs side by side up to the end of the longest lag's range; each lane then
// finishes its own remaining terms, still in order.

// Lags l0 .. l0 + 4G - 1, all at most n - 1; num receives the 4G sums.
template <int G>
KSX_INLINE void acorr_batch(const f64* z, i64 n, i64 l0, f64* num) {
    v4 s[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) s[g] = vs::splat<v4>(0.0);
    const i64 lmax = l0 + 4 * G - 1;
    for (i64 m = 0; m + lmax < n; ++m) {
        const v4 zm = vs::splat<v4>(z[m]);
        const f64* zl = z + m + l0;
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) s[g] = vs::fma(vs::load<v4>(zl + 4 * g), zm, s[g]);
    }
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) vs::store(num + 4 * g, s[g]);
    for (i64 j = 0; j < 4 * G; ++j) {
        const i64 l = l0 + j;
        f64 t = num[j];
        for (i64 m = n - lmax; m + l < n; ++m) t = std::fma(z[m + l], z[m], t);
        num[j] = t;
    }
}

// out[l] = num(l) / denom for l = 1..L; lags from n on have num = +0.0.
KSX_INLINE void acorr_lags(const f64* z, i64 n, i64 L, f64 denom, f64* out) {
    i64 l = 1;
    f64 num[16];
    while (l <= L && l + 3 < n) {
        const i64 wanted = (L - l) / 4 + 1;    /* groups reaching L */
        const i64 fitting = (n - l) / 4;       /* groups whose last lag is < n */
        const i64 groups = min_i64(4, min_i64(wanted, fitting));
        switch (groups) {
        case 4: acorr_batch<4>(z, n, l, num); break;
        case 3: acorr_batch<3>(z, n, l, num); break;
        case 2: acorr_batch<2>(z, n, l, num); break;
        default: acorr_batch<1>(z, n, l, num); break;
        }
        const i64 last = min_i64(L, l + 4 * groups - 1);
        for (i64 j = l; j <= last; ++j) out[j] = num[j - l] / denom;
        l += 4 * groups;
    }
    for (; l <= L; ++l) {
        f64 s = 0.0;
        for (i64 i = l; i < n; ++i) s = std::fma(z[i], z[i - l], s);
        out[l] = s / denom;
    }
}

}  // namespace

// Least-squares fit of y_seg on the rows of X_seg; writes the residual sum of
// squares.  G, L, g, coef are caller scratch of sizes p*p, p*p, p, p.
// Returns the Cholesky status (non-zero: rss_out not written).
static int chow_segment_rss(const f64* y_seg, const f64* X_seg, i64 rows, i64 p,
                            f64* G, f64* L, f64* g, f64* coef, f64* rss_out) {
    ksx_gram(X_seg, G, rows, p);
    ksx_gram_rhs(X_seg, y_seg, g, rows, p);
    const int status = ksx_chol_solve(G, g, coef, L, p);
    if (status != 0) return status;
    *rss_out = residual_ss(y_seg, X_seg, rows, p, coef);
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
    bg_sums(eps, design, n, p, coef, &rss, &tss);
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
KSX_DISPATCH
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
    bp_sums(gvec, X_aug, n, p, coef, g_mean, &rss, &tss);
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

    // The updates run on the transpose of P, kept in G's block (free once P
    // is formed): P x then reads rows of P^T, one lane per row of P.
    f64* Pt = G;
    for (i64 i = 0; i < p; ++i)
        for (i64 b = 0; b < p; ++b) Pt[b * p + i] = P[i * p + b];
    recursive_updates(y, X, T, p, Pt, beta, Px, w_out);
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
KSX_DISPATCH
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
KSX_DISPATCH
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
    acorr_lags(z_scratch, n, L, denom, out);
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
KSX_DISPATCH
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
