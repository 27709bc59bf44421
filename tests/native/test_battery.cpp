// The battery engine (ksx_battery.h): every statistic against a plain
// long-double formulation written here, the same bits for a group whatever
// runs beside it (vector lanes, splits between calls, threads), and the
// statuses of the groups and tests it refuses.  Also the long-run covariance
// and the Wald statistic of longrun.hpp against direct formulas.
//
// The reference formulations share no code with the engine: least squares is
// modified Gram-Schmidt on the columns in long double (the engine uses
// Householder QR in double), recursive residuals are one least-squares fit
// per prefix of the rows (the engine updates by Givens rotations), sup-F is
// a Chow regression per candidate break (the engine reads it off forward and
// backward recursive residuals), and the long-run covariance is the direct
// double sum over lags (the engine uses the diagnostic kernel or an FFT).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ksx_battery.h"
#include "longrun.hpp"

namespace {

using ld = long double;
using Vec = std::vector<f64>;
using LVec = std::vector<ld>;

constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kSentinel = -7.25e300;
constexpr i64 kI64Sentinel = 0x5A5A5A5A5A5A5A5ALL;
constexpr int32_t kI32Sentinel = 0x5A5A5A5A;
constexpr uint8_t kU8Sentinel = 0x5A;
constexpr int T = KSX_T_COUNT;
constexpr uint64_t kAllTests = (uint64_t{1} << KSX_T_COUNT) - 1;
constexpr ld kPiL = 3.141592653589793238462643383279502884L;

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

// Groups g0 .. g1-1 of s in one call, into the same places of `out` a call over every group uses.
int run_chunk(const Stack& s, i64 g0, i64 g1, const ksx_battery_options& o, Outputs& out) {
    const i64 r0 = s.starts[g0];
    std::vector<i64> starts;
    for (i64 g = g0; g <= g1; ++g) starts.push_back(s.starts[g] - r0);
    ksx_battery_out v = out.view(g0, r0);
    return ksx_battery_run(s.y.data() + r0, s.X.data() + r0 * s.p, s.starts[g1] - r0, s.p, starts.data(), g1 - g0,
                           s.q ? s.Z.data() + r0 * s.q : nullptr, s.q, &o, &v);
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

// ---------------------------------------------------------------- reference

// Column-major long-double matrix.
struct LMat {
    i64 n = 0, k = 0;
    LVec a;
    LMat(i64 n_, i64 k_) : n(n_), k(k_), a(n_ * k_, 0.0L) {}
    ld& at(i64 i, i64 j) { return a[j * n + i]; }
    ld at(i64 i, i64 j) const { return a[j * n + i]; }
    void push_column(const LVec& c) {
        a.insert(a.end(), c.begin(), c.end());
        ++k;
    }
};

struct LFit {
    LVec coef, resid, inv;  // inv: (A'A)^-1, k x k
    ld rss = 0.0L;
};

// Least squares of b on A (full column rank) by modified Gram-Schmidt.
LFit lsq(const LMat& A, const LVec& b) {
    const i64 n = A.n, k = A.k;
    LMat Q = A;
    LVec R(k * k, 0.0L), c = b, qtb(k, 0.0L);
    for (i64 j = 0; j < k; ++j) {
        for (i64 i = 0; i < j; ++i) {
            ld d = 0.0L;
            for (i64 t = 0; t < n; ++t) d += Q.at(t, i) * Q.at(t, j);
            R[i * k + j] = d;
            for (i64 t = 0; t < n; ++t) Q.at(t, j) -= d * Q.at(t, i);
        }
        ld s = 0.0L;
        for (i64 t = 0; t < n; ++t) s += Q.at(t, j) * Q.at(t, j);
        R[j * k + j] = std::sqrt(s);
        for (i64 t = 0; t < n; ++t) Q.at(t, j) /= R[j * k + j];
        ld d = 0.0L;
        for (i64 t = 0; t < n; ++t) d += Q.at(t, j) * c[t];
        qtb[j] = d;
        for (i64 t = 0; t < n; ++t) c[t] -= d * Q.at(t, j);
    }
    LFit f;
    f.coef.assign(k, 0.0L);
    for (i64 j = k - 1; j >= 0; --j) {
        ld s = qtb[j];
        for (i64 m = j + 1; m < k; ++m) s -= R[j * k + m] * f.coef[m];
        f.coef[j] = s / R[j * k + j];
    }
    f.resid.assign(n, 0.0L);
    for (i64 t = 0; t < n; ++t) {
        ld v = b[t];
        for (i64 j = 0; j < k; ++j) v -= A.at(t, j) * f.coef[j];
        f.resid[t] = v;
        f.rss += v * v;
    }
    // (A'A)^-1 = R^-1 R^-T
    LVec Ri(k * k, 0.0L);
    for (i64 j = 0; j < k; ++j) {
        Ri[j * k + j] = 1.0L / R[j * k + j];
        for (i64 i = j - 1; i >= 0; --i) {
            ld s = 0.0L;
            for (i64 m = i + 1; m <= j; ++m) s += R[i * k + m] * Ri[m * k + j];
            Ri[i * k + j] = -s / R[i * k + i];
        }
    }
    f.inv.assign(k * k, 0.0L);
    for (i64 a = 0; a < k; ++a)
        for (i64 b2 = 0; b2 < k; ++b2) {
            ld s = 0.0L;
            for (i64 m = 0; m < k; ++m) s += Ri[a * k + m] * Ri[b2 * k + m];
            f.inv[a * k + b2] = s;
        }
    return f;
}

LMat columns_of(const Vec& X, i64 n, i64 p, i64 r0 = 0, i64 r1 = -1) {
    if (r1 < 0) r1 = n;
    LMat A(r1 - r0, p);
    for (i64 i = r0; i < r1; ++i)
        for (i64 j = 0; j < p; ++j) A.at(i - r0, j) = X[i * p + j];
    return A;
}

LVec to_l(const Vec& v, i64 r0 = 0, i64 r1 = -1) {
    if (r1 < 0) r1 = static_cast<i64>(v.size());
    return LVec(v.begin() + r0, v.begin() + r1);
}

ld centred_ss(const LVec& v) {
    ld m = 0.0L;
    for (ld x : v) m += x;
    m /= static_cast<ld>(v.size());
    ld s = 0.0L;
    for (ld x : v) s += (x - m) * (x - m);
    return s;
}

bool is_constant_column(const Vec& X, i64 n, i64 p, i64 j) {
    for (i64 i = 1; i < n; ++i)
        if (X[i * p + j] != X[j]) return false;
    return true;
}

// The lag window at lag j for bandwidth L.
ld window(i64 kernel, i64 j, i64 L) {
    const ld x = static_cast<ld>(j) / static_cast<ld>(L + 1);
    if (j == 0) return 1.0L;
    switch (kernel) {
        case 0: return j <= L ? 1.0L - x : 0.0L;
        case 1: return x > 1.0L ? 0.0L : x <= 0.5L ? 1.0L - 6.0L * x * x + 6.0L * x * x * x
                                                   : 2.0L * (1.0L - x) * (1.0L - x) * (1.0L - x);
        default: {
            const ld arg = 6.0L * kPiL * x / 5.0L;
            return 25.0L / (12.0L * kPiL * kPiL * x * x) * (std::sin(arg) / arg - std::cos(arg));
        }
    }
}

// (Γ_0 + Σ_j w_j (Γ_j + Γ_j')) / n of the rows of r (n x p) as given; the
// quadratic-spectral window over every lag, the others up to L.
LVec long_run_ref(const LVec& r, i64 n, i64 p, i64 kernel, i64 L) {
    LVec out(p * p, 0.0L);
    const i64 top = kernel == 2 ? n - 1 : std::min(L, n - 1);
    for (i64 j = 0; j <= top; ++j) {
        const ld w = window(kernel, j, L);
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b) {
                ld g = 0.0L;
                for (i64 t = 0; t + j < n; ++t) g += r[t * p + a] * r[(t + j) * p + b];
                out[a * p + b] += w * g;
                if (j > 0) out[b * p + a] += w * g;
            }
    }
    for (ld& v : out) v /= static_cast<ld>(n);
    return out;
}

// x' A^-1 x for A symmetric positive definite (k x k), by Gaussian elimination.
ld quad_inverse(LVec A, LVec x, i64 k) {
    const LVec x0 = x;
    for (i64 c = 0; c < k; ++c) {
        for (i64 r = c + 1; r < k; ++r) {
            const ld f = A[r * k + c] / A[c * k + c];
            for (i64 m = c; m < k; ++m) A[r * k + m] -= f * A[c * k + m];
            x[r] -= f * x[c];
        }
    }
    for (i64 c = k - 1; c >= 0; --c) {
        for (i64 m = c + 1; m < k; ++m) x[c] -= A[c * k + m] * x[m];
        x[c] /= A[c * k + c];
    }
    ld s = 0.0L;
    for (i64 c = 0; c < k; ++c) s += x0[c] * x[c];
    return s;
}

// The battery of one full-rank group with every test defined, in long double.
struct Reference {
    LVec coef, bse, resid, recursive, sup_f, coef_hac;
    ld rss = 0, tss = 0;
    ld stat[T] = {};
    i64 df1[T], df2[T];
    i64 start = 0, m = 0, sup_at = -1, lo = 0, hi = 0, at = 0, bw_requested = 0, bw_used = 0;
    bool has_constant = false;
    // The size of the terms a statistic is formed from: the scale of its rounding error.
    ld scale[T] = {};
};

Reference reference(const Group& d, const ksx_battery_options& o) {
    const i64 n = d.n, p = d.p;
    const ld nl = static_cast<ld>(n);
    Reference R;
    for (int t = 0; t < T; ++t) R.df1[t] = R.df2[t] = -1;
    std::vector<i64> varying;
    for (i64 j = 0; j < p; ++j) {
        if (is_constant_column(d.X, n, p, j)) R.has_constant = R.has_constant || d.X[j] != 0.0;
        else varying.push_back(j);
    }
    const LMat X = columns_of(d.X, n, p);
    const LVec y = to_l(d.y);
    const LFit fit = lsq(X, y);
    R.coef = fit.coef;
    R.resid = fit.resid;
    R.rss = fit.rss;
    const ld s2 = fit.rss / static_cast<ld>(n - p);
    for (i64 j = 0; j < p; ++j) R.bse.push_back(std::sqrt(s2 * fit.inv[j * p + j]));
    R.tss = R.has_constant ? centred_ss(y) : [&] {
        ld s = 0;
        for (ld v : y) s += v * v;
        return s;
    }();
    const LVec& e = fit.resid;

    // Breusch-Godfrey: e on [X, e lagged with zeros before the sample].
    {
        const i64 L = o.lags;
        LMat A = X;
        for (i64 k = 1; k <= L; ++k) {
            LVec c(n, 0.0L);
            for (i64 t = k; t < n; ++t) c[t] = e[t - k];
            A.push_column(c);
        }
        const ld aux = lsq(A, e).rss;
        const ld lm = nl * (1.0L - aux / fit.rss);
        R.stat[KSX_T_BREUSCH_GODFREY] = lm;
        R.scale[KSX_T_BREUSCH_GODFREY] = nl;
        R.df1[KSX_T_BREUSCH_GODFREY] = L;
        const ld r2 = lm / nl;
        const i64 df2 = n - p - L;
        R.stat[KSX_T_BREUSCH_GODFREY_F] = (r2 / static_cast<ld>(L)) / ((1.0L - r2) / static_cast<ld>(df2));
        R.scale[KSX_T_BREUSCH_GODFREY_F] = static_cast<ld>(df2) / static_cast<ld>(L) / (1.0L - r2);
        R.df1[KSX_T_BREUSCH_GODFREY_F] = L;
        R.df2[KSX_T_BREUSCH_GODFREY_F] = df2;
    }
    // Breusch-Pagan: e²/mean(e²) on a constant and the non-constant columns of Z (or X).
    {
        LMat A(n, 0);
        A.push_column(LVec(n, 1.0L));
        i64 m = 0;
        const Vec& src = d.q ? d.Z : d.X;
        const i64 w = d.q ? d.q : p;
        for (i64 j = 0; j < w; ++j) {
            if (is_constant_column(src, n, w, j)) continue;
            LVec c(n);
            for (i64 t = 0; t < n; ++t) c[t] = src[t * w + j];
            A.push_column(c);
            ++m;
        }
        LVec gsq(n);
        for (i64 t = 0; t < n; ++t) gsq[t] = e[t] * e[t] / (fit.rss / nl);
        const ld tss = centred_ss(gsq), aux = lsq(A, gsq).rss;
        R.stat[KSX_T_BREUSCH_PAGAN] = 0.5L * (tss - aux);
        R.scale[KSX_T_BREUSCH_PAGAN] = tss;
        R.stat[KSX_T_BREUSCH_PAGAN_STUDENT] = nl * (1.0L - aux / tss);
        R.scale[KSX_T_BREUSCH_PAGAN_STUDENT] = nl;
        R.df1[KSX_T_BREUSCH_PAGAN] = R.df1[KSX_T_BREUSCH_PAGAN_STUDENT] = m;
    }
    // Chow F at a break: rss of the pooled fit against the two regimes'.
    auto chow = [&](i64 at, ld* scale) {
        const ld s1 = lsq(columns_of(d.X, n, p, 0, at), to_l(d.y, 0, at)).rss;
        const ld s2 = lsq(columns_of(d.X, n, p, at, n), to_l(d.y, at, n)).rss;
        const ld both = s1 + s2, df1 = static_cast<ld>(p), df2 = static_cast<ld>(n - 2 * p);
        *scale = fit.rss / both * df2 / df1;
        return ((fit.rss - both) / df1) / (both / df2);
    };
    R.at = o.break_at == -1 ? n / 2 : o.break_at;
    R.stat[KSX_T_CHOW] = chow(R.at, &R.scale[KSX_T_CHOW]);
    R.df1[KSX_T_CHOW] = p;
    R.df2[KSX_T_CHOW] = n - 2 * p;
    // Recursive residuals: each row's prediction error from the fit on the rows before it, over
    // sqrt(1 + x'(X'X)^-1 x) of those rows.
    R.start = p;
    R.m = n - p;
    R.recursive.assign(n, std::numeric_limits<ld>::quiet_NaN());
    LVec w;
    for (i64 t = p; t < n; ++t) {
        const LFit f = lsq(columns_of(d.X, n, p, 0, t), to_l(d.y, 0, t));
        ld pred = 0.0L, lev = 0.0L;
        for (i64 a = 0; a < p; ++a) {
            pred += d.X[t * p + a] * f.coef[a];
            for (i64 b = 0; b < p; ++b) lev += d.X[t * p + a] * f.inv[a * p + b] * d.X[t * p + b];
        }
        R.recursive[t] = (y[t] - pred) / std::sqrt(1.0L + lev);
        w.push_back(R.recursive[t]);
    }
    const i64 m = R.m;
    const ld ml = static_cast<ld>(m);
    ld mean = 0.0L;
    for (ld v : w) mean += v;
    mean /= ml;
    ld ss = 0.0L, sq_total = 0.0L;
    for (ld v : w) ss += (v - mean) * (v - mean), sq_total += v * v;
    const ld sd = std::sqrt(ss / (ml - 1.0L));
    R.stat[KSX_T_RECURSIVE_T] = std::sqrt(ml) * mean / sd;
    R.scale[KSX_T_RECURSIVE_T] = std::sqrt(ml) * std::sqrt(sq_total / ml) / sd;
    R.df1[KSX_T_RECURSIVE_T] = m - 1;
    {
        const ld s = o.cusum_scale == 1 ? sd : std::sqrt(fit.rss / static_cast<ld>(n - p));
        ld cum = 0.0L, best = 0.0L;
        for (i64 r = 0; r < m; ++r) {
            cum += w[r];
            best = std::max(best, std::fabs(cum / s) / (std::sqrt(ml) + 2.0L * static_cast<ld>(r) / std::sqrt(ml)));
        }
        R.stat[KSX_T_CUSUM] = best;
        R.scale[KSX_T_CUSUM] = 1.0L;
        ld cs = 0.0L, gap = 0.0L;
        for (i64 r = 0; r < m; ++r) {
            cs += w[r] * w[r];
            gap = std::max(gap, std::fabs(cs / sq_total - static_cast<ld>(r + 1) / ml));
        }
        R.stat[KSX_T_CUSUMSQ] = gap;
        R.scale[KSX_T_CUSUMSQ] = 1.0L;
    }
    // Autocorrelations of the residuals about their mean.
    {
        const i64 used = std::min<i64>(o.lags, n - 1);
        ld mu = 0.0L;
        for (ld v : e) mu += v;
        mu /= nl;
        ld den = 0.0L;
        for (ld v : e) den += (v - mu) * (v - mu);
        ld lb = 0.0L, bp = 0.0L;
        for (i64 k = 1; k <= used; ++k) {
            ld num = 0.0L;
            for (i64 t = k; t < n; ++t) num += (e[t] - mu) * (e[t - k] - mu);
            const ld rho = num / den;
            lb += rho * rho / static_cast<ld>(n - k);
            bp += rho * rho;
        }
        R.stat[KSX_T_LJUNG_BOX] = nl * (nl + 2.0L) * lb;
        R.stat[KSX_T_BOX_PIERCE] = nl * bp;
        R.scale[KSX_T_LJUNG_BOX] = R.scale[KSX_T_BOX_PIERCE] = static_cast<ld>(used);
        R.df1[KSX_T_LJUNG_BOX] = R.df1[KSX_T_BOX_PIERCE] = used;
        ld m2 = 0.0L, m3 = 0.0L, m4 = 0.0L;
        for (ld v : e) {
            const ld dv = v - mu;
            m2 += dv * dv;
            m3 += dv * dv * dv;
            m4 += dv * dv * dv * dv;
        }
        m2 /= nl;
        m3 /= nl;
        m4 /= nl;
        const ld skew = m3 / std::pow(m2, 1.5L), kurt = m4 / (m2 * m2);
        R.stat[KSX_T_JARQUE_BERA] = nl * (skew * skew / 6.0L + (kurt - 3.0L) * (kurt - 3.0L) / 24.0L);
        R.scale[KSX_T_JARQUE_BERA] = nl;
        R.df1[KSX_T_JARQUE_BERA] = 2;
        ld dn = 0.0L, dd = 0.0L;
        for (i64 t = 0; t < n; ++t) {
            dd += e[t] * e[t];
            if (t) dn += (e[t] - e[t - 1]) * (e[t] - e[t - 1]);
        }
        R.stat[KSX_T_DURBIN_WATSON] = dn / dd;
        R.scale[KSX_T_DURBIN_WATSON] = 1.0L;
    }
    // White: e² on a constant, the non-constant columns, their squares (and cross products).
    {
        LMat A(n, 0);
        A.push_column(LVec(n, 1.0L));
        auto col = [&](i64 j) {
            LVec c(n);
            for (i64 t = 0; t < n; ++t) c[t] = d.X[t * p + j];
            return c;
        };
        for (i64 j : varying) A.push_column(col(j));
        for (size_t a = 0; a < varying.size(); ++a)
            for (size_t b = a; b < varying.size(); ++b) {
                if (!o.white_cross && a != b) continue;
                LVec c = col(varying[a]), c2 = col(varying[b]);
                for (i64 t = 0; t < n; ++t) c[t] *= c2[t];
                A.push_column(c);
            }
        LVec e2(n);
        for (i64 t = 0; t < n; ++t) e2[t] = e[t] * e[t];
        R.stat[KSX_T_WHITE] = nl * (1.0L - lsq(A, e2).rss / centred_ss(e2));
        R.scale[KSX_T_WHITE] = nl;
        R.df1[KSX_T_WHITE] = A.k - 1;
    }
    // ARCH: e_t² on a constant and its lags, over the rows where every lag exists.
    {
        const i64 L = o.arch_lags, rows = n - L;
        LMat A(rows, 0);
        A.push_column(LVec(rows, 1.0L));
        for (i64 k = 1; k <= L; ++k) {
            LVec c(rows);
            for (i64 i = 0; i < rows; ++i) c[i] = e[L + i - k] * e[L + i - k];
            A.push_column(c);
        }
        LVec b(rows);
        for (i64 i = 0; i < rows; ++i) b[i] = e[L + i] * e[L + i];
        R.stat[KSX_T_ARCH] = static_cast<ld>(rows) * (1.0L - lsq(A, b).rss / centred_ss(b));
        R.scale[KSX_T_ARCH] = static_cast<ld>(rows);
        R.df1[KSX_T_ARCH] = L;
    }
    // RESET: the F test of adding powers 2 .. power of the fitted values.
    {
        LMat A = X;
        ld top = 0.0L;
        for (i64 t = 0; t < n; ++t) top = std::max(top, std::fabs(y[t] - e[t]));
        for (i64 k = 2; k <= o.power; ++k) {
            LVec c(n);
            for (i64 t = 0; t < n; ++t) c[t] = std::pow((y[t] - e[t]) / top, static_cast<ld>(k));
            A.push_column(c);
        }
        const i64 qn = o.power - 1, df2 = n - p - qn;
        const ld rw = lsq(A, y).rss;
        R.stat[KSX_T_RESET] = ((fit.rss - rw) / static_cast<ld>(qn)) / (rw / static_cast<ld>(df2));
        R.scale[KSX_T_RESET] = fit.rss / rw * static_cast<ld>(df2) / static_cast<ld>(qn);
        R.df1[KSX_T_RESET] = qn;
        R.df2[KSX_T_RESET] = df2;
    }
    // sup-F: the Chow F at every candidate break, each regime keeping p rows.
    {
        R.lo = std::max<i64>(static_cast<i64>(std::ceil(o.trim * static_cast<f64>(n))), p);
        R.hi = std::min<i64>(static_cast<i64>(std::floor((1.0 - o.trim) * static_cast<f64>(n))), n - p);
        R.sup_f.assign(n, std::numeric_limits<ld>::quiet_NaN());
        ld best = -1.0L, scale = 0.0L;
        for (i64 t = R.lo; t <= R.hi; ++t) {
            ld sc;
            R.sup_f[t] = chow(t, &sc);
            scale = std::max(scale, sc);
            if (R.sup_f[t] > best) best = R.sup_f[t], R.sup_at = t;
        }
        R.stat[KSX_T_SUP_F] = best;
        R.scale[KSX_T_SUP_F] = scale;
        R.df1[KSX_T_SUP_F] = p;
        R.df2[KSX_T_SUP_F] = n - 2 * p;
    }
    // HAC covariance n (X'X)^-1 Ω (X'X)^-1, Ω the long-run covariance of the centred scores x_t e_t,
    // and the Wald statistic of the non-constant coefficients.
    {
        R.bw_requested = o.bandwidth >= 0 ? o.bandwidth
                                          : static_cast<i64>(std::floor(4.0 * std::pow(static_cast<f64>(n) / 100.0,
                                                                                       2.0 / 9.0)));
        R.bw_used = std::min<i64>(R.bw_requested, n - 1);
        LVec u(n * p);
        for (i64 j = 0; j < p; ++j) {
            ld mu = 0.0L;
            for (i64 t = 0; t < n; ++t) mu += X.at(t, j) * e[t];
            mu /= nl;
            for (i64 t = 0; t < n; ++t) u[t * p + j] = X.at(t, j) * e[t] - mu;
        }
        const LVec om = long_run_ref(u, n, p, o.kernel_id, R.bw_used);
        LVec tmp(p * p, 0.0L);
        R.coef_hac.assign(p * p, 0.0L);
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b)
                for (i64 k = 0; k < p; ++k) tmp[a * p + b] += fit.inv[a * p + k] * om[k * p + b];
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b) {
                ld s = 0.0L;
                for (i64 k = 0; k < p; ++k) s += tmp[a * p + k] * fit.inv[k * p + b];
                R.coef_hac[a * p + b] = nl * s;
            }
        const i64 q = static_cast<i64>(varying.size());
        LVec V(q * q), b(q);
        for (i64 a = 0; a < q; ++a) {
            b[a] = fit.coef[varying[a]];
            for (i64 c = 0; c < q; ++c) V[a * q + c] = R.coef_hac[varying[a] * p + varying[c]];
        }
        R.stat[KSX_T_WALD] = quad_inverse(V, b, q);
        R.scale[KSX_T_WALD] = 1.0L;
        R.df1[KSX_T_WALD] = q;
    }
    return R;
}

// |got - want| within tol of the larger of |want| and the scale of the terms it was formed from.
testing::AssertionResult close(f64 got, ld want, ld scale, ld tol) {
    const ld bound = tol * std::max(std::fabs(want), scale);
    if (std::isfinite(got) && std::fabs(static_cast<ld>(got) - want) <= bound) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "got " << got << ", want " << static_cast<f64>(want) << " (error "
                                       << static_cast<f64>(std::fabs(static_cast<ld>(got) - want)) << ", bound "
                                       << static_cast<f64>(bound) << ")";
}

const char* kTestNames[T] = {"breusch_godfrey", "breusch_godfrey_f", "breusch_pagan", "breusch_pagan_student",
                             "chow", "recursive_t", "cusum", "cusumsq", "ljung_box", "jarque_bera", "wald",
                             "durbin_watson", "box_pierce", "white", "arch", "reset", "sup_f"};

// ---------------------------------------------------------------- statistics against the reference

struct RefCase {
    const char* name;
    i64 n, p;
    bool constant;
    i64 q;  // columns of Z (0: none)
    std::function<void(ksx_battery_options&)> tweak;
};

std::string case_name(const testing::TestParamInfo<RefCase>& info) { return info.param.name; }

class BatteryReference : public testing::TestWithParam<RefCase> {};

TEST_P(BatteryReference, EveryStatisticMatchesALongDoubleFormulation) {
    const RefCase& c = GetParam();
    Group d = regression(1000 + static_cast<uint64_t>(c.n * 31 + c.p), c.n, c.p, c.constant);
    if (c.q) {
        Rng g(77);
        d.q = c.q;
        d.Z.resize(c.n * c.q);
        for (i64 t = 0; t < c.n; ++t)
            for (i64 j = 0; j < c.q; ++j) d.Z[t * c.q + j] = j == 0 ? 1.0 : g.normal() + 0.3 * d.X[t * c.p + c.p - 1];
    }
    ksx_battery_options o = options_all();
    if (c.tweak) c.tweak(o);
    const Reference R = reference(d, o);
    const Stack s = single(d);
    Outputs out(s);
    ASSERT_EQ(run(s, o, out), KSX_S_OK);
    constexpr ld tol = 1e-12L;

    EXPECT_EQ(out.fit_status[0], KSX_S_OK);
    EXPECT_EQ(out.rank[0], c.p);
    EXPECT_EQ(out.has_constant[0], R.has_constant ? 1 : 0);
    ld bmax = 0.0L, emax = 0.0L;
    for (i64 j = 0; j < c.p; ++j) bmax = std::max(bmax, std::fabs(R.coef[j]));
    for (i64 t = 0; t < c.n; ++t) emax = std::max(emax, std::fabs(R.resid[t]));
    for (i64 j = 0; j < c.p; ++j) {
        EXPECT_TRUE(close(out.coef[j], R.coef[j], bmax, tol)) << "coef " << j;
        EXPECT_TRUE(close(out.bse[j], R.bse[j], 0.0L, tol)) << "bse " << j;
        EXPECT_EQ(out.dependent[j], 0) << j;
    }
    for (i64 t = 0; t < c.n; ++t) EXPECT_TRUE(close(out.resid[t], R.resid[t], emax, tol)) << "resid " << t;
    EXPECT_TRUE(close(out.rss[0], R.rss, 0.0L, tol)) << "rss";
    EXPECT_TRUE(close(out.tss[0], R.tss, 0.0L, tol)) << "tss";

    for (int t = 0; t < T; ++t) {
        SCOPED_TRACE(kTestNames[t]);
        EXPECT_EQ(out.status[t], KSX_S_OK);
        EXPECT_TRUE(close(out.stat[t], R.stat[t], R.scale[t], tol));
        EXPECT_EQ(out.df1[t], R.df1[t]);
        EXPECT_EQ(out.df2[t], R.df2[t]);
        // Full rank, every lag inside the sample, ten or more rows: no note, except the missing constant.
        const uint32_t want_flags =
            (!R.has_constant && (t == KSX_T_BREUSCH_GODFREY || t == KSX_T_BREUSCH_GODFREY_F)) ? KSX_F_NO_CONSTANT : 0;
        EXPECT_EQ(out.flags[t], want_flags);
    }
    EXPECT_EQ(out.word(0, KSX_T_CHOW, 0), R.at);
    for (int t : {KSX_T_RECURSIVE_T, KSX_T_CUSUM, KSX_T_CUSUMSQ}) {
        EXPECT_EQ(out.word(0, t, 0), R.start);
        EXPECT_EQ(out.word(0, t, 1), R.m);
    }
    EXPECT_EQ(out.word(0, KSX_T_SUP_F, 0), R.sup_at);
    EXPECT_EQ(out.word(0, KSX_T_SUP_F, 1), R.lo);
    EXPECT_EQ(out.word(0, KSX_T_SUP_F, 3), R.hi);
    EXPECT_EQ(out.word(0, KSX_T_WALD, 0), R.bw_requested);
    EXPECT_EQ(out.word(0, KSX_T_WALD, 1), R.bw_used);

    ld wmax = 0.0L, hmax = 0.0L;
    const ld fmax = R.scale[KSX_T_SUP_F];
    for (i64 t = R.start; t < c.n; ++t) wmax = std::max(wmax, std::fabs(R.recursive[t]));
    for (ld v : R.coef_hac) hmax = std::max(hmax, std::fabs(v));
    for (i64 t = 0; t < c.n; ++t) {
        if (t < R.start) EXPECT_TRUE(std::isnan(out.recursive[t])) << "recursive " << t;
        else EXPECT_TRUE(close(out.recursive[t], R.recursive[t], wmax, tol)) << "recursive " << t;
        if (t < R.lo || t > R.hi) EXPECT_TRUE(std::isnan(out.sup_f[t])) << "sup_f " << t;
        else EXPECT_TRUE(close(out.sup_f[t], R.sup_f[t], fmax, tol)) << "sup_f " << t;
    }
    // The HAC covariance: within tol of the largest entry (its off-diagonal entries may be near zero).
    for (i64 k = 0; k < c.p * c.p; ++k) EXPECT_TRUE(close(out.coef_hac[k], R.coef_hac[k], hmax, tol)) << "coef_hac " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Designs, BatteryReference,
    testing::Values(
        RefCase{"n40_p2", 40, 2, true, 0, nullptr},
        RefCase{"n61_p4_parzen_bw3", 61, 4, true, 0,
                [](ksx_battery_options& o) {
                    o.kernel_id = 1;
                    o.bandwidth = 3;
                }},
        RefCase{"n57_p3_qs", 57, 3, true, 0, [](ksx_battery_options& o) { o.kernel_id = 2; }},
        RefCase{"n83_p5_squares_recursive_scale", 83, 5, true, 0,
                [](ksx_battery_options& o) {
                    o.white_cross = 0;
                    o.cusum_scale = 1;
                    o.lags = 2;
                    o.arch_lags = 4;
                    o.power = 4;
                }},
        RefCase{"n48_p3_no_constant", 48, 3, false, 0,
                [](ksx_battery_options& o) {
                    o.break_at = 20;
                    o.trim = 0.25;
                }},
        RefCase{"n50_p3_with_z", 50, 3, true, 3,
                [](ksx_battery_options& o) {
                    o.power = 2;
                    o.lags = 1;
                    o.arch_lags = 1;
                    o.kernel_id = 2;
                    o.bandwidth = 6;
                }},
        RefCase{"n12_p1_trend_only", 12, 1, false, 0,
                [](ksx_battery_options& o) {
                    o.lags = 2;
                    o.bandwidth = 2;
                }}),
    case_name);

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

// The series statistics of short groups in lanes: lags clamped to n - 1, Jarque-Bera below ten rows, residuals
// of very different sizes side by side; each group as alone.
TEST(BatteryLanes, SeriesStatisticsOfShortGroupsEqualTheirRunAlone) {
    for (const i64 n : {3, 5, 8, 11}) {
        Stack all(1, 0);
        for (int k = 0; k < 11; ++k) {
            Group d = regression(7000 + static_cast<uint64_t>(n * 16 + k), n, 1);
            for (f64& v : d.y) v = std::ldexp(v, 40 * (k % 3) - 40);
            all.add(d);
        }
        for (const i64 lags : {1, 4, 12}) {
            ksx_battery_options o = options_all();
            o.lags = lags;
            o.tests = (uint64_t{1} << KSX_T_LJUNG_BOX) | (uint64_t{1} << KSX_T_BOX_PIERCE) |
                      (uint64_t{1} << KSX_T_JARQUE_BERA) | (uint64_t{1} << KSX_T_DURBIN_WATSON);
            Outputs together(all);
            ASSERT_EQ(run(all, o, together), KSX_S_OK);
            for (i64 g = 0; g < all.G(); ++g) {
                SCOPED_TRACE(testing::Message() << "n " << n << " lags " << lags << " group " << g);
                const Stack one = single(all.group(g));
                Outputs alone(one);
                ASSERT_EQ(run(one, o, alone), KSX_S_OK);
                EXPECT_EQ(alone.status[KSX_T_LJUNG_BOX], KSX_S_OK);
                EXPECT_EQ(alone.flags[KSX_T_LJUNG_BOX] != 0, lags > n - 1);
                EXPECT_EQ(alone.flags[KSX_T_JARQUE_BERA] != 0, n < 10);
                EXPECT_TRUE(same_words(group_words(alone, 0, 0, n), group_words(together, g, all.starts[g], n)));
            }
        }
    }
}

// The same group placed in every lane position of a run, beside groups that take other branches.
TEST(BatteryLanes, AGroupGetsTheSameBitsInEveryLane) {
    const i64 n = 20, p = 3;
    const std::vector<Group> others = mixed_groups(n, p, 900);
    const Group probe = regression(4242, n, p);
    const ksx_battery_options o = options_all();
    const Stack one = single(probe);
    Outputs alone(one);
    ASSERT_EQ(run(one, o, alone), KSX_S_OK);
    const std::vector<Word> want = group_words(alone, 0, 0, n);
    for (size_t at = 0; at <= others.size(); ++at) {
        Stack all(p, 0);
        for (size_t k = 0; k < others.size(); ++k) {
            if (k == at) all.add(probe);
            all.add(others[k]);
        }
        if (at == others.size()) all.add(probe);
        Outputs together(all);
        ASSERT_EQ(run(all, o, together), KSX_S_OK);
        const i64 g = static_cast<i64>(at);
        EXPECT_TRUE(same_words(want, group_words(together, g, all.starts[g], n))) << "position " << at;
    }
}

// A stack of many sizes: runs of equal sizes (some longer than every lane width), single groups,
// empty groups, groups with a missing value inside a run.
Stack varied_stack(i64 p, uint64_t seed, bool with_z) {
    Rng g(seed);
    const i64 q = with_z ? 2 : 0;
    Stack s(p, q);
    const i64 sizes[] = {5, 5, 5, 0, 7, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 3, 1, 30, 30, 9, 9, 9, 9, 9, 2, 2, 40};
    int k = 0;
    for (const i64 n : sizes) {
        Group d = n >= 3 ? regression(seed + static_cast<uint64_t>(k), n, p) : Group{};
        if (n < 3) {
            d.n = n;
            d.p = p;
            d.y.resize(n);
            d.X.resize(n * p);
            for (f64& v : d.y) v = g.normal();
            for (f64& v : d.X) v = g.normal();
        }
        if (k == 8) d.y[n / 2] = kNaN;     // inside a run of twelve
        if (k == 21) d.X[p] = -kInf;       // inside a run of nines
        if (k == 6 && p > 1)               // rank deficient
            for (i64 t = 0; t < n; ++t) d.X[t * p + p - 1] = 2.0 * d.X[t * p];
        if (k == 11)                       // an exact fit
            for (i64 t = 0; t < n; ++t) d.y[t] = d.X[t * p];
        if (q) {
            d.q = q;
            d.Z.resize(n * q);
            for (i64 t = 0; t < n; ++t) d.Z[t * q] = 1.0, d.Z[t * q + 1] = g.normal();
        }
        s.add(d);
        ++k;
    }
    return s;
}

TEST(BatterySplit, OneCallEqualsOneCallPerGroupAndAnyChunks) {
    for (const bool with_z : {false, true}) {
        for (const i64 p : {1, 2, 5}) {
            const Stack s = varied_stack(p, 300 + static_cast<uint64_t>(p), with_z);
            for (const ksx_battery_options& o : option_variants()) {
                SCOPED_TRACE(testing::Message() << "p " << p << " Z " << with_z << " kernel " << o.kernel_id);
                Outputs whole(s);
                ASSERT_EQ(run(s, o, whole), KSX_S_OK);
                // One group per call, into the same output arrays.
                Outputs singles(s);
                for (i64 g = 0; g < s.G(); ++g) ASSERT_EQ(run_chunk(s, g, g + 1, o, singles), KSX_S_OK);
                // Chunks of pseudo-random lengths, cutting through the runs.
                Outputs chunks(s);
                Rng r(static_cast<uint64_t>(p) * 7 + static_cast<uint64_t>(o.kernel_id));
                for (i64 g = 0; g < s.G();) {
                    const i64 len = std::min<i64>(1 + static_cast<i64>(r.next() % 7), s.G() - g);
                    ASSERT_EQ(run_chunk(s, g, g + len, o, chunks), KSX_S_OK);
                    g += len;
                }
                for (i64 g = 0; g < s.G(); ++g) {
                    const auto want = group_words(whole, g, s.starts[g], s.n(g));
                    EXPECT_TRUE(same_words(want, group_words(singles, g, s.starts[g], s.n(g)))) << "group " << g;
                    EXPECT_TRUE(same_words(want, group_words(chunks, g, s.starts[g], s.n(g)))) << "group " << g;
                }
            }
        }
    }
}

// X as columns gives every output of X row-major; with a first column of ones, also when that column is
// passed as null (the intercept the engine makes itself).
TEST(BatterySplit, ColumnsGiveTheBitsOfRowMajorX) {
    for (const i64 p : {1, 2, 5}) {
        for (const bool null_constant : {false, true}) {
            Stack s = varied_stack(p, 300 + static_cast<uint64_t>(p), false);
            if (null_constant)
                for (i64 i = 0; i < s.N(); ++i) s.X[i * p] = 1.0;
            std::vector<Vec> columns(static_cast<size_t>(p), Vec(static_cast<size_t>(s.N())));
            for (i64 i = 0; i < s.N(); ++i)
                for (i64 j = 0; j < p; ++j) columns[j][i] = s.X[i * p + j];
            std::vector<const f64*> cols;
            for (i64 j = 0; j < p; ++j) cols.push_back(j == 0 && null_constant ? nullptr : columns[j].data());
            for (const ksx_battery_options& o : option_variants()) {
                SCOPED_TRACE(testing::Message() << "p " << p << " null constant " << null_constant << " kernel "
                                                << o.kernel_id);
                Outputs want(s), got(s);
                ASSERT_EQ(run(s, o, want), KSX_S_OK);
                ksx_battery_out v = got.view();
                ASSERT_EQ(ksx_battery_run_columns(s.y.data(), cols.data(), s.N(), p, s.starts.data(), s.G(), &o, &v),
                          KSX_S_OK);
                for (i64 g = 0; g < s.G(); ++g)
                    EXPECT_TRUE(same_words(group_words(want, g, s.starts[g], s.n(g)),
                                           group_words(got, g, s.starts[g], s.n(g))))
                        << "group " << g;
            }
        }
    }
}

TEST(BatteryThreads, ConcurrentCallsGiveTheSerialBits) {
    const Stack s = varied_stack(3, 777, false);
    const std::vector<ksx_battery_options> variants = option_variants();
    std::vector<Outputs> serial;
    for (const ksx_battery_options& o : variants) {
        serial.emplace_back(s);
        ASSERT_EQ(run(s, o, serial.back()), KSX_S_OK);
    }
    constexpr int kThreads = 4, kRounds = 6;
    std::vector<int> mismatches(kThreads, 0), failures(kThreads, 0);
    std::vector<std::thread> pool;
    for (int th = 0; th < kThreads; ++th)
        pool.emplace_back([&, th] {
            for (int round = 0; round < kRounds; ++round) {
                const size_t v = static_cast<size_t>(th + round) % variants.size();
                Outputs out(s);
                if (run(s, variants[v], out) != KSX_S_OK) ++failures[th];
                for (i64 g = 0; g < s.G(); ++g)
                    if (!same_words(group_words(serial[v], g, s.starts[g], s.n(g)),
                                    group_words(out, g, s.starts[g], s.n(g))))
                        ++mismatches[th];
            }
        });
    for (std::thread& t : pool) t.join();
    for (int th = 0; th < kThreads; ++th) {
        EXPECT_EQ(failures[th], 0) << "thread " << th;
        EXPECT_EQ(mismatches[th], 0) << "thread " << th;
    }
}

// ---------------------------------------------------------------- refusals and statuses

TEST(BatteryRefusals, NonFiniteAndEmptyGroupsRefuseEveryAskedTest) {
    const i64 p = 3, n = 20;
    struct Case {
        const char* what;
        std::function<void(Group&)> spoil;
        bool with_z;
        int32_t status;
    };
    const Case cases[] = {
        {"NaN in y", [](Group& d) { d.y[4] = kNaN; }, false, KSX_S_NOT_FINITE},
        {"inf in X", [](Group& d) { d.X[7] = kInf; }, false, KSX_S_NOT_FINITE},
        {"-inf in y", [](Group& d) { d.y[n - 1] = -kInf; }, false, KSX_S_NOT_FINITE},
        {"NaN in Z", [](Group& d) { d.Z[3] = kNaN; }, true, KSX_S_NOT_FINITE},
        {"no rows", [](Group& d) { d = Group{0, p, d.q, {}, {}, {}}; }, false, KSX_S_TOO_FEW_OBS},
        {"no rows, with Z", [](Group& d) { d = Group{0, p, d.q, {}, {}, {}}; }, true, KSX_S_TOO_FEW_OBS},
    };
    for (const Case& c : cases) {
        for (const uint64_t asked : {kAllTests, uint64_t{0x5A5}, uint64_t{0}}) {
            SCOPED_TRACE(testing::Message() << c.what << ", tests " << asked);
            // The spoiled group sits between two clean groups of its size.
            Stack s(p, c.with_z ? 1 : 0);
            for (int k = 0; k < 3; ++k) {
                Group d = regression(10 + static_cast<uint64_t>(k), n, p);
                if (c.with_z) {
                    d.q = 1;
                    d.Z.assign(n, 0.0);
                    for (i64 t = 0; t < n; ++t) d.Z[t] = std::cos(static_cast<f64>(t));
                }
                if (k == 1) c.spoil(d);
                s.add(d);
            }
            ksx_battery_options o = options_all();
            o.tests = asked;
            Outputs out(s);
            ASSERT_EQ(run(s, o, out), KSX_S_OK);
            const i64 g = 1, start = s.starts[1], m = s.n(1);
            EXPECT_EQ(joined(unwritten(out, g, start, m)), "");
            for (int t = 0; t < T; ++t) {
                EXPECT_EQ(out.status[g * T + t], ((asked >> t) & 1u) ? c.status : KSX_S_NOT_RUN) << kTestNames[t];
                EXPECT_TRUE(std::isnan(out.stat[g * T + t]));
                EXPECT_EQ(out.df1[g * T + t], -1);
                EXPECT_EQ(out.df2[g * T + t], -1);
                EXPECT_EQ(out.flags[g * T + t], 0u);
                for (int w = 0; w < KSX_INFO_WORDS; ++w) EXPECT_EQ(out.word(g, t, w), 0);
            }
            EXPECT_EQ(out.fit_status[g], c.status);
            EXPECT_EQ(out.rank[g], 0);
            EXPECT_EQ(out.has_constant[g], 0);
            EXPECT_TRUE(std::isnan(out.rss[g]) && std::isnan(out.tss[g]));
            for (i64 j = 0; j < p; ++j) {
                EXPECT_TRUE(std::isnan(out.coef[g * p + j]) && std::isnan(out.bse[g * p + j]));
                EXPECT_EQ(out.dependent[g * p + j], 0);
            }
            for (i64 k = 0; k < p * p; ++k) EXPECT_TRUE(std::isnan(out.coef_hac[g * p * p + k]));
            for (i64 i = start; i < start + m; ++i)
                EXPECT_TRUE(std::isnan(out.resid[i]) && std::isnan(out.recursive[i]) && std::isnan(out.sup_f[i]));
            // The neighbours are fitted as usual.
            EXPECT_EQ(out.fit_status[0], KSX_S_OK);
            EXPECT_EQ(out.fit_status[2], KSX_S_OK);
        }
    }
}

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

TEST(BatteryRefusals, BreaksOutsideTheSampleAreRefusedAlone) {
    const i64 n = 30, p = 2;
    const Stack s = single(regression(5, n, p));
    for (const i64 at : {i64{0}, n, n + 7, i64{-2}, i64{-100}}) {
        SCOPED_TRACE(at);
        ksx_battery_options o = options_all();
        o.break_at = at;
        Outputs out(s);
        ASSERT_EQ(run(s, o, out), KSX_S_OK);
        EXPECT_EQ(out.status[KSX_T_CHOW], KSX_S_BAD_BREAK);
        EXPECT_TRUE(std::isnan(out.stat[KSX_T_CHOW]));
        EXPECT_EQ(out.word(0, KSX_T_CHOW, 0), at);
        for (int t = 0; t < T; ++t)
            if (t != KSX_T_CHOW) {
                EXPECT_EQ(out.status[t], KSX_S_OK) << kTestNames[t];
            }
    }
    // The edges of the sample are breaks: a regime of one row has rank 1 of 2, and the degrees of
    // freedom follow the ranks (1 and n - 3).
    for (const i64 at : {i64{1}, n - 1}) {
        ksx_battery_options o = options_all();
        o.break_at = at;
        Outputs out(s);
        ASSERT_EQ(run(s, o, out), KSX_S_OK);
        EXPECT_EQ(out.status[KSX_T_CHOW], KSX_S_OK) << at;
        EXPECT_EQ(out.flags[KSX_T_CHOW], static_cast<uint32_t>(KSX_F_SEGMENT_RANK)) << at;
        EXPECT_EQ(out.df1[KSX_T_CHOW], 1);
        EXPECT_EQ(out.df2[KSX_T_CHOW], n - 3);
        EXPECT_EQ(out.word(0, KSX_T_CHOW, 0), at);
    }
}

TEST(BatteryRefusals, TestsNotAskedAreNotRunAndTheFitIsStillWritten) {
    const i64 n = 25, p = 3;
    const Stack s = single(regression(8, n, p));
    for (int only = -1; only < T; ++only) {
        ksx_battery_options o = options_all();
        o.tests = only < 0 ? 0 : uint64_t{1} << only;
        Outputs out(s);
        ASSERT_EQ(run(s, o, out), KSX_S_OK);
        Outputs full(s);
        ASSERT_EQ(run(s, options_all(), full), KSX_S_OK);
        for (int t = 0; t < T; ++t) {
            if (t == only) {
                EXPECT_EQ(out.status[t], KSX_S_OK) << kTestNames[t];
                // A test's bits do not depend on which other tests run.
                EXPECT_EQ(std::memcmp(&out.stat[t], &full.stat[t], sizeof(f64)), 0) << kTestNames[t];
                EXPECT_EQ(out.flags[t], full.flags[t]);
                for (int w = 0; w < KSX_INFO_WORDS; ++w) EXPECT_EQ(out.word(0, t, w), full.word(0, t, w));
            } else {
                EXPECT_EQ(out.status[t], KSX_S_NOT_RUN) << kTestNames[t] << " with only " << only;
                EXPECT_TRUE(std::isnan(out.stat[t]));
                EXPECT_EQ(out.df1[t], -1);
                EXPECT_EQ(out.flags[t], 0u);
            }
        }
        EXPECT_EQ(out.fit_status[0], KSX_S_OK);
        EXPECT_EQ(std::memcmp(out.coef.data(), full.coef.data(), sizeof(f64) * p), 0);
        EXPECT_EQ(std::memcmp(out.resid.data(), full.resid.data(), sizeof(f64) * n), 0);
        EXPECT_EQ(std::memcmp(out.recursive.data(), full.recursive.data(), sizeof(f64) * n), 0);
        EXPECT_EQ(std::memcmp(out.coef_hac.data(), full.coef_hac.data(), sizeof(f64) * p * p), 0);
    }
}

// Tests that do not apply to a group: too few rows for their own regressions, and the notes that go
// with clamped lags and short series.
TEST(BatteryRefusals, TestsBeyondTheirRowsAndTheirNotes) {
    const i64 n = 8, p = 2;
    const Stack s = single(regression(9, n, p));
    ksx_battery_options o = options_all();
    o.lags = 6;        // Breusch-Godfrey: n - r - lags = 0 rows left
    o.arch_lags = 4;   // ARCH: n - lags = 4 rows for 5 columns
    o.bandwidth = 20;  // clamped to n - 1 = 7
    Outputs out(s);
    ASSERT_EQ(run(s, o, out), KSX_S_OK);
    EXPECT_EQ(out.status[KSX_T_BREUSCH_GODFREY], KSX_S_TOO_FEW_OBS);
    EXPECT_EQ(out.status[KSX_T_BREUSCH_GODFREY_F], KSX_S_TOO_FEW_OBS);
    EXPECT_EQ(out.status[KSX_T_ARCH], KSX_S_TOO_FEW_OBS);
    // Jarque-Bera below ten rows: computed, with its note.
    EXPECT_EQ(out.status[KSX_T_JARQUE_BERA], KSX_S_OK);
    EXPECT_EQ(out.flags[KSX_T_JARQUE_BERA], static_cast<uint32_t>(KSX_F_FEW_OBS));
    EXPECT_EQ(out.status[KSX_T_WALD], KSX_S_OK);
    EXPECT_EQ(out.flags[KSX_T_WALD] & KSX_F_CLAMPED, static_cast<uint32_t>(KSX_F_CLAMPED));
    EXPECT_EQ(out.word(0, KSX_T_WALD, 0), 20);
    EXPECT_EQ(out.word(0, KSX_T_WALD, 1), n - 1);

    o = options_all();
    o.lags = 12;  // past n - 1: Ljung-Box and Box-Pierce use n - 1 lags
    Outputs out2(s);
    ASSERT_EQ(run(s, o, out2), KSX_S_OK);
    for (int t : {KSX_T_LJUNG_BOX, KSX_T_BOX_PIERCE}) {
        EXPECT_EQ(out2.status[t], KSX_S_OK) << kTestNames[t];
        EXPECT_EQ(out2.flags[t], static_cast<uint32_t>(KSX_F_CLAMPED));
        EXPECT_EQ(out2.word(0, t, 0), 12);
        EXPECT_EQ(out2.word(0, t, 1), n - 1);
        EXPECT_EQ(out2.df1[t], n - 1);
    }
    // Three rows past the fit's rank: no CUSUM of squares below three recursive residuals.
    const Stack tiny = single(regression(10, p + 2, p));
    Outputs out3(tiny);
    ASSERT_EQ(run(tiny, options_all(), out3), KSX_S_OK);
    EXPECT_EQ(out3.status[KSX_T_CUSUMSQ], KSX_S_TOO_FEW_OBS);
    EXPECT_EQ(out3.word(0, KSX_T_CUSUMSQ, 1), 2);
    EXPECT_EQ(out3.status[KSX_T_RECURSIVE_T], KSX_S_OK);
}

// Rank-deficient designs: the later of two dependent columns has no coefficient, the tests work on
// the identified columns and say so; a full set of dummies spans the constant.
TEST(BatteryRefusals, RankDeficientDesigns) {
    const i64 n = 40;
    // [1, x, 2x, z]: column 2 is dependent.
    Group d = regression(12, n, 4);
    for (i64 t = 0; t < n; ++t) d.X[t * 4 + 2] = 2.0 * d.X[t * 4 + 1];
    Group r = d;  // the same without column 2
    r.p = 3;
    r.X.clear();
    for (i64 t = 0; t < n; ++t) r.X.insert(r.X.end(), {d.X[t * 4], d.X[t * 4 + 1], d.X[t * 4 + 3]});
    const Stack s = single(d), sr = single(r);
    ksx_battery_options o = options_all();
    Outputs out(s), outr(sr);
    ASSERT_EQ(run(s, o, out), KSX_S_OK);
    ASSERT_EQ(run(sr, o, outr), KSX_S_OK);
    EXPECT_EQ(out.rank[0], 3);
    EXPECT_EQ(out.dependent[2], 1);
    EXPECT_EQ(out.dependent[0] + out.dependent[1] + out.dependent[3], 0);
    EXPECT_TRUE(std::isnan(out.coef[2]) && std::isnan(out.bse[2]));
    const i64 kept[3] = {0, 1, 3};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(out.coef[kept[k]], outr.coef[k], 1e-12 * (1.0 + std::fabs(outr.coef[k])));
        EXPECT_NEAR(out.bse[kept[k]], outr.bse[k], 1e-12 * outr.bse[k]);
    }
    auto reduced = [&](i64 a, i64 b) { return outr.coef_hac[(a == 3 ? 2 : a) * 3 + (b == 3 ? 2 : b)]; };
    for (i64 a = 0; a < 4; ++a)
        for (i64 b = 0; b < 4; ++b) {
            const f64 v = out.coef_hac[a * 4 + b];
            if (a == 2 || b == 2) EXPECT_TRUE(std::isnan(v)) << a << "," << b;
            else EXPECT_NEAR(v, reduced(a, b), 1e-11 * std::sqrt(reduced(a, a) * reduced(b, b))) << a << "," << b;
        }
    for (int t : {KSX_T_SUP_F, KSX_T_WALD})
        EXPECT_EQ(out.flags[t] & KSX_F_UNIDENTIFIED, static_cast<uint32_t>(KSX_F_UNIDENTIFIED)) << kTestNames[t];
    // Tests that only see the residuals and the identified columns agree with the reduced design.
    for (int t : {KSX_T_BREUSCH_GODFREY, KSX_T_CHOW, KSX_T_LJUNG_BOX, KSX_T_JARQUE_BERA, KSX_T_DURBIN_WATSON,
                  KSX_T_WALD, KSX_T_CUSUM, KSX_T_SUP_F}) {
        EXPECT_EQ(out.status[t], KSX_S_OK) << kTestNames[t];
        EXPECT_NEAR(out.stat[t], outr.stat[t], 1e-10 * (1.0 + std::fabs(outr.stat[t]))) << kTestNames[t];
        EXPECT_EQ(out.df1[t], outr.df1[t]) << kTestNames[t];
    }

    // A full set of dummies and no explicit constant: X spans the constant, tss is centred.
    const i64 m = 36;
    Group dum = regression(13, m, 4, false);
    for (i64 t = 0; t < m; ++t)
        for (i64 j = 0; j < 3; ++j) dum.X[t * 4 + j] = t % 3 == j ? 1.0 : 0.0;
    const Stack sd = single(dum);
    Outputs od(sd);
    ASSERT_EQ(run(sd, o, od), KSX_S_OK);
    EXPECT_EQ(od.rank[0], 4);
    EXPECT_EQ(od.has_constant[0], 1);
    ld mean = 0.0L, tss = 0.0L;
    for (f64 v : dum.y) mean += v;
    mean /= m;
    for (f64 v : dum.y) tss += (v - mean) * (v - mean);
    EXPECT_TRUE(close(od.tss[0], tss, 0.0L, 1e-12L));
    EXPECT_EQ(od.flags[KSX_T_BREUSCH_GODFREY] & KSX_F_NO_CONSTANT, 0u);
    // Adding the constant makes the last dummy dependent.
    Group dc = dum;
    dc.p = 5;
    dc.X.clear();
    for (i64 t = 0; t < m; ++t) {
        dc.X.push_back(1.0);
        dc.X.insert(dc.X.end(), dum.X.begin() + t * 4, dum.X.begin() + t * 4 + 4);
    }
    const Stack sc = single(dc);
    Outputs oc(sc);
    ASSERT_EQ(run(sc, o, oc), KSX_S_OK);
    EXPECT_EQ(oc.rank[0], 4);
    EXPECT_EQ(oc.dependent[3], 1);
    EXPECT_TRUE(close(oc.rss[0], static_cast<ld>(od.rss[0]), 0.0L, 1e-12L));
}

// The notes of auxiliary columns left out and of a late start of the recursion, with their words.
TEST(BatteryNotes, DroppedColumnsAndALateStart) {
    // White on [1, x, 2x, z] with cross products: of the auxiliary columns [1, x, 2x, z, x², x·2x, x·z,
    // (2x)², 2x·z, z²], 2x (2), x·2x (5), (2x)² (7) and 2x·z (8) are combinations of earlier ones; the
    // regression is that of [1, x, z].
    const i64 n = 40;
    Group d = regression(21, n, 4);
    for (i64 t = 0; t < n; ++t) d.X[t * 4 + 2] = 2.0 * d.X[t * 4 + 1];
    Group r = d;
    r.p = 3;
    r.X.clear();
    for (i64 t = 0; t < n; ++t) r.X.insert(r.X.end(), {d.X[t * 4], d.X[t * 4 + 1], d.X[t * 4 + 3]});
    const ksx_battery_options o = options_all();
    const Stack s = single(d), sr = single(r);
    Outputs out(s), outr(sr);
    ASSERT_EQ(run(s, o, out), KSX_S_OK);
    ASSERT_EQ(run(sr, o, outr), KSX_S_OK);
    EXPECT_EQ(out.status[KSX_T_WHITE], KSX_S_OK);
    EXPECT_EQ(out.flags[KSX_T_WHITE], static_cast<uint32_t>(KSX_F_DROPPED));
    EXPECT_EQ(out.word(0, KSX_T_WHITE, 2), 4);
    EXPECT_EQ(out.word(0, KSX_T_WHITE, 3), 2);
    EXPECT_EQ(out.word(0, KSX_T_WHITE, 4), 5);
    EXPECT_EQ(out.word(0, KSX_T_WHITE, 5), 7);
    EXPECT_EQ(out.df1[KSX_T_WHITE], outr.df1[KSX_T_WHITE]);
    EXPECT_EQ(outr.flags[KSX_T_WHITE], 0u);
    EXPECT_NEAR(out.stat[KSX_T_WHITE], outr.stat[KSX_T_WHITE], 1e-10 * outr.stat[KSX_T_WHITE]);

    // The first five rows equal: X reaches rank 3 at row 7 (rows 0 .. 4 give rank 1, rows 5 and 6 one
    // more each), so the first recursive residual is that of row 7, from the fit on rows 0 .. 6.
    const i64 p = 3;
    Group late = regression(22, n, p);
    for (i64 t = 1; t < 5; ++t)
        for (i64 j = 0; j < p; ++j) late.X[t * p + j] = late.X[j];
    const Stack sl = single(late);
    Outputs ol(sl);
    ASSERT_EQ(run(sl, o, ol), KSX_S_OK);
    for (int t : {KSX_T_RECURSIVE_T, KSX_T_CUSUM, KSX_T_CUSUMSQ}) {
        EXPECT_EQ(ol.status[t], KSX_S_OK) << kTestNames[t];
        EXPECT_EQ(ol.flags[t], static_cast<uint32_t>(KSX_F_LATE_START)) << kTestNames[t];
        EXPECT_EQ(ol.word(0, t, 0), 7);
        EXPECT_EQ(ol.word(0, t, 1), n - 7);
    }
    for (i64 t = 0; t < n; ++t) {
        if (t < 7) {
            EXPECT_TRUE(std::isnan(ol.recursive[t])) << t;
            continue;
        }
        const LFit f = lsq(columns_of(late.X, n, p, 0, t), to_l(late.y, 0, t));
        ld pred = 0.0L, lev = 0.0L;
        for (i64 a = 0; a < p; ++a) {
            pred += late.X[t * p + a] * f.coef[a];
            for (i64 b = 0; b < p; ++b) lev += late.X[t * p + a] * f.inv[a * p + b] * late.X[t * p + b];
        }
        const ld want = (late.y[t] - pred) / std::sqrt(1.0L + lev);
        EXPECT_TRUE(close(ol.recursive[t], want, 1.0L, 1e-11L)) << t;
    }
}

// ---------------------------------------------------------------- long_run and wald_statistic

TEST(LongRun, EveryWindowMatchesTheDirectDoubleSum) {
    Rng g(91);
    for (const i64 kernel : {0, 1, 2}) {
        for (const i64 n : {1, 2, 5, 16, 33, 120}) {
            for (const i64 p : {1, 2, 4}) {
                for (const i64 L : {i64{0}, i64{1}, i64{3}, n - 1}) {
                    if (L > n - 1 || L < 0) continue;
                    for (const bool centre : {false, true}) {
                        SCOPED_TRACE(testing::Message() << "kernel " << kernel << " n " << n << " p " << p << " L "
                                                        << L << " centred " << centre);
                        Vec r(n * p);
                        for (i64 t = 0; t < n; ++t)
                            for (i64 j = 0; j < p; ++j)
                                r[t * p + j] = g.normal() + (j == 0 ? 0.5 * std::sin(0.3 * static_cast<f64>(t)) : 0.0) +
                                               (centre ? 0.0 : 1.5);
                        if (centre)
                            for (i64 j = 0; j < p; ++j) {
                                f64 mu = 0.0;
                                for (i64 t = 0; t < n; ++t) mu += r[t * p + j];
                                mu /= static_cast<f64>(n);
                                for (i64 t = 0; t < n; ++t) r[t * p + j] -= mu;
                            }
                        Vec out(p * p + 2, kSentinel), scratch(ksx::battery::long_run_scratch(n, p, kernel) + 1,
                                                              kSentinel);
                        const Vec r0 = r;
                        ksx::battery::long_run(r.data(), n, p, kernel, L, out.data(), scratch.data());
                        EXPECT_EQ(r, r0);  // r is read only
                        EXPECT_EQ(out[p * p], kSentinel);
                        EXPECT_EQ(scratch.back(), kSentinel);
                        const LVec want = long_run_ref(to_l(r), n, p, kernel, L);
                        // Scale of the rounding: the lag-zero products, sum of |r_a||r_b| over the rows / n.
                        ld scale = 0.0L;
                        for (i64 j = 0; j < p; ++j) {
                            ld s = 0.0L;
                            for (i64 t = 0; t < n; ++t) s += static_cast<ld>(r[t * p + j]) * r[t * p + j];
                            scale = std::max(scale, s / static_cast<ld>(n));
                        }
                        // The quadratic-spectral window sums n lags through an FFT of length ~2n.
                        const ld tol = kernel == 2 ? 1e-13L * static_cast<ld>(n) : 1e-13L * static_cast<ld>(L + 1);
                        for (i64 k = 0; k < p * p; ++k) EXPECT_TRUE(close(out[k], want[k], scale, tol)) << k;
                        for (i64 a = 0; a < p; ++a)
                            for (i64 b = 0; b < a; ++b) EXPECT_EQ(out[a * p + b], out[b * p + a]);
                    }
                }
            }
        }
    }
}

// Symmetric positive semi-definite V of rank k (q x q): A A' with A q x k, its rows scaled by s_i.
Vec psd(Rng& g, i64 q, i64 k, const Vec& s) {
    Vec A(q * k), V(q * q, 0.0);
    for (f64& v : A) v = g.normal();
    for (i64 a = 0; a < q; ++a)
        for (i64 b = 0; b < q; ++b) {
            ld sum = 0.0L;
            for (i64 m = 0; m < k; ++m) sum += static_cast<ld>(A[a * k + m]) * A[b * k + m];
            V[a * q + b] = static_cast<f64>(sum) * s[a] * s[b];
        }
    return V;
}

TEST(WaldStatistic, FullRankSingularAndBadlyScaledMatrices) {
    Rng g(5);
    for (i64 q = 1; q <= 7; ++q) {
        for (const bool wide : {false, true}) {
            Vec s(q, 1.0);
            if (wide)
                for (i64 i = 0; i < q; ++i) s[i] = std::ldexp(1.0, static_cast<int>(i * 37 % 61) - 30);
            // Full rank: b' V^-1 b, against elimination in long double.
            {
                const Vec V = psd(g, q, q + 2, s);
                Vec b(q);
                for (i64 i = 0; i < q; ++i) b[i] = g.normal() * s[i];
                Vec scratch(ksx::battery::wald_scratch(q), kSentinel);
                f64 stat = kSentinel;
                EXPECT_EQ(ksx::battery::wald_statistic(b.data(), V.data(), q, &stat, scratch.data()), q);
                const ld want = quad_inverse(to_l(V), to_l(b), q);
                EXPECT_TRUE(close(stat, want, 0.0L, 1e-11L)) << "q " << q << " wide " << wide;
            }
            if (q < 2) continue;
            // Rank q - 1 and b in V's range (b = V c): the pseudo-inverse gives c' V c.
            {
                const Vec V = psd(g, q, q - 1, s);
                Vec c(q), b(q, 0.0);
                for (i64 i = 0; i < q; ++i) c[i] = g.normal() / s[i];
                ld want = 0.0L;
                for (i64 a = 0; a < q; ++a) {
                    ld v = 0.0L;
                    for (i64 k = 0; k < q; ++k) v += static_cast<ld>(V[a * q + k]) * c[k];
                    b[a] = static_cast<f64>(v);
                    want += v * c[a];
                }
                Vec scratch(ksx::battery::wald_scratch(q));
                f64 stat = kSentinel;
                EXPECT_EQ(ksx::battery::wald_statistic(b.data(), V.data(), q, &stat, scratch.data()), q - 1)
                    << "q " << q << " wide " << wide;
                EXPECT_TRUE(close(stat, want, 0.0L, 1e-9L)) << "q " << q << " wide " << wide;
            }
        }
    }
}

TEST(WaldStatistic, ZeroIndefiniteAndNonFiniteMatrices) {
    Vec scratch(ksx::battery::wald_scratch(3));
    const f64 b[3] = {1.0, -2.0, 0.5};
    f64 stat = kSentinel;
    // The zero matrix: no direction has a variance.
    const f64 zero[9] = {};
    EXPECT_EQ(ksx::battery::wald_statistic(b, zero, 3, &stat, scratch.data()), 0);
    EXPECT_EQ(stat, 0.0);
    // A zero diagonal entry leaves that coefficient out: the rest is b_0² / v_0 + b_2² / v_2.
    const f64 part[9] = {4, 0, 0, 0, 0, 0, 0, 0, 0.25};
    EXPECT_EQ(ksx::battery::wald_statistic(b, part, 3, &stat, scratch.data()), 2);
    EXPECT_DOUBLE_EQ(stat, 1.0 / 4.0 + 0.25 / 0.25);
    // A negative diagonal entry; a positive diagonal with a negative Schur complement.
    const f64 neg[9] = {1, 0, 0, 0, -1, 0, 0, 0, 1};
    EXPECT_EQ(ksx::battery::wald_statistic(b, neg, 3, &stat, scratch.data()), -1);
    const f64 indef[9] = {1, 2, 0, 2, 1, 0, 0, 0, 1};
    EXPECT_EQ(ksx::battery::wald_statistic(b, indef, 3, &stat, scratch.data()), -1);
    // A non-finite diagonal: NaN.
    for (const f64 bad : {kNaN, kInf}) {
        const f64 m[9] = {1, 0, 0, 0, bad, 0, 0, 0, 1};
        stat = kSentinel;
        EXPECT_EQ(ksx::battery::wald_statistic(b, m, 3, &stat, scratch.data()), 0);
        EXPECT_TRUE(std::isnan(stat));
    }
    // Only the lower triangle is read.
    const f64 lower[9] = {2, kNaN, kNaN, 0.5, 3, kNaN, 0.1, -0.2, 1};
    const f64 full[9] = {2, 0.5, 0.1, 0.5, 3, -0.2, 0.1, -0.2, 1};
    f64 s1 = 0, s2 = 0;
    EXPECT_EQ(ksx::battery::wald_statistic(b, lower, 3, &s1, scratch.data()), 3);
    EXPECT_EQ(ksx::battery::wald_statistic(b, full, 3, &s2, scratch.data()), 3);
    EXPECT_EQ(std::memcmp(&s1, &s2, sizeof s1), 0);
}

}  // namespace
