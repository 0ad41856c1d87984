#include "solvers.h"

#include "fused/solve.h"
#include "kernels.h"
#include "solver_steps.h"

#include <ATen/ATen.h>

namespace sorbane {

// One downstream pass: each turbine takes its operating point from the field as
// waked by the turbines before it, then casts its wake on all T rotors. Every
// update is out of place, so recorded gradients stay valid through the pass.
void SequentialSolver::solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) {
    if (try_fused_sequential(farm, ff, grid, cfg)) {
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
    const at::Tensor& u0 = ff.u_initial_sorted;

    at::Tensor A = at::zeros({F, T, N, N}, u0.options());
    at::Tensor V = at::zeros_like(u0);
    at::Tensor W = at::zeros_like(u0);
    // The mixing reads the transverse field the solve began with.
    const at::Tensor v_before = ff.v_sorted;
    const at::Tensor w_before = ff.w_sorted;
    const at::Tensor ti_amb_sq = prep.ti_amb.unsqueeze(1).pow(2);

    ff.u_sorted = u0.clone();
    ff.turbulence_intensity_field_sorted =
        turbulence_field(prep.ti_amb.unsqueeze(1).expand({F, T}), N);

    for (int64_t i = 0; i < T; ++i) {
        const at::Tensor u_i = ff.u_sorted.select(1, i);
        const OperatingPoint op = operating_point(u_i, farm.yaw_angles_sorted.select(1, i),
                                                  farm.tilt_angles_sorted.select(1, i), i, prep);
        Sources src = make_sources(farm, grid, prep, i, i + 1, op.ct.unsqueeze(1), op.a.unsqueeze(1));

        at::Tensor yaw_eff = src.yaw;
        if (cfg.enable_secondary_steering) {
            yaw_eff = src.yaw + steering_yaw(farm, ff, grid, prep, i, u_i, V.select(1, i), op.ct, op.a)
                                    .unsqueeze(1);
        }
        const at::Tensor deflection = wake_deflection(src, yaw_eff, prep, cfg);

        if (transverse) {
            const auto [v, w] = wake_transverse_velocities(ff, grid, prep, src, u_i.unsqueeze(1));
            V = V + v.squeeze(2);
            W = W + w.squeeze(2);
            if (recovery) {
                // The turbine's own vortices are in V and W already.
                const at::Tensor ti_i = src.ti.squeeze(1);
                const at::Tensor mix = yaw_added_turbulence_mixing(
                    u_i, ti_i, v_before.select(1, i), w_before.select(1, i), V.select(1, i), W.select(1, i));
                prep.ti_t = at::slice_scatter(prep.ti_t, (ti_i + mix * 2.0).unsqueeze(1), 1, i, i + 1);
                src.ti = prep.ti_t.slice(1, i, i + 1);
            }
        }

        const at::Tensor D = wake_velocity_deficit(ff, grid, src, prep, deflection, cfg);
        // Sum-of-squares superposition; the floor keeps the root differentiable.
        A = at::sqrt(at::clamp_min(A.pow(2) + D.squeeze(2).pow(2), 1e-20));
        ff.u_sorted = at::clamp_min(u0 - A, 1e-6);

        const at::Tensor contrib = wake_added_turbulence(D, src, prep, cfg).squeeze(2);
        prep.ti_t = at::maximum(prep.ti_t, at::sqrt(at::clamp_min(contrib.pow(2) + ti_amb_sq, 1e-6)));
    }

    ff.turbulence_intensity_field_sorted = turbulence_field(prep.ti_t, N);
    if (transverse) {
        ff.v_sorted = V;
        ff.w_sorted = W;
    }
}

static const SolverRegistration _registered_SequentialSolver{
    "sequential", [] { return std::make_shared<SequentialSolver>(); }};

}  // namespace sorbane
