"""Gaussian velocity deficit against a per-point float64 reference."""
import math

import pytest
import torch

from fixtures import DTYPE, f32, narrow

ops = torch.ops.sorbane_cpp
DEG, CT_MAX, TINY = f32(math.pi / 180), f32(0.9999), f32(1e-6)
SQRT2, SQRT2_4, NW = f32(math.sqrt(2)), f32(math.sqrt(2) / 4), f32(0.501)
PARAMS = dict(alpha=0.58, beta=0.077, ka=0.38, kb=0.004, sigmoid_k=0.05)
DTYPES = sorted({DTYPE, torch.float64}, key=str)


def deficit_ref(X, Y, Z, xu, yu, ct, yaw, ti, delta, H, D, alpha, beta, ka, kb, sigmoid_k):
    alpha, beta, ka, kb, sigmoid_k = map(narrow, (alpha, beta, ka, kb, sigmoid_k))
    dx = X - xu
    gate = 1.0 / (1.0 + math.exp(-sigmoid_k * dx))
    c = math.cos(yaw * DEG)
    ct = min(max(ct, 0.0), CT_MAX)
    q = math.sqrt(max(1.0 - ct, TINY))
    sz0 = D * SQRT2_4
    sy0 = sz0 * c
    x0 = D * c * (1.0 + q) / (max(4.0 * alpha * ti + 2.0 * beta * (1.0 - q), TINY) * SQRT2) + xu
    if X >= x0:  # far wake, expanding linearly from x0
        k = ka * ti + kb
        sy, sz = k * (X - x0) + sy0, k * (X - x0) + sz0
    else:  # near wake, blending from the rotor-plane width
        r = min(max(dx / max(x0 - xu, 1.0), 0.0), 1.0)
        snw = NW * D * math.sqrt(max(ct / 2.0, TINY))
        sy, sz = (1 - r) * snw + r * sy0, (1 - r) * snw + r * sz0
    area = max(8.0 * sy * sz / (D * D), TINY)
    A = 1.0 - math.sqrt(min(max(1.0 - ct * c / area, 0.0), 1.0))
    dy, dz = Y - (yu + delta), Z - H
    return A * math.exp(-0.5 * (dy * dy / max(sy * sy, TINY) + dz * dz / max(sz * sz, TINY))) * gate


def scenario(dtype, F=2, Tr=3, Tu=2, N=3):
    """Two wake sources; receivers upstream of, beside, in the near and in the far wake of them."""
    g = torch.Generator().manual_seed(7)
    D = torch.tensor([126.0, 90.0, 110.0][:Tu])
    H = torch.tensor([90.0, 80.0, 85.0][:Tu])
    off = torch.linspace(-0.25, 0.25, N)
    xu = torch.tensor([[0.0, 300.0, 40.0], [10.0, 250.0, 60.0]])[:F, :Tu]
    yu = torch.tensor([[0.0, 50.0, -30.0], [5.0, -20.0, 10.0]])[:F, :Tu]
    x_ups = xu[:, :, None, None].expand(F, Tu, N, N).clone()
    y_ups = yu[:, :, None, None] + (D[:, None, None] * off[:, None]).expand(Tu, N, N)
    xr = torch.tensor([-50.0, 200.0, 900.0, 1500.0])[:Tr]
    x_recv = xr[None, :, None, None] + torch.rand(F, Tr, N, N, generator=g)
    y_recv = 120.0 * torch.rand(F, Tr, 1, 1, generator=g) - 60.0 + 60.0 * off[:, None] + torch.zeros(N)
    z_recv = 85.0 + 60.0 * off[None, :] + torch.zeros(F, Tr, N, N)
    ct = torch.tensor([[0.8, 0.6, 0.7], [0.7, 0.9, 0.5]])[:F, :Tu]
    yaw = torch.tensor([[20.0, -10.0, 5.0], [0.0, 25.0, -5.0]])[:F, :Tu]
    ti = torch.tensor([[0.06, 0.1, 0.07], [0.08, 0.12, 0.09]])[:F, :Tu]
    deflection = 10.0 * torch.rand(F, Tr, Tu, generator=g) - 5.0
    ts = (x_recv, y_recv, z_recv, x_ups, y_ups, ct, yaw, ti, deflection, H, D)
    return tuple(t.to(dtype) for t in ts)


def reference(args, params):
    x_recv, y_recv, z_recv, x_ups, y_ups, ct, yaw, ti, deflection, H, D = (t.double() for t in args)
    F, Tr, N, _ = x_recv.shape
    Tu = ct.shape[1]
    xu, yu = x_ups.mean((2, 3)), y_ups.mean((2, 3))
    out = torch.empty(F, Tr, Tu, N, N, dtype=torch.float64)
    for f, r, u, i, j in torch.cartesian_prod(*(torch.arange(n) for n in out.shape)).tolist():
        out[f, r, u, i, j] = deficit_ref(
            x_recv[f, r, i, j].item(), y_recv[f, r, i, j].item(), z_recv[f, r, i, j].item(),
            xu[f, u].item(), yu[f, u].item(), ct[f, u].item(), yaw[f, u].item(), ti[f, u].item(),
            deflection[f, r, u].item(), H[u].item(), D[u].item(), **params)
    return out


def call(args, params=PARAMS):
    return ops.gauss_velocity_deficit(*args, *params.values())


@pytest.mark.float64
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("F, Tr, Tu, N", [(2, 3, 2, 3), (1, 1, 3, 2), (2, 4, 1, 1)])
def test_matches_reference(dtype, F, Tr, Tu, N):
    args = scenario(dtype, F, Tr, Tu, N)
    out = call(args)
    assert out.shape == (F, Tr, Tu, N, N) and out.dtype == dtype
    tol = dict(rtol=1e-9, atol=1e-12) if dtype == torch.float64 else dict(rtol=1e-4, atol=1e-6)
    torch.testing.assert_close(out.double(), reference(args, PARAMS), **tol)
    assert out.max() > 0.05  # the scenario does reach into wakes


def one_turbine(X, ct=0.8, yaw=0.0, ti=0.06, D=126.0, dy=0.0, dz=0.0):
    """One source at the origin (hub 90) and one receiver point at X, offset (dy, dz) from the wake centre."""
    t = lambda v: torch.tensor(v, dtype=torch.float64)  # noqa: E731
    delta = 3.0
    return (t([[[[X]]]]), t([[[[delta + dy]]]]), t([[[[90.0 + dz]]]]), t([[[[0.0]]]]), t([[[[0.0]]]]),
            t([[ct]]), t([[yaw]]), t([[ti]]), t([[[delta]]]), t([90.0]), t([D]))


@pytest.mark.float64
@pytest.mark.parametrize("ct, yaw", [(0.8, 0.0), (0.4, 25.0), (0.95, -30.0)])
def test_at_the_rotor_half_the_rotor_plane_deficit(ct, yaw):
    # dx = 0: gate 1/2, ramp 0, widths 0.501 D sqrt(Ct/2) so that the area is 8 0.501^2 Ct/2
    expected = 0.5 * (1.0 - math.sqrt(1.0 - math.cos(yaw * DEG) / (4.0 * NW * NW)))
    out = call(one_turbine(0.0, ct=ct, yaw=yaw)).item()
    assert out == pytest.approx(expected, rel=1e-12)


@pytest.mark.float64
@pytest.mark.parametrize("ti, D", [(0.06, 126.0), (0.5, 1.0)])  # near wake long, and shorter than 1
def test_switch_to_far_wake_at_x0(ti, D):
    q = math.sqrt(1.0 - 0.8)  # zero yaw: cos is exactly 1, so x0 is computed bit for bit as the kernel does
    x0 = D * 1.0 * (1.0 + q) / (max(4.0 * narrow(0.58) * ti + 2.0 * narrow(0.077) * (1.0 - q), TINY) * SQRT2) + 0.0
    for X in (x0 - 1e-3 * D, x0 + 1e-3 * D):
        args = one_turbine(X, ti=ti, D=D, dy=0.3 * D, dz=-0.2 * D)
        assert call(args).item() == pytest.approx(reference(args, PARAMS).item(), rel=1e-12)
    # exactly at x0 the widths are the far-wake starting widths sigma_y0 = sigma_z0 = D sqrt(2)/4
    sz0 = D * SQRT2_4
    gate = 1.0 / (1.0 + math.exp(-narrow(PARAMS["sigmoid_k"]) * x0))
    expected = (1.0 - math.sqrt(1.0 - 0.8 / (8.0 * SQRT2_4**2))) * math.exp(-(0.3 * D) ** 2 / sz0**2) * gate
    assert call(one_turbine(x0, ti=ti, D=D, dy=0.3 * D, dz=-0.3 * D)).item() == pytest.approx(expected, rel=1e-12)


@pytest.mark.float64
def test_thrust_yaw_and_parameter_rounding():
    args = list(scenario(torch.float64))
    ct, yaw = args[5], args[6]
    args[5] = torch.zeros_like(ct)
    assert (call(args) == 0).all()  # no thrust, no deficit
    args[5] = torch.full_like(ct, 1.5)
    saturated = call(args)
    args[5] = torch.full_like(ct, CT_MAX)  # the single-precision 0.9999, in either build
    assert torch.equal(call(args), saturated)
    args[5] = ct
    ref = call(args)
    args[6] = -yaw  # yaw enters through its cosine only
    assert torch.equal(call(args), ref)
    # scalar parameters are used at working precision
    assert torch.equal(call(args, {k: narrow(v) for k, v in PARAMS.items()}), ref)


@pytest.mark.float64
def test_far_off_axis_underflows_without_nan():
    for dy in (1e3, 1e5, 1e30):
        out = call(one_turbine(400.0, dy=dy, dz=-dy))
        assert out.isfinite().all() and 0.0 <= out.item() < 1e-12


@pytest.mark.float64
def test_gradcheck_and_opcheck():
    args = tuple(t.requires_grad_() for t in scenario(torch.float64, F=1, Tr=3, Tu=2, N=2))
    fn = lambda *ts: ops.gauss_velocity_deficit(*ts, *PARAMS.values())  # noqa: E731
    assert torch.autograd.gradcheck(fn, args)
    torch.library.opcheck(ops.gauss_velocity_deficit.default, (*args, *PARAMS.values()))


@pytest.mark.float64
def test_shapes_that_do_not_broadcast_raise():
    args = list(scenario(DTYPE, F=2, Tr=3, Tu=2, N=3))
    args[3] = args[3][:1].repeat(3, 1, 1, 1)  # upstream grids for three flow cases against two
    with pytest.raises(RuntimeError):
        call(args)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device")
def test_cuda_matches_cpu():
    args = scenario(torch.float64)
    torch.testing.assert_close(call([t.cuda() for t in args]).cpu(), call(args), rtol=1e-12, atol=1e-14)
