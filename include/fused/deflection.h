#pragma once
// Wake deflection of a yawed rotor (gauss_deflection). The lateral thrust of a
// yawed rotor skews its wake, which leaves the rotor at the skew angle theta
// and runs straight through the near wake, to an offset delta0 at its end x0;
// beyond, the far wake bends further by a term that grows with the logarithm
// of the widening wake's width ratio (Bastankhah & Porte-Agel 2016).
#include "fused/inputs.h"
#include "fused/math.h"
#include "fused/near_wake.h"

#include <cmath>

namespace sorbane::fused {

// The constants of one source, in gauss_deflection's symbols: gr the yaw in
// radians (sign reversed), c its cosine, ctv the clamped thrust, q = sqrt(1 -
// ctv), ctc and qc the yawed thrust and its root; w and r the width's
// denominator and ratio, sr its root; sz0, sy0 the widths at x0; nw the near
// wake's end x0; k the expansion; C0, M0, sM, E0 the momentum terms; theta the
// skew angle (theta1 before the (1 - qc) factor, cm the floored cosine); L,
// L1 the near wake's length and ramp; delta0 its straight offset; P0, kkM,
// phi_s, phi the far-wake growth (phi = 0 for an unskewed wake). A name
// ending in _in is a value before its clamp or floor.
struct DeflectionSource {
    R gr, c, ctv, q, ctc_in, ctc, qc, w_in, w, r_in, r, sr, sz0, sy0;
    NearWakeEnd nw;
    R k, C0, M0, sM, E0, cm, theta1, theta, L, tan_theta, delta0;
    R P0_in, P0, kkM, kkM_c, phi_in, phi_s, phi, L1;

    // Whether every constant the receivers read is finite.
    bool finite() const {
        return (sz0 + sy0 + nw.x0 + k + sM + delta0 + P0 + phi + L1) * R(0) == R(0);
    }
};

// From the source's x, thrust, (steered) yaw, turbulence and diameter.
DeflectionSource deflection_source(const Inputs& in, R x, R ct, R yaw, R ti, R D);

// The far wake's widths at receiver x X and the argument `ratio` of the
// growth's logarithm, with their intermediates (floors: _c).
struct FarWake {
    R e_in, e, sy, sz, rho_in, rho, num, den, num_c, den_c, ratio;
};

SORBANE_INLINE FarWake far_wake_at(const DeflectionSource& s, R X) {
    const R tiny = f32c(1e-6f), a16 = f32c(1.6f);
    FarWake o;
    o.e_in = X - s.nw.x0;
    o.e = clamp_min(o.e_in, R(0));
    o.sy = s.k * o.e + s.sy0;
    o.sz = s.k * o.e + s.sz0;
    o.rho_in = (o.sy * o.sz) / s.P0;
    o.rho = std::sqrt(clamp_min(o.rho_in, tiny));
    o.num = (s.sM + a16) * (o.rho * a16 - s.sM);
    o.den = (a16 - s.sM) * (o.rho * a16 + s.sM);
    o.num_c = clamp_min(o.num, tiny);
    o.den_c = clamp_min(std::abs(o.den), tiny);
    o.ratio = o.num_c / o.den_c;
    return o;
}

// The lateral offset of the wake centre of the source at x, at receiver x X:
// the straight near wake, then the far wake's growth (kGrowth: phi != 0; an
// unskewed wake has none), plus the linear correction ad + bd dx.
template <bool kGrowth>
SORBANE_INLINE R deflection_at(const Inputs& in, const DeflectionSource& s, R x, R X) {
    const R dx = X - x;
    R Phi = 0;
    if constexpr (kGrowth) Phi = s.phi * log_v(far_wake_at(s, X).ratio);
    const R lin = dx * in.bd + in.ad;
    const R rn = clamp(dx / s.L1, R(0), R(1));
    const R mf = X > s.nw.x0 ? R(1) : R(0);
    const R mn = (X >= x && X <= s.nw.x0) ? R(1) : R(0);
    const R md = dx > R(0) ? R(1) : R(0);
    return (mn * (rn * s.delta0 + lin) + mf * ((s.delta0 + Phi) + lin)) * md;
}

SORBANE_INLINE R deflection_at(const Inputs& in, const DeflectionSource& s, R x, R X) {
    return s.phi != R(0) ? deflection_at<true>(in, s, x, X) : deflection_at<false>(in, s, x, X);
}

// Gradients of the constants the receivers read, summed over the receivers.
struct DeflectionSourceGrad {
    R sz0 = 0, sy0 = 0, x0 = 0, k = 0, sM = 0, P0 = 0, phi = 0, delta0 = 0, L1 = 0;
};

// deflection_at's gradient grad_defl back to X and the source's x and constants.
void deflection_backward(const Inputs& in, const DeflectionSource& s, R x, R X, R grad_defl,
                         DeflectionSourceGrad& g, R& grad_x, R& grad_X);
// The constants' gradients back to the source's x, thrust, yaw, turbulence and diameter.
void deflection_source_backward(const Inputs& in, const DeflectionSource& s, R x, R ct, R D,
                                DeflectionSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                                R& grad_ti, R& grad_D);

}  // namespace sorbane::fused
