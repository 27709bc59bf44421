// The battery engine (ksx_battery.h): the outputs of every group are
// written, and are the same bits whether the group runs alone or in a run of
// equal-sized groups computed side by side in vector lanes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "ksx_battery.h"

namespace {

using Vec = std::vector<f64>;

constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kSentinel = -7.25e300;
constexpr i64 kI64Sentinel = 0x5A5A5A5A5A5A5A5ALL;
constexpr int32_t kI32Sentinel = 0x5A5A5A5A;
constexpr uint8_t kU8Sentinel = 0x5A;
constexpr int T = KSX_T_COUNT;
constexpr uint64_t kAllTests = (uint64_t{1} << KSX_T_COUNT) - 1;

// ---------------------------------------------------------------- inputs

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    uint64_t next() {
        uint64_t x = (s += 0x9E3779B97F4A7C15ull);
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }
    f64 unit() { return static_cast<f64>(next() >> 11) * 0x1.0p-53; }
    f64 normal() {  // sum of twelve uniforms: mean 0, variance 1
        f64 s = 0.0;
        for (int k = 0; k < 12; ++k) s += unit();
        return s - 6.0;
    }
};

ksx_battery_options options_all() {
    ksx_battery_options o{};
    o.tests = kAllTests;
    o.lags = 4;
    o.arch_lags = 2;
    o.break_at = -1;
    o.kernel_id = 0;
    o.bandwidth = -1;
    o.power = 3;
    o.trim = 0.15;
    o.cusum_scale = 0;
    o.white_cross = 1;
    return o;
}

// One group's data: n rows of y, X (p columns) and optionally Z (q columns).
struct Group {
    i64 n = 0, p = 0, q = 0;
    Vec y, X, Z;
};

// A well-conditioned regression: a constant (when asked), a trend, a cycle
// and normal columns; errors with some autocorrelation and heteroskedasticity.
Group regression(uint64_t seed, i64 n, i64 p, bool constant = true) {
    Rng g(seed);
    Group d;
    d.n = n;
    d.p = p;
    d.X.resize(n * p);
    d.y.resize(n);
    f64 e = 0.0;
    for (i64 t = 0; t < n; ++t) {
        const f64 ft = static_cast<f64>(t);
        for (i64 j = 0; j < p; ++j) {
            f64 v;
            const i64 kind = constant ? j : j + 1;
            if (kind == 0) v = 1.0;
            else if (kind == 1) v = ft / static_cast<f64>(n) - 0.5;
            else if (kind == 2) v = std::sin(0.7 * ft + static_cast<f64>(seed % 7));
            else v = g.normal();
            d.X[t * p + j] = v;
        }
        e = 0.4 * e + (1.0 + 0.5 * std::fabs(d.X[t * p + (p > 1 ? 1 : 0)])) * g.normal();
        f64 yt = e;
        for (i64 j = 0; j < p; ++j) yt += (0.5 + 0.25 * static_cast<f64>(j)) * d.X[t * p + j];
        d.y[t] = yt;
    }
    return d;
}

// Stacked groups, as the engine takes them.
struct Stack {
    i64 p = 0, q = 0;
    Vec y, X, Z;
    std::vector<i64> starts{0};

    Stack() = default;
    Stack(i64 p_, i64 q_) : p(p_), q(q_) {}
    void add(const Group& d) {
        y.insert(y.end(), d.y.begin(), d.y.end());
        X.insert(X.end(), d.X.begin(), d.X.end());
        Z.insert(Z.end(), d.Z.begin(), d.Z.end());
        starts.push_back(starts.back() + d.n);
    }
    i64 N() const { return starts.back(); }
    i64 G() const { return static_cast<i64>(starts.size()) - 1; }
    i64 n(i64 g) const { return starts[g + 1] - starts[g]; }
    Group group(i64 g) const {
        Group d;
        d.n = n(g);
        d.p = p;
        d.q = q;
        const i64 s = starts[g];
        d.y.assign(y.begin() + s, y.begin() + s + d.n);
        d.X.assign(X.begin() + s * p, X.begin() + (s + d.n) * p);
        if (q) d.Z.assign(Z.begin() + s * q, Z.begin() + (s + d.n) * q);
        return d;
    }
};

Stack single(const Group& d) {
    Stack s(d.p, d.q);
    s.add(d);
    return s;
}

// Every output of a call, filled with sentinels before it.
struct Outputs {
    i64 G, N, p;
    Vec stat;
    std::vector<i64> df1, df2;
    std::vector<int32_t> status;
    std::vector<uint32_t> flags;
    std::vector<i64> info;
    std::vector<int32_t> fit_status;
    std::vector<i64> rank;
    std::vector<uint8_t> has_constant;
    Vec rss, tss, coef, bse;
    std::vector<uint8_t> dependent;
    Vec coef_hac, resid, recursive, sup_f;

    Outputs(i64 G_, i64 N_, i64 p_)
        : G(G_), N(N_), p(p_), stat(G * T, kSentinel), df1(G * T, kI64Sentinel), df2(G * T, kI64Sentinel),
          status(G * T, kI32Sentinel), flags(G * T, static_cast<uint32_t>(kI32Sentinel)),
          info(G * T * KSX_INFO_WORDS, kI64Sentinel), fit_status(G, kI32Sentinel), rank(G, kI64Sentinel),
          has_constant(G, kU8Sentinel), rss(G, kSentinel), tss(G, kSentinel), coef(G * p, kSentinel),
          bse(G * p, kSentinel), dependent(G * p, kU8Sentinel), coef_hac(G * p * p, kSentinel), resid(N, kSentinel),
          recursive(N, kSentinel), sup_f(N, kSentinel) {}
    explicit Outputs(const Stack& s) : Outputs(s.G(), s.N(), s.p) {}

    // The outputs from group g0 and row r0 on; `optional` false leaves every optional output null.
    ksx_battery_out view(i64 g0 = 0, i64 r0 = 0, bool optional = true) {
        ksx_battery_out o{};
        o.stat = stat.data() + g0 * T;
        o.df1 = df1.data() + g0 * T;
        o.df2 = df2.data() + g0 * T;
        o.status = status.data() + g0 * T;
        o.flags = flags.data() + g0 * T;
        o.info = info.data() + g0 * T * KSX_INFO_WORDS;
        if (!optional) return o;
        o.fit_status = fit_status.data() + g0;
        o.rank = rank.data() + g0;
        o.has_constant = has_constant.data() + g0;
        o.rss = rss.data() + g0;
        o.tss = tss.data() + g0;
        o.coef = coef.data() + g0 * p;
        o.bse = bse.data() + g0 * p;
        o.dependent = dependent.data() + g0 * p;
        o.coef_hac = coef_hac.data() + g0 * p * p;
        o.resid = resid.data() + r0;
        o.recursive = recursive.data() + r0;
        o.sup_f = sup_f.data() + r0;
        return o;
    }

    i64 word(i64 g, int t, int m) const { return info[(g * T + t) * KSX_INFO_WORDS + m]; }
};

int run(const Stack& s, const ksx_battery_options& o, Outputs& out, bool optional = true) {
    ksx_battery_out v = out.view(0, 0, optional);
    return ksx_battery_run(s.y.data(), s.X.data(), s.N(), s.p, s.starts.data(), s.G(), s.q ? s.Z.data() : nullptr,
                           s.q, &o, &v);
}

// ---------------------------------------------------------------- bits

// Every output word of group g (rows start .. start+n-1), named.  All NaNs
// count as one value: which NaN an operation passes on is left open by IEEE
// 754 and may depend on the operand order the compiler picks; every other
// bit pattern counts.
struct Word {
    std::string field;
    i64 index;
    uint64_t bits;
};

template <class I>
void put_ints(std::vector<Word>& w, const char* field, const std::vector<I>& a, i64 from, i64 count) {
    for (i64 k = 0; k < count; ++k) w.push_back({field, k, static_cast<uint64_t>(a[from + k])});
}

void put_f64(std::vector<Word>& w, const char* field, const Vec& a, i64 from, i64 count) {
    for (i64 k = 0; k < count; ++k) {
        const f64 x = a[from + k];
        uint64_t u;
        std::memcpy(&u, &x, sizeof u);
        w.push_back({field, k, x != x ? 0x7FF8000000000000ull : u});
    }
}

std::vector<Word> group_words(const Outputs& o, i64 g, i64 start, i64 n) {
    std::vector<Word> w;
    const i64 p = o.p;
    put_f64(w, "stat", o.stat, g * T, T);
    put_ints(w, "df1", o.df1, g * T, T);
    put_ints(w, "df2", o.df2, g * T, T);
    put_ints(w, "status", o.status, g * T, T);
    put_ints(w, "flags", o.flags, g * T, T);
    put_ints(w, "info", o.info, g * T * KSX_INFO_WORDS, T * KSX_INFO_WORDS);
    put_ints(w, "fit_status", o.fit_status, g, 1);
    put_ints(w, "rank", o.rank, g, 1);
    put_ints(w, "has_constant", o.has_constant, g, 1);
    put_f64(w, "rss", o.rss, g, 1);
    put_f64(w, "tss", o.tss, g, 1);
    put_f64(w, "coef", o.coef, g * p, p);
    put_f64(w, "bse", o.bse, g * p, p);
    put_ints(w, "dependent", o.dependent, g * p, p);
    put_f64(w, "coef_hac", o.coef_hac, g * p * p, p * p);
    put_f64(w, "resid", o.resid, start, n);
    put_f64(w, "recursive", o.recursive, start, n);
    put_f64(w, "sup_f", o.sup_f, start, n);
    return w;
}

testing::AssertionResult same_words(const std::vector<Word>& a, const std::vector<Word>& b) {
    if (a.size() != b.size()) return testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k].bits != b[k].bits) {
            f64 x, y;
            std::memcpy(&x, &a[k].bits, sizeof x);
            std::memcpy(&y, &b[k].bits, sizeof y);
            return testing::AssertionFailure() << a[k].field << "[" << a[k].index << "] differs: " << std::hex
                                               << a[k].bits << " vs " << b[k].bits << std::dec << " (" << x << " vs "
                                               << y << ")";
        }
    return testing::AssertionSuccess();
}

const char* kTestNames[T] = {"breusch_godfrey", "breusch_godfrey_f", "breusch_pagan", "breusch_pagan_student",
                             "chow", "recursive_t", "cusum", "cusumsq", "ljung_box", "jarque_bera", "wald",
                             "durbin_watson", "box_pierce", "white", "arch", "reset", "sup_f"};

// ---------------------------------------------------------------- lanes and splits

// Whether any word of the group's outputs is still the sentinel it was filled with.
std::vector<std::string> unwritten(const Outputs& o, i64 g, i64 start, i64 n) {
    std::vector<std::string> out;
    const Outputs blank(o.G, o.N, o.p);
    const auto a = group_words(o, g, start, n), b = group_words(blank, g, start, n);
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k].bits == b[k].bits) out.push_back(a[k].field + "[" + std::to_string(a[k].index) + "]");
    return out;
}

std::string joined(const std::vector<std::string>& v) {
    std::ostringstream s;
    for (size_t k = 0; k < v.size() && k < 8; ++k) s << (k ? ", " : "") << v[k];
    if (v.size() > 8) s << " ... (" << v.size() << ")";
    return s.str();
}


// Groups of one size that take different branches, and ordinary ones between them.
std::vector<Group> mixed_groups(i64 n, i64 p, uint64_t seed) {
    std::vector<Group> out;
    for (int k = 0; k < 12; ++k) {
        Group d = regression(seed + static_cast<uint64_t>(k), n, p);
        switch (k) {
            case 1:  // a duplicated column: rank deficient
                if (p > 1)
                    for (i64 t = 0; t < n; ++t) d.X[t * p + p - 1] = d.X[t * p + 1];
                break;
            case 3:  // an exact fit
                for (i64 t = 0; t < n; ++t) {
                    d.y[t] = 0.0;
                    for (i64 j = 0; j < p; ++j) d.y[t] += (1.0 + static_cast<f64>(j)) * d.X[t * p + j];
                }
                break;
            case 5:  // a constant response
                for (f64& v : d.y) v = 2.5;
                break;
            case 7:  // the first rows repeat: the recursion starts late
                for (i64 t = 1; t < p + 2 && t < n; ++t)
                    for (i64 j = 0; j < p; ++j) d.X[t * p + j] = d.X[j];
                break;
            case 9:  // a column of zeros (with p = 1, rank zero)
                for (i64 t = 0; t < n; ++t) d.X[t * p + p - 1] = 0.0;
                break;
            case 10:  // the response scaled far away: the engine's units must not show
                for (f64& v : d.y) v = std::ldexp(v, 300);
                break;
            default: break;
        }
        out.push_back(d);
    }
    return out;
}

std::vector<ksx_battery_options> option_variants() {
    std::vector<ksx_battery_options> out;
    for (int v = 0; v < 5; ++v) {
        ksx_battery_options o = options_all();
        o.kernel_id = v % 3;
        o.white_cross = v % 2;
        o.cusum_scale = (v / 2) % 2;
        o.bandwidth = v == 3 ? 40 : -1;
        o.break_at = v == 4 ? 5 : -1;
        o.lags = 1 + v;
        o.arch_lags = 1 + v % 3;
        o.power = 2 + v % 3;
        if (v == 4) o.tests = (uint64_t{1} << KSX_T_SUP_F) | (uint64_t{1} << KSX_T_WALD);
        out.push_back(o);
    }
    return out;
}

// Each group alone gives the bits it gets in a run of equal-sized groups (computed side by side in
// vector lanes, the groups that leave the common branch again on f64).
TEST(BatteryLanes, EveryGroupOfARunEqualsItsRunAlone) {
    for (const i64 p : {1, 3, 4}) {
        for (const i64 n : {9, 24, 61}) {
            const std::vector<Group> groups = mixed_groups(n, p, 50 + static_cast<uint64_t>(n * p));
            Stack all(p, 0);
            for (const Group& d : groups) all.add(d);
            for (const ksx_battery_options& o : option_variants()) {
                Outputs together(all);
                ASSERT_EQ(run(all, o, together), KSX_S_OK);
                for (i64 g = 0; g < all.G(); ++g) {
                    SCOPED_TRACE(testing::Message() << "n " << n << " p " << p << " group " << g << " kernel "
                                                    << o.kernel_id << " tests " << o.tests);
                    const Stack one = single(all.group(g));
                    Outputs alone(one);
                    ASSERT_EQ(run(one, o, alone), KSX_S_OK);
                    EXPECT_TRUE(same_words(group_words(alone, 0, 0, n), group_words(together, g, all.starts[g], n)));
                    EXPECT_EQ(joined(unwritten(together, g, all.starts[g], n)), "");
                }
            }
        }
    }
}

// Groups of one and two rows, in runs: designs of zeros (rank 0, every column dependent) beside
// designs with a column, so that the lanes' ranks differ.  Every output of every group is written.
TEST(BatteryLanes, GroupsOfOneAndTwoRows) {
    for (const i64 n : {1, 2}) {
        for (const i64 p : {1, 2}) {
            Stack all(p, 0);
            for (int k = 0; k < 10; ++k) {
                Group d;
                d.n = n;
                d.p = p;
                for (i64 t = 0; t < n; ++t) {
                    d.y.push_back(1.0 + static_cast<f64>(k) - 0.5 * static_cast<f64>(t * k));
                    for (i64 j = 0; j < p; ++j) d.X.push_back(k % 3 == 0 ? 0.0 : static_cast<f64>(1 + j + t * (k + j)));
                }
                all.add(d);
            }
            for (const ksx_battery_options& o : option_variants()) {
                Outputs together(all);
                ASSERT_EQ(run(all, o, together), KSX_S_OK);
                for (i64 g = 0; g < all.G(); ++g) {
                    SCOPED_TRACE(testing::Message() << "n " << n << " p " << p << " group " << g << " kernel "
                                                    << o.kernel_id);
                    const Stack one = single(all.group(g));
                    Outputs alone(one);
                    ASSERT_EQ(run(one, o, alone), KSX_S_OK);
                    EXPECT_EQ(joined(unwritten(alone, 0, 0, n)), "");
                    EXPECT_TRUE(same_words(group_words(alone, 0, 0, n), group_words(together, g, all.starts[g], n)));
                    if (g % 3 == 0) {  // rank 0: no coefficient, and no covariance either
                        EXPECT_EQ(together.rank[g], 0);
                        for (i64 k = 0; k < p * p; ++k) EXPECT_TRUE(std::isnan(together.coef_hac[g * p * p + k]));
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------- refusals and statuses

// A fit the tests cannot use: computed and written, every asked test refused with the fit's status,
// every per-row and per-group output written (NaN where nothing is defined).
TEST(BatteryRefusals, FitsWithoutResidualVarianceAreWrittenAndRefused) {
    struct Case {
        const char* what;
        i64 n, p;
        std::function<void(Group&)> make;
        int32_t status;
        i64 rank;
    };
    const Case cases[] = {
        {"as many rows as columns", 3, 3, [](Group&) {}, KSX_S_TOO_FEW_OBS, 3},
        {"fewer rows than columns", 2, 4, [](Group&) {}, KSX_S_TOO_FEW_OBS, 2},
        {"one row", 1, 1, [](Group&) {}, KSX_S_TOO_FEW_OBS, 1},
        {"exact fit",
         15, 3,
         [](Group& d) {
             for (i64 t = 0; t < d.n; ++t) d.y[t] = 2.0 * d.X[t * 3] - 0.5 * d.X[t * 3 + 1] + d.X[t * 3 + 2];
         },
         KSX_S_UDEF_VARIANCE, 3},
        {"constant response", 15, 2, [](Group& d) { std::fill(d.y.begin(), d.y.end(), -4.0); }, KSX_S_UDEF_VARIANCE,
         2},
        {"zero response", 15, 2, [](Group& d) { std::fill(d.y.begin(), d.y.end(), 0.0); }, KSX_S_UDEF_VARIANCE, 2},
    };
    for (const Case& c : cases) {
        for (const int layout : {0, 1}) {  // alone; in a run of nine of its size
            SCOPED_TRACE(testing::Message() << c.what << (layout ? ", in a run" : ", alone"));
            Stack s(c.p, 0);
            const i64 count = layout ? 9 : 1, at = layout ? 4 : 0;
            for (i64 k = 0; k < count; ++k) {
                Group d = regression(60 + static_cast<uint64_t>(k), c.n, c.p);
                if (k == at) c.make(d);
                s.add(d);
            }
            const ksx_battery_options o = options_all();
            Outputs out(s);
            ASSERT_EQ(run(s, o, out), KSX_S_OK);
            const i64 start = s.starts[at];
            EXPECT_EQ(joined(unwritten(out, at, start, c.n)), "");
            EXPECT_EQ(out.fit_status[at], c.status);
            EXPECT_EQ(out.rank[at], c.rank);
            for (int t = 0; t < T; ++t) EXPECT_EQ(out.status[at * T + t], c.status) << kTestNames[t];
            for (i64 i = start; i < start + c.n; ++i) {
                EXPECT_TRUE(std::isnan(out.recursive[i])) << "recursive " << i - start;
                EXPECT_TRUE(std::isnan(out.sup_f[i])) << "sup_f " << i - start;
            }
            for (i64 k = 0; k < c.p * c.p; ++k) EXPECT_TRUE(std::isnan(out.coef_hac[at * c.p * c.p + k])) << k;
            if (c.status == KSX_S_UDEF_VARIANCE) {
                // The fit itself: the coefficients reproduce y, and the residuals are rounding noise.
                f64 ymax = 0.0;
                for (i64 i = start; i < start + c.n; ++i) ymax = std::max(ymax, std::fabs(s.y[i]));
                for (i64 i = start; i < start + c.n; ++i) EXPECT_LE(std::fabs(out.resid[i]), 1e-13 * (1.0 + ymax));
            }
        }
    }
}

}  // namespace
