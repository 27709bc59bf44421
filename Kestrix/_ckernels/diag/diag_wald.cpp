// HAC, Wald and moment kernels, lag windows and bandwidth rules.
//
// Every result here is fixed to the last bit by the order of its operations:
// plain sums are left folds from +0.0 in index order, sums of products fuse
// each product into the running sum, and divisions are true divisions.  The
// file must be compiled without floating-point contraction.
#include "diag_wald.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "../_common/ksx_dispatch.hpp"
#include "../_common/ksx_linalg.h"

// Andrews constants (c, q) per window, indexed by KernelID.
const kernel_inp_t KERNEL_SPECS[3] = {
    {1.1447, 1.0}, /* BARTLETT */
    {2.6614, 2.0}, /* PARZEN */
    {1.3221, 2.0}, /* QS */
};

namespace {

// 6*pi and 12*pi^2 as the QS window uses them.
constexpr f64 kSixPi = 18.84955592153876;
constexpr f64 kTwelvePiSq = 118.4352528130723;

// Variance at or below this counts as a constant series.
constexpr f64 kConstantVariance = 1e-14;

}  // namespace

// Mean of column `col` of the n-by-p matrix x: a plain left-fold sum over the
// rows from +0.0, then one true division by n.
static f64 col_mean(const f64* x, i64 n, i64 p, i64 col) {
    f64 sum = 0.0;
    for (i64 i = 0; i < n; ++i) sum = sum + x[i * p + col];
    return sum / static_cast<f64>(n);
}

// Variance of column `col` around `mean` with divisor n; the squared
// deviations are fused into the running sum in row order.
KSX_DISPATCH
static f64 col_var(const f64* x, f64 mean, i64 n, i64 p, i64 col) {
    f64 acc = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = x[i * p + col] - mean;
        acc = std::fma(d, d, acc);
    }
    return acc / static_cast<f64>(n);
}

// AR(1) plug-in bandwidth of the series y[0], y[stride], ..., y[(n-1)*stride]
// for a window with constants c and q; at least 1.  The AR coefficient is fit
// through the origin on the raw series and clamped to [-0.999, 0.999].
// Degenerate input (n <= 1, constant or non-finite series, rhat <= 0) gives 1.
KSX_DISPATCH
static i64 andrews_bw_strided(const f64* y, i64 n, i64 stride, f64 c, f64 q) {
    if (n <= 1) return 1;

    const f64 mean = col_mean(y, n, stride, 0);
    const f64 var = col_var(y, mean, n, stride, 0);
    if (var <= kConstantVariance) return 1;

    f64 denom = 0.0;
    f64 numer = 0.0;
    for (i64 i = 1; i < n; ++i) {
        const f64 prev = y[(i - 1) * stride];
        denom = std::fma(prev, prev, denom);
        numer = std::fma(y[i * stride], prev, numer);
    }
    if (!std::isfinite(denom) || !std::isfinite(numer) || denom == 0.0) return 1;

    f64 rhat = numer / denom;
    if (rhat > 0.999) rhat = 0.999;
    if (rhat < -0.999) rhat = -0.999;

    const f64 beta = 2.0 * rhat * (1.0 + rhat) / ((1.0 - rhat) * (1.0 - rhat));
    if (beta <= 0.0 || !std::isfinite(beta)) return 1;

    const f64 expo = 1.0 / (2.0 * q + 1.0);
    const f64 bw = c * std::pow(beta, expo) * std::pow(static_cast<f64>(n), expo);
    return max_i64(1, static_cast<i64>(std::floor(bw)));
}

// Weight of lag j for bandwidth L under the window kernel_id, with the lag
// scaled by L + 1.  Bartlett truncates after lag L (integer test), Parzen
// after x = 1; QS is never truncated and may be negative.  An unknown window
// weighs every lag 0.0.
f64 kernel_weight(i64 j, i64 L, KernelID kernel_id) {
    // L + 1 taken without signed overflow: 2^63 is exact in f64.
    const f64 span = L < std::numeric_limits<i64>::max() ? static_cast<f64>(L + 1)
                                                         : 9223372036854775808.0;
    const f64 x = static_cast<f64>(j) / span;

    switch (kernel_id) {
    case BARTLETT:
        return j <= L ? 1.0 - x : 0.0;
    case PARZEN: {
        if (x > 1.0) return 0.0;
        if (x <= 0.5) {
            // 1 - 6 x^2 + 6 x^3 with both products fused; s*x rounded first.
            const f64 s = x * x;
            const f64 t = std::fma(-6.0, s, 1.0);
            return std::fma(6.0, s * x, t);
        }
        const f64 u = 1.0 - x;
        return 2.0 * u * u * u;
    }
    case QS: {
        if (std::fabs(x) <= 1e-8) return 1.0;
        const f64 arg = (x * kSixPi) / 5.0;
        const f64 outer = 25.0 / ((x * kTwelvePiSq) * x);
        return outer * (std::sin(arg) / arg - std::cos(arg));
    }
    default:
        return 0.0;
    }
}

// floor(4 (n/100)^(2/9)); x is not read.  n = 0 gives 0; a negative n, for
// which the power is undefined, also gives 0.
i64 wooldridge_bandwidth(const f64* x, i64 n) {
    (void)x;
    if (n < 0) return 0;
    const f64 bw = 4.0 * std::pow(static_cast<f64>(n) / 100.0, 2.0 / 9.0);
    return static_cast<i64>(std::floor(bw));
}

// Andrews AR(1) plug-in bandwidth of the n values of y, at least 1.  An
// unknown window has no constants and gives 1.
i64 andrews_bandwidth(const f64* y, KernelID kernel_id, i64 n) {
    if (kernel_id >= KERNEL_COUNT) return 1;
    const kernel_inp_t window = KERNEL_SPECS[kernel_id];
    return andrews_bw_strided(y, n, 1, window.c, window.q);
}

// Median (floored) of the plug-in bandwidths of the columns of the n-by-p
// matrix r, read in place with stride p.  Columns with variance <= 1e-14 or
// NaN are left out rather than counted as 1.  ls[0..m-1] receives the m
// contributing bandwidths sorted ascending; ls[m..] is untouched.  p == 1 is
// the single-series rule and leaves ls alone; no contributor (p <= 0, n <= 0,
// all columns constant) or an unknown window gives 1.
i64 andrews_bandwidth_matrix(const f64* r, KernelID kernel_id, i64 n, i64 p, f64* ls) {
    if (p == 1) return andrews_bandwidth(r, kernel_id, n);
    if (kernel_id >= KERNEL_COUNT) return 1;

    const kernel_inp_t window = KERNEL_SPECS[kernel_id];
    i64 m = 0;
    for (i64 j = 0; j < p; ++j) {
        const f64 mean = col_mean(r, n, p, j);
        const f64 var = col_var(r, mean, n, p, j);
        if (var > kConstantVariance) {
            ls[m] = static_cast<f64>(andrews_bw_strided(r + j, n, p, window.c, window.q));
            ++m;
        }
    }
    if (m == 0) return 1;
    return static_cast<i64>(std::floor(ksx_median_f64(ls, m)));
}

namespace {

// Column sums of the W columns at x (row stride p) over rows 0..n-1 into
// sum[0..W-1], each a left fold from +0.0 in row order.  W is known here, so
// the W running sums stay in registers (vector lanes side by side, one column
// per lane) instead of going through memory at every row.
template <int W>
KSX_INLINE void column_sums(const f64* x, i64 n, i64 p, f64* sum) {
    f64 acc[W];
#pragma GCC unroll 32
    for (int j = 0; j < W; ++j) acc[j] = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64* row = x + i * p;
#pragma GCC unroll 32
        for (int j = 0; j < W; ++j) acc[j] = acc[j] + row[j];
    }
#pragma GCC unroll 32
    for (int j = 0; j < W; ++j) sum[j] = acc[j];
}

// Rows of a matrix of W < 8 columns, W known: the whole row in registers.
template <int W>
KSX_INLINE void centered_rows(const f64* x, const f64* mean, i64 n, f64* centered) {
    f64 m[W];
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) m[j] = mean[j];
    for (i64 i = 0; i < n; ++i) {
#pragma GCC unroll 8
        for (int j = 0; j < W; ++j) centered[i * W + j] = x[i * W + j] - m[j];
    }
}

constexpr i64 kMeanColumns = 32;  // columns summed in one pass over the rows

}  // namespace

// mean[j] = column sum of x (n-by-p) / n.  Each column is a left fold from
// +0.0 in row order (a column of -0.0 gives +0.0), then one true division by
// n, so n = 0 gives NaN for every column.  Columns are taken 32 at a time,
// one pass over the rows each.
KSX_DISPATCH
void ksx_fill_mean_ax0(const f64* x, i64 n, i64 p, f64* mean) {
    if (p <= 0) return;
    for (i64 j0 = 0; j0 < p; j0 += kMeanColumns) {
        switch (min_i64(kMeanColumns, p - j0)) {
        case 32: column_sums<32>(x + j0, n, p, mean + j0); break;
        case 31: column_sums<31>(x + j0, n, p, mean + j0); break;
        case 30: column_sums<30>(x + j0, n, p, mean + j0); break;
        case 29: column_sums<29>(x + j0, n, p, mean + j0); break;
        case 28: column_sums<28>(x + j0, n, p, mean + j0); break;
        case 27: column_sums<27>(x + j0, n, p, mean + j0); break;
        case 26: column_sums<26>(x + j0, n, p, mean + j0); break;
        case 25: column_sums<25>(x + j0, n, p, mean + j0); break;
        case 24: column_sums<24>(x + j0, n, p, mean + j0); break;
        case 23: column_sums<23>(x + j0, n, p, mean + j0); break;
        case 22: column_sums<22>(x + j0, n, p, mean + j0); break;
        case 21: column_sums<21>(x + j0, n, p, mean + j0); break;
        case 20: column_sums<20>(x + j0, n, p, mean + j0); break;
        case 19: column_sums<19>(x + j0, n, p, mean + j0); break;
        case 18: column_sums<18>(x + j0, n, p, mean + j0); break;
        case 17: column_sums<17>(x + j0, n, p, mean + j0); break;
        case 16: column_sums<16>(x + j0, n, p, mean + j0); break;
        case 15: column_sums<15>(x + j0, n, p, mean + j0); break;
        case 14: column_sums<14>(x + j0, n, p, mean + j0); break;
        case 13: column_sums<13>(x + j0, n, p, mean + j0); break;
        case 12: column_sums<12>(x + j0, n, p, mean + j0); break;
        case 11: column_sums<11>(x + j0, n, p, mean + j0); break;
        case 10: column_sums<10>(x + j0, n, p, mean + j0); break;
        case 9: column_sums<9>(x + j0, n, p, mean + j0); break;
        case 8: column_sums<8>(x + j0, n, p, mean + j0); break;
        case 7: column_sums<7>(x + j0, n, p, mean + j0); break;
        case 6: column_sums<6>(x + j0, n, p, mean + j0); break;
        case 5: column_sums<5>(x + j0, n, p, mean + j0); break;
        case 4: column_sums<4>(x + j0, n, p, mean + j0); break;
        case 3: column_sums<3>(x + j0, n, p, mean + j0); break;
        case 2: column_sums<2>(x + j0, n, p, mean + j0); break;
        case 1: column_sums<1>(x + j0, n, p, mean + j0); break;
        default: break;
        }
    }
    const f64 rows = static_cast<f64>(n);
    for (i64 j = 0; j < p; ++j) mean[j] = mean[j] / rows;
}

// centered[i][j] = x[i][j] - mean[j] for the n-by-p matrix x.
KSX_DISPATCH
void ksx_fill_centered_ax0(const f64* x, const f64* mean, i64 n, i64 p, f64* centered) {
    // No row, nothing read: mean may then be shorter than p, even empty.
    if (p <= 0 || n <= 0) return;
    switch (p) {
    case 7: centered_rows<7>(x, mean, n, centered); return;
    case 6: centered_rows<6>(x, mean, n, centered); return;
    case 5: centered_rows<5>(x, mean, n, centered); return;
    case 4: centered_rows<4>(x, mean, n, centered); return;
    case 3: centered_rows<3>(x, mean, n, centered); return;
    case 2: centered_rows<2>(x, mean, n, centered); return;
    case 1: centered_rows<1>(x, mean, n, centered); return;
    default: break;
    }
    for (i64 i = 0; i < n; ++i) {
        const f64* row = x + i * p;
        f64* dst = centered + i * p;
        for (i64 j = 0; j < p; ++j) dst[j] = row[j] - mean[j];
    }
}

namespace {

namespace vs = ksx::simd;
using vs::v4;

// Consecutive lags are computed side by side, in one pass over the rows: the
// products Gamma_j .. Gamma_{j+G-1} of row k of the lag group read, for row
// t, r[t][k] against the G consecutive rows r[t+j .. t+j+G-1], which lie next
// to one another in memory.  So the G p partner values of row t form one
// contiguous span, and a group whose span G p is a multiple of four fills
// every lane of its 4-lane vectors (p = 10 would otherwise leave two of
// twelve lanes idle).  Products beyond the first lag go to a stack block of
// kLagBlockDoubles; a group never exceeds kMaxLagGroup lags.
constexpr i64 kMaxLagGroup = 4;
constexpr i64 kLagBlockDoubles = 4096; /* 32 KiB */
// Rows per row block: the block's rows of r and its partner rows stay in the
// level-1 / level-2 cache while every tile of the group streams through them.
constexpr i64 kLagBlockBytes = 24576;
constexpr i64 kLagMinRows = 16;
// Widths below which lag 0 joins the first lag group rather than ksx_gram.
constexpr i64 kLagZeroGroupedBelow = 16;
// Register tiles of up to five vectors of the span by as many rows k as keep
// at least eight independent chains (two FMA units of four-cycle latency need
// eight) within the 16 AVX registers (kLagRowsForVectors): at five vectors,
// each broadcast of r[t][k] feeds five fmas and each loaded vector two.  The
// broadcasts share issue ports with the fmas on some cores, so the fewer per
// fma the better.
constexpr i64 kLagTileVectors = 5;

// Micro-kernel: MR rows k (the doubles at a, row stride p) by NV vectors of
// the span (at b, row stride p), accumulated into the MR x 4 NV block at acc
// (row stride ldo) over `rows` rows in increasing order.  Each lane is one
// chain fma(r[t][k], partner, acc).
//
// With PIN each loaded vector is held in a register for the MR fmas that use
// it: left alone, the compiler folds the load into every one of them, and
// the loads (not the fmas) then set the pace.  Only the AVX copies pin: the
// constraint names a vector register that holds all four lanes.
template <bool PIN>
KSX_INLINE void keep_in_register(v4& v) {
    if constexpr (PIN) __asm__("" : "+x"(v));
}

template <int MR, int NV, bool PIN>
KSX_INLINE void lag_tile(const f64* a, const f64* b, i64 p, i64 rows, f64* acc_out, i64 ldo) {
    v4 acc[MR][NV];
#pragma GCC unroll 8
    for (int k = 0; k < MR; ++k)
#pragma GCC unroll 5
        for (int v = 0; v < NV; ++v) acc[k][v] = vs::load<v4>(acc_out + k * ldo + 4 * v);
    for (i64 t = 0; t < rows; ++t) {
        const f64* at = a + t * p;
        const f64* bt = b + t * p;
        /* Named vectors, not an array: a pinned array element would be kept
         * in memory. */
        v4 b0 = vs::load<v4>(bt), b1 = b0, b2 = b0, b3 = b0, b4 = b0;
        keep_in_register<PIN>(b0);
        if (NV > 1) b1 = vs::load<v4>(bt + 4), keep_in_register<PIN>(b1);
        if (NV > 2) b2 = vs::load<v4>(bt + 8), keep_in_register<PIN>(b2);
        if (NV > 3) b3 = vs::load<v4>(bt + 12), keep_in_register<PIN>(b3);
        if (NV > 4) b4 = vs::load<v4>(bt + 16), keep_in_register<PIN>(b4);
#pragma GCC unroll 8
        for (int k = 0; k < MR; ++k) {
            const v4 av = vs::splat_at<v4>(at + k);
            acc[k][0] = vs::fma(av, b0, acc[k][0]);
            if (NV > 1) acc[k][1 % NV] = vs::fma(av, b1, acc[k][1 % NV]);
            if (NV > 2) acc[k][2 % NV] = vs::fma(av, b2, acc[k][2 % NV]);
            if (NV > 3) acc[k][3 % NV] = vs::fma(av, b3, acc[k][3 % NV]);
            if (NV > 4) acc[k][4 % NV] = vs::fma(av, b4, acc[k][4 % NV]);
        }
    }
#pragma GCC unroll 8
    for (int k = 0; k < MR; ++k)
#pragma GCC unroll 5
        for (int v = 0; v < NV; ++v) vs::store(acc_out + k * ldo + 4 * v, acc[k][v]);
}

// The last lanes of a span that is not a whole number of vectors: one vector
// ending at the span's end, of which the first `skip` lanes belong to the
// tile before it.  Those lanes start from that tile's current sums and are
// computed but never stored; the others are chains like any tile's.
template <int MR, bool PIN>
KSX_INLINE void lag_tile_shifted(const f64* a, const f64* b, i64 p, i64 rows, f64* acc_out, i64 ldo,
                                 i64 skip) {
    v4 acc[MR];
#pragma GCC unroll 8
    for (int k = 0; k < MR; ++k) acc[k] = vs::load<v4>(acc_out + k * ldo);
    for (i64 t = 0; t < rows; ++t) {
        v4 b0 = vs::load<v4>(b + t * p);
        keep_in_register<PIN>(b0);
#pragma GCC unroll 8
        for (int k = 0; k < MR; ++k) acc[k] = vs::fma(vs::splat_at<v4>(a + t * p + k), b0, acc[k]);
    }
#pragma GCC unroll 8
    for (int k = 0; k < MR; ++k) {
        f64 lanes[4];
        vs::store(lanes, acc[k]);
        for (i64 l = skip; l < 4; ++l) acc_out[k * ldo + l] = lanes[l];
    }
}

// Rows k per tile for a tile of nv vectors: as many as keep MR NV >= 8
// chains while MR NV accumulators, NV loaded vectors and the broadcast fit in
// 16 registers.
constexpr i64 kLagRowsForVectors[6] = {0, 8, 5, 4, 2, 2};

template <bool PIN>
KSX_INLINE void lag_tile_any(i64 mr, i64 nv, const f64* a, const f64* b, i64 p, i64 rows, f64* acc,
                             i64 ldo) {
#define KSX_LAG_TILE(M, V) lag_tile<M, V, PIN>(a, b, p, rows, acc, ldo)
    if (nv == 5) {
        if (mr == 2) KSX_LAG_TILE(2, 5); else KSX_LAG_TILE(1, 5);
    } else if (nv == 4) {
        if (mr == 2) KSX_LAG_TILE(2, 4); else KSX_LAG_TILE(1, 4);
    } else if (nv == 3) {
        switch (mr) {
        case 4: KSX_LAG_TILE(4, 3); break;
        case 3: KSX_LAG_TILE(3, 3); break;
        case 2: KSX_LAG_TILE(2, 3); break;
        default: KSX_LAG_TILE(1, 3); break;
        }
    } else if (nv == 2) {
        switch (mr) {
        case 5: KSX_LAG_TILE(5, 2); break;
        case 4: KSX_LAG_TILE(4, 2); break;
        case 3: KSX_LAG_TILE(3, 2); break;
        case 2: KSX_LAG_TILE(2, 2); break;
        default: KSX_LAG_TILE(1, 2); break;
        }
    } else {
        switch (mr) {
        case 8: KSX_LAG_TILE(8, 1); break;
        case 7: KSX_LAG_TILE(7, 1); break;
        case 6: KSX_LAG_TILE(6, 1); break;
        case 5: KSX_LAG_TILE(5, 1); break;
        case 4: KSX_LAG_TILE(4, 1); break;
        case 3: KSX_LAG_TILE(3, 1); break;
        case 2: KSX_LAG_TILE(2, 1); break;
        default: KSX_LAG_TILE(1, 1); break;
        }
    }
#undef KSX_LAG_TILE
}

template <bool PIN>
KSX_INLINE void lag_tile_shifted_any(i64 mr, const f64* a, const f64* b, i64 p, i64 rows, f64* acc,
                                     i64 ldo, i64 skip) {
    switch (mr) {
    case 8: lag_tile_shifted<8, PIN>(a, b, p, rows, acc, ldo, skip); break;
    case 7: lag_tile_shifted<7, PIN>(a, b, p, rows, acc, ldo, skip); break;
    case 6: lag_tile_shifted<6, PIN>(a, b, p, rows, acc, ldo, skip); break;
    case 5: lag_tile_shifted<5, PIN>(a, b, p, rows, acc, ldo, skip); break;
    case 4: lag_tile_shifted<4, PIN>(a, b, p, rows, acc, ldo, skip); break;
    case 3: lag_tile_shifted<3, PIN>(a, b, p, rows, acc, ldo, skip); break;
    case 2: lag_tile_shifted<2, PIN>(a, b, p, rows, acc, ldo, skip); break;
    default: lag_tile_shifted<1, PIN>(a, b, p, rows, acc, ldo, skip); break;
    }
}

// The products Gamma_j .. Gamma_{j+G-1} of the n-by-p r, unscaled, into prod
// (p rows of span = G p, row stride span): prod[k][g p + c] = sum over
// t = 0 .. n-j-g-1 of r[t][k] r[t+j+g][c], each one chain of fused steps from
// +0.0 in increasing t, the order of the row-outer A^T B product.  Rows t up
// to n-j-G, where all G partner rows exist, run through the register tiles;
// the last G-1 rows then finish the lower lags of the group, still in
// increasing t.  Lanes past the last whole vector of the span are taken by
// one vector shifted left to end at the span's end; a span shorter than one
// vector is scalar chains.  Requires 0 <= j and j + G - 1 <= n - 1.
template <bool PIN>
KSX_INLINE void lag_group_products_impl(const f64* r, i64 n, i64 p, i64 j, i64 G, f64* prod) {
    const i64 span = G * p;
    for (i64 e = 0; e < p * span; ++e) prod[e] = 0.0;
    const i64 common = n - j - (G - 1);
    const i64 nvec = span / 4;
    const i64 chunks = (nvec + kLagTileVectors - 1) / kLagTileVectors;
    const i64 block = max_i64(kLagMinRows, (kLagBlockBytes / (static_cast<i64>(sizeof(f64)) * p) - G) / 2);
    for (i64 t0 = 0; t0 < common; t0 += block) {
        const i64 rows = min_i64(block, common - t0);
        const f64* a = r + t0 * p;
        const f64* b = r + (t0 + j) * p;
        /* Column chunks outermost, each with its own rows k per tile (the
         * last chunk being the shifted vector, if any), rows k in balanced
         * tiles.  No lambdas here: they would not take this copy's target. */
        const i64 shifted = span % 4 != 0 && nvec > 0 ? 1 : 0;
        i64 v0 = 0;
        for (i64 c = 0; c < chunks + shifted; ++c) {
            const bool last = c == chunks;
            const i64 nv = last ? 1 : (nvec - v0) / (chunks - c); /* balanced, 1 .. 5 */
            const i64 col = last ? span - 4 : 4 * v0;
            const i64 max_rows = kLagRowsForVectors[nv];
            const i64 k_tiles = (p + max_rows - 1) / max_rows;
            i64 k0 = 0;
            for (i64 kt = 0; kt < k_tiles; ++kt) {
                const i64 mr = (p - k0) / (k_tiles - kt);
                f64* acc = prod + k0 * span + col;
                if (last) lag_tile_shifted_any<PIN>(mr, a + k0, b + col, p, rows, acc, span, 4 - span % 4);
                else lag_tile_any<PIN>(mr, nv, a + k0, b + col, p, rows, acc, span);
                k0 += mr;
            }
            if (!last) v0 += nv;
        }
        for (i64 k = 0; k < p && nvec == 0; ++k) {
            for (i64 c = 0; c < span; ++c) {
                f64 s = prod[k * span + c];
                for (i64 t = 0; t < rows; ++t) s = std::fma(a[t * p + k], b[t * p + c], s);
                prod[k * span + c] = s;
            }
        }
    }
    for (i64 t = common; t < n - j; ++t) {
        const f64* at = r + t * p;
        for (i64 g = 0; t + j + g < n; ++g) {
            const f64* bt = r + (t + j + g) * p;
            for (i64 k = 0; k < p; ++k) {
                f64* row = prod + k * span + g * p;
                for (i64 c = 0; c < p; ++c) row[c] = std::fma(at[k], bt[c], row[c]);
            }
        }
    }
}

KSX_TARGET_BASE void lag_group_products(const f64* r, i64 n, i64 p, i64 j, i64 G, f64* prod) {
    lag_group_products_impl<false>(r, n, p, j, G, prod);
}
#if KSX_HAVE_V3
KSX_TARGET_V3 void lag_group_products(const f64* r, i64 n, i64 p, i64 j, i64 G, f64* prod) {
    lag_group_products_impl<true>(r, n, p, j, G, prod);
}
#endif
#if KSX_HAVE_V4
KSX_TARGET_V4 void lag_group_products(const f64* r, i64 n, i64 p, i64 j, i64 G, f64* prod) {
    lag_group_products_impl<true>(r, n, p, j, G, prod);
}
#endif

// out[i][k] += w (prod[i][k] + prod[k][i]) over the p-by-p lag product at prod
// (row stride ld): the pair's sum rounded first, its product with w fused
// into the addition.
KSX_DISPATCH
void add_symmetrised_lag(f64* out, const f64* prod, i64 ld, i64 p, f64 w) {
    for (i64 i = 0; i < p; ++i) {
        for (i64 k = 0; k < p; ++k) {
            const f64 pair = prod[i * ld + k] + prod[k * ld + i];
            out[i * p + k] = std::fma(w, pair, out[i * p + k]);
        }
    }
}

}  // namespace

// Long-run covariance of the centred n-by-p moments r:
//   out = (Gamma_0 + sum_{j=1..L_eff} w_j (Gamma_j + Gamma_j')) / n,
// Gamma_j = sum_t r_t r_{t+j}', L_eff = min(L, n-1), w_j the window weight
// at bandwidth L_eff.  Lags of weight exactly 0.0 are skipped.  Each lag adds
// w_j * (G[i][k] + G[k][i]) by one fma, in increasing j, so (i, k) and (k, i)
// receive the same increments and the result is exactly symmetric.  Every
// entry of every Gamma_j is one chain over t in increasing order, whichever
// lags are computed together (see lag_group_products).  gamma_scratch
// (p-by-p) ends holding the last lag product formed.  n <= 0 gives a NaN
// matrix; p <= 0 writes nothing.
void ksx_hac_estimator_matmul(f64* r, KernelID kernel_id, i64 L, i64 n, i64 p,
                              f64* gamma_scratch, f64* out) {
    if (p <= 0) return;
    const i64 rows = n < 0 ? 0 : n;

    /* Lag 0 in the lag groups costs all p^2 products, ksx_gram only the
     * lower triangle; the groups win only while p is small enough that
     * ksx_gram's edge tiles dominate (measured: p = 10 gains, p = 30 loses). */
    const bool lag0_grouped = rows > 0 && p < kLagZeroGroupedBelow;
    if (!lag0_grouped) ksx_gram(r, out, rows, p); /* n = 0: the zero matrix, divided by 0 below */
    const i64 L_eff = min_i64(L, rows - 1);
    /* Lags beyond the first of a group live here; p <= 64 keeps p^2 in range. */
    f64 block[kLagBlockDoubles];
    const i64 capacity = p > 64 ? 1 : max_i64(1, kLagBlockDoubles / (p * p));
    const i64 group_max = min_i64(kMaxLagGroup, capacity);
    const f64* last = nullptr; /* the last lag product formed, row stride last_ld */
    i64 last_ld = p;
    /* Grouped, lag 0 opens the first group: its lower triangle is the
     * chain fma(r[t][a], r[t][b], s) of ksx_gram, mirrored as ksx_gram does. */
    const i64 top = lag0_grouped ? max_i64(L_eff, 0) : L_eff; /* lag 0 even for L < 0 */
    for (i64 j = lag0_grouped ? 0 : 1; j <= top;) {
        f64 w[kMaxLagGroup];
        w[0] = j == 0 ? 1.0 : kernel_weight(j, L_eff, kernel_id);
        if (w[0] == 0.0) {
            ++j;
            continue;
        }
        /* A run of lags of non-zero weight, looked at up to two groups
         * ahead: its end is split into groups of balanced sizes, so that no
         * lag is left to make a pass over the rows on its own. */
        i64 run = 1;
        while (run < 2 * group_max && j + run <= top && kernel_weight(j + run, L_eff, kernel_id) != 0.0) ++run;
        const i64 groups = (run + group_max - 1) / group_max;
        const i64 G = run >= 2 * group_max ? group_max : (run + groups - 1) / groups;
        for (i64 g = 1; g < G; ++g) w[g] = kernel_weight(j + g, L_eff, kernel_id);
        f64* prod = G > 1 ? block : j == 0 ? out : gamma_scratch;
        const i64 ld = G * p;
        lag_group_products(r, rows, p, j, G, prod);
        i64 g = 0;
        if (j == 0) {
            for (i64 a = 0; a < p; ++a) {
                for (i64 b = 0; b <= a; ++b) {
                    const f64 v = prod[a * ld + b];
                    out[a * p + b] = v;
                    out[b * p + a] = v;
                }
            }
            g = 1;
        }
        for (; g < G; ++g) add_symmetrised_lag(out, prod + g * p, ld, p, w[g]);
        if (j + G - 1 >= 1) {
            last = prod + (G - 1) * p;
            last_ld = ld;
        }
        j += G;
    }
    if (last != nullptr && last != gamma_scratch) {
        for (i64 i = 0; i < p; ++i)
            for (i64 k = 0; k < p; ++k) gamma_scratch[i * p + k] = last[i * last_ld + k];
    }

    const f64 scale = static_cast<f64>(rows);
    for (i64 i = 0; i < p * p; ++i) out[i] = out[i] / scale;
}

// n * dev' omega^-1 dev with dev = mean - target, through the Cholesky factor
// of the lower triangle of omega: z = L^-1 dev and the statistic is n * |z|^2
// (squares fused into the sum in index order).  dev_scratch ends as dev, or z
// after a successful factorisation; L_scratch holds the (partial) factor.
// DIAG_FALLBACK when the factorisation fails its pivot test (stat_out not
// written); DIAG_OK otherwise.  p <= 0 is an empty quadratic form: stat 0.
int ksx_wald_stat_from_mean_and_cov(const f64* mean, const f64* target, const f64* omega,
                                    i64 n, i64 p, f64* dev_scratch, f64* L_scratch,
                                    f64* stat_out) {
    if (p < 0) p = 0;
    for (i64 i = 0; i < p; ++i) dev_scratch[i] = mean[i] - target[i];

    if (ksx_chol(omega, 0.0, L_scratch, p) != 0) return DIAG_FALLBACK;
    ksx_forward_subst(L_scratch, dev_scratch, dev_scratch, p);

    f64 quad = 0.0;
    for (i64 i = 0; i < p; ++i) quad = std::fma(dev_scratch[i], dev_scratch[i], quad);
    *stat_out = static_cast<f64>(n) * quad;
    return DIAG_OK;
}

namespace {

// The rows of ksx_symmetric_outer_prod_2dim for P <= 16 columns, P known: the
// row in registers and the P(P+1)/2 products written out in full.
template <int P>
KSX_INLINE void outer_rows(const f64* x, i64 n, i64 q, f64* out) {
    for (i64 t = 0; t < n; ++t) {
        f64 r[P];
#pragma GCC unroll 16
        for (int i = 0; i < P; ++i) r[i] = x[t * P + i];
        f64* dst = out + t * q;
        int k = 0;
#pragma GCC unroll 16
        for (int i = 0; i < P; ++i)
#pragma GCC unroll 16
            for (int j = i; j < P; ++j) dst[k++] = r[j] * r[i];
    }
}

}  // namespace

// Row t of out (row stride q) receives the upper triangle of x_t x_t', row by
// row: x_t[i] * x_t[j] for i = 0..p-1, j = i..p-1, one rounded product each.
// Entries of a row beyond p(p+1)/2 are not written.  n <= 0 or p <= 0 writes
// nothing.  DIAG_BAD_SHAPE, with nothing written, when q < p(p+1)/2: the rows
// would run into one another and past the end of out.
KSX_DISPATCH
int ksx_symmetric_outer_prod_2dim(const f64* x, i64 n, i64 p, i64 q, f64* out) {
    if (n <= 0 || p <= 0) return DIAG_OK;
    i64 pairs = 0;
    if (__builtin_mul_overflow(p, p + 1, &pairs) || q < pairs / 2) return DIAG_BAD_SHAPE;

    switch (p) {
    case 16: outer_rows<16>(x, n, q, out); return DIAG_OK;
    case 15: outer_rows<15>(x, n, q, out); return DIAG_OK;
    case 14: outer_rows<14>(x, n, q, out); return DIAG_OK;
    case 13: outer_rows<13>(x, n, q, out); return DIAG_OK;
    case 12: outer_rows<12>(x, n, q, out); return DIAG_OK;
    case 11: outer_rows<11>(x, n, q, out); return DIAG_OK;
    case 10: outer_rows<10>(x, n, q, out); return DIAG_OK;
    case 9: outer_rows<9>(x, n, q, out); return DIAG_OK;
    case 8: outer_rows<8>(x, n, q, out); return DIAG_OK;
    case 7: outer_rows<7>(x, n, q, out); return DIAG_OK;
    case 6: outer_rows<6>(x, n, q, out); return DIAG_OK;
    case 5: outer_rows<5>(x, n, q, out); return DIAG_OK;
    case 4: outer_rows<4>(x, n, q, out); return DIAG_OK;
    case 3: outer_rows<3>(x, n, q, out); return DIAG_OK;
    case 2: outer_rows<2>(x, n, q, out); return DIAG_OK;
    case 1: outer_rows<1>(x, n, q, out); return DIAG_OK;
    default: break;
    }
    for (i64 t = 0; t < n; ++t) {
        const f64* row = x + t * p;
        f64* dst = out + t * q;
        i64 k = 0;
        for (i64 i = 0; i < p; ++i) {
            const f64 xi = row[i];
            for (i64 j = i; j < p; ++j) dst[k++] = row[j] * xi;
        }
    }
    return DIAG_OK;
}

// Packs the upper triangle of the p-by-p target row by row into out, after
// checking each pair a = target[i][j] (kept) against its mirror b =
// target[j][i]: equal values pass; otherwise |a - b| must be finite and not
// exceed fma(|b|, rtol, atol) (a NaN tolerance passes).  The first failing
// pair returns DIAG_BAD_SHAPE with the entries before it written and the rest
// untouched; otherwise DIAG_OK.
int ksx_fill_symmetric_target_vec(const f64* target, f64 atol, f64 rtol, i64 p, f64* out) {
    i64 k = 0;
    for (i64 i = 0; i < p; ++i) {
        for (i64 j = i; j < p; ++j) {
            const f64 a = target[i * p + j];
            const f64 b = target[j * p + i];
            if (!(a == b)) {
                const f64 diff = std::fabs(a - b);
                if (!std::isfinite(diff)) return DIAG_BAD_SHAPE;
                const f64 tol = std::fma(std::fabs(b), rtol, atol);
                if (tol < diff) return DIAG_BAD_SHAPE;
            }
            out[k++] = a;
        }
    }
    return DIAG_OK;
}
