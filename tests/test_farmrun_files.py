"""The JSON farm file: the README's example, and every validation error with its message."""
import copy
import json
import math

import pytest

from fixtures import readme_example, setter

import farmrun
from farmrun.io.atomic import write_json_atomic
from farmrun.io.farm_file import farm_from_dict, load_farm_file

def test_readme_example_loads_and_runs():
    farm = farm_from_dict(readme_example())
    assert farm.name == "three in a row" and farm.hub_heights == [110.0, 110.0, 130.0]
    # Direction-major cases: case d * 4 + s.
    assert farm.cases.wind_directions[4:8] == [90.0] * 4
    assert farm.cases.wind_speeds[4:8] == [5.0, 8.0, 11.0, 14.0]
    assert farm.cases.frequencies[13] == 0.20
    assert farm.model.jacobi_max_iters is None and farm.model.alpha == 0.58
    energy = farmrun.annual_energy(farmrun.run(farm))
    assert 0.0 < energy.wake_loss_percent < 20.0 < energy.aep_gwh


def cases_instead_of_rose(d):
    del d["wind_rose"]
    d["cases"] = {"wind_directions": [270.0, 0.0], "wind_speeds": [8.0, 10.0],
                  "turbulence_intensities": [0.06, 0.08], "frequencies": [0.5, 0.5]}


ERRORS = [
    # missing and unknown keys
    (setter("turbine.power", None), "turbine.power: required key is missing"),
    (setter("layout_x", None), "layout_x: required key is missing"),
    (setter("turbine.diameter", 130.0), "turbine.diameter: unknown key (allowed: rotor_diameter"),
    (setter("layuot_y", [0.0]), "layuot_y: unknown key"),
    (setter("model.alpah", 0.5), "model.alpah: unknown key"),
    (setter("wind_rose.directions", [0.0]), "wind_rose.directions: unknown key"),
    (setter("wind_rose", None), "wind_rose: give exactly one of 'wind_rose' and 'cases'"),
    (setter("cases", {}), "wind_rose: give exactly one of 'wind_rose' and 'cases'"),
    (setter("turbine", [1, 2]), "turbine: expected an object, got [1, 2]"),
    # wrong lengths
    (setter("layout_y", [0.0, 0.0]), "layout_y: expected 3 values, got 2"),
    (setter("hub_heights", [110.0]), "hub_heights: expected 3 values, got 1"),
    (setter("turbine.power", [0.0] * 12), "turbine.power: expected 13 values, got 12"),
    (setter("turbine.thrust_coefficient", [0.5] * 14),
     "turbine.thrust_coefficient: expected 13 values, got 14"),
    (setter("wind_rose.frequencies.1", [0.1, 0.04]),
     "wind_rose.frequencies[1]: expected 4 values, got 2"),
    (setter("wind_rose.frequencies", [[0.25] * 4] * 3),
     "wind_rose.frequencies: expected 4 rows (one per wind direction), got 3"),
    (setter("wind_rose.turbulence_intensity", [0.06, 0.07]),
     "wind_rose.turbulence_intensity: expected 4 values, got 2"),
    (setter("yaw_angles", [[0.0] * 3] * 5), "yaw_angles: expected 16 rows (one per flow case), got 5"),
    (setter("tilt_angles", [5.0, 5.0]), "tilt_angles: expected 3 values, got 2"),
    (setter("yaw_angles.2", 90.0),
     "yaw_angles[2]: must lie strictly between -90 and 90 degrees, got 90"),
    (setter("yaw_angles", [[0.0, 0.0, 0.0]] * 15 + [[0.0, -120.0, 0.0]]),
     "yaw_angles[15][1]: must lie strictly between -90 and 90 degrees, got -120"),
    (lambda d: (cases_instead_of_rose(d), d["cases"]["wind_speeds"].append(9.0)),
     "cases.wind_speeds: expected 2 values, got 3"),
    (setter("layout_x", []), "layout_x: expected at least 1 value, got 0"),
    # non-finite numbers (JSON NaN and Infinity are accepted by the parser)
    (setter("layout_x.1", float("nan")), "layout_x[1]: must be finite, got nan"),
    (setter("turbine.power.5", float("inf")), "turbine.power[5]: must be finite, got inf"),
    (setter("wind_shear", float("-inf")), "wind_shear: must be finite, got -inf"),
    (setter("wind_rose.frequencies.0.0", float("nan")),
     "wind_rose.frequencies[0][0]: must be finite, got nan"),
    # non-positive diameters, hub heights and wind speeds
    (setter("turbine.rotor_diameter", -130), "turbine.rotor_diameter: must be positive, got -130"),
    (setter("turbine.rotor_diameter", 0), "turbine.rotor_diameter: must be positive, got 0"),
    (setter("turbine.hub_height", 0.0), "turbine.hub_height: must be positive, got 0"),
    (setter("hub_heights.2", -5.0), "hub_heights[2]: must be positive, got -5"),
    (setter("wind_rose.wind_speeds.0", 0.0), "wind_rose.wind_speeds[0]: must be positive, got 0"),
    (lambda d: (cases_instead_of_rose(d), d["cases"]["wind_speeds"].__setitem__(1, -3.0)),
     "cases.wind_speeds[1]: must be positive, got -3"),
    (setter("reference_wind_height", 0.0), "reference_wind_height: must be positive, got 0"),
    # the power and thrust table
    (setter("turbine.wind_speed.4", 20.0),
     "turbine.wind_speed: must be strictly ascending, got 9.20296 after 20 at index 5"),
    (setter("turbine.wind_speed.1", 0.0),
     "turbine.wind_speed: must be strictly ascending, got 0 after 0 at index 1"),
    (lambda d: d["turbine"].update(wind_speed=[5.0], power=[1e6], thrust_coefficient=[0.8]),
     "turbine.wind_speed: expected at least 2 values, got 1"),
    (setter("turbine.power.3", -1.0), "turbine.power[3]: must not be negative, got -1"),
    # frequencies
    (setter("wind_rose.frequencies.3.3", 0.09), "wind_rose.frequencies: must sum to 1, got 0.99"),
    (lambda d: (cases_instead_of_rose(d), d["cases"]["frequencies"].__setitem__(0, 0.6)),
     "cases.frequencies: must sum to 1, got 1.1"),
    # types
    (setter("layout_x.0", "0"), "layout_x[0]: expected a number, got '0'"),
    (setter("turbine.ref_tilt", True), "turbine.ref_tilt: expected a number, got True"),
    (setter("layout_y", 3.0), "layout_y: expected a list of numbers, got 3.0"),
    (setter("model.grid_resolution", 2.5), "model.grid_resolution: expected an integer from 1 to 25, got 2.5"),
    (setter("model.jacobi_max_iters", 0), "model.jacobi_max_iters: expected an integer from 1 to 1000000, got 0"),
    (setter("model.enable_transverse_velocities", 1),
     "model.enable_transverse_velocities: expected true or false, got 1"),
    (setter("model.jacobi_tol", -1e-6), "model.jacobi_tol: must be at least 0, got -1e-06"),
]


@pytest.mark.parametrize("mutate, message", ERRORS, ids=[m for _, m in ERRORS])
def test_validation_error_names_the_field_and_value(mutate, message):
    doc = copy.deepcopy(readme_example())
    mutate(doc)
    with pytest.raises(farmrun.FarmError) as err:
        farm_from_dict(doc)
    assert str(err.value).startswith(message)
    assert err.value.field == message.split(":")[0]


def test_python_api_farms_get_the_same_checks():
    farm = farmrun.example_farm()
    farm.turbine.rotor_diameter = math.nan
    with pytest.raises(farmrun.FarmError, match=r"^turbine.rotor_diameter: must be finite, got nan"):
        farmrun.run(farm)
    with pytest.raises(farmrun.FarmError, match="^solver: expected one of sequential, jacobi"):
        farmrun.run(farmrun.example_farm(), solver="Sequential")


def test_file_that_is_not_json_or_not_there(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"layout_x": [0.0,\n  0.0 1.0]}')
    with pytest.raises(farmrun.FarmError, match=r"bad.json: not valid JSON: .* at line 2 column 7"):
        load_farm_file(bad)
    with pytest.raises(farmrun.FarmError, match=r"missing.json: cannot read the farm file"):
        load_farm_file(tmp_path / "missing.json")


def test_json_is_written_whole_or_not_at_all(tmp_path):
    out = tmp_path / "out.json"
    write_json_atomic(out, {"a": [1.0, 2.0]})
    assert json.loads(out.read_text()) == {"a": [1.0, 2.0]}
    with pytest.raises(TypeError):
        write_json_atomic(out, {"a": [1.0], "b": object()})  # fails halfway through
    assert json.loads(out.read_text()) == {"a": [1.0, 2.0]}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json"]
