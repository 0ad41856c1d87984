"""The command line end to end, in a subprocess with this interpreter and module path."""
import json
import subprocess

import pytest

from fixtures import ROOT, cli, in_process, readme_example

import farmrun


SUMMARY = ("Farm summary", "AEP with wakes:", "AEP without wakes:", "wake loss:", "8766 h per year")


@pytest.mark.float64
def test_built_in_example():
    r = cli("run")
    assert r.returncode == 0, r.stderr
    for line in SUMMARY:
        assert line in r.stdout
    rows = [l for l in r.stdout.splitlines() if l.split() and l.split()[0].isdigit()]
    assert [int(l.split()[0]) for l in rows] == list(range(16))
    assert "Traceback" not in r.stderr


def test_farm_file_with_json_output(tmp_path):
    farm = tmp_path / "farm.json"
    farm.write_text(json.dumps(readme_example()))
    out = tmp_path / "results.json"
    r = cli("run", farm, "--solver", "jacobi", "--batch", "3", "--json", out)
    assert r.returncode == 0, r.stderr
    for line in SUMMARY:
        assert line in r.stdout
    doc = json.loads(out.read_text())
    assert doc["solver"] == "jacobi" and len(doc["turbines"]) == 3
    assert len(doc["cases"]["farm_power_w"]) == 16
    assert len(doc["cases"]["turbine_power_w"][0]) == 3
    s = doc["summary"]
    assert f"{s['aep_gwh']:12.3f} GWh" in r.stdout
    assert s["hours_per_year"] == 8766.0
    assert sum(t["aep_gwh"] for t in doc["turbines"]) == pytest.approx(s["aep_gwh"])
    # The same numbers as the library gives.
    energy = farmrun.annual_energy(farmrun.run(farmrun.load_farm_file(farm), solver="jacobi"))
    assert s["aep_gwh"] == pytest.approx(energy.aep_gwh, rel=1e-6)


@pytest.mark.parametrize("edit, message", [
    (lambda d: d["turbine"].__setitem__("rotor_diameter", -130),
     "farmrun: error: turbine.rotor_diameter: must be positive, got -130"),
    (lambda d: d.__setitem__("layout_y", [0.0]), "farmrun: error: layout_y: expected 3 values, got 1"),
    (lambda d: d["wind_rose"].__setitem__("frequencies", [[0.1] * 4] * 4),
     "farmrun: error: wind_rose.frequencies: must sum to 1, got 1.6"),
    (lambda d: d["turbine"]["power"].__setitem__(4, float("nan")),
     "farmrun: error: turbine.power[4]: must be finite, got nan"),
    (lambda d: d.__setitem__("yaw", [0.0] * 3), "farmrun: error: yaw: unknown key"),
    ("{not json", "farmrun: error: "),
])
def test_bad_file_exits_with_the_message_and_writes_nothing(tmp_path, capsys, edit, message):
    farm = tmp_path / "farm.json"
    if isinstance(edit, str):
        farm.write_text(edit)
    else:
        doc = readme_example()
        edit(doc)
        farm.write_text(json.dumps(doc))  # NaN is written as the JSON extension NaN
    out = tmp_path / "results.json"
    assert in_process("run", farm, "--json", out) == 2
    captured = capsys.readouterr()
    assert captured.err.startswith(message) and captured.out == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["farm.json"]


def test_bad_file_in_a_subprocess_gives_no_traceback(tmp_path):
    doc = readme_example()
    doc["hub_heights"][1] = 0.0
    farm = tmp_path / "farm.json"
    farm.write_text(json.dumps(doc))
    r = cli("run", farm, "--json", tmp_path / "results.json")
    assert r.returncode == 2
    assert r.stderr == "farmrun: error: hub_heights[1]: must be positive, got 0\n"
    assert r.stdout == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["farm.json"]


def test_bad_arguments(tmp_path, capsys):
    assert in_process("run", "--batch", "0") == 2
    assert "expected a positive integer, got 0" in capsys.readouterr().err
    assert in_process("run", "--solver", "fancy") == 2
    assert "invalid choice: 'fancy'" in capsys.readouterr().err
    assert in_process("run", tmp_path / "absent.json") == 2
    assert "absent.json: cannot read the farm file" in capsys.readouterr().err


def test_dev_script_is_quiet_when_nothing_builds():
    r = subprocess.run([str(ROOT / "tools" / "dev"), "python", "-c", "print('ok')"],
                       capture_output=True, text=True, timeout=600)
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")
