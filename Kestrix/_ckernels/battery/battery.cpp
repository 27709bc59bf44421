// The battery engine's entry point: groups in, one battery per group out.
//
// Groups are taken in their order.  Runs of consecutive groups of the same
// size that are clean (every value finite) go side by side in vector lanes
// (battery_lanes.cpp) where the build has them; every other group, and every
// lane that left the common branch, runs on f64.  The lanes give the bits of
// the f64 run, so how groups are batched never shows in a result.
#include "ksx_battery.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "../diag/arena.hpp"
#include "battery_impl.hpp"
#include "battery_lanes.hpp"

namespace ksx {
namespace battery {

Sink sink_of(ksx_battery_out* out, i64 g, i64 start, i64 p) {
    const i64 T = KSX_T_COUNT;
    Sink k;
    k.stat = out->stat + g * T;
    k.df1 = out->df1 + g * T;
    k.df2 = out->df2 + g * T;
    k.status = out->status + g * T;
    k.flags = out->flags + g * T;
    k.info = out->info + g * T * KSX_INFO_WORDS;
    k.fit_status = out->fit_status ? out->fit_status + g : nullptr;
    k.rank = out->rank ? out->rank + g : nullptr;
    k.has_constant = out->has_constant ? out->has_constant + g : nullptr;
    k.rss = out->rss ? out->rss + g : nullptr;
    k.tss = out->tss ? out->tss + g : nullptr;
    k.coef = out->coef ? out->coef + g * p : nullptr;
    k.bse = out->bse ? out->bse + g * p : nullptr;
    k.dependent = out->dependent ? out->dependent + g * p : nullptr;
    k.coef_hac = out->coef_hac ? out->coef_hac + g * p * p : nullptr;
    k.resid = out->resid ? out->resid + start : nullptr;
    k.recursive = out->recursive ? out->recursive + start : nullptr;
    k.sup_f = out->sup_f ? out->sup_f + start : nullptr;
    return k;
}

namespace {

// Whether every value is finite: no exponent field of all ones (an OR over the bits, which vectorises).
bool finite(const f64* a, i64 count) {
    constexpr uint64_t kExponent = 0x7ff0000000000000ULL;
    uint64_t any = 0;
    for (i64 i = 0; i < count; ++i) {
        uint64_t bits;
        std::memcpy(&bits, a + i, sizeof bits);
        any |= static_cast<uint64_t>((bits & kExponent) == kExponent);
    }
    return any == 0;
}

// The lane width the machine runs, and the copy of the lane runs for it.
int lane_width() {
#if defined(__x86_64__) && !defined(KSX_PORTABLE) && !defined(KSX_NO_AVX512) && defined(__GNUC__)
    if (__builtin_cpu_supports("x86-64-v4")) return 8;
#endif
    return 4;
}

i64 run_lanes(const LaneRun& r, i64 g) {
#if defined(__x86_64__) && !defined(KSX_PORTABLE) && defined(__GNUC__)
#if !defined(KSX_NO_AVX512)
    if (__builtin_cpu_supports("x86-64-v4")) return run_lanes_isa_v4(r, g);
#endif
    if (__builtin_cpu_supports("x86-64-v3")) return run_lanes_isa_v3(r, g);
#endif
    return run_lanes_isa_base(r, g);
}

// A group the battery cannot fit: every output of it says why.
void refuse_group(const Sink& k, int32_t status, const ksx_battery_options& o, i64 n, i64 p) {
    for (int t = 0; t < KSX_T_COUNT; ++t) {
        k.set(t, ((o.tests >> t) & 1u) ? status : KSX_S_NOT_RUN);
        k.flags[t] = 0;
        for (int m = 0; m < KSX_INFO_WORDS; ++m) k.words(t)[m] = 0;
    }
    if (k.fit_status) *k.fit_status = status;
    if (k.rank) *k.rank = 0;
    if (k.has_constant) *k.has_constant = 0;
    if (k.rss) *k.rss = kNaN;
    if (k.tss) *k.tss = kNaN;
    for (i64 j = 0; j < p; ++j) {
        if (k.coef) k.coef[j] = kNaN;
        if (k.bse) k.bse[j] = kNaN;
        if (k.dependent) k.dependent[j] = 0;
    }
    if (k.coef_hac)
        for (i64 j = 0; j < p * p; ++j) k.coef_hac[j] = kNaN;
    for (i64 i = 0; i < n; ++i) {
        if (k.resid) k.resid[i] = kNaN;
        if (k.recursive) k.recursive[i] = kNaN;
        if (k.sup_f) k.sup_f[i] = kNaN;
    }
}

}  // namespace

bool group_is_clean(const f64* y, const f64* X, i64 n, i64 p) { return finite(y, n) && finite(X, n * p); }

// One group on f64, in scratch sized for at least its shape.
void run_one(const f64* y, const f64* X, const f64* Z, i64 n, i64 p, i64 q, const ksx_battery_options& o,
             const Sink& k, f64* scratch) {
    if (!finite(y, n) || !finite(X, n * p) || (Z && !finite(Z, n * q))) {
        refuse_group(k, KSX_S_NOT_FINITE, o, n, p);
        return;
    }
    if (n == 0) {
        refuse_group(k, KSX_S_TOO_FEW_OBS, o, n, p);
        return;
    }
    // Finite: checked above.  The copy for the machine's instruction set.
#if defined(__x86_64__) && !defined(KSX_PORTABLE) && defined(__GNUC__)
#if !defined(KSX_NO_AVX512)
    if (__builtin_cpu_supports("x86-64-v4")) return run_f64_isa_v4(y, X, Z, n, p, q, o, k, scratch);
#endif
    if (__builtin_cpu_supports("x86-64-v3")) return run_f64_isa_v3(y, X, Z, n, p, q, o, k, scratch);
#endif
    run_f64_isa_base(y, X, Z, n, p, q, o, k, scratch);
}

namespace {

// Every group of the stack: the lane runs where groups of one size follow each other, the rest on f64.
int run_all(const f64* y, const Design& X, i64 N, const i64* starts, i64 G, const f64* Z, i64 q,
            const ksx_battery_options& o, ksx_battery_out* out) {
    const i64 p = X.p;
    if (!Z) q = 0;
    // The largest group, and the largest that has a neighbour of its size (the lanes' scratch).
    i64 n_max = 0, n_lanes = 0;
    for (i64 g = 0; g < G; ++g) {
        const i64 n = starts[g + 1] - starts[g];
        n_max = std::max(n_max, n);
        if (!Z && g + 1 < G && starts[g + 2] - starts[g + 1] == n) n_lanes = std::max(n_lanes, n);
    }
    const int width = lane_width();
    const i64 one = shape_of(n_max, p, q, o).total(1);
    const i64 lane = n_lanes ? shape_of(n_lanes, p, 0, o).total(width) : 0;
    // A design of columns: a group's rows gathered for its f64 run (n_max·p <= N·p, which the caller holds).
    const i64 rows = X.cols ? n_max * p : 0;
    ksx::Arena arena({one, lane, rows});
    if (!arena.ok()) return KSX_S_NO_MEMORY;
    f64* one_scratch = arena.take(one);
    f64* lane_scratch = arena.take(lane);
    f64* row_scratch = arena.take(rows);
    // The sup-F path is NaN outside the candidates: clear every row first.
    if (out->sup_f)
        for (i64 i = 0; i < N; ++i) out->sup_f[i] = kNaN;
    const LaneRun r{y, X, starts, G, p, &o, out, lane_scratch, one_scratch, row_scratch};
    i64 g = 0;
    while (g < G) {
        if (n_lanes) {
            const i64 done = run_lanes(r, g);
            if (done > 0) {
                g += done;
                continue;
            }
        }
        const i64 s = starts[g], n = starts[g + 1] - s;
        run_one(y + s, X.rows_of(s, n, row_scratch), Z ? Z + s * q : nullptr, n, p, q, o, sink_of(out, g, s, p),
                one_scratch);
        ++g;
    }
    return KSX_S_OK;
}

}  // namespace

}  // namespace battery
}  // namespace ksx

using namespace ksx::battery;

extern "C" int ksx_battery_run(const f64* y, const f64* X, i64 N, i64 p, const i64* starts, i64 G, const f64* Z,
                               i64 q, const ksx_battery_options* options, ksx_battery_out* out) {
    return run_all(y, Design{X, nullptr, p}, N, starts, G, Z, q, *options, out);
}

extern "C" int ksx_battery_run_columns(const f64* y, const f64* const* columns, i64 N, i64 p, const i64* starts,
                                       i64 G, const ksx_battery_options* options, ksx_battery_out* out) {
    return run_all(y, Design{nullptr, columns, p}, N, starts, G, nullptr, 0, *options, out);
}
