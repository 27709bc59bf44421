/* Complex double-precision linear algebra of the Kestrix numeric core.
 *
 * An r-by-c complex matrix is r*c consecutive c128 values, row-major.  The LU
 * family mirrors the real one of ksx_linalg.h: same error values (0, -1 bad
 * argument or allocation failure, -2 singular), same pivot-vector meaning,
 * same ownership.
 *
 * This header compiles as C11 and as C++17.
 */
#ifndef KSX_COMPLEX_H
#define KSX_COMPLEX_H

#include "ksx_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct c128 {
    f64 re;
    f64 im;
} c128;

static inline c128 c128_make(f64 re, f64 im) {
    c128 z;
    z.re = re;
    z.im = im;
    return z;
}

static inline c128 c128_add(c128 a, c128 b) { return c128_make(a.re + b.re, a.im + b.im); }

static inline c128 c128_sub(c128 a, c128 b) { return c128_make(a.re - b.re, a.im - b.im); }

static inline c128 c128_mul(c128 a, c128 b) {
    return c128_make(a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re);
}

/* a / b by Smith's method: the squared modulus of b is never formed. */
static inline c128 c128_div(c128 a, c128 b) {
    f64 abs_re = b.re < 0 ? -b.re : b.re;
    f64 abs_im = b.im < 0 ? -b.im : b.im;
    if (abs_re >= abs_im) {
        f64 r = b.im / b.re;
        f64 d = b.re + b.im * r;
        return c128_make((a.re + a.im * r) / d, (a.im - a.re * r) / d);
    } else {
        f64 r = b.re / b.im;
        f64 d = b.im + b.re * r;
        return c128_make((a.re * r + a.im) / d, (a.im * r - a.re) / d);
    }
}

static inline f64 c128_abs2(c128 a) { return a.re * a.re + a.im * a.im; }

typedef struct c128_lu {
    c128* lu;
    i64* piv;
    i64 n;
    i64 err;
} c128_lu;

/* out (m x p) = A (m x n) * B (n x p); note the dimensions precede out. */
void c128_matmul(const c128* A, const c128* B, i64 m, i64 n, i64 p, c128* out);
i64 c128_lu_factor_inplace(c128* A, i64* pivot, i64 n);
c128_lu c128_lu_factor(const c128* A, i64 n);
void c128_lu_free(c128_lu* lu);
void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, i64 n, i64 m);
i64 c128_solve(const c128* A, const c128* B, i64 n, i64 m, c128* X);
i64 c128_inv(const c128* A, i64 n, c128* Ainv);

#ifdef __cplusplus
}
#endif

#endif /* KSX_COMPLEX_H */
