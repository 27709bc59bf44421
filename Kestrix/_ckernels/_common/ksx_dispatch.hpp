// Run-time choice of the instruction set for the hot loops, and the small
// vector types their micro-kernels are written in.  Private to the libraries:
// not installed, not part of the native interface.
//
// KSX_DISPATCH before a function definition compiles the function twice on
// x86-64: once for the baseline instruction set and once for x86-64-v3 (AVX2
// with hardware FMA).  The loader picks one copy through an ifunc when the
// symbol is bound; the libraries themselves hold no state for it.
//
// A few register-blocked kernels also want a different vector width per
// instruction set, which one body cannot express.  They are written as a
// template over the vector type and defined up to three times under the same
// name: KSX_TARGET_BASE (baseline, 4-lane vectors), KSX_TARGET_V3 (x86-64-v3,
// 4-lane vectors in ymm registers) and KSX_TARGET_V4 (x86-64-v4, AVX-512,
// 8-lane vectors in zmm registers); the loader again picks one.  The V3 and
// V4 definitions exist only where KSX_HAVE_V3 / KSX_HAVE_V4 are 1.
//
// On other architectures, and in a build with KSX_PORTABLE defined (the
// reference build of the bit-identity test), every function exists once, for
// the baseline.  KSX_NO_AVX512 drops only the V4 definitions (the bit-identity
// test builds that variant too, so that the V3 kernels are checked on a
// machine that has AVX-512).
//
// The choice changes speed only, never a result: every copy comes from the
// same source order of operations, compiled with -ffp-contract=off, vector
// lanes never combine, and std::fma is correctly rounded whether it is a
// vfmadd instruction or the maths library's fma() called by the baseline copy.
// A function behind these macros should call only inline helpers in its hot
// loop: an out-of-line callee is compiled once, for the baseline.
#ifndef KSX_DISPATCH_HPP
#define KSX_DISPATCH_HPP

#include <cmath>
#include <cstring>

#include "ksx_common.h"

#if !defined(KSX_PORTABLE) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    __GNUC__ >= 11
#define KSX_DISPATCH __attribute__((target_clones("arch=x86-64-v3", "default")))
#define KSX_TARGET_BASE __attribute__((target("default")))
#define KSX_TARGET_V3 __attribute__((target("arch=x86-64-v3")))
#define KSX_TARGET_V4 __attribute__((target("arch=x86-64-v4")))
#define KSX_HAVE_V3 1
#if defined(KSX_NO_AVX512)
#define KSX_HAVE_V4 0
#else
#define KSX_HAVE_V4 1
#endif
#else
#define KSX_DISPATCH
#define KSX_TARGET_BASE
#define KSX_HAVE_V3 0
#define KSX_HAVE_V4 0
#endif

// Helpers used inside a dispatched function must be inlined into each copy,
// where they take that copy's instruction set.
#define KSX_INLINE inline __attribute__((always_inline))

// The helpers below pass vectors by value; they are always inlined, so the
// calling convention for wide vectors on a baseline x86-64 never applies.
// GCC still notes the ABI change at every call site: silenced for the
// including file (only the kernels' own source files include this header).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace ksx {
namespace simd {

// Four and eight doubles, one output per lane.  Every operation below acts
// lane by lane; nothing ever combines two lanes, so each lane is an
// independent chain.  A copy compiled for a narrower machine splits a vector
// into the registers it has (an 8-lane vector into two ymm, a 4-lane one into
// two xmm or two NEON registers).
typedef f64 v4 __attribute__((vector_size(32)));
typedef f64 v8 __attribute__((vector_size(64)));

template <class V>
constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(f64));

// Unaligned load of consecutive doubles.
template <class V>
KSX_INLINE V load(const f64* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
KSX_INLINE void store(f64* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// Every lane x (exactly, signed zeros included).
template <class V>
KSX_INLINE V splat(f64 x) {
    V v;
#pragma GCC unroll 8
    for (int l = 0; l < lanes<V>; ++l) v[l] = x;
    return v;
}

// Every lane *p.  The address goes through an empty asm statement so that the
// compiler sees each such broadcast as its own scalar load: it then becomes a
// broadcast load (or the broadcast operand of the fma) instead of being merged
// with its neighbours into one vector load and a lane permutation per use,
// which runs on a single port.
template <class V>
KSX_INLINE V splat_at(const f64* p) {
    __asm__("" : "+r"(p));
    return splat<V>(*p);
}

// Lane-wise fma(a, b, c): one rounding per lane, exactly std::fma of the three
// lane values.  Compiled for FMA hardware the calls become one vfmadd.
template <class V>
KSX_INLINE V fma(const V& a, const V& b, const V& c) {
    V r;
#pragma GCC unroll 8
    for (int l = 0; l < lanes<V>; ++l) r[l] = std::fma(a[l], b[l], c[l]);
    return r;
}

}  // namespace simd
}  // namespace ksx

#endif  // KSX_DISPATCH_HPP
