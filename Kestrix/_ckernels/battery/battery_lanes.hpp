// Groups side by side in vector lanes: the entry of the lane runs, compiled
// once per instruction set (battery_lanes.cpp), and what they share with the
// f64 runs.  Private to the engine.
#ifndef KSX_BATTERY_LANES_HPP
#define KSX_BATTERY_LANES_HPP

#include "ksx_battery.h"
#include "sink.hpp"

namespace ksx {
namespace battery {

// The outputs of group g (its rows from `start`).
Sink sink_of(ksx_battery_out* out, i64 g, i64 start, i64 p);

// Whether every value of a group is finite (only such groups go into lanes).
bool group_is_clean(const f64* y, const f64* X, i64 n, i64 p);

// One group on f64, in scratch of at least shape_of(n, p, q, o).total(1).
void run_one(const f64* y, const f64* X, const f64* Z, i64 n, i64 p, i64 q, const ksx_battery_options& o,
             const Sink& k, f64* scratch);

// The regressors as the caller holds them: row-major (X, element (i, j) at X[i*p + j]) or one array per
// column (cols[j], null for a column of ones).
struct Design {
    const f64* X;
    const f64* const* cols;
    i64 p;

    // Element (i, j), i a row of the whole stack.
    f64 at(i64 i, i64 j) const { return cols ? (cols[j] ? cols[j][i] : 1.0) : X[i * p + j]; }
    // Rows r0 .. r0+n-1 as a row-major block: X's own rows, or gathered into `rows` (n x p).
    const f64* rows_of(i64 r0, i64 n, f64* rows) const {
        if (!cols) return X + r0 * p;
        for (i64 i = 0; i < n; ++i)
            for (i64 j = 0; j < p; ++j) rows[i * p + j] = at(r0 + i, j);
        return rows;
    }
};

// The widest lane type of every instruction set, and the entry compiled for each: runs groups g, g+1, ...
// (consecutive, of one size, clean) side by side; returns how many it completed, 0 when fewer than two
// such groups start at g.  lane_scratch holds shape_of(n, p, 0, o).total(width) values, one_scratch
// shape_of(n, p, 0, o).total(1), rows n·p (used only for a design of columns).
struct LaneRun {
    const f64* y;
    Design X;
    const i64* starts;
    i64 G;
    i64 p;
    const ksx_battery_options* o;
    ksx_battery_out* out;
    f64* lane_scratch;
    f64* one_scratch;
    f64* rows;  // n x p of the largest lane group: a group's rows gathered from columns
};
constexpr int kMaxLanes = 16;
i64 run_lanes_isa_base(const LaneRun& r, i64 g);
i64 run_lanes_isa_v3(const LaneRun& r, i64 g);
i64 run_lanes_isa_v4(const LaneRun& r, i64 g);

// One clean group on f64 (run_one's work after its checks), compiled per instruction set too: with
// the fused multiply-add an instruction rather than a call of the maths library.
void run_f64_isa_base(const f64* y, const f64* X, const f64* Z, i64 n, i64 p, i64 q, const ksx_battery_options& o,
                      const Sink& k, f64* scratch);
void run_f64_isa_v3(const f64* y, const f64* X, const f64* Z, i64 n, i64 p, i64 q, const ksx_battery_options& o,
                    const Sink& k, f64* scratch);
void run_f64_isa_v4(const f64* y, const f64* X, const f64* Z, i64 n, i64 p, i64 q, const ksx_battery_options& o,
                    const Sink& k, f64* scratch);

}  // namespace battery
}  // namespace ksx

#endif  // KSX_BATTERY_LANES_HPP
