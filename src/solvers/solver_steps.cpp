#include "solver_steps.h"

#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>

#include <cmath>

namespace sorbane {

SolvePrep prepare_solve(const Farm& farm, const FlowField& ff, const TurbineGrid& grid) {
    SolvePrep prep;
    prep.F = ff.n_findex;
    prep.T = grid.n_turbines;
    prep.N = grid.grid_resolution;
    // Every turbine runs on the first table; without one there is nothing to solve.
    prep.table = &farm.turbine_tables.at(0);
    // The thrust curve holds at the reference tilt; the correction is formed
    // in single precision like the tables themselves.
    prep.cos_ref = reference_tilt_cosine(prep.table->ref_tilt);
    prep.ti_amb = ff.turbulence_intensities.to(kWorkingDtype);
    // A copy of its own: for T = 1 an expanded view is already contiguous and
    // would still be the host's tensor.
    prep.ti_t = prep.ti_amb.unsqueeze(1).expand({prep.F, prep.T}).clone(at::MemoryFormat::Contiguous);
    prep.xbar = grid.x_sorted.mean({-2, -1});
    prep.ybar = grid.y_sorted.mean({-2, -1});
    return prep;
}

at::Tensor turbulence_field(const at::Tensor& ti, int64_t N) {
    // One intensity per turbine, the same at every point of its rotor. Always a
    // copy: with T = N = 1 the expansion is itself contiguous and would alias
    // the host's ambient intensities.
    return ti.unsqueeze(-1).unsqueeze(-1).expand({ti.size(0), ti.size(1), N, N})
        .clone(at::MemoryFormat::Contiguous);
}

OperatingPoint operating_point(const at::Tensor& u, const at::Tensor& yaw, const at::Tensor& tilt,
                               const SolvePrep& prep) {
    // Cube root of the mean cube: the uniform speed with the rotor's energy flux.
    const at::Tensor u_avg = at::pow(at::pow(u, 3.0).mean({-2, -1}), 0.3333333333333333);
    const at::Tensor ct_table =
        at::clamp(interp1d(prep.table->wind_speed, prep.table->thrust_coefficient, u_avg), 0.0, 0.9999);
    // A misaligned rotor sees only the normal component of the inflow.
    const at::Tensor c = at::cos(yaw * kDegToRad) * at::cos(tilt * kDegToRad) / prep.cos_ref;
    const at::Tensor ct = at::clamp(ct_table * c, 0.0, 0.9999);
    // Momentum theory, Ct c = 4 a c (1 - a c) solved for a on the lower branch;
    // the floor keeps the root real for a rotor loaded to the clamp.
    const at::Tensor a =
        (at::full_like(c, 0.5) / c) * (1.0 - at::sqrt(at::clamp_min(1.0 - ct * c, 1e-6)));
    return {ct, a};
}

Sources make_sources(const Farm& farm, const TurbineGrid& grid, const SolvePrep& prep,
                     int64_t c0, int64_t c1, const at::Tensor& ct, const at::Tensor& a) {
    Sources src;
    src.c0 = c0;
    src.c1 = c1;
    src.X = grid.x_sorted.slice(1, c0, c1);
    src.Y = grid.y_sorted.slice(1, c0, c1);
    src.x = prep.xbar.slice(1, c0, c1);
    src.y = prep.ybar.slice(1, c0, c1);
    src.ct = ct;
    src.a = a;
    src.yaw = farm.yaw_angles_sorted.slice(1, c0, c1);
    src.ti = prep.ti_t.slice(1, c0, c1);
    // The per-turbine constants are indexed by sorted position.
    src.rd = farm.rotor_diameters.slice(0, c0, c1);
    src.hh = farm.hub_heights.slice(0, c0, c1);
    return src;
}

at::Tensor steering_yaw(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                        const SolvePrep& prep, int64_t i, const at::Tensor& u_i,
                        const at::Tensor& v_i, const at::Tensor& ct_i, const at::Tensor& a_i) {
    const at::Tensor y_i = grid.y_sorted.select(1, i);
    const at::Tensor delta_y = y_i - y_i.mean({-2, -1}, /*keepdim=*/true);
    // The added-yaw kernel takes the turbine's size as plain numbers.
    const float hub_height = farm.hub_heights.select(0, i).item<float>();
    const float rotor_diameter = farm.rotor_diameters.select(0, i).item<float>();
    return wake_added_yaw(u_i, v_i, ff.u_initial_sorted.select(1, i), delta_y,
                          grid.z_sorted.select(1, i), ct_i, a_i, prep.table->tip_speed_ratio,
                          hub_height, rotor_diameter, ff.wind_shear);
}

at::Tensor wake_deflection(const Sources& src, const at::Tensor& yaw_eff, const SolvePrep& prep,
                           const ModelConfig& cfg) {
    return gauss_deflection(src.x, src.y, prep.xbar, src.ct, yaw_eff, src.ti, src.rd, cfg.alpha,
                            cfg.beta, cfg.ka, cfg.kb, cfg.ad, cfg.bd, cfg.dm);
}

at::Tensor wake_velocity_deficit(const FlowField& ff, const TurbineGrid& grid, const Sources& src,
                                 const SolvePrep& prep, const at::Tensor& deflection,
                                 const ModelConfig& cfg) {
    // The deficit sees the unsteered yaw; steering moves only the wake centre.
    const at::Tensor d = gauss_velocity_deficit(
        grid.x_sorted, grid.y_sorted, grid.z_sorted, src.X, src.Y, src.ct, src.yaw, src.ti,
        deflection, src.hh, src.rd, cfg.alpha, cfg.beta, cfg.ka, cfg.kb, cfg.sigmoid_k);
    // A turbine never wakes itself or a turbine level with it.
    const at::Tensor downstream = at::gt(prep.xbar.unsqueeze(2), src.x.unsqueeze(1) + 0.1)
                                      .to(kWorkingDtype)
                                      .unsqueeze(-1)
                                      .unsqueeze(-1);
    // The fractional deficit scales the freestream, not the waked velocity.
    return d * ff.u_initial_sorted.unsqueeze(2) * downstream;
}

at::Tensor wake_added_turbulence(const at::Tensor& deficit, const Sources& src,
                                 const SolvePrep& prep, const ModelConfig& cfg) {
    const at::Tensor ti_add =
        crespo_hernandez_ti(prep.xbar, src.x, src.rd, src.a, prep.ti_amb, cfg.ch_initial,
                            cfg.ch_constant, cfg.ch_ai_exp, cfg.ch_downstream);
    // Share of the rotor inside the wake proper.
    const at::Tensor overlap = at::gt(deficit, 0.05).to(kWorkingDtype).mean({-2, -1});
    const at::Tensor x_recv = prep.xbar.unsqueeze(2);
    const at::Tensor x_src = src.x.unsqueeze(1);
    const at::Tensor rd = src.rd.view({1, 1, -1});
    // The correlation holds in the wake of the rotor, out to 15 diameters.
    const at::Tensor down = at::gt(x_recv, x_src).to(kWorkingDtype);
    const at::Tensor lateral =
        at::lt(at::abs(src.y.unsqueeze(1) - prep.ybar.unsqueeze(2)), rd * 2.0).to(kWorkingDtype);
    const at::Tensor reach = at::le(x_recv, x_src + rd * 15.0).to(kWorkingDtype);
    return overlap * ti_add * down * lateral * reach;
}

std::tuple<at::Tensor, at::Tensor> wake_transverse_velocities(
    const FlowField& ff, const TurbineGrid& grid, const SolvePrep& prep, const Sources& src,
    const at::Tensor& u_ups) {
    const at::Tensor tsr =
        at::full({src.c1 - src.c0}, prep.table->tip_speed_ratio, ff.u_initial_sorted.options());
    // The vortices follow the raw yaw; eps_gain sets the core size to 0.2 D.
    return gauss_transverse_velocities(grid.x_sorted, grid.y_sorted, grid.z_sorted, src.X, src.Y,
                                       u_ups, ff.u_initial_sorted, src.yaw, src.ct, src.a, tsr,
                                       src.hh, src.rd, ff.wind_shear, 0.2);
}

}  // namespace sorbane
