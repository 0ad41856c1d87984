"""The turbine: its table as the solvers read it, and power and thrust from the table.

Power and thrust follow the solvers exactly: the rotor-effective velocity is
the cube root of the rotor-mean cube, the table is interpolated linearly (and
extrapolated beyond its ends) by the same ``interp1d`` operator, and yaw and
tilt turn the thrust as cos(yaw) cos(tilt) / cos(ref_tilt).
"""
from __future__ import annotations

import math

import torch  # before the extension, so tensors can cross the boundary

import sorbane_cpp as sc

from .farm import FarmInputs

__all__ = ["DEG", "rotor_effective", "table_power", "thrust_coefficient", "turbine_table"]

DEG = 0.01745329238474369  # pi/180 as the solvers apply it


def turbine_table(inputs: FarmInputs, dtype: torch.dtype, device) -> sc.PowerThrustTable:
    """The turbine table of validated ``inputs``, in ``dtype`` on ``device`` (the
    compiled record does not pickle: a Dask worker rebuilds it from the inputs)."""
    table = sc.PowerThrustTable()
    table.wind_speed = torch.tensor(inputs.speeds, dtype=dtype, device=device)
    table.thrust_coefficient = torch.tensor(inputs.thrust, dtype=dtype, device=device)
    table.power = torch.tensor(inputs.power, dtype=dtype, device=device)
    table.ref_tilt = inputs.ref_tilt
    table.tip_speed_ratio = inputs.tsr
    return table


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
