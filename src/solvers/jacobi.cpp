#include "solvers.h"

#include <ATen/ATen.h>

namespace sorbane {

void JacobiSolver::solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) {
    // Filled in by the Jacobi solver's own change.
}

static const SolverRegistration _registered_JacobiSolver{
    "jacobi", [] { return std::make_shared<JacobiSolver>(); }};

}  // namespace sorbane
