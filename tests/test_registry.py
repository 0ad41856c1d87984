"""Solver registry and the solver classes' Python surface."""
import pytest

from fixtures import sc


def test_registry_keys_and_instances():
    assert sorted(sc.available_solvers()) == ["jacobi", "sequential"]
    for key, cls in (("sequential", sc.SequentialSolver), ("jacobi", sc.JacobiSolver)):
        a, b = sc.get_solver(key), sc.get_solver(key)
        assert type(a) is cls and isinstance(a, sc.CppSolverBase)
        assert a is not b and a.name() == key
        assert a.on_grid_update(sc.TurbineGrid(), sc.ModelConfig()) is None
    assert sc.get_solver(b"jacobi").name() == "jacobi"
    assert sc.get_solver(bytearray(b"sequential")).name() == "sequential"


@pytest.mark.parametrize("key", ["", "Sequential", "foo"])
def test_unknown_key_lists_the_registered_ones(key):
    with pytest.raises(IndexError) as err:
        sc.get_solver(key)
    text = str(err.value)
    prefix = f"Unknown cpp_solver_paradigm '{key}'. Registered solvers:"
    assert text.startswith(prefix)
    assert sorted(text[len(prefix):].split(" ")[1:]) == ["'jacobi'", "'sequential'"]
    assert text[len(prefix)] == " "


def test_solver_classes():
    with pytest.raises(TypeError, match=": No constructor defined!$"):
        sc.CppSolverBase()
    assert isinstance(sc.SequentialSolver(), sc.CppSolverBase)
    assert isinstance(sc.JacobiSolver(), sc.CppSolverBase)
    assert sc.CppSolverBase.solve.__doc__.strip().endswith(
        "Run the full wake computation, writing results to ff.u_sorted.")
    assert "Return the solver's registry key string (e.g. 'sequential')." in sc.CppSolverBase.name.__doc__
    assert "Notify solver of a grid geometry change." in sc.CppSolverBase.on_grid_update.__doc__
    assert "Raises ``KeyError`` for unknown keys" in sc.get_solver.__doc__
    assert "Keys in arbitrary order, e.g. ``[\"sequential\", \"jacobi\"]``." in sc.available_solvers.__doc__


def test_solve_rejects_arguments_in_the_wrong_order():
    solver = sc.get_solver("sequential")
    with pytest.raises(TypeError):
        solver.solve(sc.TurbineGrid(), sc.FlowField(), sc.Farm(), sc.ModelConfig())
    with pytest.raises(TypeError):
        solver.solve(None, sc.FlowField(), sc.TurbineGrid(), sc.ModelConfig())


def test_cpp_unit_tests():
    """The GoogleTest binary built beside the module (an empty registry is only reachable there)."""
    import os
    import subprocess
    binary = os.path.join(os.path.dirname(sc.__file__), "registry_test")
    if not os.path.exists(binary):
        pytest.skip("GoogleTest not installed; C++ unit tests not built")
    out = subprocess.run([binary], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr
