#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>
#include <torch/library.h>

namespace sorbane {

at::Tensor gauss_deflection(
    const at::Tensor& x_i, const at::Tensor& y_i, const at::Tensor& x_recv,
    const at::Tensor& ct_ups, const at::Tensor& yaw_ups, const at::Tensor& ti_ups,
    const at::Tensor& rotor_d, double alpha, double beta, double ka, double kb,
    double ad, double bd, double dm) {
    alpha = narrow(alpha);
    beta = narrow(beta);
    ka = narrow(ka);
    kb = narrow(kb);
    ad = narrow(ad);
    bd = narrow(bd);
    dm = narrow(dm);
    const double deg = f32(0.017453292519943295f);
    const double tiny = f32(1e-6f);
    const double ct_max = f32(0.9999f);
    const double a16 = f32(1.6f);

    // Rotor centres only, laid out (F, Tr, Tu): receivers on axis 1, wake sources on axis 2.
    const at::Tensor X = x_recv.unsqueeze(2);
    const at::Tensor xi = x_i.unsqueeze(1);
    const at::Tensor I = ti_ups.unsqueeze(1);
    const at::Tensor D = rotor_d.view({1, 1, -1});

    // Positive yaw turns the wake towards -y, hence the reversed sign.
    const at::Tensor gr = yaw_ups.unsqueeze(1) * -deg;
    const at::Tensor c = at::cos(gr);
    const at::Tensor ct = at::clamp(ct_ups.unsqueeze(1), 0.0, ct_max);
    const at::Tensor q = at::sqrt(at::clamp_min(at::rsub(ct, 1.0), tiny));
    // Only the thrust component along the wind drives the wake's momentum deficit.
    const at::Tensor ctc = at::clamp(ct * c, 0.0, ct_max);
    const at::Tensor qc = at::sqrt(at::clamp_min(at::rsub(ctc, 1.0), tiny));

    const at::Tensor sz0 =
        (D * 0.5) *
        at::sqrt(at::clamp_min(
            ctc / at::clamp_min((at::rsub(qc, 1.0) * 2.0) * (q + 1.0), tiny), tiny));
    const at::Tensor sy0 = sz0 * c;
    const at::Tensor x0 =
        (D * c) * (qc + 1.0) /
            (at::clamp_min(I * (4.0 * alpha) + at::rsub(q, 1.0) * (2.0 * beta), tiny) *
             f32(1.4142135623730951f)) +
        xi;
    const at::Tensor k = I * ka + kb;

    const at::Tensor C0 = at::rsub(q, 1.0);
    const at::Tensor M0 = C0 * at::rsub(C0, 2.0);
    const at::Tensor sM = at::sqrt(at::clamp_min(M0, tiny));
    const at::Tensor E0 = (C0 * C0 - C0 * f32(3.2607121487f)) + f32(4.1868372753f);  // 3e^(1/12), 3e^(1/3)

    // Formed in single precision in both builds, like the other model constants.
    const double skew = static_cast<double>(0.3f * static_cast<float>(dm));
    const at::Tensor theta = ((gr * skew) / at::clamp_min(c, tiny)) * at::rsub(qc, 1.0);
    // Straight skewed wake over the near-wake length.
    const at::Tensor L = at::clamp_min(x0 - xi, 0.0);
    const at::Tensor delta0 = at::tan(theta) * L;

    const at::Tensor dx = X - xi;
    const at::Tensor e = at::clamp_min(X - x0, 0.0);
    const at::Tensor sy = k * e + sy0;
    const at::Tensor sz = k * e + sz0;

    // Far-wake growth: logarithm of the wake's width ratio.
    const at::Tensor P0 = at::clamp_min(sy0 * sz0, tiny);
    const at::Tensor rho = at::sqrt(at::clamp_min((sy * sz) / P0, tiny));
    const at::Tensor num = (sM + a16) * (rho * a16 - sM);
    const at::Tensor den = at::rsub(sM, a16) * (rho * a16 + sM);
    const at::Tensor Lambda =
        at::log(at::clamp_min(num, tiny) / at::clamp_min(at::abs(den), tiny));
    const at::Tensor Phi =
        (((theta * E0) / f32(5.2f)) *
         at::sqrt(at::clamp_min(P0 / at::clamp_min((k * k) * M0, tiny), tiny))) *
        Lambda;

    const at::Tensor lin = dx * bd + ad;
    const at::Tensor rn = at::clamp(dx / at::clamp_min(L, 1.0), 0.0, 1.0);
    const at::Tensor d_near = rn * delta0 + lin;
    const at::Tensor d_far = (delta0 + Phi) + lin;

    // At x0 itself the near-wake branch applies; nothing reaches receivers at or upstream of the rotor.
    const at::Tensor mf = (X > x0).to(X.scalar_type());
    const at::Tensor mn = ((X >= xi) & (X <= x0)).to(X.scalar_type());
    const at::Tensor md = (dx > 0).to(dx.scalar_type());
    return (mn * d_near + mf * d_far) * md;
}

}  // namespace sorbane

TORCH_LIBRARY_IMPL(sorbane_cpp, CompositeImplicitAutograd, m) {
    m.impl("gauss_deflection", &sorbane::gauss_deflection);
}
