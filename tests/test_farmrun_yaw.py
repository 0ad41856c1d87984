"""Yaw optimisation: against a brute-force search, symmetry, bounds, and the
optimised table fed back through the farm run."""
import json
import pickle

import pytest
import torch

from fixtures import DTYPE, steering_farm

import farmrun
from farmrun.__main__ import main
from farmrun.optimize.yaw import optimize_batch, optimize_yaw, yaw_bounds
from farmrun.runner import direction_batches, prepare

pytestmark = pytest.mark.float64

STEERING = farmrun.ModelOptions(enable_secondary_steering=True, enable_yaw_added_recovery=True,
                                enable_transverse_velocities=True)
TURBINE = farmrun.iea_3p4_130()
D = TURBINE.rotor_diameter
# Farm power as two solves of the same yaw angles agree on it.
RTOL = 1e-5 if DTYPE == torch.float32 else 1e-9


@pytest.mark.parametrize("speed", [8.0, 10.0])
def test_front_yaw_of_two_in_a_row_matches_a_brute_force_search(speed):
    r = optimize_yaw(steering_farm([0.0, 6 * D], [0.0, 0.0], [270.0], [speed]))
    # Every front yaw on a 0.25 degree grid, the rear one at zero: one case each.
    grid = [0.25 * k for k in range(-100, 101)]
    n = len(grid)
    brute = farmrun.run(farmrun.FarmDescription(
        layout_x=[0.0, 6 * D], layout_y=[0.0, 0.0], turbine=TURBINE,
        cases=farmrun.FlowCases([270.0] * n, [speed] * n, [0.06] * n, [1.0 / n] * n),
        yaw_angles=[[a, 0.0] for a in grid], model=STEERING))
    best = int(torch.argmax(brute.farm_power))
    p_best = float(brute.farm_power[best])
    # An aligned row has two mirrored optima, one of either sign.
    assert abs(abs(float(r.yaw_angles[0, 0])) - abs(grid[best])) <= 0.5
    assert abs(float(r.yaw_angles[0, 1])) < 0.5
    assert float(r.farm_power_optimized[0]) == pytest.approx(p_best, rel=1e-4)
    assert float(r.farm_power_optimized[0]) > 1.03 * float(r.farm_power_baseline[0])


def test_a_mirrored_layout_gives_yaw_angles_of_the_opposite_sign():
    # A staggered row: the middle turbine off the axis decides the better side.
    # Without the transverse velocities, whose wake rotation turns the same
    # way in both layouts and so is no mirror image.
    model = farmrun.ModelOptions(enable_secondary_steering=True, enable_yaw_added_recovery=True)
    x, y = [0.0, 6 * D, 12 * D], [0.0, 0.4 * D, 0.0]
    r = optimize_yaw(steering_farm(x, y, [270.0], [8.0], model=model))
    m = optimize_yaw(steering_farm(x, [-v for v in y], [270.0], [8.0], model=model))
    assert float(r.yaw_angles.abs().max()) > 5.0
    tol = 0.5 if DTYPE == torch.float32 else 1e-3
    torch.testing.assert_close(m.yaw_angles, -r.yaw_angles, rtol=0.0, atol=tol)
    assert float(m.farm_power_optimized[0]) == pytest.approx(float(r.farm_power_optimized[0]),
                                                             rel=1e-4)


def test_a_farm_without_wake_interaction_keeps_zero_yaw_and_gains_nothing():
    # Side by side across the wind; and a row in the wind below cut-in.
    r = optimize_yaw(steering_farm([0.0, 0.0, 0.0], [0.0, 4 * D, 8 * D], [270.0, 0.0], [9.0, 2.0]))
    assert torch.equal(r.yaw_angles, torch.zeros(2, 3, dtype=torch.float64))
    assert torch.equal(r.farm_power_optimized, r.farm_power_baseline)
    assert r.aep_gain_percent == 0.0 and r.evaluations == 0


@pytest.mark.parametrize("lo, hi", [(-5.0, 10.0), (0.0, 25.0), (-12.0, 0.0)])
def test_yaw_angles_stay_within_the_bounds(lo, hi):
    r = optimize_yaw(steering_farm([0.0, 6 * D, 12 * D], [0.0, 0.0, 0.0], [270.0, 265.0], [8.0, 8.0]),
                     min_yaw=lo, max_yaw=hi)
    assert float(r.yaw_angles.min()) >= lo and float(r.yaw_angles.max()) <= hi
    # The aligned row gains; the oblique one may not on the side the bounds allow.
    assert float(r.farm_power_optimized[0]) > float(r.farm_power_baseline[0])
    assert float(r.farm_power_optimized[1]) >= float(r.farm_power_baseline[1])
    if (lo, hi) == (-5.0, 10.0):
        # In the aligned row the front rotor would turn further than either bound allows.
        assert float(r.yaw_angles[0, 0]) == pytest.approx(10.0, abs=1e-9)


def test_the_optimised_table_fed_back_reproduces_the_farm_powers():
    # 2 x 2 turbines; speeds below cut-in, partial load, rated and beyond cut-out.
    x, y = [0.0, 5 * D, 0.0, 5 * D], [0.0, 0.0, 3 * D, 3 * D]
    wd = [d for d in (270.0, 0.0, 300.0) for _ in range(4)]
    ws = [2.0, 7.0, 12.0, 26.0] * 3
    farm = steering_farm(x, y, wd, ws, freq=[0.05, 0.1, 0.1, 0.0833333333333333] * 3)
    r = optimize_yaw(farm, batch_size=3)
    assert r.n_batches == 6 and r.aep_gain_percent > 0.0
    assert bool((r.farm_power_optimized >= r.farm_power_baseline).all())
    farm.yaw_angles = r.yaw_angles.tolist()
    back = farmrun.run(farm)
    torch.testing.assert_close(back.farm_power.double(), r.farm_power_optimized,
                               rtol=RTOL, atol=1e-3)
    energy = farmrun.annual_energy(back)
    assert energy.aep_gwh == pytest.approx(r.aep_optimized_gwh, rel=RTOL)
    farm.yaw_angles = None
    torch.testing.assert_close(farmrun.run(farm).farm_power.double(), r.farm_power_baseline,
                               rtol=RTOL, atol=1e-3)


def test_one_batch_runs_from_pickled_inputs_as_in_the_driver():
    farm = steering_farm([0.0, 6 * D], [0.0, 0.3 * D], [270.0, 270.0, 90.0], [8.0, 9.0, 8.0])
    r = optimize_yaw(farm)
    v, _, _ = prepare(farm, "sequential", "cpu")
    idx = direction_batches(v.cases.wd.tolist(), 10)[0]
    b = optimize_batch(pickle.loads(pickle.dumps(v)), idx, None, None, "sequential",
                       farm.model, yaw_bounds())
    assert b.idx == [0, 1]
    torch.testing.assert_close(b.yaw_angles, r.yaw_angles[:2], rtol=0.0, atol=0.0)


@pytest.mark.parametrize("lo, hi, message", [
    (5.0, 25.0, "min_yaw: must be at most 0 (zero yaw is the baseline), got 5"),
    (-25.0, -1.0, "max_yaw: must be at least 0 (zero yaw is the baseline), got -1"),
    (0.0, 0.0, "max_yaw: must be above min_yaw 0, got 0"),
    (-90.0, 25.0, "min_yaw: must lie strictly between -90 and 90 degrees, got -90"),
    (-25.0, float("nan"), "max_yaw: expected a finite number of degrees, got nan"),
])
def test_bad_bounds_are_refused_by_name(lo, hi, message):
    with pytest.raises(farmrun.FarmError) as e:
        yaw_bounds(lo, hi)
    assert str(e.value) == message


FARM_FILE = {
    "name": "two in a row", "layout_x": [0.0, 780.0], "layout_y": [0.0, 0.0],
    "turbine": {"rotor_diameter": 130.0, "hub_height": 110.0,
                "wind_speed": [0.0, 2.9, 3.0, 9.8, 25.0, 25.1],
                "power": [0.0, 0.0, 5e4, 3.37e6, 3.37e6, 0.0],
                "thrust_coefficient": [0.0, 0.0, 0.8, 0.8, 0.04, 0.0]},
    "wind_rose": {"wind_directions": [270.0, 90.0], "wind_speeds": [8.0],
                  "frequencies": [[0.75], [0.25]]},
}


def test_command_line_writes_json_and_the_yaw_table(tmp_path, capsys):
    farm = tmp_path / "farm.json"
    farm.write_text(json.dumps(FARM_FILE))
    out, table = tmp_path / "yaw.json", tmp_path / "yaw.csv"
    assert main(["optimize-yaw", str(farm), "--max-yaw", "20", "--json", str(out),
                 "--csv", str(table)]) == 0
    doc = json.loads(out.read_text())
    printed = capsys.readouterr().out
    assert f"{doc['aep_gain_percent']:.3f} %" in printed
    assert doc["bounds"] == {"min_yaw": -25.0, "max_yaw": 20.0}
    assert doc["wind_directions"] == [270.0, 90.0] and doc["wind_speeds"] == [8.0, 8.0]
    assert len(doc["yaw_angles"]) == 2 and all(len(row) == 2 for row in doc["yaw_angles"])
    # From the east the rear turbine (index 1) leads.
    assert abs(doc["yaw_angles"][0][0]) > 10.0 and abs(doc["yaw_angles"][1][1]) > 10.0
    base, opt = doc["farm_power_baseline"], doc["farm_power_optimized"]
    e = [8766e-9 * (0.75 * a + 0.25 * b) for a, b in (base, opt)]
    assert doc["aep_baseline_gwh"] == pytest.approx(e[0]) and doc["aep_optimized_gwh"] == \
        pytest.approx(e[1])
    assert doc["model"]["yaw_power_exponent"] == 1.88
    rows = [line.split(",") for line in table.read_text().splitlines()]
    assert rows[0] == ["wind_direction", "wind_speed", "yaw_0", "yaw_1"]
    assert [float(v) for v in rows[2][2:]] == pytest.approx(doc["yaw_angles"][1], abs=1e-6)


@pytest.mark.parametrize("extra, message", [
    (["--min-yaw", "1"], "farmrun: error: --min-yaw: must be at most 0"),
    (["--csv", "/nonexistent/yaw.csv"], "farmrun: error: --csv: /nonexistent/yaw.csv: the folder"),
])
def test_command_line_errors_are_one_line_and_write_nothing(tmp_path, capsys, extra, message):
    out = tmp_path / "yaw.json"
    assert main(["optimize-yaw", "--json", str(out)] + extra) == 2
    err = capsys.readouterr().err
    assert err.startswith(message) and err.count("\n") == 1
    assert not out.exists()
