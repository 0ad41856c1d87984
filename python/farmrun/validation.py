"""Checks of a farm description: every value, with a message that names the field and the value.

``validate_farm`` returns the farm's values as a ``FarmInputs`` of plain Python
numbers, or raises a ``FarmError`` for the first value that the model cannot
use. The small checks (``number``, ``numbers``, ``fraction``) serve the file
readers too, so a farm file, a windIO system and a farm built in Python fail
with the same messages.
"""
from __future__ import annotations

import math
import reprlib
from dataclasses import fields
from typing import Sequence

from .errors import FarmError
from .farm import FarmDescription, FarmInputs, ModelOptions, TurbineType, TypeInputs
from .spread import MAX_WIND_DIRECTION_STD

__all__ = ["INT_RANGES", "MODEL_RANGES", "as_list", "fraction", "is_number", "number", "numbers",
           "show", "validate_farm", "wind_direction_std"]

def is_number(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


_repr = reprlib.Repr(maxlevel=2, maxlist=6, maxdict=4, maxstring=40, maxlong=40, maxother=40)


def show(v) -> str:
    """A short repr for messages, whatever the size or depth of the value."""
    return _repr.repr(v)


def number(path, v, *, positive=False, nonneg=False) -> float:
    if not is_number(v):
        raise FarmError(path, f"expected a number, got {show(v)}")
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


def as_list(v):
    return v.tolist() if hasattr(v, "tolist") else v


def numbers(path, values, *, n=None, min_len=1, positive=False, nonneg=False) -> list[float]:
    values = as_list(values)
    if isinstance(values, (str, bytes)) or not isinstance(values, Sequence):
        raise FarmError(path, f"expected a list of numbers, got {show(values)}")
    if n is not None and len(values) != n:
        raise FarmError(path, f"expected {n} values, got {len(values)}")
    if len(values) < min_len:
        plural = "s" if min_len > 1 else ""
        raise FarmError(path, f"expected at least {min_len} value{plural}, got {len(values)}")
    return [number(f"{path}[{i}]", v, positive=positive, nonneg=nonneg)
            for i, v in enumerate(values)]


def _angles(path, value, n_cases, n_turbines):
    """Per-turbine angles for every case: T values, or F rows of T values, each
    within +-90 degrees (a rotor turned edge-on to the wind has no thrust axis)."""
    value = as_list(value)
    per_case = isinstance(value, Sequence) and len(value) > 0 and not is_number(value[0])
    if per_case:
        if len(value) != n_cases:
            raise FarmError(path, f"expected {n_cases} rows (one per flow case), got {len(value)}")
        rows = [(f"{path}[{f}]", numbers(f"{path}[{f}]", row, n=n_turbines))
                for f, row in enumerate(value)]
    else:
        rows = [(path, numbers(path, value, n=n_turbines))]
    for p, row in rows:
        for t, a in enumerate(row):
            if not -90.0 < a < 90.0:
                raise FarmError(f"{p}[{t}]", f"must lie strictly between -90 and 90 degrees, "
                                             f"got {a:g}")
    return [row for _, row in rows] if per_case else [rows[0][1]] * n_cases


def fraction(path, v) -> float:
    """A turbulence intensity: a fraction in [0, 1)."""
    v = number(path, v)
    if not 0.0 <= v < 1.0:
        hint = f" (a fraction: {v:g} % is {v / 100:g})" if v > 1.0 else ""
        raise FarmError(path, f"must lie in [0, 1), got {v:g}{hint}")
    return v


def wind_direction_std(path, v) -> float:
    """A spread of wind directions: a number of degrees from 0 to the largest."""
    top = MAX_WIND_DIRECTION_STD
    if not is_number(v) or not (isinstance(v, int) or math.isfinite(v)) or not 0.0 <= v <= top:
        raise FarmError(path, f"expected a number of degrees from 0 to {top:g}, got {show(v)}")
    return float(v)


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


def _check_model_options(opt: ModelOptions) -> None:
    for f in fields(ModelOptions):
        v = getattr(opt, f.name)
        path = f"model.{f.name}"
        if f.type == "bool":
            if not isinstance(v, bool):
                raise FarmError(path, f"expected true or false, got {show(v)}")
        elif f.name in INT_RANGES:
            if v is None and f.name == "jacobi_max_iters":
                continue
            lo, hi = INT_RANGES[f.name]
            if not isinstance(v, int) or isinstance(v, bool) or not lo <= v <= hi:
                raise FarmError(path, f"expected an integer from {lo} to {hi}, got {show(v)}")
        else:
            v = number(path, v)
            if f.name in MODEL_RANGES:
                _in_range(path, v, *MODEL_RANGES[f.name])


def _turbine_type(path: str, tt) -> TypeInputs:
    """One turbine type checked; errors name its fields under ``path``."""
    if not isinstance(tt, TurbineType):
        raise FarmError(path, f"expected a turbine type, got {show(tt)}")
    diameter = number(f"{path}.rotor_diameter", tt.rotor_diameter, positive=True)
    hub = number(f"{path}.hub_height", tt.hub_height, positive=True)
    speeds = numbers(f"{path}.wind_speed", tt.wind_speed, min_len=2, nonneg=True)
    for i in range(1, len(speeds)):
        if not speeds[i] > speeds[i - 1]:
            raise FarmError(f"{path}.wind_speed", "must be strictly ascending, got "
                            f"{speeds[i]:g} after {speeds[i - 1]:g} at index {i}")
    power = numbers(f"{path}.power", tt.power, n=len(speeds), nonneg=True)
    thrust = numbers(f"{path}.thrust_coefficient", tt.thrust_coefficient, n=len(speeds),
                     nonneg=True)
    # Momentum theory, on which the wake's induction rests, has no solution above 1.
    for i, c in enumerate(thrust):
        if c > 1.0:
            raise FarmError(f"{path}.thrust_coefficient[{i}]", f"must lie in [0, 1], got {c:g}")
    ref_tilt = number(f"{path}.ref_tilt", tt.ref_tilt)
    if not -90.0 < ref_tilt < 90.0:
        # The thrust is corrected by cos(tilt) / cos(ref_tilt).
        raise FarmError(f"{path}.ref_tilt", f"must lie strictly between -90 and 90 degrees, "
                                            f"got {ref_tilt:g}")
    tsr = number(f"{path}.tip_speed_ratio", tt.tip_speed_ratio, positive=True)
    return TypeInputs(str(tt.name), diameter, hub, speeds, power, thrust, ref_tilt, tsr)


def _indices(path: str, values, n: int, count: int, what: str) -> list[int]:
    """n integers from 0 to count - 1, one per turbine."""
    values = as_list(values)
    if isinstance(values, (str, bytes)) or not isinstance(values, Sequence) or len(values) != n:
        raise FarmError(path, f"expected {n} indices (one per turbine), got {show(values)}")
    for t, k in enumerate(values):
        if not isinstance(k, int) or isinstance(k, bool) or not 0 <= k < count:
            raise FarmError(f"{path}[{t}]", f"expected the index of one of the {count} {what} "
                                            f"(0 to {count - 1}), got {show(k)}")
    return [int(k) for k in values]


def validate_farm(farm: FarmDescription) -> FarmInputs:
    """Checks every value and returns them as plain lists; raises FarmError."""
    cases, opt = farm.cases, farm.model
    x = numbers("layout_x", farm.layout_x)
    y = numbers("layout_y", farm.layout_y, n=len(x))
    T = len(x)
    several = isinstance(farm.turbine, (list, tuple))
    if several and not farm.turbine:
        raise FarmError("turbines", "expected at least one turbine type, got none")
    types = [_turbine_type(f"turbines[{k}]" if several else "turbine", tt)
             for k, tt in enumerate(farm.turbine_types)]
    type_of = [0] * T if farm.turbine_type is None else _indices(
        "turbine_type", farm.turbine_type, T, len(types), "turbine types")
    diameters = [types[k].diameter for k in type_of]
    hubs = [types[k].hub for k in type_of] if farm.hub_heights is None else numbers(
        "hub_heights", farm.hub_heights, n=T, positive=True)
    # The rotor must clear the ground: the shear profile has no value below it.
    for t, (h, d) in enumerate(zip(hubs, diameters)):
        if h < 0.5 * d:
            if farm.hub_heights is not None:
                path = f"hub_heights[{t}]"
            else:
                path = f"turbines[{type_of[t]}].hub_height" if several else "turbine.hub_height"
            raise FarmError(path, f"must be at least half the rotor diameter "
                                  f"({0.5 * d:g} m), got {h:g}")
    pair = _closest_pair(x, y)
    if pair is not None:
        i, j, dist = pair
        reach = 0.5 * (diameters[i] + diameters[j])
        if dist < reach:
            raise FarmError("layout", f"turbines {i} and {j} are {dist:.4g} m apart, closer "
                                      f"than one rotor diameter ({reach:g} m)")
    farm_names = [str(n) for n in farm.farm_names] if farm.farm_names else [farm.name]
    farm_of = [0] * T if farm.farm_index is None else _indices(
        "farm_index", farm.farm_index, T, len(farm_names), "farms")
    fixed = [False] * T if farm.fixed is None else [bool(v) for v in as_list(farm.fixed)]
    if len(fixed) != T:
        raise FarmError("fixed", f"expected {T} flags (one per turbine), got {show(farm.fixed)}")
    first = types[0]
    diameter, speeds, power, thrust = first.diameter, first.speeds, first.power, first.thrust
    ref_tilt, tsr = first.ref_tilt, first.tsr

    wd = numbers("cases.wind_directions", cases.wind_directions)
    F = len(wd)
    ws = numbers("cases.wind_speeds", cases.wind_speeds, n=F, positive=True)
    ti = numbers("cases.turbulence_intensities", cases.turbulence_intensities, n=F)
    for f, v in enumerate(ti):
        fraction(f"cases.turbulence_intensities[{f}]", v)
    if (cases.frequencies is None) == (cases.time is None):
        raise FarmError("cases.frequencies", "give exactly one of 'frequencies' and 'time'")
    if cases.time is not None:
        stamps = as_list(cases.time)
        if isinstance(stamps, (str, bytes)) or not isinstance(stamps, Sequence) \
                or len(stamps) != F:
            raise FarmError("cases.time", f"expected {F} time stamps (one per flow case), "
                                          f"got {stamps!r}"[:200])
        freq = [1.0 / F] * F
    else:
        freq = numbers("cases.frequencies", cases.frequencies, n=F, nonneg=True)
        total = math.fsum(freq)
        if abs(total - 1.0) > 1e-6:
            raise FarmError("cases.frequencies", f"must sum to 1, got {total:.9g}")

    yaw = [[0.0] * T] * F if farm.yaw_angles is None else _angles(
        "yaw_angles", farm.yaw_angles, F, T)
    tilt = [[types[k].ref_tilt for k in type_of]] * F if farm.tilt_angles is None else _angles(
        "tilt_angles", farm.tilt_angles, F, T)
    shear = number("wind_shear", farm.wind_shear)
    zref = first.hub if farm.reference_wind_height is None else number(
        "reference_wind_height", farm.reference_wind_height, positive=True)
    wd_std = wind_direction_std("wind_direction_std", farm.wind_direction_std)
    _check_model_options(opt)
    return FarmInputs(x=x, y=y, hubs=hubs, diameter=diameter, speeds=speeds, power=power,
                      thrust=thrust, ref_tilt=ref_tilt, tsr=tsr, wd=wd, ws=ws, ti=ti, freq=freq,
                      yaw=yaw, tilt=tilt, shear=shear, zref=zref, wd_std=wd_std, types=types,
                      type_of=type_of, diameters=diameters, farm_of=farm_of,
                      farm_names=farm_names, fixed=fixed)
