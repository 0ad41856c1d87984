"""Farms of several turbine types and clusters of farms, from windIO and farm files."""
import copy
import dataclasses
import json

import numpy as np
import pytest

import farmrun
from farmrun.io.windio import system_from_dict
from farmrun.optimize.layout import optimize_layout
from fixtures import WINDIO_ROSE, in_process, make_farm, small_turbine, small_windio_system

SMALL = small_windio_system(WINDIO_ROSE)["wind_farm"]["turbines"]


def cluster(offset_x, second_ct=(0.0, 0.6, 0.5, 0.1, 0.0), offset_y=0.0):
    """Two layouts of three turbines, the second of a larger, lighter-loaded type
    ``offset_x`` metres east (and ``offset_y`` north) of the first."""
    big = copy.deepcopy(SMALL)
    big.update(name="Big", rotor_diameter=130.0, hub_height=110.0)
    big["performance"]["Ct_curve"]["Ct_values"] = list(second_ct)
    data = small_windio_system(WINDIO_ROSE, turbine_types={0: SMALL, 1: big})
    del data["wind_farm"]["turbines"]
    first = {"coordinates": {"x": [0.0, 500.0, 1000.0], "y": [0.0, 0.0, 50.0]},
             "turbine_types": [0, 0, 0]}
    second = {"coordinates": {"x": [offset_x + v for v in (0.0, 700.0, 1400.0)],
                              "y": [offset_y] * 3}, "turbine_types": [1, 1, 1]}
    data["wind_farm"]["layouts"] = [first, second]
    data["site"]["boundaries"]["circle"]["radius"] = 2 * abs(offset_x) + 2 * abs(offset_y) + 5000
    return data


def test_cluster_runs_with_aep_per_farm(tmp_path):
    farm = system_from_dict(cluster(4000.0)).farm
    assert farm.farm_index == [0, 0, 0, 1, 1, 1] and farm.turbine_type == [0, 0, 0, 1, 1, 1]
    out = tmp_path / "r.json"
    path = tmp_path / "cluster.yaml"
    path.write_text(json.dumps(cluster(4000.0)))  # JSON is YAML
    assert in_process("run", path, "--json", out) == 0
    doc = json.loads(out.read_text())
    farms = doc["farms"]
    assert [f["turbines"] for f in farms] == [3, 3]
    assert sum(f["aep_gwh"] for f in farms) == pytest.approx(doc["summary"]["aep_gwh"], rel=1e-12)


def test_far_apart_farms_equal_each_run_alone():
    # 50 km to the north-east: no direction of the rose lines them up.
    far = dict(offset_x=35_355.0, offset_y=35_355.0)
    together = farmrun.run(system_from_dict(cluster(**far)).farm, progress=False)
    for k, sel in enumerate((slice(0, 3), slice(3, 6))):
        data = cluster(**far)
        data["wind_farm"]["layouts"] = [data["wind_farm"]["layouts"][k]]
        alone = farmrun.run(system_from_dict(data).farm, progress=False)
        # Rotated about the cluster's centre, 25 km off, positions round to
        # a few millimetres in single precision.
        np.testing.assert_allclose(together.power[:, sel].double().numpy(),
                                   alone.power.double().numpy(), rtol=1e-5)


def test_a_neighbour_costs_energy():
    near = farmrun.annual_energy(farmrun.run(system_from_dict(cluster(1600.0)).farm, progress=False))
    data = cluster(1600.0)
    data["wind_farm"]["layouts"] = data["wind_farm"]["layouts"][1:]
    alone = farmrun.annual_energy(farmrun.run(system_from_dict(data).farm, progress=False))
    assert float(near.turbine_aep_gwh[3:].sum()) < alone.aep_gwh


def test_identical_types_equal_one_type():
    one = make_farm([0.0, 500.0, 1000.0], [0.0, 0.0, 50.0], [270.0, 250.0], [8.0, 10.0])
    two = dataclasses.replace(one, turbine=[small_turbine(), small_turbine(name="copy")],
                              turbine_type=[0, 1, 0])
    a, b = farmrun.run(one), farmrun.run(two)
    assert np.array_equal(a.power.numpy(), b.power.numpy())


@pytest.mark.parametrize("edit, message", [
    (lambda d: d["wind_farm"]["layouts"][1].update(turbine_types=[1, 2, 1]),
     "wind_farm.layouts[1].turbine_types[1]: no turbine type 2 (types: 0, 1)"),
    (lambda d: d["wind_farm"]["layouts"][0].update(turbine_types=[0, 0]),
     "wind_farm.layouts[0].turbine_types: expected 3 type indices (one per turbine), got 2"),
    (lambda d: d["wind_farm"]["layouts"][1].pop("turbine_types"),
     "wind_farm.layouts[1].turbine_types: expected 3 type indices (one per turbine), as the "
     "other layouts give"),
], ids=["unknown-type", "short", "missing"])
def test_bad_type_indices_are_one_line(edit, message):
    data = cluster(4000.0)
    edit(data)
    with pytest.raises(farmrun.FarmError) as e:
        system_from_dict(data)
    assert str(e.value) == message


def test_farm_file_of_several_types_round_trips():
    farm = system_from_dict(cluster(4000.0)).farm
    back = farmrun.farm_from_dict(json.loads(json.dumps(farmrun.io.farm_file.farm_to_dict(farm))))
    assert back.turbine_type == farm.turbine_type and back.farm_index == farm.farm_index
    assert [t.rotor_diameter for t in back.turbine] == [100.0, 130.0]
    with pytest.raises(farmrun.FarmError, match=r"^turbine_type\[2\]: expected the index of one "
                                                r"of the 2 turbine types \(0 to 1\), got 5$"):
        farmrun.validation.validate_farm(dataclasses.replace(back, turbine_type=[0, 0, 5, 1, 1, 1]))


def test_layout_keeps_fixed_turbines():
    farm = system_from_dict(cluster(1600.0)).farm
    farm.fixed = [False, False, False, True, True, True]
    r = optimize_layout(farm, max_iter=3)
    assert r.layout_x[3:] == farm.layout_x[3:] and r.layout_y[3:] == farm.layout_y[3:]
    assert r.aep_optimized_gwh >= r.aep_initial_gwh


def test_yaw_search_on_a_cluster_of_two_types():
    from farmrun.optimize.yaw import optimize_yaw
    farm = system_from_dict(cluster(1600.0)).farm
    farm.model = farmrun.ModelOptions(enable_secondary_steering=True,
                                      enable_transverse_velocities=True)
    r = optimize_yaw(farm, progress=False)
    assert r.aep_optimized_gwh >= r.aep_baseline_gwh
    # The baseline is the cluster's own run at zero yaw.
    base = farmrun.run(dataclasses.replace(farm, yaw_angles=None), progress=False)
    np.testing.assert_allclose(r.farm_power_baseline.numpy(), base.farm_power.double().numpy(),
                               rtol=1e-6)
