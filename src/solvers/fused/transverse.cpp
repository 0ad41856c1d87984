// Transverse velocities and secondary steering, as src/gauss_deflection's
// gauss_transverse_velocities and wake_added_yaw form them. A yawed rotor's
// lateral thrust sheds a counter-rotating vortex pair from its top and bottom
// edges, and its torque leaves a swirl (wake rotation); each line vortex
// induces the point-vortex velocity with a Lamb-Oseen core, mirrored below
// the ground so that the ground is a streamline, and the cores diffuse
// downstream under a mixing-length eddy viscosity. A turbine standing in that
// spanwise flow turns its own wake as if it were yawed further: the added yaw
// is the yaw whose vortex pair would induce the spanwise flow left after its
// own swirl.
#include "fused/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sorbane::fused {

R added_yaw(const Inputs& in, const CaseData& cd, int64_t i, const R* u, const R* v, R ct, R a) {
    const int64_t S = cd.S, NN = cd.NN;
    const R u_inf = cd.u0bar[i];
    const R v_mean = rotor_mean(v, S, NN);
    const R u_eff = kernel_rotor_speed(u, 1, NN);

    // The turbine's own scalars, read as 32-bit floats and combined in single
    // precision, as wake_added_yaw does.
    const float d = static_cast<float>(in.rd.data_ptr<R>()[i]);
    const float h = static_cast<float>(in.hh.data_ptr<R>()[i]);
    const float eps = 0.2f * d;
    const float eps2 = eps * eps;
    const float z_top = std::fma(0.5f, d, h);
    const float z_bot = std::fma(-0.5f, d, h);
    const float h_safe = std::max(h, 1e-6f);
    const float vel_top = std::pow(std::max(z_top / h_safe, 1e-6f), in.shear_f);
    const float vel_bot = std::pow(std::max(z_bot / h_safe, 1e-6f), in.shear_f);
    const float g = d * (kPiF / 8.0f);
    const float tau = std::max(in.tsr_f, 1e-6f);

    const R gamma_top = (u_inf * static_cast<R>(g * vel_top)) * ct;
    const R gamma_bot = (u_inf * static_cast<R>(-(vel_bot * g))) * ct;
    const R gamma_rot = (((a - a * a) * static_cast<R>(d * (kPiF / 2.0f))) * u_eff) / static_cast<R>(tau);

    const R* Y = cd.Y.data() + i;
    const R* Z = cd.Z.data() + i;
    const R ybar = cd.ybar[i];
    R s_top = 0, s_bot = 0, s_core = 0;
    for (int64_t p = 0; p < NN; ++p) {
        const R yl = (Y[p * S] - ybar) + f32c(1e-5f);
        const R y2 = yl * yl;
        const R zp = Z[p * S];
        R sp, vt;
        const R zeta_top = (zp - static_cast<R>(z_top)) + f32c(1e-5f);
        vortex(y2, yl, zeta_top, gamma_top, static_cast<R>(eps2), sp, vt);
        s_top += sp;
        const R zeta_bot = (zp - static_cast<R>(z_bot)) + f32c(1e-5f);
        vortex(y2, yl, zeta_bot, gamma_bot, static_cast<R>(eps2), sp, vt);
        s_bot += sp;
        const R zeta_core = (zp - static_cast<R>(h)) + f32c(1e-5f);
        vortex(y2, yl, zeta_core, gamma_rot, static_cast<R>(eps2), sp, vt);
        s_core += sp;
    }
    const R v_top = s_top / static_cast<R>(NN);
    const R v_bot = s_bot / static_cast<R>(NN);
    const R v_core = s_core / static_cast<R>(NN);
    const R s = v_top + v_bot;
    const R den = std::abs(s) > f32c(1e-10f) ? s : f32c(1e-10f);
    const R ratio = clamp(((v_mean - v_core) * R(2)) / den, f32c(-0.999999f), f32c(0.999999f));
    return (std::asin(ratio) * R(0.5)) * f32c(180.0f / kPiF);
}

namespace {

// The six vortices of one source at the points of receivers [lo, hi): top
// and bottom (yawed rotors only), wake rotation, and their ground images.
// Zero circulations contribute signed zeros only, so they are left out.
template <bool kPair, bool kRot>
SORBANE_INLINE void vortex_loop(int64_t lo, int64_t hi, R yi, R H, R half_d, R d8, R eps2, R shear,
                                R u_inf, R g_top, R g_bot, R g_rot, const R* __restrict Y,
                                const R* __restrict Z, const R* __restrict U0,
                                const R* __restrict dxt, const R* __restrict mt, R* __restrict V,
                                R* __restrict W) {
    const R off = f32c(1e-5f);
    for (int64_t r = lo; r < hi; ++r) {
        const R yl = (Y[r] - yi) + off;
        const R y2 = yl * yl;
        const R z = Z[r];
        // Diffusion of the cores under a mixing-length eddy viscosity.
        const R kz = z * f32c(0.41f);
        const R ml = kz / (kz / d8 + R(1));
        const R dudz = (U0[r] * shear) / clamp_min(z, f32c(1e-4f));
        const R nu = (ml * ml) * std::abs(dudz);
        const R decay = eps2 / clamp_min((((nu * R(4)) * dxt[r]) / u_inf) + eps2, f32c(1e-20f));
        const R zh = z - H;
        const R zh_img = z + H;
        R v = 0, w = 0, sp, vt;
        if constexpr (kPair) {
            vortex(y2, yl, (zh - half_d) + off, g_top, eps2, sp, vt);
            v = sp * decay;
            w = vt * decay;
            vortex(y2, yl, (zh + half_d) + off, g_bot, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
            vortex(y2, yl, (zh_img + half_d) + off, -g_top, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
            vortex(y2, yl, (zh_img - half_d) + off, -g_bot, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
        }
        if constexpr (kRot) {
            vortex(y2, yl, zh + off, g_rot, eps2, sp, vt);
            v = kPair ? v + sp * decay : sp * decay;
            w = kPair ? w + vt * decay : vt * decay;
            vortex(y2, yl, zh_img + off, -g_rot, eps2, sp, vt);
            v = v + sp * decay;
            w = w + vt * decay;
        }
        V[r] = V[r] + v * mt[r];
        // Upwash only.
        W[r] = W[r] + clamp_min(w * mt[r], R(0));
    }
}

template <bool kPair, bool kRot>
SORBANE_INLINE void vortex_rows(int64_t S, int64_t NN, int64_t lo, int64_t hi, R yi, R H, R half_d,
                                R d8, R eps2, R shear, R u_inf, R g_top, R g_bot, R g_rot,
                                const R* Yp, const R* Zp, const R* U0p, const R* dxt, const R* mt,
                                R* Vp, R* Wp) {
    for (int64_t p = 0; p < NN; ++p) {
        vortex_loop<kPair, kRot>(lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot, g_rot,
                                 Yp + p * S, Zp + p * S, U0p + p * S, dxt, mt, Vp + p * S,
                                 Wp + p * S);
    }
}

SORBANE_HOT void vortex_points(int64_t S, int64_t NN, int64_t lo, int64_t hi, R yi, R H, R half_d,
                               R d8, R eps2, R shear, R u_inf, R g_top, R g_bot, R g_rot,
                               bool pair, bool rot, const R* Yp, const R* Zp, const R* U0p,
                               const R* dxt, const R* mt, R* Vp, R* Wp) {
    if (pair && rot) {
        vortex_rows<true, true>(S, NN, lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot,
                                g_rot, Yp, Zp, U0p, dxt, mt, Vp, Wp);
    } else if (pair) {
        vortex_rows<true, false>(S, NN, lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot,
                                 g_rot, Yp, Zp, U0p, dxt, mt, Vp, Wp);
    } else {
        vortex_rows<false, true>(S, NN, lo, hi, yi, H, half_d, d8, eps2, shear, u_inf, g_top, g_bot,
                                 g_rot, Yp, Zp, U0p, dxt, mt, Vp, Wp);
    }
}

}  // namespace

void transverse(const Inputs& in, const CaseData& cd, const Source& src, R yaw, const R* u, R* V,
                R* W, Work& w, int64_t& lo, int64_t& hi) {
    const int64_t T = cd.T, NN = cd.NN;
    // Nothing reaches a rotor upstream of the source; one abreast of it counts.
    lo = T;
    hi = 0;
    for (int64_t r = 0; r < T; ++r) {
        w.x_offset[r] = cd.xbar[r] - src.x;
        const bool m = w.x_offset[r] >= R(0);
        w.reached[r] = m ? R(1) : R(0);
        if (m) {
            lo = std::min(lo, r);
            hi = r + 1;
        }
    }
    if (lo >= hi) {
        lo = hi = 0;
        return;
    }

    const R tiny = f32c(1e-6f);
    const R yr = yaw * lit(kDegToRad);
    const R sn = std::sin(yr), cs = std::cos(yr);
    const R h2 = src.hh, d2 = src.rd;
    const R h2_safe = clamp_min(h2, tiny);
    const R vel_top = pow_scalar((h2 + d2 / R(2)) / h2_safe, in.shear);
    const R vel_bot = pow_scalar(clamp_min(h2 - d2 / R(2), tiny) / h2_safe, in.shear);
    const R g_top = (sn * cs) * ((((d2 * f32c(kPiF / 8.0f)) * vel_top) * cd.u_inf) * src.ct);
    const R g_bot = (-sn * cs) * ((((d2 * f32c(kPiF / 8.0f)) * vel_bot) * cd.u_inf) * src.ct);
    const R u_eff = kernel_rotor_speed(u, 1, NN);
    const R g_rot = (((d2 * f32c(kPiF / 2.0f)) * (src.a - src.a * src.a)) * u_eff) /
                    clamp_min(in.tsr, tiny);
    const bool pair = g_top != R(0) || g_bot != R(0);
    const bool rot = g_rot != R(0);
    if (!pair && !rot) {
        lo = hi = 0;
        return;
    }
    const R eps = d2 * static_cast<R>(narrow(0.2));
    // Whole vectors: lanes past hi are masked out or spare.
    vortex_points(cd.S, NN, lo, lo + padded(hi - lo), src.y, h2, d2 / R(2), d2 / R(8), eps * eps,
                  static_cast<R>(in.shear), cd.u_inf, g_top, g_bot, g_rot, pair, rot, cd.Y.data(),
                  cd.Z.data(), cd.U0.data(), w.x_offset.data(), w.reached.data(), V, W);
}

}  // namespace sorbane::fused
