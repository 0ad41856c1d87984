"""Output paths are checked before any solving; result files are written whole, with the mode
of the umask, all or none; the JSON results echo the inputs with units and settings."""
import json
import os
import stat

import pytest

from fixtures import DTYPE, edited, files_in, in_process, readme_example, setter, write_farm
from fixtures import no_solve  # noqa: F401  (a fixture)

from farmrun.io.atomic import write_outputs


def bad_paths(tmp_path):
    (tmp_path / "folder").mkdir()
    missing = tmp_path / "no" / "such" / "x.png"
    return [
        (("run", "--json", tmp_path / "ok.json", "--plot", missing),
         f"--plot: {missing}: the folder {missing.parent} does not exist"),
        (("run", "--json", tmp_path / "no" / "r.json"),
         f"--json: {tmp_path / 'no' / 'r.json'}: the folder {tmp_path / 'no'} does not exist"),
        (("run", "--json", tmp_path / "folder"), f"--json: {tmp_path / 'folder'}: is a folder, expected a file name"),
        (("run", "--json", tmp_path / "a.png", "--plot", tmp_path / "a.png"),
         f"--plot: {tmp_path / 'a.png'}: the same file as --json"),
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
