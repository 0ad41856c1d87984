#include "fused.h"

#include <ATen/ATen.h>

namespace sorbane {

bool try_fused_sequential(Farm&, FlowField&, TurbineGrid&, const ModelConfig&) { return false; }
bool try_fused_jacobi(Farm&, FlowField&, TurbineGrid&, const ModelConfig&) { return false; }

}  // namespace sorbane
