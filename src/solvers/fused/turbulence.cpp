// Wake-added turbulence and the yaw-added recovery (fused/turbulence.h).
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
    const double r_max = cd.ch_r_max(i);
    if ((in.ch_ai_exp < 0.0 || a <= R(1)) && cd.ch_g_max * r_max < limit) return true;
    return std::fabs(static_cast<double>(ch_g(in, cd))) * r_max < limit;
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

// The reverse of the turbulence the wake of source i adds and of the maximum
// that keeps every turbine's largest, sqrt(max(c^2 + amb^2, 1e-6)) against
// its turbulence before the wake (c = 0 where the wake adds none, as the
// op-by-op pass takes it at every receiver). ti_before: the T values before
// the wake, ti_own the source's own after its recovery; entry[r]: receiver
// r's tape entry (count of points above the threshold), or -1. grad_TI (per
// turbine) turns from the gradient after the wake into the one before it.
void added_turbulence_backward(const Inputs& in, const CaseData& cd, int64_t i, R x, R y, R D,
                               R a, const R* ti_before, R ti_own, const int64_t* entry,
                               const R* count, R* grad_TI, R* grad_xbar, TurbulenceGrads& out) {
    const R amb = cd.amb;
    const AddedTurbulenceSource ch = added_turbulence_source(in, cd, a);
    for (int64_t r = 0; r < cd.T; ++r) {
        const R before = r == i ? ti_own : ti_before[r];
        const int64_t e = entry[r];
        const AddedTurbulence at = e >= 0 ? added_turbulence_at(in, cd, x, y, D, ch.g, r, count[e])
                                          : AddedTurbulence{false, R(0), R(0), R(0), R(0)};
        const TurbulenceWithWake t = turbulence_with_wake(at.c, cd.amb_sq);
        const R g = grad_TI[r];
        const R share = before == t.ti ? g / R(2) : g;
        grad_TI[r] = before < t.ti ? R(0) : share;
        const R grad_t = before > t.ti ? R(0) : share;
        if (grad_t == R(0)) continue;
        const R grad_arg = sqrt_floor_grad(grad_t, t.arg, lit(1e-6), t.ti);
        out.amb += grad_arg * (amb * R(2));
        if (!at.reached) continue;
        // c = overlap (constant a^ai_exp ti0^initial) (dx / D)^downstream
        const R grad_ti_add = (grad_arg * (at.c * R(2))) * at.overlap;
        const R grad_ch_g = grad_ti_add * at.dist;
        const R grad_dist = grad_ti_add * ch.g;
        if (a >= lit(1e-6))
            out.a += grad_ch_g * cd.ch_t0 * in.ch_constant * pow_slope(a, in.ch_ai_exp);
        if (amb >= lit(1e-6))
            out.amb += grad_ch_g * (ch.aa * in.ch_constant) * pow_slope(amb, in.ch_initial);
        if (at.b_in >= lit(1e-6)) {
            const R grad_b = grad_dist * pow_slope(at.b_in, in.ch_downstream);
            const R grad_dx = grad_b / D;
            out.D -= (grad_b * at.b_in) / D;
            grad_xbar[r] += grad_dx;
            out.x -= grad_dx;
        }
    }
}

// yaw_added_turbulence_mixing at turbine i: for the gradient g of the mixing
// term, the gradients of its rotor velocities u, of its turbulence ti, and of
// the spanwise and vertical velocities it read (the input field's and the
// accumulated ones share one gradient: grad_v and grad_w, NN values each).
void mixing_backward(const CaseData& cd, int64_t i, const R* u, R ti, const R* V, const R* W, R g,
                     R* grad_u, R& grad_ti, R* grad_v, R* grad_w) {
    const int64_t NN = cd.NN;
    const Mixing m = mixing_at(cd, i, u, ti, V, W, 1);
    const R two_thirds = f32c(2.0f / 3.0f);

    // mix = ti_total - ti; ti_total = sqrt(max(k_total, 0) 2/3) / max(u_eff, 1e-6)
    grad_ti -= g;
    R g_u_eff = m.u_eff >= f32c(1e-6f) ? -(g * m.ti_total) / m.den : R(0);
    const R g_k_total = m.k_total >= R(0) ? ((g / m.den) / (m.num * R(2))) * two_thirds : R(0);
    const R g_half = g_k_total * R(0.5);
    const R g_vm = g_half * (m.vm * R(2)), g_wm = g_half * (m.wm * R(2));
    for (int64_t p = 0; p < NN; ++p) {
        grad_v[p] += g_vm / static_cast<R>(NN);
        grad_w[p] += g_wm / static_cast<R>(NN);
    }
    // u_t = sqrt(max(2 k, 0)); k = (u_eff ti)^2 / (2/3)
    const R g_k2 = m.k2 >= R(0) ? (g_half * (m.u_t * R(2))) / (m.u_t * R(2)) : R(0);
    const R g_ui = ((g_k2 * R(2)) / two_thirds) * (m.ui * R(2));
    g_u_eff += g_ui * ti;
    grad_ti += g_ui * m.u_eff;
    kernel_rotor_speed_backward(u, NN, g_u_eff, grad_u);
}

}  // namespace sorbane::fused
