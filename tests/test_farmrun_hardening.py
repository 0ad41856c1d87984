"""Bad input and bad output paths end in one line and nothing written; Jacobi sweeps settle."""
import copy
import json
import os
import stat
import subprocess
from pathlib import Path

import pytest
import torch

from fixtures import DTYPE

import farmrun
import farmrun.__main__ as cli_main
from farmrun import FarmDescription, FlowCases, ModelOptions
from farmrun.model import jacobi_sweep_limit, longest_chain
from farmrun.outputs import write_outputs
from test_farmrun_cli import in_process
from test_farmrun_files import readme_example, setter

ROOT = Path(__file__).resolve().parents[1]


def write_farm(tmp_path, doc) -> Path:
    farm = tmp_path / "farm.json"
    farm.write_text(doc if isinstance(doc, str) else json.dumps(doc))
    return farm


def edited(*mutations):
    doc = copy.deepcopy(readme_example())
    for m in mutations:
        m(doc)
    return doc


def files_in(path):
    return sorted(p.name for p in path.iterdir())


@pytest.fixture
def no_solve(monkeypatch):
    """Fails the test if the command line gets as far as solving."""
    def never(*a, **k):
        raise AssertionError("solved although the run should have stopped before")
    monkeypatch.setattr(cli_main, "run", never)
    monkeypatch.setattr("farmrun.plotting.solve_case", never)


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


def row_farm(n=40, model=None):
    """A west-east row 1.5 diameters apart in laminar inflow: every wake reaches
    far, so the Jacobi sweeps settle only after n - 1 of them."""
    t = farmrun.iea_3p4_130()
    x = [1.5 * t.rotor_diameter * i for i in range(n)]
    return FarmDescription(x, [0.0] * n, t, FlowCases([270.0], [7.0], [0.0], [1.0]),
                           model=model or ModelOptions())


@pytest.mark.float64
def test_jacobi_settles_on_a_farm_that_needs_more_than_30_sweeps():
    seq = farmrun.run(row_farm(), solver="sequential")
    jac = farmrun.run(row_farm(), solver="jacobi")
    assert (jac.longest_chains, jac.sweep_limits) == ([40], [40])
    assert not jac.sweeps_may_not_have_settled
    torch.testing.assert_close(jac.rotor_velocity, seq.rotor_velocity, rtol=0.0, atol=1e-4)
    assert float(jac.farm_power[0]) == pytest.approx(float(seq.farm_power[0]), rel=1e-5)
    # The old fixed limit of 30 sweeps stops far from the answer, and says so.
    short = farmrun.run(row_farm(model=ModelOptions(jacobi_max_iters=30)), solver="jacobi")
    assert short.sweeps_may_not_have_settled
    assert float(short.farm_power[0]) > 1.5 * float(seq.farm_power[0])


def test_too_few_jacobi_sweeps_are_reported(tmp_path, capsys):
    farm = row_farm(model=ModelOptions(jacobi_max_iters=30))
    doc = edited(setter("layout_x", farm.layout_x), setter("layout_y", farm.layout_y),
                 setter("hub_heights", None), setter("yaw_angles", None),
                 setter("model.jacobi_max_iters", 30))
    out = tmp_path / "out.json"
    assert in_process("run", write_farm(tmp_path, doc), "--solver", "jacobi", "--json", out) == 0
    err = capsys.readouterr().err
    assert err.startswith("farmrun: warning: the Jacobi sweeps may not have settled: "
                          "model.jacobi_max_iters 30 is below the 39 sweeps a downstream chain "
                          "of 40 turbines needs")
    j = json.loads(out.read_text())["jacobi"]
    assert j["may_not_have_settled"] and j["longest_chain"] == [1, 40, 1, 40]  # across the row: side by side


@pytest.mark.parametrize("x, expected", [
    ([0.0, 910.0, 1820.0], 3),
    ([0.0, 0.0, 0.0], 1),                   # side by side: no wake between them
    ([0.0, 0.05, 0.1, 0.2], 2),             # a wake needs more than 0.1 m
    ([0.0, 0.1, 0.2, 0.3], 2),              # 0 -> 0.2 (0.1 is not beyond 0.1)
    ([[0.0, 500.0, 1000.0], [0.0, 0.0, 9.0]], 3),  # the longest over the cases
    ([300.0, -50.0, 100.0, 100.05, 299.0], 4),
])
def test_longest_chain(x, expected):
    assert longest_chain(torch.tensor(x, dtype=torch.float64)) == expected


@pytest.mark.parametrize("options, chain, limit", [
    (dict(), 40, 40),
    (dict(), 1, 1),
    (dict(enable_secondary_steering=True), 40, 81),
    (dict(enable_yaw_added_recovery=True), 40, 40),   # without transverse velocities: no effect
    (dict(enable_yaw_added_recovery=True, enable_transverse_velocities=True), 40, 81),
    (dict(jacobi_max_iters=30), 40, 30),
])
def test_jacobi_sweep_limit(options, chain, limit):
    assert jacobi_sweep_limit(chain, ModelOptions(**options)) == limit


# --- output paths and files --------------------------------------------------

def bad_paths(tmp_path):
    (tmp_path / "folder").mkdir()
    missing = tmp_path / "no" / "such" / "x.png"
    return [
        (("run", "--json", tmp_path / "ok.json", "--plot", missing),
         f"--plot: {missing}: the folder {missing.parent} does not exist"),
        (("run", "--json", tmp_path / "no" / "r.json"),
         f"--json: {tmp_path / 'no' / 'r.json'}: the folder {tmp_path / 'no'} does not exist"),
        (("run", "--json", tmp_path / "folder"), f"--json: {tmp_path / 'folder'}: is a folder, expected a file name"),
        (("run", "--json", tmp_path / "a.out", "--plot", tmp_path / "a.out"),
         f"--plot: {tmp_path / 'a.out'}: the same file as --json"),
        (("run", "--json", tmp_path / "farm.json" / "x.json"),
         f"--json: {tmp_path / 'farm.json' / 'x.json'}: {tmp_path / 'farm.json'} is not a folder"),
        (("plane", "--direction", "270", "--speed", "8", "--plot", missing),
         f"--plot: {missing}: the folder {missing.parent} does not exist"),
    ]


@pytest.mark.parametrize("case", range(6))
def test_bad_output_path_fails_before_solving(tmp_path, capsys, no_solve, case):
    farm = write_farm(tmp_path, readme_example())
    args, message = bad_paths(tmp_path)[case]
    assert in_process(args[0], farm, *args[1:]) == 2
    assert capsys.readouterr().err == f"farmrun: error: {message}\n"
    assert files_in(tmp_path) == ["farm.json", "folder"]


def test_target_that_is_no_regular_file_is_refused(tmp_path, capsys, no_solve):
    # The result would be renamed over it: a pipe (or a device) must stay.
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert in_process("run", "--json", fifo) == 2
    assert capsys.readouterr().err == f"farmrun: error: --json: {fifo}: is not a regular file\n"
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


@pytest.mark.skipif(not os.path.isdir("/proc/self") or os.geteuid() != 0,
                    reason="needs Linux's /proc and root (others fail the permission check)")
def test_folder_that_takes_no_file_fails_before_solving(capsys, no_solve):
    # /proc passes the permission check for root but takes no new file.
    assert in_process("run", "--json", "/proc/r.json") == 2
    err = capsys.readouterr().err
    assert err.startswith("farmrun: error: --json: /proc/r.json: cannot create a file in /proc: ")


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write into any folder")
def test_read_only_folder_fails_before_solving(tmp_path, capsys, no_solve):
    ro = tmp_path / "ro"
    ro.mkdir(mode=0o555)
    assert in_process("run", "--json", ro / "r.json") == 2
    assert capsys.readouterr().err == f"farmrun: error: --json: {ro / 'r.json'}: the folder {ro} is not writable\n"


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)])
def test_result_files_get_the_mode_of_the_umask(tmp_path, umask, mode):
    farm = write_farm(tmp_path, readme_example())
    old = os.umask(umask)
    try:
        assert in_process("run", farm, "--json", tmp_path / "r.json", "--plot", tmp_path / "r.png") == 0
    finally:
        os.umask(old)
    for name in ("r.json", "r.png"):
        assert stat.S_IMODE((tmp_path / name).stat().st_mode) == mode, name
    assert files_in(tmp_path) == ["farm.json", "r.json", "r.png"]


def test_several_outputs_are_all_written_or_none(tmp_path):
    a, b = tmp_path / "a.json", tmp_path / "gone" / "b.png"
    with pytest.raises(OSError) as err:
        write_outputs({a: b"{}", b: b"png"})
    assert err.value.filename == str(b)  # the user's path, not a temporary name
    assert files_in(tmp_path) == []
    a.write_bytes(b"old")
    (tmp_path / "gone").mkdir()
    write_outputs({a: b"{}", b: b"png"})
    assert a.read_bytes() == b"{}" and b.read_bytes() == b"png"


# --- results and the document -----------------------------------------------

def test_non_finite_result_stops_the_run(tmp_path, capsys, monkeypatch):
    real = farmrun.model.table_power

    def poisoned(table, u, yaw, exponent):
        p = real(table, u, yaw, exponent)
        if p.shape[0] > 6:
            p = p.clone()
            p[6, 2] = float("nan")
        return p
    monkeypatch.setattr(farmrun.model, "table_power", poisoned)
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


def test_document_echoes_the_inputs_with_units_and_settings(tmp_path):
    doc = edited(setter("layout_x", [0.1, 910.3, 1820.7]), setter("wind_shear", 0.143),
                 setter("model.ka", 0.3837))
    out = tmp_path / "r.json"
    assert in_process("run", write_farm(tmp_path, doc), "--json", out) == 0
    r = json.loads(out.read_text())
    # As written in the farm file, not as their float32 rounding (910.29998779...).
    assert [t["x"] for t in r["turbines"]] == [0.1, 910.3, 1820.7]
    assert r["cases"]["turbulence_intensity"][0] == 0.06
    assert r["inputs"]["wind_shear"] == 0.143 and r["inputs"]["reference_wind_height"] == 110.0
    assert r["inputs"]["model"]["ka"] == 0.3837 and r["inputs"]["model"]["jacobi_max_iters"] is None
    assert r["inputs"]["yaw_angles"] == [[0.0] * 3] * 16
    assert r["inputs"]["tilt_angles"] == [[5.0] * 3] * 16
    assert r["working_precision"] == str(DTYPE).replace("torch.", "")
    assert r["solver"] == "sequential" and r["version"] == "0.1.0"
    for key in ("x", "hub_height", "mean_speed", "wind_speed", "turbine_rotor_velocity"):
        assert r["units"][key].startswith("m")


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
        monkeypatch.setattr(cli_main, "run", interrupt)
    else:
        monkeypatch.setattr("farmrun.outputs.os.replace", interrupt)
    farm = write_farm(tmp_path, readme_example())
    assert in_process("run", farm, "--json", tmp_path / "r.json") == 130
    assert capsys.readouterr().err == "farmrun: interrupted\n"
    assert files_in(tmp_path) == ["farm.json"]  # no temporary file left behind


def test_dev_script_is_quiet_when_nothing_builds():
    r = subprocess.run([str(ROOT / "tools" / "dev"), "python", "-c", "print('ok')"],
                       capture_output=True, text=True, timeout=600)
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")
