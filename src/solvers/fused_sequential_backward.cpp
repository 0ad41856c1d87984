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
// gauss_velocity_deficit, crespo_hernandez_ti, interp1d and the solver's
// operating point, superposition and maxima), with the tensor library's
// one-sided choices: a clamp passes the gradient where its bound is reached,
// a maximum splits it evenly on a tie, abs has slope 0 at 0. Pairs that the
// forward leaves out (masked, or below the last place of the combined deficit)
// are left out here too: their gradients are zero or below the last place.
//
// Covers the default physics: no secondary steering, no transverse velocities
// (hence no yaw-added recovery). Any other solve that records a gradient takes
// the op-by-op path.
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
enum Edge { kX, kY, kZ, kU0, kYaw, kTilt, kTi, kRd, kHh, kWs, kCt, kEdges };

std::array<at::Tensor, kEdges> differentiable_inputs(const Farm& farm, const FlowField& ff,
                                                     const TurbineGrid& grid) {
    const Farm::PowerThrustTable* table =
        farm.turbine_tables.empty() ? nullptr : &farm.turbine_tables.front();
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
            table ? table->thrust_coefficient : at::Tensor()};
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
    std::vector<R> grad_A;      // r * NN + p: the combined deficit
    std::vector<R> grad_TI;     // per turbine
    std::vector<R> grad_xbar, grad_ybar;
    std::vector<R> u, grad_u;   // the source's rotor velocities and their gradients
    std::vector<int64_t> entry; // the tape entry of each receiver of the current source, or -1
};

struct CaseGrads {
    R *x, *y, *z, *u0;  // (T, NN)
    R *yaw, *tilt, *rd, *hh;
    R *ws, *ct;         // (n_table)
    R* amb;
};

void reverse_case(const Inputs& in, const CaseData& cd, const SequentialTape& tape,
                  const std::vector<R>& A, const std::vector<R>& TI, const R* grad_u_out,
                  const R* grad_ti_out, ReverseWork& rw, const CaseGrads& out) {
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
    R grad_amb = 0;

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
        const R ti = tape.ti_before[i * T + i];
        R grad_ct = 0, grad_a = 0, grad_yaw = 0, grad_tilt = 0, grad_ti = 0, grad_D = 0,
          grad_H = 0, grad_x = 0, grad_y = 0;

        // Turbulence: TI_r = maximum(TI_r, sqrt(max(c^2 + amb^2, 1e-6))) at
        // every receiver, c = 0 where the wake adds none.
        for (int64_t e = e0; e < e1; ++e) rw.entry[tape.receiver[e]] = e;
        const R aa = pow_scalar(clamp_min(op.a, lit(1e-6)), in.ch_ai_exp);
        const R ch_g = (aa * in.ch_constant) * cd.ch_t0;
        for (int64_t r = 0; r < T; ++r) {
            const R before = tape.ti_before[i * T + r];
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
            const DeflectionSource ds = deflection_forward(in, x, op.ct, yaw, ti, D);
            const DeficitSource vs = deficit_forward(in, x, op.ct, yaw, ti, D);
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
            deflection_source_backward(in, ds, x, op.ct, D, g_defl, grad_x, grad_ct, grad_yaw,
                                       grad_ti, grad_D);
            deficit_source_backward(in, vs, op.ct, yaw, D, g_def, grad_x, grad_ct, grad_yaw,
                                    grad_ti, grad_D);
        }

        // The operating point from the rotor velocities the source read.
        std::fill(rw.grad_u.begin(), rw.grad_u.end(), R(0));
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
    FusedSequentialBackward(Inputs&& in, std::array<at::Tensor, kEdges> like)
        : in_(std::make_unique<Inputs>(std::move(in))) {
        for (int k = 0; k < kEdges; ++k) {
            if (like[k].defined()) {
                sizes_[k] = like[k].sizes().vec();
                dtypes_[k] = like[k].scalar_type();
            }
        }
    }
    std::string name() const override { return "FusedSequentialBackward"; }
    void release_variables() override { in_.reset(); }

protected:
    torch::autograd::variable_list apply(torch::autograd::variable_list&& grads) override;

private:
    std::unique_ptr<Inputs> in_;
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

    at::Tensor gx = at::zeros({F, T, in.N, in.N}, opts), gy = at::zeros_like(gx),
               gz = at::zeros_like(gx), gu0 = at::zeros_like(gx);
    at::Tensor gyaw = at::zeros({F, T}, opts), gtilt = at::zeros_like(gyaw),
               grd = at::zeros_like(gyaw), ghh = at::zeros_like(gyaw);
    at::Tensor gws = at::zeros({F, n_table}, opts), gct = at::zeros_like(gws);
    at::Tensor gamb = at::zeros({F}, opts);

    std::atomic<bool> ok{true};
    parallel_cases(F, [&](int64_t begin, int64_t end) {
        SequentialBuffers b;
        b.w.reserve(T, NN);
        SequentialTape tape;
        ReverseWork rw;
        std::vector<R> u_out(n), ti_out(n);
        for (int64_t f = begin; f < end; ++f) {
            // The replay repeats the forward's every operation on the same inputs.
            if (!sequential_case(in, f, b, u_out.data(), ti_out.data(), nullptr, nullptr, &tape)) {
                ok.store(false);
                return;
            }
            const CaseGrads out{gx.data_ptr<R>() + f * n,      gy.data_ptr<R>() + f * n,
                                gz.data_ptr<R>() + f * n,      gu0.data_ptr<R>() + f * n,
                                gyaw.data_ptr<R>() + f * T,    gtilt.data_ptr<R>() + f * T,
                                grd.data_ptr<R>() + f * T,     ghh.data_ptr<R>() + f * T,
                                gws.data_ptr<R>() + f * n_table, gct.data_ptr<R>() + f * n_table,
                                gamb.data_ptr<R>() + f};
            reverse_case(in, b.cd, tape, b.A, b.TI,
                         grad_u.defined() ? grad_u.data_ptr<R>() + f * n : nullptr,
                         grad_ti.defined() ? grad_ti.data_ptr<R>() + f * n : nullptr, rw, out);
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
    return result;
}

bool requires_grad(const at::Tensor& t) { return t.defined() && t.requires_grad(); }

}  // namespace

SequentialGradient sequential_gradient(const Farm& farm, const FlowField& ff,
                                       const TurbineGrid& grid, const ModelConfig& cfg) {
    if (!at::GradMode::is_enabled()) return SequentialGradient::kNone;
    bool any = false;
    for (const at::Tensor& t : differentiable_inputs(farm, ff, grid)) any = any || requires_grad(t);
    const bool transverse = cfg.enable_transverse_velocities;
    // What the fused pass reads besides these: the transverse field, with the recovery.
    if (transverse && cfg.enable_yaw_added_recovery)
        any = any || requires_grad(ff.v_sorted) || requires_grad(ff.w_sorted);
    if (!any) return SequentialGradient::kNone;
    if (!fused_backward_enabled()) return SequentialGradient::kUncovered;
    if (cfg.enable_secondary_steering || transverse) return SequentialGradient::kUncovered;
    return SequentialGradient::kRecorded;
}

void attach_sequential_backward(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                                Inputs&& in, const Outputs& result) {
    const std::array<at::Tensor, kEdges> inputs = differentiable_inputs(farm, ff, grid);
    // The node keeps its own handles, cut from the inputs' graphs.
    for (at::Tensor* t : {&in.x, &in.y, &in.z, &in.u0, &in.yaw, &in.tilt, &in.rd, &in.hh,
                          &in.table_ws, &in.table_ct, &in.ti_amb, &in.xbar, &in.ybar}) {
        if (t->defined()) *t = t->detach();
    }
    auto node = c10::make_intrusive<FusedSequentialBackward>(std::move(in), inputs);
    node->set_next_edges(
        torch::autograd::collect_next_edges(std::vector<at::Tensor>(inputs.begin(), inputs.end())));
    torch::autograd::set_history(result.u, node);
    torch::autograd::set_history(result.ti, node);
}

}  // namespace sorbane::fused
