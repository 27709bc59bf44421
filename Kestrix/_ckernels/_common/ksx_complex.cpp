/* Complex double-precision linear algebra of the Kestrix numeric core.
 *
 * The LU family is the twin of the real one in ksx_linalg.cpp:
 * same loop structure, error values, pivot-vector meaning and ownership.  The
 * differences: the pivot search compares squared moduli (c128_abs2, so a pivot
 * column whose squared moduli underflow to 0.0 counts as singular), and every
 * division by a pivot is a full Smith division (c128_div); no reciprocal of a
 * pivot is ever formed.  Arithmetic is the header's inline c128_* functions;
 * the build passes -ffp-contract=off, so none of their steps is fused.
 */
#include "ksx_complex.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

/* GCC (seen with 12.2) recognises the complex multiply a.re*b.re - a.im*b.im,
 * a.re*b.im + a.im*b.re when it vectorises a loop and emits fused
 * vfmaddsub/vfmsubadd for it whenever FMA is available (-mfma, -march=...),
 * in spite of -ffp-contract=off and -fno-tree-slp-vectorize.  The vector body
 * then rounds differently from the scalar tail, so a solve with m right-hand
 * sides stopped agreeing bit for bit with m separate solves.  Vectorisation is
 * turned off for this file's functions only; the header's inline arithmetic
 * is still inlined into them.  Clang honours -ffp-contract=off here. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

// After the pragma: the shared LU's complex copy is compiled under it too.
#include "ksx_lu.hpp"

namespace {

inline size_t block_count(i64 r, i64 c) { return static_cast<size_t>(r) * static_cast<size_t>(c); }

inline bool square_block_too_large(i64 n, size_t elem_size) {
    const size_t limit = SIZE_MAX / elem_size;
    const size_t un = static_cast<size_t>(n);
    return un != 0 && un > limit / un;
}

}  // namespace

/* out (m x p) = A (m x n) B (n x p); each element one chain of c128_add over k
 * ascending from (0, 0).  Nothing written for m <= 0 or p <= 0. */
void c128_matmul(const c128* A, const c128* B, i64 m, i64 n, i64 p, c128* out) {
    if (m <= 0 || p <= 0) return;
    for (i64 i = 0; i < m; ++i) {
        const c128* a_row = A + i * n;
        for (i64 j = 0; j < p; ++j) {
            c128 s = c128_make(0.0, 0.0);
            for (i64 k = 0; k < n; ++k) s = c128_add(s, c128_mul(a_row[k], B[k * p + j]));
            out[i * p + j] = s;
        }
    }
}

namespace {

// The complex field of the shared LU: pivots by squared modulus, every
// division by a pivot a Smith division, unfused products and differences.
struct ComplexField {
    using T = c128;
    static f64 magnitude(c128 v) { return c128_abs2(v); }
    static c128 divisor(c128 d) { return d; }
    static c128 divide(c128 a, c128 d) { return c128_div(a, d); }
    static c128 minus_product(c128 x, c128 l, c128 y) { return c128_sub(x, c128_mul(l, y)); }
};

}  // namespace

/* As ksx_lu_factor_inplace, with the pivot chosen by strictly larger squared
 * modulus and multipliers formed by complex division. */
i64 c128_lu_factor_inplace(c128* A, i64* pivot, i64 n) { return ksx_lu::factor_inplace<ComplexField>(A, pivot, n); }

c128_lu c128_lu_factor(const c128* A, i64 n) {
    c128_lu res;
    res.lu = nullptr;
    res.piv = nullptr;
    res.n = n;
    res.err = -1;
    if (A == nullptr || n <= 0) return res;
    if (square_block_too_large(n, sizeof(c128))) return res;

    /* lu first, then piv; on failure release whichever succeeded. */
    c128* lu = static_cast<c128*>(std::malloc(block_count(n, n) * sizeof(c128)));
    if (lu == nullptr) return res;
    i64* piv = static_cast<i64*>(std::malloc(static_cast<size_t>(n) * sizeof(i64)));
    if (piv == nullptr) {
        std::free(lu);
        return res;
    }
    std::memcpy(lu, A, block_count(n, n) * sizeof(c128));
    res.lu = lu;
    res.piv = piv;
    res.err = c128_lu_factor_inplace(lu, piv, n);
    return res;
}

/* Releases both blocks and zeroes every field; harmless twice or on null. */
void c128_lu_free(c128_lu* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    lu->lu = nullptr;
    lu->piv = nullptr;
    lu->n = 0;
    lu->err = 0;
}

/* A X = B for all m columns at once; no argument checks; X must not overlap B.
 * Back substitution divides each element by the pivot with c128_div. */
void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, i64 n, i64 m) {
    ksx_lu::solve<ComplexField>(LU, piv, B, X, n, m);
}

/* One-shot A X = B; X written only on 0.  As ksx_solve, a negative m or a
 * null B or X with m > 0 is rejected with -1. */
i64 c128_solve(const c128* A, const c128* B, i64 n, i64 m, c128* X) {
    if (m < 0 || (m > 0 && (B == nullptr || X == nullptr))) return -1;
    c128_lu lu = c128_lu_factor(A, n);
    const i64 err = lu.err;
    if (err == 0) c128_lu_solve(lu.lu, lu.piv, B, X, n, m);
    c128_lu_free(&lu);
    return err;
}

/* Ainv = A^-1 by solving against an identity of (1, 0) and (0, 0). */
i64 c128_inv(const c128* A, i64 n, c128* Ainv) {
    if (A == nullptr || n <= 0 || Ainv == nullptr) return -1;
    if (square_block_too_large(n, sizeof(c128))) return -1;
    c128* identity = static_cast<c128*>(std::malloc(block_count(n, n) * sizeof(c128)));
    if (identity == nullptr) return -1;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) identity[i * n + j] = c128_make(i == j ? 1.0 : 0.0, 0.0);
    const i64 err = c128_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return err;
}
