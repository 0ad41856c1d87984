"""The fused path of both solvers against the op-by-op path.

A solve takes the fused path when it records no gradient; an input that
requires a gradient, with recording on and the fused backward switched off,
forces the op-by-op path on the same records. The two agree to the rounding of exp, log and pow (one unit in the
last place each), carried through the downstream operating points:
|fused - op-by-op| <= TOL_ULPS * eps(dtype) * max|op-by-op| for every field.
"""
import math

import pytest
import torch

from fixtures import DTYPE, sc
from fixtures import ALL_ON, D, HUB, SWITCHES, Case, config, make_table, random_case, row, switch_id

pytestmark = pytest.mark.float64

TOL_ULPS = 32


FIELDS = ("u_sorted", "turbulence_intensity_field_sorted", "v_sorted", "w_sorted")


def solve(case, key, cfg, path):
    """Solve on the fused path ("fused") or the op-by-op one ("op"); returns the
    four result fields. The transverse fields are reset first, since the
    recovery reads what an earlier solve left there."""
    ff = case.ff
    if not hasattr(case, "vw0"):
        case.vw0 = (ff.v_sorted, ff.w_sorted)
    ff.v_sorted, ff.w_sorted = case.vw0
    ti = ff.turbulence_intensities
    if path == "op":
        ff.turbulence_intensities = ti.detach().clone().requires_grad_()
    fused_backward = sc.set_fused_backward(path != "op")
    try:
        with torch.set_grad_enabled(path == "op"):
            sc.get_solver(key).solve(case.farm, ff, case.grid, cfg)
    finally:
        sc.set_fused_backward(fused_backward)
    ff.turbulence_intensities = ti
    assert sc.last_solve_path() == ("op_by_op" if path == "op" else "fused")
    return [getattr(ff, name).detach() for name in FIELDS]


def assert_matches(fused, op):
    for name, a, b in zip(FIELDS, fused, op):
        assert a.dtype == b.dtype == DTYPE and a.shape == b.shape and a.is_contiguous(), name
        scale = b.abs().max().item() if b.numel() else 0.0
        torch.testing.assert_close(a, b, rtol=0, atol=TOL_ULPS * torch.finfo(DTYPE).eps * scale,
                                   msg=lambda m: f"{name}: {m}")


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("switches", SWITCHES, ids=switch_id)
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_farms_match_op_by_op(key, switches, seed):
    case = random_case(seed)
    cfg = config(**switches)
    assert_matches(solve(case, key, cfg, "fused"), solve(case, key, cfg, "op"))


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("one_direction", [True, False], ids=["one-direction", "mixed"])
@pytest.mark.parametrize("N", [1, 2, 4])
def test_batches_and_rotor_grids(key, one_direction, N):
    # One direction: the shared order is each case's own; mixed: it is not, and
    # receivers upstream in the shared order can be downstream in a case.
    case = random_case(10 + N, T=24, F=6, one_direction=one_direction, N=N)
    cfg = config(**ALL_ON)
    assert_matches(solve(case, key, cfg, "fused"), solve(case, key, cfg, "op"))


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("ambient", [0.0, 0.08])
def test_unreached_turbines_keep_the_floors_exactly(key, ambient):
    # Side by side across the wind no wake reaches anyone: every turbine keeps
    # only the floors, max(u0 - sqrt(1e-20), 1e-6) and the ambient turbulence
    # with its floor under the root (1e-6 sequential, 1e-20 Jacobi), which the
    # fused path applies without evaluating any wake.
    case = Case([[0.0, 3.0 * k] for k in range(5)], wind_directions=[270.0, 270.0], ti=ambient)
    fused, op = solve(case, key, config(), "fused"), solve(case, key, config(), "op")
    assert_matches(fused, op)
    u0 = case.ff.u_initial_sorted
    torch.testing.assert_close(fused[0], (u0 - math.sqrt(1e-20)).clamp_min(1e-6))
    floor = math.sqrt(1e-6 if key == "sequential" else 1e-20)
    torch.testing.assert_close(fused[1], torch.full_like(fused[1], max(ambient, floor)))


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("T, F", [(1, 1), (1, 3), (2, 1)])
def test_smallest_farms(key, T, F):
    case = random_case(20 + T + F, T=T, F=F)
    cfg = config(**ALL_ON)
    assert_matches(solve(case, key, cfg, "fused"), solve(case, key, cfg, "op"))


def test_fused_path_runs():
    # Its exp differs from the library's in the last place here and there, so
    # a bit-identical result would mean the op-by-op path ran.
    case = random_case(7, T=20, F=4)
    fused, op = solve(case, "sequential", config(), "fused"), solve(case, "sequential", config(), "op")
    assert not torch.equal(fused[0], op[0])


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_thread_count_changes_nothing(key):
    case = random_case(5, T=16, F=7)
    threads = torch.get_num_threads()
    try:
        torch.set_num_threads(1)
        one = solve(case, key, config(**ALL_ON), "fused")
        torch.set_num_threads(2)
        two = solve(case, key, config(**ALL_ON), "fused")
    finally:
        torch.set_num_threads(threads)
    for a, b in zip(one, two):
        assert torch.equal(a, b)


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("transverse", [False, True])
def test_fields_replaced_and_inputs_untouched(key, transverse):
    case = random_case(4, T=9, F=3)
    ff, grid, farm = case.ff, case.grid, case.farm
    before = {name: getattr(ff, name) for name in FIELDS}
    inputs = [ff.u_initial_sorted, ff.turbulence_intensities, ff.wind_speeds, grid.x_sorted,
              grid.y_sorted, grid.z_sorted, farm.yaw_angles_sorted, farm.tilt_angles_sorted,
              farm.rotor_diameters, farm.hub_heights, ff.v_sorted, ff.w_sorted]
    copies = [t.clone() for t in inputs]
    with torch.no_grad():
        sc.get_solver(key).solve(farm, ff, grid, config(**dict(ALL_ON, enable_transverse_velocities=transverse)))
    for t, c in zip(inputs, copies):
        assert torch.equal(t, c)
    assert ff.u_sorted is not before["u_sorted"] and ff.u_sorted is not ff.u_initial_sorted
    assert ff.turbulence_intensity_field_sorted is not before["turbulence_intensity_field_sorted"]
    # Without transverse velocities the host's v and w stay the very same tensors.
    assert (ff.v_sorted is before["v_sorted"]) == (not transverse)
    assert (ff.w_sorted is before["w_sorted"]) == (not transverse)


def test_second_solve_reads_first_transverse_field():
    # With recovery the solve reads v_sorted and w_sorted; a second solve sees
    # what the first one wrote, on both paths alike.
    case = random_case(6, T=12, F=3)
    cfg = config(**ALL_ON)
    results = []
    for path in ("fused", "op"):
        ff = case.ff
        ff.v_sorted, ff.w_sorted = torch.zeros_like(ff.u_initial_sorted), torch.zeros_like(ff.u_initial_sorted)
        solve(case, "sequential", cfg, path)
        case.vw0 = (ff.v_sorted, ff.w_sorted)
        results.append(solve(case, "sequential", cfg, path))
        del case.vw0
    assert_matches(*results)


# Fallbacks: the op-by-op path with its exact results.

def op_by_op_twice(case, key, cfg, prepare):
    """The result of a solve that `prepare` makes ineligible, with recording
    off, and the forced op-by-op result on the same records."""
    prepare(case)
    case.vw0 = (case.ff.v_sorted, case.ff.w_sorted)
    with torch.no_grad():
        sc.get_solver(key).solve(case.farm, case.ff, case.grid, cfg)
    plain = [getattr(case.ff, name).clone() for name in FIELDS]
    return plain, solve(case, key, cfg, "op")


def with_nan_speed(case):
    case.ff.wind_speeds[1] = math.nan
    case.ff.initialize_velocity_field(case.grid)


def with_nan_yaw(case):
    case.farm.yaw_angles[0, 0] = math.nan
    case.farm.initialize(case.grid.sorted_coord_indices)


def with_uneven_rotor(case):
    # The fused loops take one x per rotor; a rotor whose points differ in x
    # is left to the op-by-op path.
    case.grid.x_sorted[0, 0, 0, 0] += 1.0


def with_zero_rotor(case):
    case.farm.rotor_diameters = torch.zeros_like(case.farm.rotor_diameters)


@pytest.mark.parametrize("key, one_direction, sweeps, path", [
    ("sequential", False, 30, "fused"),
    # Settled sweeps on cases in the shared downstream order are the sequential pass.
    ("jacobi", True, 30, "fused"),
    ("jacobi", True, 1, "op_by_op"),
    # Cases of other directions settle elsewhere: their sweeps are recorded.
    ("jacobi", False, 30, "op_by_op"),
], ids=["sequential", "jacobi-settled", "jacobi-cut-short", "jacobi-directions"])
def test_recorded_gradient_is_kept(key, one_direction, sweeps, path):
    case = random_case(9, T=5, F=2, one_direction=one_direction)
    case.ff.turbulence_intensities.requires_grad_()
    cfg = config(**ALL_ON, jacobi_max_iters=sweeps)
    with torch.enable_grad():
        sc.get_solver(key).solve(case.farm, case.ff, case.grid, cfg)
    assert case.ff.u_sorted.requires_grad and sc.last_solve_path() == path
    # With recording off the same input requires a gradient, but none is recorded.
    with torch.no_grad():
        sc.get_solver(key).solve(case.farm, case.ff, case.grid, cfg)
    assert not case.ff.u_sorted.requires_grad


def with_table_in_other_dtype(case):
    # Promoted by the op-by-op path's thrust lookup; the fused path leaves it be.
    other = torch.float32 if DTYPE == torch.float64 else torch.float64
    farm = sc.Farm()
    farm.hub_heights, farm.rotor_diameters = case.farm.hub_heights, case.farm.rotor_diameters
    farm.yaw_angles, farm.n_turbines = case.farm.yaw_angles, case.farm.n_turbines
    sc.farm_add_turbine_table(farm, make_table(other))
    farm.initialize(case.grid.sorted_coord_indices)
    case.farm = farm


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
@pytest.mark.parametrize("prepare", [with_nan_speed, with_nan_yaw, with_uneven_rotor, with_zero_rotor,
                                     with_table_in_other_dtype],
                         ids=["nan-speed", "nan-yaw", "uneven-rotor", "zero-rotor", "table-dtype"])
def test_ineligible_inputs_take_op_by_op(key, prepare):
    plain, op = op_by_op_twice(random_case(8, T=6, F=3), key, config(**ALL_ON), prepare)
    for a, b in zip(plain, op):
        assert a.dtype == b.dtype
        torch.testing.assert_close(a, b, rtol=0, atol=0, equal_nan=True)


@pytest.mark.parametrize("key", ["sequential", "jacobi"])
def test_missing_table_is_the_op_by_op_error(key):
    # The IndexError of the first-table lookup, and nothing written.
    case = random_case(3, T=4, F=2)
    before = [getattr(case.ff, name) for name in FIELDS]
    with torch.no_grad(), pytest.raises(IndexError):
        sc.get_solver(key).solve(sc.Farm(), case.ff, case.grid, config())
    assert all(getattr(case.ff, name) is t for name, t in zip(FIELDS, before))


# Jacobi sweeps: the same number as op-by-op, so the same result.

@pytest.mark.parametrize("fixed", [True, False], ids=["fixed", "tol"])
@pytest.mark.parametrize("sweeps", [1, 2, 3, 6])
@pytest.mark.parametrize("chunk", [0, 1, 3, 10])
def test_jacobi_sweep_count(fixed, sweeps, chunk):
    # Above rated speed the thrust falls steeply with speed, so along this row
    # each of the first four sweeps changes the downstream turbines by whole
    # wakes (it settles after the fourth): matching results mean matching
    # sweep counts.
    case = Case(row(7, spacing=4.0), wind_directions=[270.0, 271.0, 269.5],
                wind_speeds=[13.0, 12.0, 14.0])
    cfg = config(jacobi_max_iters=sweeps, jacobi_fixed_iters=fixed, jacobi_tol=1e-6,
                 jacobi_chunk_size=chunk)
    fused = solve(case, "jacobi", cfg, "fused")
    assert_matches(fused, solve(case, "jacobi", cfg, "op"))
    if sweeps < 4:
        longer = solve(case, "jacobi", config(jacobi_max_iters=sweeps + 1, jacobi_fixed_iters=True,
                                              jacobi_chunk_size=chunk), "fused")
        assert (longer[0] - fused[0]).abs().max() > 0.1


@pytest.mark.parametrize("tol", [0.0, 1e-6, 0.05, 100.0])
def test_jacobi_convergence_stops_alike(tol):
    # tol 0 never stops early, 100 stops after the first sweep.
    case = random_case(12, T=14, F=4)
    cfg = config(jacobi_max_iters=25, jacobi_tol=tol, **ALL_ON)
    assert_matches(solve(case, "jacobi", cfg, "fused"), solve(case, "jacobi", cfg, "op"))


def test_jacobi_converged_farm_is_its_fixed_point():
    # After convergence a further sweep changes nothing: the cases the fused
    # path stops sweeping early hold the same values as those it sweeps on.
    case = random_case(13, T=10, F=5)
    a = solve(case, "jacobi", config(jacobi_max_iters=40, jacobi_fixed_iters=True), "fused")
    b = solve(case, "jacobi", config(jacobi_max_iters=41, jacobi_fixed_iters=True), "fused")
    for x, y in zip(a, b):
        assert torch.equal(x, y)
