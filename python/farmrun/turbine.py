"""The turbines: their tables as the solvers read them, and power and thrust from them.

Power and thrust follow the solvers exactly: the rotor-effective velocity is
the cube root of the rotor-mean cube, the table is interpolated linearly (and
extrapolated beyond its ends) by the same ``interp1d`` operator, and yaw and
tilt turn the thrust as cos(yaw) cos(tilt) / cos(ref_tilt). A farm of several
types reads each turbine's power and thrust off its own type's table.
"""
from __future__ import annotations

import math

import torch  # before the extension, so tensors can cross the boundary

import sorbane_cpp as sc

from dataclasses import dataclass

from .farm import FarmInputs, TypeInputs

__all__ = ["DEG", "TurbineTables", "peak_power_up_to", "rotor_effective", "table_power",
           "thrust_coefficient", "turbine_table"]

DEG = 0.01745329238474369  # pi/180 as the solvers apply it


@dataclass
class TurbineTables:
    """The farm's turbine tables, one per type, and each turbine's type, (T,)
    long in layout order (None: every turbine of the one type)."""

    tables: list
    index: torch.Tensor | None = None

    @property
    def several(self) -> bool:
        return self.index is not None


def _table(t: TypeInputs, dtype: torch.dtype, device) -> sc.PowerThrustTable:
    table = sc.PowerThrustTable()
    table.wind_speed = torch.tensor(t.speeds, dtype=dtype, device=device)
    table.thrust_coefficient = torch.tensor(t.thrust, dtype=dtype, device=device)
    table.power = torch.tensor(t.power, dtype=dtype, device=device)
    table.ref_tilt = t.ref_tilt
    table.tip_speed_ratio = t.tsr
    return table


def turbine_table(inputs: FarmInputs, dtype: torch.dtype, device) -> TurbineTables:
    """The turbine tables of validated ``inputs``, in ``dtype`` on ``device`` (the
    compiled records do not pickle: a Dask worker rebuilds them from the inputs)."""
    tables = [_table(t, dtype, device) for t in inputs.types]
    index = None
    if len(tables) > 1:
        index = torch.tensor(inputs.type_of, dtype=torch.long, device=device)
    return TurbineTables(tables, index)


def _per_type(tt: TurbineTables, value) -> torch.Tensor:
    """value(table) for each type, each turbine's from its own type."""
    if not tt.several:
        return value(tt.tables[0])
    out = None
    for k, table in enumerate(tt.tables):
        own = tt.index == k
        if not bool(own.any()):
            continue
        v = value(table)
        out = v if out is None else torch.where(own, v, out)
    return out


def rotor_effective(u: torch.Tensor) -> torch.Tensor:
    """Cube root of the rotor-mean cube over the last two (rotor-grid) axes, as the solvers use."""
    return u.pow(3.0).mean(dim=(-2, -1)).pow(0.3333333333333333)


def _interp(x, y, xnew):
    return torch.ops.sorbane_cpp.interp1d(x, y, xnew.contiguous())


def _misalignment(yaw, tilt, ref_tilt):
    """cos(yaw) cos(tilt) / cos(ref_tilt); the reference cosine in single precision."""
    f32 = torch.float32
    arg = float(torch.tensor(0.017453292, dtype=f32) * torch.tensor(ref_tilt, dtype=f32))
    # The single-precision cosine, correctly rounded as the C library gives it.
    cos_ref = float(torch.tensor(math.cos(arg), dtype=f32))
    return torch.cos(DEG * yaw) * torch.cos(DEG * tilt) / cos_ref


def thrust_coefficient(tt: TurbineTables, u, yaw, tilt):
    """The thrust coefficient as the solvers derive it: table lookup, cut to
    [0, 0.9999], corrected for yaw and tilt against the reference tilt; u, yaw
    and tilt (..., T)."""
    def one(table):
        ct = _interp(table.wind_speed, table.thrust_coefficient, u).clamp(0.0, 0.9999)
        return (ct * _misalignment(yaw, tilt, table.ref_tilt)).clamp(0.0, 0.9999)
    return _per_type(tt, one)


def table_power(tt: TurbineTables, u, yaw, exponent):
    """Table power at the rotor-effective velocity, never negative (the table is
    extrapolated linearly), times cos(yaw)^exponent; u and yaw (..., T)."""
    def one(table):
        p = _interp(table.wind_speed, table.power, u).clamp_min(0.0)
        return p * torch.cos(DEG * yaw).clamp_min(0.0).pow(exponent)
    return _per_type(tt, one)


def peak_power_up_to(tt: TurbineTables, u: torch.Tensor) -> torch.Tensor:
    """Each turbine's highest table power at any speed up to u, (..., T): the
    most it can give where wakes only slow the flow."""
    def one(table):
        p_at = _interp(table.wind_speed, table.power, u).clamp_min(0.0)
        below = table.wind_speed <= u.unsqueeze(-1)
        rows = torch.where(below, table.power.clamp_min(0.0), torch.zeros_like(table.power))
        return torch.maximum(p_at, rows.amax(-1))
    return _per_type(tt, one)
