#pragma once
// Internals of the fused CPU solvers. One flow case is worked at a time: its
// rotor points are copied point by point (index p * S + r for point p of
// receiver r), so that the loops over receivers are contiguous and vectorise.
// Every formula repeats the operations of the kernel it replaces, in the same
// order and at the working precision, so that fused and op-by-op results
// differ only by the last-place rounding of exp, log and pow and the order of
// the nine-term rotor sums.
//
// What goes the op-by-op way instead: a recorded gradient (recording on and an
// input that requires one), a tensor off the CPU, not strided, of another
// dtype than the working one (the ambient turbulence may be any real dtype,
// it is converted) or of a shape that does not fit F, T and N; an empty grid;
// no turbine table or one shorter than 2 entries; a value that is not finite
// or beyond 1e8 in magnitude (inputs and model coefficients alike); a rotor
// diameter below 1e-3; rotor points of one rotor at different x; a case whose
// mean freestream speed is 0 with transverse velocities on; a Jacobi solve of
// no sweeps. Once a case has started, a source whose constants or whose
// added-turbulence correlation could overflow, or a result that is not
// finite, abandons the fused solve before anything is written.
#include "precision.h"
#include "records.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace sorbane::fused {

using R = real_t;

// A double literal of the solvers or of crespo_hernandez_ti, as it meets a
// tensor of the working dtype.
constexpr R lit(double v) { return static_cast<R>(v); }

// clamp_min with the tensor library's NaN propagation. Always inlined: the hot
// loops are cloned per instruction set, and their helpers must inline into
// each clone or the loops do not vectorise.
inline __attribute__((always_inline)) R clamp_min(R x, R m) { return x < m ? m : x; }

// Per-receiver arrays carry this many spare entries, so that the vector loops
// over receivers run whole vectors and need no scalar remainder.
inline constexpr int64_t kPad = 16;
inline int64_t padded(int64_t n) { return (n + kPad - 1) / kPad * kPad; }

// Everything a solve reads, checked and made contiguous, with the model
// coefficients as the kernels apply them.
struct Inputs {
    int64_t F = 0, T = 0, N = 0, NN = 0;
    bool steering = false, transverse = false, recovery = false;

    // (F, T, N, N)
    at::Tensor x, y, z, u0, v_in, w_in;
    // (F, T)
    at::Tensor yaw, tilt, xbar, ybar, u0bar;
    // (F)
    at::Tensor ti_amb, u_inf;
    // (>= T) and the thrust table (n)
    at::Tensor rd, hh, table_ws, table_ct;
    int64_t n_table = 0;

    real_t cos_ref = 1;        // cosine of the table's reference tilt
    real_t tsr = 0;            // tip-speed ratio, as the transverse kernel sees it
    float tsr_f = 0;           // and as the added-yaw kernel sees it
    double shear = 0;          // wind shear narrowed to the working precision
    float shear_f = 0;

    // Gauss kernels: narrowed scalars, 4 alpha and 2 beta pre-formed.
    real_t alpha4 = 0, beta2 = 0, ka = 0, kb = 0, sigmoid_k = 0, ad = 0, bd = 0, skew = 0;
    // Crespo-Hernandez: the exponents stay double, the constant meets a tensor.
    double ch_initial = 0, ch_ai_exp = 0, ch_downstream = 0;
    real_t ch_constant = 0;
    // Per turbine: the largest distance factor (x / D)^downstream the
    // correlation can take, to prove that no masked pair overflows.
    std::vector<double> ch_r_max;
};

// Checks that a solve qualifies and fills `in`; false when it does not (the
// caller then goes the op-by-op way). Reads only; writes nothing but `in`.
bool gather_inputs(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                   const ModelConfig& cfg, Inputs& in);

// One flow case: rotor points point-major, per-turbine centres and angles.
// Point-major arrays have rows of S = T + kPad entries (point p of receiver r
// at p * S + r); the spare entries of a row take the lanes past the last
// receiver.
struct CaseData {
    int64_t f = 0, T = 0, NN = 0, S = 0;
    std::vector<real_t> Y, Z, U0;  // p * S + r
    std::vector<real_t> X;         // x of each rotor's points (one value per rotor), padded
    // Per rotor: the extent of its points and its largest freestream speed,
    // which bound a wake's deficit anywhere on it.
    std::vector<real_t> y_lo, y_hi, z_lo, z_hi, u0_hi;
    // Rotor-mean x and y as the solvers form them, padded.
    std::vector<real_t> xbar_p, ybar_p;
    const real_t* xbar = nullptr;
    const real_t* ybar = nullptr;
    const real_t* yaw = nullptr;
    const real_t* tilt = nullptr;
    const real_t* u0bar = nullptr;
    const real_t* v_in = nullptr;  // (T, N, N) of this case, recovery only
    const real_t* w_in = nullptr;
    real_t amb = 0, amb_sq = 0, u_inf = 0;
    real_t ch_t0 = 0;     // ambient term of the added-turbulence correlation
    double ch_g_max = 0;  // bound of a^ai_exp * constant * ambient term for a <= 1

    // False when a value is not finite or too large to rule out overflow in a
    // skipped pair, or a rotor's points do not share one x.
    bool load(const Inputs& in, int64_t f);
};

struct OperatingPoint {
    real_t ct, a;
};

// Thrust and induction from the rotor's cube-mean speed, yaw and tilt.
OperatingPoint operating_point(const Inputs& in, real_t u_avg, real_t yaw, real_t tilt);

// Cube-mean speed as the solvers form it (no floor, double exponent) and as
// the kernels do (floored, single-precision exponent). u: NN values at stride.
// Interval j of the thrust table that brackets u_avg, as interp1d finds it.
int64_t table_interval(const Inputs& in, real_t u_avg);
real_t cube_mean(const real_t* u, int64_t stride, int64_t NN);
real_t solver_rotor_speed(const real_t* u, int64_t stride, int64_t NN);
real_t kernel_rotor_speed(const real_t* u, int64_t stride, int64_t NN);

// Mean of NN values at stride.
real_t rotor_mean(const real_t* v, int64_t stride, int64_t NN);

// Extra yaw (degrees) of turbine i from the spanwise flow v (stride S) across
// its rotor; u: its rotor velocities (NN contiguous).
real_t added_yaw(const Inputs& in, const CaseData& cd, int64_t i, const real_t* u,
                 const real_t* v, real_t ct, real_t a);

// Turbulence added by mixing of the transverse flow at turbine i. u: NN
// contiguous; V, W: the accumulated transverse velocities (stride S).
real_t mixing(const Inputs& in, const CaseData& cd, int64_t i, const real_t* u, real_t ti,
              const real_t* V, const real_t* W);

// One wake-casting turbine in one flow case.
struct Source {
    int64_t i = 0;
    real_t x = 0, y = 0, rd = 0, hh = 0, ct = 0, a = 0;

    // Deflection, from the steered yaw and the turbulence before recovery.
    real_t d_x0 = 0, d_k = 0, d_sy0 = 0, d_sz0 = 0, d_sM = 0, d_P0 = 0, d_phi = 0;
    real_t d_L1 = 0, d_delta0 = 0;
    // Velocity deficit, from the raw yaw and the turbulence after recovery.
    real_t x0 = 0, x0_len = 0, k = 0, sy0 = 0, sz0 = 0, snw = 0, ct_c = 0, DD = 0, sigmoid_k = 0;

    // False when a constant is not finite.
    bool set_deflection(const Inputs& in, real_t yaw_eff, real_t ti);
    bool set_deficit(const Inputs& in, real_t yaw, real_t ti);

    // Whether the added-turbulence correlation stays finite at every receiver,
    // so that pairs left out contribute exactly zero.
    bool turbulence_bounded(const Inputs& in, const CaseData& cd);
    // Turbulence added at receiver r, whose rotor has cnt points with a
    // deficit above 0.05 (crespo_hernandez_ti times overlap and region masks).
    real_t added_turbulence(const Inputs& in, const CaseData& cd, int64_t r, real_t cnt);

private:
    real_t ch_g(const Inputs& in, const CaseData& cd);  // induction x constant x ambient term
    bool g_ready = false;
    real_t g = 0;
};

// Working arrays of one thread, reused across cases.
struct Work {
    // per receiver
    std::vector<real_t> yc, sy, sz, sy2, sz2, g1, mask, dxt;
    // candidates and then the receivers a wake changes, packed: k-th is idx[k]
    std::vector<int32_t> idx;
    std::vector<real_t> k_X, k_sy, k_sz, k_g1, k_amp, k_gate, k_bound;
    std::vector<real_t> k_yc, k_sy2, k_sz2, k_mask, k_cnt, k_amin;
    std::vector<real_t> k_Y, k_Z, k_U0, k_acc;  // p * K + k
    std::vector<real_t> u_i;                    // per rotor point
    void reserve(int64_t T, int64_t NN);
};

// Receivers [lo, hi) that the wake of `src` reaches by the downstream mask
// (rotor-mean x more than 0.1 beyond the source's); fills w.mask over all T.
// Returns false when there is none.
bool deficit_span(const CaseData& cd, const Source& src, Work& w, int64_t& lo, int64_t& hi);

// Deflection and the per-receiver part of the deficit over [lo, hi).
void deficit_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                   int64_t hi, Work& w);

// Velocity deficit D at every point of [lo, hi), combined into acc (p * S + r).
// root_sum (one wake at a time): acc = sqrt(max(acc^2 + D^2, 1e-20)), and
// amin[r] is the smallest acc on rotor r; otherwise acc += D^2 (a sweep's sum)
// and amin is unused. Receivers where D provably leaves acc unchanged (masked
// out, or a deficit below the last place of acc; in a sum, one whose square
// is zero) are skipped. Returns K: w.idx[0, K) are the receivers worked, and
// w.k_cnt[k] counts the points of idx[k] with D > 0.05 (all others have none).
// acc_before, when given, takes the combined deficit of the receivers worked
// before the wake, NN values (p = 0 .. NN - 1) per receiver in the order of w.idx.
int64_t deficit_points(const CaseData& cd, const Source& src, int64_t lo, int64_t hi, Work& w,
                       real_t* acc, real_t* amin, bool root_sum,
                       std::vector<real_t>* acc_before = nullptr);

// Transverse velocities of the source's vortices at every point of every
// receiver not upstream of it, added to V and W (p * S + r). yaw: the raw yaw;
// u: the source's rotor velocities (NN contiguous). [lo, hi): the receivers
// written (empty when none).
void transverse(const Inputs& in, const CaseData& cd, const Source& src, real_t yaw,
                const real_t* u, real_t* V, real_t* W, Work& w, int64_t& lo, int64_t& hi);

// Runs body(begin, end) over [0, F) in contiguous ranges on the tensor
// library's intra-op threads (one range per thread).
void parallel_cases(int64_t F, const std::function<void(int64_t, int64_t)>& body);

// The result fields in the layout the op-by-op solvers give them, allocated
// before the cases run and published only once every case has succeeded.
struct Outputs {
    at::Tensor u, ti, v, w;  // (F, T, N, N); v and w only with transverse velocities
    explicit Outputs(const Inputs& in);
    void publish(FlowField& ff) const;
};

// Whether all n values are finite.
bool all_finite(const real_t* v, int64_t n);

}  // namespace sorbane::fused
