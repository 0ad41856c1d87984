#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>
#include <torch/library.h>

namespace sorbane {

namespace {

// Pairwise layout (F, Tr, Tu, N, N): receivers on axis 1, wake sources on axis 2.
at::Tensor receiver_grid(const at::Tensor& t) { return t.unsqueeze(2); }
at::Tensor per_source(const at::Tensor& t) { return t.unsqueeze(1).unsqueeze(-1).unsqueeze(-1); }

}  // namespace

at::Tensor gauss_velocity_deficit(
    const at::Tensor& x_recv, const at::Tensor& y_recv, const at::Tensor& z_recv,
    const at::Tensor& x_ups, const at::Tensor& y_ups, const at::Tensor& ct_ups,
    const at::Tensor& yaw_ups, const at::Tensor& ti_ups, const at::Tensor& deflection,
    const at::Tensor& hub_h, const at::Tensor& rotor_d, double alpha, double beta,
    double ka, double kb, double sigmoid_k) {
    alpha = narrow(alpha);
    beta = narrow(beta);
    ka = narrow(ka);
    kb = narrow(kb);
    sigmoid_k = narrow(sigmoid_k);
    const double deg = kDegToRad;
    const double tiny = f32(1e-6f);

    const at::Tensor X = receiver_grid(x_recv);
    const at::Tensor Y = receiver_grid(y_recv);
    const at::Tensor Z = receiver_grid(z_recv);
    // The wake starts at the rotor centre, the mean of the rotor's grid points.
    const at::Tensor xu = per_source(x_ups.mean({2, 3}));
    const at::Tensor yu = per_source(y_ups.mean({2, 3}));
    const at::Tensor I = per_source(ti_ups);
    const at::Tensor D = pairwise_constant(rotor_d, 2);
    const at::Tensor H = pairwise_constant(hub_h, 2);
    const at::Tensor delta = deflection.unsqueeze(-1).unsqueeze(-1);

    const at::Tensor dx = X - xu;
    // A smooth gate instead of a hard upstream cut-off keeps the deficit differentiable in x.
    const at::Tensor s = at::sigmoid(dx * sigmoid_k);
    const at::Tensor c = at::cos(per_source(yaw_ups) * deg);
    const at::Tensor ct = at::clamp(per_source(ct_ups), 0.0, f32(0.9999f));
    const at::Tensor q = at::sqrt(at::clamp_min(at::rsub(ct, 1.0), tiny));

    const at::Tensor sz0 = D * f32(0.35355339059327373f);  // sqrt(2)/4
    const at::Tensor sy0 = sz0 * c;
    const at::Tensor x0 =
        (D * c) * (q + 1.0) /
            (at::clamp_min(I * (4.0 * alpha) + at::rsub(q, 1.0) * (2.0 * beta), tiny) *
             f32(1.4142135623730951f)) +
        xu;

    // Near wake: widths blend from the rotor-plane width to the far-wake start;
    // the unit floor keeps the ramp finite for a vanishing near wake.
    const at::Tensor r = at::clamp(dx / at::clamp_min(x0 - xu, 1.0), 0.0, 1.0);
    const at::Tensor snw = (D * f32(0.501f)) * at::sqrt(at::clamp_min(ct / 2.0, tiny));
    const at::Tensor one_r = at::rsub(r, 1.0);
    const at::Tensor sy_near = one_r * snw + r * sy0;
    const at::Tensor sz_near = one_r * snw + r * sz0;

    // Far wake: linear expansion with the local turbulence intensity.
    const at::Tensor k = I * ka + kb;
    const at::Tensor e = at::clamp_min(X - x0, 0.0);
    const at::Tensor sy_far = k * e + sy0;
    const at::Tensor sz_far = k * e + sz0;

    const at::Tensor m = (X >= x0).to(X.scalar_type());
    const at::Tensor one_m = at::rsub(m, 1.0);
    const at::Tensor sy = m * sy_far + one_m * sy_near;
    const at::Tensor sz = m * sz_far + one_m * sz_near;

    // Momentum deficit spread over the Gaussian's area; a clamp at 0 saturates
    // the centre-line deficit at 1 close behind a highly loaded rotor.
    const at::Tensor P = at::clamp_min((sy * 8.0) * sz / (D * D), tiny);
    const at::Tensor A = at::rsub(at::sqrt(at::clamp(at::rsub((ct * c) / P, 1.0), 0.0, 1.0)), 1.0);

    const at::Tensor dy = Y - (yu + delta);
    const at::Tensor dz = Z - H;
    const at::Tensor G = at::exp(
        (dy * dy / at::clamp_min(sy * sy, tiny) + dz * dz / at::clamp_min(sz * sz, tiny)) * -0.5);
    return (A * G) * s;
}

}  // namespace sorbane

TORCH_LIBRARY_IMPL(sorbane_cpp, CompositeImplicitAutograd, m) {
    m.impl("gauss_velocity_deficit", &sorbane::gauss_velocity_deficit);
}
