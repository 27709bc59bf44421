// Tests of the real LU factorisation, solve and inverse.
//
// The factorisation and the substitutions are compared bit for bit with a
// plain reference written here from the text; solves and inverses are also
// checked against the mathematics (A X = B, A^-1 A = I) on random
// well-conditioned matrices that need row interchanges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ksx_linalg.h"

namespace {

using Vec = std::vector<f64>;
using IVec = std::vector<i64>;

const f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
const f64 kSentinel = -12345.678;
const i64 kISentinel = -777;

uint64_t bits_of(f64 x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

::testing::AssertionResult SameBits(const Vec& got, const Vec& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (bits_of(got[i]) != bits_of(want[i]))
            return ::testing::AssertionFailure() << "element " << i << ": got " << got[i] << " want " << want[i];
    return ::testing::AssertionSuccess();
}

bool all_sentinel(const Vec& v) {
    for (f64 x : v)
        if (bits_of(x) != bits_of(kSentinel)) return false;
    return true;
}

bool all_isentinel(const IVec& v) {
    for (i64 x : v)
        if (x != kISentinel) return false;
    return true;
}

// Diagonally dominant (so well conditioned) with its rows shuffled, so that
// partial pivoting has to interchange rows.
Vec random_well_conditioned(std::mt19937_64& rng, i64 n) {
    std::uniform_real_distribution<f64> dist(-1.0, 1.0);
    Vec A(static_cast<size_t>(n * n));
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) A[i * n + j] = dist(rng) + (i == j ? 2.0 * static_cast<f64>(n) : 0.0);
    std::vector<i64> order(static_cast<size_t>(n));
    for (i64 i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    Vec shuffled(A.size());
    for (i64 i = 0; i < n; ++i)
        std::copy(A.begin() + order[i] * n, A.begin() + (order[i] + 1) * n, shuffled.begin() + i * n);
    return shuffled;
}

Vec random_vec(std::mt19937_64& rng, size_t count) {
    std::uniform_real_distribution<f64> dist(-3.0, 3.0);
    Vec v(count);
    for (f64& x : v) x = dist(rng);
    return v;
}

// ---- reference written from the text ---------------------------------------

i64 ref_factor(Vec& A, IVec& piv, i64 n) {
    for (i64 k = 0; k < n; ++k) {
        i64 r = k;
        f64 best = std::fabs(A[k * n + k]);
        for (i64 i = k + 1; i < n; ++i)
            if (std::fabs(A[i * n + k]) > best) {
                best = std::fabs(A[i * n + k]);
                r = i;
            }
        piv[k] = r;
        if (best == 0.0) return -2;
        for (i64 j = 0; j < n && r != k; ++j) std::swap(A[k * n + j], A[r * n + j]);
        const f64 inv = 1.0 / A[k * n + k];
        for (i64 i = k + 1; i < n; ++i) {
            const f64 l = A[i * n + k] * inv;
            A[i * n + k] = l;
            for (i64 j = k + 1; j < n; ++j) A[i * n + j] = std::fma(-l, A[k * n + j], A[i * n + j]);
        }
    }
    return 0;
}

Vec ref_solve(const Vec& LU, const IVec& piv, const Vec& B, i64 n, i64 m) {
    Vec X = B;
    for (i64 k = 0; k < n; ++k)
        for (i64 j = 0; j < m; ++j) std::swap(X[k * m + j], X[piv[k] * m + j]);
    for (i64 j = 0; j < m; ++j) {  // column by column: each column is independent
        for (i64 i = 1; i < n; ++i)
            for (i64 k = 0; k < i; ++k) X[i * m + j] = std::fma(-LU[i * n + k], X[k * m + j], X[i * m + j]);
        for (i64 i = n - 1; i >= 0; --i) {
            for (i64 k = i + 1; k < n; ++k) X[i * m + j] = std::fma(-LU[i * n + k], X[k * m + j], X[i * m + j]);
            X[i * m + j] = X[i * m + j] * (1.0 / LU[i * n + i]);
        }
    }
    return X;
}

// ---- documented edge cases --------------------------------------------------

TEST(LUFactor, PermutationMatrix) {
    Vec A = {0, 1, 1, 0};
    IVec piv(2, kISentinel);
    ASSERT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), 2), 0);
    EXPECT_EQ(piv, (IVec{1, 1}));
    EXPECT_TRUE(SameBits(A, {1, 0, 0, 1}));  // L = I (multiplier 0), U = I
    Vec A0 = {0, 1, 1, 0}, B = {2, 3}, X(2, kSentinel);
    ASSERT_EQ(ksx_solve(A0.data(), B.data(), 2, 1, X.data()), 0);
    EXPECT_TRUE(SameBits(X, {3, 2}));
    EXPECT_TRUE(SameBits(B, {2, 3}));  // B not modified
}

TEST(LUFactor, TieKeepsTopRow) {
    Vec A = {1, 2, -1, 3};
    IVec piv(2, kISentinel);
    ASSERT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), 2), 0);
    EXPECT_EQ(piv, (IVec{0, 1}));
    EXPECT_TRUE(SameBits(A, {1, 2, -1, 5}));
}

TEST(LUFactor, SingularAfterInterchange) {
    Vec A = {1, 2, 2, 4};
    IVec piv(2, kISentinel);
    EXPECT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), 2), -2);
    EXPECT_EQ(piv, (IVec{1, 1}));
    EXPECT_TRUE(SameBits(A, {2, 4, 0.5, 0}));
}

TEST(LUFactor, SingularAtFirstColumnWritesOnlyFirstPivot) {
    Vec A = {0, 1, 0, 0, 2, 3, 0, 4, 5};
    IVec piv(3, kISentinel);
    EXPECT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), 3), -2);
    EXPECT_EQ(piv[0], 0);
    EXPECT_EQ(piv[1], kISentinel);
    EXPECT_EQ(piv[2], kISentinel);
    EXPECT_TRUE(SameBits(A, {0, 1, 0, 0, 2, 3, 0, 4, 5}));
}

TEST(LUFactor, OneByOne) {
    Vec zero = {0.0};
    IVec piv(1, kISentinel);
    EXPECT_EQ(ksx_lu_factor_inplace(zero.data(), piv.data(), 1), -2);
    EXPECT_EQ(piv[0], 0);
    Vec negzero = {-0.0};
    EXPECT_EQ(ksx_lu_factor_inplace(negzero.data(), piv.data(), 1), -2);
    Vec five = {5.0}, B = {10.0}, X(1, kSentinel);
    ASSERT_EQ(ksx_solve(five.data(), B.data(), 1, 1, X.data()), 0);
    EXPECT_EQ(X[0], 2.0);
    Vec untouched(1, kSentinel);
    EXPECT_EQ(ksx_solve(zero.data(), B.data(), 1, 1, untouched.data()), -2);
    EXPECT_TRUE(all_sentinel(untouched));
}

TEST(LUFactor, NoToleranceForTinyPivots) {
    Vec A = {1e-300, 0, 0, 1e-300};
    IVec piv(2);
    EXPECT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), 2), 0);
    Vec one = {1e-300}, B = {1.0}, X(1);
    ASSERT_EQ(ksx_solve(one.data(), B.data(), 1, 1, X.data()), 0);
    EXPECT_EQ(X[0], 1.0 * (1.0 / 1e-300));
    Vec sub = {4.9e-324}, Xs(1);  // smallest subnormal: 1/x overflows, still no -2
    EXPECT_EQ(ksx_solve(sub.data(), B.data(), 1, 1, Xs.data()), 0);
    EXPECT_TRUE(std::isinf(Xs[0]));
}

TEST(LUFactor, NaNNeverChosenButKeptOnDiagonal) {
    Vec below = {1, 1, kNaN, 1};
    IVec piv(2, kISentinel);
    EXPECT_EQ(ksx_lu_factor_inplace(below.data(), piv.data(), 2), 0);
    EXPECT_EQ(piv[0], 0);
    Vec diag = {kNaN, 1, 5, 1};
    EXPECT_EQ(ksx_lu_factor_inplace(diag.data(), piv.data(), 2), 0);  // NaN is not 0.0
    EXPECT_EQ(piv[0], 0);
    EXPECT_TRUE(std::isnan(diag[0]));
    EXPECT_TRUE(std::isnan(diag[2]));
}

TEST(LUFactor, InterchangeCarriesStoredMultipliers) {
    // Step 0 stores multipliers 0.25 and 0.5; step 1 swaps rows 1 and 2
    // together with them.
    Vec A = {4, 1, 1, 1, 0.25, 3, 2, 2, 1};
    IVec piv(3, kISentinel);
    ASSERT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), 3), 0);
    EXPECT_EQ(piv, (IVec{0, 2, 2}));
    EXPECT_TRUE(SameBits(A, {4, 1, 1, 0.5, 1.5, 0.5, 0.25, 0, 2.75}));
    Vec A0 = {4, 1, 1, 1, 0.25, 3, 2, 2, 1}, B = {9, 10.5, 9}, X(3);
    ASSERT_EQ(ksx_solve(A0.data(), B.data(), 3, 1, X.data()), 0);
    EXPECT_NEAR(X[0], 1.0, 1e-15);
    EXPECT_NEAR(X[1], 2.0, 1e-15);
    EXPECT_NEAR(X[2], 3.0, 1e-15);
}

TEST(LUInv, TwoByTwo) {
    Vec A = {4, 7, 2, 6}, Ainv(4, kSentinel);
    ASSERT_EQ(ksx_inv(A.data(), 2, Ainv.data()), 0);
    const f64 want[4] = {0.6, -0.7, -0.2, 0.4};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(Ainv[i], want[i], 1e-15) << i;
}

TEST(LUInv, DiagonalExactWithPositiveZeros) {
    Vec A = {2, 0, 0, 4}, Ainv(4, kSentinel);
    ASSERT_EQ(ksx_inv(A.data(), 2, Ainv.data()), 0);
    EXPECT_TRUE(SameBits(Ainv, {0.5, 0.0, 0.0, 0.25}));
}

TEST(LUInv, EqualsSolveAgainstExplicitIdentity) {
    std::mt19937_64 rng(98);
    const i64 n = 6;
    Vec A = random_well_conditioned(rng, n), I(static_cast<size_t>(n * n), 0.0);
    Vec X(I.size()), Ainv(I.size());
    for (i64 i = 0; i < n; ++i) I[i * n + i] = 1.0;
    ASSERT_EQ(ksx_solve(A.data(), I.data(), n, n, X.data()), 0);
    ASSERT_EQ(ksx_inv(A.data(), n, Ainv.data()), 0);
    EXPECT_TRUE(SameBits(Ainv, X));
}

TEST(LUInv, SingularLeavesOutput) {
    Vec A = {1, 2, 2, 4}, Ainv(4, kSentinel);
    EXPECT_EQ(ksx_inv(A.data(), 2, Ainv.data()), -2);
    EXPECT_TRUE(all_sentinel(Ainv));
}

// ---- bad arguments: -1 and nothing written --------------------------------

class LUBadOrder : public ::testing::TestWithParam<i64> {};

TEST_P(LUBadOrder, NonPositiveOrderRejected) {
    const i64 n = GetParam();
    Vec A(4, 1.0), B(4, 1.0), out(4, kSentinel);
    IVec piv(2, kISentinel);
    EXPECT_EQ(ksx_lu_factor_inplace(A.data(), piv.data(), n), -1);
    EXPECT_TRUE(all_isentinel(piv));
    f64_lu lu = ksx_lu_factor(A.data(), n);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, n);
    EXPECT_EQ(lu.err, -1);
    ksx_lu_free(&lu);
    EXPECT_EQ(lu.n, 0);
    EXPECT_EQ(lu.err, 0);
    EXPECT_EQ(ksx_solve(A.data(), B.data(), n, 1, out.data()), -1);
    EXPECT_EQ(ksx_inv(A.data(), n, out.data()), -1);
    EXPECT_TRUE(all_sentinel(out));
}

INSTANTIATE_TEST_SUITE_P(Orders, LUBadOrder, ::testing::Values(0, -1, -5));

TEST(LUBadArgs, NullPointers) {
    Vec A = {2, 1, 1, 3}, B = {1, 2}, X(2, kSentinel), Ainv(4, kSentinel);
    IVec piv(2, kISentinel);
    Vec A_copy = A;
    EXPECT_EQ(ksx_lu_factor_inplace(nullptr, piv.data(), 2), -1);
    EXPECT_TRUE(all_isentinel(piv));
    EXPECT_EQ(ksx_lu_factor_inplace(A.data(), nullptr, 2), -1);
    EXPECT_TRUE(SameBits(A, A_copy));

    f64_lu lu = ksx_lu_factor(nullptr, 2);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, 2);
    EXPECT_EQ(lu.err, -1);
    ksx_lu_free(&lu);

    EXPECT_EQ(ksx_solve(nullptr, B.data(), 2, 1, X.data()), -1);
    // Null B or X with right-hand sides to solve: rejected, not dereferenced
    // (a guard beyond the algorithm text, within "bad argument").
    EXPECT_EQ(ksx_solve(A.data(), nullptr, 2, 1, X.data()), -1);
    EXPECT_EQ(ksx_solve(A.data(), B.data(), 2, 1, nullptr), -1);
    EXPECT_TRUE(all_sentinel(X));
    EXPECT_EQ(ksx_inv(nullptr, 2, Ainv.data()), -1);
    EXPECT_EQ(ksx_inv(A.data(), 2, nullptr), -1);
    EXPECT_TRUE(all_sentinel(Ainv));
}

TEST(LUBadArgs, UnsizableOrderIsAnAllocationFailure) {
    // n * n * 8 bytes does not fit in size_t: reported as a failed allocation
    // (-1), with nothing read or written.
    const i64 huge = i64{1} << 31;
    Vec A(1, 1.0), B(1, 1.0), out(1, kSentinel);
    f64_lu lu = ksx_lu_factor(A.data(), huge);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, huge);
    EXPECT_EQ(lu.err, -1);
    EXPECT_EQ(ksx_solve(A.data(), B.data(), huge, 1, out.data()), -1);
    EXPECT_EQ(ksx_inv(A.data(), huge, out.data()), -1);
    EXPECT_TRUE(all_sentinel(out));
}

TEST(LUBadArgs, ZeroRightHandSides) {
    Vec A = {2, 1, 1, 3};
    EXPECT_EQ(ksx_solve(A.data(), nullptr, 2, 0, nullptr), 0);
    Vec singular = {1, 2, 2, 4};
    EXPECT_EQ(ksx_solve(singular.data(), nullptr, 2, 0, nullptr), -2);
}

// ---- lifecycle ---------------------------------------------------------------

TEST(LULifecycle, FactorOwnsCopyAndFreeZeroes) {
    Vec A = {4, 3, 6, 3};
    const Vec A_copy = A;
    f64_lu lu = ksx_lu_factor(A.data(), 2);
    ASSERT_EQ(lu.err, 0);
    ASSERT_NE(lu.lu, nullptr);
    ASSERT_NE(lu.piv, nullptr);
    EXPECT_EQ(lu.n, 2);
    EXPECT_TRUE(SameBits(A, A_copy));  // the factorisation is on a private copy
    EXPECT_EQ(lu.piv[0], 1);
    ksx_lu_free(&lu);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, 0);
    EXPECT_EQ(lu.err, 0);
    ksx_lu_free(&lu);  // twice: harmless
    ksx_lu_free(nullptr);
}

TEST(LULifecycle, SingularResultStillOwnsBlocks) {
    Vec A = {1, 2, 2, 4};
    f64_lu lu = ksx_lu_factor(A.data(), 2);
    EXPECT_EQ(lu.err, -2);
    ASSERT_NE(lu.lu, nullptr);
    ASSERT_NE(lu.piv, nullptr);
    EXPECT_EQ(lu.piv[0], 1);
    EXPECT_EQ(lu.piv[1], 1);
    ksx_lu_free(&lu);  // the sanitizer build checks these blocks are released
    EXPECT_EQ(lu.lu, nullptr);
    ksx_lu_free(&lu);
}

TEST(LULifecycle, RepeatedSolvesWithOneFactorisation) {
    std::mt19937_64 rng(21);
    const i64 n = 6;
    Vec A = random_well_conditioned(rng, n);
    f64_lu lu = ksx_lu_factor(A.data(), n);
    ASSERT_EQ(lu.err, 0);
    for (int rep = 0; rep < 3; ++rep) {
        Vec B = random_vec(rng, static_cast<size_t>(n)), X(static_cast<size_t>(n)), X2(static_cast<size_t>(n));
        ksx_lu_solve(lu.lu, lu.piv, B.data(), X.data(), n, 1);
        ASSERT_EQ(ksx_solve(A.data(), B.data(), n, 1, X2.data()), 0);
        EXPECT_TRUE(SameBits(X, X2));
    }
    ksx_lu_free(&lu);
}

TEST(LUSolve, EmptyDoesNothing) {
    Vec X(3, kSentinel);
    ksx_lu_solve(nullptr, nullptr, nullptr, X.data(), 0, 3);
    ksx_lu_solve(nullptr, nullptr, nullptr, X.data(), 3, 0);
    EXPECT_TRUE(all_sentinel(X));
}

// ---- randomised -------------------------------------------------------------

class LURandom : public ::testing::TestWithParam<i64> {};

TEST_P(LURandom, BitExactAgainstReference) {
    const i64 n = GetParam();
    const i64 m = 3;
    std::mt19937_64 rng(300 + static_cast<uint64_t>(n));
    // Plain random matrices: interchanges at most steps.
    Vec A = random_vec(rng, static_cast<size_t>(n * n));
    Vec B = random_vec(rng, static_cast<size_t>(n * m));
    Vec want_LU = A;
    IVec want_piv(static_cast<size_t>(n));
    ASSERT_EQ(ref_factor(want_LU, want_piv, n), 0);
    f64_lu lu = ksx_lu_factor(A.data(), n);
    ASSERT_EQ(lu.err, 0);
    EXPECT_TRUE(SameBits(Vec(lu.lu, lu.lu + n * n), want_LU));
    EXPECT_EQ(IVec(lu.piv, lu.piv + n), want_piv);
    for (i64 k = 0; k < n; ++k) EXPECT_GE(lu.piv[k], k);
    Vec X(static_cast<size_t>(n * m), kSentinel);
    ksx_lu_solve(lu.lu, lu.piv, B.data(), X.data(), n, m);
    EXPECT_TRUE(SameBits(X, ref_solve(want_LU, want_piv, B, n, m)));
    ksx_lu_free(&lu);
}

TEST_P(LURandom, SeveralRightHandSidesEqualSeparateSolves) {
    const i64 n = GetParam();
    const i64 m = 3;
    std::mt19937_64 rng(400 + static_cast<uint64_t>(n));
    Vec A = random_well_conditioned(rng, n);
    Vec B = random_vec(rng, static_cast<size_t>(n * m));
    Vec X(static_cast<size_t>(n * m));
    ASSERT_EQ(ksx_solve(A.data(), B.data(), n, m, X.data()), 0);
    for (i64 j = 0; j < m; ++j) {
        Vec b(static_cast<size_t>(n)), x(static_cast<size_t>(n));
        for (i64 i = 0; i < n; ++i) b[i] = B[i * m + j];
        ASSERT_EQ(ksx_solve(A.data(), b.data(), n, 1, x.data()), 0);
        for (i64 i = 0; i < n; ++i) EXPECT_EQ(bits_of(X[i * m + j]), bits_of(x[i])) << i << "," << j;
    }
    // and A X = B.
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < m; ++j) {
            f64 s = 0.0;
            for (i64 k = 0; k < n; ++k) s += A[i * n + k] * X[k * m + j];
            EXPECT_NEAR(s, B[i * m + j], 1e-12) << i << "," << j;
        }
}

TEST_P(LURandom, InverseTimesMatrixIsIdentity) {
    const i64 n = GetParam();
    std::mt19937_64 rng(500 + static_cast<uint64_t>(n));
    Vec A = random_well_conditioned(rng, n);
    Vec Ainv(static_cast<size_t>(n * n), kSentinel);
    ASSERT_EQ(ksx_inv(A.data(), n, Ainv.data()), 0);
    Vec P(static_cast<size_t>(n * n));
    ksx_matmul(Ainv.data(), A.data(), P.data(), n, n, n);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) EXPECT_NEAR(P[i * n + j], i == j ? 1.0 : 0.0, 1e-13) << i << "," << j;
    // The shuffled rows make the pivoting interchange rows.
    if (n > 1) {
        f64_lu lu = ksx_lu_factor(A.data(), n);
        bool swapped = false;
        for (i64 k = 0; k < n; ++k) swapped = swapped || lu.piv[k] != k;
        ksx_lu_free(&lu);
        EXPECT_TRUE(swapped);  // the seeds are fixed; none gives the identity shuffle
    }
}

TEST_P(LURandom, ReconstructsPermutedMatrix) {
    // P A = L U, applying the interchange sequence to the rows of A.
    const i64 n = GetParam();
    std::mt19937_64 rng(600 + static_cast<uint64_t>(n));
    Vec A = random_vec(rng, static_cast<size_t>(n * n));
    f64_lu lu = ksx_lu_factor(A.data(), n);
    ASSERT_EQ(lu.err, 0);
    Vec PA = A;
    for (i64 k = 0; k < n; ++k)
        for (i64 j = 0; j < n; ++j) std::swap(PA[k * n + j], PA[lu.piv[k] * n + j]);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) {
            f64 s = 0.0;
            for (i64 k = 0; k <= std::min(i, j); ++k)
                s += (k == i ? 1.0 : lu.lu[i * n + k]) * lu.lu[k * n + j];
            EXPECT_NEAR(s, PA[i * n + j], 1e-12) << i << "," << j;
        }
    // Partial pivoting bounds every multiplier by 1.
    for (i64 i = 0; i < n; ++i)
        for (i64 k = 0; k < i; ++k) EXPECT_LE(std::fabs(lu.lu[i * n + k]), 1.0);
    ksx_lu_free(&lu);
}

INSTANTIATE_TEST_SUITE_P(Orders, LURandom, ::testing::Values(1, 2, 3, 4, 7, 12, 25));

}  // namespace
