"""The JSON farm file: reading, key checks and conversion to a FarmDescription."""
from __future__ import annotations

import dataclasses
import json
import sys
from dataclasses import fields
from pathlib import Path

from ..energy import WindRose
from ..errors import FarmError
from ..farm import FarmDescription, FlowCases, ModelOptions, TurbineType
from ..optimize.geometry import check_polygon
from ..validation import show, validate_farm

__all__ = ["MAX_DEPTH", "farm_from_dict", "farm_to_dict", "load_farm_file"]

_TOP_REQUIRED = ("layout_x", "layout_y")
# A farm of one type gives ``turbine``; of several, ``turbines`` and each
# turbine's index into them, ``turbine_type``.
_TOP_OPTIONAL = ("turbine", "turbines", "turbine_type", "farm_names", "farm_index", "fixed",
                 "name", "hub_heights", "yaw_angles", "tilt_angles", "wind_shear",
                 "reference_wind_height", "wind_direction_std", "model", "wind_rose", "cases",
                 "boundary")
_PER_TURBINE = ("turbine_type", "farm_names", "farm_index", "fixed")
_TURBINE_REQUIRED = ("rotor_diameter", "hub_height", "wind_speed", "power", "thrust_coefficient")
_TURBINE_OPTIONAL = ("name", "ref_tilt", "tip_speed_ratio")
_ROSE_REQUIRED = ("wind_directions", "wind_speeds", "frequencies")
_ROSE_OPTIONAL = ("turbulence_intensity",)
_CASES_REQUIRED = ("wind_directions", "wind_speeds", "turbulence_intensities")
_CASES_OPTIONAL = ("frequencies", "time")  # exactly one: a rose's shares, or a time series
_MODEL_OPTIONAL = tuple(f.name for f in fields(ModelOptions))


# A farm file is at most four levels deep (wind_rose.frequencies[d][s]);
# anything much deeper is a mistake, and would only be walked by recursion.
MAX_DEPTH = 16


def _depth_at_most(data, limit: int) -> bool:
    stack = [(data, 1)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, (list, dict)):
            if depth > limit:
                return False
            items = value.values() if isinstance(value, dict) else value
            stack.extend((v, depth + 1) for v in items if isinstance(v, (list, dict)))
    return True


def _kind(value) -> str:
    names = {dict: "an object", list: "a list", str: "a string", bool: "true or false",
             type(None): "null", int: "a number", float: "a number"}
    return names.get(type(value), type(value).__name__)


def _object(path: str, value, required, optional) -> dict:
    if not isinstance(value, dict):
        raise FarmError(path, f"expected an object, got {show(value)}")
    prefix = f"{path}." if path else ""
    for key in value:
        if key not in required and key not in optional:
            allowed = ", ".join(required + optional)
            raise FarmError(f"{prefix}{key}", f"unknown key (allowed: {allowed})")
    for key in required:
        if key not in value:
            raise FarmError(f"{prefix}{key}", "required key is missing")
    return value


def farm_from_dict(data) -> FarmDescription:
    """Builds and validates a farm from the parsed JSON document; raises FarmError."""
    if not isinstance(data, dict):
        raise FarmError("farm", f"expected a JSON object with the keys "
                                f"{', '.join(_TOP_REQUIRED + ('turbine',))} "
                                f"at the top level, got {_kind(data)}")
    if not _depth_at_most(data, MAX_DEPTH):
        raise FarmError("farm", f"nested more than {MAX_DEPTH} levels deep "
                                "(a farm file needs at most 4)")
    top = _object("", data, _TOP_REQUIRED, _TOP_OPTIONAL)
    if ("wind_rose" in top) == ("cases" in top):
        raise FarmError("wind_rose", "give exactly one of 'wind_rose' and 'cases'")
    if ("turbine" in top) == ("turbines" in top):
        raise FarmError("turbine", "give exactly one of 'turbine' and 'turbines'")
    if "turbine" in top:
        turbine = _turbine_type("turbine", top["turbine"])
    else:
        types = top["turbines"]
        if not isinstance(types, list) or not types:
            raise FarmError("turbines", f"expected a list of turbine types, got {show(types)}")
        turbine = [_turbine_type(f"turbines[{k}]", t) for k, t in enumerate(types)]
    if "wind_rose" in top:
        r = _object("wind_rose", top["wind_rose"], _ROSE_REQUIRED, _ROSE_OPTIONAL)
        cases = WindRose(**r).cases()
    else:
        cases = FlowCases(**_object("cases", top["cases"], _CASES_REQUIRED, _CASES_OPTIONAL))
    model = ModelOptions(**_object("model", top.get("model", {}), (), _MODEL_OPTIONAL))
    farm = FarmDescription(
        layout_x=top["layout_x"], layout_y=top["layout_y"], turbine=turbine, cases=cases,
        model=model, name=str(top.get("name", "farm")),
        **{k: top[k] for k in ("hub_heights", "yaw_angles", "tilt_angles", "wind_shear",
                               "reference_wind_height", "wind_direction_std") + _PER_TURBINE
           if k in top})
    if "boundary" in top:
        farm.boundaries = _boundary_rings(top["boundary"])
    validate_farm(farm)
    return farm


def _turbine_type(path: str, value) -> TurbineType:
    t = _object(path, value, _TURBINE_REQUIRED, _TURBINE_OPTIONAL)
    return TurbineType(name=str(t.get("name", "turbine")), **{
        k: t[k] for k in _TURBINE_REQUIRED + _TURBINE_OPTIONAL[1:] if k in t})


def _boundary_rings(value) -> list[tuple[list[float], list[float]]]:
    """The site of a farm file's ``boundary``: the [x, y] vertices of one simple
    polygon, or a list of such polygons (a site in several parts). Each comes
    back closed (the first vertex repeated), for pictures."""
    several = (isinstance(value, list) and len(value) > 0 and isinstance(value[0], list)
               and len(value[0]) > 0 and isinstance(value[0][0], list))
    rings = []
    for k, vertices in enumerate(value if several else [value]):
        check_polygon(f"boundary[{k}]" if several else "boundary", vertices)
        ring = [[float(v) for v in vertex] for vertex in vertices]
        if ring[0] != ring[-1]:
            ring.append(ring[0])
        rings.append(([v[0] for v in ring], [v[1] for v in ring]))
    return rings


def load_farm_file(path) -> FarmDescription:
    """Reads a JSON farm file; every problem is a FarmError naming the field."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise FarmError(str(path), f"cannot read the farm file ({e.__class__.__name__}: "
                                   f"{getattr(e, 'strerror', None) or e})") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise FarmError(str(path), f"not valid JSON: {e.msg} at line {e.lineno} "
                                   f"column {e.colno}") from None
    except RecursionError:
        raise FarmError(str(path), f"nested more than {MAX_DEPTH} levels deep "
                                   "(a farm file needs at most 4)") from None
    except ValueError:  # an integer beyond the interpreter's digit limit
        raise FarmError(str(path), "not valid JSON: an integer of more than "
                                   f"{sys.get_int_max_str_digits()} digits") from None
    try:
        return farm_from_dict(data)
    except FarmError as e:
        if e.field == "farm":  # the document as a whole: name the file
            raise FarmError(str(path), str(e).split(": ", 1)[1]) from None
        raise


def _plain(value):
    """Numbers, arrays and tensors as JSON values (lists of floats)."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, float)):
        return value
    return str(value)  # a time stamp


def farm_to_dict(farm: FarmDescription) -> dict:
    """The farm as a farm-file document that ``farm_from_dict`` reads back to the
    same farm: the inflow as explicit ``cases``, and the site's polygons (or a
    circle's outline) as its ``boundary``."""
    c = farm.cases

    def type_doc(t):
        return {"name": t.name, **{k: _plain(getattr(t, k)) for k in
                                   _TURBINE_REQUIRED + _TURBINE_OPTIONAL[1:]}}
    doc = {"name": farm.name, "layout_x": _plain(farm.layout_x),
           "layout_y": _plain(farm.layout_y)}
    if isinstance(farm.turbine, (list, tuple)):
        doc["turbines"] = [type_doc(t) for t in farm.turbine]
    else:
        doc["turbine"] = type_doc(farm.turbine)
    for key in _PER_TURBINE:
        if getattr(farm, key) is not None:
            doc[key] = _plain(getattr(farm, key))
    cases = {"wind_directions": _plain(c.wind_directions), "wind_speeds": _plain(c.wind_speeds),
             "turbulence_intensities": _plain(c.turbulence_intensities)}
    if c.time is not None:
        cases["time"] = _plain(c.time)
    else:
        cases["frequencies"] = _plain(c.frequencies)
    doc["cases"] = cases
    for key in ("hub_heights", "yaw_angles", "tilt_angles", "wind_shear",
                "reference_wind_height"):
        if getattr(farm, key) is not None:
            doc[key] = _plain(getattr(farm, key))
    if farm.wind_direction_std:
        doc["wind_direction_std"] = float(farm.wind_direction_std)
    doc["model"] = {k: v for k, v in dataclasses.asdict(farm.model).items() if v is not None}
    rings = [[[float(a), float(b)] for a, b in zip(xs, ys)] for xs, ys in farm.boundaries or ()]
    if rings:
        doc["boundary"] = rings[0] if len(rings) == 1 else rings
    return doc
