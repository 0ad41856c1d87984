#pragma once
// Transverse velocities and secondary steering (gauss_transverse_velocities
// and wake_added_yaw). A yawed rotor's lateral thrust sheds a counter-rotating
// vortex pair from its top and bottom edges, and its torque leaves a swirl
// (wake rotation); each line vortex induces the point-vortex velocity with a
// Lamb-Oseen core, mirrored below the ground so that the ground is a
// streamline, and the cores diffuse downstream under a mixing-length eddy
// viscosity. A turbine standing in that spanwise flow turns its own wake as
// if it were yawed further: the added yaw is the yaw whose vortex pair would
// induce the spanwise flow left after its own swirl.
#include "fused/inputs.h"
#include "fused/math.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace sorbane::fused {

// The vortex rule at one point: r2 = max(yl^2 + zeta^2, 1e-20), core =
// 1 - exp(-r2 / eps2), spanwise part ((gamma zeta) / (r2 2 pi)) core and
// vertical part ((-gamma yl) / (r2 2 pi)) core. y2: the squared spanwise
// offset yl from the axis; zeta: the vertical offset; eps2: the core size squared.
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

// The spanwise offset of a point at y from a vortex axis at y_axis; the small
// shift keeps a point on the axis off the singular line.
SORBANE_INLINE R spanwise_offset(R y, R y_axis) { return (y - y_axis) + f32c(1e-5f); }

// The vertical offsets of a point at height z from a source's six vortices:
// the top and bottom edges of the rotor (hub H, half diameter half_d), its
// hub (wake rotation), and their images below the ground.
struct VortexHeights {
    R top, bot, top_img, bot_img, rot, rot_img;
};

SORBANE_INLINE VortexHeights vortex_heights(R z, R H, R half_d) {
    const R off = f32c(1e-5f);
    const R zh = z - H, zh_img = z + H;
    return {(zh - half_d) + off, (zh + half_d) + off, (zh_img + half_d) + off,
            (zh_img - half_d) + off, zh + off, zh_img + off};
}

// Diffusion of the cores over the distance dx under a mixing-length eddy
// viscosity: decay = eps2 / max(4 nu dx / u_inf + eps2, 1e-20), nu = ml^2
// |du/dz|, ml = kz / (kz / d8 + 1) with kz = 0.41 z and d8 = D / 8.
struct VortexDecay {
    R kz, ml_den, ml, z_safe, dudz, abs_dudz, nu, spread, t, t_safe, decay;
};

SORBANE_INLINE VortexDecay vortex_decay(R z, R u0, R dx, R d8, R eps2, R shear, R u_inf) {
    VortexDecay o;
    o.kz = z * f32c(0.41f);
    o.ml_den = o.kz / d8 + R(1);
    o.ml = o.kz / o.ml_den;
    o.z_safe = clamp_min(z, f32c(1e-4f));
    o.dudz = (u0 * shear) / o.z_safe;
    o.abs_dudz = std::abs(o.dudz);
    o.nu = (o.ml * o.ml) * o.abs_dudz;
    o.spread = ((o.nu * R(4)) * dx) / u_inf;
    o.t = o.spread + eps2;
    o.t_safe = clamp_min(o.t, f32c(1e-20f));
    o.decay = eps2 / o.t_safe;
    return o;
}

// A source's circulations and core: the top and bottom circulations of the
// yawed rotor (with the shear at its edges), the wake rotation's from the
// induction and the rotor speed, and the core size eps.
struct VortexSource {
    R sn, cs, h_safe, top_ratio, bot_raw, bot_ratio, vel_top, vel_bot, base_top, base_bot;
    R sc_top, sc_bot, g_top, g_bot, u_eff, induction, rot_num, tsr, g_rot, eps_gain, eps;
};

// From hub height H, diameter D, thrust, induction, raw yaw and the source's
// rotor velocities u (NN contiguous).
VortexSource vortex_source(const Inputs& in, const CaseData& cd, R H, R D, R tsr, R ct, R a, R yaw,
                           const R* u);

// What the loops over receivers read of a source: its axis y and hub H, half
// and eighth of its diameter, the core size squared, the case's shear and
// mean freestream speed, and the three circulations.
struct VortexRow {
    R y, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot, g_rot;
};

VortexRow vortex_row(const Inputs& in, const CaseData& cd, const VortexSource& vs, R y, R H, R D);

// The receivers a source at x reaches: every one not upstream of it (one
// abreast counts). Fills x_offset (rotor-mean x less the source's) and
// reached (1 or 0) over all T; [lo, hi) spans those reached, empty when none.
bool vortex_span(const CaseData& cd, R x, R* x_offset, R* reached, int64_t& lo, int64_t& hi);

// The reverse pass. wake_added_yaw's gradients of the source's thrust,
// induction, rotor-mean freestream speed and rotor-mean y; its diameter and
// hub height enter as host scalars and get none.
struct AddedYawGrads {
    R ct = 0, a = 0, u_inf = 0, ybar = 0;
};

// Per-receiver sums (lanes) of the gradients of a source's constants, reduced
// after the loop over the points.
struct TransverseLanes {
    std::vector<R> dx, mask, grad_dx, y, H, half_d, d8, eps2, u_inf, top, bot, rot;
    void reset(int64_t S);
};

struct TransverseGrads {
    R x = 0, y = 0, H = 0, D = 0, ct = 0, a = 0, yaw = 0, u_inf = 0;
};

// wake_added_yaw at turbine i, reading the spanwise velocity v on its rotor
// (NN contiguous): for the gradient g of the added yaw, the gradients of its
// rotor velocities u, of v and of its points' y and z (NN each, added).
void added_yaw_backward(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                        R ct, R a, R g, R* grad_u, R* grad_v, R* grad_y, R* grad_z,
                        AddedYawGrads& out);
// A source as its vortices see it: rotor centre (x, y), hub H, diameter D,
// tip-speed ratio, thrust, induction, raw yaw and its NN rotor velocities u.
struct VortexCaster {
    R x, y, H, D, tsr, ct, a, yaw;
    const R* u;
};

// The fields the vortices' reverse pass reads, the gradients of the
// accumulated V and W (p * S + r), and those it adds to: of the points' y, z
// and freestream speed (p * S + r), of the receivers' rotor-mean x (r) and of
// the source's rotor velocities (NN).
struct VortexFieldGrads {
    const R *V, *W;
    R *Y, *Z, *U0, *xbar, *u;
};

// gauss_transverse_velocities of the source: the gradients of its fields and,
// in out, of its scalars.
void transverse_backward(const Inputs& in, const CaseData& cd, const VortexCaster& s,
                         const VortexFieldGrads& g, TransverseLanes& lanes, TransverseGrads& out);

}  // namespace sorbane::fused
