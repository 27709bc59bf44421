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
// Usage: roofline [n] [rounds] [big_mib] [p,p,...] [lag] [tiny_iters]

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(ROOFLINE_PEAK_ONLY)

#if defined(__AVX512F__) || defined(__FMA__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// Runs `iters` steps of `CHAINS` independent vector FMA chains; returns a
// value that depends on every chain (so nothing is optimised away) and sets
// *flops to the floating-point operations performed (2 per lane per FMA).
extern "C" double roofline_fma_peak(long iters, double* flops, const char** isa) {
#if defined(__AVX512F__)
    constexpr int CHAINS = 16, LANES = 8;
    *isa = "avx512 fma";
    __m512d acc[CHAINS];
    for (int c = 0; c < CHAINS; ++c) acc[c] = _mm512_set1_pd(1.0 + 1e-3 * c);
    const __m512d m = _mm512_set1_pd(0.999999), a = _mm512_set1_pd(1e-6);
    for (long i = 0; i < iters; ++i)
#pragma GCC unroll 16
        for (int c = 0; c < CHAINS; ++c) acc[c] = _mm512_fmadd_pd(acc[c], m, a);
    double s = 0.0;
    for (int c = 0; c < CHAINS; ++c) s += _mm512_reduce_add_pd(acc[c]);
#elif defined(__FMA__)
    constexpr int CHAINS = 12, LANES = 4;
    *isa = "avx2 fma";
    __m256d acc[CHAINS];
    for (int c = 0; c < CHAINS; ++c) acc[c] = _mm256_set1_pd(1.0 + 1e-3 * c);
    const __m256d m = _mm256_set1_pd(0.999999), a = _mm256_set1_pd(1e-6);
    for (long i = 0; i < iters; ++i)
#pragma GCC unroll 16
        for (int c = 0; c < CHAINS; ++c) acc[c] = _mm256_fmadd_pd(acc[c], m, a);
    double s = 0.0, lane[LANES];
    for (int c = 0; c < CHAINS; ++c) {
        _mm256_storeu_pd(lane, acc[c]);
        for (int l = 0; l < LANES; ++l) s += lane[l];
    }
#elif defined(__aarch64__)
    constexpr int CHAINS = 16, LANES = 2;
    *isa = "neon fma";
    float64x2_t acc[CHAINS];
    for (int c = 0; c < CHAINS; ++c) acc[c] = vdupq_n_f64(1.0 + 1e-3 * c);
    const float64x2_t m = vdupq_n_f64(0.999999), a = vdupq_n_f64(1e-6);
    for (long i = 0; i < iters; ++i)
#pragma GCC unroll 16
        for (int c = 0; c < CHAINS; ++c) acc[c] = vfmaq_f64(a, acc[c], m);
    double s = 0.0;
    for (int c = 0; c < CHAINS; ++c) s += vaddvq_f64(acc[c]);
#else
    constexpr int CHAINS = 8, LANES = 1;
    *isa = "scalar fma";
    double acc[CHAINS];
    for (int c = 0; c < CHAINS; ++c) acc[c] = 1.0 + 1e-3 * c;
    for (long i = 0; i < iters; ++i)
#pragma GCC unroll 16
        for (int c = 0; c < CHAINS; ++c) acc[c] = std::fma(acc[c], 0.999999, 1e-6);
    double s = 0.0;
    for (int c = 0; c < CHAINS; ++c) s += acc[c];
#endif
    *flops = 2.0 * static_cast<double>(iters) * CHAINS * LANES;
    return s;
}

#else  // the driver, built for the baseline target like the kernels

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag.h"
#include "diag_wald.h"
#include "ksx_linalg.h"

extern "C" double roofline_fma_peak(long iters, double* flops, const char** isa);

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

// Sum of a[0 .. n-1] with eight independent two-lane accumulators: enough
// independent adds that the loads, not the adds, set the pace.
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

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const long big_mib = argc > 3 ? std::atol(argv[3]) : 1024;
    std::vector<long> ps;
    {
        std::string s = argc > 4 ? argv[4] : "10,30";
        size_t pos = 0;
        while (pos < s.size()) {
            size_t e = s.find(',', pos);
            if (e == std::string::npos) e = s.size();
            ps.push_back(std::atol(s.substr(pos, e - pos).c_str()));
            pos = e + 1;
        }
    }
    const long lag = argc > 5 ? std::atol(argv[5]) : 1;
    const long tiny_iters = argc > 6 ? std::atol(argv[6]) : 0;

    // Peak FMA: size the iteration count to about 50 ms once.
    long iters = 1 << 20;
    const char* isa = "";
    for (;;) {
        double fl;
        auto t0 = clock_type::now();
        g_sink = g_sink + roofline_fma_peak(iters, &fl, &isa);
        if (seconds_since(t0) > 0.05 || iters > (1L << 34)) break;
        iters *= 2;
    }

    std::vector<double> big(static_cast<size_t>(big_mib) * 1024 * 1024 / 8);
    fill(big, 7);

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

    std::vector<double> t_peak, f_peak, t_big;
    std::vector<double> out(4096 * 4);
    for (int r = 0; r < rounds; ++r) {
        double fl;
        auto t0 = clock_type::now();
        g_sink = g_sink + roofline_fma_peak(iters, &fl, &isa);
        t_peak.push_back(seconds_since(t0));
        f_peak.push_back(fl);

        t0 = clock_type::now();
        g_sink = g_sink + read_sum(big.data(), big.size());
        t_big.push_back(seconds_since(t0));

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
    std::printf(" \"read_bw_big_gbs\": %.6g, \"big_bytes\": %.6g,\n",
                8.0 * big.size() / median(t_big) * 1e-9, 8.0 * big.size());
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
