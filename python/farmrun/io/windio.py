"""windIO wind energy systems: loading, validation and conversion to a FarmDescription.

A ``wind_energy_system`` file (IEA Wind Task 37's YAML ontology) is read with
the ``windIO`` package's own loader, which resolves ``!include`` of YAML and
NetCDF files, and checked with its own validator. What farmrun's model can
use becomes a FarmDescription; every requested model or option that it does
not have becomes one line in ``WindIOSystem.notes``.

A resource becomes flow cases (``windio_resource``): a probability table over
direction and speed, Weibull sectors binned in speed, or a time series. The
turbine types become one turbine table (``windio_turbine``). ``shear`` gives
the power-law exponent and its reference height; without it the inflow is
uniform in height (exponent 0). The requested output files are built by
``windio_outputs``.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np
import torch

from ..errors import FarmError
from ..farm import FarmDescription, FarmResult, ModelOptions
from ..validation import numbers, wind_direction_std
from .netcdf import WINDIO_TURBINE_NAMES
from .windio_resource import (RESOURCE, UNUSED_RESOURCE, coordinate, resource_array, rose_cases,
                              time_cases)
from .windio_turbine import DEFAULT_AIR_DENSITY, turbine_types

__all__ = ["FLOW_NAMES", "WindIOSystem", "apply_power_curves", "load_windio", "system_from_dict"]

# windIO's names for the flow-field variables that farmrun has.
FLOW_NAMES = {"wind_speed": "wind_speed", "velocity_u": "wind_speed", "u": "wind_speed",
              "wind_direction": "wind_direction"}


@dataclass
class WindIOSystem:
    """A wind energy system as farmrun runs it.

    ``turbine_power`` holds, when the turbine types share one thrust curve
    but not one power curve, each turbine's (wind speeds, power) table; the
    run uses the first type's table and ``apply_power_curves`` replaces the
    power of the others. ``turbine_names`` is each turbine's type name.
    ``outputs`` are the file requests of ``model_outputs_specification``.
    """

    farm: FarmDescription
    notes: list[str] = field(default_factory=list)
    turbine_power: list[tuple[list[float], list[float]]] | None = None
    outputs: dict = field(default_factory=dict)
    source: str = ""
    turbine_names: list[str] = field(default_factory=list)

    def fleet(self) -> str:
        """The turbines for a header: "25 x NAME", or the count of each type in
        order of first appearance, "11 x A, 14 x B"."""
        names = self.turbine_names or [self.farm.turbine_types[0].name] * len(self.farm.layout_x)
        counts = {name: names.count(name) for name in dict.fromkeys(names)}
        return ", ".join(f"{n} x {name}" for name, n in counts.items())


# --- loading and validation -------------------------------------------------

def load_windio(path) -> WindIOSystem:
    """Loads, validates and converts a ``wind_energy_system`` file; raises FarmError."""
    import jsonschema
    import windIO

    path = Path(path)
    if not path.is_file():
        raise FarmError(str(path), "cannot read the windIO file (no such file)")
    try:
        # The real path: windIO resolves an !include inside an included file
        # by joining names, and a symlinked folder's ".." would then lead astray.
        data = windIO.load_yaml(path.resolve())
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



# --- model options ------------------------------------------------------------

def _wind_direction_std(attrs: dict) -> float:
    """The spread of wind directions (degrees) the system's analysis asks for:
    windIO has no field for it, so farmrun reads ``wind_direction_std`` beside
    the analysis models; absent, 0."""
    a = attrs.get("analysis") or {}
    if "wind_direction_std" not in a:
        return 0.0
    return wind_direction_std("attributes.analysis.wind_direction_std", a["wind_direction_std"])


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
            if name not in FLOW_NAMES:
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

    # Several layouts are a cluster of farms, solved together so that each
    # sees its neighbours' wakes.
    layouts = wf["layouts"] if isinstance(wf["layouts"], list) else [wf["layouts"]]
    x, y, farm_of = [], [], []
    for k, lay in enumerate(layouts):
        p = "wind_farm.layouts" if len(layouts) == 1 else f"wind_farm.layouts[{k}]"
        coords = lay["coordinates"]
        xs = numbers(f"{p}.coordinates.x", coords["x"])
        x += xs
        y += numbers(f"{p}.coordinates.y", coords["y"], n=len(xs))
        farm_of += [k] * len(xs)
        if "z" in coords and any(float(v) != 0.0 for v in coords["z"]):
            notes.append(f"{p}.coordinates.z: ground elevation is not available; "
                         "all turbines stand on flat ground")
    name = str(data.get("name", "windIO system"))
    farm_names = [f"{wf.get('name', name)} layout {k}" for k in range(len(layouts))]

    density = DEFAULT_AIR_DENSITY
    if "density" in wr:
        rho = resource_array(f"{RESOURCE}.density", wr["density"], {})
        density = float(rho)
    types, type_of, hubs, names = turbine_types(wf, layouts, density, notes)

    rc = (attrs.get("model_outputs_specification") or {}).get("run_configuration") or {}
    if "time" in wr:
        cases = time_cases(wr, rc, notes)
    else:
        cases = rose_cases(wr, rc, notes)
    for key in UNUSED_RESOURCE:
        if key in wr:
            notes.append(f"{RESOURCE}.{key}: not used by farmrun's model")

    shear, zref = 0.0, None
    if "shear" in wr:
        shear, zref = float(wr["shear"]["alpha"]), float(wr["shear"]["h_ref"])
    elif "reference_height" in wr:
        zref = float(wr["reference_height"])
    elif "height" in wr:
        h = coordinate(f"{RESOURCE}.height", wr["height"])
        if len(set(h)) > 1:
            raise FarmError(f"{RESOURCE}.height", "a resource over several heights is not "
                                                   "supported; give one height and a shear")
        zref = h[0]
    if "flow_model" in attrs and attrs["flow_model"].get("name"):
        notes.append(f"attributes.flow_model.name: {attrs['flow_model']['name']!r}; "
                     f"farmrun's own model is used")

    several = len(types) > 1
    farm = FarmDescription(
        layout_x=x, layout_y=y, turbine=types if several else types[0], cases=cases,
        turbine_type=type_of if several else None,
        hub_heights=hubs if len(set(hubs)) > 1 else None, wind_shear=shear,
        reference_wind_height=zref, model=_model_options(attrs, notes),
        name=name, boundaries=_boundaries(site),
        boundary_circle=_circle(site), wind_direction_std=_wind_direction_std(attrs),
        farm_names=farm_names if len(layouts) > 1 else None,
        farm_index=farm_of if len(layouts) > 1 else None)
    outputs = _outputs(attrs, notes)
    return WindIOSystem(farm=farm, notes=list(dict.fromkeys(notes)), outputs=outputs,
                        turbine_names=names)


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
