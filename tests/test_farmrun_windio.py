"""windIO wind energy systems: the shipped examples, resource and turbine mapping, errors."""
import copy
import dataclasses
import json
import math
from pathlib import Path

import numpy as np
import pytest
import windIO
import xarray as xr
from scipy import integrate

from fixtures import WINDIO_ROSE, cli, in_process, small_windio_system

import farmrun
from farmrun.io import windio_outputs
from farmrun.io.atomic import write_outputs
from farmrun.io.windio import load_windio, system_from_dict
from farmrun.io.windio_resource import WEIBULL_SPEED_BINS, weibull_bin_probabilities
from farmrun.io.windio_turbine import rated_power_curve, turbine_from_windio

EXAMPLES = Path(windIO.__file__).parent / "examples" / "plant" / "wind_energy_system"
SYSTEMS = sorted(EXAMPLES.glob("*.yaml"))
# The largest shipped system has 7200 flow cases on 81 turbines; the test runs
# at most this many of every system's cases, the most frequent ones.
MAX_TEST_CASES = 40


def reduced(farm, n=MAX_TEST_CASES):
    c = farm.cases
    F = len(c.wind_directions)
    if F <= n:
        return farm
    weights = c.frequencies or [1.0 / F] * F
    keep = sorted(sorted(range(F), key=lambda i: -weights[i])[:n])
    total = sum(weights[i] for i in keep)
    cases = farmrun.FlowCases([c.wind_directions[i] for i in keep],
                              [c.wind_speeds[i] for i in keep],
                              [c.turbulence_intensities[i] for i in keep],
                              [weights[i] / total for i in keep])
    return dataclasses.replace(farm, cases=cases)


def test_the_examples_folder_is_found():
    assert len(SYSTEMS) >= 6


@pytest.mark.parametrize("path", SYSTEMS, ids=[p.stem for p in SYSTEMS])
def test_every_shipped_system_runs_or_is_refused_in_one_line(path):
    try:
        system = load_windio(path)
    except farmrun.FarmError as e:
        assert "\n" not in str(e) and e.field
        return
    assert len(system.notes) == len(set(system.notes))
    farm = reduced(system.farm)
    result = farmrun.apply_power_curves(system, farmrun.run(farm, progress=False))
    energy = farmrun.annual_energy(result)
    rated = max(farm.turbine.power)
    assert np.isfinite(result.power.double().numpy()).all()
    assert float(result.power.max()) <= rated * (1 + 1e-6)
    assert 0 < energy.aep_gwh <= energy.aep_no_wake_gwh
    assert energy.aep_no_wake_gwh <= len(farm.layout_x) * rated * 8766 / 1e9


def test_case_study_1_from_the_command_line():
    r = cli("run", EXAMPLES / "IEA37_case_study_1_2_wind_energy_system.yaml", "--by-direction")
    assert r.returncode == 0, r.stderr
    # 16 turbines at 9.8 m/s, the rated speed of the 3.35 MW turbine: the
    # freestream AEP is 16 x 3.35 MW x 8766 h.
    assert "AEP without wakes:      469.858 GWh" in r.stdout
    assert "AEP by wind direction" in r.stdout
    notes = [l for l in r.stderr.splitlines() if l]
    assert notes == ["farmrun: note: attributes.analysis.wind_deficit_model.name: "
                     "'Bastankhah2014' is not available; farmrun's own model is used"]


# --- Weibull binning ----------------------------------------------------------

@pytest.mark.parametrize("a, k, centres", [
    (9.18, 2.39, WEIBULL_SPEED_BINS),
    (11.6, 2.6, [3.0, 5.0, 8.11, 12.0, 20.0]),
    (6.0, 1.4, [8.11]),
])
def test_weibull_bins_integrate_the_density(a, k, centres):
    p = weibull_bin_probabilities(a, k, centres)

    def density(u):
        return k / a * (u / a) ** (k - 1) * math.exp(-((u / a) ** k))
    edges = [0.0] + [(x + y) / 2 for x, y in zip(centres, centres[1:])] + [math.inf]
    expected = [integrate.quad(density, lo, hi, epsabs=1e-14, epsrel=1e-12, limit=200)[0]
                for lo, hi in zip(edges, edges[1:])]
    np.testing.assert_allclose(p, expected, rtol=1e-9, atol=1e-12)
    assert math.isclose(sum(p), 1.0, rel_tol=1e-12)


def test_weibull_resource_weights_sectors():
    system = load_windio(EXAMPLES / "flow_example_weibull_pdf.yaml")
    data = windIO.load_yaml(EXAMPLES / "flow_example_weibull_pdf.yaml")
    del data["attributes"]["model_outputs_specification"]
    wr = data["site"]["energy_resource"]["wind_resource"]
    cases = system_from_dict(data).farm.cases
    sp = wr["sector_probability"]["data"]
    n = len(WEIBULL_SPEED_BINS)
    assert len(cases.wind_directions) == len(sp) * n
    for d in (0, 7):
        share = sum(cases.frequencies[d * n:(d + 1) * n])
        assert math.isclose(share, sp[d] / sum(sp), rel_tol=1e-9)
    # The run configuration's one speed becomes one bin holding the sector's whole share.
    assert system.farm.cases.wind_speeds == [8.11] and system.farm.cases.frequencies == [1.0]


# --- resource layouts and time series -------------------------------------------

def test_windio_and_json_farm_files_give_the_same_aep(tmp_path):
    path = tmp_path / "three.yaml"
    windIO.write_yaml(small_windio_system(WINDIO_ROSE), path)
    system = load_windio(path)
    doc = {"layout_x": [0.0, 500.0, 1000.0], "layout_y": [0.0, 0.0, 50.0], "wind_shear": 0.0,
           "turbine": {"rotor_diameter": 100.0, "hub_height": 90.0,
                       "wind_speed": [0.0, 3.0, 12.0, 25.0, 25.5],
                       "power": [0.0, 0.0, 3e6, 3e6, 0.0],
                       "thrust_coefficient": [0.0, 0.8, 0.7, 0.1, 0.0]},
           "wind_rose": {"wind_directions": [0.0, 90.0, 180.0, 270.0],
                         "wind_speeds": [6.0, 11.0],
                         "frequencies": [[0.1, 0.1], [0.05, 0.1], [0.15, 0.1], [0.2, 0.2]],
                         "turbulence_intensity": 0.08}}
    (tmp_path / "three.json").write_text(json.dumps(doc))
    from_json = farmrun.load_farm_file(tmp_path / "three.json")
    e1 = farmrun.annual_energy(farmrun.run(system.farm, progress=False))
    e2 = farmrun.annual_energy(farmrun.run(from_json, progress=False))
    assert e1.aep_gwh > 0 and e1.wake_loss_percent > 0
    assert math.isclose(e1.aep_gwh, e2.aep_gwh, rel_tol=1e-6)
    assert math.isclose(e1.aep_no_wake_gwh, e2.aep_no_wake_gwh, rel_tol=1e-6)


@pytest.mark.parametrize("scale, message", [
    (0.9, "must sum to 1, got 0.9"),
    (1.01, "must sum to 1, got 1.01"),
])
def test_probability_table_must_sum_to_one(scale, message):
    rose = copy.deepcopy(WINDIO_ROSE)
    rose["probability"]["data"] = [[p * scale for p in row] for row in rose["probability"]["data"]]
    with pytest.raises(farmrun.FarmError) as e:
        system_from_dict(small_windio_system(rose))
    assert e.value.field == "site.energy_resource.wind_resource.probability"
    assert message in str(e.value)


def test_rounded_probability_table_is_rescaled():
    rose = copy.deepcopy(WINDIO_ROSE)
    rose["probability"]["data"][0][0] += 0.0004  # published tables are rounded
    f = system_from_dict(small_windio_system(rose)).farm.cases.frequencies
    assert math.isclose(sum(f), 1.0, rel_tol=1e-12)


TIMES = {"time": ["2023-07-25T00:00:00Z", "2023-07-25T01:00:00Z", "2023-07-25T02:00:00Z",
                  "2023-07-25T03:00:00Z"],
         "wind_speed": {"data": [5.0, 9.0, 13.0, 7.5], "dims": ["time"]},
         "wind_direction": {"data": [270.0, 265.0, 90.0, 0.0], "dims": ["time"]},
         "turbulence_intensity": {"data": [6.0, 8.0, 5.0, 10.0], "dims": ["time"]}}


def test_time_series_aep_is_mean_power_times_a_year():
    system = system_from_dict(small_windio_system(TIMES))
    c = system.farm.cases
    assert c.frequencies is None and len(c.time) == 4
    # Turbulence intensities above 1 are percent.
    assert c.turbulence_intensities == pytest.approx([0.06, 0.08, 0.05, 0.10])
    assert any("read as percent" in n for n in system.notes)
    result = farmrun.run(system.farm, progress=False)
    energy = farmrun.annual_energy(result)
    mean = float(result.power.double().sum(1).mean())
    assert math.isclose(energy.aep_gwh, mean * 8766 / 1e9, rel_tol=1e-9)


def test_json_cases_with_time_have_equal_weights():
    doc = {"layout_x": [0.0, 600.0], "layout_y": [0.0, 0.0],
           "turbine": {"rotor_diameter": 100.0, "hub_height": 90.0,
                       "wind_speed": [0.0, 3.0, 12.0, 25.0], "power": [0.0, 0.0, 3e6, 3e6],
                       "thrust_coefficient": [0.0, 0.8, 0.7, 0.1]},
           "cases": {"wind_directions": [270.0, 270.0, 0.0],
                     "wind_speeds": [8.0, 10.0, 8.0],
                     "turbulence_intensities": [0.06, 0.06, 0.06],
                     "time": ["t0", "t1", "t2"]}}
    result = farmrun.run(farmrun.farm_from_dict(doc), progress=False)
    assert result.frequencies.tolist() == pytest.approx([1 / 3] * 3)
    energy = farmrun.annual_energy(result)
    # The weights 1/3 are held in the working precision.
    assert math.isclose(energy.aep_gwh, float(result.power.double().sum(1).mean()) * 8.766e-6,
                        rel_tol=1e-6)
    with pytest.raises(farmrun.FarmError, match="cases.frequencies: give exactly one of"):
        farmrun.farm_from_dict(dict(doc, cases=dict(doc["cases"], frequencies=[0.5, 0.25, 0.25])))


@pytest.mark.parametrize("subset, expected", [([1, 3], [9.0, 7.5]),
                                              (["2023-07-25T02:00:00Z"], [13.0])])
def test_time_subsets(subset, expected):
    data = small_windio_system(TIMES)
    data["attributes"] = {"model_outputs_specification": {
        "run_configuration": {"times_run": {"all_occurences": False, "subset": subset}}}}
    assert system_from_dict(data).farm.cases.wind_speeds == expected


@pytest.mark.parametrize("directions, expected", [([360.0], [0.0]), ([-90.0, 90.0], [270.0, 90.0])])
def test_specific_directions_match_modulo_360(directions, expected):
    data = small_windio_system(WINDIO_ROSE)
    data["attributes"] = {"model_outputs_specification": {"run_configuration": {
        "wind_speeds_run": {"all_values": True}, "directions_run": {"specific_values": directions}}}}
    cases = system_from_dict(data).farm.cases
    assert cases.wind_directions == [d for d in expected for _ in (6.0, 11.0)]
    assert math.isclose(sum(cases.frequencies), 1.0)


def test_specific_values_must_be_in_the_resource():
    data = small_windio_system(WINDIO_ROSE)
    data["attributes"] = {"model_outputs_specification": {"run_configuration": {
        "wind_speeds_run": {"specific_values": [11.0, 8.0]},
        "directions_run": {"all_values": True}}}}
    with pytest.raises(farmrun.FarmError) as e:
        system_from_dict(data)
    assert e.value.field == ("attributes.model_outputs_specification.run_configuration."
                             "wind_speeds_run.specific_values[1]")
    assert "8 is not among the resource's values (6, 11)" in str(e.value)


def test_shear_and_boundaries():
    rose = dict(WINDIO_ROSE, shear={"alpha": 0.14, "h_ref": 100.0})
    farm = system_from_dict(small_windio_system(rose)).farm
    assert (farm.wind_shear, farm.reference_wind_height) == (0.14, 100.0)
    (xs, ys), = farm.boundaries
    assert max(xs) == pytest.approx(2000.0) and min(ys) == pytest.approx(-2000.0, rel=1e-3)


# --- turbines -------------------------------------------------------------------

def test_rated_power_form_is_the_cubic_between_cut_in_and_rated():
    speeds, power = rated_power_curve(3.35e6, 9.8, 4.0, 25.0)
    curve = dict(zip(speeds, power))
    assert curve[4.0] == 0.0 and curve[9.8] == 3.35e6 and curve[25.0] == 3.35e6
    assert np.interp(6.9, speeds, power) == pytest.approx(3.35e6 * 0.125, rel=1e-3)
    t = turbine_from_windio({"name": "r", "hub_height": 110.0, "rotor_diameter": 130.0,
                             "performance": {"rated_power": 3.35e6, "rated_wind_speed": 9.8,
                                             "cutin_wind_speed": 4.0, "cutout_wind_speed": 25.0,
                                             "Ct_curve": {"Ct_values": [0.8, 0.8],
                                                          "Ct_wind_speeds": [3.0, 30.0]}}})
    # Parked below cut-in and above cut-out: no power and no thrust.
    for u, p, ct in [(3.5, 0.0, 0.0), (26.0, 0.0, 0.0), (15.0, 3.35e6, 0.8)]:
        assert np.interp(u, t.wind_speed, t.power) == pytest.approx(p)
        assert np.interp(u, t.wind_speed, t.thrust_coefficient) == pytest.approx(ct)


def test_cp_curve_uses_the_air_density_of_the_resource():
    cp = {"Cp_curve": {"Cp_wind_speeds": [4.0, 10.0, 20.0], "Cp_values": [0.4, 0.45, 0.2]},
          "Ct_curve": {"Ct_wind_speeds": [4.0, 20.0], "Ct_values": [0.8, 0.2]}}
    rose = dict(WINDIO_ROSE, density={"data": 1.1, "dims": []})
    t = system_from_dict(small_windio_system(rose, performance=cp)).farm.turbine
    area = math.pi * 100.0 ** 2 / 4
    assert np.interp(10.0, t.wind_speed, t.power) == pytest.approx(0.5 * 1.1 * 0.45 * area * 1e3)


def two_types(second_ct):
    base = small_windio_system(WINDIO_ROSE)["wind_farm"]["turbines"]
    other = copy.deepcopy(base)
    other["hub_height"] = 120.0
    other["performance"]["power_curve"]["power_values"] = [0.0, 0.0, 2e6, 2e6, 0.0]
    other["performance"]["Ct_curve"]["Ct_values"] = second_ct
    data = small_windio_system(WINDIO_ROSE, turbine_types={0: base, 1: other})
    del data["wind_farm"]["turbines"]
    data["wind_farm"]["layouts"][0]["turbine_types"] = [0, 1, 0]
    return data


def test_types_sharing_a_thrust_curve_keep_their_power_curves():
    system = system_from_dict(two_types([0.0, 0.8, 0.7, 0.1, 0.0]))
    assert system.farm.hub_heights == [90.0, 120.0, 90.0]
    result = farmrun.apply_power_curves(system, farmrun.run(system.farm, progress=False))
    u = result.rotor_velocity.double().numpy()
    p = result.power.double().numpy()
    np.testing.assert_allclose(p[:, 1], np.interp(u[:, 1], [0, 3, 12, 25, 25.5],
                                                  [0, 0, 2e6, 2e6, 0]), rtol=1e-5)
    np.testing.assert_allclose(p[:, 0], np.interp(u[:, 0], [0, 3, 12, 25, 25.5],
                                                  [0, 0, 3e6, 3e6, 0]), rtol=1e-5)


def test_types_with_different_thrust_curves_each_run_on_their_own():
    light = system_from_dict(two_types([0.0, 0.4, 0.35, 0.05, 0.0]))
    assert light.farm.turbine_type == [0, 1, 0] and len(light.farm.turbine) == 2
    r = farmrun.run(light.farm, progress=False)
    u, ct = r.rotor_velocity.double().numpy(), r.thrust_coefficient.double().numpy()
    np.testing.assert_allclose(ct[:, 1], np.interp(u[:, 1], [0, 3, 12, 25, 25.5],
                                                   [0, 0.4, 0.35, 0.05, 0]), rtol=1e-5)
    # The lighter-loaded middle rotor leaves a weaker wake behind it.
    same = farmrun.run(system_from_dict(two_types([0.0, 0.8, 0.7, 0.1, 0.0])).farm, progress=False)
    assert float(r.farm_power.sum()) > float(same.farm_power.sum())


# --- model options and errors ---------------------------------------------------

def test_analysis_options_map_or_are_noted():
    data = small_windio_system(WINDIO_ROSE)
    data["attributes"] = {"analysis": {
        "wind_deficit_model": {"name": "Bastankhah2016",
                               "wake_expansion_coefficient": {"k_a": 0.3, "k_b": 0.002}},
        "turbulence_model": {"name": "CrespoHernandez", "coefficents": [0.7, 0.8, 0.04, -0.3]},
        "rotor_averaging": {"n_x_grid_points": 4, "n_y_grid_points": 4},
        "blockage_model": {"name": "Rathmann"}}}
    system = system_from_dict(data)
    m = system.farm.model
    assert (m.ka, m.kb, m.grid_resolution) == (0.3, 0.002, 4)
    assert (m.ch_constant, m.ch_ai_exp, m.ch_initial, m.ch_downstream) == (0.7, 0.8, 0.04, -0.3)
    assert system.notes == ["attributes.analysis.blockage_model.name: 'Rathmann' is not "
                            "available; farmrun's own model is used"]


@pytest.mark.parametrize("edit, where", [
    (lambda d: d["wind_farm"]["turbines"].update(rotor_diameter="big"),
     "wind_farm.turbines.rotor_diameter"),
    (lambda d: d["site"]["energy_resource"]["wind_resource"].update(turbulence_intensity={
        "data": "x", "dims": []}), "site.energy_resource.wind_resource.turbulence_intensity"),
])
def test_validation_error_names_the_path(tmp_path, edit, where):
    data = small_windio_system(WINDIO_ROSE)
    edit(data)
    path = tmp_path / "bad.yaml"
    windIO.write_yaml(data, path)
    with pytest.raises(farmrun.FarmError) as e:
        load_windio(path)
    assert e.value.field == where and "fails the windIO schema" in str(e.value)
    assert "\n" not in str(e.value)


def test_command_line_refuses_in_one_line(tmp_path):
    data = small_windio_system(WINDIO_ROSE)
    data["wind_farm"]["turbines"]["rotor_diameter"] = "big"
    windIO.write_yaml(data, tmp_path / "bad.yaml")
    r = cli("run", tmp_path / "bad.yaml")
    assert r.returncode == 2
    assert r.stderr.splitlines() == ["farmrun: error: wind_farm.turbines.rotor_diameter: fails "
                                     "the windIO schema: 'big' is not of type 'number'"]


def test_missing_include_is_one_line(tmp_path):
    path = tmp_path / "sys.yaml"
    path.write_text("name: x\nsite: !include nowhere.yaml\nwind_farm: {}\n")
    with pytest.raises(farmrun.FarmError, match="cannot load the windIO file") as e:
        load_windio(path)
    assert "\n" not in str(e.value) and e.value.field == str(path)


def test_requested_output_files(tmp_path):
    data = small_windio_system(WINDIO_ROSE)
    data["attributes"] = {"model_outputs_specification": {
        "output_folder": str(tmp_path / "out"),
        "run_configuration": {"wind_speeds_run": {"all_values": True},
                              "directions_run": {"specific_values": [270.0]}},
        "turbine_outputs": {"turbine_nc_filename": "turbines.nc",
                            "output_variables": ["power", "rotor_effective_velocity", "loads"]},
        "flow_field": {"report": True, "flow_nc_filename": "flow.nc",
                       "output_variables": ["velocity_u"],
                       "z_planes": {"z_sampling": "plane_list", "z_list": [90.0, 150.0],
                                    "xy_sampling": "grid", "x_bounds": [-300.0, 1500.0],
                                    "y_bounds": [-100.0, 100.0], "dx": 100.0, "dy": 50.0}}}}
    system = system_from_dict(data)
    assert "attributes.model_outputs_specification.turbine_outputs.output_variables: 'loads' " \
           "is not available" in system.notes
    result = farmrun.run(system.farm, progress=False)
    ds = farmrun.result_dataset(system.farm, result)
    files = windio_outputs.requested_outputs(system, result, ds)
    assert [w for w, _ in files.values()] == ["turbine outputs", "flow field"]
    (tmp_path / "out").mkdir()
    write_outputs({p: data for p, (_, data) in files.items()})
    with xr.open_dataset(tmp_path / "out" / "turbines.nc") as t:
        assert set(t.data_vars) == {"power", "rotor_effective_velocity", "frequency"}
        assert t["wind_direction"].values.tolist() == [270.0]
    with xr.open_dataset(tmp_path / "out" / "flow.nc") as f:
        assert dict(f["wind_speed"].sizes) == {"case": 2, "z": 2, "y": 5, "x": 19}
        # Upstream of the first rotor the inflow is uniform in height: the case's speed.
        up = f["wind_speed"].sel(x=-300.0)
        np.testing.assert_allclose(up.values, np.broadcast_to(
            f["free_stream_wind_speed"].values[:, None, None], up.shape), rtol=1e-5)
        assert float(f["wind_speed"].sel(z=90.0, y=0.0, x=1100.0).min()) < 0.9 * 6.0


# --- messages in the file's own words -----------------------------------------------

WEIBULL = {"wind_direction": [0.0, 90.0, 180.0, 270.0],
           "sector_probability": {"data": [0.25, 0.25, 0.25, 0.25], "dims": ["wind_direction"]},
           "weibull_a": {"data": [8.0, 8.0, 9.0, 9.0], "dims": ["wind_direction"]},
           "weibull_k": {"data": [2.0, 2.0, -1.5, 2.0], "dims": ["wind_direction"]},
           "turbulence_intensity": {"data": 0.08, "dims": []}}
RESOURCE = "site.energy_resource.wind_resource"


def weibull_a(value):
    def edit(d):
        d["site"]["energy_resource"]["wind_resource"]["weibull_a"] = {"data": value, "dims": []}
    return edit


def turbine(key, value):
    def edit(d):
        d["wind_farm"]["turbines"][key] = value
    return edit


@pytest.mark.parametrize("edit, field, message", [
    (lambda d: None, f"{RESOURCE}.weibull_k[2]", "the Weibull shape must be positive, got -1.5"),
    (weibull_a(0.0), f"{RESOURCE}.weibull_a", "the Weibull scale must be positive, got 0"),
    (turbine("rotor_diameter", -100.0), "wind_farm.turbines.rotor_diameter",
     "must be positive, got -100"),
    (turbine("hub_height", 40.0), "wind_farm.turbines.hub_height",
     "must be at least half the rotor diameter (50 m), got 40"),
])
def test_errors_name_the_windio_field(edit, field, message):
    data = small_windio_system(WEIBULL)
    edit(data)
    with pytest.raises(farmrun.FarmError) as e:
        system_from_dict(data)
    assert (e.value.field, e.value.message) == (field, message)


def test_header_counts_each_turbine_type(capsys, tmp_path):
    path = tmp_path / "two.yaml"
    windIO.write_yaml(two_types([0.0, 0.8, 0.7, 0.1, 0.0]), path)
    assert in_process("run", path) == 0
    header = capsys.readouterr().out.splitlines()[0]
    assert header.startswith("three turbines: 2 x T (type 0), 1 x T (type 1), 8 flow cases")


def test_includes_resolve_through_a_symlinked_folder(tmp_path):
    # The time series' NetCDF file is included from an included file: "..", taken
    # from the link's own folder, would miss it.
    (tmp_path / "systems").symlink_to(EXAMPLES, target_is_directory=True)
    system = load_windio(tmp_path / "systems" / "flow_example_timeseries.yaml")
    assert system.farm.cases.time is not None
