"""Transverse velocities of the rotor vortices and the wake-added yaw."""
import itertools
import math

import numpy as np
import pytest
import torch
from torch.library import opcheck

from fixtures import DTYPE, f32, narrow

pytestmark = pytest.mark.float64

ops = torch.ops.sorbane_cpp
DTYPES = sorted({DTYPE, torch.float64}, key=str)
TOL = {torch.float32: dict(rtol=1e-4, atol=1e-6), torch.float64: dict(rtol=1e-10, atol=1e-14)}

# The model's constants at their single-precision values.
DEG, PI_8, PI_2, TWO_PI = (f32(v) for v in (math.pi / 180, math.pi / 8, math.pi / 2, 2 * math.pi))
KAPPA, OFFSET, THIRD = f32(0.41), f32(1e-5), f32(1 / 3)
RAD_TO_DEG = float(np.float32(180) / np.float32(math.pi))  # 57.2957763671875, not f32(180 / pi)
BOUND = 0.5 * math.asin(f32(0.999999)) * RAD_TO_DEG


def vortex_ref(gamma, y, zeta, eps):
    """Point vortex Gamma / (2 pi r) with a Lamb-Oseen core, as (v, w)."""
    r2 = y ** 2 + zeta ** 2
    swirl = gamma / (TWO_PI * r2) * -torch.expm1(-r2 / eps ** 2)
    return swirl * zeta, -swirl * y


def rotor_grid(x, y, hub, d, n, shift=0.0):
    s = torch.linspace(-0.4, 0.4, n, dtype=torch.float64) * d
    ys, zs = torch.meshgrid(y + s + shift, hub + s, indexing="ij")
    return torch.full_like(ys, x) + torch.linspace(-1, 1, n * n, dtype=torch.float64).view(n, n), ys, zs


def tv_inputs(dtype=DTYPE, device="cpu", yaw=(20.0, -12.0), ai=(0.25, 0.3), n=3):
    """Two flow cases, three receivers against two sources: the second source is
    abreast of the first receiver and downstream of the second."""
    hub, d = torch.tensor([90.0, 80.0], dtype=torch.float64), torch.tensor([126.0, 100.0], dtype=torch.float64)
    sources = [(0.0, 0.0, 0), (500.0, 60.0, 1)]
    receivers = [(500.0, -40.0, 0), (300.0, 30.0, 1), (1100.0, 20.0, 0)]
    ups = [torch.stack(g) for g in zip(*(rotor_grid(x, y, hub[k], d[k], n) for x, y, k in sources))]
    rec = [torch.stack(g) for g in zip(*(rotor_grid(x, y, hub[k], d[k], n, 7.0) for x, y, k in receivers))]
    # The second flow case moves every rotor downstream by 3 and the
    # receivers' points up and sideways by 0.5.
    x_u, y_u, z_u = (torch.stack([t, t + shift]) for t, shift in zip(ups, (3.0, 0.0, 0.0)))  # (2, Tu, n, n)
    x_r, y_r, z_r = (torch.stack([t, t + shift]) for t, shift in zip(rec, (3.0, 0.5, 0.5)))
    speed = torch.tensor([8.0, 10.0], dtype=torch.float64).view(2, 1, 1, 1)
    u0 = speed * (z_r / 90.0) ** 0.12
    u_u = 0.8 * speed * (z_u / 90.0) ** 0.12
    yaw_t = torch.tensor([yaw, [-v for v in yaw]], dtype=torch.float64)
    ct = torch.tensor([[0.8, 0.7], [0.75, 0.6]], dtype=torch.float64)
    ai_t = torch.tensor([ai, ai], dtype=torch.float64)
    tsr = torch.tensor([8.0, 7.5], dtype=torch.float64)
    tensors = (x_r, y_r, z_r, x_u, y_u, u_u, u0, yaw_t, ct, ai_t, tsr, hub, d)
    return [t.to(dtype).to(device) for t in tensors] + [0.12, 0.2]


def tv_ref(x_r, y_r, z_r, x_u, y_u, u_u, u0, yaw, ct, ai, tsr, hub, d, shear, gain, rotation_only=False):
    x_r, y_r, z_r, x_u, y_u, u_u, u0, yaw, ct, ai, tsr, hub, d = (
        t.double() for t in (x_r, y_r, z_r, x_u, y_u, u_u, u0, yaw, ct, ai, tsr, hub, d))
    shear, gain = narrow(shear), narrow(gain)
    (n_f, n_r, n), n_u = x_r.shape[:3], x_u.shape[1]
    v_out = torch.zeros(n_f, n_r, n_u, n, n, dtype=torch.float64)
    w_out = torch.zeros_like(v_out)
    for f, r, u in itertools.product(range(n_f), range(n_r), range(n_u)):
        dx = x_r[f, r].mean() - x_u[f, u].mean()
        if dx < 0:
            continue
        u_inf, h, dd = u0[f].mean(), hub[u], d[u]
        lateral = torch.sin(yaw[f, u] * DEG) * torch.cos(yaw[f, u] * DEG) * dd * PI_8 * u_inf * ct[f, u]
        g_top = lateral * ((h + dd / 2) / h) ** shear
        g_bot = -lateral * ((h - dd / 2) / h) ** shear
        g_rot = dd * PI_2 * ai[f, u] * (1 - ai[f, u]) * (u_u[f, u] ** 3).mean() ** THIRD / tsr[u]
        eps = dd * gain
        y, z = y_r[f, r] - y_u[f, u].mean() + OFFSET, z_r[f, r]
        mixing_length = KAPPA * z / (1 + KAPPA * z / (dd / 8))
        nu = mixing_length ** 2 * (u0[f, r] * shear / z).abs()
        decay = eps ** 2 / (4 * nu * dx / u_inf + eps ** 2)
        vortices = [(g_rot, h)] if rotation_only else [(g_top, h + dd / 2), (g_bot, h - dd / 2), (g_rot, h)]
        for gamma, zc in vortices:
            for image, zeta in ((1, z - zc + OFFSET), (-1, z + zc + OFFSET)):  # mirror below ground
                v, w = vortex_ref(image * gamma, y, zeta, eps)
                v_out[f, r, u] += v * decay
                w_out[f, r, u] += w * decay
    return v_out, w_out.clamp_min(0)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("yaw", [(20.0, -12.0), (0.0, 0.0)])
def test_transverse_matches_reference(dtype, yaw):
    args = tv_inputs(dtype, yaw=yaw)
    v, w = ops.gauss_transverse_velocities(*args)
    assert v.shape == w.shape == (2, 3, 2, 3, 3) and v.dtype == dtype
    v_ref, w_ref = tv_ref(*args, rotation_only=yaw == (0.0, 0.0))
    torch.testing.assert_close(v.double(), v_ref, **TOL[dtype])
    torch.testing.assert_close(w.double(), w_ref, **TOL[dtype])
    assert (w >= 0).all() and (w > 0).any()
    # The second receiver lies between the sources: nothing from the second,
    # while the first receiver, abreast of it, is included.
    assert not v[:, 1, 1].any() and not w[:, 1, 1].any()
    assert v[:, 0, 1].abs().min() > 0


def single_rotor(points, ai=0.25, yaw=0.0, dx=0.0):
    """One source (D = 100, hub 100, at the origin) and one receiver rotor
    whose 2 x 2 grid points are the given (y, z); dx = 0 means no decay."""
    y = torch.tensor([p[0] for p in points], dtype=DTYPE).view(1, 1, 2, 2)
    z = torch.tensor([p[1] for p in points], dtype=DTYPE).view(1, 1, 2, 2)
    x_u = torch.zeros(1, 1, 2, 2, dtype=DTYPE)
    y_u = torch.tensor([-25.0, 25.0], dtype=DTYPE).view(1, 1, 2, 1).expand(1, 1, 2, 2)
    u = torch.full((1, 1, 2, 2), 8.0, dtype=DTYPE)
    scalar = lambda v: torch.tensor([[v]], dtype=DTYPE)
    per_turbine = lambda v: torch.tensor([v], dtype=DTYPE)
    return ops.gauss_transverse_velocities(
        x_u + dx, y, z, x_u, y_u, u, u, scalar(yaw), scalar(0.8), scalar(ai),
        per_turbine(8.0), per_turbine(100.0), per_turbine(100.0), 0.12, 0.2)


def test_rotation_pair_at_hand_picked_points():
    # Left of, right of, above and below the hub of a swirl Gamma > 0.
    v, w = single_rotor([(-30.0, 100.0), (30.0, 100.0), (0.0, 140.0), (0.0, 60.0)])
    gamma = 100 * PI_2 * 0.25 * 0.75 * 512 ** THIRD / 8.0
    eps = 100 * narrow(0.2)
    for k, (y, z) in enumerate([(-30.0, 100.0), (30.0, 100.0), (0.0, 140.0), (0.0, 60.0)]):
        y, z = torch.tensor(y + OFFSET, dtype=torch.float64), torch.tensor(z, dtype=torch.float64)
        v_ref, w_ref = (a + b for a, b in zip(vortex_ref(gamma, y, z - 100 + OFFSET, eps),
                                               vortex_ref(-gamma, y, z + 100 + OFFSET, eps)))
        torch.testing.assert_close(v.flatten()[k].double(), v_ref, **TOL[DTYPE])
        torch.testing.assert_close(w.flatten()[k].double(), w_ref.clamp_min(0), **TOL[DTYPE])
    v, w = v.flatten(), w.flatten()
    assert w[0] > 0 and w[1] == 0  # upwash on the left; the downwash on the right is clipped
    assert v[2] > 0 > v[3]


@pytest.mark.parametrize("ai", [0.0, 1.0])
def test_no_swirl_and_no_yaw_give_no_flow(ai):
    v, w = ops.gauss_transverse_velocities(*tv_inputs(yaw=(0.0, 0.0), ai=(ai, ai)))
    assert not v.any() and not w.any()


def test_reversed_yaw_reverses_the_pair():
    v, w = ops.gauss_transverse_velocities(*tv_inputs(yaw=(20.0, -12.0), ai=(0.0, 0.0)))
    v_rev, w_rev = ops.gauss_transverse_velocities(*tv_inputs(yaw=(-20.0, 12.0), ai=(0.0, 0.0)))
    assert torch.equal(v_rev, -v) and (v != 0).any()
    # Up- and downwash trade places; the clip keeps only one of them.
    assert not (w * w_rev).any() and ((w + w_rev) > 0).any()


@pytest.mark.parametrize("dx,flows", [(-50.0, False), (-0.5, False), (0.0, True), (50.0, True)])
def test_upstream_receivers_get_nothing(dx, flows):
    v, w = single_rotor([(-30.0, 100.0), (30.0, 100.0), (0.0, 140.0), (0.0, 60.0)], yaw=15.0, dx=dx)
    assert bool(v.any()) == flows and bool(w.any()) == flows


def way_inputs(dtype=DTYPE, device="cpu", v_mean=(0.3, -0.2), ct=(0.8, 0.6), ai=(0.25, 0.2), n=3):
    d, hub = 126.0, 90.0
    s = torch.linspace(-0.45, 0.45, n, dtype=torch.float64) * d
    dy, dz = torch.meshgrid(s + 4.0, s, indexing="ij")
    z = (hub + 6.0 + dz).expand(2, n, n)  # off centre, so the swirl has a rotor mean
    u0 = torch.tensor([8.0, 11.0], dtype=torch.float64).view(2, 1, 1) * (z / hub) ** 0.12
    u = u0 * (1 - 0.2 * torch.exp(-(dy ** 2 + dz ** 2) / 3000))
    v = torch.tensor(v_mean, dtype=torch.float64).view(2, 1, 1) + 0.05 * dy / d
    tensors = (u, v, u0, dy.expand(2, n, n), z, torch.tensor(ct), torch.tensor(ai))
    return [t.to(dtype).to(device).contiguous() for t in tensors] + [8.0, hub, d, 0.12]


def way_parts(u, v, u0, dy, z, ct, ai, tsr, hub, d, shear):
    """(v_mean, v_core, v_top + v_bot) per flow case."""
    u, v, u0, dy, z, ct, ai = (t.double() for t in (u, v, u0, dy, z, ct, ai))
    # The turbine's own scalars, in single precision; a fused multiply-add
    # rounds once, as the exact sum rounded to single precision does.
    s = np.float32
    d, hub, shear, tsr = s(d), s(hub), s(shear), s(tsr)
    eps2 = (s(0.2) * d) ** 2
    z_top, z_bot = s(float(hub) + 0.5 * float(d)), s(float(hub) - 0.5 * float(d))
    vel_top, vel_bot = (max(zc / hub, s(1e-6)) ** shear for zc in (z_top, z_bot))
    g = d * s(PI_8)
    g_top = u0.mean((1, 2)) * float(g * vel_top) * ct
    g_bot = u0.mean((1, 2)) * float(-(vel_bot * g)) * ct
    g_rot = (ai - ai ** 2) * float(d * s(PI_2)) * (u ** 3).mean((1, 2)) ** THIRD / float(tsr)

    def spanwise(gamma, zc):
        zeta = z - float(zc) + OFFSET
        return vortex_ref(gamma.view(-1, 1, 1), dy + OFFSET, zeta, math.sqrt(eps2))[0].mean((1, 2))

    return v.mean((1, 2)), spanwise(g_rot, hub), spanwise(g_top, z_top) + spanwise(g_bot, z_bot)


def way_ref(*args):
    # The yaw whose vortex pair, scaled by sin(g) cos(g) = sin(2 g) / 2,
    # accounts for the spanwise flow beyond the swirl.
    v_mean, v_core, pair = way_parts(*args)
    ratio = (2 * (v_mean - v_core) / pair).clamp(-f32(0.999999), f32(0.999999))
    return 0.5 * torch.asin(ratio) * RAD_TO_DEG


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("v_mean", [(0.3, -0.2), (-0.05, 0.25)])
def test_wake_added_yaw_matches_reference(dtype, v_mean):
    args = way_inputs(dtype, v_mean=v_mean)
    out = ops.wake_added_yaw(*args)
    assert out.shape == (2,) and out.dtype == dtype
    ref = way_ref(*args)
    assert ref.abs().max() < 0.99 * BOUND  # off the bound, so the whole formula is seen
    torch.testing.assert_close(out.double(), ref, **TOL[dtype])


def test_wake_added_yaw_is_bounded():
    out = ops.wake_added_yaw(*way_inputs(v_mean=(1e3, -1e3)))
    assert BOUND == pytest.approx(44.96, abs=0.005)
    # The pair's own flow across the rotor is negative (-y), so a flow to +y
    # calls for negative yaw.
    torch.testing.assert_close(out, torch.tensor([-BOUND, BOUND], dtype=DTYPE))


@pytest.mark.parametrize("v_mean,expected", [
    ((1e-9, -1e-3), (BOUND, -BOUND)),
    ((0.0, 0.0), (0.0, 0.0)),
    ((2.5e-11, -2.5e-11), (15.0, -15.0)),  # 2 * 2.5e-11 / 1e-10 = sin(30 degrees)
])
def test_wake_added_yaw_with_a_vanishing_denominator(v_mean, expected):
    # Ct = 0 and a = 0: neither the pair nor the swirl induces anything, and the
    # denominator falls back to a positive 1e-10.
    args = way_inputs(ct=(0.0, 0.0), ai=(0.0, 0.0))
    args[1] = torch.tensor(v_mean, dtype=DTYPE).view(2, 1, 1).expand_as(args[1])
    out = ops.wake_added_yaw(*args)
    torch.testing.assert_close(out, torch.tensor(expected, dtype=DTYPE), rtol=1e-5, atol=1e-6)


def test_wake_added_yaw_zero_when_the_flow_is_the_swirl_alone():
    args = way_inputs(torch.float64)
    _, v_core, pair = way_parts(*args)
    assert (v_core.abs() > 1e-4).all() and (pair.abs() > 1e-2).all()
    args[1] = v_core.view(2, 1, 1).expand_as(args[1])
    torch.testing.assert_close(ops.wake_added_yaw(*args), torch.zeros(2, dtype=torch.float64),
                               rtol=0, atol=1e-9)


def test_gradcheck():
    tv = tv_inputs(torch.float64, n=2)
    tv[0] = tv[0] + 1.0  # no receiver abreast of a source: the mask's step is not differentiable
    tv = [a.requires_grad_() if torch.is_tensor(a) else a for a in tv]
    assert torch.autograd.gradcheck(lambda *t: ops.gauss_transverse_velocities(*t, *tv[13:]), tv[:13])
    way = [a.requires_grad_() if torch.is_tensor(a) else a for a in way_inputs(torch.float64)]
    assert torch.autograd.gradcheck(lambda *t: ops.wake_added_yaw(*t, *way[7:]), way[:7])


def test_opcheck():
    tv = [a.requires_grad_() if torch.is_tensor(a) else a for a in tv_inputs(torch.float64, n=2)]
    opcheck(ops.gauss_transverse_velocities.default, tuple(tv))
    way = [a.requires_grad_() if torch.is_tensor(a) else a for a in way_inputs(torch.float64)]
    opcheck(ops.wake_added_yaw.default, tuple(way))


def test_meta_device_shapes():
    # No host read or device transfer: meta tensors carry no data at all.
    v, w = ops.gauss_transverse_velocities(*tv_inputs(device="meta"))
    assert v.device.type == w.device.type == "meta"
    assert v.shape == w.shape == (2, 3, 2, 3, 3)
    out = ops.wake_added_yaw(*way_inputs(device="meta"))
    assert out.device.type == "meta" and out.shape == (2,)
