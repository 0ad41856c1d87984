#pragma once
// The solver interface, its registry of factories keyed by string, and the two
// registered solvers.
#include "records.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sorbane {

class CppSolverBase {
public:
    virtual ~CppSolverBase() = default;
    // Runs the whole wake computation; writes ff.u_sorted and the other result fields.
    virtual void solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) = 0;
    // Told when the grid geometry changed; neither registered solver caches anything.
    virtual void on_grid_update(TurbineGrid& grid, ModelConfig& cfg) {}
    virtual std::string name() const = 0;
};

using SolverFactory = std::function<std::shared_ptr<CppSolverBase>()>;

// Function-local static, so registration objects in other translation units
// can use it during static initialisation.
std::unordered_map<std::string, SolverFactory>& solver_registry();

// A new instance per call; std::out_of_range listing the keys for an unknown key.
std::shared_ptr<CppSolverBase> make_solver(const std::string& key);

// The registered keys, in the registry's iteration order.
std::vector<std::string> solver_keys();

// A static object of this type in a solver's source file registers its factory.
struct SolverRegistration {
    SolverRegistration(const std::string& key, SolverFactory factory);
};

// Which path the latest solve on this thread took, "fused" or "op_by_op"
// ("" before the first): lets tests tell the paths apart without changing results.
const char* last_solve_path();
void set_last_solve_path(const char* path);

// Whether a sequential solve that records a gradient may take the fused path
// with its hand-written backward (on by default); off, it goes op by op.
// set_fused_backward returns the previous setting.
bool fused_backward_enabled();
bool set_fused_backward(bool enabled);

class SequentialSolver : public CppSolverBase {
public:
    void solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) override;
    std::string name() const override { return "sequential"; }
};

class JacobiSolver : public CppSolverBase {
public:
    void solve(Farm& farm, FlowField& ff, TurbineGrid& grid, ModelConfig& cfg) override;
    std::string name() const override { return "jacobi"; }
};

}  // namespace sorbane
