// The reverse pass over one flow case of the sequential solver's fused
// downstream pass. The case has been replayed with a tape (the rotor field
// each source read, the turbulence before each wake, the receivers each wake
// changed with their combined deficit before it); the sources are walked in
// reverse order, each through the reverse of its visit: the turbulence its
// wake added, its deficit and deflection at the receivers it changed, its
// recovery, its vortices, its added yaw and its operating point. Pairs that
// the forward leaves out (masked, or below the last place of the combined
// deficit) are left out here too: their gradients are zero or below the last
// place.
#include "fused/kernels.h"
#include "fused/sequential.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace sorbane::fused {

namespace {

// What source i read and what it decided, replayed.
struct Visit {
    int64_t i, e0, e1;  // its tape entries [e0, e1)
    const R* u_raw;     // the field it read before the floor
    const R* u;         // and after it
    OperatingPointTape op;
    R x, y, D, H, yaw, tilt;
    // The deflection sees the steered yaw and the turbulence before the
    // recovery, the deficit the raw yaw and the turbulence after it.
    R ti, ti_after, yaw_eff;
};

// The gradients of source i's scalars, summed over the steps of its visit.
struct SourceGrads {
    R ct = 0, a = 0, yaw = 0, tilt = 0, ti = 0, D = 0, H = 0, x = 0, y = 0, yaw_eff = 0,
      ti_after = 0;
};

// u = max(u0 - A, 1e-6) and the turbulence laid on every point; the
// transverse fields are their running sums.
void seed_output_grads(const Inputs& in, const CaseData& cd, const std::vector<R>& A,
                       const CaseOutputGrads& g, ReverseWork& rw, const CaseGrads& out) {
    const int64_t T = in.T, NN = in.NN, S = cd.S;
    for (int64_t r = 0; r < T && in.transverse; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            if (g.v) rw.grad_V[p * S + r] = g.v[r * NN + p];
            if (g.w) rw.grad_W[p * S + r] = g.w[r * NN + p];
        }
    }
    for (int64_t r = 0; r < T; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            const int64_t k = r * NN + p;
            if (g.u && cd.U0[p * S + r] - A[p * S + r] >= lit(1e-6)) {
                out.u0[k] += g.u[k];
                rw.grad_A[k] -= g.u[k];
            }
            if (g.ti) rw.grad_TI[r] += g.ti[k];
        }
    }
}

// The wake's added turbulence and the maximum at every receiver.
void reverse_turbulence(const Inputs& in, const CaseData& cd, const SequentialTape& tape,
                        const Visit& s, ReverseWork& rw, SourceGrads& g, R& grad_amb) {
    for (int64_t e = s.e0; e < s.e1; ++e) rw.entry[tape.receiver[e]] = e;
    TurbulenceGrads tg;
    added_turbulence_backward(in, cd, s.i, s.x, s.y, s.D, s.op.a,
                              tape.ti_before.data() + s.i * in.T, s.ti_after, rw.entry.data(),
                              tape.count.data(), rw.grad_TI.data(), rw.grad_xbar.data(), tg);
    g.a += tg.a;
    grad_amb += tg.amb;
    g.D += tg.D;
    g.x += tg.x;
    for (int64_t e = s.e0; e < s.e1; ++e) rw.entry[tape.receiver[e]] = -1;
}

// The combined deficit at the receivers the wake changed, through the
// Gaussian, the widths and amplitude, the deflection and the constants.
void reverse_deficit(const Inputs& in, const CaseData& cd, const SequentialTape& tape,
                     const Visit& s, ReverseWork& rw, SourceGrads& g, const CaseGrads& out) {
    const int64_t NN = in.NN, S = cd.S, K = s.e1 - s.e0;
    if (K == 0) return;
    const DeflectionSource ds = deflection_source(in, s.x, s.op.ct, s.yaw_eff, s.ti, s.D);
    const DeficitSource vs = deficit_source(in, s.x, s.op.ct, s.yaw, s.ti_after, s.D);
    DeflectionSourceGrad g_defl;
    DeficitSourceGrad g_def;
    PackedReceivers& pk = rw.packed;
    pk.resize(K, NN);
    const int64_t Kp = pk.Kp;
    for (int64_t k = 0; k < K; ++k) {
        const int64_t e = s.e0 + k, r = tape.receiver[e];
        pk.yc[k] = s.y + deflection_at(in, ds, s.x, cd.xbar[r]);
        const DeficitReceiver& d = pk.receiver[k] = deficit_receiver(in, vs, s.x, cd.X[r]);
        pk.s2y[k] = d.wd.s2y;
        pk.s2z[k] = d.wd.s2z;
        pk.amp[k] = d.am.amp;
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
    deficit_points_backward(NN, s.H, pk);
    for (int64_t k = 0; k < K; ++k) {
        const int64_t r = tape.receiver[s.e0 + k];
        for (int64_t p = 0; p < NN; ++p) {
            const int64_t q = p * Kp + k, j = r * NN + p;
            rw.grad_A[j] = pk.grad_A[q];
            out.u0[j] += pk.grad_u0[q];
            out.x[j] += pk.grad_x[q];
            out.y[j] += pk.grad_y[q];
            out.z[j] += pk.grad_z[q];
        }
        g.H += pk.sum_H[k];
        deficit_receiver_backward(in, vs, pk.receiver[k], pk.sum_amp[k], pk.sum_gate[k],
                                  pk.sum_s2y[k], pk.sum_s2z[k], g_def, g.x);
        // yc = y + deflection
        g.y += pk.sum_yc[k];
        R grad_X = 0;
        deflection_backward(in, ds, s.x, cd.xbar[r], pk.sum_yc[k], g_defl, g.x, grad_X);
        rw.grad_xbar[r] += grad_X;
    }
    deflection_source_backward(in, ds, s.x, s.op.ct, s.D, g_defl, g.x, g.ct, g.yaw_eff, g.ti, g.D);
    deficit_source_backward(in, vs, s.op.ct, s.yaw, s.D, g_def, g.x, g.ct, g.yaw, g.ti_after, g.D);
}

// The recovery, TI_i = ti + 2 mix(u, ti, v, w), read after the turbine's own
// vortices, then the vortices themselves.
void reverse_transverse(const Inputs& in, const CaseData& cd, const TransverseRecord& rec,
                        const Visit& s, ReverseWork& rw, SourceGrads& g, R& grad_u_inf,
                        const CaseGrads& out) {
    const int64_t NN = in.NN, S = cd.S, i = s.i;
    if (in.recovery) {
        std::fill(rw.grad_v_read.begin(), rw.grad_v_read.end(), R(0));
        std::fill(rw.grad_w_read.begin(), rw.grad_w_read.end(), R(0));
        mixing_backward(cd, i, s.u, s.ti, rec.v_mix + i * NN, rec.w_mix + i * NN,
                        g.ti_after * R(2), rw.grad_u.data(), g.ti, rw.grad_v_read.data(),
                        rw.grad_w_read.data());
        for (int64_t p = 0; p < NN; ++p) {
            out.v_in[i * NN + p] += rw.grad_v_read[p];
            out.w_in[i * NN + p] += rw.grad_w_read[p];
            rw.grad_V[p * S + i] += rw.grad_v_read[p];
            rw.grad_W[p * S + i] += rw.grad_w_read[p];
        }
    }
    if (!in.transverse) return;
    TransverseGrads tg;
    const VortexCaster caster{s.x, s.y, s.H, s.D, cd.table(s.i).tsr, s.op.ct, s.op.a, s.yaw, s.u};
    const VortexFieldGrads fields{rw.grad_V.data(), rw.grad_W.data(),  rw.grad_Y.data(),
                                  rw.grad_Z.data(), rw.grad_U0.data(), rw.grad_xbar.data(),
                                  rw.grad_u.data()};
    transverse_backward(in, cd, caster, fields, rw.lanes, tg);
    g.x += tg.x;
    g.y += tg.y;
    g.H += tg.H;
    g.D += tg.D;
    g.ct += tg.ct;
    g.a += tg.a;
    g.yaw += tg.yaw;
    grad_u_inf += tg.u_inf;
}

// Secondary steering: yaw_eff = yaw + wake_added_yaw(u, v, ...), v the
// spanwise flow on the rotor before the turbine's own vortices.
void reverse_steering(const Inputs& in, const CaseData& cd, const TransverseRecord& rec,
                      const Visit& s, ReverseWork& rw, SourceGrads& g, const CaseGrads& out) {
    const int64_t NN = in.NN, S = cd.S, i = s.i;
    g.yaw += g.yaw_eff;
    if (!in.steering || g.yaw_eff == R(0)) return;
    for (auto* v : {&rw.grad_v_read, &rw.grad_y_rotor, &rw.grad_z_rotor})
        std::fill(v->begin(), v->end(), R(0));
    AddedYawGrads ag;
    added_yaw_backward(in, cd, i, s.u, rec.v_steer + i * NN, s.op.ct, s.op.a, g.yaw_eff,
                       rw.grad_u.data(), rw.grad_v_read.data(), rw.grad_y_rotor.data(),
                       rw.grad_z_rotor.data(), ag);
    for (int64_t p = 0; p < NN; ++p) {
        rw.grad_V[p * S + i] += rw.grad_v_read[p];
        rw.grad_Y[p * S + i] += rw.grad_y_rotor[p];
        rw.grad_Z[p * S + i] += rw.grad_z_rotor[p];
        out.u0[i * NN + p] += ag.u_inf / static_cast<R>(NN);
    }
    g.ct += ag.ct;
    g.a += ag.a;
    g.y += ag.ybar;
}

// The operating point from the rotor velocities the source read, and those
// back to the freestream and the combined deficit; the source's scalars to
// their inputs.
void reverse_operating_point(const Inputs& in, const CaseData& cd, const Visit& s,
                             ReverseWork& rw, const SourceGrads& g0, const CaseGrads& out) {
    const int64_t NN = in.NN, i = s.i;
    SourceGrads g = g0;
    const int64_t type = cd.type(i);
    operating_point_backward(cd.table(i), s.op, s.u, NN, s.yaw, s.tilt, g.ct, g.a,
                             rw.grad_u.data(), g.yaw, g.tilt, out.ws[type], out.ct[type]);
    for (int64_t p = 0; p < NN; ++p) {
        const R gu = rw.grad_u[p];
        const int64_t k = i * NN + p;
        if (i == 0) {
            out.u0[k] += gu;
        } else if (s.u_raw[p] >= lit(1e-6)) {
            out.u0[k] += gu;
            rw.grad_A[k] -= gu;
        }
    }
    rw.grad_TI[i] += g.ti;
    out.yaw[i] += g.yaw;
    out.tilt[i] += g.tilt;
    out.rd[i] += g.D;
    out.hh[i] += g.H;
    rw.grad_xbar[i] += g.x;
    rw.grad_ybar[i] += g.y;
}

// The ambient turbulence every turbine starts from, the case's mean
// freestream speed and the rotor means, back to the points.
void reverse_case_inputs(const Inputs& in, const CaseData& cd, ReverseWork& rw, R grad_amb,
                         R grad_u_inf, const CaseGrads& out) {
    const int64_t T = in.T, NN = in.NN, S = cd.S;
    for (int64_t r = 0; r < T; ++r) grad_amb += rw.grad_TI[r];
    *out.amb += grad_amb;
    if (in.transverse || in.steering) {
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

}  // namespace

void reverse_case(const Inputs& in, const SequentialBuffers& b, const SequentialTape& tape,
                  const CaseOutputGrads& grad_out, const TransverseRecord& rec, ReverseWork& rw,
                  const CaseGrads& out) {
    const CaseData& cd = b.cd;
    const int64_t T = in.T, NN = in.NN, S = cd.S;
    rw.grad_A.assign(T * NN, R(0));
    rw.grad_TI.assign(T, R(0));
    rw.grad_xbar.assign(T, R(0));
    rw.grad_ybar.assign(T, R(0));
    rw.u.resize(NN);
    rw.grad_u.resize(NN);
    rw.entry.assign(T, -1);
    if (in.transverse || in.steering) {
        for (auto* v : {&rw.grad_V, &rw.grad_W, &rw.grad_Y, &rw.grad_Z, &rw.grad_U0})
            v->assign(S * NN, R(0));
        for (auto* v : {&rw.grad_v_read, &rw.grad_w_read, &rw.grad_y_rotor, &rw.grad_z_rotor})
            v->resize(NN);
    }
    seed_output_grads(in, cd, b.A, grad_out, rw, out);

    R grad_amb = 0, grad_u_inf = 0;
    for (int64_t i = T - 1; i >= 0; --i) {
        Visit s;
        s.i = i;
        s.e0 = tape.first[i];
        s.e1 = tape.first[i + 1];
        s.u_raw = tape.u_raw.data() + i * NN;
        R* u = rw.u.data();
        for (int64_t p = 0; p < NN; ++p)
            u[p] = i == 0 ? s.u_raw[p] : clamp_min(s.u_raw[p], lit(1e-6));
        s.u = u;
        s.yaw = cd.yaw[i];
        s.tilt = cd.tilt[i];
        s.op = operating_point_forward(cd.table(i), u, NN, s.yaw, s.tilt);
        s.x = cd.xbar[i];
        s.y = cd.ybar[i];
        s.D = cd.rotor_diameter(i);
        s.H = cd.hub_height(i);
        s.ti = tape.ti_before[i * T + i];
        s.ti_after = in.recovery ? rec.ti_recovered[i] : s.ti;
        s.yaw_eff = in.steering ? rec.yaw_eff[i] : s.yaw;

        SourceGrads g;
        reverse_turbulence(in, cd, tape, s, rw, g, grad_amb);
        reverse_deficit(in, cd, tape, s, rw, g, out);
        g.ti_after += rw.grad_TI[i];
        rw.grad_TI[i] = 0;
        g.ti += g.ti_after;
        std::fill(rw.grad_u.begin(), rw.grad_u.end(), R(0));
        reverse_transverse(in, cd, rec, s, rw, g, grad_u_inf, out);
        reverse_steering(in, cd, rec, s, rw, g, out);
        reverse_operating_point(in, cd, s, rw, g, out);
    }
    reverse_case_inputs(in, cd, rw, grad_amb, grad_u_inf, out);
}

}  // namespace sorbane::fused
