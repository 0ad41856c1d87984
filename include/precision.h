#pragma once
// Working precision of every physical tensor: float32 by default, float64 when
// built with -DQUELVAR_USE_DOUBLE=ON. Index tensors are always int64.
#include <c10/core/ScalarType.h>

#include <cmath>

namespace sorbane {

#ifdef QUELVAR_USE_DOUBLE
using real_t = double;
inline constexpr bool kUsingDouble = true;
#else
using real_t = float;
inline constexpr bool kUsingDouble = false;
#endif

inline constexpr c10::ScalarType kWorkingDtype = c10::CppTypeToScalarType<real_t>::value;

// Scalar parameters of the Gauss and vortex kernels are narrowed to the working
// precision before they meet a tensor, so both builds see the same rounding of
// the configuration's 32-bit values.
inline double narrow(double v) { return static_cast<double>(static_cast<real_t>(v)); }

// A literal constant of the model, applied at its single-precision value in
// both builds (0.9999 -> 0.9998999834060669).
constexpr double f32(float v) { return static_cast<double>(v); }

// Degrees to radians as every formula of the model applies it: the
// single-precision value of pi / 180 (0.01745329238474369), in both builds.
inline constexpr float kDegToRadF = 0.017453292519943295f;
inline constexpr double kDegToRad = static_cast<double>(kDegToRadF);

// Cosine of a thrust table's reference tilt (degrees), the shaft tilt at
// which its thrust coefficients hold; formed in single precision like the tables.
inline double reference_tilt_cosine(float ref_tilt) {
    return static_cast<double>(std::cos(kDegToRadF * ref_tilt));
}

}  // namespace sorbane
