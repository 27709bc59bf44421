/* The battery engine: an ordinary least-squares fit and every diagnostic of
 * the battery, for one regression or for many stacked ones.
 *
 * Groups.  The rows of G regressions are stacked: y (N values) and X (N rows
 * of p columns, row-major), group g owning rows starts[g] .. starts[g+1]-1.
 * Every group is fitted and tested on its own; its results do not depend on
 * the other groups, on how the groups are split between calls or threads,
 * or on the instruction set: every sum runs in a fixed order (the
 * accumulation rule of the numeric core), and groups of equal size that are
 * computed side by side in vector lanes get the bits of a group computed
 * alone.
 *
 * The fit is Householder QR with the rank decided column by column in X's
 * order (ksx_qr.h): a column whose part outside the span of the columns
 * before it has norm at most max(n, p)·eps of its own norm is dependent and
 * gets no coefficient.  Every auxiliary regression follows the same rule.
 * No BLAS or LAPACK is used.
 *
 * Kernels raise, print and log nothing, keep no state and are re-entrant.
 * This header compiles as C11 and as C++17.
 */
#ifndef KSX_BATTERY_H
#define KSX_BATTERY_H

#include "ksx_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The tests, in the order of their slots in the outputs. */
enum {
    KSX_T_BREUSCH_GODFREY = 0,   /* Godfrey's LM n·(1 - rss_aux/e'e), chi2(lags) */
    KSX_T_BREUSCH_GODFREY_F,     /* the F form of the same regression, F(lags, n - r - lags) */
    KSX_T_BREUSCH_PAGAN,         /* half the explained sum of squares of e²/mean(e²), chi2(q) */
    KSX_T_BREUSCH_PAGAN_STUDENT, /* n·R² of the same regression, chi2(q) */
    KSX_T_CHOW,                  /* F at the break, F(df1, df2) */
    KSX_T_RECURSIVE_T,           /* t test of the mean of the recursive residuals, t(m - 1) */
    KSX_T_CUSUM,                 /* max |W_r| / (sqrt(m) + 2(r-1)/sqrt(m)) */
    KSX_T_CUSUMSQ,               /* max |s_r - r/m| */
    KSX_T_LJUNG_BOX,             /* chi2(lags) */
    KSX_T_JARQUE_BERA,           /* chi2(2) */
    KSX_T_WALD,                  /* HAC Wald test that the slopes are zero, chi2(q) */
    KSX_T_DURBIN_WATSON,         /* no law */
    KSX_T_BOX_PIERCE,            /* chi2(lags) */
    KSX_T_WHITE,                 /* n·R² of e² on levels, squares (and cross products), chi2(q) */
    KSX_T_ARCH,                  /* n·R² of e_t² on its lags, chi2(q) */
    KSX_T_RESET,                 /* F(q, n - r') */
    KSX_T_SUP_F,                 /* largest Chow F over the trimmed breaks */
    KSX_T_COUNT
};

/* Statuses of a test slot (and of a group's fit), the kernels' codes where
 * they apply. */
enum {
    KSX_S_OK = 0,
    KSX_S_NOT_RUN = 2,          /* the test was not asked for */
    KSX_S_NO_MEMORY = -2,
    KSX_S_UDEF_VARIANCE = -3,   /* zero variance where the test divides by it */
    KSX_S_TOO_FEW_OBS = -5,     /* the test does not apply: too few observations for it */
    KSX_S_BAD_BREAK = -7,       /* a Chow break outside 1 .. n-1 */
    KSX_S_NOT_FINITE = -10      /* the group holds a missing or infinite value */
};

/* Flags of a test slot: what its note says.  The detail words of the slot
 * (KSX_INFO_WORDS of them) carry the numbers. */
enum {
    KSX_F_DROPPED = 1u << 0,      /* auxiliary columns left out: info[2] of them, the first in info[3..5] */
    KSX_F_LATE_START = 1u << 1,   /* the recursion starts at row info[0] (rank reached late) */
    KSX_F_CLAMPED = 1u << 2,      /* lags or bandwidth clamped to n - 1: requested info[0], used info[1] */
    KSX_F_NO_CONSTANT = 1u << 3,  /* X spans no constant: the auxiliary regression has none either */
    KSX_F_SEGMENT_RANK = 1u << 4, /* a Chow segment has rank below the pooled: df from the ranks */
    KSX_F_FLAT = 1u << 5,         /* the squared residuals are all equal: nothing to explain */
    KSX_F_FEW_OBS = 1u << 6,      /* Jarque-Bera below ten observations */
    KSX_F_UNIDENTIFIED = 1u << 7, /* X is rank-deficient: the test uses its identified columns */
    KSX_F_SKIPPED = 1u << 8,      /* sup-F: info[2] candidate breaks left out (a regime rank-deficient) */
    KSX_F_PSEUDO = 1u << 9        /* Wald: the covariance has rank info[3] of info[4] (info[0..1]: the bandwidth) */
};

#define KSX_INFO_WORDS 6

typedef struct ksx_battery_options {
    uint64_t tests;    /* bit KSX_T_x set: run test x */
    i64 lags;          /* Breusch-Godfrey, Ljung-Box, Box-Pierce (>= 1) */
    i64 arch_lags;     /* ARCH LM (>= 1) */
    i64 break_at;      /* Chow: first row of the second regime; -1: n/2 of each group (any other
                          value outside 1 .. n-1 is refused, KSX_S_BAD_BREAK) */
    i64 kernel_id;     /* HAC lag window: 0 Bartlett, 1 Parzen, 2 quadratic spectral */
    i64 bandwidth;     /* HAC bandwidth; -1: floor(4 (n/100)^(2/9)) of each group */
    i64 power;         /* RESET: powers 2 .. power of the fitted values (>= 2) */
    f64 trim;          /* sup-F: breaks from ceil(trim n) to floor((1 - trim) n) */
    i64 cusum_scale;   /* 0: the fit's residual standard error; 1: the recursive residuals' */
    i64 white_cross;   /* 1: White with cross products; 0: squares only */
} ksx_battery_options;

/* Caller-owned outputs; every pointer may be null when not wanted, except
 * the per-test arrays.  G groups, N rows, p columns, T = KSX_T_COUNT. */
typedef struct ksx_battery_out {
    /* per group and test: G*T entries (G*T*KSX_INFO_WORDS for info) */
    f64* stat;
    i64* df1;        /* -1 where the law has none */
    i64* df2;        /* -1 for a one-parameter law */
    int32_t* status;
    uint32_t* flags;
    i64* info;
    /* per group: the fit */
    int32_t* fit_status; /* what the tests can work on: KSX_S_OK; KSX_S_TOO_FEW_OBS (no residual degrees
                            of freedom) or KSX_S_UDEF_VARIANCE (an exact fit), the fit itself computed;
                            KSX_S_NOT_FINITE: a missing or infinite value, nothing computed */
    i64* rank;
    uint8_t* has_constant;
    f64* rss;
    f64* tss;        /* centred when X spans a constant, uncentred otherwise */
    f64* coef;       /* G*p; NaN for a dependent column */
    f64* bse;        /* G*p; NaN for a dependent column */
    uint8_t* dependent; /* G*p */
    f64* coef_hac;   /* G*p*p: HAC covariance of the coefficients (the Wald test's window and
                        bandwidth); NaN in the rows and columns of dependent columns */
    /* per row */
    f64* resid;      /* N */
    f64* recursive;  /* N: the recursive residual of each row, NaN before the recursion starts */
    f64* sup_f;      /* N: the Chow F of a break at each candidate row, NaN elsewhere */
} ksx_battery_out;

/* Fits and tests every group.  Z (N rows of q columns, may be null) replaces
 * the non-constant columns of X as the Breusch-Pagan variance regressors.
 * Returns 0, or KSX_S_NO_MEMORY when a scratch block cannot be allocated
 * (the outputs of the groups not reached are then unwritten). */
int ksx_battery_run(const f64* y, const f64* X, i64 N, i64 p, const i64* starts, i64 G, const f64* Z, i64 q,
                    const ksx_battery_options* options, ksx_battery_out* out);

/* ksx_battery_run with X given as p columns of N values each, columns[j]
 * null for a column of ones (an intercept the caller need not build), and no
 * Z: the same results, bit for bit, as the row-major X holding the same
 * values.  A table's columns go in as they are, without gathering its rows. */
int ksx_battery_run_columns(const f64* y, const f64* const* columns, i64 N, i64 p, const i64* starts, i64 G,
                            const ksx_battery_options* options, ksx_battery_out* out);

#ifdef __cplusplus
}
#endif

#endif /* KSX_BATTERY_H */
