"""Builders shared by the tests: the module under test and its working dtype, farms, flow
fields and model settings.

Turbine data: the IEA Wind Task 37 3.4 MW reference turbine (130 m rotor, 110 m
hub, tip-speed ratio about 8), thrust curve from the copy shipped with farmrun. Model
coefficients are the published ones: Bastankhah & Porte-Agel (2016) near-wake
alpha = 0.58, beta = 0.077; Niayifar & Porte-Agel (2016) expansion
k = 0.38 I + 0.004; Crespo & Hernandez (1996) added turbulence
0.73 a^0.8325 I0^0.0325 (x/D)^-0.32.
"""
import csv
import math
import pathlib

import pytest
import torch  # before the extension, so tensors can cross the boundary

import sorbane_cpp as sc


DOUBLE = sc.using_double()
DTYPE = torch.float64 if DOUBLE else torch.float32


def f32(x):
    """The single-precision value of a literal constant, as the kernels apply it."""
    return float(torch.tensor(x, dtype=torch.float32))


def narrow(x):
    """A scalar parameter as the Gauss and vortex kernels see it."""
    return float(torch.tensor(x, dtype=DTYPE))


D = 130.0
HUB = 110.0
TSR = 8.0
DATA = pathlib.Path(__file__).resolve().parents[1] / "python/farmrun/data/iea-3.4-130-rwt.csv"


def iea_table():
    with DATA.open() as f:
        rows = [r for r in csv.reader(line for line in f if not line.startswith("#"))][1:]
    speed, power, ct = (list(map(float, col)) for col in zip(*rows))
    return speed, power, ct


def make_table(dtype=DTYPE, ct_scale=1.0, ref_tilt=5.0, tsr=TSR):
    speed, power, ct = iea_table()
    t = sc.PowerThrustTable()
    t.wind_speed = torch.tensor(speed, dtype=dtype)
    t.thrust_coefficient = torch.tensor(ct, dtype=dtype) * ct_scale
    t.power = torch.tensor(power, dtype=dtype)
    t.ref_tilt = ref_tilt
    t.tip_speed_ratio = tsr
    return t


def sloped_table(dtype=DTYPE):
    """Actuator-disc thrust Ct = 4 a (1 - a) for an induction falling linearly
    from 1/3 at 3 m/s to 0.05 at 25 m/s: no flat stretch, so every change of
    the rotor speed changes the thrust."""
    speed = torch.linspace(3.0, 25.0, 23, dtype=torch.float64)
    a = 1 / 3 + (speed - 3.0) / 22.0 * (0.05 - 1 / 3)
    t = sc.PowerThrustTable()
    t.wind_speed = speed.to(dtype)
    t.thrust_coefficient = (4 * a * (1 - a)).to(dtype)
    t.power = torch.zeros(23, dtype=dtype)
    t.ref_tilt = 5.0
    t.tip_speed_ratio = TSR
    return t


def config(**overrides):
    cfg = sc.ModelConfig()
    values = dict(alpha=0.58, beta=0.077, ka=0.38, kb=0.004, sigmoid_k=1.0, ad=0.0, bd=0.0,
                  dm=1.0, ch_initial=0.0325, ch_constant=0.73, ch_ai_exp=0.8325,
                  ch_downstream=-0.32, jacobi_max_iters=30, jacobi_chunk_size=8,
                  jacobi_tol=1e-6)
    values.update(overrides)
    for key, value in values.items():
        setattr(cfg, key, value)
    return cfg


# Set by the tests' `solver_path` fixture: the yaw angles of every new Case then
# record gradients, which keeps a solve off the fused no-gradient path.
RECORD_GRADIENT = False


class Case:
    """Records for one solve: a layout in rotor diameters, wind from 270 degrees
    (blowing along +x) unless told otherwise."""

    def __init__(self, xy, wind_directions=(270.0,), wind_speeds=None, ti=0.06, yaw=None,
                 N=3, shear=0.12, dtype=DTYPE, tables=None, tilt=None):
        xy = torch.as_tensor(xy, dtype=torch.float64) * D
        T = xy.shape[0]
        F = len(wind_directions)
        wind_speeds = [8.0] * F if wind_speeds is None else list(wind_speeds)
        ti = [ti] * F if isinstance(ti, float) else list(ti)

        grid = sc.TurbineGrid()
        grid.turbine_coordinates = torch.cat([xy, torch.full((T, 1), HUB, dtype=torch.float64)], 1).to(dtype)
        grid.turbine_diameters = torch.full((T,), D, dtype=dtype)
        grid.wind_directions = torch.tensor(wind_directions, dtype=dtype)
        grid.grid_resolution = N
        grid.n_turbines = T
        grid.n_findex = F
        grid.set_grid()

        farm = sc.Farm()
        farm.hub_heights = torch.full((T,), HUB, dtype=dtype)
        farm.rotor_diameters = torch.full((T,), D, dtype=dtype)
        yaw = torch.zeros(F, T, dtype=dtype) if yaw is None else yaw
        if RECORD_GRADIENT and not yaw.requires_grad:
            yaw = yaw.clone().requires_grad_()
        farm.yaw_angles = yaw
        if tilt is not None:
            farm.tilt_angles = tilt
        farm.n_turbines = T
        for table in ([make_table(dtype)] if tables is None else tables):
            sc.farm_add_turbine_table(farm, table)
        farm.initialize(grid.sorted_coord_indices)

        ff = sc.FlowField()
        ff.wind_speeds = torch.tensor(wind_speeds, dtype=dtype)
        ff.wind_directions = torch.tensor(wind_directions, dtype=dtype)
        ff.turbulence_intensities = torch.tensor(ti, dtype=dtype)
        ff.wind_shear = shear
        ff.reference_wind_height = HUB
        ff.n_findex = F
        ff.initialize_velocity_field(grid)

        self.farm, self.ff, self.grid = farm, ff, grid
        self.T, self.F, self.N = T, F, N

    def solve(self, key, cfg):
        sc.get_solver(key).solve(self.farm, self.ff, self.grid, cfg)
        return self

    @property
    def rotor_u(self):
        """Cube-mean rotor velocity (F, T), sorted order."""
        return self.ff.u_sorted.pow(3).mean((-2, -1)).pow(1 / 3)

    @property
    def ti(self):
        """Turbulence intensity of each turbine (F, T), sorted order."""
        return self.ff.turbulence_intensity_field_sorted[..., 0, 0]


def empty_case(F=2, N=3, T_kept=0, F_kept=None):
    """Records with no turbines (or no flow cases). set_grid refuses empty
    layouts, so the assignable grids are cut down after a one-turbine set_grid.
    The read-only x_sorted keeps its one turbine (and, for F_kept = 0, its one
    flow case, F = 1), which broadcasts against the empty axes."""
    case = Case([[0.0, 0.0]], wind_directions=[270.0] * F, N=N)
    grid, farm, ff = case.grid, case.farm, case.ff
    f = slice(None) if F_kept is None else slice(0, F_kept)
    grid.y_sorted = grid.y_sorted[f, :T_kept]
    grid.z_sorted = grid.z_sorted[f, :T_kept]
    grid.n_turbines = T_kept
    farm.yaw_angles = farm.yaw_angles[f, :T_kept]
    farm.hub_heights = farm.hub_heights[:T_kept]
    farm.rotor_diameters = farm.rotor_diameters[:T_kept]
    farm.initialize(grid.sorted_coord_indices[f, :T_kept])
    if F_kept is not None:
        ff.wind_speeds = ff.wind_speeds[f]
        ff.turbulence_intensities = ff.turbulence_intensities[f]
        ff.n_findex = F_kept
    ff.initialize_velocity_field(grid)
    return case


def row(n, spacing=6.0):
    """n turbines in a line along the wind, `spacing` diameters apart."""
    return [[i * spacing, 0.0] for i in range(n)]


def solve_with_yaw(key, xy, yaw, cfg, **kw):
    """Waked velocities (F, T, N, N) as a function of the layout-order yaw angles,
    for gradient checks."""
    case = Case(xy, yaw=yaw, dtype=yaw.dtype, **kw)
    case.solve(key, cfg)
    return case.ff.u_sorted


SWITCHES = [
    dict(enable_secondary_steering=s, enable_transverse_velocities=t, enable_yaw_added_recovery=r)
    for s in (False, True) for t in (False, True) for r in (False, True)
]


def switch_id(sw):
    names = dict(enable_secondary_steering="steer", enable_transverse_velocities="trans",
                 enable_yaw_added_recovery="recov")
    return "-".join(names[k] for k, v in sw.items() if v) or "plain"



@pytest.fixture(autouse=True, params=["plain", "recorded"])
def solver_path(request, monkeypatch):
    """Every test twice: as given, and with the yaw angles recording gradients
    and the fused backward off, which rules out the fused path."""
    monkeypatch.setitem(globals(), "RECORD_GRADIENT", request.param == "recorded")
    # The recorded variant is the op-by-op path's: no fused backward either.
    fused_backward = sc.set_fused_backward(request.param != "recorded")
    yield
    sc.set_fused_backward(fused_backward)


ALL_ON = dict(enable_secondary_steering=True, enable_transverse_velocities=True,
              enable_yaw_added_recovery=True)


GRID_LAYOUT = [[0.0, 0.0, 90.0], [500.0, 0.0, 100.0], [0.0, 300.0, 110.0]]


def make_grid(coords=GRID_LAYOUT, directions=(270.0,), n=3, diameters=None, dtype=DTYPE):
    g = sc.TurbineGrid()
    g.turbine_coordinates = torch.tensor(coords, dtype=dtype)
    t = len(coords)
    g.turbine_diameters = torch.tensor(diameters or [100.0] * t, dtype=dtype)
    g.wind_directions = torch.tensor(directions, dtype=dtype)
    g.grid_resolution, g.n_turbines, g.n_findex = n, t, len(directions)
    g.set_grid()
    return g


def uniform(g, lo, hi, *shape):
    return lo + (hi - lo) * torch.rand(*shape, generator=g, dtype=torch.float64)


def random_case(seed, T=None, F=None, one_direction=False, N=3):
    """1-30 turbines jittered about a grid, mixed directions (or one), speeds,
    ambient turbulence, yaw, tilt, shear, rotor sizes and hub heights."""
    g = torch.Generator().manual_seed(seed)
    T = T or int(torch.randint(1, 31, (1,), generator=g))
    F = F or int(torch.randint(2, 6, (1,), generator=g))
    cols = math.ceil(math.sqrt(T))
    k = torch.arange(T, dtype=torch.float64)
    xy = torch.stack([k % cols * 5.0, k // cols * 3.0], 1) + uniform(g, -1.0, 1.0, T, 2)
    direction = uniform(g, 0.0, 360.0, 1 if one_direction else F).expand(F)
    case = Case(xy.tolist(), wind_directions=direction.tolist(),
                wind_speeds=uniform(g, 4.0, 14.0, F).tolist(), ti=uniform(g, 0.03, 0.15, F).tolist(),
                yaw=uniform(g, -25.0, 25.0, F, T).to(DTYPE), tilt=uniform(g, 0.0, 8.0, F, T).to(DTYPE),
                N=N, shear=float(uniform(g, 0.0, 0.2, 1)))
    case.farm.rotor_diameters = (D * uniform(g, 0.8, 1.2, T)).to(DTYPE)
    case.farm.hub_heights = (HUB + uniform(g, -15.0, 15.0, T)).to(DTYPE)
    return case
