#pragma once
// Scalar math of the fused CPU loops: the working type, the tensor library's
// clamps with its NaN propagation, vectorisable exp and log for the float
// build, the element-wise power, and the constants the kernels apply.
#include "precision.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// Hot loops get an AVX2 clone beside the baseline one, chosen when the module
// loads. AVX2 alone does not enable FMA, so products and sums keep the
// separate roundings of the tensor operations.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(__clang_analyzer__)
#define SORBANE_HOT __attribute__((target_clones("avx2", "default")))
#else
#define SORBANE_HOT
#endif
// The loop bodies' helpers must inline into each clone, or the loops do not vectorise.
#define SORBANE_INLINE inline __attribute__((always_inline))

namespace sorbane::fused {

using R = real_t;

// A double literal of the solvers or of crespo_hernandez_ti, as it meets a
// tensor of the working dtype.
constexpr R lit(double v) { return static_cast<R>(v); }

// A single-precision constant of the kernels at the working dtype.
constexpr R f32c(float v) { return static_cast<R>(v); }

constexpr float kPiF = 3.14159265358979323846f;

// clamp_min and clamp_max with the tensor library's NaN propagation.
SORBANE_INLINE R clamp_min(R x, R m) { return x < m ? m : x; }
SORBANE_INLINE R clamp_max(R x, R m) { return x > m ? m : x; }
SORBANE_INLINE R clamp(R x, R lo, R hi) { return clamp_max(clamp_min(x, lo), hi); }

SORBANE_INLINE float as_float(int32_t i) {
    float f;
    std::memcpy(&f, &i, sizeof f);
    return f;
}
SORBANE_INLINE int32_t as_int(float f) {
    int32_t i;
    std::memcpy(&i, &f, sizeof i);
    return i;
}

// exp and log in a form the compiler vectorises (branch-free, no errno), for
// the float build: Cody-Waite reduction and the Cephes polynomials, correctly
// rounded for about 90 % (exp) and 98 % (log) of arguments and never off by
// more than one unit in the last place. The scale 2^n goes in two halves, so
// results below the smallest normal number come out subnormal or zero and
// large arguments overflow to infinity. The double build uses the library.
SORBANE_INLINE float exp_v(float x) {
    // NaN takes the integer path as 0 (its conversion would be undefined) and
    // comes out as NaN.
    const bool nan = x != x;
    float xc = nan ? 0.0f : x;
    xc = xc < -104.0f ? -104.0f : xc;
    xc = xc > 89.0f ? 89.0f : xc;
    float fn = xc * 1.44269504088896341f;
    fn = (fn + 12582912.0f) - 12582912.0f;  // nearest integer
    float r = xc - fn * 0.693359375f;
    r = r - fn * -2.12194440e-4f;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = (p * (r * r) + r) + 1.0f;
    const int32_t n = static_cast<int32_t>(fn);
    const int32_t n1 = n >> 1;
    const int32_t n2 = n - n1;
    const float y = (p * as_float((n1 + 127) << 23)) * as_float((n2 + 127) << 23);
    return nan ? x : y;
}
SORBANE_INLINE double exp_v(double x) { return std::exp(x); }

// x > 0; a subnormal argument is scaled into the normal range first.
SORBANE_INLINE float log_v(float x) {
    const bool sub = x < 1.17549435e-38f;
    const float xs = sub ? x * 8388608.0f : x;
    const int32_t ix = as_int(xs);
    int32_t e = (ix >> 23) - 126 - (sub ? 23 : 0);
    float m = as_float((ix & 0x007fffff) | 0x3f000000);  // [0.5, 1)
    const bool small = m < 0.707106781186547524f;
    e = small ? e - 1 : e;
    m = small ? (m + m) - 1.0f : m - 1.0f;
    const float z = m * m;
    float y = 7.0376836292e-2f;
    y = y * m - 1.1514610310e-1f;
    y = y * m + 1.1676998740e-1f;
    y = y * m - 1.2420140846e-1f;
    y = y * m + 1.4249322787e-1f;
    y = y * m - 1.6668057665e-1f;
    y = y * m + 2.0000714765e-1f;
    y = y * m - 2.4999993993e-1f;
    y = y * m + 3.3333331174e-1f;
    y = (y * m) * z;
    const float fe = static_cast<float>(e);
    y = y + fe * -2.12194440e-4f;
    y = y - 0.5f * z;
    const float res = (m + y) + fe * 0.693359375f;
    // +inf and NaN pass through.
    return (xs == std::numeric_limits<float>::infinity() || x != x) ? x : res;
}
SORBANE_INLINE double log_v(double x) { return std::log(x); }

// pow(tensor, scalar) as the tensor library evaluates it element by element:
// its special exponents, otherwise a double-precision power.
inline R pow_scalar(R b, double e) {
    if (e == 0.0) return R(1);
    if (e == 1.0) return b;
    if (e == 0.5) return std::sqrt(b);
    if (e == -0.5) return R(1) / std::sqrt(b);
    if (e == -1.0) return R(1) / b;
    if (e == 2.0) return b * b;
    if (e == 3.0) return b * b * b;
    if (e == -2.0) return static_cast<R>(1.0 / static_cast<double>(b * b));
    return static_cast<R>(std::pow(static_cast<double>(b), e));
}

// Gradients of the tensor library's formulas where its one-sided choices matter.
// torch's pow(x, e) gradient for a scalar exponent: e x^(e - 1), none for e = 0.
SORBANE_INLINE R pow_slope(R x, double e) {
    if (e == 0.0) return R(0);
    return static_cast<R>(e) * pow_scalar(x, e - 1.0);
}

// d sqrt(max(x, floor)) for the gradient g of the root s.
SORBANE_INLINE R sqrt_floor_grad(R g, R x, R floor, R s) { return x >= floor ? g / (s * R(2)) : R(0); }

}  // namespace sorbane::fused
