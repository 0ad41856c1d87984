"""Results under a Gaussian spread of wind directions."""
import dataclasses
import json

import numpy as np
import pytest
import torch

import farmrun
from farmrun.optimize.layout import LayoutEnergy
from farmrun.optimize.yaw import optimize_yaw
from farmrun.spread import direction_offsets
from fixtures import (DOUBLE, check_layout_gradient, cli, in_process, make_farm, readme_example,
                      steering_farm, write_farm)

pytestmark = pytest.mark.float64

ROW = dict(x=[0.0, 700.0], y=[0.0, 0.0])


def spread(farm, std):
    return dataclasses.replace(farm, wind_direction_std=std)


def test_zero_spread_is_the_nominal_run(tmp_path):
    doc = readme_example()
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    path = write_farm(tmp_path / "a", doc)
    zero = write_farm(tmp_path / "b", dict(doc, wind_direction_std=0))
    outs = []
    for farm_file, extra in ((path, []), (zero, []), (path, ["--wind-direction-std", "0"])):
        out = tmp_path / f"r{len(outs)}.json"
        assert in_process("run", farm_file, "--json", out, *extra) == 0
        outs.append(json.loads(out.read_text()))
    for o in outs[1:]:
        assert o["turbines"] == outs[0]["turbines"] and o["cases"] == outs[0]["cases"]


def test_unwaked_farm_is_unchanged_by_any_spread():
    farm = make_farm([0.0], [0.0], [270.0, 270.0], [8.0, 11.0])
    base = farmrun.run(farm)
    for std in (3.0, 8.0, 45.0):
        got = farmrun.run(spread(farm, std))
        # Equal up to the last place of the working precision.
        torch.testing.assert_close(got.power, base.power, rtol=1e-12 if DOUBLE else 4e-7, atol=0)
        assert got.wind_direction_std == std


def test_expected_row_power_against_direct_integral():
    std = 5.0
    fine = np.linspace(270.0 - 8 * std, 270.0 + 8 * std, 4001)
    dense = farmrun.run(make_farm(ROW["x"], ROW["y"], list(fine), [8.0] * len(fine)))
    p = dense.farm_power.double().numpy()
    w = np.exp(-0.5 * ((fine - 270.0) / std) ** 2)
    want = np.trapezoid(p * w, fine) / np.trapezoid(w, fine)
    got = farmrun.run(spread(make_farm(ROW["x"], ROW["y"], [270.0], [8.0]), std))
    assert abs(float(got.farm_power[0]) / want - 1.0) < 1e-4
    # The spread spares the back turbine part of the aligned wake.
    nominal = farmrun.run(make_farm(ROW["x"], ROW["y"], [270.0], [8.0]))
    assert float(got.farm_power[0]) > 1.05 * float(nominal.farm_power[0])


def test_offsets_of_a_row_contribute_symmetrically():
    offsets, weights = direction_offsets(5.0)
    assert offsets == pytest.approx([-o for o in offsets[::-1]], abs=1e-12)
    assert weights == pytest.approx(weights[::-1], rel=1e-12) and sum(weights) == pytest.approx(1.0)
    r = farmrun.run(make_farm(ROW["x"], ROW["y"], [270.0 + o for o in offsets], [8.0] * len(offsets)))
    torch.testing.assert_close(r.farm_power, r.farm_power.flip(0), rtol=1e-5, atol=0)


@pytest.mark.skipif(not DOUBLE, reason="finite differences need the double build")
def test_layout_gradient_through_the_average():
    farm = spread(make_farm([0.0, 600.0, 1200.0], [0.0, 40.0, -30.0], [270.0, 275.0], [8.0, 9.0]), 4.0)
    energy = LayoutEnergy(farm, "sequential", "cpu", None, 1 << 28)
    check_layout_gradient(energy, np.array([0.0, 600.0, 1200.0]), np.array([0.0, 40.0, -30.0]),
                          abs_tol=1e-10)


def test_robust_yaw_beats_the_nominal_table_under_the_spread():
    farm = spread(steering_farm([0.0, 780.0, 1560.0], [0.0] * 3, [270.0], [8.0]), 5.0)
    r = optimize_yaw(farm)
    assert r.aep_nominal_table_gwh is not None
    assert r.aep_optimized_gwh >= r.aep_nominal_table_gwh * (1 - 1e-6)
    assert r.aep_optimized_gwh > r.aep_baseline_gwh


@pytest.mark.parametrize("value", ["-1", "nan", "46", "inf"])
def test_bad_spread_is_refused_in_one_line(value):
    r = cli("run", "--wind-direction-std", value)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.strip().splitlines() == [
        f"farmrun: error: --wind-direction-std: expected a number of degrees from 0 to 45, "
        f"got {float(value)!r}"]


@pytest.mark.parametrize("value, shown", [(-2, "-2"), ("5", "'5'"), (True, "True")])
def test_bad_spread_in_a_farm_file(value, shown):
    doc = dict(readme_example(), wind_direction_std=value)
    with pytest.raises(farmrun.FarmError, match=rf"^wind_direction_std: expected a number of "
                                                rf"degrees from 0 to 45, got {shown}$"):
        farmrun.farm_from_dict(doc)
