#include "solvers.h"

#include "fused/solve.h"
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
// carries the wake influence one turbine further downstream, so on a farm the
// sweeps settle on the sequential pass. For that, each turbine reads the
// transverse flow and turbulence the sequential pass gives it at its visit:
// steering the flow of the turbines before it, the recovery that of the
// turbines up to itself, and the deflection its turbulence before its own
// recovery mixing.
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
    const bool steering = cfg.enable_secondary_steering;
    const bool transverse = cfg.enable_transverse_velocities;
    const bool recovery = transverse && cfg.enable_yaw_added_recovery;
    const int64_t chunk = std::max<int64_t>(cfg.jacobi_chunk_size, 1);
    const at::Tensor& u0 = ff.u_initial_sorted;
    const at::Tensor ti_amb_sq = prep.ti_amb.unsqueeze(1).pow(2);
    // Sorted position of every receiver, against which a chunk's sources are ordered.
    const at::Tensor receiver_pos = at::arange(T, u0.options().dtype(at::kLong)).view({T, 1});

    ff.turbulence_intensity_field_sorted =
        turbulence_field(prep.ti_amb.unsqueeze(1).expand({F, T}), N);

    at::Tensor u_prev = u0.clone();
    at::Tensor u_new = u_prev;
    at::Tensor v_prev = at::zeros_like(u0);
    at::Tensor w_prev = at::zeros_like(u0);
    // Spanwise flow of the turbines before each one, on its rotor.
    at::Tensor v_before_prev = at::zeros_like(u0);
    // Turbine turbulence before its own recovery mixing.
    at::Tensor ti_unmixed = prep.ti_t;

    for (int32_t sweep = 0; sweep < cfg.jacobi_max_iters; ++sweep) {
        const OperatingPoint op =
            operating_point(u_prev, farm.yaw_angles_sorted, farm.tilt_angles_sorted, prep.types, prep);

        at::Tensor S = at::zeros({F, T, N, N}, u0.options());
        at::Tensor M = at::zeros({F, T}, u0.options().dtype(kWorkingDtype));
        at::Tensor v_acc = at::zeros_like(u0);
        at::Tensor w_acc = at::zeros_like(u0);
        // What each turbine reads of the transverse flow, only where a switch reads it.
        at::Tensor v_before = steering ? at::zeros_like(u0) : at::Tensor();
        at::Tensor v_upto = recovery ? at::zeros_like(u0) : at::Tensor();
        at::Tensor w_upto = recovery ? at::zeros_like(u0) : at::Tensor();

        for (int64_t c0 = 0; c0 < T; c0 += chunk) {
            const int64_t c1 = std::min(c0 + chunk, T);
            const Sources src =
                make_sources(farm, grid, prep, c0, c1, op.ct.slice(1, c0, c1), op.a.slice(1, c0, c1));

            at::Tensor yaw_eff = src.yaw;
            if (steering) {
                std::vector<at::Tensor> added;
                added.reserve(c1 - c0);
                for (int64_t i = c0; i < c1; ++i) {
                    added.push_back(steering_yaw(farm, ff, grid, prep, i, u_prev.select(1, i),
                                                 v_before_prev.select(1, i), op.ct.select(1, i),
                                                 op.a.select(1, i)));
                }
                yaw_eff = src.yaw + at::stack(added, 1);
            }
            Sources deflecting = src;
            deflecting.ti = ti_unmixed.slice(1, c0, c1);
            const at::Tensor deflection = wake_deflection(deflecting, yaw_eff, prep, cfg);
            const at::Tensor D = wake_velocity_deficit(ff, grid, src, prep, deflection, cfg);
            S = S + D.pow(2).sum(2);
            M = at::maximum(M, wake_added_turbulence(D, src, prep, cfg).amax(2));

            if (transverse) {
                const auto [v, w] =
                    wake_transverse_velocities(ff, grid, prep, src, u_prev.slice(1, c0, c1));
                v_acc = v_acc + v.sum(2);
                w_acc = w_acc + w.sum(2);
                // The vortices reach receivers level with their source, the
                // source's own rotor included; the sequential pass lets a
                // turbine read only the sources visited before it (steering)
                // or up to it (recovery).
                const at::Tensor source_pos =
                    at::arange(c0, c1, receiver_pos.options()).view({1, c1 - c0});
                const auto by_order = [&](const at::Tensor& keep) {
                    return keep.to(u0.scalar_type()).view({1, T, c1 - c0, 1, 1});
                };
                if (steering) v_before = v_before + (v * by_order(source_pos < receiver_pos)).sum(2);
                if (recovery) {
                    const at::Tensor upto = by_order(source_pos <= receiver_pos);
                    v_upto = v_upto + (v * upto).sum(2);
                    w_upto = w_upto + (w * upto).sum(2);
                }
            }
        }

        u_new = at::clamp_min(u0 - at::sqrt(at::clamp_min(S, 1e-20)), 1e-6);
        ti_unmixed = at::sqrt(at::clamp_min(ti_amb_sq + M.pow(2), 1e-20));
        prep.ti_t = ti_unmixed;
        if (recovery) {
            // Mixing by the transverse flow, against the field the solve began
            // with, raises every turbine's turbulence for the next sweep.
            const at::Tensor mix = yaw_added_turbulence_mixing(
                rotor_axes_first(u_prev), ti_unmixed, rotor_axes_first(ff.v_sorted),
                rotor_axes_first(ff.w_sorted), rotor_axes_first(v_upto), rotor_axes_first(w_upto));
            prep.ti_t = ti_unmixed + mix * 2.0;
        }
        v_prev = v_acc;
        w_prev = w_acc;
        if (steering) v_before_prev = v_before;

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
