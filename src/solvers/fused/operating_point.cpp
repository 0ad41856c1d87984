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

int64_t table_interval(const Inputs& in, R u_avg) {
    // interp1d: the tensor library's left-side binary search, then the
    // bracketing interval, clamped to the table's ends.
    const R* xs = in.table_ws.data_ptr<R>();
    const int64_t n = in.n_table;
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

OperatingPoint operating_point(const Inputs& in, R u_avg, R yaw, R tilt) {
    const R* xs = in.table_ws.data_ptr<R>();
    const R* ys = in.table_ct.data_ptr<R>();
    const int64_t j = table_interval(in, u_avg);
    const R x0 = xs[j], x1 = xs[j + 1], y0 = ys[j], y1 = ys[j + 1];
    const R s = (y1 - y0) / ((x1 - x0) + f32c(1.1920928955078125e-07f));
    R ct = clamp(y0 + s * (u_avg - x0), R(0), lit(0.9999));
    const R c = (std::cos(yaw * lit(kDegToRad)) * std::cos(tilt * lit(kDegToRad))) /
                in.cos_ref;
    ct = clamp(ct * c, R(0), lit(0.9999));
    const R a = (R(0.5) / c) * (R(1) - std::sqrt(clamp_min(R(1) - ct * c, lit(1e-6))));
    return {ct, a};
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

}  // namespace sorbane::fused
