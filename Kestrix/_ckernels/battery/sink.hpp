// What the engine's parts share across instruction sets: the sizes of a
// group's scratch and the pointers into the outputs of one group.  Private.
#ifndef KSX_BATTERY_SINK_HPP
#define KSX_BATTERY_SINK_HPP

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ksx_battery.h"
#include "longrun.hpp"

namespace ksx {
namespace battery {

constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kExactFit = 1e-13;  // residual norm, relative to |y|, at or below which a fit is exact
constexpr f64 kSpanTol = 1e-8;    // |1 - P 1| / sqrt(n) at or below which X spans a constant

inline i64 white_width(i64 m, bool cross) { return 1 + m + (cross ? m * (m + 1) / 2 : m); }

// Sizes of one group's scratch: n rows, p columns of X, q of Z, and the
// pieces they imply.  Every piece is listed once, here, in carving order.
struct Shape {
    i64 n = 0, p = 0, q = 0;
    i64 aux = 0;  // widest auxiliary block
    i64 lags = 0; // autocorrelations: lags + 1 values
    i64 lr = 0;   // scratch of the long-run covariance

    // Counts in V elements, then f64, then i64, then bytes.
    i64 vectors() const {
        return 2 * n * p + 2 * n + n * q + 7 * n + 2 + n * aux + 3 * p * p + 8 * p + std::max<i64>(q, 1) + 3 * aux + 2 * p;
    }
    i64 doubles() const { return n * p + 3 * n + lags + 1 + lr + 3 * p * p + wald_scratch(p) + 4 * p; }
    i64 indices() const { return 2 * p + aux; }
    i64 bytes() const { return 2 * p + aux + q; }
    // All of it, in f64, for W lanes, with room to align the vectors to 64 bytes.
    i64 total(int W) const { return vectors() * W + doubles() + indices() + (bytes() + 7) / 8 + 8; }
};

inline Shape shape_of(i64 n, i64 p, i64 q, const ksx_battery_options& o) {
    Shape s;
    s.n = n;
    s.p = p;
    s.q = q;
    i64 aux = std::max<i64>(p, 1);
    aux = std::max<i64>(aux, o.lags);
    aux = std::max<i64>(aux, o.power - 1);
    aux = std::max<i64>(aux, 1 + o.arch_lags);
    aux = std::max<i64>(aux, 1 + std::max(p, q));
    aux = std::max<i64>(aux, white_width(p, o.white_cross != 0));
    s.aux = aux;
    s.lags = std::max<i64>(o.lags, 1);
    s.lr = std::max(long_run_scratch(n, p, o.kernel_id), p * p);
    return s;
}

// Pointers into the caller's outputs for one group (null where not wanted,
// but for the per-test arrays).
struct Sink {
    f64* stat;
    i64* df1;
    i64* df2;
    int32_t* status;
    uint32_t* flags;
    i64* info;
    int32_t* fit_status;
    i64* rank;
    uint8_t* has_constant;
    f64* rss;
    f64* tss;
    f64* coef;           // p
    f64* bse;            // p
    uint8_t* dependent;  // p
    f64* coef_hac;       // p*p
    f64* resid;          // n
    f64* recursive;      // n
    f64* sup_f;          // n

    void set(int t, int32_t st, f64 value = kNaN, i64 d1 = -1, i64 d2 = -1) const {
        status[t] = st;
        stat[t] = value;
        df1[t] = d1;
        df2[t] = d2;
    }
    void flag(int t, uint32_t f) const { flags[t] |= f; }
    i64* words(int t) const { return info + t * KSX_INFO_WORDS; }
};

}  // namespace battery
}  // namespace ksx

#endif  // KSX_BATTERY_SINK_HPP
