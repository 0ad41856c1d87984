"""Module entry: documentation, module functions, import check and the binding rules."""
import glob
import os
import shutil
import subprocess
import sys

import pytest
import torch

from fixtures import sc

EXPECTED_DOC = (
    "\nsorbane_cpp \u2014 C++ libtorch solver backend for SORBANE.\n\n"
    "Phase 1 (build scaffolding): provides ping(), get_solver(), available_solvers().\n"
    "Subsequent phases add wake kernel ops (via torch.ops.sorbane_cpp.*) and the\n"
    "Farm / FlowField / TurbineGrid pybind11 classes.\n\n"
    "Quick-start::\n\n"
    "    from sorbane.cpp import sorbane_cpp\n"
    "    assert sorbane_cpp.ping() == \"pong\"\n"
    "    print(sorbane_cpp.available_solvers())\n"
)

RECORDS = ["Farm", "FlowField", "TurbineGrid", "ModelConfig", "PowerThrustTable"]


@pytest.mark.float64
def test_doc_ping_and_precision():
    assert sc.__doc__ == EXPECTED_DOC
    assert "\u2014".encode() in sc.__doc__.encode()
    assert sc.ping() == "pong"
    assert sc.using_double() is (os.environ.get("SORBANE_EXPECT_DOUBLE") == "1")


def test_module_function_docs():
    assert sc.ping.__doc__.strip().endswith(
        "Returns 'pong'. Confirms the extension loaded and the basic C++ ABI works.")
    assert sc.using_double.__doc__.strip().endswith(
        "True if compiled with QUELVAR_USE_DOUBLE=ON (float64); False for float32.")


def test_import_needs_no_torch_first():
    code = "import sys, sorbane_cpp; assert 'torch' not in sys.modules; print(sorbane_cpp.ping())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "pong"


def _other_python():
    for minor in ("3.12", "3.14", "3.11"):
        found = shutil.which(f"python{minor}") or next(
            iter(sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{minor}*/bin/python{minor}")))), None)
        if found and subprocess.run([found, "-c", "pass"], capture_output=True).returncode == 0:
            return found
    return None


def test_import_under_another_interpreter_fails_with_version_message():
    other = _other_python()
    if other is None:
        pytest.skip("no Python other than 3.13 on this machine")
    # Lazy symbol binding lets the loader reach the entry point despite
    # 3.13-only symbols in torch's Python bridge.
    code = (
        "import importlib.machinery, importlib.util, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"loader = importlib.machinery.ExtensionFileLoader('sorbane_cpp', {sc.__file__!r})\n"
        "spec = importlib.util.spec_from_loader('sorbane_cpp', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([other, "-c", code], capture_output=True, text=True)
    version = subprocess.run([other, "-c", "import sys; print(sys.version)"],
                             capture_output=True, text=True).stdout.strip()
    assert out.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}.")


@pytest.mark.parametrize("name", RECORDS)
def test_record_classes_follow_binding_rules(name):
    cls = getattr(sc, name)
    obj = cls()
    assert cls.__doc__ is None
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.not_a_field = 1
    with pytest.raises(TypeError):
        cls(1)

    class Derived(cls):  # not final
        pass

    assert isinstance(Derived(), cls)


@pytest.mark.parametrize("name,field", [("FlowField", "wind_speeds"), ("TurbineGrid", "y_sorted"),
                                        ("Farm", "yaw_angles"), ("PowerThrustTable", "power"),
                                        ("FlowField", "v_sorted")])
def test_tensor_property_hands_back_the_same_object(name, field):
    obj = getattr(sc, name)()
    assert getattr(obj, field) is None
    t = torch.arange(4.0)
    setattr(obj, field, t)
    assert getattr(obj, field) is t
    t.add_(1.0)  # in place, seen through the record
    assert getattr(obj, field)[0] == 1.0
    with pytest.raises(TypeError):
        setattr(obj, field, [1.0, 2.0])
    assert getattr(obj, field) is t


@pytest.mark.parametrize("name,field", [
    ("TurbineGrid", "x_sorted"), ("TurbineGrid", "sorted_coord_indices"), ("TurbineGrid", "unsorted_indices"),
    ("FlowField", "u"), ("FlowField", "u_sorted"), ("FlowField", "u_initial_sorted"),
    ("FlowField", "turbulence_intensity_field_sorted"), ("Farm", "yaw_angles_sorted"),
    ("Farm", "tilt_angles_sorted"), ("Farm", "sorted_indices"), ("Farm", "unsorted_indices"),
])
def test_read_only_properties(name, field):
    obj = getattr(sc, name)()
    with pytest.raises(AttributeError):
        setattr(obj, field, torch.zeros(1))


def test_fresh_records_are_value_initialised():
    g = sc.TurbineGrid()
    assert (g.grid_resolution, g.n_turbines, g.n_findex, g.x_center_of_rotation) == (0, 0, 0, 0.0)
    ff = sc.FlowField()
    assert (ff.wind_shear, ff.reference_wind_height, ff.n_findex, ff.u) == (0.0, 0.0, 0, None)
    t = sc.PowerThrustTable()
    assert (t.wind_speed, t.ref_tilt, t.tip_speed_ratio) == (None, 0.0, 0.0)


def test_member_registration_order():
    names = [n for n in vars(sc.FlowField) if not n.startswith("_")]
    assert names == ["wind_speeds", "wind_directions", "turbulence_intensities", "wind_shear", "wind_veer",
                     "air_density", "reference_wind_height", "n_findex", "u_initial_sorted", "u_sorted", "u",
                     "turbulence_intensity_field_sorted", "v_sorted", "w_sorted",
                     "initialize_velocity_field", "finalize"]
    module_names = [n for n in vars(sc) if not n.startswith("_")]
    assert module_names == ["ping", "using_double", "get_solver", "available_solvers",
                            "set_fused_backward", "last_solve_path", "Farm", "FlowField",
                            "TurbineGrid", "ModelConfig", "PowerThrustTable", "farm_get_turbine_tables",
                            "farm_add_turbine_table", "CppSolverBase", "SequentialSolver", "JacobiSolver"]


def test_record_argument_none_is_a_type_error():
    ff = sc.FlowField()
    with pytest.raises(TypeError):
        ff.initialize_velocity_field(None)
