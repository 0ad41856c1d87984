#pragma once
// Wake-added turbulence (crespo_hernandez_ti and the solvers' wake-added
// turbulence step). Crespo & Hernandez (1996): the turbulence a wake adds
// grows with the rotor's induction and the ambient turbulence and decays as a
// power of the distance downstream in diameters; it counts on the share of a
// receiver's rotor points the wake's deficit covers (above 0.05), within two
// diameters across and fifteen downstream, and joins the ambient turbulence
// as the root of the sum of squares. And the yaw-added recovery: the mean
// transverse flow across a rotor adds its kinetic energy to the turbulent
// one, taken as isotropic (TI = sqrt(2k/3) / U).
#include "fused/inputs.h"
#include "fused/math.h"

#include <cmath>
#include <cstdint>

namespace sorbane::fused {

// The source's factor of the correlation: constant a^ai_exp I0^initial.
struct AddedTurbulenceSource {
    R aa, g;
};

SORBANE_INLINE AddedTurbulenceSource added_turbulence_source(const Inputs& in, const CaseData& cd,
                                                             R a) {
    AddedTurbulenceSource o;
    o.aa = pow_scalar(clamp_min(a, lit(1e-6)), in.ch_ai_exp);
    o.g = (o.aa * in.ch_constant) * cd.ch_t0;
    return o;
}

// The turbulence c the wake of the source at (x, y), diameter D, adds at
// receiver r, cnt of whose points it covers: zero (reached false) outside the
// region, else overlap g (dx / D)^downstream.
struct AddedTurbulence {
    bool reached;
    R overlap, b_in, dist, c;
};

SORBANE_INLINE AddedTurbulence added_turbulence_at(const Inputs& in, const CaseData& cd, R x, R y,
                                                   R D, R g, int64_t r, R cnt) {
    AddedTurbulence o{false, R(0), R(0), R(0), R(0)};
    const R X = cd.xbar[r];
    const R dx = X - x;
    const R overlap = cnt / static_cast<R>(cd.NN);
    o.reached = overlap > R(0) && dx > lit(0.1) && X > x && std::abs(y - cd.ybar[r]) < D * R(2) &&
                X <= x + D * R(15);
    if (!o.reached) return o;
    o.overlap = overlap;
    o.b_in = dx / D;
    o.dist = pow_scalar(clamp_min(o.b_in, lit(1e-6)), in.ch_downstream);
    o.c = o.overlap * (g * o.dist);
    return o;
}

// The turbulence c joins the ambient turbulence, sqrt(max(c^2 + amb^2, 1e-6)).
struct TurbulenceWithWake {
    R arg, ti;
};

SORBANE_INLINE TurbulenceWithWake turbulence_with_wake(R c, R amb_sq) {
    TurbulenceWithWake o;
    o.arg = c * c + amb_sq;
    o.ti = std::sqrt(clamp_min(o.arg, lit(1e-6)));
    return o;
}

// Turbulence added by mixing of the transverse flow at turbine i. u: NN
// contiguous; V, W: the accumulated transverse velocities (stride S).
real_t mixing(const CaseData& cd, int64_t i, const real_t* u, real_t ti, const real_t* V,
              const real_t* W);

// The reverse pass.
struct TurbulenceGrads {
    R a = 0, amb = 0, D = 0, x = 0;  // the source's induction, diameter and x; the ambient TI
};
void added_turbulence_backward(const Inputs& in, const CaseData& cd, int64_t i, R x, R y, R D,
                               R a, const R* ti_before, R ti_own, const int64_t* entry,
                               const R* count, R* grad_TI, R* grad_xbar, TurbulenceGrads& out);
void mixing_backward(const CaseData& cd, int64_t i, const R* u, R ti, const R* V, const R* W, R g,
                     R* grad_u, R& grad_ti, R* grad_v, R* grad_w);

}  // namespace sorbane::fused
