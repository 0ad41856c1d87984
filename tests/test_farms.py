"""Farms of several turbine types, sorted per flow case, and rotor grids over
each turbine's own diameter."""
import math

import pytest
import torch

from fixtures import ALL_ON, DOUBLE, DTYPE, HUB, SWITCHES, config, make_table, sc, switch_id

pytestmark = pytest.mark.float64

D_SMALL, D_LARGE = 130.0, 180.0
HUB_LARGE = 150.0
# A 3 x 3 farm at 6 small diameters, the middle row of the larger type.
XY = [[i * 780.0, j * 780.0] for j in range(3) for i in range(3)]
TYPES = [0, 0, 0, 1, 1, 1, 0, 0, 0]


def farm_records(directions, types=TYPES, tables=None, speeds=None, yaw=None, N=3,
                 per_case=True, dtype=DTYPE, xy=XY, sizes=None):
    """Records of the farm XY, every case sorted by its own direction, the
    turbines in layout order; `types` index the tables, `sizes` (default: the
    types) pick each turbine's rotor and hub. per_case=False: one shared order,
    the turbines handed over in it, as a single-direction host does."""
    sizes = types if sizes is None else sizes
    T, F = len(xy), len(directions)
    tables = tables or [make_table(dtype), make_table(dtype, ct_scale=0.9, ref_tilt=6.0, tsr=9.0)]
    diam = torch.tensor([[D_SMALL, D_LARGE][k] for k in sizes], dtype=dtype)
    hubs = torch.tensor([[HUB, HUB_LARGE][k] for k in sizes], dtype=dtype)
    grid = sc.TurbineGrid()
    grid.turbine_coordinates = torch.cat([torch.tensor(xy, dtype=dtype), hubs.unsqueeze(1)], 1)
    grid.turbine_diameters = diam
    grid.wind_directions = torch.tensor(directions, dtype=dtype)
    grid.grid_resolution, grid.n_turbines, grid.n_findex = N, T, F
    grid.order_per_case = per_case
    grid.rotor_grid_per_turbine = True
    grid.set_grid()

    farm = sc.Farm()
    types = torch.tensor(types, dtype=torch.long)
    if per_case:
        farm.turbines_in_layout_order = True
        farm.hub_heights, farm.rotor_diameters, farm.turbine_types = hubs, diam, types
    else:
        order = grid.sorted_coord_indices[0]
        farm.hub_heights, farm.rotor_diameters, farm.turbine_types = hubs[order], diam[order], types[order]
    farm.yaw_angles = torch.zeros(F, T, dtype=dtype) if yaw is None else yaw
    farm.n_turbines = T
    for t in tables:
        sc.farm_add_turbine_table(farm, t)
    farm.initialize(grid.sorted_coord_indices)

    ff = sc.FlowField()
    ff.wind_speeds = torch.tensor(speeds or [8.0] * F, dtype=dtype)
    ff.wind_directions = grid.wind_directions
    ff.turbulence_intensities = torch.full((F,), 0.06, dtype=dtype)
    ff.wind_shear, ff.reference_wind_height, ff.n_findex = 0.12, HUB, F
    ff.initialize_velocity_field(grid)
    return farm, ff, grid


def solve(key, cfg, records):
    farm, ff, grid = records
    sc.get_solver(key).solve(farm, ff, grid, cfg)
    back = grid.unsorted_indices
    return [t[..., 0, 0].gather(1, back) if t.dim() == 4 else t for t in
            (ff.u_sorted.pow(3).mean((-2, -1)).pow(1 / 3).unsqueeze(-1).unsqueeze(-1),
             ff.turbulence_intensity_field_sorted)]


def config_for(key, **switches):
    return config(**switches, jacobi_max_iters=20, jacobi_tol=0.0) if key == "jacobi" else config(**switches)


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("switches", SWITCHES, ids=switch_id)
def test_mixed_directions_equal_each_case_alone(key, switches):
    directions = [270.0, 0.0, 180.0, 90.0, 247.0]
    yaw = torch.linspace(-20.0, 20.0, 45, dtype=DTYPE).view(5, 9)
    cfg = config_for(key, **switches)
    together = solve(key, cfg, farm_records(directions, yaw=yaw))
    for f, d in enumerate(directions):
        alone = solve(key, cfg, farm_records([d], yaw=yaw[f:f + 1], per_case=False))
        for a, b in zip(together, alone):
            torch.testing.assert_close(a[f:f + 1], b, rtol=1e-5, atol=1e-6)
    # The deep rows of a northerly and an easterly case are waked.
    assert (together[0][1:4].amin(1) < 0.9 * 8.0).all()


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_two_identical_types_equal_one_type(key):
    cfg = config_for(key, **ALL_ON)
    yaw = torch.full((3, 9), 12.0, dtype=DTYPE)
    same = [make_table(), make_table()]
    one = farm_records([270.0, 275.0, 0.0], types=[0] * 9, tables=same[:1], yaw=yaw, sizes=TYPES)
    two = farm_records([270.0, 275.0, 0.0], types=[0, 1] * 4 + [1], tables=same, yaw=yaw, sizes=TYPES)
    for a, b in zip(solve(key, cfg, one), solve(key, cfg, two)):
        assert torch.equal(a, b)


def test_types_change_only_their_turbines():
    # The second type's lower thrust lightens the wakes behind the middle row only.
    cfg = config()
    base = solve("sequential", cfg, farm_records([270.0], types=[0] * 9, sizes=TYPES))
    mixed = solve("sequential", cfg, farm_records([270.0]))
    u0, u1 = base[0][0], mixed[0][0]
    assert torch.equal(u0[[0, 3, 6]], u1[[0, 3, 6]])
    assert (u1[[4, 5]] > u0[[4, 5]] + 1e-3).all()
    # Six diameters beside the middle row its wakes reach only by their tails.
    torch.testing.assert_close(u0[[1, 2, 7, 8]], u1[[1, 2, 7, 8]], rtol=0, atol=1e-4)


@pytest.mark.parametrize("N", [1, 3])
def test_rotor_points_span_own_diameter(N):
    _, _, grid = farm_records([270.0], types=[0, 1], xy=[[0.0, 0.0], [900.0, 50.0]], N=N)
    # Wind from the west leaves the layout as it is; hand-placed points.
    for t, (y, hub, d) in enumerate([(0.0, HUB, D_SMALL), (50.0, HUB_LARGE, D_LARGE)]):
        o = [0.0] if N == 1 else [-d / 4, 0.0, d / 4]
        want_y = torch.tensor([[y + a] * N for a in o], dtype=torch.float64)
        want_z = torch.tensor([[hub + b for b in o]] * N, dtype=torch.float64)
        torch.testing.assert_close(grid.y_sorted[0, t].double(), want_y)
        torch.testing.assert_close(grid.z_sorted[0, t].double(), want_z)


def test_per_case_order_sorts_each_case():
    _, _, grid = farm_records([270.0, 90.0], types=[0, 0, 0], xy=[[0.0, 0.0], [800.0, 0.0], [400.0, 10.0]])
    assert grid.sorted_coord_indices.tolist() == [[0, 2, 1], [1, 2, 0]]
    farm, _, _ = farm_records([270.0, 90.0], types=[0, 1, 1], xy=[[0.0, 0.0], [800.0, 0.0], [400.0, 10.0]])
    assert farm.rotor_diameters_sorted.tolist() == [[D_SMALL, D_LARGE, D_LARGE], [D_LARGE, D_LARGE, D_SMALL]]
    assert farm.turbine_types_sorted.tolist() == [[0, 1, 1], [1, 1, 0]]


@pytest.mark.skipif(not DOUBLE, reason="finite differences need the double build")
@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_gradient_reaches_each_thrust_curve(key):
    tables = [make_table(), make_table(ct_scale=0.9, tsr=9.0)]
    cts = [t.thrust_coefficient.clone().requires_grad_() for t in tables]

    def power(ct0, ct1):
        tables[0].thrust_coefficient, tables[1].thrust_coefficient = ct0, ct1
        u = solve(key, config_for(key, **ALL_ON),
                  farm_records([270.0, 262.0], tables=tables, yaw=torch.full((2, 9), 8.0, dtype=DTYPE)))[0]
        return u.pow(3).sum()

    g = torch.autograd.grad(power(*cts), cts)
    assert all(x.abs().max() > 1e-3 for x in g)
    torch.autograd.gradcheck(power, cts, eps=1e-6, atol=1e-5, rtol=1e-4)


@pytest.mark.parametrize("change, error, message", [
    (lambda farm: setattr(farm, "turbine_types", torch.tensor([0, 2, 0, 0, 0, 0, 0, 0, 0])),
     IndexError, "Farm.turbine_types: index 2 out of range for 2 turbine tables"),
    (lambda farm: setattr(farm, "turbine_types", torch.full((9,), 0.0)),
     RuntimeError, "Farm.turbine_types: expected integer indices"),
], ids=["out-of-range", "not-integer"])
def test_bad_types_are_refused(change, error, message):
    farm, ff, grid = farm_records([270.0])
    change(farm)
    farm.initialize(grid.sorted_coord_indices)
    with pytest.raises(error, match=message):
        sc.get_solver("sequential").solve(farm, ff, grid, config())


def test_unsorted_farm_is_refused():
    farm, ff, grid = farm_records([270.0])
    fresh = sc.Farm()
    fresh.turbines_in_layout_order = True
    fresh.hub_heights, fresh.rotor_diameters, fresh.yaw_angles = farm.hub_heights, farm.rotor_diameters, farm.yaw_angles
    sc.farm_add_turbine_table(fresh, make_table())
    with pytest.raises(RuntimeError, match="call farm.initialize"):
        sc.get_solver("sequential").solve(fresh, ff, grid, config())


def test_too_few_diameters_for_own_rotor_grids():
    grid = sc.TurbineGrid()
    grid.turbine_coordinates = torch.zeros(2, 3, dtype=DTYPE)
    grid.turbine_coordinates[1, 0] = 500.0
    grid.turbine_diameters = torch.tensor([130.0], dtype=DTYPE)
    grid.wind_directions = torch.tensor([270.0], dtype=DTYPE)
    grid.grid_resolution, grid.n_turbines, grid.n_findex = 3, 2, 1
    grid.rotor_grid_per_turbine = True
    with pytest.raises(RuntimeError, match="expected 2 diameters"):
        grid.set_grid()
    assert math.isfinite(grid.x_center_of_rotation)


def leaves(records):
    """Inputs that the fused backward and the op-by-op path both differentiate."""
    farm, ff, grid = records
    tables = sc.farm_get_turbine_tables(farm)
    out = [t.thrust_coefficient.detach().clone().requires_grad_() for t in tables]
    for t, ct in zip(tables, out):
        t.thrust_coefficient = ct
    farm.rotor_diameters = farm.rotor_diameters.detach().clone().requires_grad_()
    farm.hub_heights = farm.hub_heights.detach().clone().requires_grad_()
    farm.yaw_angles = farm.yaw_angles.detach().clone().requires_grad_()
    farm.initialize(grid.sorted_coord_indices)
    return out + [farm.rotor_diameters, farm.hub_heights, farm.yaw_angles]


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("switches", [{}, ALL_ON], ids=["plain", "all"])
def test_fused_path_matches_op_by_op(key, switches):
    """Values and gradients of mixed types and directions, fused against op by op."""
    directions = [270.0, 0.0, 180.0, 90.0, 247.0]
    yaw = torch.linspace(-20.0, 20.0, 45, dtype=DTYPE).view(5, 9)
    cfg = config_for(key, **switches)
    results = []
    for fused in (True, False):
        sc.set_fused_backward(fused)
        records = farm_records(directions, yaw=yaw)
        xs = leaves(records)
        u, ti = solve(key, cfg, records)
        assert sc.last_solve_path() == ("fused" if fused else "op_by_op")
        weights = torch.linspace(0.5, 1.5, u.numel(), dtype=DTYPE).view_as(u)
        grads = torch.autograd.grad((u.pow(3) * weights).sum() + 100.0 * ti.sum(), xs)
        results.append((u.detach(), ti.detach(), grads))
    sc.set_fused_backward(True)
    (u1, ti1, g1), (u2, ti2, g2) = results
    tol = dict(rtol=1e-9, atol=1e-9) if DOUBLE else dict(rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(u1, u2, **tol)
    torch.testing.assert_close(ti1, ti2, **tol)
    assert g1[1].abs().max() > 0  # the second type's thrust curve is reached
    for a, b in zip(g1, g2):
        scale = b.abs().max().clamp_min(1e-12)
        torch.testing.assert_close(a / scale, b / scale, **tol)
