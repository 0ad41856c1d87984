// Input qualification and loading: whether a solve may take the fused loops
// (the shapes, dtypes, devices and bounds they rely on; fused/inputs.h lists
// what goes the op-by-op way), the model coefficients as the kernels apply
// them, each flow case copied point-major, and the result tensors.
#include "fused/inputs.h"
#include "fused/math.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
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

void rotor_major(const R* from, int64_t S, int64_t T, int64_t NN, R* to) {
    for (int64_t r = 0; r < T; ++r) {
        for (int64_t p = 0; p < NN; ++p) to[r * NN + p] = from[p * S + r];
    }
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
    // Per-turbine constants: (>= T) by sorted position, or sorted per case.
    in.per_case = farm.turbines_in_layout_order;
    const at::Tensor& rd_in = in.per_case ? farm.rotor_diameters_sorted : farm.rotor_diameters;
    const at::Tensor& hh_in = in.per_case ? farm.hub_heights_sorted : farm.hub_heights;
    for (const at::Tensor* t : {&rd_in, &hh_in}) {
        if (!tensor_ok(*t, grad) || t->scalar_type() != kWorkingDtype ||
            (in.per_case ? !has_shape(*t, {F, T}) : (t->dim() != 1 || t->size(0) < T)))
            return false;
    }
    const int64_t n_tables = static_cast<int64_t>(farm.turbine_tables.size());
    if (farm.has_turbine_types()) {
        const at::Tensor& types = in.per_case ? farm.turbine_types_sorted : farm.turbine_types;
        if (!tensor_ok(types, grad) || types.scalar_type() != at::kLong ||
            (in.per_case ? !has_shape(types, {F, T}) : (types.dim() != 1 || types.size(0) < T)))
            return false;
        in.types = in.per_case ? types.contiguous() : types.slice(0, 0, T).contiguous();
        // An index out of range is the op-by-op path's error to raise.
        const int64_t* k = in.types.data_ptr<int64_t>();
        for (int64_t e = 0; e < in.types.numel(); ++e) {
            if (k[e] < 0 || k[e] >= n_tables) return false;
        }
    }
    for (const Farm::PowerThrustTable& table : farm.turbine_tables) {
        const at::Tensor& ws = table.wind_speed;
        const at::Tensor& ct = table.thrust_coefficient;
        if (!tensor_ok(ws, grad) || !tensor_ok(ct, grad) || ws.scalar_type() != kWorkingDtype ||
            ct.scalar_type() != kWorkingDtype || ws.dim() != 1 || ct.dim() != 1 ||
            ws.size(0) < 2 || ct.size(0) != ws.size(0) || !bounded(table.ref_tilt) ||
            !bounded(table.tip_speed_ratio))
            return false;
        ThrustTable t;
        t.ws = ws.contiguous();
        t.ct = ct.contiguous();
        t.n = ws.size(0);
        if (!all_bounded(t.ws.data_ptr<R>(), t.n) || !all_bounded(t.ct.data_ptr<R>(), t.n))
            return false;
        t.cos_ref = static_cast<R>(reference_tilt_cosine(table.ref_tilt));
        t.tsr = static_cast<R>(table.tip_speed_ratio);
        t.tsr_f = table.tip_speed_ratio;
        in.tables.push_back(t);
    }
    const at::Tensor& ti = ff.turbulence_intensities;
    if (!tensor_ok(ti, grad) || at::isComplexType(ti.scalar_type()) || !has_shape(ti, {F}))
        return false;
    for (float v : {cfg.alpha, cfg.beta, cfg.ka, cfg.kb, cfg.sigmoid_k, cfg.ad, cfg.bd, cfg.dm,
                    cfg.ch_initial, cfg.ch_constant, cfg.ch_ai_exp, cfg.ch_downstream,
                    ff.wind_shear}) {
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
    in.rd = in.per_case ? rd_in.contiguous() : rd_in.slice(0, 0, T).contiguous();
    in.hh = in.per_case ? hh_in.contiguous() : hh_in.slice(0, 0, T).contiguous();
    in.ti_amb = ti.to(kWorkingDtype).contiguous();
    // The rotor means exactly as the solvers and kernels take them.
    in.xbar = grid.x_sorted.mean({-2, -1}).contiguous();
    in.ybar = grid.y_sorted.mean({-2, -1}).contiguous();
    if (in.steering) in.u0bar = ff.u_initial_sorted.mean({-2, -1}).contiguous();
    if (in.transverse) in.u_inf = ff.u_initial_sorted.mean({1, 2, 3}).contiguous();

    const R* rd = in.rd.data_ptr<R>();
    const int64_t n_rd = in.rd.numel();
    // A rotor needs a positive size: with D = 0 the deficit's normalised
    // wake area is 0 / 0 even in pairs that the masks drop.
    for (int64_t t = 0; t < n_rd; ++t) {
        if (!(rd[t] >= R(1e-3))) return false;
    }
    if (!all_bounded(rd, n_rd) || !all_bounded(in.hh.data_ptr<R>(), n_rd)) return false;

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
    // A function of the diameter alone: sorted per case, the same few diameters
    // repeat F times, so each distinct one is bounded once.
    std::map<R, double> bound;
    in.ch_r_max.assign(n_rd, 0.0);
    for (int64_t t = 0; t < n_rd; ++t) {
        auto it = bound.find(rd[t]);
        if (it == bound.end()) {
            double m = 0.0;
            for (double dx : {1.0, 0.1, spread}) {
                const double b = std::max(dx / static_cast<double>(rd[t]), 1e-6);
                m = std::max(m, std::pow(b, in.ch_downstream));
            }
            it = bound.emplace(rd[t], std::isfinite(m) ? 2.0 * m
                                                       : std::numeric_limits<double>::infinity())
                     .first;
        }
        in.ch_r_max[t] = it->second;
    }
    return true;
}

bool CaseData::load(const Inputs& in, int64_t case_index) {
    f = case_index;
    T = in.T;
    NN = in.NN;
    S = T + kPad;
    const int64_t row = in.per_case ? f * T : 0;
    rd = in.rd.data_ptr<R>() + row;
    hh = in.hh.data_ptr<R>() + row;
    types = in.types.defined() ? in.types.data_ptr<int64_t>() + row : nullptr;
    tables = &in.tables;
    ch_r = in.ch_r_max.data() + row;
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
