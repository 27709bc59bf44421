// Tests of the numeric core: vector and matrix primitives, Cholesky
// factorisation and normal equations.
//
// Results of the core are fixed to the last bit by the order of operations,
// so besides the documented edge cases every operation is compared bit for
// bit with a plain reference written here from the text: one std::fma chain
// per output, terms in increasing index order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ksx_linalg.h"

namespace {

using Vec = std::vector<f64>;

const f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
const f64 kInf = std::numeric_limits<f64>::infinity();
const f64 kEps = 2.220446049250313e-16;  // 2^-52
// A value no operation produces on its own; marks elements that must stay unwritten.
const f64 kSentinel = -12345.678;

uint64_t bits_of(f64 x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// Bit-for-bit equality of two arrays (NaN payloads and signed zeros included).
::testing::AssertionResult SameBits(const Vec& got, const Vec& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
    for (size_t i = 0; i < got.size(); ++i) {
        if (bits_of(got[i]) != bits_of(want[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": got " << got[i] << " (0x" << std::hex << bits_of(got[i])
                   << ") want " << want[i] << " (0x" << bits_of(want[i]) << std::dec << ")";
    }
    return ::testing::AssertionSuccess();
}

bool all_sentinel(const Vec& v) {
    for (f64 x : v)
        if (bits_of(x) != bits_of(kSentinel)) return false;
    return true;
}

bool is_pos_zero(f64 x) { return x == 0.0 && !std::signbit(x); }

Vec random_vec(std::mt19937_64& rng, size_t count, f64 lo = -2.0, f64 hi = 2.0) {
    std::uniform_real_distribution<f64> dist(lo, hi);
    Vec v(count);
    for (f64& x : v) x = dist(rng);
    return v;
}

// Symmetric positive definite p x p: X^T X / n + I from a random n x p X,
// with garbage in the strict upper triangle (ksx_chol must not read it) when
// asked.
Vec random_spd(std::mt19937_64& rng, i64 p, bool poison_upper) {
    const i64 n = p + 5;
    Vec X = random_vec(rng, static_cast<size_t>(n * p));
    Vec S(static_cast<size_t>(p * p), 0.0);
    for (i64 a = 0; a < p; ++a)
        for (i64 b = 0; b < p; ++b) {
            f64 s = 0.0;
            for (i64 r = 0; r < n; ++r) s += X[r * p + a] * X[r * p + b];
            S[a * p + b] = s / static_cast<f64>(n) + (a == b ? 1.0 : 0.0);
        }
    if (poison_upper)
        for (i64 a = 0; a < p; ++a)
            for (i64 b = a + 1; b < p; ++b) S[a * p + b] = 1e300;
    return S;
}

// ---- references written from the text ------------------------------------

Vec ref_matmul(const Vec& A, const Vec& B, i64 n, i64 p, i64 m) {
    Vec out(static_cast<size_t>(n * m));
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < m; ++j) {
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(A[i * p + k], B[k * m + j], s);
            out[i * m + j] = s;
        }
    return out;
}

// Each output element computed on its own, summing over rows i ascending.
Vec ref_matmul_atb(const Vec& A, const Vec& B, i64 n, i64 p, i64 m) {
    Vec out(static_cast<size_t>(p * m));
    for (i64 k = 0; k < p; ++k)
        for (i64 j = 0; j < m; ++j) {
            f64 s = 0.0;
            for (i64 i = 0; i < n; ++i) s = std::fma(A[i * p + k], B[i * m + j], s);
            out[k * m + j] = s;
        }
    return out;
}

Vec ref_matmul_abt(const Vec& A, const Vec& B, i64 n, i64 p, i64 m) {
    Vec out(static_cast<size_t>(n * m));
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < m; ++j) {
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(A[i * p + k], B[j * p + k], s);
            out[i * m + j] = s;
        }
    return out;
}

Vec ref_chol(const Vec& S, i64 n, int* status) {
    Vec L(static_cast<size_t>(n * n), 0.0);
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i)
        if (S[i * n + i] > scale) scale = S[i * n + i];
    const f64 tol = static_cast<f64>(n) * scale * kEps;
    *status = 0;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j <= i; ++j) {
            f64 s = S[i * n + j];
            for (i64 k = 0; k < j; ++k) s = std::fma(-L[i * n + k], L[j * n + k], s);
            if (i == j) {
                if (s <= tol) {
                    *status = -1;
                    return L;
                }
                L[i * n + i] = std::sqrt(s);
            } else {
                L[i * n + j] = s / L[j * n + j];
            }
        }
    return L;
}

Vec ref_forward(const Vec& L, const Vec& b, i64 n) {
    Vec out(static_cast<size_t>(n));
    for (i64 i = 0; i < n; ++i) {
        f64 s = 0.0;
        for (i64 j = 0; j < i; ++j) s = std::fma(out[j], L[i * n + j], s);
        out[i] = (b[i] - s) / L[i * n + i];
    }
    return out;
}

Vec ref_backward_t(const Vec& L, const Vec& b, i64 n) {
    Vec out(static_cast<size_t>(n));
    for (i64 i = n - 1; i >= 0; --i) {
        f64 s = 0.0;
        for (i64 j = i + 1; j < n; ++j) s = std::fma(L[j * n + i], out[j], s);
        out[i] = (b[i] - s) / L[i * n + i];
    }
    return out;
}

// Values for which a fused step and a separately rounded one differ:
// kFuseA * kFuseA = 1 + 2^-29 + 2^-60 exactly; rounded it loses the 2^-60.
const f64 kFuseA = 1.0 + 0x1p-30;
const f64 kFuseNeg = -(1.0 + 0x1p-29);

// ==========================================================================
// Vector and matrix primitives
// ==========================================================================

TEST(LinalgCommon, MinMaxHelpers) {
    EXPECT_EQ(min_i64(3, -4), -4);
    EXPECT_EQ(max_i64(3, -4), 3);
    EXPECT_EQ(min_f64(1.5, 2.5), 1.5);
    EXPECT_EQ(max_f64(1.5, 2.5), 2.5);
}

TEST(LinalgZeroMat, WritesPositiveZeros) {
    Vec out(7, kSentinel);
    ksx_zero_mat(out.data(), 2, 3);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(is_pos_zero(out[i])) << i;
    EXPECT_EQ(out[6], kSentinel);  // one past the block
}

TEST(LinalgZeroMat, EmptyWritesNothing) {
    Vec out(4, kSentinel);
    ksx_zero_mat(out.data(), 0, 4);
    ksx_zero_mat(out.data(), 4, 0);
    ksx_zero_mat(out.data(), 0, 0);
    EXPECT_TRUE(all_sentinel(out));
}

TEST(LinalgSymInplace, TwoByTwo) {
    Vec P = {1, 2, 4, 5};
    ksx_sym_inplace(P.data(), 2);
    EXPECT_TRUE(SameBits(P, {1, 3, 3, 5}));
}

TEST(LinalgSymInplace, TinyAndEmptyUnchanged) {
    Vec P = {7.0};
    ksx_sym_inplace(P.data(), 1);
    EXPECT_EQ(P[0], 7.0);
    Vec Q = {kSentinel};
    ksx_sym_inplace(Q.data(), 0);
    EXPECT_TRUE(all_sentinel(Q));
}

TEST(LinalgSymInplace, FormulaAndDiagonalUntouched) {
    // (a + b) * 0.5, not a*0.5 + b*0.5: overflows for two huge values.
    Vec P = {kNaN, DBL_MAX, 0.0, DBL_MAX, -0.0, 1.0, 2.0, 3.0, 5.0};
    ksx_sym_inplace(P.data(), 3);
    EXPECT_TRUE(std::isnan(P[0]));
    EXPECT_TRUE(std::signbit(P[4]));  // diagonal -0.0 kept
    EXPECT_EQ(P[1], kInf);
    EXPECT_EQ(P[3], kInf);
    EXPECT_EQ(P[2], 1.0);
    EXPECT_EQ(P[6], 1.0);
    EXPECT_EQ(P[5], 2.0);
    EXPECT_EQ(P[7], 2.0);
    EXPECT_EQ(P[8], 5.0);
}

TEST(LinalgMatmul, SmallProduct) {
    Vec A = {1, 2, 3, 4, 5, 6};         // 2 x 3
    Vec B = {7, 8, 9, 10, 11, 12};      // 3 x 2
    Vec out(4, kSentinel);
    ksx_matmul(A.data(), B.data(), out.data(), 2, 3, 2);
    EXPECT_TRUE(SameBits(out, {58, 64, 139, 154}));
}

TEST(LinalgMatmul, EmptyInnerGivesZerosEmptyOuterWritesNothing) {
    Vec out(6, kSentinel);
    ksx_matmul(nullptr, nullptr, out.data(), 2, 0, 3);
    for (f64 x : out) EXPECT_TRUE(is_pos_zero(x));
    Vec none(6, kSentinel);
    Vec A = {1, 2}, B = {3, 4};
    ksx_matmul(A.data(), B.data(), none.data(), 2, 1, 0);
    ksx_matmul(A.data(), B.data(), none.data(), 0, 1, 2);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgMatmul, FusedAndOrdered) {
    // Row (kFuseNeg, kFuseA) . column (1, kFuseA): the fused second step keeps
    // 2^-60 that a separately rounded product would lose.
    Vec A = {kFuseNeg, kFuseA}, B = {1.0, kFuseA};
    Vec out(1);
    ksx_matmul(A.data(), B.data(), out.data(), 1, 2, 1);
    EXPECT_EQ(out[0], 0x1p-60);
    // Terms in increasing k: ((1 + 1e16) - 1e16) = 0, reversed it would be 1.
    Vec A2 = {1.0, 1e16, -1e16}, B2 = {1.0, 1.0, 1.0};
    ksx_matmul(A2.data(), B2.data(), out.data(), 1, 3, 1);
    EXPECT_EQ(out[0], 0.0);
}

TEST(LinalgMatmulAtb, EmptyRowsStillClears) {
    Vec out(6, kSentinel);
    ksx_matmul_atb(nullptr, nullptr, out.data(), 0, 2, 3);
    for (f64 x : out) EXPECT_TRUE(is_pos_zero(x));
}

TEST(LinalgMatmulAtb, EmptyResultWritesNothing) {
    Vec A = {1, 2}, B = {3, 4};
    Vec out(4, kSentinel);
    ksx_matmul_atb(A.data(), B.data(), out.data(), 2, 0, 1);
    ksx_matmul_atb(A.data(), B.data(), out.data(), 2, 1, 0);
    EXPECT_TRUE(all_sentinel(out));
}

TEST(LinalgMatmulAtb, SmallProductAndFusedOrder) {
    Vec A = {1, 2, 3, 4, 5, 6};  // 3 x 2
    Vec B = {1, 0, 1, 1, 0, 1};  // 3 x 2
    Vec out(4);
    ksx_matmul_atb(A.data(), B.data(), out.data(), 3, 2, 2);
    EXPECT_TRUE(SameBits(out, {4, 8, 6, 10}));
    Vec A2 = {kFuseNeg, kFuseA}, B2 = {1.0, kFuseA};  // 2 x 1 each
    Vec o1(1);
    ksx_matmul_atb(A2.data(), B2.data(), o1.data(), 2, 1, 1);
    EXPECT_EQ(o1[0], 0x1p-60);
}

TEST(LinalgMatmulAbt, SmallProductAndEmpty) {
    Vec A = {1, 2, 3, 4};  // 2 x 2
    Vec B = {5, 6, 7, 8};  // 2 x 2
    Vec out(4);
    ksx_matmul_abt(A.data(), B.data(), out.data(), 2, 2, 2);
    EXPECT_TRUE(SameBits(out, {17, 23, 39, 53}));
    Vec zeros(4, kSentinel);
    ksx_matmul_abt(nullptr, nullptr, zeros.data(), 2, 0, 2);
    for (f64 x : zeros) EXPECT_TRUE(is_pos_zero(x));
    Vec none(4, kSentinel);
    ksx_matmul_abt(A.data(), B.data(), none.data(), 0, 2, 2);
    ksx_matmul_abt(A.data(), B.data(), none.data(), 2, 2, 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgMatmulAbtPlusC, EmptyInnerCopiesC) {
    Vec C = {1.5, -0.0, kNaN, 4.0};
    Vec out(4, kSentinel);
    ksx_matmul_abt_plus_c(nullptr, nullptr, C.data(), out.data(), 2, 0, 2);
    // -0.0 + (+0.0) = +0.0: C is added to a sum that started from +0.0.
    EXPECT_EQ(out[0], 1.5);
    EXPECT_TRUE(is_pos_zero(out[1]));
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_EQ(out[3], 4.0);
    Vec none(4, kSentinel);
    ksx_matmul_abt_plus_c(nullptr, nullptr, C.data(), none.data(), 0, 0, 2);
    ksx_matmul_abt_plus_c(nullptr, nullptr, C.data(), none.data(), 2, 0, 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgMatmulAbtPlusC, CAddedAfterTheSum) {
    // The product is rounded (sum from +0.0) before C is added: 0, whereas a
    // chain starting from C (ksx_matvec_plus_vec) keeps 2^-60.
    Vec A = {kFuseA}, B = {kFuseA}, C = {kFuseNeg};
    Vec out(1);
    ksx_matmul_abt_plus_c(A.data(), B.data(), C.data(), out.data(), 1, 1, 1);
    EXPECT_EQ(out[0], 0.0);
    ksx_matvec_plus_vec(A.data(), B.data(), C.data(), out.data(), 1, 1);
    EXPECT_EQ(out[0], 0x1p-60);
}

TEST(LinalgMatvec, SmallAndEmpty) {
    Vec A = {1, 2, 3, 4, 5, 6};  // 2 x 3
    Vec x = {1, -1, 2};
    Vec out(2);
    ksx_matvec(A.data(), x.data(), out.data(), 2, 3);
    EXPECT_TRUE(SameBits(out, {5, 11}));
    Vec zeros(3, kSentinel);
    ksx_matvec(nullptr, nullptr, zeros.data(), 3, 0);
    for (f64 v : zeros) EXPECT_TRUE(is_pos_zero(v));
    Vec none(2, kSentinel);
    ksx_matvec(A.data(), x.data(), none.data(), 0, 3);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgMatvecPlusVec, EmptyColumnsCopiesB) {
    Vec b = {1.0, -0.0, kInf};
    Vec out(3, kSentinel);
    ksx_matvec_plus_vec(nullptr, nullptr, b.data(), out.data(), 3, 0);
    EXPECT_TRUE(SameBits(out, b));  // start value b, so -0.0 survives
    Vec none(2, kSentinel);
    ksx_matvec_plus_vec(nullptr, nullptr, b.data(), none.data(), 0, 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgMatvecPlusVec, Small) {
    Vec A = {1, 2, 3, 4};
    Vec x = {1, 1}, b = {10, 20};
    Vec out(2);
    ksx_matvec_plus_vec(A.data(), x.data(), b.data(), out.data(), 2, 2);
    EXPECT_TRUE(SameBits(out, {13, 27}));
}

TEST(LinalgVsub, OutOfPlaceAndInPlace) {
    Vec a = {5, 7, 9}, b = {1, 2, 3};
    Vec out(3);
    ksx_vsub(a.data(), b.data(), out.data(), 3);
    EXPECT_TRUE(SameBits(out, {4, 5, 6}));
    Vec a2 = a;
    ksx_vsub(a2.data(), b.data(), a2.data(), 3);
    EXPECT_TRUE(SameBits(a2, {4, 5, 6}));
    Vec b2 = b;
    ksx_vsub(a.data(), b2.data(), b2.data(), 3);
    EXPECT_TRUE(SameBits(b2, {4, 5, 6}));
    Vec none(1, kSentinel);
    ksx_vsub(a.data(), b.data(), none.data(), 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgDot, EmptyFusedOrderedNaN) {
    EXPECT_TRUE(is_pos_zero(ksx_dot(nullptr, nullptr, 0)));
    Vec a = {kFuseNeg, kFuseA}, b = {1.0, kFuseA};
    EXPECT_EQ(ksx_dot(a.data(), b.data(), 2), 0x1p-60);
    Vec c = {1.0, 1e16, -1e16}, ones = {1.0, 1.0, 1.0};
    EXPECT_EQ(ksx_dot(c.data(), ones.data(), 3), 0.0);
    Vec d = {1.0, kNaN, 1.0};
    EXPECT_TRUE(std::isnan(ksx_dot(d.data(), ones.data(), 3)));
    // All products -0.0: a sum from +0.0 stays +0.0.
    Vec z = {-0.0, -0.0};
    Vec pos = {1.0, 1.0};
    EXPECT_TRUE(is_pos_zero(ksx_dot(z.data(), pos.data(), 2)));
}

TEST(LinalgNaN, PropagatesThroughProducts) {
    Vec A = {1, kNaN, 3, 4};  // NaN in row 0
    Vec B = {1, 0, 0, 1};
    Vec out(4);
    ksx_matmul(A.data(), B.data(), out.data(), 2, 2, 2);
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_TRUE(std::isnan(out[1]));  // NaN * 0 is NaN
    EXPECT_EQ(out[2], 3.0);
    EXPECT_EQ(out[3], 4.0);
    ksx_matmul_atb(A.data(), B.data(), out.data(), 2, 2, 2);
    EXPECT_FALSE(std::isnan(out[0]));
    EXPECT_TRUE(std::isnan(out[2]));  // column 1 of A
    EXPECT_TRUE(std::isnan(out[3]));
    Vec G(4);
    ksx_gram(A.data(), G.data(), 2, 2);
    EXPECT_TRUE(std::isnan(G[1]));
    EXPECT_TRUE(std::isnan(G[2]));
    EXPECT_TRUE(std::isnan(G[3]));
    EXPECT_EQ(G[0], 10.0);
}

// ---- sorting and the median -----------------------------------------------

TEST(LinalgSort, AscendingWithSignedZeros) {
    Vec v = {3.0, -1.0, 0.0, -0.0, kInf, -kInf, 2.5, -1.0};
    ksx_sort_f64(v.data(), static_cast<i64>(v.size()));
    for (size_t i = 1; i < v.size(); ++i) EXPECT_LE(v[i - 1], v[i]) << i;
    EXPECT_EQ(v.front(), -kInf);
    EXPECT_EQ(v.back(), kInf);
}

TEST(LinalgSort, ShortArraysUntouched) {
    Vec v = {kSentinel};
    ksx_sort_f64(v.data(), 0);
    ksx_sort_f64(v.data(), 1);
    EXPECT_TRUE(all_sentinel(v));
}

TEST(LinalgSort, NaNTerminatesWithinBounds) {
    // The comparison is inconsistent with NaN; the sort must still finish,
    // stay inside the array and keep the multiset of values.
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        const size_t n = 1 + static_cast<size_t>(rng() % 200);
        Vec buf(n + 2, kSentinel);
        Vec vals = random_vec(rng, n, -10.0, 10.0);
        size_t nan_count = 0;
        for (f64& x : vals)
            if (rng() % 4 == 0) {
                x = kNaN;
                ++nan_count;
            }
        std::copy(vals.begin(), vals.end(), buf.begin() + 1);
        ksx_sort_f64(buf.data() + 1, static_cast<i64>(n));
        EXPECT_EQ(bits_of(buf.front()), bits_of(kSentinel));
        EXPECT_EQ(bits_of(buf.back()), bits_of(kSentinel));
        Vec got_finite, want_finite;
        size_t got_nan = 0;
        for (size_t i = 1; i <= n; ++i) {
            if (std::isnan(buf[i])) ++got_nan;
            else got_finite.push_back(buf[i]);
        }
        for (f64 x : vals)
            if (!std::isnan(x)) want_finite.push_back(x);
        std::sort(got_finite.begin(), got_finite.end());
        std::sort(want_finite.begin(), want_finite.end());
        EXPECT_EQ(got_nan, nan_count);
        EXPECT_TRUE(SameBits(got_finite, want_finite));
        (void)ksx_median_f64(buf.data() + 1, static_cast<i64>(n));  // also finishes
    }
}

TEST(LinalgSort, RandomMatchesStdSort) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        const size_t n = static_cast<size_t>(rng() % 300);
        Vec v = random_vec(rng, n, -1e6, 1e6);
        Vec want = v;
        std::sort(want.begin(), want.end());
        ksx_sort_f64(v.data(), static_cast<i64>(n));
        EXPECT_TRUE(SameBits(v, want));
    }
}

struct MedianCase {
    Vec input;
    f64 median;
    Vec sorted;
};

class LinalgMedian : public ::testing::TestWithParam<MedianCase> {};

TEST_P(LinalgMedian, ValueAndSortedSideEffect) {
    MedianCase c = GetParam();
    Vec arr = c.input;
    EXPECT_EQ(ksx_median_f64(arr.data(), static_cast<i64>(arr.size())), c.median);
    EXPECT_TRUE(SameBits(arr, c.sorted));
}

INSTANTIATE_TEST_SUITE_P(
    Documented, LinalgMedian,
    ::testing::Values(MedianCase{{3, 1, 2}, 2.0, {1, 2, 3}},
                      MedianCase{{4, 1, 3, 2}, 2.5, {1, 2, 3, 4}},
                      MedianCase{{42.0}, 42.0, {42.0}},
                      MedianCase{{-5.0, 7.0}, 1.0, {-5.0, 7.0}},
                      // (arr[h] + arr[h-1]) * 0.5 overflows for two huge values
                      MedianCase{{DBL_MAX, DBL_MAX}, kInf, {DBL_MAX, DBL_MAX}}));

TEST(LinalgMedianEmpty, NaNAndArrayUntouched) {
    Vec v = {kSentinel};
    EXPECT_TRUE(std::isnan(ksx_median_f64(v.data(), 0)));
    EXPECT_TRUE(std::isnan(ksx_median_f64(nullptr, 0)));
    EXPECT_TRUE(all_sentinel(v));
}

// ---- randomised bit-exact comparison of the products ----------------------

struct Shape {
    i64 n, p, m;
};

class LinalgProductsRandom : public ::testing::TestWithParam<Shape> {};

TEST_P(LinalgProductsRandom, BitExactAgainstReference) {
    const Shape s = GetParam();
    std::mt19937_64 rng(1000 + static_cast<uint64_t>(s.n * 97 + s.p * 13 + s.m));
    {
        Vec A = random_vec(rng, static_cast<size_t>(s.n * s.p));
        Vec B = random_vec(rng, static_cast<size_t>(s.p * s.m));
        Vec out(static_cast<size_t>(s.n * s.m), kSentinel);
        ksx_matmul(A.data(), B.data(), out.data(), s.n, s.p, s.m);
        EXPECT_TRUE(SameBits(out, ref_matmul(A, B, s.n, s.p, s.m))) << "matmul";
    }
    {
        Vec A = random_vec(rng, static_cast<size_t>(s.n * s.p));
        Vec B = random_vec(rng, static_cast<size_t>(s.n * s.m));
        Vec out(static_cast<size_t>(s.p * s.m), kSentinel);
        ksx_matmul_atb(A.data(), B.data(), out.data(), s.n, s.p, s.m);
        EXPECT_TRUE(SameBits(out, ref_matmul_atb(A, B, s.n, s.p, s.m))) << "matmul_atb";
    }
    {
        Vec A = random_vec(rng, static_cast<size_t>(s.n * s.p));
        Vec B = random_vec(rng, static_cast<size_t>(s.m * s.p));
        Vec C = random_vec(rng, static_cast<size_t>(s.n * s.m));
        Vec out(static_cast<size_t>(s.n * s.m), kSentinel);
        ksx_matmul_abt(A.data(), B.data(), out.data(), s.n, s.p, s.m);
        Vec want = ref_matmul_abt(A, B, s.n, s.p, s.m);
        EXPECT_TRUE(SameBits(out, want)) << "matmul_abt";
        ksx_matmul_abt_plus_c(A.data(), B.data(), C.data(), out.data(), s.n, s.p, s.m);
        for (size_t i = 0; i < want.size(); ++i) want[i] = C[i] + want[i];
        EXPECT_TRUE(SameBits(out, want)) << "matmul_abt_plus_c";
    }
    {
        Vec A = random_vec(rng, static_cast<size_t>(s.n * s.p));
        Vec x = random_vec(rng, static_cast<size_t>(s.p));
        Vec b = random_vec(rng, static_cast<size_t>(s.n));
        Vec out(static_cast<size_t>(s.n), kSentinel), want(static_cast<size_t>(s.n));
        ksx_matvec(A.data(), x.data(), out.data(), s.n, s.p);
        for (i64 i = 0; i < s.n; ++i) {
            f64 acc = 0.0;
            for (i64 j = 0; j < s.p; ++j) acc = std::fma(A[i * s.p + j], x[j], acc);
            want[i] = acc;
        }
        EXPECT_TRUE(SameBits(out, want)) << "matvec";
        ksx_matvec_plus_vec(A.data(), x.data(), b.data(), out.data(), s.n, s.p);
        for (i64 i = 0; i < s.n; ++i) {
            f64 acc = b[i];
            for (i64 j = 0; j < s.p; ++j) acc = std::fma(A[i * s.p + j], x[j], acc);
            want[i] = acc;
        }
        EXPECT_TRUE(SameBits(out, want)) << "matvec_plus_vec";
        if (s.n > 0) {  // row 0 of A against x
            f64 d = 0.0;
            for (i64 j = 0; j < s.p; ++j) d = std::fma(A[j], x[j], d);
            EXPECT_EQ(bits_of(ksx_dot(A.data(), x.data(), s.p)), bits_of(d)) << "dot";
        }
    }
    {
        Vec X = random_vec(rng, static_cast<size_t>(s.n * s.p));
        Vec y = random_vec(rng, static_cast<size_t>(s.n));
        Vec G(static_cast<size_t>(s.p * s.p), kSentinel);
        ksx_gram(X.data(), G.data(), s.n, s.p);
        EXPECT_TRUE(SameBits(G, ref_matmul_atb(X, X, s.n, s.p, s.p))) << "gram";
        for (i64 a = 0; a < s.p; ++a)
            for (i64 b = 0; b < a; ++b) EXPECT_EQ(bits_of(G[a * s.p + b]), bits_of(G[b * s.p + a]));
        Vec g(static_cast<size_t>(s.p), kSentinel);
        ksx_gram_rhs(X.data(), y.data(), g.data(), s.n, s.p);
        EXPECT_TRUE(SameBits(g, ref_matmul_atb(X, y, s.n, s.p, 1))) << "gram_rhs";
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LinalgProductsRandom,
                         ::testing::Values(Shape{1, 1, 1}, Shape{3, 2, 4}, Shape{7, 5, 3},
                                           Shape{16, 8, 8}, Shape{33, 9, 13}, Shape{200, 17, 6},
                                           Shape{5, 0, 3}, Shape{0, 4, 3}, Shape{4, 3, 0}));

// ==========================================================================
// Cholesky factorisation and normal equations
// ==========================================================================

TEST(LinalgChol, IdentityAndDiagonal) {
    Vec L(9, kSentinel);
    Vec I = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(ksx_chol(I.data(), 0.0, L.data(), 3), 0);
    EXPECT_TRUE(SameBits(L, I));
    Vec D = {4, 0, 0, 9};
    Vec L2(4, kSentinel);
    EXPECT_EQ(ksx_chol(D.data(), 0.0, L2.data(), 2), 0);
    EXPECT_TRUE(SameBits(L2, {2, 0, 0, 3}));
}

TEST(LinalgChol, SingularFailsAndLeavesPartialFactor) {
    Vec S = {1, 1, 1, 1};
    Vec L(4, kSentinel);
    EXPECT_EQ(ksx_chol(S.data(), 0.0, L.data(), 2), -1);
    EXPECT_TRUE(SameBits(L, {1, 0, 1, 0}));
}

TEST(LinalgChol, JitterRescuesSingular) {
    Vec S = {1, 1, 1, 1};
    Vec L(4, kSentinel);
    ASSERT_EQ(ksx_chol(S.data(), 1e-6, L.data(), 2), 0);
    const f64 d = 1.0 + 1e-6;
    EXPECT_EQ(L[0], std::sqrt(d));
    EXPECT_EQ(L[2], 1.0 / std::sqrt(d));
    EXPECT_NEAR(L[3] * L[3], 2e-6, 1e-11);  // (1 + d) - 1 / (1 + d) = 2d - d^2 + ...
    EXPECT_TRUE(is_pos_zero(L[1]));
    // L L^T reproduces the jittered matrix.
    EXPECT_NEAR(L[2] * L[2] + L[3] * L[3], d, 1e-15);
}

TEST(LinalgChol, NonPositiveOrNaNJitterIgnored) {
    std::mt19937_64 rng(3);
    Vec S = random_spd(rng, 5, false);
    Vec want(25), got(25);
    ASSERT_EQ(ksx_chol(S.data(), 0.0, want.data(), 5), 0);
    for (f64 jitter : {-0.0, -1.0, -kInf, kNaN}) {
        ASSERT_EQ(ksx_chol(S.data(), jitter, got.data(), 5), 0) << jitter;
        EXPECT_TRUE(SameBits(got, want)) << jitter;
    }
    Vec singular = {1, 1, 1, 1};
    for (f64 jitter : {0.0, -1e-6, kNaN}) EXPECT_EQ(ksx_chol(singular.data(), jitter, got.data(), 2), -1);
}

TEST(LinalgChol, JitterEntersTheScale) {
    // diag(1, t) with jitter 1: scale = 1 + 1 = 2, tol = 2 * 2 * eps = 2^-50.
    // With t = -(1 - 2^-50) the second pivot t + 1 is exactly 2^-50: it fails,
    // although it would pass against the unjittered tolerance 2^-51.
    const f64 t = -(1.0 - 0x1p-50);
    Vec L(4);
    Vec at = {1.0, 0.0, 0.0, t};
    EXPECT_EQ(ksx_chol(at.data(), 1.0, L.data(), 2), -1);
    EXPECT_EQ(L[0], std::sqrt(2.0));
    Vec above = {1.0, 0.0, 0.0, std::nextafter(t, 0.0)};  // pivot 2^-50 + 2^-53
    EXPECT_EQ(ksx_chol(above.data(), 1.0, L.data(), 2), 0);
    EXPECT_EQ(L[3], std::sqrt(0x1p-50 + 0x1p-53));
}

TEST(LinalgChol, PivotEqualToToleranceFails) {
    // diag(1, t): scale 1, tol = 2 * 1 * 2^-52 = 2^-51.
    const f64 tol = 0x1p-51;
    Vec L(4, kSentinel);
    Vec at = {1.0, 0.0, 0.0, tol};
    EXPECT_EQ(ksx_chol(at.data(), 0.0, L.data(), 2), -1);
    EXPECT_TRUE(SameBits(L, {1, 0, 0, 0}));
    Vec above = {1.0, 0.0, 0.0, std::nextafter(tol, 1.0)};
    EXPECT_EQ(ksx_chol(above.data(), 0.0, L.data(), 2), 0);
    EXPECT_EQ(L[3], std::sqrt(std::nextafter(tol, 1.0)));
}

TEST(LinalgChol, NonPositiveDiagonalGivesZeroScale) {
    Vec L(4, kSentinel);
    Vec zeros = {0.0, 0.0, 0.0, 0.0};
    EXPECT_EQ(ksx_chol(zeros.data(), 0.0, L.data(), 2), -1);
    for (f64 x : L) EXPECT_TRUE(is_pos_zero(x));
    Vec neg = {-1.0, 0.0, 0.0, -2.0};
    EXPECT_EQ(ksx_chol(neg.data(), 0.0, L.data(), 2), -1);
    // Only positive diagonal elements raise the scale: here it is 1e-300, the
    // first pivot passes (tol = 2 * 1e-300 * eps) and the negative one fails.
    Vec tiny = {1e-300, 0.0, 0.0, -1.0};
    EXPECT_EQ(ksx_chol(tiny.data(), 0.0, L.data(), 2), -1);
    EXPECT_EQ(L[0], std::sqrt(1e-300));
}

TEST(LinalgChol, NaNPivotPasses) {
    Vec L(4);
    Vec diag_nan = {kNaN, 0.0, 0.0, 1.0};
    EXPECT_EQ(ksx_chol(diag_nan.data(), 0.0, L.data(), 2), 0);
    EXPECT_TRUE(std::isnan(L[0]));
    EXPECT_TRUE(std::isnan(L[2]));
    EXPECT_TRUE(std::isnan(L[3]));
    EXPECT_TRUE(is_pos_zero(L[1]));
    Vec lower_nan = {4.0, 0.0, kNaN, 9.0};
    EXPECT_EQ(ksx_chol(lower_nan.data(), 0.0, L.data(), 2), 0);
    EXPECT_EQ(L[0], 2.0);
    EXPECT_TRUE(std::isnan(L[2]));
    EXPECT_TRUE(std::isnan(L[3]));
}

TEST(LinalgChol, NaNDiagonalDoesNotPoisonScale) {
    // scale ignores the NaN and stays 0.0, so the first pivot 0.0 <= 0.0
    // fails; a NaN scale would make every comparison false and pass it.
    Vec S = {0.0, 0.0, 0.0, kNaN};
    Vec L(4);
    EXPECT_EQ(ksx_chol(S.data(), 0.0, L.data(), 2), -1);
    // A NaN jitter is no jitter: it does not poison the scale either.
    Vec one_zero = {1.0, 0.0, 0.0, 0.0};
    EXPECT_EQ(ksx_chol(one_zero.data(), kNaN, L.data(), 2), -1);
}

TEST(LinalgChol, FailingPivotBeforeNaNStillFails) {
    // Row 1 fails (1 - 1 = 0); the NaN in row 2 is never reached.
    Vec S = {1, 0, 0, 1, 1, 0, kNaN, kNaN, kNaN};
    Vec L(9);
    EXPECT_EQ(ksx_chol(S.data(), 0.0, L.data(), 3), -1);
    for (int i = 6; i < 9; ++i) EXPECT_TRUE(is_pos_zero(L[i])) << i;
}

TEST(LinalgChol, InfiniteDiagonalFailsAtFirstPivot) {
    Vec L(4, kSentinel);
    Vec inf_first = {kInf, 0.0, 0.0, 1.0};
    EXPECT_EQ(ksx_chol(inf_first.data(), 0.0, L.data(), 2), -1);
    for (f64 x : L) EXPECT_TRUE(is_pos_zero(x));
    Vec inf_last = {1.0, 0.0, 0.0, kInf};  // tol infinite, the first pivot 1 fails
    EXPECT_EQ(ksx_chol(inf_last.data(), 0.0, L.data(), 2), -1);
    for (f64 x : L) EXPECT_TRUE(is_pos_zero(x));
}

TEST(LinalgChol, StrictUpperTriangleIgnored) {
    Vec S = {4, 99, 2, 5};
    Vec sym = {4, 2, 2, 5};
    Vec nan_upper = {4, kNaN, 2, 5};
    Vec L1(4), L2(4), L3(4);
    EXPECT_EQ(ksx_chol(S.data(), 0.0, L1.data(), 2), 0);
    EXPECT_EQ(ksx_chol(sym.data(), 0.0, L2.data(), 2), 0);
    EXPECT_EQ(ksx_chol(nan_upper.data(), 0.0, L3.data(), 2), 0);
    EXPECT_TRUE(SameBits(L1, L2));
    EXPECT_TRUE(SameBits(L3, L2));
    EXPECT_TRUE(SameBits(L2, {2, 0, 1, 2}));
}

TEST(LinalgChol, EmptyReturnsZeroWritesNothing) {
    Vec L(1, kSentinel);
    EXPECT_EQ(ksx_chol(nullptr, 0.0, L.data(), 0), 0);
    EXPECT_TRUE(all_sentinel(L));
}

class LinalgCholRandom : public ::testing::TestWithParam<i64> {};

TEST_P(LinalgCholRandom, BitExactFactorAndSolves) {
    const i64 p = GetParam();
    std::mt19937_64 rng(500 + static_cast<uint64_t>(p));
    Vec S = random_spd(rng, p, true);
    Vec Ssym = S;  // the reference reads only the lower triangle too
    int ref_status = 0;
    Vec want_L = ref_chol(Ssym, p, &ref_status);
    ASSERT_EQ(ref_status, 0);
    Vec L(static_cast<size_t>(p * p), kSentinel);
    ASSERT_EQ(ksx_chol(S.data(), 0.0, L.data(), p), 0);
    EXPECT_TRUE(SameBits(L, want_L));
    for (i64 i = 0; i < p; ++i)
        for (i64 j = i + 1; j < p; ++j) EXPECT_TRUE(is_pos_zero(L[i * p + j]));

    Vec b = random_vec(rng, static_cast<size_t>(p));
    Vec out(static_cast<size_t>(p), kSentinel);
    ksx_forward_subst(L.data(), b.data(), out.data(), p);
    EXPECT_TRUE(SameBits(out, ref_forward(L, b, p)));
    Vec inplace = b;
    ksx_forward_subst(L.data(), inplace.data(), inplace.data(), p);
    EXPECT_TRUE(SameBits(inplace, out));

    ksx_backward_subst_chol_t(L.data(), b.data(), out.data(), p);
    EXPECT_TRUE(SameBits(out, ref_backward_t(L, b, p)));
    inplace = b;
    ksx_backward_subst_chol_t(L.data(), inplace.data(), inplace.data(), p);
    EXPECT_TRUE(SameBits(inplace, out));

    // chol_solve = forward then in-place backward through the same factor.
    Vec coef(static_cast<size_t>(p), kSentinel), scratch(static_cast<size_t>(p * p));
    ASSERT_EQ(ksx_chol_solve(S.data(), b.data(), coef.data(), scratch.data(), p), 0);
    EXPECT_TRUE(SameBits(coef, ref_backward_t(want_L, ref_forward(want_L, b, p), p)));
    // and it solves the system.
    for (i64 i = 0; i < p; ++i) {
        f64 r = 0.0;
        for (i64 j = 0; j < p; ++j) r += (j <= i ? S[i * p + j] : S[j * p + i]) * coef[j];
        EXPECT_NEAR(r, b[i], 1e-11) << i;
    }

    // chol_inv column by column, against a reference and against G.
    Vec Pinv(static_cast<size_t>(p * p), kSentinel);
    ASSERT_EQ(ksx_chol_inv(S.data(), Pinv.data(), scratch.data(), p), 0);
    Vec want_inv(static_cast<size_t>(p * p));
    for (i64 j = 0; j < p; ++j) {
        Vec e(static_cast<size_t>(p), 0.0);
        e[j] = 1.0;
        Vec col = ref_backward_t(want_L, ref_forward(want_L, e, p), p);
        for (i64 i = 0; i < p; ++i) want_inv[i * p + j] = col[i];
    }
    EXPECT_TRUE(SameBits(Pinv, want_inv));
    for (i64 i = 0; i < p; ++i)
        for (i64 j = 0; j < p; ++j) {
            f64 r = 0.0;
            for (i64 k = 0; k < p; ++k) r += Pinv[i * p + k] * (k <= j ? S[j * p + k] : S[k * p + j]);
            EXPECT_NEAR(r, i == j ? 1.0 : 0.0, 1e-11) << i << "," << j;
        }

    // logdet: twice the plain sum of the logs of the diagonal.
    f64 s = 0.0;
    for (i64 i = 0; i < p; ++i) s = s + std::log(L[i * p + i]);
    EXPECT_EQ(bits_of(ksx_logdet_from_chol(L.data(), p)), bits_of(s + s));
}

INSTANTIATE_TEST_SUITE_P(Orders, LinalgCholRandom, ::testing::Values(1, 2, 3, 5, 8, 13, 30));

TEST(LinalgLogdet, DiagonalAndEmpty) {
    Vec D = {4, 0, 0, 9}, L(4);
    ASSERT_EQ(ksx_chol(D.data(), 0.0, L.data(), 2), 0);
    EXPECT_NEAR(ksx_logdet_from_chol(L.data(), 2), std::log(36.0), 1e-15);
    EXPECT_TRUE(is_pos_zero(ksx_logdet_from_chol(nullptr, 0)));
}

TEST(LinalgSubst, SmallAndEmpty) {
    Vec L = {2, 0, 1, 4};
    Vec b = {4, 10};
    Vec out(2);
    ksx_forward_subst(L.data(), b.data(), out.data(), 2);
    EXPECT_TRUE(SameBits(out, {2, 2}));   // 2*2 = 4; 1*2 + 4*2 = 10
    ksx_backward_subst_chol_t(L.data(), b.data(), out.data(), 2);
    EXPECT_TRUE(SameBits(out, {0.75, 2.5}));  // L^T = {{2,1},{0,4}}
    Vec none(1, kSentinel);
    ksx_forward_subst(L.data(), b.data(), none.data(), 0);
    ksx_backward_subst_chol_t(L.data(), b.data(), none.data(), 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgGram, EmptyRowsGiveZeros) {
    Vec G(9, kSentinel);
    ksx_gram(nullptr, G.data(), 0, 3);
    for (f64 x : G) EXPECT_TRUE(is_pos_zero(x));
    Vec none(1, kSentinel);
    ksx_gram(nullptr, none.data(), 5, 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgGramRhs, EmptyCases) {
    Vec g(3, kSentinel);
    ksx_gram_rhs(nullptr, nullptr, g.data(), 0, 3);
    for (f64 x : g) EXPECT_TRUE(is_pos_zero(x));
    Vec none(1, kSentinel);
    ksx_gram_rhs(nullptr, nullptr, none.data(), 4, 0);
    EXPECT_TRUE(all_sentinel(none));
}

TEST(LinalgGram, SmallExact) {
    Vec X = {1, 2, 3, 4, 5, 6};  // 3 x 2
    Vec G(4);
    ksx_gram(X.data(), G.data(), 3, 2);
    EXPECT_TRUE(SameBits(G, {35, 44, 44, 56}));
    Vec y = {1, 0, -1}, g(2);
    ksx_gram_rhs(X.data(), y.data(), g.data(), 3, 2);
    EXPECT_TRUE(SameBits(g, {-4, -4}));
}

TEST(LinalgCholSolve, SmallAndFailureLeavesCoef) {
    Vec G = {2, 1, 1, 2}, g = {3, 3}, coef(2), scratch(4);
    ASSERT_EQ(ksx_chol_solve(G.data(), g.data(), coef.data(), scratch.data(), 2), 0);
    EXPECT_NEAR(coef[0], 1.0, 1e-15);
    EXPECT_NEAR(coef[1], 1.0, 1e-15);
    Vec singular = {1, 1, 1, 1};
    Vec untouched(2, kSentinel);
    EXPECT_EQ(ksx_chol_solve(singular.data(), g.data(), untouched.data(), scratch.data(), 2), -1);
    EXPECT_TRUE(all_sentinel(untouched));
    EXPECT_EQ(ksx_chol_solve(nullptr, nullptr, untouched.data(), scratch.data(), 0), 0);
    EXPECT_TRUE(all_sentinel(untouched));
}

TEST(LinalgCholInv, DiagonalEmptyAndFailure) {
    Vec D = {4, 0, 0, 9}, Pinv(4), scratch(4);
    ASSERT_EQ(ksx_chol_inv(D.data(), Pinv.data(), scratch.data(), 2), 0);
    EXPECT_EQ(Pinv[0], 0.25);
    EXPECT_EQ(Pinv[3], 1.0 / 9.0);
    EXPECT_TRUE(is_pos_zero(Pinv[1]));
    EXPECT_TRUE(is_pos_zero(Pinv[2]));
    Vec none(1, kSentinel);
    EXPECT_EQ(ksx_chol_inv(nullptr, none.data(), none.data(), 0), 0);
    EXPECT_TRUE(all_sentinel(none));
    Vec singular = {1, 1, 1, 1}, untouched(4, kSentinel);
    EXPECT_EQ(ksx_chol_inv(singular.data(), untouched.data(), scratch.data(), 2), -1);
    EXPECT_TRUE(all_sentinel(untouched));
}

}  // namespace
