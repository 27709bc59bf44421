// Tests of the complex128 arithmetic and LU family.
//
// The inline arithmetic is checked against the formulas of the text (both
// branches of Smith's division), the LU family bit for bit against a plain
// reference written here, and solves and inverses against the mathematics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ksx_complex.h"
#include "ksx_linalg.h"

// The reference arithmetic below must round exactly as written; GCC would
// otherwise fuse vectorised complex products (see ksx_complex.cpp).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

namespace {

using CVec = std::vector<c128>;
using IVec = std::vector<i64>;

const f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
const c128 kSentinel = {-12345.678, 987.25};
const i64 kISentinel = -777;

uint64_t bits_of(f64 x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

bool same_bits(c128 a, c128 b) { return bits_of(a.re) == bits_of(b.re) && bits_of(a.im) == bits_of(b.im); }

::testing::AssertionResult SameBits(c128 got, c128 want) {
    if (same_bits(got, want)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << got.re << ", " << got.im << ") want (" << want.re << ", "
                                         << want.im << ")";
}

::testing::AssertionResult SameBits(const CVec& got, const CVec& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (!same_bits(got[i], want[i]))
            return ::testing::AssertionFailure() << "element " << i << ": got (" << got[i].re << ", " << got[i].im
                                                 << ") want (" << want[i].re << ", " << want[i].im << ")";
    return ::testing::AssertionSuccess();
}

bool all_sentinel(const CVec& v) {
    for (const c128& z : v)
        if (!same_bits(z, kSentinel)) return false;
    return true;
}

bool all_isentinel(const IVec& v) {
    for (i64 x : v)
        if (x != kISentinel) return false;
    return true;
}

CVec random_cvec(std::mt19937_64& rng, size_t count) {
    std::uniform_real_distribution<f64> dist(-2.0, 2.0);
    CVec v(count);
    for (c128& z : v) z = c128_make(dist(rng), dist(rng));
    return v;
}

// Diagonally dominant with shuffled rows: well conditioned, needs interchanges.
CVec random_well_conditioned(std::mt19937_64& rng, i64 n) {
    CVec A = random_cvec(rng, static_cast<size_t>(n * n));
    for (i64 i = 0; i < n; ++i) A[i * n + i].re += 3.0 * static_cast<f64>(n);
    std::vector<i64> order(static_cast<size_t>(n));
    for (i64 i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    CVec shuffled(A.size());
    for (i64 i = 0; i < n; ++i)
        std::copy(A.begin() + order[i] * n, A.begin() + (order[i] + 1) * n, shuffled.begin() + i * n);
    return shuffled;
}

// ---- references written from the text ---------------------------------------

// Smith's division, the two branches written out separately.
c128 smith_branch1(c128 a, c128 b) {
    const f64 r = b.im / b.re;
    const f64 d = b.re + b.im * r;
    return c128{(a.re + a.im * r) / d, (a.im - a.re * r) / d};
}
c128 smith_branch2(c128 a, c128 b) {
    const f64 r = b.re / b.im;
    const f64 d = b.im + b.re * r;
    return c128{(a.re * r + a.im) / d, (a.im * r - a.re) / d};
}

c128 cmul(c128 a, c128 b) { return c128{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
c128 csub(c128 a, c128 b) { return c128{a.re - b.re, a.im - b.im}; }
c128 cdiv(c128 a, c128 b) {
    return std::fabs(b.re) >= std::fabs(b.im) ? smith_branch1(a, b) : smith_branch2(a, b);
}
f64 cabs2(c128 a) { return a.re * a.re + a.im * a.im; }

i64 ref_factor(CVec& A, IVec& piv, i64 n) {
    for (i64 k = 0; k < n; ++k) {
        i64 r = k;
        f64 best = cabs2(A[k * n + k]);
        for (i64 i = k + 1; i < n; ++i)
            if (cabs2(A[i * n + k]) > best) {
                best = cabs2(A[i * n + k]);
                r = i;
            }
        piv[k] = r;
        if (best == 0.0) return -2;
        for (i64 j = 0; j < n && r != k; ++j) std::swap(A[k * n + j], A[r * n + j]);
        for (i64 i = k + 1; i < n; ++i) {
            const c128 l = cdiv(A[i * n + k], A[k * n + k]);
            A[i * n + k] = l;
            for (i64 j = k + 1; j < n; ++j) A[i * n + j] = csub(A[i * n + j], cmul(l, A[k * n + j]));
        }
    }
    return 0;
}

CVec ref_solve(const CVec& LU, const IVec& piv, const CVec& B, i64 n, i64 m) {
    CVec X = B;
    for (i64 k = 0; k < n; ++k)
        for (i64 j = 0; j < m; ++j) std::swap(X[k * m + j], X[piv[k] * m + j]);
    for (i64 j = 0; j < m; ++j) {
        for (i64 i = 1; i < n; ++i)
            for (i64 k = 0; k < i; ++k) X[i * m + j] = csub(X[i * m + j], cmul(LU[i * n + k], X[k * m + j]));
        for (i64 i = n - 1; i >= 0; --i) {
            for (i64 k = i + 1; k < n; ++k) X[i * m + j] = csub(X[i * m + j], cmul(LU[i * n + k], X[k * m + j]));
            X[i * m + j] = cdiv(X[i * m + j], LU[i * n + i]);
        }
    }
    return X;
}

// ---- inline arithmetic --------------------------------------------------------

TEST(ComplexArith, MakeAddSubMulAbs2) {
    const c128 a = c128_make(1.5, -2.0), b = c128_make(-0.5, 4.0);
    EXPECT_EQ(a.re, 1.5);
    EXPECT_EQ(a.im, -2.0);
    EXPECT_TRUE(SameBits(c128_add(a, b), c128{1.0, 2.0}));
    EXPECT_TRUE(SameBits(c128_sub(a, b), c128{2.0, -6.0}));
    EXPECT_TRUE(SameBits(c128_mul(a, b), c128{-0.75 + 8.0, 6.0 + 1.0}));
    EXPECT_TRUE(SameBits(c128_mul(c128_make(0, 1), c128_make(0, 1)), c128{-1.0, 0.0}));
    EXPECT_EQ(c128_abs2(c128_make(3.0, -4.0)), 25.0);
    // The squared modulus is formed in double precision: it underflows.
    EXPECT_EQ(c128_abs2(c128_make(1e-163, 1e-163)), 0.0);
    EXPECT_GT(c128_abs2(c128_make(1e-161, 0.0)), 0.0);
}

TEST(ComplexArith, FieldLayout) {
    static_assert(sizeof(c128) == 2 * sizeof(f64), "two f64 fields, no padding");
    const c128 z = c128_make(1.0, 2.0);
    f64 raw[2];
    std::memcpy(raw, &z, sizeof raw);
    EXPECT_EQ(raw[0], 1.0);  // re first
    EXPECT_EQ(raw[1], 2.0);
}

TEST(ComplexDiv, SpecCases) {
    EXPECT_TRUE(SameBits(c128_div(c128_make(1, 0), c128_make(0, 1)), c128{0.0, -1.0}));
    EXPECT_TRUE(SameBits(c128_div(c128_make(1, 1), c128_make(1, 1)), c128{1.0, 0.0}));
}

TEST(ComplexDiv, TieTakesBranchOne) {
    // |b.re| = |b.im|: the branches differ only in the sign of a zero here.
    const c128 a = c128_make(0.0, 0.0), b = c128_make(-2.0, 2.0);
    const c128 q = c128_div(a, b);
    EXPECT_TRUE(SameBits(q, smith_branch1(a, b)));
    EXPECT_FALSE(same_bits(smith_branch1(a, b), smith_branch2(a, b)));  // the test can tell them apart
    EXPECT_TRUE(std::signbit(q.re));
}

TEST(ComplexDiv, BothBranchesBitExact) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<f64> dist(-10.0, 10.0);
    int seen1 = 0, seen2 = 0;
    for (int t = 0; t < 500; ++t) {
        const c128 a = c128_make(dist(rng), dist(rng));
        const c128 b = c128_make(dist(rng), dist(rng));
        const bool branch1 = std::fabs(b.re) >= std::fabs(b.im);
        (branch1 ? seen1 : seen2)++;
        EXPECT_TRUE(SameBits(c128_div(a, b), branch1 ? smith_branch1(a, b) : smith_branch2(a, b)));
    }
    EXPECT_GT(seen1, 100);
    EXPECT_GT(seen2, 100);
}

TEST(ComplexDiv, NoSquaredModulusOverflow) {
    // |b|^2 would overflow; Smith's method does not form it.
    const c128 q = c128_div(c128_make(1e300, 0.0), c128_make(1e300, 1e300));
    EXPECT_DOUBLE_EQ(q.re, 0.5);
    EXPECT_DOUBLE_EQ(q.im, -0.5);
    const c128 q2 = c128_div(c128_make(1e-300, 1e-300), c128_make(1e-300, -1e-300));
    EXPECT_DOUBLE_EQ(q2.re, 0.0);
    EXPECT_DOUBLE_EQ(q2.im, 1.0);
}

TEST(ComplexDiv, ZeroAndNaNDivisors) {
    const c128 z = c128_div(c128_make(1.0, 2.0), c128_make(0.0, 0.0));
    EXPECT_TRUE(std::isnan(z.re));
    EXPECT_TRUE(std::isnan(z.im));
    const c128 n1 = c128_div(c128_make(1.0, 2.0), c128_make(kNaN, 1.0));
    EXPECT_TRUE(std::isnan(n1.re) && std::isnan(n1.im));
    const c128 n2 = c128_div(c128_make(1.0, 2.0), c128_make(1.0, kNaN));
    EXPECT_TRUE(std::isnan(n2.re) && std::isnan(n2.im));
}

// ---- c128_matmul -----------------------------------------------------------

TEST(ComplexMatmul, OneByOne) {
    const c128 a = c128_make(1, 2), b = c128_make(3, 4);
    c128 out = kSentinel;
    c128_matmul(&a, &b, 1, 1, 1, &out);
    EXPECT_TRUE(SameBits(out, c128{-5.0, 10.0}));
}

TEST(ComplexMatmul, ArgumentOrderNonSquare) {
    // A is 2 x 3, B is 3 x 1: dims come as m (rows), n (inner), p (columns),
    // before out.
    const CVec A = {{1, 0}, {0, 1}, {2, 0}, {0, 0}, {1, 1}, {0, -1}};
    const CVec B = {{1, 0}, {0, 1}, {1, 1}};
    CVec out(3, kSentinel);
    c128_matmul(A.data(), B.data(), 2, 3, 1, out.data());
    // row 0: 1 + i*i + 2(1+i) = 1 - 1 + 2 + 2i = (2, 2)
    // row 1: 0 + (1+i)i + (-i)(1+i) = (-1 + i) + (1 - i) = (0, 0)
    EXPECT_TRUE(SameBits(out[0], c128{2.0, 2.0}));
    EXPECT_TRUE(SameBits(out[1], c128{0.0, 0.0}));
    EXPECT_TRUE(SameBits(out[2], kSentinel));  // only m * p elements written

    std::mt19937_64 rng(5);
    const i64 m = 4, n = 3, p = 5;
    CVec RA = random_cvec(rng, m * n), RB = random_cvec(rng, n * p), R(m * p), want(m * p);
    c128_matmul(RA.data(), RB.data(), m, n, p, R.data());
    for (i64 i = 0; i < m; ++i)
        for (i64 j = 0; j < p; ++j) {
            c128 s = {0.0, 0.0};
            for (i64 k = 0; k < n; ++k) {
                const c128 t = cmul(RA[i * n + k], RB[k * p + j]);
                s = c128{s.re + t.re, s.im + t.im};
            }
            want[i * p + j] = s;
        }
    EXPECT_TRUE(SameBits(R, want));
}

TEST(ComplexMatmul, EmptyShapes) {
    CVec out(4, kSentinel);
    c128_matmul(nullptr, nullptr, 0, 2, 2, out.data());
    c128_matmul(nullptr, nullptr, 2, 2, 0, out.data());
    EXPECT_TRUE(all_sentinel(out));
    c128_matmul(nullptr, nullptr, 2, 0, 2, out.data());
    for (const c128& z : out) {
        EXPECT_EQ(z.re, 0.0);
        EXPECT_EQ(z.im, 0.0);
        EXPECT_FALSE(std::signbit(z.re) || std::signbit(z.im));
    }
}

// ---- LU edge cases -----------------------------------------------------------

TEST(ComplexLU, InterchangeAtFirstStep) {
    CVec A = {{0, 0}, {1, 0}, {0, 1}, {0, 0}};
    IVec piv(2, kISentinel);
    ASSERT_EQ(c128_lu_factor_inplace(A.data(), piv.data(), 2), 0);
    EXPECT_EQ(piv, (IVec{1, 1}));
    // Rows swapped; multiplier 0 / i = 0; U = {{i, 0}, {0, 1}}.
    EXPECT_TRUE(SameBits(A[0], c128{0.0, 1.0}));
    EXPECT_TRUE(SameBits(A[3], c128{1.0, 0.0}));
    EXPECT_EQ(A[2].re, 0.0);
    EXPECT_EQ(A[2].im, 0.0);
}

TEST(ComplexLU, TopmostRowWinsTies) {
    CVec A = {{1, 0}, {1, 0}, {0, 1}, {2, 0}};  // |1|^2 = |i|^2
    IVec piv(2, kISentinel);
    ASSERT_EQ(c128_lu_factor_inplace(A.data(), piv.data(), 2), 0);
    EXPECT_EQ(piv[0], 0);
    CVec B = {{1, 0}, {0, 1}, {0, 3}, {2, 0}};  // |3i|^2 > |1|^2: strictly larger wins
    ASSERT_EQ(c128_lu_factor_inplace(B.data(), piv.data(), 2), 0);
    EXPECT_EQ(piv[0], 1);
}

TEST(ComplexLU, UnderflowingPivotCountsAsSingular) {
    // Every entry of column 0 has modulus 1e-163: squared moduli underflow to 0.
    CVec A = {{1e-163, 0}, {1, 0}, {0, 1e-163}, {2, 0}};
    IVec piv(2, kISentinel);
    EXPECT_EQ(c128_lu_factor_inplace(A.data(), piv.data(), 2), -2);
    EXPECT_EQ(piv[0], 0);
    EXPECT_EQ(piv[1], kISentinel);
    const c128 one_tiny = {1e-163, 1e-163};
    c128_lu lu = c128_lu_factor(&one_tiny, 1);
    EXPECT_EQ(lu.err, -2);
    c128_lu_free(&lu);
    // Just above the threshold the pivot is used, however small.
    const c128 small = {1e-161, 0.0}, rhs = {1.0, 0.0};
    c128 x = kSentinel;
    ASSERT_EQ(c128_solve(&small, &rhs, 1, 1, &x), 0);
    EXPECT_DOUBLE_EQ(x.re, 1e161);
    EXPECT_EQ(x.im, 0.0);
    // Exactly zero is singular too.
    const c128 zero = {0.0, 0.0};
    c128 untouched = kSentinel;
    EXPECT_EQ(c128_solve(&zero, &rhs, 1, 1, &untouched), -2);
    EXPECT_TRUE(SameBits(untouched, kSentinel));
}

TEST(ComplexLU, SingularAfterElimination) {
    CVec A = {{1, 1}, {2, 0}, {2, 2}, {4, 0}};  // row 1 = 2 * row 0
    IVec piv(2, kISentinel);
    EXPECT_EQ(c128_lu_factor_inplace(A.data(), piv.data(), 2), -2);
    EXPECT_EQ(piv, (IVec{1, 1}));
}

TEST(ComplexInv, PureImaginaryOneByOne) {
    const c128 a = {0.0, 2.0};
    c128 inv = kSentinel;
    ASSERT_EQ(c128_inv(&a, 1, &inv), 0);
    EXPECT_TRUE(SameBits(inv, c128{0.0, -0.5}));
}

TEST(ComplexInv, DiagonalExactWithPositiveZeros) {
    // The identity is built from (1, 0) and (+0, +0), so the zeros of the
    // inverse of a diagonal matrix come out as +0.0.
    CVec A = {{2, 0}, {0, 0}, {0, 0}, {4, 0}}, Ainv(4, kSentinel);
    ASSERT_EQ(c128_inv(A.data(), 2, Ainv.data()), 0);
    EXPECT_TRUE(SameBits(Ainv, CVec{{0.5, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.25, 0.0}}));
}

TEST(ComplexInv, EqualsSolveAgainstExplicitIdentity) {
    std::mt19937_64 rng(99);
    const i64 n = 6;
    CVec A = random_well_conditioned(rng, n), I(n * n, c128{0.0, 0.0}), X(n * n), Ainv(n * n);
    for (i64 i = 0; i < n; ++i) I[i * n + i] = c128{1.0, 0.0};
    ASSERT_EQ(c128_solve(A.data(), I.data(), n, n, X.data()), 0);
    ASSERT_EQ(c128_inv(A.data(), n, Ainv.data()), 0);
    EXPECT_TRUE(SameBits(Ainv, X));
}

TEST(ComplexInv, SingularLeavesOutput) {
    CVec A = {{1, 0}, {2, 0}, {2, 0}, {4, 0}}, Ainv(4, kSentinel);
    EXPECT_EQ(c128_inv(A.data(), 2, Ainv.data()), -2);
    EXPECT_TRUE(all_sentinel(Ainv));
}

// ---- bad arguments -----------------------------------------------------------

class ComplexBadOrder : public ::testing::TestWithParam<i64> {};

TEST_P(ComplexBadOrder, NonPositiveOrderRejected) {
    const i64 n = GetParam();
    CVec A(4, c128{1.0, 0.0}), B(4, c128{1.0, 0.0}), out(4, kSentinel);
    IVec piv(2, kISentinel);
    EXPECT_EQ(c128_lu_factor_inplace(A.data(), piv.data(), n), -1);
    EXPECT_TRUE(all_isentinel(piv));
    c128_lu lu = c128_lu_factor(A.data(), n);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, n);
    EXPECT_EQ(lu.err, -1);
    c128_lu_free(&lu);
    EXPECT_EQ(lu.n, 0);
    EXPECT_EQ(c128_solve(A.data(), B.data(), n, 1, out.data()), -1);
    EXPECT_EQ(c128_inv(A.data(), n, out.data()), -1);
    EXPECT_TRUE(all_sentinel(out));
}

INSTANTIATE_TEST_SUITE_P(Orders, ComplexBadOrder, ::testing::Values(0, -1, -4));

TEST(ComplexBadArgs, NullPointers) {
    CVec A = {{2, 0}, {1, 0}, {1, 0}, {3, 0}}, B = {{1, 0}, {2, 0}}, X(2, kSentinel), Ainv(4, kSentinel);
    const CVec A_copy = A;
    IVec piv(2, kISentinel);
    EXPECT_EQ(c128_lu_factor_inplace(nullptr, piv.data(), 2), -1);
    EXPECT_TRUE(all_isentinel(piv));
    EXPECT_EQ(c128_lu_factor_inplace(A.data(), nullptr, 2), -1);
    EXPECT_TRUE(SameBits(A, A_copy));
    c128_lu lu = c128_lu_factor(nullptr, 2);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.n, 2);
    EXPECT_EQ(lu.err, -1);
    c128_lu_free(&lu);
    EXPECT_EQ(c128_solve(nullptr, B.data(), 2, 1, X.data()), -1);
    EXPECT_EQ(c128_solve(A.data(), nullptr, 2, 1, X.data()), -1);
    EXPECT_EQ(c128_solve(A.data(), B.data(), 2, 1, nullptr), -1);
    EXPECT_TRUE(all_sentinel(X));
    EXPECT_EQ(c128_inv(nullptr, 2, Ainv.data()), -1);
    EXPECT_EQ(c128_inv(A.data(), 2, nullptr), -1);
    EXPECT_TRUE(all_sentinel(Ainv));
}

TEST(ComplexBadArgs, UnsizableOrderIsAnAllocationFailure) {
    const i64 huge = i64{1} << 31;
    CVec A(1, c128{1.0, 0.0}), B(1, c128{1.0, 0.0}), out(1, kSentinel);
    c128_lu lu = c128_lu_factor(A.data(), huge);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.n, huge);
    EXPECT_EQ(lu.err, -1);
    EXPECT_EQ(c128_solve(A.data(), B.data(), huge, 1, out.data()), -1);
    EXPECT_EQ(c128_inv(A.data(), huge, out.data()), -1);
    EXPECT_TRUE(all_sentinel(out));
}

// ---- lifecycle ---------------------------------------------------------------

TEST(ComplexLifecycle, FreeTwiceAndOnFailures) {
    CVec A = {{1, 0}, {2, 0}, {3, 0}, {4, 0}};
    const CVec A_copy = A;
    c128_lu ok = c128_lu_factor(A.data(), 2);
    ASSERT_EQ(ok.err, 0);
    EXPECT_NE(ok.lu, nullptr);
    EXPECT_NE(ok.piv, nullptr);
    EXPECT_EQ(ok.n, 2);
    EXPECT_TRUE(SameBits(A, A_copy));  // private copy
    c128_lu_free(&ok);
    EXPECT_EQ(ok.lu, nullptr);
    EXPECT_EQ(ok.piv, nullptr);
    EXPECT_EQ(ok.n, 0);
    EXPECT_EQ(ok.err, 0);
    c128_lu_free(&ok);
    c128_lu_free(nullptr);

    CVec S = {{1, 0}, {2, 0}, {2, 0}, {4, 0}};
    c128_lu singular = c128_lu_factor(S.data(), 2);
    EXPECT_EQ(singular.err, -2);
    EXPECT_NE(singular.lu, nullptr);  // owned even when singular
    EXPECT_NE(singular.piv, nullptr);
    c128_lu_free(&singular);
    c128_lu_free(&singular);

    c128_lu failed = c128_lu_factor(nullptr, 3);
    c128_lu_free(&failed);
    c128_lu_free(&failed);
    EXPECT_EQ(failed.n, 0);
}

TEST(ComplexSolve, EmptyDoesNothing) {
    CVec X(2, kSentinel);
    c128_lu_solve(nullptr, nullptr, nullptr, X.data(), 0, 2);
    c128_lu_solve(nullptr, nullptr, nullptr, X.data(), 2, 0);
    EXPECT_TRUE(all_sentinel(X));
}

// ---- randomised ----------------------------------------------------------------

class ComplexRandom : public ::testing::TestWithParam<i64> {};

TEST_P(ComplexRandom, BitExactAgainstReference) {
    const i64 n = GetParam(), m = 3;
    std::mt19937_64 rng(700 + static_cast<uint64_t>(n));
    CVec A = random_cvec(rng, n * n), B = random_cvec(rng, n * m);
    CVec want_LU = A;
    IVec want_piv(static_cast<size_t>(n));
    ASSERT_EQ(ref_factor(want_LU, want_piv, n), 0);
    c128_lu lu = c128_lu_factor(A.data(), n);
    ASSERT_EQ(lu.err, 0);
    EXPECT_TRUE(SameBits(CVec(lu.lu, lu.lu + n * n), want_LU));
    EXPECT_EQ(IVec(lu.piv, lu.piv + n), want_piv);
    CVec X(n * m, kSentinel);
    c128_lu_solve(lu.lu, lu.piv, B.data(), X.data(), n, m);
    EXPECT_TRUE(SameBits(X, ref_solve(want_LU, want_piv, B, n, m)));
    c128_lu_free(&lu);
}

TEST_P(ComplexRandom, SeveralRightHandSidesEqualSeparateSolves) {
    const i64 n = GetParam(), m = 3;
    std::mt19937_64 rng(800 + static_cast<uint64_t>(n));
    CVec A = random_well_conditioned(rng, n), B = random_cvec(rng, n * m), X(n * m);
    ASSERT_EQ(c128_solve(A.data(), B.data(), n, m, X.data()), 0);
    for (i64 j = 0; j < m; ++j) {
        CVec b(n), x(n);
        for (i64 i = 0; i < n; ++i) b[i] = B[i * m + j];
        ASSERT_EQ(c128_solve(A.data(), b.data(), n, 1, x.data()), 0);
        for (i64 i = 0; i < n; ++i) EXPECT_TRUE(SameBits(X[i * m + j], x[i])) << i << "," << j;
    }
    CVec AX(n * m);
    c128_matmul(A.data(), X.data(), n, n, m, AX.data());
    for (i64 i = 0; i < n * m; ++i) {
        EXPECT_NEAR(AX[i].re, B[i].re, 1e-12) << i;
        EXPECT_NEAR(AX[i].im, B[i].im, 1e-12) << i;
    }
}

TEST_P(ComplexRandom, InverseTimesMatrixIsIdentity) {
    const i64 n = GetParam();
    std::mt19937_64 rng(900 + static_cast<uint64_t>(n));
    CVec A = random_well_conditioned(rng, n), Ainv(n * n, kSentinel), P(n * n);
    ASSERT_EQ(c128_inv(A.data(), n, Ainv.data()), 0);
    c128_matmul(Ainv.data(), A.data(), n, n, n, P.data());
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) {
            EXPECT_NEAR(P[i * n + j].re, i == j ? 1.0 : 0.0, 1e-13) << i << "," << j;
            EXPECT_NEAR(P[i * n + j].im, 0.0, 1e-13) << i << "," << j;
        }
}

TEST_P(ComplexRandom, RealMatrixAgreesWithRealSolve) {
    const i64 n = GetParam();
    std::mt19937_64 rng(1000 + static_cast<uint64_t>(n));
    std::uniform_real_distribution<f64> dist(-1.0, 1.0);
    std::vector<f64> A(n * n), B(n);
    for (f64& x : A) x = dist(rng);
    for (i64 i = 0; i < n; ++i) A[i * n + i] += 2.0 * static_cast<f64>(n);
    for (f64& x : B) x = dist(rng);
    CVec CA(n * n), CB(n), CX(n);
    for (i64 i = 0; i < n * n; ++i) CA[i] = c128_make(A[i], 0.0);
    for (i64 i = 0; i < n; ++i) CB[i] = c128_make(B[i], 0.0);
    std::vector<f64> X(n);
    ASSERT_EQ(ksx_solve(A.data(), B.data(), n, 1, X.data()), 0);
    ASSERT_EQ(c128_solve(CA.data(), CB.data(), n, 1, CX.data()), 0);
    for (i64 i = 0; i < n; ++i) {
        EXPECT_NEAR(CX[i].re, X[i], 1e-14) << i;
        EXPECT_EQ(CX[i].im, 0.0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, ComplexRandom, ::testing::Values(1, 2, 3, 5, 8, 16));

}  // namespace
