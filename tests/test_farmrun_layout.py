"""Layout optimisation: the boundary, the AEP gradient, feasibility and the command line."""
import json
import math

import numpy as np
import pytest

from fixtures import (DOUBLE, TEST_POWER, TEST_SPEEDS, TEST_THRUST, WINDIO_ROSE,
                      check_layout_gradient, small_turbine, small_windio_system)

import farmrun
from farmrun import FarmDescription, FarmError, FlowCases
from farmrun.__main__ import main
from farmrun.io.farm_file import farm_from_dict, farm_to_dict
from farmrun.io.windio import system_from_dict
from farmrun.optimize.geometry import (Circle, boundary_distance, check_polygon, site_regions,
                                       spacing_constraints)
from farmrun.optimize.layout import LayoutEnergy, optimize_layout

D = 100.0
SQUARE = [[0.0, 0.0], [1000.0, 0.0], [1000.0, 1000.0], [0.0, 1000.0]]
# An L: the square less its north-east quarter.
ELL = [[0.0, 0.0], [1000.0, 0.0], [1000.0, 500.0], [500.0, 500.0], [500.0, 1000.0],
       [0.0, 1000.0]]


def farm(x, y, wd=(270.0,), ws=(8.0,), boundary=SQUARE, circle=None):
    n = len(wd)
    cases = FlowCases(wind_directions=list(wd), wind_speeds=list(ws),
                      turbulence_intensities=[0.06] * n, frequencies=[1.0 / n] * n)
    ring = [v[0] for v in boundary], [v[1] for v in boundary]
    return FarmDescription(layout_x=list(x), layout_y=list(y), turbine=small_turbine(), cases=cases,
                           wind_shear=0.0, boundaries=[ring], boundary_circle=circle)


def farm_document(x, y, boundary=SQUARE):
    return {"name": "small", "layout_x": list(x), "layout_y": list(y), "boundary": boundary,
            "turbine": {"rotor_diameter": D, "hub_height": 100.0, "wind_speed": TEST_SPEEDS,
                        "power": TEST_POWER, "thrust_coefficient": TEST_THRUST},
            "wind_rose": {"wind_directions": [250.0, 300.0], "wind_speeds": [8.0, 10.0],
                          "frequencies": [[0.3, 0.2], [0.3, 0.2]]},
            "wind_shear": 0.0}


# --- the boundary -------------------------------------------------------------

@pytest.mark.parametrize("shape, point, expected", [
    ("square", (500.0, 500.0), 500.0),    # the centre
    ("square", (100.0, 300.0), 100.0),    # nearest the west edge
    ("square", (-30.0, 500.0), -30.0),    # outside, west
    ("square", (1030.0, 1040.0), -50.0),  # outside, past the corner: 30-40-50
    ("ell", (700.0, 900.0), -200.0),      # in the notch, nearest the inner edge x = 500
    ("ell", (450.0, 480.0), math.hypot(50.0, 20.0)),  # inside: nearest is the notch's corner
    ("ell", (530.0, 540.0), -30.0),       # in the notch, nearer its edge x = 500
])
def test_signed_distance_by_hand(shape, point, expected):
    poly = check_polygon("b", ELL if shape == "ell" else SQUARE)
    d, _, _ = boundary_distance([poly], np.array([point[0]]), np.array([point[1]]))
    assert float(d[0]) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("shape", ["square", "ell", "circle", "two squares"])
def test_boundary_gradient_matches_finite_differences(shape):
    regions = {"square": [check_polygon("b", SQUARE)], "ell": [check_polygon("b", ELL[::-1])],
               "circle": [Circle(500.0, 400.0, 450.0)],
               "two squares": [check_polygon("b", SQUARE),
                               check_polygon("b", [[x + 1500, y] for x, y in SQUARE])]}[shape]
    rng = np.random.default_rng(3)
    px, py = rng.uniform(-300, 2700, 40), rng.uniform(-300, 1300, 40)
    _, gx, gy = boundary_distance(regions, px, py)
    h = 1e-4
    fx = (boundary_distance(regions, px + h, py)[0] - boundary_distance(regions, px - h, py)[0])
    fy = (boundary_distance(regions, px, py + h)[0] - boundary_distance(regions, px, py - h)[0])
    np.testing.assert_allclose(gx, fx / (2 * h), atol=1e-6)
    np.testing.assert_allclose(gy, fy / (2 * h), atol=1e-6)


def test_spacing_jacobian_matches_finite_differences():
    rng = np.random.default_rng(4)
    px, py = rng.uniform(0, 900, 5), rng.uniform(0, 900, 5)
    pairs = np.triu_indices(5, 1)
    g, jac = spacing_constraints(px, py, pairs, 200.0)
    i, j = pairs
    np.testing.assert_allclose(g, (px[i] - px[j]) ** 2 + (py[i] - py[j]) ** 2 - 200.0 ** 2)
    z, h = np.concatenate([px, py]), 1e-3
    for k in range(10):
        e = np.zeros(10)
        e[k] = h
        fd = (spacing_constraints(*np.split(z + e, 2), pairs, 200.0)[0]
              - spacing_constraints(*np.split(z - e, 2), pairs, 200.0)[0]) / (2 * h)
        np.testing.assert_allclose(jac[:, k], fd, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("boundary, message", [
    ([[0, 0], [1, 0]], "boundary: expected at least 3 vertices, got 2"),
    ([[0, 0], [1, 0], [0, 1], [0, 0]], None),  # closed by repeating the first: fine
    ([[0, 0], [1, 0], [1, float("nan")]], "boundary[2][1]: must be finite, got nan"),
    ([[0, 0], [1, 0, 2], [0, 1]], "boundary[1]: expected 2 values, got 3"),
    ([[0, 0], [1, 1], [1, 0], [0, 1]], "boundary: intersects itself: edge 0"),
    ([[0, 0], [2, 0], [2, 2], [2, 2], [0, 2]], "boundary: vertices 2 and 3 coincide"),
    ([[0, 0], [2, 0], [1, 0], [1, 2]], "boundary: intersects itself"),  # folds back on itself
    ([[0, 0], [2, 0], [1, 1]], None),  # an acute angle at the first vertex is no fold
    ([[0, 0], [2, 0], [2, 2], [1, 0]], "boundary: intersects itself"),  # folds back at vertex 0
    ("square", "boundary: expected a list of [x, y] vertices, got 'square'"),
    ([[[0, 0], [1, 0], [0, 1]], [[5, 5], [6, 5]]], "boundary[1]: expected at least 3 vertices, got 2"),
    ([[[0, 0], [1, 0], [0, 1]], [[5, 5], [6, 5], [6, "x"]]], "boundary[1][2][1]: expected a number"),
])
def test_boundary_key_is_checked(boundary, message):
    doc = farm_document([100.0, 800.0], [100.0, 800.0], boundary=boundary)
    if message is None:
        assert len(farm_from_dict(doc).boundaries[0][0]) == 4  # closed
        return
    with pytest.raises(FarmError, match=None) as e:
        farm_from_dict(doc)
    assert str(e.value).startswith(message)


def test_a_site_in_several_parts_survives_the_farm_file():
    # A windIO site of several polygons, written by --write-farm, reads back
    # as the same polygons.
    parts = [[[0.0, 0.0], [1000.0, 0.0], [1000.0, 1000.0], [0.0, 1000.0]],
             [[2000.0, 0.0], [3000.0, 0.0], [2500.0, 900.0]]]
    read = farm_from_dict(farm_document([100.0, 2500.0], [100.0, 300.0], boundary=parts))
    assert [len(xs) for xs, _ in read.boundaries] == [5, 4]  # closed rings
    again = farm_from_dict(json.loads(json.dumps(farm_to_dict(read))))
    assert again.boundaries == read.boundaries
    d, _, _ = boundary_distance(site_regions(again), np.array([2500.0, 1500.0]), np.array([300.0, 500.0]))
    assert d[0] > 0 > d[1]  # inside the second part; between the parts is outside


def test_without_a_boundary_the_command_stops_in_one_line(tmp_path, capsys):
    doc = farm_document([0.0, 500.0], [0.0, 0.0])
    del doc["boundary"]
    (tmp_path / "f.json").write_text(json.dumps(doc))
    assert main(["optimize-layout", str(tmp_path / "f.json")]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert err == ["farmrun: error: boundary: layout optimisation needs a site boundary: a "
                   "'boundary' key in the farm file or site.boundaries in a windIO system"]


def test_windio_circle_stays_a_circle():
    regions = site_regions(system_from_dict(small_windio_system(WINDIO_ROSE)).farm)
    assert regions == [Circle(0.0, 0.0, 2000.0)]


# --- the AEP gradient ---------------------------------------------------------

@pytest.mark.float64
def test_aep_gradient_matches_central_differences():
    if not DOUBLE:
        pytest.skip("finite differences need the float64 build")
    # Partly waked under two directions, so every coordinate matters.
    f = farm([0.0, 450.0, 900.0], [0.0, 40.0, -60.0], wd=(270.0, 280.0), ws=(8.0, 9.5))
    energy = LayoutEnergy(f, "sequential", "cpu", None, 1 << 30)
    _, gy = check_layout_gradient(energy, np.array(f.layout_x), np.array(f.layout_y))
    assert np.abs(gy).max() > 1e-4  # the wakes do pull on the layout


# --- the optimisation ---------------------------------------------------------

def inside(shape, px, py):
    """Signed distance by hand: rectangles and the circle (m, positive inside)."""
    def rect(x0, y0, x1, y1):
        return np.minimum.reduce([px - x0, x1 - px, py - y0, y1 - py])
    if shape == "square":
        return rect(0, 0, 1000, 1000)
    if shape == "ell":  # the union of two rectangles; a point in both is inside either
        return np.maximum(rect(0, 0, 1000, 500), rect(0, 0, 500, 1000))
    return 450.0 - np.hypot(px - 500.0, py - 500.0)


@pytest.mark.parametrize("shape", ["square", "ell", "circle"])
@pytest.mark.parametrize("seed", [0, 1])
def test_result_is_feasible_from_random_starts(shape, seed):
    rng = np.random.default_rng(seed)
    # Four turbines anywhere in the box (some outside the ell or the circle,
    # some closer than the spacing): the first step restores feasibility.
    px, py = rng.uniform(50, 950, 4), rng.uniform(50, 950, 4)
    while np.min([math.dist(a, b) for a in zip(px, py) for b in zip(px, py) if a != b]) < D:
        px, py = rng.uniform(50, 950, 4), rng.uniform(50, 950, 4)
    f = farm(px, py, wd=(270.0, 0.0), ws=(9.0, 9.0),
             boundary=ELL if shape == "ell" else SQUARE,
             circle=(500.0, 500.0, 450.0) if shape == "circle" else None)
    r = optimize_layout(f, min_spacing=3.0, max_iter=8)
    x, y = np.array(r.layout_x), np.array(r.layout_y)
    assert inside(shape, x, y).min() >= -1.0
    dist = np.hypot(x[:, None] - x, y[:, None] - y)[np.triu_indices(4, 1)]
    assert dist.min() >= 3.0 * D - 1.0
    if not r.restored:
        assert r.aep_optimized_gwh >= r.aep_initial_gwh


def test_two_turbines_end_side_by_side_across_the_wind():
    # Nearly in a row along a west wind: the second stands in the first one's wake.
    # Exactly in line the lateral gradient vanishes by symmetry, hence the 10 m offset.
    f = farm([300.0, 700.0], [500.0, 510.0], boundary=SQUARE)
    r = optimize_layout(f, min_spacing=2.0, max_iter=30)
    alone = farmrun.annual_energy(farmrun.run(farm([0.0], [0.0]))).aep_gwh
    assert r.aep_optimized_gwh == pytest.approx(2 * alone, rel=1e-4)
    # Out of each other's wake: moved apart across the wind, beyond the wake's width.
    assert abs(r.layout_y[0] - r.layout_y[1]) > 2 * D
    assert r.history[0] == pytest.approx(r.aep_initial_gwh)
    assert all(b >= a for a, b in zip(r.history, r.history[1:]))


@pytest.mark.parametrize("seed", [5, 6])
def test_never_below_a_feasible_start(seed):
    rng = np.random.default_rng(seed)
    x = [150.0 + 250.0 * (k % 3) + rng.uniform(-20, 20) for k in range(6)]
    y = [200.0 + 450.0 * (k // 3) + rng.uniform(-20, 20) for k in range(6)]
    f = farm(x, y, wd=(260.0, 350.0), ws=(8.0, 11.0))
    start = farmrun.annual_energy(farmrun.run(f)).aep_gwh
    for max_iter in (1, 4):
        r = optimize_layout(f, min_spacing=2.0, max_iter=max_iter)
        assert not r.restored
        assert r.aep_initial_gwh == pytest.approx(start, rel=1e-12)
        assert r.aep_optimized_gwh >= start


def test_written_farm_reproduces_the_reported_aep(tmp_path, capsys):
    (tmp_path / "f.json").write_text(json.dumps(farm_document([100.0, 400.0, 700.0],
                                                              [500.0, 520.0, 480.0], ELL)))
    out, back, plot = tmp_path / "o.json", tmp_path / "w.json", tmp_path / "o.png"
    assert main(["optimize-layout", str(tmp_path / "f.json"), "--max-iter", "5", "--json",
                 str(out), "--write-farm", str(back), "--plot", str(plot)]) == 0
    doc = json.loads(out.read_text())
    assert doc["boundary"]["polygons"][0][0] == [0.0, 0.0]
    assert doc["aep_optimized_gwh"] >= doc["aep_initial_gwh"]
    written = json.loads(back.read_text())
    assert (written["layout_x"], written["layout_y"]) == (doc["layout_x"], doc["layout_y"])
    assert plot.read_bytes()[:4] == b"\x89PNG"
    assert main(["run", str(back), "--json", str(tmp_path / "r.json")]) == 0
    rerun = json.loads((tmp_path / "r.json").read_text())
    assert rerun["summary"]["aep_gwh"] == pytest.approx(doc["aep_optimized_gwh"], rel=1e-12)
    capsys.readouterr()


@pytest.mark.parametrize("option, value, message", [
    ("--min-spacing", "0.5", "--min-spacing: must be at least 1 rotor diameter"),
    ("--min-spacing", "nan", "--min-spacing: must be at least 1 rotor diameter"),
])
def test_options_are_checked(tmp_path, capsys, option, value, message):
    (tmp_path / "f.json").write_text(json.dumps(farm_document([100.0, 800.0], [100.0, 800.0])))
    assert main(["optimize-layout", str(tmp_path / "f.json"), option, value,
                 "--json", str(tmp_path / "o.json")]) == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "o.json").exists()


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar_of_the_iterations(capsys, progress):
    f = farm([200.0, 500.0, 800.0], [500.0, 500.0, 500.0])
    optimize_layout(f, min_spacing=2.0, max_iter=3, progress=progress)
    err = capsys.readouterr().err
    assert ("optimising" in err and "/3 " in err) == progress
    assert progress or err == ""
