"""windIO wind resources as farmrun flow cases.

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
"""
from __future__ import annotations

import math

import numpy as np

from ..errors import FarmError
from ..farm import FlowCases
from ..validation import numbers

__all__ = ["DEFAULT_TURBULENCE_INTENSITY", "RESOURCE", "RUN", "UNUSED_RESOURCE",
           "WEIBULL_SPEED_BINS", "coordinate", "resource_array", "rose_cases", "time_cases",
           "weibull_bin_probabilities"]

DEFAULT_TURBULENCE_INTENSITY = 0.06
# Centres of the Weibull speed bins when the resource names no speeds: 1 m/s
# wide from 0 m/s, the last bin open above 29 m/s (parked turbines).
WEIBULL_SPEED_BINS = [0.5 + i for i in range(30)]
_SUM_TOLERANCE = 1e-3
# Where the resource and the run configuration sit in a wind energy system.
RESOURCE = "site.energy_resource.wind_resource"
RUN = "attributes.model_outputs_specification.run_configuration"


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


def resource_array(path, entry, sizes: dict[str, int]):
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


def coordinate(path, value) -> list:
    if isinstance(value, dict):
        value = value.get("data")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return [float(value)]
    return numbers(path, value)


def _ti(wr, sizes, notes):
    import xarray as xr
    if "turbulence_intensity" not in wr:
        return xr.DataArray(DEFAULT_TURBULENCE_INTENSITY)
    ti = resource_array(f"{RESOURCE}.turbulence_intensity", wr["turbulence_intensity"], sizes)
    if float(ti.min()) < 0:
        raise FarmError(f"{RESOURCE}.turbulence_intensity", "must not be negative, got "
                                                             f"{float(ti.min()):g}")
    if float(ti.max()) > 1.0:
        notes.append(f"{RESOURCE}.turbulence_intensity: values up to {float(ti.max()):.3g} "
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


def rose_cases(wr, rc, notes) -> FlowCases:
    """Flow cases of a probability table or a Weibull resource, direction-major."""
    weibull = "weibull_a" in wr
    wd = coordinate(f"{RESOURCE}.wind_direction", wr.get("wind_direction", [270.0]))
    want_ws = _run_values(rc, "wind_speeds_run")
    if weibull:
        ws = want_ws or (coordinate(f"{RESOURCE}.wind_speed", wr["wind_speed"])
                         if "wind_speed" in wr else list(WEIBULL_SPEED_BINS))
    else:
        if "wind_speed" not in wr:
            raise FarmError(f"{RESOURCE}.wind_speed", "a probability table needs its wind speeds")
        ws = coordinate(f"{RESOURCE}.wind_speed", wr["wind_speed"])
    sizes = {"wind_direction": len(wd), "wind_speed": len(ws)}

    if weibull:
        a, k, sp = (resource_array(f"{RESOURCE}.{n}", wr[n], {"wind_direction": len(wd)})
                    for n in ("weibull_a", "weibull_k", "sector_probability"))
        for name, what, v in (("weibull_a", "scale", a), ("weibull_k", "shape", k)):
            values = np.atleast_1d(v.values).ravel()
            bad = np.flatnonzero(~(values > 0))
            if bad.size:
                at = f"[{bad[0]}]" if v.ndim else ""
                raise FarmError(f"{RESOURCE}.{name}{at}", f"the Weibull {what} must be "
                                                          f"positive, got {values[bad[0]]:g}")
        a, k, sp = (v.broadcast_like(_zeros(sizes, ("wind_direction",))) for v in (a, k, sp))
        rows = [[float(sp[d]) * p for p in weibull_bin_probabilities(float(a[d]), float(k[d]), ws)]
                for d in range(len(wd))]
        prob = np.asarray(rows)
    else:
        p = resource_array(f"{RESOURCE}.probability", wr["probability"], sizes)
        for d, n in sizes.items():
            if n > 1 and d not in p.dims:
                raise FarmError(f"{RESOURCE}.probability.dims",
                                f"has no {d!r} dimension, but the resource has {n} {d}s")
        if float(p.min()) < 0:
            raise FarmError(f"{RESOURCE}.probability", "must not be negative")
        if "sector_probability" in wr and "wind_speed" in p.dims and "wind_direction" in p.dims:
            # Per-sector speed distributions, weighted by the sectors' shares.
            sp = resource_array(f"{RESOURCE}.sector_probability", wr["sector_probability"], sizes)
            p = sp * p / p.sum("wind_speed").where(p.sum("wind_speed") > 0, 1.0)
        prob = p.broadcast_like(_zeros(sizes)).transpose("wind_direction", "wind_speed").values
    total = float(prob.sum())
    where = f"{RESOURCE}.{'sector_probability' if weibull else 'probability'}"
    if abs(total - 1.0) > _SUM_TOLERANCE:
        raise FarmError(where, f"must sum to 1, got {total:.6g}")
    prob = prob / total
    ti = _ti(wr, sizes, notes).broadcast_like(_zeros(sizes)).transpose(
        "wind_direction", "wind_speed").values

    di = list(range(len(wd)))
    want_wd = _run_values(rc, "directions_run")
    if want_wd is not None:
        di = _selected(f"{RUN}.directions_run.specific_values", want_wd, wd, circular=True)
    si = list(range(len(ws)))
    if want_ws is not None and not weibull:
        si = _selected(f"{RUN}.wind_speeds_run.specific_values", want_ws, ws)
    pairs = [(d, s) for d in di for s in si if prob[d, s] > 0 or len(di) * len(si) == 1]
    share = sum(float(prob[d, s]) for d, s in pairs)
    if len(pairs) < prob.size and (want_wd is not None or want_ws is not None):
        notes.append(f"{RUN}: {len(pairs)} flow cases, {100 * share:.3g} % of the resource's "
                     f"probability; their frequencies are rescaled to sum to 1")
    if share <= 0:
        raise FarmError(RUN, "selects only flow cases of zero probability")
    return FlowCases(wind_directions=[wd[d] for d, _ in pairs],
                     wind_speeds=[ws[s] for _, s in pairs],
                     turbulence_intensities=[float(ti[d, s]) for d, s in pairs],
                     frequencies=[float(prob[d, s]) / share for d, s in pairs])


def _zeros(sizes, dims=None):
    import xarray as xr
    dims = dims or tuple(sizes)
    return xr.DataArray(np.zeros([sizes[d] for d in dims]), dims=dims)


def time_cases(wr, rc, notes) -> FlowCases:
    time = wr["time"]
    time = list(time) if isinstance(time, (list, tuple)) else [time]
    sizes = {"time": len(time)}

    def series(name):
        if isinstance(wr[name], dict):
            da = resource_array(f"{RESOURCE}.{name}", wr[name], sizes)
        else:
            da = resource_array(f"{RESOURCE}.{name}", {"data": coordinate(f"{RESOURCE}.{name}", wr[name]),
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
                    raise FarmError(f"{RUN}.times_run.subset[{j}]",
                                    f"index {item} is outside the {len(time)} time stamps")
                idx.append(item)
            else:
                hits = [i for i, t in enumerate(time) if str(t) == str(item)]
                if not hits:
                    raise FarmError(f"{RUN}.times_run.subset[{j}]",
                                    f"{item} is not among the resource's time stamps")
                idx.append(hits[0])
        notes.append(f"{RUN}: {len(idx)} of {len(time)} time stamps")
    return FlowCases(wind_directions=[float(wd[i]) for i in idx],
                     wind_speeds=[float(ws[i]) for i in idx],
                     turbulence_intensities=[float(ti[i]) for i in idx],
                     time=[time[i] for i in idx])


UNUSED_RESOURCE = ("LMO", "z0", "k", "epsilon", "potential_temperature", "friction_velocity",
                    "ground_temperature", "stability", "ABL_height", "capping_inversion_thickness",
                    "capping_inversion_strength", "capping_inversion_height", "lapse_rate", "fc",
                    "tau_x", "tau_y", "operating", "x", "y", "wind_turbine")
