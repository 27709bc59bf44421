// Long-run covariances and the Wald statistic of the engine, one problem at
// a time (the lanes of a lane run call them lane by lane).  Private.
//
// Long-run covariance.  Ω = (Γ_0 + Σ_j w_j (Γ_j + Γ_j')) / n of centred
// moments r (n x p).  Bartlett and Parzen weigh the lags 1 .. L and vanish
// beyond: the kernel ksx_hac_estimator_matmul computes them.  The
// quadratic-spectral window weighs every lag 1 .. n-1 with k(j/(L+1)) (cut
// off at L it would not be positive semi-definite), and the double sum
// r'·W·r with the Toeplitz W[s, t] = w_|s-t| is formed by circular
// convolution: W·r_b is the convolution of column b with the weights,
// computed by a radix-2 FFT of length N >= 2n - 1 (no lag wraps around),
// O(p·N log N + n·p²) in place of O(n²·p²).  The FFT's operations run in a
// fixed order with twiddles from std::cos and std::sin, so its bits are
// those of every machine.
//
// Wald statistic b'·V⁻¹·b, V symmetric positive semi-definite, through the
// equilibrated matrix C = D V D, D = diag(V)^(-1/2): C has a unit diagonal,
// and its Cholesky factor with symmetric pivoting (the largest remaining
// diagonal first) decides the rank against 16·q·eps; the statistic is
// |L⁻¹ P' D b|² over the leading rank block.  Equilibrating first makes the
// rank decision and the accuracy independent of the units of the
// coefficients (a year beside a constant).  The tolerance is the noise of a
// remaining diagonal: each entry of C carries a few roundings (V's own and
// the scaling's, about 4·eps), which move a Schur complement diagonal by up
// to about 2·q·4·eps, and the factorisation adds about q·eps more; a pivot
// within twice that of zero is a direction V does not resolve.
#ifndef KSX_LONGRUN_HPP
#define KSX_LONGRUN_HPP

#include "../_common/ksx_common.h"

namespace ksx {
namespace battery {

// Scratch, in f64, that long_run needs for n rows and p columns of a window.
i64 long_run_scratch(i64 n, i64 p, i64 kernel_id);

// out (p x p) = the long-run covariance of the centred moments r (n x p)
// with lag window kernel_id and bandwidth L (already at most n - 1);
// scratch holds long_run_scratch(n, p, kernel_id) values.
void long_run(const f64* r, i64 n, i64 p, i64 kernel_id, i64 L, f64* out, f64* scratch);

// Scratch, in f64, for wald_statistic on q coefficients.
inline i64 wald_scratch(i64 q) { return q * q + 3 * q; }

// b'·V⁻¹·b by the equilibrated, pivoted Cholesky factor of V (q x q, read
// from its lower triangle).  Returns the rank; a zero diagonal entry (a
// coefficient without variance) counts as a direction outside the rank.
// Returns -1 when V is not positive semi-definite (a negative diagonal
// entry, or one of the Schur complement left below -16 times the rank
// tolerance); *stat is
// NaN when V has a non-finite diagonal.
i64 wald_statistic(const f64* b, const f64* V, i64 q, f64* stat, f64* scratch);

}  // namespace battery
}  // namespace ksx

#endif  // KSX_LONGRUN_HPP
