// Groups side by side in vector lanes.  This file is compiled once per
// instruction set, with KSX_ISA naming the copy (isa_base: 4 lanes in pairs
// of SSE2 or NEON registers; isa_v3: 4 lanes in ymm registers; isa_v4: 8
// lanes in zmm registers); battery.cpp picks the copy the machine runs.
#include "battery_lanes.hpp"

#include "battery_impl.hpp"

#define KSX_CONCAT2(a, b) a##b
#define KSX_CONCAT(a, b) KSX_CONCAT2(a, b)
#define KSX_LANES_ENTRY KSX_CONCAT(run_lanes_, KSX_ISA)
#define KSX_F64_ENTRY KSX_CONCAT(run_f64_, KSX_ISA)

namespace ksx {
namespace battery {

#if defined(KSX_LANES_8)
using Lane = lanes::v8;
#else
using Lane = lanes::v4;
#endif

void KSX_F64_ENTRY(const f64* y, const f64* X, const f64* Z, i64 n, i64 p, i64 q, const ksx_battery_options& o,
                   const Sink& k, f64* scratch) {
    const Shape shape = shape_of(n, p, q, o);
    Run<f64> run(shape, o, scratch);
    run.sink[0] = k;
    run.load(0, y, X, Z);
    run.run();
}

i64 KSX_LANES_ENTRY(const LaneRun& r, i64 g) {
    constexpr int W = lanes::width<Lane>;
    const i64 n = r.starts[g + 1] - r.starts[g];
    const i64 p = r.p;
    if (n == 0 || g + 1 >= r.G || r.starts[g + 2] - r.starts[g + 1] != n) return 0;
    const Shape shape = shape_of(n, p, 0, *r.o);
    Run<Lane> run(shape, *r.o, r.lane_scratch);
    // Up to W consecutive groups of size n, loaded side by side; the batch ends before the first that is not
    // clean (a missing or infinite value), which runs on f64.
    i64 count = 0;
    const f64* ys[W];
    const f64* Xs[W];
    i64 at[W];
    while (count < W && g + count < r.G && r.starts[g + count + 1] - r.starts[g + count] == n) {
        const i64 s = r.starts[g + count];
        ys[count] = r.y + s;
        Xs[count] = r.X.cols ? nullptr : r.X.X + s * p;
        at[count] = s;
        run.sink[count] = sink_of(r.out, g + count, s, p);
        ++count;
    }
    if (count < 2) return 0;
    for (i64 l = count; l < W; ++l) {
        ys[l] = ys[count - 1];
        Xs[l] = Xs[count - 1];
        at[l] = at[count - 1];
        run.sink[l] = run.sink[count - 1];
    }
    const unsigned unclean = r.X.cols ? run.load_all_columns(ys, r.X.cols, at) : run.load_all(ys, Xs);
    if (unclean) {
        // The clean groups before the first unclean one, the last of them repeated in the lanes after it.
        count = __builtin_ctz(unclean);
        if (count < 2) return 0;
        const f64* last = r.X.rows_of(at[count - 1], n, r.rows);
        for (i64 l = count; l < W; ++l) {
            run.sink[l] = run.sink[count - 1];
            run.load(static_cast<int>(l), ys[count - 1], last, nullptr);
        }
    }
    run.run();
    for (int l = 0; l < count; ++l) {
        if (!run.track.left(l)) continue;
        const i64 s = r.starts[g + l];
        run_one(r.y + s, r.X.rows_of(s, n, r.rows), nullptr, n, p, 0, *r.o, sink_of(r.out, g + l, s, p),
                r.one_scratch);
    }
    return count;
}

}  // namespace battery
}  // namespace ksx
