"""Jacobi sweeps: the limit derived from the longest downstream chain settles on the
sequential field; a limit set too low is reported."""
import json

import pytest
import torch

from fixtures import edited, iea_row_farm, in_process, setter, write_farm

import farmrun
from farmrun import ModelOptions
from farmrun.sweeps import jacobi_sweep_limit, longest_chain


@pytest.mark.float64
def test_jacobi_settles_on_a_farm_that_needs_more_than_30_sweeps():
    seq = farmrun.run(iea_row_farm(), solver="sequential")
    jac = farmrun.run(iea_row_farm(), solver="jacobi")
    assert (jac.longest_chains, jac.sweep_limits) == ([40], [40])
    assert not jac.sweeps_may_not_have_settled
    torch.testing.assert_close(jac.rotor_velocity, seq.rotor_velocity, rtol=0.0, atol=1e-4)
    assert float(jac.farm_power[0]) == pytest.approx(float(seq.farm_power[0]), rel=1e-5)
    # A fixed limit of 30 sweeps stops far from the answer, and says so.
    short = farmrun.run(iea_row_farm(model=ModelOptions(jacobi_max_iters=30)), solver="jacobi")
    assert short.sweeps_may_not_have_settled
    assert float(short.farm_power[0]) > 1.5 * float(seq.farm_power[0])


def test_too_few_jacobi_sweeps_are_reported(tmp_path, capsys):
    farm = iea_row_farm(model=ModelOptions(jacobi_max_iters=30))
    doc = edited(setter("layout_x", farm.layout_x), setter("layout_y", farm.layout_y),
                 setter("hub_heights", None), setter("yaw_angles", None),
                 setter("model.jacobi_max_iters", 30))
    out = tmp_path / "out.json"
    assert in_process("run", write_farm(tmp_path, doc), "--solver", "jacobi", "--json", out) == 0
    err = capsys.readouterr().err
    assert err.startswith("farmrun: warning: the Jacobi sweeps may not have settled: "
                          "model.jacobi_max_iters 30 is below the 39 sweeps a downstream chain "
                          "of 40 turbines needs")
    j = json.loads(out.read_text())["jacobi"]
    # One solve of the four directions: along the row the chain is 40.
    assert j["may_not_have_settled"] and j["longest_chain"] == [40]


@pytest.mark.parametrize("x, expected", [
    ([0.0, 910.0, 1820.0], 3),
    ([0.0, 0.0, 0.0], 1),                   # side by side: no wake between them
    ([0.0, 0.05, 0.1, 0.2], 2),             # a wake needs more than 0.1 m
    ([0.0, 0.1, 0.2, 0.3], 2),              # 0 -> 0.2 (0.1 is not beyond 0.1)
    ([[0.0, 500.0, 1000.0], [0.0, 0.0, 9.0]], 3),  # the longest over the cases
    ([300.0, -50.0, 100.0, 100.05, 299.0], 4),
])
def test_longest_chain(x, expected):
    assert longest_chain(torch.tensor(x, dtype=torch.float64)) == expected


@pytest.mark.parametrize("options, chain, limit", [
    (dict(), 40, 40),
    (dict(), 1, 1),
    (dict(enable_secondary_steering=True), 40, 81),
    (dict(enable_yaw_added_recovery=True), 40, 40),   # without transverse velocities: no effect
    (dict(enable_yaw_added_recovery=True, enable_transverse_velocities=True), 40, 81),
    (dict(jacobi_max_iters=30), 40, 30),
])
def test_jacobi_sweep_limit(options, chain, limit):
    assert jacobi_sweep_limit(chain, ModelOptions(**options)) == limit


@pytest.mark.parametrize("model", [
    dict(enable_secondary_steering=True, enable_transverse_velocities=True),
    dict(enable_transverse_velocities=True, enable_yaw_added_recovery=True),
], ids=["steering", "recovery"])
def test_yawed_row_same_with_either_solver(model):
    # Three IEA 3.4 MW turbines 6 D apart, yawed as a steering table would.
    t = farmrun.iea_3p4_130()
    farm = farmrun.FarmDescription([0.0, 780.0, 1560.0], [0.0] * 3, t,
                                   farmrun.FlowCases([270.0, 265.0], [8.0, 10.0], [0.06] * 2,
                                                     [0.5, 0.5]),
                                   yaw_angles=[23.2, 13.3, 0.0], model=ModelOptions(**model))
    seq, jac = farmrun.run(farm), farmrun.run(farm, solver="jacobi")
    torch.testing.assert_close(jac.rotor_velocity, seq.rotor_velocity, rtol=0, atol=1e-4)
