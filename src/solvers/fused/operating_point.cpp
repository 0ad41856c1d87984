// The operating point of a rotor, as the solvers' operating_point
// (src/solvers/solver_steps.cpp) and src/interp1d form it: the thrust
// coefficient read off the table at the rotor's cube-mean speed (linear
// between entries, held at the ends), scaled by the cosines of yaw and tilt
// against the table's reference tilt, since a misaligned rotor sees only the
// normal inflow; the induction from momentum theory on that thrust. Also the
// rotor means the kernels take: the cube mean, the uniform speed with the
// rotor's energy flux, and the plain mean.
#include "fused/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sorbane::fused {

int64_t table_interval(const ThrustTable& table, R u_avg) {
    // interp1d: the tensor library's left-side binary search, then the
    // bracketing interval, clamped to the table's ends.
    const R* xs = table.ws.data_ptr<R>();
    const int64_t n = table.n;
    int64_t start = 0, end = n;
    while (start < end) {
        const int64_t mid = start + ((end - start) >> 1);
        if (!(xs[mid] >= u_avg)) {
            start = mid + 1;
        } else {
            end = mid;
        }
    }
    return std::clamp<int64_t>(start - 1, 0, n - 2);
}

OperatingPoint operating_point(const ThrustTable& table, R u_avg, R yaw, R tilt) {
    const OperatingPointTape o = operating_point_at(table, u_avg, yaw, tilt);
    return {o.ct, o.a};
}

R rotor_mean(const R* v, int64_t stride, int64_t NN) {
    R s = 0;
    for (int64_t p = 0; p < NN; ++p) s += v[p * stride];
    return s / static_cast<R>(NN);
}

R cube_mean(const R* u, int64_t stride, int64_t NN) {
    R s = 0;
    for (int64_t p = 0; p < NN; ++p) {
        const R v = u[p * stride];
        s += v * v * v;
    }
    return s / static_cast<R>(NN);
}

R solver_rotor_speed(const R* u, int64_t stride, int64_t NN) {
    return pow_scalar(cube_mean(u, stride, NN), 0.3333333333333333);
}

R kernel_rotor_speed(const R* u, int64_t stride, int64_t NN) {
    return pow_scalar(clamp_min(cube_mean(u, stride, NN), f32c(1e-20f)),
                      static_cast<double>(1.0f / 3.0f));
}

// ---------------------------------------------------------------------------
// The reverse pass: the operating point's gradients, replayed with its
// intermediates (interp1d, the cosine correction, momentum theory).

OperatingPointTape operating_point_at(const ThrustTable& table, R u_avg, R yaw, R tilt) {
    OperatingPointTape o;
    o.u_avg = u_avg;
    const R* xs = table.ws.data_ptr<R>();
    const R* ys = table.ct.data_ptr<R>();
    o.j = table_interval(table, o.u_avg);
    o.x0 = xs[o.j];
    o.x1 = xs[o.j + 1];
    o.y0 = ys[o.j];
    o.y1 = ys[o.j + 1];
    o.den = (o.x1 - o.x0) + f32c(1.1920928955078125e-07f);
    o.s = (o.y1 - o.y0) / o.den;
    o.raw = o.y0 + o.s * (o.u_avg - o.x0);
    o.ct_table = clamp(o.raw, R(0), lit(0.9999));
    o.cos_yaw = std::cos(yaw * lit(kDegToRad));
    o.cos_tilt = std::cos(tilt * lit(kDegToRad));
    o.c = (o.cos_yaw * o.cos_tilt) / table.cos_ref;
    o.ct_c = o.ct_table * o.c;
    o.ct = clamp(o.ct_c, R(0), lit(0.9999));
    o.h = R(1) - o.ct * o.c;
    o.root = std::sqrt(clamp_min(o.h, lit(1e-6)));
    o.a = (R(0.5) / o.c) * (R(1) - o.root);
    return o;
}

OperatingPointTape operating_point_forward(const ThrustTable& table, const R* u, int64_t NN, R yaw,
                                           R tilt) {
    const R m3 = cube_mean(u, 1, NN);
    OperatingPointTape o = operating_point_at(table, pow_scalar(m3, 0.3333333333333333), yaw, tilt);
    o.m3 = m3;
    return o;
}

namespace {

// d mean(u^3) for its gradient g, added to the NN rotor velocities' gradients.
void cube_mean_backward(const R* u, int64_t NN, R g, R* grad_u) {
    const R per_point = g / static_cast<R>(NN);
    for (int64_t p = 0; p < NN; ++p) grad_u[p] += per_point * (R(3) * (u[p] * u[p]));
}

}  // namespace

// Gradients of the thrust and induction back to the rotor velocities u
// (added to grad_u), the angles and the thrust table.
void operating_point_backward(const ThrustTable& table, const OperatingPointTape& o, const R* u,
                              int64_t NN, R yaw, R tilt, R grad_ct, R grad_a, R* grad_u,
                              R& grad_yaw, R& grad_tilt, R* grad_ws, R* grad_table_ct) {
    // a = (0.5 / c) (1 - sqrt(max(1 - ct c, 1e-6)))
    const R half = R(0.5) / o.c;
    R grad_c = -(grad_a * (R(1) - o.root)) * (half / o.c);
    const R grad_root = -(grad_a * half);
    const R grad_h = sqrt_floor_grad(grad_root, o.h, lit(1e-6), o.root);
    grad_ct += -grad_h * o.c;
    grad_c += -grad_h * o.ct;
    // ct = clamp(ct_table c, 0, 0.9999)
    const R grad_ct_c = (o.ct_c >= R(0) && o.ct_c <= lit(0.9999)) ? grad_ct : R(0);
    const R grad_ct_table = grad_ct_c * o.c;
    grad_c += grad_ct_c * o.ct_table;
    // c = cos(yaw) cos(tilt) / cos_ref
    const R grad_prod = grad_c / table.cos_ref;
    const R k = lit(kDegToRad);
    grad_yaw += -std::sin(yaw * k) * (grad_prod * o.cos_tilt) * k;
    grad_tilt += -std::sin(tilt * k) * (grad_prod * o.cos_yaw) * k;
    // ct_table = clamp(interp1d(...), 0, 0.9999)
    const R grad_raw = (o.raw >= R(0) && o.raw <= lit(0.9999)) ? grad_ct_table : R(0);
    if (grad_raw == R(0)) return;
    const R grad_s = grad_raw * (o.u_avg - o.x0);
    const R grad_u_avg = grad_raw * o.s;
    const R grad_den = -(grad_s * o.s) / o.den;
    grad_table_ct[o.j] += grad_raw - grad_s / o.den;
    grad_table_ct[o.j + 1] += grad_s / o.den;
    grad_ws[o.j] += -grad_raw * o.s - grad_den;
    grad_ws[o.j + 1] += grad_den;
    // u_avg = mean(u^3)^(1/3)
    cube_mean_backward(u, NN, grad_u_avg * pow_slope(o.m3, 0.3333333333333333), grad_u);
}

// Cube-mean speed as the kernels form it, max(mean(u^3), 1e-20)^(1/3): the
// gradient g of it, added to the NN rotor velocities' gradients.
void kernel_rotor_speed_backward(const R* u, int64_t NN, R g, R* grad_u) {
    const R m3 = cube_mean(u, 1, NN);
    if (!(m3 >= f32c(1e-20f)) || g == R(0)) return;
    cube_mean_backward(u, NN, g * pow_slope(m3, static_cast<double>(1.0f / 3.0f)), grad_u);
}

}  // namespace sorbane::fused
