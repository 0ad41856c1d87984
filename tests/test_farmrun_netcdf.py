"""Labelled results: the xarray Dataset, its NetCDF round trip and the AEP tables."""
import json
import math

import numpy as np
import pytest
import xarray as xr

from fixtures import cli

import farmrun
from farmrun.energy import energy_tables
from farmrun.io.netcdf import result_dataset, write_netcdf

TURBINE = farmrun.TurbineType(name="T", rotor_diameter=100.0, hub_height=90.0,
                              wind_speed=[0.0, 3.0, 12.0, 25.0, 25.1, 50.0],
                              power=[0.0, 0.0, 3e6, 3e6, 0.0, 0.0],
                              thrust_coefficient=[0.0, 0.8, 0.7, 0.1, 0.0, 0.0])


def farm(cases, **kw):
    return farmrun.FarmDescription(layout_x=[0.0, 600.0, 1200.0], layout_y=[0.0, 0.0, 80.0],
                                   turbine=TURBINE, cases=cases, hub_heights=[90.0, 90.0, 100.0],
                                   **kw)


ROSE = farmrun.WindRose(wind_directions=[90.0, 270.0], wind_speeds=[7.0, 10.0, 14.0],
                        frequencies=[[0.1, 0.2, 0.1], [0.2, 0.3, 0.1]],
                        turbulence_intensity=0.07).cases()
SERIES = farmrun.FlowCases(wind_directions=[268.0, 272.0, 95.0, 280.0],
                           wind_speeds=[8.2, 9.7, 11.4, 6.6], turbulence_intensities=[0.06] * 4,
                           time=["2024-01-01T00:00:00Z", "2024-01-01T01:00:00Z",
                                 "2024-01-01T02:00:00Z", "2024-01-01T03:00:00Z"])


@pytest.fixture(scope="module")
def rose_run():
    f = farm(ROSE)
    return f, farmrun.run(f, progress=False)


def test_netcdf_round_trip(rose_run, tmp_path):
    f, r = rose_run
    write_netcdf(result_dataset(f, r), tmp_path / "r.nc")
    with xr.open_dataset(tmp_path / "r.nc") as ds:
        assert dict(ds["power"].sizes) == {"wind_direction": 2, "wind_speed": 3, "turbine": 3}
        assert ds["wind_direction"].values.tolist() == [90.0, 270.0]
        assert ds["wind_speed"].values.tolist() == [7.0, 10.0, 14.0]
        assert ds["hub_height"].values.tolist() == [90.0, 90.0, 100.0]
        units = {v: ds[v].attrs["units"] for v in ("x", "y", "hub_height", "power",
                                                    "rotor_effective_velocity",
                                                    "turbulence_intensity",
                                                    "thrust_coefficient", "frequency")}
        assert units == {"x": "m", "y": "m", "hub_height": "m", "power": "W",
                         "rotor_effective_velocity": "m/s", "turbulence_intensity": "1",
                         "thrust_coefficient": "1", "frequency": "1"}
        # Case f = d * 3 + s lands at (d, s).
        np.testing.assert_allclose(ds["power"].values.reshape(6, 3), r.power.double().numpy())
        np.testing.assert_allclose(ds["frequency"].values, [[0.1, 0.2, 0.1], [0.2, 0.3, 0.1]],
                                   rtol=1e-6)
        assert ds.attrs["solver"] == "sequential" and ds.attrs["model_ka"] == pytest.approx(0.38)
        assert ds.attrs["precision"] in ("float32", "float64")
        aep = float((ds["frequency"] * ds["power"].sum("turbine")).sum()) * 8766 / 1e9
        assert aep == pytest.approx(ds.attrs["aep_gwh"], rel=1e-6)


def test_time_series_lies_on_time(tmp_path):
    f = farm(SERIES)
    r = farmrun.run(f, progress=False)
    write_netcdf(result_dataset(f, r), tmp_path / "t.nc")
    with xr.open_dataset(tmp_path / "t.nc") as ds:
        assert dict(ds["power"].sizes) == {"time": 4, "turbine": 3}
        assert ds["time"].values[1] == np.datetime64("2024-01-01T01:00:00")
        assert ds["flow_wind_speed"].values.tolist() == pytest.approx([8.2, 9.7, 11.4, 6.6])


def test_repeated_cases_lie_on_case():
    cases = farmrun.FlowCases([270.0, 270.0], [8.0, 8.0], [0.06, 0.1], [0.5, 0.5])
    ds = result_dataset(farm(cases), farmrun.run(farm(cases), progress=False))
    assert dict(ds["power"].sizes) == {"case": 2, "turbine": 3}


def test_tables_by_direction_and_speed(rose_run):
    f, r = rose_run
    t = energy_tables(f, r)
    p = r.power.double().sum(1).numpy().reshape(2, 3)
    p0 = r.power_no_wake.double().sum(1).numpy().reshape(2, 3)
    w = np.array([[0.1, 0.2, 0.1], [0.2, 0.3, 0.1]])
    by_d = {row["wind_direction"]: row for row in t["by_direction"]}
    for d, direction in enumerate([90.0, 270.0]):
        e = (w[d] * p[d]).sum() * 8766e-9
        e0 = (w[d] * p0[d]).sum() * 8766e-9
        assert by_d[direction]["aep_gwh"] == pytest.approx(e, rel=1e-6)
        assert by_d[direction]["wake_loss_percent"] == pytest.approx(100 * (1 - e / e0), abs=1e-4)
    by_s = [row["aep_gwh"] for row in t["by_speed"]]
    np.testing.assert_allclose(by_s, (w * p).sum(0) * 8766e-9, rtol=1e-6)
    total = farmrun.annual_energy(r).aep_gwh
    for rows in t.values():
        assert sum(row["aep_gwh"] for row in rows) == pytest.approx(total, rel=1e-9)


def test_time_series_tables_are_binned():
    f = farm(SERIES)
    t = energy_tables(f, farmrun.run(f, progress=False))
    # 268 and 272 fall in the 270 sector, 280 also; 95 in the 90 sector.
    assert [row["wind_direction"] for row in t["by_direction"]] == [90.0, 270.0]
    assert [row["frequency"] for row in t["by_direction"]] == pytest.approx([0.25, 0.75])
    assert [row["wind_speed"] for row in t["by_speed"]] == [7.0, 8.0, 10.0, 11.0]


def test_command_line_netcdf_json_and_tables(tmp_path):
    nc, js = tmp_path / "out.nc", tmp_path / "out.json"
    r = cli("run", "--netcdf", nc, "--json", js, "--by-direction")
    assert r.returncode == 0, r.stderr
    assert "AEP by wind direction" in r.stdout and "AEP by wind speed" in r.stdout
    doc = json.loads(js.read_text())
    assert len(doc["by_direction"]) == 12 and len(doc["by_speed"]) == 25
    with xr.open_dataset(nc) as ds:
        assert math.isclose(ds.attrs["aep_gwh"], doc["summary"]["aep_gwh"], rel_tol=1e-12)
        assert float(ds["aep_by_direction"].sum()) == pytest.approx(doc["summary"]["aep_gwh"])


def test_unwritable_netcdf_is_one_line(tmp_path):
    r = cli("run", "--netcdf", tmp_path / "missing" / "out.nc")
    assert r.returncode == 2 and len(r.stderr.strip().splitlines()) == 1
    assert "--netcdf" in r.stderr and "does not exist" in r.stderr
    assert not (tmp_path / "missing").exists()
