#pragma once
// The wake kernels of the fused CPU solvers, one family a header and a source
// file: each formula is a small inline function that the fast forward loops,
// the replay and the reverse pass all call, and it repeats the operations of
// the kernel it mirrors, in the same order and at the working precision, so
// that fused and op-by-op results differ only by the last-place rounding of
// exp, log and pow and the order of the nine-term rotor sums.
//
// Each reverse-pass function answers its forward twin with the gradients, in
// reverse order of the forward's lines, with the tensor library's one-sided
// choices: a clamp passes the gradient where its bound is reached, a maximum
// splits it evenly on a tie, abs has slope 0 at 0. The structs the forward
// functions return keep the intermediates the gradients read.
#include "fused/deflection.h"
#include "fused/inputs.h"
#include "fused/math.h"
#include "fused/operating_point.h"
#include "fused/transverse.h"
#include "fused/turbulence.h"
#include "fused/velocity_deficit.h"

#include <cstdint>
#include <vector>

namespace sorbane::fused {

// One wake-casting turbine in one flow case, at its operating point, with the
// constants each kernel forms per source.
struct Source {
    int64_t i = 0;
    real_t x = 0, y = 0, rd = 0, hh = 0, ct = 0, a = 0;
    // From the steered yaw and the turbulence before recovery.
    DeflectionSource deflection{};
    // From the raw yaw and the turbulence after recovery.
    DeficitSource deficit{};

    Source(const Inputs& in, const CaseData& cd, int64_t i, OperatingPoint op)
        : i(i), x(cd.xbar[i]), y(cd.ybar[i]), rd(cd.rotor_diameter(i)), hh(cd.hub_height(i)),
          ct(op.ct), a(op.a) {}

    // False when a constant is not finite.
    bool set_deflection(const Inputs& in, real_t yaw_eff, real_t ti) {
        deflection = deflection_source(in, x, ct, yaw_eff, ti, rd);
        return deflection.finite();
    }
    bool set_deficit(const Inputs& in, real_t yaw, real_t ti) {
        deficit = deficit_source(in, x, ct, yaw, ti, rd);
        return deficit.finite();
    }

    // Whether the added-turbulence correlation stays finite at every receiver,
    // so that pairs left out contribute exactly zero (turbulence.cpp).
    bool turbulence_bounded(const Inputs& in, const CaseData& cd);
    // Turbulence added at receiver r, whose rotor has cnt points with a
    // deficit above 0.05.
    real_t added_turbulence(const Inputs& in, const CaseData& cd, int64_t r, real_t cnt) {
        return added_turbulence_at(in, cd, x, y, rd, ch_g(in, cd), r, cnt).c;
    }

private:
    real_t ch_g(const Inputs& in, const CaseData& cd) {
        if (!ch_g_known) {
            ch_g_value = added_turbulence_source(in, cd, a).g;
            ch_g_known = true;
        }
        return ch_g_value;
    }
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

// The lateral offset of the wake centre of `src` at receivers [lo, hi), into defl.
void deflection_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                      int64_t hi, real_t* defl);

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
int64_t deficit_points(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                       int64_t hi, Work& w, real_t* combined, real_t* combined_min, bool root_sum,
                       std::vector<real_t>* before = nullptr);

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
