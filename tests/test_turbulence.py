"""Crespo-Hernandez wake-added turbulence and yaw-added turbulence mixing."""
import pytest
import torch
from torch.library import opcheck

from fixtures import DTYPE, f32

pytestmark = pytest.mark.float64

ops = torch.ops.sorbane_cpp
DTYPES = sorted({DTYPE, torch.float64}, key=str)
TOL = {torch.float32: dict(rtol=1e-5, atol=1e-7), torch.float64: dict(rtol=1e-12, atol=1e-14)}

# (initial, constant, ai_exp, downstream): a published fit and a second set.
CH_PARAMS = [(0.0325, 0.73, 0.8, -0.32), (0.1, 0.9, 0.75, -0.325)]


def ch_inputs(dtype=DTYPE, device="cpu"):
    # Three receivers against two sources: upstream, abreast, within and well
    # beyond 0.1 downstream; one flow case has no ambient turbulence at all.
    x_recv = torch.tensor([[0.0, 400.05, 1300.0], [-5.0, 650.0, 900.0]], dtype=dtype)
    x_i = torch.tensor([[0.0, 400.0], [0.0, 500.0]], dtype=dtype)
    rotor_d = torch.tensor([126.0, 90.0], dtype=dtype)
    a = torch.tensor([[0.25, 0.3], [0.2, 0.0]], dtype=dtype)
    ti0 = torch.tensor([0.06, 0.0], dtype=torch.float64)  # converted to x_recv's dtype
    return [t.to(device) for t in (x_recv, x_i, rotor_d, a, ti0)]


def ch_ref(x_recv, x_i, rotor_d, a, ti0, initial, constant, ai_exp, downstream):
    x_recv, x_i, rotor_d, a, ti0 = (t.double() for t in (x_recv, x_i, rotor_d, a, ti0))
    dx = x_recv[:, :, None] - x_i[:, None, :]
    added = (constant * a[:, None, :].clamp_min(1e-6) ** ai_exp
             * ti0[:, None, None].clamp_min(1e-6) ** initial
             * (dx / rotor_d).clamp_min(1e-6) ** downstream)
    return torch.where(dx > 0.1, added, 0.0)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("params", CH_PARAMS)
def test_crespo_hernandez_matches_reference(dtype, params):
    args = ch_inputs(dtype)
    out = ops.crespo_hernandez_ti(*args, *params)
    assert out.dtype == dtype and out.shape == (2, 3, 2)
    torch.testing.assert_close(out.double(), ch_ref(*args, *params), **TOL[dtype])
    assert (out[0, 1, 0] > 0) and (out[1, 2, 1] > 0)


@pytest.mark.parametrize("dx", [-3.0, 0.0, 0.05, 0.1])
def test_crespo_hernandez_zero_at_or_within_a_tenth(dx):
    # Source at 0, so the receiver's distance is the literal itself (0.1 included).
    x_i = torch.zeros(1, 1, dtype=DTYPE)
    rest = torch.tensor([126.0], dtype=DTYPE), torch.tensor([[0.3]], dtype=DTYPE), torch.tensor([0.08])
    x_recv = torch.tensor([[dx]], dtype=DTYPE)
    assert ops.crespo_hernandez_ti(x_recv, x_i, *rest, *CH_PARAMS[0]).item() == 0.0
    assert ops.crespo_hernandez_ti(torch.full_like(x_recv, 0.11), x_i, *rest, *CH_PARAMS[0]).item() > 0.0


def test_crespo_hernandez_zero_exponents_give_the_constant():
    out = ops.crespo_hernandez_ti(*ch_inputs(), 0.0, 0.77, 0.0, 0.0)
    # Floors keep 0^0 away even where a = 0 and the ambient TI is 0.
    downstream = torch.tensor([[[0, 0], [1, 0], [1, 1]], [[0, 0], [1, 1], [1, 1]]], dtype=torch.bool)
    expected = torch.where(downstream, torch.tensor(0.77, dtype=DTYPE), torch.zeros((), dtype=DTYPE))
    assert torch.equal(out, expected)


def mix_inputs(dtype=DTYPE, device="cpu", transverse=1.0, seed=0):
    g = torch.Generator().manual_seed(seed)
    u = 6.0 + 2.0 * torch.rand(2, 3, 3, generator=g, dtype=torch.float64)
    ti = torch.tensor([0.06, 0.11], dtype=torch.float64)
    flows = [transverse * (torch.rand(2, 3, 3, generator=g, dtype=torch.float64) - 0.3) for _ in range(4)]
    return [t.to(dtype).to(device) for t in (u, ti, *flows)]


def mix_ref(u, ti, v, w, turb_v, turb_w):
    # Isotropic turbulence carries k = 3/2 (U TI)^2; the mean transverse flow
    # adds (v^2 + w^2) / 2, and TI = sqrt(2 k / 3) / U.
    u, ti, v, w, turb_v, turb_w = (t.double() for t in (u, ti, v, w, turb_v, turb_w))
    u_eff = (u ** 3).mean((1, 2)) ** f32(1 / 3)
    v_mean, w_mean = (v + turb_v).mean((1, 2)), (w + turb_w).mean((1, 2))
    kinetic = (u_eff * ti) ** 2 + f32(2 / 3) * 0.5 * (v_mean ** 2 + w_mean ** 2)
    return kinetic.sqrt() / u_eff - ti


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", [0, 1])
def test_mixing_matches_reference(dtype, seed):
    args = mix_inputs(dtype, seed=seed)
    out = ops.yaw_added_turbulence_mixing(*args)
    assert out.dtype == dtype and out.shape == (2,)
    torch.testing.assert_close(out.double(), mix_ref(*args), **TOL[dtype])


def test_mixing_zero_without_transverse_flow():
    out = ops.yaw_added_turbulence_mixing(*mix_inputs(transverse=0.0))
    torch.testing.assert_close(out, torch.zeros(2, dtype=DTYPE), rtol=0, atol=4 * torch.finfo(DTYPE).eps)


@pytest.mark.parametrize("which", [2, 3, 4, 5])
def test_mixing_positive_and_blind_to_the_sign_of_the_flow(which):
    base = mix_inputs(transverse=0.0)
    one = [t.clone() for t in base]
    one[which] = torch.full_like(base[which], 0.4)
    flipped, doubled = list(one), list(one)
    flipped[which], doubled[which] = -one[which], 2 * one[which]
    out, out_flipped, out_doubled = (ops.yaw_added_turbulence_mixing(*a) for a in (one, flipped, doubled))
    assert (out > 0).all() and (out_doubled > out).all()
    torch.testing.assert_close(out_flipped, out, rtol=0, atol=0)


def test_gradcheck():
    ch = [t.double().requires_grad_() for t in ch_inputs(torch.float64)]
    ch[4] = torch.tensor([0.06, 0.09], dtype=torch.float64, requires_grad=True)  # off the floor
    assert torch.autograd.gradcheck(lambda *t: ops.crespo_hernandez_ti(*t, *CH_PARAMS[0]), ch)
    mix = [t.requires_grad_() for t in mix_inputs(torch.float64)]
    assert torch.autograd.gradcheck(ops.yaw_added_turbulence_mixing, mix)


def test_opcheck():
    ch = [t.requires_grad_() for t in ch_inputs(torch.float64)]
    opcheck(ops.crespo_hernandez_ti.default, (*ch, *CH_PARAMS[0]))
    mix = [t.requires_grad_() for t in mix_inputs(torch.float64)]
    opcheck(ops.yaw_added_turbulence_mixing.default, tuple(mix))


def test_meta_device_shapes():
    # No host read or device transfer: meta tensors carry no data at all.
    ch = ch_inputs(device="meta")
    out = ops.crespo_hernandez_ti(*ch, *CH_PARAMS[0])
    assert out.device.type == "meta" and out.shape == (2, 3, 2) and out.dtype == DTYPE
    out = ops.yaw_added_turbulence_mixing(*mix_inputs(device="meta"))
    assert out.device.type == "meta" and out.shape == (2,)
    # Grid axes 1 and 2 are reduced, whatever trails them.
    u = torch.empty(2, 3, 3, 4, device="meta", dtype=DTYPE)
    out = ops.yaw_added_turbulence_mixing(u, torch.empty(2, 4, device="meta", dtype=DTYPE), u, u, u, u)
    assert out.shape == (2, 4)
