"""Batched fixed-point sweeps against the downstream pass, sweep control,
chunking, gradient mode and gradients."""
import pytest
import torch

from fixtures import DOUBLE, DTYPE, sc
from fixtures import ALL_ON, solver_path  # noqa: F401  (autouse fixture)
from fixtures import SWITCHES, Case, config, empty_case, random_case, row, sloped_table, solve_with_yaw, switch_id

# Every case here holds in the double build as well.
pytestmark = pytest.mark.float64

# Every case keeps the shared downstream order (wind within a few degrees of
# the row), so the sweeps settle on the sequential pass's field.
STAGGERED = [[0.0, 0.0], [4.0, 1.2], [7.0, -0.5], [11.0, 0.8], [14.0, 0.0]]
WIND = dict(wind_directions=(270.0, 275.0), wind_speeds=(8.0, 11.0), ti=(0.06, 0.09))
YAW = torch.tensor([[20.0, -10.0, 0.0, 15.0, 0.0], [0.0, 25.0, -5.0, 0.0, 0.0]], dtype=DTYPE)
# Float32 rounding: the two solvers sum the same squared deficits in another
# order and take one root instead of T.
AGREE = dict(rtol=1e-5, atol=1e-5)


def jacobi(cfg, layout=STAGGERED, yaw=YAW, **kw):
    return Case(layout, yaw=yaw, **{**WIND, **kw}).solve("jacobi", cfg)


def sequential(cfg, layout=STAGGERED, yaw=YAW, **kw):
    return Case(layout, yaw=yaw, **{**WIND, **kw}).solve("sequential", cfg)


def fields(case):
    ff = case.ff
    return ff.u_sorted, ff.turbulence_intensity_field_sorted, ff.v_sorted, ff.w_sorted


def graph_size(t):
    """Nodes of the autograd graph behind t: it grows with every sweep run."""
    seen, stack = set(), [t.grad_fn]
    while stack:
        fn = stack.pop()
        if fn is not None and fn not in seen:
            seen.add(fn)
            stack.extend(f for f, _ in fn.next_functions)
    return len(seen)


ZERO_YAW = torch.zeros_like(YAW)


@pytest.mark.parametrize("switches, yaw, stop", [
    ({}, YAW, "fixed"),
    ({}, YAW, "tol"),
    (dict(enable_transverse_velocities=True), YAW, "fixed"),
    (dict(enable_transverse_velocities=True), YAW, "tol"),
    # Recovery: the source's own mixing reaches its deficit one sweep later.
    (dict(enable_transverse_velocities=True, enable_yaw_added_recovery=True), ZERO_YAW, "tol"),
], ids=["plain-T-1", "plain-tol", "trans-T-1", "trans-tol", "recov-zero-yaw-tol"])
def test_agrees_with_sequential(switches, yaw, stop):
    T = len(STAGGERED)
    sweeps = dict(jacobi_fixed_iters=True, jacobi_max_iters=T - 1) if stop == "fixed" else \
        dict(jacobi_tol=1e-7, jacobi_max_iters=50)
    got = jacobi(config(**switches, **sweeps), yaw=yaw)
    want = sequential(config(**switches), yaw=yaw)
    assert (want.rotor_u[:, 1:] < 0.95 * want.rotor_u[:, :1]).any()
    for g, w in zip(fields(got), fields(want)):
        torch.testing.assert_close(g, w, **AGREE)


# Settled sweeps reproduce the downstream pass to the rounding of the two
# combinations (one root of the summed squares against a running root).
SETTLED = dict(rtol=0, atol=1e-9 if DOUBLE else 1e-4)


@pytest.mark.parametrize("switches", SWITCHES, ids=switch_id)
@pytest.mark.parametrize("seed", [5, 11])
def test_settles_on_sequential_field(switches, seed):
    """Random farms of 1-30 turbines, random yaw, tilt and rotors, several cases
    of one wind direction (which keeps the shared downstream order right)."""
    def solve(key, cfg):
        case = random_case(seed, one_direction=True)
        ff = case.ff
        ff.v_sorted, ff.w_sorted = torch.zeros_like(ff.u_sorted), torch.zeros_like(ff.u_sorted)
        return case.solve(key, cfg)

    want = solve("sequential", config(**switches))
    got = solve("jacobi", config(**switches, jacobi_max_iters=want.T + 2, jacobi_tol=0.0, jacobi_chunk_size=4))
    for g, w in zip(fields(got), fields(want)):
        torch.testing.assert_close(g, w, **SETTLED)


@pytest.mark.parametrize("switches", [
    dict(enable_secondary_steering=True, enable_transverse_velocities=True),
    dict(enable_transverse_velocities=True, enable_yaw_added_recovery=True),
    ALL_ON,
], ids=["steer", "recov", "all"])
def test_yawed_row_settles_on_sequential_field(switches):
    # A yawed turbine's own vortices must not steer it, nor the mixing its wake
    # adds reach its own deflection: both once moved the second turbine's speed
    # by 0.03 to 0.7 m/s.
    yaw = torch.tensor([[23.2, 13.3, 0.0]], dtype=DTYPE)
    kw = dict(layout=row(3), yaw=yaw, wind_directions=(270.0,), wind_speeds=(8.0,), ti=(0.06,))
    want = sequential(config(**switches), **kw)
    got = jacobi(config(**switches, jacobi_max_iters=50, jacobi_tol=0.0), **kw)
    torch.testing.assert_close(got.rotor_u, want.rotor_u, **SETTLED)
    torch.testing.assert_close(got.ti, want.ti, **SETTLED)


def test_one_sweep_uses_freestream_operating_points():
    # Above rated the thrust coefficient falls with speed, so a waked turbine's
    # operating point differs much from its freestream one.
    layout = row(3, 5.0)
    kw = dict(wind_speeds=(11.0,), wind_directions=(270.0,), ti=(0.06,))
    one = Case(layout, **kw).solve("jacobi", config(jacobi_max_iters=1))
    # Each wake alone, its source in the freestream.
    pair_02 = Case([layout[0], layout[2]], **kw).solve("sequential", config())
    pair_12 = Case([layout[1], layout[2]], **kw).solve("sequential", config())
    full = Case(layout, **kw).solve("sequential", config())
    u0 = one.ff.u_initial_sorted[:, 2]
    d02 = u0 - pair_02.ff.u_sorted[:, 1]
    d12 = u0 - pair_12.ff.u_sorted[:, 1]
    torch.testing.assert_close(one.ff.u_sorted[:, 2], u0 - (d02**2 + d12**2).sqrt(), **AGREE)
    torch.testing.assert_close(one.ti[:, 2], torch.maximum(pair_02.ti[:, 1], pair_12.ti[:, 1]), **AGREE)
    torch.testing.assert_close(one.ff.u_sorted[:, :2], full.ff.u_sorted[:, :2], **AGREE)
    # The freestream operating point of the middle turbine is the lighter-loaded one.
    assert (one.rotor_u[:, 2] > full.rotor_u[:, 2] + 0.05).all()


@pytest.mark.parametrize("switches", [{}, ALL_ON], ids=["plain", "all"])
def test_chunk_size_changes_only_summation_order(switches):
    T = len(STAGGERED)
    runs = [fields(jacobi(config(**switches, jacobi_chunk_size=c, jacobi_fixed_iters=True,
                                 jacobi_max_iters=T)))
            for c in (0, 1, 3, T, 2 * T, -2)]
    for other in runs[1:]:
        for a, b in zip(runs[0], other):
            torch.testing.assert_close(a, b, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("max_iters", [0, -3])
def test_no_sweeps(max_iters):
    case = jacobi(config(enable_transverse_velocities=True, jacobi_max_iters=max_iters))
    ff = case.ff
    assert ff.u_sorted is not ff.u_initial_sorted
    assert torch.equal(ff.u_sorted, ff.u_initial_sorted)
    ambient = ff.turbulence_intensities.to(DTYPE).view(-1, 1, 1, 1).expand_as(ff.u_sorted)
    assert torch.equal(ff.turbulence_intensity_field_sorted, ambient)
    assert torch.equal(ff.v_sorted, torch.zeros_like(ff.u_sorted))
    assert torch.equal(ff.w_sorted, torch.zeros_like(ff.u_sorted))


def recorded(layout, cfg, **kw):
    yaw = torch.full((1, len(layout)), 10.0, dtype=DTYPE, requires_grad=True)
    case = Case(layout, yaw=yaw, wind_speeds=(11.0,), wind_directions=(270.0,), **kw)
    return case.solve("jacobi", cfg)


def sweeps_run(layout, **sweeps):
    """Sweep count of a solve, read off the size of its op-by-op autograd graph."""
    sc.set_fused_backward(False)
    size = graph_size(recorded(layout, config(**sweeps)).ff.u_sorted)
    by_count = [graph_size(recorded(layout, config(jacobi_fixed_iters=True, jacobi_max_iters=k)).ff.u_sorted)
                for k in range(1, 7)]
    assert len(set(by_count)) == len(by_count)
    return by_count.index(size) + 1


@pytest.mark.parametrize("sweeps, expected", [
    (dict(jacobi_tol=1e-6, jacobi_max_iters=5), 1),       # one turbine settles at once
    (dict(jacobi_tol=0.0, jacobi_max_iters=5), 5),        # a change of 0 is not below 0
    (dict(jacobi_tol=1e9, jacobi_max_iters=4, jacobi_fixed_iters=True), 4),
    (dict(jacobi_tol=1e-6, jacobi_max_iters=3, jacobi_fixed_iters=True), 3),
])
def test_sweep_count_single_turbine(sweeps, expected):
    assert sweeps_run([[0.0, 0.0]], **sweeps) == expected


def test_change_equal_to_tolerance_does_not_stop():
    layout = row(3, 5.0)
    first = recorded(layout, config(jacobi_max_iters=1))
    # The change of the first sweep, as the solver reads it back.
    d1 = torch.tensor((first.ff.u_sorted - first.ff.u_initial_sorted).abs().max().item(),
                      dtype=torch.float32)
    above = torch.nextafter(d1, torch.tensor(float("inf"))).item()
    assert sweeps_run(layout, jacobi_tol=d1.item(), jacobi_max_iters=6) == 2
    assert sweeps_run(layout, jacobi_tol=above, jacobi_max_iters=6) == 1


def test_fixed_sweeps_settle_one_more_turbine_each():
    layout = row(5, 5.0)
    # Thrust falling with speed everywhere: every sweep changes an operating point.
    kw = dict(wind_speeds=(11.0,), wind_directions=(270.0,), tables=[sloped_table()])
    want = Case(layout, **kw).solve("sequential", config()).ff.u_sorted
    for k in range(1, 4):
        got = Case(layout, **kw).solve(
            "jacobi", config(jacobi_fixed_iters=True, jacobi_max_iters=k, jacobi_tol=1e9)).ff.u_sorted
        # After k sweeps the wakes of turbines 0..k-1 are final.
        torch.testing.assert_close(got[:, :k + 1], want[:, :k + 1], **AGREE)
        assert (got[:, k + 1:] - want[:, k + 1:]).abs().amax((-2, -1)).min() > 1e-3


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("fails", [False, True])
def test_gradient_mode_is_restored(enabled, fails):
    case = Case(STAGGERED, yaw=YAW.clone().requires_grad_(), **WIND)
    if fails:
        case.farm.hub_heights = case.farm.hub_heights[:-1]
    with torch.set_grad_enabled(enabled):
        if fails:
            with pytest.raises(IndexError):
                case.solve("jacobi", config(**ALL_ON, jacobi_chunk_size=2))
        else:
            case.solve("jacobi", config(**ALL_ON))
            assert case.ff.u_sorted.requires_grad == enabled
        assert torch.is_grad_enabled() == enabled


@pytest.mark.parametrize("fixed", [False, True])
def test_empty_grid_counts_as_converged(fixed):
    case = empty_case(F=2)
    cfg = config(**ALL_ON, jacobi_fixed_iters=fixed, jacobi_max_iters=3)
    sc.get_solver("jacobi").solve(case.farm, case.ff, case.grid, cfg)
    for t in fields(case):
        assert t.shape == (2, 0, 3, 3)


def rotor_sum(key, cfg):
    def f(yaw):
        u = solve_with_yaw(key, STAGGERED, yaw, cfg, **WIND)
        return u.pow(3).mean((-2, -1)).pow(1 / 3).sum()
    return f


@pytest.mark.parametrize("transverse", [False, True])
def test_yaw_gradient_agrees_with_sequential(transverse):
    T = len(STAGGERED)
    kw = dict(enable_transverse_velocities=transverse)
    yaw = YAW.to(torch.float64).requires_grad_()
    (g_jac,) = torch.autograd.grad(
        rotor_sum("jacobi", config(**kw, jacobi_fixed_iters=True, jacobi_max_iters=T))(yaw), yaw)
    (g_seq,) = torch.autograd.grad(rotor_sum("sequential", config(**kw))(yaw), yaw)
    assert torch.isfinite(g_jac).all() and g_jac.abs().max() > 1e-3
    torch.testing.assert_close(g_jac, g_seq, rtol=1e-4, atol=1e-6)


def test_backward_with_every_switch_matches_finite_difference():
    cfg = config(**ALL_ON, jacobi_fixed_iters=True, jacobi_max_iters=7, jacobi_chunk_size=2)
    f = rotor_sum("jacobi", cfg)
    yaw = YAW.to(torch.float64)[:, :3].contiguous().requires_grad_()

    def g(y):
        return f(torch.cat([y, YAW.to(torch.float64)[:, 3:]], 1))

    (grad,) = torch.autograd.grad(g(yaw), yaw)
    assert torch.isfinite(grad).all() and grad.abs().max() > 1e-3
    # The turbulence is held in the working dtype; float32 needs a coarse step.
    torch.autograd.gradcheck(g, (yaw,), eps=1e-6 if DOUBLE else 1e-3, atol=1e-5, rtol=1e-3)


@pytest.mark.parametrize("switches", [{}, ALL_ON], ids=["plain", "all"])
def test_settled_solve_differentiates_as_sequential(switches):
    sc.set_fused_backward(True)
    yaw = YAW.clone().requires_grad_()
    grads, paths = [], []
    for key, cfg in [("sequential", config(**switches)),
                     ("jacobi", config(**switches, jacobi_max_iters=20, jacobi_chunk_size=2))]:
        u = solve_with_yaw(key, STAGGERED, yaw, cfg, **WIND)
        paths.append(sc.last_solve_path())
        grads.append(torch.autograd.grad(u.pow(3).mean((-2, -1)).pow(1 / 3).sum(), yaw)[0])
    assert paths == ["fused", "fused"]
    assert grads[0].abs().max() > 1e-3
    torch.testing.assert_close(grads[1], grads[0], rtol=1e-9 if DOUBLE else 1e-4, atol=1e-9 if DOUBLE else 1e-5)


def test_solve_cut_short_records_its_sweeps():
    sc.set_fused_backward(True)
    case = recorded(row(3, 5.0), config(jacobi_max_iters=1, jacobi_tol=1e-6))
    assert sc.last_solve_path() == "op_by_op"
    assert graph_size(case.ff.u_sorted) > 10
