/* Regression and series diagnostic kernels.
 *
 * Every kernel is a plain function over pointers and i64 sizes with an int
 * status result (the DIAG_* codes below); results go through output
 * pointers.  Kernels raise, print and log nothing, keep no state between
 * calls and are re-entrant.  Pointer arguments never alias.
 *
 * This header compiles as C11 and as C++17.
 */
#ifndef KSX_DIAG_H
#define KSX_DIAG_H

#include "ksx_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes shared by every diagnostic kernel. */
enum {
    DIAG_OK = 0,
    DIAG_FALLBACK = 1,        /* Cholesky pivot test failed: caller recomputes */
    DIAG_BAD_SHAPE = -1,      /* target not symmetric within tolerance */
    DIAG_NO_MEMORY = -2,      /* a scratch block could not be allocated */
    DIAG_UDEF_VARIANCE = -3,  /* variance zero, negative, NaN or infinite */
    DIAG_BAD_LAG = -4,        /* lag count below 1 (or negative) */
    DIAG_TOO_FEW_OBS = -5,    /* too few observations for the statistic */
    DIAG_BAD_BREAK = -7       /* break index outside 1 .. T-1 */
};

/* Breusch-Godfrey LM statistic n*R^2 of eps on (1, X, lags of eps). */
int ksx_bg_stat(const f64* eps, const f64* X, i64 n, i64 K, i64 lags, f64* stat_out);

/* Breusch-Pagan auxiliary regression of eps^2/sigma2 on X_aug. */
int ksx_bp_aux(const f64* eps, const f64* X_aug, i64 n, i64 p, f64* rss_out, f64* tss_out);

/* Chow break-point F statistic for a break at row t_break. */
int ksx_chow_stat(const f64* y, const f64* X, i64 T, i64 p, i64 t_break, f64* stat_out);

/* Brown-Durbin-Evans recursive residuals, T - p values into w_out. */
int ksx_recursive_residuals(const f64* y, const f64* X, i64 T, i64 p, f64* w_out);

/* Standardised CUSUM series, T - p values into series_out. */
int ksx_cusum_series(const f64* y, const f64* X, i64 T, i64 p, f64* series_out);

/* CUSUM statistic: largest ratio of |CUSUM| to its widening boundary. */
int ksx_cusum_stat(const f64* y, const f64* X, i64 T, i64 p, f64* stat_out);

/* CUSUM-of-squares statistic and the number of recursive residuals. */
int ksx_cusumsq_stat(const f64* y, const f64* X, i64 T, i64 p, i64* n_out, f64* stat_out);

/* Sample autocorrelations rho(0..L) of x; z_scratch receives x - mean. */
int ksx_acorr(const f64* x, i64 n, i64 L, f64* z_scratch, f64* out);

/* Ljung-Box statistic up to lag min(L, n-1). */
int ksx_lb_stat(const f64* x, i64 n, i64 L, f64* z_scratch, f64* acorr_scratch, f64* out);

/* Jarque-Bera normality statistic. */
int ksx_jb_stat(const f64* x, i64 n, f64* out);

#ifdef __cplusplus
}
#endif

#endif /* KSX_DIAG_H */
