// Wake deflection (fused/deflection.h): the constants once per source, the
// centre's offset at each receiver's rotor-mean x, and their gradients.
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>

namespace sorbane::fused {

DeflectionSource deflection_source(const Inputs& in, R x, R ct, R yaw, R ti, R D) {
    const R tiny = f32c(1e-6f), ct_max = f32c(0.9999f);
    DeflectionSource s;
    // Positive yaw turns the wake towards -y.
    s.gr = yaw * static_cast<R>(-kDegToRad);
    s.c = std::cos(s.gr);
    s.ctv = clamp(ct, R(0), ct_max);
    s.q = std::sqrt(clamp_min(R(1) - s.ctv, tiny));
    // Only the thrust component along the wind drives the momentum deficit.
    s.ctc_in = s.ctv * s.c;
    s.ctc = clamp(s.ctc_in, R(0), ct_max);
    s.qc = std::sqrt(clamp_min(R(1) - s.ctc, tiny));
    s.w_in = ((R(1) - s.qc) * R(2)) * (s.q + R(1));
    s.w = clamp_min(s.w_in, tiny);
    s.r_in = s.ctc / s.w;
    s.r = clamp_min(s.r_in, tiny);
    s.sr = std::sqrt(s.r);
    s.sz0 = (D * R(0.5)) * s.sr;
    s.sy0 = s.sz0 * s.c;
    s.nw = near_wake_end(in, x, D, s.c, s.qc, s.q, ti);
    s.k = ti * in.ka + in.kb;
    s.C0 = R(1) - s.q;
    s.M0 = s.C0 * (R(2) - s.C0);
    s.sM = std::sqrt(clamp_min(s.M0, tiny));
    s.E0 = (s.C0 * s.C0 - s.C0 * f32c(3.2607121487f)) + f32c(4.1868372753f);
    s.cm = clamp_min(s.c, tiny);
    s.theta1 = (s.gr * in.skew) / s.cm;
    s.theta = s.theta1 * (R(1) - s.qc);
    s.L = clamp_min(s.nw.x0 - x, R(0));
    s.tan_theta = std::tan(s.theta);
    s.delta0 = s.tan_theta * s.L;
    s.P0_in = s.sy0 * s.sz0;
    s.P0 = clamp_min(s.P0_in, tiny);
    s.kkM = (s.k * s.k) * s.M0;
    s.kkM_c = clamp_min(s.kkM, tiny);
    s.phi_in = s.P0 / s.kkM_c;
    s.phi_s = std::sqrt(clamp_min(s.phi_in, tiny));
    s.phi = ((s.theta * s.E0) / f32c(5.2f)) * s.phi_s;
    s.L1 = clamp_min(s.L, R(1));
    return s;
}

namespace {

template <bool kGrowth>
SORBANE_INLINE void deflection_loop(const Inputs& in, const CaseData& cd, const Source& src,
                                    int64_t lo, int64_t hi, R* __restrict defl) {
    const R* __restrict xbar = cd.xbar;
    const DeflectionSource s = src.deflection;
    const R x = src.x;
    for (int64_t r = lo; r < hi; ++r) defl[r] = deflection_at<kGrowth>(in, s, x, xbar[r]);
}

}  // namespace

SORBANE_HOT void deflection_pairs(const Inputs& in, const CaseData& cd, const Source& src,
                                  int64_t lo, int64_t hi, R* __restrict defl) {
    if (src.deflection.phi != R(0)) {
        deflection_loop<true>(in, cd, src, lo, hi, defl);
    } else {
        deflection_loop<false>(in, cd, src, lo, hi, defl);
    }
}

void deflection_source_backward(const Inputs& in, const DeflectionSource& s, R x, R ct, R D,
                                DeflectionSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                                R& grad_ti, R& grad_D) {
    const R tiny = f32c(1e-6f), ct_max = f32c(0.9999f);
    R grad_L = s.L >= R(1) ? g.L1 : R(0);
    // phi = (theta E0 / 5.2) sqrt(max(P0 / max(k^2 M0, tiny), tiny))
    R grad_theta = g.phi * s.phi_s * (s.E0 / f32c(5.2f));
    R grad_E0 = g.phi * s.phi_s * (s.theta / f32c(5.2f));
    const R grad_phi_s = g.phi * ((s.theta * s.E0) / f32c(5.2f));
    const R grad_phi_in = sqrt_floor_grad(grad_phi_s, s.phi_in, tiny, s.phi_s);
    g.P0 += grad_phi_in / s.kkM_c;
    const R grad_kkM = s.kkM >= tiny ? -(grad_phi_in * s.phi_in) / s.kkM_c : R(0);
    g.k += grad_kkM * s.M0 * (s.k * R(2));
    R grad_M0 = grad_kkM * (s.k * s.k);
    // P0 = max(sy0 sz0, tiny)
    if (s.P0_in >= tiny) {
        g.sy0 += g.P0 * s.sz0;
        g.sz0 += g.P0 * s.sy0;
    }
    // delta0 = tan(theta) L
    grad_theta += g.delta0 * s.L * (R(1) + s.tan_theta * s.tan_theta);
    grad_L += g.delta0 * s.tan_theta;
    // L = max(x0 - x, 0)
    if (s.nw.x0 - x >= R(0)) {
        g.x0 += grad_L;
        grad_x -= grad_L;
    }
    // theta = (gr skew / max(c, tiny)) (1 - qc)
    const R grad_theta1 = grad_theta * (R(1) - s.qc);
    R grad_qc = -grad_theta * s.theta1;
    R grad_gr = grad_theta1 * in.skew / s.cm;
    R grad_c = s.c >= tiny ? -(grad_theta1 * s.theta1) / s.cm : R(0);
    // E0, sM and M0 from C0 = 1 - q
    R grad_C0 = grad_E0 * (s.C0 * R(2) - f32c(3.2607121487f));
    grad_M0 += sqrt_floor_grad(g.sM, s.M0, tiny, s.sM);
    grad_C0 += grad_M0 * (R(2) - s.C0) - grad_M0 * s.C0;
    R grad_q = -grad_C0;
    grad_ti += g.k * in.ka;
    near_wake_end_backward(in, s.nw, D, s.c, s.qc, g.x0, grad_x, grad_ti, grad_q, grad_D, grad_c,
                           grad_qc);
    // sy0 = sz0 c; sz0 = D / 2 sqrt(max(ctc / max(2 (1 - qc)(q + 1), tiny), tiny))
    lateral_width_backward(g.sy0, s.sz0, s.c, g.sz0, grad_c);
    grad_D += g.sz0 * R(0.5) * s.sr;
    const R grad_sr = g.sz0 * (D * R(0.5));
    const R grad_r_in = sqrt_floor_grad(grad_sr, s.r_in, tiny, s.sr);
    R grad_ctc = grad_r_in / s.w;
    const R grad_w_in = s.w_in >= tiny ? -(grad_r_in * s.r_in) / s.w : R(0);
    grad_qc -= grad_w_in * R(2) * (s.q + R(1));
    grad_q += grad_w_in * ((R(1) - s.qc) * R(2));
    // qc = sqrt(max(1 - ctc, tiny)); ctc = clamp(ctv c, 0, 0.9999)
    grad_ctc -= sqrt_floor_grad(grad_qc, R(1) - s.ctc, tiny, s.qc);
    const R grad_ctc_in = (s.ctc_in >= R(0) && s.ctc_in <= ct_max) ? grad_ctc : R(0);
    R grad_ctv = grad_ctc_in * s.c;
    grad_c += grad_ctc_in * s.ctv;
    // q = sqrt(max(1 - ctv, tiny)); ctv = clamp(ct, 0, 0.9999)
    grad_ctv -= sqrt_floor_grad(grad_q, R(1) - s.ctv, tiny, s.q);
    if (ct >= R(0) && ct <= ct_max) grad_ct += grad_ctv;
    // c = cos(gr); gr = -yaw deg
    grad_gr -= std::sin(s.gr) * grad_c;
    grad_yaw += grad_gr * static_cast<R>(-kDegToRad);
}

void deflection_backward(const Inputs& in, const DeflectionSource& s, R x, R X, R grad_defl,
                         DeflectionSourceGrad& g, R& grad_x, R& grad_X) {
    const R tiny = f32c(1e-6f), a16 = f32c(1.6f);
    const R dx = X - x;
    if (!(dx > R(0))) return;
    const R grad_near = (X >= x && X <= s.nw.x0) ? grad_defl : R(0);
    const R grad_far = X > s.nw.x0 ? grad_defl : R(0);
    const R grad_lin = grad_near + grad_far;
    const R rn_in = dx / s.L1;
    const R rn = clamp(rn_in, R(0), R(1));
    const R grad_rn = grad_near * s.delta0;
    g.delta0 += grad_near * rn + grad_far;
    R grad_dx = grad_lin * in.bd;
    if (rn_in >= R(0) && rn_in <= R(1)) {
        grad_dx += grad_rn / s.L1;
        g.L1 -= (grad_rn * rn_in) / s.L1;
    }
    // Far-wake growth Phi = phi Lambda; its slope in theta matters even where
    // phi is 0 (no yaw).
    if (grad_far != R(0)) {
        const FarWake fw = far_wake_at(s, X);
        // The library's log: within a unit in the last place of the
        // forward's vectorised one.
        const R Lambda = std::log(fw.ratio);
        g.phi += grad_far * Lambda;
        const R grad_ratio = (grad_far * s.phi) / fw.ratio;
        if (grad_ratio != R(0)) {
            const R grad_num = fw.num >= tiny ? grad_ratio / fw.den_c : R(0);
            const R sgn = fw.den > R(0) ? R(1) : (fw.den < R(0) ? R(-1) : R(0));
            const R grad_den =
                std::abs(fw.den) >= tiny ? -(grad_ratio * fw.ratio) / fw.den_c * sgn : R(0);
            g.sM += grad_num * (fw.rho * a16 - s.sM) - grad_num * (s.sM + a16);
            g.sM += -grad_den * (fw.rho * a16 + s.sM) + grad_den * (a16 - s.sM);
            const R grad_rho = grad_num * (s.sM + a16) * a16 + grad_den * (a16 - s.sM) * a16;
            const R grad_rho_in = sqrt_floor_grad(grad_rho, fw.rho_in, tiny, fw.rho);
            const R grad_sy = grad_rho_in * fw.sz / s.P0;
            const R grad_sz = grad_rho_in * fw.sy / s.P0;
            g.P0 -= (grad_rho_in * fw.rho_in) / s.P0;
            g.k += (grad_sy + grad_sz) * fw.e;
            g.sy0 += grad_sy;
            g.sz0 += grad_sz;
            if (fw.e_in >= R(0)) {
                const R grad_e = (grad_sy + grad_sz) * s.k;
                grad_X += grad_e;
                g.x0 -= grad_e;
            }
        }
    }
    grad_X += grad_dx;
    grad_x -= grad_dx;
}

}  // namespace sorbane::fused
