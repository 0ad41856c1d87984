"""The flow plane against the solved rotors, a yawed wake in the plane, and the figures."""
import math
import struct

import pytest
import torch

from fixtures import DTYPE, example_with_variety, make_farm

import farmrun
from farmrun import flow
from farmrun.flow import flow_plane, solve_case
from farmrun.plot import plot_farm, plot_plane

# Two units in the last place of 8 m/s in float32; in float64 the solver's floor of
# 1e-20 under the root of the combined deficit (1e-10 m/s) dominates.
AGREE = dict(rtol=0.0, atol=2e-6) if DTYPE == torch.float32 else dict(rtol=0.0, atol=1e-9)


def world_points(case):
    """The solved rotor points turned back from the wind frame into world coordinates."""
    g = case.records.grid
    dx, dy = g.x_sorted - case.xc, g.y_sorted - case.yc
    return (dx * case.cos_t + dy * case.sin_t + case.xc,
            -dx * case.sin_t + dy * case.cos_t + case.yc, g.z_sorted)


@pytest.mark.float64
@pytest.mark.parametrize("solver", ["sequential", "jacobi"])
@pytest.mark.parametrize("direction", [270.0, 303.0, 45.0])
def test_plane_at_the_rotor_points_reproduces_the_solved_velocities(solver, direction):
    farm = example_with_variety(1)
    farm.yaw_angles = [(7.0 * t) % 25.0 - 10.0 for t in range(16)]  # one row for all cases
    case = solve_case(farm, direction, 9.0, 0.08, solver=solver)
    solved = case.records.ff.u_sorted
    assert float((case.records.ff.u_initial_sorted - solved).max()) > 0.3  # there are wakes
    g = case.records.grid
    torch.testing.assert_close(case.velocity_wind_frame(g.x_sorted, g.y_sorted, g.z_sorted),
                               solved, **AGREE)
    # Through world coordinates too, the points turned back from the wind frame.
    torch.testing.assert_close(case.velocity(*world_points(case)), solved, **AGREE)


def test_chunked_plane_equals_one_chunk(monkeypatch):
    case = solve_case(farmrun.example_farm(), 250.0, 8.0)
    x = torch.linspace(-500.0, 3500.0, 101, dtype=DTYPE)
    y = torch.linspace(-300.0, 2300.0, 23, dtype=DTYPE).unsqueeze(1)
    z = torch.full((23, 101), 110.0, dtype=DTYPE)
    whole = case.velocity(x, y, z)
    monkeypatch.setattr(flow, "POINTS_PER_CHUNK", 7)
    assert torch.equal(case.velocity(x, y, z), whole)
    assert whole.shape == (23, 101) and float(whole.min()) < 6.0


@pytest.mark.float64
@pytest.mark.parametrize("yaw", [20.0, -20.0])
@pytest.mark.parametrize("direction", [270.0, 0.0])
def test_yawed_front_turbine_moves_the_wake_with_the_sign_of_the_deflection(yaw, direction):
    D = 100.0
    farm = make_farm([0.0], [0.0], [direction], [9.0], wind_shear=0.0, yaw_angles=[yaw])
    case = solve_case(farm, direction, 9.0, 0.06)
    c = case.cfg
    # Wake-centre offset 5 diameters downstream, from the deflection operator (wind frame).
    delta = float(torch.ops.sorbane_cpp.gauss_deflection(
        case.xbar, case.ybar, case.xbar + 5.0 * D, case.ct, case.yaw, case.ti, case.diam,
        c.alpha, c.beta, c.ka, c.kb, c.ad, c.bd, c.dm))
    assert abs(delta) > 0.15 * D and math.copysign(1.0, delta) == -math.copysign(1.0, yaw)
    # A line across the wind 5 D downstream, at hub height, 0.5 m apart.
    s = torch.arange(-150.0, 150.5, 0.5, dtype=DTYPE)
    far, hub = torch.full_like(s, 5.0 * D), torch.full_like(s, 100.0)
    # Wind from the west blows towards +x, across is y; from the north it blows
    # towards -y, and the wind frame's +y is world +x.
    line = (far, s, hub) if direction == 270.0 else (s, -far, hub)
    assert float(s[torch.argmin(case.velocity(*line))]) == pytest.approx(delta, abs=0.5)
    unyawed = solve_case(make_farm([0.0], [0.0], [direction], [9.0], wind_shear=0.0),
                         direction, 9.0, 0.06)
    assert float(s[torch.argmin(unyawed.velocity(*line))]) == 0.0


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def test_farm_figure_is_written_with_the_requested_size(tmp_path):
    farm = farmrun.example_farm()
    result = farmrun.run(farm)
    out = tmp_path / "farm.png"
    shown = plot_farm(farm, result, farmrun.annual_energy(result), out, size=(900, 420))
    assert png_size(out) == (900, 420) and out.stat().st_size > 10_000
    assert float(result.frequencies[shown]) == float(result.frequencies.max())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["farm.png"]


def test_plane_figure_is_written_with_the_requested_size(tmp_path):
    plane = flow_plane(farmrun.example_farm(), 240.0, 8.0, resolution=60.0)
    assert plane.u.shape == (plane.y.shape[0], plane.x.shape[0])
    # Default extent: 3 D around the layout, 7 D more downstream (wind towards the east-north-east).
    assert float(plane.x[0]) == pytest.approx(-390.0)
    assert float(plane.x[-1]) > 2730.0 + 3 * 130.0 + 7 * 130.0 * math.sin(math.radians(60.0)) - 60.0
    assert float(plane.u.min()) < 6.5 and float(plane.u.max()) == pytest.approx(8.0, abs=1e-3)
    out = tmp_path / "plane.png"
    plot_plane(plane, out, size=(640, 480))
    assert png_size(out) == (640, 480) and out.stat().st_size > 10_000


def test_command_line_plots(tmp_path, capsys):
    from farmrun.__main__ import main
    a, b = tmp_path / "a.png", tmp_path / "b.png"
    assert main(["run", "--plot", str(a), "--size", "800x400"]) == 0
    assert main(["plane", "--direction", "270", "--speed", "9", "--resolution", "80",
                 "--plot", str(b)]) == 0
    out = capsys.readouterr().out
    assert f"figure written to {a}" in out and f"figure written to {b}" in out
    assert png_size(a) == (800, 400) and png_size(b) == (1400, 900)
    assert main(["plane", "--direction", "270", "--speed", "-1", "--plot", str(b)]) == 2
    assert "farmrun: error: --speed: must be positive, got -1" in capsys.readouterr().err
