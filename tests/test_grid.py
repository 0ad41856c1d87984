"""Turbine grid: rotation, shared downstream order, rotor points, errors, gradients."""
import math

import pytest
import torch

from fixtures import DTYPE, GRID_LAYOUT, f32, make_grid, sc

def rotate(x, y, wd, xc=250.0, yc=150.0):
    """Counter-clockwise rotation by (wd - 270) degrees about the bounding-box centre."""
    th = math.fmod(wd - 270.0, 360.0) * f32(math.pi / 180)
    dx, dy = x - xc, y - yc
    return dx * math.cos(th) - dy * math.sin(th) + xc, dx * math.sin(th) + dy * math.cos(th) + yc


@pytest.mark.float64
@pytest.mark.parametrize("wd,expected", [
    (270.0, [(0.0, 0.0), (500.0, 0.0), (0.0, 300.0)]),
    (0.0, [(400.0, -100.0), (400.0, 400.0), (100.0, -100.0)]),   # +90 degrees about (250, 150)
    (90.0, [(500.0, 300.0), (0.0, 300.0), (500.0, 0.0)]),        # 180 degrees
])
def test_rotation_against_hand_computed_coordinates(wd, expected):
    g = make_grid(directions=(wd,), n=1)
    assert (g.x_center_of_rotation, g.y_center_of_rotation) == (250.0, 150.0)
    order = g.sorted_coord_indices[0].tolist()
    for pos, layout in enumerate(order):
        ex, ey = expected[layout]
        assert g.x_sorted[0, pos, 0, 0].item() == pytest.approx(ex, abs=1e-3)
        assert g.y_sorted[0, pos, 0, 0].item() == pytest.approx(ey, abs=1e-3)
        assert g.z_sorted[0, pos, 0, 0].item() == GRID_LAYOUT[layout][2]
    xs = [expected[t][0] for t in order]
    assert xs == sorted(xs)


@pytest.mark.float64
def test_cases_that_disagree_share_the_order_of_the_average_x():
    # Two turbines on the x axis; wind from 270 puts 0 first, from 90 puts 1 first.
    # Averaged over the three cases (270, 270, 90) turbine 0 is upstream.
    coords = [[0.0, 0.0, 90.0], [700.0, 0.0, 90.0]]
    g = make_grid(coords, directions=(270.0, 90.0, 270.0), n=1)
    assert g.sorted_coord_indices.tolist() == [[0, 1]] * 3
    g = make_grid(coords, directions=(90.0, 90.0, 270.0), n=1)
    assert g.sorted_coord_indices.tolist() == [[1, 0]] * 3
    # The grids themselves stay case by case.
    assert g.x_sorted[:, 0, 0, 0].tolist() == pytest.approx([0.0, 0.0, 700.0], abs=1e-3)


@pytest.mark.float64
def test_permutation_and_inverse():
    torch.manual_seed(0)
    coords = torch.cat([torch.rand(12, 2) * 3000, torch.full((12, 1), 90.0)], 1).tolist()
    g = make_grid(coords, directions=(10.0, 95.0, 200.0, 333.0), n=2)
    perm, inv = g.sorted_coord_indices, g.unsorted_indices
    assert perm.dtype == inv.dtype == torch.int64
    assert (perm == perm[0]).all()
    assert sorted(perm[0].tolist()) == list(range(12))
    assert torch.equal(inv.gather(1, perm), torch.arange(12).expand(4, 12))
    assert torch.equal(perm.gather(1, inv), torch.arange(12).expand(4, 12))
    mean_x = g.x_sorted[..., 0, 0].mean(0)
    assert (mean_x[1:] >= mean_x[:-1]).all()
    for t in (g.x_sorted, g.y_sorted, g.z_sorted, perm, inv):
        assert t.is_contiguous()


@pytest.mark.float64
def test_axis_dependence_of_the_rotor_points():
    g = make_grid(directions=(270.0, 300.0), n=4)
    x, y, z = g.x_sorted, g.y_sorted, g.z_sorted
    assert x.shape == (2, 3, 4, 4)
    assert torch.equal(x, x[..., :1, :1].expand_as(x))
    assert torch.equal(y, y[..., :, :1].expand_as(y))
    assert torch.equal(z, z[..., :1, :].expand_as(z))
    assert not torch.equal(y[..., 0, 0], y[..., 1, 0])


@pytest.mark.float64
@pytest.mark.parametrize("n,offsets", [(1, [0.0]), (3, [-25.0, 0.0, 25.0]), (5, [-25.0, -12.5, 0.0, 12.5, 25.0])])
def test_offsets_come_from_turbine_zero(n, offsets):
    g = make_grid(n=n, diameters=[100.0, 180.0, 40.0])
    for t in range(3):
        assert (g.y_sorted[0, t, :, 0] - g.y_sorted[0, t].mean()).tolist() == pytest.approx(offsets, abs=1e-4)
        assert (g.z_sorted[0, t, 0, :] - g.z_sorted[0, t].mean()).tolist() == pytest.approx(offsets, abs=1e-4)
    assert not g.y_sorted.requires_grad


def test_single_turbine():
    g = make_grid([[10.0, 20.0, 90.0]], directions=(0.0, 123.0), n=1)
    assert (g.x_center_of_rotation, g.y_center_of_rotation) == (10.0, 20.0)
    assert g.sorted_coord_indices.tolist() == [[0], [0]]
    assert g.unsorted_indices.tolist() == [[0], [0]]
    assert g.x_sorted.flatten().tolist() == pytest.approx([10.0, 10.0])


@pytest.mark.float64
@pytest.mark.parametrize("counts", [(0, 1), (1, 0), (0, 0)])
def test_empty_counts_raise_and_change_nothing(counts):
    g = make_grid()
    before = {k: getattr(g, k) for k in ("x_sorted", "y_sorted", "z_sorted", "sorted_coord_indices",
                                         "unsorted_indices", "x_center_of_rotation")}
    g.n_turbines, g.n_findex = counts
    with pytest.raises(RuntimeError) as err:
        g.set_grid()
    assert str(err.value) == ("TurbineGrid::set_grid() called with n_turbines=0 or n_findex=0. "
                              "Set these fields before calling set_grid().")
    for k, v in before.items():
        assert getattr(g, k) is v if not isinstance(v, float) else getattr(g, k) == v


def test_shape_mismatch_is_the_tensor_library_error():
    g = sc.TurbineGrid()
    g.turbine_coordinates = torch.zeros(4, 2)
    g.turbine_diameters = torch.ones(4)
    g.wind_directions = torch.zeros(1)
    g.grid_resolution, g.n_turbines, g.n_findex = 3, 4, 1
    with pytest.raises((IndexError, RuntimeError)):
        g.set_grid()
    assert g.x_sorted is None


@pytest.mark.float64
def test_gradients_flow_from_coordinates_and_directions():
    coords = torch.tensor(GRID_LAYOUT, dtype=torch.float64, requires_grad=True)
    wd = torch.tensor([250.0, 300.0], dtype=torch.float64, requires_grad=True)

    def grids(c, w):
        g = sc.TurbineGrid()
        g.turbine_coordinates, g.turbine_diameters, g.wind_directions = c, torch.full((3,), 100.0,
                                                                                      dtype=torch.float64), w
        g.grid_resolution, g.n_turbines, g.n_findex = 2, 3, 2
        g.set_grid()
        return g.x_sorted, g.y_sorted, g.z_sorted

    # The centre of rotation enters as a constant; move the points without moving the bounding box.
    assert torch.autograd.gradcheck(lambda w: grids(coords.detach(), w), (wd,))
    x, y, z = grids(coords, wd)
    (x.sum() + 2 * y.sum() + 3 * z.sum()).backward()
    assert coords.grad[:, 2].tolist() == [3 * 2 * 4] * 3   # z gathered into F=2 cases x 4 points
    assert torch.isfinite(wd.grad).all() and (wd.grad != 0).any()
