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


# --- farmrun -------------------------------------------------------------------------
# Builders the farmrun tests and benches share: the command line in a subprocess and
# in process, the README's farm file and edits of it, and small farms. farmrun is
# imported inside each builder, so the solver tests above never depend on it.

import copy
import json
import os
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"


def cli(*args, cwd=None):
    """``python -m farmrun ARGS`` in a subprocess, with the module and the package
    exactly as this test session imports them."""
    import farmrun
    paths = [str(pathlib.Path(sc.__file__).parent), str(pathlib.Path(farmrun.__file__).parents[1])]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", "farmrun", *map(str, args)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=600)


def in_process(*args):
    """The same entry point without a new interpreter, for the many error cases."""
    from farmrun.__main__ import main
    try:
        return main([str(a) for a in args])
    except SystemExit as e:  # argparse's own errors
        return e.code


def readme_example() -> dict:
    """The farm file of the README's farm-file section."""
    text = README.read_text()
    section = text[text.index("<!-- farm-file:begin -->"):text.index("<!-- farm-file:end -->")]
    return json.loads(re.search(r"```json\n(.*?)```", section, re.S).group(1))


def setter(path, value):
    """A mutation that sets (or, for value None, deletes) the key at a dotted path."""
    def mutate(d):
        *parents, last = path.split(".")
        for p in parents:
            d = d[int(p)] if isinstance(d, list) else d[p]
        if value is None:
            del d[last]
        elif isinstance(d, list):
            d[int(last)] = value
        else:
            d[last] = value
    return mutate


def edited(*mutations):
    """The README's farm file with the mutations applied."""
    doc = copy.deepcopy(readme_example())
    for m in mutations:
        m(doc)
    return doc


def write_farm(tmp_path, doc) -> pathlib.Path:
    farm = tmp_path / "farm.json"
    farm.write_text(doc if isinstance(doc, str) else json.dumps(doc))
    return farm


def files_in(path):
    return sorted(p.name for p in path.iterdir())


@pytest.fixture
def no_solve(monkeypatch):
    """Fails the test if the command line gets as far as solving."""
    def never(*a, **k):
        raise AssertionError("solved although the run should have stopped before")
    monkeypatch.setattr("farmrun.cli.run", never)
    monkeypatch.setattr("farmrun.flow.solve_case", never)


# A made-up turbine table, so that expected powers are plain arithmetic.
TEST_SPEEDS = [0.0, 3.9, 4.0, 8.0, 12.0, 25.0, 25.1, 50.0]
TEST_POWER = [0.0, 0.0, 100e3, 1500e3, 3000e3, 3000e3, 0.0, 0.0]
TEST_THRUST = [0.0, 0.0, 0.8, 0.8, 0.4, 0.05, 0.0, 0.0]


def small_turbine(thrust_scale=1.0, **kw):
    """A 100 m rotor on a 100 m hub with the made-up table."""
    from farmrun import TurbineType
    args = dict(name="test", rotor_diameter=100.0, hub_height=100.0, wind_speed=TEST_SPEEDS,
                power=TEST_POWER, thrust_coefficient=[c * thrust_scale for c in TEST_THRUST])
    args.update(kw)
    return TurbineType(**args)



def flow_cases(wd, ws, ti=0.06, freq=None):
    """Cases of equal weight unless ``freq`` is given, one ambient turbulence for all."""
    from farmrun import FlowCases
    n = len(wd)
    return FlowCases(wind_directions=wd, wind_speeds=ws, turbulence_intensities=[ti] * n,
                     frequencies=freq if freq is not None else [1.0 / n] * n)


def make_farm(x, y, wd, ws, thrust_scale=1.0, ti=0.06, **kw):
    """A farm of the made-up turbine under the cases (wd[i], ws[i])."""
    from farmrun import FarmDescription
    return FarmDescription(layout_x=x, layout_y=y, turbine=small_turbine(thrust_scale),
                           cases=flow_cases(wd, ws, ti), **kw)


def example_with_variety(n_directions=4):
    """The built-in layout with mixed hub heights and yaw, under a few directions."""
    import farmrun
    farm = farmrun.example_farm()
    T = len(farm.layout_x)
    farm.hub_heights = [110.0 + 20.0 * (t % 3) for t in range(T)]
    wd = [15.0 + 90.0 * d for d in range(n_directions) for _ in range(3)]
    ws = [6.0, 9.0, 12.0] * n_directions
    farm.cases = flow_cases(wd, ws)
    farm.yaw_angles = [[(7.0 * t + 3.0 * f) % 25.0 - 10.0 for t in range(T)] for f in range(len(wd))]
    return farm


def iea_row_farm(n=40, spacing=1.5, model=None):
    """A west-east row of IEA 3.4 MW turbines ``spacing`` diameters apart in laminar
    inflow: every wake reaches far, so the Jacobi sweeps settle only after n - 1."""
    import farmrun
    t = farmrun.iea_3p4_130()
    x = [spacing * t.rotor_diameter * i for i in range(n)]
    return farmrun.FarmDescription(x, [0.0] * n, t,
                                   farmrun.FlowCases([270.0], [7.0], [0.0], [1.0]),
                                   model=model or farmrun.ModelOptions())


def small_windio_system(resource, performance=None, **wind_farm):
    """A three-turbine windIO wind energy system written out in full, on a circular site."""
    turbine = {"name": "T", "hub_height": 90.0, "rotor_diameter": 100.0,
               "performance": performance or {
                   "power_curve": {"power_wind_speeds": [0.0, 3.0, 12.0, 25.0, 25.5],
                                   "power_values": [0.0, 0.0, 3e6, 3e6, 0.0]},
                   "Ct_curve": {"Ct_wind_speeds": [0.0, 3.0, 12.0, 25.0, 25.5],
                                "Ct_values": [0.0, 0.8, 0.7, 0.1, 0.0]}}}
    farm = {"name": "three", "layouts": [{"coordinates": {"x": [0.0, 500.0, 1000.0],
                                                          "y": [0.0, 0.0, 50.0]}}],
            "turbines": turbine}
    farm.update(wind_farm)
    return {"name": "three turbines",
            "site": {"name": "s", "boundaries": {"circle": {"center": {"x": 0, "y": 0},
                                                            "radius": 2000}},
                     "energy_resource": {"name": "r", "wind_resource": copy.deepcopy(resource)}},
            "wind_farm": farm}


# A windIO probability table, laid out speed-major, which the file may do.
WINDIO_ROSE = {"wind_direction": [0.0, 90.0, 180.0, 270.0], "wind_speed": [6.0, 11.0],
               "probability": {"data": [[0.1, 0.05, 0.15, 0.2], [0.1, 0.1, 0.1, 0.2]],
                               "dims": ["wind_speed", "wind_direction"]},
               "turbulence_intensity": {"data": 0.08, "dims": []}}


# Farms of the benchmarks (bench/bench_*.py import them from here).

# Every switch that makes wake steering pay in a farm.
STEERING = dict(enable_secondary_steering=True, enable_yaw_added_recovery=True,
                enable_transverse_velocities=True)


def square_farm(n_turbines: int, n_directions: int, n_speeds: int):
    """A square of IEA 3.4 MW turbines 7 rotor diameters apart under a wind rose of
    equal sectors, Weibull speeds (scale 9 m/s, shape 2) from 4 to 24 m/s."""
    import farmrun
    turbine = farmrun.iea_3p4_130()
    side = math.isqrt(n_turbines)
    spacing = 7.0 * turbine.rotor_diameter
    x = [spacing * (t % side) for t in range(n_turbines)]
    y = [spacing * (t // side) for t in range(n_turbines)]
    speeds = [4.0 + 20.0 * s / max(n_speeds - 1, 1) for s in range(n_speeds)]
    rose = farmrun.weibull_rose([1.0 / n_directions] * n_directions, [9.0] * n_directions, 2.0,
                                speeds)
    return farmrun.FarmDescription(layout_x=x, layout_y=y, turbine=turbine, cases=rose.cases())


def grid_farm(model):
    """7 x 7 IEA 3.4 MW turbines 5 rotor diameters apart; 36 directions x 8 speeds."""
    import farmrun
    turbine = farmrun.iea_3p4_130()
    s = 5.0 * turbine.rotor_diameter
    x = [s * (t % 7) for t in range(49)]
    y = [s * (t // 7) for t in range(49)]
    speeds = [4.0 + 2.0 * k for k in range(8)]  # 4 ... 18 m/s
    rose = farmrun.weibull_rose([1.0 / 36] * 36, [9.0] * 36, 2.0, speeds)
    return farmrun.FarmDescription(layout_x=x, layout_y=y, turbine=turbine, cases=rose.cases(),
                                   model=model, name="7 x 7 at 5 D")


def every_kth_direction(farm, k: int):
    """The farm under every k-th of its wind directions, frequencies rescaled to sum to 1."""
    import farmrun
    if k == 1:
        return farm
    c = farm.cases
    dirs = sorted({float(d) % 360.0 for d in c.wind_directions})[::k]
    keep = [i for i, d in enumerate(c.wind_directions) if float(d) % 360.0 in dirs]
    total = math.fsum(c.frequencies[i] for i in keep)
    cases = farmrun.FlowCases([c.wind_directions[i] for i in keep],
                              [c.wind_speeds[i] for i in keep],
                              [c.turbulence_intensities[i] for i in keep],
                              [c.frequencies[i] / total for i in keep])
    return farmrun.FarmDescription(layout_x=farm.layout_x, layout_y=farm.layout_y,
                                   turbine=farm.turbine, cases=cases, model=farm.model,
                                   name=f"{farm.name}, every {k}th direction")


def steering_farm(x, y, wd, ws, freq=None, model=None):
    """IEA 3.4 MW turbines at (x, y) under the cases (wd[i], ws[i]), of equal weight
    unless ``freq`` is given; every steering switch on unless ``model`` is given."""
    import farmrun
    n = len(wd)
    cases = farmrun.FlowCases(wind_directions=wd, wind_speeds=ws, turbulence_intensities=[0.06] * n,
                              frequencies=freq or [1.0 / n] * n)
    return farmrun.FarmDescription(layout_x=x, layout_y=y, turbine=farmrun.iea_3p4_130(),
                                   cases=cases, model=model or farmrun.ModelOptions(**STEERING))


def check_layout_gradient(energy, x, y, h=1e-3, rel=1e-5, abs_tol=1e-9):
    """The AEP gradient of ``energy`` (a LayoutEnergy) at (x, y) against central
    differences of step h metres; returns the gradients."""
    import numpy as np
    import pytest
    _, gx, gy = energy(x, y)
    for k in range(len(x)):
        e = np.eye(len(x))[k] * h
        fdx = (energy(x + e, y)[0] - energy(x - e, y)[0]) / (2 * h)
        fdy = (energy(x, y + e)[0] - energy(x, y - e)[0]) / (2 * h)
        assert gx[k] == pytest.approx(fdx, rel=rel, abs=abs_tol)
        assert gy[k] == pytest.approx(fdy, rel=rel, abs=abs_tol)
    return gx, gy
