"""Yawed-wake deflection against a per-turbine float64 reference."""
import math

import pytest
import torch

from fixtures import DTYPE, f32, narrow

ops = torch.ops.sorbane_cpp
DEG, CT_MAX, TINY, SQRT2 = f32(math.pi / 180), f32(0.9999), f32(1e-6), f32(math.sqrt(2))
E12, E3, A16, A52 = f32(3 * math.exp(1 / 12)), f32(3 * math.exp(1 / 3)), f32(1.6), f32(5.2)
PARAMS = dict(alpha=0.58, beta=0.077, ka=0.38, kb=0.004, ad=0.0, bd=0.0, dm=1.0)
DTYPES = sorted({DTYPE, torch.float64}, key=str)


def deflection_ref(X, xi, ct, yaw, ti, D, alpha, beta, ka, kb, ad, bd, dm, cos=math.cos):
    alpha, beta, ka, kb, ad, bd, dm = map(narrow, (alpha, beta, ka, kb, ad, bd, dm))
    dx = X - xi
    if dx <= 0:  # nothing reaches the rotor itself or anything upstream of it
        return 0.0
    gr = -yaw * DEG
    c = cos(gr)
    ct = min(max(ct, 0.0), CT_MAX)
    q = math.sqrt(max(1.0 - ct, TINY))
    ctc = min(max(ct * c, 0.0), CT_MAX)
    qc = math.sqrt(max(1.0 - ctc, TINY))
    sz0 = 0.5 * D * math.sqrt(max(ctc / max(2.0 * (1.0 - qc) * (1.0 + q), TINY), TINY))
    sy0 = sz0 * c
    x0 = D * c * (1.0 + qc) / (max(4.0 * alpha * ti + 2.0 * beta * (1.0 - q), TINY) * SQRT2) + xi
    theta = gr * narrow(f32(0.3) * dm) / max(c, TINY) * (1.0 - qc)
    L = max(x0 - xi, 0.0)
    d0 = math.tan(theta) * L
    lin = ad + bd * dx
    if X <= x0:  # straight skewed segment, reached linearly
        return min(dx / max(L, 1.0), 1.0) * d0 + lin
    k = ka * ti + kb
    sy, sz = k * (X - x0) + sy0, k * (X - x0) + sz0
    C0 = 1.0 - q
    M0 = C0 * (2.0 - C0)
    sM = math.sqrt(max(M0, TINY))
    E0 = C0 * C0 - E12 * C0 + E3
    P0 = max(sy0 * sz0, TINY)
    rho = math.sqrt(max(sy * sz / P0, TINY))
    lam = math.log(max((A16 + sM) * (A16 * rho - sM), TINY) / max(abs((A16 - sM) * (A16 * rho + sM)), TINY))
    return d0 + theta * E0 / A52 * math.sqrt(max(P0 / max(k * k * M0, TINY), TINY)) * lam + lin


def scenario(dtype, F=2, Tr=4, Tu=3):
    xi = torch.tensor([[0.0, 300.0, 700.0], [20.0, 350.0, 650.0]])[:F, :Tu]
    x_recv = torch.tensor([[-100.0, 0.0, 350.0, 1200.0, 3000.0], [20.0, 200.0, 640.0, 900.0, 2500.0]])[:F, :Tr]
    ct = torch.tensor([[0.8, 0.6, 0.75], [0.7, 0.9, 0.5]])[:F, :Tu]
    yaw = torch.tensor([[20.0, -10.0, 30.0], [5.0, 25.0, -15.0]])[:F, :Tu]
    ti = torch.tensor([[0.06, 0.1, 0.07], [0.08, 0.12, 0.09]])[:F, :Tu]
    D = torch.tensor([126.0, 90.0, 110.0])[:Tu]
    return tuple(t.to(dtype) for t in (xi, torch.zeros(F, Tu), x_recv, ct, yaw, ti, D))


def reference(args, params):
    xi, _, x_recv, ct, yaw, ti, D = (t.double() for t in args)
    F, Tr = x_recv.shape
    Tu = xi.shape[1]
    return torch.tensor([[[deflection_ref(x_recv[f, r].item(), xi[f, u].item(), ct[f, u].item(), yaw[f, u].item(),
                                          ti[f, u].item(), D[u].item(), **params) for u in range(Tu)]
                          for r in range(Tr)] for f in range(F)], dtype=torch.float64)


def call(args, params=PARAMS):
    return ops.gauss_deflection(*args, *params.values())


@pytest.mark.float64
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("F, Tr, Tu", [(2, 4, 3), (2, 5, 1), (1, 1, 2)])
@pytest.mark.parametrize("lin", [(0.0, 0.0), (1.5, 0.002)])
def test_matches_reference(dtype, F, Tr, Tu, lin):
    params = {**PARAMS, "ad": lin[0], "bd": lin[1], "dm": 1.3}
    args = scenario(dtype, F, Tr, Tu)
    out = call(args, params)
    assert out.shape == (F, Tr, Tu) and out.dtype == dtype
    tol = dict(rtol=1e-9, atol=1e-10) if dtype == torch.float64 else dict(rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(out.double(), reference(args, params), **tol)


@pytest.mark.float64
def test_yaw_sign_zero_yaw_and_upstream_receivers():
    lin = {**PARAMS, "ad": 2.0, "bd": 0.01}
    xi, y_i, x_recv, ct, yaw, ti, D = scenario(torch.float64)
    dx = x_recv[:, :, None] - xi[:, None, :]
    downstream = dx > 0
    offset = torch.where(downstream, narrow(2.0) + narrow(0.01) * dx, 0.0)
    with_yaw = lambda y, params=lin, y_i=y_i: call((xi, y_i, x_recv, ct, y, ti, D), params)  # noqa: E731
    # receivers at or upstream of the rotor see nothing, not even the linear offset
    assert (with_yaw(yaw)[~downstream] == 0).all()
    # positive yaw pushes the wake towards -y
    assert (with_yaw(yaw, PARAMS) * yaw[:, None, :].sign())[downstream].lt(0).all()
    # reversing the yaw reverses the deflection but not the linear offset
    torch.testing.assert_close(with_yaw(-yaw) - offset, offset - with_yaw(yaw), rtol=1e-12, atol=1e-12)
    torch.testing.assert_close(with_yaw(0 * yaw), offset, rtol=1e-12, atol=1e-12)
    # y_i takes no part, whatever its shape
    torch.testing.assert_close(with_yaw(yaw, y_i=torch.randn(7, 3)), with_yaw(yaw), rtol=0, atol=0)


@pytest.mark.float64
@pytest.mark.parametrize("ti, D", [(0.06, 126.0), (0.5, 1.0)])  # near wake long, and shorter than 1
def test_receiver_at_x0_is_near_wake(ti, D):
    yaw, ct = 20.0, 0.8
    t = lambda v: torch.tensor(v, dtype=torch.float64)  # noqa: E731
    # the same cosine the kernel takes, so that the receiver sits exactly at its x0
    c = torch.cos(t([[yaw]]).unsqueeze(1) * -DEG).item()
    ctc = ct * c
    qc, q = math.sqrt(1.0 - ctc), math.sqrt(1.0 - ct)
    x0 = D * c * (1.0 + qc) / (max(4.0 * narrow(0.58) * ti + 2.0 * narrow(0.077) * (1.0 - q), TINY) * SQRT2) + 0.0
    out = call((t([[0.0]]), t([[0.0]]), t([[x0]]), t([[ct]]), t([[yaw]]), t([[ti]]), t([D]))).item()
    theta = -yaw * DEG * f32(0.3) / c * (1.0 - qc)
    assert out == pytest.approx(x0 / max(x0, 1.0) * math.tan(theta) * x0, rel=1e-12)
    assert out == pytest.approx(deflection_ref(x0, 0.0, ct, yaw, ti, D, **PARAMS, cos=lambda _: c), rel=1e-12)


@pytest.mark.float64
def test_gradcheck_and_opcheck():
    # receivers off the rotors and off the near-wake ends: no kinks
    xi, y_i, x_recv, *rest = scenario(torch.float64)
    args = tuple(t.requires_grad_() for t in (xi, y_i, x_recv + 7.0, *rest))
    fn = lambda *ts: ops.gauss_deflection(*ts, *{**PARAMS, "ad": 1.0, "bd": 0.01}.values())  # noqa: E731
    assert torch.autograd.gradcheck(fn, args)
    torch.library.opcheck(ops.gauss_deflection.default, (*args, *PARAMS.values()))


@pytest.mark.float64
def test_shapes_that_do_not_broadcast_raise():
    args = list(scenario(DTYPE))
    args[2] = torch.zeros(3, 4, dtype=DTYPE)  # receivers for three flow cases against two
    with pytest.raises(RuntimeError):
        call(args)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device")
def test_cuda_matches_cpu():
    args = scenario(torch.float64)
    torch.testing.assert_close(call([t.cuda() for t in args]).cpu(), call(args), rtol=1e-12, atol=1e-12)
