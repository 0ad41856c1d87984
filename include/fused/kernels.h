#pragma once
// The wake kernels of the fused CPU solvers, per source and per receiver, one
// family a file in src/solvers/fused. Every formula repeats the operations of
// the kernel it replaces, in the same order and at the working precision, so
// that fused and op-by-op results differ only by the last-place rounding of
// exp, log and pow and the order of the nine-term rotor sums.
#include "fused/inputs.h"
#include "fused/math.h"

#include <cstdint>
#include <vector>

namespace sorbane::fused {

// ---------------------------------------------------------------------------
// Operating point (operating_point.cpp)

struct OperatingPoint {
    real_t ct, a;
};

// Thrust and induction from the rotor's cube-mean speed, yaw and tilt.
OperatingPoint operating_point(const Inputs& in, real_t u_avg, real_t yaw, real_t tilt);

// Interval j of the thrust table that brackets u_avg, as interp1d finds it.
int64_t table_interval(const Inputs& in, real_t u_avg);

// Cube-mean speed as the solvers form it (no floor, double exponent) and as
// the kernels do (floored, single-precision exponent). u: NN values at stride.
real_t cube_mean(const real_t* u, int64_t stride, int64_t NN);
real_t solver_rotor_speed(const real_t* u, int64_t stride, int64_t NN);
real_t kernel_rotor_speed(const real_t* u, int64_t stride, int64_t NN);

// Mean of NN values at stride.
real_t rotor_mean(const real_t* v, int64_t stride, int64_t NN);

// The reverse pass: each function answers its forward twin above with the
// gradients; the structs keep the intermediates the gradients read.
// The intermediates carry the symbols of the solvers' operating point and of
// interp1d; a name ending in _in (or raw) is a value before its clamp.
// m3: mean cube of the rotor speeds; j, x0..y1: the table interval and its
// ends; den, s: interp1d's denominator and slope; c: the cosine factor of yaw
// and tilt; ct_c: the table's thrust times c; h, root: 1 - ct c and its root.
struct OperatingPointTape {
    R m3, u_avg;
    int64_t j;
    R x0, x1, y0, y1, den, s, raw, ct_table, cos_yaw, cos_tilt, c, ct_c, ct, h, root, a;
};

// The operating point at the cube-mean speed u_avg (m3 left unset).
OperatingPointTape operating_point_at(const Inputs& in, R u_avg, R yaw, R tilt);
OperatingPointTape operating_point_forward(const Inputs& in, const R* u, int64_t NN, R yaw,
                                           R tilt);
void operating_point_backward(const Inputs& in, const OperatingPointTape& o, const R* u,
                              int64_t NN, R yaw, R tilt, R grad_ct, R grad_a, R* grad_u,
                              R& grad_yaw, R& grad_tilt, R* grad_ws, R* grad_table_ct);
void kernel_rotor_speed_backward(const R* u, int64_t NN, R g, R* grad_u);

// ---------------------------------------------------------------------------
// One wake-casting turbine in one flow case, with the constants each kernel
// forms per source.
struct Source {
    int64_t i = 0;
    real_t x = 0, y = 0, rd = 0, hh = 0, ct = 0, a = 0;

    // Turbine i of case cd, at its operating point.
    Source(const Inputs& in, const CaseData& cd, int64_t i, OperatingPoint op)
        : i(i), x(cd.xbar[i]), y(cd.ybar[i]), rd(in.rd.data_ptr<real_t>()[i]),
          hh(in.hh.data_ptr<real_t>()[i]), ct(op.ct), a(op.a) {}

    // gauss_deflection's, from the steered yaw and the turbulence before recovery.
    struct Deflection {
        real_t near_wake_end = 0;    // x0, where the far wake starts
        real_t expansion = 0;        // k, the widths' growth per unit distance
        real_t width_y0 = 0;         // sigma_y0 and sigma_z0, the widths at x0
        real_t width_z0 = 0;
        real_t sqrt_M0 = 0;          // sqrt(M0), M0 = C0 (2 - C0)
        real_t width_product0 = 0;   // sigma_y0 sigma_z0, floored
        real_t growth = 0;           // factor of the far wake's logarithmic growth; 0 unskewed
        real_t ramp_length = 0;      // the near wake's length, at least 1
        real_t straight_offset = 0;  // delta0, the straight skewed near wake's offset at x0
    } deflection;

    // gauss_velocity_deficit's, from the raw yaw and the turbulence after recovery.
    struct Deficit {
        real_t near_wake_end = 0;  // x0
        real_t ramp_length = 0;    // the near wake's length, at least 1
        real_t expansion = 0;      // k
        real_t width_y0 = 0;       // sigma_y0 and sigma_z0
        real_t width_z0 = 0;
        real_t width_rotor = 0;    // the width at the rotor plane
        real_t ct_axial = 0;       // ct cos(yaw), the thrust along the wind
        real_t diameter_sq = 0;    // D^2
        real_t sigmoid_k = 0;      // slope of the logistic upstream gate
    } deficit;

    // False when a constant is not finite (deflection.cpp, velocity_deficit.cpp).
    bool set_deflection(const Inputs& in, real_t yaw_eff, real_t ti);
    bool set_deficit(const Inputs& in, real_t yaw, real_t ti);

    // Whether the added-turbulence correlation stays finite at every receiver,
    // so that pairs left out contribute exactly zero (turbulence.cpp).
    bool turbulence_bounded(const Inputs& in, const CaseData& cd);
    // Turbulence added at receiver r, whose rotor has cnt points with a
    // deficit above 0.05 (crespo_hernandez_ti times overlap and region masks).
    real_t added_turbulence(const Inputs& in, const CaseData& cd, int64_t r, real_t cnt);

private:
    real_t ch_g(const Inputs& in, const CaseData& cd);  // induction x constant x ambient term
    bool ch_g_known = false;
    real_t ch_g_value = 0;
};

// Working arrays of one thread, reused across cases: T + kPad entries per
// receiver, as many per packed candidate.
struct Work {
    // Per receiver:
    std::vector<real_t> centre_y;  // the wake centre's y (the deflection before the widths pass)
    std::vector<real_t> width_y, width_z;        // sigma_y and sigma_z
    std::vector<real_t> width_y_sq, width_z_sq;  // their squares, floored
    // A bound of the deficit on the rotor, amplitude and gate (both at most 1) left out.
    std::vector<real_t> gauss_bound;
    std::vector<real_t> reached;   // 1 where the wake reaches the receiver, else 0
    std::vector<real_t> x_offset;  // its rotor-mean x less the source's
    // 1 where a deficit can change the receiver: per receiver of the span,
    // then per packed candidate.
    std::vector<real_t> changed;
    // The candidate receivers and then the receivers a wake changes, packed:
    // entry k belongs to receiver[k]. count: its points with a deficit above
    // 0.05; combined_min: the smallest combined deficit on its rotor.
    struct Packed {
        std::vector<int32_t> receiver;
        std::vector<real_t> x, width_y, width_z, gauss_bound, amplitude, gate, bound;
        std::vector<real_t> centre_y, width_y_sq, width_z_sq, reached, count, combined_min;
        std::vector<real_t> y, z, u0, combined;  // p * K + k
    } packed;
    std::vector<real_t> u_i;  // per rotor point
    void reserve(int64_t T, int64_t NN);
};

// ---------------------------------------------------------------------------
// Deflection (deflection.cpp)

// The lateral offset of the wake centre of `src` at receivers [lo, hi), into defl.
void deflection_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                      int64_t hi, real_t* defl);

// The reverse pass: each function answers its forward twin above with the
// gradients; the structs keep the intermediates the gradients read.
// gauss_deflection's symbols: gr the yaw in radians (sign reversed), c its
// cosine, ctv the clamped thrust, q = sqrt(1 - ctv), ctc and qc the yawed
// thrust and its root; w and r the width's denominator and ratio, sr its
// root; sz0, sy0 the widths at x0 (the near wake's end); k the expansion;
// C0, M0, sM, E0 the momentum terms; theta the skew angle (theta1 before the
// (1 - qc) factor, cm the floored cosine); L, L1 the near wake's length and
// ramp; delta0 its straight offset; P0, kkM, phi_s, phi the far-wake growth.
// A name ending in _in is a value before its clamp or floor.
struct DeflectionSource {
    R gr, c, ctv, q, ctc_in, ctc, qc, w_in, w, r_in, r, sr, sz0, sy0;
    R x0_num, x0_den_in, x0_den, x0, k, C0, M0, sM, E0, cm, theta1, theta, L, tan_theta, delta0;
    R P0_in, P0, kkM, kkM_c, phi_in, phi_s, phi, L1;
};

struct DeflectionSourceGrad {
    R sz0 = 0, sy0 = 0, x0 = 0, k = 0, sM = 0, P0 = 0, phi = 0, delta0 = 0, L1 = 0;
};

DeflectionSource deflection_forward(const Inputs& in, R x, R ct, R yaw, R ti, R D);
void deflection_source_backward(const Inputs& in, const DeflectionSource& s, R x, R ct, R D,
                                DeflectionSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                                R& grad_ti, R& grad_D);
R deflection_at(const Inputs& in, const DeflectionSource& s, R x, R X);
void deflection_backward(const Inputs& in, const DeflectionSource& s, R x, R X, R grad_defl,
                         DeflectionSourceGrad& g, R& grad_x, R& grad_X);

// ---------------------------------------------------------------------------
// Velocity deficit (velocity_deficit.cpp)

// Receivers [lo, hi) that the wake of `src` reaches by the downstream mask
// (rotor-mean x more than 0.1 beyond the source's); fills w.reached over all
// T. Returns false when there is none.
bool deficit_span(const CaseData& cd, const Source& src, Work& w, int64_t& lo, int64_t& hi);

// Deflection and the per-receiver part of the deficit over [lo, hi).
void deficit_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                   int64_t hi, Work& w);

// Velocity deficit D at every point of [lo, hi), combined into `combined`
// (p * S + r). root_sum (one wake at a time): combined = sqrt(max(combined^2
// + D^2, 1e-20)), and combined_min[r] is the smallest combined deficit on
// rotor r; otherwise combined += D^2 (a sweep's sum) and combined_min is
// unused. Receivers where D provably leaves the combined deficit unchanged
// (masked out, or a deficit below its last place; in a sum, one whose square
// is zero) are skipped. Returns K: w.packed.receiver[0, K) are the receivers
// worked, and w.packed.count[k] counts the points of receiver[k] with
// D > 0.05 (all others have none). before, when given, takes the combined
// deficit of the receivers worked before the wake, NN values (p = 0 .. NN - 1)
// per receiver in the order of w.packed.receiver.
int64_t deficit_points(const CaseData& cd, const Source& src, int64_t lo, int64_t hi, Work& w,
                       real_t* combined, real_t* combined_min, bool root_sum,
                       std::vector<real_t>* before = nullptr);

// The reverse pass: each function answers its forward twin above with the
// gradients; the structs keep the intermediates the gradients read.
// gauss_velocity_deficit's symbols: c the yaw's cosine, ctv the clamped
// thrust, q = sqrt(1 - ctv), sz0 and sy0 the widths at x0 (the near wake's
// end), x0_len the near wake's length (at least 1), snw the width at the
// rotor, k the expansion, ct_c the axial thrust, DD the squared diameter.
// At a receiver: rr the near-wake ramp, e the distance past x0, m the far
// mask, sy and sz the widths, s2y and s2z their floored squares, gate the
// logistic gate, P the width product, amp the centre-line amplitude.
// A name ending in _in is a value before its clamp or floor.
struct DeficitSource {
    R c, ctv, q, sz0, sy0, x0_num, x0_den_in, x0_den, x0, x0_len_in, x0_len, snw_in, snw_root,
        snw, k, ct_c, DD;
};

struct DeficitSourceGrad {
    R sy0 = 0, sz0 = 0, snw = 0, k = 0, x0 = 0, x0_len = 0, ct_c = 0, DD = 0;
};

// The deficit's per-receiver values at receiver x X (every point of a rotor
// shares it), with their slopes in X: the op-by-op kernel takes x per point,
// so each point's x gradient is its own gradients times these slopes.
struct DeficitReceiver {
    R dx, rr_in, rr, e_in, e, m, sy, sz, s2y, s2z, gate, P_in, P, Q_in, root, amp;
    R slope_s2y, slope_s2z, slope_gate, slope_amp;
};

// The worked receivers of one source, packed: per-receiver values at k, point
// values at p * Kp + k, so that the loop over receivers vectorises.
struct PackedReceivers {
    int64_t Kp = 0;
    std::vector<R> yc, s2y, s2z, amp, gate, slope_amp, slope_gate, slope_s2y, slope_s2z;
    std::vector<R> sum_amp, sum_gate, sum_s2y, sum_s2z, sum_yc, sum_H;
    std::vector<R> Y, Z, U0, a_before, grad_A, grad_u0, grad_x, grad_y, grad_z;
    std::vector<DeficitReceiver> receiver;

    void resize(int64_t K, int64_t NN) {
        Kp = padded(K);
        for (auto* v : {&yc, &s2y, &s2z, &amp, &gate, &slope_amp, &slope_gate, &slope_s2y,
                        &slope_s2z, &sum_amp, &sum_gate, &sum_s2y, &sum_s2z, &sum_yc, &sum_H})
            v->assign(Kp, R(1));
        for (auto* v : {&Y, &Z, &U0, &a_before, &grad_A}) v->assign(Kp * NN, R(1));
        for (auto* v : {&grad_u0, &grad_x, &grad_y, &grad_z}) v->resize(Kp * NN);
        receiver.resize(K);
    }
};

DeficitSource deficit_forward(const Inputs& in, R x, R ct, R yaw, R ti, R D);
void deficit_source_backward(const Inputs& in, const DeficitSource& s, R ct, R yaw, R D,
                             DeficitSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                             R& grad_ti, R& grad_D);
DeficitReceiver deficit_receiver(const Inputs& in, const DeficitSource& s, R x, R X);
void deficit_receiver_backward(const DeficitSource& s, const DeficitReceiver& d, R grad_amp,
                               R grad_gate, R grad_s2y, R grad_s2z, DeficitSourceGrad& g,
                               R& grad_x, const Inputs& in);
void deficit_points_backward(int64_t NN, R H, PackedReceivers& pk);

// ---------------------------------------------------------------------------
// Turbulence (turbulence.cpp; the added turbulence is a member of Source)

// Turbulence added by mixing of the transverse flow at turbine i. u: NN
// contiguous; V, W: the accumulated transverse velocities (stride S).
real_t mixing(const CaseData& cd, int64_t i, const real_t* u, real_t ti, const real_t* V,
              const real_t* W);

// The reverse pass: each function answers its forward twin above with the
// gradients; the structs keep the intermediates the gradients read.
struct TurbulenceGrads {
    R a = 0, amb = 0, D = 0, x = 0;  // the source's induction, diameter and x; the ambient TI
};
void added_turbulence_backward(const Inputs& in, const CaseData& cd, int64_t i, R x, R y, R D,
                               R a, const R* ti_before, R ti_own, const int64_t* entry,
                               const R* count, R* grad_TI, R* grad_xbar, TurbulenceGrads& out);
void mixing_backward(const CaseData& cd, int64_t i, const R* u, R ti,
                     const R* V, const R* W, R g, R* grad_u, R& grad_ti, R* grad_v, R* grad_w);

// ---------------------------------------------------------------------------
// Transverse velocities (transverse.cpp)

// The vortex rule at one point: r2 = max(yl^2 + zeta^2, 1e-20), core =
// 1 - exp(-r2 / eps2), spanwise part ((gamma zeta) / (r2 2 pi)) core and
// vertical part ((-gamma yl) / (r2 2 pi)) core.
struct Vortex {
    R arg, r2, r2_2pi, fade, core, q_sp, q_vt, sp, vt;
};

SORBANE_INLINE Vortex vortex_eval(R y2, R yl, R zeta, R gamma, R eps2) {
    Vortex o;
    o.arg = y2 + zeta * zeta;
    o.r2 = clamp_min(o.arg, f32c(1e-20f));
    o.r2_2pi = o.r2 * f32c(2.0f * kPiF);
    o.fade = exp_v(-o.r2 / eps2);
    o.core = R(1) - o.fade;
    o.q_sp = (gamma * zeta) / o.r2_2pi;
    o.q_vt = (-gamma * yl) / o.r2_2pi;
    o.sp = o.q_sp * o.core;
    o.vt = o.q_vt * o.core;
    return o;
}

// For the gradients g_sp and g_vt of the two parts: those of gamma, zeta,
// yl^2 (y2), yl and eps2.
struct VortexGrad {
    R gamma, zeta, y2, yl, eps2;
};

SORBANE_INLINE VortexGrad vortex_grad(const Vortex& v, R yl, R zeta, R gamma, R eps2, R g_sp,
                                      R g_vt) {
    VortexGrad o;
    const R g_q_sp = g_sp * v.core, g_q_vt = g_vt * v.core;
    const R g_core = g_sp * v.q_sp + g_vt * v.q_vt;
    const R g_num_sp = g_q_sp / v.r2_2pi, g_num_vt = g_q_vt / v.r2_2pi;
    const R g_r2_2pi = -(g_q_sp * v.q_sp + g_q_vt * v.q_vt) / v.r2_2pi;
    o.gamma = g_num_sp * zeta - g_num_vt * yl;
    o.zeta = g_num_sp * gamma;
    o.yl = -(g_num_vt * gamma);
    // core = 1 - exp(-r2 / eps2)
    const R g_exp_arg = -(g_core * v.fade);
    const R g_r2 = g_r2_2pi * f32c(2.0f * kPiF) - g_exp_arg / eps2;
    o.eps2 = (g_exp_arg * v.r2) / (eps2 * eps2);
    const R g_arg = v.arg >= f32c(1e-20f) ? g_r2 : R(0);
    o.y2 = g_arg;
    o.zeta += g_arg * (zeta * R(2));
    return o;
}

// The vortex rule's two parts, sp and vt, as the kernels take them. y2: the
// squared spanwise offset yl from the axis; zeta: the vertical offset; eps2:
// the core size squared.
SORBANE_INLINE void vortex(R y2, R yl, R zeta, R gamma, R eps2, R& sp, R& vt) {
    const Vortex v = vortex_eval(y2, yl, zeta, gamma, eps2);
    sp = v.sp;
    vt = v.vt;
}

// Extra yaw (degrees) of turbine i from the spanwise flow v (stride S) across
// its rotor; u: its rotor velocities (NN contiguous).
real_t added_yaw(const Inputs& in, const CaseData& cd, int64_t i, const real_t* u,
                 const real_t* v, real_t ct, real_t a);

// Transverse velocities of the source's vortices at every point of every
// receiver not upstream of it, added to V and W (p * S + r). yaw: the raw yaw;
// u: the source's rotor velocities (NN contiguous). [lo, hi): the receivers
// written (empty when none).
void transverse(const Inputs& in, const CaseData& cd, const Source& src, real_t yaw,
                const real_t* u, real_t* V, real_t* W, Work& w, int64_t& lo, int64_t& hi);

// The reverse pass: each function answers its forward twin above with the
// gradients; the structs keep the intermediates the gradients read.
// wake_added_yaw at turbine i, reading the spanwise velocity v on its rotor
// (NN contiguous): for the gradient g of the added yaw, the gradients of its
// rotor velocities u, of v, of its points' y and z, of its thrust and
// induction, of its rotor-mean freestream speed and of its rotor-mean y.
// Its diameter and hub height enter as host scalars and get none.
struct AddedYawGrads {
    R ct = 0, a = 0, u_inf = 0, ybar = 0;
};

// gauss_transverse_velocities of one source: the six vortices' gradients at
// every point of every receiver not upstream of it, for the gradients of the
// accumulated V and W (p * S + r). The points' y, z and freestream speed get
// theirs at p * S + r, the receivers' rotor-mean x at r; the source's
// constants' gradients are summed per receiver (lanes) and reduced after.
struct TransverseLanes {
    std::vector<R> dx, mask, grad_dx, y, H, half_d, d8, eps2, u_inf, top, bot, rot;
    void reset(int64_t S) {
        for (auto* v : {&grad_dx, &y, &H, &half_d, &d8, &eps2, &u_inf, &top, &bot, &rot})
            v->assign(S, R(0));
        dx.assign(S, R(0));
        mask.assign(S, R(0));
    }
};

struct TransverseGrads {
    R x = 0, y = 0, H = 0, D = 0, ct = 0, a = 0, yaw = 0, u_inf = 0;
};

void added_yaw_backward(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                        R ct, R a, R g, R* grad_u, R* grad_v, R* grad_y, R* grad_z,
                        AddedYawGrads& out);
void transverse_backward(const Inputs& in, const CaseData& cd, R x, R y, R H, R D,
                         R ct, R a, R yaw, const R* u, const R* grad_V, const R* grad_W,
                         R* grad_Y, R* grad_Z, R* grad_U0, R* grad_xbar, R* grad_u,
                         TransverseLanes& lanes, TransverseGrads& out);

}  // namespace sorbane::fused
