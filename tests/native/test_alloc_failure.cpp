// Allocation failure of every scratch block of every kernel, and of the
// battery engine's.
//
// Sizes that no allocator can serve reach most DIAG_NO_MEMORY paths (see
// test_diag.cpp), but not all: a nested kernel whose block fails while the
// caller's own block succeeded needs an allocator that fails on request.  This
// executable therefore interposes malloc and free.  The probe is thread-local
// and off by default: armed on one thread, it counts that thread's
// allocations, fails the k-th one, and tracks which blocks are still live.
// Every other thread, and every other test of this executable, only passes
// through to the real allocator (AddressSanitizer's, in a sanitized build).
// The library itself keeps no hook and no global state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "diag.h"
#include "diag_wald.h"
#include "ksx_battery.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSX_ASAN_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KSX_ASAN_BUILD 1
#endif

extern "C" {
#if defined(KSX_ASAN_BUILD)
// The sanitizer's own entry points; its `malloc` and `free` are weak aliases
// of these, which the definitions below replace.
void* __interceptor_malloc(std::size_t size);
void __interceptor_free(void* ptr);
#define KSX_REAL_MALLOC __interceptor_malloc
#define KSX_REAL_FREE __interceptor_free
#else
void* __libc_malloc(std::size_t size);
void __libc_free(void* ptr);
#define KSX_REAL_MALLOC __libc_malloc
#define KSX_REAL_FREE __libc_free
#endif
}

namespace {

constexpr int kMaxTracked = 32;

// Constant-initialised, so touching it never allocates.
struct Probe {
    bool armed;
    long fail_at;  // 1-based index of the allocation to fail; 0: never
    long calls;    // allocations requested while armed
    long failed;   // allocations refused
    long live;     // blocks handed out while armed and not yet freed
    void* blocks[kMaxTracked];
};
thread_local Probe t_probe = {};

void track(void* ptr) {
    for (void*& slot : t_probe.blocks) {
        if (slot == nullptr) {
            slot = ptr;
            ++t_probe.live;
            return;
        }
    }
}

void untrack(void* ptr) {
    for (void*& slot : t_probe.blocks) {
        if (slot == ptr) {
            slot = nullptr;
            --t_probe.live;
            return;
        }
    }
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
    if (!t_probe.armed) return KSX_REAL_MALLOC(size);
    ++t_probe.calls;
    if (t_probe.calls == t_probe.fail_at) {
        ++t_probe.failed;
        return nullptr;
    }
    void* ptr = KSX_REAL_MALLOC(size);
    if (ptr != nullptr) track(ptr);
    return ptr;
}

extern "C" void free(void* ptr) {
    if (ptr != nullptr && t_probe.armed) untrack(ptr);
    KSX_REAL_FREE(ptr);
}

namespace {

constexpr f64 kSentinel = -4242.5;
constexpr i64 kCountSentinel = -99;

// Arms the probe on this thread for one scope.
class Armed {
public:
    explicit Armed(long fail_at) {
        t_probe = Probe{};
        t_probe.fail_at = fail_at;
        t_probe.armed = true;
    }
    ~Armed() { t_probe.armed = false; }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
};

// What one kernel call may write.
struct Outputs {
    f64 a = kSentinel, b = kSentinel;
    i64 count = kCountSentinel;
    std::vector<f64> array = std::vector<f64>(64, kSentinel);
};

// A well-posed regression: T rows of (1, t, a wiggle), y trending.
struct Data {
    static constexpr i64 T = 14, p = 3;
    std::vector<f64> X, Xk, y;  // Xk: X without its constant, for bg_stat
    Data() {
        for (i64 t = 0; t < T; ++t) {
            const f64 ft = static_cast<f64>(t);
            X.insert(X.end(), {1.0, ft, std::sin(1.7 * ft)});
            Xk.insert(Xk.end(), {ft, std::sin(1.7 * ft)});
            y.push_back(0.5 + 0.25 * ft + std::cos(0.9 * ft));
        }
    }
};
const Data kData;

struct KernelRun {
    const char* name;
    int blocks;  // scratch blocks taken by a successful call
    std::function<int(Outputs&)> run;
};

std::vector<KernelRun> arena_kernels() {
    const f64* y = kData.y.data();
    const f64* X = kData.X.data();
    const f64* Xk = kData.Xk.data();
    const i64 T = Data::T, p = Data::p;
    return {
        {"bg_stat", 1, [=](Outputs& o) { return ksx_bg_stat(y, Xk, T, p - 1, 2, &o.a); }},
        {"bp_aux", 1, [=](Outputs& o) { return ksx_bp_aux(y, X, T, p, &o.a, &o.b); }},
        {"chow_stat", 1, [=](Outputs& o) { return ksx_chow_stat(y, X, T, p, 6, &o.a); }},
        {"recursive_residuals", 1, [=](Outputs& o) { return ksx_recursive_residuals(y, X, T, p, o.array.data()); }},
        {"cusum_series", 2, [=](Outputs& o) { return ksx_cusum_series(y, X, T, p, o.array.data()); }},
        {"cusum_stat", 3, [=](Outputs& o) { return ksx_cusum_stat(y, X, T, p, &o.a); }},
        {"cusumsq_stat", 2, [=](Outputs& o) { return ksx_cusumsq_stat(y, X, T, p, &o.count, &o.a); }},
    };
}

// How the outputs must look after the k-th block failed.  Blocks are taken
// outermost first: cusum_stat takes its own, then cusum_series its own, then
// the recursive residuals theirs.  A failure at the outer level leaves the
// scalar unwritten; one reported by a nested kernel is written as NaN.
void expect_outputs_after_failure(const char* name, int k, const Outputs& o) {
    SCOPED_TRACE(testing::Message() << name << ", block " << k << " fails");
    const std::string kernel = name;
    const bool nested = k > 1;
    if (kernel == "cusum_stat" || kernel == "cusumsq_stat") {
        if (nested) EXPECT_TRUE(std::isnan(o.a));
        else EXPECT_EQ(o.a, kSentinel);
    } else {
        EXPECT_EQ(o.a, kSentinel);
    }
    EXPECT_EQ(o.b, kSentinel);
    // The count is written first, on every return, once the sizes are accepted.
    EXPECT_EQ(o.count, kernel == "cusumsq_stat" ? Data::T - Data::p : kCountSentinel);
    for (f64 v : o.array) EXPECT_EQ(v, kSentinel);  // series and w untouched
}

TEST(AllocFailure, EveryScratchBlockOfEveryKernel) {
    const Data before;
    int provoked = 0;
    for (const KernelRun& kernel : arena_kernels()) {
        // A successful call, counted: it takes exactly `blocks` blocks and
        // returns every one of them.
        {
            Outputs o;
            int status;
            long calls, live;
            {
                Armed probe(0);
                status = kernel.run(o);
                calls = t_probe.calls;
                live = t_probe.live;
            }
            EXPECT_EQ(status, DIAG_OK) << kernel.name;
            EXPECT_EQ(calls, kernel.blocks) << kernel.name;
            EXPECT_EQ(live, 0) << kernel.name;
        }
        // Fail each block in turn.
        for (int k = 1; k <= kernel.blocks; ++k) {
            Outputs o;
            int status;
            long calls, failed, live;
            {
                Armed probe(k);
                status = kernel.run(o);
                calls = t_probe.calls;
                failed = t_probe.failed;
                live = t_probe.live;
            }
            EXPECT_EQ(status, DIAG_NO_MEMORY) << kernel.name << " block " << k;
            EXPECT_EQ(failed, 1) << kernel.name << " block " << k;
            EXPECT_EQ(calls, k) << kernel.name << ": nothing is allocated after a failure";
            EXPECT_EQ(live, 0) << kernel.name << " block " << k << ": a block leaked";
            expect_outputs_after_failure(kernel.name, k, o);
            ++provoked;
        }
    }
    EXPECT_EQ(provoked, 11);
    EXPECT_EQ(kData.X, before.X);
    EXPECT_EQ(kData.Xk, before.Xk);
    EXPECT_EQ(kData.y, before.y);
}

// The case no size can reach: cusum_series has its own block and then gets
// DIAG_NO_MEMORY from the recursive residuals it calls.
TEST(AllocFailure, CusumSeriesNestedFailureAfterOwnBlock) {
    std::vector<f64> series(Data::T - Data::p, kSentinel);
    int status;
    long calls, live;
    {
        Armed probe(2);
        status = ksx_cusum_series(kData.y.data(), kData.X.data(), Data::T, Data::p, series.data());
        calls = t_probe.calls;
        live = t_probe.live;
    }
    EXPECT_EQ(status, DIAG_NO_MEMORY);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(live, 0);
    for (f64 v : series) EXPECT_EQ(v, kSentinel);
}

// Every other return of the kernels that take blocks releases them: the
// FALLBACK paths after the blocks were taken, and the argument tests before.
TEST(AllocFailure, BlocksReleasedOnEveryStatusPath) {
    const f64 y5[5] = {1, 3, 2, 5, 4};
    const f64 rep[10] = {1, 1, 1, 1, 1, 2, 1, 3, 1, 5};      // rows 0 and 1 repeat
    const f64 twin[10] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5};     // equal columns
    const f64 scale[6] = {1, 0, 0, 1e-6, 1e6, 0};            // full fit fails, start fit passes
    const f64 ones[5] = {1, 1, 1, 1, 1};
    struct Case {
        const char* what;
        std::function<int(Outputs&)> run;
        int status;
        long blocks;
    };
    const Case cases[] = {
        {"bg rank-deficient", [&](Outputs& o) { return ksx_bg_stat(y5, ones, 5, 1, 0, &o.a); }, DIAG_FALLBACK, 1},
        {"bg lags >= n", [&](Outputs& o) { return ksx_bg_stat(y5, ones, 5, 1, 5, &o.a); }, DIAG_TOO_FEW_OBS, 0},
        {"bp twin columns", [&](Outputs& o) { return ksx_bp_aux(y5, twin, 5, 2, &o.a, &o.b); }, DIAG_FALLBACK, 1},
        {"bp zero variance", [&](Outputs& o) { const f64 z[3] = {0, 0, 0}; return ksx_bp_aux(z, ones, 3, 1, &o.a, &o.b); }, DIAG_UDEF_VARIANCE, 0},
        {"chow short segment", [&](Outputs& o) { return ksx_chow_stat(y5, rep, 5, 2, 1, &o.a); }, DIAG_FALLBACK, 1},
        {"chow bad break", [&](Outputs& o) { return ksx_chow_stat(y5, ones, 5, 1, 0, &o.a); }, DIAG_BAD_BREAK, 0},
        {"rr start fit", [&](Outputs& o) { return ksx_recursive_residuals(y5, rep, 5, 2, o.array.data()); }, DIAG_FALLBACK, 1},
        {"series start fit", [&](Outputs& o) { return ksx_cusum_series(y5, rep, 5, 2, o.array.data()); }, DIAG_FALLBACK, 2},
        {"series full fit", [&](Outputs& o) { return ksx_cusum_series(y5, scale, 3, 2, o.array.data()); }, DIAG_FALLBACK, 2},
        {"cusum start fit", [&](Outputs& o) { return ksx_cusum_stat(y5, rep, 5, 2, &o.a); }, DIAG_FALLBACK, 3},
        {"cusum full fit", [&](Outputs& o) { return ksx_cusum_stat(y5, scale, 3, 2, &o.a); }, DIAG_FALLBACK, 3},
        {"cusum T == p", [&](Outputs& o) { return ksx_cusum_stat(y5, ones, 1, 1, &o.a); }, DIAG_TOO_FEW_OBS, 0},
        {"cusumsq start fit", [&](Outputs& o) { return ksx_cusumsq_stat(y5, rep, 5, 2, &o.count, &o.a); }, DIAG_FALLBACK, 2},
        // p = 0: the block of the recursive residuals is empty and not allocated.
        {"no regressors", [&](Outputs& o) { return ksx_cusum_stat(y5, nullptr, 5, 0, &o.a); }, DIAG_OK, 2},
    };
    for (const Case& c : cases) {
        Outputs o;
        int status;
        long calls, live;
        {
            Armed probe(0);
            status = c.run(o);
            calls = t_probe.calls;
            live = t_probe.live;
        }
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(calls, c.blocks) << c.what;
        EXPECT_EQ(live, 0) << c.what;
    }
}

// The kernels without a DIAG_NO_MEMORY path must indeed allocate nothing.
TEST(AllocFailure, KernelsWithoutScratchAllocateNothing) {
    const f64* y = kData.y.data();
    const f64* X = kData.X.data();
    const i64 T = Data::T, p = Data::p;
    std::vector<f64> a(T * T), b(T * T);  // room for every output below
    std::vector<f64> target = {2, 0.5, 0, 0.5, 2, 0.5, 0, 0.5, 2};
    std::vector<f64> r(kData.X);
    const std::vector<std::function<void()>> calls = {
        [&] { ksx_acorr(y, T, 5, a.data(), b.data()); },
        [&] { f64 s; ksx_lb_stat(y, T, 5, a.data(), b.data(), &s); },
        [&] { f64 s; ksx_jb_stat(y, T, &s); },
        [&] { for (KernelID id : {BARTLETT, PARZEN, QS}) ksx_hac_estimator_matmul(r.data(), id, 4, T, p, a.data(), b.data()); },
        [&] { ksx_fill_mean_ax0(X, T, p, a.data()); },
        [&] { ksx_fill_centered_ax0(X, y, T, p, a.data()); },
        [&] { f64 s; ksx_wald_stat_from_mean_and_cov(y, y + p, target.data(), T, p, a.data(), b.data(), &s); },
        [&] { ksx_symmetric_outer_prod_2dim(X, T, p, 6, a.data()); },
        [&] { ksx_fill_symmetric_target_vec(target.data(), 0.0, 0.0, p, a.data()); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        long count;
        {
            Armed probe(1);  // any allocation would fail and be counted
            calls[i]();
            count = t_probe.calls;
        }
        EXPECT_EQ(count, 0) << "call " << i;
    }
}

// Failing allocations on one thread leaves the kernels on another thread
// untouched: the library has no state through which one call reaches another.
TEST(AllocFailure, FailureOnOneThreadDoesNotReachAnother) {
    const f64* y = kData.y.data();
    const f64* X = kData.X.data();
    f64 want = 0;
    ASSERT_EQ(ksx_cusum_stat(y, X, Data::T, Data::p, &want), DIAG_OK);
    constexpr int kRounds = 2000;
    int failures = 0, successes = 0;
    std::thread failing([&] {
        for (int i = 0; i < kRounds; ++i) {
            f64 s = kSentinel;
            Armed probe(1 + i % 3);
            if (ksx_cusum_stat(y, X, Data::T, Data::p, &s) == DIAG_NO_MEMORY && t_probe.live == 0) ++failures;
        }
    });
    std::thread healthy([&] {
        for (int i = 0; i < kRounds; ++i) {
            f64 s = kSentinel;
            if (ksx_cusum_stat(y, X, Data::T, Data::p, &s) == DIAG_OK && std::memcmp(&s, &want, sizeof s) == 0)
                ++successes;
        }
    });
    failing.join();
    healthy.join();
    EXPECT_EQ(failures, kRounds);
    EXPECT_EQ(successes, kRounds);
}

// ---------------------------------------------------------------- the battery engine

// One call of the engine: stacked groups of the given sizes (p columns, q of Z), every optional output
// or none, a lag window.
struct EngineCall {
    const char* what;
    i64 p, q;
    std::vector<i64> sizes;
    bool optional;
    i64 kernel_id;
    bool columns = false;  // X passed as columns (ksx_battery_run_columns)
};

std::vector<EngineCall> engine_calls() {
    return {
        {"one group", 3, 0, {30}, true, 0},
        {"one group, required outputs only", 3, 0, {30}, false, 0},
        {"lane runs beside odd sizes", 3, 0, {20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 7, 12, 12, 5}, true, 1},
        {"lane runs, required outputs only", 2, 0, {9, 9, 9, 9, 9, 9, 9, 9, 9, 40}, false, 0},
        {"with Z", 3, 2, {25, 25, 25, 11}, true, 0},
        {"quadratic-spectral window", 4, 0, {64, 64, 64, 64, 64, 130}, true, 2},
        {"empty and one-row groups", 2, 0, {0, 1, 1, 1, 0, 15}, true, 0},
        {"X as columns, lane runs beside odd sizes", 3, 0, {20, 20, 20, 20, 20, 7, 12, 12, 5}, true, 1, true},
    };
}

// The inputs and outputs of one engine call, every output filled with a sentinel.
struct EngineRun {
    const EngineCall& call;
    std::vector<i64> starts{0};
    std::vector<f64> y, X, Z;
    std::vector<f64> columns;             // X column by column, for a call with X as columns
    std::vector<const f64*> column_ptrs;  // its columns, the first (ones) null
    i64 G = 0, N = 0;
    std::vector<f64> stat, rss, tss, coef, bse, coef_hac, resid, recursive, sup_f;
    std::vector<i64> df1, df2, info, rank;
    std::vector<int32_t> status, fit_status;
    std::vector<uint32_t> flags;
    std::vector<uint8_t> has_constant, dependent;

    explicit EngineRun(const EngineCall& c) : call(c) {
        for (i64 n : c.sizes) starts.push_back(starts.back() + n);
        G = static_cast<i64>(c.sizes.size());
        N = starts.back();
        for (i64 i = 0; i < N; ++i) {
            const f64 t = static_cast<f64>(i);
            for (i64 j = 0; j < c.p; ++j) X.push_back(j == 0 ? 1.0 : std::sin(0.37 * t * static_cast<f64>(j + 1)));
            for (i64 j = 0; j < c.q; ++j) Z.push_back(std::cos(0.21 * t + static_cast<f64>(j)));
            y.push_back(0.5 + 0.1 * t + std::cos(1.3 * t) + 0.3 * std::sin(2.9 * t * t));
        }
        const i64 T = KSX_T_COUNT, p = c.p;
        columns.resize(static_cast<size_t>(N * p));
        for (i64 i = 0; i < N; ++i)
            for (i64 j = 0; j < p; ++j) columns[j * N + i] = X[i * p + j];
        for (i64 j = 0; j < p; ++j) column_ptrs.push_back(j == 0 ? nullptr : columns.data() + j * N);
        stat.assign(G * T, kSentinel);
        rss.assign(G, kSentinel);
        tss.assign(G, kSentinel);
        coef.assign(G * p, kSentinel);
        bse.assign(G * p, kSentinel);
        coef_hac.assign(G * p * p, kSentinel);
        resid.assign(N, kSentinel);
        recursive.assign(N, kSentinel);
        sup_f.assign(N, kSentinel);
        df1.assign(G * T, kCountSentinel);
        df2.assign(G * T, kCountSentinel);
        info.assign(G * T * KSX_INFO_WORDS, kCountSentinel);
        rank.assign(G, kCountSentinel);
        status.assign(G * T, -99);
        fit_status.assign(G, -99);
        flags.assign(G * T, 0xA5A5A5A5u);
        has_constant.assign(G, 0xA5);
        dependent.assign(G * p, 0xA5);
    }

    int run() {
        ksx_battery_options o{};
        o.tests = (uint64_t{1} << KSX_T_COUNT) - 1;
        o.lags = 2;
        o.arch_lags = 2;
        o.break_at = -1;
        o.kernel_id = call.kernel_id;
        o.bandwidth = -1;
        o.power = 3;
        o.trim = 0.15;
        o.cusum_scale = 0;
        o.white_cross = 1;
        ksx_battery_out out{};
        out.stat = stat.data();
        out.df1 = df1.data();
        out.df2 = df2.data();
        out.status = status.data();
        out.flags = flags.data();
        out.info = info.data();
        if (call.optional) {
            out.fit_status = fit_status.data();
            out.rank = rank.data();
            out.has_constant = has_constant.data();
            out.rss = rss.data();
            out.tss = tss.data();
            out.coef = coef.data();
            out.bse = bse.data();
            out.dependent = dependent.data();
            out.coef_hac = coef_hac.data();
            out.resid = resid.data();
            out.recursive = recursive.data();
            out.sup_f = sup_f.data();
        }
        if (call.columns)
            return ksx_battery_run_columns(y.data(), column_ptrs.data(), N, call.p, starts.data(), G, &o, &out);
        return ksx_battery_run(y.data(), X.data(), N, call.p, starts.data(), G, call.q ? Z.data() : nullptr,
                               call.q, &o, &out);
    }

    // Every output as bytes, to compare two runs, or a run with the untouched sentinels.
    std::vector<unsigned char> bytes() const {
        std::vector<unsigned char> b;
        auto add = [&b](const void* data, std::size_t size) {
            const unsigned char* c = static_cast<const unsigned char*>(data);
            b.insert(b.end(), c, c + size);
        };
        for (const auto* v : {&stat, &rss, &tss, &coef, &bse, &coef_hac, &resid, &recursive, &sup_f})
            add(v->data(), v->size() * sizeof(f64));
        for (const auto* v : {&df1, &df2, &info, &rank}) add(v->data(), v->size() * sizeof(i64));
        for (const auto* v : {&status, &fit_status}) add(v->data(), v->size() * sizeof(int32_t));
        add(flags.data(), flags.size() * sizeof(uint32_t));
        for (const auto* v : {&has_constant, &dependent}) add(v->data(), v->size());
        return b;
    }
};

// Each allocation of an engine call fails in turn: the call reports KSX_S_NO_MEMORY (or, had the block
// been optional, succeeds with the bits of an undisturbed call), returns every block it took, and
// writes nothing when the failing block is the first (taken before any group is reached).
TEST(AllocFailure, EveryAllocationOfTheBatteryEngine) {
    for (const EngineCall& call : engine_calls()) {
        SCOPED_TRACE(call.what);
        EngineRun clean(call);
        const std::vector<unsigned char> untouched = clean.bytes();
        int status;
        long blocks, live;
        {
            Armed probe(0);
            status = clean.run();
            blocks = t_probe.calls;
            live = t_probe.live;
        }
        ASSERT_EQ(status, KSX_S_OK);
        EXPECT_GE(blocks, 1);  // the scratch of the groups
        EXPECT_EQ(live, 0) << "a block leaked";
        EXPECT_NE(clean.bytes(), untouched);
        const std::vector<unsigned char> want = clean.bytes();
        for (long k = 1; k <= blocks; ++k) {
            EngineRun r(call);
            long calls, failed;
            {
                Armed probe(k);
                status = r.run();
                calls = t_probe.calls;
                failed = t_probe.failed;
                live = t_probe.live;
            }
            EXPECT_EQ(failed, 1) << "block " << k;
            EXPECT_EQ(live, 0) << "block " << k << ": a block leaked";
            if (status == KSX_S_OK) {
                EXPECT_EQ(r.bytes(), want) << "block " << k << " was optional, the results must not change";
                continue;
            }
            EXPECT_EQ(status, KSX_S_NO_MEMORY) << "block " << k;
            EXPECT_EQ(calls, k) << "nothing is allocated after a failure";
            if (k == 1) {
                EXPECT_EQ(r.bytes(), untouched) << "no group is reached";
            }
        }
    }
}

// An engine call failing its allocations on one thread leaves calls on another untouched.
TEST(AllocFailure, BatteryEngineFailureOnOneThreadDoesNotReachAnother) {
    const EngineCall call = engine_calls()[2];
    EngineRun reference(call);
    ASSERT_EQ(reference.run(), KSX_S_OK);
    const std::vector<unsigned char> want = reference.bytes();
    constexpr int kRounds = 200;
    int failures = 0, successes = 0;
    std::thread failing([&] {
        for (int i = 0; i < kRounds; ++i) {
            EngineRun r(call);
            Armed probe(1);
            if (r.run() == KSX_S_NO_MEMORY && t_probe.live == 0) ++failures;
        }
    });
    std::thread healthy([&] {
        for (int i = 0; i < kRounds; ++i) {
            EngineRun r(call);
            if (r.run() == KSX_S_OK && r.bytes() == want) ++successes;
        }
    });
    failing.join();
    healthy.join();
    EXPECT_EQ(failures, kRounds);
    EXPECT_EQ(successes, kRounds);
}

}  // namespace
