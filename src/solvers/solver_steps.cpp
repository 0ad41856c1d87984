#include "solver_steps.h"

#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>

#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace sorbane {

namespace {

// Column i of a per-turbine constant, (T) or (F, T): a scalar or (F).
at::Tensor turbine_column(const at::Tensor& t, int64_t i) {
    if (!t.defined()) return t;
    return t.dim() == 1 ? t.select(0, i) : t.select(1, i);
}

void check_turbine_types(const at::Tensor& types, int64_t n_tables) {
    TORCH_CHECK(!at::isFloatingType(types.scalar_type()) && !at::isComplexType(types.scalar_type()),
                "Farm.turbine_types: expected integer indices into the turbine tables, got ",
                types.scalar_type());
    if (types.numel() == 0) return;
    const int64_t lo = types.min().item<int64_t>();
    const int64_t hi = types.max().item<int64_t>();
    if (lo < 0 || hi >= n_tables) {
        throw std::out_of_range("Farm.turbine_types: index " + std::to_string(lo < 0 ? lo : hi) +
                                " out of range for " + std::to_string(n_tables) +
                                " turbine tables");
    }
}

}  // namespace

at::Tensor turbine_slice(const at::Tensor& t, int64_t c0, int64_t c1) {
    return t.dim() == 1 ? t.slice(0, c0, c1) : t.slice(1, c0, c1);
}

SolvePrep prepare_solve(const Farm& farm, const FlowField& ff, const TurbineGrid& grid) {
    SolvePrep prep;
    prep.F = ff.n_findex;
    prep.T = grid.n_turbines;
    prep.N = grid.grid_resolution;
    // Without a table there is nothing to solve.
    (void)farm.turbine_tables.at(0);
    prep.ti_amb = ff.turbulence_intensities.to(kWorkingDtype);
    // A copy of its own: for T = 1 an expanded view is already contiguous and
    // would still be the host's tensor.
    prep.ti_t = prep.ti_amb.unsqueeze(1).expand({prep.F, prep.T}).clone(at::MemoryFormat::Contiguous);
    prep.xbar = grid.x_sorted.mean({-2, -1});
    prep.ybar = grid.y_sorted.mean({-2, -1});

    for (const Farm::PowerThrustTable& t : farm.turbine_tables) {
        prep.tables.push_back(&t);
        // Formed in single precision like the tables themselves.
        prep.cos_refs.push_back(reference_tilt_cosine(t.ref_tilt));
    }
    if (farm.turbines_in_layout_order) {
        TORCH_CHECK(farm.rotor_diameters_sorted.defined() && farm.hub_heights_sorted.defined() &&
                        (!farm.has_turbine_types() || farm.turbine_types_sorted.defined()),
                    "Farm.turbines_in_layout_order is set but the turbines were never sorted: "
                    "call farm.initialize(grid.sorted_coord_indices) after setting it");
        prep.rd = farm.rotor_diameters_sorted;
        prep.hh = farm.hub_heights_sorted;
        if (farm.has_turbine_types()) prep.types = farm.turbine_types_sorted;
    } else {
        prep.rd = farm.rotor_diameters;
        prep.hh = farm.hub_heights;
        if (farm.has_turbine_types()) prep.types = farm.turbine_types;
    }
    if (prep.types.defined()) {
        check_turbine_types(prep.types, static_cast<int64_t>(prep.tables.size()));
        std::vector<double> tsr;
        for (const Farm::PowerThrustTable* t : prep.tables) tsr.push_back(t->tip_speed_ratio);
        const at::Tensor by_table =
            at::tensor(tsr, at::kDouble).to(ff.u_initial_sorted.options());
        prep.tsr = by_table.index_select(0, prep.types.reshape({-1}).to(at::kLong).to(by_table.device()))
                       .view(prep.types.sizes());
    }
    return prep;
}

at::Tensor turbulence_field(const at::Tensor& ti, int64_t N) {
    // One intensity per turbine, the same at every point of its rotor. Always a
    // copy: with T = N = 1 the expansion is itself contiguous and would alias
    // the host's ambient intensities.
    return ti.unsqueeze(-1).unsqueeze(-1).expand({ti.size(0), ti.size(1), N, N})
        .clone(at::MemoryFormat::Contiguous);
}

namespace {

OperatingPoint table_operating_point(const at::Tensor& u_avg, const at::Tensor& yaw,
                                     const at::Tensor& tilt, const Farm::PowerThrustTable& table,
                                     double cos_ref) {
    const at::Tensor ct_table =
        at::clamp(interp1d(table.wind_speed, table.thrust_coefficient, u_avg), 0.0, 0.9999);
    // A misaligned rotor sees only the normal component of the inflow.
    const at::Tensor c = at::cos(yaw * kDegToRad) * at::cos(tilt * kDegToRad) / cos_ref;
    const at::Tensor ct = at::clamp(ct_table * c, 0.0, 0.9999);
    // Momentum theory, Ct c = 4 a c (1 - a c) solved for a on the lower branch;
    // the floor keeps the root real for a rotor loaded to the clamp.
    const at::Tensor a =
        (at::full_like(c, 0.5) / c) * (1.0 - at::sqrt(at::clamp_min(1.0 - ct * c, 1e-6)));
    return {ct, a};
}

}  // namespace

OperatingPoint operating_point(const at::Tensor& u, const at::Tensor& yaw, const at::Tensor& tilt,
                               const at::Tensor& types, const SolvePrep& prep) {
    // Cube root of the mean cube: the uniform speed with the rotor's energy flux.
    const at::Tensor u_avg = at::pow(at::pow(u, 3.0).mean({-2, -1}), 0.3333333333333333);
    if (!types.defined()) return table_operating_point(u_avg, yaw, tilt, *prep.tables[0], prep.cos_refs[0]);
    // Each table's turbines take their operating point from that table; the
    // others are filled in by their own.
    OperatingPoint op;
    for (size_t k = 0; k < prep.tables.size(); ++k) {
        const at::Tensor own = at::eq(types, static_cast<int64_t>(k));
        if (!own.any().item<bool>()) continue;
        const OperatingPoint o = table_operating_point(u_avg, yaw, tilt, *prep.tables[k], prep.cos_refs[k]);
        op.ct = op.ct.defined() ? at::where(own, o.ct, op.ct) : o.ct;
        op.a = op.a.defined() ? at::where(own, o.a, op.a) : o.a;
    }
    return op;
}

OperatingPoint operating_point(const at::Tensor& u, const at::Tensor& yaw, const at::Tensor& tilt,
                               int64_t i, const SolvePrep& prep) {
    return operating_point(u, yaw, tilt, turbine_column(prep.types, i), prep);
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
    src.rd = turbine_slice(prep.rd, c0, c1);
    src.hh = turbine_slice(prep.hh, c0, c1);
    if (prep.tsr.defined()) src.tsr = turbine_slice(prep.tsr, c0, c1);
    return src;
}

at::Tensor steering_yaw(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                        const SolvePrep& prep, int64_t i, const at::Tensor& u_i,
                        const at::Tensor& v_i, const at::Tensor& ct_i, const at::Tensor& a_i) {
    const at::Tensor y_i = grid.y_sorted.select(1, i);
    const at::Tensor delta_y = y_i - y_i.mean({-2, -1}, /*keepdim=*/true);
    const at::Tensor u_initial_i = ff.u_initial_sorted.select(1, i);
    const at::Tensor z_i = grid.z_sorted.select(1, i);
    // The added-yaw kernel takes the turbine's size and tip-speed ratio as
    // plain numbers: the cases are grouped by them.
    const auto host = [&](const at::Tensor& t) {
        return t.detach().to(at::kFloat).cpu().expand({prep.F}).contiguous();
    };
    const at::Tensor hub = host(turbine_column(prep.hh, i));
    const at::Tensor diameter = host(turbine_column(prep.rd, i));
    const at::Tensor tsr = prep.tsr.defined()
                               ? host(turbine_column(prep.tsr, i))
                               : at::full({prep.F}, prep.tables[0]->tip_speed_ratio, at::kFloat);
    std::map<std::tuple<float, float, float>, std::vector<int64_t>> groups;
    for (int64_t f = 0; f < prep.F; ++f) {
        groups[{hub.data_ptr<float>()[f], diameter.data_ptr<float>()[f], tsr.data_ptr<float>()[f]}]
            .push_back(f);
    }
    if (groups.size() <= 1) {
        const bool any = !groups.empty();
        const auto& [h, d, s] = any ? groups.begin()->first : std::tuple<float, float, float>{};
        return wake_added_yaw(u_i, v_i, u_initial_i, delta_y, z_i, ct_i, a_i, s, h, d, ff.wind_shear);
    }
    at::Tensor added = at::zeros_like(ct_i);
    for (const auto& [key, cases] : groups) {
        const auto& [h, d, s] = key;
        const at::Tensor idx =
            at::tensor(cases, at::kLong).to(ct_i.device());
        const auto pick = [&](const at::Tensor& t) { return t.index_select(0, idx); };
        added = added.index_copy(0, idx, wake_added_yaw(pick(u_i), pick(v_i), pick(u_initial_i),
                                                        pick(delta_y), pick(z_i), pick(ct_i),
                                                        pick(a_i), s, h, d, ff.wind_shear));
    }
    return added;
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
    const at::Tensor rd = pairwise_constant(src.rd, 0);
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
    const at::Tensor tsr = src.tsr.defined() ? src.tsr
                                             : at::full({src.c1 - src.c0}, prep.tables[0]->tip_speed_ratio,
                                                        ff.u_initial_sorted.options());
    // The vortices follow the raw yaw; eps_gain sets the core size to 0.2 D.
    return gauss_transverse_velocities(grid.x_sorted, grid.y_sorted, grid.z_sorted, src.X, src.Y,
                                       u_ups, ff.u_initial_sorted, src.yaw, src.ct, src.a, tsr,
                                       src.hh, src.rd, ff.wind_shear, 0.2);
}

}  // namespace sorbane
