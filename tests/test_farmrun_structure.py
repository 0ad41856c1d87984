"""farmrun's layout by job: no module imports a private name of another, no import cycle
(imports inside functions included), no module over 450 lines, the public API of
``farmrun`` as it was; and no test module imports another."""
import ast
import pathlib

from fixtures import ROOT

PACKAGE = ROOT / "python" / "farmrun"
MAX_LINES = 450


def module_name(path: pathlib.Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports_of(path: pathlib.Path):
    """The modules a file outside the package imports, anywhere in it."""
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            yield from ((a.name, None) for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            yield node.module, None


def imports(path: pathlib.Path):
    """(module imported, names imported from it) for every import anywhere in the file."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            for a in node.names:
                yield a.name, []
        elif isinstance(node, ast.ImportFrom):
            base = package.split(".")
            if node.level:
                base = base[:len(base) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module
            yield target, [a.name for a in node.names]


def graph():
    modules = {module_name(p): p for p in PACKAGE.rglob("*.py")}
    edges, private = {}, []
    for name, path in modules.items():
        edges[name] = set()
        for target, names in imports(path):
            if not target.startswith("farmrun"):
                continue
            for n in names or [None]:
                # "from .io import atomic" imports the module farmrun.io.atomic.
                sub = f"{target}.{n}" if n and f"{target}.{n}" in modules else None
                dest = sub or target
                if dest != name:
                    edges[name].add(dest)
                if n and not sub and n.startswith("_"):
                    private.append(f"{name} imports {n} from {target}")
    return modules, edges, private


def cycles(edges):
    """Every elementary cycle found by a depth-first search, as lists of modules."""
    found, state, stack = [], {}, []

    def visit(m):
        state[m] = "open"
        stack.append(m)
        for n in sorted(edges.get(m, ())):
            if state.get(n) == "open":
                found.append(stack[stack.index(n):] + [n])
            elif n not in state:
                visit(n)
        stack.pop()
        state[m] = "done"
    for m in sorted(edges):
        if m not in state:
            visit(m)
    return found


def test_no_private_imports_and_no_cycles():
    _, edges, private = graph()
    assert private == []
    assert cycles(edges) == []


def test_no_test_module_imports_another():
    found = [f"{path.name} imports {target}" for path in sorted(ROOT.glob("tests/test_*.py"))
             for target, _ in imports_of(path) if target and target.startswith("test_")]
    assert found == []


def test_no_module_over_the_line_limit():
    long = {module_name(p): n for p in PACKAGE.rglob("*.py")
            if (n := len(p.read_text().splitlines())) > MAX_LINES}
    assert long == {}


def test_the_public_api_is_unchanged():
    import farmrun
    assert sorted(farmrun.__all__) == sorted([
        "DEFAULT_MEMORY_LIMIT", "HOURS_PER_YEAR", "AnnualEnergy", "FarmDescription", "FarmError",
        "FarmResult", "FlowCases", "ModelOptions", "TurbineType", "WindRose", "annual_energy",
        "example_farm", "example_wind_rose", "farm_from_dict", "iea_3p4_130", "load_farm_file",
        "plan_batches", "run", "weibull_rose", "WindIOSystem", "apply_power_curves",
        "energy_tables", "load_windio", "result_dataset", "weibull_bin_probabilities",
        "write_netcdf"])
    for name in farmrun.__all__:
        assert getattr(farmrun, name) is not None
    from farmrun.__main__ import main  # the console script's entry point
    assert callable(main) and callable(farmrun.run)
    # As the README writes them.
    assert callable(farmrun.yaw.optimize_yaw) and callable(farmrun.layout.optimize_layout)


if __name__ == "__main__":  # the report: python tests/test_farmrun_structure.py
    modules, edges, private = graph()
    print(f"{len(modules)} modules, {sum(map(len, edges.values()))} import edges")
    print("private names imported across modules:", private or "none")
    print("import cycles:", cycles(edges) or "none")
    lines = {module_name(p): len(p.read_text().splitlines()) for p in PACKAGE.rglob("*.py")}
    top = max(lines, key=lines.get)
    print(f"longest module: {top}, {lines[top]} lines (limit {MAX_LINES})")
