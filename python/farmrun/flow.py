"""The flow between the rotors: one inflow case solved, and its velocity at any points.

``SolvedCase`` evaluates the wake kernels (``torch.ops.sorbane_cpp.*``) at
any points as receivers, with every turbine's operating point taken from the
solved rotor field, and combines the wakes by the root sum of squares as the
solvers do. Simplification: it uses each turbine's own yaw for its deflection
and leaves out secondary steering, transverse velocities and yaw-added
recovery, so with those model options on it can differ from the solved rotors
behind yawed turbines. ``flow_plane`` samples it on a horizontal plane.

Yaw sign: a positive yaw angle turns the rotor clockwise seen from above, and
the deflection model steers its wake to the right of the wind direction.
"""
from __future__ import annotations

import copy
import math
from dataclasses import dataclass

import torch

import sorbane_cpp as sc

from .errors import FarmError
from .farm import FarmDescription, FlowCases
from .runner import prepare, solve_batch, working_dtype
from .turbine import DEG, TurbineTables, rotor_effective, thrust_coefficient
from .validation import fraction, validate_farm

__all__ = ["MAX_PLANE_POINTS", "POINTS_PER_CHUNK", "FlowPlane", "SolvedCase", "downwind",
           "flow_plane", "plane_extent", "plane_grid", "solve_case"]

# Bounds of a flow plane: enough points for contours, few enough for memory.
MAX_PLANE_POINTS = 50_000_000

OPS = torch.ops.sorbane_cpp

# Plane points per kernel call; the deficit holds about thirty (points, T)
# temporaries, so 2**15 points on 100 turbines stay near 400 MB in float32.
POINTS_PER_CHUNK = 1 << 15


def downwind(direction_deg: float) -> tuple[float, float]:
    """Unit vector (east, north) the wind blows towards; it comes from ``direction_deg``."""
    r = math.radians(direction_deg)
    return -math.sin(r), -math.cos(r)



class SolvedCase:
    """One inflow case solved on the farm, with every turbine's operating point in sorted order.

    ``velocity(x, y, z)`` gives the streamwise velocity at any points (world
    coordinates, metres), evaluating each turbine's wake from its solved
    thrust coefficient, induction and turbulence.
    """

    def __init__(self, farm: FarmDescription, direction: float, speed: float,
                 turbulence_intensity: float, solver: str = "sequential", device: str = "cpu",
                 yaw_angles=None):
        one = copy.copy(farm)
        one.cases = FlowCases([direction], [speed], [turbulence_intensity], [1.0])
        one.yaw_angles = _yaw_for_case(farm, direction, speed, yaw_angles)
        one.tilt_angles = None if farm.tilt_angles is None else _row_for_case(
            farm, farm.tilt_angles, direction, speed, "tilt_angles")
        v, table, cfg = prepare(one, solver, device)
        self.farm, self.direction, self.speed = farm, direction, speed
        with torch.no_grad():
            rec = solve_batch(v, [0], table, cfg, sc.get_solver(solver), one.model)
            grid, fm, ff = rec.grid, rec.farm, rec.ff
            self.records = rec
            # The record's 32-bit values, as the freestream on the rotors used them.
            self.shear, self.zref = ff.wind_shear, ff.reference_wind_height
            u = rotor_effective(ff.u_sorted)
            yaw, tilt = fm.yaw_angles_sorted, fm.tilt_angles_sorted
            # The turbines in sorted order, each with its own type's table.
            by_position = TurbineTables(table.tables,
                                        fm.turbine_types_sorted[0] if table.several else None)
            self.ct = thrust_coefficient(by_position, u, yaw, tilt)
            self.ti = ff.turbulence_intensity_field_sorted.mean(dim=(-2, -1))
            self.yaw = yaw
            self.x_ups, self.y_ups = grid.x_sorted, grid.y_sorted
            self.xbar, self.ybar = grid.x_sorted.mean(dim=(-2, -1)), grid.y_sorted.mean(dim=(-2, -1))
            self.hub, self.diam = fm.hub_heights_sorted, fm.rotor_diameters_sorted
            self.cfg = cfg
            self.yaw_layout = v.cases.yaw[0]
            # The grid's rotation: about the stored centre, theta in single precision.
            self.xc, self.yc = grid.x_center_of_rotation, grid.y_center_of_rotation
            theta = torch.fmod(torch.tensor(direction, dtype=working_dtype()) - 270.0, 360.0) \
                * DEG
            self.cos_t, self.sin_t = float(torch.cos(theta)), float(torch.sin(theta))

    def to_wind_frame(self, x, y):
        dx, dy = x - self.xc, y - self.yc
        return (dx * self.cos_t - dy * self.sin_t + self.xc,
                dx * self.sin_t + dy * self.cos_t + self.yc)

    def velocity_wind_frame(self, xr, yr, z):
        """Streamwise velocity at points given in the rotated frame (wind along +x)."""
        shape = xr.shape
        xr, yr, z = (t.reshape(-1) for t in torch.broadcast_tensors(xr, yr, z))
        out = torch.empty_like(xr)
        with torch.no_grad():
            for s in range(0, xr.shape[0], POINTS_PER_CHUNK):
                sl = slice(s, s + POINTS_PER_CHUNK)
                out[sl] = self._velocity(xr[sl], yr[sl], z[sl])
        return out.reshape(shape)

    def velocity(self, x, y, z):
        """Streamwise velocity at points in world coordinates (x east, y north, z up)."""
        dt, dev = self.x_ups.dtype, self.x_ups.device
        x, y, z = (torch.as_tensor(t, dtype=dt, device=dev) for t in (x, y, z))
        xr, yr = self.to_wind_frame(x, y)
        return self.velocity_wind_frame(xr, yr, z)

    def _velocity(self, xr, yr, z):
        c = self.cfg
        P = xr.shape[0]
        X, Y, Z = (t.view(1, P, 1, 1) for t in (xr, yr, z))
        u0 = self.speed * (Z / self.zref).pow(self.shear)
        defl = OPS.gauss_deflection(self.xbar, self.ybar, xr.view(1, P), self.ct, self.yaw,
                                    self.ti, self.diam, c.alpha, c.beta, c.ka, c.kb, c.ad, c.bd,
                                    c.dm)
        d = OPS.gauss_velocity_deficit(X, Y, Z, self.x_ups, self.y_ups, self.ct, self.yaw,
                                       self.ti, defl, self.hub, self.diam, c.alpha, c.beta,
                                       c.ka, c.kb, c.sigmoid_k)  # (1, P, T, 1, 1)
        # A wake reaches only points more than 0.1 m downstream of its rotor, as on the rotors.
        down = (xr.view(1, P, 1) > self.xbar.view(1, 1, -1) + 0.1).to(d.dtype)
        deficit = d * u0.unsqueeze(2) * down.view(1, P, -1, 1, 1)
        combined = OPS.sosfs_combination(deficit, 2)
        return torch.clamp_min(u0 - combined, 1e-6).view(P)


def _row_for_case(farm, angles, direction, speed, name):
    """Per-turbine angles of the case at (direction, speed): the one row, or the matching row."""
    rows = angles.tolist() if hasattr(angles, "tolist") else angles
    if not rows or not isinstance(rows[0], (list, tuple)):
        return rows
    c = farm.cases
    for f, (d, s) in enumerate(zip(c.wind_directions, c.wind_speeds)):
        if float(d) % 360.0 == float(direction) % 360.0 and float(s) == float(speed):
            return rows[f]
    raise FarmError(name, f"one row per flow case, and no case has wind direction "
                          f"{direction:g} and speed {speed:g}")


def _yaw_for_case(farm, direction, speed, yaw_angles):
    if yaw_angles is not None:
        return yaw_angles
    if farm.yaw_angles is None:
        return None
    return _row_for_case(farm, farm.yaw_angles, direction, speed, "yaw_angles")


def solve_case(farm, direction, speed, turbulence_intensity=0.06, solver="sequential",
               device="cpu", yaw_angles=None) -> SolvedCase:
    return SolvedCase(farm, direction, speed, turbulence_intensity, solver, device, yaw_angles)


@dataclass
class FlowPlane:
    """Streamwise velocity ``u`` (ny, nx) on a horizontal plane at ``height``."""

    x: torch.Tensor
    y: torch.Tensor
    u: torch.Tensor
    height: float
    case: SolvedCase


def plane_extent(farm: FarmDescription, direction: float, margin: float | None):
    """Bounding box of the layout plus ``margin`` on every side; by default 3 rotor
    diameters, with 7 more on the downstream side."""
    D = max(t.rotor_diameter for t in farm.turbine_types)
    x0, x1 = min(farm.layout_x), max(farm.layout_x)
    y0, y1 = min(farm.layout_y), max(farm.layout_y)
    if margin is not None:
        return x0 - margin, x1 + margin, y0 - margin, y1 + margin
    dx, dy = downwind(direction)
    m, extra = 3.0 * D, 7.0 * D
    return (x0 - m - extra * max(-dx, 0.0), x1 + m + extra * max(dx, 0.0),
            y0 - m - extra * max(-dy, 0.0), y1 + m + extra * max(dy, 0.0))


def plane_grid(farm: FarmDescription, direction: float, speed: float,
               turbulence_intensity: float = 0.06, resolution: float = 10.0,
               margin: float | None = None, height: float | None = None):
    """Checks the plane's options against the farm, before anything is solved,
    and returns (x0, y0, nx, ny, height); errors name the command-line option."""
    validate_farm(farm)
    for name, value in (("--direction", direction), ("--speed", speed),
                        ("--resolution", resolution), ("--ti", turbulence_intensity),
                        ("--margin", margin), ("--height", height)):
        if value is not None and not math.isfinite(value):
            raise FarmError(name, f"must be finite, got {value}")
    if not speed > 0:
        raise FarmError("--speed", f"must be positive, got {speed:g}")
    if not resolution > 0:
        raise FarmError("--resolution", f"must be positive, got {resolution:g}")
    fraction("--ti", turbulence_intensity)
    if margin is not None and margin < 0:
        raise FarmError("--margin", f"must not be negative, got {margin:g}")
    if height is not None and not height > 0:
        raise FarmError("--height", f"must be positive, got {height:g}")
    x0, x1, y0, y1 = plane_extent(farm, direction, margin)
    fx, fy = (x1 - x0) / resolution + 1, (y1 - y0) / resolution + 1
    if fx < 2 or fy < 2:
        raise FarmError("--resolution", f"{resolution:g} m leaves fewer than 2 points across the "
                                        f"{x1 - x0:g} m x {y1 - y0:g} m plane")
    if fx * fy > MAX_PLANE_POINTS:
        what = "--resolution" if margin is None else "--margin"
        raise FarmError(what, f"a plane of {x1 - x0:g} m x {y1 - y0:g} m at {resolution:g} m "
                              f"would hold {fx * fy:.3g} points, more than {MAX_PLANE_POINTS}")
    h = farm.turbine_types[0].hub_height if height is None else height
    return x0, y0, int(fx), int(fy), h


def flow_plane(farm: FarmDescription, direction: float, speed: float,
               turbulence_intensity: float = 0.06, solver: str = "sequential",
               device: str = "cpu", resolution: float = 10.0, margin: float | None = None,
               height: float | None = None, yaw_angles=None) -> FlowPlane:
    """The hub-height plane over the farm, points ``resolution`` metres apart."""
    x0, y0, nx, ny, h = plane_grid(farm, direction, speed, turbulence_intensity, resolution,
                                   margin, height)
    case = solve_case(farm, direction, speed, turbulence_intensity, solver, device, yaw_angles)
    dt, dev = working_dtype(), torch.device(device)
    xs = x0 + resolution * torch.arange(nx, dtype=torch.float64)
    ys = y0 + resolution * torch.arange(ny, dtype=torch.float64)
    gy, gx = torch.meshgrid(ys, xs, indexing="ij")
    u = case.velocity(gx.to(dt), gy.to(dt), torch.full_like(gx, h, dtype=dt, device=dev))
    return FlowPlane(x=xs, y=ys, u=u.cpu(), height=h, case=case)
