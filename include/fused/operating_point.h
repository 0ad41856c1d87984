#pragma once
// The operating point of a rotor (the solvers' operating_point and interp1d):
// the thrust read off its type's table at the rotor's cube-mean speed, scaled by the
// cosines of yaw and tilt against the table's reference tilt, and the
// induction from momentum theory on that thrust. And the rotor means the
// kernels take.
#include "fused/inputs.h"
#include "fused/math.h"

#include <cstdint>

namespace sorbane::fused {

struct OperatingPoint {
    real_t ct, a;
};

// Interval j of the thrust table that brackets u_avg, as interp1d finds it.
int64_t table_interval(const ThrustTable& table, real_t u_avg);

// Cube-mean speed as the solvers form it (no floor, double exponent) and as
// the kernels do (floored, single-precision exponent). u: NN values at stride.
real_t cube_mean(const real_t* u, int64_t stride, int64_t NN);
real_t solver_rotor_speed(const real_t* u, int64_t stride, int64_t NN);
real_t kernel_rotor_speed(const real_t* u, int64_t stride, int64_t NN);

// Mean of NN values at stride.
real_t rotor_mean(const real_t* v, int64_t stride, int64_t NN);

// The operating point with its intermediates, in the symbols of the solvers'
// operating point and of interp1d; a name ending in _in (or raw) is a value
// before its clamp. m3: mean cube of the rotor speeds; j, x0..y1: the table
// interval and its ends; den, s: interp1d's denominator and slope; c: the
// cosine factor of yaw and tilt; ct_c: the table's thrust times c; h, root:
// 1 - ct c and its root.
struct OperatingPointTape {
    R m3, u_avg;
    int64_t j;
    R x0, x1, y0, y1, den, s, raw, ct_table, cos_yaw, cos_tilt, c, ct_c, ct, h, root, a;
};

// At the cube-mean speed u_avg (m3 left unset), and from the NN rotor velocities u.
OperatingPointTape operating_point_at(const ThrustTable& table, R u_avg, R yaw, R tilt);
OperatingPointTape operating_point_forward(const ThrustTable& table, const R* u, int64_t NN, R yaw,
                                           R tilt);
// Thrust and induction only.
OperatingPoint operating_point(const ThrustTable& table, real_t u_avg, real_t yaw, real_t tilt);

// Gradients of the thrust and induction back to the rotor velocities u
// (added to grad_u), the angles and the thrust table.
void operating_point_backward(const ThrustTable& table, const OperatingPointTape& o, const R* u,
                              int64_t NN, R yaw, R tilt, R grad_ct, R grad_a, R* grad_u,
                              R& grad_yaw, R& grad_tilt, R* grad_ws, R* grad_table_ct);
// The gradient g of kernel_rotor_speed, added to the NN rotor velocities' gradients.
void kernel_rotor_speed_backward(const R* u, int64_t NN, R g, R* grad_u);

}  // namespace sorbane::fused
