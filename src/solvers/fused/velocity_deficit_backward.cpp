// The velocity deficit's reverse pass (fused/velocity_deficit.h): the
// per-source constants, the per-receiver values and the points' Gaussian,
// with their gradients.
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>

namespace sorbane::fused {

void PackedReceivers::resize(int64_t K, int64_t NN) {
    Kp = padded(K);
    for (auto* v : {&yc, &s2y, &s2z, &amp, &gate, &slope_amp, &slope_gate, &slope_s2y, &slope_s2z,
                    &sum_amp, &sum_gate, &sum_s2y, &sum_s2z, &sum_yc, &sum_H})
        v->assign(Kp, R(1));
    for (auto* v : {&Y, &Z, &U0, &a_before, &grad_A}) v->assign(Kp * NN, R(1));
    for (auto* v : {&grad_u0, &grad_x, &grad_y, &grad_z}) v->resize(Kp * NN);
    receiver.resize(K);
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
    R grad_q = 0;
    near_wake_end_backward(in, s.nw, D, s.c, s.q, g.x0, grad_x, grad_ti, grad_q, grad_D, grad_c,
                           grad_q);
    lateral_width_backward(g.sy0, s.sz0, s.c, g.sz0, grad_c);
    grad_D += g.sz0 * f32c(0.35355339059327373f);
    grad_ctv -= sqrt_floor_grad(grad_q, R(1) - s.ctv, tiny, s.q);
    if (ct >= R(0) && ct <= f32c(0.9999f)) grad_ct += grad_ctv;
    grad_yaw += -std::sin(yaw * lit(kDegToRad)) * grad_c * lit(kDegToRad);
}

DeficitReceiver deficit_receiver(const Inputs& in, const DeficitSource& s, R x, R X) {
    const R tiny = f32c(1e-6f);
    DeficitReceiver d;
    const WakeWidths& wd = d.wd = wake_widths_at(s, x, X);
    d.gate = wake_gate(wd.dx, in.sigmoid_k);
    const WakeAmplitude& am = d.am = wake_amplitude_at(s, wd.sy, wd.sz);

    const R slope_rr = (wd.rr_in >= R(0) && wd.rr_in <= R(1)) ? R(1) / s.x0_len : R(0);
    const R slope_e = wd.e_in >= R(0) ? R(1) : R(0);
    const R slope_sy = wd.m != R(0) ? s.k * slope_e : slope_rr * s.sy0 - slope_rr * s.snw;
    const R slope_sz = wd.m != R(0) ? s.k * slope_e : slope_rr * s.sz0 - slope_rr * s.snw;
    d.slope_s2y = wd.sy * wd.sy >= tiny ? (wd.sy * R(2)) * slope_sy : R(0);
    d.slope_s2z = wd.sz * wd.sz >= tiny ? (wd.sz * R(2)) * slope_sz : R(0);
    d.slope_gate = (d.gate * (R(1) - d.gate)) * in.sigmoid_k;
    const R slope_P =
        am.P_in >= tiny ? ((slope_sy * wd.sz + wd.sy * slope_sz) * R(8)) / s.DD : R(0);
    const R slope_Q = (s.ct_c * slope_P) / (am.P * am.P);
    d.slope_amp = (am.Q_in >= R(0) && am.Q_in <= R(1)) ? -slope_Q / (am.root * R(2)) : R(0);
    return d;
}

void deficit_receiver_backward(const Inputs& in, const DeficitSource& s, const DeficitReceiver& d,
                               R grad_amp, R grad_gate, R grad_s2y, R grad_s2z,
                               DeficitSourceGrad& g, R& grad_x) {
    const R tiny = f32c(1e-6f);
    const WakeWidths& wd = d.wd;
    const WakeAmplitude& am = d.am;
    R grad_sy = 0, grad_sz = 0, grad_dx = 0;
    // amp = 1 - sqrt(clamp(1 - ct_c / P, 0, 1)); P = max(8 sy sz / D^2, tiny)
    const R grad_Q = (am.Q_in >= R(0) && am.Q_in <= R(1)) ? -grad_amp / (am.root * R(2)) : R(0);
    if (grad_Q != R(0)) {
        g.ct_c -= grad_Q / am.P;
        const R grad_P = (grad_Q * s.ct_c) / (am.P * am.P);
        if (am.P_in >= tiny) {
            grad_sy += (grad_P * R(8)) * wd.sz / s.DD;
            grad_sz += (grad_P * (wd.sy * R(8))) / s.DD;
            g.DD -= (grad_P * am.P_in) / s.DD;
        }
    }
    // The logistic gate of dx k.
    grad_dx += grad_gate * (d.gate * (R(1) - d.gate)) * in.sigmoid_k;
    if (wd.sy * wd.sy >= tiny) grad_sy += grad_s2y * (wd.sy * R(2));
    if (wd.sz * wd.sz >= tiny) grad_sz += grad_s2z * (wd.sz * R(2));
    if (wd.m != R(0)) {
        g.k += (grad_sy + grad_sz) * wd.e;
        g.sy0 += grad_sy;
        g.sz0 += grad_sz;
        if (wd.e_in >= R(0)) g.x0 -= (grad_sy + grad_sz) * s.k;
    } else {
        const R one_r = R(1) - wd.rr;
        g.snw += (grad_sy + grad_sz) * one_r;
        g.sy0 += grad_sy * wd.rr;
        g.sz0 += grad_sz * wd.rr;
        const R grad_rr = grad_sy * s.sy0 + grad_sz * s.sz0 - (grad_sy + grad_sz) * s.snw;
        if (wd.rr_in >= R(0) && wd.rr_in <= R(1)) {
            grad_dx += grad_rr / s.x0_len;
            g.x0_len -= (grad_rr * wd.rr_in) / s.x0_len;
        }
    }
    grad_x -= grad_dx;
}

namespace {

// One row of points (one p) of the packed receivers: their y, z, freestream
// speed, combined deficit before the wake and its gradient after it (turned
// into the one before), and the points' gradients written.
struct PointRowBackward {
    const R* __restrict y;
    const R* __restrict z;
    const R* __restrict u0;
    const R* __restrict a_before;
    R* __restrict grad_A;
    R* __restrict grad_u0;
    R* __restrict grad_x;
    R* __restrict grad_y;
    R* __restrict grad_z;
};

// The packed receivers' values, with their slopes in x, and the sums over
// their points of the per-receiver gradients.
struct ReceiverRowsBackward {
    const R* __restrict yc;
    const R* __restrict s2y;
    const R* __restrict s2z;
    const R* __restrict amp;
    const R* __restrict gate;
    const R* __restrict slope_amp;
    const R* __restrict slope_gate;
    const R* __restrict slope_s2y;
    const R* __restrict slope_s2z;
    R* __restrict sum_amp;
    R* __restrict sum_gate;
    R* __restrict sum_s2y;
    R* __restrict sum_s2z;
    R* __restrict sum_yc;
    R* __restrict sum_H;
};

SORBANE_HOT void gauss_row_backward(int64_t Kp, R H, PointRowBackward w, ReceiverRowsBackward k_) {
    for (int64_t k = 0; k < Kp; ++k) {
        const PointDeficit pd = point_deficit(w.y[k], w.z[k], w.u0[k], k_.yc[k], H, k_.s2y[k],
                                              k_.s2z[k], k_.amp[k], k_.gate[k]);
        const R a_old = w.a_before[k];
        const RootSum rs = root_sum_combine(a_old, pd.def);
        // A = sqrt(max(A^2 + D^2, 1e-20))
        const R grad_arg = rs.arg >= lit(1e-20) ? w.grad_A[k] / (rs.combined * R(2)) : R(0);
        w.grad_A[k] = grad_arg * (a_old * R(2));
        const R grad_def = grad_arg * (pd.def * R(2));
        // D = ((amp G) gate) u0
        w.grad_u0[k] = grad_def * pd.amp_G_gate;
        const R grad_amp_G = (grad_def * w.u0[k]) * k_.gate[k];
        const R grad_gate = (grad_def * w.u0[k]) * pd.amp_G;
        const R grad_amp = grad_amp_G * pd.G;
        // G = exp(-(dy^2 / s2y + dz^2 / s2z) / 2)
        const R grad_q = (grad_amp_G * k_.amp[k]) * pd.G * R(-0.5);
        const R grad_dy = (grad_q * (pd.dy * R(2))) / k_.s2y[k];
        const R grad_dz = (grad_q * (pd.dz * R(2))) / k_.s2z[k];
        const R grad_s2y = -(grad_q * (pd.dy * pd.dy)) / (k_.s2y[k] * k_.s2y[k]);
        const R grad_s2z = -(grad_q * (pd.dz * pd.dz)) / (k_.s2z[k] * k_.s2z[k]);
        w.grad_y[k] = grad_dy;
        w.grad_z[k] = grad_dz;
        w.grad_x[k] = grad_amp * k_.slope_amp[k] + grad_gate * k_.slope_gate[k] +
                      grad_s2y * k_.slope_s2y[k] + grad_s2z * k_.slope_s2z[k];
        k_.sum_yc[k] -= grad_dy;
        k_.sum_H[k] -= grad_dz;
        k_.sum_amp[k] += grad_amp;
        k_.sum_gate[k] += grad_gate;
        k_.sum_s2y[k] += grad_s2y;
        k_.sum_s2z[k] += grad_s2z;
    }
}

}  // namespace

void deficit_points_backward(int64_t NN, R H, PackedReceivers& pk) {
    const int64_t Kp = pk.Kp;
    for (auto* v : {&pk.sum_amp, &pk.sum_gate, &pk.sum_s2y, &pk.sum_s2z, &pk.sum_yc, &pk.sum_H})
        std::fill(v->begin(), v->end(), R(0));
    const ReceiverRowsBackward rows{pk.yc.data(),        pk.s2y.data(),       pk.s2z.data(),
                                    pk.amp.data(),       pk.gate.data(),      pk.slope_amp.data(),
                                    pk.slope_gate.data(), pk.slope_s2y.data(), pk.slope_s2z.data(),
                                    pk.sum_amp.data(),   pk.sum_gate.data(),  pk.sum_s2y.data(),
                                    pk.sum_s2z.data(),   pk.sum_yc.data(),    pk.sum_H.data()};
    for (int64_t p = 0; p < NN; ++p) {
        const int64_t o = p * Kp;
        gauss_row_backward(Kp, H,
                           {pk.Y.data() + o, pk.Z.data() + o, pk.U0.data() + o,
                            pk.a_before.data() + o, pk.grad_A.data() + o, pk.grad_u0.data() + o,
                            pk.grad_x.data() + o, pk.grad_y.data() + o, pk.grad_z.data() + o},
                           rows);
    }
}

}  // namespace sorbane::fused
