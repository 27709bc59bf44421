// The battery of one group, or of several same-sized groups side by side in
// vector lanes (ksx_lanes.hpp).  Private to the engine.
//
// Units.  Every column of X (and of Z), and y, is first divided by the power
// of two that brings its largest absolute value into [0.5, 1).  The division
// is exact, every statistic is invariant to these scales, and the fit's
// coefficients, residuals and sums of squares are scaled back exactly at the
// end; inside, nothing overflows and every rank decision sees the columns in
// comparable units.
//
// Branches.  On f64 every decision takes its branch.  In a lane run a branch
// is taken when it is taken in every lane; where lanes differ, the common
// branch is taken and the lanes that would have left it are recorded
// (Track): their groups run again on f64.  A lane that stayed on the common
// branch performed exactly the operations of its f64 run, so its results are
// the same bits.  Decisions that depend on the sizes only are the same in
// every lane.
//
// The series statistics (Ljung-Box, Box-Pierce, Jarque-Bera, Durbin-Watson)
// and the HAC Wald test run lane by lane on f64 (kernels of the diagnostic
// library; longrun.hpp), on the residuals taken out of the lanes.
#ifndef KSX_BATTERY_IMPL_HPP
#define KSX_BATTERY_IMPL_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "../_common/ksx_qr.hpp"
#include "../diag/diag.h"
#include "../diag/diag_wald.h"
#include "ksx_battery.h"
#include "longrun.hpp"
#include "sink.hpp"

namespace ksx {
namespace battery {
inline namespace KSX_ISA {

using lanes::decide;
using lanes::Mask;
using lanes::Track;
using lanes::uniform;
using qr::Factor;

template <class V>
class Run {
public:
    static constexpr int W = lanes::width<V>;

    Sink sink[W];
    Track<V> track;

    Run(const Shape& shape, const ksx_battery_options& options, f64* scratch) : s_(shape), o_(options) {
        const i64 n = s_.n, p = s_.p, q = s_.q, a = s_.aux;
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(scratch);
        V* v = reinterpret_cast<V*>((at + 63) & ~static_cast<std::uintptr_t>(63));
        auto vec = [&](i64 count) {
            V* out = v;
            v += count;
            return out;
        };
        X_ = vec(n * p);
        F_ = vec(n * (p + 2));
        Z_ = vec(n * q);
        y_ = vec(n);
        c_ = vec(n);
        e_ = vec(n);
        work_ = vec(n + 1);  // n + 1: sup-F's sums of squares for every break 0 .. n
        work2_ = vec(n + 1);
        w_ = vec(n);
        wb_ = vec(n);
        B_ = vec(n * a);
        R_ = vec(p * p);
        rinv_ = vec(p * p);
        gam_ = vec(p * p);
        u_ = vec(p);
        xrow_ = vec(p);
        zv_ = vec(p);
        xs_ = vec(p);
        xnorm_ = vec(p);
        coef_ = vec(p);
        tau_fit_ = vec(p);
        rinv_diag_ = vec(p);
        zs_ = vec(std::max<i64>(q, 1));
        norm_ = vec(a);
        tau_aux_ = vec(a);
        aux_norm_ = vec(a);
        colsq_ = vec(p);
        inv_ = vec(p);
        f64* f = reinterpret_cast<f64*>(v);
        auto dbl = [&](i64 count) {
            f64* out = f;
            f += count;
            return out;
        };
        scores_ = dbl(n * p);
        lane_e_ = dbl(n);
        lane_z_ = dbl(n);
        lane_s_ = dbl(n);
        rho_ = dbl(s_.lags + 1);
        lr_ = dbl(s_.lr);
        sq_ = dbl(p * p);
        sq2_ = dbl(p * p);
        sq3_ = dbl(p * p);
        wald_ = dbl(wald_scratch(p));
        small_ = dbl(4 * p);
        i64* idx = reinterpret_cast<i64*>(f);
        taken_fit_ = idx;
        taken_aux_ = idx + p;
        levels_ = idx + p + a;
        unsigned char* bytes = reinterpret_cast<unsigned char*>(idx + 2 * p + a);
        dep_fit_ = bytes;
        const_col_ = bytes + p;
        dep_aux_ = bytes + 2 * p;
        zconst_ = bytes + 2 * p + a;
    }

    // Lane l of a group's data: y (n), X (n x p), Z (n x q) or null.
    // Every lane at once from its own y (n) and X (n x p), a whole vector written per element; returns the
    // lanes that hold a missing or infinite value (bit l for lane l).
    unsigned load_all(const f64* const* y, const f64* const* X) {
        const i64 n = s_.n, p = s_.p;
        gather_lanes(y, y_, n, 1);
        gather_lanes(X, X_, n * p, 1);
        return unclean_lanes();
    }

    // load_all with X as columns: lane l's element (i, j) at cols[j][at[l] + i], a null column all ones.
    unsigned load_all_columns(const f64* const* y, const f64* const* cols, const i64* at) {
        const i64 n = s_.n, p = s_.p;
        gather_lanes(y, y_, n, 1);
        for (i64 j = 0; j < p; ++j) {
            if (!cols[j]) {
                for (i64 i = 0; i < n; ++i) X_[i * p + j] = num(1.0);
                continue;
            }
            const f64* column[W];
            for (int l = 0; l < W; ++l) column[l] = cols[j] + at[l];
            gather_lanes(column, X_ + j, n, p);
        }
        return unclean_lanes();
    }

    // to[k·stride] = the vector of from[l][k] over the lanes l, k = 0 .. count-1: W elements of every lane
    // at a time, loaded whole and transposed in registers, the rest one by one.
    static void gather_lanes(const f64* const* from, V* to, i64 count, i64 stride) {
        i64 k = 0;
        if constexpr (W == 4 || W == 8) {
            for (; k + W <= count; k += W) {
                V r[W];
                for (int l = 0; l < W; ++l) std::memcpy(&r[l], from[l] + k, sizeof(V));
                lanes::transpose(r);
                for (int i = 0; i < W; ++i) to[(k + i) * stride] = r[i];
            }
        }
        for (; k < count; ++k) {
            V v;
            for (int l = 0; l < W; ++l) lanes::set_lane(v, l, from[l][k]);
            to[k * stride] = v;
        }
    }

    // The lanes whose y or X holds a missing or infinite value (x - x is 0 exactly for every finite x and
    // NaN otherwise), after the outputs of every lane are cleared.
    unsigned unclean_lanes() {
        const i64 n = s_.n, p = s_.p;
        Mask<V> bad = uniform<V>(false);
        for (i64 k = 0; k < n; ++k) bad = bad | !(y_[k] - y_[k] == zero());
        for (i64 k = 0; k < n * p; ++k) bad = bad | !(X_[k] - X_[k] == zero());
        unsigned unclean = 0;
        for (int l = 0; l < W; ++l) {
            clear(l);
            if (lanes::mask_lane<V>(bad, l)) unclean |= 1u << l;
        }
        return unclean;
    }

    // Returns whether every value was finite (the one pass over the group's data).
    bool load(int l, const f64* y, const f64* X, const f64* Z) {
        const i64 n = s_.n, p = s_.p, q = s_.q;
        // Element i of lane l sits at i*W + l of the vectors seen as doubles.
        f64* yd = reinterpret_cast<f64*>(y_) + l;
        f64* Xd = reinterpret_cast<f64*>(X_) + l;
        f64* Zd = reinterpret_cast<f64*>(Z_) + l;
        uint64_t inf = 0;
        const auto copy = [&inf](const f64* from, f64* to, i64 count) {
            constexpr uint64_t kExponent = 0x7ff0000000000000ULL;
            for (i64 k = 0; k < count; ++k) {
                uint64_t bits;
                std::memcpy(&bits, from + k, sizeof bits);
                inf |= static_cast<uint64_t>((bits & kExponent) == kExponent);
                to[k * W] = from[k];
            }
        };
        copy(y, yd, n);
        copy(X, Xd, n * p);
        copy(Z, Zd, n * q);
        clear(l);
        return inf == 0;
    }

    // The whole battery of the loaded lanes.
    void run() {
        scale_inputs();
        fit();
        if (!fit_ok_) return;
        if (wants(KSX_T_BREUSCH_GODFREY) || wants(KSX_T_BREUSCH_GODFREY_F)) breusch_godfrey();
        if (wants(KSX_T_BREUSCH_PAGAN) || wants(KSX_T_BREUSCH_PAGAN_STUDENT)) breusch_pagan();
        if (wants(KSX_T_CHOW)) chow();
        if (wants(KSX_T_RECURSIVE_T) || wants(KSX_T_CUSUM) || wants(KSX_T_CUSUMSQ) || wants(KSX_T_SUP_F) ||
            sink[0].recursive)
            recursion();
        if (wants(KSX_T_WHITE)) white();
        if (wants(KSX_T_ARCH)) arch();
        if (wants(KSX_T_RESET)) reset();
        if (wants(KSX_T_SUP_F)) sup_f();
        lane_by_lane();
    }

private:
    const Shape& s_;
    const ksx_battery_options& o_;

    V *gam_, *X_, *F_, *Z_, *y_, *c_, *e_, *work_, *work2_, *w_, *wb_, *B_, *R_, *rinv_, *u_, *xrow_, *zv_, *xs_, *xnorm_,
        *coef_, *tau_fit_, *rinv_diag_, *zs_, *norm_, *tau_aux_, *aux_norm_, *colsq_, *inv_;
    f64 *scores_, *lane_e_, *lane_z_, *lane_s_, *rho_, *lr_, *sq_, *sq2_, *sq3_, *wald_, *small_;
    i64 *taken_fit_, *taken_aux_, *levels_;
    unsigned char *dep_fit_, *const_col_, *dep_aux_, *zconst_;

    V ys_ = lanes::splat<V>(1.0);
    Factor<V> fit_;
    V rss_ = lanes::splat<V>(0.0);
    V ynorm_ = lanes::splat<V>(0.0);
    Mask<V> spans_ = uniform<V>(false);
    bool fit_ok_ = true;
    bool omega_ready_ = false;  // the long-run covariance of every lane sits in R_
    bool series_ready_ = false;  // series_lanes wrote the series statistics of every lane
    i64 start_ = -1;    // first row with a forward recursive residual; -1: none
    i64 start_b_ = -1;  // first row (from the end) with a backward one; -1: none
    V rss0_ = lanes::splat<V>(0.0);   // residual sum of squares of the rows before start_
    V rss0b_ = lanes::splat<V>(0.0);  // ... of the rows after the last backward residual

    bool wants(int t) const { return (o_.tests >> t) & 1u; }

    void clear(int l) {
        const Sink& k = sink[l];
        for (int t = 0; t < KSX_T_COUNT; ++t) {
            k.set(t, KSX_S_NOT_RUN);
            k.flags[t] = 0;
            for (int m = 0; m < KSX_INFO_WORDS; ++m) k.words(t)[m] = 0;
        }
    }

    void refuse(int t, int32_t status) {
        if (!wants(t)) return;
        for (int l = 0; l < W; ++l) sink[l].set(t, status);
    }

    void put(int t, const V& value, i64 d1, i64 d2) {
        for (int l = 0; l < W; ++l) sink[l].set(t, KSX_S_OK, lanes::lane(value, l), d1, d2);
    }

    void flag(int t, uint32_t f) {
        for (int l = 0; l < W; ++l) sink[l].flag(t, f);
    }

    void word(int t, int m, i64 value) {
        for (int l = 0; l < W; ++l) sink[l].words(t)[m] = value;
    }

    static V zero() { return lanes::splat<V>(0.0); }
    static V num(f64 x) { return lanes::splat<V>(x); }

    // ---- inputs ------------------------------------------------------------

    // The power of two that brings the largest |value| of each lane into [0.5, 1) (within the range where
    // it and its reciprocal are normal numbers); 1 for zeros.
    static V scale_of(const V* col, i64 n, i64 stride) {
        V big = zero();
        for (i64 i = 0; i < n; ++i) big = lanes::max(big, lanes::abs(col[i * stride]));
        V out = big;
        for (int l = 0; l < W; ++l) {
            int exponent = 0;
            const f64 m = lanes::lane(big, l);
            std::frexp(m, &exponent);
            // Kept where the scale and its reciprocal are both normal numbers (both exact).
            exponent = std::min(1023, std::max(-1021, exponent));
            lanes::set_lane(out, l, m > 0.0 ? std::ldexp(1.0, exponent) : 1.0);
        }
        return out;
    }

    // Multiplying by the reciprocal of a power of two is the exact division by it.
    void scale_inputs() {
        const i64 n = s_.n, p = s_.p, q = s_.q;
        ys_ = scale_of(y_, n, 1);
        const V yinv = num(1.0) / ys_;
        for (i64 i = 0; i < n; ++i) y_[i] = y_[i] * yinv;
        for (i64 j = 0; j < p; ++j) xs_[j] = scale_of(X_ + j, n, p);
        for (i64 j = 0; j < p; ++j) xnorm_[j] = num(1.0) / xs_[j];
        for (i64 i = 0; i < n; ++i)
            for (i64 j = 0; j < p; ++j) X_[i * p + j] = X_[i * p + j] * xnorm_[j];
        for (i64 j = 0; j < q; ++j) {
            zs_[j] = scale_of(Z_ + j, n, q);
            const V zinv = num(1.0) / zs_[j];
            for (i64 i = 0; i < n; ++i) Z_[i * q + j] = Z_[i * q + j] * zinv;
        }
    }

    // Whether column j of a block (n rows, stride ld) is constant: every row equal to the first.
    Mask<V> constant(const V* A, i64 ld, i64 j) const {
        Mask<V> same = uniform<V>(true);
        for (i64 i = 1; i < s_.n; ++i) same = same & (A[i * ld + j] == A[j]);
        return same;
    }

    // ---- factors ------------------------------------------------------------

    Factor<V> aux_factor(V* A, i64 rows, i64 ld) {
        Factor<V> f;
        f.A = A;
        f.n = rows;
        f.ld = ld;
        f.tau = tau_aux_;
        f.taken = taken_aux_;
        f.dependent = dep_aux_;
        f.tol = qr::rank_tol(rows, ld);
        f.track = &track;
        return f;
    }

    // Takes columns 0 .. cols-1 of f's block in order; norms[j] the norm of column j as given.
    static void take(Factor<V>& f, i64 cols, const V* norms) { qr::take_columns(f, 0, cols, norms); }

    void norms_of(const V* A, i64 rows, i64 ld, i64 cols, V* out) { qr::column_norms(A, ld, rows, 0, cols, out); }

    // The dropped columns of f in a test's detail words: the count, and the first three.
    void note_dropped(const Factor<V>& f, i64 cols, int t) {
        i64 count = 0;
        for (i64 j = 0; j < cols; ++j) {
            if (!f.dependent[j]) continue;
            if (count < 3) word(t, 3 + static_cast<int>(count), j);
            ++count;
        }
        if (count) {
            flag(t, KSX_F_DROPPED);
            word(t, 2, count);
        }
    }

    // Residual sum of squares of b (rows of f, stride 1) on f's span, after f's reflections; b changes.
    static V residual_ss(Factor<V>& f, V* b) {
        qr::apply_qt(f, b, 1);
        return qr::tail_sumsq(b, 1, f.rank, f.n);
    }

    // n·R² (centred) of the regression of the response b (rows of f) on f's span.
    static V centred(const V* b, i64 rows) {
        V sum = zero();
        for (i64 i = 0; i < rows; ++i) sum = sum + b[i];
        const V mean = sum / num(static_cast<f64>(rows));
        V ss = zero();
        for (i64 i = 0; i < rows; ++i) {
            const V d = b[i] - mean;
            ss = lanes::fma(d, d, ss);
        }
        return ss;
    }

    // ---- the fit ------------------------------------------------------------

    void fit() {
        const i64 n = s_.n, p = s_.p, ld = p + 2;
        // The block [X | y | 1]: y and the ones vector receive the reflections as they are made.
        for (i64 i = 0; i < n; ++i) {
            for (i64 j = 0; j < p; ++j) F_[i * ld + j] = X_[i * p + j];
            F_[i * ld + p] = y_[i];
            F_[i * ld + p + 1] = num(1.0);
        }
        fit_.A = F_;
        fit_.n = n;
        fit_.ld = ld;
        fit_.tau = tau_fit_;
        fit_.taken = taken_fit_;
        fit_.dependent = dep_fit_;
        fit_.tol = qr::rank_tol(n, p);
        fit_.track = &track;
        qr::column_norms(F_, ld, n, 0, p + 1, aux_norm_);
        for (i64 j = 0; j < p; ++j) xnorm_[j] = aux_norm_[j];
        ynorm_ = aux_norm_[p];
        qr::take_columns(fit_, 0, p, xnorm_, p + 2);
        const i64 r = fit_.rank;

        for (i64 i = 0; i < n; ++i) c_[i] = F_[i * ld + p];
        rss_ = qr::tail_sumsq(c_, 1, r, n);
        qr::solve_r(fit_, c_, 1, coef_);
        for (i64 i = 0; i < n; ++i) {
            V v = y_[i];
            for (i64 m = 0; m < r; ++m) v = lanes::fma(-X_[i * p + fit_.taken[m]], coef_[m], v);
            e_[i] = v;
        }

        // Constant columns (every row equal), decided alike in every lane.
        Mask<V> explicit_const = uniform<V>(false);
        for (i64 j = 0; j < p; ++j) {
            const Mask<V> is_const = constant(X_, p, j);
            const_col_[j] = decide(track, is_const) ? 1 : 0;
            explicit_const = explicit_const | (is_const & (X_[j] != zero()));
        }
        // Or a constant in the span of X (a full set of dummies): |1 - P 1| small.
        const V off = lanes::sqrt(qr::tail_sumsq(F_ + p + 1, ld, r, n));
        spans_ = explicit_const | (uniform<V>(r > 0) & (off <= num(kSpanTol * std::sqrt(static_cast<f64>(n)))));
        const V tss = lanes::select<V>(spans_, centred(y_, n), ynorm_ * ynorm_);

        // Coefficients and standard errors, in the units of the input.
        inverse_r();
        const V sigma2 = rss_ / num(static_cast<f64>(n - r));
        for (int l = 0; l < W; ++l) {
            const Sink& k = sink[l];
            const f64 yl = lanes::lane(ys_, l);
            if (k.fit_status) *k.fit_status = KSX_S_OK;
            if (k.rank) *k.rank = r;
            if (k.has_constant) *k.has_constant = lanes::mask_lane<V>(spans_, l);
            if (k.rss) *k.rss = lanes::lane(rss_, l) * yl * yl;
            if (k.tss) *k.tss = lanes::lane(tss, l) * yl * yl;
            for (i64 j = 0; j < p; ++j) {
                if (k.dependent) k.dependent[j] = dep_fit_[j];
                if (k.coef) k.coef[j] = kNaN;
                if (k.bse) k.bse[j] = kNaN;
            }
            for (i64 m = 0; m < r; ++m) {
                const i64 j = fit_.taken[m];
                const f64 xl = lanes::lane(xs_[j], l);
                if (k.coef) k.coef[j] = lanes::lane(coef_[m], l) * yl / xl;
                if (k.bse) k.bse[j] = std::sqrt(lanes::lane(sigma2, l) * lanes::lane(rinv_diag_[m], l)) * yl / xl;
            }
            if (k.resid)
                for (i64 i = 0; i < n; ++i) k.resid[i] = lanes::lane(e_[i], l) * yl;
        }
        // What the tests can work on: residual degrees of freedom, and residuals that are not rounding noise.
        int32_t refusal = KSX_S_OK;
        if (n - r <= 0) {
            refusal = KSX_S_TOO_FEW_OBS;
        } else if (decide(track, lanes::sqrt(rss_) <= num(kExactFit) * ynorm_)) {
            refusal = KSX_S_UDEF_VARIANCE;
        }
        if (refusal != KSX_S_OK) {
            fit_ok_ = false;
            for (int t = 0; t < KSX_T_COUNT; ++t) refuse(t, refusal);
            // Nothing past the fit is defined: no recursion, no sup-F path, no HAC covariance.  Written
            // here all the same, so that a lane run, which wrote them for a lane that then left the common
            // branch, never leaves its values behind the f64 run of that group.
            for (int l = 0; l < W; ++l) {
                const Sink& k = sink[l];
                if (k.fit_status) *k.fit_status = refusal;
                for (i64 i = 0; i < n; ++i) {
                    if (k.recursive) k.recursive[i] = kNaN;
                    if (k.sup_f) k.sup_f[i] = kNaN;
                }
                if (k.coef_hac)
                    for (i64 j = 0; j < p * p; ++j) k.coef_hac[j] = kNaN;
            }
        }
    }

    // R⁻¹ of the fit (upper triangular, r x r, in the order taken) and its row norms², diag((R'R)⁻¹).
    void inverse_r() {
        const i64 r = fit_.rank, p = s_.p;
        const V* A = fit_.A;
        for (i64 m = 0; m < r; ++m) {
            for (i64 k = r - 1; k >= 0; --k) {
                if (k > m) {
                    rinv_[k * p + m] = zero();
                    continue;
                }
                V v = num(k == m ? 1.0 : 0.0);
                for (i64 j = k + 1; j <= m; ++j) v = lanes::fma(-A[k * fit_.ld + fit_.taken[j]], rinv_[j * p + m], v);
                rinv_[k * p + m] = v / A[k * fit_.ld + fit_.taken[k]];
            }
        }
        for (i64 k = 0; k < r; ++k) {
            V d = zero();
            for (i64 m = k; m < r; ++m) d = lanes::fma(rinv_[k * p + m], rinv_[k * p + m], d);
            rinv_diag_[k] = d;
        }
    }

    // ---- regressions on the residuals -------------------------------------

    // Godfrey's LM: e on [X, e_{t-1} ... e_{t-lags}] (zeros before the sample), through the fit's
    // factor extended by the lags; the F form from the same regression.
    void breusch_godfrey() {
        const i64 n = s_.n, r = fit_.rank, L = o_.lags;
        if (n - r - L < 1) {
            refuse(KSX_T_BREUSCH_GODFREY, KSX_S_TOO_FEW_OBS);
            refuse(KSX_T_BREUSCH_GODFREY_F, KSX_S_TOO_FEW_OBS);
            return;
        }
        for (i64 i = 0; i < n; ++i)
            for (i64 k = 0; k < L; ++k) B_[i * L + k] = i > k ? e_[i - k - 1] : zero();
        norms_of(B_, n, L, L, aux_norm_);
        qr::apply_qt_block(fit_, B_, L, L);
        Factor<V> f = aux_factor(B_ + r * L, n - r, L);
        take(f, L, aux_norm_);
        for (i64 i = r; i < n; ++i) work_[i - r] = c_[i];
        const V rss_aux = residual_ss(f, work_);
        const i64 lags_in = f.rank;
        const V lm = num(static_cast<f64>(n)) * (num(1.0) - rss_aux / rss_);
        if (lags_in < 1) {
            refuse(KSX_T_BREUSCH_GODFREY, KSX_S_TOO_FEW_OBS);
            refuse(KSX_T_BREUSCH_GODFREY_F, KSX_S_TOO_FEW_OBS);
            return;
        }
        const i64 df2 = n - r - lags_in;
        for (int t : {KSX_T_BREUSCH_GODFREY, KSX_T_BREUSCH_GODFREY_F}) {
            if (!wants(t)) continue;
            note_dropped(f, L, t);
            for (int l = 0; l < W; ++l)
                if (!lanes::mask_lane<V>(spans_, l)) sink[l].flag(t, KSX_F_NO_CONSTANT);
        }
        if (wants(KSX_T_BREUSCH_GODFREY)) put(KSX_T_BREUSCH_GODFREY, lm, lags_in, -1);
        if (wants(KSX_T_BREUSCH_GODFREY_F)) {
            const V r2 = lm / num(static_cast<f64>(n));
            const V f_stat = (r2 / num(static_cast<f64>(lags_in))) / ((num(1.0) - r2) / num(static_cast<f64>(df2)));
            put(KSX_T_BREUSCH_GODFREY_F, lanes::select<V>(r2 < num(1.0), f_stat, num(kInf)), lags_in, df2);
        }
    }

    // Breusch-Pagan: e²/mean(e²) on a constant and the non-constant columns of Z (or of X).  When
    // they span what X spans (X has a constant column and no Z is given), the fit's factor serves.
    void breusch_pagan() {
        const i64 n = s_.n, p = s_.p, q = s_.q;
        const V* src = q ? Z_ : X_;
        const i64 width = q ? q : p;
        i64 m = 0;
        bool has_const_col = false;
        for (i64 j = 0; j < q; ++j) zconst_[j] = decide(track, constant(Z_, q, j)) ? 1 : 0;
        const unsigned char* is_const = q ? zconst_ : const_col_;
        for (i64 j = 0; j < width; ++j) {
            if (!is_const[j]) ++m;
            else if (!q && decide(track, X_[j] != zero())) has_const_col = true;
        }
        if (m < 1 || n <= 1 + m) {
            refuse(KSX_T_BREUSCH_PAGAN, KSX_S_TOO_FEW_OBS);
            refuse(KSX_T_BREUSCH_PAGAN_STUDENT, KSX_S_TOO_FEW_OBS);
            return;
        }
        // g = e² / (e'e / n)
        const V sigma2 = rss_ / num(static_cast<f64>(n));
        for (i64 i = 0; i < n; ++i) work_[i] = (e_[i] * e_[i]) / sigma2;
        const V tss = centred(work_, n);
        V rss_aux;
        i64 rank_aux;
        Factor<V> f;
        const bool reuse = !q && has_const_col && fit_.rank == p;
        if (reuse) {
            rss_aux = residual_ss(fit_, work_);
            rank_aux = fit_.rank;
        } else {
            for (i64 i = 0; i < n; ++i) {
                B_[i * (1 + m)] = num(1.0);
                i64 k = 1;
                for (i64 j = 0; j < width; ++j)
                    if (!is_const[j]) B_[i * (1 + m) + k++] = src[i * width + j];
            }
            f = aux_factor(B_, n, 1 + m);
            norms_of(B_, n, 1 + m, 1 + m, aux_norm_);
            take(f, 1 + m, aux_norm_);
            rss_aux = residual_ss(f, work_);
            rank_aux = f.rank;
        }
        const i64 df = rank_aux - 1;
        const bool flat = decide(track, !(tss > zero()));
        for (int t : {KSX_T_BREUSCH_PAGAN, KSX_T_BREUSCH_PAGAN_STUDENT}) {
            if (!wants(t)) continue;
            if (!reuse) note_dropped(f, 1 + m, t);
        }
        if (wants(KSX_T_BREUSCH_PAGAN)) put(KSX_T_BREUSCH_PAGAN, num(0.5) * (tss - rss_aux), df, -1);
        if (wants(KSX_T_BREUSCH_PAGAN_STUDENT)) {
            if (flat) {
                put(KSX_T_BREUSCH_PAGAN_STUDENT, zero(), df, -1);
                flag(KSX_T_BREUSCH_PAGAN_STUDENT, KSX_F_FLAT);
            } else {
                put(KSX_T_BREUSCH_PAGAN_STUDENT, num(static_cast<f64>(n)) * (num(1.0) - rss_aux / tss), df, -1);
            }
        }
    }

    // One segment's regression: rows r0 .. r1-1 of the identified columns; its rank and rss.
    V segment(i64 r0, i64 r1, i64* rank_out) {
        const i64 p = s_.p, r = fit_.rank, rows = r1 - r0;
        for (i64 i = 0; i < rows; ++i) {
            for (i64 k = 0; k < r; ++k) B_[i * r + k] = X_[(r0 + i) * p + fit_.taken[k]];
            work_[i] = y_[r0 + i];
        }
        Factor<V> f = aux_factor(B_, rows, r);
        norms_of(B_, rows, r, r, aux_norm_);
        take(f, r, aux_norm_);
        *rank_out = f.rank;
        return residual_ss(f, work_);
    }

    // Chow: all coefficients change at the break.
    void chow() {
        const i64 n = s_.n, r = fit_.rank;
        const i64 at = o_.break_at == -1 ? n / 2 : o_.break_at;
        word(KSX_T_CHOW, 0, at);
        if (at < 1 || at > n - 1) {
            refuse(KSX_T_CHOW, KSX_S_BAD_BREAK);
            return;
        }
        i64 r1 = 0, r2 = 0;
        const V s1 = segment(0, at, &r1);
        const V s2 = segment(at, n, &r2);
        const i64 df1 = r1 + r2 - r, df2 = n - r1 - r2;
        if (df2 <= 0 || df1 <= 0) {
            refuse(KSX_T_CHOW, KSX_S_TOO_FEW_OBS);
            return;
        }
        if (df1 != r || df2 != n - 2 * r) flag(KSX_T_CHOW, KSX_F_SEGMENT_RANK);
        const V both = s1 + s2;
        put(KSX_T_CHOW, ((rss_ - both) / num(static_cast<f64>(df1))) / (both / num(static_cast<f64>(df2))), df1, df2);
    }

    // ---- recursive residuals -------------------------------------------

    // One pass of the recursion over the identified columns, rows in the order `row(k)`, k = 0 .. n-1:
    // Givens rotations bring each row into R (r x r) and u; once the rows so far have the rank of X
    // (every |R_kk| above max(k, r)·eps of its column's norm over those rows), each further row gets
    // its recursive residual (y_t - z·u) / sqrt(1 + z·z), R'z = x_t.  Returns the number of rows
    // before the first residual (-1: none), out[k] the residual of the k-th row taken (NaN before).
    template <class Row>
    i64 recurse(Row row, V* out, V* rss_before) {
        const i64 n = s_.n, p = s_.p, r = fit_.rank;
        for (i64 k = 0; k < r * r; ++k) R_[k] = zero();
        for (i64 k = 0; k < r; ++k) u_[k] = colsq_[k] = inv_[k] = zero();
        V before = zero();
        i64 first = r == 0 ? 0 : -1;  // no identified column: every row is predicted by nothing
        for (i64 k = 0; k < n; ++k) {
            const i64 t = row(k);
            for (i64 m = 0; m < r; ++m) xrow_[m] = X_[t * p + fit_.taken[m]];
            V yt = y_[t];
            if (first >= 0) {
                // R' z = x_t by forward substitution (R' is lower triangular)
                V zz = zero(), zu = zero();
                for (i64 m = 0; m < r; ++m) {
                    V v = xrow_[m];
                    for (i64 j = 0; j < m; ++j) v = lanes::fma(-R_[j * r + m], zv_[j], v);
                    zv_[m] = v * inv_[m];
                    zz = lanes::fma(zv_[m], zv_[m], zz);
                    zu = lanes::fma(zv_[m], u_[m], zu);
                }
                out[k] = (yt - zu) / lanes::sqrt(num(1.0) + zz);
            } else {
                out[k] = num(kNaN);
            }
            // The row into R by Givens rotations; the response into u.
            for (i64 m = 0; m < r; ++m) colsq_[m] = lanes::fma(xrow_[m], xrow_[m], colsq_[m]);
            for (i64 m = 0; m < r; ++m) {
                const V a = R_[m * r + m], b = xrow_[m];
                const V rho = lanes::sqrt(lanes::fma(a, a, b * b));
                const Mask<V> none = rho == zero();
                const V inv = num(1.0) / rho;
                const V cs = lanes::select<V>(none, num(1.0), a * inv);
                const V sn = lanes::select<V>(none, zero(), b * inv);
                R_[m * r + m] = rho;
                inv_[m] = inv;
                for (i64 j = m + 1; j < r; ++j) {
                    const V rj = R_[m * r + j], xj = xrow_[j];
                    R_[m * r + j] = lanes::fma(cs, rj, sn * xj);
                    xrow_[j] = lanes::fma(cs, xj, -(sn * rj));
                }
                const V um = u_[m];
                u_[m] = lanes::fma(cs, um, sn * yt);
                yt = lanes::fma(cs, yt, -(sn * um));
            }
            if (first < 0) {
                before = lanes::fma(yt, yt, before);  // what this row leaves unexplained
                if (k + 1 >= r) {
                    // Full rank once every diagonal entry is clear of zero, relative to its column.
                    const f64 tol = qr::rank_tol(k + 1, r);
                    Mask<V> full = uniform<V>(true);
                    for (i64 m = 0; m < r; ++m) full = full & (R_[m * r + m] > num(tol) * lanes::sqrt(colsq_[m]));
                    if (k + 1 == r) {
                        // The common case: the first r rows already have full rank.
                        if (!decide(track, !full)) first = k + 1;
                    } else if (decide(track, full)) {
                        first = k + 1;
                    }
                }
            }
        }
        *rss_before = before;
        return first;
    }

    void recursion() {
        const i64 n = s_.n, r = fit_.rank;
        start_ = recurse([](i64 k) { return k; }, w_, &rss0_);
        // The rows before the start are fitted exactly in the common case (r rows, rank r).
        if (start_ == r) rss0_ = zero();
        for (int l = 0; l < W; ++l)
            if (sink[l].recursive)
                for (i64 i = 0; i < n; ++i) sink[l].recursive[i] = lanes::lane(w_[i], l) * lanes::lane(ys_, l);
        const i64 m = start_ < 0 ? 0 : n - start_;
        for (int t : {KSX_T_RECURSIVE_T, KSX_T_CUSUM, KSX_T_CUSUMSQ}) {
            if (!wants(t)) continue;
            word(t, 0, start_);
            word(t, 1, m);
            if (start_ > r) flag(t, KSX_F_LATE_START);
        }
        if (start_ < 0) {
            for (int t : {KSX_T_RECURSIVE_T, KSX_T_CUSUM, KSX_T_CUSUMSQ}) refuse(t, KSX_S_TOO_FEW_OBS);
            return;
        }
        const V* wr = w_ + start_;
        // Mean and standard deviation (divisor m - 1).
        V sum = zero();
        for (i64 i = 0; i < m; ++i) sum = sum + wr[i];
        const V mean = sum / num(static_cast<f64>(m));
        V ss = zero();
        for (i64 i = 0; i < m; ++i) {
            const V d = wr[i] - mean;
            ss = lanes::fma(d, d, ss);
        }
        const V sd = lanes::sqrt(ss / num(static_cast<f64>(m - 1)));
        if (wants(KSX_T_RECURSIVE_T)) {
            if (m < 2) {
                refuse(KSX_T_RECURSIVE_T, KSX_S_TOO_FEW_OBS);
            } else if (decide(track, !(sd > zero()))) {
                refuse(KSX_T_RECURSIVE_T, KSX_S_UDEF_VARIANCE);
            } else {
                put(KSX_T_RECURSIVE_T, (lanes::sqrt(num(static_cast<f64>(m))) * mean) / sd, m - 1, -1);
            }
        }
        if (wants(KSX_T_CUSUM)) {
            const bool recursive_scale = o_.cusum_scale == 1;
            if (m < 1 || (recursive_scale && m < 2)) {
                refuse(KSX_T_CUSUM, KSX_S_TOO_FEW_OBS);
            } else {
                const V scale = recursive_scale ? sd : lanes::sqrt(rss_ / num(static_cast<f64>(n - r)));
                const f64 root = std::sqrt(static_cast<f64>(m));
                V cum = zero(), best = zero();
                Mask<V> bad = uniform<V>(false);
                for (i64 i = 0; i < m; ++i) {
                    cum = cum + wr[i];
                    const f64 widening = (2.0 * static_cast<f64>(i)) / root + root;
                    const V ratio = lanes::abs(cum / scale) / num(widening);
                    bad = bad | !(ratio == ratio);
                    best = lanes::max(best, ratio);
                }
                bad = bad | !(best < num(kInf));
                if (decide(track, bad)) refuse(KSX_T_CUSUM, KSX_S_UDEF_VARIANCE);
                else put(KSX_T_CUSUM, best, -1, -1);
            }
        }
        if (wants(KSX_T_CUSUMSQ)) {
            if (m < 3) {
                refuse(KSX_T_CUSUMSQ, KSX_S_TOO_FEW_OBS);
            } else {
                V total = zero();
                for (i64 i = 0; i < m; ++i) total = total + wr[i] * wr[i];
                if (decide(track, !(total > zero()))) {
                    refuse(KSX_T_CUSUMSQ, KSX_S_UDEF_VARIANCE);
                } else {
                    V cum = zero(), gap = zero();
                    const f64 mf = static_cast<f64>(m);
                    for (i64 i = 0; i < m; ++i) {
                        cum = cum + wr[i] * wr[i];
                        gap = lanes::max(gap, lanes::abs(cum / total - num(static_cast<f64>(i + 1) / mf)));
                    }
                    put(KSX_T_CUSUMSQ, gap, -1, -1);
                }
            }
        }
    }

    // ---- White, ARCH, RESET ------------------------------------------------

    // White: n·R² of e² on a constant, the non-constant columns of X, their squares (and cross
    // products, vech order).
    void white() {
        const i64 n = s_.n, p = s_.p;
        i64* lv = levels_;
        i64 m = 0;
        for (i64 j = 0; j < p; ++j)
            if (!const_col_[j]) lv[m++] = j;
        if (m < 1) {
            refuse(KSX_T_WHITE, KSX_S_TOO_FEW_OBS);
            return;
        }
        const bool cross = o_.white_cross != 0;
        const i64 width = white_width(m, cross);
        for (i64 i = 0; i < n; ++i) {
            V* row = B_ + i * width;
            row[0] = num(1.0);
            for (i64 a = 0; a < m; ++a) row[1 + a] = X_[i * p + lv[a]];
            i64 k = 1 + m;
            for (i64 a = 0; a < m; ++a)
                for (i64 b = a; b < m; ++b)
                    if (cross || a == b) row[k++] = X_[i * p + lv[a]] * X_[i * p + lv[b]];
        }
        Factor<V> f = aux_factor(B_, n, width);
        norms_of(B_, n, width, width, aux_norm_);
        take(f, width, aux_norm_);
        note_dropped(f, width, KSX_T_WHITE);
        if (n <= f.rank) {
            word(KSX_T_WHITE, 0, f.rank);
            refuse(KSX_T_WHITE, KSX_S_TOO_FEW_OBS);
            return;
        }
        for (i64 i = 0; i < n; ++i) work_[i] = e_[i] * e_[i];
        put_n_r2(KSX_T_WHITE, f, work_, n);
    }

    // n·R² (centred) of the response b (the rows of f) on f's span, chi2(rank - 1); b changes.  A constant
    // b leaves nothing to explain: the statistic is 0, flagged.
    void put_n_r2(int t, Factor<V>& f, V* b, i64 rows) {
        const V tss = centred(b, rows);
        const V rss_aux = residual_ss(f, b);
        const i64 df = f.rank - 1;
        if (decide(track, !(tss > zero()))) {
            put(t, zero(), df, -1);
            flag(t, KSX_F_FLAT);
            return;
        }
        put(t, num(static_cast<f64>(rows)) * (num(1.0) - rss_aux / tss), df, -1);
    }

    // ARCH LM: n·R² of e_t² on a constant and e²_{t-1} ... e²_{t-lags}, over the rows where every lag exists.
    void arch() {
        const i64 n = s_.n, L = o_.arch_lags, rows = n - L;
        if (rows <= L + 1) {
            refuse(KSX_T_ARCH, KSX_S_TOO_FEW_OBS);
            return;
        }
        const i64 width = 1 + L;
        for (i64 i = 0; i < rows; ++i) {
            B_[i * width] = num(1.0);
            for (i64 k = 1; k <= L; ++k) B_[i * width + k] = e_[L + i - k] * e_[L + i - k];
            work_[i] = e_[L + i] * e_[L + i];
        }
        Factor<V> f = aux_factor(B_, rows, width);
        norms_of(B_, rows, width, width, aux_norm_);
        take(f, width, aux_norm_);
        note_dropped(f, width, KSX_T_ARCH);
        put_n_r2(KSX_T_ARCH, f, work_, rows);
    }

    // RESET: the F test of adding z², ..., z^power, z the fitted values over their largest |value|.
    void reset() {
        const i64 n = s_.n, r = fit_.rank, P = o_.power - 1;
        V top = zero();
        for (i64 i = 0; i < n; ++i) {
            work2_[i] = y_[i] - e_[i];
            top = lanes::max(top, lanes::abs(work2_[i]));
        }
        if (decide(track, !(top > zero()))) {
            refuse(KSX_T_RESET, KSX_S_UDEF_VARIANCE);
            return;
        }
        for (i64 i = 0; i < n; ++i) {
            const V zi = work2_[i] / top;
            V power = zi;
            for (i64 k = 0; k < P; ++k) {
                power = power * zi;
                B_[i * P + k] = power;
            }
        }
        norms_of(B_, n, P, P, aux_norm_);
        qr::apply_qt_block(fit_, B_, P, P);
        Factor<V> f = aux_factor(B_ + r * P, n - r, P);
        take(f, P, aux_norm_);
        note_dropped(f, P, KSX_T_RESET);
        const i64 qn = f.rank, df2 = n - r - qn;
        if (qn < 1 || df2 < 1) {
            refuse(KSX_T_RESET, KSX_S_TOO_FEW_OBS);
            return;
        }
        for (i64 i = r; i < n; ++i) work_[i - r] = c_[i];
        const V rss_w = residual_ss(f, work_);
        if (decide(track, lanes::sqrt(rss_w) <= num(kExactFit) * ynorm_)) {
            refuse(KSX_T_RESET, KSX_S_UDEF_VARIANCE);
            return;
        }
        put(KSX_T_RESET, ((rss_ - rss_w) / num(static_cast<f64>(qn))) / (rss_w / num(static_cast<f64>(df2))), qn,
            df2);
    }

    // ---- sup-F -------------------------------------------------------------

    // The residual sum of squares of y on X over rows a .. b-1, by a Householder QR of its own (in B_).
    V regime_rss(i64 a, i64 b) {
        const i64 p = s_.p, m = b - a, ld = p + 1;
        for (i64 i = 0; i < m; ++i) {
            for (i64 j = 0; j < p; ++j) B_[i * ld + j] = X_[(a + i) * p + j];
            B_[i * ld + p] = y_[a + i];
        }
        Factor<V> f = aux_factor(B_, m, ld);
        norms_of(B_, m, ld, p, aux_norm_);
        qr::take_columns(f, 0, p, aux_norm_, p + 1);
        return qr::tail_sumsq(B_ + p, ld, f.rank, m);
    }

    // The largest Chow F over the breaks ceil(trim n) .. floor((1 - trim) n) (each regime keeping r rows),
    // from the forward and backward recursive residuals: the rss of the first t rows is that of the
    // first candidate's regime, fitted on its own, plus the squared forward residuals of the rows after
    // it up to t-1; that of the rows t .. n-1 likewise backwards from the last candidate.  Sums seeded at
    // the candidates keep the residuals of the first (last) rows, where the recursion may start on a
    // nearly singular design, out of every F.
    void sup_f() {
        const i64 n = s_.n, r = fit_.rank;
        if (n - 2 * r < 1) {
            refuse(KSX_T_SUP_F, KSX_S_TOO_FEW_OBS);
            return;
        }
        const i64 lo = std::max<i64>(static_cast<i64>(std::ceil(o_.trim * static_cast<f64>(n))), r);
        const i64 hi = std::min<i64>(static_cast<i64>(std::floor((1.0 - o_.trim) * static_cast<f64>(n))), n - r);
        if (lo > hi) {
            refuse(KSX_T_SUP_F, KSX_S_TOO_FEW_OBS);
            return;
        }
        start_b_ = recurse([n](i64 k) { return n - 1 - k; }, wb_, &rss0b_);
        if (start_b_ == r) rss0b_ = zero();
        // work_[t]: rss of rows 0 .. t-1, work2_[t]: rss of rows t .. n-1, for the breaks t0 .. t1 where
        // both regimes have rank r (the forward recursion has started, and the backward one).
        const i64 t0 = std::max<i64>(lo, start_), t1 = start_b_ >= 0 ? std::min<i64>(hi, n - start_b_) : -1;
        if (start_ >= 0 && t0 <= t1) {
            work_[t0] = regime_rss(0, t0);
            for (i64 t = t0; t < t1; ++t) work_[t + 1] = lanes::fma(w_[t], w_[t], work_[t]);
            work2_[t1] = regime_rss(t1, n);
            for (i64 t = t1 - 1; t >= t0; --t) work2_[t] = lanes::fma(wb_[n - 1 - t], wb_[n - 1 - t], work2_[t + 1]);
        }
        const V df1 = num(static_cast<f64>(r)), df2 = num(static_cast<f64>(n - 2 * r));
        V best = num(-kInf);
        i64 where[lanes::width<V>];
        for (int l = 0; l < W; ++l) where[l] = -1;
        i64 skipped = 0;
        for (i64 t = lo; t <= hi; ++t) {
            const bool valid = start_ >= 0 && t >= start_ && start_b_ >= 0 && n - t >= start_b_;
            if (!valid) {
                ++skipped;
                for (int l = 0; l < W; ++l)
                    if (sink[l].sup_f) sink[l].sup_f[t] = kNaN;
                continue;
            }
            const V both = work_[t] + work2_[t];
            const V f = ((rss_ - both) / df1) / (both / df2);
            for (int l = 0; l < W; ++l) {
                if (sink[l].sup_f) sink[l].sup_f[t] = lanes::lane(f, l);
                if (lanes::lane(f, l) > lanes::lane(best, l)) {
                    lanes::set_lane(best, l, lanes::lane(f, l));
                    where[l] = t;
                }
            }
        }
        for (int l = 0; l < W; ++l) {
            i64* wd = sink[l].words(KSX_T_SUP_F);
            wd[0] = where[l];
            wd[1] = lo;
            wd[3] = hi;
        }
        if (skipped == hi - lo + 1) {
            refuse(KSX_T_SUP_F, KSX_S_TOO_FEW_OBS);
            return;
        }
        if (skipped) {
            flag(KSX_T_SUP_F, KSX_F_SKIPPED);
            word(KSX_T_SUP_F, 2, skipped);
        }
        if (r < s_.p) flag(KSX_T_SUP_F, KSX_F_UNIDENTIFIED);
        put(KSX_T_SUP_F, best, r, n - 2 * r);
    }

    // ---- lane by lane --------------------------------------------------------

    void lane_by_lane() {
        omega_ready_ = false;
        if ((wants(KSX_T_WALD) || sink[0].coef_hac) && s_.n >= 2) {
            q_scores();
            if (o_.kernel_id != QS) long_run_lanes();
        }
        series_ready_ = false;
        if (W > 1 && s_.n >= 2 && o_.lags >= 1 &&
            (wants(KSX_T_LJUNG_BOX) || wants(KSX_T_BOX_PIERCE) || wants(KSX_T_JARQUE_BERA) ||
             wants(KSX_T_DURBIN_WATSON)))
            series_lanes();
        for (int l = 0; l < W; ++l) one_lane(l);
    }

    // Ljung-Box, Box-Pierce, Jarque-Bera and Durbin-Watson of every lane at once, each sum one chain in
    // the order of the kernels a single group runs (ksx_acorr and ksx_lb_stat, ksx_jb_stat; the
    // Durbin-Watson sums of one_lane), so every lane gets the bits of those kernels on its residuals:
    //   the mean, a plain sum in row order; the deviations z = x - mean; Σz² and, for each lag l, Σ z[m+l]·z[m]
    //   over m = 0 .. n-l-1, fused, in increasing m; Ljung-Box Σ (ρ_l²)/(n-l) in increasing l, times n(n+2);
    //   Box-Pierce n·Σρ_l² fused; the moments of Jarque-Bera m2 += d² (the square rounded), m3 and m4 fused.
    // What follows the sums (the divisions, pow of Jarque-Bera) runs lane by lane as in the kernels.
    void series_lanes() {
        const i64 n = s_.n;
        const i64 used = std::min<i64>(o_.lags, n - 1);
        V* x = work_;  // the residuals in the units of the input
        V* z = wb_;
        V* rho = work2_;  // rho[l], l = 1 .. used
        for (i64 i = 0; i < n; ++i) x[i] = e_[i] * ys_;
        V sum = zero();
        for (i64 i = 0; i < n; ++i) sum = sum + x[i];
        const V nv = num(static_cast<f64>(n));
        const V mean = sum / nv;
        V denom = zero(), m2 = zero(), m3 = zero(), m4 = zero();
        for (i64 i = 0; i < n; ++i) {
            const V d = x[i] - mean;
            z[i] = d;
            denom = lanes::fma(d, d, denom);
            const V d2 = d * d;
            m2 = m2 + d2;
            m3 = lanes::fma(d, d2, m3);
            m4 = lanes::fma(d2, d2, m4);
        }
        const bool acf = wants(KSX_T_LJUNG_BOX) || wants(KSX_T_BOX_PIERCE);
        if (acf) {
            for (i64 l = 1; l <= used; l += 8) {
                switch (std::min<i64>(8, used - l + 1)) {
#define KSX_LAGS(K) \
    case K: lag_sums<K>(z, n, l, rho); break;
                    KSX_LAGS(1) KSX_LAGS(2) KSX_LAGS(3) KSX_LAGS(4) KSX_LAGS(5) KSX_LAGS(6) KSX_LAGS(7) KSX_LAGS(8)
#undef KSX_LAGS
                    default: break;
                }
            }
            for (i64 l = 1; l <= used; ++l) rho[l] = rho[l] / denom;
        }
        V lb = zero(), bp = zero();
        for (i64 l = 1; l <= used && acf; ++l) {
            lb = lb + (rho[l] * rho[l]) / num(static_cast<f64>(n - l));
            bp = lanes::fma(rho[l], rho[l], bp);
        }
        lb = lb * num(static_cast<f64>(n) * static_cast<f64>(n + 2));
        bp = nv * bp;
        V dw_num = zero(), dw_den = zero();
        if (wants(KSX_T_DURBIN_WATSON)) {
            for (i64 i = 0; i < n; ++i) {
                dw_den = lanes::fma(e_[i], e_[i], dw_den);
                if (i) {
                    const V d = e_[i] - e_[i - 1];
                    dw_num = lanes::fma(d, d, dw_num);
                }
            }
        }
        const f64 nf = static_cast<f64>(n);
        for (int l = 0; l < W; ++l) {
            const Sink& k = sink[l];
            const f64 dl = lanes::lane(denom, l);
            const bool defined = dl > 0.0 && std::isfinite(dl);
            for (int t : {KSX_T_LJUNG_BOX, KSX_T_BOX_PIERCE}) {
                if (!wants(t)) continue;
                if (used < o_.lags) {
                    k.flag(t, KSX_F_CLAMPED);
                    k.words(t)[0] = o_.lags;
                    k.words(t)[1] = used;
                }
                if (!defined) k.set(t, KSX_S_UDEF_VARIANCE);
                else k.set(t, KSX_S_OK, lanes::lane(t == KSX_T_LJUNG_BOX ? lb : bp, l), used, -1);
            }
            if (wants(KSX_T_JARQUE_BERA)) {
                const f64 a2 = lanes::lane(m2, l) / nf, a3 = lanes::lane(m3, l) / nf, a4 = lanes::lane(m4, l) / nf;
                if (!std::isfinite(a2) || a2 <= 0.0) {
                    k.set(KSX_T_JARQUE_BERA, KSX_S_UDEF_VARIANCE);
                } else {
                    const f64 skew = a3 / std::pow(a2, 1.5);
                    const f64 kurt = a4 / (a2 * a2);
                    const f64 kurt_minus_3 = kurt - 3.0;
                    const f64 inner = (skew * skew) / 6.0 + (kurt_minus_3 * kurt_minus_3) / 24.0;
                    const f64 value = nf * inner;
                    if (n >= 10 || std::isfinite(value)) {
                        k.set(KSX_T_JARQUE_BERA, KSX_S_OK, value, 2, -1);
                        if (n < 10) k.flag(KSX_T_JARQUE_BERA, KSX_F_FEW_OBS);
                    } else {
                        k.set(KSX_T_JARQUE_BERA, KSX_S_UDEF_VARIANCE);
                    }
                }
            }
            if (wants(KSX_T_DURBIN_WATSON))
                k.set(KSX_T_DURBIN_WATSON, KSX_S_OK, lanes::lane(dw_num, l) / lanes::lane(dw_den, l));
        }
        series_ready_ = true;
    }

    // rho[l0 + k] = Σ z[m + l0 + k]·z[m], m = 0 .. n-l0-k-1, for k < K: K chains side by side over the rows
    // all of them reach, then each on to its own end, every chain in increasing m.
    template <int K>
    static void lag_sums(const V* z, i64 n, i64 l0, V* rho) {
        V s[K];
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k) s[k] = zero();
        const i64 common = n - (l0 + K - 1);
        for (i64 m = 0; m < common; ++m)
#pragma GCC unroll 8
            for (int k = 0; k < K; ++k) s[k] = lanes::fma(z[m + l0 + k], z[m], s[k]);
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k) {
            for (i64 m = common; m + l0 + k < n; ++m) s[k] = lanes::fma(z[m + l0 + k], z[m], s[k]);
            rho[l0 + k] = s[k];
        }
    }

    // The scores in the basis of Q: U (B_, n x r) = Q₁·diag(e) row by row, U[t][m] = q_t[m]·e_t, Q₁ the
    // first r columns of the fit's Q.  Over the identified columns x_t = R'q_t, so the scores x_t·e_t are
    // R'·u_t and the coefficients' covariance n·R⁻¹R⁻ᵀ·Ω_x·R⁻¹R⁻ᵀ is n·R⁻¹·Ω_u·R⁻ᵀ: formed from u, it
    // never builds R'Ω_u R only to undo it, which would square the condition number of X in its error.
    void q_scores() {
        const i64 n = s_.n, r = fit_.rank;
        V* U = B_;
        for (i64 i = 0; i < n; ++i)
            for (i64 m = 0; m < r; ++m) U[i * r + m] = num(i == m ? 1.0 : 0.0);
        // Q·[I; 0], the reflectors in reverse order; reflector k leaves columns before k as they are.
        for (i64 k = r - 1; k >= 0; --k) qr::reflect_block(fit_, k, U, r, k, r);
        for (i64 i = 0; i < n; ++i)
            for (i64 m = 0; m < r; ++m) U[i * r + m] = U[i * r + m] * e_[i];
    }

    // The long-run covariance of the centred scores u_t (q_scores), for every lane at once, in the order
    // of ksx_hac_estimator_matmul: Γ_0 (lower triangle over the rows, mirrored), then for each lag j
    // with a weight other than 0, Γ_j (each entry one chain over the rows) added as
    // fma(w_j, Γ_j[a][b] + Γ_j[b][a], Ω[a][b]), and finally Ω / n.  (The quadratic-spectral window,
    // which weighs every lag, runs lane by lane through the FFT instead.)
    void long_run_lanes() {
        const i64 n = s_.n, r = fit_.rank;
        V* U = B_;  // n x r, from q_scores
        for (i64 m = 0; m < r; ++m) {
            V sum = zero();
            for (i64 i = 0; i < n; ++i) sum = sum + U[i * r + m];
            aux_norm_[m] = sum / num(static_cast<f64>(n));
        }
        for (i64 i = 0; i < n; ++i)
            for (i64 m = 0; m < r; ++m) U[i * r + m] = U[i * r + m] - aux_norm_[m];
        V* Om = R_;
        V* G = gam_;
        lag_products(U, n, r, 0, Om);
        for (i64 a = 0; a < r; ++a)
            for (i64 b = 0; b < a; ++b) Om[b * r + a] = Om[a * r + b];
        const i64 L = std::min<i64>(bandwidth_used(), n - 1);
        for (i64 j = 1; j <= L; ++j) {
            const f64 w = kernel_weight(j, L, static_cast<KernelID>(o_.kernel_id));
            if (w == 0.0) continue;
            lag_products(U, n, r, j, G);
            const V wv = num(w);
            for (i64 a = 0; a < r; ++a)
                for (i64 b = 0; b < r; ++b) Om[a * r + b] = lanes::fma(wv, G[a * r + b] + G[b * r + a], Om[a * r + b]);
        }
        const V nv = num(static_cast<f64>(n));
        for (i64 a = 0; a < r * r; ++a) Om[a] = Om[a] / nv;
        omega_ready_ = true;
    }

    // out[a][b] = Σ_t U[t][a]·U[t+j][b], t = 0 .. n-j-1, each entry one chain in row order; for j = 0 only
    // the lower triangle (b <= a).  Up to 16 entries run side by side over the rows, in registers.
    template <int K>
    static void lag_tile(const V* U, i64 n, i64 r, i64 j, const i64 (*pairs)[2], V* out) {
        V acc[K];
#pragma GCC unroll 16
        for (int k = 0; k < K; ++k) acc[k] = zero();
        i64 ia[K], ib[K];
#pragma GCC unroll 16
        for (int k = 0; k < K; ++k) {
            ia[k] = pairs[k][0];
            ib[k] = pairs[k][1] + j * r;
        }
        for (i64 t = 0; t < n - j; ++t) {
            const V* row = U + t * r;
#pragma GCC unroll 16
            for (int k = 0; k < K; ++k) acc[k] = lanes::fma(row[ia[k]], row[ib[k]], acc[k]);
        }
#pragma GCC unroll 16
        for (int k = 0; k < K; ++k) out[pairs[k][0] * r + pairs[k][1]] = acc[k];
    }

    // lag_tile's sums for r = R <= 4 columns, every entry (lower: only b <= a) side by side: each row's
    // 2R values loaded once for the R² products, each entry still one chain in row order.
    template <int R, bool LOWER>
    static void lag_square(const V* U, i64 n, i64 j, V* out) {
        V acc[R * R];
#pragma GCC unroll 16
        for (int k = 0; k < R * R; ++k) acc[k] = zero();
        for (i64 t = 0; t < n - j; ++t) {
            V x[R], y[R];
#pragma GCC unroll 4
            for (int m = 0; m < R; ++m) {
                x[m] = U[t * R + m];
                y[m] = U[(t + j) * R + m];
            }
#pragma GCC unroll 4
            for (int a = 0; a < R; ++a)
#pragma GCC unroll 4
                for (int b = 0; b < R; ++b)
                    if (!LOWER || b <= a) acc[a * R + b] = lanes::fma(x[a], y[b], acc[a * R + b]);
        }
#pragma GCC unroll 4
        for (int a = 0; a < R; ++a)
#pragma GCC unroll 4
            for (int b = 0; b < R; ++b)
                if (!LOWER || b <= a) out[a * R + b] = acc[a * R + b];
    }

    static void lag_products(const V* U, i64 n, i64 r, i64 j, V* out) {
        switch (r * 2 + (j == 0 ? 1 : 0)) {
            case 2: return lag_square<1, false>(U, n, j, out);
            case 3: return lag_square<1, true>(U, n, j, out);
            case 4: return lag_square<2, false>(U, n, j, out);
            case 5: return lag_square<2, true>(U, n, j, out);
            case 6: return lag_square<3, false>(U, n, j, out);
            case 7: return lag_square<3, true>(U, n, j, out);
            case 8: return lag_square<4, false>(U, n, j, out);
            case 9: return lag_square<4, true>(U, n, j, out);
            default: break;
        }
        constexpr int kTile = 16;
        i64 pairs[kTile][2];
        int count = 0;
        auto flush = [&]() {
            switch (count) {
#define KSX_TILE(K) \
    case K: lag_tile<K>(U, n, r, j, pairs, out); break;
                KSX_TILE(1) KSX_TILE(2) KSX_TILE(3) KSX_TILE(4) KSX_TILE(5) KSX_TILE(6) KSX_TILE(7) KSX_TILE(8)
                KSX_TILE(9) KSX_TILE(10) KSX_TILE(11) KSX_TILE(12) KSX_TILE(13) KSX_TILE(14) KSX_TILE(15) KSX_TILE(16)
#undef KSX_TILE
                default: break;
            }
            count = 0;
        };
        for (i64 a = 0; a < r; ++a)
            for (i64 b = 0; b < (j == 0 ? a + 1 : r); ++b) {
                pairs[count][0] = a;
                pairs[count][1] = b;
                if (++count == kTile) flush();
            }
        if (count) flush();
    }

    i64 bandwidth_used() const {
        const i64 requested = o_.bandwidth >= 0 ? o_.bandwidth : wooldridge_bandwidth(nullptr, s_.n);
        return std::min<i64>(requested, s_.n - 1);
    }

    void one_lane(int l) {
        const Sink& k = sink[l];
        const i64 n = s_.n, p = s_.p, r = fit_.rank;
        if (series_ready_) {
            if (wants(KSX_T_WALD) || k.coef_hac) wald(l, r, p, n);
            return;
        }
        const f64 yl = lanes::lane(ys_, l);
        for (i64 i = 0; i < n; ++i) lane_e_[i] = lanes::lane(e_[i], l) * yl;
        // Ljung-Box and Box-Pierce.
        const i64 used = std::min<i64>(o_.lags, n - 1);
        for (int t : {KSX_T_LJUNG_BOX, KSX_T_BOX_PIERCE}) {
            if (!wants(t)) continue;
            if (n < 2) {
                k.set(t, KSX_S_TOO_FEW_OBS);
                continue;
            }
            if (used < o_.lags) {
                k.flag(t, KSX_F_CLAMPED);
                k.words(t)[0] = o_.lags;
                k.words(t)[1] = used;
            }
            f64 value = kNaN;
            int status;
            if (t == KSX_T_LJUNG_BOX) {
                status = ksx_lb_stat(lane_e_, n, o_.lags, lane_z_, rho_, &value);
            } else {
                status = ksx_acorr(lane_e_, n, used, lane_z_, rho_);
                f64 sum = 0.0;
                for (i64 j = 1; j <= used; ++j) sum = std::fma(rho_[j], rho_[j], sum);
                value = static_cast<f64>(n) * sum;
            }
            if (status != DIAG_OK) k.set(t, KSX_S_UDEF_VARIANCE);
            else k.set(t, KSX_S_OK, value, used, -1);
        }
        if (wants(KSX_T_JARQUE_BERA)) {
            f64 value = kNaN;
            const int status = ksx_jb_stat(lane_e_, n, &value);
            if (status == DIAG_OK || (status == DIAG_TOO_FEW_OBS && std::isfinite(value))) {
                k.set(KSX_T_JARQUE_BERA, KSX_S_OK, value, 2, -1);
                if (status != DIAG_OK) k.flag(KSX_T_JARQUE_BERA, KSX_F_FEW_OBS);
            } else {
                k.set(KSX_T_JARQUE_BERA, n < 2 ? KSX_S_TOO_FEW_OBS : KSX_S_UDEF_VARIANCE);
            }
        }
        if (wants(KSX_T_DURBIN_WATSON)) {
            if (n < 2) {
                k.set(KSX_T_DURBIN_WATSON, KSX_S_TOO_FEW_OBS);
            } else {
                f64 num_ = 0.0, den = 0.0;
                for (i64 i = 0; i < n; ++i) {
                    const f64 ei = lanes::lane(e_[i], l);
                    den = std::fma(ei, ei, den);
                    if (i) {
                        const f64 d = ei - lanes::lane(e_[i - 1], l);
                        num_ = std::fma(d, d, num_);
                    }
                }
                k.set(KSX_T_DURBIN_WATSON, KSX_S_OK, num_ / den);
            }
        }
        if (wants(KSX_T_WALD) || k.coef_hac) wald(l, r, p, n);
    }

    // The HAC covariance of the identified coefficients, n·R⁻¹·Ω·R⁻ᵀ with Ω the long-run covariance of
    // the scores u_t = q_t·e_t (q_scores), and the Wald test that the non-constant ones are zero.
    void wald(int l, i64 r, i64 p, i64 n) {
        const Sink& k = sink[l];
        const int t = KSX_T_WALD;
        i64 requested = o_.bandwidth >= 0 ? o_.bandwidth : wooldridge_bandwidth(nullptr, n);
        const i64 used = std::min<i64>(requested, n - 1);
        if (wants(t)) {
            k.words(t)[0] = requested;
            k.words(t)[1] = used;
            if (used < requested) k.flag(t, KSX_F_CLAMPED);
            if (r < p) k.flag(t, KSX_F_UNIDENTIFIED);
        }
        // NaN first: the rows and columns of dependent columns, and all of it when no covariance is formed.
        if (k.coef_hac)
            for (i64 j = 0; j < p * p; ++j) k.coef_hac[j] = kNaN;
        if (n < 2) {
            if (wants(t)) k.set(t, KSX_S_TOO_FEW_OBS);
            return;
        }
        f64* omega = sq2_;
        if (omega_ready_) {
            for (i64 a = 0; a < r * r; ++a) omega[a] = lanes::lane(R_[a], l);
        } else {
            // This lane's scores in the basis of Q (q_scores), in the scaled units.
            for (i64 i = 0; i < n * r; ++i) scores_[i] = lanes::lane(B_[i], l);
            f64* mean = small_;
            ksx_fill_mean_ax0(scores_, n, r, mean);
            ksx_fill_centered_ax0(scores_, mean, n, r, scores_);
            long_run(scores_, n, r, o_.kernel_id, used, omega, lr_);
        }
        // S = R⁻¹ (this lane, upper triangular), cov = n · S Ω S'.
        f64* S = sq_;
        for (i64 a = 0; a < r; ++a)
            for (i64 b = 0; b < r; ++b) S[a * r + b] = lanes::lane(rinv_[a * p + b], l);
        f64* cov = sq3_;
        for (i64 a = 0; a < r; ++a) {
            for (i64 b = 0; b < r; ++b) {
                f64 v = 0.0;
                for (i64 m = a; m < r; ++m) {
                    f64 inner = 0.0;
                    for (i64 j = b; j < r; ++j) inner = std::fma(omega[m * r + j], S[b * r + j], inner);
                    v = std::fma(S[a * r + m], inner, v);
                }
                cov[a * r + b] = static_cast<f64>(n) * v;
            }
        }
        const f64 yl = lanes::lane(ys_, l);
        if (k.coef_hac) {
            for (i64 a = 0; a < r; ++a)
                for (i64 b = 0; b < r; ++b) {
                    const i64 ja = fit_.taken[a], jb = fit_.taken[b];
                    const f64 sym = 0.5 * (cov[a * r + b] + cov[b * r + a]);
                    k.coef_hac[ja * p + jb] =
                        sym * yl * yl / (lanes::lane(xs_[ja], l) * lanes::lane(xs_[jb], l));
                }
        }
        if (!wants(t)) return;
        // The non-constant identified coefficients.
        i64 q = 0;
        f64* b = small_ + p;
        i64* which = reinterpret_cast<i64*>(small_ + 2 * p);
        for (i64 m = 0; m < r; ++m)
            if (!const_col_[fit_.taken[m]]) which[q++] = m;
        if (q == 0) {
            k.set(t, KSX_S_TOO_FEW_OBS);
            return;
        }
        f64* V_ = sq_;  // S is no longer needed
        for (i64 a = 0; a < q; ++a) {
            b[a] = lanes::lane(coef_[which[a]], l);
            for (i64 c = 0; c < q; ++c) V_[a * q + c] = 0.5 * (cov[which[a] * r + which[c]] + cov[which[c] * r + which[a]]);
        }
        f64 value = kNaN;
        const i64 rank = wald_statistic(b, V_, q, &value, wald_);
        if (!std::isfinite(value) || rank == 0) {
            k.set(t, KSX_S_UDEF_VARIANCE);
            return;
        }
        if (rank < q) {
            k.flag(t, KSX_F_PSEUDO);
            k.words(t)[3] = rank;
            k.words(t)[4] = q;
        }
        k.set(t, KSX_S_OK, value, rank, -1);
    }
};

}  // namespace KSX_ISA
}  // namespace battery
}  // namespace ksx

#endif  // KSX_BATTERY_IMPL_HPP
