"""The operator namespace: eight operators, their exact schemas, one composite kernel each."""
import pytest
import torch

from fixtures import sc  # noqa: F401  (loading the module registers the operators)

SCHEMAS = {
    "gauss_velocity_deficit": "gauss_velocity_deficit(Tensor x_recv, Tensor y_recv, Tensor z_recv, Tensor x_ups, Tensor y_ups, Tensor ct_ups, Tensor yaw_ups, Tensor ti_ups, Tensor deflection, Tensor hub_h, Tensor rotor_d, float alpha, float beta, float ka, float kb, float sigmoid_k) -> Tensor",
    "gauss_deflection": "gauss_deflection(Tensor x_i, Tensor y_i, Tensor x_recv, Tensor ct_ups, Tensor yaw_ups, Tensor ti_ups, Tensor rotor_d, float alpha, float beta, float ka, float kb, float ad, float bd, float dm) -> Tensor",
    "sosfs_combination": "sosfs_combination(Tensor deficits, int dim) -> Tensor",
    "crespo_hernandez_ti": "crespo_hernandez_ti(Tensor x_recv, Tensor x_i, Tensor rotor_d, Tensor axial_induction, Tensor ambient_ti, float initial, float constant, float ai_exp, float downstream) -> Tensor",
    "interp1d": "interp1d(Tensor x, Tensor y, Tensor xnew) -> Tensor",
    "gauss_transverse_velocities": "gauss_transverse_velocities(Tensor x_recv, Tensor y_recv, Tensor z_recv, Tensor x_ups, Tensor y_ups, Tensor u_ups, Tensor u_initial, Tensor yaw_ups, Tensor ct_ups, Tensor ai_ups, Tensor tsr_ups, Tensor hub_h, Tensor rotor_d, float wind_shear, float eps_gain) -> (Tensor, Tensor)",
    "wake_added_yaw": "wake_added_yaw(Tensor u_i, Tensor v_i, Tensor u_initial_i, Tensor delta_y, Tensor z_i, Tensor ct_i, Tensor ai_i, float tsr_i, float hub_height, float rotor_diameter, float wind_shear) -> Tensor",
    "yaw_added_turbulence_mixing": "yaw_added_turbulence_mixing(Tensor u_i, Tensor I_i, Tensor v_i, Tensor w_i, Tensor turb_v_i, Tensor turb_w_i) -> Tensor",
}


@pytest.mark.float64
def test_namespace_holds_exactly_the_eight_operators():
    names = {n for n in torch._C._dispatch_get_all_op_names() if n.startswith("sorbane_cpp::")}
    assert names == {"sorbane_cpp::" + n for n in SCHEMAS}


@pytest.mark.float64
@pytest.mark.parametrize("name", SCHEMAS)
def test_schema_and_single_composite_kernel(name):
    op = getattr(torch.ops.sorbane_cpp, name).default
    assert str(op._schema) == "sorbane_cpp::" + SCHEMAS[name]
    assert len(op._schema.returns) == (2 if name == "gauss_transverse_velocities" else 1)
    assert op.tags == []
    dump = torch._C._dispatch_dump("sorbane_cpp::" + name)
    assert "alias analysis kind: FROM_SCHEMA" in dump
    # Exactly one kernel, valid for every backend; autograd comes from its composition.
    kernels = [line.split(":")[0] for line in dump.split("alias analysis kind")[1].splitlines()[1:] if line]
    assert kernels == ["CompositeImplicitAutograd[alias]"]
