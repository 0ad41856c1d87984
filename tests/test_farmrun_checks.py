"""Bad input ends in one line, exit status 2 and nothing written, before anything is solved;
a result that is not finite stops the run; Ctrl-C ends it in one line."""
import json

import pytest
import torch

from fixtures import DTYPE, edited, files_in, in_process, readme_example, setter, write_farm
from fixtures import no_solve  # noqa: F401  (a fixture)

import farmrun
import farmrun.cli
import farmrun.runner


# Inputs that gave NaN results, silent acceptance or a meaningless answer.
BAD_FARMS = [
    (setter("hub_heights", [30.0, 110.0, 110.0]),
     "hub_heights[0]: must be at least half the rotor diameter (65 m), got 30"),
    (setter("turbine.rotor_diameter", 1e5),
     "hub_heights[0]: must be at least half the rotor diameter (50000 m), got 110"),
    (setter("layout_x", [0.0, 0.0, 1820.0]),
     "layout: turbines 0 and 1 are 0 m apart, closer than one rotor diameter (130 m)"),
    (setter("layout_x", [0.0, 1820.0, 1820.05]),
     "layout: turbines 1 and 2 are 0.05 m apart, closer than one rotor diameter (130 m)"),
    (setter("wind_rose.turbulence_intensity", 6),
     "wind_rose.turbulence_intensity: must lie in [0, 1), got 6 (a fraction: 6 % is 0.06)"),
    (setter("turbine.ref_tilt", 90),
     "turbine.ref_tilt: must lie strictly between -90 and 90 degrees, got 90"),
]


@pytest.mark.parametrize("mutate, message", BAD_FARMS, ids=[m.split(":")[0] for _, m in BAD_FARMS])
def test_implausible_farm_stops_before_solving(tmp_path, capsys, no_solve, mutate, message):
    farm = write_farm(tmp_path, edited(mutate))
    assert in_process("run", farm, "--json", tmp_path / "out.json") == 2
    captured = capsys.readouterr()
    assert captured.err == f"farmrun: error: {message}\n" and captured.out == ""
    assert files_in(tmp_path) == ["farm.json"]


MORE_CHECKS = [
    (setter("turbine.thrust_coefficient.4", 1.2), "turbine.thrust_coefficient[4]: must lie in [0, 1], got 1.2"),
    (setter("wind_rose.turbulence_intensity", [0.06, 1.0, 0.06, 0.06]),
     "wind_rose.turbulence_intensity[1]: must lie in [0, 1), got 1"),
    (setter("model.alpha", 0.0), "model.alpha: must be above 0, got 0"),
    (setter("model.kb", -0.001), "model.kb: must be at least 0, got -0.001"),
    (setter("model.ch_downstream", 0.32), "model.ch_downstream: must be at most 0, got 0.32"),
    (setter("model.ch_ai_exp", -0.8), "model.ch_ai_exp: must be at least 0, got -0.8"),
    (setter("model.sigmoid_k", 0.0), "model.sigmoid_k: must be above 0, got 0"),
    (setter("model.grid_resolution", 26), "model.grid_resolution: expected an integer from 1 to 25, got 26"),
    (setter("model.jacobi_max_iters", 10 ** 40),
     "model.jacobi_max_iters: expected an integer from 1 to 1000000, got 100000"),
    (setter("layout_x.0", 10 ** 4000), "layout_x[0]: must be finite, got an integer of about 4001 digits"),
    (setter("tilt_angles", [5.0, 90.0, 5.0]), "tilt_angles[1]: must lie strictly between -90 and 90"),
]


@pytest.mark.parametrize("mutate, message", MORE_CHECKS, ids=[m.split(":")[0] for _, m in MORE_CHECKS])
def test_model_ranges_and_sizes(mutate, message):
    with pytest.raises(farmrun.FarmError) as err:
        farmrun.farm_from_dict(edited(mutate))
    assert str(err.value).startswith(message)


def test_plausible_extremes_are_accepted():
    # Exactly one diameter apart, hub at exactly half the diameter, no turbulence.
    doc = edited(setter("layout_x", [0.0, 130.0, 1820.0]), setter("hub_heights", [65.0] * 3),
                 setter("wind_rose.turbulence_intensity", 0.0), setter("turbine.ref_tilt", -89.0))
    r = farmrun.run(farmrun.farm_from_dict(doc))
    assert bool(torch.isfinite(r.power).all())


def test_closest_pair_is_found_among_many():
    farm = farmrun.example_farm()  # 7 x 5 diameters apart
    farm.layout_x = list(farm.layout_x)
    farm.layout_x[13] = farm.layout_x[9] + 129.0
    farm.layout_y = list(farm.layout_y)
    farm.layout_y[13] = farm.layout_y[9]
    with pytest.raises(farmrun.FarmError, match=r"^layout: turbines 9 and 13 are 129 m apart"):
        farmrun.run(farm)


def test_non_finite_result_stops_the_run(tmp_path, capsys, monkeypatch):
    real = farmrun.runner.table_power

    def poisoned(table, u, yaw, exponent):
        p = real(table, u, yaw, exponent)
        if p.shape[0] > 6:
            p = p.clone()
            p[6, 2] = float("nan")
        return p
    monkeypatch.setattr(farmrun.runner, "table_power", poisoned)
    farm = write_farm(tmp_path, readme_example())
    assert in_process("run", farm, "--json", tmp_path / "r.json", "--plot", tmp_path / "r.png") == 2
    assert capsys.readouterr().err == (
        "farmrun: error: results: case 6 (wind from 90 deg at 11 m/s), turbine 2: power is nan; "
        "the inputs are outside what the model can compute\n")
    assert files_in(tmp_path) == ["farm.json"]


@pytest.mark.skipif(DTYPE != torch.float32, reason="the cube of 1e19 m/s overflows only in float32")
def test_absurd_wind_speed_is_caught_by_the_result_check():
    farm = farmrun.farm_from_dict(edited(setter("wind_rose.wind_speeds.3", 1e19)))
    with pytest.raises(farmrun.FarmError, match=r"^results: case 3 \(wind from 0 deg at 1e\+19 m/s\), "
                                                 r"turbine 0: rotor velocity is nan"):
        farmrun.run(farm)


# --- no traceback, whatever the input ---------------------------------------

def deep(tmp_path):
    return write_farm(tmp_path, "[" * 100_000 + "]" * 100_000)


def long_int(tmp_path):
    return write_farm(tmp_path, '{"layout_x": [1' + "0" * 5000 + "]}")


def top_list(tmp_path):
    return write_farm(tmp_path, "[1, 2]")


def deep_value(tmp_path):
    value = [0.0]
    for _ in range(17):
        value = [value]
    return write_farm(tmp_path, json.dumps(edited(setter("layout_x", value))))


PLANE = ("plane", "--direction", "270", "--speed", "8")
NO_TRACEBACK = [
    (deep, ("run",), "farm.json: nested more than 16 levels deep (a farm file needs at most 4)"),
    (deep_value, ("run",), "farm.json: nested more than 16 levels deep"),
    (long_int, ("run",), "farm.json: not valid JSON: an integer of more than 4300 digits"),
    (top_list, ("run",), "farm.json: expected a JSON object with the keys layout_x, layout_y, "
                         "turbine at the top level, got a list"),
    (None, PLANE + ("--margin", "-5000"), "--margin: must not be negative, got -5000"),
    (None, PLANE + ("--resolution", "5000"),
     "--resolution: 5000 m leaves fewer than 2 points across the 4420 m x 2730 m plane"),
    (None, PLANE + ("--margin", "1e300"), "--margin: a plane of 2e+300 m x 2e+300 m at 10 m"),
    (None, PLANE + ("--ti", "6"), "--ti: must lie in [0, 1), got 6 (a fraction: 6 % is 0.06)"),
    (None, PLANE + ("--height", "0"), "--height: must be positive, got 0"),
    (None, PLANE + ("--speed", "nan"), "--speed: must be finite, got nan"),
]


@pytest.mark.parametrize("make, args, message", NO_TRACEBACK, ids=[m.split(":")[0] + str(i) for i, (_, _, m) in enumerate(NO_TRACEBACK)])
def test_no_traceback_for_any_input(tmp_path, capsys, no_solve, make, args, message):
    out = tmp_path / "out.png"
    farm = [make(tmp_path)] if make else []
    assert in_process(args[0], *farm, *args[1:], "--plot", out) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"farmrun: error: {tmp_path / message if make else message}"), err
    assert err.count("\n") == 1 and not out.exists()


@pytest.mark.parametrize("where", ["run", "write"])
def test_ctrl_c_ends_with_130_and_one_line(tmp_path, capsys, monkeypatch, where):
    def interrupt(*a, **k):
        raise KeyboardInterrupt
    if where == "run":
        monkeypatch.setattr(farmrun.cli, "run", interrupt)
    else:
        monkeypatch.setattr("farmrun.io.atomic.os.replace", interrupt)
    farm = write_farm(tmp_path, readme_example())
    assert in_process("run", farm, "--json", tmp_path / "r.json") == 130
    assert capsys.readouterr().err == "farmrun: interrupted\n"
    assert files_in(tmp_path) == ["farm.json"]  # no temporary file left behind
