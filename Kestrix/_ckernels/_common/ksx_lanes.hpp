// Lane types for algorithms written once and run either on one problem at a
// time or on several same-sized problems side by side.  Private to the
// libraries: not installed, not part of the native interface.
//
// A lane type is f64 (one problem) or a vector of 4 or 8 doubles (one
// problem per lane).  Every operation below acts lane by lane and never
// combines two lanes, so lane l of a vector run performs exactly the
// operations, in the same order and with the same roundings, that a run on
// f64 performs for problem l: the results are the same bits.  std::fma and
// std::sqrt are correctly rounded, whether they become one instruction or a
// call of the maths library.
//
// Data of a lane run is interleaved: element i of problem l sits at
// index i*lanes + l, so an array of V holds one element of every problem.
//
// Decisions (a pivot too small, a variance of zero) are lane masks.  A run on
// f64 branches on them; a vector run cannot, so the algorithms take the
// common branch in every lane and record, per lane, that the problem left it
// (see `Track`): those problems are solved again one at a time.
#ifndef KSX_LANES_HPP
#define KSX_LANES_HPP

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "ksx_common.h"
#include "ksx_dispatch.hpp"

// Code compiled for several instruction sets in one library (the engine's
// lane runs) gives each copy its own inline namespace, so that the linker
// never merges a copy for one instruction set with another's.
#ifndef KSX_ISA
#define KSX_ISA isa_base
#endif

namespace ksx {
inline namespace KSX_ISA {
namespace lanes {

using simd::v4;
using simd::v8;
// Sixteen lanes: two zmm registers (or four ymm) per operation, whose chains
// overlap where one register's would wait on its latency.
typedef f64 v16 __attribute__((vector_size(128)));

template <class V>
constexpr int width = std::is_same<V, f64>::value ? 1 : static_cast<int>(sizeof(V) / sizeof(f64));

template <class V>
constexpr bool scalar = std::is_same<V, f64>::value;

// The mask type of a lane type: bool for f64, a vector of 64-bit integers
// (all ones or zero per lane) otherwise.
template <class V>
struct mask_of {
    typedef decltype(V{} < V{}) type;
};
template <>
struct mask_of<f64> {
    typedef bool type;
};
template <class V>
using Mask = typename mask_of<V>::type;

template <class V>
KSX_INLINE V splat(f64 x) {
    if constexpr (scalar<V>) {
        return x;
    } else {
        return simd::splat<V>(x);
    }
}

// The fused multiply-add of a lane vector: the vector instruction where the
// copy has one (a lane-by-lane std::fma otherwise; the same bits either way).
template <class V>
KSX_INLINE V fma(const V& a, const V& b, const V& c) {
    if constexpr (scalar<V>) {
        return std::fma(a, b, c);
    } else {
#if defined(__AVX512F__)
        if constexpr (width<V> == 8) {
            return reinterpret_cast<V>(_mm512_fmadd_pd(reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b),
                                                       reinterpret_cast<__m512d>(c)));
        }
#endif
#if defined(__FMA__)
        if constexpr (width<V> == 4) {
            return reinterpret_cast<V>(_mm256_fmadd_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b),
                                                       reinterpret_cast<__m256d>(c)));
        }
#endif
#if defined(__aarch64__)
        if constexpr (width<V> == 4) {
            const float64x2_t* pa = reinterpret_cast<const float64x2_t*>(&a);
            const float64x2_t* pb = reinterpret_cast<const float64x2_t*>(&b);
            const float64x2_t* pc = reinterpret_cast<const float64x2_t*>(&c);
            float64x2_t r[2] = {vfmaq_f64(pc[0], pa[0], pb[0]), vfmaq_f64(pc[1], pa[1], pb[1])};
            V out;
            std::memcpy(&out, r, sizeof out);
            return out;
        }
#endif
        return simd::fma(a, b, c);
    }
}

template <class V>
KSX_INLINE V sqrt(const V& a) {
    if constexpr (scalar<V>) {
        return std::sqrt(a);
    } else {
        // One correctly rounded square root per lane: the vector instruction where the copy has it.
        V r;
#if defined(__AVX512F__)
        if constexpr (width<V> % 8 == 0) {
            for (int h = 0; h < width<V>; h += 8) {
                __m512d part;
                std::memcpy(&part, reinterpret_cast<const f64*>(&a) + h, sizeof part);
                part = _mm512_sqrt_pd(part);
                std::memcpy(reinterpret_cast<f64*>(&r) + h, &part, sizeof part);
            }
            return r;
        }
#endif
#if defined(__AVX__)
        if constexpr (width<V> % 4 == 0) {
            for (int h = 0; h < width<V>; h += 4) {
                __m256d part;
                std::memcpy(&part, reinterpret_cast<const f64*>(&a) + h, sizeof part);
                part = _mm256_sqrt_pd(part);
                std::memcpy(reinterpret_cast<f64*>(&r) + h, &part, sizeof part);
            }
            return r;
        }
#endif
#pragma GCC unroll 8
        for (int l = 0; l < width<V>; ++l) r[l] = std::sqrt(a[l]);
        return r;
    }
}

template <class V>
KSX_INLINE V abs(const V& a) {
    if constexpr (scalar<V>) {
        return std::fabs(a);
    } else {
        // The sign bit cleared, as std::fabs does.
        typedef int64_t bits __attribute__((vector_size(sizeof(V))));
        return reinterpret_cast<V>(reinterpret_cast<bits>(a) & static_cast<int64_t>(0x7fffffffffffffffLL));
    }
}

// Lane-wise a > b ? a : b, NaN-blind like std::fmax only when both are
// numbers; a NaN in b keeps a, a NaN in a is replaced by b.  (The algorithms
// never rely on it: a NaN makes the problem irregular first.)
template <class V>
KSX_INLINE V max(const V& a, const V& b) {
    if constexpr (scalar<V>) {
        return b > a ? b : a;
    } else {
        return b > a ? b : a;
    }
}

// Lane-wise copysign(1, a) for a != 0 and +1 for a == 0 (and for a NaN).
template <class V>
KSX_INLINE V sign_or_one(const V& a) {
    if constexpr (scalar<V>) {
        return a < 0.0 ? -1.0 : 1.0;
    } else {
        return a < 0.0 ? splat<V>(-1.0) : splat<V>(1.0);
    }
}

// Lane l of v.
template <class V>
KSX_INLINE f64 lane(const V& v, int l) {
    if constexpr (scalar<V>) {
        (void)l;
        return v;
    } else {
        return v[l];
    }
}

template <class V>
KSX_INLINE void set_lane(V& v, int l, f64 x) {
    if constexpr (scalar<V>) {
        (void)l;
        v = x;
    } else {
        v[l] = x;
    }
}

// r[0 .. W-1] (W = 4 or 8) as a W x W block, row l holding W consecutive elements of problem l, becomes
// its transpose: r[k] holds element k of every problem.  In log2(W) stages of two-vector shuffles (stage s
// pairs r[i] with r[i + s]); the values are moved, never computed on.
typedef int64_t index4 __attribute__((vector_size(32)));
typedef int64_t index8 __attribute__((vector_size(64)));

template <class V>
KSX_INLINE void transpose(V* r) {
    constexpr int W = width<V>;
    static_assert(W == 4 || W == 8, "transpose is for 4 or 8 lanes");
    using I = typename std::conditional<W == 4, index4, index8>::type;
    const auto stage = [r](int s, const I& lo, const I& hi) {
        for (int i = 0; i < W; ++i) {
            if (i & s) continue;
            const V a = r[i], c = r[i + s];
            r[i] = __builtin_shuffle(a, c, lo);
            r[i + s] = __builtin_shuffle(a, c, hi);
        }
    };
    // Element k of the low result: a[k] where bit s of k is clear, else c[k - s]; of the high result:
    // a[k + s] where it is clear, else c[k] (indices of c count from W).
    if constexpr (W == 4) {
        stage(1, I{0, 4, 2, 6}, I{1, 5, 3, 7});
        stage(2, I{0, 1, 4, 5}, I{2, 3, 6, 7});
    } else {
        stage(1, I{0, 8, 2, 10, 4, 12, 6, 14}, I{1, 9, 3, 11, 5, 13, 7, 15});
        stage(2, I{0, 1, 8, 9, 4, 5, 12, 13}, I{2, 3, 10, 11, 6, 7, 14, 15});
        stage(4, I{0, 1, 2, 3, 8, 9, 10, 11}, I{4, 5, 6, 7, 12, 13, 14, 15});
    }
}

template <class V>
KSX_INLINE bool any(const Mask<V>& m) {
    if constexpr (scalar<V>) {
        return m;
    } else {
        for (int l = 0; l < width<V>; ++l)
            if (m[l]) return true;
        return false;
    }
}

template <class V>
KSX_INLINE bool mask_lane(const Mask<V>& m, int l) {
    if constexpr (scalar<V>) {
        (void)l;
        return m;
    } else {
        return m[l] != 0;
    }
}

// Lane-wise m ? a : b.
template <class V>
KSX_INLINE V select(const Mask<V>& m, const V& a, const V& b) {
    return m ? a : b;
}

// The lanes that left the common branch of an algorithm.  A run on f64
// never records anything here: it takes the other branch instead.
template <class V>
struct Track {
    unsigned bits = 0;

    KSX_INLINE void leave(const Mask<V>& m) {
        if constexpr (!scalar<V>) {
#pragma GCC unroll 8
            for (int l = 0; l < width<V>; ++l)
                if (m[l]) bits |= 1u << l;
        } else {
            (void)m;
        }
    }
    KSX_INLINE void leave_lane(int l) { bits |= 1u << l; }
    KSX_INLINE bool left(int l) const { return (bits >> l) & 1u; }
    KSX_INLINE bool all_left() const { return bits == (1u << width<V>) - 1u; }
};

// Whether to take the exceptional branch of a decision whose condition is m:
// on f64, m itself.  In a lane run: true when m holds in every lane, false
// when it holds in none, and false also when lanes differ, after recording
// the lanes where it holds as having left the common branch.
template <class V>
KSX_INLINE bool decide(Track<V>& track, const Mask<V>& m) {
    if constexpr (scalar<V>) {
        (void)track;
        return m;
    } else {
        bool all = true, none = true;
#pragma GCC unroll 8
        for (int l = 0; l < width<V>; ++l) {
            all = all && m[l] != 0;
            none = none && m[l] == 0;
        }
        if (all) return true;
        if (!none) track.leave(m);
        return false;
    }
}

// A condition that is the same in every lane (one that depends on sizes
// only), as a mask.
template <class V>
KSX_INLINE Mask<V> uniform(bool b) {
    if constexpr (scalar<V>) {
        return b;
    } else {
        const V one = splat<V>(1.0);
        return b ? one == one : one != one;
    }
}

}  // namespace lanes
}  // namespace KSX_ISA
}  // namespace ksx

#endif  // KSX_LANES_HPP
