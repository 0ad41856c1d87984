"""The sequential solver's fused backward against autograd on the op-by-op path.

A sequential CPU solve that records a gradient runs the fused loops and
attaches one node whose backward is hand-written; with the fused backward
switched off the same solve goes op by op. Both give the same gradients for
every input, to 1e-4 (float32) or 1e-9 (float64) of the largest entry.
"""
import pytest
import torch

from fixtures import DTYPE, sc
from fixtures import ALL_ON, SWITCHES, config, make_table, random_case, switch_id

pytestmark = pytest.mark.float64

TOL = 1e-9 if DTYPE == torch.float64 else 1e-4
INPUTS = ("turbine_coordinates", "wind_directions", "wind_speeds", "yaw_angles", "tilt_angles",
          "turbulence_intensities", "rotor_diameters", "hub_heights", "wind_speed",
          "thrust_coefficient")
PLAIN = dict(enable_secondary_steering=False, enable_transverse_velocities=False,
             enable_yaw_added_recovery=False)


def recorded_solve(seed, fused, cfg=None, T=None, F=None, N=3):
    """A random farm whose inputs all require gradients, solved with recording
    on; returns the records, the leaves by name and the solve's path. With the
    recovery, the transverse field it reads is a random leaf too."""
    cfg = cfg or config()
    case = random_case(seed, T=T, F=F, N=N)
    grid, ff, old = case.grid, case.ff, case.farm
    farm, table = sc.Farm(), make_table()
    leaves = {}
    with torch.enable_grad():
        for obj, names in ((grid, INPUTS[:2]), (ff, ("wind_speeds", "turbulence_intensities")),
                           (old, ("yaw_angles", "tilt_angles", "rotor_diameters", "hub_heights")),
                           (table, INPUTS[-2:])):
            for name in names:
                leaves[name] = getattr(obj, name).detach().clone().requires_grad_()
                setattr(obj, name, leaves[name])
        for name in ("hub_heights", "rotor_diameters", "yaw_angles", "tilt_angles", "n_turbines"):
            setattr(farm, name, getattr(old, name))
        sc.farm_add_turbine_table(farm, table)
        grid.set_grid()
        farm.initialize(grid.sorted_coord_indices)
        ff.initialize_velocity_field(grid)
        if cfg.enable_transverse_velocities and cfg.enable_yaw_added_recovery:
            g = torch.Generator().manual_seed(seed)
            for name in ("v_sorted", "w_sorted"):
                shape = ff.u_initial_sorted.shape
                value = (torch.rand(shape, generator=g, dtype=torch.float64) - 0.3).to(DTYPE)
                leaves[name] = value.requires_grad_()
                setattr(ff, name, leaves[name])
        previous = sc.set_fused_backward(fused)
        try:
            sc.get_solver("sequential").solve(farm, ff, grid, cfg)
        finally:
            sc.set_fused_backward(previous)
    return ff, leaves, sc.last_solve_path()


def loss_of(ff, field, seed):
    """A random weighting of one output field, so that every entry counts."""
    out = getattr(ff, field)
    g = torch.Generator().manual_seed(seed)
    with torch.enable_grad():
        return (out * torch.rand(out.shape, generator=g, dtype=torch.float64).to(out.dtype)).sum()


def gradients(seed, field, fused, **kw):
    ff, leaves, path = recorded_solve(seed, fused, **kw)
    assert path == ("fused" if fused else "op_by_op")
    grads = torch.autograd.grad(loss_of(ff, field, seed), list(leaves.values()), allow_unused=True)
    return dict(zip(leaves, grads))


def assert_same_gradients(fused, op):
    assert fused.keys() == op.keys()
    for name in op:
        a, b = fused[name], op[name]
        if b is None:
            assert a is None or not a.any(), name
            continue
        assert a.dtype == b.dtype and a.shape == b.shape, name
        scale = max(b.abs().max().item(), 1e-30)
        torch.testing.assert_close(a, b, rtol=0, atol=TOL * scale, msg=lambda m: f"{name}: {m}")


@pytest.mark.parametrize("field", ["u_sorted", "turbulence_intensity_field_sorted"])
@pytest.mark.parametrize("seed", range(6))
def test_gradients_match_op_by_op(seed, field):
    assert_same_gradients(gradients(seed, field, True), gradients(seed, field, False))


def fields_of(switches):
    transverse = ("v_sorted", "w_sorted") if switches["enable_transverse_velocities"] else ()
    return ("u_sorted", "turbulence_intensity_field_sorted") + transverse


# Every switch combination and every output field; the recovery's cases also
# differentiate the transverse field it reads.
SWITCH_FIELDS = [(sw, field) for sw in SWITCHES if sw != PLAIN for field in fields_of(sw)]


@pytest.mark.parametrize("switches, field", SWITCH_FIELDS,
                         ids=[f"{switch_id(sw)}-{f}" for sw, f in SWITCH_FIELDS])
@pytest.mark.parametrize("seed", range(3))
def test_switches_match_op_by_op(seed, switches, field):
    cfg = config(**switches)
    assert_same_gradients(gradients(20 + seed, field, True, cfg=cfg),
                          gradients(20 + seed, field, False, cfg=cfg))


@pytest.mark.parametrize("switches", [PLAIN, ALL_ON], ids=switch_id)
@pytest.mark.parametrize("T, F, N", [(1, 1, 3), (2, 3, 2), (30, 2, 3)])
def test_sizes_match_op_by_op(T, F, N, switches):
    cfg = config(**switches)
    fused = gradients(11, "u_sorted", True, T=T, F=F, N=N, cfg=cfg)
    op = gradients(11, "u_sorted", False, T=T, F=F, N=N, cfg=cfg)
    for name in INPUTS:
        if op[name] is not None:
            scale = max(op[name].abs().max().item(), 1e-30)
            torch.testing.assert_close(fused[name], op[name], rtol=0, atol=TOL * scale)


def small_farm_output(leaf_name, cfg):
    """u and TI (and with transverse velocities v and w) of three turbines in
    two flow cases as a function of one input, and the input's value."""
    def record(case):
        return {"wind_speeds": case.ff, "turbine_coordinates": case.grid, "yaw_angles": case.farm}[leaf_name]

    def output(value):
        case = random_case(3, T=3, F=2)
        setattr(record(case), leaf_name, value)
        case.grid.set_grid()
        case.farm.initialize(case.grid.sorted_coord_indices)
        case.ff.initialize_velocity_field(case.grid)
        sc.get_solver("sequential").solve(case.farm, case.ff, case.grid, cfg)
        assert sc.last_solve_path() == "fused"
        ff = case.ff
        transverse = (ff.v_sorted, ff.w_sorted) if cfg.enable_transverse_velocities else ()
        return (ff.u_sorted, ff.turbulence_intensity_field_sorted) + transverse

    return output, getattr(record(random_case(3, T=3, F=2)), leaf_name).detach().clone().requires_grad_()


@pytest.mark.skipif(not sc.using_double(), reason="finite differences need the float64 build")
@pytest.mark.parametrize("switches", [PLAIN, ALL_ON], ids=switch_id)
@pytest.mark.parametrize("leaf_name", ["yaw_angles", "turbine_coordinates", "wind_speeds"])
def test_gradcheck_through_the_fused_backward(leaf_name, switches):
    output, start = small_farm_output(leaf_name, config(**switches))
    assert torch.autograd.gradcheck(output, (start,), eps=1e-6, atol=1e-7, rtol=1e-5)


def test_node_only_when_a_gradient_is_recorded():
    case = random_case(4, T=6, F=2)
    with torch.enable_grad():
        sc.get_solver("sequential").solve(case.farm, case.ff, case.grid, config())
    assert sc.last_solve_path() == "fused"
    assert case.ff.u_sorted.grad_fn is None and not case.ff.u_sorted.requires_grad
    ff, _, path = recorded_solve(4, True, T=6, F=2)
    assert path == "fused"
    assert ff.u_sorted.grad_fn.name() == "FusedSequentialBackward"
    assert ff.turbulence_intensity_field_sorted.grad_fn is ff.u_sorted.grad_fn


@pytest.mark.parametrize("switches", SWITCHES, ids=switch_id)
def test_every_switch_takes_the_fused_backward(switches):
    ff, leaves, path = recorded_solve(5, True, cfg=config(**switches), T=5, F=2)
    assert path == "fused"
    node = ff.u_sorted.grad_fn
    assert node.name() == "FusedSequentialBackward"
    if switches["enable_transverse_velocities"]:
        assert ff.v_sorted.grad_fn is node and ff.w_sorted.grad_fn is node
    grad, = torch.autograd.grad(loss_of(ff, "u_sorted", 5), [leaves["yaw_angles"]])
    assert grad.abs().sum() > 0


def test_backward_of_two_fresh_solves_and_of_one_twice():
    ff_a, leaves_a, _ = recorded_solve(6, True)
    ff_b, leaves_b, _ = recorded_solve(6, True)
    ga, = torch.autograd.grad(loss_of(ff_a, "u_sorted", 6), [leaves_a["yaw_angles"]])
    gb, = torch.autograd.grad(loss_of(ff_b, "u_sorted", 6), [leaves_b["yaw_angles"]])
    torch.testing.assert_close(ga, gb, rtol=0, atol=0)

    ff_c, leaves_c, _ = recorded_solve(6, True)
    loss = loss_of(ff_c, "turbulence_intensity_field_sorted", 6)
    loss.backward(retain_graph=True)
    once = leaves_c["turbulence_intensities"].grad.clone()
    loss.backward()
    torch.testing.assert_close(leaves_c["turbulence_intensities"].grad, 2 * once)
    with pytest.raises(RuntimeError, match="second time|backward ran already"):
        loss.backward()


def test_second_derivatives_are_refused():
    ff, leaves, _ = recorded_solve(7, True, T=4, F=2)
    with pytest.raises(RuntimeError, match="once differentiable"):
        torch.autograd.grad(loss_of(ff, "u_sorted", 7), [leaves["yaw_angles"]], create_graph=True)
