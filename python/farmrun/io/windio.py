"""windIO wind energy systems: loading, validation and conversion to a FarmDescription.

A ``wind_energy_system`` file (IEA Wind Task 37's YAML ontology) is read with
the ``windIO`` package's own loader, which resolves ``!include`` of YAML and
NetCDF files, and checked with its own validator. What farmrun's model can
use becomes a FarmDescription; every requested model or option that it does
not have becomes one line in ``WindIOSystem.notes``.

Wind resources:

- a probability table over wind direction and speed (``probability``,
  optionally per-sector speed distributions scaled by ``sector_probability``);
  a table within 1e-3 of summing to one is rescaled (published tables are
  rounded), a table further off is refused;
- Weibull ``weibull_a``, ``weibull_k`` and ``sector_probability`` per sector,
  binned in speed (see ``weibull_bin_probabilities``): the bins are centred on
  the resource's ``wind_speed`` values, or on 0.5, 1.5, ..., 29.5 m/s;
- a time series (``time``, ``wind_speed``, ``wind_direction``): one flow case
  per stamp, all of equal weight.

``turbulence_intensity`` is a scalar or given over the resource's dimensions
(default 0.06); a field whose largest value exceeds 1 is read as percent.
``shear`` gives the power-law exponent and its reference height; without it
the inflow is uniform in height (exponent 0).
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np
import torch

from .model import (FarmDescription, FarmError, FarmResult, FlowCases, ModelOptions,
                    TurbineType, _numbers)

__all__ = ["DEFAULT_AIR_DENSITY", "MAX_FLOW_FIELD_CASES", "WEIBULL_SPEED_BINS", "WindIOSystem",
           "apply_power_curves", "flow_field_dataset", "requested_output_paths", "requested_outputs",
           "load_windio", "rated_power_curve", "system_from_dict", "turbine_from_windio",
           "weibull_bin_probabilities"]

DEFAULT_AIR_DENSITY = 1.225  # kg/m3, ISA sea level
DEFAULT_TURBULENCE_INTENSITY = 0.06
# Centres of the Weibull speed bins when the resource names no speeds: 1 m/s
# wide from 0 m/s, the last bin open above 29 m/s (parked turbines).
WEIBULL_SPEED_BINS = [0.5 + i for i in range(30)]
# Samples of the cubic between cut-in and rated speed in the rated-power form.
_RATED_SAMPLES = 40
_SUM_TOLERANCE = 1e-3
_RESOURCE = "site.energy_resource.wind_resource"
_RUN = "attributes.model_outputs_specification.run_configuration"


@dataclass
class WindIOSystem:
    """A wind energy system as farmrun runs it.

    ``turbine_power`` holds, when the turbine types share one thrust curve
    but not one power curve, each turbine's (wind speeds, power) table; the
    run uses the first type's table and ``apply_power_curves`` replaces the
    power of the others. ``outputs`` are the file requests of
    ``model_outputs_specification``.
    """

    farm: FarmDescription
    notes: list[str] = field(default_factory=list)
    turbine_power: list[tuple[list[float], list[float]]] | None = None
    outputs: dict = field(default_factory=dict)
    source: str = ""


# --- loading and validation -------------------------------------------------

def load_windio(path) -> WindIOSystem:
    """Loads, validates and converts a ``wind_energy_system`` file; raises FarmError."""
    import jsonschema
    import windIO

    path = Path(path)
    if not path.is_file():
        raise FarmError(str(path), "cannot read the windIO file (no such file)")
    try:
        data = windIO.load_yaml(path)
    except FarmError:
        raise
    except Exception as e:  # YAML syntax, a missing !include, an unreadable NetCDF file
        first = str(e).strip().splitlines()[0] if str(e).strip() else e.__class__.__name__
        raise FarmError(str(path), f"cannot load the windIO file ({first})") from None
    if not isinstance(data, dict):
        raise FarmError(str(path), "expected a windIO wind_energy_system mapping")
    try:
        windIO.validate(data, "plant/wind_energy_system")
    except jsonschema.ValidationError as e:
        raise FarmError(*_validation_message(str(e.message))) from None
    try:
        system = system_from_dict(data)
    except FarmError:
        raise
    except (KeyError, TypeError, ValueError, IndexError) as e:
        # Shapes the schema lets through but farmrun cannot read: one line, not a traceback.
        raise FarmError(str(path), f"cannot read the windIO system ({e.__class__.__name__}: "
                                   f"{e})") from None
    system.source = str(path)
    return system


def _validation_message(text: str) -> tuple[str, str]:
    """The first failure of the windIO validator as (path inside the file, message)."""
    m = re.search(r"Failed at instance path `([^`]*)` with error message: \"(.*)\"", text)
    if not m:
        return "windIO", text.strip().splitlines()[-1]
    where = m.group(1).removeprefix("$").removeprefix(".") or "(top level)"
    message = m.group(2)
    if len(message) > 160:
        message = message[:157] + "..."
    return where, f"fails the windIO schema: {message}"


# --- turbines ---------------------------------------------------------------

def rated_power_curve(rated_power: float, rated_speed: float, cutin: float, cutout: float):
    """(speeds, power) of the rated-power form: zero below cut-in, the cubic
    P = P_rated ((U - U_in) / (U_rated - U_in))^3 up to rated speed (the power
    law of the IEA Wind Task 37 layout case studies), P_rated up to cut-out,
    zero above. Sampled at ``_RATED_SAMPLES`` speeds up the cubic."""
    speeds = [cutin + (rated_speed - cutin) * i / _RATED_SAMPLES for i in range(_RATED_SAMPLES)]
    power = [rated_power * ((u - cutin) / (rated_speed - cutin)) ** 3 for u in speeds]
    return speeds + [rated_speed, cutout], power + [rated_power, rated_power]


def _curve(path, curve, values_key, speeds_key):
    speeds = _numbers(f"{path}.{speeds_key}", curve[speeds_key], min_len=2, nonneg=True)
    values = _numbers(f"{path}.{values_key}", curve[values_key], n=len(speeds))
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
    diameter = float(data["rotor_diameter"])
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
                       hub_height=float(data["hub_height"]), wind_speed=speeds, power=pw,
                       thrust_coefficient=cts, tip_speed_ratio=float(data.get("TSR", 8.0)))


def _turbines(wf: dict, n: int, air_density: float, notes: list[str]):
    """The turbine type of the run, per-turbine hub heights, and per-turbine
    power tables where the types' power curves differ."""
    layout = wf["layouts"] if isinstance(wf["layouts"], dict) else wf["layouts"][0]
    if "turbine_types" in layout and "turbine_types" in wf:
        types = {str(k): v for k, v in wf["turbine_types"].items()}
        index = [str(i) for i in layout["turbine_types"]]
        if len(index) != n:
            raise FarmError("wind_farm.layouts.turbine_types",
                            f"expected {n} type indices (one per turbine), got {len(index)}")
        for t, i in enumerate(index):
            if i not in types:
                raise FarmError(f"wind_farm.layouts.turbine_types[{t}]",
                                f"no turbine type {i} (types: {', '.join(types)})")
        used = list(dict.fromkeys(index))
        built = {i: turbine_from_windio(types[i], f"wind_farm.turbine_types.{i}", air_density)
                 for i in used}
    elif "turbines" in wf:
        index, used = ["0"] * n, ["0"]
        built = {"0": turbine_from_windio(wf["turbines"], "wind_farm.turbines", air_density)}
    elif "turbine_types" in wf and len(wf["turbine_types"]) == 1:
        (key, value), = wf["turbine_types"].items()
        index, used = [str(key)] * n, [str(key)]
        built = {str(key): turbine_from_windio(value, f"wind_farm.turbine_types.{key}",
                                               air_density)}
    else:
        raise FarmError("wind_farm", "needs 'turbines', or 'turbine_types' with a type index "
                                     "per turbine in the layout")
    first = built[used[0]]
    for i in used[1:]:
        t = built[i]
        if t.rotor_diameter != first.rotor_diameter or t.wind_speed != first.wind_speed \
                or t.thrust_coefficient != first.thrust_coefficient:
            raise FarmError(f"wind_farm.turbine_types.{i}",
                            f"farmrun's solvers take one thrust curve and rotor diameter for "
                            f"all turbines, and types {used[0]} and {i} differ")
    hubs = [built[i].hub_height for i in index]
    per_turbine = None
    if any(built[i].power != first.power for i in used[1:]):
        per_turbine = [(built[i].wind_speed, built[i].power) for i in index]
    return first, hubs, per_turbine


# --- the resource -----------------------------------------------------------

def weibull_bin_probabilities(a: float, k: float, centres) -> list[float]:
    """Probability of each speed bin under the Weibull density with scale ``a``
    and shape ``k``: exactly the difference of the distribution function
    F(u) = 1 - exp(-(u/a)^k) between the bin's edges. Bin s reaches from the
    midpoint to its lower neighbour (0 for the first) to the midpoint to its
    upper neighbour (unbounded for the last), so the bins hold all the mass."""
    c = [float(v) for v in centres]
    edges = [0.0] + [(x + y) / 2 for x, y in zip(c, c[1:])] + [math.inf]
    survival = [math.exp(-((e / a) ** k)) for e in edges]
    return [s0 - s1 for s0, s1 in zip(survival, survival[1:])]


_KNOWN_DIMS = ("wind_direction", "wind_speed", "time")


def _array(path, entry, sizes: dict[str, int]):
    """A resource field as an xarray.DataArray over its named dimensions."""
    import xarray as xr
    if isinstance(entry, dict):
        data, dims = entry.get("data"), list(entry.get("dims") or [])
    else:
        data, dims = entry, []
    try:
        arr = np.asarray(data, dtype=float)
    except (TypeError, ValueError):
        raise FarmError(f"{path}.data", "expected numbers") from None
    if arr.ndim != len(dims):
        raise FarmError(f"{path}.dims", f"names {len(dims)} dimensions for data of shape "
                                        f"{tuple(arr.shape)}")
    for i, d in enumerate(dims):
        if d == "height" and arr.shape[i] == 1:
            continue
        if d not in _KNOWN_DIMS:
            raise FarmError(f"{path}.dims", f"dimension {d!r} is not supported: farmrun "
                                            f"takes one resource for the whole site over "
                                            f"wind_direction, wind_speed or time")
        if d not in sizes or arr.shape[i] != sizes[d]:
            raise FarmError(f"{path}.dims", f"dimension {d!r} has {arr.shape[i]} values, but "
                                            f"the resource has {sizes.get(d, 0)}")
    if not np.all(np.isfinite(arr)):
        raise FarmError(f"{path}.data", "must be finite")
    da = xr.DataArray(arr, dims=[f"_{d}" if d == "height" else d for d in dims])
    return da.squeeze([d for d in da.dims if d == "_height"], drop=True)


def _coordinate(path, value) -> list:
    if isinstance(value, dict):
        value = value.get("data")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return [float(value)]
    return _numbers(path, value)


def _ti(wr, sizes, notes):
    import xarray as xr
    if "turbulence_intensity" not in wr:
        return xr.DataArray(DEFAULT_TURBULENCE_INTENSITY)
    ti = _array(f"{_RESOURCE}.turbulence_intensity", wr["turbulence_intensity"], sizes)
    if float(ti.min()) < 0:
        raise FarmError(f"{_RESOURCE}.turbulence_intensity", "must not be negative, got "
                                                             f"{float(ti.min()):g}")
    if float(ti.max()) > 1.0:
        notes.append(f"{_RESOURCE}.turbulence_intensity: values up to {float(ti.max()):.3g} "
                     f"read as percent")
        ti = ti / 100.0
    return ti


def _selected(path, wanted, values, circular=False):
    """Indices of ``values`` matching each of ``wanted`` (directions modulo 360)."""
    out = []
    for j, w in enumerate(wanted):
        def near(v):
            d = abs(float(v) - float(w))
            if circular:
                d = d % 360.0
                d = min(d, 360.0 - d)
            return d < 1e-6
        hits = [i for i, v in enumerate(values) if near(v)]
        if not hits:
            shown = ", ".join(f"{v:g}" for v in values[:8]) + (", ..." if len(values) > 8 else "")
            raise FarmError(f"{path}[{j}]", f"{w:g} is not among the resource's values ({shown})")
        out.append(hits[0])
    return out


def _run_values(rc, key):
    """The ``specific_values`` of a run_configuration entry, or None for all values."""
    entry = rc.get(key) or {}
    if entry.get("all_values", False) or "specific_values" not in entry:
        return None
    return [float(v) for v in entry["specific_values"]]


def _rose_cases(wr, rc, notes) -> FlowCases:
    """Flow cases of a probability table or a Weibull resource, direction-major."""
    weibull = "weibull_a" in wr
    wd = _coordinate(f"{_RESOURCE}.wind_direction", wr.get("wind_direction", [270.0]))
    want_ws = _run_values(rc, "wind_speeds_run")
    if weibull:
        ws = want_ws or (_coordinate(f"{_RESOURCE}.wind_speed", wr["wind_speed"])
                         if "wind_speed" in wr else list(WEIBULL_SPEED_BINS))
    else:
        if "wind_speed" not in wr:
            raise FarmError(f"{_RESOURCE}.wind_speed", "a probability table needs its wind speeds")
        ws = _coordinate(f"{_RESOURCE}.wind_speed", wr["wind_speed"])
    sizes = {"wind_direction": len(wd), "wind_speed": len(ws)}

    if weibull:
        a, k, sp = (_array(f"{_RESOURCE}.{n}", wr[n], {"wind_direction": len(wd)})
                    .broadcast_like(_zeros(sizes, ("wind_direction",)))
                    for n in ("weibull_a", "weibull_k", "sector_probability"))
        if float(a.min()) <= 0 or float(k.min()) <= 0:
            raise FarmError(f"{_RESOURCE}.weibull_a", "Weibull scale and shape must be positive")
        rows = [[float(sp[d]) * p for p in weibull_bin_probabilities(float(a[d]), float(k[d]), ws)]
                for d in range(len(wd))]
        prob = np.asarray(rows)
    else:
        p = _array(f"{_RESOURCE}.probability", wr["probability"], sizes)
        for d, n in sizes.items():
            if n > 1 and d not in p.dims:
                raise FarmError(f"{_RESOURCE}.probability.dims",
                                f"has no {d!r} dimension, but the resource has {n} {d}s")
        if float(p.min()) < 0:
            raise FarmError(f"{_RESOURCE}.probability", "must not be negative")
        if "sector_probability" in wr and "wind_speed" in p.dims and "wind_direction" in p.dims:
            # Per-sector speed distributions, weighted by the sectors' shares.
            sp = _array(f"{_RESOURCE}.sector_probability", wr["sector_probability"], sizes)
            p = sp * p / p.sum("wind_speed").where(p.sum("wind_speed") > 0, 1.0)
        prob = p.broadcast_like(_zeros(sizes)).transpose("wind_direction", "wind_speed").values
    total = float(prob.sum())
    where = f"{_RESOURCE}.{'sector_probability' if weibull else 'probability'}"
    if abs(total - 1.0) > _SUM_TOLERANCE:
        raise FarmError(where, f"must sum to 1, got {total:.6g}")
    prob = prob / total
    ti = _ti(wr, sizes, notes).broadcast_like(_zeros(sizes)).transpose(
        "wind_direction", "wind_speed").values

    di = list(range(len(wd)))
    want_wd = _run_values(rc, "directions_run")
    if want_wd is not None:
        di = _selected(f"{_RUN}.directions_run.specific_values", want_wd, wd, circular=True)
    si = list(range(len(ws)))
    if want_ws is not None and not weibull:
        si = _selected(f"{_RUN}.wind_speeds_run.specific_values", want_ws, ws)
    pairs = [(d, s) for d in di for s in si if prob[d, s] > 0 or len(di) * len(si) == 1]
    share = sum(float(prob[d, s]) for d, s in pairs)
    if len(pairs) < prob.size and (want_wd is not None or want_ws is not None):
        notes.append(f"{_RUN}: {len(pairs)} flow cases, {100 * share:.3g} % of the resource's "
                     f"probability; their frequencies are rescaled to sum to 1")
    if share <= 0:
        raise FarmError(_RUN, "selects only flow cases of zero probability")
    return FlowCases(wind_directions=[wd[d] for d, _ in pairs],
                     wind_speeds=[ws[s] for _, s in pairs],
                     turbulence_intensities=[float(ti[d, s]) for d, s in pairs],
                     frequencies=[float(prob[d, s]) / share for d, s in pairs])


def _zeros(sizes, dims=None):
    import xarray as xr
    dims = dims or tuple(sizes)
    return xr.DataArray(np.zeros([sizes[d] for d in dims]), dims=dims)


def _time_cases(wr, rc, notes) -> FlowCases:
    time = wr["time"]
    time = list(time) if isinstance(time, (list, tuple)) else [time]
    sizes = {"time": len(time)}

    def series(name):
        if isinstance(wr[name], dict):
            da = _array(f"{_RESOURCE}.{name}", wr[name], sizes)
        else:
            da = _array(f"{_RESOURCE}.{name}", {"data": _coordinate(f"{_RESOURCE}.{name}", wr[name]),
                                                "dims": ["time"]}, sizes)
        return da.broadcast_like(_zeros(sizes)).values
    ws, wd = series("wind_speed"), series("wind_direction")
    ti = _ti(wr, sizes, notes).broadcast_like(_zeros(sizes)).values
    idx = list(range(len(time)))
    runs = (rc.get("times_run") or {})
    if not runs.get("all_occurences", True) and "subset" in runs:
        idx = []
        for j, item in enumerate(runs["subset"]):
            if isinstance(item, int) and not isinstance(item, bool):
                if not 0 <= item < len(time):
                    raise FarmError(f"{_RUN}.times_run.subset[{j}]",
                                    f"index {item} is outside the {len(time)} time stamps")
                idx.append(item)
            else:
                hits = [i for i, t in enumerate(time) if str(t) == str(item)]
                if not hits:
                    raise FarmError(f"{_RUN}.times_run.subset[{j}]",
                                    f"{item} is not among the resource's time stamps")
                idx.append(hits[0])
        notes.append(f"{_RUN}: {len(idx)} of {len(time)} time stamps")
    return FlowCases(wind_directions=[float(wd[i]) for i in idx],
                     wind_speeds=[float(ws[i]) for i in idx],
                     turbulence_intensities=[float(ti[i]) for i in idx],
                     time=[time[i] for i in idx])


_UNUSED_RESOURCE = ("LMO", "z0", "k", "epsilon", "potential_temperature", "friction_velocity",
                    "ground_temperature", "stability", "ABL_height", "capping_inversion_thickness",
                    "capping_inversion_strength", "capping_inversion_height", "lapse_rate", "fc",
                    "tau_x", "tau_y", "operating", "x", "y", "wind_turbine")


# --- model options ------------------------------------------------------------

def _model_options(attrs: dict, notes: list[str]) -> ModelOptions:
    """farmrun's model with what ``attributes.analysis`` asks of it that it has."""
    opt = ModelOptions()
    a = attrs.get("analysis") or {}
    p = "attributes.analysis"

    def note(where, what):
        notes.append(f"{p}.{where}: {what} is not available; farmrun's own model is used")

    wd = a.get("wind_deficit_model") or {}
    if wd.get("name") not in (None, "Bastankhah2016"):
        note("wind_deficit_model.name", f"{wd['name']!r}")
    k = wd.get("wake_expansion_coefficient") or {}
    if "k_a" in k:
        opt.ka = float(k["k_a"])
    if "k_b" in k:
        opt.kb = float(k["k_b"])
    if k.get("free_stream_ti"):
        note("wind_deficit_model.wake_expansion_coefficient.free_stream_ti",
             "wake expansion from the free-stream turbulence")
    if "ceps" in wd:
        note("wind_deficit_model.ceps", "the initial wake width coefficient ceps")
    if wd.get("use_effective_ws") is False:
        note("wind_deficit_model.use_effective_ws", "a deficit scaled by the free-stream speed")
    if a.get("axial_induction_model") not in (None, "1D"):
        note("axial_induction_model", f"{a['axial_induction_model']!r}")
    df = a.get("deflection_model") or {}
    if df.get("name") not in (None, "None", "Bastankhah2016"):
        note("deflection_model.name", f"{df['name']!r}")
    if "beta" in df:
        note("deflection_model.beta", "the deflection coefficient beta")
    tm = a.get("turbulence_model") or {}
    if tm.get("name") not in (None, "CrespoHernandez"):
        note("turbulence_model.name", f"{tm['name']!r}")
    if tm.get("name") == "CrespoHernandez" and tm.get("coefficents"):
        c = [float(v) for v in tm["coefficents"]]
        if len(c) == 4:  # I+ = c0 a^c1 I0^c2 (x/D)^c3
            opt.ch_constant, opt.ch_ai_exp, opt.ch_initial, opt.ch_downstream = c
        else:
            note("turbulence_model.coefficents", f"{len(c)} coefficients (4 expected)")
    sp = a.get("superposition_model") or {}
    if sp.get("ws_superposition") not in (None, "Squared"):
        note("superposition_model.ws_superposition", f"{sp['ws_superposition']!r}")
    if sp.get("ti_superposition") not in (None, "Squared"):
        note("superposition_model.ti_superposition", f"{sp['ti_superposition']!r}")
    ra = a.get("rotor_averaging") or {}
    nx, ny = ra.get("n_x_grid_points"), ra.get("n_y_grid_points")
    if nx is not None or ny is not None:
        if nx is not None and ny is not None and nx != ny:
            note("rotor_averaging", f"a {nx} x {ny} rotor grid (square grids only)")
        else:
            opt.grid_resolution = int(nx if nx is not None else ny)
    for key in ("background_averaging", "wake_averaging"):
        if ra.get(key) not in (None, "grid"):
            note(f"rotor_averaging.{key}", f"{ra[key]!r}")
    for key in ("wind_speed_exponent_for_power", "wind_speed_exponent_for_ct"):
        if key in ra and float(ra[key]) != 3.0:
            note(f"rotor_averaging.{key}", f"exponent {ra[key]:g} (farmrun averages cubes)")
    if ra.get("grid"):
        note("rotor_averaging.grid", f"{ra['grid']!r}")
    bm = a.get("blockage_model") or {}
    if bm.get("name") not in (None, "None"):
        note("blockage_model.name", f"{bm['name']!r}")
    known = {"wind_deficit_model", "axial_induction_model", "deflection_model",
             "turbulence_model", "superposition_model", "rotor_averaging", "blockage_model"}
    for key in a:
        if key not in known:
            note(key, "this setting")
    return opt


def _outputs(attrs: dict, notes: list[str]) -> dict:
    from .results import WINDIO_TURBINE_NAMES
    requested = attrs.get("model_outputs_specification") or {}
    p = "attributes.model_outputs_specification"
    out = {"output_folder": requested.get("output_folder")}
    to = requested.get("turbine_outputs") or {}
    if to:
        out["turbine_file"] = to.get("turbine_nc_filename")
        out["turbine_variables"] = list(to.get("output_variables") or [])
        for name in out["turbine_variables"]:
            if name not in WINDIO_TURBINE_NAMES:
                notes.append(f"{p}.turbine_outputs.output_variables: {name!r} is not available")
    ff = requested.get("flow_field") or {}
    if ff and ff.get("report", True):
        out["flow_file"] = ff.get("flow_nc_filename")
        out["flow_variables"] = list(ff.get("output_variables") or [])
        out["z_planes"] = dict(ff.get("z_planes") or {})
        for name in out["flow_variables"]:
            if name not in _FLOW_NAMES:
                notes.append(f"{p}.flow_field.output_variables: {name!r} is not available")
    return out


# --- the system ---------------------------------------------------------------

def _boundaries(site: dict) -> list[tuple[list[float], list[float]]]:
    b = site.get("boundaries") or {}
    if "circle" in b:
        c = b["circle"]
        x0, y0, r = float(c["center"]["x"]), float(c["center"]["y"]), float(c["radius"])
        n = 96
        return [([x0 + r * math.cos(2 * math.pi * i / n) for i in range(n + 1)],
                 [y0 + r * math.sin(2 * math.pi * i / n) for i in range(n + 1)])]
    return [([float(v) for v in poly["x"]], [float(v) for v in poly["y"]])
            for poly in b.get("polygons") or []]


def _circle(site: dict):
    c = (site.get("boundaries") or {}).get("circle")
    if c is None:
        return None
    return float(c["center"]["x"]), float(c["center"]["y"]), float(c["radius"])


def system_from_dict(data: dict) -> WindIOSystem:
    """Converts a loaded and validated ``wind_energy_system``; raises FarmError."""
    notes: list[str] = []
    site, wf = data["site"], data["wind_farm"]
    attrs = data.get("attributes") or {}
    wr = site["energy_resource"]["wind_resource"]

    layouts = wf["layouts"]
    if isinstance(layouts, list):
        if len(layouts) > 1:
            notes.append(f"wind_farm.layouts: {len(layouts)} layouts; farmrun runs the first")
        layouts = layouts[0]
    coords = layouts["coordinates"]
    x = _numbers("wind_farm.layouts.coordinates.x", coords["x"])
    y = _numbers("wind_farm.layouts.coordinates.y", coords["y"], n=len(x))
    if "z" in coords and any(float(v) != 0.0 for v in coords["z"]):
        notes.append("wind_farm.layouts.coordinates.z: ground elevation is not available; "
                     "all turbines stand on flat ground")

    density = DEFAULT_AIR_DENSITY
    if "density" in wr:
        rho = _array(f"{_RESOURCE}.density", wr["density"], {})
        density = float(rho)
    turbine, hubs, per_turbine = _turbines(wf, len(x), density, notes)

    rc = (attrs.get("model_outputs_specification") or {}).get("run_configuration") or {}
    if "time" in wr:
        cases = _time_cases(wr, rc, notes)
    else:
        cases = _rose_cases(wr, rc, notes)
    for key in _UNUSED_RESOURCE:
        if key in wr:
            notes.append(f"{_RESOURCE}.{key}: not used by farmrun's model")

    shear, zref = 0.0, None
    if "shear" in wr:
        shear, zref = float(wr["shear"]["alpha"]), float(wr["shear"]["h_ref"])
    elif "reference_height" in wr:
        zref = float(wr["reference_height"])
    elif "height" in wr:
        h = _coordinate(f"{_RESOURCE}.height", wr["height"])
        if len(set(h)) > 1:
            raise FarmError(f"{_RESOURCE}.height", "a resource over several heights is not "
                                                   "supported; give one height and a shear")
        zref = h[0]
    if "flow_model" in attrs and attrs["flow_model"].get("name"):
        notes.append(f"attributes.flow_model.name: {attrs['flow_model']['name']!r}; "
                     f"farmrun's own model is used")

    farm = FarmDescription(
        layout_x=x, layout_y=y, turbine=turbine, cases=cases,
        hub_heights=hubs if len(set(hubs)) > 1 else None, wind_shear=shear,
        reference_wind_height=zref, model=_model_options(attrs, notes),
        name=str(data.get("name", "windIO system")), boundaries=_boundaries(site),
        boundary_circle=_circle(site))
    outputs = _outputs(attrs, notes)
    return WindIOSystem(farm=farm, notes=list(dict.fromkeys(notes)), turbine_power=per_turbine,
                        outputs=outputs)


def apply_power_curves(system: WindIOSystem, result: FarmResult) -> FarmResult:
    """The result with each turbine's power from its own type's power curve
    (a no-op when all types share one); thrust and wakes are unchanged."""
    if system.turbine_power is None:
        return result
    exponent = system.farm.model.yaw_power_exponent
    cos_yaw = torch.cos(torch.deg2rad(result.yaw_angles.double())).clamp_min(0.0) ** exponent

    def power(u):
        cols = []
        for t, (speeds, pw) in enumerate(system.turbine_power):
            v = u[:, t].double().cpu().numpy()
            cols.append(torch.from_numpy(np.interp(v, speeds, pw)))
        return (torch.stack(cols, dim=1).clamp_min(0.0) * cos_yaw.cpu()).to(u.dtype).to(u.device)
    p, p0 = power(result.rotor_velocity), power(result.rotor_velocity_no_wake)
    fp, fp0 = p.sum(1), p0.sum(1)
    loss = torch.where(fp0 > 0, 100.0 * (1.0 - fp / fp0), torch.zeros_like(fp))
    return replace(result, power=p, power_no_wake=p0, farm_power=fp, farm_power_no_wake=fp0,
                   wake_loss=loss)


# --- requested output files -------------------------------------------------

# Hub-height planes are solved one flow case each: at most this many cases,
# the most frequent first, so that a request over a whole wind rose stays quick.
MAX_FLOW_FIELD_CASES = 24
_FLOW_NAMES = {"wind_speed": "wind_speed", "velocity_u": "wind_speed", "u": "wind_speed",
               "wind_direction": "wind_direction"}


def _plane_axes(farm: FarmDescription, planes: dict):
    """x and y sample points of the requested planes: the bounds and spacing
    given, else 3 rotor diameters around the layout every 20 m."""
    d = farm.turbine.rotor_diameter
    x0, x1 = planes.get("x_bounds") or (min(farm.layout_x) - 3 * d, max(farm.layout_x) + 3 * d)
    y0, y1 = planes.get("y_bounds") or (min(farm.layout_y) - 3 * d, max(farm.layout_y) + 3 * d)

    def axis(lo, hi, step, count):
        if count:
            return np.linspace(lo, hi, int(count))
        n = int(math.floor((hi - lo) / float(step or 20.0) + 1e-9)) + 1
        if n > 4000:
            raise FarmError("attributes.model_outputs_specification.flow_field.z_planes",
                            f"{n} points along one axis are too many")
        return lo + float(step or 20.0) * np.arange(n)
    return axis(float(x0), float(x1), planes.get("dx"), planes.get("Nx")), \
        axis(float(y0), float(y1), planes.get("dy"), planes.get("Ny"))


def flow_field_dataset(system: WindIOSystem, result: FarmResult, solver: str = "sequential",
                       device: str = "cpu"):
    """Streamwise wind speed on the requested horizontal planes (the turbines'
    hub heights, or ``z_list``) for up to ``MAX_FLOW_FIELD_CASES`` flow cases."""
    import xarray as xr
    from .plotting import solve_case

    farm, req = system.farm, system.outputs
    planes = req.get("z_planes") or {}
    if planes.get("z_sampling") == "plane_list" and planes.get("z_list"):
        heights = sorted({float(z) for z in planes["z_list"]})
    else:
        heights = sorted({float(h) for h in result.hub_heights.tolist()})
    xs, ys = _plane_axes(farm, planes)
    order = torch.argsort(result.frequencies.double(), descending=True, stable=True)
    cases = sorted(order[:MAX_FLOW_FIELD_CASES].tolist())
    gy, gx = np.meshgrid(ys, xs, indexing="ij")
    u = np.empty((len(cases), len(heights), len(ys), len(xs)))
    for i, f in enumerate(cases):
        case = solve_case(farm, float(result.wind_directions[f]), float(result.wind_speeds[f]),
                          float(result.ambient_turbulence[f]), solver, device,
                          result.yaw_angles[f].tolist())
        for j, z in enumerate(heights):
            u[i, j] = case.velocity(torch.from_numpy(gx), torch.from_numpy(gy),
                                    torch.full(gx.shape, z, dtype=torch.float64)
                                    ).double().cpu().numpy()
    return xr.Dataset(
        {"wind_speed": (("case", "z", "y", "x"), u,
                        {"units": "m/s", "long_name": "streamwise wind speed"}),
         "wind_direction": ("case", result.wind_directions[cases].double().cpu().numpy(),
                            {"units": "deg"}),
         "free_stream_wind_speed": ("case", result.wind_speeds[cases].double().cpu().numpy(),
                                    {"units": "m/s"})},
        coords={"case": np.array(cases), "z": ("z", np.array(heights), {"units": "m"}),
                "y": ("y", ys, {"units": "m"}), "x": ("x", xs, {"units": "m"})},
        attrs={"title": f"farmrun flow field: {farm.name}", "solver": solver})


def requested_outputs(system: WindIOSystem, result: FarmResult, dataset,
                      solver: str = "sequential", device: str = "cpu") -> dict:
    """The NetCDF files that ``model_outputs_specification`` names, in its
    ``output_folder`` (default: the current folder), as {path: (what, bytes)};
    variables farmrun lacks are left out with a note."""
    from .results import netcdf_bytes, turbine_dataset

    req = system.outputs
    folder = Path(req.get("output_folder") or ".")
    files = {}
    if req.get("turbine_file"):
        ds, _ = turbine_dataset(dataset, req.get("turbine_variables") or [])
        files[str(folder / req["turbine_file"])] = ("turbine outputs", netcdf_bytes(ds))
    if req.get("flow_file"):
        ds = flow_field_dataset(system, result, solver, device)
        keep = [_FLOW_NAMES[v] for v in req.get("flow_variables") or [] if v in _FLOW_NAMES]
        if keep:
            ds = ds[list(dict.fromkeys(keep + ["free_stream_wind_speed"]))]
        files[str(folder / req["flow_file"])] = ("flow field", netcdf_bytes(ds))
    return files


def requested_output_paths(system: WindIOSystem) -> dict:
    """{option: path} of the files ``requested_outputs`` will write, for checking
    them before any solve; the output folder is created when missing."""
    req = system.outputs
    folder = Path(req.get("output_folder") or ".")
    paths = {}
    for key in ("turbine_file", "flow_file"):
        if req.get(key):
            folder.mkdir(parents=True, exist_ok=True)
            paths[f"model_outputs_specification.{key}"] = str(folder / req[key])
    return paths
