// LU factorisation with partial pivoting and its solve, written once for the
// real and the complex core.  Private to the libraries: not installed.
//
// Doolittle, row-oriented, whole-row interchanges.  pivot[k] is the row
// swapped with row k at step k (an interchange sequence, not a permutation).
// The two fields differ only in the few operations the Field type supplies:
//
//   Field::T                    the element type
//   Field::magnitude(v)         the size a pivot is chosen by: |v| for real,
//                               |v|^2 for complex (so a column whose squared
//                               moduli underflow to 0.0 counts as singular)
//   Field::divisor(d)           what dividing by a pivot d uses: 1/d for
//                               real (one reciprocal per pivot), d itself for
//                               complex (no reciprocal of a pivot is formed)
//   Field::divide(a, s)         a divided by the pivot of divisor s: a*s for
//                               real, Smith's complex division for complex
//   Field::minus_product(x, l, y)  x - l*y: one fused step for real, the
//                               complex product then the difference for complex
//
// Every element is updated by one chain in the order of the loops below; the
// loops never combine values of different columns, so the result does not
// depend on how a compiler vectorises them.
#ifndef KSX_LU_HPP
#define KSX_LU_HPP

#include <cstring>

#include "ksx_common.h"

namespace ksx_lu {

template <class T>
inline void swap_rows(T* row_a, T* row_b, i64 len) {
    for (i64 j = 0; j < len; ++j) {
        const T t = row_a[j];
        row_a[j] = row_b[j];
        row_b[j] = t;
    }
}

// -1 for bad arguments (nothing touched), -2 when the largest magnitude left
// in a column is exactly 0.0 (A partly eliminated, pivot[0..k] written).
template <class Field>
i64 factor_inplace(typename Field::T* A, i64* pivot, i64 n) {
    using T = typename Field::T;
    if (pivot == nullptr || n <= 0 || A == nullptr) return -1;
    for (i64 k = 0; k < n; ++k) {
        // Strict > : the topmost row wins ties, a NaN is never chosen.
        i64 r = k;
        f64 best = Field::magnitude(A[k * n + k]);
        for (i64 i = k + 1; i < n; ++i) {
            const f64 v = Field::magnitude(A[i * n + k]);
            if (v > best) {
                best = v;
                r = i;
            }
        }
        pivot[k] = r;
        if (best == 0.0) return -2;
        if (r != k) swap_rows(A + k * n, A + r * n, n);
        const T* row_k = A + k * n;
        const T s = Field::divisor(row_k[k]);
        for (i64 i = k + 1; i < n; ++i) {
            T* row_i = A + i * n;
            const T l = Field::divide(row_i[k], s);
            row_i[k] = l;
            for (i64 j = k + 1; j < n; ++j) row_i[j] = Field::minus_product(row_i[j], l, row_k[j]);
        }
    }
    return 0;
}

// A X = B for all m columns at once from the factorisation (LU, piv).  No
// argument checks; X must not overlap B.  Every loop runs along rows.
template <class Field>
void solve(const typename Field::T* LU, const i64* piv, const typename Field::T* B, typename Field::T* X, i64 n,
           i64 m) {
    using T = typename Field::T;
    if (n <= 0 || m <= 0) return;
    std::memcpy(X, B, static_cast<size_t>(n) * static_cast<size_t>(m) * sizeof(T));

    for (i64 k = 0; k < n; ++k) {
        const i64 r = piv[k];
        if (r != k) swap_rows(X + k * m, X + r * m, m);
    }

    // Unit lower triangle.
    for (i64 i = 1; i < n; ++i) {
        T* x_i = X + i * m;
        for (i64 k = 0; k < i; ++k) {
            const T l = LU[i * n + k];
            const T* x_k = X + k * m;
            for (i64 j = 0; j < m; ++j) x_i[j] = Field::minus_product(x_i[j], l, x_k[j]);
        }
    }

    // Upper triangle; one divisor per row.
    for (i64 i = n - 1; i >= 0; --i) {
        T* x_i = X + i * m;
        for (i64 k = i + 1; k < n; ++k) {
            const T u = LU[i * n + k];
            const T* x_k = X + k * m;
            for (i64 j = 0; j < m; ++j) x_i[j] = Field::minus_product(x_i[j], u, x_k[j]);
        }
        const T s = Field::divisor(LU[i * n + i]);
        for (i64 j = 0; j < m; ++j) x_i[j] = Field::divide(x_i[j], s);
    }
}

}  // namespace ksx_lu

#endif  // KSX_LU_HPP
