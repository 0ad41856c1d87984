// The reverse of the transverse velocities (fused/transverse.h): for the
// gradients of the accumulated V and W, those of each source's six vortices,
// their decay and the source's circulations.
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>

namespace sorbane::fused {

void TransverseLanes::reset(int64_t S) {
    for (auto* v : {&grad_dx, &y, &H, &half_d, &d8, &eps2, &u_inf, &top, &bot, &rot})
        v->assign(S, R(0));
    dx.assign(S, R(0));
    mask.assign(S, R(0));
}

namespace {

// One row of points (one p) of the receivers: their y, z and freestream
// speed and the gradients of V and W there (read), of y, z and the speed
// (added).
struct VortexPointRowBackward {
    const R* __restrict Y;
    const R* __restrict Z;
    const R* __restrict U0;
    const R* __restrict grad_V;
    const R* __restrict grad_W;
    R* __restrict grad_Y;
    R* __restrict grad_Z;
    R* __restrict grad_U0;
};

// Per receiver: its x offset and mask (read), and the lanes of the source's
// constants' gradients (added).
struct VortexLanesBackward {
    const R* __restrict dx;
    const R* __restrict mask;
    R* __restrict grad_dx;
    R* __restrict y;
    R* __restrict H;
    R* __restrict half_d;
    R* __restrict d8;
    R* __restrict eps2;
    R* __restrict u_inf;
    R* __restrict top;
    R* __restrict bot;
    R* __restrict rot;
};

SORBANE_HOT void vortex_row_backward(int64_t lo, int64_t hi, const VortexRow c,
                                     VortexPointRowBackward w, VortexLanesBackward l) {
    for (int64_t r = lo; r < hi; ++r) {
        const bool in_wake = l.mask[r] != R(0);
        const R yl = spanwise_offset(w.Y[r], c.y);
        const R y2 = yl * yl;
        const R z = w.Z[r];
        const VortexDecay d = vortex_decay(z, w.U0[r], l.dx[r], c.d8, c.eps2, c.shear, c.u_inf);
        const R decay = d.decay;
        const VortexHeights h = vortex_heights(z, c.H, c.half_d);
        const Vortex f1 = vortex_eval(y2, yl, h.top, c.g_top, c.eps2);
        const Vortex f2 = vortex_eval(y2, yl, h.bot, c.g_bot, c.eps2);
        const Vortex f3 = vortex_eval(y2, yl, h.top_img, -c.g_top, c.eps2);
        const Vortex f4 = vortex_eval(y2, yl, h.bot_img, -c.g_bot, c.eps2);
        const Vortex f5 = vortex_eval(y2, yl, h.rot, c.g_rot, c.eps2);
        const Vortex f6 = vortex_eval(y2, yl, h.rot_img, -c.g_rot, c.eps2);
        // The vertical sum decides the upwash clamp: W += max(w m, 0).
        const R wv = (((((f1.vt * decay + f2.vt * decay) + f3.vt * decay) + f4.vt * decay) +
                       f5.vt * decay) + f6.vt * decay);
        // Products with the 0/1 mask rather than selects: a select of a load
        // becomes a branch the loop cannot vectorise.
        const R upwash = wv * l.mask[r] >= R(0) ? R(1) : R(0);
        const R g_v = w.grad_V[r] * l.mask[r];
        const R g_w = (w.grad_W[r] * l.mask[r]) * upwash;
        const R g_sp = g_v * decay, g_vt = g_w * decay;
        const VortexGrad b1 = vortex_grad(f1, yl, h.top, c.g_top, c.eps2, g_sp, g_vt);
        const VortexGrad b2 = vortex_grad(f2, yl, h.bot, c.g_bot, c.eps2, g_sp, g_vt);
        const VortexGrad b3 = vortex_grad(f3, yl, h.top_img, -c.g_top, c.eps2, g_sp, g_vt);
        const VortexGrad b4 = vortex_grad(f4, yl, h.bot_img, -c.g_bot, c.eps2, g_sp, g_vt);
        const VortexGrad b5 = vortex_grad(f5, yl, h.rot, c.g_rot, c.eps2, g_sp, g_vt);
        const VortexGrad b6 = vortex_grad(f6, yl, h.rot_img, -c.g_rot, c.eps2, g_sp, g_vt);
        const R g_decay = g_v * (((((f1.sp + f2.sp) + f3.sp) + f4.sp) + f5.sp) + f6.sp) +
                          g_w * (((((f1.vt + f2.vt) + f3.vt) + f4.vt) + f5.vt) + f6.vt);
        const R g_yl = (((((b1.yl + b2.yl) + b3.yl) + b4.yl) + b5.yl) + b6.yl) +
                       (((((b1.y2 + b2.y2) + b3.y2) + b4.y2) + b5.y2) + b6.y2) * (yl * R(2));
        const R g_zh = (b1.zeta + b2.zeta) + b5.zeta;
        const R g_zh_img = (b3.zeta + b4.zeta) + b6.zeta;
        const R g_half = ((b2.zeta + b3.zeta) - b1.zeta) - b4.zeta;
        R g_eps2 = (((((b1.eps2 + b2.eps2) + b3.eps2) + b4.eps2) + b5.eps2) + b6.eps2);
        // decay = eps2 / max(((nu 4) dx) / u_inf + eps2, 1e-20)
        g_eps2 += g_decay / d.t_safe;
        const R g_t = d.t >= f32c(1e-20f) ? -(g_decay * decay) / d.t_safe : R(0);
        g_eps2 += g_t;
        const R g_nu = (g_t * l.dx[r]) * R(4) / c.u_inf;
        const R g_dx = (g_t * (d.nu * R(4))) / c.u_inf;
        const R g_uinf = -(g_t * d.spread) / c.u_inf;
        // nu = ml^2 |dudz|; dudz = (u0 shear) / max(z, 1e-4)
        const R g_ml = (g_nu * d.abs_dudz) * (d.ml * R(2));
        const R sgn = d.dudz > R(0) ? R(1) : (d.dudz < R(0) ? R(-1) : R(0));
        const R g_dudz = (g_nu * (d.ml * d.ml)) * sgn;
        const R g_u0 = (g_dudz * c.shear) / d.z_safe;
        R g_z = g_zh + g_zh_img;
        g_z += z >= f32c(1e-4f) ? -(g_dudz * d.dudz) / d.z_safe : R(0);
        // ml = kz / (kz / d8 + 1); kz = 0.41 z
        const R g_ml_den = -(g_ml * d.ml) / d.ml_den;
        const R g_kz = g_ml / d.ml_den + g_ml_den / c.d8;
        g_z += g_kz * f32c(0.41f);
        const R g_d8 = -(g_ml_den * (d.kz / c.d8)) / c.d8;

        w.grad_Y[r] += in_wake ? g_yl : R(0);
        w.grad_Z[r] += in_wake ? g_z : R(0);
        w.grad_U0[r] += in_wake ? g_u0 : R(0);
        l.grad_dx[r] += in_wake ? g_dx : R(0);
        l.y[r] += in_wake ? -g_yl : R(0);
        l.H[r] += in_wake ? g_zh_img - g_zh : R(0);
        l.half_d[r] += in_wake ? g_half : R(0);
        l.d8[r] += in_wake ? g_d8 : R(0);
        l.eps2[r] += in_wake ? g_eps2 : R(0);
        l.u_inf[r] += in_wake ? g_uinf : R(0);
        l.top[r] += in_wake ? b1.gamma - b3.gamma : R(0);
        l.bot[r] += in_wake ? b2.gamma - b4.gamma : R(0);
        l.rot[r] += in_wake ? b5.gamma - b6.gamma : R(0);
    }
}

}  // namespace

void transverse_backward(const Inputs& in, const CaseData& cd, const VortexCaster& s,
                         const VortexFieldGrads& g, TransverseLanes& lanes, TransverseGrads& out) {
    const R x = s.x, y = s.y, H = s.H, D = s.D, ct = s.ct, a = s.a;
    const R* u = s.u;
    const int64_t NN = cd.NN, S = cd.S;
    lanes.reset(S);
    int64_t lo, hi;
    if (!vortex_span(cd, x, lanes.dx.data(), lanes.mask.data(), lo, hi)) return;
    const VortexSource vs = vortex_source(in, cd, H, D, s.tsr, ct, a, s.yaw, u);
    const VortexRow c = vortex_row(in, cd, vs, y, H, D);
    const VortexLanesBackward l{lanes.dx.data(),   lanes.mask.data(),   lanes.grad_dx.data(),
                                lanes.y.data(),    lanes.H.data(),      lanes.half_d.data(),
                                lanes.d8.data(),   lanes.eps2.data(),   lanes.u_inf.data(),
                                lanes.top.data(),  lanes.bot.data(),    lanes.rot.data()};
    const int64_t end = lo + padded(hi - lo);
    for (int64_t p = 0; p < NN; ++p) {
        const int64_t o = p * S;
        vortex_row_backward(lo, end, c,
                            {cd.Y.data() + o, cd.Z.data() + o, cd.U0.data() + o, g.V + o,
                             g.W + o, g.Y + o, g.Z + o, g.U0 + o},
                            l);
    }

    R g_y = 0, g_H = 0, g_half = 0, g_d8 = 0, g_eps2 = 0, g_uinf = 0, g_gtop = 0, g_gbot = 0,
      g_grot = 0;
    for (int64_t r = lo; r < hi; ++r) {
        if (lanes.mask[r] == R(0)) continue;
        g.xbar[r] += lanes.grad_dx[r];
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
    const R tiny = f32c(1e-6f), pi8 = f32c(kPiF / 8.0f), pi2 = f32c(kPiF / 2.0f);
    // eps = D 0.2, the core's size; half_d = D / 2 and d8 = D / 8.
    R g_D = (g_eps2 * (vs.eps * R(2))) * vs.eps_gain + g_half / R(2) + g_d8 / R(8);
    // Wake rotation: ((D pi/2)(a - a^2) u_eff) / max(tsr, 1e-6)
    const R g_rot_num = (g_grot / vs.tsr) * vs.u_eff;
    kernel_rotor_speed_backward(u, NN, (g_grot / vs.tsr) * vs.rot_num, g.u);
    g_D += (g_rot_num * vs.induction) * pi2;
    const R g_induction = g_rot_num * (D * pi2);
    out.a += g_induction - g_induction * (a * R(2));
    // Top and bottom: (+-sin cos) ((D pi/8) vel u_inf ct)
    const R sn = vs.sn, cs = vs.cs;
    R g_sn = (g_gtop * (vs.base_top * ct)) * cs - (g_gbot * (vs.base_bot * ct)) * cs;
    R g_cs = (g_gtop * (vs.base_top * ct)) * sn + (g_gbot * (vs.base_bot * ct)) * (-sn);
    const R g_base_top = (g_gtop * vs.sc_top) * ct, g_base_bot = (g_gbot * vs.sc_bot) * ct;
    out.ct += (g_gtop * vs.sc_top) * vs.base_top + (g_gbot * vs.sc_bot) * vs.base_bot;
    g_uinf += g_base_top * ((D * pi8) * vs.vel_top) + g_base_bot * ((D * pi8) * vs.vel_bot);
    const R g_Dv_top = g_base_top * cd.u_inf, g_Dv_bot = g_base_bot * cd.u_inf;
    g_D += (g_Dv_top * vs.vel_top + g_Dv_bot * vs.vel_bot) * pi8;
    const R g_vel_top = g_Dv_top * (D * pi8), g_vel_bot = g_Dv_bot * (D * pi8);
    // vel_top = ((H + D/2) / max(H, tiny))^shear; vel_bot = (max(H - D/2, tiny) / max(H, tiny))^shear
    const R g_top_ratio = g_vel_top * pow_slope(vs.top_ratio, in.shear);
    const R g_bot_ratio = g_vel_bot * pow_slope(vs.bot_ratio, in.shear);
    g_H += g_top_ratio / vs.h_safe;
    g_D += (g_top_ratio / vs.h_safe) / R(2);
    R g_h_safe = -(g_top_ratio * vs.top_ratio) / vs.h_safe - (g_bot_ratio * vs.bot_ratio) / vs.h_safe;
    if (vs.bot_raw >= tiny) {
        g_H += g_bot_ratio / vs.h_safe;
        g_D -= (g_bot_ratio / vs.h_safe) / R(2);
    }
    if (H >= tiny) g_H += g_h_safe;
    out.yaw += (g_sn * cs - g_cs * sn) * lit(kDegToRad);
    out.H += g_H;
    out.D += g_D;
    out.u_inf += g_uinf;
}

}  // namespace sorbane::fused
