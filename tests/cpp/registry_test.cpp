// Linked without any solver source, so the registry is empty: the message for
// an unknown key then says so.
#include "solvers.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(SolverRegistry, UnknownKeyWithNothingRegistered) {
    try {
        sorbane::make_solver("sequential");
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Unknown cpp_solver_paradigm 'sequential'. Registered solvers: (none yet)");
    }
    EXPECT_TRUE(sorbane::solver_keys().empty());
}

TEST(SolverRegistry, RegisteringAKeyAgainReplacesItsFactory) {
    struct Dummy : sorbane::CppSolverBase {
        explicit Dummy(std::string n) : n_(std::move(n)) {}
        void solve(sorbane::Farm&, sorbane::FlowField&, sorbane::TurbineGrid&, sorbane::ModelConfig&) override {}
        std::string name() const override { return n_; }
        std::string n_;
    };
    sorbane::SolverRegistration first{"x", [] { return std::make_shared<Dummy>("first"); }};
    sorbane::SolverRegistration second{"x", [] { return std::make_shared<Dummy>("second"); }};
    EXPECT_EQ(sorbane::make_solver("x")->name(), "second");
    EXPECT_NE(sorbane::make_solver("x"), sorbane::make_solver("x"));
    EXPECT_EQ(sorbane::solver_keys().size(), 1u);
    sorbane::solver_registry().clear();
}
