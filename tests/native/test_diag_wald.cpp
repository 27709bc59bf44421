// Lag windows, bandwidth rules, HAC covariance, Wald statistic and moment
// helpers, against hand-worked values and plain reference formulations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "diag_wald.h"

namespace {

using Vec = std::vector<f64>;
const f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
const f64 kInf = std::numeric_limits<f64>::infinity();
const f64 kPi = 3.14159265358979323846;
const f64 S = -12345.5;  // sentinel for entries that must stay unwritten

bool same_bits(f64 a, f64 b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Vec random_matrix(std::mt19937_64& rng, i64 n, i64 p) {
    std::normal_distribution<f64> normal(0.0, 1.0);
    Vec m(n * p);
    for (f64& v : m) v = normal(rng);
    return m;
}

// Columns: 0.5^i, +-1 alternating, and a constant 7.
Vec andrews_columns(int n) {
    Vec r(3 * n);
    for (int i = 0; i < n; ++i) r[3 * i] = std::ldexp(1.0, -i), r[3 * i + 1] = i % 2 ? -1.0 : 1.0, r[3 * i + 2] = 7;
    return r;
}

Vec column(const Vec& r, int col, int ncols) {
    Vec c;
    for (size_t i = col; i < r.size(); i += ncols) c.push_back(r[i]);
    return c;
}

Vec hac(Vec r, KernelID id, i64 L, i64 n, i64 p) {
    Vec gamma(std::max<i64>(p * p, 0)), out(std::max<i64>(p * p, 0));
    ksx_hac_estimator_matmul(r.data(), id, L, n, p, gamma.data(), out.data());
    return out;
}

}  // namespace

TEST(KernelWeight, TablesAtBandwidthThree) {
    const f64 bartlett[] = {1.0, 0.75, 0.5, 0.25, 0.0, 0.0};
    const f64 parzen[] = {1.0, 0.71875, 0.25, 0.03125, 0.0, 0.0};
    const f64 qs[] = {1.0, 0.913946, 0.686931, 0.397910, 0.137861, -0.028668};
    for (i64 j = 0; j < 6; ++j) {
        EXPECT_EQ(kernel_weight(j, 3, BARTLETT), bartlett[j]) << j;
        EXPECT_EQ(kernel_weight(j, 3, PARZEN), parzen[j]) << j;
        EXPECT_NEAR(kernel_weight(j, 3, QS), qs[j], 1e-6) << j;
        EXPECT_EQ(kernel_weight(j, 3, KERNEL_COUNT), 0.0) << j;
        EXPECT_EQ(kernel_weight(j, 3, 0xFFFFFFFFu), 0.0) << j;
    }
}

TEST(KernelWeight, ParzenFusedAndQsTextbookForm) {
    for (i64 L = 1; L <= 40; ++L) {
        for (i64 j = 1; j <= L + 1; ++j) {
            const f64 x = static_cast<f64>(j) / static_cast<f64>(L + 1), s = x * x;
            if (x <= 0.5) {
                EXPECT_TRUE(same_bits(kernel_weight(j, L, PARZEN), std::fma(6.0, s * x, std::fma(-6.0, s, 1.0))));
            }
            const f64 z = 6.0 * kPi * x / 5.0;
            const f64 qs = 25.0 / (12.0 * kPi * kPi * s) * (std::sin(z) / z - std::cos(z));
            EXPECT_NEAR(kernel_weight(j, L, QS), qs, 1e-11) << j << "/" << L;
        }
    }
}

TEST(BandwidthRules, WooldridgeAndAndrewsSeries) {
    const i64 table[][2] = {{0, 0}, {1, 1}, {10, 2}, {100, 4}, {1000, 6}, {10000, 11}, {-5, 0}};
    for (const auto& row : table) EXPECT_EQ(wooldridge_bandwidth(nullptr, row[0]), row[1]) << row[0];

    const Vec r = andrews_columns(30), half = column(r, 0, 3), alt = column(r, 1, 3);
    EXPECT_EQ(andrews_bandwidth(half.data(), BARTLETT, 30), 6);  // rhat 0.5, beta 6
    EXPECT_EQ(andrews_bandwidth(half.data(), PARZEN, 30), 7);
    EXPECT_EQ(andrews_bandwidth(half.data(), QS, 30), 3);
    EXPECT_EQ(andrews_bandwidth(half.data(), KERNEL_COUNT, 30), 1);  // unknown window, no table read
    for (KernelID id : {BARTLETT, PARZEN, QS}) EXPECT_EQ(andrews_bandwidth(alt.data(), id, 30), 1);
    Vec ramp{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(andrews_bandwidth(ramp.data(), BARTLETT, 10), 391);  // rhat clamped to 0.999
    EXPECT_EQ(andrews_bandwidth(nullptr, BARTLETT, -4), 1);
}

TEST(BandwidthRules, AndrewsMatrixMedianAndScratch) {
    const Vec r3 = andrews_columns(30);
    Vec r2;  // first two columns only
    for (int i = 0; i < 30; ++i) r2.insert(r2.end(), {r3[3 * i], r3[3 * i + 1]});
    Vec ls(3, S);
    EXPECT_EQ(andrews_bandwidth_matrix(r2.data(), BARTLETT, 30, 2, ls.data()), 3);  // median 3.5
    EXPECT_EQ(ls, (Vec{1, 6, S}));
    EXPECT_EQ(andrews_bandwidth_matrix(r2.data(), PARZEN, 30, 2, ls.data()), 4);
    ls.assign(3, S);  // the constant third column is left out, not counted as 1
    EXPECT_EQ(andrews_bandwidth_matrix(r3.data(), BARTLETT, 30, 3, ls.data()), 3);
    EXPECT_EQ(ls, (Vec{1, 6, S}));

    Vec half_const = r2;
    for (int i = 0; i < 30; ++i) half_const[2 * i + 1] = 7;
    ls.assign(3, S);
    EXPECT_EQ(andrews_bandwidth_matrix(half_const.data(), BARTLETT, 30, 2, ls.data()), 6);
    EXPECT_EQ(ls, (Vec{6, S, S}));

    ls.assign(3, S);
    const Vec flat(60, 7.0), half = column(r3, 0, 3);
    EXPECT_EQ(andrews_bandwidth_matrix(flat.data(), BARTLETT, 30, 2, ls.data()), 1);
    EXPECT_EQ(andrews_bandwidth_matrix(half.data(), PARZEN, 30, 1, ls.data()), 7);
    EXPECT_EQ(andrews_bandwidth_matrix(half.data(), KERNEL_COUNT, 30, 1, ls.data()), 1);
    EXPECT_EQ(andrews_bandwidth_matrix(r3.data(), KERNEL_COUNT, 30, 3, ls.data()), 1);
    EXPECT_EQ(andrews_bandwidth_matrix(r3.data(), BARTLETT, 0, 3, ls.data()), 1);
    EXPECT_EQ(andrews_bandwidth_matrix(nullptr, BARTLETT, 30, 0, ls.data()), 1);
    EXPECT_EQ(ls, Vec(3, S));
}

TEST(HacEstimator, WorkedExamplesAndDegenerateSizes) {
    // Gamma_0..3 of 1,2,3,4: 30, 20, 11, 4.
    const struct { KernelID id; i64 L; f64 expected; } cases[] = {
        {BARTLETT, 0, 7.5},    {QS, -3, 7.5},         {BARTLETT, 1, 12.5}, {BARTLETT, 3, 18.25},
        {BARTLETT, 10, 18.25}, {PARZEN, 3, 16.125},   {PARZEN, 99, 16.125}, {7u, 3, 7.5}};
    for (const auto& c : cases) EXPECT_EQ(hac({1, 2, 3, 4}, c.id, c.L, 4, 1)[0], c.expected) << c.id << "," << c.L;
    EXPECT_NEAR(hac({1, 2, 3, 4}, QS, 3, 4, 1)[0], 21.2134, 1e-4);
    EXPECT_EQ(hac({1, 0, 0, 1, 1, 1}, BARTLETT, 1, 3, 2), (Vec{2.0 / 3, 2.0 / 3, 2.0 / 3, 3.0 / 3}));

    for (i64 n : {0, -3})  // no rows, and a negative count treated as none
        for (f64 v : hac({}, BARTLETT, 2, n, 2)) EXPECT_TRUE(std::isnan(v));
    f64 untouched = S;
    ksx_hac_estimator_matmul(nullptr, BARTLETT, 2, 5, -1, nullptr, &untouched);
    EXPECT_EQ(untouched, S);
}

TEST(HacEstimator, MatchesExplicitLagSumsAndIsSymmetric) {
    std::mt19937_64 rng(20240611);
    const i64 n = 37, p = 4;
    for (KernelID id : {BARTLETT, PARZEN, QS}) {
        for (i64 L : {1, 4, 9, 60}) {
            const Vec r = random_matrix(rng, n, p), got = hac(r, id, L, n, p);
            const i64 lags = std::min(L, n - 1);
            for (i64 a = 0; a < p; ++a) {
                for (i64 b = 0; b < p; ++b) {
                    long double sum = 0, mag = 0;  // lag 0 enters as half of its symmetrised sum
                    for (i64 j = 0; j <= lags; ++j) {
                        const long double w = j == 0 ? 0.5L : kernel_weight(j, lags, id);
                        for (i64 t = 0; t + j < n; ++t) {
                            const long double term = w * ((long double)r[t * p + a] * r[(t + j) * p + b] +
                                                          (long double)r[t * p + b] * r[(t + j) * p + a]);
                            sum += term, mag += std::fabs(term);
                        }
                    }
                    EXPECT_NEAR(got[a * p + b], (f64)(sum / n), 1e-13 * (f64)(mag / n));
                    EXPECT_TRUE(same_bits(got[a * p + b], got[b * p + a]));
                }
            }
        }
    }
}

namespace {

// The long-run covariance with one sequential chain per output: each entry of
// Gamma_0 (lower triangle, mirrored) and of every Gamma_j a fused sum over t
// ascending from +0.0, each lag's symmetrised update fused into out in
// increasing j, then the division by n.  `last` receives the last lag product
// formed, as the kernel leaves it in its scratch.
Vec hac_one_chain(const Vec& r, KernelID id, i64 L, i64 n, i64 p, Vec& last) {
    Vec out(p * p, 0.0), prod(p * p);
    for (i64 a = 0; a < p; ++a)
        for (i64 b = 0; b <= a; ++b) {
            f64 s = 0.0;
            for (i64 t = 0; t < n; ++t) s = std::fma(r[t * p + a], r[t * p + b], s);
            out[a * p + b] = out[b * p + a] = s;
        }
    const i64 lags = std::min(L, n - 1);
    for (i64 j = 1; j <= lags; ++j) {
        const f64 w = kernel_weight(j, lags, id);
        if (w == 0.0) continue;
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b) {
                f64 s = 0.0;
                for (i64 t = 0; t + j < n; ++t) s = std::fma(r[t * p + a], r[(t + j) * p + b], s);
                prod[a * p + b] = s;
            }
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b) out[a * p + b] = std::fma(w, prod[a * p + b] + prod[b * p + a], out[a * p + b]);
        last = prod;
    }
    for (f64& v : out) v = v / static_cast<f64>(n);
    return out;
}

}  // namespace

// Lags computed several at a time, in row blocks and register tiles, must give
// every bit of the one-chain formulation, for every width p (spans that fill
// whole vectors and spans that leave scalar lanes), row counts inside one row
// block and across many, bandwidths from 0 to beyond n - 1, and windows whose
// weights are all positive, of both signs, or all zero.
class HacBlocking : public ::testing::TestWithParam<i64> {};

TEST_P(HacBlocking, EqualsOneChainPerOutput) {
    const i64 p = GetParam();
    std::mt19937_64 rng(977 + p);
    for (i64 n : {1, 2, 3, 5, 8, 37, 333, 2100}) {
        if (n * p * p > 2000000) continue;
        const Vec r = random_matrix(rng, n, p);
        for (i64 L : std::vector<i64>{0, 1, 2, 3, 4, 5, 7, 9, 24, n - 2, n - 1, n, n + 3}) {
            if (L > 40 && n > 40) continue;
            for (KernelID id : {KernelID(BARTLETT), KernelID(QS), KernelID(7)}) {
                Vec want_last(p * p, S), gamma(p * p, S), out(p * p, S);
                const Vec want = hac_one_chain(r, id, L, n, p, want_last);
                Vec input = r;
                ksx_hac_estimator_matmul(input.data(), id, L, n, p, gamma.data(), out.data());
                ASSERT_EQ(std::memcmp(input.data(), r.data(), r.size() * sizeof(f64)), 0);
                for (i64 e = 0; e < p * p; ++e) {
                    ASSERT_TRUE(same_bits(out[e], want[e]))
                        << "p=" << p << " n=" << n << " L=" << L << " id=" << id << " entry " << e << ": "
                        << out[e] << " vs " << want[e];
                    ASSERT_TRUE(same_bits(gamma[e], want_last[e]))
                        << "scratch, p=" << p << " n=" << n << " L=" << L << " id=" << id << " entry " << e;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(WidthsOneToForty, HacBlocking, ::testing::Range<i64>(1, 41));

namespace {

// n * dev' A^-1 dev by Gaussian elimination with partial pivoting.
f64 wald_by_elimination(Vec A, Vec x, i64 n, i64 p) {
    const Vec dev = x;
    for (i64 c = 0; c < p; ++c) {
        i64 piv = c;
        for (i64 i = c + 1; i < p; ++i)
            if (std::fabs(A[i * p + c]) > std::fabs(A[piv * p + c])) piv = i;
        for (i64 k = 0; k < p; ++k) std::swap(A[c * p + k], A[piv * p + k]);
        std::swap(x[c], x[piv]);
        for (i64 i = c + 1; i < p; ++i) {
            const f64 f = A[i * p + c] / A[c * p + c];
            for (i64 k = c; k < p; ++k) A[i * p + k] -= f * A[c * p + k];
            x[i] -= f * x[c];
        }
    }
    f64 quad = 0;
    for (i64 i = p - 1; i >= 0; --i) {
        for (i64 k = i + 1; k < p; ++k) x[i] -= A[i * p + k] * x[k];
        x[i] /= A[i * p + i];
        quad += dev[i] * x[i];
    }
    return n * quad;
}

int wald(const Vec& mean, const Vec& target, const Vec& omega, i64 n, f64* stat) {
    Vec dev(mean.size()), L(omega.size());
    return ksx_wald_stat_from_mean_and_cov(mean.data(), target.data(), omega.data(), n,
                                           static_cast<i64>(mean.size()), dev.data(), L.data(), stat);
}

}  // namespace

TEST(WaldStat, WorkedAndFailingCovariances) {
    f64 stat = S;
    EXPECT_EQ(wald({1, 2}, {0, 0}, {1, 0, 0, 1}, 10, &stat), DIAG_OK);
    EXPECT_EQ(stat, 50.0);
    EXPECT_EQ(wald({3, 5}, {1, 2}, {4, 0, 0, 9}, 1, &stat), DIAG_OK);
    EXPECT_EQ(stat, 2.0);
    EXPECT_EQ(wald({}, {}, {}, 10, &stat), DIAG_OK);
    EXPECT_EQ(stat, 0.0);
    stat = S;
    EXPECT_EQ(wald({1, 2}, {0, 0}, {1, 1, 1, 1}, 10, &stat), DIAG_FALLBACK);
    EXPECT_EQ(wald({1, 2}, {0, 0}, {-1, 0, 0, 1}, 10, &stat), DIAG_FALLBACK);
    EXPECT_EQ(stat, S);
    EXPECT_EQ(ksx_wald_stat_from_mean_and_cov(nullptr, nullptr, nullptr, 3, -2, nullptr, nullptr, &stat), DIAG_OK);
    EXPECT_EQ(stat, 0.0);
}

TEST(WaldStat, MatchesGaussianElimination) {
    std::mt19937_64 rng(7);
    for (i64 p : {1, 2, 5, 9}) {
        const Vec m = random_matrix(rng, p + 3, p), mean = random_matrix(rng, 1, p), target = random_matrix(rng, 1, p);
        Vec full(p * p), lower(p * p), dev(p);
        for (i64 i = 0; i < p; ++i) {
            dev[i] = mean[i] - target[i];
            for (i64 k = 0; k < p; ++k) {
                f64 s = i == k ? 0.5 : 0.0;
                for (i64 t = 0; t < p + 3; ++t) s += m[t * p + i] * m[t * p + k];
                full[i * p + k] = s;
                lower[i * p + k] = k > i ? 1e6 : s;  // the upper triangle must not be read
            }
        }
        f64 stat = S;
        ASSERT_EQ(wald(mean, target, lower, 25, &stat), DIAG_OK);
        const f64 expected = wald_by_elimination(full, dev, 25, p);
        EXPECT_NEAR(stat, expected, 1e-10 * std::fabs(expected)) << p;
    }
}

TEST(MomentTarget, ToleranceRuleAndPartialWrites) {
    const struct { Vec t; f64 atol, rtol; int status; } cases[] = {
        {{1, 2, 2, 5}, 0, 0, DIAG_OK},          {{1, 2, 2.1, 5}, 0, 0, DIAG_BAD_SHAPE},
        {{1, 2, 2.1, 5}, 0.2, 0, DIAG_OK},      {{1, 2, 2.1, 5}, 0, 0.05, DIAG_OK},
        {{1, 2.1, 2, 5}, 0, 0.05, DIAG_BAD_SHAPE},  // relative scale is the lower element
        {{1, 1, 1.5, 1}, 0.5, 0, DIAG_OK},          // a difference equal to the tolerance passes
        {{1, 1, 1.5, 1}, std::nextafter(0.5, 0.0), 0, DIAG_BAD_SHAPE},
        {{1, 2, 2.5, 5}, kNaN, 0, DIAG_OK},     {{1, 2, 2.5, 5}, 1e9, kNaN, DIAG_OK},
        {{1, -0.0, 0.0, 5}, -1, -1, DIAG_OK},   {{1, 2, 2 + 1e-15, 5}, -1, 0, DIAG_BAD_SHAPE},
        {{kNaN, 2, 2, 5}, 1e300, 1, DIAG_BAD_SHAPE}, {{1, 2, kNaN, 5}, 1e300, 1, DIAG_BAD_SHAPE},
        {{kInf, 2, 2, 5}, 0, 0, DIAG_OK},       {{1, -kInf, -kInf, 5}, 0, 0, DIAG_OK},
        {{1, kInf, 2, 5}, kInf, 1, DIAG_BAD_SHAPE}};
    for (const auto& c : cases) {
        Vec out(3, S);
        EXPECT_EQ(ksx_fill_symmetric_target_vec(c.t.data(), c.atol, c.rtol, 2, out.data()), c.status)
            << c.t[1] << " " << c.t[2] << " " << c.atol << " " << c.rtol;
        if (c.status == DIAG_OK) {  // the upper element is packed as is, never averaged
            EXPECT_TRUE(same_bits(out[0], c.t[0]) && same_bits(out[1], c.t[1]) && same_bits(out[2], c.t[3]));
        }
    }

    const Vec bad{4, 1, 2, 1.5, 5, 3, 2, 3, 6}, good{4, 1, 2, 1, 5, 3, 2, 3, 6};
    Vec out(6, S);
    EXPECT_EQ(ksx_fill_symmetric_target_vec(bad.data(), 0, 0, 3, out.data()), DIAG_BAD_SHAPE);
    EXPECT_EQ(out, (Vec{4, S, S, S, S, S}));
    EXPECT_EQ(ksx_fill_symmetric_target_vec(good.data(), 0, 0, 3, out.data()), DIAG_OK);
    EXPECT_EQ(out, (Vec{4, 1, 2, 5, 3, 6}));
}

TEST(MomentOuterProduct, VechOrderAndStride) {
    const Vec x{1, 2, 3, -1, 0.5, 4};
    Vec out(14, S);
    EXPECT_EQ(ksx_symmetric_outer_prod_2dim(x.data(), 2, 3, 7, out.data()), DIAG_OK);
    EXPECT_EQ(out, (Vec{1, 2, 3, 4, 6, 9, S, 1, -0.5, -4, 0.25, 2, 16, S}));
    out.assign(14, S);
    EXPECT_EQ(ksx_symmetric_outer_prod_2dim(x.data(), 0, 3, 6, out.data()), DIAG_OK);
    EXPECT_EQ(ksx_symmetric_outer_prod_2dim(x.data(), 2, 0, 0, out.data()), DIAG_OK);
    EXPECT_EQ(ksx_symmetric_outer_prod_2dim(x.data(), 2, 3, 5, out.data()), DIAG_BAD_SHAPE);  // rows would overlap
    EXPECT_EQ(out, Vec(14, S));
}

TEST(MomentMeans, LeftFoldTrueDivisionAndEdges) {
    const f64 big = 9007199254740992.0;  // 2^53: in row order each +1 rounds away
    const Vec col{big, 1.0, 1.0, -big};
    Vec mean(3, S);
    ksx_fill_mean_ax0(col.data(), 4, 1, mean.data());
    EXPECT_EQ(mean[0], 0.0);
    for (int k = 1; k <= 200; ++k) {
        const Vec x{static_cast<f64>(k), -0.0, 0.0, -0.0, 0.0, -0.0};
        ksx_fill_mean_ax0(x.data(), 3, 2, mean.data());
        ASSERT_TRUE(same_bits(mean[0], k / 3.0)) << k;
        ASSERT_TRUE(same_bits(mean[1], 0.0));  // a -0.0 column sums from +0.0
    }
    ksx_fill_mean_ax0(nullptr, 0, 3, mean.data());
    for (f64 v : mean) EXPECT_TRUE(std::isnan(v));

    const Vec x{1, 2, 3, 4}, m{2, 3};
    Vec centred(4, S);
    ksx_fill_centered_ax0(x.data(), m.data(), 2, 2, centred.data());
    EXPECT_EQ(centred, (Vec{-1, -1, 1, 1}));
    // No rows: neither x nor mean is read, at every width (the binding passes
    // an empty mean with an empty matrix).
    for (i64 p = 1; p <= 9; ++p) ksx_fill_centered_ax0(nullptr, nullptr, 0, p, nullptr);
}
