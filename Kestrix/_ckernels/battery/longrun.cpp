// Long-run covariances (the quadratic-spectral window by FFT) and the
// equilibrated Wald statistic; see longrun.hpp.
#include "longrun.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "../diag/diag_wald.h"

namespace ksx {
namespace battery {

namespace {

constexpr f64 kPi = 3.14159265358979323846;

// The FFT length for n rows: the least power of two >= 2n - 1 (at least 2).
i64 fft_length(i64 n) {
    i64 N = 2;
    while (N < 2 * n - 1) N *= 2;
    return N;
}

// In-place radix-2 FFT of N complex values (re, im interleaved), decimation
// in time after a bit-reversal permutation; sign -1 forward, +1 inverse
// (unscaled).  tw holds N/2 twiddles (cos, sin) of 2πk/N.
void fft(f64* a, i64 N, const f64* tw, int sign) {
    for (i64 i = 1, j = 0; i < N; ++i) {
        i64 bit = N >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(a[2 * i], a[2 * j]);
            std::swap(a[2 * i + 1], a[2 * j + 1]);
        }
    }
    for (i64 len = 2; len <= N; len *= 2) {
        const i64 half = len / 2;
        const i64 step = N / len;
        for (i64 start = 0; start < N; start += len) {
            for (i64 k = 0; k < half; ++k) {
                const f64 c = tw[2 * k * step];
                const f64 s = sign * tw[2 * k * step + 1];
                f64* u = a + 2 * (start + k);
                f64* v = a + 2 * (start + k + half);
                // t = v·(c + i s): real c·vr - s·vi, imaginary c·vi + s·vr, each one fma over a rounded product.
                const f64 tr = std::fma(c, v[0], -(s * v[1]));
                const f64 ti = std::fma(c, v[1], s * v[0]);
                v[0] = u[0] - tr;
                v[1] = u[1] - ti;
                u[0] = u[0] + tr;
                u[1] = u[1] + ti;
            }
        }
    }
}

}  // namespace

i64 long_run_scratch(i64 n, i64 p, i64 kernel_id) {
    if (kernel_id != QS) return p * p;
    const i64 N = fft_length(n);
    // twiddles N, the weights' spectrum 2N, one column 2N, W·r_b for every b: n·p
    return N + 2 * N + 2 * N + n * p;
}

void long_run(const f64* r, i64 n, i64 p, i64 kernel_id, i64 L, f64* out, f64* scratch) {
    if (kernel_id != QS) {
        ksx_hac_estimator_matmul(const_cast<f64*>(r), static_cast<KernelID>(kernel_id), L, n, p, scratch, out);
        return;
    }
    const i64 N = fft_length(n);
    f64* tw = scratch;
    f64* spectrum = tw + N;
    f64* column = spectrum + 2 * N;
    f64* weighted = column + 2 * N;  // n x p: (W r)[t][b]
    for (i64 k = 0; k < N / 2; ++k) {
        const f64 angle = (2.0 * kPi * static_cast<f64>(k)) / static_cast<f64>(N);
        tw[2 * k] = std::cos(angle);
        tw[2 * k + 1] = std::sin(angle);
    }
    // The weights as a circular sequence: w_0 = 1 at 0, w_j at j and N - j.
    std::memset(spectrum, 0, sizeof(f64) * 2 * N);
    spectrum[0] = 1.0;
    for (i64 j = 1; j < n; ++j) {
        const f64 w = kernel_weight(j, L, QS);
        spectrum[2 * j] = w;
        spectrum[2 * (N - j)] = w;
    }
    fft(spectrum, N, tw, -1);
    const f64 scale = 1.0 / static_cast<f64>(N);
    for (i64 b = 0; b < p; ++b) {
        std::memset(column, 0, sizeof(f64) * 2 * N);
        for (i64 t = 0; t < n; ++t) column[2 * t] = r[t * p + b];
        fft(column, N, tw, -1);
        // The weights' sequence is real and symmetric: its spectrum is real up to rounding; the product
        // uses the computed complex values as they are.
        for (i64 k = 0; k < N; ++k) {
            const f64 ar = column[2 * k], ai = column[2 * k + 1];
            const f64 br = spectrum[2 * k], bi = spectrum[2 * k + 1];
            column[2 * k] = std::fma(ar, br, -(ai * bi));
            column[2 * k + 1] = std::fma(ar, bi, ai * br);
        }
        fft(column, N, tw, +1);
        for (i64 t = 0; t < n; ++t) weighted[t * p + b] = column[2 * t] * scale;
    }
    const f64 nf = static_cast<f64>(n);
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = 0; b < p; ++b) {
            f64 s = 0.0;
            for (i64 t = 0; t < n; ++t) s = std::fma(r[t * p + a], weighted[t * p + b], s);
            out[a * p + b] = s / nf;
        }
    }
    // Exactly symmetric: the mean of the two triangles.
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = 0; b < a; ++b) {
            const f64 m = 0.5 * (out[a * p + b] + out[b * p + a]);
            out[a * p + b] = m;
            out[b * p + a] = m;
        }
    }
}

i64 wald_statistic(const f64* b, const f64* V, i64 q, f64* stat, f64* scratch) {
    f64* C = scratch;          // q x q, the equilibrated matrix, factored in place (lower)
    f64* x = C + q * q;        // D b, permuted
    f64* d = x + q;            // diag(V)^(-1/2)
    f64* perm = d + q;         // the pivot order, as f64 indices
    for (i64 i = 0; i < q; ++i) {
        const f64 v = V[i * q + i];
        if (!std::isfinite(v)) {
            *stat = std::numeric_limits<f64>::quiet_NaN();
            return 0;
        }
        if (v < 0.0) return -1;
        d[i] = v > 0.0 ? 1.0 / std::sqrt(v) : 0.0;
    }
    for (i64 i = 0; i < q; ++i) {
        perm[i] = static_cast<f64>(i);
        x[i] = d[i] * b[i];
        for (i64 j = 0; j <= i; ++j) C[i * q + j] = (d[i] * V[i * q + j]) * d[j];
    }
    // Cholesky with symmetric pivoting on the lower triangle: at step k the largest remaining diagonal
    // (the first of equals) is moved to k; the factor stops when it is at most 16·q·eps (of a unit
    // diagonal): below that a remaining diagonal is the roundings of C's entries and of the factor.
    const f64 tol = 16.0 * static_cast<f64>(q) * DBL_EPSILON;
    auto at = [&](i64 i, i64 j) -> f64& { return i >= j ? C[i * q + j] : C[j * q + i]; };
    i64 rank = 0;
    for (i64 k = 0; k < q; ++k) {
        i64 best = k;
        for (i64 i = k + 1; i < q; ++i)
            if (at(i, i) > at(best, best)) best = i;
        if (!(at(best, best) > tol)) {
            // What is left must be positive semi-definite: no diagonal entry of the remaining Schur
            // complement clearly below zero.
            for (i64 i = k; i < q; ++i)
                if (at(i, i) < -16.0 * tol) return -1;
            break;
        }
        if (best != k) {
            for (i64 j = 0; j < q; ++j) {
                if (j == k || j == best) continue;
                std::swap(at(k, j), at(best, j));
            }
            std::swap(at(k, k), at(best, best));
            std::swap(x[k], x[best]);
            std::swap(perm[k], perm[best]);
        }
        const f64 pivot = std::sqrt(at(k, k));
        at(k, k) = pivot;
        for (i64 i = k + 1; i < q; ++i) at(i, k) = at(i, k) / pivot;
        for (i64 j = k + 1; j < q; ++j)
            for (i64 i = j; i < q; ++i) at(i, j) = std::fma(-at(i, k), at(j, k), at(i, j));
        ++rank;
    }
    // z = L⁻¹ x over the leading rank block, by forward substitution; the statistic is |z|².
    f64 s = 0.0;
    for (i64 i = 0; i < rank; ++i) {
        f64 v = x[i];
        for (i64 j = 0; j < i; ++j) v = std::fma(-at(i, j), x[j], v);
        x[i] = v / at(i, i);
        s = std::fma(x[i], x[i], s);
    }
    *stat = s;
    return rank;
}

}  // namespace battery
}  // namespace ksx
