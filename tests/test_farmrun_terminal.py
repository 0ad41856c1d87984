"""What a user at the terminal sees: --version, option help, notes, the engine named in
the header and the files, and Ctrl-C while the packages are still loading."""
import json
import os
import pathlib
import re
import signal
import subprocess
import time

import pytest
import xarray as xr

from fixtures import ROOT, edited, in_process, setter, write_farm


def test_version_is_the_package_metadata(capsys):
    from importlib import metadata
    try:
        expected = metadata.version("sorbane-cpp")
    except metadata.PackageNotFoundError:  # a checkout: pyproject.toml holds it
        import tomllib
        expected = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert in_process("--version") == 0
    assert capsys.readouterr().out == f"farmrun {expected}\n"


@pytest.mark.parametrize("command", ["run", "plane", "optimize-yaw", "optimize-layout"])
def test_solver_and_device_are_explained(capsys, command):
    assert in_process(command, "--help") == 0
    text = capsys.readouterr().out
    # An option without help is followed straight by the next option.
    for option in (r"--solver \{sequential,jacobi\}", r"--device \{cpu,cuda\}"):
        assert re.search(option + r"\s+(?!-)\w", text), option


@pytest.mark.parametrize("switches", [(), ("enable_transverse_velocities",
                                           "enable_yaw_added_recovery")])
def test_plane_notes_the_switches_it_leaves_out(tmp_path, capsys, switches):
    doc = edited(*(setter(f"model.{s}", True) for s in switches))
    farm = write_farm(tmp_path, doc)
    assert in_process("plane", farm, "--direction", "270", "--speed", "9", "--resolution", "80",
                      "--plot", tmp_path / "plane.png") == 0
    err = capsys.readouterr().err
    if not switches:
        assert err == ""
    else:
        assert err == ("farmrun: note: the plane leaves out model.enable_transverse_velocities, "
                       "model.enable_yaw_added_recovery, which the farm turns on; behind yawed "
                       "turbines it can differ from the solved rotors\n")


def test_header_and_files_name_the_engine(tmp_path, capsys):
    out, nc = tmp_path / "r.json", tmp_path / "r.nc"
    assert in_process("run", "--json", out, "--netcdf", nc) == 0
    assert ", engine local, " in capsys.readouterr().out.splitlines()[0]
    assert json.loads(out.read_text())["engine"] == "local"
    with xr.open_dataset(nc) as ds:
        assert ds.attrs["engine"] == "local"


def loading_torch(group: int) -> int | None:
    """The process of ``group`` that has torch's libraries mapped, if any."""
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            pid, fields = stat.parent.name, stat.read_text().rsplit(")", 1)[1].split()
            if int(fields[2]) == group and "libtorch" in (stat.parent / "maps").read_text():
                return int(pid)
        except (OSError, IndexError, ValueError):
            continue
    return None


@pytest.mark.skipif(not pathlib.Path("/proc/self/maps").exists(), reason="needs /proc")
def test_ctrl_c_while_loading_is_one_line(tmp_path):
    ninja, build = ROOT / ".venv" / "bin" / "ninja", ROOT / "build" / "float32"
    dry = subprocess.run([ninja, "-C", build, "-n"], capture_output=True, text=True)
    if dry.returncode != 0 or "no work to do" not in dry.stdout:
        pytest.skip("tools/dev would build first")
    p = subprocess.Popen([ROOT / "tools" / "dev", "python", "-m", "farmrun", "run"], cwd=tmp_path,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        # Once torch's libraries are mapped, the imports have a second or more to go.
        deadline = time.monotonic() + 60
        while (pid := loading_torch(p.pid)) is None:
            assert p.poll() is None and time.monotonic() < deadline
            time.sleep(0.005)
        os.kill(pid, signal.SIGINT)
        out, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
    assert (p.returncode, err, out) == (130, "farmrun: interrupted\n", "")
