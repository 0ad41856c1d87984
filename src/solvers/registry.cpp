#include "solvers.h"

#include <atomic>

#include <stdexcept>

namespace sorbane {

std::unordered_map<std::string, SolverFactory>& solver_registry() {
    static std::unordered_map<std::string, SolverFactory> registry;
    return registry;
}

SolverRegistration::SolverRegistration(const std::string& key, SolverFactory factory) {
    solver_registry()[key] = std::move(factory);
}

std::vector<std::string> solver_keys() {
    std::vector<std::string> keys;
    for (const auto& entry : solver_registry()) keys.push_back(entry.first);
    return keys;
}

std::shared_ptr<CppSolverBase> make_solver(const std::string& key) {
    const auto& registry = solver_registry();
    auto it = registry.find(key);
    if (it == registry.end()) {
        std::string listed;
        for (const auto& entry : registry) listed += " '" + entry.first + "'";
        if (listed.empty()) listed = " (none yet)";
        throw std::out_of_range("Unknown cpp_solver_paradigm '" + key + "'. Registered solvers:" + listed);
    }
    return it->second();
}

namespace {
thread_local const char* latest_path = "";
std::atomic<bool> fused_backward{true};
}  // namespace

bool fused_backward_enabled() { return fused_backward.load(); }
bool set_fused_backward(bool enabled) { return fused_backward.exchange(enabled); }

const char* last_solve_path() { return latest_path; }
void set_last_solve_path(const char* path) { latest_path = path; }

}  // namespace sorbane
