"""The farm run: hand-checkable farms, layout order, batching and the annual energy."""
import math
import random

import pytest
import torch

from fixtures import (DTYPE, TEST_POWER, TEST_SPEEDS, example_with_variety, make_farm, sc,
                      small_turbine)

import farmrun
from farmrun import FarmDescription, FlowCases, ModelOptions
from farmrun.runner import direction_batches, plan_batches

pytestmark = pytest.mark.float64

TOL = dict(rtol=1e-5, atol=1e-5) if DTYPE == torch.float32 else dict(rtol=1e-9, atol=1e-6)

def table_power(u):
    """Linear interpolation of the test table, by hand."""
    pairs = zip(zip(TEST_SPEEDS, TEST_POWER), zip(TEST_SPEEDS[1:], TEST_POWER[1:]))
    for (x0, p0), (x1, p1) in pairs:
        if x0 <= u <= x1:
            return p0 + (p1 - p0) * (u - x0) / (x1 - x0)
    raise ValueError(u)


@pytest.mark.parametrize("speed", [4.0, 6.5, 8.0, 10.25, 20.0])
def test_one_turbine_gives_table_power_at_freestream_speed(speed):
    r = farmrun.run(make_farm([0.0], [0.0], [270.0], [speed], wind_shear=0.0))
    torch.testing.assert_close(r.rotor_velocity, torch.full((1, 1), speed, dtype=DTYPE), **TOL)
    assert float(r.power[0, 0]) == pytest.approx(table_power(speed), rel=1e-5)
    assert float(r.wake_loss[0]) == pytest.approx(0.0, abs=1e-4)


def test_one_turbine_in_shear_sees_the_rotor_effective_speed():
    # Points at hub height -25, 0, +25 m (a quarter diameter either side), power-law profile.
    z = [75.0, 100.0, 125.0]
    cubes = [(8.0 * (h / 90.0) ** 0.2) ** 3 for h in z]
    u_eff = (sum(cubes) / 3) ** (1 / 3)
    r = farmrun.run(make_farm([0.0], [0.0], [200.0], [8.0], wind_shear=0.2,
                              reference_wind_height=90.0))
    assert float(r.rotor_velocity[0, 0]) == pytest.approx(u_eff, rel=1e-5)
    assert float(r.power[0, 0]) == pytest.approx(table_power(u_eff), rel=1e-5)


def test_yawed_turbine_loses_power_by_the_cosine_law():
    r = farmrun.run(make_farm([0.0], [0.0], [270.0, 270.0], [8.0, 8.0], wind_shear=0.0,
                              yaw_angles=[[0.0], [25.0]]))
    expected = 1500e3 * math.cos(math.radians(25.0)) ** 1.88
    assert float(r.power[1, 0]) == pytest.approx(expected, rel=1e-5)
    assert float(r.power[0, 0]) == pytest.approx(1500e3, rel=1e-5)


@pytest.mark.parametrize("wd", [0.0, 90.0, 180.0, 270.0])
def test_two_turbines_side_by_side_far_apart_lose_nothing(wd):
    # 20 diameters apart across the wind: neither is downstream of the other.
    across = math.radians(wd)
    x, y = [0.0, 2000.0 * math.cos(across)], [0.0, -2000.0 * math.sin(across)]
    r = farmrun.run(make_farm(x, y, [wd], [9.0], wind_shear=0.0))
    torch.testing.assert_close(r.power, r.power_no_wake, **TOL)
    assert float(r.wake_loss[0]) == pytest.approx(0.0, abs=1e-4)
    assert float(r.power[0, 0]) == pytest.approx(table_power(9.0), rel=1e-5)


def row_loss(spacing_d, thrust_scale=1.0, n=3):
    x = [100.0 * spacing_d * i for i in range(n)]
    r = farmrun.run(make_farm(x, [0.0] * n, [270.0], [9.0], thrust_scale=thrust_scale))
    return float(r.wake_loss[0]), r


def test_row_aligned_with_the_wind_loss_grows_with_thrust_and_shrinks_with_spacing():
    by_thrust = [row_loss(6.0, s)[0] for s in (0.25, 0.5, 0.75, 1.0)]
    by_spacing = [row_loss(d)[0] for d in (4.0, 6.0, 9.0, 14.0)]
    assert by_thrust[0] > 0.5
    assert all(a < b for a, b in zip(by_thrust, by_thrust[1:])), by_thrust
    assert all(a > b for a, b in zip(by_spacing, by_spacing[1:])), by_spacing
    _, r = row_loss(6.0)
    # The front turbine is unwaked, the others are slower (the third need not be
    # slower than the second: its wake-added turbulence speeds up the recovery).
    u = r.rotor_velocity[0]
    assert float(u[0]) == pytest.approx(float(r.rotor_velocity_no_wake[0, 0]), rel=1e-6)
    assert float(u[1]) < float(u[0]) - 1.0 and float(u[2]) < float(u[0]) - 1.0


def test_two_heights_with_layout_order_not_downstream_order():
    # Layout turbine 0 stands 600 m downstream of turbine 1 (wind from 270):
    # the solvers' order is [1, 0]. The tall turbine's hub height must reach
    # the solver at its downstream position.
    D, h_up, h_down, U, ti = 100.0, 80.0, 140.0, 9.0, 0.06
    farm = make_farm([600.0, 0.0], [0.0, 0.0], [270.0], [U], wind_shear=0.0, ti=ti,
                     hub_heights=[h_down, h_up])
    r = farmrun.run(farm)

    # One wake, built from the kernels: rotor points at +-D/4 of each hub.
    o = torch.linspace(-0.25 * D, 0.25 * D, 3, dtype=DTYPE)
    def rotor(x, hub):
        return (torch.full((1, 1, 3, 3), x, dtype=DTYPE), o.view(1, 1, 3, 1).expand(1, 1, 3, 3),
                (hub + o).view(1, 1, 1, 3).expand(1, 1, 3, 3))
    Xr, Yr, Zr = rotor(600.0, h_down)
    Xu, Yu, _ = rotor(0.0, h_up)
    # Table thrust at 9 m/s, no yaw, tilt at the reference tilt.
    ct = torch.tensor([[0.8 + (0.4 - 0.8) * (U - 8.0) / 4.0]], dtype=DTYPE)
    ti_u = torch.tensor([[ti]], dtype=DTYPE)
    zero = torch.zeros(1, 1, dtype=DTYPE)
    m = ModelOptions()
    d = torch.ops.sorbane_cpp.gauss_velocity_deficit(
        Xr, Yr, Zr, Xu, Yu, ct, zero, ti_u, torch.zeros(1, 1, 1, dtype=DTYPE),
        torch.tensor([h_up], dtype=DTYPE), torch.tensor([D], dtype=DTYPE),
        m.alpha, m.beta, m.ka, m.kb, m.sigmoid_k)[:, :, 0]
    u = U * (1.0 - d)
    expected = float(u.pow(3).mean().pow(1 / 3))
    assert expected < U - 0.5  # the wake reaches the tall rotor in part
    assert float(r.rotor_velocity[0, 0]) == pytest.approx(expected, rel=1e-4)
    assert float(r.rotor_velocity[0, 1]) == pytest.approx(U, rel=1e-6)

    # The same farm with the layout in downstream order gives the same answer.
    swapped = make_farm([0.0, 600.0], [0.0, 0.0], [270.0], [U], wind_shear=0.0, ti=ti,
                        hub_heights=[h_up, h_down])
    s = farmrun.run(swapped)
    torch.testing.assert_close(s.rotor_velocity.flip(1), r.rotor_velocity, **TOL)


def permuted(farm, perm):
    import copy
    p = copy.deepcopy(farm)
    p.layout_x = [farm.layout_x[i] for i in perm]
    p.layout_y = [farm.layout_y[i] for i in perm]
    p.hub_heights = [farm.hub_heights[i] for i in perm]
    p.yaw_angles = [[row[i] for i in perm] for row in farm.yaw_angles]
    return p


@pytest.mark.parametrize("solver", ["sequential", "jacobi"])
def test_permuting_the_layout_permutes_the_results(solver):
    farm = example_with_variety()
    perm = list(range(len(farm.layout_x)))
    random.Random(3).shuffle(perm)
    a = farmrun.run(farm, solver=solver)
    b = farmrun.run(permuted(farm, perm), solver=solver)
    for name in ("rotor_velocity", "turbulence_intensity", "thrust_coefficient", "power",
                 "power_no_wake"):
        torch.testing.assert_close(getattr(b, name), getattr(a, name)[:, perm], **TOL, msg=name)
    assert float(a.wake_loss.max()) > 1.0


def test_results_do_not_depend_on_the_batch_size():
    farm = example_with_variety()
    one = farmrun.run(farm, batch_size=10**6)
    several = farmrun.run(farm, batch_size=1)
    assert (one.n_batches, several.n_batches) == (1, 12)
    for name in ("rotor_velocity", "turbulence_intensity", "power"):
        torch.testing.assert_close(getattr(several, name), getattr(one, name),
                                   rtol=1e-6, atol=1e-6, msg=name)


def test_mixed_directions_equal_one_direction_at_a_time():
    farm = example_with_variety()
    # Interleave the directions, so one solve per direction must gather and scatter.
    order = list(range(len(farm.cases.wind_directions)))
    random.Random(5).shuffle(order)
    c = farm.cases
    farm.cases = FlowCases(*[[getattr(c, f)[i] for i in order] for f in
                             ("wind_directions", "wind_speeds", "turbulence_intensities",
                              "frequencies")])
    farm.yaw_angles = [farm.yaw_angles[i] for i in order]
    mixed = farmrun.run(farm)
    for i in range(len(order)):
        import copy
        single = copy.deepcopy(farm)
        single.cases = FlowCases([c.wind_directions[order[i]]], [c.wind_speeds[order[i]]],
                                 [c.turbulence_intensities[order[i]]], [1.0])
        single.yaw_angles = [farm.yaw_angles[i]]
        s = farmrun.run(single)
        torch.testing.assert_close(mixed.power[i:i + 1], s.power, **TOL)
        torch.testing.assert_close(mixed.rotor_velocity[i:i + 1], s.rotor_velocity, **TOL)


def test_converged_jacobi_agrees_with_sequential_on_the_example():
    farm = farmrun.example_farm()
    a = farmrun.run(farm, solver="sequential")
    b = farmrun.run(farm, solver="jacobi")
    torch.testing.assert_close(b.rotor_velocity, a.rotor_velocity, **TOL)
    torch.testing.assert_close(b.turbulence_intensity, a.turbulence_intensity, **TOL)
    ea, eb = farmrun.annual_energy(a), farmrun.annual_energy(b)
    assert eb.aep_gwh == pytest.approx(ea.aep_gwh, rel=1e-5)
    assert 1.0 < ea.wake_loss_percent < 30.0


def test_aep_of_one_turbine_is_the_rose_weighted_table_power_times_8766_hours():
    rose = farmrun.weibull_rose([0.5, 0.3, 0.2], [7.0, 8.0, 9.0], 2.0, [3.0, 5.0, 8.0, 11.0, 26.0])
    farm = FarmDescription(layout_x=[0.0], layout_y=[0.0], turbine=small_turbine(),
                           cases=rose.cases(), wind_shear=0.0)
    e = farmrun.annual_energy(farmrun.run(farm))
    expected = sum(f * table_power(u) for row in rose.frequencies
                   for f, u in zip(row, rose.wind_speeds)) * 8766.0 / 1e9
    assert farmrun.HOURS_PER_YEAR == 8766.0
    assert e.aep_gwh == pytest.approx(expected, rel=1e-5)
    assert e.aep_no_wake_gwh == pytest.approx(expected, rel=1e-5)
    assert float(e.turbine_aep_gwh[0]) == pytest.approx(expected, rel=1e-5)


def test_weibull_rose_frequencies():
    rose = farmrun.weibull_rose([0.25] * 4, [8.0] * 4, 2.0, [2.0, 4.0, 6.0])
    assert rose.wind_directions == [0.0, 90.0, 180.0, 270.0]
    # Bins [0, 3), [3, 5), [5, 7), renormalised to the sector's share.
    cdf = [1 - math.exp(-(e / 8.0) ** 2) for e in (0.0, 3.0, 5.0, 7.0)]
    p = [b - a for a, b in zip(cdf, cdf[1:])]
    assert rose.frequencies[2] == pytest.approx([0.25 * q / sum(p) for q in p])
    c = rose.cases()
    assert c.wind_directions[:4] == [0.0, 0.0, 0.0, 90.0] and c.wind_speeds[:4] == [2.0, 4.0, 6.0, 2.0]
    assert math.fsum(c.frequencies) == pytest.approx(1.0)


def test_batches_mix_directions_and_searches_keep_one():
    wd = [270.0, 0.0, 270.0, 360.0, 90.0, 270.0, -90.0]
    assert plan_batches(wd, 3) == [[0, 1, 2], [3, 4, 5], [6]]
    batches = direction_batches(wd, 2)
    assert sorted(i for b in batches for i in b) == list(range(len(wd)))
    assert batches == [[0, 2], [5, 6], [1, 3], [4]]
