// Single-core hardware ceilings of this machine, and how close the
// Gram-shaped kernels of the numeric core come to them.
//
// bench.py compiles this file twice, at run time:
//
//   g++ -O2 -std=c++17 -ffp-contract=off -march=native -DROOFLINE_PEAK_ONLY
//       -c roofline.cpp -o peak.o
//   g++ -O2 -std=c++17 -ffp-contract=off -I<include> roofline.cpp peak.o
//       -L<libdir> -lksx_diag -lksx_core -lm -o roofline
//
// The first object holds nothing but the peak-FMA loop, so -march=native
// reaches only that loop; the kernels are the installed static libraries, as
// built, and nothing here changes their results.
//
// Every quantity is measured the same way: the probes run in rounds, each
// round runs every probe once (FMA peak, bandwidth, kernels, side by side),
// and the medians over the rounds are printed as one JSON object on stdout.
//
// It also times every kernel natively on the tiny inputs (n = 5, p = 2) of
// the call-overhead benchmark, so that a Python call's cost can be split into
// the kernel's own work and the binding around it.
//
// The FMA peak is measured for every vector width compiled into the peak
// object (scalar, 256-bit, 512-bit where AVX-512 is there), with enough
// independent chains for each; beside it the latency of one dependent chain
// and, as a check, the same recurrence as a plain loop left to the compiler.
// The bandwidth is a sum over an array far beyond the last-level cache, read
// once after every page was written, again with a plain loop as the check;
// beside it the read bandwidth of smaller arrays, one per cache level, the
// latencies of a dependent addition and division chain, and the throughput
// of divisions, of square roots and of the two mixed, in the widest vectors.
//
// With hac_ns given, ksx_hac_estimator_matmul is timed (Bartlett window) for
// every n of hac_ns, every p of the p list and every L of hac_lags.
//
// Usage: roofline [n] [rounds] [big_mib] [p,p,...] [lag] [tiny_iters]
//                 [hac_ns] [hac_lags]

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(ROOFLINE_PEAK_ONLY)

#if defined(__AVX512F__) || defined(__AVX2__) || defined(__FMA__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// Everything in this object is compiled with -march=native.
//
// A fused multiply-add unit with latency C cycles and T units keeps busy only
// with at least C * T independent chains in flight; too few chains measure
// the latency, too many spill accumulators to memory.  Each width therefore
// gets its own chain count, sized to its register file:
//   scalar:  12 chains (16 xmm / 32 NEON registers hold them and the operands)
//   256-bit: 12 chains (16 ymm registers: 12 accumulators and 2 operands)
//   512-bit: 24 chains (32 zmm registers), only where AVX-512 is compiled in
//   NEON:    24 chains of 128 bits (32 registers)
// Every chain is acc = fma(acc, m, a) with m slightly below 1, so the values
// stay normal and finite however long the loop runs.

namespace {

template <class V>
constexpr int lanes_of = static_cast<int>(sizeof(V) / sizeof(double));

#if defined(__AVX512F__)
inline __m512d fma_v(__m512d a, __m512d b, __m512d c) { return _mm512_fmadd_pd(a, b, c); }
inline __m512d splat_v(__m512d*, double x) { return _mm512_set1_pd(x); }
inline double sum_v(__m512d v) { return _mm512_reduce_add_pd(v); }
#endif
#if defined(__FMA__)
inline __m256d fma_v(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }
inline __m256d splat_v(__m256d*, double x) { return _mm256_set1_pd(x); }
inline double sum_v(__m256d v) {
    double l[4];
    _mm256_storeu_pd(l, v);
    return (l[0] + l[1]) + (l[2] + l[3]);
}
#endif
#if defined(__aarch64__)
inline float64x2_t fma_v(float64x2_t a, float64x2_t b, float64x2_t c) { return vfmaq_f64(c, a, b); }
inline float64x2_t splat_v(float64x2_t*, double x) { return vdupq_n_f64(x); }
inline double sum_v(float64x2_t v) { return vaddvq_f64(v); }
#endif
// The value stays in one floating-point register here and the compiler can
// neither see through it nor move work across it.
inline void in_register(double& x) {
#if defined(__x86_64__)
    __asm__("" : "+x"(x));
#elif defined(__aarch64__)
    __asm__("" : "+w"(x));
#endif
}

inline double fma_v(double a, double b, double c) {
    double r = __builtin_fma(a, b, c);
    // One chain per register: without this the compiler packs the scalar
    // chains into vector lanes and the scalar width measures a vector one.
    in_register(r);
    return r;
}
inline double splat_v(double*, double x) { return x; }
inline double sum_v(double v) { return v; }

// `iters` steps of CHAINS independent chains of vector type V; returns a value
// that depends on every chain and adds the FMAs performed (one per lane) to
// *fmas.
template <class V, int CHAINS>
double fma_chains(long iters, double* fmas) {
    V acc[CHAINS];
    for (int c = 0; c < CHAINS; ++c) acc[c] = splat_v(acc, 1.0 + 1e-3 * c);
    const V m = splat_v(acc, 0.999999), a = splat_v(acc, 1e-6);
    for (long i = 0; i < iters; ++i) {
#pragma GCC unroll 32
        for (int c = 0; c < CHAINS; ++c) acc[c] = fma_v(acc[c], m, a);
    }
    double s = 0.0;
    for (int c = 0; c < CHAINS; ++c) s += sum_v(acc[c]);
    *fmas = static_cast<double>(iters) * CHAINS * lanes_of<V>;
    return s;
}

// The independent check: the same recurrence with ten accumulators of GCC's
// generic 4-lane vectors (more than the eight a two-unit, four-cycle FMA
// needs, few enough for 16 registers), written out as plain statements with
// no intrinsics: the compiler picks the instructions.
typedef double generic4 __attribute__((vector_size(32)));

}  // namespace

// Peak of the widest vectors compiled in: fused multiply-adds per second are
// flops / 2.  Kept for callers of the former interface.
extern "C" double roofline_fma_width(int bits, long iters, double* fmas, int* chains);

extern "C" double roofline_fma_peak(long iters, double* flops, const char** isa) {
    double fmas = 0.0;
    int chains = 0;
#if defined(__AVX512F__)
    *isa = "avx512 fma";
    const double s = roofline_fma_width(512, iters, &fmas, &chains);
#elif defined(__FMA__)
    *isa = "avx2 fma";
    const double s = roofline_fma_width(256, iters, &fmas, &chains);
#elif defined(__aarch64__)
    *isa = "neon fma";
    const double s = roofline_fma_width(128, iters, &fmas, &chains);
#else
    *isa = "scalar fma";
    const double s = roofline_fma_width(64, iters, &fmas, &chains);
#endif
    *flops = 2.0 * fmas;
    return s;
}

// One width: 64 (scalar), 128 (NEON), 256 (AVX2), 512 (AVX-512).  A width not
// compiled in sets *chains to 0 and *fmas to 0.
extern "C" double roofline_fma_width(int bits, long iters, double* fmas, int* chains) {
    *fmas = 0.0;
    *chains = 0;
    if (bits == 64) return *chains = 12, fma_chains<double, 12>(iters, fmas);
#if defined(__aarch64__)
    if (bits == 128) return *chains = 24, fma_chains<float64x2_t, 24>(iters, fmas);
#endif
#if defined(__FMA__)
    if (bits == 256) return *chains = 12, fma_chains<__m256d, 12>(iters, fmas);
#endif
#if defined(__AVX512F__)
    if (bits == 512) return *chains = 24, fma_chains<__m512d, 24>(iters, fmas);
#endif
    return 0.0;
}

// Throughput of divisions and square roots (one unit on most cores, far
// slower than the multiply-adds): CHAINS independent chains of the widest
// vectors, each x = c / x (between 1/1.5 and 1.5) or y = sqrt(y + 0.5) (near
// 1.366, a mantissa that takes the unit's full time), both, or half of each;
// `what` 1: divisions, 2: square roots, 3: a division and a square root a
// step.  Adds the operations performed (one per lane) to *ops.
#if defined(__AVX512F__)
inline __m512d div_v(__m512d a, __m512d b) { return _mm512_div_pd(a, b); }
inline __m512d sqrt_v(__m512d a) { return _mm512_sqrt_pd(a); }
inline __m512d add_v(__m512d a, __m512d b) { return _mm512_add_pd(a, b); }
using widest = __m512d;
#elif defined(__AVX__)
inline __m256d div_v(__m256d a, __m256d b) { return _mm256_div_pd(a, b); }
inline __m256d sqrt_v(__m256d a) { return _mm256_sqrt_pd(a); }
inline __m256d add_v(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
using widest = __m256d;
#elif defined(__aarch64__)
inline float64x2_t div_v(float64x2_t a, float64x2_t b) { return vdivq_f64(a, b); }
inline float64x2_t sqrt_v(float64x2_t a) { return vsqrtq_f64(a); }
inline float64x2_t add_v(float64x2_t a, float64x2_t b) { return vaddq_f64(a, b); }
using widest = float64x2_t;
#else
using widest = double;
#endif
inline double div_v(double a, double b) {
    double r = a / b;
    in_register(r);
    return r;
}
inline double sqrt_v(double a) {
    double r = __builtin_sqrt(a);
    in_register(r);
    return r;
}
inline double add_v(double a, double b) { return a + b; }

template <class V, int CHAINS>
double unit_chains(int what, long iters, double* ops) {
    V x[CHAINS];
    for (int c = 0; c < CHAINS; ++c) x[c] = splat_v(x, 1.0 + 1e-3 * c);
    const V num = splat_v(x, 1.000001), half = splat_v(x, 0.5);
    for (long i = 0; i < iters; ++i) {
#pragma GCC unroll 16
        for (int c = 0; c < CHAINS; ++c) {
            const bool divide = what == 1 || (what == 3 && c % 2 == 0);
            x[c] = divide ? div_v(num, x[c]) : sqrt_v(add_v(x[c], half));
        }
    }
    double s = 0.0;
    for (int c = 0; c < CHAINS; ++c) s += sum_v(x[c]);
    *ops = static_cast<double>(iters) * CHAINS * lanes_of<V>;
    return s;
}

extern "C" double roofline_unit_peak(int what, long iters, double* ops) {
    return unit_chains<widest, 8>(what, iters, ops);
}

// Latency: one dependent chain of `iters` scalar fmas, each waiting for the
// one before.
extern "C" double roofline_fma_latency(long iters, double* fmas) {
    double x = 1.0;
    for (long i = 0; i < iters; ++i) {
        x = __builtin_fma(x, 0.999999, 1e-6);
        in_register(x);  // one scalar chain, nothing reordered around it
    }
    *fmas = static_cast<double>(iters);
    return x;
}

// The same for a dependent chain of additions and of divisions: the pace of
// a plain running sum, and of a recursion that waits for a quotient.
extern "C" double roofline_add_latency(long iters, double* ops) {
    double x = 1.0;
    for (long i = 0; i < iters; ++i) {
        x = x + 1e-9;
        in_register(x);
    }
    *ops = static_cast<double>(iters);
    return x;
}

extern "C" double roofline_div_latency(long iters, double* ops) {
    double x = 1.5;
    for (long i = 0; i < iters; ++i) {
        x = 1.000001 / x;  // stays between 1/1.5 and 1.5
        in_register(x);
    }
    *ops = static_cast<double>(iters);
    return x;
}

extern "C" double roofline_fma_simple(long iters, double* fmas) {
    const generic4 m = {0.999999, 0.999999, 0.999999, 0.999999}, a = {1e-6, 1e-6, 1e-6, 1e-6};
    generic4 c0 = {1.0, 1.0, 1.0, 1.0}, c1 = c0 + 1e-3, c2 = c1 + 1e-3, c3 = c2 + 1e-3,
             c4 = c3 + 1e-3, c5 = c4 + 1e-3, c6 = c5 + 1e-3, c7 = c6 + 1e-3, c8 = c7 + 1e-3,
             c9 = c8 + 1e-3;
    for (long i = 0; i < iters; ++i) {
        for (int l = 0; l < 4; ++l) {
            c0[l] = __builtin_fma(c0[l], m[l], a[l]);
            c1[l] = __builtin_fma(c1[l], m[l], a[l]);
            c2[l] = __builtin_fma(c2[l], m[l], a[l]);
            c3[l] = __builtin_fma(c3[l], m[l], a[l]);
            c4[l] = __builtin_fma(c4[l], m[l], a[l]);
            c5[l] = __builtin_fma(c5[l], m[l], a[l]);
            c6[l] = __builtin_fma(c6[l], m[l], a[l]);
            c7[l] = __builtin_fma(c7[l], m[l], a[l]);
            c8[l] = __builtin_fma(c8[l], m[l], a[l]);
            c9[l] = __builtin_fma(c9[l], m[l], a[l]);
        }
    }
    const generic4 t = (((c0 + c1) + (c2 + c3)) + ((c4 + c5) + (c6 + c7))) + (c8 + c9);
    *fmas = static_cast<double>(iters) * 10 * 4;
    return (t[0] + t[1]) + (t[2] + t[3]);
}

// Read bandwidth: the sum of a[0 .. n-1] with sixteen independent 4-lane (or
// wider) accumulators, so that the adds never set the pace; the caller has
// touched every page before.
extern "C" double roofline_read_sum(const double* a, long n) {
    typedef double v4 __attribute__((vector_size(32)));
    v4 s[16] = {};
    long i = 0;
    for (; i + 64 <= n; i += 64) {
#pragma GCC unroll 16
        for (int k = 0; k < 16; ++k) {
            v4 v;
            __builtin_memcpy(&v, a + i + 4 * k, sizeof v);
            s[k] += v;
        }
    }
    v4 t = {};
    for (int k = 0; k < 16; ++k) t += s[k];
    double r = (t[0] + t[1]) + (t[2] + t[3]);
    for (; i < n; ++i) r += a[i];
    return r;
}

#else  // the driver, built for the baseline target like the kernels

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <string>
#include <vector>

#include "diag.h"
#include "diag_wald.h"
#include "ksx_linalg.h"

extern "C" double roofline_fma_peak(long iters, double* flops, const char** isa);
extern "C" double roofline_fma_width(int bits, long iters, double* fmas, int* chains);
extern "C" double roofline_fma_latency(long iters, double* fmas);
extern "C" double roofline_fma_simple(long iters, double* fmas);
extern "C" double roofline_add_latency(long iters, double* ops);
extern "C" double roofline_div_latency(long iters, double* ops);
extern "C" double roofline_unit_peak(int what, long iters, double* ops);
extern "C" double roofline_read_sum(const double* a, long n);

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// The independent check of the bandwidth: sum of a[0 .. n-1] with eight
// independent two-lane accumulators, built for the baseline target.
typedef double v2d __attribute__((vector_size(16)));

inline v2d load2(const double* a) {
    v2d v;
    std::memcpy(&v, a, sizeof v);
    return v;
}

double read_sum(const double* a, size_t n) {
    v2d s0 = {}, s1 = {}, s2 = {}, s3 = {}, s4 = {}, s5 = {}, s6 = {}, s7 = {};
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 += load2(a + i);      s1 += load2(a + i + 2);
        s2 += load2(a + i + 4);  s3 += load2(a + i + 6);
        s4 += load2(a + i + 8);  s5 += load2(a + i + 10);
        s6 += load2(a + i + 12); s7 += load2(a + i + 14);
    }
    const v2d s = ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7));
    double t = s[0] + s[1];
    for (; i < n; ++i) t += a[i];
    return t;
}

volatile double g_sink = 0.0;

void fill(std::vector<double>& v, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (double& e : v) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        e = static_cast<double>(x >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    }
}

// Seconds to allocate a block of `len` doubles, write every element and free
// it; `huge`: the range advised for huge pages first, as NumPy does for
// large arrays on Linux.
double fresh_block_seconds(size_t len, bool huge) {
    const auto t0 = clock_type::now();
    double* block = static_cast<double*>(std::malloc(len * sizeof(double)));
    if (block == nullptr) return 1e30;
#if defined(MADV_HUGEPAGE)
    if (huge) {
        const uintptr_t begin = reinterpret_cast<uintptr_t>(block), page = 4096;
        const uintptr_t start = (begin + page - 1) & ~(page - 1);
        madvise(reinterpret_cast<void*>(start), len * sizeof(double) - (start - begin), MADV_HUGEPAGE);
    }
#else
    (void)huge;
#endif
    for (size_t i = 0; i < len; ++i) block[i] = static_cast<double>(i);
    __asm__ volatile("" : : "r"(block) : "memory");  // the stores are observable
    std::free(block);
    return seconds_since(t0);
}

struct Case {
    std::string kernel;
    long p;
    std::vector<double>* X;
    double flops, bytes;
    std::vector<double> t_kernel, t_read;
};


// ---------------------------------------------------------------------------
// Every kernel on n = 5, p = 2 inputs
// ---------------------------------------------------------------------------

struct Tiny {
    const char* name;
    int (*run)();
};

const f64 T_e[5] = {0.31, -1.24, 0.83, 1.52, -0.47};
const f64 T_X[10] = {0.2, -0.7, 1.1, 0.4, -0.9, 0.6, 0.5, 1.3, -1.6, 0.1};  // 5 x 2
const f64 T_Xc[10] = {1.0, -0.7, 1.0, 0.4, 1.0, 0.6, 1.0, 1.3, 1.0, 0.1};  // intercept + 1
const f64 T_S[4] = {2.0, 0.5, 0.5, 1.0};
const f64 T_m[2] = {0.22, 0.36};
const f64 T_zero[2] = {0.0, 0.0};
f64 t_r[10];  // centred T_X
f64 t_buf[64], t_buf2[64], t_buf3[64];

int tiny_bg() { f64 s; return ksx_bg_stat(T_e, T_X, 5, 2, 1, &s); }
int tiny_bp() { f64 a, b; return ksx_bp_aux(T_e, T_Xc, 5, 2, &a, &b); }
int tiny_chow() { f64 s; return ksx_chow_stat(T_e, T_Xc, 5, 2, 2, &s); }
int tiny_recres() { return ksx_recursive_residuals(T_e, T_Xc, 5, 2, t_buf); }
int tiny_cusum_series() { return ksx_cusum_series(T_e, T_Xc, 5, 2, t_buf); }
int tiny_cusum_stat() { f64 s; return ksx_cusum_stat(T_e, T_Xc, 5, 2, &s); }
int tiny_cusumsq() { i64 k; f64 s; return ksx_cusumsq_stat(T_e, T_Xc, 5, 2, &k, &s); }
int tiny_acorr() { return ksx_acorr(T_e, 5, 2, t_buf, t_buf2); }
int tiny_lb() { f64 s; return ksx_lb_stat(T_e, 5, 2, t_buf, t_buf2, &s); }
int tiny_jb() { f64 s; const int st = ksx_jb_stat(T_e, 5, &s); return st == -5 ? 0 : st; }  // n < 10
int tiny_hac() { ksx_hac_estimator_matmul(t_r, BARTLETT, 2, 5, 2, t_buf, t_buf2); return 0; }
int tiny_mean() { ksx_fill_mean_ax0(T_X, 5, 2, t_buf); return 0; }
int tiny_centered() { ksx_fill_centered_ax0(T_X, T_m, 5, 2, t_buf); return 0; }
int tiny_wald() { f64 s; return ksx_wald_stat_from_mean_and_cov(T_m, T_zero, T_S, 5, 2, t_buf, t_buf2, &s); }
int tiny_outer() { return ksx_symmetric_outer_prod_2dim(T_X, 5, 2, 3, t_buf3); }
int tiny_target() { return ksx_fill_symmetric_target_vec(T_S, 1e-8, 1e-8, 2, t_buf); }

const Tiny TINY[] = {
    {"bg_stat", tiny_bg},
    {"bp_aux", tiny_bp},
    {"chow_stat", tiny_chow},
    {"recursive_residuals", tiny_recres},
    {"cusum_series", tiny_cusum_series},
    {"cusum_stat", tiny_cusum_stat},
    {"cusumsq_stat", tiny_cusumsq},
    {"acorr", tiny_acorr},
    {"lb_stat", tiny_lb},
    {"jb_stat", tiny_jb},
    {"hac_estimator_matmul", tiny_hac},
    {"fill_mean_ax0", tiny_mean},
    {"fill_centered_ax0", tiny_centered},
    {"wald_stat_from_mean_and_cov", tiny_wald},
    {"symmetric_outer_prod_2dim", tiny_outer},
    {"fill_symmetric_target_vec", tiny_target},
};

std::vector<long> parse_list(const char* arg) {
    std::vector<long> v;
    const std::string s = arg;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t e = s.find(',', pos);
        if (e == std::string::npos) e = s.size();
        v.push_back(std::atol(s.substr(pos, e - pos).c_str()));
        pos = e + 1;
    }
    return v;
}

// Sizes an iteration count to about `target` seconds of fn(iters).
template <class F>
long size_iters(F fn, double target) {
    long iters = 1 << 16;
    for (;;) {
        auto t0 = clock_type::now();
        fn(iters);
        if (seconds_since(t0) > target || iters > (1L << 34)) return iters;
        iters *= 2;
    }
}

struct HacCase {
    long n, p, L;
    std::vector<double> r;
    double fmas;
    std::vector<double> t;
};

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const long big_mib = argc > 3 ? std::atol(argv[3]) : 1024;
    const std::vector<long> ps = parse_list(argc > 4 ? argv[4] : "10,30");
    const long lag = argc > 5 ? std::atol(argv[5]) : 1;
    const long tiny_iters = argc > 6 ? std::atol(argv[6]) : 0;
    const std::vector<long> hac_ns = argc > 7 ? parse_list(argv[7]) : std::vector<long>{};
    const std::vector<long> hac_lags = argc > 8 ? parse_list(argv[8]) : std::vector<long>{4, 24};

    // Peak FMA: size the iteration counts to about 50 ms once.
    const char* isa = "";
    double fl;
    const long iters = size_iters([&](long it) { g_sink = g_sink + roofline_fma_peak(it, &fl, &isa); }, 0.05);
    const int widths[] = {64, 128, 256, 512};
    std::vector<int> width_bits, width_chains;
    std::vector<long> width_iters;
    for (int bits : widths) {
        int chains = 0;
        double f = 0.0;
        roofline_fma_width(bits, 1, &f, &chains);
        if (chains == 0) continue;
        width_bits.push_back(bits);
        width_chains.push_back(chains);
        width_iters.push_back(size_iters(
            [&](long it) { g_sink = g_sink + roofline_fma_width(bits, it, &f, &chains); }, 0.05));
    }
    const long lat_iters = size_iters([&](long it) { g_sink = g_sink + roofline_fma_latency(it, &fl); }, 0.05);
    const long simple_iters = size_iters([&](long it) { g_sink = g_sink + roofline_fma_simple(it, &fl); }, 0.05);
    const long add_iters = size_iters([&](long it) { g_sink = g_sink + roofline_add_latency(it, &fl); }, 0.02);
    const long div_iters = size_iters([&](long it) { g_sink = g_sink + roofline_div_latency(it, &fl); }, 0.02);
    long unit_iters[3];
    for (int what = 1; what <= 3; ++what)
        unit_iters[what - 1] =
            size_iters([&](long it) { g_sink = g_sink + roofline_unit_peak(what, it, &fl); }, 0.02);

    // Read bandwidth by working-set size, from the first cache level to well
    // beyond the last: each array is summed repeatedly (about 64 MiB a round),
    // so the figure is the rate at which data of that footprint stays where it
    // is.  The kernels' bounds take the bandwidth of the smallest size at least
    // as large as their own footprint.
    const long ws_kib[] = {16, 64, 256, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
    std::vector<std::vector<double>> ws_arrays;
    for (long kib : ws_kib) {
        ws_arrays.emplace_back(static_cast<size_t>(kib) * 1024 / 8);
        fill(ws_arrays.back(), 3 + kib);
    }
    std::vector<std::vector<double>> t_ws(ws_arrays.size());
    // A block new to the process on every call (the allocator maps blocks
    // beyond its reuse limit afresh and unmaps them when freed): allocation,
    // the first touch of every page, the writes and the release.  Twice: as a
    // kernel's arena (plain pages) and as NumPy allocates a large array (the
    // range advised for huge pages).  The best round counts: the first touch
    // of memory the host has never backed is slower still, and repeated calls
    // do not see it.  Two blocks of each kind a round.
    const size_t fresh_len = static_cast<size_t>(64) * 1024 * 1024 / 8;
    std::vector<double> t_fresh, t_fresh_huge;

    // Every page of the big array is written (first touch) before any timing.
    std::vector<double> big(static_cast<size_t>(big_mib) * 1024 * 1024 / 8);
    fill(big, 7);

    std::vector<HacCase> hac;
    for (long hn : hac_ns)
        for (long p : ps)
            for (long L : hac_lags) {
                HacCase h{hn, p, L, std::vector<double>(static_cast<size_t>(hn) * p), 0.0, {}};
                fill(h.r, 101 + p);
                // Useful multiply-adds: the lower triangle of the lag-0 product,
                // p^2 per row of each lag product, and the p^2 of each lag's
                // symmetrised update.
                const long L_eff = std::min(L, hn - 1);
                double f = static_cast<double>(hn) * (p * (p + 1) / 2.0);
                for (long j = 1; j <= L_eff; ++j) f += static_cast<double>(hn - j + 1) * p * p;
                h.fmas = f;
                hac.push_back(std::move(h));
            }

    std::vector<std::vector<double>> mats(ps.size());
    std::vector<Case> cases;
    for (size_t k = 0; k < ps.size(); ++k) {
        const long p = ps[k];
        mats[k].resize(static_cast<size_t>(n) * p);
        fill(mats[k], 11 + p);
        const double np_ = static_cast<double>(n) * p;
        // ksx_gram: n p (p+1)/2 FMAs over the n p doubles of X.
        cases.push_back({"ksx_gram", p, &mats[k], 2.0 * n * (p * (p + 1) / 2.0), 8.0 * np_, {}, {}});
        // The HAC lag product: A = rows 0 .. n-lag-1, B = rows lag .. n-1 of
        // the same matrix.  B's rows are A's rows `lag` rows later, still in
        // L1, so memory traffic is one pass over X: (n - lag) p doubles.
        const double rows = static_cast<double>(n - lag);
        cases.push_back({"ksx_matmul_atb", p, &mats[k], 2.0 * rows * p * p, 8.0 * rows * p, {}, {}});
    }

    std::vector<double> t_peak, f_peak, t_big, t_big_simple, t_lat, t_simple, f_simple, t_add, t_div;
    std::vector<double> t_unit[3];  // seconds per operation: divisions, square roots, the two mixed
    std::vector<std::vector<double>> t_width(width_bits.size()), f_width(width_bits.size());
    std::vector<double> out(4096 * 4);
    for (int r = 0; r < rounds; ++r) {
        double fl;
        auto t0 = clock_type::now();
        g_sink = g_sink + roofline_fma_peak(iters, &fl, &isa);
        t_peak.push_back(seconds_since(t0));
        f_peak.push_back(fl);

        for (size_t w = 0; w < width_bits.size(); ++w) {
            int chains;
            t0 = clock_type::now();
            g_sink = g_sink + roofline_fma_width(width_bits[w], width_iters[w], &fl, &chains);
            t_width[w].push_back(seconds_since(t0));
            f_width[w].push_back(fl);
        }
        t0 = clock_type::now();
        g_sink = g_sink + roofline_fma_latency(lat_iters, &fl);
        t_lat.push_back(seconds_since(t0) / fl);
        t0 = clock_type::now();
        g_sink = g_sink + roofline_add_latency(add_iters, &fl);
        t_add.push_back(seconds_since(t0) / fl);
        t0 = clock_type::now();
        g_sink = g_sink + roofline_div_latency(div_iters, &fl);
        t_div.push_back(seconds_since(t0) / fl);
        for (int what = 1; what <= 3; ++what) {
            t0 = clock_type::now();
            g_sink = g_sink + roofline_unit_peak(what, unit_iters[what - 1], &fl);
            t_unit[what - 1].push_back(seconds_since(t0) / fl);
        }
        for (size_t w = 0; w < ws_arrays.size(); ++w) {
            const std::vector<double>& a = ws_arrays[w];
            const long sweeps = std::max<long>(2, (64L << 20) / static_cast<long>(8 * a.size()));
            g_sink = g_sink + roofline_read_sum(a.data(), static_cast<long>(a.size()));  // into place
            t0 = clock_type::now();
            for (long k = 0; k < sweeps; ++k) g_sink = g_sink + roofline_read_sum(a.data(), static_cast<long>(a.size()));
            t_ws[w].push_back(seconds_since(t0) / (static_cast<double>(sweeps) * 8.0 * a.size()));
        }
        for (int k = 0; k < 2; ++k) {
            t_fresh.push_back(fresh_block_seconds(fresh_len, false));
            t_fresh_huge.push_back(fresh_block_seconds(fresh_len, true));
        }
        t0 = clock_type::now();
        g_sink = g_sink + roofline_fma_simple(simple_iters, &fl);
        t_simple.push_back(seconds_since(t0));
        f_simple.push_back(fl);

        t0 = clock_type::now();
        g_sink = g_sink + roofline_read_sum(big.data(), static_cast<long>(big.size()));
        t_big.push_back(seconds_since(t0));
        t0 = clock_type::now();
        g_sink = g_sink + read_sum(big.data(), big.size());
        t_big_simple.push_back(seconds_since(t0));

        for (HacCase& h : hac) {
            std::vector<double> gamma(static_cast<size_t>(h.p) * h.p), omega(gamma.size());
            // Once untimed, so that the timed call finds r where the previous
            // one left it (in cache when it fits) rather than where the
            // bandwidth probe's sweep left it.
            ksx_hac_estimator_matmul(h.r.data(), BARTLETT, h.L, h.n, h.p, gamma.data(), omega.data());
            t0 = clock_type::now();
            ksx_hac_estimator_matmul(h.r.data(), BARTLETT, h.L, h.n, h.p, gamma.data(), omega.data());
            h.t.push_back(seconds_since(t0));
            g_sink = g_sink + omega[0];
        }

        for (Case& c : cases) {
            const double* X = c.X->data();
            // The kernel's own input, streamed by the read probe first and then
            // by the kernel: both meet the same cache state.
            t0 = clock_type::now();
            g_sink = g_sink + read_sum(X, c.X->size());
            c.t_read.push_back(seconds_since(t0));

            t0 = clock_type::now();
            if (c.kernel == "ksx_gram")
                ksx_gram(X, out.data(), n, c.p);
            else
                ksx_matmul_atb(X, X + lag * c.p, out.data(), n - lag, c.p, c.p);
            c.t_kernel.push_back(seconds_since(t0));
            g_sink = g_sink + out[0];
        }
    }

    // Tiny kernels: rounds of `tiny_iters` calls each, kernels interleaved.
    constexpr size_t n_tiny = sizeof TINY / sizeof TINY[0];
    std::vector<std::vector<double>> t_tiny(n_tiny);
    std::vector<int> st_tiny(n_tiny, 0);
    if (tiny_iters > 0) {
        for (int i = 0; i < 10; ++i) t_r[i] = T_X[i] - T_m[i % 2];
        for (int r = 0; r < 9; ++r) {
            for (size_t k = 0; k < n_tiny; ++k) {
                auto t0 = clock_type::now();
                int st = 0;
                for (long i = 0; i < tiny_iters; ++i) st |= TINY[k].run();
                t_tiny[k].push_back(seconds_since(t0) / tiny_iters);
                st_tiny[k] |= st;
            }
        }
    }

    std::printf("{\"isa\": \"%s\", \"rounds\": %d, \"n\": %ld, \"lag\": %ld,\n", isa, rounds, n, lag);
    std::printf(" \"fma_peak_gflops\": %.6g,\n", f_peak[0] / median(t_peak) * 1e-9);
    const double peak_fmas = f_peak[0] / 2.0 / median(t_peak);
    std::printf(" \"fma_peak_gfmas\": %.6g,\n", peak_fmas * 1e-9);
    std::printf(" \"fma_widths\": [");
    for (size_t w = 0; w < width_bits.size(); ++w)
        std::printf("%s{\"bits\": %d, \"chains\": %d, \"gfmas\": %.6g}", w ? ", " : "", width_bits[w],
                    width_chains[w], f_width[w][0] / median(t_width[w]) * 1e-9);
    std::printf("],\n");
    const double lat = median(t_lat);
    std::printf(" \"fma_latency_ns\": %.6g, \"fmas_in_flight_for_peak\": %.6g,\n", lat * 1e9,
                lat * peak_fmas);
    std::printf(" \"fma_simple_loop_gfmas\": %.6g,\n", f_simple[0] / median(t_simple) * 1e-9);
    std::printf(" \"div_peak_gops\": %.6g, \"sqrt_peak_gops\": %.6g, \"div_sqrt_peak_gops\": %.6g,\n",
                1e-9 / median(t_unit[0]), 1e-9 / median(t_unit[1]), 1e-9 / median(t_unit[2]));
    std::printf(" \"add_latency_ns\": %.6g, \"div_latency_ns\": %.6g,\n", median(t_add) * 1e9,
                median(t_div) * 1e9);
    std::printf(" \"fresh_write_gbs\": %.6g, \"fresh_write_huge_gbs\": %.6g, \"fresh_bytes\": %.17g,\n",
                8.0 * fresh_len / *std::min_element(t_fresh.begin(), t_fresh.end()) * 1e-9,
                8.0 * fresh_len / *std::min_element(t_fresh_huge.begin(), t_fresh_huge.end()) * 1e-9,
                8.0 * fresh_len);
    std::printf(" \"read_bw_by_size\": [");
    for (size_t w = 0; w < ws_arrays.size(); ++w)
        std::printf("%s{\"bytes\": %.17g, \"gbs\": %.6g}", w ? ", " : "", 8.0 * ws_arrays[w].size(),
                    1e-9 / median(t_ws[w]));
    std::printf("],\n");
    std::printf(" \"read_bw_big_gbs\": %.6g, \"read_bw_big_simple_loop_gbs\": %.6g, \"big_bytes\": %.6g,\n",
                8.0 * big.size() / median(t_big) * 1e-9, 8.0 * big.size() / median(t_big_simple) * 1e-9,
                8.0 * big.size());
    std::printf(" \"hac\": [");
    for (size_t k = 0; k < hac.size(); ++k) {
        const HacCase& h = hac[k];
        const double g = h.fmas / median(h.t);
        std::printf("%s{\"n\": %ld, \"p\": %ld, \"L\": %ld, \"fmas\": %.17g, \"seconds\": %.9g, "
                    "\"gfmas\": %.6g, \"fraction_of_peak\": %.4f}",
                    k ? ",\n  " : "\n  ", h.n, h.p, h.L, h.fmas, median(h.t), g * 1e-9, g / peak_fmas);
    }
    std::printf("],\n");
    std::printf(" \"cases\": [\n");
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        std::printf("  {\"kernel\": \"%s\", \"p\": %ld, \"flops\": %.17g, \"bytes\": %.17g, "
                    "\"seconds\": %.9g, \"read_seconds\": %.9g, \"read_bytes\": %.17g}%s\n",
                    c.kernel.c_str(), c.p, c.flops, c.bytes, median(c.t_kernel), median(c.t_read),
                    8.0 * c.X->size(), k + 1 < cases.size() ? "," : "");
    }
    std::printf(" ],\n \"tiny\": [");
    for (size_t k = 0; tiny_iters > 0 && k < n_tiny; ++k)
        std::printf("%s{\"function\": \"%s\", \"seconds\": %.6g, \"status\": %d}", k ? ",\n  " : "\n  ",
                    TINY[k].name, median(t_tiny[k]), st_tiny[k]);
    std::printf("]}\n");
    return 0;
}

#endif
