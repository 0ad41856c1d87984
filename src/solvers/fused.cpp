// The pieces of the fused CPU solvers that both share: the input checks and
// the per-source wake formulas. Each formula repeats, element by element, the
// operations of its kernel (src/gauss_velocity, src/gauss_deflection,
// src/turbulence, src/interp1d) and of the solver steps, in the same order and
// with the same constants; a comment marks where a value is formed differently.
#include "fused_detail.h"
#include "fused_math.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace sorbane::fused {

namespace {

// Anything beyond this magnitude goes the op-by-op way: far beyond physical
// values, it keeps every intermediate of a skipped pair finite.
constexpr double kMaxInput = 1e8;

inline bool bounded(double v) { return std::fabs(v) <= kMaxInput; }

bool all_bounded(const R* v, int64_t n) {
    bool ok = true;
    for (int64_t k = 0; k < n; ++k) ok &= std::fabs(v[k]) <= R(kMaxInput);
    return ok;
}

// The vortex rule of the transverse-velocity kernels: a Lamb-Oseen core on
// the point-vortex velocity, spanwise (sp) and vertical (vt) parts.
SORBANE_INLINE void vortex(R y2, R yl, R zeta, R gamma, R eps2, R& sp, R& vt) {
    const R r2 = clamp_min(y2 + zeta * zeta, f32c(1e-20f));
    const R r2_2pi = r2 * f32c(2.0f * kPiF);
    const R core = R(1) - exp_v(-r2 / eps2);
    sp = ((gamma * zeta) / r2_2pi) * core;
    vt = ((-gamma * yl) / r2_2pi) * core;
}

bool tensor_ok(const at::Tensor& t, bool grad) {
    return t.defined() && t.device().is_cpu() && t.layout() == at::kStrided &&
           !(grad && t.requires_grad());
}

bool has_shape(const at::Tensor& t, std::initializer_list<int64_t> shape) {
    return t.sizes().equals(at::IntArrayRef(shape));
}

}  // namespace

void parallel_cases(int64_t F, const std::function<void(int64_t, int64_t)>& body) {
    // A case is T x T x N x N work: one is grain enough.
    at::parallel_for(0, F, 1, body);
}

bool all_finite(const R* v, int64_t n) {
    bool ok = true;
    for (int64_t k = 0; k < n; ++k) ok &= std::isfinite(v[k]);
    return ok;
}

bool gather_inputs(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                   const ModelConfig& cfg, Inputs& in) {
#ifdef SORBANE_NO_FUSED
    // A build for measuring the op-by-op path (bench/bench_fused.py --baseline).
    return false;
#endif
    // An empty list is the op-by-op path's error to raise.
    if (farm.turbine_tables.empty()) return false;
    const Farm::PowerThrustTable& table = farm.turbine_tables.front();
    const int64_t F = ff.n_findex, T = grid.n_turbines, N = grid.grid_resolution;
    if (F < 1 || T < 1 || N < 1) return false;

    in.steering = cfg.enable_secondary_steering;
    in.transverse = cfg.enable_transverse_velocities;
    in.recovery = in.transverse && cfg.enable_yaw_added_recovery;

    const bool grad = at::GradMode::is_enabled();
    const at::Tensor* grids[] = {&grid.x_sorted, &grid.y_sorted, &grid.z_sorted,
                                 &ff.u_initial_sorted, &ff.v_sorted, &ff.w_sorted};
    for (int k = 0; k < (in.recovery ? 6 : 4); ++k) {
        const at::Tensor& t = *grids[k];
        if (!tensor_ok(t, grad) || t.scalar_type() != kWorkingDtype || !has_shape(t, {F, T, N, N}))
            return false;
    }
    for (const at::Tensor* t : {&farm.yaw_angles_sorted, &farm.tilt_angles_sorted}) {
        if (!tensor_ok(*t, grad) || t->scalar_type() != kWorkingDtype || !has_shape(*t, {F, T}))
            return false;
    }
    for (const at::Tensor* t : {&farm.rotor_diameters, &farm.hub_heights}) {
        if (!tensor_ok(*t, grad) || t->scalar_type() != kWorkingDtype || t->dim() != 1 ||
            t->size(0) < T)
            return false;
    }
    const at::Tensor& ti = ff.turbulence_intensities;
    if (!tensor_ok(ti, grad) || at::isComplexType(ti.scalar_type()) || !has_shape(ti, {F}))
        return false;
    const at::Tensor& ws = table.wind_speed;
    const at::Tensor& ct = table.thrust_coefficient;
    if (!tensor_ok(ws, grad) || !tensor_ok(ct, grad) || ws.scalar_type() != kWorkingDtype ||
        ct.scalar_type() != kWorkingDtype || ws.dim() != 1 || ct.dim() != 1 ||
        ws.size(0) < 2 || ct.size(0) != ws.size(0))
        return false;

    for (float v : {cfg.alpha, cfg.beta, cfg.ka, cfg.kb, cfg.sigmoid_k, cfg.ad, cfg.bd, cfg.dm,
                    cfg.ch_initial, cfg.ch_constant, cfg.ch_ai_exp, cfg.ch_downstream,
                    ff.wind_shear, table.ref_tilt, table.tip_speed_ratio}) {
        if (!bounded(v)) return false;
    }

    in.F = F;
    in.T = T;
    in.N = N;
    in.NN = N * N;
    in.x = grid.x_sorted.contiguous();
    in.y = grid.y_sorted.contiguous();
    in.z = grid.z_sorted.contiguous();
    in.u0 = ff.u_initial_sorted.contiguous();
    if (in.recovery) {
        in.v_in = ff.v_sorted.contiguous();
        in.w_in = ff.w_sorted.contiguous();
    }
    in.yaw = farm.yaw_angles_sorted.contiguous();
    in.tilt = farm.tilt_angles_sorted.contiguous();
    in.rd = farm.rotor_diameters.slice(0, 0, T).contiguous();
    in.hh = farm.hub_heights.slice(0, 0, T).contiguous();
    in.table_ws = ws.contiguous();
    in.table_ct = ct.contiguous();
    in.n_table = ws.size(0);
    in.ti_amb = ti.to(kWorkingDtype).contiguous();
    // The rotor means exactly as the solvers and kernels take them.
    in.xbar = grid.x_sorted.mean({-2, -1}).contiguous();
    in.ybar = grid.y_sorted.mean({-2, -1}).contiguous();
    if (in.steering) in.u0bar = ff.u_initial_sorted.mean({-2, -1}).contiguous();
    if (in.transverse) in.u_inf = ff.u_initial_sorted.mean({1, 2, 3}).contiguous();

    const R* rd = in.rd.data_ptr<R>();
    // A rotor needs a positive size: with D = 0 the deficit's normalised
    // wake area is 0 / 0 even in pairs that the masks drop.
    for (int64_t t = 0; t < T; ++t) {
        if (!(rd[t] >= R(1e-3))) return false;
    }
    if (!all_bounded(rd, T) || !all_bounded(in.hh.data_ptr<R>(), T) ||
        !all_bounded(in.table_ws.data_ptr<R>(), in.n_table) ||
        !all_bounded(in.table_ct.data_ptr<R>(), in.n_table))
        return false;

    in.cos_ref = static_cast<R>(reference_tilt_cosine(table.ref_tilt));
    in.tsr = static_cast<R>(table.tip_speed_ratio);
    in.tsr_f = table.tip_speed_ratio;
    in.shear = narrow(ff.wind_shear);
    in.shear_f = ff.wind_shear;
    in.alpha4 = static_cast<R>(4.0 * narrow(cfg.alpha));
    in.beta2 = static_cast<R>(2.0 * narrow(cfg.beta));
    in.ka = static_cast<R>(narrow(cfg.ka));
    in.kb = static_cast<R>(narrow(cfg.kb));
    in.sigmoid_k = static_cast<R>(narrow(cfg.sigmoid_k));
    in.ad = static_cast<R>(narrow(cfg.ad));
    in.bd = static_cast<R>(narrow(cfg.bd));
    in.skew = static_cast<R>(0.3f * cfg.dm);  // formed in single precision in both builds
    in.ch_initial = cfg.ch_initial;
    in.ch_ai_exp = cfg.ch_ai_exp;
    in.ch_downstream = cfg.ch_downstream;
    in.ch_constant = static_cast<R>(static_cast<double>(cfg.ch_constant));

    // Largest (dx / D)^downstream over every pair: the masked ones see dx = 1,
    // the others 0.1 < dx <= the spread of rotor centres; the power is
    // monotonic in dx, so the ends bound it.
    const R* xbar = in.xbar.data_ptr<R>();
    R xmin = xbar[0], xmax = xbar[0];
    for (int64_t k = 0; k < F * T; ++k) {
        xmin = std::min(xmin, xbar[k]);
        xmax = std::max(xmax, xbar[k]);
    }
    const double spread = std::max(static_cast<double>(xmax) - static_cast<double>(xmin), 1.0);
    in.ch_r_max.assign(T, 0.0);
    for (int64_t t = 0; t < T; ++t) {
        double m = 0.0;
        for (double dx : {1.0, 0.1, spread}) {
            const double b = std::max(dx / static_cast<double>(rd[t]), 1e-6);
            m = std::max(m, std::pow(b, in.ch_downstream));
        }
        in.ch_r_max[t] = std::isfinite(m) ? 2.0 * m : std::numeric_limits<double>::infinity();
    }
    return true;
}

bool CaseData::load(const Inputs& in, int64_t case_index) {
    f = case_index;
    T = in.T;
    NN = in.NN;
    S = T + kPad;
    const int64_t n = T * NN;
    Y.resize(S * NN);
    Z.resize(S * NN);
    U0.resize(S * NN);
    const int64_t Tp = T + kPad;
    for (auto* v : {&X, &y_lo, &y_hi, &z_lo, &z_hi, &u0_hi, &xbar_p, &ybar_p}) v->resize(Tp);
    const R* x = in.x.data_ptr<R>() + f * n;
    const R* y = in.y.data_ptr<R>() + f * n;
    const R* z = in.z.data_ptr<R>() + f * n;
    const R* u0 = in.u0.data_ptr<R>() + f * n;
    bool ok = all_bounded(x, n) && all_bounded(y, n) && all_bounded(z, n) && all_bounded(u0, n);
    for (int64_t r = 0; r < T; ++r) {
        X[r] = x[r * NN];
        y_lo[r] = y_hi[r] = y[r * NN];
        z_lo[r] = z_hi[r] = z[r * NN];
        u0_hi[r] = R(0);
        for (int64_t p = 0; p < NN; ++p) {
            // The deficit takes x per point; the fused loops take it per rotor.
            ok &= x[r * NN + p] == X[r];
            Y[p * S + r] = y[r * NN + p];
            Z[p * S + r] = z[r * NN + p];
            U0[p * S + r] = u0[r * NN + p];
            y_lo[r] = std::min(y_lo[r], y[r * NN + p]);
            y_hi[r] = std::max(y_hi[r], y[r * NN + p]);
            z_lo[r] = std::min(z_lo[r], z[r * NN + p]);
            z_hi[r] = std::max(z_hi[r], z[r * NN + p]);
            u0_hi[r] = std::max(u0_hi[r], std::abs(u0[r * NN + p]));
        }
    }
    std::copy_n(in.xbar.data_ptr<R>() + f * T, T, xbar_p.begin());
    std::copy_n(in.ybar.data_ptr<R>() + f * T, T, ybar_p.begin());
    // Spare entries copy the last rotor: finite values for lanes nobody reads.
    for (auto* v : {&X, &y_lo, &y_hi, &z_lo, &z_hi, &u0_hi, &xbar_p, &ybar_p}) {
        std::fill(v->begin() + T, v->end(), (*v)[T - 1]);
    }
    for (auto* v : {&Y, &Z, &U0}) {
        for (int64_t p = 0; p < NN; ++p) {
            std::fill(v->begin() + p * S + T, v->begin() + (p + 1) * S, (*v)[p * S + T - 1]);
        }
    }
    xbar = xbar_p.data();
    ybar = ybar_p.data();
    yaw = in.yaw.data_ptr<R>() + f * T;
    tilt = in.tilt.data_ptr<R>() + f * T;
    ok = ok && all_bounded(yaw, T) && all_bounded(tilt, T) && all_bounded(xbar, T) &&
         all_bounded(ybar, T);
    if (in.recovery) {
        v_in = in.v_in.data_ptr<R>() + f * n;
        w_in = in.w_in.data_ptr<R>() + f * n;
        ok = ok && all_bounded(v_in, n) && all_bounded(w_in, n);
    }
    if (in.steering) u0bar = in.u0bar.data_ptr<R>() + f * T;
    u_inf = in.transverse ? in.u_inf.data_ptr<R>()[f] : R(1);
    // The vortex decay divides by the case's mean freestream speed.
    ok = ok && u_inf != R(0);
    amb = in.ti_amb.data_ptr<R>()[f];
    ok = ok && bounded(amb);
    amb_sq = amb * amb;
    // crespo_hernandez_ti's ambient term; the induction term is at most 1 for
    // a <= 1 with a positive exponent, and at most 1e-6^exponent otherwise.
    ch_t0 = pow_scalar(clamp_min(amb, lit(1e-6)), in.ch_initial);
    const double aa_max = in.ch_ai_exp >= 0.0 ? 1.0 : std::pow(1e-6, in.ch_ai_exp);
    ch_g_max = 2.0 * aa_max * std::fabs(static_cast<double>(in.ch_constant)) *
               std::fabs(static_cast<double>(ch_t0));
    return ok;
}

int64_t table_interval(const Inputs& in, R u_avg) {
    // interp1d: the tensor library's left-side binary search, then the
    // bracketing interval, clamped to the table's ends.
    const R* xs = in.table_ws.data_ptr<R>();
    const int64_t n = in.n_table;
    int64_t start = 0, end = n;
    while (start < end) {
        const int64_t mid = start + ((end - start) >> 1);
        if (!(xs[mid] >= u_avg)) {
            start = mid + 1;
        } else {
            end = mid;
        }
    }
    return std::clamp<int64_t>(start - 1, 0, n - 2);
}

OperatingPoint operating_point(const Inputs& in, R u_avg, R yaw, R tilt) {
    const R* xs = in.table_ws.data_ptr<R>();
    const R* ys = in.table_ct.data_ptr<R>();
    const int64_t j = table_interval(in, u_avg);
    const R x0 = xs[j], x1 = xs[j + 1], y0 = ys[j], y1 = ys[j + 1];
    const R s = (y1 - y0) / ((x1 - x0) + f32c(1.1920928955078125e-07f));
    R ct = clamp(y0 + s * (u_avg - x0), R(0), lit(0.9999));
    const R c = (std::cos(yaw * lit(kDegToRad)) * std::cos(tilt * lit(kDegToRad))) /
                in.cos_ref;
    ct = clamp(ct * c, R(0), lit(0.9999));
    const R a = (R(0.5) / c) * (R(1) - std::sqrt(clamp_min(R(1) - ct * c, lit(1e-6))));
    return {ct, a};
}

R rotor_mean(const R* v, int64_t stride, int64_t NN) {
    R s = 0;
    for (int64_t p = 0; p < NN; ++p) s += v[p * stride];
    return s / static_cast<R>(NN);
}

R cube_mean(const R* u, int64_t stride, int64_t NN) {
    R s = 0;
    for (int64_t p = 0; p < NN; ++p) {
        const R v = u[p * stride];
        s += v * v * v;
    }
    return s / static_cast<R>(NN);
}

R solver_rotor_speed(const R* u, int64_t stride, int64_t NN) {
    return pow_scalar(cube_mean(u, stride, NN), 0.3333333333333333);
}

R kernel_rotor_speed(const R* u, int64_t stride, int64_t NN) {
    return pow_scalar(clamp_min(cube_mean(u, stride, NN), f32c(1e-20f)),
                      static_cast<double>(1.0f / 3.0f));
}

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

R mixing(const Inputs& in, const CaseData& cd, int64_t i, const R* u, R ti, const R* V,
         const R* W) {
    const int64_t S = cd.S, NN = cd.NN;
    const R u_eff = kernel_rotor_speed(u, 1, NN);
    const R ui = u_eff * ti;
    const R k = (ui * ui) / f32c(2.0f / 3.0f);
    const R u_t = std::sqrt(clamp_min(k * R(2), R(0)));
    const R* v_in = cd.v_in + i * NN;
    const R* w_in = cd.w_in + i * NN;
    R sv = 0, sw = 0;
    for (int64_t p = 0; p < NN; ++p) {
        sv += v_in[p] + V[p * S];
        sw += w_in[p] + W[p * S];
    }
    const R vm = sv / static_cast<R>(NN);
    const R wm = sw / static_cast<R>(NN);
    const R k_total = ((u_t * u_t + vm * vm) + wm * wm) * R(0.5);
    const R ti_total =
        std::sqrt(clamp_min(k_total, R(0)) * f32c(2.0f / 3.0f)) / clamp_min(u_eff, f32c(1e-6f));
    return ti_total - ti;
}

bool Source::set_deflection(const Inputs& in, R yaw_eff, R ti) {
    const R tiny = f32c(1e-6f), ct_max = f32c(0.9999f);
    const R D = rd, I = ti;
    // Positive yaw turns the wake towards -y.
    const R gr = yaw_eff * static_cast<R>(-kDegToRad);
    const R c = std::cos(gr);
    const R ctv = clamp(ct, R(0), ct_max);
    const R q = std::sqrt(clamp_min(R(1) - ctv, tiny));
    const R ctc = clamp(ctv * c, R(0), ct_max);
    const R qc = std::sqrt(clamp_min(R(1) - ctc, tiny));
    d_sz0 = (D * R(0.5)) *
            std::sqrt(clamp_min(ctc / clamp_min(((R(1) - qc) * R(2)) * (q + R(1)), tiny), tiny));
    d_sy0 = d_sz0 * c;
    d_x0 = ((D * c) * (qc + R(1))) /
               (clamp_min(I * in.alpha4 + (R(1) - q) * in.beta2, tiny) * f32c(1.4142135623730951f)) +
           x;
    d_k = I * in.ka + in.kb;
    const R C0 = R(1) - q;
    const R M0 = C0 * (R(2) - C0);
    d_sM = std::sqrt(clamp_min(M0, tiny));
    const R E0 = (C0 * C0 - C0 * f32c(3.2607121487f)) + f32c(4.1868372753f);
    const R theta = ((gr * in.skew) / clamp_min(c, tiny)) * (R(1) - qc);
    const R L = clamp_min(d_x0 - x, R(0));
    d_delta0 = std::tan(theta) * L;
    d_P0 = clamp_min(d_sy0 * d_sz0, tiny);
    d_phi = ((theta * E0) / f32c(5.2f)) *
            std::sqrt(clamp_min(d_P0 / clamp_min((d_k * d_k) * M0, tiny), tiny));
    d_L1 = clamp_min(L, R(1));
    const R check = (d_sz0 + d_sy0 + d_x0 + d_k + d_sM + d_delta0 + d_P0 + d_phi + d_L1) * R(0);
    return check == R(0);
}

bool Source::set_deficit(const Inputs& in, R yaw, R ti) {
    const R tiny = f32c(1e-6f);
    const R D = rd, I = ti;
    const R c = std::cos(yaw * lit(kDegToRad));
    const R ctv = clamp(ct, R(0), f32c(0.9999f));
    const R q = std::sqrt(clamp_min(R(1) - ctv, tiny));
    sz0 = D * f32c(0.35355339059327373f);
    sy0 = sz0 * c;
    x0 = ((D * c) * (q + R(1))) /
             (clamp_min(I * in.alpha4 + (R(1) - q) * in.beta2, tiny) * f32c(1.4142135623730951f)) +
         x;
    x0_len = clamp_min(x0 - x, R(1));
    snw = (D * f32c(0.501f)) * std::sqrt(clamp_min(ctv / R(2), tiny));
    k = I * in.ka + in.kb;
    ct_c = ctv * c;
    DD = D * D;
    sigmoid_k = in.sigmoid_k;
    const R check = (sz0 + sy0 + x0 + x0_len + snw + k + ct_c + DD) * R(0);
    return check == R(0);
}

void Work::reserve(int64_t T, int64_t NN) {
    const int64_t Tp = T + kPad;
    for (auto* v : {&yc, &sy, &sz, &sy2, &sz2, &g1, &mask, &dxt, &k_X, &k_sy, &k_sz, &k_g1,
                    &k_yc, &k_sy2, &k_sz2, &k_amp, &k_gate, &k_bound, &k_mask, &k_cnt, &k_amin})
        v->assign(Tp, R(0));
    for (auto* v : {&k_Y, &k_Z, &k_U0, &k_acc}) v->resize(Tp * NN);
    idx.resize(Tp);
    u_i.resize(NN);
}

namespace {
SORBANE_HOT void downstream_mask(int64_t T, const R* __restrict xbar, R threshold, R* __restrict mask) {
    for (int64_t r = 0; r < T; ++r) mask[r] = xbar[r] > threshold ? R(1) : R(0);
}
}  // namespace

bool deficit_span(const CaseData& cd, const Source& src, Work& w, int64_t& lo, int64_t& hi) {
    // A turbine never wakes itself or a turbine level with it.
    downstream_mask(cd.T, cd.xbar, src.x + lit(0.1), w.mask.data());
    lo = 0;
    hi = cd.T;
    while (lo < hi && w.mask[lo] == R(0)) ++lo;
    while (hi > lo && w.mask[hi - 1] == R(0)) --hi;
    return lo < hi;
}

namespace {

// Deflection of the wake centre at each receiver (gauss_deflection), without
// or with the far-wake growth that only a skewed (yawed) wake has.
template <bool kGrowth>
SORBANE_INLINE void deflection_loop(const Inputs& in, const CaseData& cd,
                                                           const Source& src, int64_t lo,
                                                           int64_t hi, R* __restrict defl) {
    const R tiny = f32c(1e-6f), a16 = f32c(1.6f);
    const R* __restrict xbar = cd.xbar;
    const R x = src.x, x0 = src.d_x0, k = src.d_k, sy0 = src.d_sy0, sz0 = src.d_sz0;
    const R sM = src.d_sM, P0 = src.d_P0, phi = src.d_phi, delta0 = src.d_delta0, L1 = src.d_L1;
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

SORBANE_HOT void deflection_pairs(const Inputs& in, const CaseData& cd, const Source& src,
                                  int64_t lo, int64_t hi, R* __restrict yc) {
    // With no skew (zero yaw) the far-wake growth is exactly zero.
    if (src.d_phi != R(0)) {
        deflection_loop<true>(in, cd, src, lo, hi, yc);
    } else {
        deflection_loop<false>(in, cd, src, lo, hi, yc);
    }
}

// First pass over the receivers [lo, hi), after the deflection: wake centre
// and widths, and a bound of the deficit with the amplitude and the gate (both
// at most 1) left out.
SORBANE_HOT void wake_widths(int64_t lo, int64_t hi, R H, R xu, R yu, R x0, R x0_len, R k, R sy0,
                             R sz0, R snw, const R* __restrict Xr, const R* __restrict y_lo,
                             const R* __restrict y_hi, const R* __restrict z_lo,
                             const R* __restrict z_hi, const R* __restrict u0_hi,
                             R* __restrict yc, R* __restrict sy_, R* __restrict sz_,
                             R* __restrict sy2, R* __restrict sz2, R* __restrict g1) {
    const R tiny = f32c(1e-6f);
    for (int64_t r = lo; r < hi; ++r) {
        const R X = Xr[r];
        const R dx = X - xu;
        const R rr = clamp(dx / x0_len, R(0), R(1));
        const R one_r = R(1) - rr;
        const R sy_near = one_r * snw + rr * sy0;
        const R sz_near = one_r * snw + rr * sz0;
        const R e = clamp_min(X - x0, R(0));
        const R sy_far = k * e + sy0;
        const R sz_far = k * e + sz0;
        const R m = X >= x0 ? R(1) : R(0);
        const R one_m = R(1) - m;
        const R sy = m * sy_far + one_m * sy_near;
        const R sz = m * sz_far + one_m * sz_near;
        const R s2y = clamp_min(sy * sy, tiny);
        const R s2z = clamp_min(sz * sz, tiny);
        const R c = yu + yc[r];  // yc holds the deflection on entry
        sy_[r] = sy;
        sz_[r] = sz;
        sy2[r] = s2y;
        sz2[r] = s2z;
        yc[r] = c;
        // The Gaussian at the rotor's points nearest the wake centre: the same
        // roundings as at those points, so a true bound of it, with a margin
        // for exp's last place and the products that follow.
        const R dy = clamp_min(clamp_min(y_lo[r] - c, c - y_hi[r]), R(0));
        const R dz = clamp_min(clamp_min(z_lo[r] - H, H - z_hi[r]), R(0));
        const R G = exp_v(((dy * dy) / s2y + (dz * dz) / s2z) * R(-0.5));
        g1[r] = (G * u0_hi[r]) * R(1.01);
    }
}

// Second pass, over n packed candidates: the logistic gate, the centre-line
// amplitude and with them the bound of the deficit.
SORBANE_HOT void wake_amplitudes(int64_t n, const Source& src,
                                 const R* __restrict X, const R* __restrict sy,
                                 const R* __restrict sz, const R* __restrict g1,
                                 R* __restrict amp, R* __restrict gate, R* __restrict bound) {
    const R tiny = f32c(1e-6f);
    const R xu = src.x, ct_c = src.ct_c, DD = src.DD, sig = src.sigmoid_k;
    for (int64_t k = 0; k < n; ++k) {
        const R dx = X[k] - xu;
        // The logistic gate in place of a hard upstream cut-off.
        const R g = R(1) / (exp_v(-(dx * sig)) + R(1));
        const R P = clamp_min(((sy[k] * R(8)) * sz[k]) / DD, tiny);
        const R A = R(1) - std::sqrt(clamp(R(1) - ct_c / P, R(0), R(1)));
        gate[k] = g;
        amp[k] = A;
        bound[k] = (A * g) * g1[k];
    }
}

// The deficit at the points of n receivers, point p of receiver k at
// p * stride + k in Y, Z, U0 and acc, the per-receiver values at k.
SORBANE_HOT void gauss_points(int64_t n, int64_t NN, int64_t stride, R H, const R* __restrict Yp,
                              const R* __restrict Zp, const R* __restrict U0p,
                              const R* __restrict yc, const R* __restrict sy2,
                              const R* __restrict sz2, const R* __restrict amp,
                              const R* __restrict gate, const R* __restrict mask,
                              R* __restrict cnt, R* __restrict amin, R* __restrict acc,
                              bool root_sum) {
    for (int64_t p = 0; p < NN; ++p) {
        const R* __restrict Y = Yp + p * stride;
        const R* __restrict Z = Zp + p * stride;
        const R* __restrict U0 = U0p + p * stride;
        R* __restrict A = acc + p * stride;
        if (root_sum) {
            for (int64_t k = 0; k < n; ++k) {
                const R dy = Y[k] - yc[k];
                const R dz = Z[k] - H;
                const R G = exp_v(((dy * dy) / sy2[k] + (dz * dz) / sz2[k]) * R(-0.5));
                const R D = (((amp[k] * G) * gate[k]) * U0[k]) * mask[k];
                // Sum-of-squares superposition, one wake at a time.
                const R a = std::sqrt(clamp_min(A[k] * A[k] + D * D, lit(1e-20)));
                A[k] = a;
                amin[k] = a < amin[k] ? a : amin[k];
                cnt[k] += D > lit(0.05) ? R(1) : R(0);
            }
        } else {
            for (int64_t k = 0; k < n; ++k) {
                const R dy = Y[k] - yc[k];
                const R dz = Z[k] - H;
                const R G = exp_v(((dy * dy) / sy2[k] + (dz * dz) / sz2[k]) * R(-0.5));
                const R D = (((amp[k] * G) * gate[k]) * U0[k]) * mask[k];
                A[k] += D * D;
                cnt[k] += D > lit(0.05) ? R(1) : R(0);
            }
        }
    }
}

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

// Which of n receivers a deficit bounded by b can change (see deficit_points).
SORBANE_HOT void changed_flags(int64_t n, const R* __restrict mask, const R* __restrict b,
                               const R* __restrict amin, bool root_sum, R* __restrict flag) {
    const R eps = std::numeric_limits<R>::epsilon() * R(0.125);
    const R zero_sq = std::sqrt(std::numeric_limits<R>::denorm_min()) * R(0.5);
    if (root_sum) {
        for (int64_t k = 0; k < n; ++k) {
            const R a = amin[k];
            const R limit = a > R(0) ? (a * a) * eps : lit(1e-20) * R(0.25);
            const bool same = b[k] <= lit(0.05) && b[k] * b[k] < limit;
            flag[k] = (mask[k] != R(0) && !same) ? R(1) : R(0);
        }
    } else {
        for (int64_t k = 0; k < n; ++k) {
            flag[k] = (mask[k] != R(0) && !(b[k] < zero_sq)) ? R(1) : R(0);
        }
    }
}

SORBANE_HOT void pack_points(int64_t S, int64_t NN, int64_t Kp, const int32_t* __restrict idx,
                             const R* __restrict Y, const R* __restrict Z, const R* __restrict U0,
                             const R* __restrict A, R* __restrict kY, R* __restrict kZ,
                             R* __restrict kU0, R* __restrict kA) {
    for (int64_t p = 0; p < NN; ++p) {
        for (int64_t k = 0; k < Kp; ++k) {
            const int64_t j = p * S + idx[k];
            kY[p * Kp + k] = Y[j];
            kZ[p * Kp + k] = Z[j];
            kU0[p * Kp + k] = U0[j];
            kA[p * Kp + k] = A[j];
        }
    }
}

}  // namespace

void deficit_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                   int64_t hi, Work& w) {
    // Whole vectors: the spare lanes past hi compute values nobody reads.
    const int64_t end = lo + padded(hi - lo);
    deflection_pairs(in, cd, src, lo, end, w.yc.data());
    wake_widths(lo, end, src.hh, src.x, src.y, src.x0, src.x0_len, src.k, src.sy0, src.sz0,
                src.snw, cd.X.data(), cd.y_lo.data(), cd.y_hi.data(), cd.z_lo.data(),
                cd.z_hi.data(), cd.u0_hi.data(), w.yc.data(), w.sy.data(), w.sz.data(),
                w.sy2.data(), w.sz2.data(), w.g1.data());
}

int64_t deficit_points(const CaseData& cd, const Source& src, int64_t lo, int64_t hi, Work& w,
                       R* acc, R* amin, bool root_sum, std::vector<R>* acc_before) {
    const int64_t S = cd.S, NN = cd.NN;
    // A deficit D leaves sqrt(max(A^2 + D^2, 1e-20)) at A when D^2 is below
    // half the last place of A^2 (A is the floor's output, or 0 before the
    // first wake), and leaves a sum unchanged when D^2 is exactly zero. Such
    // receivers, and those the downstream mask drops, are left out.
    int32_t* idx = w.idx.data();
    R* flag = w.k_bound.data();
    const int64_t span = padded(hi - lo);
    changed_flags(span, w.mask.data() + lo, w.g1.data() + lo, root_sum ? amin + lo : nullptr,
                  root_sum, flag);
    int64_t n = 0;
    for (int64_t r = lo; r < hi; ++r) {
        idx[n] = static_cast<int32_t>(r);
        n += flag[r - lo] != R(0);
    }
    if (n == 0) return 0;
    // The candidates' amplitudes, packed in whole vectors (spare lanes repeat
    // the first candidate), then the receivers that do change.
    const int64_t np = padded(n);
    for (int64_t k = n; k < np; ++k) idx[k] = idx[0];
    for (int64_t k = 0; k < np; ++k) {
        const int32_t r = idx[k];
        w.k_X[k] = cd.X[r];
        w.k_sy[k] = w.sy[r];
        w.k_sz[k] = w.sz[r];
        w.k_g1[k] = w.g1[r];
    }
    wake_amplitudes(np, src, w.k_X.data(), w.k_sy.data(),
                    w.k_sz.data(), w.k_g1.data(), w.k_amp.data(), w.k_gate.data(),
                    w.k_bound.data());
    for (int64_t k = 0; k < np; ++k) w.k_mask[k] = R(1);
    for (int64_t k = 0; k < np; ++k) w.k_g1[k] = root_sum ? amin[idx[k]] : R(0);
    changed_flags(np, w.k_mask.data(), w.k_bound.data(), w.k_g1.data(), root_sum, w.k_cnt.data());
    int64_t K = 0;
    for (int64_t k = 0; k < n; ++k) {
        idx[K] = idx[k];
        w.k_amp[K] = w.k_amp[k];
        w.k_gate[K] = w.k_gate[k];
        K += w.k_cnt[k] != R(0);
    }
    if (K == 0) return 0;
    const int64_t Kp = padded(K);
    for (int64_t k = K; k < Kp; ++k) {
        idx[k] = idx[0];
        w.k_amp[k] = w.k_amp[0];
        w.k_gate[k] = w.k_gate[0];
    }
    for (int64_t k = 0; k < Kp; ++k) {
        const int32_t r = idx[k];
        w.k_yc[k] = w.yc[r];
        w.k_sy2[k] = w.sy2[r];
        w.k_sz2[k] = w.sz2[r];
        w.k_mask[k] = R(1);  // all inside the downstream mask
        w.k_cnt[k] = R(0);
        w.k_amin[k] = std::numeric_limits<R>::max();
    }
    pack_points(S, NN, Kp, idx, cd.Y.data(), cd.Z.data(), cd.U0.data(), acc, w.k_Y.data(),
                w.k_Z.data(), w.k_U0.data(), w.k_acc.data());
    if (acc_before) {
        for (int64_t k = 0; k < K; ++k) {
            for (int64_t p = 0; p < NN; ++p) acc_before->push_back(w.k_acc[p * Kp + k]);
        }
    }
    gauss_points(Kp, NN, Kp, src.hh, w.k_Y.data(), w.k_Z.data(), w.k_U0.data(), w.k_yc.data(),
                 w.k_sy2.data(), w.k_sz2.data(), w.k_amp.data(), w.k_gate.data(),
                 w.k_mask.data(), w.k_cnt.data(), w.k_amin.data(), w.k_acc.data(), root_sum);
    for (int64_t p = 0; p < NN; ++p) {
        R* A = acc + p * S;
        const R* kA = w.k_acc.data() + p * Kp;
        for (int64_t k = 0; k < K; ++k) A[idx[k]] = kA[k];
    }
    if (root_sum) {
        for (int64_t k = 0; k < K; ++k) amin[idx[k]] = w.k_amin[k];
    }
    return K;
}

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
    if (!g_ready) {
        const R aa = pow_scalar(clamp_min(a, lit(1e-6)), in.ch_ai_exp);
        g = (aa * in.ch_constant) * cd.ch_t0;
        g_ready = true;
    }
    return g;
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

void transverse(const Inputs& in, const CaseData& cd, const Source& src, R yaw, const R* u, R* V,
                R* W, Work& w, int64_t& lo, int64_t& hi) {
    const int64_t T = cd.T, NN = cd.NN;
    // Nothing reaches a rotor upstream of the source; one abreast of it counts.
    lo = T;
    hi = 0;
    for (int64_t r = 0; r < T; ++r) {
        w.dxt[r] = cd.xbar[r] - src.x;
        const bool m = w.dxt[r] >= R(0);
        w.mask[r] = m ? R(1) : R(0);
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
                  cd.Z.data(), cd.U0.data(), w.dxt.data(), w.mask.data(), V, W);
}

Outputs::Outputs(const Inputs& in) {
    const at::TensorOptions opts = in.u0.options();
    u = at::empty({in.F, in.T, in.N, in.N}, opts);
    ti = at::empty({in.F, in.T, in.N, in.N}, opts);
    if (in.transverse) {
        v = at::empty({in.F, in.T, in.N, in.N}, opts);
        w = at::empty({in.F, in.T, in.N, in.N}, opts);
    }
}

void Outputs::publish(FlowField& ff) const {
    ff.u_sorted = u;
    ff.turbulence_intensity_field_sorted = ti;
    if (v.defined()) {
        ff.v_sorted = v;
        ff.w_sorted = w;
    }
}

}  // namespace sorbane::fused
