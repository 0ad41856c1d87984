#pragma once
// The Gaussian velocity deficit (gauss_velocity_deficit). Behind the rotor a
// near wake whose widths blend from the rotor-plane width to those at x0, the
// start of the far wake, where the widths grow linearly with the turbulence;
// the centre-line amplitude spreads the rotor's momentum deficit over the
// Gaussian's area, and a logistic gate in dx stands for the upstream cut-off
// (Bastankhah & Porte-Agel 2016). Wakes combine as the root of the sum of
// their squares.
#include "fused/inputs.h"
#include "fused/math.h"
#include "fused/near_wake.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace sorbane::fused {

// The constants of one source: c the yaw's cosine, ctv the clamped thrust, q
// = sqrt(1 - ctv), sz0 and sy0 the widths at x0, nw the near wake's end x0,
// x0_len the near wake's length (at least 1), snw the width at the rotor, k
// the expansion, ct_c the thrust along the wind, DD the squared diameter. A
// name ending in _in is a value before its clamp or floor.
struct DeficitSource {
    R c, ctv, q, sz0, sy0;
    NearWakeEnd nw;
    R x0_len_in, x0_len, snw_in, snw_root, snw, k, ct_c, DD;

    // Whether every constant the receivers read is finite.
    bool finite() const {
        return (sz0 + sy0 + nw.x0 + x0_len + snw + k + ct_c + DD) * R(0) == R(0);
    }
};

// From the source's x, thrust, (raw) yaw, turbulence and diameter.
DeficitSource deficit_source(const Inputs& in, R x, R ct, R yaw, R ti, R D);

// The widths at receiver x X of the source at x: rr the near-wake ramp, e
// the distance past x0, m the far-wake mask, sy and sz the widths, s2y and
// s2z their floored squares.
struct WakeWidths {
    R dx, rr_in, rr, e_in, e, m, sy, sz, s2y, s2z;
};

SORBANE_INLINE WakeWidths wake_widths_at(const DeficitSource& s, R x, R X) {
    const R tiny = f32c(1e-6f);
    WakeWidths o;
    o.dx = X - x;
    o.rr_in = o.dx / s.x0_len;
    o.rr = clamp(o.rr_in, R(0), R(1));
    const R one_r = R(1) - o.rr;
    const R sy_near = one_r * s.snw + o.rr * s.sy0;
    const R sz_near = one_r * s.snw + o.rr * s.sz0;
    o.e_in = X - s.nw.x0;
    o.e = clamp_min(o.e_in, R(0));
    const R sy_far = s.k * o.e + s.sy0;
    const R sz_far = s.k * o.e + s.sz0;
    o.m = X >= s.nw.x0 ? R(1) : R(0);
    const R one_m = R(1) - o.m;
    o.sy = o.m * sy_far + one_m * sy_near;
    o.sz = o.m * sz_far + one_m * sz_near;
    o.s2y = clamp_min(o.sy * o.sy, tiny);
    o.s2z = clamp_min(o.sz * o.sz, tiny);
    return o;
}

// The logistic gate in place of a hard upstream cut-off.
SORBANE_INLINE R wake_gate(R dx, R sigmoid_k) { return R(1) / (exp_v(-(dx * sigmoid_k)) + R(1)); }

// The centre-line amplitude 1 - sqrt(1 - ct_c / P) for the normalised wake
// area P = 8 sy sz / D^2.
struct WakeAmplitude {
    R P_in, P, Q_in, root, amp;
};

SORBANE_INLINE WakeAmplitude wake_amplitude_at(const DeficitSource& s, R sy, R sz) {
    WakeAmplitude o;
    o.P_in = ((sy * R(8)) * sz) / s.DD;
    o.P = clamp_min(o.P_in, f32c(1e-6f));
    o.Q_in = R(1) - s.ct_c / o.P;
    o.root = std::sqrt(clamp(o.Q_in, R(0), R(1)));
    o.amp = R(1) - o.root;
    return o;
}

// The Gaussian at offsets dy and dz from the wake centre.
SORBANE_INLINE R gaussian(R dy, R dz, R s2y, R s2z) {
    return exp_v(((dy * dy) / s2y + (dz * dz) / s2z) * R(-0.5));
}

// The deficit ((amp G) gate) u0 at point (y, z) of a wake centred at (yc, H).
struct PointDeficit {
    R dy, dz, G, amp_G, amp_G_gate, def;
};

SORBANE_INLINE PointDeficit point_deficit(R y, R z, R u0, R yc, R H, R s2y, R s2z, R amp, R gate) {
    PointDeficit o;
    o.dy = y - yc;
    o.dz = z - H;
    o.G = gaussian(o.dy, o.dz, s2y, s2z);
    o.amp_G = amp * o.G;
    o.amp_G_gate = o.amp_G * gate;
    o.def = o.amp_G_gate * u0;
    return o;
}

// One more wake joins the combined deficit: sqrt(max(before^2 + def^2, 1e-20)).
struct RootSum {
    R arg, combined;
};

SORBANE_INLINE RootSum root_sum_combine(R before, R def) {
    RootSum o;
    o.arg = before * before + def * def;
    o.combined = std::sqrt(clamp_min(o.arg, lit(1e-20)));
    return o;
}

// The reverse pass. The per-receiver values of the deficit at receiver x X
// (every point of a rotor shares it), with their slopes in X: the op-by-op
// kernel takes x per point, so each point's x gradient is its own gradients
// times these slopes.
struct DeficitReceiver {
    WakeWidths wd;
    WakeAmplitude am;
    R gate;
    R slope_s2y, slope_s2z, slope_gate, slope_amp;
};

struct DeficitSourceGrad {
    R sy0 = 0, sz0 = 0, snw = 0, k = 0, x0 = 0, x0_len = 0, ct_c = 0, DD = 0;
};

// The worked receivers of one source, packed: per-receiver values at k, point
// values at p * Kp + k, so that the loop over receivers vectorises.
struct PackedReceivers {
    int64_t Kp = 0;
    std::vector<R> yc, s2y, s2z, amp, gate, slope_amp, slope_gate, slope_s2y, slope_s2z;
    std::vector<R> sum_amp, sum_gate, sum_s2y, sum_s2z, sum_yc, sum_H;
    std::vector<R> Y, Z, U0, a_before, grad_A, grad_u0, grad_x, grad_y, grad_z;
    std::vector<DeficitReceiver> receiver;

    void resize(int64_t K, int64_t NN);
};

DeficitReceiver deficit_receiver(const Inputs& in, const DeficitSource& s, R x, R X);
// Sums over the receiver's points of the gradients of its per-receiver
// values, back to the source's constants and x (the receiver's x is done per point).
void deficit_receiver_backward(const Inputs& in, const DeficitSource& s, const DeficitReceiver& d,
                               R grad_amp, R grad_gate, R grad_s2y, R grad_s2z,
                               DeficitSourceGrad& g, R& grad_x);
// The reverse of the superposition and of the Gaussian at every point of the
// packed receivers: grad_A (the combined deficit after the wake) becomes the
// gradient before it; the points' gradients are written, the per-receiver
// ones summed over the points.
void deficit_points_backward(int64_t NN, R H, PackedReceivers& pk);
void deficit_source_backward(const Inputs& in, const DeficitSource& s, R ct, R yaw, R D,
                             DeficitSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                             R& grad_ti, R& grad_D);

}  // namespace sorbane::fused
