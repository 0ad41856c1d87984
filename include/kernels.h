#pragma once
// The eight wake kernels, in the order of their operator schemas. Each is a pure
// composition of ATen operations: inputs are never modified, results are fresh
// tensors, masks are arithmetic, so every kernel runs on any device and is
// differentiable through its operations. Shapes: F flow cases, Tr receiving and
// Tu wake-casting turbines, N x N points per rotor; a receiver grid (F, Tr, N, N)
// is viewed as (F, Tr, 1, N, N), a per-source value (F, Tu) as (F, 1, Tu, 1, 1)
// and a per-turbine constant (Tu) as (1, 1, Tu, 1, 1). A per-turbine constant
// (hub height, rotor diameter, tip-speed ratio) may also be given per case,
// (F, Tu), when the turbines' order or types differ between cases.
#include <ATen/core/Tensor.h>

#include <cstdint>
#include <tuple>

namespace sorbane {

// A per-turbine constant, (Tu) or (F, Tu), as (1 or F, Tu).
inline at::Tensor per_case_constant(const at::Tensor& t) { return t.dim() == 1 ? t.unsqueeze(0) : t; }

// A per-turbine constant laid out against pairs: (1 or F, 1, Tu) followed by
// `trailing` unit axes.
inline at::Tensor pairwise_constant(const at::Tensor& t, int64_t trailing) {
    at::Tensor v = per_case_constant(t).unsqueeze(1);
    for (int64_t k = 0; k < trailing; ++k) v = v.unsqueeze(-1);
    return v;
}

// Gaussian (Bastankhah-Porte-Agel) fractional velocity deficit with a blended
// near wake, a linearly expanding far wake and a logistic upstream gate.
//   x_recv, y_recv, z_recv: (F, Tr, N, N) receiving rotor points
//   x_ups, y_ups: (F, Tu, N, N) upstream rotor points (only their rotor means are used)
//   ct_ups, yaw_ups [deg], ti_ups: (F, Tu); deflection: (F, Tr, Tu) wake-centre offset
//   hub_h, rotor_d: (Tu) or (F, Tu); alpha, beta: near-wake length; ka, kb: expansion k = ka I + kb
//   sigmoid_k: steepness of the upstream gate, per length unit
// Returns (F, Tr, Tu, N, N), dimensionless; 0 is no deficit.
at::Tensor gauss_velocity_deficit(
    const at::Tensor& x_recv, const at::Tensor& y_recv, const at::Tensor& z_recv,
    const at::Tensor& x_ups, const at::Tensor& y_ups, const at::Tensor& ct_ups,
    const at::Tensor& yaw_ups, const at::Tensor& ti_ups, const at::Tensor& deflection,
    const at::Tensor& hub_h, const at::Tensor& rotor_d, double alpha, double beta,
    double ka, double kb, double sigmoid_k);

// Lateral wake-centre deflection of yawed wakes (Bastankhah-Porte-Agel): a
// straight near-wake skew, a logarithmic far-wake growth and a linear offset.
//   x_i: (F, Tu) upstream rotor-centre x; y_i: unused; x_recv: (F, Tr) receiver centre x
//   ct_ups, yaw_ups [deg], ti_ups: (F, Tu); rotor_d: (Tu) or (F, Tu)
//   alpha, beta, ka, kb as above; ad + bd dx: linear offset; dm: skew multiplier
// Returns (F, Tr, Tu), length units, positive towards +y; 0 unless downstream.
at::Tensor gauss_deflection(
    const at::Tensor& x_i, const at::Tensor& y_i, const at::Tensor& x_recv,
    const at::Tensor& ct_ups, const at::Tensor& yaw_ups, const at::Tensor& ti_ups,
    const at::Tensor& rotor_d, double alpha, double beta, double ka, double kb,
    double ad, double bd, double dm);

// Sum-of-squares superposition: sqrt(max(sum over dim of deficits^2, 0)).
//   deficits: any shape; dim: axis, negative counts from the end.
// Returns deficits' shape without dim.
at::Tensor sosfs_combination(const at::Tensor& deficits, int64_t dim);

// Crespo-Hernandez wake-added turbulence intensity,
// constant a^ai_exp I0^initial (dx/D)^downstream for receivers more than 0.1 downstream.
//   x_recv: (F, Tr); x_i: (F, Tu); rotor_d: (Tu) or (F, Tu); axial_induction: (F, Tu); ambient_ti: (F)
// Returns (F, Tr, Tu).
at::Tensor crespo_hernandez_ti(
    const at::Tensor& x_recv, const at::Tensor& x_i, const at::Tensor& rotor_d,
    const at::Tensor& axial_induction, const at::Tensor& ambient_ti, double initial,
    double constant, double ai_exp, double downstream);

// Piecewise-linear lookup with linear extrapolation beyond both ends.
//   x: (n >= 2) ascending; y: (n); xnew: any shape, same dtype as x.
// Returns xnew's shape.
at::Tensor interp1d(const at::Tensor& x, const at::Tensor& y, const at::Tensor& xnew);

// Spanwise and vertical velocities induced by the top, bottom and wake-rotation
// vortices of each upstream rotor and their ground images, with a viscous core
// and a mixing-length eddy-viscosity decay downstream.
//   x_recv, y_recv, z_recv: (F, Tr, N, N); x_ups, y_ups, u_ups: (F, Tu, N, N)
//   u_initial: (F, Tr, N, N) freestream; yaw_ups [deg], ct_ups, ai_ups: (F, Tu)
//   tsr_ups, hub_h, rotor_d: (Tu) or (F, Tu); wind_shear: power-law exponent; eps_gain: core size / D
// Returns (V, W), each (F, Tr, Tu, N, N); W is never negative.
std::tuple<at::Tensor, at::Tensor> gauss_transverse_velocities(
    const at::Tensor& x_recv, const at::Tensor& y_recv, const at::Tensor& z_recv,
    const at::Tensor& x_ups, const at::Tensor& y_ups, const at::Tensor& u_ups,
    const at::Tensor& u_initial, const at::Tensor& yaw_ups, const at::Tensor& ct_ups,
    const at::Tensor& ai_ups, const at::Tensor& tsr_ups, const at::Tensor& hub_h,
    const at::Tensor& rotor_d, double wind_shear, double eps_gain);

// Effective extra yaw of one turbine from the spanwise flow across its rotor,
// against the vortices it would shed itself (secondary steering).
//   u_i, v_i, u_initial_i, delta_y, z_i: (F, N, N) one rotor grid; ct_i, ai_i: (F)
// Returns (F), degrees, bounded by about 44.96.
at::Tensor wake_added_yaw(
    const at::Tensor& u_i, const at::Tensor& v_i, const at::Tensor& u_initial_i,
    const at::Tensor& delta_y, const at::Tensor& z_i, const at::Tensor& ct_i,
    const at::Tensor& ai_i, double tsr_i, double hub_height, double rotor_diameter,
    double wind_shear);

// Turbulence added by mixing of the mean transverse flow: TI -> TKE, add the
// transverse kinetic energy, back to TI.
//   u_i, v_i, w_i, turb_v_i, turb_w_i: (F, N, N); I_i: (F)
// Returns (F), the added intensity.
at::Tensor yaw_added_turbulence_mixing(
    const at::Tensor& u_i, const at::Tensor& I_i, const at::Tensor& v_i,
    const at::Tensor& w_i, const at::Tensor& turb_v_i, const at::Tensor& turb_w_i);

}  // namespace sorbane
