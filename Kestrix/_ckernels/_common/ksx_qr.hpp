// Least squares by Householder QR, written once for one problem (V = f64) or
// several same-sized problems side by side (V a vector, see ksx_lanes.hpp).
// Private to the libraries.
//
// Matrices are row-major blocks of V with a leading dimension: element (i, j)
// at A[i*ld + j].  Every sum is one chain in increasing row order, each
// product added with one fma (the accumulation rule of the core); several
// columns are carried side by side only as separate chains.
//
// Rank.  Columns are taken in their own order.  Before column j is taken,
// the reflections of the columns taken so far are applied to it; what is
// left below the rows already used has norm mu_j.  The column is dependent,
// and left out, when mu_j <= tol * |a_j|, |a_j| the norm of the column as
// given.  Dividing by |a_j| makes the decision independent of the units of
// every column (it is the decision on the equilibrated design), and taking
// the columns in order means a column is left out only for being, to within
// tol, a linear combination of the columns before it: the dependent columns
// named to a user are the later ones.  tol is max(n, q)·eps, the rule that
// numpy.linalg.matrix_rank applies to singular values.  The identified
// columns get the least-squares coefficients, the dependent ones none.
//
// A lane run leaves a column out when it is dependent in every lane, takes
// it when it is dependent in none, and otherwise takes it and records the
// lanes where it was dependent (Track): those problems must be solved again
// on f64.  A lane that stayed on the common branch has the bits of its f64
// run.
#ifndef KSX_QR_HPP
#define KSX_QR_HPP

#include <cfloat>

#include "ksx_lanes.hpp"

namespace ksx {
inline namespace KSX_ISA {
namespace qr {

using lanes::Mask;
using lanes::Track;

constexpr f64 kEps = DBL_EPSILON;

// Tolerance of the rank decision for an n-by-q design.
inline f64 rank_tol(i64 n, i64 q) { return static_cast<f64>(n > q ? n : q) * kEps; }

// Sum of squares of a column, rows r0 .. n-1, one chain.
template <class V>
KSX_INLINE V column_sumsq(const V* A, i64 ld, i64 r0, i64 n, i64 j) {
    V s = lanes::splat<V>(0.0);
    for (i64 i = r0; i < n; ++i) s = lanes::fma(A[i * ld + j], A[i * ld + j], s);
    return s;
}

// The state of a factorisation in progress: the reflectors of the columns
// taken so far (vectors stored below the diagonal of those columns, v_0 = 1
// implicit; tau[k]), and which columns were taken.
template <class V>
struct Factor {
    V* A = nullptr;    // n x ld block, factored in place
    i64 n = 0;
    i64 ld = 0;
    V* tau = nullptr;  // one per column taken
    i64* taken = nullptr;  // taken[k]: the column of reflector k
    unsigned char* dependent = nullptr;  // per column of A: 1 when left out
    i64 rank = 0;
    f64 tol = 0.0;
    Track<V>* track = nullptr;  // the lanes that left the common branch
};

// Applies reflector k to column j of the factor's block (rows k .. n-1):
// d = a_k' v, a = a - tau d v.
template <class V>
KSX_INLINE void reflect_column(Factor<V>& f, i64 k, V* col, i64 ld) {
    const V* A = f.A;
    const i64 lda = f.ld;
    const i64 c = f.taken[k];
    V d = col[k * ld];
    for (i64 i = k + 1; i < f.n; ++i) d = lanes::fma(A[i * lda + c], col[i * ld], d);
    const V t = f.tau[k] * d;
    col[k * ld] = col[k * ld] - t;
    for (i64 i = k + 1; i < f.n; ++i) col[i * ld] = lanes::fma(-t, A[i * lda + c], col[i * ld]);
}

// Reflector k applied to M columns j0 .. j0+M-1 of a block B (rows k .. n-1 of stride ld), side by side
// in registers: each column gets exactly the operations of reflect_column.  With `sumsq`, also the sum of
// squares of column j0's new rows k+2 .. n-1, the chain column_sumsq forms over them (the next column's
// decision, when column j0 is the next to be taken), made as the rows are written.
template <int M, class V>
KSX_INLINE void reflect_tile(const Factor<V>& f, i64 k, V* B, i64 ld, i64 j0, V* sumsq = nullptr) {
    const V* A = f.A;
    const i64 lda = f.ld;
    const i64 c = f.taken[k];
    V d[M];
#pragma GCC unroll 8
    for (int j = 0; j < M; ++j) d[j] = B[k * ld + j0 + j];
    for (i64 i = k + 1; i < f.n; ++i) {
        const V v = A[i * lda + c];
#pragma GCC unroll 8
        for (int j = 0; j < M; ++j) d[j] = lanes::fma(v, B[i * ld + j0 + j], d[j]);
    }
    V t[M];
#pragma GCC unroll 8
    for (int j = 0; j < M; ++j) {
        t[j] = f.tau[k] * d[j];
        B[k * ld + j0 + j] = B[k * ld + j0 + j] - t[j];
    }
    if (!sumsq) {
        for (i64 i = k + 1; i < f.n; ++i) {
            const V v = A[i * lda + c];
#pragma GCC unroll 8
            for (int j = 0; j < M; ++j) B[i * ld + j0 + j] = lanes::fma(-t[j], v, B[i * ld + j0 + j]);
        }
        return;
    }
    V s = lanes::splat<V>(0.0);
    for (i64 i = k + 1; i < f.n; ++i) {
        const V v = A[i * lda + c];
#pragma GCC unroll 8
        for (int j = 0; j < M; ++j) B[i * ld + j0 + j] = lanes::fma(-t[j], v, B[i * ld + j0 + j]);
        if (i > k + 1) s = lanes::fma(B[i * ld + j0], B[i * ld + j0], s);
    }
    *sumsq = s;
}

// Reflector k applied to columns c0 .. c1-1 of a block B, eight at a time; with `sumsq`, the sum of
// squares of column c0's rows k+2 .. n-1 after it (see reflect_tile).
template <class V>
KSX_INLINE void reflect_block(const Factor<V>& f, i64 k, V* B, i64 ld, i64 c0, i64 c1, V* sumsq = nullptr) {
    for (i64 j0 = c0; j0 < c1; j0 += 8) {
        V* s = j0 == c0 ? sumsq : nullptr;
        switch (c1 - j0 < 8 ? c1 - j0 : 8) {
            case 1: reflect_tile<1>(f, k, B, ld, j0, s); break;
            case 2: reflect_tile<2>(f, k, B, ld, j0, s); break;
            case 3: reflect_tile<3>(f, k, B, ld, j0, s); break;
            case 4: reflect_tile<4>(f, k, B, ld, j0, s); break;
            case 5: reflect_tile<5>(f, k, B, ld, j0, s); break;
            case 6: reflect_tile<6>(f, k, B, ld, j0, s); break;
            case 7: reflect_tile<7>(f, k, B, ld, j0, s); break;
            default: reflect_tile<8>(f, k, B, ld, j0, s); break;
        }
    }
}

// Q' applied to columns 0 .. cols-1 of a block B (n rows, stride ld): every reflector in order.
template <class V>
KSX_INLINE void apply_qt_block(const Factor<V>& f, V* B, i64 ld, i64 cols) {
    for (i64 k = 0; k < f.rank; ++k) reflect_block(f, k, B, ld, 0, cols);
}

// Q' applied to a vector b of n elements (stride ld): every reflector in order.
template <class V>
KSX_INLINE void apply_qt(Factor<V>& f, V* b, i64 ld) {
    for (i64 k = 0; k < f.rank; ++k) reflect_column(f, k, b, ld);
}

// Q applied to b: the reflectors in reverse order.
template <class V>
KSX_INLINE void apply_q(Factor<V>& f, V* b, i64 ld) {
    for (i64 k = f.rank - 1; k >= 0; --k) reflect_column(f, k, b, ld);
}

// Takes column j, to which the reflections so far have been applied: the
// rank decision and its own reflection.  `norm` is |a_j| of the column as
// given; `sumsq`, when given, the sum of squares of its rows rank+1 .. n-1
// (column_sumsq's chain, made as the last reflection wrote them).  Returns
// whether the column was taken.
template <class V>
KSX_INLINE bool take_column(Factor<V>& f, i64 j, const V& norm, const V* sumsq = nullptr) {
    V* A = f.A;
    const i64 ld = f.ld;
    const i64 r = f.rank;
    if (r >= f.n) {  // no row left: every further column is a combination of the others
        f.dependent[j] = 1;
        return false;
    }
    const V alpha = A[r * ld + j];
    const V sigma = sumsq ? *sumsq : column_sumsq(A, ld, r + 1, f.n, j);
    const V mu = lanes::sqrt(lanes::fma(alpha, alpha, sigma));
    if (lanes::decide<V>(*f.track, !(mu > lanes::splat<V>(f.tol) * norm))) {
        f.dependent[j] = 1;
        return false;
    }
    f.dependent[j] = 0;
    // beta = -sign(alpha) mu; v_i = x_i · (1 / (alpha - beta)); tau = (beta - alpha) / beta.
    // A column with nothing below the diagonal needs no reflection (tau = 0).
    const Mask<V> flat = sigma == lanes::splat<V>(0.0);
    const V beta = lanes::select<V>(flat, alpha, -lanes::sign_or_one(alpha) * mu);
    const V scale = lanes::splat<V>(1.0) / lanes::select<V>(flat, lanes::splat<V>(1.0), alpha - beta);
    f.tau[r] = lanes::select<V>(flat, lanes::splat<V>(0.0), (beta - alpha) / beta);
    A[r * ld + j] = beta;
    for (i64 i = r + 1; i < f.n; ++i) A[i * ld + j] = A[i * ld + j] * scale;
    f.taken[r] = j;
    f.rank = r + 1;
    return true;
}

// Sums of squares of M columns j0 .. j0+M-1 over rows r0 .. n-1, side by side (each one chain).
template <int M, class V>
KSX_INLINE void sumsq_tile(const V* A, i64 ld, i64 r0, i64 n, i64 j0, V* out) {
    V s[M];
#pragma GCC unroll 8
    for (int j = 0; j < M; ++j) s[j] = lanes::splat<V>(0.0);
    for (i64 i = r0; i < n; ++i)
#pragma GCC unroll 8
        for (int j = 0; j < M; ++j) s[j] = lanes::fma(A[i * ld + j0 + j], A[i * ld + j0 + j], s[j]);
#pragma GCC unroll 8
    for (int j = 0; j < M; ++j) out[j] = s[j];
}

// Norm of each column c0 .. c1-1 as given (before any reflection), into norm[c0 .. c1-1]: the sums of
// column_sumsq, eight columns at a time.
template <class V>
KSX_INLINE void column_norms(const V* A, i64 ld, i64 n, i64 c0, i64 c1, V* norm) {
    for (i64 j0 = c0; j0 < c1; j0 += 8) {
        V* out = norm + j0;
        switch (c1 - j0 < 8 ? c1 - j0 : 8) {
            case 1: sumsq_tile<1>(A, ld, 0, n, j0, out); break;
            case 2: sumsq_tile<2>(A, ld, 0, n, j0, out); break;
            case 3: sumsq_tile<3>(A, ld, 0, n, j0, out); break;
            case 4: sumsq_tile<4>(A, ld, 0, n, j0, out); break;
            case 5: sumsq_tile<5>(A, ld, 0, n, j0, out); break;
            case 6: sumsq_tile<6>(A, ld, 0, n, j0, out); break;
            case 7: sumsq_tile<7>(A, ld, 0, n, j0, out); break;
            default: sumsq_tile<8>(A, ld, 0, n, j0, out); break;
        }
    }
    for (i64 j = c0; j < c1; ++j) norm[j] = lanes::sqrt(norm[j]);
}

// Factors columns c0 .. c1-1 of the factor's block, in order, after the
// columns taken before.  norm[j] must hold |a_j|.  Each reflection goes to
// every later column as soon as it is made: a column meets the reflections
// in the same order as if it fetched them when its turn came.
// Columns c1 .. c_end-1 of the block (right-hand sides) receive every reflection too: Q' applied to them.
template <class V>
KSX_INLINE void take_columns(Factor<V>& f, i64 c0, i64 c1, const V* norm, i64 c_end = -1) {
    if (c_end < c1) c_end = c1;
    for (i64 k = 0; k < f.rank; ++k) reflect_block(f, k, f.A, f.ld, c0, c_end);
    // The sum of squares that decides column j, when the reflection of column j - 1 made it.
    V next = lanes::splat<V>(0.0);
    bool have = false;
    for (i64 j = c0; j < c1; ++j) {
        const bool taken = take_column(f, j, norm[j], have ? &next : nullptr);
        have = taken && j + 1 < c1 && f.rank + 1 < f.n;
        if (taken) reflect_block(f, f.rank - 1, f.A, f.ld, j + 1, c_end, have ? &next : nullptr);
    }
}

// Coefficients of the columns taken from c = Q'y (its first rank entries):
// R b = c by back substitution, b[k] for the column taken k-th.
template <class V>
KSX_INLINE void solve_r(const Factor<V>& f, const V* c, i64 ldc, V* b) {
    const V* A = f.A;
    const i64 ld = f.ld;
    for (i64 k = f.rank - 1; k >= 0; --k) {
        V s = c[k * ldc];
        for (i64 m = k + 1; m < f.rank; ++m) s = lanes::fma(-A[k * ld + f.taken[m]], b[m], s);
        b[k] = s / A[k * ld + f.taken[k]];
    }
}

// Sum of squares of rows r0 .. n-1 of a vector (stride ld): one chain.
template <class V>
KSX_INLINE V tail_sumsq(const V* c, i64 ld, i64 r0, i64 n) {
    V s = lanes::splat<V>(0.0);
    for (i64 i = r0; i < n; ++i) s = lanes::fma(c[i * ld], c[i * ld], s);
    return s;
}

}  // namespace qr
}  // namespace KSX_ISA
}  // namespace ksx

#endif  // KSX_QR_HPP
