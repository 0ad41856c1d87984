#pragma once
// Fused CPU path of the two solvers. Each returns false, having touched
// nothing, when the inputs do not qualify (a tensor is off the CPU, a value is
// not finite, any shape, dtype or count is not the one the raw loops rely on,
// or a gradient is recorded that the fused reverse pass does not cover); the
// caller then runs its op-by-op path, which also raises every error. With a
// recorded gradient the results carry the sequential reverse pass: the
// sequential solve always, the Jacobi solve once its sweeps have settled.
#include "records.h"

namespace sorbane {

bool try_fused_sequential(Farm& farm, FlowField& ff, TurbineGrid& grid, const ModelConfig& cfg);
bool try_fused_jacobi(Farm& farm, FlowField& ff, TurbineGrid& grid, const ModelConfig& cfg);

}  // namespace sorbane
