// Regression and series diagnostic kernels: failure statuses and what each
// writes, worked examples, allocation failures from unrepresentable sizes, and
// a randomised comparison of the regression kernels with a long-double
// least-squares reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "diag.h"

namespace {

using LD = long double;
using Vec = std::vector<LD>;
constexpr f64 kSentinel = 12345.0;
constexpr i64 kMax = std::numeric_limits<i64>::max();
constexpr i64 kHuge = i64{1} << 40;      // p*p overflows i64
constexpr i64 kSquareOv = i64{1} << 32;  // p*p == 2^64 overflows i64
constexpr i64 kTooBig = i64{1} << 28;    // representable, beyond any address space

// Shared small inputs.  Rows 0 and 1 of kXrep repeat; kXscale is fine on its
// first two rows but its full Gram matrix fails the scaled pivot test.
const f64 kY5[5] = {1, 3, 2, 5, 4};
const f64 kX5[10] = {1, 0, 1, 1, 1, 2, 1, 3, 1, 5};
const f64 kXrep[10] = {1, 1, 1, 1, 1, 2, 1, 3, 1, 5};
const f64 kXscale[6] = {1, 0, 0, 1e-6, 1e6, 0};
const f64 kZeros[4] = {0, 0, 0, 0};
const f64 kOnes[5] = {1, 1, 1, 1, 1};
const f64 kY012[3] = {0, 1, 2};
f64 tiny[2] = {1, 2};  // stands in for buffers that must never be read

// A v = b, A m-by-m row-major, Gaussian elimination with partial pivoting.
Vec gauss_solve(Vec A, Vec b) {
    const size_t m = b.size();
    for (size_t c = 0; c < m; ++c) {
        size_t piv = c;
        for (size_t r = c + 1; r < m; ++r)
            if (std::fabs(A[r * m + c]) > std::fabs(A[piv * m + c])) piv = r;
        for (size_t k = 0; k < m; ++k) std::swap(A[c * m + k], A[piv * m + k]);
        std::swap(b[c], b[piv]);
        for (size_t r = c + 1; r < m; ++r) {
            const LD f = A[r * m + c] / A[c * m + c];
            for (size_t k = c; k < m; ++k) A[r * m + k] -= f * A[c * m + k];
            b[r] -= f * b[c];
        }
    }
    Vec v(m);
    for (size_t i = m; i-- > 0;) {
        LD s = b[i];
        for (size_t k = i + 1; k < m; ++k) s -= A[i * m + k] * v[k];
        v[i] = s / A[i * m + i];
    }
    return v;
}

LD dot_row(const f64* x, const Vec& v) {
    LD s = 0;
    for (size_t j = 0; j < v.size(); ++j) s += x[j] * v[j];
    return s;
}

// Normal matrix of rows [r0, r1) of X (p columns).
Vec normal_matrix(const f64* X, i64 r0, i64 r1, i64 p) {
    Vec A(p * p, 0);
    for (i64 r = r0; r < r1; ++r)
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b) A[a * p + b] += LD(X[r * p + a]) * X[r * p + b];
    return A;
}

// Least-squares coefficients of y on rows [r0, r1) of X.
Vec ls_coef(const f64* X, const f64* y, i64 r0, i64 r1, i64 p) {
    Vec rhs(p, 0);
    for (i64 r = r0; r < r1; ++r)
        for (i64 a = 0; a < p; ++a) rhs[a] += LD(X[r * p + a]) * y[r];
    return gauss_solve(normal_matrix(X, r0, r1, p), rhs);
}

LD ls_rss(const f64* X, const f64* y, i64 r0, i64 r1, i64 p) {
    const Vec b = ls_coef(X, y, r0, r1, p);
    LD rss = 0;
    for (i64 r = r0; r < r1; ++r) rss += std::pow(y[r] - dot_row(X + r * p, b), 2);
    return rss;
}

// Recursive residuals by a fresh fit on the rows before each t.
Vec ref_recursive(const f64* X, const f64* y, i64 T, i64 p) {
    Vec w;
    for (i64 t = p; t < T; ++t) {
        const f64* x = X + t * p;
        const Vec v = gauss_solve(normal_matrix(X, 0, t, p), Vec(x, x + p));
        const LD e = y[t] - dot_row(x, ls_coef(X, y, 0, t, p));
        w.push_back(e / std::sqrt(1 + dot_row(x, v)));
    }
    return w;
}

void expect_close(LD want, f64 got, f64 rel, const char* what) {
    EXPECT_LE(std::fabs(LD(got) - want), rel * std::fmax(1.0, std::fabs(double(want))))
        << what << ": got " << got << " want " << double(want);
}

// ---- failure tables --------------------------------------------------------

// A scalar-output call: the output starts as kSentinel and must become NaN
// (argument rejected, nested failure) or stay untouched.
struct ScalarFail {
    const char* what;
    std::function<int(f64*)> run;
    int status;
    bool nan;
};

TEST(DiagFailures, ScalarKernelsStatusAndOutput) {
    const ScalarFail cases[] = {
        {"bg lags == n", [](f64* o) { return ksx_bg_stat(kY5, kX5, 3, 2, 3, o); }, DIAG_TOO_FEW_OBS, true},
        {"bg n == 0", [](f64* o) { return ksx_bg_stat(nullptr, nullptr, 0, 1, 0, o); }, DIAG_TOO_FEW_OBS, true},
        {"bg lags < 0", [](f64* o) { return ksx_bg_stat(kY5, kX5, 3, 2, -1, o); }, DIAG_BAD_LAG, true},
        {"bg K < 0", [](f64* o) { return ksx_bg_stat(kY5, kX5, 3, -2, 0, o); }, DIAG_TOO_FEW_OBS, true},
        {"bg p*p overflows", [](f64* o) { return ksx_bg_stat(tiny, tiny, 2, kHuge, 0, o); }, DIAG_NO_MEMORY, false},
        {"bg K+lags+1 overflows", [](f64* o) { return ksx_bg_stat(tiny, tiny, 2, kMax, 1, o); }, DIAG_NO_MEMORY, false},
        {"bg n*p overflows", [](f64* o) { return ksx_bg_stat(tiny, tiny, 2, kMax / 2, 0, o); }, DIAG_NO_MEMORY, false},
        {"bg malloc fails", [](f64* o) { return ksx_bg_stat(tiny, tiny, 2, kTooBig, 0, o); }, DIAG_NO_MEMORY, false},
        {"bg zero lag column", [](f64* o) { return ksx_bg_stat(kZeros, kX5, 4, 0, 1, o); }, DIAG_FALLBACK, false},
        {"bg constant in X", [](f64* o) { return ksx_bg_stat(kY5, kOnes, 5, 1, 0, o); }, DIAG_FALLBACK, false},
        {"chow T == 2p", [](f64* o) { return ksx_chow_stat(kY5, kOnes, 2, 1, 5, o); }, DIAG_TOO_FEW_OBS, true},
        {"chow p < 0", [](f64* o) { return ksx_chow_stat(kY5, kOnes, 5, -1, 2, o); }, DIAG_TOO_FEW_OBS, true},
        {"chow 2p overflows", [](f64* o) { return ksx_chow_stat(tiny, tiny, kMax, kMax / 2 + 1, 1, o); }, DIAG_TOO_FEW_OBS, true},
        {"chow break 0", [](f64* o) { return ksx_chow_stat(kY5, kOnes, 5, 1, 0, o); }, DIAG_BAD_BREAK, true},
        {"chow break T", [](f64* o) { return ksx_chow_stat(kY5, kOnes, 5, 1, 5, o); }, DIAG_BAD_BREAK, true},
        {"chow break < 0", [](f64* o) { return ksx_chow_stat(kY5, kOnes, 5, 1, -3, o); }, DIAG_BAD_BREAK, true},
        {"chow p*p overflows", [](f64* o) { return ksx_chow_stat(tiny, tiny, kMax, kHuge, 1, o); }, DIAG_NO_MEMORY, false},
        {"chow short segment", [](f64* o) { return ksx_chow_stat(kY5, kX5, 5, 2, 1, o); }, DIAG_FALLBACK, false},
        {"cusum T == p", [](f64* o) { return ksx_cusum_stat(kY5, kX5, 2, 2, o); }, DIAG_TOO_FEW_OBS, true},
        {"cusum T == 0", [](f64* o) { return ksx_cusum_stat(nullptr, nullptr, 0, 0, o); }, DIAG_TOO_FEW_OBS, true},
        {"cusum p < 0", [](f64* o) { return ksx_cusum_stat(kY5, kX5, 5, -1, o); }, DIAG_TOO_FEW_OBS, true},
        {"cusum own block", [](f64* o) { return ksx_cusum_stat(tiny, tiny, kMax, 0, o); }, DIAG_NO_MEMORY, false},
        {"cusum nested arena", [](f64* o) { return ksx_cusum_stat(tiny, tiny, kSquareOv + 1, kSquareOv, o); }, DIAG_NO_MEMORY, true},
        {"cusum start fit", [](f64* o) { return ksx_cusum_stat(kY5, kXrep, 5, 2, o); }, DIAG_FALLBACK, true},
        {"cusum full fit", [](f64* o) { return ksx_cusum_stat(kY5, kXscale, 3, 2, o); }, DIAG_FALLBACK, true},
        {"lb n == 0", [](f64* o) { f64 z, r; return ksx_lb_stat(nullptr, 0, 3, &z, &r, o); }, DIAG_TOO_FEW_OBS, true},
        {"lb n == 1", [](f64* o) { f64 z, r; return ksx_lb_stat(kY5, 1, 3, &z, &r, o); }, DIAG_TOO_FEW_OBS, true},
        {"lb L == 0", [](f64* o) { f64 z[5], r[5]; return ksx_lb_stat(kY5, 5, 0, z, r, o); }, DIAG_BAD_LAG, true},
        {"lb L < 0", [](f64* o) { f64 z[5], r[5]; return ksx_lb_stat(kY5, 5, -4, z, r, o); }, DIAG_BAD_LAG, true},
        {"lb constant", [](f64* o) { f64 z[5], r[5]; return ksx_lb_stat(kOnes, 5, 2, z, r, o); }, DIAG_UDEF_VARIANCE, true},
        {"jb n == 0", [](f64* o) { return ksx_jb_stat(nullptr, 0, o); }, DIAG_TOO_FEW_OBS, true},
        {"jb n < 0", [](f64* o) { return ksx_jb_stat(nullptr, -3, o); }, DIAG_UDEF_VARIANCE, true},
        {"jb n == 1", [](f64* o) { return ksx_jb_stat(kY5, 1, o); }, DIAG_UDEF_VARIANCE, true},
        {"jb constant", [](f64* o) { const std::vector<f64> x(12, 2.0); return ksx_jb_stat(x.data(), 12, o); }, DIAG_UDEF_VARIANCE, true},
    };
    for (const auto& c : cases) {
        f64 out = kSentinel;
        EXPECT_EQ(c.run(&out), c.status) << c.what;
        if (c.nan) EXPECT_TRUE(std::isnan(out)) << c.what;
        else EXPECT_EQ(out, kSentinel) << c.what;
    }
    // A non-finite value anywhere makes the variance undefined.
    for (f64 bad : {std::numeric_limits<f64>::quiet_NaN(), std::numeric_limits<f64>::infinity()}) {
        f64 x[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, z[12], r[12], out = kSentinel;
        x[7] = bad;
        EXPECT_EQ(ksx_lb_stat(x, 12, 3, z, r, &out), DIAG_UDEF_VARIANCE);
        EXPECT_TRUE(std::isnan(out));
        out = kSentinel;
        EXPECT_EQ(ksx_jb_stat(x, 12, &out), DIAG_UDEF_VARIANCE);
        EXPECT_TRUE(std::isnan(out));
    }
}

// Breusch-Pagan writes neither output on any failure; the array kernels leave
// their output array untouched.
TEST(DiagFailures, UnwrittenOutputs) {
    const f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
    const f64 eps_nan[3] = {1, kNaN, 2}, eps_inf[3] = {1, INFINITY, 2}, eps_big[3] = {1e200, 1e200, 1};
    const f64 twin[6] = {1, 1, 2, 2, 3, 3};
    const ScalarFail cases[] = {
        {"bp n == 0", [](f64* o) { return ksx_bp_aux(nullptr, nullptr, 0, 1, o, o + 1); }, DIAG_TOO_FEW_OBS, false},
        {"bp n < 0", [](f64* o) { return ksx_bp_aux(nullptr, nullptr, -1, 1, o, o + 1); }, DIAG_UDEF_VARIANCE, false},
        {"bp p < 0", [](f64* o) { return ksx_bp_aux(kY5, kX5, 5, -1, o, o + 1); }, DIAG_TOO_FEW_OBS, false},
        {"bp zero residuals", [](f64* o) { return ksx_bp_aux(kZeros, kX5, 4, 1, o, o + 1); }, DIAG_UDEF_VARIANCE, false},
        {"bp NaN residual", [&](f64* o) { return ksx_bp_aux(eps_nan, kX5, 3, 1, o, o + 1); }, DIAG_UDEF_VARIANCE, false},
        {"bp inf residual", [&](f64* o) { return ksx_bp_aux(eps_inf, kX5, 3, 1, o, o + 1); }, DIAG_UDEF_VARIANCE, false},
        {"bp sum overflows", [&](f64* o) { return ksx_bp_aux(eps_big, kX5, 3, 1, o, o + 1); }, DIAG_UDEF_VARIANCE, false},
        {"bp p*p overflows", [](f64* o) { return ksx_bp_aux(tiny, tiny, 2, kHuge, o, o + 1); }, DIAG_NO_MEMORY, false},
        {"bp malloc fails", [](f64* o) { return ksx_bp_aux(tiny, tiny, 2, kTooBig, o, o + 1); }, DIAG_NO_MEMORY, false},
        {"bp twin columns", [&](f64* o) { return ksx_bp_aux(kY5, twin, 3, 2, o, o + 1); }, DIAG_FALLBACK, false},
        {"rr T == 0", [](f64* o) { return ksx_recursive_residuals(nullptr, nullptr, 0, 0, o); }, DIAG_TOO_FEW_OBS, false},
        {"rr T == p", [](f64* o) { return ksx_recursive_residuals(kY5, kX5, 2, 2, o); }, DIAG_TOO_FEW_OBS, false},
        {"rr p < 0", [](f64* o) { return ksx_recursive_residuals(kY5, kX5, 5, -1, o); }, DIAG_TOO_FEW_OBS, false},
        {"rr arena", [](f64* o) { return ksx_recursive_residuals(tiny, tiny, kSquareOv + 1, kSquareOv, o); }, DIAG_NO_MEMORY, false},
        {"rr start fit", [](f64* o) { return ksx_recursive_residuals(kY5, kXrep, 5, 2, o); }, DIAG_FALLBACK, false},
        {"series T == p", [](f64* o) { return ksx_cusum_series(kY5, kX5, 2, 2, o); }, DIAG_TOO_FEW_OBS, false},
        {"series p < 0", [](f64* o) { return ksx_cusum_series(kY5, kX5, 5, -1, o); }, DIAG_TOO_FEW_OBS, false},
        {"series own arena", [](f64* o) { return ksx_cusum_series(tiny, tiny, kMax, 0, o); }, DIAG_NO_MEMORY, false},
        {"series p*p overflows", [](f64* o) { return ksx_cusum_series(tiny, tiny, kSquareOv + 1, kSquareOv, o); }, DIAG_NO_MEMORY, false},
        {"series start fit", [](f64* o) { return ksx_cusum_series(kY5, kXrep, 5, 2, o); }, DIAG_FALLBACK, false},
        {"series full fit", [](f64* o) { return ksx_cusum_series(kY5, kXscale, 3, 2, o); }, DIAG_FALLBACK, false},
    };
    for (const auto& c : cases) {
        f64 out[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        EXPECT_EQ(c.run(out), c.status) << c.what;
        for (f64 v : out) EXPECT_EQ(v, kSentinel) << c.what;
    }
}

TEST(DiagFailures, CusumsqCountAndNestedNaN) {
    struct Case { const char* what; const f64* y; const f64* X; i64 T, p; int status; i64 n; bool nan; };
    const Case cases[] = {
        {"T == p", kY5, kX5, 2, 2, DIAG_TOO_FEW_OBS, 0, true},
        {"T == 0", nullptr, nullptr, 0, 0, DIAG_TOO_FEW_OBS, 0, true},
        {"p < 0, T - p unrepresentable", tiny, tiny, kMax, -1, DIAG_TOO_FEW_OBS, 0, true},
        {"own block", tiny, tiny, kMax, 0, DIAG_NO_MEMORY, kMax, false},
        {"nested arena", tiny, tiny, kSquareOv + 1, kSquareOv, DIAG_NO_MEMORY, 1, true},
        {"start fit", kY5, kXrep, 5, 2, DIAG_FALLBACK, 3, true},
    };
    for (const auto& c : cases) {
        i64 n = -99;
        f64 stat = kSentinel;
        EXPECT_EQ(ksx_cusumsq_stat(c.y, c.X, c.T, c.p, &n, &stat), c.status) << c.what;
        EXPECT_EQ(n, c.n) << c.what;
        if (c.nan) EXPECT_TRUE(std::isnan(stat)) << c.what;
        else EXPECT_EQ(stat, kSentinel) << c.what;
    }
}

TEST(DiagFailures, AcorrUndefinedVarianceFillsNaN) {
    const f64 constant[4] = {2, 2, 2, 2}, with_inf[4] = {1, INFINITY, 2, 3};
    for (const f64* x : {static_cast<const f64*>(nullptr), constant, with_inf}) {
        const i64 n = x ? 4 : 0;
        f64 z[4], out[4] = {0, 0, 0, kSentinel};
        EXPECT_EQ(ksx_acorr(x, n, 2, z, out), DIAG_UDEF_VARIANCE);
        for (int l = 0; l < 3; ++l) EXPECT_TRUE(std::isnan(out[l]));
        EXPECT_EQ(out[3], kSentinel);
    }
    // L < 0: the status follows the variance, nothing is written.
    f64 z[4], out[1] = {kSentinel};
    EXPECT_EQ(ksx_acorr(kY5, 4, -1, z, out), DIAG_OK);
    EXPECT_EQ(ksx_acorr(constant, 4, -1, z, out), DIAG_UDEF_VARIANCE);
    EXPECT_EQ(out[0], kSentinel);
}

// ---- worked examples -------------------------------------------------------

TEST(DiagExamples, ScalarStatistics) {
    const f64 x4[4] = {1, 2, 3, 4}, eps3[3] = {1, 2, 4}, x_ramp[3] = {0, 1, 2};
    f64 alt[10], spike[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, skewed[5] = {1, 2, 3, 4, 10};
    for (int i = 0; i < 10; ++i) alt[i] = i % 2 ? -1.0 : 1.0;
    const f64 lb = 24.0 * (0.25 * 0.25 / 3 + 0.3 * 0.3 / 2 + 0.45 * 0.45);
    // JB of 1, 2, 3, 4, 10: mean 4, deviations -3, -2, -1, 0, 6.
    const f64 m2 = 50.0 / 5, m3 = 180.0 / 5, m4 = 1394.0 / 5;
    const f64 jb5 = 5 * (m3 * m3 / (m2 * m2 * m2) / 6 + std::pow(m4 / (m2 * m2) - 3, 2) / 24);
    struct Case { const char* what; std::function<int(f64*)> run; int status; f64 want; };
    const Case cases[] = {
        // eps (1, 2, 4) on (1, eps[r-1]) with a pre-sample zero: rss = 1/6, tss = 21.
        {"bg one lag", [&](f64* o) { return ksx_bg_stat(eps3, nullptr, 3, 0, 1, o); }, DIAG_OK, 3.0 * (1 - 1.0 / 126)},
        {"bg zero eps, lags 0", [&](f64* o) { return ksx_bg_stat(kZeros, x_ramp, 3, 1, 0, o); }, DIAG_OK, 0.0},
        // ones column, y = (0, 1, 2), break at 1: rss_c = 2, s = 1/2.
        {"chow means", [](f64* o) { return ksx_chow_stat(kY012, kOnes, 3, 1, 1, o); }, DIAG_OK, 3.0},
        {"cusum ones", [](f64* o) { return ksx_cusum_stat(kY012, kOnes, 3, 1, o); }, DIAG_OK, (1 + std::sqrt(3.0)) / 4},
        {"lb L = 3", [&](f64* o) { f64 z[4], r[4]; return ksx_lb_stat(x4, 4, 3, z, r, o); }, DIAG_OK, lb},
        {"lb L clamped", [&](f64* o) { f64 z[4], r[4]; return ksx_lb_stat(x4, 4, 10, z, r, o); }, DIAG_OK, lb},
        {"jb alternating 10", [&](f64* o) { return ksx_jb_stat(alt, 10, o); }, DIAG_OK, 10.0 / 6},
        {"jb alternating 8", [&](f64* o) { return ksx_jb_stat(alt, 8, o); }, DIAG_TOO_FEW_OBS, 8.0 / 6},
        {"jb spike", [&](f64* o) { return ksx_jb_stat(spike, 10, o); }, DIAG_OK, 10 * (64.0 / 54 + std::pow(73.0 / 9 - 3, 2) / 24)},
        {"jb 1 2 3 4 10", [&](f64* o) { return ksx_jb_stat(skewed, 5, o); }, DIAG_TOO_FEW_OBS, jb5},
    };
    for (const auto& c : cases) {
        f64 out = kSentinel;
        EXPECT_EQ(c.run(&out), c.status) << c.what;
        expect_close(c.want, out, 1e-13, c.what);
    }
    // Ten copies of 0.1: the rounded mean leaves identical deviations.
    const std::vector<f64> tenth(10, 0.1);
    f64 out = 0;
    EXPECT_EQ(ksx_jb_stat(tenth.data(), 10, &out), DIAG_OK);
    expect_close(10.0 / 3, out, 1e-12, "jb ten tenths");
    EXPECT_EQ(ksx_jb_stat(alt, 9, &out), DIAG_TOO_FEW_OBS);  // still computed below ten
    EXPECT_TRUE(std::isfinite(out));
}

TEST(DiagExamples, Autocorrelation) {
    const f64 x[4] = {1, 2, 3, 4}, tenth[3] = {0.1, 0.1, 0.1};
    f64 z[4], out[6];
    ASSERT_EQ(ksx_acorr(x, 4, 5, z, out), DIAG_OK);
    const f64 want[6] = {1.0, 0.25, -0.3, -0.45, 0.0, 0.0};
    EXPECT_EQ(out[0], 1.0);
    for (int l = 1; l < 4; ++l) expect_close(want[l], out[l], 1e-15, "acorr");
    EXPECT_EQ(out[4], 0.0);
    EXPECT_EQ(out[5], 0.0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(z[i], x[i] - 2.5);
    ASSERT_EQ(ksx_acorr(tenth, 3, 1, z, out), DIAG_OK);
    expect_close(2.0 / 3, out[1], 1e-15, "acorr tenths");
}

// Column of ones, y = (0, 1, 2): w = (1/sqrt2, sqrt(3/2)), sigma = 1.
TEST(DiagExamples, CusumFamilyOnOnes) {
    const f64 w0 = 1 / std::sqrt(2.0), w1 = std::sqrt(1.5);
    f64 w[2], series[2], stat = 0;
    i64 n = 0;
    ASSERT_EQ(ksx_recursive_residuals(kY012, kOnes, 3, 1, w), DIAG_OK);
    expect_close(w0, w[0], 1e-15, "w0");
    expect_close(w1, w[1], 1e-15, "w1");
    ASSERT_EQ(ksx_cusum_series(kY012, kOnes, 3, 1, series), DIAG_OK);
    expect_close(w0, series[0], 1e-15, "series0");
    expect_close(w0 + w1, series[1], 1e-15, "series1");
    ASSERT_EQ(ksx_cusumsq_stat(kY012, kOnes, 3, 1, &n, &stat), DIAG_OK);
    EXPECT_EQ(n, 2);
    expect_close(std::sqrt(2.0) / 8, stat, 1e-15, "cusumsq");
    // One recursive residual: the only gap is 0 and the CUSUM divisor is 1.
    ASSERT_EQ(ksx_cusumsq_stat(kY012, kOnes, 2, 1, &n, &stat), DIAG_OK);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(stat, 0.0);
}

// Without regressors the recursive residuals are y itself and the nested
// scratch blocks have size zero.
TEST(DiagExamples, NoRegressors) {
    const f64 y[4] = {1, 0, 0, 0};
    f64 w[5], stat = 0;
    i64 n = 0;
    ASSERT_EQ(ksx_recursive_residuals(kY5, nullptr, 5, 0, w), DIAG_OK);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(w[i], kY5[i]);
    ASSERT_EQ(ksx_cusumsq_stat(y, nullptr, 4, 0, &n, &stat), DIAG_OK);
    expect_close(0.75 / std::sqrt(2.0), stat, 1e-15, "first residual only");
    ASSERT_EQ(ksx_cusumsq_stat(kZeros, nullptr, 4, 0, &n, &stat), DIAG_OK);
    EXPECT_EQ(n, 4);
    EXPECT_TRUE(std::isnan(stat));
}

// ---- randomised comparison with the long-double reference ------------------

TEST(DiagRandom, RegressionKernelsMatchReference) {
    std::mt19937_64 rng(20240611);
    std::normal_distribution<f64> gauss;
    for (int trial = 0; trial < 12; ++trial) {
        const i64 p = 1 + trial % 3, T = 12 + 7 * trial;
        std::vector<f64> X(T * p), y(T);
        for (i64 r = 0; r < T; ++r) {
            X[r * p] = 1.0;
            for (i64 j = 1; j < p; ++j) X[r * p + j] = gauss(rng);
            y[r] = 0.5 * r / T + dot_row(&X[r * p], Vec(p, 1)) + gauss(rng);
        }
        const auto X0 = X, y0 = y;
        f64 stat = 0, rss = 0, tss = 0;
        i64 n = 0;

        // Breusch-Godfrey: eps on (1, X without its constant, lags) with pre-sample zeros.
        const i64 K = p - 1, lags = 1 + trial % 3, q = K + lags + 1;
        std::vector<f64> Xk(T * K), design(T * q);
        for (i64 r = 0; r < T; ++r) {
            for (i64 c = 0; c < K; ++c) Xk[r * K + c] = X[r * p + 1 + c];
            design[r * q] = 1;
            for (i64 c = 0; c < K; ++c) design[r * q + 1 + c] = X[r * p + 1 + c];
            for (i64 l = 1; l <= lags; ++l) design[r * q + K + l] = r >= l ? y[r - l] : 0;
        }
        LD eps_sq = 0;
        for (f64 e : y) eps_sq += LD(e) * e;
        ASSERT_EQ(ksx_bg_stat(y.data(), Xk.data(), T, K, lags, &stat), DIAG_OK);
        expect_close(T * (1 - ls_rss(design.data(), y.data(), 0, T, q) / eps_sq), stat, 1e-9, "bg");

        // Breusch-Pagan on X itself.
        std::vector<f64> g(T);
        LD g_mean = 0, g_tss = 0;
        for (i64 r = 0; r < T; ++r) {
            g[r] = double(LD(y[r]) * y[r] / (eps_sq / T));
            g_mean += g[r];
        }
        g_mean /= T;
        for (f64 v : g) g_tss += (v - g_mean) * (v - g_mean);
        ASSERT_EQ(ksx_bp_aux(y.data(), X.data(), T, p, &rss, &tss), DIAG_OK);
        expect_close(ls_rss(X.data(), g.data(), 0, T, p), rss, 1e-9, "bp rss");
        expect_close(g_tss, tss, 1e-9, "bp tss");

        // Chow at a break that leaves both segments identified.
        const i64 tb = p + 1 + trial % (T - 2 * p - 1);
        const LD s = ls_rss(X.data(), y.data(), 0, tb, p) + ls_rss(X.data(), y.data(), tb, T, p);
        const LD F = ((ls_rss(X.data(), y.data(), 0, T, p) - s) / p) / (s / (T - 2 * p));
        ASSERT_EQ(ksx_chow_stat(y.data(), X.data(), T, p, tb, &stat), DIAG_OK);
        expect_close(F, stat, 1e-9, "chow");

        // Recursive residuals and the CUSUM family built on them.
        const Vec w = ref_recursive(X.data(), y.data(), T, p);
        const LD sigma = std::sqrt(ls_rss(X.data(), y.data(), 0, T, p) / (T - p));
        const i64 nrec = T - p;
        std::vector<f64> got(nrec), series(nrec);
        ASSERT_EQ(ksx_recursive_residuals(y.data(), X.data(), T, p, got.data()), DIAG_OK);
        ASSERT_EQ(ksx_cusum_series(y.data(), X.data(), T, p, series.data()), DIAG_OK);
        LD acc = 0, cusum = 0, total = 0, sq = 0, gap = 0;
        for (LD v : w) total += v * v;
        for (i64 i = 0; i < nrec; ++i) {
            expect_close(w[i], got[i], 1e-9, "recursive residual");
            acc += w[i];
            expect_close(acc / sigma, series[i], 1e-9, "cusum series");
            cusum = std::fmax(cusum, std::fabs(acc / sigma) / (std::sqrt(LD(nrec)) + 2 * i / std::sqrt(LD(nrec))));
            sq += w[i] * w[i];
            gap = std::fmax(gap, std::fabs(sq / total - LD(i + 1) / nrec));
        }
        ASSERT_EQ(ksx_cusum_stat(y.data(), X.data(), T, p, &stat), DIAG_OK);
        expect_close(cusum, stat, 1e-9, "cusum stat");
        ASSERT_EQ(ksx_cusumsq_stat(y.data(), X.data(), T, p, &n, &stat), DIAG_OK);
        EXPECT_EQ(n, nrec);
        expect_close(gap / std::sqrt(LD(2)), stat, 1e-9, "cusumsq stat");
        EXPECT_EQ(X, X0);
        EXPECT_EQ(y, y0);
    }
}

}  // namespace
