// Secondary steering (fused/transverse.h): wake_added_yaw, the yaw whose
// vortex pair would induce the spanwise flow a turbine stands in, less its
// own swirl, and its gradients.
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

AddedYawRotor added_yaw_rotor(const Inputs& in, const CaseData& cd, int64_t i) {
    const float d = static_cast<float>(cd.rotor_diameter(i));
    const float h = static_cast<float>(cd.hub_height(i));
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
    o.tau = static_cast<R>(std::max(cd.table(i).tsr_f, 1e-6f));
    return o;
}

// The three vortices' offsets from point p of turbine i's own rotor: the
// spanwise one and the vertical ones from its top, bottom and hub.
struct RotorPoint {
    R yl, y2, top, bot, core;
};

SORBANE_INLINE RotorPoint rotor_point(const CaseData& cd, const AddedYawRotor& rotor, int64_t i,
                                      int64_t p) {
    const R off = f32c(1e-5f);
    const R zp = cd.Z[p * cd.S + i];
    RotorPoint o;
    o.yl = spanwise_offset(cd.Y[p * cd.S + i], cd.ybar[i]);
    o.y2 = o.yl * o.yl;
    o.top = (zp - static_cast<R>(rotor.z_top)) + off;
    o.bot = (zp - static_cast<R>(rotor.z_bot)) + off;
    o.core = (zp - static_cast<R>(rotor.h)) + off;
    return o;
}

// wake_added_yaw at turbine i, with the intermediates its gradients read. v:
// the spanwise velocity on the turbine's rotor, NN values at v_stride.
struct AddedYaw {
    AddedYawRotor rotor;
    R u_inf, u_eff, induction, gamma_top, gamma_bot, gamma_rot, v_mean, den, ratio_in, ratio;
    bool s_used;
};

AddedYaw added_yaw_at(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                      int64_t v_stride, R ct, R a) {
    const int64_t NN = cd.NN;
    AddedYaw o;
    o.u_inf = cd.u0bar[i];
    o.v_mean = rotor_mean(v, v_stride, NN);
    o.u_eff = kernel_rotor_speed(u, 1, NN);
    o.rotor = added_yaw_rotor(in, cd, i);
    const AddedYawRotor& rotor = o.rotor;
    o.gamma_top = (o.u_inf * rotor.top_factor) * ct;
    o.gamma_bot = (o.u_inf * rotor.bot_factor) * ct;
    o.induction = a - a * a;
    o.gamma_rot = ((o.induction * rotor.rot_factor) * o.u_eff) / rotor.tau;

    R s_top = 0, s_bot = 0, s_core = 0;
    for (int64_t p = 0; p < NN; ++p) {
        const RotorPoint pt = rotor_point(cd, rotor, i, p);
        s_top += vortex_eval(pt.y2, pt.yl, pt.top, o.gamma_top, rotor.eps2).sp;
        s_bot += vortex_eval(pt.y2, pt.yl, pt.bot, o.gamma_bot, rotor.eps2).sp;
        s_core += vortex_eval(pt.y2, pt.yl, pt.core, o.gamma_rot, rotor.eps2).sp;
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

void added_yaw_backward(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v,
                        R ct, R a, R g, R* grad_u, R* grad_v, R* grad_y, R* grad_z,
                        AddedYawGrads& out) {
    const int64_t NN = cd.NN;
    const AddedYaw o = added_yaw_at(in, cd, i, u, v, 1, ct, a);
    const AddedYawRotor& rotor = o.rotor;
    const R bound = f32c(0.999999f);

    // result = (asin(ratio) 0.5) 180 / pi; ratio = clamp(2 (v_mean - v_core) / den)
    const R g_asin = (g * f32c(180.0f / kPiF)) * R(0.5);
    const R g_ratio = g_asin / std::sqrt(R(1) - o.ratio * o.ratio);
    const R g_ratio_in = (o.ratio_in >= -bound && o.ratio_in <= bound) ? g_ratio : R(0);
    if (g_ratio_in == R(0)) return;
    const R g_diff = (g_ratio_in / o.den) * R(2);
    const R g_s = o.s_used ? -(g_ratio_in * o.ratio_in) / o.den : R(0);
    const R g_point_mean = g_diff / static_cast<R>(NN);
    const R g_top_point = g_s / static_cast<R>(NN), g_core_point = -g_point_mean;
    R g_gamma_top = 0, g_gamma_bot = 0, g_gamma_rot = 0, g_ybar = 0;
    for (int64_t p = 0; p < NN; ++p) {
        grad_v[p] += g_point_mean;
        const RotorPoint pt = rotor_point(cd, rotor, i, p);
        const R eps2 = rotor.eps2;
        const VortexGrad top =
            vortex_grad(vortex_eval(pt.y2, pt.yl, pt.top, o.gamma_top, eps2), pt.yl, pt.top,
                        o.gamma_top, eps2, g_top_point, 0);
        const VortexGrad bot =
            vortex_grad(vortex_eval(pt.y2, pt.yl, pt.bot, o.gamma_bot, eps2), pt.yl, pt.bot,
                        o.gamma_bot, eps2, g_top_point, 0);
        const VortexGrad core =
            vortex_grad(vortex_eval(pt.y2, pt.yl, pt.core, o.gamma_rot, eps2), pt.yl, pt.core,
                        o.gamma_rot, eps2, g_core_point, 0);
        g_gamma_top += top.gamma;
        g_gamma_bot += bot.gamma;
        g_gamma_rot += core.gamma;
        const R g_yl = (top.yl + bot.yl + core.yl) + (top.y2 + bot.y2 + core.y2) * (pt.yl * R(2));
        grad_y[p] += g_yl;
        g_ybar -= g_yl;
        grad_z[p] += top.zeta + bot.zeta + core.zeta;
    }
    out.ybar += g_ybar;
    out.u_inf += (g_gamma_top * ct) * rotor.top_factor + (g_gamma_bot * ct) * rotor.bot_factor;
    out.ct += g_gamma_top * (o.u_inf * rotor.top_factor) + g_gamma_bot * (o.u_inf * rotor.bot_factor);
    const R g_rot_num = g_gamma_rot / rotor.tau;
    const R g_induction = (g_rot_num * o.u_eff) * rotor.rot_factor;
    out.a += g_induction - g_induction * (a * R(2));
    kernel_rotor_speed_backward(u, NN, g_rot_num * (o.induction * rotor.rot_factor), grad_u);
}

}  // namespace sorbane::fused
