#pragma once
// The wake kernels of the fused CPU solvers, per source and per receiver, one
// family a file in src/solvers/fused. Every formula repeats the operations of
// the kernel it replaces, in the same order and at the working precision, so
// that fused and op-by-op results differ only by the last-place rounding of
// exp, log and pow and the order of the nine-term rotor sums.
#include "fused/inputs.h"
#include "fused/math.h"

#include <cstdint>
#include <vector>

namespace sorbane::fused {

// ---------------------------------------------------------------------------
// Operating point (operating_point.cpp)

struct OperatingPoint {
    real_t ct, a;
};

// Thrust and induction from the rotor's cube-mean speed, yaw and tilt.
OperatingPoint operating_point(const Inputs& in, real_t u_avg, real_t yaw, real_t tilt);

// Interval j of the thrust table that brackets u_avg, as interp1d finds it.
int64_t table_interval(const Inputs& in, real_t u_avg);

// Cube-mean speed as the solvers form it (no floor, double exponent) and as
// the kernels do (floored, single-precision exponent). u: NN values at stride.
real_t cube_mean(const real_t* u, int64_t stride, int64_t NN);
real_t solver_rotor_speed(const real_t* u, int64_t stride, int64_t NN);
real_t kernel_rotor_speed(const real_t* u, int64_t stride, int64_t NN);

// Mean of NN values at stride.
real_t rotor_mean(const real_t* v, int64_t stride, int64_t NN);

// ---------------------------------------------------------------------------
// One wake-casting turbine in one flow case, with the constants each kernel
// forms per source.
struct Source {
    int64_t i = 0;
    real_t x = 0, y = 0, rd = 0, hh = 0, ct = 0, a = 0;

    // Turbine i of case cd, at its operating point.
    Source(const Inputs& in, const CaseData& cd, int64_t i, OperatingPoint op)
        : i(i), x(cd.xbar[i]), y(cd.ybar[i]), rd(in.rd.data_ptr<real_t>()[i]),
          hh(in.hh.data_ptr<real_t>()[i]), ct(op.ct), a(op.a) {}

    // gauss_deflection's, from the steered yaw and the turbulence before recovery.
    struct Deflection {
        real_t near_wake_end = 0;    // x0, where the far wake starts
        real_t expansion = 0;        // k, the widths' growth per unit distance
        real_t width_y0 = 0;         // sigma_y0 and sigma_z0, the widths at x0
        real_t width_z0 = 0;
        real_t sqrt_M0 = 0;          // sqrt(M0), M0 = C0 (2 - C0)
        real_t width_product0 = 0;   // sigma_y0 sigma_z0, floored
        real_t growth = 0;           // factor of the far wake's logarithmic growth; 0 unskewed
        real_t ramp_length = 0;      // the near wake's length, at least 1
        real_t straight_offset = 0;  // delta0, the straight skewed near wake's offset at x0
    } deflection;

    // gauss_velocity_deficit's, from the raw yaw and the turbulence after recovery.
    struct Deficit {
        real_t near_wake_end = 0;  // x0
        real_t ramp_length = 0;    // the near wake's length, at least 1
        real_t expansion = 0;      // k
        real_t width_y0 = 0;       // sigma_y0 and sigma_z0
        real_t width_z0 = 0;
        real_t width_rotor = 0;    // the width at the rotor plane
        real_t ct_axial = 0;       // ct cos(yaw), the thrust along the wind
        real_t diameter_sq = 0;    // D^2
        real_t sigmoid_k = 0;      // slope of the logistic upstream gate
    } deficit;

    // False when a constant is not finite (deflection.cpp, velocity_deficit.cpp).
    bool set_deflection(const Inputs& in, real_t yaw_eff, real_t ti);
    bool set_deficit(const Inputs& in, real_t yaw, real_t ti);

    // Whether the added-turbulence correlation stays finite at every receiver,
    // so that pairs left out contribute exactly zero (turbulence.cpp).
    bool turbulence_bounded(const Inputs& in, const CaseData& cd);
    // Turbulence added at receiver r, whose rotor has cnt points with a
    // deficit above 0.05 (crespo_hernandez_ti times overlap and region masks).
    real_t added_turbulence(const Inputs& in, const CaseData& cd, int64_t r, real_t cnt);

private:
    real_t ch_g(const Inputs& in, const CaseData& cd);  // induction x constant x ambient term
    bool ch_g_known = false;
    real_t ch_g_value = 0;
};

// Working arrays of one thread, reused across cases: T + kPad entries per
// receiver, as many per packed candidate.
struct Work {
    // Per receiver:
    std::vector<real_t> centre_y;  // the wake centre's y (the deflection before the widths pass)
    std::vector<real_t> width_y, width_z;        // sigma_y and sigma_z
    std::vector<real_t> width_y_sq, width_z_sq;  // their squares, floored
    // A bound of the deficit on the rotor, amplitude and gate (both at most 1) left out.
    std::vector<real_t> gauss_bound;
    std::vector<real_t> reached;   // 1 where the wake reaches the receiver, else 0
    std::vector<real_t> x_offset;  // its rotor-mean x less the source's
    // 1 where a deficit can change the receiver: per receiver of the span,
    // then per packed candidate.
    std::vector<real_t> changed;
    // The candidate receivers and then the receivers a wake changes, packed:
    // entry k belongs to receiver[k]. count: its points with a deficit above
    // 0.05; combined_min: the smallest combined deficit on its rotor.
    struct Packed {
        std::vector<int32_t> receiver;
        std::vector<real_t> x, width_y, width_z, gauss_bound, amplitude, gate, bound;
        std::vector<real_t> centre_y, width_y_sq, width_z_sq, reached, count, combined_min;
        std::vector<real_t> y, z, u0, combined;  // p * K + k
    } packed;
    std::vector<real_t> u_i;  // per rotor point
    void reserve(int64_t T, int64_t NN);
};

// ---------------------------------------------------------------------------
// Deflection (deflection.cpp)

// The lateral offset of the wake centre of `src` at receivers [lo, hi), into defl.
void deflection_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                      int64_t hi, real_t* defl);

// ---------------------------------------------------------------------------
// Velocity deficit (velocity_deficit.cpp)

// Receivers [lo, hi) that the wake of `src` reaches by the downstream mask
// (rotor-mean x more than 0.1 beyond the source's); fills w.reached over all
// T. Returns false when there is none.
bool deficit_span(const CaseData& cd, const Source& src, Work& w, int64_t& lo, int64_t& hi);

// Deflection and the per-receiver part of the deficit over [lo, hi).
void deficit_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                   int64_t hi, Work& w);

// Velocity deficit D at every point of [lo, hi), combined into `combined`
// (p * S + r). root_sum (one wake at a time): combined = sqrt(max(combined^2
// + D^2, 1e-20)), and combined_min[r] is the smallest combined deficit on
// rotor r; otherwise combined += D^2 (a sweep's sum) and combined_min is
// unused. Receivers where D provably leaves the combined deficit unchanged
// (masked out, or a deficit below its last place; in a sum, one whose square
// is zero) are skipped. Returns K: w.packed.receiver[0, K) are the receivers
// worked, and w.packed.count[k] counts the points of receiver[k] with
// D > 0.05 (all others have none). before, when given, takes the combined
// deficit of the receivers worked before the wake, NN values (p = 0 .. NN - 1)
// per receiver in the order of w.packed.receiver.
int64_t deficit_points(const CaseData& cd, const Source& src, int64_t lo, int64_t hi, Work& w,
                       real_t* combined, real_t* combined_min, bool root_sum,
                       std::vector<real_t>* before = nullptr);

// ---------------------------------------------------------------------------
// Turbulence (turbulence.cpp; the added turbulence is a member of Source)

// Turbulence added by mixing of the transverse flow at turbine i. u: NN
// contiguous; V, W: the accumulated transverse velocities (stride S).
real_t mixing(const Inputs& in, const CaseData& cd, int64_t i, const real_t* u, real_t ti,
              const real_t* V, const real_t* W);

// ---------------------------------------------------------------------------
// Transverse velocities (transverse.cpp)

// The vortex rule of the transverse-velocity kernels: a Lamb-Oseen core on
// the point-vortex velocity, spanwise (sp) and vertical (vt) parts. y2: the
// squared spanwise offset yl from the axis; zeta: the vertical offset; eps2:
// the core size squared.
SORBANE_INLINE void vortex(R y2, R yl, R zeta, R gamma, R eps2, R& sp, R& vt) {
    const R r2 = clamp_min(y2 + zeta * zeta, f32c(1e-20f));
    const R r2_2pi = r2 * f32c(2.0f * kPiF);
    const R core = R(1) - exp_v(-r2 / eps2);
    sp = ((gamma * zeta) / r2_2pi) * core;
    vt = ((-gamma * yl) / r2_2pi) * core;
}

// Extra yaw (degrees) of turbine i from the spanwise flow v (stride S) across
// its rotor; u: its rotor velocities (NN contiguous).
real_t added_yaw(const Inputs& in, const CaseData& cd, int64_t i, const real_t* u,
                 const real_t* v, real_t ct, real_t a);

// Transverse velocities of the source's vortices at every point of every
// receiver not upstream of it, added to V and W (p * S + r). yaw: the raw yaw;
// u: the source's rotor velocities (NN contiguous). [lo, hi): the receivers
// written (empty when none).
void transverse(const Inputs& in, const CaseData& cd, const Source& src, real_t yaw,
                const real_t* u, real_t* V, real_t* W, Work& w, int64_t& lo, int64_t& hi);

}  // namespace sorbane::fused
