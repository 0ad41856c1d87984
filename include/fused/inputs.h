#pragma once
// What a fused solve reads and writes. One flow case is worked at a time: its
// rotor points are copied point by point (index p * S + r for point p of
// receiver r), so that the loops over receivers are contiguous and vectorise.
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
#include "fused/math.h"
#include "precision.h"
#include "records.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace sorbane::fused {

// Per-receiver arrays carry this many spare entries, so that the vector loops
// over receivers run whole vectors and need no scalar remainder.
inline constexpr int64_t kPad = 16;
inline int64_t padded(int64_t n) { return (n + kPad - 1) / kPad * kPad; }

// A turbine type's thrust curve and the constants its kernels take.
struct ThrustTable {
    at::Tensor ws, ct;  // (n)
    int64_t n = 0;
    real_t cos_ref = 1;  // cosine of the table's reference tilt
    real_t tsr = 0;      // tip-speed ratio, as the transverse kernel sees it
    float tsr_f = 0;     // and as the added-yaw kernel sees it
};

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
    // Per turbine in sorted order: (T), or (F, T) when the farm sorts its
    // turbines per case (per_case). types: int64 indices into `tables`,
    // undefined when every turbine runs on the first.
    at::Tensor rd, hh, types;
    bool per_case = false;
    std::vector<ThrustTable> tables;
    double shear = 0;          // wind shear narrowed to the working precision
    float shear_f = 0;

    // Gauss kernels: narrowed scalars, 4 alpha and 2 beta pre-formed.
    real_t alpha4 = 0, beta2 = 0, ka = 0, kb = 0, sigmoid_k = 0, ad = 0, bd = 0, skew = 0;
    // Crespo-Hernandez: the exponents stay double, the constant meets a tensor.
    double ch_initial = 0, ch_ai_exp = 0, ch_downstream = 0;
    real_t ch_constant = 0;
    // Per turbine, laid out like rd: the largest distance factor
    // (x / D)^downstream the correlation can take, to prove that no masked
    // pair overflows.
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

    // The constants of the turbine at sorted position i in this case.
    real_t rotor_diameter(int64_t i) const { return rd[i]; }
    real_t hub_height(int64_t i) const { return hh[i]; }
    int64_t type(int64_t i) const { return types ? types[i] : 0; }
    const ThrustTable& table(int64_t i) const { return (*tables)[type(i)]; }
    double ch_r_max(int64_t i) const { return ch_r[i]; }

private:
    const real_t* rd = nullptr;
    const real_t* hh = nullptr;
    const int64_t* types = nullptr;
    const std::vector<ThrustTable>* tables = nullptr;
    const double* ch_r = nullptr;
};

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

// A point-major field (point p of rotor r at p * S + r) in the (T, N, N)
// layout of the results.
void rotor_major(const real_t* from, int64_t S, int64_t T, int64_t NN, real_t* to);

// Whether all n values are finite.
bool all_finite(const real_t* v, int64_t n);

}  // namespace sorbane::fused
