// The reverse pass of the sequential solver's fused downstream pass: the
// gradients of a loss of u_sorted and turbulence_intensity_field_sorted with
// respect to every input the op-by-op path differentiates, equal to what the
// tensor library's autograd gives on that path.
//
// One flow case at a time, cases in parallel, as in the forward. The case is
// replayed with a tape (the rotor field each source read, the turbulence
// before each wake, the receivers each wake changed with their combined
// deficit before it); then the sources are walked in reverse order. Each
// formula below answers a line of the kernel it mirrors (gauss_deflection,
// gauss_velocity_deficit, crespo_hernandez_ti, interp1d, wake_added_yaw,
// gauss_transverse_velocities, yaw_added_turbulence_mixing and the solver's
// operating point, superposition and maxima), with the tensor library's
// one-sided choices: a clamp passes the gradient where its bound is reached,
// a maximum splits it evenly on a tie, abs has slope 0 at 0. Pairs that the
// forward leaves out (masked, or below the last place of the combined deficit)
// are left out here too: their gradients are zero or below the last place.
//
// Every switch is covered: secondary steering (the added yaw reads the
// spanwise flow that earlier sources' vortices laid on the rotor, so its
// gradient flows back to them through the accumulated V), transverse
// velocities (v_sorted and w_sorted carry the node too) and the recovery
// (which also reads the transverse field the flow field held before).
#include "fused_detail.h"
#include "fused_math.h"
#include "fused_sequential.h"
#include "solvers.h"

#include <ATen/ATen.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/function.h>
#include <torch/csrc/autograd/functions/utils.h>

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

namespace sorbane::fused {

namespace {

// The inputs the node differentiates, in the order of its edges.
enum Edge { kX, kY, kZ, kU0, kYaw, kTilt, kTi, kRd, kHh, kWs, kCt, kVin, kWin, kEdges };

std::array<at::Tensor, kEdges> differentiable_inputs(const Farm& farm, const FlowField& ff,
                                                     const TurbineGrid& grid, bool recovery) {
    const Farm::PowerThrustTable* table =
        farm.turbine_tables.empty() ? nullptr : &farm.turbine_tables.front();
    // The recovery reads the transverse field the flow field held before.
    return {grid.x_sorted,
            grid.y_sorted,
            grid.z_sorted,
            ff.u_initial_sorted,
            farm.yaw_angles_sorted,
            farm.tilt_angles_sorted,
            ff.turbulence_intensities,
            farm.rotor_diameters,
            farm.hub_heights,
            table ? table->wind_speed : at::Tensor(),
            table ? table->thrust_coefficient : at::Tensor(),
            recovery ? ff.v_sorted : at::Tensor(),
            recovery ? ff.w_sorted : at::Tensor()};
}

// torch's pow(x, e) gradient for a scalar exponent: e x^(e - 1), none for e = 0.
R pow_slope(R x, double e) {
    if (e == 0.0) return R(0);
    return static_cast<R>(e) * pow_scalar(x, e - 1.0);
}

// d sqrt(max(x, floor)) for the gradient g of the root s.
R sqrt_floor_grad(R g, R x, R floor, R s) { return x >= floor ? g / (s * R(2)) : R(0); }

// ---------------------------------------------------------------------------
// The operating point (interp1d, the cosine correction, momentum theory).

struct OperatingPointTape {
    R m3, u_avg;
    int64_t j;
    R x0, x1, y0, y1, den, s, raw, ct_table, cos_yaw, cos_tilt, c, ct_c, ct, h, root, a;
};

OperatingPointTape operating_point_forward(const Inputs& in, const R* u, int64_t NN, R yaw,
                                           R tilt) {
    OperatingPointTape o;
    o.m3 = cube_mean(u, 1, NN);
    o.u_avg = pow_scalar(o.m3, 0.3333333333333333);
    const R* xs = in.table_ws.data_ptr<R>();
    const R* ys = in.table_ct.data_ptr<R>();
    o.j = table_interval(in, o.u_avg);
    o.x0 = xs[o.j];
    o.x1 = xs[o.j + 1];
    o.y0 = ys[o.j];
    o.y1 = ys[o.j + 1];
    o.den = (o.x1 - o.x0) + f32c(1.1920928955078125e-07f);
    o.s = (o.y1 - o.y0) / o.den;
    o.raw = o.y0 + o.s * (o.u_avg - o.x0);
    o.ct_table = clamp(o.raw, R(0), lit(0.9999));
    o.cos_yaw = std::cos(yaw * lit(kDegToRad));
    o.cos_tilt = std::cos(tilt * lit(kDegToRad));
    o.c = (o.cos_yaw * o.cos_tilt) / in.cos_ref;
    o.ct_c = o.ct_table * o.c;
    o.ct = clamp(o.ct_c, R(0), lit(0.9999));
    o.h = R(1) - o.ct * o.c;
    o.root = std::sqrt(clamp_min(o.h, lit(1e-6)));
    o.a = (R(0.5) / o.c) * (R(1) - o.root);
    return o;
}

// Gradients of the thrust and induction back to the rotor velocities u
// (added to grad_u), the angles and the thrust table.
void operating_point_backward(const Inputs& in, const OperatingPointTape& o, const R* u,
                              int64_t NN, R yaw, R tilt, R grad_ct, R grad_a, R* grad_u,
                              R& grad_yaw, R& grad_tilt, R* grad_ws, R* grad_table_ct) {
    // a = (0.5 / c) (1 - sqrt(max(1 - ct c, 1e-6)))
    const R half = R(0.5) / o.c;
    R grad_c = -(grad_a * (R(1) - o.root)) * (half / o.c);
    const R grad_root = -(grad_a * half);
    const R grad_h = sqrt_floor_grad(grad_root, o.h, lit(1e-6), o.root);
    grad_ct += -grad_h * o.c;
    grad_c += -grad_h * o.ct;
    // ct = clamp(ct_table c, 0, 0.9999)
    const R grad_ct_c = (o.ct_c >= R(0) && o.ct_c <= lit(0.9999)) ? grad_ct : R(0);
    const R grad_ct_table = grad_ct_c * o.c;
    grad_c += grad_ct_c * o.ct_table;
    // c = cos(yaw) cos(tilt) / cos_ref
    const R grad_prod = grad_c / in.cos_ref;
    const R k = lit(kDegToRad);
    grad_yaw += -std::sin(yaw * k) * (grad_prod * o.cos_tilt) * k;
    grad_tilt += -std::sin(tilt * k) * (grad_prod * o.cos_yaw) * k;
    // ct_table = clamp(interp1d(...), 0, 0.9999)
    const R grad_raw = (o.raw >= R(0) && o.raw <= lit(0.9999)) ? grad_ct_table : R(0);
    if (grad_raw == R(0)) return;
    const R grad_s = grad_raw * (o.u_avg - o.x0);
    const R grad_u_avg = grad_raw * o.s;
    const R grad_den = -(grad_s * o.s) / o.den;
    grad_table_ct[o.j] += grad_raw - grad_s / o.den;
    grad_table_ct[o.j + 1] += grad_s / o.den;
    grad_ws[o.j] += -grad_raw * o.s - grad_den;
    grad_ws[o.j + 1] += grad_den;
    // u_avg = mean(u^3)^(1/3)
    const R grad_m3 = grad_u_avg * pow_slope(o.m3, 0.3333333333333333);
    const R per_point = grad_m3 / static_cast<R>(NN);
    for (int64_t p = 0; p < NN; ++p) grad_u[p] += per_point * (R(3) * (u[p] * u[p]));
}

// ---------------------------------------------------------------------------
// gauss_deflection: the per-source constants and their gradients.

struct DeflectionSource {
    R gr, c, ctv, q, ctc_in, ctc, qc, w_in, w, r_in, r, sr, sz0, sy0;
    R x0_num, x0_den_in, x0_den, x0, k, C0, M0, sM, E0, cm, theta1, theta, L, tan_theta, delta0;
    R P0_in, P0, kkM, kkM_c, phi_in, phi_s, phi, L1;
};

struct DeflectionSourceGrad {
    R sz0 = 0, sy0 = 0, x0 = 0, k = 0, sM = 0, P0 = 0, phi = 0, delta0 = 0, L1 = 0;
};

DeflectionSource deflection_forward(const Inputs& in, R x, R ct, R yaw, R ti, R D) {
    const R tiny = f32c(1e-6f), ct_max = f32c(0.9999f);
    DeflectionSource s;
    s.gr = yaw * static_cast<R>(-kDegToRad);
    s.c = std::cos(s.gr);
    s.ctv = clamp(ct, R(0), ct_max);
    s.q = std::sqrt(clamp_min(R(1) - s.ctv, tiny));
    s.ctc_in = s.ctv * s.c;
    s.ctc = clamp(s.ctc_in, R(0), ct_max);
    s.qc = std::sqrt(clamp_min(R(1) - s.ctc, tiny));
    s.w_in = ((R(1) - s.qc) * R(2)) * (s.q + R(1));
    s.w = clamp_min(s.w_in, tiny);
    s.r_in = s.ctc / s.w;
    s.r = clamp_min(s.r_in, tiny);
    s.sr = std::sqrt(s.r);
    s.sz0 = (D * R(0.5)) * s.sr;
    s.sy0 = s.sz0 * s.c;
    s.x0_num = (D * s.c) * (s.qc + R(1));
    s.x0_den_in = ti * in.alpha4 + (R(1) - s.q) * in.beta2;
    s.x0_den = clamp_min(s.x0_den_in, tiny) * f32c(1.4142135623730951f);
    s.x0 = s.x0_num / s.x0_den + x;
    s.k = ti * in.ka + in.kb;
    s.C0 = R(1) - s.q;
    s.M0 = s.C0 * (R(2) - s.C0);
    s.sM = std::sqrt(clamp_min(s.M0, tiny));
    s.E0 = (s.C0 * s.C0 - s.C0 * f32c(3.2607121487f)) + f32c(4.1868372753f);
    s.cm = clamp_min(s.c, tiny);
    s.theta1 = (s.gr * in.skew) / s.cm;
    s.theta = s.theta1 * (R(1) - s.qc);
    s.L = clamp_min(s.x0 - x, R(0));
    s.tan_theta = std::tan(s.theta);
    s.delta0 = s.tan_theta * s.L;
    s.P0_in = s.sy0 * s.sz0;
    s.P0 = clamp_min(s.P0_in, tiny);
    s.kkM = (s.k * s.k) * s.M0;
    s.kkM_c = clamp_min(s.kkM, tiny);
    s.phi_in = s.P0 / s.kkM_c;
    s.phi_s = std::sqrt(clamp_min(s.phi_in, tiny));
    s.phi = ((s.theta * s.E0) / f32c(5.2f)) * s.phi_s;
    s.L1 = clamp_min(s.L, R(1));
    return s;
}

// The constants' gradients back to the source's x, thrust, yaw, turbulence and diameter.
void deflection_source_backward(const Inputs& in, const DeflectionSource& s, R x, R ct, R D,
                                DeflectionSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                                R& grad_ti, R& grad_D) {
    const R tiny = f32c(1e-6f), ct_max = f32c(0.9999f);
    R grad_L = s.L >= R(1) ? g.L1 : R(0);
    // phi = (theta E0 / 5.2) sqrt(max(P0 / max(k^2 M0, tiny), tiny))
    R grad_theta = g.phi * s.phi_s * (s.E0 / f32c(5.2f));
    R grad_E0 = g.phi * s.phi_s * (s.theta / f32c(5.2f));
    const R grad_phi_s = g.phi * ((s.theta * s.E0) / f32c(5.2f));
    const R grad_phi_in = sqrt_floor_grad(grad_phi_s, s.phi_in, tiny, s.phi_s);
    g.P0 += grad_phi_in / s.kkM_c;
    const R grad_kkM = s.kkM >= tiny ? -(grad_phi_in * s.phi_in) / s.kkM_c : R(0);
    g.k += grad_kkM * s.M0 * (s.k * R(2));
    R grad_M0 = grad_kkM * (s.k * s.k);
    // P0 = max(sy0 sz0, tiny)
    if (s.P0_in >= tiny) {
        g.sy0 += g.P0 * s.sz0;
        g.sz0 += g.P0 * s.sy0;
    }
    // delta0 = tan(theta) L
    grad_theta += g.delta0 * s.L * (R(1) + s.tan_theta * s.tan_theta);
    grad_L += g.delta0 * s.tan_theta;
    // L = max(x0 - x, 0)
    if (s.x0 - x >= R(0)) {
        g.x0 += grad_L;
        grad_x -= grad_L;
    }
    // theta = (gr skew / max(c, tiny)) (1 - qc)
    const R grad_theta1 = grad_theta * (R(1) - s.qc);
    R grad_qc = -grad_theta * s.theta1;
    R grad_gr = grad_theta1 * in.skew / s.cm;
    R grad_c = s.c >= tiny ? -(grad_theta1 * s.theta1) / s.cm : R(0);
    // E0, sM and M0 from C0 = 1 - q
    R grad_C0 = grad_E0 * (s.C0 * R(2) - f32c(3.2607121487f));
    grad_M0 += sqrt_floor_grad(g.sM, s.M0, tiny, s.sM);
    grad_C0 += grad_M0 * (R(2) - s.C0) - grad_M0 * s.C0;
    R grad_q = -grad_C0;
    grad_ti += g.k * in.ka;
    // x0 = D c (qc + 1) / (max(I 4 alpha + (1 - q) 2 beta, tiny) sqrt 2) + x
    grad_x += g.x0;
    const R grad_num = g.x0 / s.x0_den;
    const R grad_den = -(g.x0 * s.x0_num) / (s.x0_den * s.x0_den);
    const R grad_den_in = s.x0_den_in >= tiny ? grad_den * f32c(1.4142135623730951f) : R(0);
    grad_ti += grad_den_in * in.alpha4;
    grad_q -= grad_den_in * in.beta2;
    grad_D += grad_num * s.c * (s.qc + R(1));
    grad_c += grad_num * D * (s.qc + R(1));
    grad_qc += grad_num * (D * s.c);
    // sy0 = sz0 c; sz0 = D / 2 sqrt(max(ctc / max(2 (1 - qc)(q + 1), tiny), tiny))
    g.sz0 += g.sy0 * s.c;
    grad_c += g.sy0 * s.sz0;
    grad_D += g.sz0 * R(0.5) * s.sr;
    const R grad_sr = g.sz0 * (D * R(0.5));
    const R grad_r_in = sqrt_floor_grad(grad_sr, s.r_in, tiny, s.sr);
    R grad_ctc = grad_r_in / s.w;
    const R grad_w_in = s.w_in >= tiny ? -(grad_r_in * s.r_in) / s.w : R(0);
    grad_qc -= grad_w_in * R(2) * (s.q + R(1));
    grad_q += grad_w_in * ((R(1) - s.qc) * R(2));
    // qc = sqrt(max(1 - ctc, tiny)); ctc = clamp(ctv c, 0, 0.9999)
    grad_ctc -= sqrt_floor_grad(grad_qc, R(1) - s.ctc, tiny, s.qc);
    const R grad_ctc_in = (s.ctc_in >= R(0) && s.ctc_in <= ct_max) ? grad_ctc : R(0);
    R grad_ctv = grad_ctc_in * s.c;
    grad_c += grad_ctc_in * s.ctv;
    // q = sqrt(max(1 - ctv, tiny)); ctv = clamp(ct, 0, 0.9999)
    grad_ctv -= sqrt_floor_grad(grad_q, R(1) - s.ctv, tiny, s.q);
    if (ct >= R(0) && ct <= ct_max) grad_ct += grad_ctv;
    // c = cos(gr); gr = -yaw deg
    grad_gr -= std::sin(s.gr) * grad_c;
    grad_yaw += grad_gr * static_cast<R>(-kDegToRad);
}

// The deflection at receiver X and its gradient g_defl, back to X and the constants.
R deflection_at(const Inputs& in, const DeflectionSource& s, R x, R X) {
    const R tiny = f32c(1e-6f), a16 = f32c(1.6f);
    const R dx = X - x;
    R Phi = 0;
    if (s.phi != R(0)) {
        const R e = clamp_min(X - s.x0, R(0));
        const R sy = s.k * e + s.sy0;
        const R sz = s.k * e + s.sz0;
        const R rho = std::sqrt(clamp_min((sy * sz) / s.P0, tiny));
        const R num = (s.sM + a16) * (rho * a16 - s.sM);
        const R den = (a16 - s.sM) * (rho * a16 + s.sM);
        Phi = s.phi * log_v(clamp_min(num, tiny) / clamp_min(std::abs(den), tiny));
    }
    const R lin = dx * in.bd + in.ad;
    const R rn = clamp(dx / s.L1, R(0), R(1));
    const R mf = X > s.x0 ? R(1) : R(0);
    const R mn = (X >= x && X <= s.x0) ? R(1) : R(0);
    const R md = dx > R(0) ? R(1) : R(0);
    return (mn * (rn * s.delta0 + lin) + mf * ((s.delta0 + Phi) + lin)) * md;
}

void deflection_backward(const Inputs& in, const DeflectionSource& s, R x, R X, R grad_defl,
                         DeflectionSourceGrad& g, R& grad_x, R& grad_X) {
    const R tiny = f32c(1e-6f), a16 = f32c(1.6f);
    const R dx = X - x;
    if (!(dx > R(0))) return;
    const R grad_near = (X >= x && X <= s.x0) ? grad_defl : R(0);
    const R grad_far = X > s.x0 ? grad_defl : R(0);
    const R grad_lin = grad_near + grad_far;
    const R rn_in = dx / s.L1;
    const R rn = clamp(rn_in, R(0), R(1));
    const R grad_rn = grad_near * s.delta0;
    g.delta0 += grad_near * rn + grad_far;
    R grad_dx = grad_lin * in.bd;
    if (rn_in >= R(0) && rn_in <= R(1)) {
        grad_dx += grad_rn / s.L1;
        g.L1 -= (grad_rn * rn_in) / s.L1;
    }
    // Far-wake growth Phi = phi Lambda; its slope in theta matters even where
    // phi is 0 (no yaw).
    if (grad_far != R(0)) {
        const R e_in = X - s.x0;
        const R e = clamp_min(e_in, R(0));
        const R sy = s.k * e + s.sy0;
        const R sz = s.k * e + s.sz0;
        const R rho_in = (sy * sz) / s.P0;
        const R rho = std::sqrt(clamp_min(rho_in, tiny));
        const R num = (s.sM + a16) * (rho * a16 - s.sM);
        const R den = (a16 - s.sM) * (rho * a16 + s.sM);
        const R num_c = clamp_min(num, tiny);
        const R den_c = clamp_min(std::abs(den), tiny);
        const R ratio = num_c / den_c;
        const R Lambda = std::log(ratio);
        g.phi += grad_far * Lambda;
        const R grad_ratio = (grad_far * s.phi) / ratio;
        if (grad_ratio != R(0)) {
            const R grad_num = num >= tiny ? grad_ratio / den_c : R(0);
            const R sgn = den > R(0) ? R(1) : (den < R(0) ? R(-1) : R(0));
            const R grad_den = std::abs(den) >= tiny ? -(grad_ratio * ratio) / den_c * sgn : R(0);
            g.sM += grad_num * (rho * a16 - s.sM) - grad_num * (s.sM + a16);
            g.sM += -grad_den * (rho * a16 + s.sM) + grad_den * (a16 - s.sM);
            const R grad_rho = grad_num * (s.sM + a16) * a16 + grad_den * (a16 - s.sM) * a16;
            const R grad_rho_in = sqrt_floor_grad(grad_rho, rho_in, tiny, rho);
            const R grad_sy = grad_rho_in * sz / s.P0;
            const R grad_sz = grad_rho_in * sy / s.P0;
            g.P0 -= (grad_rho_in * rho_in) / s.P0;
            g.k += (grad_sy + grad_sz) * e;
            g.sy0 += grad_sy;
            g.sz0 += grad_sz;
            if (e_in >= R(0)) {
                const R grad_e = (grad_sy + grad_sz) * s.k;
                grad_X += grad_e;
                g.x0 -= grad_e;
            }
        }
    }
    grad_X += grad_dx;
    grad_x -= grad_dx;
}

// ---------------------------------------------------------------------------
// gauss_velocity_deficit: the per-source constants and their gradients.

struct DeficitSource {
    R c, ctv, q, sz0, sy0, x0_num, x0_den_in, x0_den, x0, x0_len_in, x0_len, snw_in, snw_root,
        snw, k, ct_c, DD;
};

struct DeficitSourceGrad {
    R sy0 = 0, sz0 = 0, snw = 0, k = 0, x0 = 0, x0_len = 0, ct_c = 0, DD = 0;
};

DeficitSource deficit_forward(const Inputs& in, R x, R ct, R yaw, R ti, R D) {
    const R tiny = f32c(1e-6f);
    DeficitSource s;
    s.c = std::cos(yaw * lit(kDegToRad));
    s.ctv = clamp(ct, R(0), f32c(0.9999f));
    s.q = std::sqrt(clamp_min(R(1) - s.ctv, tiny));
    s.sz0 = D * f32c(0.35355339059327373f);
    s.sy0 = s.sz0 * s.c;
    s.x0_num = (D * s.c) * (s.q + R(1));
    s.x0_den_in = ti * in.alpha4 + (R(1) - s.q) * in.beta2;
    s.x0_den = clamp_min(s.x0_den_in, tiny) * f32c(1.4142135623730951f);
    s.x0 = s.x0_num / s.x0_den + x;
    s.x0_len_in = s.x0 - x;
    s.x0_len = clamp_min(s.x0_len_in, R(1));
    s.snw_in = s.ctv / R(2);
    s.snw_root = std::sqrt(clamp_min(s.snw_in, tiny));
    s.snw = (D * f32c(0.501f)) * s.snw_root;
    s.k = ti * in.ka + in.kb;
    s.ct_c = s.ctv * s.c;
    s.DD = D * D;
    return s;
}

void deficit_source_backward(const Inputs& in, const DeficitSource& s, R ct, R yaw, R D,
                             DeficitSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                             R& grad_ti, R& grad_D) {
    const R tiny = f32c(1e-6f);
    if (s.x0_len_in >= R(1)) {
        g.x0 += g.x0_len;
        grad_x -= g.x0_len;
    }
    grad_D += g.DD * (D * R(2));
    R grad_ctv = g.ct_c * s.c;
    R grad_c = g.ct_c * s.ctv;
    grad_ti += g.k * in.ka;
    grad_D += g.snw * f32c(0.501f) * s.snw_root;
    grad_ctv += sqrt_floor_grad(g.snw * (D * f32c(0.501f)), s.snw_in, tiny, s.snw_root) / R(2);
    grad_x += g.x0;
    const R grad_num = g.x0 / s.x0_den;
    const R grad_den = -(g.x0 * s.x0_num) / (s.x0_den * s.x0_den);
    const R grad_den_in = s.x0_den_in >= tiny ? grad_den * f32c(1.4142135623730951f) : R(0);
    grad_ti += grad_den_in * in.alpha4;
    R grad_q = -grad_den_in * in.beta2;
    grad_D += grad_num * s.c * (s.q + R(1));
    grad_c += grad_num * D * (s.q + R(1));
    grad_q += grad_num * (D * s.c);
    g.sz0 += g.sy0 * s.c;
    grad_c += g.sy0 * s.sz0;
    grad_D += g.sz0 * f32c(0.35355339059327373f);
    grad_ctv -= sqrt_floor_grad(grad_q, R(1) - s.ctv, tiny, s.q);
    if (ct >= R(0) && ct <= f32c(0.9999f)) grad_ct += grad_ctv;
    grad_yaw += -std::sin(yaw * lit(kDegToRad)) * grad_c * lit(kDegToRad);
}


// The deficit's per-receiver values at receiver x X (every point of a rotor
// shares it), with their slopes in X: the op-by-op kernel takes x per point,
// so each point's x gradient is its own gradients times these slopes.
struct DeficitReceiver {
    R dx, rr_in, rr, e_in, e, m, sy, sz, s2y, s2z, gate, P_in, P, Q_in, root, amp;
    R slope_s2y, slope_s2z, slope_gate, slope_amp;
};

DeficitReceiver deficit_receiver(const Inputs& in, const DeficitSource& s, R x, R X) {
    const R tiny = f32c(1e-6f);
    DeficitReceiver d;
    d.dx = X - x;
    d.rr_in = d.dx / s.x0_len;
    d.rr = clamp(d.rr_in, R(0), R(1));
    const R one_r = R(1) - d.rr;
    const R sy_near = one_r * s.snw + d.rr * s.sy0;
    const R sz_near = one_r * s.snw + d.rr * s.sz0;
    d.e_in = X - s.x0;
    d.e = clamp_min(d.e_in, R(0));
    const R sy_far = s.k * d.e + s.sy0;
    const R sz_far = s.k * d.e + s.sz0;
    d.m = X >= s.x0 ? R(1) : R(0);
    const R one_m = R(1) - d.m;
    d.sy = d.m * sy_far + one_m * sy_near;
    d.sz = d.m * sz_far + one_m * sz_near;
    d.s2y = clamp_min(d.sy * d.sy, tiny);
    d.s2z = clamp_min(d.sz * d.sz, tiny);
    d.gate = R(1) / (exp_v(-(d.dx * in.sigmoid_k)) + R(1));
    d.P_in = ((d.sy * R(8)) * d.sz) / s.DD;
    d.P = clamp_min(d.P_in, tiny);
    d.Q_in = R(1) - s.ct_c / d.P;
    d.root = std::sqrt(clamp(d.Q_in, R(0), R(1)));
    d.amp = R(1) - d.root;

    const R slope_rr = (d.rr_in >= R(0) && d.rr_in <= R(1)) ? R(1) / s.x0_len : R(0);
    const R slope_e = d.e_in >= R(0) ? R(1) : R(0);
    const R slope_sy = d.m != R(0) ? s.k * slope_e : slope_rr * s.sy0 - slope_rr * s.snw;
    const R slope_sz = d.m != R(0) ? s.k * slope_e : slope_rr * s.sz0 - slope_rr * s.snw;
    d.slope_s2y = d.sy * d.sy >= tiny ? (d.sy * R(2)) * slope_sy : R(0);
    d.slope_s2z = d.sz * d.sz >= tiny ? (d.sz * R(2)) * slope_sz : R(0);
    d.slope_gate = (d.gate * (R(1) - d.gate)) * in.sigmoid_k;
    const R slope_P = d.P_in >= tiny ? ((slope_sy * d.sz + d.sy * slope_sz) * R(8)) / s.DD : R(0);
    const R slope_Q = (s.ct_c * slope_P) / (d.P * d.P);
    d.slope_amp = (d.Q_in >= R(0) && d.Q_in <= R(1)) ? -slope_Q / (d.root * R(2)) : R(0);
    return d;
}

// Sums over the receiver's points of the gradients of its per-receiver values,
// back to the source's constants and x (the receiver's x is done per point).
void deficit_receiver_backward(const DeficitSource& s, const DeficitReceiver& d, R grad_amp,
                               R grad_gate, R grad_s2y, R grad_s2z, DeficitSourceGrad& g,
                               R& grad_x, const Inputs& in) {
    const R tiny = f32c(1e-6f);
    R grad_sy = 0, grad_sz = 0, grad_dx = 0;
    // amp = 1 - sqrt(clamp(1 - ct_c / P, 0, 1)); P = max(8 sy sz / D^2, tiny)
    const R grad_Q = (d.Q_in >= R(0) && d.Q_in <= R(1)) ? -grad_amp / (d.root * R(2)) : R(0);
    if (grad_Q != R(0)) {
        g.ct_c -= grad_Q / d.P;
        const R grad_P = (grad_Q * s.ct_c) / (d.P * d.P);
        if (d.P_in >= tiny) {
            grad_sy += (grad_P * R(8)) * d.sz / s.DD;
            grad_sz += (grad_P * (d.sy * R(8))) / s.DD;
            g.DD -= (grad_P * d.P_in) / s.DD;
        }
    }
    // The logistic gate of dx k.
    grad_dx += grad_gate * (d.gate * (R(1) - d.gate)) * in.sigmoid_k;
    if (d.sy * d.sy >= tiny) grad_sy += grad_s2y * (d.sy * R(2));
    if (d.sz * d.sz >= tiny) grad_sz += grad_s2z * (d.sz * R(2));
    if (d.m != R(0)) {
        g.k += (grad_sy + grad_sz) * d.e;
        g.sy0 += grad_sy;
        g.sz0 += grad_sz;
        if (d.e_in >= R(0)) g.x0 -= (grad_sy + grad_sz) * s.k;
    } else {
        const R one_r = R(1) - d.rr;
        g.snw += (grad_sy + grad_sz) * one_r;
        g.sy0 += grad_sy * d.rr;
        g.sz0 += grad_sz * d.rr;
        const R grad_rr = grad_sy * s.sy0 + grad_sz * s.sz0 - (grad_sy + grad_sz) * s.snw;
        if (d.rr_in >= R(0) && d.rr_in <= R(1)) {
            grad_dx += grad_rr / s.x0_len;
            g.x0_len -= (grad_rr * d.rr_in) / s.x0_len;
        }
    }
    grad_x -= grad_dx;
}

// ---------------------------------------------------------------------------
// The transverse flow: the vortex rule, wake_added_yaw (secondary steering),
// gauss_transverse_velocities and yaw_added_turbulence_mixing (recovery).

// Cube-mean speed as the kernels form it, max(mean(u^3), 1e-20)^(1/3): the
// gradient g of it, added to the NN rotor velocities' gradients.
void kernel_rotor_speed_backward(const R* u, int64_t NN, R g, R* grad_u) {
    const R m3 = cube_mean(u, 1, NN);
    if (!(m3 >= f32c(1e-20f)) || g == R(0)) return;
    const R per_point = (g * pow_slope(m3, static_cast<double>(1.0f / 3.0f))) / static_cast<R>(NN);
    for (int64_t p = 0; p < NN; ++p) grad_u[p] += per_point * (R(3) * (u[p] * u[p]));
}

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

// wake_added_yaw at turbine i, reading the spanwise velocity v on its rotor
// (NN contiguous): for the gradient g of the added yaw, the gradients of its
// rotor velocities u, of v, of its points' y and z, of its thrust and
// induction, of its rotor-mean freestream speed and of its rotor-mean y.
// Its diameter and hub height enter as host scalars and get none.
struct AddedYawGrads {
    R ct = 0, a = 0, u_inf = 0, ybar = 0;
};

void added_yaw_backward(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                        R ct, R a, R g, R* grad_u, R* grad_v, R* grad_y, R* grad_z,
                        AddedYawGrads& out) {
    const int64_t S = cd.S, NN = cd.NN;
    const R u_inf = cd.u0bar[i];
    R v_sum = 0;
    for (int64_t p = 0; p < NN; ++p) v_sum += v[p];
    const R v_mean = v_sum / static_cast<R>(NN);
    const R u_eff = kernel_rotor_speed(u, 1, NN);
    const float d = static_cast<float>(in.rd.data_ptr<R>()[i]);
    const float h = static_cast<float>(in.hh.data_ptr<R>()[i]);
    const float eps = 0.2f * d;
    const R eps2 = static_cast<R>(eps * eps);
    const float z_top = std::fma(0.5f, d, h);
    const float z_bot = std::fma(-0.5f, d, h);
    const float h_safe = std::max(h, 1e-6f);
    const float vel_top = std::pow(std::max(z_top / h_safe, 1e-6f), in.shear_f);
    const float vel_bot = std::pow(std::max(z_bot / h_safe, 1e-6f), in.shear_f);
    const float gf = d * (kPiF / 8.0f);
    const R top_factor = static_cast<R>(gf * vel_top), bot_factor = static_cast<R>(-(vel_bot * gf));
    const R rot_factor = static_cast<R>(d * (kPiF / 2.0f));
    const R tau = static_cast<R>(std::max(in.tsr_f, 1e-6f));
    const R gamma_top = (u_inf * top_factor) * ct;
    const R gamma_bot = (u_inf * bot_factor) * ct;
    const R induction = a - a * a;
    const R gamma_rot = ((induction * rot_factor) * u_eff) / tau;

    const R* Y = cd.Y.data() + i;
    const R* Z = cd.Z.data() + i;
    const R ybar = cd.ybar[i];
    const R off = f32c(1e-5f);
    R s_top = 0, s_bot = 0, s_core = 0;
    for (int64_t p = 0; p < NN; ++p) {
        const R yl = (Y[p * S] - ybar) + off;
        const R y2 = yl * yl;
        const R zp = Z[p * S];
        s_top += vortex_eval(y2, yl, (zp - static_cast<R>(z_top)) + off, gamma_top, eps2).sp;
        s_bot += vortex_eval(y2, yl, (zp - static_cast<R>(z_bot)) + off, gamma_bot, eps2).sp;
        s_core += vortex_eval(y2, yl, (zp - static_cast<R>(h)) + off, gamma_rot, eps2).sp;
    }
    const R v_top = s_top / static_cast<R>(NN);
    const R v_bot = s_bot / static_cast<R>(NN);
    const R v_core = s_core / static_cast<R>(NN);
    const R s = v_top + v_bot;
    const bool s_used = std::abs(s) > f32c(1e-10f);
    const R den = s_used ? s : f32c(1e-10f);
    const R ratio_in = ((v_mean - v_core) * R(2)) / den;
    const R bound = f32c(0.999999f);
    const R ratio = clamp(ratio_in, -bound, bound);

    // result = (asin(ratio) 0.5) 180 / pi; ratio = clamp(2 (v_mean - v_core) / den)
    const R g_asin = (g * f32c(180.0f / kPiF)) * R(0.5);
    const R g_ratio = g_asin / std::sqrt(R(1) - ratio * ratio);
    const R g_ratio_in = (ratio_in >= -bound && ratio_in <= bound) ? g_ratio : R(0);
    if (g_ratio_in == R(0)) return;
    const R g_diff = (g_ratio_in / den) * R(2);
    const R g_s = s_used ? -(g_ratio_in * ratio_in) / den : R(0);
    const R g_point_mean = g_diff / static_cast<R>(NN);
    const R g_top_point = g_s / static_cast<R>(NN), g_core_point = -g_point_mean;
    R g_gamma_top = 0, g_gamma_bot = 0, g_gamma_rot = 0, g_ybar = 0;
    for (int64_t p = 0; p < NN; ++p) {
        grad_v[p] += g_point_mean;
        const R yl = (Y[p * S] - ybar) + off;
        const R y2 = yl * yl;
        const R zp = Z[p * S];
        const R zeta_top = (zp - static_cast<R>(z_top)) + off;
        const R zeta_bot = (zp - static_cast<R>(z_bot)) + off;
        const R zeta_core = (zp - static_cast<R>(h)) + off;
        const VortexGrad top = vortex_grad(vortex_eval(y2, yl, zeta_top, gamma_top, eps2), yl,
                                           zeta_top, gamma_top, eps2, g_top_point, 0);
        const VortexGrad bot = vortex_grad(vortex_eval(y2, yl, zeta_bot, gamma_bot, eps2), yl,
                                           zeta_bot, gamma_bot, eps2, g_top_point, 0);
        const VortexGrad core = vortex_grad(vortex_eval(y2, yl, zeta_core, gamma_rot, eps2), yl,
                                            zeta_core, gamma_rot, eps2, g_core_point, 0);
        g_gamma_top += top.gamma;
        g_gamma_bot += bot.gamma;
        g_gamma_rot += core.gamma;
        const R g_yl = (top.yl + bot.yl + core.yl) + (top.y2 + bot.y2 + core.y2) * (yl * R(2));
        grad_y[p] += g_yl;
        g_ybar -= g_yl;
        grad_z[p] += top.zeta + bot.zeta + core.zeta;
    }
    out.ybar += g_ybar;
    out.u_inf += (g_gamma_top * ct) * top_factor + (g_gamma_bot * ct) * bot_factor;
    out.ct += g_gamma_top * (u_inf * top_factor) + g_gamma_bot * (u_inf * bot_factor);
    const R g_rot_num = g_gamma_rot / tau;
    const R g_induction = (g_rot_num * u_eff) * rot_factor;
    out.a += g_induction - g_induction * (a * R(2));
    kernel_rotor_speed_backward(u, NN, g_rot_num * (induction * rot_factor), grad_u);
}

// yaw_added_turbulence_mixing at turbine i: for the gradient g of the mixing
// term, the gradients of its rotor velocities u, of its turbulence ti, and of
// the spanwise and vertical velocities it read (the input field's and the
// accumulated ones share one gradient, g_vw: NN values each).
void mixing_backward(const CaseData& cd, int64_t i, const R* u, R ti,
                     const R* V, const R* W, R g, R* grad_u, R& grad_ti, R* grad_v, R* grad_w) {
    const int64_t NN = cd.NN;
    const R u_eff = kernel_rotor_speed(u, 1, NN);
    const R ui = u_eff * ti;
    const R two_thirds = f32c(2.0f / 3.0f);
    const R k = (ui * ui) / two_thirds;
    const R k2 = k * R(2);
    const R u_t = std::sqrt(clamp_min(k2, R(0)));
    const R* v_in = cd.v_in + i * NN;
    const R* w_in = cd.w_in + i * NN;
    R sv = 0, sw = 0;
    for (int64_t p = 0; p < NN; ++p) {
        sv += v_in[p] + V[p];
        sw += w_in[p] + W[p];
    }
    const R vm = sv / static_cast<R>(NN);
    const R wm = sw / static_cast<R>(NN);
    const R k_total = ((u_t * u_t + vm * vm) + wm * wm) * R(0.5);
    const R num = std::sqrt(clamp_min(k_total, R(0)) * two_thirds);
    const R den = clamp_min(u_eff, f32c(1e-6f));
    const R ti_total = num / den;

    // mix = ti_total - ti; ti_total = sqrt(max(k_total, 0) 2/3) / max(u_eff, 1e-6)
    grad_ti -= g;
    R g_u_eff = u_eff >= f32c(1e-6f) ? -(g * ti_total) / den : R(0);
    const R g_k_total = k_total >= R(0) ? ((g / den) / (num * R(2))) * two_thirds : R(0);
    const R g_half = g_k_total * R(0.5);
    const R g_vm = g_half * (vm * R(2)), g_wm = g_half * (wm * R(2));
    for (int64_t p = 0; p < NN; ++p) {
        grad_v[p] += g_vm / static_cast<R>(NN);
        grad_w[p] += g_wm / static_cast<R>(NN);
    }
    // u_t = sqrt(max(2 k, 0)); k = (u_eff ti)^2 / (2/3)
    const R g_k2 = k2 >= R(0) ? (g_half * (u_t * R(2))) / (u_t * R(2)) : R(0);
    const R g_ui = ((g_k2 * R(2)) / two_thirds) * (ui * R(2));
    g_u_eff += g_ui * ti;
    grad_ti += g_ui * u_eff;
    kernel_rotor_speed_backward(u, NN, g_u_eff, grad_u);
}

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

// One row of points (one p) of receivers [lo, hi). Every array is a
// restrict parameter, so that the loop vectorises.
SORBANE_INLINE void vortex_row_backward(
    int64_t lo, int64_t hi, R yi, R H, R half_d, R d8, R eps2, R shear, R u_inf, R g_top,
    R g_bot, R g_rot, const R* __restrict Y, const R* __restrict Z, const R* __restrict U0,
    const R* __restrict gV, const R* __restrict gW, const R* __restrict dxt,
    const R* __restrict mt, R* __restrict gY, R* __restrict gZ, R* __restrict gU0,
    R* __restrict l_dx, R* __restrict l_y, R* __restrict l_H, R* __restrict l_half,
    R* __restrict l_d8, R* __restrict l_eps2, R* __restrict l_uinf, R* __restrict l_top,
    R* __restrict l_bot, R* __restrict l_rot) {
    const R off = f32c(1e-5f);
    for (int64_t r = lo; r < hi; ++r) {
        const bool in_wake = mt[r] != R(0);
        const R yl = (Y[r] - yi) + off;
        const R y2 = yl * yl;
        const R z = Z[r];
        const R kz = z * f32c(0.41f);
        const R ml_den = kz / d8 + R(1);
        const R ml = kz / ml_den;
        const R z_safe = clamp_min(z, f32c(1e-4f));
        const R dudz = (U0[r] * shear) / z_safe;
        const R abs_dudz = std::abs(dudz);
        const R nu = (ml * ml) * abs_dudz;
        const R spread = ((nu * R(4)) * dxt[r]) / u_inf;
        const R t = spread + eps2;
        const R t_safe = clamp_min(t, f32c(1e-20f));
        const R decay = eps2 / t_safe;
        const R zh = z - H, zh_img = z + H;
        const R z_top = (zh - half_d) + off, z_bot = (zh + half_d) + off;
        const R z_top_img = (zh_img + half_d) + off, z_bot_img = (zh_img - half_d) + off;
        const R z_rot = zh + off, z_rot_img = zh_img + off;
        // The vertical sum decides the upwash clamp: W += max(w m, 0).
        const Vortex f1 = vortex_eval(y2, yl, z_top, g_top, eps2);
        const Vortex f2 = vortex_eval(y2, yl, z_bot, g_bot, eps2);
        const Vortex f3 = vortex_eval(y2, yl, z_top_img, -g_top, eps2);
        const Vortex f4 = vortex_eval(y2, yl, z_bot_img, -g_bot, eps2);
        const Vortex f5 = vortex_eval(y2, yl, z_rot, g_rot, eps2);
        const Vortex f6 = vortex_eval(y2, yl, z_rot_img, -g_rot, eps2);
        const R w = (((((f1.vt * decay + f2.vt * decay) + f3.vt * decay) + f4.vt * decay) +
                      f5.vt * decay) + f6.vt * decay);
        // Products with the 0/1 mask rather than selects: a select of a load
        // becomes a branch the loop cannot vectorise.
        const R upwash = w * mt[r] >= R(0) ? R(1) : R(0);
        const R g_v = gV[r] * mt[r];
        const R g_w = (gW[r] * mt[r]) * upwash;
        const R g_sp = g_v * decay, g_vt = g_w * decay;
        const VortexGrad b1 = vortex_grad(f1, yl, z_top, g_top, eps2, g_sp, g_vt);
        const VortexGrad b2 = vortex_grad(f2, yl, z_bot, g_bot, eps2, g_sp, g_vt);
        const VortexGrad b3 = vortex_grad(f3, yl, z_top_img, -g_top, eps2, g_sp, g_vt);
        const VortexGrad b4 = vortex_grad(f4, yl, z_bot_img, -g_bot, eps2, g_sp, g_vt);
        const VortexGrad b5 = vortex_grad(f5, yl, z_rot, g_rot, eps2, g_sp, g_vt);
        const VortexGrad b6 = vortex_grad(f6, yl, z_rot_img, -g_rot, eps2, g_sp, g_vt);
        const R g_decay = g_v * (((((f1.sp + f2.sp) + f3.sp) + f4.sp) + f5.sp) + f6.sp) +
                          g_w * (((((f1.vt + f2.vt) + f3.vt) + f4.vt) + f5.vt) + f6.vt);
        const R g_yl = (((((b1.yl + b2.yl) + b3.yl) + b4.yl) + b5.yl) + b6.yl) +
                       (((((b1.y2 + b2.y2) + b3.y2) + b4.y2) + b5.y2) + b6.y2) * (yl * R(2));
        const R g_zh = (b1.zeta + b2.zeta) + b5.zeta;
        const R g_zh_img = (b3.zeta + b4.zeta) + b6.zeta;
        const R g_half = ((b2.zeta + b3.zeta) - b1.zeta) - b4.zeta;
        R g_eps2 = (((((b1.eps2 + b2.eps2) + b3.eps2) + b4.eps2) + b5.eps2) + b6.eps2);
        // decay = eps2 / max(((nu 4) dx) / u_inf + eps2, 1e-20)
        g_eps2 += g_decay / t_safe;
        const R g_t = t >= f32c(1e-20f) ? -(g_decay * decay) / t_safe : R(0);
        g_eps2 += g_t;
        const R g_nu = (g_t * dxt[r]) * R(4) / u_inf;
        const R g_dx = (g_t * (nu * R(4))) / u_inf;
        const R g_uinf = -(g_t * spread) / u_inf;
        // nu = ml^2 |dudz|; dudz = (u0 shear) / max(z, 1e-4)
        const R g_ml = (g_nu * abs_dudz) * (ml * R(2));
        const R sgn = dudz > R(0) ? R(1) : (dudz < R(0) ? R(-1) : R(0));
        const R g_dudz = (g_nu * (ml * ml)) * sgn;
        const R g_u0 = (g_dudz * shear) / z_safe;
        R g_z = g_zh + g_zh_img;
        g_z += z >= f32c(1e-4f) ? -(g_dudz * dudz) / z_safe : R(0);
        // ml = kz / (kz / d8 + 1); kz = 0.41 z
        const R g_ml_den = -(g_ml * ml) / ml_den;
        const R g_kz = g_ml / ml_den + g_ml_den / d8;
        g_z += g_kz * f32c(0.41f);
        const R g_d8 = -(g_ml_den * (kz / d8)) / d8;

        gY[r] += in_wake ? g_yl : R(0);
        gZ[r] += in_wake ? g_z : R(0);
        gU0[r] += in_wake ? g_u0 : R(0);
        l_dx[r] += in_wake ? g_dx : R(0);
        l_y[r] += in_wake ? -g_yl : R(0);
        l_H[r] += in_wake ? g_zh_img - g_zh : R(0);
        l_half[r] += in_wake ? g_half : R(0);
        l_d8[r] += in_wake ? g_d8 : R(0);
        l_eps2[r] += in_wake ? g_eps2 : R(0);
        l_uinf[r] += in_wake ? g_uinf : R(0);
        l_top[r] += in_wake ? b1.gamma - b3.gamma : R(0);
        l_bot[r] += in_wake ? b2.gamma - b4.gamma : R(0);
        l_rot[r] += in_wake ? b5.gamma - b6.gamma : R(0);
    }
}

SORBANE_HOT void vortex_points_backward(int64_t S, int64_t NN, int64_t lo, int64_t hi, R yi, R H,
                                        R half_d, R d8, R eps2, R shear, R u_inf, R g_top, R g_bot,
                                        R g_rot, const R* Yp, const R* Zp, const R* U0p,
                                        const R* gVp, const R* gWp, R* gYp, R* gZp, R* gU0p,
                                        TransverseLanes& l) {
    for (int64_t p = 0; p < NN; ++p) {
        const int64_t o = p * S;
        vortex_row_backward(lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot, g_rot,
                            Yp + o, Zp + o, U0p + o, gVp + o, gWp + o, l.dx.data(),
                            l.mask.data(), gYp + o, gZp + o, gU0p + o, l.grad_dx.data(),
                            l.y.data(), l.H.data(), l.half_d.data(), l.d8.data(), l.eps2.data(),
                            l.u_inf.data(), l.top.data(), l.bot.data(), l.rot.data());
    }
}

struct TransverseGrads {
    R x = 0, y = 0, H = 0, D = 0, ct = 0, a = 0, yaw = 0, u_inf = 0;
};

// The source's circulations and vortex constants as transverse() forms them,
// and the gradients of all its inputs (u: its rotor velocities).
void transverse_backward(const Inputs& in, const CaseData& cd, R x, R y, R H, R D,
                         R ct, R a, R yaw, const R* u, const R* grad_V, const R* grad_W,
                         R* grad_Y, R* grad_Z, R* grad_U0, R* grad_xbar, R* grad_u,
                         TransverseLanes& lanes, TransverseGrads& out) {
    const int64_t T = cd.T, NN = cd.NN, S = cd.S;
    lanes.reset(S);
    int64_t lo = T, hi = 0;
    for (int64_t r = 0; r < T; ++r) {
        lanes.dx[r] = cd.xbar[r] - x;
        const bool m = lanes.dx[r] >= R(0);
        lanes.mask[r] = m ? R(1) : R(0);
        if (m) {
            lo = std::min(lo, r);
            hi = r + 1;
        }
    }
    if (lo >= hi) return;

    const R tiny = f32c(1e-6f);
    const R yr = yaw * lit(kDegToRad);
    const R sn = std::sin(yr), cs = std::cos(yr);
    const R h_safe = clamp_min(H, tiny);
    const R top_ratio = (H + D / R(2)) / h_safe;
    const R bot_raw = H - D / R(2);
    const R bot_ratio = clamp_min(bot_raw, tiny) / h_safe;
    const R vel_top = pow_scalar(top_ratio, in.shear);
    const R vel_bot = pow_scalar(bot_ratio, in.shear);
    const R pi8 = f32c(kPiF / 8.0f), pi2 = f32c(kPiF / 2.0f);
    const R base_top = ((D * pi8) * vel_top) * cd.u_inf;
    const R base_bot = ((D * pi8) * vel_bot) * cd.u_inf;
    const R sc_top = sn * cs, sc_bot = -sn * cs;
    const R g_top = sc_top * (base_top * ct);
    const R g_bot = sc_bot * (base_bot * ct);
    const R u_eff = kernel_rotor_speed(u, 1, NN);
    const R induction = a - a * a;
    const R rot_num = (D * pi2) * induction;
    const R tsr = clamp_min(in.tsr, tiny);
    const R g_rot = (rot_num * u_eff) / tsr;
    const R eps_gain = static_cast<R>(narrow(0.2));
    const R eps = D * eps_gain;
    vortex_points_backward(S, NN, lo, lo + padded(hi - lo), y, H, D / R(2), D / R(8), eps * eps,
                           static_cast<R>(in.shear), cd.u_inf, g_top, g_bot, g_rot, cd.Y.data(),
                           cd.Z.data(), cd.U0.data(), grad_V, grad_W, grad_Y, grad_Z, grad_U0,
                           lanes);

    R g_y = 0, g_H = 0, g_half = 0, g_d8 = 0, g_eps2 = 0, g_uinf = 0, g_gtop = 0, g_gbot = 0,
      g_grot = 0;
    for (int64_t r = lo; r < hi; ++r) {
        if (lanes.mask[r] == R(0)) continue;
        grad_xbar[r] += lanes.grad_dx[r];
        out.x -= lanes.grad_dx[r];
        g_y += lanes.y[r];
        g_H += lanes.H[r];
        g_half += lanes.half_d[r];
        g_d8 += lanes.d8[r];
        g_eps2 += lanes.eps2[r];
        g_uinf += lanes.u_inf[r];
        g_gtop += lanes.top[r];
        g_gbot += lanes.bot[r];
        g_grot += lanes.rot[r];
    }
    out.y += g_y;
    // eps = D 0.2, the core's size; half_d = D / 2 and d8 = D / 8.
    R g_D = (g_eps2 * (eps * R(2))) * eps_gain + g_half / R(2) + g_d8 / R(8);
    // Wake rotation: ((D pi/2)(a - a^2) u_eff) / max(tsr, 1e-6)
    const R g_rot_num = (g_grot / tsr) * u_eff;
    kernel_rotor_speed_backward(u, NN, (g_grot / tsr) * rot_num, grad_u);
    g_D += (g_rot_num * induction) * pi2;
    const R g_induction = g_rot_num * (D * pi2);
    out.a += g_induction - g_induction * (a * R(2));
    // Top and bottom: (+-sin cos) ((D pi/8) vel u_inf ct)
    R g_sn = (g_gtop * (base_top * ct)) * cs - (g_gbot * (base_bot * ct)) * cs;
    R g_cs = (g_gtop * (base_top * ct)) * sn + (g_gbot * (base_bot * ct)) * (-sn);
    const R g_base_top = (g_gtop * sc_top) * ct, g_base_bot = (g_gbot * sc_bot) * ct;
    out.ct += (g_gtop * sc_top) * base_top + (g_gbot * sc_bot) * base_bot;
    g_uinf += g_base_top * ((D * pi8) * vel_top) + g_base_bot * ((D * pi8) * vel_bot);
    const R g_Dv_top = g_base_top * cd.u_inf, g_Dv_bot = g_base_bot * cd.u_inf;
    g_D += (g_Dv_top * vel_top + g_Dv_bot * vel_bot) * pi8;
    const R g_vel_top = g_Dv_top * (D * pi8), g_vel_bot = g_Dv_bot * (D * pi8);
    // vel_top = ((H + D/2) / max(H, tiny))^shear; vel_bot = (max(H - D/2, tiny) / max(H, tiny))^shear
    const R g_top_ratio = g_vel_top * pow_slope(top_ratio, in.shear);
    const R g_bot_ratio = g_vel_bot * pow_slope(bot_ratio, in.shear);
    g_H += g_top_ratio / h_safe;
    g_D += (g_top_ratio / h_safe) / R(2);
    R g_h_safe = -(g_top_ratio * top_ratio) / h_safe - (g_bot_ratio * bot_ratio) / h_safe;
    if (bot_raw >= tiny) {
        g_H += g_bot_ratio / h_safe;
        g_D -= (g_bot_ratio / h_safe) / R(2);
    }
    if (H >= tiny) g_H += g_h_safe;
    out.yaw += (g_sn * cs - g_cs * sn) * lit(kDegToRad);
    out.H += g_H;
    out.D += g_D;
    out.u_inf += g_uinf;
}

// ---------------------------------------------------------------------------
// One flow case.

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

// The reverse of the superposition and of gauss_velocity_deficit's Gaussian at
// every point of the packed receivers: grad_A (the combined deficit after the
// wake) becomes the gradient before it; the points' gradients are written,
// the per-receiver ones summed over the points.
SORBANE_HOT void deficit_points_backward(int64_t NN, int64_t Kp, R H, const R* __restrict yc,
                                         const R* __restrict s2y, const R* __restrict s2z,
                                         const R* __restrict amp, const R* __restrict gate,
                                         const R* __restrict slope_amp,
                                         const R* __restrict slope_gate,
                                         const R* __restrict slope_s2y,
                                         const R* __restrict slope_s2z, const R* __restrict Yp,
                                         const R* __restrict Zp, const R* __restrict U0p,
                                         const R* __restrict a_before_p, R* __restrict grad_A_p,
                                         R* __restrict grad_u0_p, R* __restrict grad_x_p,
                                         R* __restrict grad_y_p, R* __restrict grad_z_p,
                                         R* __restrict sum_amp, R* __restrict sum_gate,
                                         R* __restrict sum_s2y, R* __restrict sum_s2z,
                                         R* __restrict sum_yc, R* __restrict sum_H) {
    for (int64_t k = 0; k < Kp; ++k) {
        sum_amp[k] = sum_gate[k] = sum_s2y[k] = sum_s2z[k] = sum_yc[k] = sum_H[k] = R(0);
    }
    for (int64_t p = 0; p < NN; ++p) {
        const R* __restrict Y = Yp + p * Kp;
        const R* __restrict Z = Zp + p * Kp;
        const R* __restrict U0 = U0p + p * Kp;
        const R* __restrict a_before = a_before_p + p * Kp;
        R* __restrict grad_A = grad_A_p + p * Kp;
        R* __restrict grad_u0 = grad_u0_p + p * Kp;
        R* __restrict grad_x = grad_x_p + p * Kp;
        R* __restrict grad_y = grad_y_p + p * Kp;
        R* __restrict grad_z = grad_z_p + p * Kp;
        for (int64_t k = 0; k < Kp; ++k) {
            const R dy = Y[k] - yc[k];
            const R dz = Z[k] - H;
            const R G = exp_v(((dy * dy) / s2y[k] + (dz * dz) / s2z[k]) * R(-0.5));
            const R amp_G = amp[k] * G;
            const R amp_G_gate = amp_G * gate[k];
            const R def = amp_G_gate * U0[k];
            const R a_old = a_before[k];
            const R arg = a_old * a_old + def * def;
            const R a_new = std::sqrt(clamp_min(arg, lit(1e-20)));
            // A = sqrt(max(A^2 + D^2, 1e-20))
            const R grad_arg = arg >= lit(1e-20) ? grad_A[k] / (a_new * R(2)) : R(0);
            grad_A[k] = grad_arg * (a_old * R(2));
            const R grad_def = grad_arg * (def * R(2));
            // D = ((amp G) gate) u0
            grad_u0[k] = grad_def * amp_G_gate;
            const R grad_amp_G = (grad_def * U0[k]) * gate[k];
            const R grad_gate = (grad_def * U0[k]) * amp_G;
            const R grad_amp = grad_amp_G * G;
            // G = exp(-(dy^2 / s2y + dz^2 / s2z) / 2)
            const R grad_q = (grad_amp_G * amp[k]) * G * R(-0.5);
            const R grad_dy = (grad_q * (dy * R(2))) / s2y[k];
            const R grad_dz = (grad_q * (dz * R(2))) / s2z[k];
            const R grad_s2y = -(grad_q * (dy * dy)) / (s2y[k] * s2y[k]);
            const R grad_s2z = -(grad_q * (dz * dz)) / (s2z[k] * s2z[k]);
            grad_y[k] = grad_dy;
            grad_z[k] = grad_dz;
            grad_x[k] = grad_amp * slope_amp[k] + grad_gate * slope_gate[k] +
                        grad_s2y * slope_s2y[k] + grad_s2z * slope_s2z[k];
            sum_yc[k] -= grad_dy;
            sum_H[k] -= grad_dz;
            sum_amp[k] += grad_amp;
            sum_gate[k] += grad_gate;
            sum_s2y[k] += grad_s2y;
            sum_s2z[k] += grad_s2z;
        }
    }
}

struct ReverseWork {
    PackedReceivers packed;
    TransverseLanes lanes;
    // Point-major (p * S + r), as the case's fields: the accumulated
    // transverse velocities and the points' y, z and freestream speed.
    std::vector<R> grad_V, grad_W, grad_Y, grad_Z, grad_U0;
    // NN values on one rotor: the transverse velocities its recovery or its
    // added yaw read, and its points' y and z as the added yaw saw them.
    std::vector<R> grad_v_read, grad_w_read, grad_y_rotor, grad_z_rotor;
    std::vector<R> grad_A;      // r * NN + p: the combined deficit
    std::vector<R> grad_TI;     // per turbine
    std::vector<R> grad_xbar, grad_ybar;
    std::vector<R> u, grad_u;   // the source's rotor velocities and their gradients
    std::vector<int64_t> entry; // the tape entry of each receiver of the current source, or -1
};

struct CaseGrads {
    R *x, *y, *z, *u0;  // (T, NN)
    R *v_in, *w_in;     // (T, NN), recovery only
    R *yaw, *tilt, *rd, *hh;
    R *ws, *ct;         // (n_table)
    R* amb;
};

void reverse_case(const Inputs& in, const CaseData& cd, const SequentialTape& tape,
                  const std::vector<R>& A, const std::vector<R>& TI, const R* grad_u_out,
                  const R* grad_ti_out, const R* grad_v_out, const R* grad_w_out,
                  const TransverseRecord& rec, ReverseWork& rw, const CaseGrads& out) {
    const int64_t T = in.T, NN = in.NN, S = cd.S;
    const R* rd = in.rd.data_ptr<R>();
    const R* hh = in.hh.data_ptr<R>();
    rw.grad_A.assign(T * NN, R(0));
    rw.grad_TI.assign(T, R(0));
    rw.grad_xbar.assign(T, R(0));
    rw.grad_ybar.assign(T, R(0));
    rw.u.resize(NN);
    rw.grad_u.resize(NN);
    rw.entry.assign(T, -1);
    R grad_amb = 0, grad_u_inf = 0;
    const bool transverse = in.transverse, steering = in.steering, recovery = in.recovery;
    if (transverse || steering) {
        for (auto* v : {&rw.grad_V, &rw.grad_W, &rw.grad_Y, &rw.grad_Z, &rw.grad_U0})
            v->assign(S * NN, R(0));
        for (auto* v : {&rw.grad_v_read, &rw.grad_w_read, &rw.grad_y_rotor, &rw.grad_z_rotor})
            v->resize(NN);
    }
    // The transverse fields are their running sums.
    for (int64_t r = 0; r < T && transverse; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            if (grad_v_out) rw.grad_V[p * S + r] = grad_v_out[r * NN + p];
            if (grad_w_out) rw.grad_W[p * S + r] = grad_w_out[r * NN + p];
        }
    }

    // u = max(u0 - A, 1e-6) and the turbulence laid on every point.
    for (int64_t r = 0; r < T; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            const int64_t k = r * NN + p;
            if (grad_u_out) {
                const R g = grad_u_out[k];
                if (cd.U0[p * S + r] - A[p * S + r] >= lit(1e-6)) {
                    out.u0[k] += g;
                    rw.grad_A[k] -= g;
                }
            }
            if (grad_ti_out) rw.grad_TI[r] += grad_ti_out[k];
        }
    }

    const R amb = cd.amb, amb_sq = cd.amb_sq;
    const R ti_floor = std::sqrt(clamp_min(R(0) * R(0) + amb_sq, lit(1e-6)));
    for (int64_t i = T - 1; i >= 0; --i) {
        const int64_t e0 = tape.first[i], e1 = tape.first[i + 1];
        const R* u_raw = tape.u_raw.data() + i * NN;
        R* u = rw.u.data();
        for (int64_t p = 0; p < NN; ++p) u[p] = i == 0 ? u_raw[p] : clamp_min(u_raw[p], lit(1e-6));
        const R yaw = cd.yaw[i], tilt = cd.tilt[i];
        const OperatingPointTape op = operating_point_forward(in, u, NN, yaw, tilt);
        const R x = cd.xbar[i], y = cd.ybar[i], D = rd[i], H = hh[i];
        // The deflection sees the steered yaw and the turbulence before the
        // recovery, the deficit the raw yaw and the turbulence after it.
        const R ti = tape.ti_before[i * T + i];
        const R ti_after = recovery ? rec.ti_recovered[i] : ti;
        const R yaw_eff = steering ? rec.yaw_eff[i] : yaw;
        R grad_ct = 0, grad_a = 0, grad_yaw = 0, grad_tilt = 0, grad_ti = 0, grad_D = 0,
          grad_H = 0, grad_x = 0, grad_y = 0, grad_yaw_eff = 0, grad_ti_after = 0;

        // Turbulence: TI_r = maximum(TI_r, sqrt(max(c^2 + amb^2, 1e-6))) at
        // every receiver, c = 0 where the wake adds none.
        for (int64_t e = e0; e < e1; ++e) rw.entry[tape.receiver[e]] = e;
        const R aa = pow_scalar(clamp_min(op.a, lit(1e-6)), in.ch_ai_exp);
        const R ch_g = (aa * in.ch_constant) * cd.ch_t0;
        for (int64_t r = 0; r < T; ++r) {
            const R before = r == i ? ti_after : tape.ti_before[i * T + r];
            R c = 0, dist = 0, b_in = 0, overlap = 0;
            const int64_t e = rw.entry[r];
            if (e >= 0) {
                const R X = cd.xbar[r];
                const R dx = X - x;
                overlap = tape.count[e] / static_cast<R>(NN);
                const bool reached = overlap > R(0) && dx > lit(0.1) && X > x &&
                                     std::abs(y - cd.ybar[r]) < D * R(2) && X <= x + D * R(15);
                if (reached) {
                    b_in = dx / D;
                    dist = pow_scalar(clamp_min(b_in, lit(1e-6)), in.ch_downstream);
                    c = overlap * (ch_g * dist);
                } else {
                    overlap = 0;
                }
            }
            const R arg = c * c + amb_sq;
            const R t = e >= 0 ? std::sqrt(clamp_min(arg, lit(1e-6))) : ti_floor;
            const R g = rw.grad_TI[r];
            const R share = before == t ? g / R(2) : g;
            rw.grad_TI[r] = before < t ? R(0) : share;
            const R grad_t = before > t ? R(0) : share;
            if (grad_t == R(0)) continue;
            const R grad_arg = sqrt_floor_grad(grad_t, e >= 0 ? arg : amb_sq, lit(1e-6), t);
            grad_amb += grad_arg * (amb * R(2));
            if (overlap == R(0)) continue;
            // c = overlap (constant a^ai_exp ti0^initial) (dx / D)^downstream
            const R grad_ti_add = (grad_arg * (c * R(2))) * overlap;
            const R grad_ch_g = grad_ti_add * dist;
            const R grad_dist = grad_ti_add * ch_g;
            if (op.a >= lit(1e-6))
                grad_a += grad_ch_g * cd.ch_t0 * in.ch_constant * pow_slope(op.a, in.ch_ai_exp);
            if (amb >= lit(1e-6))
                grad_amb += grad_ch_g * (aa * in.ch_constant) * pow_slope(amb, in.ch_initial);
            if (b_in >= lit(1e-6)) {
                const R grad_b = grad_dist * pow_slope(b_in, in.ch_downstream);
                const R grad_dx = grad_b / D;
                grad_D -= (grad_b * b_in) / D;
                rw.grad_xbar[r] += grad_dx;
                grad_x -= grad_dx;
            }
        }
        for (int64_t e = e0; e < e1; ++e) rw.entry[tape.receiver[e]] = -1;

        // The combined deficit at the receivers the wake changed:
        // A = sqrt(max(A^2 + D^2, 1e-20)).
        if (e1 > e0) {
            const DeflectionSource ds = deflection_forward(in, x, op.ct, yaw_eff, ti, D);
            const DeficitSource vs = deficit_forward(in, x, op.ct, yaw, ti_after, D);
            DeflectionSourceGrad g_defl;
            DeficitSourceGrad g_def;
            const int64_t K = e1 - e0;
            PackedReceivers& pk = rw.packed;
            pk.resize(K, NN);
            const int64_t Kp = pk.Kp;
            for (int64_t k = 0; k < K; ++k) {
                const int64_t e = e0 + k, r = tape.receiver[e];
                pk.yc[k] = y + deflection_at(in, ds, x, cd.xbar[r]);
                const DeficitReceiver& d = pk.receiver[k] = deficit_receiver(in, vs, x, cd.X[r]);
                pk.s2y[k] = d.s2y;
                pk.s2z[k] = d.s2z;
                pk.amp[k] = d.amp;
                pk.gate[k] = d.gate;
                pk.slope_amp[k] = d.slope_amp;
                pk.slope_gate[k] = d.slope_gate;
                pk.slope_s2y[k] = d.slope_s2y;
                pk.slope_s2z[k] = d.slope_s2z;
                for (int64_t p = 0; p < NN; ++p) {
                    const int64_t j = p * S + r, q = p * Kp + k;
                    pk.Y[q] = cd.Y[j];
                    pk.Z[q] = cd.Z[j];
                    pk.U0[q] = cd.U0[j];
                    pk.a_before[q] = tape.a_before[e * NN + p];
                    pk.grad_A[q] = rw.grad_A[r * NN + p];
                }
            }
            // Spare lanes: the gradient 0, every value finite.
            for (int64_t p = 0; p < NN; ++p) {
                for (int64_t k = K; k < Kp; ++k) pk.grad_A[p * Kp + k] = R(0);
            }
            deficit_points_backward(NN, Kp, H, pk.yc.data(), pk.s2y.data(), pk.s2z.data(),
                                    pk.amp.data(), pk.gate.data(), pk.slope_amp.data(),
                                    pk.slope_gate.data(), pk.slope_s2y.data(),
                                    pk.slope_s2z.data(), pk.Y.data(), pk.Z.data(), pk.U0.data(),
                                    pk.a_before.data(), pk.grad_A.data(), pk.grad_u0.data(),
                                    pk.grad_x.data(), pk.grad_y.data(), pk.grad_z.data(),
                                    pk.sum_amp.data(), pk.sum_gate.data(), pk.sum_s2y.data(),
                                    pk.sum_s2z.data(), pk.sum_yc.data(), pk.sum_H.data());
            for (int64_t k = 0; k < K; ++k) {
                const int64_t r = tape.receiver[e0 + k];
                for (int64_t p = 0; p < NN; ++p) {
                    const int64_t q = p * Kp + k, j = r * NN + p;
                    rw.grad_A[j] = pk.grad_A[q];
                    out.u0[j] += pk.grad_u0[q];
                    out.x[j] += pk.grad_x[q];
                    out.y[j] += pk.grad_y[q];
                    out.z[j] += pk.grad_z[q];
                }
                grad_H += pk.sum_H[k];
                deficit_receiver_backward(vs, pk.receiver[k], pk.sum_amp[k], pk.sum_gate[k],
                                          pk.sum_s2y[k], pk.sum_s2z[k], g_def, grad_x, in);
                // yc = y + deflection
                grad_y += pk.sum_yc[k];
                R grad_X = 0;
                deflection_backward(in, ds, x, cd.xbar[r], pk.sum_yc[k], g_defl, grad_x, grad_X);
                rw.grad_xbar[r] += grad_X;
            }
            deflection_source_backward(in, ds, x, op.ct, D, g_defl, grad_x, grad_ct, grad_yaw_eff,
                                       grad_ti, grad_D);
            deficit_source_backward(in, vs, op.ct, yaw, D, g_def, grad_x, grad_ct, grad_yaw,
                                    grad_ti_after, grad_D);
        }

        // The recovery: TI_i = ti + 2 mix(u, ti, v, w), read after the
        // turbine's own vortices, then the maximum above.
        grad_ti_after += rw.grad_TI[i];
        rw.grad_TI[i] = 0;
        grad_ti += grad_ti_after;
        std::fill(rw.grad_u.begin(), rw.grad_u.end(), R(0));
        if (recovery) {
            std::fill(rw.grad_v_read.begin(), rw.grad_v_read.end(), R(0));
            std::fill(rw.grad_w_read.begin(), rw.grad_w_read.end(), R(0));
            mixing_backward(cd, i, u, ti, rec.v_mix + i * NN,
                            rec.w_mix + i * NN, grad_ti_after * R(2), rw.grad_u.data(),
                            grad_ti, rw.grad_v_read.data(), rw.grad_w_read.data());
            for (int64_t p = 0; p < NN; ++p) {
                out.v_in[i * NN + p] += rw.grad_v_read[p];
                out.w_in[i * NN + p] += rw.grad_w_read[p];
                rw.grad_V[p * S + i] += rw.grad_v_read[p];
                rw.grad_W[p * S + i] += rw.grad_w_read[p];
            }
        }
        if (transverse) {
            TransverseGrads tg;
            transverse_backward(in, cd, x, y, H, D, op.ct, op.a, yaw, u, rw.grad_V.data(),
                                rw.grad_W.data(), rw.grad_Y.data(), rw.grad_Z.data(),
                                rw.grad_U0.data(), rw.grad_xbar.data(), rw.grad_u.data(),
                                rw.lanes, tg);
            grad_x += tg.x;
            grad_y += tg.y;
            grad_H += tg.H;
            grad_D += tg.D;
            grad_ct += tg.ct;
            grad_a += tg.a;
            grad_yaw += tg.yaw;
            grad_u_inf += tg.u_inf;
        }
        // Secondary steering: yaw_eff = yaw + wake_added_yaw(u, v, ...), v
        // the spanwise flow on the rotor before the turbine's own vortices.
        grad_yaw += grad_yaw_eff;
        if (steering && grad_yaw_eff != R(0)) {
            for (auto* v : {&rw.grad_v_read, &rw.grad_y_rotor, &rw.grad_z_rotor})
                std::fill(v->begin(), v->end(), R(0));
            AddedYawGrads ag;
            added_yaw_backward(in, cd, i, u, rec.v_steer + i * NN, op.ct, op.a,
                               grad_yaw_eff, rw.grad_u.data(), rw.grad_v_read.data(),
                               rw.grad_y_rotor.data(), rw.grad_z_rotor.data(), ag);
            for (int64_t p = 0; p < NN; ++p) {
                rw.grad_V[p * S + i] += rw.grad_v_read[p];
                rw.grad_Y[p * S + i] += rw.grad_y_rotor[p];
                rw.grad_Z[p * S + i] += rw.grad_z_rotor[p];
                out.u0[i * NN + p] += ag.u_inf / static_cast<R>(NN);
            }
            grad_ct += ag.ct;
            grad_a += ag.a;
            grad_y += ag.ybar;
        }

        // The operating point from the rotor velocities the source read.
        operating_point_backward(in, op, u, NN, yaw, tilt, grad_ct, grad_a,
                                 rw.grad_u.data(), grad_yaw, grad_tilt, out.ws, out.ct);
        for (int64_t p = 0; p < NN; ++p) {
            const R g = rw.grad_u[p];
            const int64_t k = i * NN + p;
            if (i == 0) {
                out.u0[k] += g;
            } else if (u_raw[p] >= lit(1e-6)) {
                out.u0[k] += g;
                rw.grad_A[k] -= g;
            }
        }
        rw.grad_TI[i] += grad_ti;
        out.yaw[i] += grad_yaw;
        out.tilt[i] += grad_tilt;
        out.rd[i] += grad_D;
        out.hh[i] += grad_H;
        rw.grad_xbar[i] += grad_x;
        rw.grad_ybar[i] += grad_y;
    }

    // The ambient turbulence every turbine starts from, and the rotor means.
    for (int64_t r = 0; r < T; ++r) grad_amb += rw.grad_TI[r];
    *out.amb += grad_amb;
    if (transverse || steering) {
        // The case's mean freestream speed scales the circulations and the decay.
        const R per_point = grad_u_inf / static_cast<R>(T * NN);
        for (int64_t r = 0; r < T; ++r) {
            for (int64_t p = 0; p < NN; ++p) {
                const int64_t j = p * S + r, k = r * NN + p;
                out.y[k] += rw.grad_Y[j];
                out.z[k] += rw.grad_Z[j];
                out.u0[k] += rw.grad_U0[j] + per_point;
            }
        }
    }
    for (int64_t r = 0; r < T; ++r) {
        const R gx = rw.grad_xbar[r] / static_cast<R>(NN);
        const R gy = rw.grad_ybar[r] / static_cast<R>(NN);
        for (int64_t p = 0; p < NN; ++p) {
            out.x[r * NN + p] += gx;
            out.y[r * NN + p] += gy;
        }
    }
}

// ---------------------------------------------------------------------------
// The node.

class FusedSequentialBackward final : public torch::autograd::Node {
public:
    FusedSequentialBackward(Inputs&& in, SavedTransverse&& saved,
                            std::array<at::Tensor, kEdges> like)
        : in_(std::make_unique<Inputs>(std::move(in))), saved_(std::move(saved)) {
        for (int k = 0; k < kEdges; ++k) {
            if (like[k].defined()) {
                sizes_[k] = like[k].sizes().vec();
                dtypes_[k] = like[k].scalar_type();
            }
        }
    }
    std::string name() const override { return "FusedSequentialBackward"; }
    void release_variables() override {
        in_.reset();
        saved_ = SavedTransverse();
    }

protected:
    torch::autograd::variable_list apply(torch::autograd::variable_list&& grads) override;

private:
    std::unique_ptr<Inputs> in_;
    SavedTransverse saved_;
    std::array<std::vector<int64_t>, kEdges> sizes_;
    std::array<at::ScalarType, kEdges> dtypes_{};
};

torch::autograd::variable_list FusedSequentialBackward::apply(torch::autograd::variable_list&& grads) {
    TORCH_CHECK(!at::GradMode::is_enabled(),
                "sorbane_cpp: the sequential solver's fused backward is once differentiable; "
                "second derivatives (create_graph=True) are not available");
    TORCH_CHECK(in_ != nullptr,
                "sorbane_cpp: the sequential solve's backward ran already and its saved inputs "
                "are freed; pass retain_graph=True to the first backward to run it twice");
    const Inputs& in = *in_;
    const int64_t F = in.F, T = in.T, NN = in.NN, n_table = in.n_table, n = T * NN;
    const at::TensorOptions opts = in.u0.options();
    const auto working = [](const at::Tensor& g) {
        return g.defined() ? g.to(kWorkingDtype).contiguous() : at::Tensor();
    };
    const at::Tensor grad_u = working(grads[0]);
    const at::Tensor grad_ti = working(grads[1]);
    const at::Tensor grad_v = in.transverse ? working(grads[2]) : at::Tensor();
    const at::Tensor grad_w = in.transverse ? working(grads[3]) : at::Tensor();

    at::Tensor gx = at::zeros({F, T, in.N, in.N}, opts), gy = at::zeros_like(gx),
               gz = at::zeros_like(gx), gu0 = at::zeros_like(gx);
    at::Tensor gyaw = at::zeros({F, T}, opts), gtilt = at::zeros_like(gyaw),
               grd = at::zeros_like(gyaw), ghh = at::zeros_like(gyaw);
    at::Tensor gws = at::zeros({F, n_table}, opts), gct = at::zeros_like(gws);
    at::Tensor gamb = at::zeros({F}, opts);
    at::Tensor gv_in = in.recovery ? at::zeros_like(gx) : at::Tensor();
    at::Tensor gw_in = in.recovery ? at::zeros_like(gx) : at::Tensor();

    std::atomic<bool> ok{true};
    parallel_cases(F, [&](int64_t begin, int64_t end) {
        SequentialBuffers b;
        b.w.reserve(T, NN);
        SequentialTape tape;
        ReverseWork rw;
        std::vector<R> u_out(n), ti_out(n);
        for (int64_t f = begin; f < end; ++f) {
            // The replay repeats the forward's every operation on the same
            // inputs, but for the vortices, whose decisions it reads back.
            const TransverseRecord rec = saved_.of_case(in, f, /*replay=*/true);
            if (!sequential_case(in, f, b, u_out.data(), ti_out.data(), nullptr, nullptr, &tape,
                                 &rec)) {
                ok.store(false);
                return;
            }
            const CaseGrads out{gx.data_ptr<R>() + f * n,      gy.data_ptr<R>() + f * n,
                                gz.data_ptr<R>() + f * n,      gu0.data_ptr<R>() + f * n,
                                in.recovery ? gv_in.data_ptr<R>() + f * n : nullptr,
                                in.recovery ? gw_in.data_ptr<R>() + f * n : nullptr,
                                gyaw.data_ptr<R>() + f * T,    gtilt.data_ptr<R>() + f * T,
                                grd.data_ptr<R>() + f * T,     ghh.data_ptr<R>() + f * T,
                                gws.data_ptr<R>() + f * n_table, gct.data_ptr<R>() + f * n_table,
                                gamb.data_ptr<R>() + f};
            reverse_case(in, b.cd, tape, b.A, b.TI,
                         grad_u.defined() ? grad_u.data_ptr<R>() + f * n : nullptr,
                         grad_ti.defined() ? grad_ti.data_ptr<R>() + f * n : nullptr,
                         grad_v.defined() ? grad_v.data_ptr<R>() + f * n : nullptr,
                         grad_w.defined() ? grad_w.data_ptr<R>() + f * n : nullptr, rec, rw, out);
        }
    });
    TORCH_CHECK(ok.load(), "sorbane_cpp: the fused sequential solve could not be replayed for its "
                           "backward (were its inputs modified in place?)");

    torch::autograd::variable_list result(kEdges);
    const auto give = [&](int k, const at::Tensor& g) {
        if (task_should_compute_output(k)) result[k] = g.to(dtypes_[k]);
    };
    const auto per_turbine = [&](const at::Tensor& g, int k) {
        at::Tensor full = at::zeros(sizes_[k], opts);
        full.slice(0, 0, T).copy_(g.sum(0));
        return full;
    };
    give(kX, gx);
    give(kY, gy);
    give(kZ, gz);
    give(kU0, gu0);
    give(kYaw, gyaw);
    give(kTilt, gtilt);
    give(kTi, gamb);
    if (task_should_compute_output(kRd)) give(kRd, per_turbine(grd, kRd));
    if (task_should_compute_output(kHh)) give(kHh, per_turbine(ghh, kHh));
    give(kWs, gws.sum(0));
    give(kCt, gct.sum(0));
    if (in.recovery) {
        give(kVin, gv_in);
        give(kWin, gw_in);
    }
    return result;
}

bool requires_grad(const at::Tensor& t) { return t.defined() && t.requires_grad(); }

}  // namespace

SequentialGradient sequential_gradient(const Farm& farm, const FlowField& ff,
                                       const TurbineGrid& grid, const ModelConfig& cfg) {
    if (!at::GradMode::is_enabled()) return SequentialGradient::kNone;
    const bool recovery = cfg.enable_transverse_velocities && cfg.enable_yaw_added_recovery;
    bool any = false;
    for (const at::Tensor& t : differentiable_inputs(farm, ff, grid, recovery))
        any = any || requires_grad(t);
    if (!any) return SequentialGradient::kNone;
    if (!fused_backward_enabled()) return SequentialGradient::kUncovered;
    return SequentialGradient::kRecorded;
}

void attach_sequential_backward(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                                Inputs&& in, SavedTransverse&& saved, const Outputs& result) {
    const std::array<at::Tensor, kEdges> inputs = differentiable_inputs(farm, ff, grid, in.recovery);
    // The node keeps its own handles, cut from the inputs' graphs.
    for (at::Tensor* t : {&in.x, &in.y, &in.z, &in.u0, &in.v_in, &in.w_in, &in.yaw, &in.tilt,
                          &in.rd, &in.hh, &in.table_ws, &in.table_ct, &in.ti_amb, &in.xbar,
                          &in.ybar, &in.u0bar, &in.u_inf}) {
        if (t->defined()) *t = t->detach();
    }
    auto node = c10::make_intrusive<FusedSequentialBackward>(std::move(in), std::move(saved), inputs);
    node->set_next_edges(
        torch::autograd::collect_next_edges(std::vector<at::Tensor>(inputs.begin(), inputs.end())));
    torch::autograd::set_history(result.u, node);
    torch::autograd::set_history(result.ti, node);
    if (result.v.defined()) {
        torch::autograd::set_history(result.v, node);
        torch::autograd::set_history(result.w, node);
    }
}

}  // namespace sorbane::fused
