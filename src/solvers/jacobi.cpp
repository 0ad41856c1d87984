#include "solvers.h"

#include "fused.h"
#include "kernels.h"
#include "precision.h"
#include "solver_steps.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace sorbane {

namespace {

// Largest velocity change of a sweep against the tolerance. A sweep over an
// empty grid changes nothing; a NaN change stops the sweeps as well.
bool sweep_converged(const at::Tensor& u_new, const at::Tensor& u_prev, float tol) {
    if (u_new.numel() == 0) return true;
    // Restores the caller's gradient mode on every way out, errors included.
    const at::NoGradGuard no_grad;
    const float d = static_cast<float>((u_new - u_prev).abs().max().item<double>());
    return std::isnan(d) || d < tol;
}

// (F, T, N, N) -> (F, N, N, T): the rotor axes where the mixing kernel averages,
// so one call serves every turbine.
at::Tensor rotor_axes_first(const at::Tensor& t) { return t.permute({0, 2, 3, 1}); }

}  // namespace

// Fixed-point sweeps: every sweep takes all operating points from the previous
// sweep's field and casts all wakes at once, in chunks of sources. Each sweep
// carries the wake influence one turbine further downstream.
void JacobiSolver::solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) {
    if (try_fused_jacobi(farm, ff, grid, cfg)) {
        set_last_solve_path("fused");
        return;
    }
    set_last_solve_path("op_by_op");

    SolvePrep prep = prepare_solve(farm, ff, grid);
    const int64_t F = prep.F;
    const int64_t T = prep.T;
    const int64_t N = prep.N;
    const bool transverse = cfg.enable_transverse_velocities;
    const bool recovery = transverse && cfg.enable_yaw_added_recovery;
    const int64_t chunk = std::max<int64_t>(cfg.jacobi_chunk_size, 1);
    const at::Tensor& u0 = ff.u_initial_sorted;
    const at::Tensor ti_amb_sq = prep.ti_amb.unsqueeze(1).pow(2);

    ff.turbulence_intensity_field_sorted =
        turbulence_field(prep.ti_amb.unsqueeze(1).expand({F, T}), N);

    at::Tensor u_prev = u0.clone();
    at::Tensor u_new = u_prev;
    at::Tensor v_prev = at::zeros_like(u0);
    at::Tensor w_prev = at::zeros_like(u0);

    for (int32_t sweep = 0; sweep < cfg.jacobi_max_iters; ++sweep) {
        const OperatingPoint op =
            operating_point(u_prev, farm.yaw_angles_sorted, farm.tilt_angles_sorted, prep);

        at::Tensor S = at::zeros({F, T, N, N}, u0.options());
        at::Tensor M = at::zeros({F, T}, u0.options().dtype(kWorkingDtype));
        at::Tensor v_acc = at::zeros_like(u0);
        at::Tensor w_acc = at::zeros_like(u0);

        for (int64_t c0 = 0; c0 < T; c0 += chunk) {
            const int64_t c1 = std::min(c0 + chunk, T);
            const Sources src =
                make_sources(farm, grid, prep, c0, c1, op.ct.slice(1, c0, c1), op.a.slice(1, c0, c1));

            at::Tensor yaw_eff = src.yaw;
            if (cfg.enable_secondary_steering) {
                // Steered by the previous sweep's transverse field.
                std::vector<at::Tensor> added;
                added.reserve(c1 - c0);
                for (int64_t i = c0; i < c1; ++i) {
                    added.push_back(steering_yaw(farm, ff, grid, prep, i, u_prev.select(1, i),
                                                 v_prev.select(1, i), op.ct.select(1, i),
                                                 op.a.select(1, i)));
                }
                yaw_eff = src.yaw + at::stack(added, 1);
            }
            const at::Tensor deflection = wake_deflection(src, yaw_eff, prep, cfg);
            const at::Tensor D = wake_velocity_deficit(ff, grid, src, prep, deflection, cfg);
            S = S + D.pow(2).sum(2);
            M = at::maximum(M, wake_added_turbulence(D, src, prep, cfg).amax(2));

            if (transverse) {
                const auto [v, w] =
                    wake_transverse_velocities(ff, grid, prep, src, u_prev.slice(1, c0, c1));
                v_acc = v_acc + v.sum(2);
                w_acc = w_acc + w.sum(2);
            }
        }

        u_new = at::clamp_min(u0 - at::sqrt(at::clamp_min(S, 1e-20)), 1e-6);
        prep.ti_t = at::sqrt(at::clamp_min(ti_amb_sq + M.pow(2), 1e-20));
        if (recovery) {
            // Mixing by this sweep's transverse flow, against the field the
            // solve began with, raises every turbine's turbulence for the next sweep.
            const at::Tensor mix = yaw_added_turbulence_mixing(
                rotor_axes_first(u_prev), prep.ti_t, rotor_axes_first(ff.v_sorted),
                rotor_axes_first(ff.w_sorted), rotor_axes_first(v_acc), rotor_axes_first(w_acc));
            prep.ti_t = prep.ti_t + mix * 2.0;
        }
        v_prev = v_acc;
        w_prev = w_acc;

        if (!cfg.jacobi_fixed_iters && sweep_converged(u_new, u_prev, cfg.jacobi_tol)) break;
        u_prev = u_new;
    }

    ff.u_sorted = u_new;
    ff.turbulence_intensity_field_sorted = turbulence_field(prep.ti_t, N);
    if (transverse) {
        ff.v_sorted = v_prev;
        ff.w_sorted = w_prev;
    }
}

static const SolverRegistration _registered_JacobiSolver{
    "jacobi", [] { return std::make_shared<JacobiSolver>(); }};

}  // namespace sorbane
