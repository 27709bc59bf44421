// Bit-identity of the dispatched fast paths with the portable build, and of
// the builds for different architectures with each other.
//
// On x86-64 this one source is compiled three times: against ksx_core/ksx_diag
// (whose hot functions carry x86-64-v3 and, for the widest kernels, x86-64-v4
// copies picked at load time), against ksx_core_v3/ksx_diag_v3 (the same
// sources with KSX_NO_AVX512, so that the x86-64-v3 kernels run on a machine
// with AVX-512 too) and against ksx_core_portable/ksx_diag_portable (the same
// sources with KSX_PORTABLE, one baseline copy of everything).  Elsewhere
// every function exists once and only the first is built; the aarch64 cross
// build runs it under an emulator and compares its table with the x86-64
// one (tests/native/CMakeLists.txt).  Each program runs every exported core
// operation and kernel on a fixed set of seeded inputs (p = 1..35 around
// n = 0..300, odd sizes at every tile edge, NaN, infinities, subnormals and
// signed zeros injected) and prints, per operation, the number of output bytes
// and a 128-bit hash of them.  Every output bit counts (signed zeros,
// subnormals, statuses, the untouched remainder of each output buffer), except
// that all NaNs count as one value (see Hash::f).
//
// The battery engine (ksx_battery, built likewise three times) joins the
// table: its lane runs are 8 wide in the fast build on a machine with
// AVX-512, 4 wide in the others and on aarch64, so the same groups are batched
// differently, and equal tables mean that how groups are batched never shows
// in a result.  Its internal long-run covariance and Wald statistic
// (longrun.hpp) are hashed too.
//
//   bitcheck                       print the table
//   bitcheck --cases NAME          print one hash per input of operation NAME
//   bitcheck --dump NAME INDEX     print every hashed word of one input
//   bitcheck --compare COMMAND...  run COMMAND (the other build's program,
//                                  with any words before it, such as an
//                                  emulator and its options, for a program of
//                                  another architecture) and compare its table
//                                  with this one; exit 1 on any difference,
//                                  naming the first differing input
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "diag.h"
#include "diag_wald.h"
#include "ksx_battery.h"
#include "ksx_complex.h"
#include "ksx_linalg.h"
#include "longrun.hpp"

namespace {

using Vec = std::vector<f64>;

constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kSentinel = -7.25e300;  // fills outputs before each call

// ---------------------------------------------------------------- hashing

constexpr uint64_t kCanonicalNaN = 0x7FF8000000000000ull;

struct Hash {
    uint64_t h1 = 0x243F6A8885A308D3ull, h2 = 0x13198A2E03707344ull;
    uint64_t bytes = 0;
    std::vector<uint64_t>* log = nullptr;  // every word, for --dump

    static uint64_t mix(uint64_t x) {
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBull;
        x ^= x >> 31;
        return x;
    }
    void word(uint64_t w) {
        if (log != nullptr) log->push_back(w);
        h1 = mix(h1 ^ w) + 0x9E3779B97F4A7C15ull;
        h2 = mix(h2 + w * 0xD6E8FEB86659FD93ull) ^ (h1 >> 17);
        bytes += 8;
    }
    // A NaN counts as one value: which NaN operand an instruction passes on
    // (and so the sign and payload of the result) depends on the operand
    // order the compiler picks for that instruction, in either build, and on
    // the maths library's fma; a NaN made from no NaN operand has the sign
    // bit set on x86-64 and clear on aarch64.  IEEE 754 leaves all of it
    // open.  Every other bit
    // pattern, signed zeros and subnormals included, is compared exactly.
    void f(f64 x) {
        uint64_t u;
        std::memcpy(&u, &x, sizeof u);
        word(x != x ? kCanonicalNaN : u);
    }
    void i(int64_t x) { word(static_cast<uint64_t>(x)); }
    void v(const Vec& a) {
        for (f64 x : a) f(x);
    }
    void add(const Hash& o) {
        word(o.h1);
        word(o.h2);
    }
    std::string hex() const {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%016" PRIx64 "%016" PRIx64, h1, h2);
        return buf;
    }
};

// ---------------------------------------------------------------- inputs

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint64_t next() {
        s += 0x9E3779B97F4A7C15ull;
        return Hash::mix(s);
    }
    f64 unit() { return static_cast<f64>(next() >> 11) * 0x1.0p-53; }          // [0, 1)
    f64 sym() { return 2.0 * unit() - 1.0; }                                   // [-1, 1)
    f64 normal() {                                                             // approx. N(0,1)
        f64 s = 0.0;
        for (int k = 0; k < 6; ++k) s += unit();
        return (s - 3.0) * 1.4142135623730951;
    }
    i64 below(i64 n) { return static_cast<i64>(next() % static_cast<uint64_t>(n)); }
};

// Special values injected into otherwise ordinary data.
f64 special(Rng& g) {
    switch (g.below(9)) {
    case 0: return kNaN;
    case 1: return -kNaN;
    case 2: return kInf;
    case 3: return -kInf;
    case 4: return 0x1.8p-1060 * (g.below(2) ? 1 : -1);  // subnormal
    case 5: return -0.0;
    case 6: return 0.0;
    case 7: return 1e300 * g.sym();
    default: return 1e-300 * g.sym();
    }
}

// Kinds of data: 0 clean, 1 clean with a wide range of magnitudes and exact
// zeros, 2 a few special values, 3 many special values.
Vec data(Rng& g, i64 len, int kind) {
    Vec v(static_cast<size_t>(len < 0 ? 0 : len));
    for (f64& x : v) {
        x = g.normal();
        if (kind >= 1 && g.below(8) == 0) x = std::ldexp(x, static_cast<int>(g.below(80)) - 40);
        if (kind >= 1 && g.below(16) == 0) x = g.below(2) ? 0.0 : -0.0;
        if (kind == 2 && g.below(64) == 0) x = special(g);
        if (kind == 3 && g.below(6) == 0) x = special(g);
    }
    return v;
}

Vec filled(i64 len, f64 value = kSentinel) { return Vec(static_cast<size_t>(len < 0 ? 0 : len), value); }

// A design with a column of ones first (p >= 1), the rest ordinary data.
Vec design(Rng& g, i64 n, i64 p, int kind) {
    Vec X = data(g, n * p, kind);
    for (i64 r = 0; r < n; ++r) X[r * p] = 1.0;
    return X;
}

// A symmetric positive definite p x p matrix (gram of a random 2p+3 x p block
// plus its diagonal), and, with kind >= 2, special values sprinkled in.
Vec spd(Rng& g, i64 p, int kind) {
    Vec A = data(g, (2 * p + 3) * p, 0), S(static_cast<size_t>(p * p), 0.0);
    for (i64 r = 0; r < 2 * p + 3; ++r)
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < p; ++b) S[a * p + b] += A[r * p + a] * A[r * p + b];
    for (i64 a = 0; a < p; ++a) S[a * p + a] += 1.0;
    if (kind >= 2)
        for (f64& x : S)
            if (g.below(kind == 2 ? 40 : 8) == 0) x = special(g);
    return S;
}

// ---------------------------------------------------------------- shapes

const std::vector<i64>& row_counts() {
    static const std::vector<i64> ns = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 15, 16, 17, 31, 33, 47, 64, 100, 129, 300};
    return ns;
}

// Column counts 1..35 with a few row counts each (all of them for small p).
struct Shape {
    i64 n, p;
    int kind;
};

std::vector<Shape> matrix_shapes() {
    std::vector<Shape> out;
    const auto& ns = row_counts();
    for (i64 p = 1; p <= 35; ++p) {
        for (size_t k = 0; k < ns.size(); ++k) {
            if (p > 12 && k % 3 != static_cast<size_t>(p) % 3 && ns[k] != 0 && ns[k] != 300) continue;
            for (int kind = 0; kind < 4; ++kind) out.push_back({ns[k], p, kind});
        }
    }
    // Tall inputs cross several row blocks of the tiled kernels.
    for (i64 p : {1, 3, 4, 5, 8, 10, 11, 17, 30})
        for (int kind = 0; kind < 4; ++kind) out.push_back({4099 - p, p, kind});
    return out;
}

// ---------------------------------------------------------------- the battery engine

constexpr i64 kPad = 3;  // sentinel entries after every output buffer: they must stay untouched
constexpr uint64_t kAllTests = (uint64_t{1} << KSX_T_COUNT) - 1;

// Kinds of battery groups, each a branch of the engine.
enum GroupKind {
    kClean,         // a constant and ordinary columns
    kNoConstant,    // ordinary columns only
    kWide,          // magnitudes over 2^-40 .. 2^40 and exact zeros
    kTwinColumn,    // the last column repeats an earlier one: rank deficient
    kZeroColumn,    // the last column is zero (with p = 1: rank 0)
    kTwoConstants,  // a second constant column: dependent on the first
    kDummies,       // a full set of dummies, no explicit constant: X spans the constant
    kExactFit,      // y in the span of X
    kConstantY,     // y constant
    kLateStart,     // the first rows repeat: the recursion starts late
    kFarScale,      // y and a column scaled by 2^±300
    kSingleDummy,   // a column that marks one row: its residual vanishes
    kFlat,          // y = ±1 about a constant and zero columns: every squared residual equal
    kSpecial,       // a NaN or an infinity (or a subnormal, a signed zero) somewhere
    kGroupKinds
};

struct BatteryGroup {
    Vec y, X;
};

BatteryGroup battery_group(Rng& g, i64 n, i64 p, int kind) {
    BatteryGroup d;
    d.X = kind == kNoConstant ? data(g, n * p, 0) : design(g, n, p, kind == kWide ? 1 : 0);
    d.y = data(g, n, kind == kWide ? 1 : 0);
    Vec beta = data(g, p, 0);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < p; ++j) d.y[i] += beta[j] * d.X[i * p + j];
    switch (kind) {
    case kTwinColumn:
        if (p > 1)
            for (i64 i = 0; i < n; ++i) d.X[i * p + p - 1] = d.X[i * p + (p > 2 ? 1 : 0)] * (p > 3 ? -0.5 : 1.0);
        break;
    case kZeroColumn:
        for (i64 i = 0; i < n; ++i) d.X[i * p + p - 1] = 0.0;
        break;
    case kTwoConstants:
        for (i64 i = 0; i < n; ++i) d.X[i * p + p - 1] = 3.5;
        break;
    case kDummies: {
        const i64 k = std::min<i64>(p, 3);
        for (i64 i = 0; i < n; ++i)
            for (i64 j = 0; j < k; ++j) d.X[i * p + j] = i % k == j ? 1.0 : 0.0;
        break;
    }
    case kExactFit:
        for (i64 i = 0; i < n; ++i) {
            d.y[i] = 0.0;
            for (i64 j = 0; j < p; ++j) d.y[i] += beta[j] * d.X[i * p + j];
        }
        break;
    case kConstantY:
        for (f64& v : d.y) v = -1.25;
        break;
    case kLateStart:
        for (i64 i = 1; i < std::min<i64>(n, p + 3); ++i)
            for (i64 j = 0; j < p; ++j) d.X[i * p + j] = d.X[j];
        break;
    case kFarScale: {
        const int e = g.below(2) ? 300 : -300;
        for (f64& v : d.y) v = std::ldexp(v, e);
        for (i64 i = 0; i < n; ++i) d.X[i * p + p - 1] = std::ldexp(d.X[i * p + p - 1], -e / 2);
        break;
    }
    case kSingleDummy:
        if (p > 1 && n > 0) {
            const i64 row = g.below(n);
            for (i64 i = 0; i < n; ++i) d.X[i * p + p - 1] = i == row ? 1.0 : 0.0;
        }
        break;
    case kFlat:
        for (i64 i = 0; i < n; ++i) {
            d.y[i] = i % 2 ? -1.0 : 1.0;
            for (i64 j = 0; j < p; ++j) d.X[i * p + j] = j == 0 ? 1.0 : 0.0;
        }
        break;
    case kSpecial:
        if (n > 0) {
            if (g.below(2)) d.y[g.below(n)] = special(g);
            else d.X[g.below(n * p)] = special(g);
        }
        break;
    default:
        break;
    }
    return d;
}

// The options of battery input c: every test (or a subset), each window, default and explicit
// bandwidths and breaks, breaks out of range, both CUSUM scales, White with and without cross
// products, lags past the sample.
ksx_battery_options battery_options(Rng& g, int c) {
    ksx_battery_options o{};
    o.tests = c % 6 == 5 ? g.next() & kAllTests : kAllTests;
    static const i64 lags[] = {1, 2, 4, 9, 40}, arch[] = {1, 2, 3, 6}, power[] = {2, 3, 4, 5};
    static const i64 bandwidth[] = {-1, 0, 2, 7, 1000};
    static const i64 breaks[] = {-1, -1, -1, 3, 10, 0, -5, 100000};
    static const f64 trim[] = {0.15, 0.05, 0.3, 0.45};
    o.lags = lags[c % 5];
    o.arch_lags = arch[(c / 5) % 4];
    o.break_at = breaks[(c / 2) % 8];
    o.kernel_id = c % 3;
    o.bandwidth = bandwidth[(c / 3) % 5];
    o.power = power[(c / 7) % 4];
    o.trim = trim[(c / 4) % 4];
    o.cusum_scale = (c / 2) % 2;
    o.white_cross = (c / 11) % 2 == 0;
    return o;
}

// One call of the engine over a stack of groups: runs of equal sizes (lane runs, longer and shorter
// than every lane width) and odd sizes, many of 1 to 12 rows, a few up to 300; the groups of a run
// mostly of one kind with others among them, so that lanes leave the common branch; Z on some
// inputs.  Every output buffer is hashed whole, with the sentinels after it.
void battery_case(Hash& h, uint64_t sd, int c) {
    Rng g(sd);
    const i64 p = 1 + c % 7;
    const ksx_battery_options o = battery_options(g, c);
    const i64 q = g.below(5) == 0 ? 1 + static_cast<i64>(g.below(3)) : 0;  // Z on a fifth of the inputs
    Vec y, X, Z;
    std::vector<i64> starts{0};
    const i64 row_budget = c % 17 == 0 ? 700 : 160;
    while (starts.back() < row_budget && starts.size() < 40) {
        static const i64 run_lengths[] = {1, 1, 2, 3, 4, 5, 8, 9, 12};
        const i64 len = run_lengths[g.below(9)];
        i64 n;
        const i64 pick = g.below(20);
        if (pick < 13) n = g.below(13);                          // 0 .. 12
        else if (pick < 18) n = 13 + g.below(52);                // 13 .. 64
        else n = std::array<i64, 4>{100, 129, 200, 300}[g.below(4)];
        const int base = g.below(3) ? kClean : static_cast<int>(g.below(kGroupKinds));
        for (i64 k = 0; k < len; ++k) {
            const int kind = g.below(4) ? base : static_cast<int>(g.below(kGroupKinds));
            BatteryGroup d = battery_group(g, n, p, kind);
            y.insert(y.end(), d.y.begin(), d.y.end());
            X.insert(X.end(), d.X.begin(), d.X.end());
            if (q) {
                Vec z = data(g, n * q, 0);
                if (g.below(2))
                    for (i64 i = 0; i < n; ++i) z[i * q] = 1.0;
                if (n > 0 && g.below(12) == 0) z[g.below(n * q)] = special(g);
                Z.insert(Z.end(), z.begin(), z.end());
            }
            starts.push_back(starts.back() + n);
        }
    }
    const i64 G = static_cast<i64>(starts.size()) - 1, N = starts.back(), T = KSX_T_COUNT;
    Vec stat = filled(G * T + kPad), rss = filled(G + kPad), tss = filled(G + kPad), coef = filled(G * p + kPad),
        bse = filled(G * p + kPad), coef_hac = filled(G * p * p + kPad), resid = filled(N + kPad),
        recursive = filled(N + kPad), sup_f = filled(N + kPad);
    std::vector<i64> df1(G * T + kPad, -77), df2(G * T + kPad, -77), info(G * T * KSX_INFO_WORDS + kPad, -77),
        rank(G + kPad, -77);
    std::vector<int32_t> status(G * T + kPad, -77), fit_status(G + kPad, -77);
    std::vector<uint32_t> flags(G * T + kPad, 0xA5A5A5A5u);
    std::vector<uint8_t> has_constant(G + kPad, 0xA5), dependent(G * p + kPad, 0xA5);
    ksx_battery_out out{stat.data(), df1.data(), df2.data(), status.data(), flags.data(), info.data(),
                        fit_status.data(), rank.data(), has_constant.data(), rss.data(), tss.data(), coef.data(),
                        bse.data(), dependent.data(), coef_hac.data(), resid.data(), recursive.data(), sup_f.data()};
    // Some inputs leave optional outputs out (those paths run only for what is asked).
    if (c % 4 == 1) {
        if (g.below(2)) out.fit_status = nullptr;
        if (g.below(2)) out.rank = nullptr;
        if (g.below(2)) out.has_constant = nullptr;
        if (g.below(2)) out.rss = nullptr, out.tss = nullptr;
        if (g.below(2)) out.coef = nullptr, out.bse = nullptr;
        if (g.below(2)) out.dependent = nullptr;
        if (g.below(2)) out.coef_hac = nullptr;
        if (g.below(2)) out.resid = nullptr;
        if (g.below(2)) out.recursive = nullptr;
        if (g.below(2)) out.sup_f = nullptr;
    }
    h.i(ksx_battery_run(y.data(), X.data(), N, p, starts.data(), G, q ? Z.data() : nullptr, q, &o, &out));
    h.v(stat);
    for (const auto* v : {&df1, &df2, &info, &rank})
        for (i64 x : *v) h.i(x);
    for (const auto* v : {&status, &fit_status})
        for (int32_t x : *v) h.i(x);
    for (uint32_t x : flags) h.i(x);
    for (const auto* v : {&has_constant, &dependent})
        for (uint8_t x : *v) h.i(x);
    for (const Vec* v : {&rss, &tss, &coef, &bse, &coef_hac, &resid, &recursive, &sup_f}) h.v(*v);
}

// The engine's long-run covariance (longrun.hpp): each window, bandwidths 0 .. n - 1, moments centred
// or not, ordinary and wide-ranging data.
void long_run_case(Hash& h, uint64_t sd, i64 kernel, i64 n, i64 p) {
    Rng g(sd);
    for (const bool centre : {false, true})
        for (int kind : {0, 1}) {
            Vec r = data(g, n * p, kind);
            if (centre) {
                Vec mean(p);
                ksx_fill_mean_ax0(r.data(), n, p, mean.data());
                ksx_fill_centered_ax0(r.data(), mean.data(), n, p, r.data());
            }
            const Vec r0 = r;
            for (const i64 L : {i64{0}, i64{1}, i64{3}, n / 2, n - 1}) {
                if (L > n - 1) continue;
                Vec out = filled(p * p + kPad), scratch = filled(ksx::battery::long_run_scratch(n, p, kernel));
                ksx::battery::long_run(r.data(), n, p, kernel, L, out.data(), scratch.data());
                h.v(out);
            }
            h.i(std::memcmp(r.data(), r0.data(), r.size() * sizeof(f64)) == 0);  // r is not written
        }
}

// The engine's Wald statistic: positive definite, singular (rank q - 1 and q - 2), badly scaled,
// indefinite, with zero, NaN and infinite entries.
void wald_case(Hash& h, uint64_t sd, i64 q, int kind) {
    Rng g(sd);
    Vec V(q * q, 0.0), b = data(g, q, 0);
    const i64 k = kind == 1 ? q - 1 : kind == 2 ? q - 2 : q + 2;  // columns of the factor
    Vec A = data(g, q * std::max<i64>(k, 0), 0);
    for (i64 a = 0; a < q; ++a)
        for (i64 c = 0; c <= a; ++c) {
            f64 s = 0.0;
            for (i64 m = 0; m < k; ++m) s = std::fma(A[a * k + m], A[c * k + m], s);
            V[a * q + c] = V[c * q + a] = s;
        }
    switch (kind) {
    case 3:  // badly scaled: rows and columns by powers of two far apart
        for (i64 a = 0; a < q; ++a)
            for (i64 c = 0; c < q; ++c) V[a * q + c] = std::ldexp(V[a * q + c], static_cast<int>((a + c) * 23 % 90) - 45);
        break;
    case 4:  // indefinite: one diagonal entry flipped
        if (q) V[(q - 1) * q + q - 1] = -std::fabs(V[(q - 1) * q + q - 1]) - 1.0;
        break;
    case 5:  // a row and column of zeros
        if (q)
            for (i64 a = 0; a < q; ++a) V[a * q + q / 2] = V[(q / 2) * q + a] = 0.0;
        break;
    case 6:  // special values anywhere in the lower triangle
        for (i64 a = 0; a < q; ++a)
            for (i64 c = 0; c <= a; ++c)
                if (g.below(4) == 0) V[a * q + c] = special(g);
        break;
    case 7:  // correlations at the edge: two rows nearly equal
        if (q > 1)
            for (i64 a = 0; a < q; ++a) V[a * q + 1] = V[1 * q + a] = V[a * q] * (1.0 + 1e-15);
        break;
    default:
        break;
    }
    Vec scratch = filled(ksx::battery::wald_scratch(q));
    f64 stat = kSentinel;
    h.i(ksx::battery::wald_statistic(b.data(), V.data(), q, &stat, scratch.data()));
    h.f(stat);
}

// ---------------------------------------------------------------- the runs

using Case = std::function<void(Hash&)>;

struct Op {
    std::string name;
    std::vector<Case> cases;
};

std::vector<Op> build_ops() {
    std::vector<Op> ops;
    ops.reserve(64);  // op() hands out references that must stay valid
    auto op = [&](const std::string& name) -> Op& {
        if (ops.size() == ops.capacity()) std::abort();
        ops.push_back({name, {}});
        return ops.back();
    };
    const std::vector<Shape> shapes = matrix_shapes();
    uint64_t seed = 1;

    // ---- numeric core: products
    {
        Op& o = op("ksx_gram");
        for (const Shape& s : shapes)
            o.cases.push_back([s, sd = seed++](Hash& h) {
                Rng g(sd);
                Vec X = data(g, s.n * s.p, s.kind), G = filled(s.p * s.p);
                ksx_gram(X.data(), G.data(), s.n, s.p);
                h.v(G);
            });
    }
    {
        Op& o = op("ksx_gram_rhs");
        for (const Shape& s : shapes)
            o.cases.push_back([s, sd = seed++](Hash& h) {
                Rng g(sd);
                Vec X = data(g, s.n * s.p, s.kind), y = data(g, s.n, s.kind), out = filled(s.p);
                ksx_gram_rhs(X.data(), y.data(), out.data(), s.n, s.p);
                h.v(out);
            });
    }
    {
        Op& o = op("ksx_matmul_atb");
        for (const Shape& s : shapes)
            for (i64 m : {s.p, (s.p * 7) % 13 + 1}) {
                o.cases.push_back([s, m, sd = seed++](Hash& h) {
                    Rng g(sd);
                    Vec A = data(g, s.n * s.p, s.kind), B = data(g, s.n * m, s.kind), out = filled(s.p * m);
                    ksx_matmul_atb(A.data(), B.data(), out.data(), s.n, s.p, m);
                    h.v(out);
                });
            }
        // The HAC lag product: B is A shifted down by j rows.
        for (i64 p : {1, 2, 3, 4, 5, 7, 8, 9, 10, 12, 16, 30})
            for (i64 n : {0, 1, 5, 40, 301})
                for (i64 j : {0, 1, 3})
                    o.cases.push_back([n, p, j, sd = seed++](Hash& h) {
                        Rng g(sd);
                        const i64 rows = n - j < 0 ? 0 : n - j;
                        Vec r = data(g, n * p + 1, 2), out = filled(p * p);
                        ksx_matmul_atb(r.data(), r.data() + j * p, out.data(), rows, p, p);
                        h.v(out);
                    });
    }
    {
        Op& o = op("ksx_matmul");
        for (i64 n : {0, 1, 2, 5, 9})
            for (i64 p : {0, 1, 3, 4, 8, 13})
                for (i64 m : {0, 1, 3, 4, 7, 17})
                    o.cases.push_back([n, p, m, sd = seed++](Hash& h) {
                        Rng g(sd);
                        Vec A = data(g, n * p, 2), B = data(g, p * m, 1), out = filled(n * m);
                        ksx_matmul(A.data(), B.data(), out.data(), n, p, m);
                        h.v(out);
                    });
    }
    {
        Op& o = op("ksx_matmul_abt");
        Op& o2 = op("ksx_matmul_abt_plus_c");
        Op& o3 = op("ksx_matvec");
        Op& o4 = op("ksx_matvec_plus_vec");
        Op& o5 = op("ksx_dot");
        Op& o6 = op("ksx_vsub");
        Op& o7 = op("ksx_sym_inplace");
        for (i64 n : {0, 1, 2, 5, 9})
            for (i64 p : {0, 1, 3, 4, 8, 13, 35})
                for (i64 m : {0, 1, 3, 4, 7, 17}) {
                    const uint64_t sd = seed++;
                    o.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        Vec A = data(g, n * p, 2), B = data(g, m * p, 1), out = filled(n * m);
                        ksx_matmul_abt(A.data(), B.data(), out.data(), n, p, m);
                        h.v(out);
                    });
                    o2.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        Vec A = data(g, n * p, 2), B = data(g, m * p, 1), C = data(g, n * m, 2),
                            out = filled(n * m);
                        ksx_matmul_abt_plus_c(A.data(), B.data(), C.data(), out.data(), n, p, m);
                        h.v(out);
                    });
                    o3.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        const i64 rows = n * m, cols = p;
                        Vec A = data(g, rows * cols, 2), x = data(g, cols, 1), out = filled(rows);
                        ksx_matvec(A.data(), x.data(), out.data(), rows, cols);
                        h.v(out);
                    });
                    o4.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        const i64 rows = n * m, cols = p;
                        Vec A = data(g, rows * cols, 2), x = data(g, cols, 1), b = data(g, rows, 2),
                            out = filled(rows);
                        ksx_matvec_plus_vec(A.data(), x.data(), b.data(), out.data(), rows, cols);
                        h.v(out);
                    });
                    o5.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        const i64 len = n * p * m;
                        Vec a = data(g, len, static_cast<int>(m % 4)), b = data(g, len, 2);
                        h.f(ksx_dot(a.data(), b.data(), len));
                    });
                    o6.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        const i64 len = n * p + m;
                        Vec a = data(g, len, 3), b = data(g, len, 2), out = filled(len);
                        ksx_vsub(a.data(), b.data(), out.data(), len);
                        ksx_vsub(a.data(), b.data(), a.data(), len);
                        h.v(out);
                        h.v(a);
                    });
                    o7.cases.push_back([n, p, m, sd](Hash& h) {
                        Rng g(sd);
                        const i64 k = n + p + m;
                        Vec P = data(g, k * k, 2);
                        ksx_sym_inplace(P.data(), k);
                        h.v(P);
                    });
                }
    }
    {
        Op& o = op("ksx_sort_median");
        for (i64 n : {0, 1, 2, 3, 4, 7, 16, 33, 100})
            for (int kind = 0; kind < 4; ++kind)
                o.cases.push_back([n, kind, sd = seed++](Hash& h) {
                    Rng g(sd);
                    Vec a = data(g, n, kind), b = a;
                    ksx_sort_f64(a.data(), n);
                    h.v(a);
                    h.f(ksx_median_f64(b.data(), n));
                    h.v(b);
                });
    }

    // ---- numeric core: Cholesky and normal equations
    {
        Op& o = op("ksx_chol");
        Op& o2 = op("ksx_chol_solve");
        Op& o3 = op("ksx_chol_inv");
        Op& o4 = op("ksx_substitutions");
        for (i64 p = 0; p <= 35; ++p)
            for (int kind = 0; kind < 4; ++kind) {
                const uint64_t sd = seed++;
                o.cases.push_back([p, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec S = spd(g, p, kind), L = filled(p * p);
                    for (f64 jitter : {0.0, 1e-3, -1.0, kNaN}) {
                        h.i(ksx_chol(S.data(), jitter, L.data(), p));
                        h.v(L);
                        h.f(ksx_logdet_from_chol(L.data(), p));
                    }
                    Vec R = data(g, p * p, kind);  // mostly indefinite
                    h.i(ksx_chol(R.data(), 0.0, L.data(), p));
                    h.v(L);
                });
                o2.cases.push_back([p, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec G = spd(g, p, kind), rhs = data(g, p, kind), coef = filled(p), L = filled(p * p);
                    h.i(ksx_chol_solve(G.data(), rhs.data(), coef.data(), L.data(), p));
                    h.v(coef);
                    h.v(L);
                });
                o3.cases.push_back([p, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec G = spd(g, p, kind), P = filled(p * p), L = filled(p * p);
                    h.i(ksx_chol_inv(G.data(), P.data(), L.data(), p));
                    h.v(P);
                    h.v(L);
                });
                o4.cases.push_back([p, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec L = data(g, p * p, kind), b = data(g, p, kind), out = filled(p);
                    for (i64 i = 0; i < p; ++i) L[i * p + i] = 1.0 + std::fabs(L[i * p + i]);
                    ksx_forward_subst(L.data(), b.data(), out.data(), p);
                    h.v(out);
                    ksx_backward_subst_chol_t(L.data(), b.data(), out.data(), p);
                    h.v(out);
                    ksx_forward_subst(L.data(), b.data(), b.data(), p);
                    ksx_backward_subst_chol_t(L.data(), b.data(), b.data(), p);
                    h.v(b);
                });
            }
    }

    // ---- numeric core: LU, real and complex
    {
        Op& o = op("ksx_lu");
        Op& o2 = op("c128");
        for (i64 n = 0; n <= 12; ++n)
            for (i64 m : {0, 1, 3})
                for (int kind = 0; kind < 4; ++kind) {
                    const uint64_t sd = seed++;
                    o.cases.push_back([n, m, kind, sd](Hash& h) {
                        Rng g(sd);
                        Vec A = data(g, n * n, kind), B = data(g, n * m, kind), X = filled(n * m),
                            inv = filled(n * n);
                        if (kind == 1 && n > 1)
                            for (i64 j = 0; j < n; ++j) A[n + j] = A[j];  // singular
                        h.i(ksx_solve(A.data(), B.data(), n, m, X.data()));
                        h.v(X);
                        h.i(ksx_inv(A.data(), n, inv.data()));
                        h.v(inv);
                        f64_lu lu = ksx_lu_factor(A.data(), n);
                        h.i(lu.err);
                        if (lu.lu != nullptr && lu.err == 0) {
                            Vec Y = filled(n * m);
                            ksx_lu_solve(lu.lu, lu.piv, B.data(), Y.data(), n, m);
                            for (i64 k = 0; k < n * n; ++k) h.f(lu.lu[k]);
                            for (i64 k = 0; k < n; ++k) h.i(lu.piv[k]);
                            h.v(Y);
                        }
                        ksx_lu_free(&lu);
                    });
                    o2.cases.push_back([n, m, kind, sd](Hash& h) {
                        Rng g(sd);
                        Vec a = data(g, 2 * n * n, kind), b = data(g, 2 * n * m, kind);
                        std::vector<c128> A(static_cast<size_t>(n * n)), B(static_cast<size_t>(n * m)),
                            X(static_cast<size_t>(n * m), c128_make(kSentinel, kSentinel)),
                            P(static_cast<size_t>(n * m), c128_make(kSentinel, kSentinel)),
                            inv(static_cast<size_t>(n * n), c128_make(kSentinel, kSentinel));
                        for (size_t k = 0; k < A.size(); ++k) A[k] = c128_make(a[2 * k], a[2 * k + 1]);
                        for (size_t k = 0; k < B.size(); ++k) B[k] = c128_make(b[2 * k], b[2 * k + 1]);
                        h.i(c128_solve(A.data(), B.data(), n, m, X.data()));
                        h.i(c128_inv(A.data(), n, inv.data()));
                        c128_matmul(A.data(), B.data(), n, n, m, P.data());
                        for (const auto* v : {&X, &inv, &P})
                            for (const c128& z : *v) h.f(z.re), h.f(z.im);
                    });
                }
    }

    // ---- regression kernels
    {
        Op& bg = op("ksx_bg_stat");
        Op& bp = op("ksx_bp_aux");
        Op& chow = op("ksx_chow_stat");
        Op& rr = op("ksx_recursive_residuals");
        Op& cs = op("ksx_cusum");
        for (const Shape& s : shapes) {
            if (s.p > 24 && s.n < 4000 && s.n % 2 == 0) continue;
            const uint64_t sd = seed++;
            const int kind = s.kind == 3 ? 2 : s.kind;  // keep most fits defined
            bg.cases.push_back([s, kind, sd](Hash& h) {
                Rng g(sd);
                const i64 K = s.p - 1;
                Vec eps = data(g, s.n, kind), X = data(g, s.n * K, kind);
                for (i64 lags : {0, 1, 3}) {
                    f64 stat = kSentinel;
                    h.i(ksx_bg_stat(eps.data(), X.data(), s.n, K, lags, &stat));
                    h.f(stat);
                }
            });
            bp.cases.push_back([s, kind, sd](Hash& h) {
                Rng g(sd);
                Vec eps = data(g, s.n, kind), X = design(g, s.n, s.p, kind);
                f64 rss = kSentinel, tss = kSentinel;
                h.i(ksx_bp_aux(eps.data(), X.data(), s.n, s.p, &rss, &tss));
                h.f(rss);
                h.f(tss);
            });
            chow.cases.push_back([s, kind, sd](Hash& h) {
                Rng g(sd);
                Vec y = data(g, s.n, kind), X = design(g, s.n, s.p, kind);
                for (i64 t : {s.n / 2, s.p + 1, s.n - s.p - 1}) {
                    f64 stat = kSentinel;
                    h.i(ksx_chow_stat(y.data(), X.data(), s.n, s.p, t, &stat));
                    h.f(stat);
                }
            });
            rr.cases.push_back([s, kind, sd](Hash& h) {
                Rng g(sd);
                Vec y = data(g, s.n, kind), X = design(g, s.n, s.p, kind), w = filled(s.n);
                h.i(ksx_recursive_residuals(y.data(), X.data(), s.n, s.p, w.data()));
                h.v(w);
            });
            cs.cases.push_back([s, kind, sd](Hash& h) {
                Rng g(sd);
                Vec y = data(g, s.n, kind), X = design(g, s.n, s.p, kind), series = filled(s.n);
                h.i(ksx_cusum_series(y.data(), X.data(), s.n, s.p, series.data()));
                h.v(series);
                f64 stat = kSentinel;
                h.i(ksx_cusum_stat(y.data(), X.data(), s.n, s.p, &stat));
                h.f(stat);
                i64 count = -1;
                stat = kSentinel;
                h.i(ksx_cusumsq_stat(y.data(), X.data(), s.n, s.p, &count, &stat));
                h.i(count);
                h.f(stat);
            });
        }
    }

    // ---- series kernels
    {
        Op& ac = op("ksx_acorr");
        Op& lb = op("ksx_lb_stat");
        Op& jb = op("ksx_jb_stat");
        std::vector<i64> ns = row_counts();
        for (i64 n : {511, 1000, 4097}) ns.push_back(n);
        for (i64 n : ns)
            for (int kind = 0; kind < 4; ++kind) {
                const uint64_t sd = seed++;
                ac.cases.push_back([n, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec x = data(g, n, kind);
                    for (i64 L : {-1, 0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 24, 33, 40}) {
                        Vec z = filled(n), out = filled(L + 1);
                        h.i(ksx_acorr(x.data(), n, L, z.data(), out.data()));
                        h.v(z);
                        h.v(out);
                    }
                });
                lb.cases.push_back([n, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec x = data(g, n, kind);
                    for (i64 L : {0, 1, 4, 10, 24, 300}) {
                        Vec z = filled(n), rho = filled(n);
                        f64 out = kSentinel;
                        h.i(ksx_lb_stat(x.data(), n, L, z.data(), rho.data(), &out));
                        h.f(out);
                    }
                });
                jb.cases.push_back([n, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec x = data(g, n, kind);
                    f64 out = kSentinel;
                    h.i(ksx_jb_stat(x.data(), n, &out));
                    h.f(out);
                });
            }
    }

    // ---- HAC, Wald and moment kernels
    {
        Op& mean = op("ksx_fill_mean_centered");
        Op& hac = op("ksx_hac_estimator_matmul");
        Op& outer = op("ksx_symmetric_outer_prod_2dim");
        Op& bw = op("bandwidths");
        for (const Shape& s : shapes) {
            if (s.p > 20 && s.n > 1000) continue;
            const uint64_t sd = seed++;
            mean.cases.push_back([s, sd](Hash& h) {
                Rng g(sd);
                Vec x = data(g, s.n * s.p, s.kind), mu = filled(s.p), c = filled(s.n * s.p);
                ksx_fill_mean_ax0(x.data(), s.n, s.p, mu.data());
                ksx_fill_centered_ax0(x.data(), mu.data(), s.n, s.p, c.data());
                h.v(mu);
                h.v(c);
            });
            hac.cases.push_back([s, sd](Hash& h) {
                Rng g(sd);
                Vec r = data(g, s.n * s.p, s.kind);
                const Vec r0 = r;
                const std::pair<KernelID, i64> windows[] = {{BARTLETT, 0}, {BARTLETT, 1}, {PARZEN, 2},
                                                            {QS, 5}, {7u, 2}};
                for (const auto& w : windows) {
                    Vec gamma = filled(s.p * s.p), out = filled(s.p * s.p);
                    ksx_hac_estimator_matmul(r.data(), w.first, w.second, s.n, s.p, gamma.data(), out.data());
                    h.v(gamma);
                    h.v(out);
                }
                h.i(r.empty() || std::memcmp(r.data(), r0.data(), r.size() * sizeof(f64)) == 0);  // r is not written
            });
            if (s.p <= 12 || s.n <= 64) outer.cases.push_back([s, sd](Hash& h) {
                Rng g(sd);
                const i64 q = s.p * (s.p + 1) / 2;
                Vec x = data(g, s.n * s.p, s.kind), out = filled(s.n * (q + 1));
                h.i(ksx_symmetric_outer_prod_2dim(x.data(), s.n, s.p, q + 1, out.data()));
                h.v(out);
            });
            bw.cases.push_back([s, sd](Hash& h) {
                Rng g(sd);
                Vec r = data(g, s.n * s.p, s.kind);
                for (KernelID id : {0u, 1u, 2u, 3u}) {
                    Vec ls = filled(s.p);
                    h.i(andrews_bandwidth_matrix(r.data(), id, s.n, s.p, ls.data()));
                    h.v(ls);
                    h.i(andrews_bandwidth(r.data(), id, s.n));
                }
                h.i(wooldridge_bandwidth(r.data(), s.n));
            });
        }
        // Every width from 1 to 40 (lag groups whose spans fill whole vectors
        // and ones that leave scalar lanes), bandwidths past n - 1, and rows
        // inside one row block and across several.
        for (i64 p = 1; p <= 40; ++p)
            for (const std::pair<i64, i64>& nl : {std::pair<i64, i64>{3, 5}, {41, 24}, {300, 9}, {1200, 6}})
                hac.cases.push_back([p, nl, sd = seed++](Hash& h) {
                    Rng g(sd);
                    const i64 n = nl.first;
                    Vec r = data(g, n * p, 2);
                    for (KernelID id : {BARTLETT, QS}) {
                        Vec gamma = filled(p * p), out = filled(p * p);
                        ksx_hac_estimator_matmul(r.data(), id, nl.second, n, p, gamma.data(), out.data());
                        h.v(gamma);
                        h.v(out);
                    }
                });
        // Long HAC runs: many lags over rows that cross the row blocks.
        for (i64 p : {1, 3, 4, 6, 10, 13})
            for (i64 L : {4, 24})
                hac.cases.push_back([p, L, sd = seed++](Hash& h) {
                    Rng g(sd);
                    const i64 n = 2500;
                    Vec r = data(g, n * p, 2), gamma = filled(p * p), out = filled(p * p);
                    ksx_hac_estimator_matmul(r.data(), BARTLETT, L, n, p, gamma.data(), out.data());
                    h.v(gamma);
                    h.v(out);
                });
    }
    {
        Op& w = op("ksx_wald_stat_from_mean_and_cov");
        Op& t = op("ksx_fill_symmetric_target_vec");
        Op& kw = op("kernel_weight");
        for (i64 p = 0; p <= 35; ++p)
            for (int kind = 0; kind < 4; ++kind) {
                const uint64_t sd = seed++;
                w.cases.push_back([p, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec mean = data(g, p, kind), target = data(g, p, 0), omega = spd(g, p, kind),
                        dev = filled(p), L = filled(p * p);
                    f64 stat = kSentinel;
                    h.i(ksx_wald_stat_from_mean_and_cov(mean.data(), target.data(), omega.data(), 1000, p,
                                                        dev.data(), L.data(), &stat));
                    h.f(stat);
                    h.v(dev);
                    h.v(L);
                });
                t.cases.push_back([p, kind, sd](Hash& h) {
                    Rng g(sd);
                    Vec T = spd(g, p, kind), out = filled(p * (p + 1) / 2);
                    if (p > 1 && kind == 1) T[1] = std::nextafter(T[1], kInf);
                    for (f64 atol : {0.0, 1e-12})
                        for (f64 rtol : {0.0, 1e-9, kNaN}) {
                            h.i(ksx_fill_symmetric_target_vec(T.data(), atol, rtol, p, out.data()));
                            h.v(out);
                        }
                });
                kw.cases.push_back([p, kind](Hash& h) {
                    for (i64 j = -1; j <= p + 2; ++j) h.f(kernel_weight(j, p + kind, static_cast<KernelID>(kind)));
                });
            }
    }

    // ---- the battery engine
    {
        Op& bat = op("ksx_battery_run");
        for (int c = 0; c < 900; ++c) bat.cases.push_back([c, sd = seed++](Hash& h) { battery_case(h, sd, c); });
        Op& lr = op("battery_long_run");
        for (i64 kernel : {0, 1, 2})
            for (i64 n : {1, 2, 3, 7, 16, 33, 100, 257})
                for (i64 p : {1, 2, 3, 5, 8})
                    lr.cases.push_back([kernel, n, p, sd = seed++](Hash& h) { long_run_case(h, sd, kernel, n, p); });
        Op& wd = op("battery_wald_statistic");
        for (i64 q = 0; q <= 9; ++q)
            for (int kind = 0; kind < 8; ++kind)
                for (int rep = 0; rep < 3; ++rep)
                    wd.cases.push_back([q, kind, sd = seed++](Hash& h) { wald_case(h, sd, q, kind); });
    }
    return ops;
}

// One line per operation: name, inputs, output bytes, hash.
struct Row {
    std::string name;
    size_t cases = 0;
    uint64_t bytes = 0;
    std::string hash;
};

std::vector<Row> run_all(const std::vector<Op>& ops) {
    std::vector<Row> rows;
    for (const Op& o : ops) {
        Hash total;
        for (const Case& c : o.cases) {
            Hash h;
            c(h);
            total.add(h);
            total.bytes += h.bytes;
        }
        rows.push_back({o.name, o.cases.size(), total.bytes, total.hex()});
    }
    return rows;
}

std::string format(const Row& r) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%-34s %6zu inputs %10" PRIu64 " bytes %s", r.name.c_str(), r.cases,
                  r.bytes, r.hash.c_str());
    return buf;
}

// The instruction set the dispatched functions run with in this process.
const char* dispatch_note() {
#if defined(KSX_BITCHECK_PORTABLE)
    return "portable build: one baseline copy of every function";
#elif defined(__x86_64__)
    __builtin_cpu_init();
    const bool v3 = __builtin_cpu_supports("x86-64-v3");
#if defined(KSX_BITCHECK_NO_AVX512)
    if (v3)
        return "build without AVX-512 copies: this CPU has AVX2 and FMA, the x86-64-v3 copies run";
#else
    if (__builtin_cpu_supports("x86-64-v4"))
        return "fast build: this CPU has AVX-512, the x86-64-v4 kernels and the x86-64-v3 copies run";
    if (v3)
        return "fast build: this CPU has AVX2 and FMA (no AVX-512), the x86-64-v3 copies run";
#endif
    return "this CPU lacks AVX2/FMA: the baseline copies run, the same code as the portable "
           "build, so both take the same path here";
#else
    return "not x86-64: every function exists once, the same code as the portable build, so "
           "both take the same path here";
#endif
}

// Every hashed word of one input, as bits and as a double.
int dump_case(const std::vector<Op>& ops, const std::string& name, size_t index) {
    for (const Op& o : ops) {
        if (o.name != name || index >= o.cases.size()) continue;
        std::vector<uint64_t> words;
        Hash h;
        h.log = &words;
        o.cases[index](h);
        for (size_t k = 0; k < words.size(); ++k) {
            f64 x;
            std::memcpy(&x, &words[k], sizeof x);
            std::printf("%zu %016" PRIx64 " %.17g\n", k, words[k], x);
        }
        return 0;
    }
    std::fprintf(stderr, "no input %zu of %s\n", index, name.c_str());
    return 2;
}

int print_cases(const std::vector<Op>& ops, const std::string& name) {
    for (const Op& o : ops) {
        if (o.name != name) continue;
        for (size_t k = 0; k < o.cases.size(); ++k) {
            Hash h;
            o.cases[k](h);
            std::printf("%zu %" PRIu64 " %s\n", k, h.bytes, h.hex().c_str());
        }
        return 0;
    }
    std::fprintf(stderr, "no operation %s\n", name.c_str());
    return 2;
}

// The words of a command as one shell command line, each quoted.
std::string shell_command(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) {
        if (!line.empty()) line += ' ';
        line += '\'';
        for (char c : w) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

std::vector<std::string> read_lines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* f = popen(command.c_str(), "r");
    if (f == nullptr) return lines;
    std::string cur;
    for (int c; (c = std::fgetc(f)) != EOF;) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(c));
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    if (pclose(f) != 0) lines.clear();
    return lines;
}

int compare(const std::vector<Op>& ops, const std::vector<std::string>& command) {
    std::printf("%s\n", dispatch_note());
    const std::vector<Row> mine = run_all(ops);
    const std::string other = shell_command(command);
    const std::vector<std::string> theirs = read_lines(other);
    if (theirs.size() != mine.size()) {
        std::printf("FAILED: %s printed %zu lines, expected %zu\n", other.c_str(), theirs.size(), mine.size());
        return 1;
    }
    size_t failed = 0;
    for (size_t k = 0; k < mine.size(); ++k) {
        const std::string line = format(mine[k]);
        if (line == theirs[k]) {
            std::printf("same      %s\n", line.c_str());
            continue;
        }
        ++failed;
        std::printf("DIFFERENT %s\n   other  %s\n", line.c_str(), theirs[k].c_str());
        const std::vector<std::string> other_cases = read_lines(other + " --cases " + mine[k].name);
        const Op& o = ops[k];
        for (size_t c = 0; c < o.cases.size(); ++c) {
            Hash h;
            o.cases[c](h);
            char buf[128];
            std::snprintf(buf, sizeof buf, "%zu %" PRIu64 " %s", c, h.bytes, h.hex().c_str());
            if (c >= other_cases.size() || other_cases[c] != buf) {
                std::printf("   first differing input: #%zu of %s\n", c, o.name.c_str());
                break;
            }
        }
    }
    size_t inputs = 0;
    for (const Row& r : mine) inputs += r.cases;
    std::printf("%zu operations, %zu inputs: %zu passed, %zu failed\n", mine.size(), inputs,
                mine.size() - failed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Op> ops = build_ops();
    if (argc == 3 && std::strcmp(argv[1], "--cases") == 0) return print_cases(ops, argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "--compare") == 0)
        return compare(ops, std::vector<std::string>(argv + 2, argv + argc));
    if (argc == 4 && std::strcmp(argv[1], "--dump") == 0)
        return dump_case(ops, argv[2], static_cast<size_t>(std::strtoull(argv[3], nullptr, 10)));
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--cases NAME | --dump NAME INDEX | --compare COMMAND...]\n", argv[0]);
        return 2;
    }
    for (const Row& r : run_all(ops)) std::printf("%s\n", format(r).c_str());
    return 0;
}
