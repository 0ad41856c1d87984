"""windIO turbines: power and thrust curves as one farmrun turbine table.

A windIO turbine gives its power as a ``power_curve``, a ``Cp_curve`` or the
rated-power form (cut-in, rated and cut-out speed and rated power), and its
thrust as a ``Ct_curve``. farmrun's solvers take one table for both, on the
union of the curves' speeds, with the turbine parked (no power, no thrust)
outside each curve and outside its operating range.
"""
from __future__ import annotations

import math

import numpy as np

from ..errors import FarmError
from ..farm import TurbineType
from ..validation import number, numbers

__all__ = ["DEFAULT_AIR_DENSITY", "rated_power_curve", "turbine_from_windio", "turbine_types"]

DEFAULT_AIR_DENSITY = 1.225  # kg/m3, ISA sea level
# Samples of the cubic between cut-in and rated speed in the rated-power form.
_RATED_SAMPLES = 40


def rated_power_curve(rated_power: float, rated_speed: float, cutin: float, cutout: float):
    """(speeds, power) of the rated-power form: zero below cut-in, the cubic
    P = P_rated ((U - U_in) / (U_rated - U_in))^3 up to rated speed (the power
    law of the IEA Wind Task 37 layout case studies), P_rated up to cut-out,
    zero above. Sampled at ``_RATED_SAMPLES`` speeds up the cubic."""
    speeds = [cutin + (rated_speed - cutin) * i / _RATED_SAMPLES for i in range(_RATED_SAMPLES)]
    power = [rated_power * ((u - cutin) / (rated_speed - cutin)) ** 3 for u in speeds]
    return speeds + [rated_speed, cutout], power + [rated_power, rated_power]


def _curve(path, curve, values_key, speeds_key):
    speeds = numbers(f"{path}.{speeds_key}", curve[speeds_key], min_len=2, nonneg=True)
    values = numbers(f"{path}.{values_key}", curve[values_key], n=len(speeds))
    for i in range(1, len(speeds)):
        if not speeds[i] > speeds[i - 1]:
            raise FarmError(f"{path}.{speeds_key}", "must be strictly ascending, got "
                            f"{speeds[i]:g} after {speeds[i - 1]:g} at index {i}")
    return speeds, values


def _table(power_curve, ct_curve, operating=(0.0, math.inf)):
    """One table on the union of both curves' speeds. Outside its own speed
    range, and outside the ``operating`` range (cut-in, cut-out), each curve is
    zero (the turbine is parked); zero rows 0.01 m/s beyond every end make the
    linear interpolation step there, and rows at 0 and 100 m/s keep it from
    extrapolating a slope."""
    ps, pv = power_curve
    cs, cv = ct_curve
    lo_op, hi_op = operating
    ends = [ps[0], ps[-1], cs[0], cs[-1]] + [v for v in operating if math.isfinite(v)]
    grid = set(ps) | set(cs) | {0.0, max(100.0, max(ends) + 1.0)}
    grid |= {max(e - 0.01, 0.0) for e in ends} | {e + 0.01 for e in ends}
    speeds = []
    for s in sorted(grid):  # drop speeds closer than 1 mm/s, which would make the table non-ascending
        if not speeds or s - speeds[-1] > 1e-3:
            speeds.append(s)

    def on(xs, ys):
        v = np.interp(speeds, xs, ys)
        return [float(a) if xs[0] - 1e-9 <= s <= xs[-1] + 1e-9 and lo_op <= s <= hi_op else 0.0
                for s, a in zip(speeds, v)]
    return speeds, on(ps, pv), on(cs, cv)


def turbine_from_windio(data: dict, path: str = "turbine",
                        air_density: float = DEFAULT_AIR_DENSITY) -> TurbineType:
    """A windIO plant turbine as a TurbineType: ``power_curve``, ``Cp_curve``
    (P = rho/2 Cp (pi D^2 / 4) U^3) or the rated-power form, each with its ``Ct_curve``."""
    perf = data["performance"]
    p = f"{path}.performance"
    operating = (0.0, math.inf)
    # Checked here so that a message names the field in the windIO file.
    diameter = number(f"{path}.rotor_diameter", data["rotor_diameter"], positive=True)
    hub = number(f"{path}.hub_height", data["hub_height"], positive=True)
    if hub < 0.5 * diameter:
        raise FarmError(f"{path}.hub_height", f"must be at least half the rotor diameter "
                                              f"({0.5 * diameter:g} m), got {hub:g}")
    ct = _curve(f"{p}.Ct_curve", perf["Ct_curve"], "Ct_values", "Ct_wind_speeds")
    if "power_curve" in perf:
        power = _curve(f"{p}.power_curve", perf["power_curve"], "power_values",
                       "power_wind_speeds")
    elif "Cp_curve" in perf:
        s, cp = _curve(f"{p}.Cp_curve", perf["Cp_curve"], "Cp_values", "Cp_wind_speeds")
        area = math.pi * diameter ** 2 / 4.0
        power = (s, [0.5 * air_density * c * area * u ** 3 for c, u in zip(cp, s)])
    else:
        cutin, rated, cutout = (float(perf[k]) for k in (
            "cutin_wind_speed", "rated_wind_speed", "cutout_wind_speed"))
        if not 0 <= cutin < rated <= cutout:
            raise FarmError(p, "needs 0 <= cutin_wind_speed < rated_wind_speed <= "
                               f"cutout_wind_speed, got {cutin:g}, {rated:g}, {cutout:g}")
        power = rated_power_curve(float(perf["rated_power"]), rated, cutin, cutout)
        operating = (cutin, cutout)  # parked outside: no power and no thrust
    efficiency = float(perf.get("generator_efficiency", 1.0))
    power = (power[0], [efficiency * v for v in power[1]])
    speeds, pw, cts = _table(power, ct, operating)
    return TurbineType(name=str(data.get("name", "turbine")), rotor_diameter=diameter,
                       hub_height=hub, wind_speed=speeds, power=pw, thrust_coefficient=cts,
                       tip_speed_ratio=number(f"{path}.TSR", data.get("TSR", 8.0), positive=True))


def turbine_types(wf: dict, layouts: list[dict], air_density: float, notes: list[str]):
    """The turbine types of the run and, per turbine of the layouts in order,
    its type's index, hub height and type name (with its key where two types
    share a name). Types that differ only in name and hub height run as one."""
    if "turbine_types" in wf and any("turbine_types" in lay for lay in layouts):
        types = {str(k): v for k, v in wf["turbine_types"].items()}
        index = []
        for k, lay in enumerate(layouts):
            p = "wind_farm.layouts" if len(layouts) == 1 else f"wind_farm.layouts[{k}]"
            n = len(lay["coordinates"]["x"])
            if "turbine_types" not in lay:
                raise FarmError(f"{p}.turbine_types", f"expected {n} type indices (one per "
                                                      "turbine), as the other layouts give")
            keys = [str(i) for i in lay["turbine_types"]]
            if len(keys) != n:
                raise FarmError(f"{p}.turbine_types",
                                f"expected {n} type indices (one per turbine), got {len(keys)}")
            for t, i in enumerate(keys):
                if i not in types:
                    raise FarmError(f"{p}.turbine_types[{t}]",
                                    f"no turbine type {i} (types: {', '.join(types)})")
            index += keys
        used = list(dict.fromkeys(index))
        built = {i: turbine_from_windio(types[i], f"wind_farm.turbine_types.{i}", air_density)
                 for i in used}
    elif "turbines" in wf:
        n = sum(len(lay["coordinates"]["x"]) for lay in layouts)
        index, used = ["0"] * n, ["0"]
        built = {"0": turbine_from_windio(wf["turbines"], "wind_farm.turbines", air_density)}
    elif "turbine_types" in wf and len(wf["turbine_types"]) == 1:
        n = sum(len(lay["coordinates"]["x"]) for lay in layouts)
        (key, value), = wf["turbine_types"].items()
        index, used = [str(key)] * n, [str(key)]
        built = {str(key): turbine_from_windio(value, f"wind_farm.turbine_types.{key}",
                                               air_density)}
    else:
        raise FarmError("wind_farm", "needs 'turbines', or 'turbine_types' with a type index "
                                     "per turbine in the layout")

    def curves(t):
        return (t.rotor_diameter, t.wind_speed, t.thrust_coefficient, t.power, t.ref_tilt,
                t.tip_speed_ratio)
    # One farmrun type per distinct set of curves, in order of first use.
    distinct: list[TurbineType] = []
    kind = {}
    for i in used:
        same = [k for k, t in enumerate(distinct) if curves(t) == curves(built[i])]
        if same:
            kind[i] = same[0]
        else:
            kind[i] = len(distinct)
            distinct.append(built[i])
    hubs = [built[i].hub_height for i in index]
    names = {i: built[i].name for i in used}
    shared = {v for v in names.values() if list(names.values()).count(v) > 1}
    names = {i: f"{v} (type {i})" if v in shared else v for i, v in names.items()}
    return distinct, [kind[i] for i in index], hubs, [names[i] for i in index]
