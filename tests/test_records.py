"""Flow field, farm and turbine tables, model configuration."""
import pytest
import torch

from fixtures import DTYPE, make_grid, sc


def make_flow(grid, speeds=(8.0,), ti=(0.06,), shear=0.12, zref=90.0):
    ff = sc.FlowField()
    ff.wind_speeds = torch.tensor(speeds, dtype=DTYPE)
    ff.turbulence_intensities = torch.tensor(ti, dtype=DTYPE)
    ff.wind_shear, ff.reference_wind_height, ff.n_findex = shear, zref, len(speeds)
    ff.initialize_velocity_field(grid)
    return ff


@pytest.mark.float64
def test_sheared_freestream_values():
    g = make_grid([[0.0, 0.0, 120.0], [600.0, 0.0, 90.0]], directions=(270.0, 270.0), n=1)
    ff = make_flow(g, speeds=(8.0, 10.0), ti=(0.06, 0.1))
    u = ff.u_initial_sorted
    assert u[0, 0, 0, 0].item() == pytest.approx(8.0 * (120.0 / 90.0) ** 0.12, rel=1e-6)
    assert u[1, 1, 0, 0].item() == 10.0  # exactly at the reference height
    assert ff.turbulence_intensity_field_sorted[:, :, 0, 0].flatten().tolist() == pytest.approx([0.06] * 2 + [0.1] * 2)
    g1 = make_grid(n=3, directions=(270.0,))
    ff0 = make_flow(g1, speeds=(7.5,), shear=0.0)
    assert (ff0.u_initial_sorted == 7.5).all()


def test_working_fields_are_independent_tensors():
    g = make_grid([[0.0, 0.0, 90.0]], n=1)
    ff = make_flow(g)
    assert ff.u_sorted is not ff.u_initial_sorted
    ff.u_sorted.add_(1.0)
    assert ff.u_initial_sorted.item() == pytest.approx(8.0)
    assert ff.v_sorted is not ff.w_sorted
    ff.v_sorted.add_(1.0)
    assert ff.w_sorted.item() == 0.0
    # T = N = 1: the turbulence field must still be a copy, not a view of the input.
    ff.turbulence_intensity_field_sorted.add_(1.0)
    assert ff.turbulence_intensities.item() == pytest.approx(0.06)


def test_finalize_publishes_the_same_tensor():
    g = make_grid()
    ff = make_flow(g)
    ff.finalize(torch.tensor([[5, 5, 5]]))  # the argument is not read
    assert ff.u is ff.u_sorted


def test_gradients_reach_speeds_and_intensities():
    g = make_grid(n=2)
    speeds = torch.tensor([8.0], dtype=DTYPE, requires_grad=True)
    ti = torch.tensor([0.06], dtype=DTYPE, requires_grad=True)
    ff = sc.FlowField()
    ff.wind_speeds, ff.turbulence_intensities = speeds, ti
    ff.wind_shear, ff.reference_wind_height, ff.n_findex = 0.0, 90.0, 1
    ff.initialize_velocity_field(g)
    (ff.u_sorted.sum() + ff.turbulence_intensity_field_sorted.sum()).backward()
    assert speeds.grad.item() == 12.0 and ti.grad.item() == 12.0


def test_farm_sort_unsort_round_trip():
    farm = sc.Farm()
    farm.yaw_angles = torch.tensor([[10.0, 20.0, 30.0], [1.0, 2.0, 3.0]])
    perm = torch.tensor([[2, 0, 1], [2, 0, 1]])
    farm.initialize(perm)
    assert farm.sorted_indices is perm
    assert farm.yaw_angles_sorted.tolist() == [[30.0, 10.0, 20.0], [3.0, 1.0, 2.0]]
    assert farm.unsorted_indices.tolist() == [[1, 2, 0]] * 2
    assert farm.tilt_angles_sorted.tolist() == [[5.0] * 3] * 2
    before = farm.yaw_angles
    farm.finalize(farm.unsorted_indices)
    assert farm.yaw_angles is not before and torch.equal(farm.yaw_angles, before)
    assert farm.tilt_angles is None


def test_farm_tilt_gather_and_gradients():
    farm = sc.Farm()
    yaw = torch.tensor([[10.0, 20.0]], requires_grad=True)
    tilt = torch.tensor([[4.0, 6.0]], requires_grad=True)
    farm.yaw_angles, farm.tilt_angles = yaw, tilt
    farm.initialize(torch.tensor([[1, 0]]))
    assert farm.tilt_angles_sorted.tolist() == [[6.0, 4.0]]
    (farm.yaw_angles_sorted * torch.tensor([[1.0, 2.0]])).sum().backward()
    assert yaw.grad.tolist() == [[2.0, 1.0]]
    farm.tilt_angles = torch.empty(0)
    farm.initialize(torch.tensor([[1, 0]]))
    assert farm.tilt_angles_sorted.tolist() == [[5.0, 5.0]] and not farm.tilt_angles_sorted.requires_grad


def test_non_permutation_leaves_zeros():
    farm = sc.Farm()
    farm.yaw_angles = torch.zeros(1, 3)
    farm.initialize(torch.tensor([[2, 2, 1]]))
    assert farm.unsorted_indices.tolist() == [[0, 2, 1]]  # layout 0 is named by no index


def test_farm_without_yaw_is_a_library_error():
    farm = sc.Farm()
    perm = torch.tensor([[0]])
    with pytest.raises(Exception) as err:
        farm.initialize(perm)
    assert not isinstance(err.value, (SystemError, TypeError))
    assert farm.sorted_indices is perm  # stored before the failing gather


def make_table(ref_tilt=5.0):
    t = sc.PowerThrustTable()
    t.wind_speed = torch.tensor([3.0, 25.0])
    t.thrust_coefficient = torch.tensor([0.8, 0.1])
    t.power = torch.tensor([0.0, 3.4e6])
    t.ref_tilt, t.tip_speed_ratio = ref_tilt, 8.0
    return t


def test_table_views_are_live_and_survive_appends():
    farm = sc.Farm()
    assert sc.farm_get_turbine_tables(farm) == []
    table = make_table(6.0)
    sc.farm_add_turbine_table(farm, table)
    view = sc.farm_get_turbine_tables(farm)[0]
    assert view.ref_tilt == 6.0 and view.wind_speed is table.wind_speed
    for k in range(200):  # storage would move many times in a vector
        sc.farm_add_turbine_table(farm, make_table(float(k)))
    assert view.ref_tilt == 6.0
    view.ref_tilt = 7.5
    assert sc.farm_get_turbine_tables(farm)[0].ref_tilt == 7.5
    assert table.ref_tilt == 6.0  # the farm stored a copy of the record
    assert len(sc.farm_get_turbine_tables(farm)) == 201


def test_table_view_keeps_the_farm_alive():
    farm = sc.Farm()
    sc.farm_add_turbine_table(farm, make_table(3.0))
    view = sc.farm_get_turbine_tables(farm)[0]
    del farm
    import gc
    gc.collect()
    assert view.ref_tilt == 3.0 and view.power.tolist() == [0.0, 3.4e6]


def test_list_changes_do_not_reach_the_farm_and_two_appends_are_two_records():
    farm = sc.Farm()
    table = make_table()
    sc.farm_add_turbine_table(farm, table)
    sc.farm_add_turbine_table(farm, table)
    tables = sc.farm_get_turbine_tables(farm)
    tables.append(make_table())
    tables.reverse()
    assert len(sc.farm_get_turbine_tables(farm)) == 2
    a, b = sc.farm_get_turbine_tables(farm)
    assert a.thrust_coefficient is b.thrust_coefficient is table.thrust_coefficient
    a.ref_tilt = 1.0
    assert b.ref_tilt == 5.0


def test_farm_function_docs():
    assert "Append a PowerThrustTable to farm.turbine_tables." in sc.farm_add_turbine_table.__doc__
    assert "Get mutable reference to farm.turbine_tables (list of PowerThrustTable)." in \
        sc.farm_get_turbine_tables.__doc__


CONFIG_ORDER = [
    "cpp_solver_paradigm", "device", "velocity_model", "deflection_model", "turbulence_model",
    "combination_model", "enable_secondary_steering", "enable_yaw_added_recovery",
    "enable_transverse_velocities", "enable_active_wake_mixing", "turbine_grid_points", "alpha", "beta", "ka",
    "kb", "sigmoid_k", "ad", "bd", "dm", "ch_initial", "ch_constant", "ch_ai_exp", "ch_downstream",
    "jacobi_max_iters", "jacobi_chunk_size", "jacobi_tol", "jacobi_fixed_iters"]


@pytest.mark.float64
def test_config_fields_order_and_defaults():
    cfg = sc.ModelConfig()
    assert [n for n in vars(sc.ModelConfig) if not n.startswith("_")] == CONFIG_ORDER
    values = [getattr(cfg, n) for n in CONFIG_ORDER]
    assert values[:6] == [""] * 6 and values[6:10] == [False] * 4
    assert values[10] == 0 and all(v == 0.0 for v in values[11:23])
    assert (cfg.jacobi_max_iters, cfg.jacobi_chunk_size, cfg.jacobi_tol, cfg.jacobi_fixed_iters) == (0, 0, 0.0, False)
    assert sc.ModelConfig.jacobi_max_iters.__doc__ == (
        "Maximum Jacobi iterations. For a chain of T turbines, T-1 iterations guarantee convergence. Default 30.")
    assert sc.ModelConfig.jacobi_chunk_size.__doc__ == (
        "Number of upstream turbines processed per kernel batch. Controls peak memory: "
        "F*T*chunk*ng^2*4 bytes. Default 8.")
    assert sc.ModelConfig.jacobi_tol.__doc__ == (
        "Convergence threshold: stop when max|u_new - u_prev| < tol. Default 1e-6.")
    assert sc.ModelConfig.jacobi_fixed_iters.__doc__ == (
        "When true, skip convergence check \u2014 run exactly jacobi_max_iters iterations with zero "
        "mid-solve CPU<->GPU syncs. Use for GPU-resident or autograd paths.")


@pytest.mark.float64
def test_config_narrowing_and_range():
    cfg = sc.ModelConfig()
    cfg.jacobi_tol = 1e-6
    assert cfg.jacobi_tol == 9.999999974752427e-07
    cfg.alpha = 1e39
    assert cfg.alpha == float("inf")
    cfg.jacobi_max_iters = 30
    for bad in (2**31, -(2**31) - 1, 3.0, "3"):
        with pytest.raises(TypeError):
            cfg.jacobi_max_iters = bad
    assert cfg.jacobi_max_iters == 30
    cfg.jacobi_max_iters = -(2**31)
    assert cfg.jacobi_max_iters == -(2**31)
    with pytest.raises(TypeError):
        cfg.beta = "0.1"
