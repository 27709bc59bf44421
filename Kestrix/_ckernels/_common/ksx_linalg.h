/* Dense real linear algebra of the Kestrix numeric core.
 *
 * Conventions for every operation declared here:
 *   - matrices are contiguous row-major blocks of f64, no stride argument;
 *   - dimensions are i64 and never negative (zero means an empty operand);
 *   - input arrays are read-only and arguments of one call do not overlap,
 *     except where an operation says otherwise (ksx_vsub, the substitutions);
 *   - a sum of products starts from +0.0 unless stated, takes its terms in
 *     increasing index order and adds each product with one fused
 *     multiply-add; sums are never split or reordered.
 *
 * This header compiles as C11 and as C++17.
 */
#ifndef KSX_LINALG_H
#define KSX_LINALG_H

#include "ksx_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- vector and matrix primitives ------------------------------------- */

void ksx_zero_mat(f64* out, i64 r, i64 c);
void ksx_sym_inplace(f64* P, i64 n);
/* out (n x m) = A (n x p) * B (p x m) */
void ksx_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
/* out (p x m) = A^T B, A n x p, B n x m; every out[k][j] sums over rows in order */
void ksx_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
/* out (n x m) = A B^T, A n x p, B m x p */
void ksx_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
/* out (n x m) = C + A B^T, the sum formed from +0.0 and C added afterwards */
void ksx_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out,
                           i64 n, i64 p, i64 m);
void ksx_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m);
/* out = b + A x, each row's sum starting from b[i] */
void ksx_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out,
                         i64 n, i64 m);
/* out = a - b elementwise; out may be a or b */
void ksx_vsub(const f64* a, const f64* b, f64* out, i64 n);
f64 ksx_dot(const f64* a, const f64* b, i64 n);
void ksx_sort_f64(f64* arr, i64 n);
/* median of arr[0..n-1]; sorts arr ascending in place; NaN for n <= 0 */
f64 ksx_median_f64(f64* arr, i64 n);

/* ---- Cholesky factorisation and normal equations ---------------------- */

/* Cholesky-Banachiewicz of the lower triangle of S into L (n x n, zeroed
 * first).  Returns 0, or -1 as soon as a pivot is <= n * scale * 2^-52 with
 * scale the largest (jittered) diagonal element.  jitter is used only when
 * jitter > 0.  L must not overlap S. */
int ksx_chol(const f64* S, f64 jitter, f64* L, i64 n);
f64 ksx_logdet_from_chol(const f64* L, i64 n);
/* L out = b; out may be b */
void ksx_forward_subst(const f64* L, const f64* b, f64* out, i64 n);
/* L^T out = b, reading L by columns; out may be b */
void ksx_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n);
/* G (p x p) = X^T X, lower triangle accumulated row by row, then mirrored */
void ksx_gram(const f64* X, f64* G, i64 n, i64 p);
/* g (p) = X^T y */
void ksx_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p);
/* Solve G coef = g through the Cholesky factor in scratch_L; 0 or -1. */
int ksx_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p);
/* Pinv = G^-1, one column at a time through the factor; 0 or -1. */
int ksx_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p);

/* ---- real LU factorisation with partial pivoting ---------------------- */

/* Result of a factorisation on a private copy.  Owns lu and piv. */
typedef struct f64_lu {
    f64* lu;  /* n*n: unit-lower multipliers below the diagonal, U on and above */
    i64* piv; /* n row interchanges: row k was swapped with row piv[k] >= k */
    i64 n;
    i64 err;  /* 0 ok, -1 bad argument or allocation failure, -2 singular */
} f64_lu;

i64 ksx_lu_factor_inplace(f64* A, i64* pivot, i64 n);
f64_lu ksx_lu_factor(const f64* A, i64 n);
void ksx_lu_free(f64_lu* lu);
void ksx_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, i64 n, i64 m);
i64 ksx_solve(const f64* A, const f64* B, i64 n, i64 m, f64* X);
i64 ksx_inv(const f64* A, i64 n, f64* Ainv);

#ifdef __cplusplus
}
#endif

#endif /* KSX_LINALG_H */
