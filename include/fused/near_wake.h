#pragma once
// The end x0 of the near wake, shared by the deflection and the deficit
// (Bastankhah & Porte-Agel 2016): the potential core closes where the
// turbulent and the shear-generated mixing, 4 alpha I + 2 beta (1 - q), have
// eroded the rotor's width D c (1 + root). c: the cosine of the yaw; q: the
// root sqrt(1 - Ct); root: q, or the yawed thrust's root for the deflection.
#include "fused/inputs.h"
#include "fused/math.h"

namespace sorbane::fused {

// num and den_in: the numerator and the mixing rate before its floor.
struct NearWakeEnd {
    R num, den_in, den, x0;
};

SORBANE_INLINE NearWakeEnd near_wake_end(const Inputs& in, R x, R D, R c, R root, R q, R ti) {
    NearWakeEnd o;
    o.num = (D * c) * (root + R(1));
    o.den_in = ti * in.alpha4 + (R(1) - q) * in.beta2;
    o.den = clamp_min(o.den_in, f32c(1e-6f)) * f32c(1.4142135623730951f);
    o.x0 = o.num / o.den + x;
    return o;
}

// For the gradient grad_x0 of x0: those of x, ti, q, D, c and root.
SORBANE_INLINE void near_wake_end_backward(const Inputs& in, const NearWakeEnd& o, R D, R c,
                                           R root, R grad_x0, R& grad_x, R& grad_ti, R& grad_q,
                                           R& grad_D, R& grad_c, R& grad_root) {
    grad_x += grad_x0;
    const R grad_num = grad_x0 / o.den;
    const R grad_den = -(grad_x0 * o.num) / (o.den * o.den);
    const R grad_den_in = o.den_in >= f32c(1e-6f) ? grad_den * f32c(1.4142135623730951f) : R(0);
    grad_ti += grad_den_in * in.alpha4;
    grad_q -= grad_den_in * in.beta2;
    grad_D += grad_num * c * (root + R(1));
    grad_c += grad_num * D * (root + R(1));
    grad_root += grad_num * (D * c);
}

// The lateral width at x0 of a yawed wake, sy0 = sz0 c: for its gradient,
// those of sz0 and c.
SORBANE_INLINE void lateral_width_backward(R grad_sy0, R sz0, R c, R& grad_sz0, R& grad_c) {
    grad_sz0 += grad_sy0 * c;
    grad_c += grad_sy0 * sz0;
}

}  // namespace sorbane::fused
