"""The flow plane against the solved rotors, a yawed wake in the plane, and the figures."""
import math
import struct

import pytest
import torch

from fixtures import DTYPE, example_with_variety, in_process, make_farm, no_solve  # noqa: F401

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
    w, h = png_size(b)  # at most the default, cut to the plane's aspect
    assert png_size(a) == (800, 400) and w <= 1400 and h <= 900
    assert main(["plane", "--direction", "270", "--speed", "-1", "--plot", str(b)]) == 2
    assert "farmrun: error: --speed: must be positive, got -1" in capsys.readouterr().err


# --- what the pictures show --------------------------------------------------------

def drawn(fig):
    fig.canvas.draw()  # places the axes, their aspect applied, and the legends
    return fig


def area_share(fig, ax) -> float:
    """The share of the figure the axes' drawing fills."""
    box = ax.get_window_extent()
    return box.width * box.height / (fig.bbox.width * fig.bbox.height)


@pytest.mark.parametrize("layout_x, layout_y", [([0.0, 910.0, 1820.0], [0.0, 0.0, 0.0]),
                                                ([0.0, 0.0, 0.0], [0.0, 910.0, 1820.0])])
def test_plane_of_a_row_fills_its_figure(layout_x, layout_y):
    from farmrun.plot import plane_figure
    # A row along the wind and one across it: wide and low, or tall and narrow.
    farm = make_farm(layout_x, layout_y, [270.0], [9.0])
    fig = drawn(plane_figure(flow_plane(farm, 270.0, 9.0, resolution=40.0)))
    assert area_share(fig, fig.axes[0]) > 0.45


def yaw_result(T, directions):
    from farmrun.optimize.yaw import YawBounds, YawResult
    F = len(directions)
    yaw = torch.linspace(-25.0, 25.0, F * T, dtype=torch.float64).reshape(F, T)
    return YawResult(
        layout_x=torch.arange(T, dtype=torch.float64), layout_y=torch.zeros(T, dtype=torch.float64),
        wind_directions=torch.tensor(directions, dtype=torch.float64),
        wind_speeds=torch.full((F,), 8.0, dtype=torch.float64),
        frequencies=torch.full((F,), 1.0 / F, dtype=torch.float64), yaw_angles=yaw,
        farm_power_baseline=torch.full((F,), 1e6, dtype=torch.float64),
        farm_power_optimized=torch.full((F,), 1.02e6, dtype=torch.float64),
        bounds=YawBounds(), solver="sequential", n_batches=1, evaluations=1,
        case_evaluations=1, iterations=1, searched=F, elapsed_s=0.0)


@pytest.mark.parametrize("T, lines", [(3, 3), (49, 0)])
def test_yaw_figure_draws_lines_for_a_few_turbines_and_a_map_for_many(T, lines):
    from matplotlib.collections import QuadMesh
    from farmrun.plot import yaw_figure
    ax = yaw_figure(yaw_result(T, [260.0, 270.0, 280.0])).axes[0]
    assert sum(line.get_marker() == "." for line in ax.lines) == lines
    assert any(isinstance(c, QuadMesh) for c in ax.collections) == (lines == 0)


def test_single_direction_gain_is_a_thin_bar():
    from farmrun.plot import yaw_figure
    gain = yaw_figure(yaw_result(3, [270.0])).axes[1]
    bar, = gain.patches
    assert bar.get_width() <= 2.0 and bar.get_x() + bar.get_width() / 2 == 270.0


def test_layout_legend_stays_off_the_map():
    from farmrun.optimize.geometry import site_regions
    from farmrun.optimize.layout import LayoutResult
    from farmrun.plot import layout_figure
    # A square site filled to its edges, as the legend used to cover.
    side = [0.0, 1000.0, 1000.0, 0.0]
    farm = make_farm([100.0, 900.0, 100.0, 900.0], [100.0, 100.0, 900.0, 900.0], [270.0],
                     [9.0], boundaries=[(side, [0.0, 0.0, 1000.0, 1000.0])])
    xy = farm.layout_x, farm.layout_y
    result = LayoutResult(*xy, *xy, aep_initial_gwh=1.0, aep_optimized_gwh=1.0,
                          min_spacing_m=200.0, iterations=0, evaluations=1, gradient_s=0.0,
                          elapsed_s=0.0, history=[1.0], regions=site_regions(farm))
    fig = drawn(layout_figure(result, farm))
    ax = fig.axes[0]
    assert not ax.get_legend().get_window_extent().overlaps(ax.get_window_extent())


@pytest.mark.parametrize("name, magic", [("farm.jpg", b"\xff\xd8\xff"), ("farm.svg", b"<?xml"),
                                         ("farm.pdf", b"%PDF")])
def test_plot_format_follows_the_extension(tmp_path, capsys, name, magic):
    out = tmp_path / name
    assert in_process("run", "--plot", out, "--size", "300x200") == 0
    assert out.read_bytes().startswith(magic)


@pytest.mark.parametrize("name, what", [("farm.xyz", "a .xyz file"),
                                        ("farm", "a file without an extension")])
def test_plot_format_matplotlib_cannot_draw_is_refused(tmp_path, capsys, no_solve, name, what):
    assert in_process("run", "--plot", tmp_path / name) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"farmrun: error: --plot: cannot draw {what} ") and err.count("\n") == 1
    assert ".png, " in err and list(tmp_path.iterdir()) == []
