"""The downstream pass: edge cases, wake physics, invariants, gradients."""
import math

import pytest
import torch

from fixtures import DOUBLE, DTYPE, sc
from fixtures import ALL_ON, solver_path  # noqa: F401  (autouse fixture)
from fixtures import (SWITCHES, Case, config, empty_case, make_table, row, solve_with_yaw,
                          switch_id)

# Every case here holds in the double build as well.
pytestmark = pytest.mark.float64

ops = torch.ops.sorbane_cpp


@pytest.mark.parametrize("transverse", [False, True])
def test_no_turbines(transverse):
    case = empty_case(F=2, N=3)
    ff = case.ff
    sc.get_solver("sequential").solve(case.farm, ff, case.grid,
                                      config(enable_transverse_velocities=transverse))
    assert ff.u_sorted.shape == (2, 0, 3, 3)
    assert ff.u_sorted is not ff.u_initial_sorted
    assert ff.turbulence_intensity_field_sorted.shape == (2, 0, 3, 3)
    if transverse:
        assert ff.v_sorted.shape == ff.w_sorted.shape == (2, 0, 3, 3)


def test_no_turbines_without_table_still_fails():
    case = empty_case()
    case.farm = sc.Farm()
    with pytest.raises(IndexError):
        sc.get_solver("sequential").solve(case.farm, case.ff, case.grid, config())


@pytest.mark.parametrize("ambient, expected", [(0.06, 0.06), (0.0, 0.001)])
@pytest.mark.parametrize("switches", [{}, ALL_ON], ids=["plain", "all"])
def test_single_turbine(ambient, expected, switches):
    case = Case([[0.0, 0.0]], ti=ambient).solve("sequential", config(**switches))
    ff = case.ff
    # Nothing is downstream: only the 1e-10 floor of the combination remains.
    torch.testing.assert_close(ff.u_sorted, (ff.u_initial_sorted - 1e-10).clamp_min(1e-6))
    if not switches:
        torch.testing.assert_close(ff.turbulence_intensity_field_sorted,
                                   torch.full_like(ff.u_sorted, expected))


def test_zero_ambient_turbulence_floors_at_one_thousandth():
    # A fresh configuration adds no wake turbulence (ch_constant = 0).
    cfg = config(ch_constant=0.0)
    case = Case(row(3), ti=0.0).solve("sequential", cfg)
    torch.testing.assert_close(case.ff.turbulence_intensity_field_sorted,
                               torch.full_like(case.ff.u_sorted, 0.001))


def reference_pair(case, cfg, table):
    """Velocity and turbulence at the second of two turbines, one wake, from the
    operators directly."""
    ff, grid, farm = case.ff, case.grid, case.farm
    u0 = ff.u_initial_sorted
    k = 0.01745329238474369
    u_avg = u0[:, 0].pow(3).mean((-2, -1)).pow(1 / 3)
    ct = ops.interp1d(table.wind_speed, table.thrust_coefficient, u_avg).clamp(0, 0.9999)
    cos_ref = float(torch.tensor(0.017453292 * table.ref_tilt, dtype=torch.float32).cos())
    c = torch.cos(k * farm.yaw_angles_sorted[:, 0]) * torch.cos(k * farm.tilt_angles_sorted[:, 0]) / cos_ref
    ct = (ct * c).clamp(0, 0.9999)
    a = 0.5 / c * (1 - (1 - ct * c).clamp_min(1e-6).sqrt())
    xbar, ybar = grid.x_sorted.mean((-2, -1)), grid.y_sorted.mean((-2, -1))
    ti = ff.turbulence_intensities.to(DTYPE)
    p = dict(alpha=cfg.alpha, beta=cfg.beta, ka=cfg.ka, kb=cfg.kb)
    X, Y = grid.x_sorted[:, :1], grid.y_sorted[:, :1]
    one = slice(0, 1)
    defl = ops.gauss_deflection(xbar[:, one], ybar[:, one], xbar, ct[:, None], farm.yaw_angles_sorted[:, one],
                                ti[:, None], farm.rotor_diameters[one], **p, ad=cfg.ad, bd=cfg.bd, dm=cfg.dm)
    d = ops.gauss_velocity_deficit(grid.x_sorted, grid.y_sorted, grid.z_sorted, X, Y, ct[:, None],
                                   farm.yaw_angles_sorted[:, one], ti[:, None], defl,
                                   farm.hub_heights[one], farm.rotor_diameters[one], **p,
                                   sigmoid_k=cfg.sigmoid_k)[:, 1, 0]
    Dv = d * u0[:, 1]
    u1 = (u0[:, 1] - (Dv**2).clamp_min(1e-20).sqrt()).clamp_min(1e-6)
    add = ops.crespo_hernandez_ti(xbar, xbar[:, one], farm.rotor_diameters[one], a[:, None], ti,
                                  cfg.ch_initial, cfg.ch_constant, cfg.ch_ai_exp, cfg.ch_downstream)[:, 1, 0]
    overlap = (Dv > 0.05).to(DTYPE).mean((-2, -1))
    ti1 = torch.maximum(ti, ((overlap * add)**2 + ti**2).clamp_min(1e-6).sqrt())
    return u1, ti1


def test_two_turbines_match_one_wake_by_hand():
    yaw = torch.tensor([[15.0, 0.0], [-7.0, 3.0]], dtype=DTYPE)
    tilt = torch.tensor([[4.0, 6.0], [8.0, 2.0]], dtype=DTYPE)
    table = make_table(ref_tilt=6.0)
    case = Case([[0.0, 0.0], [6.0, 0.3]], wind_directions=[270.0, 268.0], wind_speeds=[8.0, 10.5],
                ti=[0.06, 0.1], yaw=yaw, tilt=tilt, tables=[table])
    cfg = config(ad=-0.5, bd=0.001)
    case.solve("sequential", cfg)
    u1, ti1 = reference_pair(case, cfg, table)
    torch.testing.assert_close(case.ff.u_sorted[:, 1], u1)
    torch.testing.assert_close(case.ti[:, 1], ti1)
    assert (case.ti[:, 1] > case.ff.turbulence_intensities).all()


def test_wake_recovers_with_spacing():
    speeds = []
    for spacing in (3.0, 5.0, 8.0, 12.0):
        case = Case(row(2, spacing)).solve("sequential", config())
        speeds.append(case.rotor_u[0, 1].item())
        assert case.rotor_u[0, 1] < 0.9 * case.rotor_u[0, 0]
    assert speeds == sorted(speeds) and len(set(speeds)) == 4


def test_row_velocities_fall_then_turbine_aside_sees_freestream():
    # Three in a row, a fourth beside the second, six diameters off the axis.
    case = Case(row(3) + [[6.0, 6.0]]).solve("sequential", config())
    u = case.rotor_u[0]
    u_free = case.ff.u_initial_sorted.pow(3).mean((-2, -1)).pow(1 / 3)[0]
    order = case.grid.sorted_coord_indices[0].tolist()
    aside = order.index(3)
    torch.testing.assert_close(u[aside], u_free[aside])
    first, second, third = (order.index(t) for t in range(3))
    assert u[second] < 0.8 * u_free[second] and u[third] < 0.8 * u_free[third]


@pytest.mark.parametrize("angle", [90.0, 30.0, -45.0])
def test_rotating_wind_and_layout_together_changes_nothing(angle):
    xy = torch.tensor([[0.0, 0.0], [5.0, 0.4], [10.0, -0.3], [4.0, 3.0], [9.0, 2.5]])
    cfg = config(**ALL_ON)
    yaw = torch.tensor([[10.0, -5.0, 0.0, 20.0, 0.0]], dtype=DTYPE)
    base = Case(xy, yaw=yaw).solve("sequential", cfg)
    # Turning the wind by +angle and the layout by -angle leaves the rotated
    # layout in place, up to a shift.
    r = math.radians(angle)
    rot = torch.tensor([[math.cos(r), math.sin(r)], [-math.sin(r), math.cos(r)]])
    turned = Case(xy @ rot.T, wind_directions=[270.0 + angle], yaw=yaw).solve("sequential", cfg)
    assert torch.equal(turned.grid.sorted_coord_indices, base.grid.sorted_coord_indices)
    for field in ("u_sorted", "turbulence_intensity_field_sorted", "v_sorted", "w_sorted"):
        torch.testing.assert_close(getattr(turned.ff, field), getattr(base.ff, field),
                                   atol=2e-4, rtol=1e-4)


def test_layout_order_of_identical_turbines_does_not_matter():
    xy = torch.tensor([[0.0, 0.0], [5.0, 0.4], [10.0, -0.3], [4.0, 3.0]])
    yaw = torch.tensor([[10.0, -5.0, 0.0, 20.0]], dtype=DTYPE)
    perm = [2, 0, 3, 1]
    cfg = config(**ALL_ON)
    a = Case(xy, wind_directions=[255.0], yaw=yaw).solve("sequential", cfg)
    b = Case(xy[perm], wind_directions=[255.0], yaw=yaw[:, perm]).solve("sequential", cfg)
    for field in ("u_sorted", "turbulence_intensity_field_sorted", "v_sorted", "w_sorted"):
        assert torch.equal(getattr(a.ff, field), getattr(b.ff, field)), field


@pytest.mark.parametrize("where, waked", [
    ((16.0, 0.0), False),   # beyond 15 diameters downstream
    ((14.0, 0.0), True),
    ((10.0, 2.05), False),  # 2 diameters or more off to the side
    ((10.0, 1.9), True),
])
def test_added_turbulence_reach(where, waked):
    case = Case([[0.0, 0.0], list(where)], ti=0.15, N=5).solve("sequential", config())
    deficit = case.ff.u_initial_sorted[0, 1] - case.ff.u_sorted[0, 1]
    # The rotor is inside the wake proper, so only the region decides.
    assert deficit.max() > 0.05
    ambient = case.ff.turbulence_intensities[0].to(DTYPE)
    if waked:
        assert case.ti[0, 1] > 1.01 * ambient
    else:
        torch.testing.assert_close(case.ti[0, 1], ambient)


def solve_fields(case, cfg, key="sequential"):
    case.solve(key, cfg)
    ff = case.ff
    return [ff.u_sorted, ff.turbulence_intensity_field_sorted, ff.v_sorted, ff.w_sorted]


def assert_same_fields(a, b):
    for x, y in zip(a, b):
        assert torch.equal(x, y)


LAYOUT = row(3) + [[8.0, 1.0]]
YAW = torch.tensor([[20.0, 0.0, -10.0, 5.0]], dtype=DTYPE)


def test_only_the_first_table_counts():
    cfg = config(**ALL_ON)
    other = make_table(ct_scale=0.5, ref_tilt=0.0, tsr=4.0)
    one = solve_fields(Case(LAYOUT, yaw=YAW), cfg)
    two = solve_fields(Case(LAYOUT, yaw=YAW, tables=[make_table(), other]), cfg)
    assert_same_fields(one, two)
    swapped = solve_fields(Case(LAYOUT, yaw=YAW, tables=[other, make_table()]), cfg)
    assert not torch.equal(one[0], swapped[0])


@pytest.mark.parametrize("field, value", [
    ("enable_active_wake_mixing", True), ("velocity_model", "jensen"),
    ("deflection_model", "jimenez"), ("turbulence_model", "none"),
    ("combination_model", "max"), ("device", "cuda"), ("cpp_solver_paradigm", "jacobi"),
    ("turbine_grid_points", 7), ("jacobi_max_iters", 1), ("jacobi_fixed_iters", True),
])
def test_settings_that_are_only_carried(field, value):
    base = solve_fields(Case(LAYOUT, yaw=YAW), config(**ALL_ON))
    changed = solve_fields(Case(LAYOUT, yaw=YAW), config(**ALL_ON, **{field: value}))
    assert_same_fields(base, changed)


@pytest.mark.parametrize("steering", [False, True])
def test_recovery_needs_transverse_velocities(steering):
    off = solve_fields(Case(LAYOUT, yaw=YAW), config(enable_secondary_steering=steering))
    on = solve_fields(Case(LAYOUT, yaw=YAW), config(enable_secondary_steering=steering,
                                                    enable_yaw_added_recovery=True))
    assert_same_fields(off, on)


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_transverse_fields_kept_or_replaced(key):
    case = Case(LAYOUT, yaw=YAW)
    v_host = torch.full_like(case.ff.u_initial_sorted, 0.25)
    case.ff.v_sorted = v_host
    w_host = case.ff.w_sorted
    case.solve(key, config(enable_secondary_steering=True))
    assert case.ff.v_sorted is v_host and case.ff.w_sorted is w_host
    assert (v_host == 0.25).all() and (w_host == 0).all()

    case.solve(key, config(enable_transverse_velocities=True))
    assert case.ff.v_sorted is not v_host and case.ff.w_sorted is not w_host
    assert (v_host == 0.25).all() and (w_host == 0).all()
    assert case.ff.v_sorted.abs().max() > 0


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_steering_moves_only_the_wake_centre(key):
    # Without a skew multiplier or linear offset the deflection is zero whatever
    # yaw it sees, so steering must then change nothing at all.
    kw = dict(enable_transverse_velocities=True, dm=0.0)
    plain = solve_fields(Case(LAYOUT, yaw=YAW), config(**kw), key)
    steered = solve_fields(Case(LAYOUT, yaw=YAW), config(**kw, enable_secondary_steering=True), key)
    assert_same_fields(plain, steered)
    plain = solve_fields(Case(LAYOUT, yaw=YAW), config(enable_transverse_velocities=True), key)
    steered = solve_fields(Case(LAYOUT, yaw=YAW), config(enable_transverse_velocities=True,
                                                         enable_secondary_steering=True), key)
    assert not torch.equal(plain[0], steered[0])


@pytest.mark.parametrize("switches", [{}, ALL_ON], ids=["plain", "all"])
def test_yawing_the_first_turbine_moves_its_wake(switches):
    cfg = config(**switches)

    def second_rotor(yaw0):
        case = Case(row(2), yaw=torch.tensor([[yaw0, 0.0]], dtype=DTYPE)).solve("sequential", cfg)
        return case.ff.u_sorted[0, 1], case.rotor_u[0, 1]

    u_straight, mean_straight = second_rotor(0.0)
    u_pos, mean_pos = second_rotor(25.0)
    u_neg, _ = second_rotor(-25.0)
    assert mean_pos > mean_straight + 0.1
    # Positive yaw turns the wake towards -y: the +y side of the rotor behind
    # (last index across the rotor) is the faster one.
    assert u_pos[-1].mean() > u_pos[0].mean() + 0.1
    if not switches:
        torch.testing.assert_close(u_neg, u_pos.flip(0))
        torch.testing.assert_close(u_straight, u_straight.flip(0))


def test_missing_table_leaves_flow_field_untouched():
    case = Case(LAYOUT, yaw=YAW)
    farm = sc.Farm()
    for name in ("hub_heights", "rotor_diameters", "yaw_angles"):
        setattr(farm, name, getattr(case.farm, name))
    farm.initialize(case.grid.sorted_coord_indices)
    ff = case.ff
    names = ("u_sorted", "turbulence_intensity_field_sorted", "v_sorted", "w_sorted", "u_initial_sorted")
    before = [getattr(ff, n) for n in names]
    values = [t.clone() for t in before]
    for key in ("sequential", "jacobi"):
        with pytest.raises(IndexError):
            sc.get_solver(key).solve(farm, ff, case.grid, config(**ALL_ON))
        for name, obj, value in zip(names, before, values):
            assert getattr(ff, name) is obj, name
            assert torch.equal(obj, value), name


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("layout", [[[0.0, 0.0]], LAYOUT], ids=["one", "four"])
def test_inputs_are_never_written(key, layout):
    case = Case(layout, yaw=YAW[:, :len(layout)])
    ff, grid, farm = case.ff, case.grid, case.farm
    held = [ff.turbulence_intensities, ff.wind_speeds, ff.u_initial_sorted, ff.u_sorted,
            ff.turbulence_intensity_field_sorted, ff.v_sorted, ff.w_sorted, grid.x_sorted,
            grid.y_sorted, grid.z_sorted, farm.yaw_angles, farm.yaw_angles_sorted,
            farm.tilt_angles_sorted, farm.hub_heights, farm.rotor_diameters,
            *(getattr(t, n) for t in sc.farm_get_turbine_tables(farm)
              for n in ("wind_speed", "thrust_coefficient"))]
    values = [t.clone() for t in held]
    case.solve(key, config(**ALL_ON))
    for i, (t, v) in enumerate(zip(held, values)):
        assert torch.equal(t, v), i


def test_solver_made_directly_equals_registry_one():
    cfg = config(**ALL_ON)
    direct = Case(LAYOUT, yaw=YAW)
    sc.SequentialSolver().solve(direct.farm, direct.ff, direct.grid, cfg)
    registered = solve_fields(Case(LAYOUT, yaw=YAW), cfg)
    assert_same_fields([direct.ff.u_sorted, direct.ff.turbulence_intensity_field_sorted,
                        direct.ff.v_sorted, direct.ff.w_sorted], registered)


# The turbulence of the turbines is held in the working dtype, so in the float32
# build the finite difference needs a step well above its rounding.
FD_EPS = 1e-6 if DOUBLE else 1e-3
GRAD_LAYOUT = [[0.0, 0.0], [5.0, 0.2], [10.0, -0.2]]
GRAD_YAW = [[20.0, -10.0, 5.0], [8.0, 15.0, 0.0]]


def rotor_sum(key, cfg, **kw):
    def f(yaw):
        u = solve_with_yaw(key, GRAD_LAYOUT, yaw, cfg, wind_directions=(270.0, 273.0), **kw)
        return u.pow(3).mean((-2, -1)).pow(1 / 3).sum()
    return f


@pytest.mark.parametrize("switches", SWITCHES, ids=switch_id)
def test_yaw_gradient_matches_finite_difference(switches):
    f = rotor_sum("sequential", config(**switches))
    yaw = torch.tensor(GRAD_YAW, dtype=torch.float64, requires_grad=True)
    (grad,) = torch.autograd.grad(f(yaw), yaw)
    assert torch.isfinite(grad).all()
    # The first two turbines steer wakes onto the ones behind them.
    assert (grad[:, :2].abs() > 1e-4).all()
    torch.autograd.gradcheck(f, (yaw,), eps=FD_EPS, atol=1e-5, rtol=1e-3)


def test_wind_speed_gradient_matches_finite_difference():
    def f(speeds):
        case = Case(GRAD_LAYOUT, wind_directions=(270.0, 273.0), dtype=torch.float64)
        case.ff.wind_speeds = speeds
        case.ff.initialize_velocity_field(case.grid)
        return case.solve("sequential", config(**ALL_ON)).rotor_u.sum()

    # 9.6 and 11 m/s: on the flat and on the falling part of the thrust curve.
    speeds = torch.tensor([9.6, 11.0], dtype=torch.float64, requires_grad=True)
    torch.autograd.gradcheck(f, (speeds,), eps=FD_EPS, atol=1e-5, rtol=1e-3)


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_failed_solve_leaves_no_alias_of_the_ambient_intensities(key):
    # T = N = 1: the ambient turbulence field written before the failure must be
    # a tensor of its own, not a view of the host's intensities.
    case = Case([[0.0, 0.0]], N=1)
    case.ff.v_sorted = torch.zeros(3, dtype=DTYPE)  # does not fit: recovery fails after preparation
    with pytest.raises((RuntimeError, IndexError)):
        case.solve(key, config(**ALL_ON, jacobi_max_iters=2))
    field = case.ff.turbulence_intensity_field_sorted
    assert field.untyped_storage().data_ptr() != case.ff.turbulence_intensities.untyped_storage().data_ptr()
