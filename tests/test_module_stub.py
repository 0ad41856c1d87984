"""The type stub names exactly what the compiled module binds."""
import ast
from pathlib import Path

from fixtures import sc

STUB = Path(__file__).parents[1] / "src" / "bindings" / "sorbane_cpp.pyi"


def public(names):
    return {n for n in names if not n.startswith("_")}


def stub_tree():
    tree = ast.parse(STUB.read_text())
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {}
    for n in tree.body:
        if isinstance(n, ast.ClassDef):
            members = {m.name for m in n.body if isinstance(m, ast.FunctionDef)}
            members |= {m.target.id for m in n.body if isinstance(m, ast.AnnAssign)}
            bases = [b.id for b in n.bases]
            classes[n.name] = (public(members), bases)
    return functions, classes


def test_stub_lists_the_module_api():
    functions, classes = stub_tree()
    module_names = public(dir(sc))
    assert functions | set(classes) == module_names
    for name, (members, bases) in classes.items():
        cls = getattr(sc, name)
        inherited = set().union(*(public(dir(getattr(sc, b))) for b in bases)) if bases else set()
        assert members | inherited == public(dir(cls)), name
        assert [b.__name__ for b in cls.__bases__ if b is not object and
                b.__module__ == "sorbane_cpp"] == bases


def test_stub_read_only_properties_match():
    tree = ast.parse(STUB.read_text())
    for n in tree.body:
        if not isinstance(n, ast.ClassDef) or n.name.endswith("Solver") or n.name == "CppSolverBase":
            continue
        record = getattr(sc, n.name)()
        for m in n.body:
            if isinstance(m, ast.FunctionDef) and any(
                    isinstance(d, ast.Name) and d.id == "property" for d in m.decorator_list):
                prop = getattr(type(record), m.name)
                assert prop.fset is None, f"{n.name}.{m.name} is writable"
            elif isinstance(m, ast.AnnAssign):
                assert getattr(type(record), m.target.id).fset is not None, \
                    f"{n.name}.{m.target.id} is read-only"
