// Wake-added turbulence, as src/turbulence and the solvers' wake-added
// turbulence step form it. Crespo & Hernandez (1996): the turbulence a wake
// adds grows with the rotor's induction and the ambient turbulence and decays
// as a power of the distance downstream in diameters; it counts on the share
// of a receiver's rotor points the wake's deficit covers (above 0.05), within
// two diameters across and fifteen downstream. And the yaw-added recovery:
// the mean transverse flow across a rotor adds its kinetic energy to the
// turbulent one, taken as isotropic (TI = sqrt(2k/3) / U).
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace sorbane::fused {

bool Source::turbulence_bounded(const Inputs& in, const CaseData& cd) {
    // crespo_hernandez_ti is evaluated for every pair and masked by
    // multiplication, so an overflow in a skipped pair would still reach the
    // result; prove that none occurs.
    const double limit = static_cast<double>(std::numeric_limits<R>::max()) / 16.0;
    const double r_max = in.ch_r_max[i];
    if ((in.ch_ai_exp < 0.0 || a <= R(1)) && cd.ch_g_max * r_max < limit) return true;
    return std::fabs(static_cast<double>(ch_g(in, cd))) * r_max < limit;
}

R Source::ch_g(const Inputs& in, const CaseData& cd) {
    if (!ch_g_known) {
        const R aa = pow_scalar(clamp_min(a, lit(1e-6)), in.ch_ai_exp);
        ch_g_value = (aa * in.ch_constant) * cd.ch_t0;
        ch_g_known = true;
    }
    return ch_g_value;
}

R Source::added_turbulence(const Inputs& in, const CaseData& cd, int64_t r, R cnt) {
    const R X = cd.xbar[r];
    const R dx = X - x;
    const R m = dx > lit(0.1) ? R(1) : R(0);
    const R overlap = cnt / static_cast<R>(cd.NN);
    const R down = X > x ? R(1) : R(0);
    const R lateral = std::abs(y - cd.ybar[r]) < rd * R(2) ? R(1) : R(0);
    const R reach = X <= x + rd * R(15) ? R(1) : R(0);
    // Any zero factor makes the product zero: the correlation stays finite
    // for every pair (turbulence_bounded).
    if (!(overlap > R(0)) || m == R(0) || down == R(0) || lateral == R(0) || reach == R(0)) return R(0);
    const R dx_safe = dx * m + (R(1) - m);
    const R dist = pow_scalar(clamp_min(dx_safe / rd, lit(1e-6)), in.ch_downstream);
    const R ti_add = (ch_g(in, cd) * dist) * m;
    return (((overlap * ti_add) * down) * lateral) * reach;
}

namespace {

// yaw_added_turbulence_mixing's intermediates at turbine i: V and W are the
// accumulated transverse velocities on its rotor, NN values at stride.
struct Mixing {
    R u_eff, ui, k2, u_t, vm, wm, k_total, num, den, ti_total;
};

Mixing mixing_at(const CaseData& cd, int64_t i, const R* u, R ti, const R* V, const R* W,
                 int64_t stride) {
    const int64_t NN = cd.NN;
    Mixing m;
    m.u_eff = kernel_rotor_speed(u, 1, NN);
    m.ui = m.u_eff * ti;
    const R k = (m.ui * m.ui) / f32c(2.0f / 3.0f);
    m.k2 = k * R(2);
    m.u_t = std::sqrt(clamp_min(m.k2, R(0)));
    const R* v_in = cd.v_in + i * NN;
    const R* w_in = cd.w_in + i * NN;
    R sv = 0, sw = 0;
    for (int64_t p = 0; p < NN; ++p) {
        sv += v_in[p] + V[p * stride];
        sw += w_in[p] + W[p * stride];
    }
    m.vm = sv / static_cast<R>(NN);
    m.wm = sw / static_cast<R>(NN);
    m.k_total = ((m.u_t * m.u_t + m.vm * m.vm) + m.wm * m.wm) * R(0.5);
    m.num = std::sqrt(clamp_min(m.k_total, R(0)) * f32c(2.0f / 3.0f));
    m.den = clamp_min(m.u_eff, f32c(1e-6f));
    m.ti_total = m.num / m.den;
    return m;
}

}  // namespace

R mixing(const CaseData& cd, int64_t i, const R* u, R ti, const R* V, const R* W) {
    return mixing_at(cd, i, u, ti, V, W, cd.S).ti_total - ti;
}

// ---------------------------------------------------------------------------
// The reverse pass.

// The reverse of the turbulence the wake of source i adds (crespo_hernandez_ti
// times the overlap and region masks) and of the maximum that keeps every
// turbine's largest, sqrt(max(c^2 + amb^2, 1e-6)) against its turbulence
// before the wake (c = 0 where the wake adds none, as the op-by-op pass takes
// it at every receiver). ti_before: the T values before the wake, ti_own the
// source's own after its recovery; entry[r]: receiver r's tape entry (count of
// points above the threshold), or -1. grad_TI (per turbine) turns from the
// gradient after the wake into the one before it.
void added_turbulence_backward(const Inputs& in, const CaseData& cd, int64_t i, R x, R y, R D,
                               R a, const R* ti_before, R ti_own, const int64_t* entry,
                               const R* count, R* grad_TI, R* grad_xbar, TurbulenceGrads& out) {
    const int64_t T = cd.T, NN = cd.NN;
    const R amb = cd.amb, amb_sq = cd.amb_sq;
    const R ti_floor = std::sqrt(clamp_min(R(0) * R(0) + amb_sq, lit(1e-6)));
    const R aa = pow_scalar(clamp_min(a, lit(1e-6)), in.ch_ai_exp);
    const R ch_g = (aa * in.ch_constant) * cd.ch_t0;
    for (int64_t r = 0; r < T; ++r) {
        const R before = r == i ? ti_own : ti_before[r];
        R c = 0, dist = 0, b_in = 0, overlap = 0;
        const int64_t e = entry[r];
        if (e >= 0) {
            const R X = cd.xbar[r];
            const R dx = X - x;
            overlap = count[e] / static_cast<R>(NN);
            const bool reached = overlap > R(0) && dx > lit(0.1) && X > x &&
                                 std::abs(y - cd.ybar[r]) < D * R(2) && X <= x + D * R(15);
            if (reached) {
                b_in = dx / D;
                dist = pow_scalar(clamp_min(b_in, lit(1e-6)), in.ch_downstream);
                c = overlap * (ch_g * dist);
            } else {
                overlap = 0;
            }
        }
        const R arg = c * c + amb_sq;
        const R t = e >= 0 ? std::sqrt(clamp_min(arg, lit(1e-6))) : ti_floor;
        const R g = grad_TI[r];
        const R share = before == t ? g / R(2) : g;
        grad_TI[r] = before < t ? R(0) : share;
        const R grad_t = before > t ? R(0) : share;
        if (grad_t == R(0)) continue;
        const R grad_arg = sqrt_floor_grad(grad_t, e >= 0 ? arg : amb_sq, lit(1e-6), t);
        out.amb += grad_arg * (amb * R(2));
        if (overlap == R(0)) continue;
        // c = overlap (constant a^ai_exp ti0^initial) (dx / D)^downstream
        const R grad_ti_add = (grad_arg * (c * R(2))) * overlap;
        const R grad_ch_g = grad_ti_add * dist;
        const R grad_dist = grad_ti_add * ch_g;
        if (a >= lit(1e-6))
            out.a += grad_ch_g * cd.ch_t0 * in.ch_constant * pow_slope(a, in.ch_ai_exp);
        if (amb >= lit(1e-6))
            out.amb += grad_ch_g * (aa * in.ch_constant) * pow_slope(amb, in.ch_initial);
        if (b_in >= lit(1e-6)) {
            const R grad_b = grad_dist * pow_slope(b_in, in.ch_downstream);
            const R grad_dx = grad_b / D;
            out.D -= (grad_b * b_in) / D;
            grad_xbar[r] += grad_dx;
            out.x -= grad_dx;
        }
    }
}

// yaw_added_turbulence_mixing at turbine i: for the gradient g of the mixing
// term, the gradients of its rotor velocities u, of its turbulence ti, and of
// the spanwise and vertical velocities it read (the input field's and the
// accumulated ones share one gradient: grad_v and grad_w, NN values each).
void mixing_backward(const CaseData& cd, int64_t i, const R* u, R ti,
                     const R* V, const R* W, R g, R* grad_u, R& grad_ti, R* grad_v, R* grad_w) {
    const int64_t NN = cd.NN;
    const Mixing m = mixing_at(cd, i, u, ti, V, W, 1);
    const R u_eff = m.u_eff, ui = m.ui, k2 = m.k2, u_t = m.u_t, vm = m.vm, wm = m.wm;
    const R k_total = m.k_total, num = m.num, den = m.den, ti_total = m.ti_total;
    const R two_thirds = f32c(2.0f / 3.0f);

    // mix = ti_total - ti; ti_total = sqrt(max(k_total, 0) 2/3) / max(u_eff, 1e-6)
    grad_ti -= g;
    R g_u_eff = u_eff >= f32c(1e-6f) ? -(g * ti_total) / den : R(0);
    const R g_k_total = k_total >= R(0) ? ((g / den) / (num * R(2))) * two_thirds : R(0);
    const R g_half = g_k_total * R(0.5);
    const R g_vm = g_half * (vm * R(2)), g_wm = g_half * (wm * R(2));
    for (int64_t p = 0; p < NN; ++p) {
        grad_v[p] += g_vm / static_cast<R>(NN);
        grad_w[p] += g_wm / static_cast<R>(NN);
    }
    // u_t = sqrt(max(2 k, 0)); k = (u_eff ti)^2 / (2/3)
    const R g_k2 = k2 >= R(0) ? (g_half * (u_t * R(2))) / (u_t * R(2)) : R(0);
    const R g_ui = ((g_k2 * R(2)) / two_thirds) * (ui * R(2));
    g_u_eff += g_ui * ti;
    grad_ti += g_ui * u_eff;
    kernel_rotor_speed_backward(u, NN, g_u_eff, grad_u);
}

}  // namespace sorbane::fused
