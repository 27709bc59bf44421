/* HAC, Wald and moment kernels, lag windows and bandwidth rules.
 *
 * Kernels follow the conventions of diag.h (status codes, row-major f64
 * blocks, i64 sizes, no aliasing, no state).
 *
 * This header compiles as C11 and as C++17.
 */
#ifndef KSX_DIAG_WALD_H
#define KSX_DIAG_WALD_H

#include "ksx_common.h"
#include "diag.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Lag-window selector, stored as an unsigned 32-bit value. */
typedef uint32_t KernelID;
enum {
    BARTLETT = 0,
    PARZEN = 1,
    QS = 2,
    KERNEL_COUNT = 3
};

/* Andrews constants of one window. */
typedef struct kernel_inp_t {
    f64 c; /* bandwidth constant */
    f64 q; /* characteristic exponent */
} kernel_inp_t;

extern const kernel_inp_t KERNEL_SPECS[3];

/* Weight of lag j for bandwidth L; 0.0 for an unknown window. */
f64 kernel_weight(i64 j, i64 L, KernelID kernel_id);
/* floor(4 (n/100)^(2/9)); x is not read. */
i64 wooldridge_bandwidth(const f64* x, i64 n);
/* Andrews AR(1) plug-in bandwidth of one series, at least 1. */
i64 andrews_bandwidth(const f64* y, KernelID kernel_id, i64 n);
/* Median of the per-column plug-in bandwidths of an n-by-p matrix; ls holds
 * p values of scratch and receives the contributing bandwidths sorted. */
i64 andrews_bandwidth_matrix(const f64* r, KernelID kernel_id, i64 n, i64 p, f64* ls);

/* Column means of x (n x p) over rows. */
void ksx_fill_mean_ax0(const f64* x, i64 n, i64 p, f64* mean);
/* centered = x - mean, row by row. */
void ksx_fill_centered_ax0(const f64* x, const f64* mean, i64 n, i64 p, f64* centered);

/* HAC long-run covariance (Gamma_0 + sum_j w_j (Gamma_j + Gamma_j')) / n. */
void ksx_hac_estimator_matmul(f64* r, KernelID kernel_id, i64 L, i64 n, i64 p,
                              f64* gamma_scratch, f64* out);

/* Wald statistic n * dev' omega^-1 dev with dev = mean - target. */
int ksx_wald_stat_from_mean_and_cov(const f64* mean, const f64* target, const f64* omega,
                                    i64 n, i64 p, f64* dev_scratch, f64* L_scratch,
                                    f64* stat_out);

/* Per-row vech of x_t x_t' into out (n x q). */
int ksx_symmetric_outer_prod_2dim(const f64* x, i64 n, i64 p, i64 q, f64* out);
/* Pack the upper triangle of a symmetric target; DIAG_BAD_SHAPE if not symmetric. */
int ksx_fill_symmetric_target_vec(const f64* target, f64 atol, f64 rtol, i64 p, f64* out);

#ifdef __cplusplus
}
#endif

#endif /* KSX_DIAG_WALD_H */
