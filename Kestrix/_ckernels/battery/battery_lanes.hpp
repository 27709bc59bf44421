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

// The widest lane type of every instruction set, and the entry compiled for each: runs groups g, g+1, ...
// (consecutive, of one size, clean) side by side; returns how many it completed, 0 when fewer than two
// such groups start at g.  lane_scratch holds shape_of(n, p, 0, o).total(width) values, one_scratch
// shape_of(n, p, 0, o).total(1).
struct LaneRun {
    const f64* y;
    const f64* X;
    const i64* starts;
    i64 G;
    i64 p;
    const ksx_battery_options* o;
    ksx_battery_out* out;
    f64* lane_scratch;
    f64* one_scratch;
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
