// Wake deflection of a yawed rotor, as src/gauss_deflection forms it: the
// lateral thrust of a yawed rotor skews its wake, which leaves the rotor at
// the skew angle theta and runs straight through the near wake, to an offset
// delta0 at its end x0; beyond, the far wake bends further by a term that
// grows with the logarithm of the widening wake's width ratio (Bastankhah &
// Porte-Agel 2016). The constants are formed once per source, then the
// centre's offset at each receiver's rotor-mean x.
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>

namespace sorbane::fused {

bool Source::set_deflection(const Inputs& in, R yaw_eff, R ti) {
    const R tiny = f32c(1e-6f), ct_max = f32c(0.9999f);
    const R D = rd, I = ti;
    // Positive yaw turns the wake towards -y.
    const R gr = yaw_eff * static_cast<R>(-kDegToRad);
    const R c = std::cos(gr);
    const R ctv = clamp(ct, R(0), ct_max);
    const R q = std::sqrt(clamp_min(R(1) - ctv, tiny));
    // Only the thrust component along the wind drives the momentum deficit.
    const R ctc = clamp(ctv * c, R(0), ct_max);
    const R qc = std::sqrt(clamp_min(R(1) - ctc, tiny));
    const R sz0 =
        (D * R(0.5)) *
        std::sqrt(clamp_min(ctc / clamp_min(((R(1) - qc) * R(2)) * (q + R(1)), tiny), tiny));
    const R sy0 = sz0 * c;
    const R x0 =
        ((D * c) * (qc + R(1))) /
            (clamp_min(I * in.alpha4 + (R(1) - q) * in.beta2, tiny) * f32c(1.4142135623730951f)) +
        x;
    const R k = I * in.ka + in.kb;
    const R C0 = R(1) - q;
    const R M0 = C0 * (R(2) - C0);
    const R sM = std::sqrt(clamp_min(M0, tiny));
    const R E0 = (C0 * C0 - C0 * f32c(3.2607121487f)) + f32c(4.1868372753f);
    const R theta = ((gr * in.skew) / clamp_min(c, tiny)) * (R(1) - qc);
    const R L = clamp_min(x0 - x, R(0));
    const R delta0 = std::tan(theta) * L;
    const R P0 = clamp_min(sy0 * sz0, tiny);
    const R phi = ((theta * E0) / f32c(5.2f)) *
                  std::sqrt(clamp_min(P0 / clamp_min((k * k) * M0, tiny), tiny));
    const R L1 = clamp_min(L, R(1));
    deflection = {.near_wake_end = x0, .expansion = k, .width_y0 = sy0, .width_z0 = sz0,
                  .sqrt_M0 = sM, .width_product0 = P0, .growth = phi, .ramp_length = L1,
                  .straight_offset = delta0};
    const R check = (sz0 + sy0 + x0 + k + sM + delta0 + P0 + phi + L1) * R(0);
    return check == R(0);
}

namespace {

// Deflection of the wake centre at each receiver (gauss_deflection), without
// or with the far-wake growth that only a skewed (yawed) wake has.
template <bool kGrowth>
SORBANE_INLINE void deflection_loop(const Inputs& in, const CaseData& cd, const Source& src,
                                    int64_t lo, int64_t hi, R* __restrict defl) {
    const R tiny = f32c(1e-6f), a16 = f32c(1.6f);
    const R* __restrict xbar = cd.xbar;
    const Source::Deflection& sd = src.deflection;
    const R x = src.x, x0 = sd.near_wake_end, k = sd.expansion;
    const R sy0 = sd.width_y0, sz0 = sd.width_z0, sM = sd.sqrt_M0, P0 = sd.width_product0;
    const R phi = sd.growth, delta0 = sd.straight_offset, L1 = sd.ramp_length;
    const R ad = in.ad, bd = in.bd;
    for (int64_t r = lo; r < hi; ++r) {
        const R X = xbar[r];
        const R dx = X - x;
        R Phi = 0;
        if constexpr (kGrowth) {
            const R e = clamp_min(X - x0, R(0));
            const R sy = k * e + sy0;
            const R sz = k * e + sz0;
            const R rho = std::sqrt(clamp_min((sy * sz) / P0, tiny));
            const R num = (sM + a16) * (rho * a16 - sM);
            const R den = (a16 - sM) * (rho * a16 + sM);
            Phi = phi * log_v(clamp_min(num, tiny) / clamp_min(std::abs(den), tiny));
        }
        const R lin = dx * bd + ad;
        const R rn = clamp(dx / L1, R(0), R(1));
        const R d_near = rn * delta0 + lin;
        const R d_far = (delta0 + Phi) + lin;
        const R mf = X > x0 ? R(1) : R(0);
        const R mn = (X >= x && X <= x0) ? R(1) : R(0);
        const R md = dx > R(0) ? R(1) : R(0);
        defl[r] = (mn * d_near + mf * d_far) * md;
    }
}

}  // namespace

SORBANE_HOT void deflection_pairs(const Inputs& in, const CaseData& cd, const Source& src,
                                  int64_t lo, int64_t hi, R* __restrict defl) {
    // With no skew (zero yaw) the far-wake growth is exactly zero.
    if (src.deflection.growth != R(0)) {
        deflection_loop<true>(in, cd, src, lo, hi, defl);
    } else {
        deflection_loop<false>(in, cd, src, lo, hi, defl);
    }
}

}  // namespace sorbane::fused
