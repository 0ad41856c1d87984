"""Farm description, model defaults and the run that drives the wake solvers.

A run fills the four records of ``sorbane_cpp`` (rotor grid, farm, flow field,
model configuration) for one batch of flow cases at a time, solves, and
returns every result in layout order, one row per flow case.
"""
from __future__ import annotations

import math
import reprlib
import time
from dataclasses import dataclass, field, fields
from typing import Any, Sequence

import torch  # before the extension, so tensors can cross the boundary

import sorbane_cpp as sc

__all__ = [
    "DEFAULT_MEMORY_LIMIT", "FarmDescription", "FarmError", "FarmResult", "FlowCases",
    "ModelOptions", "SOLVERS", "BatchResults", "SolvedBatch", "TurbineType", "batch_cases",
    "batch_inputs", "batch_records", "case_power", "jacobi_sweep_limit", "longest_chain", "plan_batches",
    "prepare", "rotor_effective", "run", "solve_batch", "solve_cases", "table_power",
    "thrust_coefficient", "working_dtype",
]

SOLVERS = ("sequential", "jacobi")

# Bound on the working tensors of one solve. Each solve holds the cases of one
# wind direction; a direction with more cases than fit is split further.
DEFAULT_MEMORY_LIMIT = 1 << 30


def working_dtype() -> torch.dtype:
    return torch.float64 if sc.using_double() else torch.float32


class FarmError(ValueError):
    """A farm description that cannot be run; ``field`` names the offending entry."""

    def __init__(self, field_name: str, message: str):
        super().__init__(f"{field_name}: {message}")
        self.field = field_name
        self.message = message

    def __reduce__(self):  # an error raised on a Dask worker crosses back pickled
        return type(self), (self.field, self.message)


@dataclass
class TurbineType:
    """One turbine type: rotor, hub and its power and thrust-coefficient table.

    ``power`` is in W at each ``wind_speed`` (m/s, strictly ascending). The
    table is interpolated linearly and extrapolated linearly beyond its ends,
    so a table should end in rows of zero power and thrust where the turbine
    is parked. ``ref_tilt`` is the shaft tilt (degrees) at which the thrust
    coefficients hold.
    """

    name: str
    rotor_diameter: float
    hub_height: float
    wind_speed: Sequence[float]
    power: Sequence[float]
    thrust_coefficient: Sequence[float]
    ref_tilt: float = 5.0
    tip_speed_ratio: float = 8.0


@dataclass
class FlowCases:
    """Inflow cases, one entry per case; ``frequencies`` sum to one (they weight the AEP).

    A time series gives ``time`` (one stamp per case) instead of ``frequencies``:
    every case then weighs the same, 1/F, so the AEP is the mean power over the
    series times the hours of a year.
    """

    wind_directions: Sequence[float]
    wind_speeds: Sequence[float]
    turbulence_intensities: Sequence[float]
    frequencies: Sequence[float] | None = None
    time: Sequence[Any] | None = None


@dataclass
class ModelOptions:
    """Wake-model coefficients and solver controls.

    Gaussian wake: the near-wake length x0/D = cos(yaw) (1 + sqrt(1 - Ct)) /
    (sqrt(2) (4 alpha I + 2 beta (1 - sqrt(1 - Ct)))) with 4 alpha = 2.32 and
    2 beta = 0.154, the fit of Bastankhah & Porte-Agel (2016, J. Fluid Mech.
    806, 506-541). Wake expansion k = ka I + kb with ka = 0.38, kb = 0.004,
    after k = 0.3837 I + 0.003678 of Niayifar & Porte-Agel (2016, Energies 9,
    741). Deflection: no linear offset (ad = bd = 0) and the skew angle as
    published (dm = 1).

    Added turbulence: Crespo & Hernandez (1996, J. Wind Eng. Ind. Aerodyn.
    59, 1-23), I+ = 0.73 a^0.8325 I0^0.0325 (x/D)^-0.32; the four numbers are
    ``ch_constant``, ``ch_ai_exp``, ``ch_initial`` and ``ch_downstream``.

    ``sigmoid_k`` (1/m) is the steepness of the logistic gate that fades a
    wake out upstream of its rotor. 1.0 per metre takes the gate from 12 % to
    88 % within +-2 m, about 1.5 % of a 130 m rotor: sharp on the scale of the
    wake, yet smooth, so gradients stay finite. Only the flow plane sees the
    gate in practice: the solvers mask out turbines that are not downstream.

    Power loss in yaw: P = P_table(U) cos(yaw)^p with p = ``yaw_power_exponent``
    = 1.88, the exponent fitted to large-eddy simulations of a yawed turbine by
    Gebraad et al. (2016, Wind Energy 19, 95-114). Tilt changes the thrust
    (through the solvers) but not the table power.

    Jacobi solver: 8 wake-casting turbines per kernel batch and a tolerance
    of 1e-6 m/s on the largest change of any rotor velocity. Each sweep
    carries the wakes one turbine further downstream, so a farm whose longest
    downstream chain holds n turbines settles after n - 1 sweeps; unset,
    ``jacobi_max_iters`` is derived per solve from that chain (see
    ``jacobi_sweep_limit``). A number set here is used as given, and may stop
    the sweeps before they settle.

    ``grid_resolution`` N gives N x N points per rotor, spread over the middle
    half of the rotor diameter.
    """

    alpha: float = 0.58
    beta: float = 0.077
    ka: float = 0.38
    kb: float = 0.004
    sigmoid_k: float = 1.0
    ad: float = 0.0
    bd: float = 0.0
    dm: float = 1.0
    ch_initial: float = 0.0325
    ch_constant: float = 0.73
    ch_ai_exp: float = 0.8325
    ch_downstream: float = -0.32
    enable_secondary_steering: bool = False
    enable_yaw_added_recovery: bool = False
    enable_transverse_velocities: bool = False
    jacobi_max_iters: int | None = None
    jacobi_chunk_size: int = 8
    jacobi_tol: float = 1e-6
    grid_resolution: int = 3
    yaw_power_exponent: float = 1.88


@dataclass
class FarmDescription:
    """A farm of one turbine type and its inflow cases.

    ``hub_heights`` overrides the type's hub height per turbine. ``yaw_angles``
    and ``tilt_angles`` (degrees) are either one value per turbine, for every
    case, or one row of T values per case; unset, yaw is 0 and tilt is the
    type's reference tilt. ``reference_wind_height`` is where the case wind
    speeds hold (default: the type's hub height); the profile above and below
    it follows the power law with exponent ``wind_shear``.
    """

    layout_x: Sequence[float]
    layout_y: Sequence[float]
    turbine: TurbineType
    cases: FlowCases
    hub_heights: Sequence[float] | None = None
    yaw_angles: Any = None
    tilt_angles: Any = None
    wind_shear: float = 0.12
    reference_wind_height: float | None = None
    model: ModelOptions = field(default_factory=ModelOptions)
    name: str = "farm"
    boundaries: Any = None  # site outline for pictures: a list of (xs, ys) polygons
    # (x, y, radius) of a circular site, whose outline ``boundaries`` draws;
    # layout optimisation keeps it a circle.
    boundary_circle: Any = None


@dataclass
class FarmResult:
    """Results in layout order: (F, T) per turbine and case, (F) per case.

    Velocities in m/s are rotor-effective: the cube root of the rotor-mean
    cube of the streamwise velocity. Power in W. ``*_no_wake`` is the same farm
    in the sheared freestream without wakes; ``wake_loss`` is in percent of it.
    """

    layout_x: torch.Tensor
    layout_y: torch.Tensor
    hub_heights: torch.Tensor
    wind_directions: torch.Tensor
    wind_speeds: torch.Tensor
    ambient_turbulence: torch.Tensor
    frequencies: torch.Tensor
    yaw_angles: torch.Tensor
    rotor_velocity: torch.Tensor
    rotor_velocity_no_wake: torch.Tensor
    turbulence_intensity: torch.Tensor
    thrust_coefficient: torch.Tensor
    power: torch.Tensor
    power_no_wake: torch.Tensor
    farm_power: torch.Tensor
    farm_power_no_wake: torch.Tensor
    wake_loss: torch.Tensor
    solver: str
    n_batches: int
    elapsed_s: float
    # Per solve, Jacobi only: the sweep limit used and the turbines in the
    # longest downstream chain.
    sweep_limits: list[int] = field(default_factory=list)
    longest_chains: list[int] = field(default_factory=list)
    # The validated inputs as plain Python numbers, exactly as given.
    inputs: dict = field(default_factory=dict)

    @property
    def sweeps_may_not_have_settled(self) -> bool:
        return any(limit < n - 1 for limit, n in zip(self.sweep_limits, self.longest_chains))


# --- validation -------------------------------------------------------------

def _is_number(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


_repr = reprlib.Repr(maxlevel=2, maxlist=6, maxdict=4, maxstring=40, maxlong=40, maxother=40)


def _show(v) -> str:
    """A short repr for messages, whatever the size or depth of the value."""
    return _repr.repr(v)


def _number(path, v, *, positive=False, nonneg=False) -> float:
    if not _is_number(v):
        raise FarmError(path, f"expected a number, got {_show(v)}")
    try:
        v = float(v)
    except OverflowError:  # an integer beyond the range of a double
        digits = int(v.bit_length() * math.log10(2)) + 1
        raise FarmError(path, f"must be finite, got an integer of about {digits} digits") from None
    if not math.isfinite(v):
        raise FarmError(path, f"must be finite, got {v}")
    if positive and not v > 0:
        raise FarmError(path, f"must be positive, got {v:g}")
    if nonneg and v < 0:
        raise FarmError(path, f"must not be negative, got {v:g}")
    return v


def _as_list(v):
    return v.tolist() if hasattr(v, "tolist") else v


def _numbers(path, values, *, n=None, min_len=1, positive=False, nonneg=False) -> list[float]:
    values = _as_list(values)
    if isinstance(values, (str, bytes)) or not isinstance(values, Sequence):
        raise FarmError(path, f"expected a list of numbers, got {_show(values)}")
    if n is not None and len(values) != n:
        raise FarmError(path, f"expected {n} values, got {len(values)}")
    if len(values) < min_len:
        plural = "s" if min_len > 1 else ""
        raise FarmError(path, f"expected at least {min_len} value{plural}, got {len(values)}")
    return [_number(f"{path}[{i}]", v, positive=positive, nonneg=nonneg)
            for i, v in enumerate(values)]


def _angles(path, value, n_cases, n_turbines):
    """Per-turbine angles for every case: T values, or F rows of T values, each
    within +-90 degrees (a rotor turned edge-on to the wind has no thrust axis)."""
    value = _as_list(value)
    per_case = isinstance(value, Sequence) and len(value) > 0 and not _is_number(value[0])
    if per_case:
        if len(value) != n_cases:
            raise FarmError(path, f"expected {n_cases} rows (one per flow case), got {len(value)}")
        rows = [(f"{path}[{f}]", _numbers(f"{path}[{f}]", row, n=n_turbines))
                for f, row in enumerate(value)]
    else:
        rows = [(path, _numbers(path, value, n=n_turbines))]
    for p, row in rows:
        for t, a in enumerate(row):
            if not -90.0 < a < 90.0:
                raise FarmError(f"{p}[{t}]", f"must lie strictly between -90 and 90 degrees, "
                                             f"got {a:g}")
    return [row for _, row in rows] if per_case else [rows[0][1]] * n_cases


def _fraction(path, v) -> float:
    """A turbulence intensity: a fraction in [0, 1)."""
    v = _number(path, v)
    if not 0.0 <= v < 1.0:
        hint = f" (a fraction: {v:g} % is {v / 100:g})" if v > 1.0 else ""
        raise FarmError(path, f"must lie in [0, 1), got {v:g}{hint}")
    return v


def _closest_pair(x, y):
    """(i, j, distance) of the closest two turbines, i < j, or None for one turbine."""
    if len(x) < 2:
        return None
    import numpy as np
    from scipy.spatial import KDTree
    xy = np.column_stack([x, y])
    dist, idx = KDTree(xy).query(xy, k=2)
    # Coincident turbines may list each other before themselves.
    other = np.where(idx[:, 1] == np.arange(len(x)), idx[:, 0], idx[:, 1])
    i = int(np.argmin(dist[:, 1]))
    j = int(other[i])
    return min(i, j), max(i, j), float(dist[i, 1])


# Where the model's formulas are defined, as (lowest, highest, lowest included,
# highest included); None is unbounded. The near-wake length divides by
# 4 alpha I + 2 beta (1 - sqrt(1 - Ct)), so both must be positive; the wake
# widens at k = ka I + kb, which must not shrink it; the Crespo-Hernandez
# turbulence a^e I0^i (x/D)^d needs e, i >= 0 (a and I0 may be 0) and d <= 0
# (added turbulence decays downstream); the yaw power law cos^p needs p >= 0,
# and the skew-angle factor dm turns a wake with the yaw, never against it.
MODEL_RANGES = {
    "alpha": (0.0, None, False, None), "beta": (0.0, None, False, None),
    "ka": (0.0, None, True, None), "kb": (0.0, None, True, None),
    "sigmoid_k": (0.0, None, False, None),
    "ch_initial": (0.0, None, True, None), "ch_constant": (0.0, None, True, None),
    "ch_ai_exp": (0.0, None, True, None), "ch_downstream": (None, 0.0, None, True),
    "jacobi_tol": (0.0, None, True, None), "yaw_power_exponent": (0.0, None, True, None),
    "dm": (0.0, None, True, None),
}
# Integer options: grid points per rotor side (N^2 points per rotor, memory
# grows as N^4 in the kernels), sweeps and kernel batch (32-bit in the solver).
INT_RANGES = {"grid_resolution": (1, 25), "jacobi_max_iters": (1, 1_000_000),
              "jacobi_chunk_size": (1, 1 << 30)}


def _in_range(path, v, lo, hi, lo_in, hi_in):
    ok = (lo is None or (v >= lo if lo_in else v > lo)) and \
         (hi is None or (v <= hi if hi_in else v < hi))
    if not ok:
        parts = ([f"{'at least' if lo_in else 'above'} {lo:g}"] if lo is not None else []) + \
                ([f"{'at most' if hi_in else 'below'} {hi:g}"] if hi is not None else [])
        raise FarmError(path, f"must be {' and '.join(parts)}, got {v:g}")


def _model_options(opt: ModelOptions) -> None:
    for f in fields(ModelOptions):
        v = getattr(opt, f.name)
        path = f"model.{f.name}"
        if f.type == "bool":
            if not isinstance(v, bool):
                raise FarmError(path, f"expected true or false, got {_show(v)}")
        elif f.name in INT_RANGES:
            if v is None and f.name == "jacobi_max_iters":
                continue
            lo, hi = INT_RANGES[f.name]
            if not isinstance(v, int) or isinstance(v, bool) or not lo <= v <= hi:
                raise FarmError(path, f"expected an integer from {lo} to {hi}, got {_show(v)}")
        else:
            v = _number(path, v)
            if f.name in MODEL_RANGES:
                _in_range(path, v, *MODEL_RANGES[f.name])


def _validate(farm: FarmDescription) -> dict:
    """Checks every value and returns them as plain lists; raises FarmError."""
    tt, cases, opt = farm.turbine, farm.cases, farm.model
    x = _numbers("layout_x", farm.layout_x)
    y = _numbers("layout_y", farm.layout_y, n=len(x))
    T = len(x)
    diameter = _number("turbine.rotor_diameter", tt.rotor_diameter, positive=True)
    hub = _number("turbine.hub_height", tt.hub_height, positive=True)
    hubs = [hub] * T if farm.hub_heights is None else _numbers(
        "hub_heights", farm.hub_heights, n=T, positive=True)
    # The rotor must clear the ground: the shear profile has no value below it.
    for t, h in enumerate(hubs):
        if h < 0.5 * diameter:
            path = "turbine.hub_height" if farm.hub_heights is None else f"hub_heights[{t}]"
            raise FarmError(path, f"must be at least half the rotor diameter "
                                  f"({0.5 * diameter:g} m), got {h:g}")
    pair = _closest_pair(x, y)
    if pair is not None and pair[2] < diameter:
        i, j, dist = pair
        raise FarmError("layout", f"turbines {i} and {j} are {dist:.4g} m apart, closer than "
                                  f"one rotor diameter ({diameter:g} m)")

    speeds = _numbers("turbine.wind_speed", tt.wind_speed, min_len=2, nonneg=True)
    for i in range(1, len(speeds)):
        if not speeds[i] > speeds[i - 1]:
            raise FarmError("turbine.wind_speed", "must be strictly ascending, got "
                            f"{speeds[i]:g} after {speeds[i - 1]:g} at index {i}")
    power = _numbers("turbine.power", tt.power, n=len(speeds), nonneg=True)
    thrust = _numbers("turbine.thrust_coefficient", tt.thrust_coefficient, n=len(speeds),
                      nonneg=True)
    # Momentum theory, on which the wake's induction rests, has no solution above 1.
    for i, c in enumerate(thrust):
        if c > 1.0:
            raise FarmError(f"turbine.thrust_coefficient[{i}]", f"must lie in [0, 1], got {c:g}")
    ref_tilt = _number("turbine.ref_tilt", tt.ref_tilt)
    if not -90.0 < ref_tilt < 90.0:
        # The thrust is corrected by cos(tilt) / cos(ref_tilt).
        raise FarmError("turbine.ref_tilt", f"must lie strictly between -90 and 90 degrees, "
                                            f"got {ref_tilt:g}")
    tsr = _number("turbine.tip_speed_ratio", tt.tip_speed_ratio, positive=True)

    wd = _numbers("cases.wind_directions", cases.wind_directions)
    F = len(wd)
    ws = _numbers("cases.wind_speeds", cases.wind_speeds, n=F, positive=True)
    ti = _numbers("cases.turbulence_intensities", cases.turbulence_intensities, n=F)
    for f, v in enumerate(ti):
        _fraction(f"cases.turbulence_intensities[{f}]", v)
    if (cases.frequencies is None) == (cases.time is None):
        raise FarmError("cases.frequencies", "give exactly one of 'frequencies' and 'time'")
    if cases.time is not None:
        stamps = _as_list(cases.time)
        if isinstance(stamps, (str, bytes)) or not isinstance(stamps, Sequence) \
                or len(stamps) != F:
            raise FarmError("cases.time", f"expected {F} time stamps (one per flow case), "
                                          f"got {stamps!r}"[:200])
        freq = [1.0 / F] * F
    else:
        freq = _numbers("cases.frequencies", cases.frequencies, n=F, nonneg=True)
        total = math.fsum(freq)
        if abs(total - 1.0) > 1e-6:
            raise FarmError("cases.frequencies", f"must sum to 1, got {total:.9g}")

    yaw = [[0.0] * T] * F if farm.yaw_angles is None else _angles(
        "yaw_angles", farm.yaw_angles, F, T)
    tilt = [[ref_tilt] * T] * F if farm.tilt_angles is None else _angles(
        "tilt_angles", farm.tilt_angles, F, T)
    shear = _number("wind_shear", farm.wind_shear)
    zref = hub if farm.reference_wind_height is None else _number(
        "reference_wind_height", farm.reference_wind_height, positive=True)
    _model_options(opt)
    return dict(x=x, y=y, hubs=hubs, diameter=diameter, speeds=speeds, power=power,
                thrust=thrust, ref_tilt=ref_tilt, tsr=tsr, wd=wd, ws=ws, ti=ti, freq=freq,
                yaw=yaw, tilt=tilt, shear=shear, zref=zref)


# --- the run ----------------------------------------------------------------

def longest_chain(xbar: torch.Tensor) -> int:
    """Turbines in the longest downstream chain: each more than 0.1 m downstream
    of the one before (the solvers' test for one wake reaching a rotor), over
    rotor-centre x in the wind frame, (F, T) or (T); the longest over the cases.

    Taking the next turbine as the nearest one beyond the reach of the last
    gives the longest chain, so one pass over the sorted positions suffices.
    """
    import numpy as np
    rows = np.unique(np.atleast_2d(xbar.detach().double().cpu().numpy()), axis=0)
    best = 0
    for row in rows:
        xs = np.sort(row)
        n, i = 0, 0
        while i < len(xs):
            n += 1
            i = int(np.searchsorted(xs, xs[i] + 0.1, side="right"))
        best = max(best, n)
    return best


def jacobi_sweep_limit(chain: int, opt: ModelOptions) -> int:
    """Sweeps the Jacobi solver may need on a farm whose longest downstream
    chain holds ``chain`` turbines.

    A sweep takes every operating point from the previous sweep's field, so
    the turbines of the k-th link of a chain are exact after k - 1 sweeps and
    the whole farm after chain - 1; one more sweep then changes nothing and
    ends the sweeps by the tolerance. Secondary steering and yaw-added
    recovery read transverse velocities one sweep late, which can double the
    count. An explicit ``opt.jacobi_max_iters`` is used as given.
    """
    if opt.jacobi_max_iters is not None:
        return opt.jacobi_max_iters
    late = opt.enable_secondary_steering or (
        opt.enable_yaw_added_recovery and opt.enable_transverse_velocities)
    chain = max(int(chain), 1)
    return 2 * chain + 1 if late else chain


def model_config(opt: ModelOptions, solver: str, chain: int | None = None) -> sc.ModelConfig:
    """The solver configuration; ``chain`` sets the Jacobi sweep limit (see
    ``jacobi_sweep_limit``; the number of turbines bounds the chain in any
    direction, and ``solve_batch`` narrows it to the direction it solves)."""
    if chain is None:
        chain = 1000
    cfg = sc.ModelConfig()
    cfg.cpp_solver_paradigm = solver
    for name in ("alpha", "beta", "ka", "kb", "sigmoid_k", "ad", "bd", "dm", "ch_initial",
                 "ch_constant", "ch_ai_exp", "ch_downstream", "enable_secondary_steering",
                 "enable_yaw_added_recovery", "enable_transverse_velocities",
                 "jacobi_chunk_size", "jacobi_tol"):
        setattr(cfg, name, getattr(opt, name))
    cfg.jacobi_max_iters = jacobi_sweep_limit(chain, opt)
    cfg.jacobi_fixed_iters = False
    cfg.turbine_grid_points = opt.grid_resolution
    return cfg


def case_bytes(n_turbines: int, opt: ModelOptions, solver: str, itemsize: int) -> int:
    """Rough peak bytes of one flow case in a solve.

    About two dozen (T, N, N) fields per case live through a solve (grids,
    velocities, accumulators, kernel temporaries); the Jacobi solver adds some
    sixteen (T, B, N, N) kernel temporaries for its B wake-casting turbines.
    """
    points = n_turbines * opt.grid_resolution ** 2
    chunk = min(max(opt.jacobi_chunk_size, 1), n_turbines) if solver == "jacobi" else 1
    return points * itemsize * (24 + 16 * chunk)


def recorded_case_bytes(n_turbines: int, opt: ModelOptions, solver: str, device,
                        itemsize: int) -> int:
    """Rough peak bytes of one flow case in a solve that records a gradient.

    A sequential solve on the CPU records through its fused backward, which
    keeps about one more set of a case's fields (three transverse fields more
    with the switches on); any other solve records op by op, and its graph
    keeps about one set per wake-casting turbine.
    """
    one = case_bytes(n_turbines, opt, solver, itemsize)
    if solver == "sequential" and torch.device(device).type == "cpu":
        return 2 * one
    return (n_turbines + 1) * one


def plan_batches(wind_directions: Sequence[float], max_cases: int) -> list[list[int]]:
    """Case indices per solve: one wind direction each, at most ``max_cases`` cases.

    The rotor grid sorts turbines by their rotated x averaged over the cases of
    a solve, so one solve must not mix directions: the sequential solver would
    take some turbines' operating points before the wakes of turbines upstream
    of them. Directions are compared modulo 360 degrees.
    """
    groups: dict[float, list[int]] = {}
    for i, d in enumerate(wind_directions):
        groups.setdefault(float(d) % 360.0, []).append(i)
    max_cases = max(1, int(max_cases))
    return [idx[s:s + max_cases] for idx in groups.values() for s in range(0, len(idx), max_cases)]


@dataclass
class SolvedBatch:
    """The records of one solved batch (the flow plane reads them)."""

    grid: Any
    farm: Any
    ff: Any
    table: Any
    cfg: Any
    longest_chain: int = 0  # Jacobi only: turbines in the longest downstream chain


def solve_batch(v, idx, table, cfg, solver, opt) -> SolvedBatch:
    T, N = v["x"].shape[0], opt.grid_resolution
    sel = torch.as_tensor(idx, device=v["x"].device)
    grid = sc.TurbineGrid()
    grid.turbine_coordinates = torch.stack([v["x"], v["y"], v["hub"]], dim=1)
    grid.turbine_diameters = v["diam"]
    grid.wind_directions = v["wd"][sel]
    grid.grid_resolution = N
    grid.n_turbines = T
    grid.n_findex = len(idx)
    grid.set_grid()
    chain = 0
    if solver.name() == "jacobi":
        # The sweep limit of this solve's own direction, from the rotor centres
        # exactly as the solver sees them; the caller's record stays untouched.
        chain = longest_chain(grid.x_sorted.mean(dim=(-2, -1)))
        cfg = model_config(opt, "jacobi", chain)

    # The solvers index hub heights and rotor diameters by downstream position.
    order = grid.sorted_coord_indices[0]
    farm = sc.Farm()
    farm.layout_x = v["x"]
    farm.layout_y = v["y"]
    farm.hub_heights = v["hub"][order]
    farm.rotor_diameters = v["diam"][order]
    farm.yaw_angles = v["yaw"][sel]
    farm.tilt_angles = v["tilt"][sel]
    farm.n_turbines = T
    sc.farm_add_turbine_table(farm, table)
    farm.initialize(grid.sorted_coord_indices)

    ff = sc.FlowField()
    ff.wind_speeds = v["ws"][sel]
    ff.wind_directions = v["wd"][sel]
    ff.turbulence_intensities = v["ti"][sel]
    ff.wind_shear = v["shear"]
    ff.wind_veer = 0.0
    ff.air_density = 1.225
    ff.reference_wind_height = v["zref"]
    ff.n_findex = len(idx)
    ff.initialize_velocity_field(grid)
    solver.solve(farm, ff, grid, cfg)
    ff.finalize(grid.unsorted_indices)
    farm.finalize(grid.unsorted_indices)
    return SolvedBatch(grid, farm, ff, table, cfg, chain)


@dataclass
class BatchResults:
    """What the solve of one batch returns: (n, T) per case of the batch and
    turbine, in layout order."""

    rotor_velocity: torch.Tensor
    rotor_velocity_no_wake: torch.Tensor
    turbulence_intensity: torch.Tensor
    sweep_limit: int = 0  # Jacobi only: the sweep limit used
    longest_chain: int = 0  # Jacobi only: turbines in the longest downstream chain


CASE_FIELDS = ("wd", "ws", "ti", "yaw", "tilt")


def batch_inputs(v: dict, opt: ModelOptions, solver: str) -> dict:
    """What every batch of a run reads, as plain values that pickle: the farm's
    per-turbine tensors and scalars with the validated inputs the turbine
    table is built from, the model options and the solver's name."""
    return dict(values={k: v[k] for k in ("x", "y", "hub", "diam", "shear", "zref", "inputs")},
                model=opt, solver=solver)


def batch_records(v: dict, opt: ModelOptions, solver: str):
    """The turbine table and solver configuration of prepared values ``v``, as
    ``prepare`` builds them; for a worker that received ``v`` alone (the
    compiled records do not pickle)."""
    return turbine_table(v), model_config(opt, solver, v["x"].shape[0])


def batch_cases(v: dict, idx: Sequence[int]) -> dict:
    """The per-case values of the cases ``idx``."""
    sel = torch.as_tensor(idx, device=v["wd"].device)
    return {k: v[k][sel] for k in CASE_FIELDS}


def solve_cases(inputs: dict, cases: dict) -> BatchResults:
    """Solves one batch: ``inputs`` from ``batch_inputs``, ``cases`` from
    ``batch_cases``. Reads and returns only values that pickle, so that it
    can run in another process."""
    opt, solver = inputs["model"], inputs["solver"]
    v = dict(inputs["values"], **cases)
    table, cfg = batch_records(v, opt, solver)
    with torch.no_grad():
        rec = solve_batch(v, list(range(v["wd"].shape[0])), table, cfg, sc.get_solver(solver),
                          opt)
        back = rec.grid.unsorted_indices
        return BatchResults(
            rotor_velocity=rotor_effective(rec.ff.u_sorted).gather(1, back),
            rotor_velocity_no_wake=rotor_effective(rec.ff.u_initial_sorted).gather(1, back),
            turbulence_intensity=rec.ff.turbulence_intensity_field_sorted.mean(
                dim=(-2, -1)).gather(1, back),
            sweep_limit=rec.cfg.jacobi_max_iters if solver == "jacobi" else 0,
            longest_chain=rec.longest_chain)


def case_power(v: dict, idx: Sequence[int], table, cfg, solver, opt: ModelOptions) -> torch.Tensor:
    """Per-turbine power in W, (len(idx), T) in layout order, of the cases ``idx``.

    Keeps the gradient history of every entry of ``v`` that requires one (yaw
    angles, layout coordinates, wind speeds), so a loss built on it
    back-propagates through the solve; ``solver`` is a solver object.
    """
    rec = solve_batch(v, idx, table, cfg, solver, opt)
    u = rotor_effective(rec.ff.u_sorted).gather(1, rec.grid.unsorted_indices)
    yaw = v["yaw"][torch.as_tensor(idx, device=u.device)]
    return table_power(table, u, yaw, opt.yaw_power_exponent)


def rotor_effective(u: torch.Tensor) -> torch.Tensor:
    """Cube root of the rotor-mean cube over the last two (rotor-grid) axes, as the solvers use."""
    return u.pow(3.0).mean(dim=(-2, -1)).pow(0.3333333333333333)


def prepare(farm: FarmDescription, solver: str, device) -> tuple[dict, Any, Any]:
    """Validates ``farm`` and returns its values as tensors of the working dtype
    (a dict keyed x, y, hub, diam, wd, ws, ti, freq, yaw, tilt, the scalars
    shear, zref, ref_tilt, and ``inputs``, the validated values as plain
    Python numbers), its turbine table and its model configuration."""
    if solver not in SOLVERS:
        raise FarmError("solver", f"expected one of {', '.join(SOLVERS)}, got {_show(solver)}")
    p = _validate(farm)
    dt, dev = working_dtype(), torch.device(device)

    def t(values):
        return torch.tensor(values, dtype=dt, device=dev)

    T = len(p["x"])
    v = dict(x=t(p["x"]), y=t(p["y"]), hub=t(p["hubs"]), diam=t([p["diameter"]] * T),
             wd=t(p["wd"]), ws=t(p["ws"]), ti=t(p["ti"]), freq=t(p["freq"]),
             yaw=t(p["yaw"]), tilt=t(p["tilt"]), shear=p["shear"], zref=p["zref"],
             ref_tilt=p["ref_tilt"], inputs=p)
    return v, turbine_table(v), model_config(farm.model, solver, T)


def turbine_table(v: dict):
    """The turbine table of prepared values ``v``, in their dtype and device
    (the compiled record does not pickle: a worker rebuilds it from ``v``)."""
    p = v["inputs"]
    dt, dev = v["x"].dtype, v["x"].device
    table = sc.PowerThrustTable()
    table.wind_speed = torch.tensor(p["speeds"], dtype=dt, device=dev)
    table.thrust_coefficient = torch.tensor(p["thrust"], dtype=dt, device=dev)
    table.power = torch.tensor(p["power"], dtype=dt, device=dev)
    table.ref_tilt = p["ref_tilt"]
    table.tip_speed_ratio = p["tsr"]
    return table


def run(farm: FarmDescription, solver: str = "sequential", device: str = "cpu",
        batch_size: int | None = None, memory_limit: int = DEFAULT_MEMORY_LIMIT,
        progress: bool | None = None, engine: str | None = None, client=None) -> FarmResult:
    """Solves every flow case of ``farm`` and returns the results in layout order.

    Cases are solved in batches of one wind direction each, split further to
    at most ``batch_size`` cases, or, when it is None, to what fits in
    ``memory_limit`` bytes. ``progress`` shows a bar; None shows it on a
    terminal when there is more than one batch.

    ``engine`` "local" solves the batches here, one after another; "dask"
    solves each as a task on ``client``, a ``dask.distributed.Client`` (None:
    the default client), with the same results. Unset, it is "dask" when a
    client is given.
    """
    start = time.perf_counter()
    v, table, _ = prepare(farm, solver, device)
    opt = farm.model
    F, T = v["wd"].shape[0], v["x"].shape[0]
    if batch_size is None:
        itemsize = torch.tensor([], dtype=working_dtype()).element_size()
        batch_size = memory_limit // case_bytes(T, opt, solver, itemsize)
    batches = plan_batches(v["wd"].tolist(), batch_size)
    from .engine import map_batches
    parts = map_batches(solve_cases, batch_inputs(v, opt, solver),
                        [batch_cases(v, idx) for idx in batches], engine=engine, client=client,
                        progress=progress)

    u = v["ws"].new_empty(F, T)
    u0 = torch.empty_like(u)
    ti = torch.empty_like(u)
    limits, chains = [], []
    with torch.no_grad():
        for idx, part in zip(batches, parts):
            if solver == "jacobi":
                limits.append(part.sweep_limit)
                chains.append(part.longest_chain)
            sel = torch.as_tensor(idx, device=u.device)
            u[sel] = part.rotor_velocity.to(u.device)
            u0[sel] = part.rotor_velocity_no_wake.to(u.device)
            ti[sel] = part.turbulence_intensity.to(u.device)

        ct = thrust_coefficient(table, u, v["yaw"], v["tilt"])
        power = table_power(table, u, v["yaw"], opt.yaw_power_exponent)
        power0 = table_power(table, u0, v["yaw"], opt.yaw_power_exponent)
    _check_finite(v, dict(rotor_velocity=u, rotor_velocity_no_wake=u0, turbulence_intensity=ti,
                          thrust_coefficient=ct, power=power, power_no_wake=power0))
    farm_power, farm_power0 = power.sum(1), power0.sum(1)
    loss = torch.where(farm_power0 > 0, 100.0 * (1.0 - farm_power / farm_power0),
                       torch.zeros_like(farm_power))
    return FarmResult(
        layout_x=v["x"], layout_y=v["y"], hub_heights=v["hub"], wind_directions=v["wd"],
        wind_speeds=v["ws"], ambient_turbulence=v["ti"], frequencies=v["freq"],
        yaw_angles=v["yaw"], rotor_velocity=u, rotor_velocity_no_wake=u0,
        turbulence_intensity=ti, thrust_coefficient=ct, power=power, power_no_wake=power0,
        farm_power=farm_power, farm_power_no_wake=farm_power0, wake_loss=loss, solver=solver,
        n_batches=len(batches), elapsed_s=time.perf_counter() - start, sweep_limits=limits,
        longest_chains=chains, inputs=v["inputs"])


def _check_finite(v: dict, results: dict) -> None:
    """Raises FarmError naming the first case and turbine with a NaN or infinite result."""
    bad = None
    for name, r in results.items():
        where = (~torch.isfinite(r)).nonzero()
        if where.shape[0]:
            f, t = (int(i) for i in where[0])
            if bad is None or (f, t) < bad[:2]:
                bad = (f, t, name, float(r[f, t]))
    if bad is not None:
        f, t, name, value = bad
        p = v["inputs"]
        raise FarmError("results", f"case {f} (wind from {p['wd'][f]:g} deg at {p['ws'][f]:g} "
                                   f"m/s), turbine {t}: {name.replace('_', ' ')} is {value}; "
                                   "the inputs are outside what the model can compute")


def _interp(x, y, xnew):
    return torch.ops.sorbane_cpp.interp1d(x, y, xnew.contiguous())


DEG = 0.01745329238474369  # pi/180 as the solvers apply it


def _misalignment(yaw, tilt, ref_tilt):
    """cos(yaw) cos(tilt) / cos(ref_tilt); the reference cosine in single precision."""
    f32 = torch.float32
    arg = float(torch.tensor(0.017453292, dtype=f32) * torch.tensor(ref_tilt, dtype=f32))
    # The single-precision cosine, correctly rounded as the C library gives it.
    cos_ref = float(torch.tensor(math.cos(arg), dtype=f32))
    return torch.cos(DEG * yaw) * torch.cos(DEG * tilt) / cos_ref


def thrust_coefficient(table, u, yaw, tilt):
    """The thrust coefficient as the solvers derive it: table lookup, cut to
    [0, 0.9999], corrected for yaw and tilt against the reference tilt."""
    ct = _interp(table.wind_speed, table.thrust_coefficient, u).clamp(0.0, 0.9999)
    return (ct * _misalignment(yaw, tilt, table.ref_tilt)).clamp(0.0, 0.9999)


def table_power(table, u, yaw, exponent):
    """Table power at the rotor-effective velocity, never negative (the table is
    extrapolated linearly), times cos(yaw)^exponent."""
    p = _interp(table.wind_speed, table.power, u).clamp_min(0.0)
    return p * torch.cos(DEG * yaw).clamp_min(0.0).pow(exponent)
