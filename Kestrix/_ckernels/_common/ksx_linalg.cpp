/* Dense real linear algebra of the Kestrix numeric core.
 *
 * Every result is fixed to the last bit by the order of its operations, so
 * the rounding is written out here: std::fma(a, b, s) where a product is
 * added with one rounding, std::fma(-a, b, s) for a fused multiply-subtract
 * s - a*b (negation is exact), plain + - * / where a step is rounded on its
 * own.  The build passes -ffp-contract=off so the compiler never fuses or
 * reassociates on its own.
 *
 * Accumulation rule: a sum of products starts from +0.0 (unless a start value
 * is stated) and takes its terms one by one in increasing index order with one
 * fma each.  Sums are never split; a faster version may only compute several
 * outputs side by side, each with its own sequential chain.
 */
#include "ksx_linalg.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

/* Number of elements of an r-by-c block as a size_t (both are > 0 here). */
inline size_t block_count(i64 r, i64 c) { return static_cast<size_t>(r) * static_cast<size_t>(c); }

/* True when an n-by-n block of elem_size bytes cannot be sized in size_t;
 * such an allocation is reported as a failed allocation. */
inline bool square_block_too_large(i64 n, size_t elem_size) {
    const size_t limit = SIZE_MAX / elem_size;
    const size_t un = static_cast<size_t>(n);
    return un != 0 && un > limit / un;
}

}  // namespace

/* ======================================================================
 * Vector and matrix primitives
 * ====================================================================== */

/* out[0 .. r*c) = +0.0 (all bits zero); nothing for an empty block. */
void ksx_zero_mat(f64* out, i64 r, i64 c) {
    if (r <= 0 || c <= 0) return;
    std::memset(out, 0, block_count(r, c) * sizeof(f64));
}

/* P <- (P + P^T) / 2 off the diagonal, as (P[i,j] + P[j,i]) * 0.5. */
void ksx_sym_inplace(f64* P, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) {
            const f64 v = (P[i * n + j] + P[j * n + i]) * 0.5;
            P[i * n + j] = v;
            P[j * n + i] = v;
        }
    }
}

/* out (n x m) = A (n x p) B (p x m); each element one chain over k. */
void ksx_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * p;
        for (i64 j = 0; j < m; ++j) {
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(a_row[k], B[k * m + j], s);
            out[i * m + j] = s;
        }
    }
}

/* out (p x m) = A^T B with A n x p and B n x m.  Row-outer order: every
 * out[k,j] accumulates its n terms in increasing row i, while the innermost
 * loop runs along contiguous rows of B and out.  out is cleared first, also
 * when n is 0.
 *
 * Rows stream through in blocks of four: each out[k,j] is loaded once, takes
 * the fma of rows i, i+1, i+2, i+3 in that order in a register, and is stored
 * once.  That is the same single chain as one row at a time (the plain loop,
 * which also handles the last n % 4 rows), so the bits do not change; lanes of
 * a vectorised inner loop hold different j, never parts of one sum. */
void ksx_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    ksx_zero_mat(out, p, m);
    if (n <= 0 || p <= 0 || m <= 0) return;
    i64 i = 0;
    for (; i + 4 <= n; i += 4) {
        const f64* a_row = A + i * p;
        const f64* __restrict__ b0 = B + i * m;
        const f64* __restrict__ b1 = b0 + m;
        const f64* __restrict__ b2 = b1 + m;
        const f64* __restrict__ b3 = b2 + m;
        for (i64 k = 0; k < p; ++k) {
            const f64 a0 = a_row[k], a1 = a_row[p + k], a2 = a_row[2 * p + k], a3 = a_row[3 * p + k];
            f64* __restrict__ out_row = out + k * m;
            for (i64 j = 0; j < m; ++j) {
                f64 s = out_row[j];
                s = std::fma(a0, b0[j], s);
                s = std::fma(a1, b1[j], s);
                s = std::fma(a2, b2[j], s);
                s = std::fma(a3, b3[j], s);
                out_row[j] = s;
            }
        }
    }
    for (; i < n; ++i) {
        const f64* a_row = A + i * p;
        const f64* b_row = B + i * m;
        for (i64 k = 0; k < p; ++k) {
            const f64 a = a_row[k];
            f64* out_row = out + k * m;
            for (i64 j = 0; j < m; ++j) out_row[j] = std::fma(a, b_row[j], out_row[j]);
        }
    }
}

/* out (n x m) = A B^T with A n x p and B m x p: row i of A against row j of B. */
void ksx_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * p;
        for (i64 j = 0; j < m; ++j) {
            const f64* b_row = B + j * p;
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(a_row[k], b_row[k], s);
            out[i * m + j] = s;
        }
    }
}

/* out = C + A B^T: the sum starts from +0.0 as in ksx_matmul_abt and C is
 * added afterwards with one separately rounded addition. */
void ksx_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out,
                           i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * p;
        for (i64 j = 0; j < m; ++j) {
            const f64* b_row = B + j * p;
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(a_row[k], b_row[k], s);
            out[i * m + j] = C[i * m + j] + s;
        }
    }
}

/* out (n) = A (n x m) x (m). */
void ksx_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m) {
    if (n <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * m;
        f64 s = 0.0;
        for (i64 j = 0; j < m; ++j) s = std::fma(a_row[j], x[j], s);
        out[i] = s;
    }
}

/* out = b + A x: each row's chain starts from b[i] (not from +0.0), which
 * rounds differently from adding b afterwards. */
void ksx_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out,
                         i64 n, i64 m) {
    if (n <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * m;
        f64 s = b[i];
        for (i64 j = 0; j < m; ++j) s = std::fma(a_row[j], x[j], s);
        out[i] = s;
    }
}

/* out = a - b; element i is read before it is written, so out may be a or b. */
void ksx_vsub(const f64* a, const f64* b, f64* out, i64 n) {
    for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 ksx_dot(const f64* a, const f64* b, i64 n) {
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s = std::fma(a[i], b[i], s);
    return s;
}

/* qsort comparison: 1 if a > b, -1 if a < b, 0 otherwise, so -0.0 equals +0.0
 * and a NaN equals everything (no ordering; glibc's qsort still terminates and
 * stays within the array). */
static int ksx_cmp_f64(const void* pa, const void* pb) {
    const f64 fa = *static_cast<const f64*>(pa);
    const f64 fb = *static_cast<const f64*>(pb);
    if (fa > fb) return 1;
    if (fa < fb) return -1;
    return 0;
}

void ksx_sort_f64(f64* arr, i64 n) {
    if (n <= 1) return;
    std::qsort(arr, static_cast<size_t>(n), sizeof(f64), ksx_cmp_f64);
}

/* Median; leaves arr sorted ascending (a side effect callers see). */
f64 ksx_median_f64(f64* arr, i64 n) {
    if (n <= 0) return std::numeric_limits<f64>::quiet_NaN();
    ksx_sort_f64(arr, n);
    const i64 h = n / 2;
    if (n % 2 != 0) return arr[h];
    return (arr[h] + arr[h - 1]) * 0.5;
}

/* ======================================================================
 * Cholesky factorisation and normal equations
 * ====================================================================== */

/* Cholesky-Banachiewicz of the lower triangle of S (the strict upper triangle
 * is never read) into L, zeroed first.  jitter is applied only when > 0.
 * Pivot test: fail (-1) as soon as a pivot s <= n * scale * 2^-52, scale the
 * largest jittered diagonal element floored at 0.0.  The test is an ordered
 * comparison, so a NaN pivot passes and sqrt(NaN) is stored; a +inf diagonal
 * makes the tolerance infinite and the first pivot fails. */
int ksx_chol(const f64* S, f64 jitter, f64* L, i64 n) {
    ksx_zero_mat(L, n, n);
    if (n <= 0) return 0;

    const bool use_jitter = jitter > 0.0;
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        f64 d = S[i * n + i];
        if (use_jitter) d = d + jitter;
        if (d > scale) scale = d;
    }
    const f64 eps = 2.220446049250313e-16; /* 2^-52 */
    const f64 pivot_tol = static_cast<f64>(n) * scale * eps;

    for (i64 i = 0; i < n; ++i) {
        const f64* L_i = L + i * n;
        for (i64 j = 0; j <= i; ++j) {
            const f64* L_j = L + j * n;
            f64 s = S[i * n + j];
            if (i == j && use_jitter) s = s + jitter;
            for (i64 k = 0; k < j; ++k) s = std::fma(-L_i[k], L_j[k], s);
            if (i == j) {
                if (s <= pivot_tol) return -1;
                L[i * n + i] = std::sqrt(s);
            } else {
                L[i * n + j] = s / L_j[j];
            }
        }
    }
    return 0;
}

/* log det(L L^T) = 2 * sum log L[i,i], plain additions from 0.0, result s + s. */
f64 ksx_logdet_from_chol(const f64* L, i64 n) {
    if (n <= 0) return 0.0;
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s = s + std::log(L[i * n + i]);
    return s + s;
}

/* L out = b.  b[i] is read before out[i] is written: out may be b. */
void ksx_forward_subst(const f64* L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    out[0] = b[0] / L[0];
    for (i64 i = 1; i < n; ++i) {
        const f64* L_i = L + i * n;
        f64 s = 0.0;
        for (i64 j = 0; j < i; ++j) s = std::fma(out[j], L_i[j], s);
        out[i] = (b[i] - s) / L_i[i];
    }
}

/* L^T out = b, reading column i of L below the diagonal (no transposed copy).
 * out may be b. */
void ksx_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n) {
    for (i64 i = n - 1; i >= 0; --i) {
        f64 s = 0.0;
        for (i64 j = i + 1; j < n; ++j) s = std::fma(L[j * n + i], out[j], s);
        out[i] = (b[i] - s) / L[i * n + i];
    }
}

/* G (p x p) = X^T X.  Observation loop outermost; only the lower triangle with
 * the diagonal is accumulated, each element over rows in increasing order, then
 * mirrored so the result is exactly symmetric.
 *
 * Observations stream through in blocks of four, as in ksx_matmul_atb: each
 * G[a,b] takes rows r, r+1, r+2, r+3 in order in a register between one load
 * and one store, the same chain as the plain loop (which handles the last
 * n % 4 rows), so the bits do not change. */
void ksx_gram(const f64* X, f64* G, i64 n, i64 p) {
    ksx_zero_mat(G, p, p);
    if (p <= 0) return;
    i64 r = 0;
    for (; r + 4 <= n; r += 4) {
        const f64* __restrict__ x0 = X + r * p;
        const f64* __restrict__ x1 = x0 + p;
        const f64* __restrict__ x2 = x1 + p;
        const f64* __restrict__ x3 = x2 + p;
        for (i64 a = 0; a < p; ++a) {
            const f64 v0 = x0[a], v1 = x1[a], v2 = x2[a], v3 = x3[a];
            f64* __restrict__ G_a = G + a * p;
            for (i64 b = 0; b <= a; ++b) {
                f64 s = G_a[b];
                s = std::fma(v0, x0[b], s);
                s = std::fma(v1, x1[b], s);
                s = std::fma(v2, x2[b], s);
                s = std::fma(v3, x3[b], s);
                G_a[b] = s;
            }
        }
    }
    for (; r < n; ++r) {
        const f64* x_row = X + r * p;
        for (i64 a = 0; a < p; ++a) {
            const f64 x = x_row[a];
            f64* G_a = G + a * p;
            for (i64 b = 0; b <= a; ++b) G_a[b] = std::fma(x, x_row[b], G_a[b]);
        }
    }
    for (i64 a = 1; a < p; ++a)
        for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
}

/* g (p) = X^T y, each g[a] accumulated over rows in increasing order. */
void ksx_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p) {
    if (p <= 0) return;
    for (i64 a = 0; a < p; ++a) g[a] = 0.0;
    for (i64 r = 0; r < n; ++r) {
        const f64* x_row = X + r * p;
        const f64 yr = y[r];
        for (i64 a = 0; a < p; ++a) g[a] = std::fma(x_row[a], yr, g[a]);
    }
}

/* G coef = g through the factor in scratch_L; coef untouched on -1. */
int ksx_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p) {
    const int status = ksx_chol(G, 0.0, scratch_L, p);
    if (status == 0) {
        ksx_forward_subst(scratch_L, g, coef, p);
        ksx_backward_subst_chol_t(scratch_L, coef, coef, p);
    }
    return status;
}

/* Pinv = G^-1 one column at a time through the factor; not symmetrised.
 * Pinv untouched on -1. */
int ksx_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p) {
    const int status = ksx_chol(G, 0.0, scratch_L, p);
    if (status != 0) return status;
    if (p <= 0) return 0;
    const f64* L = scratch_L;
    for (i64 j = 0; j < p; ++j) {
        for (i64 i = 0; i < p; ++i) {
            f64 s = 0.0;
            for (i64 k = 0; k < i; ++k) s = std::fma(L[i * p + k], Pinv[k * p + j], s);
            const f64 e = (i == j) ? 1.0 : 0.0;
            Pinv[i * p + j] = (e - s) / L[i * p + i];
        }
        for (i64 i = p - 1; i >= 0; --i) {
            f64 s = 0.0;
            for (i64 k = i + 1; k < p; ++k) s = std::fma(L[k * p + i], Pinv[k * p + j], s);
            Pinv[i * p + j] = (Pinv[i * p + j] - s) / L[i * p + i];
        }
    }
    return 0;
}

/* ======================================================================
 * Real LU factorisation with partial pivoting
 * ====================================================================== */

/* Doolittle, row-oriented, whole-row interchanges.  pivot[k] is the row
 * swapped with row k at step k (an interchange sequence, not a permutation).
 * -1 for bad arguments (nothing touched), -2 when the largest magnitude left
 * in a column is exactly 0.0 (A partly eliminated, pivot[0..k] written). */
i64 ksx_lu_factor_inplace(f64* A, i64* pivot, i64 n) {
    if (pivot == nullptr || n <= 0 || A == nullptr) return -1;
    for (i64 k = 0; k < n; ++k) {
        /* Strict > : the topmost row wins ties, a NaN is never chosen. */
        i64 r = k;
        f64 best = std::fabs(A[k * n + k]);
        for (i64 i = k + 1; i < n; ++i) {
            const f64 v = std::fabs(A[i * n + k]);
            if (v > best) {
                best = v;
                r = i;
            }
        }
        pivot[k] = r;
        if (best == 0.0) return -2;
        if (r != k) {
            f64* row_k = A + k * n;
            f64* row_r = A + r * n;
            for (i64 j = 0; j < n; ++j) {
                const f64 t = row_k[j];
                row_k[j] = row_r[j];
                row_r[j] = t;
            }
        }
        const f64* row_k = A + k * n;
        const f64 inv = 1.0 / row_k[k];
        for (i64 i = k + 1; i < n; ++i) {
            f64* row_i = A + i * n;
            const f64 l = row_i[k] * inv;
            row_i[k] = l;
            for (i64 j = k + 1; j < n; ++j) row_i[j] = std::fma(-l, row_k[j], row_i[j]);
        }
    }
    return 0;
}

f64_lu ksx_lu_factor(const f64* A, i64 n) {
    f64_lu res;
    res.lu = nullptr;
    res.piv = nullptr;
    res.n = n;
    res.err = -1;
    if (A == nullptr || n <= 0) return res;
    if (square_block_too_large(n, sizeof(f64))) return res;

    /* lu first, then piv; on failure release whichever succeeded. */
    f64* lu = static_cast<f64*>(std::malloc(block_count(n, n) * sizeof(f64)));
    if (lu == nullptr) return res;
    i64* piv = static_cast<i64*>(std::malloc(static_cast<size_t>(n) * sizeof(i64)));
    if (piv == nullptr) {
        std::free(lu);
        return res;
    }
    std::memcpy(lu, A, block_count(n, n) * sizeof(f64));
    res.lu = lu;
    res.piv = piv;
    res.err = ksx_lu_factor_inplace(lu, piv, n);
    return res;
}

/* Releases both blocks and zeroes every field; harmless twice or on null. */
void ksx_lu_free(f64_lu* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    lu->lu = nullptr;
    lu->piv = nullptr;
    lu->n = 0;
    lu->err = 0;
}

/* A X = B for all m columns at once from the factorisation (LU, piv).  No
 * argument checks; X must not overlap B.  Every loop runs along rows. */
void ksx_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, i64 n, i64 m) {
    if (n <= 0 || m <= 0) return;
    std::memcpy(X, B, block_count(n, m) * sizeof(f64));

    for (i64 k = 0; k < n; ++k) {
        const i64 r = piv[k];
        if (r != k) {
            f64* row_k = X + k * m;
            f64* row_r = X + r * m;
            for (i64 j = 0; j < m; ++j) {
                const f64 t = row_k[j];
                row_k[j] = row_r[j];
                row_r[j] = t;
            }
        }
    }

    /* Unit lower triangle. */
    for (i64 i = 1; i < n; ++i) {
        f64* x_i = X + i * m;
        for (i64 k = 0; k < i; ++k) {
            const f64 l = LU[i * n + k];
            const f64* x_k = X + k * m;
            for (i64 j = 0; j < m; ++j) x_i[j] = std::fma(-l, x_k[j], x_i[j]);
        }
    }

    /* Upper triangle; one division per row. */
    for (i64 i = n - 1; i >= 0; --i) {
        f64* x_i = X + i * m;
        for (i64 k = i + 1; k < n; ++k) {
            const f64 u = LU[i * n + k];
            const f64* x_k = X + k * m;
            for (i64 j = 0; j < m; ++j) x_i[j] = std::fma(-u, x_k[j], x_i[j]);
        }
        const f64 r = 1.0 / LU[i * n + i];
        for (i64 j = 0; j < m; ++j) x_i[j] = x_i[j] * r;
    }
}

/* One-shot A X = B; X written only on 0.  Beyond the checks of the factorisation
 * (null A, n <= 0, allocation), a negative m or a null B or X with m > 0 is rejected
 * as a bad argument (-1) instead of being dereferenced. */
i64 ksx_solve(const f64* A, const f64* B, i64 n, i64 m, f64* X) {
    if (m < 0 || (m > 0 && (B == nullptr || X == nullptr))) return -1;
    f64_lu lu = ksx_lu_factor(A, n);
    const i64 err = lu.err;
    if (err == 0) ksx_lu_solve(lu.lu, lu.piv, B, X, n, m);
    ksx_lu_free(&lu);
    return err;
}

/* Ainv = A^-1 by solving A Ainv = I; Ainv written only on 0. */
i64 ksx_inv(const f64* A, i64 n, f64* Ainv) {
    if (A == nullptr || n <= 0 || Ainv == nullptr) return -1;
    if (square_block_too_large(n, sizeof(f64))) return -1;
    f64* identity = static_cast<f64*>(std::malloc(block_count(n, n) * sizeof(f64)));
    if (identity == nullptr) return -1;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) identity[i * n + j] = (i == j) ? 1.0 : 0.0;
    const i64 err = ksx_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return err;
}
