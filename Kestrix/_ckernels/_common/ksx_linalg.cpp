/* Dense real linear algebra of the Kestrix numeric core.
 *
 * Every result is fixed to the last bit by the order of its operations, so
 * the rounding is written out here: std::fma(a, b, s) where a product is
 * added with one rounding, std::fma(-a, b, s) for a fused multiply-subtract
 * s - a*b (negation is exact), plain + - * / where a step is rounded on its
 * own.  The build passes -ffp-contract=off so the compiler never fuses or
 * reassociates on its own.
 *
 * Accumulation rule: a sum of products starts from +0.0 (unless a start value
 * is stated) and takes its terms one by one in increasing index order with one
 * fma each.  Sums are never split; a faster version may only compute several
 * outputs side by side, each with its own sequential chain.  That is how the
 * products below are fast: vector lanes and registers hold different outputs,
 * and the hot functions are compiled per instruction set (ksx_dispatch.hpp).
 */
#include "ksx_linalg.h"

#include "ksx_dispatch.hpp"
#include "ksx_lu.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

/* Number of elements of an r-by-c block as a size_t (both are > 0 here). */
inline size_t block_count(i64 r, i64 c) { return static_cast<size_t>(r) * static_cast<size_t>(c); }

/* True when an n-by-n block of elem_size bytes cannot be sized in size_t;
 * such an allocation is reported as a failed allocation. */
inline bool square_block_too_large(i64 n, size_t elem_size) {
    const size_t limit = SIZE_MAX / elem_size;
    const size_t un = static_cast<size_t>(n);
    return un != 0 && un > limit / un;
}

/* ----------------------------------------------------------------------
 * Register-blocked products over rows: out[k,j] += sum_i A[i,k] B[i,j]
 *
 * Every output element is one chain fma(A[i,k], B[i,j], s) over the rows i in
 * increasing order, started from whatever out holds (the callers clear it).
 * The speed comes from scheduling alone:
 *   - rows stream through in blocks sized for the first-level cache;
 *   - within a block, a tile of outputs (MR rows k of out by NV vectors of
 *     columns j) is loaded into registers, takes the fma of every row of the
 *     block in order, and is stored again before the next tile; the next row
 *     block reloads it.  The stored value is exactly the running sum, so the
 *     chain of each element is the same as with one row at a time;
 *   - each vector lane holds a different column j, each register a different
 *     row k: MR*NV independent chains cover the latency of the fma unit.
 * The vector type V sets the lanes: 4 (ymm, or two xmm in the baseline copy)
 * or 8 (zmm, AVX-512 copy).
 * ---------------------------------------------------------------------- */

using ksx::simd::v4;
using ksx::simd::v8;
namespace vs = ksx::simd;

/* Prefetch of the next row block while the tiles of the current one run.
 * Rows are contiguous, so the next block of A is one byte range (and that of
 * B another, unless B lies inside A); its `lines` cache lines are requested
 * evenly over the `steps` row steps of all the tiles of the current block, so
 * that memory stays busy for as long as the block computes.  Without it every
 * block starts by waiting on memory. */
struct Prefetch {
    const char* a = nullptr;
    const char* b = nullptr;
    i64 next = 0;  /* next line to request */
    i64 lines = 0; /* lines in each range */
    i64 credit = 0;
    i64 steps = 1; /* row steps of all tiles of the block */

    KSX_INLINE void step() {
        credit += lines;
        while (credit >= steps) {
            credit -= steps;
            __builtin_prefetch(a + 64 * next, 0, 3);
            if (b != nullptr) __builtin_prefetch(b + 64 * next, 0, 3);
            ++next;
        }
    }
};

/* Lane mask "column index >= skip" for vector v of a tile of type V. */
template <class V>
KSX_INLINE V keep_left(const V& computed, const V& stored, int v, i64 skip) {
    V r = computed;
#pragma GCC unroll 8
    for (int l = 0; l < vs::lanes<V>; ++l)
        if (v * vs::lanes<V> + l < skip) r[l] = stored[l];
    return r;
}

/* Micro-kernel: the MR x NV*W tile of out at `out` (row stride ldo), W the
 * lanes of V; rows k of the tile are columns 0..MR-1 of A, its columns j are
 * columns 0..NV*W-1 of B, both pointers already offset to the block's first
 * row i, the tile's first k and first j.  For every row i in order and every
 * k, the broadcast A[i,k] multiplies the lanes B[i, j..] and is added to the
 * chains of out[k, j..].  The first `skip` columns of the tile are computed
 * but not stored (they are written back with the value they had): they
 * belong to a neighbouring tile, the tile being shifted left at the right
 * edge of out so that its loads stay inside the rows of B.  The tile also
 * takes its share of the prefetches of the next row block, if any. */
template <class V, int MR, int NV>
KSX_INLINE void rank1_tile(const f64* A, i64 lda, const f64* B, i64 ldb, i64 rows, f64* out,
                           i64 ldo, i64 skip, Prefetch& pf_state) {
    constexpr int W = vs::lanes<V>;
    Prefetch pf = pf_state;
    V acc[MR][NV];
#pragma GCC unroll 12
    for (int k = 0; k < MR; ++k)
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) acc[k][v] = vs::load<V>(out + k * ldo + W * v);
    for (i64 i = 0; i < rows; ++i) {
        const f64* a = A + i * lda;
        const f64* b = B + i * ldb;
        if (pf.lines != 0) pf.step();
        V bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) bv[v] = vs::load<V>(b + W * v);
#pragma GCC unroll 12
        for (int k = 0; k < MR; ++k) {
            const V av = vs::splat_at<V>(a + k);
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v) acc[k][v] = vs::fma(av, bv[v], acc[k][v]);
        }
    }
    pf_state = pf;
    if (skip == 0) {
#pragma GCC unroll 12
        for (int k = 0; k < MR; ++k)
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v) vs::store(out + k * ldo + W * v, acc[k][v]);
        return;
    }
#pragma GCC unroll 12
    for (int k = 0; k < MR; ++k)
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) {
            f64* o = out + k * ldo + W * v;
            vs::store(o, keep_left(acc[k][v], vs::load<V>(o), v, skip));
        }
}

/* The same with scalar chains, for fewer than four columns (NC of them). */
template <int MR, int NC>
KSX_INLINE void rank1_tile_narrow(const f64* A, i64 lda, const f64* B, i64 ldb, i64 rows,
                                  f64* out, i64 ldo) {
    f64 acc[MR][NC];
#pragma GCC unroll 8
    for (int k = 0; k < MR; ++k)
#pragma GCC unroll 4
        for (int j = 0; j < NC; ++j) acc[k][j] = out[k * ldo + j];
    for (i64 i = 0; i < rows; ++i) {
        const f64* a = A + i * lda;
        const f64* b = B + i * ldb;
#pragma GCC unroll 8
        for (int k = 0; k < MR; ++k)
#pragma GCC unroll 4
            for (int j = 0; j < NC; ++j) acc[k][j] = std::fma(a[k], b[j], acc[k][j]);
    }
#pragma GCC unroll 8
    for (int k = 0; k < MR; ++k)
#pragma GCC unroll 4
        for (int j = 0; j < NC; ++j) out[k * ldo + j] = acc[k][j];
}

/* Twelve accumulators either way: 12 rows of one vector or 6 rows of two. */
constexpr i64 kTileRowsOne = 12;
constexpr i64 kTileRowsTwo = 6;
constexpr i64 kNarrowRows = 4;      /* MR of the scalar tiles */
constexpr i64 kBlockBytes = 16384;  /* bytes of A and B rows per row block */

/* Tile of mr rows (at most kTileRowsOne for NV = 1, kTileRowsTwo for 2). */
template <class V, int NV>
KSX_INLINE void rank1_tile_any(i64 mr, const f64* A, i64 lda, const f64* B, i64 ldb, i64 rows,
                               f64* out, i64 ldo, i64 skip, Prefetch& pf) {
#define KSX_TILE(R) rank1_tile<V, (R), NV>(A, lda, B, ldb, rows, out, ldo, skip, pf)
    if constexpr (NV == 2) {
        switch (mr) {
        case 6: KSX_TILE(6); break;
        case 5: KSX_TILE(5); break;
        case 4: KSX_TILE(4); break;
        case 3: KSX_TILE(3); break;
        case 2: KSX_TILE(2); break;
        default: KSX_TILE(1); break;
        }
    } else {
        switch (mr) {
        case 12: KSX_TILE(12); break;
        case 11: KSX_TILE(11); break;
        case 10: KSX_TILE(10); break;
        case 9: KSX_TILE(9); break;
        case 8: KSX_TILE(8); break;
        case 7: KSX_TILE(7); break;
        case 6: KSX_TILE(6); break;
        case 5: KSX_TILE(5); break;
        case 4: KSX_TILE(4); break;
        case 3: KSX_TILE(3); break;
        case 2: KSX_TILE(2); break;
        default: KSX_TILE(1); break;
        }
    }
#undef KSX_TILE
}

/* Scalar tile of mr <= kNarrowRows rows and NC <= 3 columns. */
template <int NC>
KSX_INLINE void rank1_tile_narrow_any(i64 mr, const f64* A, i64 lda, const f64* B, i64 ldb,
                                      i64 rows, f64* out, i64 ldo) {
    switch (mr) {
    case 4: rank1_tile_narrow<4, NC>(A, lda, B, ldb, rows, out, ldo); break;
    case 3: rank1_tile_narrow<3, NC>(A, lda, B, ldb, rows, out, ldo); break;
    case 2: rank1_tile_narrow<2, NC>(A, lda, B, ldb, rows, out, ldo); break;
    default: rank1_tile_narrow<1, NC>(A, lda, B, ldb, rows, out, ldo); break;
    }
}

/* The tiles of one column block of out for one row block: NV vectors of type
 * V loaded from column js (the first `skip` of them not stored), rows k from
 * k_begin to p-1 in tiles of at most 12 / 6 rows. */
template <class V, int NV>
KSX_INLINE void rank1_column_block(const f64* Ab, i64 lda, const f64* Bb, i64 ldb, i64 rows,
                                   f64* out, i64 m, i64 p, i64 k_begin, i64 js, i64 skip,
                                   Prefetch& pf) {
    const i64 tile_rows = NV == 1 ? kTileRowsOne : kTileRowsTwo;
    for (i64 k0 = k_begin; k0 < p; k0 += tile_rows) {
        const i64 mr = min_i64(tile_rows, p - k0);
        rank1_tile_any<V, NV>(mr, Ab + k0, lda, Bb + js, ldb, rows, out + k0 * m + js, m, skip, pf);
    }
}

/* The loop nest for fewer than four columns: scalar chains, rows in blocks
 * of `block`, tiles of up to four rows k by the m columns.  Kept out of the
 * vector kernels and compiled without the basic-block vectoriser, which would
 * pack these few chains into vector lanes with a shuffle per operand. */
KSX_DISPATCH __attribute__((optimize("no-tree-slp-vectorize"))) void rank1_narrow(
    const f64* A, i64 lda, const f64* B, i64 ldb, f64* out, i64 n, i64 p, i64 m, i64 block) {
    for (i64 i0 = 0; i0 < n; i0 += block) {
        const i64 rows = min_i64(block, n - i0);
        for (i64 k0 = 0; k0 < p; k0 += kNarrowRows) {
            const i64 mr = min_i64(kNarrowRows, p - k0);
            const f64* Ak = A + i0 * lda + k0;
            const f64* Bb = B + i0 * ldb;
            f64* o = out + k0 * m;
            if (m == 3) rank1_tile_narrow_any<3>(mr, Ak, lda, Bb, ldb, rows, o, m);
            else if (m == 2) rank1_tile_narrow_any<2>(mr, Ak, lda, Bb, ldb, rows, o, m);
            else rank1_tile_narrow_any<1>(mr, Ak, lda, Bb, ldb, rows, o, m);
        }
    }
}

/* Column blocks of out (m >= 4 columns), left to right: two vectors of V
 * wide, then one, then one 4-lane vector; a block at the right edge is
 * shifted left so that its loads stay inside the rows, its first columns
 * (already covered) not stored.  kind is 2 / 1 for two / one vectors of V and
 * 0 for one 4-lane vector; with `lower` a block starting at column jlo takes
 * the rows from jlo on. */
template <class V>
struct ColumnBlocks {
    i64 m;
    bool lower;
    i64 jlo = 0;
    int kind = 0;
    i64 js = 0, skip = 0, k_begin = 0;

    ColumnBlocks(i64 m_, bool lower_) : m(m_), lower(lower_) {}

    KSX_INLINE bool next() {
        constexpr i64 W = vs::lanes<V>;
        if (jlo >= m) return false;
        const i64 left = m - jlo;
        i64 width;
        if (left >= 2 * W || (left > W && m >= 2 * W)) {
            kind = 2, width = 2 * W;
        } else if (m >= W) {
            kind = 1, width = W;
        } else {
            kind = 0, width = 4;
        }
        js = min_i64(jlo, m - width);
        skip = jlo - js;
        k_begin = lower ? jlo : 0;
        jlo = js + width;
        return true;
    }
};

/* Loop nest over the tiles of out (p x m, row stride m): A is n x p with row
 * stride lda, B n x m with row stride ldb.  With `lower`, out is square and
 * only tiles reaching the lower triangle with the diagonal are visited: the
 * tiles of a column block starting at column jlo start at row jlo.  Elements
 * of such a tile above the diagonal are computed into the strict upper
 * triangle of out, which the caller overwrites.  Every element of the visited
 * region belongs to exactly one stored tile per row block.  Fewer than four
 * columns are scalar chains. */
template <class V>
KSX_INLINE void rank1_nest(const f64* A, i64 lda, const f64* B, i64 ldb, f64* out, i64 n, i64 p,
                           i64 m, bool lower) {
    const i64 row_bytes = static_cast<i64>(sizeof(f64)) * (lower ? m : p + m);
    const i64 block = max_i64(16, kBlockBytes / row_bytes);
    if (m < 4) {
        rank1_narrow(A, lda, B, ldb, out, n, p, m, block);
        return;
    }
    /* Tiles per row block, for spreading the prefetches. */
    i64 tiles = 0;
    for (ColumnBlocks<V> cb(m, lower); cb.next();) {
        const i64 tile_rows = cb.kind == 2 ? kTileRowsTwo : kTileRowsOne;
        tiles += (p - cb.k_begin + tile_rows - 1) / tile_rows;
    }
    const uintptr_t a_lo = reinterpret_cast<uintptr_t>(A);
    const uintptr_t a_hi = reinterpret_cast<uintptr_t>(A + n * lda);
    for (i64 i0 = 0; i0 < n; i0 += block) {
        const i64 rows = min_i64(block, n - i0);
        const f64* Ab = A + i0 * lda;
        const f64* Bb = B + i0 * ldb;
        Prefetch pf; /* lines == 0: nothing to prefetch */
        if (i0 + block < n) {
            /* Rows i0 + block .. of A and of B (the narrower range is
             * over-fetched a little; a prefetch never faults).  B is left out
             * when it lies inside A, as for the lag products of the HAC
             * estimator. */
            const i64 next_rows = min_i64(block, n - i0 - block);
            pf.a = reinterpret_cast<const char*>(Ab + block * lda);
            pf.lines = (next_rows * max_i64(lda, ldb) * static_cast<i64>(sizeof(f64)) + 63) / 64;
            pf.steps = rows * tiles;
            const uintptr_t b_next = reinterpret_cast<uintptr_t>(Bb + block * ldb);
            if (b_next < a_lo || b_next >= a_hi) pf.b = reinterpret_cast<const char*>(b_next);
        }
        for (ColumnBlocks<V> cb(m, lower); cb.next();) {
            const i64 js = cb.js, skip = cb.skip, k0 = cb.k_begin;
            if (cb.kind == 2) rank1_column_block<V, 2>(Ab, lda, Bb, ldb, rows, out, m, p, k0, js, skip, pf);
            else if (cb.kind == 1) rank1_column_block<V, 1>(Ab, lda, Bb, ldb, rows, out, m, p, k0, js, skip, pf);
            else rank1_column_block<v4, 1>(Ab, lda, Bb, ldb, rows, out, m, p, k0, js, skip, pf);
        }
    }
}

/* out (p x m) += A^T B, A n x p, B n x m, both with their natural strides;
 * G (p x p) += X^T X on the lower triangle with the diagonal, the strict upper
 * triangle receiving partial values that the caller overwrites. */
KSX_TARGET_BASE void atb_accumulate(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    rank1_nest<v4>(A, p, B, m, out, n, p, m, false);
}
KSX_TARGET_BASE void gram_accumulate(const f64* X, f64* G, i64 n, i64 p) {
    rank1_nest<v4>(X, p, X, p, G, n, p, p, true);
}
#if KSX_HAVE_V3
KSX_TARGET_V3 void atb_accumulate(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    rank1_nest<v4>(A, p, B, m, out, n, p, m, false);
}
KSX_TARGET_V3 void gram_accumulate(const f64* X, f64* G, i64 n, i64 p) {
    rank1_nest<v4>(X, p, X, p, G, n, p, p, true);
}
#endif
#if KSX_HAVE_V4
KSX_TARGET_V4 void atb_accumulate(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    rank1_nest<v8>(A, p, B, m, out, n, p, m, false);
}
KSX_TARGET_V4 void gram_accumulate(const f64* X, f64* G, i64 n, i64 p) {
    rank1_nest<v8>(X, p, X, p, G, n, p, p, true);
}
#endif

/* Micro-kernel of X^T y: NV vectors of consecutive columns of X starting at
 * X (row stride ldx), plus with REM one more vector starting at X + rem_at
 * whose first rem_skip lanes are computed but not stored (the rightmost
 * columns, loaded shifted left so the loads stay inside the row).  Each lane
 * is one chain fma(X[r,a], y[r], g[a]) over the rows in order. */
template <int NV, bool REM>
KSX_INLINE void rhs_tile(const f64* X, i64 ldx, const f64* y, i64 rows, f64* g, i64 rem_at,
                         i64 rem_skip) {
    v4 acc[NV + 1];
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) acc[v] = vs::load<v4>(g + 4 * v);
    if (REM) acc[NV] = vs::load<v4>(g + rem_at);
    for (i64 r = 0; r < rows; ++r) {
        const f64* x = X + r * ldx;
        const v4 yr = vs::splat<v4>(y[r]);
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) acc[v] = vs::fma(vs::load<v4>(x + 4 * v), yr, acc[v]);
        if (REM) acc[NV] = vs::fma(vs::load<v4>(x + rem_at), yr, acc[NV]);
    }
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) vs::store(g + 4 * v, acc[v]);
    if (REM) {
        f64 lanes[4];
        vs::store(lanes, acc[NV]);
        for (i64 j = rem_skip; j < 4; ++j) g[rem_at + j] = lanes[j];
    }
}

template <bool REM>
KSX_INLINE void rhs_tile_any(i64 nv, const f64* X, i64 ldx, const f64* y, i64 rows, f64* g,
                             i64 rem_at, i64 rem_skip) {
    switch (nv) {
    case 4: rhs_tile<4, REM>(X, ldx, y, rows, g, rem_at, rem_skip); break;
    case 3: rhs_tile<3, REM>(X, ldx, y, rows, g, rem_at, rem_skip); break;
    case 2: rhs_tile<2, REM>(X, ldx, y, rows, g, rem_at, rem_skip); break;
    default: rhs_tile<1, REM>(X, ldx, y, rows, g, rem_at, rem_skip); break;
    }
}

/* g (p) += X^T y.  Rows stream through in blocks; within a block the columns
 * are taken 16 at a time in registers, the last p % 4 of them in one extra
 * vector beside the last group; fewer than four columns as scalar chains. */
KSX_DISPATCH void gram_rhs_accumulate(const f64* X, const f64* y, f64* g, i64 n, i64 p) {
    const i64 block = max_i64(16, kBlockBytes / (static_cast<i64>(sizeof(f64)) * p));
    const i64 full = p / 4; /* whole vectors of columns */
    const i64 rem = p % 4;
    for (i64 r0 = 0; r0 < n; r0 += block) {
        const i64 rows = min_i64(block, n - r0);
        const f64* Xb = X + r0 * p;
        const f64* yb = y + r0;
        if (p < 4) {
            f64 acc[3] = {0.0, 0.0, 0.0};
            for (i64 a = 0; a < p; ++a) acc[a] = g[a];
            for (i64 r = 0; r < rows; ++r) {
                const f64* x = Xb + r * p;
                for (i64 a = 0; a < p; ++a) acc[a] = std::fma(x[a], yb[r], acc[a]);
            }
            for (i64 a = 0; a < p; ++a) g[a] = acc[a];
            continue;
        }
        for (i64 v0 = 0; v0 < full; v0 += 4) {
            const i64 nv = min_i64(4, full - v0);
            const i64 a0 = 4 * v0;
            if (v0 + nv == full && rem != 0) {
                /* The shifted vector starts at column p - 4. */
                rhs_tile_any<true>(nv, Xb + a0, p, yb, rows, g + a0, p - 4 - a0, 4 - rem);
            } else {
                rhs_tile_any<false>(nv, Xb + a0, p, yb, rows, g + a0, 0, 0);
            }
        }
    }
}

}  // namespace

/* ======================================================================
 * Vector and matrix primitives
 * ====================================================================== */

/* out[0 .. r*c) = +0.0 (all bits zero); nothing for an empty block. */
void ksx_zero_mat(f64* out, i64 r, i64 c) {
    if (r <= 0 || c <= 0) return;
    std::memset(out, 0, block_count(r, c) * sizeof(f64));
}

/* P <- (P + P^T) / 2 off the diagonal, as (P[i,j] + P[j,i]) * 0.5. */
void ksx_sym_inplace(f64* P, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) {
            const f64 v = (P[i * n + j] + P[j * n + i]) * 0.5;
            P[i * n + j] = v;
            P[j * n + i] = v;
        }
    }
}

/* out (n x m) = A (n x p) B (p x m); each element one chain over k. */
KSX_DISPATCH
void ksx_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * p;
        for (i64 j = 0; j < m; ++j) {
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(a_row[k], B[k * m + j], s);
            out[i * m + j] = s;
        }
    }
}

/* out (p x m) = A^T B with A n x p and B n x m.  Every out[k,j] accumulates
 * its n terms fma(A[i,k], B[i,j], s) in increasing row i, starting from the
 * cleared out (also cleared when n is 0).  Rows stream through in blocks and
 * out in register tiles (see rank1_nest); the order of each chain is that of
 * the row-outer loop i, k, j. */
void ksx_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    ksx_zero_mat(out, p, m);
    if (n <= 0 || p <= 0 || m <= 0) return;
    atb_accumulate(A, B, out, n, p, m);
}

/* out (n x m) = A B^T with A n x p and B m x p: row i of A against row j of B. */
KSX_DISPATCH
void ksx_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * p;
        for (i64 j = 0; j < m; ++j) {
            const f64* b_row = B + j * p;
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(a_row[k], b_row[k], s);
            out[i * m + j] = s;
        }
    }
}

/* out = C + A B^T: the sum starts from +0.0 as in ksx_matmul_abt and C is
 * added afterwards with one separately rounded addition. */
KSX_DISPATCH
void ksx_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out,
                           i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * p;
        for (i64 j = 0; j < m; ++j) {
            const f64* b_row = B + j * p;
            f64 s = 0.0;
            for (i64 k = 0; k < p; ++k) s = std::fma(a_row[k], b_row[k], s);
            out[i * m + j] = C[i * m + j] + s;
        }
    }
}

/* out (n) = A (n x m) x (m). */
KSX_DISPATCH
void ksx_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m) {
    if (n <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * m;
        f64 s = 0.0;
        for (i64 j = 0; j < m; ++j) s = std::fma(a_row[j], x[j], s);
        out[i] = s;
    }
}

/* out = b + A x: each row's chain starts from b[i] (not from +0.0), which
 * rounds differently from adding b afterwards. */
KSX_DISPATCH
void ksx_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out,
                         i64 n, i64 m) {
    if (n <= 0) return;
    for (i64 i = 0; i < n; ++i) {
        const f64* a_row = A + i * m;
        f64 s = b[i];
        for (i64 j = 0; j < m; ++j) s = std::fma(a_row[j], x[j], s);
        out[i] = s;
    }
}

/* out = a - b; element i is read before it is written, so out may be a or b. */
void ksx_vsub(const f64* a, const f64* b, f64* out, i64 n) {
    for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

KSX_DISPATCH
f64 ksx_dot(const f64* a, const f64* b, i64 n) {
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s = std::fma(a[i], b[i], s);
    return s;
}

/* qsort comparison: 1 if a > b, -1 if a < b, 0 otherwise, so -0.0 equals +0.0
 * and a NaN equals everything (no ordering; glibc's qsort still terminates and
 * stays within the array). */
static int ksx_cmp_f64(const void* pa, const void* pb) {
    const f64 fa = *static_cast<const f64*>(pa);
    const f64 fb = *static_cast<const f64*>(pb);
    if (fa > fb) return 1;
    if (fa < fb) return -1;
    return 0;
}

void ksx_sort_f64(f64* arr, i64 n) {
    if (n <= 1) return;
    std::qsort(arr, static_cast<size_t>(n), sizeof(f64), ksx_cmp_f64);
}

/* Median; leaves arr sorted ascending (a side effect callers see). */
f64 ksx_median_f64(f64* arr, i64 n) {
    if (n <= 0) return std::numeric_limits<f64>::quiet_NaN();
    ksx_sort_f64(arr, n);
    const i64 h = n / 2;
    if (n % 2 != 0) return arr[h];
    return (arr[h] + arr[h - 1]) * 0.5;
}

/* ======================================================================
 * Cholesky factorisation and normal equations
 * ====================================================================== */

/* Cholesky-Banachiewicz of the lower triangle of S (the strict upper triangle
 * is never read) into L, zeroed first.  jitter is applied only when > 0.
 * Pivot test: fail (-1) as soon as a pivot s <= n * scale * 2^-52, scale the
 * largest jittered diagonal element floored at 0.0.  The test is an ordered
 * comparison, so a NaN pivot passes and sqrt(NaN) is stored; a +inf diagonal
 * makes the tolerance infinite and the first pivot fails. */
KSX_DISPATCH
int ksx_chol(const f64* S, f64 jitter, f64* L, i64 n) {
    ksx_zero_mat(L, n, n);
    if (n <= 0) return 0;

    const bool use_jitter = jitter > 0.0;
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        f64 d = S[i * n + i];
        if (use_jitter) d = d + jitter;
        if (d > scale) scale = d;
    }
    const f64 eps = 2.220446049250313e-16; /* 2^-52 */
    const f64 pivot_tol = static_cast<f64>(n) * scale * eps;

    for (i64 i = 0; i < n; ++i) {
        const f64* L_i = L + i * n;
        for (i64 j = 0; j <= i; ++j) {
            const f64* L_j = L + j * n;
            f64 s = S[i * n + j];
            if (i == j && use_jitter) s = s + jitter;
            for (i64 k = 0; k < j; ++k) s = std::fma(-L_i[k], L_j[k], s);
            if (i == j) {
                if (s <= pivot_tol) return -1;
                L[i * n + i] = std::sqrt(s);
            } else {
                L[i * n + j] = s / L_j[j];
            }
        }
    }
    return 0;
}

/* log det(L L^T) = 2 * sum log L[i,i], plain additions from 0.0, result s + s. */
f64 ksx_logdet_from_chol(const f64* L, i64 n) {
    if (n <= 0) return 0.0;
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s = s + std::log(L[i * n + i]);
    return s + s;
}

/* L out = b.  b[i] is read before out[i] is written: out may be b. */
KSX_DISPATCH
void ksx_forward_subst(const f64* L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    out[0] = b[0] / L[0];
    for (i64 i = 1; i < n; ++i) {
        const f64* L_i = L + i * n;
        f64 s = 0.0;
        for (i64 j = 0; j < i; ++j) s = std::fma(out[j], L_i[j], s);
        out[i] = (b[i] - s) / L_i[i];
    }
}

/* L^T out = b, reading column i of L below the diagonal (no transposed copy).
 * out may be b. */
KSX_DISPATCH
void ksx_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n) {
    for (i64 i = n - 1; i >= 0; --i) {
        f64 s = 0.0;
        for (i64 j = i + 1; j < n; ++j) s = std::fma(L[j * n + i], out[j], s);
        out[i] = (b[i] - s) / L[i * n + i];
    }
}

/* G (p x p) = X^T X.  Only the lower triangle with the diagonal is
 * accumulated, each element G[a,b] the chain fma(X[r,a], X[r,b], s) over rows
 * r in increasing order from the cleared G; then the strict upper triangle is
 * overwritten by the mirror, so the result is exactly symmetric.  Rows stream
 * through in blocks and the lower triangle in register tiles (see
 * rank1_nest). */
void ksx_gram(const f64* X, f64* G, i64 n, i64 p) {
    ksx_zero_mat(G, p, p);
    if (p <= 0) return;
    if (n > 0) gram_accumulate(X, G, n, p);
    for (i64 a = 1; a < p; ++a)
        for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
}

/* g (p) = X^T y, each g[a] the chain fma(X[r,a], y[r], s) over rows r in
 * increasing order from +0.0. */
void ksx_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p) {
    if (p <= 0) return;
    for (i64 a = 0; a < p; ++a) g[a] = 0.0;
    if (n > 0) gram_rhs_accumulate(X, y, g, n, p);
}

/* G coef = g through the factor in scratch_L; coef untouched on -1. */
int ksx_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p) {
    const int status = ksx_chol(G, 0.0, scratch_L, p);
    if (status == 0) {
        ksx_forward_subst(scratch_L, g, coef, p);
        ksx_backward_subst_chol_t(scratch_L, coef, coef, p);
    }
    return status;
}

/* Pinv = G^-1 one column at a time through the factor; not symmetrised.
 * Pinv untouched on -1. */
KSX_DISPATCH
int ksx_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p) {
    const int status = ksx_chol(G, 0.0, scratch_L, p);
    if (status != 0) return status;
    if (p <= 0) return 0;
    const f64* L = scratch_L;
    for (i64 j = 0; j < p; ++j) {
        for (i64 i = 0; i < p; ++i) {
            f64 s = 0.0;
            for (i64 k = 0; k < i; ++k) s = std::fma(L[i * p + k], Pinv[k * p + j], s);
            const f64 e = (i == j) ? 1.0 : 0.0;
            Pinv[i * p + j] = (e - s) / L[i * p + i];
        }
        for (i64 i = p - 1; i >= 0; --i) {
            f64 s = 0.0;
            for (i64 k = i + 1; k < p; ++k) s = std::fma(L[k * p + i], Pinv[k * p + j], s);
            Pinv[i * p + j] = (Pinv[i * p + j] - s) / L[i * p + i];
        }
    }
    return 0;
}

/* ======================================================================
 * Real LU factorisation with partial pivoting
 * ====================================================================== */

namespace {

// The real field of the shared LU: pivots by |v|, one reciprocal per pivot,
// fused updates.
struct RealField {
    using T = f64;
    static f64 magnitude(f64 v) { return std::fabs(v); }
    static f64 divisor(f64 d) { return 1.0 / d; }
    static f64 divide(f64 a, f64 reciprocal) { return a * reciprocal; }
    static f64 minus_product(f64 x, f64 l, f64 y) { return std::fma(-l, y, x); }
};

}  // namespace

/* The shared row-oriented LU (ksx_lu.hpp): pivot[k] is the row swapped with
 * row k at step k; -1 for bad arguments, -2 for an exactly zero pivot column. */
i64 ksx_lu_factor_inplace(f64* A, i64* pivot, i64 n) { return ksx_lu::factor_inplace<RealField>(A, pivot, n); }

f64_lu ksx_lu_factor(const f64* A, i64 n) {
    f64_lu res;
    res.lu = nullptr;
    res.piv = nullptr;
    res.n = n;
    res.err = -1;
    if (A == nullptr || n <= 0) return res;
    if (square_block_too_large(n, sizeof(f64))) return res;

    /* lu first, then piv; on failure release whichever succeeded. */
    f64* lu = static_cast<f64*>(std::malloc(block_count(n, n) * sizeof(f64)));
    if (lu == nullptr) return res;
    i64* piv = static_cast<i64*>(std::malloc(static_cast<size_t>(n) * sizeof(i64)));
    if (piv == nullptr) {
        std::free(lu);
        return res;
    }
    std::memcpy(lu, A, block_count(n, n) * sizeof(f64));
    res.lu = lu;
    res.piv = piv;
    res.err = ksx_lu_factor_inplace(lu, piv, n);
    return res;
}

/* Releases both blocks and zeroes every field; harmless twice or on null. */
void ksx_lu_free(f64_lu* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    lu->lu = nullptr;
    lu->piv = nullptr;
    lu->n = 0;
    lu->err = 0;
}

/* A X = B for all m columns at once from the factorisation (LU, piv).  No
 * argument checks; X must not overlap B. */
void ksx_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, i64 n, i64 m) {
    ksx_lu::solve<RealField>(LU, piv, B, X, n, m);
}

/* One-shot A X = B; X written only on 0.  Beyond the checks of the factorisation
 * (null A, n <= 0, allocation), a negative m or a null B or X with m > 0 is rejected
 * as a bad argument (-1) instead of being dereferenced. */
i64 ksx_solve(const f64* A, const f64* B, i64 n, i64 m, f64* X) {
    if (m < 0 || (m > 0 && (B == nullptr || X == nullptr))) return -1;
    f64_lu lu = ksx_lu_factor(A, n);
    const i64 err = lu.err;
    if (err == 0) ksx_lu_solve(lu.lu, lu.piv, B, X, n, m);
    ksx_lu_free(&lu);
    return err;
}

/* Ainv = A^-1 by solving A Ainv = I; Ainv written only on 0. */
i64 ksx_inv(const f64* A, i64 n, f64* Ainv) {
    if (A == nullptr || n <= 0 || Ainv == nullptr) return -1;
    if (square_block_too_large(n, sizeof(f64))) return -1;
    f64* identity = static_cast<f64*>(std::malloc(block_count(n, n) * sizeof(f64)));
    if (identity == nullptr) return -1;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) identity[i * n + j] = (i == j) ? 1.0 : 0.0;
    const i64 err = ksx_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return err;
}
