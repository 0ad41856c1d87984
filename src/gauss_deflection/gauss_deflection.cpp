#include "kernels.h"
#include "precision.h"

#include <ATen/ATen.h>
#include <torch/library.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

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
    const double deg = kDegToRad;
    const double tiny = f32(1e-6f);
    const double ct_max = f32(0.9999f);
    const double a16 = f32(1.6f);

    // Rotor centres only, laid out (F, Tr, Tu): receivers on axis 1, wake sources on axis 2.
    const at::Tensor X = x_recv.unsqueeze(2);
    const at::Tensor xi = x_i.unsqueeze(1);
    const at::Tensor I = ti_ups.unsqueeze(1);
    const at::Tensor D = pairwise_constant(rotor_d, 0);

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

// Secondary steering: the vortex model of yawed rotors.


namespace {

// Model constants, applied at their single-precision values in both builds.
constexpr float kPi = 3.14159265358979323846f;
constexpr float kRadToDeg = 180.0f / kPi;
constexpr float kPiOver8 = kPi / 8.0f;
constexpr float kPiOver2 = kPi / 2.0f;
constexpr float kTwoPi = 2.0f * kPi;
constexpr float kOneThird = 1.0f / 3.0f;
constexpr float kKarman = 0.41f;
constexpr float kOffset = 1e-5f;  // keeps grid points off the vortex axes
constexpr float kTinyLength = 1e-6f;
constexpr float kTiny = 1e-20f;
constexpr std::array<int64_t, 2> kGridAxes{1, 2};
constexpr std::array<int64_t, 2> kLastTwoAxes{-2, -1};
constexpr std::array<int64_t, 3> kReceiverAxes{1, 2, 3};

// A line vortex along the flow induces the 2-D point-vortex velocity
// Gamma / (2 pi r), turned by 90 degrees from the radius; the factor
// 1 - exp(-r^2 / eps^2) is a Lamb-Oseen viscous core that brings the velocity
// to zero on the axis instead of letting it diverge.
struct Vortex {
    at::Tensor r2_2pi;
    at::Tensor core;

    at::Tensor spanwise(const at::Tensor& gamma, const at::Tensor& zeta) const {
        return ((gamma * zeta) / r2_2pi) * core;
    }
    at::Tensor vertical(const at::Tensor& gamma, const at::Tensor& y) const {
        return ((-gamma * y) / r2_2pi) * core;
    }
};

// y2: squared spanwise offset from the axis; zeta: vertical offset; eps2: core
// size squared (a tensor, or a scalar for a single rotor).
template <typename Eps2>
Vortex vortex(const at::Tensor& y2, const at::Tensor& zeta, const Eps2& eps2) {
    const at::Tensor r2 = (y2 + zeta * zeta).clamp_min(f32(kTiny));
    return {r2 * f32(kTwoPi), at::rsub(at::exp(-r2 / eps2), 1)};
}

at::Tensor rotor_mean(const at::Tensor& t) { return t.mean(kLastTwoAxes); }

// Rotor-effective speed: the cube mean, which carries the rotor's kinetic
// energy flux.
at::Tensor cube_mean_speed(const at::Tensor& u, at::IntArrayRef dims, bool keepdim) {
    return at::pow(at::pow(u, 3).mean(dims, keepdim).clamp_min(f32(kTiny)), f32(kOneThird));
}

}  // namespace

std::tuple<at::Tensor, at::Tensor> gauss_transverse_velocities(
    const at::Tensor& x_recv, const at::Tensor& y_recv, const at::Tensor& z_recv,
    const at::Tensor& x_ups, const at::Tensor& y_ups, const at::Tensor& u_ups,
    const at::Tensor& u_initial, const at::Tensor& yaw_ups, const at::Tensor& ct_ups,
    const at::Tensor& ai_ups, const at::Tensor& tsr_ups, const at::Tensor& hub_h,
    const at::Tensor& rotor_d, double wind_shear, double eps_gain) {
    const double shear = narrow(wind_shear);
    const double gain = narrow(eps_gain);
    const c10::SymInt n_f = x_recv.sym_size(0);
    const c10::SymInt n_u = x_ups.sym_size(1);
    const auto per_source = [&](const at::Tensor& t) { return t.view_symint({n_f, 1, n_u, 1, 1}); };

    const at::Tensor yaw = yaw_ups * kDegToRad;
    const at::Tensor sin_yaw = at::sin(yaw);
    const at::Tensor cos_yaw = at::cos(yaw);

    const at::Tensor u_inf = u_initial.mean(kReceiverAxes);
    const at::Tensor u_inf2 = u_inf.unsqueeze(1);
    const at::Tensor u_inf5 = u_inf.view_symint({n_f, 1, 1, 1, 1});

    // Power-law shear sets the speed, hence the circulation, at the rotor's
    // top and bottom edges.
    const at::Tensor h2 = per_case_constant(hub_h);
    const at::Tensor d2 = per_case_constant(rotor_d);
    const at::Tensor h2_safe = h2.clamp_min(f32(kTinyLength));
    const at::Tensor vel_top = at::pow((h2 + d2 / 2) / h2_safe, shear);
    const at::Tensor vel_bot = at::pow((h2 - d2 / 2).clamp_min(f32(kTinyLength)) / h2_safe, shear);

    // A yawed rotor's lateral thrust sheds a counter-rotating pair from its
    // top and bottom edges.
    const at::Tensor gamma_top =
        (sin_yaw * cos_yaw) * ((((d2 * f32(kPiOver8)) * vel_top) * u_inf2) * ct_ups);
    const at::Tensor gamma_bot =
        (-sin_yaw * cos_yaw) * ((((d2 * f32(kPiOver8)) * vel_bot) * u_inf2) * ct_ups);
    // Wake rotation: the torque the rotor takes from the flow, a (1 - a) per
    // tip-speed ratio, leaves a swirl of opposite sense behind it.
    const at::Tensor u_eff = cube_mean_speed(u_ups, kLastTwoAxes, false);
    const at::Tensor gamma_rot =
        (((d2 * f32(kPiOver2)) * (ai_ups - at::pow(ai_ups, 2))) * u_eff) /
        per_case_constant(tsr_ups).clamp_min(f32(kTinyLength));
    const at::Tensor g_top = per_source(gamma_top);
    const at::Tensor g_bot = per_source(gamma_bot);
    const at::Tensor g_rot = per_source(gamma_rot);

    const at::Tensor dx =
        (rotor_mean(x_recv).unsqueeze(2) - rotor_mean(x_ups).unsqueeze(1)).unsqueeze(-1).unsqueeze(-1);
    const at::Tensor y = y_recv.unsqueeze(2);
    const at::Tensor z = z_recv.unsqueeze(2);
    const at::Tensor u0 = u_initial.unsqueeze(2);
    const at::Tensor h5 = pairwise_constant(hub_h, 2);
    const at::Tensor d5 = pairwise_constant(rotor_d, 2);
    const at::Tensor y_l = (y - per_source(rotor_mean(y_ups))) + f32(kOffset);

    const at::Tensor eps = d5 * gain;
    const at::Tensor eps2 = eps * eps;
    // The vortices diffuse downstream under an eddy viscosity nu = l^2 |dU/dz|,
    // with a mixing length that grows as kappa z near the ground and saturates
    // at D/8: the core area grows by 4 nu t over the travel time t = dx / U.
    const at::Tensor kz = z * f32(kKarman);
    const at::Tensor mixing_length = kz / (1 + kz / (d5 / 8));
    const at::Tensor dudz = (u0 * shear) / z.clamp_min(f32(1e-4f));
    const at::Tensor nu = (mixing_length * mixing_length) * at::abs(dudz);
    const at::Tensor decay = eps2 / ((((nu * 4) * dx) / u_inf5) + eps2).clamp_min(f32(kTiny));

    // Each vortex has a mirror image below the ground, of opposite sign, so
    // that the ground is a streamline.
    const at::Tensor zh = z - h5;
    const at::Tensor zh_img = z + h5;
    const at::Tensor half_d = d5 / 2;
    const at::Tensor zeta_top = (zh - half_d) + f32(kOffset);
    const at::Tensor zeta_bot = (zh + half_d) + f32(kOffset);
    const at::Tensor zeta_rot = zh + f32(kOffset);
    const at::Tensor zeta_top_img = (zh_img + half_d) + f32(kOffset);
    const at::Tensor zeta_bot_img = (zh_img - half_d) + f32(kOffset);
    const at::Tensor zeta_rot_img = zh_img + f32(kOffset);
    const at::Tensor g_top_img = -g_top;
    const at::Tensor g_bot_img = -g_bot;
    const at::Tensor g_rot_img = -g_rot;

    const at::Tensor y2 = y_l * y_l;
    const Vortex top = vortex(y2, zeta_top, eps2);
    const Vortex bot = vortex(y2, zeta_bot, eps2);
    const Vortex rot = vortex(y2, zeta_rot, eps2);
    const Vortex top_img = vortex(y2, zeta_top_img, eps2);
    const Vortex bot_img = vortex(y2, zeta_bot_img, eps2);
    const Vortex rot_img = vortex(y2, zeta_rot_img, eps2);

    const at::Tensor v = top.spanwise(g_top, zeta_top) * decay + bot.spanwise(g_bot, zeta_bot) * decay +
                         top_img.spanwise(g_top_img, zeta_top_img) * decay +
                         bot_img.spanwise(g_bot_img, zeta_bot_img) * decay +
                         rot.spanwise(g_rot, zeta_rot) * decay +
                         rot_img.spanwise(g_rot_img, zeta_rot_img) * decay;
    const at::Tensor w = top.vertical(g_top, y_l) * decay + bot.vertical(g_bot, y_l) * decay +
                         top_img.vertical(g_top_img, y_l) * decay +
                         bot_img.vertical(g_bot_img, y_l) * decay +
                         rot.vertical(g_rot, y_l) * decay + rot_img.vertical(g_rot_img, y_l) * decay;

    // Nothing reaches a rotor upstream of the source; one abreast of it counts.
    const at::Tensor m = at::ge(dx, 0).to(v.scalar_type());
    // Upwash only: the downward part is not carried downstream.
    return {v * m, (w * m).clamp_min(0)};
}

at::Tensor wake_added_yaw(
    const at::Tensor& u_i, const at::Tensor& v_i, const at::Tensor& u_initial_i,
    const at::Tensor& delta_y, const at::Tensor& z_i, const at::Tensor& ct_i,
    const at::Tensor& ai_i, double tsr_i, double hub_height, double rotor_diameter,
    double wind_shear) {
    const at::IntArrayRef grid = kGridAxes;
    const at::Tensor u_inf = u_initial_i.mean(grid, true);
    const at::Tensor v_mean = v_i.mean(grid);
    const at::Tensor u_eff = cube_mean_speed(u_i, grid, true);
    const at::Tensor ct = ct_i.unsqueeze(1).unsqueeze(2);
    const at::Tensor a = ai_i.unsqueeze(1).unsqueeze(2);

    // Scalars of the turbine itself, in single precision throughout.
    const float d = static_cast<float>(rotor_diameter);
    const float h = static_cast<float>(hub_height);
    const float shear = static_cast<float>(wind_shear);
    const float eps = 0.2f * d;
    const float eps2 = eps * eps;
    const float z_top = std::fma(0.5f, d, h);
    const float z_bot = std::fma(-0.5f, d, h);
    const float h_safe = std::max(h, kTinyLength);
    const float vel_top = std::pow(std::max(z_top / h_safe, kTinyLength), shear);
    const float vel_bot = std::pow(std::max(z_bot / h_safe, kTinyLength), shear);
    const float g = d * kPiOver8;
    const float tau = std::max(static_cast<float>(tsr_i), kTinyLength);

    const at::Tensor gamma_top = (u_inf * (g * vel_top)) * ct;
    const at::Tensor gamma_bot = (u_inf * (-(vel_bot * g))) * ct;
    const at::Tensor gamma_rot = (((a - at::pow(a, 2)) * (d * kPiOver2)) * u_eff) / tau;

    // Rotor-mean spanwise velocity of the turbine's own vortices, unmixed and
    // without ground images.
    const at::Tensor y_l = delta_y + f32(kOffset);
    const at::Tensor y2 = y_l * y_l;
    const auto mean_spanwise = [&](const at::Tensor& gamma, float zc) {
        const at::Tensor zeta = (z_i - zc) + f32(kOffset);
        return vortex(y2, zeta, eps2).spanwise(gamma, zeta).mean(grid);
    };
    const at::Tensor v_top = mean_spanwise(gamma_top, z_top);
    const at::Tensor v_bot = mean_spanwise(gamma_bot, z_bot);
    const at::Tensor v_core = mean_spanwise(gamma_rot, h);

    // The yaw whose vortex pair would induce the spanwise flow left after the
    // rotor's own swirl: the pair scales with sin(gamma) cos(gamma) =
    // sin(2 gamma) / 2, and v_top + v_bot is its velocity per unit of that
    // factor. The positive fallback keeps the numerator's sign when the pair
    // induces nothing.
    constexpr float kMinDenominator = 1e-10f;
    constexpr float kAsinBound = 0.999999f;
    const at::Tensor s = v_top + v_bot;
    const at::Tensor denominator =
        at::where(at::abs(s) > f32(kMinDenominator), s, at::full_like(v_top, f32(kMinDenominator)));
    const at::Tensor ratio =
        (((v_mean - v_core) * 2) / denominator).clamp(f32(-kAsinBound), f32(kAsinBound));
    return (at::asin(ratio) * 0.5) * f32(kRadToDeg);
}

}  // namespace sorbane

TORCH_LIBRARY_IMPL(sorbane_cpp, CompositeImplicitAutograd, m) {
    m.impl("gauss_deflection", &sorbane::gauss_deflection);
    m.impl("gauss_transverse_velocities", &sorbane::gauss_transverse_velocities);
    m.impl("wake_added_yaw", &sorbane::wake_added_yaw);
}
