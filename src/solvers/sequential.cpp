#include "solvers.h"

#include <ATen/ATen.h>

namespace sorbane {

void SequentialSolver::solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) {
    // Filled in by the sequential solver's own change.
}

static const SolverRegistration _registered_SequentialSolver{
    "sequential", [] { return std::make_shared<SequentialSolver>(); }};

}  // namespace sorbane
