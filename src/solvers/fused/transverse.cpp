// Transverse velocities and secondary steering, as src/gauss_deflection's
// gauss_transverse_velocities and wake_added_yaw form them. A yawed rotor's
// lateral thrust sheds a counter-rotating vortex pair from its top and bottom
// edges, and its torque leaves a swirl (wake rotation); each line vortex
// induces the point-vortex velocity with a Lamb-Oseen core, mirrored below
// the ground so that the ground is a streamline, and the cores diffuse
// downstream under a mixing-length eddy viscosity. A turbine standing in that
// spanwise flow turns its own wake as if it were yawed further: the added yaw
// is the yaw whose vortex pair would induce the spanwise flow left after its
// own swirl.
#include "fused/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sorbane::fused {

namespace {

// The turbine's own scalars in wake_added_yaw, read as 32-bit floats and
// combined in single precision as that kernel does: its top, bottom and hub
// heights, the core size squared and the circulations' factors.
struct AddedYawRotor {
    float z_top, z_bot, h;
    R eps2, top_factor, bot_factor, rot_factor, tau;
};

AddedYawRotor added_yaw_rotor(const Inputs& in, int64_t i) {
    const float d = static_cast<float>(in.rd.data_ptr<R>()[i]);
    const float h = static_cast<float>(in.hh.data_ptr<R>()[i]);
    const float eps = 0.2f * d;
    AddedYawRotor o;
    o.h = h;
    o.eps2 = static_cast<R>(eps * eps);
    o.z_top = std::fma(0.5f, d, h);
    o.z_bot = std::fma(-0.5f, d, h);
    const float h_safe = std::max(h, 1e-6f);
    const float vel_top = std::pow(std::max(o.z_top / h_safe, 1e-6f), in.shear_f);
    const float vel_bot = std::pow(std::max(o.z_bot / h_safe, 1e-6f), in.shear_f);
    const float g = d * (kPiF / 8.0f);
    o.top_factor = static_cast<R>(g * vel_top);
    o.bot_factor = static_cast<R>(-(vel_bot * g));
    o.rot_factor = static_cast<R>(d * (kPiF / 2.0f));
    o.tau = static_cast<R>(std::max(in.tsr_f, 1e-6f));
    return o;
}

// The receivers a source's vortices reach: every one not upstream of it (one
// abreast counts). Fills x_offset (rotor-mean x less the source's) and reached
// (1 or 0) over all T; [lo, hi) spans those reached, empty when none.
bool vortex_span(const CaseData& cd, R x, R* x_offset, R* reached, int64_t& lo, int64_t& hi) {
    lo = cd.T;
    hi = 0;
    for (int64_t r = 0; r < cd.T; ++r) {
        x_offset[r] = cd.xbar[r] - x;
        const bool m = x_offset[r] >= R(0);
        reached[r] = m ? R(1) : R(0);
        if (m) {
            lo = std::min(lo, r);
            hi = r + 1;
        }
    }
    if (lo < hi) return true;
    lo = hi = 0;
    return false;
}

// gauss_transverse_velocities' per-source values: the top and bottom
// circulations of the yawed rotor (with the shear at its edges), the wake
// rotation's from the induction and the rotor speed, and the core size.
struct VortexSource {
    R sn, cs, h_safe, top_ratio, bot_raw, bot_ratio, vel_top, vel_bot, base_top, base_bot;
    R sc_top, sc_bot, g_top, g_bot, u_eff, induction, rot_num, tsr, g_rot, eps_gain, eps;
};

VortexSource vortex_source(const Inputs& in, const CaseData& cd, R H, R D, R ct, R a, R yaw,
                           const R* u) {
    const R tiny = f32c(1e-6f);
    VortexSource o;
    const R yr = yaw * lit(kDegToRad);
    o.sn = std::sin(yr);
    o.cs = std::cos(yr);
    o.h_safe = clamp_min(H, tiny);
    o.top_ratio = (H + D / R(2)) / o.h_safe;
    o.bot_raw = H - D / R(2);
    o.bot_ratio = clamp_min(o.bot_raw, tiny) / o.h_safe;
    o.vel_top = pow_scalar(o.top_ratio, in.shear);
    o.vel_bot = pow_scalar(o.bot_ratio, in.shear);
    o.base_top = ((D * f32c(kPiF / 8.0f)) * o.vel_top) * cd.u_inf;
    o.base_bot = ((D * f32c(kPiF / 8.0f)) * o.vel_bot) * cd.u_inf;
    o.sc_top = o.sn * o.cs;
    o.sc_bot = -o.sn * o.cs;
    o.g_top = o.sc_top * (o.base_top * ct);
    o.g_bot = o.sc_bot * (o.base_bot * ct);
    o.u_eff = kernel_rotor_speed(u, 1, cd.NN);
    o.induction = a - a * a;
    o.rot_num = (D * f32c(kPiF / 2.0f)) * o.induction;
    o.tsr = clamp_min(in.tsr, tiny);
    o.g_rot = (o.rot_num * o.u_eff) / o.tsr;
    o.eps_gain = static_cast<R>(narrow(0.2));
    o.eps = D * o.eps_gain;
    return o;
}

}  // namespace

namespace {

// wake_added_yaw at turbine i, with the intermediates its gradients read. v:
// the spanwise velocity on the turbine's rotor, NN values at v_stride.
struct AddedYaw {
    AddedYawRotor rotor;
    R u_inf, u_eff, induction, gamma_top, gamma_bot, gamma_rot, v_mean, den, ratio_in, ratio;
    bool s_used;
};

AddedYaw added_yaw_at(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                      int64_t v_stride, R ct, R a) {
    const int64_t S = cd.S, NN = cd.NN;
    AddedYaw o;
    o.u_inf = cd.u0bar[i];
    o.v_mean = rotor_mean(v, v_stride, NN);
    o.u_eff = kernel_rotor_speed(u, 1, NN);
    o.rotor = added_yaw_rotor(in, i);
    const AddedYawRotor& rotor = o.rotor;
    o.gamma_top = (o.u_inf * rotor.top_factor) * ct;
    o.gamma_bot = (o.u_inf * rotor.bot_factor) * ct;
    o.induction = a - a * a;
    o.gamma_rot = ((o.induction * rotor.rot_factor) * o.u_eff) / rotor.tau;

    const R* Y = cd.Y.data() + i;
    const R* Z = cd.Z.data() + i;
    const R ybar = cd.ybar[i];
    const R off = f32c(1e-5f);
    R s_top = 0, s_bot = 0, s_core = 0;
    for (int64_t p = 0; p < NN; ++p) {
        const R yl = (Y[p * S] - ybar) + off;
        const R y2 = yl * yl;
        const R zp = Z[p * S];
        const R eps2 = rotor.eps2;
        s_top += vortex_eval(y2, yl, (zp - static_cast<R>(rotor.z_top)) + off, o.gamma_top, eps2).sp;
        s_bot += vortex_eval(y2, yl, (zp - static_cast<R>(rotor.z_bot)) + off, o.gamma_bot, eps2).sp;
        s_core += vortex_eval(y2, yl, (zp - static_cast<R>(rotor.h)) + off, o.gamma_rot, eps2).sp;
    }
    const R v_top = s_top / static_cast<R>(NN);
    const R v_bot = s_bot / static_cast<R>(NN);
    const R v_core = s_core / static_cast<R>(NN);
    const R s = v_top + v_bot;
    o.s_used = std::abs(s) > f32c(1e-10f);
    o.den = o.s_used ? s : f32c(1e-10f);
    o.ratio_in = ((o.v_mean - v_core) * R(2)) / o.den;
    o.ratio = clamp(o.ratio_in, f32c(-0.999999f), f32c(0.999999f));
    return o;
}

}  // namespace

R added_yaw(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v, R ct, R a) {
    const AddedYaw o = added_yaw_at(in, cd, i, u, v, cd.S, ct, a);
    return (std::asin(o.ratio) * R(0.5)) * f32c(180.0f / kPiF);
}

namespace {

// The six vortices of one source at the points of receivers [lo, hi): top
// and bottom (yawed rotors only), wake rotation, and their ground images.
// Zero circulations contribute signed zeros only, so they are left out.
template <bool kPair, bool kRot>
SORBANE_INLINE void vortex_loop(int64_t lo, int64_t hi, R yi, R H, R half_d, R d8, R eps2, R shear,
                                R u_inf, R g_top, R g_bot, R g_rot, const R* __restrict Y,
                                const R* __restrict Z, const R* __restrict U0,
                                const R* __restrict dxt, const R* __restrict mt, R* __restrict V,
                                R* __restrict W) {
    const R off = f32c(1e-5f);
    for (int64_t r = lo; r < hi; ++r) {
        const R yl = (Y[r] - yi) + off;
        const R y2 = yl * yl;
        const R z = Z[r];
        // Diffusion of the cores under a mixing-length eddy viscosity.
        const R kz = z * f32c(0.41f);
        const R ml = kz / (kz / d8 + R(1));
        const R dudz = (U0[r] * shear) / clamp_min(z, f32c(1e-4f));
        const R nu = (ml * ml) * std::abs(dudz);
        const R decay = eps2 / clamp_min((((nu * R(4)) * dxt[r]) / u_inf) + eps2, f32c(1e-20f));
        const R zh = z - H;
        const R zh_img = z + H;
        R v = 0, w = 0, sp, vt;
        if constexpr (kPair) {
            vortex(y2, yl, (zh - half_d) + off, g_top, eps2, sp, vt);
            v = sp * decay;
            w = vt * decay;
            vortex(y2, yl, (zh + half_d) + off, g_bot, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
            vortex(y2, yl, (zh_img + half_d) + off, -g_top, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
            vortex(y2, yl, (zh_img - half_d) + off, -g_bot, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
        }
        if constexpr (kRot) {
            vortex(y2, yl, zh + off, g_rot, eps2, sp, vt);
            v = kPair ? v + sp * decay : sp * decay;
            w = kPair ? w + vt * decay : vt * decay;
            vortex(y2, yl, zh_img + off, -g_rot, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
        }
        V[r] = V[r] + v * mt[r];
        // Upwash only.
        W[r] = W[r] + clamp_min(w * mt[r], R(0));
    }
}

template <bool kPair, bool kRot>
SORBANE_INLINE void vortex_rows(int64_t S, int64_t NN, int64_t lo, int64_t hi, R yi, R H, R half_d,
                                R d8, R eps2, R shear, R u_inf, R g_top, R g_bot, R g_rot,
                                const R* Yp, const R* Zp, const R* U0p, const R* dxt, const R* mt,
                                R* Vp, R* Wp) {
    for (int64_t p = 0; p < NN; ++p) {
        vortex_loop<kPair, kRot>(lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot, g_rot,
                                 Yp + p * S, Zp + p * S, U0p + p * S, dxt, mt, Vp + p * S,
                                 Wp + p * S);
    }
}

SORBANE_HOT void vortex_points(int64_t S, int64_t NN, int64_t lo, int64_t hi, R yi, R H, R half_d,
                               R d8, R eps2, R shear, R u_inf, R g_top, R g_bot, R g_rot,
                               bool pair, bool rot, const R* Yp, const R* Zp, const R* U0p,
                               const R* dxt, const R* mt, R* Vp, R* Wp) {
    if (pair && rot) {
        vortex_rows<true, true>(S, NN, lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot,
                                g_rot, Yp, Zp, U0p, dxt, mt, Vp, Wp);
    } else if (pair) {
        vortex_rows<true, false>(S, NN, lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot,
                                 g_rot, Yp, Zp, U0p, dxt, mt, Vp, Wp);
    } else {
        vortex_rows<false, true>(S, NN, lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot,
                                 g_rot, Yp, Zp, U0p, dxt, mt, Vp, Wp);
    }
}

}  // namespace

void transverse(const Inputs& in, const CaseData& cd, const Source& src, R yaw, const R* u, R* V,
                R* W, Work& w, int64_t& lo, int64_t& hi) {
    if (!vortex_span(cd, src.x, w.x_offset.data(), w.reached.data(), lo, hi)) return;
    const R h2 = src.hh, d2 = src.rd;
    const VortexSource vs = vortex_source(in, cd, h2, d2, src.ct, src.a, yaw, u);
    const R g_top = vs.g_top, g_bot = vs.g_bot, g_rot = vs.g_rot, eps = vs.eps;
    const bool pair = g_top != R(0) || g_bot != R(0);
    const bool rot = g_rot != R(0);
    if (!pair && !rot) {
        lo = hi = 0;
        return;
    }
    // Whole vectors: lanes past hi are masked out or spare.
    vortex_points(cd.S, cd.NN, lo, lo + padded(hi - lo), src.y, h2, d2 / R(2), d2 / R(8), eps * eps,
                  static_cast<R>(in.shear), cd.u_inf, g_top, g_bot, g_rot, pair, rot, cd.Y.data(),
                  cd.Z.data(), cd.U0.data(), w.x_offset.data(), w.reached.data(), V, W);
}

// ---------------------------------------------------------------------------
// The reverse pass: wake_added_yaw and gauss_transverse_velocities.

void added_yaw_backward(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                        R ct, R a, R g, R* grad_u, R* grad_v, R* grad_y, R* grad_z,
                        AddedYawGrads& out) {
    const int64_t S = cd.S, NN = cd.NN;
    const AddedYaw o = added_yaw_at(in, cd, i, u, v, 1, ct, a);
    const R u_inf = o.u_inf, u_eff = o.u_eff, induction = o.induction;
    const R gamma_top = o.gamma_top, gamma_bot = o.gamma_bot, gamma_rot = o.gamma_rot;
    const R top_factor = o.rotor.top_factor, bot_factor = o.rotor.bot_factor;
    const R rot_factor = o.rotor.rot_factor, tau = o.rotor.tau, eps2 = o.rotor.eps2;
    const float z_top = o.rotor.z_top, z_bot = o.rotor.z_bot, h = o.rotor.h;
    const R den = o.den, ratio_in = o.ratio_in, ratio = o.ratio;
    const bool s_used = o.s_used;
    const R bound = f32c(0.999999f);
    const R* Y = cd.Y.data() + i;
    const R* Z = cd.Z.data() + i;
    const R ybar = cd.ybar[i];
    const R off = f32c(1e-5f);

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

namespace {

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

}  // namespace

// The source's circulations and vortex constants as transverse() forms them,
// and the gradients of all its inputs (u: its rotor velocities).
void transverse_backward(const Inputs& in, const CaseData& cd, R x, R y, R H, R D,
                         R ct, R a, R yaw, const R* u, const R* grad_V, const R* grad_W,
                         R* grad_Y, R* grad_Z, R* grad_U0, R* grad_xbar, R* grad_u,
                         TransverseLanes& lanes, TransverseGrads& out) {
    const int64_t NN = cd.NN, S = cd.S;
    lanes.reset(S);
    int64_t lo, hi;
    if (!vortex_span(cd, x, lanes.dx.data(), lanes.mask.data(), lo, hi)) return;
    const VortexSource vs = vortex_source(in, cd, H, D, ct, a, yaw, u);
    const R sn = vs.sn, cs = vs.cs, h_safe = vs.h_safe, top_ratio = vs.top_ratio;
    const R bot_raw = vs.bot_raw, bot_ratio = vs.bot_ratio, vel_top = vs.vel_top;
    const R vel_bot = vs.vel_bot, base_top = vs.base_top, base_bot = vs.base_bot;
    const R sc_top = vs.sc_top, sc_bot = vs.sc_bot, g_top = vs.g_top, g_bot = vs.g_bot;
    const R u_eff = vs.u_eff, induction = vs.induction, rot_num = vs.rot_num, tsr = vs.tsr;
    const R g_rot = vs.g_rot, eps_gain = vs.eps_gain, eps = vs.eps;
    const R tiny = f32c(1e-6f), pi8 = f32c(kPiF / 8.0f), pi2 = f32c(kPiF / 2.0f);
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

}  // namespace sorbane::fused
