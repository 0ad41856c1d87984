#pragma once
// Fused CPU path of the two solvers for solves that record no gradient. Each
// returns false, having touched nothing, when the inputs do not qualify (a
// gradient is recorded, a tensor is off the CPU, a value is not finite, or any
// shape, dtype or count is not the one the raw loops rely on); the caller then
// runs its op-by-op path, which also raises every error.
#include "records.h"

namespace sorbane {

bool try_fused_sequential(Farm& farm, FlowField& ff, TurbineGrid& grid, const ModelConfig& cfg);
bool try_fused_jacobi(Farm& farm, FlowField& ff, TurbineGrid& grid, const ModelConfig& cfg);

}  // namespace sorbane
