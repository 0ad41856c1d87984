#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>
#include <torch/library.h>

#include <array>
#include <cstdint>

namespace sorbane {

at::Tensor crespo_hernandez_ti(
    const at::Tensor& x_recv, const at::Tensor& x_i, const at::Tensor& rotor_d,
    const at::Tensor& axial_induction, const at::Tensor& ambient_ti, double initial,
    double constant, double ai_exp, double downstream) {
    // Pairwise (F, Tr, Tu) on rotor centres; the correlation's parameters and
    // constants stay in double, the tensors convert them to their own dtype.
    const at::Tensor dx = x_recv.unsqueeze(2) - x_i.unsqueeze(1);
    // A wake adds turbulence only downstream; the threshold is a length.
    const at::Tensor m = at::gt(dx, 0.1).to(dx.scalar_type());
    // Masked pairs see a distance of exactly 1, a harmless base for the power
    // whatever the exponent.
    const at::Tensor dx_safe = dx * m + at::rsub(m, 1.0);

    const at::Tensor ti0 = ambient_ti.to(x_recv.scalar_type())
                               .view({-1, 1, 1})
                               .expand_symint({x_recv.sym_size(0), x_recv.sym_size(1),
                                               x_i.sym_size(1)});
    const at::Tensor t0 = at::pow(ti0.clamp_min(1e-6), initial);
    const at::Tensor r = at::pow((dx_safe / pairwise_constant(rotor_d, 0)).clamp_min(1e-6), downstream);
    const at::Tensor aa = at::pow(axial_induction.unsqueeze(1).clamp_min(1e-6), ai_exp);
    return (((aa * constant) * t0) * r) * m;
}

at::Tensor yaw_added_turbulence_mixing(
    const at::Tensor& u_i, const at::Tensor& I_i, const at::Tensor& v_i,
    const at::Tensor& w_i, const at::Tensor& turb_v_i, const at::Tensor& turb_w_i) {
    constexpr float kOneThird = 1.0f / 3.0f;
    constexpr float kTwoThirds = 2.0f / 3.0f;
    static constexpr std::array<int64_t, 2> kGridAxes{1, 2};
    const at::IntArrayRef grid = kGridAxes;

    // Cube-mean velocity: the one uniform speed that carries the same kinetic
    // energy flux through the rotor.
    const at::Tensor u_eff = at::pow(at::pow(u_i, 3).mean(grid).clamp_min(f32(1e-20f)), f32(kOneThird));
    // Isotropic turbulence: TI = sqrt(2k/3) / U, so k = (U TI)^2 / (2/3).
    const at::Tensor k = at::pow(u_eff * I_i, 2) / f32(kTwoThirds);
    const at::Tensor u_t = at::sqrt((k * 2).clamp_min(0));
    // The mean transverse flow across the rotor adds its kinetic energy to the
    // turbulent one; only its magnitude matters.
    const at::Tensor v_mean = (v_i + turb_v_i).mean(grid);
    const at::Tensor w_mean = (w_i + turb_w_i).mean(grid);
    const at::Tensor k_total = ((at::pow(u_t, 2) + at::pow(v_mean, 2)) + at::pow(w_mean, 2)) * 0.5;
    const at::Tensor ti_total =
        at::sqrt(k_total.clamp_min(0) * f32(kTwoThirds)) / u_eff.clamp_min(f32(1e-6f));
    return ti_total - I_i;
}

}  // namespace sorbane

TORCH_LIBRARY_IMPL(sorbane_cpp, CompositeImplicitAutograd, m) {
    m.impl("crespo_hernandez_ti", &sorbane::crespo_hernandez_ti);
    m.impl("yaw_added_turbulence_mixing", &sorbane::yaw_added_turbulence_mixing);
}
